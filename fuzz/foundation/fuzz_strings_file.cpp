// Parses arbitrary text as a strings file. The pairs found, written back as a strings file,
// must parse to the same pairs; and a well-formed file followed by the input must give the
// file's pairs overridden by the input's (parsing goes on across a complete pair, and a
// syntax error later on keeps what came before).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "../fuzz_check.h"
#include "platform/foundation/bundle.h"

namespace {

using corvane::platform::Bundle;
using Pairs = std::map<std::string, std::string>;

// A quoted token: only the quote and the backslash need escaping; any other byte, line breaks
// and zero bytes included, stands for itself.
void appendQuoted(std::string& out, const std::string& text) {
  out += '"';
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

std::string strings(const Pairs& pairs) {
  std::string out;
  for (const auto& [key, value] : pairs) {
    appendQuoted(out, key);
    out += " = ";
    appendQuoted(out, value);
    out += ";\n";
  }
  return out;
}

const Pairs& knownPairs() {
  static const Pairs pairs = {{"Cancel", "Abbrechen"},
                              {"quote \" and \\ backslash", "line\nbreak\ttab"},
                              {std::string("zero\0byte", 9), "\xF0\x9F\x98\x80"},
                              {"", "empty key"}};
  return pairs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const Pairs pairs = Bundle::parseStrings(text);

  FUZZ_CHECK(Bundle::parseStrings(strings(pairs)) == pairs);

  // A byte order mark only counts at the very start of a file.
  const std::string body = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? text.substr(3) : text;
  Pairs expected = knownPairs();
  for (const auto& [key, value] : pairs) expected.insert_or_assign(key, value);
  FUZZ_CHECK(Bundle::parseStrings(strings(knownPairs()) + body) == expected);
  return 0;
}
