// Parses arbitrary bytes as a property list (XML or binary). Whatever parses must serialise in
// both formats, and each serialisation must parse back to the same value, less what the
// format cannot hold (dates: see Format); a second save must change nothing.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "../fuzz_check.h"
#include "platform/foundation/property_list.h"

namespace {

using corvane::platform::PropertyList;

// How two values are compared: a first save in the binary format keeps dates to the
// microsecond and clamps them to the 32-bit whole seconds the library takes; values saved
// once come back exactly on the next save; XML keeps the whole seconds, cut towards zero.
enum class Format { Binary, Saved, Xml };

bool sameDate(double before, double after, Format format) {
  switch (format) {
    case Format::Binary: {
      if (std::isnan(before)) return after == 0;
      const double whole = std::trunc(before);
      if (whole < -2147483648.0) return after == -2147483648.0;
      if (whole > 2147483647.0) return after == 2147483647.0;
      return std::fabs(before - after) <= 1e-6;
    }
    case Format::Saved:
      return before == after;
    case Format::Xml:
      return std::trunc(before) == after;
  }
  return false;
}

// Equality in which every NaN equals every other NaN (a stored NaN stays one, though its bits
// need not), and dates compare as `format` keeps them.
bool sameValue(const PropertyList& a, const PropertyList& b, Format format) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case PropertyList::Type::Dictionary: {
      const auto& x = *a.asDictionary();
      const auto& y = *b.asDictionary();
      if (x.size() != y.size()) return false;
      for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
        if (i->first != j->first || !sameValue(i->second, j->second, format)) return false;
      }
      return true;
    }
    case PropertyList::Type::Array: {
      const auto& x = *a.asArray();
      const auto& y = *b.asArray();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!sameValue(x[i], y[i], format)) return false;
      }
      return true;
    }
    case PropertyList::Type::Real: {
      const double x = *a.asReal();
      const double y = *b.asReal();
      return (std::isnan(x) && std::isnan(y)) || x == y;
    }
    case PropertyList::Type::Date:
      return sameDate(*a.asDate(), *b.asDate(), format);
    default:
      return a == b;
  }
}

std::optional<PropertyList> parseBinary(const PropertyList& value) {
  const PropertyList::Data binary = value.toBinary();
  FUZZ_CHECK(binary.size() > 8 && std::memcmp(binary.data(), "bplist00", 8) == 0);
  return PropertyList::parse(binary.data(), binary.size());
}

void checkRoundTrip(const PropertyList& value) {
  const std::optional<PropertyList> saved = parseBinary(value);
  FUZZ_CHECK(saved && sameValue(value, *saved, Format::Binary));
  const std::optional<PropertyList> savedAgain = parseBinary(*saved);
  FUZZ_CHECK(savedAgain && sameValue(*saved, *savedAgain, Format::Saved));

  // XML holds what the binary format holds, dates to the whole second.
  const std::string xml = value.toXml();
  FUZZ_CHECK(!xml.empty());
  const std::optional<PropertyList> fromXml = PropertyList::parse(xml.data(), xml.size());
  if (!fromXml || !sameValue(*saved, *fromXml, Format::Xml)) {
    std::fprintf(stderr, "XML did not read back:\n%s\n", xml.c_str());
  }
  FUZZ_CHECK(fromXml && sameValue(*saved, *fromXml, Format::Xml));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::optional<PropertyList> value = PropertyList::parse(data, size);
  if (value) checkRoundTrip(*value);
  return 0;
}
