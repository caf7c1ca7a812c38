// The classes whose log level the facility can read and set (DDLog::registeredClasses and
// friends). C++ keeps no list of classes at run time, so a class makes itself known by
// registering at start-up:
//
//   class Mirror { public: static int32_t ddLogLevel(); static void ddSetLogLevel(int32_t); };
//   static const DDLogClassRegistration kMirrorLogClass(DDLogClassOf<Mirror>("Mirror"));
//
// A class counts as registered when it has both `ddLogLevel` and `ddSetLogLevel`.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace corvane {

struct DDLogClassInfo {
  std::string name;
  // The class's `ddLogLevel` / `ddSetLogLevel`; empty when the class has no such member.
  std::function<int32_t()> ddLogLevel;
  std::function<void(int32_t)> ddSetLogLevel;
};
using DDLogClass = std::shared_ptr<const DDLogClassInfo>;

// Describes class T under `name`, taking its static `ddLogLevel()` and
// `ddSetLogLevel(int32_t)` where T has them.
template <class T>
DDLogClass DDLogClassOf(std::string name) {
  auto info = std::make_shared<DDLogClassInfo>();
  info->name = std::move(name);
  if constexpr (requires {
                  { T::ddLogLevel() } -> std::convertible_to<int32_t>;
                }) {
    info->ddLogLevel = [] { return static_cast<int32_t>(T::ddLogLevel()); };
  }
  if constexpr (requires(int32_t level) { T::ddSetLogLevel(level); }) {
    info->ddSetLogLevel = [](int32_t level) { T::ddSetLogLevel(level); };
  }
  return info;
}

// Adds a class to the facility's list of known classes when constructed (typically as a
// namespace-scope object in the class's source file). Safe during static initialisation.
class DDLogClassRegistration {
 public:
  explicit DDLogClassRegistration(DDLogClass cls);
};

}  // namespace corvane
