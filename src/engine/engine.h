// The engine context and the engine's lifecycle.
//
// The context is the one object that carries a node's engine through its
// life: the copy of the last EngineConfig that got past its checks, the
// lifecycle state and the node's RSA key. It runs the four-state machine
// the interface drives with the lifecycle commands on the command topic:
// starting makes the local capability, the peer relay store (on a new node
// key), the engine session (media nodes) and the peer services; going
// online schedules the presence start 500 to 1200 ms ahead; going offline
// halts the media, stops the network and drops every relayed peer; stopping
// destroys services, session and capability again. A started engine always
// stops through online and offline: 0 -> 2 -> 3 -> 1 -> 0.
//
// Threads: engine_context_create, the sync helpers and engine_destroy run on
// the interface side's threads (the facade's worker, the main thread at
// shut-down); every lifecycle command runs on the command topic's consumer,
// one at a time, so the state word has one writer and is read elsewhere
// with acquire loads. The sync helpers wait for that consumer, so they must
// never be called from it (they refuse to). Results: CORE_OK, CORE_FAIL
// (-1) as each function says; the sync helpers a sequence number or 0.
#pragma once

#include <atomic>
#include <cstdint>
#include <openssl/evp.h>

#include "core/names.h"
#include "core/result.h"
#include "engine/config.h"

struct CoreQueueEntry;

// EngineContext.state
enum : uint32_t {
    ENGINE_STATE_STOPPED = 0,
    ENGINE_STATE_OFFLINE = 1,  // services and session still exist, network stopped
    ENGINE_STATE_STARTED = 2,  // everything made, not yet online
    ENGINE_STATE_ONLINE = 3,   // presence start scheduled or running
};

// The presence start lies this far ahead of going online: 500 ms plus a
// random 0..700.
#define ENGINE_ONLINE_DELAY_MIN_MS 500u
#define ENGINE_ONLINE_DELAY_SPREAD 701u

struct alignas(64) EngineContext {
    EngineConfig config;  // copy of the last ENGINE_CMD_START past its checks
    std::atomic<uint32_t> state;  // ENGINE_STATE_*; written by the command consumer only
    uint64_t lifecycleSubscription;
    uint64_t eventSinkSubscription;
    CoreName commandTopic;
    CoreName eventTopic;
    EVP_PKEY *rsaKey;  // RSA-2048; NULL until the first start that needs one
    CoreName rsaKeyNodeKey;  // the node key rsaKey was made for
    uint64_t onlineDelayMs;  // delay of the last presence start scheduled
    bool nodeStarted;        // this context started the engine node (and stops it)
};

// Creates the context: starts the engine node, subscribes
// engine_on_lifecycle_command to the command topic and the event sink to
// the event topic, sets state 0 and publishes it. CORE_OK; CORE_FAIL when a
// context exists already (nothing changes) or a step fails (what was made
// is destroyed with engine_destroy).
CoreResult engine_context_create(void);

// The published context, or NULL. Acquire load.
EngineContext *engine_context_current(void);

// The context's state, ENGINE_STATE_STOPPED without a context.
uint32_t engine_state(void);

// Command topic subscriber (user[0]: the context): ENGINE_CMD_STOP,
// ENGINE_CMD_START (data: an EngineConfig of exactly its size, else
// dropped), ENGINE_CMD_GO_ONLINE and ENGINE_CMD_GO_OFFLINE; every other
// code passes by.
CoreResult engine_on_lifecycle_command(const CoreQueueEntry *message, void **user);

// Starts the engine from `config`. CORE_OK started or already started;
// CORE_FAIL without context or config, when online, for an all-zero node
// key, or when a step failed (services, session and capability are then
// destroyed and the state is left as it was).
CoreResult engine_start(EngineContext *context, const EngineConfig *config);

// Goes offline. CORE_OK offline now or already (states 0 and 1);
// CORE_FAIL without context, in state 2, or when the services or their
// presence service are missing (the media is halted even then).
CoreResult engine_go_offline(EngineContext *context);

// Post ENGINE_CMD_STOP / ENGINE_CMD_GO_OFFLINE, wait until the command
// topic has delivered it and return the post's sequence number when the
// state is then 0 / 1; otherwise 0 (also without a context, when the post
// failed, and when called on the command topic's consumer).
uint64_t engine_stop_sync(void);
uint64_t engine_go_offline_sync(void);

// Full teardown: offline, stop, RSA key, subscriptions, relay store, engine
// node, context; clears *context. Nothing when it is NULL. Must not run on
// a topic's consumer.
void engine_destroy(EngineContext **context);

// Stops every running capture pipeline of the session's media provider and
// every consumer of its display controller. Nothing without a session.
void engine_media_halt(void);
