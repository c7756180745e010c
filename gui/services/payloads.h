// The payload records that the notification centre hands to the windows,
// and the interface side's view of the engine event records that have no
// engine-side definition to read them through.
//
// Every payload is a plain value built by the centre from one event record
// on the event pump's worker thread, passed to the windows for one call and
// then destroyed: copying one copies every field, strings and vectors
// included. A window that keeps a payload copies it. Ids are PkXID (the 32
// key bytes of an engine CoreName). The event views travel as raw bytes in
// host byte order, so their layouts are pinned by static_asserts; the centre
// reads one only after checking that the event carries all of its bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/codec_desc.h"
#include "core/names.h"
#include "services/buffer.h"
#include "services/codecs.h"
#include "services/display.h"
#include "services/remote_nodes.h"
#include "services/utils.h"

// The rotation word of a received video stream, as the media layer reports
// it. The frame converter turns by 90, 180 and 270 degrees for 2, 3 and 4;
// every other value means upright.
enum netframe_rotation_e : uint32_t {
    NETFRAME_ROTATION_90 = 2,
    NETFRAME_ROTATION_180 = 3,
    NETFRAME_ROTATION_270 = 4,
};

// One binding as a window sees it (bind events and channel statistics).
struct PkMediaBindDescriptor {
    PkXID channel;         // "p2p.bnd.%08X.chnl" or "p2m.bnd.%08X.chnl"
    PkXID peer;            // node id of the peer
    PkXID session;         // network session with the peer
    PkXID bindSequenceId;  // "bnd.seq." + 16 hexadecimal digits
    int32_t kind = 0;      // 1 requester, 2 answerer or broadcaster, 0 none
    // The capture source serving the channel on the sending node; empty when
    // that node does not send, and always empty in channel statistics.
    std::string sourceName;
};

// A capture or playback pipeline of one stream.
struct PkMediaStreamDescriptor {
    PkXID channel;
    PkXID slotName;
    PkXID streamName;       // "stream.%08X", "split.stream.%08X" or "codec.%08X.stream.%08X"
    int32_t direction = 0;  // 0 capture and encoder side, 1 decoder and playback side
    int32_t word0 = 0;      // first word of the record (0)
    // 0 for capture; for playback bit 0 colour balance, bit 1 scaling, bit 2
    // aspect ratio, bit 3 window overlay.
    int32_t features = 0;
};

struct PkMediaAudioInfo {
    PkAudioFormat format1{};
    PkAudioFormat format2{};
    uint32_t securityFlags = 0;  // bit 0 AES-128, bit 1 AES-256
    uint64_t bytes = 0;          // counted since the previous report
};

struct PkMediaVideoInfo {
    PkVideoMode mode1{};
    PkVideoMode mode2{};
    uint32_t securityFlags = 0;
    uint64_t bytes = 0;
};

// Periodic statistics of one channel.
struct PkMediaChannelInfo {
    PkMediaAudioInfo sentAudio;
    PkMediaVideoInfo sentVideo;
    PkMediaAudioInfo receivedAudio;
    PkMediaVideoInfo receivedVideo;
    PkMediaBindDescriptor bind;
    uint64_t elapsedMs = 0;  // since the channel's statistics began
};

// Periodic totals of a multichannel broadcast.
struct PkMediaTotalInfo {
    PkAudioFormat audioFormat{};
    PkVideoMode videoMode{};
    uint32_t securityFlags = 0;
    uint64_t sentAudioBytes = 0;
    uint64_t sentVideoBytes = 0;
    uint64_t elapsedMs = 0;
    uint64_t channelCount = 0;  // channels reported in this round
};
static_assert(sizeof(PkMediaTotalInfo) == 64, "the totals payload is 64 bytes");

struct PkAudioTrial {
    bool passed = false;
    PkAudioFormat minimum{};
    PkAudioFormat maximum{};
};

struct PkVideoTrial {
    bool passed = false;
    PkVideoMode minimum{};
    PkVideoMode maximum{};
};

// Progress (no trials) or result of the codec evaluation of one codec pair.
struct PkEvaluateResults {
    PkAudioCodecDesc audioCodec;
    uint64_t audioReserved[2] = {};
    PkAudioFormat audioFormat{};
    PkVideoCodecDesc videoCodec;
    uint64_t videoReserved[2] = {};
    PkVideoMode trialMode{};
    uint64_t audioCodecIndex = 0;
    uint64_t audioCodecCount = 0;
    uint64_t audioUsableCount = 0;
    uint64_t videoCodecIndex = 0;
    uint64_t videoCodecCount = 0;
    uint64_t videoUsableCount = 0;
    std::vector<PkAudioTrial> audioTrials;  // in record order
    std::vector<PkVideoTrial> videoTrials;
};

// One network adapter of the machine.
struct PkAdapterInfo {
    uint32_t flags = 0;  // CORE_ADAPTER_* bits
    PkNetAddress address;
    PkNetAddress mask;
    PkNetAddress broadcast;
    std::string adapterId;  // at most 64 bytes
    std::string description;
};

// --- Engine event records read through these views ---

// ENGINE_EVT_FRAME_ROTATION: the stream name and its rotation word.
struct PkEventFrameRotation {
    CoreName streamName;
    uint32_t rotation;
};
static_assert(sizeof(PkEventFrameRotation) == 140 && offsetof(PkEventFrameRotation, rotation) == 136,
              "frame rotation travels as 140 raw bytes");

// ENGINE_EVT_AUDIO_SOURCE_INFO: an application audio source record of which
// the event fills the device index, the FourCC and the format.
struct PkEventAudioSource {
    uint8_t head[8];
    int32_t deviceIndex;  // -1
    uint8_t names[148];
    uint32_t fourcc;
    uint8_t body[2096];
    PkAudioFormat format;
};
static_assert(sizeof(PkEventAudioSource) == 2272 && offsetof(PkEventAudioSource, fourcc) == 160 &&
                  offsetof(PkEventAudioSource, format) == 2260,
              "audio source info travels as 2272 raw bytes");

// ENGINE_EVT_VIDEO_SOURCE_INFO: the same for video; the mode is the first of
// the record's three.
struct PkEventVideoSource {
    uint8_t head[8];
    int32_t deviceIndex;  // -1
    uint8_t names[148];
    uint32_t fourcc;
    uint8_t body[2096];
    PkVideoMode mode;
    uint8_t otherModes[36];
};
static_assert(sizeof(PkEventVideoSource) == 2312 && offsetof(PkEventVideoSource, fourcc) == 160 &&
                  offsetof(PkEventVideoSource, mode) == 2260,
              "video source info travels as 2312 raw bytes");

// One trial row of ENGINE_EVT_EVAL_RESULT.
struct PkEventEvalTrial {
    int32_t kind;      // 0 audio, 1 video, -1 empty row
    uint32_t passed;   // non-zero: passed
    uint8_t minimum[16];  // audio: the 12-byte format and 4 zero bytes; video: a mode
    uint8_t maximum[16];
};
static_assert(sizeof(PkEventEvalTrial) == 40, "an evaluation trial row is 40 bytes");

// The fixed head of ENGINE_EVT_EVAL_RESULT; trialCount rows follow it.
struct PkEventEvalHead {
    CoreAudioCodecDesc audioCodec;
    uint64_t audioReserved[2];
    PkAudioFormat audioFormat;
    uint8_t audioPadding[4];
    CoreVideoCodecDesc videoCodec;
    uint64_t videoReserved[2];
    PkVideoMode trialMode;
    uint64_t audioCodecIndex;
    uint64_t audioCodecCount;
    uint64_t audioUsableCount;
    uint64_t videoCodecIndex;
    uint64_t videoCodecCount;
    uint64_t videoUsableCount;
    uint64_t trialCount;
};
static_assert(sizeof(PkEventEvalHead) == PK_EVAL_RECORD_HEAD_SIZE &&
                  offsetof(PkEventEvalHead, audioCodec) == PK_EVAL_AUDIO_CODEC_OFFSET &&
                  offsetof(PkEventEvalHead, audioReserved) == 888 && offsetof(PkEventEvalHead, audioFormat) == 904 &&
                  offsetof(PkEventEvalHead, videoCodec) == PK_EVAL_VIDEO_CODEC_OFFSET &&
                  offsetof(PkEventEvalHead, videoReserved) == 1832 && offsetof(PkEventEvalHead, trialMode) == 1848 &&
                  offsetof(PkEventEvalHead, audioCodecIndex) == 1864 &&
                  offsetof(PkEventEvalHead, trialCount) == 1912,
              "evaluation result head is 1920 bytes");
