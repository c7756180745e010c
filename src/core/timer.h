// CoreTimer: a periodic timer on a thread of its own.
//
// The callback runs on the timer's thread and may run long; it is never
// called twice at once. core_timer_destroy waits for a callback in progress,
// except when called from inside that callback, in which case the timer is
// freed by its own thread once the callback returns.
#pragma once

#include <cstdint>

struct CoreTimer;
typedef void (*CoreTimerFn)(void **user);

// First call after `due_ms`, then every `period_ms` (0: once). NULL on
// failure.
CoreTimer *core_timer_create(uint32_t due_ms, uint32_t period_ms, CoreTimerFn fn, void *user0, void *user1);

// Re-arms the timer: next call after `due_ms`, then every `period_ms`.
void core_timer_set(CoreTimer *timer, uint32_t due_ms, uint32_t period_ms);

// Stops the timer, frees it and clears *timer.
void core_timer_destroy(CoreTimer **timer);
