#include "platform/ui/workspace.h"

#include <QDesktopServices>
#include <QUrl>

namespace corvane::platform::ui {

std::shared_ptr<Workspace> Workspace::sharedWorkspace() {
  static const auto workspace = std::make_shared<Workspace>();
  return workspace;
}

bool Workspace::openURL(const std::string& url) {
  const QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
  if (!parsed.isValid() || parsed.scheme().isEmpty()) return false;
  return QDesktopServices::openUrl(parsed);
}

}  // namespace corvane::platform::ui
