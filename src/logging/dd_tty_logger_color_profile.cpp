#include "logging/dd_tty_logger_color_profile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "logging/dd_tty_logger.h"
#include "logging/dd_tty_palette.h"

namespace corvane {
namespace {

constexpr char kEsc[] = "\033[";

uint8_t componentByte(double component) { return static_cast<uint8_t>(component * 255); }

// Writes `code` for `color` into `out` (24 bytes). `kind` is "fg" or "bg".
void buildCode(const std::optional<LogColor>& color, bool foreground, const char* kind,
               uint64_t& index, std::optional<std::string>& raw, char (&out)[24], size_t& len,
               bool colorTTY, bool xcodeColors) {
  out[0] = '\0';
  len = 0;
  if (!color) return;
  if (colorTTY) {
    const detail::TTYPalette* palette = detail::installedPalette();
    if (palette == nullptr || palette->size() == 0) return;
    index = DDTTYLogger::codeIndexForColor(*color);
    raw = foreground ? palette->fgCodes[index] : palette->bgCodes[index];
    int n = std::snprintf(out, sizeof(out), "%s%s", kEsc, raw->c_str());
    len = n < 0 ? 0 : std::min<size_t>(static_cast<size_t>(n), sizeof(out) - 1);
  } else if (xcodeColors) {
    double r, g, b;
    DDTTYLogger::getRed(&r, &g, &b, *color);
    int n = std::snprintf(out, sizeof(out), "%s%s%u,%u,%u;", kEsc, kind, componentByte(r),
                          componentByte(g), componentByte(b));
    len = n < 0 ? 0 : std::min<size_t>(static_cast<size_t>(n), sizeof(out) - 1);
  }
}

}  // namespace

DDTTYLoggerColorProfilePtr DDTTYLoggerColorProfile::create(std::optional<LogColor> foregroundColor,
                                                           std::optional<LogColor> backgroundColor,
                                                           int32_t mask, int32_t context) {
  DDTTYLogger::initialize();
  const bool colorTTY = DDTTYLogger::isaColorTTY_;
  const bool xcodeColors = DDTTYLogger::isaXcodeColorTTY_;

  DDTTYLoggerColorProfilePtr p(new DDTTYLoggerColorProfile());
  p->mask = mask;
  p->context = context;
  double r, g, b;
  if (foregroundColor) {
    DDTTYLogger::getRed(&r, &g, &b, *foregroundColor);
    p->fg_r = componentByte(r);
    p->fg_g = componentByte(g);
    p->fg_b = componentByte(b);
  }
  if (backgroundColor) {
    DDTTYLogger::getRed(&r, &g, &b, *backgroundColor);
    p->bg_r = componentByte(r);
    p->bg_g = componentByte(g);
    p->bg_b = componentByte(b);
  }
  buildCode(foregroundColor, true, "fg", p->fgCodeIndex, p->fgCodeRaw, p->fgCode, p->fgCodeLen,
            colorTTY, xcodeColors);
  buildCode(backgroundColor, false, "bg", p->bgCodeIndex, p->bgCodeRaw, p->bgCode, p->bgCodeLen,
            colorTTY, xcodeColors);

  const char* reset = colorTTY ? "\033[0m" : xcodeColors ? "\033[;" : "";
  std::strcpy(p->resetCode, reset);
  p->resetCodeLen = std::strlen(reset);
  return p;
}

std::string DDTTYLoggerColorProfile::description() const {
  char buf[256];
  std::snprintf(buf, sizeof(buf),
                "<DDTTYLoggerColorProfile: %p mask:%i ctxt:%i fg:%u,%u,%u bg:%u,%u,%u fgCode:%s "
                "bgCode:%s>",
                static_cast<const void*>(this), mask, context, fg_r, fg_g, fg_b, bg_r, bg_g, bg_b,
                fgCodeRaw ? fgCodeRaw->c_str() : "(null)",
                bgCodeRaw ? bgCodeRaw->c_str() : "(null)");
  return buf;
}

}  // namespace corvane
