// Media requests of the engine facade: the plain functions by which the
// windows and dialogs ask the engine about devices and codecs, change the
// picture of a running playback, add the application-fed display source and
// publish a changed profile field; and the readers of channel and stream
// names and the list of evaluation modes.
//
// Each request builds one fixed-size record (every byte not named zero),
// sends it as a synchronous control request on ENGINE_CONTROL_SERVICE and
// turns the answer into a plain value. Two gates decide whether a request
// is sent at all: the node gate (an engine node runs) for the device
// listing requests, the session gate (an engine session and an engine node
// exist, that is, the engine has been started) for everything that changes
// the engine and for the codec requests. A closed gate or a failing
// request (a result below 0) gives the function's failure value, named at
// each function; nothing else changes. Answers are checked before they are
// used: a length from the engine never reaches past its record.
//
// The functions keep no state and run on the caller's thread (the GTK main
// thread or a window's worker), returning when the engine has answered;
// the engine serializes access to its registries itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ravelkit/datapath.h"
#include "services/codecs.h"
#include "services/display.h"
#include "services/utils.h"

// Media words of the requests.
enum : uint32_t {
    PK_MEDIA_AUDIO = 0,
    PK_MEDIA_VIDEO = 1,
};

// Kinds of pk_binder_channel_kind and pk_binder_channel_index.
enum : int32_t {
    PK_CHANNEL_P2P = 0,
    PK_CHANNEL_P2M = 1,
    PK_CHANNEL_NONE = -1,
};

// What pk_binder_channel_index answers for a name that is not of the kind.
#define PK_CHANNEL_INDEX_NONE 0x7FFFFFFF

// ---- name readers -----------------------------------------------------------------------

// PK_CHANNEL_P2P for "p2p.bnd.%08X.chnl", PK_CHANNEL_P2M for
// "p2m.bnd.%08X.chnl", PK_CHANNEL_NONE otherwise.
int32_t pk_binder_channel_kind(const PkXID &name);
// The channel index of a name of that kind; PK_CHANNEL_INDEX_NONE for
// another kind or a name that is not of it.
int32_t pk_binder_channel_index(const PkXID &name, int32_t kind);
// The stream kind (0 audio, 1 video, 2 other) of "stream.%08X" or
// "split.stream.%08X"; -1 for any other name.
int32_t pk_stream_name_kind(const PkXID &name);

// ---- playback window and application-fed source (session gate) ----------------------------

// Hands the playback window to the engine (0x5400): {0, words, handle,
// rect}. All zero detaches it; the shell does so at shut-down.
void pk_media_set_view_window(const uint64_t (&words)[2], uint64_t handle, const RavkRectangle &rect);

// Adds the application-fed video source `id` (0x542C) with its name and
// description (each cut to 1024 bytes) and its capture, reference and
// display modes. 0 (-1).
int32_t pk_media_add_video_source(const PkXID &id, const std::string &name, const std::string &description,
                                  const PkVideoMode &mode1, const PkVideoMode &mode2, const PkVideoMode &mode3);

// ---- capture devices (node gate) --------------------------------------------------------

// Number of capture sources of the medium (0x5411); 0 on failure.
uint64_t pk_media_device_count(uint32_t kind);
// Name of the source at `index` (0x5412), its bytes as the engine gives
// them; empty on failure. An empty name ends a device list.
std::string pk_media_device_name(uint32_t kind, int32_t index);
// Id of the source at `index` (0x5413); NONE_ID on failure.
PkXID pk_media_device_id(uint32_t kind, int32_t index);
// Id of the source selected in the medium's registry (0x5415),
// DEFAULT_DEVICE_ID when that device has gone; NONE_ID on failure.
PkXID pk_media_current_device_id(uint32_t kind);
// Number of modes the video source `id` lists (0x5423); 0 on failure.
uint64_t pk_media_device_property_count(const PkXID &id);
// The mode at `index` of the video source `id` (0x5424); all zero on
// failure.
PkVideoMode pk_media_device_property(const PkXID &id, uint32_t index);

// ---- device, picture and codec changes (session gate) -------------------------------------

// Makes `mode` the current mode of the video source `id` (0x5425). 0 (-1).
int32_t pk_media_set_device_property(const PkXID &id, const PkVideoMode &mode);

// The colour balance of the playback (0x5437 to 0x543A). 0 (-1).
int32_t pk_media_set_brightness(const RavkColorBalanceValue &value);
int32_t pk_media_set_contrast(const RavkColorBalanceValue &value);
int32_t pk_media_set_saturation(const RavkColorBalanceValue &value);
int32_t pk_media_set_hue(const RavkColorBalanceValue &value);
// Keeps (true) or frees the picture's aspect ratio (0x543C). 0 (-1).
int32_t pk_media_set_force_aspect_ratio(bool on);

// Number of encoders of the medium (0x543D); 0 on failure.
uint64_t pk_media_encoder_count(uint32_t kind);
// Number of those whose descriptor is marked usable (0x543E); 0 on failure.
uint64_t pk_media_usable_encoder_count(uint32_t kind);
// The descriptors of the encoder at `index` (0x543F): for kind 1 the video
// half describes it and the audio half is all zero, for kind 0 the other
// way round. The default pair (FourCCs "NONE", device index -1, first
// words 0) on failure, which cannot be told from a missing encoder.
PkCodecDescPair pk_media_encoder_info(uint32_t kind, int32_t index);
// Replaces the video encoder at `index` with the pair's video descriptor
// (0x5441). 0 (-1).
int32_t pk_media_set_encoder_info(const PkCodecDescPair &pair, int32_t index);
// Number of video decoders (0x5442); 0 on failure.
uint64_t pk_media_video_decoder_count();

// ---- others ---------------------------------------------------------------------------------

// The 46 modes an evaluation may try: each of the 23 ladder sizes from
// 256x144 to 3840x2160 at 30/1, then at 60/1.
std::vector<PkVideoMode> pk_evaluation_mode_list();

// Publishes one of the node's own profile fields to the running engine as
// ENGINE_CMD_NODE_PROPERTY: the property `field` (a 32-byte key) with
// `length` bytes of `value` (none when value is null). The engine only
// replaces properties it was started with. The post's sequence number; 0
// without an engine node or context, or when no record could be had.
uint64_t pk_node_field_publish(const PkXID &field, const void *value, uint64_t length);
