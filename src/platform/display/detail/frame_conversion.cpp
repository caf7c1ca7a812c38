#include "platform/display/detail/frame_conversion.h"

#include <libyuv.h>

#include <algorithm>
#include <cstring>

namespace corvane::platform::display::detail {

namespace {

std::uint8_t blend(std::uint8_t destination, std::uint32_t source, std::uint32_t alpha) {
  // Premultiplied source-over: d = s + d * (255 - a) / 255, rounded.
  const std::uint32_t value = source + (destination * (255U - alpha) + 127U) / 255U;
  return static_cast<std::uint8_t>(std::min<std::uint32_t>(value, 255U));
}

}  // namespace

void compositeCursor(const BgraImage& image, const CursorImage& cursor) {
  if (image.pixels == nullptr || cursor.width <= 0 || cursor.height <= 0) return;
  const auto count =
      static_cast<std::size_t>(cursor.width) * static_cast<std::size_t>(cursor.height);
  if (cursor.pixels.size() != count) return;
  const int x0 = std::max(0, cursor.x);
  const int y0 = std::max(0, cursor.y);
  const int x1 = std::min(image.width, cursor.x + cursor.width);
  const int y1 = std::min(image.height, cursor.y + cursor.height);
  for (int y = y0; y < y1; ++y) {
    std::uint8_t* row = image.pixels + static_cast<std::size_t>(y) * image.bytesPerRow;
    const std::size_t cursorRow =
        static_cast<std::size_t>(y - cursor.y) * static_cast<std::size_t>(cursor.width);
    for (int x = x0; x < x1; ++x) {
      const std::uint32_t argb = cursor.pixels[cursorRow + static_cast<std::size_t>(x - cursor.x)];
      const std::uint32_t alpha = argb >> 24;
      if (alpha == 0 && (argb & 0xFFFFFFU) == 0) continue;
      std::uint8_t* pixel = row + static_cast<std::size_t>(x) * 4;
      pixel[0] = blend(pixel[0], argb & 0xFFU, alpha);
      pixel[1] = blend(pixel[1], (argb >> 8) & 0xFFU, alpha);
      pixel[2] = blend(pixel[2], (argb >> 16) & 0xFFU, alpha);
      pixel[3] = 255;
    }
  }
}

namespace {

// Where the picture goes inside a surface of `width` x `height`: all of it, or the largest
// rectangle of the image's shape, centred on even coordinates (so the chroma samples line up).
struct Placement {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
};

Placement placeImage(const BgraImage& image, int width, int height, bool preserveAspectRatio) {
  Placement fit{0, 0, width, height};
  if (!preserveAspectRatio) return fit;
  const auto widthByHeight = static_cast<std::int64_t>(image.width) * height;
  const auto heightByWidth = static_cast<std::int64_t>(image.height) * width;
  if (widthByHeight > heightByWidth) {
    fit.height = std::max(1, static_cast<int>(heightByWidth / image.width));
  } else if (widthByHeight < heightByWidth) {
    fit.width = std::max(1, static_cast<int>(widthByHeight / image.height));
  }
  fit.left = (width - fit.width) / 2 / 2 * 2;
  fit.top = (height - fit.height) / 2 / 2 * 2;
  return fit;
}

// Opaque black in video range: what the conversion makes of B = G = R = 0.
void fillBlack(video::Surface& surface) {
  std::memset(surface.baseAddressOfPlane(0), 16,
              surface.bytesPerRowOfPlane(0) * static_cast<std::size_t>(surface.heightOfPlane(0)));
  std::memset(surface.baseAddressOfPlane(1), 128,
              surface.bytesPerRowOfPlane(1) * static_cast<std::size_t>(surface.heightOfPlane(1)));
}

}  // namespace

bool convertIntoSurface(const BgraImage& image, video::Surface& surface, bool preserveAspectRatio,
                        ConversionScratch& scratch) {
  if (image.pixels == nullptr || image.width < 1 || image.height < 1) return false;
  if (surface.pixelFormat() != video::kPixelFormat420YpCbCr8BiPlanarVideoRange) return false;
  const int width = surface.width();
  const int height = surface.height();
  std::uint8_t* y = surface.baseAddressOfPlane(0);
  std::uint8_t* uv = surface.baseAddressOfPlane(1);
  const auto yStride = static_cast<int>(surface.bytesPerRowOfPlane(0));
  const auto uvStride = static_cast<int>(surface.bytesPerRowOfPlane(1));
  const auto imageStride = static_cast<int>(image.bytesPerRow);
  if (image.width == width && image.height == height) {
    return libyuv::ARGBToNV12(image.pixels, imageStride, y, yStride, uv, uvStride, width, height) ==
           0;
  }
  // The picture in NV12 at the captured size, in scratch memory that stays from frame to frame,
  // its planes then scaled into the surface. (libyuv's scalers of 32-bit and of interleaved
  // chroma images darken every sample by about 1%; the plane scaler keeps the values.)
  const Placement fit = placeImage(image, width, height, preserveAspectRatio);
  const auto lumaStride = static_cast<std::size_t>(image.width);
  const int chromaWidth = (image.width + 1) / 2;
  const int chromaHeight = (image.height + 1) / 2;
  const auto chromaStride = static_cast<std::size_t>(chromaWidth) * 2;
  const std::size_t lumaBytes = lumaStride * static_cast<std::size_t>(image.height);
  const std::size_t needed = lumaBytes + chromaStride * static_cast<std::size_t>(chromaHeight);
  if (scratch.planes.size() < needed) scratch.planes.resize(needed);
  std::uint8_t* sy = scratch.planes.data();
  std::uint8_t* suv = sy + lumaBytes;
  if (libyuv::ARGBToNV12(image.pixels, imageStride, sy, static_cast<int>(lumaStride), suv,
                         static_cast<int>(chromaStride), image.width, image.height) != 0) {
    return false;
  }
  if (fit.width != width || fit.height != height) fillBlack(surface);
  std::uint8_t* ty = y + static_cast<std::size_t>(fit.top) * static_cast<std::size_t>(yStride) +
                     static_cast<std::size_t>(fit.left);
  std::uint8_t* tuv = uv +
                      static_cast<std::size_t>(fit.top / 2) * static_cast<std::size_t>(uvStride) +
                      static_cast<std::size_t>(fit.left / 2) * 2;
  video::PlaneScaler& scaler = scratch.scaler;
  scaler.scale(sy, static_cast<int>(lumaStride), image.width, image.height, ty, yStride, fit.width,
               fit.height);
  scaler.scaleInterleaved(suv, static_cast<int>(chromaStride), chromaWidth, chromaHeight, tuv,
                          uvStride, (fit.width + 1) / 2, (fit.height + 1) / 2);
  return true;
}

video::SurfaceRef convertToSurface(const BgraImage& image, const video::PixelBufferPoolRef& pool,
                                   bool preserveAspectRatio, ConversionScratch& scratch,
                                   std::function<void()> onRelease) {
  if (image.pixels == nullptr || image.width < 1 || image.height < 1 || !pool) return nullptr;
  video::SurfaceRef surface;
  if (video::Surface::create(pool, std::move(onRelease), &surface) != video::kReturnSuccess) {
    return nullptr;
  }
  if (!convertIntoSurface(image, *surface, preserveAspectRatio, scratch)) return nullptr;
  return surface;
}

}  // namespace corvane::platform::display::detail
