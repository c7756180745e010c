#include "flowmesh/control.h"

#include <cstring>

#include "core/tlv.h"
#include "flowmesh/service.h"

namespace {

// One body item of a schema: its type and, for the fixed-size types, the
// length it must have (variable blobs are checked against their length word).
struct SchemaItem {
    uint8_t type;
    uint32_t length;
};

constexpr SchemaItem kU16 = {CORE_TLV_U16, 2};
constexpr SchemaItem kU32 = {CORE_TLV_U32, 4};
constexpr SchemaItem kU64 = {CORE_TLV_U64, 8};
constexpr SchemaItem kId = {CORE_TLV_ID, 32};
constexpr SchemaItem kBlob = {CORE_TLV_BLOB, UINT32_MAX};

struct Schema {
    uint32_t code;
    uint32_t count;
    SchemaItem items[7];
};

const Schema kSchemas[] = {
    {FLOWMESH_CTL_PEER_VALUE, 1, {kU32}},
    {FLOWMESH_CTL_FORWARD, 2, {kU32, kBlob}},
    {FLOWMESH_CTL_IDENTITY, 2, {kU64, kId}},
    {FLOWMESH_CTL_CLOSE, 1, {kU64}},
    {FLOWMESH_CTL_ESTABLISHED, 1, {kU64}},
    {FLOWMESH_CTL_OPEN_STREAM, 7, {kU16, kU32, kU32, kId, kU32, kU32, kBlob}},
    {FLOWMESH_CTL_OPEN_STREAM_REPLY, 5, {kU16, kU16, kU32, kU32, kBlob}},
};

const Schema *schema_of(uint32_t code)
{
    for (const Schema &s : kSchemas)
        if (s.code == code) return &s;
    return nullptr;
}

template <typename T>
T take(const uint8_t *values, uint64_t at)
{
    T v;
    memcpy(&v, values + at, sizeof(T));
    return v;
}

bool key_sound(uint32_t key_kind, uint32_t key_length, uint32_t blob_length)
{
    return key_length == blob_length && key_length != 0 && key_length == flowmesh_control_key_length(key_kind);
}

}  // namespace

uint32_t flowmesh_control_flag_set(uint32_t kind)
{
    switch (kind & 0xFF) {
    case 1: return 1;
    case 2: return 63;
    case 3: return 511;
    default: return 0;
    }
}

uint32_t flowmesh_control_key_length(uint32_t key_kind)
{
    return key_kind == 1 ? 16 : key_kind == 2 ? 32 : 0;
}

CoreResult flowmesh_control_send(CoreChannel *writer, const CoreName *session, const FlowmeshControlMessage *m)
{
    if (writer == nullptr || m == nullptr) return CORE_ERR_INVALID;
    const Schema *schema = schema_of(m->code);
    if (schema == nullptr) return CORE_ERR_INVALID;

    CoreTlvItem items[4 + 7 + 1];
    uint32_t n = 0;
    uint32_t total = 0;
    uint32_t key_kind = m->key_kind;
    uint32_t key_length = m->key_length;
    uint32_t payload_length = m->payload_length;
    items[n++] = {CORE_TLV_U32, 4, &total};
    items[n++] = {CORE_TLV_U32, 4, &m->code};
    items[n++] = {CORE_TLV_U32, 4, &m->argument};
    items[n++] = {CORE_TLV_U64, 8, &m->sequence};
    switch (m->code) {
    case FLOWMESH_CTL_PEER_VALUE:
        items[n++] = {CORE_TLV_U32, 4, &m->peer_value};
        break;
    case FLOWMESH_CTL_FORWARD:
        if (payload_length > FLOWMESH_CONTROL_FORWARD_MAX || (payload_length > 0 && m->payload == nullptr))
            return CORE_ERR_INVALID;
        items[n++] = {CORE_TLV_U32, 4, &payload_length};
        items[n++] = {CORE_TLV_BLOB, payload_length, payload_length > 0 ? m->payload : nullptr};
        break;
    case FLOWMESH_CTL_IDENTITY:
        items[n++] = {CORE_TLV_U64, 8, &m->stamp};
        items[n++] = {CORE_TLV_ID, 32, m->node_id};
        break;
    case FLOWMESH_CTL_CLOSE:
    case FLOWMESH_CTL_ESTABLISHED:
        // Sessions send 0 here; a value is carried as given so that what a
        // peer sent re-encodes to the same record.
        items[n++] = {CORE_TLV_U64, 8, &m->stamp};
        break;
    case FLOWMESH_CTL_OPEN_STREAM:
    case FLOWMESH_CTL_OPEN_STREAM_REPLY:
        if (!key_sound(key_kind, key_length, key_length) || m->key == nullptr) return CORE_ERR_INVALID;
        items[n++] = {CORE_TLV_U16, 2, &m->stream_id};
        if (m->code == FLOWMESH_CTL_OPEN_STREAM) {
            items[n++] = {CORE_TLV_U32, 4, &m->kind};
            items[n++] = {CORE_TLV_U32, 4, &m->class_word};
            items[n++] = {CORE_TLV_ID, 32, m->stream_name};
        } else {
            items[n++] = {CORE_TLV_U16, 2, &m->opener_id};
        }
        items[n++] = {CORE_TLV_U32, 4, &key_kind};
        items[n++] = {CORE_TLV_U32, 4, &key_length};
        items[n++] = {CORE_TLV_BLOB, key_length, m->key};
        break;
    default:
        return CORE_ERR_INVALID;
    }
    items[n++] = {CORE_TLV_END, 0, nullptr};
    for (uint32_t i = 0; i < n; ++i) total += static_cast<uint32_t>(items[i].length);
    return core_tlv_send(writer, session, 0, 0, items, n);
}

CoreResult flowmesh_control_parse(const FlowmeshTlvRecord *record, FlowmeshControlMessage *out)
{
    if (record == nullptr || out == nullptr) return CORE_ERR_INVALID;
    *out = FlowmeshControlMessage{};
    const uint32_t count = record->count;
    // The head's four items and the end item, whatever the code.
    if (count < 5) return CORE_ERR_INVALID;
    static const SchemaItem head[4] = {kU32, kU32, kU32, kU64};
    for (uint32_t i = 0; i < 4; ++i)
        if (flowmesh_tlv_record_type(record, i) != head[i].type ||
            flowmesh_tlv_record_length(record, i) != head[i].length)
            return CORE_ERR_INVALID;
    if (flowmesh_tlv_record_type(record, count - 1) != CORE_TLV_END) return CORE_ERR_INVALID;
    uint64_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) sum += flowmesh_tlv_record_length(record, i);
    if (sum != record->length) return CORE_ERR_INVALID;

    const uint8_t *v = record->values;
    out->total = take<uint32_t>(v, 0);
    out->code = take<uint32_t>(v, 4);
    out->argument = take<uint32_t>(v, 8);
    out->sequence = take<uint64_t>(v, 12);
    if (out->total != sum) return CORE_ERR_INVALID;

    const Schema *schema = schema_of(out->code);
    if (schema == nullptr) return CORE_OK;
    if (count != 4 + schema->count + 1) return CORE_ERR_INVALID;
    for (uint32_t i = 0; i < schema->count; ++i) {
        const SchemaItem want = schema->items[i];
        if (flowmesh_tlv_record_type(record, 4 + i) != want.type) return CORE_ERR_INVALID;
        if (want.length != UINT32_MAX && flowmesh_tlv_record_length(record, 4 + i) != want.length)
            return CORE_ERR_INVALID;
    }
    const uint64_t b = FLOWMESH_CONTROL_HEAD_VALUES;
    const uint32_t last_length = flowmesh_tlv_record_length(record, 4 + schema->count - 1);
    switch (out->code) {
    case FLOWMESH_CTL_PEER_VALUE:
        out->peer_value = take<uint32_t>(v, b);
        break;
    case FLOWMESH_CTL_FORWARD:
        out->payload_length = take<uint32_t>(v, b);
        if (out->payload_length != last_length) return CORE_ERR_INVALID;
        out->payload = v + b + 4;
        break;
    case FLOWMESH_CTL_IDENTITY:
        out->stamp = take<uint64_t>(v, b);
        memcpy(out->node_id, v + b + 8, 32);
        break;
    case FLOWMESH_CTL_CLOSE:
    case FLOWMESH_CTL_ESTABLISHED:
        out->stamp = take<uint64_t>(v, b);
        break;
    case FLOWMESH_CTL_OPEN_STREAM:
        out->stream_id = take<uint16_t>(v, b);
        out->kind = take<uint32_t>(v, b + 2);
        out->class_word = take<uint32_t>(v, b + 6);
        memcpy(out->stream_name, v + b + 10, 32);
        out->key_kind = take<uint32_t>(v, b + 42);
        out->key_length = take<uint32_t>(v, b + 46);
        out->key = v + b + 50;
        break;
    case FLOWMESH_CTL_OPEN_STREAM_REPLY:
        out->stream_id = take<uint16_t>(v, b);
        out->opener_id = take<uint16_t>(v, b + 2);
        out->key_kind = take<uint32_t>(v, b + 4);
        out->key_length = take<uint32_t>(v, b + 8);
        out->key = v + b + 12;
        break;
    default:
        break;
    }
    if ((out->code == FLOWMESH_CTL_OPEN_STREAM || out->code == FLOWMESH_CTL_OPEN_STREAM_REPLY) &&
        !key_sound(out->key_kind, out->key_length, last_length))
        return CORE_ERR_INVALID;
    return CORE_OK;
}
