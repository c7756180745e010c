// The device requests and the negotiation's device reads on the machine's
// own devices: a private Xvfb with two screens (1280x720 and 800x600) and a
// private PulseAudio with a null source "mic" and two null sinks, found by
// the framework's device enumerator. Skipped when either server cannot run.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/handle.h"
#include "engine/codes.h"
#include "engine/config.h"
#include "engine/device_requests.h"
#include "engine/devices.h"
#include "engine/display.h"
#include "engine/node.h"
#include "engine/provider.h"
#include "engine/session.h"
#include "ravelkit/desktop_env.h"
#include "ravelkit/device_enum.h"
#include "ravelkit/init.h"
#include "ravelkit/linux_values.h"

namespace {

template <typename Done>
bool wait_until(Done done, uint64_t ms = 20000)
{
    const uint64_t end = core_clock_mono_ms() + ms;
    while (!done()) {
        if (core_clock_mono_ms() > end) return false;
        core_sleep_ms(20);
    }
    return true;
}

class DevicesDesktopTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { why_ = ravk_test_desktop_start(); }
    static void TearDownTestSuite() { ravk_test_desktop_stop(); }

    void SetUp() override
    {
        if (!why_.empty()) GTEST_SKIP() << why_;
        ASSERT_EQ(engine_node_start(0), CORE_OK);
        ASSERT_EQ(ravk_init(0), 0);
        ASSERT_EQ(ravk_linux_values_publish(), 0);
        const RavkDeviceEnumConfig filter{0, RAVK_DIRECTION_SOURCE, RAVK_MEDIA_AUDIO | RAVK_MEDIA_VIDEO,
                                          RAVK_CLASS_NATIVE | RAVK_CLASS_SCREEN};
        ASSERT_EQ(ravk_device_enum_create(&filter), 0);
        enumerator_ = true;

        session_.lock = &lock_;
        EngineProviderConfig provider{};
        provider.sendRoles = ENGINE_ROLE_ANSWERER;
        provider.audioSource = {0, -1, RAVK_CLASS_NATIVE, core_name_of(DEFAULT_DEVICE_ID)};
        provider.videoSource = {0, -1, RAVK_CLASS_SCREEN, core_name_of(DEFAULT_DEVICE_ID)};
        provider.executor = core_name_of(CORE_DEFAULT_EXECUTOR);
        provider.pool = core_name_of(CORE_DEFAULT_POOL);
        session_.provider = engine_media_provider_create(&provider);
        ASSERT_NE(session_.provider, nullptr);
        EngineDisplayConfig display{};
        display.executor = core_name_of(CORE_DEFAULT_EXECUTOR);
        display.pool = core_name_of(CORE_DEFAULT_POOL);
        session_.display = engine_display_create(&display);
        ASSERT_NE(session_.display, nullptr);
        ASSERT_EQ(ravk_device_enum_start(), 0);
        ASSERT_TRUE(wait_until([&] { return count(0) >= 3 && count(1) >= 2; })) << "the devices did not all come";
    }

    void TearDown() override
    {
        // The registries follow the enumerator's channel: they go first.
        engine_media_provider_destroy(&session_.provider);
        engine_display_destroy(&session_.display);
        if (enumerator_) ravk_device_enum_destroy();
        ravk_shutdown();
        if (EngineNode *node = engine_node_running()) engine_node_stop(&node);
    }

    template <typename Input>
    CoreResult request(uint32_t code, const Input &in, void *out = nullptr, uint64_t outLength = 0)
    {
        return engine_on_device_request(&session_, code, &in, sizeof(in), out, out ? &outLength : nullptr);
    }

    uint64_t count(uint32_t media)
    {
        EngineDeviceCount answer{};
        return request(ENGINE_CTL_SOURCE_COUNT, media, &answer, sizeof(answer)) == CORE_OK ? answer.count : 0;
    }

    // Name and id of every source of a medium.
    std::vector<std::pair<std::string, CoreName>> sources(uint32_t media)
    {
        std::vector<std::pair<std::string, CoreName>> out;
        const uint64_t n = count(media);
        for (uint64_t i = 0; i < n; ++i) {
            EngineDeviceName name{};
            EngineDeviceInfo info{};
            const EngineDeviceRequest in{media, int32_t(i)};
            EXPECT_EQ(request(ENGINE_CTL_SOURCE_NAME, in, &name, sizeof(name)), CORE_OK);
            EXPECT_EQ(request(ENGINE_CTL_SOURCE_INFO, in, &info, sizeof(info)), CORE_OK);
            out.emplace_back(std::string(name.text, name.length), info.id);
        }
        return out;
    }

    static std::string why_;
    bool enumerator_ = false;
    CoreLock lock_;
    EngineSession session_{};
};

std::string DevicesDesktopTest::why_;

TEST_F(DevicesDesktopTest, ScreensAndMicrophoneAreListedAndRead)
{
    // Each screen by its capture mode.
    std::set<std::pair<uint32_t, uint32_t>> sizes;
    for (const auto &[name, id] : sources(1)) {
        EXPECT_FALSE(name.empty());
        CoreVideoMode mode{};
        ASSERT_EQ(request(ENGINE_CTL_VIDEO_SOURCE_MODE, EngineDeviceSelection{1, id}, &mode, sizeof(mode)), CORE_OK);
        sizes.insert({mode.width, mode.height});
    }
    EXPECT_EQ(sizes.count({1280, 720}), 1u);
    EXPECT_EQ(sizes.count({800, 600}), 1u);

    // The null source "mic" (PulseAudio names it "Null Input") beside the
    // two sinks' monitors, with a usable format.
    const auto audio = sources(0);
    EXPECT_EQ(audio.size(), 3u);
    const CoreName *mic = nullptr;
    for (const auto &[name, id] : audio)
        if (name == "Null Input") mic = &id;
    ASSERT_NE(mic, nullptr);
    EngineAudioFormat format{};
    ASSERT_EQ(request(ENGINE_CTL_AUDIO_SOURCE_FORMAT, EngineDeviceSelection{0, *mic}, &format, sizeof(format)),
              CORE_OK);
    EXPECT_GT(format.rate, 0u);
    EXPECT_GT(format.channels, 0u);

    // Selected by id, the devices feed a negotiation's local capability.
    const auto screens = sources(1);
    const CoreName small = [&] {
        for (const auto &[name, id] : screens) {
            CoreVideoMode mode{};
            request(ENGINE_CTL_VIDEO_SOURCE_MODE, EngineDeviceSelection{1, id}, &mode, sizeof(mode));
            if (mode.width == 800) return id;
        }
        return CoreName{};
    }();
    ASSERT_EQ(request(ENGINE_CTL_SOURCE_SELECT_ID, EngineDeviceSelection{1, small}), CORE_OK);
    ASSERT_EQ(request(ENGINE_CTL_SOURCE_SELECT_ID, EngineDeviceSelection{0, *mic}), CORE_OK);
    EngineLocalCaps caps;
    engine_local_caps_init(&caps);
    ASSERT_EQ(engine_device_read_video_source(session_.provider->videoSources, &caps), CORE_OK);
    EXPECT_EQ(caps.sendVideoMode.width, 800u);
    EXPECT_EQ(caps.sendVideoMode.height, 600u);
    EXPECT_EQ(caps.nativeVideoMode.width, 800u);
    ASSERT_EQ(engine_device_read_audio_source(session_.provider->audioSources, &caps), CORE_OK);
    EXPECT_EQ(std::memcmp(&caps.sendAudioFormat, &format, sizeof(format)), 0);
}

TEST_F(DevicesDesktopTest, RefreshBringsTheDevicesBack)
{
    const size_t screens = count(1);
    EXPECT_EQ(request(ENGINE_CTL_DEVICES_REFRESH, EngineDevicesRefresh{1, 0}), CORE_OK);
    // The enumerator's first pass after the restart announces the screens
    // again; the refresh waited for it.
    ASSERT_TRUE(wait_until([&] { return count(1) == screens; }));
    EXPECT_EQ(request(ENGINE_CTL_DEVICES_REFRESH, EngineDevicesRefresh{0, 0}), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return count(0) > 0; }));
}

TEST_F(DevicesDesktopTest, ScreenPreviewStartsAndStops)
{
    const auto screens = sources(1);
    ASSERT_FALSE(screens.empty());
    const EnginePreviewRequest preview{{}, screens[0].second};
    ASSERT_EQ(request(ENGINE_CTL_VIDEO_PREVIEW_START, preview), CORE_OK);
    EXPECT_NE(session_.provider->previews[1], 0u);
    EXPECT_EQ(request(ENGINE_CTL_VIDEO_PREVIEW_STOP, uint32_t(0)), CORE_OK);
}

}  // namespace
