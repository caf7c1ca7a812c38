// Xvfb for tests: starts a virtual X server on a free display number (chosen by the server
// itself through -displayfd) with -noreset at 2560x1440x24 (or a size given), adds smaller modes
// through xrandr, and stops the server when the object goes. TestWindow draws a solid-coloured,
// named window on it through a client connection of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

typedef struct _XDisplay Display;  // NOLINT: Xlib's own spelling

namespace corvane::test {

class Xvfb {
 public:
  static constexpr int kWidth = 2560;
  static constexpr int kHeight = 1440;

  // A running server, or nullptr with the reason in `whyNot` (Xvfb or xrandr missing, or the
  // server did not come up). Its largest (and first) mode is `width` x `height`.
  static std::unique_ptr<Xvfb> start(std::string* whyNot, int width = kWidth, int height = kHeight);
  ~Xvfb();
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  // ":N".
  const std::string& display() const { return display_; }
  // Adds a `width` x `height` mode to the output "screen" (and makes it the primary output).
  bool addMode(int width, int height);
  // Switches the output to a mode added before (or the start size).
  bool setMode(int width, int height);

 private:
  Xvfb(int pid, std::string display, int width, int height)
      : pid_(pid), display_(std::move(display)), width_(width), height_(height) {}
  int pid_;
  std::string display_;
  int width_;  // the start size
  int height_;
};

// A mapped top-level window filled with one colour; an empty `name` leaves it untitled.
class TestWindow {
 public:
  TestWindow(const std::string& display, int x, int y, int width, int height, std::uint32_t rgb,
             const std::string& name);
  ~TestWindow();
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  bool isOpen() const { return display_ != nullptr; }
  // Fills the whole window (or one rectangle of it) with a colour and waits until the server
  // has drawn it.
  void fill(std::uint32_t rgb);
  void fillRect(int x, int y, int width, int height, std::uint32_t rgb);
  // Moves the pointer to (x, y) of the screen.
  void warpPointer(int x, int y);

 private:
  Display* display_ = nullptr;
  unsigned long window_ = 0;
  int width_ = 0;
  int height_ = 0;
};

}  // namespace corvane::test
