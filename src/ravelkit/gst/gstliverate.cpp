/*
 * liverate: keeps a live video stream between two frame rates.
 *
 * Above "max-framerate" the element drops frames by their timestamps: a
 * schedule advances by one frame interval per passed frame, and a frame whose
 * timestamp falls before the next slot is dropped. A frame more than three
 * seconds past the point where the schedule last started sets the schedule on
 * itself again, so a source that speeds up or jumps forward is followed
 * within three seconds; a source that jumps back is dropped until it reaches
 * the next slot.
 *
 * Below "min-framerate" the element repeats the last frame: a periodic id on
 * the system clock ticks at the lower rate, and a tick that saw no frame pass
 * since the previous one pushes a copy of the last frame, its timestamp moved
 * on by the time since that frame arrived. Capture sources that only send
 * frames when the picture changes (a still desktop) thereby keep encoders and
 * peers fed. Setting "min-framerate" to 0/1 stops the repeats.
 *
 * The timer runs while the element is PAUSED or PLAYING with a lower rate set,
 * and pushes only in PLAYING: in PAUSED a prerolled sink would block the
 * clock thread. It holds only a weak reference to the element, so a pipeline
 * that is dropped without a state change still frees the element.
 *
 * Example:
 *   gst-launch-1.0 videotestsrc is-live=true ! video/x-raw,framerate=60/1 !
 *       liverate max-framerate=15/1 ! fakesink
 */
#include "ravelkit/gst/gstliverate.h"

GST_DEBUG_CATEGORY_STATIC(gst_liverate_debug);
#define GST_CAT_DEFAULT gst_liverate_debug

#define DEFAULT_MIN_FRAMERATE_N 0
#define DEFAULT_MIN_FRAMERATE_D 1
#define DEFAULT_MAX_FRAMERATE_N 0
#define DEFAULT_MAX_FRAMERATE_D 1

/* How long a schedule runs before a passing frame re-anchors it. */
#define RESYNC_INTERVAL (3 * GST_SECOND)
/* Length of the statistics window of the debug log. */
#define STATS_WINDOW GST_SECOND

enum {
  PROP_0,
  PROP_MIN_FRAMERATE,
  PROP_MAX_FRAMERATE,
};

#define GST_LIVERATE_LOCK(self) GST_OBJECT_LOCK(self)
#define GST_LIVERATE_UNLOCK(self) GST_OBJECT_UNLOCK(self)
#define RATE_ON(n, d) ((n) != 0 && (d) != 0)

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-raw(ANY)"));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-raw(ANY)"));

#define gst_liverate_parent_class parent_class
G_DEFINE_TYPE_WITH_CODE(GstLiveRate, gst_liverate, GST_TYPE_BASE_TRANSFORM,
                        GST_DEBUG_CATEGORY_INIT(gst_liverate_debug, "liverate", 0, "Adjusts video frames"));
GST_ELEMENT_REGISTER_DEFINE(liverate, "liverate", GST_RANK_NONE, GST_TYPE_LIVERATE);

static void gst_liverate_set_property(GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec);
static void gst_liverate_get_property(GObject *object, guint prop_id, GValue *value, GParamSpec *pspec);
static void gst_liverate_dispose(GObject *object);
static void gst_liverate_finalize(GObject *object);
static GstStateChangeReturn gst_liverate_change_state(GstElement *element, GstStateChange transition);
static gboolean gst_liverate_sink_event(GstBaseTransform *trans, GstEvent *event);
static GstFlowReturn gst_liverate_transform_ip(GstBaseTransform *trans, GstBuffer *buf);
static gboolean gst_liverate_dup_callback(GstClock *clock, GstClockTime time, GstClockID id, gpointer user_data);

static void gst_liverate_class_init(GstLiveRateClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  GstBaseTransformClass *trans_class = GST_BASE_TRANSFORM_CLASS(klass);

  gobject_class->set_property = gst_liverate_set_property;
  gobject_class->get_property = gst_liverate_get_property;
  gobject_class->dispose = gst_liverate_dispose;
  gobject_class->finalize = gst_liverate_finalize;

  const GParamFlags flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  g_object_class_install_property(
      gobject_class, PROP_MIN_FRAMERATE,
      gst_param_spec_fraction("min-framerate", "Minimum Framerate", "Min framerate", 0, 1, G_MAXINT, 1,
                              DEFAULT_MIN_FRAMERATE_N, DEFAULT_MIN_FRAMERATE_D, flags));
  g_object_class_install_property(
      gobject_class, PROP_MAX_FRAMERATE,
      gst_param_spec_fraction("max-framerate", "Maximum Framerate", "Max framerate", 0, 1, G_MAXINT, 1,
                              DEFAULT_MAX_FRAMERATE_N, DEFAULT_MAX_FRAMERATE_D, flags));

  gst_element_class_set_static_metadata(element_class, "Live rate adjuster", "Filter/Effect/Video",
                                        "Adjusts video frames", "Veltrana");
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  element_class->change_state = GST_DEBUG_FUNCPTR(gst_liverate_change_state);

  trans_class->passthrough_on_same_caps = FALSE;
  trans_class->sink_event = GST_DEBUG_FUNCPTR(gst_liverate_sink_event);
  trans_class->transform_ip = GST_DEBUG_FUNCPTR(gst_liverate_transform_ip);
}

static void gst_liverate_init(GstLiveRate *self)
{
  self->min_fps_n = DEFAULT_MIN_FRAMERATE_N;
  self->min_fps_d = DEFAULT_MIN_FRAMERATE_D;
  self->max_fps_n = DEFAULT_MAX_FRAMERATE_N;
  self->max_fps_d = DEFAULT_MAX_FRAMERATE_D;
  self->next_time = GST_CLOCK_TIME_NONE;
  self->resync_point = GST_CLOCK_TIME_NONE;
  self->window_start = GST_CLOCK_TIME_NONE;
  self->stored_time = GST_CLOCK_TIME_NONE;
  gst_base_transform_set_in_place(GST_BASE_TRANSFORM(self), TRUE);
}

/* Called with the lock held. */
static void gst_liverate_reset_schedule(GstLiveRate *self)
{
  self->next_time = GST_CLOCK_TIME_NONE;
  self->resync_point = GST_CLOCK_TIME_NONE;
  self->window_start = GST_CLOCK_TIME_NONE;
  self->pass_count = 0;
  self->skip_count = 0;
}

static GstClockTime gst_liverate_system_time(GstLiveRate *self)
{
  GstClock *clock = gst_system_clock_obtain();
  if (clock == NULL) {
    GST_ERROR_OBJECT(self, "failed on gst_system_clock_obtain");
    return GST_CLOCK_TIME_NONE;
  }
  GstClockTime now = gst_clock_get_time(clock);
  gst_object_unref(clock);
  return now;
}

static void gst_liverate_drop_stored(GstLiveRate *self)
{
  GST_LIVERATE_LOCK(self);
  GstBuffer *old = self->stored;
  self->stored = NULL;
  self->stored_time = GST_CLOCK_TIME_NONE;
  GST_LIVERATE_UNLOCK(self);
  if (old)
    gst_buffer_unref(old);
}

static void gst_liverate_weak_ref_free(gpointer data)
{
  GWeakRef *ref = static_cast<GWeakRef *>(data);
  g_weak_ref_clear(ref);
  g_free(ref);
}

/* Stops a running timer and, when the lower rate is on and the element runs,
 * starts one at the current rate. Clock calls happen outside the lock; the
 * generation keeps only the newest of two racing restarts. */
static void gst_liverate_restart_timer(GstLiveRate *self)
{
  GST_LIVERATE_LOCK(self);
  GstClockID old = self->timer;
  self->timer = NULL;
  guint generation = ++self->timer_generation;
  gboolean want = self->running && RATE_ON(self->min_fps_n, self->min_fps_d);
  GstClockTime interval = want ? gst_util_uint64_scale_int(GST_SECOND, self->min_fps_d, self->min_fps_n) : 0;
  GST_LIVERATE_UNLOCK(self);

  if (old) {
    GST_DEBUG_OBJECT(self, "unschedule clock id");
    gst_clock_id_unschedule(old);
    gst_clock_id_unref(old);
  }
  if (!want || interval == 0)
    return;

  GstClock *clock = gst_system_clock_obtain();
  if (clock == NULL) {
    GST_ERROR_OBJECT(self, "failed on gst_system_clock_obtain");
    return;
  }
  GstClockTime now = gst_clock_get_time(clock);
  GstClockID id = gst_clock_new_periodic_id(clock, now + interval, interval);
  gst_object_unref(clock);
  if (id == NULL) {
    GST_ERROR_OBJECT(self, "failed on gst_clock_new_periodic_id");
    return;
  }

  GWeakRef *ref = g_new0(GWeakRef, 1);
  g_weak_ref_init(ref, self);
  GstClockReturn ret = gst_clock_id_wait_async(id, gst_liverate_dup_callback, ref, gst_liverate_weak_ref_free);
  GST_DEBUG_OBJECT(self, "result from gst_clock_id_wait_async %d", ret);

  GST_LIVERATE_LOCK(self);
  if (ret == GST_CLOCK_OK && self->timer_generation == generation) {
    self->timer = id;
    id = NULL;
  }
  GST_LIVERATE_UNLOCK(self);
  if (id) {
    gst_clock_id_unschedule(id);
    gst_clock_id_unref(id);
  }
}

static void gst_liverate_disable_clock_id(GstLiveRate *self)
{
  GST_DEBUG_OBJECT(self, "disable clock id");
  GST_LIVERATE_LOCK(self);
  GstClockID old = self->timer;
  self->timer = NULL;
  self->timer_generation++;
  GST_LIVERATE_UNLOCK(self);
  if (old) {
    gst_clock_id_unschedule(old);
    gst_clock_id_unref(old);
  }
}

static void gst_liverate_set_property(GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  GstLiveRate *self = GST_LIVERATE(object);

  switch (prop_id) {
    case PROP_MIN_FRAMERATE: {
      gint n = gst_value_get_fraction_numerator(value);
      gint d = gst_value_get_fraction_denominator(value);
      GST_LIVERATE_LOCK(self);
      self->min_fps_n = n;
      self->min_fps_d = d;
      GST_LIVERATE_UNLOCK(self);
      GST_DEBUG_OBJECT(self, "min framerate %d/%d", n, d);
      if (RATE_ON(n, d)) {
        gst_liverate_restart_timer(self);
      } else {
        gst_liverate_disable_clock_id(self);
        gst_liverate_drop_stored(self);
      }
      break;
    }
    case PROP_MAX_FRAMERATE:
      GST_LIVERATE_LOCK(self);
      self->max_fps_n = gst_value_get_fraction_numerator(value);
      self->max_fps_d = gst_value_get_fraction_denominator(value);
      GST_DEBUG_OBJECT(self, "max framerate %d/%d", self->max_fps_n, self->max_fps_d);
      GST_LIVERATE_UNLOCK(self);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static void gst_liverate_get_property(GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  GstLiveRate *self = GST_LIVERATE(object);

  switch (prop_id) {
    case PROP_MIN_FRAMERATE:
      GST_LIVERATE_LOCK(self);
      gst_value_set_fraction(value, self->min_fps_n, self->min_fps_d);
      GST_LIVERATE_UNLOCK(self);
      break;
    case PROP_MAX_FRAMERATE:
      GST_LIVERATE_LOCK(self);
      gst_value_set_fraction(value, self->max_fps_n, self->max_fps_d);
      GST_LIVERATE_UNLOCK(self);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static void gst_liverate_dispose(GObject *object)
{
  gst_liverate_disable_clock_id(GST_LIVERATE(object));
  G_OBJECT_CLASS(parent_class)->dispose(object);
}

static void gst_liverate_finalize(GObject *object)
{
  GstLiveRate *self = GST_LIVERATE(object);
  if (self->stored)
    gst_buffer_unref(self->stored);
  G_OBJECT_CLASS(parent_class)->finalize(object);
}

static GstStateChangeReturn gst_liverate_change_state(GstElement *element, GstStateChange transition)
{
  GstLiveRate *self = GST_LIVERATE(element);

  if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) {
    GST_LIVERATE_LOCK(self);
    gst_liverate_reset_schedule(self);
    self->passed = 0;
    self->last_seen = 0;
    self->running = TRUE;
    GST_LIVERATE_UNLOCK(self);
    gst_liverate_restart_timer(self);
  } else if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
    GST_LIVERATE_LOCK(self);
    self->running = FALSE;
    GST_LIVERATE_UNLOCK(self);
    gst_liverate_disable_clock_id(self);
  }

  GstStateChangeReturn ret = GST_ELEMENT_CLASS(parent_class)->change_state(element, transition);

  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY)
    gst_liverate_drop_stored(self);
  return ret;
}

static gboolean gst_liverate_sink_event(GstBaseTransform *trans, GstEvent *event)
{
  GstLiveRate *self = GST_LIVERATE(trans);

  /* After a flush the timestamps start over; the old schedule would drop
   * every frame until they caught up with it. */
  if (GST_EVENT_TYPE(event) == GST_EVENT_FLUSH_STOP) {
    GST_LIVERATE_LOCK(self);
    gst_liverate_reset_schedule(self);
    GST_LIVERATE_UNLOCK(self);
    gst_liverate_drop_stored(self);
  }
  return GST_BASE_TRANSFORM_CLASS(parent_class)->sink_event(trans, event);
}

static void gst_liverate_update_stats(GstLiveRate *self, GstClockTime now)
{
  GST_LIVERATE_LOCK(self);
  if (!GST_CLOCK_TIME_IS_VALID(self->window_start) || now < self->window_start) {
    self->window_start = now;
  } else if (self->window_start + STATS_WINDOW < now) {
    gdouble span = static_cast<gdouble>(now - self->window_start);
    GST_DEBUG_OBJECT(self, "pass video fps %.2f skip video fps %.2f interval time %.2f",
                     self->pass_count * 1e9 / span, self->skip_count * 1e9 / span, span / 1e6);
    self->window_start = now;
    self->pass_count = 0;
    self->skip_count = 0;
  }
  GST_LIVERATE_UNLOCK(self);
}

static GstFlowReturn gst_liverate_transform_ip(GstBaseTransform *trans, GstBuffer *buf)
{
  GstLiveRate *self = GST_LIVERATE(trans);
  GstClockTime t = GST_BUFFER_PTS(buf);

  if (!GST_CLOCK_TIME_IS_VALID(t))
    return GST_FLOW_OK;
  GST_LOG_OBJECT(self, "buffer with timestamp %" G_GUINT64_FORMAT, t);

  GST_LIVERATE_LOCK(self);
  gboolean min_on = RATE_ON(self->min_fps_n, self->min_fps_d);
  GST_LIVERATE_UNLOCK(self);

  if (min_on) {
    GstClockTime now = gst_liverate_system_time(self);
    if (GST_CLOCK_TIME_IS_VALID(now))
      gst_liverate_update_stats(self, now);

    /* The stored frame is the last that arrived, whether or not the upper
     * rate then drops it. */
    GstBuffer *copy = gst_buffer_copy_deep(buf);
    if (copy == NULL)
      GST_ERROR_OBJECT(self, "failed on gst_buffer_copy_deep");
    GST_LIVERATE_LOCK(self);
    GstBuffer *old = self->stored;
    self->stored = copy;
    self->stored_time = copy ? now : GST_CLOCK_TIME_NONE;
    GST_LIVERATE_UNLOCK(self);
    if (old)
      gst_buffer_unref(old);
  }

  GST_LIVERATE_LOCK(self);
  if (RATE_ON(self->max_fps_n, self->max_fps_d)) {
    GstClockTime interval = gst_util_uint64_scale_int(GST_SECOND, self->max_fps_d, self->max_fps_n);
    if (GST_CLOCK_TIME_IS_VALID(self->next_time) && t < self->next_time) {
      self->skip_count++;
      GST_LOG_OBJECT(self, "skip frames %u pts %" G_GUINT64_FORMAT, self->skip_count, t);
      GST_LIVERATE_UNLOCK(self);
      return GST_BASE_TRANSFORM_FLOW_DROPPED;
    }
    if (!GST_CLOCK_TIME_IS_VALID(self->resync_point))
      self->resync_point = t + RESYNC_INTERVAL;
    if (self->resync_point < t) {
      self->next_time = t + interval;
      self->resync_point = t + RESYNC_INTERVAL;
    } else if (!GST_CLOCK_TIME_IS_VALID(self->next_time)) {
      self->next_time = t + interval;
    } else {
      self->next_time += interval;
    }
  }
  self->passed++;
  self->pass_count++;
  GST_LOG_OBJECT(self, "pass frames %u pts %" G_GUINT64_FORMAT, self->pass_count, t);
  GST_LIVERATE_UNLOCK(self);
  return GST_FLOW_OK;
}

static gboolean gst_liverate_dup_callback(GstClock *, GstClockTime time, GstClockID id, gpointer user_data)
{
  GstLiveRate *self = static_cast<GstLiveRate *>(g_weak_ref_get(static_cast<GWeakRef *>(user_data)));
  if (self == NULL)
    return FALSE;

  GST_LOG_OBJECT(self, "push buffer clock time %" G_GUINT64_FORMAT, time);

  GstBuffer *source = NULL;
  GstClockTime stored_time = GST_CLOCK_TIME_NONE;
  GST_LIVERATE_LOCK(self);
  /* A tick of a timer that was replaced while it fired is stale. */
  gboolean current = self->timer == id;
  gboolean playing = GST_STATE(self) == GST_STATE_PLAYING && GST_STATE_PENDING(self) == GST_STATE_VOID_PENDING;
  gboolean idle = self->passed == self->last_seen;
  self->last_seen = self->passed;
  if (current && playing && idle && self->stored) {
    source = gst_buffer_ref(self->stored);
    stored_time = self->stored_time;
  }
  GST_LIVERATE_UNLOCK(self);

  if (source == NULL) {
    GST_LOG_OBJECT(self, "not push");
    gst_object_unref(self);
    return TRUE;
  }

  GstBuffer *copy = gst_buffer_copy_deep(source);
  gst_buffer_unref(source);
  if (copy == NULL) {
    GST_ERROR_OBJECT(self, "failed on gst_buffer_copy_deep");
    gst_object_unref(self);
    return TRUE;
  }
  if (GST_BUFFER_PTS_IS_VALID(copy) && GST_CLOCK_TIME_IS_VALID(stored_time) && time >= stored_time)
    GST_BUFFER_PTS(copy) += time - stored_time;

  /* The sink pad's stream lock serialises the repeat with the streaming
   * thread; when that thread holds it, a frame is on its way and this tick
   * has nothing to add. */
  GstPad *sinkpad = GST_BASE_TRANSFORM_SINK_PAD(self);
  if (GST_PAD_STREAM_TRYLOCK(sinkpad)) {
    GstFlowReturn ret = gst_pad_push(GST_BASE_TRANSFORM_SRC_PAD(self), copy);
    GST_PAD_STREAM_UNLOCK(sinkpad);
    GST_LOG_OBJECT(self, "result from gst_pad_push %d", ret);
  } else {
    gst_buffer_unref(copy);
    GST_LOG_OBJECT(self, "streaming thread busy, not push");
  }
  gst_object_unref(self);
  return TRUE;
}

static gboolean liverate_plugin_init(GstPlugin *plugin)
{
  return GST_ELEMENT_REGISTER(liverate, plugin);
}

static const GstPluginDesc liverate_desc = {
    GST_VERSION_MAJOR, GST_VERSION_MINOR, "liverate", "Adjusts video frames", liverate_plugin_init, "1.0",
    "Proprietary", "library/package", "ravelkit", "Veltrana", NULL, {NULL},
};

gboolean gst_plugin_liverate_register(void)
{
  return gst_plugin_register_static(liverate_desc.major_version, liverate_desc.minor_version, liverate_desc.name,
                                    liverate_desc.description, liverate_desc.plugin_init, liverate_desc.version,
                                    liverate_desc.license, liverate_desc.source, liverate_desc.package,
                                    liverate_desc.origin);
}

const GstPluginDesc *gst_plugin_liverate_get_desc(void)
{
  return &liverate_desc;
}
