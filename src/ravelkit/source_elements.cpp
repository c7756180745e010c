#include "ravelkit/source_elements.h"

#include <gst/gst.h>

#include <cstdio>
#include <cstring>

#include "ravelkit/elements.h"
#include "ravelkit/property.h"

namespace {

constexpr uint32_t UNSET32 = 0xFFFFFFFFu;

bool usable(uint32_t v) { return v != 0 && v != UNSET32; }

bool mode_valid(const CoreVideoMode &m)
{
    return usable(m.width) && usable(m.height) && usable(m.rate_num) && usable(m.rate_den);
}

bool format_usable(const RavkAudioFormat &f)
{
    return usable(f.rate) && f.channels != 0 && f.channels != 255 && f.bits_per_sample != 0 &&
           f.bits_per_sample != 255;
}

// Appends a property record; a record that cannot be made or added fails
// the builder.
bool add(RavkSourceOps *ops, RavkSourceDescriptor *d, RavkProperty *property)
{
    if (property == nullptr) return false;
    if (ops->add_property(d, property) != 0) {
        ravk_property_free(property);
        return false;
    }
    return true;
}

bool add_timestamp(RavkSourceOps *ops, RavkSourceDescriptor *d, const RavkDeviceRecord *r)
{
    if (r->flags & RAVK_DEVICE_NO_TIMESTAMP) return true;
    return add(ops, d, ravk_property_new_boolean("do-timestamp", 1));
}

// A record text as a terminated string.
void text_of(const RavkDeviceText &t, char out[RAVK_DEVICE_TEXT_SIZE + 1])
{
    uint64_t n = t.length < RAVK_DEVICE_TEXT_SIZE ? t.length : RAVK_DEVICE_TEXT_SIZE;
    memcpy(out, t.text, n);
    out[n] = 0;
}

CoreBuffer name_of(const RavkDeviceRecord *r)
{
    CoreBuffer b{};
    b.tag = r->name.tag;
    b.capacity = RAVK_DEVICE_TEXT_SIZE;
    b.length = r->name.length < RAVK_DEVICE_TEXT_SIZE ? r->name.length : RAVK_DEVICE_TEXT_SIZE;
    b.data = reinterpret_cast<uint8_t *>(const_cast<char *>(r->name.text));
    return b;
}

bool append_media_type(RavkSourceOps *ops, RavkSourceDescriptor *d, uint32_t codec)
{
    const char *type = ravk_media_type_name(codec);
    const char *subtype = ravk_media_subtype_name(codec);
    if (type == nullptr || subtype == nullptr) return true;
    return ops->append_caps_fmt(d, "%s/%s", type, subtype) == 0;
}

RavkSourceDescriptor *fail(RavkSourceDescriptor *d)
{
    ravk_source_desc_free(&d);
    return nullptr;
}

}  // namespace

uint32_t ravk_codec_id_from_video_fourcc(uint32_t fourcc)
{
    static const struct {
        char code[5];
        uint32_t codec;
    } table[] = {
        {"av01", RAVK_VIDEO_AV1}, {"H264", RAVK_VIDEO_H264}, {"H265", RAVK_VIDEO_H265}, {"MJPG", RAVK_VIDEO_MJPEG},
        {"VP8X", RAVK_VIDEO_VP8}, {"VP9X", RAVK_VIDEO_VP9},   {"theo", RAVK_VIDEO_THEORA},
    };
    for (const auto &row : table)
        if (fourcc == core_fourcc(row.code)) return ravk_video_codec_id(row.codec);
    return ravk_video_codec_id(RAVK_VIDEO_RAW);
}

uint32_t ravk_codec_id_from_audio_fourcc(uint32_t fourcc)
{
    static const struct {
        char code[5];
        uint32_t codec;
    } table[] = {
        {"aac ", RAVK_AUDIO_AAC}, {"aace", RAVK_AUDIO_AAC}, {"aacf", RAVK_AUDIO_AAC},   {"aacg", RAVK_AUDIO_AAC},
        {"aach", RAVK_AUDIO_AAC}, {"aacl", RAVK_AUDIO_AAC}, {"aacp", RAVK_AUDIO_AAC},   {"aacs", RAVK_AUDIO_AAC},
        {"opus", RAVK_AUDIO_OPUS}, {"alaw", RAVK_AUDIO_ALAW}, {"ulaw", RAVK_AUDIO_MULAW}, {"OGG ", RAVK_AUDIO_VORBIS},
    };
    for (const auto &row : table)
        if (fourcc == core_fourcc(row.code)) return ravk_audio_codec_id(row.codec);
    return ravk_audio_codec_id(RAVK_AUDIO_RAW);
}

int32_t ravk_source_app_video_node_type(int32_t backend)
{
    if (backend == RAVK_BACKEND_GSTREAMER) return RAVK_NODE_BINARY_SOURCE;
    if (backend == RAVK_BACKEND_PIPEWIRE) return RAVK_NODE_CAPTURE_SOURCE;
    return 0;
}

RavkSourceDescriptor *ravk_source_new_audio_capture(RavkSourceOps *ops, const RavkDeviceRecord *r)
{
    if (ops == nullptr || r == nullptr) return nullptr;
    const RavkAudioFormat &f = r->tail.audio.format;
    if (!format_usable(f)) return nullptr;
    const CoreBuffer name = name_of(r);
    auto *device = reinterpret_cast<GstDevice *>(uintptr_t(r->tail.audio.device_object));
    RavkSourceDescriptor *d =
        ravk_source_desc_new(ops, &r->id, &name, RAVK_NODE_CAPTURE_SOURCE, RAVK_CLASS_NATIVE, RAVK_MEDIA_AUDIO, device,
                             (r->flags & RAVK_DEVICE_DEFAULT) ? 1 : 0, (r->flags & RAVK_DEVICE_LOOPBACK) ? 1 : 0,
                             r->backend, 0);
    if (d == nullptr) return nullptr;
    char format_text[16];
    ravk_audio_format_text(&f, format_text, sizeof(format_text));
    ops->append_caps_fmt(d, "audio/x-raw, rate=%d, channels=%d, layout=(string)interleaved, format=(string)%s",
                         int(f.rate), int(f.channels), format_text);
    ops->set_factory(d, ravk_audio_source_factory_name(uint32_t(r->backend), RAVK_SOURCE_VARIANT_DEVICE));
    ops->set_fourcc(d, core_fourcc("lpcm"));
    if (ops->set_attribute(d, RAVK_ATTR_AUDIO_FORMAT, &f, sizeof(f)) != 0) return fail(d);

    if (!add_timestamp(ops, d, r)) return fail(d);
    char path[RAVK_DEVICE_TEXT_SIZE + 1];
    text_of(r->path, path);
    if (path[0] != 0 &&
        !add(ops, d, ravk_property_new_string(r->backend == RAVK_AUDIO_BACKEND_PIPEWIRE ? "target-object" : "device", path)))
        return fail(d);
    if ((r->backend == RAVK_AUDIO_BACKEND_WASAPI || r->backend == RAVK_AUDIO_BACKEND_WASAPI2) &&
        !add(ops, d, ravk_property_new_boolean("provide-clock", 0)))
        return fail(d);
    if (r->tail.audio.index != -1 &&
        !add(ops, d, ravk_property_new_int(r->backend == RAVK_AUDIO_BACKEND_OSX ? "device" : "device-index",
                                           r->tail.audio.index)))
        return fail(d);
    return d;
}

RavkSourceDescriptor *ravk_source_new_camera(RavkSourceOps *ops, const RavkDeviceRecord *r)
{
    if (ops == nullptr || r == nullptr) return nullptr;
    const CoreBuffer name = name_of(r);
    auto *device = reinterpret_cast<GstDevice *>(uintptr_t(r->tail.video.handle));
    RavkSourceDescriptor *d = ravk_source_desc_new(ops, &r->id, &name, RAVK_NODE_CAPTURE_SOURCE, RAVK_CLASS_NATIVE,
                                                   RAVK_MEDIA_VIDEO, device, 0, 0, 0, r->backend);
    if (d == nullptr) return nullptr;
    ops->set_factory(d, ravk_video_source_factory_name(uint32_t(r->backend), RAVK_SOURCE_VARIANT_DEVICE));
    ops->append_caps(d, "video/x-raw");
    const double scale = 1.0;
    if (ops->set_attribute(d, RAVK_ATTR_SCALE, &scale, sizeof(scale)) != 0 ||
        ops->set_attribute(d, RAVK_ATTR_VIDEO_MODE, &r->tail.video.mode, sizeof(CoreVideoMode)) != 0)
        return fail(d);
    if (!add_timestamp(ops, d, r)) return fail(d);
    if (r->tail.video.index != -1 && !add(ops, d, ravk_property_new_int("device-index", r->tail.video.index)))
        return fail(d);
    return d;
}

RavkSourceDescriptor *ravk_source_new_screen(RavkSourceOps *ops, const RavkDeviceRecord *r)
{
    if (ops == nullptr || r == nullptr) return nullptr;
    const CoreBuffer name = name_of(r);
    const int32_t backend = r->backend;
    const RavkDeviceVideoTail &v = r->tail.video;
    RavkSourceDescriptor *d = ravk_source_desc_new(ops, &r->id, &name, RAVK_NODE_CAPTURE_SOURCE, RAVK_CLASS_SCREEN,
                                                   RAVK_MEDIA_VIDEO, nullptr, 0, 0, 0, backend);
    if (d == nullptr) return nullptr;
    ops->set_factory(d, ravk_video_source_factory_name(uint32_t(backend), RAVK_SOURCE_VARIANT_DEVICE));
    if (backend == RAVK_BACKEND_D3D11)
        ops->append_caps_fmt(d, "video/x-raw(memory:%s)", "D3D11Memory");
    else
        ops->append_caps(d, "video/x-raw");
    const bool capture_backend = backend == RAVK_BACKEND_X11 || backend == RAVK_BACKEND_AVF ||
                                 backend == RAVK_BACKEND_D3D11 || backend == RAVK_BACKEND_D3D9;
    if (r->format_code != core_fourcc("NONE") && capture_backend) {
        char text[5];
        ops->set_fourcc(d, r->format_code);
        ops->append_caps_fmt(d, "format=(string)%s", ravk_fourcc_text(r->format_code, text));
    }
    if (usable(v.mode.width) && usable(v.mode.height) && (backend == RAVK_BACKEND_D3D11 || backend == RAVK_BACKEND_D3D9))
        ops->append_caps_fmt(d, "width=%u, height=%u", v.mode.width, v.mode.height);
    if (usable(v.mode.rate_num) && usable(v.mode.rate_den)) {
        if (backend == RAVK_BACKEND_X11 || backend == RAVK_BACKEND_D3D9)
            ops->append_caps_fmt(d, "framerate=(fraction)%u/%u", v.mode.rate_num, v.mode.rate_den);
        else if (backend == RAVK_BACKEND_AVF || backend == RAVK_BACKEND_D3D11)
            ops->append_caps_fmt(d, "framerate=(fraction)0/1, max-framerate=(fraction)%u/%u", v.mode.rate_num,
                                 v.mode.rate_den);
    }
    const struct {
        const char *name;
        int64_t value;
    } rect[] = {{"startx", v.start_x}, {"endx", v.end_x}, {"starty", v.start_y}, {"endy", v.end_y}};
    for (const auto &field : rect)
        if (field.value != RAVK_RECT_UNSET && !add(ops, d, ravk_property_new_uint(field.name, uint32_t(field.value))))
            return fail(d);
    if (ops->set_attribute(d, RAVK_ATTR_SCALE, &v.scale, sizeof(v.scale)) != 0 ||
        ops->set_attribute(d, RAVK_ATTR_VIDEO_MODE, &v.mode, sizeof(v.mode)) != 0)
        return fail(d);
    if (!add(ops, d, ravk_property_new_uint("blocksize", 65536)) || !add_timestamp(ops, d, r)) return fail(d);

    char path[RAVK_DEVICE_TEXT_SIZE + 1];
    text_of(r->path, path);
    switch (backend) {
    case RAVK_BACKEND_AVF:
        if (!add(ops, d, ravk_property_new_boolean("capture-screen", 1))) return fail(d);
        if (v.index != -1 && !add(ops, d, ravk_property_new_int("device-index", v.index))) return fail(d);
        break;
    case RAVK_BACKEND_X11:
        if (!add(ops, d, ravk_property_new_boolean("use-damage", 0))) return fail(d);
        if (path[0] != 0 && !add(ops, d, ravk_property_new_string("display-name", path))) return fail(d);
        break;
    case RAVK_BACKEND_D3D11:
        if (v.handle != 0 && !add(ops, d, ravk_property_new_uint64("monitor-handle", v.handle))) return fail(d);
        break;
    case RAVK_BACKEND_D3D9:
        if (v.index != -1 && !add(ops, d, ravk_property_new_int("monitor", v.index))) return fail(d);
        break;
    default: break;
    }
    return d;
}

RavkSourceDescriptor *ravk_source_new_audio_test(RavkSourceOps *ops, const RavkDeviceRecord *r)
{
    if (ops == nullptr || r == nullptr) return nullptr;
    const RavkDeviceAudioTail &a = r->tail.audio;
    char fourcc[5];
    ravk_fourcc_text(r->format_code, fourcc);
    CoreName id = r->id;
    if (core_name_is_empty(&id))
        core_name_format(&id, "atest.%s.%d.%.0f.%d.%d", fourcc, a.index, a.frequency, int(a.format.rate),
                         int(a.format.channels));
    const CoreBuffer name = name_of(r);
    RavkSourceDescriptor *d = ravk_source_desc_new(ops, &id, &name, RAVK_NODE_CAPTURE_SOURCE, RAVK_CLASS_TEST,
                                                   RAVK_MEDIA_AUDIO, nullptr, 0, 0, r->backend, 0);
    if (d == nullptr) return nullptr;
    char format_text[16];
    ravk_audio_format_text(&a.format, format_text, sizeof(format_text));
    ops->append_caps_fmt(d, "audio/x-raw, rate=%d, channels=%d, layout=(string)interleaved, format=(string)%s",
                         int(a.format.rate), int(a.format.channels), format_text);
    ops->set_factory(d, ravk_audio_source_factory_name(uint32_t(r->backend), RAVK_SOURCE_VARIANT_TEST));
    ops->set_fourcc(d, core_fourcc("lpcm"));
    if (ops->set_attribute(d, RAVK_ATTR_AUDIO_FORMAT, &a.format, sizeof(a.format)) != 0) return fail(d);
    if (!add(ops, d, ravk_property_new_boolean("is-live", 1)) || !add(ops, d, ravk_property_new_uint("blocksize", 2048)) ||
        !add(ops, d, ravk_property_new_int("wave", a.index)) || !add_timestamp(ops, d, r))
        return fail(d);
    if (a.frequency != 0 && !add(ops, d, ravk_property_new_double("freq", a.frequency))) return fail(d);
    return d;
}

RavkSourceDescriptor *ravk_source_new_video_test(RavkSourceOps *ops, const RavkDeviceRecord *r)
{
    if (ops == nullptr || r == nullptr) return nullptr;
    const RavkDeviceVideoTail &v = r->tail.video;
    char fourcc[5];
    ravk_fourcc_text(r->format_code, fourcc);
    CoreName id = r->id;
    if (core_name_is_empty(&id))
        core_name_format(&id, "vtest.%s.%d.%ux%u.%u/%u", fourcc, v.index, v.mode.width, v.mode.height, v.mode.rate_num,
                         v.mode.rate_den);
    const CoreBuffer name = name_of(r);
    RavkSourceDescriptor *d = ravk_source_desc_new(ops, &id, &name, RAVK_NODE_CAPTURE_SOURCE, RAVK_CLASS_TEST,
                                                   RAVK_MEDIA_VIDEO, nullptr, 0, 0, 0, r->backend);
    if (d == nullptr) return nullptr;
    if (r->backend == RAVK_BACKEND_D3D11)
        ops->append_caps_fmt(d, "video/x-raw(memory:%s)", "D3D11Memory");
    else
        ops->append_caps(d, "video/x-raw");
    ops->append_caps_fmt(d, "width=%u, height=%u, framerate=(fraction)0/1, max-framerate=(fraction)%u/%u, format=(string)%s",
                         v.mode.width, v.mode.height, v.mode.rate_num, v.mode.rate_den, fourcc);
    ops->set_factory(d, ravk_video_source_factory_name(uint32_t(r->backend), RAVK_SOURCE_VARIANT_TEST));
    ops->set_fourcc(d, r->format_code);
    const double scale = 1.0;
    if (ops->set_attribute(d, RAVK_ATTR_SCALE, &scale, sizeof(scale)) != 0 ||
        ops->set_attribute(d, RAVK_ATTR_VIDEO_MODE, &v.mode, sizeof(v.mode)) != 0)
        return fail(d);
    if (!add(ops, d, ravk_property_new_int("pattern", v.index)) || !add(ops, d, ravk_property_new_boolean("is-live", 1)) ||
        !add_timestamp(ops, d, r))
        return fail(d);
    if (r->backend == RAVK_BACKEND_GSTREAMER && !add(ops, d, ravk_property_new_int("horizontal-speed", 1)))
        return fail(d);
    return d;
}

int ravk_source_setup_app_video(RavkSourceDescriptor *d, RavkSourceOps *ops, const RavkDeviceRecord *r)
{
    if (d == nullptr || ops == nullptr || r == nullptr) return -1;
    const RavkDeviceAppVideoTail &t = r->tail.app_video;
    const int32_t backend = r->backend;
    const bool has_fourcc = r->format_code != core_fourcc("NONE");
    char fourcc[5];
    ravk_fourcc_text(r->format_code, fourcc);
    uint32_t codec = 0;
    ops->get_codec(d, &codec);
    ops->set_fourcc(d, r->format_code);
    ops->set_factory(d, ravk_video_source_factory_name(uint32_t(backend), backend == RAVK_BACKEND_PIPEWIRE
                                                                                ? RAVK_SOURCE_VARIANT_DEVICE
                                                                                : RAVK_SOURCE_VARIANT_APP));
    if (backend == RAVK_BACKEND_PIPEWIRE) {
        char path[RAVK_DEVICE_TEXT_SIZE + 1];
        text_of(r->path, path);
        if (!add(ops, d, ravk_property_new_int("fd", r->number)) || !add(ops, d, ravk_property_new_string("path", path)))
            return -1;
        const bool size = usable(t.mode.width) && usable(t.mode.height);
        const bool rate = usable(t.mode.rate_num) && usable(t.mode.rate_den);
        if ((has_fourcc || size || rate) && !append_media_type(ops, d, codec)) return -1;
        if (has_fourcc) ops->append_caps_fmt(d, "format=(string)%s", fourcc);
        if (size) ops->append_caps_fmt(d, "width=%u, height=%u", t.mode.width, t.mode.height);
        if (rate)
            ops->append_caps_fmt(d, "framerate=(fraction)0/1, max-framerate=(fraction)%u/%u", t.mode.rate_num,
                                 t.mode.rate_den);
    } else if (backend == RAVK_BACKEND_GSTREAMER) {
        if (!add(ops, d, ravk_property_new_int("stream-type", 0)) || !add(ops, d, ravk_property_new_boolean("is-live", 1)) ||
            !add(ops, d, ravk_property_new_int("format", 2)))
            return -1;
        if (!append_media_type(ops, d, codec)) return -1;
        if (has_fourcc) ops->append_caps_fmt(d, "format=(string)%s", fourcc);
        const CoreVideoMode *chosen = mode_valid(t.mode_b) ? &t.mode_b : mode_valid(t.mode) ? &t.mode : nullptr;
        if (chosen != nullptr) {
            ops->append_caps_fmt(d, "width=%u, height=%u", chosen->width, chosen->height);
            ops->append_caps_fmt(d, "framerate=(fraction)0/1, max-framerate=(fraction)%u/%u", chosen->rate_num,
                                 chosen->rate_den);
        }
        if (r->block_size != 0 && !add(ops, d, ravk_property_new_uint("blocksize", uint32_t(r->block_size)))) return -1;
        if (!add(ops, d, ravk_property_new_uint64("max-bytes", 0)) || !add(ops, d, ravk_property_new_int("leaky-type", 1)) ||
            !add(ops, d, ravk_property_new_uint64("max-buffers", 1)) || !add(ops, d, ravk_property_new_uint64("max-time", 0)))
            return -1;
    }
    const double scale = 1.0;
    const CoreVideoMode zero{0, 0, 0, 0};
    if (ops->set_attribute(d, RAVK_ATTR_SCALE, &scale, sizeof(scale)) != 0 ||
        ops->set_attribute(d, RAVK_ATTR_VIDEO_MODE, mode_valid(t.mode) ? &t.mode : &zero, sizeof(CoreVideoMode)) != 0 ||
        ops->set_attribute(d, RAVK_ATTR_MODE_A, mode_valid(t.mode_a) ? &t.mode_a : &zero, sizeof(CoreVideoMode)) != 0 ||
        ops->set_attribute(d, RAVK_ATTR_MODE_B, mode_valid(t.mode_b) ? &t.mode_b : &zero, sizeof(CoreVideoMode)) != 0)
        return -1;
    return add_timestamp(ops, d, r) ? 0 : -1;
}

int ravk_source_setup_app_audio(RavkSourceDescriptor *d, RavkSourceOps *ops, const RavkDeviceRecord *r)
{
    if (d == nullptr || ops == nullptr || r == nullptr) return -1;
    const RavkAudioFormat &f = r->tail.audio.format;
    uint32_t codec = 0;
    ops->get_codec(d, &codec);
    ops->set_fourcc(d, r->format_code);
    if (!append_media_type(ops, d, codec)) return -1;
    char format_text[16];
    ravk_audio_format_text(&f, format_text, sizeof(format_text));
    ops->append_caps_fmt(d, "rate=%d, channels=%d, layout=(string)interleaved, format=(string)%s", int(f.rate),
                         int(f.channels), format_text);
    if (ops->set_attribute(d, RAVK_ATTR_AUDIO_FORMAT, &f, sizeof(f)) != 0) return -1;
    if (!add(ops, d, ravk_property_new_int("stream-type", 0)) || !add(ops, d, ravk_property_new_boolean("is-live", 1)) ||
        !add(ops, d, ravk_property_new_int("format", 2)) || !add_timestamp(ops, d, r))
        return -1;
    if (r->block_size != 0 && !add(ops, d, ravk_property_new_uint("blocksize", uint32_t(r->block_size)))) return -1;
    if (!add(ops, d, ravk_property_new_uint64("max-bytes", 0)) || !add(ops, d, ravk_property_new_int("leaky-type", 1)) ||
        !add(ops, d, ravk_property_new_uint64("max-buffers", 0)) ||
        !add(ops, d, ravk_property_new_uint64("max-time", 1000000000)))
        return -1;
    return 0;
}
