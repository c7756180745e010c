// Device enumeration and screens against a private Xvfb (two screens) and
// PulseAudio server (two null sinks, a null source as the default): the
// audio list's order and its agreement with gst-device-monitor-1.0, sinks
// coming and going, a new default re-sorting, distinct screens captured as
// painted, elements that reach PLAYING, and display changes coalescing.
#include "ravelkit/device_enum.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/executor.h"
#include "core/system.h"
#include "desktop_env.h"
#include "engine/node.h"
#include "gst_support.h"
#include "ravelkit/property.h"
#include "ravelkit/screens.h"

namespace {

struct Counts {
    std::mutex lock;
    int added = 0, removed = 0;
};

void count_event(RavkDeviceList *, uint32_t added, const CoreName *, const RavkDeviceText *, void *user)
{
    auto *c = static_cast<Counts *>(user);
    std::lock_guard<std::mutex> guard(c->lock);
    (added ? c->added : c->removed)++;
}

bool eventually(const std::function<bool()> &ready, int ms = 8000)
{
    for (int waited = 0; waited < ms; waited += 20) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ready();
}

struct Device {
    uint64_t handle;
    std::string name, path;
    int32_t is_default, loopback;
};

// What a list holds, in order; "path" is the element's "device" or
// "display-name" property.
std::vector<Device> devices(RavkDeviceList *list)
{
    std::vector<uint64_t> handles;
    {
        CoreLockGuard guard(&list->lock);
        handles.assign(list->devices, list->devices + list->count);
    }
    std::vector<Device> out;
    CoreHandleTable *table = core_handle_tables[CORE_HANDLES_DEVICES];
    for (uint64_t h : handles) {
        auto *node = static_cast<RavkDeviceNode *>(core_handle_acquire(table, h));
        if (node == nullptr) continue;
        RavkSourceDescriptor *d = ravk_device_node_desc(node, 0);
        Device dev{h, std::string(reinterpret_cast<char *>(d->name.data), d->name.length), "", 0, 0};
        RavkProperty *p = nullptr;
        if (node->ops.find_property(d, "device", &p) == 1 || node->ops.find_property(d, "display-name", &p) == 1)
            dev.path = g_value_get_string(&p->value);
        node->ops.is_default(d, &dev.is_default);
        node->ops.is_loopback(d, &dev.loopback);
        out.push_back(dev);
        core_handle_release(table, h);
    }
    return out;
}

std::vector<std::string> paths(RavkDeviceList *list)
{
    std::vector<std::string> out;
    for (const auto &d : devices(list)) out.push_back(d.path);
    return out;
}

// The element a pipeline would make for the device: from the device
// object when there is one, else from the factory; properties applied in
// order.
GstElement *make_element(uint64_t handle)
{
    CoreHandleTable *table = core_handle_tables[CORE_HANDLES_DEVICES];
    auto *node = static_cast<RavkDeviceNode *>(core_handle_acquire(table, handle));
    if (node == nullptr) return nullptr;
    RavkSourceDescriptor *d = ravk_device_node_desc(node, -1);
    GstElement *e = d->device ? gst_device_create_element(d->device, nullptr) : gst_element_factory_make(d->factory, nullptr);
    uint64_t count = 0;
    node->ops.property_count(d, &count);
    for (uint64_t i = 0; e && i < count; i++) {
        RavkProperty *p = nullptr;
        node->ops.property_at(d, int32_t(i), &p);
        g_object_set_property(G_OBJECT(e), p->name, &p->value);
    }
    core_handle_release(table, handle);
    return e;
}

bool reaches_playing(GstElement *source)
{
    GstElement *pipeline = gst_pipeline_new(nullptr);
    GstElement *sink = gst_element_factory_make("fakesink", nullptr);
    gst_bin_add_many(GST_BIN(pipeline), source, sink, nullptr);
    bool ok = gst_element_link(source, sink) && gst_element_set_state(pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
    GstState state = GST_STATE_NULL;
    ok = ok && gst_element_get_state(pipeline, &state, nullptr, 5 * GST_SECOND) != GST_STATE_CHANGE_FAILURE &&
         state == GST_STATE_PLAYING;
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return ok;
}

class DeviceEnum : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        why_ = ravk_test_desktop_start();
        if (why_.empty()) {
            ASSERT_TRUE(ravk_test_gst_setup());
        }
    }

    void SetUp() override
    {
        if (!why_.empty()) GTEST_SKIP() << why_;
        ASSERT_EQ(core_system_start(0), CORE_OK);
        engine_node_set_running(reinterpret_cast<EngineNode *>(&running_));
        RavkDeviceEnumConfig config{0, RAVK_DIRECTION_SOURCE, RAVK_MEDIA_AUDIO | RAVK_MEDIA_VIDEO,
                                    RAVK_CLASS_NATIVE | RAVK_CLASS_SCREEN};
        ASSERT_EQ(ravk_device_enum_create(&config), 0);
        RavkDeviceListConfig audio{1, RAVK_DIRECTION_SOURCE, RAVK_MEDIA_AUDIO, RAVK_CLASS_NATIVE, count_event,
                                   &audio_counts_, nullptr};
        RavkDeviceListConfig screens{0, RAVK_DIRECTION_SOURCE, RAVK_MEDIA_VIDEO, RAVK_CLASS_SCREEN, count_event,
                                     &screen_counts_, nullptr};
        audio_ = ravk_device_list_create(&audio);
        screens_ = ravk_device_list_create(&screens);
        ASSERT_NE(audio_, nullptr);
        ASSERT_NE(screens_, nullptr);
        ASSERT_EQ(ravk_device_enum_start(), 0);
        // Two monitors of the sinks and the null source.
        ASSERT_TRUE(eventually([&] { return devices(audio_).size() == 3 && devices(screens_).size() == 2; }))
            << devices(audio_).size() << " audio, " << devices(screens_).size() << " screens";
    }

    void TearDown() override
    {
        if (!why_.empty()) return;
        ravk_device_list_destroy(&audio_);
        ravk_device_list_destroy(&screens_);
        ravk_device_enum_destroy();
        engine_node_set_running(nullptr);
        core_system_stop();
    }

    static std::string why_;
    int running_ = 0;
    Counts audio_counts_, screen_counts_;
    RavkDeviceList *audio_ = nullptr;
    RavkDeviceList *screens_ = nullptr;
};

std::string DeviceEnum::why_;

TEST_F(DeviceEnum, AudioListOrderAgreesWithTheDeviceMonitor)
{
    const auto list = devices(audio_);
    EXPECT_TRUE(list[0].loopback && list[1].loopback) << "monitors first";
    EXPECT_EQ(list[2].path, "mic");
    EXPECT_TRUE(list[2].is_default);

    std::set<std::string> ours, theirs;
    for (const auto &d : list) ours.insert(d.path);
    std::istringstream out(ravk_test_run("timeout 10 gst-device-monitor-1.0 Audio/Source 2>/dev/null"));
    for (std::string line; std::getline(out, line);) {
        const auto at = line.find("pulsesrc device=");
        if (at == std::string::npos) continue;
        std::string device = line.substr(at + strlen("pulsesrc device="));
        theirs.insert(device.substr(0, device.find(' ')));
    }
    EXPECT_EQ(ours, theirs);
}

TEST_F(DeviceEnum, SinksComeAndGoAndANewDefaultResorts)
{
    int status = -1;
    const std::string module = ravk_test_run("pactl load-module module-null-sink sink_name=sink_c", &status);
    ASSERT_EQ(status, 0);
    EXPECT_TRUE(eventually([&] {
        auto p = paths(audio_);
        return std::find(p.begin(), p.end(), "sink_c.monitor") != p.end();
    }));
    ravk_test_run("pactl unload-module " + module, &status);
    EXPECT_TRUE(eventually([&] { return devices(audio_).size() == 3; }));

    // PulseAudio's device provider posts nothing when the default changes
    // (GStreamer 1.22): the engine's device refresh brings the new order.
    ravk_test_run("pactl set-default-source sink_b.monitor", &status);
    ASSERT_EQ(status, 0);
    ravk_device_enum_stop();
    ASSERT_EQ(ravk_device_list_refresh(audio_), 0);
    EXPECT_EQ(devices(audio_).size(), 0u) << "a refresh drops the native devices";
    ASSERT_EQ(ravk_device_enum_start(), 0);
    EXPECT_TRUE(eventually([&] { return devices(audio_).size() == 3; }));
    const auto list = devices(audio_);
    EXPECT_EQ(list.front().path, "sink_b.monitor") << "a default loopback comes first";
    EXPECT_EQ(list.back().path, "mic");
    EXPECT_FALSE(list.back().is_default);
    ravk_test_run("pactl set-default-source mic", &status);
}

TEST_F(DeviceEnum, RealElementsReachPlaying)
{
    const auto list = devices(audio_);
    GstElement *monitor = make_element(list[0].handle);
    ASSERT_NE(monitor, nullptr);
    EXPECT_TRUE(reaches_playing(monitor)) << list[0].path;

    RavkDeviceListConfig config{1, RAVK_DIRECTION_SOURCE, RAVK_MEDIA_AUDIO | RAVK_MEDIA_VIDEO, RAVK_CLASS_TEST,
                                nullptr, nullptr, nullptr};
    RavkDeviceList *tests = ravk_device_list_create(&config);
    ASSERT_NE(tests, nullptr);
    const auto test_sources = devices(tests);
    EXPECT_TRUE(reaches_playing(make_element(test_sources.front().handle))) << "audio test source";
    EXPECT_TRUE(reaches_playing(make_element(test_sources.back().handle))) << "video test source";
    ravk_device_list_destroy(&tests);
}

TEST_F(DeviceEnum, ScreensAreDistinctAndCapturedAsPainted)
{
    const auto list = devices(screens_);
    std::set<std::string> ids;
    for (const auto &d : list) {
        CoreName id{};
        auto *node = static_cast<RavkDeviceNode *>(core_handle_acquire(core_handle_tables[CORE_HANDLES_DEVICES], d.handle));
        ASSERT_NE(node, nullptr);
        node->ops.get_id(ravk_device_node_desc(node, 0), &id);
        core_handle_release(core_handle_tables[CORE_HANDLES_DEVICES], d.handle);
        ids.insert(id.hex);
    }
    EXPECT_EQ(ids.size(), 2u);
    const auto second = std::find_if(list.begin(), list.end(), [](const Device &d) {
        return d.path.size() > 2 && d.path.compare(d.path.size() - 2, 2, ".1") == 0;
    });
    ASSERT_NE(second, list.end());

    // A red window over the whole of X screen 1.
    RavkTestWindow *red = ravk_test_paint_screen(second->path.c_str());
    ASSERT_NE(red, nullptr);

    GstElement *source = make_element(second->handle);
    ASSERT_NE(source, nullptr);
    g_object_set(source, "num-buffers", 1, nullptr);
    GstElement *pipeline = gst_pipeline_new(nullptr);
    GstElement *convert = gst_element_factory_make("videoconvert", nullptr);
    GstElement *sink = gst_element_factory_make("appsink", nullptr);
    GstCaps *rgb = gst_caps_from_string("video/x-raw,format=RGB");
    g_object_set(sink, "caps", rgb, nullptr);
    gst_caps_unref(rgb);
    gst_bin_add_many(GST_BIN(pipeline), source, convert, sink, nullptr);
    ASSERT_TRUE(gst_element_link_many(source, convert, sink, nullptr));
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstSample *sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 5 * GST_SECOND);
    ASSERT_NE(sample, nullptr);
    GstVideoInfo info;
    ASSERT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(sample)));
    EXPECT_EQ(GST_VIDEO_INFO_WIDTH(&info), 800);
    EXPECT_EQ(GST_VIDEO_INFO_HEIGHT(&info), 600);
    GstMapInfo map;
    GstBuffer *buffer = gst_sample_get_buffer(sample);
    ASSERT_TRUE(gst_buffer_map(buffer, &map, GST_MAP_READ));
    const uint8_t *pixel = map.data + 300 * GST_VIDEO_INFO_PLANE_STRIDE(&info, 0) + 400 * 3;
    EXPECT_EQ(pixel[0], 255);
    EXPECT_EQ(pixel[1], 0);
    EXPECT_EQ(pixel[2], 0);
    gst_buffer_unmap(buffer, &map);
    gst_sample_unref(sample);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    ravk_test_window_destroy(red);
}

// A burst of display changes schedules one pass; the executor is told to
// run it now instead of waiting out the delay.
TEST_F(DeviceEnum, DisplayChangeBurstsCoalesceIntoOnePass)
{
    RavkDeviceEnumerator *e = ravk_device_enum_instance();
    ASSERT_NE(e, nullptr);
    const auto before = devices(screens_);
    {
        std::lock_guard<std::mutex> guard(screen_counts_.lock);
        screen_counts_.added = screen_counts_.removed = 0;
    }
    uint64_t task = 0;
    for (int i = 0; i < 3; i++) {
        ravk_screens_on_change_notice(e);
        CoreLockGuard guard(&e->delayed_lock);
        ASSERT_NE(e->delayed, nullptr);
        if (i == 0) task = e->delayed->task_id;
        EXPECT_EQ(e->delayed->task_id, task) << "later changes only count";
    }
    EXPECT_EQ(e->pending.load(), 3);
    CoreName executor;
    core_name_format(&executor, "%s", CORE_DEFAULT_EXECUTOR);
    ASSERT_EQ(core_executor_trigger(&executor, task, 0), 0);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> guard(screen_counts_.lock);
        return screen_counts_.added == 2;
    }));
    EXPECT_TRUE(eventually([&] { return core_executor_trigger(&executor, task, 0) == -1; })) << "the task ended";
    EXPECT_EQ(e->pending.load(), 0);
    {
        std::lock_guard<std::mutex> guard(screen_counts_.lock);
        EXPECT_EQ(screen_counts_.removed, 2) << "one pass withdraws each screen once";
        EXPECT_EQ(screen_counts_.added, 2);
    }
    const auto after = devices(screens_);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_NE(after[0].handle, before[0].handle) << "the pass made new nodes";

    // The next change after a pass schedules a new one.
    ravk_screens_on_change_notice(e);
    CoreLockGuard guard(&e->delayed_lock);
    ASSERT_NE(e->delayed, nullptr);
    EXPECT_NE(e->delayed->task_id, task);
}

TEST(DeviceEnumText, CleaningAndFormats)
{
    const struct {
        const char *serialised, *clean;
    } texts[] = {
        {"\"alsa_input.pci-0000\"", "alsa_input.pci-0000"},
        {"\"a\\ b\\\\c\\\"d\"", "a b\\c\"d"},
        {"plain", "plain"},
        {"\"", ""},
        {"", ""},
    };
    for (const auto &t : texts) {
        char out[64];
        EXPECT_STREQ(ravk_enum_clean_text(t.serialised, out, sizeof(out)), t.clean) << t.serialised;
    }
    char tiny[4];
    EXPECT_STREQ(ravk_enum_clean_text("\"abcdef\"", tiny, sizeof(tiny)), "abc");

    ASSERT_TRUE(ravk_test_gst_setup());
    const struct {
        const char *caps;
        uint32_t rate;
        int channels, bits;
        char type;
        bool little;
    } formats[] = {
        {"audio/x-raw, format={F32LE, S16LE}, rate=[1, 384000], channels=[1, 32]", 48000, 2, 16, 'S', true},
        {"audio/x-raw, format=F32LE, rate=44100, channels=1", 44100, 1, 32, 'F', true},
        {"audio/x-raw, format={S24_32BE, U8}, rate=[96000, 192000], channels=6", 96000, 6, 24, 'S', false},
        {"audio/x-raw, format=U8", 48000, 2, 8, 'U', false},
        {"audio/x-alaw, rate=8000, channels=1", 48000, 2, 16, 'S', true},
    };
    for (const auto &f : formats) {
        GstCaps *caps = gst_caps_from_string(f.caps);
        ASSERT_NE(caps, nullptr) << f.caps;
        const RavkAudioFormat got = ravk_enum_audio_format(caps);
        gst_caps_unref(caps);
        EXPECT_EQ(got.rate, f.rate) << f.caps;
        EXPECT_EQ(got.channels, f.channels) << f.caps;
        EXPECT_EQ(got.bits_per_sample, f.bits) << f.caps;
        EXPECT_EQ(got.sample_type, f.type) << f.caps;
        EXPECT_EQ(got.byte_order == RAVK_AUDIO_BYTE_ORDER_LE, f.little) << f.caps;
    }
}

}  // namespace
