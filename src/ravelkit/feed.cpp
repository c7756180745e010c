#include "ravelkit/feed.h"

#include "core/handle.h"
#include "ravelkit/datapath.h"
#include "ravelkit/frame.h"
#include "ravelkit/provider.h"

namespace
{

CoreHandleTable *pipelines() { return core_handle_tables[CORE_HANDLES_PIPELINES]; }

// Walks the chain once before pushing: NULL data with a size, more than
// RAVK_FEED_MAX_FRAMES frames (a loop included), or a raw frame smaller
// than its layout (layout 0: not a raw format) refuse the whole chain.
bool chain_valid(const RavkSample *frames, uint64_t layout)
{
    uint32_t count = 0;
    for (const RavkSample *f = frames; f != nullptr; f = f->next) {
        if (++count > RAVK_FEED_MAX_FRAMES || (f->data == nullptr && f->size != 0) || f->size < layout) return false;
    }
    return count > 0;
}

int push(uint64_t handle, uint32_t stream, const RavkSample *frames, bool request)
{
    auto *p = static_cast<RavkProvider *>(core_handle_acquire(pipelines(), handle));
    if (p == nullptr) return -1;
    int result = 0;
    if (p->state == RAVK_STATE_PAUSED) {
        if (p->pipeline == nullptr ||
            gst_element_set_state(p->pipeline->element, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
            core_handle_release(pipelines(), handle);
            return -1;
        }
        p->state = RAVK_STATE_PLAYING;
    }
    if (p->state != RAVK_STATE_PLAYING) {
        core_handle_release(pipelines(), handle);
        return 0;
    }
    RavkNode *sink = stream == RAVK_FEED_AUDIO ? p->audio_app_sink : stream == RAVK_FEED_VIDEO ? p->video_app_sink : nullptr;
    RavkNode *source = stream == RAVK_FEED_AUDIO   ? p->audio_app_source
                       : stream == RAVK_FEED_VIDEO ? p->video_app_source
                                                   : nullptr;
    uint32_t fourcc = RAVK_FOURCC_NONE;
    const CoreFrameSize *size = nullptr;
    if (stream == RAVK_FEED_VIDEO) {
        fourcc = p->video_source_fourcc;
        if (p->feed_size.width != 0 && p->feed_size.height != 0) size = &p->feed_size;
    }
    const uint64_t layout = fourcc != RAVK_FOURCC_NONE && size != nullptr ? ravk_frame_size(fourcc, size) : 0;
    if (source == nullptr || !chain_valid(frames, layout) || source->type != RAVK_NODE_BINARY_SOURCE) {
        core_handle_release(pipelines(), handle);
        return -1;
    }
    if (sink != nullptr) sink->orientation = frames->orientation;
    if (ravk_node_get_state(source) != 4) {
        core_handle_release(pipelines(), handle);
        return 0;
    }
    const uint32_t options = stream == RAVK_FEED_AUDIO ? p->config.audio.options : p->config.video.options;
    const int copy = request || (options & RAVK_STREAM_COPY_DATA) != 0;
    for (const RavkSample *f = frames; f != nullptr && result == 0; f = f->next)
        result = ravk_node_push_frame(source, copy, f, fourcc, size, nullptr, nullptr);
    core_handle_release(pipelines(), handle);
    return result > 0 ? 0 : result;
}

}  // namespace

int ravk_provider_push(uint64_t handle, uint32_t stream, const RavkSample *frames)
{
    return push(handle, stream, frames, false);
}

int ravk_provider_push_request(uint64_t handle, uint32_t stream, const RavkSample *frames)
{
    return push(handle, stream, frames, true);
}
