// Capture start and stop: the media provider's streams as running capture
// objects of the multimedia framework.
//
// For each profile slot of the provider (engine/provider.h) this module
// fills the framework's provider configuration, makes the capture objects
// when a binding is answered, builds and starts them when the send service
// reports a stream open, applies the receivers' bitrate and frame-rate
// wishes while they run, answers whether an application-fed source may take
// its next frame, and stops and removes streams on tasks of the provider's
// executor, draining the provider when a binding ends. It also makes the
// two test-source captures of the codec evaluation. The encoded samples of
// a running capture leave it as RAVK_EVENT_SAMPLES on the pipeline channel,
// one batch per sample, named by the stream.
//
// Threads: starts and encoder changes run on the command and event topic
// consumers, the frame-rate cap and the stream query on control-service
// callers, the stop tasks on the provider's executor, the drain on its
// caller's thread (it polls while the stop tasks run), the evaluation
// sources on the evaluation's threads. Streams are used under reader
// references of their stores and capture objects between
// core_handle_acquire and core_handle_release, so an object is never freed
// under a user; no provider lock is held across a framework call.
//
// Results: CoreResult codes as each function says; engine_capture_create
// returns a capture handle or 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/codec_desc.h"
#include "core/names.h"
#include "core/result.h"
#include "core/video.h"
#include "engine/props.h"
#include "engine/provider.h"
#include "engine/send.h"
#include "ravelkit/node.h"
#include "ravelkit/provider.h"

// Steps of the bitrate tables at which encoders start: adaptive, constant.
#define ENGINE_START_STEP_ADAPTIVE 4
#define ENGINE_START_STEP_CONSTANT 7

// Stream kinds of the encoder operations.
enum : int {
    ENGINE_STREAM_KIND_AUDIO = 0,
    ENGINE_STREAM_KIND_VIDEO = 1,
};

// Device ids of the evaluation sources.
#define ENGINE_EVAL_AUDIO_DEVICE "evaluate.audio.source"
#define ENGINE_EVAL_VIDEO_DEVICE "evaluate.video.source"

// The 420-byte data of ENGINE_EVT_STREAM_STARTED and ENGINE_EVT_STREAM_STOPPED.
struct EngineStreamInfo {
    uint32_t reserved;   // 0
    uint32_t features;   // 0 for a capture stream; the playback feature bits otherwise
    uint32_t direction;  // 0 capture, 1 playback
    CoreName channel;
    CoreName slot;
    CoreName stream;
};
static_assert(sizeof(EngineStreamInfo) == 420 && offsetof(EngineStreamInfo, channel) == 12 &&
                  offsetof(EngineStreamInfo, slot) == 148 && offsetof(EngineStreamInfo, stream) == 284,
              "stream info travels as 420 raw bytes");

// The media part of a stream configuration: the encoder and what it
// encodes, laid out as the framework's stream configuration holds them.
struct EngineCaptureAudioPart {
    CoreAudioCodecDesc encoder;
    uint64_t reserved[2];  // zero
    EngineAudioFormat format;
    uint32_t reserved2;  // zero
};
struct EngineCaptureVideoPart {
    CoreVideoCodecDesc encoder;
    uint64_t profile;        // capability slot 2 when it holds a value; zero
    uint64_t codingOptions;  // capability slot 4 when it holds a value; zero
    CoreVideoMode mode;
};

// The 1864-byte data of ENGINE_EVT_CAPTURE_CREATED. A medium that is not
// captured keeps the values of an initialised framework configuration.
struct EngineCaptureFormats {
    EngineCaptureAudioPart audio;
    EngineCaptureVideoPart video;
};
static_assert(sizeof(EngineCaptureAudioPart) == 920 && offsetof(EngineCaptureAudioPart, format) == 904,
              "audio part is 920 bytes");
static_assert(sizeof(EngineCaptureVideoPart) == 944 && offsetof(EngineCaptureVideoPart, mode) == 928,
              "video part is 944 bytes");
static_assert(sizeof(EngineCaptureFormats) == 1864 && offsetof(EngineCaptureFormats, video) == 920,
              "capture formats travel as 1864 raw bytes");
// The parts are copied byte for byte out of the framework's configuration.
static_assert(offsetof(RavkProviderAudioStream, format) - offsetof(RavkProviderAudioStream, encoder) ==
                      offsetof(EngineCaptureAudioPart, reserved) &&
                  sizeof(RavkStreamFormat) == sizeof(EngineCaptureAudioPart) - offsetof(EngineCaptureAudioPart, reserved),
              "audio part matches the framework's audio stream");
static_assert(offsetof(RavkProviderVideoStream, format) - offsetof(RavkProviderVideoStream, encoder) ==
                      offsetof(EngineCaptureVideoPart, profile) &&
                  sizeof(RavkStreamFormat) == sizeof(EngineCaptureVideoPart) - offsetof(EngineCaptureVideoPart, profile),
              "video part matches the framework's video stream");
static_assert(sizeof(EngineAudioFormat) == sizeof(RavkAudioFormat), "the two audio formats have the same bytes");

// The 140-byte request of ENGINE_CTL_QUERY_STREAM.
struct EngineStreamQuery {
    uint32_t kind;    // 0 the audio slot, 1 the video slot, other the first profile
    CoreName stream;
};
static_assert(sizeof(EngineStreamQuery) == 140 && offsetof(EngineStreamQuery, stream) == 4,
              "stream query is 140 bytes");

// The framework's capture option word of a source slot's parameter: 4 with
// bit 0x100 (fed frames are copied), 2 with a low byte of 1 (flow control),
// else 0.
uint32_t engine_capture_mode(uint32_t slotParam);

// Fill the audio / video stream configuration of a capture object for the
// named stream; codecName may name the encoder ("codec.%08X..."). CORE_OK;
// CORE_ERR when an encoder cannot be copied out of its list.
CoreResult engine_capture_audio_config(EngineMediaProvider *provider, RavkProviderAudioStream *out,
                                       const CoreName *stream, const CoreName *codecName);
CoreResult engine_capture_video_config(EngineMediaProvider *provider, RavkProviderVideoStream *out,
                                       const CoreName *stream, const CoreName *codecName);

// Makes a capture object for the media of `mask` (RavkMediaFlags) serving
// the two named streams (either may be NULL when its medium is not in the
// mask). Posts ENGINE_EVT_CAPTURE_CREATED once it is made. The handle, or 0.
uint64_t engine_capture_create(EngineMediaProvider *provider, uint32_t mask, const CoreName *audioStream,
                               const CoreName *videoStream, const CoreName *codecName);

// Makes the capture objects of a profile's streams that have none: one
// shared object for a combined slot, else one per stream. CORE_OK;
// CORE_ERR when a creation failed.
CoreResult engine_provider_create_captures(EngineMediaProvider *provider, EngineProfile *profile);

// Builds and starts the capture object of the stream that the send service
// reported open (record: ENGINE_EVT_SEND_STREAM_OPENED) and posts
// ENGINE_EVT_STREAM_STARTED once per stream. CORE_DONE for an unknown slot
// or stream; CORE_ERR when a video encoder failed; otherwise CORE_OK (an
// audio failure is only reported).
CoreResult engine_provider_start_encoders(EngineMediaProvider *provider, const EngineSendStreamEvent *record);

// Posts "Failed on start audio encoder" and/or "Failed on start video
// encoder" by the media bits, joined by ". " and ended by ".", as
// ENGINE_EVT_STREAMER_ERROR.
void engine_report_encoder_failure(uint32_t mediaFlags);

// Executor task (name1 the profile slot, name2 the stream, user[0] the
// provider): stops the stream's capture object, removes the stream and
// posts ENGINE_EVT_STREAM_STOPPED when it had started. CORE_DONE (the task
// ends); CORE_ERR when the profile is missing.
int engine_provider_stop_task(const CoreName *executor, uint64_t task, const CoreName *name1, const CoreName *name2,
                              void **user);

// Schedules the stop task of every stream and waits, in 50 ms polls, until
// no stream is left or 2000 ms per stream plus 2000 ms have passed (4000 ms
// with no stream, returning at once then).
void engine_provider_drain(EngineMediaProvider *provider);

// Gives the encoder of the named stream a bit rate: `bitrate`, or with 0
// the table entry of `step` (0 to 7) for the stream kind. CORE_OK applied
// or nothing to do; CORE_DONE the value is current already;
// CORE_ERR_INVALID no bitrate and no valid step; CORE_ERR_STATE under a
// constant bitrate policy; CORE_ERR without a capability or a profile.
CoreResult engine_provider_apply_encoder(EngineMediaProvider *provider, const CoreName *stream, uint64_t bitrate,
                                         int32_t step, int kind);

// Caps the frame rate of the named video stream at `rate` (the lower of it
// and the cap the bitrate set). CORE_OK; CORE_ERR without a profile.
CoreResult engine_provider_cap_framerate(EngineMediaProvider *provider, const CoreName *stream,
                                         const RavkFraction *rate);

// CORE_DONE when the stream's source may take a frame; CORE_ERR_BUSY while
// a frame pushed into it is still in flight; CORE_ERR for an unknown
// stream or a capture object that is gone.
CoreResult engine_provider_query_stream(EngineMediaProvider *provider, const EngineStreamQuery *request);

// The evaluation captures: a test source (or, with appSource, an
// application-fed source described by the framework's device record) in a
// registry of their own, encoded by the part's encoder, built and started.
// A previous evaluation capture of the medium is released first. CORE_OK;
// CORE_ERR on any failure (nothing of this call is left behind).
CoreResult engine_eval_audio_source(EngineMediaProvider *provider, int32_t backend, const EngineCaptureAudioPart *part,
                                    const CoreName *stream, const CoreName *codecName, const EngineAudioFormat *format,
                                    const RavkDeviceRecord *appSource);
CoreResult engine_eval_video_source(EngineMediaProvider *provider, int32_t backend, const EngineCaptureVideoPart *part,
                                    const CoreName *stream, const CoreName *codecName, const CoreVideoMode *mode,
                                    const RavkDeviceRecord *appSource);
