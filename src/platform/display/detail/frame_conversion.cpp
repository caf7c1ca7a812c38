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
  const auto count = static_cast<std::size_t>(cursor.width) * static_cast<std::size_t>(cursor.height);
  if (cursor.pixels.size() != count) return;
  const int x0 = std::max(0, cursor.x);
  const int y0 = std::max(0, cursor.y);
  const int x1 = std::min(image.width, cursor.x + cursor.width);
  const int y1 = std::min(image.height, cursor.y + cursor.height);
  for (int y = y0; y < y1; ++y) {
    std::uint8_t* row = image.pixels + static_cast<std::size_t>(y) * image.bytesPerRow;
    const std::size_t cursorRow = static_cast<std::size_t>(y - cursor.y) *
                                  static_cast<std::size_t>(cursor.width);
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

video::SurfaceRef convertToSurface(const BgraImage& image, int width, int height,
                                   bool preserveAspectRatio, std::vector<std::uint8_t>& scratch,
                                   std::function<void()> onRelease) {
  if (image.pixels == nullptr || image.width < 1 || image.height < 1) return nullptr;
  video::SurfaceRef surface;
  if (video::Surface::create(width, height, video::kPixelFormat420YpCbCr8BiPlanarVideoRange,
                             std::move(onRelease), &surface) != video::kReturnSuccess) {
    return nullptr;
  }
  const std::uint8_t* source = image.pixels;
  std::size_t sourceStride = image.bytesPerRow;
  if (image.width != width || image.height != height) {
    const std::size_t stride = static_cast<std::size_t>(width) * 4;
    scratch.assign(stride * static_cast<std::size_t>(height), 0);
    int fitWidth = width;
    int fitHeight = height;
    if (preserveAspectRatio) {
      const auto widthByHeight = static_cast<std::int64_t>(image.width) * height;
      const auto heightByWidth = static_cast<std::int64_t>(image.height) * width;
      if (widthByHeight > heightByWidth) {
        fitHeight = static_cast<int>(heightByWidth / image.width);
      } else if (widthByHeight < heightByWidth) {
        fitWidth = static_cast<int>(widthByHeight / image.height);
      }
      fitWidth = std::max(fitWidth, 1);
      fitHeight = std::max(fitHeight, 1);
      // Opaque black around the picture.
      for (std::size_t i = 3; i < scratch.size(); i += 4) scratch[i] = 255;
    }
    const int left = (width - fitWidth) / 2;
    const int top = (height - fitHeight) / 2;
    std::uint8_t* target = scratch.data() + static_cast<std::size_t>(top) * stride +
                           static_cast<std::size_t>(left) * 4;
    if (libyuv::ARGBScale(image.pixels, static_cast<int>(image.bytesPerRow), image.width,
                          image.height, target, static_cast<int>(stride), fitWidth, fitHeight,
                          libyuv::kFilterBilinear) != 0) {
      return nullptr;
    }
    source = scratch.data();
    sourceStride = stride;
  }
  if (libyuv::ARGBToNV12(source, static_cast<int>(sourceStride), surface->baseAddressOfPlane(0),
                         static_cast<int>(surface->bytesPerRowOfPlane(0)),
                         surface->baseAddressOfPlane(1),
                         static_cast<int>(surface->bytesPerRowOfPlane(1)), width, height) != 0) {
    return nullptr;
  }
  return surface;
}

}  // namespace corvane::platform::display::detail
