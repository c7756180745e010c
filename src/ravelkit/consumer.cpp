#include "ravelkit/consumer.h"

#include <gst/video/videooverlay.h>

#include <cstdio>
#include <cstring>

#include "core/clock.h"
#include "core/handle.h"
#include "ravelkit/codecs.h"
#include "ravelkit/elements.h"
#include "ravelkit/presets.h"

namespace
{

CoreHandleTable *pipelines() { return core_handle_tables[CORE_HANDLES_PIPELINES]; }

constexpr int64_t kMs = 1000000;
constexpr int64_t kAudioBuffer = 20 * kMs;
// Waiting up to this long at the sink beyond the latency is left alone.
constexpr int64_t kCatchUpSlack = 5 * kMs;

struct FlowClock {
    int64_t now;     // the pipeline's running time
    uint64_t now_ms;  // monotonic
};

bool term_valid(uint32_t v) { return v != 0 && v != UINT32_MAX; }

bool media_valid(RavkMediaFlags m)
{
    if (m == 0) return false;
    if ((m & RAVK_MEDIA_AUDIO) && (ravk_media_audio_codec(m) < 1 || ravk_media_audio_codec(m) > 6)) return false;
    if ((m & RAVK_MEDIA_VIDEO) && (ravk_media_video_codec(m) < 1 || ravk_media_video_codec(m) > 8)) return false;
    if ((m & RAVK_MEDIA_MUXED) && (ravk_media_container(m) < 1 || ravk_media_container(m) > 7)) return false;
    return true;
}

void init_flow(RavkConsumerFlow *f)
{
    f->first_timestamp = -1;
    f->last_timestamp = -1;
    f->waiting_for_key = 1;
}

RavkBranch *branch_of(RavkConsumer *c, uint32_t kind)
{
    for (RavkBranch *b = c->branches.first; b != nullptr; b = b->next)
        if (b->kind == kind) return b;
    return nullptr;
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

RavkNode *app_source(RavkMediaFlags media, const char *caps, uint64_t capacity, int format)
{
    RavkNode *n = ravk_node_new_by_type(RAVK_NODE_BINARY_SOURCE, media, 1, nullptr, caps, 1, 1);
    if (n == nullptr) return nullptr;
    // The live push paces by the queue level; a need-data rule would skip
    // frames silently (a key frame among them) while reporting them pushed.
    n->flow_flags = 0;
    for (RavkProperty *r : {ravk_property_new_int("format", format), ravk_property_new_boolean("is-live", 1),
                            ravk_property_new_int("stream-type", 0), ravk_property_new_uint64("max-bytes", 0),
                            ravk_property_new_uint64("max-buffers", capacity), ravk_property_new_uint64("max-time", 0),
                            ravk_property_new_int64("max-latency", -1)})
        ravk_node_add_property(n, RAVK_PROPS_ELEMENT, r);
    return n;
}

uint32_t feature_value(const char *name, uint32_t index) { return ravk_feature_value(name, index); }

bool has_features(uint32_t backend, uint32_t required)
{
    if (required == 0) return true;
    uint32_t word = ravk_video_feature(backend);
    if (word == RAVK_VIDEO_FEATURE_NONE) word = 0;
    return (word & required) == required;
}

const char *memory_name(uint32_t backend)
{
    switch (backend) {
    case RAVK_BACKEND_GL: return "GLMemory";
    case RAVK_BACKEND_VAAPI: return "VASurface";
    case RAVK_BACKEND_D3D11: return "D3D11Memory";
    case RAVK_BACKEND_VULKAN: return "VulkanImage";
    default: return nullptr;
    }
}

// 0: no choice.
uint32_t processing_choice(RavkNode *decoder, uint32_t required)
{
    for (uint32_t m : {uint32_t(RAVK_BACKEND_GL), uint32_t(RAVK_BACKEND_VAAPI), uint32_t(RAVK_BACKEND_D3D11),
                       uint32_t(RAVK_BACKEND_VULKAN)}) {
        char caps[64];
        std::snprintf(caps, sizeof(caps), "video/x-raw(memory:%s)", memory_name(m));
        if (ravk_node_accepts_caps(decoder, RAVK_SIDE_SOURCE, caps, RAVK_FOURCC_NONE) == 0) continue;
        uint32_t p0 = feature_value("frmwrk.vid.cons.proc", 0);
        if (p0 == 0) return 0;
        if (p0 == m && has_features(m, required)) return m;
        uint32_t p1 = feature_value("frmwrk.vid.cons.proc", 1);
        if (p1 == 0) return 0;
        if (p1 == m && has_features(m, required)) return m;
    }
    uint32_t p0 = feature_value("frmwrk.vid.cons.proc", 0);
    if (p0 == 0) return 0;
    if (memory_name(p0) == nullptr && has_features(p0, required)) return p0;
    uint32_t p1 = feature_value("frmwrk.vid.cons.proc", 1);
    if (p1 == 0) return 0;
    if (memory_name(p1) != nullptr) return p0;
    return has_features(p1, required) ? p1 : p0;
}

int build_video(RavkConsumer *c)
{
    RavkBranch *branch = branch_of(c, 1);
    const RavkConsumerConfig &cfg = c->config;
    const RavkMediaFlags media = cfg.media & ~(RAVK_MEDIA_AUDIO | RAVK_MEDIA_MUXED | 0xFF000000u | 0x0000FF00u);
    const uint32_t sink_backend = feature_value("frmwrk.vid.cons.pipe", 0);
    if (sink_backend == 0) return -1;
    uint32_t sink_word = ravk_video_feature(sink_backend);
    if (sink_word == RAVK_VIDEO_FEATURE_NONE) sink_word = 0;
    const bool sink_orients = (sink_word & 4) != 0;

    char caps[512];
    const char *type = ravk_media_type_name(media), *subtype = ravk_media_subtype_name(media);
    if (type == nullptr || subtype == nullptr) return -1;
    int n = std::snprintf(caps, sizeof(caps), "%s/%s", type, subtype);
    if (term_valid(cfg.width) && term_valid(cfg.height) && term_valid(cfg.rate_num) && term_valid(cfg.rate_den))
        n += std::snprintf(caps + n, sizeof(caps) - size_t(n),
                           ", width=%u, height=%u, framerate=(fraction)0/1, max-framerate=(fraction)%u/%u", cfg.width,
                           cfg.height, cfg.rate_num, cfg.rate_den);
    // Every pushed sample is one whole frame: alignment=au lets the parser
    // hand each on at once instead of holding it until the next arrives.
    if (cfg.video_decoder.input == core_fourcc("H264") || cfg.video_decoder.input == core_fourcc("H265"))
        std::snprintf(caps + n, sizeof(caps) - size_t(n), ", stream-format=(string)byte-stream, alignment=(string)au");
    if ((cfg.media & RAVK_MEDIA_MUXED) == 0) {
        c->video.source = app_source(media, caps, c->video.capacity, 2);
        if (!append(branch, c->video.source)) return -1;
    }

    const uint32_t impl = ravk_video_impl_select(media, &cfg.video_decoder);
    RavkVideoCodecSetup setup = {};
    setup.codec = cfg.video_decoder;
    RavkNode *decoder = ravk_node_new(nullptr, RAVK_NODE_DECODER, impl, media, 1,
                                      ravk_codec_factory_name(RAVK_NODE_DECODER, impl, media, &setup.codec),
                                      "video_decoder", nullptr, 0, nullptr, nullptr, &setup, 1,
                                      int32_t(cfg.video_decoder.backend));
    c->video_decoder = decoder;
    if (!append(branch, decoder)) {
        c->video_decoder = nullptr;
        return -1;
    }
    RavkChainElement *decoder_at = branch->chain.last;
    const uint32_t proc = processing_choice(decoder, sink_orients ? 0 : 64);
    if (proc == 0) return -1;
    if ((cfg.video_options & 2) && proc == RAVK_BACKEND_GL) {
        c->reshape = ravk_node_new(nullptr, RAVK_NODE_FILTER, RAVK_FILTER_REFORM, media, 1,
                                   ravk_filter_factory_name(RAVK_FILTER_REFORM, proc), "video_reform", nullptr, 0,
                                   nullptr, nullptr, nullptr, 1, int32_t(proc));
        if (!append(branch, c->reshape)) return -1;
        if (cfg.video_options & 1) {
            c->color_balance = ravk_node_new(nullptr, RAVK_NODE_FILTER, RAVK_FILTER_COLOR_BALANCE, media, 1,
                                             ravk_filter_factory_name(RAVK_FILTER_COLOR_BALANCE, proc),
                                             "video_color_balance", nullptr, 0, nullptr, nullptr, nullptr, 1,
                                             int32_t(proc));
            if (!append(branch, c->color_balance)) return -1;
        }
    }
    // Processing in system memory has no balance element of its own: the
    // generic one gives the picture controls there, unless the sink
    // (xvimagesink, backend 10, or v4l2sink) balances itself.
    if ((cfg.video_options & 1) && c->color_balance == nullptr &&
        (proc == RAVK_BACKEND_LIBYUV || proc == RAVK_BACKEND_GSTREAMER) && sink_backend != 10 &&
        sink_backend != RAVK_BACKEND_V4L2) {
        c->color_balance = ravk_node_new(nullptr, RAVK_NODE_FILTER, RAVK_FILTER_COLOR_BALANCE, media, 1,
                                         ravk_filter_factory_name(RAVK_FILTER_COLOR_BALANCE, RAVK_BACKEND_GSTREAMER),
                                         "video_color_balance", nullptr, 0, nullptr, nullptr, nullptr, 1,
                                         int32_t(RAVK_BACKEND_GSTREAMER));
        if (!append(branch, c->color_balance)) {
            c->color_balance = nullptr;
            return -1;
        }
    }
    RavkNode *flip = nullptr;
    if (!sink_orients && has_features(proc, 64) && ravk_video_feature(proc) != RAVK_VIDEO_FEATURE_NONE) {
        flip = ravk_node_new(nullptr, RAVK_NODE_FILTER, RAVK_FILTER_FLIP, media, 1,
                             ravk_filter_factory_name(RAVK_FILTER_FLIP, proc), "video_flip", nullptr, 0, nullptr,
                             nullptr, nullptr, 1, int32_t(proc));
        if (!append(branch, flip)) return -1;
    }
    RavkNode *sink = ravk_video_sink_node_new(int32_t(sink_backend));
    c->video_sink = sink;
    if (!append(branch, sink)) {
        c->video_sink = nullptr;
        return -1;
    }
    if ((cfg.video_options & 2) && (sink->kind == RAVK_SINK_D3D11VIDEO || c->reshape != nullptr))
        ravk_node_add_property(sink, RAVK_PROPS_ELEMENT, ravk_property_new_boolean("force-aspect-ratio", 0));
    if (sink_orients) {
        if (sink->kind == RAVK_SINK_GLIMAGE || sink->kind == RAVK_SINK_D3D11VIDEO || sink->kind == RAVK_SINK_WAYLAND ||
            sink->kind == RAVK_SINK_GTKWAYLAND)
            ravk_node_add_property(sink, RAVK_PROPS_ELEMENT, ravk_property_new_int("rotate-method", 8));
        else if (sink->kind == RAVK_SINK_VAAPI)
            ravk_node_add_property(sink, RAVK_PROPS_ELEMENT, ravk_property_new_int("rotation", 360));
    }
    if (GST_IS_VIDEO_OVERLAY(sink->element) && std::strncmp(sink->factory_name, "fakesink", 8) != 0) {
        gst_video_overlay_set_window_handle(GST_VIDEO_OVERLAY(sink->element), guintptr(cfg.window));
        for (RavkProperty *r : {ravk_property_new_boolean("sync", 1),
                                ravk_property_new_int64("ts-offset", cfg.video_latency),
                                ravk_property_new_boolean("enable-last-sample", 1)})
            ravk_node_add_property(sink, RAVK_PROPS_ELEMENT, r);
    }
    int link = ravk_node_can_link(decoder, sink, nullptr);
    if (link == -1) return -1;
    bool postproc = link == 0 || proc == RAVK_BACKEND_GL || proc == RAVK_BACKEND_VULKAN ||
                    proc == RAVK_BACKEND_D3D11 || (proc == RAVK_BACKEND_LIBYUV && sink_backend == RAVK_BACKEND_GL) ||
                    sink_backend == RAVK_BACKEND_D3D11 || sink_backend == 25 || sink_backend == 26;
    for (RavkNode *next : {c->reshape, flip, c->color_balance}) {
        if (next == nullptr || postproc) continue;
        int l = ravk_node_can_link(decoder, next, nullptr);
        if (l == -1) return -1;
        postproc = l == 0;
    }
    if (postproc) {
        RavkNode *convert = ravk_node_new_color_convert(media, nullptr, "postproc", int32_t(proc), 1);
        if (convert == nullptr || ravk_chain_insert_after(&branch->chain, decoder_at, convert) == nullptr) {
            ravk_node_free(&convert);
            return -1;
        }
    }
    return 0;
}

int build_audio(RavkConsumer *c)
{
    RavkBranch *branch = branch_of(c, 0);
    const RavkConsumerConfig &cfg = c->config;
    const RavkMediaFlags media = cfg.media & ~(RAVK_MEDIA_VIDEO | RAVK_MEDIA_MUXED | 0xFF000000u | 0x00FF0000u);
    const uint32_t codec = ravk_media_audio_codec(media);
    const char *type = ravk_media_type_name(media), *subtype = ravk_media_subtype_name(media);
    char caps[256] = {};
    if ((codec == RAVK_AUDIO_RAW || codec == RAVK_AUDIO_VORBIS || codec == RAVK_AUDIO_OPUS || codec == RAVK_AUDIO_AAC)) {
        if (type == nullptr || subtype == nullptr) return -1;
        std::snprintf(caps, sizeof(caps), "%s/%s", type, subtype);
    }
    if ((cfg.media & RAVK_MEDIA_MUXED) == 0) {
        c->audio.source = app_source(media, caps[0] != 0 ? caps : nullptr, c->audio.capacity, 3);
        if (!append(branch, c->audio.source)) return -1;
    }
    if (codec == RAVK_AUDIO_OPUS) {
        char filter[256];
        std::snprintf(filter, sizeof(filter), "%s/%s, channel-mapping-family=0", type, subtype);
        if (!append(branch, ravk_node_new_by_type(RAVK_NODE_CAPSFILTER, media, 1, nullptr, filter, 1, 1))) return -1;
    }
    const uint32_t impl = ravk_audio_impl_select(media, &cfg.audio_decoder);
    RavkAudioCodecSetup setup = {};
    setup.codec = cfg.audio_decoder;
    RavkNode *decoder = ravk_node_new(nullptr, RAVK_NODE_DECODER, impl, media, 1,
                                      ravk_codec_factory_name(RAVK_NODE_DECODER, impl, media, &setup.codec),
                                      "audio_decoder", nullptr, 0, nullptr, &setup, nullptr,
                                      uint32_t(cfg.audio_decoder.backend), 1);
    c->audio_decoder = decoder;
    if (!append(branch, decoder)) {
        c->audio_decoder = nullptr;
        return -1;
    }
    const uint32_t backend = feature_value("frmwrk.aud.cons.pipe", 0);
    if (backend == 0) return -1;
    RavkNode *sink = ravk_audio_sink_node_new(backend);
    c->audio_sink = sink;
    if (sink == nullptr) return -1;
    ravk_node_add_property(sink, RAVK_PROPS_ELEMENT, ravk_property_new_boolean("sync", 1));
    ravk_node_add_property(sink, RAVK_PROPS_ELEMENT, ravk_property_new_int64("ts-offset", cfg.audio_latency));
    bool complete = false;
    if (backend != RAVK_AUDIO_BACKEND_WASAPI && backend != RAVK_AUDIO_BACKEND_WASAPI2) {
        int link = ravk_node_can_link(decoder, sink, nullptr);
        if (link == -1) {
            ravk_node_free(&sink);
            c->audio_sink = nullptr;
            return -1;
        }
        complete = link == 1;
    }
    if (!complete && (!append(branch, ravk_node_new_audio_convert(media, "postproc_convert", 1)) ||
                      !append(branch, ravk_node_new_audio_resample(media, "postproc_resample", 1)))) {
        ravk_node_free(&sink);
        c->audio_sink = nullptr;
        return -1;
    }
    if (!append(branch, sink)) {
        c->audio_sink = nullptr;
        return -1;
    }
    return 0;
}

void post(RavkConsumer *c, uint32_t code, const void *in, uint64_t length);

// A demuxer pad joins the branch its name tells: a queue goes in front of
// the branch's first node and the pad feeds it; a pad of neither kind, or
// one that cannot join, is reported as an error. Runs on the demuxer's
// streaming thread.
void on_demuxer_pad(RavkNode *demuxer, const char *pad_name, void **user)
{
    auto *table = static_cast<CoreHandleTable *>(user[0]);
    const uint64_t handle = reinterpret_cast<uint64_t>(user[1]);
    auto *c = static_cast<RavkConsumer *>(core_handle_acquire(table, handle));
    if (c == nullptr) return;
    const uint32_t kind = std::strstr(pad_name, "video") != nullptr   ? 1u
                          : std::strstr(pad_name, "audio") != nullptr ? 0u
                                                                      : 2u;
    RavkBranch *branch = kind < 2 ? branch_of(c, kind) : nullptr;
    // Without an app source the branch starts where the stream enters it:
    // the parser, or the Opus caps filter ahead of it, or a decoder that
    // needs no parser (VP8).
    RavkChainElement *target = branch != nullptr ? branch->chain.first : nullptr, *sink = nullptr;
    for (RavkChainElement *e = target; e != nullptr; e = e->next)
        if (e->node->type == RAVK_NODE_PREVIEW_SINK) sink = e;
    bool ok = target != nullptr && sink != nullptr;
    RavkNode *queue = ok ? ravk_node_new_by_type(RAVK_NODE_LIVE_QUEUE, kind == 1 ? RAVK_MEDIA_VIDEO : RAVK_MEDIA_AUDIO,
                                                 1, nullptr, nullptr, 1, 1)
                         : nullptr;
    ok = queue != nullptr && ravk_chain_insert_before(&branch->chain, target, queue) != nullptr;
    if (!ok) ravk_node_free(&queue);
    ok = ok && ravk_pipeline_add_node(c->pipeline, queue) == 0 && ravk_node_link(queue, target->node) == 0 &&
         ravk_node_link(demuxer, queue) == 0 &&
         gst_element_set_state(queue->element, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE &&
         gst_element_set_state(sink->node->element, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
    if (!ok) post(c, RAVK_EVENT_ERROR, nullptr, 0);
    core_handle_release(table, handle);
}

// The multiplexed input: one app source of container bytes and its demuxer.
int build_muxed(RavkConsumer *c)
{
    RavkBranch *branch = branch_of(c, 2);
    const RavkMediaFlags media = c->config.media;
    const uint64_t capacity = std::max(c->audio.capacity, c->video.capacity);
    c->muxed_source = app_source(media, nullptr, capacity, 2);
    if (!append(branch, c->muxed_source)) {
        c->muxed_source = nullptr;
        return -1;
    }
    (media & RAVK_MEDIA_AUDIO ? c->audio : c->video).source = c->muxed_source;
    RavkNode *demuxer = ravk_node_new(nullptr, RAVK_NODE_DEMUXER, 0, media, 1,
                                      ravk_node_factory_name(RAVK_NODE_DEMUXER, 0, media, 0, 0), "demuxer", nullptr, 0,
                                      nullptr, nullptr, nullptr, 1, 1);
    if (!append(branch, demuxer)) return -1;
    void *user[2] = {pipelines(), reinterpret_cast<void *>(c->handle)};
    return ravk_node_connect_pad_added(demuxer, on_demuxer_pad, user);
}

void on_replaced(RavkNode *old_node, RavkNode *replacement, void *user)
{
    auto *c = static_cast<RavkConsumer *>(user);
    for (RavkNode **slot : {&c->audio_sink, &c->audio_decoder, &c->reshape, &c->video_sink, &c->color_balance,
                            &c->video_decoder, &c->muxed_source, &c->audio.source, &c->video.source})
        if (*slot == old_node) *slot = replacement;
}

uint64_t level_of(RavkNode *source)
{
    return source != nullptr && GST_IS_APP_SRC(source->element)
               ? gst_app_src_get_current_level_buffers(GST_APP_SRC(source->element))
               : 0;
}

void arm_statistics(RavkNode *, const RavkSample *, void **user)
{
    auto *flow = static_cast<RavkConsumerFlow *>(user[0]);
    uint64_t expected = 0;
    flow->statistics_due.compare_exchange_strong(expected, core_clock_mono_ms() + 1000);
}

int64_t running_time(RavkConsumer *c)
{
    const GstClockTime now = gst_element_get_current_running_time(c->pipeline->element);
    return GST_CLOCK_TIME_IS_VALID(now) ? int64_t(now) : 0;
}

void post(RavkConsumer *c, uint32_t code, const void *in, uint64_t length)
{
    ravk_pipeline_event_post(&c->channel, code, in, length, nullptr, nullptr);
}

void report_rate(RavkConsumer *c, RavkConsumerFlow *f, uint32_t rate)
{
    RavkStatisticsEvent event = {};
    event.role = RAVK_ROLE_CONSUMER;
    event.stream = c->config.video_stream;
    event.requested_rate = rate;
    event.one = 1;
    post(c, RAVK_EVENT_STATISTICS, &event, sizeof(event));
    f->requested_rate = rate;
}

void reset_sums(RavkConsumerFlow *f, uint64_t now)
{
    f->hold_off = now + 3000;
    f->level_delta_sum = f->consumed_sum = f->intervals = 0;
}

void statistics_step(RavkConsumer *c, int64_t relative, uint64_t pushed, uint64_t level)
{
    RavkConsumerFlow *f = &c->video;
    RavkNode *sink = c->video_sink;
    if (sink == nullptr || (sink->type != RAVK_NODE_PREVIEW_SINK && sink->type != RAVK_NODE_BINARY_SINK)) return;
    GstSample *last = nullptr;
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(sink->element), "last-sample") != nullptr)
        g_object_get(sink->element, "last-sample", &last, nullptr);
    if (last == nullptr) return;
    GstBuffer *buffer = gst_sample_get_buffer(last);
    const bool timed = buffer != nullptr && GST_BUFFER_PTS_IS_VALID(buffer);
    const int64_t shown = timed ? int64_t(GST_BUFFER_PTS(buffer)) : 0;
    gst_sample_unref(last);
    if (!timed) return;
    const int64_t lag = relative - shown;
    f->average_lag = f->average_lag == 0 ? lag : int64_t((uint64_t(f->average_lag) + uint64_t(lag)) / 2);

    const uint64_t now = core_clock_mono_ms();
    const uint64_t due = f->statistics_due.load();
    if (due == 0 || due > now) return;
    f->intervals += 1;
    f->level_delta_sum += level - f->last_level;
    f->consumed_sum += (pushed - f->last_pushed) - (level - f->last_level);
    const uint64_t average = f->consumed_sum / f->intervals;
    const uint64_t cap = term_valid(c->config.rate_num) && term_valid(c->config.rate_den) ? c->config.rate_num : 60;
    if (level < f->resume_level && now >= f->hold_off) {
        uint64_t r = f->requested_rate != 0 ? std::max<uint64_t>(f->requested_rate + 4, average) : average + 4;
        r = std::min<uint64_t>(std::max<uint64_t>(r, 6), cap);
        reset_sums(f, now);
        report_rate(c, f, uint32_t(r));
    } else if (level >= f->target_level && f->average_lag >= f->lag_limit) {
        const uint64_t u = average < 6 ? 6 : std::min(average, cap);
        if (f->requested_rate == 0 || u < f->requested_rate) {
            reset_sums(f, now);
            report_rate(c, f, uint32_t(u));
        } else {
            report_rate(c, f, f->requested_rate);
        }
    }
    if (level >= f->overflow_level) {
        reset_sums(f, now);
        report_rate(c, f, 6);
    }
    f->last_pushed = pushed;
    f->last_level = level;
    f->statistics_due.store(now + 1000);
}

// The first frame's delay stays in every later frame's time: when it came
// slowly (an encoder starting, a key frame larger than the rest) every
// frame after it waits at the sink for longer than the latency asks. What
// every frame of a whole second waited is taken off the timestamps, at
// most half a frame step per frame, so they keep moving forward and the
// picture catches up within a few frames. Frames that arrive together
// (a batch) leave no excess: the first of them did not wait.
int64_t catch_up(FlowClock clock, RavkConsumerFlow *f, int64_t relative, int64_t step)
{
    const int64_t wait = relative - clock.now;
    if (f->wait_window_end == 0 || wait < f->least_wait) f->least_wait = wait;
    if (f->wait_window_end == 0) f->wait_window_end = clock.now_ms + 1000;
    if (clock.now_ms >= f->wait_window_end) {
        if (f->least_wait > kCatchUpSlack) f->excess_wait = f->least_wait - kCatchUpSlack;
        f->wait_window_end = 0;
    }
    if (f->excess_wait <= 0) return relative;
    int64_t take = std::min(f->excess_wait, step / 2);
    if (f->last_timestamp != -1) take = std::min(take, relative - f->last_relative - 1);
    if (take <= 0) return relative;
    f->excess_wait -= take;
    f->first_timestamp += take;
    return relative - take;
}

}  // namespace

RavkNode *ravk_audio_sink_node_new(uint32_t backend)
{
    static const struct {
        uint32_t backend;
        uint32_t kind;
        const char *factory;
    } kSinks[] = {
        {RAVK_AUDIO_BACKEND_GSTREAMER, RAVK_SINK_AUTOAUDIO, "autoaudiosink"},
        {RAVK_AUDIO_BACKEND_WASAPI, RAVK_SINK_WASAPI, "wasapisink"},
        {RAVK_AUDIO_BACKEND_WASAPI2, RAVK_SINK_WASAPI2, "wasapi2sink"},
        {RAVK_AUDIO_BACKEND_OSX, RAVK_SINK_OSXAUDIO, "osxaudiosink"},
        {RAVK_AUDIO_BACKEND_OPENSLES, RAVK_SINK_OPENSLES, "openslessink"},
        {RAVK_AUDIO_BACKEND_PULSE, RAVK_SINK_PULSE, "pulsesink"},
        {RAVK_AUDIO_BACKEND_PIPEWIRE, RAVK_SINK_PIPEWIRE_AUDIO, "pipewiresink"},
    };
    uint32_t kind = 0;
    const char *factory = RAVK_UNKNOWN_ELEMENT;
    for (const auto &row : kSinks)
        if (row.backend == backend) kind = row.kind, factory = row.factory;
    return ravk_node_new(nullptr, RAVK_NODE_PREVIEW_SINK, kind, RAVK_MEDIA_AUDIO, 1, factory, "audio_preview_sink",
                         nullptr, 0, nullptr, nullptr, nullptr, backend, 1);
}

uint64_t ravk_consumer_frames_in(int64_t duration_ns, uint32_t rate_num, uint32_t rate_den)
{
    if (!term_valid(rate_num) || !term_valid(rate_den)) rate_num = 60, rate_den = 1;
    return uint64_t(duration_ns) * rate_num / (uint64_t(rate_den) * 1000000000ull);
}

uint64_t ravk_consumer_create(const RavkConsumerConfig *config)
{
    if (config == nullptr || !media_valid(config->media)) return UINT64_MAX;
    if (pipelines() == nullptr) return 0;
    void *object = nullptr;
    uint64_t handle = core_handle_create(pipelines(), sizeof(RavkConsumer), ravk_consumer_destroy, &object);
    if (handle == 0) return 0;
    auto *c = static_cast<RavkConsumer *>(object);
    c->state = RAVK_STATE_CREATED;
    c->role = RAVK_ROLE_CONSUMER;
    c->handle = handle;
    c->config = *config;
    if (c->config.audio_latency < RAVK_CONSUMER_MIN_LATENCY) c->config.audio_latency = RAVK_CONSUMER_MIN_LATENCY;
    if (c->config.video_latency < RAVK_CONSUMER_MIN_LATENCY) c->config.video_latency = RAVK_CONSUMER_MIN_LATENCY;
    init_flow(&c->audio);
    init_flow(&c->video);
    const int64_t la = c->config.audio_latency, lv = c->config.video_latency;
    c->audio.resume_level = uint64_t((la + 700 * kMs) / kAudioBuffer);
    c->audio.capacity = uint64_t((la + 1000 * kMs) / kAudioBuffer);
    const uint32_t rn = c->config.rate_num, rd = c->config.rate_den;
    c->video.lag_limit = lv + 200 * kMs;
    c->video.resume_level = ravk_consumer_frames_in(lv + 700 * kMs, rn, rd);
    c->video.overflow_level = ravk_consumer_frames_in(lv + 800 * kMs, rn, rd);
    c->video.target_level = ravk_consumer_frames_in(lv, rn, rd);
    c->video.capacity = ravk_consumer_frames_in(lv + 1000 * kMs, rn, rd);
    ravk_pipeline_channel_name(&c->channel);

    char name[40];
    std::snprintf(name, sizeof(name), "consumer_pipeline_%08X", config->media);
    bool ok = (c->pipeline = ravk_node_new(nullptr, RAVK_NODE_PIPELINE, 0, config->media, 0, "pipeline", name, nullptr,
                                           0, nullptr, nullptr, nullptr, 1, 1)) != nullptr;
    void *user[2] = {pipelines(), reinterpret_cast<void *>(handle)};
    ok = ok && (c->bus = ravk_bus_thread_start(c->pipeline, ravk_consumer_bus_handler, user)) != nullptr;
    ok = ok && (!(config->media & RAVK_MEDIA_AUDIO) || ravk_branch_append(&c->branches, 0) != nullptr);
    ok = ok && (!(config->media & RAVK_MEDIA_VIDEO) || ravk_branch_append(&c->branches, 1) != nullptr);
    ok = ok && (!(config->media & RAVK_MEDIA_MUXED) ||
                (ravk_branch_append(&c->branches, 2) != nullptr && build_muxed(c) == 0));
    ok = ok && (!(config->media & RAVK_MEDIA_VIDEO) || build_video(c) == 0);
    ok = ok && (!(config->media & RAVK_MEDIA_AUDIO) || build_audio(c) == 0);
    ok = ok && ravk_branches_finish(c->pipeline, &c->branches, on_replaced, c) == 0;
    if (!ok) {
        core_handle_release(pipelines(), handle);
        return 0;
    }
    return handle;
}

int ravk_consumer_stop(uint64_t handle)
{
    auto *c = static_cast<RavkConsumer *>(core_handle_acquire(pipelines(), handle));
    if (c == nullptr) return -1;
    if (c->role != RAVK_ROLE_CONSUMER) {
        // Providers share the table and the stop; anything else is not ours.
        const bool provider = c->role == RAVK_ROLE_PROVIDER;
        core_handle_release(pipelines(), handle);
        return provider ? ravk_pipeline_stop(handle) : -1;
    }
    if (c->state != RAVK_STATE_STOPPED) {
        c->state = RAVK_STATE_STOPPED;
        if (c->pipeline != nullptr && (c->config.video_options & 1)) {
            RavkNode *target = c->color_balance;
            if (target == nullptr && c->video_sink != nullptr &&
                (c->video_sink->kind == RAVK_SINK_XV_IMAGE || c->video_sink->kind == RAVK_SINK_V4L2))
                target = c->video_sink;
            if (target != nullptr) {
                const RavkColorBalanceValue middle = {0, 0, 100, 50}, hue = {0, -50, 50, 0};
                for (const char *channel : {"BRIGHTNESS", "CONTRAST", "SATURATION"})
                    ravk_node_set_color_balance(target, channel, &middle);
                ravk_node_set_color_balance(target, "HUE", &hue);
            }
        }
        if (c->pipeline != nullptr) ravk_node_stop(c->pipeline);
    }
    core_handle_release(pipelines(), handle);
    return 0;
}

int ravk_consumer_push_live(RavkConsumer *c, uint32_t stream, const RavkSample *frames)
{
    if (c == nullptr || stream > 1 || c->pipeline == nullptr) return -1;
    RavkConsumerFlow *f = stream == 0 ? &c->audio : &c->video;
    if (f->source == nullptr || ravk_node_get_state(f->source) != 4) return -1;
    // A malformed chain is refused whole, before anything is pushed.
    uint32_t count = 0;
    for (const RavkSample *s = frames; s != nullptr; s = s->next)
        if (++count > RAVK_CONSUMER_MAX_FRAMES || (s->data == nullptr && s->size != 0)) return -1;
    const int64_t step = stream == 0 ? kAudioBuffer
                         : term_valid(c->config.rate_num) && term_valid(c->config.rate_den)
                             ? int64_t(1000000000ull * c->config.rate_den / c->config.rate_num)
                             : int64_t(1000000000ll / 60);
    int result = 0;
    for (const RavkSample *s = frames; s != nullptr; s = s->next) {
        RavkSample copy = *s;
        copy.next = nullptr;
        if (f->not_accepted) copy.flags |= RAVK_SAMPLE_DISCONT;
        if (!(copy.flags & RAVK_SAMPLE_PTS)) {
            f->not_accepted = 1;
            return -1;
        }
        if (copy.flags & RAVK_SAMPLE_DISCONT) f->waiting_for_key = 1;
        if (copy.flags & RAVK_SAMPLE_KEY) f->waiting_for_key = 0;
        // The pipeline has been playing since before the first frame came:
        // a stream that started at 0 would be late by that wait for good,
        // and the audio sink drops late samples. It starts at the
        // pipeline's running time instead.
        if (f->first_timestamp == -1) f->first_timestamp = copy.pts - running_time(c);
        uint64_t level = level_of(f->source);
        if (f->congested && level < f->resume_level) f->congested = 0;
        if (f->waiting_for_key || f->congested) {
            f->not_accepted = 1;
            result = 0;
            continue;
        }
        // A restarted sender starts its clock again: a timestamp that goes
        // backwards re-anchors the stream one step after the last frame,
        // so the sinks keep seeing time move forward.
        if (f->last_timestamp != -1 && copy.pts < f->last_timestamp)
            f->first_timestamp = copy.pts - (f->last_relative + step);
        const uint64_t pushed = f->source->pushed_count.load();
        level = level_of(f->source);
        int64_t relative = copy.pts - f->first_timestamp;
        if (stream == 1) relative = catch_up({running_time(c), core_clock_mono_ms()}, f, relative, step);
        const int64_t own = copy.pts;
        copy.pts = relative;
        if (f->source->type != RAVK_NODE_BINARY_SOURCE) {
            f->not_accepted = 1;
            return -1;
        }
        void *user[2] = {f, nullptr};
        result = ravk_node_push_frame(f->source, 1, &copy, RAVK_FOURCC_NONE, nullptr, arm_statistics, user);
        if (result < 0) {
            f->not_accepted = 1;
            return result;
        }
        if (result > 0) {
            f->congested = 1;
            f->not_accepted = 1;
        } else {
            f->not_accepted = 0;
            f->last_timestamp = own;
            f->last_relative = relative;
        }
        if (stream == 1) statistics_step(c, relative, pushed, level);
    }
    return result;
}

int ravk_consumer_bus_handler(RavkBusThread *, const RavkBusMessage *message, void **user)
{
    auto *table = static_cast<CoreHandleTable *>(user[0]);
    const uint64_t handle = reinterpret_cast<uint64_t>(user[1]);
    auto *c = static_cast<RavkConsumer *>(core_handle_acquire(table, handle));
    if (c == nullptr) return -1;
    auto from = [&](RavkNode *n) { return n != nullptr && message->source == GST_OBJECT(n->element); };
    switch (message->code) {
    case RAVK_BUS_ERROR: {
        c->ended = 1;
        if (c->state == RAVK_STATE_STOPPED) break;
        uint32_t part = RAVK_PART_NONE;
        if (from(c->audio.source) || from(c->video.source)) part = RAVK_PART_SOURCE;
        else if (from(c->audio_decoder) || from(c->video_decoder)) part = RAVK_PART_DECODER;
        else if (from(c->audio_sink) || from(c->video_sink)) part = RAVK_PART_SINK;
        const RavkErrorEvent event = {RAVK_ROLE_CONSUMER, c->config.media, part};
        post(c, RAVK_EVENT_ERROR, &event, sizeof(event));
        break;
    }
    case RAVK_BUS_WARNING:
        if (c->state != RAVK_STATE_STOPPED) {
            const RavkWarningEvent event = {RAVK_ROLE_CONSUMER, c->config.media, 0};
            post(c, RAVK_EVENT_WARNING, &event, sizeof(event));
        }
        break;
    case RAVK_BUS_EOS: {
        c->ended = 1;
        const RavkStateEvent event = {RAVK_ROLE_CONSUMER};
        post(c, RAVK_EVENT_STATE, &event, sizeof(event));
        break;
    }
    case RAVK_BUS_QOS: {
        const RavkQosEvent event = {RAVK_ROLE_CONSUMER, 0, static_cast<const RavkQosInfo *>(message->payload)->jitter};
        post(c, RAVK_EVENT_QOS, &event, sizeof(event));
        break;
    }
    case RAVK_BUS_TAG: {
        const uint32_t code = *static_cast<const uint32_t *>(message->payload);
        for (int video = 0; video < 2; ++video) {
            RavkNode *sink = video ? c->video_sink : c->audio_sink;
            uint32_t *last = video ? &c->video_orientation : &c->audio_orientation;
            if (!from(sink)) continue;
            if (code != *last) {
                RavkOrientationEvent event = {RAVK_ROLE_CONSUMER, video ? c->config.video_stream : c->config.audio_stream,
                                              code};
                post(c, RAVK_EVENT_ORIENTATION, &event, sizeof(event));
            }
            *last = code;
        }
        break;
    }
    default: break;
    }
    core_handle_release(table, handle);
    return 0;
}

void ravk_consumer_destroy(CoreHandleTable *, void *object, uint64_t)
{
    auto *c = static_cast<RavkConsumer *>(object);
    // Elements must not leave a playing pipeline: stop it first.
    if (c->pipeline != nullptr && c->pipeline->element != nullptr)
        gst_element_set_state(c->pipeline->element, GST_STATE_NULL);
    ravk_branches_free(&c->branches);
    ravk_bus_thread_stop(&c->bus);
    ravk_node_free(&c->pipeline);
}
