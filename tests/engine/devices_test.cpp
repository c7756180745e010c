// Device operations on real device registries of the framework: counting,
// naming and describing devices by index, the selected index beside the
// selected id, application-fed sources added with one or two element
// slots, the codec selection word as media flags, the device reads that
// fill a negotiation's local capability, the source name of a bind record,
// and the two stores into a binder channel's statistics blocks.
#include "engine/devices.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/handle.h"
#include "core/pool.h"
#include "engine/binder.h"
#include "engine/capability.h"
#include "engine/config.h"
#include "engine/node.h"
#include "engine/provider.h"

namespace {

bool same(const CoreName &a, const CoreName &b) { return std::memcmp(a.key, b.key, CORE_NAME_KEY_SIZE) == 0; }

bool same_mode(const CoreVideoMode &a, const CoreVideoMode &b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

bool same_format(const EngineAudioFormat &a, const EngineAudioFormat &b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

void set_text(EngineAppSourceText *block, const std::string &text, uint64_t length)
{
    block->tag = 0;
    block->length = length;
    std::memcpy(block->text, text.data(), std::min<size_t>(text.size(), sizeof(block->text)));
}

constexpr EngineAudioFormat kS16 = {48000, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {}};
constexpr EngineAudioFormat kF32 = {44100, 1, 32, ENGINE_BYTE_ORDER_LE, 'F', {}};
constexpr CoreVideoMode kFullHd = {1920, 1080, 60, 1};

EngineAppAudioSource app_audio(uint32_t target, const char *id, const std::string &name,
                               const EngineAudioFormat &format = kS16)
{
    EngineAppAudioSource s{};
    s.target = target;
    s.deviceIndex = -1;
    s.deviceId = core_name_of(id);
    s.size = 192000;
    s.formatCode = core_fourcc("lpcm");
    set_text(&s.name, name, name.size());
    s.backend = 1;
    s.format = format;
    return s;
}

EngineAppVideoSource app_video(uint32_t target, const char *id, const std::string &name,
                               const CoreVideoMode &mode = kFullHd)
{
    EngineAppVideoSource s{};
    s.target = target;
    s.deviceIndex = -1;
    s.deviceId = core_name_of(id);
    s.formatCode = core_fourcc("RGBx");
    set_text(&s.name, name, name.size());
    s.backend = 1;
    s.mode1 = mode;
    s.mode2 = {1280, 720, 30, 1};
    s.mode3 = {2560, 1440, 60, 1};
    return s;
}

// A running engine node and four registries that take application-fed and
// test sources, as a session's provider and display would hold them.
class DevicesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(engine_node_start(0), CORE_OK);
        for (int i = 0; i < 2; ++i) {
            const uint32_t media = i == 0 ? RAVK_MEDIA_AUDIO : RAVK_MEDIA_VIDEO;
            sources_[i] = engine_source_list_create(0, nullptr, media, RAVK_CLASS_VIRTUAL | RAVK_CLASS_TEST);
            sinks_[i] = engine_source_list_create(0, nullptr, media, RAVK_CLASS_VIRTUAL);
            ASSERT_NE(sources_[i], nullptr);
            ASSERT_NE(sinks_[i], nullptr);
        }
    }

    void TearDown() override
    {
        engine_binder_table_destroy(&table_);
        for (RavkDeviceList **list : {&sources_[0], &sources_[1], &sinks_[0], &sinks_[1]})
            ravk_device_list_destroy(list);
        engine_capability_release();
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
    }

    void add_audio_test(const char *id, const EngineAudioFormat &format = kS16)
    {
        const CoreName name = core_name_of(id);
        RavkAudioFormat f;
        std::memcpy(&f, &format, sizeof(f));
        ASSERT_EQ(ravk_device_list_add_audio_test(sources_[0], 1, &name, &f, 0, 440.0), 0);
    }
    void add_video_test(const char *id, const CoreVideoMode &mode = kFullHd)
    {
        const CoreName name = core_name_of(id);
        ASSERT_EQ(ravk_device_list_add_video_test(sources_[1], 1, &name, &mode, core_fourcc("I420"), 0), 0);
    }

    // The selected device of a registry and its first descriptor, to set
    // what the framework's own sources do not carry.
    template <typename Fn>
    void with_device(RavkDeviceList *list, const char *id, Fn fn)
    {
        const CoreName name = core_name_of(id);
        const uint64_t handle = ravk_device_list_find(list, &name, 1);
        ASSERT_NE(handle, 0u);
        CoreHandleTable *table = core_handle_tables[CORE_HANDLES_DEVICES];
        auto *node = static_cast<RavkDeviceNode *>(core_handle_acquire(table, handle));
        ASSERT_NE(node, nullptr);
        fn(node->ops, ravk_device_node_desc(node, 0));
        core_handle_release(table, handle);
    }

    void select(RavkDeviceList *list, const char *id)
    {
        const CoreName name = core_name_of(id);
        ASSERT_EQ(ravk_device_list_select(list, &name), 0);
    }

    EngineBinderTable *make_table(uint32_t sendRoles, uint32_t receiveRoles)
    {
        table_ = engine_binder_table_create(sendRoles, receiveRoles, 0);
        return table_;
    }

    std::string name_at(RavkDeviceList *audio, RavkDeviceList *video, uint32_t media, int32_t index)
    {
        EngineDeviceRequest request{media, index};
        EngineDeviceName answer{};
        if (engine_device_name(audio, video, &request, &answer) != CORE_OK) return "<failed>";
        return std::string(answer.text, answer.length);
    }

    RavkDeviceList *sources_[2] = {};
    RavkDeviceList *sinks_[2] = {};
    EngineBinderTable *table_ = nullptr;
};

TEST(CodecSelection, EngineIndicesBecomeFrameworkFlags)
{
    struct Case {
        const char *purpose;
        uint32_t selection;
        uint32_t flags;
    };
    const Case cases[] = {
        {"raw audio; the codec-record bit is carried but ignored", 0x11, 0x101},
        {"Opus", 0x411, 0x501},
        {"AAC, the last audio codec", 0x501, 0x601},
        {"an audio index past the table gives codec 0", 0x601, 0x001},
        {"AV1 moves before MJPEG and Theora", 0x70012, 0x60002},
        {"MJPEG", 0x50002, 0x70002},
        {"Theora", 0x60002, 0x80002},
        {"a video index past the table gives codec 0", 0x80002, 0x00002},
        {"container index 0 is MPEG-TS", 0x4, 0x01000004},
        {"WebM", 0x03000004, 0x04000004},
        {"a container index past the table gives 0", 0x04000004, 0x4},
        {"all three", 0x02030407, 0x03040507},
        {"codec bytes without their media bits are dropped", 0x00030400, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.purpose);
        EXPECT_EQ(engine_codec_selection_to_ravk(c.selection), c.flags);
    }
}

TEST_F(DevicesTest, DevicesAreCountedNamedAndDescribedByIndex)
{
    add_audio_test("audio.a");
    add_audio_test("audio.b", kF32);
    add_video_test("video.a");

    EngineDeviceCount count{};
    EngineDeviceRequest request{0, 0};
    ASSERT_EQ(engine_device_count(sources_[0], sources_[1], &request, &count), CORE_OK);
    EXPECT_EQ(count.media, 0u);
    EXPECT_EQ(count.count, 2u);
    request.media = 1;
    ASSERT_EQ(engine_device_count(sources_[0], sources_[1], &request, &count), CORE_OK);
    EXPECT_EQ(count.count, 1u);
    ASSERT_EQ(engine_device_count(sinks_[0], sinks_[1], &request, &count), CORE_OK);
    EXPECT_EQ(count.count, 0u) << "an empty registry counts 0";

    EXPECT_EQ(name_at(sources_[0], sources_[1], 0, 1), "Audio Test Sine / 440 Hz / Mono / 44100");
    EXPECT_EQ(name_at(sources_[0], sources_[1], 1, 0), "Video Test Color Bars / 1920x1080@60 Hz / I420");

    EngineDeviceInfo info{};
    request = {0, 1};
    ASSERT_EQ(engine_device_info(sources_[0], sources_[1], &request, &info), CORE_OK);
    EXPECT_EQ(info.media, 0u);
    EXPECT_TRUE(same(info.id, core_name_of("audio.b")));

    // Failures leave the answer as it was.
    struct Bad {
        const char *purpose;
        uint32_t media;
        int32_t index;
    };
    const Bad bad[] = {
        {"media 2", 2, 0}, {"index -1", 0, -1}, {"index equal to the count", 0, 2}, {"a large index", 1, 0x7FFFFFFF}};
    for (const Bad &b : bad) {
        SCOPED_TRACE(b.purpose);
        request = {b.media, b.index};
        EngineDeviceName name;
        std::memset(&name, 0xAB, sizeof(name));
        EXPECT_EQ(engine_device_name(sources_[0], sources_[1], &request, &name), CORE_ERR);
        EXPECT_EQ(name.media, 0xABABABABu);
        EngineDeviceInfo described;
        std::memset(&described, 0xAB, sizeof(described));
        EXPECT_EQ(engine_device_info(sources_[0], sources_[1], &request, &described), CORE_ERR);
        EXPECT_EQ(described.id.key[0], 0xAB);
    }
    request = {2, 0};
    EXPECT_EQ(engine_device_count(sources_[0], sources_[1], &request, &count), CORE_ERR);
    EXPECT_EQ(engine_device_count(sources_[0], nullptr, &(request = {1, 0}), &count), CORE_ERR)
        << "a missing registry";
}

TEST_F(DevicesTest, SelectedIndexIsKeptApartFromTheSelectedId)
{
    add_audio_test("audio.a");
    add_audio_test("audio.b");
    select(sources_[0], "audio.b");

    EngineDeviceRequest request{0, 0};
    EngineDeviceSelected selected{};
    ASSERT_EQ(engine_device_selected(sources_[0], sources_[1], &request, &selected), CORE_OK);
    EXPECT_EQ(selected.index, -1) << "selecting by id leaves the index";

    EXPECT_EQ(engine_device_select_index(sources_[0], 0), CORE_OK);
    ASSERT_EQ(engine_device_selected(sources_[0], sources_[1], &request, &selected), CORE_OK);
    EXPECT_EQ(selected.index, 0);
    CoreName id;
    ASSERT_EQ(ravk_device_list_get_selected(sources_[0], &id), 0);
    EXPECT_TRUE(same(id, core_name_of("audio.b"))) << "selecting by index leaves the id";

    EXPECT_EQ(engine_device_select_index(sources_[0], 2), CORE_ERR) << "the count";
    EXPECT_EQ(engine_device_select_index(sources_[0], -2), CORE_ERR);
    EXPECT_EQ(engine_device_selected_index(sources_[0]), 0) << "a refused index changes nothing";
    EXPECT_EQ(engine_device_select_index(sources_[0], -1), CORE_OK);
    EXPECT_EQ(engine_device_selected_index(sources_[0]), -1);
    EXPECT_EQ(engine_device_selected_index(sources_[1]), -1) << "each registry has its own";

    // A new registry starts without one.
    RavkDeviceListConfig config = {0, RAVK_DIRECTION_SOURCE, RAVK_MEDIA_AUDIO, RAVK_CLASS_TEST, nullptr, nullptr,
                                   nullptr};
    RavkDeviceList *fresh = ravk_device_list_create(&config);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(engine_device_selected_index(fresh), -1);
    ravk_device_list_destroy(&fresh);
}

TEST_F(DevicesTest, ApplicationFedSourcesAreAddedToTheTargetRegistry)
{
    EngineAppAudioSource audio = app_audio(ENGINE_APP_TARGET_FIRST, "app.audio", "Feeder");
    ASSERT_EQ(engine_audio_device_add(sources_[0], sinks_[0], &audio), CORE_OK);
    audio = app_audio(ENGINE_APP_TARGET_SECOND, "app.audio.sink", "Player");
    ASSERT_EQ(engine_audio_device_add(sources_[0], sinks_[0], &audio), CORE_OK);
    EngineAppVideoSource video = app_video(ENGINE_APP_TARGET_FIRST, "app.video", "Display");
    ASSERT_EQ(engine_video_device_add(sources_[1], sinks_[1], &video), CORE_OK);

    EXPECT_EQ(name_at(sources_[0], sources_[1], 0, 0), "Feeder");
    EXPECT_EQ(name_at(sinks_[0], sinks_[1], 0, 0), "Player");
    EXPECT_EQ(name_at(sources_[0], sources_[1], 1, 0), "Display");

    // The description's format and modes arrive as the device's properties.
    with_device(sources_[0], "app.audio", [](const RavkSourceOps &ops, RavkSourceDescriptor *d) {
        EngineAudioFormat f{};
        EXPECT_EQ(ops.get_attribute(d, ENGINE_DEVICE_PROP_AUDIO_FORMAT, &f, sizeof(f)), 0);
        EXPECT_TRUE(same_format(f, kS16));
    });
    with_device(sources_[1], "app.video", [&](const RavkSourceOps &ops, RavkSourceDescriptor *d) {
        CoreVideoMode m[3]{};
        EXPECT_EQ(ops.get_attribute(d, ENGINE_DEVICE_PROP_CAPTURE_MODE, &m[0], sizeof(m[0])), 0);
        EXPECT_EQ(ops.get_attribute(d, ENGINE_DEVICE_PROP_REFERENCE_MODE, &m[1], sizeof(m[1])), 0);
        EXPECT_EQ(ops.get_attribute(d, ENGINE_DEVICE_PROP_DISPLAY_MODE, &m[2], sizeof(m[2])), 0);
        EXPECT_TRUE(same_mode(m[0], video.mode1));
        EXPECT_TRUE(same_mode(m[1], video.mode2));
        EXPECT_TRUE(same_mode(m[2], video.mode3));
    });

    // A second element slot for a listed device, once.
    audio = app_audio(ENGINE_APP_TARGET_FIRST, "app.audio", "Feeder", kF32);
    EXPECT_EQ(engine_audio_device_add_slot(sources_[0], sinks_[0], &audio), CORE_OK);
    EXPECT_EQ(engine_audio_device_add_slot(sources_[0], sinks_[0], &audio), CORE_ERR) << "slot 1 is taken";
    video.target = ENGINE_APP_TARGET_FIRST;
    EXPECT_EQ(engine_video_device_add_slot(sources_[1], sinks_[1], &video), CORE_OK);

    struct Refused {
        const char *purpose;
        EngineAppAudioSource source;
        bool slot;
        RavkDeviceList *first;
    };
    RavkDeviceList *testOnly = engine_source_list_create(0, nullptr, RAVK_MEDIA_AUDIO, RAVK_CLASS_TEST);
    ASSERT_NE(testOnly, nullptr);
    const Refused refused[] = {
        {"target 2", app_audio(2, "app.other", "Other"), false, sources_[0]},
        {"a slot for a device not listed", app_audio(0, "app.missing", "Missing"), true, sources_[0]},
        {"a registry without the virtual class", app_audio(0, "app.other", "Other"), false, testOnly},
        {"a missing registry", app_audio(0, "app.other", "Other"), false, nullptr},
    };
    for (const Refused &r : refused) {
        SCOPED_TRACE(r.purpose);
        EXPECT_EQ(r.slot ? engine_audio_device_add_slot(r.first, sinks_[0], &r.source)
                         : engine_audio_device_add(r.first, sinks_[0], &r.source),
                  CORE_ERR);
    }
    ravk_device_list_destroy(&testOnly);
    EngineDeviceCount count{};
    EngineDeviceRequest request{0, 0};
    ASSERT_EQ(engine_device_count(sources_[0], sources_[1], &request, &count), CORE_OK);
    EXPECT_EQ(count.count, 1u) << "nothing refused was added";
}

TEST_F(DevicesTest, ApplicationFedRecordsBecomeTheFrameworkDescription)
{
    // A text that claims more than its block holds is cut to the block.
    EngineAppAudioSource audio = app_audio(0, "app.audio", std::string(1024, 'n'));
    audio.name.length = 5000;
    set_text(&audio.description, "monitor", 7);
    audio.description.tag = 1;
    audio.flags = RAVK_DEVICE_NO_TIMESTAMP;
    RavkDeviceRecord record;
    engine_app_audio_record(&record, &audio);
    EXPECT_EQ(record.number, -1);
    EXPECT_TRUE(same(record.id, audio.deviceId));
    EXPECT_EQ(record.block_size, 192000u);
    EXPECT_EQ(record.format_code, core_fourcc("lpcm"));
    EXPECT_EQ(record.name.length, uint64_t(ENGINE_DEVICE_TEXT_SIZE));
    EXPECT_EQ(record.path.length, 7u);
    EXPECT_EQ(record.path.tag, 1u);
    EXPECT_EQ(std::string(record.path.text, 7), "monitor");
    EXPECT_EQ(record.flags, uint32_t(RAVK_DEVICE_NO_TIMESTAMP));
    EXPECT_EQ(record.backend, 1);
    EXPECT_EQ(std::memcmp(&record.tail.audio.format, &kS16, sizeof(kS16)), 0);
    ASSERT_EQ(engine_audio_device_add(sources_[0], sinks_[0], &audio), CORE_OK);
    EXPECT_EQ(name_at(sources_[0], sources_[1], 0, 0), std::string(1024, 'n'));

    EngineAppVideoSource video = app_video(0, "app.video", "Display");
    engine_app_video_record(&record, &video);
    EXPECT_TRUE(same_mode(record.tail.app_video.mode, video.mode1));
    EXPECT_TRUE(same_mode(record.tail.app_video.mode_a, video.mode2));
    EXPECT_TRUE(same_mode(record.tail.app_video.mode_b, video.mode3));
}

TEST_F(DevicesTest, AudioSourceReadFillsTheSendFormats)
{
    EngineLocalCaps caps;
    engine_local_caps_init(&caps);
    EXPECT_EQ(engine_device_read_audio_source(sources_[0], &caps), CORE_DONE) << "nothing selected";
    add_audio_test("audio.a");
    add_audio_test("audio.b", kF32);
    EXPECT_EQ(engine_device_read_audio_source(sources_[0], &caps), CORE_DONE) << "still nothing selected";
    EXPECT_EQ(caps.audioSend, 0u);

    select(sources_[0], "audio.b");
    ASSERT_EQ(engine_device_read_audio_source(sources_[0], &caps), CORE_OK);
    EXPECT_EQ(caps.audioSend, 1u);
    EXPECT_TRUE(same_format(caps.sendAudioFormat, kF32));
    EXPECT_TRUE(same_format(caps.sourceAudioFormat, kF32)) << "no current format: the send format";

    // The current-mode block, as ENGINE_CTL_SET_DEVICE_MODE leaves it.
    with_device(sources_[0], "audio.b", [](const RavkSourceOps &ops, RavkSourceDescriptor *d) {
        ASSERT_EQ(ops.set_selection(d, &kS16, sizeof(kS16)), 0);
    });
    ASSERT_EQ(engine_device_read_audio_source(sources_[0], &caps), CORE_OK);
    EXPECT_TRUE(same_format(caps.sendAudioFormat, kF32));
    EXPECT_TRUE(same_format(caps.sourceAudioFormat, kS16));

    EXPECT_EQ(engine_device_read_audio_source(nullptr, &caps), CORE_ERR);
}

TEST_F(DevicesTest, VideoSourceReadScalesTheCaptureMode)
{
    EngineLocalCaps caps;
    engine_local_caps_init(&caps);
    EXPECT_EQ(engine_device_read_video_source(sources_[1], &caps), CORE_DONE);

    EngineAppVideoSource video = app_video(0, "app.video", "Display");
    ASSERT_EQ(engine_video_device_add(sources_[1], sinks_[1], &video), CORE_OK);
    select(sources_[1], "app.video");
    ASSERT_EQ(engine_device_read_video_source(sources_[1], &caps), CORE_OK);
    EXPECT_EQ(caps.videoSend, 1u);
    EXPECT_TRUE(same_mode(caps.sendVideoMode, kFullHd));
    EXPECT_TRUE(same_mode(caps.referenceVideoMode, video.mode2));
    EXPECT_TRUE(same_mode(caps.displayVideoMode, video.mode3));
    EXPECT_TRUE(same_mode(caps.nativeVideoMode, kFullHd)) << "no current mode: the capture mode";

    struct Case {
        const char *purpose;
        double scale;
        CoreVideoMode send;
    };
    const Case cases[] = {
        {"half", 0.5, {960, 540, 60, 1}},
        {"0 means no scale", 0.0, {1920, 1080, 60, 1}},
        {"a negative scale is not applied", -2.0, {1920, 1080, 60, 1}},
        {"a scale that overflows stops at the largest size", 1e12, {0xFFFFFFFFu, 0xFFFFFFFFu, 60, 1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.purpose);
        with_device(sources_[1], "app.video", [&](const RavkSourceOps &ops, RavkSourceDescriptor *d) {
            ASSERT_EQ(ops.set_attribute(d, ENGINE_DEVICE_PROP_SCALE, &c.scale, sizeof(c.scale)), 0);
        });
        ASSERT_EQ(engine_device_read_video_source(sources_[1], &caps), CORE_OK);
        EXPECT_TRUE(same_mode(caps.sendVideoMode, c.send));
        EXPECT_EQ(caps.videoScale, c.scale);
    }

    const CoreVideoMode native = {3840, 2160, 30, 1};
    with_device(sources_[1], "app.video", [&](const RavkSourceOps &ops, RavkSourceDescriptor *d) {
        ASSERT_EQ(ops.set_selection(d, &native, sizeof(native)), 0);
    });
    ASSERT_EQ(engine_device_read_video_source(sources_[1], &caps), CORE_OK);
    EXPECT_TRUE(same_mode(caps.nativeVideoMode, native));
}

TEST_F(DevicesTest, SinkReadFollowsTheReceiveRoles)
{
    ASSERT_NE(make_table(0, ENGINE_ROLE_REQUESTER), nullptr);
    EngineAppAudioSource audio = app_audio(1, "sink.audio", "Speaker", kF32);
    ASSERT_EQ(engine_audio_device_add(sources_[0], sinks_[0], &audio), CORE_OK);
    EngineAppVideoSource video = app_video(1, "sink.video", "Screen");
    ASSERT_EQ(engine_video_device_add(sources_[1], sinks_[1], &video), CORE_OK);

    EngineLocalCaps caps, before;
    engine_local_caps_init(&caps);
    before = caps;
    EXPECT_EQ(engine_device_read_sinks(table_, sinks_[0], sinks_[1], ENGINE_ROLE_ANSWERER, 3, 4, 5, &caps), CORE_OK)
        << "a direction without the receive role";
    EXPECT_EQ(caps.receiveRoles, 3u);
    caps.receiveRoles = before.receiveRoles;
    EXPECT_EQ(std::memcmp(&caps, &before, sizeof(caps)), 0) << "only receiveRoles changes";

    EXPECT_EQ(engine_device_read_sinks(table_, sinks_[0], sinks_[1], ENGINE_ROLE_REQUESTER, 1, 4, 5, &caps), CORE_ERR)
        << "no sink selected";

    select(sinks_[0], "sink.audio");
    ASSERT_EQ(engine_device_read_sinks(table_, sinks_[0], sinks_[1], ENGINE_ROLE_REQUESTER, 1, 4, 5, &caps), CORE_OK);
    EXPECT_EQ(caps.audioReceive, 1u);
    EXPECT_EQ(caps.audioDecoderIndex, 4);
    EXPECT_TRUE(same_format(caps.receiveAudioFormat, kF32));
    EXPECT_EQ(caps.videoReceive, 0u);

    select(sinks_[1], "sink.video");
    ASSERT_EQ(engine_device_read_sinks(table_, nullptr, sinks_[1], ENGINE_ROLE_REQUESTER, 1, 4, 5, &caps), CORE_OK);
    EXPECT_EQ(caps.videoReceive, 1u);
    EXPECT_EQ(caps.videoDecoderIndex, 5);
    EXPECT_TRUE(same_mode(caps.receiveVideoMode, kFullHd));
}

TEST_F(DevicesTest, SourceNameOfABindRecord)
{
    ASSERT_NE(make_table(ENGINE_ROLE_ANSWERER, 0), nullptr);
    char name[ENGINE_SOURCE_NAME_SIZE];
    std::memset(name, 'x', sizeof(name));
    EXPECT_EQ(engine_binder_source_name(table_, sources_[0], sources_[1], ENGINE_ROLE_REQUESTER, name), CORE_OK)
        << "a direction without the send role";
    EXPECT_EQ(name[0], 0) << "the area is cleared in any case";
    EXPECT_EQ(engine_binder_source_name(table_, sources_[0], sources_[1], ENGINE_ROLE_ANSWERER, name), CORE_ERR)
        << "no device selected";

    EngineAppAudioSource audio = app_audio(0, "app.audio", "Microphone");
    ASSERT_EQ(engine_audio_device_add(sources_[0], sinks_[0], &audio), CORE_OK);
    select(sources_[0], "app.audio");
    ASSERT_EQ(engine_binder_source_name(table_, sources_[0], sources_[1], ENGINE_ROLE_ANSWERER, name), CORE_OK);
    EXPECT_STREQ(name, "Microphone");

    // The video device's name replaces the audio device's; a name longer
    // than the area is cut so that the record's text stays terminated.
    EngineAppVideoSource video = app_video(0, "app.video", std::string(300, 'v'));
    ASSERT_EQ(engine_video_device_add(sources_[1], sinks_[1], &video), CORE_OK);
    select(sources_[1], "app.video");
    ASSERT_EQ(engine_binder_source_name(table_, sources_[0], sources_[1], ENGINE_ROLE_ANSWERER, name), CORE_OK);
    EXPECT_EQ(std::string(name), std::string(ENGINE_SOURCE_NAME_SIZE - 1, 'v'));

    EngineAppVideoSource shortName = app_video(0, "app.video.2", "Cam");
    ASSERT_EQ(engine_video_device_add(sources_[1], sinks_[1], &shortName), CORE_OK);
    select(sources_[1], "app.video.2");
    ASSERT_EQ(engine_binder_source_name(table_, sources_[0], sources_[1], ENGINE_ROLE_ANSWERER, name), CORE_OK);
    EXPECT_STREQ(name, "Cam") << "nothing of the longer names is left";
}

TEST_F(DevicesTest, BinderChannelStoresTakeThePeersModesAndTheAgreedFormats)
{
    EngineConfig config{};
    ASSERT_EQ(engine_capability_create(&config), CORE_OK);
    ASSERT_NE(make_table(1, 1), nullptr);
    ASSERT_EQ(engine_binder_set_channel_counts(table_, 1, 4), CORE_OK);
    EngineMediaDesc desc{};
    desc.channel = core_name_of("p2p.bnd.00000000.chnl");
    desc.peerNode = core_name_of("peer.node");
    ASSERT_EQ(engine_binder_open(table_, ENGINE_BINDER_P2P, 1, &desc, nullptr, nullptr), CORE_OK);

    // A peer's set: two plain records (the later one wins) and a codec
    // record whose modes are not the stream's.
    const CoreVideoMode sendA = {640, 360, 30, 1}, sendB = {1280, 720, 30, 1}, receive = {800, 600, 25, 1};
    const CoreVideoMode codecMode = {16, 16, 1, 1};
    auto record = [](uint32_t media, const CoreVideoMode *send, const CoreVideoMode *received) {
        EngineStreamRecord r{};
        r.mediaFlags = media;
        engine_props_init(&r.props);
        int index = 0;
        if (send) index = engine_props_add_video(&r.props, send, sizeof(*send), ENGINE_PROPS_SEND_MODE, index);
        if (received)
            engine_props_add_video(&r.props, received, sizeof(*received), ENGINE_PROPS_RECEIVE_MODE, index);
        return r;
    };
    const EngineStreamRecord records[] = {record(ENGINE_MEDIA_VIDEO, &sendA, &receive),
                                          record(ENGINE_MEDIA_VIDEO, &sendB, nullptr),
                                          record(ENGINE_MEDIA_VIDEO | ENGINE_MEDIA_CODEC_RECORD, &codecMode, &codecMode)};
    std::vector<uint8_t> block(sizeof(EngineStreamSet) + sizeof(records));
    auto *set = reinterpret_cast<EngineStreamSet *>(block.data());
    set->count = 3;
    std::memcpy(set->records, records, sizeof(records));
    EXPECT_EQ(engine_binder_store_video_modes(table_, &desc, set), CORE_OK);

    // The agreed formats: one slot too large for its field is skipped.
    EngineCapability *capability = engine_capability_current();
    const uint8_t oversized[20] = {1};
    ASSERT_EQ(engine_capability_slot_store(capability, ENGINE_SLOT_AUDIO_SEND, &kS16, sizeof(kS16)), 0);
    ASSERT_EQ(engine_capability_slot_store(capability, ENGINE_SLOT_AUDIO_RECEIVE, &kF32, sizeof(kF32)), 0);
    ASSERT_EQ(engine_capability_slot_store(capability, ENGINE_SLOT_VIDEO_SEND, &kFullHd, sizeof(kFullHd)), 0);
    ASSERT_EQ(engine_capability_slot_store(capability, ENGINE_SLOT_VIDEO_RECEIVE, oversized, sizeof(oversized)), 0);
    EXPECT_EQ(engine_binder_store_media_modes(table_, &desc), CORE_OK);

    const CoreVideoMode zero{};
    {
        auto *channel = reinterpret_cast<EngineBinderChannel *>(core_store_lookup(table_->channels, desc.channel.key));
        ASSERT_NE(channel, nullptr);
        CoreLockGuard guard(&table_->lock);
        EXPECT_TRUE(same_mode(channel->sentVideo.mode1, sendB));
        EXPECT_TRUE(same_mode(channel->receivedVideo.mode1, receive));
        EXPECT_TRUE(same_format(channel->sentAudio.format2, kS16));
        EXPECT_TRUE(same_format(channel->receivedAudio.format2, kF32));
        EXPECT_TRUE(same_mode(channel->sentVideo.mode2, kFullHd));
        EXPECT_TRUE(same_mode(channel->receivedVideo.mode2, zero));
    }
    core_store_unref(table_->channels);

    // A channel the table does not hold is skipped.
    EngineMediaDesc other = desc;
    other.channel = core_name_of("p2p.bnd.00000007.chnl");
    EXPECT_EQ(engine_binder_store_video_modes(table_, &other, set), CORE_OK);
    EXPECT_EQ(engine_binder_store_media_modes(table_, &other), CORE_OK);
}

}  // namespace
