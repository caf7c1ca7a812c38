#include "logging/dd_tty_palette.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>

namespace corvane::detail {
namespace {

struct Rgb {
  double r, g, b;
};

// How a terminal renders the eight corners of the 6x6x6 colour cube.
constexpr Rgb kBlack{47, 49, 49};
constexpr Rgb kRed{255, 61, 30};
constexpr Rgb kGreen{27, 254, 30};
constexpr Rgb kBlue{88, 51, 255};
constexpr Rgb kYellow{251, 252, 15};
constexpr Rgb kMagenta{249, 53, 248};
constexpr Rgb kCyan{20, 240, 240};
constexpr Rgb kWhite{254, 255, 255};

// Nominal intensity of the six cube levels, as a fraction of full.
constexpr double kLevels[6] = {0.0, 95.0 / 255, 135.0 / 255, 175.0 / 255, 215.0 / 255, 1.0};

Rgb mix(const Rgb& a, const Rgb& b, double t) {
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

// Trilinear blend between the rendered corners.
Rgb cubeColor(int red, int green, int blue) {
  double tr = kLevels[red], tg = kLevels[green], tb = kLevels[blue];
  Rgb k_b = mix(kBlack, kBlue, tb), r_b = mix(kRed, kMagenta, tb);
  Rgb g_b = mix(kGreen, kCyan, tb), y_b = mix(kYellow, kWhite, tb);
  return mix(mix(k_b, g_b, tg), mix(r_b, y_b, tg), tr);
}

// Measured renderings that the blend only approximates (terminal colour number, r, g, b).
struct Measured {
  int code, r, g, b;
};
constexpr Measured kMeasured[] = {
    {16, 47, 49, 49},     {17, 60, 42, 144},    {21, 88, 51, 255},    {46, 27, 254, 30},
    {196, 255, 61, 30},   {226, 251, 252, 15},  {231, 254, 255, 255}, {232, 52, 53, 53},
    {244, 151, 152, 153}, {255, 240, 242, 242},
};

// Grey ramp 232..255 through the measured steps 232, 244 and 255.
Rgb greyColor(int code) {
  const Rgb g232{52, 53, 53}, g244{151, 152, 153}, g255{240, 242, 242};
  if (code <= 244) return mix(g232, g244, (code - 232) / 12.0);
  return mix(g244, g255, (code - 244) / 11.0);
}

std::atomic<const TTYPalette*> g_installed{nullptr};
std::mutex g_installMutex;

}  // namespace

TTYPalette makePalette16() {
  static const int kColors[16][3] = {
      {0, 0, 0},       {194, 54, 33},  {37, 188, 36},  {173, 173, 39},
      {73, 46, 225},   {211, 56, 211}, {51, 187, 200}, {203, 204, 205},
      {129, 131, 131}, {252, 57, 31},  {49, 231, 34},  {234, 236, 35},
      {88, 51, 255},   {249, 53, 248}, {20, 240, 240}, {233, 235, 235},
  };
  TTYPalette p;
  for (int i = 0; i < 16; ++i) {
    const char* bright = i < 8 ? "" : "1;";
    p.fgCodes.push_back(std::string(bright) + std::to_string(30 + i % 8) + "m");
    p.bgCodes.push_back(std::string(bright) + std::to_string(40 + i % 8) + "m");
    p.colors.push_back(LogColor::fromBytes(kColors[i][0], kColors[i][1], kColors[i][2]));
  }
  return p;
}

TTYPalette makePalette256() {
  TTYPalette p;
  for (int i = 0; i < 240; ++i) {
    int code = 16 + i;
    char buf[32];
    std::snprintf(buf, sizeof(buf), "38;5;%dm", code);
    p.fgCodes.push_back(buf);
    std::snprintf(buf, sizeof(buf), "48;5;%dm", code);
    p.bgCodes.push_back(buf);
    Rgb c = code <= 231 ? cubeColor(i / 36, (i / 6) % 6, i % 6) : greyColor(code);
    for (const Measured& m : kMeasured) {
      if (m.code == code) c = Rgb{double(m.r), double(m.g), double(m.b)};
    }
    // Whole 0..255 values, as the table's colours are k/255.
    p.colors.push_back(
        LogColor::fromBytes(int(std::lround(c.r)), int(std::lround(c.g)), int(std::lround(c.b))));
  }
  return p;
}

const TTYPalette* installedPalette() { return g_installed.load(std::memory_order_acquire); }

void installPalette(TTYPalette (*make)()) {
  std::lock_guard<std::mutex> lock(g_installMutex);
  if (g_installed.load(std::memory_order_relaxed) != nullptr) return;
  // Never freed: readers hold plain pointers into it for the life of the process.
  g_installed.store(new TTYPalette(make()), std::memory_order_release);
}

}  // namespace corvane::detail
