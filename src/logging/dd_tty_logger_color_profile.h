// DDTTYLoggerColorProfile: one colour choice of the console logger, with its escape codes
// ready to write. The codes depend on the terminal found at start-up: palette codes on a
// colour terminal ("TERM" containing "color"), component codes for the escape-colour
// plug-in ("XcodeColors" = "YES" with no "TERM"), else none.
//
// Immutable after creation; made and used on the console logger's queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "logging/log_color.h"

namespace corvane {

class DDTTYLoggerColorProfile;
using DDTTYLoggerColorProfilePtr = std::shared_ptr<DDTTYLoggerColorProfile>;

class DDTTYLoggerColorProfile {
 public:
  // Context value meaning "every context".
  static constexpr int32_t kAllContexts = 2147483647;

  // A profile for `mask` and `context`; a missing colour gets an empty code. Components
  // outside 0..1 are taken as the nearest bound. Returns nullptr when the codes cannot be
  // built.
  static DDTTYLoggerColorProfilePtr create(std::optional<LogColor> foregroundColor,
                                           std::optional<LogColor> backgroundColor, int32_t mask,
                                           int32_t context);

  // "<DDTTYLoggerColorProfile: %p mask:%i ctxt:%i fg:%u,%u,%u bg:%u,%u,%u fgCode:%@ bgCode:%@>"
  std::string description() const;

  int32_t mask = 0;
  int32_t context = 0;
  uint8_t fg_r = 0, fg_g = 0, fg_b = 0;
  uint8_t bg_r = 0, bg_g = 0, bg_b = 0;
  uint64_t fgCodeIndex = 0;
  std::optional<std::string> fgCodeRaw;  // palette code; set only on a colour terminal
  uint64_t bgCodeIndex = 0;
  std::optional<std::string> bgCodeRaw;
  char fgCode[24] = {};
  size_t fgCodeLen = 0;
  char bgCode[24] = {};
  size_t bgCodeLen = 0;
  char resetCode[8] = {};
  size_t resetCodeLen = 0;

 private:
  DDTTYLoggerColorProfile() = default;
};

}  // namespace corvane
