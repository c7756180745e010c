// veltrana-loop: capture one X display and play it into a window on another,
// through the capture pipeline, its sample batches and the playback
// pipeline, in one process and without a network. Prints the frames that
// reached the playback pipeline once a second and a summary at the end.
//
//   veltrana-loop --from :99.0 --to :99.1 [--width 1280] [--height 720]
//                 [--fps 30] [--bitrate 4000000] [--seconds 20]
#include <gst/gst.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/clock.h"
#include "core/handle.h"
#include "core/notify.h"
#include "core/system.h"
#include "engine/node.h"
#include "ravelkit/codecs.h"
#include "ravelkit/consumer.h"
#include "ravelkit/init.h"
#include "ravelkit/linux_values.h"
#include "ravelkit/provider.h"
#include "ravelkit/screens.h"

// Last: Xlib defines None, Bool and Status as macros.
#include <X11/Xlib.h>

namespace
{

struct Loop {
    RavkConsumer *consumer = nullptr;
    std::atomic<uint64_t> frames{0};
    std::atomic<uint64_t> refused{0};
};

// Runs on the capture pipeline's streaming thread: each sample goes on to
// the playback pipeline before the post returns.
CoreResult on_event(uint32_t code, const void *in, uint64_t in_len, void *out, uint64_t *, void **user)
{
    if (code != RAVK_EVENT_SAMPLES || in_len != sizeof(RavkSampleBatchHeader)) return CORE_NOT_MINE;
    auto *loop = static_cast<Loop *>(user[0]);
    if (static_cast<const RavkSampleBatchHeader *>(in)->stream_index != 1) return CORE_OK;
    for (const void *at = out; at != nullptr;) {
        RavkSample s;
        std::memcpy(&s, at, sizeof(s));
        at = s.next;
        s.next = nullptr;
        if (ravk_consumer_push_live(loop->consumer, 1, &s) == 0)
            loop->frames.fetch_add(1);
        else
            loop->refused.fetch_add(1);
    }
    return CORE_OK;
}

const char *arg(int argc, char **argv, const char *name, const char *fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
    return fallback;
}

int fail(const char *what)
{
    std::fprintf(stderr, "veltrana-loop: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char **argv)
{
    const char *from = arg(argc, argv, "--from", nullptr);
    const char *to = arg(argc, argv, "--to", nullptr);
    if (from == nullptr || to == nullptr) {
        std::fprintf(stderr,
                     "usage: veltrana-loop --from DISPLAY --to DISPLAY [--width W] [--height H] [--fps F]\n"
                     "                     [--bitrate BITS] [--seconds S]\n");
        return 2;
    }
    const uint32_t width = uint32_t(std::atoi(arg(argc, argv, "--width", "1280")));
    const uint32_t height = uint32_t(std::atoi(arg(argc, argv, "--height", "720")));
    const uint32_t fps = uint32_t(std::atoi(arg(argc, argv, "--fps", "30")));
    const uint64_t bitrate = std::strtoull(arg(argc, argv, "--bitrate", "4000000"), nullptr, 10);
    const int seconds = std::atoi(arg(argc, argv, "--seconds", "20"));

    gst_init(&argc, &argv);
    if (core_system_start(0) != CORE_OK) return fail("the base runtime did not start");
    int running = 0;
    engine_node_set_running(reinterpret_cast<EngineNode *>(&running));
    if (ravk_init(0) != 0) return fail("the multimedia framework did not start");
    if (core_notify_channel_create_str(RAVK_DEVICE_CHANNEL) != CORE_OK || ravk_linux_values_publish() != 0)
        return fail("the device channel and the framework values could not be made");

    // The playback window: the whole default screen of the target display.
    Display *display = XOpenDisplay(to);
    if (display == nullptr) return fail("cannot open the target display");
    const int screen = DefaultScreen(display);
    XSetWindowAttributes attributes = {};
    attributes.override_redirect = True;
    const Window window =
        XCreateWindow(display, RootWindow(display, screen), 0, 0, uint32_t(DisplayWidth(display, screen)),
                      uint32_t(DisplayHeight(display, screen)), 0, CopyFromParent, InputOutput, CopyFromParent,
                      CWOverrideRedirect, &attributes);
    XMapRaised(display, window);
    XSync(display, False);

    // The video sink draws through a connection to the display that DISPLAY
    // names, opened when it starts: the one the window is on. The screen
    // list below reads DISPLAY too, but the capture names its display itself.
    setenv("DISPLAY", to, 1);
    RavkConsumerConfig consumer_config = {};
    consumer_config.media = RAVK_MEDIA_VIDEO | RAVK_VIDEO_VP8 << 16;
    consumer_config.video_decoder.direction = RAVK_CODEC_DECODER;
    consumer_config.video_decoder.acceleration = 1;
    consumer_config.video_decoder.backend = RAVK_BACKEND_LIBVPX;
    consumer_config.video_decoder.implementation_id = RAVK_DEC_VP8;
    consumer_config.video_decoder.input = core_fourcc("VP80");
    consumer_config.width = width;
    consumer_config.height = height;
    consumer_config.rate_num = fps;
    consumer_config.rate_den = 1;
    consumer_config.window = window;
    core_name_format(&consumer_config.video_stream, "stream.%08X", 1u);
    const uint64_t consumer_handle = ravk_consumer_create(&consumer_config);
    if (consumer_handle == 0 || consumer_handle == UINT64_MAX) return fail("the playback pipeline was not made");
    CoreHandleTable *table = core_handle_tables[CORE_HANDLES_PIPELINES];
    Loop loop;
    loop.consumer = static_cast<RavkConsumer *>(core_handle_acquire(table, consumer_handle));
    gst_element_set_state(loop.consumer->pipeline->element, GST_STATE_PLAYING);
    gst_element_get_state(loop.consumer->pipeline->element, nullptr, nullptr, 5 * GST_SECOND);
    loop.consumer->state = RAVK_STATE_PLAYING;

    // The source: the first monitor of the source display's screen.
    setenv("DISPLAY", from, 1);
    RavkDeviceListConfig list_config = {0, RAVK_DIRECTION_SOURCE, RAVK_MEDIA_VIDEO, RAVK_CLASS_SCREEN,
                                        nullptr, nullptr, nullptr};
    RavkDeviceList *list = ravk_device_list_create(&list_config);
    RavkMonitorList monitors = {};
    if (list == nullptr || ravk_monitor_list(&monitors) != 0 || monitors.count == 0)
        return fail("no monitor on the source display");
    const RavkMonitorRecord *monitor = &monitors.items[0];
    for (uint64_t i = 0; i < monitors.count; ++i)
        if (std::strncmp(monitors.items[i].path.text, from, monitors.items[i].path.length) == 0)
            monitor = &monitors.items[i];
    RavkDeviceRecord record;
    ravk_device_record_init(&record);
    record.id = monitor->id;
    record.backend = RAVK_BACKEND_X11;
    record.format_code = monitor->fourcc;
    record.name = monitor->name;
    record.path = monitor->path;
    record.tail.video.mode = monitor->mode;
    record.tail.video.start_x = monitor->x;
    record.tail.video.end_x = int64_t(monitor->x) + monitor->mode.width - 1;
    record.tail.video.start_y = monitor->y;
    record.tail.video.end_y = int64_t(monitor->y) + monitor->mode.height - 1;
    ravk_device_event_post(RAVK_DEVICE_SCREEN_ADDED, &record, RAVK_DEVICE_RECORD_SCREEN_SIZE);

    CoreName channel;
    ravk_pipeline_channel_name(&channel);
    CoreNotifySubscription subscription = {on_event, {&loop, nullptr}};
    if (core_notify_subscribe(&channel, &subscription) == 0) return fail("cannot subscribe to the pipeline events");

    RavkProviderConfig provider_config;
    ravk_provider_config_init(&provider_config);
    provider_config.media = RAVK_MEDIA_VIDEO | RAVK_VIDEO_VP8 << 16;
    core_name_format(&provider_config.video.stream, "stream.%08X", 1u);
    provider_config.video.devices = list;
    provider_config.video.device = monitor->id;
    provider_config.video.encoder.direction = RAVK_CODEC_ENCODER;
    provider_config.video.encoder.acceleration = 1;
    provider_config.video.encoder.backend = RAVK_BACKEND_LIBVPX;
    provider_config.video.encoder.implementation_id = RAVK_ENC_VP8;
    provider_config.video.encoder.input = core_fourcc("I420");
    provider_config.video.format.video = {width, height, fps, 1};
    const uint64_t provider_handle = ravk_provider_create(&provider_config);
    if (provider_handle == 0) return fail("the capture pipeline was refused");
    auto *provider = static_cast<RavkProvider *>(core_handle_acquire(table, provider_handle));
    if (ravk_provider_build(provider, 0, bitrate, 0) != 0 || ravk_provider_start(provider) != 0)
        return fail("the capture pipeline did not start");
    // The asked rate caps what the bitrate allows, as the engine's external
    // cap does.
    RavkFraction rate = {fps, 1}, cap = {};
    ravk_provider_framerate_cap(provider, nullptr, &rate, &cap);
    if (provider->live_rate != nullptr) ravk_node_set_max_framerate(provider->live_rate, &cap);

    const uint64_t start = core_clock_mono_ms();
    uint64_t last = 0;
    for (int s = 1; s <= seconds; ++s) {
        g_usleep(1000000);
        const uint64_t now = loop.frames.load();
        std::printf("second %d: %llu frames\n", s, static_cast<unsigned long long>(now - last));
        std::fflush(stdout);
        last = now;
    }
    const double elapsed = double(core_clock_mono_ms() - start) / 1000.0;
    if (GstPad *pad = gst_element_get_static_pad(loop.consumer->video_decoder->element, "src")) {
        if (GstCaps *caps = gst_pad_get_current_caps(pad)) {
            gchar *text = gst_caps_to_string(caps);
            std::printf("decoded %s\n", text);
            g_free(text);
            gst_caps_unref(caps);
        }
        gst_object_unref(pad);
    }
    ravk_pipeline_stop(provider_handle);
    ravk_pipeline_stop(consumer_handle);
    std::printf("frames %llu refused %llu seconds %.1f fps %.2f size %ux%u\n",
                static_cast<unsigned long long>(loop.frames.load()), static_cast<unsigned long long>(loop.refused.load()),
                elapsed, double(loop.frames.load()) / elapsed, width, height);

    core_handle_release(table, provider_handle);
    core_handle_release(table, provider_handle);
    core_handle_release(table, consumer_handle);
    core_handle_release(table, consumer_handle);
    ravk_monitor_list_free(&monitors);
    ravk_device_list_destroy(&list);
    XDestroyWindow(display, window);
    XCloseDisplay(display);
    engine_node_set_running(nullptr);
    ravk_shutdown();
    core_system_stop();
    return 0;
}
