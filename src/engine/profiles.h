// How fast each sent stream of a negotiated binder channel may and should
// go: the bitrate ladder of a video mode and the send profile
// (EngineProfileRequest) that the engine hands the send service for every
// plain stream it sends.
//
// The ladder is eight bit rates from 100000 up to a target that grows with
// the long side of the picture and the codec's efficiency; the media
// provider steps its encoders along it and the send profile takes its ends.
// The byte-rate estimate adds the framing of the frame messages the send
// service wraps each sample in. Pure computations over their arguments and
// the capability's words; any thread. Results are the outputs as stated.
#pragma once

#include <cstdint>

#include "core/names.h"
#include "core/result.h"
#include "core/video.h"
#include "engine/capability.h"
#include "engine/profile_request.h"

#define ENGINE_BITRATE_STEPS 8

// Binder kinds of the ladder: a p2p channel, a p2m channel, or a name that
// is neither.
enum : int {
    ENGINE_BINDER_KIND_NONE = -1,
    ENGINE_BINDER_KIND_P2P = 0,
    ENGINE_BINDER_KIND_P2M = 1,
};

// The eight bit rates (bits per second) for a stream of `mode` (NULL reads
// as all zero) on a channel of `binderKind`, with the codec's FourCC
// weighting p2p targets ("H264", "VP8X" x 1.5; "MJPG" x 5). Step 0 is
// 100000, steps 1-7 climb evenly to the target, each rounded to the nearest
// 10000.
void engine_bitrate_ladder(const CoreVideoMode *mode, int binderKind, uint32_t fourcc,
                           uint64_t out[ENGINE_BITRATE_STEPS]);

// Bytes per second of the mean of two bit rates once every frame at
// rateNumerator/rateDenominator frames per second is wrapped in a frame
// message; without a usable rate the bare (a + b) / 16. Nothing wraps:
// the sum is taken in 128 bits and a float past 64 bits saturates.
uint64_t engine_byte_rate_with_framing(uint64_t a, uint64_t b, uint32_t rateNumerator, uint32_t rateDenominator);

// Fills the send profile of one plain stream by its media flags (audio
// first when both bits are set; a record with neither stays cleared apart
// from the three words it is given). sendMode is the negotiated send mode
// (NULL or all zero when none is stored). CORE_OK; CORE_ERR_INVALID for a
// NULL out or stream name; CORE_ERR without a capability (out cleared).
CoreResult engine_profile_request_make(EngineCapability *capability, uint32_t mediaFlags, uint32_t roleWord,
                                       const CoreName *streamName, const CoreVideoMode *sendMode, int binderKind,
                                       EngineProfileRequest *out);
