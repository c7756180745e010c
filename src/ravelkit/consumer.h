// Consumer pipelines: the playback side. One GStreamer pipeline takes the
// encoded audio and video frames received from a peer through one app
// source per stream, decodes them and plays them on an audio sink and on a
// video sink that draws into a native window. With RAVK_MEDIA_MUXED one app
// source takes the container bytes (pushed as stream 0 when there is
// audio, else 1) and a demuxer feeds each branch from the pad it adds.
//
// The live push paces what goes in: it waits for a key frame after every
// discontinuity, stops pushing while the source's queue is congested, makes
// timestamps relative to the stream's first one, and reports a requested
// frame rate about once a second (RAVK_EVENT_STATISTICS). A stream's first
// frame is timed at the pipeline's running time when it is pushed, later
// ones after it by their own timestamps' distance.
//
// A consumer lives in the handle table CORE_HANDLES_PIPELINES; the last
// release destroys it. Create and stop run on the caller's thread; one
// caller pushes a stream at a time, holding a handle reference; the bus
// handler runs on the bus thread and the buffer-release callback on
// GStreamer streaming threads, each touching only what its comment says.
//
// ravk_consumer_create returns a handle, UINT64_MAX for media flags that
// fail the check, 0 on other failures; ravk_consumer_push_live 0 (pushed
// or dropped), 1 (the source queue was full) or -1; the rest 0 or -1.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/codec_desc.h"
#include "core/names.h"
#include "ravelkit/bus.h"
#include "ravelkit/datapath.h"
#include "ravelkit/node.h"
#include "ravelkit/provider.h"  // RavkObjectState

// Latencies below this are raised to it (ns).
#define RAVK_CONSUMER_MIN_LATENCY 66000000ll
// Longest chain one push takes; a longer (or looping) chain is refused.
#define RAVK_CONSUMER_MAX_FRAMES 4096u

struct RavkConsumerConfig {
    CoreAudioCodecDesc audio_decoder;
    uint8_t reserved1[16];
    uint8_t audio_format[16];  // carried, not read
    uint32_t audio_options;
    CoreName audio_stream;
    int64_t audio_latency;  // ns
    CoreVideoCodecDesc video_decoder;
    uint8_t reserved2[16];
    uint32_t width;
    uint32_t height;
    uint32_t rate_num;
    uint32_t rate_den;
    uint32_t video_options;  // bit 0 picture controls, bit 1 reshaping and size-change events
    CoreName video_stream;
    int64_t video_latency;  // ns
    uint64_t window;        // X11 window id for the video sink
    uint64_t playback_offset;
    RavkRectangle render_rectangle;
    RavkMediaFlags media;
};

struct RavkConsumerFlow {
    RavkNode *source;
    int64_t first_timestamp;  // -1 until the first push; a pts minus it is a running time
    int64_t last_timestamp;   // the last accepted frame's own timestamp; -1 none
    int64_t last_relative;    // its relative timestamp
    uint64_t last_pushed;
    uint64_t last_level;
    std::atomic<uint64_t> statistics_due;  // ms; 0 not armed; the release callback arms it
    uint64_t hold_off;
    uint32_t requested_rate;
    uint64_t level_delta_sum;
    uint64_t consumed_sum;
    uint64_t intervals;
    int64_t average_lag;
    int64_t lag_limit;
    uint64_t resume_level;
    uint64_t overflow_level;
    uint64_t target_level;
    uint64_t capacity;
    uint32_t not_accepted;
    uint32_t congested;
    uint32_t waiting_for_key;
    uint32_t started;
    // Video catch-up: the least time a frame waited for its turn at the
    // sink (beyond the latency) over the current second, and what is left
    // to take off the timestamps.
    int64_t least_wait;
    uint64_t wait_window_end;  // ms; 0: no window open
    int64_t excess_wait;
};

struct RavkConsumer {
    RavkObjectState state;
    uint32_t role;  // RAVK_ROLE_CONSUMER; see RavkProvider
    CoreName channel;
    uint64_t handle;
    RavkBusThread *bus;
    RavkNode *pipeline;
    RavkNode *audio_sink;
    RavkNode *audio_decoder;
    uint32_t audio_orientation;
    RavkConsumerFlow audio;
    RavkNode *reshape;
    RavkNode *video_sink;
    RavkNode *color_balance;
    RavkNode *video_decoder;
    uint32_t video_orientation;
    RavkConsumerFlow video;
    RavkNode *muxed_source;
    RavkBranchList branches;
    RavkConsumerConfig config;
    std::atomic<uint32_t> ended;
};

uint64_t ravk_consumer_create(const RavkConsumerConfig *config);
int ravk_consumer_stop(uint64_t handle);
// stream 0 audio, 1 video.
int ravk_consumer_push_live(RavkConsumer *consumer, uint32_t stream, const RavkSample *frames);

// The audio sink of a sink backend (RAVK_AUDIO_BACKEND_*), named
// "audio_preview_sink"; the capture side's preview uses it too. NULL for a
// backend without a sink.
RavkNode *ravk_audio_sink_node_new(uint32_t backend);

// Frames in a duration at a rate (60/1 when the rate is unknown).
uint64_t ravk_consumer_frames_in(int64_t duration_ns, uint32_t rate_num, uint32_t rate_den);

int ravk_consumer_bus_handler(RavkBusThread *thread, const RavkBusMessage *message, void **user);
void ravk_consumer_destroy(CoreHandleTable *table, void *object, uint64_t handle);
