// What activation hands the media framework before the engine starts: the
// VA-API codec descriptors the command line asked for, and the feature
// word of the VA-API processing backend.
//
// Pure functions of their arguments (pk_append_vaapi_codecs writes the node
// configuration it is given); called on the GTK main thread during
// activation. Nothing throws except on memory exhaustion.
#pragma once

#include <cstdint>
#include <string>

#include "core/codec_desc.h"

class PkConfig;
class VeltranaApp;

// Capability masks of the VA-API descriptors.
#define PK_VAAPI_H264_PROFILES 4u
#define PK_VAAPI_H265_PROFILES 2u

// One VA-API descriptor: direction RAVK_CODEC_ENCODER (input "NV12",
// output the codec) or RAVK_CODEC_DECODER (input the codec, output "I420"),
// hardware, the platform class, the VA-API backend, the driver name as its
// first text and "VA-API" as its family, 64 x 64 to 3840 x 2176 at 1 to 60
// frames per second, sizes in steps of 32; every other byte zero.
CoreVideoCodecDesc pk_vaapi_codec_desc(uint32_t direction, uint32_t codecFourcc, uint64_t profiles,
                                       const std::string &driverName);

// Appends a descriptor per set VA-API option: encoders to
// config.videoEncoders, decoders to config.videoDecoders, each in the order
// H.264, H.265, VP8, VP9, AV1. The driver name is "LIBVA_DRIVER_NAME".
void pk_append_vaapi_codecs(const VeltranaApp &app, PkConfig &config);

// The feature word of the VA-API processing backend: 0 without
// "vaapi-proc"; with it 46 when a VA-API decoder option is set, else 44.
int32_t pk_vaapi_feature_word(const VeltranaApp &app);
