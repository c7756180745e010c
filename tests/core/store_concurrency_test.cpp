#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/random.h"
#include "core/store.h"

namespace {

constexpr uint64_t kAlive = 0xA11CEA11CEull;
constexpr uint64_t kPoison = 0xDEADDEADDEADull;

struct TestItem {
    CoreStoreItem header;
    uint64_t magic;
};

struct Counts {
    std::atomic<int> created{0};
    std::atomic<int> destroyed{0};
};

int create_item(CoreStore *, CoreStoreItem *item, void *, void **user)
{
    reinterpret_cast<TestItem *>(item)->magic = kAlive;
    static_cast<Counts *>(*user)->created++;
    return 0;
}

// Poisons the item, so a reader still using it sees the fault even where
// the freed memory itself is not checked.
void destroy_item(CoreStore *, CoreStoreItem *item, void **user)
{
    reinterpret_cast<TestItem *>(item)->magic = kPoison;
    static_cast<Counts *>(*user)->destroyed++;
}

CoreStore *make_store(uint32_t flags, Counts *counts)
{
    CoreStoreConfig config{};
    config.item_size = sizeof(TestItem);
    config.key_kind = CORE_KEY_EXPLICIT;
    config.create = create_item;
    config.destroy = destroy_item;
    config.flags = flags;
    config.user = counts;
    return core_store_create(&config);
}

CoreName key_of(int k)
{
    CoreName name;
    core_name_format(&name, "key-%02d", k);
    return name;
}

class CoreStoreStress : public testing::TestWithParam<uint32_t> {};

TEST_P(CoreStoreStress, ReadersNeverSeeAnItemFreedWhileTheyHoldIt)
{
    constexpr int kThreads = 8;
    constexpr int kOps = 4000;
    constexpr int kKeys = 48;
    Counts counts;
    CoreStore *store = make_store(GetParam(), &counts);
    ASSERT_NE(store, nullptr);
    std::atomic<int> bad_reads{0}, bad_results{0}, lookups_hit{0}, removed{0};

    auto check = [&](CoreStoreItem *item) {
        if (reinterpret_cast<volatile TestItem *>(item)->magic != kAlive) bad_reads++;
    };
    auto worker = [&] {
        for (int op = 0; op < kOps; ++op) {
            int choice = core_rand() % 10;
            CoreName key = key_of(core_rand() % kKeys);
            if (choice < 5) {
                core_store_lock(store);
                CoreStoreItem *item = core_store_find(store, key.key);
                if (item != nullptr && (item->state & CORE_ITEM_DELETED)) item = nullptr;
                if (item != nullptr && core_store_acquire(store) < 0) item = nullptr;
                core_store_unlock(store);
                if (item == nullptr) continue;
                lookups_hit++;
                check(item);
                std::this_thread::yield();
                check(item);
                core_store_lock(store);
                core_store_release(store);
                core_store_unlock(store);
            } else if (choice < 7) {
                CoreStoreItem *item = nullptr;
                CoreResult r = core_store_insert(store, &key, nullptr, nullptr, &item, 1);
                if (r == CORE_OK || r == CORE_EXISTS) {
                    check(item);
                    core_store_lock(store);
                    core_store_release(store);
                    core_store_unlock(store);
                } else if (r != CORE_ERR_DELETING) {
                    bad_results++;
                }
            } else if (choice < 9) {
                if ((choice == 7 ? core_store_remove(store, key.key) : core_store_remove_keep_key(store, key.key)) ==
                    CORE_OK)
                    removed++;
            } else {
                for (CoreStoreItem *it = core_store_first(store); it != nullptr; it = core_store_next(store, it, 1)) {
                    check(it);
                    if (core_rand() % 8 == 0 && core_store_remove(store, it->key.key) == CORE_OK) removed++;
                }
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker);
    for (auto &t : threads) t.join();

    EXPECT_EQ(bad_reads.load(), 0) << "an item was destroyed while a reader held it";
    EXPECT_EQ(bad_results.load(), 0);
    EXPECT_GT(lookups_hit.load(), 0);
    EXPECT_GT(removed.load(), 0);
    core_store_lock(store);
    EXPECT_EQ(store->reader_total, 0);
    core_store_unlock(store);
    core_store_destroy(&store);
    EXPECT_EQ(counts.created.load(), counts.destroyed.load());
}

INSTANTIATE_TEST_SUITE_P(Index, CoreStoreStress, testing::Values(0u, CORE_STORE_TREE),
                         [](const testing::TestParamInfo<uint32_t> &info) {
                             return info.param == CORE_STORE_TREE ? std::string("Tree") : std::string("List");
                         });

TEST(CoreStoreConcurrency, DestroyWaitsForAReaderOnAnotherThread)
{
    Counts counts;
    CoreStore *store = make_store(CORE_STORE_TREE, &counts);
    ASSERT_NE(store, nullptr);
    CoreName key = key_of(1);
    CoreStoreItem *item = nullptr;
    ASSERT_EQ(core_store_insert(store, &key, nullptr, nullptr, &item, 0), CORE_OK);

    std::atomic<bool> holding{false}, let_go{false}, destroyed{false};
    std::atomic<uint64_t> seen_magic{0};
    std::thread reader([&] {
        core_store_lock(store);
        core_store_acquire(store);
        core_store_unlock(store);
        holding = true;
        core_store_wait_idle(store);  // holds a reference: must return at once
        while (!let_go) core_sleep_ms(1);
        seen_magic = reinterpret_cast<TestItem *>(item)->magic;
        core_store_lock(store);
        core_store_release(store);
        core_store_unlock(store);
    });
    while (!holding) core_sleep_ms(1);
    std::thread destroyer([&] {
        core_store_destroy(&store);
        destroyed = true;
    });
    core_sleep_ms(100);
    EXPECT_FALSE(destroyed.load()) << "destroy went ahead under a reader";
    let_go = true;
    reader.join();
    destroyer.join();
    EXPECT_TRUE(destroyed.load());
    EXPECT_EQ(seen_magic.load(), kAlive);
    EXPECT_EQ(counts.destroyed.load(), 1);
}

}  // namespace
