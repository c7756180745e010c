#include "ravelkit/provider.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/handle.h"
#include "core/values.h"
#include "ravelkit/codecs.h"
#include "ravelkit/consumer.h"
#include "ravelkit/datapath.h"
#include "ravelkit/elements.h"
#include "ravelkit/linux_values.h"
#include "ravelkit/presets.h"
#include "ravelkit/source.h"

namespace
{

CoreHandleTable *pipelines() { return core_handle_tables[CORE_HANDLES_PIPELINES]; }

bool term_valid(uint32_t v) { return v != 0 && v != UINT32_MAX; }
bool mode_valid(const CoreVideoMode &m)
{
    return term_valid(m.width) && term_valid(m.height) && term_valid(m.rate_num) &&
           term_valid(m.rate_den);
}
bool rate_valid(const RavkFraction &f) { return term_valid(f.numerator) && term_valid(f.denominator); }
bool audio_format_valid(const RavkAudioFormat &f)
{
    return term_valid(f.rate) && f.channels != 0 && f.channels != 0xFF && f.bits_per_sample != 0 &&
           f.bits_per_sample != 0xFF;
}

bool stream_name_set(const CoreName &name)
{
    if (core_name_is_empty(&name)) return false;
    CoreName plain, split;
    core_name_format(&plain, "stream.%08X", 0xFFFFFFFFu);
    core_name_format(&split, "split.stream.%08X", 0xFFFFFFFFu);
    return std::memcmp(name.key, plain.key, sizeof(name.key)) != 0 &&
           std::memcmp(name.key, split.key, sizeof(name.key)) != 0;
}

// Acquires the device node of an id; *handle gets the reference to release.
RavkDeviceNode *device_acquire(RavkDeviceList *list, const CoreName &id, uint64_t *handle)
{
    *handle = list != nullptr ? ravk_device_list_find(list, &id, 1) : 0;
    if (*handle == 0) return nullptr;
    auto *node = static_cast<RavkDeviceNode *>(core_handle_acquire(core_handle_tables[CORE_HANDLES_DEVICES], *handle));
    if (node == nullptr) *handle = 0;
    return node;
}
void device_release(uint64_t handle) { core_handle_release(core_handle_tables[CORE_HANDLES_DEVICES], handle); }

template <typename T>
bool device_attribute(RavkDeviceList *list, const CoreName &id, uint32_t attribute,
                      T *out)
{
    uint64_t handle = 0;
    RavkDeviceNode *node = device_acquire(list, id, &handle);
    if (node == nullptr) return false;
    RavkSourceDescriptor *d = ravk_device_node_desc(node, -1);
    bool ok = d != nullptr && node->ops.get_attribute(d, attribute, out, sizeof(T)) == 0;
    device_release(handle);
    return ok;
}

bool config_valid(const RavkProviderConfig *c)
{
    if (c->media == 0) return false;
    if (c->media & RAVK_MEDIA_UNCHECKED) return true;
    uint32_t container = ravk_media_container(c->media);
    if ((c->media & RAVK_MEDIA_MUXED) && (container < 1 || container > 7)) return false;
    if (c->media & RAVK_MEDIA_AUDIO) {
        uint64_t handle = 0;
        if (device_acquire(c->audio.devices, c->audio.device, &handle) == nullptr) return false;
        device_release(handle);
        if (stream_name_set(c->audio.stream)) {
            uint32_t codec = ravk_media_audio_codec(c->media);
            RavkAudioFormat device = {};
            if (codec < 1 || codec > 6 || !audio_format_valid(c->audio.format.audio) ||
                !device_attribute(c->audio.devices, c->audio.device, RAVK_ATTR_AUDIO_FORMAT, &device) ||
                !audio_format_valid(device))
                return false;
        }
    }
    if (c->media & RAVK_MEDIA_VIDEO) {
        uint64_t handle = 0;
        if (device_acquire(c->video.devices, c->video.device, &handle) == nullptr) return false;
        device_release(handle);
        if (!stream_name_set(c->video.stream)) return true;
        uint32_t codec = ravk_media_video_codec(c->media);
        CoreVideoMode device = {};
        if (codec < 1 || codec > 8 || !mode_valid(c->video.format.video) ||
            !device_attribute(c->video.devices, c->video.device, RAVK_ATTR_VIDEO_MODE, &device) ||
            !mode_valid(device))
            return false;
    }
    return true;
}

RavkProvider *acquire(void **user, uint64_t *handle)
{
    *handle = reinterpret_cast<uint64_t>(user[1]);
    return static_cast<RavkProvider *>(core_handle_acquire(static_cast<CoreHandleTable *>(user[0]), *handle));
}

int post_samples(RavkProvider *p, const RavkSampleBatchHeader *header, RavkSample *first, uint64_t total)
{
    uint64_t length = total;
    return ravk_pipeline_event_post(&p->channel, RAVK_EVENT_SAMPLES, header, sizeof(*header), first, &length);
}

// Posts the collected chain and empties the batch. The headers sit at
// arbitrary offsets of the byte buffer, so they are read and written with
// memcpy.
void batch_flush(RavkProvider *p, RavkSampleBatch *batch)
{
    if (batch->buffer == nullptr || batch->used == 0) return;
    RavkSample last;
    std::memcpy(&last, batch->buffer + batch->last, sizeof(last));
    last.next = nullptr;
    std::memcpy(batch->buffer + batch->last, &last, sizeof(last));
    post_samples(p, &batch->header, reinterpret_cast<RavkSample *>(batch->buffer), batch->used);
    batch->used = 0;
}

void batch_append(RavkSampleBatch *batch, const RavkSample *sample)
{
    uint8_t *at = batch->buffer + batch->used;
    RavkSample header = *sample;
    header.data = at + sizeof(RavkSample);
    header.next = reinterpret_cast<RavkSample *>(at + sizeof(RavkSample) + sample->size);
    std::memcpy(at, &header, sizeof(header));
    if (sample->size != 0) std::memcpy(at + sizeof(RavkSample), sample->data, sample->size);
    batch->last = batch->used;
    batch->used += sizeof(RavkSample) + sample->size;
}

uint32_t value_entry(const char *name, uint32_t index)
{
    CoreValueList *list = core_process_valuelist(1);
    uint32_t value = 0;
    uint64_t size = 0;
    if (list == nullptr || core_valuelist_get(list, name, index, nullptr, &value, sizeof(value), &size) != 0 ||
        size != sizeof(value))
        return 0;
    return value;
}

RavkNode *live_queue(RavkMediaFlags media, int32_t index, const char *name, int64_t max_buffers, int leaky)
{
    RavkNode *q = ravk_node_new_by_type(RAVK_NODE_LIVE_QUEUE, media, index, name, nullptr, 1, 1);
    if (q == nullptr) return nullptr;
    if (max_buffers >= 0) ravk_node_add_property(q, RAVK_PROPS_ELEMENT, ravk_property_new_uint("max-size-buffers", uint32_t(max_buffers)));
    if (leaky >= 0) ravk_node_add_property(q, RAVK_PROPS_ELEMENT, ravk_property_new_int("leaky", leaky));
    return q;
}

bool append(RavkBranch *branch, RavkNode *node)
{
    if (node == nullptr) return false;
    if (ravk_chain_append(&branch->chain, node) == nullptr) {
        ravk_node_free(&node);
        return false;
    }
    return true;
}

RavkBranch *branch_of(RavkProvider *p, uint32_t kind)
{
    for (RavkBranch *b = p->branches.first; b != nullptr; b = b->next)
        if (b->kind == kind) return b;
    return nullptr;
}

// The source node of a device; fills the node type, FourCC and (video) the
// backend and class of its preferred descriptor.
RavkNode *source_node(RavkDeviceList *list, const CoreName &id, int32_t *node_type, uint32_t *fourcc,
                      int32_t *backend, uint32_t *device_class)
{
    uint64_t handle = 0;
    RavkDeviceNode *device = device_acquire(list, id, &handle);
    if (device == nullptr) return nullptr;
    RavkSourceDescriptor *d = ravk_device_node_desc(device, -1);
    RavkNode *node = nullptr;
    if (d != nullptr && device->ops.get_node_type(d, node_type) == 0 && device->ops.get_fourcc(d, fourcc) == 0 &&
        (backend == nullptr || device->ops.get_video_backend(d, backend) == 0) &&
        (device_class == nullptr || device->ops.get_class(d, device_class) == 0))
        node = ravk_node_new_from_source(device);
    device_release(handle);
    return node;
}

RavkNode *app_sink(RavkProvider *p, RavkMediaFlags media, int32_t index)
{
    RavkNode *sink = ravk_node_new_by_type(RAVK_NODE_BINARY_SINK, media, index, nullptr, nullptr, 1, 1);
    if (sink == nullptr) return nullptr;
    void *user[2] = {pipelines(), reinterpret_cast<void *>(p->handle)};
    if (ravk_node_set_sample_callback(sink, ravk_provider_on_sample, user) != 0) ravk_node_free(&sink);
    return sink;
}

// The local preview: a tee (when an encoding path follows it) that feeds
// the preview sink on index 1 and the encoding path on index 2, each behind
// the queue the assembly gives a tee. The preview shows what is captured as
// it comes, so its sink does not wait for the clock.
bool append_preview(RavkProvider *p, RavkBranch *branch, RavkMediaFlags media, bool tee, RavkNode *source,
                    int32_t video_backend)
{
    const bool video = (media & RAVK_MEDIA_VIDEO) != 0;
    if (tee && !append(branch, ravk_node_new_by_type(RAVK_NODE_TEE, media, 1, nullptr, nullptr, 1, 1))) return false;
    const uint32_t backend = value_entry(video ? "frmwrk.vid.prov.pipe" : "frmwrk.aud.prov.pipe", 0);
    if (backend == 0) return false;
    RavkNode *sink = video ? ravk_video_sink_node_new(int32_t(backend)) : ravk_audio_sink_node_new(backend);
    if (sink == nullptr) return false;
    ravk_node_add_property(sink, RAVK_PROPS_ELEMENT, ravk_property_new_boolean("sync", 0));
    // Video sinks learn the formats they draw only from their window system
    // (ximagesink's template takes any), so video always gets a converter;
    // it passes buffers through when the formats agree.
    const int link = video ? 0 : ravk_node_can_link(source, sink, nullptr);
    if (link == -1) {
        ravk_node_free(&sink);
        return false;
    }
    if (link == 0) {
        RavkNode *convert = video ? ravk_node_new_color_convert(media, nullptr, "preview_convert", video_backend, 1)
                                  : ravk_node_new_audio_convert(media, "preview_convert", 1);
        if (!append(branch, convert)) {
            ravk_node_free(&sink);
            return false;
        }
    }
    if (!append(branch, sink)) return false;
    p->preview_sink = sink;
    return true;
}

int build_audio(RavkProvider *p, uint64_t bitrate)
{
    RavkBranch *branch = branch_of(p, 0);
    const RavkProviderAudioStream &s = p->config.audio;
    RavkMediaFlags media = p->config.media & ~(RAVK_MEDIA_VIDEO | RAVK_MEDIA_MUXED | 0xFF000000u | 0x00FF0000u);
    const bool preview = (s.options & RAVK_STREAM_PREVIEW) != 0;
    const bool muxed = (p->config.media & RAVK_MEDIA_MUXED) != 0;
    int32_t index = preview ? 2 : 1;

    int32_t type = 0;
    RavkNode *source = source_node(s.devices, s.device, &type, &p->audio_source_fourcc, nullptr, nullptr);
    if (source == nullptr) return -1;
    if (type == RAVK_NODE_BINARY_SOURCE) {
        p->audio_app_source = source;
        source->flow_flags = (s.options & RAVK_STREAM_FLOW_CONTROL) ? 3 : 0;
    }
    p->audio_source = source;
    if (!append(branch, source)) return -1;
    if (type != RAVK_NODE_BINARY_SOURCE && !append(branch, live_queue(media, 1, "audio_source_queue", 50, -1)))
        return -1;
    if (preview && !append_preview(p, branch, media, s.encoder.direction != 0 || muxed, source, 0)) return -1;
    if (s.encoder.direction == 0) return 0;

    if (!append(branch, ravk_node_new_audio_resample(media, "resampler", index))) return -1;
    RavkChainElement *resampler = branch->chain.last;
    uint32_t impl = ravk_audio_impl_select(media, &s.encoder);
    RavkAudioCodecSetup setup = {s.encoder, s.format};
    RavkNode *encoder = ravk_node_new(nullptr, RAVK_NODE_ENCODER, impl, media, index,
                                      ravk_codec_factory_name(RAVK_NODE_ENCODER, impl, media, &setup.codec),
                                      "audio_encoder", nullptr, 0, nullptr, &setup, nullptr,
                                      uint32_t(s.encoder.backend), 1);
    if (encoder == nullptr) return -1;
    p->audio_encoder = encoder;
    if (!append(branch, encoder)) {
        p->audio_encoder = nullptr;
        return -1;
    }
    if (ravk_node_bitrate_property(encoder, bitrate) != 0) return -1;
    if (!append(branch, live_queue(media, index, nullptr, 50, -1))) return -1;
    int link = ravk_node_can_link(source, encoder, nullptr);
    if (link == -1) return -1;
    uint32_t backend = source->audio_backend;
    if (link == 0 || backend == RAVK_AUDIO_BACKEND_WASAPI || backend == RAVK_AUDIO_BACKEND_WASAPI2 ||
        backend == RAVK_AUDIO_BACKEND_PULSE || backend == RAVK_AUDIO_BACKEND_PIPEWIRE) {
        RavkNode *convert = ravk_node_new_audio_convert(media, "convert", index);
        if (convert == nullptr || ravk_chain_insert_after(&branch->chain, resampler, convert) == nullptr) {
            ravk_node_free(&convert);
            return -1;
        }
    }
    if (p->config.media & RAVK_MEDIA_MUXED) return append(branch, live_queue(media, index, nullptr, -1, -1)) ? 0 : -1;
    p->audio_app_sink = app_sink(p, media, index);
    return append(branch, p->audio_app_sink) ? 0 : -1;
}

const char *memory_name(int32_t backend)
{
    switch (backend) {
    case RAVK_BACKEND_GL: return "GLMemory";
    case RAVK_BACKEND_VAAPI: return "VASurface";
    case RAVK_BACKEND_VULKAN: return "VulkanImage";
    case RAVK_BACKEND_D3D11: return "D3D11Memory";
    default: return nullptr;
    }
}

// Width and height of a node's caps text (its own or its caps companion's).
CoreFrameSize caps_size(const RavkNode *node)
{
    CoreFrameSize size = {};
    const char *text = node->caps;
    for (const RavkNode *c = node->companions_first; text[0] == 0 && c != nullptr; c = c->next) text = c->caps;
    GstCaps *caps = text[0] != 0 ? gst_caps_from_string(text) : nullptr;
    if (caps == nullptr) return size;
    if (gst_caps_get_size(caps) > 0) {
        const GstStructure *st = gst_caps_get_structure(caps, 0);
        int width = 0, height = 0;
        if (gst_structure_get_int(st, "width", &width) && gst_structure_get_int(st, "height", &height) && width > 0 &&
            height > 0)
            size = {uint32_t(width), uint32_t(height)};
    }
    gst_caps_unref(caps);
    return size;
}

int32_t processing_backend(RavkNode *source)
{
    uint32_t entry0 = value_entry("frmwrk.vid.prov.proc", 0), entry1 = value_entry("frmwrk.vid.prov.proc", 1);
    if (entry0 == 0 || entry1 == 0) return -1;
    if (ravk_node_caps_is_any(source, RAVK_SIDE_SOURCE) == 0) {
        for (int32_t kind : {RAVK_BACKEND_GL, RAVK_BACKEND_VAAPI, RAVK_BACKEND_D3D11, RAVK_BACKEND_VULKAN}) {
            char caps[64];
            std::snprintf(caps, sizeof(caps), "video/x-raw(memory:%s)", memory_name(kind));
            if (ravk_node_accepts_caps(source, RAVK_SIDE_SOURCE, caps, RAVK_FOURCC_NONE) == 0) continue;
            if (entry0 == uint32_t(kind)) return int32_t(entry0);
            if (entry1 == uint32_t(kind)) return int32_t(entry1);
        }
    }
    auto memory = [](uint32_t v) { return memory_name(int32_t(v)) != nullptr; };
    if (!memory(entry0)) return int32_t(entry0);
    if (!memory(entry1)) return int32_t(entry1);
    return int32_t(entry0);
}

// The libyuv scaler and converters before the encoder size their work
// buffers for the wider of the two formats and may write into the caller's
// buffers.
void libyuv_properties(RavkProvider *p, RavkBranch *branch, RavkNode *encoder)
{
    const uint32_t source_bits = core_frame_bpp(p->video_source_fourcc);
    const uint32_t encoder_bits = core_frame_bpp(p->config.video.encoder.input);
    const uint32_t bits = source_bits > encoder_bits ? source_bits : encoder_bits;
    const RavkProviderConfig &c = p->config;
    const bool buffers = c.buffer1 != nullptr && c.buffer2 != nullptr && c.buffer1_size != 0 && c.buffer2_size != 0;
    for (RavkChainElement *e = branch->chain.first; e != nullptr && e->node != encoder; e = e->next) {
        RavkNode *n = e->node;
        if (n->type != RAVK_NODE_FILTER || std::strcmp(n->factory_name, "libyuv") != 0) continue;
        if (bits >= 12 && bits <= 32) ravk_node_add_property(n, RAVK_PROPS_ELEMENT, ravk_property_new_uint("bits", bits));
        if (buffers) {
            ravk_node_add_property(n, RAVK_PROPS_ELEMENT, ravk_property_new_pointer("buffer1", c.buffer1));
            ravk_node_add_property(n, RAVK_PROPS_ELEMENT, ravk_property_new_pointer("buffer2", c.buffer2));
            ravk_node_add_property(n, RAVK_PROPS_ELEMENT, ravk_property_new_uint64("size1", c.buffer1_size));
            ravk_node_add_property(n, RAVK_PROPS_ELEMENT, ravk_property_new_uint64("size2", c.buffer2_size));
        }
    }
}

int build_video(RavkProvider *p, uint64_t bitrate, int probe)
{
    RavkBranch *branch = branch_of(p, 1);
    const RavkProviderVideoStream &s = p->config.video;
    RavkMediaFlags media = p->config.media & ~(RAVK_MEDIA_AUDIO | RAVK_MEDIA_MUXED | 0xFF000000u | 0x0000FF00u);
    p->padded_mode = {};
    p->buffer_mode = {};
    if (!probe) {
        uint64_t handle = 0;
        RavkDeviceNode *device = device_acquire(s.devices, s.device, &handle);
        if (device == nullptr) return -1;
        RavkSourceDescriptor *d = ravk_device_node_desc(device, -1);
        double scale = 0;
        bool ok = d != nullptr &&
                  device->ops.get_attribute(d, RAVK_ATTR_VIDEO_MODE, &p->visible_mode, sizeof(CoreVideoMode)) == 0 &&
                  device->ops.get_attribute(d, RAVK_ATTR_SCALE, &scale, sizeof(scale)) == 0;
        if (ok) {
            device->ops.get_attribute(d, RAVK_ATTR_MODE_A, &p->padded_mode, sizeof(CoreVideoMode));
            device->ops.get_attribute(d, RAVK_ATTR_MODE_B, &p->buffer_mode, sizeof(CoreVideoMode));
        }
        device_release(handle);
        if (!ok) return -1;
        if (scale != 1.0 && scale != 0.0) {
            p->visible_mode.width = uint32_t(p->visible_mode.width * scale);
            p->visible_mode.height = uint32_t(p->visible_mode.height * scale);
        }
        p->encode_mode = s.format.video;
        if (!mode_valid(p->encode_mode)) return -1;
    }
    const bool preview = (s.options & RAVK_STREAM_PREVIEW) != 0;

    int32_t type = 0, source_backend = 0;
    uint32_t device_class = 0;
    RavkNode *source =
        source_node(s.devices, s.device, &type, &p->video_source_fourcc, &source_backend, &device_class);
    if (source == nullptr) return -1;
    if (type == RAVK_NODE_BINARY_SOURCE) {
        p->video_app_source = source;
        if (s.options & RAVK_STREAM_FLOW_CONTROL) source->flow_flags = 3;
        p->feed_size = caps_size(source);
    }
    p->video_source = source;
    if (!append(branch, source)) return -1;
    if (type != RAVK_NODE_BINARY_SOURCE && !append(branch, live_queue(media, 1, "video_source_queue", 2, -1)))
        return -1;
    int32_t proc = processing_backend(source);
    if (proc < 0) return -1;

    if (probe) {
        if (!append(branch, ravk_node_new_color_convert(media, nullptr, "inter", proc, 1))) return -1;
        p->video_app_sink = ravk_node_new_by_type(RAVK_NODE_BINARY_SINK, media, 1, nullptr, nullptr, 1, 1);
        if (!append(branch, p->video_app_sink)) return -1;
        void *user[2] = {pipelines(), reinterpret_cast<void *>(p->handle)};
        return ravk_node_set_caps_callback(p->video_app_sink, ravk_provider_on_caps, user);
    }
    if (device_class == RAVK_CLASS_SCREEN) {
        const char *cursor = source_backend == RAVK_BACKEND_AVF   ? "capture-screen-cursor"
                             : source_backend == RAVK_BACKEND_X11 ? "show-pointer"
                             : source_backend == RAVK_BACKEND_D3D11 ? "show-cursor"
                             : source_backend == RAVK_BACKEND_D3D9  ? "cursor"
                                                                    : nullptr;
        if (cursor != nullptr)
            ravk_node_add_property(source, RAVK_PROPS_ELEMENT, ravk_property_new_boolean(cursor, p->config.show_cursor != 0));
        if (source_backend == RAVK_BACKEND_AVF)
            ravk_node_add_property(source, RAVK_PROPS_ELEMENT,
                                   ravk_property_new_boolean("capture-screen-mouse-clicks", p->config.show_clicks != 0));
    }
    if (preview && !append_preview(p, branch, media,
                                   s.encoder.direction != 0 || (p->config.media & RAVK_MEDIA_MUXED) != 0, source, proc))
        return -1;
    if (s.encoder.direction == 0) return 0;
    const int32_t u = preview ? 2 : 1;

    RavkFraction cap = ravk_provider_rate_cap_for_bitrate(p, bitrate);
    p->live_rate = ravk_node_new_live_rate(media, u, &p->config.minimum_rate, &cap);
    if (!append(branch, p->live_rate)) {
        p->live_rate = nullptr;
        return -1;
    }
    // A device whose buffers are larger than the picture it shows (rows or
    // planes padded for alignment) is cut to the visible size: by the
    // processing backend when it crops, else by a raw parser that reads each
    // buffer with the larger layout and hands on the visible part.
    RavkNode *parser = nullptr;
    const CoreVideoMode &buffer = p->buffer_mode, &visible = p->visible_mode;
    if (mode_valid(buffer) && (buffer.width != visible.width || buffer.height != visible.height)) {
        uint32_t features = ravk_video_feature(uint32_t(proc));
        if (features == RAVK_VIDEO_FEATURE_NONE) features = 0;
        const bool crops = (features & RAVK_VIDEO_FEATURE_CROP) != 0;
        char fourcc[5], caps[160];
        std::snprintf(caps, sizeof(caps), "video/x-raw, width=%u, height=%u, format=(string)%s", visible.width,
                      visible.height,
                      ravk_fourcc_text(proc == RAVK_BACKEND_LIBYUV && crops ? s.encoder.input : p->video_source_fourcc,
                                       fourcc));
        if (!crops) {
            const CoreFrameSize size = {buffer.width, buffer.height};
            parser = ravk_node_new_raw_parser(media, caps, u, &size, &visible, p->video_source_fourcc);
            if (!append(branch, parser)) return -1;
        } else {
            // A buffer smaller than the picture gives a negative side, which
            // the crop maker refuses.
            const RavkCrop cut = {0, 0, int32_t(int64_t(buffer.width) - visible.width),
                                  int32_t(int64_t(buffer.height) - visible.height)};
            if (!append(branch, ravk_node_new_crop(media, caps, proc, u, &cut))) return -1;
        }
    }
    const bool padded = mode_valid(p->padded_mode);
    if (padded) {
        const CoreFrameSize size = {p->padded_mode.width, p->padded_mode.height};
        RavkChainElement *element = ravk_node_new_padding(media, u, &size);
        RavkNode *padding = element != nullptr ? element->node : nullptr;
        if (element != nullptr) element->node = nullptr;
        ravk_chain_element_free(&element);
        if (!append(branch, padding)) return -1;
    }

    uint32_t impl = ravk_video_impl_select(media, &s.encoder);
    RavkVideoCodecSetup setup = {s.encoder, s.format};
    RavkNode *scaler = nullptr;
    RavkChainElement *scaler_at = nullptr;
    const bool encode_is_visible =
        p->encode_mode.width == visible.width && p->encode_mode.height == visible.height;
    const bool encode_is_padded =
        p->encode_mode.width == p->padded_mode.width && p->encode_mode.height == p->padded_mode.height;
    if (!encode_is_visible || (padded && !encode_is_padded)) {
        CoreFrameSize size = {p->encode_mode.width, p->encode_mode.height};
        scaler = ravk_node_new_scale(media, proc, &size, proc == RAVK_BACKEND_LIBYUV ? s.encoder.input : RAVK_FOURCC_NONE, u);
        if (!append(branch, scaler)) return -1;
        scaler_at = branch->chain.last;
    }
    RavkNode *encoder = ravk_node_new(nullptr, RAVK_NODE_ENCODER, impl, media, u,
                                      ravk_codec_factory_name(RAVK_NODE_ENCODER, impl, media, &setup.codec),
                                      "video_encoder", nullptr, 0, nullptr, nullptr, &setup, 1,
                                      int32_t(s.encoder.backend));
    if (encoder == nullptr) return -1;
    p->video_encoder = encoder;
    if (!append(branch, encoder)) {
        p->video_encoder = nullptr;
        return -1;
    }
    RavkChainElement *encoder_at = branch->chain.last;
    if (ravk_node_keyframe_property(encoder, cap.numerator) != 0 || ravk_node_bitrate_property(encoder, bitrate) != 0)
        return -1;
    if (!append(branch, live_queue(media, u, nullptr, 32, 0))) return -1;
    int x = 1, y = 1;
    if (parser != nullptr && scaler != nullptr && (x = ravk_node_can_link(parser, scaler, nullptr)) == -1) return -1;
    if (scaler != nullptr && (y = ravk_node_can_link(scaler, encoder, nullptr)) == -1) return -1;
    char features[64] = {};
    if (memory_name(source_backend) != nullptr)
        std::snprintf(features, sizeof(features), "memory:%s", memory_name(source_backend));
    int m = ravk_node_can_link(source, encoder, features[0] != 0 ? features : nullptr);
    if (m == -1) return -1;
    if ((source->caps[0] == 0 || std::strstr(source->caps, "format") == nullptr) && m != 0)
        m = ravk_node_accepts_caps(encoder, RAVK_SIDE_SINK, "video/x-raw", p->video_source_fourcc);
    int32_t b = int32_t(s.encoder.backend);
    if (b == RAVK_BACKEND_V4L2) m = 0;
    if (x == 0 || y == 0 || m == 0) {
        if (scaler_at != nullptr) {
            RavkNode *c = ravk_node_new_color_convert(media, nullptr, "convert2scaler", proc, u);
            if (c == nullptr || ravk_chain_insert_before(&branch->chain, scaler_at, c) == nullptr) {
                ravk_node_free(&c);
                return -1;
            }
        }
        char caps[160] = {};
        bool listed_backend = b == 6 || b == 15 || b == 16 || b == 17 || b == 24;
        bool always_format = proc == RAVK_BACKEND_GL || proc == RAVK_BACKEND_VAAPI || proc == RAVK_BACKEND_V4L2;
        bool maybe_format = proc == RAVK_BACKEND_GSTREAMER || proc == RAVK_BACKEND_LIBYUV || proc == RAVK_BACKEND_D3D11;
        if (always_format || (maybe_format && listed_backend)) {
            char fourcc[5];
            std::snprintf(caps, sizeof(caps), "video/x-raw%s, format=(string)%s",
                          proc == RAVK_BACKEND_GL      ? "(memory:GLMemory)"
                          : proc == RAVK_BACKEND_D3D11 ? "(memory:D3D11Memory)"
                                                       : "",
                          ravk_fourcc_text(s.encoder.input, fourcc));
        }
        RavkNode *c = ravk_node_new_color_convert(media, caps[0] != 0 ? caps : nullptr, "convert2encoder", proc, u);
        if (c == nullptr || ravk_chain_insert_before(&branch->chain, encoder_at, c) == nullptr) {
            ravk_node_free(&c);
            return -1;
        }
    }
    if (proc == RAVK_BACKEND_LIBYUV) libyuv_properties(p, branch, encoder);
    if (p->config.media & RAVK_MEDIA_MUXED) return append(branch, live_queue(media, u, nullptr, -1, -1)) ? 0 : -1;
    p->video_app_sink = app_sink(p, media, u);
    return append(branch, p->video_app_sink) ? 0 : -1;
}

// The muxer and the app sink behind it; the audio and video branches end in
// queues that are linked into the muxer once every branch is assembled.
int build_muxed(RavkProvider *p)
{
    RavkBranch *branch = branch_of(p, 2);
    const RavkMediaFlags media = p->config.media;
    const uint32_t container = ravk_media_container(media);
    if (container < 1 || container > 6) return -1;
    RavkNode *muxer = ravk_node_new(nullptr, RAVK_NODE_MUXER, 0, media, 1,
                                    ravk_node_factory_name(RAVK_NODE_MUXER, 0, media, 0, 0), "muxer", nullptr, 0,
                                    nullptr, nullptr, nullptr, 1, 1);
    if (!append(branch, muxer)) return -1;
    p->muxed_app_sink = app_sink(p, media & (0xFF000000u | 0x000000FFu), 1);
    return append(branch, p->muxed_app_sink) ? 0 : -1;
}

// Links the last node of the audio branch, then of the video branch, into
// the muxer.
int link_into_muxer(RavkProvider *p)
{
    RavkBranch *muxed = branch_of(p, 2);
    RavkNode *muxer = nullptr;
    for (RavkChainElement *e = muxed->chain.first; e != nullptr && muxer == nullptr; e = e->next)
        if (e->node->type == RAVK_NODE_MUXER) muxer = e->node;
    if (muxer == nullptr) return -1;
    for (uint32_t kind : {0u, 1u}) {
        const uint32_t bit = kind == 0 ? RAVK_MEDIA_AUDIO : RAVK_MEDIA_VIDEO;
        if ((p->config.media & bit) == 0) continue;
        RavkBranch *branch = branch_of(p, kind);
        if (branch == nullptr || branch->chain.last == nullptr || ravk_node_link(branch->chain.last->node, muxer) != 0)
            return -1;
    }
    return 0;
}

// The assembly replaces merged nodes: keep the provider's pointers current.
void on_replaced(RavkNode *old_node, RavkNode *replacement, void *user)
{
    auto *p = static_cast<RavkProvider *>(user);
    for (RavkNode **slot : {&p->preview_sink, &p->live_rate, &p->audio_encoder, &p->video_encoder,
                            &p->audio_app_source, &p->video_app_source, &p->audio_source, &p->video_source,
                            &p->audio_app_sink, &p->video_app_sink, &p->muxed_app_sink})
        if (*slot == old_node) *slot = replacement;
}

}  // namespace

RavkProviderConfig *ravk_provider_config_init(RavkProviderConfig *config)
{
    if (config == nullptr) return nullptr;
    std::memset(config, 0, sizeof(*config));
    config->audio.encoder.input = config->audio.encoder.output = RAVK_FOURCC_NONE;
    config->video.encoder.input = config->video.encoder.output = RAVK_FOURCC_NONE;
    config->audio.encoder.device_number = -1;
    config->video.encoder.device_number = -1;
    return config;
}

uint64_t ravk_provider_create(const RavkProviderConfig *config)
{
    if (config == nullptr || pipelines() == nullptr || !config_valid(config)) return 0;
    void *object = nullptr;
    uint64_t handle = core_handle_create(pipelines(), sizeof(RavkProvider), ravk_provider_destroy, &object);
    if (handle == 0) return 0;
    auto *p = static_cast<RavkProvider *>(object);
    p->state = RAVK_STATE_CREATED;
    p->role = RAVK_ROLE_PROVIDER;
    p->handle = handle;
    p->config = *config;
    p->enabled = 1;
    ravk_pipeline_channel_name(&p->channel);
    p->audio_batch.header = {1, 0, config->audio.stream};
    p->video_batch.header = {1, 1, config->video.stream};
    p->audio_source_fourcc = p->video_source_fourcc = RAVK_FOURCC_NONE;
    p->lock = new (std::nothrow) std::mutex;
    bool ok = p->lock != nullptr;
    if (ok && config->batch_size > 0) {
        p->audio_batch.buffer = static_cast<uint8_t *>(std::calloc(1, config->batch_size));
        p->video_batch.buffer = static_cast<uint8_t *>(std::calloc(1, config->batch_size));
        ok = p->audio_batch.buffer != nullptr && p->video_batch.buffer != nullptr;
    }
    if (!ok) {
        core_handle_release(pipelines(), handle);
        return 0;
    }
    return handle;
}

int ravk_provider_build(RavkProvider *p, uint64_t audio_bitrate, uint64_t video_bitrate, int probe)
{
    if (p == nullptr) return -1;
    if (p->pipeline != nullptr) return 0;
    char name[32];
    std::snprintf(name, sizeof(name), "provider_pipeline_%08X", p->config.media);
    p->pipeline = ravk_node_new(nullptr, RAVK_NODE_PIPELINE, 0, p->config.media, 0, "pipeline", name, nullptr, 0,
                                nullptr, nullptr, nullptr, 1, 1);
    if (p->pipeline == nullptr) return -1;
    void *user[2] = {pipelines(), reinterpret_cast<void *>(p->handle)};
    p->bus = ravk_bus_thread_start(p->pipeline, ravk_provider_bus_handler, user);
    if (p->bus == nullptr) return -1;
    const RavkMediaFlags media = p->config.media;
    if ((media & RAVK_MEDIA_AUDIO) && ravk_branch_append(&p->branches, 0) == nullptr) return -1;
    if ((media & RAVK_MEDIA_VIDEO) && ravk_branch_append(&p->branches, 1) == nullptr) return -1;
    if ((media & RAVK_MEDIA_MUXED) && ravk_branch_append(&p->branches, 2) == nullptr) return -1;
    if ((media & RAVK_MEDIA_AUDIO) && build_audio(p, audio_bitrate) != 0) return -1;
    if ((media & RAVK_MEDIA_VIDEO) && build_video(p, video_bitrate, probe) != 0) return -1;
    if ((media & RAVK_MEDIA_MUXED) && build_muxed(p) != 0) return -1;
    if (ravk_branches_finish(p->pipeline, &p->branches, on_replaced, p) != 0) return -1;
    return (media & RAVK_MEDIA_MUXED) ? link_into_muxer(p) : 0;
}

int ravk_provider_start(RavkProvider *p)
{
    if (p == nullptr || p->pipeline == nullptr) return -1;
    bool fed = p->audio_app_source != nullptr || p->video_app_source != nullptr;
    GstStateChangeReturn r = gst_element_set_state(p->pipeline->element, fed ? GST_STATE_PAUSED : GST_STATE_PLAYING);
    if (r == GST_STATE_CHANGE_FAILURE) return -1;
    p->state = fed ? RAVK_STATE_PAUSED : RAVK_STATE_PLAYING;
    return 0;
}

int ravk_provider_build_and_start(uint64_t handle)
{
    auto *p = static_cast<RavkProvider *>(core_handle_acquire(pipelines(), handle));
    if (p == nullptr) return -1;
    int result = ravk_provider_build(p, 0, 0, 1) == 0 && ravk_provider_start(p) == 0 ? 0 : -1;
    core_handle_release(pipelines(), handle);
    return result;
}

int ravk_pipeline_stop(uint64_t handle)
{
    auto *p = static_cast<RavkProvider *>(core_handle_acquire(pipelines(), handle));
    if (p == nullptr) return -1;
    if (p->role != RAVK_ROLE_PROVIDER) {
        // Consumers share the table and the stop; anything else is not ours.
        const bool consumer = p->role == RAVK_ROLE_CONSUMER;
        core_handle_release(pipelines(), handle);
        return consumer ? ravk_consumer_stop(handle) : -1;
    }
    if (p->state != RAVK_STATE_STOPPED) {
        p->state = RAVK_STATE_STOPPED;
        if (p->pipeline != nullptr) ravk_node_stop(p->pipeline);
        // The sinks' streaming threads have ended: the batches are ours.
        batch_flush(p, &p->audio_batch);
        batch_flush(p, &p->video_batch);
    }
    core_handle_release(pipelines(), handle);
    return 0;
}

int ravk_provider_set_audio_bitrate(uint64_t handle, uint64_t bits_per_second)
{
    auto *p = static_cast<RavkProvider *>(core_handle_acquire(pipelines(), handle));
    if (p == nullptr) return -1;
    int result = p->audio_encoder != nullptr ? ravk_node_set_bitrate(p->audio_encoder, bits_per_second) : -1;
    core_handle_release(pipelines(), handle);
    return result;
}

int ravk_provider_set_video_bitrate(uint64_t handle, uint64_t bits_per_second)
{
    auto *p = static_cast<RavkProvider *>(core_handle_acquire(pipelines(), handle));
    if (p == nullptr) return -1;
    int result = -1;
    if (p->video_encoder != nullptr) {
        RavkFraction cap = ravk_provider_rate_cap_for_bitrate(p, bits_per_second);
        result = ravk_node_set_bitrate(p->video_encoder, bits_per_second);
        if (result == 0) {
            RavkProperty *records[2] = {};
            int count = ravk_keyframe_records(p->video_encoder, cap.numerator, records);
            if (count < 0) result = -1;
            for (int i = 0; i < count; ++i) {
                if (ravk_object_apply_property(G_OBJECT(p->video_encoder->element), records[i]) != 0) result = -1;
                ravk_property_free(records[i]);
            }
        }
        if (result == 0 && p->live_rate != nullptr) {
            RavkFraction rate = {};
            ravk_provider_framerate_cap(p, &cap, nullptr, &rate);
            result = rate_valid(rate) ? ravk_node_set_max_framerate(p->live_rate, &rate) : -1;
        }
    }
    core_handle_release(pipelines(), handle);
    return result;
}

RavkFraction *ravk_provider_framerate_cap(RavkProvider *p, const RavkFraction *bitrate_cap,
                                          const RavkFraction *external_cap, RavkFraction *out)
{
    if (p == nullptr || out == nullptr) return out;
    std::lock_guard<std::mutex> guard(*p->lock);
    if (bitrate_cap != nullptr) p->bitrate_cap = *bitrate_cap;
    if (external_cap != nullptr) p->external_cap = *external_cap;
    RavkFraction b = p->bitrate_cap, e = p->external_cap;
    bool bv = rate_valid(b), ev = rate_valid(e);
    if (bv && ev)
        *out = uint64_t(b.numerator) * e.denominator < uint64_t(e.numerator) * b.denominator ? b : e;
    else
        *out = ev ? e : bv ? b : RavkFraction{0, 0};
    return out;
}

RavkFraction ravk_provider_rate_cap_for_bitrate(const RavkProvider *p, uint64_t v)
{
    const CoreVideoMode &mode = p->config.video.format.video;
    uint32_t large = mode.width > mode.height ? mode.width : mode.height;
    uint32_t n = large < 1024 ? (v >= 1000000 ? 60 : v >= 600000 ? 30 : v >= 450000 ? 15 : v >= 200000 ? 10 : 6)
                              : (v >= 2000000 ? 60 : v >= 1000000 ? 30 : v >= 800000 ? 15 : v >= 400000 ? 10 : 6);
    RavkFraction cap = {n, 1};
    RavkFraction rate = {mode.rate_num, mode.rate_den};
    if (rate_valid(rate) && uint64_t(n) * rate.denominator > rate.numerator) cap = rate;
    return cap;
}

int32_t ravk_provider_on_sample(RavkNode *node, const RavkSample *sample, uint64_t total, void **user)
{
    uint64_t handle = 0;
    RavkProvider *p = acquire(user, &handle);
    if (p == nullptr) return -1;
    RavkSampleBatch *batch = (node->media & RAVK_MEDIA_AUDIO)   ? &p->audio_batch
                             : (node->media & RAVK_MEDIA_VIDEO) ? &p->video_batch
                                                                : nullptr;
    if (p->enabled.load() != 0 && batch != nullptr) {
        if (batch->buffer != nullptr && total <= p->config.batch_size) {
            if (batch->used + total > p->config.batch_size) batch_flush(p, batch);
            batch_append(batch, sample);
        } else {
            // A sample too large for the batch goes alone; what was
            // collected before it goes first, so the order holds.
            batch_flush(p, batch);
            post_samples(p, &batch->header, const_cast<RavkSample *>(sample), total);
        }
    }
    core_handle_release(static_cast<CoreHandleTable *>(user[0]), handle);
    return 0;
}

int32_t ravk_provider_on_caps(RavkNode *, const uint32_t size[2], const uint32_t rate[2], uint32_t fourcc, void **user)
{
    uint64_t handle = 0;
    RavkProvider *p = acquire(user, &handle);
    if (p == nullptr) return -1;
    RavkFormatInfo info = {RAVK_FOURCC_NONE, {0, 0, 0}, fourcc, size[0], size[1], rate[0], rate[1]};
    ravk_pipeline_event_post(&p->channel, RAVK_EVENT_FORMAT, &info, sizeof(info), nullptr, nullptr);
    core_handle_release(static_cast<CoreHandleTable *>(user[0]), handle);
    return 0;
}

int ravk_provider_bus_handler(RavkBusThread *, const RavkBusMessage *message, void **user)
{
    uint64_t handle = 0;
    RavkProvider *p = acquire(user, &handle);
    if (p == nullptr) return -1;
    if (message->code == RAVK_BUS_EOS) {
        p->ended = 1;
        RavkStateEvent event = {RAVK_ROLE_PROVIDER};
        ravk_pipeline_event_post(&p->channel, RAVK_EVENT_STATE, &event, sizeof(event), nullptr, nullptr);
    } else if (message->code == RAVK_BUS_ERROR || message->code == RAVK_BUS_WARNING) {
        if (message->code == RAVK_BUS_ERROR) p->ended = 1;
        if (p->state != RAVK_STATE_STOPPED) {
            GstObject *src = message->source;
            uint32_t part = RAVK_PART_NONE, media = 0;
            for (RavkNode *n : {p->audio_source, p->video_source, p->audio_encoder, p->video_encoder,
                                p->audio_app_sink, p->video_app_sink}) {
                if (n == nullptr || src == nullptr || GST_OBJECT(n->element) != src) continue;
                part = n == p->audio_source || n == p->video_source     ? RAVK_PART_SOURCE
                       : n == p->audio_encoder || n == p->video_encoder ? RAVK_PART_ENCODER
                                                                         : RAVK_PART_SINK;
                media = n->media;
            }
            if (message->code == RAVK_BUS_ERROR) {
                RavkErrorEvent event = {RAVK_ROLE_PROVIDER, media, part};
                ravk_pipeline_event_post(&p->channel, RAVK_EVENT_ERROR, &event, sizeof(event), nullptr, nullptr);
            } else {
                RavkWarningEvent event = {RAVK_ROLE_PROVIDER, media, 0};
                ravk_pipeline_event_post(&p->channel, RAVK_EVENT_WARNING, &event, sizeof(event), nullptr, nullptr);
            }
        }
    }
    core_handle_release(static_cast<CoreHandleTable *>(user[0]), handle);
    return 0;
}

void ravk_provider_destroy(CoreHandleTable *, void *object, uint64_t)
{
    auto *p = static_cast<RavkProvider *>(object);
    // Elements must not leave a playing pipeline: stop it first.
    if (p->pipeline != nullptr && p->pipeline->element != nullptr)
        gst_element_set_state(p->pipeline->element, GST_STATE_NULL);
    ravk_branches_free(&p->branches);
    ravk_bus_thread_stop(&p->bus);
    ravk_node_free(&p->pipeline);
    std::free(p->audio_batch.buffer);
    std::free(p->video_batch.buffer);
    delete p->lock;
}
