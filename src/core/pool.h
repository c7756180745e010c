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
// Named pools live in the registry at the end of this header.
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

// ---- Named registry ----
// Pools published by name so that stores, queues and channels can draw
// from them. Its stores reclaim on CORE_DEFAULT_EXECUTOR, which must exist
// before the registry starts and outlive it.

// Creates the registry and the default pool (heap mode, granule 32, bounded
// by `default_size` when not 0) registered as CORE_DEFAULT_POOL. CORE_OK, or
// CORE_FAIL when already started or on failure.
CoreResult core_pool_registry_start(uint64_t default_size);
// Unregisters and destroys the default pool and the registry.
void core_pool_registry_stop(void);
// CORE_OK; CORE_FAIL when the registry is missing, the name empty or taken.
CoreResult core_pool_register(const CoreName *name, CorePool *pool);
// Removes the entry; every sub-pool still carved from it is destroyed. The
// registered pool itself stays its owner's.
void core_pool_unregister(const CoreName *name);
// Size 0: the registered pool itself. Otherwise a new sub-pool of that size
// carved from it. NULL when the name is unknown or carving fails.
CorePool *core_pool_get(const CoreName *name, uint64_t size);
// Gives back a pool from core_pool_get: a sub-pool is destroyed; a
// registered pool is left alone; an unknown pool is ignored.
void core_pool_release(CorePool *pool);
// 1 when a live entry of that name exists, else 0.
int core_pool_exists(const CoreName *name);
