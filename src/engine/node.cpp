#include "engine/node.h"

#include <openssl/rand.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/clock.h"
#include "core/log.h"
#include "core/notify.h"
#include "core/pool.h"
#include "core/settings_records.h"
#include "core/system.h"
#include "core/topic.h"
#include "engine/codes.h"

namespace {

std::atomic<EngineNode *> g_running_node{nullptr};

// Start and stop come from one thread, but a second start must see the
// first one's node before it is published.
std::atomic<bool> g_node_exists{false};

// The four status texts, compared with their own lengths: a value with a
// terminator or a trailing blank is not a status.
constexpr const char *k_status_values[] = {ENGINE_STATUS_ONLINE, ENGINE_STATUS_AWAY, ENGINE_STATUS_BUSY,
                                           ENGINE_STATUS_OFFLINE};

bool is_status_value(const void *value, uint64_t length)
{
    if (value == nullptr) return false;
    for (const char *status : k_status_values) {
        if (length == strlen(status) && memcmp(value, status, length) == 0) return true;
    }
    return false;
}

EngineNodePropertyEntry *property_new(const uint8_t key[CORE_NAME_KEY_SIZE], const void *value, uint64_t length)
{
    auto *entry = static_cast<EngineNodePropertyEntry *>(calloc(1, sizeof(EngineNodePropertyEntry)));
    if (entry == nullptr) return nullptr;
    memcpy(entry->name.key, key, CORE_NAME_KEY_SIZE);
    core_name_make(&entry->name);
    if (length > 0) {
        entry->value = static_cast<uint8_t *>(malloc(length));
        if (entry->value == nullptr) {
            free(entry);
            return nullptr;
        }
        memcpy(entry->value, value, length);
    }
    entry->length = length;
    return entry;
}

void property_free(EngineNodePropertyEntry *entry)
{
    if (entry == nullptr) return;
    free(entry->value);
    free(entry);
}

EngineNodePropertyEntry *property_find(EngineNode *node, const uint8_t key[CORE_NAME_KEY_SIZE])
{
    for (EngineNodePropertyEntry *e = node->first; e != nullptr; e = e->next) {
        if (memcmp(e->name.key, key, CORE_NAME_KEY_SIZE) == 0) return e;
    }
    return nullptr;
}

void property_append(EngineNode *node, EngineNodePropertyEntry *entry)
{
    entry->next = nullptr;
    entry->prev = node->last;
    if (node->last != nullptr) {
        node->last->next = entry;
    } else {
        node->first = entry;
    }
    node->last = entry;
    node->count++;
}

void property_unlink(EngineNode *node, EngineNodePropertyEntry *entry)
{
    if (entry->prev != nullptr) {
        entry->prev->next = entry->next;
    } else {
        node->first = entry->next;
    }
    if (entry->next != nullptr) {
        entry->next->prev = entry->prev;
    } else {
        node->last = entry->prev;
    }
    entry->prev = entry->next = nullptr;
    node->count--;
}

// 32 bytes of seed: wall and monotonic clocks in microseconds and 16 bytes
// of the ordinary generator, so that two nodes started in the same
// microsecond on one machine still differ.
void seed_crypto_random(void)
{
    uint8_t seed[32];
    uint64_t wall = core_clock_wall_us();
    uint64_t mono = core_clock_mono_ns() / 1000;
    memcpy(seed, &wall, 8);
    memcpy(seed + 8, &mono, 8);
    for (int i = 0; i < 16; ++i) seed[16 + i] = static_cast<uint8_t>(rand() & 0xFF);
    RAND_seed(seed, sizeof seed);
}

uint64_t post_on(CoreName EngineNode::*topic, uint32_t code, const void *data, uint64_t length)
{
    EngineNode *node = engine_node_running();
    if (node == nullptr) return 0;
    if (data == nullptr && length > 0) return 0;
    CoreMessage message{code, 0, length, const_cast<void *>(data)};
    return core_topic_post(&(node->*topic), &message);
}

}  // namespace

CoreResult engine_node_property_check(const uint8_t key[CORE_NAME_KEY_SIZE], const void *value, uint64_t length)
{
    if (key == nullptr) return CORE_FAIL;
    if (value == nullptr && length > 0) return CORE_FAIL;
    if (core_name_cmp_str(key, ENGINE_PROP_STATUS) == 0) {
        return is_status_value(value, length) ? CORE_OK : CORE_FAIL;
    }
    if (core_name_cmp_str(key, ENGINE_PROP_AVATAR) == 0) {
        return length <= ENGINE_PROP_AVATAR_MAX ? CORE_OK : CORE_FAIL;
    }
    return length <= ENGINE_PROP_VALUE_MAX ? CORE_OK : CORE_FAIL;
}

CoreResult engine_node_start(uint64_t argument)
{
    bool expected = false;
    if (!g_node_exists.compare_exchange_strong(expected, true)) return CORE_ERR;

    void *memory = nullptr;
    if (posix_memalign(&memory, 64, sizeof(EngineNode)) != 0) {
        g_node_exists.store(false);
        return CORE_ERR;
    }
    memset(memory, 0, sizeof(EngineNode));
    auto *node = static_cast<EngineNode *>(memory);
    core_name_format(&node->commandTopic, "%s", ENGINE_COMMAND_TOPIC);
    core_name_format(&node->eventTopic, "%s", ENGINE_EVENT_TOPIC);
    core_name_format(&node->nodeService, "%s", ENGINE_NODE_SERVICE);
    node->lock = new (std::nothrow) CoreLock;

    bool runtime_started = false;
    bool ok = node->lock != nullptr;
    if (ok) {
        ok = core_system_start(argument) == CORE_OK;
        // A failed runtime start leaves its parts behind; stop takes them.
        runtime_started = true;
    }
    if (ok) ok = core_settings_stream_start() == CORE_OK;
    if (ok) {
        seed_crypto_random();
        CoreName pool_name;
        core_name_format(&pool_name, "%s", CORE_DEFAULT_POOL);
        node->pool = core_pool_get(&pool_name, 0);
        ok = node->pool != nullptr;
    }
    if (ok) {
        CoreTopicConfig config{};
        core_name_format(&config.pool, "%s", CORE_DEFAULT_POOL);
        config.word = 2;
        ok = core_topic_create(&node->eventTopic, &config) == CORE_OK &&
             core_topic_create(&node->commandTopic, &config) == CORE_OK;
    }
    if (ok) ok = core_notify_channel_create(&node->nodeService) == CORE_OK;
    if (ok) {
        CoreTopicSubscription subscription{engine_node_on_command, {node, nullptr}};
        node->commandSubscription = core_topic_subscribe(&node->commandTopic, &subscription);
        ok = node->commandSubscription != 0;
    }
    if (!ok) {
        core_log(CORE_LOG_ERROR, "engine", "node start failed");
        if (!runtime_started) {
            delete node->lock;
            free(node);
            g_node_exists.store(false);
            return CORE_ERR;
        }
        engine_node_stop(&node);
        return CORE_ERR;
    }
    engine_node_set_running(node);
    return CORE_OK;
}

void engine_node_stop(EngineNode **pnode)
{
    if (pnode == nullptr || *pnode == nullptr) return;
    EngineNode *node = *pnode;
    if (engine_node_running() == node) engine_node_set_running(nullptr);

    if (node->lock != nullptr) engine_node_properties_clear(node);
    if (node->commandSubscription != 0) {
        core_topic_unsubscribe(&node->commandTopic, node->commandSubscription);
        node->commandSubscription = 0;
    }
    core_notify_channel_remove(ENGINE_NODE_SERVICE);
    core_topic_remove(&node->eventTopic);
    core_topic_remove(&node->commandTopic);
    delete node->lock;
    node->lock = nullptr;
    if (node->pool != nullptr) core_pool_release(node->pool);
    node->pool = nullptr;
    core_settings_stream_stop();
    core_system_stop();
    free(node);
    *pnode = nullptr;
    g_node_exists.store(false);
}

uint64_t engine_post_command(uint32_t code, const void *data, uint64_t length)
{
    return post_on(&EngineNode::commandTopic, code, data, length);
}

uint64_t engine_post_event(uint32_t code, const void *data, uint64_t length)
{
    return post_on(&EngineNode::eventTopic, code, data, length);
}

CoreResult engine_node_property_add(const char *name, const void *value, uint64_t length)
{
    EngineNode *node = engine_node_running();
    if (node == nullptr || name == nullptr) return CORE_FAIL;
    CoreName key;
    core_name_format(&key, "%s", name);
    if (engine_node_property_check(key.key, value, length) != CORE_OK) return CORE_FAIL;
    EngineNodePropertyEntry *entry = property_new(key.key, value, length);
    if (entry == nullptr) return CORE_FAIL;
    {
        CoreLockGuard guard(node->lock);
        if (node->sealed == 0) {
            property_append(node, entry);
            entry = nullptr;
        }
    }
    if (entry != nullptr) {
        property_free(entry);
        return CORE_FAIL;
    }
    return CORE_OK;
}

CoreResult engine_node_properties_seal(void)
{
    EngineNode *node = engine_node_running();
    if (node == nullptr) return CORE_FAIL;
    CoreLockGuard guard(node->lock);
    CoreName key;
    core_name_format(&key, "%s", ENGINE_PROP_STATUS);
    EngineNodePropertyEntry *status = property_find(node, key.key);
    if (status != nullptr && is_status_value(status->value, status->length)) node->sealed = 1;
    return CORE_OK;
}

void engine_node_properties_unseal(EngineNode *node)
{
    if (node == nullptr || node->lock == nullptr) return;
    CoreLockGuard guard(node->lock);
    node->sealed = 0;
}

void engine_node_properties_clear(EngineNode *node)
{
    if (node == nullptr || node->lock == nullptr) return;
    for (;;) {
        EngineNodePropertyEntry *entry;
        {
            CoreLockGuard guard(node->lock);
            entry = node->first;
            if (entry == nullptr) return;
            property_unlink(node, entry);
        }
        property_free(entry);
    }
}

CoreResult engine_node_property_get(EngineNode *node, const uint8_t key[CORE_NAME_KEY_SIZE], void *out,
                                    uint64_t size, uint64_t *length)
{
    if (node == nullptr || node->lock == nullptr || key == nullptr) return CORE_DONE;
    CoreLockGuard guard(node->lock);
    EngineNodePropertyEntry *entry = property_find(node, key);
    if (entry == nullptr) return CORE_DONE;
    if (length != nullptr) *length = entry->length;
    if (out != nullptr && entry->length > 0) memcpy(out, entry->value, entry->length < size ? entry->length : size);
    return CORE_OK;
}

CoreResult engine_node_on_command(const CoreQueueEntry *message, void **user)
{
    auto *node = static_cast<EngineNode *>(user[0]);
    if (node == nullptr || message == nullptr || message->type != ENGINE_CMD_NODE_PROPERTY) return CORE_OK;
    // The header comes from the topic as raw bytes; a value length that
    // claims more than the message carries is a broken command.
    if (message->data == nullptr || message->length < sizeof(EngineNodeProperty)) return CORE_OK;
    EngineNodeProperty header;
    memcpy(&header, message->data, sizeof header);
    if (header.length > message->length - sizeof header) return CORE_OK;
    const uint8_t *value = static_cast<const uint8_t *>(message->data) + sizeof header;
    if (engine_node_property_check(header.name.key, value, header.length) != CORE_OK) return CORE_OK;

    EngineNodePropertyEntry *fresh = property_new(header.name.key, value, header.length);
    if (fresh == nullptr) return CORE_OK;
    EngineNodePropertyEntry *old = nullptr;
    {
        CoreLockGuard guard(node->lock);
        old = property_find(node, header.name.key);
        // Only properties that the start added are replaced; the command
        // never adds one.
        if (old != nullptr) {
            property_unlink(node, old);
            property_append(node, fresh);
            fresh = nullptr;
        }
    }
    property_free(old);
    property_free(fresh);
    return CORE_OK;
}

EngineNode *engine_node_running(void) { return g_running_node.load(std::memory_order_acquire); }

void engine_node_set_running(EngineNode *node) { g_running_node.store(node, std::memory_order_release); }

bool engine_stream_name_is_set(const CoreName *name)
{
    if (name == nullptr || core_name_is_empty(name)) return false;
    uint8_t unset[CORE_NAME_KEY_SIZE];
    core_key_format(unset, "stream.%08X", 0xFFFFFFFFu);
    if (memcmp(name->key, unset, CORE_NAME_KEY_SIZE) == 0) return false;
    core_key_format(unset, "split.stream.%08X", 0xFFFFFFFFu);
    return memcmp(name->key, unset, CORE_NAME_KEY_SIZE) != 0;
}
