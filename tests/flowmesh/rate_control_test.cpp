// The media-rate controller as a pure step: reductions on congestion
// signals, chunk-size adaptation, increase caps, report timing, and the
// estimates fed by frame reports. Time is whatever the table says.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "flowmesh/rate_control.h"

namespace {

constexpr uint64_t kMs = 1000000ULL;
constexpr uint64_t kStart = 1000000 * kMs;  // far from 0, so nothing leans on a zero clock

struct Controller {
    FlowmeshRateConfig config = {};
    FlowmeshRateState state = {};
    FlowmeshRateInputs in = {};
    FlowmeshRateActions out = {};
    uint64_t now = kStart;

    Controller(uint64_t min, uint64_t max, int bitrate_mode)
    {
        config.min_bitrate = min;
        config.max_bitrate = max;
        config.bitrate_mode = bitrate_mode;
        flowmesh_rate_init(&state, &config, now);
        in.delivery_ratio = 1.0;
    }
    void step()
    {
        flowmesh_rate_step(&state, &config, &in, now, &out);
        in.congestion_signals = 0;
        if (out.evaluated) in.bytes_sent = in.bytes_retransmitted = 0;
        if (out.report) flowmesh_rate_reported(&state, &out, 1, now);
        in.cycle += 1;
    }
    void signals(uint32_t n)
    {
        in.congestion_signals = n;
        step();
    }
    // One evaluation 500 ms on with `retransmitted` of `sent` bytes.
    void evaluate(uint64_t sent, uint64_t retransmitted)
    {
        now += 500 * kMs;
        in.bytes_sent = sent;
        in.bytes_retransmitted = retransmitted;
        step();
        EXPECT_TRUE(out.evaluated);
    }
};

TEST(FlowmeshRateControl, StepTables)
{
    struct Row {
        uint64_t bitrate, down, up_capped, up_free;
    };
    const Row rows[] = {
        {0, 25000, 25000, 25000},
        {100000, 25000, 100000, 100000},
        {300000, 100000, 150000, 150000},
        {750000, 150000, 250000, 250000},
        {1000000, 250000, 250000, 500000},
        {1999999, 500000, 250000, 500000},
        {4000000, 1000000, 500000, 2000000},
        {16000000, 4000000, 800000, 4000000},
        {16000001, 8000000, 800000, 4000000},
        {63999999, 8000000, 1000000, 6000000},
        {64000000, 8000000, 1142857, 8000000},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.bitrate);
        EXPECT_EQ(flowmesh_rate_step_down(row.bitrate), row.down);
        EXPECT_EQ(flowmesh_rate_step_up(row.bitrate, 1), row.up_capped);
        EXPECT_EQ(flowmesh_rate_step_up(row.bitrate, 0), row.up_free);
    }
}

// One congestion signal: one step down, rounded to 5000, then clamped.
TEST(FlowmeshRateControl, OneSignalStepsDown)
{
    struct Row {
        const char *what;
        uint64_t min, max, start, after;
    };
    const Row rows[] = {
        {"a million loses a quarter", 0, 2000000, 1000000, 750000},
        {"one more bit takes the larger step", 0, 2000000, 1000001, 500000},
        {"a step larger than the rate stops at a minimum of 0", 0, 2000000, 20000, 0},
        {"and at the minimum", 30000, 2000000, 40000, 30000},
        {"a minimum off the 5000 grid stays reachable", 12345, 2000000, 20000, 12345},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Controller c(row.min, row.max, 1);
        c.state.bitrate = c.state.reported_bitrate = row.start;
        c.signals(1);
        EXPECT_EQ(c.state.bitrate, row.after);
        c.signals(1);
        EXPECT_LE(c.state.bitrate, row.after) << "no wrap to a huge rate";
        EXPECT_GE(c.state.bitrate, row.min);
    }
}

// The receiver repeats its signal at every scan while an overshoot's
// backlog lasts. Signals of one pass cut up to four times; those of later
// passes echo the same loss until the cut has been reported (at the next
// reporting point, 300 ms after the last) and a window (500 ms) has
// passed. Cutting on each echo took one overshoot down to the minimum.
TEST(FlowmeshRateControl, AtMostFourReductionsPerWindow)
{
    struct Row {
        const char *what;
        uint64_t at_ms;  // since the start
        uint32_t signals;
        uint64_t after;
    };
    const Row rows[] = {
        {"a signal cuts", 10, 1, 12000000},
        {"its echo 30 ms later does not", 40, 1, 12000000},
        {"nor one before the cut was heard and a window passed", 790, 2, 12000000},
        {"news of the reduced rate: five at once cut four times", 810, 5, 3000000},
        {"and their echo does not", 900, 1, 3000000},
        {"still an echo: reported at 1090 ms, plus a window", 1580, 1, 3000000},
        {"news again", 1600, 1, 2000000},
    };
    Controller c(0, 100000000, 1);
    c.state.bitrate = 20000000;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        c.now = kStart + row.at_ms * kMs;
        c.signals(row.signals);
        EXPECT_EQ(c.state.bitrate, row.after);
    }
}

// Chunk size from the short-term loss S; a shrink holds growth for 5 s.
TEST(FlowmeshRateControl, ChunkSizeFollowsRetransmissions)
{
    struct Row {
        const char *what;
        double loss;  // S before and the share retransmitted, so S stays put
        uint32_t chunk;
    };
    const Row rows[] = {
        {"0.8 %: percent 0, size stays", 0.008, 1408},
        {"2 %: 1408 / 2", 0.02, 704},
        {"10 %: 140, rounded up to 144, raised to the minimum", 0.10, 256},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Controller c(100000, 10000000, 1);
        c.state.short_loss = row.loss;
        c.evaluate(1000000, static_cast<uint64_t>(row.loss * 1000000));
        EXPECT_EQ(c.out.chunk_size, row.chunk);
        EXPECT_EQ(c.state.chunk_hold_ns, c.now + 5000 * kMs) << "growth held";
    }

    // Held: a clean evaluation inside the 5 s does not grow it; after, it
    // doubles once per 5 s, rounded to 16, up to 1408.
    Controller c(100000, 10000000, 1);
    c.state.short_loss = 0.10;
    c.evaluate(1000000, 100000);
    ASSERT_EQ(c.state.chunk_size, 256u);
    c.state.short_loss = 0;
    c.evaluate(1000000, 0);
    EXPECT_EQ(c.state.chunk_size, 256u);
    std::vector<uint32_t> sizes;
    for (int i = 0; i < 40; ++i) {
        c.evaluate(1000000, 0);
        if (sizes.empty() || sizes.back() != c.state.chunk_size) sizes.push_back(c.state.chunk_size);
    }
    EXPECT_EQ(sizes, (std::vector<uint32_t>{256, 512, 1024, 1408}));
}

// Level mode: the level stays within 0..7 whatever happens, and an increase
// is capped by the mid-range of the samples.
TEST(FlowmeshRateControl, LevelStaysInRangeAndObeysTheCap)
{
    Controller c(0, 0, 0);
    EXPECT_EQ(c.state.level, 4);
    uint32_t x = 12345;
    for (int i = 0; i < 2000; ++i) {
        x = x * 1103515245u + 12345u;
        const uint32_t r = (x >> 16) % 10;
        if (r < 2)
            c.signals(1 + r * 3);
        else
            c.evaluate(1000000, r == 9 ? 2000000 : 0);  // now and then everything twice
        ASSERT_GE(c.state.level, 0) << i;
        ASSERT_LE(c.state.level, FLOWMESH_LEVEL_MAX) << i;
    }

    // Samples whose mid-range is 0.04 (S held at 4 %): from level 0 the
    // increase stops at level 2.
    Controller capped(0, 0, 0);
    capped.state.level = capped.state.reported_level = 0;
    capped.state.short_loss = 0.04;
    for (int i = 0; i < 20; ++i) capped.evaluate(1000000, 40000);
    EXPECT_EQ(capped.state.level, 2);
}

TEST(FlowmeshRateControl, IncreasesNeverLowerAndStopAtTheTop)
{
    // A rate above the cap of a bad mid-range (20 % of the maximum) stays.
    Controller high(100000, 10000000, 1);
    high.state.bitrate = high.state.reported_bitrate = 9000000;
    high.state.short_loss = 0.06;
    for (int i = 0; i < 6; ++i) {
        high.evaluate(1000000, 60000);
        ASSERT_GE(high.state.bitrate, 9000000u) << i;
    }

    // At the maximum an improving evaluation only resets the decrease
    // multiplier.
    Controller top(100000, 2000000, 1);
    top.state.bitrate = top.state.reported_bitrate = 2000000;
    top.state.samples[0] = top.state.samples[1] = 0.01;
    top.state.samples[2] = 0.0;
    top.state.sample_count = 3;
    top.state.down_multiplier = 5;
    top.state.up_multiplier = 3;
    top.evaluate(1000000, 0);
    EXPECT_EQ(top.state.bitrate, 2000000u);
    EXPECT_EQ(top.state.down_multiplier, 1u);
    EXPECT_EQ(top.state.up_multiplier, 3u);
    EXPECT_EQ(top.state.direction, FLOWMESH_RATE_UP);

    // Loss-free evaluations climb with a growing multiplier, never past
    // the maximum.
    Controller climb(100000, 50000000, 1);
    climb.state.bitrate = climb.state.reported_bitrate = 200000;
    for (int i = 0; i < 60; ++i) climb.evaluate(1000000, 0);
    EXPECT_EQ(climb.state.bitrate, 50000000u);
}

// An up run doubles its steps while the samples stay clean. Once a cut
// has shown which rate lost, a run stops short of it and from there
// probes by the small steps, each on four fresh samples; without that, a
// run from near the minimum went 10.25 -> 38.25 Mbit/s in one decision,
// far past the link. Decisions as {evaluation, bitrate after}.
TEST(FlowmeshRateControl, UpRunsStopShortOfTheRateThatLost)
{
    using Decisions = std::vector<std::pair<int, uint64_t>>;
    struct Row {
        const char *what;
        uint64_t lost;  // a signal comes at this bitrate first; 0: none
        Decisions decisions;
    };
    const Decisions doubling = {{4, 1750000}, {6, 3250000}, {8, 10250000}, {10, 38250000}};
    const Row rows[] = {
        {"no loss seen yet: the run doubles", 0, doubling},
        {"cut from 16.5M: short of it, then small steps", 16500000,
         {{4, 1750000}, {6, 3250000}, {8, 10250000}, {10, 16250000}, {14, 17050000}, {18, 17850000}}},
        {"a signal at the minimum cuts nothing and marks nothing", 1000000, doubling},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Controller c(1000000, 64000000, 1);
        if (row.lost != 0) {
            c.state.bitrate = row.lost;
            c.signals(1);
            c.now += 1000 * kMs;
        }
        c.state.bitrate = c.state.reported_bitrate = 1250000;
        Decisions seen;
        for (int i = 1; i <= 40 && seen.size() < row.decisions.size(); ++i) {
            const uint64_t before = c.state.bitrate;
            c.evaluate(1000000, 0);
            if (c.state.bitrate != before) seen.push_back({i, c.state.bitrate});
        }
        EXPECT_EQ(seen, row.decisions);
    }
}

// Resends asked for frames of the rate before a cut say nothing about the
// rate after it: until the cut's news can arrive, evaluations leave S and
// T alone. Counted, they put S near 1 after an overshoot, shrank the
// chunks and brought a long-term drop on top of the cuts.
TEST(FlowmeshRateControl, LossOfTheOldRateIsNotCounted)
{
    struct Row {
        const char *what;
        uint64_t retransmitted;  // of 1,000,000 bytes sent
        double short_loss, long_loss;
        uint32_t chunk;
    };
    const Row rows[] = {
        {"500 ms: the backlog's resends", 900000, 0.0, 0.0, 1408},
        {"1000 ms: news of the reduced rate", 100000, 0.05, 0.025, 288},
    };
    Controller c(1000000, 64000000, 1);
    c.state.bitrate = 24000000;
    c.signals(1);  // heard at the 300 ms report; news from 800 ms
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        c.evaluate(1000000, row.retransmitted);
        EXPECT_DOUBLE_EQ(c.state.short_loss, row.short_loss);
        EXPECT_DOUBLE_EQ(c.state.long_loss, row.long_loss);
        EXPECT_EQ(c.state.chunk_size, row.chunk);
    }
}

// Reports: a change at most every 300 ms, the values every 15 s without a
// change, a refused report tried again at the next point.
TEST(FlowmeshRateControl, ReportTiming)
{
    // min = max: nothing ever changes.
    Controller c(1000000, 1000000, 1);
    std::vector<uint64_t> at;
    for (int i = 0; i < 320; ++i) {
        c.now += 100 * kMs;
        c.step();
        if (c.out.report) {
            at.push_back((c.now - kStart) / kMs);
            EXPECT_EQ(c.out.bitrate, 1000000u);
            EXPECT_EQ(c.out.level, -1);
        }
    }
    EXPECT_EQ(at, (std::vector<uint64_t>{15000, 30000}));

    // A 250 ms window (16 frames of 15.6 ms): the second cut is news
    // 250 ms after the first was reported, inside the 300 ms between reports.
    Controller d(0, 4000000, 1);
    d.in.frame_interval_ns = 15625000;
    ASSERT_EQ(d.state.bitrate, 2000000u);
    d.now += 400 * kMs;
    d.signals(1);
    ASSERT_TRUE(d.out.report);
    EXPECT_EQ(d.out.bitrate, 1500000u);
    d.now += 260 * kMs;
    d.signals(1);
    EXPECT_EQ(d.state.bitrate, 1000000u);
    EXPECT_FALSE(d.out.report) << "within 300 ms of the last report";
    d.now += 50 * kMs;
    d.step();
    ASSERT_TRUE(d.out.report);
    EXPECT_EQ(d.out.bitrate, 1000000u);

    // Refused: remembered as not made, offered again 300 ms later.
    d.now += 600 * kMs;
    d.in.congestion_signals = 1;
    flowmesh_rate_step(&d.state, &d.config, &d.in, d.now, &d.out);
    d.in.congestion_signals = 0;
    ASSERT_TRUE(d.out.report);
    EXPECT_EQ(d.out.bitrate, 750000u);
    flowmesh_rate_reported(&d.state, &d.out, 0, d.now);
    d.now += 100 * kMs;
    flowmesh_rate_step(&d.state, &d.config, &d.in, d.now, &d.out);
    EXPECT_FALSE(d.out.report);
    d.now += 250 * kMs;
    flowmesh_rate_step(&d.state, &d.config, &d.in, d.now, &d.out);
    EXPECT_TRUE(d.out.report);
    EXPECT_EQ(d.out.bitrate, d.state.bitrate);
}

// ---- frame reports and estimates ----

struct Estimates {
    FlowmeshRateConfig config = {};
    FlowmeshRateReports reports = {};
    FlowmeshRateEstimates est = {};
    Estimates()
    {
        config.nominal_period_ns = 33333333;
        config.peak_period_ns = 33333333;
        EXPECT_EQ(flowmesh_rate_reports_init(&reports, 64), CORE_OK);
        EXPECT_EQ(flowmesh_rate_estimates_init(&est, 60), CORE_OK);
    }
    ~Estimates()
    {
        flowmesh_rate_reports_destroy(&reports);
        flowmesh_rate_estimates_destroy(&est);
    }
    void report(uint16_t frame, uint32_t bytes, uint64_t now)
    {
        const uint16_t frames[4] = {frame, 0, 0, 0};
        const uint32_t sizes[4] = {bytes, 0, 0, 0};
        flowmesh_rate_on_frame_report(&reports, &config, frames, sizes, now);
    }
    uint32_t update(uint64_t now) { return flowmesh_rate_update_estimates(&est, &reports, &config, 30, 0, now); }
    uint32_t held() const
    {
        uint32_t n = 0;
        for (uint32_t i = 0; i < reports.capacity; ++i) n += reports.entries[i].frame != 0 ? 1 : 0;
        return n;
    }
};

// A peer that never reports leaves the estimates alone: no record
// expires, no penalty, however long it goes on.
TEST(FlowmeshRateEstimates, NoExpiryBeforeTheFirstReport)
{
    Estimates e;
    uint64_t now = kStart;
    uint32_t penalty = 0;
    for (uint16_t frame = 1; frame <= 300; ++frame) {
        now += 33 * kMs;
        flowmesh_rate_record_sent(&e.est, frame, 10000, now);
        penalty += e.update(now);
    }
    EXPECT_EQ(penalty, 0u);
    EXPECT_EQ(e.est.expired_seen, 0);

    // Once reports flow, frames nobody reports expire and cost a penalty.
    e.report(300, 10000, now);
    e.update(now);
    for (int i = 0; i < 100; ++i) {
        now += 33 * kMs;
        penalty += e.update(now);
    }
    EXPECT_EQ(e.est.expired_seen, 1);
    EXPECT_GT(penalty, 0u);
}

// Each frame comes in four reports; the repeats match nothing and must
// not pile up until a new report finds no room.
TEST(FlowmeshRateEstimates, RepeatedReportsDoNotFillTheTable)
{
    Estimates e;
    uint64_t now = kStart;
    uint32_t penalty = 0;
    for (uint16_t frame = 1; frame <= 1000; ++frame) {
        now += 33 * kMs;
        flowmesh_rate_record_sent(&e.est, frame, 10000, now);
        const uint16_t frames[4] = {frame, static_cast<uint16_t>(frame > 1 ? frame - 1 : 0),
                                    static_cast<uint16_t>(frame > 2 ? frame - 2 : 0), 0};
        const uint32_t sizes[4] = {10000, 10000, 10000, 0};
        flowmesh_rate_on_frame_report(&e.reports, &e.config, frames, sizes, now + 2 * kMs);
        penalty += e.update(now + 3 * kMs);
        ASSERT_EQ(e.held(), 0u) << frame;
    }
    EXPECT_EQ(penalty, 0u);
    EXPECT_DOUBLE_EQ(e.est.delivery_ratio, 1.0);
    EXPECT_NEAR(e.reports.interval_ns, 33 * kMs, 1 * kMs);
    EXPECT_LT(e.est.delay_ns, 10.0 * kMs);
}

TEST(FlowmeshRateEstimates, PartialFramesLowerTheDeliveryRatio)
{
    Estimates e;
    uint64_t now = kStart;
    uint32_t penalty = 0;
    for (uint16_t frame = 1; frame <= 20; ++frame) {
        now += 33 * kMs;
        flowmesh_rate_record_sent(&e.est, frame, 10000, now);
        e.report(frame, 5000, now + kMs);
        penalty += e.update(now + kMs);
    }
    EXPECT_LT(e.est.delivery_ratio, 0.6);
    EXPECT_GT(penalty, 20u) << "about (1 - ratio) / 0.05 per matched pass";
}

}  // namespace
