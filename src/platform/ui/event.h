// Key events as the screens see them: a virtual key code in the desktop platform's numbering
// (51 Delete, 36 Return, 76 keypad Enter, ...) mapped from Qt's keys, the characters the key
// typed and the window it went to.
//
// Threads: main thread only (events are made while Qt delivers them).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace corvane::platform::ui {

class Window;

enum class EventType : int {
  KeyDown = 10,
};

// Event masks: one bit per event type.
using EventMask = std::uint64_t;
inline constexpr EventMask kEventMaskKeyDown = EventMask{1} << static_cast<int>(EventType::KeyDown);

// Key codes the application looks at, and the code of keys it has no code for.
inline constexpr std::uint16_t kKeyCodeReturn = 36;
inline constexpr std::uint16_t kKeyCodeDelete = 51;
inline constexpr std::uint16_t kKeyCodeKeypadEnter = 76;
inline constexpr std::uint16_t kKeyCodeUnknown = 0xFFFF;

class Event {
 public:
  Event(EventType type, std::uint16_t keyCode, std::optional<std::string> characters,
        std::shared_ptr<Window> window)
      : type_(type), keyCode_(keyCode), characters_(std::move(characters)), window_(std::move(window)) {}

  EventType type() const { return type_; }
  std::uint16_t keyCode() const { return keyCode_; }
  // The text the key typed (UTF-8), or std::nullopt when it typed none.
  const std::optional<std::string>& characters() const { return characters_; }
  // The application window the key went to, or nullptr (a dialog, no window).
  const std::shared_ptr<Window>& window() const { return window_; }

 private:
  EventType type_;
  std::uint16_t keyCode_;
  std::optional<std::string> characters_;
  std::shared_ptr<Window> window_;
};

namespace detail {
// The key code for a Qt key (Qt::Key value) and whether it came from the keypad.
std::uint16_t keyCodeForQtKey(int qtKey, bool keypad);
}  // namespace detail

}  // namespace corvane::platform::ui
