#include "flowmesh/packet_queue.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "flowmesh/names.h"

namespace {

// Entry pool granule: one FlowmeshChunk.
constexpr uint64_t kEntrySize = 40;
static_assert(sizeof(FlowmeshChunk) == kEntrySize, "entry pool granule");
constexpr uint64_t kDataGranule = 128;
constexpr uint64_t kUnboundedFree = 4294967295ull;
constexpr uint64_t kMaxPacketPayload = 65535;

// Receive records drawing on the shared receive pool: they split its free
// bytes between them when they advertise their windows.
std::atomic<uint64_t> g_shared_receivers{0};

uint64_t next_id(uint64_t id) { return id == UINT64_MAX ? 1 : id + 1; }

uint64_t pool_free(CorePool *pool)
{
    if (pool == nullptr) return 0;
    CoreLockGuard guard(&pool->lock);
    if (pool->size == 0) return kUnboundedFree;
    return pool->size > pool->in_use ? pool->size - pool->in_use : 0;
}

// `free` x `factor`, as an integer that a double cannot push out of range.
uint64_t scaled(uint64_t free, double factor)
{
    const double value = static_cast<double>(free) * factor;
    if (!(value > 0)) return 0;
    if (value >= 9.2e18) return UINT64_MAX / 2;
    return static_cast<uint64_t>(value);
}

CorePool *heap_pool(uint64_t size, uint64_t granule)
{
    CorePoolConfig config = {};
    config.size = size;
    config.granule = granule;
    return core_pool_create(&config);
}

void unlink_chunk(FlowmeshByteQueue *queue, FlowmeshChunk *chunk)
{
    if (chunk->prev != nullptr) chunk->prev->next = chunk->next;
    else queue->first = chunk->next;
    if (chunk->next != nullptr) chunk->next->prev = chunk->prev;
    else queue->last = chunk->prev;
    chunk->prev = chunk->next = nullptr;
    if (queue->cursor == chunk) queue->cursor = nullptr;
}

void free_chunk(FlowmeshByteQueue *queue, FlowmeshChunk *chunk)
{
    void *bytes = chunk->bytes;
    core_pool_free(queue->data_pool, &bytes);
    void *entry = chunk;
    core_pool_free(queue->entry_pool, &entry);
}

// Called with the chunk list locked. Searches from the cursor to the end,
// then from the start: the chunk wanted is nearly always the cursor's
// neighbour.
FlowmeshChunk *find_chunk(FlowmeshByteQueue *queue, uint64_t id)
{
    FlowmeshChunk *start = queue->cursor != nullptr ? queue->cursor : queue->first;
    for (FlowmeshChunk *c = start; c != nullptr; c = c->next)
        if (c->id == id) return queue->cursor = c;
    for (FlowmeshChunk *c = queue->first; c != start && c != nullptr; c = c->next)
        if (c->id == id) return queue->cursor = c;
    return nullptr;
}

void control_unlink(FlowmeshControl *entry)
{
    entry->prev->next = entry->next;
    entry->next->prev = entry->prev;
    entry->prev = entry->next = nullptr;
}

void control_link_after(FlowmeshControl *at, FlowmeshControl *entry)
{
    entry->prev = at;
    entry->next = at->next;
    at->next->prev = entry;
    at->next = entry;
}

FlowmeshControl *choose_control(FlowmeshSendQueue *queue)
{
    FlowmeshControl *head = &queue->controls;
    if (head->next == head) return nullptr;
    for (FlowmeshControl *c = head->next; c != head; c = c->next)
        if (c->type & FLOWMESH_RELIABLE_ACK) return c;
    for (FlowmeshControl *c = head->next; c != head; c = c->next)
        if (c->type & (FLOWMESH_RELIABLE_GO_BACK | FLOWMESH_RELIABLE_RESEND)) return c;
    for (FlowmeshControl *c = head->next; c != head; c = c->next)
        if (c->type != 0) return c;
    return head->next;
}

}  // namespace

// ---- byte queue ----

FlowmeshByteQueue *flowmesh_bytequeue_create(uint64_t capacity, int use_shared, uint16_t local_id)
{
    if (capacity == 0) return nullptr;
    auto *queue = new (std::nothrow) FlowmeshByteQueue{};
    if (queue == nullptr) return nullptr;
    queue->next_id = 1;
    queue->local_id = local_id;
    queue->factor = 1.0;

    const CoreName shared = core_name_of(FLOWMESH_RELIABLE_QUEUE_POOL);
    if (use_shared && core_pool_exists(&shared)) {
        queue->data_pool = core_pool_get(&shared, 0);
        if (queue->data_pool != nullptr) queue->shared_name = shared;
    }
    if (queue->data_pool == nullptr) queue->data_pool = heap_pool(capacity, kDataGranule);
    const uint64_t entries = capacity < 1024 ? 32 : capacity / 32;
    queue->entry_pool = heap_pool(entries * kEntrySize, 64);
    if (queue->data_pool == nullptr || queue->entry_pool == nullptr) {
        flowmesh_bytequeue_destroy(&queue);
        return nullptr;
    }
    return queue;
}

void flowmesh_bytequeue_destroy(FlowmeshByteQueue **queue)
{
    if (queue == nullptr || *queue == nullptr) return;
    FlowmeshByteQueue *q = *queue;
    *queue = nullptr;
    if (q->data_pool != nullptr && q->entry_pool != nullptr) {
        while (q->first != nullptr) {
            FlowmeshChunk *chunk = q->first;
            unlink_chunk(q, chunk);
            free_chunk(q, chunk);
        }
    }
    if (!core_name_is_empty(&q->shared_name)) {
        // Chunks of a shared pool went back above; the pool is the core's.
        core_pool_release(q->data_pool);
    } else {
        core_pool_destroy(&q->data_pool);
    }
    core_pool_destroy(&q->entry_pool);
    delete q;
}

uint64_t flowmesh_bytequeue_free(const FlowmeshByteQueue *queue) { return pool_free(queue->data_pool); }

FlowmeshChunk *flowmesh_bytequeue_push(FlowmeshByteQueue *queue, const void *bytes, uint64_t length)
{
    if (queue == nullptr || (bytes == nullptr && length > 0)) return nullptr;
    if (length > scaled(pool_free(queue->data_pool), queue->factor)) return nullptr;
    auto *chunk = static_cast<FlowmeshChunk *>(core_pool_alloc(queue->entry_pool, sizeof(FlowmeshChunk)));
    if (chunk == nullptr) return nullptr;
    chunk->bytes = static_cast<uint8_t *>(core_pool_alloc(queue->data_pool, length));
    if (chunk->bytes == nullptr) {
        void *entry = chunk;
        core_pool_free(queue->entry_pool, &entry);
        return nullptr;
    }
    memcpy(chunk->bytes, bytes, length);
    chunk->length = length;
    CoreLockGuard guard(&queue->lock);
    chunk->id = queue->next_id;
    queue->next_id = next_id(queue->next_id);
    return chunk;
}

void flowmesh_bytequeue_append(FlowmeshByteQueue *queue, FlowmeshChunk *chunk)
{
    CoreLockGuard guard(&queue->lock);
    chunk->next = nullptr;
    chunk->prev = queue->last;
    if (queue->last != nullptr) queue->last->next = chunk;
    else queue->first = chunk;
    queue->last = chunk;
    queue->bytes_queued += chunk->length;
}

// ---- send queue ----

FlowmeshSendQueue *flowmesh_sendq_create(uint64_t capacity, int use_shared, uint16_t local_id, uint32_t initiator,
                                         uint32_t option_bit9)
{
    auto *queue = new (std::nothrow) FlowmeshSendQueue{};
    if (queue == nullptr) return nullptr;
    queue->option_bit9 = option_bit9;
    queue->local_id = local_id;
    queue->initiator = initiator;
    queue->next_chunk_id = 1;
    queue->controls.prev = queue->controls.next = &queue->controls;
    const CoreName node_pool = core_name_of(FLOWMESH_STREAM_POOL);
    queue->node_pool = core_pool_get(&node_pool, 0);
    queue->bytes = flowmesh_bytequeue_create(capacity, use_shared, local_id);
    if (queue->node_pool == nullptr || queue->bytes == nullptr) {
        flowmesh_sendq_destroy(&queue);
        return nullptr;
    }
    return queue;
}

void flowmesh_sendq_destroy(FlowmeshSendQueue **queue)
{
    if (queue == nullptr || *queue == nullptr) return;
    FlowmeshSendQueue *q = *queue;
    *queue = nullptr;
    FlowmeshControl *head = &q->controls;
    while (head->next != head) {
        FlowmeshControl *entry = head->next;
        control_unlink(entry);
        void *block = entry;
        core_pool_free(q->node_pool, &block);
    }
    flowmesh_bytequeue_destroy(&q->bytes);
    if (q->node_pool != nullptr) core_pool_release(q->node_pool);
    delete q;
}

CoreResult flowmesh_sendq_post_control(FlowmeshSendQueue *queue, uint16_t type, uint32_t value32, uint64_t value64)
{
    CoreLockGuard guard(&queue->control_lock);
    FlowmeshControl *head = &queue->controls;
    if (type & FLOWMESH_RELIABLE_ACK) {
        for (FlowmeshControl *c = head->next; c != head; c = c->next) {
            if (c->type & FLOWMESH_RELIABLE_ACK) {
                c->type = type;
                c->value32 = value32;
                c->value64 = value64;
                return CORE_OK;
            }
        }
    }
    auto *entry = static_cast<FlowmeshControl *>(core_pool_alloc(queue->node_pool, sizeof(FlowmeshControl)));
    if (entry == nullptr) return CORE_ERR;
    entry->type = type;
    entry->value32 = value32;
    entry->value64 = value64;
    control_link_after(head->prev, entry);
    return CORE_OK;
}

uint64_t flowmesh_sendq_control_count(FlowmeshSendQueue *queue)
{
    CoreLockGuard guard(&queue->control_lock);
    uint64_t n = 0;
    for (FlowmeshControl *c = queue->controls.next; c != &queue->controls; c = c->next) ++n;
    return n;
}

CoreResult flowmesh_sendq_next_packet(FlowmeshSendQueue *queue, FlowmeshPacketNode **packet)
{
    *packet = nullptr;
    FlowmeshControl *control = nullptr;
    {
        CoreLockGuard guard(&queue->control_lock);
        control = choose_control(queue);
        if (control != nullptr) control_unlink(control);
    }

    FlowmeshChunk *chunk = nullptr;
    FlowmeshByteQueue *bytes = queue->bytes;
    {
        CoreLockGuard guard(&bytes->lock);
        if (queue->sending_id != 0) {
            chunk = find_chunk(bytes, queue->sending_id);
        } else if (!queue->taken_any) {
            chunk = bytes->first;
            if (chunk != nullptr) bytes->cursor = chunk;
        } else {
            chunk = find_chunk(bytes, queue->next_chunk_id);
        }
        if (chunk != nullptr && queue->sending_id == 0) {
            queue->taken_any = 1;
            queue->next_chunk_id = next_id(chunk->id);
            queue->sending_id = chunk->id;
        }
    }

    FlowmeshPacketNode *node = nullptr;
    CoreResult result = CORE_OK;
    if (chunk != nullptr && chunk->length > kMaxPacketPayload) {
        result = CORE_ERR;
    } else if (control == nullptr && chunk == nullptr) {
        result = CORE_DONE;
    } else {
        node = static_cast<FlowmeshPacketNode *>(core_pool_alloc(queue->node_pool, sizeof(FlowmeshPacketNode)));
        if (node == nullptr) result = CORE_ERR;
    }
    if (result != CORE_OK) {
        // A control taken out must not be lost with the failed packet: put
        // it back in front, where it was the best choice.
        if (control != nullptr) {
            CoreLockGuard guard(&queue->control_lock);
            control_link_after(&queue->controls, control);
        }
        return result;
    }

    if (control != nullptr) {
        flowmesh_put_be16(node->header + FLOWMESH_HDR_FLAGS, control->type);
        flowmesh_put_be32(node->header + FLOWMESH_HDR_SPECIFIC, control->value32);
        flowmesh_put_be64(node->header + FLOWMESH_HDR_SPECIFIC + 4, control->value64);
        node->control = control;
    }
    if (chunk != nullptr) {
        node->chunk_id = chunk->id;
        node->payload_length = chunk->length;
        node->payload = chunk->bytes;
    }
    *packet = node;
    return CORE_OK;
}

void flowmesh_sendq_release_packet(FlowmeshSendQueue *queue, FlowmeshPacketNode **packet)
{
    if (packet == nullptr || *packet == nullptr) return;
    FlowmeshPacketNode *node = *packet;
    *packet = nullptr;
    if (node->chunk_id != 0) {
        FlowmeshByteQueue *bytes = queue->bytes;
        FlowmeshChunk *chunk = nullptr;
        {
            CoreLockGuard guard(&bytes->lock);
            chunk = find_chunk(bytes, node->chunk_id);
            if (chunk != nullptr) {
                unlink_chunk(bytes, chunk);
                bytes->bytes_queued -= chunk->length;
            }
        }
        if (chunk != nullptr) free_chunk(bytes, chunk);
    }
    if (node->control != nullptr) {
        {
            CoreLockGuard guard(&queue->control_lock);
            if (node->control->prev != nullptr) control_unlink(node->control);
        }
        void *block = node->control;
        core_pool_free(queue->node_pool, &block);
    }
    void *block = node;
    core_pool_free(queue->node_pool, &block);
}

// ---- receive record ----

FlowmeshRecvPool *flowmesh_recvpool_create(uint64_t size, int use_shared)
{
    auto *record = new (std::nothrow) FlowmeshRecvPool{};
    if (record == nullptr) return nullptr;
    record->factor = 1.0;
    const CoreName node_pool = core_name_of(FLOWMESH_STREAM_POOL);
    record->node_pool = core_pool_get(&node_pool, 0);
    const CoreName shared = core_name_of(FLOWMESH_RELIABLE_POOL);
    if (use_shared && core_pool_exists(&shared)) {
        record->data_pool = core_pool_get(&shared, 0);
        if (record->data_pool != nullptr) {
            record->shared_name = shared;
            g_shared_receivers.fetch_add(1);
        }
    }
    if (record->data_pool == nullptr && size > 0) record->data_pool = heap_pool(size, kDataGranule);
    if (record->node_pool == nullptr || record->data_pool == nullptr) {
        flowmesh_recvpool_destroy(&record);
        return nullptr;
    }
    return record;
}

uint64_t flowmesh_recvpool_window(const FlowmeshRecvPool *record)
{
    uint64_t free = pool_free(record->data_pool);
    if (!core_name_is_empty(&record->shared_name)) {
        const uint64_t users = g_shared_receivers.load();
        if (users > 1) free /= users;
    }
    const uint64_t window = scaled(free, record->factor);
    return window < FLOWMESH_MIN_WINDOW ? FLOWMESH_MIN_WINDOW : window;
}

void flowmesh_recvpool_destroy(FlowmeshRecvPool **record)
{
    if (record == nullptr || *record == nullptr) return;
    FlowmeshRecvPool *r = *record;
    *record = nullptr;
    if (!core_name_is_empty(&r->shared_name)) {
        core_pool_release(r->data_pool);
        g_shared_receivers.fetch_sub(1);
    } else {
        core_pool_destroy(&r->data_pool);
    }
    if (r->node_pool != nullptr) core_pool_release(r->node_pool);
    delete r;
}

// ---- reassembly list ----

void flowmesh_reassembly_init(FlowmeshReassembly *list, uint64_t report_limit)
{
    memset(list, 0, sizeof(*list));
    list->nodes.prev = list->nodes.next = &list->nodes;
    list->report_limit = report_limit;
}

int flowmesh_reassembly_insert(FlowmeshReassembly *list, const void *payload, uint64_t length, uint64_t sequence,
                               uint64_t index)
{
    FlowmeshReassemblyNode *head = &list->nodes;
    // Walk from the newest end: datagrams mostly arrive in order, so the
    // place is nearly always found at once.
    FlowmeshReassemblyNode *at = head->prev;
    while (at != head && at->sequence > sequence) at = at->prev;
    if (at != head && at->sequence == sequence) return 0;

    if (length > SIZE_MAX - 1 || (payload == nullptr && length > 0)) return -1;
    auto *node = static_cast<FlowmeshReassemblyNode *>(calloc(1, sizeof(FlowmeshReassemblyNode)));
    auto *copy = static_cast<uint8_t *>(calloc(1, static_cast<size_t>(length) + 1));
    if (node == nullptr || copy == nullptr) {
        free(node);
        free(copy);
        return -1;
    }
    if (length > 0) memcpy(copy, payload, static_cast<size_t>(length));
    node->sequence = sequence;
    node->index = index;
    node->length = length;
    node->payload = copy;
    node->prev = at;
    node->next = at->next;
    at->next->prev = node;
    at->next = node;
    list->bytes += length;
    list->datagrams += 1;
    return 0;
}

uint64_t flowmesh_reassembly_first_seq(const FlowmeshReassembly *list)
{
    const FlowmeshReassemblyNode *first = list->nodes.next;
    if (first == &list->nodes) return 0;
    return first->sequence - first->index;
}

namespace {

int post_range(CoreQueue *loss, uint64_t first, uint64_t count)
{
    CoreName name;
    core_name_from_u64(&name, count);
    return core_queue_post(loss, &name, static_cast<uint32_t>(first), static_cast<uint32_t>(first >> 32), nullptr,
                           0) == 0
               ? 0
               : -1;
}

}  // namespace

int flowmesh_reassembly_find_gaps(FlowmeshReassembly *list, CoreQueue *loss, int include_tail)
{
    if (list->report_limit != 0 && list->reports >= list->report_limit) return 0;
    const FlowmeshReassemblyNode *head = &list->nodes;
    const uint64_t first = flowmesh_reassembly_first_seq(list);
    uint64_t expected = first;
    int posted = 0;
    for (const FlowmeshReassemblyNode *n = head->next; n != head; n = n->next) {
        if (n->sequence > expected) {
            if (post_range(loss, expected, n->sequence - expected) != 0) return -1;
            ++posted;
        }
        if (n->sequence >= expected) expected = n->sequence + 1;
    }
    // Only a tail that lies ahead is missing: a datagram whose index put it
    // past the frame's end must not turn into a range that wraps around.
    const uint64_t end = first + list->expected;
    if (include_tail && head->next != head && expected < end) {
        if (post_range(loss, expected, end - expected) != 0) return -1;
        ++posted;
    }
    if (posted > 0) list->reports += 1;
    return posted;
}

void flowmesh_reassembly_clear(FlowmeshReassembly *list)
{
    FlowmeshReassemblyNode *head = &list->nodes;
    FlowmeshReassemblyNode *n = head->next;
    while (n != head) {
        FlowmeshReassemblyNode *next = n->next;
        free(n->payload);
        free(n);
        n = next;
    }
    head->prev = head->next = head;
    list->key = list->expected = list->bytes = list->datagrams = list->reports = 0;
}

void flowmesh_loss_range(const CoreQueueEntry *message, uint64_t *first, uint64_t *count)
{
    *first = (static_cast<uint64_t>(message->flags) << 32) | message->type;
    *count = flowmesh_get_be64(message->name.key);
}
