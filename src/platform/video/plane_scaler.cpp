#include "platform/video/plane_scaler.h"

#include <immintrin.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>

#include <algorithm>
#include <utility>

namespace corvane::platform::video {

namespace {

constexpr std::size_t kMaxColumnTables = 4;

bool haveAvx2() {
  static const bool avx2 = __builtin_cpu_supports("avx2") != 0;
  return avx2;
}

// The ratios for which libyuv has scalers of its own, and the cases its generic bilinear
// scaler does not take (equal widths, single samples, a third of the height): those stay
// with libyuv, so every picture is scaled as before.
bool isGenericBilinear(int sourceWidth, int sourceHeight, int width, int height) {
  if (sourceWidth < 2 || sourceHeight < 2 || width < 2 || height < 2) return false;
  if (width == sourceWidth || height == sourceHeight || height * 3 == sourceHeight) return false;
  if (width <= sourceWidth && height <= sourceHeight) {
    const auto ratio = [&](int num, int den) {
      return width * den == sourceWidth * num && height * den == sourceHeight * num;
    };
    if (ratio(1, 2) || ratio(3, 4) || ratio(3, 8) || ratio(1, 4)) return false;
  }
  return true;
}

// libyuv's sample positions in 16.16 fixed point: centred when shrinking, corner to corner
// when growing.
std::pair<std::int64_t, std::int64_t> startAndStep(int source, int destination) {
  if (destination <= source) {
    const std::int64_t step = (static_cast<std::int64_t>(source) << 16) / destination;
    return {(step >> 1) - 32768, step};
  }
  return {0, ((static_cast<std::int64_t>(source) << 16) - 0x00010001) / (destination - 1)};
}

// Eight or sixteen destination samples from gathered pairs of source samples.
__attribute__((target("avx2"))) void filterColumnsAvx2(const std::uint8_t* source,
                                                       std::uint8_t* destination,
                                                       const std::int32_t* index,
                                                       const std::int32_t* weight, int count,
                                                       int channels) {
  const __m256i lowByte = _mm256_set1_epi32(0xff);
  // The second sample of a pair is the next byte, or two on for interleaved chroma; it moves
  // to the lane's upper half.
  const int shift = 8 * channels;
  const __m256i secondByte = _mm256_set1_epi32(0xff << shift);
  const __m128i up = _mm_cvtsi32_si128(16 - shift);
  const __m256i round = _mm256_set1_epi32(128);
  const auto* base = reinterpret_cast<const int*>(source);  // NOLINT: gathers read bytes
  for (int j = 0; j < count; j += 16) {
    __m256i v0 = _mm256_i32gather_epi32(
        base, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(index + j)), 1);  // NOLINT
    __m256i v1 = _mm256_i32gather_epi32(
        base, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(index + j + 8)), 1);  // NOLINT
    // (a, b) as two 16-bit halves of each lane, then a * (256 - f) + b * f.
    v0 = _mm256_or_si256(_mm256_and_si256(v0, lowByte),
                         _mm256_sll_epi32(_mm256_and_si256(v0, secondByte), up));
    v1 = _mm256_or_si256(_mm256_and_si256(v1, lowByte),
                         _mm256_sll_epi32(_mm256_and_si256(v1, secondByte), up));
    const __m256i w0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weight + j));  // NOLINT
    const __m256i w1 =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weight + j + 8));  // NOLINT
    const __m256i r0 = _mm256_srli_epi32(_mm256_add_epi32(_mm256_madd_epi16(v0, w0), round), 8);
    const __m256i r1 = _mm256_srli_epi32(_mm256_add_epi32(_mm256_madd_epi16(v1, w1), round), 8);
    const __m256i words = _mm256_permute4x64_epi64(_mm256_packus_epi32(r0, r1), 0xD8);
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(words, words), 0xD8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + j),  // NOLINT
                     _mm256_castsi256_si128(bytes));
  }
}

// The sample pairs of two groups of four columns, widened to 16 bits: each group's pairs
// are shuffled out of the 16 source bytes at its start.
__attribute__((target("avx2"))) inline __m256i groupPairs(const std::uint8_t* source,
                                                          const std::int32_t* groupStart,
                                                          const std::uint8_t* shuffle, int group) {
  const __m128i low =
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + groupStart[group]));  // NOLINT
  const __m128i high =
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + groupStart[group + 1]));  // NOLINT
  const __m256i bytes = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
  const __m256i mask = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(  // NOLINT
      shuffle + static_cast<std::ptrdiff_t>(group) * 16));
  return _mm256_shuffle_epi8(bytes, mask);
}

// Sixteen destination samples at a time from groups of four columns.
__attribute__((target("avx2"))) void shuffleColumnsAvx2(const std::uint8_t* source,
                                                        std::uint8_t* destination,
                                                        const std::int32_t* groupStart,
                                                        const std::uint8_t* shuffle,
                                                        const std::int32_t* weight, int count) {
  const __m256i round = _mm256_set1_epi32(128);
  for (int j = 0; j < count; j += 16) {
    const int group = j / 4;
    const __m256i w0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weight + j));  // NOLINT
    const __m256i w1 =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weight + j + 8));  // NOLINT
    const __m256i r0 = _mm256_srli_epi32(
        _mm256_add_epi32(_mm256_madd_epi16(groupPairs(source, groupStart, shuffle, group), w0),
                         round),
        8);
    const __m256i r1 = _mm256_srli_epi32(
        _mm256_add_epi32(_mm256_madd_epi16(groupPairs(source, groupStart, shuffle, group + 2), w1),
                         round),
        8);
    const __m256i words = _mm256_permute4x64_epi64(_mm256_packus_epi32(r0, r1), 0xD8);
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(words, words), 0xD8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + j),  // NOLINT
                     _mm256_castsi256_si128(bytes));
  }
}

// The two source rows around the 16.16 row position `y` (held inside the plane) and the
// weight of the second one, in 256ths.
struct RowsAround {
  int first;
  int second;
  int fraction;
};

RowsAround rowsAround(std::int64_t y, int sourceHeight) {
  const std::int64_t last = static_cast<std::int64_t>(sourceHeight - 1) << 16;
  const std::int64_t at = std::clamp<std::int64_t>(y, 0, last);
  const auto first = static_cast<int>(at >> 16);
  return {first, std::min(first + 1, sourceHeight - 1), static_cast<int>((at >> 8) & 255)};
}

}  // namespace

const PlaneScaler::Columns& PlaneScaler::columnsFor(int sourceWidth, int width, int channels) {
  for (const Columns& c : columns_) {
    if (c.sourceWidth == sourceWidth && c.width == width && c.channels == channels) return c;
  }
  if (columns_.size() >= kMaxColumnTables) columns_.erase(columns_.begin());
  Columns c;
  c.sourceWidth = sourceWidth;
  c.width = width;
  c.channels = channels;
  const int outputs = width * channels;  // bytes of a destination row
  const int rowBytes = sourceWidth * channels;
  c.index.resize(static_cast<std::size_t>(outputs));
  c.weight.resize(static_cast<std::size_t>(outputs));
  c.vectorEnd = outputs;
  auto [x, step] = startAndStep(sourceWidth, width);
  for (int j = 0; j < width; ++j, x += step) {
    const std::int64_t at = std::max<std::int64_t>(x, 0);
    auto first = static_cast<std::int32_t>(at >> 16);
    auto fraction = static_cast<std::int32_t>((at >> 8) & 255);
    if (first >= sourceWidth - 1) {
      first = sourceWidth - 1;
      fraction = 0;
    }
    for (int channel = 0; channel < channels; ++channel) {
      const int byte = j * channels + channel;
      const auto column = static_cast<std::size_t>(byte);
      c.index[column] = first * channels + channel;
      c.weight[column] = (256 - fraction) | (fraction << 16);
      // A gather reads four bytes from the first sample on: not past the row's end.
      if (c.index[column] + 3 >= rowBytes && c.vectorEnd == outputs) {
        c.vectorEnd = byte;
      }
    }
  }
  c.vectorEnd -= c.vectorEnd % 16;
  // Groups of four destination bytes whose sample pairs lie within the 16 bytes from the
  // group's first sample, which must themselves lie within the row.
  const int groups = outputs / 4;
  c.groupStart.resize(static_cast<std::size_t>(groups));
  c.shuffle.resize(static_cast<std::size_t>(groups) * 16);
  c.shuffleEnd = 0;
  for (int g = 0; g < groups; ++g) {
    const std::int32_t start = c.index[static_cast<std::size_t>(g) * 4];
    bool fits = start + 16 <= rowBytes;
    for (int k = 0; k < 4 && fits; ++k) {
      const int byte = g * 4 + k;
      const auto column = static_cast<std::size_t>(byte);
      const std::int32_t first = c.index[column] - start;
      const std::int32_t second = (c.weight[column] >> 16) > 0 ? first + channels : first;
      fits = first >= 0 && second < 16;
      std::uint8_t* mask = &c.shuffle[column * 4];
      mask[0] = static_cast<std::uint8_t>(first);
      mask[1] = 0x80;  // zero: the samples widen to 16 bits
      mask[2] = static_cast<std::uint8_t>(second);
      mask[3] = 0x80;
    }
    if (!fits) break;
    c.groupStart[static_cast<std::size_t>(g)] = start;
    c.shuffleEnd = (g + 1) * 4;
  }
  c.shuffleEnd -= c.shuffleEnd % 16;
  columns_.push_back(std::move(c));
  return columns_.back();
}

void PlaneScaler::filterRow(const std::uint8_t* source, std::uint8_t* destination,
                            const Columns& columns) {
  const int outputs = columns.width * columns.channels;
  int done = columns.shuffleEnd;
  if (done > 0) {
    shuffleColumnsAvx2(source, destination, columns.groupStart.data(), columns.shuffle.data(),
                       columns.weight.data(), done);
  } else {
    filterColumnsAvx2(source, destination, columns.index.data(), columns.weight.data(),
                      columns.vectorEnd, columns.channels);
    done = columns.vectorEnd;
  }
  for (int j = done; j < outputs; ++j) {
    const std::int32_t first = columns.index[static_cast<std::size_t>(j)];
    const std::int32_t fraction = columns.weight[static_cast<std::size_t>(j)] >> 16;
    const int a = source[first];
    const int b = fraction > 0 ? source[first + columns.channels] : a;
    destination[j] = static_cast<std::uint8_t>((a * (256 - fraction) + b * fraction + 128) >> 8);
  }
}

void PlaneScaler::scaleUp(const std::uint8_t* source, int sourceStride, int sourceHeight,
                          std::uint8_t* destination, int destinationStride, int height,
                          const Columns& columns) {
  // Each source row is filtered once into one of two row buffers; each destination row is
  // the blend of the two rows around its position.
  const int rowBytes = columns.width * columns.channels;
  const auto width = static_cast<std::size_t>(rowBytes);
  if (rows_.size() < 2 * width) rows_.resize(2 * width);
  std::uint8_t* row[2] = {rows_.data(), rows_.data() + width};
  int have[2] = {-1, -1};
  auto [y, step] = startAndStep(sourceHeight, height);
  for (int j = 0; j < height; ++j, y += step) {
    const auto [first, second, fraction] = rowsAround(y, sourceHeight);
    if (have[0] != first) {
      if (have[1] == first) {
        std::swap(row[0], row[1]);
        std::swap(have[0], have[1]);
      } else {
        filterRow(source + static_cast<std::size_t>(first) * static_cast<std::size_t>(sourceStride),
                  row[0], columns);
        have[0] = first;
      }
    }
    if (have[1] != second) {
      filterRow(source + static_cast<std::size_t>(second) * static_cast<std::size_t>(sourceStride),
                row[1], columns);
      have[1] = second;
    }
    libyuv::InterpolatePlane(
        row[0], rowBytes, row[1], rowBytes,
        destination + static_cast<std::size_t>(j) * static_cast<std::size_t>(destinationStride),
        destinationStride, rowBytes, 1, fraction);
  }
}

void PlaneScaler::scaleDown(const std::uint8_t* source, int sourceStride, int sourceHeight,
                            std::uint8_t* destination, int destinationStride, int height,
                            const Columns& columns) {
  // Each destination row: the blend of the two source rows around its position, filtered.
  const int rowBytes = columns.sourceWidth * columns.channels;
  if (rows_.size() < static_cast<std::size_t>(rowBytes)) {
    rows_.resize(static_cast<std::size_t>(rowBytes));
  }
  auto [y, step] = startAndStep(sourceHeight, height);
  for (int j = 0; j < height; ++j, y += step) {
    const auto [first, second, fraction] = rowsAround(y, sourceHeight);
    libyuv::InterpolatePlane(
        source + static_cast<std::size_t>(first) * static_cast<std::size_t>(sourceStride),
        sourceStride,
        source + static_cast<std::size_t>(second) * static_cast<std::size_t>(sourceStride),
        sourceStride, rows_.data(), rowBytes, rowBytes, 1, fraction);
    filterRow(
        rows_.data(),
        destination + static_cast<std::size_t>(j) * static_cast<std::size_t>(destinationStride),
        columns);
  }
}

bool PlaneScaler::scaleOwn(const std::uint8_t* source, int sourceStride, int sourceWidth,
                           int sourceHeight, std::uint8_t* destination, int destinationStride,
                           int width, int height, int channels) {
  if (!haveAvx2() || !isGenericBilinear(sourceWidth, sourceHeight, width, height)) return false;
  const Columns& columns = columnsFor(sourceWidth, width, channels);
  if (height > sourceHeight) {
    scaleUp(source, sourceStride, sourceHeight, destination, destinationStride, height, columns);
  } else {
    scaleDown(source, sourceStride, sourceHeight, destination, destinationStride, height, columns);
  }
  return true;
}

void PlaneScaler::scale(const std::uint8_t* source, int sourceStride, int sourceWidth,
                        int sourceHeight, std::uint8_t* destination, int destinationStride,
                        int width, int height) {
  if (scaleOwn(source, sourceStride, sourceWidth, sourceHeight, destination, destinationStride,
               width, height, 1)) {
    return;
  }
  libyuv::ScalePlane(source, sourceStride, sourceWidth, sourceHeight, destination,
                     destinationStride, width, height, libyuv::kFilterBilinear);
}

void PlaneScaler::scaleInterleaved(const std::uint8_t* source, int sourceStride, int sourceWidth,
                                   int sourceHeight, std::uint8_t* destination,
                                   int destinationStride, int width, int height) {
  if (scaleOwn(source, sourceStride, sourceWidth, sourceHeight, destination, destinationStride,
               width, height, 2)) {
    return;
  }
  if (width == sourceWidth) {
    // Rows are only blended with rows: byte by byte, so the pairs need not be taken apart.
    libyuv::ScalePlane(source, sourceStride, 2 * sourceWidth, sourceHeight, destination,
                       destinationStride, 2 * width, height, libyuv::kFilterBilinear);
    return;
  }
  // Split, each half scaled by libyuv's plane scaler, merged again.
  const std::size_t sourceBytes =
      static_cast<std::size_t>(sourceWidth) * static_cast<std::size_t>(sourceHeight);
  const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  if (split_.size() < 2 * (sourceBytes + bytes)) split_.resize(2 * (sourceBytes + bytes));
  std::uint8_t* su = split_.data();
  std::uint8_t* sv = su + sourceBytes;
  std::uint8_t* du = sv + sourceBytes;
  std::uint8_t* dv = du + bytes;
  libyuv::SplitUVPlane(source, sourceStride, su, sourceWidth, sv, sourceWidth, sourceWidth,
                       sourceHeight);
  libyuv::ScalePlane(su, sourceWidth, sourceWidth, sourceHeight, du, width, width, height,
                     libyuv::kFilterBilinear);
  libyuv::ScalePlane(sv, sourceWidth, sourceWidth, sourceHeight, dv, width, width, height,
                     libyuv::kFilterBilinear);
  libyuv::MergeUVPlane(du, width, dv, width, destination, destinationStride, width, height);
}

}  // namespace corvane::platform::video
