// Media that the engine generates for the codec evaluation in place of the
// framework's test sources: one second of random audio samples fed in
// 100 ms chunks, and a colour-bar picture with a noise patch that jumps
// every frame, fed at the trial's source rate.
//
// For each trial whose request asks for generated audio or video, the
// evaluation driver (engine/evaluation.h) starts a worker per medium. The
// worker makes the evaluation capture of its medium through the media
// provider with an application-fed source, generates its media once, then
// pushes it (zero-copy, ravk_provider_push) paced by the context's
// high-resolution sleeper until the driver clears its flag or a push
// fails; on the way out it stops and frees the capture and the registry
// it made. The driver joins it at the end of the trial.
//
// Threads: the start and stop functions run on the driver, the thread
// functions on their own threads; a worker touches its block (owned by the
// driver's start/stop pair), its flag, its sleeper and its own capture in
// the provider. The generators and layout helpers are pure (apart from
// the calling thread's generator, core_rand) and run on any thread.
//
// Results: CoreResult codes or sizes as each function says; the thread
// functions return 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/names.h"
#include "core/result.h"
#include "core/video.h"
#include "engine/capture.h"
#include "engine/props.h"
#include "ravelkit/bus.h"
#include "ravelkit/devices.h"

struct EngineEvalContext;

// Device ids and the two text blocks of the application-fed sources; each
// text is 32 characters long.
#define ENGINE_EVAL_AUDIO_STREAM "evaluate.audio.stream"
#define ENGINE_EVAL_VIDEO_STREAM "evaluate.video.stream"
#define ENGINE_EVAL_AUDIO_TAG_1 "3B7E0C5A91D24F6E8A17C4D2B05F9E63"
#define ENGINE_EVAL_AUDIO_TAG_2 "C81F4A2D6E9B47308D5A1E7C2F64B90A"
#define ENGINE_EVAL_VIDEO_TAG_1 "5D2A9E7C04B1486F9C3E6A1D8B72F05E"
#define ENGINE_EVAL_VIDEO_TAG_2 "A04C7E1B9F3D42658E2B7D0A6C19F3E4"
#define ENGINE_EVAL_TAG_LENGTH 32u

// Chunks per second of generated audio; the source rate of generated video.
#define ENGINE_EVAL_AUDIO_CHUNK_RATE 10u
#define ENGINE_EVAL_SOURCE_RATE 60u
// The pacing step: short enough that 60 frames per second and 100 ms
// chunks go out on time.
#define ENGINE_EVAL_PACING_STEP_NS 500000ull

// The eight bars from left to right, as 32-bit words stored little-endian
// (bytes R, G, B, x of "RGBx").
enum : uint32_t {
    ENGINE_EVAL_GREY = 0xFFC0C0C0u,
    ENGINE_EVAL_YELLOW = 0xFF00C0C0u,
    ENGINE_EVAL_CYAN = 0xFFC0C000u,
    ENGINE_EVAL_GREEN = 0xFF00C000u,
    ENGINE_EVAL_MAGENTA = 0xFFC000C0u,
    ENGINE_EVAL_RED = 0xFF0000C0u,
    ENGINE_EVAL_BLUE = 0xFFC00000u,
    ENGINE_EVAL_NEAR_BLACK = 0xFF101010u,
};
#define ENGINE_EVAL_BAR_COUNT 8u

// What a worker receives; owned by the driver for the whole trial.
struct EngineEvalAudioWorker {
    EngineEvalContext *context;
    EngineCaptureAudioPart part;  // the audio encoder under test
    CoreName pipeline;            // ENGINE_EVAL_AUDIO_PIPELINE
    CoreName codecName;           // "codec.%08X.stream.%08X"
    RavkDeviceRecord source;      // the application-fed source
};
struct EngineEvalVideoWorker {
    EngineEvalContext *context;
    EngineCaptureVideoPart part;  // the video encoder under test with the trial mode
    CoreName pipeline;            // ENGINE_EVAL_VIDEO_PIPELINE
    CoreName codecName;
    RavkDeviceRecord source;
};

// The geometry of a generated picture.
struct EngineEvalPicture {
    uint32_t width;
    uint32_t height;
    uint32_t bytesPerPixel;
    uint64_t rowBytes;
    uint64_t frameBytes;
    uint32_t bars[ENGINE_EVAL_BAR_COUNT];  // widths in pixels, left to right
    uint32_t noiseWidth;   // 0 x 0: no noise patch
    uint32_t noiseHeight;
    uint64_t noiseRowBytes;
    uint32_t noiseTop;        // first frame row of the patch
    uint64_t noiseLeftBytes;  // byte column of the patch
};

// channels x bits x rate / 8 when code is "lpcm", else 0.
uint64_t engine_eval_audio_bytes_per_second(const EngineAudioFormat *format, uint32_t code);

// Bytes of one chunk: bytesPerSecond divided by the whole chunks per second
// (rate numerator / denominator, truncated), rounded up to a multiple of
// 8; 0 when either is 0.
uint64_t engine_eval_audio_chunk_bytes(uint64_t bytesPerSecond, const uint32_t rate[2]);

// The length of the chunk at *offset (`chunk`, or the rest of the second
// when less remains) and *offset moved past it, back to 0 at the end of
// the second.
uint64_t engine_eval_audio_next_chunk(uint64_t *offset, uint64_t chunk, uint64_t bytesPerSecond);

// Fills `size` bytes of samples from the calling thread's generator:
// 32-bit floats in 0..1, 64-bit floats in -1..1, other float widths zero,
// any other sample type random bytes.
void engine_eval_audio_fill(uint8_t *buffer, uint64_t size, const EngineAudioFormat *format);

// The application-fed source records as the driver fills them; every byte
// not named is zero. The audio record's size is the bytes per second of
// `code` (0 unless "lpcm"); the video record's the bytes of one "RGBx"
// frame of width x height, its first mode that size at 60/1.
void engine_eval_audio_record(RavkDeviceRecord *out, const EngineAudioFormat *format, uint32_t code,
                              int32_t backend);
void engine_eval_video_record(RavkDeviceRecord *out, uint32_t width, uint32_t height, int32_t backend);

// The geometry of a picture of the given size, rate and pixel FourCC.
// CORE_OK; CORE_ERR_INVALID when the size or a rate part is 0 or
// 0xFFFFFFFF, the pixels are not 32-bit words, or the bars do not fit the
// width (a bar would be 0 wide). The noise patch is kept inside the frame.
CoreResult engine_eval_picture_layout(EngineEvalPicture *out, uint32_t width, uint32_t height,
                                      const uint32_t rate[2], uint32_t code);

// Every row of the frame with the eight bars.
void engine_eval_picture_bars(const EngineEvalPicture *picture, uint8_t *frame);
// The noise patch: each pixel grey for an odd core_rand(), else near black.
void engine_eval_picture_noise(const EngineEvalPicture *picture, uint8_t *noise);
// The patch into the centre of the frame, starting at noise row
// r modulo the patch height and wrapping round.
void engine_eval_picture_place_noise(const EngineEvalPicture *picture, uint8_t *frame, const uint8_t *noise,
                                     uint32_t r);
// Four core_rand() values, low byte of each, the first most significant.
uint32_t engine_eval_noise_offset(void);

// The single sample of a push: times unknown, flags 3 (discontinuity and
// key frame) for a worker's first sample, 2 after.
RavkSample engine_eval_sample(uint8_t *data, uint64_t size, bool first);

// Driver side. Start: set the context's generated-media parameters, fill
// the block's source record, raise the worker's flag and start its thread
// (the video source size from `source`). CORE_OK; CORE_ERR when the
// thread cannot be made (the flag and code are reset) or an argument is
// missing.
CoreResult engine_eval_audio_worker_start(EngineEvalContext *context, const EngineCaptureAudioPart *part,
                                          const CoreName *pipeline, const CoreName *codecName);
CoreResult engine_eval_video_worker_start(EngineEvalContext *context, const EngineCaptureVideoPart *part,
                                          const CoreName *pipeline, const CoreName *codecName,
                                          const CoreVideoMode *source);
// Stop: clear the flag, join the worker, set the code back to "NONE".
// CORE_OK also when none runs; CORE_ERR when the worker was abandoned (its
// block is then kept, and the context is marked abandoned).
CoreResult engine_eval_audio_worker_stop(EngineEvalContext *context);
CoreResult engine_eval_video_worker_stop(EngineEvalContext *context);

// The worker threads (args[0]: the worker block). Return 0.
int engine_eval_audio_thread(void **args);
int engine_eval_video_thread(void **args);

// Stops and frees the provider's evaluation capture of a medium (0 audio,
// 1 video) and destroys its registry, when the capture is `handle` (0:
// whatever capture is there).
void engine_eval_capture_release(EngineMediaProvider *provider, int medium, uint64_t handle);
