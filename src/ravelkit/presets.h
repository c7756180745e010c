// Element tuning presets: the property records that tune a node's element
// for live, low-latency streaming, by node type, element kind or codec
// implementation id, video backend, the codec descriptor copied into the
// node and the machine's processor count and class.
//
// The set-ups add records to the node's element list (node.h), so they take
// effect when the element joins its pipeline; a later record of the same
// name replaces an earlier one, which is how pipeline builders override
// these defaults. Encoders, decoders and the MPEG-TS muxer also get their
// parser companions here.
//
// The set-ups run on the thread that builds the node; ravk_node_set_bitrate
// (datapath.h) and the provider's key-frame change use the same tables on
// running elements from engine threads. Everything returns 0 or -1; -1 fails
// the node.
#pragma once

#include <cstdint>

#include "ravelkit/node.h"

// Processor-count thresholds of the thread presets.
uint32_t ravk_preset_t16(uint32_t processors);  // clamped to 4..16
uint32_t ravk_preset_t4(uint32_t processors);   // at least 4
uint32_t ravk_preset_t8(uint32_t processors);   // at least 8
uint32_t ravk_preset_c4(uint32_t processors);   // 1..3 as is, 4 from 4, 1 when unknown

int ravk_node_setup_queue(RavkNode *node);
int ravk_node_setup_appsrc(RavkNode *node);
int ravk_node_setup_appsink(RavkNode *node);
int ravk_node_setup_payloader(RavkNode *node);
int ravk_node_setup_tee(RavkNode *node);
int ravk_node_setup_filter(RavkNode *node);
int ravk_node_setup_encoder(RavkNode *node);
int ravk_node_setup_h264_encoder(RavkNode *node);
int ravk_node_setup_h265_encoder(RavkNode *node);
int ravk_node_setup_vp8_encoder(RavkNode *node);
int ravk_node_setup_vp9_encoder(RavkNode *node);
int ravk_node_setup_decoder(RavkNode *node);
int ravk_node_setup_h264_decoder(RavkNode *node);
int ravk_node_setup_h265_decoder(RavkNode *node);
int ravk_node_setup_muxer(RavkNode *node);
int ravk_node_setup_sink(RavkNode *node);

// Encoder pre-check: the H.264 caps text, the accepted H.265 ids.
int ravk_node_h264_encoder_caps(RavkNode *node);
int ravk_node_h265_encoder_check(RavkNode *node);

// Key-frame interval of n frames before start.
int ravk_node_keyframe_property(RavkNode *node, uint32_t n);
// Bitrate before start; -1 also for 0 bit/s.
int ravk_node_bitrate_property(RavkNode *node, uint64_t bits_per_second);

// The key-frame and bitrate records of an encoder node, for setting on its
// running element (the caller owns and frees the records). running 1 is
// the running-element table, which refuses the JPEG encoder's bitrate.
// Return the record count (0 when accepted with nothing to set) or -1.
int ravk_keyframe_records(const RavkNode *node, uint32_t n, RavkProperty *out[2]);
int ravk_bitrate_records(const RavkNode *node, uint64_t bits_per_second, int running, RavkProperty *out[1]);
