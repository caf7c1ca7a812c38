#include "platform/foundation/property_list.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

namespace corvane::platform {
namespace {

// Files larger than this are not property lists we wrote or expect; they read as nothing.
constexpr off_t kMaxFileSize = off_t{64} * 1024 * 1024;
// Deeper trees are refused rather than risking the stack.
constexpr int kMaxDepth = 256;

struct PlistDeleter {
  void operator()(void* node) const {
    if (node != nullptr) plist_free(static_cast<plist_t>(node));
  }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// Length of the well-formed UTF-8 sequence at `s[i]`, or 0.
std::size_t utf8SequenceLength(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) low = 0xA0;
    if (b0 == 0xED) high = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (s.size() - i < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

// The text of a string or key node as valid UTF-8: the parser hands out the bytes of the file
// unchecked, and the writer drops bytes it cannot encode, so a malformed byte would vanish or
// shift on the next save. Each byte that does not begin a well-formed sequence becomes U+FFFD.
std::string validUtf8(std::string_view in) {
  std::size_t i = 0;
  while (i < in.size()) {
    const std::size_t n = utf8SequenceLength(in, i);
    if (n == 0) break;
    i += n;
  }
  if (i == in.size()) return std::string(in);
  std::string out(in.substr(0, i));
  while (i < in.size()) {
    const std::size_t n = utf8SequenceLength(in, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(in, i, n);
      i += n;
    }
  }
  return out;
}

std::uint64_t readBigEndian(const unsigned char* p, std::size_t n) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < n; ++i) value = (value << 8) | p[i];
  return value;
}

// The library aborts the program (a failed assertion) when a string or key it decoded from
// UTF-16 holds U+0000. Before a binary list is parsed, every such code unit of the UTF-16
// string objects named by its offset table is replaced by U+FFFD, in place. False (the list
// is garbled) when there is no trailer, the offset size is outside 1..8, an object lies
// outside the object area, or a UTF-16 string has a malformed count or runs past the object
// area. The work is bounded by the size of the list.
bool replaceNulCodeUnits(std::string& list) {
  constexpr std::size_t kTrailerSize = 32;
  const std::size_t size = list.size();
  if (size < 8 + kTrailerSize) return false;
  auto* bytes = reinterpret_cast<unsigned char*>(list.data());
  const unsigned char* trailer = bytes + size - kTrailerSize;
  const std::size_t offsetSize = trailer[6];
  const std::uint64_t objects = readBigEndian(trailer + 8, 8);
  const std::uint64_t table = readBigEndian(trailer + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || table < 8 || table > size - kTrailerSize) return false;
  const std::uint64_t entries = std::min<std::uint64_t>(objects, (size - table) / offsetSize);
  std::uint64_t budget = size;  // code units looked at; distinct strings hold fewer
  for (std::uint64_t i = 0; i < entries; ++i) {
    const std::uint64_t offset = readBigEndian(bytes + table + i * offsetSize, offsetSize);
    if (offset < 8 || offset >= table) return false;
    if ((bytes[offset] >> 4) != 0x6) continue;  // not a UTF-16 string
    std::uint64_t units = bytes[offset] & 0x0F;
    std::uint64_t at = offset + 1;
    if (units == 0x0F) {
      // The count follows as an integer object of 1, 2, 4 or 8 bytes.
      if (at >= table || (bytes[at] >> 4) != 0x1 || (bytes[at] & 0x0F) > 3) return false;
      const std::size_t n = std::size_t{1} << (bytes[at] & 0x0F);
      if (n > table - at - 1) return false;
      units = readBigEndian(bytes + at + 1, n);
      at += 1 + n;
    }
    if (units > (table - at) / 2) return false;
    if (units > budget) return false;
    budget -= units;
    for (std::uint64_t u = 0; u < units; ++u, at += 2) {
      if (bytes[at] == 0 && bytes[at + 1] == 0) {
        bytes[at] = 0xFF;
        bytes[at + 1] = 0xFD;
      }
    }
  }
  return true;
}

// The seconds of a date node. The library keeps a date as a double, but its getter hands out
// the seconds cut towards zero and the microseconds cut too and without their sign (-100.5
// comes back as -100 and 500000), so a fraction would lose a microsecond on every save and a
// date between -1 and 0 could not be told from its positive twin. The exact value is taken
// from the node's binary form (marker 0x33, then the big-endian double); the getter's parts
// only when that is not a finite number.
double dateSeconds(plist_t node) {
  std::optional<double> exact;
  char* bin = nullptr;
  uint32_t length = 0;
  plist_to_bin(node, &bin, &length);
  if (bin != nullptr && length >= 17 && std::memcmp(bin, "bplist00", 8) == 0 &&
      static_cast<unsigned char>(bin[8]) == 0x33) {
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | static_cast<unsigned char>(bin[9 + i]);
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    if (std::isfinite(value)) exact = value;
  }
  if (bin != nullptr) plist_to_bin_free(bin);
  if (exact) return *exact;
  int32_t sec = 0;
  int32_t usec = 0;
  plist_get_date_val(node, &sec, &usec);
  const double fraction = static_cast<double>(usec) * 1e-6;
  return sec < 0 ? static_cast<double>(sec) - fraction : static_cast<double>(sec) + fraction;
}

std::optional<PropertyList> fromNode(plist_t node, int depth) {
  if (node == nullptr || depth > kMaxDepth) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
      PropertyList::Dictionary entries;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      if (it == nullptr) return std::nullopt;
      bool ok = true;
      while (ok) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, it, &key, &value);
        if (value == nullptr) {
          std::free(key);
          break;
        }
        std::optional<PropertyList> child = fromNode(value, depth + 1);
        if (key == nullptr || !child) {
          ok = false;
        } else {
          entries.insert_or_assign(validUtf8(key), std::move(*child));
        }
        std::free(key);
      }
      std::free(it);
      if (!ok) return std::nullopt;
      return PropertyList::dictionary(std::move(entries));
    }
    case PLIST_ARRAY: {
      PropertyList::Array items;
      uint32_t count = plist_array_get_size(node);
      items.reserve(count);
      for (uint32_t i = 0; i < count; ++i) {
        std::optional<PropertyList> child = fromNode(plist_array_get_item(node, i), depth + 1);
        if (!child) return std::nullopt;
        items.push_back(std::move(*child));
      }
      return PropertyList::array(std::move(items));
    }
    case PLIST_STRING: {
      // Up to the first zero byte, as the writer takes the text.
      uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      if (text == nullptr) return PropertyList::string("");
      std::string_view view(text, static_cast<std::size_t>(length));
      return PropertyList::string(validUtf8(view.substr(0, view.find('\0'))));
    }
    case PLIST_UINT: {
      uint64_t v = 0;
      plist_get_uint_val(node, &v);
      // Integers are stored as 64-bit two's complement; negative values round-trip.
      return PropertyList::integer(static_cast<std::int64_t>(v));
    }
    case PLIST_REAL: {
      double v = 0;
      plist_get_real_val(node, &v);
      return PropertyList::real(v);
    }
    case PLIST_BOOLEAN: {
      uint8_t v = 0;
      plist_get_bool_val(node, &v);
      return PropertyList::boolean(v != 0);
    }
    case PLIST_DATA: {
      char* bytes = nullptr;
      uint64_t length = 0;
      plist_get_data_val(node, &bytes, &length);
      PropertyList::Data data;
      if (bytes != nullptr) data.assign(bytes, bytes + length);
      std::free(bytes);
      return PropertyList::data(std::move(data));
    }
    case PLIST_DATE:
      return PropertyList::date(dateSeconds(node));
    case PLIST_UID: {
      uint64_t v = 0;
      plist_get_uid_val(node, &v);
      return PropertyList::integer(static_cast<std::int64_t>(v));
    }
    default:
      return std::nullopt;
  }
}

plist_t toNode(const PropertyList& value) {
  switch (value.type()) {
    case PropertyList::Type::Dictionary: {
      plist_t dict = plist_new_dict();
      for (const auto& [key, child] : *value.asDictionary()) {
        plist_dict_set_item(dict, key.c_str(), toNode(child));
      }
      return dict;
    }
    case PropertyList::Type::Array: {
      plist_t array = plist_new_array();
      for (const auto& child : *value.asArray()) plist_array_append_item(array, toNode(child));
      return array;
    }
    case PropertyList::Type::String:
      return plist_new_string(value.asString()->c_str());
    case PropertyList::Type::Integer:
      return plist_new_uint(static_cast<uint64_t>(*value.asInteger()));
    case PropertyList::Type::Real:
      return plist_new_real(*value.asReal());
    case PropertyList::Type::Boolean:
      return plist_new_bool(*value.asBoolean() ? 1 : 0);
    case PropertyList::Type::Data: {
      const auto* data = value.asData();
      return plist_new_data(reinterpret_cast<const char*>(data->data()), data->size());
    }
    case PropertyList::Type::Date: {
      double seconds = *value.asDate();
      if (std::isnan(seconds)) seconds = 0;
      // The library stores seconds + microseconds / 1e6, so the whole seconds are cut towards
      // zero and the microseconds carry the sign. The whole seconds are 32-bit: a date past
      // either end is clamped (rather than wrapped) to that end's whole second.
      const double whole = std::trunc(seconds);
      if (whole < -2147483648.0 || whole > 2147483647.0) {
        return plist_new_date(
            whole < 0 ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int32_t>::max(),
            0);
      }
      const long usec = std::clamp(std::lround((seconds - whole) * 1e6), -999999L, 999999L);
      return plist_new_date(static_cast<int32_t>(whole), static_cast<int32_t>(usec));
    }
  }
  return plist_new_dict();
}

}  // namespace

PropertyList::PropertyList() : dictionary_(std::make_unique<Dictionary>()) {}
PropertyList::~PropertyList() = default;

PropertyList::PropertyList(const PropertyList& other)
    : type_(other.type_),
      dictionary_(other.dictionary_ ? std::make_unique<Dictionary>(*other.dictionary_) : nullptr),
      array_(other.array_ ? std::make_unique<Array>(*other.array_) : nullptr),
      string_(other.string_),
      data_(other.data_),
      integer_(other.integer_),
      real_(other.real_),
      boolean_(other.boolean_) {}

PropertyList::PropertyList(PropertyList&& other) noexcept
    : type_(other.type_),
      dictionary_(std::move(other.dictionary_)),
      array_(std::move(other.array_)),
      string_(std::move(other.string_)),
      data_(std::move(other.data_)),
      integer_(other.integer_),
      real_(other.real_),
      boolean_(other.boolean_) {
  // Leave the source a valid empty dictionary.
  other.type_ = Type::Dictionary;
  other.dictionary_ = std::make_unique<Dictionary>();
}

PropertyList& PropertyList::operator=(const PropertyList& other) {
  if (this != &other) {
    PropertyList copy(other);
    *this = std::move(copy);
  }
  return *this;
}

PropertyList& PropertyList::operator=(PropertyList&& other) noexcept {
  if (this != &other) {
    type_ = other.type_;
    dictionary_ = std::move(other.dictionary_);
    array_ = std::move(other.array_);
    string_ = std::move(other.string_);
    data_ = std::move(other.data_);
    integer_ = other.integer_;
    real_ = other.real_;
    boolean_ = other.boolean_;
    other.type_ = Type::Dictionary;
    other.dictionary_ = std::make_unique<Dictionary>();
  }
  return *this;
}

PropertyList PropertyList::dictionary(Dictionary entries) {
  PropertyList v;
  *v.dictionary_ = std::move(entries);
  return v;
}

PropertyList PropertyList::array(Array items) {
  PropertyList v;
  v.type_ = Type::Array;
  v.dictionary_.reset();
  v.array_ = std::make_unique<Array>(std::move(items));
  return v;
}

PropertyList PropertyList::string(std::string value) {
  PropertyList v;
  v.type_ = Type::String;
  v.dictionary_.reset();
  v.string_ = std::move(value);
  return v;
}

PropertyList PropertyList::integer(std::int64_t value) {
  PropertyList v;
  v.type_ = Type::Integer;
  v.dictionary_.reset();
  v.integer_ = value;
  return v;
}

PropertyList PropertyList::real(double value) {
  PropertyList v;
  v.type_ = Type::Real;
  v.dictionary_.reset();
  v.real_ = value;
  return v;
}

PropertyList PropertyList::boolean(bool value) {
  PropertyList v;
  v.type_ = Type::Boolean;
  v.dictionary_.reset();
  v.boolean_ = value;
  return v;
}

PropertyList PropertyList::data(Data bytes) {
  PropertyList v;
  v.type_ = Type::Data;
  v.dictionary_.reset();
  v.data_ = std::move(bytes);
  return v;
}

PropertyList PropertyList::date(double secondsSinceReferenceDate) {
  PropertyList v;
  v.type_ = Type::Date;
  v.dictionary_.reset();
  v.real_ = secondsSinceReferenceDate;
  return v;
}

std::optional<std::string> PropertyList::asString() const {
  if (type_ == Type::String) return string_;
  return std::nullopt;
}

std::optional<std::int64_t> PropertyList::asInteger() const {
  switch (type_) {
    case Type::Integer:
      return integer_;
    case Type::Boolean:
      return boolean_ ? 1 : 0;
    case Type::Real:
      if (std::isfinite(real_) && std::trunc(real_) == real_ && std::fabs(real_) < 9.2e18) {
        return static_cast<std::int64_t>(real_);
      }
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

std::optional<double> PropertyList::asReal() const {
  if (type_ == Type::Real) return real_;
  if (type_ == Type::Integer) return static_cast<double>(integer_);
  return std::nullopt;
}

std::optional<bool> PropertyList::asBoolean() const {
  if (type_ == Type::Boolean) return boolean_;
  if (type_ == Type::Integer) return integer_ != 0;
  if (type_ == Type::Real) return real_ != 0.0;
  return std::nullopt;
}

std::optional<double> PropertyList::asDate() const {
  if (type_ == Type::Date) return real_;
  return std::nullopt;
}

const PropertyList::Data* PropertyList::asData() const {
  return type_ == Type::Data ? &data_ : nullptr;
}

const PropertyList::Dictionary* PropertyList::asDictionary() const {
  return type_ == Type::Dictionary ? dictionary_.get() : nullptr;
}

PropertyList::Dictionary* PropertyList::asDictionary() {
  return type_ == Type::Dictionary ? dictionary_.get() : nullptr;
}

const PropertyList::Array* PropertyList::asArray() const {
  return type_ == Type::Array ? array_.get() : nullptr;
}

PropertyList::Array* PropertyList::asArray() {
  return type_ == Type::Array ? array_.get() : nullptr;
}

const PropertyList* PropertyList::find(const std::string& key) const {
  const Dictionary* dict = asDictionary();
  if (dict == nullptr) return nullptr;
  auto it = dict->find(key);
  return it == dict->end() ? nullptr : &it->second;
}

void PropertyList::set(const std::string& key, PropertyList value) {
  if (Dictionary* dict = asDictionary()) dict->insert_or_assign(key, std::move(value));
}

void PropertyList::remove(const std::string& key) {
  if (Dictionary* dict = asDictionary()) dict->erase(key);
}

bool PropertyList::operator==(const PropertyList& other) const {
  if (type_ != other.type_) return false;
  switch (type_) {
    case Type::Dictionary:
      return *dictionary_ == *other.dictionary_;
    case Type::Array:
      return *array_ == *other.array_;
    case Type::String:
      return string_ == other.string_;
    case Type::Integer:
      return integer_ == other.integer_;
    case Type::Real:
    case Type::Date:
      return real_ == other.real_;
    case Type::Boolean:
      return boolean_ == other.boolean_;
    case Type::Data:
      return data_ == other.data_;
  }
  return false;
}

std::optional<PropertyList> PropertyList::parse(const void* bytes, std::size_t length) {
  if (bytes == nullptr || length == 0 || length > static_cast<std::size_t>(kMaxFileSize)) {
    return std::nullopt;
  }
  plist_t root = nullptr;
  const char* text = static_cast<const char*>(bytes);
  if (plist_is_binary(text, static_cast<uint32_t>(length))) {
    std::string list(text, length);
    if (!replaceNulCodeUnits(list)) return std::nullopt;
    plist_from_bin(list.data(), static_cast<uint32_t>(list.size()), &root);
  } else {
    plist_from_memory(text, static_cast<uint32_t>(length), &root);
  }
  PlistPtr owner(root);
  return fromNode(root, 0);
}

std::optional<PropertyList> PropertyList::readFile(const std::string& path) {
  // O_NONBLOCK: opening a FIFO put where the file should be must not wait for a writer.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 || st.st_size > kMaxFileSize) {
    ::close(fd);
    return std::nullopt;
  }
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (done == 0) return std::nullopt;
  return parse(bytes.data(), done);
}

std::string PropertyList::toXml() const {
  PlistPtr root(toNode(*this));
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(static_cast<plist_t>(root.get()), &xml, &length);
  std::string text = xml != nullptr ? std::string(xml, length) : std::string();
  if (xml != nullptr) plist_to_xml_free(xml);
  return text;
}

PropertyList::Data PropertyList::toBinary() const {
  PlistPtr root(toNode(*this));
  char* bin = nullptr;
  uint32_t length = 0;
  plist_to_bin(static_cast<plist_t>(root.get()), &bin, &length);
  Data bytes;
  if (bin != nullptr) {
    bytes.assign(bin, bin + length);
    plist_to_bin_free(bin);
  }
  return bytes;
}

bool PropertyList::writeXmlAtomically(const std::string& path) const {
  std::string xml = toXml();
  if (xml.empty() || path.empty()) return false;
  // The temporary file lives next to the target so that rename() stays on one file system.
  std::string temp = path + ".XXXXXX";
  // Close-on-exec: a child started meanwhile (the privileged shell task) must not inherit it.
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = true;
  std::size_t done = 0;
  while (ok && done < xml.size()) {
    ssize_t n = ::write(fd, xml.data() + done, xml.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
    } else {
      done += static_cast<std::size_t>(n);
    }
  }
  // mkstemp makes the file 0600; settings files are ordinary user files.
  if (ok) ok = fchmod(fd, 0644) == 0;
  if (ok) ok = fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (ok) ok = std::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

}  // namespace corvane::platform
