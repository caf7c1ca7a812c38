#include "platform/foundation/notification_center.h"

#include <algorithm>

namespace corvane::platform {

std::shared_ptr<NotificationCenter> NotificationCenter::defaultCenter() {
  // Never destroyed: detached threads may still post while the process exits.
  static const auto* center = new std::shared_ptr<NotificationCenter>(new NotificationCenter());
  return *center;
}

std::shared_ptr<NotificationCenter> NotificationCenter::create() {
  return std::shared_ptr<NotificationCenter>(new NotificationCenter());
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name,
                                                          Callback callback) {
  auto observer = std::make_shared<Observer>();
  observer->name = name;
  observer->callback = std::move(callback);
  std::lock_guard<std::mutex> lock(mutex_);
  observer->token = nextToken_++;
  observers_.push_back(observer);
  return observer->token;
}

void NotificationCenter::removeObserver(Token token) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto it = std::find_if(observers_.begin(), observers_.end(),
                         [token](const auto& o) { return o->token == token; });
  if (it == observers_.end()) return;
  std::shared_ptr<Observer> observer = *it;
  observers_.erase(it);
  observer->removed = true;
  // Wait for calls on other threads; a call on this thread (the callback removing its own
  // observation, perhaps from a nested post) must not be waited for.
  const auto self = std::this_thread::get_id();
  idle_.wait(lock, [&] {
    return std::all_of(observer->callers.begin(), observer->callers.end(),
                       [self](const auto& id) { return id == self; });
  });
}

void NotificationCenter::post(const std::string& name, std::shared_ptr<void> object,
                              PropertyList userInfo) {
  Notification notification{name, std::move(object), std::move(userInfo)};
  std::vector<std::shared_ptr<Observer>> targets;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& observer : observers_) {
      if (observer->name == name) targets.push_back(observer);
    }
  }
  const auto self = std::this_thread::get_id();
  for (const auto& observer : targets) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (observer->removed) continue;
      observer->callers.push_back(self);
    }
    // Leaves the callback's record even when the callback throws.
    struct Leave {
      NotificationCenter* center;
      Observer* observer;
      std::thread::id self;
      ~Leave() {
        {
          std::lock_guard<std::mutex> lock(center->mutex_);
          auto it = std::find(observer->callers.begin(), observer->callers.end(), self);
          if (it != observer->callers.end()) observer->callers.erase(it);
        }
        center->idle_.notify_all();
      }
    } leave{this, observer.get(), self};
    if (observer->callback) observer->callback(notification);
  }
}

}  // namespace corvane::platform
