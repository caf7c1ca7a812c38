#include "platform/display/detail/frame_conversion.h"

#include <gtest/gtest.h>

#include <vector>

#include "display_test_support.h"

namespace corvane::platform::display::detail {
namespace {

struct Image {
  std::vector<std::uint8_t> bytes;
  BgraImage view;
  Image(int width, int height, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
    bytes.resize(static_cast<std::size_t>(width * height * 4));
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
      bytes[i] = b;
      bytes[i + 1] = g;
      bytes[i + 2] = r;
      bytes[i + 3] = 255;
    }
    view = BgraImage{bytes.data(), width, height, static_cast<std::size_t>(width) * 4};
  }
  const std::uint8_t* at(int x, int y) const {
    return bytes.data() + (static_cast<std::size_t>(y) * view.bytesPerRow) + x * 4;
  }
};

TEST(CompositeCursor, BlendsPremultipliedPixelsSourceOver) {
  struct Case {
    const char* what;
    std::uint32_t argb;
    std::uint8_t b, g, r;  // result over a (B 100, G 100, R 100) pixel
  };
  const Case cases[] = {
      {"opaque white", 0xFFFFFFFF, 255, 255, 255},
      {"opaque red", 0xFFFF0000, 0, 0, 255},
      {"transparent", 0x00000000, 100, 100, 100},
      {"half black", 0x80000000, 50, 50, 50},
      {"half white (premultiplied)", 0x80808080, 178, 178, 178},
  };
  for (const Case& c : cases) {
    Image image(4, 4, 100, 100, 100);
    const std::vector<std::uint32_t> cursor(1, c.argb);
    compositeCursor(image.view, CursorImage{cursor, 1, 1, 2, 1});
    const std::uint8_t* pixel = image.at(2, 1);
    EXPECT_NEAR(pixel[0], c.b, 1) << c.what;
    EXPECT_NEAR(pixel[1], c.g, 1) << c.what;
    EXPECT_NEAR(pixel[2], c.r, 1) << c.what;
    EXPECT_EQ(image.at(1, 1)[0], 100) << c.what << ": neighbours untouched";
  }
}

TEST(CompositeCursor, ClipsAtTheEdgesAndIgnoresAMismatchedImage) {
  Image image(4, 4, 0, 0, 0);
  const std::vector<std::uint32_t> white(9, 0xFFFFFFFF);
  compositeCursor(image.view, CursorImage{white, 3, 3, -2, -2});  // only (0,0) is inside
  EXPECT_EQ(image.at(0, 0)[0], 255);
  EXPECT_EQ(image.at(1, 0)[0], 0);
  compositeCursor(image.view, CursorImage{white, 3, 3, 3, 3});  // only (3,3)
  EXPECT_EQ(image.at(3, 3)[0], 255);
  EXPECT_EQ(image.at(2, 3)[0], 0);
  compositeCursor(image.view, CursorImage{white, 3, 3, 100, 100});
  compositeCursor(image.view, CursorImage{white, 4, 4, 1, 1});  // 9 pixels for 16: ignored
  EXPECT_EQ(image.at(1, 1)[0], 0);
}

TEST(ConvertToSurface, ConvertsAndScalesToVideoRangeNv12) {
  Image image(64, 32, 0, 255, 0);  // green
  for (int y = 0; y < 32; ++y) {
    for (int x = 32; x < 64; ++x) {
      auto* pixel = const_cast<std::uint8_t*>(image.at(x, y));
      pixel[0] = 0;
      pixel[1] = 0;
      pixel[2] = 255;  // right half red
    }
  }
  std::vector<std::uint8_t> scratch;
  int released = 0;
  struct Size {
    int width;
    int height;
  };
  for (Size size : {Size{64, 32}, Size{128, 64}, Size{32, 16}}) {
    auto surface = convertToSurface(image.view, size.width, size.height, false, scratch,
                                    [&released] { ++released; });
    ASSERT_NE(surface, nullptr);
    EXPECT_EQ(surface->width(), size.width);
    EXPECT_EQ(surface->pixelFormat(), video::kPixelFormat420YpCbCr8BiPlanarVideoRange);
    EXPECT_TRUE(test::near(test::sampleAt(*surface, 2, 2), test::expectedYuv(0, 255, 0)));
    EXPECT_TRUE(test::near(test::sampleAt(*surface, size.width - 3, 2),
                           test::expectedYuv(255, 0, 0)));
  }
  EXPECT_EQ(released, 3);
}

TEST(ConvertToSurface, LetterboxesWhenKeepingTheAspectRatio) {
  Image image(32, 32, 255, 255, 255);
  std::vector<std::uint8_t> scratch;
  auto surface = convertToSurface(image.view, 64, 32, true, scratch, nullptr);
  ASSERT_NE(surface, nullptr);
  EXPECT_TRUE(test::near(test::sampleAt(*surface, 2, 16), test::expectedYuv(0, 0, 0)));
  EXPECT_TRUE(test::near(test::sampleAt(*surface, 32, 16), test::expectedYuv(255, 255, 255)));
}

TEST(ConvertToSurface, RefusesBadInput) {
  std::vector<std::uint8_t> scratch;
  EXPECT_EQ(convertToSurface(BgraImage{}, 16, 16, false, scratch, nullptr), nullptr);
  Image image(4, 4, 0, 0, 0);
  EXPECT_EQ(convertToSurface(image.view, 0, 16, false, scratch, nullptr), nullptr);
  EXPECT_EQ(convertToSurface(image.view, -4, -4, false, scratch, nullptr), nullptr);
}

}  // namespace
}  // namespace corvane::platform::display::detail
