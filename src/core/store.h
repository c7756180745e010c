// Keyed object store: items under 32-byte keys, looked up by any thread
// while others remove them.
//
// The store allocates, indexes (a sorted list or a red-black tree) and frees
// its items. Removal only marks an item deleted; a reclaim thread of the
// store unlinks and frees it once no thread holds a reader reference, so a
// reader that found an item under the lock may keep using it after
// unlocking. Lookups follow one protocol:
//
//     core_store_lock(s); item = core_store_find(s, key);
//     if (item && !(item->state & CORE_ITEM_DELETED)) core_store_acquire(s);
//     core_store_unlock(s);
//     ... use item ...
//     core_store_lock(s); core_store_release(s); core_store_unlock(s);
//
// core_store_find, core_store_acquire and core_store_release expect the
// caller to hold the lock; every other function takes it itself. The lock
// is recursive. Lock order: a store's lock before a pool's lock. The create
// callback runs with the store's lock held and must not call back into the
// same store; destroy callbacks run on the reclaim thread without it (or with
// it when an insertion is refused). A thread that holds a reader reference
// must not destroy the store. Results are CoreResult codes unless stated.
//
// A store that names an executor reclaims in a task on it instead of a
// thread of its own; the executor must outlive the store.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/names.h"
#include "core/result.h"
#include "core/sync.h"
#include "core/thread.h"
#include "core/tree.h"

struct CorePool;
struct CoreStore;

enum CoreKeyKind : uint32_t {
    CORE_KEY_EXPLICIT = 0,  // the caller names every item
    CORE_KEY_HEX64 = 1,     // "%016llX" then zero bytes
    CORE_KEY_U8 = 2,        // one byte
    CORE_KEY_U16 = 3,       // big-endian at the start of the key
    CORE_KEY_U32 = 4,
    CORE_KEY_U64 = 5,
};

#define CORE_STORE_SEQUENTIAL 1u  // generated keys count up and are never reused
#define CORE_STORE_TREE 2u        // tree index (else a sorted list)

#define CORE_ITEM_DELETED 1u

struct CoreStoreItem;

// Non-zero refuses the item. `user` is the address of the store's user slot.
typedef int (*CoreStoreCreateFn)(CoreStore *store, CoreStoreItem *item, void *arg, void **user);
// Releases what the item holds (not the item's own memory).
typedef void (*CoreStoreDestroyFn)(CoreStore *store, CoreStoreItem *item, void **user);

struct CoreStoreConfig {
    uint64_t item_size;  // bytes of every item, header included
    uint32_t key_kind;   // CoreKeyKind
    uint64_t key_first;  // generated keys: first number
    uint64_t key_count;  // generated keys: how many numbers (non-zero)
    CoreStoreCreateFn create;
    CoreStoreDestroyFn destroy;
    CoreName pool;      // pool of the items (empty: the heap)
    CoreName executor;  // reclaim task's executor (empty: own thread)
    uint64_t reserved0;
    uint32_t flags;  // CORE_STORE_SEQUENTIAL, CORE_STORE_TREE
    void *user;
    uint64_t reserved1;
};

// Header at the start of every item; the caller's payload follows it
// (usually: struct MyItem { CoreStoreItem header; ... }). Items are zeroed.
struct CoreStoreItem {
    uint32_t state;       // CORE_ITEM_DELETED; other bits are the store's
    CoreStoreItem *next;  // list mode: position in key order
    CoreStoreItem *prev;
    CoreTreeNode node;    // tree mode: key points at key.key
    CoreName key;
    CoreName ref;  // optional second name given at insertion

    // Store-private.
    CoreStoreItem *reclaim_next;             // queue of deleted items
    uint8_t removed_key[CORE_NAME_KEY_SIZE];  // key before the removal re-key
};

// Reclaim counters, for tests and diagnostics.
struct CoreStoreStats {
    uint64_t reclaim_passes;  // passes that found a deleted item
    uint64_t reclaim_sleeps;  // back-offs because readers held references
    uint64_t items_freed;
};

struct CoreStore {
    uint32_t live;   // items not deleted
    uint32_t items;  // items in the index, deleted ones included
    uint64_t reclaim_task;  // executor mode: the reclaim task

    CoreStoreItem *list_first;  // list mode, ascending keys
    CoreStoreItem *list_last;
    CoreTree *index;    // tree mode
    CoreTree *readers;  // one node per thread holding references
    int64_t reader_total;

    CoreStoreItem *reclaim_head;  // deleted items in deletion order
    CoreStoreItem *reclaim_tail;

    CorePool *pool;
    std::atomic<bool> reclaim_running;
    CoreLock lock;
    CoreEvent reclaim_event;
    CoreThreadRecord *reclaim_thread;

    uint64_t next_sequential;
    bool sequential_exhausted;
    CoreStoreConfig config;

    std::atomic<uint64_t> reclaim_passes;
    std::atomic<uint64_t> reclaim_sleeps;
    std::atomic<uint64_t> items_freed;
};

// A new store, or NULL: config NULL, item_size below sizeof(CoreStoreItem),
// an unknown key kind, generated keys with key_count 0 or a range that does
// not fit the key kind, an unknown executor, a pool that cannot
// be had, or no resources.
CoreStore *core_store_create(const CoreStoreConfig *config);

// Marks every item deleted, waits until the reclaimer has freed them all
// (so it waits for readers on other threads), stops the reclaimer, frees the
// store and sets *store to NULL.
void core_store_destroy(CoreStore **store);

void core_store_lock(CoreStore *store);
void core_store_unlock(CoreStore *store);

// Inserts an item under `key` (explicit-key stores only) or under the next
// generated key (key NULL, other stores), with an optional `ref` name, and
// calls create(store, item, arg, &user) under the lock.
// CORE_OK: new item in *out. CORE_EXISTS: a live item holds the key; it is
// in *out and create was not called. CORE_ERR_DELETING: a deleted item not
// yet reclaimed holds the key. CORE_ERR_NO_SPACE: no generated key is free.
// CORE_ERR: key given to the wrong kind of store, no memory, create refused,
// or take_ref asked and no reference could be taken. With take_ref, OK and
// EXISTS come with a reader reference held by the calling thread.
CoreResult core_store_insert(CoreStore *store, const CoreName *key, const CoreName *ref, void *arg,
                             CoreStoreItem **out, int take_ref);

// The item under `key`, deleted ones included, or NULL. Lock held.
CoreStoreItem *core_store_find(CoreStore *store, const uint8_t key[CORE_NAME_KEY_SIZE]);

// One reader reference for the calling thread. Lock held. The new total,
// or -1 when the thread's node could not be allocated (nothing taken).
int64_t core_store_acquire(CoreStore *store);

// Drops one reader reference of the calling thread. Lock held. The new
// total; -1 for a release by a thread that holds none, which changes
// nothing (and aborts in debug builds, see core_store_debug_abort_unmatched).
int64_t core_store_release(CoreStore *store);

// The lookup protocol in one call: the live item under `key` with a reader
// reference taken for the calling thread, or NULL. Takes the lock itself.
CoreStoreItem *core_store_lookup(CoreStore *store, const uint8_t key[CORE_NAME_KEY_SIZE]);

// Gives back one reader reference of the calling thread (lock, release,
// unlock). Returns what core_store_release returns.
int64_t core_store_unref(CoreStore *store);

// Test seam: whether an unmatched release aborts (debug builds' default)
// or is only logged and refused (release builds).
void core_store_debug_abort_unmatched(bool abort_on_unmatched);

// Walk in key order: the first live item (prev NULL) or the next live one
// after prev; NULL at the end. With take_ref, the first call takes one
// reader reference for the walk (when the index is not empty) and the call
// that returns NULL drops it; a caller leaving early releases it itself.
// Items that prev's handler removes are simply skipped, and a removed prev
// is continued from the key it had when the walk reached it.
CoreStoreItem *core_store_next(CoreStore *store, CoreStoreItem *prev, int take_ref);

// core_store_next(store, NULL, 1).
CoreStoreItem *core_store_first(CoreStore *store);

// Gives the live item under `key` an unused key (so the key can be reused
// at once), marks it deleted and wakes the reclaimer. When no unused key
// exists, the item is deleted keeping its key. CORE_OK, or
// CORE_ERR_NOT_FOUND when no live item holds the key.
CoreResult core_store_remove(CoreStore *store, const uint8_t key[CORE_NAME_KEY_SIZE]);

// Marks the live item deleted keeping its key until reclaim. CORE_OK or
// CORE_ERR_NOT_FOUND.
CoreResult core_store_remove_keep_key(CoreStore *store, const uint8_t key[CORE_NAME_KEY_SIZE]);

// Moves the item to a random key no item holds. CORE_OK; CORE_ERR when the
// item is not in the index; CORE_ERR_NO_SPACE when every key it may take
// is held.
CoreResult core_store_rekey(CoreStore *store, CoreStoreItem *item);

// Marks every live item deleted (keys unchanged) and wakes the reclaimer.
void core_store_clear(CoreStore *store);

// Returns at once when the calling thread holds a reader reference; else
// polls (5-20 ms) until no thread holds one.
void core_store_wait_idle(CoreStore *store);

// Wakes the reclaimer now.
void core_store_wake(CoreStore *store);

// One reclaim pass: unlinks and frees a batch of deleted items when no
// reader reference exists. CORE_OK when it freed some (run again),
// CORE_NO_DATA when no deleted item waits, CORE_ERR_BUSY when readers
// block the waiting ones (back off). The reclaim thread runs it; the
// executor-mode reclaim task run it.
CoreResult core_store_reclaim(CoreStore *store);

// Schedules the executor-mode reclaim task (parked until a removal wakes
// it). CORE_OK, or CORE_ERR when the executor is unknown.
CoreResult core_store_start_reclaim_task(CoreStore *store);

// 1 when each of key and ref that is neither NULL nor all zero equals the
// item's key or ref respectively, else 0.
int core_store_item_match(CoreStore *store, const CoreStoreItem *item, const CoreName *key,
                          const CoreName *ref);

void core_store_stats(CoreStore *store, CoreStoreStats *out);
