#include "flowmesh/reliable.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>

#include "core/clock.h"
#include "core/executor.h"
#include "core/handle.h"
#include "flowmesh/names.h"
#include "flowmesh/packet_queue.h"

namespace {

// ---- constants ----

constexpr uint64_t kUnit = FLOWMESH_DATAGRAM_MAX;  // 1440: windows count in datagrams of this size
constexpr uint64_t kOpeningMs = 60000;
constexpr uint64_t kClosingMs = 30000;
constexpr uint64_t kIdleFloorMs = 30000;
constexpr int64_t kKeepAliveMs = 15000;
constexpr uint64_t kAckDelayMs = 50;
constexpr uint64_t kProbeIntervalMs = 100;
constexpr int64_t kTimerWakeMs = 100;
constexpr uint64_t kBatch = 256;
// One token, timestamp and deadline serve the first 17 packets of a pass,
// then each further run of 16: drawing them is the costly part of sending.
constexpr uint64_t kFirstRun = 17;
constexpr uint64_t kRun = 16;
constexpr uint64_t kReclaimBytes = 8 * kUnit;  // 11520
constexpr uint64_t kGoBackAt = 8;              // missing numbers that turn resend-one into go back
constexpr uint16_t kSequencedFlags = 0xFF07;   // SYN, SYN-ACK, FIN, keep-alive and the unused high bits
constexpr uint16_t kControlFlags = 0x00FF;     // controls that may leave without the chunk they came with
constexpr uint64_t kStateShift = 60;
constexpr uint64_t kDeadlineMask = (1ull << kStateShift) - 1;

// Status flags.
enum : uint32_t {
    kOpenReported = 0x01,
    kDrainReported = 0x02,
    kFinSentReported = 0x04,
    kClosingReported = 0x08,
    kClosedReported = 0x10,
    kFailureReported = 0x20,
    kFinishRequested = 0x40,
    kKeepAliveOutstanding = 0x80,
    kGoBackPending = 0x100,
    kWindowLimited = 0x200,
};

uint64_t make_word(uint32_t state, uint64_t deadline)
{
    return (static_cast<uint64_t>(state) << kStateShift) | (deadline & kDeadlineMask);
}
uint32_t word_state(uint64_t word) { return static_cast<uint32_t>(word >> kStateShift); }
uint64_t word_deadline(uint64_t word) { return word & kDeadlineMask; }

bool is_sequenced(uint64_t length, uint16_t flags)
{
    return length != FLOWMESH_HEADER_SIZE || (flags & kSequencedFlags) != 0;
}

uint64_t now_ms() { return core_clock_mono_ms(); }

// ---- the stream object ----

// A received sequenced datagram waiting for the ones before it.
struct ReceivedPacket {
    ReceivedPacket *prev;
    ReceivedPacket *next;
    uint64_t sequence;
    uint16_t flags;
    uint32_t value32;
    uint64_t length;    // header + payload
    uint8_t *datagram;  // plain header, then payload; in receive memory
};

// A resend-one request this side made and has not seen answered.
struct PendingRequest {
    uint64_t sequence;  // 0: free
    uint64_t at_ms;
};

struct Counters {
    std::atomic<uint64_t> dropped{0}, duplicates{0}, retransmissions{0}, handshake_retransmissions{0},
        resend_requests{0}, resend_pending{0}, resend_pending_max{0}, go_backs{0}, bytes_delivered{0},
        congestion_window{kUnit};
    std::atomic<int64_t> round_trip_ms{-1};
    std::atomic<uint32_t> close_reason{FLOWMESH_CLOSE_NONE}, peer_close_reason{FLOWMESH_CLOSE_NONE};
};

struct Stream {
    FlowmeshTransport *transport;

    // State: the word only moves forward (compare-and-swap to a larger
    // value), so concurrent transitions cannot undo each other.
    std::atomic<uint64_t> word{make_word(FLOWMESH_RELIABLE_CREATED, 0)};
    std::atomic<uint32_t> status{0};
    uint64_t sender_task = 0;
    uint64_t keepalive_task = 0;
    CoreName stream_name;
    CoreName executor_name;
    // Set before every wake: a sender task re-arming itself for later must
    // not swallow a wake that came in meanwhile.
    std::atomic<bool> wake_pending{false};

    // Send side: the sender task's.
    FlowmeshSendQueue *sendq = nullptr;
    uint64_t initial_sequence = 0;
    uint64_t sequence_limit = 0;
    uint64_t next_sequence = 0;
    uint64_t fin_sequence = 0;
    uint64_t flight_end = 0;     // last sequenced packet sent: the congestion update's mark
    uint64_t flight_updated = 0; // the flight end the last update ran for
    uint64_t refill_mark = 0;    // last sequenced packet sent: the peer window refill's mark
    std::atomic<uint64_t> acked{0};      // highest cumulative acknowledgement (receive path raises it)
    std::atomic<uint64_t> last_sent{0};  // published for the receive path's acknowledgement check
    std::deque<FlowmeshPacketNode *> in_flight;  // consecutive sequence numbers, oldest first
    size_t cursor = 0;                           // next packet whose deadline is checked
    uint8_t *wire = nullptr;                     // kBatch sealed datagrams
    uint8_t *rewire = nullptr;                   // one retransmitted datagram
    CoreQueueEntry records[kBatch];

    // Timing (sender task).
    uint64_t idle_timeout_ms = 0;
    int64_t srtt = -1;
    int64_t latest_sample = 0;
    uint32_t backoff = 0;
    int64_t backoff_deadline = -1;
    int64_t last_deadline = -1;

    // Congestion (sender task).
    uint64_t window = kUnit;
    uint64_t send_allowance = kUnit;
    uint64_t peer_allowance = kUnit;
    uint64_t growth_cap = kUnit;
    uint64_t threshold = 0;
    uint64_t flight_retransmissions = 0;
    uint64_t remembered_window = 0;  // W
    uint64_t growth_pacing = 0;      // K
    uint64_t growth_countdown = 0;
    std::atomic<uint32_t> peer_window{0};
    std::atomic<uint64_t> next_probe_ms{0};

    // Receive side: the receive path's, under receive_lock.
    std::mutex receive_lock;
    uint64_t next_expected = 0;
    std::atomic<uint64_t> highest_in_order{0};
    ReceivedPacket received;  // head sentinel, sequence order
    FlowmeshRecvPool *recv = nullptr;
    uint64_t window_units = 0;
    uint8_t *delivery = nullptr;
    PendingRequest pending[FLOWMESH_RELIABLE_RESEND_PENDING_MAX] = {};
    uint64_t last_go_back = 0;
    uint64_t last_go_back_ms = 0;
    // Packets wait behind a gap: the sender task asks again for what is
    // still missing when no further datagram comes to make the receive
    // path look.
    std::atomic<bool> gap_open{false};
    // Units: received datagrams that want an acknowledgement. The receive
    // path adds, the sender task acknowledges up to what it read.
    std::atomic<uint64_t> units{0};
    std::atomic<uint64_t> units_acked{0};  // written by the sender task
    uint64_t next_ack_ms = 0;        // sender task
    uint64_t last_advertised = 0;    // sender task

    // Requests from the peer, handed from the receive path to the sender.
    std::mutex request_lock;
    uint64_t go_back_slots[2] = {};
    uint64_t resend_slots[FLOWMESH_RELIABLE_RESEND_PENDING_MAX] = {};

    Counters counters;
};

struct ReliableObject {
    FlowmeshTransport common;
    Stream *stream;
};

Stream *stream_of(FlowmeshTransport *transport) { return reinterpret_cast<ReliableObject *>(transport)->stream; }

const FlowmeshTransportParams &params_of(const Stream *s) { return s->transport->params; }

uint32_t state_of(const Stream *s) { return word_state(s->word.load()); }

// Moves to `to` when the current state is one of `from` (bit per state).
bool advance(Stream *s, uint32_t from_mask, uint32_t to, uint64_t deadline)
{
    const uint64_t next = make_word(to, deadline);
    uint64_t current = s->word.load();
    for (;;) {
        if ((from_mask & (1u << word_state(current))) == 0 || next < current) return false;
        if (s->word.compare_exchange_weak(current, next)) return true;
    }
}

constexpr uint32_t bit(uint32_t state) { return 1u << state; }

// ---- events and wakes ----

int report(Stream *s, uint32_t code)
{
    const uint32_t initiator = s->transport->initiator;
    return flowmesh_transport_event(s->transport, code, &initiator, sizeof(initiator));
}

// Reports `code` the first time `flag` is set; the event function's result.
int report_once(Stream *s, uint32_t flag, uint32_t code)
{
    if (s->status.fetch_or(flag) & flag) return 0;
    return report(s, code);
}

void report_failure(Stream *s) { report_once(s, kFailureReported, FLOWMESH_TRANSPORT_FAILED); }

int trigger(Stream *s, uint64_t task, int64_t delay_ms)
{
    return task != 0 ? core_executor_trigger(&s->executor_name, task, delay_ms) : -1;
}

CoreResult wake_sender(Stream *s)
{
    s->wake_pending.store(true);
    if (trigger(s, s->sender_task, 0) == 0) return CORE_OK;
    // A closed stream's tasks are gone on purpose.
    if (state_of(s) == FLOWMESH_RELIABLE_CLOSED) return CORE_OK;
    report_failure(s);
    return CORE_ERR;
}

CoreResult queue_control(Stream *s, uint16_t type, uint32_t value32, uint64_t value64)
{
    if (flowmesh_sendq_post_control(s->sendq, type, value32, value64) != CORE_OK) {
        report_failure(s);
        return CORE_ERR;
    }
    return wake_sender(s);
}

CoreResult close_stream(Stream *s, uint32_t reason)
{
    uint64_t current = s->word.load();
    for (;;) {
        const uint32_t state = word_state(current);
        if (state < FLOWMESH_RELIABLE_CREATED || state > FLOWMESH_RELIABLE_ESTABLISHED) return CORE_DONE;
        if (s->word.compare_exchange_weak(current, make_word(FLOWMESH_RELIABLE_CLOSING, now_ms() + kClosingMs)))
            break;
    }
    s->counters.close_reason.store(reason);
    return queue_control(s, FLOWMESH_RELIABLE_FIN, reason, 0);
}

// A probe at most every 100 ms, whoever asks (sender task or receive path).
void probe_window(Stream *s, uint64_t now)
{
    uint64_t next = s->next_probe_ms.load();
    if (now < next || !s->next_probe_ms.compare_exchange_strong(next, now + kProbeIntervalMs)) return;
    queue_control(s, FLOWMESH_RELIABLE_PROBE, 0, 0);
}

uint64_t advertised_window(Stream *s) { return flowmesh_recvpool_window(s->recv) / kUnit * kUnit; }

// Bytes the application queued and the peer has not acknowledged; the
// send operation appends under the queue's lock.
bool data_waiting(Stream *s)
{
    CoreLockGuard guard(&s->sendq->bytes->lock);
    return s->sendq->bytes->bytes_queued > 0;
}

// ---- sending (sender task) ----

int64_t next_deadline(Stream *s, uint64_t now)
{
    const FlowmeshTransportParams &p = params_of(s);
    uint64_t timeout;
    if (state_of(s) < FLOWMESH_RELIABLE_ESTABLISHED) {
        timeout = p.handshake_ms;
    } else {
        const uint64_t base = static_cast<uint64_t>(s->srtt >= 0 ? s->srtt : s->latest_sample);
        timeout = std::min(p.max_rto_ms, std::max(p.min_rto_ms, base * 160 / 100)) << s->backoff;
    }
    // Deadlines never go back, so the in-flight list stays in deadline
    // order apart from what was retransmitted, and the scan can stop early.
    const int64_t deadline = static_cast<int64_t>(now + timeout);
    if (s->last_deadline >= 0 && deadline < s->last_deadline) return s->last_deadline;
    s->last_deadline = deadline;
    return deadline;
}

int send_records(Stream *s, const CoreQueueEntry *records, uint64_t count)
{
    const FlowmeshTransportParams &p = params_of(s);
    if (count == 0 || p.send_fn == nullptr) return 0;
    return p.send_fn(p.peer_id, records, count, const_cast<uint8_t *>(p.send_context));
}

void retransmit(Stream *s, FlowmeshPacketNode *node, bool keep_deadline, uint64_t now)
{
    s->flight_retransmissions++;
    s->counters.retransmissions.fetch_add(1);
    FlowmeshPacketHeader header;
    flowmesh_header_decode(&header, node->header);
    if (header.flags & (FLOWMESH_RELIABLE_SYN | FLOWMESH_RELIABLE_SYN_ACK))
        s->counters.handshake_retransmissions.fetch_add(1);
    header.token = flowmesh_token_draw();
    CoreQueueEntry record;
    if (flowmesh_transport_seal(s->transport, &header, node->payload, node->payload_length, s->rewire, &record) ==
        CORE_OK)
        send_records(s, &record, 1);
    flowmesh_header_encode(&header, node->header);
    if (!keep_deadline) node->deadline = static_cast<uint64_t>(next_deadline(s, now));
    node->retransmitted = 1;
}

// The chunk stays queued as the chunk being sent and comes with the next
// packet.
void detach_chunk(FlowmeshPacketNode *node)
{
    node->chunk_id = 0;
    node->payload = nullptr;
    node->payload_length = 0;
}

// Puts the packet's control back at the end of the list and frees the
// packet; the control is sent by a later pass.
void requeue_control(Stream *s, FlowmeshPacketNode **node)
{
    FlowmeshControl *control = (*node)->control;
    if (control != nullptr) flowmesh_sendq_post_control(s->sendq, control->type, control->value32, control->value64);
    detach_chunk(*node);
    flowmesh_sendq_release_packet(s->sendq, node);
}

uint64_t allowance_taken(uint64_t allowance, uint64_t size) { return allowance > size ? allowance - size : 0; }

CoreResult send_pending(Stream *s)
{
    uint64_t now = now_ms();
    int64_t deadline = next_deadline(s, now);
    uint16_t token = flowmesh_token_draw();
    uint64_t run = 0;
    uint64_t batch = 0;
    for (;;) {
        if (run == kFirstRun || (run > kFirstRun && (run - kFirstRun) % kRun == 0)) {
            now = now_ms();
            deadline = next_deadline(s, now);
            token = flowmesh_token_draw();
        }
        FlowmeshPacketNode *node = nullptr;
        const CoreResult next = flowmesh_sendq_next_packet(s->sendq, &node);
        if (next == CORE_DONE) {
            if (s->status.load() & kFinishRequested) {
                close_stream(s, FLOWMESH_CLOSE_FINISHED);
                report_once(s, kDrainReported, FLOWMESH_TRANSPORT_DRAINED);
            }
            break;
        }
        if (next != CORE_OK) break;  // memory short: what is queued waits for the next pass

        const uint16_t flags = flowmesh_get_be16(node->header + FLOWMESH_HDR_FLAGS);
        const bool alone_ok = node->control != nullptr && (flags & kControlFlags) != 0;
        const uint64_t allowance = std::min(s->send_allowance, s->peer_allowance);
        if (node->payload_length + FLOWMESH_HEADER_SIZE > allowance) {
            s->status.fetch_or(kWindowLimited);
            detach_chunk(node);
            if (!alone_ok) {
                requeue_control(s, &node);
                break;
            }
        }
        if (flags & FLOWMESH_RELIABLE_GO_BACK) detach_chunk(node);

        uint32_t state = state_of(s);
        const bool fin = (flags & FLOWMESH_RELIABLE_FIN) != 0;
        // Nothing follows a finish: once it is on its way, chunks stay home.
        if (fin || state >= FLOWMESH_RELIABLE_FIN_SENT) {
            detach_chunk(node);
            if (!alone_ok) {
                requeue_control(s, &node);
                break;
            }
        }

        const uint64_t size = node->payload_length + FLOWMESH_HEADER_SIZE;
        const bool sequenced = is_sequenced(size, flags);
        if (sequenced && !fin && s->next_sequence + 1 >= s->sequence_limit) {
            // The last numbers are the finish's.
            requeue_control(s, &node);
            close_stream(s, FLOWMESH_CLOSE_SEQUENCE_LIMIT);
            break;
        }

        FlowmeshPacketHeader header;
        flowmesh_header_decode(&header, node->header);
        header.token = token;
        header.sequence = 0;
        if (sequenced) {
            header.sequence = s->next_sequence++;
            s->last_sent.store(header.sequence);
            s->flight_end = s->refill_mark = header.sequence;
            s->send_allowance = allowance_taken(s->send_allowance, size);
            s->peer_allowance = allowance_taken(s->peer_allowance, size);
        }
        if (fin && state == FLOWMESH_RELIABLE_CLOSING) {
            s->fin_sequence = header.sequence;
            advance(s, bit(FLOWMESH_RELIABLE_CLOSING), FLOWMESH_RELIABLE_FIN_SENT, now + kClosingMs);
            report_once(s, kFinSentReported, FLOWMESH_TRANSPORT_FIN_SENT);
        }
        if (flags & FLOWMESH_RELIABLE_GO_BACK) s->status.fetch_and(~kGoBackPending);
        if (node->chunk_id != 0) s->sendq->sending_id = 0;  // committed: the next packet takes the next chunk
        node->first_send = now;
        node->deadline = static_cast<uint64_t>(deadline);

        uint8_t *out = s->wire + batch * FLOWMESH_DATAGRAM_MAX;
        const CoreResult sealed =
            flowmesh_transport_seal(s->transport, &header, node->payload, node->payload_length, out, &s->records[batch]);
        flowmesh_header_encode(&header, node->header);
        if (sealed == CORE_OK) ++batch;
        if (sequenced) {
            if (s->in_flight.empty()) s->cursor = 0;
            s->in_flight.push_back(node);
        } else {
            flowmesh_sendq_release_packet(s->sendq, &node);
        }
        ++run;
        if (batch == kBatch) {
            const int failed = send_records(s, s->records, batch);
            batch = 0;
            if (failed != 0) return CORE_OK;  // what is in flight goes again on its deadline
        }
    }
    send_records(s, s->records, batch);
    return CORE_OK;
}

// ---- acknowledgements, window and congestion (sender task) ----

void release_acked(Stream *s, uint64_t now)
{
    const uint64_t mark = s->acked.load();
    const FlowmeshTransportParams &p = params_of(s);
    uint64_t bytes = 0;
    int64_t sample = -1;
    bool released = false;
    while (!s->in_flight.empty()) {
        FlowmeshPacketNode *node = s->in_flight.front();
        if (flowmesh_get_be64(node->header + FLOWMESH_HDR_SEQUENCE) > mark) break;
        s->in_flight.pop_front();
        if (s->cursor > 0) --s->cursor;
        released = true;
        if (node->retransmitted) {
            if (s->backoff_deadline < 0)
                s->backoff_deadline = static_cast<int64_t>(now + (p.min_rto_ms + p.max_rto_ms) / 4);
        } else {
            sample = static_cast<int64_t>(now - node->first_send);
            s->backoff_deadline = -1;
        }
        if (flowmesh_get_be16(node->header + FLOWMESH_HDR_FLAGS) & FLOWMESH_RELIABLE_KEEPALIVE)
            s->status.fetch_and(~kKeepAliveOutstanding);
        bytes += node->payload_length;
        flowmesh_sendq_release_packet(s->sendq, &node);
    }
    if ((p.options & FLOWMESH_RELIABLE_OPT_REPORT_ACKED) && bytes > 0)
        flowmesh_transport_event(s->transport, FLOWMESH_TRANSPORT_ACKED, &bytes, sizeof(bytes));
    if (sample >= 0) {
        s->latest_sample = sample;
        s->backoff = 0;
        s->srtt = s->srtt < 0 ? sample : s->srtt * 80 / 100 + sample * 20 / 100;
        s->counters.round_trip_ms.store(s->srtt);
    } else if (released && s->backoff_deadline >= 0 && static_cast<int64_t>(now) >= s->backoff_deadline &&
               s->backoff == 0) {
        s->backoff = 1;
    }
}

void congestion_update(Stream *s)
{
    const uint64_t retransmissions = s->flight_retransmissions;
    s->flight_retransmissions = 0;
    if (retransmissions >= 3) {
        if (s->remembered_window == 0) {
            s->growth_pacing = 16;
            s->remembered_window = s->window;
        } else {
            const uint64_t w = s->remembered_window * 10 / 100 + s->window * 90 / 100;
            if (w / kUnit > s->remembered_window / kUnit) s->growth_pacing += 4;
            s->growth_pacing = std::clamp<uint64_t>(s->growth_pacing, 16, 128);
            s->remembered_window = w;
        }
        s->growth_countdown = 0;
        s->threshold = std::max(kUnit, s->threshold * 50 / 100);
        s->window = std::max(kUnit, s->window * 50 / 100);
    } else if (s->status.fetch_and(~kWindowLimited) & kWindowLimited) {
        bool grow = true;
        if (s->window / kUnit >= s->remembered_window / kUnit) {
            s->growth_countdown = s->growth_countdown != 0 ? s->growth_countdown - 1 : s->growth_pacing;
            grow = s->growth_countdown == 0;
            if (grow && s->growth_pacing > 0) --s->growth_pacing;
        }
        if (grow) {
            if (s->window < s->threshold) {
                s->window = s->window > s->growth_cap ? s->growth_cap : std::min(s->window * 2, s->threshold);
            } else {
                s->window = s->window > s->growth_cap ? s->growth_cap : s->window + kUnit;
                if (s->threshold < s->window) s->threshold = s->window;
            }
        }
    }
    s->send_allowance = s->window;
    s->counters.congestion_window.store(s->window);
}

void on_acks(Stream *s, uint64_t now)
{
    release_acked(s, now);
    const uint64_t mark = s->acked.load();
    if (mark >= s->refill_mark) {
        const uint32_t window = s->peer_window.load();
        if (window >= kUnit) {
            s->peer_allowance = s->growth_cap = window;
        } else if (state_of(s) == FLOWMESH_RELIABLE_ESTABLISHED && data_waiting(s)) {
            probe_window(s, now);
        }
    }
    if (mark >= s->flight_end && s->flight_end != s->flight_updated) {
        s->flight_updated = s->flight_end;
        congestion_update(s);
    }
    const uint32_t state = state_of(s);
    if (state == FLOWMESH_RELIABLE_HANDSHAKE && mark >= s->initial_sequence &&
        advance(s, bit(FLOWMESH_RELIABLE_HANDSHAKE), FLOWMESH_RELIABLE_ESTABLISHED, 0)) {
        if (report_once(s, kOpenReported, FLOWMESH_TRANSPORT_OPEN) != 0) report_failure(s);
        if (s->keepalive_task != 0 && trigger(s, s->keepalive_task, 0) != 0) report_failure(s);
    }
    if (state == FLOWMESH_RELIABLE_FIN_SENT && mark >= s->fin_sequence &&
        advance(s, bit(FLOWMESH_RELIABLE_FIN_SENT), FLOWMESH_RELIABLE_FIN_ACKED, now + kClosingMs))
        report_once(s, kClosingReported, FLOWMESH_TRANSPORT_CLOSING);
}

// ---- timers, requests, retransmission scan (sender task) ----

// The wake-up the state's deadline wants (-1: none).
int64_t check_timers(Stream *s, uint64_t now)
{
    const uint64_t word = s->word.load();
    const uint32_t state = word_state(word);
    const bool passed = now >= word_deadline(word);
    switch (state) {
    case FLOWMESH_RELIABLE_OPENING:
    case FLOWMESH_RELIABLE_HANDSHAKE:
        if (passed) close_stream(s, FLOWMESH_CLOSE_OPENING_TIMEOUT);
        return kTimerWakeMs;
    case FLOWMESH_RELIABLE_CLOSING:
    case FLOWMESH_RELIABLE_FIN_SENT:
        if (passed &&
            advance(s, bit(FLOWMESH_RELIABLE_CLOSING) | bit(FLOWMESH_RELIABLE_FIN_SENT), FLOWMESH_RELIABLE_FIN_ACKED,
                    now + kClosingMs) &&
            report_once(s, kClosingReported, FLOWMESH_TRANSPORT_CLOSING) != 0)
            report_failure(s);
        return kTimerWakeMs;
    case FLOWMESH_RELIABLE_FIN_ACKED:
        if (passed && advance(s, bit(FLOWMESH_RELIABLE_FIN_ACKED), FLOWMESH_RELIABLE_CLOSED, 0) &&
            report_once(s, kClosedReported, FLOWMESH_TRANSPORT_CLOSED) != 0)
            report_failure(s);
        return kTimerWakeMs;
    default:
        return -1;
    }
}

// An established stream whose oldest unacknowledged packet has waited the
// whole idle time-out has lost its peer. Before that, the opening deadline
// decides: an unanswered SYN must close as an opening time-out.
bool idle_closed(Stream *s, const FlowmeshPacketNode *node, uint64_t now)
{
    if (state_of(s) != FLOWMESH_RELIABLE_ESTABLISHED) return false;
    if (now - node->first_send <= s->idle_timeout_ms) return false;
    close_stream(s, FLOWMESH_CLOSE_IDLE_TIMEOUT);
    return true;
}

FlowmeshPacketNode *in_flight_at(Stream *s, uint64_t sequence)
{
    if (s->in_flight.empty()) return nullptr;
    const uint64_t first = flowmesh_get_be64(s->in_flight.front()->header + FLOWMESH_HDR_SEQUENCE);
    if (sequence < first || sequence - first >= s->in_flight.size()) return nullptr;
    FlowmeshPacketNode *node = s->in_flight[static_cast<size_t>(sequence - first)];
    return flowmesh_get_be64(node->header + FLOWMESH_HDR_SEQUENCE) == sequence ? node : nullptr;
}

// Answers the peer's resend-one and go-back requests. False when the idle
// check closed the stream.
bool serve_requests(Stream *s, uint64_t now)
{
    uint64_t resend[FLOWMESH_RELIABLE_RESEND_PENDING_MAX];
    uint64_t go_back[2];
    {
        std::lock_guard<std::mutex> guard(s->request_lock);
        memcpy(resend, s->resend_slots, sizeof(resend));
        memcpy(go_back, s->go_back_slots, sizeof(go_back));
        memset(s->resend_slots, 0, sizeof(s->resend_slots));
        memset(s->go_back_slots, 0, sizeof(s->go_back_slots));
    }
    const uint64_t mark = s->acked.load();
    for (uint64_t sequence : resend) {
        if (sequence == 0 || sequence <= mark) continue;
        FlowmeshPacketNode *node = in_flight_at(s, sequence);
        if (node == nullptr) continue;
        if (idle_closed(s, node, now)) return false;
        retransmit(s, node, true, now);
    }
    for (uint64_t value : go_back) {
        if (value == 0 || value <= mark) continue;
        for (FlowmeshPacketNode *node : s->in_flight) {
            if (flowmesh_get_be64(node->header + FLOWMESH_HDR_SEQUENCE) > value) break;
            if (idle_closed(s, node, now)) return false;
            retransmit(s, node, false, now);
        }
    }
    return true;
}

void retransmission_scan(Stream *s, uint64_t now)
{
    if (s->in_flight.empty()) return;
    if (s->cursor >= s->in_flight.size()) s->cursor = 0;
    while (s->cursor < s->in_flight.size()) {
        FlowmeshPacketNode *node = s->in_flight[s->cursor];
        if (idle_closed(s, node, now)) return;
        if (node->deadline > now) return;
        retransmit(s, node, false, now);
        ++s->cursor;
    }
    // Past the end, the next scan starts again from the oldest packet. Left
    // at the end, the cursor would name the first packet this pass sends
    // next, and the packets just resent would wait behind its deadline and
    // those of every packet sent after it.
    s->cursor = 0;
}

// Queues the delayed acknowledgement when it is due; otherwise the wait
// until it is (-1: nothing waits).
int64_t acknowledge(Stream *s, uint64_t now)
{
    const uint64_t units = s->units.load();
    const uint64_t acked = s->units_acked.load();
    if (units == acked) return -1;
    const bool every_pass = (params_of(s).options & FLOWMESH_RELIABLE_OPT_ACK_EVERY_PASS) != 0;
    if (now >= s->next_ack_ms || units - acked >= 2 || every_pass) {
        const uint64_t window = advertised_window(s);
        s->last_advertised = window;
        s->units_acked.store(units);
        s->next_ack_ms = now + kAckDelayMs;
        queue_control(s, FLOWMESH_RELIABLE_ACK | FLOWMESH_RELIABLE_WINDOW, static_cast<uint32_t>(window),
                      s->highest_in_order.load());
        return -1;
    }
    return static_cast<int64_t>(s->next_ack_ms - now);
}

void cancel_tasks(Stream *s, bool wait)
{
    CoreExecutor *executor = core_executor_find(&s->executor_name);
    if (executor == nullptr) return;
    if (s->keepalive_task != 0) core_executor_cancel(executor, s->keepalive_task, wait ? 1 : 0);
    if (wait && s->sender_task != 0) core_executor_cancel(executor, s->sender_task, 1);
    core_executor_release(executor);
}

void request_missing(Stream *s, uint64_t now);

// One run of the sender task. *wake: the delay until the next run, -1 for
// none; *ended once the stream is closed.
CoreResult step(Stream *s, int64_t *wake, bool *ended)
{
    *wake = -1;
    *ended = false;
    const uint32_t state = state_of(s);
    if (state == FLOWMESH_RELIABLE_CREATED) return CORE_OK;
    uint64_t now = now_ms();
    const int64_t timer_wake = state == FLOWMESH_RELIABLE_CLOSED ? -1 : check_timers(s, now);
    if (state_of(s) == FLOWMESH_RELIABLE_CLOSED) {
        cancel_tasks(s, false);
        *ended = true;
        return CORE_OK;
    }
    on_acks(s, now);
    if (serve_requests(s, now)) retransmission_scan(s, now);
    int64_t gap_wake = -1;
    if (s->gap_open.load() && state_of(s) == FLOWMESH_RELIABLE_ESTABLISHED) {
        // A request or its answer may have been lost with nothing behind
        // it; never wait on a receive path busy delivering.
        std::unique_lock<std::mutex> receiving(s->receive_lock, std::try_to_lock);
        if (receiving.owns_lock()) request_missing(s, now);
        gap_wake = static_cast<int64_t>(params_of(s).handshake_ms);
    }

    const uint32_t current = state_of(s);
    if ((current == FLOWMESH_RELIABLE_HANDSHAKE || current == FLOWMESH_RELIABLE_ESTABLISHED) &&
        s->last_advertised < kUnit) {
        const uint64_t window = advertised_window(s);
        if (window >= kUnit) {
            s->last_advertised = window;
            queue_control(s, FLOWMESH_RELIABLE_WINDOW, static_cast<uint32_t>(window), 0);
        }
    }
    const int64_t ack_wait = acknowledge(s, now);
    send_pending(s);
    if (state_of(s) < FLOWMESH_RELIABLE_CLOSING && s->next_sequence + 1 >= s->sequence_limit)
        close_stream(s, FLOWMESH_CLOSE_SEQUENCE_LIMIT);
    const uint32_t after = state_of(s);
    if (after == FLOWMESH_RELIABLE_OPENING || after == FLOWMESH_RELIABLE_HANDSHAKE)
        s->send_allowance = s->peer_allowance = kUnit;

    now = now_ms();
    int64_t next = -1;
    auto take = [&next](int64_t delay) {
        if (delay >= 0 && (next < 0 || delay < next)) next = delay;
    };
    if (!s->in_flight.empty()) {
        const FlowmeshPacketNode *node =
            s->cursor < s->in_flight.size() ? s->in_flight[s->cursor] : s->in_flight.front();
        take(node->deadline > now ? static_cast<int64_t>(node->deadline - now) : 0);
    }
    take(ack_wait);
    take(timer_wake);
    take(gap_wake);
    if (after == FLOWMESH_RELIABLE_ESTABLISHED && s->peer_window.load() < kUnit && data_waiting(s)) {
        const uint64_t probe = s->next_probe_ms.load();
        take(probe > now ? static_cast<int64_t>(probe - now) : 0);
    }
    *wake = next;
    return CORE_OK;
}

// ---- receiving (receive path, receive_lock held) ----

void free_received(Stream *s, ReceivedPacket *packet)
{
    packet->prev->next = packet->next;
    packet->next->prev = packet->prev;
    void *bytes = packet->datagram;
    core_pool_free(s->recv->data_pool, &bytes);
    void *block = packet;
    core_pool_free(s->recv->node_pool, &block);
}

void forget_request(Stream *s, uint64_t sequence)
{
    for (PendingRequest &r : s->pending) {
        if (r.sequence == sequence) {
            r.sequence = 0;
            s->counters.resend_pending.fetch_sub(1);
        }
    }
}

CoreResult store_received(Stream *s, const FlowmeshPacketHeader &header, const uint8_t *payload)
{
    ReceivedPacket *head = &s->received;
    auto place = [&] {
        ReceivedPacket *at = head->prev;
        while (at != head && at->sequence > header.sequence) at = at->prev;
        return at;
    };
    ReceivedPacket *at = place();
    if (at != head && at->sequence == header.sequence) {
        s->counters.duplicates.fetch_add(1);
        return CORE_OK;
    }
    auto allocate = [&](ReceivedPacket **packet, uint8_t **bytes) {
        *packet = static_cast<ReceivedPacket *>(core_pool_alloc(s->recv->node_pool, sizeof(ReceivedPacket)));
        *bytes = static_cast<uint8_t *>(core_pool_alloc(s->recv->data_pool, header.length));
        if (*packet != nullptr && *bytes != nullptr) return true;
        void *block = *packet, *data = *bytes;
        core_pool_free(s->recv->node_pool, &block);
        core_pool_free(s->recv->data_pool, &data);
        return false;
    };
    ReceivedPacket *packet = nullptr;
    uint8_t *bytes = nullptr;
    if (!allocate(&packet, &bytes)) {
        // Only the packet that lets delivery go on is worth the packets
        // farthest ahead: they come again, and it unblocks them all.
        if (header.sequence != s->next_expected) return CORE_ERR_NONE_FOUND;
        uint64_t freed = 0;
        while (head->prev != head && freed < kReclaimBytes) {
            freed += head->prev->length;
            free_received(s, head->prev);
        }
        if (!allocate(&packet, &bytes)) return CORE_ERR_NONE_FOUND;
        at = place();
    }
    flowmesh_header_encode(&header, bytes);
    memcpy(bytes + FLOWMESH_HEADER_SIZE, payload, header.length - FLOWMESH_HEADER_SIZE);
    packet->sequence = header.sequence;
    packet->flags = header.flags;
    packet->value32 = flowmesh_get_be32(header.specific);
    packet->length = header.length;
    packet->datagram = bytes;
    packet->prev = at;
    packet->next = at->next;
    at->next->prev = packet;
    at->next = packet;
    forget_request(s, header.sequence);
    return CORE_OK;
}

void store_request(Stream *s, uint64_t *slots, size_t count, uint64_t value, bool *wake)
{
    std::lock_guard<std::mutex> guard(s->request_lock);
    uint64_t *free_slot = nullptr;
    for (size_t i = 0; i < count; ++i) {
        if (slots[i] == value) {
            *wake = true;
            return;
        }
        if (slots[i] == 0 && free_slot == nullptr) free_slot = &slots[i];
    }
    if (free_slot != nullptr) {
        *free_slot = value;
        *wake = true;
    }
}

// A valid acknowledgement raises the mark; one above what was sent would
// release packets the peer never had.
void apply_ack(Stream *s, uint64_t value, bool *wake)
{
    if (value > s->last_sent.load()) return;
    uint64_t mark = s->acked.load();
    while (value > mark) {
        if (s->acked.compare_exchange_weak(mark, value)) {
            *wake = true;
            return;
        }
    }
}

void on_handshake(Stream *s, const FlowmeshPacketHeader &header)
{
    const bool initiator = s->transport->initiator != 0;
    const bool syn = (header.flags & FLOWMESH_RELIABLE_SYN) != 0;
    const bool syn_ack = (header.flags & FLOWMESH_RELIABLE_SYN_ACK) != 0;
    if (!syn && !syn_ack) return;
    if ((syn && initiator) || (syn_ack && !initiator) || header.sequence == 0 ||
        header.sequence >= s->sequence_limit) {
        s->counters.dropped.fetch_add(1);
        return;
    }
    s->next_expected = header.sequence + 1;
    s->highest_in_order.store(header.sequence);
    if (!initiator && queue_control(s, FLOWMESH_RELIABLE_SYN_ACK, 1, 0) != CORE_OK) return;
    s->units.fetch_add(1);
    advance(s, bit(FLOWMESH_RELIABLE_OPENING), FLOWMESH_RELIABLE_HANDSHAKE, now_ms() + kOpeningMs);
}

void on_datagram(Stream *s, const FlowmeshPacketHeader &header, const uint8_t *payload, bool *wake)
{
    const uint32_t state = state_of(s);
    if (state == FLOWMESH_RELIABLE_CREATED) return;
    const uint32_t value32 = flowmesh_get_be32(header.specific);
    const uint64_t value64 = flowmesh_get_be64(header.specific + 4);
    // Applied in state 2 too: the peer's acknowledgement of our SYN may
    // overtake its SYN-ACK, and dropping it would cost a retransmission.
    if (header.flags & FLOWMESH_RELIABLE_ACK) apply_ack(s, value64, wake);
    if (state == FLOWMESH_RELIABLE_OPENING) {
        on_handshake(s, header);
        return;
    }
    if ((header.flags & FLOWMESH_RELIABLE_GO_BACK) && value64 != 0) store_request(s, s->go_back_slots, 2, value64, wake);
    if ((header.flags & FLOWMESH_RELIABLE_RESEND) && value64 != 0)
        store_request(s, s->resend_slots, FLOWMESH_RELIABLE_RESEND_PENDING_MAX, value64, wake);
    if (header.flags & FLOWMESH_RELIABLE_WINDOW) {
        s->peer_window.store(value32);
        if (value32 == 0 && state == FLOWMESH_RELIABLE_ESTABLISHED) probe_window(s, now_ms());
    }
    const bool sequenced = is_sequenced(header.length, header.flags);
    if ((header.flags & FLOWMESH_RELIABLE_PROBE) && state >= FLOWMESH_RELIABLE_ESTABLISHED) s->units.fetch_add(2);
    if (state < FLOWMESH_RELIABLE_ESTABLISHED && sequenced) s->units.fetch_add(2);
    if (!sequenced) return;
    // Stored from state 3 on: the peer may send data as soon as it is
    // established, before our own SYN-ACK's acknowledgement has arrived.
    if (header.sequence < s->next_expected) {
        s->counters.duplicates.fetch_add(1);
        s->units.fetch_add(2);
    } else if (header.sequence - s->next_expected > s->window_units) {
        s->counters.dropped.fetch_add(1);
    } else if (store_received(s, header, payload) != CORE_OK) {
        s->counters.dropped.fetch_add(1);
    }
}

void deliver(Stream *s)
{
    const FlowmeshTransportParams &p = params_of(s);
    ReceivedPacket *head = &s->received;
    uint64_t total = 0;
    while (head->next != head && state_of(s) != FLOWMESH_RELIABLE_CLOSED) {
        uint64_t expected = s->next_expected;
        uint64_t bytes = 0, taken = 0;
        const ReceivedPacket *fin = nullptr;
        ReceivedPacket *packet = head->next;
        while (packet != head) {
            ReceivedPacket *next = packet->next;
            if (packet->sequence < expected) {
                free_received(s, packet);
            } else if (packet->sequence == expected) {
                const uint64_t length = packet->length - FLOWMESH_HEADER_SIZE;
                if (bytes + length > FLOWMESH_RELIABLE_DELIVERY_MAX) break;
                memcpy(s->delivery + bytes, packet->datagram + FLOWMESH_HEADER_SIZE, length);
                bytes += length;
                ++expected;
                ++taken;
                if (packet->flags & FLOWMESH_RELIABLE_FIN) {
                    fin = packet;
                    break;
                }
            } else if (state_of(s) < FLOWMESH_RELIABLE_CLOSING) {
                break;
            } else {
                // Closing: gaps are no longer asked for, so what lies
                // beyond one never becomes deliverable.
                while (packet != head) {
                    next = packet->next;
                    free_received(s, packet);
                    packet = next;
                }
                break;
            }
            packet = next;
        }
        if (expected == s->next_expected) break;
        // A refusing consumer keeps the packets stored: they are offered
        // again on the next pass, and the shrinking window holds the peer.
        if (bytes > 0 && p.data_fn != nullptr &&
            p.data_fn(p.local_id, &p.session, s->delivery, bytes, const_cast<uint8_t *>(p.data_context)) != 0)
            break;
        const uint32_t fin_reason = fin != nullptr ? fin->value32 : 0;
        for (uint64_t i = 0; i < taken; ++i) free_received(s, head->next);
        s->units.fetch_add(taken);
        s->next_expected = expected;
        s->highest_in_order.store(expected - 1);
        total += bytes;
        s->counters.bytes_delivered.fetch_add(bytes);
        // Only now that the bytes before it are accepted does the finish
        // count.
        if (fin != nullptr) {
            s->counters.peer_close_reason.store(fin_reason);
            close_stream(s, FLOWMESH_CLOSE_PEER_FIN);
        }
    }
    if ((p.options & FLOWMESH_RELIABLE_OPT_REPORT_DELIVERED) && total > 0)
        flowmesh_transport_event(s->transport, FLOWMESH_TRANSPORT_DELIVERED, &total, sizeof(total));
}

// Asks for what is missing in front of the stored packets: each number
// once while fewer than 8 are missing, else one go back. A request stays
// outstanding until its packet arrives or a handshake interval passes, so
// passes that find the same gap do not ask again and again, and at most 16
// resend-one requests are outstanding at once.
void request_missing(Stream *s, uint64_t now)
{
    const uint32_t state = state_of(s);
    if (state > FLOWMESH_RELIABLE_ESTABLISHED) return;
    const uint64_t retry_ms = params_of(s).handshake_ms;
    uint64_t outstanding = 0;
    for (PendingRequest &r : s->pending) {
        if (r.sequence == 0) continue;
        if (r.sequence < s->next_expected || now - r.at_ms >= retry_ms) {
            r.sequence = 0;
            s->counters.resend_pending.fetch_sub(1);
        } else {
            ++outstanding;
        }
    }

    uint64_t missing[kGoBackAt];
    uint64_t count = 0;
    uint64_t expected = s->next_expected;
    for (const ReceivedPacket *p = s->received.next; p != &s->received && count < kGoBackAt; p = p->next) {
        if (p->sequence < expected) continue;
        for (uint64_t n = expected; n < p->sequence && count < kGoBackAt; ++n) missing[count++] = n;
        expected = p->sequence + 1;
    }
    if (count == 0) return;

    if (count < kGoBackAt) {
        if (state != FLOWMESH_RELIABLE_ESTABLISHED) return;
        for (uint64_t i = 0; i < count && outstanding < FLOWMESH_RELIABLE_RESEND_PENDING_MAX; ++i) {
            PendingRequest *slot = nullptr;
            bool waiting = false;
            for (PendingRequest &r : s->pending) {
                if (r.sequence == missing[i]) waiting = true;
                if (r.sequence == 0 && slot == nullptr) slot = &r;
            }
            if (waiting || slot == nullptr) continue;
            if (queue_control(s, FLOWMESH_RELIABLE_RESEND, 0, missing[i]) != CORE_OK) return;
            *slot = {missing[i], now};
            ++outstanding;
            s->counters.resend_requests.fetch_add(1);
            const uint64_t pending = s->counters.resend_pending.fetch_add(1) + 1;
            uint64_t seen = s->counters.resend_pending_max.load();
            while (pending > seen && !s->counters.resend_pending_max.compare_exchange_weak(seen, pending)) {
            }
        }
        return;
    }

    if (s->last_go_back == s->next_expected && now - s->last_go_back_ms < retry_ms) return;
    if (s->status.fetch_or(kGoBackPending) & kGoBackPending) return;
    if (state != FLOWMESH_RELIABLE_ESTABLISHED ||
        queue_control(s, FLOWMESH_RELIABLE_GO_BACK, 0, s->next_expected) != CORE_OK) {
        s->status.fetch_and(~kGoBackPending);
        return;
    }
    s->last_go_back = s->next_expected;
    s->last_go_back_ms = now;
    s->counters.go_backs.fetch_add(1);
}

CoreResult receive_batch(Stream *s, const CoreQueueEntry *records, uint64_t count)
{
    std::lock_guard<std::mutex> guard(s->receive_lock);
    bool wake = false;
    uint8_t payload[FLOWMESH_PAYLOAD_MAX];
    for (uint64_t i = 0; i < count; ++i) {
        FlowmeshPacketHeader header;
        uint64_t length = 0;
        if (flowmesh_transport_open(s->transport, &records[i], &header, payload, &length) != CORE_OK) {
            s->counters.dropped.fetch_add(1);
            continue;
        }
        const uint16_t exclusive =
            header.flags & (FLOWMESH_RELIABLE_SYN | FLOWMESH_RELIABLE_SYN_ACK | FLOWMESH_RELIABLE_FIN);
        if ((exclusive & (exclusive - 1)) != 0) {
            s->counters.dropped.fetch_add(1);
            continue;
        }
        on_datagram(s, header, payload, &wake);
    }
    deliver(s);
    request_missing(s, now_ms());
    s->gap_open.store(s->received.next != &s->received);
    if (s->units.load() != s->units_acked.load()) wake = true;
    if (wake) return wake_sender(s);
    return CORE_OK;
}

// ---- tasks ----

CoreHandleTable *network_table() { return core_handle_tables[CORE_HANDLES_NETWORK]; }

extern const FlowmeshTransportKind kReliableKind;

// The stream behind a handle, with a reference taken, or NULL (unknown
// handle or another kind's transport).
FlowmeshTransport *acquire(uint64_t handle)
{
    CoreHandleTable *table = network_table();
    if (table == nullptr || handle == 0) return nullptr;
    auto *transport = static_cast<FlowmeshTransport *>(core_handle_acquire(table, handle));
    if (transport == nullptr) return nullptr;
    if (transport->ops != &kReliableKind || stream_of(transport) == nullptr) {
        core_handle_release(table, handle);
        return nullptr;
    }
    return transport;
}

void release(FlowmeshTransport *transport) { core_handle_release(network_table(), transport->handle); }

int sender_task(const CoreName *, uint64_t task_id, const CoreName *, const CoreName *, void **user)
{
    FlowmeshTransport *transport = acquire(reinterpret_cast<uintptr_t>(user[0]));
    if (transport == nullptr) return CORE_ERR;  // the stream is going: end the task
    Stream *s = stream_of(transport);
    s->wake_pending.store(false);
    int64_t wake = -1;
    bool ended = false;
    int result = CORE_OK;
    if (step(s, &wake, &ended) != CORE_OK) {
        report_failure(s);
        result = CORE_ERR;
    } else if (ended) {
        result = CORE_DONE;
    } else {
        if (wake >= 0 && trigger(s, task_id, wake) != 0) {
            report_failure(s);
            result = CORE_ERR;
        }
        // Re-arming for later may have replaced a wake that came during the
        // run; the flag tells.
        if (result == CORE_OK && wake != 0 && s->wake_pending.load()) trigger(s, task_id, 0);
    }
    release(transport);
    return result;
}

int keepalive_task(const CoreName *, uint64_t task_id, const CoreName *, const CoreName *, void **user)
{
    FlowmeshTransport *transport = acquire(reinterpret_cast<uintptr_t>(user[0]));
    if (transport == nullptr) return CORE_ERR;
    Stream *s = stream_of(transport);
    int result = CORE_OK;
    const uint32_t state = state_of(s);
    if (state == FLOWMESH_RELIABLE_CLOSED) {
        result = CORE_DONE;
    } else {
        if (state == FLOWMESH_RELIABLE_ESTABLISHED &&
            !(s->status.fetch_or(kKeepAliveOutstanding) & kKeepAliveOutstanding))
            queue_control(s, FLOWMESH_RELIABLE_KEEPALIVE, 0, 0);
        if (trigger(s, task_id, kKeepAliveMs) != 0) {
            report_failure(s);
            result = CORE_ERR;
        }
    }
    release(transport);
    return result;
}

// ---- kind operations ----

void destroy(FlowmeshTransport *transport)
{
    auto *object = reinterpret_cast<ReliableObject *>(transport);
    Stream *s = object->stream;
    if (s == nullptr) return;
    object->stream = nullptr;
    cancel_tasks(s, true);
    if (s->recv != nullptr) {
        while (s->received.next != &s->received) free_received(s, s->received.next);
    }
    if (s->sendq != nullptr) {
        for (FlowmeshPacketNode *node : s->in_flight) flowmesh_sendq_release_packet(s->sendq, &node);
        s->in_flight.clear();
    }
    flowmesh_sendq_destroy(&s->sendq);
    flowmesh_recvpool_destroy(&s->recv);
    delete[] s->wire;
    delete[] s->rewire;
    delete[] s->delivery;
    delete s;
}

CoreResult build(FlowmeshTransport *transport)
{
    const FlowmeshTransportParams &p = transport->params;
    if (p.options & FLOWMESH_RELIABLE_OPT_REFUSE) return CORE_ERR;
    // The peer refuses a SYN numbered 0 or at the limit: such a stream
    // could never open.
    if (p.initial_sequence == 0 || p.initial_sequence >= p.sequence_limit) return CORE_ERR;
    auto *object = reinterpret_cast<ReliableObject *>(transport);
    Stream *s = new (std::nothrow) Stream;
    if (s == nullptr) return CORE_ERR;
    object->stream = s;
    s->transport = transport;
    memset(&s->stream_name, 0, sizeof(s->stream_name));
    flowmesh_put_be16(s->stream_name.key, p.local_id);
    core_name_format(&s->executor_name, "%s", FLOWMESH_STREAM_EXECUTOR);
    s->received.prev = s->received.next = &s->received;

    s->initial_sequence = s->next_sequence = p.initial_sequence;
    s->sequence_limit = p.sequence_limit;
    s->acked.store(p.initial_sequence - 1);
    s->last_sent.store(p.initial_sequence - 1);
    s->flight_end = s->flight_updated = s->refill_mark = p.initial_sequence - 1;
    s->idle_timeout_ms = std::max<uint64_t>(kIdleFloorMs, 2 * p.max_rto_ms);
    s->latest_sample = static_cast<int64_t>((p.min_rto_ms + p.max_rto_ms) / 4);
    s->threshold = p.send_buffer / 2;
    s->window_units = p.receive_buffer / kUnit;

    s->wire = new (std::nothrow) uint8_t[kBatch * FLOWMESH_DATAGRAM_MAX];
    s->rewire = new (std::nothrow) uint8_t[FLOWMESH_DATAGRAM_MAX];
    s->delivery = new (std::nothrow) uint8_t[FLOWMESH_RELIABLE_DELIVERY_MAX];
    if (s->wire == nullptr || s->rewire == nullptr || s->delivery == nullptr) return CORE_ERR;

    uint64_t capacity = p.send_buffer;
    if (capacity % FLOWMESH_PAYLOAD_MAX != 0) capacity += FLOWMESH_PAYLOAD_MAX;
    capacity = std::max<uint64_t>(capacity, 8192);
    s->sendq = flowmesh_sendq_create(capacity, (p.options & FLOWMESH_RELIABLE_OPT_SHARED_QUEUE) != 0, p.local_id,
                                     transport->initiator, (p.options >> 9) & 1);
    s->recv = flowmesh_recvpool_create(p.receive_buffer, (p.options & FLOWMESH_RELIABLE_OPT_SHARED_RECEIVE) != 0);
    if (s->sendq == nullptr || s->recv == nullptr) return CORE_ERR;

    CoreTaskCallback sender = {sender_task, {reinterpret_cast<void *>(static_cast<uintptr_t>(transport->handle)), nullptr}};
    s->sender_task = core_executor_schedule(&s->executor_name, &p.session, &s->stream_name, CORE_DUE_NEVER, &sender);
    if (s->sender_task == 0) return CORE_ERR;
    if (p.local_id == 0) {
        CoreTaskCallback keepalive = {keepalive_task,
                                      {reinterpret_cast<void *>(static_cast<uintptr_t>(transport->handle)), nullptr}};
        s->keepalive_task =
            core_executor_schedule(&s->executor_name, &p.session, &s->stream_name, CORE_DUE_NEVER, &keepalive);
        if (s->keepalive_task == 0) return CORE_ERR;
    }
    return CORE_OK;
}

CoreResult op_connect(FlowmeshTransport *transport)
{
    Stream *s = stream_of(transport);
    if (!transport->initiator ||
        !advance(s, bit(FLOWMESH_RELIABLE_CREATED), FLOWMESH_RELIABLE_OPENING, now_ms() + kOpeningMs))
        return CORE_ERR_STATE;
    return queue_control(s, FLOWMESH_RELIABLE_SYN, 1, 0);
}

CoreResult op_accept(FlowmeshTransport *transport)
{
    Stream *s = stream_of(transport);
    if (transport->initiator ||
        !advance(s, bit(FLOWMESH_RELIABLE_CREATED), FLOWMESH_RELIABLE_OPENING, now_ms() + kOpeningMs))
        return CORE_ERR_STATE;
    // The sender task keeps the opening deadline: without a run it would
    // never see it pass when no SYN comes.
    return wake_sender(s);
}

CoreResult op_close(FlowmeshTransport *transport) { return close_stream(stream_of(transport), FLOWMESH_CLOSE_APPLICATION); }

CoreResult op_finish(FlowmeshTransport *transport)
{
    Stream *s = stream_of(transport);
    if (s->status.fetch_or(kFinishRequested) & kFinishRequested) return CORE_DONE;
    // Woken, or an idle stream would wait for a packet that never comes.
    return wake_sender(s);
}

CoreResult enqueue(Stream *s, const void *data, uint64_t *length)
{
    const uint64_t offered = *length;
    *length = 0;
    if (state_of(s) != FLOWMESH_RELIABLE_ESTABLISHED || (data == nullptr && offered > 0)) return CORE_DONE;
    const auto *bytes = static_cast<const uint8_t *>(data);
    const uint64_t full = offered / FLOWMESH_PAYLOAD_MAX * FLOWMESH_PAYLOAD_MAX;
    uint64_t taken = 0;
    while (taken < full) {
        FlowmeshChunk *chunk = flowmesh_bytequeue_push(s->sendq->bytes, bytes + taken, FLOWMESH_PAYLOAD_MAX);
        if (chunk == nullptr) break;
        flowmesh_bytequeue_append(s->sendq->bytes, chunk);
        taken += FLOWMESH_PAYLOAD_MAX;
    }
    if (taken == full && offered > full) {
        FlowmeshChunk *chunk = flowmesh_bytequeue_push(s->sendq->bytes, bytes + taken, offered - full);
        if (chunk != nullptr) {
            flowmesh_bytequeue_append(s->sendq->bytes, chunk);
            taken = offered;
        }
    }
    *length = taken;
    if (taken == 0) return CORE_DONE;
    return wake_sender(s);
}

CoreResult op_send(FlowmeshTransport *transport, uint8_t, const void *data, uint64_t *length)
{
    return enqueue(stream_of(transport), data, length);
}

CoreResult op_receive(FlowmeshTransport *transport, const CoreQueueEntry *records, uint64_t count)
{
    return receive_batch(stream_of(transport), records, count);
}

const FlowmeshTransportKind kReliableKind = {
    sizeof(ReliableObject), build, destroy, op_connect, op_accept, op_close, op_finish, op_send, op_receive,
};

}  // namespace

CoreResult flowmesh_reliable_register(void) { return flowmesh_transport_kind_set(FLOWMESH_STREAM_RELIABLE, &kReliableKind); }

uint64_t flowmesh_reliable_create(const FlowmeshTransportParams *params)
{
    if (params == nullptr) return 0;
    FlowmeshTransportParams copy = *params;
    copy.kind = (copy.kind & ~0xFFu) | FLOWMESH_STREAM_RELIABLE;
    flowmesh_reliable_register();
    return flowmesh_transport_create(&copy);
}

CoreResult flowmesh_reliable_close(uint64_t handle, uint32_t reason)
{
    FlowmeshTransport *transport = acquire(handle);
    if (transport == nullptr) return CORE_ERR;
    const CoreResult result = close_stream(stream_of(transport), reason);
    release(transport);
    return result;
}

CoreResult flowmesh_reliable_enqueue(uint64_t handle, const void *data, uint64_t *length)
{
    if (length == nullptr) return CORE_ERR;
    FlowmeshTransport *transport = acquire(handle);
    if (transport == nullptr) {
        *length = 0;
        return CORE_ERR;
    }
    const CoreResult result = enqueue(stream_of(transport), data, length);
    release(transport);
    return result;
}

CoreResult flowmesh_reliable_receive_batch(uint64_t handle, const CoreQueueEntry *records, uint64_t count)
{
    if (records == nullptr && count > 0) return CORE_ERR;
    FlowmeshTransport *transport = acquire(handle);
    if (transport == nullptr) return CORE_ERR;
    const CoreResult result = receive_batch(stream_of(transport), records, count);
    release(transport);
    return result;
}

CoreResult flowmesh_reliable_counters(uint64_t handle, FlowmeshReliableCounters *out)
{
    if (out == nullptr) return CORE_ERR;
    FlowmeshTransport *transport = acquire(handle);
    if (transport == nullptr) return CORE_ERR;
    const Stream *s = stream_of(transport);
    const Counters &c = s->counters;
    out->state = state_of(s);
    out->close_reason = c.close_reason.load();
    out->peer_close_reason = c.peer_close_reason.load();
    out->dropped = c.dropped.load();
    out->duplicates = c.duplicates.load();
    out->retransmissions = c.retransmissions.load();
    out->handshake_retransmissions = c.handshake_retransmissions.load();
    out->resend_requests = c.resend_requests.load();
    out->resend_pending = c.resend_pending.load();
    out->resend_pending_max = c.resend_pending_max.load();
    out->go_backs = c.go_backs.load();
    out->bytes_delivered = c.bytes_delivered.load();
    out->congestion_window = c.congestion_window.load();
    out->round_trip_ms = c.round_trip_ms.load();
    release(transport);
    return CORE_OK;
}
