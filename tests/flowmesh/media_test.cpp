// The media-rate stream: chunks and controls on the wire byte by byte,
// frame windows, the receiver against chunks no sender makes and stale or
// bogus ones, the loss scan's ranges, and a lost chunk coming back through
// a loss report and a resend.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/clock.h"
#include "core/handle.h"
#include "core/system.h"
#include "flowmesh/media.h"
#include "flowmesh/transport.h"
#include "harness.h"

namespace {

constexpr uint16_t kSenderId = 500;
constexpr uint16_t kReceiverId = 501;
constexpr uint64_t kMs = 1000000ULL;

FlowmeshTransportParams media_params(uint16_t local, uint16_t peer)
{
    return flowmesh_harness_stream_params(FLOWMESH_STREAM_MEDIA, local, peer);
}

std::vector<uint8_t> pattern(uint64_t length, uint32_t seed)
{
    return flowmesh_harness_pattern(length, seed);
}

// Datagrams a send function saw, as routed records (32-byte head, then
// the sealed datagram).
struct Wire {
    std::mutex lock;
    std::vector<std::vector<uint8_t>> datagrams;

    static int send(uint16_t, const CoreQueueEntry *records, uint64_t count, void *context)
    {
        Wire *self = nullptr;
        memcpy(&self, context, sizeof(self));
        std::lock_guard<std::mutex> guard(self->lock);
        for (uint64_t i = 0; i < count; ++i) {
            std::vector<uint8_t> bytes(FLOWMESH_RECORD_HEAD + records[i].length);
            memcpy(bytes.data() + FLOWMESH_RECORD_HEAD, records[i].data, records[i].length);
            self->datagrams.push_back(std::move(bytes));
        }
        return 0;
    }
    std::vector<std::vector<uint8_t>> take()
    {
        std::lock_guard<std::mutex> guard(lock);
        return std::move(datagrams);
    }
};

struct Inbox {
    std::mutex lock;
    std::vector<std::vector<uint8_t>> frames;

    static int data(uint16_t, const CoreName *, const void *bytes, uint64_t length, void *context)
    {
        Inbox *self = nullptr;
        memcpy(&self, context, sizeof(self));
        std::lock_guard<std::mutex> guard(self->lock);
        const auto *p = static_cast<const uint8_t *>(bytes);
        self->frames.emplace_back(p, p + length);
        return 0;
    }
};

FlowmeshMediaStats stats_of(uint64_t handle)
{
    FlowmeshMediaStats s = {};
    EXPECT_EQ(flowmesh_media_stats(handle, &s), CORE_OK);
    return s;
}

struct Opened {
    FlowmeshPacketHeader header;
    uint64_t wire_length;
    uint32_t index, count;
    uint16_t frame;
};

class FlowmeshMediaStream : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(core_system_start(0), CORE_OK);
        ASSERT_EQ(flowmesh_media_register(), CORE_OK);
        const FlowmeshTransportParams p = media_params(kSenderId, kReceiverId);
        header_key = core_aes_create(p.header_key.key, p.header_key.length);
        payload_key = core_aes_create(p.payload_key.key, p.payload_key.length);
    }
    void TearDown() override
    {
        CoreHandleTable *table = core_handle_tables[CORE_HANDLES_NETWORK];
        for (uint64_t handle : handles) {
            core_handle_release(table, handle);
            core_handle_wait_freed(table, handle);
        }
        core_aes_destroy(&header_key);
        core_aes_destroy(&payload_key);
        flowmesh_transport_kind_set(FLOWMESH_STREAM_MEDIA, nullptr);
        core_system_stop();
    }
    uint64_t make(uint16_t local, uint16_t peer, Wire *wire, Inbox *inbox,
                  void (*edit)(FlowmeshTransportParams *) = nullptr)
    {
        FlowmeshTransportParams p = media_params(local, peer);
        p.send_fn = Wire::send;
        memcpy(p.send_context, &wire, sizeof(wire));
        if (inbox != nullptr) {
            p.data_fn = Inbox::data;
            memcpy(p.data_context, &inbox, sizeof(inbox));
        }
        if (edit != nullptr) edit(&p);
        const uint64_t handle = flowmesh_transport_create(&p);
        if (handle != 0) handles.push_back(handle);
        return handle;
    }
    static void send(uint64_t sender, const std::vector<uint8_t> &frame, uint8_t type)
    {
        uint64_t length = frame.size();
        ASSERT_EQ(flowmesh_transport_send(sender, FLOWMESH_STREAM_MEDIA, type, frame.data(), &length), CORE_OK);
    }
    static bool wait_sent(uint64_t sender, uint64_t frames)
    {
        return flowmesh_harness_wait([&] { return stats_of(sender).frames_sent >= frames; }, 20000);
    }
    static void deliver(uint64_t to, uint16_t to_id, uint16_t from_id, std::vector<std::vector<uint8_t>> &datagrams)
    {
        std::vector<CoreQueueEntry> records;
        for (auto &d : datagrams) {
            CoreQueueEntry r = {};
            r.type = to_id;
            r.flags = from_id;
            r.length = d.size();
            r.data = d.data();
            records.push_back(r);
        }
        ASSERT_EQ(flowmesh_transport_receive(to, FLOWMESH_STREAM_MEDIA, records.data(), records.size()), CORE_OK);
    }
    std::vector<Opened> open_all(const std::vector<std::vector<uint8_t>> &datagrams, uint16_t to, uint16_t from)
    {
        const FlowmeshOpenRules rules = {to, from, 0, 0};
        std::vector<Opened> out;
        std::vector<uint8_t> payload(FLOWMESH_PAYLOAD_MAX);
        for (const auto &d : datagrams) {
            Opened o = {};
            uint64_t n = 0;
            o.wire_length = d.size() - FLOWMESH_RECORD_HEAD;
            EXPECT_EQ(flowmesh_datagram_open(header_key, payload_key, &rules, d.data() + FLOWMESH_RECORD_HEAD,
                                             o.wire_length, &o.header, payload.data(), &n),
                      CORE_OK);
            o.index = flowmesh_get_be32(o.header.specific);
            o.count = flowmesh_get_be32(o.header.specific + 4);
            o.frame = flowmesh_get_be16(o.header.specific + 8);
            out.push_back(o);
        }
        return out;
    }

    // Outlive the streams, whose threads send into them until TearDown.
    Wire wire, back;
    Inbox inbox;
    std::vector<uint64_t> handles;
    CoreAesKey *header_key = nullptr;
    CoreAesKey *payload_key = nullptr;
};

// A 4000-byte key frame is three chunks of 1408, 1408 and 1184 bytes with
// the key flag; a delta frame after it has none; both arrive byte-exact.
TEST_F(FlowmeshMediaStream, FramesOnTheWire)
{
    const uint64_t sender = make(kSenderId, kReceiverId, &wire, nullptr);
    const uint64_t receiver = make(kReceiverId, kSenderId, &back, &inbox);
    ASSERT_NE(sender, 0u);
    ASSERT_NE(receiver, 0u);
    send(sender, pattern(4000, 1), 1);
    send(sender, pattern(1500, 2), 0);
    ASSERT_TRUE(wait_sent(sender, 2));
    std::vector<std::vector<uint8_t>> datagrams = wire.take();
    const std::vector<Opened> opened = open_all(datagrams, kReceiverId, kSenderId);
    struct Row {
        uint16_t length;
        uint64_t wire_length;
        uint16_t flags;
        uint32_t index, count;
        uint16_t frame;
    };
    const Row rows[] = {
        {1440, 1440, FLOWMESH_MEDIA_KEY_FRAME, 0, 3, 1},
        {1440, 1440, FLOWMESH_MEDIA_KEY_FRAME, 1, 3, 1},
        {1216, 1216, FLOWMESH_MEDIA_KEY_FRAME, 2, 3, 1},
        {1440, 1440, 0, 0, 2, 2},
        {124, 128, 0, 1, 2, 2},
    };
    ASSERT_EQ(opened.size(), std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(opened[i].header.length, rows[i].length);
        EXPECT_EQ(opened[i].wire_length, rows[i].wire_length);
        EXPECT_EQ(opened[i].header.flags, rows[i].flags);
        EXPECT_EQ(opened[i].header.sequence, i + 1) << "one counter from 1";
        EXPECT_EQ(opened[i].index, rows[i].index);
        EXPECT_EQ(opened[i].count, rows[i].count);
        EXPECT_EQ(opened[i].frame, rows[i].frame);
        for (int b = 10; b < FLOWMESH_HDR_SPECIFIC_SIZE; ++b) EXPECT_EQ(opened[i].header.specific[b], 0) << b;
    }
    deliver(receiver, kReceiverId, kSenderId, datagrams);
    ASSERT_EQ(inbox.frames.size(), 2u);
    EXPECT_TRUE(inbox.frames[0] == pattern(4000, 1));
    EXPECT_TRUE(inbox.frames[1] == pattern(1500, 2));
    EXPECT_TRUE(back.take().empty()) << "no loss, no rate control: nothing to say";
}

// A chunk lost on the way is asked for by a loss report and resent with the
// retransmission flag; the frame then arrives whole.
TEST_F(FlowmeshMediaStream, LostChunkComesBackThroughALossReport)
{
    const uint64_t sender = make(kSenderId, kReceiverId, &wire, nullptr);
    const uint64_t receiver = make(kReceiverId, kSenderId, &back, &inbox);
    for (int i = 0; i < 3; ++i) send(sender, pattern(10 * 1408, 10 + i), i == 0);
    ASSERT_TRUE(wait_sent(sender, 3));
    std::vector<std::vector<uint8_t>> datagrams = wire.take();
    ASSERT_EQ(datagrams.size(), 30u);
    datagrams.erase(datagrams.begin() + 13);  // frame 2, chunk 3: sequence 14
    deliver(receiver, kReceiverId, kSenderId, datagrams);
    ASSERT_EQ(inbox.frames.size(), 1u) << "frame 3 waits behind frame 2";

    std::vector<std::vector<uint8_t>> reports = back.take();
    ASSERT_EQ(reports.size(), 1u);
    const std::vector<Opened> report = open_all(reports, kSenderId, kReceiverId);
    FlowmeshMediaLossReport loss;
    flowmesh_media_loss_report_decode(&report[0].header, &loss);
    EXPECT_EQ(report[0].header.flags, FLOWMESH_MEDIA_LOSS_REPORT);
    EXPECT_EQ(loss.first[0], 14u);
    EXPECT_EQ(loss.count[0], 1u);
    EXPECT_EQ(loss.first[1], 0u);

    deliver(sender, kSenderId, kReceiverId, reports);
    ASSERT_TRUE(flowmesh_harness_wait([&] { return stats_of(sender).resends >= 1; }, 10000));
    std::vector<std::vector<uint8_t>> resent = wire.take();
    ASSERT_EQ(resent.size(), 1u);
    const std::vector<Opened> r = open_all(resent, kReceiverId, kSenderId);
    EXPECT_EQ(r[0].header.sequence, 14u);
    EXPECT_EQ(r[0].header.flags, FLOWMESH_MEDIA_RETRANSMISSION);
    deliver(receiver, kReceiverId, kSenderId, resent);
    ASSERT_EQ(inbox.frames.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(inbox.frames[i] == pattern(10 * 1408, 10 + i)) << i;
}

// An application that refuses the rate report does not stop the sender:
// frames keep leaving and the report is offered again.
TEST_F(FlowmeshMediaStream, RefusedRateReportKeepsTheSenderGoing)
{
    static std::atomic<int> refusals;
    refusals = 0;
    const uint64_t sender = make(kSenderId, kReceiverId, &wire, nullptr, [](FlowmeshTransportParams *p) {
        p->options = FLOWMESH_MEDIA_OPTION_RATE_CONTROL | FLOWMESH_MEDIA_OPTION_BITRATE_MODE;
        p->min_bitrate = 100000;
        p->max_bitrate = 4000000;
        p->event_fn = [](uint16_t, uint32_t code, const CoreName *, const CoreName *, const void *, uint64_t,
                         void *) {
            if (code == FLOWMESH_TRANSPORT_QUALITY) refusals.fetch_add(1);
            return 1;
        };
    });
    ASSERT_NE(sender, 0u);
    FlowmeshPacketHeader congestion;
    flowmesh_media_congestion_encode(&congestion);
    std::vector<std::vector<uint8_t>> signal(1, std::vector<uint8_t>(FLOWMESH_RECORD_HEAD + FLOWMESH_HEADER_SIZE));
    ASSERT_EQ(flowmesh_media_seal_control(header_key, &congestion, kReceiverId, kSenderId,
                                          signal[0].data() + FLOWMESH_RECORD_HEAD),
              CORE_OK);
    deliver(sender, kSenderId, kReceiverId, signal);
    ASSERT_TRUE(flowmesh_harness_wait([&] { return refusals.load() >= 2; }, 10000)) << "offered again";
    EXPECT_LT(stats_of(sender).bitrate, 2050000u);
    const uint64_t before = stats_of(sender).frames_sent;
    for (int i = 0; i < 5; ++i) send(sender, pattern(3000, i), 0);
    EXPECT_TRUE(wait_sent(sender, before + 5));
}

// ---- tables ----

TEST(FlowmeshMediaWire, ControlLayoutsByteByByte)
{
    CoreAesKey *key = nullptr;
    const uint8_t k[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    key = core_aes_create(k, sizeof(k));
    ASSERT_NE(key, nullptr);
    const uint16_t local = 0x0102, peer = 0x0A0B;
    struct Row {
        const char *what;
        FlowmeshPacketHeader header;
        uint8_t bytes[32];
    };
    Row rows[3] = {};
    FlowmeshMediaLossReport loss = {{0x1112131415161718ULL, 0x2122232425262728ULL}, {0x3132, 0x4142}};
    flowmesh_media_loss_report_encode(&rows[0].header, &loss);
    rows[0].header.token = 0x8765;
    rows[0].what = "loss report";
    const uint8_t loss_bytes[32] = {0x00, 0x20, 0x87, 0x65, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
                                    0x18, 0x00, 0x02, 0x0A, 0x0B, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26,
                                    0x27, 0x28, 0x31, 0x32, 0x41, 0x42, 0x00, 0x00, 0x86, 0x67};
    memcpy(rows[0].bytes, loss_bytes, 32);
    flowmesh_media_congestion_encode(&rows[1].header);
    rows[1].header.token = 0x8001;
    rows[1].what = "congestion";
    const uint8_t congestion_bytes[32] = {0x00, 0x20, 0x80, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x08, 0x0A, 0x0B,
                                          0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0,    0,    0x81, 0x03};
    memcpy(rows[1].bytes, congestion_bytes, 32);
    FlowmeshMediaFrameReport frames = {{0x0A0B, 0x0C0D, 0x0E0F, 0}, {0x11223344, 0x55667788, 0x99AABBCC, 0}};
    flowmesh_media_frame_report_encode(&rows[2].header, &frames);
    rows[2].what = "frame report";
    const uint8_t frame_bytes[32] = {0x00, 0x20, 0x0A, 0x0B, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                     0x88, 0x00, 0x10, 0x0A, 0x0B, 0x99, 0xAA, 0xBB, 0xCC, 0x00, 0x00,
                                     0x00, 0x00, 0x0C, 0x0D, 0x0E, 0x0F, 0x00, 0x00, 0x0B, 0x09};
    memcpy(rows[2].bytes, frame_bytes, 32);

    for (Row &row : rows) {
        SCOPED_TRACE(row.what);
        uint8_t wire[FLOWMESH_HEADER_SIZE];
        ASSERT_EQ(flowmesh_media_seal_control(key, &row.header, local, peer, wire), CORE_OK);
        uint8_t plain[FLOWMESH_HEADER_SIZE];
        flowmesh_header_encode(&row.header, plain);
        for (int i = 0; i < 32; ++i) EXPECT_EQ(plain[i], row.bytes[i]) << "byte " << i;
        // The peer opens it with its own rules.
        const FlowmeshOpenRules rules = {peer, local, FLOWMESH_FLAG_SET_MEDIA, FLOWMESH_FLAG_SET_MEDIA};
        FlowmeshPacketHeader opened;
        uint64_t n = 1;
        ASSERT_EQ(flowmesh_datagram_open(key, nullptr, &rules, wire, sizeof(wire), &opened, nullptr, &n), CORE_OK);
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(memcmp(&opened.specific, &row.header.specific, sizeof(opened.specific)), 0);
    }
    FlowmeshMediaLossReport loss_back;
    flowmesh_media_loss_report_decode(&rows[0].header, &loss_back);
    FlowmeshMediaFrameReport frames_back;
    flowmesh_media_frame_report_decode(&rows[2].header, &frames_back);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(loss_back.first[i], loss.first[i]);
        EXPECT_EQ(loss_back.count[i], loss.count[i]);
    }
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(frames_back.frame[i], frames.frame[i]);
        EXPECT_EQ(frames_back.bytes[i], frames.bytes[i]);
    }
    core_aes_destroy(&key);
}

TEST(FlowmeshMediaWire, Numbers)
{
    EXPECT_EQ(flowmesh_media_next_frame(1), 2);
    EXPECT_EQ(flowmesh_media_next_frame(65534), 65535);
    EXPECT_EQ(flowmesh_media_next_frame(65535), 1) << "0 is skipped";
    EXPECT_EQ(flowmesh_media_next_frame(0), 1);
    EXPECT_EQ(flowmesh_media_chunk_count(4000, 1408), 3u);
    EXPECT_EQ(flowmesh_media_chunk_count(2816, 1408), 2u);
    EXPECT_EQ(flowmesh_media_chunk_count(0, 1408), 0u);
    EXPECT_EQ(flowmesh_media_chunk_count(200000, 256), 782u);
    const uint32_t thirty[2] = {30, 1}, unset[2] = {30, 0};
    EXPECT_EQ(flowmesh_media_period_ns(thirty), 33333333u);
    EXPECT_EQ(flowmesh_media_period_ns(unset), 0u);
}

TEST(FlowmeshMediaWire, WindowBounds)
{
    struct Row {
        const char *what;
        uint32_t nominal[2], peak[2];
        uint32_t minimum, maximum;
    };
    const Row rows[] = {
        {"6 and 30 per second", {6, 1}, {30, 1}, 8, 60},
        {"unset: the same", {0, 0}, {0, 0}, 8, 60},
        {"a zero denominator means unset", {30, 0}, {60, 0}, 8, 60},
        {"30 and 30", {30, 1}, {30, 1}, 40, 60},
        {"NTSC rates", {30000, 1001}, {60000, 1001}, 39, 119},
        {"crossed: nominal above peak", {60, 1}, {10, 1}, 80, 80},
        {"peak of 1 per second", {6, 1}, {1, 1}, 8, 8},
        {"both past the ceiling", {2000, 1}, {1000, 1}, 1024, 1024},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const FlowmeshMediaWindow w = flowmesh_media_window_bounds(row.nominal, row.peak);
        EXPECT_EQ(w.minimum, row.minimum);
        EXPECT_EQ(w.maximum, row.maximum);
    }
}

// ---- the receiver on its own ----

struct Rx {
    FlowmeshMediaReceiver *rx = nullptr;
    uint64_t now = 1000 * kMs;
    std::vector<uint16_t> delivered;
    std::vector<FlowmeshPacketHeader> controls;

    explicit Rx(uint32_t nominal = 30, uint32_t peak = 30, int reports = 0)
    {
        FlowmeshMediaReceiverConfig c = {{nominal, 1}, {peak, 1}, reports};
        rx = flowmesh_media_receiver_create(&c);
    }
    ~Rx() { flowmesh_media_receiver_destroy(&rx); }

    CoreResult chunk(uint64_t sequence, uint32_t index, uint32_t count, uint16_t frame, uint64_t length = 100,
                     uint16_t flags = 0)
    {
        FlowmeshPacketHeader h = {};
        h.sequence = sequence;
        h.flags = flags;
        flowmesh_put_be32(h.specific, index);
        flowmesh_put_be32(h.specific + 4, count);
        flowmesh_put_be16(h.specific + 8, frame);
        const std::vector<uint8_t> payload = pattern(length, static_cast<uint32_t>(sequence));
        const CoreResult r = flowmesh_media_receiver_on_chunk(rx, &h, payload.data(), length, now);
        drain();
        return r;
    }
    // Frame `frame` of `count` chunks from sequence number `first`, every
    // chunk but those in `skip`.
    void frame(uint64_t first, uint32_t count, uint16_t frame, std::vector<uint32_t> skip = {})
    {
        now += 33 * kMs;
        for (uint32_t i = 0; i < count; ++i) {
            if (std::find(skip.begin(), skip.end(), i) != skip.end()) continue;
            EXPECT_EQ(chunk(first + i, i, count, frame), CORE_OK);
        }
    }
    void scan()
    {
        flowmesh_media_receiver_scan(rx, now);
        drain();
    }
    void drain()
    {
        FlowmeshMediaFrame f;
        while (flowmesh_media_receiver_take_frame(rx, &f)) {
            delivered.push_back(f.number);
            flowmesh_media_frame_free(&f);
        }
        FlowmeshPacketHeader h;
        while (flowmesh_media_receiver_take_control(rx, &h)) controls.push_back(h);
    }
    FlowmeshMediaReceiverStats stats() const { return flowmesh_media_receiver_stats(rx); }
};

TEST(FlowmeshMediaReceiver, FrameNumbersWrapInOrder)
{
    Rx r;
    // Frame 1's chunks come before the last of frame 65535's.
    r.frame(1, 2, 65534);
    r.chunk(3, 0, 2, 65535);
    r.frame(5, 2, 1);
    r.chunk(4, 1, 2, 65535);
    r.frame(7, 2, 2);
    EXPECT_EQ(r.delivered, (std::vector<uint16_t>{65534, 65535, 1, 2}));
    EXPECT_EQ(r.stats().next_expected, 9u);
}

// Fields no sender makes are refused and store nothing; the stream goes on.
TEST(FlowmeshMediaReceiver, RefusesChunkFieldsNoSenderMakes)
{
    struct Row {
        const char *what;
        uint64_t sequence;
        uint32_t index, count;
        uint16_t frame;
        uint64_t length;
    };
    const Row rows[] = {
        {"frame number 0", 5, 0, 2, 0, 100},
        {"chunk count 0", 5, 0, 0, 9, 100},
        {"index equal to the count", 5, 2, 2, 9, 100},
        {"index past the count", 5, 7, 2, 9, 100},
        {"sequence number at the index: first would be 0", 3, 3, 5, 9, 100},
        {"sequence number below the index", 2, 3, 5, 9, 100},
        {"more chunks than the largest frame needs", 5, 0, FLOWMESH_MEDIA_CHUNKS_MAX + 1, 9, 100},
        {"empty chunk", 5, 0, 2, 9, 0},
        {"longer than a datagram holds", 5, 0, 2, 9, 1409},
        {"a frame starting far beyond the horizon", 1ULL << 40, 0, 2, 9, 100},
        {"first number plus count past 2^64", UINT64_MAX - 1, 0, 5, 9, 100},
    };
    Rx r;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(r.chunk(row.sequence, row.index, row.count, row.frame, row.length), CORE_ERR_REFUSED);
    }
    EXPECT_EQ(r.stats().refused, std::size(rows));
    EXPECT_EQ(r.stats().busy, 0u);

    // Chunks of one frame must agree on where it starts and how long it is.
    ASSERT_EQ(r.chunk(1, 0, 3, 1), CORE_OK);
    EXPECT_EQ(r.chunk(3, 1, 3, 1), CORE_ERR_REFUSED) << "first number 2, not 1";
    EXPECT_EQ(r.chunk(2, 1, 4, 1), CORE_ERR_REFUSED) << "count 4, not 3";
    r.chunk(2, 1, 3, 1);
    r.chunk(3, 2, 3, 1);
    EXPECT_EQ(r.delivered, (std::vector<uint16_t>{1}));
}

// Chunks of an earlier run of the stream (after a rebind) and bogus ones
// ahead of the stream: every frame of the live run still arrives in order.
TEST(FlowmeshMediaReceiver, StaleAndBogusChunksDoNotStallDelivery)
{
    Rx r;
    // The old run got to sequence number 90000 and frame 1500; its frame 5
    // lies far ahead of the new run's start.
    EXPECT_EQ(r.chunk(90000, 0, 3, 1500), CORE_OK);
    EXPECT_EQ(r.chunk(20000, 1, 4, 5), CORE_OK);
    // A chunk claiming the largest count at the expected number.
    EXPECT_EQ(r.chunk(1, 0, FLOWMESH_MEDIA_CHUNKS_MAX, 40000), CORE_OK);

    std::vector<uint16_t> expected;
    uint64_t sequence = 1;
    for (uint16_t frame = 1; frame <= 300; ++frame) {
        const uint32_t count = 1 + frame % 5;
        r.frame(sequence, count, frame);
        sequence += count;
        expected.push_back(frame);
        if (frame == 150) {
            // Late chunks of the old run, now behind the stream.
            EXPECT_EQ(r.chunk(3, 0, 2, 1499), CORE_OK);
            EXPECT_EQ(r.chunk(sequence + 100000, 0, 2, 151), CORE_OK) << "a stray frame 151 far ahead";
        }
    }
    EXPECT_EQ(r.delivered, expected);
    EXPECT_EQ(r.stats().next_expected, sequence);
    EXPECT_GE(r.stats().stale, 1u);
}

// A frame that stays incomplete gives way when the window moves on; the
// stream does not wait for it.
TEST(FlowmeshMediaReceiver, IncompleteFramesGiveWay)
{
    struct Row {
        const char *what;
        uint32_t nominal, peak;
    };
    const Row rows[] = {{"6 and 30 per second", 6, 30}, {"crossed bounds", 60, 10}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Rx r(row.nominal, row.peak, 1);
        uint64_t sequence = 1;
        std::vector<uint16_t> whole;
        for (uint16_t frame = 1; frame <= 400; ++frame) {
            std::vector<uint32_t> skip;
            if (frame % 7 == 0) skip.push_back(1);
            r.frame(sequence, 3, frame, skip);
            if (skip.empty()) whole.push_back(frame);
            sequence += 3;
            const FlowmeshMediaReceiverStats s = r.stats();
            ASSERT_LE(s.busy, s.window);
        }
        const FlowmeshMediaWindow bounds = flowmesh_media_window_bounds(
            std::vector<uint32_t>{row.nominal, 1}.data(), std::vector<uint32_t>{row.peak, 1}.data());
        // Everything whole arrived, in order, but the frames still inside
        // the window behind the last gap.
        ASSERT_GE(r.delivered.size() + bounds.maximum, whole.size());
        EXPECT_TRUE(std::is_sorted(r.delivered.begin(), r.delivered.end()));
        for (uint16_t f : r.delivered) EXPECT_NE(f % 7, 0) << f;
        EXPECT_GT(r.stats().frames_dropped, 0u);
        bool frame_reports = false;
        for (const FlowmeshPacketHeader &h : r.controls) frame_reports |= h.flags == FLOWMESH_MEDIA_FRAME_REPORT;
        EXPECT_TRUE(frame_reports);
    }
}

// A run of 100 missing numbers: 33 ranges of 3 and one of 1 in 17 loss
// reports. More than 64 ranges missing: the scan stops at 64 (what the
// sender's table holds) and signals congestion.
TEST(FlowmeshMediaReceiver, LossScanRanges)
{
    {
        Rx r;
        r.frame(1, 2, 1);
        r.frame(103, 2, 3);  // frame 2 (numbers 3..102) lost whole
        r.scan();
        std::vector<std::pair<uint64_t, uint16_t>> ranges;
        for (const FlowmeshPacketHeader &h : r.controls) {
            ASSERT_EQ(h.flags, FLOWMESH_MEDIA_LOSS_REPORT);
            FlowmeshMediaLossReport loss;
            flowmesh_media_loss_report_decode(&h, &loss);
            for (int i = 0; i < 2; ++i)
                if (loss.first[i] != 0) ranges.emplace_back(loss.first[i], loss.count[i]);
        }
        EXPECT_EQ(r.controls.size(), 17u);
        ASSERT_EQ(ranges.size(), 34u);
        for (size_t i = 0; i < 33; ++i) {
            EXPECT_EQ(ranges[i].first, 3 + 3 * i);
            EXPECT_EQ(ranges[i].second, 3u);
        }
        EXPECT_EQ(ranges[33].first, 102u);
        EXPECT_EQ(ranges[33].second, 1u);
    }
    {
        // Ten frames with every other chunk lost: 100 ranges are missing,
        // one scan reports 64.
        Rx r;
        std::vector<uint32_t> odd;
        for (uint32_t i = 1; i < 20; i += 2) odd.push_back(i);
        for (uint16_t frame = 1; frame <= 10; ++frame) r.frame(1 + 20 * (frame - 1), 20, frame, odd);
        r.scan();
        int reports = 0, congestion = 0;
        for (const FlowmeshPacketHeader &h : r.controls) {
            reports += h.flags == FLOWMESH_MEDIA_LOSS_REPORT;
            congestion += h.flags == FLOWMESH_MEDIA_CONGESTION;
        }
        EXPECT_EQ(reports, 32);
        EXPECT_EQ(congestion, 1);
        EXPECT_EQ(r.stats().loss_ranges, 64u);
        // The next scan waits a frame interval.
        r.controls.clear();
        r.scan();
        EXPECT_TRUE(r.controls.empty());
    }
}

}  // namespace
