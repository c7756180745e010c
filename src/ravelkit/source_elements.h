// Source elements by device kind: the builders that turn a device record
// into the source descriptor a device node carries.
//
// Each builder fixes the element factory (through the element-name tables),
// the properties in the order they are applied, the caps text, the FourCC
// and the attributes of one kind of device. The device lists call them on
// the thread that delivers a device event or adds a virtual or test source;
// they touch nothing but the descriptor they build.
//
// The first five return the new descriptor, or NULL when the record is
// unusable or memory runs out; the two app-fed setups configure a
// descriptor the list made and return 0, or -1 when a step fails.
#pragma once

#include <cstdint>

#include "ravelkit/devices.h"
#include "ravelkit/source.h"

RavkSourceDescriptor *ravk_source_new_audio_capture(RavkSourceOps *ops, const RavkDeviceRecord *record);
RavkSourceDescriptor *ravk_source_new_camera(RavkSourceOps *ops, const RavkDeviceRecord *record);
RavkSourceDescriptor *ravk_source_new_screen(RavkSourceOps *ops, const RavkDeviceRecord *record);
RavkSourceDescriptor *ravk_source_new_audio_test(RavkSourceOps *ops, const RavkDeviceRecord *record);
RavkSourceDescriptor *ravk_source_new_video_test(RavkSourceOps *ops, const RavkDeviceRecord *record);

// Arguments of ravk_source_desc_new for the app-fed sources.
int32_t ravk_source_app_video_node_type(int32_t backend);

int ravk_source_setup_app_video(RavkSourceDescriptor *d, RavkSourceOps *ops, const RavkDeviceRecord *record);
int ravk_source_setup_app_audio(RavkSourceDescriptor *d, RavkSourceOps *ops, const RavkDeviceRecord *record);

// RavkCodecId of a FourCC: the codec it names, else raw video or raw audio.
uint32_t ravk_codec_id_from_video_fourcc(uint32_t fourcc);
uint32_t ravk_codec_id_from_audio_fourcc(uint32_t fourcc);
