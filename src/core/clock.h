// Time base and precise sleeping of the engine side.
//
// core_clock_mono_ns is the clock of every due time and timestamp; it counts
// from the first clock use in the process and never goes back, across all
// threads. Sleepers sleep to an absolute CLOCK_MONOTONIC deadline, so a signal
// that interrupts the sleep does not shorten or lengthen it. Any thread may
// call these functions.
#pragma once

#include <cstdint>

// Microseconds since 1970-01-01 00:00:00 UTC.
uint64_t core_clock_wall_us(void);

// The wall-clock conversion on its own: 100-ns intervals since 1601-01-01
// to microseconds since 1970-01-01.
uint64_t core_clock_filetime_to_unix_us(uint64_t filetime);

// Nanoseconds since the clock's start; never less than a value returned
// before on any thread; 0 when the clock cannot be read.
uint64_t core_clock_mono_ns(void);

// Monotonic milliseconds, the unit of every due time.
static inline uint64_t core_clock_mono_ms(void) { return core_clock_mono_ns() / 1000000; }

// Test seam: moves core_clock_mono_ns forward by `ms` for the rest of the
// process (it never moves back), then wakes every executor's dispatcher so
// that tasks whose due time the jump passed run now, on their workers, not
// on the caller. Lets tests cross 30 s and 60 s deadlines without waiting.
// Sleepers and event waits keep real time.
void core_clock_test_advance_ms(uint64_t ms);

struct CoreSleeper {
    int clock_id;
};

// A sleeper, or NULL.
CoreSleeper *core_sleeper_create(void);
// 0 after sleeping `ns` nanoseconds; -1 on failure.
int core_sleeper_wait(CoreSleeper *sleeper, uint64_t ns);
void core_sleeper_destroy(CoreSleeper **sleeper);

// Sleeps `ms` milliseconds (absolute deadline, repeated on EINTR).
void core_sleep_ms(uint32_t ms);

// The polling wait of the engine side: 5 to 20 ms chosen by the thread's
// generator, so pollers on many threads do not wake in step.
void core_poll_sleep(void);
