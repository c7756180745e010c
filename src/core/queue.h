// Message queues, pipes and buffer channels.
//
// A CoreQueue copies each posted message (name, type, flags, payload) into
// a block of its pool and hands the messages, in order, to one consumer
// that runs on the queue's own thread or as a task of a named executor. Any
// thread may post, pop, peek or flush; the consumer runs with no lock held,
// one pass at a time. A message the consumer was shown stays valid until that
// pass ends, whatever other threads pop or flush meanwhile.
//
// Pipes deliver one message per call to a callback; channels add a pool of
// their own for buffers posted through them. Functions return CORE_OK (0)
// or -1 on failure unless stated otherwise.
#pragma once

#include <cstdint>

#include "core/names.h"
#include "core/result.h"

struct CorePool;
struct CoreQueue;
struct CoreQueueRecord;

struct CoreMessage {
    uint32_t type;
    uint32_t flags;
    uint64_t length;
    void *data;
};

// Gather element: elements whose data is NULL are skipped.
struct CoreIoVec {
    uint64_t length;
    const void *data;
};

// 1 when the element has data and a non-zero length.
int core_iovec_ready(const CoreIoVec *vec);

// A view of a queued message; data points into the queue's record.
struct CoreQueueEntry {
    CoreName name;
    uint32_t type;
    uint32_t flags;
    uint64_t length;
    void *data;
};

// Receives up to `batch` entries; sets *count to how many of them (from
// the first) to remove. Returns CORE_OK to remove them, CORE_AGAIN to retry
// after the pause, CORE_DONE or a negative value to stop the consumer.
typedef int (*CoreQueueConsumerFn)(CoreQueueEntry *entries, uint64_t *count, void **user);

struct CoreQueueConfig {
    uint32_t lifo;       // non-zero: newest first
    uint64_t batch;      // entries per consumer call, at least 1
    uint32_t pause_ms;   // sleep after CORE_AGAIN
    CoreName executor;   // empty: own consumer thread
    CoreName pool;       // empty: a private pool
    uint64_t pool_size;
    CoreQueueConsumerFn consumer;  // NULL: read with pop and peek only
    void *user[2];
};

CoreQueue *core_queue_create(const CoreQueueConfig *config);
void core_queue_destroy(CoreQueue **queue);

// Copies one message and wakes the consumer. 0; -1 when memory is short;
// in executor mode the trigger's result.
int core_queue_post(CoreQueue *queue, const CoreName *name, uint32_t type, uint32_t flags,
                    const CoreIoVec *vecs, uint64_t count);

// Names the message `prefix` + the next process sequence number (as
// core_seq_name does) while holding the queue's lock, so that concurrent
// posters queue their messages in number order. 0 with the number in
// *value_out (when not NULL); otherwise as core_queue_post.
int core_queue_post_seq(CoreQueue *queue, const char *prefix, uint64_t *value_out, uint32_t type,
                        uint32_t flags, const CoreIoVec *vecs, uint64_t count);

// All or nothing: copies every message first, then appends them at once.
int core_queue_post_batch(CoreQueue *queue, const CoreQueueEntry *entries, uint64_t count);

// Unlinks and returns the next message in hand-out order, or NULL. Free it
// with core_queue_record_free. Messages a consumer pass is looking at are
// skipped.
CoreQueueRecord *core_queue_pop(CoreQueue *queue);
// View of a popped record.
CoreQueueEntry core_queue_record_entry(const CoreQueueRecord *record);
void core_queue_record_free(CoreQueue *queue, CoreQueueRecord **record);

// Copies up to *count views in hand-out order. Returns 1, or 0 with
// *count = 0 when the queue is empty or *count was 0.
int core_queue_peek(CoreQueue *queue, CoreQueueEntry *out, uint64_t *count);

// Frees every queued message (those a pass is looking at when it ends).
void core_queue_flush(CoreQueue *queue);

// Wakes the consumer. 0, or -1 when the queue has no consumer.
int core_queue_wake(CoreQueue *queue);

// Messages in the queue.
uint64_t core_queue_count(CoreQueue *queue);

// ---- pipes ----

typedef int (*CorePipeFn)(CoreQueueEntry *entry, void **user);

struct CorePipeConfig {
    uint64_t pool_size;
    CoreName executor;
    CoreName pool;
    CorePipeFn fn;
    void *user[2];
};

struct CorePipe {
    CoreQueue *queue;  // first: core_channel_post_entry takes either
    CorePipeFn fn;
    void *user[2];
};

CorePipe *core_pipe_create(const CorePipeConfig *config);
void core_pipe_destroy(CorePipe **pipe);

// ---- channels ----

struct CoreChannelConfig {
    uint32_t lifo;
    CoreName executor;
    CoreName pool;
    uint64_t pool_size;
    CorePipeFn fn;
    void *user[2];
};

struct CoreChannel {
    CoreQueue *queue;  // first: core_channel_post_entry takes either
    CorePool *pool;    // for buffers posted through the channel
    CoreName pool_name;
    CorePipeFn fn;
    void *user[2];
};

CoreChannel *core_channel_create(const CoreChannelConfig *config);
void core_channel_destroy(CoreChannel **channel);

// Posts one message made from the entry to the queue of a pipe or channel
// (pass the object's address: both begin with their queue).
int core_channel_post_entry(void *pipe_or_channel, const CoreQueueEntry *entry);

// ---- buffers ----

struct CoreBuffer {
    uint32_t owned;  // data came from the default pool
    uint32_t tag;
    uint64_t capacity;
    uint64_t length;
    uint8_t *data;
};

// A zeroed block of `capacity` bytes from the default pool; NULL on failure.
uint8_t *core_buffer_alloc(CoreBuffer *buffer, uint64_t capacity);
// Returns an owned block to the default pool and clears the buffer.
void core_buffer_free(CoreBuffer *buffer);
// Copies min(source length, destination capacity) bytes; returns the
// destination's data.
uint8_t *core_buffer_copy(CoreBuffer *destination, const CoreBuffer *source);
