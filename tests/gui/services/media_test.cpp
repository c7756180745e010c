#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/names.h"
#include "core/notify.h"
#include "core/topic.h"
#include "engine/codes.h"
#include "engine/device_requests.h"
#include "engine/devices.h"
#include "engine/display.h"
#include "engine/engine.h"
#include "engine/names.h"
#include "engine/node.h"
#include "engine/picture.h"
#include "engine/session.h"
#include "gui/services/engine_support.h"
#include "ravelkit/devices.h"
#include "services/config.h"
#include "services/facade.h"
#include "services/media.h"

using namespace facade_support;

namespace {

const ::testing::Environment *const kEnvironment = ::testing::AddGlobalTestEnvironment(new FacadeEnvironment);

PkXID xid(const char *text) { return PkXID::fromText(text); }

PkXID xid_of(const CoreName &name) { return PkXID(name); }

// A control request made directly, for what the engine itself says.
CoreResult engine_says(uint32_t code, const void *in, uint64_t inLength, void *out = nullptr, uint64_t outLength = 0)
{
    const CoreName channel = name_of(ENGINE_CONTROL_SERVICE);
    uint64_t length = outLength;
    return core_notify(&channel, code, in, inLength, out, out != nullptr ? &length : nullptr);
}

// ---- name readers and the evaluation modes: no engine ------------------------------------

TEST(MediaNames, ChannelAndStreamNames)
{
    CoreName made;
    struct Channel {
        const char *text;
        int32_t kind;
        int32_t p2pIndex;
        int32_t p2mIndex;
    };
    const Channel channels[] = {
        {"p2p.bnd.00000002.chnl", PK_CHANNEL_P2P, 2, PK_CHANNEL_INDEX_NONE},
        {"p2m.bnd.00000003.chnl", PK_CHANNEL_P2M, PK_CHANNEL_INDEX_NONE, 3},
        {"p2x.bnd.00000003.chnl", PK_CHANNEL_NONE, PK_CHANNEL_INDEX_NONE, PK_CHANNEL_INDEX_NONE},
        {"stream.00000001", PK_CHANNEL_NONE, PK_CHANNEL_INDEX_NONE, PK_CHANNEL_INDEX_NONE},
    };
    for (const Channel &c : channels) {
        core_name_format(&made, "%s", c.text);
        EXPECT_EQ(pk_binder_channel_kind(xid_of(made)), c.kind) << c.text;
        EXPECT_EQ(pk_binder_channel_index(xid_of(made), PK_CHANNEL_P2P), c.p2pIndex) << c.text;
        EXPECT_EQ(pk_binder_channel_index(xid_of(made), PK_CHANNEL_P2M), c.p2mIndex) << c.text;
        EXPECT_EQ(pk_binder_channel_index(xid_of(made), 2), PK_CHANNEL_INDEX_NONE) << c.text;
    }

    struct Stream {
        const char *text;
        int32_t kind;
    };
    const Stream streams[] = {
        {"stream.00000004", 0},        {"stream.40000000", 1},       {"stream.80000001", 2},
        {"split.stream.3FFFFFFF", 0},  {"split.stream.80000005", 2}, {"split.stream.4000000", -1},
        {"p2p.bnd.00000002.chnl", -1}, {"", -1},
    };
    for (const Stream &s : streams) {
        core_name_format(&made, "%s", s.text);
        EXPECT_EQ(pk_stream_name_kind(xid_of(made)), s.kind) << s.text;
    }
}

TEST(MediaNames, EvaluationModeList)
{
    const std::vector<PkVideoMode> modes = pk_evaluation_mode_list();
    ASSERT_EQ(modes.size(), 46u);
    auto same = [](const PkVideoMode &m, uint32_t w, uint32_t h, uint32_t rate) {
        return m.width == w && m.height == h && m.rateNumerator == rate && m.rateDenominator == 1;
    };
    EXPECT_TRUE(same(modes[0], 256, 144, 30));
    EXPECT_TRUE(same(modes[1], 256, 144, 60));
    EXPECT_TRUE(same(modes[22], 768, 768, 30));
    EXPECT_TRUE(same(modes[43], 3360, 1890, 60));
    EXPECT_TRUE(same(modes[45], 3840, 2160, 60));
    for (size_t i = 0; i < modes.size(); i += 2) {
        EXPECT_EQ(modes[i].width, modes[i + 1].width) << "each size at 30/1, then at 60/1";
        EXPECT_EQ(modes[i].rateNumerator, 30u);
    }
}

// ---- the gates, against a stand-in control channel --------------------------------------------

// Answers the listing requests with fixed values and counts every request;
// index 9 fails, index 8 answers a record too short.
struct StandIn {
    std::mutex mutex;
    std::map<uint32_t, int> calls;

    static CoreResult handle(uint32_t code, const void *in, uint64_t inLength, void *out, uint64_t *outLength,
                             void **user)
    {
        auto *self = static_cast<StandIn *>(user[0]);
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            ++self->calls[code];
        }
        int32_t index = 0;
        if (inLength >= sizeof(EngineDeviceRequest)) memcpy(&index, static_cast<const uint8_t *>(in) + 4, 4);
        if (index == 9) return CORE_ERR;
        switch (code) {
        case ENGINE_CTL_SOURCE_COUNT:
        case ENGINE_CTL_DEVICE_MODE_COUNT: {
            EngineDeviceCount answer = {0, 0, code == ENGINE_CTL_SOURCE_COUNT ? 7u : 3u};
            memcpy(out, &answer, sizeof(answer));
            return CORE_OK;
        }
        case ENGINE_CTL_SOURCE_NAME: {
            auto *answer = static_cast<EngineDeviceName *>(out);
            memset(answer->text, 'n', sizeof(answer->text));
            answer->length = 5000;  // beyond the text area
            return CORE_OK;
        }
        case ENGINE_CTL_SOURCE_INFO: {
            auto *answer = static_cast<EngineDeviceInfo *>(out);
            core_name_format(&answer->id, "standin.device.%d", index);
            if (index == 8) *outLength = 10;
            return CORE_OK;
        }
        case ENGINE_CTL_SOURCE_SELECTED_ID:
            core_name_format(&static_cast<EngineDeviceSelection *>(out)->id, "standin.selected");
            return CORE_OK;
        case ENGINE_CTL_DEVICE_MODE: {
            const CoreVideoMode mode = {640, 480, 30, 1};
            memcpy(static_cast<EngineDeviceProperty *>(out)->value, &mode, sizeof(mode));
            return CORE_OK;
        }
        default: return CORE_OK;
        }
    }

    int total()
    {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (const auto &c : calls) n += c.second;
        return n;
    }
};

TEST(MediaGates, NodeGateAsksWhileSessionGateRefusesUntilStarted)
{
    run_state(PK_DEAM_STATE_STOPPED);
    ASSERT_NE(engine_node_running(), nullptr);
    StandIn standIn;
    StandInControl channel(&StandIn::handle, &standIn);

    // Listing requests go out while only the node runs.
    EXPECT_EQ(pk_media_device_count(PK_MEDIA_VIDEO), 7u);
    EXPECT_EQ(pk_media_device_name(PK_MEDIA_AUDIO, 0), std::string(1024, 'n')) << "the length stops at the text area";
    EXPECT_EQ(pk_media_device_name(PK_MEDIA_AUDIO, 9), "");
    EXPECT_EQ(pk_media_device_id(PK_MEDIA_AUDIO, 1), xid("standin.device.1"));
    EXPECT_EQ(pk_media_device_id(PK_MEDIA_AUDIO, 8), xid(NONE_ID)) << "an answer shorter than its record";
    EXPECT_EQ(pk_media_device_id(PK_MEDIA_AUDIO, 9), xid(NONE_ID));
    EXPECT_EQ(pk_media_current_device_id(PK_MEDIA_VIDEO), xid("standin.selected"));
    EXPECT_EQ(pk_media_device_property_count(xid("standin.device.1")), 3u);
    const PkVideoMode mode = pk_media_device_property(xid("standin.device.1"), 2);
    EXPECT_EQ(mode.width, 640u);
    EXPECT_EQ(mode.rateNumerator, 30u);
    const int asked = standIn.total();
    EXPECT_EQ(asked, 9);

    // Everything behind the session gate gives its failure value unasked.
    const RavkColorBalanceValue value = {1, 0, 100, 50};
    const uint64_t words[2] = {1, 2};
    pk_media_set_view_window(words, 0x1234, RavkRectangle{0, 0, 64, 64});
    EXPECT_EQ(pk_media_add_video_source(xid("display"), "Display", "", {}, {}, {}), -1);
    EXPECT_EQ(pk_media_set_device_property(xid("standin.device.1"), {640, 480, 30, 1}), -1);
    EXPECT_EQ(pk_media_set_brightness(value), -1);
    EXPECT_EQ(pk_media_set_contrast(value), -1);
    EXPECT_EQ(pk_media_set_saturation(value), -1);
    EXPECT_EQ(pk_media_set_hue(value), -1);
    EXPECT_EQ(pk_media_set_force_aspect_ratio(true), -1);
    EXPECT_EQ(pk_media_encoder_count(PK_MEDIA_VIDEO), 0u);
    EXPECT_EQ(pk_media_usable_encoder_count(PK_MEDIA_VIDEO), 0u);
    const PkCodecDescPair pair = pk_media_encoder_info(PK_MEDIA_VIDEO, 0);
    EXPECT_EQ(pair.video.direction, 0u);
    EXPECT_EQ(pair.video.output, kPkFourccNone);
    EXPECT_EQ(pair.video.device_number, -1);
    EXPECT_EQ(pk_media_set_encoder_info(pair, 0), -1);
    EXPECT_EQ(pk_media_video_decoder_count(), 0u);
    EXPECT_EQ(standIn.total(), asked) << "no request behind a closed gate";
}

// ---- a running engine with the framework's test sources ---------------------------------------

class RunningEngine : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (engine_state() != ENGINE_STATE_ONLINE) {
            configure_test_node();
            run_state(PK_DEAM_STATE_STARTED);
        }
        ASSERT_EQ(engine_state(), ENGINE_STATE_ONLINE);
        ASSERT_NE(engine_session_current(), nullptr);
    }
};

TEST_F(RunningEngine, TestSourcesAreListed)
{
    // Four test tones and nine test patterns.
    ASSERT_EQ(pk_media_device_count(PK_MEDIA_AUDIO), 4u);
    ASSERT_EQ(pk_media_device_count(PK_MEDIA_VIDEO), 9u);
    for (uint32_t kind : {PK_MEDIA_AUDIO, PK_MEDIA_VIDEO}) {
        const auto count = static_cast<int32_t>(pk_media_device_count(kind));
        std::set<std::string> names;
        std::set<std::string> ids;
        for (int32_t i = 0; i < count; ++i) {
            const std::string name = pk_media_device_name(kind, i);
            EXPECT_FALSE(name.empty()) << kind << "/" << i;
            names.insert(name);
            const PkXID id = pk_media_device_id(kind, i);
            EXPECT_NE(id, xid(NONE_ID));
            ids.insert(pk_bytes_to_hex(id));
        }
        EXPECT_EQ(ids.size(), static_cast<size_t>(count)) << "ids are distinct";
        EXPECT_EQ(pk_media_device_name(kind, count), "") << "past the end";
        EXPECT_EQ(pk_media_device_id(kind, count), xid(NONE_ID));
        EXPECT_EQ(pk_media_device_id(kind, -1), xid(NONE_ID));

        EngineDeviceSelection selected{};
        ASSERT_EQ(engine_says(ENGINE_CTL_SOURCE_SELECTED_ID, &kind, sizeof(kind), &selected, sizeof(selected)), CORE_OK);
        EXPECT_EQ(pk_media_current_device_id(kind), xid_of(selected.id));
    }
    EXPECT_EQ(pk_media_device_count(7), 0u) << "no such medium";
}

TEST_F(RunningEngine, VideoSourceModes)
{
    const PkXID id = pk_media_device_id(PK_MEDIA_VIDEO, 0);
    // The framework lists the device's own mode (all zero) first, then the
    // sizes below it, each even.
    const uint64_t count = pk_media_device_property_count(id);
    ASSERT_GT(count, 1u);
    for (uint64_t k = 1; k < count; ++k) {
        const PkVideoMode mode = pk_media_device_property(id, static_cast<uint32_t>(k));
        EXPECT_TRUE(mode.width != 0 && mode.height != 0 && mode.width % 2 == 0 && mode.height % 2 == 0) << k;
    }
    const PkVideoMode past = pk_media_device_property(id, static_cast<uint32_t>(count));
    EXPECT_EQ(past.width, 0u);
    EXPECT_EQ(pk_media_device_property_count(xid("no.such.device")), 0u);

    // A mode set becomes the device's current mode.
    const PkVideoMode chosen = {1280, 720, 30, 1};
    ASSERT_EQ(pk_media_set_device_property(id, chosen), 0);
    EngineDeviceSelection request{};
    request.media = PK_MEDIA_VIDEO;
    memcpy(request.id.key, id.key, sizeof(id.key));
    EngineDeviceProperty current{};
    ASSERT_EQ(engine_says(ENGINE_CTL_DEVICE_CURRENT_MODE, &request, sizeof(request), &current, sizeof(current)),
              CORE_OK);
    EXPECT_EQ(memcmp(current.value, &chosen, sizeof(chosen)), 0);
    EXPECT_EQ(pk_media_set_device_property(xid("no.such.device"), chosen), -1);
}

TEST_F(RunningEngine, CodecLists)
{
    const uint64_t encoders = pk_media_encoder_count(PK_MEDIA_VIDEO);
    const uint64_t usable = pk_media_usable_encoder_count(PK_MEDIA_VIDEO);
    ASSERT_GT(encoders, 0u);
    EXPECT_LE(usable, encoders);
    EXPECT_GT(pk_media_video_decoder_count(), 0u);
    for (uint64_t i = 0; i < encoders; ++i) {
        const PkCodecDescPair pair = pk_media_encoder_info(PK_MEDIA_VIDEO, static_cast<int32_t>(i));
        EXPECT_EQ(pair.video.direction, 1u) << i;
        EXPECT_EQ(pair.audio.direction, 0u) << "only the asked half is filled";
    }
    const PkCodecDescPair audio = pk_media_encoder_info(PK_MEDIA_AUDIO, 0);
    EXPECT_EQ(audio.audio.direction, 1u);
    const PkCodecDescPair past = pk_media_encoder_info(PK_MEDIA_VIDEO, static_cast<int32_t>(encoders));
    EXPECT_EQ(past.video.direction, 0u);
    EXPECT_EQ(past.video.input, kPkFourccNone) << "the default pair";

    // A descriptor written back reads back; the original is then restored.
    const auto last = static_cast<int32_t>(encoders - 1);
    const PkCodecDescPair original = pk_media_encoder_info(PK_MEDIA_VIDEO, last);
    PkCodecDescPair changed = original;
    changed.video.evaluated_minimum = {64, 64, 1, 1};
    changed.video.evaluated_maximum = {1280, 720, 30, 1};
    ASSERT_EQ(pk_media_set_encoder_info(changed, last), 0);
    const PkCodecDescPair read = pk_media_encoder_info(PK_MEDIA_VIDEO, last);
    EXPECT_EQ(memcmp(&read.video, &changed.video, sizeof(CoreVideoCodecDesc)), 0);
    EXPECT_EQ(pk_media_set_encoder_info(changed, -1), -1);
    EXPECT_EQ(pk_media_set_encoder_info(changed, static_cast<int32_t>(encoders)), -1);
    ASSERT_EQ(pk_media_set_encoder_info(original, last), 0);
}

// Without a playing stream the picture requests answer what the engine
// answers for the same record.
TEST_F(RunningEngine, PictureRequestsAnswerAsTheEngine)
{
    const RavkColorBalanceValue value = {1, 0, 100, 70};
    EngineColorBalanceRequest colour{};
    colour.value = value;
    struct Case {
        const char *what;
        uint32_t code;
        int32_t (*set)(const RavkColorBalanceValue &);
    };
    const Case cases[] = {
        {"brightness", ENGINE_CTL_SET_BRIGHTNESS, pk_media_set_brightness},
        {"contrast", ENGINE_CTL_SET_CONTRAST, pk_media_set_contrast},
        {"saturation", ENGINE_CTL_SET_SATURATION, pk_media_set_saturation},
        {"hue", ENGINE_CTL_SET_HUE, pk_media_set_hue},
    };
    for (const Case &c : cases) {
        const int32_t expected = engine_says(c.code, &colour, sizeof(colour)) >= 0 ? 0 : -1;
        EXPECT_EQ(c.set(value), expected) << c.what;
    }
    for (bool on : {true, false}) {
        const EngineAspectRequest aspect = {0, on ? 1u : 0u};
        const int32_t expected = engine_says(ENGINE_CTL_SET_ASPECT, &aspect, sizeof(aspect)) >= 0 ? 0 : -1;
        EXPECT_EQ(pk_media_set_force_aspect_ratio(on), expected) << on;
    }
}

TEST_F(RunningEngine, ViewWindowAndApplicationFedDisplay)
{
    EngineDisplay *display = engine_session_current()->display;
    ASSERT_NE(display, nullptr);
    const uint64_t words[2] = {0x1111, 0x2222};
    pk_media_set_view_window(words, 0xABCD, RavkRectangle{1, 2, 300, 200});
    {
        std::lock_guard<std::mutex> lock(display->lock);
        EXPECT_EQ(display->window, 0xABCDu);
        EXPECT_EQ(display->renderRectangle.width, 300);
        EXPECT_EQ(memcmp(display->playbackReserved, words, sizeof(words)), 0);
    }
    const uint64_t none[2] = {0, 0};
    pk_media_set_view_window(none, 0, RavkRectangle{0, 0, 0, 0});
    {
        std::lock_guard<std::mutex> lock(display->lock);
        EXPECT_EQ(display->window, 0u) << "all zero detaches the window";
    }

    // The display source joins the video sinks (target 1) under its name.
    const uint32_t video = PK_MEDIA_VIDEO;
    EngineDeviceCount before{};
    ASSERT_EQ(engine_says(ENGINE_CTL_SINK_COUNT, &video, sizeof(video), &before, sizeof(before)), CORE_OK);
    const PkVideoMode screen = {1920, 1080, 60, 1};
    ASSERT_EQ(pk_media_add_video_source(xid("media.test.display"), "Display", "", screen, screen, screen), 0);
    EngineDeviceCount after{};
    ASSERT_EQ(engine_says(ENGINE_CTL_SINK_COUNT, &video, sizeof(video), &after, sizeof(after)), CORE_OK);
    ASSERT_EQ(after.count, before.count + 1);
    bool found = false;
    for (uint64_t i = 0; i < after.count && !found; ++i) {
        const EngineDeviceRequest request = {PK_MEDIA_VIDEO, static_cast<int32_t>(i)};
        EngineDeviceName name{};
        ASSERT_EQ(engine_says(ENGINE_CTL_SINK_NAME, &request, sizeof(request), &name, sizeof(name)), CORE_OK);
        found = std::string(name.text, name.length) == "Display";
    }
    EXPECT_TRUE(found);
}

TEST_F(RunningEngine, NodeFieldPublishReplacesAStartedProperty)
{
    const CoreName topic = name_of(ENGINE_COMMAND_TOPIC);
    const CoreName status = name_of(ENGINE_PROP_STATUS);
    auto read_status = [&] {
        char value[64] = {};
        uint64_t length = 0;
        EXPECT_EQ(engine_node_property_get(engine_node_running(), status.key, value, sizeof(value), &length), CORE_OK);
        return std::string(value, length);
    };
    const std::string away = "status.away.value";
    const uint64_t sequence = pk_node_field_publish(xid(ENGINE_PROP_STATUS), away.data(), away.size());
    ASSERT_NE(sequence, 0u);
    ASSERT_EQ(core_topic_wait(&topic, sequence), CORE_OK);
    EXPECT_EQ(read_status(), away);

    // The engine replaces only what it was started with.
    const CoreName firstName = name_of(ENGINE_PROP_FIRSTNAME);
    const uint64_t unknown = pk_node_field_publish(xid(ENGINE_PROP_FIRSTNAME), "Ada", 3);
    ASSERT_NE(unknown, 0u);
    ASSERT_EQ(core_topic_wait(&topic, unknown), CORE_OK);
    char value[8];
    uint64_t length = 0;
    EXPECT_EQ(engine_node_property_get(engine_node_running(), firstName.key, value, sizeof(value), &length), CORE_DONE);

    const std::string online = "status.online.value";
    const uint64_t back = pk_node_field_publish(xid(ENGINE_PROP_STATUS), online.data(), online.size());
    ASSERT_EQ(core_topic_wait(&topic, back), CORE_OK);
    EXPECT_EQ(read_status(), online);
}

// The evaluated limits of every usable encoder, keyed as the evaluation
// stores them.
std::vector<PkVideoEncoderLimits> limits_for_usable_encoders(const PkVideoMode &maximum)
{
    const uint64_t total = pk_media_encoder_count(PK_MEDIA_VIDEO);
    const uint64_t usable = pk_media_usable_encoder_count(PK_MEDIA_VIDEO);
    std::vector<PkVideoEncoderLimits> limits;
    for (uint64_t i = total - usable; i < total; ++i) {
        const auto index = static_cast<int32_t>(i);
        const PkCodecDescPair pair = pk_media_encoder_info(PK_MEDIA_VIDEO, index);
        PkVideoEncoderLimits entry;
        core_hex_to_bytes(entry.codecId, pk_codec_uuid_text(pair.video, index).c_str());
        entry.profileSet = 3;
        entry.minimum = {64, 64, 1, 1};
        entry.maximum = maximum;
        limits.push_back(entry);
    }
    return limits;
}

TEST_F(RunningEngine, EvaluatedLimitsReachTheEngine)
{
    std::shared_ptr<PkConfig> config = PkConfig::instance();
    const uint64_t total = pk_media_encoder_count(PK_MEDIA_VIDEO);
    const uint64_t usable = pk_media_usable_encoder_count(PK_MEDIA_VIDEO);
    if (usable == 0) GTEST_SKIP() << "this machine's framework offers no usable video encoder";
    std::vector<PkCodecDescPair> originals;
    for (uint64_t i = total - usable; i < total; ++i)
        originals.push_back(pk_media_encoder_info(PK_MEDIA_VIDEO, static_cast<int32_t>(i)));

    config->videoEncoderLimits.clear();
    EXPECT_EQ(pk_evaluation_apply(), PK_EVAL_APPLY_NOTHING);

    config->videoEncoderLimits = limits_for_usable_encoders({1280, 720, 30, 1});
    EXPECT_EQ(pk_evaluation_fast_encoder_count(config->videoEncoderLimits), usable);
    ASSERT_EQ(pk_evaluation_apply(), PK_EVAL_APPLY_DONE);
    for (uint64_t i = total - usable; i < total; ++i) {
        const PkCodecDescPair pair = pk_media_encoder_info(PK_MEDIA_VIDEO, static_cast<int32_t>(i));
        EXPECT_EQ(pair.video.evaluated_profile_set, 3u) << i;
        EXPECT_EQ(pair.video.evaluated_maximum.width, 1280u) << i;
        EXPECT_EQ(pair.video.evaluated_minimum.width, 64u) << i;
    }

    // A pinned mode is not fast; a changed key ends the walk.
    std::vector<PkVideoEncoderLimits> pinned = limits_for_usable_encoders({64, 64, 1, 1});
    EXPECT_EQ(pk_evaluation_fast_encoder_count(pinned), 0u);
    std::vector<PkVideoEncoderLimits> stale = config->videoEncoderLimits;
    stale[0].codecId[0] ^= 0xFF;
    EXPECT_EQ(pk_evaluation_fast_encoder_count(stale), 0u);
    config->videoEncoderLimits = stale;
    EXPECT_EQ(pk_evaluation_apply(), PK_EVAL_APPLY_MISMATCH);

    // One entry more than the engine has usable encoders.
    std::vector<PkVideoEncoderLimits> longer = limits_for_usable_encoders({1280, 720, 30, 1});
    longer.push_back(longer.back());
    config->videoEncoderLimits = longer;
    EXPECT_EQ(pk_evaluation_apply(), PK_EVAL_APPLY_MISMATCH);
    EXPECT_EQ(pk_evaluation_fast_encoder_count(longer), 0u);

    config->videoEncoderLimits.clear();
    for (uint64_t i = 0; i < originals.size(); ++i)
        ASSERT_EQ(pk_media_set_encoder_info(originals[i], static_cast<int32_t>(total - usable + i)), 0);
}

// Requests from several threads at once while the engine runs: each answer
// is whole and the same as alone.
TEST_F(RunningEngine, ConcurrentListing)
{
    std::vector<std::string> names;
    for (int32_t i = 0; i < 9; ++i) names.push_back(pk_media_device_name(PK_MEDIA_VIDEO, i));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int round = 0; round < 20; ++round)
                for (int32_t i = 0; i < 9; ++i)
                    if (pk_media_device_name(PK_MEDIA_VIDEO, i) != names[i] ||
                        pk_media_encoder_count(PK_MEDIA_VIDEO) == 0)
                        wrong.fetch_add(1);
        });
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
