// The pointer event carried by control request 34: type, action and a position.
// A plain value; not thread-safe, owned by whoever made it.
#pragma once

#include <cstdint>
#include <memory>

namespace corvane {

class MouseEvent {
 public:
  MouseEvent() = default;
  MouseEvent(uint8_t type, uint8_t action, int32_t x, int32_t y)
      : type_(type), action_(action), x_(x), y_(y) {}
  static std::shared_ptr<MouseEvent> create(uint8_t type, uint8_t action, int32_t x, int32_t y) {
    return std::make_shared<MouseEvent>(type, action, x, y);
  }

  uint8_t type() const { return type_; }
  void setType(uint8_t v) { type_ = v; }
  uint8_t action() const { return action_; }
  void setAction(uint8_t v) { action_ = v; }
  int32_t x() const { return x_; }
  void setX(int32_t v) { x_ = v; }
  int32_t y() const { return y_; }
  void setY(int32_t v) { y_ = v; }

 private:
  uint8_t type_ = 0;
  uint8_t action_ = 0;
  int32_t x_ = 0;
  int32_t y_ = 0;
};

}  // namespace corvane
