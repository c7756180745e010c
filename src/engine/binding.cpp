#include "engine/binding.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/clock.h"
#include "core/executor.h"
#include "core/handle.h"
#include "core/log.h"
#include "core/notify.h"
#include "core/pool.h"
#include "core/queue.h"
#include "core/topic.h"
#include "engine/codes.h"
#include "engine/config.h"
#include "engine/names.h"
#include "engine/node.h"
#include "engine/peer_streams.h"
#include "flowmesh/core.h"
#include "flowmesh/interface.h"
#include "flowmesh/session.h"

namespace {

bool same_key(const CoreName &a, const CoreName &b) { return core_compare_key32(a.key, b.key) == 0; }

EngineBindingService *service_of(const uint64_t user[2])
{
    return reinterpret_cast<EngineBindingService *>(static_cast<uintptr_t>(user[0]));
}

CoreHandleTable *streams_table() { return core_handle_tables[CORE_HANDLES_STREAMS]; }

EngineBindingPeer *peer_of(CoreStoreItem *item) { return reinterpret_cast<EngineBindingPeer *>(item); }
EngineBindingOffer *offer_of(CoreStoreItem *item) { return reinterpret_cast<EngineBindingOffer *>(item); }
EngineBindingMark *mark_of(CoreStoreItem *item) { return reinterpret_cast<EngineBindingMark *>(item); }

// The live item under `key` with a reader reference, or NULL.
CoreStoreItem *lookup(CoreStore *store, const CoreName &key) { return core_store_lookup(store, key.key); }

CoreStore *make_store(uint64_t item_size, CoreStoreCreateFn create, CoreStoreDestroyFn destroy, void *user)
{
    CoreStoreConfig config = {};
    config.item_size = item_size;
    config.key_kind = CORE_KEY_EXPLICIT;
    config.create = create;
    config.destroy = destroy;
    config.executor = core_name_of(CORE_DEFAULT_EXECUTOR);
    config.flags = CORE_STORE_TREE;
    config.user = user;
    return core_store_create(&config);
}

// Stops a task, waiting for a pass that runs. CORE_DONE for no task.
CoreResult cancel_task(uint64_t task)
{
    if (task == 0) return CORE_DONE;
    const CoreName executor = core_name_of(CORE_DEFAULT_EXECUTOR);
    core_executor_cancel_named(&executor, task, 1);
    return CORE_OK;
}

void copy_source_name(char out[ENGINE_SOURCE_NAME_SIZE], const char *source)
{
    memset(out, 0, ENGINE_SOURCE_NAME_SIZE);
    if (source != nullptr) memcpy(out, source, strnlen(source, ENGINE_SOURCE_NAME_SIZE - 1));
}

void post_stream_event(uint32_t code, const EngineBindingPeer *peer)
{
    EngineBindStreamEvent event;
    memset(&event, 0, sizeof(event));
    event.session = peer->session;
    event.peerNode = peer->peerNode;
    event.stream = core_name_of(ENGINE_STREAM_BIND);
    engine_post_event(code, &event, sizeof(event));
}

CoreResult send_offer(const EngineBindingPeer *peer, uint32_t kind, const EngineMediaDesc &desc, const char *sourceName,
                      uint32_t sizeClass, const EngineStreamTable *table)
{
    return engine_offer_send(peer->sender, kind, &desc, ENGINE_PROTOCOL_VERSION, sourceName, sizeClass,
                             table != nullptr ? table->records : nullptr, table != nullptr ? table->count : 0);
}

// The result of a message that sends to several peers: CORE_OK when any
// send succeeded, else the last send's result, CORE_DONE when none was made.
struct SendTally {
    bool any = false;
    bool succeeded = false;
    CoreResult last = CORE_DONE;

    void add(CoreResult r)
    {
        any = true;
        last = r;
        if (r == CORE_OK) succeeded = true;
    }
    CoreResult result() const { return succeeded ? CORE_OK : any ? last : CORE_DONE; }
};

// Calls fn(peer) for every live peer entry that matches desc; fn returns
// false to stop the walk.
template <typename Fn>
void for_matching_peers(EngineBindingService *service, const EngineMediaDesc &desc, Fn fn)
{
    for (CoreStoreItem *item = core_store_next(service->peers, nullptr, 1); item != nullptr;
         item = core_store_next(service->peers, item, 1)) {
        EngineBindingPeer *peer = peer_of(item);
        if (!engine_binding_peer_matches(peer, &desc)) continue;
        if (!fn(peer)) {
            // Left early: the walk's reference is ours to give back.
            core_store_unref(service->peers);
            return;
        }
    }
}

// ---- store items ----

int mark_init(CoreStore *, CoreStoreItem *item, void *arg, void **)
{
    if (arg == nullptr) return -1;
    EngineBindingMark *mark = mark_of(item);
    memcpy(&mark->desc, arg, sizeof(EngineMediaDesc));
    mark->expiresAt.store(0);
    return 0;
}

int offer_init(CoreStore *, CoreStoreItem *item, void *arg, void **)
{
    if (arg == nullptr) return -1;
    EngineBindingOffer *offer = offer_of(item);
    offer->table = engine_stream_table_clone(static_cast<const EngineStreamTable *>(arg));
    return offer->table != nullptr ? 0 : -1;
}

void offer_fini(CoreStore *, CoreStoreItem *item, void **)
{
    EngineBindingOffer *offer = offer_of(item);
    cancel_task(offer->requestTask.exchange(0));
    if (offer->table != nullptr) {
        // Without a node its pool, and the table with it, is gone already.
        if (EngineNode *node = engine_node_running()) {
            void *block = offer->table;
            core_pool_free(node->pool, &block);
        }
        offer->table = nullptr;
    }
}

// The peer of a session that this node reached with the peer's stream keys
// numbers its offers from the keyed value. The sender made for the
// established event may not see that same event, so the entry applies it.
void start_keyed_sequence(uint64_t sender)
{
    auto *s = static_cast<EngineSender *>(core_handle_acquire(streams_table(), sender));
    if (s == nullptr) return;
    uint64_t expected = ENGINE_SENDER_SEQUENCE_FIRST;
    s->sequence.compare_exchange_strong(expected, ENGINE_SENDER_SEQUENCE_KEYED);
    core_handle_release(streams_table(), sender);
}

// Makes ENGINE_CTL_PEER_UNBIND of `kind` for every mark of the store.
void unbind_marks(EngineBindingService *service, CoreStore *marks, uint32_t kind)
{
    for (CoreStoreItem *item = core_store_next(marks, nullptr, 1); item != nullptr;
         item = core_store_next(marks, item, 1))
        engine_notify_unbind(&service->controlService, kind, &mark_of(item)->desc);
}

void session_up(EngineBindingService *service, const FlowmeshSessionEvent *e)
{
    uint32_t version = e->info->peer_value;
    CoreStoreItem *item = nullptr;
    const CoreResult r = core_store_insert(service->peers, &e->session, &e->peer_node, &version, &item, 1);
    if (r != CORE_OK && r != CORE_EXISTS) {
        core_log(CORE_LOG_WARN, "engine", "binding: no peer entry for session %s (%d)", e->session.text, r);
        return;
    }
    EngineBindingPeer *peer = peer_of(item);
    peer->peerVersion.store(version);
    if (e->info->key_role == 1) start_keyed_sequence(peer->sender);
    FlowmeshStreamParams params = {};
    params.send_buffer = ENGINE_BINDING_STREAM_BYTES;
    params.receive_buffer = ENGINE_BINDING_STREAM_BYTES;
    params.kind.kind = FLOWMESH_STREAM_RELIABLE;
    params.kind.class_word = ENGINE_BINDING_STREAM_FLAGS;
    params.kind.stream_name = core_name_of(ENGINE_STREAM_BIND);
    const CoreResult opened = flowmesh_session_open_stream(&e->session, &params);
    core_store_unref(service->peers);
    if (opened < 0) {
        core_log(CORE_LOG_WARN, "engine", "binding: stream of session %s not opened (%d)", e->session.text, opened);
        core_store_remove(service->peers, e->session.key);
    }
}

void session_down(EngineBindingService *service, const CoreName &session)
{
    CoreStoreItem *item = lookup(service->peers, session);
    if (item == nullptr) return;
    EngineBindingPeer *peer = peer_of(item);
    unbind_marks(service, peer->answered, ENGINE_BIND_KIND_ANSWERER);
    unbind_marks(service, peer->requested, ENGINE_BIND_KIND_REQUESTER);
    core_store_unref(service->peers);
    core_store_remove(service->peers, session.key);
}

// ---- binding messages ----

// Starts the request task of one peer's offer; false when it could not be
// scheduled.
bool start_request(EngineBindingService *service, EngineBindingPeer *peer, EngineBindingOffer *offer,
                   const EngineMediaDesc &binding, const char *sourceName)
{
    // A task still repeating an earlier request of this channel would go on
    // beside the new one, unowned.
    cancel_task(offer->requestTask.exchange(0));
    core_store_lock(peer->offers);
    offer->deadline = core_clock_mono_ms() + ENGINE_BINDING_REQUEST_DEADLINE_MS;
    offer->desc = binding;
    copy_source_name(offer->sourceName, sourceName);
    core_store_unlock(peer->offers);
    const CoreTaskCallback callback = {engine_binding_request_task, {service, nullptr}};
    // Scheduled a period ahead, so that it cannot run before its id is
    // stored; then made due at once.
    const uint64_t task = core_executor_schedule(&service->executor, &peer->session, &binding.channel,
                                                 ENGINE_BINDING_REQUEST_PERIOD_MS, &callback);
    if (task == 0) return false;
    offer->requestTask.store(task);
    core_executor_trigger(&service->executor, task, 0);
    return true;
}

CoreResult end_binding(EngineBindingService *service, const EngineBindRecord *record, uint32_t kind)
{
    if (service == nullptr || record == nullptr) return CORE_ERR_INVALID;
    const EngineMediaDesc &desc = record->desc;
    if (core_name_is_empty(&desc.channel) || (core_name_is_empty(&desc.peerNode) && core_name_is_empty(&desc.session)))
        return CORE_ERR_INVALID;
    SendTally tally;
    for_matching_peers(service, desc, [&](EngineBindingPeer *peer) {
        engine_binding_peer_release(peer, &desc);
        tally.add(send_offer(peer, kind, desc, nullptr, ENGINE_OFFER_NO_CLASS, nullptr));
        return true;
    });
    return tally.result();
}

// Replaces the table stored under the channel.
CoreResult replace_table(CoreStore *store, const CoreName &channel, const EngineStreamTable *table)
{
    core_store_remove(store, channel.key);
    auto *argument = const_cast<EngineStreamTable *>(table);
    const CoreResult r = core_store_insert(store, &channel, nullptr, argument, nullptr, 0);
    return r == CORE_OK ? CORE_OK : CORE_ERR;
}

CoreResult publish(EngineBindingService *service, bool offer, const EngineMediaDesc &desc,
                   const EngineStreamTable *table)
{
    if (core_name_is_empty(&desc.session) && core_name_is_empty(&desc.peerNode))
        return replace_table(offer ? service->offers : service->answers, desc.channel, table);
    CoreResult result = CORE_OK;
    for_matching_peers(service, desc, [&](EngineBindingPeer *peer) {
        result = replace_table(offer ? peer->offers : peer->answers, desc.channel, table);
        return result == CORE_OK;
    });
    return result;
}

CoreResult update_streams(EngineBindingService *service, const EngineMediaDesc &desc, const EngineStreamTable *table)
{
    uint32_t size_class = 0;
    if (engine_binding_size_class(service, &desc.channel, &size_class) != CORE_OK) return CORE_ERR;
    if (core_name_is_empty(&desc.session) && core_name_is_empty(&desc.peerNode)) return CORE_ERR;
    CoreResult result = CORE_OK;
    for_matching_peers(service, desc, [&](EngineBindingPeer *peer) {
        if (send_offer(peer, ENGINE_OFFER_UPDATE, desc, nullptr, size_class, table) != CORE_OK) result = CORE_ERR;
        return result == CORE_OK;
    });
    return result;
}

// The table a node-service request carries, when its count fits the bytes
// given; NULL otherwise.
const EngineStreamTable *checked_table(const void *in, uint64_t in_len)
{
    if (in == nullptr || in_len < sizeof(EngineStreamTable)) return nullptr;
    uint64_t count = 0;
    memcpy(&count, in, sizeof(count));
    const uint64_t size = engine_stream_table_size(count);
    if (size == 0 || size > in_len) return nullptr;
    return static_cast<const EngineStreamTable *>(in);
}

void handle_command(EngineBindingService *service, const CoreQueueEntry &message)
{
    if (message.data == nullptr || message.length < sizeof(EngineBindRecord)) return;
    EngineBindRecord record;
    memcpy(&record, message.data, sizeof(record));
    CoreResult result = CORE_OK;
    switch (message.flags) {
    case ENGINE_MSG_BIND_REQUEST: result = engine_binding_request(service, &record); break;
    case ENGINE_MSG_BIND_ACCEPT: result = engine_binding_accept(service, &record); break;
    case ENGINE_MSG_UNBIND: engine_binding_unbind(service, &record); return;
    case ENGINE_MSG_BIND_REJECT: engine_binding_reject(service, &record); return;
    case ENGINE_MSG_BROADCAST_OPEN: engine_binding_broadcast_open(service, &record); return;
    case ENGINE_MSG_BROADCAST_CLOSE: engine_binding_broadcast_close(service, &record); return;
    default: return;
    }
    // The engine learns that the binding it started did not get under way.
    if (result != CORE_OK) engine_notify_unbind(&service->controlService, record.kind, &record.desc);
}

void handle_record(EngineBindingService *service, const CoreQueueEntry &message)
{
    if (engine_offer_read(message.data, message.length, nullptr) != CORE_OK) {
        service->offersDropped.fetch_add(1);
        core_log(CORE_LOG_WARN, "engine", "binding: record of %llu bytes from session %s is no offer; dropped",
                 static_cast<unsigned long long>(message.length), message.name.text);
        return;
    }
    CoreStoreItem *item = lookup(service->peers, message.name);
    if (item == nullptr) return;  // the peer has gone: nobody to answer
    if (service->onOffer != nullptr)
        service->onOffer(service, peer_of(item), static_cast<const EngineCodecOffer *>(message.data), message.length);
    core_store_unref(service->peers);
}

}  // namespace

// ---- helpers ----

CoreResult engine_binding_size_class(const EngineBindingService *service, const CoreName *channel, uint32_t *out)
{
    if (service == nullptr || channel == nullptr) return CORE_ERR;
    uint32_t value = 0;
    if (engine_p2p_binder_index(channel) != ENGINE_BINDER_INDEX_NONE)
        value = service->p2pClass;
    else if (engine_p2m_binder_index(channel) != ENGINE_BINDER_INDEX_NONE)
        value = service->videoSizeClass;
    else
        return CORE_ERR;
    if (out != nullptr) *out = value;
    return CORE_OK;
}

bool engine_binding_peer_matches(const EngineBindingPeer *peer, const EngineMediaDesc *desc)
{
    if (peer == nullptr || desc == nullptr) return false;
    if (!core_name_is_empty(&desc->session) && !same_key(desc->session, peer->session)) return false;
    if (!core_name_is_empty(&desc->peerNode) && !same_key(desc->peerNode, peer->peerNode)) return false;
    return true;
}

CoreResult engine_binding_requested_mark(EngineBindingPeer *peer, const EngineMediaDesc *desc, int insert)
{
    if (peer == nullptr || desc == nullptr) return CORE_ERR;
    if (core_store_remove(peer->requested, desc->bindSequence.key) == CORE_OK) return insert ? CORE_DONE : CORE_OK;
    if (!insert) return CORE_ERR_NOT_FOUND;
    const CoreResult r = core_store_insert(peer->requested, &desc->bindSequence, nullptr,
                                           const_cast<EngineMediaDesc *>(desc), nullptr, 0);
    return r == CORE_OK || r == CORE_EXISTS ? CORE_OK : CORE_ERR;
}

CoreResult engine_binding_cancel_request(EngineBindingPeer *peer, const CoreName *channel)
{
    if (peer == nullptr || channel == nullptr) return CORE_DONE;
    CoreStoreItem *item = lookup(peer->offers, *channel);
    if (item == nullptr) return CORE_DONE;
    const uint64_t task = offer_of(item)->requestTask.exchange(0);
    core_store_unref(peer->offers);
    return cancel_task(task);
}

void engine_binding_peer_release(EngineBindingPeer *peer, const EngineMediaDesc *desc)
{
    if (peer == nullptr || desc == nullptr) return;
    engine_binding_requested_mark(peer, desc, 0);
    if (CoreStoreItem *item = lookup(peer->answered, desc->bindSequence)) {
        uint64_t none = 0;
        mark_of(item)->expiresAt.compare_exchange_strong(none,
                                                          core_clock_mono_ms() + ENGINE_BINDING_ANSWERED_HOLD_MS);
        core_store_unref(peer->answered);
    }
    engine_binding_cancel_request(peer, &desc->channel);
}

// ---- peer entries ----

int engine_binding_peer_init(CoreStore *, CoreStoreItem *item, void *arg, void **user)
{
    auto *service = static_cast<EngineBindingService *>(*user);
    EngineBindingPeer *peer = peer_of(item);
    if (service == nullptr) return -1;
    peer->service = service;
    peer->session = item->key;
    peer->peerNode = item->ref;
    peer->peerVersion.store(arg != nullptr ? *static_cast<const uint32_t *>(arg) : 0);
    peer->answered = make_store(sizeof(EngineBindingMark), mark_init, nullptr, nullptr);
    peer->requested = make_store(sizeof(EngineBindingMark), mark_init, nullptr, nullptr);
    peer->offers = make_store(sizeof(EngineBindingOffer), offer_init, offer_fini, nullptr);
    peer->answers = make_store(sizeof(EngineBindingOffer), offer_init, offer_fini, nullptr);
    if (peer->answered == nullptr || peer->requested == nullptr || peer->offers == nullptr || peer->answers == nullptr)
        return -1;

    EngineSenderConfig sc = {};
    sc.retryPause = ENGINE_BINDING_RETRY_PAUSE_MS;
    sc.executor = service->executor;
    sc.session = peer->session;
    sc.stream = core_name_of(ENGINE_STREAM_BIND);
    peer->sender = engine_sender_create(&sc);
    if (peer->sender == 0) return -1;

    EngineReceiverConfig rc = {};
    rc.onRecord = engine_binding_on_stream_data;
    rc.user = service;
    // A private, bounded pool: see ENGINE_BINDING_READER_POOL_SIZE.
    rc.poolSize = ENGINE_BINDING_READER_POOL_SIZE;
    rc.executor = service->executor;
    rc.session = peer->session;
    rc.stream = core_name_of(ENGINE_STREAM_BIND);
    peer->receiver = engine_receiver_create(&rc);
    if (peer->receiver == 0) return -1;

    post_stream_event(ENGINE_EVT_BIND_STREAM_OPENED, peer);
    peer->opened = 1;
    return 0;
}

void engine_binding_peer_fini(CoreStore *, CoreStoreItem *item, void **)
{
    EngineBindingPeer *peer = peer_of(item);
    // Only a complete entry was announced; a refused one is undone here
    // under its store's lock on a network thread, where nothing may wait.
    const bool complete = peer->opened != 0;
    if (complete) post_stream_event(ENGINE_EVT_BIND_STREAM_CLOSED, peer);
    if (peer->receiver != 0) {
        core_handle_release(streams_table(), peer->receiver);
        // Once freed, no record of this peer can reach the service's queue.
        if (complete) core_handle_wait_freed(streams_table(), peer->receiver);
        peer->receiver = 0;
    }
    if (peer->sender != 0) {
        core_handle_release(streams_table(), peer->sender);
        peer->sender = 0;
    }
    if (peer->answers != nullptr) core_store_destroy(&peer->answers);
    if (peer->offers != nullptr) core_store_destroy(&peer->offers);
    if (peer->requested != nullptr) core_store_destroy(&peer->requested);
    if (peer->answered != nullptr) core_store_destroy(&peer->answered);
    peer->opened = 0;
}

// ---- network callbacks ----

int engine_binding_on_session(void *record, FlowmeshStreamAnswer *)
{
    auto *e = static_cast<FlowmeshSessionEvent *>(record);
    if (e == nullptr) return 0;
    EngineBindingService *service = service_of(e->user);
    if (service == nullptr || e->zero != 0 || e->info == nullptr) return 0;
    if (e->info->state == FLOWMESH_SESSION_UP)
        session_up(service, e);
    else if (e->info->state == FLOWMESH_SESSION_DOWN)
        session_down(service, e->session);
    return 0;
}

int engine_binding_on_stream_request(void *record, FlowmeshStreamAnswer *answer)
{
    auto *request = static_cast<FlowmeshStreamRequest *>(record);
    if (request == nullptr || answer == nullptr) return 0;
    const uint32_t flags = request->kind.class_word;
    if (!(flags & ENGINE_BINDING_STREAM_FLAGS) || (flags & 0xFF00u) != 0) return 0;
    answer->send_buffer = ENGINE_BINDING_STREAM_BYTES;
    answer->receive_buffer = ENGINE_BINDING_STREAM_BYTES;
    answer->kind_bits = FLOWMESH_STREAM_RELIABLE;
    return 1;
}

int engine_binding_on_stream_data(const CoreName *session, const CoreName *, const void *data, uint64_t length,
                                  void *user)
{
    auto *service = static_cast<EngineBindingService *>(user);
    if (service == nullptr || session == nullptr) return 0;
    const CoreIoVec piece = {length, data};
    std::lock_guard<std::mutex> guard(service->queueLock);
    if (service->queue == nullptr) return 0;  // the service is going
    if (core_queue_post(service->queue, session, ENGINE_BINDING_QUEUE_RECORD, 0, &piece, 1) == 0) return 0;
    // Out of memory: the receiver keeps the record and offers it again.
    return 1;
}

CoreResult engine_binding_on_command(const CoreQueueEntry *message, void **user)
{
    auto *service = static_cast<EngineBindingService *>(user[0]);
    if (service == nullptr || message == nullptr) return CORE_OK;
    if (message->type < ENGINE_MSG_BIND_REQUEST || message->type > ENGINE_MSG_BROADCAST_CLOSE) return CORE_OK;
    if (message->data == nullptr || message->length < sizeof(EngineBindRecord)) {
        service->commandsDropped.fetch_add(1);
        core_log(CORE_LOG_WARN, "engine", "binding: message 0x%X with %llu bytes dropped", message->type,
                 static_cast<unsigned long long>(message->length));
        return CORE_OK;
    }
    const CoreIoVec piece = {sizeof(EngineBindRecord), message->data};
    std::lock_guard<std::mutex> guard(service->queueLock);
    if (service->queue == nullptr ||
        core_queue_post(service->queue, &message->name, ENGINE_BINDING_QUEUE_COMMAND, message->type, &piece, 1) != 0) {
        service->commandsDropped.fetch_add(1);
        core_log(CORE_LOG_WARN, "engine", "binding: message 0x%X not queued", message->type);
    }
    return CORE_OK;
}

int engine_binding_on_message(CoreQueueEntry *entries, uint64_t *count, void **user)
{
    if (count != nullptr) *count = 1;
    auto *service = static_cast<EngineBindingService *>(user[0]);
    if (service == nullptr || entries == nullptr) return CORE_OK;
    if (entries[0].type == ENGINE_BINDING_QUEUE_COMMAND)
        handle_command(service, entries[0]);
    else if (entries[0].type == ENGINE_BINDING_QUEUE_RECORD)
        handle_record(service, entries[0]);
    return CORE_OK;
}

CoreResult engine_binding_on_node_request(uint32_t code, const void *in, uint64_t in_len, void *out,
                                          uint64_t *out_len, void **user)
{
    if (code != ENGINE_SVC_SET_OFFER && code != ENGINE_SVC_SET_ANSWER && code != ENGINE_SVC_UPDATE_STREAMS)
        return CORE_NOT_MINE;
    auto *service = static_cast<EngineBindingService *>(user[0]);
    if (service == nullptr) return CORE_ERR;
    const EngineStreamTable *table = checked_table(in, in_len);
    if (table == nullptr || out == nullptr || out_len == nullptr || *out_len < sizeof(EngineMediaDesc))
        return CORE_ERR_INVALID;
    EngineMediaDesc desc;
    memcpy(&desc, out, sizeof(desc));
    if (code == ENGINE_SVC_UPDATE_STREAMS) return update_streams(service, desc, table);
    if (core_name_is_empty(&desc.channel)) return CORE_ERR_INVALID;
    return publish(service, code == ENGINE_SVC_SET_OFFER, desc, table);
}

// ---- binding messages ----

CoreResult engine_binding_request(EngineBindingService *service, const EngineBindRecord *record)
{
    if (service == nullptr || record == nullptr) return CORE_ERR_INVALID;
    const EngineMediaDesc &desc = record->desc;
    if (core_name_is_empty(&desc.channel)) return CORE_ERR_INVALID;
    if (engine_binding_size_class(service, &desc.channel, nullptr) != CORE_OK ||
        !(service->binderDirection & ENGINE_DIRECTION_OUTGOING))
        return CORE_ERR;
    if (core_name_is_empty(&desc.peerNode) && core_name_is_empty(&desc.session)) return CORE_ERR_INVALID;
    bool started = false;
    for_matching_peers(service, desc, [&](EngineBindingPeer *peer) {
        EngineMediaDesc binding;
        engine_media_desc_make(&binding, &desc.channel, &peer->peerNode, &peer->session, &desc.bindSequence);
        CoreStoreItem *item = lookup(peer->offers, desc.channel);
        engine_binding_requested_mark(peer, &binding, 1);
        if (item != nullptr) {
            if (start_request(service, peer, offer_of(item), binding, record->sourceName)) started = true;
            core_store_unref(peer->offers);
        }
        return true;
    });
    return started ? CORE_OK : CORE_DONE;
}

int engine_binding_request_task(const CoreName *executor, uint64_t task, const CoreName *session,
                                const CoreName *channel, void **user)
{
    auto *service = static_cast<EngineBindingService *>(user[0]);
    CoreStoreItem *peer_item = lookup(service->peers, *session);
    if (peer_item == nullptr) return CORE_ERR;
    EngineBindingPeer *peer = peer_of(peer_item);
    CoreStoreItem *offer_item = lookup(peer->offers, *channel);
    if (offer_item == nullptr) {
        core_store_unref(service->peers);
        return CORE_ERR;
    }
    EngineBindingOffer *offer = offer_of(offer_item);
    // Only the task itself may take its id back here: whoever cancels it
    // has taken the id already.
    auto finish = [&](int result) {
        uint64_t own = task;
        offer->requestTask.compare_exchange_strong(own, 0);
        return result;
    };

    int result = CORE_OK;
    uint32_t size_class = 0;
    if (engine_binding_size_class(service, channel, &size_class) != CORE_OK) {
        result = finish(CORE_ERR);
    } else {
        EngineMediaDesc desc;
        char source[ENGINE_SOURCE_NAME_SIZE];
        core_store_lock(peer->offers);
        desc = offer->desc;
        memcpy(source, offer->sourceName, sizeof(source));
        const uint64_t deadline = offer->deadline;
        core_store_unlock(peer->offers);

        const CoreResult sent = send_offer(peer, ENGINE_OFFER_REQUEST, desc, source, size_class, offer->table);
        if (sent != CORE_OK) {
            result = finish(sent);
        } else if (core_clock_mono_ms() > deadline) {
            // The peer never answered: the binding did not get under way.
            engine_notify_unbind(&service->controlService, ENGINE_BIND_KIND_NONE, &desc);
            send_offer(peer, ENGINE_OFFER_UNBIND, desc, nullptr, ENGINE_OFFER_NO_CLASS, nullptr);
            result = finish(CORE_DONE);
        } else {
            core_executor_trigger(executor, task, ENGINE_BINDING_REQUEST_PERIOD_MS);
        }
    }
    core_store_unref(peer->offers);
    core_store_unref(service->peers);
    return result;
}

CoreResult engine_binding_accept(EngineBindingService *service, const EngineBindRecord *record)
{
    if (service == nullptr || record == nullptr) return CORE_ERR_INVALID;
    const EngineMediaDesc &desc = record->desc;
    if (core_name_is_empty(&desc.channel)) return CORE_ERR_INVALID;
    uint32_t size_class = 0;
    if (engine_binding_size_class(service, &desc.channel, &size_class) != CORE_OK) return CORE_ERR;
    if (core_name_is_empty(&desc.peerNode) || core_name_is_empty(&desc.session)) return CORE_ERR;
    SendTally tally;
    for_matching_peers(service, desc, [&](EngineBindingPeer *peer) {
        if (CoreStoreItem *item = lookup(peer->answers, desc.channel)) {
            tally.add(send_offer(peer, ENGINE_OFFER_ACCEPT, desc, record->sourceName, size_class,
                                 offer_of(item)->table));
            core_store_unref(peer->answers);
        }
        return true;
    });
    return tally.result();
}

CoreResult engine_binding_unbind(EngineBindingService *service, const EngineBindRecord *record)
{
    return end_binding(service, record, ENGINE_OFFER_UNBIND);
}

CoreResult engine_binding_reject(EngineBindingService *service, const EngineBindRecord *record)
{
    return end_binding(service, record, ENGINE_OFFER_REJECT);
}

CoreResult engine_binding_broadcast_open(EngineBindingService *service, const EngineBindRecord *record)
{
    if (service == nullptr || record == nullptr) return CORE_ERR_INVALID;
    const EngineMediaDesc &desc = record->desc;
    if (core_name_is_empty(&desc.channel)) return CORE_ERR_INVALID;
    uint32_t size_class = 0;
    if (engine_binding_size_class(service, &desc.channel, &size_class) != CORE_OK) return CORE_ERR;
    CoreStoreItem *item = lookup(service->offers, desc.channel);
    if (item == nullptr) return CORE_DONE;
    const EngineStreamTable *table = offer_of(item)->table;
    SendTally tally;
    for_matching_peers(service, desc, [&](EngineBindingPeer *peer) {
        tally.add(send_offer(peer, ENGINE_OFFER_BROADCAST_OPEN, desc, record->sourceName, size_class, table));
        return true;
    });
    core_store_unref(service->offers);
    return tally.result();
}

CoreResult engine_binding_broadcast_close(EngineBindingService *service, const EngineBindRecord *record)
{
    if (service == nullptr || record == nullptr) return CORE_ERR_INVALID;
    const EngineMediaDesc &desc = record->desc;
    if (core_name_is_empty(&desc.channel)) return CORE_ERR_INVALID;
    uint32_t size_class = 0;
    if (engine_binding_size_class(service, &desc.channel, &size_class) != CORE_OK) return CORE_ERR;
    SendTally tally;
    for_matching_peers(service, desc, [&](EngineBindingPeer *peer) {
        tally.add(send_offer(peer, ENGINE_OFFER_BROADCAST_CLOSE, desc, record->sourceName, size_class, nullptr));
        return true;
    });
    return tally.result();
}

// ---- the service ----

EngineBindingService *engine_binding_service_create(const EngineBindingParams *params)
{
    if (params == nullptr || params->binderDirection == 0) return nullptr;
    void *block = nullptr;
    if (posix_memalign(&block, 64, sizeof(EngineBindingService)) != 0) return nullptr;
    memset(block, 0, sizeof(EngineBindingService));
    auto *service = new (block) EngineBindingService();
    service->executor = core_name_of(CORE_DEFAULT_EXECUTOR);
    service->commandTopic = core_name_of(ENGINE_COMMAND_TOPIC);
    service->controlService = core_name_of(ENGINE_CONTROL_SERVICE);
    service->nodeService = core_name_of(ENGINE_NODE_SERVICE);
    service->binderDirection = params->binderDirection;
    service->sendRoles = params->sendRoles;
    service->receiveRoles = params->receiveRoles;
    service->p2pClass = params->p2pClass;
    service->videoSizeClass = params->videoSizeClass;
    service->onOffer = params->onOffer;

    service->peers = make_store(sizeof(EngineBindingPeer), engine_binding_peer_init, engine_binding_peer_fini, service);
    service->offers = make_store(sizeof(EngineBindingOffer), offer_init, offer_fini, nullptr);
    service->answers = make_store(sizeof(EngineBindingOffer), offer_init, offer_fini, nullptr);
    bool ok = service->peers != nullptr && service->offers != nullptr && service->answers != nullptr;
    if (ok) {
        // The queue exists before anything can post to it: a message that
        // arrived earlier would be lost.
        CoreQueueConfig qc = {};
        qc.batch = 1;
        qc.pause_ms = 100;
        qc.executor = service->executor;
        qc.consumer = engine_binding_on_message;
        qc.user[0] = service;
        service->queue = core_queue_create(&qc);
        ok = service->queue != nullptr;
    }
    if (ok) {
        const CoreNotifySubscription subscription = {engine_binding_on_node_request, {service, nullptr}};
        service->nodeServiceKey = core_notify_subscribe(&service->nodeService, &subscription);
        ok = service->nodeServiceKey != 0;
    }
    if (ok) {
        const uint64_t self = reinterpret_cast<uintptr_t>(service);
        const FlowmeshCallbacks request = {engine_binding_on_stream_request, {self, 0}};
        service->requestToken = flowmesh_register_request_callbacks(&request);
        const FlowmeshCallbacks session = {engine_binding_on_session, {self, 0}};
        service->sessionToken = flowmesh_register_session_callbacks(&session);
        ok = service->requestToken != 0 && service->sessionToken != 0;
    }
    if (ok) {
        const CoreTopicSubscription subscription = {engine_binding_on_command, {service, nullptr}};
        service->commandKey = core_topic_subscribe(&service->commandTopic, &subscription);
        ok = service->commandKey != 0;
    }
    if (!ok) engine_binding_service_destroy(&service);
    return service;
}

void engine_binding_service_destroy(EngineBindingService **pointer)
{
    if (pointer == nullptr || *pointer == nullptr) return;
    EngineBindingService *service = *pointer;
    *pointer = nullptr;
    // Everything that posts to the queue stops first, so that nothing is
    // posted into a queue that is gone.
    if (service->commandKey != 0) core_topic_unsubscribe(&service->commandTopic, service->commandKey);
    if (service->nodeServiceKey != 0) core_notify_unsubscribe(&service->nodeService, service->nodeServiceKey);
    if (service->requestToken != 0) flowmesh_unregister_request_callbacks(service->requestToken);
    if (service->sessionToken != 0) {
        if (FlowmeshCore *core = flowmesh_core_acquire()) {
            flowmesh_unregister_callbacks(core->events, FLOWMESH_EVENTS_SESSION, service->sessionToken);
            flowmesh_core_release(core);
        }
    }
    {
        // Receivers still deliver until their peers go; they find no queue.
        std::lock_guard<std::mutex> guard(service->queueLock);
        if (service->queue != nullptr) core_queue_destroy(&service->queue);
    }
    if (service->peers != nullptr) core_store_destroy(&service->peers);
    if (service->answers != nullptr) core_store_destroy(&service->answers);
    if (service->offers != nullptr) core_store_destroy(&service->offers);
    service->~EngineBindingService();
    free(service);
}
