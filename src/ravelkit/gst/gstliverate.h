// The "liverate" element: holds a live video stream between a lower and an
// upper frame rate.
//
// Frames arrive on the streaming thread (transform_ip); properties are set on
// application threads; repeats are pushed from the system clock's thread.
// All instance fields are guarded by the object lock. The registration entry
// points return TRUE when GStreamer accepted the plug-in.
#pragma once

#include <gst/base/gstbasetransform.h>
#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_LIVERATE (gst_liverate_get_type())
#define GST_LIVERATE(obj) (G_TYPE_CHECK_INSTANCE_CAST((obj), GST_TYPE_LIVERATE, GstLiveRate))

typedef struct _GstLiveRate GstLiveRate;
typedef struct _GstLiveRateClass GstLiveRateClass;

struct _GstLiveRate {
  GstBaseTransform parent;

  /* properties; a rate is off while either part is 0 */
  gint min_fps_n, min_fps_d;
  gint max_fps_n, max_fps_d;

  /* upper-rate schedule */
  GstClockTime next_time;     /* earliest timestamp that may pass next */
  GstClockTime resync_point;  /* past it the schedule starts anew */
  guint64 passed;             /* frames passed since the schedule was reset */

  /* statistics window, for the debug log */
  guint pass_count, skip_count;
  GstClockTime window_start;

  /* lower-rate repeats */
  GstClockID timer;           /* periodic id on the system clock */
  guint timer_generation;     /* orders concurrent timer restarts */
  gboolean running;           /* PAUSED or PLAYING: the timer may run */
  GstBuffer *stored;          /* deep copy of the last frame */
  GstClockTime stored_time;   /* system clock time of that copy */
  guint64 last_seen;          /* passed counter at the previous tick */
};

struct _GstLiveRateClass {
  GstBaseTransformClass parent_class;
};

GType gst_liverate_get_type(void);

GST_ELEMENT_REGISTER_DECLARE(liverate);

/* Registers the static plug-in "liverate" with the running GStreamer. */
gboolean gst_plugin_liverate_register(void);
const GstPluginDesc *gst_plugin_liverate_get_desc(void);

G_END_DECLS
