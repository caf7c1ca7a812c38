// DDTTYLogger: the console logger. Writes each message as one line to standard error
// (descriptor 2) with a single gathered write, optionally coloured per flag, context or tag.
//
// Unformatted line: "<yyyy-MM-dd HH:mm:ss:SSS> <process>[<pid>:<thread hex>] <text>\n";
// a formatter's own text is written as it stands. A newline is added only when the text does
// not end with one. Colours stay off until setColorsEnabled(true).
//
// A process-wide singleton. `logMessage`, the colour profiles and `colorsEnabled` live on
// the logger's queue ("corvane.logging.ttyLogger"). The setters and readers follow the
// two-step queue rule of DDAbstractLogger and may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "logging/dd_abstract_logger.h"
#include "logging/dd_log_flags.h"
#include "logging/dd_tty_logger_color_profile.h"
#include "logging/log_color.h"

namespace corvane {

class DDTTYLogger : public DDAbstractLogger {
 public:
  // Once per process: terminal detection from "TERM" / "XcodeColors", the colour table,
  // and the shared instance. Every other operation calls it first.
  static void initialize();
  static std::shared_ptr<DDTTYLogger> sharedInstance();
  // A new console logger; nullptr once the shared instance exists (always, after start-up).
  static std::shared_ptr<DDTTYLogger> create();

  // Build the 16- or 256-colour table; only the first call of either has an effect.
  static void initialize_colors_16();
  static void initialize_colors_256();
  // The colour's components, each clamped to 0..1 (NaN gives 0).
  static void getRed(double* red, double* green, double* blue, const LogColor& color);
  // Index of the nearest colour of the table (first of equals); 0 with no table.
  static uint64_t codeIndexForColor(const LogColor& color);

  bool colorsEnabled();
  // Always through both queues. Loads the default profiles when no flag profile exists.
  void setColorsEnabled(bool newColorsEnabled);
  // Error: foreground 214,57,30; warn: foreground 204,121,32; every context.
  void loadDefaultColorProfiles();

  // Flag profiles: add, or replace the one with the same mask and context.
  void setForegroundColor(std::optional<LogColor> txtColor, std::optional<LogColor> bgColor,
                          int32_t mask);
  void setForegroundColor(std::optional<LogColor> txtColor, std::optional<LogColor> bgColor,
                          int32_t mask, int32_t context);
  // Tag profile (mask 0, context 0), replacing the tag's earlier one. A null tag: nothing.
  void setForegroundColor(std::optional<LogColor> txtColor, std::optional<LogColor> bgColor,
                          const DDLogTag& tag);

  // Removes the first flag profile with exactly this mask and context 0 / `context`.
  void clearColorsForFlag(int32_t mask);
  void clearColorsForFlag(int32_t mask, int32_t context);
  void clearColorsForTag(const DDLogTag& tag);
  void clearColorsForAllFlags();
  void clearColorsForAllTags();
  void clearAllColors();

  void logMessage(const DDLogMessagePtr& logMessage) override;
  std::optional<std::string> loggerName() override;

 private:
  friend class DDTTYLoggerColorProfile;

  DDTTYLogger();
  static std::shared_ptr<DDTTYLogger> makeInstance();
  // Logger's queue only.
  const DDTTYLoggerColorProfile* profileFor(const DDLogMessage& logMessage) const;

  // Class-wide, set once by initialize before the shared instance exists.
  static bool isaColorTTY_;
  static bool isaXcodeColorTTY_;

  // Read-only after construction.
  std::string appName_;
  std::string processID_;

  // Logger's queue only.
  bool colorsEnabled_ = false;
  long long lastZoneCheck_ = -1;  // second of the last time-zone look-up
  std::vector<DDTTYLoggerColorProfilePtr> colorProfilesArray_;
  std::unordered_map<std::string, DDTTYLoggerColorProfilePtr> colorProfilesDict_;
};

}  // namespace corvane
