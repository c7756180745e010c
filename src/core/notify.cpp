#include "core/notify.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace {

struct ChannelItem {
    CoreStoreItem header;
    CoreNotifyChannel channel;  // first in the payload: core_substore_fini_cb
};

CoreNamedRegistry g_registry;

int core_notify_channel_init_cb(CoreStore *, CoreStoreItem *item, void *, void **)
{
    auto *entry = reinterpret_cast<ChannelItem *>(item);
    entry->channel.subscribers = core_subscriber_store_create();
    return entry->channel.subscribers != nullptr ? 0 : -1;
}

// The live channel under `name` with a registry reader reference, or NULL.
CoreNotifyChannel *acquire_channel(CoreStore *registry, const CoreName *name)
{
    if (registry == nullptr || name == nullptr) return nullptr;
    CoreStoreItem *item = core_store_lookup(registry, name->key);
    return item != nullptr ? &reinterpret_cast<ChannelItem *>(item)->channel : nullptr;
}

}  // namespace

// ---- shared store callbacks ----

CoreStore *core_subscriber_store_create(void)
{
    CoreStoreConfig config = {};
    config.item_size = sizeof(CoreSubscriberItem);
    config.key_kind = CORE_KEY_U64;
    config.key_first = 1;
    config.key_count = INT64_MAX;
    config.create = core_subscriber_init_cb;
    config.pool = core_name_of(CORE_DEFAULT_POOL);
    config.executor = core_name_of(CORE_DEFAULT_EXECUTOR);
    return core_store_create(&config);
}

int core_subscriber_init_cb(CoreStore *, CoreStoreItem *item, void *arg, void **)
{
    auto *subscription = static_cast<const CoreSubscription *>(arg);
    if (subscription == nullptr || subscription->fn == nullptr) return -1;
    reinterpret_cast<CoreSubscriberItem *>(item)->subscription = *subscription;
    return 0;
}

void core_substore_fini_cb(CoreStore *, CoreStoreItem *item, void **)
{
    CoreStore *held;
    uint8_t *payload = reinterpret_cast<uint8_t *>(item) + sizeof(CoreStoreItem);
    memcpy(&held, payload, sizeof(held));
    core_store_destroy(&held);
    memset(payload, 0, sizeof(held));
}

uint64_t core_subscriber_key(const CoreStoreItem *item)
{
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = (value << 8) | item->key.key[i];
    return value;
}

uint64_t core_subscriber_add(CoreStore *subscribers, void (*fn)(void), void *const user[2])
{
    if (subscribers == nullptr || fn == nullptr) return 0;
    CoreSubscription stored = {};
    stored.fn = fn;
    stored.user[0] = user[0];
    stored.user[1] = user[1];
    CoreStoreItem *item = nullptr;
    if (core_store_insert(subscribers, nullptr, nullptr, &stored, &item, 0) != CORE_OK) return 0;
    return core_subscriber_key(item);
}

CoreResult core_subscriber_remove(CoreStore *subscribers, uint64_t key)
{
    CoreName subscriber;
    core_name_from_u64(&subscriber, key);
    if (core_store_remove(subscribers, subscriber.key) != CORE_OK) return CORE_FAIL;
    core_store_wait_idle(subscribers);
    return CORE_OK;
}

// ---- registry ----

CoreResult core_named_registry_start(CoreNamedRegistry *registry, uint64_t item_size, CoreStoreCreateFn create,
                                     CoreStoreDestroyFn destroy)
{
    std::lock_guard<std::mutex> guard(registry->lock);
    if (registry->store.load() != nullptr) return CORE_FAIL;
    CoreStoreConfig config = {};
    config.item_size = item_size;
    config.key_kind = CORE_KEY_EXPLICIT;
    config.create = create;
    config.destroy = destroy;
    config.pool = core_name_of(CORE_DEFAULT_POOL);
    config.executor = core_name_of(CORE_DEFAULT_EXECUTOR);
    config.flags = CORE_STORE_TREE;
    CoreStore *store = core_store_create(&config);
    if (store == nullptr) return CORE_FAIL;
    registry->store.store(store);
    return CORE_OK;
}

void core_named_registry_stop(CoreNamedRegistry *registry)
{
    std::lock_guard<std::mutex> guard(registry->lock);
    CoreStore *store = registry->store.exchange(nullptr);
    core_store_destroy(&store);
}

CoreResult core_notify_registry_start(void)
{
    return core_named_registry_start(&g_registry, sizeof(ChannelItem), core_notify_channel_init_cb,
                                     core_substore_fini_cb);
}

void core_notify_registry_stop(void)
{
    core_named_registry_stop(&g_registry);
}

CoreResult core_notify_channel_create(const CoreName *name)
{
    CoreStore *registry = g_registry.store.load();
    if (registry == nullptr || name == nullptr || core_name_is_empty(name)) return CORE_FAIL;
    CoreResult result = core_store_insert(registry, name, nullptr, nullptr, nullptr, 0);
    return result == CORE_OK || result == CORE_EXISTS ? CORE_OK : CORE_FAIL;
}

CoreResult core_notify_channel_create_str(const char *name)
{
    if (name == nullptr) return CORE_FAIL;
    CoreName key;
    core_name_format(&key, "%.32s", name);
    return core_notify_channel_create(&key);
}

CoreResult core_notify_channel_remove(const char *name)
{
    CoreStore *registry = g_registry.store.load();
    if (registry == nullptr || name == nullptr) return CORE_FAIL;
    CoreName key;
    core_name_format(&key, "%.32s", name);
    if (core_store_remove(registry, key.key) != CORE_OK) return CORE_FAIL;
    core_store_wait_idle(registry);
    return CORE_OK;
}

uint64_t core_notify_subscribe(const CoreName *channel, const CoreNotifySubscription *subscription)
{
    CoreStore *registry = g_registry.store.load();
    CoreNotifyChannel *found = acquire_channel(registry, channel);
    if (found == nullptr) return 0;
    uint64_t token = subscription == nullptr
                         ? 0
                         : core_subscriber_add(found->subscribers,
                                               reinterpret_cast<void (*)(void)>(subscription->fn), subscription->user);
    core_store_unref(registry);
    return token;
}

CoreResult core_notify_unsubscribe(const CoreName *channel, uint64_t token)
{
    CoreStore *registry = g_registry.store.load();
    CoreNotifyChannel *found = acquire_channel(registry, channel);
    if (found == nullptr) return CORE_FAIL;
    // The registry reference keeps the subscriber store alive while we wait
    // for walks that may still be calling the removed handler.
    CoreResult result = core_subscriber_remove(found->subscribers, token);
    core_store_unref(registry);
    return result;
}

CoreResult core_notify(const CoreName *channel, uint32_t code, const void *in, uint64_t in_len, void *out,
                       uint64_t *out_len)
{
    CoreStore *registry = g_registry.store.load();
    CoreNotifyChannel *found = acquire_channel(registry, channel);
    if (found == nullptr) return CORE_ERR;
    CoreResult result = CORE_ERR;
    for (CoreStoreItem *item = core_store_first(found->subscribers); item != nullptr;
         item = core_store_next(found->subscribers, item, 1)) {
        CoreSubscription *sub = &reinterpret_cast<CoreSubscriberItem *>(item)->subscription;
        auto handler = reinterpret_cast<CoreNotifyHandler>(sub->fn);
        CoreResult answer = handler(code, in, in_len, out, out_len, sub->user);
        if (answer != CORE_NOT_MINE) result = answer;
    }
    core_store_unref(registry);
    return result;
}
