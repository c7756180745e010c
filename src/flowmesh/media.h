// The media-rate stream (stream kind 2): encoded audio and video frames,
// retransmitted on request, at a rate the receiver's reports steer.
//
// Sender. flowmesh_transport_send queues a frame with its type byte (non-zero:
// a key frame); the stream's own thread cuts each frame into chunks of the
// current chunk size (256..1408 bytes), spreads them over about half the
// frame interval (with rate control on), sends redundant copies on the shared copy schedule (see
// redundancy.h), keeps what it sent for a while and resends the chunks the
// receiver names in loss reports. With rate control on it runs the
// controller of rate_control.h after every cycle and reports bitrate or
// quality level with event 0.
//
// Receiver. Chunks are collected per frame in a sliding window of frame
// slots and complete frames go to the data function in sending order, one
// call per frame. The receiver asks for missing chunks (loss reports),
// reports delivered frames (frame reports, rate control on) and signals
// congestion when it had to drop frames or saw more losses than one scan
// may report. A frame that stays incomplete is dropped when the window
// moves on; nothing a peer sends can stall delivery: chunks whose fields
// no sender makes are refused and counted.
//
// Threads. The sender thread owns the frame queue's consumption, chunking,
// retained chunks and the controller. The receive path (whichever thread
// calls flowmesh_transport_receive) owns the receiver under a lock of the
// stream and calls the data and send functions with no lock held. The two
// meet in the resend table and the frame report table (a small lock each)
// and the congestion count (atomic). Destroying the stream clears its
// state word and joins the thread, which looks at the word between chunks
// and in every sleep.
//
// Results. Operations return CORE_OK, CORE_DONE (send: frame not queued) or
// CORE_ERR (an event function refused). Receive always finishes its batch.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "flowmesh/datagram.h"
#include "flowmesh/transport.h"

// Option bits of the transport parameters read by this kind.
#define FLOWMESH_MEDIA_OPTION_RATE_CONTROL 0x2u
#define FLOWMESH_MEDIA_OPTION_BITRATE_MODE 0x4u

// The largest frame a sender queues, and so the most chunks a frame can
// need at the smallest chunk size.
#define FLOWMESH_MEDIA_FRAME_MAX FLOWMESH_BUFFER_MAX
#define FLOWMESH_MEDIA_CHUNKS_MAX (FLOWMESH_MEDIA_FRAME_MAX / 256)
// Loss ranges one scan reports: the sender's resend table holds no more.
#define FLOWMESH_MEDIA_RESEND_SLOTS 64
// Retained chunks for resends take at most this much memory, whatever the
// maximum bitrate asks for.
#define FLOWMESH_MEDIA_RETENTION_MAX (64ULL << 20)
// A new frame may start at most this many sequence numbers ahead of the
// next expected one: about 370 MB of full chunks, far more than any window
// of frames a sender keeps in flight, and a bound on how far a stale or
// bogus chunk could throw the receiver ahead.
#define FLOWMESH_MEDIA_HORIZON (1ULL << 18)

// Installs the media-rate stream as kind 2 of flowmesh_transport_create.
// Calling it again does no harm. CORE_OK.
CoreResult flowmesh_media_register(void);

// ---- numbers both sides agree on ----

struct FlowmeshMediaWindow {
    uint32_t minimum;  // frames
    uint32_t maximum;  // frames; also the number of frame slots
};

// Frame window bounds for the nominal and peak frame rates {numerator,
// denominator} (a zero denominator or numerator means unset: 6 and 30 per
// second). The minimum is max(8, nominal x 4/3) and the maximum min(1024,
// 2 x peak); bounds that would cross are resolved by raising the maximum.
FlowmeshMediaWindow flowmesh_media_window_bounds(const uint32_t frame_rate[2], const uint32_t peak_rate[2]);
// Frame period in ns of a rate {numerator, denominator}; 0 when unset.
uint64_t flowmesh_media_period_ns(const uint32_t rate[2]);
// Chunks a frame of `length` bytes takes at `chunk_size`.
uint64_t flowmesh_media_chunk_count(uint64_t length, uint32_t chunk_size);
// The frame number after `number`: 65535 is followed by 1, 0 is never used.
uint16_t flowmesh_media_next_frame(uint16_t number);

// ---- control datagrams (header only, length 32) ----

struct FlowmeshMediaLossReport {
    uint64_t first[2];  // first missing sequence number; 0: no range
    uint16_t count[2];
};

struct FlowmeshMediaFrameReport {
    uint16_t frame[4];  // 0 ends the list
    uint32_t bytes[4];
};

// Fill a header (all fields but check and destination) for one control.
// The loss report and the congestion signal draw a fresh token; the frame
// report puts frame 1 where the token goes.
void flowmesh_media_loss_report_encode(FlowmeshPacketHeader *header, const FlowmeshMediaLossReport *report);
void flowmesh_media_congestion_encode(FlowmeshPacketHeader *header);
void flowmesh_media_frame_report_encode(FlowmeshPacketHeader *header, const FlowmeshMediaFrameReport *report);
void flowmesh_media_loss_report_decode(const FlowmeshPacketHeader *header, FlowmeshMediaLossReport *report);
void flowmesh_media_frame_report_decode(const FlowmeshPacketHeader *header, FlowmeshMediaFrameReport *report);

// Seals a header-only control datagram into `out` (32 bytes) with the
// transport's header key; the token field is kept as given, since a frame
// report carries a frame number there. CORE_OK or CORE_ERR.
CoreResult flowmesh_media_seal_control(CoreAesKey *header_key, FlowmeshPacketHeader *header, uint16_t local_id,
                                       uint16_t peer_id, uint8_t out[FLOWMESH_HEADER_SIZE]);

// ---- receiver ----
//
// The reassembly of chunks into frames on its own, so that the tests and
// the fuzz target drive it without sockets or threads. The caller
// serialises calls on one receiver and passes the time.

struct FlowmeshMediaReceiverConfig {
    uint32_t frame_rate[2];  // nominal
    uint32_t peak_rate[2];
    int frame_reports;       // send frame reports for delivered and dropped frames
};

struct FlowmeshMediaReceiverStats {
    uint64_t chunks_stored;
    uint64_t duplicates;
    uint64_t refused;       // fields no sender makes, or disagreeing with their frame
    uint64_t stale;         // below the next expected number
    uint64_t frames_delivered;
    uint64_t frames_dropped;  // incomplete when the window moved on
    uint64_t loss_ranges;     // ranges asked for
    uint64_t congestion_sent;
    uint64_t next_expected;
    uint32_t window;
    uint32_t busy;
};

struct FlowmeshMediaReceiver;

// A complete frame handed out by the receiver.
struct FlowmeshMediaFrame {
    uint8_t *data;  // heap; free with flowmesh_media_frame_free
    uint64_t length;
    uint16_t number;
};

// NULL when memory is short.
FlowmeshMediaReceiver *flowmesh_media_receiver_create(const FlowmeshMediaReceiverConfig *config);
void flowmesh_media_receiver_destroy(FlowmeshMediaReceiver **receiver);

// Takes one opened chunk datagram (no control flag). CORE_OK when stored,
// a duplicate or below the next expected number; CORE_ERR_REFUSED when
// its fields describe no chunk a sender makes or disagree with the
// frame's other chunks (nothing stored). Complete frames and the controls
// to send queue up in the receiver until taken.
CoreResult flowmesh_media_receiver_on_chunk(FlowmeshMediaReceiver *receiver, const FlowmeshPacketHeader *header,
                                            const uint8_t *payload, uint64_t length, uint64_t now);
// Runs the loss scan when it is due; its reports queue up as controls.
void flowmesh_media_receiver_scan(FlowmeshMediaReceiver *receiver, uint64_t now);
// 1 with the oldest waiting frame in *frame, 0 when none waits.
int flowmesh_media_receiver_take_frame(FlowmeshMediaReceiver *receiver, FlowmeshMediaFrame *frame);
// 1 with the oldest waiting control header (token, sequence, flags and
// specific bytes filled), 0 when none waits.
int flowmesh_media_receiver_take_control(FlowmeshMediaReceiver *receiver, FlowmeshPacketHeader *header);
FlowmeshMediaReceiverStats flowmesh_media_receiver_stats(const FlowmeshMediaReceiver *receiver);

void flowmesh_media_frame_free(FlowmeshMediaFrame *frame);

// ---- the stream ----

struct FlowmeshMediaStats {
    // Sender.
    uint64_t frames_sent;
    uint64_t frames_failed;  // cut short by a sealing or send failure
    uint64_t chunks_sent;    // copies and resends not counted
    uint64_t copies_sent;
    uint64_t resends;           // chunks sent again on request
    uint64_t resend_requests;   // ranges stored in the resend table
    uint64_t resend_dropped;    // ranges that found the table full
    uint64_t retained_bytes;
    uint64_t reports_refused;   // event 0 calls the application refused
    uint32_t chunk_size;
    uint64_t bitrate;
    int32_t level;
    // Receiver.
    uint64_t controls_received;
    uint64_t datagrams_refused;  // did not open, or a control that does not hold up
    FlowmeshMediaReceiverStats receiver;
};

// Counters of the media stream `handle`. CORE_OK, or CORE_ERR for an
// unknown handle or one of another kind.
CoreResult flowmesh_media_stats(uint64_t handle, FlowmeshMediaStats *stats);
