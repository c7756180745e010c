#include <gtest/gtest.h>

#include <any>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/adapters.h"
#include "core/names.h"
#include "core/topic.h"
#include "engine/binder.h"
#include "engine/capture.h"
#include "engine/codes.h"
#include "engine/display.h"
#include "engine/node.h"
#include "engine/provider.h"
#include "engine/records.h"
#include "engine/relay.h"
#include "gui/services/centre_support.h"
#include "services/centre.h"
#include "services/texts.h"

namespace {

using namespace centre_support;

const ::testing::Environment *const kEnvironment = ::testing::AddGlobalTestEnvironment(new CentreEnvironment);

PkXID id_of(const std::string &text)
{
    return PkXID(name_of(text));
}

template <typename Record>
std::vector<uint8_t> bytes_of(const Record &record)
{
    std::vector<uint8_t> bytes(sizeof(record));
    memcpy(bytes.data(), &record, sizeof(record));
    return bytes;
}

uint64_t post(uint32_t code, const std::vector<uint8_t> &data)
{
    return engine_post_event(code, data.empty() ? nullptr : data.data(), data.size());
}

// One window operation as a window saw it.
struct Call {
    std::string op;
    PkXID node;          // the node argument, when there is one
    std::string detail;  // what the test wants to know at the time of the call
    std::any payload;    // a copy of the payload argument
    std::thread::id thread;
};

// A window that records every operation. Texts starting with "sync " are
// the test's own markers and are kept apart.
class Window : public IPkCenterNotify {
public:
    void onNodeOnline(PkSession *node) override
    {
        std::lock_guard<std::mutex> lock(node->mutex);
        add({"onNodeOnline", node->nodeId, node->nameSuffix, {}, {}});
    }
    void onNodeOffline(PkSession *node) override
    {
        const bool listed = PkCenterNotify::instance()->findSession(node->nodeId) != nullptr;
        add({"onNodeOffline", node->nodeId, listed ? "listed" : "unlisted", {}, {}});
    }
    void onNodeFieldChanged(PkSession *node, const PkXID &field, const PkBuffer &value) override
    {
        // The node must already hold the value.
        const std::string key = pk_id_to_printable(field);
        std::string held;
        {
            std::lock_guard<std::mutex> lock(node->mutex);
            const auto found = node->fields.find(key);
            if (found != node->fields.end()) held = found->second;
        }
        add({"onNodeFieldChanged", node->nodeId, key + "=" + held, value, {}});
    }
    void onDiscoveryState(int state) override { add({"onDiscoveryState", {}, std::to_string(state), {}, {}}); }
    void onLocalEndpoint(const PkNetAddress &endpoint) override { add({"onLocalEndpoint", {}, "", endpoint, {}}); }
    void onNetworkAdapterLost(const PkAdapterInfo &a) override { add({"onNetworkAdapterLost", {}, "", a, {}}); }
    void onNetworkAdapterAdded(const PkAdapterInfo &a) override { add({"onNetworkAdapterAdded", {}, "", a, {}}); }
    void onNetworkAdapterRemoved(const PkAdapterInfo &a) override
    {
        add({"onNetworkAdapterRemoved", {}, "", a, {}});
    }
    void onStreamStarted(const PkMediaStreamDescriptor &s) override { add({"onStreamStarted", {}, "", s, {}}); }
    void onStreamStopped(const PkMediaStreamDescriptor &s) override { add({"onStreamStopped", {}, "", s, {}}); }
    void onFrameRotation(const PkXID &stream, netframe_rotation_e rotation) override
    {
        add({"onFrameRotation", stream, std::to_string(rotation), {}, {}});
    }
    void onChannelInfo(const PkMediaChannelInfo &info) override { add({"onChannelInfo", {}, "", info, {}}); }
    void onTotalInfo(const PkMediaTotalInfo &info) override { add({"onTotalInfo", {}, "", info, {}}); }
    void onBindOpened(PkSession *n, const PkMediaBindDescriptor &b) override { bind("onBindOpened", n, b); }
    void onBindState(PkSession *n, const PkMediaBindDescriptor &b) override { bind("onBindState", n, b); }
    void onBindBusy(PkSession *n, const PkMediaBindDescriptor &b) override { bind("onBindBusy", n, b); }
    void onBindFailed(PkSession *n, const PkMediaBindDescriptor &b) override { bind("onBindFailed", n, b); }
    void onBindClosing(PkSession *n, const PkMediaBindDescriptor &b) override { bind("onBindClosing", n, b); }
    void onBindClosed(PkSession *n, const PkMediaBindDescriptor &b) override { bind("onBindClosed", n, b); }
    void onChannelBound(PkSession *n, const PkMediaBindDescriptor &b) override { bind("onChannelBound", n, b); }
    void onChannelsCleared(PkSession *n, const PkMediaBindDescriptor &b) override
    {
        bind("onChannelsCleared", n, b);
    }
    void onBroadcastStarted() override { add({"onBroadcastStarted", {}, "", {}, {}}); }
    void onBroadcastStopped() override { add({"onBroadcastStopped", {}, "", {}, {}}); }
    void onEvaluateResults(const PkEvaluateResults &r) override { add({"onEvaluateResults", {}, "", r, {}}); }
    void onAudioSourceInfo(const PkAudioFormat &format, uint32_t fourcc) override
    {
        add({"onAudioSourceInfo", {}, std::to_string(fourcc), format, {}});
    }
    void onVideoSourceInfo(const PkVideoMode &mode, uint32_t fourcc) override
    {
        add({"onVideoSourceInfo", {}, std::to_string(fourcc), mode, {}});
    }
    void onEnvironmentChanged(int32_t media, int32_t reserved, int32_t removed, const PkXID &device,
                              const std::string &value) override
    {
        const std::string words =
            std::to_string(media) + "," + std::to_string(reserved) + "," + std::to_string(removed);
        add({"onEnvironmentChanged", device, words, value, {}});
    }
    void onEngineSignal(const void *data) override
    {
        // Valid during the call only: the first four bytes are copied.
        std::string head;
        if (data != nullptr) head.assign(static_cast<const char *>(data), 4);
        add({"onEngineSignal", {}, head, {}, {}});
    }
    void onMessage(const std::string &text) override
    {
        if (text.rfind("sync ", 0) == 0) {
            std::lock_guard<std::mutex> lock(mutex);
            lastSync = text;
            changed.notify_all();
            return;
        }
        add({"onMessage", {}, text, {}, {}});
    }
    void onStreamerError(const std::string &text) override { add({"onStreamerError", {}, text, {}, {}}); }
    void onViewerError(const std::string &text) override { add({"onViewerError", {}, text, {}, {}}); }

    // Posts a marker message and waits until this window has seen it: every
    // event posted before it has then been handled.
    void sync()
    {
        static std::atomic<int> counter{0};
        const std::string marker = "sync " + std::to_string(counter++);
        EngineMessageText message{};
        memcpy(message.text, marker.data(), marker.size());
        ASSERT_NE(post(ENGINE_EVT_MESSAGE, bytes_of(message)), 0u);
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), [&] { return lastSync == marker; }))
            << "the centre never delivered " << marker;
    }
    // The calls since the last take.
    std::vector<Call> take()
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Call> out;
        out.swap(calls);
        return out;
    }
    std::vector<std::string> takeOps()
    {
        std::vector<std::string> ops;
        for (const Call &call : take()) ops.push_back(call.op);
        return ops;
    }

protected:
    void bind(const char *op, PkSession *node, const PkMediaBindDescriptor &bind)
    {
        const size_t channels = pk_session_channels(*node).size();
        add({op, node->nodeId, std::to_string(channels), bind, {}});
    }
    void add(Call call)
    {
        call.thread = std::this_thread::get_id();
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(std::move(call));
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Call> calls;
    std::string lastSync;
};

class CentreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        centre = PkCenterNotify::instance();
        window = std::make_shared<Window>();
        centre->addObserver(window);
    }
    void TearDown() override { centre->removeObserver(window); }

    // One call expected; returns it.
    Call only(const char *op)
    {
        window->sync();
        std::vector<Call> calls = window->take();
        EXPECT_EQ(calls.size(), 1u) << op;
        if (calls.empty()) return {};
        EXPECT_EQ(calls[0].op, op);
        return calls[0];
    }

    // Relayed node events, as the peer relay store posts them.
    static void nodeReady(const std::string &node)
    {
        post_node_ready(node, node + ".peer");
    }
    static void nodeRemoved(const std::string &node)
    {
        EngineRelayNodeNames names{};
        names.nodeId = name_of(node);
        ASSERT_NE(post(ENGINE_EVT_NODE_REMOVED, bytes_of(names)), 0u);
    }
    static void nodeField(const std::string &node, std::string_view field, const std::string &value)
    {
        EngineRelayFieldChange header{};
        header.nodeId = name_of(node);
        header.name = name_of(std::string(field));
        header.length = value.size();
        std::vector<uint8_t> data = bytes_of(header);
        data.insert(data.end(), value.begin(), value.end());
        ASSERT_NE(post(ENGINE_EVT_NODE_FIELD_CHANGED, data), 0u);
    }
    static void nodeAddress(uint32_t code, const std::string &node, const std::string &session, uint32_t address)
    {
        EnginePeerRecord record{};
        record.nodeId = name_of(node);
        record.sessionName = name_of(session);
        record.peerName = name_of(node + ".peer");
        record.address = address;
        record.port = 4000;
        ASSERT_NE(post(code, bytes_of(record)), 0u);
    }
    static EngineBindRecord bindRecord(const std::string &channel, const std::string &peer)
    {
        EngineBindRecord record{};
        record.kind = ENGINE_BIND_KIND_ANSWERER;
        const CoreName c = name_of(channel), p = name_of(peer), s = name_of("ssn.seq.0000000000000001"),
                       b = name_of("bnd.seq.00000000000000aa");
        engine_media_desc_make(&record.desc, &c, &p, &s, &b);
        return record;
    }

    std::shared_ptr<PkCenterNotify> centre;
    std::shared_ptr<Window> window;
};

// Message texts end at their NUL or at the end of their 1024-byte field;
// code and result are not passed.
TEST_F(CentreTest, MessageTexts)
{
    struct Case {
        uint32_t code;
        const char *op;
        std::string text;
        std::string expected;
    };
    const std::string full(ENGINE_MESSAGE_TEXT_SIZE, 'x');
    const Case cases[] = {
        {ENGINE_EVT_MESSAGE, "onMessage", "Peer is busy", "Peer is busy"},
        {ENGINE_EVT_STREAMER_ERROR, "onStreamerError", "Failed on start video encoder.",
         "Failed on start video encoder."},
        {ENGINE_EVT_VIEWER_ERROR, "onViewerError", "", ""},
        {ENGINE_EVT_MESSAGE, "onMessage", full, full},  // no terminator: cut at the field's end
    };
    for (const Case &c : cases) {
        EngineMessageText message{};
        message.code = ENGINE_CMD_CONNECT;
        message.result = -92;
        memcpy(message.text, c.text.data(), c.text.size());
        ASSERT_NE(post(c.code, bytes_of(message)), 0u);
        EXPECT_EQ(only(c.op).detail, c.expected) << c.op;
    }
}

// Channel statistics are regrouped sent/received; the bind part comes from
// the media description and the role word, with no source name.
TEST_F(CentreTest, ChannelAndTotalStatistics)
{
    EngineChannelInfo info{};
    info.role = ENGINE_BIND_KIND_REQUESTER;
    const CoreName c = name_of("p2p.bnd.00000001.chnl"), p = name_of("node.stats"), s = name_of("ssn.1"),
                   b = name_of("bnd.seq.0000000000000007");
    engine_media_desc_make(&info.desc, &c, &p, &s, &b);
    info.sentAudio.format1 = {48000, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {}};
    info.sentAudio.securityFlags = 1;
    info.sentAudio.bits = 11;
    info.receivedAudio.format2 = {44100, 1, 16, ENGINE_BYTE_ORDER_LE, 'S', {}};
    info.receivedAudio.bits = 22;
    info.sentVideo.mode1 = {1280, 720, 30, 1};
    info.sentVideo.securityFlags = 2;
    info.sentVideo.bits = 33;
    info.receivedVideo.mode2 = {640, 360, 60, 1};
    info.receivedVideo.bits = 44;
    info.elapsedMs = 5000;
    ASSERT_NE(post(ENGINE_EVT_CHANNEL_INFO, bytes_of(info)), 0u);

    const auto channel = std::any_cast<PkMediaChannelInfo>(only("onChannelInfo").payload);
    EXPECT_EQ(channel.sentAudio.format1.rate, 48000u);
    EXPECT_EQ(channel.sentAudio.securityFlags, 1u);
    EXPECT_EQ(channel.sentAudio.bytes, 11u);
    EXPECT_EQ(channel.receivedAudio.format2.rate, 44100u);
    EXPECT_EQ(channel.receivedAudio.bytes, 22u);
    EXPECT_EQ(channel.sentVideo.mode1.width, 1280u);
    EXPECT_EQ(channel.sentVideo.securityFlags, 2u);
    EXPECT_EQ(channel.sentVideo.bytes, 33u);
    EXPECT_EQ(channel.receivedVideo.mode2.height, 360u);
    EXPECT_EQ(channel.receivedVideo.bytes, 44u);
    EXPECT_EQ(channel.bind.channel, PkXID(c));
    EXPECT_EQ(channel.bind.peer, PkXID(p));
    EXPECT_EQ(channel.bind.session, PkXID(s));
    EXPECT_EQ(channel.bind.bindSequenceId, PkXID(b));
    EXPECT_EQ(channel.bind.kind, 1);
    EXPECT_TRUE(channel.bind.sourceName.empty());
    EXPECT_EQ(channel.elapsedMs, 5000u);

    EngineTotalInfo totals{};
    totals.securityFlags = 2;
    totals.broadcastAudio = {48000, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {}};
    totals.broadcastVideo = {1920, 1080, 30, 1};
    totals.sentAudioBits = 100;
    totals.sentVideoBits = 200;
    totals.elapsedMs = 3000;
    totals.channelCount = 8;
    ASSERT_NE(post(ENGINE_EVT_TOTAL_INFO, bytes_of(totals)), 0u);
    const auto total = std::any_cast<PkMediaTotalInfo>(only("onTotalInfo").payload);
    EXPECT_EQ(memcmp(&total.audioFormat, &totals.broadcastAudio, sizeof(total.audioFormat)), 0);
    EXPECT_EQ(total.videoMode.width, 1920u);
    EXPECT_EQ(total.securityFlags, 2u);
    EXPECT_EQ(total.sentAudioBytes, 100u);
    EXPECT_EQ(total.sentVideoBytes, 200u);
    EXPECT_EQ(total.elapsedMs, 3000u);
    EXPECT_EQ(total.channelCount, 8u);
}

// Stream pipelines, rotation, source formats, broadcast start and stop and
// the engine signal, each to its operation with its fields.
TEST_F(CentreTest, StreamAndSourceEvents)
{
    EngineStreamInfo stream{};
    stream.features = 0x5;
    stream.direction = ENGINE_STREAM_PLAYBACK;
    stream.channel = name_of("p2p.bnd.00000002.chnl");
    stream.slot = name_of("slot.video");
    stream.stream = name_of("stream.40000000");
    for (uint32_t code : {ENGINE_EVT_STREAM_STARTED, ENGINE_EVT_STREAM_STOPPED}) {
        ASSERT_NE(post(code, bytes_of(stream)), 0u);
        const auto d = std::any_cast<PkMediaStreamDescriptor>(
            only(code == ENGINE_EVT_STREAM_STARTED ? "onStreamStarted" : "onStreamStopped").payload);
        EXPECT_EQ(d.channel, PkXID(stream.channel));
        EXPECT_EQ(d.slotName, PkXID(stream.slot));
        EXPECT_EQ(d.streamName, PkXID(stream.stream));
        EXPECT_EQ(d.direction, 1);
        EXPECT_EQ(d.word0, 0);
        EXPECT_EQ(d.features, 0x5);
    }

    PkEventFrameRotation rotation{};
    rotation.streamName = name_of("stream.40000001");
    rotation.rotation = NETFRAME_ROTATION_270;
    ASSERT_NE(post(ENGINE_EVT_FRAME_ROTATION, bytes_of(rotation)), 0u);
    const Call turned = only("onFrameRotation");
    EXPECT_EQ(turned.node, id_of("stream.40000001"));
    EXPECT_EQ(turned.detail, "4");

    PkEventAudioSource audio{};
    audio.deviceIndex = -1;
    audio.fourcc = core_fourcc("OPUS");
    audio.format = {48000, 2, 16, PK_BYTE_ORDER_LE, 'S', {}};
    ASSERT_NE(post(ENGINE_EVT_AUDIO_SOURCE_INFO, bytes_of(audio)), 0u);
    const Call heard = only("onAudioSourceInfo");
    EXPECT_EQ(heard.detail, std::to_string(core_fourcc("OPUS")));
    EXPECT_EQ(pk_audio_format_to_text(std::any_cast<PkAudioFormat>(heard.payload)), "S16LE@48000:2");

    PkEventVideoSource video{};
    video.fourcc = core_fourcc("H264");
    video.mode = {1280, 720, 60, 1};
    ASSERT_NE(post(ENGINE_EVT_VIDEO_SOURCE_INFO, bytes_of(video)), 0u);
    const Call seen = only("onVideoSourceInfo");
    EXPECT_EQ(seen.detail, std::to_string(core_fourcc("H264")));
    EXPECT_EQ(pk_video_mode_to_text(std::any_cast<PkVideoMode>(seen.payload), true), "1280x720@60 Hz");

    ASSERT_NE(post(ENGINE_EVT_BROADCAST_STARTED, {}), 0u);
    ASSERT_NE(post(ENGINE_EVT_BROADCAST_STOPPED, {1, 2, 3}), 0u);
    ASSERT_NE(post(ENGINE_EVT_SIGNAL, {'p', 'i', 'n', 'g', 0}), 0u);
    window->sync();
    const std::vector<Call> calls = window->take();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].op, "onBroadcastStarted");
    EXPECT_EQ(calls[1].op, "onBroadcastStopped");
    EXPECT_EQ(calls[2].op, "onEngineSignal");
    EXPECT_EQ(calls[2].detail, "ping");
}

// The device value of an environment change: UTF-16 units (type 2) become
// UTF-8, other types are bytes; neither runs past the 1024-byte field.
TEST_F(CentreTest, EnvironmentChangeValueText)
{
    struct Case {
        const char *purpose;
        uint32_t type;
        std::vector<uint16_t> units;  // type 2
        std::string bytes;            // other types
        uint64_t length;
        std::string expected;
    };
    const Case cases[] = {
        {"UTF-16 with a surrogate pair", 2, {'M', 'i', 'c', ' ', 0xFC, 0xD83C, 0xDFA4}, "", 7,
         "Mic \xC3\xBC\xF0\x9F\x8E\xA4"},
        {"UTF-16 of length 0", 2, {'x'}, "", 0, ""},
        {"lone surrogate", 2, {'a', 0xDC00, 'b'}, "", 3, "a\xEF\xBF\xBD" "b"},
        {"UTF-16 length past the field", 2, std::vector<uint16_t>(512, 'w'), "", 5000, std::string(512, 'w')},
        {"bytes as they are", 1, {}, "alsa_input.usb", 14, "alsa_input.usb"},
        {"byte length past the field", 0, {}, std::string(1024, 'b'), UINT64_MAX, std::string(1024, 'b')},
    };
    for (const Case &c : cases) {
        EngineEnvironmentChange change{};
        change.media = 0;
        change.removed = 1;
        change.deviceId = name_of("device.audio.0");
        change.valueType = c.type;
        change.length = c.length;
        if (c.type == 2) memcpy(change.value, c.units.data(), c.units.size() * 2);
        else memcpy(change.value, c.bytes.data(), c.bytes.size());
        ASSERT_NE(post(ENGINE_EVT_ENVIRONMENT_CHANGED, bytes_of(change)), 0u);
        const Call call = only("onEnvironmentChanged");
        EXPECT_EQ(std::any_cast<std::string>(call.payload), c.expected) << c.purpose;
        EXPECT_EQ(call.detail, "0,0,1") << c.purpose;
        EXPECT_EQ(call.node, id_of("device.audio.0")) << c.purpose;
    }
}

// Evaluation results: the head is copied field by field; rows of kind 0 and
// 1 become audio and video trials in order; empty rows are skipped.
TEST_F(CentreTest, EvaluationResults)
{
    PkEventEvalHead head{};
    memcpy(head.audioCodec.codec_name, "opusenc", 7);
    memcpy(head.videoCodec.codec_name, "x264enc", 7);
    head.audioFormat = {48000, 2, 16, PK_BYTE_ORDER_LE, 'S', {}};
    head.trialMode = {640, 360, 30, 1};
    head.audioCodecIndex = 1;
    head.audioCodecCount = 3;
    head.audioUsableCount = 2;
    head.videoCodecIndex = 4;
    head.videoCodecCount = 6;
    head.videoUsableCount = 5;

    // A progress event: no rows.
    ASSERT_NE(post(ENGINE_EVT_EVAL_RESULT, bytes_of(head)), 0u);
    auto progress = std::any_cast<PkEvaluateResults>(only("onEvaluateResults").payload);
    EXPECT_STREQ(progress.audioCodec.codec_name, "opusenc");
    EXPECT_STREQ(progress.videoCodec.codec_name, "x264enc");
    EXPECT_EQ(progress.audioFormat.rate, 48000u);
    EXPECT_EQ(progress.trialMode.width, 640u);
    EXPECT_EQ(progress.audioCodecIndex, 1u);
    EXPECT_EQ(progress.audioCodecCount, 3u);
    EXPECT_EQ(progress.audioUsableCount, 2u);
    EXPECT_EQ(progress.videoCodecIndex, 4u);
    EXPECT_EQ(progress.videoCodecCount, 6u);
    EXPECT_EQ(progress.videoUsableCount, 5u);
    EXPECT_TRUE(progress.audioTrials.empty());
    EXPECT_TRUE(progress.videoTrials.empty());

    std::vector<PkEventEvalTrial> rows(4);
    rows[0] = {0, 1, {}, {}};
    const PkAudioFormat low{8000, 1, 16, PK_BYTE_ORDER_LE, 'S', {}}, high{48000, 2, 16, PK_BYTE_ORDER_LE, 'S', {}};
    memcpy(rows[0].minimum, &low, sizeof(low));
    memcpy(rows[0].maximum, &high, sizeof(high));
    rows[1] = {1, 1, {}, {}};
    rows[2] = {-1, 1, {}, {}};
    rows[3] = {1, 0, {}, {}};
    const PkVideoMode small{64, 64, 1, 1}, passed{1280, 720, 30, 1}, failed{1920, 1080, 30, 1};
    memcpy(rows[1].minimum, &small, sizeof(small));
    memcpy(rows[1].maximum, &passed, sizeof(passed));
    memcpy(rows[3].maximum, &failed, sizeof(failed));
    head.trialCount = rows.size();
    std::vector<uint8_t> data = bytes_of(head);
    for (const auto &row : rows) {
        const std::vector<uint8_t> bytes = bytes_of(row);
        data.insert(data.end(), bytes.begin(), bytes.end());
    }
    ASSERT_NE(post(ENGINE_EVT_EVAL_RESULT, data), 0u);
    auto result = std::any_cast<PkEvaluateResults>(only("onEvaluateResults").payload);
    ASSERT_EQ(result.audioTrials.size(), 1u);
    EXPECT_TRUE(result.audioTrials[0].passed);
    EXPECT_EQ(pk_audio_format_to_text(result.audioTrials[0].minimum), "S16LE@8000:1");
    EXPECT_EQ(pk_audio_format_to_text(result.audioTrials[0].maximum), "S16LE@48000:2");
    ASSERT_EQ(result.videoTrials.size(), 2u);
    EXPECT_TRUE(result.videoTrials[0].passed);
    EXPECT_EQ(result.videoTrials[0].minimum.width, 64u);
    EXPECT_EQ(result.videoTrials[0].maximum.width, 1280u);
    EXPECT_FALSE(result.videoTrials[1].passed);
    EXPECT_EQ(result.videoTrials[1].maximum.width, 1920u);
}

// Presence state (only changes reach the windows), the local endpoint and
// the three adapter events.
TEST_F(CentreTest, PresenceEndpointAndAdapters)
{
    auto state = [](uint32_t value) { ASSERT_NE(post(ENGINE_EVT_PRESENCE_STATE, bytes_of(value)), 0u); };
    state(ENGINE_PRESENCE_START_FAILED);  // whatever was last delivered before this test
    window->sync();
    window->take();
    for (uint32_t value : {2u, 3u, 3u, 1u, 1u, 3u}) state(value);
    window->sync();
    std::vector<std::string> delivered;
    for (const Call &call : window->take()) delivered.push_back(call.detail);
    EXPECT_EQ(delivered, (std::vector<std::string>{"3", "1", "3"}));

    std::vector<uint8_t> endpoint(6);
    const uint32_t address = 0x0A00000Bu;
    const uint16_t port = 0x1F90;
    memcpy(endpoint.data(), &address, 4);
    memcpy(endpoint.data() + 4, &port, 2);
    ASSERT_NE(post(ENGINE_EVT_LOCAL_ENDPOINT, endpoint), 0u);
    const auto local = std::any_cast<PkNetAddress>(only("onLocalEndpoint").payload);
    EXPECT_EQ(local.address, address);
    EXPECT_EQ(local.port, port);

    CoreNetAdapter adapter{};
    adapter.flags = CORE_ADAPTER_HAS_IPV4 | CORE_ADAPTER_LAN;
    adapter.address = {0x0100A8C0u, 0};
    adapter.mask = {0x00FFFFFFu, 0};
    adapter.broadcast = 0xFF00A8C0u;
    memset(adapter.id, 'A', sizeof(adapter.id));  // no terminator: cut at 64
    memcpy(adapter.description, "eth0", 4);
    const struct {
        uint32_t code;
        const char *op;
    } events[] = {{ENGINE_EVT_ADAPTER_ADDED, "onNetworkAdapterAdded"},
                  {ENGINE_EVT_ADAPTER_REMOVED, "onNetworkAdapterRemoved"},
                  {ENGINE_EVT_ADAPTER_LOST, "onNetworkAdapterLost"}};
    for (const auto &event : events) {
        ASSERT_NE(post(event.code, bytes_of(adapter)), 0u);
        const auto info = std::any_cast<PkAdapterInfo>(only(event.op).payload);
        EXPECT_EQ(info.flags, adapter.flags);
        EXPECT_EQ(info.address.address, 0x0100A8C0u);
        EXPECT_EQ(info.mask.address, 0x00FFFFFFu);
        EXPECT_EQ(info.broadcast.address, 0xFF00A8C0u);
        EXPECT_EQ(info.adapterId, std::string(64, 'A'));
        EXPECT_EQ(info.description, "eth0");
    }
}

// A record shorter than its layout, or whose own length or count reaches
// past the event, is dropped whole: no window call, no node change.
TEST_F(CentreTest, ShortAndLyingRecordsAreDropped)
{
    nodeReady("node.short");
    window->sync();
    const struct {
        uint32_t code;
        size_t size;
    } records[] = {
        {ENGINE_EVT_MESSAGE, sizeof(EngineMessageText)},
        {ENGINE_EVT_CHANNEL_INFO, sizeof(EngineChannelInfo)},
        {ENGINE_EVT_TOTAL_INFO, sizeof(EngineTotalInfo)},
        {ENGINE_EVT_STREAM_STARTED, sizeof(EngineStreamInfo)},
        {ENGINE_EVT_FRAME_ROTATION, sizeof(PkEventFrameRotation)},
        {ENGINE_EVT_AUDIO_SOURCE_INFO, sizeof(PkEventAudioSource)},
        {ENGINE_EVT_VIDEO_SOURCE_INFO, sizeof(PkEventVideoSource)},
        {ENGINE_EVT_ENVIRONMENT_CHANGED, sizeof(EngineEnvironmentChange)},
        {ENGINE_EVT_EVAL_RESULT, sizeof(PkEventEvalHead)},
        {ENGINE_EVT_PRESENCE_STATE, 4},
        {ENGINE_EVT_LOCAL_ENDPOINT, 6},
        {ENGINE_EVT_ADAPTER_ADDED, sizeof(CoreNetAdapter)},
        {ENGINE_EVT_NODE_READY, sizeof(EngineRelayNodeNames)},
        {ENGINE_EVT_NODE_REMOVED, sizeof(EngineRelayNodeNames)},
        {ENGINE_EVT_NODE_FIELD_CHANGED, sizeof(EngineRelayFieldChange)},
        {ENGINE_EVT_NODE_ONLINE, sizeof(EnginePeerRecord)},
        {ENGINE_EVT_NODE_OFFLINE, sizeof(EnginePeerRecord)},
        {ENGINE_EVT_NODE_BIND_OPENED, sizeof(EngineBindRecord)},
        {ENGINE_EVT_NODE_CHANNEL_BOUND, sizeof(EngineBindRecord)},
    };
    const uint64_t refusedBefore = centre->refusedCount();
    const size_t nodesBefore = centre->sessions().size();
    uint64_t expectedRefusals = 0;
    for (const auto &record : records) {
        // The node id of the relayed records is in place, so only the length
        // can be what stops them.
        std::vector<uint8_t> data(record.size - 1, 0);
        const CoreName node = name_of("node.short");
        if (record.code >= ENGINE_EVT_NODE_READY) {
            const size_t at = record.code >= ENGINE_EVT_NODE_BIND_OPENED ? 140 : 0;
            memcpy(data.data() + at, node.key, sizeof(node.key));
        }
        ASSERT_NE(post(record.code, data), 0u);
        ASSERT_NE(post(record.code, {}), 0u);
        expectedRefusals += 2;
    }

    // A field change whose value length reaches one byte past the event.
    EngineRelayFieldChange header{};
    header.nodeId = name_of("node.short");
    header.name = name_of(std::string(PkConstants::kNodeFirstNameField));
    header.length = 6;
    std::vector<uint8_t> field = bytes_of(header);
    field.insert(field.end(), {'L', 'i', 'a', 'r', '!'});
    ASSERT_NE(post(ENGINE_EVT_NODE_FIELD_CHANGED, field), 0u);
    header.length = UINT64_MAX;
    field.resize(sizeof(header));
    memcpy(field.data(), &header, sizeof(header));
    ASSERT_NE(post(ENGINE_EVT_NODE_FIELD_CHANGED, field), 0u);
    // An evaluation result that claims one row more than it carries.
    PkEventEvalHead eval{};
    eval.trialCount = 2;
    std::vector<uint8_t> rows = bytes_of(eval);
    rows.resize(rows.size() + sizeof(PkEventEvalTrial));
    ASSERT_NE(post(ENGINE_EVT_EVAL_RESULT, rows), 0u);
    eval.trialCount = UINT64_MAX / 40 + 2;  // wraps when multiplied by the row size
    memcpy(rows.data(), &eval, sizeof(eval));
    ASSERT_NE(post(ENGINE_EVT_EVAL_RESULT, rows), 0u);
    expectedRefusals += 4;

    window->sync();
    EXPECT_TRUE(window->takeOps().empty());
    EXPECT_EQ(centre->refusedCount() - refusedBefore, expectedRefusals);
    EXPECT_EQ(centre->sessions().size(), nodesBefore);
    const auto node = centre->findSession(id_of("node.short"));
    ASSERT_TRUE(node);
    EXPECT_EQ(pk_session_display_name(*node), "node.short.peer");
    EXPECT_TRUE(pk_session_addresses(*node).empty());
    nodeRemoved("node.short");
    window->sync();
}

// The raw bind events, the peer events of the presence service and the
// other engine-internal codes are not the windows' business.
TEST_F(CentreTest, CodesOutsideTheTableCallNoWindow)
{
    const EngineBindRecord record = bindRecord("p2p.bnd.00000000.chnl", "node.nobody");
    for (uint32_t code = ENGINE_EVT_BIND_OPENED; code <= ENGINE_EVT_CHANNELS_CLEARED; code++)
        ASSERT_NE(post(code, bytes_of(record)), 0u);
    const EnginePeerRecord peer{};
    for (uint32_t code : {0x140Au, 0x140Bu, 0x140Eu, 0x140Fu, 0x1700u, 0x1803u, 0x1901u, 0x1902u, 0x1905u, 0x810Du})
        ASSERT_NE(post(code, bytes_of(peer)), 0u);
    window->sync();
    EXPECT_TRUE(window->takeOps().empty());
}

// A node's road through the relayed events: ready (listed, no window),
// field (the node holds it first), online over two addresses (one call),
// offline (only when the last address goes; then unlisted), and events for
// nodes the centre does not know, which change nothing.
TEST_F(CentreTest, RemoteNodeLifecycle)
{
    const std::string node = "node.lifecycle";
    nodeAddress(ENGINE_EVT_NODE_ONLINE, node, "ssn.early", 1);  // before ready: nothing
    nodeField(node, PkConstants::kNodeFirstNameField, "Early");
    window->sync();
    EXPECT_TRUE(window->takeOps().empty());
    EXPECT_FALSE(centre->findSession(id_of(node)));

    nodeReady(node);
    window->sync();
    EXPECT_TRUE(window->takeOps().empty());
    const auto session = centre->findSession(id_of(node));
    ASSERT_TRUE(session);
    EXPECT_EQ(session->userId, id_of(node + ".peer"));

    nodeField(node, PkConstants::kNodeFirstNameField, "Ada");
    nodeField(node, PkConstants::kNodeLastNameField, "Byron");
    window->sync();
    std::vector<Call> calls = window->take();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].op, "onNodeFieldChanged");
    EXPECT_EQ(calls[0].node, id_of(node));
    EXPECT_EQ(calls[0].detail, "node.firstname.field=Ada");
    EXPECT_EQ(calls[1].detail, "node.lastname.field=Byron");
    EXPECT_EQ(pk_session_display_name(*session), "Ada Byron");
    const auto value = std::any_cast<PkBuffer>(calls[1].payload);
    EXPECT_EQ(PkXID(value.id), id_of(std::string(PkConstants::kNodeLastNameField)));
    EXPECT_EQ(std::string(value.data.begin(), value.data.end()), "Byron");

    nodeAddress(ENGINE_EVT_NODE_ONLINE, node, "ssn.a", 0x0A000001);
    nodeAddress(ENGINE_EVT_NODE_ONLINE, node, "ssn.a", 0x0A000001);  // same id: nothing
    nodeAddress(ENGINE_EVT_NODE_ONLINE, node, "ssn.b", 0x0A000002);
    EXPECT_EQ(only("onNodeOnline").node, id_of(node));
    ASSERT_EQ(pk_session_addresses(*session).size(), 2u);
    EXPECT_EQ(pk_session_addresses(*session)[0].endpoint.address, 0x0A000001u);
    EXPECT_EQ(pk_session_addresses(*session)[0].endpoint.port, 4000u);

    nodeAddress(ENGINE_EVT_NODE_OFFLINE, node, "ssn.a", 0);
    nodeAddress(ENGINE_EVT_NODE_OFFLINE, node, "ssn.unknown", 0);
    window->sync();
    EXPECT_TRUE(window->takeOps().empty());
    nodeAddress(ENGINE_EVT_NODE_OFFLINE, node, "ssn.b", 0);
    const Call offline = only("onNodeOffline");
    EXPECT_EQ(offline.node, id_of(node));
    EXPECT_EQ(offline.detail, "unlisted");
    EXPECT_FALSE(centre->findSession(id_of(node)));

    // Gone: its later events change nothing and call no window.
    nodeField(node, PkConstants::kNodeFirstNameField, "Late");
    nodeAddress(ENGINE_EVT_NODE_OFFLINE, node, "ssn.b", 0);
    const EngineBindRecord bind = bindRecord("p2p.bnd.00000000.chnl", node);
    ASSERT_NE(post(ENGINE_EVT_NODE_BIND_OPENED, bytes_of(bind)), 0u);
    nodeRemoved(node);
    window->sync();
    EXPECT_TRUE(window->takeOps().empty());

    // Ready then removed without ever being online.
    nodeReady(node);
    window->sync();
    ASSERT_TRUE(centre->findSession(id_of(node)));
    nodeRemoved(node);
    window->sync();
    EXPECT_FALSE(centre->findSession(id_of(node)));
    EXPECT_TRUE(window->takeOps().empty());
}

// Incoming nodes that show the same name are numbered as they come online;
// a node without the incoming bit never gets a suffix and never causes one.
TEST_F(CentreTest, DisplayNameSuffixes)
{
    struct Case {
        const char *node;
        const char *direction;
        const char *suffix;
    };
    const Case cases[] = {
        {"node.suffix.1", "direction.incoming.value", ""},
        {"node.suffix.2", "direction.bidirectional.value", " (1)"},
        {"node.suffix.3", "direction.outgoing.value", ""},
        {"node.suffix.4", "direction.incoming.value", " (2)"},
    };
    for (const Case &c : cases) {
        nodeReady(c.node);
        nodeField(c.node, PkConstants::kNodeFirstNameField, "Suffix");
        nodeField(c.node, PkConstants::kNodeLastNameField, "Tester");
        nodeField(c.node, PkConstants::kNodeBinderDirectionField, c.direction);
        nodeAddress(ENGINE_EVT_NODE_ONLINE, c.node, std::string(c.node) + ".ssn", 1);
        window->sync();
        std::vector<Call> calls = window->take();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back().op, "onNodeOnline") << c.node;
        EXPECT_EQ(calls.back().detail, c.suffix) << c.node;
    }
    for (const Case &c : cases) nodeAddress(ENGINE_EVT_NODE_OFFLINE, c.node, std::string(c.node) + ".ssn", 0);
    window->sync();
    EXPECT_EQ(window->takeOps().size(), 4u);
}

// Relayed bind events reach the operation of their code with the node and
// the descriptor; a broadcast's channel entries are in place before its
// call and gone before the clearing call.
TEST_F(CentreTest, BindEventsAndBroadcastChannels)
{
    const std::string node = "node.binds";
    nodeReady(node);

    EngineBindRecord record = bindRecord("p2p.bnd.00000003.chnl", node);
    const std::string source(200, 's');  // past the first 128-byte half
    memcpy(record.sourceName, source.data(), source.size());
    const char *ops[] = {"onBindOpened", "onBindState", "onBindBusy", "onBindFailed", "onBindClosing", "onBindClosed"};
    for (uint32_t code = ENGINE_EVT_NODE_BIND_OPENED; code <= ENGINE_EVT_NODE_BIND_CLOSED; code++)
        ASSERT_NE(post(code, bytes_of(record)), 0u);
    window->sync();
    std::vector<Call> calls = window->take();
    ASSERT_EQ(calls.size(), 6u);
    for (size_t i = 0; i < calls.size(); i++) {
        EXPECT_EQ(calls[i].op, ops[i]);
        EXPECT_EQ(calls[i].node, id_of(node));
        const auto bind = std::any_cast<PkMediaBindDescriptor>(calls[i].payload);
        EXPECT_EQ(bind.channel, id_of("p2p.bnd.00000003.chnl"));
        EXPECT_EQ(bind.peer, id_of(node));
        EXPECT_EQ(bind.session, id_of("ssn.seq.0000000000000001"));
        EXPECT_EQ(bind.bindSequenceId, id_of("bnd.seq.00000000000000aa"));
        EXPECT_EQ(bind.kind, 2);
        EXPECT_EQ(bind.sourceName, source);
    }

    const auto session = centre->findSession(id_of(node));
    ASSERT_TRUE(session);
    const EngineBindRecord broadcast = bindRecord("p2m.bnd.00000008.chnl", node);
    ASSERT_NE(post(ENGINE_EVT_NODE_CHANNEL_BOUND, bytes_of(broadcast)), 0u);
    EXPECT_EQ(only("onChannelBound").detail, "8");
    const std::vector<PkSessionChannel> channels = pk_session_channels(*session);
    ASSERT_EQ(channels.size(), 8u);
    for (size_t i = 0; i < channels.size(); i++) {
        char name[33];
        snprintf(name, sizeof(name), "p2m.bnd.%08X.chnl", unsigned(i));
        EXPECT_EQ(channels[i].channelName, id_of(name));
        EXPECT_EQ(channels[i].bindSequenceId, id_of("bnd.seq.00000000000000aa"));
    }
    ASSERT_NE(post(ENGINE_EVT_NODE_CHANNEL_BOUND, bytes_of(broadcast)), 0u);
    EXPECT_EQ(only("onChannelBound").detail, "16");
    // Not a broadcast channel name, or a count no broadcast has: no entries,
    // the window is still told.
    ASSERT_NE(post(ENGINE_EVT_NODE_CHANNEL_BOUND, bytes_of(record)), 0u);
    EXPECT_EQ(only("onChannelBound").detail, "16");
    ASSERT_NE(post(ENGINE_EVT_NODE_CHANNEL_BOUND, bytes_of(bindRecord("p2m.bnd.7FFFFFFE.chnl", node))), 0u);
    EXPECT_EQ(only("onChannelBound").detail, "16");
    ASSERT_NE(post(ENGINE_EVT_NODE_CHANNELS_CLEARED, bytes_of(broadcast)), 0u);
    EXPECT_EQ(only("onChannelsCleared").detail, "0");

    nodeRemoved(node);
    window->sync();
}

// A window that removes itself during an operation finishes that call (it
// is kept alive by the centre) and is not called again; the windows after
// it still receive that event. Every call runs on the pump's one worker.
TEST_F(CentreTest, WindowRemovingItselfAndTheCallingThread)
{
    class Leaving : public Window {
    public:
        void onBroadcastStarted() override
        {
            PkCenterNotify::instance()->removeObserver(self.lock());
            self.reset();
            add({"leaving", {}, "", {}, {}});
        }
        std::weak_ptr<Leaving> self;
    };
    auto leaving = std::make_shared<Leaving>();
    leaving->self = leaving;
    centre->addObserver(leaving);
    auto after = std::make_shared<Window>();
    centre->addObserver(after);
    std::weak_ptr<Leaving> watch = leaving;
    leaving.reset();  // only the centre holds it now

    ASSERT_NE(post(ENGINE_EVT_BROADCAST_STARTED, {}), 0u);
    ASSERT_NE(post(ENGINE_EVT_BROADCAST_STARTED, {}), 0u);
    window->sync();
    after->sync();
    centre->removeObserver(after);
    EXPECT_TRUE(watch.expired());

    const std::vector<Call> first = window->take();
    const std::vector<Call> last = after->take();
    EXPECT_EQ(first.size(), 2u);
    EXPECT_EQ(last.size(), 2u);
    for (const auto *calls : {&first, &last}) {
        for (const Call &call : *calls) {
            EXPECT_EQ(call.thread, first[0].thread);
            EXPECT_NE(call.thread, std::this_thread::get_id());
        }
    }
}

// The real peer relay store between the presence events and the centre: a
// peer found, given a property and seen is listed, named and online; lost,
// it goes offline and leaves the list.
TEST_F(CentreTest, NodesFromThePeerRelayStore)
{
    const CoreName nodeKey = name_of("relay.test.key");
    ASSERT_EQ(engine_relay_create(&nodeKey), CORE_OK);

    EnginePeerRecord peer{};
    peer.nodeId = name_of("node.relayed");
    peer.sessionName = name_of("ssn.relayed");
    peer.peerName = name_of("peer.relayed");
    peer.address = 0x0B00000A;
    peer.port = 5000;
    ASSERT_NE(post(ENGINE_EVT_PEER_FOUND, bytes_of(peer)), 0u);

    const std::string firstName = "Grace";
    EngineNodeProperty property{};
    property.record = peer;
    property.name = name_of(std::string(PkConstants::kNodeFirstNameField));
    property.length = firstName.size();
    std::vector<uint8_t> data = bytes_of(property);
    data.insert(data.end(), firstName.begin(), firstName.end());
    ASSERT_NE(post(ENGINE_EVT_PEER_PROPERTY, data), 0u);
    ASSERT_NE(post(ENGINE_EVT_PEER_CHANGED, bytes_of(peer)), 0u);
    window->sync();
    // The relayed events are posted behind the marker; a second marker
    // follows them.
    window->sync();
    std::vector<Call> calls = window->take();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].op, "onNodeFieldChanged");
    EXPECT_EQ(calls[0].detail, "node.firstname.field=Grace");
    EXPECT_EQ(calls[1].op, "onNodeOnline");
    const auto session = centre->findSession(PkXID(peer.nodeId));
    ASSERT_TRUE(session);
    EXPECT_EQ(session->userId, PkXID(peer.peerName));
    ASSERT_EQ(pk_session_addresses(*session).size(), 1u);
    EXPECT_EQ(pk_session_addresses(*session)[0].endpoint.address, 0x0B00000Au);

    ASSERT_NE(post(ENGINE_EVT_PEER_LOST, bytes_of(peer)), 0u);
    window->sync();
    window->sync();
    EXPECT_EQ(window->takeOps(), std::vector<std::string>{"onNodeOffline"});
    EXPECT_FALSE(centre->findSession(PkXID(peer.nodeId)));
    engine_relay_destroy();
}

}  // namespace
