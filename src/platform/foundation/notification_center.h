// A notification centre: observers register a callback for a notification name; `post`
// calls every observer of that name synchronously, on the posting thread, in the order
// they were added, before it returns.
//
// Thread-safety: every member may be called from any thread, also from inside an observer
// callback (a callback may post, add or remove observers). After `removeObserver` returns,
// the removed callback does not start again, and no call of it is still running on
// another thread (a call on the removing thread itself, i.e. a callback removing itself,
// simply finishes).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/property_list.h"

namespace corvane::platform {

struct Notification {
  std::string name;
  // The posting object, or nullptr. Observers compare it by address or cast it back.
  std::shared_ptr<void> object;
  // Extra information: an empty dictionary when none was given.
  PropertyList userInfo;
};

class NotificationCenter {
 public:
  using Callback = std::function<void(const Notification& notification)>;
  // Identifies one observation; 0 is never a valid token.
  using Token = std::uint64_t;

  // The process-wide centre.
  static std::shared_ptr<NotificationCenter> defaultCenter();
  // A separate centre (tests).
  static std::shared_ptr<NotificationCenter> create();

  // Calls `callback` for every later post of `name`.
  Token addObserver(const std::string& name, Callback callback);
  // Ends an observation; unknown or already removed tokens are ignored.
  void removeObserver(Token token);
  void post(const std::string& name, std::shared_ptr<void> object = nullptr,
            PropertyList userInfo = PropertyList());

 private:
  NotificationCenter() = default;

  struct Observer {
    Token token = 0;
    std::string name;
    Callback callback;
    bool removed = false;
    std::vector<std::thread::id> callers;  // threads inside the callback now
  };

  std::mutex mutex_;
  std::condition_variable idle_;
  std::vector<std::shared_ptr<Observer>> observers_;
  Token nextToken_ = 1;
};

}  // namespace corvane::platform
