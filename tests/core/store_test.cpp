#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/executor.h"
#include "core/store.h"

namespace {

constexpr uint64_t kAlive = 0xA11CEA11CEull;
constexpr uint64_t kPoison = 0xDEADDEADDEADull;

struct TestItem {
    CoreStoreItem header;
    uint64_t magic;
    int value;
};

struct Callbacks {
    std::atomic<int> created{0};
    std::atomic<int> destroyed{0};
};

// A create argument of -1 refuses the item.
int create_item(CoreStore *, CoreStoreItem *item, void *arg, void **user)
{
    auto *callbacks = static_cast<Callbacks *>(*user);
    callbacks->created++;
    auto *t = reinterpret_cast<TestItem *>(item);
    t->magic = kAlive;
    t->value = arg ? *static_cast<int *>(arg) : 0;
    return t->value == -1 ? 1 : 0;
}

void destroy_item(CoreStore *, CoreStoreItem *item, void **user)
{
    reinterpret_cast<TestItem *>(item)->magic = kPoison;
    static_cast<Callbacks *>(*user)->destroyed++;
}

CoreStoreConfig store_config(uint32_t flags, uint32_t kind, uint64_t first, uint64_t count, Callbacks *callbacks)
{
    CoreStoreConfig config{};
    config.item_size = sizeof(TestItem);
    config.key_kind = kind;
    config.key_first = first;
    config.key_count = count;
    config.create = create_item;
    config.destroy = destroy_item;
    config.flags = flags;
    config.user = callbacks;
    return config;
}

CoreName name(const std::string &text)
{
    CoreName n;
    core_name_format(&n, "%s", text.c_str());
    return n;
}

// Polls for up to 10 s; the limit only guards against a hang.
template <typename Pred>
bool eventually(Pred pred)
{
    for (int i = 0; i < 10000; ++i) {
        if (pred()) return true;
        core_sleep_ms(1);
    }
    return pred();
}

bool all_deleted_reclaimed(CoreStore *s)
{
    return eventually([s] {
        core_store_lock(s);
        bool done = s->items == s->live;
        core_store_unlock(s);
        return done;
    });
}

uint64_t key_number(const CoreStoreItem *item, int bytes)
{
    uint64_t n = 0;
    for (int i = 0; i < bytes; ++i) n = (n << 8) | item->key.key[i];
    return n;
}

// Store modes: every behaviour below must hold for the list and the tree.
class CoreStoreModes : public testing::TestWithParam<uint32_t> {
protected:
    CoreStore *make(uint32_t kind = CORE_KEY_EXPLICIT, uint64_t first = 0, uint64_t count = 0, uint32_t flags = 0)
    {
        CoreStoreConfig config = store_config(GetParam() | flags, kind, first, count, &callbacks);
        store = core_store_create(&config);
        return store;
    }
    void TearDown() override
    {
        core_store_destroy(&store);
        EXPECT_EQ(callbacks.created.load(), callbacks.destroyed.load()) << "every item is destroyed once";
    }
    int64_t readers()
    {
        core_store_lock(store);
        int64_t total = store->reader_total;
        core_store_unlock(store);
        return total;
    }

    Callbacks callbacks;
    CoreStore *store = nullptr;
};

TEST_P(CoreStoreModes, ExistingLiveKeyIsReturnedWithoutCallingCreate)
{
    ASSERT_NE(make(), nullptr);
    CoreName key = name("alpha");
    CoreName ref = name("owner");
    CoreStoreItem *first = nullptr, *second = nullptr;
    ASSERT_EQ(core_store_insert(store, &key, &ref, nullptr, &first, 0), CORE_OK);
    EXPECT_STREQ(first->key.text, "alpha");
    EXPECT_STREQ(first->ref.text, "owner");
    EXPECT_EQ(core_store_insert(store, &key, nullptr, nullptr, &second, 1), CORE_EXISTS);
    EXPECT_EQ(second, first);
    EXPECT_EQ(callbacks.created.load(), 1);
    EXPECT_EQ(store->live, 1u);
    EXPECT_EQ(readers(), 1) << "take_ref holds a reference on EXISTS too";
    core_store_lock(store);
    EXPECT_EQ(core_store_find(store, key.key), first);
    EXPECT_EQ(core_store_release(store), 0);
    core_store_unlock(store);
}

TEST_P(CoreStoreModes, RemovedKeyIsFreeAtOnceKeptKeyOnlyAfterReclaim)
{
    ASSERT_NE(make(), nullptr);
    CoreName a = name("a"), b = name("b");
    CoreStoreItem *item = nullptr;
    ASSERT_EQ(core_store_insert(store, &a, nullptr, nullptr, &item, 0), CORE_OK);
    ASSERT_EQ(core_store_insert(store, &b, nullptr, nullptr, &item, 0), CORE_OK);
    // Our reference keeps the reclaimer away, so the deleted items stay.
    core_store_lock(store);
    core_store_acquire(store);
    core_store_unlock(store);

    EXPECT_EQ(core_store_remove(store, a.key), CORE_OK);
    EXPECT_EQ(core_store_remove(store, a.key), CORE_ERR_NOT_FOUND);
    EXPECT_EQ(core_store_insert(store, &a, nullptr, nullptr, &item, 0), CORE_OK);

    EXPECT_EQ(core_store_remove_keep_key(store, b.key), CORE_OK);
    EXPECT_EQ(core_store_insert(store, &b, nullptr, nullptr, &item, 0), CORE_ERR_DELETING);
    EXPECT_EQ(item, nullptr);
    core_store_lock(store);
    CoreStoreItem *held = core_store_find(store, b.key);
    ASSERT_NE(held, nullptr) << "a deleted item stays findable until reclaim";
    EXPECT_TRUE(held->state & CORE_ITEM_DELETED);
    EXPECT_EQ(store->live, 1u);
    core_store_release(store);
    core_store_unlock(store);

    ASSERT_TRUE(all_deleted_reclaimed(store));
    // Destroy callbacks run after the unlink, outside the lock.
    EXPECT_TRUE(eventually([&] { return callbacks.destroyed.load() == 2; }));
    EXPECT_EQ(core_store_insert(store, &b, nullptr, nullptr, &item, 0), CORE_OK);
}

TEST_P(CoreStoreModes, GeneratedKeysReuseTheLowestFreeNumberUnlessSequential)
{
    const struct {
        uint32_t flags;
        uint64_t after_reclaim;
    } cases[] = {{0, 2}, {CORE_STORE_SEQUENTIAL, 4}};
    for (const auto &c : cases) {
        ASSERT_NE(make(CORE_KEY_U64, 1, 1000, c.flags), nullptr);
        std::vector<uint64_t> given;
        for (int i = 0; i < 3; ++i) {
            CoreStoreItem *item = nullptr;
            ASSERT_EQ(core_store_insert(store, nullptr, nullptr, nullptr, &item, 0), CORE_OK);
            given.push_back(key_number(item, 8));
        }
        EXPECT_EQ(given, (std::vector<uint64_t>{1, 2, 3}));
        uint8_t two[32] = {};
        two[7] = 2;
        ASSERT_EQ(core_store_remove(store, two), CORE_OK);
        ASSERT_TRUE(all_deleted_reclaimed(store));
        CoreStoreItem *item = nullptr;
        ASSERT_EQ(core_store_insert(store, nullptr, nullptr, nullptr, &item, 0), CORE_OK);
        EXPECT_EQ(key_number(item, 8), c.after_reclaim) << "flags " << c.flags;
        core_store_destroy(&store);
    }
}

TEST_P(CoreStoreModes, FullRangeRefusesOnlyAfterGivingOutTheLastNumber)
{
    const struct {
        const char *purpose;
        uint32_t kind;
        uint64_t first, count;
        uint32_t flags;
        const char *last_key_hex;  // first bytes of the last key
    } cases[] = {
        {"u8 at the top", CORE_KEY_U8, 250, 6, 0, "FF00"},
        {"u16 at the top", CORE_KEY_U16, 0xFFFE, 2, 0, "FFFF00"},
        {"u64 at the top, sequential", CORE_KEY_U64, UINT64_MAX - 1, 2, CORE_STORE_SEQUENTIAL,
         "FFFFFFFFFFFFFFFF00"},
        {"hex64", CORE_KEY_HEX64, 0x9, 3, 0, "3030303030303030303030303030304200"},
    };
    for (const auto &c : cases) {
        ASSERT_NE(make(c.kind, c.first, c.count, c.flags), nullptr) << c.purpose;
        CoreStoreItem *item = nullptr;
        for (uint64_t i = 0; i < c.count; ++i)
            ASSERT_EQ(core_store_insert(store, nullptr, nullptr, nullptr, &item, 0), CORE_OK) << c.purpose;
        EXPECT_EQ(std::string(item->key.hex).substr(0, strlen(c.last_key_hex)), c.last_key_hex) << c.purpose;
        EXPECT_EQ(core_store_insert(store, nullptr, nullptr, nullptr, &item, 0), CORE_ERR_NO_SPACE) << c.purpose;
        EXPECT_EQ(item, nullptr);
        EXPECT_EQ(store->live, c.count) << c.purpose;
        core_store_destroy(&store);
    }
}

TEST_P(CoreStoreModes, RefusedInsertsLeaveNoTrace)
{
    ASSERT_NE(make(), nullptr);
    CoreName key = name("refused");
    int refuse = -1;
    CoreStoreItem *item = nullptr;
    EXPECT_EQ(core_store_insert(store, &key, nullptr, &refuse, &item, 1), CORE_ERR);
    EXPECT_EQ(item, nullptr);
    EXPECT_EQ(callbacks.destroyed.load(), 1) << "destroy sees the half-made item";
    EXPECT_EQ(store->items, 0u);
    EXPECT_EQ(readers(), 0);
    EXPECT_EQ(core_store_insert(store, nullptr, nullptr, nullptr, &item, 0), CORE_ERR) << "explicit store, no key";
    EXPECT_EQ(core_store_insert(store, &key, nullptr, nullptr, &item, 0), CORE_OK);
    core_store_destroy(&store);

    ASSERT_NE(make(CORE_KEY_U8, 0, 10), nullptr);
    EXPECT_EQ(core_store_insert(store, &key, nullptr, nullptr, &item, 0), CORE_ERR) << "generated store, key given";
    EXPECT_EQ(store->items, 0u);
}

TEST_P(CoreStoreModes, WalkSkipsRemovedItemsAndFreesThemOnlyAfterItEnds)
{
    ASSERT_NE(make(), nullptr);
    for (const char *k : {"k1", "k2", "k3", "k4", "k5"}) {
        CoreName key = name(k);
        CoreStoreItem *item;
        ASSERT_EQ(core_store_insert(store, &key, nullptr, nullptr, &item, 0), CORE_OK);
    }
    std::vector<std::string> visited;
    for (CoreStoreItem *it = core_store_first(store); it != nullptr; it = core_store_next(store, it, 1)) {
        visited.push_back(it->key.text);
        if (visited.size() == 1) {
            core_store_remove(store, name("k2").key);
            core_store_remove_keep_key(store, name("k4").key);
        }
        EXPECT_EQ(core_store_reclaim(store), CORE_ERR_BUSY) << "the walk's reference blocks reclaim";
        EXPECT_EQ(reinterpret_cast<TestItem *>(it)->magic, kAlive);
        EXPECT_EQ(callbacks.destroyed.load(), 0);
    }
    EXPECT_EQ(visited, (std::vector<std::string>{"k1", "k3", "k5"}));
    EXPECT_EQ(readers(), 0) << "the call that returned NULL released the walk's reference";
    ASSERT_TRUE(all_deleted_reclaimed(store));
    // Destroy callbacks run after the unlink, outside the lock.
    EXPECT_TRUE(eventually([&] { return callbacks.destroyed.load() == 2; }));
}

TEST_P(CoreStoreModes, WalkWhoseItemsRemoveThemselvesVisitsEveryItemOnce)
{
    // Explicit keys move to random text, generated ones to a random number
    // of the range: either may land ahead of or behind the walk.
    const struct {
        const char *purpose;
        uint32_t kind;
        uint64_t count;
    } cases[] = {{"explicit", CORE_KEY_EXPLICIT, 0}, {"u16", CORE_KEY_U16, 400}};
    for (const auto &c : cases) {
        ASSERT_NE(make(c.kind, 0, c.count), nullptr);
        std::set<std::string> inserted;
        for (int i = 0; i < 300; ++i) {
            CoreName key = name("item-" + std::to_string(1000 + i));
            CoreStoreItem *item;
            ASSERT_EQ(core_store_insert(store, c.kind == CORE_KEY_EXPLICIT ? &key : nullptr, nullptr, nullptr,
                                        &item, 0),
                      CORE_OK);
            inserted.insert(item->key.hex);
        }
        std::vector<std::string> visited;
        for (CoreStoreItem *it = core_store_first(store); it != nullptr; it = core_store_next(store, it, 1)) {
            visited.push_back(it->key.hex);
            uint8_t key[32];
            memcpy(key, it->key.key, 32);
            // An unsubscribing handler: removes its own entry mid-walk.
            ASSERT_EQ(core_store_remove(store, key), CORE_OK);
        }
        EXPECT_EQ(visited.size(), inserted.size()) << c.purpose;
        EXPECT_EQ(std::set<std::string>(visited.begin(), visited.end()), inserted) << c.purpose;
        EXPECT_TRUE(std::is_sorted(visited.begin(), visited.end())) << c.purpose;
        EXPECT_EQ(store->live, 0u);
        core_store_destroy(&store);
    }
}

TEST_P(CoreStoreModes, RemovalsFromAFullU8RangeEndWithTheItemsDeleted)
{
    ASSERT_NE(make(CORE_KEY_U8, 0, 256), nullptr);
    CoreStoreItem *item;
    for (int i = 0; i < 256; ++i) ASSERT_EQ(core_store_insert(store, nullptr, nullptr, nullptr, &item, 0), CORE_OK);
    for (int k = 0; k < 256; ++k) {
        uint8_t key[32] = {static_cast<uint8_t>(k)};
        ASSERT_EQ(core_store_remove(store, key), CORE_OK) << k;
    }
    EXPECT_EQ(store->live, 0u);
    ASSERT_TRUE(all_deleted_reclaimed(store));
    // Destroy callbacks run after the unlink, outside the lock.
    EXPECT_TRUE(eventually([&] { return callbacks.destroyed.load() == 256; }));
}

TEST_P(CoreStoreModes, SequentialRemovalsNeverParkOnNumbersNotYetGiven)
{
    ASSERT_NE(make(CORE_KEY_U8, 0, 256, CORE_STORE_SEQUENTIAL), nullptr);
    // Keep the removed items (and the numbers they move to) around.
    core_store_lock(store);
    core_store_acquire(store);
    core_store_unlock(store);
    CoreStoreItem *item;
    for (int i = 0; i < 128; ++i) ASSERT_EQ(core_store_insert(store, nullptr, nullptr, nullptr, &item, 0), CORE_OK);
    for (int k = 0; k < 128; k += 2) {
        uint8_t key[32] = {static_cast<uint8_t>(k)};
        ASSERT_EQ(core_store_remove(store, key), CORE_OK);
    }
    for (int i = 128; i < 256; ++i) {
        ASSERT_EQ(core_store_insert(store, nullptr, nullptr, nullptr, &item, 0), CORE_OK) << i;
        EXPECT_EQ(item->key.key[0], i);
    }
    core_store_lock(store);
    core_store_release(store);
    core_store_unlock(store);
}

INSTANTIATE_TEST_SUITE_P(Index, CoreStoreModes, testing::Values(0u, CORE_STORE_TREE),
                         [](const testing::TestParamInfo<uint32_t> &info) {
                             return info.param == CORE_STORE_TREE ? std::string("Tree") : std::string("List");
                         });

TEST(CoreStore, CreateRefusesBadConfigs)
{
    Callbacks callbacks;
    struct Case {
        const char *purpose;
        CoreStoreConfig config;
    };
    std::vector<Case> cases = {
        {"item smaller than its header", store_config(0, CORE_KEY_EXPLICIT, 0, 0, &callbacks)},
        {"generated keys, count 0", store_config(0, CORE_KEY_U16, 0, 0, &callbacks)},
        {"unknown key kind", store_config(0, 6, 0, 10, &callbacks)},
        {"u8 range past 255", store_config(0, CORE_KEY_U8, 200, 57, &callbacks)},
        {"u32 first past the kind", store_config(0, CORE_KEY_U32, 1ull << 32, 1, &callbacks)},
        {"unknown executor", store_config(0, CORE_KEY_EXPLICIT, 0, 0, &callbacks)},
        {"unknown pool", store_config(0, CORE_KEY_EXPLICIT, 0, 0, &callbacks)},
    };
    cases[0].config.item_size = sizeof(CoreStoreItem) - 1;
    core_name_format(&cases[5].config.executor, "no.such.executor");
    core_name_format(&cases[6].config.pool, "no.such.pool");
    for (const Case &c : cases) EXPECT_EQ(core_store_create(&c.config), nullptr) << c.purpose;
    EXPECT_EQ(core_store_create(nullptr), nullptr);

    CoreStoreConfig whole_u8 = store_config(0, CORE_KEY_U8, 0, 256, &callbacks);
    CoreStore *store = core_store_create(&whole_u8);
    EXPECT_NE(store, nullptr) << "the whole u8 range fits";
    core_store_destroy(&store);
    EXPECT_EQ(store, nullptr);
}

TEST(CoreStore, ItemMatchFiltersByKeyAndRef)
{
    CoreStoreItem item{};
    core_name_format(&item.key, "key");
    core_name_format(&item.ref, "ref");
    CoreName key = name("key"), ref = name("ref"), other = name("other"), empty{};
    const struct {
        const CoreName *key;
        const CoreName *ref;
        int match;
    } cases[] = {
        {nullptr, nullptr, 1}, {&empty, &empty, 1}, {&key, nullptr, 1}, {nullptr, &ref, 1},
        {&key, &ref, 1},       {&other, nullptr, 0}, {&key, &other, 0}, {&ref, nullptr, 0},
    };
    for (const auto &c : cases) EXPECT_EQ(core_store_item_match(nullptr, &item, c.key, c.ref), c.match);
}

// Unmatched releases: a thread that holds no reference must not lower the
// total another thread's reference keeps up.
class CoreStoreRelease : public testing::Test {
protected:
    void SetUp() override
    {
        CoreStoreConfig config = store_config(CORE_STORE_TREE, CORE_KEY_EXPLICIT, 0, 0, &callbacks);
        store = core_store_create(&config);
        ASSERT_NE(store, nullptr);
        ASSERT_EQ(core_store_insert(store, &key, nullptr, nullptr, &item, 0), CORE_OK);
    }
    void TearDown() override { core_store_destroy(&store); }

    Callbacks callbacks;
    CoreName key = name("held");
    CoreStoreItem *item = nullptr;
    CoreStore *store = nullptr;
};

TEST_F(CoreStoreRelease, UnmatchedReleaseNeitherWrapsTheTotalNorFreesAHeldItem)
{
    core_store_debug_abort_unmatched(false);
    std::atomic<bool> holding{false}, done{false};
    std::thread holder([&] {
        core_store_lock(store);
        CoreStoreItem *found = core_store_find(store, key.key);
        core_store_acquire(store);
        core_store_unlock(store);
        holding = true;
        while (!done) core_sleep_ms(1);
        EXPECT_EQ(reinterpret_cast<TestItem *>(found)->magic, kAlive) << "freed while referenced";
        core_store_lock(store);
        EXPECT_EQ(core_store_release(store), 0);
        core_store_unlock(store);
    });
    while (!holding) core_sleep_ms(1);

    core_store_lock(store);
    EXPECT_EQ(core_store_release(store), -1);
    EXPECT_EQ(core_store_release(store), -1);
    EXPECT_EQ(store->reader_total, 1);
    core_store_unlock(store);
    ASSERT_EQ(core_store_remove(store, key.key), CORE_OK);
    EXPECT_EQ(core_store_reclaim(store), CORE_ERR_BUSY);
    EXPECT_EQ(callbacks.destroyed.load(), 0);

    done = true;
    holder.join();
    core_store_debug_abort_unmatched(true);
    ASSERT_TRUE(all_deleted_reclaimed(store));
    // Destroy callbacks run after the unlink, outside the lock.
    EXPECT_TRUE(eventually([&] { return callbacks.destroyed.load() == 1; }));
    core_store_lock(store);
    EXPECT_EQ(store->reader_total, 0);
    core_store_unlock(store);
}

TEST_F(CoreStoreRelease, UnmatchedReleaseAbortsInDebugBuilds)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEBUG_DEATH(
        {
            core_store_lock(store);
            core_store_release(store);
            core_store_unlock(store);
        },
        "holds no reference");
}

TEST(CoreStore, ReclaimingTenThousandItemsNeedsNoBackOff)
{
    Callbacks callbacks;
    CoreStoreConfig config = store_config(CORE_STORE_TREE, CORE_KEY_U32, 0, 1u << 20, &callbacks);
    config.flags |= CORE_STORE_SEQUENTIAL;
    CoreStore *store = core_store_create(&config);
    ASSERT_NE(store, nullptr);
    constexpr int kItems = 10000;
    CoreStoreItem *item;
    for (int i = 0; i < kItems; ++i) ASSERT_EQ(core_store_insert(store, nullptr, nullptr, nullptr, &item, 0), CORE_OK);
    core_store_clear(store);
    ASSERT_TRUE(all_deleted_reclaimed(store));
    CoreStoreStats stats;
    core_store_stats(store, &stats);
    EXPECT_EQ(stats.items_freed, static_cast<uint64_t>(kItems));
    EXPECT_EQ(stats.reclaim_sleeps, 0u);
    EXPECT_LT(stats.reclaim_passes, static_cast<uint64_t>(kItems) / 10) << "many items per pass";
    core_store_destroy(&store);
    EXPECT_EQ(callbacks.destroyed.load(), kItems);
}

}  // namespace

namespace {

// A store that reclaims on an executor: removals wake the task, readers
// hold it off, and destroy cancels it.
TEST(CoreStoreExecutor, ReclaimRunsAsATask)
{
    core_executor_registry_start();
    CoreName executor;
    core_name_format(&executor, "test.store.reclaim");
    ASSERT_EQ(core_executor_create(&executor), 0);

    Callbacks callbacks;
    CoreStoreConfig config = store_config(CORE_STORE_TREE, CORE_KEY_U32, 1, 1000, &callbacks);
    config.executor = executor;
    CoreStore *store = core_store_create(&config);
    ASSERT_NE(store, nullptr);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(core_store_insert(store, nullptr, nullptr, nullptr, nullptr, 0), CORE_OK);

    core_store_lock(store);
    core_store_acquire(store);  // a reader holds the removed items off
    core_store_unlock(store);
    for (CoreStoreItem *item = core_store_first(store); item != nullptr; item = core_store_next(store, item, 1))
        core_store_remove(store, item->key.key);
    core_sleep_ms(100);
    EXPECT_EQ(callbacks.destroyed.load(), 0);
    core_store_lock(store);
    core_store_release(store);
    core_store_unlock(store);

    uint64_t end = core_clock_mono_ms() + 10000;
    while (callbacks.destroyed.load() != 100 && core_clock_mono_ms() < end) core_sleep_ms(5);
    EXPECT_EQ(callbacks.destroyed.load(), 100);
    CoreStoreStats stats;
    core_store_stats(store, &stats);
    EXPECT_GT(stats.reclaim_sleeps, 0u) << "the reader made the task back off";
    core_store_destroy(&store);
    EXPECT_EQ(core_executor_destroy(&executor), 0);
}

}  // namespace
