// Source descriptors: how to make the GStreamer source element of one device.
//
// A descriptor holds the element factory (or the device monitor's device
// object), the properties to set on the element in order, its caps text, the
// modes it can deliver, typed attributes and the mode the user selected. The
// builders of source_elements.h fill one per device; a device node keeps up
// to two and frees them with slot `free`. Callers go through the operations
// table (RavkSourceOps) that ravk_source_desc_new fills; the table is the
// same for every descriptor.
//
// A descriptor has no lock: its builder writes it completely before the node
// is listed; afterwards only the engine's control thread changes it, while
// other threads read it holding a reference on the node.
//
// Every slot refuses a null descriptor or a null output with -1 and returns 0
// on success unless its comment says otherwise. Copies out of a descriptor
// are bounded by the capacity the caller gives.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/codec_desc.h"
#include "core/names.h"
#include "core/queue.h"
#include "core/video.h"

struct RavkProperty;
typedef struct _GstDevice GstDevice;

#define RAVK_SOURCE_TEXT_SIZE 1024

// Attribute ids.
enum : uint32_t {
    RAVK_ATTR_AUDIO_FORMAT = 0x2000,  // RavkAudioFormat; rebuilds the modes as the audio list
    RAVK_ATTR_MODE_A = 0x4000,        // CoreVideoMode, stored only
    RAVK_ATTR_MODE_B = 0x4001,        // CoreVideoMode, stored only
    RAVK_ATTR_VIDEO_MODE = 0x4002,    // CoreVideoMode; rebuilds the modes as the video list
    RAVK_ATTR_SCALE = 0x4003,         // double, stored only
};

// Owned bytes with their length (a mode entry, the selection).
struct RavkSourceBlob {
    uint8_t *data;
    uint64_t length;
};

struct RavkSourceAttribute {
    uint32_t id;
    uint8_t *data;    // NULL when set without bytes
    uint64_t length;  // kept as given, even without bytes
};

struct RavkSourceSize {
    uint32_t width;
    uint32_t height;
};

struct RavkSourceRate {
    uint32_t numerator;
    uint32_t denominator;
};

struct RavkSourceDescriptor {
    GstDevice *device;  // a reference of ours, or NULL
    int32_t is_default;
    int32_t loopback;
    int32_t audio_backend;
    int32_t video_backend;
    uint32_t codec;  // RavkCodecId
    uint32_t media;  // 1 audio, 2 video
    uint32_t device_class;

    RavkProperty **properties;  // NULL when the array could not be made
    uint64_t property_count;
    uint64_t property_capacity;

    RavkSourceBlob *modes;
    uint64_t mode_count;
    uint64_t mode_capacity;

    RavkSourceAttribute *attributes;
    uint64_t attribute_count;
    uint64_t attribute_capacity;

    char factory[RAVK_SOURCE_TEXT_SIZE];
    char role[RAVK_SOURCE_TEXT_SIZE];
    char caps[RAVK_SOURCE_TEXT_SIZE];
    CoreBuffer name;  // block from the default pool
    uint32_t fourcc;
    CoreName id;
    int32_t node_type;  // 1 capture source, 2 app-fed (binary) source
    int32_t reserved;

    // Working tables of the video mode list.
    uint64_t size_count;
    RavkSourceSize *sizes;
    uint64_t rate_count;
    RavkSourceRate *rates;

    int32_t mode_index;  // -1: none
    RavkSourceBlob *selection;
};

// The operations, in slot order. Slot 4 takes ownership of the record only
// when it returns 0.
struct RavkSourceOps {
    int (*get_device)(RavkSourceDescriptor *d, void **out);
    int (*get_audio_backend)(RavkSourceDescriptor *d, int32_t *out);
    int (*get_video_backend)(RavkSourceDescriptor *d, int32_t *out);
    int (*clear_properties)(RavkSourceDescriptor *d);
    int (*add_property)(RavkSourceDescriptor *d, RavkProperty *property);
    int (*get_name)(RavkSourceDescriptor *d, CoreBuffer *out);
    int (*set_name)(RavkSourceDescriptor *d, const CoreBuffer *name);
    int (*get_id)(RavkSourceDescriptor *d, CoreName *out);
    int (*set_id)(RavkSourceDescriptor *d, const CoreName *id);
    int (*get_caps)(RavkSourceDescriptor *d, char *out, uint64_t size);
    int (*set_factory)(RavkSourceDescriptor *d, const char *factory);
    int (*get_factory)(RavkSourceDescriptor *d, char *out, uint64_t size);
    int (*get_role)(RavkSourceDescriptor *d, char *out, uint64_t size);
    int (*property_count)(RavkSourceDescriptor *d, uint64_t *out);
    int (*property_at)(RavkSourceDescriptor *d, int32_t index, RavkProperty **out);
    // 1 and the borrowed record when found, 0 when not, -1 without an array.
    int (*find_property)(RavkSourceDescriptor *d, const char *name, RavkProperty **out);
    int (*get_media)(RavkSourceDescriptor *d, uint32_t *out);
    int (*get_class)(RavkSourceDescriptor *d, uint32_t *out);
    int (*get_codec)(RavkSourceDescriptor *d, uint32_t *out);
    int (*get_node_type)(RavkSourceDescriptor *d, int32_t *out);
    int (*get_reserved)(RavkSourceDescriptor *d, int32_t *out);
    int (*is_default)(RavkSourceDescriptor *d, int32_t *out);
    int (*is_loopback)(RavkSourceDescriptor *d, int32_t *out);
    int (*has_class)(RavkSourceDescriptor *d, uint32_t bits, int32_t *out);
    int (*set_caps_fmt)(RavkSourceDescriptor *d, const char *format, ...) __attribute__((format(printf, 2, 3)));
    int (*set_caps)(RavkSourceDescriptor *d, const char *text);
    int (*append_caps_fmt)(RavkSourceDescriptor *d, const char *format, ...) __attribute__((format(printf, 2, 3)));
    int (*append_caps)(RavkSourceDescriptor *d, const char *text);
    int (*set_fourcc)(RavkSourceDescriptor *d, uint32_t fourcc);
    int (*get_fourcc)(RavkSourceDescriptor *d, uint32_t *out);
    int (*get_extra)(RavkSourceDescriptor *d, uint64_t *out);
    int (*check)(RavkSourceDescriptor *d);
    int (*unsupported)(RavkSourceDescriptor *d, ...);
    // -1 when the id is not set or its bytes do not fit in `capacity`.
    int (*get_attribute)(RavkSourceDescriptor *d, uint32_t id, void *out, uint64_t capacity);
    int (*set_attribute)(RavkSourceDescriptor *d, uint32_t id, const void *data, uint64_t length);
    int (*mode_count)(RavkSourceDescriptor *d, uint64_t *out);
    // Copies the entry and writes its length; -1 (length 0) out of range or
    // when the entry does not fit in `capacity`.
    int (*mode_at)(RavkSourceDescriptor *d, int32_t index, void *out, uint64_t capacity, uint64_t *length);
    int (*get_mode_index)(RavkSourceDescriptor *d, int32_t *out);
    // -1 when no selection is set or it does not fit in `capacity`.
    int (*get_selection)(RavkSourceDescriptor *d, void *out, uint64_t capacity);
    // Accepts -1 (no mode) up to the mode count - 1.
    int (*set_mode_index)(RavkSourceDescriptor *d, int32_t index);
    int (*set_selection)(RavkSourceDescriptor *d, const void *data, uint64_t length);
    void (*free)(RavkSourceDescriptor **d);
};

// A new descriptor, or NULL when the codec names no medium, the name has no
// data, or memory runs out. Fills *ops; takes a reference on device.
RavkSourceDescriptor *ravk_source_desc_new(RavkSourceOps *ops, const CoreName *id, const CoreBuffer *name,
                                           int32_t node_type, uint32_t device_class, uint32_t codec,
                                           GstDevice *device, int32_t is_default, int32_t loopback,
                                           int32_t audio_backend, int32_t video_backend);

// Frees everything the descriptor holds and nulls *d; NULL is allowed.
void ravk_source_desc_free(RavkSourceDescriptor **d);

// Fits `candidate` to the reference's orientation and aspect ratio, rounds
// it to even sizes and appends it unless an equal mode is listed. 0, or -1
// when memory runs out.
int ravk_source_desc_add_mode(RavkSourceDescriptor *d, const CoreVideoMode *reference, CoreVideoMode candidate);

// Rebuild the mode list from the source's own video mode or audio format;
// an unusable value leaves the previous list. 0, or -1 when memory runs out.
int ravk_source_desc_build_video_modes(RavkSourceDescriptor *d, const CoreVideoMode *mode);
int ravk_source_desc_build_audio_modes(RavkSourceDescriptor *d, const RavkAudioFormat *format);

// The four bytes of a FourCC as text; a blank byte ends it. Returns out.
char *ravk_fourcc_text(uint32_t fourcc, char out[5]);

// "%c%hhu" of sample type and bits, then "LE" or "BE" when bits > 8
// ("S16LE"). Returns out.
char *ravk_audio_format_text(const RavkAudioFormat *format, char *out, uint64_t size);
