// System start and stop: brings the base runtime's process-wide state up as
// a whole, in a fixed order, and takes it down in the reverse order.
//
// Start makes the executor registry with CORE_DEFAULT_EXECUTOR, the pool
// registry with CORE_DEFAULT_POOL, a new sequence base, the identity seed
// index, the topic and notify registries, the five handle tables, value
// lists 0 and 1 and the four codec lists. The process clock is not part of
// it: it was started by its first use and never goes back, so a restarted
// runtime keeps its time base. Start and stop are called from one thread
// while no other engine-side code runs; what they make is then used from
// every thread. Start, stop, start again in one process is supported.
#pragma once

#include <cstdint>

#include "core/result.h"

// Brings the runtime up; default_pool_size bounds CORE_DEFAULT_POOL (0:
// unbounded). CORE_OK; CORE_FAIL when already started or a step fails. A
// failed start leaves the parts it made in place: call core_system_stop
// before starting again.
CoreResult core_system_start(uint64_t default_pool_size);

// Takes down whatever exists, in the reverse order of start: pending frees
// of handle tables run and every thread the runtime started has ended when
// it returns. Harmless when nothing was started.
void core_system_stop(void);

// The index (0..31) into the network library's identity seed table chosen
// by the last start; -1 while the runtime is stopped.
int core_identity_seed_index(void);

// Returns the current index and advances it by one, modulo 32, in one
// atomic step (every adapter instance takes entries); -1 while stopped.
int core_identity_seed_index_take(void);
