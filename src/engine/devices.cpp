#include "engine/devices.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/handle.h"
#include "core/queue.h"
#include "core/store.h"
#include "core/sync.h"
#include "engine/binder.h"

namespace {

CoreHandleTable *devices_table() { return core_handle_tables[CORE_HANDLES_DEVICES]; }

// media (or target) 0 takes the first registry, 1 the second.
RavkDeviceList *pick(RavkDeviceList *first, RavkDeviceList *second, uint32_t which)
{
    return which == 0 ? first : which == 1 ? second : nullptr;
}

bool is_none(const CoreName &id) { return core_name_cmp_str(id.key, NONE_ID) == 0; }

// The handle at `index` of the registry's array, read under its lock; 0
// when the array is missing or the index outside it.
uint64_t handle_at(RavkDeviceList *list, int32_t index)
{
    CoreLockGuard guard(&list->lock);
    if (list->devices == nullptr || index < 0 || static_cast<uint64_t>(index) >= list->count) return 0;
    return list->devices[index];
}

// A device node held for the length of one operation. The registry's
// reference may go meanwhile (a removal on another thread); ours keeps the
// node, and its first descriptor, alive.
class DeviceNode {
public:
    explicit DeviceNode(uint64_t handle) : handle_(handle)
    {
        if (handle_ != 0 && devices_table() != nullptr)
            node_ = static_cast<RavkDeviceNode *>(core_handle_acquire(devices_table(), handle_));
    }
    ~DeviceNode()
    {
        if (node_ != nullptr) core_handle_release(devices_table(), handle_);
    }
    DeviceNode(const DeviceNode &) = delete;
    DeviceNode &operator=(const DeviceNode &) = delete;

    bool ok() const { return node_ != nullptr && desc() != nullptr; }
    const RavkSourceOps &ops() const { return node_->ops; }
    RavkSourceDescriptor *desc() const { return ravk_device_node_desc(node_, 0); }

    // A property (descriptor attribute) of exactly `size` bytes: a shorter
    // value would leave part of `out` stale, so it counts as missing.
    bool property(uint32_t code, void *out, uint64_t size) const
    {
        if (!ok() || ops().get_attribute == nullptr) return false;
        uint8_t value[64] = {};
        if (size > sizeof(value) || ops().get_attribute(desc(), code, value, size) != 0) return false;
        std::memcpy(out, value, size);
        return true;
    }

    bool name(CoreBuffer *out) const { return ok() && ops().get_name != nullptr && ops().get_name(desc(), out) == 0; }

private:
    uint64_t handle_;
    RavkDeviceNode *node_ = nullptr;
};

// The selected device of a registry: CORE_OK with its handle; CORE_DONE
// when none is selected or the selected one is gone; CORE_ERR when the
// registry cannot tell.
CoreResult selected_device(RavkDeviceList *list, uint64_t *handle)
{
    *handle = 0;
    CoreName id;
    if (ravk_device_list_get_selected(list, &id) != 0) return CORE_ERR;
    if (is_none(id)) return CORE_DONE;
    *handle = ravk_device_list_find(list, &id, 0);
    return *handle != 0 ? CORE_OK : CORE_DONE;
}

// The current-mode block of a device, when it holds something: an empty
// block reads as all zero and is no mode at all.
template <typename Value>
bool current_block(uint64_t handle, Value *out)
{
    Value value;
    std::memset(&value, 0, sizeof(value));
    if (ravk_device_get_info(handle, &value, sizeof(value)) != 0) return false;
    static const Value zero = {};
    if (std::memcmp(&value, &zero, sizeof(value)) == 0) return false;
    *out = value;
    return true;
}


void set_text(RavkDeviceText *out, const EngineAppSourceText &in)
{
    const uint64_t length = std::min<uint64_t>(in.length, ENGINE_DEVICE_TEXT_SIZE);
    ravk_device_text_set(out, in.tag, in.text, length);
}

template <typename Source>
void record_head(RavkDeviceRecord *out, const Source &in)
{
    ravk_device_record_init(out);
    std::memset(&out->tail, 0, sizeof(out->tail));
    out->number = in.deviceIndex;
    out->id = in.deviceId;
    core_name_make(&out->id);
    out->block_size = in.size;
    out->format_code = in.formatCode;
    set_text(&out->name, in.name);
    set_text(&out->path, in.description);
    out->flags = in.flags;
    out->backend = static_cast<int32_t>(in.backend);
}

template <typename Source, typename Convert>
CoreResult add_source(RavkDeviceList *first, RavkDeviceList *second, const Source *source, bool newNode,
                      Convert convert,
                      int (*add)(RavkDeviceList *, int, int, const RavkDeviceRecord *))
{
    if (source == nullptr) return CORE_ERR;
    RavkDeviceList *list = pick(first, second, source->target);
    if (list == nullptr) return CORE_ERR;
    RavkDeviceRecord record;
    convert(&record, source);
    return add(list, newNode ? 1 : 0, newNode ? 0 : 1, &record) == 0 ? CORE_OK : CORE_ERR;
}

// Property tags of the video modes a peer's plain stream record carries.
constexpr uint16_t kReceiveModeTag = 0x1000;
constexpr uint16_t kSendModeTag = 0x1400;

uint32_t roles_of(EngineBinderTable *table, bool send)
{
    CoreLockGuard guard(&table->lock);
    return send ? table->sendRoles : table->receiveRoles;
}

}  // namespace

// ---- device requests ------------------------------------------------------------

CoreResult engine_device_count(RavkDeviceList *audio, RavkDeviceList *video, const EngineDeviceRequest *request,
                               EngineDeviceCount *reply)
{
    if (request == nullptr || reply == nullptr) return CORE_ERR;
    RavkDeviceList *list = pick(audio, video, request->media);
    if (list == nullptr) return CORE_ERR;
    reply->media = request->media;
    reply->reserved = 0;
    CoreLockGuard guard(&list->lock);
    reply->count = list->devices != nullptr ? list->count : 0;
    return CORE_OK;
}

CoreResult engine_device_name(RavkDeviceList *audio, RavkDeviceList *video, const EngineDeviceRequest *request,
                              EngineDeviceName *reply)
{
    if (request == nullptr || reply == nullptr) return CORE_ERR;
    RavkDeviceList *list = pick(audio, video, request->media);
    if (list == nullptr) return CORE_ERR;
    DeviceNode node(handle_at(list, request->index));
    CoreBuffer buffer{};
    buffer.capacity = ENGINE_DEVICE_TEXT_SIZE;
    buffer.data = reinterpret_cast<uint8_t *>(reply->text);
    if (!node.name(&buffer)) return CORE_ERR;
    reply->media = request->media;
    reply->reserved0 = 0;
    reply->tag = buffer.tag;
    reply->reserved1 = 0;
    reply->length = std::min<uint64_t>(buffer.length, ENGINE_DEVICE_TEXT_SIZE);
    return CORE_OK;
}

CoreResult engine_device_info(RavkDeviceList *audio, RavkDeviceList *video, const EngineDeviceRequest *request,
                              EngineDeviceInfo *reply)
{
    if (request == nullptr || reply == nullptr) return CORE_ERR;
    RavkDeviceList *list = pick(audio, video, request->media);
    if (list == nullptr) return CORE_ERR;
    DeviceNode node(handle_at(list, request->index));
    if (!node.ok() || node.ops().get_id == nullptr) return CORE_ERR;
    reply->media = request->media;
    return node.ops().get_id(node.desc(), &reply->id) == 0 ? CORE_OK : CORE_ERR;
}

CoreResult engine_device_selected(RavkDeviceList *audio, RavkDeviceList *video, const EngineDeviceRequest *request,
                                  EngineDeviceSelected *reply)
{
    if (request == nullptr || reply == nullptr) return CORE_ERR;
    RavkDeviceList *list = pick(audio, video, request->media);
    if (list == nullptr) return CORE_ERR;
    reply->media = request->media;
    CoreLockGuard guard(&list->lock);
    if (list->devices == nullptr) return CORE_ERR;
    reply->index = engine_device_selected_index(list);
    return CORE_OK;
}

CoreResult engine_device_select_index(RavkDeviceList *list, int32_t index)
{
    if (list == nullptr) return CORE_ERR;
    // Under the registry's lock: the count checked is the count the index
    // is stored against.
    CoreLockGuard guard(&list->lock);
    if (list->devices == nullptr || index < -1 || (index >= 0 && static_cast<uint64_t>(index) >= list->count))
        return CORE_ERR;
    list->selected_index.store(index);
    return CORE_OK;
}

int32_t engine_device_selected_index(RavkDeviceList *list)
{
    return list != nullptr ? list->selected_index.load() : -1;
}

// ---- application-fed sources ------------------------------------------------------

RavkDeviceRecord *engine_app_audio_record(RavkDeviceRecord *out, const EngineAppAudioSource *source)
{
    if (out == nullptr || source == nullptr) return out;
    record_head(out, *source);
    static_assert(sizeof(out->tail.audio.format) == sizeof(source->format), "the two audio formats have one layout");
    std::memcpy(&out->tail.audio.format, &source->format, sizeof(source->format));
    out->tail.audio.index = -1;
    return out;
}

RavkDeviceRecord *engine_app_video_record(RavkDeviceRecord *out, const EngineAppVideoSource *source)
{
    if (out == nullptr || source == nullptr) return out;
    record_head(out, *source);
    out->tail.app_video.mode = source->mode1;
    out->tail.app_video.mode_a = source->mode2;
    out->tail.app_video.mode_b = source->mode3;
    return out;
}

CoreResult engine_audio_device_add(RavkDeviceList *first, RavkDeviceList *second, const EngineAppAudioSource *source)
{
    return add_source(first, second, source, true, engine_app_audio_record, ravk_device_list_add_virtual_audio);
}

CoreResult engine_video_device_add(RavkDeviceList *first, RavkDeviceList *second, const EngineAppVideoSource *source)
{
    return add_source(first, second, source, true, engine_app_video_record, ravk_device_list_add_virtual_video);
}

CoreResult engine_audio_device_add_slot(RavkDeviceList *first, RavkDeviceList *second,
                                        const EngineAppAudioSource *source)
{
    return add_source(first, second, source, false, engine_app_audio_record, ravk_device_list_add_virtual_audio);
}

CoreResult engine_video_device_add_slot(RavkDeviceList *first, RavkDeviceList *second,
                                        const EngineAppVideoSource *source)
{
    return add_source(first, second, source, false, engine_app_video_record, ravk_device_list_add_virtual_video);
}

// ---- codec selection --------------------------------------------------------------

RavkMediaFlags engine_codec_selection_to_ravk(uint32_t selection)
{
    static const uint32_t kAudio[] = {RAVK_AUDIO_RAW,    RAVK_AUDIO_ALAW, RAVK_AUDIO_MULAW,
                                      RAVK_AUDIO_VORBIS, RAVK_AUDIO_OPUS, RAVK_AUDIO_AAC};
    static const uint32_t kVideo[] = {RAVK_VIDEO_RAW, RAVK_VIDEO_H264,  RAVK_VIDEO_H265,   RAVK_VIDEO_VP8,
                                      RAVK_VIDEO_VP9, RAVK_VIDEO_MJPEG, RAVK_VIDEO_THEORA, RAVK_VIDEO_AV1};
    static const uint32_t kContainer[] = {RAVK_CONTAINER_MPEGTS, RAVK_CONTAINER_FLV, RAVK_CONTAINER_MATROSKA,
                                          RAVK_CONTAINER_WEBM};
    auto map = [](const uint32_t *table, uint32_t count, uint32_t index) { return index < count ? table[index] : 0u; };
    RavkMediaFlags flags = 0;
    if (selection & ENGINE_MEDIA_AUDIO) flags = map(kAudio, 6, (selection >> 8) & 0xFF) << 8 | RAVK_MEDIA_AUDIO;
    if (selection & ENGINE_MEDIA_VIDEO) flags |= map(kVideo, 8, (selection >> 16) & 0xFF) << 16 | RAVK_MEDIA_VIDEO;
    if (selection & ENGINE_MEDIA_COMBINED) flags |= map(kContainer, 4, selection >> 24) << 24 | RAVK_MEDIA_MUXED;
    return flags;
}

// ---- reads for a negotiation ------------------------------------------------------

CoreResult engine_device_read_audio_source(RavkDeviceList *sources, EngineLocalCaps *caps)
{
    if (sources == nullptr || caps == nullptr) return CORE_ERR;
    uint64_t handle;
    const CoreResult selected = selected_device(sources, &handle);
    if (selected != CORE_OK) return selected;
    EngineAudioFormat format;
    if (!DeviceNode(handle).property(ENGINE_DEVICE_PROP_AUDIO_FORMAT, &format, sizeof(format))) return CORE_ERR;
    caps->sendAudioFormat = format;
    if (!current_block(handle, &caps->sourceAudioFormat) || caps->sourceAudioFormat.rate == 0)
        caps->sourceAudioFormat = format;
    caps->audioSend = 1;
    return CORE_OK;
}

CoreResult engine_device_read_video_source(RavkDeviceList *sources, EngineLocalCaps *caps)
{
    if (sources == nullptr || caps == nullptr) return CORE_ERR;
    uint64_t handle;
    const CoreResult selected = selected_device(sources, &handle);
    if (selected != CORE_OK) return selected;
    {
        DeviceNode node(handle);
        // Not every source has these two; a missing one leaves its field.
        node.property(ENGINE_DEVICE_PROP_DISPLAY_MODE, &caps->displayVideoMode, sizeof(CoreVideoMode));
        node.property(ENGINE_DEVICE_PROP_REFERENCE_MODE, &caps->referenceVideoMode, sizeof(CoreVideoMode));
        if (!node.property(ENGINE_DEVICE_PROP_CAPTURE_MODE, &caps->sendVideoMode, sizeof(CoreVideoMode)) ||
            !node.property(ENGINE_DEVICE_PROP_SCALE, &caps->videoScale, sizeof(double)))
            return CORE_ERR;
    }
    // A scale that is not a positive number would make the conversion
    // below undefined; such a source is taken unscaled.
    const double scale = caps->videoScale;
    if (scale != 0.0 && std::isfinite(scale) && scale > 0.0) {
        auto scaled = [scale](uint32_t v) {
            const double s = std::trunc(static_cast<double>(v) * scale);
            return s >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(s);
        };
        caps->sendVideoMode.width = scaled(caps->sendVideoMode.width);
        caps->sendVideoMode.height = scaled(caps->sendVideoMode.height);
    }
    if (!current_block(handle, &caps->nativeVideoMode)) caps->nativeVideoMode = caps->sendVideoMode;
    caps->videoSend = 1;
    return CORE_OK;
}

CoreResult engine_device_read_sinks(EngineBinderTable *table, RavkDeviceList *audioSinks, RavkDeviceList *videoSinks,
                                    uint32_t direction, uint32_t receiveRoles, int32_t audioCodecIndex,
                                    int32_t videoCodecIndex, EngineLocalCaps *caps)
{
    if (table == nullptr || caps == nullptr) return CORE_ERR;
    caps->receiveRoles = receiveRoles;
    if ((direction & roles_of(table, false)) == 0) return CORE_OK;

    bool audioRead = false;
    uint64_t handle;
    if (audioSinks != nullptr) {
        const CoreResult selected = selected_device(audioSinks, &handle);
        if (selected == CORE_ERR) return CORE_ERR;
        if (selected == CORE_OK) {
            if (!DeviceNode(handle).property(ENGINE_DEVICE_PROP_AUDIO_FORMAT, &caps->receiveAudioFormat,
                                             sizeof(EngineAudioFormat)))
                return CORE_ERR;
            caps->audioReceive = 1;
            caps->audioDecoderIndex = audioCodecIndex;
            audioRead = true;
        }
    }
    if (videoSinks != nullptr) {
        const CoreResult selected = selected_device(videoSinks, &handle);
        if (selected == CORE_ERR) return CORE_ERR;
        if (selected == CORE_OK) {
            if (!DeviceNode(handle).property(ENGINE_DEVICE_PROP_CAPTURE_MODE, &caps->receiveVideoMode,
                                             sizeof(CoreVideoMode)))
                return CORE_ERR;
            caps->videoReceive = 1;
            caps->videoDecoderIndex = videoCodecIndex;
            return CORE_OK;
        }
    }
    return audioRead ? CORE_OK : CORE_ERR;
}

CoreResult engine_binder_source_name(EngineBinderTable *table, RavkDeviceList *audioSources,
                                     RavkDeviceList *videoSources, uint32_t direction,
                                     char sourceName[ENGINE_SOURCE_NAME_SIZE])
{
    if (sourceName == nullptr) return CORE_ERR;
    std::memset(sourceName, 0, ENGINE_SOURCE_NAME_SIZE);
    if (table == nullptr) return CORE_ERR;
    if ((direction & roles_of(table, true)) == 0) return CORE_OK;

    bool named = false;
    for (RavkDeviceList *list : {audioSources, videoSources}) {
        if (list == nullptr) continue;
        uint64_t handle;
        const CoreResult selected = selected_device(list, &handle);
        if (selected == CORE_ERR) return CORE_ERR;
        if (selected != CORE_OK) continue;
        // The bind record's readers take the name for a terminated text:
        // the last byte stays zero.
        CoreBuffer buffer{};
        buffer.tag = 1;
        buffer.capacity = ENGINE_SOURCE_NAME_SIZE - 1;
        buffer.data = reinterpret_cast<uint8_t *>(sourceName);
        if (!DeviceNode(handle).name(&buffer)) return CORE_ERR;
        named = true;
    }
    return named ? CORE_OK : CORE_ERR;
}

// ---- binder-channel stores ----------------------------------------------------------

CoreResult engine_binder_store_video_modes(EngineBinderTable *table, const EngineMediaDesc *desc,
                                           const EngineStreamSet *set)
{
    if (table == nullptr || desc == nullptr || set == nullptr || set->count > ENGINE_STREAM_RECORDS_MAX) return CORE_OK;
    EngineBinderChannelAccess writer(table, desc->channel.key);
    EngineBinderChannel *channel = writer.get();
    if (channel == nullptr) return CORE_OK;
    for (uint64_t i = 0; i < set->count; ++i) {
        const EngineStreamRecord &record = set->records[i];
        if (record.mediaFlags & ENGINE_MEDIA_CODEC_RECORD) continue;
        uint32_t v[4];
        if (engine_props_get4(v, &record.props, kSendModeTag))
            channel->sentVideo.mode1 = {v[0], v[1], v[2], v[3]};
        if (engine_props_get4(v, &record.props, kReceiveModeTag))
            channel->receivedVideo.mode1 = {v[0], v[1], v[2], v[3]};
    }
    return CORE_OK;
}

CoreResult engine_binder_store_media_modes(EngineBinderTable *table, const EngineMediaDesc *desc)
{
    EngineCapability *capability = engine_capability_current();
    if (table == nullptr || desc == nullptr || capability == nullptr) return CORE_OK;
    // Read the slots first: the capability's lock and the table's are
    // never held together.
    EngineAudioFormat audio[2];
    CoreVideoMode video[2];
    const uint64_t audioSizes[2] = {
        engine_capability_slot_read(capability, ENGINE_SLOT_AUDIO_SEND, &audio[0], sizeof(audio[0])),
        engine_capability_slot_read(capability, ENGINE_SLOT_AUDIO_RECEIVE, &audio[1], sizeof(audio[1]))};
    const uint64_t videoSizes[2] = {
        engine_capability_slot_read(capability, ENGINE_SLOT_VIDEO_SEND, &video[0], sizeof(video[0])),
        engine_capability_slot_read(capability, ENGINE_SLOT_VIDEO_RECEIVE, &video[1], sizeof(video[1]))};
    auto fits = [](uint64_t size, uint64_t field) { return size != 0 && size <= field; };

    EngineBinderChannelAccess writer(table, desc->channel.key);
    EngineBinderChannel *channel = writer.get();
    if (channel == nullptr) return CORE_OK;
    if (fits(audioSizes[0], sizeof(audio[0]))) channel->sentAudio.format2 = audio[0];
    if (fits(audioSizes[1], sizeof(audio[1]))) channel->receivedAudio.format2 = audio[1];
    if (fits(videoSizes[0], sizeof(video[0]))) channel->sentVideo.mode2 = video[0];
    if (fits(videoSizes[1], sizeof(video[1]))) channel->receivedVideo.mode2 = video[1];
    return CORE_OK;
}
