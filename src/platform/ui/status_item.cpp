#include "platform/ui/status_item.h"

#include <QIcon>
#include <QImageReader>
#include <QSystemTrayIcon>

#include "platform/log/log.h"
#include "platform/ui/application.h"

namespace corvane::platform::ui {

std::shared_ptr<Image> Image::imageNamed(const std::string& name,
                                         const std::shared_ptr<Bundle>& bundle) {
  const std::shared_ptr<Bundle> from = bundle ? bundle : Bundle::main();
  const std::optional<std::string> path = from->pathForResource(name, "png");
  if (!path) return nullptr;
  QImageReader reader(QString::fromStdString(*path));
  const QImage image = reader.read();
  if (image.isNull()) return nullptr;
  auto icon = std::make_unique<QIcon>(QPixmap::fromImage(image));
  return std::shared_ptr<Image>(new Image(name, std::move(icon), image.width(), image.height()));
}

Image::Image(std::string name, std::unique_ptr<QIcon> icon, int width, int height)
    : name_(std::move(name)), icon_(std::move(icon)), width_(width), height_(height) {}

Image::~Image() = default;

StatusItem::StatusItem(double length) : length_(length), tray_(std::make_unique<QSystemTrayIcon>()) {
  QObject::connect(tray_.get(), &QSystemTrayIcon::activated, tray_.get(),
                   [this](QSystemTrayIcon::ActivationReason reason) {
                     if (!enabled_ || reason == QSystemTrayIcon::Context) return;
                     if (auto app = Application::sharedApplication()) app->reopen();
                   });
}

StatusItem::~StatusItem() = default;

void StatusItem::setImage(std::shared_ptr<Image> image) {
  image_ = std::move(image);
  if (!image_) {
    tray_->hide();
    return;
  }
  tray_->setIcon(image_->icon());
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    log::debug("no system tray: the status item \"" + image_->name() + "\" is not shown");
    return;
  }
  tray_->show();
}

bool StatusItem::isVisible() const { return tray_->isVisible(); }

std::shared_ptr<StatusBar> StatusBar::systemStatusBar() {
  static const auto bar = std::make_shared<StatusBar>();
  return bar;
}

std::shared_ptr<StatusItem> StatusBar::statusItemWithLength(double length) {
  return std::shared_ptr<StatusItem>(new StatusItem(length));
}

}  // namespace corvane::platform::ui
