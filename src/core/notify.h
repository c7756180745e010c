// Notify bus: synchronous calls between the layers of the engine side.
//
// A channel is a name with a list of subscribed handlers, kept in a
// process-wide registry that system start creates. core_notify calls every
// handler of a channel, in subscription order, on the caller's own thread,
// and returns one combined answer. Any thread may create, subscribe, call
// and remove; several threads may call one channel at once (the same
// handler then runs concurrently), and a handler may call core_notify
// again or unsubscribe itself, because only reader references are held
// while handlers run, never a lock. Registry and channel operations return
// CORE_OK or CORE_FAIL; subscribe returns a token (0 on failure);
// core_notify returns the handlers' answer or CORE_ERR (-100).
//
// The subscriber store and the store-of-stores destroy callback below are
// shared with topics and with other subsystems' stores of stores.
#pragma once

#include <mutex>

#include <atomic>

#include <cstdint>

#include "core/names.h"
#include "core/result.h"
#include "core/store.h"

// Answers CORE_NOT_MINE for a code it does not handle. out_len may be NULL
// when the caller expects no output. `user` is the subscription's pair.
typedef CoreResult (*CoreNotifyHandler)(uint32_t code, const void *in, uint64_t in_len, void *out,
                                        uint64_t *out_len, void **user);

// The subscribe argument; copied into the channel's subscriber store.
struct CoreNotifySubscription {
    CoreNotifyHandler fn;
    void *user[2];
};

// Payload of a notify registry item.
struct CoreNotifyChannel {
    CoreStore *subscribers;
};

// Creates the registry (tree, explicit keys, items from CORE_DEFAULT_POOL,
// reclaim task on CORE_DEFAULT_EXECUTOR; both must exist). CORE_OK, or
// CORE_FAIL when it is already started or cannot be made.
CoreResult core_notify_registry_start(void);
// Destroys the registry and every channel still in it; harmless when not
// started. No other thread may use the bus meanwhile.
void core_notify_registry_stop(void);

// CORE_OK, also when the channel exists; CORE_FAIL when the registry is
// missing, the name is NULL or all zero, or the insert fails (also while
// a removed channel of that name is still being reclaimed).
CoreResult core_notify_channel_create(const CoreName *name);
// The same for a name given as text (its first 32 bytes, zero-padded).
CoreResult core_notify_channel_create_str(const char *name);
// Removes the channel, then waits until no thread holds a reference on the
// registry (at once when the caller holds one itself); the reclaimer frees
// its subscribers later. CORE_OK, or CORE_FAIL when it is unknown.
CoreResult core_notify_channel_remove(const char *name);

// The subscriber token (>= 1; lowest free first), or 0 when the channel is
// unknown or the subscription cannot be stored.
uint64_t core_notify_subscribe(const CoreName *channel, const CoreNotifySubscription *subscription);
// Removes the subscription, then waits until no thread walks the channel's
// subscribers, so the handler is not called again once this returns. From
// inside a handler of that channel it returns without waiting. CORE_OK, or
// CORE_FAIL when the channel or token is unknown.
CoreResult core_notify_unsubscribe(const CoreName *channel, uint64_t token);

// Calls every live handler in subscription order, whatever the earlier ones
// answered. The result is the answer of the last handler that did not say
// CORE_NOT_MINE; CORE_ERR when none claimed the code, the channel has no
// handlers, or the registry or channel is missing. Handlers share `out`: a
// later claiming handler may overwrite what an earlier one wrote.
CoreResult core_notify(const CoreName *channel, uint32_t code, const void *in, uint64_t in_len, void *out,
                       uint64_t *out_len);

// ---- shared store callbacks ----

// What a subscriber store keeps of a subscription. Topics and the bus store
// their typed callback here and cast it back to that type to call it.
struct CoreSubscription {
    void (*fn)(void);
    void *user[2];
};

struct CoreSubscriberItem {
    CoreStoreItem header;
    CoreSubscription subscription;
};

// A subscriber store: list mode, CORE_KEY_U64 keys from 1 (lowest free
// first), items from CORE_DEFAULT_POOL, reclaim task on
// CORE_DEFAULT_EXECUTOR, create callback core_subscriber_init_cb. NULL when
// it cannot be made.
CoreStore *core_subscriber_store_create(void);

// Create callback of subscriber stores: copies the CoreSubscription `arg`
// into the item. Refuses a NULL subscription or one without a callback.
int core_subscriber_init_cb(CoreStore *store, CoreStoreItem *item, void *arg, void **user);

// Destroy callback of stores of stores: destroys the CoreStore * that
// starts the item's payload (right after its header).
void core_substore_fini_cb(CoreStore *store, CoreStoreItem *item, void **user);

// A registry of named items (topics, notify channels): a tree-mode store
// with explicit keys, items from CORE_DEFAULT_POOL, reclaim on
// CORE_DEFAULT_EXECUTOR. Any thread reads `store` without the lock; only
// start and stop write it.
struct CoreNamedRegistry {
    std::mutex lock;
    std::atomic<CoreStore *> store{nullptr};
};

// CORE_OK, or CORE_FAIL when already started or the store cannot be made.
CoreResult core_named_registry_start(CoreNamedRegistry *registry, uint64_t item_size, CoreStoreCreateFn create,
                                     CoreStoreDestroyFn destroy);
// Destroys the store (and with it every item still present).
void core_named_registry_stop(CoreNamedRegistry *registry);

// The subscriber key of a generated u64 key: its first 8 bytes, big-endian.
uint64_t core_subscriber_key(const CoreStoreItem *item);

// Inserts a subscription (a typed callback cast to void (*)(void) and its
// user pair) under the lowest free key. The key, or 0 when the insert fails
// or fn is NULL.
uint64_t core_subscriber_add(CoreStore *subscribers, void (*fn)(void), void *const user[2]);

// Removes the subscription under `key`, then waits until no walk may still
// be calling it (at once when the caller is inside such a walk). CORE_OK,
// or CORE_FAIL for an unknown key. The caller keeps `subscribers` alive.
CoreResult core_subscriber_remove(CoreStore *subscribers, uint64_t key);
