// The queue-specific key that marks the facility's logging queue, so that loggers can tell
// whether they run on it. Internal to the logging framework.
#pragma once

namespace corvane::detail {

// Address used as key (and value) on the logging queue.
const void* loggingQueueKey();

}  // namespace corvane::detail
