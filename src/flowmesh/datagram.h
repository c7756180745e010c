// Stream datagrams: the 32-byte packet header, its wire length, sealing and
// opening.
//
// Every stream datagram is a 32-byte header enciphered (AES-ECB) with the
// session key, then the payload padded to a multiple of 16 bytes and
// enciphered (AES-ECB) with the stream's own key; at most 1440 bytes in all.
// Header fields are big-endian on the wire; FlowmeshPacketHeader holds them
// in host order, except the 14 kind-specific bytes, which each stream kind
// reads and writes big-endian itself.
//
// Nothing here keeps state: transports, the routing code and the receive
// paths call these functions from any thread, each with its own buffers
// (a CoreAesKey may be shared). Results are CORE_OK, or CORE_ERR for a
// datagram that is refused; a refused datagram is dropped by the caller,
// who counts it.
#pragma once

#include <cstdint>

#include "core/crypto.h"
#include "core/queue.h"
#include "core/result.h"

#define FLOWMESH_HEADER_SIZE 32
#define FLOWMESH_DATAGRAM_MAX 1440
#define FLOWMESH_PAYLOAD_MAX (FLOWMESH_DATAGRAM_MAX - FLOWMESH_HEADER_SIZE)  // 1408, 88 blocks
// A received datagram record's buffer: the 32-byte CoreUdpPacket head, then
// the datagram.
#define FLOWMESH_RECORD_HEAD 32
#define FLOWMESH_RECORD_BUFFER (FLOWMESH_RECORD_HEAD + FLOWMESH_DATAGRAM_MAX)  // 1472

// Byte offsets of the header fields.
#define FLOWMESH_HDR_LENGTH 0
#define FLOWMESH_HDR_TOKEN 2
#define FLOWMESH_HDR_SEQUENCE 4
#define FLOWMESH_HDR_FLAGS 12
#define FLOWMESH_HDR_DESTINATION 14
#define FLOWMESH_HDR_SPECIFIC 16
#define FLOWMESH_HDR_SPECIFIC_SIZE 14
#define FLOWMESH_HDR_CHECK 30

// Flag bits of the paced stream (kind 1).
#define FLOWMESH_PACED_REDUNDANT 0x0001
// Flag bits of the media-rate stream (kind 2).
#define FLOWMESH_MEDIA_REDUNDANT 0x0001
#define FLOWMESH_MEDIA_LOSS_REPORT 0x0002
#define FLOWMESH_MEDIA_RETRANSMISSION 0x0004
#define FLOWMESH_MEDIA_CONGESTION 0x0008
#define FLOWMESH_MEDIA_FRAME_REPORT 0x0010
#define FLOWMESH_MEDIA_KEY_FRAME 0x0020
// Flag bits of the reliable stream (kind 3).
#define FLOWMESH_RELIABLE_SYN 0x0001
#define FLOWMESH_RELIABLE_SYN_ACK 0x0002
#define FLOWMESH_RELIABLE_FIN 0x0004
#define FLOWMESH_RELIABLE_ACK 0x0008
#define FLOWMESH_RELIABLE_GO_BACK 0x0010
#define FLOWMESH_RELIABLE_RESEND 0x0020
#define FLOWMESH_RELIABLE_WINDOW 0x0040
#define FLOWMESH_RELIABLE_PROBE 0x0080
#define FLOWMESH_RELIABLE_KEEPALIVE 0x0100

// Every flag a kind can produce: what the session layer puts into the
// local and peer flag sets of a transport.
#define FLOWMESH_FLAG_SET_PACED 0x0001
#define FLOWMESH_FLAG_SET_MEDIA 0x003F
#define FLOWMESH_FLAG_SET_RELIABLE 0x01FF

struct FlowmeshPacketHeader {
    uint16_t length;       // header + payload bytes before padding, 32..1440
    uint16_t token;        // 0x8000 | 15 random bits
    uint64_t sequence;
    uint16_t flags;
    uint16_t destination;  // the receiver's local stream id
    uint16_t check;        // token ^ the sender's local stream id
    uint8_t specific[FLOWMESH_HDR_SPECIFIC_SIZE];  // wire bytes 16..29
};

// What a receiving transport demands of a datagram.
struct FlowmeshOpenRules {
    uint16_t local_id;    // must equal the destination field
    uint16_t peer_id;     // must equal token ^ check
    uint16_t local_flags; // with peer_flags: both non-zero enables the flag check
    uint16_t peer_flags;  // flags the peer may send
};

static inline uint16_t flowmesh_get_be16(const uint8_t *p) { return (uint16_t)((p[0] << 8) | p[1]); }
static inline uint32_t flowmesh_get_be32(const uint8_t *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}
static inline uint64_t flowmesh_get_be64(const uint8_t *p)
{
    return ((uint64_t)flowmesh_get_be32(p) << 32) | flowmesh_get_be32(p + 4);
}
static inline void flowmesh_put_be16(uint8_t *p, uint16_t v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}
static inline void flowmesh_put_be32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}
static inline void flowmesh_put_be64(uint8_t *p, uint64_t v)
{
    flowmesh_put_be32(p, (uint32_t)(v >> 32));
    flowmesh_put_be32(p + 4, (uint32_t)v);
}

// The plain 32 header bytes of `header`, and back.
void flowmesh_header_encode(const FlowmeshPacketHeader *header, uint8_t out[FLOWMESH_HEADER_SIZE]);
void flowmesh_header_decode(FlowmeshPacketHeader *header, const uint8_t in[FLOWMESH_HEADER_SIZE]);

// A fresh token from this thread's core_rand: bit 15 set, bits 8..14 from
// one draw, bits 0..7 from the next.
uint16_t flowmesh_token_draw(void);

// Wire length of a datagram with `payload_length` payload bytes: 32 + the
// payload rounded up to 16. -1 when the payload exceeds 1408 bytes.
int64_t flowmesh_wire_length(uint64_t payload_length);

// Seals one datagram into `out` (capacity at least the wire length; 1440
// always suffices). The caller fills sequence, flags, destination and the
// specific bytes; length and check are written here, and the token too
// unless the caller set one (bit 15), since a kind may keep a token for a
// run of datagrams. The padding is random so that equal short payloads do
// not give equal last blocks. CORE_OK with *wire_length set; CORE_ERR for a
// payload above 1408 bytes or a failing cipher (nothing usable in out).
CoreResult flowmesh_datagram_seal(CoreAesKey *header_key, CoreAesKey *payload_key, FlowmeshPacketHeader *header,
                                  uint16_t local_id, const void *payload, uint64_t payload_length, uint8_t *out,
                                  uint64_t *wire_length);

// Opens one datagram of `wire_length` bytes. Refused (CORE_ERR) unless the
// wire length is 32 + a multiple of 16 and at most 1440, the header's
// length field lies in 32..1440 and gives exactly that wire length, the
// destination and check name this stream and its peer, and (when both flag
// sets are known) no flag lies outside the peer's set. On CORE_OK, `header`
// holds the plain header and the first header.length - 32 bytes of
// `payload` (capacity 1408) the real payload, *payload_length their count.
// `header` and `payload` may hold anything after a refusal.
CoreResult flowmesh_datagram_open(CoreAesKey *header_key, CoreAesKey *payload_key, const FlowmeshOpenRules *rules,
                                  const uint8_t *wire, uint64_t wire_length, FlowmeshPacketHeader *header,
                                  uint8_t *payload, uint64_t *payload_length);

// Opens the datagram of a received record (its data begins with the 32-byte
// packet head; its length counts the head). CORE_ERR also for a record too
// short to hold a head or without data.
CoreResult flowmesh_record_open(CoreAesKey *header_key, CoreAesKey *payload_key, const FlowmeshOpenRules *rules,
                                const CoreQueueEntry *record, FlowmeshPacketHeader *header, uint8_t *payload,
                                uint64_t *payload_length);

// Reads only the stream ids of a datagram, as the routing does: the
// destination field and token ^ check. CORE_ERR for fewer than 32 bytes
// (such a datagram has no header and must not be routed).
CoreResult flowmesh_datagram_ids(CoreAesKey *header_key, const uint8_t *wire, uint64_t wire_length,
                                 uint16_t *destination, uint16_t *source);
