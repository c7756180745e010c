// Device operations: the engine's small reads and writes on the four device
// registries of a session (the media provider's audio and video sources,
// the display controller's audio and video sinks), the application-fed
// source records with which an application or the codec evaluation adds a
// source it feeds itself, and the translation of the engine's codec
// selection word into the framework's media flags.
//
// The registries and their device nodes belong to the multimedia framework:
// a registry's lock guards its handle array and selected id only, and a
// node is used between core_handle_acquire and core_handle_release after
// that lock is let go. Nothing here holds a lock across a node operation.
// Each registry also keeps the interface's selected index (see
// engine_device_select_index); this module keeps no state of its own.
//
// Threads: the control service's callers (the interface's threads, an
// application's feeding thread), the negotiation and connection start on
// the command topic's consumer, the evaluation driver, and the provider and
// display code on any thread (engine_codec_selection_to_ravk is pure).
//
// Results: CORE_OK (0) done; CORE_DONE (1) where a read found no selected
// device; CORE_ERR (-100) for a bad media or target word, a missing
// registry, an index outside the device array, a node that cannot be
// acquired or an operation of the node that fails. Where a reply record is
// written, only the fields named are written, and `media` first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/names.h"
#include "core/result.h"
#include "core/video.h"
#include "engine/capability.h"
#include "engine/props.h"
#include "engine/records.h"
#include "ravelkit/devices.h"
#include "ravelkit/elements.h"

struct EngineBinderTable;

// Text area of a device name answer and of an application-fed source's
// two text blocks.
#define ENGINE_DEVICE_TEXT_SIZE 1024

// Device node property codes (the attributes of the framework's source
// descriptors).
enum : uint32_t {
    ENGINE_DEVICE_PROP_AUDIO_FORMAT = 0x2000,  // EngineAudioFormat
    ENGINE_DEVICE_PROP_REFERENCE_MODE = 0x4000,  // CoreVideoMode
    ENGINE_DEVICE_PROP_DISPLAY_MODE = 0x4001,    // CoreVideoMode
    ENGINE_DEVICE_PROP_CAPTURE_MODE = 0x4002,    // CoreVideoMode
    ENGINE_DEVICE_PROP_SCALE = 0x4003,           // double
};

// The data of the device requests 0x5411 to 0x5414 and 0x5419 to 0x541B.
// The count and selected requests read `media` alone.
struct EngineDeviceRequest {
    uint32_t media;  // 0 audio, 1 video
    int32_t index;   // device index in the registry
};
static_assert(sizeof(EngineDeviceRequest) == 8 && offsetof(EngineDeviceRequest, index) == 4,
              "device request travels as 8 raw bytes");

// Answer of the count requests (and of the codec list counts).
struct EngineDeviceCount {
    uint32_t media;
    uint32_t reserved;  // zero
    uint64_t count;
};
static_assert(sizeof(EngineDeviceCount) == 16 && offsetof(EngineDeviceCount, count) == 8,
              "count answer travels as 16 raw bytes");

// Answer of the name requests. The text is not terminated.
struct EngineDeviceName {
    uint32_t media;
    uint32_t reserved0;
    uint32_t tag;  // 2 UTF-16 text, otherwise 8-bit text
    uint32_t reserved1;
    uint64_t length;  // bytes of text, at most ENGINE_DEVICE_TEXT_SIZE
    char text[ENGINE_DEVICE_TEXT_SIZE];
};
static_assert(sizeof(EngineDeviceName) == 1048 && offsetof(EngineDeviceName, tag) == 8 &&
                  offsetof(EngineDeviceName, length) == 16 && offsetof(EngineDeviceName, text) == 24,
              "name answer travels as 1048 raw bytes");

// Answer of the information requests: a device's information record is
// its id.
struct EngineDeviceInfo {
    uint32_t media;
    CoreName id;
};
static_assert(sizeof(EngineDeviceInfo) == 140 && offsetof(EngineDeviceInfo, id) == 4,
              "information answer travels as 140 raw bytes");

// Answer of the selected requests.
struct EngineDeviceSelected {
    uint32_t media;
    int32_t index;  // -1 none
};
static_assert(sizeof(EngineDeviceSelected) == 8, "selected answer travels as 8 raw bytes");

// A text block of an application-fed source record.
struct EngineAppSourceText {
    uint32_t tag;       // the text's CoreBuffer tag
    uint32_t reserved;  // zero
    uint64_t length;    // bytes of text; more than ENGINE_DEVICE_TEXT_SIZE is cut
    char text[ENGINE_DEVICE_TEXT_SIZE];
};
static_assert(sizeof(EngineAppSourceText) == 1040 && offsetof(EngineAppSourceText, text) == 16,
              "application-fed source text block is 1040 bytes");

// Values of an application-fed source record's `target`: which of the two
// registries given to an add takes the source.
enum : uint32_t {
    ENGINE_APP_TARGET_FIRST = 0,   // the source registry for the control requests
    ENGINE_APP_TARGET_SECOND = 1,  // the sink registry for the control requests
};

// The data of ENGINE_CTL_ADD_AUDIO_DEVICE(_SLOT), of the evaluation's
// generated audio and of ENGINE_EVT_AUDIO_SOURCE_INFO.
struct EngineAppAudioSource {
    uint32_t target;  // ENGINE_APP_TARGET_*
    uint32_t reserved0;
    // From here on the framework's application-fed source description.
    int32_t deviceIndex;  // -1
    CoreName deviceId;
    uint32_t reserved1;
    uint64_t size;        // audio: bytes per second; video: bytes per frame; 0 unknown
    uint32_t formatCode;  // FourCC of the samples or pixels the application feeds
    uint32_t reserved2;
    EngineAppSourceText name;
    EngineAppSourceText description;
    uint32_t flags;  // RAVK_DEVICE_NO_TIMESTAMP (1): the source does not stamp pushed buffers
    uint32_t reserved3;
    uint32_t backend;  // the framework's source backend; 1 its own application source
    EngineAudioFormat format;
};
static_assert(sizeof(EngineAppAudioSource) == 2272, "application-fed audio source travels as 2272 raw bytes");
static_assert(offsetof(EngineAppAudioSource, deviceIndex) == 8 && offsetof(EngineAppAudioSource, deviceId) == 12 &&
                  offsetof(EngineAppAudioSource, size) == 152 && offsetof(EngineAppAudioSource, formatCode) == 160 &&
                  offsetof(EngineAppAudioSource, name) == 168 &&
                  offsetof(EngineAppAudioSource, description) == 1208 &&
                  offsetof(EngineAppAudioSource, flags) == 2248 && offsetof(EngineAppAudioSource, backend) == 2256 &&
                  offsetof(EngineAppAudioSource, format) == 2260,
              "application-fed audio source field offsets");

// The data of ENGINE_CTL_ADD_VIDEO_DEVICE(_SLOT), of the evaluation's
// generated video and of ENGINE_EVT_VIDEO_SOURCE_INFO.
struct EngineAppVideoSource {
    uint32_t target;  // ENGINE_APP_TARGET_*
    uint32_t reserved0;
    // From here on the framework's application-fed source description.
    int32_t deviceIndex;  // -1
    CoreName deviceId;
    uint32_t reserved1;
    uint64_t size;        // audio: bytes per second; video: bytes per frame; 0 unknown
    uint32_t formatCode;  // FourCC of the samples or pixels the application feeds
    uint32_t reserved2;
    EngineAppSourceText name;
    EngineAppSourceText description;
    uint32_t flags;  // RAVK_DEVICE_NO_TIMESTAMP (1): the source does not stamp pushed buffers
    uint32_t reserved3;
    uint32_t backend;  // the framework's source backend; 1 its own application source
    CoreVideoMode mode1;  // the capture mode
    uint32_t reserved4;
    CoreVideoMode mode2;  // the reference mode
    CoreVideoMode mode3;  // the display mode
};
static_assert(sizeof(EngineAppVideoSource) == 2312, "application-fed video source travels as 2312 raw bytes");
static_assert(offsetof(EngineAppVideoSource, backend) == 2256 && offsetof(EngineAppVideoSource, mode1) == 2260 &&
                  offsetof(EngineAppVideoSource, mode2) == 2280 && offsetof(EngineAppVideoSource, mode3) == 2296,
              "application-fed video source field offsets");

// ---- device requests ------------------------------------------------------------

// `media` 0 takes the audio registry, 1 the video registry. The count
// writes `media` and the number of devices (0 without a device array).
CoreResult engine_device_count(RavkDeviceList *audio, RavkDeviceList *video, const EngineDeviceRequest *request,
                               EngineDeviceCount *reply);
// The name of the device at `index`: tag, length and up to 1024 bytes of
// text; `media` is written only on success.
CoreResult engine_device_name(RavkDeviceList *audio, RavkDeviceList *video, const EngineDeviceRequest *request,
                              EngineDeviceName *reply);
// `media`, then the id of the device at `index`.
CoreResult engine_device_info(RavkDeviceList *audio, RavkDeviceList *video, const EngineDeviceRequest *request,
                              EngineDeviceInfo *reply);
// `media`, then the registry's selected index; CORE_ERR without a device
// array.
CoreResult engine_device_selected(RavkDeviceList *audio, RavkDeviceList *video, const EngineDeviceRequest *request,
                                  EngineDeviceSelected *reply);

// The registry's selected index: -1 (none) or 0 to count - 1 is stored and
// CORE_OK answered; anything else, or a registry without a device array,
// CORE_ERR. The index is kept apart from the registry's selected id: one
// does not move the other, and the negotiation reads go by the id.
CoreResult engine_device_select_index(RavkDeviceList *list, int32_t index);
// The stored index, -1 when none was stored.
int32_t engine_device_selected_index(RavkDeviceList *list);

// ---- application-fed sources ------------------------------------------------------

// Adds the source as a new application-fed device (element slot 0) of the
// registry `target` picks. CORE_OK; CORE_ERR for another target, a missing
// registry, or a refused add (the registry takes no virtual devices, the
// description does not make a source).
CoreResult engine_audio_device_add(RavkDeviceList *first, RavkDeviceList *second, const EngineAppAudioSource *source);
CoreResult engine_video_device_add(RavkDeviceList *first, RavkDeviceList *second, const EngineAppVideoSource *source);

// Adds the source as element slot 1 of the application-fed device of the
// same id that the registry already lists. Results as above; CORE_ERR also
// when no such device is listed or it has a second slot already.
CoreResult engine_audio_device_add_slot(RavkDeviceList *first, RavkDeviceList *second,
                                        const EngineAppAudioSource *source);
CoreResult engine_video_device_add_slot(RavkDeviceList *first, RavkDeviceList *second,
                                        const EngineAppVideoSource *source);

// The framework's device description of a record (the part after
// `target`); texts longer than their block are cut. Returns out.
RavkDeviceRecord *engine_app_audio_record(RavkDeviceRecord *out, const EngineAppAudioSource *source);
RavkDeviceRecord *engine_app_video_record(RavkDeviceRecord *out, const EngineAppVideoSource *source);

// ---- codec selection --------------------------------------------------------------

// The media word of a stream record (bit 0 audio, bit 1 video, bit 2
// container; codec indices in bytes 1 and 2, the container in byte 3) as
// the framework's media flags, which number codecs from 1 and put AV1
// before MJPEG and Theora. An index the engine does not know gives codec 0.
RavkMediaFlags engine_codec_selection_to_ravk(uint32_t selection);

// ---- reads for a negotiation ------------------------------------------------------

// The selected audio source's format into sendAudioFormat, its current
// format (else the same) into sourceAudioFormat, audioSend = 1. CORE_OK;
// CORE_DONE when no device is selected or the selected one is gone;
// CORE_ERR when the registry cannot answer or the format cannot be read.
CoreResult engine_device_read_audio_source(RavkDeviceList *sources, EngineLocalCaps *caps);

// The selected video source's modes: display and reference modes when it
// has them, the capture mode scaled by its scale factor into sendVideoMode,
// its current mode (else the capture mode) into nativeVideoMode,
// videoSend = 1. Results as for the audio source.
CoreResult engine_device_read_video_source(RavkDeviceList *sources, EngineLocalCaps *caps);

// Stores receiveRoles; when `direction` shares a bit with the binder
// table's receive roles, reads the selected sinks' audio format and video
// mode and sets audioReceive / videoReceive and the decoder indices.
// CORE_OK when a sink was read or receiving is not wanted for this
// direction; CORE_ERR otherwise.
CoreResult engine_device_read_sinks(EngineBinderTable *table, RavkDeviceList *audioSinks, RavkDeviceList *videoSinks,
                                    uint32_t direction, uint32_t receiveRoles, int32_t audioCodecIndex,
                                    int32_t videoCodecIndex, EngineLocalCaps *caps);

// Fills the source name of a bind record being built: cleared, then, when
// `direction` shares a bit with the binder table's send roles, the name of
// the selected audio source, replaced by the selected video source's when
// there is one. The text is cut to 255 bytes and always terminated.
// CORE_OK; CORE_OK also when sending is not wanted for this direction;
// CORE_ERR when neither registry has a selected device or a name cannot be
// read.
CoreResult engine_binder_source_name(EngineBinderTable *table, RavkDeviceList *audioSources,
                                     RavkDeviceList *videoSources, uint32_t direction,
                                     char sourceName[ENGINE_SOURCE_NAME_SIZE]);

// ---- binder-channel stores ----------------------------------------------------------

// After a peer's stream set arrived: the sent and received video modes its
// plain records carry (properties 0x1400 and 0x1000), a later record over
// an earlier one, into `mode1` of the channel's sent and received video
// blocks. A missing channel is skipped. Always CORE_OK.
CoreResult engine_binder_store_video_modes(EngineBinderTable *table, const EngineMediaDesc *desc,
                                           const EngineStreamSet *set);

// After the formats of a binding were agreed: the capability's four final
// slots into `format2` / `mode2` of the channel's four blocks; an empty or
// oversized slot is skipped. Always CORE_OK.
CoreResult engine_binder_store_media_modes(EngineBinderTable *table, const EngineMediaDesc *desc);
