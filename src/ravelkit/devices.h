// Device registry and device lists.
//
// Every media device the framework knows (audio capture endpoints and
// cameras from the enumerator, screens from the display monitor, app-fed
// virtual sources, synthetic test sources) is a reference-counted device
// node in the handle table CORE_HANDLES_DEVICES, carrying up to two source
// descriptors. A device list is a filtered, ordered collection of node
// handles with one selected device id. Lists that take native devices or
// screens follow the device events that the enumerator and the display
// monitor publish on RAVK_DEVICE_CHANNEL; this module defines those events
// and their payload, RavkDeviceRecord.
//
// Threads: device events arrive on the publisher's thread (the GLib thread
// that dispatches the device monitor's bus, the enumerator thread, or a
// worker of the default executor for screen passes); list operations come
// from the engine's control thread and the media sessions. A list's lock
// guards its handle array and its selected id only; it is never held while
// a node is acquired, a descriptor is called or the list's callback runs.
// Each array entry owns one reference on its node.
//
// Operations return 0 for success and -1 for failure unless stated; device
// handles are u64, 0 meaning none.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/handle.h"
#include "core/names.h"
#include "core/queue.h"
#include "core/sync.h"
#include "core/video.h"
#include "ravelkit/elements.h"
#include "ravelkit/source.h"

// Filter words; the media word takes RAVK_MEDIA_AUDIO and RAVK_MEDIA_VIDEO.
enum : uint32_t {
    RAVK_DIRECTION_SOURCE = 1,
    RAVK_DIRECTION_SINK = 2,
    RAVK_CLASS_NATIVE = 1,
    RAVK_CLASS_SCREEN = 2,
    RAVK_CLASS_VIRTUAL = 4,
    RAVK_CLASS_TEST = 8,
};

// Record flags.
enum : uint32_t {
    RAVK_DEVICE_NO_TIMESTAMP = 1,  // do not set "do-timestamp"
    RAVK_DEVICE_DEFAULT = 2,       // the system's default endpoint
    RAVK_DEVICE_LOOPBACK = 4,      // capture of an output endpoint
};

#define RAVK_DEVICE_CHANNEL "D32875A981327316FB362453AC876437"
// Well-known ids that are never device ids.
#define NONE_ID "FD48624DC5EA4FFE8D3250FFDB875AFC"
#define DEFAULT_DEVICE_ID "4DD8585565C0473D9CBBEFABB2DA57AA"

// A capture rectangle value that is not set.
#define RAVK_RECT_UNSET INT64_MIN

enum RavkDeviceEvent : uint32_t {
    RAVK_DEVICE_AUDIO_ADDED = 0x5B00,
    RAVK_DEVICE_AUDIO_REMOVED = 0x5B01,
    RAVK_DEVICE_CAMERA_ADDED = 0x5B02,
    RAVK_DEVICE_CAMERA_REMOVED = 0x5B03,
    RAVK_DEVICE_SCREEN_ADDED = 0x5B04,
    RAVK_DEVICE_SCREEN_REMOVED = 0x5B05,
};

#define RAVK_DEVICE_TEXT_SIZE 1024

// tag 1: the text came from the system's device monitor; 0: composed here.
// text is not terminated when full.
struct RavkDeviceText {
    uint32_t tag;
    uint64_t length;  // at most RAVK_DEVICE_TEXT_SIZE
    char text[RAVK_DEVICE_TEXT_SIZE];
};

struct RavkDeviceAudioTail {
    RavkAudioFormat format;
    int32_t index;  // "device-index" when not -1; the wave of a test source
    union {
        uint64_t device_object;  // GstDevice * of a capture endpoint
        double frequency;        // Hz, audio test sources
    };
};

struct RavkDeviceVideoTail {
    CoreVideoMode mode;
    uint32_t reserved;
    int32_t index;    // camera index, test pattern; -1 when none
    uint64_t handle;  // camera: its GstDevice *; else 0
    int64_t start_x;  // capture rectangle, inclusive; RAVK_RECT_UNSET when unset
    int64_t end_x;
    int64_t start_y;
    int64_t end_y;
    double scale;  // 1.0
};

struct RavkDeviceAppVideoTail {
    CoreVideoMode mode;  // the main mode
    uint32_t reserved;
    CoreVideoMode mode_a;
    CoreVideoMode mode_b;
};

struct RavkDeviceRecord {
    int32_t number;  // -1; the PipeWire remote's fd of a PipeWire source
    CoreName id;
    uint64_t block_size;  // appsrc "blocksize" when not 0
    uint32_t format_code;  // FourCC, "NONE" when unknown
    uint32_t reserved;
    RavkDeviceText name;
    RavkDeviceText path;  // endpoint id, X display name, PipeWire path
    uint32_t flags;       // RAVK_DEVICE_*
    int32_t backend;      // RavkAudioBackend or RavkVideoBackend
    union {
        RavkDeviceAudioTail audio;
        RavkDeviceVideoTail video;
        RavkDeviceAppVideoTail app_video;
    } tail;
};

// Event payload lengths: each kind's record ends at the last field it uses.
#define RAVK_DEVICE_RECORD_AUDIO_SIZE (offsetof(RavkDeviceRecord, tail) + sizeof(RavkDeviceAudioTail))
#define RAVK_DEVICE_RECORD_CAMERA_SIZE \
    (offsetof(RavkDeviceRecord, tail) + offsetof(RavkDeviceVideoTail, handle) + sizeof(uint64_t))
#define RAVK_DEVICE_RECORD_SCREEN_SIZE (offsetof(RavkDeviceRecord, tail) + sizeof(RavkDeviceVideoTail))

// A record with number -1, format code "NONE", index -1, the rectangle
// unset and scale 1.0; everything else zero.
void ravk_device_record_init(RavkDeviceRecord *record);

// Copies at most RAVK_DEVICE_TEXT_SIZE bytes of text into a device text.
void ravk_device_text_set(RavkDeviceText *out, uint32_t tag, const char *text, uint64_t length);

// Posts a device event on RAVK_DEVICE_CHANNEL; nothing while no engine node
// runs. The subscribed lists handle it on the calling thread.
void ravk_device_event_post(uint32_t code, const RavkDeviceRecord *record, uint64_t length);

// A device node: the descriptor operations and two descriptor slots. Slot 1
// is set only by a second app-fed format added to a listed virtual node; it
// is written once, while readers may be looking at slot 0.
struct RavkDeviceNode {
    RavkSourceOps ops;
    std::atomic<RavkSourceDescriptor *> desc[2];
};

struct RavkDeviceList;

// added: 1 device added, 0 removed.
typedef void (*RavkDeviceListCallback)(RavkDeviceList *list, uint32_t added, const CoreName *id,
                                       const RavkDeviceText *name, void *user);

struct RavkDeviceListConfig {
    uint32_t populate;  // non-zero: refresh revalidates and adds the test sources
    uint32_t direction;
    uint32_t media;
    uint32_t device_class;
    RavkDeviceListCallback callback;
    void *user;
    void *user2;
};

struct RavkDeviceList {
    uint64_t subscription;  // token on RAVK_DEVICE_CHANNEL, 0 when none
    uint32_t populate;
    uint32_t direction;
    uint32_t media;
    uint32_t device_class;
    RavkDeviceListCallback callback;
    void *user;
    void *user2;
    std::atomic<int32_t> emptied;  // -1 at creation and when the last device left
    CoreName selected;             // under lock
    // The interface's choice by position, kept apart from the selected id:
    // -1 for none. Written under lock.
    std::atomic<int32_t> selected_index;
    CoreLock lock;
    uint64_t *devices;  // under lock; index 0 first
    uint64_t count;
    uint64_t capacity;
};

RavkDeviceList *ravk_device_list_create(const RavkDeviceListConfig *config);
void ravk_device_list_destroy(RavkDeviceList **list);
int ravk_device_list_refresh(RavkDeviceList *list);

// The handle whose desc[0] id matches, or 0; no reference is kept for the
// caller. strict 0 lets DEFAULT_DEVICE_ID stand for the first device.
uint64_t ravk_device_list_find(RavkDeviceList *list, const CoreName *id, int strict);

int ravk_device_list_select(RavkDeviceList *list, const CoreName *id);
// The selected id; when that device has gone, DEFAULT_DEVICE_ID, which then
// stays selected.
int ravk_device_list_get_selected(RavkDeviceList *list, CoreName *out);
// Removes the first entry with that id, copying its name into `name` first.
int ravk_device_list_remove(RavkDeviceList *list, const CoreName *id, CoreBuffer *name);

// App-fed sources (the list's class must have RAVK_CLASS_VIRTUAL). new_node
// 1 makes a node with the descriptor in slot 0 and lists it first; new_node
// 0 adds a second format to the listed node of the record's id in slot 1.
int ravk_device_list_add_virtual_video(RavkDeviceList *list, int new_node, int slot, const RavkDeviceRecord *record);
int ravk_device_list_add_virtual_audio(RavkDeviceList *list, int new_node, int slot, const RavkDeviceRecord *record);

// Test sources, appended; id NULL derives it from the parameters.
int ravk_device_list_add_audio_test(RavkDeviceList *list, int32_t backend, const CoreName *id,
                                    const RavkAudioFormat *format, int32_t wave, double frequency);
int ravk_device_list_add_video_test(RavkDeviceList *list, int32_t backend, const CoreName *id,
                                    const CoreVideoMode *mode, uint32_t fourcc, int32_t pattern);

// int property "fd" of desc[0]: 1 found, 0 absent, -1 unknown handle.
int ravk_device_get_fd(uint64_t device, int *out);
// string property "path" of desc[0]: 1 found (out borrows the text while the
// node lives), 0 absent, -1 unknown handle.
int ravk_device_get_path(uint64_t device, CoreBuffer *out);
// Copies desc[0]'s selected mode; -1 for an unknown handle, no selection, or
// a selection larger than capacity.
int ravk_device_get_info(uint64_t device, void *out, uint64_t capacity);

// Slot 0 or 1, or -1 for the preferred one (slot 1 when set); NULL else.
RavkSourceDescriptor *ravk_device_node_desc(RavkDeviceNode *node, int index);

// ---- internal steps, exposed for the tests ----

// Appends a handle under the lock; the new count, or 0 when memory runs out.
uint64_t ravk_device_list_append(RavkDeviceList *list, uint64_t handle);
// Loopback captures first, then the default endpoint; equal devices keep
// their order. Reorders in one step under the lock.
void ravk_device_list_sort(RavkDeviceList *list);
// 2 x (b.loopback - a.loopback) + (b.default - a.default); 0 for one handle.
int ravk_device_compare(uint64_t a, uint64_t b);
// Keeps the virtual devices (in reverse order) and drops every other one,
// waiting until each dropped node is freed.
void ravk_device_list_revalidate(RavkDeviceList *list);
// The list's handler on RAVK_DEVICE_CHANNEL; always CORE_NOT_MINE so that
// every list sees every event.
CoreResult ravk_device_list_on_event(uint32_t code, const void *in, uint64_t in_len, void *out, uint64_t *out_len,
                                     void **user);

// The node's destroy callback in CORE_HANDLES_DEVICES.
void ravk_device_node_free(CoreHandleTable *table, void *object, uint64_t handle);
