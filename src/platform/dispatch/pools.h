// The process-wide worker pools. They live until the process ends (never destroyed, so that
// workers still running at exit find them intact).
#pragma once

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/pool.h"

namespace corvane::platform::dispatch::detail {

// The pool behind the global concurrent queue of `priority`.
Pool& globalPool(Priority priority);
// The pool on which serial queues drain.
Pool& serialPool();

// Maps any priority value onto one of the four global priorities.
Priority normalisedPriority(Priority priority);

}  // namespace corvane::platform::dispatch::detail
