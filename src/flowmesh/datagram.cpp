#include "flowmesh/datagram.h"

#include <cstring>

#include "core/random.h"

namespace {

uint64_t padded(uint64_t length) { return (length + CORE_AES_BLOCK - 1) / CORE_AES_BLOCK * CORE_AES_BLOCK; }

}  // namespace

void flowmesh_header_encode(const FlowmeshPacketHeader *header, uint8_t out[FLOWMESH_HEADER_SIZE])
{
    flowmesh_put_be16(out + FLOWMESH_HDR_LENGTH, header->length);
    flowmesh_put_be16(out + FLOWMESH_HDR_TOKEN, header->token);
    flowmesh_put_be64(out + FLOWMESH_HDR_SEQUENCE, header->sequence);
    flowmesh_put_be16(out + FLOWMESH_HDR_FLAGS, header->flags);
    flowmesh_put_be16(out + FLOWMESH_HDR_DESTINATION, header->destination);
    memcpy(out + FLOWMESH_HDR_SPECIFIC, header->specific, FLOWMESH_HDR_SPECIFIC_SIZE);
    flowmesh_put_be16(out + FLOWMESH_HDR_CHECK, header->check);
}

void flowmesh_header_decode(FlowmeshPacketHeader *header, const uint8_t in[FLOWMESH_HEADER_SIZE])
{
    header->length = flowmesh_get_be16(in + FLOWMESH_HDR_LENGTH);
    header->token = flowmesh_get_be16(in + FLOWMESH_HDR_TOKEN);
    header->sequence = flowmesh_get_be64(in + FLOWMESH_HDR_SEQUENCE);
    header->flags = flowmesh_get_be16(in + FLOWMESH_HDR_FLAGS);
    header->destination = flowmesh_get_be16(in + FLOWMESH_HDR_DESTINATION);
    memcpy(header->specific, in + FLOWMESH_HDR_SPECIFIC, FLOWMESH_HDR_SPECIFIC_SIZE);
    header->check = flowmesh_get_be16(in + FLOWMESH_HDR_CHECK);
}

uint16_t flowmesh_token_draw(void)
{
    const unsigned high = static_cast<unsigned>(core_rand()) & 0x7F;
    const unsigned low = static_cast<unsigned>(core_rand()) & 0xFF;
    return static_cast<uint16_t>(0x8000u | (high << 8) | low);
}

int64_t flowmesh_wire_length(uint64_t payload_length)
{
    if (payload_length > FLOWMESH_PAYLOAD_MAX) return -1;
    return static_cast<int64_t>(FLOWMESH_HEADER_SIZE + padded(payload_length));
}

CoreResult flowmesh_datagram_seal(CoreAesKey *header_key, CoreAesKey *payload_key, FlowmeshPacketHeader *header,
                                  uint16_t local_id, const void *payload, uint64_t payload_length, uint8_t *out,
                                  uint64_t *wire_length)
{
    *wire_length = 0;
    const int64_t wire = flowmesh_wire_length(payload_length);
    if (wire < 0 || header_key == nullptr || (payload_length > 0 && (payload == nullptr || payload_key == nullptr)))
        return CORE_ERR;

    if ((header->token & 0x8000) == 0) header->token = flowmesh_token_draw();
    header->length = static_cast<uint16_t>(FLOWMESH_HEADER_SIZE + payload_length);
    header->check = static_cast<uint16_t>(header->token ^ local_id);

    uint8_t plain[FLOWMESH_HEADER_SIZE];
    flowmesh_header_encode(header, plain);
    if (core_aes_encrypt(header_key, out, plain, FLOWMESH_HEADER_SIZE) != CORE_OK) return CORE_ERR;

    const uint64_t body = static_cast<uint64_t>(wire) - FLOWMESH_HEADER_SIZE;
    if (body > 0) {
        uint8_t *p = out + FLOWMESH_HEADER_SIZE;
        memcpy(p, payload, payload_length);
        for (uint64_t i = payload_length; i < body; ++i) p[i] = static_cast<uint8_t>(core_rand());
        if (core_aes_encrypt(payload_key, p, p, body) != CORE_OK) return CORE_ERR;
    }
    *wire_length = static_cast<uint64_t>(wire);
    return CORE_OK;
}

CoreResult flowmesh_datagram_open(CoreAesKey *header_key, CoreAesKey *payload_key, const FlowmeshOpenRules *rules,
                                  const uint8_t *wire, uint64_t wire_length, FlowmeshPacketHeader *header,
                                  uint8_t *payload, uint64_t *payload_length)
{
    *payload_length = 0;
    if (wire == nullptr || header_key == nullptr) return CORE_ERR;
    if (wire_length < FLOWMESH_HEADER_SIZE || wire_length > FLOWMESH_DATAGRAM_MAX) return CORE_ERR;
    const uint64_t body = wire_length - FLOWMESH_HEADER_SIZE;
    if (body % CORE_AES_BLOCK != 0) return CORE_ERR;

    uint8_t plain[FLOWMESH_HEADER_SIZE];
    if (core_aes_decrypt(header_key, plain, wire, FLOWMESH_HEADER_SIZE) != CORE_OK) return CORE_ERR;
    flowmesh_header_decode(header, plain);

    // The length field decides how many payload bytes the stream reads, so
    // it must describe this very datagram: a short datagram claiming 1440
    // bytes would otherwise hand out bytes it never carried.
    if (header->length < FLOWMESH_HEADER_SIZE || header->length > FLOWMESH_DATAGRAM_MAX) return CORE_ERR;
    const uint64_t real = header->length - FLOWMESH_HEADER_SIZE;
    if (padded(real) != body) return CORE_ERR;

    if (header->destination != rules->local_id) return CORE_ERR;
    if (static_cast<uint16_t>(header->token ^ header->check) != rules->peer_id) return CORE_ERR;
    if (rules->local_flags != 0 && rules->peer_flags != 0 && (header->flags & ~rules->peer_flags) != 0)
        return CORE_ERR;

    if (body > 0) {
        if (payload_key == nullptr || payload == nullptr) return CORE_ERR;
        if (core_aes_decrypt(payload_key, payload, wire + FLOWMESH_HEADER_SIZE, body) != CORE_OK) return CORE_ERR;
    }
    *payload_length = real;
    return CORE_OK;
}

CoreResult flowmesh_record_open(CoreAesKey *header_key, CoreAesKey *payload_key, const FlowmeshOpenRules *rules,
                                const CoreQueueEntry *record, FlowmeshPacketHeader *header, uint8_t *payload,
                                uint64_t *payload_length)
{
    *payload_length = 0;
    if (record == nullptr || record->data == nullptr || record->length < FLOWMESH_RECORD_HEAD) return CORE_ERR;
    return flowmesh_datagram_open(header_key, payload_key, rules,
                                  static_cast<const uint8_t *>(record->data) + FLOWMESH_RECORD_HEAD,
                                  record->length - FLOWMESH_RECORD_HEAD, header, payload, payload_length);
}

CoreResult flowmesh_datagram_ids(CoreAesKey *header_key, const uint8_t *wire, uint64_t wire_length,
                                 uint16_t *destination, uint16_t *source)
{
    if (wire == nullptr || header_key == nullptr || wire_length < FLOWMESH_HEADER_SIZE) return CORE_ERR;
    uint8_t plain[FLOWMESH_HEADER_SIZE];
    if (core_aes_decrypt(header_key, plain, wire, FLOWMESH_HEADER_SIZE) != CORE_OK) return CORE_ERR;
    *destination = flowmesh_get_be16(plain + FLOWMESH_HDR_DESTINATION);
    *source = static_cast<uint16_t>(flowmesh_get_be16(plain + FLOWMESH_HDR_TOKEN) ^
                                    flowmesh_get_be16(plain + FLOWMESH_HDR_CHECK));
    return CORE_OK;
}
