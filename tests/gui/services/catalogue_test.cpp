#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "engine/codes.h"
#include "engine/device_requests.h"
#include "engine/devices.h"
#include "engine/engine.h"
#include "engine/node.h"
#include "gui/services/engine_support.h"
#include "services/catalogue.h"
#include "services/media.h"

using namespace facade_support;

namespace {

// The facade (and with it the engine node) is made by the first test that
// needs it, so that a test before it can see a process without an engine.
class LazyFacadeEnvironment : public FacadeEnvironment {
public:
    void SetUp() override { configure_test_node(); }
    void TearDown() override
    {
        if (queue_watch()) FacadeEnvironment::TearDown();
    }
};

const ::testing::Environment *const kEnvironment = ::testing::AddGlobalTestEnvironment(new LazyFacadeEnvironment);

// What a stand-in engine lists: per medium the device names (an empty name
// is a device gone between the count and its name request), and whether the
// format and mode requests fail.
struct FakeDevices {
    std::vector<std::string> audio;
    std::vector<std::string> video;
    std::vector<PkVideoMode> modes;  // every video device lists these
    bool formatsFail = false;

    static CoreResult handle(uint32_t code, const void *in, uint64_t, void *out, uint64_t *, void **user)
    {
        const auto *self = static_cast<const FakeDevices *>(user[0]);
        uint32_t media = 0;
        int32_t index = 0;
        memcpy(&media, in, sizeof(media));
        const std::vector<std::string> &names = media == 0 ? self->audio : self->video;
        switch (code) {
        case ENGINE_CTL_SOURCE_COUNT:
            static_cast<EngineDeviceCount *>(out)->count = names.size();
            return CORE_OK;
        case ENGINE_CTL_SOURCE_NAME: {
            memcpy(&index, static_cast<const uint8_t *>(in) + 4, sizeof(index));
            auto *answer = static_cast<EngineDeviceName *>(out);
            const std::string &name = names.at(static_cast<size_t>(index));
            if (name.empty()) return CORE_ERR_INVALID;
            memcpy(answer->text, name.data(), name.size());
            answer->length = name.size();
            return CORE_OK;
        }
        case ENGINE_CTL_SOURCE_INFO:
            memcpy(&index, static_cast<const uint8_t *>(in) + 4, sizeof(index));
            core_name_format(&static_cast<EngineDeviceInfo *>(out)->id, "%s.id", names.at(size_t(index)).c_str());
            return CORE_OK;
        case ENGINE_CTL_AUDIO_SOURCE_FORMAT: {
            if (self->formatsFail) return CORE_ERR;
            const PkAudioFormat format = {48000, 2, 16, PK_BYTE_ORDER_LE, 'S', {0, 0, 0}};
            memcpy(out, &format, sizeof(format));
            return CORE_OK;
        }
        case ENGINE_CTL_VIDEO_SOURCE_MODE: {
            if (self->formatsFail) return CORE_ERR;
            const PkVideoMode mode = {1920, 1080, 60, 1};
            memcpy(out, &mode, sizeof(mode));
            return CORE_OK;
        }
        case ENGINE_CTL_DEVICE_MODE_COUNT:
            static_cast<EngineDeviceCount *>(out)->count = self->modes.size();
            return CORE_OK;
        case ENGINE_CTL_DEVICE_MODE: {
            const auto *request = static_cast<const EngineDeviceModeRequest *>(in);
            auto *answer = static_cast<EngineDeviceProperty *>(out);
            if (request->modeIndex >= self->modes.size()) return CORE_ERR_INVALID;
            memcpy(answer->value, &self->modes[request->modeIndex], sizeof(PkVideoMode));
            answer->valueLength = sizeof(PkVideoMode);
            return CORE_OK;
        }
        default: return CORE_ERR;
        }
    }
};

bool same_mode(const PkVideoMode &a, const PkVideoMode &b) { return memcmp(&a, &b, sizeof(a)) == 0; }

// Runs before anything in its process has started an engine node; a
// process in which one ran cannot show it.
TEST(CatalogueWithoutEngine, EmptyListsAndSuccess)
{
    if (engine_node_running() != nullptr || engine_context_current() != nullptr)
        GTEST_SKIP() << "an engine node runs in this process already";
    PkDeviceCatalog catalogue;
    EXPECT_EQ(catalogue.refresh(), 0);
    EXPECT_TRUE(catalogue.audioDevices().empty());
    EXPECT_TRUE(catalogue.videoDevices().empty());
}

// Against a stand-in engine: the engine is stopped, the node runs.
class CatalogueTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        run_state(PK_DEAM_STATE_STOPPED);
        ASSERT_EQ(engine_session_current(), nullptr);
    }
};

TEST_F(CatalogueTest, ListsDevicesWithFormatsAndModes)
{
    FakeDevices fake;
    fake.audio = {"Microphone", "Line in"};
    fake.video = {"Screen 1"};
    fake.modes = {{1920, 1080, 60, 1}, {1280, 720, 60, 1}, {640, 360, 30, 1}};
    StandInControl channel(&FakeDevices::handle, &fake);

    PkDeviceCatalog catalogue;
    ASSERT_EQ(catalogue.refresh(), 0);
    const std::vector<PkAudioDevice> audio = catalogue.audioDevices();
    ASSERT_EQ(audio.size(), 2u);
    EXPECT_EQ(audio[0].name, "Microphone");
    EXPECT_EQ(audio[1].name, "Line in");
    EXPECT_EQ(audio[1].id, PkXID::fromText("Line in.id"));
    EXPECT_EQ(pk_audio_format_to_text(audio[0].format), "S16LE@48000:2");
    const std::vector<PkVideoDevice> video = catalogue.videoDevices();
    ASSERT_EQ(video.size(), 1u);
    EXPECT_EQ(video[0].name, "Screen 1");
    EXPECT_TRUE(same_mode(video[0].captureMode, {1920, 1080, 60, 1}));
    ASSERT_EQ(video[0].modes.size(), 3u);
    for (size_t k = 0; k < 3; ++k) EXPECT_TRUE(same_mode(video[0].modes[k], fake.modes[k])) << k;

    // A second refresh replaces the lists; the copies taken stay as they were.
    fake.audio = {"Line in"};
    ASSERT_EQ(catalogue.refresh(), 0);
    EXPECT_EQ(catalogue.audioDevices().size(), 1u);
    EXPECT_EQ(catalogue.videoDevices().size(), 1u);
    EXPECT_EQ(audio.size(), 2u);

    catalogue.clear();
    EXPECT_TRUE(catalogue.audioDevices().empty());
    EXPECT_TRUE(catalogue.videoDevices().empty());
}

TEST_F(CatalogueTest, FailedReadsLeaveZerosAndAVanishedDeviceEndsTheRefresh)
{
    FakeDevices fake;
    fake.audio = {"Microphone"};
    fake.video = {"Screen 1", "Camera"};
    fake.formatsFail = true;
    StandInControl channel(&FakeDevices::handle, &fake);

    PkDeviceCatalog catalogue;
    ASSERT_EQ(catalogue.refresh(), 0);
    ASSERT_EQ(catalogue.audioDevices().size(), 1u);
    EXPECT_EQ(catalogue.audioDevices()[0].format.rate, 0u) << "a format that cannot be read is zero";
    ASSERT_EQ(catalogue.videoDevices().size(), 2u);
    EXPECT_EQ(catalogue.videoDevices()[1].captureMode.width, 0u);
    EXPECT_TRUE(catalogue.videoDevices()[1].modes.empty()) << "a device that lists no modes";

    fake.video = {"Screen 1", ""};
    EXPECT_EQ(catalogue.refresh(), -1);
    EXPECT_EQ(catalogue.audioDevices().size(), 1u);
    EXPECT_EQ(catalogue.videoDevices().size(), 1u) << "the devices read before the gap";
}

// The running engine's test sources.
TEST(CatalogueOfTheEngine, TestSources)
{
    if (engine_state() != ENGINE_STATE_ONLINE) {
        configure_test_node();
        run_state(PK_DEAM_STATE_STARTED);
    }
    ASSERT_EQ(engine_state(), ENGINE_STATE_ONLINE);

    PkDeviceCatalog catalogue;
    ASSERT_EQ(catalogue.refresh(), 0);
    const std::vector<PkAudioDevice> audio = catalogue.audioDevices();
    const std::vector<PkVideoDevice> video = catalogue.videoDevices();
    ASSERT_EQ(audio.size(), 4u);
    ASSERT_EQ(video.size(), 9u);
    std::multiset<uint32_t> rates;
    for (const PkAudioDevice &d : audio) {
        EXPECT_FALSE(d.name.empty());
        rates.insert(d.format.rate);
        EXPECT_EQ(d.format.channels, 2u) << d.name;
        EXPECT_EQ(d.format.bits, 16u) << d.name;
    }
    EXPECT_EQ(rates, (std::multiset<uint32_t>{44100, 44100, 48000, 48000}));
    for (const PkVideoDevice &d : video) {
        EXPECT_EQ(d.captureMode.rateNumerator, 60u) << d.name;
        EXPECT_GE(d.captureMode.width, 3840u) << d.name;
        EXPECT_EQ(d.modes.size(), pk_media_device_property_count(d.id)) << d.name;
    }

    // Refreshing again gives the same lists, not doubled ones.
    ASSERT_EQ(catalogue.refresh(), 0);
    ASSERT_EQ(catalogue.audioDevices().size(), audio.size());
    ASSERT_EQ(catalogue.videoDevices().size(), video.size());
    for (size_t i = 0; i < video.size(); ++i) {
        EXPECT_EQ(catalogue.videoDevices()[i].id, video[i].id);
        EXPECT_EQ(catalogue.videoDevices()[i].modes.size(), video[i].modes.size());
    }
}

}  // namespace
