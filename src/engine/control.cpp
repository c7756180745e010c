#include "engine/control.h"

#include <algorithm>
#include <cstring>

#include "core/handle.h"
#include "core/log.h"
#include "engine/capability.h"
#include "engine/capture.h"
#include "engine/codes.h"
#include "engine/connection.h"
#include "engine/device_requests.h"
#include "engine/display.h"
#include "engine/picture.h"
#include "engine/provider.h"
#include "engine/records.h"
#include "engine/session.h"
#include "ravelkit/feed.h"

namespace {

constexpr const char *kModule = "control";

bool output_holds(const void *out, const uint64_t *out_len, uint64_t size)
{
    return out != nullptr && out_len != nullptr && *out_len >= size;
}

CoreResult set_capture_params(EngineSession *session, const void *in, uint64_t in_len)
{
    if (in == nullptr || in_len < sizeof(EngineCaptureParams)) return CORE_ERR_INVALID;
    EngineCaptureParams params;
    memcpy(&params, in, sizeof(params));
    if (EngineMediaProvider *provider = session->provider) {
        CoreLockGuard guard(&provider->lock);
        memcpy(provider->config.captureParams, params.words, sizeof(params.words));
    }
    if (session->lock != nullptr) {
        CoreLockGuard guard(session->lock);
        memcpy(session->captureParams, params.words, sizeof(params.words));
    }
    return CORE_OK;
}

// The profile slot of a feed or query medium, with a reader reference on
// the provider's profiles.
EngineProfile *medium_slot(EngineMediaProvider *provider, uint32_t medium)
{
    if (medium == 0) return engine_profile_audio_slot(provider);
    if (medium == 1) return engine_profile_video_slot(provider);
    return reinterpret_cast<EngineProfile *>(core_store_first(provider->profiles));
}

CoreResult feed_frames(EngineSession *session, const void *in, uint64_t in_len, const void *frames)
{
    if (in == nullptr || in_len < sizeof(EngineFeedRequest)) return CORE_ERR_INVALID;
    EngineFeedRequest request;
    memcpy(&request, in, sizeof(request));
    EngineMediaProvider *provider = session->provider;
    if (provider == nullptr) return CORE_ERR;
    EngineProfile *profile = medium_slot(provider, request.medium);
    if (profile == nullptr) return CORE_ERR;
    CoreResult result = CORE_DONE;
    if (CoreStoreItem *item = core_store_lookup(profile->streams, request.stream.key)) {
        const uint64_t capture = reinterpret_cast<EngineProviderStream *>(item)->capture.load();
        const uint32_t branch = request.medium == 0   ? uint32_t(RAVK_FEED_AUDIO)
                                : request.medium == 1 ? uint32_t(RAVK_FEED_VIDEO)
                                                      : 0u;
        if (branch == 0 || capture == 0 || frames == nullptr)
            result = CORE_ERR;
        else
            // The frames end with this request: the push copies them.
            result = ravk_provider_push_request(capture, branch, static_cast<const RavkSample *>(frames)) == 0
                         ? CORE_OK
                         : CORE_ERR;
        core_store_unref(profile->streams);
    }
    core_store_unref(provider->profiles);
    return result;
}

CoreResult query_stream(EngineSession *session, const void *in, uint64_t in_len)
{
    if (in == nullptr || in_len < sizeof(EngineStreamQuery)) return CORE_ERR_INVALID;
    if (session->provider == nullptr) return CORE_ERR;
    EngineStreamQuery query;
    memcpy(&query, in, sizeof(query));
    return engine_provider_query_stream(session->provider, &query);
}

CoreResult rotate_frame(EngineSession *session, const void *in, uint64_t in_len, void *out, uint64_t *out_len)
{
    if (in == nullptr || in_len < sizeof(EngineConvertRequest) || !output_holds(out, out_len, sizeof(RavkIoVec)))
        return CORE_ERR_INVALID;
    EngineConvertRequest request;
    memcpy(&request, in, sizeof(request));
    if (request.mode != 1) return CORE_ERR;
    if (request.inputSize == nullptr || request.outputSize == nullptr || request.input == nullptr)
        return CORE_ERR_INVALID;
    const uint32_t bpp = std::max(core_frame_bpp(request.sourceFormat), core_frame_bpp(request.destinationFormat));
    RavkIoVec external[2];
    {
        CoreLockGuard guard(session->lock);
        external[0] = {session->captureParams[0], reinterpret_cast<void *>(session->captureParams[1])};
        external[1] = {session->captureParams[2], reinterpret_cast<void *>(session->captureParams[3])};
    }
    RavkIoVec answer = {0, nullptr};
    if (ravk_frame_convert(request.sourceFormat, request.destinationFormat, bpp, &request.crop, request.rotation,
                           request.inputSize, request.outputSize, &external[0], &external[1], request.input,
                           &answer) != 0)
        return CORE_ERR;
    memcpy(out, &answer, sizeof(answer));
    return CORE_OK;
}

// The receive direction's format or mode the last negotiation settled.
CoreResult negotiated_value(int slot, void *out, uint64_t *out_len, uint64_t size)
{
    if (!output_holds(out, out_len, size)) return CORE_ERR_INVALID;
    memset(out, 0, size);
    EngineCapability *capability = engine_capability_current();
    if (capability == nullptr) return CORE_DONE;
    uint8_t value[16];
    const uint64_t stored = engine_capability_slot_read(capability, slot, value, sizeof(value));
    if (stored == 0 || stored > size) return CORE_DONE;
    memcpy(out, value, size);
    return CORE_OK;
}

CoreResult picture_request(EngineDisplay *display, uint32_t code, const void *in, uint64_t in_len, void *out,
                           uint64_t *out_len)
{
    if (display == nullptr) return CORE_ERR;
    const uint64_t answer = out_len != nullptr && out != nullptr ? *out_len : 0;
    switch (code) {
    case ENGINE_CTL_GET_BRIGHTNESS: return engine_display_get_brightness(display, out, answer);
    case ENGINE_CTL_GET_CONTRAST: return engine_display_get_contrast(display, out, answer);
    case ENGINE_CTL_GET_SATURATION: return engine_display_get_saturation(display, out, answer);
    case ENGINE_CTL_GET_HUE: return engine_display_get_hue(display, out, answer);
    case ENGINE_CTL_SET_BRIGHTNESS: return engine_display_set_brightness(display, in, in != nullptr ? in_len : 0);
    case ENGINE_CTL_SET_CONTRAST: return engine_display_set_contrast(display, in, in != nullptr ? in_len : 0);
    case ENGINE_CTL_SET_SATURATION: return engine_display_set_saturation(display, in, in != nullptr ? in_len : 0);
    case ENGINE_CTL_SET_HUE: return engine_display_set_hue(display, in, in != nullptr ? in_len : 0);
    case ENGINE_CTL_SET_SCALE: return engine_display_set_scale(display, in, in != nullptr ? in_len : 0);
    case ENGINE_CTL_SET_ASPECT: return engine_display_set_aspect(display, in, in != nullptr ? in_len : 0);
    case ENGINE_CTL_SET_WINDOW: return engine_display_set_window(display, in, in != nullptr ? in_len : 0);
    default: return CORE_NOT_MINE;
    }
}

}  // namespace

CoreResult engine_control(EngineSession *session, uint32_t code, const void *in, uint64_t in_len, void *out,
                          uint64_t *out_len)
{
    if (code < ENGINE_CTL_FIRST || code > ENGINE_CTL_LAST) return CORE_NOT_MINE;
    if (session == nullptr) return CORE_ERR;
    if (code >= ENGINE_CTL_VERSION_MISMATCH && code <= ENGINE_CTL_PEER_UNBIND)
        return engine_on_connection_request(session, code, in, in_len, out, out_len);
    if ((code >= ENGINE_CTL_DEVICES_REFRESH && code <= ENGINE_CTL_VIDEO_PREVIEW_STOP) ||
        (code >= ENGINE_CTL_ENCODER_COUNT && code <= ENGINE_CTL_SET_DECODER_DESC))
        return engine_on_device_request(session, code, in, in_len, out, out_len);
    if ((code >= ENGINE_CTL_GET_BRIGHTNESS && code <= ENGINE_CTL_SET_ASPECT) || code == ENGINE_CTL_SET_WINDOW)
        return picture_request(session->display, code, in, in_len, out, out_len);
    switch (code) {
    case ENGINE_CTL_SET_PLAYBACK_PARAMS:
        return engine_display_set_playback_params(session->display, in, in != nullptr ? in_len : 0);
    case ENGINE_CTL_SET_PLAYBACK_OFFSET:
        return engine_display_set_playback_offset(session->display, in, in != nullptr ? in_len : 0);
    case ENGINE_CTL_SET_CAPTURE_PARAMS: return set_capture_params(session, in, in_len);
    case ENGINE_CTL_PUSH_FRAMES:
        if (out_len == nullptr) return CORE_ERR_INVALID;
        if (session->display == nullptr) return CORE_ERR;
        return engine_display_push_frames(session->display, static_cast<const EngineFrameBatch *>(in),
                                          in != nullptr ? in_len : 0, static_cast<const RavkSample *>(out), *out_len);
    case ENGINE_CTL_FEED_FRAMES: return feed_frames(session, in, in_len, out);
    case ENGINE_CTL_QUERY_STREAM: return query_stream(session, in, in_len);
    case ENGINE_CTL_ROTATE_FRAME: return rotate_frame(session, in, in_len, out, out_len);
    case ENGINE_CTL_GET_AUDIO_FORMAT:
        return negotiated_value(ENGINE_SLOT_AUDIO_RECEIVE, out, out_len, sizeof(EngineAudioFormat));
    case ENGINE_CTL_GET_VIDEO_MODE:
        return negotiated_value(ENGINE_SLOT_VIDEO_RECEIVE, out, out_len, sizeof(CoreVideoMode));
    default:
        core_log(CORE_LOG_DEBUG, kModule, "control request 0x%X has no handler", code);
        return CORE_ERR;
    }
}

CoreResult engine_on_control(uint32_t code, const void *in, uint64_t in_len, void *out, uint64_t *out_len,
                             void **user)
{
    if (code < ENGINE_CTL_FIRST || code > ENGINE_CTL_LAST) return CORE_NOT_MINE;
    return engine_control(static_cast<EngineSession *>(user != nullptr ? user[0] : nullptr), code, in, in_len, out,
                          out_len);
}
