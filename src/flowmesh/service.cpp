#include "flowmesh/service.h"

#include <cstring>

#include "core/pool.h"

struct FlowmeshTlvItemNode {
    FlowmeshTlvItemNode *next;
    uint8_t type;
    uint32_t length;
    uint8_t value[];  // host order for integers
};

namespace {

uint32_t read_be32(const uint8_t *p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

void drop_items(FlowmeshTlvChannel *c)
{
    FlowmeshTlvItemNode *n = c->first;
    while (n != nullptr) {
        FlowmeshTlvItemNode *next = n->next;
        void *block = n;
        core_pool_free(c->pool, &block);
        n = next;
    }
    c->first = c->last = nullptr;
    c->item_count = 0;
    c->value_bytes = 0;
}

struct FeedContext {
    FlowmeshTlvChannel *channel;
    const CoreQueueEntry *entry;
};

// Posts the collected record: the values, then the trailer the consumer's
// view reads (u32 count, the types, the big-endian lengths, the count
// again so the consumer finds the trailer from the end), so the schema never
// has to be guessed from the values.
CoreResult post_record(FlowmeshTlvChannel *c, const CoreQueueEntry *entry)
{
    const uint64_t trailer_size = 8 + uint64_t{c->item_count} * 5;
    const uint64_t vec_count = uint64_t{c->item_count} + 1;
    auto *vecs = static_cast<CoreIoVec *>(core_pool_alloc(c->pool, vec_count * sizeof(CoreIoVec)));
    auto *trailer = static_cast<uint8_t *>(core_pool_alloc(c->pool, trailer_size));
    CoreResult result = CORE_ERR;
    if (vecs != nullptr && trailer != nullptr) {
        put_be32(trailer, c->item_count);
        uint8_t *types = trailer + 4;
        uint8_t *lengths = types + c->item_count;
        uint64_t i = 0;
        for (FlowmeshTlvItemNode *n = c->first; n != nullptr; n = n->next, ++i) {
            vecs[i] = {n->length, n->length > 0 ? n->value : nullptr};
            types[i] = n->type;
            put_be32(lengths + 4 * i, n->length);
        }
        put_be32(trailer + trailer_size - 4, c->item_count);
        vecs[i] = {trailer_size, trailer};
        if (core_queue_post(c->queue, &entry->name, entry->type, entry->flags, vecs, vec_count) == 0)
            result = CORE_OK;
    }
    void *block = vecs;
    core_pool_free(c->pool, &block);
    block = trailer;
    core_pool_free(c->pool, &block);
    drop_items(c);
    return result;
}

CoreResult store_item(const CoreTlvItem *item, void *user)
{
    auto *ctx = static_cast<FeedContext *>(user);
    FlowmeshTlvChannel *c = ctx->channel;
    const uint64_t length = item->length;  // checked by the decoder
    auto *node = static_cast<FlowmeshTlvItemNode *>(core_pool_alloc(c->pool, sizeof(FlowmeshTlvItemNode) + length));
    if (node == nullptr) return CORE_ERR;
    node->type = item->type;
    node->length = static_cast<uint32_t>(length);
    if (length > 0) memcpy(node->value, item->value, length);
    if (c->last != nullptr)
        c->last->next = node;
    else
        c->first = node;
    c->last = node;
    c->item_count += 1;
    c->value_bytes += length;
    if (item->type != CORE_TLV_END) return CORE_OK;
    return post_record(c, ctx->entry);
}

// The queue hands one record at a time; the callback sees only the values
// as the payload.
int deliver(CoreQueueEntry *entries, uint64_t *count, void **user)
{
    auto *c = static_cast<FlowmeshTlvChannel *>(user[0]);
    *count = 0;
    CoreQueueEntry view;
    // Only this channel posts to its queue; an entry without a sound
    // trailer cannot occur, and is dropped rather than read past.
    if (flowmesh_tlv_queued_view(&entries[0], &view) != CORE_OK) {
        *count = 1;
        return CORE_OK;
    }
    const int result = c->callback(&view, c->user);
    if (result == CORE_OK) *count = 1;
    return result;
}

}  // namespace

FlowmeshTlvChannel *flowmesh_channel_create(const FlowmeshTlvChannelConfig *config)
{
    if (config == nullptr) return nullptr;
    auto *c = new FlowmeshTlvChannel{};
    uint64_t size = config->pool_size;
    if (size >= 1 && size < FLOWMESH_TLV_CHANNEL_MIN_POOL) size = FLOWMESH_TLV_CHANNEL_MIN_POOL;
    c->pool_size = size;
    c->pool_name = config->pool;
    c->callback = config->callback;
    c->user[0] = config->user[0];
    c->user[1] = config->user[1];
    if (!core_name_is_empty(&config->pool)) {
        c->pool = core_pool_get(&config->pool, size);
    } else {
        CorePoolConfig pc = {};
        pc.size = size;
        pc.granule = 32;
        c->pool = core_pool_create(&pc);
    }
    if (c->pool != nullptr) {
        core_tlv_decoder_init(&c->decoder, c->pool);
        CoreQueueConfig qc = {};
        qc.batch = 1;
        qc.pause_ms = 100;
        qc.executor = config->executor;
        qc.pool = config->pool;
        qc.pool_size = size;
        if (config->callback != nullptr) {
            qc.consumer = deliver;
            qc.user[0] = c;
        }
        c->queue = core_queue_create(&qc);
    }
    if (c->queue == nullptr) {
        flowmesh_channel_destroy(&c);
        return nullptr;
    }
    return c;
}

void flowmesh_channel_destroy(FlowmeshTlvChannel **channel)
{
    if (channel == nullptr || *channel == nullptr) return;
    FlowmeshTlvChannel *c = *channel;
    *channel = nullptr;
    core_queue_destroy(&c->queue);
    if (c->pool != nullptr) {
        core_tlv_decoder_reset(&c->decoder);
        drop_items(c);
        if (!core_name_is_empty(&c->pool_name))
            core_pool_release(c->pool);
        else
            core_pool_destroy(&c->pool);
    }
    delete c;
}

CoreResult flowmesh_tlv_reader_feed(FlowmeshTlvChannel *channel, const CoreQueueEntry *entry)
{
    if (channel == nullptr || entry == nullptr) return CORE_ERR;
    if (entry->length == 0) return CORE_OK;
    if (entry->data == nullptr) return CORE_ERR;
    FeedContext ctx = {channel, entry};
    const CoreResult r = core_tlv_decoder_feed(&channel->decoder, entry->data, entry->length, store_item, &ctx);
    if (r == CORE_OK) return CORE_OK;
    drop_items(channel);
    channel->dropped += 1;
    return CORE_ERR;
}

CoreResult flowmesh_tlv_queued_view(const CoreQueueEntry *queued, CoreQueueEntry *view)
{
    if (queued == nullptr || view == nullptr || queued->data == nullptr || queued->length < 8) return CORE_ERR_INVALID;
    const auto *data = static_cast<const uint8_t *>(queued->data);
    // The trailer ends with its item count, so its size is known from the end.
    const uint64_t n = read_be32(data + queued->length - 4);
    const uint64_t trailer = n * 5 + 8;
    if (trailer > queued->length || read_be32(data + queued->length - trailer) != n) return CORE_ERR_INVALID;
    *view = *queued;
    view->length = queued->length - trailer;
    return CORE_OK;
}

CoreResult flowmesh_tlv_record_of(const CoreQueueEntry *entry, FlowmeshTlvRecord *out)
{
    if (entry == nullptr || out == nullptr || (entry->data == nullptr && entry->length > 0)) return CORE_ERR_INVALID;
    const auto *data = static_cast<const uint8_t *>(entry->data);
    const uint8_t *trailer = data + entry->length;
    out->values = data;
    out->length = entry->length;
    out->count = read_be32(trailer);
    out->types = trailer + 4;
    out->lengths_be = out->types + out->count;
    return CORE_OK;
}

uint8_t flowmesh_tlv_record_type(const FlowmeshTlvRecord *record, uint32_t index)
{
    if (record == nullptr || index >= record->count) return 0;
    return record->types[index];
}

uint32_t flowmesh_tlv_record_length(const FlowmeshTlvRecord *record, uint32_t index)
{
    if (record == nullptr || index >= record->count) return 0;
    return read_be32(record->lengths_be + 4 * uint64_t{index});
}
