// What the local node can offer in a binding: the engine's one capability
// record and the per-negotiation record of the selected devices.
//
// EngineCapability exists while the engine runs. The engine's start makes it
// from the configuration words that negotiation and send profiles need; it
// then keeps the node's default audio format, its current video limit, the
// stream tables of the last published offer and answer, and, in eight slots,
// copies of the formats the last negotiation settled. The record is a
// process-wide object reached through engine_capability_current(); its
// writers are the engine's start and stop (command consumer), negotiations
// (command consumer and control-request callers) and the broadcast start, and
// its slot and table readers include the receive and display paths on other
// threads. So everything that changes after creation (audioFormat,
// videoLimit, bitratePolicy, the two tables, the slots) is read and written
// under the record's own lock; the configuration copies never change.
//
// EngineLocalCaps is made afresh for each negotiation of a binder channel and
// belongs to that negotiation alone: the device operations fill its media
// flags, modes and formats and engine_local_caps_set_scores its four scores.
//
// Results: CoreResult codes as stated, or the output pointer.
#pragma once

#include <cstdint>

#include "core/names.h"
#include "core/result.h"
#include "core/sync.h"
#include "core/video.h"
#include "engine/config.h"
#include "engine/props.h"
#include "engine/records.h"

#define ENGINE_CAPABILITY_SLOTS 8

// Slots that negotiation fills; 2 to 5 are never filled and read as empty.
enum : int {
    ENGINE_SLOT_VIDEO_SEND = 0,     // CoreVideoMode, 16 bytes
    ENGINE_SLOT_VIDEO_RECEIVE = 1,  // CoreVideoMode, 16 bytes
    ENGINE_SLOT_AUDIO_SEND = 6,     // EngineAudioFormat, 12 bytes
    ENGINE_SLOT_AUDIO_RECEIVE = 7,  // EngineAudioFormat, 12 bytes
};

// Which of the two published tables.
enum : int {
    ENGINE_CAPABILITY_OFFER = 0,
    ENGINE_CAPABILITY_ANSWER = 1,
};

// Performance scores; 8192 or more marks a side strong enough for the
// modern codec order.
#define ENGINE_SCORE_BASE 4096u
#define ENGINE_SCORE_STRONG 8192u
#define ENGINE_SCORE_TOP 12288u

struct EngineCapabilitySlot {
    uint64_t size;  // 0: empty
    void *data;     // 64-byte aligned copy
};

struct alignas(64) EngineCapability {
    // Always ENGINE_NODE_SERVICE: negotiation passes the record where a
    // channel name is expected, so that its notifications reach the node
    // service.
    CoreName name;
    EngineAudioFormat audioFormat;  // 48 kHz stereo S16LE for size classes 0-2; the broadcast start replaces it
    CoreVideoMode videoLimit;       // by size class; the broadcast profile replaces it
    uint32_t audioSinkParam;        // stream kind of audio: 1 paced, 2 media rate, else reliable
    uint32_t videoSinkParam;        // the same for video
    uint32_t bitratePolicy;         // 0 adaptive, non-zero constant
    uint32_t rateControlOption;
    uint32_t p2pChannelCount;
    int32_t p2pClass;               // -1 refuses p2p negotiation
    uint32_t p2mChannelCount;       // also the index of the broadcast's own channel
    uint32_t videoSizeClass;        // (uint32_t)-1 refuses p2m negotiation
    EngineStreamTable *answerTable;  // last published answer, node pool; NULL before the first
    EngineStreamTable *offerTable;   // last published offer
    EngineCapabilitySlot slots[ENGINE_CAPABILITY_SLOTS];
    CoreLock lock;  // guards audioFormat, videoLimit, bitratePolicy, the tables and the slots
};

// One negotiation's view of the selected devices and the processor.
struct EngineLocalCaps {
    uint32_t sendRoles;     // ENGINE_ROLE_REQUESTER / ENGINE_ROLE_ANSWERER
    uint32_t receiveRoles;
    uint32_t audioSend;     // 1: the audio capture device answered its format
    uint32_t videoSend;     // 1: the video capture device answered its modes
    uint32_t audioReceive;  // 1: the audio playback device answered its format
    uint32_t videoReceive;  // 1: the video playback device answered its mode
    int32_t audioEncoderIndex;  // codec list indices selected in the configuration; -1 none
    int32_t videoEncoderIndex;
    int32_t audioDecoderIndex;
    int32_t videoDecoderIndex;
    CoreVideoMode receiveVideoMode;    // playback device's mode
    CoreVideoMode referenceVideoMode;  // capture device's first mode
    CoreVideoMode sendVideoMode;       // capture mode, scaled by videoScale when non-zero
    CoreVideoMode displayVideoMode;    // capture device's second mode
    CoreVideoMode nativeVideoMode;     // capture device's native mode, else sendVideoMode
    double videoScale;                 // 0: none
    EngineAudioFormat receiveAudioFormat;
    EngineAudioFormat sendAudioFormat;
    EngineAudioFormat sourceAudioFormat;
    uint32_t audioEncodeScore;
    uint32_t videoEncodeScore;
    uint32_t audioDecodeScore;
    uint32_t videoDecodeScore;
};

// Makes the engine's capability from the start record: the name, the
// configuration words, the default audio format and the video limit of the
// size class. CORE_OK; CORE_ERR_INVALID for a NULL config; CORE_ERR when a
// capability exists already (it is left as it is) or the allocation fails.
CoreResult engine_capability_create(const EngineConfig *config);

// The capability, or NULL while none exists. Acquire load.
EngineCapability *engine_capability_current(void);

// Frees the published tables (through the running node's pool), the slot
// copies and the record, and clears the engine's reference. Nothing happens
// when no record exists. Called by the engine's stop and by a failed start,
// while no negotiation runs.
void engine_capability_release(void);

// The limit of the capability's size class (0: 3840x2160 at 60/1, 1:
// 768x432 at 30/1, 2: 1280x720 at 30/1) written into out; for another class
// out is left untouched. Returns out (NULL for a NULL argument).
CoreVideoMode *engine_capability_video_limit(const EngineCapability *capability, CoreVideoMode *out);

// The same for a bare size class.
CoreVideoMode *engine_video_limit_for_class(uint32_t videoSizeClass, CoreVideoMode *out);

// Replaces slot `slot` with a 64-byte aligned copy of `size` bytes of data:
// the previous copy is freed first. 0; -1 when the slot is outside 0..7,
// data is NULL with a non-zero size, or the allocation fails (the slot is
// then empty). Size 0 just empties the slot.
int engine_capability_slot_store(EngineCapability *capability, int slot, const void *data, uint64_t size);

// Clears `capacity` bytes of out and copies up to that many bytes of the
// slot into it. Returns the slot's stored size (0 for an empty slot, an
// invalid slot number or NULL arguments); a caller that needs exactly N
// bytes checks that the result lies in 1..N.
uint64_t engine_capability_slot_read(EngineCapability *capability, int slot, void *out, uint64_t capacity);

// Replaces the offer or the answer table with a clone of `table` (node
// pool) and frees the previous table. CORE_OK; CORE_ERR_INVALID for
// a bad argument; CORE_ERR when the clone cannot be made (the table is then
// absent).
CoreResult engine_capability_table_replace(EngineCapability *capability, int which, const EngineStreamTable *table);

// A clone of the offer or the answer table for the caller to free to the
// node pool, or NULL when there is none (or no memory).
EngineStreamTable *engine_capability_table_clone(EngineCapability *capability, int which);

// Clears the record and sets the four codec indices to -1. Returns caps.
EngineLocalCaps *engine_local_caps_init(EngineLocalCaps *caps);

// The four performance scores from the processor class (core_cpu_class):
// audio 4096 both ways; video encoding 4096 below class 4, 8192 below class
// 7, else 12288; video decoding 4096 below class 2, 8192 below class 5, else
// 12288.
void engine_local_caps_set_scores(EngineLocalCaps *caps);
