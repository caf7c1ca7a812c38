// The raw-video queue item: one captured frame on its way from the screen capture to the
// H.264 encoder. Holding the item keeps the pixel buffer alive; the encoder drops it after
// scaling, and the queue's destroy block drops it for items left behind.
#pragma once

#include <cstdint>

#include "platform/video/pixel_buffer.h"

namespace corvane {

struct RawVideoFrame {
  platform::video::PixelBufferRef buffer;
  std::uint32_t timestamp = 0;  // media-clock milliseconds (low 32 bits) when queued
  bool keyframe = false;        // the frame is to be encoded as a key frame
};

}  // namespace corvane
