#include "platform/ui/event.h"

#include <Qt>
#include <array>

namespace corvane::platform::ui::detail {

std::uint16_t keyCodeForQtKey(int qtKey, bool keypad) {
  // Digit keys of the main keyboard and of the keypad, in the order 0 to 9.
  static constexpr std::array<std::uint16_t, 10> kDigits = {29, 18, 19, 20, 21, 23, 22, 26, 28, 25};
  static constexpr std::array<std::uint16_t, 10> kKeypadDigits = {82, 83, 84, 85, 86,
                                                                  87, 88, 89, 91, 92};
  if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) {
    const auto digit = static_cast<std::size_t>(qtKey - Qt::Key_0);
    return keypad ? kKeypadDigits.at(digit) : kDigits.at(digit);
  }
  switch (qtKey) {
    case Qt::Key_Return:
      return keypad ? kKeyCodeKeypadEnter : kKeyCodeReturn;
    case Qt::Key_Enter:
      return kKeyCodeKeypadEnter;
    case Qt::Key_Backspace:
      return kKeyCodeDelete;
    case Qt::Key_Delete:
      return 117;  // forward delete
    case Qt::Key_Tab:
      return 48;
    case Qt::Key_Space:
      return 49;
    case Qt::Key_Escape:
      return 53;
    default:
      return kKeyCodeUnknown;
  }
}

}  // namespace corvane::platform::ui::detail
