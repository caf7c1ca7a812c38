#include "media/sw_app_config.h"

#include "platform/foundation/bundle.h"
#include "platform/foundation/file_utils.h"
#include "platform/foundation/property_list.h"

namespace corvane {
namespace {

namespace files = platform::files;
using platform::PropertyList;

constexpr const char* kConfigFileName = ".config.plist";
constexpr const char* kSoundflowerFileName = ".soundflower";

std::optional<bool> booleanValue(const PropertyList& dictionary, const char* key) {
  const PropertyList* value = dictionary.find(key);
  return value != nullptr ? value->asBoolean() : std::nullopt;
}

}  // namespace

std::shared_ptr<SWAppConfig> SWAppConfig::singleton() {
  // Never destroyed, so that threads still running at exit can read it.
  static const auto* instance = new std::shared_ptr<SWAppConfig>(create());
  return *instance;
}

std::shared_ptr<SWAppConfig> SWAppConfig::create() {
  std::shared_ptr<SWAppConfig> config(new SWAppConfig());
  config->loadData();
  return config;
}

SWAppConfig::SWAppConfig()
    : productName_(platform::Bundle::main()->objectForInfoDictionaryKey("ProductName")),
      deviceName_(files::fullUserName()) {}

std::string SWAppConfig::supportFolder() { return files::homeDirectory() + "/Library/Corvane"; }

void SWAppConfig::loadData() {
  const std::string folder = supportFolder();
  bool isDirectory = false;
  if (!files::exists(folder, &isDirectory)) {
    files::createDirectory(folder, true);  // errors ignored: the settings simply stay default
  }
  // A missing, unreadable or garbled file, or one that is not a dictionary, counts as empty.
  PropertyList settings =
      PropertyList::readFile(files::appendingPathComponent(folder, kConfigFileName))
          .value_or(PropertyList::dictionary());
  if (settings.type() != PropertyList::Type::Dictionary) settings = PropertyList::dictionary();

  std::lock_guard<std::mutex> lock(mutex_);
  autoShare_ = booleanValue(settings, "AutoShare").value_or(false);
  gesturePPT_ = booleanValue(settings, "gesturePPT").value_or(false);
  mouseAlone_ = booleanValue(settings, "MouseAlone").value_or(false);
  // The cursor is always drawn into the captured frames, whatever the file says.
  mouseAlone_ = false;
  if (const PropertyList* name = settings.find("deviceName")) {
    if (auto text = name->asString()) deviceName_ = *text;
  }
}

bool SWAppConfig::storeData() const {
  PropertyList settings = PropertyList::dictionary();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    settings.set("AutoShare", PropertyList::boolean(autoShare_));
    settings.set("gesturePPT", PropertyList::boolean(gesturePPT_));
    settings.set("MouseAlone", PropertyList::boolean(mouseAlone_));
    settings.set("deviceName", PropertyList::string(deviceName_));
  }
  return settings.writeXmlAtomically(
      files::appendingPathComponent(supportFolder(), kConfigFileName));
}

std::string SWAppConfig::soundflowerSettingFile() const {
  return files::appendingPathComponent(supportFolder(), kSoundflowerFileName);
}

bool SWAppConfig::autoShare() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return autoShare_;
}
void SWAppConfig::setAutoShare(bool value) {
  std::lock_guard<std::mutex> lock(mutex_);
  autoShare_ = value;
}
bool SWAppConfig::gesturePPT() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return gesturePPT_;
}
void SWAppConfig::setGesturePPT(bool value) {
  std::lock_guard<std::mutex> lock(mutex_);
  gesturePPT_ = value;
}
bool SWAppConfig::mouseAlone() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mouseAlone_;
}
void SWAppConfig::setMouseAlone(bool value) {
  std::lock_guard<std::mutex> lock(mutex_);
  mouseAlone_ = value;
}
std::int32_t SWAppConfig::hidState() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return hidState_;
}
void SWAppConfig::setHidState(std::int32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  hidState_ = value;
}
std::optional<std::string> SWAppConfig::hidDeviceVersion() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return hidDeviceVersion_;
}
void SWAppConfig::setHidDeviceVersion(std::optional<std::string> value) {
  std::lock_guard<std::mutex> lock(mutex_);
  hidDeviceVersion_ = std::move(value);
}
std::optional<std::string> SWAppConfig::serverVersion() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return serverVersion_;
}
void SWAppConfig::setServerVersion(std::optional<std::string> value) {
  std::lock_guard<std::mutex> lock(mutex_);
  serverVersion_ = std::move(value);
}
std::optional<std::string> SWAppConfig::productName() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return productName_;
}
void SWAppConfig::setProductName(std::optional<std::string> value) {
  std::lock_guard<std::mutex> lock(mutex_);
  productName_ = std::move(value);
}
std::string SWAppConfig::deviceName() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return deviceName_;
}
void SWAppConfig::setDeviceName(std::string value) {
  std::lock_guard<std::mutex> lock(mutex_);
  deviceName_ = std::move(value);
}

}  // namespace corvane
