#include "platform/power/power.h"

#include <mutex>
#include <optional>

#include "platform/log/log.h"
#include "platform/power/linux/screen_saver.h"

namespace corvane::platform::power {
namespace {

struct Held {
  Assertion assertion;
  std::optional<uint32_t> cookie;
};

struct Registry {
  std::mutex mutex;
  AssertionID nextID = 1;
  std::vector<Held> held;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

bool blocksDisplaySleep(const Assertion& assertion) {
  return assertion.type == kAssertionTypePreventUserIdleDisplaySleep &&
         assertion.level != kAssertionLevelOff;
}

}  // namespace

int createAssertionWithName(const std::string& type, uint32_t level, const std::string& name,
                            AssertionID* assertionID) {
  if (type.empty() || name.empty() || assertionID == nullptr) {
    return kReturnBadArgument;
  }
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  Held entry;
  entry.assertion.id = r.nextID++;
  if (r.nextID == 0) r.nextID = 1;
  entry.assertion.type = type;
  entry.assertion.level = level;
  entry.assertion.name = name;
  if (blocksDisplaySleep(entry.assertion)) {
    entry.cookie = detail::screenSaverInhibit("Corvane Sender", name, kScreenSaverTimeoutMs);
    entry.assertion.screenSaverInhibited = entry.cookie.has_value();
  }
  *assertionID = entry.assertion.id;
  r.held.push_back(std::move(entry));
  return kReturnSuccess;
}

int releaseAssertion(AssertionID assertionID) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  for (auto it = r.held.begin(); it != r.held.end(); ++it) {
    if (it->assertion.id != assertionID) continue;
    if (it->cookie && !detail::screenSaverUnInhibit(*it->cookie, kScreenSaverTimeoutMs)) {
      log::nslog("screen saver: could not withdraw request %u", *it->cookie);
    }
    r.held.erase(it);
    return kReturnSuccess;
  }
  return kReturnNotFound;
}

std::vector<Assertion> activeAssertions() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::vector<Assertion> out;
  out.reserve(r.held.size());
  for (const Held& h : r.held) out.push_back(h.assertion);
  return out;
}

}  // namespace corvane::platform::power
