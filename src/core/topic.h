// Topics: asynchronous publish/subscribe points addressed by a CoreName.
//
// The module owns the process-wide topic registry that system start
// creates, and per topic a pipe (the queue of undelivered messages and its
// consumer) and a store of subscribers. Posting copies a message into the
// topic's queue and returns at once with its "ops.seq." sequence number;
// the topic's consumer (its own thread, or a task of the executor its
// config names) calls every subscriber with each message, one message at a
// time, in posting order and in subscriber key order. Any thread may
// create, post, wait, subscribe and unsubscribe; subscribers run with no
// lock of the runtime held. Registry and topic operations return CORE_OK or
// CORE_FAIL; post and subscribe return a number, 0 on failure.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/names.h"
#include "core/queue.h"
#include "core/result.h"
#include "core/store.h"

// Called on the topic's consumer with the message (named by its "ops.seq."
// sequence name) and the subscription's user pair. The result is not used.
// A subscriber must not wait for a later message of the same topic.
typedef CoreResult (*CoreTopicCallback)(const CoreQueueEntry *message, void **user);

struct CoreTopicConfig {
    CoreName pool;      // pool of the topic's queue (empty: a private one)
    CoreName executor;  // consumer's executor (empty: an own thread)
    uint32_t word;      // kept with the topic, not interpreted here
};

// The subscribe argument; copied into the topic's subscriber store.
struct CoreTopicSubscription {
    CoreTopicCallback fn;
    void *user[2];
};

// Payload of a topic registry item.
struct CoreTopic {
    CorePipe *pipe;
    CoreStore *subscribers;
    CoreTopicConfig config;
    // Number of the last message whose delivery has finished. Only ever
    // raised, so a waiter that saw its number reached stays satisfied.
    std::atomic<uint64_t> last_delivered;
};

// Creates the registry (tree, explicit keys, items from CORE_DEFAULT_POOL,
// reclaim task on CORE_DEFAULT_EXECUTOR; both must exist). CORE_OK, or
// CORE_FAIL when it is already started or cannot be made.
CoreResult core_topic_registry_start(void);
// Destroys the registry and with it every topic still present; messages not
// yet delivered are dropped. Harmless when not started. No other thread may
// use topics meanwhile.
void core_topic_registry_stop(void);

// CORE_OK, also when a topic of that name exists; CORE_FAIL when the
// registry is missing, the name or config is NULL, the name is all zero,
// or the topic cannot be made (also while a removed topic of that name is
// still being reclaimed).
CoreResult core_topic_create(const CoreName *name, const CoreTopicConfig *config);

// Removes the topic, then waits until no thread holds a reference on the
// registry (at once when the caller holds one itself); the registry's
// reclaimer destroys it later. CORE_OK, or CORE_FAIL when it is unknown.
CoreResult core_topic_remove(const CoreName *name);

// Copies the message into the topic's queue. Its sequence number (> 0), or
// 0 when the topic is unknown or the post failed.
uint64_t core_topic_post(const CoreName *name, const CoreMessage *message);

// Polls (5-20 ms) until the topic's last delivered number is at least
// `number`; since numbers grow across the process, this also covers every
// message posted to the topic before that one. CORE_OK, or CORE_FAIL when
// the topic is unknown or disappears while waiting.
CoreResult core_topic_wait(const CoreName *name, uint64_t number);

// The subscriber key (>= 1; lowest free first), or 0 when the topic is
// unknown or the subscription cannot be stored.
uint64_t core_topic_subscribe(const CoreName *name, const CoreTopicSubscription *subscription);

// Removes the subscription, then waits until no thread is delivering to the
// topic's subscribers, so the callback is not called again once this
// returns. From a delivery of that topic it returns without waiting (the
// callback is then not called for later messages). CORE_OK, or CORE_FAIL
// when the topic or key is unknown.
CoreResult core_topic_unsubscribe(const CoreName *name, uint64_t key);
