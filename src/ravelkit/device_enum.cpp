#include "ravelkit/device_enum.h"

#include <gst/gst.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "core/clock.h"
#include "core/log.h"
#include "core/notify.h"
#include "core/sha256.h"
#include "ravelkit/screens.h"

namespace {

std::atomic<RavkDeviceEnumerator *> g_enumerator{nullptr};

constexpr uint64_t TEXT_SIZE = RAVK_DEVICE_TEXT_SIZE;

void join_words(std::string *out, uint32_t bits, const char *const *words, uint32_t known_bits)
{
    if (bits == 0) {
        *out = "none";
        return;
    }
    for (uint32_t i = 0; (1u << i) & known_bits; i++) {
        if (!(bits & (1u << i))) continue;
        if (!out->empty()) *out += "|";
        *out += words[i];
    }
    if (bits & ~known_bits) *out += out->empty() ? "unknown" : "|unknown";
}

// A property or object value as text: serialised, at most 1023 characters.
// gst_value_serialize answers NULL for a NULL string, which reads as empty.
std::string serialise(const GValue *value)
{
    if (value == nullptr) return std::string();
    gchar *text = gst_value_serialize(value);
    std::string out = text ? std::string(text).substr(0, TEXT_SIZE - 1) : std::string();
    g_free(text);
    return out;
}

std::string clean(const std::string &text)
{
    char out[TEXT_SIZE];
    ravk_enum_clean_text(text.c_str(), out, sizeof(out));
    return out;
}

std::string structure_text(const GstStructure *s, const char *field)
{
    return clean(serialise(gst_structure_get_value(s, field)));
}

// The text of an object property of the device, or "" when it has none.
std::string object_text(GstDevice *device, const char *property)
{
    GParamSpec *pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(device), property);
    if (pspec == nullptr) return std::string();
    GValue value = G_VALUE_INIT;
    g_value_init(&value, pspec->value_type);
    g_object_get_property(G_OBJECT(device), property, &value);
    std::string out = clean(serialise(&value));
    g_value_unset(&value);
    return out;
}

void hash_id(const std::string &text, CoreName *id)
{
    CoreSha256 sha;
    core_sha256_init(&sha);
    core_sha256_update(&sha, text.data(), text.size());
    memset(id, 0, sizeof(*id));
    core_sha256_final(&sha, id->key);
    core_name_make(id);
}

// PulseAudio's capture sources. The PipeWire provider reports the same
// endpoints again with "pipewire-proplist": those are left out so that no
// device is listed twice.
bool pulse_identity(GstDevice *device, const GstStructure *props, std::string *id)
{
    if (props == nullptr || !gst_structure_has_name(props, "pulse-proplist")) return false;
    *id = object_text(device, "internal-name");
    return !id->empty();
}

void audio_added(RavkDeviceEnumerator *, GstDevice *device, const GstStructure *props, GstCaps *caps,
                 const RavkDeviceText *name)
{
    std::string id_text;
    if (!pulse_identity(device, props, &id_text)) return;
    if (structure_text(props, "device.description").empty()) return;
    gboolean is_default = FALSE;
    if (!gst_structure_get_boolean(props, "is-default", &is_default))
        is_default = object_text(device, "is-default").rfind("true", 0) == 0;
    const bool loopback = structure_text(props, "device.class") == "monitor";

    RavkDeviceRecord record;
    ravk_device_record_init(&record);
    memset(&record.tail, 0, sizeof(record.tail));
    hash_id(id_text, &record.id);
    record.name = *name;
    ravk_device_text_set(&record.path, 0, id_text.c_str(), id_text.size());
    record.flags = (is_default ? uint32_t(RAVK_DEVICE_DEFAULT) : 0u) | (loopback ? uint32_t(RAVK_DEVICE_LOOPBACK) : 0u);
    record.backend = RAVK_AUDIO_BACKEND_PULSE;
    record.tail.audio.format = ravk_enum_audio_format(caps);
    record.tail.audio.index = -1;
    record.tail.audio.device_object = reinterpret_cast<uintptr_t>(device);
    ravk_device_event_post(RAVK_DEVICE_AUDIO_ADDED, &record, RAVK_DEVICE_RECORD_AUDIO_SIZE);
}

void audio_removed(RavkDeviceEnumerator *, GstDevice *device, const GstStructure *props)
{
    std::string id_text;
    if (!pulse_identity(device, props, &id_text)) return;
    RavkDeviceRecord record;
    ravk_device_record_init(&record);
    memset(&record.tail, 0, sizeof(record.tail));
    hash_id(id_text, &record.id);
    record.backend = RAVK_AUDIO_BACKEND_PULSE;
    record.tail.audio.index = -1;
    ravk_device_event_post(RAVK_DEVICE_AUDIO_REMOVED, &record, RAVK_DEVICE_RECORD_AUDIO_SIZE);
}

void camera_event(GstDevice *device, const RavkDeviceText *name, bool added)
{
    RavkDeviceRecord record;
    ravk_device_record_init(&record);
    hash_id(std::string(name->text, name->length), &record.id);
    if (added) {
        record.name = *name;
        record.tail.video.mode = CoreVideoMode{0, 0, 0, 0};
        record.tail.video.handle = reinterpret_cast<uintptr_t>(device);
    }
    ravk_device_event_post(added ? RAVK_DEVICE_CAMERA_ADDED : RAVK_DEVICE_CAMERA_REMOVED, &record,
                           RAVK_DEVICE_RECORD_CAMERA_SIZE);
}

void classify(RavkDeviceEnumerator *e, GstDevice *device, bool added)
{
    GstCaps *caps = gst_device_get_caps(device);
    gchar *caps_text = caps ? gst_caps_to_string(caps) : nullptr;
    gchar *device_class = gst_device_get_device_class(device);
    gchar *display = gst_device_get_display_name(device);
    GstStructure *props = gst_device_get_properties(device);
    RavkDeviceText name;
    char fallback[64];
    snprintf(fallback, sizeof(fallback), "device %p", static_cast<void *>(device));
    const char *name_text = display ? display : fallback;
    ravk_device_text_set(&name, 1, name_text, strlen(name_text));

    if (caps_text != nullptr && device_class != nullptr) {
        const uint32_t media = e->filter.media;
        const bool native = e->filter.device_class & RAVK_CLASS_NATIVE;
        if (g_str_has_prefix(caps_text, "audio/x-raw") && strstr(device_class, "Audio/Source") &&
            (media & RAVK_MEDIA_AUDIO) && native) {
            if (added)
                audio_added(e, device, props, caps, &name);
            else
                audio_removed(e, device, props);
        } else if (g_str_has_prefix(caps_text, "video/x-raw") && strstr(device_class, "Video/Source") &&
                   (media & RAVK_MEDIA_VIDEO) && native) {
            camera_event(device, &name, added);
        }
    }
    if (props) gst_structure_free(props);
    g_free(display);
    g_free(device_class);
    g_free(caps_text);
    if (caps) gst_caps_unref(caps);
}

void watch_destroyed(gpointer data)
{
    static_cast<RavkDeviceEnumerator *>(data)->watches.fetch_sub(1);
}

gboolean bus_watch(GstBus *bus, GstMessage *message, gpointer data)
{
    return ravk_enum_bus_watch(bus, message, data);
}

gboolean quit_loop(gpointer data)
{
    g_main_loop_quit(static_cast<GMainLoop *>(data));
    return G_SOURCE_REMOVE;
}

void free_enumerator(RavkDeviceEnumerator *e)
{
    if (e->wake_fd >= 0) close(e->wake_fd);
    free(e->screens);
    delete e;
}

}  // namespace

char *ravk_enum_clean_text(const char *text, char *out, uint64_t size)
{
    if (out == nullptr || size == 0) return out;
    out[0] = 0;
    if (text == nullptr) return out;
    size_t begin = 0, end = strlen(text);
    if (end > begin && text[end - 1] == '"') end--;
    if (end > begin && text[begin] == '"') begin++;
    uint64_t n = 0;
    for (size_t i = begin; i < end && n + 1 < size; i++) {
        if (text[i] == '\\' && i + 1 < end) i++;
        out[n++] = text[i];
    }
    out[n] = 0;
    return out;
}

RavkAudioFormat ravk_enum_audio_format(const GstCaps *caps)
{
    RavkAudioFormat f{};
    f.rate = 48000;
    f.channels = 2;
    std::string first, chosen;
    bool has_s16 = false, has_f32 = false;
    const guint n = caps ? gst_caps_get_size(caps) : 0;
    for (guint i = 0; i < n; i++) {
        const GstStructure *s = gst_caps_get_structure(caps, i);
        if (!gst_structure_has_name(s, "audio/x-raw")) continue;
        const char *fields[2] = {"rate", "channels"};
        for (int k = 0; k < 2; k++) {
            const GValue *v = gst_structure_get_value(s, fields[k]);
            if (v == nullptr) continue;
            int64_t value = k == 0 ? f.rate : f.channels;
            if (GST_VALUE_HOLDS_INT_RANGE(v)) {
                value = std::max<int64_t>(value, gst_value_get_int_range_min(v));
                value = std::min<int64_t>(value, gst_value_get_int_range_max(v));
            } else if (G_VALUE_HOLDS_INT(v)) {
                value = g_value_get_int(v);
            } else if (G_VALUE_HOLDS_UINT(v)) {
                value = g_value_get_uint(v);
            }
            if (k == 0)
                f.rate = uint32_t(value);
            else
                f.channels = uint8_t(std::min<int64_t>(std::max<int64_t>(value, 0), 255));
        }
        const GValue *formats = gst_structure_get_value(s, "format");
        auto note = [&](const GValue *v) {
            if (v == nullptr || !G_VALUE_HOLDS_STRING(v) || g_value_get_string(v) == nullptr) return;
            std::string text = g_value_get_string(v);
            if (first.empty()) first = text;
            has_s16 |= text == "S16LE";
            has_f32 |= text == "F32LE";
        };
        if (formats != nullptr && GST_VALUE_HOLDS_LIST(formats)) {
            for (guint j = 0; j < gst_value_list_get_size(formats); j++) note(gst_value_list_get_value(formats, j));
        } else {
            note(formats);
        }
    }
    chosen = has_s16 ? "S16LE" : has_f32 ? "F32LE" : first.empty() ? "S16LE" : first;
    f.sample_type = 'S';
    for (char c : chosen) {
        if (c == 'U' || c == 'S' || c == 'F') {
            f.sample_type = c;
            break;
        }
    }
    uint32_t bits = 0;
    bool digits = false;
    for (char c : chosen) {
        if (c == '_') break;
        if (c >= '0' && c <= '9' && bits < 1000) {
            bits = bits * 10 + uint32_t(c - '0');
            digits = true;
        }
    }
    f.bits_per_sample = uint8_t(digits ? std::min<uint32_t>(bits, 255) : 16);
    f.byte_order = chosen.find("LE") != std::string::npos ? RAVK_AUDIO_BYTE_ORDER_LE : 0x4245;
    return f;
}

void ravk_enum_device_added(RavkDeviceEnumerator *e, GstDevice *device) { classify(e, device, true); }

void ravk_enum_device_removed(RavkDeviceEnumerator *e, GstDevice *device) { classify(e, device, false); }

int ravk_enum_bus_watch(GstBus *, GstMessage *message, void *data)
{
    auto *e = static_cast<RavkDeviceEnumerator *>(data);
    GstDevice *device = nullptr;
    if (core_log_enabled(CORE_LOG_DEBUG))
        core_log(CORE_LOG_DEBUG, "ravk", "device monitor: %s", GST_MESSAGE_TYPE_NAME(message));
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_DEVICE_ADDED:
        gst_message_parse_device_added(message, &device);
        ravk_enum_device_added(e, device);
        break;
    case GST_MESSAGE_DEVICE_REMOVED:
        gst_message_parse_device_removed(message, &device);
        ravk_enum_device_removed(e, device);
        break;
    case GST_MESSAGE_DEVICE_CHANGED: {
        GstDevice *old = nullptr;
        gst_message_parse_device_changed(message, &device, &old);
        ravk_enum_device_removed(e, old ? old : device);
        ravk_enum_device_added(e, device);
        if (old) gst_object_unref(old);
        break;
    }
    default: break;
    }
    if (device) gst_object_unref(device);
    return TRUE;
}

int ravk_device_enum_thread(void **args)
{
    auto *e = static_cast<RavkDeviceEnumerator *>(args[0]);
    static const char *const directions[] = {"source", "sink"};
    static const char *const media[] = {"audio", "video"};
    static const char *const classes[] = {"native", "screen", "virtual", "test"};
    std::string d, m, c;
    join_words(&d, e->filter.direction, directions, 3);
    join_words(&m, e->filter.media, media, 3);
    join_words(&c, e->filter.device_class, classes, 15);

    GstBus *bus = nullptr;
    guint watch = 0;
    e->loop = g_main_loop_new(nullptr, FALSE);
    if (e->loop == nullptr) goto end;

    if (e->filter.device_class & (RAVK_CLASS_NATIVE | RAVK_CLASS_SCREEN)) {
        e->monitor = gst_device_monitor_new();
        if (e->monitor == nullptr) goto end;
        if (e->filter.show_all) gst_device_monitor_set_show_all_devices(e->monitor, TRUE);
        bus = gst_device_monitor_get_bus(e->monitor);
        if (bus == nullptr) goto end;
        char name[4096];
        snprintf(name, sizeof(name), "enum-bus.%s.%s.%s", d.c_str(), m.c_str(), c.c_str());
        gst_object_set_name(GST_OBJECT(bus), name);
        e->watches.fetch_add(1);
        watch = gst_bus_add_watch_full(bus, G_PRIORITY_DEFAULT, bus_watch, e, watch_destroyed);
        if (watch == 0) {
            e->watches.fetch_sub(1);
            goto end;
        }
        if (!gst_device_monitor_start(e->monitor)) goto end;
    }
    if (e->filter.device_class & RAVK_CLASS_SCREEN) {
        ravk_screens_enum_x11(e);
        e->monitoring.store(1);
        e->change_thread = core_thread_start(ravk_monitor_change_thread, e, nullptr, "ravk-randr");
        if (e->change_thread == nullptr) goto end;
    }
    e->starting.store(0);
    g_main_loop_run(e->loop);

end:
    e->starting.store(0);
    e->monitoring.store(0);
    if (e->change_thread != nullptr) {
        uint64_t one = 1;
        if (write(e->wake_fd, &one, sizeof(one)) != sizeof(one))
            core_log(CORE_LOG_WARN, "ravk", "cannot wake the screen change thread");
        core_thread_join(&e->change_thread);
    }
    {
        CoreLockGuard guard(&e->delayed_lock);
        ravk_delayed_call_free(&e->delayed);
    }
    if (e->monitor != nullptr) gst_device_monitor_stop(e->monitor);
    if (bus != nullptr) {
        if (watch != 0) gst_bus_remove_watch(bus);
        gst_object_unref(bus);
    }
    if (e->monitor != nullptr) gst_object_unref(e->monitor);
    e->monitor = nullptr;
    return 0;
}

int ravk_device_enum_create(const RavkDeviceEnumConfig *config)
{
    if (config == nullptr || g_enumerator.load() != nullptr) return -1;
    auto *e = new (std::nothrow) RavkDeviceEnumerator();
    if (e == nullptr) return -1;
    e->filter = *config;
    e->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    e->screen_capacity = 8;
    e->screens = static_cast<CoreName *>(calloc(e->screen_capacity, sizeof(CoreName)));
    if (e->wake_fd < 0 || e->screens == nullptr || core_notify_channel_create_str(RAVK_DEVICE_CHANNEL) != CORE_OK) {
        free_enumerator(e);
        return -1;
    }
    g_enumerator.store(e, std::memory_order_release);
    return 0;
}

RavkDeviceEnumerator *ravk_device_enum_instance(void) { return g_enumerator.load(std::memory_order_acquire); }

int ravk_device_enum_start(void)
{
    RavkDeviceEnumerator *e = ravk_device_enum_instance();
    if (e == nullptr || e->thread != nullptr) return -1;
    uint64_t drained;
    if (read(e->wake_fd, &drained, sizeof(drained)) < 0) drained = 0;
    e->starting.store(1);
    e->thread = core_thread_start(ravk_device_enum_thread, e, nullptr, "ravk-enum");
    if (e->thread == nullptr) {
        e->starting.store(0);
        return -1;
    }
    const uint64_t begin = core_clock_mono_ms();
    while (e->starting.load() == 1 && core_clock_mono_ms() - begin < 3000) usleep(100 * 1000);
    return 0;
}

void ravk_device_enum_stop(void)
{
    RavkDeviceEnumerator *e = ravk_device_enum_instance();
    if (e == nullptr || e->thread == nullptr) return;
    // A quit before the loop runs would be lost; an idle source on the same
    // context quits it once it does.
    guint idle = 0;
    if (e->loop != nullptr) {
        g_main_loop_quit(e->loop);
        idle = g_idle_add_full(G_PRIORITY_HIGH, quit_loop, g_main_loop_ref(e->loop),
                               reinterpret_cast<GDestroyNotify>(g_main_loop_unref));
    }
    if (core_thread_join(&e->thread) != 0) core_log(CORE_LOG_ERROR, "ravk", "enumerator thread abandoned");
    // Still pending when the direct quit came in time.
    if (idle != 0) {
        GSource *source = g_main_context_find_source_by_id(nullptr, idle);
        if (source != nullptr) g_source_destroy(source);
    }
    if (e->loop != nullptr) g_main_loop_unref(e->loop);
    e->loop = nullptr;
    e->screen_count = 0;
}

void ravk_device_enum_destroy(void)
{
    RavkDeviceEnumerator *e = ravk_device_enum_instance();
    if (e == nullptr) return;
    core_notify_channel_remove(RAVK_DEVICE_CHANNEL);
    ravk_device_enum_stop();
    g_enumerator.store(nullptr, std::memory_order_release);
    // The default context may still be inside our bus watch on another
    // thread; the watch's destroy notify says when it has let go.
    while (e->watches.load() != 0) usleep(5 * 1000);
    free_enumerator(e);
}
