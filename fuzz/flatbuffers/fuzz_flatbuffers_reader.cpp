// Walks every reader accessor and vector view over an arbitrary buffer. The same walk runs over
// an in-place memory reader, a copying memory reader and a file reader of the same bytes; all
// three must see exactly the same results, and every byte view must lie inside the message.
// The walk has a fixed step budget, so every input finishes quickly.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <type_traits>
#include <unordered_set>

#include "flatbuffers/file_reader.h"
#include "flatbuffers/memory_reader.h"
#include "flatbuffers/utf8.h"
#include "flatbuffers/vectors.h"

namespace {

using namespace corvane;

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

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

constexpr std::int64_t kPropertyIndexes[] = {-1,
                                             0,
                                             1,
                                             2,
                                             3,
                                             4,
                                             5,
                                             6,
                                             7,
                                             16381,
                                             16382,
                                             std::numeric_limits<std::int64_t>::max(),
                                             std::numeric_limits<std::int64_t>::min()};
constexpr std::size_t kMaxTables = 24;
constexpr std::size_t kMaxVectors = 24;

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
    for (std::int32_t position = 0; position < 64 && position < static_cast<std::int32_t>(size_);
         position += 4) {
      visitTable(position, 0);
      visitString(position);
      visitVector(position, 0);
    }
    visitTable(std::numeric_limits<std::int32_t>::max(), 0);
    visitTable(std::numeric_limits<std::int32_t>::min(), 0);
    visitString(-4);
    visitVector(std::numeric_limits<std::int32_t>::max() - 2, 0);
    return digest_;
  }

 private:
  bool spend(int steps = 1) {
    budget_ -= steps;
    return budget_ > 0;
  }

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
    note(bytes->size());
    for (std::uint8_t byte : *bytes) {
      note(byte);
    }
    note(stringFromUTF8(bytes).has_value());
  }

  template <class T>
  void noteAllScalars(T&& read) {
    std::apply([&](auto... types) { (note(read(decltype(types){})), ...); }, ScalarTypes{});
  }

  void visitTable(std::int32_t table, int depth) {
    if (depth > 4 || visitedTables_.size() >= kMaxTables || !visitedTables_.insert(table).second ||
        !spend()) {
      return;
    }
    for (const std::int64_t index : kPropertyIndexes) {
      if (!spend(30)) {
        return;
      }
      note(static_cast<std::uint64_t>(reader_->fieldOffset(table, index)));
      noteAllScalars(
          [&](auto type) { return reader_->template get<decltype(type)>(table, index); });
      noteAllScalars([&](auto type) {
        using T = decltype(type);
        return std::optional<T>(reader_->get(table, index, T{}));
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
    note(view.count());
    // Positions outside the vector read as absent.
    FUZZ_CHECK(!view[-1].has_value() && !view[view.count()].has_value());
    for (const auto& element : view) {
      if (!spend()) {
        return;
      }
      each(element);
    }
    if (!view.empty()) {
      each(*(view.end() - 1));
      each(view.begin()[view.count() / 2]);
    }
  }

  void visitVector(std::int32_t vector, int depth) {
    if (!visitedVectors_.insert(vector).second || visitedVectors_.size() >= kMaxVectors ||
        !spend()) {
      return;
    }
    const std::int64_t count = reader_->vectorElementCount(vector);
    note(count);
    for (const std::int64_t index :
         {std::int64_t{-1}, std::int64_t{0}, std::int64_t{1}, count - 1, count, count + 1}) {
      if (!spend(15)) {
        return;
      }
      note(reader_->vectorElementOffset(vector, index));
      noteAllScalars([&](auto type) {
        return reader_->template vectorElementScalar<decltype(type)>(vector, index);
      });
    }

    iterate(FlatBuffersStringVector<R>(reader_, vector), 4,
            [&](const std::optional<ByteView>& bytes) { noteBytes(bytes); });
    iterate(FlatBuffersScalarVector<std::uint8_t, R>(reader_, vector), 1,
            [&](const std::optional<std::uint8_t>& value) { note(value); });
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

  std::shared_ptr<R> reader_;
  std::size_t size_;
  std::uint64_t digest_ = 0xcbf29ce484222325ull;
  int budget_ = 20000;
  std::unordered_set<std::int32_t> visitedTables_;
  std::unordered_set<std::int32_t> visitedVectors_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto inPlace = FlatBuffersMemoryReader::create(data, static_cast<std::int64_t>(size),
                                                 FlatBuffersReaderCache::create());
  const std::uint64_t expected = Walker(inPlace, size).walk();

  auto copied = FlatBuffersMemoryReader::create(std::span<const std::uint8_t>(data, size), false);
  FUZZ_CHECK(!copied->isEqual(*inPlace));
  FUZZ_CHECK(Walker(copied, size).walk() == expected);

  // fmemopen only reads through the pointer in "rb" mode.
  std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  if (file != nullptr) {
    auto fileReader = FlatBuffersFileReader::create(std::shared_ptr<std::FILE>(file, &std::fclose));
    FUZZ_CHECK(fileReader->fileSize() == size);
    FUZZ_CHECK(!fileReader->isEqual(*inPlace) && !inPlace->isEqual(*fileReader));
    FUZZ_CHECK(Walker(fileReader, size).walk() == expected);
  }
  return 0;
}
