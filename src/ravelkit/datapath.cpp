#include "ravelkit/datapath.h"

#include <gst/video/colorbalance.h>
#include <gst/video/video.h>
#include <gst/video/videooverlay.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/log.h"
#include "ravelkit/frame.h"
#include "ravelkit/presets.h"

namespace
{

const char *const kLog = "ravelkit.datapath";

// Polling of an asynchronous stop: 40 looks of 50 ms.
const GstClockTime kStopPoll = 50 * GST_MSECOND;
const int kStopPolls = 40;

GstVideoFormat video_meta_format(uint32_t fourcc)
{
    static const struct {
        uint32_t fourcc;
        GstVideoFormat format;
    } kFormats[] = {
        {core_fourcc("I420"), GST_VIDEO_FORMAT_I420}, {core_fourcc("YV12"), GST_VIDEO_FORMAT_YV12},
        {core_fourcc("YUY2"), GST_VIDEO_FORMAT_YUY2}, {core_fourcc("UYVY"), GST_VIDEO_FORMAT_UYVY},
        {core_fourcc("RGBx"), GST_VIDEO_FORMAT_RGBx}, {core_fourcc("BGRx"), GST_VIDEO_FORMAT_BGRx},
        {core_fourcc("xRGB"), GST_VIDEO_FORMAT_xRGB}, {core_fourcc("xBGR"), GST_VIDEO_FORMAT_xBGR},
        {core_fourcc("RGBA"), GST_VIDEO_FORMAT_RGBA}, {core_fourcc("BGRA"), GST_VIDEO_FORMAT_BGRA},
        {core_fourcc("ARGB"), GST_VIDEO_FORMAT_ARGB}, {core_fourcc("ABGR"), GST_VIDEO_FORMAT_ABGR},
        {core_fourcc("I422"), GST_VIDEO_FORMAT_Y42B}, {core_fourcc("I444"), GST_VIDEO_FORMAT_Y444},
        {core_fourcc("NV12"), GST_VIDEO_FORMAT_NV12}, {core_fourcc("NV21"), GST_VIDEO_FORMAT_NV21},
        {core_fourcc("NV16"), GST_VIDEO_FORMAT_NV16}, {core_fourcc("NV24"), GST_VIDEO_FORMAT_NV24},
        {core_fourcc("NV61"), GST_VIDEO_FORMAT_NV61},
    };
    for (const auto &row : kFormats)
        if (row.fourcc == fourcc) return row.format;
    return GST_VIDEO_FORMAT_UNKNOWN;
}

void anchor_release(RavkPushAnchor *anchor)
{
    if (anchor != nullptr && anchor->references.fetch_sub(1) == 1) delete anchor;
}

bool valid_term(uint32_t value) { return value != 0 && value != UINT32_MAX; }

bool is_appsrc_node(const RavkNode *node)
{
    return node != nullptr && node->element != nullptr && GST_IS_APP_SRC(node->element);
}

// The source's own queue limits; the push never waits for room.
bool queue_full(GstAppSrc *source)
{
    const guint64 max_bytes = gst_app_src_get_max_bytes(source);
    const guint64 max_buffers = gst_app_src_get_max_buffers(source);
    const GstClockTime max_time = gst_app_src_get_max_time(source);
    return (max_bytes != 0 && gst_app_src_get_current_level_bytes(source) >= max_bytes) ||
           (max_buffers != 0 && gst_app_src_get_current_level_buffers(source) >= max_buffers) ||
           (max_time != 0 && gst_app_src_get_current_level_time(source) >= max_time);
}

// Plane offsets and strides of a raw frame, when the FourCC has a layout,
// the size is known and the frame fits in the sample. 0 no meta, 1 meta,
// -1 a frame larger than the sample.
int plan_video_meta(uint32_t fourcc, const CoreFrameSize *size, const RavkSample *sample, GstVideoFormat *format,
                    guint *planes, gsize offsets[GST_VIDEO_MAX_PLANES], gint strides[GST_VIDEO_MAX_PLANES])
{
    if (fourcc == RAVK_FOURCC_NONE || size == nullptr || !valid_term(size->width) || !valid_term(size->height))
        return 0;
    *format = video_meta_format(fourcc);
    RavkPlane layout[4];
    if (*format == GST_VIDEO_FORMAT_UNKNOWN || ravk_frame_planes(fourcc, size, sample->data, layout) != 0) return 0;
    const uint64_t bytes = ravk_frame_size(fourcc, size);
    if (bytes == 0 || bytes > sample->size) return -1;
    *planes = 0;
    for (uint32_t k = 0; k < 4 && layout[k].data != nullptr; ++k) {
        offsets[k] = static_cast<gsize>(layout[k].data - sample->data);
        strides[k] = layout[k].stride;
        *planes = k + 1;
    }
    return *planes > 0 ? 1 : 0;
}

void install_appsink_callbacks(RavkNode *node)
{
    if (node->appsink_callbacks.new_sample != nullptr) return;
    node->appsink_callbacks = {};
    node->appsink_callbacks.new_sample = ravk_appsink_on_new_sample;
    gst_app_sink_set_callbacks(GST_APP_SINK(node->element), &node->appsink_callbacks, node, nullptr);
}

uint32_t fourcc_from_text(const char *text)
{
    if (text == nullptr || text[0] == '\0') return RAVK_FOURCC_NONE;
    uint32_t fourcc = 0;
    bool ended = false;
    for (int k = 0; k < 4; ++k) {
        ended = ended || text[k] == '\0';
        const uint8_t c = ended ? ' ' : static_cast<uint8_t>(text[k]);
        fourcc |= static_cast<uint32_t>(c) << (8 * k);
    }
    return fourcc;
}

void report_caps(RavkNode *node, GstSample *sample)
{
    GstCaps *caps = gst_sample_get_caps(sample);
    if (caps == nullptr || gst_caps_get_size(caps) == 0) return;
    const GstStructure *s = gst_caps_get_structure(caps, 0);
    uint32_t size[2] = {0, 0};
    gint width = 0, height = 0;
    if (gst_structure_get_int(s, "width", &width) && gst_structure_get_int(s, "height", &height) && width > 0 &&
        height > 0) {
        size[0] = static_cast<uint32_t>(width);
        size[1] = static_cast<uint32_t>(height);
    }
    uint32_t rate[2] = {0, 0};
    gint numerator = 0, denominator = 0;
    // A variable-rate stream says 0/1 in "framerate" and its real ceiling
    // in "max-framerate".
    for (const char *field : {"framerate", "max-framerate"}) {
        if (gst_structure_get_fraction(s, field, &numerator, &denominator) && numerator >= 0 && denominator >= 0) {
            rate[0] = static_cast<uint32_t>(numerator);
            rate[1] = static_cast<uint32_t>(denominator);
        }
    }
    const uint32_t fourcc = fourcc_from_text(gst_structure_get_string(s, "format"));
    node->on_caps(node, size, rate, fourcc, node->caps_user);
}

GstColorBalanceChannel *find_channel(GstColorBalance *balance, const char *name)
{
    for (const GList *l = gst_color_balance_list_channels(balance); l != nullptr; l = l->next) {
        GstColorBalanceChannel *channel = GST_COLOR_BALANCE_CHANNEL(l->data);
        if (channel->label != nullptr && strstr(channel->label, name) != nullptr) return channel;
    }
    return nullptr;
}

bool balance_node(const RavkNode *node)
{
    return node != nullptr && node->element != nullptr &&
           (node->type == RAVK_NODE_FILTER || node->type == RAVK_NODE_PREVIEW_SINK || node->type == RAVK_NODE_PIPELINE);
}

}  // namespace

// ---- app sources ----

int ravk_node_push_frame(RavkNode *node, int copy, const RavkSample *sample, uint32_t fourcc, const CoreFrameSize *size,
                         RavkReleaseFn release, void *const user[2])
{
    if (!is_appsrc_node(node) || sample == nullptr || sample->size == 0 || sample->data == nullptr) return -1;
    if ((node->flow_flags & RAVK_FLOW_NEED_DATA) != 0 && node->need_data.load() == 0) return 0;
    if ((node->flow_flags & RAVK_FLOW_ONE_IN_FLIGHT) != 0 && node->in_flight.load() != 0) return 0;
    GstAppSrc *source = GST_APP_SRC(node->element);
    if (queue_full(source)) return 1;

    GstVideoFormat format = GST_VIDEO_FORMAT_UNKNOWN;
    guint planes = 0;
    gsize offsets[GST_VIDEO_MAX_PLANES] = {};
    gint strides[GST_VIDEO_MAX_PLANES] = {};
    const int meta = plan_video_meta(fourcc, size, sample, &format, &planes, offsets, strides);
    if (meta < 0) return -1;

    if (node->push_anchor == nullptr) {
        node->push_anchor = new (std::nothrow) RavkPushAnchor();
        if (node->push_anchor == nullptr) return -1;
        node->push_anchor->references.store(1);
        node->push_anchor->node = node;
    }
    RavkPushRecord *record = new (std::nothrow) RavkPushRecord();
    if (record == nullptr) return -1;
    record->anchor = node->push_anchor;
    record->anchor->references.fetch_add(1);
    record->copy = copy ? 1 : 0;
    record->header = *sample;
    record->header.next = nullptr;
    record->node = node;
    record->release = release;
    if (user != nullptr) {
        record->user[0] = user[0];
        record->user[1] = user[1];
    }
    if (copy) {
        uint8_t *data = static_cast<uint8_t *>(calloc(1, sample->size));
        if (data == nullptr) {
            anchor_release(record->anchor);
            delete record;
            return -1;
        }
        memcpy(data, sample->data, sample->size);
        record->header.data = data;
    }
    GstBuffer *buffer = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, record->header.data, sample->size, 0,
                                                    sample->size, record, ravk_appsrc_buffer_released);
    if (buffer == nullptr) {
        if (copy) free(record->header.data);
        anchor_release(record->anchor);
        delete record;
        return -1;
    }
    // From here the buffer's release frees the record.

    GST_BUFFER_PTS(buffer) = GST_CLOCK_TIME_NONE;
    GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
    GST_BUFFER_DURATION(buffer) = GST_CLOCK_TIME_NONE;
    if ((node->media & RAVK_MEDIA_MUXED) == 0) {
        if ((sample->flags & RAVK_SAMPLE_DISCONT) != 0) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
        GST_BUFFER_FLAG_SET(
            buffer, (sample->flags & RAVK_SAMPLE_KEY) != 0 ? GST_BUFFER_FLAG_RESYNC : GST_BUFFER_FLAG_DELTA_UNIT);
        if ((sample->flags & RAVK_SAMPLE_PTS) != 0 && sample->pts >= 0)
            GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(sample->pts);
    }

    const char *orientation = ravk_orientation_text(sample->orientation);
    if (orientation != nullptr) {
        GstTagList *tags = gst_tag_list_new(GST_TAG_IMAGE_ORIENTATION, orientation, nullptr);
        gst_element_send_event(node->element, gst_event_new_tag(tags));
    }

    if (meta > 0)
        gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, format, size->width, size->height, planes,
                                       offsets, strides);

    // Counted before the push: the pipeline may release the buffer (and the
    // release count it down) before gst_app_src_push_buffer returns, and a
    // refused buffer is released too.
    const bool one_in_flight = (node->flow_flags & RAVK_FLOW_ONE_IN_FLIGHT) != 0;
    if (one_in_flight) node->in_flight.fetch_add(1);
    const GstFlowReturn flow = gst_app_src_push_buffer(source, buffer);
    if (flow != GST_FLOW_OK) {
        core_log(CORE_LOG_DEBUG, kLog, "push into '%s' refused: %s", node->element_name, gst_flow_get_name(flow));
        return -1;
    }
    node->pushed_count.fetch_add(1);
    return 0;
}

void ravk_appsrc_buffer_released(gpointer data)
{
    RavkPushRecord *record = static_cast<RavkPushRecord *>(data);
    if (record == nullptr) return;
    {
        // Held while the callback runs, so the node cannot go meanwhile.
        std::lock_guard<std::mutex> guard(record->anchor->lock);
        RavkNode *node = record->anchor->node;
        if (node != nullptr && (node->flow_flags & RAVK_FLOW_ONE_IN_FLIGHT) != 0) node->in_flight.fetch_sub(1);
        if (record->release != nullptr) record->release(node, &record->header, record->user);
    }
    anchor_release(record->anchor);
    if (record->copy) free(record->header.data);
    delete record;
}

void ravk_node_detach_pushes(RavkNode *node)
{
    if (node == nullptr || node->push_anchor == nullptr) return;
    {
        std::lock_guard<std::mutex> guard(node->push_anchor->lock);
        node->push_anchor->node = nullptr;
    }
    anchor_release(node->push_anchor);
    node->push_anchor = nullptr;
}

void ravk_appsrc_on_need_data(GstAppSrc *, guint, gpointer data)
{
    RavkNode *node = static_cast<RavkNode *>(data);
    if (node != nullptr && (node->flow_flags & RAVK_FLOW_NEED_DATA) != 0) node->need_data.store(1);
}

void ravk_appsrc_on_enough_data(GstAppSrc *, gpointer data)
{
    RavkNode *node = static_cast<RavkNode *>(data);
    if (node != nullptr && (node->flow_flags & RAVK_FLOW_NEED_DATA) != 0) node->need_data.store(0);
}

// ---- app sinks ----

GstFlowReturn ravk_appsink_on_new_sample(GstAppSink *sink, gpointer data)
{
    RavkNode *node = static_cast<RavkNode *>(data);
    if (node == nullptr || (node->on_sample == nullptr && node->on_caps == nullptr)) return GST_FLOW_OK;
    GstSample *sample = gst_app_sink_pull_sample(sink);
    if (sample == nullptr) return GST_FLOW_OK;
    GstBuffer *buffer = gst_sample_get_buffer(sample);
    GstMapInfo map;
    if (node->on_sample != nullptr && buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        RavkSample header = {};
        header.pts = header.dts = header.duration = -1;
        if (!GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT)) header.flags |= RAVK_SAMPLE_KEY;
        if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT)) header.flags |= RAVK_SAMPLE_DISCONT;
        if (GST_BUFFER_PTS_IS_VALID(buffer)) {
            header.flags |= RAVK_SAMPLE_PTS;
            header.pts = static_cast<int64_t>(GST_BUFFER_PTS(buffer));
        }
        header.orientation = node->orientation;
        header.data = map.data;
        header.size = map.size;
        node->on_sample(node, &header, map.size + sizeof(RavkSample), node->sample_user);
        gst_buffer_unmap(buffer, &map);
    }
    if (node->on_caps != nullptr) report_caps(node, sample);
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

int ravk_node_set_sample_callback(RavkNode *node, RavkSampleFn callback, void *const user[2])
{
    if (node == nullptr || node->element == nullptr || !GST_IS_APP_SINK(node->element)) return -1;
    node->on_sample = callback;
    node->sample_user[0] = user ? user[0] : nullptr;
    node->sample_user[1] = user ? user[1] : nullptr;
    install_appsink_callbacks(node);
    return 0;
}

int ravk_node_set_caps_callback(RavkNode *node, RavkCapsFn callback, void *const user[2])
{
    if (node == nullptr || node->element == nullptr || !GST_IS_APP_SINK(node->element)) return -1;
    node->on_caps = callback;
    node->caps_user[0] = user ? user[0] : nullptr;
    node->caps_user[1] = user ? user[1] : nullptr;
    install_appsink_callbacks(node);
    return 0;
}

// ---- signal trampolines ----

void ravk_node_on_pad_added(GstElement *, GstPad *pad, gpointer data)
{
    RavkNode *node = static_cast<RavkNode *>(data);
    if (node == nullptr) return;
    node->dynamic_pad = pad;
    if (node->pad_added != nullptr) {
        gchar *name = gst_pad_get_name(pad);
        node->pad_added(node, name, node->pad_added_user);
        g_free(name);
    }
    node->dynamic_pad = nullptr;
}

void ravk_node_on_format_changed(GstElement *, gint a, gint b, gint c, gint d, gint e, gint f, gpointer data)
{
    RavkNode *node = static_cast<RavkNode *>(data);
    if (node == nullptr || node->format_changed == nullptr) return;
    const int32_t first[2] = {a, b};
    const int32_t next[4] = {c, d, e, f};
    node->format_changed(node, first, next, node->format_changed_user);
}

int ravk_node_connect_pad_added(RavkNode *node, RavkPadAddedFn callback, void *const user[2])
{
    if (node == nullptr || node->element == nullptr || node->pad_added_handler != 0) return -1;
    node->pad_added = callback;
    node->pad_added_user[0] = user ? user[0] : nullptr;
    node->pad_added_user[1] = user ? user[1] : nullptr;
    node->pad_added_handler = g_signal_connect(node->element, "pad-added", G_CALLBACK(ravk_node_on_pad_added), node);
    return node->pad_added_handler != 0 ? 0 : -1;
}

int ravk_node_connect_format_changed(RavkNode *node, RavkFormatChangedFn callback, void *const user[2])
{
    if (node == nullptr || node->element == nullptr || node->format_changed_handler != 0) return -1;
    // Only some decoders have the signal; asking first avoids GLib's warning.
    guint id = g_signal_lookup("format-changed", G_OBJECT_TYPE(node->element));
    GSignalQuery query;
    if (id != 0) g_signal_query(id, &query);
    if (id == 0 || query.n_params != 6) return -1;
    node->format_changed = callback;
    node->format_changed_user[0] = user ? user[0] : nullptr;
    node->format_changed_user[1] = user ? user[1] : nullptr;
    node->format_changed_handler =
        g_signal_connect(node->element, "format-changed", G_CALLBACK(ravk_node_on_format_changed), node);
    return node->format_changed_handler != 0 ? 0 : -1;
}

// ---- control ----

int ravk_node_set_bitrate(RavkNode *node, uint64_t bits_per_second)
{
    if (node == nullptr || node->element == nullptr || bits_per_second == 0 || node->type != RAVK_NODE_ENCODER)
        return -1;
    RavkProperty *record[1] = {};
    const int count = ravk_bitrate_records(node, bits_per_second, 1, record);
    if (count <= 0) return count;
    const int result = ravk_object_apply_property(G_OBJECT(node->element), record[0]);
    ravk_property_free(record[0]);
    return result;
}

int ravk_node_set_max_framerate(RavkNode *node, const RavkFraction *rate)
{
    if (node == nullptr || node->element == nullptr || rate == nullptr || node->type != RAVK_NODE_FILTER ||
        node->kind != RAVK_FILTER_LIVE_RATE)
        return -1;
    gint numerator = 0, denominator = 1;
    if (valid_term(rate->numerator) && valid_term(rate->denominator) && rate->numerator <= G_MAXINT &&
        rate->denominator <= G_MAXINT) {
        numerator = static_cast<gint>(rate->numerator);
        denominator = static_cast<gint>(rate->denominator);
    }
    GValue value = G_VALUE_INIT;
    g_value_init(&value, GST_TYPE_FRACTION);
    gst_value_set_fraction(&value, numerator, denominator);
    g_object_set_property(G_OBJECT(node->element), "max-framerate", &value);
    g_value_unset(&value);
    return 0;
}

int ravk_node_set_render_rectangle(RavkNode *node, const RavkRectangle *r)
{
    if (node == nullptr || node->element == nullptr || r == nullptr) return -1;
    const bool whole = r->width == -1 && r->height == -1;
    if (!whole && (r->width <= 0 || r->height <= 0)) return -1;
    GstElement *target = nullptr;
    if (GST_IS_VIDEO_OVERLAY(node->element))
        target = GST_ELEMENT(gst_object_ref(node->element));
    else if (GST_IS_BIN(node->element))
        target = gst_bin_get_by_interface(GST_BIN(node->element), GST_TYPE_VIDEO_OVERLAY);
    if (target == nullptr) return -1;
    const gboolean ok =
        gst_video_overlay_set_render_rectangle(GST_VIDEO_OVERLAY(target), r->x, r->y, r->width, r->height);
    gst_object_unref(target);
    return ok ? 0 : -1;
}

int ravk_node_get_color_balance(RavkNode *node, const char *name, RavkColorBalanceValue *out)
{
    if (out != nullptr)
        *out = {RAVK_COLOR_BALANCE_UNSET, RAVK_COLOR_BALANCE_UNSET, RAVK_COLOR_BALANCE_UNSET, RAVK_COLOR_BALANCE_UNSET};
    if (!balance_node(node) || name == nullptr || out == nullptr) return -1;
    if (!GST_IS_COLOR_BALANCE(node->element)) return 0;
    GstColorBalance *balance = GST_COLOR_BALANCE(node->element);
    GstColorBalanceChannel *channel = find_channel(balance, name);
    if (channel != nullptr) {
        out->minimum = channel->min_value;
        out->maximum = channel->max_value;
        out->value = gst_color_balance_get_value(balance, channel);
    }
    return 0;
}

int ravk_node_set_color_balance(RavkNode *node, const char *name, const RavkColorBalanceValue *in)
{
    if (!balance_node(node) || name == nullptr || in == nullptr) return -1;
    if (in->minimum == RAVK_COLOR_BALANCE_UNSET || in->maximum == RAVK_COLOR_BALANCE_UNSET ||
        in->value == RAVK_COLOR_BALANCE_UNSET || in->maximum <= in->minimum)
        return -1;
    if (!GST_IS_COLOR_BALANCE(node->element)) return -1;
    GstColorBalance *balance = GST_COLOR_BALANCE(node->element);
    GstColorBalanceChannel *channel = find_channel(balance, name);
    if (channel == nullptr) return -1;
    const double position = (static_cast<double>(in->value) - static_cast<double>(in->minimum)) /
                            (static_cast<double>(in->maximum) - static_cast<double>(in->minimum));
    double v = position * (static_cast<double>(channel->max_value) - channel->min_value) + channel->min_value;
    if (v < channel->min_value) v = channel->min_value;
    if (v > channel->max_value) v = channel->max_value;
    gst_color_balance_set_value(balance, channel, static_cast<gint>(std::trunc(v)));
    return 0;
}

int ravk_node_get_state(RavkNode *node)
{
    if (node == nullptr) return 0;
    GstElement *element = node->element != nullptr ? node->element : node->bin;
    if (element == nullptr) return 0;
    GstState current = GST_STATE_VOID_PENDING;
    if (gst_element_get_state(element, &current, nullptr, 0) == GST_STATE_CHANGE_FAILURE) return 0;
    switch (current) {
    case GST_STATE_READY: return 2;
    case GST_STATE_PAUSED: return 3;
    case GST_STATE_PLAYING: return 4;
    default: return 1;  // NULL and the void-pending state
    }
}

int ravk_node_stop(RavkNode *node)
{
    if (node == nullptr || node->element == nullptr) return -1;
    GstStateChangeReturn result = gst_element_set_state(node->element, GST_STATE_NULL);
    if (result == GST_STATE_CHANGE_FAILURE) return -1;
    for (int poll = 0; result == GST_STATE_CHANGE_ASYNC && poll < kStopPolls; ++poll)
        result = gst_element_get_state(node->element, nullptr, nullptr, kStopPoll);
    return 0;
}
