// The console logger's colour tables: for each terminal colour code, the foreground and
// background escape codes and the colour the terminal shows for it. Either the 16-colour
// table or the 240-entry 256-colour table is built, once; afterwards the table is read-only
// and may be read from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "logging/log_color.h"

namespace corvane::detail {

struct TTYPalette {
  std::vector<std::string> fgCodes;  // e.g. "31m", "38;5;196m"
  std::vector<std::string> bgCodes;  // e.g. "41m", "48;5;196m"
  std::vector<LogColor> colors;

  size_t size() const { return colors.size(); }
};

// The 16-entry / 240-entry table as defined.
TTYPalette makePalette16();
TTYPalette makePalette256();

// The table built by the first `installPalette` call, or nullptr when none was built.
const TTYPalette* installedPalette();
// Builds `make()` and installs it unless a table is installed already.
void installPalette(TTYPalette (*make)());

}  // namespace corvane::detail
