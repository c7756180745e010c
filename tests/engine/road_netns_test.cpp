// The main road end to end: two engines, each in a process of its own
// (this binary, started with --road-node) inside a network namespace, the
// two joined by a veth pair. Each process makes its engine context and
// drives it only as the interface does: the profile properties, then
// ENGINE_CMD_START with an EngineConfig and ENGINE_CMD_GO_ONLINE. The
// nodes meet by LAN discovery; the viewer binds to the streamer's channel
// with ENGINE_CMD_CONNECT; the streamer captures from the framework's test
// sources and answers by itself (autoAccept), its samples travel through
// its send service and the viewer's receive service into the viewer's
// display controller, which plays them in a private X server. Each process
// prints the engine's events as JSON lines.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "core/topic.h"
#include "engine/binder.h"
#include "engine/capture.h"
#include "engine/codes.h"
#include "engine/config.h"
#include "engine/display.h"
#include "engine/engine.h"
#include "engine/node.h"
#include "engine/relay.h"
#include "engine/session.h"
#include "engine/engine_support.h"
#include "flowmesh/netns_support.h"
#include "ravelkit/desktop_env.h"
#include "ravelkit/devices.h"
#include "ravelkit/linux_values.h"

namespace {

// ---- the node process ----

std::mutex g_emit_mutex;
std::mutex g_peer_mutex;
CoreName g_peer = {};  // node id of the last peer reported ready

__attribute__((format(printf, 1, 2))) void emit(const char *format, ...)
{
    std::lock_guard<std::mutex> guard(g_emit_mutex);
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    printf("\n");
    fflush(stdout);
}

std::string text_of(const CoreName &name)
{
    std::string out;
    for (uint8_t byte : name.key) {
        if (byte == 0) break;
        out += byte >= 0x20 && byte < 0x7F && byte != '"' ? char(byte) : '?';
    }
    return out;
}

template <typename Record>
bool read(const CoreQueueEntry *message, Record *out)
{
    if (message->data == nullptr || message->length != sizeof(Record)) return false;
    memcpy(out, message->data, sizeof(Record));
    return true;
}

CoreResult on_event(const CoreQueueEntry *message, void **)
{
    switch (message->type) {
    case ENGINE_EVT_PRESENCE_STATE: {
        uint32_t state;
        if (read(message, &state)) emit("{\"event\":\"state\",\"state\":%u}", state);
        break;
    }
    case ENGINE_EVT_NODE_READY: {
        EngineRelayNodeNames names;
        if (!read(message, &names)) break;
        {
            std::lock_guard<std::mutex> guard(g_peer_mutex);
            g_peer = names.nodeId;
        }
        emit("{\"event\":\"ready\",\"peer\":\"%s\"}", text_of(names.nodeId).c_str());
        break;
    }
    case ENGINE_EVT_NODE_BIND_OPENED:
    case ENGINE_EVT_NODE_BIND_STATE:
    case ENGINE_EVT_NODE_BIND_BUSY:
    case ENGINE_EVT_NODE_BIND_FAILED:
    case ENGINE_EVT_NODE_BIND_CLOSING:
    case ENGINE_EVT_NODE_BIND_CLOSED: {
        EngineBindRecord record;
        if (!read(message, &record)) break;
        const char *names[] = {"opened", "bound", "busy", "failed", "closing", "closed"};
        emit("{\"event\":\"bind\",\"what\":\"%s\",\"kind\":%u,\"source\":\"%.40s\"}",
             names[message->type - ENGINE_EVT_NODE_BIND_OPENED], record.kind, record.sourceName);
        break;
    }
    case ENGINE_EVT_STREAM_STARTED:
    case ENGINE_EVT_STREAM_STOPPED: {
        EngineStreamInfo info;
        if (!read(message, &info)) break;
        emit("{\"event\":\"%s\",\"direction\":%u,\"stream\":\"%s\"}",
             message->type == ENGINE_EVT_STREAM_STARTED ? "started" : "stopped", info.direction,
             text_of(info.stream).c_str());
        break;
    }
    case ENGINE_EVT_CHANNEL_INFO: {
        EngineChannelInfo info;
        if (!read(message, &info)) break;
        emit("{\"event\":\"channel\",\"sent\":%" PRIu64 ",\"received\":%" PRIu64 "}", info.sentVideo.bits,
             info.receivedVideo.bits);
        break;
    }
    case ENGINE_EVT_MESSAGE:
    case ENGINE_EVT_STREAMER_ERROR:
    case ENGINE_EVT_VIEWER_ERROR: {
        EngineMessageText text;
        if (!read(message, &text)) break;
        text.text[sizeof(text.text) - 1] = '\0';
        emit("{\"event\":\"message\",\"code\":%u,\"text\":\"%s\"}", message->type, text.text);
        break;
    }
    default: break;
    }
    return CORE_OK;
}

uint32_t post_and_wait(uint32_t code, const void *data = nullptr, uint64_t length = 0)
{
    const uint64_t sequence = engine_post_command(code, data, length);
    const CoreName topic = engine_support::name_of(ENGINE_COMMAND_TOPIC);
    if (sequence != 0) core_topic_wait(&topic, sequence);
    return engine_state();
}

// The start record as the interface fills it for these two nodes: the
// streamer captures from test sources and accepts by itself, both play
// into test sinks' formats.
EngineConfig road_record(const std::string &name, const std::string &system)
{
    EngineConfig config;
    memset(&config, 0, sizeof(config));
    config.binderDirection = ENGINE_DIRECTION_OUTGOING | ENGINE_DIRECTION_INCOMING;
    config.sendRoles = ENGINE_ROLE_ANSWERER;
    config.receiveRoles = ENGINE_ROLE_REQUESTER;
    config.networkFlags = 0x17;
    config.serviceFlags = ENGINE_SERVICE_SEND | ENGINE_SERVICE_RECEIVE;
    config.nodeKind = ENGINE_NODE_MEDIA;
    config.networkMode = 2;
    config.servicesMode = ENGINE_SERVICES_BINDING | ENGINE_SERVICES_MEDIA;
    config.network.basePort = 60149;
    config.network.adapterIndex = -1;
    config.network.networkOption = FLOWMESH_KEYS_128;
    core_name_format(&config.network.systemNodeName, "%.32s", system.c_str());
    core_name_format(&config.network.nodeUserId, "%.32s", name.c_str());
    core_name_format(&config.network.nodeKey, "road.key.%.20s", name.c_str());
    config.frameworkType = 1;
    config.p2pChannelCount = 1;
    config.p2pClass = 1;
    config.videoSizeClass = 2;
    config.autoAccept = 1;
    config.rateControlOption = 1;
    config.captureSourceParams[0] = config.captureSourceParams[1] = 1;
    for (EngineDeviceSlot *slot : {&config.audioSource, &config.videoSource, &config.audioSink, &config.videoSink}) {
        slot->codecIndex = -1;
        slot->deviceClass = RAVK_CLASS_TEST;
    }
    config.audioSource.slotParam = config.videoSource.slotParam = 256;
    config.audioSink.slotParam = config.videoSink.slotParam = 2;
    config.audioSource.deviceId = config.audioSink.deviceId = engine_support::name_of("road.audio");
    config.videoSource.deviceId = config.videoSink.deviceId = engine_support::name_of("road.video");
    return config;
}

// The test devices that stand in for the capture sources and describe the
// playback sinks, selected in each registry the session made.
void add_test_devices(EngineSession *session, const EngineConfig &config)
{
    const RavkAudioFormat format = {48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {}};
    const CoreVideoMode mode = {320, 240, 30, 1};
    for (RavkDeviceList *list : {session->provider->audioSources, session->display->audioSinks}) {
        if (list == nullptr) continue;
        ravk_device_list_add_audio_test(list, RAVK_AUDIO_BACKEND_GSTREAMER, &config.audioSource.deviceId, &format, 0,
                                        440.0);
        ravk_device_list_select(list, &config.audioSource.deviceId);
    }
    for (RavkDeviceList *list : {session->provider->videoSources, session->display->videoSinks}) {
        if (list == nullptr) continue;
        ravk_device_list_add_video_test(list, RAVK_BACKEND_GSTREAMER, &config.videoSource.deviceId, &mode,
                                        core_fourcc("I420"), 18);
        ravk_device_list_select(list, &config.videoSource.deviceId);
    }
}

int run_node(const std::string &name, const std::string &system)
{
    if (engine_context_create() != CORE_OK) return 1;
    EngineContext *context = engine_context_current();
    ravk_linux_values_publish();
    const std::string direction = "direction.bidirectional.value";
    engine_node_property_add(ENGINE_PROP_USERID, name.data(), name.size());
    engine_node_property_add(ENGINE_PROP_DIRECTION, direction.data(), direction.size());
    engine_node_property_add(ENGINE_PROP_STATUS, ENGINE_STATUS_ONLINE, strlen(ENGINE_STATUS_ONLINE));
    engine_node_property_add(ENGINE_PROP_AVATAR, "\x89PNG", 4);
    engine_node_properties_seal();
    const CoreName events = engine_support::name_of(ENGINE_EVENT_TOPIC);
    CoreTopicSubscription subscription = {on_event, {nullptr, nullptr}};
    const uint64_t key = core_topic_subscribe(&events, &subscription);

    const EngineConfig config = road_record(name, system);
    if (post_and_wait(ENGINE_CMD_START, &config, sizeof(config)) != ENGINE_STATE_STARTED) {
        emit("{\"event\":\"error\",\"reason\":\"start\"}");
        engine_destroy(&context);
        return 1;
    }
    add_test_devices(engine_session_current(), config);
    emit("{\"event\":\"online\",\"state\":%u}", post_and_wait(ENGINE_CMD_GO_ONLINE));

    char line[256];
    uint64_t binding = 0;
    while (fgets(line, sizeof(line), stdin) != nullptr) {
        line[strcspn(line, "\r\n")] = '\0';
        if (strcmp(line, "quit") == 0) break;
        if (strcmp(line, "connect") == 0) {
            // What the bind channel of the interface posts.
            EngineBindRecord record;
            memset(&record, 0, sizeof(record));
            record.kind = ENGINE_BIND_KIND_REQUESTER;
            core_name_format(&record.desc.channel, "p2p.bnd.%08X.chnl", 0u);
            {
                std::lock_guard<std::mutex> guard(g_peer_mutex);
                record.desc.peerNode = g_peer;
            }
            core_name_format(&record.desc.bindSequence, "%s%016" PRIx64, CORE_SEQ_BND, ++binding);
            emit("{\"event\":\"connecting\",\"peer\":\"%s\"}", text_of(record.desc.peerNode).c_str());
            post_and_wait(ENGINE_CMD_CONNECT, &record, sizeof(record));
        }
    }
    const uint64_t offline = engine_go_offline_sync();
    const uint64_t stopped = engine_stop_sync();
    core_topic_unsubscribe(&events, key);
    engine_destroy(&context);
    emit("{\"event\":\"exit\",\"offline\":%d,\"stop\":%d}", offline != 0, stopped != 0);
    return 0;
}

// ---- the test ----

size_t count(Node &node, const std::string &event, const std::string &name = "", const std::string &value = "")
{
    size_t n = 0;
    for (const std::string &line : node.lines())
        if (field(line, "event") == event && (name.empty() || field(line, name) == value)) ++n;
    return n;
}

// The largest value of a numeric field over the lines of an event.
uint64_t largest(Node &node, const std::string &event, const std::string &name)
{
    uint64_t most = 0;
    for (const std::string &line : node.lines())
        if (field(line, "event") == event) most = std::max<uint64_t>(most, strtoull(field(line, name).c_str(), nullptr, 10));
    return most;
}

class RoadNetns : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!g_skip.empty()) GTEST_SKIP() << g_skip;
        const std::string why = ravk_test_desktop_start();
        if (!why.empty()) GTEST_SKIP() << why;
    }
};

TEST_F(RoadNetns, ViewerBindsToStreamerAndPlaysItsFrames)
{
    Topology topology(2);
    ASSERT_TRUE(topology.ok());
    const std::string system = "road.netns." + std::to_string(getpid());
    Node streamer(topology.ns(0), {"--road-node", "streamer", system});
    Node viewer(topology.ns(1), {"--road-node", "viewer", system});
    ASSERT_TRUE(streamer.started() && viewer.started());
    auto both = [&] { return "streamer:\n" + streamer.all() + "viewer:\n" + viewer.all(); };

    ASSERT_TRUE(wait_for([&] { return count(streamer, "online", "state", "3") && count(viewer, "online", "state", "3"); },
                         30000))
        << "both engines started and went online through the lifecycle commands\n" << both();
    ASSERT_TRUE(wait_for([&] { return count(viewer, "ready", "peer", "road.key.streamer") > 0; }, 30000))
        << "the nodes met\n" << both();

    viewer.command("connect");
    EXPECT_TRUE(wait_for([&] { return count(viewer, "bind", "what", "bound") && count(streamer, "bind", "what", "bound"); },
                         30000))
        << "both sides report the binding bound\n" << both();
    EXPECT_TRUE(wait_for([&] { return count(streamer, "started", "direction", "0") > 0; }, 20000))
        << "the streamer's capture started\n" << both();
    EXPECT_TRUE(wait_for([&] { return count(viewer, "started", "direction", "1") > 0; }, 30000))
        << "the viewer's display controller played the first frames\n" << both();
    EXPECT_TRUE(wait_for([&] { return largest(viewer, "channel", "received") > 0; }, 20000))
        << "the viewer's channel counts received video\n" << both();
    EXPECT_TRUE(wait_for([&] { return largest(streamer, "channel", "sent") > 0; }, 20000))
        << "the streamer's channel counts sent video\n" << both();

    streamer.stop();
    viewer.stop();
    EXPECT_EQ(streamer.exit_code(), 0) << both();
    EXPECT_EQ(viewer.exit_code(), 0) << both();
    EXPECT_EQ(count(streamer, "exit", "stop", "1"), 1u) << both();
    EXPECT_EQ(count(viewer, "exit", "stop", "1"), 1u) << both();
}

}  // namespace

ENGINE_SUPPORT_GST_LEAKS

int main(int argc, char **argv)
{
    if (argc >= 4 && strcmp(argv[1], "--road-node") == 0) return run_node(argv[2], argv[3]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
