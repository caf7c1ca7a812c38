// Images of the application's resources and the status-bar item: a tray icon with an image,
// shown when the desktop has a system tray. A click on it re-opens the application
// (Application::reopen).
//
// Threads: main thread only.
#pragma once

#include <memory>
#include <string>

#include "platform/foundation/bundle.h"

class QIcon;
class QSystemTrayIcon;

namespace corvane::platform::ui {

class Image {
 public:
  // The image "<name>.png" of `bundle` (the main bundle when null), or nullptr when there is
  // no such resource or it is no readable image.
  static std::shared_ptr<Image> imageNamed(const std::string& name,
                                           const std::shared_ptr<Bundle>& bundle = nullptr);
  ~Image();
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  const std::string& name() const { return name_; }
  int width() const { return width_; }
  int height() const { return height_; }
  const QIcon& icon() const { return *icon_; }

 private:
  Image(std::string name, std::unique_ptr<QIcon> icon, int width, int height);
  std::string name_;
  std::unique_ptr<QIcon> icon_;
  int width_;
  int height_;
};

inline constexpr double kVariableStatusItemLength = -1.0;

class StatusItem {
 public:
  ~StatusItem();
  StatusItem(const StatusItem&) = delete;
  StatusItem& operator=(const StatusItem&) = delete;

  double length() const { return length_; }
  void setImage(std::shared_ptr<Image> image);
  const std::shared_ptr<Image>& image() const { return image_; }
  void setHighlightMode(bool on) { highlightMode_ = on; }
  bool highlightMode() const { return highlightMode_; }
  // A disabled item ignores clicks.
  void setEnabled(bool enabled) { enabled_ = enabled; }
  bool isEnabled() const { return enabled_; }
  // Whether the icon is on a system tray now (false when the desktop has none).
  bool isVisible() const;

 private:
  friend class StatusBar;
  explicit StatusItem(double length);

  double length_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  std::shared_ptr<Image> image_;
  bool highlightMode_ = false;
  bool enabled_ = true;
};

class StatusBar {
 public:
  static std::shared_ptr<StatusBar> systemStatusBar();
  // A new item; it stays until the last reference to it goes.
  std::shared_ptr<StatusItem> statusItemWithLength(double length);
};

}  // namespace corvane::platform::ui
