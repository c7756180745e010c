#include "core/topic.h"

#include <mutex>
#include <new>

#include "core/clock.h"
#include "core/notify.h"

namespace {

struct TopicItem {
    CoreStoreItem header;
    CoreTopic topic;
};

CoreNamedRegistry g_registry;

void raise_last_delivered(CoreTopic *topic, uint64_t number)
{
    uint64_t seen = topic->last_delivered.load();
    while (seen < number && !topic->last_delivered.compare_exchange_weak(seen, number)) {
    }
}

int core_topic_deliver_cb(CoreQueueEntry *entry, void **user)
{
    auto *topic = static_cast<CoreTopic *>(user[0]);
    // The walk's reader reference keeps a subscriber that unsubscribes
    // meanwhile alive until the walk has stepped past it.
    for (CoreStoreItem *item = core_store_first(topic->subscribers); item != nullptr;
         item = core_store_next(topic->subscribers, item, 1)) {
        CoreSubscription *sub = &reinterpret_cast<CoreSubscriberItem *>(item)->subscription;
        reinterpret_cast<CoreTopicCallback>(sub->fn)(entry, sub->user);
    }
    uint64_t number;
    if (core_seq_parse(&number, &entry->name) == CORE_OK) raise_last_delivered(topic, number);
    return CORE_OK;
}

void core_topic_fini_cb(CoreStore *, CoreStoreItem *item, void **)
{
    CoreTopic *topic = &reinterpret_cast<TopicItem *>(item)->topic;
    // The pipe goes first: once its consumer has stopped nobody walks the
    // subscribers any more.
    core_pipe_destroy(&topic->pipe);
    core_store_destroy(&topic->subscribers);
}

int core_topic_init_cb(CoreStore *, CoreStoreItem *item, void *arg, void **)
{
    auto *config = static_cast<const CoreTopicConfig *>(arg);
    // Store items are zeroed blocks; the atomic needs its constructor run.
    CoreTopic *topic = new (&reinterpret_cast<TopicItem *>(item)->topic) CoreTopic{};
    topic->config = *config;
    topic->subscribers = core_subscriber_store_create();
    if (topic->subscribers == nullptr) return -1;
    CorePipeConfig pipe = {};
    pipe.pool_size = 0;
    pipe.executor = config->executor;
    pipe.pool = config->pool;
    pipe.fn = core_topic_deliver_cb;
    pipe.user[0] = topic;
    topic->pipe = core_pipe_create(&pipe);
    // A refused item is handed to core_topic_fini_cb, which frees what was made.
    return topic->pipe != nullptr ? 0 : -1;
}

// The live topic under `name` with a registry reader reference, or NULL.
CoreTopic *acquire_topic(CoreStore *registry, const CoreName *name)
{
    if (registry == nullptr || name == nullptr) return nullptr;
    CoreStoreItem *item = core_store_lookup(registry, name->key);
    return item != nullptr ? &reinterpret_cast<TopicItem *>(item)->topic : nullptr;
}

}  // namespace

CoreResult core_topic_registry_start(void)
{
    return core_named_registry_start(&g_registry, sizeof(TopicItem), core_topic_init_cb, core_topic_fini_cb);
}

void core_topic_registry_stop(void)
{
    core_named_registry_stop(&g_registry);
}

CoreResult core_topic_create(const CoreName *name, const CoreTopicConfig *config)
{
    CoreStore *registry = g_registry.store.load();
    if (registry == nullptr || name == nullptr || config == nullptr || core_name_is_empty(name)) return CORE_FAIL;
    CoreResult result = core_store_insert(registry, name, nullptr, const_cast<CoreTopicConfig *>(config), nullptr, 0);
    return result == CORE_OK || result == CORE_EXISTS ? CORE_OK : CORE_FAIL;
}

CoreResult core_topic_remove(const CoreName *name)
{
    CoreStore *registry = g_registry.store.load();
    if (registry == nullptr || name == nullptr) return CORE_FAIL;
    if (core_store_remove(registry, name->key) != CORE_OK) return CORE_FAIL;
    core_store_wait_idle(registry);
    return CORE_OK;
}

uint64_t core_topic_post(const CoreName *name, const CoreMessage *message)
{
    if (message == nullptr) return 0;
    CoreStore *registry = g_registry.store.load();
    CoreTopic *topic = acquire_topic(registry, name);
    if (topic == nullptr) return 0;
    CoreIoVec vec = {message->length, message->data};
    uint64_t number = 0;
    if (core_queue_post_seq(topic->pipe->queue, CORE_SEQ_OPS, &number, message->type, message->flags, &vec, 1) != 0)
        number = 0;
    core_store_unref(registry);
    return number;
}

CoreResult core_topic_wait(const CoreName *name, uint64_t number)
{
    for (;;) {
        CoreStore *registry = g_registry.store.load();
        CoreTopic *topic = acquire_topic(registry, name);
        if (topic == nullptr) return CORE_FAIL;
        uint64_t delivered = topic->last_delivered.load();
        core_store_unref(registry);
        if (delivered >= number) return CORE_OK;
        core_poll_sleep();
    }
}

uint64_t core_topic_subscribe(const CoreName *name, const CoreTopicSubscription *subscription)
{
    CoreStore *registry = g_registry.store.load();
    CoreTopic *topic = acquire_topic(registry, name);
    if (topic == nullptr) return 0;
    uint64_t key = subscription == nullptr
                       ? 0
                       : core_subscriber_add(topic->subscribers, reinterpret_cast<void (*)(void)>(subscription->fn),
                                             subscription->user);
    core_store_unref(registry);
    return key;
}

CoreResult core_topic_unsubscribe(const CoreName *name, uint64_t key)
{
    CoreStore *registry = g_registry.store.load();
    CoreTopic *topic = acquire_topic(registry, name);
    if (topic == nullptr) return CORE_FAIL;
    // The registry reference keeps the subscriber store alive while we wait
    // for a delivery that may still be calling the removed callback.
    CoreResult result = core_subscriber_remove(topic->subscribers, key);
    core_store_unref(registry);
    return result;
}
