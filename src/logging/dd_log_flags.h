// Log flags and levels. A flag marks one message; a level is a threshold: a message reaches
// a logger when its flag, compared as a signed number, is not greater than the logger's level
// (level 7 passes flags 1, 2 and 4; level 16 passes every flag up to 16; level 0 passes none).
#pragma once

#include <cstdint>

namespace corvane {

inline constexpr int32_t DDLogFlagError = 1;
inline constexpr int32_t DDLogFlagWarn = 2;
inline constexpr int32_t DDLogFlagInfo = 4;
inline constexpr int32_t DDLogFlagDebug = 8;
inline constexpr int32_t DDLogFlagVerbose = 16;

// All five flags: the level `DDLog::addLogger(logger)` uses.
inline constexpr int32_t DDLogLevelAll = 31;

// True when a message with `logFlag` reaches a logger added with `logLevel`.
constexpr bool DDLogLevelPasses(int32_t logLevel, int32_t logFlag) { return logFlag <= logLevel; }

}  // namespace corvane
