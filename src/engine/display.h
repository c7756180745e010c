// The display controller: the receiving half of an engine session.
//
// For every binding that delivers media to this node the controller sorts
// the received plain streams of the last published answer into nodes named
// after their profile slots ("profile.combined.slot", "profile.audio.slot",
// "profile.video.slot"), gives each stream a consumer item, makes one
// playback pipeline of the multimedia framework per stream (one shared
// pipeline for a node whose streams play together), starts its decoders,
// pushes the frame batches the receive service reassembles into it, and
// stops and removes the consumers again. It also keeps what the viewer's
// playback window hands the engine (native window, render rectangle,
// playback offset) and the playback delays, and owns the two sink device
// registries.
//
// Threads: setup and decoder start run on the command topic's consumer or a
// control-service caller; pushes on the receive service's executor (the
// control service's caller); stop tasks and the stores' reclaimers on the
// display's executor; the drain blocks its caller in 50 ms polls. Nodes and
// consumers are used under store reader references and pipeline objects
// under handle references, so nothing is freed under a user. `lock` guards
// the playback parameters, the delays, the feature words, the pending
// re-setup and the list of pending stop tasks; `stateLock` serialises every change of a pipeline object's
// state word (decoder start, first push, stop) and the consumers' `started`
// and `stopped` words, so a stop can never be undone by a push that looked
// at the object just before it.
//
// Results are CoreResult codes: 0 done, 1 nothing to do, -91 malformed
// input (a length, a count or a value that cannot be right), -100 missing
// or failed, as each function says.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "core/names.h"
#include "core/result.h"
#include "core/store.h"
#include "core/sync.h"
#include "engine/capture.h"
#include "engine/props.h"
#include "engine/provider.h"
#include "engine/receive.h"
#include "engine/records.h"
#include "ravelkit/bus.h"
#include "ravelkit/datapath.h"
#include "ravelkit/devices.h"

// Playback features: requested in the display's feature words, reported
// (as far as the pipeline could provide them) in ENGINE_EVT_STREAM_STARTED.
enum : uint32_t {
    ENGINE_FEATURE_COLOR_BALANCE = 0x1,
    ENGINE_FEATURE_SCALING = 0x2,
    ENGINE_FEATURE_ASPECT = 0x4,
    ENGINE_FEATURE_OVERLAY = 0x8,
    ENGINE_FEATURES_DEFAULT_VIDEO = 0xF,
};

// EngineStreamInfo.direction
enum : uint32_t {
    ENGINE_STREAM_CAPTURE = 0,
    ENGINE_STREAM_PLAYBACK = 1,
};

#define ENGINE_MESSAGE_TEXT_SIZE 1024

// The data of ENGINE_EVT_MESSAGE, ENGINE_EVT_STREAMER_ERROR and
// ENGINE_EVT_VIEWER_ERROR.
struct EngineMessageText {
    uint32_t code;    // the command that failed, or 0
    int32_t result;   // its error, or 0
    char text[ENGINE_MESSAGE_TEXT_SIZE];  // NUL-terminated
};
static_assert(sizeof(EngineMessageText) == 1032 && offsetof(EngineMessageText, text) == 8,
              "message text travels as 1032 raw bytes");

// The data of ENGINE_CTL_SET_PLAYBACK_PARAMS.
struct EnginePlaybackParams {
    uint64_t firstWord;    // the playback window sends 0
    uint64_t reserved[2];  // stored, not read
    uint64_t window;       // X11 window id of the drawing area
    RavkRectangle renderRectangle;
};
static_assert(sizeof(EnginePlaybackParams) == 48 && offsetof(EnginePlaybackParams, reserved) == 8 &&
                  offsetof(EnginePlaybackParams, window) == 24 &&
                  offsetof(EnginePlaybackParams, renderRectangle) == 32,
              "playback parameters travel as 48 raw bytes");

// A playback device slot of the engine configuration without its slotParam.
struct EngineDisplaySinkSlot {
    int32_t codecIndex;    // index into the decoder list; -1 none
    uint32_t deviceClass;  // class mask of the sink registry; 0: no registry
    CoreName deviceId;     // device selected in the registry
};

// The creation argument; the session builds it from the engine
// configuration.
struct EngineDisplayConfig {
    uint32_t receiveRoles;  // 0: no sink registries, nothing is ever played
    uint32_t reserved;      // 0
    EngineDisplaySinkSlot audioSink;
    uint64_t audioPlaybackDelay;  // ns
    EngineDisplaySinkSlot videoSink;
    uint64_t videoPlaybackDelay;  // ns
    CoreName executor;  // stop tasks and reclaimers (CORE_DEFAULT_EXECUTOR)
    CoreName pool;      // items of the stores (CORE_DEFAULT_POOL)
};

// A node of the display is an EngineProfile (engine/provider.h) keyed by
// its slot name, whose stream store holds EngineConsumer items.

// The create argument of a consumer: the first four fields of the item.
struct EngineConsumerEntry {
    CoreName codecName;  // "codec.%08X.stream.%08X": the decoder index first; may be empty
    CoreName channel;    // binder channel
    CoreName slot;       // profile slot name
    uint32_t mediaMask;  // RavkMediaFlags of the stream (of the node, for shared pipelines)
};

// Item of a node's stream store, keyed by stream name. `started` and
// `stopped` change under the display's stateLock; `object` is stored once
// the pipeline is made and read by pushes and picture controls meanwhile.
struct EngineConsumer {
    CoreStoreItem header;
    CoreName codecName;
    CoreName channel;
    CoreName slot;
    uint32_t mediaMask;
    std::atomic<uint32_t> started;  // 1 once ENGINE_EVT_STREAM_STARTED was posted
    std::atomic<uint64_t> object;   // handle in CORE_HANDLES_PIPELINES; 0 none
    uint32_t stopped;               // the stop task has taken the consumer out
    uint32_t endSent;               // bit per branch (0 audio, 1 video): end of stream sent after the stop
};

struct alignas(64) EngineDisplay {
    CoreStore *nodes;  // EngineProfile items
    EngineDisplayConfig config;  // delays under `lock`; the rest fixed

    // Playback parameters (under `lock`).
    uint64_t playbackFirstWord;
    uint64_t window;
    uint8_t playbackReserved[16];
    RavkRectangle renderRectangle;
    uint64_t playbackOffset;

    RavkDeviceList *videoSinks;  // NULL when not made
    RavkDeviceList *audioSinks;

    // A re-setup the pipeline-event handler asked for (under `lock`); the
    // next push of that stream carries it out.
    uint32_t pendingSetup;
    CoreName pendingStream;
    uint32_t audioFeatures;  // feature words given to new pipelines
    uint32_t videoFeatures;
    std::atomic<uint32_t> pendingHint;  // mirrors pendingSetup for a lock-free test on every push

    std::atomic<uint64_t> rejectedBatches;  // malformed frame batches dropped

    // Stop tasks scheduled and not yet finished (under `lock`): they use
    // the display, so its destroy cancels them.
    std::vector<uint64_t> stopTasks;

    std::mutex lock;
    std::mutex stateLock;
};

// ---- creation ---------------------------------------------------------------

// A new display with its node store and, unless receiveRoles is 0, a sink
// registry for each sink slot with a device class (the slot's device
// selected). NULL when any step fails (what was made is undone).
EngineDisplay *engine_display_create(const EngineDisplayConfig *config);

// Destroys the registries and the node store (every consumer's pipeline is
// released and awaited), frees the display and clears *display. NULL and a
// cleared pointer are ignored. No other thread may use the display.
void engine_display_destroy(EngineDisplay **display);

// ---- what the interface and the engine's handlers store -----------------------

// ENGINE_CTL_SET_PLAYBACK_PARAMS: `length` bytes of an EnginePlaybackParams.
// CORE_OK; CORE_ERR_INVALID for a short record; CORE_ERR without a display.
CoreResult engine_display_set_playback_params(EngineDisplay *display, const void *data, uint64_t length);
// ENGINE_CTL_SET_PLAYBACK_OFFSET: one u64. Results as above.
CoreResult engine_display_set_playback_offset(EngineDisplay *display, const void *data, uint64_t length);
// ENGINE_CMD_SET_PLAYBACK_LATENCY: medium 0 audio, 1 video, any other both.
CoreResult engine_display_set_playback_delay(EngineDisplay *display, uint32_t medium, uint64_t delay);
// RAVK_EVENT_STREAM_INFO of a playback pipeline: the next push of `stream`
// drains its consumers and sets them up again with these feature words.
CoreResult engine_display_request_setup(EngineDisplay *display, const CoreName *stream, uint32_t audioFeatures,
                                        uint32_t videoFeatures);

// ---- nodes and consumers ------------------------------------------------------

// Inserts the node `slot` (an existing one is kept). mask and props
// describe a shared pipeline; props NULL gives an empty list. CORE_OK or
// CORE_ERR.
CoreResult engine_display_add_node(EngineDisplay *display, const CoreName *slot, uint32_t mediaMask,
                                   const EngineProps *props);

// Inserts a consumer for `stream` into the node `slot` (an existing one is
// kept). CORE_OK; CORE_ERR when the node is missing or the insert fails.
CoreResult engine_display_add_consumer(EngineDisplay *display, const CoreName *channel, const CoreName *slot,
                                       uint32_t mediaMask, const CoreName *stream, const CoreName *codecName);

// Sorts the plain records of the capability's answer table that this
// display can play into nodes and consumers and makes their pipelines;
// filter NULL takes every stream, else only that one. The result of
// engine_display_create_consumers; CORE_ERR without an answer table or
// when a node or consumer could not be added.
CoreResult engine_consumer_setup(EngineDisplay *display, const CoreName *filter);

// Makes the pipelines of the consumers (filter NULL: all) that have none
// yet. CORE_OK; CORE_ERR when any could not be made (the walk goes on).
CoreResult engine_display_create_consumers(EngineDisplay *display, const CoreName *filter);

// One pipeline of the framework for `mask` (RavkMediaFlags) playing
// `stream`, its decoders taken from the sink slots and the codec record
// name (empty: the slots' alone). The handle, or 0.
uint64_t engine_consumer_create(EngineDisplay *display, uint32_t mediaMask, const CoreName *stream,
                                const CoreName *codecName);

// Pauses the pipelines of the matching consumers (filter NULL: all) so that
// their decoders are ready for the first push; pipelines already started
// or stopped are left alone. A failure is reported to the viewer
// (ENGINE_EVT_VIEWER_ERROR); CORE_ERR when a video decoder failed, else
// CORE_OK.
CoreResult engine_display_start_decoder(EngineDisplay *display, const CoreName *filter);

// Posts the decoder failure text for a media mask (ENGINE_EVT_VIEWER_ERROR)
// while the engine node runs; writes the text into `out` when not NULL.
void engine_report_decoder_failure(uint32_t mediaMask, EngineMessageText *out);

// ENGINE_CTL_PUSH_FRAMES: the batch (batchLength bytes) names the stream;
// samples is a chain whose data sizes add up to sampleBytes. The frames are
// copied before the call returns. CORE_OK; CORE_ERR_INVALID (counted in
// rejectedBatches) for a short batch, a medium other than audio or video,
// an empty, overlong or looping chain, a frame without data, or sizes that
// do not add up; CORE_ERR for an unknown stream or a failed push, or the
// failure of a pending re-setup.
CoreResult engine_display_push_frames(EngineDisplay *display, const EngineFrameBatch *batch, uint64_t batchLength,
                                      const RavkSample *samples, uint64_t sampleBytes);

// Executor task (CoreTaskFn): name1 the node's slot, name2 the stream,
// user[0] the display. Stops the consumer's pipeline, removes the consumer
// and posts ENGINE_EVT_STREAM_STOPPED when it had started. 1 (the task
// ends); CORE_ERR when the node is missing.
int engine_display_stop_task(const CoreName *executor, uint64_t task, const CoreName *name1, const CoreName *name2,
                             void **user);

// Schedules the stop task for every matching consumer (filter NULL: all)
// and waits, in 50 ms polls, until they are gone or the limit
// ((matching + 1) x 2000 ms, 4000 ms without any) passes.
void engine_display_drain(EngineDisplay *display, const CoreName *filter);

// Posts ENGINE_CMD_RECEIVE_CLOSE for the binding's channel, peer and bind
// sequence while the engine node runs. CORE_OK.
CoreResult engine_post_receive_close(const EngineMediaDesc *desc);

// The video node ("profile.video.slot", else the first live node) with a
// reader reference of the node store held; NULL when there is no node.
// Give the reference back with core_store_unref(display->nodes).
EngineProfile *engine_profile_video_slot(EngineDisplay *display);

// Store callbacks of the node and consumer stores.
int engine_display_node_init(CoreStore *store, CoreStoreItem *item, void *arg, void **user);
int engine_consumer_item_init(CoreStore *store, CoreStoreItem *item, void *arg, void **user);
void engine_consumer_item_fini(CoreStore *store, CoreStoreItem *item, void **user);
