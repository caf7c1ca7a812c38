#include "platform/ui/window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMainWindow>

#include "platform/ui/registry.h"
#include "platform/ui/view_controller.h"

namespace corvane::platform::ui {
namespace detail {

// Asks the window's delegate whether its widget may close, and tells it when it is about to.
class CloseWatcher final : public QObject {
 public:
  CloseWatcher(QObject* parent, Window* window) : QObject(parent), window_(window) {}

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Close && watched == parent()) {
      if (auto delegate = window_->delegate()) {
        if (!delegate->windowShouldClose(*window_)) {
          event->ignore();  // the widget stays as it is
          return true;
        }
        delegate->windowWillClose(*window_);
      }
    }
    return false;
  }

 private:
  Window* window_;
};

}  // namespace detail

Window::Window(QWidget* widget) : widget_(widget) {}

std::shared_ptr<Window> Window::create(QWidget* widget) {
  if (widget == nullptr) return nullptr;
  if (auto existing = detail::windowForWidget(widget)) return existing;  // one window per widget
  if (widget->parentWidget() != nullptr) widget->setParent(nullptr);
  std::shared_ptr<Window> window(new Window(widget));
  window->install();
  return window;
}

std::shared_ptr<Window> Window::fromInterface(const std::string& name,
                                              const std::shared_ptr<Bundle>& bundle, Error* error) {
  QWidget* widget = detail::loadInterface(name, bundle, error);
  return widget != nullptr ? create(widget) : nullptr;
}

void Window::install() {
  // The window keeps its widget when it is closed; it is deleted with the window.
  widget_->setAttribute(Qt::WA_DeleteOnClose, false);
  closeWatcher_ = new detail::CloseWatcher(widget_, this);
  widget_->installEventFilter(closeWatcher_);
  detail::registerWindow(shared_from_this());
}

Window::~Window() {
  detail::unregisterWindow(this);
  delete widget_;  // also deletes the close watcher, its child
}

std::string Window::title() const { return widget_->windowTitle().toStdString(); }

void Window::setTitle(const std::string& title) { widget_->setWindowTitle(QString::fromStdString(title)); }

std::shared_ptr<View> Window::contentView() const {
  if (auto* main = qobject_cast<QMainWindow*>(widget_)) return View::wrap(main->centralWidget());
  return View::wrap(widget_);
}

std::shared_ptr<View> Window::viewNamed(const std::string& name) const {
  const QString objectName = QString::fromStdString(name);
  if (widget_->objectName() == objectName) return View::wrap(widget_);
  return View::wrap(widget_->findChild<QWidget*>(objectName));
}

void Window::makeKeyAndOrderFront() {
  if (widget_->isMinimized())
    widget_->setWindowState(widget_->windowState() & ~Qt::WindowMinimized);
  widget_->show();
  widget_->raise();
  widget_->activateWindow();
}

void Window::orderOut() { widget_->hide(); }

void Window::miniaturize() { widget_->showMinimized(); }

bool Window::isMiniaturized() const { return widget_->isMinimized(); }

void Window::close() { widget_->close(); }

bool Window::isVisible() const { return widget_->isVisible(); }

bool Window::isKeyWindow() const { return QApplication::activeWindow() == widget_; }

}  // namespace corvane::platform::ui
