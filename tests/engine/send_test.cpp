// The send service: frame message sizes, the add and remove commands, the
// profiles, and sample chains that leave session A as frame messages and
// reach the receive service on session B over the real network library
// (media_loop.h).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/notify.h"
#include "core/tlv.h"
#include "core/topic.h"
#include "engine/codes.h"
#include "engine/media_loop.h"
#include "engine/peer_streams.h"
#include "engine/receive.h"
#include "engine/send.h"

namespace {

using namespace media_loop;

TEST(FrameMessageSize, IsTheSampleAndItsFraming)
{
    struct Case {
        uint64_t n, size;
    };
    const Case cases[] = {{0, 141}, {1000, 1141}, {CORE_TLV_BLOB_MAX, CORE_TLV_BLOB_MAX + 141},
                          {CORE_TLV_BLOB_MAX + 1, CORE_TLV_BLOB_MAX + 1}};
    for (const Case &c : cases) EXPECT_EQ(engine_frame_message_size(c.n), c.size) << c.n;
}

// A chain of samples with owned data.
struct Chain {
    std::vector<RavkSample> samples;
    std::vector<std::vector<uint8_t>> data;

    Chain &add(uint32_t size, uint32_t flags, uint32_t tag, int64_t pts)
    {
        std::vector<uint8_t> d(size);
        for (uint32_t i = 0; i < size; ++i) d[i] = static_cast<uint8_t>(pts * 13 + i);
        data.push_back(std::move(d));
        samples.push_back({pts, pts - 5, 20, flags, tag, nullptr, size, nullptr});
        return *this;
    }
    RavkSample *link()
    {
        for (size_t i = 0; i < samples.size(); ++i) {
            samples[i].data = data[i].empty() ? nullptr : data[i].data();
            samples[i].next = i + 1 < samples.size() ? &samples[i + 1] : nullptr;
        }
        return samples.empty() ? nullptr : samples.data();
    }
};

class SendService : public MediaLoopTest {
protected:
    void SetUp() override
    {
        MediaLoopTest::SetUp();
        ASSERT_TRUE(control.attach());
        receive = engine_receive_service_create(0, 2);
        ASSERT_NE(receive, nullptr);
        service = engine_send_service_create(ENGINE_SEND_ROLE_REQUESTER);
        ASSERT_NE(service, nullptr);
        channel = name_of("p2p.bnd.00000003.chnl");
        slot = name_of("profile.video.slot");
        video = profile_of("stream.40000000", 0x2, 30);
    }
    void TearDown() override
    {
        engine_send_service_destroy(&service);
        engine_receive_service_destroy(&receive);
        control.detach();
        MediaLoopTest::TearDown();
    }

    // Both sessions are up and the send service has their entries (its
    // callback runs after the fixture's recorder).
    void meet()
    {
        pair_up();
        ASSERT_TRUE(wait_until([&] {
            for (const CoreName *n : {&kA, &kB}) {
                CoreStoreItem *item = core_store_lookup(service->sessions, n->key);
                if (item == nullptr) return false;
                core_store_unref(service->sessions);
                if (receive == nullptr) continue;
                item = core_store_lookup(receive->sessions, n->key);
                if (item == nullptr) return false;
                core_store_unref(receive->sessions);
            }
            return true;
        }));
    }

    static EngineProfileRequest profile_of(const char *stream, uint32_t media, uint64_t queue_start)
    {
        EngineProfileRequest p = {};
        p.queueStart = queue_start;
        p.queueDepth = 30;
        p.byteRate = 600000;
        p.chunkSize = 262144;
        p.bitrateCeiling = 50000000;
        p.minBitrate = 100000;
        p.maxBitrate = 9000000;
        p.audioReserve = 40;
        p.minFrameRate[0] = 6;
        p.minFrameRate[1] = 1;
        p.frameRate[0] = 60;
        p.frameRate[1] = 1;
        p.rateControl = 1;
        p.roleWord = FLOWMESH_STREAM_MEDIA;
        p.mediaFlags = media;
        p.streamName = name_of(stream);
        return p;
    }

    CoreResult send_profile(const EngineProfileRequest &profile, const CoreName &slot_name,
                            uint64_t in_len = sizeof(EngineProfileRequest), uint64_t out_len = sizeof(EngineMediaDesc))
    {
        EngineMediaDesc desc = {};
        desc.bindSequence = slot_name;
        const CoreName node_service = name_of(ENGINE_NODE_SERVICE);
        return core_notify(&node_service, ENGINE_SVC_SEND_PROFILE, &profile, in_len, &desc, &out_len);
    }

    void command(uint32_t code, const void *data, uint64_t length)
    {
        const uint64_t seq = engine_post_command(code, data, length);
        ASSERT_NE(seq, 0u);
        const CoreName topic = name_of(ENGINE_COMMAND_TOPIC);
        ASSERT_EQ(core_topic_wait(&topic, seq), CORE_OK);
    }

    EngineMediaDesc desc_of(const CoreName *peer, const CoreName *session) const
    {
        EngineMediaDesc d = {};
        d.channel = channel;
        if (peer != nullptr) d.peerNode = *peer;
        if (session != nullptr) d.session = *session;
        d.bindSequence = slot;
        return d;
    }

    CoreResult send_chain(Chain &chain, const CoreName &session, const char *stream, uint64_t in_len = 412)
    {
        EngineFrameBatch batch = {};
        batch.channel = channel;
        batch.session = session;
        batch.stream = name_of(stream);
        uint64_t total = 0;
        for (const RavkSample &s : chain.samples) total += s.size;
        const CoreName node_service = name_of(ENGINE_NODE_SERVICE);
        return core_notify(&node_service, ENGINE_SVC_SEND_FRAMES, &batch, in_len, chain.link(), &total);
    }

    // Runs fn on the sender entry of the stream in the session, if any.
    template <typename Fn>
    bool with_stream(const CoreName &session, const char *stream, Fn fn)
    {
        auto *s = reinterpret_cast<EngineSendSession *>(core_store_lookup(service->sessions, session.key));
        if (s == nullptr) return false;
        const CoreName name = name_of(stream);
        auto *entry = reinterpret_cast<EngineSendStream *>(core_store_lookup(s->senders, name.key));
        if (entry != nullptr) {
            fn(entry);
            core_store_unref(s->senders);
        }
        core_store_unref(service->sessions);
        return entry != nullptr;
    }

    bool has_sender(const CoreName &session, const char *stream)
    {
        return with_stream(session, stream, [](EngineSendStream *) {});
    }

    std::vector<EngineSendStreamEvent> stream_events(uint32_t code, const CoreName &session)
    {
        std::vector<EngineSendStreamEvent> out;
        for (const auto &e : events.of<EngineSendStreamEvent>(code))
            if (same(e.session, session)) out.push_back(e);
        return out;
    }

    // Binds: the receive side expects media, the profile is stored, A's
    // senders of the slot are added and their stream opens on both ends.
    void bind(const EngineProfileRequest &profile)
    {
        EngineReceiveRecord record = {channel, node_id, name_of("bnd.seq.00000000000000bb")};
        command(ENGINE_CMD_RECEIVE_OPEN, &record, sizeof(record));
        command(ENGINE_MSG_BIND_REQUEST, nullptr, 0);
        ASSERT_EQ(send_profile(profile, slot), CORE_OK);
        const EngineMediaDesc desc = desc_of(nullptr, &kA);
        command(ENGINE_CMD_SEND_STREAM_ADD, &desc, sizeof(desc));
        ASSERT_TRUE(has_sender(kA, profile.streamName.text));
    }

    ControlLog control;
    EngineReceiveService *receive = nullptr;
    EngineSendService *service = nullptr;
    CoreName channel, slot;
    EngineProfileRequest video;
};

TEST_F(SendService, ChainsLeaveAsFrameMessagesAndArriveIntact)
{
    meet();
    bind(video);
    ASSERT_TRUE(opened_both("stream.40000000"));
    ASSERT_TRUE(wait_until([&] { return stream_events(ENGINE_EVT_SEND_STREAM_OPENED, kA).size() == 1; }));
    const EngineSendStreamEvent opened = stream_events(ENGINE_EVT_SEND_STREAM_OPENED, kA)[0];
    EXPECT_EQ(events.size_of(ENGINE_EVT_SEND_STREAM_OPENED), 684u);
    EXPECT_TRUE(same(opened.channel, channel));
    EXPECT_TRUE(same(opened.peerNode, node_id));
    EXPECT_TRUE(same(opened.slot, slot));
    EXPECT_EQ(std::string(opened.stream.text), "stream.40000000");
    ASSERT_TRUE(wait_until([&] {
        for (const auto &e : events.of<EngineReceiveStreamEvent>(ENGINE_EVT_RECEIVE_STREAM_OPENED))
            if (same(e.session, kB)) return true;
        return false;
    }));

    // The network stream carries the profile's values.
    {
        FlowmeshCore *core = flowmesh_core_acquire();
        ASSERT_NE(core, nullptr);
        FlowmeshSession *s = flowmesh_session_find(core, &kA);
        ASSERT_NE(s, nullptr);
        FlowmeshSessionStream *st = flowmesh_session_stream_find(s, &video.streamName);
        ASSERT_NE(st, nullptr);
        const FlowmeshStreamParams &p = st->params;
        EXPECT_EQ(p.send_buffer, video.byteRate);
        EXPECT_EQ(p.receive_buffer, video.chunkSize);
        EXPECT_EQ(p.word, video.queueDepth);
        EXPECT_EQ(p.flags, video.rateControl) << "the requester sends with rate control";
        EXPECT_TRUE(same(p.owner_name, channel));
        EXPECT_EQ(p.kind.kind, FLOWMESH_STREAM_MEDIA);
        EXPECT_EQ(p.kind.class_word, video.mediaFlags);
        EXPECT_EQ(p.rate, video.bitrateCeiling);
        EXPECT_EQ(p.min_bitrate, video.minBitrate);
        EXPECT_EQ(p.max_bitrate, video.maxBitrate);
        EXPECT_EQ(p.min_rto_ms, video.audioReserve);
        EXPECT_EQ(p.frame_rate[0], 6u);
        EXPECT_EQ(p.second_frame_rate[0], 60u);
        core_store_unref(s->streams);
        core_store_unref(core->sessions);
        flowmesh_core_release(core);
    }

    Chain one, two, three;
    one.add(1000, RAVK_SAMPLE_KEY | RAVK_SAMPLE_PTS, 1, 1000);
    two.add(500, RAVK_SAMPLE_PTS, 0, 2000).add(700, RAVK_SAMPLE_PTS | 0x4, 4, 3000);
    three.add(50000, RAVK_SAMPLE_DISCONT, 3, 4000);
    ASSERT_EQ(send_chain(one, kA, "stream.40000000"), CORE_OK);
    // One sample of n bytes takes n + 141 bytes on the wire.
    ASSERT_TRUE(wait_until([&] {
        uint64_t sent = 0;
        with_stream(kA, "stream.40000000", [&](EngineSendStream *e) {
            auto *sender = static_cast<EngineSender *>(
                core_handle_acquire(core_handle_tables[CORE_HANDLES_STREAMS], e->sender));
            if (sender == nullptr) return;
            sent = sender->bytesSent.load();
            core_handle_release(core_handle_tables[CORE_HANDLES_STREAMS], e->sender);
        });
        return sent == engine_frame_message_size(1000);
    }));
    ASSERT_EQ(send_chain(two, kA, "stream.40000000"), CORE_OK);
    ASSERT_EQ(send_chain(three, kA, "stream.40000000"), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return control.frames() == 4; }));

    struct Want {
        int64_t pts;
        uint32_t flags, tag, size;
    };
    const Want want[] = {{1000, RAVK_SAMPLE_KEY | RAVK_SAMPLE_PTS | RAVK_SAMPLE_DISCONT, 1, 1000},
                         {2000, RAVK_SAMPLE_PTS, 0, 500},
                         {3000, RAVK_SAMPLE_PTS | 0x4, 4, 700},
                         {4000, RAVK_SAMPLE_DISCONT, 3, 50000}};
    size_t i = 0;
    for (const ControlLog::Push &p : control.copy()) {
        EXPECT_EQ(p.media, ENGINE_FRAME_MEDIA_VIDEO);
        EXPECT_TRUE(same(p.channel, channel));
        EXPECT_TRUE(same(p.session, kB));
        EXPECT_EQ(std::string(p.stream.text), "stream.40000000");
        for (const ControlLog::Frame &f : p.frames) {
            ASSERT_LT(i, 4u);
            EXPECT_EQ(f.pts, want[i].pts) << i;
            EXPECT_EQ(f.dts, want[i].pts - 5) << i;
            EXPECT_EQ(f.duration, 20) << i;
            EXPECT_EQ(f.flags, want[i].flags) << i;
            EXPECT_EQ(f.tag, want[i].tag) << i;
            ASSERT_EQ(f.data.size(), want[i].size) << i;
            EXPECT_EQ(f.data[want[i].size - 1], static_cast<uint8_t>(want[i].pts * 13 + want[i].size - 1)) << i;
            i++;
        }
    }
    with_stream(kA, "stream.40000000", [](EngineSendStream *e) {
        auto *sender =
            static_cast<EngineSender *>(core_handle_acquire(core_handle_tables[CORE_HANDLES_STREAMS], e->sender));
        ASSERT_NE(sender, nullptr);
        EXPECT_EQ(sender->sequence.load(), ENGINE_SENDER_SEQUENCE_FIRST + 4) << "one number per sample";
        core_handle_release(core_handle_tables[CORE_HANDLES_STREAMS], e->sender);
    });

    // Both ends count the same data bits.
    const uint64_t bits = (1000 + 500 + 700 + 50000) * 8u;
    ASSERT_TRUE(wait_until([&] {
        uint64_t sent = 0;
        for (const auto &e : events.of<EngineSendStatsEvent>(ENGINE_EVT_SEND_STATS))
            if (same(e.session, kA) && same(e.channel, channel) && e.step == -1) sent += e.bits;
        return sent == bits;
    }));
    EXPECT_EQ(events.size_of(ENGINE_EVT_SEND_STATS), 424u);
    ASSERT_TRUE(wait_until([&] {
        uint64_t received = 0;
        for (const auto &e : events.of<EngineReceiveStatsEvent>(ENGINE_EVT_RECEIVE_STATS))
            if (same(e.session, kB)) received += e.bits;
        return received == bits;
    }));
    // The media stream's rate controller reports, and its reports reach
    // the engine as feedback of this stream.
    ASSERT_TRUE(wait_until([&] {
        for (const auto &e : events.of<EngineSendStatsEvent>(ENGINE_EVT_SEND_FEEDBACK))
            if (same(e.session, kA) && same(e.channel, channel) && same(e.stream, video.streamName)) return true;
        return false;
    }));

    // Removing the slot's senders closes the stream and says so.
    const EngineMediaDesc desc = desc_of(nullptr, &kA);
    command(ENGINE_CMD_SEND_STREAM_REMOVE, &desc, sizeof(desc));
    ASSERT_TRUE(wait_until([&] { return stream_events(ENGINE_EVT_SEND_STREAM_CLOSED, kA).size() == 1; }));
    EXPECT_EQ(stream_events(ENGINE_EVT_SEND_STREAM_CLOSED, kA)[0].value, 0u);
    EXPECT_FALSE(has_sender(kA, "stream.40000000"));
}

TEST_F(SendService, ADroppedMessageLeavesAGapThatTheNextMessageAnnounces)
{
    // Video on a reliable stream is the receiving node's sink setting 3.
    engine_receive_service_destroy(&receive);
    receive = engine_receive_service_create(0, 3);
    ASSERT_NE(receive, nullptr);
    meet();
    // A reliable stream whose send queue holds 8 KiB: with the wire cut,
    // nothing is acknowledged, the first message stays partly sent and
    // the sender's queue (limit 2) fills behind it.
    EngineProfileRequest reliable = profile_of("stream.40000000", 0x2, 2);
    reliable.roleWord = FLOWMESH_STREAM_RELIABLE;
    reliable.byteRate = 8192;
    reliable.audioReserve = 20;
    reliable.rateControl = 0;
    bind(reliable);
    ASSERT_TRUE(wait_until([&] {
        return !events.of<EngineReceiveStreamEvent>(ENGINE_EVT_RECEIVE_STREAM_OPENED).empty() &&
               stream_events(ENGINE_EVT_SEND_STREAM_OPENED, kA).size() == 1;
    }));
    g_wire_cut = true;
    Chain chains[6];
    chains[0].add(20000, RAVK_SAMPLE_PTS, 0, 1000);
    for (int i = 1; i < 6; ++i) chains[i].add(100 + i, RAVK_SAMPLE_PTS, 0, 1000 * (i + 1));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(send_chain(chains[i], kA, "stream.40000000"), CORE_OK) << i;
    EXPECT_EQ(send_chain(chains[3], kA, "stream.40000000"), CORE_DONE) << "over the limit";
    with_stream(kA, "stream.40000000", [](EngineSendStream *e) { EXPECT_EQ(e->state.load(), ENGINE_SEND_FAILED); });

    g_wire_cut = false;
    ASSERT_TRUE(wait_until([&] { return control.frames() == 3; }, 20000));
    EXPECT_EQ(send_chain(chains[4], kA, "stream.40000000"), CORE_OK);
    with_stream(kA, "stream.40000000", [](EngineSendStream *e) { EXPECT_EQ(e->state.load(), 0u); });
    EXPECT_EQ(send_chain(chains[5], kA, "stream.40000000"), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return control.frames() == 5; }));

    // Chain 4 went nowhere; chain 5 took its number and says a frame was
    // lost before it; chain 6 follows as usual.
    std::vector<std::pair<int64_t, uint32_t>> got;
    for (const ControlLog::Push &p : control.copy())
        for (const ControlLog::Frame &f : p.frames) got.emplace_back(f.pts, f.flags);
    const std::vector<std::pair<int64_t, uint32_t>> want = {{1000, RAVK_SAMPLE_PTS | RAVK_SAMPLE_DISCONT},
                                                            {2000, RAVK_SAMPLE_PTS},
                                                            {3000, RAVK_SAMPLE_PTS},
                                                            {5000, RAVK_SAMPLE_PTS | RAVK_SAMPLE_DISCONT},
                                                            {6000, RAVK_SAMPLE_PTS}};
    EXPECT_EQ(got, want);
}

TEST_F(SendService, FramesAreRefusedForUnknownStreamsAndEmptySamples)
{
    meet();
    g_wire_cut = true;  // nothing needs to leave
    bind(video);
    Chain good, empty, none;
    good.add(10, 0, 0, 1);
    empty.add(10, 0, 0, 2).add(0, 0, 0, 3);
    const CoreName unknown = name_of("session.unknown");
    EXPECT_EQ(send_chain(good, unknown, "stream.40000000"), CORE_ERR_NOT_FOUND);
    EXPECT_EQ(send_chain(good, kA, "stream.40000001"), CORE_ERR_NOT_FOUND);
    EXPECT_EQ(send_chain(good, kB, "stream.40000000"), CORE_ERR_NOT_FOUND) << "B has no sender";
    EXPECT_EQ(send_chain(good, kA, "stream.40000000", 411), CORE_ERR_INVALID) << "a short batch";
    EXPECT_EQ(send_chain(empty, kA, "stream.40000000"), CORE_ERR);
    with_stream(kA, "stream.40000000", [](EngineSendStream *e) {
        EXPECT_EQ(e->state.load(), ENGINE_SEND_FAILED);
        auto *sender =
            static_cast<EngineSender *>(core_handle_acquire(core_handle_tables[CORE_HANDLES_STREAMS], e->sender));
        ASSERT_NE(sender, nullptr);
        EXPECT_EQ(core_queue_count(sender->channel->queue), 0u) << "nothing of that chain was queued";
        core_handle_release(core_handle_tables[CORE_HANDLES_STREAMS], e->sender);
    });
    EXPECT_EQ(send_chain(none, kA, "stream.40000000"), CORE_ERR) << "no sample at all";
    EXPECT_EQ(send_chain(good, kA, "stream.40000000"), CORE_OK);
}

TEST_F(SendService, AddAndRemoveCommandsNameTheirSessions)
{
    meet();
    g_wire_cut = true;  // the streams need not open
    ASSERT_EQ(send_profile(video, slot), CORE_OK);
    ASSERT_EQ(send_profile(profile_of("stream.00000000", 0x1, 25), name_of("profile.audio.slot")), CORE_OK);

    const CoreName unknown = name_of("session.unknown");
    struct Case {
        const char *purpose;
        EngineMediaDesc desc;
        CoreResult result;
    };
    EngineMediaDesc no_channel = desc_of(&node_id, nullptr);
    memset(&no_channel.channel, 0, sizeof(no_channel.channel));
    EngineMediaDesc other_slot = desc_of(nullptr, &kA);
    other_slot.bindSequence = name_of("profile.combined.slot");
    const Case cases[] = {
        {"no channel", no_channel, CORE_ERR_INVALID},
        {"neither peer nor session", desc_of(nullptr, nullptr), CORE_ERR_INVALID},
        {"no such session", desc_of(nullptr, &unknown), CORE_ERR_REFUSED},
        {"no profile in the slot", other_slot, CORE_DONE},
        {"the peer's every session", desc_of(&node_id, nullptr), CORE_OK},
        {"a sender that exists", desc_of(nullptr, &kA), CORE_ERR},
    };
    for (const Case &c : cases) EXPECT_EQ(engine_send_stream_add(service, &c.desc), c.result) << c.purpose;
    EXPECT_TRUE(has_sender(kA, "stream.40000000"));
    EXPECT_TRUE(has_sender(kB, "stream.40000000"));
    EXPECT_FALSE(has_sender(kA, "stream.00000000")) << "another slot's stream";

    // Another channel's remove leaves them; a remove naming the peer and
    // one session takes them from every session of the peer.
    EngineMediaDesc other_channel = desc_of(&node_id, &kA);
    other_channel.channel = name_of("p2p.bnd.00000009.chnl");
    engine_send_stream_remove(service, &other_channel);
    EXPECT_TRUE(has_sender(kA, "stream.40000000"));
    const EngineMediaDesc both = desc_of(&node_id, &kA);
    engine_send_stream_remove(service, &both);
    EXPECT_FALSE(has_sender(kA, "stream.40000000"));
    EXPECT_FALSE(has_sender(kB, "stream.40000000"));
    ASSERT_TRUE(wait_until([&] {
        return stream_events(ENGINE_EVT_SEND_STREAM_CLOSED, kA).size() == 1 &&
               stream_events(ENGINE_EVT_SEND_STREAM_CLOSED, kB).size() == 1;
    }));

    // A session id alone takes them from that session only.
    ASSERT_EQ(engine_send_stream_add(service, &cases[4].desc), CORE_OK);
    const EngineMediaDesc only_b = desc_of(nullptr, &kB);
    engine_send_stream_remove(service, &only_b);
    EXPECT_TRUE(has_sender(kA, "stream.40000000"));
    EXPECT_FALSE(has_sender(kB, "stream.40000000"));
}

TEST_F(SendService, ProfilesAreReplacedAndAnswerStreamRequests)
{
    EXPECT_EQ(engine_send_service_create(0), nullptr) << "one service per executor name";
    meet();
    g_wire_cut = true;
    EXPECT_EQ(send_profile(video, slot, 239), CORE_ERR_INVALID) << "a short profile";
    EXPECT_EQ(send_profile(video, slot, 240, 543), CORE_ERR_INVALID) << "a short description";
    ASSERT_EQ(send_profile(video, slot), CORE_OK);
    const EngineMediaDesc desc = desc_of(nullptr, &kA);
    ASSERT_EQ(engine_send_stream_add(service, &desc), CORE_OK);

    EngineProfileRequest again = video;
    again.queueStart = 5;
    again.maxBitrate = 4000000;
    ASSERT_EQ(send_profile(again, slot), CORE_OK);
    CoreStoreItem *item = core_store_lookup(service->profiles, video.streamName.key);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(reinterpret_cast<EngineSendProfile *>(item)->profile.queueStart, 5u);
    core_store_unref(service->profiles);
    with_stream(kA, "stream.40000000", [](EngineSendStream *e) { EXPECT_EQ(e->profile.queueStart, 30u); });

    struct Case {
        const char *purpose;
        const char *stream;
        uint32_t media;
        uint32_t role;  // the last binding's role
        int result;
        uint32_t rate_control;
    };
    const Case cases[] = {
        {"a stored profile, requested binding", "stream.40000000", 0x2, ENGINE_MSG_BIND_REQUEST, 1, 1},
        {"a stored profile, accepted binding", "stream.40000000", 0x2, ENGINE_MSG_BIND_ACCEPT, 1, 0},
        {"no stored profile", "stream.40000001", 0x2, ENGINE_MSG_BIND_REQUEST, 0, 0},
        {"no media bit", "stream.40000000", 0x10, ENGINE_MSG_BIND_REQUEST, 0, 0},
    };
    for (const Case &c : cases) {
        command(c.role, nullptr, 0);
        FlowmeshStreamRequest request = {};
        request.session = kB;
        request.kind.class_word = c.media;
        request.kind.stream_name = name_of(c.stream);
        request.user[0] = reinterpret_cast<uintptr_t>(service);
        FlowmeshStreamAnswer answer = {};
        EXPECT_EQ(engine_send_on_stream_request(&request, &answer), c.result) << c.purpose;
        EXPECT_EQ(answer.flags, c.rate_control) << c.purpose;
        if (c.result != 1) continue;
        EXPECT_EQ(answer.max_bitrate, 4000000u) << c.purpose;
        EXPECT_EQ(answer.send_buffer, again.byteRate) << c.purpose;
        EXPECT_EQ(answer.receive_buffer, again.chunkSize) << c.purpose;
        EXPECT_EQ(answer.second_frame_rate[0], 60u) << c.purpose;
    }
}

}  // namespace
