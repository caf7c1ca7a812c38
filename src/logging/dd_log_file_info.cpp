#include "logging/dd_log_file_info.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/foundation/file_utils.h"
#include "platform/foundation/reference_date.h"
#include "platform/log/log.h"

namespace corvane {

namespace files = platform::files;

namespace {

bool isMissingAttributeSupport(int error) { return error == ENOTSUP || error == EOPNOTSUPP; }

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string textOf(const std::optional<double>& v) {
  if (!v) return "";
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%.3f", *v);
  return buf;
}

}  // namespace

namespace detail {

std::string extendedAttributeMarkerPath(const std::string& filePath, const std::string& attrName) {
  return files::appendingPathComponent(folderOf(filePath),
                                       "." + files::lastPathComponent(filePath) + "." + attrName);
}

std::string errnoText(int error) {
  char buf[256];
  // GNU strerror_r answers the text, which may not be in buf.
  return ::strerror_r(error, buf, sizeof buf);
}

void removeExtendedAttributeMarkers(const std::string& filePath) {
  removeRegularFile(extendedAttributeMarkerPath(filePath, kLogFileArchivedAttribute));
}

bool isRegularFile(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool removeRegularFile(const std::string& path) {
  // unlink never removes a folder, so one that takes the name after the test is safe too.
  return isRegularFile(path) && ::unlink(path.c_str()) == 0;
}

}  // namespace detail

DDLogFileInfoPtr DDLogFileInfo::logFileWithPath(const std::string& filePath) {
  return std::make_shared<DDLogFileInfo>(filePath);
}

DDLogFileInfo::DDLogFileInfo(std::string filePath) : filePath_(std::move(filePath)) {}

const std::string& DDLogFileInfo::fileName() {
  if (!fileName_) fileName_ = files::lastPathComponent(filePath_);
  return *fileName_;
}

const DDLogFileInfo::FileAttributes& DDLogFileInfo::fileAttributes() {
  if (!fileAttributes_) {
    fileAttributes_ =
        FileAttributes{files::creationDate(filePath_), files::modificationDate(filePath_),
                       files::fileSize(filePath_)};
  }
  return *fileAttributes_;
}

double DDLogFileInfo::creationDate() {
  if (!creationDate_) creationDate_ = fileAttributes().creationDate.value_or(0.0);
  return *creationDate_;
}

double DDLogFileInfo::modificationDate() {
  if (!modificationDate_) modificationDate_ = fileAttributes().modificationDate.value_or(0.0);
  return *modificationDate_;
}

uint64_t DDLogFileInfo::fileSize() {
  if (fileSize_ == 0) fileSize_ = fileAttributes().fileSize.value_or(0);
  return fileSize_;
}

double DDLogFileInfo::age() { return platform::ReferenceDate::now() - creationDate(); }

bool DDLogFileInfo::isArchived() {
  return hasExtendedAttributeWithName(detail::kLogFileArchivedAttribute);
}

void DDLogFileInfo::setIsArchived(bool flag) {
  if (flag) {
    addExtendedAttributeWithName(detail::kLogFileArchivedAttribute);
  } else {
    removeExtendedAttributeWithName(detail::kLogFileArchivedAttribute);
  }
}

void DDLogFileInfo::reset() {
  fileName_.reset();
  fileAttributes_.reset();
  creationDate_.reset();
  modificationDate_.reset();
}

void DDLogFileInfo::renameFile(const std::string& newFileName) {
  if (newFileName != fileName()) {
    const std::string newPath = files::appendingPathComponent(folderOf(filePath_), newFileName);
    platform::Error error;
    if (files::move(filePath_, newPath, &error)) {
      // A marker file follows its log file.
      const std::string marker =
          detail::extendedAttributeMarkerPath(filePath_, detail::kLogFileArchivedAttribute);
      if (files::exists(marker)) {
        files::move(marker, detail::extendedAttributeMarkerPath(newPath,
                                                                detail::kLogFileArchivedAttribute));
      }
    } else {
      platform::log::nslog("DDLogFileInfo: Error renaming file (%s): %s", fileName().c_str(),
                           error.description.c_str());
    }
    filePath_ = newPath;
  }
  reset();
}

bool DDLogFileInfo::hasExtendedAttributeWithName(const std::string& attrName) {
  const ssize_t result = ::getxattr(filePath_.c_str(), attrName.c_str(), nullptr, 0);
  if (result >= 0) return true;
  if (isMissingAttributeSupport(errno)) {
    return files::exists(detail::extendedAttributeMarkerPath(filePath_, attrName));
  }
  return false;
}

void DDLogFileInfo::addExtendedAttributeWithName(const std::string& attrName) {
  const int result = ::setxattr(filePath_.c_str(), attrName.c_str(), "", 0, 0);
  if (result == 0) return;
  if (isMissingAttributeSupport(errno) && files::exists(filePath_) &&
      files::createFile(detail::extendedAttributeMarkerPath(filePath_, attrName))) {
    return;
  }
  platform::log::nslog("DDLogFileInfo: setxattr(%s, %s): error = %i", attrName.c_str(),
                       fileName().c_str(), result);
}

void DDLogFileInfo::removeExtendedAttributeWithName(const std::string& attrName) {
  const int result = ::removexattr(filePath_.c_str(), attrName.c_str());
  if (result == 0 || errno == ENODATA) return;
  if (isMissingAttributeSupport(errno)) {
    const std::string marker = detail::extendedAttributeMarkerPath(filePath_, attrName);
    if (!files::exists(marker) || detail::removeRegularFile(marker)) return;
  }
  platform::log::nslog("DDLogFileInfo: removexattr(%s, %s): error = %i", attrName.c_str(),
                       fileName().c_str(), result);
}

bool DDLogFileInfo::reverseCompareByCreationDate(DDLogFileInfo& other) {
  return creationDate() > other.creationDate();
}

bool DDLogFileInfo::reverseCompareByModificationDate(DDLogFileInfo& other) {
  return modificationDate() > other.modificationDate();
}

std::string DDLogFileInfo::description() {
  const FileAttributes& a = fileAttributes();
  std::string attrs = "{creationDate = " + textOf(a.creationDate) +
                      "; modificationDate = " + textOf(a.modificationDate) +
                      "; fileSize = " + (a.fileSize ? std::to_string(*a.fileSize) : std::string()) +
                      "}";
  return "{filePath = " + filePath_ + "; fileName = " + fileName() + "; fileAttributes = " + attrs +
         "; creationDate = " +
         textOf(a.creationDate ? std::optional(creationDate()) : std::nullopt) +
         "; modificationDate = " +
         textOf(a.modificationDate ? std::optional(modificationDate()) : std::nullopt) +
         "; fileSize = " + std::to_string(fileSize()) +
         "; age = " + textOf(a.creationDate ? std::optional(age()) : std::nullopt) +
         "; isArchived = " + (isArchived() ? "1" : "0") + "}";
}

}  // namespace corvane
