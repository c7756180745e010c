// Pipeline and service events: the two handlers of the engine session that
// tie the peer services and the multimedia framework to the binder
// channels.
//
// engine_on_service_event, on the event topic, follows what the receive,
// send and presence services report: it counts each channel's received and
// sent bits, keeps its sets of running streams, starts the encoders of a
// stream a peer opened, applies the receivers' bitrate wishes (for a
// broadcast, the weakest bound viewer's), tears a binding down when its
// last stream has gone or a stream could not be set up, and offers a
// running broadcast to a peer that appeared. engine_on_pipeline_event, on
// the framework's pipeline channel, forwards encoded samples to the send
// service for every bound channel, reports start failures in words, relays
// format, rotation and playback-setup reports and sends a frame-rate cap to
// the peer when a playback asks for one.
//
// Threads: the service handler runs on the event topic's consumer, one
// event at a time; the pipeline handler on the framework's streaming and
// bus threads, concurrently with it and with the control service. Neither
// keeps state of its own; channel words are written under the binder
// table's lock and store references. Every record's length is checked
// before it is read: a short record is dropped (and counted) or answered
// CORE_ERR_INVALID. Results as each function says.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/names.h"
#include "core/result.h"
#include "ravelkit/bus.h"

struct CoreQueueEntry;
struct EngineSession;

// ENGINE_EVT_FRAME_ROTATION: the stream and its rotation code.
struct EngineFrameRotation {
    CoreName stream;
    uint32_t rotation;
};
static_assert(sizeof(EngineFrameRotation) == 140 && offsetof(EngineFrameRotation, rotation) == 136,
              "frame rotation travels as 140 raw bytes");

// Event topic subscriber (user[0]: the session).
CoreResult engine_on_service_event(const CoreQueueEntry *message, void **user);

// RAVK_PIPELINE_CHANNEL handler (user[0]: the session). CORE_NOT_MINE for
// a code outside 0x5A00..0x5A08; CORE_ERR_INVALID for a record shorter than
// its code's; otherwise CORE_OK, except RAVK_EVENT_STATISTICS, which
// answers engine_on_stream_update.
CoreResult engine_on_pipeline_event(uint32_t code, const void *in, uint64_t in_len, void *out, uint64_t *out_len,
                                    void **user);

// The same with the session given directly.
CoreResult engine_pipeline_event(EngineSession *session, uint32_t code, const void *in, uint64_t in_len, void *out,
                                 uint64_t *out_len);

// Posts the start-failure text of an error record (ENGINE_EVT_STREAMER_ERROR
// for a capture, ENGINE_EVT_VIEWER_ERROR for a playback) and, when the video
// branch failed, disconnects every bound or closing channel. CORE_OK.
CoreResult engine_report_start_failure(EngineSession *session, const RavkErrorEvent *record);

// Binder-channel callback of a samples event (context: the samples being
// forwarded): ENGINE_SVC_SEND_FRAMES for the channel. 0.
int engine_forward_samples(const CoreName *channel, const CoreName *session, void *context);

// A playback's frame-rate wish (RAVK_EVENT_STATISTICS of origin 0) sent to
// the peer as a one-record stream update. CORE_OK or the node service's
// answer; 0 for a capture's record; CORE_ERR without an answer table,
// memory or node; CORE_ERR_NOT_FOUND for a stream the last answer did not
// hold; a binder error as it came.
CoreResult engine_on_stream_update(EngineSession *session, const RavkStatisticsEvent *record);

// Records dropped by the two handlers because they were shorter than their
// code's record.
uint64_t engine_events_refused_count(void);
