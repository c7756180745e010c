// Frames fed by the application: a provider with an app-fed I420 source
// starts PAUSED, the first push sets it PLAYING, and the fed frames come
// out as VP8 samples of the fed size, the first a key frame; frames fed
// through the control request are copied (their memory is freed right
// after each push, which AddressSanitizer would catch); and the pushes
// that must be refused are. Fed buffers larger than the picture are cut to
// it (by the libyuv crop, or by a raw parser when the backend does not
// crop) and a padded mode pads it.
#include "ravelkit/feed.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "core/clock.h"
#include "core/handle.h"
#include "core/notify.h"
#include "core/system.h"
#include "core/values.h"
#include "engine/node.h"
#include "gst_support.h"
#include "ravelkit/codecs.h"
#include "ravelkit/datapath.h"
#include "ravelkit/linux_values.h"
#include "ravelkit/provider.h"

namespace
{

constexpr uint32_t kWidth = 64, kHeight = 48;
constexpr uint64_t kFrameSize = kWidth * kHeight * 3 / 2;

struct Samples {
    std::mutex lock;
    std::vector<RavkSample> headers;
    std::vector<std::vector<uint8_t>> data;
    size_t count()
    {
        std::lock_guard<std::mutex> guard(lock);
        return headers.size();
    }
};

CoreResult on_event(uint32_t code, const void *, uint64_t in_len, void *out, uint64_t *, void **user)
{
    if (code != RAVK_EVENT_SAMPLES || in_len != sizeof(RavkSampleBatchHeader)) return CORE_NOT_MINE;
    auto *samples = static_cast<Samples *>(user[0]);
    std::lock_guard<std::mutex> guard(samples->lock);
    for (const void *at = out; at != nullptr;) {
        RavkSample s;
        std::memcpy(&s, at, sizeof(s));
        samples->headers.push_back(s);
        const auto *bytes = static_cast<const uint8_t *>(s.data);
        samples->data.emplace_back(bytes, bytes + s.size);
        at = s.next;
    }
    return CORE_OK;
}

class FeedTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(ravk_test_gst_setup()); }

    void SetUp() override
    {
        ASSERT_EQ(core_system_start(0), CORE_OK);
        ASSERT_EQ(core_notify_channel_create_str(RAVK_PIPELINE_CHANNEL), CORE_OK);
        ASSERT_EQ(core_notify_channel_create_str(RAVK_DEVICE_CHANNEL), CORE_OK);
        ASSERT_EQ(ravk_linux_values_publish(), 0);
        engine_node_set_running(reinterpret_cast<EngineNode *>(&running_));
        CoreName channel;
        ravk_pipeline_channel_name(&channel);
        CoreNotifySubscription subscription = {on_event, {&samples_, nullptr}};
        ASSERT_NE(core_notify_subscribe(&channel, &subscription), 0u);
        RavkDeviceListConfig config = {0, RAVK_DIRECTION_SOURCE, RAVK_MEDIA_VIDEO, RAVK_CLASS_VIRTUAL,
                                       nullptr, nullptr, nullptr};
        list_ = ravk_device_list_create(&config);
        ASSERT_NE(list_, nullptr);
        RavkDeviceRecord r;
        ravk_device_record_init(&r);
        std::memset(&r.tail, 0, sizeof(r.tail));
        core_name_format(&r.id, "fed-video");
        ravk_device_text_set(&r.name, 0, "Fed", 3);
        r.backend = RAVK_BACKEND_GSTREAMER;
        r.format_code = core_fourcc("I420");
        r.tail.app_video.mode = CoreVideoMode{kWidth, kHeight, 30, 1};
        device_ = r.id;
        ASSERT_EQ(ravk_device_list_add_virtual_video(list_, 1, 0, &r), 0);

        RavkProviderConfig c;
        ravk_provider_config_init(&c);
        c.media = RAVK_MEDIA_VIDEO | RAVK_VIDEO_VP8 << 16;
        core_name_format(&c.video.stream, "stream.%08X", 1u);
        c.video.devices = list_;
        c.video.device = device_;
        c.video.encoder.direction = RAVK_CODEC_ENCODER;
        c.video.encoder.acceleration = 1;
        c.video.encoder.backend = RAVK_BACKEND_LIBVPX;
        c.video.encoder.implementation_id = RAVK_ENC_VP8;
        c.video.encoder.input = core_fourcc("I420");
        c.video.format.video = {kWidth, kHeight, 30, 1};
        handle_ = ravk_provider_create(&c);
        ASSERT_NE(handle_, 0u);
        provider_ = static_cast<RavkProvider *>(core_handle_acquire(core_handle_tables[CORE_HANDLES_PIPELINES], handle_));
        ASSERT_EQ(ravk_provider_build(provider_, 0, 300000, 0), 0);
        ASSERT_EQ(ravk_provider_start(provider_), 0);
    }

    void TearDown() override
    {
        if (handle_ != 0) {
            core_handle_release(core_handle_tables[CORE_HANDLES_PIPELINES], handle_);
            core_handle_release(core_handle_tables[CORE_HANDLES_PIPELINES], handle_);
        }
        engine_node_set_running(nullptr);
        ravk_device_list_destroy(&list_);
        core_system_stop();
    }

    int running_ = 0;
    Samples samples_;
    RavkDeviceList *list_ = nullptr;
    CoreName device_;
    uint64_t handle_ = 0;
    RavkProvider *provider_ = nullptr;
};

RavkSample frame(uint8_t *data, uint64_t size)
{
    RavkSample f = {};
    f.pts = f.dts = f.duration = -1;
    f.flags = RAVK_SAMPLE_KEY;
    f.data = data;
    f.size = size;
    return f;
}

TEST_F(FeedTest, RequestFramesAreCopiedAndEncodedAtTheFedSize)
{
    EXPECT_EQ(provider_->state, RAVK_STATE_PAUSED);
    EXPECT_EQ(provider_->feed_size.width, kWidth);
    EXPECT_EQ(provider_->feed_size.height, kHeight);
    const uint64_t deadline = core_clock_mono_ms() + 20000;
    int pushes = 0;
    while (samples_.count() < 5 && core_clock_mono_ms() < deadline) {
        // The request's memory ends when the push returns.
        auto *pixels = static_cast<uint8_t *>(malloc(kFrameSize));
        std::memset(pixels, 40 + (pushes % 100), kFrameSize);
        RavkSample f = frame(pixels, kFrameSize);
        EXPECT_EQ(ravk_provider_push_request(handle_, RAVK_FEED_VIDEO, &f), 0);
        free(pixels);
        ++pushes;
        EXPECT_EQ(provider_->state, RAVK_STATE_PLAYING);
        core_poll_sleep();
    }
    EXPECT_EQ(ravk_pipeline_stop(handle_), 0);
    ASSERT_GE(samples_.count(), 5u);
    EXPECT_TRUE(samples_.headers[0].flags & RAVK_SAMPLE_KEY);

    GstElement *decode = gst_parse_launch(
        "appsrc name=in caps=video/x-vp8 format=time ! vp8dec ! appsink name=out sync=false", nullptr);
    ASSERT_NE(decode, nullptr);
    GstElement *in = gst_bin_get_by_name(GST_BIN(decode), "in");
    GstElement *out = gst_bin_get_by_name(GST_BIN(decode), "out");
    gst_element_set_state(decode, GST_STATE_PLAYING);
    for (const auto &bytes : samples_.data)
        gst_app_src_push_buffer(GST_APP_SRC(in), gst_buffer_new_memdup(bytes.data(), bytes.size()));
    gst_app_src_end_of_stream(GST_APP_SRC(in));
    size_t decoded = 0;
    while (GstSample *s = gst_app_sink_pull_sample(GST_APP_SINK(out))) {
        const GstStructure *st = gst_caps_get_structure(gst_sample_get_caps(s), 0);
        int width = 0, height = 0;
        gst_structure_get_int(st, "width", &width);
        gst_structure_get_int(st, "height", &height);
        EXPECT_EQ(width, int(kWidth));
        EXPECT_EQ(height, int(kHeight));
        ++decoded;
        gst_sample_unref(s);
    }
    EXPECT_EQ(decoded, samples_.data.size());
    gst_element_set_state(decode, GST_STATE_NULL);
    gst_object_unref(in);
    gst_object_unref(out);
    gst_object_unref(decode);

    // Stopped: frames are taken and dropped.
    std::vector<uint8_t> pixels(kFrameSize);
    RavkSample f = frame(pixels.data(), kFrameSize);
    const size_t before = samples_.count();
    EXPECT_EQ(ravk_provider_push(handle_, RAVK_FEED_VIDEO, &f), 0);
    EXPECT_EQ(samples_.count(), before);
}

TEST_F(FeedTest, RefusedPushes)
{
    std::vector<uint8_t> pixels(kFrameSize);
    RavkSample good = frame(pixels.data(), kFrameSize);
    RavkSample null_data = frame(nullptr, kFrameSize);
    RavkSample short_frame = frame(pixels.data(), kFrameSize - 1);  // smaller than the I420 layout
    RavkSample loop = frame(pixels.data(), kFrameSize);
    loop.next = &loop;
    std::vector<RavkSample> too_long(RAVK_FEED_MAX_FRAMES + 1, good);
    for (size_t i = 0; i + 1 < too_long.size(); ++i) too_long[i].next = &too_long[i + 1];

    // The first push sets the pipeline PLAYING; wait until the source is.
    const uint64_t deadline = core_clock_mono_ms() + 10000;
    ASSERT_EQ(ravk_provider_push(handle_, RAVK_FEED_VIDEO, &good), 0);
    while (ravk_node_get_state(provider_->video_app_source) != 4 && core_clock_mono_ms() < deadline)
        core_poll_sleep();
    ASSERT_EQ(ravk_node_get_state(provider_->video_app_source), 4);

    const uint64_t pushed = provider_->video_app_source->pushed_count.load();
    struct Case {
        const char *purpose;
        uint64_t handle;
        uint32_t stream;
        const RavkSample *frames;
        int result;
    };
    const Case cases[] = {
        {"stream 3", handle_, 3, &good, -1},
        {"no audio source", handle_, RAVK_FEED_AUDIO, &good, -1},
        {"empty chain", handle_, RAVK_FEED_VIDEO, nullptr, -1},
        {"NULL data with a size", handle_, RAVK_FEED_VIDEO, &null_data, -1},
        {"a chain that loops", handle_, RAVK_FEED_VIDEO, &loop, -1},
        {"a chain over the bound", handle_, RAVK_FEED_VIDEO, too_long.data(), -1},
        {"a frame smaller than its layout", handle_, RAVK_FEED_VIDEO, &short_frame, -1},
        {"an unknown handle", handle_ + 1, RAVK_FEED_VIDEO, &good, -1},
    };
    for (const Case &c : cases) EXPECT_EQ(ravk_provider_push(c.handle, c.stream, c.frames), c.result) << c.purpose;
    EXPECT_EQ(provider_->video_app_source->pushed_count.load(), pushed);
}

// Decodes VP8 samples to I420; the size of the last picture and the mean
// luma of its centre and of its top-left corner (4x4 each).
struct Picture {
    int width = 0, height = 0;
    int centre = -1, corner = -1;
    size_t count = 0;
};

Picture decode_vp8(const std::vector<std::vector<uint8_t>> &samples)
{
    Picture picture;
    GstElement *decode = gst_parse_launch("appsrc name=in caps=video/x-vp8 format=time ! vp8dec ! "
                                          "video/x-raw,format=I420 ! appsink name=out sync=false",
                                          nullptr);
    if (decode == nullptr) return picture;
    GstElement *in = gst_bin_get_by_name(GST_BIN(decode), "in");
    GstElement *out = gst_bin_get_by_name(GST_BIN(decode), "out");
    gst_element_set_state(decode, GST_STATE_PLAYING);
    for (const auto &bytes : samples)
        gst_app_src_push_buffer(GST_APP_SRC(in), gst_buffer_new_memdup(bytes.data(), bytes.size()));
    gst_app_src_end_of_stream(GST_APP_SRC(in));
    while (GstSample *s = gst_app_sink_pull_sample(GST_APP_SINK(out))) {
        const GstStructure *st = gst_caps_get_structure(gst_sample_get_caps(s), 0);
        gst_structure_get_int(st, "width", &picture.width);
        gst_structure_get_int(st, "height", &picture.height);
        GstMapInfo map;
        GstBuffer *b = gst_sample_get_buffer(s);
        if (gst_buffer_map(b, &map, GST_MAP_READ)) {
            // Luma rows are as wide as the picture when it is a multiple of 4.
            auto mean = [&](int x0, int y0) {
                int sum = 0;
                for (int y = y0; y < y0 + 4; ++y)
                    for (int x = x0; x < x0 + 4; ++x) sum += map.data[size_t(y) * picture.width + x];
                return sum / 16;
            };
            picture.centre = mean(picture.width / 2 - 2, picture.height / 2 - 2);
            picture.corner = mean(0, 0);
            gst_buffer_unmap(b, &map);
        }
        ++picture.count;
        gst_sample_unref(s);
    }
    gst_element_set_state(decode, GST_STATE_NULL);
    gst_object_unref(in);
    gst_object_unref(out);
    gst_object_unref(decode);
    return picture;
}

// Fed I420 buffers of 80x64 that show a 64x48 picture in their top-left
// corner: grey 200 inside the picture, 16 in the alignment padding.
TEST(FedLayout, LargerBuffersAreCutToThePictureAndPaddedWhenAsked)
{
    ASSERT_TRUE(ravk_test_gst_setup());
    constexpr uint32_t kBufferWidth = 80, kBufferHeight = 64;
    std::vector<uint8_t> buffer(kBufferWidth * kBufferHeight * 3 / 2, 128);
    for (uint32_t y = 0; y < kBufferHeight; ++y)
        for (uint32_t x = 0; x < kBufferWidth; ++x) buffer[y * kBufferWidth + x] = x < kWidth && y < kHeight ? 200 : 16;
    struct Case {
        const char *purpose;
        uint32_t libyuv_features;
        CoreVideoMode padded;
        int width, height;  // what decodes
        bool corner_is_padding;
    };
    const Case cases[] = {
        {"libyuv crops", RAVK_VIDEO_FEATURE_CROP | RAVK_VIDEO_FEATURE_FLIP, {}, int(kWidth), int(kHeight), false},
        {"a raw parser reinterprets", RAVK_VIDEO_FEATURE_FLIP, {}, int(kWidth), int(kHeight), false},
        {"parsed, then padded to 96x64", RAVK_VIDEO_FEATURE_FLIP, {96, 64, 30, 1}, 96, 64, true},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.purpose);
        ASSERT_EQ(core_system_start(0), CORE_OK);
        ASSERT_EQ(core_notify_channel_create_str(RAVK_PIPELINE_CHANNEL), CORE_OK);
        ASSERT_EQ(core_notify_channel_create_str(RAVK_DEVICE_CHANNEL), CORE_OK);
        ASSERT_EQ(ravk_linux_values_publish(), 0);
        ASSERT_EQ(core_valuelist_put(core_process_valuelist(1), "frmwrk.vid.ftrs", RAVK_BACKEND_LIBYUV, 0,
                                     &k.libyuv_features, sizeof(k.libyuv_features)),
                  0);
        int running = 0;
        engine_node_set_running(reinterpret_cast<EngineNode *>(&running));
        Samples samples;
        CoreName channel;
        ravk_pipeline_channel_name(&channel);
        CoreNotifySubscription subscription = {on_event, {&samples, nullptr}};
        ASSERT_NE(core_notify_subscribe(&channel, &subscription), 0u);
        RavkDeviceListConfig list_config = {0, RAVK_DIRECTION_SOURCE, RAVK_MEDIA_VIDEO, RAVK_CLASS_VIRTUAL,
                                            nullptr, nullptr, nullptr};
        RavkDeviceList *list = ravk_device_list_create(&list_config);
        ASSERT_NE(list, nullptr);
        RavkDeviceRecord r;
        ravk_device_record_init(&r);
        std::memset(&r.tail, 0, sizeof(r.tail));
        core_name_format(&r.id, "fed-padded");
        r.backend = RAVK_BACKEND_GSTREAMER;
        r.format_code = core_fourcc("I420");
        r.tail.app_video.mode = CoreVideoMode{kWidth, kHeight, 30, 1};
        r.tail.app_video.mode_b = CoreVideoMode{kBufferWidth, kBufferHeight, 30, 1};
        r.tail.app_video.mode_a = k.padded;
        ASSERT_EQ(ravk_device_list_add_virtual_video(list, 1, 0, &r), 0);

        RavkProviderConfig c;
        ravk_provider_config_init(&c);
        c.media = RAVK_MEDIA_VIDEO | RAVK_VIDEO_VP8 << 16;
        core_name_format(&c.video.stream, "stream.%08X", 1u);
        c.video.devices = list;
        c.video.device = r.id;
        c.video.encoder.direction = RAVK_CODEC_ENCODER;
        c.video.encoder.acceleration = 1;
        c.video.encoder.backend = RAVK_BACKEND_LIBVPX;
        c.video.encoder.implementation_id = RAVK_ENC_VP8;
        c.video.encoder.input = core_fourcc("I420");
        c.video.format.video = {uint32_t(k.width), uint32_t(k.height), 30, 1};
        const uint64_t handle = ravk_provider_create(&c);
        ASSERT_NE(handle, 0u);
        CoreHandleTable *table = core_handle_tables[CORE_HANDLES_PIPELINES];
        auto *p = static_cast<RavkProvider *>(core_handle_acquire(table, handle));
        EXPECT_EQ(ravk_provider_build(p, 0, 300000, 0), 0);
        EXPECT_EQ(ravk_provider_start(p), 0);
        const uint64_t deadline = core_clock_mono_ms() + 20000;
        while (samples.count() < 5 && core_clock_mono_ms() < deadline) {
            RavkSample f = frame(buffer.data(), buffer.size());
            EXPECT_EQ(ravk_provider_push(handle, RAVK_FEED_VIDEO, &f), 0);
            g_usleep(33000);
        }
        EXPECT_EQ(ravk_pipeline_stop(handle), 0);
        core_handle_release(table, handle);
        core_handle_release(table, handle);
        ravk_device_list_destroy(&list);
        engine_node_set_running(nullptr);
        core_system_stop();

        ASSERT_GE(samples.count(), 5u);
        const Picture picture = decode_vp8(samples.data);
        EXPECT_EQ(picture.count, samples.count());
        EXPECT_EQ(picture.width, k.width);
        EXPECT_EQ(picture.height, k.height);
        EXPECT_NEAR(picture.centre, 200, 12);
        // Padding shows black (16), the alignment padding never shows.
        EXPECT_NEAR(picture.corner, k.corner_is_padding ? 16 : 200, 12);
    }
}

}  // namespace
