// Walks every reader accessor and vector view over an arbitrary buffer, once over an in-place
// memory reader and once over a file reader of the same bytes: both must see exactly the same
// results, and every byte view must lie inside the message. A copying memory reader must hold
// the same bytes in a buffer of its own.
//
// Cost per input is bounded: the walk has a budget of accessor calls and limits on the tables and
// vectors it visits, and strings are charged by the bytes they make the readers fetch, so the
// file reader's range cache stays small whatever counts and lengths the input holds.
// Each table is probed at thirteen property indexes with a different scalar type at each, so that
// every table exercises all thirteen types once instead of thirteen times each.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "../fuzz_check.h"
#include "flatbuffers/file_reader.h"
#include "flatbuffers/memory_reader.h"
#include "flatbuffers/utf8.h"
#include "flatbuffers/vectors.h"

namespace {

using namespace corvane;

struct FuzzEnum {
  std::int8_t raw = 0;
  bool operator==(const FuzzEnum&) const = default;

  template <Scalar T>
  static std::optional<FuzzEnum> fromScalar(T value) {
    if constexpr (std::is_same_v<T, std::int8_t>) {
      if (value >= 0 && value <= 3) {
        return FuzzEnum{value};
      }
    }
    return std::nullopt;
  }
};

template <class R>
struct FuzzTable {
  std::shared_ptr<R> reader;
  std::int32_t offset = 0;

  static std::optional<FuzzTable> create(std::shared_ptr<R> reader,
                                         std::optional<std::int32_t> offset) {
    if (!offset) {
      return std::nullopt;
    }
    return FuzzTable{std::move(reader), *offset};
  }
};

constexpr std::int64_t kPropertyIndexes[] = {0,
                                             1,
                                             2,
                                             3,
                                             4,
                                             5,
                                             6,
                                             7,
                                             -1,
                                             16381,
                                             16382,
                                             std::numeric_limits<std::int64_t>::max(),
                                             std::numeric_limits<std::int64_t>::min()};
constexpr std::size_t kScalarTypeCount = std::tuple_size_v<ScalarTypes>;
static_assert(std::size(kPropertyIndexes) == kScalarTypeCount,
              "one property index per scalar type, so that each table visit uses every type");

// Limits of one walk. The budget counts accessor calls; fetched bytes are charged at
// kBytesPerStep per step.
constexpr int kBudget = 2500;
constexpr std::int64_t kBytesPerStep = 64;
constexpr int kMaxTables = 12;
constexpr int kMaxVectors = 12;
constexpr int kMaxDepth = 3;
constexpr std::int64_t kMaxIterated = 4;  // elements visited by range-for per view
constexpr std::int32_t kArbitraryPositions = 32;

// Calls `f` with a value-initialised object of scalar type number `which` (0 to 12), through a
// table rather than thirteen comparisons (each of which the fuzzer's comparison tracing records).
template <class F>
void withScalarType(std::size_t which, F&& f) {
  using Call = void (*)(F&);
  static constexpr auto kCalls = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<Call, sizeof...(I)>{
        +[](F& g) { g(std::tuple_element_t<I, ScalarTypes>{}); }...};
  }
  (std::make_index_sequence<kScalarTypeCount>{});
  kCalls[which % kScalarTypeCount](f);
}

template <class R>
class Walker {
 public:
  Walker(std::shared_ptr<R> reader, std::size_t size) : reader_(std::move(reader)), size_(size) {}

  std::uint64_t walk() {
    const auto root = reader_->rootObjectOffset();
    note(root);
    if (root) {
      visitTable(*root, 0);
      visitString(*root);
      visitVector(*root, 0);
    }
    // Arbitrary positions too, so that any bytes get read as tables, strings and vectors.
    const auto end = static_cast<std::int32_t>(
        std::min<std::size_t>(size_, static_cast<std::size_t>(kArbitraryPositions)));
    for (std::int32_t position = 0; position < end; position += 4) {
      visitTable(position, 0);
      visitString(position);
      visitVector(position, 0);
    }
    visitTable(std::numeric_limits<std::int32_t>::max(), 0);
    visitTable(std::numeric_limits<std::int32_t>::min(), 0);
    visitString(-4);
    visitString(std::nullopt);
    visitVector(std::numeric_limits<std::int32_t>::max() - 2, 0);
    // An absent vector reads as empty whatever is asked of it.
    note(static_cast<std::uint64_t>(reader_->vectorElementCount(std::nullopt)));
    note(reader_->vectorElementOffset(std::nullopt, 0));
    for (std::size_t which = 0; which < kScalarTypeCount; ++which) {
      withScalarType(which, [&](auto type) {
        note(reader_->template vectorElementScalar<decltype(type)>(std::nullopt, 0));
      });
    }
    return digest_;
  }

 private:
  bool spend(int steps = 1) {
    budget_ -= steps;
    return budget_ > 0;
  }
  // Charges for `bytes` fetched bytes.
  bool spendBytes(std::int64_t bytes) { return spend(static_cast<int>(bytes / kBytesPerStep)); }

  void note(std::uint64_t value) {
    digest_ = (digest_ ^ value) * 0x100000001b3ull;  // FNV-1a over the results
  }
  template <class T>
  void note(const std::optional<T>& value) {
    note(value.has_value());
    if (value) {
      note(static_cast<std::uint64_t>(scalarToBits(*value)));
    }
  }

  void noteBytes(const std::optional<ByteView>& bytes) {
    note(bytes.has_value());
    if (!bytes) {
      return;
    }
    if constexpr (std::is_same_v<R, FlatBuffersMemoryReader>) {
      const std::uint8_t* first = reader_->buffer();
      FUZZ_CHECK(bytes->data() >= first &&
                 bytes->size() <= static_cast<std::size_t>(reader_->count()) &&
                 static_cast<std::size_t>(bytes->data() - first) <=
                     static_cast<std::size_t>(reader_->count()) - bytes->size());
    }
    FUZZ_CHECK(bytes->size() <= size_);
    spendBytes(static_cast<std::int64_t>(bytes->size()));
    note(bytes->size());
    for (std::uint8_t byte : *bytes) {
      note(byte);
    }
    note(stringFromUTF8(bytes).has_value());
  }

  // Every table accessor at every probed index, with scalar type number (index + shift) % 13.
  void visitTable(std::int32_t table, int depth) {
    if (depth > kMaxDepth || tables_ >= kMaxTables || seen(tableSeen_, tables_, table) ||
        !spend()) {
      return;
    }
    ++tables_;
    std::size_t which = static_cast<std::size_t>(tables_);
    for (const std::int64_t index : kPropertyIndexes) {
      if (!spend(4)) {
        return;
      }
      note(static_cast<std::uint64_t>(reader_->fieldOffset(table, index)));
      // The two forms of get take turns, so that each meets every type across two tables.
      const bool withDefault = ((which + static_cast<std::size_t>(tables_)) & 1) != 0;
      withScalarType(which++ % kScalarTypeCount, [&](auto type) {
        using T = decltype(type);
        if (withDefault) {
          note(std::optional<T>(reader_->get(table, index, T{})));
        } else {
          note(reader_->template get<T>(table, index));
        }
      });
      const auto target = reader_->offset(table, index);
      note(target);
      if (target) {
        visitString(*target);
        visitVector(*target, depth);
        visitTable(*target, depth + 1);
      }
    }
  }

  void visitString(std::optional<std::int32_t> offset) {
    if (spend()) {
      noteBytes(reader_->stringBuffer(offset));
    }
  }

  template <class View, class Each>
  void iterate(const View& view, std::int64_t elementSize, Each&& each) {
    FUZZ_CHECK(view.count() >= 0);
    FUZZ_CHECK(view.count() <= static_cast<std::int64_t>(size_) / elementSize);
    FUZZ_CHECK(view.end() - view.begin() == view.count());
    note(static_cast<std::uint64_t>(view.count()));
    // Positions outside the vector read as absent.
    FUZZ_CHECK(!view[-1].has_value() && !view[view.count()].has_value());
    std::int64_t visited = 0;
    for (const auto& element : view) {
      if (visited++ == kMaxIterated || !spend()) {
        break;
      }
      each(element);
    }
    if (!view.empty() && spend(2)) {
      each(*(view.end() - 1));
      each(view.begin()[view.count() / 2]);
    }
  }

  void visitVector(std::int32_t vector, int depth) {
    if (vectors_ >= kMaxVectors || seen(vectorSeen_, vectors_, vector) || !spend()) {
      return;
    }
    ++vectors_;
    const std::int64_t count = reader_->vectorElementCount(vector);
    note(static_cast<std::uint64_t>(count));
    // Element 0 and the positions just outside the vector as every scalar type; the other probes
    // with one type each.
    for (std::size_t which = 0; which < kScalarTypeCount; ++which) {
      withScalarType(which, [&](auto type) {
        using T = decltype(type);
        note(reader_->template vectorElementScalar<T>(vector, 0));
        note(reader_->template vectorElementScalar<T>(vector, -1));
        note(reader_->template vectorElementScalar<T>(vector, count));
      });
    }
    std::size_t which = static_cast<std::size_t>(vectors_);
    for (const std::int64_t index :
         {std::int64_t{-1}, std::int64_t{0}, std::int64_t{1}, count - 1, count, count + 1}) {
      if (!spend(2)) {
        return;
      }
      note(reader_->vectorElementOffset(vector, index));
      withScalarType(which++ % kScalarTypeCount, [&](auto type) {
        note(reader_->template vectorElementScalar<decltype(type)>(vector, index));
      });
    }

    iterate(FlatBuffersStringVector<R>(reader_, vector), 4,
            [&](const std::optional<ByteView>& bytes) { noteBytes(bytes); });
    iterate(FlatBuffersScalarVector<std::uint8_t, R>(reader_, vector), 1,
            [&](const std::optional<std::uint8_t>& value) { note(value); });
    iterate(FlatBuffersScalarVector<std::int32_t, R>(reader_, vector), 4,
            [&](const std::optional<std::int32_t>& value) { note(value); });
    iterate(FlatBuffersScalarVector<double, R>(reader_, vector), 8,
            [&](const std::optional<double>& value) { note(value); });
    iterate(FlatBuffersScalarVector<bool, R>(reader_, vector), 1,
            [&](const std::optional<bool>& value) { note(value); });
    iterate(FlatBuffersEnumVector<std::int8_t, R, FuzzEnum>(reader_, vector), 1,
            [&](const std::optional<FuzzEnum>& value) {
              note(value.has_value());
              if (value) {
                note(static_cast<std::uint64_t>(value->raw));
              }
            });
    iterate(FlatBuffersTableVector<FuzzTable<R>, R>(reader_, vector), 4,
            [&](const std::optional<FuzzTable<R>>& table) {
              note(table.has_value());
              if (table) {
                note(static_cast<std::uint64_t>(table->offset));
                visitTable(table->offset, depth + 1);
              }
            });
  }

  // Records `offset` among the first `used` entries of `list`; true when it was there already.
  template <std::size_t N>
  static bool seen(std::int32_t (&list)[N], int used, std::int32_t offset) {
    for (int i = 0; i < used; ++i) {
      if (list[i] == offset) {
        return true;
      }
    }
    if (static_cast<std::size_t>(used) < N) {
      list[used] = offset;
    }
    return false;
  }

  std::shared_ptr<R> reader_;
  std::size_t size_;
  std::uint64_t digest_ = 0xcbf29ce484222325ull;
  int budget_ = kBudget;
  int tables_ = 0;
  int vectors_ = 0;
  std::int32_t tableSeen_[kMaxTables] = {};
  std::int32_t vectorSeen_[kMaxVectors] = {};
};

}  // namespace

// Every object of an input is freed when the input ends, so a small quarantine still catches any
// use after free within an input. The default (256 MB) would only make the resident size climb
// by that much during a run and hide real growth.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto inPlace = FlatBuffersMemoryReader::create(data, static_cast<std::int64_t>(size),
                                                 FlatBuffersReaderCache::create());
  FUZZ_CHECK(inPlace->count() == static_cast<std::int64_t>(size) && !inPlace->originalBuffer());
  const std::uint64_t expected = Walker(inPlace, size).walk();

  // The copy reads the same bytes (so the walk above covers it) from a buffer of its own.
  auto copied = FlatBuffersMemoryReader::create(std::span<const std::uint8_t>(data, size), false);
  const auto original = copied->originalBuffer();
  FUZZ_CHECK(original && original->data() == copied->buffer() && original->size() == size);
  FUZZ_CHECK(size == 0 || std::memcmp(original->data(), data, size) == 0);
  FUZZ_CHECK(!copied->isEqual(*inPlace));
  FUZZ_CHECK(
      FlatBuffersMemoryReader::create(data, static_cast<std::int64_t>(size))->isEqual(*inPlace));
  FUZZ_CHECK(copied->rootObjectOffset() == inPlace->rootObjectOffset());

  // fmemopen only reads through the pointer in "rb" mode. Unbuffered, so that each range the
  // reader fetches is copied once and no stdio buffer is allocated per input.
  std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  if (file != nullptr) {
    std::setvbuf(file, nullptr, _IONBF, 0);
    auto fileReader = FlatBuffersFileReader::create(std::shared_ptr<std::FILE>(file, &std::fclose));
    FUZZ_CHECK(fileReader->fileSize() == size);
    FUZZ_CHECK(!fileReader->isEqual(*inPlace) && !inPlace->isEqual(*fileReader));
    FUZZ_CHECK(Walker(fileReader, size).walk() == expected);
  }
  return 0;
}
