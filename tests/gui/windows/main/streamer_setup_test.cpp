// The engine-side steps of the streamer configuration against a real engine
// started through the facade on the framework's test sources: the records
// the engine takes, the control requests with and without a session, the
// streaming switch, the settings that fall back, and the broadcast start.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "app/codec_settings.h"
#include "app/settings.h"
#include "app/storage.h"
#include "app/xml_objects.h"
#include "core/topic.h"
#include "engine/codes.h"
#include "engine/session.h"
#include "gui/app/app_test_support.h"
#include "gui/services/engine_support.h"
#include "ravelkit/devices.h"
#include "services/bind_channels.h"
#include "services/config.h"
#include "services/facade.h"
#include "services/media.h"
#include "windows/main/streamer_setup.h"

using namespace facade_support;

namespace {

class StreamerEnvironment : public FacadeEnvironment {
public:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "veltrana-streamer-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        apptest::scratch_root() = pattern;
        FacadeEnvironment::SetUp();
    }
    void TearDown() override
    {
        FacadeEnvironment::TearDown();
        std::error_code ignored;
        std::filesystem::remove_all(apptest::scratch_root(), ignored);
    }
};

const ::testing::Environment *const kEnvironment = ::testing::AddGlobalTestEnvironment(new StreamerEnvironment);

std::string text_of(const CoreName &name)
{
    return std::string(reinterpret_cast<const char *>(name.key), strnlen(reinterpret_cast<const char *>(name.key), 32));
}

class StreamerSetup : public apptest::DataFolder {
protected:
    void SetUp() override
    {
        DataFolder::SetUp();
        config = PkConfig::instance();
        saved = {config->sendRoles, config->networkFlags, config->binderDirection, config->audioSinkParam,
                 config->videoSinkParam};
        savedLimits = config->videoEncoderLimits;
    }
    void TearDown() override
    {
        config->sendRoles = saved[0];
        config->networkFlags = saved[1];
        config->binderDirection = saved[2];
        config->audioSinkParam = saved[3];
        config->videoSinkParam = saved[4];
        config->videoEncoderLimits = savedLimits;
        config->broadcastChannels = 0;
        config->broadcastSizeClass = -1;
    }

    std::shared_ptr<PkConfig> config;
    std::vector<uint32_t> saved;
    std::vector<PkVideoEncoderLimits> savedLimits;
};

TEST_F(StreamerSetup, RecordsCarryTheViewerDevices)
{
    const EngineAppAudioSource add = streamer_viewer_audio_record(true);
    EXPECT_EQ(add.target, 1u);
    EXPECT_EQ(add.deviceIndex, -1);
    EXPECT_EQ(text_of(add.deviceId), "virtual.viewer.audio.device");
    EXPECT_EQ(memcmp(&add.formatCode, "lpcm", 4), 0);
    EXPECT_EQ(add.name.tag, 1u);
    EXPECT_EQ(std::string(add.name.text, add.name.length), "Audio");
    EXPECT_EQ(add.description.tag, 1u);
    EXPECT_EQ(add.description.length, 0u);
    EXPECT_EQ(add.format.rate, 48000u);
    EXPECT_EQ(add.format.channels, 2u);
    EXPECT_EQ(add.format.bits, 16u);
    EXPECT_EQ(add.format.byteOrder, 0x4C45u);
    EXPECT_EQ(add.format.sampleType, 'S');

    // The removal forms carry the side and the id, nothing else.
    EngineAppAudioSource audioRemoval = streamer_viewer_audio_record(false);
    EngineAppVideoSource videoRemoval = streamer_viewer_video_removal();
    EXPECT_EQ(audioRemoval.target, 1u);
    EXPECT_EQ(videoRemoval.target, 1u);
    EXPECT_EQ(text_of(videoRemoval.deviceId), "virtual.viewer.video.device");
    audioRemoval.target = 0;
    audioRemoval.deviceId = CoreName{};
    videoRemoval.target = 0;
    videoRemoval.deviceId = CoreName{};
    const std::vector<uint8_t> zero(sizeof(videoRemoval), 0);
    EXPECT_EQ(memcmp(&audioRemoval, zero.data(), sizeof(audioRemoval)), 0);
    EXPECT_EQ(memcmp(&videoRemoval, zero.data(), sizeof(videoRemoval)), 0);
}

TEST_F(StreamerSetup, BroadcastStartRecord)
{
    const EngineBroadcastCommand first = streamer_broadcast_start_record();
    const EngineBroadcastCommand second = streamer_broadcast_start_record();
    const uint8_t zero[32] = {};
    EXPECT_EQ(memcmp(first.channel.key, zero, 32), 0);
    for (const EngineBroadcastCommand *record : {&first, &second}) {
        const std::string id = text_of(record->bindSequence);
        ASSERT_EQ(id.size(), 24u) << id;
        EXPECT_EQ(id.substr(0, 8), "bnd.seq.");
        for (char c : id.substr(8)) EXPECT_TRUE(isdigit(c) || (c >= 'a' && c <= 'f')) << id;
    }
    EXPECT_NE(text_of(first.bindSequence), text_of(second.bindSequence));
}

// The streaming switch: only a change is made, and it takes a new node key.
TEST_F(StreamerSetup, RoleSwitch)
{
    const struct {
        uint32_t roles;
        bool canStream;
        bool changed;
        uint32_t flags, direction;
        int32_t choice;
    } cases[] = {
        {2, false, true, 6, 1, -1},
        {0, false, false, 0, 0, 0},
        {0, true, true, 7, 3, 0},
        {2, true, false, 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.roles) + (c.canStream ? " can stream" : " cannot stream"));
        config->sendRoles = c.roles;
        config->networkFlags = 0x17;
        config->binderDirection = 3;
        config->audioSourceIndex = 5;
        config->videoSourceIndex = 5;
        const PkXID key = config->nodeKey;
        EXPECT_EQ(streamer_apply_role(c.canStream), c.changed);
        if (!c.changed) {
            EXPECT_EQ(config->sendRoles, c.roles);
            EXPECT_EQ(config->networkFlags, 0x17u);
            EXPECT_EQ(config->nodeKey, key);
            continue;
        }
        EXPECT_EQ(config->sendRoles, c.canStream ? 2u : 0u);
        EXPECT_EQ(config->networkFlags, c.flags);
        EXPECT_EQ(config->binderDirection, c.direction);
        EXPECT_EQ(config->audioSourceIndex, c.choice);
        EXPECT_EQ(config->videoSourceIndex, c.choice);
        EXPECT_FALSE(config->nodeKey == key);
    }
}

TEST_F(StreamerSetup, ControlRequestsNeedASession)
{
    run_state(PK_DEAM_STATE_STOPPED);
    const EngineAppAudioSource add = streamer_viewer_audio_record(true);
    EXPECT_EQ(streamer_control(ENGINE_CTL_ADD_AUDIO_DEVICE, &add, sizeof(add)), STREAMER_SKIPPED);
    EXPECT_EQ(streamer_select_display(PkXID::fromText(DEFAULT_DEVICE_ID)), STREAMER_SKIPPED);
}

// The engine takes the records as built: the viewer devices are added,
// selected and removed again, a second removal finds nothing.
TEST_F(StreamerSetup, ViewerDevicesReachTheEngine)
{
    run_state(PK_DEAM_STATE_STARTED);
    ASSERT_NE(engine_session_current(), nullptr);
    const EngineAppAudioSource add = streamer_viewer_audio_record(true);
    const EngineAppAudioSource removal = streamer_viewer_audio_record(false);
    EXPECT_EQ(streamer_control(ENGINE_CTL_ADD_AUDIO_DEVICE, &add, sizeof(add)), CORE_OK);
    const EngineDeviceInfo select = streamer_device_selection(PK_MEDIA_AUDIO, streamer_viewer_audio_id());
    EXPECT_EQ(streamer_control(ENGINE_CTL_SINK_SELECT_ID, &select, sizeof(select)), CORE_OK);
    EXPECT_EQ(streamer_control(ENGINE_CTL_REMOVE_AUDIO_DEVICE, &removal, sizeof(removal)), CORE_OK);
    EXPECT_LT(streamer_control(ENGINE_CTL_REMOVE_AUDIO_DEVICE, &removal, sizeof(removal)), 0);

    // The whole road as the main window runs it, with both playback slots
    // application-fed.
    config->audioSinkParam |= STREAMER_PLAYBACK_APP_FED;
    config->videoSinkParam |= STREAMER_PLAYBACK_APP_FED;
    const EngineAppVideoSource videoRemoval = streamer_viewer_video_removal();
    streamer_viewer_devices(true);
    EXPECT_EQ(streamer_control(ENGINE_CTL_REMOVE_AUDIO_DEVICE, &removal, sizeof(removal)), CORE_OK);
    EXPECT_EQ(streamer_control(ENGINE_CTL_REMOVE_VIDEO_DEVICE, &videoRemoval, sizeof(videoRemoval)), CORE_OK);
    streamer_viewer_devices(true);
    streamer_viewer_devices(false);
    EXPECT_LT(streamer_control(ENGINE_CTL_REMOVE_AUDIO_DEVICE, &removal, sizeof(removal)), 0);
    EXPECT_LT(streamer_control(ENGINE_CTL_REMOVE_VIDEO_DEVICE, &videoRemoval, sizeof(videoRemoval)), 0);
    run_state(PK_DEAM_STATE_STOPPED);
}

TEST_F(StreamerSetup, BroadcastStartsOnlyWhenConfigured)
{
    run_state(PK_DEAM_STATE_STARTED);
    CommandLog log({ENGINE_CMD_BROADCAST_START});
    const std::shared_ptr<PkBinder> binder = PkBinder::instance();
    const uint32_t changes = binder->changeCount;
    EXPECT_EQ(streamer_start_broadcast(), 0u);
    EXPECT_EQ(binder->changeCount, changes);

    config->broadcastChannels = 4;
    config->broadcastSizeClass = 1;
    const uint64_t number = streamer_start_broadcast();
    ASSERT_NE(number, 0u);
    EXPECT_EQ(binder->mode, PK_BINDER_MODE_BROADCAST);
    EXPECT_EQ(binder->changeCount, changes + 1);
    const CoreName topic = name_of(ENGINE_COMMAND_TOPIC);
    core_topic_wait(&topic, number);
    const auto posted = log.take(ENGINE_CMD_BROADCAST_START);
    ASSERT_EQ(posted.size(), 1u);
    ASSERT_EQ(posted[0].size(), sizeof(EngineBroadcastCommand));
    EngineBroadcastCommand record;
    memcpy(&record, posted[0].data(), sizeof(record));
    EXPECT_EQ(text_of(record.bindSequence).substr(0, 8), "bnd.seq.");
    pk_binder_stop_broadcast(true);
    run_state(PK_DEAM_STATE_STOPPED);
}

// Settings that name what the machine no longer has fall back and are
// written back.
TEST_F(StreamerSetup, StoredChoicesFallBack)
{
    run_state(PK_DEAM_STATE_STARTED);
    ASSERT_GT(pk_media_video_decoder_count(), 0u);
    std::shared_ptr<AppSettings> settings = loadAppSettings();
    ASSERT_TRUE(settings);
    settings->videoDevice = std::make_shared<PkXMLUUIDObject>(PkXID::fromText("display.gone"));
    settings->videoResolution = std::make_shared<PkXMLResolutionObject>(PkVideoMode{1920, 1080, 60, 1});
    settings->videoDecoder = std::make_shared<PkXMLNumberObject>(99);
    saveAppSettings(settings);

    EXPECT_EQ(streamer_capture_display(), PkXID::fromText(DEFAULT_DEVICE_ID));
    EXPECT_TRUE(streamer_check_decoder_setting());
    settings = loadAppSettings();
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->videoDevice->toString(), PkXMLUUIDObject(PkXID::fromText(DEFAULT_DEVICE_ID)).toString());
    EXPECT_EQ(settings->videoResolution->toString(), PkXMLResolutionObject(PkVideoMode{}).toString());
    EXPECT_EQ(settings->videoDecoder->toString(), "0");
    // Now consistent: nothing more to rewrite.
    EXPECT_FALSE(streamer_check_decoder_setting());
    run_state(PK_DEAM_STATE_STOPPED);
}

// A stored evaluation that no longer fits the encoders is replaced by the
// default codecs file; the notice names the case.
TEST_F(StreamerSetup, RefusedEvaluationIsReset)
{
    run_state(PK_DEAM_STATE_STARTED);
    PkVideoEncoderLimits bogus{};
    memset(bogus.codecId, 0xAB, sizeof(bogus.codecId));
    config->videoEncoderLimits.assign(7, bogus);
    const int32_t result = streamer_apply_evaluation();
    EXPECT_LT(result, 0);
    EXPECT_TRUE(config->videoEncoderLimits.empty());
    EXPECT_TRUE(std::filesystem::exists(file("veltrana.codecs.xml")));
    run_state(PK_DEAM_STATE_STOPPED);

    const struct {
        int32_t result;
        const char *title;
        const char *start;
    } notices[] = {{-83, "Information", "The current codec hardware configuration does not match"},
                   {-84, "Information", "The current codec hardware configuration does not match"},
                   {-100, "Error", "Failed to apply performance evaluation results.\nPerformance evaluation "
                                   "results have been reset."}};
    for (const auto &n : notices) {
        Glib::ustring title, text;
        streamer_codec_mismatch_texts(n.result, title, text);
        EXPECT_EQ(title, n.title);
        EXPECT_EQ(text.raw().rfind(n.start, 0), 0u) << text;
    }
}

}  // namespace
