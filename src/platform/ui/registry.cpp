#include "platform/ui/registry.h"

#include <algorithm>
#include <map>

#include <QPointer>
#include <QWidget>

#include "platform/ui/window.h"

namespace corvane::platform::ui::detail {
namespace {

struct Registry {
  std::vector<std::weak_ptr<Window>> windows;
  struct ControllerEntry {
    QPointer<QWidget> view;  // goes null when the widget is deleted, so a reused address never matches
    ViewController* controller;
  };
  std::map<const QWidget*, ControllerEntry> controllers;
};

Registry& registry() {
  static Registry r;
  return r;
}

}  // namespace

void registerWindow(const std::shared_ptr<Window>& window) { registry().windows.push_back(window); }

void unregisterWindow(const Window* window) {
  auto& list = registry().windows;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [window](const std::weak_ptr<Window>& w) {
                              auto locked = w.lock();
                              return !locked || locked.get() == window;
                            }),
             list.end());
}

std::shared_ptr<Window> windowForWidget(const QWidget* topLevel) {
  if (topLevel == nullptr) return nullptr;
  for (const auto& w : registry().windows) {
    auto locked = w.lock();
    if (locked && locked->widget() == topLevel) return locked;
  }
  return nullptr;
}

std::vector<std::shared_ptr<Window>> allWindows() {
  std::vector<std::shared_ptr<Window>> result;
  for (const auto& w : registry().windows) {
    if (auto locked = w.lock()) result.push_back(std::move(locked));
  }
  return result;
}

void registerControllerView(QWidget* view, ViewController* controller) {
  registry().controllers[view] = {QPointer<QWidget>(view), controller};
}

void unregisterController(const ViewController* controller) {
  auto& map = registry().controllers;
  for (auto it = map.begin(); it != map.end();) {
    it = it->second.controller == controller ? map.erase(it) : std::next(it);
  }
}

ViewController* controllerForView(const QWidget* view) {
  auto& map = registry().controllers;
  auto it = map.find(view);
  if (it == map.end() || it->second.view.isNull()) return nullptr;
  return it->second.controller;
}

}  // namespace corvane::platform::ui::detail
