#include "engine/peer_streams.h"

#include <cstring>
#include <new>

#include "core/executor.h"
#include "core/handle.h"
#include "core/log.h"
#include "core/queue.h"
#include "flowmesh/core.h"
#include "flowmesh/interface.h"
#include "flowmesh/service.h"
#include "flowmesh/session.h"

namespace {

CoreHandleTable *streams_table() { return core_handle_tables[CORE_HANDLES_STREAMS]; }

uint64_t handle_of(const uint64_t user[2]) { return user[0]; }

bool same_key(const CoreName &a, const CoreName &b) { return core_compare_key32(a.key, b.key) == 0; }

template <typename T>
T *acquire(uint64_t handle)
{
    return static_cast<T *>(core_handle_acquire(streams_table(), handle));
}

void release(uint64_t handle) { core_handle_release(streams_table(), handle); }

int trigger_pump(EngineSender *s, int64_t delay_ms)
{
    return core_executor_trigger(&s->config.executor, s->pumpTask, delay_ms);
}

// ---- sender ----

int sender_on_session(void *record, FlowmeshStreamAnswer *)
{
    auto *event = static_cast<FlowmeshSessionEvent *>(record);
    if (event->zero != 0 || event->info == nullptr) return 0;
    EngineSender *s = acquire<EngineSender>(handle_of(event->user));
    if (s == nullptr) return 0;
    if (same_key(event->session, s->config.session) && event->info->state == FLOWMESH_SESSION_UP &&
        event->info->key_role == 1)
        s->sequence.store(ENGINE_SENDER_SEQUENCE_KEYED);
    release(s->handle);
    return 0;
}

int sender_on_state(void *record, FlowmeshStreamAnswer *)
{
    auto *event = static_cast<FlowmeshStreamStateEvent *>(record);
    EngineSender *s = acquire<EngineSender>(handle_of(event->user));
    if (s == nullptr) return 0;
    if (same_key(event->session, s->config.session) && same_key(event->kind.stream_name, s->config.stream)) {
        switch (event->state) {
        case FLOWMESH_STREAM_OPENED: {
            std::lock_guard<std::mutex> guard(s->lock);
            if (!(s->flags.load() & ENGINE_SENDER_OPEN)) {
                s->remoteStream = event->instance;
                s->flags.fetch_or(ENGINE_SENDER_OPEN);
                // Whatever waited for the stream goes now rather than at
                // the pump's next look.
                trigger_pump(s, 0);
            }
            break;
        }
        case FLOWMESH_STREAM_ENDED:
            if (s->config.onClosed != nullptr) s->config.onClosed(&s->config.session, &s->config.stream, s->config.user);
            break;
        case FLOWMESH_STREAM_CLOSED: {
            std::lock_guard<std::mutex> guard(s->lock);
            if (same_key(event->instance, s->remoteStream)) s->flags.fetch_and(~ENGINE_SENDER_OPEN);
            break;
        }
        default: break;
        }
    }
    release(s->handle);
    return 0;
}

void sender_destroy(CoreHandleTable *, void *object, uint64_t)
{
    auto *s = static_cast<EngineSender *>(object);
    core_executor_cancel_named(&s->config.executor, s->pumpTask, 1);
    if (s->stateToken != 0) flowmesh_unregister_state_callbacks(s->stateToken);
    if (s->sessionToken != 0) {
        if (FlowmeshCore *core = flowmesh_core_acquire()) {
            flowmesh_unregister_callbacks(core->events, FLOWMESH_EVENTS_SESSION, s->sessionToken);
            flowmesh_core_release(core);
        }
    }
    core_channel_destroy(&s->channel);
    s->~EngineSender();
}

// ---- receiver ----

bool remote_matches(EngineReceiver *r, const CoreName &instance)
{
    return r->remoteState.load(std::memory_order_acquire) == ENGINE_RECEIVER_REMOTE_SET &&
           same_key(r->remoteStream, instance);
}

// CORE_OK when this call set the instance, CORE_DONE when one was set.
CoreResult remember_remote(EngineReceiver *r, const CoreName &instance)
{
    uint32_t expected = ENGINE_RECEIVER_REMOTE_NONE;
    if (!r->remoteState.compare_exchange_strong(expected, ENGINE_RECEIVER_REMOTE_WRITING)) return CORE_DONE;
    r->remoteStream = instance;
    r->remoteState.store(ENGINE_RECEIVER_REMOTE_SET, std::memory_order_release);
    return CORE_OK;
}

int receiver_on_state(void *record, FlowmeshStreamAnswer *)
{
    auto *event = static_cast<FlowmeshStreamStateEvent *>(record);
    if (event->state != FLOWMESH_STREAM_OPENED) return 0;
    EngineReceiver *r = acquire<EngineReceiver>(handle_of(event->user));
    if (r == nullptr) return 0;
    if (same_key(event->session, r->config.session) && same_key(event->kind.stream_name, r->config.stream))
        remember_remote(r, event->instance);
    release(r->handle);
    return 0;
}

int receiver_on_data(void *record, FlowmeshStreamAnswer *)
{
    auto *event = static_cast<FlowmeshStreamEvent *>(record);
    EngineReceiver *r = acquire<EngineReceiver>(handle_of(event->user));
    if (r == nullptr) return 0;
    // Stream data and the open event reach the engine on different threads
    // of the network library, so the first bytes may come before the open
    // event; they name the instance just as well, and dropping them would
    // cut the head off a byte stream.
    if (same_key(event->session, r->config.session) && same_key(event->stream, r->config.stream))
        remember_remote(r, event->instance);
    if (same_key(event->session, r->config.session) && same_key(event->stream, r->config.stream) &&
        remote_matches(r, event->instance)) {
        CoreQueueEntry piece = {};
        piece.name = r->config.stream;
        piece.length = event->length;
        piece.data = const_cast<void *>(event->data);
        // The reader has already dropped the broken record and the rest of
        // this piece; the next piece starts at a fresh item head.
        if (flowmesh_tlv_reader_feed(r->reader, &piece) != CORE_OK) {
            r->formatErrors.fetch_add(1);
            core_log(CORE_LOG_WARN, "engine", "receiver %s: unreadable bytes dropped", r->config.stream.text);
            if (r->config.onError != nullptr) r->config.onError(&r->config.session, &r->config.stream, r->config.user);
        }
    }
    release(r->handle);
    return 0;
}

// The reader's consumer on the receiver's executor, one record at a time.
int receiver_deliver(CoreQueueEntry *entry, void **user)
{
    const uint64_t handle = reinterpret_cast<uintptr_t>(user[0]);
    EngineReceiver *r = acquire<EngineReceiver>(handle);
    if (r == nullptr) return CORE_OK;  // going away: the record goes with it
    const int kept = r->config.onRecord(&r->config.session, &r->config.stream, entry->data, entry->length,
                                        r->config.user);
    release(handle);
    // The queue keeps the record and offers it again after its pause.
    return kept != 0 ? CORE_AGAIN : CORE_OK;
}

void receiver_destroy(CoreHandleTable *, void *object, uint64_t)
{
    auto *r = static_cast<EngineReceiver *>(object);
    if (r->dataToken != 0) flowmesh_unregister_data_callbacks(r->dataToken);
    if (r->stateToken != 0) flowmesh_unregister_state_callbacks(r->stateToken);
    flowmesh_channel_destroy(&r->reader);
    r->~EngineReceiver();
}

}  // namespace

uint64_t engine_sender_create(const EngineSenderConfig *config)
{
    if (config == nullptr || config->retryPause == 0 || core_name_is_empty(&config->executor) ||
        core_name_is_empty(&config->session) || core_name_is_empty(&config->stream))
        return 0;
    void *object = nullptr;
    const uint64_t handle = core_handle_create(streams_table(), sizeof(EngineSender), sender_destroy, &object);
    if (handle == 0) return 0;
    auto *s = new (object) EngineSender();
    s->sequence.store(ENGINE_SENDER_SEQUENCE_FIRST);
    s->handle = handle;
    s->config = *config;

    bool ok = true;
    CoreChannelConfig cc = {};
    cc.pool = config->pool;
    cc.pool_size = config->poolSize;
    s->channel = core_channel_create(&cc);
    ok = s->channel != nullptr;
    if (ok) {
        CoreTaskCallback callback = {engine_sender_pump, {reinterpret_cast<void *>(static_cast<uintptr_t>(handle)), nullptr}};
        s->pumpTask = core_executor_schedule(&config->executor, &config->session, &config->stream, CORE_DUE_NEVER,
                                             &callback);
        ok = s->pumpTask != 0;
    }
    if (ok) {
        const FlowmeshCallbacks session = {sender_on_session, {handle, 0}};
        s->sessionToken = flowmesh_register_session_callbacks(&session);
        const FlowmeshCallbacks state = {sender_on_state, {handle, 0}};
        s->stateToken = flowmesh_register_state_callbacks(&state);
        ok = s->sessionToken != 0 && s->stateToken != 0;
    }
    if (!ok) {
        release(handle);
        return 0;
    }
    return handle;
}

uint64_t engine_receiver_create(const EngineReceiverConfig *config)
{
    if (config == nullptr || config->onRecord == nullptr || core_name_is_empty(&config->executor) ||
        core_name_is_empty(&config->session) || core_name_is_empty(&config->stream))
        return 0;
    void *object = nullptr;
    const uint64_t handle = core_handle_create(streams_table(), sizeof(EngineReceiver), receiver_destroy, &object);
    if (handle == 0) return 0;
    auto *r = new (object) EngineReceiver();
    r->handle = handle;
    r->config = *config;

    FlowmeshTlvChannelConfig rc = {};
    rc.executor = config->executor;
    rc.pool = config->pool;
    rc.pool_size = config->poolSize;
    rc.callback = receiver_deliver;
    rc.user[0] = reinterpret_cast<void *>(static_cast<uintptr_t>(handle));
    r->reader = flowmesh_channel_create(&rc);
    bool ok = r->reader != nullptr;
    if (ok) {
        const FlowmeshCallbacks data = {receiver_on_data, {handle, 0}};
        r->dataToken = flowmesh_register_data_callbacks(&data);
        const FlowmeshCallbacks state = {receiver_on_state, {handle, 0}};
        r->stateToken = flowmesh_register_state_callbacks(&state);
        ok = r->dataToken != 0 && r->stateToken != 0;
    }
    if (!ok) {
        release(handle);
        return 0;
    }
    return handle;
}

CoreResult engine_stream_send_tlv(uint64_t sender, uint32_t word, uint32_t type, const CoreTlvItem *items,
                                  uint64_t count)
{
    EngineSender *s = acquire<EngineSender>(sender);
    if (s == nullptr) return CORE_ERR;
    CoreResult result = CORE_OK;
    if (s->config.queueLimit != 0 && core_queue_count(s->channel->queue) > s->config.queueLimit) {
        result = CORE_DONE;
    } else if (!(s->flags.load() & ENGINE_SENDER_OPEN) && s->bytesSent.load() != 0) {
        result = CORE_ERR_REFUSED;
    } else {
        result = core_tlv_send(s->channel, nullptr, type, word, items, count);
        if (result == CORE_OK && trigger_pump(s, 0) != 0) result = CORE_ERR;
    }
    release(sender);
    return result;
}

CoreResult engine_receiver_adopt_stream(uint64_t receiver, const CoreName *instance)
{
    if (instance == nullptr) return CORE_ERR;
    EngineReceiver *r = acquire<EngineReceiver>(receiver);
    if (r == nullptr) return CORE_ERR;
    const CoreResult result = remember_remote(r, *instance);
    release(receiver);
    return result;
}

int engine_sender_pump(const CoreName *, uint64_t task, const CoreName *, const CoreName *, void **user)
{
    const uint64_t handle = reinterpret_cast<uintptr_t>(user[0]);
    EngineSender *s = acquire<EngineSender>(handle);
    if (s == nullptr) return CORE_ERR;  // the sender is going: the task ends
    if (!(s->flags.load() & ENGINE_SENDER_OPEN)) {
        core_executor_trigger(&s->config.executor, task, ENGINE_SENDER_CLOSED_POLL_MS);
        release(handle);
        return CORE_OK;
    }
    for (;;) {
        CoreQueueEntry head = {};
        uint64_t n = 1;
        if (!core_queue_peek(s->channel->queue, &head, &n) || n == 0) break;  // empty: park
        const uint64_t offset = s->headOffset < head.length ? s->headOffset : head.length;
        const uint64_t remaining = head.length - offset;
        uint64_t taken = remaining;
        const CoreResult r = flowmesh_session_send(&s->config.session, &s->config.stream, head.type,
                                                   static_cast<const uint8_t *>(head.data) + offset, &taken);
        if (r < 0) {
            // The message stays queued until the next message wakes the
            // pump. The bytes already taken are not offered again: on a
            // byte stream they would reach the peer twice.
            core_log(CORE_LOG_WARN, "engine", "sender %s: send failed (%d)", s->config.stream.text, r);
            break;
        }
        // Anything but OK took nothing, whatever the count says (an unknown
        // stream leaves it as offered).
        if (r != CORE_OK) taken = 0;
        if (taken > remaining) taken = remaining;
        s->headOffset = offset + taken;
        s->bytesSent.fetch_add(taken);
        if (s->headOffset >= head.length) {
            CoreQueueRecord *record = core_queue_pop(s->channel->queue);
            core_queue_record_free(s->channel->queue, &record);
            s->headOffset = 0;
            continue;
        }
        core_executor_trigger(&s->config.executor, task, s->config.retryPause);
        break;
    }
    release(handle);
    return CORE_OK;
}
