#include "core/pool.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/log.h"
#include "core/random.h"
#include "core/tree.h"

namespace {

constexpr uint64_t kHeapAlign = 64;
constexpr uint64_t kMaxGranule = 128;
// Big arenas spread large blocks from a random start so that long-lived
// ones do not all pile up at the front.
constexpr uint64_t kSpreadArenaSize = 0x800000;
constexpr uint64_t kSpreadBlockSize = 1024;

// Lives in the first 64 bytes of the same allocation as the block, so a
// heap block costs one system allocation.
struct HeapRecord {
    CoreTreeNode node;  // key: the block address
    void *block;
    uint64_t size;
};
static_assert(sizeof(HeapRecord) <= kHeapAlign, "heap record must fit before the aligned block");

uint64_t round_up(uint64_t value, uint64_t step) { return (value + step - 1) / step * step; }

uint64_t pool_size_rule(uint64_t size)
{
    if (size == 0) return 0;
    if (size > CORE_POOL_MAX_SIZE) size = CORE_POOL_MAX_SIZE;
    return round_up(size, CORE_POOL_SIZE_STEP);
}

uint64_t granule_rule(uint64_t granule)
{
    if (granule <= 7) return 16;
    if (granule > kMaxGranule) granule = kMaxGranule;
    uint64_t power = 8;
    while (power < granule) power <<= 1;
    return power;
}

bool bit_is_set(const uint8_t *bitmap, uint64_t index)
{
    return (bitmap[index / 8] & (0x80u >> (index % 8))) != 0;
}

// ---- Arena ----------------------------------------------------------------

// First run of clear granule bits long enough for `granules`; a full byte
// is skipped whole. Returns the first granule index or UINT64_MAX.
uint64_t find_granule_run(const CorePool *pool, uint64_t granules)
{
    uint64_t run_start = 0;
    uint64_t run_length = 0;
    uint64_t g = 0;
    while (g < pool->bitmap_bits) {
        if (g % 8 == 0 && pool->bitmap[g / 8] == 0xFF) {
            run_length = 0;
            g += 8;
            continue;
        }
        if (bit_is_set(pool->bitmap, g)) {
            run_length = 0;
        } else {
            if (run_length == 0) run_start = g;
            if (++run_length == granules) return run_start;
        }
        ++g;
    }
    return UINT64_MAX;
}

uint64_t find_unit_run(const CorePool *pool, uint64_t units, uint64_t start)
{
    uint64_t run_length = 0;
    for (uint64_t u = start; u < pool->large_units; ++u) {
        if (pool->bitmap[u] != 0) {
            run_length = 0;
            continue;
        }
        if (++run_length == units) return u + 1 - units;
    }
    return UINT64_MAX;
}

// Caller holds the pool lock.
void *arena_alloc_block(CorePool *pool, uint64_t n)
{
    if (n == 0 || n > pool->size) return nullptr;
    const uint64_t total = n + CORE_POOL_BLOCK_OVERHEAD;
    uint64_t rounded;
    uint64_t offset;
    if (total < pool->large_unit) {
        rounded = round_up(total, pool->granule);
        if (pool->size - pool->in_use < rounded) return nullptr;
        uint64_t first = find_granule_run(pool, rounded / pool->granule);
        if (first == UINT64_MAX) return nullptr;
        for (uint64_t g = first; g < first + rounded / pool->granule; ++g)
            pool->bitmap[g / 8] |= static_cast<uint8_t>(0x80u >> (g % 8));
        offset = first * pool->granule;
    } else {
        rounded = round_up(total, pool->large_unit);
        if (pool->size - pool->in_use < rounded) return nullptr;
        const uint64_t units = rounded / pool->large_unit;
        uint64_t start = 0;
        if (pool->size >= kSpreadArenaSize && total >= kSpreadBlockSize)
            start = core_random_u64() % pool->large_units;
        uint64_t first = find_unit_run(pool, units, start);
        if (first == UINT64_MAX && start != 0) first = find_unit_run(pool, units, 0);
        if (first == UINT64_MAX) return nullptr;
        memset(pool->bitmap + first, 0xFF, units);
        offset = first * pool->large_unit;
    }
    pool->in_use += rounded;

    uint8_t *header = pool->arena + offset;
    uint8_t *user = header + 8;
    const uint32_t size_word = static_cast<uint32_t>(n);
    const uint32_t checksum = core_block_checksum(user);
    const uint64_t guard = CORE_POOL_GUARD;
    memcpy(header, &size_word, 4);
    memcpy(header + 4, &checksum, 4);
    memset(user, 0, n);
    memcpy(user + n, &guard, 8);
    return user;
}

// Caller holds the pool lock. Every check runs before anything changes, so
// a stray, repeated or overrun free leaves the arena as it was.
CoreResult arena_free_block(CorePool *pool, void *block)
{
    uint8_t *user = static_cast<uint8_t *>(block);
    if (user < pool->arena + 8 || user >= pool->arena + pool->size) return CORE_FAIL;
    uint8_t *header = user - 8;
    const uint64_t offset = static_cast<uint64_t>(header - pool->arena);
    uint32_t n;
    uint32_t checksum;
    memcpy(&n, header, 4);
    memcpy(&checksum, header + 4, 4);
    if (n == 0) return CORE_FAIL;
    const uint64_t total = n + CORE_POOL_BLOCK_OVERHEAD;
    const bool small = total < pool->large_unit;
    const uint64_t unit = small ? pool->granule : pool->large_unit;
    const uint64_t rounded = round_up(total, unit);
    if (offset % unit != 0 || offset + rounded > pool->size) return CORE_FAIL;
    if (checksum != core_block_checksum(user)) return CORE_FAIL;
    uint64_t guard;
    memcpy(&guard, user + n, 8);
    if (guard != CORE_POOL_GUARD) {
        core_log(CORE_LOG_ERROR, "pool", "block %p of %u bytes overran its guard word; not freed", block, n);
        return CORE_FAIL;
    }
    if (small) {
        const uint64_t first = offset / pool->granule;
        for (uint64_t g = first; g < first + rounded / pool->granule; ++g)
            if (!bit_is_set(pool->bitmap, g)) return CORE_FAIL;
        for (uint64_t g = first; g < first + rounded / pool->granule; ++g)
            pool->bitmap[g / 8] &= static_cast<uint8_t>(~(0x80u >> (g % 8)));
    } else {
        const uint64_t first = offset / pool->large_unit;
        for (uint64_t u = first; u < first + rounded / pool->large_unit; ++u)
            if (pool->bitmap[u] != 0xFF) return CORE_FAIL;
        memset(pool->bitmap + first, 0, rounded / pool->large_unit);
    }
    // A second free of the same address must fail even if the granules are
    // handed out again to a block that starts elsewhere.
    memset(header + 4, 0, 4);
    pool->in_use -= rounded;
    return CORE_OK;
}

// ---- Heap mode --------------------------------------------------------------

void *heap_alloc(CorePool *pool, uint64_t n)
{
    if (n > UINT64_MAX / 2) return nullptr;
    const uint64_t bytes = kHeapAlign + round_up(n, kHeapAlign);
    if (bytes > SIZE_MAX) return nullptr;
    auto *base = static_cast<uint8_t *>(aligned_alloc(kHeapAlign, static_cast<size_t>(bytes)));
    if (base == nullptr) return nullptr;
    auto *record = reinterpret_cast<HeapRecord *>(base);
    void *block = base + kHeapAlign;
    memset(record, 0, sizeof(*record));
    memset(block, 0, static_cast<size_t>(n));
    record->block = block;
    record->size = n;
    record->node.key = block;
    record->node.value = record;
    {
        CoreLockGuard guard(&pool->lock);
        if (!(pool->bounded && pool->size - pool->in_use < n) &&
            core_tree_insert(pool->blocks, &record->node) != nullptr) {
            pool->in_use += n;
            return block;
        }
    }
    free(base);
    return nullptr;
}

CoreResult heap_free(CorePool *pool, void *block)
{
    HeapRecord *record = nullptr;
    {
        CoreLockGuard guard(&pool->lock);
        CoreTreeNode *node = core_tree_find(pool->blocks, block);
        if (node == nullptr) return CORE_FAIL;
        core_tree_erase(pool->blocks, node);
        record = static_cast<HeapRecord *>(node->value);
        pool->in_use -= record->size;
    }
    free(record);
    return CORE_OK;
}

CorePool *new_pool() { return new (std::nothrow) CorePool{}; }

CoreTree *new_block_tree()
{
    CoreTreeConfig config{};
    config.compare = core_compare_u64_value;
    return core_tree_create(&config);
}

}  // namespace

uint32_t core_block_checksum(const void *address)
{
    static const struct Table {
        uint32_t entry[256];
        Table()
        {
            for (uint32_t i = 0; i < 256; ++i) {
                uint32_t value = i;
                for (int k = 0; k < 8; ++k) {
                    bool shifted_out = (value & 1) != 0;
                    value >>= 1;
                    if (!shifted_out) value ^= 0xEDB88320u;
                }
                entry[i] = value ^ 0xFF000000u;
            }
        }
    } table;
    uint64_t value = reinterpret_cast<uintptr_t>(address);
    uint32_t h = 0;
    for (int i = 0; i < 8; ++i) {
        uint8_t byte = static_cast<uint8_t>(value >> (8 * i));
        h = table.entry[(h ^ byte) & 0xFF] ^ (h >> 8);
    }
    return h;
}

CorePool *core_pool_create(const CorePoolConfig *config)
{
    if (config == nullptr) return nullptr;
    const bool arena = (config->flags & CORE_POOL_ARENA) != 0;
    if (arena && (config->granule == 0 || config->size == 0)) return nullptr;
    CorePool *pool = new_pool();
    if (pool == nullptr) return nullptr;
    pool->size = pool_size_rule(config->size);
    pool->granule = granule_rule(config->granule);
    pool->flags = config->flags;
    pool->bounded = config->size != 0;
    pool->arena_mode = arena;
    if (arena) {
        pool->large_unit = pool->granule * 8;
        pool->bitmap_bits = (pool->size / pool->granule - 1) / 8 * 8 + 8;
        pool->large_units = pool->size / pool->large_unit;
        pool->arena = static_cast<uint8_t *>(aligned_alloc(kHeapAlign, pool->size));
        pool->bitmap = static_cast<uint8_t *>(calloc(1, pool->bitmap_bits / 8));
        if (pool->arena != nullptr) memset(pool->arena, 0, pool->size);
        if (pool->arena == nullptr || pool->bitmap == nullptr) {
            core_pool_destroy(&pool);
            return nullptr;
        }
    } else {
        pool->blocks = new_block_tree();
        if (pool->blocks == nullptr) {
            core_pool_destroy(&pool);
            return nullptr;
        }
    }
    return pool;
}

CorePool *core_pool_create_sub(CorePool *parent, uint64_t size)
{
    if (parent == nullptr || size == 0 || size > CORE_POOL_MAX_SIZE) return nullptr;
    CorePool *pool = new_pool();
    if (pool == nullptr) return nullptr;
    pool->size = round_up(size, CORE_POOL_SIZE_STEP);
    pool->granule = parent->granule;
    pool->flags = parent->flags;
    pool->parent = parent;
    if (parent->arena_mode) {
        pool->arena_mode = 1;
        pool->bounded = 1;
        pool->large_unit = parent->large_unit;
        pool->bitmap_bits = pool->size / pool->granule;
        pool->large_units = pool->size / pool->large_unit;
        {
            CoreLockGuard guard(&parent->lock);
            pool->arena = static_cast<uint8_t *>(arena_alloc_block(parent, pool->size));
        }
        pool->bitmap = static_cast<uint8_t *>(core_pool_alloc(parent, pool->bitmap_bits / 8));
        if (pool->arena == nullptr || pool->bitmap == nullptr) {
            core_pool_destroy(&pool);
            return nullptr;
        }
    } else {
        pool->blocks = new_block_tree();
        if (pool->blocks == nullptr) {
            core_pool_destroy(&pool);
            return nullptr;
        }
    }
    return pool;
}

void core_pool_destroy(CorePool **pool_ptr)
{
    if (pool_ptr == nullptr || *pool_ptr == nullptr) return;
    CorePool *pool = *pool_ptr;
    if (pool->parent != nullptr && pool->arena_mode) {
        void *region = pool->arena;
        void *bitmap = pool->bitmap;
        if (region != nullptr) core_pool_free(pool->parent, &region);
        if (bitmap != nullptr) core_pool_free(pool->parent, &bitmap);
    } else {
        free(pool->arena);
        free(pool->bitmap);
    }
    if (pool->blocks != nullptr) {
        // Blocks nobody gave back go with the pool.
        while (CoreTreeNode *node = core_tree_first(pool->blocks)) {
            core_tree_erase(pool->blocks, node);
            free(node->value);
        }
        core_tree_destroy(&pool->blocks);
    }
    delete pool;
    *pool_ptr = nullptr;
}

void *core_pool_alloc(CorePool *pool, uint64_t n)
{
    if (pool == nullptr || n == 0) return nullptr;
    if (!pool->arena_mode) return heap_alloc(pool, n);
    CoreLockGuard guard(&pool->lock);
    return arena_alloc_block(pool, n);
}

CoreResult core_pool_free(CorePool *pool, void **block)
{
    if (block == nullptr) return CORE_FAIL;
    void *address = *block;
    *block = nullptr;
    if (address == nullptr) return CORE_OK;
    if (pool == nullptr) return CORE_FAIL;
    if (!pool->arena_mode) return heap_free(pool, address);
    CoreLockGuard guard(&pool->lock);
    return arena_free_block(pool, address);
}
