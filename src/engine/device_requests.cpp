#include "engine/device_requests.h"

#include <cstring>
#include <mutex>

#include "core/handle.h"
#include "core/log.h"
#include "core/sync.h"
#include "core/values.h"
#include "engine/codes.h"
#include "engine/display.h"
#include "engine/offer_tables.h"
#include "engine/provider.h"
#include "engine/session.h"
#include "ravelkit/device_enum.h"
#include "ravelkit/provider.h"

namespace {

CoreHandleTable *devices_table() { return core_handle_tables[CORE_HANDLES_DEVICES]; }
CoreHandleTable *pipelines_table() { return core_handle_tables[CORE_HANDLES_PIPELINES]; }

// The request's buffers as given, with the checks every request makes
// before it reads or writes anything.
struct Request {
    const void *in;
    uint64_t inLength;
    void *out;
    uint64_t *outLength;

    // The first `size` bytes of the input, when there are that many.
    template <typename Record>
    bool read(Record *record, uint64_t size = sizeof(Record)) const
    {
        std::memset(record, 0, sizeof(Record));
        if (in == nullptr || inLength < size) return false;
        std::memcpy(record, in, size);
        return true;
    }
    // The output when it can take `size` bytes.
    template <typename Answer>
    Answer *answer(uint64_t size = sizeof(Answer)) const
    {
        if (out == nullptr || outLength == nullptr || *outLength < size) return nullptr;
        return static_cast<Answer *>(out);
    }
    CoreResult answered(CoreResult result, uint64_t size) const
    {
        if (result == CORE_OK) *outLength = size;
        return result;
    }
};

// The four registries of the session.
struct Registries {
    RavkDeviceList *audioSources = nullptr;
    RavkDeviceList *videoSources = nullptr;
    RavkDeviceList *audioSinks = nullptr;
    RavkDeviceList *videoSinks = nullptr;

    explicit Registries(EngineSession *session)
    {
        if (session->provider != nullptr) {
            audioSources = session->provider->audioSources;
            videoSources = session->provider->videoSources;
        }
        if (session->display != nullptr) {
            audioSinks = session->display->audioSinks;
            videoSinks = session->display->videoSinks;
        }
    }
    RavkDeviceList *source(uint32_t media) const
    {
        return media == 0 ? audioSources : media == 1 ? videoSources : nullptr;
    }
    RavkDeviceList *sink(uint32_t media) const { return media == 0 ? audioSinks : media == 1 ? videoSinks : nullptr; }
};

// The number of devices in a registry's array; -1 without an array.
int64_t device_count(RavkDeviceList *list)
{
    if (list == nullptr) return -1;
    CoreLockGuard guard(&list->lock);
    return list->devices != nullptr ? static_cast<int64_t>(list->count) : -1;
}

// A device index from the interface must name a device the registry holds
// now; a registry without devices has no valid index.
bool index_valid(RavkDeviceList *list, int32_t index)
{
    const int64_t count = device_count(list);
    return index >= 0 && index < count;
}

// A device node held for the length of one operation, found by id or by
// index in a registry.
class DeviceNode {
public:
    DeviceNode(RavkDeviceList *list, const CoreName &id)
    {
        if (list != nullptr) hold(ravk_device_list_find(list, &id, 0));
    }
    DeviceNode(RavkDeviceList *list, int32_t index)
    {
        if (list == nullptr) return;
        uint64_t handle = 0;
        {
            CoreLockGuard guard(&list->lock);
            if (list->devices != nullptr && index >= 0 && static_cast<uint64_t>(index) < list->count)
                handle = list->devices[index];
        }
        hold(handle);
    }
    ~DeviceNode()
    {
        if (node_ != nullptr) core_handle_release(devices_table(), handle_);
    }
    DeviceNode(const DeviceNode &) = delete;
    DeviceNode &operator=(const DeviceNode &) = delete;

    bool ok() const { return node_ != nullptr && desc() != nullptr; }
    uint64_t handle() const { return handle_; }
    const RavkSourceOps &ops() const { return node_->ops; }
    RavkSourceDescriptor *desc() const { return ravk_device_node_desc(node_, 0); }

private:
    void hold(uint64_t handle)
    {
        if (handle == 0 || devices_table() == nullptr) return;
        node_ = static_cast<RavkDeviceNode *>(core_handle_acquire(devices_table(), handle));
        if (node_ != nullptr) handle_ = handle;
    }

    uint64_t handle_ = 0;
    RavkDeviceNode *node_ = nullptr;
};

// ---- registries -------------------------------------------------------------------

CoreResult devices_refresh(EngineSession *session, const Request &r)
{
    EngineDevicesRefresh request;
    if (!r.read(&request)) return CORE_ERR_INVALID;
    const Registries registries(session);
    // The enumerator's thread adds the native devices to the registries:
    // it is stopped while they are emptied and started again after, so
    // that its first pass announces every device anew.
    const bool enumerator = ravk_device_enum_instance() != nullptr;
    if (enumerator) ravk_device_enum_stop();
    RavkDeviceList *list = nullptr;
    if (request.direction == 0) list = registries.source(request.media);
    if (request.direction == 1) list = registries.sink(request.media);
    const CoreResult result = list == nullptr || ravk_device_list_refresh(list) == 0 ? CORE_OK : CORE_ERR;
    if (enumerator && ravk_device_enum_start() != 0)
        core_log(CORE_LOG_WARN, "devices", "the device enumerator did not start again after a refresh");
    return result;
}

// The count, name, information and selected requests of one registry pair.
CoreResult device_read(uint32_t code, RavkDeviceList *audio, RavkDeviceList *video, const Request &r)
{
    EngineDeviceRequest request;
    switch (code) {
    case ENGINE_CTL_SOURCE_COUNT:
    case ENGINE_CTL_SINK_COUNT: {
        if (!r.read(&request, sizeof(request.media))) return CORE_ERR_INVALID;
        auto *answer = r.answer<EngineDeviceCount>();
        if (answer == nullptr) return CORE_ERR_INVALID;
        return r.answered(engine_device_count(audio, video, &request, answer), sizeof(*answer));
    }
    case ENGINE_CTL_SOURCE_SELECTED:
    case ENGINE_CTL_SINK_SELECTED: {
        if (!r.read(&request, sizeof(request.media))) return CORE_ERR_INVALID;
        auto *answer = r.answer<EngineDeviceSelected>();
        if (answer == nullptr) return CORE_ERR_INVALID;
        return r.answered(engine_device_selected(audio, video, &request, answer), sizeof(*answer));
    }
    default: break;
    }
    if (!r.read(&request)) return CORE_ERR_INVALID;
    const bool name = code == ENGINE_CTL_SOURCE_NAME || code == ENGINE_CTL_SINK_NAME;
    const uint64_t size = name ? sizeof(EngineDeviceName) : sizeof(EngineDeviceInfo);
    void *answer = r.answer<uint8_t>(size);
    if (answer == nullptr) return CORE_ERR_INVALID;
    RavkDeviceList *list = request.media == 0 ? audio : request.media == 1 ? video : nullptr;
    if (list == nullptr) return CORE_ERR;
    if (!index_valid(list, request.index)) return CORE_ERR_INVALID;
    const CoreResult result = name ? engine_device_name(audio, video, &request, static_cast<EngineDeviceName *>(answer))
                                   : engine_device_info(audio, video, &request, static_cast<EngineDeviceInfo *>(answer));
    return r.answered(result, size);
}

CoreResult selected_id(RavkDeviceList *list, const Request &r)
{
    uint32_t media;
    if (!r.read(&media)) return CORE_ERR_INVALID;
    auto *answer = r.answer<EngineDeviceSelection>();
    if (answer == nullptr) return CORE_ERR_INVALID;
    if (list == nullptr) return CORE_ERR;
    answer->media = media;
    return r.answered(ravk_device_list_get_selected(list, &answer->id) == 0 ? CORE_OK : CORE_ERR, sizeof(*answer));
}

CoreResult select_index(const Registries &registries, bool sources, const Request &r)
{
    EngineDeviceRequest request;
    if (!r.read(&request)) return CORE_ERR_INVALID;
    RavkDeviceList *list = sources ? registries.source(request.media) : registries.sink(request.media);
    if (list == nullptr) return CORE_ERR;
    if (request.index != -1 && !index_valid(list, request.index)) return CORE_ERR_INVALID;
    return engine_device_select_index(list, request.index);
}

CoreResult select_id(const Registries &registries, bool sources, const Request &r)
{
    EngineDeviceSelection request;
    if (!r.read(&request)) return CORE_ERR_INVALID;
    RavkDeviceList *list = sources ? registries.source(request.media) : registries.sink(request.media);
    if (list == nullptr) return CORE_ERR;
    core_name_make(&request.id);
    return ravk_device_list_select(list, &request.id) == 0 ? CORE_OK : CORE_ERR;
}

// The framework's nodes describe no capabilities: a count of 0 and empty
// entries, from any node that can be reached.
CoreResult caps_count(const Registries &registries, const Request &r)
{
    EngineDeviceRequest request;
    if (!r.read(&request)) return CORE_ERR_INVALID;
    auto *answer = r.answer<EngineDeviceCount>();
    if (answer == nullptr) return CORE_ERR_INVALID;
    RavkDeviceList *list = registries.source(request.media);
    if (list == nullptr) return CORE_ERR;
    if (!index_valid(list, request.index)) return CORE_ERR_INVALID;
    DeviceNode node(list, request.index);
    if (!node.ok()) return CORE_ERR;
    answer->media = request.media;
    answer->reserved = 0;
    answer->count = 0;
    return r.answered(CORE_OK, sizeof(*answer));
}

CoreResult caps_get(const Registries &registries, const Request &r)
{
    EngineCapsEntryRequest request;
    if (!r.read(&request)) return CORE_ERR_INVALID;
    auto *answer = r.answer<EngineCapsEntry>();
    if (answer == nullptr) return CORE_ERR_INVALID;
    RavkDeviceList *list = registries.source(request.media);
    if (list == nullptr) return CORE_ERR;
    if (!index_valid(list, request.index)) return CORE_ERR_INVALID;
    DeviceNode node(list, request.index);
    if (!node.ok()) return CORE_ERR;
    answer->media = request.media;
    answer->value = 0;
    answer->length = 0;
    return r.answered(CORE_OK, sizeof(*answer));
}

// ---- device modes and formats --------------------------------------------------------

CoreResult mode_count(const Registries &registries, const Request &r)
{
    EngineDeviceSelection request;
    if (!r.read(&request)) return CORE_ERR_INVALID;
    auto *answer = r.answer<EngineDeviceCount>();
    if (answer == nullptr) return CORE_ERR_INVALID;
    DeviceNode node(registries.source(request.media), request.id);
    uint64_t count = 0;
    if (!node.ok() || node.ops().mode_count == nullptr || node.ops().mode_count(node.desc(), &count) != 0)
        return CORE_ERR;
    answer->media = request.media;
    answer->reserved = 0;
    answer->count = count;
    return r.answered(CORE_OK, sizeof(*answer));
}

CoreResult mode_at(const Registries &registries, const Request &r)
{
    EngineDeviceModeRequest request;
    if (!r.read(&request)) return CORE_ERR_INVALID;
    auto *answer = r.answer<EngineDeviceProperty>();
    if (answer == nullptr) return CORE_ERR_INVALID;
    DeviceNode node(registries.source(request.media), request.id);
    uint64_t count = 0;
    if (!node.ok() || node.ops().mode_count == nullptr || node.ops().mode_at == nullptr ||
        node.ops().mode_count(node.desc(), &count) != 0)
        return CORE_ERR;
    if (request.modeIndex >= count) return CORE_ERR_INVALID;
    // Into a copy first: a failed copy leaves the answer as it was.
    uint8_t value[ENGINE_DEVICE_VALUE_AREA];
    uint64_t length = 0;
    if (node.ops().mode_at(node.desc(), static_cast<int32_t>(request.modeIndex), value, sizeof(value), &length) != 0 ||
        length > sizeof(value))
        return CORE_ERR;
    std::memcpy(answer->value, value, length);
    answer->valueLength = length;
    return r.answered(CORE_OK, sizeof(*answer));
}

CoreResult set_mode(const Registries &registries, const Request &r)
{
    EngineDeviceProperty request;
    if (!r.read(&request)) return CORE_ERR_INVALID;
    if (request.valueLength > ENGINE_DEVICE_VALUE_AREA) return CORE_ERR_INVALID;
    DeviceNode node(registries.source(request.media), request.id);
    if (!node.ok() || node.ops().set_selection == nullptr) return CORE_ERR;
    return node.ops().set_selection(node.desc(), request.value, request.valueLength) == 0 ? CORE_OK : CORE_ERR;
}

CoreResult current_mode(const Registries &registries, const Request &r)
{
    EngineDeviceSelection request;
    if (!r.read(&request)) return CORE_ERR_INVALID;
    auto *answer = r.answer<EngineDeviceProperty>();
    if (answer == nullptr) return CORE_ERR_INVALID;
    DeviceNode node(registries.source(request.media), request.id);
    if (!node.ok()) return CORE_ERR;
    uint8_t value[ENGINE_DEVICE_VALUE_AREA] = {};
    if (ravk_device_get_info(node.handle(), value, sizeof(value)) != 0) return CORE_ERR;
    std::memcpy(answer->value, value, sizeof(value));
    return r.answered(CORE_OK, sizeof(*answer));
}

// ENGINE_CTL_AUDIO_SOURCE_FORMAT (media 0, a 12-byte format) and
// ENGINE_CTL_VIDEO_SOURCE_MODE (media 1, a 16-byte mode).
CoreResult source_format(const Registries &registries, uint32_t media, const Request &r)
{
    EngineDeviceSelection request;
    if (!r.read(&request)) return CORE_ERR_INVALID;
    if (request.media != media) return CORE_ERR_INVALID;
    const uint64_t size = media == 0 ? sizeof(EngineAudioFormat) : sizeof(CoreVideoMode);
    void *answer = r.answer<uint8_t>(size);
    if (answer == nullptr) return CORE_ERR_INVALID;
    DeviceNode node(registries.source(media), request.id);
    if (!node.ok() || node.ops().get_attribute == nullptr) return CORE_ERR;
    // A value of another size is not the record asked for.
    uint8_t value[sizeof(CoreVideoMode)] = {};
    const uint32_t code = media == 0 ? ENGINE_DEVICE_PROP_AUDIO_FORMAT : ENGINE_DEVICE_PROP_CAPTURE_MODE;
    if (node.ops().get_attribute(node.desc(), code, value, size) != 0) return CORE_ERR;
    std::memcpy(answer, value, size);
    return r.answered(CORE_OK, size);
}

// ---- application-fed devices -----------------------------------------------------------

CoreResult add_audio(const Registries &registries, bool slot, const Request &r)
{
    EngineAppAudioSource source;
    if (!r.read(&source)) return CORE_ERR_INVALID;
    return slot ? engine_audio_device_add_slot(registries.audioSources, registries.audioSinks, &source)
                : engine_audio_device_add(registries.audioSources, registries.audioSinks, &source);
}

CoreResult add_video(const Registries &registries, bool slot, const Request &r)
{
    EngineAppVideoSource source;
    if (!r.read(&source)) return CORE_ERR_INVALID;
    return slot ? engine_video_device_add_slot(registries.videoSources, registries.videoSinks, &source)
                : engine_video_device_add(registries.videoSources, registries.videoSinks, &source);
}

CoreResult remove_device(const Registries &registries, uint32_t media, const Request &r)
{
    EngineDeviceRemoval request;
    if (!r.read(&request)) return CORE_ERR_INVALID;
    RavkDeviceList *list = request.target == ENGINE_APP_TARGET_FIRST    ? registries.source(media)
                           : request.target == ENGINE_APP_TARGET_SECOND ? registries.sink(media)
                                                                        : nullptr;
    // Only application-fed devices come and go on request; a registry of
    // the system's devices is the enumerator's.
    if (list == nullptr || (list->device_class & RAVK_CLASS_VIRTUAL) == 0) return CORE_ERR;
    return ravk_device_list_remove(list, &request.id, nullptr) == 0 ? CORE_OK : CORE_ERR;
}

// ---- previews ----------------------------------------------------------------------------

void pipeline_free(uint64_t handle)
{
    if (handle == 0) return;
    ravk_pipeline_stop(handle);
    core_handle_release(pipelines_table(), handle);
    core_handle_wait_freed(pipelines_table(), handle);
}

// Swaps the provider's preview handle of the medium under its lock.
uint64_t preview_exchange(EngineMediaProvider *provider, int medium, uint64_t handle)
{
    CoreLockGuard guard(&provider->lock);
    const uint64_t previous = provider->previews[medium];
    provider->previews[medium] = handle;
    return previous;
}

CoreResult preview_start(EngineSession *session, int medium, const Request &r)
{
    EnginePreviewRequest request;
    if (!r.read(&request)) return CORE_ERR_INVALID;
    EngineMediaProvider *provider = session->provider;
    if (provider == nullptr || pipelines_table() == nullptr) return CORE_ERR;

    RavkProviderConfig config;
    ravk_provider_config_init(&config);
    CoreName stream;
    core_name_format(&stream, "stream.%08X", 0xFFFFFFFFu);
    core_name_make(&request.id);
    if (medium == 0) {
        config.audio.stream = stream;
        config.audio.devices = provider->audioSources;
        config.audio.device = request.id;
        config.media = RAVK_MEDIA_AUDIO;
    } else {
        config.video.stream = stream;
        config.video.devices = provider->videoSources;
        config.video.device = request.id;
        config.media = RAVK_MEDIA_VIDEO;
    }

    pipeline_free(preview_exchange(provider, medium, 0));
    const uint64_t handle = ravk_provider_create(&config);
    if (handle == 0) return CORE_ERR;
    // A start on another thread may have put its own preview in meanwhile:
    // one preview per medium stays, the other is let go.
    pipeline_free(preview_exchange(provider, medium, handle));
    if (ravk_provider_build_and_start(handle) == 0) return CORE_OK;
    // Only our own handle is taken back out.
    {
        CoreLockGuard guard(&provider->lock);
        if (provider->previews[medium] != handle) return CORE_ERR;
        provider->previews[medium] = 0;
    }
    pipeline_free(handle);
    return CORE_ERR;
}

CoreResult preview_stop(EngineSession *session, int medium)
{
    EngineMediaProvider *provider = session->provider;
    if (provider == nullptr) return CORE_ERR;
    // The handle stays with the provider; holding a reference while the
    // pipeline stops keeps a concurrent start from freeing it under us.
    uint64_t handle;
    void *object = nullptr;
    {
        CoreLockGuard guard(&provider->lock);
        handle = provider->previews[medium];
        if (handle != 0) object = core_handle_acquire(pipelines_table(), handle);
    }
    if (object == nullptr) return CORE_ERR;
    const int stopped = ravk_pipeline_stop(handle);
    core_handle_release(pipelines_table(), handle);
    return stopped == 0 ? CORE_OK : CORE_ERR;
}

// ---- codec lists -------------------------------------------------------------------------

uint32_t codec_count(uint32_t kind, uint32_t direction)
{
    return kind == 0 ? core_codec_entry_count_audio(direction) : core_codec_entry_count_video(direction);
}

CoreResult codec_list_count(uint32_t direction, bool usable, const Request &r)
{
    uint32_t kind;
    if (!r.read(&kind)) return CORE_ERR_INVALID;
    auto *answer = r.answer<EngineDeviceCount>();
    if (answer == nullptr || kind > 1) return CORE_ERR_INVALID;
    const uint32_t entries = codec_count(kind, direction);
    uint64_t count = entries;
    if (usable) {
        count = 0;
        for (uint32_t i = 0; i < entries; ++i) {
            // Both descriptors begin with the direction and the usable word.
            uint32_t words[2];
            if (kind == 0) {
                CoreAudioCodecDesc desc;
                if (core_codec_get_audio(i, direction, &desc) != 0) {
                    count = 0;
                    break;
                }
                std::memcpy(words, &desc, sizeof(words));
            } else {
                CoreVideoCodecDesc desc;
                if (core_codec_get_video(i, direction, &desc) != 0) {
                    count = 0;
                    break;
                }
                std::memcpy(words, &desc, sizeof(words));
            }
            if (words[1] != 0) ++count;
        }
    }
    answer->media = kind;
    answer->reserved = 0;
    answer->count = count;
    return r.answered(CORE_OK, sizeof(*answer));
}

CoreResult codec_get(uint32_t direction, const Request &r)
{
    EngineCodecSelection request;
    if (!r.read(&request)) return CORE_ERR_INVALID;
    auto *answer = r.answer<EngineCodecEntry>();
    if (answer == nullptr) return CORE_ERR_INVALID;
    std::memset(answer, 0, sizeof(*answer));
    answer->index = -1;
    if (request.kind > 1) return CORE_ERR_INVALID;
    if (request.index < 0 || static_cast<uint32_t>(request.index) >= codec_count(request.kind, direction))
        return CORE_ERR_INVALID;
    const int copied = request.kind == 0 ? core_codec_get_audio(request.index, direction, &answer->audio)
                                         : core_codec_get_video(request.index, direction, &answer->video);
    if (copied != 0) {
        std::memset(answer, 0, sizeof(*answer));
        answer->index = -1;
        return CORE_ERR;
    }
    answer->index = request.index;
    return r.answered(CORE_OK, sizeof(*answer));
}

CoreResult codec_select(EngineSession *session, uint32_t direction, const Request &r)
{
    EngineCodecSelection request;
    if (!r.read(&request)) return CORE_ERR_INVALID;
    if (request.kind > 1 || request.index < 0 ||
        static_cast<uint32_t>(request.index) >= codec_count(request.kind, direction))
        return CORE_ERR_INVALID;
    const bool audio = request.kind == 0;
    if (direction == ENGINE_CODEC_LIST_ENCODERS) {
        if (session->lock != nullptr) {
            CoreLockGuard guard(session->lock);
            (audio ? session->params.audioSource : session->params.videoSource).codecIndex = request.index;
        }
        if (EngineMediaProvider *provider = session->provider) {
            CoreLockGuard guard(&provider->lock);
            (audio ? provider->config.audioSource : provider->config.videoSource).codecIndex = request.index;
        }
    } else {
        if (session->lock != nullptr) {
            CoreLockGuard guard(session->lock);
            (audio ? session->params.audioSink : session->params.videoSink).codecIndex = request.index;
        }
        if (EngineDisplay *display = session->display) {
            std::lock_guard<std::mutex> guard(display->lock);
            (audio ? display->config.audioSink : display->config.videoSink).codecIndex = request.index;
        }
    }
    return CORE_OK;
}

CoreResult codec_set(uint32_t direction, const Request &r)
{
    EngineCodecEntry request;
    if (!r.read(&request)) return CORE_ERR_INVALID;
    bool video;
    if (request.audio.direction != 0)
        video = false;
    else if (request.video.direction != 0)
        video = true;
    else
        return CORE_ERR;
    if (request.index < 0 || static_cast<uint32_t>(request.index) >= codec_count(video ? 1 : 0, direction))
        return CORE_ERR_INVALID;
    const int written = video ? core_codec_set_video(request.index, direction, &request.video)
                              : core_codec_set_audio(request.index, direction, &request.audio);
    return written == 0 ? CORE_OK : CORE_ERR;
}

}  // namespace

CoreResult engine_on_device_request(EngineSession *session, uint32_t code, const void *in, uint64_t in_len,
                                    void *out, uint64_t *out_len)
{
    const bool devices = code >= ENGINE_CTL_DEVICES_REFRESH && code <= ENGINE_CTL_VIDEO_PREVIEW_STOP;
    const bool codecs = code >= ENGINE_CTL_ENCODER_COUNT && code <= ENGINE_CTL_SET_DECODER_DESC;
    if (!devices && !codecs) return CORE_NOT_MINE;
    if (code == ENGINE_CTL_UNSUPPORTED || code == ENGINE_CTL_UNSUPPORTED_2) return CORE_ERR_UNSUPPORTED;
    if (session == nullptr) return CORE_ERR;

    const Request r{in, in == nullptr ? 0 : in_len, out, out_len};
    const Registries registries(session);
    switch (code) {
    case ENGINE_CTL_DEVICES_REFRESH: return devices_refresh(session, r);
    case ENGINE_CTL_SOURCE_COUNT:
    case ENGINE_CTL_SOURCE_NAME:
    case ENGINE_CTL_SOURCE_INFO:
    case ENGINE_CTL_SOURCE_SELECTED:
        return device_read(code, registries.audioSources, registries.videoSources, r);
    case ENGINE_CTL_SINK_COUNT:
    case ENGINE_CTL_SINK_NAME:
    case ENGINE_CTL_SINK_INFO:
    case ENGINE_CTL_SINK_SELECTED:
        return device_read(code, registries.audioSinks, registries.videoSinks, r);
    case ENGINE_CTL_SOURCE_SELECTED_ID:
    case ENGINE_CTL_SINK_SELECTED_ID: {
        uint32_t media = 0;
        if (!r.read(&media)) return CORE_ERR_INVALID;
        return selected_id(code == ENGINE_CTL_SOURCE_SELECTED_ID ? registries.source(media) : registries.sink(media),
                           r);
    }
    case ENGINE_CTL_SOURCE_SELECT_INDEX: return select_index(registries, true, r);
    case ENGINE_CTL_SINK_SELECT_INDEX: return select_index(registries, false, r);
    case ENGINE_CTL_SOURCE_SELECT_ID: return select_id(registries, true, r);
    case ENGINE_CTL_SINK_SELECT_ID: return select_id(registries, false, r);
    case ENGINE_CTL_SOURCE_CAPS_COUNT: return caps_count(registries, r);
    case ENGINE_CTL_SOURCE_CAPS_GET: return caps_get(registries, r);
    case ENGINE_CTL_DEVICE_MODE_COUNT: return mode_count(registries, r);
    case ENGINE_CTL_DEVICE_MODE: return mode_at(registries, r);
    case ENGINE_CTL_SET_DEVICE_MODE: return set_mode(registries, r);
    case ENGINE_CTL_DEVICE_CURRENT_MODE: return current_mode(registries, r);
    case ENGINE_CTL_AUDIO_SOURCE_FORMAT: return source_format(registries, 0, r);
    case ENGINE_CTL_VIDEO_SOURCE_MODE: return source_format(registries, 1, r);
    case ENGINE_CTL_ADD_AUDIO_DEVICE: return add_audio(registries, false, r);
    case ENGINE_CTL_ADD_AUDIO_DEVICE_SLOT: return add_audio(registries, true, r);
    case ENGINE_CTL_REMOVE_AUDIO_DEVICE: return remove_device(registries, 0, r);
    case ENGINE_CTL_ADD_VIDEO_DEVICE: return add_video(registries, false, r);
    case ENGINE_CTL_ADD_VIDEO_DEVICE_SLOT: return add_video(registries, true, r);
    case ENGINE_CTL_REMOVE_VIDEO_DEVICE: return remove_device(registries, 1, r);
    case ENGINE_CTL_AUDIO_PREVIEW_START: return preview_start(session, 0, r);
    case ENGINE_CTL_AUDIO_PREVIEW_STOP: return preview_stop(session, 0);
    case ENGINE_CTL_VIDEO_PREVIEW_START: return preview_start(session, 1, r);
    case ENGINE_CTL_VIDEO_PREVIEW_STOP: return preview_stop(session, 1);
    case ENGINE_CTL_ENCODER_COUNT: return codec_list_count(ENGINE_CODEC_LIST_ENCODERS, false, r);
    case ENGINE_CTL_USABLE_ENCODER_COUNT: return codec_list_count(ENGINE_CODEC_LIST_ENCODERS, true, r);
    case ENGINE_CTL_GET_ENCODER_DESC: return codec_get(ENGINE_CODEC_LIST_ENCODERS, r);
    case ENGINE_CTL_SELECT_ENCODER: return codec_select(session, ENGINE_CODEC_LIST_ENCODERS, r);
    case ENGINE_CTL_SET_ENCODER_DESC: return codec_set(ENGINE_CODEC_LIST_ENCODERS, r);
    case ENGINE_CTL_DECODER_COUNT: return codec_list_count(ENGINE_CODEC_LIST_DECODERS, false, r);
    case ENGINE_CTL_USABLE_DECODER_COUNT: return codec_list_count(ENGINE_CODEC_LIST_DECODERS, true, r);
    case ENGINE_CTL_GET_DECODER_DESC: return codec_get(ENGINE_CODEC_LIST_DECODERS, r);
    case ENGINE_CTL_SELECT_DECODER: return codec_select(session, ENGINE_CODEC_LIST_DECODERS, r);
    case ENGINE_CTL_SET_DECODER_DESC: return codec_set(ENGINE_CODEC_LIST_DECODERS, r);
    default: return CORE_NOT_MINE;
    }
}
