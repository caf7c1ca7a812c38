// Source bookkeeping shared by the TCP and the UDP socket. Socket queue only.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/dispatch/dispatch.h"

namespace corvane::detail {

using platform::dispatch::Source;
using platform::dispatch::SourcePtr;

// Suspends `source` unless `pausedBit` in `flags` records it as suspended already, and
// records it: suspensions and resumptions of a source then stay balanced.
inline void suspendOnce(const SourcePtr& source, uint32_t& flags, uint32_t pausedBit) {
  if (source && (flags & pausedBit) == 0) {
    source->suspend();
    flags |= pausedBit;
  }
}

// Resumes `source` if `pausedBit` records it as suspended, and clears the bit.
inline void resumeOnce(const SourcePtr& source, uint32_t& flags, uint32_t pausedBit) {
  if (source && (flags & pausedBit) != 0) {
    source->resume();
    flags &= ~pausedBit;
  }
}

// Cancels and drops `source`, if any.
inline void cancelSource(SourcePtr& source) {
  if (source) {
    source->cancel();
    source.reset();
  }
}

// Gives the read and the write source of one descriptor cancel handlers that share a
// count: the second one to run closes the descriptor.
inline void closeWhenBothCancelled(Source& first, Source& second, int fd) {
  auto remaining = std::make_shared<std::atomic<int>>(2);
  auto handler = [remaining, fd] {
    if (remaining->fetch_sub(1) == 1) ::close(fd);
  };
  first.setCancelHandler(handler);
  second.setCancelHandler(handler);
}

}  // namespace corvane::detail
