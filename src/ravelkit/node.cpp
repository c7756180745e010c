#include "ravelkit/node.h"

#include <gst/base/gstbasesrc.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/log.h"
#include "ravelkit/datapath.h"
#include "ravelkit/devices.h"
#include "ravelkit/presets.h"
#include "ravelkit/source.h"

namespace
{

// Names are cut at the node text size like every other node text; going
// through a va_list keeps the compiler from flagging the cut.
__attribute__((format(printf, 3, 4))) void format_text(char *out, size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(out, size, format, args);
    va_end(args);
}

const char *const kLog = "ravelkit.node";

void copy_text(char (&out)[RAVK_NODE_TEXT_SIZE], const char *text)
{
    snprintf(out, sizeof(out), "%s", text != nullptr ? text : "");
}

bool is_video_only(RavkMediaFlags media) { return (media & RAVK_MEDIA_VIDEO) != 0 && (media & RAVK_MEDIA_AUDIO) == 0; }
bool has_video(RavkMediaFlags media) { return (media & RAVK_MEDIA_VIDEO) != 0; }

bool valid_term(uint32_t value) { return value != 0 && value != UINT32_MAX; }

bool valid_size(const CoreFrameSize *size)
{
    return size != nullptr && valid_term(size->width) && valid_term(size->height);
}

// A valid rate as a fraction GStreamer can hold; 0/1 (off) otherwise.
void rate_or_off(const RavkFraction *rate, int32_t *numerator, int32_t *denominator)
{
    *numerator = 0;
    *denominator = 1;
    if (rate == nullptr || !valid_term(rate->numerator) || !valid_term(rate->denominator)) return;
    if (rate->numerator > G_MAXINT32 || rate->denominator > G_MAXINT32) return;
    *numerator = static_cast<int32_t>(rate->numerator);
    *denominator = static_cast<int32_t>(rate->denominator);
}

// Adds a record, freeing it when the list refuses it; -1 also for a record
// that could not be made.
int add(RavkNode *node, uint32_t list, RavkProperty *record)
{
    if (record == nullptr) return -1;
    if (ravk_node_add_property(node, list, record) != 0) {
        ravk_property_free(record);
        return -1;
    }
    return 0;
}

void free_record(gpointer record) { ravk_property_free(static_cast<RavkProperty *>(record)); }

// The list that holds a companion: its owner's, or the owner's owner's.
RavkNode *holder_of(RavkNode *node)
{
    if (node->owner == nullptr) return nullptr;
    return node->owner->owner != nullptr ? node->owner->owner : node->owner;
}

void companion_unlink(RavkNode *holder, RavkNode *node)
{
    if (node->previous != nullptr)
        node->previous->next = node->next;
    else if (holder->companions_first == node)
        holder->companions_first = node->next;
    if (node->next != nullptr)
        node->next->previous = node->previous;
    else if (holder->companions_last == node)
        holder->companions_last = node->previous;
    node->next = node->previous = nullptr;
}

GstCaps *parse_caps(const char *text)
{
    if (text == nullptr || text[0] == '\0') return nullptr;
    return gst_caps_from_string(text);
}

bool is_appsrc(const RavkNode *node) { return node->element != nullptr && GST_IS_APP_SRC(node->element); }
bool is_appsink(const RavkNode *node) { return node->element != nullptr && GST_IS_APP_SINK(node->element); }

// The caps the node's app source or app sink was given; NULL otherwise.
GstCaps *app_caps(RavkNode *node)
{
    if (node->type == RAVK_NODE_BINARY_SOURCE && is_appsrc(node))
        return gst_app_src_get_caps(GST_APP_SRC(node->element));
    if (node->type == RAVK_NODE_BINARY_SINK && is_appsink(node))
        return gst_app_sink_get_caps(GST_APP_SINK(node->element));
    return nullptr;
}

// Allowed caps of a pad, else its template caps.
GstCaps *pad_allowed_or_template(GstPad *pad)
{
    if (pad == nullptr) return nullptr;
    GstCaps *caps = gst_pad_get_allowed_caps(pad);
    if (caps == nullptr) caps = gst_pad_get_pad_template_caps(pad);
    return caps;
}

GstCaps *pad_side_caps(RavkNode *node, int32_t side)
{
    GstPad *pad = ravk_node_get_pad(node, side);
    GstCaps *caps = pad_allowed_or_template(pad);
    if (pad != nullptr) gst_object_unref(pad);
    return caps;
}

GstCaps *static_pad_caps(RavkNode *node, int32_t side)
{
    GstPad *pad = gst_element_get_static_pad(node->element, side == RAVK_SIDE_SOURCE ? "src" : "sink");
    if (pad == nullptr) return nullptr;
    GstCaps *caps = pad_allowed_or_template(pad);
    gst_object_unref(pad);
    return caps;
}

bool value_type_applies(GType type)
{
    static const GType fundamental[] = {G_TYPE_BOOLEAN, G_TYPE_INT,    G_TYPE_UINT,   G_TYPE_LONG,
                                        G_TYPE_ULONG,   G_TYPE_INT64,  G_TYPE_UINT64, G_TYPE_FLOAT,
                                        G_TYPE_DOUBLE,  G_TYPE_STRING, G_TYPE_POINTER};
    for (GType t : fundamental)
        if (type == t) return true;
    return type == GST_TYPE_FRACTION || type == GST_TYPE_STRUCTURE || type == GST_TYPE_ARRAY;
}

int apply_list(GObject *object, GPtrArray *list)
{
    if (object == nullptr || list == nullptr) return 0;
    for (guint i = 0; i < list->len; ++i)
        ravk_object_apply_property(object, static_cast<RavkProperty *>(g_ptr_array_index(list, i)));
    return 0;
}

bool is_request_name(const char *name)
{
    return name != nullptr && (strstr(name, "src_") != nullptr || strstr(name, "sink_") != nullptr);
}

// ---- set-up pieces ----

int setup_caps_companion(RavkNode *node, RavkMediaFlags media)
{
    if (node->caps[0] == '\0' || node->type == RAVK_NODE_CAPSFILTER || node->type == RAVK_NODE_BINARY_SOURCE) return 0;
    char name[RAVK_NODE_TEXT_SIZE];
    format_text(name, sizeof(name), "%s/caps", node->element_name);
    RavkNode *filter =
        ravk_node_new(node, RAVK_NODE_CAPSFILTER, 0, media, node->index, "capsfilter", name, node->caps,
                      RAVK_COMPANION_AFTER, nullptr, nullptr, nullptr, node->audio_backend, node->video_backend);
    return filter != nullptr ? 0 : -1;
}

int setup_app_source(RavkNode *node)
{
    if (!is_appsrc(node)) return -1;
    node->flow_flags = RAVK_FLOW_NEED_DATA;
    node->appsrc_callbacks = {};
    node->appsrc_callbacks.need_data = ravk_appsrc_on_need_data;
    node->appsrc_callbacks.enough_data = ravk_appsrc_on_enough_data;
    gst_app_src_set_callbacks(GST_APP_SRC(node->element), &node->appsrc_callbacks, node, nullptr);
    if (ravk_node_setup_appsrc(node) != 0) return -1;
    if (node->caps[0] == '\0') return 0;
    GstCaps *caps = parse_caps(node->caps);
    if (caps == nullptr) return -1;
    gst_app_src_set_caps(GST_APP_SRC(node->element), caps);
    gst_caps_unref(caps);
    return 0;
}

int setup_caps_filter(RavkNode *node)
{
    GstCaps *caps = parse_caps(node->caps);
    if (caps == nullptr) return -1;
    g_object_set(node->element, "caps", caps, nullptr);
    gst_caps_unref(caps);
    return 0;
}

int setup_demuxer(RavkNode *node, RavkMediaFlags media)
{
    const uint32_t container = ravk_media_container(media);
    if (container != RAVK_CONTAINER_MPEGTS && container != RAVK_CONTAINER_MATROSKA && container != RAVK_CONTAINER_WEBM)
        return 0;
    char name[RAVK_NODE_TEXT_SIZE];
    format_text(name, sizeof(name), "%s/parser", node->element_name);
    const char *factory = ravk_node_factory_name(RAVK_NODE_PARSER, 0, media, 0, 0);
    RavkNode *parser =
        ravk_node_new(node, RAVK_NODE_PARSER, 0, media, node->index, factory, name, nullptr, RAVK_COMPANION_BEFORE,
                      nullptr, nullptr, nullptr, RAVK_AUDIO_BACKEND_GSTREAMER, RAVK_BACKEND_GSTREAMER);
    return parser != nullptr ? 0 : -1;
}

int setup_encoder_precheck(RavkNode *node, RavkMediaFlags media)
{
    if (node->type != RAVK_NODE_ENCODER || !is_video_only(media)) return 0;
    switch (ravk_media_video_codec(media)) {
    case RAVK_VIDEO_H264: return ravk_node_h264_encoder_caps(node);
    case RAVK_VIDEO_H265: return ravk_node_h265_encoder_check(node);
    default: return 0;
    }
}

// Names a maker gives a node of the wrong media: no factory can be found
// for them, so the node is never made.
bool maker_media_ok(RavkMediaFlags media, bool video)
{
    return video ? is_video_only(media) : (media & RAVK_MEDIA_AUDIO) != 0;
}

RavkNode *new_top(uint32_t type, uint32_t kind, RavkMediaFlags media, int32_t index, const char *factory,
                  const char *name, const char *caps, uint32_t audio_backend, int32_t video_backend)
{
    return ravk_node_new(nullptr, type, kind, media, index, factory, name, caps, 0, nullptr, nullptr, nullptr,
                         audio_backend, video_backend);
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

// GStreamer video format numbers of the raw parser's "format".
int32_t raw_parser_format(uint32_t fourcc)
{
    static const struct {
        uint32_t fourcc;
        int32_t format;
    } kFormats[] = {
        {core_fourcc("I420"), 2},  {core_fourcc("YV12"), 3},  {core_fourcc("RGBx"), 7},  {core_fourcc("BGRx"), 8},
        {core_fourcc("xRGB"), 9},  {core_fourcc("xBGR"), 10}, {core_fourcc("RGBA"), 11}, {core_fourcc("BGRA"), 12},
        {core_fourcc("ARGB"), 13}, {core_fourcc("ABGR"), 14}, {core_fourcc("NV12"), 23}, {core_fourcc("NV21"), 24},
    };
    for (const auto &row : kFormats)
        if (row.fourcc == fourcc) return row.format;
    return 0;
}

bool is_rgb32(uint32_t fourcc)
{
    const int32_t format = raw_parser_format(fourcc);
    return format >= 7 && format <= 14;
}

// Plane layout of the raw parser from the buffer size; formats without one
// get no layout records. Sizes whose frame does not fit in 32 bits fail.
int raw_parser_layout(RavkNode *node, uint32_t fourcc, const CoreFrameSize *buffer)
{
    const uint64_t c = buffer->width, d = buffer->height, f = c * d;
    const bool planar = fourcc == core_fourcc("I420") || fourcc == core_fourcc("YV12");
    const bool semi = fourcc == core_fourcc("NV12") || fourcc == core_fourcc("NV21");
    uint64_t frame = 0;
    if (planar)
        frame = f + 2 * (c / 2) * (d / 2);
    else if (semi)
        frame = c * (d + d / 2);
    else if (is_rgb32(fourcc))
        frame = 4 * f;
    else
        return 0;
    if (frame > G_MAXINT32 || 4 * c > G_MAXINT32) return -1;
    const int32_t ci = static_cast<int32_t>(c), fi = static_cast<int32_t>(f);
    const int32_t chroma = static_cast<int32_t>((c / 2) * (d / 2));
    RavkProperty *strides = nullptr, *offsets = nullptr;
    if (planar) {
        strides = ravk_property_new_int_array("plane-strides", RAVK_PROPERTY_ARRAY_INT, 3, ci, ci / 2, ci / 2);
        offsets = ravk_property_new_int_array("plane-offsets", RAVK_PROPERTY_ARRAY_INT, 3, 0, fi, fi + chroma);
    } else if (semi) {
        strides = ravk_property_new_int_array("plane-strides", RAVK_PROPERTY_ARRAY_INT, 2, ci, ci);
        offsets = ravk_property_new_int_array("plane-offsets", RAVK_PROPERTY_ARRAY_INT, 2, 0, fi);
    } else {
        strides = ravk_property_new_int_array("plane-strides", RAVK_PROPERTY_ARRAY_INT, 1, 4 * ci);
        offsets = ravk_property_new_int_array("plane-offsets", RAVK_PROPERTY_ARRAY_INT, 1, 0);
    }
    if (add(node, RAVK_PROPS_ELEMENT, strides) != 0) {
        ravk_property_free(offsets);
        return -1;
    }
    if (add(node, RAVK_PROPS_ELEMENT, offsets) != 0) return -1;
    return add(node, RAVK_PROPS_ELEMENT, ravk_property_new_uint("frame-size", static_cast<uint32_t>(frame)));
}

// Caps features of every structure: 1 when one is ANY, 0 when none is,
// -1 without caps.
int caps_features_any(RavkNode *node)
{
    GstCaps *caps = app_caps(node);
    if (caps == nullptr) caps = static_pad_caps(node, RAVK_SIDE_SINK);
    if (caps == nullptr) return -1;
    int result = 0;
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        GstCapsFeatures *features = gst_caps_get_features(caps, i);
        if (features != nullptr && gst_caps_features_is_any(features)) {
            result = 1;
            break;
        }
    }
    gst_caps_unref(caps);
    return result;
}

bool is_transfer_pair(const RavkNode *a, const RavkNode *b)
{
    if (a->type != RAVK_NODE_FILTER || b->type != RAVK_NODE_FILTER) return false;
    return (a->kind == RAVK_FILTER_GL_DOWNLOAD && b->kind == RAVK_FILTER_GL_UPLOAD) ||
           (a->kind == RAVK_FILTER_VULKAN_DOWNLOAD && b->kind == RAVK_FILTER_VULKAN_UPLOAD) ||
           (a->kind == RAVK_FILTER_D3D11_DOWNLOAD && b->kind == RAVK_FILTER_D3D11_UPLOAD);
}

void drop_element(RavkChain *chain, RavkChainElement *element, RavkNodeReplacedFn replaced, void *user)
{
    RavkNode *node = element->node;
    if (replaced != nullptr) replaced(node, nullptr, user);
    ravk_chain_unlink(chain, element);
    ravk_node_free(&node);
}

int link_pads(GstPad *source, GstPad *sink)
{
    if (source == nullptr || sink == nullptr) return -1;
    const GstPadLinkReturn result = gst_pad_link(source, sink);
    if (result != GST_PAD_LINK_OK) {
        core_log(CORE_LOG_DEBUG, kLog, "link %s:%s -> %s:%s refused (%d)", GST_DEBUG_PAD_NAME(source),
                 GST_DEBUG_PAD_NAME(sink), result);
        return -1;
    }
    return 0;
}

// The union of the first structures of two caps texts: the second's name,
// fields and features plus the first's fields the second lacks. Empty
// when either text does not parse or has no structure.
bool caps_union(const char *first, const char *second, char (&out)[RAVK_NODE_TEXT_SIZE])
{
    out[0] = '\0';
    GstCaps *a = parse_caps(first);
    GstCaps *b = parse_caps(second);
    bool ok = false;
    if (a != nullptr && b != nullptr && gst_caps_get_size(a) > 0 && gst_caps_get_size(b) > 0) {
        GstStructure *merged = gst_structure_copy(gst_caps_get_structure(b, 0));
        const GstStructure *from = gst_caps_get_structure(a, 0);
        for (gint i = 0; i < gst_structure_n_fields(from); ++i) {
            const gchar *field = gst_structure_nth_field_name(from, static_cast<guint>(i));
            if (!gst_structure_has_field(merged, field))
                gst_structure_set_value(merged, field, gst_structure_get_value(from, field));
        }
        GstCaps *result = gst_caps_new_empty();
        GstCapsFeatures *features = gst_caps_get_features(b, 0);
        gst_caps_append_structure_full(result, merged, features ? gst_caps_features_copy(features) : nullptr);
        gchar *text = gst_caps_to_string(result);
        snprintf(out, sizeof(out), "%s", text);
        ok = strlen(text) < sizeof(out);
        g_free(text);
        gst_caps_unref(result);
    }
    if (a != nullptr) gst_caps_unref(a);
    if (b != nullptr) gst_caps_unref(b);
    if (!ok) out[0] = '\0';
    return ok;
}

RavkChainElement *new_element(RavkNode *node)
{
    RavkChainElement *element = new (std::nothrow) RavkChainElement();
    if (element != nullptr) element->node = node;
    return element;
}

}  // namespace

// ---- property application ----

int ravk_object_apply_property(GObject *object, const RavkProperty *record)
{
    if (object == nullptr || record == nullptr) return -1;
    const GType type = G_VALUE_TYPE(&record->value);
    if (!value_type_applies(type)) {
        core_log(CORE_LOG_DEBUG, kLog, "'%s': a %s record is not applied", record->name, g_type_name(type));
        return -1;
    }
    GParamSpec *pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(object), record->name);
    if (pspec == nullptr) {
        // Element versions differ in their property sets; one without the
        // property simply keeps its default.
        core_log(CORE_LOG_DEBUG, kLog, "%s has no property '%s'; skipped", G_OBJECT_TYPE_NAME(object), record->name);
        return -1;
    }
    if ((pspec->flags & G_PARAM_WRITABLE) == 0 || (pspec->flags & G_PARAM_CONSTRUCT_ONLY) != 0) {
        core_log(CORE_LOG_DEBUG, kLog, "'%s' of %s is not writable; skipped", record->name, G_OBJECT_TYPE_NAME(object));
        return -1;
    }
    GValue value = G_VALUE_INIT;
    g_value_init(&value, pspec->value_type);
    // Records carry enumerations and flags as plain integers.
    bool converted = true;
    if (G_TYPE_IS_ENUM(pspec->value_type) && (type == G_TYPE_INT || type == G_TYPE_UINT))
        g_value_set_enum(&value, type == G_TYPE_INT ? g_value_get_int(&record->value)
                                                    : static_cast<gint>(g_value_get_uint(&record->value)));
    else if (G_TYPE_IS_FLAGS(pspec->value_type) && (type == G_TYPE_INT || type == G_TYPE_UINT))
        g_value_set_flags(&value, type == G_TYPE_UINT ? g_value_get_uint(&record->value)
                                                      : static_cast<guint>(g_value_get_int(&record->value)));
    else if (g_type_is_a(type, pspec->value_type))
        g_value_copy(&record->value, &value);
    else
        converted = g_value_type_transformable(type, pspec->value_type) && g_value_transform(&record->value, &value);
    if (converted && g_param_value_validate(pspec, &value)) {
        // Thread counts follow the processor count, which can exceed what an
        // element allows (vp8dec takes at most 16): a number is held to the
        // property's range; any other value that does not fit is skipped.
        const GType fundamental = G_TYPE_FUNDAMENTAL(pspec->value_type);
        const bool numeric = fundamental == G_TYPE_INT || fundamental == G_TYPE_UINT || fundamental == G_TYPE_LONG ||
                             fundamental == G_TYPE_ULONG || fundamental == G_TYPE_INT64 ||
                             fundamental == G_TYPE_UINT64 || fundamental == G_TYPE_FLOAT ||
                             fundamental == G_TYPE_DOUBLE;
        converted = numeric;
        if (numeric)
            core_log(CORE_LOG_DEBUG, kLog, "'%s' of %s held to its range", record->name, G_OBJECT_TYPE_NAME(object));
    }
    if (!converted) {
        core_log(CORE_LOG_WARN, kLog, "'%s' of %s does not take this %s value; skipped", record->name,
                 G_OBJECT_TYPE_NAME(object), g_type_name(type));
        g_value_unset(&value);
        return -1;
    }
    g_object_set_property(object, record->name, &value);
    g_value_unset(&value);
    return 0;
}

// ---- creation ----

RavkNode *ravk_node_new(RavkNode *owner, uint32_t type, uint32_t kind, RavkMediaFlags media, int32_t index,
                        const char *factory_name, const char *element_name, const char *caps, int32_t position,
                        GstDevice *device, const RavkAudioCodecSetup *audio, const RavkVideoCodecSetup *video,
                        uint32_t audio_backend, int32_t video_backend)
{
    RavkNode *node = new (std::nothrow) RavkNode();
    if (node == nullptr) return nullptr;
    node->position = position;
    node->index = index;
    node->type = type;
    node->kind = kind;
    node->media = media;
    node->owner = owner;
    node->audio_backend = audio_backend;
    node->video_backend = video_backend;
    copy_text(node->factory_name, factory_name);
    copy_text(node->element_name, element_name);
    copy_text(node->caps, caps);
    if (audio != nullptr) node->audio_setup = *audio;
    if (video != nullptr) node->video_setup = *video;

    if (owner != nullptr) {
        RavkNode *holder = holder_of(node);
        if (position == RAVK_COMPANION_BEFORE) {
            node->previous = holder->companions_last;
            if (holder->companions_last != nullptr)
                holder->companions_last->next = node;
            else
                holder->companions_first = node;
            holder->companions_last = node;
        } else {
            node->next = holder->companions_first;
            if (holder->companions_first != nullptr)
                holder->companions_first->previous = node;
            else
                holder->companions_last = node;
            holder->companions_first = node;
        }
    }

    // The time overlay has no set-up, so its node could never be made;
    // making its element would only load the font stack for nothing.
    if (type == RAVK_NODE_TIMESTAMP)
        node->element = nullptr;
    else if (type == RAVK_NODE_PIPELINE)
        node->element = gst_pipeline_new(node->factory_name);
    else if (device != nullptr)
        node->element = gst_device_create_element(device, nullptr);
    else if (strcmp(node->factory_name, RAVK_UNKNOWN_ELEMENT) != 0)
        node->element = gst_element_factory_make(node->factory_name, element_name);
    // The node holds its own reference; a bin takes another when it adds
    // the element.
    if (node->element != nullptr) gst_object_ref_sink(node->element);

    bool ok = node->element != nullptr;
    for (GPtrArray *&list : node->properties) {
        list = g_ptr_array_new_with_free_func(free_record);
        ok = ok && list != nullptr;
    }
    if (!ok || ravk_node_setup(node, media) != 0) {
        core_log(CORE_LOG_DEBUG, kLog, "node '%s' of factory '%s' cannot be made", node->element_name,
                 node->factory_name);
        ravk_node_free(&node);
        return nullptr;
    }
    return node;
}

RavkNode *ravk_node_new_by_type(uint32_t type, RavkMediaFlags media, int32_t index, const char *element_name,
                                const char *caps, uint32_t audio_backend, int32_t video_backend)
{
    const char *factory = RAVK_UNKNOWN_ELEMENT;
    switch (type) {
    case RAVK_NODE_FILTER:
    case RAVK_NODE_ENCODER:
    case RAVK_NODE_DECODER:
    case RAVK_NODE_PREVIEW_SINK: break;  // made by their dedicated operations
    case RAVK_NODE_TIMESTAMP: factory = has_video(media) ? "timeoverlay" : RAVK_UNKNOWN_ELEMENT; break;
    default:
        factory = ravk_node_factory_name(type, 0, media, audio_backend, static_cast<uint32_t>(video_backend));
        break;
    }
    if (element_name == nullptr) element_name = ravk_node_role_name(type, 0, media);
    return new_top(type, 0, media, index, factory, element_name, caps, audio_backend, video_backend);
}

RavkNode *ravk_node_new_from_source(RavkDeviceNode *device)
{
    RavkSourceDescriptor *d = ravk_device_node_desc(device, -1);
    if (d == nullptr) return nullptr;
    RavkSourceOps &ops = device->ops;
    int32_t type = 0, kind = 0, audio_backend = 0, video_backend = 0;
    uint32_t media = 0;
    void *gst_device = nullptr;
    char factory[RAVK_SOURCE_TEXT_SIZE], role[RAVK_SOURCE_TEXT_SIZE], caps[RAVK_SOURCE_TEXT_SIZE];
    uint64_t count = 0;
    if (ops.get_node_type(d, &type) != 0 || ops.get_reserved(d, &kind) != 0 || ops.get_codec(d, &media) != 0 ||
        ops.get_factory(d, factory, sizeof(factory)) != 0 || ops.get_role(d, role, sizeof(role)) != 0 ||
        ops.get_device(d, &gst_device) != 0 || ops.get_audio_backend(d, &audio_backend) != 0 ||
        ops.get_video_backend(d, &video_backend) != 0 || ops.get_caps(d, caps, sizeof(caps)) != 0 ||
        ops.property_count(d, &count) != 0)
        return nullptr;
    RavkNode *node = ravk_node_new(nullptr, static_cast<uint32_t>(type), static_cast<uint32_t>(kind), media, 1, factory,
                                   role, caps, 0, static_cast<GstDevice *>(gst_device), nullptr, nullptr,
                                   static_cast<uint32_t>(audio_backend), video_backend);
    if (node == nullptr) return nullptr;
    for (uint64_t i = 0; i < count && i <= G_MAXINT32; ++i) {
        RavkProperty *record = nullptr;
        if (ops.property_at(d, static_cast<int32_t>(i), &record) != 0 || record == nullptr ||
            add(node, RAVK_PROPS_ELEMENT, ravk_property_copy(record)) != 0) {
            ravk_node_free(&node);
            return nullptr;
        }
    }
    return node;
}

RavkNode *ravk_node_new_crop(RavkMediaFlags media, const char *caps, int32_t video_backend, int32_t index,
                             const RavkCrop *rectangle)
{
    if (!maker_media_ok(media, true) || rectangle == nullptr) return nullptr;
    if (rectangle->left < 0 || rectangle->top < 0 || rectangle->right < 0 || rectangle->bottom < 0) return nullptr;
    const char *factory = ravk_filter_factory_name(RAVK_FILTER_CROP, static_cast<uint32_t>(video_backend));
    RavkNode *node =
        new_top(RAVK_NODE_FILTER, RAVK_FILTER_CROP, media, index, factory, "video_crop", caps, 0, video_backend);
    if (node == nullptr) return nullptr;
    const struct {
        const char *name, *mixer_name;
        int32_t value;
    } sides[] = {{"left", "crop_left", rectangle->left},
                 {"top", "crop_top", rectangle->top},
                 {"right", "crop_right", rectangle->right},
                 {"bottom", "crop_bottom", rectangle->bottom}};
    int result = 0;
    if (video_backend == RAVK_BACKEND_GL) {
        // The mixer crops per input: its request sink pad carries the values.
        GstPad *pad = ravk_node_get_pad(node, RAVK_SIDE_SINK);
        if (pad != nullptr) gst_object_unref(pad);
        for (const auto &side : sides)
            if (side.value != 0)
                result |= add(node, RAVK_PROPS_SINK_PAD, ravk_property_new_int(side.mixer_name, side.value));
        // "background" belongs to the mixer element, not to its pads.
        result |= add(node, RAVK_PROPS_ELEMENT, ravk_property_new_int("background", 3));
    } else {
        for (const auto &side : sides) {
            if (side.value == 0) continue;
            if (video_backend == RAVK_BACKEND_GSTREAMER)
                result |= add(node, RAVK_PROPS_ELEMENT, ravk_property_new_int(side.name, side.value));
            else if (video_backend == RAVK_BACKEND_LIBYUV)
                result |=
                    add(node, RAVK_PROPS_ELEMENT, ravk_property_new_uint(side.name, static_cast<uint32_t>(side.value)));
        }
    }
    if (result != 0) ravk_node_free(&node);
    return node;
}

RavkNode *ravk_node_new_scale(RavkMediaFlags media, int32_t video_backend, const CoreFrameSize *size, uint32_t fourcc,
                              int32_t index)
{
    if (!maker_media_ok(media, true)) return nullptr;
    char caps[RAVK_NODE_TEXT_SIZE] = "";
    const bool sized = valid_size(size);
    if (sized || fourcc != RAVK_FOURCC_NONE) {
        int used = snprintf(caps, sizeof(caps), "video/x-raw");
        const char *memory = memory_name(video_backend);
        if (memory != nullptr) used += snprintf(caps + used, sizeof(caps) - used, "(memory:%s)", memory);
        if (sized)
            used += snprintf(caps + used, sizeof(caps) - used, ", width=%u, height=%u", size->width, size->height);
        if (fourcc != RAVK_FOURCC_NONE) {
            char text[5];
            snprintf(caps + used, sizeof(caps) - used, ", format=(string)%s", ravk_fourcc_text(fourcc, text));
        }
    }
    const char *factory = ravk_filter_factory_name(RAVK_FILTER_SCALE, static_cast<uint32_t>(video_backend));
    return new_top(RAVK_NODE_FILTER, RAVK_FILTER_SCALE, media, index, factory, "video_scale", caps, 0, video_backend);
}

RavkNode *ravk_node_new_raw_parser(RavkMediaFlags media, const char *caps, int32_t index,
                                   const CoreFrameSize *buffer_size, const CoreVideoMode *visible, uint32_t fourcc)
{
    const bool video = is_video_only(media) && (media & RAVK_MEDIA_MUXED) == 0;
    if (video && (!valid_size(buffer_size) || visible == nullptr)) return nullptr;
    const char *factory = ravk_node_factory_name(RAVK_NODE_PARSER, RAVK_PARSER_RAWVIDEO, media, 0, 0);
    const char *name = ravk_node_role_name(RAVK_NODE_PARSER, RAVK_PARSER_RAWVIDEO, media);
    RavkNode *node =
        new_top(RAVK_NODE_PARSER, RAVK_PARSER_RAWVIDEO, media, index, factory, name, caps, 0, RAVK_BACKEND_GSTREAMER);
    if (node == nullptr || !video) return node;
    const bool fits = visible->width <= G_MAXINT32 && visible->height <= G_MAXINT32 &&
                      visible->rate_num <= G_MAXINT32 && visible->rate_den <= G_MAXINT32 && visible->rate_den != 0;
    if (!fits || add(node, RAVK_PROPS_ELEMENT, ravk_property_new_int("format", raw_parser_format(fourcc))) != 0 ||
        add(node, RAVK_PROPS_ELEMENT,
            ravk_property_new_fraction("framerate", static_cast<int32_t>(visible->rate_num),
                                       static_cast<int32_t>(visible->rate_den))) != 0 ||
        add(node, RAVK_PROPS_ELEMENT, ravk_property_new_fraction("pixel-aspect-ratio", 1, 1)) != 0 ||
        add(node, RAVK_PROPS_ELEMENT, ravk_property_new_int("width", static_cast<int32_t>(visible->width))) != 0 ||
        add(node, RAVK_PROPS_ELEMENT, ravk_property_new_int("height", static_cast<int32_t>(visible->height))) != 0 ||
        raw_parser_layout(node, fourcc, buffer_size) != 0)
        ravk_node_free(&node);
    return node;
}

RavkNode *ravk_node_new_live_rate(RavkMediaFlags media, int32_t index, const RavkFraction *minimum,
                                  const RavkFraction *maximum)
{
    if (!maker_media_ok(media, true)) return nullptr;
    RavkNode *node = new_top(RAVK_NODE_FILTER, RAVK_FILTER_LIVE_RATE, media, index, "liverate", "video_live_rate",
                             nullptr, 0, RAVK_BACKEND_GSTREAMER);
    if (node == nullptr) return nullptr;
    int32_t n = 0, d = 1;
    rate_or_off(minimum, &n, &d);
    int result = add(node, RAVK_PROPS_ELEMENT, ravk_property_new_fraction("min-framerate", n, d));
    rate_or_off(maximum, &n, &d);
    result |= add(node, RAVK_PROPS_ELEMENT, ravk_property_new_fraction("max-framerate", n, d));
    result |= add(node, RAVK_PROPS_ELEMENT, ravk_property_new_boolean("qos", 0));
    if (result != 0) ravk_node_free(&node);
    return node;
}

RavkNode *ravk_node_new_color_convert(RavkMediaFlags media, const char *caps, const char *name, int32_t video_backend,
                                      int32_t index)
{
    if (!maker_media_ok(media, true)) return nullptr;
    char element_name[RAVK_NODE_TEXT_SIZE];
    snprintf(element_name, sizeof(element_name), "video_color_convert/%s", name != nullptr ? name : "conversion");
    const char *factory = ravk_filter_factory_name(RAVK_FILTER_COLOR_CONVERT, static_cast<uint32_t>(video_backend));
    return new_top(RAVK_NODE_FILTER, RAVK_FILTER_COLOR_CONVERT, media, index, factory, element_name, caps, 0,
                   video_backend);
}

RavkNode *ravk_node_new_audio_convert(RavkMediaFlags media, const char *name, int32_t index)
{
    if (!maker_media_ok(media, false)) return nullptr;
    char element_name[RAVK_NODE_TEXT_SIZE];
    snprintf(element_name, sizeof(element_name), "audio_convert/%s", name != nullptr ? name : "conversion");
    return new_top(RAVK_NODE_FILTER, RAVK_FILTER_AUDIO_CONVERT, media, index, "audioconvert", element_name, nullptr,
                   RAVK_AUDIO_BACKEND_GSTREAMER, 0);
}

RavkNode *ravk_node_new_audio_resample(RavkMediaFlags media, const char *name, int32_t index)
{
    if (!maker_media_ok(media, false)) return nullptr;
    char element_name[RAVK_NODE_TEXT_SIZE];
    snprintf(element_name, sizeof(element_name), "audio_resample/%s", name != nullptr ? name : "resample");
    return new_top(RAVK_NODE_FILTER, RAVK_FILTER_AUDIO_RESAMPLE, media, index, "audioresample", element_name, nullptr,
                   RAVK_AUDIO_BACKEND_GSTREAMER, 0);
}

RavkChainElement *ravk_node_new_padding(RavkMediaFlags media, int32_t index, const CoreFrameSize *size)
{
    if (!maker_media_ok(media, true)) return nullptr;
    char caps[RAVK_NODE_TEXT_SIZE] = "";
    if (size != nullptr) snprintf(caps, sizeof(caps), "video/x-raw, width=%u, height=%u", size->width, size->height);
    const char *factory = ravk_filter_factory_name(RAVK_FILTER_PADDING, RAVK_BACKEND_GSTREAMER);
    RavkNode *node = new_top(RAVK_NODE_FILTER, RAVK_FILTER_PADDING, media, index, factory, "video_padding", caps, 0,
                             RAVK_BACKEND_GSTREAMER);
    if (node == nullptr) return nullptr;
    int result = 0;
    if (size != nullptr) result |= add(node, RAVK_PROPS_ELEMENT, ravk_property_new_boolean("autocrop", 1));
    result |= add(node, RAVK_PROPS_ELEMENT, ravk_property_new_boolean("qos", 0));
    RavkChainElement *element = result == 0 ? new_element(node) : nullptr;
    if (element == nullptr) ravk_node_free(&node);
    return element;
}

RavkNode *ravk_video_sink_node_new(int32_t video_backend)
{
    static const struct {
        int32_t backend;
        uint32_t kind;
    } kSinks[] = {
        {RAVK_BACKEND_GSTREAMER, RAVK_SINK_AUTOVIDEO},
        {RAVK_BACKEND_GL, RAVK_SINK_GLIMAGE},
        {RAVK_BACKEND_VAAPI, RAVK_SINK_VAAPI},
        {RAVK_BACKEND_VULKAN, RAVK_SINK_VULKAN},
        {RAVK_BACKEND_V4L2, RAVK_SINK_V4L2},
        {8, RAVK_SINK_OSXVIDEO},
        {RAVK_BACKEND_X11, RAVK_SINK_X11_IMAGE},
        {10, RAVK_SINK_XV_IMAGE},
        {18, RAVK_SINK_D3DVIDEO},
        {RAVK_BACKEND_D3D11, RAVK_SINK_D3D11VIDEO},
        {25, RAVK_SINK_WAYLAND},
        {26, RAVK_SINK_GTKWAYLAND},
    };
    uint32_t kind = 0;
    for (const auto &row : kSinks)
        if (row.backend == video_backend) kind = row.kind;
    const char *factory =
        kind != 0 ? ravk_node_factory_name(RAVK_NODE_PREVIEW_SINK, kind, RAVK_MEDIA_VIDEO, 0, 0) : RAVK_UNKNOWN_ELEMENT;
    return new_top(RAVK_NODE_PREVIEW_SINK, kind, RAVK_MEDIA_VIDEO, 1, factory, "video_preview_sink", nullptr, 0,
                   video_backend);
}

// ---- set-up ----

int ravk_node_setup(RavkNode *node, RavkMediaFlags media)
{
    if (node == nullptr || node->element == nullptr) return -1;
    if (setup_encoder_precheck(node, media) != 0) return -1;
    if (setup_caps_companion(node, media) != 0) return -1;
    switch (node->type) {
    case RAVK_NODE_CAPTURE_SOURCE:
        // PipeWire delivers frames only when asked as a live source.
        if (node->video_backend == RAVK_BACKEND_PIPEWIRE && GST_IS_BASE_SRC(node->element))
            gst_base_src_set_live(GST_BASE_SRC(node->element), TRUE);
        return 0;
    case RAVK_NODE_BINARY_SOURCE: return setup_app_source(node);
    case RAVK_NODE_TEE: return ravk_node_setup_tee(node);
    case RAVK_NODE_QUEUE:
    case RAVK_NODE_LIVE_QUEUE: return ravk_node_setup_queue(node);
    case RAVK_NODE_FILTER: return ravk_node_setup_filter(node);
    case RAVK_NODE_ENCODER: return ravk_node_setup_encoder(node);
    case RAVK_NODE_DECODER: return ravk_node_setup_decoder(node);
    case RAVK_NODE_PAYLOADER: return ravk_node_setup_payloader(node);
    case RAVK_NODE_MUXER: return ravk_node_setup_muxer(node);
    case RAVK_NODE_PREVIEW_SINK: return ravk_node_setup_sink(node);
    case RAVK_NODE_BINARY_SINK: return ravk_node_setup_appsink(node);
    case RAVK_NODE_CAPSFILTER: return setup_caps_filter(node);
    case RAVK_NODE_PARSER:
    case RAVK_NODE_DEPAYLOADER:
    case RAVK_NODE_PIPELINE: return 0;
    case RAVK_NODE_DEMUXER: return setup_demuxer(node, media);
    default: return -1;  // RAVK_NODE_TIMESTAMP has no set-up
    }
}

int ravk_node_add_property(RavkNode *node, uint32_t list, RavkProperty *record)
{
    if (node == nullptr || record == nullptr || list > RAVK_PROPS_SINK_PAD || node->properties[list] == nullptr)
        return -1;
    GPtrArray *array = node->properties[list];
    for (guint i = 0; i < array->len; ++i) {
        if (strcmp(static_cast<RavkProperty *>(g_ptr_array_index(array, i))->name, record->name) == 0) {
            g_ptr_array_remove_index(array, i);  // frees the old record
            break;
        }
    }
    g_ptr_array_add(array, record);
    return 0;
}

const RavkProperty *ravk_node_find_property(const RavkNode *node, uint32_t list, const char *name)
{
    if (node == nullptr || name == nullptr || list > RAVK_PROPS_SINK_PAD || node->properties[list] == nullptr)
        return nullptr;
    GPtrArray *array = node->properties[list];
    for (guint i = 0; i < array->len; ++i) {
        const RavkProperty *record = static_cast<const RavkProperty *>(g_ptr_array_index(array, i));
        if (strcmp(record->name, name) == 0) return record;
    }
    return nullptr;
}

void ravk_node_free(RavkNode **pointer)
{
    if (pointer == nullptr || *pointer == nullptr) return;
    RavkNode *node = *pointer;
    *pointer = nullptr;
    if (node->element != nullptr) {
        if (node->pad_added_handler != 0) g_signal_handler_disconnect(node->element, node->pad_added_handler);
        if (node->format_changed_handler != 0) g_signal_handler_disconnect(node->element, node->format_changed_handler);
    }
    for (GPtrArray *&list : node->properties) {
        if (list != nullptr) g_ptr_array_unref(list);
        list = nullptr;
    }
    while (node->companions_last != nullptr) {
        RavkNode *companion = node->companions_last;
        // A companion of a companion names its own owner, which may be gone
        // by now; this list is where it lives.
        companion->owner = node;
        ravk_node_free(&companion);  // unlinks itself from this list
    }
    if (node->element != nullptr) {
        // Pending buffers and streaming threads refer to the node: stop the
        // element before the node goes.
        gst_element_set_state(node->element, GST_STATE_NULL);
        if (node->type != RAVK_NODE_PIPELINE) {
            ravk_node_release_request_pads(node, gst_element_iterate_src_pads(node->element));
            ravk_node_release_request_pads(node, gst_element_iterate_sink_pads(node->element));
            if (node->bin != nullptr) gst_bin_remove(GST_BIN(node->bin), node->element);
        }
        gst_object_unref(node->element);
    }
    ravk_node_detach_pushes(node);
    RavkNode *holder = holder_of(node);
    if (holder != nullptr) {
        companion_unlink(holder, node);
        for (RavkNode *c = holder->companions_first; c != nullptr; c = c->next)
            if (c->owner == node) c->owner = holder;
    }
    delete node;
}

// ---- pads ----

GstPad *ravk_node_get_pad(RavkNode *node, int32_t side)
{
    if (node == nullptr || node->element == nullptr) return nullptr;
    const bool source = side == RAVK_SIDE_SOURCE;
    GstPad *pad = gst_element_get_static_pad(node->element, source ? "src" : "sink");
    if (pad != nullptr) return pad;
    GstIterator *it =
        source ? gst_element_iterate_src_pads(node->element) : gst_element_iterate_sink_pads(node->element);
    GValue item = G_VALUE_INIT;
    for (bool done = false; !done && pad == nullptr;) {
        switch (gst_iterator_next(it, &item)) {
        case GST_ITERATOR_OK:
            pad = GST_PAD(g_value_dup_object(&item));
            g_value_reset(&item);
            break;
        case GST_ITERATOR_RESYNC: gst_iterator_resync(it); break;
        default: done = true; break;
        }
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    if (pad != nullptr) return pad;
    GstPadTemplate *templ =
        gst_element_class_get_pad_template(GST_ELEMENT_GET_CLASS(node->element), source ? "src_%u" : "sink_%u");
    if (templ == nullptr) return nullptr;
    return gst_element_request_pad(node->element, templ, nullptr, nullptr);
}

bool ravk_pad_is_request(GstPad *pad)
{
    if (pad == nullptr) return false;
    gchar *name = gst_pad_get_name(pad);
    const bool request = is_request_name(name);
    g_free(name);
    return request;
}

void ravk_node_release_request_pads(RavkNode *node, GstIterator *pads)
{
    if (pads == nullptr) return;
    // Collect first: releasing while iterating would resync forever.
    GPtrArray *found = g_ptr_array_new_with_free_func(gst_object_unref);
    GValue item = G_VALUE_INIT;
    for (bool done = false; !done;) {
        switch (gst_iterator_next(pads, &item)) {
        case GST_ITERATOR_OK: {
            GstPad *pad = GST_PAD(g_value_get_object(&item));
            if (ravk_pad_is_request(pad)) g_ptr_array_add(found, gst_object_ref(pad));
            g_value_reset(&item);
            break;
        }
        case GST_ITERATOR_RESYNC:
            g_ptr_array_set_size(found, 0);
            gst_iterator_resync(pads);
            break;
        default: done = true; break;
        }
    }
    g_value_unset(&item);
    gst_iterator_free(pads);
    if (node != nullptr && node->element != nullptr)
        for (guint i = 0; i < found->len; ++i)
            gst_element_release_request_pad(node->element, GST_PAD(g_ptr_array_index(found, i)));
    g_ptr_array_unref(found);
}

// ---- graph ----

int ravk_pipeline_add_node(RavkNode *pipeline, RavkNode *node)
{
    if (pipeline == nullptr || node == nullptr || pipeline->type != RAVK_NODE_PIPELINE ||
        node->type == RAVK_NODE_PIPELINE || pipeline->element == nullptr || node->element == nullptr ||
        node->bin != nullptr)
        return -1;
    if (!gst_bin_add(GST_BIN(pipeline->element), node->element)) return -1;
    node->bin = pipeline->element;
    apply_list(G_OBJECT(node->element), node->properties[RAVK_PROPS_ELEMENT]);
    for (uint32_t list : {RAVK_PROPS_SRC_PAD, RAVK_PROPS_SINK_PAD}) {
        if (node->properties[list]->len == 0) continue;
        GstPad *pad = ravk_node_get_pad(node, list == RAVK_PROPS_SRC_PAD ? RAVK_SIDE_SOURCE : RAVK_SIDE_SINK);
        if (pad == nullptr) continue;
        apply_list(G_OBJECT(pad), node->properties[list]);
        gst_object_unref(pad);
    }
    return 0;
}

int ravk_node_link(RavkNode *upstream, RavkNode *downstream)
{
    if (upstream == nullptr || downstream == nullptr || upstream->element == nullptr || downstream->element == nullptr)
        return -1;
    int result = -1;
    if (upstream->type == RAVK_NODE_TEE) {
        GstPadTemplate *templ = gst_element_class_get_pad_template(GST_ELEMENT_GET_CLASS(upstream->element), "src_%u");
        GstPad *source = templ ? gst_element_request_pad(upstream->element, templ, nullptr, nullptr) : nullptr;
        GstPad *sink = gst_element_get_static_pad(downstream->element, "sink");
        result = link_pads(source, sink);
        if (source != nullptr) gst_object_unref(source);  // the pad stays with the tee
        if (sink != nullptr) gst_object_unref(sink);
    } else if (downstream->type == RAVK_NODE_MUXER) {
        GstPad *source = gst_element_get_static_pad(upstream->element, "src");
        GstPad *sink = source ? gst_element_get_compatible_pad(downstream->element, source, nullptr) : nullptr;
        result = link_pads(source, sink);
        if (source != nullptr) gst_object_unref(source);
        if (sink != nullptr) gst_object_unref(sink);
    } else if (upstream->type == RAVK_NODE_DEMUXER) {
        GstPad *sink = gst_element_get_static_pad(downstream->element, "sink");
        if (sink == nullptr) return -1;
        GstPad *source = upstream->dynamic_pad != nullptr
                             ? GST_PAD(gst_object_ref(upstream->dynamic_pad))
                             : gst_element_get_compatible_pad(upstream->element, sink, nullptr);
        result = link_pads(source, sink);
        if (source != nullptr) gst_object_unref(source);
        gst_object_unref(sink);
    } else {
        result = gst_element_link(upstream->element, downstream->element) ? 0 : -1;
    }
    return result;
}

RavkNode *ravk_node_merge(RavkNode *first, RavkNode *second)
{
    if (first == nullptr || second == nullptr) return nullptr;
    char caps[RAVK_NODE_TEXT_SIZE] = "";
    if (first->caps[0] != '\0' && second->caps[0] != '\0') {
        if (!caps_union(first->caps, second->caps, caps)) return nullptr;
    } else {
        snprintf(caps, sizeof(caps), "%s", first->caps[0] != '\0' ? first->caps : second->caps);
    }
    RavkNode *merged = new_top(first->type, first->kind, first->media, first->index, first->factory_name,
                               first->element_name, caps, first->audio_backend, first->video_backend);
    if (merged == nullptr) return nullptr;
    for (RavkNode *from : {first, second}) {
        GPtrArray *list = from->properties[RAVK_PROPS_ELEMENT];
        for (guint i = 0; list != nullptr && i < list->len; ++i) {
            if (add(merged, RAVK_PROPS_ELEMENT,
                    ravk_property_copy(static_cast<RavkProperty *>(g_ptr_array_index(list, i)))) != 0) {
                ravk_node_free(&merged);
                return nullptr;
            }
        }
    }
    return merged;
}

RavkNode *ravk_node_new_memory_transfer(RavkNode *upstream, RavkNode *downstream)
{
    if (upstream == nullptr || downstream == nullptr || !has_video(upstream->media)) return nullptr;
    if (ravk_node_can_link(upstream, downstream, nullptr) != 0) return nullptr;
    const int32_t a = upstream->video_backend, b = downstream->video_backend;
    uint32_t kind = 0;
    int32_t backend = 0;
    if (b == RAVK_BACKEND_VULKAN)
        kind = RAVK_FILTER_VULKAN_UPLOAD, backend = RAVK_BACKEND_VULKAN;
    else if (a == RAVK_BACKEND_VULKAN)
        kind = RAVK_FILTER_VULKAN_DOWNLOAD, backend = RAVK_BACKEND_VULKAN;
    else if (b == RAVK_BACKEND_GL)
        kind = RAVK_FILTER_GL_UPLOAD, backend = RAVK_BACKEND_GL;
    else if (a == RAVK_BACKEND_GL)
        kind = RAVK_FILTER_GL_DOWNLOAD, backend = RAVK_BACKEND_GL;
    else if (b == RAVK_BACKEND_D3D11)
        kind = RAVK_FILTER_D3D11_UPLOAD, backend = RAVK_BACKEND_D3D11;
    else if (a == RAVK_BACKEND_D3D11)
        kind = RAVK_FILTER_D3D11_DOWNLOAD, backend = RAVK_BACKEND_D3D11;
    else
        return nullptr;
    char name[RAVK_NODE_TEXT_SIZE];
    format_text(name, sizeof(name), "%s/%s/branch_%u", upstream->element_name,
                ravk_node_role_name(RAVK_NODE_FILTER, kind, RAVK_MEDIA_VIDEO), static_cast<uint32_t>(upstream->index));
    return new_top(RAVK_NODE_FILTER, kind, upstream->media, upstream->index,
                   ravk_filter_factory_name(kind, static_cast<uint32_t>(backend)), name, nullptr, 0, backend);
}

// ---- caps tests ----

int ravk_node_caps_is_any(RavkNode *node, int32_t side)
{
    if (node == nullptr || node->element == nullptr) return -1;
    GstCaps *caps = app_caps(node);
    if (caps == nullptr && node->type == RAVK_NODE_CAPSFILTER) caps = parse_caps(node->caps);
    if (caps == nullptr) {
        GstPad *pad = ravk_node_get_pad(node, side);
        if (pad == nullptr) return -1;
        caps = gst_pad_get_allowed_caps(pad);
        if (caps == nullptr) caps = gst_pad_get_current_caps(pad);
        if (caps == nullptr) caps = gst_pad_get_pad_template_caps(pad);
        gst_object_unref(pad);
    }
    if (caps == nullptr) return -1;
    const int result = gst_caps_is_any(caps) ? 1 : 0;
    gst_caps_unref(caps);
    return result;
}

int ravk_node_can_link(RavkNode *upstream, RavkNode *downstream, const char *features)
{
    if (upstream == nullptr || downstream == nullptr || upstream->element == nullptr || downstream->element == nullptr)
        return -1;
    GstCaps *out = parse_caps(upstream->caps);
    if (out == nullptr && upstream->type == RAVK_NODE_BINARY_SOURCE && is_appsrc(upstream))
        out = gst_app_src_get_caps(GST_APP_SRC(upstream->element));
    if (out == nullptr) out = pad_side_caps(upstream, RAVK_SIDE_SOURCE);
    GstCaps *in = nullptr;
    if (downstream->type == RAVK_NODE_BINARY_SINK && is_appsink(downstream))
        in = gst_app_sink_get_caps(GST_APP_SINK(downstream->element));
    if (in == nullptr) in = pad_side_caps(downstream, RAVK_SIDE_SINK);
    int result = -1;
    if (out != nullptr && in != nullptr) {
        if (features != nullptr) {
            GstCapsFeatures *wanted = gst_caps_features_from_string(features);
            in = gst_caps_make_writable(in);
            if (wanted != nullptr) gst_caps_set_features_simple(in, wanted);
        }
        result = gst_caps_can_intersect(out, in) ? 1 : 0;
    }
    if (out != nullptr) gst_caps_unref(out);
    if (in != nullptr) gst_caps_unref(in);
    return result;
}

int ravk_node_accepts_caps(RavkNode *node, int32_t side, const char *caps, uint32_t fourcc)
{
    if (node == nullptr || node->element == nullptr || caps == nullptr) return -1;
    char text[RAVK_NODE_TEXT_SIZE + 32];
    if (fourcc != RAVK_FOURCC_NONE) {
        char name[5];
        snprintf(text, sizeof(text), "%s, format=(string)%s", caps, ravk_fourcc_text(fourcc, name));
    } else {
        snprintf(text, sizeof(text), "%s", caps);
    }
    GstCaps *own = app_caps(node);
    if (own == nullptr) own = static_pad_caps(node, side);
    if (own == nullptr) return -1;
    GstCaps *wanted = parse_caps(text);
    int result = -1;
    if (wanted != nullptr) {
        result = gst_caps_can_intersect(own, wanted) ? 1 : 0;
        gst_caps_unref(wanted);
    }
    gst_caps_unref(own);
    return result;
}

// ---- chains ----

RavkChainElement *ravk_chain_append(RavkChain *chain, RavkNode *node)
{
    return chain != nullptr ? ravk_chain_insert_after(chain, chain->last, node) : nullptr;
}

RavkChainElement *ravk_chain_insert_before(RavkChain *chain, RavkChainElement *before, RavkNode *node)
{
    if (chain == nullptr || node == nullptr) return nullptr;
    if (before == nullptr) return ravk_chain_append(chain, node);
    RavkChainElement *element = new_element(node);
    if (element == nullptr) return nullptr;
    element->next = before;
    element->previous = before->previous;
    if (before->previous != nullptr)
        before->previous->next = element;
    else
        chain->first = element;
    before->previous = element;
    return element;
}

RavkChainElement *ravk_chain_insert_after(RavkChain *chain, RavkChainElement *after, RavkNode *node)
{
    if (chain == nullptr || node == nullptr) return nullptr;
    RavkChainElement *element = new_element(node);
    if (element == nullptr) return nullptr;
    if (after == nullptr) {  // at the front (or into an empty chain)
        element->next = chain->first;
        if (chain->first != nullptr)
            chain->first->previous = element;
        else
            chain->last = element;
        chain->first = element;
        return element;
    }
    element->previous = after;
    element->next = after->next;
    if (after->next != nullptr)
        after->next->previous = element;
    else
        chain->last = element;
    after->next = element;
    return element;
}

void ravk_chain_unlink(RavkChain *chain, RavkChainElement *element)
{
    if (chain == nullptr || element == nullptr) return;
    if (element->previous != nullptr)
        element->previous->next = element->next;
    else
        chain->first = element->next;
    if (element->next != nullptr)
        element->next->previous = element->previous;
    else
        chain->last = element->previous;
    delete element;
}

void ravk_chain_element_free(RavkChainElement **element)
{
    if (element == nullptr || *element == nullptr) return;
    ravk_node_free(&(*element)->node);
    delete *element;
    *element = nullptr;
}

void ravk_chain_free(RavkChain *chain)
{
    if (chain == nullptr) return;
    while (chain->last != nullptr) {
        RavkNode *node = chain->last->node;
        ravk_chain_unlink(chain, chain->last);
        ravk_node_free(&node);
    }
}

int ravk_chain_merge(RavkChain *chain, RavkNodeReplacedFn replaced, void *user)
{
    if (chain == nullptr || chain->first == nullptr) return -1;
    RavkChainElement *element = chain->first;
    while (element != nullptr && element->next != nullptr) {
        RavkNode *a = element->node, *b = element->next->node;
        const bool same = (a->type == b->type && a->kind == b->kind) || strcmp(a->factory_name, b->factory_name) == 0;
        if (!same) {
            element = element->next;
            continue;
        }
        RavkNode *merged = ravk_node_merge(a, b);
        if (merged == nullptr) return -1;
        if (replaced != nullptr) {
            replaced(a, merged, user);
            replaced(b, merged, user);
        }
        ravk_chain_unlink(chain, element->next);
        element->node = merged;
        ravk_node_free(&a);
        ravk_node_free(&b);
    }
    return 0;
}

int ravk_chain_place_companions(RavkChain *chain)
{
    if (chain == nullptr) return -1;
    for (RavkChainElement *element = chain->first; element != nullptr;) {
        RavkNode *owner = element->node;
        RavkChainElement *after = element;
        while (owner->companions_last != nullptr) {
            RavkNode *companion = owner->companions_last;
            companion_unlink(owner, companion);
            companion->owner = nullptr;  // a chain node from now on
            RavkChainElement *placed = companion->position == RAVK_COMPANION_BEFORE
                                           ? ravk_chain_insert_before(chain, element, companion)
                                           : ravk_chain_insert_after(chain, after, companion);
            if (placed == nullptr) {
                ravk_node_free(&companion);
                return -1;
            }
            if (companion->position != RAVK_COMPANION_BEFORE) after = placed;
        }
        element = after->next;
    }
    return 0;
}

int ravk_chain_tidy(RavkChain *chain, RavkNodeReplacedFn replaced, void *user)
{
    if (chain == nullptr) return -1;
    for (bool again = true; again;) {
        again = false;
        for (RavkChainElement *e = chain->first; e != nullptr && e->next != nullptr; e = e->next) {
            if (!is_transfer_pair(e->node, e->next->node)) continue;
            drop_element(chain, e->next, replaced, user);
            drop_element(chain, e, replaced, user);
            again = true;
            break;
        }
    }
    for (RavkChainElement *e = chain->first; e != nullptr && e->next != nullptr; e = e->next) {
        const int any = ravk_node_caps_is_any(e->next->node, RAVK_SIDE_SINK);
        const int features = caps_features_any(e->next->node);
        if (any != 0 || features != 0) continue;
        RavkNode *transfer = ravk_node_new_memory_transfer(e->node, e->next->node);
        if (transfer == nullptr) continue;
        RavkChainElement *inserted = ravk_chain_insert_after(chain, e, transfer);
        if (inserted == nullptr) {
            ravk_node_free(&transfer);
            return -1;
        }
        e = inserted;
    }
    return 0;
}

int ravk_chain_add_to_pipeline(RavkNode *pipeline, RavkChain *chain)
{
    if (chain == nullptr) return -1;
    for (RavkChainElement *e = chain->first; e != nullptr; e = e->next)
        if (ravk_pipeline_add_node(pipeline, e->node) != 0) return -1;
    return 0;
}

int ravk_chain_link(RavkChain *chain)
{
    if (chain == nullptr || chain->first == nullptr) return -1;
    RavkChainElement *last_tee = nullptr;
    RavkChainElement *upstream = chain->first;
    for (RavkChainElement *e = chain->first->next; e != nullptr; e = e->next) {
        if (e->node->index != 1) continue;
        if (ravk_node_link(upstream->node, e->node) != 0) return -1;
        if (upstream->node->type == RAVK_NODE_TEE) last_tee = upstream;
        if (e->node->type == RAVK_NODE_TEE) last_tee = e;
        upstream = e;
    }
    upstream = last_tee != nullptr ? last_tee : chain->first;
    for (RavkChainElement *e = upstream->next; e != nullptr; e = e->next) {
        if (e->node->index != 2) continue;
        if (ravk_node_link(upstream->node, e->node) != 0) return -1;
        upstream = e;
    }
    return 0;
}

int ravk_branches_finish(RavkNode *pipeline, RavkBranchList *branches, RavkNodeReplacedFn replaced, void *user)
{
    if (pipeline == nullptr || branches == nullptr) return -1;
    RavkBranch *assembled[3] = {};
    for (uint32_t kind = 0; kind < 3; ++kind) {
        RavkBranch *branch = branches->first;
        while (branch != nullptr && branch->kind != kind) branch = branch->next;
        if (branch == nullptr) continue;
        if (ravk_chain_merge(&branch->chain, replaced, user) != 0 || ravk_chain_place_companions(&branch->chain) != 0 ||
            ravk_chain_tidy(&branch->chain, replaced, user) != 0 ||
            ravk_chain_add_to_pipeline(pipeline, &branch->chain) != 0)
            return -1;
        assembled[kind] = branch;
    }
    for (RavkBranch *branch : assembled)
        if (branch != nullptr && ravk_chain_link(&branch->chain) != 0) return -1;
    return 0;
}

RavkBranch *ravk_branch_append(RavkBranchList *branches, uint32_t kind)
{
    if (branches == nullptr) return nullptr;
    RavkBranch *branch = new (std::nothrow) RavkBranch();
    if (branch == nullptr) return nullptr;
    branch->kind = kind;
    branch->previous = branches->last;
    if (branches->last != nullptr)
        branches->last->next = branch;
    else
        branches->first = branch;
    branches->last = branch;
    return branch;
}

void ravk_branches_free(RavkBranchList *branches)
{
    if (branches == nullptr) return;
    while (branches->last != nullptr) {
        RavkBranch *branch = branches->last;
        branches->last = branch->previous;
        ravk_chain_free(&branch->chain);
        delete branch;
    }
    branches->first = nullptr;
}
