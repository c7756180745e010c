#include "engine/peers.h"

#include <cstring>
#include <new>

#include "core/clock.h"
#include "core/executor.h"
#include "core/log.h"
#include "core/pool.h"
#include "engine/codes.h"
#include "engine/presence.h"
#include "flowmesh/names.h"
#include "flowmesh/session.h"

namespace {

const char kModule[] = "presence";

uint32_t read_be32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

void write_be32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// Value bytes a property of that name may carry on the wire.
uint64_t value_limit(const uint8_t key[CORE_NAME_KEY_SIZE])
{
    return core_name_cmp_str(key, ENGINE_PROP_AVATAR) == 0 ? ENGINE_PROP_AVATAR_MAX : ENGINE_PROP_VALUE_MAX;
}

bool is_name(const CoreName *name, const char *text) { return core_name_cmp_str(name->key, text) == 0; }

// ---- lists ----

void list_push_back(EnginePresenceList *list, EnginePresenceItem *item)
{
    item->next = nullptr;
    CoreLockGuard guard(&list->lock);
    if (list->last != nullptr)
        list->last->next = item;
    else
        list->first = item;
    list->last = item;
}

// Puts a message that could not leave back where it was.
void list_push_front(EnginePresenceList *list, EnginePresenceItem *item)
{
    CoreLockGuard guard(&list->lock);
    item->next = list->first;
    list->first = item;
    if (list->last == nullptr) list->last = item;
}

EnginePresenceItem *list_pop_front(EnginePresenceList *list)
{
    CoreLockGuard guard(&list->lock);
    EnginePresenceItem *item = list->first;
    if (item == nullptr) return nullptr;
    list->first = item->next;
    if (list->first == nullptr) list->last = nullptr;
    item->next = nullptr;
    return item;
}

void list_free(EnginePresenceService *service, EnginePresenceList *list)
{
    while (EnginePresenceItem *item = list_pop_front(list)) engine_presence_message_free(service, item);
}

void trigger_send(EnginePresenceService *service, EnginePresencePeer *peer, int64_t delay_ms)
{
    if (peer->sendTask != 0) core_executor_trigger(&service->executorName, peer->sendTask, delay_ms);
}

void note_change(EnginePresenceService *service) { service->changes.fetch_add(1); }

// ---- store callbacks ----

struct PeerInit {
    const EnginePeerRecord *record;
    uint64_t peerWord;
    uint64_t identityTime;
};

// Runs under the store's lock: it makes the entry and parks its send task.
int engine_presence_peer_init(CoreStore *, CoreStoreItem *item, void *arg, void **user)
{
    auto *service = static_cast<EnginePresenceService *>(*user);
    const auto *init = static_cast<const PeerInit *>(arg);
    auto *peer = reinterpret_cast<EnginePresencePeer *>(item);
    const CoreStoreItem saved = *item;
    new (peer) EnginePresencePeer();
    *item = saved;
    peer->service = service;
    peer->record = *init->record;
    peer->peerWord = init->peerWord;
    peer->identityTime = init->identityTime;
    peer->phase = ENGINE_PEER_NEW;
    peer->deadline = core_clock_mono_ms() + ENGINE_PEER_DEADLINE_MS;
    CoreTaskCallback callback = {engine_presence_peer_send_task, {service, peer}};
    peer->sendTask = core_executor_schedule(&service->executorName, &peer->record.sessionName, nullptr,
                                            CORE_DUE_NEVER, &callback);
    if (peer->sendTask == 0) return 1;
    peer->flags.store(ENGINE_PEER_FOUND);
    note_change(service);
    return 0;
}

// Runs on the reclaimer once no reader holds the entry; the send task,
// which holds none, is cancelled and waited for before the memory goes.
void engine_presence_peer_fini(CoreStore *, CoreStoreItem *item, void **user)
{
    auto *service = static_cast<EnginePresenceService *>(*user);
    auto *peer = reinterpret_cast<EnginePresencePeer *>(item);
    if (peer->sendTask != 0) {
        core_executor_cancel_named(&service->executorName, peer->sendTask, 1);
        peer->sendTask = 0;
    }
    list_free(service, &peer->outgoing);
    list_free(service, &peer->inbound);
    peer->~EnginePresencePeer();
}

EnginePresencePeer *find_peer(EnginePresenceService *service, const CoreName *session)
{
    if (service->peers == nullptr || core_name_is_empty(session)) return nullptr;
    return reinterpret_cast<EnginePresencePeer *>(core_store_lookup(service->peers, session->key));
}

void release_peer(EnginePresenceService *service) { core_store_unref(service->peers); }

// Deletes the entry when it is still the live one of its session: a session
// that went down and came up again has a new entry under the same name,
// which must stay. The key is read under the lock because removal re-keys.
void remove_peer(EnginePresenceService *service, EnginePresencePeer *peer)
{
    const uint8_t *key = peer->record.sessionName.key;
    core_store_lock(service->peers);
    CoreStoreItem *found = core_store_find(service->peers, key);
    if (found == &peer->header && !(found->state & CORE_ITEM_DELETED)) core_store_remove(service->peers, key);
    core_store_unlock(service->peers);
}

uint32_t stream_bit(const CoreName *stream)
{
    if (is_name(stream, ENGINE_STREAM_BIND)) return ENGINE_PEER_STREAM_BIND;
    if (is_name(stream, ENGINE_STREAM_MESSAGES)) return ENGINE_PEER_STREAM_MESSAGES;
    if (is_name(stream, ENGINE_STREAM_FILES)) return ENGINE_PEER_STREAM_FILES;
    return 0;
}

// A message (kind, name, value) in a fresh list node; NULL when memory is
// short or the message breaks its rule.
EnginePresenceItem *make_message(EnginePresenceService *service, uint32_t kind,
                                 const uint8_t nameKey[CORE_NAME_KEY_SIZE], const void *value, uint64_t length)
{
    const uint64_t size = engine_presence_message_size(kind, length);
    if (size == 0) return nullptr;
    EnginePresenceItem *item = engine_presence_message_alloc(service, size);
    if (item == nullptr) return nullptr;
    if (engine_presence_message_write(kind, nameKey, value, length, item->data, size) != size) {
        engine_presence_message_free(service, item);
        return nullptr;
    }
    return item;
}

bool queue_marker(EnginePresenceService *service, EnginePresencePeer *peer, uint32_t kind)
{
    EnginePresenceItem *item = make_message(service, kind, nullptr, nullptr, 0);
    if (item == nullptr) return false;
    list_push_back(&peer->outgoing, item);
    trigger_send(service, peer, 0);
    return true;
}

}  // namespace

// ---- presence messages ----

uint64_t engine_presence_message_size(uint32_t kind, uint64_t valueLength)
{
    switch (kind) {
    case ENGINE_PRESENCE_PROPERTY:
        return valueLength <= ENGINE_PROP_AVATAR_MAX ? ENGINE_PRESENCE_PROPERTY_HEAD + valueLength : 0;
    case ENGINE_PRESENCE_END_OF_PROPERTIES:
    case ENGINE_PRESENCE_READY: return ENGINE_PRESENCE_MARKER_SIZE;
    default: return 0;
    }
}

uint64_t engine_presence_message_write(uint32_t kind, const uint8_t nameKey[CORE_NAME_KEY_SIZE], const void *value,
                                       uint64_t valueLength, uint8_t *out, uint64_t capacity)
{
    if (out == nullptr) return 0;
    if (kind == ENGINE_PRESENCE_PROPERTY) {
        if (nameKey == nullptr || valueLength > value_limit(nameKey) || (valueLength > 0 && value == nullptr))
            return 0;
    }
    const uint64_t size = engine_presence_message_size(kind, valueLength);
    if (size == 0 || size > capacity) return 0;
    write_be32(out, static_cast<uint32_t>(size));
    write_be32(out + 4, kind);
    if (kind == ENGINE_PRESENCE_PROPERTY) {
        memcpy(out + 8, nameKey, CORE_NAME_KEY_SIZE);
        if (valueLength > 0) memcpy(out + ENGINE_PRESENCE_PROPERTY_HEAD, value, valueLength);
    } else {
        write_be32(out + 8, 0);
    }
    return size;
}

CoreResult engine_presence_message_parse(const void *data, uint64_t size, EnginePresenceMessage *out)
{
    if (data == nullptr || out == nullptr || size < 8) return CORE_ERR_INVALID;
    const auto *p = static_cast<const uint8_t *>(data);
    EnginePresenceMessage m = {};
    m.length = read_be32(p);
    m.kind = read_be32(p + 4);
    if (m.length < 8 || m.length > size) return CORE_ERR_INVALID;
    switch (m.kind) {
    case ENGINE_PRESENCE_PROPERTY:
        if (m.length < ENGINE_PRESENCE_PROPERTY_HEAD) return CORE_ERR_INVALID;
        m.nameKey = p + 8;
        m.valueLength = m.length - ENGINE_PRESENCE_PROPERTY_HEAD;
        if (m.valueLength > value_limit(m.nameKey)) return CORE_ERR_INVALID;
        m.value = p + ENGINE_PRESENCE_PROPERTY_HEAD;
        break;
    case ENGINE_PRESENCE_END_OF_PROPERTIES:
    case ENGINE_PRESENCE_READY:
        if (m.length != ENGINE_PRESENCE_MARKER_SIZE) return CORE_ERR_INVALID;
        break;
    default:
        *out = m;
        return CORE_NOT_MINE;
    }
    *out = m;
    return CORE_OK;
}

// ---- the peer table ----

CoreStore *engine_presence_peers_create(EnginePresenceService *service)
{
    if (service == nullptr) return nullptr;
    CoreStoreConfig config = {};
    config.item_size = sizeof(EnginePresencePeer);
    config.key_kind = CORE_KEY_EXPLICIT;
    config.create = engine_presence_peer_init;
    config.destroy = engine_presence_peer_fini;
    core_name_format(&config.pool, "%s", CORE_DEFAULT_POOL);
    config.executor = service->executorName;
    config.flags = CORE_STORE_TREE;
    config.user = service;
    return core_store_create(&config);
}

bool engine_presence_peer_ready(const EnginePresenceService *service, const EnginePresencePeer *peer)
{
    const uint32_t wanted = ENGINE_PEER_FOUND | ENGINE_PEER_PROPERTIES_RECEIVED | service->requiredStreams;
    return (peer->flags.load() & wanted) == wanted;
}

EnginePresenceItem *engine_presence_message_alloc(EnginePresenceService *service, uint64_t size)
{
    if (service == nullptr || service->pool == nullptr || size > UINT64_MAX - sizeof(EnginePresenceItem))
        return nullptr;
    auto *item = static_cast<EnginePresenceItem *>(core_pool_alloc(service->pool, sizeof(EnginePresenceItem) + size));
    if (item == nullptr) return nullptr;
    item->next = nullptr;
    item->length = size;
    item->data = reinterpret_cast<uint8_t *>(item + 1);
    return item;
}

void engine_presence_message_free(EnginePresenceService *service, EnginePresenceItem *item)
{
    if (item == nullptr) return;
    void *block = item;
    core_pool_free(service->pool, &block);
}

CoreResult engine_presence_queue_property(EnginePresenceService *service, EnginePresencePeer *peer,
                                          const uint8_t nameKey[CORE_NAME_KEY_SIZE], const void *value,
                                          uint64_t valueLength)
{
    if (service == nullptr || peer == nullptr || nameKey == nullptr) return CORE_ERR_INVALID;
    if (valueLength > value_limit(nameKey)) return CORE_ERR_INVALID;
    EnginePresenceItem *item = make_message(service, ENGINE_PRESENCE_PROPERTY, nameKey, value, valueLength);
    if (item == nullptr) return CORE_ERR;
    list_push_back(&peer->outgoing, item);
    trigger_send(service, peer, 0);
    return CORE_OK;
}

CoreResult engine_presence_send_full_state(EnginePresenceService *service, EnginePresencePeer *peer)
{
    if (service == nullptr || peer == nullptr) return CORE_ERR_INVALID;
    // Built aside and linked at once, so the peer never sees half a state.
    EnginePresenceItem *first = nullptr, *last = nullptr;
    bool ok = true;
    auto append = [&](EnginePresenceItem *item) {
        if (item == nullptr) {
            ok = false;
            return;
        }
        if (last != nullptr)
            last->next = item;
        else
            first = item;
        last = item;
    };
    if (EngineNode *node = engine_node_running()) {
        CoreLockGuard guard(node->lock);
        if (node->sealed != 0) {
            for (EngineNodePropertyEntry *e = node->first; e != nullptr && ok; e = e->next)
                append(make_message(service, ENGINE_PRESENCE_PROPERTY, e->name.key, e->value, e->length));
        }
    }
    if (ok) append(make_message(service, ENGINE_PRESENCE_END_OF_PROPERTIES, nullptr, nullptr, 0));
    if (!ok) {
        while (first != nullptr) {
            EnginePresenceItem *next = first->next;
            engine_presence_message_free(service, first);
            first = next;
        }
        return CORE_ERR;
    }
    {
        CoreLockGuard guard(&peer->outgoing.lock);
        if (peer->outgoing.last != nullptr)
            peer->outgoing.last->next = first;
        else
            peer->outgoing.first = first;
        peer->outgoing.last = last;
    }
    trigger_send(service, peer, 0);
    return CORE_OK;
}

CoreResult engine_presence_on_property(EnginePresenceService *service, EnginePresencePeer *peer,
                                       const EnginePresenceMessage *message)
{
    if (service == nullptr || peer == nullptr || message == nullptr || message->kind != ENGINE_PRESENCE_PROPERTY ||
        message->nameKey == nullptr)
        return CORE_ERR_INVALID;
    EnginePresenceItem *item = engine_presence_message_alloc(service, sizeof(EngineNodeProperty) + message->valueLength);
    if (item == nullptr) return CORE_ERR;
    EngineNodeProperty header = {};
    header.record = peer->record;
    memcpy(header.name.key, message->nameKey, CORE_NAME_KEY_SIZE);
    core_name_make(&header.name);
    header.length = message->valueLength;
    memcpy(item->data, &header, sizeof(header));
    if (message->valueLength > 0) memcpy(item->data + sizeof(header), message->value, message->valueLength);
    list_push_back(&peer->inbound, item);
    note_change(service);
    return CORE_OK;
}

void engine_presence_deliver_properties(EnginePresenceService *service, EnginePresencePeer *peer)
{
    static const uint64_t offline_length = strlen(ENGINE_STATUS_OFFLINE);
    while (EnginePresenceItem *item = list_pop_front(&peer->inbound)) {
        engine_post_event(ENGINE_EVT_PEER_PROPERTY, item->data, item->length);
        EngineNodeProperty header;
        memcpy(&header, item->data, sizeof(header));
        if (is_name(&header.name, ENGINE_PROP_STATUS) && header.length == offline_length &&
            memcmp(item->data + sizeof(header), ENGINE_STATUS_OFFLINE, offline_length) == 0) {
            peer->flags.fetch_and(~ENGINE_PEER_FOUND);
            note_change(service);
        }
        engine_presence_message_free(service, item);
    }
}

int engine_presence_peer_lost(EnginePresenceService *service, EnginePresencePeer *peer)
{
    const uint32_t before = peer->flags.fetch_and(~ENGINE_PEER_ANNOUNCED);
    note_change(service);
    if (!(before & ENGINE_PEER_ANNOUNCED)) return 1;
    engine_post_event(ENGINE_EVT_PEER_LOST, &peer->record, sizeof(peer->record));
    return 0;
}

void engine_presence_stream_opened(EnginePresenceService *service, const CoreName *session, const CoreName *stream)
{
    if (service == nullptr || session == nullptr || stream == nullptr) return;
    const uint32_t bit = stream_bit(stream);
    if (bit == 0) return;
    EnginePresencePeer *peer = find_peer(service, session);
    if (peer == nullptr) return;
    peer->flags.fetch_or(bit);
    note_change(service);
    release_peer(service);
}

void engine_presence_stream_closed(EnginePresenceService *service, const CoreName *session, const CoreName *stream)
{
    if (service == nullptr || session == nullptr || stream == nullptr) return;
    const uint32_t bit = stream_bit(stream);
    if (bit == 0) return;
    EnginePresencePeer *peer = find_peer(service, session);
    if (peer == nullptr) return;
    // Counted as a change: an established peer that lost a stream it needs
    // must meet the cycle, which drops it.
    if (peer->flags.fetch_and(~bit) & bit) note_change(service);
    release_peer(service);
}

uint32_t engine_presence_cycle(EnginePresenceService *service)
{
    if (service == nullptr || service->peers == nullptr) return 0;
    uint32_t moving = 0;
    const uint64_t now = core_clock_mono_ms();
    for (CoreStoreItem *item = core_store_next(service->peers, nullptr, 1); item != nullptr;
         item = core_store_next(service->peers, item, 1)) {
        auto *peer = reinterpret_cast<EnginePresencePeer *>(item);
        const bool ready = engine_presence_peer_ready(service, peer);
        switch (peer->phase) {
        case ENGINE_PEER_NEW:
            if (ready)
                peer->phase = ENGINE_PEER_JOINING;
            else if (now > peer->deadline)
                peer->phase = ENGINE_PEER_GONE;
            ++moving;
            break;
        case ENGINE_PEER_JOINING: {
            ++moving;
            if (!ready || now > peer->deadline) {
                peer->phase = ENGINE_PEER_GONE;
                break;
            }
            const uint32_t before = peer->flags.fetch_or(ENGINE_PEER_ANNOUNCED);
            if (!(before & ENGINE_PEER_ANNOUNCED) &&
                engine_post_event(ENGINE_EVT_PEER_FOUND, &peer->record, sizeof(peer->record)) == 0) {
                // Never reported found: the loss must not be reported either.
                peer->flags.fetch_and(~ENGINE_PEER_ANNOUNCED);
                peer->phase = ENGINE_PEER_GONE;
                break;
            }
            EnginePeerReady ready_event = {};
            ready_event.record = peer->record;
            ready_event.peerWord = peer->peerWord;
            ready_event.identityTime = peer->identityTime;
            engine_post_event(ENGINE_EVT_PEER_READY, &ready_event, sizeof(ready_event));
            engine_presence_deliver_properties(service, peer);
            if (!queue_marker(service, peer, ENGINE_PRESENCE_READY))
                core_log(CORE_LOG_WARN, kModule, "no memory for a ready marker");
            peer->phase = ENGINE_PEER_ESTABLISHED;
            break;
        }
        case ENGINE_PEER_ESTABLISHED:
            if (!ready) {
                peer->phase = ENGINE_PEER_GONE;
                ++moving;
            }
            if (peer->flags.fetch_and(~ENGINE_PEER_READY_RECEIVED) & ENGINE_PEER_READY_RECEIVED)
                engine_post_event(ENGINE_EVT_PEER_CHANGED, &peer->record, sizeof(peer->record));
            engine_presence_deliver_properties(service, peer);
            break;
        default:  // ENGINE_PEER_GONE
            engine_presence_peer_lost(service, peer);
            flowmesh_session_close_streams(&peer->record.sessionName);
            remove_peer(service, peer);
            ++moving;
            break;
        }
    }
    return moving;
}

// ---- callbacks ----

int engine_presence_on_session(void *record, FlowmeshStreamAnswer *)
{
    const auto *event = static_cast<const FlowmeshSessionEvent *>(record);
    auto *service = reinterpret_cast<EnginePresenceService *>(static_cast<uintptr_t>(event->user[0]));
    if (service == nullptr || event->zero != 0 || event->info == nullptr) return 0;
    const FlowmeshSessionInfo &info = *event->info;
    switch (info.state) {
    case FLOWMESH_SESSION_UP: {
        if (core_name_is_empty(&event->session)) return 0;
        EnginePeerRecord peer_record = {};
        peer_record.nodeId = event->peer_node;
        peer_record.sessionName = event->session;
        peer_record.peerName = event->peer;
        peer_record.address = info.peer_address;
        peer_record.port = info.peer_port;
        peer_record.mode = info.peer_mode;
        PeerInit init = {&peer_record, info.peer_stamp, info.local_stamp};
        CoreStoreItem *item = nullptr;
        const CoreResult r = core_store_insert(service->peers, &event->session, &event->session, &init, &item, 1);
        if (r == CORE_OK) {
            auto *peer = reinterpret_cast<EnginePresencePeer *>(item);
            if (engine_presence_send_full_state(service, peer) != CORE_OK) {
                peer->flags.fetch_and(~ENGINE_PEER_FOUND);
                note_change(service);
            }
        }
        if (r == CORE_OK || r == CORE_EXISTS) release_peer(service);
        return 0;
    }
    case FLOWMESH_SESSION_DOWN: {
        EnginePresencePeer *peer = find_peer(service, &event->session);
        if (peer == nullptr) return 0;
        engine_presence_peer_lost(service, peer);
        remove_peer(service, peer);
        release_peer(service);
        return 0;
    }
    case FLOWMESH_SESSION_UNREACHABLE: {
        uint8_t endpoint[6];
        memcpy(endpoint, &info.peer_address, 4);
        memcpy(endpoint + 4, &info.peer_port, 2);
        engine_post_event(ENGINE_EVT_LOCAL_ENDPOINT, endpoint, sizeof(endpoint));
        return 0;
    }
    default: return 0;
    }
}

int engine_presence_on_stream_state(void *record, FlowmeshStreamAnswer *)
{
    const auto *event = static_cast<const FlowmeshStreamStateEvent *>(record);
    auto *service = reinterpret_cast<EnginePresenceService *>(static_cast<uintptr_t>(event->user[0]));
    if (service == nullptr) return 0;
    if (event->state == FLOWMESH_STREAM_OPENED) engine_presence_stream_opened(service, &event->session, &event->kind.stream_name);
    return 0;
}

int engine_presence_on_data(void *record, FlowmeshStreamAnswer *)
{
    const auto *event = static_cast<const FlowmeshStreamEvent *>(record);
    auto *service = reinterpret_cast<EnginePresenceService *>(static_cast<uintptr_t>(event->user[0]));
    if (service == nullptr || !is_name(&event->stream, FLOWMESH_SERVICE_STREAM)) return 0;
    EnginePresencePeer *peer = find_peer(service, &event->session);
    if (peer == nullptr) return 0;
    EnginePresenceMessage message;
    switch (engine_presence_message_parse(event->data, event->length, &message)) {
    case CORE_OK:
        if (message.kind == ENGINE_PRESENCE_PROPERTY) {
            engine_presence_on_property(service, peer, &message);
        } else {
            peer->flags.fetch_or(message.kind == ENGINE_PRESENCE_READY ? ENGINE_PEER_READY_RECEIVED
                                                                        : ENGINE_PEER_PROPERTIES_RECEIVED);
            note_change(service);
        }
        break;
    case CORE_NOT_MINE: break;
    default: {
        // Logged at powers of two only: a peer cannot flood the log.
        const uint64_t dropped = service->droppedMessages.fetch_add(1) + 1;
        if ((dropped & (dropped - 1)) == 0)
            core_log(CORE_LOG_WARN, kModule, "a presence message of %llu bytes does not hold together (%llu so far)",
                     static_cast<unsigned long long>(event->length), static_cast<unsigned long long>(dropped));
        break;
    }
    }
    release_peer(service);
    return 0;
}

CoreResult engine_presence_on_event(const CoreQueueEntry *message, void **user)
{
    auto *service = static_cast<EnginePresenceService *>(user[0]);
    if (service == nullptr || message == nullptr) return CORE_OK;
    // 0x1304 and 0x1503 carry the same record and are taken the same way;
    // no service of this node posts them.
    if (message->type != ENGINE_EVT_BIND_STREAM_CLOSED && message->type != 0x1304 && message->type != 0x1503)
        return CORE_OK;
    if (message->data == nullptr || message->length < 3 * sizeof(CoreName)) return CORE_OK;
    CoreName names[3];
    memcpy(names, message->data, sizeof(names));
    engine_presence_stream_closed(service, &names[0], &names[2]);
    return CORE_OK;
}

int engine_presence_peer_send_task(const CoreName *executor, uint64_t task, const CoreName *, const CoreName *,
                                   void **user)
{
    auto *service = static_cast<EnginePresenceService *>(user[0]);
    auto *peer = static_cast<EnginePresencePeer *>(user[1]);
    CoreName stream;
    core_name_format(&stream, "%s", FLOWMESH_SERVICE_STREAM);
    while (EnginePresenceItem *item = list_pop_front(&peer->outgoing)) {
        uint64_t taken = item->length;
        const CoreResult r = flowmesh_session_send(&peer->record.sessionName, &stream, 0, item->data, &taken);
        if (r < 0) {
            list_push_front(&peer->outgoing, item);
            peer->flags.fetch_and(~ENGINE_PEER_FOUND);
            note_change(service);
            return CORE_OK;
        }
        if (r == CORE_OK && taken == item->length) {
            engine_presence_message_free(service, item);
            continue;
        }
        list_push_front(&peer->outgoing, item);
        core_executor_trigger(executor, task, ENGINE_PRESENCE_RESEND_MS);
        return CORE_OK;
    }
    return CORE_OK;
}
