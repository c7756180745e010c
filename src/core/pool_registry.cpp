// The registry of named pools: a store of entries {pool, store of the
// sub-pools carved from it}. Entries and sub-entries are reclaimed on the
// default executor, so a sub-pool handed out is destroyed only once no
// lookup is still using its entry.
#include <cstring>
#include <mutex>

#include "core/clock.h"
#include "core/log.h"
#include "core/pool.h"
#include "core/store.h"

namespace {

struct PoolEntry {
    CoreStoreItem header;
    CorePool *pool;
    CoreStore *subpools;
};

struct SubPoolEntry {
    CoreStoreItem header;
    CorePool *pool;
};

struct SubPoolRequest {
    CorePool *parent;
    uint64_t size;
};

struct Registry {
    std::mutex lock;  // start and stop
    CoreStore *store = nullptr;
    CorePool *default_pool = nullptr;
};

Registry g_registry;

CoreName default_executor()
{
    CoreName name;
    core_name_format(&name, "%s", CORE_DEFAULT_EXECUTOR);
    return name;
}

int subpool_create(CoreStore *, CoreStoreItem *item, void *arg, void **)
{
    auto *request = static_cast<SubPoolRequest *>(arg);
    auto *entry = reinterpret_cast<SubPoolEntry *>(item);
    entry->pool = core_pool_create_sub(request->parent, request->size);
    return entry->pool != nullptr ? 0 : -1;
}

void subpool_destroy(CoreStore *, CoreStoreItem *item, void **)
{
    core_pool_destroy(&reinterpret_cast<SubPoolEntry *>(item)->pool);
}

int entry_create(CoreStore *, CoreStoreItem *item, void *arg, void **)
{
    auto *entry = reinterpret_cast<PoolEntry *>(item);
    CoreStoreConfig config = {};
    config.item_size = sizeof(SubPoolEntry);
    config.key_kind = CORE_KEY_U32;
    config.key_first = 0;
    config.key_count = 1ull << 32;
    config.create = subpool_create;
    config.destroy = subpool_destroy;
    config.executor = default_executor();
    config.flags = CORE_STORE_TREE;
    entry->subpools = core_store_create(&config);
    entry->pool = static_cast<CorePool *>(arg);
    return entry->subpools != nullptr ? 0 : -1;
}

void entry_destroy(CoreStore *, CoreStoreItem *item, void **)
{
    // Destroying the sub-pool store destroys every sub-pool still carved
    // from this pool; the pool itself belongs to whoever registered it.
    core_store_destroy(&reinterpret_cast<PoolEntry *>(item)->subpools);
}

// The live entry under `name` with a reader reference, or NULL.
PoolEntry *acquire_entry(const CoreName *name)
{
    CoreStore *store = g_registry.store;
    if (store == nullptr || name == nullptr) return nullptr;
    return reinterpret_cast<PoolEntry *>(core_store_lookup(store, name->key));
}

}  // namespace

CoreResult core_pool_registry_start(uint64_t default_size)
{
    std::lock_guard<std::mutex> guard(g_registry.lock);
    if (g_registry.store != nullptr) return CORE_FAIL;
    CoreStoreConfig config = {};
    config.item_size = sizeof(PoolEntry);
    config.key_kind = CORE_KEY_EXPLICIT;
    config.create = entry_create;
    config.destroy = entry_destroy;
    config.executor = default_executor();
    config.flags = CORE_STORE_TREE;
    g_registry.store = core_store_create(&config);
    if (g_registry.store == nullptr) return CORE_FAIL;

    CorePoolConfig pool_config = {default_size, 32, 0};
    g_registry.default_pool = core_pool_create(&pool_config);
    CoreName name;
    core_name_format(&name, "%s", CORE_DEFAULT_POOL);
    if (g_registry.default_pool == nullptr ||
        core_store_insert(g_registry.store, &name, nullptr, g_registry.default_pool, nullptr, 0) != CORE_OK) {
        core_pool_destroy(&g_registry.default_pool);
        core_store_destroy(&g_registry.store);
        return CORE_FAIL;
    }
    return CORE_OK;
}

void core_pool_registry_stop(void)
{
    std::lock_guard<std::mutex> guard(g_registry.lock);
    if (g_registry.store == nullptr) return;
    CoreName name;
    core_name_format(&name, "%s", CORE_DEFAULT_POOL);
    core_pool_unregister(&name);
    CoreStore *store = g_registry.store;
    g_registry.store = nullptr;
    core_store_destroy(&store);
    core_pool_destroy(&g_registry.default_pool);
}

CoreResult core_pool_register(const CoreName *name, CorePool *pool)
{
    if (name == nullptr || pool == nullptr || core_name_is_empty(name) || g_registry.store == nullptr) return CORE_FAIL;
    return core_store_insert(g_registry.store, name, nullptr, pool, nullptr, 0) == CORE_OK ? CORE_OK : CORE_FAIL;
}

void core_pool_unregister(const CoreName *name)
{
    PoolEntry *entry = acquire_entry(name);
    if (entry == nullptr) return;
    // Sub-pools of an arena live in its region: they must be gone before
    // the owner may destroy the pool, so wait for them here rather than
    // leave them to the entry's reclaim.
    core_store_clear(entry->subpools);
    for (;;) {
        core_store_lock(entry->subpools);
        uint32_t left = entry->subpools->items;
        core_store_unlock(entry->subpools);
        if (left == 0) break;
        core_poll_sleep();
    }
    core_store_unref(g_registry.store);
    core_store_remove(g_registry.store, name->key);
}

CorePool *core_pool_get(const CoreName *name, uint64_t size)
{
    PoolEntry *entry = acquire_entry(name);
    if (entry == nullptr) return nullptr;
    CorePool *pool = entry->pool;
    if (size > 0) {
        SubPoolRequest request = {entry->pool, size};
        CoreStoreItem *item = nullptr;
        CoreResult r = core_store_insert(entry->subpools, nullptr, name, &request, &item, 0);
        pool = r == CORE_OK ? reinterpret_cast<SubPoolEntry *>(item)->pool : nullptr;
        if (pool == nullptr)
            core_log(CORE_LOG_WARN, "pool", "no sub-pool of %llu bytes from %s", static_cast<unsigned long long>(size),
                     name->text);
    }
    core_store_unref(g_registry.store);
    return pool;
}

void core_pool_release(CorePool *pool)
{
    CoreStore *store = g_registry.store;
    if (pool == nullptr || store == nullptr) return;
    for (CoreStoreItem *item = core_store_first(store); item != nullptr; item = core_store_next(store, item, 1)) {
        auto *entry = reinterpret_cast<PoolEntry *>(item);
        if (entry->pool == pool) {
            core_store_unref(store);  // leaving the walk early
            return;
        }
        CoreStore *subs = entry->subpools;
        for (CoreStoreItem *s = core_store_first(subs); s != nullptr; s = core_store_next(subs, s, 1)) {
            if (reinterpret_cast<SubPoolEntry *>(s)->pool == pool) {
                uint8_t key[CORE_NAME_KEY_SIZE];
                memcpy(key, s->key.key, sizeof(key));
                core_store_unref(subs);
                core_store_remove(subs, key);
                core_store_unref(store);
                return;
            }
        }
    }
}

int core_pool_exists(const CoreName *name)
{
    PoolEntry *entry = acquire_entry(name);
    if (entry == nullptr) return 0;
    core_store_unref(g_registry.store);
    return 1;
}
