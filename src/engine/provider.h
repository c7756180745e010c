// The media provider: the sending half of an engine session.
//
// The provider owns the local audio and video source registries, the
// profile slots ("profile.audio.slot", "profile.video.slot" or one
// "profile.combined.slot") into which the plain streams of a negotiated
// binding are sorted, and, through the streams of those slots, the capture
// objects of the multimedia framework that serve them. It announces its
// slots to the send service (one ENGINE_CMD_SEND_STREAM_ADD per slot) and
// withdraws them again. Making, starting and stopping the capture objects
// lives in engine/capture.h.
//
// Threads: the session creates and destroys the provider on the command
// topic's consumer; the topic consumers, the control service's callers, the
// provider's stop tasks (on its executor) and the device registries'
// callbacks (on the device enumerator's thread) use it meanwhile. Profiles
// and streams live in keyed stores and are used under reader references,
// so a stream removed by a stop task stays valid until its last user lets
// go; a profile's `mediaMask` and `props` are read and written under the
// profile store's lock. `lock` guards every other word that changes after
// creation (bitrate tables, current bitrates, capture parameters, the
// preview, device and evaluation handles and registries, the pending stop
// tasks); parts outside this module that fill those fields take it too.
// No lock is held across a call into the multimedia framework.
//
// Results: create returns the provider or NULL; the slot lookups an
// EngineProfile with a reader reference held (give it back with
// core_store_unref on `profiles`) or NULL; the rest CoreResult codes as
// each says.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/names.h"
#include "core/result.h"
#include "core/store.h"
#include "core/sync.h"
#include "engine/config.h"
#include "engine/props.h"
#include "engine/records.h"
#include "ravelkit/devices.h"
#include "ravelkit/provider.h"

#define ENGINE_PROFILE_SLOT_AUDIO "profile.audio.slot"
#define ENGINE_PROFILE_SLOT_VIDEO "profile.video.slot"
#define ENGINE_PROFILE_SLOT_COMBINED "profile.combined.slot"

// The audio encoders' bit rate: one value for every step and binder kind.
#define ENGINE_AUDIO_BITRATE 64000u

// Most bytes of a device value that a device-change notice carries.
#define ENGINE_DEVICE_VALUE_SIZE 1024

// Called right before a capture object is made, with the two stream
// configurations of the framework's provider configuration; a non-zero
// result stops the creation.
typedef CoreResult (*EngineCaptureHookFn)(RavkProviderAudioStream *audio, RavkProviderVideoStream *video,
                                          void *user);

struct EngineCaptureHook {
    EngineCaptureHookFn fn;  // NULL: none
    void *user;
};

// What the session makes the provider from; copied whole.
struct EngineProviderConfig {
    uint32_t sendRoles;  // 0: an empty provider, without registries and profiles
    EngineDeviceSlot audioSource;
    uint32_t audioSinkParam;
    EngineDeviceSlot videoSource;
    uint32_t videoSinkParam;
    uint32_t showCursor;
    uint32_t showClicks;
    uint32_t captureSourceParams[2];
    uint64_t captureParams[4];  // zero at creation; ENGINE_CTL_SET_CAPTURE_PARAMS sets them later
    CoreName executor;          // reclaimers of the stores and the stop tasks
    CoreName pool;              // items of the stores
    uint32_t combinedProfile;   // non-zero: one slot serves both media
    EngineCaptureHook captureHook;
    uint64_t reserved;  // zero
};

// Item of `profiles`, keyed by its slot name. The stream store comes first:
// the profile store's destroy callback destroys it.
struct EngineProfile {
    CoreStoreItem header;
    CoreStore *streams;  // EngineProviderStream items, keyed by stream name
    uint32_t mediaMask;  // RavkMediaFlags of the whole slot when two or more streams share it, else 0
    EngineProps props;   // the merged property lists of those streams
};

// Create argument of a profile; without one the mask is 0 and the list empty.
struct EngineProfileArgs {
    uint32_t mediaMask;
    EngineProps props;
};

// Create argument of a stream: the stream as the binding's table lists it.
struct EngineProviderStreamEntry {
    EngineStreamRecord record;
    CoreName codecName;  // "codec.%08X.stream.%08X": the first number is the encoder's list index
    CoreName channel;    // the binder channel the stream was built for
    uint32_t mediaFlags; // RavkMediaFlags of the record
    uint32_t captureSourceParams[2];
};

// Item of a profile's stream store; its second name is the profile's.
struct EngineProviderStream {
    CoreStoreItem header;
    EngineStreamRecord record;
    CoreName codecName;
    CoreName channel;
    uint32_t mediaFlags;
    uint32_t captureSourceParams[2];
    // 1 from the first successful start to the stop task: every stream
    // started event gets exactly one stopped event.
    std::atomic<uint32_t> started;
    // Capture object in CORE_HANDLES_PIPELINES, 0 = none. The streams of a
    // combined slot share one object and its one reference: the first of
    // them to be reclaimed frees it, and the others then find it gone.
    std::atomic<uint64_t> capture;
};

struct alignas(64) EngineMediaProvider {
    CoreStore *profiles;  // EngineProfile items, keyed by slot name
    EngineProviderConfig config;
    uint64_t previews[2];  // audio and video preview pipelines, 0 = none
    RavkDeviceList *videoSources;  // NULL when the video source class is 0
    RavkDeviceList *audioSources;  // NULL when the audio source class is 0
    RavkDeviceList *evalVideoSources;
    RavkDeviceList *evalAudioSources;
    uint64_t evalAudioCapture;
    uint64_t evalVideoCapture;
    uint32_t bitrateRow;  // binder kind (0 p2p, 1 p2m) of the last stream-table build
    uint64_t audioBitrates[2][8];
    uint64_t videoBitrates[2][8];  // by binder kind: the ladder of the video send mode
    uint64_t currentAudioBitrate;  // last values given to the encoders
    uint64_t currentVideoBitrate;
    uint64_t devicePipelines[2];   // audio and video device pipelines of the control service
    // Stop tasks scheduled and not yet finished; the destroy cancels them,
    // since they use the provider.
    std::vector<uint64_t> stopTasks;
    CoreLock lock;
};

// The 1192-byte data of ENGINE_EVT_ENVIRONMENT_CHANGED.
struct EngineEnvironmentChange {
    int32_t media;     // of the registry: 0 audio, 1 video, -1 other
    uint32_t reserved0;
    uint32_t removed;  // 1 removed, 0 added
    CoreName deviceId;
    uint32_t reserved1;
    uint32_t valueType;  // the device value's tag
    uint64_t length;     // at most ENGINE_DEVICE_VALUE_SIZE
    uint8_t value[ENGINE_DEVICE_VALUE_SIZE];  // zero after `length`
};
static_assert(sizeof(EngineEnvironmentChange) == 1192, "environment change travels as 1192 raw bytes");
static_assert(offsetof(EngineEnvironmentChange, removed) == 8 && offsetof(EngineEnvironmentChange, deviceId) == 12 &&
                  offsetof(EngineEnvironmentChange, reserved1) == 148 &&
                  offsetof(EngineEnvironmentChange, valueType) == 152 &&
                  offsetof(EngineEnvironmentChange, length) == 160 && offsetof(EngineEnvironmentChange, value) == 168,
              "environment change field offsets");

// The registry callbacks of a source registry.
struct EngineSourceCallback {
    RavkDeviceListCallback fn;
    void *user;
    void *user2;
};

// A new provider from a copy of config, or NULL (config NULL, or any step
// failed; what was made is undone).
EngineMediaProvider *engine_media_provider_create(const EngineProviderConfig *config);

// Stops the device pipelines, the evaluation captures and the previews,
// cancels the pending stop tasks, destroys the registries and the profiles
// (which releases every capture object) and frees the provider. Clears
// *provider; NULL and a cleared pointer are ignored.
void engine_media_provider_destroy(EngineMediaProvider **provider);

// The "profile.audio.slot" / "profile.video.slot" profile, else the first
// live one, with a reader reference on `profiles`; NULL when there is none.
EngineProfile *engine_profile_audio_slot(EngineMediaProvider *provider);
EngineProfile *engine_profile_video_slot(EngineMediaProvider *provider);
// The same over any profile store (the display controller's too).
EngineProfile *engine_profile_slot_or_first(CoreStore *profiles, const char *slotName);

// A source registry (direction source) of the given media (RAVK_MEDIA_AUDIO
// or RAVK_MEDIA_VIDEO) and class mask; callback NULL for none. NULL on
// failure.
RavkDeviceList *engine_source_list_create(uint32_t populate, const EngineSourceCallback *callback, uint32_t media,
                                          uint32_t deviceClass);

// Sorts the plain records of the capability's last offer into the profiles
// for a binding of `channel` on a binder table of `kind` (0 p2p, 1 p2m).
// CORE_OK streams added (or already there); CORE_DONE no plain record to
// add, or a slot without a profile; CORE_ERR_INVALID any other kind;
// CORE_ERR a p2p build while streams exist, a missing table or a failed
// insert.
CoreResult engine_stream_tables_build(EngineMediaProvider *provider, const CoreName *channel, int kind);

// Adds the stream of `record` to the profile of its slot. CORE_OK also when
// it exists already; CORE_ERR without such a profile or when the insert
// fails.
CoreResult engine_profile_add_stream(EngineMediaProvider *provider, const CoreName *channel,
                                     const CoreName *codecName, const EngineStreamRecord *record);

// Post ENGINE_CMD_SEND_STREAM_ADD / ENGINE_CMD_SEND_STREAM_REMOVE once per
// profile: desc's first three names and the slot name as the fourth.
// Dropped while no engine node runs. Always CORE_OK.
CoreResult engine_provider_announce_streams(EngineMediaProvider *provider, const EngineMediaDesc *desc);
CoreResult engine_provider_withdraw_streams(EngineMediaProvider *provider, const EngineMediaDesc *desc);

// Stops and frees the preview pipelines; posts ENGINE_EVT_PREVIEW_STOPPED
// when there was one. CORE_OK.
CoreResult engine_provider_stop_previews(EngineMediaProvider *provider);

// Stops and frees the evaluation captures and destroys their registries.
void engine_provider_eval_release(EngineMediaProvider *provider);

// Registry callback (user: the provider): posts ENGINE_EVT_ENVIRONMENT_CHANGED.
void engine_provider_on_device_change(RavkDeviceList *list, uint32_t added, const CoreName *id,
                                      const RavkDeviceText *value, void *user);

// Streams of all profiles that are not deleted.
uint32_t engine_provider_live_streams(EngineMediaProvider *provider);

// Store callbacks. The profile store's user is the provider.
int engine_profile_item_init(CoreStore *store, CoreStoreItem *item, void *arg, void **user);
int engine_stream_item_init(CoreStore *store, CoreStoreItem *item, void *arg, void **user);
void engine_stream_item_fini(CoreStore *store, CoreStoreItem *item, void **user);
