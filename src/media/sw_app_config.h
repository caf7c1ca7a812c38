// SWAppConfig: the settings store. A few user settings kept in the property list
// "<home>/Library/Corvane/.config.plist", the sender name shown on the receiver, and the path
// of the file in which the system audio setting is saved while mirroring runs.
//
// Thread-safety: every member may be called from any thread (the fields are guarded by one
// lock). The settings file is read when the store is made and written only by `storeData`.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace corvane {

class SWAppConfig {
 public:
  // The one settings store, made (and loaded) on first use.
  static std::shared_ptr<SWAppConfig> singleton();
  // A new store, loaded from the current user's settings file (what `singleton` makes once).
  static std::shared_ptr<SWAppConfig> create();

  // "<home>/Library/Corvane".
  static std::string supportFolder();

  // Reads ".config.plist" (creating the support folder when it is missing).
  void loadData();
  // Writes ".config.plist" atomically into the existing support folder; false on failure.
  bool storeData() const;
  // The support folder path with ".soundflower" appended.
  std::string soundflowerSettingFile() const;

  bool autoShare() const;
  void setAutoShare(bool value);
  bool gesturePPT() const;
  void setGesturePPT(bool value);
  bool mouseAlone() const;
  void setMouseAlone(bool value);
  std::int32_t hidState() const;
  void setHidState(std::int32_t value);
  std::optional<std::string> hidDeviceVersion() const;
  void setHidDeviceVersion(std::optional<std::string> value);
  std::optional<std::string> serverVersion() const;
  void setServerVersion(std::optional<std::string> value);
  std::optional<std::string> productName() const;
  void setProductName(std::optional<std::string> value);
  std::string deviceName() const;
  void setDeviceName(std::string value);

 private:
  SWAppConfig();

  mutable std::mutex mutex_;
  bool autoShare_ = false;
  bool gesturePPT_ = false;
  bool mouseAlone_ = false;
  std::int32_t hidState_ = -1;
  std::optional<std::string> hidDeviceVersion_;
  std::optional<std::string> serverVersion_;
  std::optional<std::string> productName_;
  std::string deviceName_;
};

}  // namespace corvane
