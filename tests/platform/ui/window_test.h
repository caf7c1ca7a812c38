// A receiver of URLs for the workspace test (the desktop services call it by slot name).
#pragma once

#include <QObject>
#include <QUrl>
#include <string>
#include <vector>

namespace corvane::platform::ui::testing {

class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  std::vector<std::string> urls;
 public slots:
  void handle(const QUrl& url) { urls.push_back(url.toString().toStdString()); }
};

}  // namespace corvane::platform::ui::testing
