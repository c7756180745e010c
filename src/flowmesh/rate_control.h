// The media-rate controller: how much a media-rate stream may send.
//
// The controller watches congestion signals from the receiver, the share of
// bytes that had to be retransmitted and (when the peer sends frame
// reports) how much of each frame arrived and how late, and moves either a
// target bitrate between the stream's minimum and maximum (bitrate mode) or
// a quality level 0..7. It adapts the chunk size itself; bitrate and level
// go to the application, which drives its encoder with them.
//
// Everything here is a pure step on plain structs: the caller passes the
// time and what it measured and gets actions back, so the tables of the
// tests run without threads or clocks. FlowmeshRateState and
// FlowmeshRateEstimates belong to the media stream's sender thread;
// FlowmeshRateReports is written by the receive path and read by the
// sender thread, and its caller holds one lock around every call that
// takes it. No function fails; nothing allocates except
// flowmesh_rate_estimates_init and flowmesh_rate_reports_init (CORE_OK or
// CORE_ERR when memory is short).
#pragma once

#include <cstdint>

#include "core/result.h"

#define FLOWMESH_CHUNK_MIN 256u
#define FLOWMESH_CHUNK_MAX 1408u
#define FLOWMESH_LEVEL_MAX 7
#define FLOWMESH_RATE_REDUCTIONS 4u  // reductions per reduction window
#define FLOWMESH_RATE_MULTIPLIER_MAX 32u
#define FLOWMESH_RATE_REPORT_NS 300000000ULL         // a change is reported at most this often
#define FLOWMESH_RATE_FORCED_REPORT_NS 15000000000ULL  // and the values every this long regardless

struct FlowmeshRateConfig {
    uint64_t min_bitrate;  // bits per second
    uint64_t max_bitrate;  // 0: no upper bound
    int bitrate_mode;      // 1: move the bitrate; 0: move the quality level
    uint64_t nominal_period_ns;  // 0: unknown
    uint64_t peak_period_ns;     // 0: unknown
};

enum FlowmeshRateDirection : int32_t {
    FLOWMESH_RATE_NONE = 0,
    FLOWMESH_RATE_UP = 1,
    FLOWMESH_RATE_DOWN = 2,
};

// The controller's own state; starts from flowmesh_rate_init.
struct FlowmeshRateState {
    uint64_t bitrate;  // working values
    int32_t level;     // -1 in bitrate mode
    uint64_t reported_bitrate;  // last values the application took
    int32_t reported_level;
    uint32_t chunk_size;
    uint64_t chunk_hold_ns;  // no growth before this
    uint64_t reduction_end_ns;
    uint32_t reductions;
    // Loss news lags a reduction by the wait for the next report and a
    // window's worth of frames at the new rate; until then the receiver's
    // signals and resend requests are about the old, higher rate.
    uint64_t stale_until_ns;
    // The rate the last reduction cut from, the one that lost: a run of
    // increases stops short of it and then probes by the small steps.
    uint64_t mark_bitrate;
    int32_t mark_level;
    uint64_t last_eval_ns;
    uint64_t last_eval_cycle;
    uint64_t evaluations;
    uint64_t long_drop_allowed;  // evaluation count from which a long-term drop may come again
    double short_loss;  // S
    double long_loss;   // T
    double samples[4];
    uint32_t sample_count;
    int32_t direction;
    uint32_t up_multiplier;
    uint32_t down_multiplier;
    uint64_t next_report_ns;
    uint64_t forced_report_ns;
};

// What the sender measured since the last step.
struct FlowmeshRateInputs {
    uint64_t cycle;                 // the sender thread's cycle counter
    uint32_t congestion_signals;    // taken (and zeroed) by the caller
    int congestion_seen;            // a signal (or penalty) was ever noted
    uint64_t last_congestion_ns;
    uint64_t last_congestion_cycle;
    int expired_seen;               // a sent frame's report ever expired
    uint64_t last_expired_ns;
    uint64_t last_expired_cycle;
    uint64_t bytes_sent;            // since the last evaluation
    uint64_t bytes_retransmitted;
    double frame_interval_ns;       // sender's estimate; 0: unknown
    double delivery_ratio;          // 1.0 without frame reports
};

struct FlowmeshRateActions {
    int report;  // report event 0 with {level, bitrate}, then call flowmesh_rate_reported
    int32_t level;
    uint64_t bitrate;
    uint32_t chunk_size;
    int evaluated;  // the byte counts were used: start them again from 0
    int flush;      // everything sent was sent again: drop the retained chunks and queued frames
};

// Starting values: bitrate halfway between the bounds, level 4 (or -1 in
// bitrate mode), chunk size 1408; the first evaluation and report come
// 500 ms and 300 ms after `now`, the first forced report 15 s after it.
void flowmesh_rate_init(FlowmeshRateState *state, const FlowmeshRateConfig *config, uint64_t now);

// One controller pass at `now` (ns of core_clock_mono_ns).
void flowmesh_rate_step(FlowmeshRateState *state, const FlowmeshRateConfig *config, const FlowmeshRateInputs *in,
                        uint64_t now, FlowmeshRateActions *out);

// Whether the application took the report the last step asked for. A
// refused report is not remembered as made, so it is tried again at the
// next reporting point (300 ms later) instead of ending the sender.
void flowmesh_rate_reported(FlowmeshRateState *state, const FlowmeshRateActions *actions, int accepted,
                            uint64_t now);

// Step sizes by the current bitrate; `capped` selects the smaller up-steps
// used while a cap holds the increase back.
uint64_t flowmesh_rate_step_down(uint64_t bitrate);
uint64_t flowmesh_rate_step_up(uint64_t bitrate, int capped);

// ---- frame reports and the delivery estimates ----

struct FlowmeshRateReport {
    uint16_t frame;  // 0: free
    uint32_t bytes;
    uint64_t time_ns;
};

// Written by the receive path (flowmesh_rate_on_frame_report), read and
// emptied by the sender thread (flowmesh_rate_update_estimates); the caller
// holds one lock around both.
struct FlowmeshRateReports {
    FlowmeshRateReport *entries;
    uint32_t capacity;      // frame window + 4
    double interval_ns;     // reported frame interval; 0: unknown
    uint16_t last_frame;    // 0: none yet
    uint64_t last_time_ns;
    int any;                // a report ever arrived
};

struct FlowmeshRateSentFrame {
    uint16_t frame;  // 0: free
    uint64_t bytes;
    uint64_t sent_ns;
};

// The sender thread's side of the estimates.
struct FlowmeshRateEstimates {
    FlowmeshRateSentFrame *sent;
    uint32_t capacity;
    double delivery_ratio;  // 1.0 at start
    double delay_ns;        // 1e9 at start
    uint32_t expired;       // expired records not yet turned into a penalty
    uint64_t burst_end_ns;
    int expired_seen;
    uint64_t last_expired_ns;
    uint64_t last_expired_cycle;
};

CoreResult flowmesh_rate_reports_init(FlowmeshRateReports *reports, uint32_t capacity);
void flowmesh_rate_reports_destroy(FlowmeshRateReports *reports);
CoreResult flowmesh_rate_estimates_init(FlowmeshRateEstimates *estimates, uint32_t capacity);
void flowmesh_rate_estimates_destroy(FlowmeshRateEstimates *estimates);

// A received frame report: up to four {frame, bytes} pairs, a frame
// number 0 ending the list.
void flowmesh_rate_on_frame_report(FlowmeshRateReports *reports, const FlowmeshRateConfig *config,
                                   const uint16_t frames[4], const uint32_t bytes[4], uint64_t now);

// Notes a frame the sender finished; the oldest record gives way when all
// are in use.
void flowmesh_rate_record_sent(FlowmeshRateEstimates *estimates, uint16_t frame, uint64_t bytes, uint64_t now);

// Matches reports to sent frames, expires frames no report came for, and
// returns the congestion penalty to add to the congestion count (0: none).
// `frames_per_second` comes from the sender's frame interval (0: unknown).
uint32_t flowmesh_rate_update_estimates(FlowmeshRateEstimates *estimates, FlowmeshRateReports *reports,
                                        const FlowmeshRateConfig *config, double frames_per_second,
                                        uint64_t cycle, uint64_t now);
