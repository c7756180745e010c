// The TLV decoder against arbitrary peer bytes.
//
// Input: the first byte picks the size of the pieces the stream arrives in
// (0: all at once), the rest is the stream. Besides surviving, the decoder
// must
//   - hand out the same items, with the same verdict, whatever the pieces;
//   - hand out only items that obey the length rules;
//   - account for its input exactly: the items re-encode to the very bytes
//     they came from;
//   - give every block back once reset.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/pool.h"
#include "core/queue.h"
#include "core/tlv.h"

namespace {

struct Item {
    uint8_t type;
    std::vector<uint8_t> value;
    bool operator==(const Item &) const = default;
};

struct Run {
    CoreResult result = CORE_OK;
    std::vector<Item> items;
};

void require(bool ok)
{
    if (!ok) abort();
}

CoreResult collect(const CoreTlvItem *item, void *user)
{
    require(core_tlv_check(item->length, item->type) == CORE_OK);
    require(item->length == 0 || item->value != nullptr);
    const auto *p = static_cast<const uint8_t *>(item->value);
    static_cast<Run *>(user)->items.push_back({item->type, std::vector<uint8_t>(p, p + item->length)});
    return CORE_OK;
}

CorePool *decoder_pool()
{
    // Room for the one split value a decoder holds at a time, and no more:
    // a decoder that leaked blocks would soon run dry here.
    static CorePool *pool = [] {
        CorePoolConfig pc = {};
        pc.size = 2 * CORE_TLV_BLOB_MAX;
        return core_pool_create(&pc);
    }();
    return pool;
}

CoreChannel *encode_channel()
{
    static CoreChannel *channel = [] {
        CoreChannelConfig cc = {};
        return core_channel_create(&cc);
    }();
    return channel;
}

// Feeds the stream in pieces, each in an allocation of exactly its size.
Run decode(const uint8_t *data, size_t size, size_t piece)
{
    CoreTlvDecoder decoder;
    core_tlv_decoder_init(&decoder, decoder_pool());
    Run run;
    for (size_t at = 0; at < size && run.result == CORE_OK; at += piece) {
        const size_t n = piece < size - at ? piece : size - at;
        std::vector<uint8_t> exact(data + at, data + at + n);
        run.result = core_tlv_decoder_feed(&decoder, exact.data(), exact.size(), collect, &run);
    }
    core_tlv_decoder_reset(&decoder);
    require(decoder_pool()->in_use == 0);
    return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    const size_t piece = data[0] == 0 ? SIZE_MAX : data[0];
    const uint8_t *stream = data + 1;
    const size_t length = size - 1;

    const Run whole = decode(stream, length, SIZE_MAX);
    require(whole.result == CORE_OK || whole.result == CORE_ERR_INVALID);
    if (piece != SIZE_MAX) {
        const Run pieces = decode(stream, length, piece);
        require(pieces.result == whole.result);
        require(pieces.items == whole.items);
    }

    if (whole.items.empty()) return 0;
    std::vector<CoreTlvItem> items;
    uint64_t consumed = 0;
    for (const Item &i : whole.items) {
        items.push_back({i.type, i.value.size(), i.value.empty() ? nullptr : i.value.data()});
        consumed += CORE_TLV_HEAD_SIZE + i.value.size();
    }
    require(consumed <= length);
    CoreChannel *channel = encode_channel();
    require(core_tlv_send(channel, nullptr, 0, 0, items.data(), items.size()) == CORE_OK);
    CoreQueueRecord *record = core_queue_pop(channel->queue);
    require(record != nullptr);
    const CoreQueueEntry entry = core_queue_record_entry(record);
    require(entry.length == consumed && memcmp(entry.data, stream, consumed) == 0);
    core_queue_record_free(channel->queue, &record);
    return 0;
}
