#include "engine/capture.h"

#include <cstdio>
#include <cstring>

#include "core/clock.h"
#include "core/executor.h"
#include "core/handle.h"
#include "core/log.h"
#include "core/values.h"
#include "engine/capability.h"
#include "engine/codes.h"
#include "engine/node.h"
#include "engine/offer_tables.h"
#include "engine/profiles.h"
#include "ravelkit/datapath.h"

namespace {

CoreHandleTable *pipelines() { return core_handle_tables[CORE_HANDLES_PIPELINES]; }

// Waits of the drain: a poll step, and the time each stream may take to
// stop (the framework stops a node in up to 40 x 50 ms).
constexpr uint32_t k_drain_poll_ms = 50;
constexpr uint64_t k_drain_per_stream_ms = 2000;
constexpr uint64_t k_drain_empty_ms = 4000;

// The evaluation's audio test source: wave 7 (a sine of the framework's
// test source) at 1000 Hz; the video test source shows pattern 0.
constexpr int32_t k_eval_wave = 7;
constexpr double k_eval_frequency = 1000.0;
constexpr int32_t k_eval_pattern = 0;

// The data of ENGINE_EVT_STREAMER_ERROR.
struct MessageText {
    uint32_t code;
    int32_t result;
    char text[1024];
};
static_assert(sizeof(MessageText) == 1032, "message text travels as 1032 raw bytes");

// A capture object acquired for the length of a scope.
class CaptureAccess {
public:
    explicit CaptureAccess(uint64_t handle) : handle_(handle)
    {
        if (handle_ != 0 && pipelines() != nullptr)
            object_ = static_cast<RavkProvider *>(core_handle_acquire(pipelines(), handle_));
        // The pipeline table holds consumers as well; only a provider is ours.
        if (object_ != nullptr && object_->role != RAVK_ROLE_PROVIDER) {
            core_handle_release(pipelines(), handle_);
            object_ = nullptr;
        }
    }
    ~CaptureAccess()
    {
        if (object_ != nullptr) core_handle_release(pipelines(), handle_);
    }
    CaptureAccess(const CaptureAccess &) = delete;
    CaptureAccess &operator=(const CaptureAccess &) = delete;

    RavkProvider *get() const { return object_; }

private:
    uint64_t handle_;
    RavkProvider *object_ = nullptr;
};

// A live item of a store with a reader reference, given back at the end of
// the scope.
template <typename T>
class StoreRef {
public:
    StoreRef(CoreStore *store, CoreStoreItem *item) : store_(store), item_(item) {}
    StoreRef(CoreStore *store, const uint8_t key[CORE_NAME_KEY_SIZE])
        : store_(store), item_(store != nullptr ? core_store_lookup(store, key) : nullptr)
    {
    }
    ~StoreRef()
    {
        if (item_ != nullptr) core_store_unref(store_);
    }
    StoreRef(const StoreRef &) = delete;
    StoreRef &operator=(const StoreRef &) = delete;

    T *get() const { return reinterpret_cast<T *>(item_); }

private:
    CoreStore *store_;
    CoreStoreItem *item_;
};

uint64_t capability_slot_read(int slot, void *out, uint64_t capacity)
{
    EngineCapability *capability = engine_capability_current();
    return capability != nullptr ? engine_capability_slot_read(capability, slot, out, capacity) : 0;
}

// -1 when there is no capability.
int64_t bitrate_policy()
{
    EngineCapability *capability = engine_capability_current();
    if (capability == nullptr) return -1;
    CoreLockGuard guard(&capability->lock);
    return capability->bitratePolicy;
}

// The encoder list index in the name "codec.%08X.stream.%08X", or -1 when
// the name is empty or its number does not parse.
int64_t codec_name_index(const CoreName *codecName)
{
    uint64_t index = 0;
    if (codecName == nullptr || core_name_is_empty(codecName) ||
        core_name_parse_hex(&index, codecName->key, 6, 8) != CORE_OK)
        return -1;
    return static_cast<int64_t>(index);
}

void post_stream_info(uint32_t code, const CoreName &channel, const CoreName &slot, const CoreName &stream)
{
    EngineStreamInfo info;
    std::memset(&info, 0, sizeof(info));
    info.channel = channel;
    info.slot = slot;
    info.stream = stream;
    engine_post_event(code, &info, sizeof(info));
}

void capture_release(uint64_t *handle)
{
    if (*handle == 0) return;
    ravk_pipeline_stop(*handle);
    core_handle_release(pipelines(), *handle);
    core_handle_wait_freed(pipelines(), *handle);
    *handle = 0;
}

// Builds and starts a capture object; 0 or -1.
int capture_build_and_start(uint64_t handle, uint64_t audioBitrate, uint64_t videoBitrate)
{
    CaptureAccess capture(handle);
    if (capture.get() == nullptr) return -1;
    if (ravk_provider_build(capture.get(), audioBitrate, videoBitrate, 0) != 0) return -1;
    return ravk_provider_start(capture.get());
}

// The registry's selected device id. DEFAULT_DEVICE_ID (nothing chosen,
// or the chosen device went away) stands for the first device; the capture
// pipeline looks devices up by their own ids only, so it gets that one's.
void selected_device(RavkDeviceList *list, CoreName *out)
{
    if (list == nullptr || ravk_device_list_get_selected(list, out) != 0) return;
    CoreName fallback;
    core_name_format(&fallback, "%s", DEFAULT_DEVICE_ID);
    if (std::memcmp(out->key, fallback.key, CORE_NAME_KEY_SIZE) != 0) return;
    const uint64_t handle = ravk_device_list_find(list, out, 0);
    CoreHandleTable *devices = core_handle_tables[CORE_HANDLES_DEVICES];
    auto *node = handle != 0 ? static_cast<RavkDeviceNode *>(core_handle_acquire(devices, handle)) : nullptr;
    if (node == nullptr) return;
    CoreName id;
    RavkSourceDescriptor *desc = ravk_device_node_desc(node, 0);
    if (desc != nullptr && node->ops.get_id != nullptr && node->ops.get_id(desc, &id) == 0) *out = id;
    core_handle_release(devices, handle);
}

bool rate_valid(const RavkFraction &rate)
{
    return rate.numerator != 0 && rate.denominator != 0 && rate.numerator != UINT32_MAX &&
           rate.denominator != UINT32_MAX;
}

// The media flags of an evaluation capture by its encoder's output.
uint32_t eval_video_media(uint32_t fourcc)
{
    static const struct {
        char fourcc[5];
        uint32_t codec;
    } k_codecs[] = {{"H264", RAVK_VIDEO_H264}, {"H265", RAVK_VIDEO_H265}, {"VP8X", RAVK_VIDEO_VP8},
                    {"VP9X", RAVK_VIDEO_VP9},  {"MJPG", RAVK_VIDEO_MJPEG}, {"theo", RAVK_VIDEO_THEORA},
                    {"av01", RAVK_VIDEO_AV1}};
    uint32_t codec = RAVK_VIDEO_RAW;
    for (const auto &entry : k_codecs)
        if (core_fourcc(entry.fourcc) == fourcc) codec = entry.codec;
    return ravk_video_codec_id(codec);
}

bool is_rgb32(uint32_t fourcc)
{
    for (const char *layout : {"RGBA", "BGRA", "ARGB", "xRGB", "ABGR", "xBGR", "RGBx", "BGRx"})
        if (fourcc == (uint32_t(uint8_t(layout[0])) | uint32_t(uint8_t(layout[1])) << 8 |
                       uint32_t(uint8_t(layout[2])) << 16 | uint32_t(uint8_t(layout[3])) << 24))
            return true;
    return false;
}

// Which evaluation medium: its registry and capture in the provider.
struct EvalSlot {
    RavkDeviceList **sources;
    uint64_t *capture;
};

void eval_slot_release(EngineMediaProvider *provider, const EvalSlot &slot)
{
    uint64_t capture;
    RavkDeviceList *sources;
    {
        CoreLockGuard guard(&provider->lock);
        capture = *slot.capture;
        sources = *slot.sources;
        *slot.capture = 0;
        *slot.sources = nullptr;
    }
    capture_release(&capture);
    ravk_device_list_destroy(&sources);
}

// Makes, builds and starts an evaluation capture and keeps it and its
// registry in the provider; on failure both are undone.
CoreResult eval_capture_start(EngineMediaProvider *provider, const EvalSlot &slot, RavkDeviceList *sources,
                              const RavkProviderConfig *config, uint64_t audioBitrate, uint64_t videoBitrate)
{
    uint64_t capture = ravk_provider_create(config);
    if (capture == 0 || capture_build_and_start(capture, audioBitrate, videoBitrate) != 0) {
        capture_release(&capture);
        ravk_device_list_destroy(&sources);
        return CORE_ERR;
    }
    CoreLockGuard guard(&provider->lock);
    *slot.capture = capture;
    *slot.sources = sources;
    return CORE_OK;
}

}  // namespace

uint32_t engine_capture_mode(uint32_t slotParam)
{
    if (slotParam & 0x100) return RAVK_STREAM_COPY_DATA;
    if ((slotParam & 0xFF) == 1) return RAVK_STREAM_FLOW_CONTROL;
    return 0;
}

CoreResult engine_capture_audio_config(EngineMediaProvider *provider, RavkProviderAudioStream *out,
                                       const CoreName *stream, const CoreName *codecName)
{
    if (provider == nullptr || out == nullptr) return CORE_ERR;
    uint32_t slotParam;
    int64_t codecIndex;
    {
        // The encoder choice changes under the lock from the control thread.
        CoreLockGuard guard(&provider->lock);
        slotParam = provider->config.audioSource.slotParam;
        codecIndex = provider->config.audioSource.codecIndex;
    }
    out->options = engine_capture_mode(slotParam);
    out->devices = provider->audioSources;
    CoreAudioCodecDesc encoder;
    if (codecIndex != -1) {
        if (core_codec_get_audio(codecIndex, ENGINE_CODEC_LIST_ENCODERS, &encoder) != 0)
            return CORE_ERR;
        out->encoder = encoder;
    }
    const int64_t index = codec_name_index(codecName);
    if (index >= 0) {
        if (core_codec_get_audio(index, ENGINE_CODEC_LIST_ENCODERS, &encoder) != 0) return CORE_ERR;
        out->encoder = encoder;
    }
    if (stream != nullptr) out->stream = *stream;
    selected_device(out->devices, &out->device);

    EngineAudioFormat format;
    const uint64_t size = capability_slot_read(ENGINE_SLOT_AUDIO_SEND, &format, sizeof(format));
    if (size == 0 || size > sizeof(format)) return CORE_OK;
    std::memcpy(&out->format.audio, &format, sizeof(format));
    CoreLockGuard guard(&provider->lock);
    for (auto &row : provider->audioBitrates)
        for (uint64_t &value : row) value = ENGINE_AUDIO_BITRATE;
    return CORE_OK;
}

CoreResult engine_capture_video_config(EngineMediaProvider *provider, RavkProviderVideoStream *out,
                                       const CoreName *stream, const CoreName *codecName)
{
    if (provider == nullptr || out == nullptr) return CORE_ERR;
    uint32_t slotParam;
    int64_t codecIndex;
    {
        // The encoder choice changes under the lock from the control thread.
        CoreLockGuard guard(&provider->lock);
        slotParam = provider->config.videoSource.slotParam;
        codecIndex = provider->config.videoSource.codecIndex;
    }
    out->options = engine_capture_mode(slotParam);
    out->devices = provider->videoSources;
    CoreVideoCodecDesc encoder;
    if (codecIndex != -1) {
        if (core_codec_get_video(codecIndex, ENGINE_CODEC_LIST_ENCODERS, &encoder) != 0)
            return CORE_ERR;
        out->encoder = encoder;
    }
    const int64_t index = codec_name_index(codecName);
    if (index >= 0) {
        if (core_codec_get_video(index, ENGINE_CODEC_LIST_ENCODERS, &encoder) != 0) return CORE_ERR;
        out->encoder = encoder;
    }
    if (stream != nullptr) out->stream = *stream;
    selected_device(out->devices, &out->device);

    CoreVideoMode mode;
    const uint64_t size = capability_slot_read(ENGINE_SLOT_VIDEO_SEND, &mode, sizeof(mode));
    if (size == 0 || size > sizeof(mode)) return CORE_OK;
    out->format.video = mode;
    uint64_t ladders[2][ENGINE_BITRATE_STEPS];
    engine_bitrate_ladder(&mode, ENGINE_BINDER_KIND_P2P, out->encoder.output, ladders[0]);
    engine_bitrate_ladder(&mode, ENGINE_BINDER_KIND_P2M, out->encoder.output, ladders[1]);
    {
        CoreLockGuard guard(&provider->lock);
        std::memcpy(provider->videoBitrates, ladders, sizeof(ladders));
    }
    // Slots 2 and 4 are never filled today; a value there would carry the
    // encoder's profile and coding options.
    uint64_t word = 0;
    const uint64_t profileSize = capability_slot_read(2, &word, sizeof(word));
    if (profileSize != 0 && profileSize <= sizeof(word)) out->format.profile = word;
    word = 0;
    const uint64_t optionsSize = capability_slot_read(4, &word, sizeof(word));
    if (optionsSize != 0 && optionsSize <= sizeof(word)) out->format.coding_options = word;
    return CORE_OK;
}

uint64_t engine_capture_create(EngineMediaProvider *provider, uint32_t mask, const CoreName *audioStream,
                               const CoreName *videoStream, const CoreName *codecName)
{
    if (provider == nullptr) return 0;
    RavkProviderConfig config;
    ravk_provider_config_init(&config);
    config.media = mask;
    if (mask & RAVK_MEDIA_AUDIO) {
        if (engine_capture_audio_config(provider, &config.audio, audioStream, codecName) != CORE_OK) return 0;
    } else if ((mask & RAVK_MEDIA_MUXED) && !(mask & RAVK_MEDIA_VIDEO)) {
        return 0;
    }
    if (mask & RAVK_MEDIA_VIDEO) {
        if (engine_capture_video_config(provider, &config.video, videoStream, codecName) != CORE_OK) return 0;
        config.minimum_rate = {provider->config.captureSourceParams[0], provider->config.captureSourceParams[1]};
        // The interface flips the cursor flags from the command thread.
        CoreLockGuard guard(&provider->lock);
        config.show_cursor = provider->config.showCursor;
        config.show_clicks = provider->config.showClicks;
        const uint64_t *params = provider->config.captureParams;
        config.buffer1_size = params[0];
        config.buffer1 = reinterpret_cast<void *>(static_cast<uintptr_t>(params[1]));
        config.buffer2_size = params[2];
        config.buffer2 = reinterpret_cast<void *>(static_cast<uintptr_t>(params[3]));
    }

    const EngineCaptureHook hook = provider->config.captureHook;
    if (hook.fn != nullptr && hook.fn(&config.audio, &config.video, hook.user) != CORE_OK) return 0;
    const uint64_t handle = ravk_provider_create(&config);
    if (handle == 0) {
        core_log(CORE_LOG_WARN, "capture", "no capture object for media 0x%08X", mask);
        return 0;
    }
    // Told only once the object exists: the formats describe a capture.
    EngineCaptureFormats formats;
    std::memcpy(&formats.audio, &config.audio.encoder, sizeof(formats.audio));
    std::memcpy(&formats.video, &config.video.encoder, sizeof(formats.video));
    engine_post_event(ENGINE_EVT_CAPTURE_CREATED, &formats, sizeof(formats));
    return handle;
}

CoreResult engine_provider_create_captures(EngineMediaProvider *provider, EngineProfile *profile)
{
    if (provider == nullptr || profile == nullptr || profile->streams == nullptr) return CORE_ERR;
    CoreStore *streams = profile->streams;
    core_store_lock(provider->profiles);
    const uint32_t mask = profile->mediaMask;
    core_store_unlock(provider->profiles);

    if (mask != 0) {
        // One object serves every stream of a combined slot. A slot that has
        // one already keeps it: a second would never be released.
        CoreName names[3];  // audio stream, video stream, codec of the first stream
        std::memset(names, 0, sizeof(names));
        bool haveAudio = false, haveVideo = false, haveCodec = false, served = false;
        for (CoreStoreItem *item = core_store_next(streams, nullptr, 1); item != nullptr;
             item = core_store_next(streams, item, 1)) {
            auto *stream = reinterpret_cast<EngineProviderStream *>(item);
            if (!haveCodec) names[2] = stream->codecName;
            if ((stream->mediaFlags & RAVK_MEDIA_AUDIO) && !haveAudio) names[0] = stream->header.key;
            if ((stream->mediaFlags & RAVK_MEDIA_VIDEO) && !haveVideo) names[1] = stream->header.key;
            haveCodec = true;
            haveAudio = haveAudio || (stream->mediaFlags & RAVK_MEDIA_AUDIO) != 0;
            haveVideo = haveVideo || (stream->mediaFlags & RAVK_MEDIA_VIDEO) != 0;
            served = served || stream->capture.load() != 0;
        }
        if (served) return CORE_OK;
        uint64_t handle = engine_capture_create(provider, mask, &names[0], &names[1], &names[2]);
        if (handle == 0) return CORE_ERR;
        bool stored = false;
        for (CoreStoreItem *item = core_store_next(streams, nullptr, 1); item != nullptr;
             item = core_store_next(streams, item, 1)) {
            uint64_t none = 0;
            if (reinterpret_cast<EngineProviderStream *>(item)->capture.compare_exchange_strong(none, handle))
                stored = true;
        }
        // Every stream went meanwhile: nobody would release the object.
        if (!stored) capture_release(&handle);
        return CORE_OK;
    }

    CoreName names[2];
    std::memset(names, 0, sizeof(names));
    bool haveAudio = false, haveVideo = false;
    CoreResult result = CORE_OK;
    for (CoreStoreItem *item = core_store_next(streams, nullptr, 1); item != nullptr;
         item = core_store_next(streams, item, 1)) {
        auto *stream = reinterpret_cast<EngineProviderStream *>(item);
        if ((stream->mediaFlags & RAVK_MEDIA_AUDIO) && !haveAudio) {
            names[0] = stream->header.key;
            haveAudio = true;
        }
        if ((stream->mediaFlags & RAVK_MEDIA_VIDEO) && !haveVideo) {
            names[1] = stream->header.key;
            haveVideo = true;
        }
        if (stream->capture.load() != 0) continue;
        uint64_t handle = engine_capture_create(provider, stream->mediaFlags, &names[0], &names[1], &stream->codecName);
        uint64_t none = 0;
        if (handle != 0 && !stream->capture.compare_exchange_strong(none, handle)) capture_release(&handle);
        if (handle == 0) {
            core_store_unref(streams);  // the walk's reference: it ends here
            result = CORE_ERR;
            break;
        }
    }
    return result;
}

void engine_report_encoder_failure(uint32_t mediaFlags)
{
    MessageText message;
    std::memset(&message, 0, sizeof(message));
    size_t used = 0;
    if (mediaFlags & RAVK_MEDIA_AUDIO)
        used += std::snprintf(message.text + used, sizeof(message.text) - used, "Failed on start audio encoder");
    if (mediaFlags & RAVK_MEDIA_VIDEO)
        used += std::snprintf(message.text + used, sizeof(message.text) - used, "%sFailed on start video encoder",
                              used != 0 ? ". " : "");
    if (used == 0) return;
    std::snprintf(message.text + used, sizeof(message.text) - used, ".");
    engine_post_event(ENGINE_EVT_STREAMER_ERROR, &message, sizeof(message));
}

CoreResult engine_provider_start_encoders(EngineMediaProvider *provider, const EngineSendStreamEvent *record)
{
    if (provider == nullptr || provider->profiles == nullptr || record == nullptr) return CORE_DONE;
    StoreRef<EngineProfile> profile(provider->profiles, record->slot.key);
    if (profile.get() == nullptr) return CORE_DONE;
    StoreRef<EngineProviderStream> stream(profile.get()->streams, record->stream.key);
    if (stream.get() == nullptr) return CORE_DONE;
    EngineProviderStream *s = stream.get();

    const uint64_t handle = s->capture.load();
    {
        CaptureAccess capture(handle);
        // A combined slot's object is built by its first stream; the others
        // find it paused or playing.
        if (capture.get() != nullptr && capture.get()->state > RAVK_STATE_STOPPED) return CORE_OK;
    }

    const int step = bitrate_policy() > 0 ? ENGINE_START_STEP_CONSTANT : ENGINE_START_STEP_ADAPTIVE;
    uint64_t audioBitrate, videoBitrate;
    {
        CoreLockGuard guard(&provider->lock);
        const uint32_t row = provider->bitrateRow < 2 ? provider->bitrateRow : 0;
        audioBitrate = provider->audioBitrates[row][step];
        videoBitrate = provider->videoBitrates[row][step];
        provider->currentAudioBitrate = audioBitrate;
        provider->currentVideoBitrate = videoBitrate;
    }
    if (handle != 0 && capture_build_and_start(handle, audioBitrate, videoBitrate) == 0) {
        uint32_t idle = 0;
        if (s->started.compare_exchange_strong(idle, 1))
            post_stream_info(ENGINE_EVT_STREAM_STARTED, record->channel, record->slot, record->stream);
        return CORE_OK;
    }
    engine_report_encoder_failure(s->mediaFlags);
    return (s->mediaFlags & RAVK_MEDIA_VIDEO) ? CORE_ERR : CORE_OK;
}

int engine_provider_stop_task(const CoreName *, uint64_t task, const CoreName *name1, const CoreName *name2,
                              void **user)
{
    auto *provider = static_cast<EngineMediaProvider *>(user[0]);
    if (provider == nullptr || name1 == nullptr || name2 == nullptr) return CORE_ERR;
    int result = CORE_DONE;
    {
        StoreRef<EngineProfile> profile(provider->profiles, name1->key);
        if (profile.get() == nullptr) {
            result = CORE_ERR;
        } else {
            CoreStore *streams = profile.get()->streams;
            StoreRef<EngineProviderStream> stream(streams, name2->key);
            if (EngineProviderStream *s = stream.get()) {
                const uint64_t capture = s->capture.load();
                if (capture != 0) ravk_pipeline_stop(capture);
                // A fresh key frees the name at once; the stream itself, and
                // with it the capture reference, goes once nobody reads it.
                core_store_remove(streams, name2->key);
                if (s->started.exchange(0) == 1)
                    post_stream_info(ENGINE_EVT_STREAM_STOPPED, s->channel, *name1, *name2);
            }
        }
    }
    CoreLockGuard guard(&provider->lock);
    auto &tasks = provider->stopTasks;
    for (auto at = tasks.begin(); at != tasks.end(); ++at) {
        if (*at != task) continue;
        tasks.erase(at);
        break;
    }
    return result;
}

void engine_provider_drain(EngineMediaProvider *provider)
{
    if (provider == nullptr || provider->profiles == nullptr) return;
    const uint64_t live = engine_provider_live_streams(provider);
    const uint64_t limit = live > 0 ? (live + 1) * k_drain_per_stream_ms : k_drain_empty_ms;

    for (CoreStoreItem *p = core_store_next(provider->profiles, nullptr, 1); p != nullptr;
         p = core_store_next(provider->profiles, p, 1)) {
        CoreStore *streams = reinterpret_cast<EngineProfile *>(p)->streams;
        for (CoreStoreItem *s = core_store_next(streams, nullptr, 1); s != nullptr; s = core_store_next(streams, s, 1)) {
            const CoreTaskCallback callback = {engine_provider_stop_task, {provider, nullptr}};
            // The lock is held over the scheduling so that the task, which
            // takes its id out of the list, never runs before it is in.
            CoreLockGuard guard(&provider->lock);
            const uint64_t task = core_executor_schedule(&provider->config.executor, &p->key, &s->key, 0, &callback);
            if (task != 0) provider->stopTasks.push_back(task);
        }
    }
    for (uint64_t round = 0; round < limit / k_drain_poll_ms; ++round) {
        if (engine_provider_live_streams(provider) == 0) return;
        core_sleep_ms(k_drain_poll_ms);
    }
    core_log(CORE_LOG_WARN, "capture", "drain gave up with %u streams left", engine_provider_live_streams(provider));
}

CoreResult engine_provider_apply_encoder(EngineMediaProvider *provider, const CoreName *stream, uint64_t bitrate,
                                         int32_t step, int kind)
{
    if (provider == nullptr || stream == nullptr) return CORE_ERR;
    const int64_t policy = bitrate_policy();
    if (policy < 0) return CORE_ERR;
    if (policy != 0) return CORE_ERR_STATE;  // constant bitrate: the encoders keep their start values

    uint64_t value = bitrate;
    bool apply = kind == ENGINE_STREAM_KIND_AUDIO || kind == ENGINE_STREAM_KIND_VIDEO;
    if (bitrate == 0) {
        if (step < 0 || step >= ENGINE_BITRATE_STEPS) return CORE_ERR_INVALID;
        CoreLockGuard guard(&provider->lock);
        const uint32_t row = provider->bitrateRow < 2 ? provider->bitrateRow : 0;
        if (kind == ENGINE_STREAM_KIND_AUDIO) value = provider->audioBitrates[row][step];
        if (kind == ENGINE_STREAM_KIND_VIDEO) value = provider->videoBitrates[row][step];
    }
    if (apply) {
        CoreLockGuard guard(&provider->lock);
        const uint64_t current =
            kind == ENGINE_STREAM_KIND_AUDIO ? provider->currentAudioBitrate : provider->currentVideoBitrate;
        if (value == current) return CORE_DONE;
    }

    EngineProfile *found = kind == ENGINE_STREAM_KIND_AUDIO   ? engine_profile_audio_slot(provider)
                           : kind == ENGINE_STREAM_KIND_VIDEO ? engine_profile_video_slot(provider)
                                                              : reinterpret_cast<EngineProfile *>(
                                                                    core_store_first(provider->profiles));
    if (found == nullptr) return CORE_ERR;
    StoreRef<EngineProfile> profile(provider->profiles, &found->header);
    if (!apply) return CORE_OK;
    StoreRef<EngineProviderStream> s(found->streams, stream->key);
    if (s.get() == nullptr) return CORE_OK;
    const uint64_t capture = s.get()->capture.load();
    if (kind == ENGINE_STREAM_KIND_VIDEO && (s.get()->mediaFlags & RAVK_MEDIA_VIDEO)) {
        // A value the encoder did not take is not current: the next request
        // for it tries again.
        if (ravk_provider_set_video_bitrate(capture, value) == 0) {
            CoreLockGuard guard(&provider->lock);
            provider->currentVideoBitrate = value;
        }
    } else if (kind == ENGINE_STREAM_KIND_AUDIO && (s.get()->mediaFlags & RAVK_MEDIA_AUDIO)) {
        if (ravk_provider_set_audio_bitrate(capture, value) == 0) {
            CoreLockGuard guard(&provider->lock);
            provider->currentAudioBitrate = value;
        }
    }
    return CORE_OK;
}

CoreResult engine_provider_cap_framerate(EngineMediaProvider *provider, const CoreName *stream,
                                         const RavkFraction *rate)
{
    if (provider == nullptr || stream == nullptr || rate == nullptr) return CORE_ERR;
    EngineProfile *found = engine_profile_video_slot(provider);
    if (found == nullptr) return CORE_ERR;
    StoreRef<EngineProfile> profile(provider->profiles, &found->header);
    StoreRef<EngineProviderStream> s(found->streams, stream->key);
    if (s.get() == nullptr || !(s.get()->mediaFlags & RAVK_MEDIA_VIDEO)) return CORE_OK;
    CaptureAccess capture(s.get()->capture.load());
    RavkProvider *object = capture.get();
    if (object == nullptr || object->video_encoder == nullptr || object->live_rate == nullptr) return CORE_OK;
    RavkFraction cap = {0, 0};
    ravk_provider_framerate_cap(object, nullptr, rate, &cap);
    if (rate_valid(cap)) ravk_node_set_max_framerate(object->live_rate, &cap);
    return CORE_OK;
}

CoreResult engine_provider_query_stream(EngineMediaProvider *provider, const EngineStreamQuery *request)
{
    if (provider == nullptr || request == nullptr || provider->profiles == nullptr) return CORE_ERR;
    EngineProfile *found = request->kind == 0   ? engine_profile_audio_slot(provider)
                           : request->kind == 1 ? engine_profile_video_slot(provider)
                                                : reinterpret_cast<EngineProfile *>(core_store_first(provider->profiles));
    if (found == nullptr) return CORE_ERR;
    StoreRef<EngineProfile> profile(provider->profiles, &found->header);
    StoreRef<EngineProviderStream> s(found->streams, request->stream.key);
    if (s.get() == nullptr) return CORE_ERR;
    CaptureAccess capture(s.get()->capture.load());
    if (capture.get() == nullptr) return CORE_ERR;
    const RavkNode *source = request->kind == 1 ? capture.get()->video_source : capture.get()->audio_source;
    if (source != nullptr && (source->flow_flags & RAVK_FLOW_ONE_IN_FLIGHT) != 0 && source->in_flight.load() > 0)
        return CORE_ERR_BUSY;
    return CORE_DONE;
}

CoreResult engine_eval_audio_source(EngineMediaProvider *provider, int32_t backend, const EngineCaptureAudioPart *part,
                                    const CoreName *stream, const CoreName *codecName, const EngineAudioFormat *format,
                                    const RavkDeviceRecord *appSource)
{
    if (provider == nullptr || part == nullptr || stream == nullptr) return CORE_ERR;
    const int64_t index = codec_name_index(codecName);
    CoreAudioCodecDesc encoder;
    if (index < 0 || core_codec_get_audio(index, ENGINE_CODEC_LIST_ENCODERS, &encoder) != 0) return CORE_ERR;
    if (format == nullptr && appSource == nullptr) return CORE_ERR;

    const EvalSlot slot = {&provider->evalAudioSources, &provider->evalAudioCapture};
    eval_slot_release(provider, slot);
    RavkProviderConfig config;
    ravk_provider_config_init(&config);
    config.media = ravk_audio_codec_id(part->encoder.output == core_fourcc("opus") ? RAVK_AUDIO_OPUS : RAVK_AUDIO_RAW);
    RavkDeviceList *sources =
        engine_source_list_create(0, nullptr, RAVK_MEDIA_AUDIO, RAVK_CLASS_VIRTUAL | RAVK_CLASS_TEST);
    if (sources == nullptr) return CORE_ERR;

    CoreName id = core_name_of(ENGINE_EVAL_AUDIO_DEVICE);
    int added;
    if (appSource != nullptr) {
        added = ravk_device_list_add_virtual_audio(sources, 1, 0, appSource);
        id = appSource->id;
    } else {
        RavkAudioFormat testFormat;
        std::memcpy(&testFormat, format, sizeof(testFormat));
        added = ravk_device_list_add_audio_test(sources, backend, &id, &testFormat, k_eval_wave, k_eval_frequency);
    }
    if (added != 0 || ravk_device_list_select(sources, &id) != 0) {
        ravk_device_list_destroy(&sources);
        return CORE_ERR;
    }
    config.audio.options = 0;
    config.audio.stream = *stream;
    config.audio.devices = sources;
    config.audio.device = id;
    std::memcpy(&config.audio.encoder, part, sizeof(*part));
    return eval_capture_start(provider, slot, sources, &config, ENGINE_AUDIO_BITRATE, 0);
}

CoreResult engine_eval_video_source(EngineMediaProvider *provider, int32_t backend, const EngineCaptureVideoPart *part,
                                    const CoreName *stream, const CoreName *codecName, const CoreVideoMode *mode,
                                    const RavkDeviceRecord *appSource)
{
    if (provider == nullptr || part == nullptr || stream == nullptr) return CORE_ERR;
    const int64_t index = codec_name_index(codecName);
    CoreVideoCodecDesc encoder;
    if (index < 0 || core_codec_get_video(index, ENGINE_CODEC_LIST_ENCODERS, &encoder) != 0) return CORE_ERR;
    if (mode == nullptr && appSource == nullptr) return CORE_ERR;

    const EvalSlot slot = {&provider->evalVideoSources, &provider->evalVideoCapture};
    eval_slot_release(provider, slot);
    RavkProviderConfig config;
    ravk_provider_config_init(&config);
    config.media = eval_video_media(part->encoder.output);
    RavkDeviceList *sources =
        engine_source_list_create(0, nullptr, RAVK_MEDIA_VIDEO, RAVK_CLASS_VIRTUAL | RAVK_CLASS_TEST);
    if (sources == nullptr) return CORE_ERR;

    CoreName id = core_name_of(ENGINE_EVAL_VIDEO_DEVICE);
    int added;
    if (appSource != nullptr) {
        added = ravk_device_list_add_virtual_video(sources, 1, 0, appSource);
        id = appSource->id;
    } else {
        const uint32_t pixels = is_rgb32(encoder.input) ? core_fourcc("I420") : core_fourcc("RGBx");
        added = ravk_device_list_add_video_test(sources, backend, &id, mode, pixels, k_eval_pattern);
    }
    if (added != 0 || ravk_device_list_select(sources, &id) != 0) {
        ravk_device_list_destroy(&sources);
        return CORE_ERR;
    }
    config.video.options = 0;
    config.video.stream = *stream;
    config.video.devices = sources;
    config.video.device = id;
    std::memcpy(&config.video.encoder, part, sizeof(*part));
    core_video_mode_align(&config.video.format.video, encoder.alignment_width, encoder.alignment_height);
    uint64_t ladder[ENGINE_BITRATE_STEPS];
    engine_bitrate_ladder(&config.video.format.video, ENGINE_BINDER_KIND_P2P, part->encoder.output, ladder);
    return eval_capture_start(provider, slot, sources, &config, 0, ladder[ENGINE_BITRATE_STEPS - 1]);
}
