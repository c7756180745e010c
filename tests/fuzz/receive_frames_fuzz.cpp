// The receive service's frame messages against arbitrary peer bytes.
//
// Input: one mode byte, then the message bytes. Mode bit 0: the bytes are
// what arrives on the stream, fed through the network library's TLV
// reader as a receiver feeds it (in pieces whose size mode bits 4..7
// choose), and every record it completes is assembled. Otherwise the
// bytes are a big-endian u16 cut point and record values as the reader
// hands them over, cut in two records there. Mode bits 1..2 pick the
// stream's media flags (video, audio, both, neither). The control service
// reads every byte of every chain it is pushed. Besides surviving, the
// reorder rule must hold after each record that was read: no waiting frame
// is one that could have been delivered.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/notify.h"
#include "core/queue.h"
#include "core/system.h"
#include "core/tree.h"
#include "engine/codes.h"
#include "engine/receive.h"
#include "flowmesh/service.h"

namespace {

void require(bool ok)
{
    if (!ok) abort();
}

volatile uint8_t g_sink;

CoreResult on_control(uint32_t code, const void *in, uint64_t in_len, void *out, uint64_t *out_len, void **)
{
    if (code != ENGINE_CTL_PUSH_FRAMES) return CORE_NOT_MINE;
    require(in != nullptr && in_len == sizeof(EngineFrameBatch) && out_len != nullptr);
    uint64_t total = 0;
    uint8_t x = 0;
    for (const auto *s = static_cast<const RavkSample *>(out); s != nullptr; s = s->next) {
        require(s->data != nullptr);
        for (uint64_t i = 0; i < s->size; ++i) x ^= s->data[i];
        total += s->size;
    }
    g_sink = x;
    require(total == *out_len);
    return CORE_OK;
}

bool started = false;

void start_once()
{
    if (started) return;
    started = true;
    require(core_system_start(0) == CORE_OK);
    const CoreName control = core_name_of(ENGINE_CONTROL_SERVICE);
    require(core_notify_channel_create(&control) == CORE_OK);
    const CoreNotifySubscription s = {on_control, {nullptr, nullptr}};
    require(core_notify_subscribe(&control, &s) != 0);
}

struct Stream {
    EngineReceiveService service{};
    EngineReceiveSession session{};
    EngineReceiveStream stream{};
};

void assemble(Stream &s, const void *data, uint64_t length)
{
    const CoreResult r = engine_receive_assemble(&s.service, &s.session, &s.stream, data, length);
    if (r < 0) return;
    CoreTreeNode *first = core_tree_first(s.stream.reorder);
    if (first == nullptr) return;
    const uint64_t waiting = *static_cast<const uint64_t *>(first->key);
    require(s.stream.nextSequence != 0 && waiting > s.stream.nextSequence);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    start_once();
    const uint8_t mode = data[0];
    static const uint32_t media[4] = {0x2, 0x1, 0x3, 0x10};
    Stream s;
    s.service.controlService = core_name_of(ENGINE_CONTROL_SERVICE);
    s.session.header.key = core_name_of("session.fuzz");
    s.stream.header.key = core_name_of("stream.40000000");
    s.stream.sessionName = s.session.header.key;
    s.stream.streamName = s.stream.header.key;
    s.stream.mediaFlags = media[(mode >> 1) & 3];
    const CoreTreeConfig tree = {{}, engine_sequence_compare};
    s.stream.reorder = core_tree_create(&tree);
    require(s.stream.reorder != nullptr);

    const uint8_t *rest = data + 1;
    const size_t n = size - 1;
    if (mode & 1) {
        FlowmeshTlvChannelConfig config = {};
        FlowmeshTlvChannel *reader = flowmesh_channel_create(&config);
        require(reader != nullptr);
        const size_t piece = (mode >> 4) == 0 ? n + 1 : (mode >> 4);
        for (size_t at = 0; at < n; at += piece) {
            CoreQueueEntry e = {};
            e.length = n - at < piece ? n - at : piece;
            e.data = const_cast<uint8_t *>(rest + at);
            flowmesh_tlv_reader_feed(reader, &e);
            while (CoreQueueRecord *record = core_queue_pop(reader->queue)) {
                const CoreQueueEntry queued = core_queue_record_entry(record);
                CoreQueueEntry view = {};
                require(flowmesh_tlv_queued_view(&queued, &view) == CORE_OK);
                assemble(s, view.data, view.length);
                core_queue_record_free(reader->queue, &record);
            }
        }
        flowmesh_channel_destroy(&reader);
    } else {
        if (n < 2) {
            assemble(s, rest, n);
        } else {
            const uint8_t *values = rest + 2;
            const size_t cut = (static_cast<size_t>(rest[0]) << 8 | rest[1]) % (n - 1);
            assemble(s, values, cut);
            assemble(s, values + cut, n - 2 - cut);
        }
    }
    engine_receive_reorder_clear(&s.stream);
    core_tree_destroy(&s.stream.reorder);
    return 0;
}
