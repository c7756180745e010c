// TLV channels: the reader that turns a session's service-stream bytes (or
// an engine receiver's stream data) back into whole TLV records and hands
// each record to a consumer as one queue message.
//
// A FlowmeshTlvChannel owns a queue, a pool and the partial record being
// collected. One thread at a time feeds it (the core's service-data pipe
// thread, or the engine receiver's callback thread); its consumer runs on
// the queue's executor or own thread. Pieces may split items anywhere; the
// consumer sees each record once, in arrival order.
//
// The consumer's entry carries the values of the record's items
// concatenated (integers in host order, markers adding nothing), which is
// what the engine's receivers read. The item types and lengths travel
// beside the values, past entry->length, so that a parser can check a
// record's schema before it reads a single value: flowmesh_tlv_record_of
// gives that view. Functions return CORE_OK or a negative CoreResult.
#pragma once

#include <cstdint>

#include "core/names.h"
#include "core/queue.h"
#include "core/result.h"
#include "core/tlv.h"

struct CorePool;

// Pool sizes from 1 to this are raised to it: a pool must hold at least
// one small record's item nodes.
#define FLOWMESH_TLV_CHANNEL_MIN_POOL 128u

struct FlowmeshTlvChannelConfig {
    CoreName executor;   // empty: the channel's queue runs its own thread
    CoreName pool;       // empty: a private heap pool
    uint64_t pool_size;  // 0: unbounded (private) or the named pool itself
    CorePipeFn callback; // NULL: no consumer, records stay queued
    void *user[2];
};

// One collected item of the record being received.
struct FlowmeshTlvItemNode;

struct FlowmeshTlvChannel {
    CoreQueue *queue;
    CorePool *pool;
    CoreName pool_name;     // empty for a private pool
    uint64_t pool_size;     // as applied (after the minimum)
    CoreTlvDecoder decoder; // bytes of the current item
    FlowmeshTlvItemNode *first;  // complete items of the current record
    FlowmeshTlvItemNode *last;
    uint32_t item_count;
    uint64_t value_bytes;
    CorePipeFn callback;
    void *user[2];
    uint64_t dropped;       // records lost to a format or memory failure
};

// A decoded record as its consumer sees it. values/length are the entry's
// payload; types[i] and the i-th big-endian u32 of lengths_be describe
// item i (the end item included, as the last one).
struct FlowmeshTlvRecord {
    const uint8_t *values;
    uint64_t length;
    uint32_t count;
    const uint8_t *types;
    const uint8_t *lengths_be;
};

// A new channel, or NULL (config NULL, a named pool that does not exist,
// no memory, queue creation failed).
FlowmeshTlvChannel *flowmesh_channel_create(const FlowmeshTlvChannelConfig *config);

// Stops the consumer, frees the queue, the partial record and the pool;
// sets *channel to NULL. NULL and *channel NULL are ignored.
void flowmesh_channel_destroy(FlowmeshTlvChannel **channel);

// Feeds the entry's data. CORE_OK when every byte was taken (a record may
// still be partial). CORE_ERR (-100) on an item that breaks the item rules,
// a memory failure or a failed post: the partial record and the rest of
// this piece are dropped, `dropped` counts it, and the next feed starts at
// a fresh item head. The entry's name, type and flags name the records
// completed in this feed.
CoreResult flowmesh_tlv_reader_feed(FlowmeshTlvChannel *channel, const CoreQueueEntry *entry);

// The view of an entry handed to a channel's callback. CORE_OK, or
// CORE_ERR_INVALID for NULL arguments. Only valid for entries of a channel
// callback, during the call.
CoreResult flowmesh_tlv_record_of(const CoreQueueEntry *entry, FlowmeshTlvRecord *out);

// For a channel without a callback, whose records stay queued: the entry a
// consumer would be handed (the values only) from one peeked or popped from
// its queue. CORE_OK, or CORE_ERR_INVALID when `queued` carries no schema
// trailer.
CoreResult flowmesh_tlv_queued_view(const CoreQueueEntry *queued, CoreQueueEntry *view);

// Item i's type and length; 0 and 0 past the last item.
uint8_t flowmesh_tlv_record_type(const FlowmeshTlvRecord *record, uint32_t index);
uint32_t flowmesh_tlv_record_length(const FlowmeshTlvRecord *record, uint32_t index);
