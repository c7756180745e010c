// The receive service: the frame message's entries and flags, the reorder
// rule against a recording control service, and the service itself over
// real sessions of the network library (media_loop.h).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/system.h"
#include "core/tlv.h"
#include "core/topic.h"
#include "engine/codes.h"
#include "engine/media_loop.h"
#include "engine/receive.h"

namespace {

using namespace media_loop;

// One entry of a record as the TLV reader hands it over.
struct Entry {
    uint64_t sequence;
    uint32_t wire = 0;
    uint32_t size = 3;
    int64_t record_length = -1;  // -1: the true one
};

std::vector<uint8_t> data_of(uint64_t sequence, uint32_t size)
{
    std::vector<uint8_t> d(size);
    for (uint32_t i = 0; i < size; ++i) d[i] = static_cast<uint8_t>(sequence * 31 + i);
    return d;
}

void put(std::vector<uint8_t> &out, const void *p, size_t n)
{
    const auto *b = static_cast<const uint8_t *>(p);
    out.insert(out.end(), b, b + n);
}

std::vector<uint8_t> record_of(const std::vector<Entry> &entries, const CoreName &channel)
{
    std::vector<uint8_t> out;
    for (const Entry &e : entries) {
        const uint32_t length = e.record_length >= 0 ? static_cast<uint32_t>(e.record_length) : 76 + e.size;
        const uint32_t format = 1;
        const int64_t pts = static_cast<int64_t>(e.sequence) * 1000, dts = pts - 1, duration = 33;
        put(out, &length, 4);
        put(out, &format, 4);
        put(out, &e.wire, 4);
        put(out, &e.sequence, 8);
        put(out, &pts, 8);
        put(out, &dts, 8);
        put(out, &duration, 8);
        put(out, channel.key, 32);
        const std::vector<uint8_t> d = data_of(e.sequence, e.size);
        put(out, d.data(), d.size());
    }
    return out;
}

TEST(FrameWire, FlagsTravelWithBitsOneAndTwoExchanged)
{
    struct Case {
        const char *purpose;
        uint32_t flags, tag, wire;
    };
    const Case cases[] = {
        {"nothing", 0, 0, 0},
        {"key frame", 0x2, 0, 0x4},
        {"key frame, tag 4, discontinuity", 0x3, 4, 0x30000085},
        {"carried bit 2 and the pts bit", 0xC, 0, 0xA},
        {"bits 4 and 5 as they are", 0x30, 1, 0xB0},
        {"both exchanged bits, tag 2", 0x6, 2, 0x10000086},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(engine_frame_flags_to_wire(c.flags, c.tag), c.wire) << c.purpose;
        uint32_t flags = 99, tag = 99;
        engine_frame_flags_from_wire(c.wire, &flags, &tag);
        EXPECT_EQ(flags, c.flags) << c.purpose;
        EXPECT_EQ(tag, c.tag) << c.purpose;
    }
    uint32_t flags = 0, tag = 0;
    engine_frame_flags_from_wire(0x30000000 | 0x40 | 0x100, &flags, &tag);
    EXPECT_EQ(flags, 0u) << "unknown wire bits are ignored";
    EXPECT_EQ(tag, 0u) << "no tag without bit 7, whatever bits 28-29 hold";
    EXPECT_EQ(engine_frame_flags_to_wire(0x40, 5), 0u) << "no such flag, no such tag";
}

TEST(FrameWire, EntriesAreReadOnlyWithinTheirRecord)
{
    const CoreName channel = name_of("p2p.bnd.00000001.chnl");
    struct Case {
        const char *purpose;
        std::vector<Entry> entries;
        uint64_t cut;  // bytes taken off the end
        std::vector<CoreResult> results;
    };
    const Case cases[] = {
        {"two entries", {{1}, {2, 0, 5}}, 0, {CORE_OK, CORE_OK, CORE_DONE}},
        {"an empty sample", {{1, 0, 0}}, 0, {CORE_OK, CORE_DONE}},
        {"length below the head", {{1}, {2, 0, 3, 75}}, 0, {CORE_OK, CORE_ERR}},
        {"length past the record", {{1, 0, 3, 200}}, 0, {CORE_ERR}},
        {"head cut short", {{1}, {2}}, 70, {CORE_OK, CORE_ERR}},
        {"data cut short", {{1, 0, 10}}, 1, {CORE_ERR}},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> record = record_of(c.entries, channel);
        record.resize(record.size() - c.cut);
        uint64_t offset = 0;
        for (size_t i = 0; i < c.results.size(); ++i) {
            EngineFrameEntry e = {};
            const uint64_t before = offset;
            ASSERT_EQ(engine_frame_entry_read(record.data(), record.size(), &offset, &e), c.results[i])
                << c.purpose << " #" << i;
            if (c.results[i] != CORE_OK) {
                EXPECT_EQ(offset, before) << c.purpose;
                continue;
            }
            EXPECT_EQ(e.sequence, c.entries[i].sequence) << c.purpose;
            EXPECT_EQ(e.size, c.entries[i].size) << c.purpose;
            EXPECT_EQ(std::vector<uint8_t>(e.data, e.data + e.size), data_of(e.sequence, e.size)) << c.purpose;
            EXPECT_EQ(memcmp(e.channelKey, channel.key, 32), 0) << c.purpose;
        }
    }
}

// The reorder rule on one stream entry, with the control service recording.
class ReceiveAssembly : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(core_system_start(0), CORE_OK);
        ASSERT_TRUE(control.attach());
        service.controlService = name_of(ENGINE_CONTROL_SERVICE);
        session.header.key = name_of("session.x");
        stream.header.key = name_of("stream.40000000");
        stream.sessionName = session.header.key;
        stream.streamName = stream.header.key;
        stream.mediaFlags = 0x2;
        const CoreTreeConfig tree = {{}, engine_sequence_compare};
        stream.reorder = core_tree_create(&tree);
        ASSERT_NE(stream.reorder, nullptr);
    }
    void TearDown() override
    {
        engine_receive_reorder_clear(&stream);
        core_tree_destroy(&stream.reorder);
        control.detach();
        core_system_stop();
    }
    void reset()
    {
        engine_receive_reorder_clear(&stream);
        stream.nextSequence = 0;
        stream.bytesReceived = 0;
        std::lock_guard<std::mutex> guard(control.mutex);
        control.pushes.clear();
    }
    CoreResult feed(const std::vector<Entry> &entries)
    {
        const std::vector<uint8_t> record = record_of(entries, channel);
        return engine_receive_assemble(&service, &session, &stream, record.data(), record.size());
    }
    // Pushes as lists of sequence numbers, 'D' marking a discontinuity.
    std::vector<std::string> pushed()
    {
        std::vector<std::string> out;
        for (const ControlLog::Push &p : control.copy()) {
            std::string chain;
            for (const ControlLog::Frame &f : p.frames) {
                if (!chain.empty()) chain += ",";
                chain += std::to_string(f.pts / 1000);
                if (f.flags & RAVK_SAMPLE_DISCONT) chain += "D";
            }
            out.push_back(chain);
        }
        return out;
    }

    ControlLog control;
    EngineReceiveService service{};
    EngineReceiveSession session{};
    EngineReceiveStream stream{};
    const CoreName channel = name_of("p2p.bnd.00000007.chnl");
};

TEST_F(ReceiveAssembly, FramesLeaveInSequenceOrder)
{
    auto run = [](std::initializer_list<uint64_t> seqs) {
        std::vector<std::vector<Entry>> m;
        for (uint64_t s : seqs) m.push_back({{s}});
        return m;
    };
    struct Case {
        const char *purpose;
        std::vector<std::vector<Entry>> messages;
        std::vector<std::string> pushes;
    };
    const Case cases[] = {
        {"the first frame is a discontinuity whatever its number", run({7, 8}), {"7D", "8"}},
        {"5, 7, 6 with 5 expected", run({4, 5, 7, 6}), {"4D", "5", "6,7"}},
        {"seven behind a gap wait, the eighth gives the gap up; a late frame is dropped",
         run({3, 5, 6, 7, 8, 9, 10, 11, 12, 4, 13}), {"3D", "5D,6,7,8,9,10,11,12", "13"}},
        {"duplicates, waiting or delivered, are dropped", {{{1}, {1}}, {{3}}, {{3}}, {{1}}, {{2}}}, {"1D", "2,3"}},
        {"entries of one message are delivered as they complete the order", {{{1}, {3}, {2}}}, {"1D", "2,3"}},
    };
    for (const Case &c : cases) {
        reset();
        for (const auto &m : c.messages) EXPECT_GE(feed(m), 0) << c.purpose;
        EXPECT_EQ(pushed(), c.pushes) << c.purpose;
    }
}

TEST_F(ReceiveAssembly, APushCarriesTheFramesAndNamesOfItsMessage)
{
    stream.mediaFlags = 0x3;  // audio wins for a stream with both bits
    ASSERT_EQ(feed({{1, 0x10000086, 5}, {2, 0x1, 0}}), CORE_DONE);
    const auto pushes = control.copy();
    ASSERT_EQ(pushes.size(), 2u);
    const ControlLog::Push &p = pushes[0];
    EXPECT_EQ(p.media, ENGINE_FRAME_MEDIA_AUDIO);
    EXPECT_TRUE(same(p.channel, channel));
    EXPECT_EQ(std::string(p.channel.text), "p2p.bnd.00000007.chnl");
    EXPECT_TRUE(same(p.session, session.header.key));
    EXPECT_TRUE(same(p.stream, stream.header.key));
    ASSERT_EQ(p.frames.size(), 1u);
    EXPECT_EQ(p.frames[0].pts, 1000);
    EXPECT_EQ(p.frames[0].dts, 999);
    EXPECT_EQ(p.frames[0].duration, 33);
    EXPECT_EQ(p.frames[0].flags, 0x7u);  // the wire's 0x6 plus the first frame's discontinuity
    EXPECT_EQ(p.frames[0].tag, 2u);
    EXPECT_EQ(p.frames[0].data, data_of(1, 5));
    EXPECT_EQ(pushes[1].frames[0].flags, RAVK_SAMPLE_DISCONT) << "carried from the wire";
    EXPECT_TRUE(pushes[1].frames[0].data.empty());
    EXPECT_EQ(stream.bytesReceived.load(), 5u);
}

TEST_F(ReceiveAssembly, AnUnreadableMessageStopsWhereItBreaks)
{
    struct Case {
        const char *purpose;
        std::vector<Entry> entries;
        uint64_t cut;
        uint32_t media_flags;
        CoreResult result;
        std::vector<std::string> pushes;
    };
    const Case cases[] = {
        {"an entry length of 75 after a sound entry", {{1}, {2, 0, 3, 75}, {3}}, 0, 2, CORE_ERR, {"1D"}},
        {"an entry length past the message", {{1}, {2, 0, 3, 4000}}, 0, 2, CORE_ERR, {"1D"}},
        {"a head cut short", {{1}, {2}}, 60, 2, CORE_ERR, {"1D"}},
        {"neither audio nor video", {{1}}, 0, 0x10, CORE_ERR, {}},
        {"an empty message", {}, 0, 2, CORE_DONE, {}},
    };
    for (const Case &c : cases) {
        reset();
        stream.mediaFlags = c.media_flags;
        std::vector<uint8_t> record = record_of(c.entries, channel);
        record.resize(record.size() - c.cut);
        const uint64_t malformed = service.malformedMessages.load();
        EXPECT_EQ(engine_receive_assemble(&service, &session, &stream, record.data(), record.size()), c.result)
            << c.purpose;
        EXPECT_EQ(pushed(), c.pushes) << c.purpose;
        if (c.result == CORE_ERR && c.media_flags == 2) {
            EXPECT_EQ(service.malformedMessages.load(), malformed + 1) << c.purpose;
        }
        // What was read before the break counts only through deliveries
        // that the next message completes.
        EXPECT_EQ(stream.bytesReceived.load(), 0u) << c.purpose;
    }
}

TEST_F(ReceiveAssembly, AFailedPushFreesItsFramesAndMovesOn)
{
    control.fail_next = 1;
    EXPECT_EQ(feed({{1}, {2}}), CORE_ERR);
    EXPECT_EQ(pushed(), std::vector<std::string>{"1D"});
    EXPECT_EQ(stream.reorder->count, 0u);
    EXPECT_EQ(feed({{2}}), CORE_DONE) << "the last look finds nothing more to deliver";
    EXPECT_EQ(pushed(), (std::vector<std::string>{"1D", "2"}));
    EXPECT_EQ(stream.bytesReceived.load(), 3u);
}

// ---- the service over real sessions ----

class ReceiveService : public MediaLoopTest {
protected:
    void SetUp() override
    {
        MediaLoopTest::SetUp();
        ASSERT_TRUE(control.attach());
        service = engine_receive_service_create(3, 2);
        ASSERT_NE(service, nullptr);
        binding.channel = name_of("p2p.bnd.00000002.chnl");
        binding.peerNode = node_id;
        binding.bindSequence = name_of("bnd.seq.00000000000000aa");
    }
    void TearDown() override
    {
        engine_receive_service_destroy(&service);
        control.detach();
        MediaLoopTest::TearDown();
    }
    // Both sessions are up and the service has their entries (its callback
    // runs after the fixture's recorder).
    void meet()
    {
        pair_up();
        ASSERT_TRUE(wait_until([&] {
            for (const CoreName *n : {&kA, &kB}) {
                CoreStoreItem *item = core_store_lookup(service->sessions, n->key);
                if (item == nullptr) return false;
                core_store_unref(service->sessions);
            }
            return true;
        }));
    }
    void command(uint32_t code)
    {
        const uint64_t seq = engine_post_command(code, &binding, sizeof(binding));
        ASSERT_NE(seq, 0u);
        const CoreName topic = name_of(ENGINE_COMMAND_TOPIC);
        ASSERT_EQ(core_topic_wait(&topic, seq), CORE_OK);
    }
    // Opens a media stream from A towards B's receive service.
    CoreResult open_media(const char *stream, uint32_t media)
    {
        return open_plain(kA, stream, FLOWMESH_STREAM_MEDIA, 0x200000, media);
    }
    std::vector<EngineReceiveStreamEvent> stream_events(uint32_t code, const char *stream)
    {
        std::vector<EngineReceiveStreamEvent> out;
        for (const auto &e : events.of<EngineReceiveStreamEvent>(code))
            if (std::string(e.stream.text) == stream) out.push_back(e);
        return out;
    }

    ControlLog control;
    EngineReceiveService *service = nullptr;
    EngineReceiveRecord binding = {};
};

TEST_F(ReceiveService, AStreamRequestIsAnsweredWithTheReceivingValues)
{
    meet();
    command(ENGINE_CMD_RECEIVE_OPEN);
    EXPECT_EQ(engine_receive_service_create(0, 0), nullptr) << "one service per executor name";
    // Records of a session that is gone are offered again; of a stream that
    // is gone, consumed.
    const CoreName gone = name_of("session.gone"), stream = name_of("stream.40000000");
    EXPECT_EQ(engine_receive_on_data(&gone, &stream, "x", 1, service), -1);
    EXPECT_EQ(engine_receive_on_data(&kB, &stream, "x", 1, service), 0);
    struct Case {
        const char *purpose;
        const CoreName *session;
        uint32_t media;
        int has_mode;
        int result;
        uint64_t chunk;
        uint32_t rate_control;
        uint32_t rate[2];
    };
    const CoreName unknown = name_of("session.unknown");
    const Case cases[] = {
        {"audio on a reliable stream", &kB, 0x1, 1, 1, 65536, 4, {50, 1}},
        {"video on a media-rate stream, the capability's rate", &kB, 0x2, 1, 1, 4194304, 1, {30000, 1001}},
        {"video without a stored mode", &kB, 0x2, 0, 1, 4194304, 1, {60, 1}},
        {"both bits: the video values", &kB, 0x3, 1, 1, 4194304, 1, {30000, 1001}},
        {"no media bit: another's request", &kB, 0x10, 1, 0, 0x8000, 0, {0, 0}},
        {"an unknown session", &unknown, 0x2, 1, -1, 0x8000, 0, {0, 0}},
    };
    for (const Case &c : cases) {
        control.has_mode = c.has_mode;
        FlowmeshStreamRequest request = {};
        request.session = *c.session;
        request.kind.kind = FLOWMESH_STREAM_MEDIA;
        request.kind.class_word = c.media;
        request.kind.stream_name = name_of("stream.40000000");
        request.user[0] = reinterpret_cast<uintptr_t>(service);
        FlowmeshStreamAnswer answer = {};
        answer.send_buffer = answer.receive_buffer = 0x8000;
        EXPECT_EQ(engine_receive_on_stream_request(&request, &answer), c.result) << c.purpose;
        EXPECT_EQ(answer.receive_buffer, c.chunk) << c.purpose;
        EXPECT_EQ(answer.flags, c.rate_control) << c.purpose;
        EXPECT_EQ(answer.second_frame_rate[0], c.rate[0]) << c.purpose;
        EXPECT_EQ(answer.second_frame_rate[1], c.rate[1]) << c.purpose;
        if (c.result != 1) continue;
        EXPECT_EQ(answer.frame_rate[0], 6u) << c.purpose;
        EXPECT_EQ(answer.frame_rate[1], 1u) << c.purpose;
        EXPECT_TRUE(same(answer.owner_name, binding.bindSequence)) << c.purpose;
    }
}

TEST_F(ReceiveService, StreamsFollowTheirBindingFromOpenToClose)
{
    meet();
    command(ENGINE_CMD_RECEIVE_OPEN);
    ASSERT_EQ(open_media("stream.40000000", 0x2), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return stream_events(ENGINE_EVT_RECEIVE_STREAM_OPENED, "stream.40000000").size() == 1; }));
    const EngineReceiveStreamEvent opened = stream_events(ENGINE_EVT_RECEIVE_STREAM_OPENED, "stream.40000000")[0];
    EXPECT_EQ(events.size_of(ENGINE_EVT_RECEIVE_STREAM_OPENED), 548u);
    EXPECT_TRUE(same(opened.channel, binding.channel));
    EXPECT_TRUE(same(opened.peerNode, node_id));
    // B received the stream; A, which opened it, is the send side's.
    EXPECT_TRUE(same(opened.session, kB));

    // An idle stream reports that it received nothing.
    ASSERT_TRUE(wait_until([&] {
        for (const auto &e : events.of<EngineReceiveStatsEvent>(ENGINE_EVT_RECEIVE_STATS))
            if (same(e.session, kB) && same(e.channel, binding.channel) && e.bits == 0) return true;
        return false;
    }));
    EXPECT_EQ(events.size_of(ENGINE_EVT_RECEIVE_STATS), 416u);

    // The close command drops the stream and closes its end here (a
    // media-rate stream tells its peer nothing of it).
    command(ENGINE_CMD_RECEIVE_CLOSE);
    ASSERT_TRUE(wait_until([&] { return stream_events(ENGINE_EVT_RECEIVE_STREAM_CLOSED, "stream.40000000").size() == 1; }));
    EXPECT_TRUE(same(stream_events(ENGINE_EVT_RECEIVE_STREAM_CLOSED, "stream.40000000")[0].session, kB));
    ASSERT_TRUE(wait_until([&] { return net.count_state(kB, "stream.40000000", FLOWMESH_STREAM_CLOSED) == 1; }));

    // A stream of the closed binding is closed at once and gets no entry.
    ASSERT_EQ(open_media("stream.40000001", 0x2), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return net.count_state(kB, "stream.40000001", FLOWMESH_STREAM_CLOSED) == 1; }));
    EXPECT_TRUE(stream_events(ENGINE_EVT_RECEIVE_STREAM_OPENED, "stream.40000001").empty());

    // Armed again, a new stream is taken; the session's end drops it.
    command(ENGINE_CMD_RECEIVE_OPEN);
    ASSERT_EQ(open_media("stream.00000000", 0x1), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return stream_events(ENGINE_EVT_RECEIVE_STREAM_OPENED, "stream.00000000").size() == 1; }));
    ASSERT_EQ(flowmesh_set_state(FLOWMESH_NETWORK_STOPPED), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return stream_events(ENGINE_EVT_RECEIVE_STREAM_CLOSED, "stream.00000000").size() == 1; }));
    EXPECT_TRUE(stream_events(ENGINE_EVT_RECEIVE_STREAM_OPENED, "stream.40000000").size() == 1);
}

TEST_F(ReceiveService, FrameMessagesOnTheWireReachTheControlServiceInOrder)
{
    meet();
    command(ENGINE_CMD_RECEIVE_OPEN);
    ASSERT_EQ(open_media("stream.40000000", 0x2), CORE_OK);
    ASSERT_TRUE(opened_both("stream.40000000"));
    ASSERT_TRUE(wait_until([&] { return stream_events(ENGINE_EVT_RECEIVE_STREAM_OPENED, "stream.40000000").size() == 1; }));

    // Wire bytes from the base runtime's own encoder.
    CoreChannelConfig cc = {};
    CoreChannel *encoder = core_channel_create(&cc);
    ASSERT_NE(encoder, nullptr);
    auto wire_of = [&](std::vector<uint64_t> seqs) {
        std::vector<CoreTlvItem> items;
        std::vector<std::vector<uint8_t>> data;
        struct V {
            uint32_t length, format, flags;
            uint64_t seq, pts, dts, duration;
        };
        std::vector<V> v(seqs.size());
        items.push_back({CORE_TLV_LIST_BEGIN, 0, nullptr});
        for (size_t i = 0; i < seqs.size(); ++i) {
            data.push_back(data_of(seqs[i], 100 + static_cast<uint32_t>(i)));
            v[i] = {static_cast<uint32_t>(76 + data.back().size()), 1, 0x4, seqs[i], seqs[i] * 1000, 0, 33};
            items.push_back({CORE_TLV_ENTRY, 0, nullptr});
            items.push_back({CORE_TLV_U32, 4, &v[i].length});
            items.push_back({CORE_TLV_U32, 4, &v[i].format});
            items.push_back({CORE_TLV_U32, 4, &v[i].flags});
            items.push_back({CORE_TLV_U64, 8, &v[i].seq});
            items.push_back({CORE_TLV_U64, 8, &v[i].pts});
            items.push_back({CORE_TLV_U64, 8, &v[i].dts});
            items.push_back({CORE_TLV_U64, 8, &v[i].duration});
            items.push_back({CORE_TLV_ID, 32, binding.channel.key});
            items.push_back({CORE_TLV_BLOB, data.back().size(), data.back().data()});
        }
        items.push_back({CORE_TLV_LIST_END, 0, nullptr});
        items.push_back({CORE_TLV_END, 0, nullptr});
        EXPECT_EQ(core_tlv_send(encoder, nullptr, 0, 0, items.data(), items.size()), CORE_OK);
        CoreQueueRecord *record = core_queue_pop(encoder->queue);
        const CoreQueueEntry e = core_queue_record_entry(record);
        std::vector<uint8_t> bytes(static_cast<uint8_t *>(e.data), static_cast<uint8_t *>(e.data) + e.length);
        core_queue_record_free(encoder->queue, &record);
        return bytes;
    };
    const CoreName stream = name_of("stream.40000000");
    for (const std::vector<uint64_t> &message : {std::vector<uint64_t>{10, 11}, std::vector<uint64_t>{12}}) {
        const std::vector<uint8_t> bytes = wire_of(message);
        uint64_t length = bytes.size();
        ASSERT_EQ(flowmesh_session_send(&kA, &stream, 1, bytes.data(), &length), CORE_OK);
    }
    core_channel_destroy(&encoder);
    ASSERT_TRUE(wait_until([&] { return control.frames() == 3; }));
    const auto pushes = control.copy();
    uint64_t expected = 10;
    for (const ControlLog::Push &p : pushes) {
        EXPECT_EQ(p.media, ENGINE_FRAME_MEDIA_VIDEO);
        EXPECT_TRUE(same(p.session, kB));
        EXPECT_TRUE(same(p.stream, stream));
        EXPECT_TRUE(same(p.channel, binding.channel));
        for (const ControlLog::Frame &f : p.frames) {
            EXPECT_EQ(f.pts, static_cast<int64_t>(expected * 1000));
            EXPECT_EQ(f.flags, RAVK_SAMPLE_KEY | (expected == 10 ? RAVK_SAMPLE_DISCONT : 0u));
            EXPECT_EQ(f.data, data_of(expected, static_cast<uint32_t>(100 + (expected == 11))));
            expected++;
        }
    }
    // The bits of the three frames are reported.
    ASSERT_TRUE(wait_until([&] {
        uint64_t bits = 0;
        for (const auto &e : events.of<EngineReceiveStatsEvent>(ENGINE_EVT_RECEIVE_STATS))
            if (same(e.session, kB)) bits += e.bits;
        return bits == (100 + 101 + 100) * 8u;
    }));
}

}  // namespace
