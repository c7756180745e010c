#include "flowmesh/paced.h"

#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "core/clock.h"
#include "core/handle.h"
#include "core/queue.h"
#include "flowmesh/interface.h"
#include "flowmesh/redundancy.h"
#include "flowmesh/transport.h"

namespace {

// How far the pacing clock may fall behind before it restarts from now. A
// sleep wakes tens of microseconds late, and on a busy machine now and then
// a millisecond or more; carrying that lateness into the next due times
// keeps the average at the configured rate (with one millisecond of room,
// 100 Mbit/s came out 70 to 90% of the rate on a loaded machine). Catching
// up on more than this would be a burst after an idle spell: 4 ms is at
// most about 35 back-to-back datagrams at 100 Mbit/s and 3 at 10 Mbit/s.
constexpr uint64_t kPacingLagNs = 4000000;
// Long pauses (slow rates) are slept in slices so that a stop is seen soon.
constexpr uint64_t kPacingSliceNs = 20000000;

enum PacedState : uint32_t {
    PACED_BUILDING = 0,
    PACED_RUNNING = 1,
    PACED_STOPPED = 2,  // final: the pipe thread sends nothing more
};

// State of the pipe thread, which sends one message at a time and alone
// touches these fields.
struct PacedSender {
    uint64_t counter;  // sequence number of the next datagram; copies reuse theirs
    uint16_t number;   // next message number, 1..65535
    FlowmeshRedundancy copies;
    uint64_t pause_ns;  // 0: no pacing
    uint64_t due_ns;    // when the next datagram may leave
    CoreSleeper *sleeper;
    bool slack_lowered;
    uint8_t wire[FLOWMESH_DATAGRAM_MAX];
};

// The paced stream's part of the transport object, after the common part.
struct PacedOwn {
    std::atomic<uint32_t> state{PACED_BUILDING};
    PacedSender send{};
    CorePipe *pipe = nullptr;

    std::atomic<uint64_t> messages_sent{0};
    std::atomic<uint64_t> messages_failed{0};
    std::atomic<uint64_t> datagrams_sent{0};
    std::atomic<uint64_t> copies_sent{0};
    std::atomic<uint64_t> copies_failed{0};

    // The receive path's: slots, their counters and the scratch payload.
    std::mutex receive_lock;
    FlowmeshPacedReceiver receiver{};
    uint8_t payload[FLOWMESH_PAYLOAD_MAX];
};

// The handle table hands out calloc blocks; the own part must not need a
// stricter alignment than those give.
static_assert(alignof(PacedOwn) <= alignof(std::max_align_t), "own part alignment");
constexpr size_t kOwnOffset =
    (sizeof(FlowmeshTransport) + alignof(PacedOwn) - 1) / alignof(PacedOwn) * alignof(PacedOwn);

PacedOwn *own_of(FlowmeshTransport *transport)
{
    return reinterpret_cast<PacedOwn *>(reinterpret_cast<uint8_t *>(transport) + kOwnOffset);
}

bool running(const PacedOwn *own) { return own->state.load(std::memory_order_acquire) == PACED_RUNNING; }

// Waits until the next datagram is due. false when the stream is stopping.
bool paced_wait_due(PacedOwn *own)
{
    PacedSender *s = &own->send;
    if (s->pause_ns == 0) return running(own);
    uint64_t now = core_clock_mono_ns();
    if (s->due_ns + kPacingLagNs < now) s->due_ns = now;
    while (now < s->due_ns) {
        if (!running(own)) return false;
        core_sleeper_wait(s->sleeper, std::min(s->due_ns - now, kPacingSliceNs));
        now = core_clock_mono_ns();
    }
    return running(own);
}

// Seals the header and payload and hands the one datagram to the send
// function.
CoreResult paced_emit(FlowmeshTransport *transport, FlowmeshPacketHeader *header, const uint8_t *payload,
                      uint64_t length, uint8_t *wire)
{
    const FlowmeshTransportParams &p = transport->params;
    CoreQueueEntry record;
    if (p.send_fn == nullptr) return CORE_ERR;
    if (flowmesh_transport_seal(transport, header, payload, length, wire, &record) != CORE_OK) return CORE_ERR;
    return p.send_fn(p.peer_id, &record, 1, const_cast<uint8_t *>(p.send_context)) == 0 ? CORE_OK : CORE_ERR;
}

// One piece of a message and the copies due right after it.
CoreResult paced_send_piece(FlowmeshTransport *transport, PacedOwn *own, uint16_t number, uint64_t total,
                            const uint8_t *piece, uint64_t length)
{
    PacedSender *s = &own->send;
    if (!paced_wait_due(own)) return CORE_ERR_STATE;
    flowmesh_redundancy_refresh(&s->copies, s->counter);

    FlowmeshPacketHeader header = {};
    header.sequence = s->counter;
    // One token for the datagram and its copies: a copy is the same
    // datagram again.
    header.token = flowmesh_token_draw();
    flowmesh_put_be32(header.specific, static_cast<uint32_t>(total));
    flowmesh_put_be16(header.specific + 4, number);
    // The number is spent even when the send fails: whatever part of the
    // datagram left must never be mistaken for a later one.
    s->counter += 1;
    s->due_ns += s->pause_ns;

    const CoreResult result = paced_emit(transport, &header, piece, length, s->wire);
    const uint32_t copies = flowmesh_redundancy_take(&s->copies, header.sequence);
    if (result != CORE_OK) return result;
    own->datagrams_sent.fetch_add(1, std::memory_order_relaxed);

    header.flags = FLOWMESH_PACED_REDUNDANT;
    for (uint32_t i = 0; i < copies; ++i) {
        // A copy that fails costs nothing the original did not already
        // carry, so the message goes on.
        if (paced_emit(transport, &header, piece, length, s->wire) == CORE_OK)
            own->copies_sent.fetch_add(1, std::memory_order_relaxed);
        else
            own->copies_failed.fetch_add(1, std::memory_order_relaxed);
    }
    return CORE_OK;
}

CoreResult paced_send_message(FlowmeshTransport *transport, PacedOwn *own, const uint8_t *data, uint64_t length)
{
    PacedSender *s = &own->send;
    if (s->number == 0) s->number = 1;
    // Taken before sending: a message cut short keeps its number, so its
    // stray datagrams never join the next message's slot at the receiver.
    const uint16_t number = s->number;
    s->number = number == 0xFFFF ? 1 : static_cast<uint16_t>(number + 1);

    for (uint64_t offset = 0; offset < length; offset += FLOWMESH_PAYLOAD_MAX) {
        const uint64_t piece = std::min<uint64_t>(FLOWMESH_PAYLOAD_MAX, length - offset);
        const CoreResult result = paced_send_piece(transport, own, number, length, data + offset, piece);
        if (result != CORE_OK) return result;
    }
    return CORE_OK;
}

int paced_pipe_handler(CoreQueueEntry *entry, void **user)
{
    auto *transport = static_cast<FlowmeshTransport *>(user[0]);
    PacedOwn *own = own_of(transport);
    if (!running(own)) return CORE_OK;
    PacedSender *s = &own->send;
    if (s->pause_ns != 0 && !s->slack_lowered) {
        // The default 50 us timer slack is a third of a pause at 100 Mbit/s;
        // this thread is the pipe's own and sleeps only to pace.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        s->slack_lowered = true;
    }
    const CoreResult result =
        paced_send_message(transport, own, static_cast<const uint8_t *>(entry->data), entry->length);
    (result == CORE_OK ? own->messages_sent : own->messages_failed).fetch_add(1, std::memory_order_relaxed);
    // The message is taken off the pipe whatever happened to it: returning
    // the failure would stop the pipe's consumer for good, and every later
    // message with it.
    return CORE_OK;
}

CoreResult paced_report(FlowmeshTransport *transport, uint32_t code)
{
    return flowmesh_transport_event(transport, code, &transport->initiator, sizeof(transport->initiator)) == 0
               ? CORE_OK
               : CORE_ERR;
}

// ---- operations ----

CoreResult paced_build(FlowmeshTransport *transport)
{
    PacedOwn *own = new (own_of(transport)) PacedOwn();
    const FlowmeshTransportParams &p = transport->params;
    own->send.number = 1;
    own->send.pause_ns = flowmesh_paced_pause_ns(p.paced_rate);
    flowmesh_paced_receiver_init(&own->receiver);
    if (own->send.pause_ns != 0) {
        own->send.sleeper = core_sleeper_create();
        if (own->send.sleeper == nullptr) return CORE_ERR;
    }
    if (flowmesh_redundancy_init(&own->send.copies, p.redundancy_copies, p.redundancy_period) != CORE_OK)
        return CORE_ERR;
    own->state.store(PACED_RUNNING, std::memory_order_release);
    // Last: from here on the pipe thread may run.
    CorePipeConfig config = {};
    config.fn = paced_pipe_handler;
    config.user[0] = transport;
    own->pipe = core_pipe_create(&config);
    return own->pipe != nullptr ? CORE_OK : CORE_ERR;
}

void paced_destroy(FlowmeshTransport *transport)
{
    PacedOwn *own = own_of(transport);
    // The pipe thread checks the state between datagrams and while it
    // sleeps, so the join below does not wait out a long message.
    own->state.store(PACED_STOPPED, std::memory_order_release);
    core_pipe_destroy(&own->pipe);
    flowmesh_redundancy_destroy(&own->send.copies);
    core_sleeper_destroy(&own->send.sleeper);
    flowmesh_paced_receiver_clear(&own->receiver);
    own->~PacedOwn();
}

CoreResult paced_open_event(FlowmeshTransport *transport) { return paced_report(transport, FLOWMESH_TRANSPORT_OPEN); }

CoreResult paced_close(FlowmeshTransport *transport)
{
    const CoreResult closing = paced_report(transport, FLOWMESH_TRANSPORT_CLOSING);
    const CoreResult closed = paced_report(transport, FLOWMESH_TRANSPORT_CLOSED);
    return closing == CORE_OK && closed == CORE_OK ? CORE_OK : CORE_ERR;
}

CoreResult paced_finish(FlowmeshTransport *transport) { return paced_report(transport, FLOWMESH_TRANSPORT_CLOSED); }

CoreResult paced_send(FlowmeshTransport *transport, uint8_t, const void *data, uint64_t *length)
{
    PacedOwn *own = own_of(transport);
    const uint64_t n = *length;
    // A message the receiver would refuse is not worth the datagrams.
    if (!running(own) || n > FLOWMESH_PACED_MESSAGE_MAX || (n > 0 && data == nullptr)) {
        *length = 0;
        return CORE_DONE;
    }
    const CoreIoVec vec = {n, data};
    if (core_queue_post(own->pipe->queue, nullptr, 0, 0, &vec, 1) != 0) {
        *length = 0;
        return CORE_DONE;
    }
    return CORE_OK;
}

CoreResult paced_receive(FlowmeshTransport *transport, const CoreQueueEntry *records, uint64_t count)
{
    PacedOwn *own = own_of(transport);
    const FlowmeshTransportParams &p = transport->params;
    for (uint64_t i = 0; i < count; ++i) {
        FlowmeshPacedMessage message = {};
        CoreResult result;
        {
            std::lock_guard<std::mutex> guard(own->receive_lock);
            FlowmeshPacketHeader header;
            uint64_t length = 0;
            if (flowmesh_transport_open(transport, &records[i], &header, own->payload, &length) != CORE_OK) {
                own->receiver.refused += 1;
                continue;
            }
            result = flowmesh_paced_on_datagram(&own->receiver, &header, own->payload, length, &message);
        }
        if (result != CORE_DONE) continue;
        // A paced message is handed over once; a data function that
        // declines it has nothing to retry.
        if (p.data_fn != nullptr)
            p.data_fn(p.local_id, &p.session, message.data, message.length, const_cast<uint8_t *>(p.data_context));
        flowmesh_paced_message_free(&message);
    }
    return CORE_OK;
}

const FlowmeshTransportKind kPacedKind = {
    kOwnOffset + sizeof(PacedOwn),
    paced_build,
    paced_destroy,
    paced_open_event,
    paced_open_event,
    paced_close,
    paced_finish,
    paced_send,
    paced_receive,
};

// ---- reassembly ----

uint64_t pieces_of(uint64_t total) { return (total + FLOWMESH_PAYLOAD_MAX - 1) / FLOWMESH_PAYLOAD_MAX; }

// Whether a datagram can be a piece our sender makes: every piece but the
// last is full, and the last holds the rest.
bool piece_fits(uint16_t number, uint64_t total, uint64_t length)
{
    if (number == 0 || total == 0 || total > FLOWMESH_PACED_MESSAGE_MAX) return false;
    if (length == 0 || length > total) return false;
    return length == FLOWMESH_PAYLOAD_MAX || length == total % FLOWMESH_PAYLOAD_MAX;
}

// A datagram of a message delivered a moment ago: the copy of its last
// piece, or a duplicate the network made. Without this it would open a
// fresh slot, and a one-piece message would be delivered twice.
bool recently_delivered(const FlowmeshPacedReceiver *receiver, uint16_t number, uint64_t sequence)
{
    for (const FlowmeshPacedRecent &r : receiver->recent)
        if (r.number == number && sequence >= r.first && sequence <= r.last) return true;
    return false;
}

void remember_delivered(FlowmeshPacedReceiver *receiver, uint16_t number, uint64_t first, uint64_t last)
{
    receiver->recent[receiver->recent_next] = {number, first, last};
    receiver->recent_next = (receiver->recent_next + 1) % FLOWMESH_PACED_RECENT;
}

// The slot holding message `number`; else a free one; else the slot whose
// datagrams start lowest (the oldest message, most likely one that lost a
// datagram), emptied.
FlowmeshReassembly *paced_slot(FlowmeshPacedReceiver *receiver, uint16_t number)
{
    FlowmeshReassembly *slots = receiver->slots;
    for (int i = 0; i < FLOWMESH_PACED_SLOTS; ++i)
        if (slots[i].key == number) return &slots[i];
    for (int i = 0; i < FLOWMESH_PACED_SLOTS; ++i)
        if (slots[i].key == 0) return &slots[i];
    int oldest = 0;
    for (int i = 1; i < FLOWMESH_PACED_SLOTS; ++i)
        if (flowmesh_reassembly_first_seq(&slots[i]) < flowmesh_reassembly_first_seq(&slots[oldest])) oldest = i;
    flowmesh_reassembly_clear(&slots[oldest]);
    receiver->dropped += 1;
    return &slots[oldest];
}

// Joins a slot whose bytes are all in. CORE_OK with the message; CORE_FAIL
// when the pieces do not follow one another without a gap or a short piece
// sits before the last (pieces of different messages under one number);
// CORE_ERR_NO_SPACE when the message buffer cannot be had.
CoreResult paced_assemble(const FlowmeshReassembly *slot, FlowmeshPacedMessage *message)
{
    const FlowmeshReassemblyNode *head = &slot->nodes;
    uint64_t next = head->next->sequence;
    for (const FlowmeshReassemblyNode *n = head->next; n != head; n = n->next) {
        if (n->sequence != next) return CORE_FAIL;
        if (n->next != head && n->length != FLOWMESH_PAYLOAD_MAX) return CORE_FAIL;
        next = n->sequence + 1;
    }
    auto *data = static_cast<uint8_t *>(malloc(static_cast<size_t>(slot->expected)));
    if (data == nullptr) return CORE_ERR_NO_SPACE;
    uint64_t at = 0;
    for (const FlowmeshReassemblyNode *n = head->next; n != head; n = n->next) {
        memcpy(data + at, n->payload, static_cast<size_t>(n->length));
        at += n->length;
    }
    message->data = data;
    message->length = slot->expected;
    message->number = static_cast<uint16_t>(slot->key);
    return CORE_OK;
}

}  // namespace

CoreResult flowmesh_paced_register(void) { return flowmesh_transport_kind_set(FLOWMESH_STREAM_PACED, &kPacedKind); }

uint64_t flowmesh_paced_pause_ns(uint64_t rate_bps)
{
    const uint64_t datagrams_per_second = rate_bps / FLOWMESH_PACED_DATAGRAM_BITS;
    return datagrams_per_second == 0 ? 0 : 1000000000ULL / datagrams_per_second;
}

CoreResult flowmesh_paced_stats(uint64_t handle, FlowmeshPacedStats *stats)
{
    CoreHandleTable *table = core_handle_tables[CORE_HANDLES_NETWORK];
    if (table == nullptr || handle == 0 || stats == nullptr) return CORE_ERR;
    auto *transport = static_cast<FlowmeshTransport *>(core_handle_acquire(table, handle));
    if (transport == nullptr) return CORE_ERR;
    CoreResult result = CORE_ERR;
    if (transport->ops == &kPacedKind) {
        PacedOwn *own = own_of(transport);
        *stats = {};
        stats->messages_sent = own->messages_sent.load(std::memory_order_relaxed);
        stats->messages_failed = own->messages_failed.load(std::memory_order_relaxed);
        stats->datagrams_sent = own->datagrams_sent.load(std::memory_order_relaxed);
        stats->copies_sent = own->copies_sent.load(std::memory_order_relaxed);
        stats->copies_failed = own->copies_failed.load(std::memory_order_relaxed);
        std::lock_guard<std::mutex> guard(own->receive_lock);
        stats->datagrams_stored = own->receiver.stored;
        stats->duplicates = own->receiver.duplicates;
        stats->refused = own->receiver.refused;
        stats->messages_delivered = own->receiver.delivered;
        stats->messages_dropped = own->receiver.dropped;
        result = CORE_OK;
    }
    core_handle_release(table, handle);
    return result;
}

void flowmesh_paced_receiver_init(FlowmeshPacedReceiver *receiver)
{
    memset(receiver, 0, sizeof(*receiver));
    for (FlowmeshReassembly &slot : receiver->slots) flowmesh_reassembly_init(&slot, 0);
}

void flowmesh_paced_receiver_clear(FlowmeshPacedReceiver *receiver)
{
    for (FlowmeshReassembly &slot : receiver->slots) flowmesh_reassembly_clear(&slot);
}

CoreResult flowmesh_paced_on_datagram(FlowmeshPacedReceiver *receiver, const FlowmeshPacketHeader *header,
                                      const uint8_t *payload, uint64_t length, FlowmeshPacedMessage *message)
{
    *message = {};
    const uint64_t total = flowmesh_get_be32(header->specific);
    const uint16_t number = flowmesh_get_be16(header->specific + 4);
    if (!piece_fits(number, total, length) || payload == nullptr) {
        receiver->refused += 1;
        return CORE_ERR_REFUSED;
    }
    if (recently_delivered(receiver, number, header->sequence)) {
        receiver->duplicates += 1;
        return CORE_OK;
    }

    FlowmeshReassembly *slot = paced_slot(receiver, number);
    if (slot->key == 0) {
        slot->key = number;
        slot->expected = total;
    } else if (slot->expected != total) {
        // Every piece of a message announces the same total; this one
        // belongs to no message the slot could complete.
        receiver->refused += 1;
        return CORE_ERR_REFUSED;
    }

    const uint64_t held = slot->datagrams;
    if (flowmesh_reassembly_insert(slot, payload, length, header->sequence, 0) != 0) {
        flowmesh_reassembly_clear(slot);
        receiver->dropped += 1;
        return CORE_ERR_NO_SPACE;
    }
    if (slot->datagrams == held) {
        receiver->duplicates += 1;
        return CORE_OK;
    }
    receiver->stored += 1;
    // More bytes or pieces than the message has: datagrams of two messages
    // under one number. Also what bounds a slot's memory to about its total.
    if (slot->bytes > slot->expected || slot->datagrams > pieces_of(slot->expected)) {
        flowmesh_reassembly_clear(slot);
        receiver->dropped += 1;
        return CORE_OK;
    }
    if (slot->bytes < slot->expected) return CORE_OK;

    const uint64_t first = slot->nodes.next->sequence, last = slot->nodes.prev->sequence;
    const CoreResult assembled = paced_assemble(slot, message);
    flowmesh_reassembly_clear(slot);
    if (assembled != CORE_OK) {
        receiver->dropped += 1;
        return assembled == CORE_ERR_NO_SPACE ? CORE_ERR_NO_SPACE : CORE_OK;
    }
    remember_delivered(receiver, number, first, last);
    receiver->delivered += 1;
    return CORE_DONE;
}

void flowmesh_paced_message_free(FlowmeshPacedMessage *message)
{
    free(message->data);
    *message = {};
}
