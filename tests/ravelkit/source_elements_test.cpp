// Source builders: for each kind of device record, the element factory,
// caps text, FourCC and the properties in the order they are applied.
#include "ravelkit/source_elements.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/runtime_parts_fixture.h"
#include "ravelkit/property.h"

namespace {

RavkDeviceRecord record(int32_t backend, uint32_t fourcc, const char *path = "")
{
    RavkDeviceRecord r;
    ravk_device_record_init(&r);
    core_name_format(&r.id, "%s", "device.under.test");
    ravk_device_text_set(&r.name, 1, "Device", 6);
    ravk_device_text_set(&r.path, 0, path, strlen(path));
    r.backend = backend;
    r.format_code = fourcc;
    return r;
}

RavkDeviceRecord audio_record(int32_t backend, const char *path, uint32_t flags, int32_t index)
{
    RavkDeviceRecord r = record(backend, core_fourcc("NONE"), path);
    memset(&r.tail, 0, sizeof(r.tail));
    r.tail.audio.format = RavkAudioFormat{48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {}};
    r.tail.audio.index = index;
    r.flags = flags;
    return r;
}

RavkDeviceRecord screen_record(int32_t backend, uint32_t fourcc, CoreVideoMode mode, int32_t index, uint64_t handle)
{
    RavkDeviceRecord r = record(backend, fourcc, backend == RAVK_BACKEND_X11 ? ":5.1" : "");
    r.tail.video.mode = mode;
    r.tail.video.index = index;
    r.tail.video.handle = handle;
    return r;
}

// "name=value" of every property in order, values as gst-launch writes them.
std::string properties(RavkSourceOps &ops, RavkSourceDescriptor *d)
{
    std::string out;
    uint64_t count = 0;
    ops.property_count(d, &count);
    for (uint64_t i = 0; i < count; i++) {
        RavkProperty *p = nullptr;
        ops.property_at(d, int32_t(i), &p);
        gchar *value = g_strdup_value_contents(&p->value);
        out += std::string(i ? " " : "") + p->name + "=" + value;
        g_free(value);
    }
    return out;
}

struct Built {
    std::string factory, caps, fourcc, properties;
};

Built describe(RavkSourceOps &ops, RavkSourceDescriptor *d)
{
    Built b;
    char text[1024];
    ops.get_factory(d, text, sizeof(text));
    b.factory = text;
    ops.get_caps(d, text, sizeof(text));
    b.caps = text;
    uint32_t fourcc = 0;
    ops.get_fourcc(d, &fourcc);
    char f[5];
    b.fourcc = ravk_fourcc_text(fourcc, f);
    b.properties = properties(ops, d);
    return b;
}

class SourceBuilders : public CoreRuntimeParts<> {};

TEST_F(SourceBuilders, DeviceKindsGiveTheirElements)
{
    using Build = RavkSourceDescriptor *(*)(RavkSourceOps *, const RavkDeviceRecord *);
    RavkDeviceRecord no_stamp = audio_record(RAVK_AUDIO_BACKEND_PULSE, "", RAVK_DEVICE_NO_TIMESTAMP, -1);
    RavkDeviceRecord rect = screen_record(RAVK_BACKEND_X11, core_fourcc("BGRx"), {800, 600, 60, 1}, -1, 0);
    rect.tail.video.start_x = 0;
    rect.tail.video.end_x = 799;
    rect.tail.video.start_y = 10;
    rect.tail.video.end_y = 609;
    RavkDeviceRecord audio_test = audio_record(RAVK_AUDIO_BACKEND_GSTREAMER, "", 0, 1);
    audio_test.format_code = core_fourcc("lpcm");
    audio_test.tail.audio.frequency = 440;
    RavkDeviceRecord video_test = screen_record(RAVK_BACKEND_GSTREAMER, core_fourcc("I420"), {640, 480, 60, 1}, 18, 0);
    const struct {
        const char *purpose;
        Build build;
        RavkDeviceRecord r;
        Built expected;
    } cases[] = {
        {"a PulseAudio source", ravk_source_new_audio_capture,
         audio_record(RAVK_AUDIO_BACKEND_PULSE, "s1.monitor", RAVK_DEVICE_LOOPBACK, -1),
         {"pulsesrc", "audio/x-raw, rate=48000, channels=2, layout=(string)interleaved, format=(string)S16LE", "lpcm",
          "do-timestamp=TRUE device=\"s1.monitor\""}},
        {"a WASAPI2 loopback endpoint", ravk_source_new_audio_capture,
         audio_record(RAVK_AUDIO_BACKEND_WASAPI2, "{0.0.0}", RAVK_DEVICE_LOOPBACK | RAVK_DEVICE_DEFAULT, -1),
         {"wasapi2src", "audio/x-raw, rate=48000, channels=2, layout=(string)interleaved, format=(string)S16LE",
          "lpcm", "do-timestamp=TRUE device=\"{0.0.0}\" provide-clock=FALSE"}},
        {"a PipeWire source with an index", ravk_source_new_audio_capture,
         audio_record(RAVK_AUDIO_BACKEND_PIPEWIRE, "42", 0, 3),
         {"pipewiresrc", "audio/x-raw, rate=48000, channels=2, layout=(string)interleaved, format=(string)S16LE",
          "lpcm", "do-timestamp=TRUE target-object=\"42\" device-index=3"}},
        {"no timestamp flag", ravk_source_new_audio_capture, no_stamp,
         {"pulsesrc", "audio/x-raw, rate=48000, channels=2, layout=(string)interleaved, format=(string)S16LE", "lpcm",
          ""}},
        {"a DXGI screen", ravk_source_new_screen,
         screen_record(RAVK_BACKEND_D3D11, core_fourcc("BGRA"), {2560, 1440, 60, 1}, -1, 0x1234),
         {"d3d11screencapturesrc",
          "video/x-raw(memory:D3D11Memory), format=(string)BGRA, width=2560, height=1440, framerate=(fraction)0/1, "
          "max-framerate=(fraction)60/1",
          "BGRA", "blocksize=65536 do-timestamp=TRUE monitor-handle=4660"}},
        {"a Direct3D 9 screen", ravk_source_new_screen,
         screen_record(RAVK_BACKEND_D3D9, core_fourcc("NONE"), {1920, 1080, 75, 1}, 1, 0),
         {"dx9screencapsrc", "video/x-raw, width=1920, height=1080, framerate=(fraction)75/1", "NONE",
          "blocksize=65536 do-timestamp=TRUE monitor=1"}},
        {"an X11 monitor", ravk_source_new_screen, rect,
         {"ximagesrc", "video/x-raw, format=(string)BGRx, framerate=(fraction)60/1", "BGRx",
          "startx=0 endx=799 starty=10 endy=609 blocksize=65536 do-timestamp=TRUE use-damage=FALSE "
          "display-name=\":5.1\""}},
        {"a camera", ravk_source_new_camera, screen_record(0, core_fourcc("NONE"), {0, 0, 0, 0}, 2, 0),
         {"unknown.video.plugin", "video/x-raw", "NONE", "do-timestamp=TRUE device-index=2"}},
        {"an audio test source", ravk_source_new_audio_test, audio_test,
         {"audiotestsrc", "audio/x-raw, rate=48000, channels=2, layout=(string)interleaved, format=(string)S16LE",
          "lpcm", "is-live=TRUE blocksize=2048 wave=1 do-timestamp=TRUE freq=440.000000"}},
        {"a video test source", ravk_source_new_video_test, video_test,
         {"videotestsrc",
          "video/x-raw, width=640, height=480, framerate=(fraction)0/1, max-framerate=(fraction)60/1, "
          "format=(string)I420",
          "I420", "pattern=18 is-live=TRUE do-timestamp=TRUE horizontal-speed=1"}},
    };
    for (const auto &c : cases) {
        RavkSourceOps ops{};
        RavkSourceDescriptor *d = c.build(&ops, &c.r);
        ASSERT_NE(d, nullptr) << c.purpose;
        const Built b = describe(ops, d);
        EXPECT_EQ(b.factory, c.expected.factory) << c.purpose;
        EXPECT_EQ(b.caps, c.expected.caps) << c.purpose;
        EXPECT_EQ(b.fourcc, c.expected.fourcc) << c.purpose;
        EXPECT_EQ(b.properties, c.expected.properties) << c.purpose;
        ops.free(&d);
    }
}

TEST_F(SourceBuilders, UnusableAudioFormatsMakeNoDescriptor)
{
    const struct {
        uint32_t rate;
        uint8_t channels, bits;
    } bad[] = {{0, 2, 16}, {0xFFFFFFFF, 2, 16}, {48000, 0, 16}, {48000, 255, 16}, {48000, 2, 0}, {48000, 2, 255}};
    for (const auto &b : bad) {
        RavkDeviceRecord r = audio_record(RAVK_AUDIO_BACKEND_PULSE, "x", 0, -1);
        r.tail.audio.format.rate = b.rate;
        r.tail.audio.format.channels = b.channels;
        r.tail.audio.format.bits_per_sample = b.bits;
        RavkSourceOps ops{};
        EXPECT_EQ(ravk_source_new_audio_capture(&ops, &r), nullptr) << b.rate << " " << int(b.channels);
    }
}

TEST_F(SourceBuilders, TestSourceIdsComeFromTheirParameters)
{
    auto id_of = [](uint32_t rate, const CoreName *given) {
        RavkDeviceRecord r = audio_record(RAVK_AUDIO_BACKEND_GSTREAMER, "", 0, 0);
        memset(&r.id, 0, sizeof(r.id));
        if (given) r.id = *given;
        r.format_code = core_fourcc("lpcm");
        r.tail.audio.format.rate = rate;
        r.tail.audio.frequency = 440;
        RavkSourceOps ops{};
        RavkSourceDescriptor *d = ravk_source_new_audio_test(&ops, &r);
        CoreName id{};
        ops.get_id(d, &id);
        ops.free(&d);
        return std::string(id.text);
    };
    EXPECT_EQ(id_of(48000, nullptr), "atest.lpcm.0.440.48000.2");
    EXPECT_NE(id_of(48000, nullptr), id_of(44100, nullptr));
    CoreName given;
    core_name_format(&given, "%s", "caller.id");
    EXPECT_EQ(id_of(48000, &given), "caller.id");

    RavkDeviceRecord v = screen_record(RAVK_BACKEND_GSTREAMER, core_fourcc("NV12"), {4096, 4096, 60, 1}, 1, 0);
    memset(&v.id, 0, sizeof(v.id));
    RavkSourceOps ops{};
    RavkSourceDescriptor *d = ravk_source_new_video_test(&ops, &v);
    CoreName id{};
    ops.get_id(d, &id);
    EXPECT_STREQ(id.text, "vtest.NV12.1.4096x4096.60/1") << "cut to 32 bytes";
    ops.free(&d);
}

TEST_F(SourceBuilders, AppFedSources)
{
    RavkDeviceRecord r = record(RAVK_BACKEND_GSTREAMER, core_fourcc("H264"));
    r.block_size = 4096;
    r.tail.app_video.mode = CoreVideoMode{1280, 720, 30, 1};
    r.tail.app_video.mode_a = CoreVideoMode{0, 720, 30, 1};
    r.tail.app_video.mode_b = CoreVideoMode{640, 360, 15, 1};
    RavkSourceOps ops{};
    const CoreBuffer name{0, 1, 1024, 6, reinterpret_cast<uint8_t *>(r.name.text)};
    const uint32_t codec = ravk_codec_id_from_video_fourcc(r.format_code);
    EXPECT_EQ(codec, 0x20002u);
    RavkSourceDescriptor *d = ravk_source_desc_new(&ops, &r.id, &name, ravk_source_app_video_node_type(r.backend),
                                                   RAVK_CLASS_VIRTUAL, codec, nullptr, 0, 0, 0, r.backend);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(ravk_source_setup_app_video(d, &ops, &r), 0);
    Built b = describe(ops, d);
    EXPECT_EQ(b.factory, "appsrc");
    EXPECT_EQ(b.caps, "video/x-h264, format=(string)H264, width=640, height=360, framerate=(fraction)0/1, "
                      "max-framerate=(fraction)15/1")
        << "mode B wins over the main mode";
    EXPECT_EQ(b.properties, "stream-type=0 is-live=TRUE format=2 blocksize=4096 max-bytes=0 leaky-type=1 "
                            "max-buffers=1 max-time=0 do-timestamp=TRUE");
    CoreVideoMode a{};
    ASSERT_EQ(ops.get_attribute(d, RAVK_ATTR_MODE_A, &a, sizeof(a)), 0);
    EXPECT_EQ(a.height, 0u) << "an invalid mode A is stored as zero";
    uint64_t modes = 0;
    ops.mode_count(d, &modes);
    EXPECT_EQ(modes, 7u) << "the six app-fed sizes at 30/1 after the zero mode";
    ops.free(&d);

    RavkDeviceRecord pw = record(RAVK_BACKEND_PIPEWIRE, core_fourcc("NONE"), "/portal/7");
    pw.number = 17;
    d = ravk_source_desc_new(&ops, &pw.id, &name, ravk_source_app_video_node_type(pw.backend), RAVK_CLASS_VIRTUAL,
                             ravk_codec_id_from_video_fourcc(pw.format_code), nullptr, 0, 0, 0, pw.backend);
    ASSERT_EQ(ravk_source_setup_app_video(d, &ops, &pw), 0);
    b = describe(ops, d);
    EXPECT_EQ(b.factory, "pipewiresrc");
    EXPECT_EQ(b.caps, "") << "no format, size or rate: no caps";
    EXPECT_EQ(b.properties, "fd=17 path=\"/portal/7\" do-timestamp=TRUE");
    ops.free(&d);

    RavkDeviceRecord au = record(RAVK_AUDIO_BACKEND_GSTREAMER, core_fourcc("opus"));
    memset(&au.tail, 0, sizeof(au.tail));
    au.tail.audio.format = RavkAudioFormat{48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {}};
    EXPECT_EQ(ravk_codec_id_from_audio_fourcc(au.format_code), 0x501u);
    d = ravk_source_desc_new(&ops, &au.id, &name, 2, RAVK_CLASS_VIRTUAL, ravk_codec_id_from_audio_fourcc(au.format_code),
                             nullptr, 0, 0, au.backend, 0);
    ASSERT_EQ(ravk_source_setup_app_audio(d, &ops, &au), 0);
    b = describe(ops, d);
    EXPECT_EQ(b.factory, "appsrc");
    EXPECT_EQ(b.caps, "audio/x-opus, rate=48000, channels=2, layout=(string)interleaved, format=(string)S16LE");
    EXPECT_EQ(b.properties, "stream-type=0 is-live=TRUE format=2 do-timestamp=TRUE max-bytes=0 leaky-type=1 "
                            "max-buffers=0 max-time=1000000000");
    ops.free(&d);
}

TEST(SourceCodecIds, FourccTables)
{
    const struct {
        const char *fourcc;
        uint32_t video, audio;
    } cases[] = {
        {"av01", 0x60002, 0x101}, {"H265", 0x30002, 0x101}, {"MJPG", 0x70002, 0x101}, {"VP8X", 0x40002, 0x101},
        {"VP9X", 0x50002, 0x101}, {"theo", 0x80002, 0x101}, {"I420", 0x10002, 0x101}, {"aac ", 0x10002, 0x601},
        {"aach", 0x10002, 0x601}, {"alaw", 0x10002, 0x201}, {"ulaw", 0x10002, 0x301}, {"OGG ", 0x10002, 0x401},
    };
    for (const auto &c : cases) {
        char code[5];
        memcpy(code, c.fourcc, 5);
        EXPECT_EQ(ravk_codec_id_from_video_fourcc(core_fourcc(code)), c.video) << c.fourcc;
        EXPECT_EQ(ravk_codec_id_from_audio_fourcc(core_fourcc(code)), c.audio) << c.fourcc;
    }
}

}  // namespace
