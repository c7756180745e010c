#include "engine/eval_media.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/clock.h"
#include "core/handle.h"
#include "core/log.h"
#include "core/random.h"
#include "core/thread.h"
#include "engine/evaluation.h"
#include "ravelkit/feed.h"
#include "ravelkit/provider.h"

namespace {

constexpr const char *kLog = "evaluation";
constexpr uint32_t kLpcm = core_fourcc("lpcm");
constexpr uint32_t kRgbx = core_fourcc("RGBx");
constexpr uint32_t kNone = core_fourcc("NONE");

constexpr uint32_t kBarColours[ENGINE_EVAL_BAR_COUNT] = {
    ENGINE_EVAL_GREY,    ENGINE_EVAL_YELLOW, ENGINE_EVAL_CYAN, ENGINE_EVAL_GREEN,
    ENGINE_EVAL_MAGENTA, ENGINE_EVAL_RED,    ENGINE_EVAL_BLUE, ENGINE_EVAL_NEAR_BLACK,
};

static_assert(sizeof(ENGINE_EVAL_AUDIO_TAG_1) == ENGINE_EVAL_TAG_LENGTH + 1 &&
                  sizeof(ENGINE_EVAL_AUDIO_TAG_2) == ENGINE_EVAL_TAG_LENGTH + 1 &&
                  sizeof(ENGINE_EVAL_VIDEO_TAG_1) == ENGINE_EVAL_TAG_LENGTH + 1 &&
                  sizeof(ENGINE_EVAL_VIDEO_TAG_2) == ENGINE_EVAL_TAG_LENGTH + 1,
              "the source texts are 32 characters long");

uint64_t round_up8(uint64_t value) { return (value + 7) / 8 * 8; }

bool part_usable(uint32_t value) { return value != 0 && value != 0xFFFFFFFFu; }

// Nanoseconds of one period of num/den per second; 0 for a zero part.
uint64_t period_ns(const uint32_t rate[2])
{
    if (rate[0] == 0 || rate[1] == 0) return 0;
    return uint64_t(rate[1]) * 1000000000ull / rate[0];
}

// Sleeps in pacing steps until one period after t0 is less than a step
// away, or the worker's flag drops.
void pace(CoreSleeper *sleeper, uint64_t t0, uint64_t period, const std::atomic<uint32_t> &running)
{
    while (running.load() != 0 && core_clock_mono_ns() + ENGINE_EVAL_PACING_STEP_NS <= t0 + period) {
        if (core_sleeper_wait(sleeper, ENGINE_EVAL_PACING_STEP_NS) != 0) core_sleep_ms(1);
    }
}

void put_word(uint8_t *at, uint32_t word) { std::memcpy(at, &word, sizeof(word)); }

uint64_t capture_of(EngineMediaProvider *provider, int medium)
{
    CoreLockGuard guard(&provider->lock);
    return medium == 0 ? provider->evalAudioCapture : provider->evalVideoCapture;
}

void text_block(RavkDeviceText *out, const char *text)
{
    ravk_device_text_set(out, 0, text, ENGINE_EVAL_TAG_LENGTH);
}

// Joins a worker; its block is freed only when the thread has ended.
template <typename Block>
CoreResult join_worker(EngineEvalContext *context, CoreThreadRecord **worker, std::atomic<uint32_t> *flag)
{
    flag->store(0);
    if (*worker == nullptr) return CORE_OK;
    auto *block = static_cast<Block *>((*worker)->args[0]);
    if (core_thread_join(worker) != 0) {
        core_log(CORE_LOG_ERROR, kLog, "an evaluation worker did not end; its block is kept");
        context->abandoned.store(1);
        return CORE_ERR;
    }
    delete block;
    return CORE_OK;
}

}  // namespace

uint64_t engine_eval_audio_bytes_per_second(const EngineAudioFormat *format, uint32_t code)
{
    if (format == nullptr || code != kLpcm) return 0;
    return uint64_t(format->channels) * format->bits * format->rate / 8;
}

uint64_t engine_eval_audio_chunk_bytes(uint64_t bytesPerSecond, const uint32_t rate[2])
{
    if (rate == nullptr || rate[0] == 0 || rate[1] == 0 || bytesPerSecond == 0) return 0;
    // A rate below one chunk per second truncates to 0: no chunk size.
    const uint64_t perSecond = uint64_t(double(rate[0]) / double(rate[1]));
    if (perSecond == 0) return 0;
    return round_up8(bytesPerSecond / perSecond);
}

uint64_t engine_eval_audio_next_chunk(uint64_t *offset, uint64_t chunk, uint64_t bytesPerSecond)
{
    if (offset == nullptr || *offset >= bytesPerSecond) return 0;
    const uint64_t length = std::min(chunk, bytesPerSecond - *offset);
    *offset += chunk;
    if (*offset >= bytesPerSecond) *offset = 0;
    return length;
}

void engine_eval_audio_fill(uint8_t *buffer, uint64_t size, const EngineAudioFormat *format)
{
    if (buffer == nullptr || format == nullptr) return;
    if (format->sampleType == 'F') {
        if (format->bits == 32) {
            for (uint64_t at = 0; at + sizeof(float) <= size; at += sizeof(float)) {
                const float value = float(core_rand() / 32767.0);
                std::memcpy(buffer + at, &value, sizeof(value));
            }
        } else if (format->bits == 64) {
            for (uint64_t at = 0; at + sizeof(double) <= size; at += sizeof(double)) {
                const double value = core_rand() / 32767.0 * 2.0 - 1.0;
                std::memcpy(buffer + at, &value, sizeof(value));
            }
        } else {
            std::memset(buffer, 0, size);
        }
        return;
    }
    for (uint64_t at = 0; at < size; ++at) buffer[at] = uint8_t(core_rand() & 0xFF);
}

void engine_eval_audio_record(RavkDeviceRecord *out, const EngineAudioFormat *format, uint32_t code, int32_t backend)
{
    if (out == nullptr || format == nullptr) return;
    std::memset(out, 0, sizeof(*out));
    out->number = -1;
    core_name_format(&out->id, "%s", ENGINE_EVAL_AUDIO_STREAM);
    out->block_size = engine_eval_audio_bytes_per_second(format, code);
    out->format_code = kLpcm;
    text_block(&out->name, ENGINE_EVAL_AUDIO_TAG_1);
    text_block(&out->path, ENGINE_EVAL_AUDIO_TAG_2);
    out->flags = 1;
    out->backend = backend;
    static_assert(sizeof(out->tail.audio.format) == sizeof(*format), "the two audio formats have the same bytes");
    std::memcpy(&out->tail.audio.format, format, sizeof(*format));
}

void engine_eval_video_record(RavkDeviceRecord *out, uint32_t width, uint32_t height, int32_t backend)
{
    if (out == nullptr) return;
    std::memset(out, 0, sizeof(*out));
    out->number = -1;
    core_name_format(&out->id, "%s", ENGINE_EVAL_VIDEO_STREAM);
    const CoreFrameSize size = {width, height};
    out->block_size = core_frame_size(kRgbx, &size);
    out->format_code = kRgbx;
    text_block(&out->name, ENGINE_EVAL_VIDEO_TAG_1);
    text_block(&out->path, ENGINE_EVAL_VIDEO_TAG_2);
    out->flags = 1;
    out->backend = backend;
    out->tail.app_video.mode = {width, height, ENGINE_EVAL_SOURCE_RATE, 1};
}

CoreResult engine_eval_picture_layout(EngineEvalPicture *out, uint32_t width, uint32_t height, const uint32_t rate[2],
                                      uint32_t code)
{
    if (out == nullptr || rate == nullptr) return CORE_ERR_INVALID;
    std::memset(out, 0, sizeof(*out));
    if (!part_usable(width) || !part_usable(height) || !part_usable(rate[0]) || !part_usable(rate[1]))
        return CORE_ERR_INVALID;
    const uint32_t bytesPerPixel = core_frame_bpp(code) / 8;
    // The colours are 32-bit words.
    if (bytesPerPixel != sizeof(uint32_t)) return CORE_ERR_INVALID;
    const uint64_t bar = round_up8(width / ENGINE_EVAL_BAR_COUNT);
    if (bar == 0) return CORE_ERR_INVALID;
    const uint64_t seven = bar * (ENGINE_EVAL_BAR_COUNT - 1);
    const uint64_t last = bar * ENGINE_EVAL_BAR_COUNT == width ? bar : width > seven ? width - seven : 0;
    if (last == 0) return CORE_ERR_INVALID;
    for (uint32_t i = 0; i + 1 < ENGINE_EVAL_BAR_COUNT; ++i) out->bars[i] = uint32_t(bar);
    out->bars[ENGINE_EVAL_BAR_COUNT - 1] = uint32_t(last);

    out->width = width;
    out->height = height;
    out->bytesPerPixel = bytesPerPixel;
    out->rowBytes = uint64_t(width) * bytesPerPixel;
    out->frameBytes = out->rowBytes * height;
    // About 40 % of each side, in steps of 8, but never past the frame.
    out->noiseWidth = uint32_t(std::min<uint64_t>(round_up8(uint64_t(width) * 40 / 100), width));
    out->noiseHeight = uint32_t(std::min<uint64_t>(round_up8(uint64_t(height) * 40 / 100), height));
    if (out->noiseWidth == 0 || out->noiseHeight == 0) out->noiseWidth = out->noiseHeight = 0;
    out->noiseRowBytes = uint64_t(out->noiseWidth) * bytesPerPixel;
    out->noiseTop = (height - out->noiseHeight) / 2;
    out->noiseLeftBytes = (out->rowBytes - out->noiseRowBytes) / 2;
    return CORE_OK;
}

void engine_eval_picture_bars(const EngineEvalPicture *picture, uint8_t *frame)
{
    if (picture == nullptr || frame == nullptr || picture->height == 0) return;
    uint8_t *row = frame;
    for (uint32_t b = 0; b < ENGINE_EVAL_BAR_COUNT; ++b)
        for (uint32_t x = 0; x < picture->bars[b]; ++x, row += sizeof(uint32_t)) put_word(row, kBarColours[b]);
    for (uint32_t y = 1; y < picture->height; ++y) std::memcpy(frame + y * picture->rowBytes, frame, picture->rowBytes);
}

void engine_eval_picture_noise(const EngineEvalPicture *picture, uint8_t *noise)
{
    if (picture == nullptr || noise == nullptr) return;
    const uint64_t pixels = uint64_t(picture->noiseWidth) * picture->noiseHeight;
    for (uint64_t i = 0; i < pixels; ++i)
        put_word(noise + i * sizeof(uint32_t), (core_rand() & 1) != 0 ? ENGINE_EVAL_GREY : ENGINE_EVAL_NEAR_BLACK);
}

void engine_eval_picture_place_noise(const EngineEvalPicture *picture, uint8_t *frame, const uint8_t *noise,
                                     uint32_t r)
{
    if (picture == nullptr || frame == nullptr || noise == nullptr || picture->noiseHeight == 0) return;
    const uint32_t start = r % picture->noiseHeight;
    for (uint32_t i = 0; i < picture->noiseHeight; ++i) {
        const uint32_t from = (start + i) % picture->noiseHeight;
        std::memcpy(frame + uint64_t(picture->noiseTop + i) * picture->rowBytes + picture->noiseLeftBytes,
                    noise + uint64_t(from) * picture->noiseRowBytes, picture->noiseRowBytes);
    }
}

uint32_t engine_eval_noise_offset(void)
{
    uint32_t r = 0;
    for (int i = 0; i < 4; ++i) r = r << 8 | uint32_t(core_rand() & 0xFF);
    return r;
}

RavkSample engine_eval_sample(uint8_t *data, uint64_t size, bool first)
{
    RavkSample sample;
    std::memset(&sample, 0, sizeof(sample));
    sample.pts = -1;
    sample.dts = -1;
    sample.duration = -1;
    sample.flags = first ? RAVK_SAMPLE_DISCONT | RAVK_SAMPLE_KEY : RAVK_SAMPLE_KEY;
    sample.data = data;
    sample.size = size;
    sample.next = nullptr;
    return sample;
}

void engine_eval_capture_release(EngineMediaProvider *provider, int medium, uint64_t handle)
{
    if (provider == nullptr) return;
    uint64_t capture;
    RavkDeviceList *sources;
    {
        CoreLockGuard guard(&provider->lock);
        uint64_t &slot = medium == 0 ? provider->evalAudioCapture : provider->evalVideoCapture;
        RavkDeviceList *&registry = medium == 0 ? provider->evalAudioSources : provider->evalVideoSources;
        // A later trial's capture is not this caller's to stop.
        if (handle != 0 && slot != handle) return;
        capture = slot;
        sources = registry;
        slot = 0;
        registry = nullptr;
    }
    if (capture != 0) {
        CoreHandleTable *pipelines = core_handle_tables[CORE_HANDLES_PIPELINES];
        ravk_pipeline_stop(capture);
        core_handle_release(pipelines, capture);
        core_handle_wait_freed(pipelines, capture);
    }
    ravk_device_list_destroy(&sources);
}

CoreResult engine_eval_audio_worker_start(EngineEvalContext *context, const EngineCaptureAudioPart *part,
                                          const CoreName *pipeline, const CoreName *codecName)
{
    if (context == nullptr || part == nullptr || pipeline == nullptr || codecName == nullptr) return CORE_ERR;
    auto *block = new (std::nothrow) EngineEvalAudioWorker();
    if (block == nullptr) return CORE_ERR;
    context->audioChunkRate[0] = ENGINE_EVAL_AUDIO_CHUNK_RATE;
    context->audioChunkRate[1] = 1;
    context->generatedAudioFormat = part->format;
    context->generatedAudioCode = kLpcm;
    block->context = context;
    block->part = *part;
    block->pipeline = *pipeline;
    block->codecName = *codecName;
    engine_eval_audio_record(&block->source, &context->generatedAudioFormat, context->generatedAudioCode,
                             int32_t(context->request.audioBackend));
    context->audioWorkerRunning.store(1);
    context->audioWorker = core_thread_start(engine_eval_audio_thread, block, nullptr, "eval.audio");
    if (context->audioWorker == nullptr) {
        context->audioWorkerRunning.store(0);
        context->generatedAudioCode = kNone;
        delete block;
        return CORE_ERR;
    }
    return CORE_OK;
}

CoreResult engine_eval_video_worker_start(EngineEvalContext *context, const EngineCaptureVideoPart *part,
                                          const CoreName *pipeline, const CoreName *codecName,
                                          const CoreVideoMode *source)
{
    if (context == nullptr || part == nullptr || pipeline == nullptr || codecName == nullptr || source == nullptr)
        return CORE_ERR;
    auto *block = new (std::nothrow) EngineEvalVideoWorker();
    if (block == nullptr) return CORE_ERR;
    context->generatedVideoRate[0] = source->rate_num;
    context->generatedVideoRate[1] = source->rate_den;
    context->generatedVideoSize[0] = source->width;
    context->generatedVideoSize[1] = source->height;
    context->generatedVideoCode = kRgbx;
    block->context = context;
    block->part = *part;
    block->pipeline = *pipeline;
    block->codecName = *codecName;
    engine_eval_video_record(&block->source, source->width, source->height, int32_t(context->request.videoBackend));
    context->videoWorkerRunning.store(1);
    context->videoWorker = core_thread_start(engine_eval_video_thread, block, nullptr, "eval.video");
    if (context->videoWorker == nullptr) {
        context->videoWorkerRunning.store(0);
        context->generatedVideoCode = kNone;
        delete block;
        return CORE_ERR;
    }
    return CORE_OK;
}

CoreResult engine_eval_audio_worker_stop(EngineEvalContext *context)
{
    if (context == nullptr) return CORE_OK;
    const CoreResult result =
        join_worker<EngineEvalAudioWorker>(context, &context->audioWorker, &context->audioWorkerRunning);
    context->generatedAudioCode = kNone;
    return result;
}

CoreResult engine_eval_video_worker_stop(EngineEvalContext *context)
{
    if (context == nullptr) return CORE_OK;
    const CoreResult result =
        join_worker<EngineEvalVideoWorker>(context, &context->videoWorker, &context->videoWorkerRunning);
    context->generatedVideoCode = kNone;
    return result;
}

int engine_eval_audio_thread(void **args)
{
    auto *block = static_cast<EngineEvalAudioWorker *>(args[0]);
    if (block == nullptr || block->context == nullptr) return 0;
    EngineEvalContext *context = block->context;
    const uint64_t perSecond =
        engine_eval_audio_bytes_per_second(&context->generatedAudioFormat, context->generatedAudioCode);
    const uint64_t chunk = engine_eval_audio_chunk_bytes(perSecond, context->audioChunkRate);
    const uint64_t period = period_ns(context->audioChunkRate);
    if (perSecond == 0 || chunk == 0 || period == 0) return 0;

    // Made before the source, so that a failed allocation leaves nothing.
    auto *second = static_cast<uint8_t *>(std::malloc(perSecond));
    if (second == nullptr) return 0;
    engine_eval_audio_fill(second, perSecond, &context->generatedAudioFormat);
    if (engine_eval_audio_source(context->provider, int32_t(context->request.audioBackend), &block->part,
                                 &block->pipeline, &block->codecName, nullptr, &block->source) != CORE_OK) {
        std::free(second);
        return 0;
    }
    const uint64_t capture = capture_of(context->provider, 0);

    uint64_t offset = 0;
    for (uint64_t sent = 0; context->audioWorkerRunning.load() != 0; ++sent) {
        const uint64_t t0 = core_clock_mono_ns();
        const uint64_t at = offset;
        const uint64_t length = engine_eval_audio_next_chunk(&offset, chunk, perSecond);
        // The first two chunks go out at once, so the encoder starts with
        // 200 ms in hand.
        if (sent >= 2) pace(context->audioSleeper, t0, period, context->audioWorkerRunning);
        if (context->audioWorkerRunning.load() == 0) break;
        RavkSample sample = engine_eval_sample(second + at, length, sent == 0);
        if (ravk_provider_push(capture, RAVK_FEED_AUDIO, &sample) != 0) break;
    }
    engine_eval_capture_release(context->provider, 0, capture);
    std::free(second);
    return 0;
}

int engine_eval_video_thread(void **args)
{
    auto *block = static_cast<EngineEvalVideoWorker *>(args[0]);
    if (block == nullptr || block->context == nullptr) return 0;
    EngineEvalContext *context = block->context;
    EngineEvalPicture picture;
    if (engine_eval_picture_layout(&picture, context->generatedVideoSize[0], context->generatedVideoSize[1],
                                   context->generatedVideoRate, context->generatedVideoCode) != CORE_OK)
        return 0;
    const uint64_t period = period_ns(context->generatedVideoRate);

    auto *frame = static_cast<uint8_t *>(std::malloc(picture.frameBytes));
    auto *noise = static_cast<uint8_t *>(std::malloc(std::max<uint64_t>(picture.noiseRowBytes * picture.noiseHeight, 1)));
    if (frame == nullptr || noise == nullptr) {
        std::free(frame);
        std::free(noise);
        return 0;
    }
    engine_eval_picture_bars(&picture, frame);
    engine_eval_picture_noise(&picture, noise);
    if (engine_eval_video_source(context->provider, int32_t(context->request.videoBackend), &block->part,
                                 &block->pipeline, &block->codecName, nullptr, &block->source) != CORE_OK) {
        std::free(frame);
        std::free(noise);
        return 0;
    }
    const uint64_t capture = capture_of(context->provider, 1);

    // The frame is pushed without a copy and only the patch rows change
    // between pushes; the pipeline is stopped before the frame is freed.
    for (uint64_t sent = 0; context->videoWorkerRunning.load() != 0; ++sent) {
        const uint64_t t0 = core_clock_mono_ns();
        engine_eval_picture_place_noise(&picture, frame, noise, engine_eval_noise_offset());
        if (sent >= 1) pace(context->videoSleeper, t0, period, context->videoWorkerRunning);
        if (context->videoWorkerRunning.load() == 0) break;
        RavkSample sample = engine_eval_sample(frame, picture.frameBytes, sent == 0);
        if (ravk_provider_push(capture, RAVK_FEED_VIDEO, &sample) != 0) break;
    }
    engine_eval_capture_release(context->provider, 1, capture);
    std::free(frame);
    std::free(noise);
    return 0;
}
