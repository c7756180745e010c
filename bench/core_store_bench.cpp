// Store lookups (the full lock / find / reference / release protocol)
// against a shared_mutex-guarded unordered_map, heap-pool blocks against
// malloc/free, and the time to reclaim a mass removal against erasing the
// same number of entries from a std::map.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/clock.h"
#include "core/pool.h"
#include "core/store.h"

namespace {

constexpr int kKeys = 1000;

struct Item {
    CoreStoreItem header;
    uint64_t payload;
};

CoreName key_of(int k)
{
    CoreName name;
    core_name_format(&name, "bench-key-%06d", k);
    return name;
}

// Formatting a name costs more than a lookup: make them once.
const CoreName &lookup_key(int k)
{
    static const std::vector<CoreName> keys = [] {
        std::vector<CoreName> v(kKeys);
        for (int i = 0; i < kKeys; ++i) v[i] = key_of(i);
        return v;
    }();
    return keys[k % kKeys];
}

CoreStore *make_store(uint32_t flags)
{
    CoreStoreConfig config{};
    config.item_size = sizeof(Item);
    config.key_kind = CORE_KEY_EXPLICIT;
    config.flags = flags;
    return core_store_create(&config);
}

// Shared by every thread of a run; lives for the process.
CoreStore *lookup_store()
{
    static CoreStore *store = [] {
        CoreStore *s = make_store(CORE_STORE_TREE);
        for (int k = 0; k < kKeys; ++k) {
            CoreName key = key_of(k);
            CoreStoreItem *item;
            core_store_insert(s, &key, nullptr, nullptr, &item, 0);
            reinterpret_cast<Item *>(item)->payload = static_cast<uint64_t>(k);
        }
        return s;
    }();
    return store;
}

struct ReferenceMap {
    std::shared_mutex lock;
    std::unordered_map<std::string, uint64_t> map;
};

ReferenceMap &reference_map()
{
    static ReferenceMap *ref = [] {
        auto *r = new ReferenceMap;
        for (int k = 0; k < kKeys; ++k) {
            CoreName key = key_of(k);
            r->map.emplace(std::string(reinterpret_cast<char *>(key.key), CORE_NAME_KEY_SIZE), k);
        }
        return r;
    }();
    return *ref;
}

void BM_StoreLookup(benchmark::State &state)
{
    CoreStore *store = lookup_store();
    int k = state.thread_index() * 7;
    for (auto _ : state) {
        const CoreName &key = lookup_key(k++);
        core_store_lock(store);
        CoreStoreItem *item = core_store_find(store, key.key);
        if (item != nullptr && !(item->state & CORE_ITEM_DELETED)) core_store_acquire(store);
        else item = nullptr;
        core_store_unlock(store);
        if (item == nullptr) continue;
        benchmark::DoNotOptimize(reinterpret_cast<Item *>(item)->payload);
        core_store_lock(store);
        core_store_release(store);
        core_store_unlock(store);
    }
}

void BM_SharedMutexMapLookup(benchmark::State &state)
{
    ReferenceMap &ref = reference_map();
    int k = state.thread_index() * 7;
    for (auto _ : state) {
        const CoreName &key = lookup_key(k++);
        std::string text(reinterpret_cast<const char *>(key.key), CORE_NAME_KEY_SIZE);
        std::shared_lock<std::shared_mutex> guard(ref.lock);
        auto it = ref.map.find(text);
        if (it != ref.map.end()) benchmark::DoNotOptimize(it->second);
    }
}
BENCHMARK(BM_StoreLookup)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_SharedMutexMapLookup)->Threads(1)->Threads(4)->UseRealTime();

CorePool *heap_pool()
{
    static CorePool *pool = [] {
        CorePoolConfig config{0, 32, 0};
        return core_pool_create(&config);
    }();
    return pool;
}

void BM_HeapPoolAllocFree(benchmark::State &state)
{
    CorePool *pool = heap_pool();
    const uint64_t n = static_cast<uint64_t>(state.range(0));
    for (auto _ : state) {
        void *block = core_pool_alloc(pool, n);
        benchmark::DoNotOptimize(block);
        core_pool_free(pool, &block);
    }
}

void BM_MallocFree(benchmark::State &state)
{
    const size_t n = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        // calloc: pool blocks come zeroed too.
        void *block = calloc(1, n);
        benchmark::DoNotOptimize(block);
        free(block);
    }
}
BENCHMARK(BM_HeapPoolAllocFree)->Arg(64)->Arg(1500)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_MallocFree)->Arg(64)->Arg(1500)->Threads(1)->Threads(4)->UseRealTime();

// Wall time from core_store_clear until the reclaimer has freed every item.
void BM_StoreReclaim10k(benchmark::State &state)
{
    constexpr int kItems = 10000;
    CoreStore *store = make_store(CORE_STORE_TREE);
    for (auto _ : state) {
        state.PauseTiming();
        for (int k = 0; k < kItems; ++k) {
            CoreName key = key_of(k);
            CoreStoreItem *item;
            core_store_insert(store, &key, nullptr, nullptr, &item, 0);
        }
        state.ResumeTiming();
        core_store_clear(store);
        for (;;) {
            core_store_lock(store);
            bool empty = store->items == 0;
            core_store_unlock(store);
            if (empty) break;
            core_sleep_ms(0);
        }
    }
    CoreStoreStats stats;
    core_store_stats(store, &stats);
    state.counters["sleeps"] = static_cast<double>(stats.reclaim_sleeps);
    core_store_destroy(&store);
}

void BM_StdMapErase10k(benchmark::State &state)
{
    constexpr int kItems = 10000;
    for (auto _ : state) {
        state.PauseTiming();
        std::map<std::string, Item *> map;
        for (int k = 0; k < kItems; ++k) {
            CoreName key = key_of(k);
            map.emplace(std::string(reinterpret_cast<char *>(key.key), CORE_NAME_KEY_SIZE),
                        static_cast<Item *>(calloc(1, sizeof(Item))));
        }
        state.ResumeTiming();
        for (auto it = map.begin(); it != map.end();) {
            free(it->second);
            it = map.erase(it);
        }
    }
}
BENCHMARK(BM_StoreReclaim10k)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();
BENCHMARK(BM_StdMapErase10k)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();

}  // namespace
