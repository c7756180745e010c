// Feeding frames into capture pipelines whose sources the application
// feeds: a chain of raw (or already encoded) frames goes into the
// provider's audio or video app source, where the pipeline encodes it like
// captured media. The first push of a provider started PAUSED sets it
// PLAYING.
//
// Two callers feed: the codec evaluation, whose frames outlive the push
// and are wrapped without copy unless the stream's RAVK_STREAM_COPY_DATA
// asks for copies, and the engine's control request for fed frames, whose
// memory ends when the request returns and is therefore always copied.
// One caller feeds a provider at a time; the handle reference keeps the
// provider alive for the call.
//
// Raw video frames are described by the size the app source's caps
// declare, the layout the application fills; a frame smaller than that
// layout is refused.
//
// Both return 0 (also when the provider is not playing, its source is not
// PLAYING yet, or the source's queue is full: the rest of the chain is
// dropped) or -1 (unknown handle, a stream other than RAVK_FEED_AUDIO or
// RAVK_FEED_VIDEO, no app source, an empty, too long or malformed chain,
// a failed push or state change).
#pragma once

#include <cstdint>

#include "ravelkit/bus.h"

enum : uint32_t {
    RAVK_FEED_AUDIO = 1,
    RAVK_FEED_VIDEO = 2,
};

// Longest chain one push takes; a longer (or looping) chain is refused
// before anything is pushed.
#define RAVK_FEED_MAX_FRAMES 4096u

int ravk_provider_push(uint64_t handle, uint32_t stream, const RavkSample *frames);
int ravk_provider_push_request(uint64_t handle, uint32_t stream, const RavkSample *frames);
