#include "flowmesh/media.h"

#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <vector>

#include "core/clock.h"
#include "core/handle.h"
#include "core/queue.h"
#include "core/sync.h"
#include "core/thread.h"
#include "flowmesh/packet_queue.h"
#include "flowmesh/rate_control.h"
#include "flowmesh/redundancy.h"

namespace {

constexpr uint64_t kMs = 1000000ULL;
constexpr uint32_t kDefaultNominalFps = 6;
constexpr uint32_t kDefaultPeakFps = 30;
constexpr uint32_t kWindowFloor = 8;
constexpr uint32_t kWindowCeiling = 1024;
constexpr uint64_t kWindowAdjustNs = 250 * kMs;
constexpr uint64_t kScanPauseMaxNs = 100 * kMs;
// Time after the last ask for a frame's chunks before it counts as lost:
// two of the longest scan pauses, many round trips on a LAN.
constexpr uint64_t kGiveUpNs = 2 * kScanPauseMaxNs;
constexpr uint32_t kReportLimitKey = 8;
constexpr uint32_t kReportLimit = 4;
constexpr uint32_t kFrameReportTimes = 4;  // each delivered frame is reported this often
constexpr uint32_t kResendLimitKey = 8;
constexpr uint32_t kResendLimit = 4;
constexpr uint64_t kRetentionDefault = 1048576;
constexpr uint64_t kBudgetMaxNs = 100 * kMs;
constexpr double kNegativeIntervalNs = 33000000.0;
constexpr uint16_t kControlFlags =
    FLOWMESH_MEDIA_LOSS_REPORT | FLOWMESH_MEDIA_CONGESTION | FLOWMESH_MEDIA_FRAME_REPORT;

int64_t since(uint64_t now, uint64_t then) { return static_cast<int64_t>(now - then); }

double rate_of(const uint32_t rate[2])
{
    if (rate[0] == 0 || rate[1] == 0) return 0;
    return static_cast<double>(rate[0]) / rate[1];
}

}  // namespace

// ---- numbers both sides agree on ----

FlowmeshMediaWindow flowmesh_media_window_bounds(const uint32_t frame_rate[2], const uint32_t peak_rate[2])
{
    double nominal = rate_of(frame_rate), peak = rate_of(peak_rate);
    if (nominal <= 0) nominal = kDefaultNominalFps;
    if (peak <= 0) peak = kDefaultPeakFps;
    FlowmeshMediaWindow w;
    const double low = std::max<double>(kWindowFloor, nominal * 4 / 3);
    const double high = std::min<double>(kWindowCeiling, 2 * peak);
    w.minimum = static_cast<uint32_t>(std::min<double>(kWindowCeiling, low));
    w.maximum = static_cast<uint32_t>(high);
    // A nominal rate above the peak would put the minimum over the
    // maximum, and the window (which starts at the minimum) would then ask
    // for more slots than exist.
    if (w.maximum < w.minimum) w.maximum = w.minimum;
    return w;
}

uint64_t flowmesh_media_period_ns(const uint32_t rate[2])
{
    const double r = rate_of(rate);
    return r > 0 ? static_cast<uint64_t>(1e9 / r) : 0;
}

uint64_t flowmesh_media_chunk_count(uint64_t length, uint32_t chunk_size)
{
    if (chunk_size == 0) return 0;
    return length / chunk_size + (length % chunk_size != 0 ? 1 : 0);
}

uint16_t flowmesh_media_next_frame(uint16_t number) { return number >= 0xFFFF ? 1 : static_cast<uint16_t>(number + 1); }

// ---- control datagrams ----

void flowmesh_media_loss_report_encode(FlowmeshPacketHeader *header, const FlowmeshMediaLossReport *report)
{
    *header = {};
    header->length = FLOWMESH_HEADER_SIZE;
    header->token = flowmesh_token_draw();
    header->flags = FLOWMESH_MEDIA_LOSS_REPORT;
    header->sequence = report->first[0];
    flowmesh_put_be64(header->specific, report->first[1]);
    flowmesh_put_be16(header->specific + 8, report->count[0]);
    flowmesh_put_be16(header->specific + 10, report->count[1]);
}

void flowmesh_media_loss_report_decode(const FlowmeshPacketHeader *header, FlowmeshMediaLossReport *report)
{
    report->first[0] = header->sequence;
    report->first[1] = flowmesh_get_be64(header->specific);
    report->count[0] = flowmesh_get_be16(header->specific + 8);
    report->count[1] = flowmesh_get_be16(header->specific + 10);
}

void flowmesh_media_congestion_encode(FlowmeshPacketHeader *header)
{
    *header = {};
    header->length = FLOWMESH_HEADER_SIZE;
    header->token = flowmesh_token_draw();
    header->flags = FLOWMESH_MEDIA_CONGESTION;
}

void flowmesh_media_frame_report_encode(FlowmeshPacketHeader *header, const FlowmeshMediaFrameReport *report)
{
    *header = {};
    header->length = FLOWMESH_HEADER_SIZE;
    header->flags = FLOWMESH_MEDIA_FRAME_REPORT;
    header->token = report->frame[0];
    header->sequence = (static_cast<uint64_t>(report->bytes[0]) << 32) | report->bytes[1];
    flowmesh_put_be32(header->specific, report->bytes[2]);
    flowmesh_put_be32(header->specific + 4, report->bytes[3]);
    flowmesh_put_be16(header->specific + 8, report->frame[1]);
    flowmesh_put_be16(header->specific + 10, report->frame[2]);
    flowmesh_put_be16(header->specific + 12, report->frame[3]);
}

void flowmesh_media_frame_report_decode(const FlowmeshPacketHeader *header, FlowmeshMediaFrameReport *report)
{
    *report = {};
    report->frame[0] = header->token;
    report->bytes[0] = static_cast<uint32_t>(header->sequence >> 32);
    report->bytes[1] = static_cast<uint32_t>(header->sequence);
    report->bytes[2] = flowmesh_get_be32(header->specific);
    report->bytes[3] = flowmesh_get_be32(header->specific + 4);
    report->frame[1] = flowmesh_get_be16(header->specific + 8);
    report->frame[2] = flowmesh_get_be16(header->specific + 10);
    report->frame[3] = flowmesh_get_be16(header->specific + 12);
    // The list ends at the first 0; what follows it means nothing.
    for (int i = 0; i < 4; ++i)
        if (report->frame[i] == 0) {
            for (int k = i; k < 4; ++k) report->frame[k] = 0, report->bytes[k] = 0;
            break;
        }
}

CoreResult flowmesh_media_seal_control(CoreAesKey *header_key, FlowmeshPacketHeader *header, uint16_t local_id,
                                       uint16_t peer_id, uint8_t out[FLOWMESH_HEADER_SIZE])
{
    if (header_key == nullptr) return CORE_ERR;
    // Not flowmesh_datagram_seal: it draws a token whenever bit 15 is
    // clear, and a frame report's frame number sits in the token field.
    header->length = FLOWMESH_HEADER_SIZE;
    header->destination = peer_id;
    header->check = static_cast<uint16_t>(header->token ^ local_id);
    uint8_t plain[FLOWMESH_HEADER_SIZE];
    flowmesh_header_encode(header, plain);
    return core_aes_encrypt(header_key, out, plain, FLOWMESH_HEADER_SIZE) == CORE_OK ? CORE_OK : CORE_ERR;
}

// ---- receiver ----

namespace {

struct FrameSlot {
    FlowmeshReassembly list;  // key: frame number; expected: chunk count
    uint64_t first;           // sequence number of chunk 0
    uint64_t taken;           // slots taken before this one
    uint64_t asked_ns;        // last loss scan that asked for its chunks
};

struct ReportedFrame {
    uint16_t frame;  // 0: free
    uint32_t bytes;
    uint32_t times;
};

}  // namespace

struct FlowmeshMediaReceiver {
    FlowmeshMediaReceiverConfig config{};
    FlowmeshMediaWindow bounds{};
    uint32_t window = 0;
    bool adjusted = false;
    uint64_t last_adjust_ns = 0;
    std::vector<FrameSlot> slots;
    std::vector<uint32_t> busy;  // indices in the order the slots were taken
    std::vector<uint32_t> idle;
    uint64_t next_expected = 1;
    uint64_t taken = 0;  // slots taken so far
    uint16_t last_frame = 0;
    uint64_t last_frame_ns = 0;
    double arrival_interval_ns = 0;
    uint64_t next_scan_ns = 0;
    bool scan_waits = false;
    CoreQueue *loss = nullptr;
    ReportedFrame reported[4] = {};
    std::deque<FlowmeshMediaFrame> frames;
    std::deque<FlowmeshPacketHeader> controls;
    FlowmeshMediaReceiverStats stats{};
    // Loss scan scratch: a pending single range waits for a partner.
    bool pending = false;
    uint64_t pending_first = 0;
    uint16_t pending_count = 0;
    uint32_t scan_ranges = 0;
};

namespace {

using Receiver = FlowmeshMediaReceiver;

uint64_t slot_end(const FrameSlot &s) { return s.first + s.list.expected; }
bool slot_complete(const FrameSlot &s) { return s.list.datagrams == s.list.expected; }

void push_congestion(Receiver *r)
{
    FlowmeshPacketHeader h;
    flowmesh_media_congestion_encode(&h);
    r->controls.push_back(h);
    r->stats.congestion_sent += 1;
}

void send_frame_report(Receiver *r, uint16_t frame, uint64_t bytes)
{
    if (!r->config.frame_reports) return;
    ReportedFrame kept[4] = {};
    int n = 0;
    for (const ReportedFrame &e : r->reported)
        if (e.frame != 0 && e.times < kFrameReportTimes) kept[n++] = e;
    if (n < 4) kept[n++] = {frame, static_cast<uint32_t>(std::min<uint64_t>(bytes, UINT32_MAX)), 0};
    FlowmeshMediaFrameReport report = {};
    for (int i = 0; i < n; ++i) {
        report.frame[i] = kept[i].frame;
        report.bytes[i] = kept[i].bytes;
        kept[i].times += 1;
    }
    memcpy(r->reported, kept, sizeof(kept));
    FlowmeshPacketHeader h;
    flowmesh_media_frame_report_encode(&h, &report);
    r->controls.push_back(h);
}

void release_slot(Receiver *r, uint32_t index)
{
    flowmesh_reassembly_clear(&r->slots[index].list);
    r->slots[index].first = 0;
    r->busy.erase(std::find(r->busy.begin(), r->busy.end(), index));
    r->idle.push_back(index);
}

void advance_past(Receiver *r, const FrameSlot &s)
{
    // Never backwards: a slot that lies behind the expected number (a
    // frame of another stream run, say) must not pull it back.
    r->next_expected = std::max(r->next_expected, slot_end(s));
}

// Joins a complete slot's chunks into a frame. false when memory is short.
bool hand_out(Receiver *r, const FrameSlot &s)
{
    const FlowmeshReassemblyNode *head = &s.list.nodes;
    auto *data = static_cast<uint8_t *>(malloc(s.list.bytes > 0 ? s.list.bytes : 1));
    if (data == nullptr) return false;
    uint64_t at = 0;
    for (const FlowmeshReassemblyNode *n = head->next; n != head; n = n->next) {
        memcpy(data + at, n->payload, n->length);
        at += n->length;
    }
    r->frames.push_back({data, at, static_cast<uint16_t>(s.list.key)});
    r->stats.frames_delivered += 1;
    send_frame_report(r, static_cast<uint16_t>(s.list.key), at);
    return true;
}

std::vector<uint32_t> busy_by_first(const Receiver *r)
{
    std::vector<uint32_t> order = r->busy;
    std::stable_sort(order.begin(), order.end(),
                     [r](uint32_t a, uint32_t b) { return r->slots[a].first < r->slots[b].first; });
    return order;
}

void deliver_ready(Receiver *r)
{
    for (uint32_t index : busy_by_first(r)) {
        FrameSlot &s = r->slots[index];
        if (slot_end(s) <= r->next_expected) {
            // Wholly behind the stream: it can never be delivered in order,
            // and left alone it would hold a slot for good.
            r->stats.frames_dropped += 1;
            release_slot(r, index);
            continue;
        }
        if (s.first > r->next_expected) break;
        if (!slot_complete(s)) continue;
        if (!hand_out(r, s)) r->stats.frames_dropped += 1;
        advance_past(r, s);
        release_slot(r, index);
    }
}

// Gives up a slot: a complete frame is still handed out, an incomplete one
// is counted (and reported, so the sender's estimates see it). The
// expected number moves past the frame only as far as the frames still
// held allow: a frame that starts behind another held one is ahead of the
// live stream and moves nothing, and no frame moves it past the start of
// the next held one. So a chunk claiming a huge count, or a stale frame far
// ahead, cannot carry the expected number beyond every real chunk.
// `advance` false leaves the expected number alone.
void drop_slot(Receiver *r, uint32_t index, bool advance, bool *incomplete)
{
    FrameSlot &s = r->slots[index];
    if (slot_complete(s) && hand_out(r, s)) {
        *incomplete = false;
    } else {
        r->stats.frames_dropped += 1;
        send_frame_report(r, static_cast<uint16_t>(s.list.key), s.list.bytes);
        *incomplete = true;
    }
    uint64_t limit = slot_end(s);
    bool behind_another = false;
    for (uint32_t other : r->busy) {
        if (other == index) continue;
        const uint64_t first = r->slots[other].first;
        if (first < s.first) behind_another = true;
        limit = std::min(limit, first);
    }
    if (advance && !behind_another) r->next_expected = std::max(r->next_expected, limit);
    release_slot(r, index);
}

// Makes room for `room` more frames within the window, oldest first. The
// number of incomplete frames dropped.
uint32_t drop_frames(Receiver *r, uint32_t room)
{
    const uint64_t busy = r->busy.size();
    if (busy + room <= r->window) return 0;
    // Only as many as the window asks: dropping every frame would also
    // drop the one the stream is filling right now.
    const uint64_t count = std::min<uint64_t>(busy, busy + room - r->window);
    const std::vector<uint32_t> order = busy_by_first(r);
    uint32_t dropped = 0;
    for (uint64_t i = 0; i < count; ++i) {
        bool incomplete = false;
        drop_slot(r, order[i], true, &incomplete);
        dropped += incomplete ? 1 : 0;
    }
    deliver_ready(r);
    return dropped;
}

// A slot that more than a window of newer frames has passed will not
// complete: it lost too much, or it is no frame of this run at all. The
// window's own drops only come when it is full, which a stream that
// delivers promptly never is. Such a slot held nothing back (the frames
// after it were delivered around it, or the window would have filled and
// dropped it first), so dropping it moves nothing: whatever its fields
// claim, it cannot throw the expected number ahead.
void drop_aged(Receiver *r)
{
    std::vector<uint32_t> aged;
    for (uint32_t index : r->busy)
        if (r->taken - r->slots[index].taken > r->window) aged.push_back(index);
    for (uint32_t index : aged) {
        bool incomplete = false;
        drop_slot(r, index, false, &incomplete);
    }
    if (!aged.empty()) deliver_ready(r);
}

void adjust_window(Receiver *r, uint64_t now)
{
    if (r->arrival_interval_ns <= 0) return;
    if (r->adjusted && since(now, r->last_adjust_ns) < static_cast<int64_t>(kWindowAdjustNs)) return;
    r->adjusted = true;
    r->last_adjust_ns = now;
    const double fps = 1e9 / r->arrival_interval_ns;
    const double target = r->window * 0.8 + fps * 0.2;
    const uint32_t next = static_cast<uint32_t>(
        std::clamp(target, static_cast<double>(r->bounds.minimum), static_cast<double>(r->bounds.maximum)));
    const bool shrinks = next < r->window;
    r->window = next;
    if (shrinks && drop_frames(r, 0) > 0) push_congestion(r);
}

uint64_t distance(uint64_t a, uint64_t b) { return a > b ? a - b : b - a; }

enum SlotResult { SLOT_FOUND, SLOT_REFUSED, SLOT_BEHIND };

// The slot of frame `frame` whose chunks start at `first`, taking a free
// one when needed.
SlotResult frame_slot(Receiver *r, uint16_t frame, uint64_t first, uint64_t count, bool key, uint64_t sequence,
                      uint64_t now, FrameSlot **out)
{
    for (uint32_t index : r->busy) {
        FrameSlot &s = r->slots[index];
        if (s.list.key != frame) continue;
        if (s.first == first && s.list.expected == count) {
            *out = &s;
            return SLOT_FOUND;
        }
        // Two frames under one number: after the numbers wrapped, or a
        // stale frame of an earlier run of the stream. The one nearer the
        // expected number is the live one; the other would never complete.
        if (distance(first, r->next_expected) >= distance(s.first, r->next_expected)) return SLOT_REFUSED;
        r->stats.frames_dropped += 1;
        release_slot(r, index);
        break;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (r->busy.size() < r->window && !r->idle.empty()) {
            const uint32_t index = r->idle.back();
            r->idle.pop_back();
            r->busy.push_back(index);
            FrameSlot &s = r->slots[index];
            flowmesh_reassembly_init(&s.list, key ? kReportLimitKey : kReportLimit);
            s.list.key = frame;
            s.list.expected = count;
            s.first = first;
            s.taken = r->taken++;
            s.asked_ns = now;
            if (r->last_frame != 0 && frame == flowmesh_media_next_frame(r->last_frame)) {
                const double gap = static_cast<double>(std::max<int64_t>(0, since(now, r->last_frame_ns)));
                r->arrival_interval_ns = r->arrival_interval_ns > 0 ? gap * 0.2 + r->arrival_interval_ns * 0.8 : gap;
            }
            r->last_frame = frame;
            r->last_frame_ns = now;
            *out = &s;
            return SLOT_FOUND;
        }
        if (attempt == 0) drop_frames(r, 1);
        if (sequence < r->next_expected) return SLOT_BEHIND;
    }
    return SLOT_REFUSED;
}

// ---- loss scan ----

void flush_pending(Receiver *r)
{
    if (!r->pending) return;
    FlowmeshMediaLossReport report = {{r->pending_first, 0}, {r->pending_count, 0}};
    FlowmeshPacketHeader h;
    flowmesh_media_loss_report_encode(&h, &report);
    r->controls.push_back(h);
    r->pending = false;
}

void add_range(Receiver *r, uint64_t first, uint16_t count)
{
    r->scan_ranges += 1;
    r->stats.loss_ranges += 1;
    if (!r->pending) {
        r->pending = true;
        r->pending_first = first;
        r->pending_count = count;
        return;
    }
    FlowmeshMediaLossReport report = {{r->pending_first, first}, {r->pending_count, count}};
    FlowmeshPacketHeader h;
    flowmesh_media_loss_report_encode(&h, &report);
    r->controls.push_back(h);
    r->pending = false;
}

// A run of `missing` numbers from `first`, in ranges of about a 32nd of
// the run, so that a long run still fits a few reports.
void add_run(Receiver *r, uint64_t first, uint64_t missing)
{
    const uint64_t h = std::min<uint64_t>(65535, std::max<uint64_t>(missing > 1 ? 2 : 1, missing / 32));
    while (missing > 0 && r->scan_ranges < FLOWMESH_MEDIA_RESEND_SLOTS) {
        const uint64_t n = std::min(h, missing);
        add_range(r, first, static_cast<uint16_t>(n));
        first += n;
        missing -= n;
    }
}

// The frame the stream waits for, when it has used up its asks and the
// last answers had time to come: nothing more will arrive for it, so the
// frames behind it go on now rather than when the window fills up (a
// second and more of frames later, or never once the source pauses).
void give_up_hopeless(Receiver *r, uint64_t now)
{
    const std::vector<uint32_t> order = busy_by_first(r);
    if (order.empty()) return;
    FrameSlot &s = r->slots[order.front()];
    if (s.first > r->next_expected || slot_complete(s) || order.size() < 2) return;
    if (s.list.report_limit == 0 || s.list.reports < s.list.report_limit) return;
    if (since(now, s.asked_ns) < static_cast<int64_t>(kGiveUpNs)) return;
    bool incomplete = false;
    drop_slot(r, order.front(), true, &incomplete);
    deliver_ready(r);
}

}  // namespace

FlowmeshMediaReceiver *flowmesh_media_receiver_create(const FlowmeshMediaReceiverConfig *config)
{
    auto *r = new (std::nothrow) FlowmeshMediaReceiver();
    if (r == nullptr) return nullptr;
    r->config = *config;
    r->bounds = flowmesh_media_window_bounds(config->frame_rate, config->peak_rate);
    r->window = r->bounds.minimum;
    r->slots.resize(r->bounds.maximum);
    for (uint32_t i = 0; i < r->bounds.maximum; ++i) {
        flowmesh_reassembly_init(&r->slots[i].list, kReportLimit);
        r->idle.push_back(r->bounds.maximum - 1 - i);
    }
    CoreQueueConfig qc = {};
    qc.batch = 1;
    r->loss = core_queue_create(&qc);
    if (r->loss == nullptr) {
        delete r;
        return nullptr;
    }
    return r;
}

void flowmesh_media_receiver_destroy(FlowmeshMediaReceiver **receiver)
{
    if (receiver == nullptr || *receiver == nullptr) return;
    Receiver *r = *receiver;
    *receiver = nullptr;
    for (FrameSlot &s : r->slots) flowmesh_reassembly_clear(&s.list);
    for (FlowmeshMediaFrame &f : r->frames) flowmesh_media_frame_free(&f);
    core_queue_destroy(&r->loss);
    delete r;
}

CoreResult flowmesh_media_receiver_on_chunk(FlowmeshMediaReceiver *receiver, const FlowmeshPacketHeader *header,
                                            const uint8_t *payload, uint64_t length, uint64_t now)
{
    Receiver *r = receiver;
    const uint64_t index = flowmesh_get_be32(header->specific);
    const uint64_t count = flowmesh_get_be32(header->specific + 4);
    const uint16_t frame = flowmesh_get_be16(header->specific + 8);
    const uint64_t sequence = header->sequence;
    const bool key = (header->flags & FLOWMESH_MEDIA_KEY_FRAME) != 0;
    // Fields no sender makes. Each of them would otherwise poison the
    // frame's slot or the expected number: a count of 0 never completes, an
    // index past the count or a sequence number at or below the index gives
    // a first number that is 0 or wrapped.
    if (frame == 0 || count == 0 || count > FLOWMESH_MEDIA_CHUNKS_MAX || index >= count || sequence <= index ||
        length == 0 || length > FLOWMESH_PAYLOAD_MAX || payload == nullptr) {
        r->stats.refused += 1;
        return CORE_ERR_REFUSED;
    }
    const uint64_t first = sequence - index;
    if (first > UINT64_MAX - count) {
        r->stats.refused += 1;
        return CORE_ERR_REFUSED;
    }
    if (sequence < r->next_expected) {
        r->stats.stale += 1;
        return CORE_OK;
    }
    // A frame far ahead of the stream is no frame of its live run; taking
    // it would let the window's drops throw the expected number past every
    // real chunk.
    if (first + count - r->next_expected > FLOWMESH_MEDIA_HORIZON) {
        r->stats.refused += 1;
        return CORE_ERR_REFUSED;
    }

    adjust_window(r, now);
    if (sequence < r->next_expected) {
        r->stats.stale += 1;
        return CORE_OK;
    }
    FrameSlot *slot = nullptr;
    switch (frame_slot(r, frame, first, count, key, sequence, now, &slot)) {
    case SLOT_FOUND:
        break;
    case SLOT_BEHIND:
        r->stats.stale += 1;
        return CORE_OK;
    case SLOT_REFUSED:
        r->stats.refused += 1;
        return CORE_ERR_REFUSED;
    }

    const uint64_t held = slot->list.datagrams;
    if (flowmesh_reassembly_insert(&slot->list, payload, length, sequence, index) != 0) {
        bool incomplete = false;
        drop_slot(r, static_cast<uint32_t>(slot - r->slots.data()), true, &incomplete);
        deliver_ready(r);
        return CORE_OK;
    }
    if (slot->list.datagrams == held)
        r->stats.duplicates += 1;
    else
        r->stats.chunks_stored += 1;
    deliver_ready(r);
    drop_aged(r);
    return CORE_OK;
}

void flowmesh_media_receiver_scan(FlowmeshMediaReceiver *receiver, uint64_t now)
{
    Receiver *r = receiver;
    if (r->scan_waits && since(now, r->next_scan_ns) < 0) return;
    r->scan_ranges = 0;
    r->pending = false;

    const size_t take = std::min<size_t>(r->busy.size(), std::max<uint32_t>(1, r->window / 4));
    std::vector<uint32_t> order(r->busy.begin(), r->busy.begin() + static_cast<std::ptrdiff_t>(take));
    std::stable_sort(order.begin(), order.end(),
                     [r](uint32_t a, uint32_t b) { return r->slots[a].first < r->slots[b].first; });
    uint64_t c = r->next_expected;
    uint64_t previous_limit = 0;
    for (size_t i = 0; i < order.size() && r->scan_ranges < FLOWMESH_MEDIA_RESEND_SLOTS; ++i) {
        FrameSlot &s = r->slots[order[i]];
        // Key frames may be asked for more often; a range of theirs goes
        // out in a report of its own rather than wait for a partner.
        if (i > 0 && s.list.report_limit != previous_limit) flush_pending(r);
        previous_limit = s.list.report_limit;
        if (s.first > c) add_run(r, c, s.first - c);
        const bool arriving = i + 1 == order.size();
        const uint64_t reports = s.list.reports;
        if (flowmesh_reassembly_find_gaps(&s.list, r->loss, !arriving) > 0) s.asked_ns = now;
        // The frame still arriving is not charged for being asked about:
        // its report limit is for repairs once its extent is known, and
        // spending it while chunks are still coming left too few asks for
        // the chunks lost late in a large frame.
        if (arriving) s.list.reports = reports;
        while (CoreQueueRecord *record = core_queue_pop(r->loss)) {
            const CoreQueueEntry entry = core_queue_record_entry(record);
            uint64_t first = 0, missing = 0;
            flowmesh_loss_range(&entry, &first, &missing);
            core_queue_record_free(r->loss, &record);
            add_run(r, first, missing);
        }
        c = std::max(c, slot_end(s));
    }
    flush_pending(r);
    give_up_hopeless(r, now);
    // A scan that hit the resend table's size saw more loss than the sender
    // can repair in one go.
    if (r->scan_ranges >= FLOWMESH_MEDIA_RESEND_SLOTS) push_congestion(r);
    if (r->scan_ranges > 0) {
        double pause = static_cast<double>(kScanPauseMaxNs);
        if (r->arrival_interval_ns > 0) pause = std::min(pause, r->arrival_interval_ns);
        r->next_scan_ns = now + static_cast<uint64_t>(pause);
        r->scan_waits = true;
    } else {
        r->scan_waits = false;
    }
}

int flowmesh_media_receiver_take_frame(FlowmeshMediaReceiver *receiver, FlowmeshMediaFrame *frame)
{
    if (receiver->frames.empty()) return 0;
    *frame = receiver->frames.front();
    receiver->frames.pop_front();
    return 1;
}

int flowmesh_media_receiver_take_control(FlowmeshMediaReceiver *receiver, FlowmeshPacketHeader *header)
{
    if (receiver->controls.empty()) return 0;
    *header = receiver->controls.front();
    receiver->controls.pop_front();
    return 1;
}

FlowmeshMediaReceiverStats flowmesh_media_receiver_stats(const FlowmeshMediaReceiver *receiver)
{
    FlowmeshMediaReceiverStats s = receiver->stats;
    s.next_expected = receiver->next_expected;
    s.window = receiver->window;
    s.busy = static_cast<uint32_t>(receiver->busy.size());
    return s;
}

void flowmesh_media_frame_free(FlowmeshMediaFrame *frame)
{
    free(frame->data);
    *frame = {};
}

// ---- the stream ----

namespace {

enum MediaState : uint32_t {
    MEDIA_BUILDING = 0,
    MEDIA_RUNNING = 1,
    MEDIA_STOPPED = 2,  // final: the thread sends nothing more and ends
};

struct Retained {
    FlowmeshPacketHeader header;  // as first sent (no copy flag)
    uint32_t resends;
    uint32_t length;
    uint8_t *payload;
};

struct ResendSlot {
    uint64_t first;  // 0: free
    uint16_t count;
};

// State of the sender thread, which alone touches these fields.
struct MediaSender {
    uint16_t frame_number = 1;
    uint64_t counter = 1;  // sequence number of the next chunk
    uint32_t chunk_size = FLOWMESH_CHUNK_MAX;
    FlowmeshRedundancy copies{};
    std::deque<Retained> retained;
    uint64_t retained_bytes = 0;
    uint64_t retention_limit = 0;
    CoreSleeper *sleeper = nullptr;
    uint64_t granularity_ns = 0;  // 0: pacing off
    bool pacing = false;
    double frame_interval_ns = 0;
    uint64_t last_enqueue_ns = 0;
    bool have_enqueue = false;
    double duration_ratio = 1.0;
    FlowmeshRateConfig rate_config{};
    FlowmeshRateState rate{};
    FlowmeshRateEstimates estimates{};
    uint64_t bytes_sent = 0;
    uint64_t bytes_retransmitted = 0;
    uint64_t cycle = 0;
    uint8_t wire[FLOWMESH_DATAGRAM_MAX];
};

// The media stream's part of the transport object, after the common part.
struct MediaOwn {
    std::atomic<uint32_t> state{MEDIA_BUILDING};
    bool rate_control = false;
    bool frame_reports = false;
    CoreThreadRecord *thread = nullptr;
    CoreEvent wake;
    CoreQueue *frames = nullptr;
    MediaSender send;

    // Written by the receive path, taken by the sender thread.
    std::mutex resend_lock;
    ResendSlot resend[FLOWMESH_MEDIA_RESEND_SLOTS] = {};
    bool resend_waiting = false;
    std::atomic<uint32_t> congestion{0};
    std::atomic<int> congestion_seen{0};
    std::atomic<uint64_t> congestion_ns{0};
    std::atomic<uint64_t> congestion_cycle{0};
    std::atomic<uint64_t> cycle{0};  // the thread's count, for the receive path to note
    std::mutex report_lock;
    FlowmeshRateReports reports{};

    // Counters any thread may read.
    std::atomic<uint64_t> frames_sent{0};
    std::atomic<uint64_t> frames_failed{0};
    std::atomic<uint64_t> chunks_sent{0};
    std::atomic<uint64_t> copies_sent{0};
    std::atomic<uint64_t> resends{0};
    std::atomic<uint64_t> resend_requests{0};
    std::atomic<uint64_t> resend_dropped{0};
    std::atomic<uint64_t> retained_bytes{0};
    std::atomic<uint64_t> reports_refused{0};
    std::atomic<uint32_t> chunk_size{FLOWMESH_CHUNK_MAX};
    std::atomic<uint64_t> bitrate{0};
    std::atomic<int32_t> level{0};
    std::atomic<uint64_t> controls_received{0};
    std::atomic<uint64_t> datagrams_refused{0};

    // The receive path's.
    std::mutex receive_lock;
    FlowmeshMediaReceiver *receiver = nullptr;
    uint8_t payload[FLOWMESH_PAYLOAD_MAX];
};

static_assert(alignof(MediaOwn) <= alignof(std::max_align_t), "own part alignment");
constexpr size_t kOwnOffset =
    (sizeof(FlowmeshTransport) + alignof(MediaOwn) - 1) / alignof(MediaOwn) * alignof(MediaOwn);

MediaOwn *own_of(FlowmeshTransport *transport)
{
    return reinterpret_cast<MediaOwn *>(reinterpret_cast<uint8_t *>(transport) + kOwnOffset);
}

bool running(const MediaOwn *own) { return own->state.load(std::memory_order_acquire) == MEDIA_RUNNING; }

CoreResult emit(FlowmeshTransport *transport, FlowmeshPacketHeader *header, const uint8_t *payload, uint64_t length,
                uint8_t *wire, uint64_t *wire_length)
{
    const FlowmeshTransportParams &p = transport->params;
    CoreQueueEntry record;
    if (p.send_fn == nullptr) return CORE_ERR;
    if (flowmesh_transport_seal(transport, header, payload, length, wire, &record) != CORE_OK) return CORE_ERR;
    *wire_length = record.length;
    return p.send_fn(p.peer_id, &record, 1, const_cast<uint8_t *>(p.send_context)) == 0 ? CORE_OK : CORE_ERR;
}

// Picks the shortest sleep whose real length is close to what was asked;
// pauses between chunk groups are multiples of it.
void calibrate_sleep(MediaSender *s)
{
    static const uint64_t lengths[] = {1000, 2500, 5000, 10000, 25000, 50000, 100000, 250000, 500000};
    constexpr int kCount = sizeof(lengths) / sizeof(lengths[0]);
    double means[kCount];
    for (int i = 0; i < kCount; ++i) {
        for (int w = 0; w < 10; ++w) core_sleeper_wait(s->sleeper, lengths[i]);
        const uint64_t start = core_clock_mono_ns();
        for (int m = 0; m < 10; ++m) core_sleeper_wait(s->sleeper, lengths[i]);
        means[i] = static_cast<double>(core_clock_mono_ns() - start) / 10;
    }
    uint64_t chosen = 0;
    for (int i = 0; i < kCount && chosen == 0; ++i) {
        const double ratio = means[i] / static_cast<double>(lengths[i]);
        if (ratio <= 0 || ratio > 1.5) continue;
        if (i + 1 < kCount && means[i] >= static_cast<double>(lengths[i + 1])) continue;
        chosen = lengths[i];
    }
    if (chosen == 0 || chosen > 999999) return;
    for (int w = 0; w < 10; ++w) core_sleeper_wait(s->sleeper, chosen);
    s->granularity_ns = chosen;
    s->pacing = true;
}

void trim_retained(MediaSender *s, uint64_t floor)
{
    while (!s->retained.empty() && s->retained_bytes > floor) {
        Retained &oldest = s->retained.front();
        s->retained_bytes -= oldest.length;
        free(oldest.payload);
        s->retained.pop_front();
    }
}

// One chunk, kept for resends, and the copies due right after it.
CoreResult send_chunk(FlowmeshTransport *transport, MediaOwn *own, uint16_t frame, uint32_t index, uint32_t count,
                      bool key, const uint8_t *payload, uint32_t length, uint64_t *wire_bytes)
{
    MediaSender *s = &own->send;
    flowmesh_redundancy_refresh(&s->copies, s->counter);
    FlowmeshPacketHeader header = {};
    header.sequence = s->counter;
    header.flags = key ? FLOWMESH_MEDIA_KEY_FRAME : 0;
    // The chunk and its copies share one token: a copy is the same datagram.
    header.token = flowmesh_token_draw();
    flowmesh_put_be32(header.specific, index);
    flowmesh_put_be32(header.specific + 4, count);
    flowmesh_put_be16(header.specific + 8, frame);

    auto *copy = static_cast<uint8_t *>(malloc(length));
    if (copy != nullptr) {
        memcpy(copy, payload, length);
        s->retained.push_back({header, 0, length, copy});
        s->retained_bytes += length;
    }
    uint64_t wire = 0;
    const CoreResult result = emit(transport, &header, payload, length, s->wire, &wire);
    const uint32_t copies = flowmesh_redundancy_take(&s->copies, header.sequence);
    s->counter += 1;
    if (result != CORE_OK) return result;
    *wire_bytes = wire;
    own->chunks_sent.fetch_add(1, std::memory_order_relaxed);
    header.flags |= FLOWMESH_MEDIA_REDUNDANT;
    for (uint32_t i = 0; i < copies; ++i)
        if (emit(transport, &header, payload, length, s->wire, &wire) == CORE_OK)
            own->copies_sent.fetch_add(1, std::memory_order_relaxed);
    return CORE_OK;
}

void send_frame(FlowmeshTransport *transport, MediaOwn *own, uint64_t budget, bool key, const uint8_t *data,
                uint64_t n)
{
    MediaSender *s = &own->send;
    if (s->frame_number == 0) s->frame_number = 1;
    const uint16_t number = s->frame_number;
    s->frame_number = flowmesh_media_next_frame(number);
    const uint32_t chunk = s->chunk_size;
    const uint64_t count = flowmesh_media_chunk_count(n, chunk);
    const uint64_t first = s->counter;
    const uint64_t start = core_clock_mono_ns();

    // Spread the chunks over about half the budget, in groups of more
    // than three chunks, with pauses the sleep granularity can keep.
    uint64_t pause = 0, group = 0;
    const uint64_t l = s->granularity_ns;
    if (budget > 0 && count > 4 && l > 0 && s->pacing) {
        const uint64_t step = (l + 1000000) / 2 * 3 / 4;
        const uint64_t half = (budget + l) / 2;
        for (uint64_t d = step; d < half; d += step) {
            const uint64_t slots = half / d;
            const uint64_t m = (count + slots - 1) / slots;
            if (m > 3) {
                pause = d;
                group = m;
                break;
            }
        }
    }
    const uint64_t deadline = start + budget;

    bool failed = false;
    for (uint64_t i = 0; i < count; ++i) {
        if (!running(own)) {
            failed = true;
            break;
        }
        const uint64_t offset = i * chunk;
        const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(chunk, n - offset));
        uint64_t wire = 0;
        if (send_chunk(transport, own, number, static_cast<uint32_t>(i), static_cast<uint32_t>(count), key,
                       data + offset, length, &wire) != CORE_OK) {
            failed = true;
            break;
        }
        s->bytes_sent += wire;
        if (pause == 0 || i == 0 || i % group != 0 || i + 1 == count) continue;
        const uint64_t now = core_clock_mono_ns();
        const uint64_t groups_left = (count - 1 - i + group - 1) / group;
        if (since(now + groups_left * pause, deadline) > 0) pause = l;
        if (since(now + pause, deadline) < 0)
            core_sleeper_wait(s->sleeper, pause);
        else
            pause = 0;
    }
    // The numbers of a frame cut short stay spent, so the next frame's
    // chunks never fall inside the range this frame announced.
    s->counter = std::max(s->counter, first + count);

    if (budget > 0) {
        const double ratio = static_cast<double>(core_clock_mono_ns() - start) / static_cast<double>(budget);
        s->duration_ratio = std::max(1.0, ratio) * 0.2 + s->duration_ratio * 0.8;
        // Frames that take more than twice their time are better sent whole.
        if (s->pacing && s->duration_ratio > 2) s->pacing = false;
    }
    (failed ? own->frames_failed : own->frames_sent).fetch_add(1, std::memory_order_relaxed);
    if (own->frame_reports) flowmesh_rate_record_sent(&s->estimates, number, n, core_clock_mono_ns());
}

void retransmit(FlowmeshTransport *transport, MediaOwn *own, uint64_t first, uint16_t count)
{
    MediaSender *s = &own->send;
    const uint64_t end = first > UINT64_MAX - count ? UINT64_MAX : first + count;
    auto it = std::lower_bound(s->retained.begin(), s->retained.end(), first,
                               [](const Retained &r, uint64_t seq) { return r.header.sequence < seq; });
    for (; it != s->retained.end() && it->header.sequence < end; ++it) {
        const bool key = (it->header.flags & FLOWMESH_MEDIA_KEY_FRAME) != 0;
        if (it->resends >= (key ? kResendLimitKey : kResendLimit)) continue;
        FlowmeshPacketHeader header = it->header;
        header.token = 0;  // fresh
        header.flags = static_cast<uint16_t>(header.flags | FLOWMESH_MEDIA_RETRANSMISSION);
        uint64_t wire = 0;
        if (emit(transport, &header, it->payload, it->length, s->wire, &wire) != CORE_OK) return;
        it->resends += 1;
        s->bytes_retransmitted += wire;
        own->resends.fetch_add(1, std::memory_order_relaxed);
    }
}

bool serve_resends(FlowmeshTransport *transport, MediaOwn *own)
{
    ResendSlot taken[FLOWMESH_MEDIA_RESEND_SLOTS];
    int n = 0;
    {
        std::lock_guard<std::mutex> guard(own->resend_lock);
        if (!own->resend_waiting) return false;
        own->resend_waiting = false;
        for (ResendSlot &slot : own->resend)
            if (slot.first != 0) {
                taken[n++] = slot;
                slot = {};
            }
    }
    for (int i = 0; i < n; ++i) retransmit(transport, own, taken[i].first, taken[i].count);
    return n > 0;
}

void run_controller(FlowmeshTransport *transport, MediaOwn *own)
{
    MediaSender *s = &own->send;
    const uint64_t now = core_clock_mono_ns();
    FlowmeshRateInputs in = {};
    in.cycle = s->cycle;
    in.congestion_signals = own->congestion.exchange(0, std::memory_order_acq_rel);
    in.congestion_seen = own->congestion_seen.load(std::memory_order_acquire);
    in.last_congestion_ns = own->congestion_ns.load(std::memory_order_relaxed);
    in.last_congestion_cycle = own->congestion_cycle.load(std::memory_order_relaxed);
    in.expired_seen = s->estimates.expired_seen;
    in.last_expired_ns = s->estimates.last_expired_ns;
    in.last_expired_cycle = s->estimates.last_expired_cycle;
    in.bytes_sent = s->bytes_sent;
    in.bytes_retransmitted = s->bytes_retransmitted;
    in.frame_interval_ns = s->frame_interval_ns;
    in.delivery_ratio = own->frame_reports ? s->estimates.delivery_ratio : 1.0;
    FlowmeshRateActions act;
    flowmesh_rate_step(&s->rate, &s->rate_config, &in, now, &act);
    if (act.evaluated) s->bytes_sent = s->bytes_retransmitted = 0;
    s->chunk_size = act.chunk_size;
    own->chunk_size.store(act.chunk_size, std::memory_order_relaxed);
    if (act.flush) {
        trim_retained(s, 0);
        core_queue_flush(own->frames);
    }
    if (act.report) {
        uint8_t data[16] = {};
        memcpy(data, &act.level, sizeof(act.level));
        memcpy(data + 8, &act.bitrate, sizeof(act.bitrate));
        const int refused = flowmesh_transport_event(transport, FLOWMESH_TRANSPORT_QUALITY, data, sizeof(data));
        // A refused report is tried again at the next reporting point; the
        // thread goes on, since frames queued behind it would otherwise
        // never leave.
        flowmesh_rate_reported(&s->rate, &act, refused == 0, now);
        if (refused != 0) own->reports_refused.fetch_add(1, std::memory_order_relaxed);
    }
    own->bitrate.store(s->rate.bitrate, std::memory_order_relaxed);
    own->level.store(s->rate.level, std::memory_order_relaxed);

    if (!own->frame_reports) return;
    const double fps = s->frame_interval_ns > 0 ? 1e9 / s->frame_interval_ns : 0;
    uint32_t penalty;
    {
        std::lock_guard<std::mutex> guard(own->report_lock);
        penalty = flowmesh_rate_update_estimates(&s->estimates, &own->reports, &s->rate_config, fps, s->cycle, now);
    }
    if (penalty > 0) {
        own->congestion_ns.store(now, std::memory_order_relaxed);
        own->congestion_cycle.store(s->cycle, std::memory_order_relaxed);
        own->congestion_seen.store(1, std::memory_order_release);
        own->congestion.fetch_add(penalty, std::memory_order_acq_rel);
    }
}

int media_thread(void **args)
{
    auto *transport = static_cast<FlowmeshTransport *>(args[0]);
    MediaOwn *own = own_of(transport);
    MediaSender *s = &own->send;
    // Pauses between chunk groups are tens of microseconds; the default
    // 50 us timer slack would swallow them. This thread is the stream's own.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (s->sleeper != nullptr) calibrate_sleep(s);
    // Idle streams with rate control still wake now and then, so that the
    // controller's reports and report expiry go on.
    const uint32_t idle_wait = own->rate_control ? 300 : UINT32_MAX;

    while (running(own)) {
        const bool served = serve_resends(transport, own);
        CoreQueueRecord *record = core_queue_pop(own->frames);
        if (record == nullptr && !served) {
            core_event_wait(&own->wake, idle_wait);
            if (running(own) && own->rate_control) run_controller(transport, own);
            continue;
        }
        if (record != nullptr) {
            const CoreQueueEntry entry = core_queue_record_entry(record);
            const uint64_t enqueued = flowmesh_get_be64(entry.name.key);
            uint64_t budget = 0;
            if (own->rate_control && s->sleeper != nullptr && s->pacing) {
                if (s->have_enqueue) {
                    const int64_t gap = since(enqueued, s->last_enqueue_ns);
                    const double d = gap < 0 ? kNegativeIntervalNs : static_cast<double>(gap);
                    s->frame_interval_ns = s->frame_interval_ns > 0 ? d * 0.8 + s->frame_interval_ns * 0.2 : d;
                    budget = std::min<uint64_t>(static_cast<uint64_t>(s->frame_interval_ns), kBudgetMaxNs);
                }
                s->have_enqueue = true;
                s->last_enqueue_ns = enqueued;
            }
            send_frame(transport, own, budget, entry.type != 0, static_cast<const uint8_t *>(entry.data),
                       entry.length);
            core_queue_record_free(own->frames, &record);
        }
        if (own->rate_control) run_controller(transport, own);
        if (s->retained_bytes >= s->retention_limit) trim_retained(s, s->retention_limit / 8);
        own->retained_bytes.store(s->retained_bytes, std::memory_order_relaxed);
        s->cycle += 1;
        own->cycle.store(s->cycle, std::memory_order_relaxed);
    }
    return 0;
}

CoreResult media_report(FlowmeshTransport *transport, uint32_t code)
{
    return flowmesh_transport_event(transport, code, &transport->initiator, sizeof(transport->initiator)) == 0
               ? CORE_OK
               : CORE_ERR;
}

// ---- operations ----

CoreResult media_build(FlowmeshTransport *transport)
{
    MediaOwn *own = new (own_of(transport)) MediaOwn();
    const FlowmeshTransportParams &p = transport->params;
    MediaSender *s = &own->send;
    own->rate_control = (p.options & FLOWMESH_MEDIA_OPTION_RATE_CONTROL) != 0;
    own->frame_reports = own->rate_control && (p.peer_flags & FLOWMESH_MEDIA_FRAME_REPORT) != 0;
    s->retention_limit =
        p.max_bitrate == 0 ? kRetentionDefault
                           : std::min<uint64_t>(p.max_bitrate / 8 * 2, FLOWMESH_MEDIA_RETENTION_MAX);

    FlowmeshMediaReceiverConfig rc = {};
    memcpy(rc.frame_rate, p.frame_rate, sizeof(rc.frame_rate));
    memcpy(rc.peak_rate, p.peak_frame_rate, sizeof(rc.peak_rate));
    rc.frame_reports = own->frame_reports;
    own->receiver = flowmesh_media_receiver_create(&rc);
    if (own->receiver == nullptr) return CORE_ERR;
    const FlowmeshMediaWindow window = flowmesh_media_window_bounds(p.frame_rate, p.peak_frame_rate);

    s->rate_config.min_bitrate = p.min_bitrate;
    s->rate_config.max_bitrate = p.max_bitrate;
    s->rate_config.bitrate_mode = (p.options & FLOWMESH_MEDIA_OPTION_BITRATE_MODE) != 0;
    s->rate_config.nominal_period_ns = flowmesh_media_period_ns(p.frame_rate);
    s->rate_config.peak_period_ns = flowmesh_media_period_ns(p.peak_frame_rate);
    flowmesh_rate_init(&s->rate, &s->rate_config, core_clock_mono_ns());
    own->bitrate.store(s->rate.bitrate);
    own->level.store(s->rate.level);
    if (flowmesh_rate_reports_init(&own->reports, window.maximum + 4) != CORE_OK) return CORE_ERR;
    if (flowmesh_rate_estimates_init(&s->estimates, own->frame_reports ? window.maximum : 0) != CORE_OK)
        return CORE_ERR;
    if (flowmesh_redundancy_init(&s->copies, p.redundancy_copies, p.redundancy_period) != CORE_OK) return CORE_ERR;
    s->sleeper = core_sleeper_create();
    CoreQueueConfig qc = {};
    qc.batch = 1;
    own->frames = core_queue_create(&qc);
    if (own->frames == nullptr) return CORE_ERR;

    own->state.store(MEDIA_RUNNING, std::memory_order_release);
    // Last: from here on the thread runs.
    own->thread = core_thread_start(media_thread, transport, nullptr, "fm-media");
    if (own->thread == nullptr) {
        own->state.store(MEDIA_STOPPED, std::memory_order_release);
        return CORE_ERR;
    }
    return CORE_OK;
}

void media_destroy(FlowmeshTransport *transport)
{
    MediaOwn *own = own_of(transport);
    own->state.store(MEDIA_STOPPED, std::memory_order_release);
    core_event_signal(&own->wake);
    if (own->thread != nullptr) core_thread_join(&own->thread);
    core_queue_destroy(&own->frames);
    trim_retained(&own->send, 0);
    flowmesh_redundancy_destroy(&own->send.copies);
    core_sleeper_destroy(&own->send.sleeper);
    flowmesh_rate_estimates_destroy(&own->send.estimates);
    flowmesh_rate_reports_destroy(&own->reports);
    flowmesh_media_receiver_destroy(&own->receiver);
    own->~MediaOwn();
}

CoreResult media_open_event(FlowmeshTransport *transport) { return media_report(transport, FLOWMESH_TRANSPORT_OPEN); }

CoreResult media_close(FlowmeshTransport *transport)
{
    const CoreResult closing = media_report(transport, FLOWMESH_TRANSPORT_CLOSING);
    const CoreResult closed = media_report(transport, FLOWMESH_TRANSPORT_CLOSED);
    return closing == CORE_OK && closed == CORE_OK ? CORE_OK : CORE_ERR;
}

CoreResult media_finish(FlowmeshTransport *transport) { return media_report(transport, FLOWMESH_TRANSPORT_CLOSED); }

CoreResult media_send(FlowmeshTransport *transport, uint8_t type, const void *data, uint64_t *length)
{
    MediaOwn *own = own_of(transport);
    const uint64_t n = *length;
    if (!running(own) || n > FLOWMESH_MEDIA_FRAME_MAX || (n > 0 && data == nullptr)) {
        *length = 0;
        return CORE_DONE;
    }
    CoreName stamp;
    core_name_from_u64(&stamp, core_clock_mono_ns());
    const CoreIoVec vec = {n, data};
    if (core_queue_post(own->frames, &stamp, type, 0, &vec, 1) != 0) {
        *length = 0;
        return CORE_DONE;
    }
    core_event_signal(&own->wake);
    return CORE_OK;
}

// A control from the peer: the sender's side of this stream takes it.
// false when it does not hold up.
bool on_control(MediaOwn *own, const FlowmeshPacketHeader *header, uint64_t length, uint64_t now)
{
    const uint16_t kind = header->flags & kControlFlags;
    // Exactly one control per datagram, and no frame data with it.
    if (length != 0 || (kind & (kind - 1)) != 0 || (header->flags & FLOWMESH_MEDIA_KEY_FRAME) != 0) return false;
    own->controls_received.fetch_add(1, std::memory_order_relaxed);
    if (kind == FLOWMESH_MEDIA_LOSS_REPORT) {
        FlowmeshMediaLossReport report;
        flowmesh_media_loss_report_decode(header, &report);
        std::lock_guard<std::mutex> guard(own->resend_lock);
        for (int i = 0; i < 2; ++i) {
            if (report.first[i] == 0) continue;
            const uint16_t count = report.count[i] == 0 ? 1 : report.count[i];
            ResendSlot *free_slot = nullptr;
            bool present = false;
            for (ResendSlot &slot : own->resend) {
                if (slot.first == report.first[i] && slot.count == count) present = true;
                if (slot.first == 0 && free_slot == nullptr) free_slot = &slot;
            }
            if (present) continue;
            if (free_slot == nullptr) {
                own->resend_dropped.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            *free_slot = {report.first[i], count};
            own->resend_waiting = true;
            own->resend_requests.fetch_add(1, std::memory_order_relaxed);
        }
    } else if (kind == FLOWMESH_MEDIA_CONGESTION) {
        own->congestion_ns.store(now, std::memory_order_relaxed);
        own->congestion_cycle.store(own->cycle.load(std::memory_order_relaxed), std::memory_order_relaxed);
        own->congestion_seen.store(1, std::memory_order_release);
        own->congestion.fetch_add(1, std::memory_order_acq_rel);
    } else if (own->rate_control) {
        FlowmeshMediaFrameReport report;
        flowmesh_media_frame_report_decode(header, &report);
        std::lock_guard<std::mutex> guard(own->report_lock);
        flowmesh_rate_on_frame_report(&own->reports, &own->send.rate_config, report.frame, report.bytes, now);
    }
    core_event_signal(&own->wake);
    return true;
}

CoreResult media_receive(FlowmeshTransport *transport, const CoreQueueEntry *records, uint64_t count)
{
    MediaOwn *own = own_of(transport);
    const FlowmeshTransportParams &p = transport->params;
    std::vector<FlowmeshMediaFrame> frames;
    std::vector<FlowmeshPacketHeader> controls;
    {
        std::lock_guard<std::mutex> guard(own->receive_lock);
        const uint64_t now = core_clock_mono_ns();
        for (uint64_t i = 0; i < count; ++i) {
            FlowmeshPacketHeader header;
            uint64_t length = 0;
            if (flowmesh_transport_open(transport, &records[i], &header, own->payload, &length) != CORE_OK) {
                own->datagrams_refused.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            if ((header.flags & kControlFlags) != 0) {
                if (!on_control(own, &header, length, now))
                    own->datagrams_refused.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            flowmesh_media_receiver_on_chunk(own->receiver, &header, own->payload, length, now);
        }
        flowmesh_media_receiver_scan(own->receiver, now);
        FlowmeshMediaFrame frame;
        while (flowmesh_media_receiver_take_frame(own->receiver, &frame)) frames.push_back(frame);
        FlowmeshPacketHeader control;
        while (flowmesh_media_receiver_take_control(own->receiver, &control)) controls.push_back(control);
    }
    // Controls first: a loss report is worth more early than a frame is.
    if (p.send_fn != nullptr) {
        uint8_t wire[FLOWMESH_HEADER_SIZE];
        for (FlowmeshPacketHeader &h : controls) {
            if (flowmesh_media_seal_control(transport->header_key, &h, p.local_id, p.peer_id, wire) != CORE_OK)
                continue;
            CoreQueueEntry record = {};
            record.name = p.session;
            record.type = p.peer_address;
            record.flags = p.peer_port;
            record.length = FLOWMESH_HEADER_SIZE;
            record.data = wire;
            p.send_fn(p.peer_id, &record, 1, const_cast<uint8_t *>(p.send_context));
        }
    }
    for (FlowmeshMediaFrame &f : frames) {
        if (p.data_fn != nullptr)
            p.data_fn(p.local_id, &p.session, f.data, f.length, const_cast<uint8_t *>(p.data_context));
        flowmesh_media_frame_free(&f);
    }
    return CORE_OK;
}

const FlowmeshTransportKind kMediaKind = {
    kOwnOffset + sizeof(MediaOwn),
    media_build,
    media_destroy,
    media_open_event,
    media_open_event,
    media_close,
    media_finish,
    media_send,
    media_receive,
};

}  // namespace

CoreResult flowmesh_media_register(void) { return flowmesh_transport_kind_set(FLOWMESH_STREAM_MEDIA, &kMediaKind); }

CoreResult flowmesh_media_stats(uint64_t handle, FlowmeshMediaStats *stats)
{
    CoreHandleTable *table = core_handle_tables[CORE_HANDLES_NETWORK];
    if (table == nullptr || handle == 0 || stats == nullptr) return CORE_ERR;
    auto *transport = static_cast<FlowmeshTransport *>(core_handle_acquire(table, handle));
    if (transport == nullptr) return CORE_ERR;
    CoreResult result = CORE_ERR;
    if (transport->ops == &kMediaKind) {
        MediaOwn *own = own_of(transport);
        *stats = {};
        stats->frames_sent = own->frames_sent.load(std::memory_order_relaxed);
        stats->frames_failed = own->frames_failed.load(std::memory_order_relaxed);
        stats->chunks_sent = own->chunks_sent.load(std::memory_order_relaxed);
        stats->copies_sent = own->copies_sent.load(std::memory_order_relaxed);
        stats->resends = own->resends.load(std::memory_order_relaxed);
        stats->resend_requests = own->resend_requests.load(std::memory_order_relaxed);
        stats->resend_dropped = own->resend_dropped.load(std::memory_order_relaxed);
        stats->retained_bytes = own->retained_bytes.load(std::memory_order_relaxed);
        stats->reports_refused = own->reports_refused.load(std::memory_order_relaxed);
        stats->chunk_size = own->chunk_size.load(std::memory_order_relaxed);
        stats->bitrate = own->bitrate.load(std::memory_order_relaxed);
        stats->level = own->level.load(std::memory_order_relaxed);
        stats->controls_received = own->controls_received.load(std::memory_order_relaxed);
        stats->datagrams_refused = own->datagrams_refused.load(std::memory_order_relaxed);
        std::lock_guard<std::mutex> guard(own->receive_lock);
        stats->receiver = flowmesh_media_receiver_stats(own->receiver);
        result = CORE_OK;
    }
    core_handle_release(table, handle);
    return result;
}
