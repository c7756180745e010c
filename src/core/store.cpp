#include "core/store.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/clock.h"
#include "core/executor.h"
#include "core/log.h"
#include "core/pool.h"
#include "core/random.h"

namespace {

// Set on an item that core_store_remove moved away from its key; the key
// it had is kept in removed_key so a walk standing on it can go on from
// where it was.
constexpr uint32_t kItemRekeyedOnRemove = 2;

// Random draws before a re-key falls back to a scan. A range that is more
// than a few percent free almost never needs the scan.
constexpr int kRekeyDraws = 32;

// Items one reclaim pass unlinks under the lock: enough that a mass removal
// is freed in few passes, few enough that lookups are not held up long.
constexpr int kReclaimBatch = 128;

#ifdef NDEBUG
std::atomic<bool> g_abort_on_unmatched_release{false};
#else
std::atomic<bool> g_abort_on_unmatched_release{true};
#endif

struct StoreReader {
    CoreTreeNode node;  // key: &thread_id
    uint64_t thread_id;
    uint64_t count;
};

bool tree_mode(const CoreStore *s) { return (s->config.flags & CORE_STORE_TREE) != 0; }
bool sequential(const CoreStore *s) { return (s->config.flags & CORE_STORE_SEQUENTIAL) != 0; }
bool numeric_kind(uint32_t kind) { return kind >= CORE_KEY_U8 && kind <= CORE_KEY_U64; }

uint64_t kind_max(uint32_t kind)
{
    switch (kind) {
    case CORE_KEY_U8: return 0xFF;
    case CORE_KEY_U16: return 0xFFFF;
    case CORE_KEY_U32: return 0xFFFFFFFFull;
    default: return UINT64_MAX;
    }
}

uint32_t kind_bytes(uint32_t kind)
{
    switch (kind) {
    case CORE_KEY_U8: return 1;
    case CORE_KEY_U16: return 2;
    case CORE_KEY_U32: return 4;
    case CORE_KEY_U64: return 8;
    case CORE_KEY_HEX64: return 16;
    default: return 0;
    }
}

uint64_t range_last(const CoreStore *s) { return s->config.key_first + (s->config.key_count - 1); }

void encode_key(uint32_t kind, uint64_t n, uint8_t key[CORE_NAME_KEY_SIZE])
{
    memset(key, 0, CORE_NAME_KEY_SIZE);
    if (kind == CORE_KEY_HEX64) {
        char text[17];
        snprintf(text, sizeof(text), "%016llX", static_cast<unsigned long long>(n));
        memcpy(key, text, 16);
        return;
    }
    const uint32_t bytes = kind_bytes(kind);
    for (uint32_t i = 0; i < bytes; ++i) key[i] = static_cast<uint8_t>(n >> (8 * (bytes - 1 - i)));
}

// False for keys that are not the kind's form, such as the random text a
// removed item of a HEX64 store was moved to.
bool decode_key(uint32_t kind, const uint8_t key[CORE_NAME_KEY_SIZE], uint64_t *n)
{
    const uint32_t bytes = kind_bytes(kind);
    for (uint32_t i = bytes; i < CORE_NAME_KEY_SIZE; ++i)
        if (key[i] != 0) return false;
    uint64_t value = 0;
    for (uint32_t i = 0; i < bytes; ++i) {
        if (kind == CORE_KEY_HEX64) {
            uint8_t c = key[i];
            uint64_t digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else
                return false;
            value = (value << 4) | digit;
        } else {
            value = (value << 8) | key[i];
        }
    }
    *n = value;
    return true;
}

// ---- Index: sorted list or tree; every call with the lock held ------------

CoreStoreItem *item_of(CoreTreeNode *node) { return node ? static_cast<CoreStoreItem *>(node->value) : nullptr; }

CoreStoreItem *index_find(CoreStore *s, const uint8_t *key)
{
    if (tree_mode(s)) return item_of(core_tree_find(s->index, key));
    for (CoreStoreItem *it = s->list_first; it != nullptr; it = it->next) {
        int c = core_compare_key32(it->key.key, key);
        if (c == 0) return it;
        if (c > 0) break;
    }
    return nullptr;
}

CoreStoreItem *index_bound(CoreStore *s, const uint8_t *key, bool strict)
{
    if (tree_mode(s))
        return item_of(strict ? core_tree_upper_bound(s->index, key) : core_tree_lower_bound(s->index, key));
    for (CoreStoreItem *it = s->list_first; it != nullptr; it = it->next) {
        int c = core_compare_key32(it->key.key, key);
        if (c > 0 || (c == 0 && !strict)) return it;
    }
    return nullptr;
}

CoreStoreItem *index_first(CoreStore *s)
{
    return tree_mode(s) ? item_of(core_tree_first(s->index)) : s->list_first;
}

CoreStoreItem *index_next(CoreStore *s, CoreStoreItem *item)
{
    return tree_mode(s) ? item_of(core_tree_next(s->index, &item->node)) : item->next;
}

bool index_link(CoreStore *s, CoreStoreItem *item)
{
    item->node.key = item->key.key;
    item->node.value = item;
    if (tree_mode(s)) {
        if (core_tree_insert(s->index, &item->node) == nullptr) return false;
    } else {
        CoreStoreItem *after = nullptr;
        CoreStoreItem *before = s->list_first;
        while (before != nullptr) {
            int c = core_compare_key32(before->key.key, item->key.key);
            if (c == 0) return false;
            if (c > 0) break;
            after = before;
            before = before->next;
        }
        item->prev = after;
        item->next = before;
        if (after) after->next = item; else s->list_first = item;
        if (before) before->prev = item; else s->list_last = item;
    }
    s->items++;
    return true;
}

void index_unlink(CoreStore *s, CoreStoreItem *item)
{
    if (tree_mode(s)) {
        core_tree_erase(s->index, &item->node);
    } else {
        if (item->prev) item->prev->next = item->next; else s->list_first = item->next;
        if (item->next) item->next->prev = item->prev; else s->list_last = item->prev;
        item->next = item->prev = nullptr;
    }
    s->items--;
}

// ---- Items ------------------------------------------------------------------

CoreStoreItem *item_alloc(CoreStore *s)
{
    void *memory = s->pool ? core_pool_alloc(s->pool, s->config.item_size) : calloc(1, s->config.item_size);
    return static_cast<CoreStoreItem *>(memory);
}

void item_free(CoreStore *s, CoreStoreItem *item)
{
    if (s->pool) {
        void *memory = item;
        core_pool_free(s->pool, &memory);
    } else {
        free(item);
    }
}

void mark_deleted(CoreStore *s, CoreStoreItem *item)
{
    item->state |= CORE_ITEM_DELETED;
    s->live--;
    item->reclaim_next = nullptr;
    if (s->reclaim_tail) s->reclaim_tail->reclaim_next = item; else s->reclaim_head = item;
    s->reclaim_tail = item;
}

// ---- Generated and random keys ----------------------------------------------

// The number a new item gets, or false when none is free.
bool pick_generated_number(CoreStore *s, uint64_t *out)
{
    const uint64_t first = s->config.key_first;
    const uint64_t last = range_last(s);
    const uint32_t kind = s->config.key_kind;
    if (sequential(s)) {
        if (s->sequential_exhausted || s->next_sequential > last) return false;
        *out = s->next_sequential;
        if (s->next_sequential == UINT64_MAX)
            s->sequential_exhausted = true;
        else
            s->next_sequential++;
        return true;
    }
    // Lowest number no item holds; deleted items still hold theirs.
    uint8_t key[CORE_NAME_KEY_SIZE];
    encode_key(kind, first, key);
    uint64_t expected = first;
    for (CoreStoreItem *it = index_bound(s, key, false); it != nullptr; it = index_next(s, it)) {
        uint64_t n;
        if (!decode_key(kind, it->key.key, &n) || n < expected) continue;
        if (n > expected) break;
        if (expected == last) return false;
        expected++;
    }
    *out = expected;
    return true;
}

void random_text_key(uint8_t key[CORE_NAME_KEY_SIZE])
{
    for (int i = 0; i < CORE_NAME_KEY_SIZE; ++i) {
        uint8_t c = static_cast<uint8_t>(core_rand() % 95 + 32);
        key[i] = c == '%' ? '&' : c;
    }
}

// A key no item holds, for a re-key. Numeric kinds draw from the range
// plus the one number after it, capped at the kind's largest value, so a
// written number never wraps. A sequential store draws only from numbers
// it has already handed out: a removed item parked on a future number
// would make that insertion fail. After kRekeyDraws misses a numeric range
// is scanned from a random point; the index holds `items` keys, so at most
// items + 1 probes find a free one if any exists.
bool pick_free_key(CoreStore *s, uint8_t key[CORE_NAME_KEY_SIZE])
{
    const uint32_t kind = s->config.key_kind;
    if (!numeric_kind(kind)) {
        for (int i = 0; i < kRekeyDraws; ++i) {
            random_text_key(key);
            if (index_find(s, key) == nullptr) return true;
        }
        return false;
    }
    const uint64_t lo = s->config.key_first;
    uint64_t hi;
    if (sequential(s)) {
        if (!s->sequential_exhausted && s->next_sequential == lo) return false;
        hi = s->sequential_exhausted ? range_last(s) : s->next_sequential - 1;
    } else {
        const uint64_t last = range_last(s);
        hi = last < kind_max(kind) ? last + 1 : last;
    }
    const uint64_t span = hi - lo + 1;  // 0 stands for all 2^64 numbers
    auto number_at = [&](uint64_t offset) { return lo + (span ? offset % span : offset); };
    for (int i = 0; i < kRekeyDraws; ++i) {
        encode_key(kind, number_at(core_random_u64()), key);
        if (index_find(s, key) == nullptr) return true;
    }
    const uint64_t start = core_random_u64();
    const uint64_t probes = (span != 0 && span <= s->items) ? span : static_cast<uint64_t>(s->items) + 1;
    for (uint64_t i = 0; i < probes; ++i) {
        encode_key(kind, number_at(start + i), key);
        if (index_find(s, key) == nullptr) return true;
    }
    return false;
}

CoreResult rekey_locked(CoreStore *s, CoreStoreItem *item, bool for_removal)
{
    if (index_find(s, item->key.key) != item) return CORE_ERR;
    uint8_t key[CORE_NAME_KEY_SIZE];
    if (!pick_free_key(s, key)) return CORE_ERR_NO_SPACE;
    index_unlink(s, item);
    if (for_removal) {
        memcpy(item->removed_key, item->key.key, CORE_NAME_KEY_SIZE);
        item->state |= kItemRekeyedOnRemove;
    }
    memcpy(item->key.key, key, CORE_NAME_KEY_SIZE);
    core_name_make(&item->key);
    index_link(s, item);  // the key was checked free under the same lock
    return CORE_OK;
}

// ---- Readers ------------------------------------------------------------------

StoreReader *find_reader(CoreStore *s)
{
    uint64_t id = core_thread_current_id();
    CoreTreeNode *node = core_tree_find(s->readers, &id);
    return node ? static_cast<StoreReader *>(node->value) : nullptr;
}

void drop_reader(CoreStore *s, StoreReader *reader)
{
    core_tree_erase(s->readers, &reader->node);
    delete reader;
}

// ---- Reclaim thread -----------------------------------------------------------

int reclaim_thread(void **args)
{
    auto *s = static_cast<CoreStore *>(args[0]);
    CoreResult last = CORE_NO_DATA;
    while (s->reclaim_running.load()) {
        if (last == CORE_ERR_BUSY) {
            s->reclaim_sleeps.fetch_add(1);
            core_poll_sleep();
        } else if (last == CORE_NO_DATA) {
            core_event_wait(&s->reclaim_event, UINT32_MAX);
        }
        // CORE_OK: more may be waiting; go straight on.
        if (!s->reclaim_running.load()) break;
        last = core_store_reclaim(s);
    }
    return 0;
}

void free_store(CoreStore *s)
{
    if (s->readers) {
        while (CoreTreeNode *node = core_tree_first(s->readers)) drop_reader(s, static_cast<StoreReader *>(node->value));
        core_tree_destroy(&s->readers);
    }
    core_tree_destroy(&s->index);
    if (s->pool) core_pool_release(s->pool);
    delete s;
}

bool valid_config(const CoreStoreConfig *c)
{
    if (c == nullptr || c->item_size < sizeof(CoreStoreItem) || c->key_kind > CORE_KEY_U64) return false;
    if (c->key_kind == CORE_KEY_EXPLICIT) return true;
    if (c->key_count == 0) return false;
    // A range past the kind's largest number would hand out keys that wrap
    // onto numbers already in use.
    const uint64_t max = kind_max(c->key_kind);
    return c->key_first <= max && c->key_count - 1 <= max - c->key_first;
}

}  // namespace

CoreStore *core_store_create(const CoreStoreConfig *config)
{
    if (!valid_config(config)) return nullptr;
    CoreStore *s = new (std::nothrow) CoreStore{};
    if (s == nullptr) return nullptr;
    s->config = *config;
    s->next_sequential = config->key_first;

    CoreTreeConfig readers{};
    readers.compare = core_compare_u64;
    s->readers = core_tree_create(&readers);
    if (tree_mode(s)) {
        CoreTreeConfig index{};
        index.compare = core_tree_compare_key32;
        s->index = core_tree_create(&index);
    }
    bool ok = s->readers != nullptr && (!tree_mode(s) || s->index != nullptr);
    if (ok && !core_name_is_empty(&config->pool)) {
        s->pool = core_pool_get(&config->pool, 0);
        ok = s->pool != nullptr;
    }
    if (ok && !core_name_is_empty(&config->executor)) {
        ok = core_store_start_reclaim_task(s) == CORE_OK;
    } else if (ok) {
        s->reclaim_running.store(true);
        s->reclaim_thread = core_thread_start(reclaim_thread, s, nullptr, "store-reclaim");
        ok = s->reclaim_thread != nullptr;
    }
    if (!ok) {
        free_store(s);
        return nullptr;
    }
    return s;
}

void core_store_destroy(CoreStore **store_ptr)
{
    if (store_ptr == nullptr || *store_ptr == nullptr) return;
    CoreStore *s = *store_ptr;
    core_lock(&s->lock);
    if (StoreReader *own = find_reader(s)) {
        // Waiting for our own references would never end.
        core_log(CORE_LOG_ERROR, "store", "store destroyed by a thread holding %llu reader references",
                 static_cast<unsigned long long>(own->count));
        s->reader_total -= static_cast<int64_t>(own->count);
        drop_reader(s, own);
    }
    for (CoreStoreItem *it = index_first(s); it != nullptr; it = index_next(s, it))
        if (!(it->state & CORE_ITEM_DELETED)) mark_deleted(s, it);
    core_unlock(&s->lock);
    core_store_wake(s);

    // Readers on other threads may still be using items (or be in a walk
    // of an emptied index); the store must outlive them.
    for (;;) {
        core_lock(&s->lock);
        bool idle = s->items == 0 && s->reader_total == 0;
        core_unlock(&s->lock);
        if (idle) break;
        core_poll_sleep();
    }

    if (s->reclaim_task != 0) {
        if (CoreExecutor *ex = core_executor_find(&s->config.executor)) {
            core_executor_cancel(ex, s->reclaim_task, 1);
            core_executor_release(ex);
        }
        s->reclaim_task = 0;
    }
    s->reclaim_running.store(false);
    core_event_signal(&s->reclaim_event);
    if (s->reclaim_thread != nullptr && core_thread_join(&s->reclaim_thread) != 0) {
        // The abandoned thread still points at the store: leak it rather
        // than free memory under it.
        core_log(CORE_LOG_ERROR, "store", "reclaim thread did not stop; store leaked");
        *store_ptr = nullptr;
        return;
    }
    free_store(s);
    *store_ptr = nullptr;
}

CoreStoreItem *core_store_lookup(CoreStore *store, const uint8_t key[CORE_NAME_KEY_SIZE])
{
    CoreLockGuard guard(&store->lock);
    CoreStoreItem *item = core_store_find(store, key);
    if (item == nullptr || (item->state & CORE_ITEM_DELETED) || core_store_acquire(store) < 0) return nullptr;
    return item;
}

int64_t core_store_unref(CoreStore *store)
{
    CoreLockGuard guard(&store->lock);
    return core_store_release(store);
}

void core_store_lock(CoreStore *store) { core_lock(&store->lock); }
void core_store_unlock(CoreStore *store) { core_unlock(&store->lock); }

CoreResult core_store_insert(CoreStore *s, const CoreName *key, const CoreName *ref, void *arg,
                             CoreStoreItem **out, int take_ref)
{
    if (out) *out = nullptr;
    if (s == nullptr) return CORE_ERR;
    const bool explicit_keys = s->config.key_kind == CORE_KEY_EXPLICIT;
    if (explicit_keys != (key != nullptr)) return CORE_ERR;
    CoreStoreItem *item = item_alloc(s);
    if (item == nullptr) return CORE_ERR;
    if (key) {
        memcpy(item->key.key, key->key, CORE_NAME_KEY_SIZE);
        core_name_make(&item->key);
    }
    if (ref) {
        memcpy(item->ref.key, ref->key, CORE_NAME_KEY_SIZE);
        core_name_make(&item->ref);
    }

    CoreLockGuard guard(&s->lock);
    CoreResult result = CORE_OK;
    if (explicit_keys) {
        CoreStoreItem *holder = index_find(s, item->key.key);
        if (holder != nullptr) {
            item_free(s, item);
            if (holder->state & CORE_ITEM_DELETED) return CORE_ERR_DELETING;
            item = holder;
            result = CORE_EXISTS;
        } else {
            index_link(s, item);
        }
    } else {
        uint64_t n;
        bool linked = false;
        if (pick_generated_number(s, &n)) {
            encode_key(s->config.key_kind, n, item->key.key);
            core_name_make(&item->key);
            linked = index_link(s, item);
        }
        if (!linked) {
            item_free(s, item);
            return CORE_ERR_NO_SPACE;
        }
    }

    auto undo_new_item = [&] {
        if (s->config.destroy) s->config.destroy(s, item, &s->config.user);
        index_unlink(s, item);
        item_free(s, item);
    };
    if (result == CORE_OK && s->config.create && s->config.create(s, item, arg, &s->config.user) != 0) {
        undo_new_item();
        return CORE_ERR;
    }
    if (take_ref && core_store_acquire(s) < 0) {
        if (result == CORE_OK) undo_new_item();
        return CORE_ERR;
    }
    if (result == CORE_OK) s->live++;
    if (out) *out = item;
    return result;
}

CoreStoreItem *core_store_find(CoreStore *store, const uint8_t key[CORE_NAME_KEY_SIZE])
{
    if (store == nullptr || key == nullptr) return nullptr;
    return index_find(store, key);
}

int64_t core_store_acquire(CoreStore *s)
{
    StoreReader *reader = find_reader(s);
    if (reader == nullptr) {
        reader = new (std::nothrow) StoreReader{};
        if (reader == nullptr) return -1;
        reader->thread_id = core_thread_current_id();
        reader->node.key = &reader->thread_id;
        reader->node.value = reader;
        core_tree_insert(s->readers, &reader->node);
    }
    reader->count++;
    return ++s->reader_total;
}

int64_t core_store_release(CoreStore *s)
{
    StoreReader *reader = find_reader(s);
    if (reader == nullptr || reader->count == 0) {
        // Lowering the total for a thread that holds nothing would let the
        // reclaimer free an item another thread is using, or wrap the total
        // so that nothing is ever freed again.
        core_log(CORE_LOG_ERROR, "store", "reader release by thread %llu, which holds no reference",
                 static_cast<unsigned long long>(core_thread_current_id()));
        if (g_abort_on_unmatched_release.load()) abort();
        return -1;
    }
    s->reader_total--;
    if (--reader->count == 0) drop_reader(s, reader);
    return s->reader_total;
}

void core_store_debug_abort_unmatched(bool abort_on_unmatched)
{
    g_abort_on_unmatched_release.store(abort_on_unmatched);
}

CoreStoreItem *core_store_next(CoreStore *s, CoreStoreItem *prev, int take_ref)
{
    if (s == nullptr) return nullptr;
    CoreLockGuard guard(&s->lock);
    CoreStoreItem *it;
    if (prev == nullptr) {
        if (take_ref && (s->items == 0 || core_store_acquire(s) < 0)) return nullptr;
        it = index_first(s);
    } else if ((prev->state & CORE_ITEM_DELETED) && (prev->state & kItemRekeyedOnRemove)) {
        // prev now sits at a random key; stepping on from there would skip
        // or repeat items.
        it = index_bound(s, prev->removed_key, true);
    } else {
        it = index_next(s, prev);
    }
    while (it != nullptr && (it->state & CORE_ITEM_DELETED)) it = index_next(s, it);
    if (it == nullptr && take_ref) core_store_release(s);
    return it;
}

CoreStoreItem *core_store_first(CoreStore *store) { return core_store_next(store, nullptr, 1); }

CoreResult core_store_remove(CoreStore *s, const uint8_t key[CORE_NAME_KEY_SIZE])
{
    if (s == nullptr || key == nullptr) return CORE_ERR_NOT_FOUND;
    {
        CoreLockGuard guard(&s->lock);
        CoreStoreItem *item = index_find(s, key);
        if (item == nullptr || (item->state & CORE_ITEM_DELETED)) return CORE_ERR_NOT_FOUND;
        // With no free key left (a full range), the item is deleted in place:
        // its key stays taken until reclaim, but the store can still shrink.
        rekey_locked(s, item, true);
        mark_deleted(s, item);
    }
    core_store_wake(s);
    return CORE_OK;
}

CoreResult core_store_remove_keep_key(CoreStore *s, const uint8_t key[CORE_NAME_KEY_SIZE])
{
    if (s == nullptr || key == nullptr) return CORE_ERR_NOT_FOUND;
    {
        CoreLockGuard guard(&s->lock);
        CoreStoreItem *item = index_find(s, key);
        if (item == nullptr || (item->state & CORE_ITEM_DELETED)) return CORE_ERR_NOT_FOUND;
        mark_deleted(s, item);
    }
    core_store_wake(s);
    return CORE_OK;
}

CoreResult core_store_rekey(CoreStore *s, CoreStoreItem *item)
{
    if (s == nullptr || item == nullptr) return CORE_ERR;
    CoreLockGuard guard(&s->lock);
    return rekey_locked(s, item, false);
}

void core_store_clear(CoreStore *s)
{
    if (s == nullptr) return;
    {
        CoreLockGuard guard(&s->lock);
        for (CoreStoreItem *it = index_first(s); it != nullptr; it = index_next(s, it))
            if (!(it->state & CORE_ITEM_DELETED)) mark_deleted(s, it);
    }
    core_store_wake(s);
}

void core_store_wait_idle(CoreStore *s)
{
    if (s == nullptr) return;
    for (;;) {
        {
            CoreLockGuard guard(&s->lock);
            if (s->reader_total == 0 || find_reader(s) != nullptr) return;
        }
        core_poll_sleep();
    }
}

void core_store_wake(CoreStore *s)
{
    if (s == nullptr) return;
    if (s->reclaim_task != 0)
        core_executor_trigger(&s->config.executor, s->reclaim_task, 0);
    else
        core_event_signal(&s->reclaim_event);
}

CoreResult core_store_reclaim(CoreStore *s)
{
    CoreStoreItem *batch = nullptr;
    {
        CoreLockGuard guard(&s->lock);
        if (s->reclaim_head == nullptr) return CORE_NO_DATA;
        s->reclaim_passes.fetch_add(1);
        if (s->reader_total > 0) return CORE_ERR_BUSY;
        CoreStoreItem **tail = &batch;
        for (int i = 0; i < kReclaimBatch && s->reclaim_head != nullptr; ++i) {
            CoreStoreItem *item = s->reclaim_head;
            s->reclaim_head = item->reclaim_next;
            index_unlink(s, item);
            item->reclaim_next = nullptr;
            *tail = item;
            tail = &item->reclaim_next;
        }
        if (s->reclaim_head == nullptr) s->reclaim_tail = nullptr;
    }
    uint64_t freed = 0;
    while (batch != nullptr) {
        CoreStoreItem *item = batch;
        batch = item->reclaim_next;
        if (s->config.destroy) s->config.destroy(s, item, &s->config.user);
        item_free(s, item);
        freed++;
    }
    s->items_freed.fetch_add(freed);
    return CORE_OK;
}

namespace {

// The reclaim task: passes until nothing waits, then the executor parks it
// (a removal that triggers it meanwhile keeps it due). Readers that block
// the waiting items make it come back after a polling wait.
int reclaim_task(const CoreName *executor, uint64_t task_id, const CoreName *, const CoreName *, void **user)
{
    auto *s = static_cast<CoreStore *>(user[0]);
    for (;;) {
        CoreResult r = core_store_reclaim(s);
        if (r == CORE_OK) continue;
        if (r == CORE_ERR_BUSY) {
            s->reclaim_sleeps.fetch_add(1);
            core_executor_trigger(executor, task_id, (core_rand() & 15) + 5);
        }
        return CORE_OK;
    }
}

}  // namespace

CoreResult core_store_start_reclaim_task(CoreStore *s)
{
    CoreTaskCallback cb = {reclaim_task, {s, nullptr}};
    s->reclaim_task = core_executor_schedule(&s->config.executor, nullptr, nullptr, CORE_DUE_NEVER, &cb);
    return s->reclaim_task != 0 ? CORE_OK : CORE_ERR;
}

int core_store_item_match(CoreStore *, const CoreStoreItem *item, const CoreName *key, const CoreName *ref)
{
    if (item == nullptr) return 0;
    if (key != nullptr && !core_name_is_empty(key) && core_compare_key32(key->key, item->key.key) != 0) return 0;
    if (ref != nullptr && !core_name_is_empty(ref) && core_compare_key32(ref->key, item->ref.key) != 0) return 0;
    return 1;
}

void core_store_stats(CoreStore *s, CoreStoreStats *out)
{
    if (s == nullptr || out == nullptr) return;
    out->reclaim_passes = s->reclaim_passes.load();
    out->reclaim_sleeps = s->reclaim_sleeps.load();
    out->items_freed = s->items_freed.load();
}
