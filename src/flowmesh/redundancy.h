// Redundant copies of datagrams: which datagrams of a run get sent twice.
//
// A stream with redundancy sends `copies` extra copies in every run of
// `period` datagrams, each a copy of a datagram chosen at random within the
// run (one datagram may be chosen more than once), so that a receiver rides
// over scattered losses without asking for anything. Runs start where the
// sender's datagram counter is a multiple of the period, so they line up
// the same way whichever message or frame a datagram belongs to. The paced
// and the media-rate streams share this schedule.
//
// A schedule belongs to the one thread that sends the stream's datagrams;
// it has no lock. init returns CORE_OK, CORE_ERR_INVALID for a copies count
// above FLOWMESH_REDUNDANCY_MAX_COPIES, CORE_ERR when memory is short;
// the other functions cannot fail.
#pragma once

#include <cstdint>

#include "core/result.h"

// Every copy costs a full datagram; a request for more copies per run than
// this is a configuration error, and refusing it keeps the key table small.
#define FLOWMESH_REDUNDANCY_MAX_COPIES 65535u

struct FlowmeshRedundancy {
    uint32_t copies;  // 0: the schedule is off
    uint32_t period;  // datagrams per run
    uint64_t *keys;   // sequence numbers due a copy, ascending after a refresh
    uint32_t next;    // first key not yet taken
};

// Sets up a schedule; it is off when either value is 0 or 0xFFFFFFFF (the
// two "unset" values a stream request can carry).
CoreResult flowmesh_redundancy_init(FlowmeshRedundancy *schedule, uint32_t copies, uint32_t period);
void flowmesh_redundancy_destroy(FlowmeshRedundancy *schedule);

// 1 when copies are scheduled at all.
int flowmesh_redundancy_enabled(const FlowmeshRedundancy *schedule);

// Call before sending the datagram numbered `counter`: at the start of a
// run (counter a multiple of the period) draws the run's keys from this
// thread's generator. Keys of the last run that were never taken lapse.
void flowmesh_redundancy_refresh(FlowmeshRedundancy *schedule, uint64_t counter);

// How many copies of datagram `sequence` to send right after it, taking
// them off the schedule. Keys below `sequence` (their datagram was never
// sent, as when a message was cut short) are dropped, so they cannot hold
// back the copies due after them.
uint32_t flowmesh_redundancy_take(FlowmeshRedundancy *schedule, uint64_t sequence);
