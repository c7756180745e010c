// Provider pipelines: the capture side. One GStreamer pipeline takes an
// audio device and a video device from the device lists, converts, scales,
// rate-limits and encodes their media and hands the encoded frames to the
// engine as RAVK_EVENT_SAMPLES batches on RAVK_PIPELINE_CHANNEL. In probe
// mode the video branch ends in an app sink that reports the negotiated raw
// format (RAVK_EVENT_FORMAT) instead. With RAVK_MEDIA_MUXED both branches
// end in one muxer, whose container chunks are posted under the audio
// header (the video one when there is no audio); with RAVK_STREAM_PREVIEW
// a tee also hands the captured media to a local sink. Buffers larger than
// the visible picture are cropped (or reinterpreted by a raw parser) and a
// padded mode is padded to before the encoder.
//
// A provider lives in the handle table CORE_HANDLES_PIPELINES; the last
// release destroys it. Create, build, start and stop run on the caller's
// thread, which holds a handle reference. Each app sink delivers on its own
// streaming thread and owns its own batch, so the audio and the video sink
// never share batch state; the engine's handler runs synchronously on that
// streaming thread and must copy or send the chain before it returns. The
// two rate caps are kept under the provider's lock.
//
// Operations return 0 or -1; ravk_provider_create returns a handle (0 on
// failure); the sample and caps callbacks return -1 for an unknown handle.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "core/codec_desc.h"
#include "core/names.h"
#include "core/video.h"
#include "ravelkit/bus.h"
#include "ravelkit/devices.h"
#include "ravelkit/node.h"

// Stream options.
enum : uint32_t {
    RAVK_STREAM_PREVIEW = 1,       // a local preview sink behind a tee
    RAVK_STREAM_FLOW_CONTROL = 2,  // an app-fed source gets both flow flags
    RAVK_STREAM_COPY_DATA = 4,     // frames fed by the application are copied
};

// Media bit that skips the configuration checks.
#define RAVK_MEDIA_UNCHECKED 8u

enum RavkObjectState : uint32_t {
    RAVK_STATE_CREATED = 0,
    RAVK_STATE_STOPPED = 1,
    RAVK_STATE_PAUSED = 2,
    RAVK_STATE_PLAYING = 3,
};

struct RavkProviderAudioStream {
    uint32_t options;
    CoreName stream;
    RavkDeviceList *devices;
    CoreName device;
    CoreAudioCodecDesc encoder;  // direction 0: no encoding
    RavkStreamFormat format;
};

struct RavkProviderVideoStream {
    uint32_t options;
    CoreName stream;
    RavkDeviceList *devices;
    CoreName device;
    CoreVideoCodecDesc encoder;  // direction 0: no encoding
    RavkStreamFormat format;     // width, height and rate to encode
};

struct RavkProviderConfig {
    RavkProviderAudioStream audio;
    RavkProviderVideoStream video;
    uint32_t show_cursor;
    uint32_t show_clicks;
    RavkFraction minimum_rate;
    uint64_t buffer1_size;
    void *buffer1;
    uint64_t buffer2_size;
    void *buffer2;
    RavkMediaFlags media;
    uint32_t batch_size;  // bytes per batch; 0: every sample is posted alone
};

// The samples of one app sink collected for one post. Only that sink's
// streaming thread touches it, and the stop flushes it after the pipeline
// has stopped.
struct RavkSampleBatch {
    RavkSampleBatchHeader header;
    uint8_t *buffer;  // batch size bytes, or NULL
    uint64_t used;
    uint64_t last;  // offset of the last appended header; used = 0: none
};

// Providers and consumers share the pipeline handle table; both begin with
// these two words so that ravk_pipeline_stop can tell them apart.
struct RavkProvider {
    RavkObjectState state;
    uint32_t role;  // RAVK_ROLE_PROVIDER
    CoreName channel;
    uint64_t handle;
    RavkBusThread *bus;
    RavkNode *pipeline;
    RavkNode *preview_sink;
    RavkNode *live_rate;
    RavkNode *audio_encoder;
    RavkNode *video_encoder;
    RavkNode *audio_app_source;
    RavkNode *video_app_source;
    RavkNode *audio_source;
    RavkNode *video_source;
    uint32_t audio_source_fourcc;
    uint32_t video_source_fourcc;
    RavkNode *audio_app_sink;
    RavkNode *video_app_sink;
    RavkNode *muxed_app_sink;
    RavkBranchList branches;
    RavkProviderConfig config;
    std::atomic<uint32_t> enabled;
    std::atomic<uint32_t> ended;
    RavkSampleBatch audio_batch;
    RavkSampleBatch video_batch;
    CoreVideoMode padded_mode;
    CoreVideoMode buffer_mode;
    CoreVideoMode visible_mode;
    CoreVideoMode encode_mode;
    // The size the app-fed video source's caps declare: the layout of the
    // frames the application pushes. 0 x 0 when the caps name none.
    CoreFrameSize feed_size;
    std::mutex *lock;  // the two rate caps
    RavkFraction bitrate_cap;
    RavkFraction external_cap;
};

RavkProviderConfig *ravk_provider_config_init(RavkProviderConfig *config);
uint64_t ravk_provider_create(const RavkProviderConfig *config);
// Building a provider that has a pipeline does nothing and returns 0; a
// failure leaves what was made to the destroy operation.
int ravk_provider_build(RavkProvider *provider, uint64_t audio_bitrate, uint64_t video_bitrate, int probe);
int ravk_provider_start(RavkProvider *provider);
int ravk_provider_build_and_start(uint64_t handle);
// Providers and consumers alike; a provider's unposted batches are posted
// once its pipeline has stopped. -1 for an unknown handle.
int ravk_pipeline_stop(uint64_t handle);
int ravk_provider_set_audio_bitrate(uint64_t handle, uint64_t bits_per_second);
int ravk_provider_set_video_bitrate(uint64_t handle, uint64_t bits_per_second);
// Stores the given caps (NULL: keep) and answers the lower valid one (a
// tie gives the external cap), else the valid one, else 0/0.
RavkFraction *ravk_provider_framerate_cap(RavkProvider *provider, const RavkFraction *bitrate_cap,
                                          const RavkFraction *external_cap, RavkFraction *out);
// The frame rate a video bitrate can carry at the provider's encode size.
RavkFraction ravk_provider_rate_cap_for_bitrate(const RavkProvider *provider, uint64_t bits_per_second);

// The app sinks' sample callback and the probe's caps callback; user is
// {pipeline handle table, own handle}.
int32_t ravk_provider_on_sample(RavkNode *node, const RavkSample *sample, uint64_t total, void **user);
int32_t ravk_provider_on_caps(RavkNode *node, const uint32_t size[2], const uint32_t rate[2], uint32_t fourcc,
                              void **user);
int ravk_provider_bus_handler(RavkBusThread *thread, const RavkBusMessage *message, void **user);

// The destroy operation of the handle table.
void ravk_provider_destroy(CoreHandleTable *table, void *object, uint64_t handle);
