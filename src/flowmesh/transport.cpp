#include "flowmesh/transport.h"

#include <atomic>
#include <cstring>

#include "core/clock.h"
#include "core/handle.h"

namespace {

std::atomic<const FlowmeshTransportKind *> g_kinds[4];

CoreHandleTable *network_table() { return core_handle_tables[CORE_HANDLES_NETWORK]; }

bool known_kind(uint32_t kind) { return kind >= FLOWMESH_STREAM_PACED && kind <= FLOWMESH_STREAM_RELIABLE; }

void transport_destroy(CoreHandleTable *, void *object, uint64_t)
{
    auto *transport = static_cast<FlowmeshTransport *>(object);
    if (transport->ops != nullptr && transport->ops->destroy != nullptr) transport->ops->destroy(transport);
    core_aes_destroy(&transport->header_key);
    core_aes_destroy(&transport->payload_key);
}

CoreAesKey *key_from_blob(const FlowmeshKeyBlob *blob)
{
    if (blob->length > FLOWMESH_KEY_BLOB_BYTES) return nullptr;
    return core_aes_create(blob->key, blob->length);
}

// Acquires the transport and checks that `kind` is its own: running one
// kind's operation on another kind's object would read a layout it does
// not have.
template <typename Fn>
CoreResult with_transport(uint64_t handle, uint8_t kind, Fn &&fn)
{
    CoreHandleTable *table = network_table();
    if (table == nullptr || handle == 0) return CORE_ERR;
    auto *transport = static_cast<FlowmeshTransport *>(core_handle_acquire(table, handle));
    if (transport == nullptr) return CORE_ERR;
    CoreResult result = CORE_ERR;
    if (known_kind(kind) && (transport->params.kind & 0xFF) == kind && transport->ops != nullptr)
        result = fn(transport, transport->ops);
    core_handle_release(table, handle);
    return result;
}

}  // namespace

CoreResult flowmesh_transport_kind_set(uint32_t kind, const FlowmeshTransportKind *ops)
{
    if (!known_kind(kind)) return CORE_ERR_INVALID;
    if (ops != nullptr && ops->object_size < sizeof(FlowmeshTransport)) return CORE_ERR_INVALID;
    g_kinds[kind].store(ops);
    return CORE_OK;
}

CoreResult flowmesh_transport_params_clamp(FlowmeshTransportParams *params)
{
    const uint32_t kind = params->kind & 0xFF;
    if (!known_kind(kind)) return CORE_ERR_INVALID;
    if (params->send_buffer > FLOWMESH_BUFFER_MAX || params->receive_buffer > FLOWMESH_BUFFER_MAX)
        return CORE_ERR_INVALID;
    if (params->send_buffer < FLOWMESH_BUFFER_MIN) params->send_buffer = FLOWMESH_BUFFER_MIN;
    if (params->receive_buffer < FLOWMESH_BUFFER_MIN) params->receive_buffer = FLOWMESH_BUFFER_MIN;

    if (params->handshake_ms < FLOWMESH_HANDSHAKE_MIN_MS) params->handshake_ms = FLOWMESH_HANDSHAKE_MIN_MS;
    if (params->handshake_ms > FLOWMESH_HANDSHAKE_MAX_MS) params->handshake_ms = FLOWMESH_HANDSHAKE_MAX_MS;
    if (params->min_rto_ms < FLOWMESH_RTO_MIN_MS) params->min_rto_ms = FLOWMESH_RTO_MIN_MS;
    const uint64_t cap = kind == FLOWMESH_STREAM_RELIABLE ? FLOWMESH_RTO_CAP_RELIABLE_MS : FLOWMESH_RTO_CAP_MS;
    if (params->max_rto_ms > cap) params->max_rto_ms = cap;

    // The retransmission time-out moves between the two bounds; with no
    // room between them (equal, or a minimum the cap pushed below) there is
    // nothing to adapt, and the back-off would run backwards.
    if (params->min_rto_ms >= params->max_rto_ms) return CORE_ERR_INVALID;
    return CORE_OK;
}

uint64_t flowmesh_transport_create(const FlowmeshTransportParams *params)
{
    CoreHandleTable *table = network_table();
    if (params == nullptr || table == nullptr) return 0;
    FlowmeshTransportParams copy = *params;
    if (flowmesh_transport_params_clamp(&copy) != CORE_OK) return 0;
    const FlowmeshTransportKind *ops = g_kinds[copy.kind & 0xFF].load();
    if (ops == nullptr) return 0;

    void *object = nullptr;
    const uint64_t handle = core_handle_create(table, ops->object_size, transport_destroy, &object);
    if (handle == 0) return 0;
    auto *transport = static_cast<FlowmeshTransport *>(object);
    transport->handle = handle;
    transport->params = copy;
    transport->created_ms = core_clock_mono_ms();
    transport->initiator = copy.options & 1;
    transport->header_key = key_from_blob(&copy.header_key);
    transport->payload_key = key_from_blob(&copy.payload_key);
    // Set last: destroy calls the kind's destroy only for an object the
    // kind was asked to build.
    if (transport->header_key != nullptr && transport->payload_key != nullptr) {
        transport->ops = ops;
        if (ops->build == nullptr || ops->build(transport) == CORE_OK) return handle;
    }
    core_handle_release(table, handle);
    return 0;
}

CoreResult flowmesh_transport_connect(uint64_t handle, uint8_t kind)
{
    return with_transport(handle, kind, [](FlowmeshTransport *t, const FlowmeshTransportKind *ops) {
        return ops->connect != nullptr ? ops->connect(t) : CORE_ERR;
    });
}

CoreResult flowmesh_transport_accept(uint64_t handle, uint8_t kind)
{
    return with_transport(handle, kind, [](FlowmeshTransport *t, const FlowmeshTransportKind *ops) {
        return ops->accept != nullptr ? ops->accept(t) : CORE_ERR;
    });
}

CoreResult flowmesh_transport_close(uint64_t handle, uint8_t kind)
{
    return with_transport(handle, kind, [](FlowmeshTransport *t, const FlowmeshTransportKind *ops) {
        return ops->close != nullptr ? ops->close(t) : CORE_ERR;
    });
}

CoreResult flowmesh_transport_finish(uint64_t handle, uint8_t kind)
{
    return with_transport(handle, kind, [](FlowmeshTransport *t, const FlowmeshTransportKind *ops) {
        return ops->finish != nullptr ? ops->finish(t) : CORE_ERR;
    });
}

CoreResult flowmesh_transport_send(uint64_t handle, uint8_t kind, uint8_t type, const void *data, uint64_t *length)
{
    if (length == nullptr) return CORE_ERR;
    return with_transport(handle, kind, [&](FlowmeshTransport *t, const FlowmeshTransportKind *ops) {
        return ops->send != nullptr ? ops->send(t, type, data, length) : CORE_ERR;
    });
}

CoreResult flowmesh_transport_receive(uint64_t handle, uint8_t kind, const CoreQueueEntry *records, uint64_t count)
{
    if (records == nullptr && count > 0) return CORE_ERR;
    return with_transport(handle, kind, [&](FlowmeshTransport *t, const FlowmeshTransportKind *ops) {
        return ops->receive != nullptr ? ops->receive(t, records, count) : CORE_ERR;
    });
}

int flowmesh_transport_event(FlowmeshTransport *transport, uint32_t code, const void *data, uint64_t length)
{
    FlowmeshTransportParams *p = &transport->params;
    if (p->event_fn == nullptr) return 0;
    return p->event_fn(p->local_id, code, &p->origin, &p->session, data, length, p->event_context);
}

CoreResult flowmesh_transport_seal(FlowmeshTransport *transport, FlowmeshPacketHeader *header, const void *payload,
                                   uint64_t payload_length, uint8_t *out, CoreQueueEntry *record)
{
    uint64_t wire = 0;
    header->destination = transport->params.peer_id;
    const CoreResult result = flowmesh_datagram_seal(transport->header_key, transport->payload_key, header,
                                                     transport->params.local_id, payload, payload_length, out, &wire);
    if (result != CORE_OK) return result;
    record->name = transport->params.session;
    record->type = transport->params.peer_address;
    record->flags = transport->params.peer_port;
    record->length = wire;
    record->data = out;
    return CORE_OK;
}

CoreResult flowmesh_transport_open(FlowmeshTransport *transport, const CoreQueueEntry *record,
                                   FlowmeshPacketHeader *header, uint8_t *payload, uint64_t *payload_length)
{
    const FlowmeshOpenRules rules = {transport->params.local_id, transport->params.peer_id,
                                     transport->params.local_flags, transport->params.peer_flags};
    return flowmesh_record_open(transport->header_key, transport->payload_key, &rules, record, header, payload,
                                payload_length);
}
