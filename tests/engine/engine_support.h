// Shared pieces of the engine's integration suites: an engine context made
// as the interface makes it (context, the four profile properties, sealed),
// start records for plain and media nodes whose network stays on one
// loopback adapter, lifecycle commands posted and waited for, and a record
// of what the event and command topics carried.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "thread_count.h"
#include "core/topic.h"
#include "engine/codes.h"
#include "engine/config.h"
#include "engine/engine.h"
#include "engine/node.h"
#include "engine/capability.h"
#include "engine/capture.h"
#include "engine/provider.h"
#include "engine/provider_support.h"
#include "engine/session.h"
#include "flowmesh/interface.h"
#include "ravelkit/devices.h"
#include "ravelkit/linux_values.h"

namespace engine_support {

using provider_support::name_of;
using provider_support::same;
using provider_support::TopicLog;
using provider_support::wait_until;

inline uint32_t loopback(uint8_t last) { return htonl(0x7F000000u | last); }

// A start record as the interface fills it, with the network on the one
// loopback adapter 127.0.0.`last` and nothing started before going online.
inline EngineConfig start_record(uint32_t nodeKind, uint8_t last = 41, const char *nodeKey = "node.key.a")
{
    EngineConfig config;
    memset(&config, 0, sizeof(config));
    config.binderDirection = ENGINE_DIRECTION_OUTGOING | ENGINE_DIRECTION_INCOMING;
    config.sendRoles = 0;
    config.receiveRoles = ENGINE_ROLE_REQUESTER;
    config.networkFlags = ENGINE_NET_ROLE_IDENTITY | ENGINE_NET_ROLE_KEY | ENGINE_NET_LAN_DISCOVERY |
                          ENGINE_NET_IGNORE_OWN | ENGINE_NET_FIXED_ADAPTERS;
    config.serviceFlags = ENGINE_SERVICE_SEND | ENGINE_SERVICE_RECEIVE;
    config.nodeKind = nodeKind;
    config.networkMode = 1;
    config.servicesMode = ENGINE_SERVICES_BINDING | ENGINE_SERVICES_MEDIA;
    config.network.basePort = static_cast<uint16_t>(23000 + (getpid() % 400) * 20);
    config.network.adapterIndex = -1;
    config.network.networkOption = FLOWMESH_KEYS_128;
    core_name_format(&config.network.systemNodeName, "engine.test.%d", getpid());
    core_name_format(&config.network.nodeUserId, "user.%u", last);
    core_name_format(&config.network.nodeKey, "%s", nodeKey);
    CoreNetAdapter &lo = config.network.adapterRecords[0];
    lo.flags = CORE_ADAPTER_HAS_IPV4 | CORE_ADAPTER_LOOPBACK | CORE_ADAPTER_LAN;
    lo.address = {loopback(last), 0};
    lo.mask = {htonl(0xFF000000u), 0};
    lo.broadcast = loopback(1);
    snprintf(lo.id, sizeof(lo.id), "6C6F%02X", last);
    snprintf(lo.description, sizeof(lo.description), "lo");
    config.frameworkType = 1;
    config.frameworkKind = 0;
    config.p2pChannelCount = 1;
    config.p2pClass = 1;
    config.videoSizeClass = 2;
    for (EngineDeviceSlot *slot : {&config.audioSource, &config.videoSource, &config.audioSink, &config.videoSink}) {
        slot->codecIndex = -1;
        slot->deviceId = name_of(NONE_ID);
    }
    config.audioSource.slotParam = 256;
    config.videoSource.slotParam = 256;
    config.audioSink.slotParam = 2;
    config.videoSink.slotParam = 2;
    config.rateControlOption = 1;
    return config;
}

// A media node that captures from the framework's test sources, which
// test_streams adds under the ids the record selects.
inline EngineConfig capture_record(uint8_t last = 41, const char *nodeKey = "node.key.a")
{
    EngineConfig config = start_record(ENGINE_NODE_MEDIA, last, nodeKey);
    config.sendRoles = ENGINE_ROLE_ANSWERER;
    config.audioSource.deviceClass = RAVK_CLASS_TEST;
    config.videoSource.deviceClass = RAVK_CLASS_TEST;
    config.audioSource.deviceId = name_of("engine.test.audio");
    config.videoSource.deviceId = name_of("engine.test.video");
    config.captureSourceParams[0] = 1;  // a capture never falls below 1/1 frames per second
    config.captureSourceParams[1] = 1;
    return config;
}

constexpr const char *kTestChannel = "p2p.bnd.00000000.chnl";
constexpr const char *kTestAudioStream = "stream.00000000";
constexpr const char *kTestVideoStream = "stream.40000000";

// The test sources of a capture_record session and, as a negotiation would
// leave them, the send formats and an Opus and a VP8 stream of the channel
// sorted into the two profile slots; with captures, their capture objects.
inline void test_streams(EngineSession *session, const EngineConfig &config, bool captures)
{
    EngineMediaProvider *provider = session->provider;
    ASSERT_NE(provider, nullptr);
    const CoreVideoMode source = {320, 240, 30, 1};
    ASSERT_EQ(ravk_device_list_add_video_test(provider->videoSources, RAVK_BACKEND_GSTREAMER,
                                              &config.videoSource.deviceId, &source, core_fourcc("I420"), 18),
              0);
    const RavkAudioFormat format = {48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {}};
    ASSERT_EQ(ravk_device_list_add_audio_test(provider->audioSources, RAVK_AUDIO_BACKEND_GSTREAMER,
                                              &config.audioSource.deviceId, &format, 0, 440.0),
              0);
    const CoreVideoMode sendMode = {160, 120, 30, 1};
    const EngineAudioFormat sendFormat = {48000, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {}};
    EngineCapability *capability = engine_capability_current();
    ASSERT_EQ(engine_capability_slot_store(capability, ENGINE_SLOT_VIDEO_SEND, &sendMode, sizeof(sendMode)), 0);
    ASSERT_EQ(engine_capability_slot_store(capability, ENGINE_SLOT_AUDIO_SEND, &sendFormat, sizeof(sendFormat)), 0);
    provider_support::publish_tables(
        {provider_support::plain_record(kTestChannel, ENGINE_PROFILE_SLOT_AUDIO, ENGINE_MEDIA_AUDIO | 4u << 8,
                                        kTestAudioStream),
         provider_support::plain_record(kTestChannel, ENGINE_PROFILE_SLOT_VIDEO, ENGINE_MEDIA_VIDEO | 3u << 16,
                                        kTestVideoStream)},
        {});
    const CoreName channel = name_of(kTestChannel);
    ASSERT_EQ(engine_stream_tables_build(provider, &channel, 0), CORE_OK);
    if (!captures) return;
    for (const char *slot : {ENGINE_PROFILE_SLOT_AUDIO, ENGINE_PROFILE_SLOT_VIDEO}) {
        const CoreName key = name_of(slot);
        auto *profile = reinterpret_cast<EngineProfile *>(core_store_lookup(provider->profiles, key.key));
        ASSERT_NE(profile, nullptr);
        EXPECT_EQ(engine_provider_create_captures(provider, profile), CORE_OK);
        core_store_unref(provider->profiles);
    }
}

// Posts a lifecycle or interface command and waits until the command topic
// delivered it. The engine's state afterwards.
inline uint32_t command(uint32_t code, const void *data = nullptr, uint64_t length = 0)
{
    const uint64_t sequence = engine_post_command(code, data, length);
    EXPECT_NE(sequence, 0u) << "command 0x" << std::hex << code;
    const CoreName topic = name_of(ENGINE_COMMAND_TOPIC);
    EXPECT_EQ(core_topic_wait(&topic, sequence), CORE_OK);
    return engine_state();
}

inline uint32_t start(const EngineConfig &config) { return command(ENGINE_CMD_START, &config, sizeof(config)); }

// The four properties the interface adds before a start, sealed.
inline void add_properties(const char *user = "alice")
{
    engine_node_properties_clear(engine_node_running());
    engine_node_properties_unseal(engine_node_running());
    ASSERT_EQ(engine_node_property_add(ENGINE_PROP_USERID, user, strlen(user)), CORE_OK);
    ASSERT_EQ(engine_node_property_add(ENGINE_PROP_DIRECTION, "direction.bidirectional.value", 29), CORE_OK);
    ASSERT_EQ(engine_node_property_add(ENGINE_PROP_STATUS, ENGINE_STATUS_ONLINE, strlen(ENGINE_STATUS_ONLINE)),
              CORE_OK);
    ASSERT_EQ(engine_node_property_add(ENGINE_PROP_AVATAR, "\x89PNG", 4), CORE_OK);
    ASSERT_EQ(engine_node_properties_seal(), CORE_OK);
}

// An engine context as the interface makes it, destroyed at the end.
class EngineFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(engine_context_create(), CORE_OK);
        context_ = engine_context_current();
        // The framework values the application shell publishes at start-up.
        ASSERT_EQ(ravk_linux_values_publish(), 0);
        add_properties();
        events_.subscribe(ENGINE_EVENT_TOPIC);
    }
    void TearDown() override
    {
        events_.unsubscribe();
        engine_destroy(&context_);
    }

    // Online and offline, then stopped: the only way down from a start.
    void stop_engine()
    {
        if (engine_state() == ENGINE_STATE_STARTED) command(ENGINE_CMD_GO_ONLINE);
        engine_go_offline_sync();
        engine_stop_sync();
    }

    EngineContext *context_ = nullptr;
    TopicLog events_;
};

}  // namespace engine_support

// GStreamer and its plug-ins keep allocations for the life of the process
// (the framework is started once per process and never de-initialised);
// only those libraries' own allocations are listed. The device enumerator's
// sound server client is a library without race instrumentation.
#define ENGINE_SUPPORT_GST_LEAKS                                                                              \
    extern "C" const char *__lsan_default_suppressions()                                                   \
    {                                                                                                          \
        return "leak:_dl_init\nleak:libpulse.so\nleak:libgstvulkan\nleak:libgstximagesrc.so\n"; \
    }                                                                                                          \
    extern "C" const char *__asan_default_options() { return "fast_unwind_on_malloc=0:malloc_context_size=8"; } \
    /* libpulse is not instrumented: its mutexes look unlocked to the race detector. */                     \
    extern "C" const char *__tsan_default_suppressions() { return "race:libpulsecommon\nrace:libpulse.so\n"; }
