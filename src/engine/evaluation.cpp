#include "engine/evaluation.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/log.h"
#include "core/values.h"
#include "engine/codes.h"
#include "engine/eval_media.h"
#include "engine/names.h"
#include "engine/node.h"
#include "engine/offer_tables.h"

namespace {

constexpr const char *kLog = "evaluation";

struct LadderSize {
    uint32_t width;
    uint32_t height;
    uint32_t sourceWidth;  // what the video test source produces for it
    uint32_t sourceHeight;
};

const LadderSize kLadder[ENGINE_EVAL_LADDER_SIZES] = {
    {256, 144, 1920, 1080},   {256, 256, 1920, 1080},   {320, 180, 1920, 1080},   {320, 320, 1920, 1080},
    {384, 216, 1920, 1080},   {384, 384, 1920, 1080},   {512, 288, 1920, 1080},   {512, 512, 1920, 1080},
    {640, 360, 1920, 1080},   {640, 640, 1920, 1080},   {768, 432, 1920, 1080},   {768, 768, 1920, 1080},
    {1024, 576, 1920, 1080},  {1024, 1024, 1920, 1080}, {1280, 720, 1920, 1080},  {1280, 1280, 2048, 2048},
    {1920, 1080, 2048, 2048}, {1920, 1920, 2048, 2048}, {2048, 1152, 2560, 1440}, {2048, 2048, 2560, 1440},
    {2560, 1440, 3840, 2160}, {3360, 1890, 3840, 2160}, {3840, 2160, 3840, 2160},
};

// Trial rates in table order; the source always runs at 60/1.
const uint32_t kTrialRates[ENGINE_EVAL_TRIAL_RATES][2] = {{30, 1}, {60, 1}};

constexpr EngineAudioFormat kAudioMinimum = {8000, 1, 16, ENGINE_BYTE_ORDER_LE, 'S', {0, 0, 0}};
constexpr EngineAudioFormat kAudioMaximum = {48000, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {0, 0, 0}};
constexpr CoreVideoMode kVideoMinimum = {64, 64, 1, 1};

constexpr uint32_t kNone = core_fourcc("NONE");

double rate_of(uint32_t num, uint32_t den) { return num != 0 && den != 0 ? double(num) / double(den) : 0.0; }

uint64_t area_of(const CoreVideoMode &m) { return uint64_t(m.width) * uint64_t(m.height); }

// Whether `mode` reaches `current`: the same size or a larger area, and the
// same rate or a higher one.
bool mode_reaches(const CoreVideoMode &mode, const CoreVideoMode &current)
{
    const bool size = (mode.width == current.width && mode.height == current.height) || area_of(mode) > area_of(current);
    const bool rate = (mode.rate_num == current.rate_num && mode.rate_den == current.rate_den) ||
                      rate_of(mode.rate_num, mode.rate_den) >= rate_of(current.rate_num, current.rate_den);
    return size && rate;
}

// Whether a ladder trial fits the request's limit.
bool trial_fits(const CoreVideoMode &trial, const CoreVideoMode &limit)
{
    if (!core_video_mode_complete(&limit)) return true;
    const bool size = (trial.width == limit.width && trial.height == limit.height) || area_of(trial) < area_of(limit);
    const bool rate = (trial.rate_num == limit.rate_num && trial.rate_den == limit.rate_den) ||
                      rate_of(limit.rate_num, limit.rate_den) > rate_of(trial.rate_num, trial.rate_den);
    return size && rate;
}

void free_lists(EngineEvalContext *context)
{
    std::free(context->audioTrials);
    std::free(context->videoTrials);
    std::free(context->videoSources);
    context->audioTrials = nullptr;
    context->videoTrials = nullptr;
    context->videoSources = nullptr;
    context->audioTrialCount = 0;
    context->videoTrialCount = 0;
}

// The encoder's own format: the evaluated maximum when it is complete,
// else the registered maximum.
EngineAudioFormat encoder_format(const CoreAudioCodecDesc &desc)
{
    const RavkAudioFormat &evaluated = desc.evaluated_maximum;
    const bool complete = evaluated.rate != 0 && evaluated.rate != 0xFFFFFFFFu && evaluated.channels != 0 &&
                          evaluated.channels != 0xFF && evaluated.bits_per_sample != 0 &&
                          evaluated.bits_per_sample != 0xFF;
    EngineAudioFormat format;
    std::memcpy(&format, complete ? &desc.evaluated_maximum : &desc.maximum_format, sizeof(format));
    return format;
}

// One codec pair under test, with the counters that every record carries.
struct Pair {
    CoreAudioCodecDesc audio;
    CoreVideoCodecDesc video;
    EngineAudioFormat audioFormat;
    uint64_t audioIndex;
    uint64_t audioCount;
    uint64_t audioUsable;
    uint64_t videoIndex;
    uint64_t videoCount;
    uint64_t videoUsable;
};

EngineCaptureAudioPart audio_part(const Pair &pair)
{
    EngineCaptureAudioPart part;
    std::memset(&part, 0, sizeof(part));
    part.encoder = pair.audio;
    part.format = pair.audioFormat;
    return part;
}

EngineCaptureVideoPart video_part(const Pair &pair, const CoreVideoMode &mode)
{
    EngineCaptureVideoPart part;
    std::memset(&part, 0, sizeof(part));
    part.encoder = pair.video;
    part.mode = mode;
    return part;
}

void fill_header(EngineEvalResults *results, uint64_t rows, const Pair &pair, const CoreVideoMode &mode)
{
    engine_eval_result_init(results, rows);
    results->audio = audio_part(pair);
    results->video = video_part(pair, mode);
    results->audioCodecIndex = pair.audioIndex;
    results->audioCodecCount = pair.audioCount;
    results->audioUsableCount = pair.audioUsable;
    results->videoCodecIndex = pair.videoIndex;
    results->videoCodecCount = pair.videoCount;
    results->videoUsableCount = pair.videoUsable;
    results->trialCount = rows;
}

void post_progress(EngineEvalResults *results, const Pair &pair, const CoreVideoMode &mode)
{
    fill_header(results, 0, pair, mode);
    engine_post_event(ENGINE_EVT_EVAL_RESULT, results, engine_eval_result_size(0));
}

void post_pair_result(EngineEvalContext *context, EngineEvalResults *results, const Pair &pair,
                      const CoreVideoMode &mode)
{
    const uint64_t rows = context->audioTrialCount + context->videoTrialCount;
    fill_header(results, rows, pair, mode);
    EngineEvalTrial *row = results->rows;
    for (uint64_t i = 0; i < context->audioTrialCount; ++i, ++row) {
        *row = context->audioTrials[i];
        row->passed = 1;
    }
    EngineEvalTrial *video = row;
    for (uint64_t i = 0; i < context->videoTrialCount; ++i) video[i] = context->videoTrials[i];
    // Every trial listed below the highest passing one counts as passed.
    bool below = false;
    for (uint64_t i = context->videoTrialCount; i-- > 0;) {
        if (video[i].passed != 0) below = true;
        if (below) video[i].passed = 1;
    }
    engine_post_event(ENGINE_EVT_EVAL_RESULT, results, engine_eval_result_size(rows));
}

// The driver's wait during a trial: up to 50 x 100 ms, left early on stop.
void trial_wait(EngineEvalContext *context)
{
    for (uint32_t round = 0; round < ENGINE_EVAL_WAIT_ROUNDS && context->running.load() != 0; ++round)
        core_sleep_ms(ENGINE_EVAL_WAIT_STEP_MS);
}

enum TrialOutcome {
    kTrialRan,
    kTrialFailedToStart,  // the walk of this pair ends
    kTrialAbandoned,      // a worker did not end: the evaluation ends
};

// Makes the trial's two sides, waits and stops them again. Whatever part
// was started is stopped, also when the other side failed.
TrialOutcome run_trial(EngineEvalContext *context, const EngineCaptureAudioPart &audio,
                       const EngineCaptureVideoPart &video, const CoreVideoMode &source, const CoreName &audioCodec,
                       const CoreName &videoCodec)
{
    if (context->trialHook.fn != nullptr)
        return context->trialHook.fn(context, &audio, &video, &source, context->trialHook.user) == CORE_OK
                   ? kTrialRan
                   : kTrialFailedToStart;

    CoreName audioPipe, videoPipe;
    core_name_format(&audioPipe, "%s", ENGINE_EVAL_AUDIO_PIPELINE);
    core_name_format(&videoPipe, "%s", ENGINE_EVAL_VIDEO_PIPELINE);
    const bool generatedAudio = context->request.generatedAudio != 0;
    const bool generatedVideo = context->request.generatedVideo != 0;

    CoreResult started =
        generatedAudio
            ? engine_eval_audio_worker_start(context, &audio, &audioPipe, &audioCodec)
            : engine_eval_audio_source(context->provider, int32_t(context->request.audioBackend), &audio, &audioPipe,
                                       &audioCodec, &audio.format, nullptr);
    if (started == CORE_OK)
        started = generatedVideo
                      ? engine_eval_video_worker_start(context, &video, &videoPipe, &videoCodec, &source)
                      : engine_eval_video_source(context->provider, int32_t(context->request.videoBackend), &video,
                                                 &videoPipe, &videoCodec, &source, nullptr);
    if (started == CORE_OK) trial_wait(context);

    bool abandoned = false;
    if (generatedAudio)
        abandoned |= engine_eval_audio_worker_stop(context) != CORE_OK;
    else
        engine_eval_capture_release(context->provider, 0, 0);
    if (generatedVideo)
        abandoned |= engine_eval_video_worker_stop(context) != CORE_OK;
    else
        engine_eval_capture_release(context->provider, 1, 0);

    if (abandoned) return kTrialAbandoned;
    if (started != CORE_OK) {
        core_log(CORE_LOG_WARN, kLog, "trial %ux%u at %u/%u could not be started (%d)", video.mode.width,
                 video.mode.height, video.mode.rate_num, video.mode.rate_den, started);
        return kTrialFailedToStart;
    }
    return kTrialRan;
}

// Walks the ladder for one pair. The mode of the last trial started (the
// codec's maximum when none was) goes to *lastMode. False when the
// evaluation has to end.
bool walk_pair(EngineEvalContext *context, EngineEvalResults *results, const Pair &pair, CoreVideoMode *lastMode)
{
    CoreVideoMode current = pair.video.maximum_mode;
    *lastMode = current;
    CoreName audioCodec, videoCodec;
    core_name_format(&audioCodec, "codec.%08X.stream.%08X", uint32_t(pair.audioIndex), 0u);
    core_name_format(&videoCodec, "codec.%08X.stream.%08X", uint32_t(pair.videoIndex), ENGINE_STREAM_BIAS_VIDEO);

    int direction = 0;
    uint64_t passes = 0, failures = 0;
    for (uint64_t step = 0; step < context->videoTrialCount; ++step) {
        if (context->running.load() == 0) break;
        EngineCaptureAudioPart audio = audio_part(pair);
        EngineCaptureVideoPart video = video_part(pair, current);
        CoreVideoMode source;
        EngineEvalTrial *trial = engine_eval_next_trial(context, &source, &video.mode, pair.video.alignment_width,
                                                        pair.video.alignment_height, direction);
        if (trial == nullptr) break;
        current = video.mode;
        *lastMode = current;

        engine_eval_reset_timing(context);
        post_progress(results, pair, current);

        const TrialOutcome outcome = run_trial(context, audio, video, source, audioCodec, videoCodec);
        if (outcome == kTrialAbandoned) return false;
        if (outcome == kTrialFailedToStart) break;

        trial->passed = engine_eval_trial_passed(&current, context->videoSamples.load(), context->videoFirstMs.load(),
                                                 context->videoLastMs.load());
        if (trial->passed != 0)
            ++passes;
        else
            ++failures;
        if ((trial->passed != 0 && failures > 0) || (trial->passed == 0 && passes > 0)) break;
        direction = trial->passed != 0 ? 1 : -1;
    }
    return true;
}

uint32_t usable_video_count(uint32_t count)
{
    uint32_t usable = 0;
    CoreVideoCodecDesc desc;
    for (uint32_t i = 0; i < count; ++i)
        if (core_codec_get_video(i, ENGINE_CODEC_LIST_ENCODERS, &desc) == 0 && desc.acceleration != 0) ++usable;
    return usable;
}

void drive(EngineEvalContext *context)
{
    const uint64_t rows = context->audioTrialCount + context->videoTrialCount;
    const uint64_t size = engine_eval_result_size(rows);
    if (size == 0) return;
    auto *results = static_cast<EngineEvalResults *>(std::calloc(1, size));
    if (results == nullptr) {
        core_log(CORE_LOG_ERROR, kLog, "no memory for a result record of %llu rows", (unsigned long long)rows);
        return;
    }
    Pair pair;
    std::memset(&pair, 0, sizeof(pair));
    // An audio encoder list that does not exist counts no entries.
    pair.audioCount = core_codec_entry_count_audio(ENGINE_CODEC_LIST_ENCODERS);
    pair.audioUsable = core_codec_count_audio(ENGINE_CODEC_LIST_ENCODERS);
    bool go = true;
    for (uint64_t a = 0; go && a < pair.audioCount && context->running.load() != 0; ++a) {
        if (core_codec_get_audio(int64_t(a), ENGINE_CODEC_LIST_ENCODERS, &pair.audio) != 0) {
            core_log(CORE_LOG_WARN, kLog, "audio encoder %llu cannot be read; evaluation ends", (unsigned long long)a);
            break;
        }
        if (pair.audio.acceleration == 0) continue;
        pair.audioIndex = a;
        pair.audioFormat = encoder_format(pair.audio);
        pair.videoCount = core_codec_entry_count_video(ENGINE_CODEC_LIST_ENCODERS);
        pair.videoUsable = usable_video_count(uint32_t(pair.videoCount));
        for (uint64_t v = 0; v < pair.videoCount && context->running.load() != 0; ++v) {
            if (core_codec_get_video(int64_t(v), ENGINE_CODEC_LIST_ENCODERS, &pair.video) != 0) {
                core_log(CORE_LOG_WARN, kLog, "video encoder %llu cannot be read", (unsigned long long)v);
                break;
            }
            for (uint64_t i = 0; i < context->audioTrialCount; ++i) context->audioTrials[i].passed = 0;
            for (uint64_t i = 0; i < context->videoTrialCount; ++i) context->videoTrials[i].passed = 0;
            if (pair.video.acceleration == 0) continue;
            pair.videoIndex = v;
            CoreVideoMode lastMode;
            if (!walk_pair(context, results, pair, &lastMode)) {
                go = false;
                break;
            }
            if (context->running.load() != 0) post_pair_result(context, results, pair, lastMode);
        }
    }
    std::free(results);
}

}  // namespace

EngineEvalContext *engine_eval_context_create(EngineMediaProvider *provider)
{
    auto *context = new (std::nothrow) EngineEvalContext();
    if (context == nullptr) return nullptr;
    context->provider = provider;
    context->generatedAudioCode = kNone;
    context->generatedVideoCode = kNone;
    context->audioSleeper = core_sleeper_create();
    context->videoSleeper = core_sleeper_create();
    if (context->audioSleeper == nullptr || context->videoSleeper == nullptr) {
        core_sleeper_destroy(&context->audioSleeper);
        core_sleeper_destroy(&context->videoSleeper);
        delete context;
        return nullptr;
    }
    return context;
}

void engine_eval_context_destroy(EngineEvalContext **context)
{
    if (context == nullptr || *context == nullptr) return;
    EngineEvalContext *c = *context;
    *context = nullptr;
    engine_eval_stop(c);
    if (c->abandoned.load() != 0) {
        core_log(CORE_LOG_ERROR, kLog, "a thread of the evaluation did not end; its context is kept");
        return;
    }
    core_sleeper_destroy(&c->audioSleeper);
    core_sleeper_destroy(&c->videoSleeper);
    delete c;
}

CoreResult engine_eval_build_trials(EngineEvalContext *context, const CoreVideoMode *limit)
{
    if (context == nullptr || limit == nullptr) return CORE_ERR;
    free_lists(context);
    context->audioTrials = static_cast<EngineEvalTrial *>(std::calloc(ENGINE_EVAL_AUDIO_TRIALS, sizeof(EngineEvalTrial)));
    if (context->audioTrials == nullptr) return CORE_ERR;
    context->audioTrialCount = ENGINE_EVAL_AUDIO_TRIALS;
    EngineEvalTrial &audio = context->audioTrials[0];
    audio.kind = ENGINE_EVAL_KIND_AUDIO;
    audio.minimum.audio.format = kAudioMinimum;
    audio.maximum.audio.format = kAudioMaximum;

    uint64_t count = 0;
    for (const LadderSize &size : kLadder)
        for (const auto &rate : kTrialRates)
            count += trial_fits({size.width, size.height, rate[0], rate[1]}, *limit) ? 1 : 0;
    if (count > 0) {
        context->videoTrials = static_cast<EngineEvalTrial *>(std::calloc(count, sizeof(EngineEvalTrial)));
        context->videoSources = static_cast<CoreVideoMode *>(std::calloc(count, sizeof(CoreVideoMode)));
        if (context->videoTrials == nullptr || context->videoSources == nullptr) {
            free_lists(context);
            return CORE_ERR;
        }
    }
    uint64_t i = 0;
    for (const LadderSize &size : kLadder) {
        for (const auto &rate : kTrialRates) {
            const CoreVideoMode mode = {size.width, size.height, rate[0], rate[1]};
            if (!trial_fits(mode, *limit)) continue;
            EngineEvalTrial &trial = context->videoTrials[i];
            trial.kind = ENGINE_EVAL_KIND_VIDEO;
            trial.passed = 0;
            trial.minimum.video = kVideoMinimum;
            trial.maximum.video = mode;
            context->videoSources[i] = {size.sourceWidth, size.sourceHeight, ENGINE_EVAL_SOURCE_RATE, 1};
            ++i;
        }
    }
    context->videoTrialCount = count;
    return CORE_OK;
}

CoreResult engine_eval_start(EngineEvalContext *context, const EngineEvalRequest *request)
{
    if (context == nullptr || request == nullptr) return CORE_ERR;
    engine_eval_stop(context);
    // A driver that was abandoned may still be walking: a second one would
    // share the context with it.
    if (context->abandoned.load() != 0) return CORE_ERR;
    std::memcpy(&context->request, request, sizeof(context->request));
    if (engine_eval_build_trials(context, &context->request.sizeLimit) != CORE_OK) {
        engine_eval_stop(context);
        return CORE_ERR;
    }
    context->running.store(1);
    context->driver = core_thread_start(engine_eval_driver_thread, context, nullptr, "eval.driver");
    if (context->driver == nullptr) {
        engine_eval_stop(context);
        return CORE_ERR;
    }
    return CORE_OK;
}

void engine_eval_stop(EngineEvalContext *context)
{
    if (context == nullptr) return;
    context->running.store(0);
    bool keepLists = false;
    if (context->driver != nullptr && core_thread_join_ms(&context->driver, ENGINE_EVAL_DRIVER_JOIN_MS) != 0) {
        core_log(CORE_LOG_ERROR, kLog, "the evaluation driver did not end; its trial lists are kept");
        context->abandoned.store(1);
        keepLists = true;
    }
    engine_eval_reset_timing(context);
    if (keepLists) {
        // Left to the abandoned driver: it may still read them.
        context->audioTrials = nullptr;
        context->videoTrials = nullptr;
        context->videoSources = nullptr;
        context->audioTrialCount = 0;
        context->videoTrialCount = 0;
    } else {
        free_lists(context);
    }
}

bool engine_eval_running(const EngineEvalContext *context)
{
    return context != nullptr && context->running.load() != 0;
}

void engine_eval_reset_timing(EngineEvalContext *context)
{
    if (context == nullptr) return;
    context->audioFirstMs.store(0);
    context->videoFirstMs.store(0);
    context->audioLastMs.store(0);
    context->videoLastMs.store(0);
    context->audioSamples.store(0);
    context->videoSamples.store(0);
}

int engine_eval_on_result(EngineEvalContext *context, uint32_t origin, int32_t medium, const CoreName *name,
                          const RavkSample *samples)
{
    (void)samples;  // the evaluation counts events, not samples
    if (context == nullptr || name == nullptr) return 0;
    const bool audio = core_name_cmp_str(name->key, ENGINE_EVAL_AUDIO_PIPELINE) == 0;
    const bool video = !audio && core_name_cmp_str(name->key, ENGINE_EVAL_VIDEO_PIPELINE) == 0;
    if (origin != 0 && ((audio && medium == 0) || (video && medium == 1))) {
        std::atomic<uint64_t> &first = audio ? context->audioFirstMs : context->videoFirstMs;
        std::atomic<uint64_t> &last = audio ? context->audioLastMs : context->videoLastMs;
        std::atomic<uint64_t> &count = audio ? context->audioSamples : context->videoSamples;
        const uint64_t now = core_clock_mono_ns() / 1000000;
        last.store(now);
        uint64_t none = 0;
        first.compare_exchange_strong(none, now);
        count.fetch_add(1);
    }
    return audio || video ? 1 : 0;
}

uint64_t engine_eval_result_size(uint64_t rows)
{
    if (rows > ENGINE_EVAL_RESULT_ROWS_MAX) return 0;
    return sizeof(EngineEvalResults) + rows * sizeof(EngineEvalTrial);
}

EngineEvalResults *engine_eval_result_init(EngineEvalResults *record, uint64_t rows)
{
    const uint64_t size = engine_eval_result_size(rows);
    if (record == nullptr || size == 0) return nullptr;
    std::memset(record, 0, size);
    record->audio.encoder.input = kNone;
    record->audio.encoder.output = kNone;
    record->audio.encoder.device_number = -1;
    record->video.encoder.input = kNone;
    record->video.encoder.output = kNone;
    record->video.encoder.device_number = -1;
    for (uint64_t i = 0; i < rows; ++i) record->rows[i].kind = ENGINE_EVAL_KIND_EMPTY;
    return record;
}

uint64_t engine_eval_modes(CoreVideoMode *out, uint64_t capacity)
{
    uint64_t n = 0;
    for (const LadderSize &size : kLadder)
        for (const auto &rate : kTrialRates) {
            if (out != nullptr && n < capacity) out[n] = {size.width, size.height, rate[0], rate[1]};
            ++n;
        }
    return n;
}

EngineEvalTrial *engine_eval_next_trial(EngineEvalContext *context, CoreVideoMode *source, CoreVideoMode *current,
                                        uint32_t alignWidth, uint32_t alignHeight, int direction)
{
    if (context == nullptr || source == nullptr || current == nullptr || context->videoTrials == nullptr ||
        context->videoTrialCount == 0)
        return nullptr;
    const uint64_t count = context->videoTrialCount;
    uint64_t pick = count;
    if (direction == 0) {
        for (uint64_t i = 0; i < count && pick == count; ++i) {
            CoreVideoMode mode = context->videoTrials[i].maximum.video;
            if (mode_reaches(mode, *current)) {
                pick = i;
                continue;
            }
            core_video_mode_align(&mode, alignWidth, alignHeight);
            if (mode_reaches(mode, *current)) pick = i;
        }
        if (pick == count) pick = count / 2;
    } else {
        uint64_t at = count;
        for (uint64_t i = 0; i < count && at == count; ++i)
            if (core_video_mode_equal(&context->videoTrials[i].maximum.video, current)) at = i;
        if (at == count) return nullptr;
        if (direction > 0) {
            if (at + 1 >= count) return nullptr;
            pick = at + 1;
        } else {
            if (at == 0) return nullptr;
            pick = at - 1;
        }
    }
    EngineEvalTrial *trial = &context->videoTrials[pick];
    *current = trial->maximum.video;
    *source = context->videoSources[pick];
    return trial;
}

uint32_t engine_eval_trial_passed(const CoreVideoMode *mode, uint64_t samples, uint64_t firstMs, uint64_t lastMs)
{
    if (mode == nullptr) return 0;
    const double target = rate_of(mode->rate_num, mode->rate_den);
    const double threshold = target > 5.0 ? target - 5.0 : target;
    // Two samples in the same millisecond (or one alone) measure no time.
    const double measured = samples != 0 && firstMs != 0 && lastMs > firstMs
                                ? double(samples) * 1000.0 / double(lastMs - firstMs)
                                : 0.0;
    return measured >= threshold ? 1 : 0;
}

int engine_eval_driver_thread(void **args)
{
    auto *context = static_cast<EngineEvalContext *>(args[0]);
    if (context == nullptr) return 0;
    drive(context);
    engine_eval_reset_timing(context);
    return 0;
}
