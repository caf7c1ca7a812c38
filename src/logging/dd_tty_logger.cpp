#include "logging/dd_tty_logger.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "logging/dd_tty_palette.h"
#include "platform/foundation/environment.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/reference_date.h"

namespace corvane {
namespace {

constexpr char kLoggerName[] = "corvane.logging.ttyLogger";

std::once_flag g_initOnce;
std::shared_ptr<DDTTYLogger>* g_sharedInstance = nullptr;  // never destroyed
std::mutex g_instanceMutex;

bool containsIgnoringCase(const char* haystack, const char* needle) {
  return ::strcasestr(haystack, needle) != nullptr;
}

double clampComponent(double c) {
  if (!(c > 0)) return 0;  // also NaN
  return c > 1 ? 1 : c;
}

}  // namespace

bool DDTTYLogger::isaColorTTY_ = false;
bool DDTTYLogger::isaXcodeColorTTY_ = false;

void DDTTYLogger::initialize() {
  std::call_once(g_initOnce, [] {
    const std::optional<std::string> term = platform::environmentValue("TERM");
    if (term) {
      if (containsIgnoringCase(term->c_str(), "color")) {
        isaColorTTY_ = true;
        if (containsIgnoringCase(term->c_str(), "256")) {
          initialize_colors_256();
        } else {
          initialize_colors_16();
        }
      }
    } else {
      if (platform::environmentValue("XcodeColors") == "YES") {
        isaXcodeColorTTY_ = true;
      }
    }
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    g_sharedInstance = new std::shared_ptr<DDTTYLogger>(makeInstance());
  });
}

std::shared_ptr<DDTTYLogger> DDTTYLogger::sharedInstance() {
  initialize();
  std::lock_guard<std::mutex> lock(g_instanceMutex);
  return *g_sharedInstance;
}

std::shared_ptr<DDTTYLogger> DDTTYLogger::create() {
  initialize();
  std::lock_guard<std::mutex> lock(g_instanceMutex);
  if (*g_sharedInstance) return nullptr;
  return makeInstance();
}

std::shared_ptr<DDTTYLogger> DDTTYLogger::makeInstance() {
  return std::shared_ptr<DDTTYLogger>(new DDTTYLogger());
}

DDTTYLogger::DDTTYLogger() : DDAbstractLogger(kLoggerName) {
  appName_ = platform::ProcessInfo::processName();
  processID_ = std::to_string(platform::ProcessInfo::processIdentifier());
  colorProfilesArray_.reserve(8);
  colorProfilesDict_.reserve(8);
}

std::optional<std::string> DDTTYLogger::loggerName() { return std::string(kLoggerName); }

// Colour tables and matching.

void DDTTYLogger::initialize_colors_16() {
  detail::installPalette(&detail::makePalette16);
}

void DDTTYLogger::initialize_colors_256() {
  detail::installPalette(&detail::makePalette256);
}

void DDTTYLogger::getRed(double* red, double* green, double* blue, const LogColor& color) {
  if (red != nullptr) *red = clampComponent(color.red);
  if (green != nullptr) *green = clampComponent(color.green);
  if (blue != nullptr) *blue = clampComponent(color.blue);
}

uint64_t DDTTYLogger::codeIndexForColor(const LogColor& color) {
  const detail::TTYPalette* palette = detail::installedPalette();
  if (palette == nullptr) return 0;
  double r, g, b;
  getRed(&r, &g, &b, color);
  uint64_t best = 0;
  double bestDistance = 100.0;
  for (size_t i = 0; i < palette->size(); ++i) {
    const LogColor& p = palette->colors[i];
    double distance = std::sqrt((p.red - r) * (p.red - r) + (p.green - g) * (p.green - g) +
                                (p.blue - b) * (p.blue - b));
    if (distance < bestDistance) {
      bestDistance = distance;
      best = i;
    }
  }
  return best;
}

// Settings.

bool DDTTYLogger::colorsEnabled() {
  return readSetting([this] { return colorsEnabled_; });
}

void DDTTYLogger::setColorsEnabled(bool newColorsEnabled) {
  changeSettingThroughQueues([this, newColorsEnabled] {
    colorsEnabled_ = newColorsEnabled;
    if (colorProfilesArray_.empty()) loadDefaultColorProfiles();
  });
}

void DDTTYLogger::loadDefaultColorProfiles() {
  setForegroundColor(LogColor::fromBytes(214, 57, 30), std::nullopt, DDLogFlagError);
  setForegroundColor(LogColor::fromBytes(204, 121, 32), std::nullopt, DDLogFlagWarn);
}

void DDTTYLogger::setForegroundColor(std::optional<LogColor> txtColor,
                                     std::optional<LogColor> bgColor, int32_t mask) {
  setForegroundColor(txtColor, bgColor, mask, DDTTYLoggerColorProfile::kAllContexts);
}

void DDTTYLogger::setForegroundColor(std::optional<LogColor> txtColor,
                                     std::optional<LogColor> bgColor, int32_t mask,
                                     int32_t context) {
  auto profile = DDTTYLoggerColorProfile::create(txtColor, bgColor, mask, context);
  if (!profile) return;
  changeSetting([this, profile] {
    for (auto& existing : colorProfilesArray_) {
      if (existing->mask == profile->mask && existing->context == profile->context) {
        existing = profile;
        return;
      }
    }
    colorProfilesArray_.push_back(profile);
  });
}

void DDTTYLogger::setForegroundColor(std::optional<LogColor> txtColor,
                                     std::optional<LogColor> bgColor, const DDLogTag& tag) {
  if (!tag) return;
  auto profile = DDTTYLoggerColorProfile::create(txtColor, bgColor, 0, 0);
  if (!profile) return;
  changeSetting([this, profile, key = *tag] { colorProfilesDict_[key] = profile; });
}

void DDTTYLogger::clearColorsForFlag(int32_t mask) { clearColorsForFlag(mask, 0); }

void DDTTYLogger::clearColorsForFlag(int32_t mask, int32_t context) {
  changeSetting([this, mask, context] {
    for (auto it = colorProfilesArray_.begin(); it != colorProfilesArray_.end(); ++it) {
      if ((*it)->mask == mask && (*it)->context == context) {
        colorProfilesArray_.erase(it);
        return;
      }
    }
  });
}

void DDTTYLogger::clearColorsForTag(const DDLogTag& tag) {
  if (!tag) return;
  changeSetting([this, key = *tag] { colorProfilesDict_.erase(key); });
}

void DDTTYLogger::clearColorsForAllFlags() {
  changeSetting([this] { colorProfilesArray_.clear(); });
}

void DDTTYLogger::clearColorsForAllTags() {
  changeSetting([this] { colorProfilesDict_.clear(); });
}

void DDTTYLogger::clearAllColors() {
  changeSetting([this] {
    colorProfilesArray_.clear();
    colorProfilesDict_.clear();
  });
}

// Writing.

const DDTTYLoggerColorProfile* DDTTYLogger::profileFor(const DDLogMessage& logMessage) const {
  if (logMessage.tag()) {
    auto it = colorProfilesDict_.find(*logMessage.tag());
    if (it != colorProfilesDict_.end()) return it->second.get();
  }
  const DDTTYLoggerColorProfile* candidate = nullptr;
  for (const auto& profile : colorProfilesArray_) {
    if ((logMessage.logFlag() & profile->mask) == 0) continue;
    if (profile->context == logMessage.logContext()) return profile.get();
    if (profile->context == DDTTYLoggerColorProfile::kAllContexts) candidate = profile.get();
  }
  return candidate;
}

void DDTTYLogger::logMessage(const DDLogMessagePtr& logMessage) {
  DDLogText text = formatter_ ? formatter_->formatLogMessage(logMessage) : logMessage->logMsg();
  if (!text) return;
  const bool isFormatted = text != logMessage->logMsg();

  const DDTTYLoggerColorProfile* profile = colorsEnabled_ ? profileFor(*logMessage) : nullptr;
  static const char kEmpty[] = "";
  iovec fg{const_cast<char*>(kEmpty), 0};
  iovec bg{const_cast<char*>(kEmpty), 0};
  iovec reset{const_cast<char*>(kEmpty), 0};
  if (profile != nullptr) {
    fg = {const_cast<char*>(profile->fgCode), profile->fgCodeLen};
    bg = {const_cast<char*>(profile->bgCode), profile->bgCodeLen};
    reset = {const_cast<char*>(profile->resetCode), profile->resetCodeLen};
  }

  // The text is UTF-8 already and is written from its own storage: no copy, no allocation.
  iovec body{const_cast<char*>(text->data()), text->size()};
  const bool needsNewline = text->empty() || text->back() != '\n';
  iovec newline{const_cast<char*>("\n"), needsNewline ? size_t(1) : size_t(0)};

  if (isFormatted) {
    iovec v[5] = {fg, bg, body, newline, reset};
    (void)::writev(STDERR_FILENO, v, 5);
    return;
  }

  // Calendar components in the user's time zone. The zone is looked up again whenever the
  // second changes, so that a change of time zone shows within a second.
  double ts = logMessage->timestamp();
  double whole = std::floor(ts);
  int milliseconds = static_cast<int>((ts - whole) * 1000);
  time_t unixSeconds = static_cast<time_t>(platform::ReferenceDate::toUnixTime(whole));
  if (unixSeconds != lastZoneCheck_) {
    ::tzset();
    lastZoneCheck_ = unixSeconds;
  }
  std::tm tm{};
  ::localtime_r(&unixSeconds, &tm);
  char stamp[24];
  int stampLen = std::snprintf(stamp, sizeof(stamp), "%04ld-%02ld-%02ld %02ld:%02ld:%02ld:%03d",
                               long(tm.tm_year) + 1900, long(tm.tm_mon) + 1, long(tm.tm_mday),
                               long(tm.tm_hour), long(tm.tm_min), long(tm.tm_sec), milliseconds);
  stampLen = stampLen < 0 ? 0 : std::min(stampLen, int(sizeof(stamp)) - 1);
  char thread[9];
  int threadLen = std::snprintf(thread, sizeof(thread), "%x", logMessage->machThreadID());
  threadLen = threadLen < 0 ? 0 : std::min(threadLen, int(sizeof(thread)) - 1);

  iovec v[13] = {
      fg,
      bg,
      {stamp, size_t(stampLen)},
      {const_cast<char*>(" "), 1},
      {const_cast<char*>(appName_.data()), appName_.size()},
      {const_cast<char*>("["), 1},
      {const_cast<char*>(processID_.data()), processID_.size()},
      {const_cast<char*>(":"), 1},
      {thread, size_t(threadLen)},
      {const_cast<char*>("] "), 2},
      body,
      newline,
      reset,
  };
  (void)::writev(STDERR_FILENO, v, 13);
}

}  // namespace corvane
