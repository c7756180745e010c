// The service stream's reader and the control-message parser against
// arbitrary peer bytes.
//
// Input: the first byte picks the size of the pieces the stream arrives in
// (0: all at once), the rest is the stream. Besides surviving, they must
//   - hand out records whose item lengths add up to their values exactly;
//   - accept a control message only when re-encoding it gives back the very
//     values it was parsed from, so nothing the parser let through was
//     guessed or read from outside its items.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/queue.h"
#include "flowmesh/control.h"
#include "flowmesh/service.h"

namespace {

void require(bool ok)
{
    if (!ok) abort();
}

FlowmeshTlvChannel *make_channel()
{
    // Bounded, so a stream of huge items fails the feed instead of the host.
    FlowmeshTlvChannelConfig config = {};
    config.pool_size = 16u << 20;
    FlowmeshTlvChannel *channel = flowmesh_channel_create(&config);
    require(channel != nullptr);
    return channel;
}

// Takes every queued record of `channel` and hands its view to `fn`.
template <typename Fn>
void drain(FlowmeshTlvChannel *channel, Fn fn)
{
    while (CoreQueueRecord *record = core_queue_pop(channel->queue)) {
        CoreQueueEntry queued = core_queue_record_entry(record);
        CoreQueueEntry view;
        require(flowmesh_tlv_queued_view(&queued, &view) == CORE_OK);
        FlowmeshTlvRecord r;
        require(flowmesh_tlv_record_of(&view, &r) == CORE_OK);
        uint64_t sum = 0;
        for (uint32_t i = 0; i < r.count; ++i) sum += flowmesh_tlv_record_length(&r, i);
        require(sum == r.length && r.count > 0 && flowmesh_tlv_record_type(&r, r.count - 1) == 0xFF);
        fn(r);
        core_queue_record_free(channel->queue, &record);
    }
}

void check_reencodes(const FlowmeshTlvRecord &record, const FlowmeshControlMessage &m)
{
    CoreChannelConfig cc = {};
    CoreChannel *writer = core_channel_create(&cc);
    CoreName session = {};
    require(flowmesh_control_send(writer, &session, &m) == CORE_OK);
    CoreQueueRecord *sent = core_queue_pop(writer->queue);
    require(sent != nullptr);
    CoreQueueEntry wire = core_queue_record_entry(sent);
    FlowmeshTlvChannel *again = make_channel();
    require(flowmesh_tlv_reader_feed(again, &wire) == CORE_OK);
    int records = 0;
    drain(again, [&](const FlowmeshTlvRecord &r) {
        ++records;
        require(r.length == record.length && memcmp(r.values, record.values, r.length) == 0);
    });
    require(records == 1);
    flowmesh_channel_destroy(&again);
    core_queue_record_free(writer->queue, &sent);
    core_channel_destroy(&writer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) return 0;
    const size_t piece = data[0] == 0 ? size : data[0];
    FlowmeshTlvChannel *channel = make_channel();
    for (size_t at = 1; at < size; at += piece) {
        const size_t n = piece < size - at ? piece : size - at;
        std::vector<uint8_t> exact(data + at, data + at + n);
        CoreQueueEntry entry = {};
        entry.length = exact.size();
        entry.data = exact.data();
        flowmesh_tlv_reader_feed(channel, &entry);
        drain(channel, [](const FlowmeshTlvRecord &r) {
            FlowmeshControlMessage m;
            if (flowmesh_control_parse(&r, &m) != CORE_OK) return;
            if (m.code == FLOWMESH_CTL_PEER_VALUE || m.code == FLOWMESH_CTL_FORWARD || m.code == FLOWMESH_CTL_IDENTITY ||
                m.code == FLOWMESH_CTL_CLOSE || m.code == FLOWMESH_CTL_ESTABLISHED ||
                m.code == FLOWMESH_CTL_OPEN_STREAM || m.code == FLOWMESH_CTL_OPEN_STREAM_REPLY)
                check_reencodes(r, m);
        });
    }
    flowmesh_channel_destroy(&channel);
    return 0;
}
