// The device and codec control requests on a session whose provider and
// display hold real registries of the framework's test and application-fed
// sources: the checks of every request's buffers, counting, naming,
// describing and selecting devices, device modes, application-fed devices
// added and removed, the preview pipelines (real GStreamer pipelines over
// test sources), and the codec lists counted, described and selected.
#include "engine/device_requests.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/handle.h"
#include "core/values.h"
#include "engine/codes.h"
#include "engine/config.h"
#include "engine/display.h"
#include "engine/node.h"
#include "engine/offer_tables.h"
#include "engine/provider.h"
#include "engine/session.h"
#include "ravelkit/init.h"
#include "ravelkit/linux_values.h"

// GLib's library constructor allocates its first quark block and abandons
// it when the quark table grows in gst_init (the preview pipelines start
// GStreamer); our code runs none of this.
extern "C" const char *__lsan_default_suppressions() { return "leak:_dl_init\n"; }

// GLib is built without frame pointers: the fast unwinder stops inside it.
extern "C" const char *__asan_default_options() { return "fast_unwind_on_malloc=0:malloc_context_size=8"; }

namespace {

bool same(const CoreName &a, const CoreName &b) { return std::memcmp(a.key, b.key, CORE_NAME_KEY_SIZE) == 0; }

constexpr uint8_t kGuard = 0xA5;
constexpr uint32_t kAudioClass = RAVK_CLASS_VIRTUAL | RAVK_CLASS_TEST;
constexpr uint32_t kVideoClass = RAVK_CLASS_TEST;  // no application-fed video sources
// The framework's populated test registries.
constexpr uint64_t kAudioTests = 4;
constexpr uint64_t kVideoTests = 9;

// An output buffer of `size` bytes with guard bytes behind it.
struct Output {
    explicit Output(uint64_t size) : bytes(size + 64, kGuard), length(size) {}
    void *data() { return bytes.data(); }
    bool guarded() const
    {
        for (size_t i = bytes.size() - 64; i < bytes.size(); ++i)
            if (bytes[i] != kGuard) return false;
        return true;
    }
    template <typename Record>
    Record as() const
    {
        Record r;
        std::memcpy(&r, bytes.data(), sizeof(r));
        return r;
    }
    std::vector<uint8_t> bytes;
    uint64_t length;
};

EngineAppAudioSource app_audio(uint32_t target, const char *id, const char *name)
{
    EngineAppAudioSource s{};
    s.target = target;
    s.deviceIndex = -1;
    s.deviceId = core_name_of(id);
    s.formatCode = core_fourcc("lpcm");
    s.name.length = std::strlen(name);
    std::memcpy(s.name.text, name, s.name.length);
    s.backend = 1;
    s.format = {48000, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {}};
    return s;
}

// A running engine node and a session made by hand from a provider and a
// display: the audio sources take test and application-fed devices, the
// video sources the test devices alone, both sinks application-fed ones.
class DeviceRequestsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(engine_node_start(0), CORE_OK);
        session_.lock = &lock_;
        session_.params.audioSource.codecIndex = -1;
        session_.params.videoSource.codecIndex = -1;
        session_.params.audioSink.codecIndex = -1;
        session_.params.videoSink.codecIndex = -1;

        EngineProviderConfig provider{};
        provider.sendRoles = ENGINE_ROLE_ANSWERER;
        provider.audioSource = {0, -1, kAudioClass, core_name_of(NONE_ID)};
        provider.videoSource = {0, -1, kVideoClass, core_name_of(NONE_ID)};
        provider.executor = core_name_of(CORE_DEFAULT_EXECUTOR);
        provider.pool = core_name_of(CORE_DEFAULT_POOL);
        session_.provider = engine_media_provider_create(&provider);
        ASSERT_NE(session_.provider, nullptr);

        EngineDisplayConfig display{};
        display.receiveRoles = ENGINE_ROLE_REQUESTER;
        display.audioSink = {-1, RAVK_CLASS_VIRTUAL, core_name_of(NONE_ID)};
        display.videoSink = {-1, RAVK_CLASS_VIRTUAL, core_name_of(NONE_ID)};
        display.executor = core_name_of(CORE_DEFAULT_EXECUTOR);
        display.pool = core_name_of(CORE_DEFAULT_POOL);
        session_.display = engine_display_create(&display);
        ASSERT_NE(session_.display, nullptr);
    }

    void TearDown() override
    {
        engine_media_provider_destroy(&session_.provider);
        engine_display_destroy(&session_.display);
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
    }

    template <typename Input>
    CoreResult request(uint32_t code, const Input &in, Output *out = nullptr, uint64_t inLength = sizeof(Input))
    {
        return engine_on_device_request(&session_, code, &in, inLength, out ? out->data() : nullptr,
                                        out ? &out->length : nullptr);
    }

    uint64_t count(uint32_t code, uint32_t media)
    {
        Output out(sizeof(EngineDeviceCount));
        EXPECT_EQ(request(code, media, &out), CORE_OK);
        return out.as<EngineDeviceCount>().count;
    }

    std::string name(uint32_t code, uint32_t media, int32_t index)
    {
        Output out(sizeof(EngineDeviceName));
        const EngineDeviceRequest in{media, index};
        if (request(code, in, &out) != CORE_OK) return "<failed>";
        const auto answer = out.as<EngineDeviceName>();
        return std::string(answer.text, answer.length);
    }

    CoreName id_at(uint32_t code, uint32_t media, int32_t index)
    {
        Output out(sizeof(EngineDeviceInfo));
        const EngineDeviceRequest in{media, index};
        EXPECT_EQ(request(code, in, &out), CORE_OK);
        return out.as<EngineDeviceInfo>().id;
    }

    CoreLock lock_;
    EngineSession session_{};
};

TEST_F(DeviceRequestsTest, OtherCodesAreNotMine)
{
    const uint32_t media = 0;
    for (uint32_t code : {0x5400u, 0x540Fu, 0x5433u, 0x543Cu, 0x5447u, 0x1411u, 0x0u})
        EXPECT_EQ(request(code, media), CORE_NOT_MINE) << std::hex << code;
    for (uint32_t code : {uint32_t(ENGINE_CTL_UNSUPPORTED), uint32_t(ENGINE_CTL_UNSUPPORTED_2)}) {
        EXPECT_EQ(request(code, media), CORE_ERR_UNSUPPORTED);
        EXPECT_EQ(engine_on_device_request(nullptr, code, nullptr, 0, nullptr, nullptr), CORE_ERR_UNSUPPORTED);
    }
    EXPECT_EQ(engine_on_device_request(nullptr, ENGINE_CTL_SOURCE_COUNT, &media, sizeof(media), nullptr, nullptr),
              CORE_ERR);
}

// Every request with a record: one byte less of input, or of output, is
// refused before anything is written, and a well-sized call writes nothing
// past its answer.
TEST_F(DeviceRequestsTest, ShortBuffersAreRefusedAndAnswersStayInside)
{
    struct Case {
        uint32_t code;
        uint64_t in;
        uint64_t out;
    };
    const Case cases[] = {
        {ENGINE_CTL_DEVICES_REFRESH, 8, 0},
        {ENGINE_CTL_SOURCE_COUNT, 4, 16},
        {ENGINE_CTL_SOURCE_NAME, 8, 1048},
        {ENGINE_CTL_SOURCE_INFO, 8, 140},
        {ENGINE_CTL_SOURCE_SELECTED, 4, 8},
        {ENGINE_CTL_SOURCE_SELECTED_ID, 4, 140},
        {ENGINE_CTL_SOURCE_SELECT_INDEX, 8, 0},
        {ENGINE_CTL_SOURCE_SELECT_ID, 140, 0},
        {ENGINE_CTL_SINK_COUNT, 4, 16},
        {ENGINE_CTL_SINK_SELECTED_ID, 4, 140},
        {ENGINE_CTL_SOURCE_CAPS_COUNT, 8, 16},
        {ENGINE_CTL_SOURCE_CAPS_GET, 12, 1048},
        {ENGINE_CTL_DEVICE_MODE_COUNT, 140, 16},
        {ENGINE_CTL_DEVICE_MODE, 144, 1176},
        {ENGINE_CTL_SET_DEVICE_MODE, 1176, 0},
        {ENGINE_CTL_DEVICE_CURRENT_MODE, 140, 1176},
        {ENGINE_CTL_AUDIO_SOURCE_FORMAT, 140, 12},
        {ENGINE_CTL_VIDEO_SOURCE_MODE, 140, 16},
        {ENGINE_CTL_ADD_AUDIO_DEVICE, 2272, 0},
        {ENGINE_CTL_ADD_AUDIO_DEVICE_SLOT, 2272, 0},
        {ENGINE_CTL_REMOVE_AUDIO_DEVICE, 148, 0},
        {ENGINE_CTL_ADD_VIDEO_DEVICE, 2312, 0},
        {ENGINE_CTL_REMOVE_VIDEO_DEVICE, 148, 0},
        {ENGINE_CTL_AUDIO_PREVIEW_START, 148, 0},
        {ENGINE_CTL_ENCODER_COUNT, 4, 16},
        {ENGINE_CTL_USABLE_DECODER_COUNT, 4, 16},
        {ENGINE_CTL_GET_ENCODER_DESC, 8, 1808},
        {ENGINE_CTL_SELECT_DECODER, 8, 0},
        {ENGINE_CTL_SET_ENCODER_DESC, 1808, 0},
    };
    // A video test source that every by-id request finds, with a current
    // mode for the current-mode request.
    const CoreName video = id_at(ENGINE_CTL_SOURCE_INFO, 1, 0);
    EngineDeviceProperty mode{};
    mode.media = 1;
    mode.id = video;
    mode.valueLength = 16;
    ASSERT_EQ(request(ENGINE_CTL_SET_DEVICE_MODE, mode), CORE_OK);

    std::vector<uint8_t> input(4096, 0);
    uint32_t one = 1;
    std::memcpy(input.data(), &one, sizeof(one));                // media 1 where the record starts with it
    std::memcpy(input.data() + 4, &video, sizeof(video));        // a selection by id
    std::memcpy(input.data() + 8, &video, sizeof(video));        // a mode request
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "0x" << c.code);
        Output out(c.out);
        EXPECT_EQ(engine_on_device_request(&session_, c.code, input.data(), c.in - 1, out.data(), &out.length),
                  CORE_ERR_INVALID);
        EXPECT_EQ(engine_on_device_request(&session_, c.code, nullptr, c.in, out.data(), &out.length),
                  CORE_ERR_INVALID)
            << "no input at all";
        if (c.out == 0) continue;
        Output small(c.out - 1);
        const std::vector<uint8_t> before = small.bytes;
        EXPECT_EQ(engine_on_device_request(&session_, c.code, input.data(), c.in, small.data(), &small.length),
                  CORE_ERR_INVALID);
        EXPECT_EQ(small.bytes, before) << "nothing written";
        EXPECT_EQ(engine_on_device_request(&session_, c.code, input.data(), c.in, out.data(), nullptr),
                  CORE_ERR_INVALID)
            << "no output length";
        // Enough room: whatever the request answers, it stays inside.
        engine_on_device_request(&session_, c.code, input.data(), c.in, out.data(), &out.length);
        EXPECT_TRUE(out.guarded());
        EXPECT_LE(out.length, c.out);
    }
}

TEST_F(DeviceRequestsTest, SourcesAndSinksAreCountedNamedAndSelected)
{
    EXPECT_EQ(count(ENGINE_CTL_SOURCE_COUNT, 0), kAudioTests);
    EXPECT_EQ(count(ENGINE_CTL_SOURCE_COUNT, 1), kVideoTests);
    EXPECT_EQ(count(ENGINE_CTL_SINK_COUNT, 0), 0u);
    EXPECT_EQ(name(ENGINE_CTL_SOURCE_NAME, 0, 0), "Audio Test Sine / 440 Hz / Stereo / 48000");
    EXPECT_EQ(name(ENGINE_CTL_SOURCE_NAME, 1, 8), "Video Test Color Bars / 3840x2160@60 Hz / I420");

    Output out(sizeof(EngineDeviceCount));
    EXPECT_EQ(request(ENGINE_CTL_SOURCE_COUNT, uint32_t(2), &out), CORE_ERR) << "media 2";
    struct Bad {
        const char *purpose;
        uint32_t code, media;
        int32_t index;
        CoreResult result;
    };
    const Bad bad[] = {
        {"index -1", ENGINE_CTL_SOURCE_NAME, 0, -1, CORE_ERR_INVALID},
        {"index equal to the count", ENGINE_CTL_SOURCE_INFO, 1, int32_t(kVideoTests), CORE_ERR_INVALID},
        {"any index of an empty registry", ENGINE_CTL_SINK_NAME, 0, 0, CORE_ERR_INVALID},
        {"media 2", ENGINE_CTL_SINK_INFO, 2, 0, CORE_ERR},
    };
    for (const Bad &b : bad) {
        SCOPED_TRACE(b.purpose);
        Output answer(sizeof(EngineDeviceName));
        EXPECT_EQ(request(b.code, EngineDeviceRequest{b.media, b.index}, &answer), b.result);
        EXPECT_EQ(answer.bytes[0], kGuard) << "nothing written";
    }

    // The selected index and the selected id go their own ways.
    const CoreName second = id_at(ENGINE_CTL_SOURCE_INFO, 0, 1);
    EXPECT_EQ(request(ENGINE_CTL_SOURCE_SELECT_ID, EngineDeviceSelection{0, second}), CORE_OK);
    Output selected(sizeof(EngineDeviceSelected));
    ASSERT_EQ(request(ENGINE_CTL_SOURCE_SELECTED, uint32_t(0), &selected), CORE_OK);
    EXPECT_EQ(selected.as<EngineDeviceSelected>().index, -1);
    EXPECT_EQ(request(ENGINE_CTL_SOURCE_SELECT_INDEX, EngineDeviceRequest{0, 3}), CORE_OK);
    ASSERT_EQ(request(ENGINE_CTL_SOURCE_SELECTED, uint32_t(0), &selected), CORE_OK);
    EXPECT_EQ(selected.as<EngineDeviceSelected>().index, 3);
    Output id(sizeof(EngineDeviceSelection));
    ASSERT_EQ(request(ENGINE_CTL_SOURCE_SELECTED_ID, uint32_t(0), &id), CORE_OK);
    EXPECT_TRUE(same(id.as<EngineDeviceSelection>().id, second));
    EXPECT_EQ(id.length, sizeof(EngineDeviceSelection));

    struct Select {
        int32_t index;
        CoreResult result;
        int32_t after;
    };
    const Select selects[] = {{int32_t(kAudioTests), CORE_ERR_INVALID, 3}, {-2, CORE_ERR_INVALID, 3}, {-1, CORE_OK, -1}};
    for (const Select &s : selects) {
        SCOPED_TRACE(s.index);
        EXPECT_EQ(request(ENGINE_CTL_SOURCE_SELECT_INDEX, EngineDeviceRequest{0, s.index}), s.result);
        ASSERT_EQ(request(ENGINE_CTL_SOURCE_SELECTED, uint32_t(0), &selected), CORE_OK);
        EXPECT_EQ(selected.as<EngineDeviceSelected>().index, s.after);
    }

    // The sinks: an application-fed sink device, selected by id and index.
    const EngineAppAudioSource sink = app_audio(ENGINE_APP_TARGET_SECOND, "sink.audio", "Speaker");
    ASSERT_EQ(request(ENGINE_CTL_ADD_AUDIO_DEVICE, sink), CORE_OK);
    EXPECT_EQ(count(ENGINE_CTL_SINK_COUNT, 0), 1u);
    EXPECT_EQ(name(ENGINE_CTL_SINK_NAME, 0, 0), "Speaker");
    EXPECT_EQ(request(ENGINE_CTL_SINK_SELECT_ID, EngineDeviceSelection{0, sink.deviceId}), CORE_OK);
    ASSERT_EQ(request(ENGINE_CTL_SINK_SELECTED_ID, uint32_t(0), &id), CORE_OK);
    EXPECT_TRUE(same(id.as<EngineDeviceSelection>().id, sink.deviceId));
    EXPECT_EQ(request(ENGINE_CTL_SINK_SELECT_INDEX, EngineDeviceRequest{0, 0}), CORE_OK);
    ASSERT_EQ(request(ENGINE_CTL_SINK_SELECTED, uint32_t(0), &selected), CORE_OK);
    EXPECT_EQ(selected.as<EngineDeviceSelected>().index, 0);

    // A gone selection reads as the first device.
    Output removed(0);
    ASSERT_EQ(request(ENGINE_CTL_REMOVE_AUDIO_DEVICE, EngineDeviceRemoval{1, {}, sink.deviceId}), CORE_OK);
    ASSERT_EQ(request(ENGINE_CTL_SINK_SELECTED_ID, uint32_t(0), &id), CORE_OK);
    EXPECT_TRUE(same(id.as<EngineDeviceSelection>().id, core_name_of(DEFAULT_DEVICE_ID)));

    // The framework's nodes describe no capabilities.
    Output caps(sizeof(EngineDeviceCount));
    ASSERT_EQ(request(ENGINE_CTL_SOURCE_CAPS_COUNT, EngineDeviceRequest{1, 0}, &caps), CORE_OK);
    EXPECT_EQ(caps.as<EngineDeviceCount>().media, 1u);
    EXPECT_EQ(caps.as<EngineDeviceCount>().count, 0u);
    Output entry(sizeof(EngineCapsEntry));
    ASSERT_EQ(request(ENGINE_CTL_SOURCE_CAPS_GET, EngineCapsEntryRequest{1, 0, 7}, &entry), CORE_OK);
    EXPECT_EQ(entry.as<EngineCapsEntry>().length, 0u);
    EXPECT_EQ(request(ENGINE_CTL_SOURCE_CAPS_GET, EngineCapsEntryRequest{1, int32_t(kVideoTests), 0}, &entry),
              CORE_ERR_INVALID);
}

TEST_F(DeviceRequestsTest, DeviceModesAndFormats)
{
    const CoreName video = id_at(ENGINE_CTL_SOURCE_INFO, 1, 8);  // 3840x2160 at 60/1
    Output modes(sizeof(EngineDeviceCount));
    ASSERT_EQ(request(ENGINE_CTL_DEVICE_MODE_COUNT, EngineDeviceSelection{1, video}, &modes), CORE_OK);
    const uint64_t n = modes.as<EngineDeviceCount>().count;
    ASSERT_GT(n, 0u);

    Output mode(sizeof(EngineDeviceProperty));
    ASSERT_EQ(request(ENGINE_CTL_DEVICE_MODE, EngineDeviceModeRequest{1, 0, video}, &mode), CORE_OK);
    const auto first = mode.as<EngineDeviceProperty>();
    EXPECT_EQ(first.valueLength, sizeof(CoreVideoMode));
    CoreVideoMode listed;
    std::memcpy(&listed, first.value, sizeof(listed));
    EXPECT_EQ(listed.width % 2, 0u);
    EXPECT_EQ(listed.height % 2, 0u);
    EXPECT_EQ(mode.bytes[0], kGuard) << "nothing before the value area";
    EXPECT_EQ(request(ENGINE_CTL_DEVICE_MODE, EngineDeviceModeRequest{1, uint32_t(n), video}, &mode), CORE_ERR_INVALID);
    EXPECT_EQ(request(ENGINE_CTL_DEVICE_MODE, EngineDeviceModeRequest{1, 0, core_name_of("no.such.device")}, &mode),
              CORE_ERR);

    // The current mode: none until one is set; a set mode reads back.
    Output current(sizeof(EngineDeviceProperty));
    EXPECT_EQ(request(ENGINE_CTL_DEVICE_CURRENT_MODE, EngineDeviceSelection{1, video}, &current), CORE_ERR);
    EngineDeviceProperty set{};
    set.media = 1;
    set.id = video;
    const CoreVideoMode chosen = {1280, 720, 30, 1};
    std::memcpy(set.value, &chosen, sizeof(chosen));
    set.valueLength = sizeof(chosen);
    ASSERT_EQ(request(ENGINE_CTL_SET_DEVICE_MODE, set), CORE_OK);
    ASSERT_EQ(request(ENGINE_CTL_DEVICE_CURRENT_MODE, EngineDeviceSelection{1, video}, &current), CORE_OK);
    EXPECT_EQ(std::memcmp(current.as<EngineDeviceProperty>().value, &chosen, sizeof(chosen)), 0);
    set.valueLength = ENGINE_DEVICE_VALUE_AREA + 1;
    EXPECT_EQ(request(ENGINE_CTL_SET_DEVICE_MODE, set), CORE_ERR_INVALID) << "a length past the value area";

    Output captureMode(sizeof(CoreVideoMode));
    ASSERT_EQ(request(ENGINE_CTL_VIDEO_SOURCE_MODE, EngineDeviceSelection{1, video}, &captureMode), CORE_OK);
    const CoreVideoMode expected = {3840, 2160, 60, 1};
    EXPECT_EQ(std::memcmp(captureMode.bytes.data(), &expected, sizeof(expected)), 0);
    EXPECT_EQ(request(ENGINE_CTL_VIDEO_SOURCE_MODE, EngineDeviceSelection{0, video}, &captureMode), CORE_ERR_INVALID);

    const CoreName audio = id_at(ENGINE_CTL_SOURCE_INFO, 0, 2);  // 440 Hz at 44100 Hz
    Output format(sizeof(EngineAudioFormat));
    ASSERT_EQ(request(ENGINE_CTL_AUDIO_SOURCE_FORMAT, EngineDeviceSelection{0, audio}, &format), CORE_OK);
    EXPECT_EQ(format.as<EngineAudioFormat>().rate, 44100u);
    EXPECT_EQ(format.as<EngineAudioFormat>().channels, 2u);
    EXPECT_TRUE(format.guarded());
    EXPECT_EQ(request(ENGINE_CTL_AUDIO_SOURCE_FORMAT, EngineDeviceSelection{1, audio}, &format), CORE_ERR_INVALID);
}

TEST_F(DeviceRequestsTest, ApplicationFedDevicesComeAndGo)
{
    EngineAppAudioSource source = app_audio(ENGINE_APP_TARGET_FIRST, "app.audio", "Feeder");
    ASSERT_EQ(request(ENGINE_CTL_ADD_AUDIO_DEVICE, source), CORE_OK);
    EXPECT_EQ(count(ENGINE_CTL_SOURCE_COUNT, 0), kAudioTests + 1);
    EXPECT_EQ(name(ENGINE_CTL_SOURCE_NAME, 0, 0), "Feeder") << "application-fed devices come first";
    EXPECT_EQ(request(ENGINE_CTL_ADD_AUDIO_DEVICE_SLOT, source), CORE_OK);
    EXPECT_EQ(request(ENGINE_CTL_ADD_AUDIO_DEVICE_SLOT, source), CORE_ERR) << "its second slot is taken";
    source.target = 2;
    EXPECT_EQ(request(ENGINE_CTL_ADD_AUDIO_DEVICE, source), CORE_ERR);

    // The video sources take no application-fed devices, and none can be
    // removed from them.
    EngineAppVideoSource video{};
    video.deviceId = core_name_of("app.video");
    video.formatCode = core_fourcc("RGBx");
    video.name.length = 1;
    video.name.text[0] = 'V';
    video.backend = 1;
    video.mode1 = {640, 480, 30, 1};
    EXPECT_EQ(request(ENGINE_CTL_ADD_VIDEO_DEVICE, video), CORE_ERR);
    const CoreName test = id_at(ENGINE_CTL_SOURCE_INFO, 1, 0);
    EXPECT_EQ(request(ENGINE_CTL_REMOVE_VIDEO_DEVICE, EngineDeviceRemoval{0, {}, test}), CORE_ERR);
    EXPECT_EQ(count(ENGINE_CTL_SOURCE_COUNT, 1), kVideoTests) << "nothing removed";
    video.target = ENGINE_APP_TARGET_SECOND;
    EXPECT_EQ(request(ENGINE_CTL_ADD_VIDEO_DEVICE, video), CORE_OK) << "the sinks take them";
    EXPECT_EQ(request(ENGINE_CTL_ADD_VIDEO_DEVICE_SLOT, video), CORE_OK);
    EXPECT_EQ(request(ENGINE_CTL_REMOVE_VIDEO_DEVICE, EngineDeviceRemoval{1, {}, video.deviceId}), CORE_OK);
    EXPECT_EQ(count(ENGINE_CTL_SINK_COUNT, 1), 0u);

    struct Removal {
        const char *purpose;
        uint32_t target;
        const char *id;
        CoreResult result;
    };
    const Removal removals[] = {
        {"target 2", 2, "app.audio", CORE_ERR},
        {"an id not there", 0, "no.such.device", CORE_ERR},
        {"the device", 0, "app.audio", CORE_OK},
        {"the device again", 0, "app.audio", CORE_ERR},
    };
    for (const Removal &r : removals) {
        SCOPED_TRACE(r.purpose);
        EXPECT_EQ(request(ENGINE_CTL_REMOVE_AUDIO_DEVICE, EngineDeviceRemoval{r.target, {}, core_name_of(r.id)}), r.result);
    }
    EXPECT_EQ(count(ENGINE_CTL_SOURCE_COUNT, 0), kAudioTests);
}

TEST_F(DeviceRequestsTest, RefreshKeepsApplicationFedDevices)
{
    ASSERT_EQ(request(ENGINE_CTL_ADD_AUDIO_DEVICE, app_audio(0, "app.audio", "Feeder")), CORE_OK);
    EXPECT_EQ(request(ENGINE_CTL_DEVICES_REFRESH, EngineDevicesRefresh{0, 0}), CORE_OK);
    EXPECT_EQ(count(ENGINE_CTL_SOURCE_COUNT, 0), kAudioTests + 1) << "test sources made again, the feeder kept";
    EXPECT_EQ(name(ENGINE_CTL_SOURCE_NAME, 0, 0), "Feeder");
    EXPECT_EQ(request(ENGINE_CTL_DEVICES_REFRESH, EngineDevicesRefresh{1, 1}), CORE_OK) << "the sinks";
    EXPECT_EQ(request(ENGINE_CTL_DEVICES_REFRESH, EngineDevicesRefresh{2, 0}), CORE_OK) << "another media: nothing";
    EXPECT_EQ(request(ENGINE_CTL_DEVICES_REFRESH, EngineDevicesRefresh{0, 2}), CORE_OK) << "another direction";
}

// ---- previews: real capture pipelines over the test sources ----------------------------

class PreviewTest : public DeviceRequestsTest {
protected:
    void SetUp() override
    {
        DeviceRequestsTest::SetUp();
        ASSERT_EQ(ravk_init(0), 0);
        ASSERT_EQ(ravk_linux_values_publish(), 0);
    }
    void TearDown() override
    {
        DeviceRequestsTest::TearDown();
        ravk_shutdown();
    }

    static bool freed(uint64_t handle)
    {
        CoreHandleTable *table = core_handle_tables[CORE_HANDLES_PIPELINES];
        void *object = core_handle_acquire(table, handle);
        if (object != nullptr) core_handle_release(table, handle);
        return object == nullptr;
    }
};

TEST_F(PreviewTest, OnePreviewPerMedium)
{
    EXPECT_EQ(request(ENGINE_CTL_VIDEO_PREVIEW_STOP, uint32_t(0)), CORE_ERR) << "no preview yet";
    const EnginePreviewRequest video{{}, id_at(ENGINE_CTL_SOURCE_INFO, 1, 8)};
    ASSERT_EQ(request(ENGINE_CTL_VIDEO_PREVIEW_START, video), CORE_OK);
    const uint64_t first = session_.provider->previews[1];
    ASSERT_NE(first, 0u);
    ASSERT_EQ(request(ENGINE_CTL_VIDEO_PREVIEW_START, video), CORE_OK);
    const uint64_t second = session_.provider->previews[1];
    EXPECT_NE(second, first);
    EXPECT_TRUE(freed(first)) << "the first preview was stopped and released";

    const EnginePreviewRequest audio{{}, id_at(ENGINE_CTL_SOURCE_INFO, 0, 1)};
    ASSERT_EQ(request(ENGINE_CTL_AUDIO_PREVIEW_START, audio), CORE_OK);
    EXPECT_NE(session_.provider->previews[0], 0u);

    EXPECT_EQ(request(ENGINE_CTL_VIDEO_PREVIEW_STOP, uint32_t(0)), CORE_OK);
    EXPECT_EQ(session_.provider->previews[1], second) << "the stopped preview stays with the provider";
    EXPECT_FALSE(freed(second));

    // A device that is not there: the old preview goes, no new one comes.
    const EnginePreviewRequest missing{{}, core_name_of("no.such.device")};
    EXPECT_EQ(request(ENGINE_CTL_VIDEO_PREVIEW_START, missing), CORE_ERR);
    EXPECT_EQ(session_.provider->previews[1], 0u);
    EXPECT_TRUE(freed(second));
    EXPECT_EQ(request(ENGINE_CTL_VIDEO_PREVIEW_STOP, uint32_t(0)), CORE_ERR);
}

// ---- codec lists -----------------------------------------------------------------------

// Codec lists of our own making (the framework is not started): two audio
// encoders, three video encoders of which two are usable, one video
// decoder.
class CodecRequestsTest : public DeviceRequestsTest {
protected:
    void SetUp() override
    {
        DeviceRequestsTest::SetUp();
        ASSERT_EQ(core_codec_entry_count_audio(1) + core_codec_entry_count_video(1), 0u);
        for (uint32_t usable : {1u, 2u}) {
            CoreAudioCodecDesc a{};
            a.direction = RAVK_CODEC_ENCODER;
            a.acceleration = usable;
            a.output = core_fourcc("opus");
            ASSERT_EQ(core_codec_add_audio(&a, 1), 0);
        }
        for (uint32_t usable : {1u, 0u, 2u}) {
            CoreVideoCodecDesc v{};
            v.direction = RAVK_CODEC_ENCODER;
            v.acceleration = usable;
            v.output = core_fourcc("VP8X");
            v.device_number = int32_t(usable);
            ASSERT_EQ(core_codec_add_video(&v, 1), 0);
        }
        CoreVideoCodecDesc d{};
        d.direction = RAVK_CODEC_DECODER;
        d.acceleration = 1;
        ASSERT_EQ(core_codec_add_video(&d, 1), 0);
    }
    void TearDown() override
    {
        for (uint32_t direction : {1u, 2u}) {
            while (core_codec_entry_count_audio(direction) > 0)
                core_codec_remove_audio(core_codec_entry_count_audio(direction) - 1, direction);
            while (core_codec_entry_count_video(direction) > 0)
                core_codec_remove_video(core_codec_entry_count_video(direction) - 1, direction);
        }
        DeviceRequestsTest::TearDown();
    }
};

TEST_F(CodecRequestsTest, ListsAreCountedAndDescribed)
{
    struct Case {
        uint32_t code, kind;
        uint64_t count;
    };
    const Case cases[] = {
        {ENGINE_CTL_ENCODER_COUNT, 0, 2},        {ENGINE_CTL_ENCODER_COUNT, 1, 3},
        {ENGINE_CTL_USABLE_ENCODER_COUNT, 0, 2}, {ENGINE_CTL_USABLE_ENCODER_COUNT, 1, 2},
        {ENGINE_CTL_DECODER_COUNT, 0, 0},        {ENGINE_CTL_DECODER_COUNT, 1, 1},
        {ENGINE_CTL_USABLE_DECODER_COUNT, 1, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.code << " kind " << c.kind);
        Output out(sizeof(EngineDeviceCount));
        ASSERT_EQ(request(c.code, c.kind, &out), CORE_OK);
        EXPECT_EQ(out.as<EngineDeviceCount>().media, c.kind);
        EXPECT_EQ(out.as<EngineDeviceCount>().count, c.count);
        EXPECT_EQ(request(c.code, uint32_t(2), &out), CORE_ERR_INVALID) << "kind 2";
    }

    Output entry(sizeof(EngineCodecEntry));
    ASSERT_EQ(request(ENGINE_CTL_GET_ENCODER_DESC, EngineCodecSelection{1, 2}, &entry), CORE_OK);
    auto got = entry.as<EngineCodecEntry>();
    EXPECT_EQ(got.index, 2);
    EXPECT_EQ(got.video.device_number, 2);
    EXPECT_EQ(got.audio.direction, 0u) << "the other half carries nothing";
    struct Bad {
        uint32_t kind;
        int32_t index;
    };
    for (const Bad &b : {Bad{1, 3}, Bad{0, -1}, Bad{2, 0}}) {
        SCOPED_TRACE(b.index);
        ASSERT_EQ(request(ENGINE_CTL_GET_ENCODER_DESC, EngineCodecSelection{b.kind, b.index}, &entry),
                  CORE_ERR_INVALID);
        got = entry.as<EngineCodecEntry>();
        EXPECT_EQ(got.index, -1) << "the answer is cleared";
        EXPECT_EQ(got.video.device_number, 0);
    }
    ASSERT_EQ(request(ENGINE_CTL_GET_DECODER_DESC, EngineCodecSelection{1, 0}, &entry), CORE_OK);
    EXPECT_EQ(entry.as<EngineCodecEntry>().video.direction, uint32_t(RAVK_CODEC_DECODER));
}

TEST_F(CodecRequestsTest, SelectionReachesTheSessionProviderAndDisplay)
{
    ASSERT_EQ(request(ENGINE_CTL_SELECT_ENCODER, EngineCodecSelection{1, 2}), CORE_OK);
    ASSERT_EQ(request(ENGINE_CTL_SELECT_ENCODER, EngineCodecSelection{0, 1}), CORE_OK);
    ASSERT_EQ(request(ENGINE_CTL_SELECT_DECODER, EngineCodecSelection{1, 0}), CORE_OK);
    EXPECT_EQ(session_.params.videoSource.codecIndex, 2);
    EXPECT_EQ(session_.params.audioSource.codecIndex, 1);
    EXPECT_EQ(session_.params.videoSink.codecIndex, 0);
    EXPECT_EQ(session_.provider->config.videoSource.codecIndex, 2);
    EXPECT_EQ(session_.provider->config.audioSource.codecIndex, 1);
    EXPECT_EQ(session_.display->config.videoSink.codecIndex, 0);

    struct Bad {
        const char *purpose;
        uint32_t code, kind;
        int32_t index;
    };
    const Bad bad[] = {
        {"index -1", ENGINE_CTL_SELECT_ENCODER, 1, -1},
        {"index equal to the count", ENGINE_CTL_SELECT_ENCODER, 1, 3},
        {"kind 2", ENGINE_CTL_SELECT_ENCODER, 2, 0},
        {"an empty list", ENGINE_CTL_SELECT_DECODER, 0, 0},
    };
    for (const Bad &b : bad) {
        SCOPED_TRACE(b.purpose);
        EXPECT_EQ(request(b.code, EngineCodecSelection{b.kind, b.index}), CORE_ERR_INVALID);
    }
    EXPECT_EQ(session_.params.videoSource.codecIndex, 2) << "nothing changed";
    EXPECT_EQ(session_.params.audioSink.codecIndex, -1);

    // A replacement names its list by the half that carries a descriptor.
    EngineCodecEntry entry{};
    entry.index = 0;
    EXPECT_EQ(request(ENGINE_CTL_SET_ENCODER_DESC, entry), CORE_ERR) << "both halves empty";
    entry.video.direction = RAVK_CODEC_ENCODER;
    entry.index = 3;
    EXPECT_EQ(request(ENGINE_CTL_SET_ENCODER_DESC, entry), CORE_ERR_INVALID) << "past the list";
    entry.index = -1;
    EXPECT_EQ(request(ENGINE_CTL_SET_ENCODER_DESC, entry), CORE_ERR_INVALID);

    // A video half replaces that entry of the video encoders alone.
    ASSERT_EQ(core_codec_get_video(1, RAVK_CODEC_ENCODER, &entry.video), 0);
    const uint32_t audio_encoders = core_codec_entry_count_audio(RAVK_CODEC_ENCODER);
    entry.video.evaluated_maximum = {640, 360, 15, 1};
    entry.index = 1;
    EXPECT_EQ(request(ENGINE_CTL_SET_ENCODER_DESC, entry), CORE_OK);
    CoreVideoCodecDesc stored;
    ASSERT_EQ(core_codec_get_video(1, RAVK_CODEC_ENCODER, &stored), 0);
    EXPECT_EQ(memcmp(&stored, &entry.video, sizeof(stored)), 0);
    EXPECT_EQ(core_codec_entry_count_audio(RAVK_CODEC_ENCODER), audio_encoders);
}

}  // namespace
