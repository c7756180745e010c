// Channel negotiation: what one binder channel carries, settled on each
// node of a binding and on a broadcaster.
//
// engine_negotiate reads the selected capture and playback devices into a
// fresh EngineLocalCaps, builds the local stream table of the channel
// (engine/offer_tables.h), and, with the peer's stream set, chooses an
// encoder and a decoder per medium and direction (engine/codec_choice.h)
// and fits the formats (engine/formats.h). The offer (this node's side of
// the streams) and the answer (the peer's side) replace the capability's
// tables and go to the binding service with ENGINE_SVC_SET_OFFER and
// ENGINE_SVC_SET_ANSWER on ENGINE_NODE_SERVICE; a sending node also hands
// the send service its send profiles and the media provider its stream
// tables.
//
// Mode is the binding's role bit: ENGINE_ROLE_REQUESTER (this node asked)
// or ENGINE_ROLE_ANSWERER (it accepted, or broadcasts). How says what the
// peer's records are: ENGINE_HOW_OFFER_ONLY (none), ENGINE_HOW_ANSWER (a
// request to answer) or ENGINE_HOW_ADOPT (the peer's answer to adopt).
//
// Threads: the command topic's consumer (bind request, broadcast start) and
// the binding service's queue consumer (accepts) call in; the node-service
// handlers run synchronously on the same thread. The peer's records are
// copied before anything writes to them, so a caller's set stays as it was.
// Results: 0, or a negative CoreResult (CORE_ERR for every failure of the
// table building, the choice and the formats).
#pragma once

#include <cstdint>

#include "core/result.h"
#include "engine/capability.h"
#include "engine/formats.h"
#include "engine/offer_tables.h"
#include "engine/records.h"

struct EngineSession;

// The peer's side of a negotiation. `records` is the negotiation's own
// table (a copy of the peer set's records): the codec choice writes agreed
// H.264 features into it.
struct EngineNegotiationPeer {
    int32_t how;                 // ENGINE_HOW_*
    uint32_t kind;               // the peer set's kind word
    EngineStreamTable *records;  // node pool block owned by the negotiation
};

// Negotiates the channel desc->channel for `session` in `mode`, with the
// peer's set (NULL: none) read as `how`. CORE_OK; CORE_ERR_INVALID for a
// missing session, description or capability; the first negative result of
// the device reads, the table building, the publication, the send profiles
// or the provider's stream tables.
CoreResult engine_negotiate(EngineSession *session, uint32_t mode, const EngineMediaDesc *desc,
                            const EngineStreamSet *peer, int32_t how);

// Builds the local table and, with peer records, the offer and answer of
// the channel. *offer and *answer are node pool blocks for the caller, NULL
// when not made (no answer without peer records). CORE_OK; CORE_ERR for a
// channel of neither kind, a mode with no media, or any failure (both
// outputs freed and NULL).
CoreResult engine_negotiate_streams(EngineCapability *capability, uint32_t mode, const EngineMediaDesc *desc,
                                    const EngineLocalCaps *caps, const EngineNegotiationPeer *peer,
                                    uint32_t combinedProfile, EngineStreamTable **offer, EngineStreamTable **answer);

// Chooses the codecs of each counted stream into `work` and lays out the
// offer (the plain records of the local table with the chosen codecs, and
// with peer codec records also the chosen local codec records) and the
// answer (the peer's side). CORE_OK; CORE_ERR when a choice fails, a plain
// record of a chosen stream is missing or a table cannot be allocated (no
// output is left then).
CoreResult engine_negotiate_answer(EngineCapability *capability, uint32_t mode, const EngineMediaDesc *desc,
                                   EngineStreamTable *local, const EngineLocalCaps *caps,
                                   const EngineNegotiationPeer *peer, const EngineDefaultCodecs *defaults,
                                   EngineStreamRecord work[ENGINE_WORK_RECORDS], EngineStreamTable **offer,
                                   EngineStreamTable **answer);

// Publishes `table` for desc's binding on the capability's channel
// (ENGINE_NODE_SERVICE): code ENGINE_SVC_SET_OFFER or ENGINE_SVC_SET_ANSWER.
// The node service's result.
CoreResult engine_negotiation_publish(EngineCapability *capability, uint32_t code, const EngineStreamTable *table,
                                      const EngineMediaDesc *desc);
