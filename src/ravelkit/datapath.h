// Node data path and control: frames into app sources, encoded samples and
// negotiated formats out of app sinks, the demuxer and decoder signal
// trampolines, and the operations on nodes of running pipelines (bitrate,
// frame-rate cap, render rectangle, colour balance, state, stop).
//
// Threads: the owner pushes from its own thread while the app-source
// callbacks and the buffer release run on GStreamer streaming threads; the
// node's need-data flag and in-flight count are atomics shared by the two.
// The app-sink callback runs on the sink's streaming thread and calls the
// owner's sample and caps callbacks there, synchronously. The control
// operations run on engine threads and touch only the element, through
// thread-safe GStreamer calls.
//
// ravk_node_push_frame returns 0 (pushed, or skipped by the flow rules), 1
// (the source's queue is full; nothing pushed) or -1; ravk_node_get_state
// a state number (0 on failure); everything else 0 or -1.
#pragma once

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "core/video.h"
#include "ravelkit/bus.h"
#include "ravelkit/node.h"

// Called once per pushed buffer when the pipeline lets go of it; node is
// NULL when the node was freed before that.
typedef void (*RavkReleaseFn)(RavkNode *node, const RavkSample *header, void **user);

// Shared by an app-source node and its pushed buffers, which a downstream
// element may keep after the node is freed: the release then finds no node.
struct RavkPushAnchor {
    std::atomic<int32_t> references;
    std::mutex lock;
    RavkNode *node;  // under lock; NULL once the node is freed
};

// Bookkeeping of one pushed buffer; lives until the pipeline releases it.
struct RavkPushRecord {
    int32_t copy;
    RavkSample header;  // data points at the copy when copy is set
    RavkNode *node;     // as pushed; the anchor says whether it still lives
    RavkPushAnchor *anchor;
    RavkReleaseFn release;
    void *user[2];
};

// Cuts the node off its outstanding buffers; ravk_node_free calls it.
void ravk_node_detach_pushes(RavkNode *node);

// A field set to this is unset.
#define RAVK_COLOR_BALANCE_UNSET INT64_MIN

struct RavkColorBalanceValue {
    int64_t flags;
    int64_t minimum;
    int64_t maximum;
    int64_t value;
};

struct RavkRectangle {
    int32_t x;
    int32_t y;
    int32_t width;
    int32_t height;
};

// ---- app sources ---------------------------------------------------------------

// Pushes one frame (sample->data, sample->size) into an app-source node.
// Without `copy` the buffer wraps the caller's memory until `release` runs.
// fourcc and size describe a raw frame for the video meta (RAVK_FOURCC_NONE
// or size NULL: none); a frame larger than the sample is refused. user may
// be NULL.
int ravk_node_push_frame(RavkNode *node, int copy, const RavkSample *sample, uint32_t fourcc, const CoreFrameSize *size,
                         RavkReleaseFn release, void *const user[2]);

void ravk_appsrc_on_need_data(GstAppSrc *source, guint length, gpointer node);
void ravk_appsrc_on_enough_data(GstAppSrc *source, gpointer node);
// Release notification of a pushed buffer; record is a RavkPushRecord.
void ravk_appsrc_buffer_released(gpointer record);

// ---- app sinks ----------------------------------------------------------------

GstFlowReturn ravk_appsink_on_new_sample(GstAppSink *sink, gpointer node);

// Sets the node's sample or caps callback and its user pair, and hands the
// app-sink callbacks to the element unless they are already installed. -1
// for a node whose element is not an app sink.
int ravk_node_set_sample_callback(RavkNode *node, RavkSampleFn callback, void *const user[2]);
int ravk_node_set_caps_callback(RavkNode *node, RavkCapsFn callback, void *const user[2]);

// ---- signal trampolines -------------------------------------------------------

void ravk_node_on_pad_added(GstElement *element, GstPad *pad, gpointer node);
void ravk_node_on_format_changed(GstElement *element, gint a, gint b, gint c, gint d, gint e, gint f, gpointer node);

// Connect the trampolines with the node's callback and user pair; -1 when
// the element has no such signal.
int ravk_node_connect_pad_added(RavkNode *node, RavkPadAddedFn callback, void *const user[2]);
int ravk_node_connect_format_changed(RavkNode *node, RavkFormatChangedFn callback, void *const user[2]);

// ---- control of running nodes -------------------------------------------------

int ravk_node_set_bitrate(RavkNode *node, uint64_t bits_per_second);
// Live-rate nodes only; 0/0 (or any term 0 or all bits set) turns the cap off.
int ravk_node_set_max_framerate(RavkNode *node, const RavkFraction *rate);
// Width and height both positive, or both -1 (the whole window).
int ravk_node_set_render_rectangle(RavkNode *node, const RavkRectangle *rectangle);
// The channel whose label contains `channel` ("BRIGHTNESS", "CONTRAST",
// "SATURATION", "HUE"). get answers 0 also when none matches (out unset).
int ravk_node_get_color_balance(RavkNode *node, const char *channel, RavkColorBalanceValue *out);
// The value on the caller's scale [minimum, maximum] maps onto the
// channel's range; -1 when minimum, maximum or value is unset or the range
// is empty.
int ravk_node_set_color_balance(RavkNode *node, const char *channel, const RavkColorBalanceValue *value);
// 1 NULL, 2 READY, 3 PAUSED, 4 PLAYING; 0 on failure.
int ravk_node_get_state(RavkNode *node);
int ravk_node_stop(RavkNode *node);
