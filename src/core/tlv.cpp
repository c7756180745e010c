#include "core/tlv.h"

#include <cstring>

#include "core/pool.h"
#include "core/queue.h"

namespace {

uint32_t read_be32(const uint8_t *p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// Big-endian bytes of `width` (1, 2, 4 or 8) from the host integer at
// `value`, which may be unaligned.
void write_be(uint8_t *out, const void *value, uint32_t width)
{
    uint64_t v = 0;
    switch (width) {
    case 1: { uint8_t x; memcpy(&x, value, 1); v = x; break; }
    case 2: { uint16_t x; memcpy(&x, value, 2); v = x; break; }
    case 4: { uint32_t x; memcpy(&x, value, 4); v = x; break; }
    default: memcpy(&v, value, 8); break;
    }
    for (uint32_t i = 0; i < width; ++i) out[i] = static_cast<uint8_t>(v >> (8 * (width - 1 - i)));
}

uint32_t integer_width(uint8_t type)
{
    switch (type) {
    case CORE_TLV_U8: return 1;
    case CORE_TLV_U16: return 2;
    case CORE_TLV_U32: return 4;
    case CORE_TLV_U64: return 8;
    default: return 0;
    }
}

// Hands one complete item to the callback; integers go out in host order.
CoreResult deliver(uint8_t type, uint32_t length, const uint8_t *value, CoreTlvItemFn fn, void *user)
{
    union {
        uint8_t u8;
        uint16_t u16;
        uint32_t u32;
        uint64_t u64;
    } host;
    CoreTlvItem item = {type, length, length > 0 ? value : nullptr};
    if (integer_width(type) != 0) {
        uint64_t v = 0;
        for (uint32_t i = 0; i < length; ++i) v = (v << 8) | value[i];
        switch (type) {
        case CORE_TLV_U8: host.u8 = static_cast<uint8_t>(v); break;
        case CORE_TLV_U16: host.u16 = static_cast<uint16_t>(v); break;
        case CORE_TLV_U32: host.u32 = static_cast<uint32_t>(v); break;
        default: host.u64 = v; break;
        }
        item.value = &host;
    }
    return fn(&item, user);
}

}  // namespace

CoreResult core_tlv_check(uint64_t length, uint8_t type)
{
    uint64_t exact;
    switch (type) {
    case CORE_TLV_U8: exact = 1; break;
    case CORE_TLV_U16: exact = 2; break;
    case CORE_TLV_U32: exact = 4; break;
    case CORE_TLV_U64: exact = 8; break;
    case CORE_TLV_ID: exact = CORE_NAME_KEY_SIZE; break;
    case CORE_TLV_TEXT: return length <= CORE_TLV_TEXT_MAX ? CORE_OK : CORE_ERR_INVALID;
    case CORE_TLV_BLOB: return length <= CORE_TLV_BLOB_MAX ? CORE_OK : CORE_ERR_INVALID;
    case CORE_TLV_LIST_BEGIN:
    case CORE_TLV_ENTRY:
    case CORE_TLV_LIST_END:
    case CORE_TLV_END: exact = 0; break;
    default: return CORE_ERR_INVALID;
    }
    return length == exact ? CORE_OK : CORE_ERR_INVALID;
}

CoreResult core_tlv_head_read(const uint8_t head[CORE_TLV_HEAD_SIZE], uint8_t *type, uint32_t *length)
{
    const uint32_t n = read_be32(head + 1);
    if (core_tlv_check(n, head[0]) != CORE_OK) return CORE_ERR_INVALID;
    *type = head[0];
    *length = n;
    return CORE_OK;
}

CoreResult core_tlv_send(CoreChannel *channel, const CoreName *name, uint32_t message_type, uint32_t reserved,
                         const CoreTlvItem *items, uint64_t count)
{
    (void)reserved;
    if (channel == nullptr || items == nullptr || count == 0) return CORE_ERR_INVALID;

    // Every item is judged before anything is allocated, so a bad item
    // sends nothing at all. The rules bound each item below 2^23 bytes,
    // which keeps the sum far from overflow for any array that can exist.
    uint64_t total = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const CoreResult rule = core_tlv_check(items[i].length, items[i].type);
        if (rule != CORE_OK) return rule;
        if (items[i].length > 0 && items[i].value == nullptr) return CORE_ERR_INVALID;
        total += CORE_TLV_HEAD_SIZE + items[i].length;
    }

    auto *buffer = static_cast<uint8_t *>(core_pool_alloc(channel->pool, total));
    if (buffer == nullptr) return CORE_ERR_NO_SPACE;
    uint8_t *out = buffer;
    for (uint64_t i = 0; i < count; ++i) {
        const uint32_t length = static_cast<uint32_t>(items[i].length);
        out[0] = items[i].type;
        write_be(out + 1, &length, 4);
        out += CORE_TLV_HEAD_SIZE;
        if (integer_width(items[i].type) != 0)
            write_be(out, items[i].value, length);
        else if (length > 0)
            memcpy(out, items[i].value, length);
        out += length;
    }

    CoreIoVec vec = {total, buffer};
    const int posted = core_queue_post(channel->queue, name, message_type, 0, &vec, 1);
    void *block = buffer;
    core_pool_free(channel->pool, &block);
    return posted == 0 ? CORE_OK : CORE_ERR_NO_SPACE;
}

void core_tlv_decoder_init(CoreTlvDecoder *decoder, CorePool *pool)
{
    memset(decoder, 0, sizeof(*decoder));
    decoder->pool = pool;
}

void core_tlv_decoder_reset(CoreTlvDecoder *decoder)
{
    if (decoder->value != nullptr) {
        void *block = decoder->value;
        core_pool_free(decoder->pool, &block);
        decoder->value = nullptr;
    }
    decoder->received = 0;
    decoder->type = 0;
    decoder->length = 0;
}

CoreResult core_tlv_decoder_feed(CoreTlvDecoder *d, const void *data, uint64_t size, CoreTlvItemFn fn, void *user)
{
    if (fn == nullptr || (data == nullptr && size > 0)) return CORE_ERR_INVALID;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint64_t left = size;

    for (;;) {
        if (d->received < CORE_TLV_HEAD_SIZE) {
            if (left == 0) return CORE_OK;
            const uint64_t n = CORE_TLV_HEAD_SIZE - d->received < left ? CORE_TLV_HEAD_SIZE - d->received : left;
            memcpy(d->head + d->received, p, n);
            d->received += n;
            p += n;
            left -= n;
            if (d->received < CORE_TLV_HEAD_SIZE) return CORE_OK;
            // The length is judged here, before a single value byte is
            // read or a block sized by it is allocated.
            const CoreResult head = core_tlv_head_read(d->head, &d->type, &d->length);
            if (head != CORE_OK) {
                core_tlv_decoder_reset(d);
                return head;
            }
        }

        const uint64_t got = d->received - CORE_TLV_HEAD_SIZE;
        const uint8_t *value;
        if (d->value == nullptr && got == 0 && left >= d->length) {
            // The whole value is in this piece: hand it out in place.
            value = p;
            p += d->length;
            left -= d->length;
        } else {
            if (left == 0) return CORE_OK;
            if (d->value == nullptr) {
                d->value = static_cast<uint8_t *>(core_pool_alloc(d->pool, d->length));
                if (d->value == nullptr) {
                    core_tlv_decoder_reset(d);
                    return CORE_ERR_NO_SPACE;
                }
            }
            const uint64_t need = d->length - got;
            const uint64_t n = need < left ? need : left;
            memcpy(d->value + got, p, n);
            d->received += n;
            p += n;
            left -= n;
            if (n < need) return CORE_OK;
            value = d->value;
        }

        const CoreResult result = deliver(d->type, d->length, value, fn, user);
        core_tlv_decoder_reset(d);
        if (result != CORE_OK) return result;
    }
}
