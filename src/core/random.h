// Cheap per-thread random numbers for jitter, back-off and key draws that
// need no secrecy. Keys and nonces never come from here: they use the
// crypto wrappers. Each thread has its own generator state, seeded by
// core_thread_entry (or lazily from the clocks on threads we did not start).
#pragma once

#include <cstdint>

#define CORE_RAND_MAX 0x7FFF

// Next value 0..CORE_RAND_MAX of this thread's generator.
int core_rand(void);

// Seeds this thread's generator.
void core_srand(uint32_t seed);

// Eight core_rand() values, low byte of each, the first most significant.
uint64_t core_random_u64(void);

// Test seam: while set, core_rand on this thread returns hook(context).
// NULL restores the generator.
void core_rand_set_hook(int (*hook)(void *context), void *context);
