// The paced message stream (stream kind 1): whole messages as runs of
// datagrams, no acknowledgements and no retransmission.
//
// The sender cuts each message into 1408-byte pieces, one datagram each,
// optionally spaced to a configured bit rate and followed by redundant
// copies of datagrams chosen at random (see redundancy.h). The receiver
// collects the pieces of up to four messages at a time in reassembly slots
// and hands a message to the data function only once every byte of it has
// come; a message that lost a datagram is dropped when newer messages need
// its slot.
//
// Threads. flowmesh_transport_send (any thread) only posts the message to
// the stream's pipe; the pipe's own thread sends one message at a time and
// alone owns the datagram counter, message number, copy schedule and pacing
// clock. The receive path (whichever thread calls flowmesh_transport_receive)
// owns the slots, under a lock of the stream, and calls the data function
// with no lock held. Destroying the stream stops the pipe thread between two
// datagrams, so a long message at a slow rate does not hold it up.
//
// Results. Operations of the kind return CORE_OK, CORE_DONE (send: message
// not taken) or CORE_ERR (an event function refused). Receive always
// finishes its batch: a datagram that fails to open or whose header does
// not hold up is dropped and counted, and the next one is processed.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "flowmesh/datagram.h"
#include "flowmesh/packet_queue.h"
#include "flowmesh/transport.h"

// One message announces its length in a u32, and no receive buffer of a
// stream is larger than the factory's maximum: longer messages are refused
// on both sides.
#define FLOWMESH_PACED_MESSAGE_MAX FLOWMESH_BUFFER_MAX
#define FLOWMESH_PACED_SLOTS 4
// A datagram carries 11520 bits: the pacing unit.
#define FLOWMESH_PACED_DATAGRAM_BITS 11520ULL

// Installs the paced stream as kind 1 of flowmesh_transport_create and the
// operations. The core calls it before opening streams; calling it again
// does no harm. CORE_OK.
CoreResult flowmesh_paced_register(void);

// Nanoseconds between datagrams for a paced rate in bits per second:
// 1e9 / (rate / 11520) with integer steps, or 0 (no pacing) below 11520.
uint64_t flowmesh_paced_pause_ns(uint64_t rate_bps);

struct FlowmeshPacedStats {
    // Send side.
    uint64_t messages_sent;    // sent whole
    uint64_t messages_failed;  // cut short by a sealing or send failure
    uint64_t datagrams_sent;   // copies not counted
    uint64_t copies_sent;
    uint64_t copies_failed;
    // Receive side.
    uint64_t datagrams_stored;
    uint64_t duplicates;         // already held; copies mostly
    uint64_t refused;            // did not open, or the header did not hold up
    uint64_t messages_delivered;
    uint64_t messages_dropped;   // incomplete when evicted, inconsistent, or no memory
};

// Counters of the paced stream `handle`. CORE_OK, or CORE_ERR for an
// unknown handle or one of another kind.
CoreResult flowmesh_paced_stats(uint64_t handle, FlowmeshPacedStats *stats);

// ---- receive side ----
//
// The reassembly of received datagrams into messages, on its own so that
// the fuzz target and the tests drive it without sockets or threads. The
// caller serialises calls on one receiver.

// Messages remembered after delivery, so that a late copy or duplicate of
// one of their datagrams is recognised instead of starting a new message.
#define FLOWMESH_PACED_RECENT 16

struct FlowmeshPacedRecent {
    uint16_t number;  // 0: unused
    uint64_t first;   // sequence numbers of the message's first and last piece
    uint64_t last;
};

struct FlowmeshPacedReceiver {
    FlowmeshReassembly slots[FLOWMESH_PACED_SLOTS];
    FlowmeshPacedRecent recent[FLOWMESH_PACED_RECENT];
    uint32_t recent_next;
    uint64_t stored;
    uint64_t duplicates;
    uint64_t refused;
    uint64_t delivered;
    uint64_t dropped;
};

// A complete message handed out by flowmesh_paced_on_datagram.
struct FlowmeshPacedMessage {
    uint8_t *data;  // heap; free with flowmesh_paced_message_free
    uint64_t length;
    uint16_t number;
};

void flowmesh_paced_receiver_init(FlowmeshPacedReceiver *receiver);
// Frees every stored datagram; the counters stay.
void flowmesh_paced_receiver_clear(FlowmeshPacedReceiver *receiver);

// Takes one opened datagram (plain header, `length` payload bytes).
//   CORE_OK            stored, or a duplicate, or it completed a message
//                      that did not hold together (dropped and counted)
//   CORE_DONE          it completed a message: *message holds it
//   CORE_ERR_REFUSED   the header does not describe a possible piece of a
//                      message (message number 0, total 0 or above the
//                      maximum, a piece size no sender makes, a total other
//                      than the one its message announced); nothing stored
//   CORE_ERR_NO_SPACE  memory ran short; the message's slot was cleared
CoreResult flowmesh_paced_on_datagram(FlowmeshPacedReceiver *receiver, const FlowmeshPacketHeader *header,
                                      const uint8_t *payload, uint64_t length, FlowmeshPacedMessage *message);

void flowmesh_paced_message_free(FlowmeshPacedMessage *message);
