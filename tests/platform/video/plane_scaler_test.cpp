#include "platform/video/plane_scaler.h"

#include <gtest/gtest.h>
#include <libyuv/scale.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

namespace corvane::platform::video {
namespace {

// Pictures of both kinds a screen gives: noise (every sample unlike its neighbours) and a
// smooth gradient.
std::vector<std::uint8_t> picture(int width, int height, bool noise) {
  std::vector<std::uint8_t> samples(static_cast<std::size_t>(width) *
                                    static_cast<std::size_t>(height));
  std::mt19937 random(7);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      samples[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
              static_cast<std::size_t>(x)] =
          noise ? static_cast<std::uint8_t>(random() & 0xFF)
                : static_cast<std::uint8_t>((x * 3 + y * 5) & 0xFF);
    }
  }
  return samples;
}

TEST(PlaneScaler, ScalesAsLibyuvDoesWithinOneLevel) {
  struct Case {
    int sourceWidth, sourceHeight, width, height;
  };
  // The capture's and the transfer's sizes (luma and chroma), odd sizes, rows too short for
  // the vector paths, one axis up and the other down, a ratio too large for the shuffles, and
  // a ratio libyuv has its own scaler for.
  const Case cases[] = {
      {1920, 1080, 2560, 1440}, {960, 540, 1280, 720}, {2560, 1440, 1920, 1072},
      {1280, 720, 960, 536},    {333, 199, 640, 361},  {641, 359, 300, 200},
      {9, 7, 13, 11},           {100, 200, 150, 120},  {1000, 300, 180, 70},
      {2560, 1440, 1920, 1080},
  };
  for (const Case& c : cases) {
    for (bool noise : {false, true}) {
      SCOPED_TRACE(::testing::Message() << c.sourceWidth << "x" << c.sourceHeight << " -> "
                                        << c.width << "x" << c.height << (noise ? " noise" : ""));
      // The source ends exactly where its last row does, so a read past a row's end shows
      // under AddressSanitizer.
      const std::vector<std::uint8_t> source = picture(c.sourceWidth, c.sourceHeight, noise);
      const std::size_t bytes =
          static_cast<std::size_t>(c.width) * static_cast<std::size_t>(c.height);
      std::vector<std::uint8_t> expected(bytes);
      std::vector<std::uint8_t> got(bytes);
      libyuv::ScalePlane(source.data(), c.sourceWidth, c.sourceWidth, c.sourceHeight,
                         expected.data(), c.width, c.width, c.height, libyuv::kFilterBilinear);
      PlaneScaler scaler;
      for (int round = 0; round < 2; ++round) {  // the second with the tables already made
        scaler.scale(source.data(), c.sourceWidth, c.sourceWidth, c.sourceHeight, got.data(),
                     c.width, c.width, c.height);
        int worst = 0;
        for (std::size_t i = 0; i < bytes; ++i)
          worst = std::max(worst, std::abs(got[i] - expected[i]));
        EXPECT_LE(worst, 1);
      }
    }
  }
}

TEST(PlaneScaler, ScalesInterleavedPairsAsEachChannelAlone) {
  struct Case {
    int sourceWidth, sourceHeight, width, height;  // in pairs
  };
  // The capture's and the transfer's chroma sizes (the native one only in height), odd sizes,
  // short rows, a ratio too large for the shuffles, and one that libyuv scales.
  const Case cases[] = {{960, 540, 1280, 720}, {1280, 720, 960, 536}, {960, 540, 960, 536},
                        {167, 100, 320, 181},  {5, 4, 7, 6},          {500, 150, 90, 35},
                        {1280, 720, 960, 540}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << c.sourceWidth << "x" << c.sourceHeight << " -> " << c.width << "x" << c.height);
    const std::vector<std::uint8_t> cb = picture(c.sourceWidth, c.sourceHeight, true);
    const std::vector<std::uint8_t> cr = picture(c.sourceWidth, c.sourceHeight, false);
    std::vector<std::uint8_t> pairs(2 * cb.size());
    for (std::size_t i = 0; i < cb.size(); ++i) {
      pairs[2 * i] = cb[i];
      pairs[2 * i + 1] = cr[i];
    }
    const std::size_t samples =
        static_cast<std::size_t>(c.width) * static_cast<std::size_t>(c.height);
    std::vector<std::uint8_t> expectedCb(samples);
    std::vector<std::uint8_t> expectedCr(samples);
    libyuv::ScalePlane(cb.data(), c.sourceWidth, c.sourceWidth, c.sourceHeight, expectedCb.data(),
                       c.width, c.width, c.height, libyuv::kFilterBilinear);
    libyuv::ScalePlane(cr.data(), c.sourceWidth, c.sourceWidth, c.sourceHeight, expectedCr.data(),
                       c.width, c.width, c.height, libyuv::kFilterBilinear);
    std::vector<std::uint8_t> got(2 * samples);
    PlaneScaler scaler;
    scaler.scaleInterleaved(pairs.data(), 2 * c.sourceWidth, c.sourceWidth, c.sourceHeight,
                            got.data(), 2 * c.width, c.width, c.height);
    int worst = 0;
    for (std::size_t i = 0; i < samples; ++i) {
      worst = std::max(
          {worst, std::abs(got[2 * i] - expectedCb[i]), std::abs(got[2 * i + 1] - expectedCr[i])});
    }
    EXPECT_LE(worst, 1);
  }
}

TEST(PlaneScaler, KeepsAFlatPlaneExactlyAndTakesStrides) {
  constexpr int kStride = 2000;
  std::vector<std::uint8_t> source(static_cast<std::size_t>(kStride) * 540, 0);
  for (int y = 0; y < 540; ++y) {
    std::fill_n(source.begin() + static_cast<std::ptrdiff_t>(y) * kStride, 960, 201);
  }
  constexpr int kOutStride = 1300;
  std::vector<std::uint8_t> out(static_cast<std::size_t>(kOutStride) * 720, 0);
  PlaneScaler scaler;
  scaler.scale(source.data(), kStride, 960, 540, out.data(), kOutStride, 1280, 720);
  for (int y = 0; y < 720; ++y) {
    const std::uint8_t* row = out.data() + static_cast<std::size_t>(y) * kOutStride;
    ASSERT_TRUE(std::all_of(row, row + 1280, [](std::uint8_t v) { return v == 201; })) << y;
    ASSERT_TRUE(std::all_of(row + 1280, row + kOutStride, [](std::uint8_t v) { return v == 0; }))
        << "nothing is written past the row: " << y;
  }
}

}  // namespace
}  // namespace corvane::platform::video
