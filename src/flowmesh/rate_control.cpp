#include "flowmesh/rate_control.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint64_t kMs = 1000000ULL;
constexpr uint64_t kEvaluationNs = 500 * kMs;
constexpr uint64_t kEvaluationShortNs = 250 * kMs;
constexpr uint64_t kEvaluationCycles = 10;
constexpr uint64_t kQuietNs = 500 * kMs;  // a sample counts only this long after a signal
constexpr uint64_t kChunkHoldNs = 5000 * kMs;
constexpr uint64_t kReductionWindowMinNs = 250 * kMs;
constexpr uint64_t kReductionWindowMaxNs = 500 * kMs;
constexpr uint64_t kRateUnit = 5000;  // bitrates move in steps of 5 kbit/s
constexpr uint64_t kExpiryBurstNs = 1000 * kMs;

// Clock values are compared through their signed difference, so a time
// ahead of `now` (a report stamped by another thread a moment later) reads
// as not yet passed instead of as 584 years ago.
int64_t since(uint64_t now, uint64_t then) { return static_cast<int64_t>(now - then); }
bool reached(uint64_t now, uint64_t due) { return since(now, due) >= 0; }

uint64_t sat_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
uint64_t sat_sub(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }

uint64_t round_unit(uint64_t a)
{
    const uint64_t up = sat_add(a, kRateUnit / 2);
    return up / kRateUnit * kRateUnit;
}

// The top of the bitrate range; a maximum below the minimum leaves a range
// of one value rather than an inverted one.
uint64_t upper_bound(const FlowmeshRateConfig *config)
{
    if (config->max_bitrate == 0) return UINT64_MAX;
    return std::max(config->max_bitrate, config->min_bitrate);
}

// Round first, then clamp: a minimum that is not a multiple of 5000 stays
// reachable, and rounding can never carry the value past a bound.
uint64_t settle(const FlowmeshRateConfig *config, uint64_t a)
{
    return std::min(upper_bound(config), std::max(config->min_bitrate, round_unit(a)));
}

void reduce_once(FlowmeshRateState *s, const FlowmeshRateConfig *config)
{
    if (config->bitrate_mode)
        s->bitrate = settle(config, sat_sub(s->bitrate, flowmesh_rate_step_down(s->bitrate)));
    else if (s->level > 0)
        s->level -= 1;
}

// 16 frame intervals: long enough for the loss of one frame to come back
// as a signal, short enough to answer a big overshoot quickly.
uint64_t reduction_window(const FlowmeshRateInputs *in)
{
    if (in->frame_interval_ns <= 0) return kReductionWindowMaxNs;
    return std::clamp(static_cast<uint64_t>(16 * in->frame_interval_ns), kReductionWindowMinNs,
                      kReductionWindowMaxNs);
}

// After any reduction: the encoder hears of it at the next report, and
// what it sends from then on needs one window to show up in loss news. A
// cut that changed nothing (at the bottom) leaves nothing to wait for.
void note_reduction(FlowmeshRateState *s, const FlowmeshRateInputs *in, uint64_t now, uint64_t from_bitrate,
                    int32_t from_level)
{
    if (s->bitrate == from_bitrate && s->level == from_level) return;
    const uint64_t heard = reached(now, s->next_report_ns) ? now : s->next_report_ns;
    const uint64_t until = heard + reduction_window(in);
    if (since(until, s->stale_until_ns) > 0) s->stale_until_ns = until;
    s->mark_bitrate = from_bitrate;
    s->mark_level = from_level;
}

void reset_samples(FlowmeshRateState *s)
{
    s->sample_count = 0;
    s->up_multiplier = s->down_multiplier = 1;
}

uint32_t roundup16(uint64_t v) { return static_cast<uint32_t>(std::min<uint64_t>((v + 15) / 16 * 16, UINT32_MAX)); }

void adapt_chunk(FlowmeshRateState *s, uint64_t now)
{
    if (s->short_loss >= 0.005) {
        const uint64_t percent = static_cast<uint64_t>(s->short_loss * 100.0);
        const uint32_t size = roundup16(percent == 0 ? FLOWMESH_CHUNK_MAX : FLOWMESH_CHUNK_MAX / percent);
        if (size < s->chunk_size) s->chunk_size = std::max(FLOWMESH_CHUNK_MIN, size);
        s->chunk_hold_ns = now + kChunkHoldNs;
    } else if (reached(now, s->chunk_hold_ns)) {
        s->chunk_size = std::min(FLOWMESH_CHUNK_MAX, roundup16(static_cast<uint64_t>(s->chunk_size) * 2));
        s->chunk_hold_ns = now + kChunkHoldNs;
    }
}

// A signal of `cycle`/`at` lies far enough back for a sample to mean
// something: 500 ms and half a second's worth of frames.
bool quiet(int seen, uint64_t at, uint64_t at_cycle, const FlowmeshRateInputs *in, uint64_t now, uint64_t cycles)
{
    if (!seen) return true;
    return since(now, at) > static_cast<int64_t>(kQuietNs) && in->cycle - at_cycle > cycles;
}

struct Cap {
    int capped;
    uint64_t percent;  // of the maximum bitrate
    int32_t level;
};

Cap cap_for(double mid)
{
    if (mid >= 0.05) return {1, 20, 1};
    if (mid >= 0.03) return {1, 35, 2};
    if (mid >= 0.01) return {1, 50, 3};
    if (mid >= 0.001) return {1, 65, 4};
    return {0, 100, FLOWMESH_LEVEL_MAX};
}

void decide(FlowmeshRateState *s, const FlowmeshRateConfig *config, const FlowmeshRateInputs *in, uint64_t now)
{
    const double older = (s->samples[0] + s->samples[1]) / 2, newer = (s->samples[2] + s->samples[3]) / 2;
    const double high = *std::max_element(s->samples, s->samples + 4);
    const double low = *std::min_element(s->samples, s->samples + 4);
    s->samples[0] = s->samples[2];
    s->samples[1] = s->samples[3];
    s->sample_count = 2;

    if (older >= newer) {
        const bool top = config->bitrate_mode ? s->bitrate >= upper_bound(config)
                                              : (s->level > FLOWMESH_LEVEL_MAX - 1 || s->level < 0);
        if (s->direction == FLOWMESH_RATE_DOWN) {
            s->up_multiplier = s->down_multiplier = 1;
        } else if (top) {
            s->down_multiplier = 1;
        } else {
            const Cap cap = cap_for((high + low) / 2);
            const uint64_t before = s->bitrate;
            const int32_t before_level = s->level;
            const uint32_t steps = cap.capped ? 1 : s->up_multiplier;
            if (cap.capped) s->up_multiplier = 1;
            uint64_t limit = upper_bound(config);
            if (cap.capped && config->max_bitrate != 0) limit = config->max_bitrate / 100 * cap.percent +
                                                               config->max_bitrate % 100 * cap.percent / 100;
            // A run that would reach the rate that last lost stops short of
            // it; from there one small step a decision probes the link, so
            // a doubling multiplier never carries the rate far past it. A
            // small overshoot takes a second or more to fill the queues and
            // show as loss, so a probe decides on four samples of its own.
            bool held = false;
            for (uint32_t i = 0; i < steps; ++i) {
                // An up decision never takes anything back: a rate already
                // above the cap stays where it is.
                if (config->bitrate_mode) {
                    int small = cap.capped;
                    if (!small && sat_add(s->bitrate, flowmesh_rate_step_up(s->bitrate, 0)) >= s->mark_bitrate) {
                        held = true;
                        if (i > 0) break;
                        small = 1;
                    }
                    const uint64_t up = flowmesh_rate_step_up(s->bitrate, small);
                    const uint64_t next = std::min(limit, sat_add(s->bitrate, up));
                    s->bitrate = std::max(s->bitrate, settle(config, next));
                } else {
                    if (!cap.capped && s->level + 1 >= s->mark_level) {
                        held = true;
                        if (i > 0) break;
                    }
                    s->level = std::max(s->level, std::min(cap.level, s->level + 1));
                }
            }
            if (held) {
                s->up_multiplier = 1;
                s->sample_count = 0;
            } else if (!cap.capped && (s->bitrate != before || s->level != before_level)) {
                if (newer <= 0.001)
                    s->up_multiplier = std::min(FLOWMESH_RATE_MULTIPLIER_MAX, s->up_multiplier * 2);
                else if (older / newer >= 2)
                    s->up_multiplier = std::min(FLOWMESH_RATE_MULTIPLIER_MAX, s->up_multiplier + 1);
            }
            s->down_multiplier = 1;
        }
        s->direction = FLOWMESH_RATE_UP;
        return;
    }

    const bool bottom = config->bitrate_mode ? s->bitrate <= config->min_bitrate : s->level < 1;
    if (s->direction == FLOWMESH_RATE_UP) {
        s->up_multiplier = s->down_multiplier = 1;
    } else if (bottom) {
        s->up_multiplier = 1;
    } else {
        const uint64_t from_bitrate = s->bitrate;
        const int32_t from_level = s->level;
        for (uint32_t i = 0; i < s->down_multiplier; ++i) reduce_once(s, config);
        note_reduction(s, in, now, from_bitrate, from_level);
        if (older > 0.001 && newer / older >= 2)
            s->down_multiplier = std::min(FLOWMESH_RATE_MULTIPLIER_MAX, s->down_multiplier + 1);
        s->up_multiplier = 1;
    }
    s->direction = FLOWMESH_RATE_DOWN;
}

void evaluate(FlowmeshRateState *s, const FlowmeshRateConfig *config, const FlowmeshRateInputs *in, uint64_t now,
              FlowmeshRateActions *out)
{
    double loss = 0;
    if (in->bytes_sent > 0)
        loss = std::min(2.0, static_cast<double>(in->bytes_retransmitted) / static_cast<double>(in->bytes_sent));
    // Resends asked for frames of the rate before the last reduction say
    // nothing about the rate now.
    if (reached(now, s->stale_until_ns)) {
        s->short_loss = (s->short_loss + loss) / 2;
        s->long_loss = s->long_loss * 0.75 + loss * 0.25;
    }

    adapt_chunk(s, now);

    uint64_t half_second = 8;
    if (in->frame_interval_ns > 0) half_second = static_cast<uint64_t>(1e9 / in->frame_interval_ns) / 2;
    if (quiet(in->congestion_seen, in->last_congestion_ns, in->last_congestion_cycle, in, now, half_second) &&
        quiet(in->expired_seen, in->last_expired_ns, in->last_expired_cycle, in, now, half_second)) {
        if (s->sample_count < 4) s->samples[s->sample_count++] = (1.0 - in->delivery_ratio) + s->short_loss;
    } else {
        reset_samples(s);
    }

    if (s->long_loss >= 0.1 && s->evaluations >= s->long_drop_allowed) {
        const uint64_t from_bitrate = s->bitrate;
        const int32_t from_level = s->level;
        const uint64_t percent = static_cast<uint64_t>(std::min(s->long_loss, 0.6) * 100.0);
        if (config->bitrate_mode)
            s->bitrate = settle(config, s->bitrate - s->bitrate / 100 * percent - s->bitrate % 100 * percent / 100);
        else if (s->level > 0)
            s->level -= static_cast<int32_t>(s->level * static_cast<int64_t>(percent) / 100);
        reset_samples(s);
        s->direction = FLOWMESH_RATE_NONE;
        s->long_drop_allowed = s->evaluations + 4;
        note_reduction(s, in, now, from_bitrate, from_level);
    }

    if (loss >= 1.0) out->flush = 1;
    if (s->sample_count == 4) decide(s, config, in, now);

    out->evaluated = 1;
    s->evaluations += 1;
    s->last_eval_ns = now;
    s->last_eval_cycle = in->cycle;
}

}  // namespace

uint64_t flowmesh_rate_step_down(uint64_t a)
{
    if (a <= 100000) return 25000;
    if (a <= 300000) return 100000;
    if (a <= 750000) return 150000;
    if (a <= 1000000) return 250000;
    if (a <= 2000000) return 500000;
    if (a <= 4000000) return 1000000;
    if (a <= 8000000) return 2000000;
    if (a <= 16000000) return 4000000;
    return 8000000;
}

uint64_t flowmesh_rate_step_up(uint64_t a, int capped)
{
    if (a < 100000) return 25000;
    if (a < 300000) return 100000;
    if (a < 750000) return 150000;
    if (a < 1000000) return 250000;
    if (a < 2000000) return capped ? 250000 : 500000;
    if (a < 4000000) return capped ? 333333 : 1000000;
    if (a < 16000000) return capped ? 500000 : 2000000;
    if (a < 32000000) return capped ? 800000 : 4000000;
    if (a < 64000000) return capped ? 1000000 : 6000000;
    return capped ? 1142857 : 8000000;
}

void flowmesh_rate_init(FlowmeshRateState *state, const FlowmeshRateConfig *config, uint64_t now)
{
    memset(state, 0, sizeof(*state));
    const uint64_t lo = config->min_bitrate, hi = config->max_bitrate;
    state->bitrate = std::min(upper_bound(config), std::max(lo, lo / 2 + hi / 2 + (lo & hi & 1)));
    state->level = config->bitrate_mode ? -1 : 4;
    state->reported_bitrate = state->bitrate;
    state->reported_level = state->level;
    state->chunk_size = FLOWMESH_CHUNK_MAX;
    state->chunk_hold_ns = now;
    state->reduction_end_ns = now;
    state->last_eval_ns = now;
    state->up_multiplier = state->down_multiplier = 1;
    state->stale_until_ns = now;
    state->mark_bitrate = UINT64_MAX;
    state->mark_level = INT32_MAX;
    state->next_report_ns = now + FLOWMESH_RATE_REPORT_NS;
    state->forced_report_ns = now + FLOWMESH_RATE_FORCED_REPORT_NS;
}

void flowmesh_rate_step(FlowmeshRateState *state, const FlowmeshRateConfig *config, const FlowmeshRateInputs *in,
                        uint64_t now, FlowmeshRateActions *out)
{
    FlowmeshRateState *s = state;
    memset(out, 0, sizeof(*out));

    if (in->congestion_signals > 0) {
        // The receiver repeats its signal at every scan for as long as the
        // backlog of an overshoot lasts, and the delivery penalty trails it:
        // only news of frames sent since the last cut reached the encoder
        // may cut again. The signals of one pass are one piece of news and
        // cut up to four times.
        if (reached(now, s->stale_until_ns)) {
            if (reached(now, s->reduction_end_ns)) {
                s->reduction_end_ns = now + reduction_window(in);
                s->reductions = 0;
            }
            const uint64_t from_bitrate = s->bitrate;
            const int32_t from_level = s->level;
            for (uint32_t i = 0; i < in->congestion_signals && s->reductions < FLOWMESH_RATE_REDUCTIONS; ++i) {
                reduce_once(s, config);
                s->reductions += 1;
            }
            note_reduction(s, in, now, from_bitrate, from_level);
        }
        reset_samples(s);
    }

    const int64_t elapsed = since(now, s->last_eval_ns);
    const uint64_t cycles = in->cycle - s->last_eval_cycle;
    const uint64_t enough = 64ULL * (s->chunk_size + 32);
    if (elapsed >= static_cast<int64_t>(kEvaluationNs) ||
        ((elapsed >= static_cast<int64_t>(kEvaluationShortNs) || cycles >= kEvaluationCycles) &&
         in->bytes_sent > enough))
        evaluate(s, config, in, now, out);

    out->chunk_size = s->chunk_size;
    if (reached(now, s->next_report_ns) &&
        (reached(now, s->forced_report_ns) || s->bitrate != s->reported_bitrate || s->level != s->reported_level)) {
        out->report = 1;
        out->level = s->level;
        out->bitrate = s->bitrate;
    }
}

void flowmesh_rate_reported(FlowmeshRateState *state, const FlowmeshRateActions *actions, int accepted, uint64_t now)
{
    state->next_report_ns = now + FLOWMESH_RATE_REPORT_NS;
    if (!accepted) return;
    state->reported_bitrate = actions->bitrate;
    state->reported_level = actions->level;
    state->forced_report_ns = now + FLOWMESH_RATE_FORCED_REPORT_NS;
}

// ---- frame reports and estimates ----

CoreResult flowmesh_rate_reports_init(FlowmeshRateReports *reports, uint32_t capacity)
{
    memset(reports, 0, sizeof(*reports));
    reports->entries = static_cast<FlowmeshRateReport *>(calloc(capacity ? capacity : 1, sizeof(FlowmeshRateReport)));
    if (reports->entries == nullptr) return CORE_ERR;
    reports->capacity = capacity;
    return CORE_OK;
}

void flowmesh_rate_reports_destroy(FlowmeshRateReports *reports)
{
    free(reports->entries);
    memset(reports, 0, sizeof(*reports));
}

CoreResult flowmesh_rate_estimates_init(FlowmeshRateEstimates *estimates, uint32_t capacity)
{
    memset(estimates, 0, sizeof(*estimates));
    estimates->sent =
        static_cast<FlowmeshRateSentFrame *>(calloc(capacity ? capacity : 1, sizeof(FlowmeshRateSentFrame)));
    if (estimates->sent == nullptr) return CORE_ERR;
    estimates->capacity = capacity;
    estimates->delivery_ratio = 1.0;
    estimates->delay_ns = 1e9;
    return CORE_OK;
}

void flowmesh_rate_estimates_destroy(FlowmeshRateEstimates *estimates)
{
    free(estimates->sent);
    memset(estimates, 0, sizeof(*estimates));
}

void flowmesh_rate_on_frame_report(FlowmeshRateReports *reports, const FlowmeshRateConfig *config,
                                   const uint16_t frames[4], const uint32_t bytes[4], uint64_t now)
{
    const double nominal = static_cast<double>(config->nominal_period_ns);
    const double peak = static_cast<double>(config->peak_period_ns);
    bool updated = false;
    for (int i = 0; i < 4 && frames[i] != 0; ++i) {
        const uint16_t frame = frames[i];
        const uint16_t last = reports->last_frame;
        const bool newer = last == 0 || frame > last || last - frame > 32766;
        if (!updated && newer) {
            double t = nominal;
            if (last != 0) {
                const uint16_t gap = static_cast<uint16_t>(frame - last);
                const int64_t age = since(now, reports->last_time_ns);
                if (gap >= 1 && gap <= 4 && age >= 0 && age < 4000 * static_cast<int64_t>(kMs)) {
                    t = static_cast<double>(age) / gap;
                    if (nominal > 0) t = std::min(t, nominal);
                }
            }
            if (t <= 0) t = 33000000.0;
            double estimate = reports->interval_ns > 0 ? t * 0.2 + reports->interval_ns * 0.8 : t;
            if (nominal > 0) estimate = std::min(estimate, nominal);
            if (peak > 0) estimate = std::max(estimate, peak);
            reports->interval_ns = estimate;
            reports->last_frame = frame;
            reports->last_time_ns = now;
            updated = true;
        }
        FlowmeshRateReport *free_entry = nullptr;
        bool present = false;
        for (uint32_t e = 0; e < reports->capacity; ++e) {
            FlowmeshRateReport &entry = reports->entries[e];
            if (entry.frame == frame) present = true;
            if (entry.frame == 0 && free_entry == nullptr) free_entry = &entry;
        }
        if (!present && free_entry != nullptr) *free_entry = {frame, bytes[i], now};
    }
    reports->any = 1;
}

void flowmesh_rate_record_sent(FlowmeshRateEstimates *estimates, uint16_t frame, uint64_t bytes, uint64_t now)
{
    if (estimates->capacity == 0 || frame == 0) return;
    FlowmeshRateSentFrame *slot = nullptr;
    for (uint32_t i = 0; i < estimates->capacity; ++i) {
        FlowmeshRateSentFrame &r = estimates->sent[i];
        if (r.frame == 0) {
            slot = &r;
            break;
        }
        if (slot == nullptr || since(slot->sent_ns, r.sent_ns) > 0) slot = &r;
    }
    *slot = {frame, bytes, now};
}

uint32_t flowmesh_rate_update_estimates(FlowmeshRateEstimates *estimates, FlowmeshRateReports *reports,
                                        const FlowmeshRateConfig *config, double frames_per_second,
                                        uint64_t cycle, uint64_t now)
{
    FlowmeshRateEstimates *e = estimates;
    bool matched = false;
    for (uint32_t i = 0; i < reports->capacity; ++i) {
        FlowmeshRateReport &report = reports->entries[i];
        if (report.frame == 0) continue;
        for (uint32_t k = 0; k < e->capacity; ++k) {
            FlowmeshRateSentFrame &sent = e->sent[k];
            if (sent.frame != report.frame) continue;
            double ratio = 1.0;
            if (sent.bytes > 0) ratio = std::min(1.0, static_cast<double>(report.bytes) / static_cast<double>(sent.bytes));
            e->delivery_ratio = std::min(1.0, ratio * 0.2 + e->delivery_ratio * 0.8);
            const double delay = static_cast<double>(std::max<int64_t>(0, since(report.time_ns, sent.sent_ns)));
            e->delay_ns = (delay + e->delay_ns) / 2;
            sent = {};
            matched = true;
            break;
        }
        // Every frame is reported up to four times; the repeats (and
        // reports of frames whose record already expired) match nothing
        // and would otherwise fill the table until no new report fits.
        report = {};
    }

    // Before the first report there is nothing to wait for: a peer that
    // never reports must not read as one that lost every frame.
    if (reports->any) {
        const double interval = reports->interval_ns;
        const double nominal = static_cast<double>(config->nominal_period_ns);
        double grace = interval > 0 ? 4 * interval + 100e6 : (nominal > 0 ? 4 * nominal : 232e6);
        const double cap = nominal > 0 ? 4 * nominal + 100e6 : 1e9;
        const double limit = e->delay_ns + std::min(std::max(grace, 250e6), cap);
        for (uint32_t k = 0; k < e->capacity; ++k) {
            FlowmeshRateSentFrame &sent = e->sent[k];
            if (sent.frame == 0 || static_cast<double>(since(now, sent.sent_ns)) <= limit) continue;
            e->expired_seen = 1;
            e->last_expired_ns = now;
            e->last_expired_cycle = cycle;
            if (reached(now, e->burst_end_ns)) e->expired = 0;
            e->expired += 1;
            e->burst_end_ns = now + kExpiryBurstNs;
            sent = {};
        }
    }

    uint32_t penalty = 0;
    if (matched) penalty += static_cast<uint32_t>((1.0 - e->delivery_ratio) / 0.05);
    uint32_t group = 2;
    if (frames_per_second >= 50) group = 8;
    else if (frames_per_second >= 30) group = 6;
    else if (frames_per_second >= 15) group = 4;
    penalty += e->expired / group;
    e->expired %= group;
    return penalty;
}
