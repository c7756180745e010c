// The send profile of one plain stream: how fast the stream may go and how
// the network library should size and pace it.
//
// The engine's profile maker fills one record per stream it sends and hands
// it to the send service with ENGINE_SVC_SEND_PROFILE; the send service keeps
// a copy and passes the values to the network stream it opens. The record
// crosses the node service as 240 raw bytes in host byte order, so its
// layout is pinned below. Plain data: no functions, any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/names.h"

struct EngineProfileRequest {
    uint64_t queueStart;      // sender queue limit in messages: audio 25, video 30
    uint64_t queueDepth;      // network stream queue depth: audio 25, video 30
    uint64_t byteRate;        // bytes per second including frame-message framing
    uint64_t chunkSize;       // audio 4096, video 262144
    uint64_t bitrateCeiling;  // 50000000
    uint64_t minBitrate;      // bits per second
    uint64_t maxBitrate;      // bits per second
    uint64_t audioReserve;    // audio 40, else 0
    uint64_t reserved;        // 0
    uint32_t minFrameRate[2];  // numerator, denominator
    uint32_t frameRate[2];     // numerator, denominator
    uint32_t rateControl;      // rate-control bits handed to the network stream
    uint32_t roleWord;         // the stream record's role word; low byte is the stream kind
    uint32_t mediaFlags;       // the stream record's media flags
    CoreName streamName;       // "stream.%08X" or "split.stream.%08X"
};
static_assert(sizeof(CoreName) == 136, "profile names are 136-byte CoreNames");
static_assert(sizeof(EngineProfileRequest) == 240, "send profile travels as 240 raw bytes");
static_assert(offsetof(EngineProfileRequest, reserved) == 64 && offsetof(EngineProfileRequest, minFrameRate) == 72 &&
                  offsetof(EngineProfileRequest, frameRate) == 80 && offsetof(EngineProfileRequest, rateControl) == 88 &&
                  offsetof(EngineProfileRequest, roleWord) == 92 && offsetof(EngineProfileRequest, mediaFlags) == 96 &&
                  offsetof(EngineProfileRequest, streamName) == 100,
              "send profile field offsets");
