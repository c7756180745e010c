// IPv4 UDP socket steps of the engine side.
//
// The network library owns its sockets (it opens, configures and binds them)
// and does its datagram work through these functions: one poll step that
// sends the unsent rest of a datagram and/or receives one datagram, a
// receive that waits at most 250 ms, the DSCP marking of data sockets, and
// the close. Reader, prober and engine threads call them, each on sockets it
// owns; nothing here holds shared state.
//
// Results: CORE_OK when something was sent or received; CORE_NO_DATA when
// nothing was ready or the condition is transient (would block, interrupted,
// no buffer space, host down or unreachable, refused) and the caller simply
// tries again; CORE_ERR_INVALID for a call with nothing to do; CORE_ERR for
// anything else, after which the caller may recreate the socket.
//
// A datagram longer than the receive buffer is dropped whole and reported
// as CORE_NO_DATA: a peer must not be able to hand a reader a cut datagram.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/result.h"

// DSCP 47 in the upper six bits of the IPv4 TOS byte.
#define CORE_UDP_TOS_DSCP47 0xBC

// Wait of core_udp_recv.
#define CORE_UDP_RECV_TIMEOUT_MS 250

// One socket record. Its owner allocates it with malloc/calloc and opens
// the socket; core_udp_close closes and frees it.
struct CoreUdpSocket {
    int fd;       // -1 when closed
    uint8_t tos;  // TOS byte set by core_udp_mark_dscp, 0 when unmarked
};

// An IPv4 endpoint; both fields in network byte order.
struct CoreUdpAddr {
    uint32_t address;
    uint16_t port;
};

// One datagram buffer for sending or receiving. The head is 32 bytes so a
// receive buffer can be laid out as head + datagram with the datagram at a
// fixed offset; data is allocated by the owner behind the head.
struct CoreUdpPacket {
    uint32_t address;  // peer, network byte order
    uint16_t port;     // peer, network byte order
    uint16_t reserved;
    uint64_t time;     // monotonic ms of the last send or receive
    uint64_t offset;   // sending: bytes of the datagram already sent
    uint64_t length;   // sending: datagram length; receiving: capacity in, received bytes out
    uint8_t data[];
};
static_assert(sizeof(CoreUdpPacket) == 32 && offsetof(CoreUdpPacket, data) == 32,
              "the network library places datagrams 32 bytes into receive buffers");

// The result of a failed socket call with this errno: CORE_NO_DATA for the
// transient conditions listed above, CORE_ERR for everything else.
CoreResult core_udp_map_errno(int error);

// One step on `socket`: sends the rest of `send` (from its offset) when the
// socket is writable and receives one datagram into `recv` when readable.
// `timeout_ns` < 0 waits until the socket is ready. `recv->length` is set to
// 0 before the wait, so it is 0 unless a datagram arrived.
// CORE_ERR_INVALID when both packets are NULL or have nothing to do, or when
// send's offset lies past its length.
CoreResult core_udp_step(CoreUdpSocket *socket, CoreUdpPacket *send, CoreUdpPacket *recv, int64_t timeout_ns);

// Waits up to CORE_UDP_RECV_TIMEOUT_MS for one datagram of at most
// *length bytes. CORE_OK with *length and *from set; CORE_NO_DATA (with
// *length 0) when none arrived, it was empty, too long, or the failure was
// transient; CORE_ERR otherwise. `from` may be NULL.
CoreResult core_udp_recv(CoreUdpSocket *socket, CoreUdpAddr *from, void *buffer, uint64_t *length);

// Marks outgoing datagrams with DSCP 47 (TOS byte CORE_UDP_TOS_DSCP47).
// CORE_OK or CORE_ERR; a socket that cannot be marked still works.
CoreResult core_udp_mark_dscp(CoreUdpSocket *socket);

// Closes the socket, frees the record and clears *socket. NULL is ignored.
void core_udp_close(CoreUdpSocket **socket);
