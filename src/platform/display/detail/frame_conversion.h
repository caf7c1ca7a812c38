// Turning a screen image into a stream frame: the cursor composited into the 32-bit image, then
// the image scaled to the stream's size and converted to a '420v' surface. Shared by both
// backends. Pure functions over the given memory; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "platform/video/surface.h"

namespace corvane::platform::display::detail {

// A 32-bit image in memory: bytes B, G, R, A per pixel (X11's 32-bit layout).
struct BgraImage {
  std::uint8_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  std::size_t bytesPerRow = 0;
};

// A cursor image: premultiplied ARGB words (A in the top byte), row after row, placed with its
// top-left corner at (x, y) of the screen image.
struct CursorImage {
  std::span<const std::uint32_t> pixels;
  int width = 0;
  int height = 0;
  int x = 0;
  int y = 0;
};

// Blends the cursor over the image (source-over); parts outside the image are skipped, and a
// cursor whose pixel count does not match its size is ignored.
void compositeCursor(const BgraImage& image, const CursorImage& cursor);

// A '420v' surface of `width` x `height` holding `image` scaled to that size (letterboxed in
// black when `preserveAspectRatio` is set and the shapes differ). `scratch` keeps the scaled
// 32-bit image between calls. nullptr for a bad size or when memory runs out.
video::SurfaceRef convertToSurface(const BgraImage& image, int width, int height,
                                   bool preserveAspectRatio, std::vector<std::uint8_t>& scratch,
                                   std::function<void()> onRelease);

}  // namespace corvane::platform::display::detail
