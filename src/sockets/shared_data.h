// An immutable run of bytes shared without copying: the storage is reference-counted and
// a value views `length` bytes of it starting at `offset`. Used for the bytes a socket
// reads (handed to the delegate) and the bytes it writes (held until sent).
//
// Thread-safety: a value may be copied and read from any thread; the bytes themselves are
// never changed through it. A view into a caller's read buffer stays valid while the caller
// leaves that buffer alone.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

class SharedData {
 public:
  SharedData() = default;
  // Takes the bytes over (move in to avoid a copy).
  SharedData(std::vector<uint8_t> bytes)  // NOLINT: implicit on purpose
      : storage_(std::make_shared<const std::vector<uint8_t>>(std::move(bytes))),
        offset_(0),
        length_(storage_->size()) {}
  // Shares the whole of `storage`.
  SharedData(std::shared_ptr<const std::vector<uint8_t>> storage)  // NOLINT
      : storage_(std::move(storage)), offset_(0), length_(storage_ ? storage_->size() : 0) {}
  // Shares `length` bytes of `storage` from `offset` (clamped to the storage).
  SharedData(std::shared_ptr<const std::vector<uint8_t>> storage, size_t offset, size_t length)
      : storage_(std::move(storage)) {
    const size_t size = storage_ ? storage_->size() : 0;
    offset_ = std::min(offset, size);
    length_ = std::min(length, size - offset_);
  }

  static SharedData copy(const void* bytes, size_t length) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    return SharedData(std::vector<uint8_t>(p, p + length));
  }
  static SharedData fromString(std::string_view text) { return copy(text.data(), text.size()); }

  const uint8_t* data() const { return storage_ ? storage_->data() + offset_ : nullptr; }
  size_t size() const { return length_; }
  size_t length() const { return length_; }
  bool empty() const { return length_ == 0; }
  const uint8_t* begin() const { return data(); }
  const uint8_t* end() const { return data() + length_; }
  std::span<const uint8_t> span() const { return {data(), length_}; }
  std::vector<uint8_t> toVector() const { return std::vector<uint8_t>(begin(), end()); }
  std::string toString() const {
    return std::string(reinterpret_cast<const char*>(data()), length_);
  }

  friend bool operator==(const SharedData& a, const SharedData& b) {
    return a.length_ == b.length_ && (a.length_ == 0 || std::equal(a.begin(), a.end(), b.begin()));
  }

 private:
  std::shared_ptr<const std::vector<uint8_t>> storage_;
  size_t offset_ = 0;
  size_t length_ = 0;
};

}  // namespace corvane
