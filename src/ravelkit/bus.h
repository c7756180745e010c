// Bus threads and pipeline events.
//
// Every provider and consumer pipeline has a bus thread: a thread running a
// GLib main loop on the default main context (the one the application's
// GTK loop iterates) with a watch on the pipeline's bus. The watch turns
// each bus message into a RavkBusMessage and hands it to the owner's
// callback, on whichever thread iterates the default context at the time;
// the callbacks of one pipeline therefore never run concurrently. The
// owners translate what matters into RavkPipelineEvent codes, posted with
// ravk_pipeline_event_post on RAVK_PIPELINE_CHANNEL, and only while the
// engine node runs.
//
// This header also fixes the records those events carry and the sample
// header (RavkSample) of the encoded frames that leave capture pipelines
// and enter playback pipelines; their layouts are pinned below because the
// engine reads them field by field.
//
// ravk_bus_thread_start returns the record or NULL; ravk_bus_thread_stop is
// called once, by the owner's destroy operation, from any thread but the
// bus thread itself.
#pragma once

#include <gst/gst.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "core/names.h"
#include "core/thread.h"
#include "ravelkit/init.h"  // RAVK_PIPELINE_CHANNEL
#include "ravelkit/node.h"

// ---- bus messages -------------------------------------------------------------

enum RavkBusEvent : int32_t {
    RAVK_BUS_OTHER = 0,
    RAVK_BUS_ERROR = 1,
    RAVK_BUS_WARNING = 2,
    RAVK_BUS_EOS = 3,
    RAVK_BUS_QOS = 4,
    RAVK_BUS_STATE_CHANGED = 5,  // payload RavkBusStateChange
    RAVK_BUS_TAG = 6,            // payload u32 RavkOrientation
    RAVK_BUS_BUFFERING = 7,      // payload i32 percent
    RAVK_BUS_CLOCK_LOST = 8,
    RAVK_BUS_LATENCY = 9,
    RAVK_BUS_NEED_CONTEXT = 10,  // payload u32 0
    RAVK_BUS_WINDOW_HANDLE = 11,
};

#define RAVK_BUS_TEXT_SIZE 1152
#define RAVK_BUS_SOURCE_NAME_SIZE 1024

// Valid only during the callback.
struct RavkBusMessage {
    int32_t code;  // RavkBusEvent
    GstObject *source;
    const char *text;  // NULL for QoS
    const char *source_name;
    const void *payload;  // NULL unless the code has one
};

// States: 1 NULL, 2 READY, 3 PAUSED, 4 PLAYING, 0 any other.
struct RavkBusStateChange {
    uint32_t old_state;
    uint32_t new_state;
};

struct RavkQosInfo {
    uint32_t live;
    int64_t running_time;
    int64_t stream_time;
    int64_t timestamp;
    int64_t duration;
    int64_t jitter;
    double proportion;
    int32_t quality;
    uint32_t format;
    uint64_t processed;
    uint64_t dropped;
};
static_assert(sizeof(RavkQosInfo) == 80);
static_assert(offsetof(RavkQosInfo, running_time) == 8);
static_assert(offsetof(RavkQosInfo, jitter) == 40);
static_assert(offsetof(RavkQosInfo, proportion) == 48);
static_assert(offsetof(RavkQosInfo, quality) == 56);
static_assert(offsetof(RavkQosInfo, format) == 60);
static_assert(offsetof(RavkQosInfo, processed) == 64);
static_assert(offsetof(RavkQosInfo, dropped) == 72);

struct RavkBusThread;
// user points at the record's user pair.
typedef int (*RavkBusCallback)(RavkBusThread *thread, const RavkBusMessage *message, void **user);

struct RavkBusThread {
    RavkBusCallback callback;
    void *user[2];  // owners keep {handle table, own handle}
    RavkNode *pipeline;
    guint watch;  // 0: none
    GstBus *bus;
    GMainLoop *loop;
    CoreThreadRecord *thread;

    // A quit that lands before the loop runs is lost (running the loop
    // sets it running again), and a stop may come right after the start:
    // the thread looks at `stopping` under the lock before it makes its
    // loop, and the stopper repeats the quit until the thread says
    // `finished`.
    std::mutex lock;
    std::condition_variable finished_changed;
    bool stopping;
    bool finished;
};

// Starts the bus thread of a pipeline node; user may be NULL.
RavkBusThread *ravk_bus_thread_start(RavkNode *pipeline, RavkBusCallback callback, void *const user[2]);

// Quits the loop, joins the thread, removes the watch, releases the bus and
// loop and frees the record; clears *thread. The pipeline node stays with
// the owner, which frees it afterwards. A thread that does not end within
// the join wait keeps its record (it may still read it).
void ravk_bus_thread_stop(RavkBusThread **thread);

// The watch: translates one message and calls the callback. FALSE (the
// watch goes) when the record lost its bus or callback.
gboolean ravk_bus_message_handler(GstBus *bus, GstMessage *message, gpointer record);

// "rotate-0" .. "rotate-270" as RAVK_ORIENT_0 .. RAVK_ORIENT_270; 0 for
// anything else (NULL too).
uint32_t ravk_orientation_from_text(const char *text);
// The tag text of RAVK_ORIENT_0 .. RAVK_ORIENT_270; NULL otherwise.
const char *ravk_orientation_text(uint32_t orientation);

// ---- pipeline events --------------------------------------------------------

enum RavkPipelineEvent : uint32_t {
    RAVK_EVENT_STATE = 0x5A00,
    RAVK_EVENT_QOS = 0x5A01,
    RAVK_EVENT_WARNING = 0x5A02,
    RAVK_EVENT_ERROR = 0x5A03,
    RAVK_EVENT_SAMPLES = 0x5A04,
    RAVK_EVENT_FORMAT = 0x5A05,
    RAVK_EVENT_STREAM_INFO = 0x5A06,
    RAVK_EVENT_STATISTICS = 0x5A07,
    RAVK_EVENT_ORIENTATION = 0x5A08,
};

enum : uint32_t {
    RAVK_ROLE_CONSUMER = 0,
    RAVK_ROLE_PROVIDER = 1,
};

// Failing part of RAVK_EVENT_ERROR.
enum : uint32_t {
    RAVK_PART_NONE = 0,
    RAVK_PART_SOURCE = 1,
    RAVK_PART_ENCODER = 2,
    RAVK_PART_DECODER = 3,
    RAVK_PART_SINK = 4,
};

// Sample flags.
enum : uint32_t {
    RAVK_SAMPLE_DISCONT = 1,
    RAVK_SAMPLE_KEY = 2,
    RAVK_SAMPLE_PTS = 8,
};

// One encoded frame of a chain. Inside a batch buffer the data follows the
// header directly.
struct RavkSample {
    int64_t pts;       // ns; -1 unknown
    int64_t dts;       // ns; -1 unknown
    int64_t duration;  // ns; -1 unknown
    uint32_t flags;
    uint32_t orientation;  // RavkOrientation
    uint8_t *data;
    uint64_t size;
    RavkSample *next;
};

struct RavkStateEvent {
    uint32_t role;
};

struct RavkQosEvent {
    uint32_t role;
    uint32_t reserved;
    int64_t jitter;
};

struct RavkWarningEvent {
    uint32_t role;
    uint32_t media;
    uint32_t reserved;
};

struct RavkErrorEvent {
    uint32_t role;
    uint32_t media;
    uint32_t part;
};

struct RavkSampleBatchHeader {
    uint32_t role;
    uint32_t stream_index;  // 0 audio, 1 video
    CoreName stream;
};

struct RavkFormatInfo {
    uint32_t audio_fourcc;
    uint32_t audio[3];
    uint32_t video_fourcc;
    uint32_t width;
    uint32_t height;
    uint32_t rate_num;
    uint32_t rate_den;
};

struct RavkStreamInfoEvent {
    uint32_t role;
    CoreName stream;
    uint32_t audio_options;
    uint32_t video_options;
};

// Peers' engines read the 64-bit field at offset 140: the record is packed
// to 4 bytes, not padded to 160.
#pragma pack(push, 4)
struct RavkStatisticsEvent {
    uint32_t role;
    CoreName stream;
    uint64_t reserved;
    uint32_t requested_rate;
    uint32_t one;
};
#pragma pack(pop)

struct RavkOrientationEvent {
    uint32_t role;
    CoreName stream;
    uint32_t orientation;
};

static_assert(sizeof(CoreName) == 136 && alignof(CoreName) == 1);
static_assert(sizeof(void *) != 8 || sizeof(RavkSample) == 56, "RavkSample is 56 bytes on LP64");
static_assert(offsetof(RavkSample, dts) == 8);
static_assert(offsetof(RavkSample, duration) == 16);
static_assert(offsetof(RavkSample, flags) == 24);
static_assert(offsetof(RavkSample, orientation) == 28);
static_assert(offsetof(RavkSample, data) == 32);
static_assert(sizeof(void *) != 8 || offsetof(RavkSample, size) == 40);
static_assert(sizeof(void *) != 8 || offsetof(RavkSample, next) == 48);
static_assert(sizeof(RavkStateEvent) == 4);
static_assert(sizeof(RavkQosEvent) == 16 && offsetof(RavkQosEvent, jitter) == 8);
static_assert(sizeof(RavkWarningEvent) == 12 && offsetof(RavkWarningEvent, reserved) == 8);
static_assert(sizeof(RavkErrorEvent) == 12 && offsetof(RavkErrorEvent, part) == 8);
static_assert(sizeof(RavkSampleBatchHeader) == 144 && offsetof(RavkSampleBatchHeader, stream) == 8);
static_assert(sizeof(RavkFormatInfo) == 36 && offsetof(RavkFormatInfo, video_fourcc) == 16 &&
              offsetof(RavkFormatInfo, rate_den) == 32);
static_assert(sizeof(RavkStreamInfoEvent) == 148 && offsetof(RavkStreamInfoEvent, stream) == 4 &&
              offsetof(RavkStreamInfoEvent, audio_options) == 140 &&
              offsetof(RavkStreamInfoEvent, video_options) == 144);
static_assert(sizeof(RavkStatisticsEvent) == 156 && offsetof(RavkStatisticsEvent, stream) == 4 &&
              offsetof(RavkStatisticsEvent, reserved) == 140 && offsetof(RavkStatisticsEvent, requested_rate) == 148 &&
              offsetof(RavkStatisticsEvent, one) == 152);
static_assert(sizeof(RavkOrientationEvent) == 144 && offsetof(RavkOrientationEvent, orientation) == 140);

// Posts a pipeline event with core_notify while the engine node runs: the
// handlers' answer, or CORE_ERR (-100) when no engine node runs (nothing is
// posted then) or nobody handles the code. out and out_len as core_notify.
int32_t ravk_pipeline_event_post(const CoreName *channel, uint32_t code, const void *in, uint64_t in_len, void *out,
                                 uint64_t *out_len);

// The event channel name of pipeline objects.
CoreName *ravk_pipeline_channel_name(CoreName *out);
