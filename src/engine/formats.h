// The video modes and audio formats a negotiated binder channel runs at.
//
// Once the codecs are chosen, the answering node fits its send mode between
// its encoder's limits, the peer decoder's limits and its capture device,
// aligned to both codecs' steps, and fixes the receive mode and both audio
// formats; the requesting node adopts what the answer says; a broadcast uses
// a fixed profile made once when it starts. Results go into the
// capability's slots (0 video send, 1 video receive, 6 audio send, 7 audio
// receive) and the fitted send mode also into tag group 0x1800 of the
// published offer and answer records. Called on the negotiation's thread
// (command consumer or control-request caller); the capability's own lock
// guards the slots and its video limit. Results: 0, 1 for a direction left
// as it was because its inputs are incomplete, or a negative CoreResult.
#pragma once

#include <cstdint>

#include "core/codec_desc.h"
#include "core/result.h"
#include "core/video.h"
#include "engine/capability.h"
#include "engine/props.h"
#include "engine/records.h"

// The negotiation's eight work records: the chosen codec records.
enum : int {
    ENGINE_WORK_LOCAL_AUDIO_DECODER = 0,  // W0
    ENGINE_WORK_LOCAL_VIDEO_DECODER = 1,  // W1
    ENGINE_WORK_LOCAL_AUDIO_ENCODER = 2,  // W2
    ENGINE_WORK_LOCAL_VIDEO_ENCODER = 3,  // W3
    ENGINE_WORK_PEER_AUDIO_DECODER = 4,   // W4
    ENGINE_WORK_PEER_VIDEO_DECODER = 5,   // W5
    ENGINE_WORK_PEER_AUDIO_ENCODER = 6,   // W6
    ENGINE_WORK_PEER_VIDEO_ENCODER = 7,   // W7
    ENGINE_WORK_RECORDS = 8,
};

// How the peer's records are read.
enum : int {
    ENGINE_HOW_OFFER_ONLY = 0,  // no peer records
    ENGINE_HOW_ANSWER = 1,      // this node answers a request
    ENGINE_HOW_ADOPT = 2,       // this node adopts the peer's answer
};

// What one plain record of the peer says; a value whose tags are missing or
// incomplete is all zero.
struct EngineNegotiatedPeerValues {
    EngineAudioFormat sendFormat;
    EngineAudioFormat encoderFormat;
    EngineAudioFormat decoderFormat;
    EngineAudioFormat receiveFormat;
    CoreVideoMode displayMode;
    CoreVideoMode sendMode;
    CoreVideoMode encoderMax;
    uint32_t encoderAlign[2];  // width step, height step
    CoreVideoMode receiveMode;
    CoreVideoMode decoderMax;
    uint32_t decoderAlign[2];
};

// Reads the peer's values from one of its plain records: audio fields when
// the record has the audio bit, video fields when it has the video bit.
// With how 1 and peerSentCodecs the codec limits come from the chosen peer
// codec records in work (W4 to W7); with how 2 the encoder and decoder
// limits trade places. Returns out.
EngineNegotiatedPeerValues *engine_negotiated_peer_values_read(const EngineStreamRecord *peer, int how,
                                                               int peerSentCodecs,
                                                               const EngineStreamRecord work[ENGINE_WORK_RECORDS],
                                                               EngineNegotiatedPeerValues *out);

// For every plain record of the peer that has a record of the same name in
// the answer: read its values and settle the audio format or the video
// modes of the matching offer record. 0 (also without peer records); -91
// when the class word of the channel's kind (p2pClass, or videoSizeClass on
// a p2m channel) is -1; -100 when the answer names a record the offer lacks,
// a local codec cannot be read or a send mode cannot be fitted.
CoreResult engine_negotiate_finish(EngineCapability *capability, uint32_t mode, const EngineLocalCaps *caps,
                                   EngineStreamTable *offer, EngineStreamTable *answer,
                                   const EngineStreamTable *peerRecords, int how, int p2m,
                                   const EngineStreamRecord work[ENGINE_WORK_RECORDS]);

// The audio part: send format into slot 6 and receive format into slot 7,
// as the mode calls for. 0 or 1.
CoreResult engine_audio_formats_finish(EngineCapability *capability, uint32_t mode, const EngineLocalCaps *caps,
                                       int how, const EngineNegotiatedPeerValues *peer, EngineStreamRecord *offer,
                                       EngineStreamRecord *answer);

// The video part: send mode into slot 0 and receive mode into slot 1. 0, 1
// or -100.
CoreResult engine_video_modes_finish(EngineCapability *capability, uint32_t mode, const EngineLocalCaps *caps,
                                     int how, int p2m, const EngineNegotiatedPeerValues *peer,
                                     const EngineStreamRecord work[ENGINE_WORK_RECORDS], EngineStreamRecord *offer,
                                     EngineStreamRecord *answer);

// The answering node's send mode from its encoder, the peer's receive mode,
// decoder limit and alignment, and its capture device; on a p2m channel the
// capability's video limit. Written into group 0x1800 of both property lists
// (existing tags only) and slot 0. 0; 1 when the peer's receive part is
// incomplete (nothing stored); -100 when no complete mode results.
CoreResult engine_video_send_mode(EngineCapability *capability, int p2m, const EngineLocalCaps *caps,
                                  const CoreVideoCodecDesc *encoder, const EngineNegotiatedPeerValues *peer,
                                  EngineProps *offerProps, EngineProps *answerProps);

// The answering node's receive mode from its playback device, its decoder
// and the peer's send mode and encoder limit; on a p2m channel the peer's
// encoder limit. Stored in slot 1. 0; 1 when the peer's send part is
// incomplete.
CoreResult engine_video_receive_mode(EngineCapability *capability, int p2m, const EngineLocalCaps *caps,
                                     const CoreVideoCodecDesc *decoder, const EngineNegotiatedPeerValues *peer);

// 48 kHz stereo S16LE into slot 6 (and group 0x2800 of both lists) when the
// peer's decoder and receive formats are complete; 0, else 1.
CoreResult engine_audio_send_format(EngineCapability *capability, const EngineNegotiatedPeerValues *peer,
                                    EngineProps *offerProps, EngineProps *answerProps);

// 48 kHz stereo S16LE into slot 7 when the peer's send and encoder formats
// are complete; 0, else 1.
CoreResult engine_audio_receive_format(EngineCapability *capability, const EngineNegotiatedPeerValues *peer);

// The adopting node takes the answer's values: slot 0 = the peer's encoder
// limit as read for how 2, slot 6 = its encoder format. 0; 1 when the value
// is incomplete (the slot keeps what it held).
CoreResult engine_video_send_mode_adopt(EngineCapability *capability, const EngineNegotiatedPeerValues *peer);
CoreResult engine_audio_send_format_adopt(EngineCapability *capability, const EngineNegotiatedPeerValues *peer);

// The broadcast's video mode from the source mode and the requested mode
// (either may be incomplete), bounded by the size class, the default video
// encoder and the request, back in the source's aspect and aligned to 64 x
// 32. Also stored as the capability's videoLimit. Returns out; NULL for a
// NULL capability or out.
CoreVideoMode *engine_broadcast_profile_make(EngineCapability *capability, const CoreVideoMode *source,
                                             const CoreVideoMode *requested, CoreVideoMode *out);
