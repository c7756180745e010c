#include "services/catalogue.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/notify.h"
#include "engine/codes.h"
#include "engine/device_requests.h"
#include "engine/node.h"
#include "engine/session.h"
#include "services/media.h"

namespace {

// The format of a source by id (0x5427 audio, 0x5428 video): `size` bytes
// into `out`, which stays all zero when the engine node is gone or the
// request fails.
void read_source_format(uint32_t code, uint32_t media, const PkXID &id, void *out, uint64_t size)
{
    memset(out, 0, size);
    if (engine_node_running() == nullptr) return;
    CoreName channel;
    core_name_format(&channel, "%s", ENGINE_CONTROL_SERVICE);
    EngineDeviceSelection request;
    memset(&request, 0, sizeof(request));
    request.media = media;
    memcpy(request.id.key, id.key, sizeof(request.id.key));
    core_name_make(&request.id);
    uint64_t answerLength = size;
    if (core_notify(&channel, code, &request, sizeof(request), out, &answerLength) < 0 || answerLength < size)
        memset(out, 0, size);
}

}  // namespace

int32_t PkDeviceCatalog::refresh()
{
    // Both counts before anything else: the lists are then read against
    // one picture of the registries, and a device that goes away meanwhile
    // shows as an empty name.
    // Indices travel as i32: a count beyond that cannot be walked.
    const uint64_t audioCount = std::min<uint64_t>(pk_media_device_count(PK_MEDIA_AUDIO), INT32_MAX);
    const uint64_t videoCount = std::min<uint64_t>(pk_media_device_count(PK_MEDIA_VIDEO), INT32_MAX);
    clear();

    for (uint64_t i = 0; i < audioCount; ++i) {
        PkAudioDevice device;
        device.name = pk_media_device_name(PK_MEDIA_AUDIO, static_cast<int32_t>(i));
        if (device.name.empty()) return -1;
        device.id = pk_media_device_id(PK_MEDIA_AUDIO, static_cast<int32_t>(i));
        read_source_format(ENGINE_CTL_AUDIO_SOURCE_FORMAT, PK_MEDIA_AUDIO, device.id, &device.format,
                           sizeof(device.format));
        audioDeviceList.push_back(std::move(device));
    }
    for (uint64_t j = 0; j < videoCount; ++j) {
        PkVideoDevice device;
        device.name = pk_media_device_name(PK_MEDIA_VIDEO, static_cast<int32_t>(j));
        if (device.name.empty()) return -1;
        device.id = pk_media_device_id(PK_MEDIA_VIDEO, static_cast<int32_t>(j));
        read_source_format(ENGINE_CTL_VIDEO_SOURCE_MODE, PK_MEDIA_VIDEO, device.id, &device.captureMode,
                           sizeof(device.captureMode));
        const uint64_t modes = std::min<uint64_t>(pk_media_device_property_count(device.id), UINT32_MAX);
        for (uint64_t k = 0; k < modes; ++k)
            device.modes.push_back(pk_media_device_property(device.id, static_cast<uint32_t>(k)));
        videoDeviceList.push_back(std::move(device));
    }
    return 0;
}

void PkDeviceCatalog::clear()
{
    // swap with empty vectors: clear() alone would keep the memory.
    std::vector<PkVideoDevice>().swap(videoDeviceList);
    std::vector<PkAudioDevice>().swap(audioDeviceList);
}
