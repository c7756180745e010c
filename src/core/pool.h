// Memory pools: where messages, store items and buffers get their memory.
//
// A pool owns either a set of separate 64-byte-aligned heap blocks, tracked
// by address so it can account for (and optionally bound) its use, or one
// fixed arena cut into granules by a bitmap, each block framed by a size
// word, a checksum of its address and a trailing guard word. Any thread may
// allocate and free; each pool has its own lock, taken after a store's lock
// and never the other way round. Allocation returns zeroed memory or NULL;
// free returns CORE_OK or CORE_FAIL and always clears the caller's pointer.
//
// The named registry (core_pool_registry_start ... core_pool_exists) is not
// built yet: its stores reclaim on an executor. Until then those functions
// report CORE_ERR_UNSUPPORTED, NULL or 0, so anything configured with a pool
// name fails to create rather than silently using the heap.
#pragma once

#include <cstdint>

#include "core/names.h"
#include "core/result.h"
#include "core/sync.h"

struct CoreTree;

#define CORE_POOL_ARENA 2u
#define CORE_POOL_GUARD 0xfab5610784c239deULL
// Bound of any pool and of any sub-pool.
#define CORE_POOL_MAX_SIZE 0x80000000ULL
// Pool sizes are multiples of this.
#define CORE_POOL_SIZE_STEP 2048ULL
// Arena framing: u32 size + u32 checksum before the block, u64 guard after.
#define CORE_POOL_BLOCK_OVERHEAD 16ULL

struct CorePoolConfig {
    uint64_t size;     // 0: unbounded heap pool; required for an arena
    uint64_t granule;  // required for an arena
    uint32_t flags;    // CORE_POOL_ARENA
};

struct CorePool {
    uint64_t size;     // bound, a multiple of 2048 (0: unbounded heap pool)
    uint64_t granule;  // 16..128, a power of two (8 when asked for 8)
    uint32_t flags;

    // Heap mode: live blocks keyed by address.
    CoreTree *blocks;

    // Arena mode.
    uint8_t *arena;
    uint8_t *bitmap;        // one bit per granule, most significant bit first
    uint64_t bitmap_bits;   // granules, a multiple of 8
    uint64_t large_units;   // size / large_unit = bitmap bytes
    uint64_t large_unit;    // granule * 8: the span of one bitmap byte

    CoreLock lock;
    uint64_t in_use;        // rounded block sizes (arena) or requested sizes (heap)
    CorePool *parent;       // the pool a sub-pool was carved from
    uint32_t bounded;
    uint32_t arena_mode;
};

// A new pool, or NULL (config NULL; arena without granule or size; no
// memory).
CorePool *core_pool_create(const CorePoolConfig *config);

// Frees the pool, every block still in it, and an arena's region (back to
// the parent for a carved sub-pool). A parent must outlive its sub-pools.
// Sets *pool to NULL.
void core_pool_destroy(CorePool **pool);

// A pool of `size` bytes (rounded up to 2048) carved from `parent`: from an
// arena, a bounded arena whose region and bitmap are blocks of the parent;
// from a heap pool, a heap pool that records the size without enforcing it.
// NULL when parent is NULL, size is 0 or above CORE_POOL_MAX_SIZE, or the
// parent cannot serve the region.
CorePool *core_pool_create_sub(CorePool *parent, uint64_t size);

// A zeroed block of n bytes, or NULL (n 0, pool NULL, bound reached, no free
// run in the arena, no memory). Heap blocks are 64-byte aligned.
void *core_pool_alloc(CorePool *pool, uint64_t n);

// Gives *block back and sets *block to NULL in every case. CORE_OK, also for
// a NULL block; CORE_FAIL when the block is not a live block of this pool
// (an unknown heap address; in an arena, an address outside it, not at a
// block start, already free, or whose header or guard word was overwritten).
// A refused free changes nothing in the pool.
CoreResult core_pool_free(CorePool *pool, void **block);

// The arena header checksum of a user address.
uint32_t core_block_checksum(const void *address);

// ---- Named registry: not built yet (needs executors) ----
// CORE_ERR_UNSUPPORTED for now.
CoreResult core_pool_registry_start(uint64_t default_size);
// Nothing for now.
void core_pool_registry_stop(void);
// CORE_ERR_UNSUPPORTED for now.
CoreResult core_pool_register(const CoreName *name, CorePool *pool);
// Nothing for now.
void core_pool_unregister(const CoreName *name);
// NULL for now.
CorePool *core_pool_get(const CoreName *name, uint64_t size);
// Nothing for now (a pool from core_pool_get cannot exist yet).
void core_pool_release(CorePool *pool);
// 0 for now.
int core_pool_exists(const CoreName *name);
