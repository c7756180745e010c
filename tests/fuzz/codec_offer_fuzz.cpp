// Codec offers rebuilt from whatever a peer sends on its binding stream:
// the network library's TLV reader joins the items up to each END, and the
// offer reader and the stream-set rebuild take the record from there.
//
// Input: the first byte picks the size of the pieces the stream arrives in
// (0: all at once), the rest is the stream. Besides surviving, they must
//   - refuse every record shorter than the offer header;
//   - rebuild exactly the whole entries the record's length holds, each
//     record's bytes taken from its own entry and its channel from the
//     header, whatever the header's size word claims.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/pool.h"
#include "core/queue.h"
#include "engine/binding.h"
#include "engine/codec_offer.h"
#include "engine/node.h"
#include "flowmesh/service.h"

namespace {

void require(bool ok)
{
    if (!ok) abort();
}

// The stream sets come from the node's pool, so a node runs for the
// fuzzer's whole life.
EngineNode *node()
{
    static EngineNode *running = [] {
        require(engine_node_start(0) == CORE_OK);
        return engine_node_running();
    }();
    return running;
}

void check_record(const uint8_t *values, uint64_t length)
{
    // An exact-sized copy: a read past the record's end is caught.
    std::vector<uint8_t> copy(values, values + length);
    const auto *record = reinterpret_cast<const EngineCodecOffer *>(copy.empty() ? nullptr : copy.data());
    uint64_t count = 0;
    const CoreResult read = engine_offer_read(record, length, &count);
    EngineStreamSet *set = engine_offer_to_stream_set(record, length, nullptr, "fuzz", 9);
    if (length < ENGINE_OFFER_HEADER_SIZE) {
        require(read == CORE_ERR_INVALID && set == nullptr);
        return;
    }
    require(read == CORE_OK && count == (length - ENGINE_OFFER_HEADER_SIZE) / ENGINE_OFFER_ENTRY_SIZE);
    require(set != nullptr && set->count == count && set->kind == 9 && strcmp(set->sourceName, "fuzz") == 0);
    for (uint64_t i = 0; i < count; ++i) {
        const EngineCodecOfferEntry &entry = record->entries[i];
        const EngineStreamRecord &out = set->records[i];
        require(memcmp(out.channel.key, record->channel, CORE_NAME_KEY_SIZE) == 0);
        require(memcmp(out.slot.key, entry.slot, CORE_NAME_KEY_SIZE) == 0);
        require(memcmp(out.streamName.key, entry.streamName, CORE_NAME_KEY_SIZE) == 0);
        require(out.roleWord == entry.roleWord && out.mediaFlags == entry.mediaFlags);
        require(memcmp(&out.props, &entry.props, sizeof(EngineProps)) == 0);
    }
    void *block = set;
    core_pool_free(node()->pool, &block);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) return 0;
    node();
    const size_t piece = data[0] == 0 ? size : data[0];
    // Bounded as the binding service bounds each peer's reader.
    FlowmeshTlvChannelConfig config = {};
    config.pool_size = ENGINE_BINDING_READER_POOL_SIZE;
    FlowmeshTlvChannel *reader = flowmesh_channel_create(&config);
    require(reader != nullptr);
    for (size_t at = 1; at < size; at += piece) {
        const size_t n = piece < size - at ? piece : size - at;
        std::vector<uint8_t> exact(data + at, data + at + n);
        CoreQueueEntry entry = {};
        entry.length = exact.size();
        entry.data = exact.data();
        flowmesh_tlv_reader_feed(reader, &entry);
        while (CoreQueueRecord *queued = core_queue_pop(reader->queue)) {
            const CoreQueueEntry q = core_queue_record_entry(queued);
            CoreQueueEntry view;
            require(flowmesh_tlv_queued_view(&q, &view) == CORE_OK);
            check_record(static_cast<const uint8_t *>(view.data), view.length);
            core_queue_record_free(reader->queue, &queued);
        }
    }
    flowmesh_channel_destroy(&reader);
    return 0;
}
