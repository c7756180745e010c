#include "engine/picture.h"

#include <gst/gst.h>
#include <gst/video/videooverlay.h>

#include <cmath>
#include <cstring>

#include "core/handle.h"
#include "core/store.h"
#include "ravelkit/consumer.h"

namespace {

enum Channel { kBrightness, kContrast, kSaturation, kHue };

struct ChannelScale {
    const char *name;
    int64_t minimum;
    int64_t maximum;
    double offset;  // added to the 0..100 position
};

const ChannelScale kChannels[] = {
    {"BRIGHTNESS", 0, 100, 0.0},
    {"CONTRAST", 0, 100, 0.0},
    {"SATURATION", 0, 100, 0.0},
    {"HUE", -50, 50, -50.0},
};

CoreHandleTable *pipelines() { return core_handle_tables[CORE_HANDLES_PIPELINES]; }

// The video node with a reader reference, released at the end of the scope.
class VideoNode {
public:
    explicit VideoNode(EngineDisplay *display) : display_(display)
    {
        node_ = display != nullptr ? engine_profile_video_slot(display) : nullptr;
    }
    ~VideoNode()
    {
        if (node_ != nullptr) core_store_unref(display_->nodes);
    }
    VideoNode(const VideoNode &) = delete;
    VideoNode &operator=(const VideoNode &) = delete;

    EngineProfile *get() const { return node_; }

private:
    EngineDisplay *display_;
    EngineProfile *node_;
};

// A consumer's pipeline under a handle reference; NULL when gone or when
// the handle names a capture object.
class Pipeline {
public:
    explicit Pipeline(uint64_t handle) : handle_(handle)
    {
        if (handle_ == 0 || pipelines() == nullptr) return;
        auto *object = static_cast<RavkConsumer *>(core_handle_acquire(pipelines(), handle_));
        if (object == nullptr) return;
        held_ = true;
        if (object->role == RAVK_ROLE_CONSUMER) consumer_ = object;
    }
    ~Pipeline()
    {
        if (held_) core_handle_release(pipelines(), handle_);
    }
    Pipeline(const Pipeline &) = delete;
    Pipeline &operator=(const Pipeline &) = delete;

    RavkConsumer *get() const { return consumer_; }

private:
    uint64_t handle_;
    bool held_ = false;
    RavkConsumer *consumer_ = nullptr;
};

// The first consumer of the video node, held for the scope.
class FirstConsumer {
public:
    explicit FirstConsumer(EngineDisplay *display) : node_(display)
    {
        if (node_.get() == nullptr) return;
        streams_ = node_.get()->streams;
        consumer_ = reinterpret_cast<EngineConsumer *>(core_store_first(streams_));
    }
    ~FirstConsumer()
    {
        // core_store_first keeps its walk reference while it found an item.
        if (consumer_ != nullptr) core_store_unref(streams_);
    }
    FirstConsumer(const FirstConsumer &) = delete;
    FirstConsumer &operator=(const FirstConsumer &) = delete;

    EngineConsumer *get() const { return consumer_; }

private:
    VideoNode node_;
    CoreStore *streams_ = nullptr;
    EngineConsumer *consumer_ = nullptr;
};

// Calls fn for every consumer of the video node whose media has video,
// with its pipeline; fn answers whether it changed something. The count
// of changes, or -1 without a video node.
template <typename Fn>
int for_each_video_pipeline(EngineDisplay *display, Fn fn)
{
    VideoNode node(display);
    if (node.get() == nullptr) return -1;
    CoreStore *streams = node.get()->streams;
    int changed = 0;
    for (CoreStoreItem *item = core_store_first(streams); item != nullptr; item = core_store_next(streams, item, 1)) {
        auto *consumer = reinterpret_cast<EngineConsumer *>(item);
        if ((consumer->mediaMask & RAVK_MEDIA_VIDEO) == 0) continue;
        Pipeline pipeline(consumer->object.load());
        if (pipeline.get() != nullptr && fn(pipeline.get())) changed++;
    }
    return changed;
}

bool overlay_sink_element(const RavkConsumer *c)
{
    return c->video_sink != nullptr && c->video_sink->element != nullptr &&
           GST_IS_VIDEO_OVERLAY(c->video_sink->element);
}

// The element that balances the colours of the first consumer's pipeline:
// its colour-balance element, else a sink that balances itself; NULL when
// the pipeline was not asked for it or could not provide it.
RavkNode *balance_element(const RavkConsumer *c)
{
    if (c == nullptr || (c->config.video_options & ENGINE_FEATURE_COLOR_BALANCE) == 0) return nullptr;
    if (c->color_balance != nullptr) return c->color_balance;
    if (c->video_sink != nullptr &&
        (c->video_sink->kind == RAVK_SINK_XV_IMAGE || c->video_sink->kind == RAVK_SINK_V4L2))
        return c->video_sink;
    return nullptr;
}

bool is_set(const RavkColorBalanceValue &v)
{
    return v.value != RAVK_COLOR_BALANCE_UNSET && v.minimum != RAVK_COLOR_BALANCE_UNSET &&
           v.maximum != RAVK_COLOR_BALANCE_UNSET;
}

CoreResult get_channel(EngineDisplay *display, Channel which, void *answer, uint64_t length)
{
    if (answer == nullptr || length < sizeof(EngineColorBalanceRequest)) return CORE_ERR_INVALID;
    const ChannelScale &scale = kChannels[which];
    RavkColorBalanceValue out = {RAVK_COLOR_BALANCE_UNSET, RAVK_COLOR_BALANCE_UNSET, RAVK_COLOR_BALANCE_UNSET,
                                 RAVK_COLOR_BALANCE_UNSET};
    std::memcpy(static_cast<uint8_t *>(answer) + offsetof(EngineColorBalanceRequest, value), &out, sizeof(out));
    FirstConsumer first(display);
    if (first.get() == nullptr) return CORE_ERR;
    Pipeline pipeline(first.get()->object.load());
    RavkNode *element = balance_element(pipeline.get());
    if (element == nullptr) return CORE_ERR;
    RavkColorBalanceValue channel;
    if (ravk_node_get_color_balance(element, scale.name, &channel) != 0) return CORE_ERR;
    if (is_set(channel)) {
        const double position = (double(channel.value) - double(channel.minimum)) /
                                (double(channel.maximum) - double(channel.minimum)) * 100.0;
        const double value = std::trunc(position + scale.offset);
        // A zero-width channel gives no number; a value outside the signed
        // 64-bit range none that fits.
        if (std::isfinite(value) && value >= -9223372036854775808.0 && value < 9223372036854775808.0)
            out = {1, scale.minimum, scale.maximum, int64_t(value)};
    }
    std::memcpy(static_cast<uint8_t *>(answer) + offsetof(EngineColorBalanceRequest, value), &out, sizeof(out));
    return CORE_OK;
}

CoreResult set_channel(EngineDisplay *display, Channel which, const void *request, uint64_t length)
{
    if (request == nullptr || length < sizeof(EngineColorBalanceRequest)) return CORE_ERR_INVALID;
    EngineColorBalanceRequest in;
    std::memcpy(&in, request, sizeof(in));
    FirstConsumer first(display);
    if (first.get() == nullptr) return CORE_ERR;
    Pipeline pipeline(first.get()->object.load());
    RavkNode *element = balance_element(pipeline.get());
    if (element == nullptr) return CORE_ERR;
    return ravk_node_set_color_balance(element, kChannels[which].name, &in.value) == 0 ? CORE_OK : CORE_ERR;
}

// A float property's description, or NULL when the element has no such float.
const GParamSpecFloat *float_property(GstElement *element, const char *name)
{
    GParamSpec *pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(element), name);
    if (pspec == nullptr || !G_IS_PARAM_SPEC_FLOAT(pspec) || (pspec->flags & G_PARAM_WRITABLE) == 0) return nullptr;
    return G_PARAM_SPEC_FLOAT(pspec);
}

bool fits(const GParamSpecFloat *pspec, double value)
{
    return std::isfinite(value) && value >= double(pspec->minimum) && value <= double(pspec->maximum);
}

}  // namespace

CoreResult engine_display_get_brightness(EngineDisplay *display, void *answer, uint64_t length)
{
    return get_channel(display, kBrightness, answer, length);
}

CoreResult engine_display_get_contrast(EngineDisplay *display, void *answer, uint64_t length)
{
    return get_channel(display, kContrast, answer, length);
}

CoreResult engine_display_get_saturation(EngineDisplay *display, void *answer, uint64_t length)
{
    return get_channel(display, kSaturation, answer, length);
}

CoreResult engine_display_get_hue(EngineDisplay *display, void *answer, uint64_t length)
{
    return get_channel(display, kHue, answer, length);
}

CoreResult engine_display_set_brightness(EngineDisplay *display, const void *request, uint64_t length)
{
    return set_channel(display, kBrightness, request, length);
}

CoreResult engine_display_set_contrast(EngineDisplay *display, const void *request, uint64_t length)
{
    return set_channel(display, kContrast, request, length);
}

CoreResult engine_display_set_saturation(EngineDisplay *display, const void *request, uint64_t length)
{
    return set_channel(display, kSaturation, request, length);
}

CoreResult engine_display_set_hue(EngineDisplay *display, const void *request, uint64_t length)
{
    return set_channel(display, kHue, request, length);
}

CoreResult engine_display_set_scale(EngineDisplay *display, const void *request, uint64_t length)
{
    if (request == nullptr || length < sizeof(EngineScaleRequest)) return CORE_ERR_INVALID;
    EngineScaleRequest in;
    std::memcpy(&in, request, sizeof(in));
    FirstConsumer first(display);
    if (first.get() == nullptr) return CORE_ERR;
    Pipeline pipeline(first.get()->object.load());
    const RavkConsumer *c = pipeline.get();
    if (c == nullptr || (c->config.video_options & ENGINE_FEATURE_SCALING) == 0) return CORE_ERR;
    const RavkNode *element =
        c->video_sink != nullptr && c->video_sink->kind == RAVK_SINK_D3D11VIDEO ? c->video_sink : c->reshape;
    if (element == nullptr || element->element == nullptr) return CORE_ERR;
    const GParamSpecFloat *x = float_property(element->element, "scale-x");
    const GParamSpecFloat *y = float_property(element->element, "scale-y");
    if (x == nullptr || y == nullptr) return CORE_ERR;
    if (!fits(x, in.scaleX) || !fits(y, in.scaleY)) return CORE_ERR_INVALID;
    g_object_set(element->element, "scale-x", gfloat(in.scaleX), "scale-y", gfloat(in.scaleY), nullptr);
    return CORE_OK;
}

CoreResult engine_display_set_aspect(EngineDisplay *display, const void *request, uint64_t length)
{
    if (request == nullptr || length < sizeof(EngineAspectRequest)) return CORE_ERR_INVALID;
    EngineAspectRequest in;
    std::memcpy(&in, request, sizeof(in));
    const int changed = for_each_video_pipeline(display, [&](RavkConsumer *c) {
        if (c->video_sink == nullptr || c->video_sink->element == nullptr) return false;
        switch (c->video_sink->kind) {
        case RAVK_SINK_GLIMAGE:
        case RAVK_SINK_VAAPI:
        case RAVK_SINK_OSXVIDEO:
        case RAVK_SINK_D3D11VIDEO:
        case RAVK_SINK_XV_IMAGE:
        case RAVK_SINK_V4L2: break;
        default: return false;
        }
        GParamSpec *pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(c->video_sink->element),
                                                        "force-aspect-ratio");
        if (pspec == nullptr || pspec->value_type != G_TYPE_BOOLEAN) return false;
        g_object_set(c->video_sink->element, "force-aspect-ratio", gboolean(in.force != 0), nullptr);
        return true;
    });
    if (changed < 0) return CORE_DONE;
    return changed > 0 ? CORE_OK : CORE_ERR;
}

CoreResult engine_display_set_window(EngineDisplay *display, const void *request, uint64_t length)
{
    if (request == nullptr || length < sizeof(RavkRectangle)) return CORE_ERR_INVALID;
    RavkRectangle rectangle;
    std::memcpy(&rectangle, request, sizeof(rectangle));
    const int changed = for_each_video_pipeline(display, [&](RavkConsumer *c) {
        return overlay_sink_element(c) && ravk_node_set_render_rectangle(c->video_sink, &rectangle) == 0;
    });
    return changed > 0 ? CORE_OK : CORE_DONE;
}

CoreResult engine_display_expose(EngineDisplay *display)
{
    const int changed = for_each_video_pipeline(display, [](RavkConsumer *c) {
        if (!overlay_sink_element(c)) return false;
        for (int i = 0; i < 2; ++i) gst_video_overlay_expose(GST_VIDEO_OVERLAY(c->video_sink->element));
        return true;
    });
    return changed > 0 ? CORE_OK : CORE_DONE;
}
