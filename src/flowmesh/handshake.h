// The handshake of an adapter instance: what it does with a verified
// identity block or a key message, in the discovery form (LAN discovery:
// the node with the greater first identity makes the key) and the direct
// form (a connect to an address: the node that receives the identity block
// makes the key).
//
// The pure halves (verifying blocks, building and opening key messages)
// are netcrypto's; this module decides, creates and drops peers in the
// instance's peer store (peer.h), asks the peer callback (OFFERED before a
// peer is made; the store reports APPEARED and READY), and keeps the key
// messages a peer is sent. Discovery-form calls run on the instance's
// discovery loop thread, direct-form calls on its executor (the dispatch
// consumer, for datagrams from an address without a peer).
//
// Results: CORE_OK accepted; CORE_DONE ignored (our own block, a peer that
// is already there or already ready, a key message with no peer yet, a
// peer the callback refused at OFFERED); CORE_ERR refused (nothing is
// made; a refused key message also drops the peer it claims to be for).
#pragma once

#include <cstdint>

#include "core/result.h"
#include "core/udp.h"
#include "flowmesh/netcrypto/identity.h"

struct FlowmeshAdapterInstance;

// Discovery form, after netcrypto_verify_identity accepted a block from
// `source` (the peer's data socket) sent by the node announced from
// `announced`. The key sender makes the key and its key message and flags
// the peer for sending; an existing unconfirmed peer is flagged again.
CoreResult netcrypto_accept_identity(FlowmeshAdapterInstance *instance, const CoreUdpAddr *announced,
                                     const CoreUdpAddr *source, const NetcryptoPeerIdentity *peer);

// Discovery form: a key message from `source`. CORE_DONE without a peer
// there or when the peer is ready already; CORE_ERR (and the peer dropped)
// when this side is the key sender, bytes 0..31 are not the peer's, or the
// message does not open to the peer's identity and user id.
CoreResult netcrypto_accept_key(FlowmeshAdapterInstance *instance, const CoreUdpAddr *source, const uint8_t *data,
                                uint64_t length);

// Direct form: this side makes the key, creates the peer as key sender
// and keeps the direct key message in it for the connector to send.
CoreResult netcrypto_accept_direct_identity(FlowmeshAdapterInstance *instance, const CoreUdpAddr *source,
                                            const NetcryptoPeerIdentity *peer);

// Direct form: a key message from an address with no peer makes the peer
// as key receiver and reports it ready. A peer at `source` is dropped and
// the message refused.
CoreResult netcrypto_accept_direct_key(FlowmeshAdapterInstance *instance, const CoreUdpAddr *source,
                                       const uint8_t *data, uint64_t length);

// A datagram of the large discovery pipe whose first 32 bytes name a node
// known at `announced`: first as an identity block, then, when refused, as
// a key message.
CoreResult flowmesh_handshake_offer_discovery(FlowmeshAdapterInstance *instance, const CoreUdpAddr *announced,
                                              const CoreUdpAddr *source, const uint8_t *data, uint64_t length);

// Direct mode: a datagram from `source`, which has no peer. With the
// identity role as an identity block (an accepted one makes the sender the
// direct target when there is none); when that role is missing or the
// block is refused, with the key role as a key message.
CoreResult flowmesh_handshake_offer_direct(FlowmeshAdapterInstance *instance, const CoreUdpAddr *source,
                                           const uint8_t *data, uint64_t length);

// The discovery loop's key pass: for every unconfirmed peer this side
// sends keys to, once its resend time has come, the key message is sent
// again when the peer asked for it (its identity block came again), at
// most once a second and at most 16 times; the first pass 20 s or more
// after the 16th drops the peer.
void flowmesh_resend_key_messages(FlowmeshAdapterInstance *instance);

#define FLOWMESH_KEY_RESENDS 16
#define FLOWMESH_KEY_RESEND_MS 1000
#define FLOWMESH_KEY_GIVE_UP_MS 20000
