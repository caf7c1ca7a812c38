// Property lists: a value tree of dictionaries, arrays, strings, integers, reals, booleans,
// data and dates, read from and written to files through libplist.
//
// Reading accepts the XML and the binary format. A missing, unreadable or garbled file
// reads as nothing (std::nullopt); it is never an error that stops the caller. Strings and
// keys read as valid UTF-8 (each malformed byte becomes U+FFFD), so that saving them again
// loses nothing. Writing
// produces XML and is atomic: the text goes to a temporary file in the same folder, which
// is then renamed over the target, so a reader sees the old or the new file, never a part.
//
// A PropertyList is a plain value (copying copies the tree). Not synchronised: one value
// belongs to one thread at a time; readFile / writeXmlAtomically may run on any thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane::platform {

class PropertyList {
 public:
  enum class Type { Dictionary, Array, String, Integer, Real, Boolean, Data, Date };

  using Dictionary = std::map<std::string, PropertyList>;
  using Array = std::vector<PropertyList>;
  using Data = std::vector<std::uint8_t>;

  // An empty dictionary.
  PropertyList();
  ~PropertyList();
  PropertyList(const PropertyList& other);
  PropertyList(PropertyList&& other) noexcept;
  PropertyList& operator=(const PropertyList& other);
  PropertyList& operator=(PropertyList&& other) noexcept;

  static PropertyList dictionary(Dictionary entries = {});
  static PropertyList array(Array items = {});
  static PropertyList string(std::string value);
  static PropertyList integer(std::int64_t value);
  static PropertyList real(double value);
  static PropertyList boolean(bool value);
  static PropertyList data(Data bytes);
  // A date in seconds since the reference date (2001-01-01 00:00:00 UTC). The XML format
  // keeps dates to the whole second, the binary one to the microsecond; dates past the
  // 32-bit range of whole seconds are saved as that range's end.
  static PropertyList date(double secondsSinceReferenceDate);

  Type type() const { return type_; }

  // Typed reads: the value when the node has that type, else std::nullopt / nullptr.
  // `asInteger` also answers for a real with an integral value, `asReal` for an integer,
  // and `asBoolean` for an integer (non-zero is true), as number objects do.
  std::optional<std::string> asString() const;
  std::optional<std::int64_t> asInteger() const;
  std::optional<double> asReal() const;
  std::optional<bool> asBoolean() const;
  std::optional<double> asDate() const;
  const Data* asData() const;
  const Dictionary* asDictionary() const;
  Dictionary* asDictionary();
  const Array* asArray() const;
  Array* asArray();

  // Dictionary helpers: nullptr / no effect when this node is not a dictionary.
  const PropertyList* find(const std::string& key) const;
  void set(const std::string& key, PropertyList value);
  void remove(const std::string& key);

  bool operator==(const PropertyList& other) const;

  // Reads an XML or binary property list file.
  static std::optional<PropertyList> readFile(const std::string& path);
  // Parses XML or binary property list bytes.
  static std::optional<PropertyList> parse(const void* bytes, std::size_t length);
  // The value as an XML property list document.
  std::string toXml() const;
  // The value in the binary property list format.
  Data toBinary() const;
  // Writes the value as XML to `path` atomically; false (and the old file untouched) on
  // any failure. The folder must exist.
  bool writeXmlAtomically(const std::string& path) const;

 private:
  Type type_ = Type::Dictionary;
  // Exactly one of these is used, according to `type_`.
  std::unique_ptr<Dictionary> dictionary_;
  std::unique_ptr<Array> array_;
  std::string string_;        // String
  Data data_;                 // Data
  std::int64_t integer_ = 0;  // Integer
  double real_ = 0.0;         // Real, Date
  bool boolean_ = false;      // Boolean
};

}  // namespace corvane::platform
