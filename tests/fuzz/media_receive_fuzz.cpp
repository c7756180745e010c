// The media-rate stream's receiver against arbitrary opened datagrams.
//
// Input: one mode byte, then records of 13 bytes each followed by their
// payload: u16 frame number, u16 chunk index, u16 chunk count, u32
// sequence number, u8 flags (bit 0: key frame; bit 1: run a loss scan
// after it), u16 payload length (modulo 1409), all big-endian. Mode bit 0
// folds counts below 16 and sequence numbers below 4096, so that whole
// frames, gaps and drops are within the fuzzer's reach; mode bits 1..3
// pick the frame rates, crossed bounds among them. Opening is fuzzed on
// its own (datagram_open_fuzz). Besides surviving, the receiver must keep
// its window within its bounds and never move its expected number back,
// and the control layouts must read back what was written.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "flowmesh/media.h"

namespace {

void require(bool ok)
{
    if (!ok) abort();
}

constexpr size_t kRecordHead = 13;

void check_controls(FlowmeshMediaReceiver *receiver)
{
    FlowmeshPacketHeader h;
    while (flowmesh_media_receiver_take_control(receiver, &h)) {
        require(h.length == FLOWMESH_HEADER_SIZE);
        if (h.flags == FLOWMESH_MEDIA_LOSS_REPORT) {
            FlowmeshMediaLossReport loss;
            flowmesh_media_loss_report_decode(&h, &loss);
            require(loss.first[0] != 0 && loss.count[0] != 0);
        } else if (h.flags == FLOWMESH_MEDIA_FRAME_REPORT) {
            FlowmeshMediaFrameReport report;
            flowmesh_media_frame_report_decode(&h, &report);
            require(report.frame[0] != 0);
            FlowmeshPacketHeader again;
            flowmesh_media_frame_report_encode(&again, &report);
            require(again.token == h.token && again.sequence == h.sequence &&
                    memcmp(again.specific, h.specific, sizeof(h.specific)) == 0);
        } else {
            require(h.flags == FLOWMESH_MEDIA_CONGESTION);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    static const uint32_t rates[8][4] = {{30, 1, 30, 1}, {6, 1, 30, 1}, {60, 1, 10, 1}, {0, 0, 0, 0},
                                         {30000, 1001, 60000, 1001}, {1, 1, 1, 1}, {2000, 1, 1000, 1}, {30, 0, 5, 1}};
    const uint32_t *rate = rates[(mode >> 1) & 7];
    FlowmeshMediaReceiverConfig config = {{rate[0], rate[1]}, {rate[2], rate[3]}, (mode >> 4) & 1};
    FlowmeshMediaReceiver *receiver = flowmesh_media_receiver_create(&config);
    require(receiver != nullptr);
    const FlowmeshMediaWindow bounds = flowmesh_media_window_bounds(config.frame_rate, config.peak_rate);
    require(bounds.minimum >= 8 && bounds.minimum <= bounds.maximum && bounds.maximum <= 1024);

    uint64_t now = 1000000000ULL;
    uint64_t expected = 1;
    size_t at = 1;
    while (at + kRecordHead <= size) {
        const uint8_t *r = data + at;
        FlowmeshPacketHeader header = {};
        const uint16_t frame = flowmesh_get_be16(r);
        uint32_t index = flowmesh_get_be16(r + 2), count = flowmesh_get_be16(r + 4);
        uint64_t sequence = flowmesh_get_be32(r + 6);
        const uint8_t flags = r[10];
        const uint64_t length = flowmesh_get_be16(r + 11) % (FLOWMESH_PAYLOAD_MAX + 1);
        if (mode & 1) {
            index %= 16;
            count %= 16;
            sequence %= 4096;
        }
        if (mode & 0x20) count = FLOWMESH_MEDIA_CHUNKS_MAX + (count & 1);  // the largest counts
        header.sequence = sequence;
        header.flags = (flags & 1) ? FLOWMESH_MEDIA_KEY_FRAME : 0;
        flowmesh_put_be32(header.specific, index);
        flowmesh_put_be32(header.specific + 4, count);
        flowmesh_put_be16(header.specific + 8, frame);
        at += kRecordHead;

        // Exactly the payload's bytes on the heap: a read past them is a
        // crash.
        std::unique_ptr<uint8_t[]> payload(new uint8_t[length > 0 ? length : 1]());
        const size_t available = size - at < length ? size - at : length;
        memcpy(payload.get(), data + at, available);
        at += available;

        now += 1000000ULL * (flags >> 4);
        const CoreResult result = flowmesh_media_receiver_on_chunk(receiver, &header, payload.get(), length, now);
        require(result == CORE_OK || result == CORE_ERR_REFUSED);
        if (flags & 2) flowmesh_media_receiver_scan(receiver, now);

        const FlowmeshMediaReceiverStats stats = flowmesh_media_receiver_stats(receiver);
        require(stats.next_expected >= expected);
        expected = stats.next_expected;
        require(stats.window >= bounds.minimum && stats.window <= bounds.maximum && stats.busy <= stats.window);
        FlowmeshMediaFrame out;
        while (flowmesh_media_receiver_take_frame(receiver, &out)) {
            require(out.number != 0 && out.data != nullptr);
            uint8_t sum = 0;
            for (uint64_t i = 0; i < out.length; ++i) sum ^= out.data[i];
            (void)sum;
            flowmesh_media_frame_free(&out);
        }
        check_controls(receiver);
    }
    flowmesh_media_receiver_destroy(&receiver);
    return 0;
}
