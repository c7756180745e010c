// The local side of a binder channel as a stream table: what this node
// offers in a negotiation.
//
// A table opens with one plain record per medium and direction the channel
// carries (the selected devices' formats, the default codecs' limits, the
// performance scores) and goes on with one codec record per local codec that
// could serve the channel; a broadcast (p2m) channel lists only the default
// encoders. This module also picks the default codecs, whose indices go into
// the plain records' media flags. Its functions read the process's codec
// lists (each descriptor copied out under the list's lock) and otherwise work
// on caller-owned records, so they may run on any thread; negotiations call
// them on the engine's command and control threads. Results: CoreResult
// codes, list indices or counts as stated.
#pragma once

#include <cstdint>

#include "core/codec_desc.h"
#include "core/names.h"
#include "core/result.h"
#include "engine/capability.h"
#include "engine/records.h"

// roleWord of a plain record: the direction bits, and in bits 0-1 the
// network stream kind (1 paced, 2 media rate, 3 reliable).
enum : uint32_t {
    ENGINE_ROLE_SEND = 0x100,
    ENGINE_ROLE_RECEIVE = 0x200,
    ENGINE_ROLE_STREAM_KIND_MASK = 0x3,
};

// roleWord of a codec record.
enum : uint32_t {
    ENGINE_ROLE_ENCODER = 0x10000,
    ENGINE_ROLE_DECODER = 0x20000,
    ENGINE_ROLE_PREFERRED = 0x40000,  // the codec selected in the configuration's slot
    ENGINE_ROLE_HARDWARE = 0x80000,
};

// Codec list numbers, as the codec lists' direction words.
enum : uint32_t {
    ENGINE_CODEC_LIST_ENCODERS = 1,
    ENGINE_CODEC_LIST_DECODERS = 2,
};

// The wanted-codec argument that takes the first acceptable descriptor.
#define ENGINE_CODEC_ANY 255u

// Profile slot names of plain records.
#define ENGINE_SLOT_NAME_AUDIO "profile.audio.slot"
#define ENGINE_SLOT_NAME_VIDEO "profile.video.slot"
#define ENGINE_SLOT_NAME_COMBINED "profile.combined.slot"

// The default codecs of a negotiation: descriptors start all zero with
// FourCCs "NONE" and device index -1; indices -1 mean none was found.
struct EngineDefaultCodecs {
    CoreAudioCodecDesc audioEncoder;
    CoreVideoCodecDesc videoEncoder;
    CoreAudioCodecDesc audioDecoder;
    CoreVideoCodecDesc videoDecoder;
    int32_t audioEncoderIndex;
    int32_t videoEncoderIndex;
    int32_t audioDecoderIndex;
    int32_t videoDecoderIndex;
};

// How many records a channel's local table needs.
struct EngineOfferCounts {
    uint64_t send;     // plain send records
    uint64_t receive;  // plain receive records
    uint64_t total;    // plain records plus room for every codec record
};

// Whether a descriptor counts as hardware (audio: usable word 2; video:
// usable word 2, or class word 1 with backend 15, 16, 17 or 19) and whether
// it is acceptable (usable, and the evaluation did not pin it to a single
// mode or format).
bool engine_audio_codec_is_hardware(const CoreAudioCodecDesc *desc);
bool engine_video_codec_is_hardware(const CoreVideoCodecDesc *desc);
bool engine_audio_codec_is_acceptable(const CoreAudioCodecDesc *desc);
bool engine_video_codec_is_acceptable(const CoreVideoCodecDesc *desc);

// An empty descriptor: all zero, FourCCs "NONE", device index -1.
void engine_audio_codec_desc_empty(CoreAudioCodecDesc *desc);
void engine_video_codec_desc_empty(CoreVideoCodecDesc *desc);

// Walks encoder (list 1) or decoder (list 2) descriptors in list order for
// the wanted codec index (ENGINE_CODEC_ANY: the first acceptable one at
// once), over hardware descriptors only when hardwareOnly is set. The wanted
// codec wins; otherwise the first acceptable descriptor. The chosen
// descriptor is copied into *desc. Its list index, or -1 (desc untouched).
int engine_default_audio_codec(uint32_t list, uint32_t codecIndex, int hardwareOnly, CoreAudioCodecDesc *desc);
int engine_default_video_codec(uint32_t list, uint32_t codecIndex, int hardwareOnly, CoreVideoCodecDesc *desc);

// The four default codecs of a negotiation in `mode` (the binding's role
// bit): each one the media flags ask for is Opus or H.264 among hardware
// descriptors, else any hardware one, else the same over all descriptors.
// CORE_OK; CORE_ERR_INVALID for a NULL out.
CoreResult engine_default_codecs(uint32_t mode, uint32_t sendRoles, uint32_t audioSend, uint32_t videoSend,
                                 uint32_t receiveRoles, uint32_t audioReceive, uint32_t videoReceive,
                                 EngineDefaultCodecs *out);

// The size of the local table for `mode`. CORE_OK; CORE_ERR when the mode
// carries no media in either direction; CORE_ERR_INVALID for NULL arguments.
CoreResult engine_offer_table_counts(uint32_t mode, const EngineLocalCaps *caps, int p2m, EngineOfferCounts *out);

// Fills records 0 .. sendCount + receiveCount - 1 of table: send records
// first, then receive records, audio before video in each part, each made
// by engine_plain_record_fill. CORE_OK; CORE_ERR when a record would have
// no medium, the records do not fit the table, or an argument is missing.
CoreResult engine_plain_records_fill(const EngineCapability *capability, uint32_t mode, const EngineMediaDesc *desc,
                                     const EngineLocalCaps *caps, const EngineDefaultCodecs *defaults,
                                     uint64_t sendCount, uint64_t receiveCount, int p2m, int combined,
                                     EngineStreamTable *table);

// Fills one plain record whose media flags already hold its medium (0x1 or
// 0x2) and whose channel and slot are set: stream name, codec index, the
// property groups the mode calls for and the role word. `index` counts the
// records of the medium. CORE_OK; CORE_ERR for a record without a medium
// or a missing argument.
CoreResult engine_plain_record_fill(const EngineCapability *capability, uint32_t mode, const EngineMediaDesc *desc,
                                    int p2m, const EngineLocalCaps *caps, const EngineDefaultCodecs *defaults,
                                    uint32_t index, EngineStreamRecord *record);

// Writes codec records from record `firstFree` on, never beyond the table's
// end. p2m: the default encoders only; p2p: every acceptable encoder and
// decoder of the directions and media in play. CORE_OK; CORE_ERR when a
// codec list cannot be read or an argument is missing.
CoreResult engine_codec_records_add(uint32_t mode, const EngineMediaDesc *desc, const EngineLocalCaps *caps,
                                    const EngineDefaultCodecs *defaults, uint64_t firstFree, int p2m,
                                    EngineStreamTable *table);

// One codec record for the descriptor at `listIndex`. CORE_OK; CORE_ERR for
// a negative index or a missing argument.
CoreResult engine_codec_record_from_audio(EngineStreamRecord *record, const EngineMediaDesc *desc,
                                          const CoreAudioCodecDesc *codec, int32_t listIndex, int preferred,
                                          int hardware);
CoreResult engine_codec_record_from_video(EngineStreamRecord *record, const EngineMediaDesc *desc,
                                          const CoreVideoCodecDesc *codec, int32_t listIndex, int preferred,
                                          int hardware);

// Names the codec of a plain stream: "codec.%08X.stream.%08X" of the first
// descriptor of list 1 or 2 whose codec matches the index in the media
// flags (audio byte 1 when flag 0x1 is set, else video byte 2 when flag 0x2
// is), with the stream number (plus 0x40000000 for video). 1 made; 0 when
// there is no medium, the list number is wrong, the index names no codec
// or no descriptor matches (out is then all zero).
int engine_codec_stream_name(uint32_t mediaFlags, uint32_t streamNumber, uint32_t list, CoreName *out);
