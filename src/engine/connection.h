// Connection control: the engine's side of a binding, taking a binder
// channel from idle through connecting and bound to closing and back, on
// both nodes.
//
// The viewer connects (ENGINE_CMD_CONNECT, kind 1); the binding service
// carries the codec offers and brings the streamer's reactions back as the
// control requests 0x5406..0x540F, whose handlers live here; a broadcast
// starts with engine_broadcast_start. Every teardown ends in the delayed
// teardown task, which stops the binding's media and reports its final
// event (ENGINE_EVT_BIND_CLOSED, _BUSY or _FAILED). A session has at most
// one such task pending: scheduling a new one cancels the old one, whose
// final event is then not posted.
//
// Threads: connect, disconnect and the broadcast start run on the command
// topic's consumer; the peer handlers on the binding service's queue
// consumer (through the control service); the delayed task on
// CORE_DEFAULT_EXECUTOR. The binder table, provider and display lock
// themselves; no lock is held here across a call into them.
//
// Results are CoreResult codes: 0 done, 1 nothing done (rejected, already
// in progress, not this channel), -79 busy, -91 malformed request, -100
// missing or failed, or a step's own negative result, as each says.
#pragma once

#include <cstdint>

#include "core/names.h"
#include "core/result.h"
#include "engine/records.h"

struct EngineSession;

// The text of the "connection could not start" report, full stop added by
// the poster.
#define ENGINE_TEXT_CONNECTION_FAILED "Failed on start connection"
#define ENGINE_TEXT_VERSIONS_INCOMPATIBLE "The application versions are incompatible"
#define ENGINE_TEXT_PLEASE_UPDATE "Please update the application to the latest version"

// Control requests 0x5406..0x540F (version mismatch and the peer requests
// of the binding service), answered for the control service. The input is
// checked before use: a bind record must be 804 bytes or more, a stream set
// must hold the records its count claims (-91 otherwise). CORE_NOT_MINE for
// any other code; CORE_ERR without a session.
CoreResult engine_on_connection_request(EngineSession *session, uint32_t code, const void *in, uint64_t in_len,
                                        void *out, uint64_t *out_len);

// Starts this node's side of a binding: kind 1 asks (connecting, offer
// negotiated, ENGINE_MSG_BIND_REQUEST), kind 2 answers the stored request
// (answer negotiated, capture objects made, ENGINE_MSG_BIND_ACCEPT); both
// post ENGINE_CMD_RECEIVE_OPEN first. 0 started; 1 channel closing
// (ENGINE_EVT_BIND_FAILED posted); -100 unknown kind, no channel or no
// stored offer; another negative result of a step.
CoreResult engine_connect(EngineSession *session, const EngineBindRecord *record);

// Puts the channel into closing, posts ENGINE_MSG_UNBIND and
// ENGINE_EVT_BIND_CLOSING and schedules the teardown (ENGINE_TASK_UNBIND).
// 0 scheduled; the non-zero result of engine_binder_set_closing (channel
// not connecting or bound, or another binding) with nothing else done;
// -100 when the task could not be made.
CoreResult engine_disconnect(EngineSession *session, const EngineBindRecord *record);

// Opens the broadcast channel "p2m.bnd.%08X.chnl" numbered
// p2mChannelCount, negotiates it and posts ENGINE_MSG_BROADCAST_OPEN. The
// negotiation's result; a negative result of a step; -100.
CoreResult engine_broadcast_start(EngineSession *session, const EngineMediaDesc *desc);

// ENGINE_CTL_PEER_REQUEST on the streamer: 0 announced (ENGINE_EVT_BIND_OPENED)
// or accepted; 1 rejected or already in progress; -79 busy (evaluation
// running, or the table serves another binding); other negative results.
CoreResult engine_on_peer_request(EngineSession *session, const EngineStreamSet *set);

// ENGINE_CTL_PEER_ACCEPT on the requester: adopts the answer, sets up
// playback and sending by the roles, binds and posts ENGINE_EVT_BIND_STATE.
// 0; -100 for an idle channel; negative results of the steps.
CoreResult engine_on_peer_accept(EngineSession *session, const EngineStreamSet *set);

// ENGINE_CTL_PEER_READY on the streamer: completes its side. 0; -100 when
// the set does not match the channel; negative results of the steps.
CoreResult engine_on_peer_ready(EngineSession *session, const EngineStreamSet *set);

// ENGINE_CTL_PEER_BUSY, ENGINE_CTL_PEER_REJECT, ENGINE_CTL_PEER_UNBIND
// (`code`): closing, ENGINE_EVT_BIND_CLOSING and the teardown under
// ENGINE_TASK_PEER_BUSY, _PEER_REJECT or _UNBIND. 0 (also when the channel
// did not change); 1 when the record does not match the channel; -100 when
// the task could not be made.
CoreResult engine_on_peer_end(EngineSession *session, uint32_t code, const EngineBindRecord *record);

// ENGINE_CTL_PEER_UPDATE: caps the frame rate of each listed stream that
// carries one. The last cap's result; 1 when none or another session.
CoreResult engine_on_peer_update(EngineSession *session, const EngineStreamSet *set);

// ENGINE_CTL_BROADCAST_JOIN: posts ENGINE_EVT_CHANNEL_BOUND. 0.
CoreResult engine_on_broadcast_join(EngineSession *session, const EngineBindRecord *record);

// ENGINE_CTL_BROADCAST_LEAVE on a viewer: tears a p2p binding of the
// channel down without a final event, and posts ENGINE_EVT_CHANNELS_CLEARED.
// 0; -100 when the teardown task could not be made.
CoreResult engine_on_broadcast_leave(EngineSession *session, const EngineBindRecord *record);

// ENGINE_CTL_VERSION_MISMATCH: tells the user (ENGINE_EVT_MESSAGE). 0.
CoreResult engine_on_version_mismatch(EngineSession *session, const EngineBindRecord *record);

// The delayed teardown task (user[0] the session, user[1] the record's
// handle in CORE_HANDLES_STATUS; name1 the task name): stops the media of
// the binding, withdraws its streams or releases the channel, and posts the
// final event of the name. 1 (the task ends).
int engine_on_delayed_task(const CoreName *executor, uint64_t task, const CoreName *name1, const CoreName *name2,
                           void **user);

// Schedules the teardown of `record` at once under `taskName` (NULL: no
// final event), cancelling the pending one. CORE_OK; CORE_ERR when the
// record cannot be kept or the task cannot be scheduled.
CoreResult engine_schedule_teardown(EngineSession *session, const EngineBindRecord *record, const char *taskName);

// Cancels the session's pending teardown, waiting while it runs, and frees
// its record when it never ran. The session's destroy calls it first.
void engine_cancel_delayed_task(EngineSession *session);

// Sends the send profile of every plain record of the capability's last
// offer to the send service (ENGINE_SVC_SEND_PROFILE). The last request's
// result, a negative one at once; -100 without offer table or engine node.
CoreResult engine_send_profile_requests(EngineSession *session, const CoreName *channel);

// Binder-channel callback (user: the session): disconnects the channel's
// binding with a kind-0 record. 0.
int engine_disconnect_channel(const CoreName *channel, const CoreName *session, void *user);
