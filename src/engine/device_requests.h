// The control requests on devices and codecs: 0x5410 to 0x5432 list,
// select, describe, add and remove the session's capture and playback
// devices and run the two capture-only preview pipelines; 0x543D to 0x5446
// count, describe, select and replace the entries of the four codec lists.
//
// engine_on_device_request is called by the control service for every
// request code and answers CORE_NOT_MINE for the codes that are not these.
// It runs on the caller's thread (the interface's threads, an
// application's feeding thread) and posts no event. The session supplies
// the registries (the provider's sources, the display's sinks), the two
// preview handles and its copies of the four device slots; each of those
// locks itself, and no lock is held across a call into the framework.
//
// Every request carries raw buffers with their lengths: an input shorter
// than the record the request reads, an output (or output length) missing
// or shorter than the answer, and a device or codec index from outside the
// range it names answer CORE_ERR_INVALID (-91) before anything is changed
// or written. Beyond that: CORE_OK (0); CORE_ERR (-100) for a bad media or
// target word, a missing session part, registry or list, a device not
// found, a failing node operation or pipeline; CORE_ERR_UNSUPPORTED (-85)
// for 0x5421 and 0x5422. A request with an answer sets *out_len to the
// answer's size on success; otherwise *out_len is left as it was.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/codec_desc.h"
#include "core/names.h"
#include "core/result.h"
#include "engine/devices.h"

struct EngineSession;

// ENGINE_CTL_DEVICES_REFRESH.
struct EngineDevicesRefresh {
    uint32_t media;      // 0 audio, 1 video
    uint32_t direction;  // 0 sources, 1 sinks
};
static_assert(sizeof(EngineDevicesRefresh) == 8, "refresh request travels as 8 raw bytes");

// Answer of the selected-id requests, and the request that selects by id
// or names a source by id (mode count, current mode, format and mode).
struct EngineDeviceSelection {
    uint32_t media;
    CoreName id;
};
static_assert(sizeof(EngineDeviceSelection) == 140 && offsetof(EngineDeviceSelection, id) == 4,
              "selection record travels as 140 raw bytes");

// ENGINE_CTL_SOURCE_CAPS_GET.
struct EngineCapsEntryRequest {
    uint32_t media;
    int32_t index;
    uint32_t entry;
};
static_assert(sizeof(EngineCapsEntryRequest) == 12 && offsetof(EngineCapsEntryRequest, entry) == 8,
              "capability entry request travels as 12 raw bytes");

#define ENGINE_CAPS_ENTRY_SIZE 1024

struct EngineCapsEntry {
    uint32_t media;
    uint32_t reserved0;
    uint32_t value;
    uint32_t reserved1;
    uint64_t length;
    uint8_t data[ENGINE_CAPS_ENTRY_SIZE];
};
static_assert(sizeof(EngineCapsEntry) == 1048 && offsetof(EngineCapsEntry, value) == 8 &&
                  offsetof(EngineCapsEntry, length) == 16 && offsetof(EngineCapsEntry, data) == 24,
              "capability entry answer travels as 1048 raw bytes");

#define ENGINE_DEVICE_VALUE_AREA 1028

// A device mode or current-mode block by id. For a video device the first
// 16 bytes of the value are a CoreVideoMode.
struct EngineDeviceProperty {
    uint32_t media;
    CoreName id;
    uint8_t value[ENGINE_DEVICE_VALUE_AREA];
    uint64_t valueLength;
};
static_assert(sizeof(EngineDeviceProperty) == 1176 && offsetof(EngineDeviceProperty, id) == 4 &&
                  offsetof(EngineDeviceProperty, value) == 140 && offsetof(EngineDeviceProperty, valueLength) == 1168,
              "device property travels as 1176 raw bytes");

// ENGINE_CTL_DEVICE_MODE.
struct EngineDeviceModeRequest {
    uint32_t media;
    uint32_t modeIndex;
    CoreName id;
};
static_assert(sizeof(EngineDeviceModeRequest) == 144 && offsetof(EngineDeviceModeRequest, id) == 8,
              "mode request travels as 144 raw bytes");

// ENGINE_CTL_REMOVE_AUDIO_DEVICE / ENGINE_CTL_REMOVE_VIDEO_DEVICE.
struct EngineDeviceRemoval {
    uint32_t target;  // ENGINE_APP_TARGET_*
    uint8_t reserved[8];
    CoreName id;
};
static_assert(sizeof(EngineDeviceRemoval) == 148 && offsetof(EngineDeviceRemoval, id) == 12,
              "removal request travels as 148 raw bytes");

// ENGINE_CTL_AUDIO_PREVIEW_START / ENGINE_CTL_VIDEO_PREVIEW_START.
struct EnginePreviewRequest {
    uint8_t reserved[12];
    CoreName id;
};
static_assert(sizeof(EnginePreviewRequest) == 148 && offsetof(EnginePreviewRequest, id) == 12,
              "preview request travels as 148 raw bytes");

// ENGINE_CTL_GET/SELECT_ENCODER/DECODER_DESC.
struct EngineCodecSelection {
    uint32_t kind;  // 0 audio, 1 video
    int32_t index;
};
static_assert(sizeof(EngineCodecSelection) == 8, "codec selection travels as 8 raw bytes");

// One codec list entry, audio or video half; a half whose direction word
// is 0 carries nothing.
struct EngineCodecEntry {
    int32_t index;
    uint32_t reserved;
    CoreAudioCodecDesc audio;
    CoreVideoCodecDesc video;
};
static_assert(sizeof(CoreAudioCodecDesc) == 888, "audio codec descriptor is 888 bytes");
static_assert(sizeof(EngineCodecEntry) == 1808 && offsetof(EngineCodecEntry, audio) == 8 &&
                  offsetof(EngineCodecEntry, video) == 896,
              "codec entry travels as 1808 raw bytes");

// Control requests of devices, sources and codec lists, answered for the
// control service. CORE_NOT_MINE for any other code.
CoreResult engine_on_device_request(EngineSession *session, uint32_t code, const void *in, uint64_t in_len,
                                    void *out, uint64_t *out_len);
