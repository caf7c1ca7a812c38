#include "media/sw_time_utils.h"

#include "platform/foundation/reference_date.h"

namespace corvane {

std::shared_ptr<SWTimeUtils> SWTimeUtils::singleton() {
  // Never destroyed, so that encoder threads still running at exit can read it.
  static const auto* instance = new std::shared_ptr<SWTimeUtils>(new SWTimeUtils());
  return *instance;
}

void SWTimeUtils::reset() {
  zeroTime_.store(platform::ReferenceDate::now(), std::memory_order_relaxed);
}

std::int64_t SWTimeUtils::getCurrentTimeStamp() const {
  return static_cast<std::int64_t>((platform::ReferenceDate::now() - zeroTime()) * 1000.0);
}

}  // namespace corvane
