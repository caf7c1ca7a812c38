// Which widget belongs to which window and view controller, so that a view can find its
// window and the controller whose view is being added to one. Main thread only.
#pragma once

#include <memory>
#include <vector>

class QWidget;

namespace corvane::platform::ui {

class ViewController;
class Window;

namespace detail {

void registerWindow(const std::shared_ptr<Window>& window);
void unregisterWindow(const Window* window);
// The window whose top-level widget is `topLevel`, or nullptr.
std::shared_ptr<Window> windowForWidget(const QWidget* topLevel);
std::vector<std::shared_ptr<Window>> allWindows();

void registerControllerView(QWidget* view, ViewController* controller);
void unregisterController(const ViewController* controller);
// The controller whose view is `view`, or nullptr.
ViewController* controllerForView(const QWidget* view);

}  // namespace detail
}  // namespace corvane::platform::ui
