// Interface commands on a started media node: a connect that cannot start
// is undone and reported in words, the playback delays, bitrate policy and
// capture options land where later parts read them, pausing touches only
// the first profile slot's captures, a broadcast stop always tells the
// viewers and the interface, and short or unknown commands change nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/handle.h"
#include "engine/binder.h"
#include "engine/capability.h"
#include "engine/capture.h"
#include "engine/display.h"
#include "engine/engine_support.h"
#include "engine/provider.h"
#include "engine/session.h"
#include "ravelkit/devices.h"
#include "ravelkit/provider.h"

namespace {

using namespace engine_support;

constexpr const char *kChannel = "p2p.bnd.00000000.chnl";

class CommandsTest : public EngineFixture {
protected:
    void SetUp() override
    {
        EngineFixture::SetUp();
        commands_.subscribe(ENGINE_COMMAND_TOPIC);
    }
    void TearDown() override
    {
        commands_.unsubscribe();
        stop_engine();
        EngineFixture::TearDown();
    }

    EngineSession *start_media(EngineConfig config)
    {
        EXPECT_EQ(start(config), ENGINE_STATE_STARTED);
        return engine_session_current();
    }

    static EngineBindRecord bind_record(uint32_t kind)
    {
        EngineBindRecord record;
        memset(&record, 0, sizeof(record));
        record.kind = kind;
        record.desc.channel = name_of(kChannel);
        record.desc.peerNode = name_of("node.b");
        record.desc.bindSequence = name_of("bnd.seq.0000000000000001");
        return record;
    }

    TopicLog commands_;
};

// An answer without a stored request cannot start: the engine disconnects
// and tells the interface in words.
TEST_F(CommandsTest, ConnectThatCannotStartIsReportedAsStreamerError)
{
    EngineSession *session = start_media(start_record(ENGINE_NODE_MEDIA));
    ASSERT_NE(session, nullptr);
    const EngineBindRecord record = bind_record(ENGINE_BIND_KIND_ANSWERER);
    command(ENGINE_CMD_CONNECT, &record, sizeof(record));
    events_.flush();
    const auto errors = events_.of<EngineMessageText>(ENGINE_EVT_STREAMER_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].code, 0u);
    EXPECT_EQ(errors[0].result, 0);
    EXPECT_STREQ(errors[0].text, "Failed on start connection.");
    // The table was opened for the channel before the connect.
    EXPECT_EQ(session->binderTable->kind.load(), ENGINE_BINDER_P2P);
    EXPECT_EQ(commands_.count(ENGINE_MSG_BIND_ACCEPT), 0u);

    // A short record is dropped before anything happens.
    const uint64_t refused = engine_ui_commands_refused();
    command(ENGINE_CMD_CONNECT, &record, sizeof(record) - 1);
    command(ENGINE_CMD_DISCONNECT, &record, 100);
    EXPECT_EQ(engine_ui_commands_refused(), refused + 2);
    events_.flush();
    EXPECT_EQ(events_.count(ENGINE_EVT_STREAMER_ERROR), 1u);
}

// Where each setting lands: the display's delays (medium 7 sets both), the
// capability's bitrate policy and the provider's pointer options. Codes
// 0x3402 and 0x3409 are no commands.
TEST_F(CommandsTest, SettingsLandInDisplayCapabilityAndProvider)
{
    EngineSession *session = start_media(start_record(ENGINE_NODE_MEDIA));
    ASSERT_NE(session, nullptr);
    EngineDisplay *display = session->display;
    struct Latency {
        uint32_t medium;
        uint64_t audio;
        uint64_t video;
    };
    const Latency latencies[] = {{0, 1000, 0}, {1, 1000, 2000}, {7, 3000, 3000}};
    for (const Latency &l : latencies) {
        EnginePlaybackLatency latency;
        memset(&latency, 0, sizeof(latency));
        latency.medium = l.medium;
        latency.delay = l.medium == 1 ? 2000 : l.medium == 0 ? 1000 : 3000;
        command(ENGINE_CMD_SET_PLAYBACK_LATENCY, &latency, sizeof(latency));
        std::lock_guard<std::mutex> guard(display->lock);
        EXPECT_EQ(display->config.audioPlaybackDelay, l.audio) << "medium " << l.medium;
        EXPECT_EQ(display->config.videoPlaybackDelay, l.video) << "medium " << l.medium;
    }

    const uint32_t policy = 1;
    command(ENGINE_CMD_SET_BITRATE_POLICY, &policy, sizeof(policy));
    {
        CoreLockGuard guard(&engine_capability_current()->lock);
        EXPECT_EQ(engine_capability_current()->bitratePolicy, 1u);
    }
    const EngineCommandFlag cursor = {0, 1}, clicks = {0, 1};
    command(ENGINE_CMD_SET_SHOW_CURSOR, &cursor, sizeof(cursor));
    command(ENGINE_CMD_SET_SHOW_CLICKS, &clicks, sizeof(clicks));
    {
        CoreLockGuard guard(&session->provider->lock);
        EXPECT_EQ(session->provider->config.showCursor, 1u);
        EXPECT_EQ(session->provider->config.showClicks, 1u);
    }

    const uint64_t refused = engine_ui_commands_refused();
    const uint32_t big = 0xFFFFFFFF;
    command(0x3402, &big, sizeof(big));
    command(0x3409, &big, sizeof(big));
    command(ENGINE_CMD_SET_PLAYBACK_LATENCY, &big, sizeof(big));  // short: dropped
    EXPECT_EQ(engine_ui_commands_refused(), refused + 1);
    std::lock_guard<std::mutex> guard(display->lock);
    EXPECT_EQ(display->config.audioPlaybackDelay, 3000u);
}

// Stopping a broadcast tells the viewers and the interface even when none
// runs, and leaves the binder table closed.
TEST_F(CommandsTest, BroadcastStopPostsCloseMessageAndStoppedEvent)
{
    EngineConfig config = start_record(ENGINE_NODE_MEDIA);
    config.p2mChannelCount = 4;
    EngineSession *session = start_media(config);
    ASSERT_NE(session, nullptr);
    EngineBroadcastCommand stop;
    memset(&stop, 0, sizeof(stop));
    stop.channel = name_of("ignored");
    stop.bindSequence = name_of("bnd.seq.00000000000000AB");
    command(ENGINE_CMD_BROADCAST_STOP, &stop, sizeof(stop));
    commands_.flush();
    events_.flush();

    const auto closes = commands_.of<EngineBindRecord>(ENGINE_MSG_BROADCAST_CLOSE);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].kind, static_cast<uint32_t>(ENGINE_BIND_KIND_REQUESTER));
    EXPECT_TRUE(same(closes[0].desc.channel, name_of("p2m.bnd.00000004.chnl")));
    EXPECT_TRUE(same(closes[0].desc.bindSequence, stop.bindSequence));
    const auto stopped = events_.of<EngineBroadcastCommand>(ENGINE_EVT_BROADCAST_STOPPED);
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_EQ(memcmp(&stopped[0], &stop, sizeof(stop)), 0);
    EXPECT_EQ(session->binderTable->open.load(), 0u);
}

// Pausing sets the sample-publishing flag of the captures of the provider's
// first profile slot; with audio and video kept apart only the audio slot
// ("profile.audio.slot" sorts first) is touched.
TEST_F(CommandsTest, PauseSendingTouchesOnlyTheFirstProfileSlot)
{
    const EngineConfig config = capture_record();
    EngineSession *session = start_media(config);
    ASSERT_NE(session, nullptr);
    EngineMediaProvider *provider = session->provider;
    test_streams(session, config, true);
    auto enabled = [&](const char *slot, const char *stream) {
        uint64_t handle = 0;
        provider_support::with_stream(provider, slot, stream,
                                      [&](EngineProviderStream *s) { handle = s->capture.load(); });
        CoreHandleTable *table = core_handle_tables[CORE_HANDLES_PIPELINES];
        auto *capture = static_cast<RavkProvider *>(core_handle_acquire(table, handle));
        EXPECT_NE(capture, nullptr) << slot;
        if (capture == nullptr) return 99u;
        const uint32_t value = capture->enabled.load();
        core_handle_release(table, handle);
        return value;
    };
    const uint32_t videoBefore = enabled(ENGINE_PROFILE_SLOT_VIDEO, kTestVideoStream);
    const EngineCommandFlag run = {0, 0}, pause = {0, 1};
    command(ENGINE_CMD_PAUSE_SENDING, &run, sizeof(run));
    EXPECT_EQ(enabled(ENGINE_PROFILE_SLOT_AUDIO, kTestAudioStream), 1u);
    command(ENGINE_CMD_PAUSE_SENDING, &pause, sizeof(pause));
    EXPECT_EQ(enabled(ENGINE_PROFILE_SLOT_AUDIO, kTestAudioStream), 0u);
    EXPECT_EQ(enabled(ENGINE_PROFILE_SLOT_VIDEO, kTestVideoStream), videoBefore);
    command(ENGINE_CMD_PAUSE_SENDING, &run, sizeof(run));
    EXPECT_EQ(enabled(ENGINE_PROFILE_SLOT_VIDEO, kTestVideoStream), videoBefore);
}

}  // namespace

ENGINE_SUPPORT_GST_LEAKS
