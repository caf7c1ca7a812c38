// ControlPayload: a plain record (start and end index, a 256-byte payload) that the look-up
// subsystem declares; nothing in the application creates or reads it.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace corvane {

class ControlPayload {
 public:
  ControlPayload() = default;

  std::int64_t startIndex() const { return startIndex_; }
  void setStartIndex(std::int64_t value) { startIndex_ = value; }
  std::int64_t endIndex() const { return endIndex_; }
  void setEndIndex(std::int64_t value) { endIndex_ = value; }
  const std::vector<std::uint8_t>& payload() const { return payload_; }
  void setPayload(std::vector<std::uint8_t> value) { payload_ = std::move(value); }

 private:
  std::int64_t startIndex_ = -1;
  std::int64_t endIndex_ = -1;
  std::vector<std::uint8_t> payload_ = std::vector<std::uint8_t>(256, 0);
};

}  // namespace corvane
