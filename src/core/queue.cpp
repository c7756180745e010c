#include "core/queue.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/clock.h"
#include "core/executor.h"
#include "core/log.h"
#include "core/pool.h"
#include "core/sync.h"
#include "core/thread.h"

struct CoreQueueRecord {
    CoreQueueRecord *prev;
    CoreQueueRecord *next;
    CoreName name;
    uint32_t type;
    uint32_t flags;
    uint64_t length;
    // Set while a consumer pass holds a view of the record: nobody else may
    // free it. `doomed` asks the pass to free it when it ends (a flush).
    uint32_t in_pass;
    uint32_t doomed;
    // payload follows
};

struct CoreQueue {
    uint64_t task_id = 0;
    CoreQueueRecord *head = nullptr;  // oldest
    CoreQueueRecord *tail = nullptr;  // newest
    CorePool *pool = nullptr;
    bool pool_named = false;
    std::mutex lock;
    CoreEvent event;
    CoreThreadRecord *thread = nullptr;
    std::atomic<bool> running{false};
    CoreQueueConfig config;
    uint64_t queued = 0;
    std::vector<CoreQueueEntry> snapshot;
    std::vector<CoreQueueRecord *> snapshot_records;
};

namespace {

uint8_t *payload_of(CoreQueueRecord *r) { return reinterpret_cast<uint8_t *>(r + 1); }

CoreQueueEntry entry_of(const CoreQueueRecord *r)
{
    CoreQueueEntry e;
    e.name = r->name;
    e.type = r->type;
    e.flags = r->flags;
    e.length = r->length;
    e.data = const_cast<uint8_t *>(reinterpret_cast<const uint8_t *>(r + 1));
    return e;
}

CoreQueueRecord *make_record(CoreQueue *q, const CoreName *name, uint32_t type, uint32_t flags,
                             const CoreIoVec *vecs, uint64_t count)
{
    uint64_t total = 0;
    for (uint64_t i = 0; i < count; ++i) {
        if (vecs[i].data == nullptr) continue;
        if (vecs[i].length > UINT64_MAX - sizeof(CoreQueueRecord) - total) return nullptr;
        total += vecs[i].length;
    }
    auto *r = static_cast<CoreQueueRecord *>(core_pool_alloc(q->pool, sizeof(CoreQueueRecord) + total));
    if (r == nullptr) return nullptr;
    if (name != nullptr)
        r->name = *name;
    else
        core_name_make(&r->name);  // zero key from the zeroed block
    r->type = type;
    r->flags = flags;
    r->length = total;
    uint8_t *out = payload_of(r);
    for (uint64_t i = 0; i < count; ++i) {
        if (vecs[i].data == nullptr) continue;
        memcpy(out, vecs[i].data, vecs[i].length);
        out += vecs[i].length;
    }
    return r;
}

void free_record(CoreQueue *q, CoreQueueRecord *r)
{
    void *block = r;
    core_pool_free(q->pool, &block);
}

// ---- list (queue lock held) ----

void link_tail(CoreQueue *q, CoreQueueRecord *r)
{
    r->next = nullptr;
    r->prev = q->tail;
    if (q->tail)
        q->tail->next = r;
    else
        q->head = r;
    q->tail = r;
    q->queued++;
}

void unlink(CoreQueue *q, CoreQueueRecord *r)
{
    if (r->prev)
        r->prev->next = r->next;
    else
        q->head = r->next;
    if (r->next)
        r->next->prev = r->prev;
    else
        q->tail = r->prev;
    r->prev = r->next = nullptr;
    q->queued--;
}

// First record in hand-out order, and the step to the next.
CoreQueueRecord *first(CoreQueue *q) { return q->config.lifo ? q->tail : q->head; }
CoreQueueRecord *after(CoreQueue *q, CoreQueueRecord *r) { return q->config.lifo ? r->prev : r->next; }

// ---- consumer ----

// One pass: 0 when the queue was empty or the consumer took its messages;
// otherwise the consumer's result, with nothing removed.
int consume_pass(CoreQueue *q)
{
    uint64_t n = 0;
    {
        std::lock_guard<std::mutex> guard(q->lock);
        for (CoreQueueRecord *r = first(q); r != nullptr && n < q->config.batch; r = after(q, r)) {
            if (r->in_pass) continue;
            r->in_pass = 1;
            q->snapshot[n] = entry_of(r);
            q->snapshot_records[n] = r;
            n++;
        }
    }
    if (n == 0) return 0;
    uint64_t count = n;
    int result = q->config.consumer(q->snapshot.data(), &count, q->config.user);
    if (result != CORE_OK || count > n) count = result == CORE_OK ? n : 0;

    // Remove exactly the records this pass delivered and was told to
    // remove; the rest go back to the queue untouched.
    std::vector<CoreQueueRecord *> dead;
    {
        std::lock_guard<std::mutex> guard(q->lock);
        for (uint64_t i = 0; i < n; ++i) {
            CoreQueueRecord *r = q->snapshot_records[i];
            r->in_pass = 0;
            if (i < count || r->doomed) {
                if (!r->doomed) unlink(q, r);
                dead.push_back(r);
            }
        }
    }
    for (CoreQueueRecord *r : dead) free_record(q, r);
    return result;
}

int queue_thread(void **args)
{
    auto *q = static_cast<CoreQueue *>(args[0]);
    bool retry = false;
    while (q->running.load()) {
        if (!retry) core_event_wait(&q->event, UINT32_MAX);
        retry = false;
        if (!q->running.load()) break;
        for (;;) {
            int result = consume_pass(q);
            if (result == CORE_DONE || result < 0) return 0;
            if (result == CORE_AGAIN) {
                core_sleep_ms(q->config.pause_ms);
                retry = true;
                break;
            }
            if (result != 0) {
                retry = true;
                break;
            }
            if (core_queue_count(q) == 0) break;
            if (!q->running.load()) return 0;
        }
    }
    return 0;
}

int queue_task(const CoreName *executor, uint64_t task_id, const CoreName *, const CoreName *, void **user)
{
    auto *q = static_cast<CoreQueue *>(user[0]);
    for (;;) {
        int result = consume_pass(q);
        if (result == CORE_DONE || result < 0) return result;
        if (result == CORE_AGAIN) {
            core_executor_trigger(executor, task_id, q->config.pause_ms);
            return CORE_OK;
        }
        if (result == 0 && core_queue_count(q) == 0) break;
    }
    // No self-park: the executor parks the task unless a post triggered it
    // during this run, so a message posted after the last look is not left
    // waiting for the next post.
    return CORE_OK;
}

CorePool *private_pool(uint64_t size, uint64_t granule)
{
    CorePoolConfig pc = {};
    pc.size = size;
    pc.granule = granule;
    return core_pool_create(&pc);
}

}  // namespace

int core_iovec_ready(const CoreIoVec *vec)
{
    return vec != nullptr && vec->data != nullptr && vec->length != 0;
}

CoreQueue *core_queue_create(const CoreQueueConfig *config)
{
    if (config == nullptr || config->batch == 0) return nullptr;
    auto *q = new CoreQueue;
    q->config = *config;
    if (!core_name_is_empty(&config->pool)) {
        q->pool = core_pool_get(&config->pool, config->pool_size);
        q->pool_named = true;
    } else {
        q->pool = private_pool(config->pool_size, config->pool_size < 0x40000 ? 16 : 128);
    }
    if (q->pool == nullptr) {
        delete q;
        return nullptr;
    }
    q->snapshot.resize(config->batch);
    q->snapshot_records.resize(config->batch);
    if (config->consumer == nullptr) return q;

    if (!core_name_is_empty(&config->executor)) {
        CoreTaskCallback cb = {queue_task, {q, nullptr}};
        q->task_id = core_executor_schedule(&config->executor, nullptr, nullptr, CORE_DUE_NEVER, &cb);
        if (q->task_id != 0) return q;
    } else {
        q->running.store(true);
        q->thread = core_thread_start(queue_thread, q, nullptr, "core-queue");
        if (q->thread != nullptr) return q;
        q->running.store(false);
    }
    if (q->pool_named)
        core_pool_release(q->pool);
    else
        core_pool_destroy(&q->pool);
    delete q;
    return nullptr;
}

void core_queue_destroy(CoreQueue **queue)
{
    if (queue == nullptr || *queue == nullptr) return;
    CoreQueue *q = *queue;
    *queue = nullptr;
    if (q->task_id != 0) {
        CoreExecutor *ex = core_executor_find(&q->config.executor);
        if (ex != nullptr) {
            core_executor_cancel(ex, q->task_id, 1);
            core_executor_release(ex);
        }
    } else if (q->thread != nullptr) {
        q->running.store(false);
        core_event_signal(&q->event);
        core_thread_join(&q->thread);
    }
    core_queue_flush(q);
    if (q->pool_named)
        core_pool_release(q->pool);
    else
        core_pool_destroy(&q->pool);
    delete q;
}

int core_queue_wake(CoreQueue *queue)
{
    if (queue->task_id != 0) return core_executor_trigger(&queue->config.executor, queue->task_id, 0);
    if (queue->thread != nullptr) {
        core_event_signal(&queue->event);
        return 0;
    }
    return -1;
}

int core_queue_post(CoreQueue *queue, const CoreName *name, uint32_t type, uint32_t flags,
                    const CoreIoVec *vecs, uint64_t count)
{
    if (queue == nullptr || (count > 0 && vecs == nullptr)) return -1;
    CoreQueueRecord *r = make_record(queue, name, type, flags, vecs, count);
    if (r == nullptr) return -1;
    {
        std::lock_guard<std::mutex> guard(queue->lock);
        link_tail(queue, r);
    }
    if (queue->config.consumer == nullptr) return 0;
    int woke = core_queue_wake(queue);
    return queue->task_id != 0 ? woke : 0;
}

int core_queue_post_seq(CoreQueue *queue, const char *prefix, uint64_t *value_out, uint32_t type,
                        uint32_t flags, const CoreIoVec *vecs, uint64_t count)
{
    if (queue == nullptr || prefix == nullptr || (count > 0 && vecs == nullptr)) return -1;
    CoreQueueRecord *r = make_record(queue, nullptr, type, flags, vecs, count);
    if (r == nullptr) return -1;
    uint64_t value;
    {
        // Numbering outside the lock would let a later number overtake an
        // earlier one on its way into the list.
        std::lock_guard<std::mutex> guard(queue->lock);
        core_seq_name(&r->name, prefix, &value);
        link_tail(queue, r);
    }
    if (value_out != nullptr) *value_out = value;
    if (queue->config.consumer == nullptr) return 0;
    int woke = core_queue_wake(queue);
    return queue->task_id != 0 ? woke : 0;
}

int core_queue_post_batch(CoreQueue *queue, const CoreQueueEntry *entries, uint64_t count)
{
    if (queue == nullptr || (count > 0 && entries == nullptr)) return -1;
    std::vector<CoreQueueRecord *> records;
    records.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
        CoreIoVec vec = {entries[i].length, entries[i].data};
        CoreQueueRecord *r = make_record(queue, &entries[i].name, entries[i].type, entries[i].flags, &vec, 1);
        if (r == nullptr) {
            for (CoreQueueRecord *made : records) free_record(queue, made);
            return -1;
        }
        records.push_back(r);
    }
    {
        std::lock_guard<std::mutex> guard(queue->lock);
        for (CoreQueueRecord *r : records) link_tail(queue, r);
    }
    if (queue->config.consumer != nullptr && count > 0) core_queue_wake(queue);
    return 0;
}

CoreQueueRecord *core_queue_pop(CoreQueue *queue)
{
    std::lock_guard<std::mutex> guard(queue->lock);
    for (CoreQueueRecord *r = first(queue); r != nullptr; r = after(queue, r)) {
        if (r->in_pass) continue;
        unlink(queue, r);
        return r;
    }
    return nullptr;
}

CoreQueueEntry core_queue_record_entry(const CoreQueueRecord *record)
{
    return entry_of(record);
}

void core_queue_record_free(CoreQueue *queue, CoreQueueRecord **record)
{
    if (record == nullptr || *record == nullptr) return;
    free_record(queue, *record);
    *record = nullptr;
}

int core_queue_peek(CoreQueue *queue, CoreQueueEntry *out, uint64_t *count)
{
    uint64_t wanted = *count, n = 0;
    std::lock_guard<std::mutex> guard(queue->lock);
    for (CoreQueueRecord *r = first(queue); r != nullptr && n < wanted; r = after(queue, r)) out[n++] = entry_of(r);
    *count = n;
    return n > 0 ? 1 : 0;
}

void core_queue_flush(CoreQueue *queue)
{
    std::vector<CoreQueueRecord *> dead;
    {
        std::lock_guard<std::mutex> guard(queue->lock);
        CoreQueueRecord *r = queue->head;
        while (r != nullptr) {
            CoreQueueRecord *next = r->next;
            unlink(queue, r);
            if (r->in_pass)
                r->doomed = 1;  // the pass frees it when it ends
            else
                dead.push_back(r);
            r = next;
        }
    }
    for (CoreQueueRecord *r : dead) free_record(queue, r);
}

uint64_t core_queue_count(CoreQueue *queue)
{
    std::lock_guard<std::mutex> guard(queue->lock);
    return queue->queued;
}

// ---- pipes and channels ----

namespace {

int deliver_one(CoreQueueEntry *entries, uint64_t *count, CorePipeFn fn, void **user)
{
    int result = fn(&entries[0], user);
    *count = (result == CORE_OK) ? 1 : 0;
    return result;
}

int pipe_deliver(CoreQueueEntry *entries, uint64_t *count, void **user)
{
    auto *pipe = static_cast<CorePipe *>(user[0]);
    return deliver_one(entries, count, pipe->fn, pipe->user);
}

int channel_deliver(CoreQueueEntry *entries, uint64_t *count, void **user)
{
    auto *channel = static_cast<CoreChannel *>(user[0]);
    return deliver_one(entries, count, channel->fn, channel->user);
}

CoreQueueConfig single_delivery_config(uint32_t lifo, const CoreName &executor, const CoreName &pool,
                                       uint64_t pool_size, bool has_fn, CoreQueueConsumerFn adaptor, void *self)
{
    CoreQueueConfig qc = {};
    qc.lifo = lifo;
    qc.batch = 1;
    qc.pause_ms = 100;
    qc.executor = executor;
    qc.pool = pool;
    qc.pool_size = pool_size;
    qc.consumer = has_fn ? adaptor : nullptr;
    qc.user[0] = self;
    return qc;
}

}  // namespace

CorePipe *core_pipe_create(const CorePipeConfig *config)
{
    if (config == nullptr) return nullptr;
    auto *pipe = new CorePipe{};
    pipe->fn = config->fn;
    pipe->user[0] = config->user[0];
    pipe->user[1] = config->user[1];
    CoreQueueConfig qc = single_delivery_config(0, config->executor, config->pool, config->pool_size,
                                                config->fn != nullptr, pipe_deliver, pipe);
    pipe->queue = core_queue_create(&qc);
    if (pipe->queue == nullptr) {
        delete pipe;
        return nullptr;
    }
    return pipe;
}

void core_pipe_destroy(CorePipe **pipe)
{
    if (pipe == nullptr || *pipe == nullptr) return;
    core_queue_destroy(&(*pipe)->queue);
    delete *pipe;
    *pipe = nullptr;
}

CoreChannel *core_channel_create(const CoreChannelConfig *config)
{
    if (config == nullptr) return nullptr;
    uint64_t size = config->pool_size;
    if (size >= 1 && size <= 127) size = 128;
    auto *channel = new CoreChannel{};
    channel->fn = config->fn;
    channel->user[0] = config->user[0];
    channel->user[1] = config->user[1];
    channel->pool_name = config->pool;
    if (!core_name_is_empty(&config->pool))
        channel->pool = core_pool_get(&config->pool, size);
    else
        channel->pool = private_pool(size, 32);
    if (channel->pool != nullptr) {
        CoreQueueConfig qc = single_delivery_config(config->lifo, config->executor, config->pool, size,
                                                    config->fn != nullptr, channel_deliver, channel);
        channel->queue = core_queue_create(&qc);
    }
    if (channel->queue == nullptr) {
        core_channel_destroy(&channel);
        return nullptr;
    }
    return channel;
}

void core_channel_destroy(CoreChannel **channel)
{
    if (channel == nullptr || *channel == nullptr) return;
    CoreChannel *c = *channel;
    *channel = nullptr;
    core_queue_destroy(&c->queue);
    if (c->pool != nullptr) {
        if (!core_name_is_empty(&c->pool_name))
            core_pool_release(c->pool);
        else
            core_pool_destroy(&c->pool);
    }
    delete c;
}

int core_channel_post_entry(void *pipe_or_channel, const CoreQueueEntry *entry)
{
    CoreQueue *queue = *static_cast<CoreQueue **>(pipe_or_channel);
    CoreIoVec vec = {entry->length, entry->data};
    return core_queue_post(queue, &entry->name, entry->type, entry->flags, &vec, 1);
}

// ---- buffers ----

uint8_t *core_buffer_alloc(CoreBuffer *buffer, uint64_t capacity)
{
    CoreName name;
    core_name_format(&name, "%s", CORE_DEFAULT_POOL);
    CorePool *pool = core_pool_get(&name, 0);
    memset(buffer, 0, sizeof(*buffer));
    if (pool == nullptr) return nullptr;
    buffer->data = static_cast<uint8_t *>(core_pool_alloc(pool, capacity));
    core_pool_release(pool);
    if (buffer->data == nullptr) return nullptr;
    buffer->owned = 1;
    buffer->capacity = capacity;
    return buffer->data;
}

void core_buffer_free(CoreBuffer *buffer)
{
    if (buffer->owned && buffer->data != nullptr) {
        CoreName name;
        core_name_format(&name, "%s", CORE_DEFAULT_POOL);
        CorePool *pool = core_pool_get(&name, 0);
        void *block = buffer->data;
        if (pool != nullptr) {
            core_pool_free(pool, &block);
            core_pool_release(pool);
        }
    }
    memset(buffer, 0, sizeof(*buffer));
}

uint8_t *core_buffer_copy(CoreBuffer *destination, const CoreBuffer *source)
{
    uint64_t n = 0;
    if (destination->data != nullptr && source->data != nullptr) {
        memset(destination->data, 0, destination->capacity);
        n = source->length < destination->capacity ? source->length : destination->capacity;
        memcpy(destination->data, source->data, n);
    }
    destination->length = n;
    destination->tag = source->tag;
    return destination->data;
}
