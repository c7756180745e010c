// The codec evaluation: its trial lists, the choice of the next trial, the
// verdict, the result records and the timing of samples events as tables;
// the driver walking the ladder on a running engine node with measurements
// injected through the trial seam (verdicts, stop, busy state, events as
// the interface reads them); and the driver over the machine's real
// software encoders (Opus, VP8, VP9) with test sources and with generated
// media, for the shape of a run only.
#include "engine/evaluation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/notify.h"
#include "core/values.h"
#include "engine/codes.h"
#include "engine/eval_media.h"
#include "engine/offer_tables.h"
#include "provider_support.h"
#include "ravelkit/init.h"
#include "ravelkit/linux_values.h"

using namespace provider_support;

// GLib's library constructor allocates its first quark block and abandons
// it when the quark table grows in gst_init; some plug-ins keep what they
// allocate for the process. Our code runs none of these.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:_dl_init\n"
           "leak:libpulse.so\n"
           "leak:libgstvulkan\n"
           "leak:libgstximagesrc.so\n";
}

// GLib is built without frame pointers: the fast unwinder stops inside it.
extern "C" const char *__asan_default_options() { return "fast_unwind_on_malloc=0:malloc_context_size=8"; }

namespace {

constexpr uint32_t kOpus = core_fourcc("opus");
constexpr uint32_t kVp8 = core_fourcc("VP8X");
constexpr uint32_t kVp9 = core_fourcc("VP9X");

// The twelve trials of the dialog's limit, 768 x 768 at 30/1.
const CoreVideoMode kDialogLimit = {768, 768, 30, 1};
const CoreVideoMode kDialogLadder[12] = {
    {256, 144, 30, 1}, {256, 256, 30, 1}, {320, 180, 30, 1}, {320, 320, 30, 1}, {384, 216, 30, 1}, {384, 384, 30, 1},
    {512, 288, 30, 1}, {512, 512, 30, 1}, {640, 360, 30, 1}, {640, 640, 30, 1}, {768, 432, 30, 1}, {768, 768, 30, 1},
};

bool equal(const CoreVideoMode &a, const CoreVideoMode &b) { return core_video_mode_equal(&a, &b) == 1; }

std::string text(const CoreVideoMode &m)
{
    return std::to_string(m.width) + "x" + std::to_string(m.height) + "@" + std::to_string(m.rate_num) + "/" +
           std::to_string(m.rate_den);
}

EngineEvalRequest request(const CoreVideoMode &limit, uint32_t generated = 0)
{
    EngineEvalRequest r;
    std::memset(&r, 0, sizeof r);
    r.generatedAudio = generated;
    r.generatedVideo = generated;
    r.audioBackend = 1;
    r.videoBackend = 1;
    r.sizeLimit = limit;
    return r;
}

// A context of its own for the table tests; no engine node needed.
struct Context {
    EngineEvalContext *context = engine_eval_context_create(nullptr);
    ~Context() { engine_eval_context_destroy(&context); }
    EngineEvalContext *operator->() { return context; }
};

// The ENGINE_EVT_EVAL_RESULT records a running node posted, whole.
class ResultLog {
public:
    void subscribe()
    {
        topic_ = name_of(ENGINE_EVENT_TOPIC);
        CoreTopicSubscription subscription{&ResultLog::on_message, {this, nullptr}};
        key_ = core_topic_subscribe(&topic_, &subscription);
        ASSERT_NE(key_, 0u);
    }
    void unsubscribe()
    {
        if (key_ != 0) core_topic_unsubscribe(&topic_, key_);
        key_ = 0;
    }
    void flush()
    {
        CoreMessage marker{};
        marker.type = kMarker;
        const uint64_t number = core_topic_post(&topic_, &marker);
        ASSERT_NE(number, 0u);
        ASSERT_EQ(core_topic_wait(&topic_, number), CORE_OK);
    }
    void clear()
    {
        std::lock_guard<std::mutex> guard(lock_);
        records_.clear();
    }
    // Progress records (no rows) or pair results (rows), in posting order.
    std::vector<std::vector<uint8_t>> progress() { return pick(false); }
    std::vector<std::vector<uint8_t>> results() { return pick(true); }
    bool wait_results(size_t count, uint64_t ms = 20000)
    {
        return wait_until([&] { return results().size() >= count; }, ms);
    }

private:
    std::vector<std::vector<uint8_t>> pick(bool rows)
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<std::vector<uint8_t>> out;
        for (const auto &r : records_)
            if ((r.size() > sizeof(EngineEvalResults)) == rows) out.push_back(r);
        return out;
    }
    static CoreResult on_message(const CoreQueueEntry *message, void **user)
    {
        auto *self = static_cast<ResultLog *>(user[0]);
        if (message->type != ENGINE_EVT_EVAL_RESULT) return CORE_OK;
        const auto *bytes = static_cast<const uint8_t *>(message->data);
        std::lock_guard<std::mutex> guard(self->lock_);
        self->records_.emplace_back(bytes, bytes + message->length);
        return CORE_OK;
    }

    CoreName topic_{};
    uint64_t key_ = 0;
    std::mutex lock_;
    std::vector<std::vector<uint8_t>> records_;
};

const EngineEvalResults &as_results(const std::vector<uint8_t> &bytes)
{
    return *reinterpret_cast<const EngineEvalResults *>(bytes.data());
}

// A record as the interface reads it: 1920 bytes, the row count at 1912,
// then the rows; the audio row first.
void expect_layout(const std::vector<uint8_t> &bytes, uint64_t rows)
{
    ASSERT_EQ(bytes.size(), 1920 + 40 * rows);
    uint64_t count;
    std::memcpy(&count, &bytes[1912], 8);
    EXPECT_EQ(count, rows);
    const EngineEvalResults &r = as_results(bytes);
    EXPECT_EQ(r.audio.reserved[0] | r.audio.reserved[1] | r.audio.reserved2, 0u);
    EXPECT_EQ(r.video.profile | r.video.codingOptions, 0u);
    if (rows == 0) return;
    const EngineEvalTrial &audio = r.rows[0];
    EXPECT_EQ(audio.kind, ENGINE_EVAL_KIND_AUDIO);
    EXPECT_EQ(audio.passed, 1u) << "the audio row always passes";
    const EngineAudioFormat low = {8000, 1, 16, ENGINE_BYTE_ORDER_LE, 'S', {0, 0, 0}};
    const EngineAudioFormat high = {48000, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {0, 0, 0}};
    EXPECT_EQ(std::memcmp(&audio.minimum.audio.format, &low, sizeof low), 0);
    EXPECT_EQ(std::memcmp(&audio.maximum.audio.format, &high, sizeof high), 0);
    EXPECT_EQ(audio.minimum.audio.reserved | audio.maximum.audio.reserved, 0u);
    for (uint64_t i = 1; i < rows; ++i) {
        EXPECT_EQ(r.rows[i].kind, ENGINE_EVAL_KIND_VIDEO);
        EXPECT_TRUE(equal(r.rows[i].minimum.video, {64, 64, 1, 1}));
        EXPECT_LE(r.rows[i].passed, 1u);
    }
}

CoreAudioCodecDesc audio_encoder(uint32_t acceleration, const RavkAudioFormat &maximum)
{
    CoreAudioCodecDesc d;
    std::memset(&d, 0, sizeof d);
    d.direction = ENGINE_CODEC_LIST_ENCODERS;
    d.acceleration = acceleration;
    d.input = core_fourcc("lpcm");
    d.output = acceleration != 0 ? kOpus : core_fourcc("NONE");
    d.device_number = -1;
    d.minimum_format = maximum;
    d.maximum_format = maximum;
    return d;
}

CoreVideoCodecDesc video_encoder(uint32_t acceleration, uint32_t output, const CoreVideoMode &maximum)
{
    CoreVideoCodecDesc d;
    std::memset(&d, 0, sizeof d);
    d.direction = ENGINE_CODEC_LIST_ENCODERS;
    d.acceleration = acceleration;
    d.input = core_fourcc("I420");
    d.output = output;
    d.device_number = -1;
    d.minimum_mode = {64, 64, 1, 1};
    d.maximum_mode = maximum;
    d.alignment_width = 8;
    d.alignment_height = 4;
    return d;
}

const RavkAudioFormat kStereo = {48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {}};

// ---- tables ----------------------------------------------------------------

TEST(EvalTables, TrialListsFitTheLimit)
{
    struct Case {
        const char *why;
        CoreVideoMode limit;
        uint64_t count;
    } cases[] = {
        {"a zero field: no limit", {0, 0, 0, 0}, 46},
        {"an unset field: no limit", {1920, 1080, 60, 0xFFFFFFFFu}, 46},
        {"the dialog's limit", {768, 768, 30, 1}, 12},
        {"full HD at 60: 17 sizes at both rates", {1920, 1080, 60, 1}, 34},
        {"768 x 768 at 60: both rates", {768, 768, 60, 1}, 24},
        {"a rate between the two", {768, 768, 45, 1}, 12},
        {"60/2 is no 30/1 and not above it", {768, 768, 60, 2}, 0},
        {"below every size", {100, 100, 30, 1}, 0},
    };
    Context c;
    ASSERT_NE(c.context, nullptr);
    for (const Case &k : cases) {
        SCOPED_TRACE(k.why);
        ASSERT_EQ(engine_eval_build_trials(c.context, &k.limit), CORE_OK);
        ASSERT_EQ(c->videoTrialCount, k.count);
        ASSERT_EQ(c->audioTrialCount, 1u);
        EXPECT_EQ(c->audioTrials[0].kind, ENGINE_EVAL_KIND_AUDIO);
        for (uint64_t i = 0; i < k.count; ++i) {
            EXPECT_EQ(c->videoTrials[i].kind, ENGINE_EVAL_KIND_VIDEO);
            EXPECT_EQ(c->videoTrials[i].passed, 0u);
            EXPECT_TRUE(equal(c->videoTrials[i].minimum.video, {64, 64, 1, 1}));
            EXPECT_EQ(c->videoSources[i].rate_num, 60u);
        }
    }

    // Without a limit: size by size, 30/1 before 60/1, each with its source.
    const CoreVideoMode none = {0, 0, 0, 0};
    ASSERT_EQ(engine_eval_build_trials(c.context, &none), CORE_OK);
    EXPECT_TRUE(equal(c->videoTrials[0].maximum.video, {256, 144, 30, 1}));
    EXPECT_TRUE(equal(c->videoTrials[1].maximum.video, {256, 144, 60, 1}));
    EXPECT_TRUE(equal(c->videoTrials[30].maximum.video, {1280, 1280, 30, 1}));
    EXPECT_TRUE(equal(c->videoSources[30], {2048, 2048, 60, 1}));
    EXPECT_TRUE(equal(c->videoSources[29], {1920, 1080, 60, 1}));
    EXPECT_TRUE(equal(c->videoTrials[45].maximum.video, {3840, 2160, 60, 1}));
    EXPECT_TRUE(equal(c->videoSources[45], {3840, 2160, 60, 1}));

    // The dialog's limit: 1024 x 576 has the same area and is out.
    ASSERT_EQ(engine_eval_build_trials(c.context, &kDialogLimit), CORE_OK);
    for (uint64_t i = 0; i < 12; ++i) EXPECT_TRUE(equal(c->videoTrials[i].maximum.video, kDialogLadder[i])) << i;
}

TEST(EvalTables, NextTrial)
{
    struct Case {
        const char *why;
        CoreVideoMode current;
        uint32_t alignWidth, alignHeight;
        int direction;
        int picked;  // index into the dialog's ladder; -1 none
    } cases[] = {
        {"a codec larger than every trial starts in the middle", {4096, 4096, 60, 1}, 8, 4, 0, 6},
        {"a rate above every trial starts in the middle", {256, 144, 60, 1}, 8, 4, 0, 6},
        {"the first in list order that reaches it", {640, 360, 30, 1}, 8, 4, 0, 7},
        {"the same mode", {256, 144, 30, 1}, 8, 4, 0, 0},
        {"aligned, the first trial reaches it", {256, 148, 30, 1}, 8, 40, 0, 0},
        {"unaligned, it does not", {256, 148, 30, 1}, 1, 1, 0, 1},
        {"up", {512, 288, 30, 1}, 8, 4, 1, 7},
        {"down", {512, 288, 30, 1}, 8, 4, -1, 5},
        {"up from the last", {768, 768, 30, 1}, 8, 4, 1, -1},
        {"down from the first", {256, 144, 30, 1}, 8, 4, -1, -1},
        {"up from a mode not listed", {500, 500, 30, 1}, 8, 4, 1, -1},
        {"down from a rate not listed", {512, 288, 60, 1}, 8, 4, -1, -1},
    };
    Context c;
    ASSERT_EQ(engine_eval_build_trials(c.context, &kDialogLimit), CORE_OK);
    for (const Case &k : cases) {
        SCOPED_TRACE(k.why);
        CoreVideoMode current = k.current, source = {0, 0, 0, 0};
        EngineEvalTrial *trial =
            engine_eval_next_trial(c.context, &source, &current, k.alignWidth, k.alignHeight, k.direction);
        if (k.picked < 0) {
            EXPECT_EQ(trial, nullptr);
            EXPECT_TRUE(equal(current, k.current)) << "untouched";
            continue;
        }
        ASSERT_EQ(trial, &c->videoTrials[k.picked]);
        EXPECT_TRUE(equal(current, kDialogLadder[k.picked])) << text(current);
        EXPECT_TRUE(equal(source, {1920, 1080, 60, 1}));
    }

    const CoreVideoMode below = {100, 100, 30, 1};
    ASSERT_EQ(engine_eval_build_trials(c.context, &below), CORE_OK);
    CoreVideoMode current = {256, 144, 30, 1}, source;
    EXPECT_EQ(engine_eval_next_trial(c.context, &source, &current, 8, 4, 0), nullptr) << "an empty list";
}

TEST(EvalTables, Verdict)
{
    struct Case {
        const char *why;
        CoreVideoMode mode;
        uint64_t samples, first, last;
        uint32_t passed;
    } cases[] = {
        {"25.0 at 30/1 passes", {256, 144, 30, 1}, 250, 1000, 11000, 1},
        {"24.9 at 30/1 fails", {256, 144, 30, 1}, 249, 1000, 11000, 0},
        {"55 at 60/1 passes", {256, 144, 60, 1}, 550, 1000, 11000, 1},
        {"54.9 at 60/1 fails", {256, 144, 60, 1}, 549, 1000, 11000, 0},
        {"no samples", {256, 144, 30, 1}, 0, 0, 0, 0},
        {"one sample measures no time", {256, 144, 30, 1}, 1, 5000, 5000, 0},
        {"many samples in one millisecond", {256, 144, 30, 1}, 40, 5000, 5000, 0},
        {"no first time", {256, 144, 30, 1}, 250, 0, 11000, 0},
        {"a rate of 5 or less is its own threshold", {256, 144, 4, 1}, 40, 1000, 11000, 1},
        {"below it", {256, 144, 4, 1}, 39, 1000, 11000, 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.why);
        EXPECT_EQ(engine_eval_trial_passed(&k.mode, k.samples, k.first, k.last), k.passed);
    }
    EXPECT_EQ(engine_eval_trial_passed(nullptr, 250, 1000, 11000), 0u);
}

TEST(EvalTables, ResultRecords)
{
    EXPECT_EQ(engine_eval_result_size(0), 1920u);
    EXPECT_EQ(engine_eval_result_size(13), 1920u + 520u);
    EXPECT_EQ(engine_eval_result_size(ENGINE_EVAL_RESULT_ROWS_MAX), 1920u + 40u * 47u);
    EXPECT_EQ(engine_eval_result_size(ENGINE_EVAL_RESULT_ROWS_MAX + 1), 0u) << "no record past 47 rows";
    EXPECT_EQ(engine_eval_result_size(UINT64_MAX), 0u);

    std::vector<uint8_t> bytes(engine_eval_result_size(3), 0xA5);
    auto *record = reinterpret_cast<EngineEvalResults *>(bytes.data());
    ASSERT_EQ(engine_eval_result_init(record, 3), record);
    EXPECT_EQ(record->audio.encoder.input, core_fourcc("NONE"));
    EXPECT_EQ(record->audio.encoder.output, core_fourcc("NONE"));
    EXPECT_EQ(record->audio.encoder.device_number, -1);
    EXPECT_EQ(record->video.encoder.input, core_fourcc("NONE"));
    EXPECT_EQ(record->video.encoder.output, core_fourcc("NONE"));
    EXPECT_EQ(record->video.encoder.device_number, -1);
    EXPECT_EQ(record->trialCount, 0u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(record->rows[i].kind, -1);
        EXPECT_EQ(record->rows[i].passed, 0u);
    }
    EXPECT_EQ(record->audio.encoder.codec_name[0], 0);
    EXPECT_EQ(engine_eval_result_init(record, ENGINE_EVAL_RESULT_ROWS_MAX + 1), nullptr);
    EXPECT_EQ(engine_eval_result_init(nullptr, 1), nullptr);
}

TEST(EvalTables, SamplesEventsAreTimedByPipelineAndMedium)
{
    // The clock counts from its first use, and a time of 0 means "none
    // yet": let it pass its first millisecond.
    core_clock_mono_ns();
    core_sleep_ms(2);
    Context c;
    const CoreName audio = name_of(ENGINE_EVAL_AUDIO_PIPELINE), video = name_of(ENGINE_EVAL_VIDEO_PIPELINE);
    const CoreName other = name_of("stream.40000000");
    struct Case {
        const char *why;
        uint32_t origin;
        int32_t medium;
        const CoreName *name;
        int answer;
        uint64_t audioSamples, videoSamples;  // after the event
    } cases[] = {
        {"encoded video of the video pipeline", 1, 1, &video, 1, 0, 1},
        {"encoded audio of the audio pipeline", 1, 0, &audio, 1, 1, 1},
        {"origin 0 is not timed but is the evaluation's", 0, 1, &video, 1, 1, 1},
        {"audio from the video pipeline", 1, 0, &video, 1, 1, 1},
        {"another medium", 1, -1, &audio, 1, 1, 1},
        {"another object", 1, 1, &other, 0, 1, 1},
        {"no name", 1, 1, nullptr, 0, 1, 1},
        {"video again", 1, 1, &video, 1, 1, 2},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.why);
        EXPECT_EQ(engine_eval_on_result(c.context, k.origin, k.medium, k.name, nullptr), k.answer);
        EXPECT_EQ(c->audioSamples.load(), k.audioSamples);
        EXPECT_EQ(c->videoSamples.load(), k.videoSamples);
    }
    EXPECT_NE(c->videoFirstMs.load(), 0u);
    EXPECT_LE(c->videoFirstMs.load(), c->videoLastMs.load());
    EXPECT_NE(c->audioFirstMs.load(), 0u);
    EXPECT_EQ(engine_eval_on_result(nullptr, 1, 1, &video, nullptr), 0);

    engine_eval_reset_timing(c.context);
    EXPECT_EQ(c->videoSamples.load() | c->videoFirstMs.load() | c->videoLastMs.load() | c->audioSamples.load() |
                  c->audioFirstMs.load() | c->audioLastMs.load(),
              0u);
}

// ---- the driver with injected measurements --------------------------------------

enum class Outcome { Pass, Fail, NoStart, Block };

class EvalDriverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(engine_node_start(0), CORE_OK);
        context_ = engine_eval_context_create(nullptr);
        ASSERT_NE(context_, nullptr);
        context_->trialHook = {&EvalDriverTest::trial, this};
        log_.subscribe();
    }
    void TearDown() override
    {
        engine_eval_context_destroy(&context_);
        log_.unsubscribe();
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
    }

    // The encoder lists, replaced whole; entry 0 is the no-codec entry.
    static void set_encoders(const std::vector<CoreAudioCodecDesc> &audio, const std::vector<CoreVideoCodecDesc> &video)
    {
        while (core_codec_entry_count_audio(ENGINE_CODEC_LIST_ENCODERS) > 0)
            ASSERT_EQ(core_codec_remove_audio(core_codec_entry_count_audio(ENGINE_CODEC_LIST_ENCODERS) - 1, 1), 0);
        while (core_codec_entry_count_video(ENGINE_CODEC_LIST_ENCODERS) > 0)
            ASSERT_EQ(core_codec_remove_video(core_codec_entry_count_video(ENGINE_CODEC_LIST_ENCODERS) - 1, 1), 0);
        const CoreAudioCodecDesc noAudio = audio_encoder(0, {});
        const CoreVideoCodecDesc noVideo = video_encoder(0, core_fourcc("NONE"), {0, 0, 0, 0});
        ASSERT_EQ(core_codec_add_audio(&noAudio, 1), 0);
        for (const auto &d : audio) ASSERT_EQ(core_codec_add_audio(&d, 1), 0);
        ASSERT_EQ(core_codec_add_video(&noVideo, 1), 0);
        for (const auto &d : video) ASSERT_EQ(core_codec_add_video(&d, 1), 0);
    }

    struct Trial {
        CoreVideoMode mode;
        CoreVideoMode source;
        uint32_t videoOutput;
        EngineAudioFormat audioFormat;
    };

    // Runs in place of a trial's pipelines: 300 samples over ten seconds
    // (30 per second) for a pass, 10 for a failure.
    static CoreResult trial(EngineEvalContext *context, const EngineCaptureAudioPart *audio,
                            const EngineCaptureVideoPart *video, const CoreVideoMode *source, void *user)
    {
        auto *self = static_cast<EvalDriverTest *>(user);
        Outcome outcome;
        {
            std::lock_guard<std::mutex> guard(self->lock_);
            self->trials_.push_back({video->mode, *source, video->encoder.output, audio->format});
            outcome = self->outcome_(video->mode, video->encoder.output);
        }
        if (outcome == Outcome::NoStart) return CORE_ERR;
        if (outcome == Outcome::Block) {
            self->blocked_.store(true);
            while (engine_eval_running(context)) core_sleep_ms(5);
            return CORE_OK;
        }
        context->videoSamples.store(outcome == Outcome::Pass ? 300 : 10);
        context->videoFirstMs.store(1000);
        context->videoLastMs.store(11000);
        return CORE_OK;
    }

    std::vector<Trial> trials()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return trials_;
    }
    void reset(std::function<Outcome(const CoreVideoMode &, uint32_t)> outcome)
    {
        log_.flush();  // what an earlier run posted is not this run's
        std::lock_guard<std::mutex> guard(lock_);
        trials_.clear();
        outcome_ = std::move(outcome);
        blocked_.store(false);
        log_.clear();
    }
    // Runs one evaluation until `results` pair results came, then stops it.
    void run(const CoreVideoMode &limit, size_t results)
    {
        const EngineEvalRequest r = request(limit);
        ASSERT_EQ(engine_eval_start(context_, &r), CORE_OK);
        ASSERT_TRUE(log_.wait_results(results));
        EXPECT_TRUE(engine_eval_running(context_)) << "open after the last result";
        engine_eval_stop(context_);
        log_.flush();
    }

    EngineEvalContext *context_ = nullptr;
    ResultLog log_;
    std::mutex lock_;
    std::vector<Trial> trials_;
    std::function<Outcome(const CoreVideoMode &, uint32_t)> outcome_;
    std::atomic<bool> blocked_{false};
};

int ladder_index(const CoreVideoMode &mode)
{
    for (int i = 0; i < 12; ++i)
        if (equal(mode, kDialogLadder[i])) return i;
    return -1;
}

TEST_F(EvalDriverTest, WalksTheLadderUntilTheDirectionChanges)
{
    struct Case {
        const char *why;
        CoreVideoMode codecMaximum;
        std::vector<int> passing;      // ladder indices whose trials pass
        int noStart;                   // a trial that cannot be started; -1 none
        std::vector<int> walked;       // the trials run, in order
        int passedUpTo;                // result rows 0..passedUpTo passed; -1 none
    } cases[] = {
        {"pass, then the next fails", {4096, 4096, 60, 1}, {0, 1, 2, 3, 4, 5, 6}, -1, {6, 7}, 6},
        {"fail, then the one below passes", {4096, 4096, 60, 1}, {0, 1, 2, 3, 4, 5}, -1, {6, 5}, 5},
        {"every trial passes up to the last", {4096, 4096, 60, 1}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, -1,
         {6, 7, 8, 9, 10, 11}, 11},
        {"every trial fails down to the first", {4096, 4096, 60, 1}, {}, -1, {6, 5, 4, 3, 2, 1, 0}, -1},
        {"the first trial is the last one and passes", {768, 768, 30, 1}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, -1,
         {11}, 11},
        {"the start follows list order, not area", {640, 360, 30, 1}, {0, 1, 2, 3, 4, 5, 6, 7, 8}, -1, {7, 8, 9}, 8},
        {"a trial that cannot start ends the walk", {4096, 4096, 60, 1}, {0, 1, 2, 3, 4, 5, 6, 7}, 7, {6, 7}, 6},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.why);
        set_encoders({audio_encoder(1, kStereo)}, {video_encoder(1, kVp8, k.codecMaximum)});
        reset([&](const CoreVideoMode &mode, uint32_t) {
            const int i = ladder_index(mode);
            if (i == k.noStart) return Outcome::NoStart;
            for (int p : k.passing)
                if (p == i) return Outcome::Pass;
            return Outcome::Fail;
        });
        run(kDialogLimit, 1);

        const std::vector<Trial> walked = trials();
        ASSERT_EQ(walked.size(), k.walked.size());
        const auto progress = log_.progress();
        ASSERT_EQ(progress.size(), k.walked.size()) << "one progress record per trial started";
        for (size_t i = 0; i < walked.size(); ++i) {
            EXPECT_TRUE(equal(walked[i].mode, kDialogLadder[k.walked[i]])) << text(walked[i].mode);
            EXPECT_TRUE(equal(walked[i].source, {1920, 1080, 60, 1}));
            expect_layout(progress[i], 0);
            EXPECT_TRUE(equal(as_results(progress[i]).video.mode, kDialogLadder[k.walked[i]]));
        }

        const auto results = log_.results();
        ASSERT_EQ(results.size(), 1u);
        expect_layout(results[0], 13);
        const EngineEvalResults &r = as_results(results[0]);
        EXPECT_TRUE(equal(r.video.mode, kDialogLadder[k.walked.back()])) << "the last trial's mode";
        EXPECT_EQ(r.video.encoder.output, kVp8);
        EXPECT_EQ(r.audio.encoder.output, kOpus);
        EXPECT_EQ(r.audioCodecIndex, 1u);
        EXPECT_EQ(r.audioCodecCount, 2u);
        EXPECT_EQ(r.audioUsableCount, 1u);
        EXPECT_EQ(r.videoCodecIndex, 1u);
        EXPECT_EQ(r.videoCodecCount, 2u);
        EXPECT_EQ(r.videoUsableCount, 1u);
        for (int i = 0; i < 12; ++i) {
            EXPECT_TRUE(equal(r.rows[1 + i].maximum.video, kDialogLadder[i]));
            EXPECT_EQ(r.rows[1 + i].passed, i <= k.passedUpTo ? 1u : 0u) << "row of " << text(kDialogLadder[i]);
        }
        EXPECT_FALSE(engine_eval_running(context_));
        EXPECT_EQ(context_->videoTrials, nullptr) << "the stop frees the lists";
        EXPECT_EQ(context_->videoTrialCount, 0u);
    }
}

TEST_F(EvalDriverTest, EveryUsablePairInListOrder)
{
    CoreAudioCodecDesc second = audio_encoder(1, kStereo);
    second.evaluated_maximum = {24000, 1, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {}};
    set_encoders({audio_encoder(1, kStereo), audio_encoder(0, kStereo), second},
                 {video_encoder(1, kVp8, {4096, 4096, 60, 1}), video_encoder(0, kVp8, {4096, 4096, 60, 1}),
                  video_encoder(1, kVp9, {4096, 4096, 60, 1})});
    // VP8 keeps up, VP9 does not: each pair's rows are its own.
    reset([](const CoreVideoMode &, uint32_t output) { return output == kVp8 ? Outcome::Pass : Outcome::Fail; });
    const CoreVideoMode oneTrial = {256, 144, 30, 1};
    run(oneTrial, 4);

    const auto results = log_.results();
    ASSERT_EQ(results.size(), 4u);
    EXPECT_EQ(log_.progress().size(), 4u);
    const struct {
        uint64_t audio, video;
        uint32_t passed;
        uint32_t rate;
    } expected[] = {{1, 1, 1, 48000}, {1, 3, 0, 48000}, {3, 1, 1, 24000}, {3, 3, 0, 24000}};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        expect_layout(results[i], 2);
        const EngineEvalResults &r = as_results(results[i]);
        EXPECT_EQ(r.audioCodecIndex, expected[i].audio);
        EXPECT_EQ(r.videoCodecIndex, expected[i].video);
        EXPECT_EQ(r.audioCodecCount, 4u);
        EXPECT_EQ(r.audioUsableCount, 2u);
        EXPECT_EQ(r.videoCodecCount, 4u);
        EXPECT_EQ(r.videoUsableCount, 2u);
        EXPECT_EQ(r.rows[1].passed, expected[i].passed);
        EXPECT_EQ(r.audio.format.rate, expected[i].rate) << "the evaluated maximum when complete";
    }
    for (const Trial &t : trials()) EXPECT_NE(t.audioFormat.rate, 0u) << "every trial gets the encoder's format";
}

TEST_F(EvalDriverTest, AnEmptyLadderStillReportsEachPair)
{
    set_encoders({audio_encoder(1, kStereo)},
                 {video_encoder(1, kVp8, {4096, 4096, 60, 1}), video_encoder(1, kVp9, {1280, 720, 30, 1})});
    reset([](const CoreVideoMode &, uint32_t) { return Outcome::Pass; });
    const CoreVideoMode belowEverything = {100, 100, 30, 1};
    run(belowEverything, 2);
    EXPECT_TRUE(trials().empty());
    EXPECT_TRUE(log_.progress().empty());
    const auto results = log_.results();
    ASSERT_EQ(results.size(), 2u);
    for (const auto &bytes : results) expect_layout(bytes, 1);
    EXPECT_TRUE(equal(as_results(results[1]).video.mode, {1280, 720, 30, 1})) << "no trial: the codec's maximum";
}

TEST_F(EvalDriverTest, StopEndsTheTrialWithoutAResult)
{
    set_encoders({audio_encoder(1, kStereo)}, {video_encoder(1, kVp8, {4096, 4096, 60, 1})});
    reset([](const CoreVideoMode &, uint32_t) { return Outcome::Block; });
    const EngineEvalRequest r = request(kDialogLimit);
    ASSERT_EQ(engine_eval_start(context_, &r), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return blocked_.load(); }));
    EXPECT_TRUE(engine_eval_running(context_)) << "a peer is answered busy";

    // A second start stops the open evaluation first.
    reset([](const CoreVideoMode &, uint32_t) { return Outcome::Block; });
    ASSERT_EQ(engine_eval_start(context_, &r), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return blocked_.load(); }));
    engine_eval_stop(context_);
    log_.flush();
    EXPECT_FALSE(engine_eval_running(context_));
    EXPECT_EQ(trials().size(), 1u) << "the walk ends with the stop";
    EXPECT_EQ(log_.progress().size(), 1u);
    EXPECT_TRUE(log_.results().empty()) << "no result for a stopped pair";
    EXPECT_EQ(context_->videoTrials, nullptr);
    EXPECT_EQ(context_->videoSamples.load(), 0u);
    engine_eval_stop(context_);  // a second stop does nothing

    EXPECT_EQ(engine_eval_start(context_, nullptr), CORE_ERR);
    EXPECT_EQ(engine_eval_start(nullptr, &r), CORE_ERR);
    EXPECT_FALSE(engine_eval_running(nullptr));
    engine_eval_stop(nullptr);
    EngineEvalContext *none = nullptr;
    engine_eval_context_destroy(&none);
}

// ---- the driver over real encoders --------------------------------------------

class EvalRealTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(engine_node_start(0), CORE_OK);
        ASSERT_EQ(ravk_init(RavkCodecProfile(0)), 0);
        ASSERT_EQ(ravk_linux_values_publish(), 0);
        const EngineProviderConfig config = provider_config(0, 0, 0, 0);
        provider_ = engine_media_provider_create(&config);
        ASSERT_NE(provider_, nullptr);
        context_ = engine_eval_context_create(provider_);
        ASSERT_NE(context_, nullptr);
        channel_ = name_of(RAVK_PIPELINE_CHANNEL);
        const CoreNotifySubscription subscription = {&EvalRealTest::on_pipeline_event, {this, nullptr}};
        token_ = core_notify_subscribe(&channel_, &subscription);
        ASSERT_NE(token_, 0u);
        log_.subscribe();
    }
    void TearDown() override
    {
        engine_eval_stop(context_);
        if (token_ != 0) core_notify_unsubscribe(&channel_, token_);
        engine_eval_context_destroy(&context_);
        engine_media_provider_destroy(&provider_);
        log_.unsubscribe();
        ravk_shutdown();
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
    }

    // Leaves Opus and the given libvpx encoders as the only encoders, so
    // that a run is a few trials long.
    static void keep_encoders(const std::vector<uint32_t> &video)
    {
        CoreAudioCodecDesc opus;
        bool haveOpus = false;
        for (uint32_t i = 0; i < core_codec_entry_count_audio(ENGINE_CODEC_LIST_ENCODERS) && !haveOpus; ++i)
            haveOpus = core_codec_get_audio(i, ENGINE_CODEC_LIST_ENCODERS, &opus) == 0 && opus.output == kOpus &&
                       opus.acceleration == RAVK_ACCEL_SOFTWARE;
        ASSERT_TRUE(haveOpus) << "no Opus encoder registered";
        std::vector<CoreVideoCodecDesc> kept;
        for (uint32_t output : video) {
            CoreVideoCodecDesc d;
            bool found = false;
            for (uint32_t i = 0; i < core_codec_entry_count_video(ENGINE_CODEC_LIST_ENCODERS) && !found; ++i)
                found = core_codec_get_video(i, ENGINE_CODEC_LIST_ENCODERS, &d) == 0 && d.output == output &&
                        d.acceleration == RAVK_ACCEL_SOFTWARE;
            ASSERT_TRUE(found) << "no libvpx encoder for " << std::hex << output;
            kept.push_back(d);
        }
        ravk_codec_lists_clear();
        ASSERT_EQ(core_codec_add_audio(&opus, 1), 0);
        for (const auto &d : kept) ASSERT_EQ(core_codec_add_video(&d, 1), 0);
    }

    // The pipeline-event handler's part for the evaluation.
    static CoreResult on_pipeline_event(uint32_t code, const void *in, uint64_t in_len, void *out, uint64_t *,
                                        void **user)
    {
        auto *self = static_cast<EvalRealTest *>(user[0]);
        if (code != RAVK_EVENT_SAMPLES || in_len != sizeof(RavkSampleBatchHeader)) return CORE_NOT_MINE;
        const auto *header = static_cast<const RavkSampleBatchHeader *>(in);
        const int32_t medium = header->stream_index <= 1 ? int32_t(header->stream_index) : -1;
        if (engine_eval_on_result(self->context_, header->role, medium, &header->stream,
                                  static_cast<const RavkSample *>(out)) == 0)
            return CORE_NOT_MINE;
        (medium == 0 ? self->audioEvents_ : self->videoEvents_).fetch_add(1);
        return CORE_OK;
    }

    bool captures_gone()
    {
        CoreLockGuard guard(&provider_->lock);
        return provider_->evalAudioCapture == 0 && provider_->evalVideoCapture == 0 &&
               provider_->evalAudioSources == nullptr && provider_->evalVideoSources == nullptr;
    }

    EngineMediaProvider *provider_ = nullptr;
    EngineEvalContext *context_ = nullptr;
    CoreName channel_{};
    uint64_t token_ = 0;
    ResultLog log_;
    std::atomic<uint64_t> audioEvents_{0};
    std::atomic<uint64_t> videoEvents_{0};
};

const CoreVideoMode kOneTrial = {256, 144, 30, 1};

TEST_F(EvalRealTest, TestSourcesRunOneTrialPerPair)
{
    keep_encoders({kVp8, kVp9});
    const EngineEvalRequest r = request(kOneTrial);
    ASSERT_EQ(engine_eval_start(context_, &r), CORE_OK);
    ASSERT_TRUE(log_.wait_results(2, 60000));
    EXPECT_TRUE(engine_eval_running(context_));
    engine_eval_stop(context_);
    log_.flush();

    EXPECT_GT(videoEvents_.load(), 0u) << "the video pipeline's samples reached the evaluation";
    EXPECT_GT(audioEvents_.load(), 0u);
    const auto progress = log_.progress();
    const auto results = log_.results();
    ASSERT_EQ(progress.size(), 2u);
    ASSERT_EQ(results.size(), 2u);
    const uint32_t outputs[2] = {kVp8, kVp9};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        expect_layout(progress[i], 0);
        expect_layout(results[i], 2);
        const EngineEvalResults &result = as_results(results[i]);
        EXPECT_EQ(result.video.encoder.output, outputs[i]);
        EXPECT_EQ(result.videoCodecIndex, i);
        EXPECT_EQ(result.audio.encoder.output, kOpus);
        EXPECT_TRUE(equal(result.video.mode, kOneTrial));
        EXPECT_TRUE(equal(result.rows[1].maximum.video, kOneTrial));
    }
    EXPECT_TRUE(captures_gone()) << "each trial stops its pipelines";
}

TEST_F(EvalRealTest, GeneratedMediaFeedsTheEncoders)
{
    keep_encoders({kVp8});
    const EngineEvalRequest r = request(kOneTrial, 1);
    ASSERT_EQ(engine_eval_start(context_, &r), CORE_OK);
    ASSERT_TRUE(log_.wait_results(1, 60000));
    engine_eval_stop(context_);
    log_.flush();

    EXPECT_GT(videoEvents_.load(), 0u) << "generated frames were encoded";
    EXPECT_GT(audioEvents_.load(), 0u) << "generated audio was encoded";
    ASSERT_EQ(log_.results().size(), 1u);
    expect_layout(log_.results()[0], 2);
    EXPECT_EQ(context_->audioWorker, nullptr);
    EXPECT_EQ(context_->videoWorker, nullptr);
    EXPECT_EQ(context_->generatedAudioCode, core_fourcc("NONE"));
    EXPECT_EQ(context_->generatedVideoCode, core_fourcc("NONE"));
    EXPECT_EQ(context_->abandoned.load(), 0u);
    EXPECT_TRUE(captures_gone()) << "the workers stop their pipelines";
}

TEST_F(EvalRealTest, StopDuringAGeneratedTrial)
{
    keep_encoders({kVp8});
    const EngineEvalRequest r = request(kOneTrial, 1);
    ASSERT_EQ(engine_eval_start(context_, &r), CORE_OK);
    ASSERT_TRUE(wait_until([&] { return videoEvents_.load() > 0; }, 30000)) << "the trial runs";
    engine_eval_stop(context_);
    log_.flush();

    EXPECT_FALSE(engine_eval_running(context_));
    EXPECT_EQ(log_.progress().size(), 1u);
    EXPECT_TRUE(log_.results().empty());
    EXPECT_EQ(context_->audioWorker, nullptr);
    EXPECT_EQ(context_->videoWorker, nullptr);
    EXPECT_EQ(context_->abandoned.load(), 0u) << "every thread ended within its join";
    EXPECT_TRUE(captures_gone());
}

}  // namespace
