#include "platform/dispatch/dispatch.h"

namespace corvane::platform::dispatch {

void Once::operator()(const std::function<void()>& block) { std::call_once(flag_, block); }

}  // namespace corvane::platform::dispatch
