// Bilinear scaling of one plane of 8-bit samples (a luma or one chroma plane), the scaling that
// the capture and the pixel transfer do for every frame. Where libyuv would run its generic
// bilinear scaler (any ratio other than its special ones), this one does the same work with
// the same sample positions, its column filter running on AVX2 (byte shuffles, or gathers for
// large ratios; several times as fast here) when the processor has it; results are within 1
// of libyuv's. Every other case, and
// a processor without AVX2, goes to libyuv itself.
//
// Threads: one scaler per thread (it keeps the column tables and a row buffer between calls).
#pragma once

#include <cstdint>
#include <vector>

namespace corvane::platform::video {

class PlaneScaler {
 public:
  // Scales `source` (`sourceWidth` x `sourceHeight`) to fill `destination`.
  void scale(const std::uint8_t* source, int sourceStride, int sourceWidth, int sourceHeight,
             std::uint8_t* destination, int destinationStride, int width, int height);
  // The same for a plane of interleaved pairs (the CbCr plane of '420v'), each of the two
  // channels scaled on its own; sizes count pairs. Where libyuv has to do it, the plane is split
  // and merged around it (libyuv's own interleaved scaler pulls every sample towards 0).
  void scaleInterleaved(const std::uint8_t* source, int sourceStride, int sourceWidth,
                        int sourceHeight, std::uint8_t* destination, int destinationStride,
                        int width, int height);

 private:
  // Source column and weights of every destination column, for one pair of widths.
  struct Columns {
    int sourceWidth = 0;
    int width = 0;
    int channels = 1;                  // interleaved channels; the tables have one entry a byte
    std::vector<std::int32_t> index;   // first source sample
    std::vector<std::int32_t> weight;  // (256 - f) | (f << 16), f the second sample's share
    int vectorEnd = 0;                 // columns before this one are safe for 4-byte gathers
    // Where the four columns of each group start in the source, and the byte shuffle that
    // picks their sample pairs out of 16 bytes from there; columns before `shuffleEnd` (0
    // when groups span more than 16 bytes) take this faster way.
    std::vector<std::int32_t> groupStart;
    std::vector<std::uint8_t> shuffle;  // 16 per group
    int shuffleEnd = 0;
  };
  const Columns& columnsFor(int sourceWidth, int width, int channels);
  // Scales with the own filter where it applies; false when libyuv is to do it.
  bool scaleOwn(const std::uint8_t* source, int sourceStride, int sourceWidth, int sourceHeight,
                std::uint8_t* destination, int destinationStride, int width, int height,
                int channels);
  void filterRow(const std::uint8_t* source, std::uint8_t* destination, const Columns& columns);
  void scaleUp(const std::uint8_t* source, int sourceStride, int sourceHeight,
               std::uint8_t* destination, int destinationStride, int height,
               const Columns& columns);
  void scaleDown(const std::uint8_t* source, int sourceStride, int sourceHeight,
                 std::uint8_t* destination, int destinationStride, int height,
                 const Columns& columns);

  std::vector<Columns> columns_;  // the few width pairs in use (luma and chroma)
  std::vector<std::uint8_t> rows_;
  std::vector<std::uint8_t> split_;  // planes of an interleaved image that libyuv scales
};

}  // namespace corvane::platform::video
