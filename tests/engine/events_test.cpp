// Pipeline and service events on a started media node with a bound binder
// channel: bit counters by session and stream kind, stream sets and the
// teardown when the last stream goes, the broadcast's weakest-viewer
// bitrate, samples forwarded to the node service per bound channel, start
// failures in words, format, rotation, playback-setup and stream-update
// reports, and every record's length checked first.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "core/notify.h"
#include "core/store.h"
#include "engine/binder.h"
#include "engine/capability.h"
#include "engine/devices.h"
#include "engine/display.h"
#include "engine/engine_support.h"
#include "engine/evaluation.h"
#include "engine/events.h"
#include "engine/receive.h"
#include "engine/send.h"
#include "engine/session.h"
#include "ravelkit/bus.h"

namespace {

using namespace engine_support;

constexpr const char *kPeer = "node.b";
constexpr const char *kNetSession = "session.b";

// What the engine asked of the node service: sends of samples and stream
// updates (no send or binding service runs to answer them).
struct NodeServiceLog {
    struct Send {
        EngineFrameBatch batch;
        const void *chain;
        uint64_t total;
    };
    std::mutex mutex;
    std::vector<Send> sends;
    std::vector<std::vector<uint8_t>> updates;
    std::vector<EngineMediaDesc> updateDescs;

    static CoreResult handler(uint32_t code, const void *in, uint64_t in_len, void *out, uint64_t *out_len,
                              void **user)
    {
        auto *self = static_cast<NodeServiceLog *>(user[0]);
        std::lock_guard<std::mutex> guard(self->mutex);
        if (code == ENGINE_SVC_SEND_FRAMES && in_len == sizeof(EngineFrameBatch) && out_len != nullptr) {
            Send send;
            memcpy(&send.batch, in, sizeof(send.batch));
            send.chain = out;
            send.total = *out_len;
            self->sends.push_back(send);
            return CORE_OK;
        }
        if (code == ENGINE_SVC_UPDATE_STREAMS && out_len != nullptr && *out_len >= sizeof(EngineMediaDesc)) {
            self->updates.emplace_back(static_cast<const uint8_t *>(in), static_cast<const uint8_t *>(in) + in_len);
            EngineMediaDesc desc;
            memcpy(&desc, out, sizeof(desc));
            self->updateDescs.push_back(desc);
            return CORE_OK;
        }
        return CORE_NOT_MINE;
    }
};

class EventsTest : public EngineFixture {
protected:
    void SetUp() override
    {
        EngineFixture::SetUp();
        if (HasFatalFailure()) return;
        config_ = capture_record();
        config_.servicesMode = 0;  // presence only: the node service is ours to watch
        config_.p2mChannelCount = 2;
        ASSERT_EQ(start(config_), ENGINE_STATE_STARTED);
        session_ = engine_session_current();
        ASSERT_NE(session_, nullptr);
        table_ = session_->binderTable;
        nodeService_ = name_of(ENGINE_NODE_SERVICE);
        const CoreNotifySubscription subscription = {NodeServiceLog::handler, {&log_, nullptr}};
        token_ = core_notify_subscribe(&nodeService_, &subscription);
        ASSERT_NE(token_, 0u);
        commands_.subscribe(ENGINE_COMMAND_TOPIC);
    }
    void TearDown() override
    {
        commands_.unsubscribe();
        if (token_ != 0) core_notify_unsubscribe(&nodeService_, token_);
        stop_engine();
        EngineFixture::TearDown();
    }

    static EngineMediaDesc desc_of(const char *channel, const char *session, const char *sequence)
    {
        EngineMediaDesc desc;
        const CoreName c = name_of(channel), p = name_of(kPeer), s = name_of(session), b = name_of(sequence);
        engine_media_desc_make(&desc, &c, &p, &s, &b);
        return desc;
    }

    // The p2p channel of the test streams, bound to the peer over kNetSession.
    void bind_p2p()
    {
        const EngineMediaDesc desc = desc_of(kTestChannel, kNetSession, "bnd.seq.0000000000000001");
        ASSERT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2P, ENGINE_BIND_KIND_ANSWERER, &desc, nullptr, nullptr),
                  CORE_OK);
        ASSERT_EQ(engine_binder_begin(table_, &desc), CORE_OK);
        ASSERT_EQ(engine_binder_set_bound(table_, "source", &desc), CORE_OK);
    }

    // Posts a service event and waits for its delivery.
    template <typename Record>
    void service_event(uint32_t code, const Record &record, uint64_t length = sizeof(Record))
    {
        ASSERT_NE(engine_post_event(code, &record, length), 0u);
        events_.flush();
    }

    static CoreResult pipeline(uint32_t code, const void *in, uint64_t in_len, void *out = nullptr,
                               uint64_t *out_len = nullptr)
    {
        const CoreName channel = name_of(RAVK_PIPELINE_CHANNEL);
        return ravk_pipeline_event_post(&channel, code, in, in_len, out, out_len);
    }

    // One counter block of a channel, read under the table's lock.
    uint64_t bits(const char *channel, uint32_t block)
    {
        const CoreName key = name_of(channel);
        CoreStoreItem *item = core_store_lookup(table_->channels, key.key);
        if (item == nullptr) return UINT64_MAX;
        auto *c = reinterpret_cast<EngineBinderChannel *>(item);
        uint64_t value;
        {
            CoreLockGuard guard(&table_->lock);
            value = block == ENGINE_BINDER_SENT_AUDIO       ? c->sentAudio.bits
                    : block == ENGINE_BINDER_RECEIVED_AUDIO ? c->receivedAudio.bits
                    : block == ENGINE_BINDER_SENT_VIDEO     ? c->sentVideo.bits
                                                            : c->receivedVideo.bits;
        }
        core_store_unref(table_->channels);
        return value;
    }

    uint32_t channel_state(const char *channel)
    {
        const CoreName key = name_of(channel);
        CoreStoreItem *item = core_store_lookup(table_->channels, key.key);
        if (item == nullptr) return 99;
        uint32_t state;
        {
            CoreLockGuard guard(&table_->lock);
            state = reinterpret_cast<EngineBinderChannel *>(item)->state;
        }
        core_store_unref(table_->channels);
        return state;
    }

    EngineConfig config_;
    EngineSession *session_ = nullptr;
    EngineBinderTable *table_ = nullptr;
    CoreName nodeService_;
    uint64_t token_ = 0;
    NodeServiceLog log_;
    TopicLog commands_;
};

TEST_F(EventsTest, ShortRecordsAreDroppedAndCounted)
{
    bind_p2p();
    const uint64_t before = engine_events_refused_count();
    const uint8_t junk[400] = {};
    const uint32_t codes[] = {ENGINE_EVT_RECEIVE_STATS,        ENGINE_EVT_RECEIVE_STREAM_OPENED,
                              ENGINE_EVT_RECEIVE_STREAM_CLOSED, ENGINE_EVT_SEND_STATS,
                              ENGINE_EVT_SEND_FEEDBACK,         ENGINE_EVT_SEND_STREAM_OPENED,
                              ENGINE_EVT_SEND_STREAM_CLOSED,    ENGINE_EVT_PEER_CHANGED};
    for (uint32_t code : codes) ASSERT_NE(engine_post_event(code, junk, 400), 0u);
    events_.flush();
    EXPECT_EQ(engine_events_refused_count(), before + 8);
    EXPECT_EQ(channel_state(kTestChannel), static_cast<uint32_t>(ENGINE_CHANNEL_BOUND));

    struct Case {
        uint32_t code;
        uint64_t length;
    };
    const Case cases[] = {{RAVK_EVENT_ERROR, 8},        {RAVK_EVENT_SAMPLES, 140},    {RAVK_EVENT_FORMAT, 32},
                          {RAVK_EVENT_STREAM_INFO, 144}, {RAVK_EVENT_STATISTICS, 152}, {RAVK_EVENT_ORIENTATION, 140}};
    for (const Case &c : cases) EXPECT_EQ(pipeline(c.code, junk, c.length), CORE_ERR_INVALID) << std::hex << c.code;
    EXPECT_EQ(pipeline(RAVK_EVENT_ERROR, nullptr, 12), CORE_ERR_INVALID);
    EXPECT_EQ(engine_events_refused_count(), before + 15);
    EXPECT_EQ(pipeline(RAVK_EVENT_STATE, junk, 4), CORE_OK);
    void *user[2] = {session_, nullptr};
    EXPECT_EQ(engine_on_pipeline_event(0x5A09, junk, 400, nullptr, nullptr, user), CORE_NOT_MINE);
}

// Bits count only for the channel's own session and for plain stream names
// of audio or video.
TEST_F(EventsTest, BitCountersFollowSessionAndStreamKind)
{
    bind_p2p();
    struct Case {
        uint32_t code;
        const char *session;
        const char *stream;
        uint32_t block;
        uint64_t expected;
    };
    const Case cases[] = {
        {ENGINE_EVT_RECEIVE_STATS, kNetSession, "stream.40000000", ENGINE_BINDER_RECEIVED_VIDEO, 1000},
        {ENGINE_EVT_RECEIVE_STATS, "session.other", "stream.40000000", ENGINE_BINDER_RECEIVED_VIDEO, 1000},
        {ENGINE_EVT_RECEIVE_STATS, kNetSession, "split.stream.00000001", ENGINE_BINDER_RECEIVED_AUDIO, 1000},
        {ENGINE_EVT_SEND_STATS, kNetSession, "codec.00000001.stream.00000000", ENGINE_BINDER_SENT_AUDIO, 0},
        {ENGINE_EVT_SEND_STATS, kNetSession, "stream.00000000", ENGINE_BINDER_SENT_AUDIO, 1000},
        {ENGINE_EVT_SEND_STATS, kNetSession, "stream.80000000", ENGINE_BINDER_SENT_VIDEO, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stream);
        if (c.code == ENGINE_EVT_RECEIVE_STATS) {
            EngineReceiveStatsEvent event;
            memset(&event, 0, sizeof(event));
            event.channel = name_of(kTestChannel);
            event.session = name_of(c.session);
            event.stream = name_of(c.stream);
            event.bits = 1000;
            service_event(c.code, event);
        } else {
            EngineSendStatsEvent event;
            memset(&event, 0, sizeof(event));
            event.channel = name_of(kTestChannel);
            event.session = name_of(c.session);
            event.stream = name_of(c.stream);
            event.bits = 1000;
            event.step = -1;
            service_event(c.code, event);
        }
        EXPECT_EQ(bits(kTestChannel, c.block), c.expected);
    }
}

// A receive stream joins the channel's set; when the last stream of a bound
// channel goes, the binding is torn down; a stream opened for a channel the
// table does not hold has its receiver closed.
TEST_F(EventsTest, StreamSetsAndTeardownOfTheLastStream)
{
    bind_p2p();
    EngineReceiveStreamEvent opened;
    memset(&opened, 0, sizeof(opened));
    opened.channel = name_of(kTestChannel);
    opened.peerNode = name_of(kPeer);
    opened.session = name_of(kNetSession);
    opened.stream = name_of("stream.40000000");
    opened.value = 2;
    service_event(ENGINE_EVT_RECEIVE_STREAM_OPENED, opened);
    const CoreName channel = name_of(kTestChannel);
    EXPECT_EQ(engine_binder_receive_count(table_, &channel), 1u);
    service_event(ENGINE_EVT_RECEIVE_STREAM_OPENED, opened);  // already there: still one
    EXPECT_EQ(engine_binder_receive_count(table_, &channel), 1u);

    service_event(ENGINE_EVT_RECEIVE_STREAM_CLOSED, opened);
    EXPECT_EQ(engine_binder_receive_count(table_, &channel), 0u);
    commands_.flush();
    const auto unbinds = commands_.of<EngineBindRecord>(ENGINE_MSG_UNBIND);
    ASSERT_EQ(unbinds.size(), 1u);
    EXPECT_TRUE(same(unbinds[0].desc.bindSequence, name_of("bnd.seq.0000000000000001")));
    EXPECT_TRUE(same(unbinds[0].desc.session, name_of(kNetSession)));
    EXPECT_TRUE(wait_until([&] {
        events_.flush();
        return events_.count(ENGINE_EVT_BIND_CLOSED) == 1;
    })) << "the delayed teardown ends the binding";
    EXPECT_EQ(events_.count(ENGINE_EVT_BIND_CLOSING), 1u);

    // No such channel (the table closed with the teardown): the receiver is
    // told to close.
    opened.channel = name_of("p2p.bnd.00000005.chnl");
    service_event(ENGINE_EVT_RECEIVE_STREAM_OPENED, opened);
    commands_.flush();
    const auto closes = commands_.of<EngineReceiveRecord>(ENGINE_CMD_RECEIVE_CLOSE);
    ASSERT_FALSE(closes.empty());
    EXPECT_TRUE(same(closes.back().channel, opened.channel));
    EXPECT_TRUE(same(closes.back().peerNode, name_of(kPeer)));
}

// A broadcast's encoder runs at the lowest bit rate any bound viewer asked
// for; a peer change outside a broadcast offers nothing.
TEST_F(EventsTest, BroadcastRunsAtTheWeakestViewersBitrate)
{
#if defined(__SANITIZE_THREAD__)
    // The encoders run real pipelines, whose GLib locks the race detector
    // cannot see; the address sanitizer run covers this case.
    GTEST_SKIP() << "running pipelines under the race detector";
#endif
    test_streams(session_, config_, true);
    // A peer change while no broadcast runs does nothing.
    EnginePeerRecord peer;
    memset(&peer, 0, sizeof(peer));
    peer.nodeId = name_of(kPeer);
    service_event(ENGINE_EVT_PEER_CHANGED, peer);
    commands_.flush();
    EXPECT_EQ(commands_.count(ENGINE_MSG_BROADCAST_OPEN), 0u);

    ASSERT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2M, ENGINE_BIND_KIND_ANSWERER, nullptr, nullptr, nullptr),
              CORE_OK);
    const char *channels[2] = {"p2m.bnd.00000000.chnl", "p2m.bnd.00000001.chnl"};
    const char *sessions[2] = {"session.v0", "session.v1"};
    for (int i = 0; i < 2; ++i) {
        const EngineMediaDesc desc = desc_of(channels[i], sessions[i], i == 0 ? "bnd.seq.00000000000000A0"
                                                                             : "bnd.seq.00000000000000A1");
        ASSERT_EQ(engine_binder_begin(table_, &desc), CORE_OK);
        ASSERT_EQ(engine_binder_set_bound(table_, "source", &desc), CORE_OK);
    }
    // The send service reports the video stream open: its encoders start.
    EngineSendStreamEvent opened;
    memset(&opened, 0, sizeof(opened));
    opened.channel = name_of(channels[0]);
    opened.peerNode = name_of(kPeer);
    opened.session = name_of(sessions[0]);
    opened.slot = name_of(ENGINE_PROFILE_SLOT_VIDEO);
    opened.stream = name_of(kTestVideoStream);
    service_event(ENGINE_EVT_SEND_STREAM_OPENED, opened);
    const CoreName channel0 = name_of(channels[0]);
    EXPECT_EQ(engine_binder_send_count(table_, &channel0), 1u);

    auto feedback = [&](int i, uint64_t bitrate, int32_t step) {
        EngineSendStatsEvent event;
        memset(&event, 0, sizeof(event));
        event.channel = name_of(channels[i]);
        event.session = name_of(sessions[i]);
        event.stream = name_of(kTestVideoStream);
        event.bits = bitrate;
        event.step = step;
        service_event(ENGINE_EVT_SEND_FEEDBACK, event);
        CoreLockGuard guard(&session_->provider->lock);
        return session_->provider->currentVideoBitrate;
    };
    EXPECT_EQ(feedback(0, 2000000, 5), 2000000u);
    EXPECT_EQ(feedback(1, 1500000, 9), 1500000u);
    EXPECT_EQ(feedback(0, 3000000, 5), 1500000u) << "the weaker viewer still holds it down";

}

// Samples go to the node service once per bound channel, never those of
// the evaluation's pipelines.
TEST_F(EventsTest, SamplesAreForwardedPerBoundChannel)
{
    uint8_t data[32] = {};
    RavkSample sample;
    memset(&sample, 0, sizeof(sample));
    sample.data = data;
    sample.size = sizeof(data);
    RavkSampleBatchHeader header;
    memset(&header, 0, sizeof(header));
    header.role = RAVK_ROLE_PROVIDER;
    header.stream_index = 1;
    header.stream = name_of(kTestVideoStream);
    uint64_t total = sizeof(data);
    EXPECT_EQ(pipeline(RAVK_EVENT_SAMPLES, &header, sizeof(header), &sample, &total), CORE_OK);
    EXPECT_TRUE(log_.sends.empty()) << "no channel is bound";

    bind_p2p();
    EXPECT_EQ(pipeline(RAVK_EVENT_SAMPLES, &header, sizeof(header), &sample, &total), CORE_OK);
    header.stream = name_of(ENGINE_EVAL_VIDEO_PIPELINE);
    EXPECT_EQ(pipeline(RAVK_EVENT_SAMPLES, &header, sizeof(header), &sample, &total), CORE_OK);
    std::lock_guard<std::mutex> guard(log_.mutex);
    ASSERT_EQ(log_.sends.size(), 1u);
    EXPECT_TRUE(same(log_.sends[0].batch.channel, name_of(kTestChannel)));
    EXPECT_TRUE(same(log_.sends[0].batch.session, name_of(kNetSession)));
    EXPECT_TRUE(same(log_.sends[0].batch.stream, name_of(kTestVideoStream)));
    EXPECT_EQ(log_.sends[0].chain, &sample) << "the chain passes by pointer";
    EXPECT_EQ(log_.sends[0].total, sizeof(data));
}

// Start failures in words, to the streamer or the viewer; a failed video
// branch ends every binding, with or without words.
TEST_F(EventsTest, StartFailuresAreReportedAndEndBindingsOnVideo)
{
    struct Case {
        RavkErrorEvent record;
        uint32_t event;
        const char *text;
        bool disconnects;
    };
    const Case cases[] = {
        {{1, 3, 2}, ENGINE_EVT_STREAMER_ERROR, "Failed on start audio encoder. Failed on start video encoder.", true},
        {{0, 2, 2}, ENGINE_EVT_VIEWER_ERROR,
         "Failed on start video decoder. Please try to select another video decoder.", true},
        {{0, 1, 3}, ENGINE_EVT_VIEWER_ERROR, "Failed on start audio decoder.", false},
        {{0, 2, 4}, 0, nullptr, true},
        {{0, 1, 4}, 0, nullptr, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.record.role << "/" << c.record.media << "/" << c.record.part);
        engine_binder_close_all(table_);
        bind_p2p();
        events_.clear();
        EXPECT_EQ(pipeline(RAVK_EVENT_ERROR, &c.record, sizeof(c.record)), CORE_OK);
        events_.flush();
        const auto streamer = events_.of<EngineMessageText>(ENGINE_EVT_STREAMER_ERROR);
        const auto viewer = events_.of<EngineMessageText>(ENGINE_EVT_VIEWER_ERROR);
        EXPECT_EQ(streamer.size() + viewer.size(), c.text != nullptr ? 1u : 0u);
        if (c.text != nullptr) {
            const auto &texts = c.event == ENGINE_EVT_STREAMER_ERROR ? streamer : viewer;
            ASSERT_EQ(texts.size(), 1u);
            EXPECT_STREQ(texts[0].text, c.text);
        }
        EXPECT_EQ(events_.count(ENGINE_EVT_BIND_CLOSING), c.disconnects ? 1u : 0u);
        if (c.disconnects) {
            // The teardown runs at once; the next binding waits for its end.
            EXPECT_TRUE(wait_until([&] {
                events_.flush();
                return events_.count(ENGINE_EVT_BIND_CLOSED) == 1;
            }));
        } else {
            EXPECT_EQ(channel_state(kTestChannel), static_cast<uint32_t>(ENGINE_CHANNEL_BOUND));
        }
    }
}

// Format, rotation and playback-setup reports.
TEST_F(EventsTest, FormatRotationAndSetupReports)
{
    RavkFormatInfo none = {core_fourcc("NONE"), {}, core_fourcc("NONE"), 1280, 720, 0, 0};
    EXPECT_EQ(pipeline(RAVK_EVENT_FORMAT, &none, sizeof(none)), CORE_OK);
    events_.flush();
    EXPECT_EQ(events_.count(ENGINE_EVT_AUDIO_SOURCE_INFO) + events_.count(ENGINE_EVT_VIDEO_SOURCE_INFO), 0u);

    RavkFormatInfo info = {core_fourcc("lpcm"), {}, core_fourcc("BGRx"), 1280, 720, 0, 0};
    const EngineAudioFormat format = {48000, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {}};
    memcpy(info.audio, &format, sizeof(format));
    EXPECT_EQ(pipeline(RAVK_EVENT_FORMAT, &info, sizeof(info)), CORE_OK);
    events_.flush();
    const auto audio = events_.of<EngineAppAudioSource>(ENGINE_EVT_AUDIO_SOURCE_INFO);
    const auto video = events_.of<EngineAppVideoSource>(ENGINE_EVT_VIDEO_SOURCE_INFO);
    ASSERT_EQ(audio.size(), 1u);
    ASSERT_EQ(video.size(), 1u);
    EXPECT_EQ(audio[0].deviceIndex, -1);
    EXPECT_EQ(audio[0].formatCode, core_fourcc("lpcm"));
    EXPECT_EQ(memcmp(&audio[0].format, &format, sizeof(format)), 0);
    EXPECT_EQ(video[0].formatCode, core_fourcc("BGRx"));
    const CoreVideoMode expected = {1280, 720, 60, 1};
    EXPECT_EQ(memcmp(&video[0].mode1, &expected, sizeof(expected)), 0);

    RavkOrientationEvent orientation;
    memset(&orientation, 0, sizeof(orientation));
    orientation.stream = name_of(kTestVideoStream);
    orientation.orientation = 3;
    EXPECT_EQ(pipeline(RAVK_EVENT_ORIENTATION, &orientation, sizeof(orientation)), CORE_OK);
    events_.flush();
    const auto rotations = events_.of<EngineFrameRotation>(ENGINE_EVT_FRAME_ROTATION);
    ASSERT_EQ(rotations.size(), 1u);
    EXPECT_TRUE(same(rotations[0].stream, orientation.stream));
    EXPECT_EQ(rotations[0].rotation, 3u);

    // Stream info of a playback asks the display for a new set-up; of a
    // capture it is ignored.
    RavkStreamInfoEvent stream;
    memset(&stream, 0, sizeof(stream));
    stream.role = RAVK_ROLE_PROVIDER;
    stream.stream = name_of(kTestVideoStream);
    stream.video_options = 0xF;
    EXPECT_EQ(pipeline(RAVK_EVENT_STREAM_INFO, &stream, sizeof(stream)), CORE_OK);
    EXPECT_EQ(session_->display->pendingHint.load(), 0u);
    stream.role = RAVK_ROLE_CONSUMER;
    EXPECT_EQ(pipeline(RAVK_EVENT_STREAM_INFO, &stream, sizeof(stream)), CORE_OK);
    std::lock_guard<std::mutex> guard(session_->display->lock);
    EXPECT_EQ(session_->display->pendingSetup, 1u);
    EXPECT_TRUE(same(session_->display->pendingStream, stream.stream));
    EXPECT_EQ(session_->display->videoFeatures, 0xFu);
}

// A playback's frame-rate wish goes to the peer as a one-record update of
// the stream the last answer holds.
TEST_F(EventsTest, StreamUpdateCarriesTheFrameRateToThePeer)
{
    RavkStatisticsEvent statistics;
    memset(&statistics, 0, sizeof(statistics));
    statistics.role = RAVK_ROLE_CONSUMER;
    statistics.stream = name_of(kTestVideoStream);
    statistics.requested_rate = 15;
    statistics.one = 1;
    EXPECT_EQ(pipeline(RAVK_EVENT_STATISTICS, &statistics, sizeof(statistics)), CORE_ERR) << "no answer yet";
    statistics.role = RAVK_ROLE_PROVIDER;
    EXPECT_EQ(pipeline(RAVK_EVENT_STATISTICS, &statistics, sizeof(statistics)), CORE_OK) << "a capture's: ignored";

    statistics.role = RAVK_ROLE_CONSUMER;
    bind_p2p();
    const EngineStreamRecord record = provider_support::plain_record(
        kTestChannel, ENGINE_PROFILE_SLOT_VIDEO, ENGINE_MEDIA_VIDEO | 3u << 16, kTestVideoStream);
    provider_support::publish_tables({}, {record});
    statistics.stream = name_of("stream.40000009");
    EXPECT_EQ(pipeline(RAVK_EVENT_STATISTICS, &statistics, sizeof(statistics)), CORE_ERR_NOT_FOUND);
    statistics.stream = name_of(kTestVideoStream);
    EXPECT_EQ(pipeline(RAVK_EVENT_STATISTICS, &statistics, sizeof(statistics)), CORE_OK);

    std::lock_guard<std::mutex> guard(log_.mutex);
    ASSERT_EQ(log_.updates.size(), 1u);
    ASSERT_EQ(log_.updates[0].size(), engine_stream_table_size(1));
    const auto *table = reinterpret_cast<const EngineStreamTable *>(log_.updates[0].data());
    EXPECT_EQ(table->count, 1u);
    EXPECT_TRUE(same(table->records[0].streamName, record.streamName));
    EXPECT_EQ(table->records[0].mediaFlags, record.mediaFlags);
    uint32_t rate[2];
    ASSERT_TRUE(engine_props_get2(rate, &table->records[0].props, 0x1600));
    EXPECT_EQ(rate[0], 15u);
    EXPECT_EQ(rate[1], 1u);
    const EngineMediaDesc &desc = log_.updateDescs[0];
    EXPECT_TRUE(same(desc.channel, name_of(kTestChannel)));
    EXPECT_TRUE(same(desc.peerNode, name_of(kPeer)));
    EXPECT_TRUE(core_name_is_empty(&desc.session));
    EXPECT_TRUE(same(desc.bindSequence, name_of("bnd.seq.0000000000000001")));
}

}  // namespace

ENGINE_SUPPORT_GST_LEAKS
