#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "core/executor.h"
#include "core/pool.h"

namespace {

CorePool *make_pool(uint64_t size, uint64_t granule, uint32_t flags)
{
    CorePoolConfig config{size, granule, flags};
    return core_pool_create(&config);
}

struct PoolDeleter {
    void operator()(CorePool *pool) const { core_pool_destroy(&pool); }
};
using PoolPtr = std::unique_ptr<CorePool, PoolDeleter>;

TEST(CorePool, SizeAndGranuleRules)
{
    struct Case {
        const char *purpose;
        CorePoolConfig config;
        bool created;
        uint64_t size, granule;
    };
    const Case cases[] = {
        {"granule 0 in heap mode", {0, 0, 0}, true, 0, 16},
        {"granule 7 is too fine", {0, 7, 0}, true, 0, 16},
        {"granule 8 is kept", {0, 8, 0}, true, 0, 8},
        {"granule 9 rounds up", {0, 9, 0}, true, 0, 16},
        {"granule 200 is capped", {0, 200, 0}, true, 0, 128},
        {"size 3000 rounds up", {3000, 0, 0}, true, 4096, 16},
        {"size 0x90000000 is capped", {0x90000000ull, 0, 0}, true, 0x80000000ull, 16},
        {"arena without granule", {4096, 0, CORE_POOL_ARENA}, false, 0, 0},
        {"arena without size", {0, 16, CORE_POOL_ARENA}, false, 0, 0},
        {"arena", {5000, 33, CORE_POOL_ARENA}, true, 6144, 64},
    };
    for (const Case &c : cases) {
        PoolPtr pool(core_pool_create(&c.config));
        ASSERT_EQ(pool != nullptr, c.created) << c.purpose;
        if (!pool) continue;
        EXPECT_EQ(pool->size, c.size) << c.purpose;
        EXPECT_EQ(pool->granule, c.granule) << c.purpose;
        EXPECT_EQ(pool->bounded, c.config.size != 0) << c.purpose;
        if (pool->arena_mode) {
            EXPECT_EQ(pool->large_unit, c.granule * 8) << c.purpose;
            EXPECT_EQ(pool->bitmap_bits, c.size / c.granule) << c.purpose;
            EXPECT_EQ(pool->large_units, c.size / (c.granule * 8)) << c.purpose;
        }
    }
    EXPECT_EQ(core_pool_create(nullptr), nullptr);
}

TEST(CorePool, BoundedHeapPoolRefusesPastItsSizeAndRecovers)
{
    constexpr uint64_t kMb = 1 << 20;
    PoolPtr pool(make_pool(2 * kMb, 32, 0));
    ASSERT_TRUE(pool);
    void *a = core_pool_alloc(pool.get(), kMb);
    void *b = core_pool_alloc(pool.get(), kMb);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(core_pool_alloc(pool.get(), 1), nullptr);
    EXPECT_EQ(core_pool_free(pool.get(), &a), CORE_OK);
    EXPECT_EQ(a, nullptr);
    void *c = core_pool_alloc(pool.get(), kMb);
    EXPECT_NE(c, nullptr);
    EXPECT_EQ(pool->in_use, 2 * kMb);
    // b and c are still live: destroy takes them with it.
}

TEST(CorePool, HeapBlocksAreAlignedZeroedAndKnown)
{
    PoolPtr pool(make_pool(0, 0, 0));
    ASSERT_TRUE(pool);
    for (uint64_t n : {1ull, 63ull, 64ull, 65ull, 1000ull}) {
        auto *block = static_cast<uint8_t *>(core_pool_alloc(pool.get(), n));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 64, 0u) << n;
        for (uint64_t i = 0; i < n; ++i) ASSERT_EQ(block[i], 0) << n;
        void *p = block;
        EXPECT_EQ(core_pool_free(pool.get(), &p), CORE_OK);
    }
    EXPECT_EQ(pool->in_use, 0u);
    EXPECT_EQ(core_pool_alloc(pool.get(), 0), nullptr);

    int never_allocated = 0;
    void *stray = &never_allocated;
    EXPECT_EQ(core_pool_free(pool.get(), &stray), CORE_FAIL);
    EXPECT_EQ(stray, nullptr);
    void *none = nullptr;
    EXPECT_EQ(core_pool_free(pool.get(), &none), CORE_OK);
}

TEST(CorePool, ArenaBlockLayoutAndReuse)
{
    PoolPtr pool(make_pool(4096, 16, CORE_POOL_ARENA));
    ASSERT_TRUE(pool);
    auto *a = static_cast<uint8_t *>(core_pool_alloc(pool.get(), 20));
    auto *b = static_cast<uint8_t *>(core_pool_alloc(pool.get(), 20));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a, pool->arena + 8);
    EXPECT_EQ(b - a, 48) << "20 + 16 bytes take three granules";
    EXPECT_EQ(pool->in_use, 96u);

    uint32_t size_word, checksum;
    uint64_t guard;
    memcpy(&size_word, a - 8, 4);
    memcpy(&checksum, a - 4, 4);
    memcpy(&guard, a + 20, 8);
    EXPECT_EQ(size_word, 20u);
    EXPECT_EQ(checksum, core_block_checksum(a));
    EXPECT_EQ(guard, CORE_POOL_GUARD);
    EXPECT_NE(core_block_checksum(a), core_block_checksum(b));

    memset(a, 0xAB, 20);
    void *p = a;
    ASSERT_EQ(core_pool_free(pool.get(), &p), CORE_OK);
    auto *again = static_cast<uint8_t *>(core_pool_alloc(pool.get(), 20));
    ASSERT_EQ(again, a) << "first fit reuses the hole";
    for (int i = 0; i < 20; ++i) EXPECT_EQ(again[i], 0);
    EXPECT_EQ(core_pool_alloc(pool.get(), 0), nullptr);
    EXPECT_EQ(core_pool_alloc(pool.get(), 4096), nullptr) << "larger than the arena";
}

TEST(CorePool, ArenaRefusesFreesThatAreNotLiveBlocks)
{
    PoolPtr pool(make_pool(4096, 16, CORE_POOL_ARENA));
    ASSERT_TRUE(pool);
    auto *small = static_cast<uint8_t *>(core_pool_alloc(pool.get(), 40));
    auto *large = static_cast<uint8_t *>(core_pool_alloc(pool.get(), 300));
    auto *freed = static_cast<uint8_t *>(core_pool_alloc(pool.get(), 40));
    ASSERT_TRUE(small && large && freed);
    void *p = freed;
    ASSERT_EQ(core_pool_free(pool.get(), &p), CORE_OK);
    const uint64_t in_use = pool->in_use;
    std::vector<uint8_t> bitmap(pool->bitmap, pool->bitmap + pool->bitmap_bits / 8);

    // A plausible size word inside the large block: only the checksum tells
    // it from a block header.
    const uint32_t forty = 40;
    memcpy(large + 120, &forty, 4);
    int outside = 0;
    struct Case {
        const char *purpose;
        void *address;
    };
    const Case cases[] = {
        {"outside the arena", &outside},
        {"arena start", pool->arena},
        {"inside a small block", small + 16},
        {"inside a large block, size word forged", large + 128},
        {"already freed", freed},
    };
    for (const Case &c : cases) {
        void *address = c.address;
        EXPECT_EQ(core_pool_free(pool.get(), &address), CORE_FAIL) << c.purpose;
        EXPECT_EQ(address, nullptr) << c.purpose;
    }

    large[300] ^= 1;  // one byte past the block: the guard word
    p = large;
    EXPECT_EQ(core_pool_free(pool.get(), &p), CORE_FAIL) << "overrun guard";
    large[300] ^= 1;

    EXPECT_EQ(pool->in_use, in_use);
    EXPECT_EQ(std::vector<uint8_t>(pool->bitmap, pool->bitmap + pool->bitmap_bits / 8), bitmap);
    p = large;
    EXPECT_EQ(core_pool_free(pool.get(), &p), CORE_OK) << "the refused block is still live";
}

// A plain bitmap model of first-fit arena allocation: blocks below one
// bitmap byte's span take whole granules anywhere; larger ones take whole
// free bytes. Arenas under 8 MB always search from the start.
struct ArenaModel {
    uint64_t granule, large_unit;
    std::vector<bool> used;  // per granule
    uint64_t in_use = 0;

    ArenaModel(uint64_t size, uint64_t g) : granule(g), large_unit(g * 8), used(size / g) {}

    int64_t alloc(uint64_t n)
    {
        uint64_t total = n + 16;
        bool small = total < large_unit;
        uint64_t unit = small ? granule : large_unit;
        uint64_t count = (total + unit - 1) / unit * unit / granule;
        uint64_t step = small ? 1 : 8;
        for (uint64_t start = 0; start + count <= used.size();) {
            uint64_t taken = start;
            while (taken < start + count && !used[taken]) ++taken;
            if (taken < start + count) {
                start = (taken / step + 1) * step;
                continue;
            }
            for (uint64_t g = start; g < start + count; ++g) used[g] = true;
            in_use += count * granule;
            return static_cast<int64_t>(start * granule);
        }
        return -1;
    }

    void release(uint64_t offset, uint64_t n)
    {
        uint64_t total = n + 16;
        uint64_t unit = total < large_unit ? granule : large_unit;
        uint64_t count = (total + unit - 1) / unit * unit / granule;
        for (uint64_t g = offset / granule; g < offset / granule + count; ++g) used[g] = false;
        in_use -= count * granule;
    }
};

TEST(CorePool, ArenaAgreesWithBitmapModelUnderRandomAllocAndFree)
{
    constexpr uint64_t kSize = 64 * 1024;
    constexpr uint64_t kGranule = 16;
    PoolPtr pool(make_pool(kSize, kGranule, CORE_POOL_ARENA));
    ASSERT_TRUE(pool);
    ArenaModel model(kSize, kGranule);
    struct Live {
        uint8_t *address;
        uint64_t n;
    };
    std::vector<Live> live;
    std::mt19937_64 rng(7);
    for (int op = 0; op < 20000; ++op) {
        if (live.empty() || rng() % 100 < 55) {
            // Mostly granule-sized blocks, some spanning many bitmap bytes.
            uint64_t n = rng() % 4 == 0 ? 1 + rng() % 2000 : 1 + rng() % 110;
            auto *address = static_cast<uint8_t *>(core_pool_alloc(pool.get(), n));
            int64_t expected = model.alloc(n);
            if (expected < 0) {
                ASSERT_EQ(address, nullptr) << "op " << op << " n " << n;
                continue;
            }
            ASSERT_NE(address, nullptr) << "op " << op << " n " << n;
            ASSERT_EQ(address - 8 - pool->arena, expected) << "op " << op << " n " << n;
            address[0] = address[n - 1] = 0x5A;
            live.push_back({address, n});
        } else {
            size_t index = rng() % live.size();
            Live block = live[index];
            live[index] = live.back();
            live.pop_back();
            model.release(static_cast<uint64_t>(block.address - 8 - pool->arena), block.n);
            void *p = block.address;
            ASSERT_EQ(core_pool_free(pool.get(), &p), CORE_OK) << "op " << op;
        }
        ASSERT_EQ(pool->in_use, model.in_use) << "op " << op;
    }
}

TEST(CorePool, SubPoolsCarvedFromArenaAndHeapParents)
{
    PoolPtr parent(make_pool(64 * 1024, 16, CORE_POOL_ARENA));
    ASSERT_TRUE(parent);
    CorePool *sub = core_pool_create_sub(parent.get(), 5000);
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(sub->size, 6144u);
    EXPECT_TRUE(sub->arena_mode);
    EXPECT_TRUE(sub->bounded);
    EXPECT_EQ(sub->granule, 16u);
    EXPECT_GT(parent->in_use, 6144u);
    auto *block = static_cast<uint8_t *>(core_pool_alloc(sub, 100));
    ASSERT_NE(block, nullptr);
    EXPECT_GE(block, parent->arena);
    EXPECT_LT(block, parent->arena + parent->size);
    EXPECT_EQ(core_pool_alloc(sub, 6144), nullptr) << "bounded by its own size";
    core_pool_destroy(&sub);
    EXPECT_EQ(sub, nullptr);
    EXPECT_EQ(parent->in_use, 0u) << "region and bitmap went back to the parent";

    EXPECT_EQ(core_pool_create_sub(parent.get(), 0), nullptr);
    EXPECT_EQ(core_pool_create_sub(nullptr, 4096), nullptr);
    EXPECT_EQ(core_pool_create_sub(parent.get(), 128 * 1024), nullptr) << "parent too small";
    EXPECT_EQ(parent->in_use, 0u);

    PoolPtr heap(make_pool(0, 32, 0));
    CorePool *heap_sub = core_pool_create_sub(heap.get(), 5000);
    ASSERT_NE(heap_sub, nullptr);
    EXPECT_EQ(heap_sub->size, 6144u);
    EXPECT_FALSE(heap_sub->arena_mode);
    void *big = core_pool_alloc(heap_sub, 10000);
    EXPECT_NE(big, nullptr) << "a heap sub-pool records its size without enforcing it";
    EXPECT_EQ(heap->in_use, 0u);
    core_pool_destroy(&heap_sub);
}

}  // namespace

namespace {

class CorePoolRegistry : public testing::Test {
protected:
    void SetUp() override
    {
        core_executor_registry_start();
        core_name_format(&executor_, "%s", CORE_DEFAULT_EXECUTOR);
        core_executor_create(&executor_);  // may exist from an earlier test
        ASSERT_EQ(core_pool_registry_start(0), CORE_OK);
    }
    void TearDown() override { core_pool_registry_stop(); }
    CoreName executor_;
};

TEST_F(CorePoolRegistry, NamedPoolsAndSubPools)
{
    EXPECT_EQ(core_pool_registry_start(0), CORE_FAIL) << "second start";
    CoreName default_name, name, unknown;
    core_name_format(&default_name, "%s", CORE_DEFAULT_POOL);
    core_name_format(&name, "test.pool.named");
    core_name_format(&unknown, "test.pool.unknown");
    EXPECT_EQ(core_pool_exists(&default_name), 1);
    EXPECT_EQ(core_pool_get(&unknown, 0), nullptr);
    EXPECT_EQ(core_pool_get(&unknown, 100), nullptr);

    CorePoolConfig config = {0, 32, 0};
    CorePool *pool = core_pool_create(&config);
    ASSERT_EQ(core_pool_register(&name, pool), CORE_OK);
    EXPECT_EQ(core_pool_register(&name, pool), CORE_FAIL) << "name taken";
    EXPECT_EQ(core_pool_get(&name, 0), pool);
    EXPECT_EQ(core_pool_get(&name, 0), pool);

    CorePool *sub = core_pool_get(&name, 5000);
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(sub->size, 6144u);
    EXPECT_EQ(sub->parent, pool);
    void *block = core_pool_alloc(sub, 100);
    EXPECT_NE(block, nullptr);
    core_pool_free(sub, &block);
    core_pool_release(sub);   // destroyed once reclaimed
    core_pool_release(pool);  // the registered pool is left alone
    CorePool *kept = core_pool_get(&name, 2048);  // destroyed by unregister
    ASSERT_NE(kept, nullptr);

    core_pool_unregister(&name);
    EXPECT_EQ(core_pool_exists(&name), 0);
    EXPECT_EQ(core_pool_get(&name, 0), nullptr);
    core_pool_destroy(&pool);
}

}  // namespace
