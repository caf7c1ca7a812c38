// A colour for the console logger: red, green and blue components from 0 to 1.
#pragma once

namespace corvane {

struct LogColor {
  double red = 0;
  double green = 0;
  double blue = 0;

  // A colour from 0..255 components (k/255 each).
  static constexpr LogColor fromBytes(int r, int g, int b) {
    return LogColor{r / 255.0, g / 255.0, b / 255.0};
  }
};

}  // namespace corvane
