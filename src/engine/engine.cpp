#include "engine/engine.h"

#include <cstring>
#include <new>

#include "core/clock.h"
#include "core/crypto.h"
#include "core/executor.h"
#include "core/handle.h"
#include "core/log.h"
#include "core/random.h"
#include "core/store.h"
#include "core/topic.h"
#include "engine/binding_protocol.h"
#include "engine/capability.h"
#include "engine/codes.h"
#include "engine/display.h"
#include "engine/node.h"
#include "engine/presence.h"
#include "engine/provider.h"
#include "engine/relay.h"
#include "engine/session.h"
#include "ravelkit/consumer.h"
#include "ravelkit/provider.h"

namespace {

std::atomic<EngineContext *> g_context{nullptr};

// Set on the thread that delivers the command topic: the sync helpers wait
// for that thread and would wait for themselves there.
thread_local bool t_command_consumer = false;

bool key_is_zero(const CoreName &name)
{
    static const uint8_t zero[CORE_NAME_KEY_SIZE] = {};
    return memcmp(name.key, zero, CORE_NAME_KEY_SIZE) == 0;
}

bool keys_equal(const CoreName &a, const CoreName &b) { return memcmp(a.key, b.key, CORE_NAME_KEY_SIZE) == 0; }

// The event topic needs one subscriber that takes every event, so that the
// topic always has a consumer while the engine lives.
CoreResult event_sink(const CoreQueueEntry *, void **) { return CORE_OK; }

void destroy_started_parts(void)
{
    engine_services_destroy();
    EngineSession *session = engine_session_current();
    if (session != nullptr) engine_session_destroy(&session);
    engine_capability_release();
}

EngineSessionParams session_params(const EngineConfig &config)
{
    EngineSessionParams params;
    memset(&params, 0, sizeof(params));
    params.autoAccept = config.autoAccept;
    params.combinedProfile = config.combinedProfile;
    params.sendRoles = config.sendRoles;
    params.receiveRoles = config.receiveRoles;
    params.audioSource = config.audioSource;
    params.audioSink = config.audioSink;
    params.audioPlaybackDelay = config.audioPlaybackDelay;
    params.videoSource = config.videoSource;
    params.videoSink = config.videoSink;
    params.showCursor = config.showCursor;
    params.showClicks = config.showClicks;
    params.captureSourceParams[0] = config.captureSourceParams[0];
    params.captureSourceParams[1] = config.captureSourceParams[1];
    params.videoPlaybackDelay = config.videoPlaybackDelay;
    params.networkOption = config.network.networkOption;
    params.frameworkType = config.frameworkType;
    params.frameworkKind = config.frameworkKind;
    return params;
}

// Going online: the presence task's first run lies 500 to 1200 ms ahead,
// so that nodes started together do not announce in step.
void go_online(EngineContext *context)
{
    EngineServices *services = engine_services_current();
    EnginePresenceService *presence = services != nullptr ? services->presence : nullptr;
    if (presence == nullptr || presence->presenceTask.load() != 0) return;
    const uint64_t delay = ENGINE_ONLINE_DELAY_MIN_MS + core_random_u64() % ENGINE_ONLINE_DELAY_SPREAD;
    presence->runWord.store(ENGINE_PRESENCE_STARTING);
    CoreTaskCallback callback = {engine_presence_task, {presence, nullptr}};
    const uint64_t task =
        core_executor_schedule(&presence->executorName, nullptr, nullptr, static_cast<int64_t>(delay), &callback);
    if (task == 0) {
        presence->runWord.store(ENGINE_PRESENCE_IDLE);
        core_log(CORE_LOG_WARN, "engine", "the presence start could not be scheduled");
        return;
    }
    presence->presenceTask.store(task);
    context->onlineDelayMs = delay;
    context->state.store(ENGINE_STATE_ONLINE, std::memory_order_release);
}

void stop_engine(EngineContext *context)
{
    destroy_started_parts();
    context->state.store(ENGINE_STATE_STOPPED, std::memory_order_release);
}

// Posts `code` and waits for its delivery; the sequence number when the
// state is then `wanted`, else 0.
uint64_t post_and_wait(uint32_t code, uint32_t wanted)
{
    if (t_command_consumer) {
        core_log(CORE_LOG_ERROR, "engine", "a lifecycle wait on the command topic's own consumer is refused");
        return 0;
    }
    EngineContext *context = g_context.load(std::memory_order_acquire);
    if (context == nullptr) return 0;
    const uint64_t sequence = engine_post_command(code, nullptr, 0);
    if (sequence == 0) return 0;
    if (core_topic_wait(&context->commandTopic, sequence) != CORE_OK) return 0;
    return context->state.load(std::memory_order_acquire) == wanted ? sequence : 0;
}

}  // namespace

CoreResult engine_context_create(void)
{
    if (g_context.load(std::memory_order_acquire) != nullptr) return CORE_FAIL;
    auto *context = new (std::nothrow) EngineContext{};
    if (context == nullptr) return CORE_FAIL;
    core_name_format(&context->commandTopic, "%s", ENGINE_COMMAND_TOPIC);
    core_name_format(&context->eventTopic, "%s", ENGINE_EVENT_TOPIC);
    bool ok = engine_node_start(0) == CORE_OK;
    context->nodeStarted = ok;
    if (ok) {
        CoreTopicSubscription lifecycle = {engine_on_lifecycle_command, {context, nullptr}};
        context->lifecycleSubscription = core_topic_subscribe(&context->commandTopic, &lifecycle);
        CoreTopicSubscription sink = {event_sink, {context, nullptr}};
        context->eventSinkSubscription = core_topic_subscribe(&context->eventTopic, &sink);
        ok = context->lifecycleSubscription != 0 && context->eventSinkSubscription != 0;
    }
    context->state.store(ENGINE_STATE_STOPPED);
    EngineContext *expected = nullptr;
    if (ok && g_context.compare_exchange_strong(expected, context, std::memory_order_acq_rel)) return CORE_OK;
    engine_destroy(&context);
    return CORE_FAIL;
}

EngineContext *engine_context_current(void) { return g_context.load(std::memory_order_acquire); }

uint32_t engine_state(void)
{
    EngineContext *context = g_context.load(std::memory_order_acquire);
    return context != nullptr ? context->state.load(std::memory_order_acquire) : ENGINE_STATE_STOPPED;
}

CoreResult engine_on_lifecycle_command(const CoreQueueEntry *message, void **user)
{
    t_command_consumer = true;
    auto *context = static_cast<EngineContext *>(user != nullptr ? user[0] : nullptr);
    if (context == nullptr || message == nullptr) return CORE_OK;
    const uint32_t state = context->state.load(std::memory_order_acquire);
    switch (message->type) {
    case ENGINE_CMD_START: {
        if (message->data == nullptr || message->length != sizeof(EngineConfig)) {
            core_log(CORE_LOG_WARN, "engine", "start record of %llu bytes dropped (%zu expected)",
                     static_cast<unsigned long long>(message->length), sizeof(EngineConfig));
            break;
        }
        // The topic's copy may be unaligned for the record: copy it out.
        EngineConfig config;
        memcpy(&config, message->data, sizeof(config));
        if (state == ENGINE_STATE_STOPPED) {
            if (engine_start(context, &config) == CORE_OK)
                context->state.store(ENGINE_STATE_STARTED, std::memory_order_release);
        } else if (state == ENGINE_STATE_OFFLINE) {
            // The session and services still exist, so this start fails and
            // takes them down; the state stays offline until a stop.
            engine_start(context, &config);
        }
        break;
    }
    case ENGINE_CMD_GO_ONLINE:
        if (state == ENGINE_STATE_STARTED) go_online(context);
        break;
    case ENGINE_CMD_GO_OFFLINE:
        if (state == ENGINE_STATE_ONLINE && engine_go_offline(context) == CORE_OK)
            context->state.store(ENGINE_STATE_OFFLINE, std::memory_order_release);
        break;
    case ENGINE_CMD_STOP:
        if (state == ENGINE_STATE_OFFLINE) stop_engine(context);
        break;
    default: break;
    }
    return CORE_OK;
}

CoreResult engine_start(EngineContext *context, const EngineConfig *config)
{
    if (context == nullptr || config == nullptr) return CORE_FAIL;
    const uint32_t state = context->state.load(std::memory_order_acquire);
    if (state == ENGINE_STATE_STARTED) return CORE_OK;
    if (state == ENGINE_STATE_ONLINE) return CORE_FAIL;
    if (key_is_zero(config->network.nodeKey)) {
        core_log(CORE_LOG_WARN, "engine", "start refused, the node key is empty");
        return CORE_FAIL;
    }
    context->config = *config;
    const CoreName &nodeKey = context->config.network.nodeKey;

    bool ok = true;
    if (engine_capability_current() == nullptr) ok = engine_capability_create(&context->config) == CORE_OK;

    // The relay store and the RSA key belong to one node identity. Each is
    // compared with the key it was made for, not with the last copy, so a
    // start that failed half way never leaves a key made for another node.
    EngineRelayStore *relay = engine_relay_store();
    if (ok && (relay == nullptr || !keys_equal(relay->nodeKey, nodeKey))) {
        engine_relay_destroy();
        ok = engine_relay_create(&nodeKey) == CORE_OK;
    }
    if (ok && context->config.nodeKind == ENGINE_NODE_MEDIA) {
        const EngineSessionParams params = session_params(context->config);
        ok = engine_session_create(&params) == CORE_OK && engine_session_current() != nullptr;
    }
    if (ok && (context->rsaKey == nullptr || !keys_equal(context->rsaKeyNodeKey, nodeKey))) {
        EVP_PKEY_free(context->rsaKey);
        context->rsaKey = core_rsa_generate();
        context->rsaKeyNodeKey = nodeKey;
        ok = context->rsaKey != nullptr;
    }
    if (ok) {
        EngineServiceParams params;
        memset(&params, 0, sizeof(params));
        params.sendRoles = context->config.sendRoles;
        params.receiveRoles = context->config.receiveRoles;
        params.binderDirection = context->config.binderDirection;
        params.serviceFlags = context->config.serviceFlags;
        params.audioSinkParam = context->config.audioSink.slotParam;
        params.videoSinkParam = context->config.videoSink.slotParam;
        params.p2pClass = static_cast<uint32_t>(context->config.p2pClass);
        params.videoSizeClass = context->config.videoSizeClass;
        params.onOffer = engine_binding_on_offer;
        ok = engine_config_network(&context->config, context->rsaKey, &params.network) == CORE_OK &&
             engine_services_create(&params) == CORE_OK;
    }
    if (ok) return CORE_OK;
    core_log(CORE_LOG_WARN, "engine", "start failed; services, session and capability are taken down");
    destroy_started_parts();
    return CORE_FAIL;
}

CoreResult engine_go_offline(EngineContext *context)
{
    if (context == nullptr) return CORE_FAIL;
    const uint32_t state = context->state.load(std::memory_order_acquire);
    if (state == ENGINE_STATE_STOPPED || state == ENGINE_STATE_OFFLINE) return CORE_OK;
    if (state == ENGINE_STATE_STARTED) return CORE_FAIL;
    engine_media_halt();
    EngineServices *services = engine_services_current();
    if (services == nullptr || services->presence == nullptr) return CORE_FAIL;
    // Cancels the presence task (waiting while it runs), reports offline and
    // asks the network library to stop, which it does on its own side.
    engine_presence_go_offline(services->presence);
    engine_relay_drop_all();
    return CORE_OK;
}

uint64_t engine_stop_sync(void) { return post_and_wait(ENGINE_CMD_STOP, ENGINE_STATE_STOPPED); }

uint64_t engine_go_offline_sync(void) { return post_and_wait(ENGINE_CMD_GO_OFFLINE, ENGINE_STATE_OFFLINE); }

void engine_destroy(EngineContext **pcontext)
{
    if (pcontext == nullptr || *pcontext == nullptr) return;
    EngineContext *context = *pcontext;
    if (g_context.load(std::memory_order_acquire) == context) {
        engine_go_offline_sync();
        engine_stop_sync();
    }
    EVP_PKEY_free(context->rsaKey);
    context->rsaKey = nullptr;
    if (context->lifecycleSubscription != 0)
        core_topic_unsubscribe(&context->commandTopic, context->lifecycleSubscription);
    if (context->eventSinkSubscription != 0)
        core_topic_unsubscribe(&context->eventTopic, context->eventSinkSubscription);
    // A started engine that never went online cannot go offline and stop
    // through the commands. With the lifecycle subscriber gone no command
    // runs any more, so what is left is taken down here rather than left
    // running over a stopped runtime.
    if (context->state.load(std::memory_order_acquire) != ENGINE_STATE_STOPPED) {
        engine_media_halt();
        destroy_started_parts();
        context->state.store(ENGINE_STATE_STOPPED, std::memory_order_release);
    }
    EngineContext *expected = context;
    g_context.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
    engine_relay_destroy();
    if (context->nodeStarted) {
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
    }
    delete context;
    *pcontext = nullptr;
}

void engine_media_halt(void)
{
    EngineSession *session = engine_session_current();
    if (session == nullptr) return;
    if (EngineMediaProvider *provider = session->provider) {
        // ravk_pipeline_stop stops an object once: the streams of a
        // combined slot share theirs.
        for (CoreStoreItem *p = core_store_first(provider->profiles); p != nullptr;
             p = core_store_next(provider->profiles, p, 1)) {
            CoreStore *streams = reinterpret_cast<EngineProfile *>(p)->streams;
            for (CoreStoreItem *s = core_store_first(streams); s != nullptr; s = core_store_next(streams, s, 1)) {
                const uint64_t capture = reinterpret_cast<EngineProviderStream *>(s)->capture.load();
                if (capture != 0) ravk_pipeline_stop(capture);
            }
        }
    }
    if (EngineDisplay *display = session->display) {
        for (CoreStoreItem *n = core_store_first(display->nodes); n != nullptr;
             n = core_store_next(display->nodes, n, 1)) {
            CoreStore *consumers = reinterpret_cast<EngineProfile *>(n)->streams;
            for (CoreStoreItem *c = core_store_first(consumers); c != nullptr;
                 c = core_store_next(consumers, c, 1)) {
                auto *consumer = reinterpret_cast<EngineConsumer *>(c);
                const uint64_t object = consumer->object.load();
                if (object == 0) continue;
                // A push or decoder start must not undo the stop.
                std::lock_guard<std::mutex> guard(display->stateLock);
                ravk_consumer_stop(object);
            }
        }
    }
}
