// The binding protocol: how a node answers the codec offers that arrive
// from a peer.
//
// The binding service (engine/binding.h) hands every received offer to
// engine_binding_on_offer, its onOffer handler; the rules here turn the
// offer into a control request on ENGINE_CONTROL_SERVICE (the engine's
// connection control does the media work) and send the replies the
// protocol needs: BUSY to a busy streamer's requester, READY after an
// accept, and the failure reply (ENGINE_CTL_PEER_UNBIND of kind 0 to the
// engine and ENGINE_OFFER_UNBIND to the peer) when a handled offer fails.
// A peer whose session reports a protocol version below
// ENGINE_PROTOCOL_VERSION is refused with ENGINE_CTL_VERSION_MISMATCH. A
// request whose bind sequence id was unbound or rejected less than
// ENGINE_BINDING_ANSWERED_HOLD_MS ago is ignored.
//
// Threads: the binding service's queue consumer, one offer at a time, so
// two offers of one peer are never handled together; control requests run
// synchronously on it. The offer bytes came from the network: only whole
// entries within the received length are read. Results are CoreResult
// codes as each function says.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "engine/binding.h"
#include "engine/codec_offer.h"
#include "engine/records.h"

// The onOffer handler of the binding service. CORE_OK when the offer was
// handled or ignored; otherwise the failed step's negative result, after
// the failure reply.
CoreResult engine_binding_on_offer(EngineBindingService *service, EngineBindingPeer *peer,
                                   const EngineCodecOffer *record, uint64_t length);

// The ACCEPT rule: stops the channel's request tasks toward the peer node,
// applies the version rule, makes ENGINE_CTL_PEER_ACCEPT and, when it
// succeeded, sends READY. CORE_OK; CORE_ERR_VERSION below version 4;
// CORE_ERR for a channel of neither kind or a set that cannot be made; the
// control request's or the send's negative result.
CoreResult engine_binding_on_accept(EngineBindingService *service, EngineBindingPeer *peer,
                                    const EngineCodecOffer *record, uint64_t length, const EngineMediaDesc *desc);

// Sweeps expired answered marks off every peer, then looks up desc's bind
// sequence id in this peer's answered marks: CORE_DONE when it is held
// (the request is to be ignored), CORE_OK when it is new (a mark without
// expiry is inserted) or already marked without expiry.
CoreResult engine_binding_answered_check(EngineBindingService *service, EngineBindingPeer *peer,
                                         const EngineMediaDesc *desc);
