// The choice of one encoder and one decoder that agree on a codec, for one
// medium and direction of a binder channel.
//
// Both sides' stream tables hold codec records (media flag 0x10, the codec
// index in byte 1 for audio or byte 2 for video, role bits for encoder,
// decoder, preferred and hardware) next to their plain records. The
// encoding side is the table that must supply the encoder, the decoding side
// the one that must supply the decoder: for the send direction the local
// table encodes, for the receive direction the peer's table does. The
// choice follows the users' preferences first (the decoding side's before
// the encoding side's) and then walks the modern or the classic codec order
// with hardware and score demands that fall step by step; an H.264 pair must
// also agree its two feature sets, which are then written into both sides'
// plain records.
//
// The functions work on caller-owned tables, which may have come from a
// peer: a table whose count is beyond what any table can hold is treated as
// empty. The out records are written only when a function returns 0. Called
// by the negotiation on the engine's command and control threads; no state.
// Results are stated per function: 0 found, 1 nothing found, or a negative
// CoreResult.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "engine/records.h"

// Media arguments.
enum : uint32_t {
    ENGINE_MEDIUM_AUDIO = 1,
    ENGINE_MEDIUM_VIDEO = 2,
};

// The first codec record of the medium whose role word holds every bit of
// roleBits and whose codec index equals that of codecBits (audio byte 1,
// video byte 2), copied to out. 0 found, 1 none (also for another medium).
int engine_codec_record_find(uint32_t medium, uint32_t codecBits, uint32_t roleBits, const EngineStreamTable *table,
                             EngineStreamRecord *out);

// The first codec record with one of mediaBits whose role word holds
// roleBits and ENGINE_ROLE_PREFERRED. 0 found, 1 none.
int engine_codec_record_preferred(uint32_t mediaBits, const EngineStreamTable *table, uint32_t roleBits,
                                  EngineStreamRecord *out);

// Agrees the H.264 feature sets of an encoder record (tags 0x1E80, 0x1F80)
// and a decoder record (0x1E00, 0x1F00) and writes the agreed values into
// the plain record each codec record points at, the encoder's in the
// encoding table and the decoder's in the decoding table. 0 agreed (also
// when any of the four values is unset: then nothing is written); 1 when
// the feature sets share no level; -100 when a plain record is missing.
CoreResult engine_h264_features_agree(EngineStreamTable *encoding, const EngineStreamRecord *encoder,
                                      EngineStreamTable *decoding, const EngineStreamRecord *decoder);

// The pair for one codec: a decoder (ENGINE_ROLE_DECODER plus decoderBits)
// on the decoding side and an encoder (ENGINE_ROLE_ENCODER plus encoderBits)
// on the encoding side, H.264 features agreed. 0, 1 (either missing),
// -91 for another medium, or the agreement's negative result.
CoreResult engine_codec_pair_find(uint32_t medium, uint32_t codecBits, EngineStreamTable *encoding,
                                  uint32_t encoderBits, EngineStreamRecord *encoderOut, EngineStreamTable *decoding,
                                  uint32_t decoderBits, EngineStreamRecord *decoderOut);

// The first pair along the codec order: Opus alone for audio; for video the
// modern order (modern non-zero) or the classic one. 0, 1 or -91 for
// another medium.
CoreResult engine_codec_walk(uint32_t medium, int modern, EngineStreamTable *encoding, uint32_t encoderBits,
                             EngineStreamRecord *encoderOut, EngineStreamTable *decoding, uint32_t decoderBits,
                             EngineStreamRecord *decoderOut);

// Four walks, the first pair wins: hardware on both sides in the modern
// order; hardware encoder; hardware decoder; anything. The scores of the two
// sides decide between the modern and the classic order from the second
// walk on (8192 or more is strong). 0, 1 or -100.
CoreResult engine_codec_choose(uint32_t medium, uint32_t encodeScore, uint32_t decodeScore,
                               EngineStreamTable *encoding, EngineStreamRecord *encoderOut,
                               EngineStreamTable *decoding, EngineStreamRecord *decoderOut);

// The pair the users preferred: both preferred records when they agree,
// else an encoder for the decoding side's preferred decoder, else a decoder
// for the encoding side's preferred encoder. 0, 1, -91 for another medium,
// or the agreement's negative result.
CoreResult engine_codec_preferred_pair(uint32_t medium, EngineStreamTable *encoding, EngineStreamRecord *encoderOut,
                                       EngineStreamTable *decoding, EngineStreamRecord *decoderOut);
