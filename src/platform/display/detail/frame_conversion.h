// Turning a screen image into a stream frame: the cursor composited into the 32-bit image, then
// the image converted to 4:2:0 and scaled to the stream's size in a '420v' surface. Shared by both
// backends. Pure functions over the given memory; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "platform/video/pixel_buffer_pool.h"
#include "platform/video/plane_scaler.h"
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

// What a conversion keeps from frame to frame: the picture at the captured size and the
// scaler's tables. One per stream (used by one thread at a time).
struct ConversionScratch {
  std::vector<std::uint8_t> planes;
  video::PlaneScaler scaler;
};

// Writes `image` into `surface` ('420v'), scaled to the surface's size (letterboxed in black
// when `preserveAspectRatio` is set and the shapes differ). The image is converted at its own
// size first and the 4:2:0 planes are scaled afterwards, so the scaling moves 1.5 bytes a
// pixel instead of 4; `scratch` keeps that picture between calls (its memory is reused).
// False for a bad image or surface.
bool convertIntoSurface(const BgraImage& image, video::Surface& surface, bool preserveAspectRatio,
                        ConversionScratch& scratch);

// A '420v' surface from `pool` (whose size is the stream's) holding `image` as above; its
// memory goes back to the pool when it dies, and `onRelease` runs. nullptr for a bad image,
// when all of the pool's buffers are out, or when memory runs out.
video::SurfaceRef convertToSurface(const BgraImage& image, const video::PixelBufferPoolRef& pool,
                                   bool preserveAspectRatio, ConversionScratch& scratch,
                                   std::function<void()> onRelease);

}  // namespace corvane::platform::display::detail
