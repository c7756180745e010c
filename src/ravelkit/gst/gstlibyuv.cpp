/*
 * libyuv: converts, crops, mirrors, scales and rotates raw video in one
 * element, with libyuv's optimised row functions.
 *
 * One element replaces a chain of videocrop, videoflip, videoscale and
 * videoconvert in capture pipelines: the frame is cropped ("left", "right",
 * "top", "bottom") and converted to I420, mirrored and scaled there, turned,
 * and converted to the negotiated output format, each stage writing into one
 * of two intermediate buffers made when the caps are set, the last straight
 * into the output buffer.
 *
 * The orientation follows "video-direction", or with "auto" the stream's
 * "image-orientation" tag. The output size keeps the display aspect ratio of
 * the cropped, turned input unless downstream fixes it.
 *
 * With "opt-out" and two caller-supplied buffers ("buffer1"/"size1",
 * "buffer2"/"size2") the result lands in one of those buffers and is handed
 * on without a copy; a frame that arrives while the previous output buffer is
 * still held downstream is dropped.
 *
 * Equal caps, no crop and the identity method put the element in passthrough.
 *
 * Example:
 *   gst-launch-1.0 videotestsrc ! video/x-raw,format=NV12,width=640,height=480 !
 *       libyuv left=8 top=8 video-direction=90r ! video/x-raw,format=I420 ! vp8enc ! fakesink
 */
#include "ravelkit/gst/gstlibyuv.h"

#include <cstdlib>
#include <initializer_list>

GST_DEBUG_CATEGORY_STATIC(gst_libyuv_debug);
#define GST_CAT_DEFAULT gst_libyuv_debug

#define DEFAULT_CROP 0
#define DEFAULT_BITS 32
#define DEFAULT_DIRECTION GST_VIDEO_ORIENTATION_IDENTITY
#define DEFAULT_OPT_OUT FALSE
#define DEFAULT_SIZE 0

enum {
  PROP_0,
  PROP_LEFT,
  PROP_RIGHT,
  PROP_TOP,
  PROP_BOTTOM,
  PROP_BITS,
  PROP_VIDEO_DIRECTION,
  PROP_OPT_OUT,
  PROP_BUFFER1,
  PROP_BUFFER2,
  PROP_SIZE1,
  PROP_SIZE2,
};

#define GST_LIBYUV_LOCK(self) GST_OBJECT_LOCK(self)
#define GST_LIBYUV_UNLOCK(self) GST_OBJECT_UNLOCK(self)

#define SINK_FORMATS "{ I420, YV12, NV12, UYVY, YUY2, NV21, RGBA, BGRA, ABGR, ARGB, BGRx, RGBx, xBGR, xRGB }"
#define SRC_FORMATS \
  "{ I420, YV12, Y42B, Y444, NV12, NV21, UYVY, YUY2, NV24, RGBA, BGRA, ABGR, ARGB, BGRx, RGBx, xBGR, xRGB }"
#define RAW_CAPS(formats)                                                                                  \
  "video/x-raw, format = (string) " formats ", width = (int) [ 1, max ], height = (int) [ 1, max ], " \
  "framerate = (fraction) [ 0, max ]"

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(RAW_CAPS(SINK_FORMATS)));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(RAW_CAPS(SRC_FORMATS)));

#define gst_libyuv_parent_class parent_class
G_DEFINE_TYPE_WITH_CODE(GstLibYUV, gst_libyuv, GST_TYPE_VIDEO_FILTER,
                        GST_DEBUG_CATEGORY_INIT(gst_libyuv_debug, "libyuv", 0,
                                                "Convert / Crop / Rotate / Scale using libyuv"));
GST_ELEMENT_REGISTER_DEFINE_WITH_CODE(libyuv, "libyuv", GST_RANK_NONE, GST_TYPE_LIBYUV,
                                      gst_type_mark_as_plugin_api(GST_TYPE_VIDEO_ORIENTATION_METHOD,
                                                                  (GstPluginAPIFlags)0));

static void gst_libyuv_set_property(GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec);
static void gst_libyuv_get_property(GObject *object, guint prop_id, GValue *value, GParamSpec *pspec);
static void gst_libyuv_finalize(GObject *object);
static GstCaps *gst_libyuv_transform_caps(GstBaseTransform *trans, GstPadDirection direction, GstCaps *caps,
                                          GstCaps *filter);
static GstCaps *gst_libyuv_fixate_caps(GstBaseTransform *trans, GstPadDirection direction, GstCaps *caps,
                                       GstCaps *othercaps);
static gboolean gst_libyuv_filter_meta(GstBaseTransform *trans, GstQuery *query, GType api,
                                       const GstStructure *params);
static gboolean gst_libyuv_sink_event(GstBaseTransform *trans, GstEvent *event);
static GstFlowReturn gst_libyuv_prepare_output_buffer(GstBaseTransform *trans, GstBuffer *input,
                                                      GstBuffer **outbuf);
static gboolean gst_libyuv_set_info(GstVideoFilter *filter, GstCaps *incaps, GstVideoInfo *in_info,
                                    GstCaps *outcaps, GstVideoInfo *out_info);
static GstFlowReturn gst_libyuv_transform_frame(GstVideoFilter *filter, GstVideoFrame *in_frame,
                                                GstVideoFrame *out_frame);

static void gst_libyuv_class_init(GstLibYUVClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  GstBaseTransformClass *trans_class = GST_BASE_TRANSFORM_CLASS(klass);
  GstVideoFilterClass *filter_class = GST_VIDEO_FILTER_CLASS(klass);

  gobject_class->set_property = gst_libyuv_set_property;
  gobject_class->get_property = gst_libyuv_get_property;
  gobject_class->finalize = gst_libyuv_finalize;

  const int common = G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_CONTROLLABLE;
  const GParamFlags playing = static_cast<GParamFlags>(common | GST_PARAM_MUTABLE_PLAYING);
  const GParamFlags ready = static_cast<GParamFlags>(common | GST_PARAM_MUTABLE_READY);

  g_object_class_install_property(gobject_class, PROP_LEFT,
                                  g_param_spec_uint("left", "Left", "Pixels to crop at left", 0, G_MAXUINT,
                                                    DEFAULT_CROP, playing));
  g_object_class_install_property(gobject_class, PROP_RIGHT,
                                  g_param_spec_uint("right", "Right", "Pixels to crop at right", 0, G_MAXUINT,
                                                    DEFAULT_CROP, playing));
  g_object_class_install_property(gobject_class, PROP_TOP,
                                  g_param_spec_uint("top", "Top", "Pixels to crop at top", 0, G_MAXUINT,
                                                    DEFAULT_CROP, playing));
  g_object_class_install_property(gobject_class, PROP_BOTTOM,
                                  g_param_spec_uint("bottom", "Bottom", "Pixels to crop at bottom", 0, G_MAXUINT,
                                                    DEFAULT_CROP, playing));
  g_object_class_install_property(gobject_class, PROP_BITS,
                                  g_param_spec_uint("bits", "Bits", "Bits per pixel", 12, 32, DEFAULT_BITS, ready));
  g_object_class_install_property(
      gobject_class, PROP_VIDEO_DIRECTION,
      g_param_spec_enum("video-direction", "Video direction", "Video direction: rotation and flipping",
                        GST_TYPE_VIDEO_ORIENTATION_METHOD, DEFAULT_DIRECTION,
                        static_cast<GParamFlags>(playing | G_PARAM_CONSTRUCT)));
  g_object_class_install_property(gobject_class, PROP_OPT_OUT,
                                  g_param_spec_boolean("opt-out", "Optimize output", "Optimize output",
                                                       DEFAULT_OPT_OUT, ready));
  g_object_class_install_property(gobject_class, PROP_BUFFER1,
                                  g_param_spec_pointer("buffer1", "Video processing first buffer",
                                                       "Video proc buffer", ready));
  g_object_class_install_property(gobject_class, PROP_BUFFER2,
                                  g_param_spec_pointer("buffer2", "Video processing second buffer",
                                                       "Video proc buffer", ready));
  g_object_class_install_property(gobject_class, PROP_SIZE1,
                                  g_param_spec_uint64("size1", "Video processing first buffer size",
                                                      "Video proc buffer size", 0, G_MAXUINT64, DEFAULT_SIZE, ready));
  g_object_class_install_property(gobject_class, PROP_SIZE2,
                                  g_param_spec_uint64("size2", "Video processing second buffer size",
                                                      "Video proc buffer size", 0, G_MAXUINT64, DEFAULT_SIZE, ready));

  gst_element_class_set_static_metadata(element_class, "Convert / Crop / Rotate / Scale", "Filter/Converter/Video",
                                        "Convert / Crop / Rotate / Scale using libyuv", "Veltrana");
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);

  trans_class->passthrough_on_same_caps = FALSE;
  trans_class->transform_caps = GST_DEBUG_FUNCPTR(gst_libyuv_transform_caps);
  trans_class->fixate_caps = GST_DEBUG_FUNCPTR(gst_libyuv_fixate_caps);
  trans_class->filter_meta = GST_DEBUG_FUNCPTR(gst_libyuv_filter_meta);
  trans_class->sink_event = GST_DEBUG_FUNCPTR(gst_libyuv_sink_event);
  trans_class->prepare_output_buffer = GST_DEBUG_FUNCPTR(gst_libyuv_prepare_output_buffer);
  filter_class->set_info = GST_DEBUG_FUNCPTR(gst_libyuv_set_info);
  filter_class->transform_frame = GST_DEBUG_FUNCPTR(gst_libyuv_transform_frame);
}

static void gst_libyuv_init(GstLibYUV *self)
{
  self->bits = DEFAULT_BITS;
  self->direction = DEFAULT_DIRECTION;
  self->opt_out = DEFAULT_OPT_OUT;
  self->tag_method = GST_VIDEO_ORIENTATION_IDENTITY;
  self->method = GST_VIDEO_ORIENTATION_IDENTITY;
  self->configuring_method = GST_VIDEO_ORIENTATION_IDENTITY;
  self->active_method = GST_VIDEO_ORIENTATION_AUTO;
}

static void gst_libyuv_finalize(GObject *object)
{
  GstLibYUV *self = GST_LIBYUV(object);
  GST_DEBUG_OBJECT(self, "free in buffer");
  ravk_libyuv_buffer_free(&self->in_frame);
  GST_DEBUG_OBJECT(self, "free out buffer");
  ravk_libyuv_buffer_free(&self->out_frame);
  GST_DEBUG_OBJECT(self, "destroy ravk libyuv");
  ravk_libyuv_destroy(&self->context);
  G_OBJECT_CLASS(parent_class)->finalize(object);
}

/* --- Formats and orientation --- */

uint32_t gst_libyuv_format_to_fourcc(GstVideoFormat format)
{
  switch (format) {
    case GST_VIDEO_FORMAT_I420: return core_fourcc("I420");
    case GST_VIDEO_FORMAT_YV12: return core_fourcc("YV12");
    case GST_VIDEO_FORMAT_YUY2: return core_fourcc("YUY2");
    case GST_VIDEO_FORMAT_UYVY: return core_fourcc("UYVY");
    case GST_VIDEO_FORMAT_RGBx: return core_fourcc("RGBx");
    case GST_VIDEO_FORMAT_BGRx: return core_fourcc("BGRx");
    case GST_VIDEO_FORMAT_xRGB: return core_fourcc("xRGB");
    case GST_VIDEO_FORMAT_xBGR: return core_fourcc("xBGR");
    case GST_VIDEO_FORMAT_RGBA: return core_fourcc("RGBA");
    case GST_VIDEO_FORMAT_BGRA: return core_fourcc("BGRA");
    case GST_VIDEO_FORMAT_ARGB: return core_fourcc("ARGB");
    case GST_VIDEO_FORMAT_ABGR: return core_fourcc("ABGR");
    case GST_VIDEO_FORMAT_Y42B: return core_fourcc("I422");
    case GST_VIDEO_FORMAT_Y444: return core_fourcc("I444");
    case GST_VIDEO_FORMAT_NV12: return core_fourcc("NV12");
    case GST_VIDEO_FORMAT_NV21: return core_fourcc("NV21");
    case GST_VIDEO_FORMAT_NV16: return core_fourcc("NV16");
    case GST_VIDEO_FORMAT_NV24: return core_fourcc("NV24");
    case GST_VIDEO_FORMAT_NV61: return core_fourcc("NV61");
    default: return RAVK_FOURCC_NONE;
  }
}

void gst_libyuv_method_transform(GstVideoOrientationMethod method, int *mirror, uint32_t *angle)
{
  static const struct {
    int mirror;
    uint32_t angle;
  } table[] = {
      {0, 0}, {0, 90}, {0, 180}, {0, 270}, /* identity, 90r, 180, 90l */
      {1, 0}, {1, 180}, {1, 270}, {1, 90}, /* horiz, vert, ul-lr, ur-ll */
  };
  guint m = static_cast<guint>(method);
  *mirror = m < G_N_ELEMENTS(table) ? table[m].mirror : 0;
  *angle = m < G_N_ELEMENTS(table) ? table[m].angle : 0;
}

/* A crop side of RAVK_CROP_OFF switches the whole crop off. */
static gboolean crop_active(guint left, guint right, guint top, guint bottom)
{
  const guint off = static_cast<guint>(RAVK_CROP_OFF);
  return (left || right || top || bottom) && left != off && right != off && top != off && bottom != off;
}

static gboolean method_turns(GstVideoOrientationMethod method)
{
  return method == GST_VIDEO_ORIENTATION_90R || method == GST_VIDEO_ORIENTATION_90L ||
         method == GST_VIDEO_ORIENTATION_UL_LR || method == GST_VIDEO_ORIENTATION_UR_LL;
}

static void gst_libyuv_set_method(GstLibYUV *self, GstVideoOrientationMethod method, gboolean from_tag)
{
  if (method == GST_VIDEO_ORIENTATION_CUSTOM) {
    GST_WARNING_OBJECT(self, "unsupported custom orientation");
    return;
  }
  GST_LIBYUV_LOCK(self);
  if (from_tag)
    self->tag_method = method;
  else
    self->direction = method;
  GstVideoOrientationMethod proposed =
      self->direction == GST_VIDEO_ORIENTATION_AUTO ? self->tag_method : self->direction;
  gboolean differs = proposed != self->method;
  if (differs) {
    GST_DEBUG_OBJECT(self, "method %d -> %d", self->method, proposed);
    self->method = proposed;
    self->changed = TRUE;
  }
  GST_LIBYUV_UNLOCK(self);
  if (differs)
    gst_base_transform_reconfigure_src(GST_BASE_TRANSFORM(self));
}

/* --- Properties --- */

static void store_uint(GstLibYUV *self, guint *field, const GValue *value)
{
  guint v = g_value_get_uint(value);
  GST_LIBYUV_LOCK(self);
  gboolean changed = *field != v;
  *field = v;
  GST_LIBYUV_UNLOCK(self);
  if (changed)
    gst_base_transform_reconfigure_src(GST_BASE_TRANSFORM(self));
}

static void gst_libyuv_set_property(GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  GstLibYUV *self = GST_LIBYUV(object);

  switch (prop_id) {
    case PROP_LEFT: store_uint(self, &self->crop_left, value); break;
    case PROP_RIGHT: store_uint(self, &self->crop_right, value); break;
    case PROP_TOP: store_uint(self, &self->crop_top, value); break;
    case PROP_BOTTOM: store_uint(self, &self->crop_bottom, value); break;
    case PROP_BITS: store_uint(self, &self->bits, value); break;
    case PROP_VIDEO_DIRECTION:
      gst_libyuv_set_method(self, static_cast<GstVideoOrientationMethod>(g_value_get_enum(value)), FALSE);
      break;
    case PROP_OPT_OUT:
      GST_LIBYUV_LOCK(self);
      self->opt_out = g_value_get_boolean(value);
      GST_LIBYUV_UNLOCK(self);
      break;
    case PROP_BUFFER1:
      GST_LIBYUV_LOCK(self);
      self->buffer1 = g_value_get_pointer(value);
      GST_LIBYUV_UNLOCK(self);
      break;
    case PROP_BUFFER2:
      GST_LIBYUV_LOCK(self);
      self->buffer2 = g_value_get_pointer(value);
      GST_LIBYUV_UNLOCK(self);
      break;
    case PROP_SIZE1:
      GST_LIBYUV_LOCK(self);
      self->size1 = g_value_get_uint64(value);
      GST_LIBYUV_UNLOCK(self);
      break;
    case PROP_SIZE2:
      GST_LIBYUV_LOCK(self);
      self->size2 = g_value_get_uint64(value);
      GST_LIBYUV_UNLOCK(self);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static void gst_libyuv_get_property(GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  GstLibYUV *self = GST_LIBYUV(object);

  GST_LIBYUV_LOCK(self);
  switch (prop_id) {
    case PROP_LEFT: g_value_set_uint(value, self->crop_left); break;
    case PROP_RIGHT: g_value_set_uint(value, self->crop_right); break;
    case PROP_TOP: g_value_set_uint(value, self->crop_top); break;
    case PROP_BOTTOM: g_value_set_uint(value, self->crop_bottom); break;
    case PROP_BITS: g_value_set_uint(value, self->bits); break;
    case PROP_VIDEO_DIRECTION: g_value_set_enum(value, self->direction); break;
    case PROP_OPT_OUT: g_value_set_boolean(value, self->opt_out); break;
    case PROP_BUFFER1: g_value_set_pointer(value, self->buffer1); break;
    case PROP_BUFFER2: g_value_set_pointer(value, self->buffer2); break;
    case PROP_SIZE1: g_value_set_uint64(value, self->size1); break;
    case PROP_SIZE2: g_value_set_uint64(value, self->size2); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec); break;
  }
  GST_LIBYUV_UNLOCK(self);
}

/* --- Events and metadata --- */

static gboolean gst_libyuv_sink_event(GstBaseTransform *trans, GstEvent *event)
{
  GstLibYUV *self = GST_LIBYUV(trans);

  if (GST_EVENT_TYPE(event) == GST_EVENT_TAG) {
    static const struct {
      const char *tag;
      GstVideoOrientationMethod method;
    } tags[] = {
        {"rotate-0", GST_VIDEO_ORIENTATION_IDENTITY},     {"rotate-90", GST_VIDEO_ORIENTATION_90R},
        {"rotate-180", GST_VIDEO_ORIENTATION_180},        {"rotate-270", GST_VIDEO_ORIENTATION_90L},
        {"flip-rotate-0", GST_VIDEO_ORIENTATION_HORIZ},   {"flip-rotate-90", GST_VIDEO_ORIENTATION_UL_LR},
        {"flip-rotate-180", GST_VIDEO_ORIENTATION_VERT},  {"flip-rotate-270", GST_VIDEO_ORIENTATION_UR_LL},
    };
    GstTagList *taglist;
    gchar *orientation;
    gst_event_parse_tag(event, &taglist);
    if (gst_tag_list_get_string(taglist, GST_TAG_IMAGE_ORIENTATION, &orientation)) {
      for (const auto &t : tags)
        if (g_strcmp0(orientation, t.tag) == 0)
          gst_libyuv_set_method(self, t.method, TRUE);
      g_free(orientation);
    }
  }
  return GST_BASE_TRANSFORM_CLASS(parent_class)->sink_event(trans, event);
}

static gboolean gst_libyuv_filter_meta(GstBaseTransform *, GstQuery *, GType api, const GstStructure *)
{
  /* Downstream must not crop what we already cropped. */
  return api != GST_VIDEO_CROP_META_API_TYPE;
}

/* --- Caps --- */

static GstCaps *gst_libyuv_transform_caps(GstBaseTransform *trans, GstPadDirection, GstCaps *caps,
                                          GstCaps *filter)
{
  GstLibYUV *self = GST_LIBYUV(trans);

  GST_LIBYUV_LOCK(self);
  if (self->changed) {
    self->configuring_method = self->method;
    self->changed = FALSE;
  }
  GST_LIBYUV_UNLOCK(self);

  GstCaps *ret = gst_caps_new_empty();
  for (guint i = 0; i < gst_caps_get_size(caps); i++) {
    GstStructure *structure = gst_caps_get_structure(caps, i);
    GstCapsFeatures *features = gst_caps_get_features(caps, i);
    if (i > 0 && gst_caps_is_subset_structure_full(ret, structure, features))
      continue;
    structure = gst_structure_copy(structure);
    if (!gst_caps_features_is_any(features) &&
        gst_caps_features_is_equal(features, GST_CAPS_FEATURES_MEMORY_SYSTEM_MEMORY)) {
      gst_structure_set(structure, "width", GST_TYPE_INT_RANGE, 1, G_MAXINT, "height", GST_TYPE_INT_RANGE, 1,
                        G_MAXINT, NULL);
      gst_structure_remove_fields(structure, "format", "colorimetry", "chroma-site", NULL);
      if (gst_structure_has_field(structure, "pixel-aspect-ratio"))
        gst_structure_set(structure, "pixel-aspect-ratio", GST_TYPE_FRACTION_RANGE, 1, G_MAXINT, G_MAXINT, 1,
                          NULL);
    }
    gst_caps_append_structure_full(ret, structure, gst_caps_features_copy(features));
  }
  if (filter) {
    GstCaps *tmp = gst_caps_intersect_full(filter, ret, GST_CAPS_INTERSECT_FIRST);
    gst_caps_unref(ret);
    ret = tmp;
  }
  GST_DEBUG_OBJECT(self, "transformed %" GST_PTR_FORMAT " into %" GST_PTR_FORMAT, caps, ret);
  return ret;
}

/* How far converting `in` to `candidate` loses information; lower is better. */
static gint format_score(const GstVideoFormatInfo *in, const GstVideoFormatInfo *candidate)
{
  if (in == candidate)
    return 0;
  const GstVideoFormatFlags color_mask =
      static_cast<GstVideoFormatFlags>(GST_VIDEO_FORMAT_FLAG_YUV | GST_VIDEO_FORMAT_FLAG_RGB | GST_VIDEO_FORMAT_FLAG_GRAY);
  gint loss = 1;
  GstVideoFormatFlags in_flags = GST_VIDEO_FORMAT_INFO_FLAGS(in);
  GstVideoFormatFlags t_flags = GST_VIDEO_FORMAT_INFO_FLAGS(candidate);

  if ((t_flags & GST_VIDEO_FORMAT_FLAG_PALETTE) != (in_flags & GST_VIDEO_FORMAT_FLAG_PALETTE)) {
    loss += 1;
    if (t_flags & GST_VIDEO_FORMAT_FLAG_PALETTE)
      loss += 64;
  }
  if ((t_flags & color_mask) != (in_flags & color_mask)) {
    loss += 2;
    if (t_flags & GST_VIDEO_FORMAT_FLAG_GRAY)
      loss += 128;
  }
  if ((t_flags & GST_VIDEO_FORMAT_FLAG_ALPHA) != (in_flags & GST_VIDEO_FORMAT_FLAG_ALPHA)) {
    loss += 1;
    if (in_flags & GST_VIDEO_FORMAT_FLAG_ALPHA)
      loss += 8;
  }
  if (GST_VIDEO_FORMAT_INFO_H_SUB(in, 1) != GST_VIDEO_FORMAT_INFO_H_SUB(candidate, 1)) {
    loss += 1;
    if (GST_VIDEO_FORMAT_INFO_H_SUB(in, 1) < GST_VIDEO_FORMAT_INFO_H_SUB(candidate, 1))
      loss += 32;
  }
  if (GST_VIDEO_FORMAT_INFO_W_SUB(in, 1) != GST_VIDEO_FORMAT_INFO_W_SUB(candidate, 1)) {
    loss += 1;
    if (GST_VIDEO_FORMAT_INFO_W_SUB(in, 1) < GST_VIDEO_FORMAT_INFO_W_SUB(candidate, 1))
      loss += 16;
  }
  if (GST_VIDEO_FORMAT_INFO_BITS(in) != GST_VIDEO_FORMAT_INFO_BITS(candidate)) {
    loss += 1;
    if (GST_VIDEO_FORMAT_INFO_BITS(in) > GST_VIDEO_FORMAT_INFO_BITS(candidate))
      loss += 4 + (GST_VIDEO_FORMAT_INFO_BITS(in) - GST_VIDEO_FORMAT_INFO_BITS(candidate));
  }
  return loss;
}

static void score_value(const GstVideoFormatInfo *in, const GValue *value, gint *best_loss,
                        const GstVideoFormatInfo **best)
{
  const gchar *name = g_value_get_string(value);
  GstVideoFormat format = gst_video_format_from_string(name);
  if (format == GST_VIDEO_FORMAT_UNKNOWN)
    return;
  const GstVideoFormatInfo *t = gst_video_format_get_info(format);
  gint loss = format_score(in, t);
  if (loss < *best_loss) {
    *best_loss = loss;
    *best = t;
  }
}

static void gst_libyuv_fixate_format(GstLibYUV *self, GstCaps *caps, GstCaps *result)
{
  GstStructure *ins = gst_caps_get_structure(caps, 0);
  const gchar *in_format = gst_structure_get_string(ins, "format");
  if (in_format == NULL)
    return;
  GstVideoFormat format = gst_video_format_from_string(in_format);
  if (format == GST_VIDEO_FORMAT_UNKNOWN)
    return;
  const GstVideoFormatInfo *in_info = gst_video_format_get_info(format);
  const GstVideoFormatInfo *best = NULL;
  gint best_loss = G_MAXINT;

  for (guint i = 0; i < gst_caps_get_size(result) && best_loss != 0; i++) {
    const GValue *formats = gst_structure_get_value(gst_caps_get_structure(result, i), "format");
    if (formats == NULL)
      continue;
    if (GST_VALUE_HOLDS_LIST(formats)) {
      for (guint j = 0; j < gst_value_list_get_size(formats) && best_loss != 0; j++) {
        const GValue *v = gst_value_list_get_value(formats, j);
        if (G_VALUE_HOLDS_STRING(v))
          score_value(in_info, v, &best_loss, &best);
      }
    } else if (G_VALUE_HOLDS_STRING(formats)) {
      score_value(in_info, formats, &best_loss, &best);
    }
  }
  if (best) {
    GST_DEBUG_OBJECT(self, "chose format %s (loss %d)", GST_VIDEO_FORMAT_INFO_NAME(best), best_loss);
    gst_structure_set(gst_caps_get_structure(result, 0), "format", G_TYPE_STRING, GST_VIDEO_FORMAT_INFO_NAME(best),
                      NULL);
  }
}

static void gst_libyuv_transfer_colorimetry(GstLibYUV *self, GstCaps *in_caps, GstCaps *out_caps)
{
  GstStructure *out = gst_caps_get_structure(out_caps, 0);
  gboolean have_colorimetry = gst_structure_has_field(out, "colorimetry");
  gboolean have_chroma_site = gst_structure_has_field(out, "chroma-site");
  if (have_colorimetry && have_chroma_site)
    return;

  GstVideoInfo in_info, out_info;
  if (!gst_video_info_from_caps(&in_info, in_caps)) {
    GST_WARNING_OBJECT(self, "Failed to convert sink pad caps to video info");
    return;
  }
  if (!gst_video_info_from_caps(&out_info, out_caps)) {
    GST_WARNING_OBJECT(self, "Failed to convert src pad caps to video info");
    return;
  }
  GstStructure *ins = gst_caps_get_structure(in_caps, 0);
  const GstVideoFormatFlags color_mask =
      static_cast<GstVideoFormatFlags>(GST_VIDEO_FORMAT_FLAG_YUV | GST_VIDEO_FORMAT_FLAG_RGB | GST_VIDEO_FORMAT_FLAG_GRAY);
  guint in_flags = GST_VIDEO_FORMAT_INFO_FLAGS(in_info.finfo) & color_mask;
  guint out_flags = GST_VIDEO_FORMAT_INFO_FLAGS(out_info.finfo) & color_mask;

  if (!have_colorimetry) {
    const GValue *colorimetry = gst_structure_get_value(ins, "colorimetry");
    if (colorimetry && in_flags == out_flags) {
      gst_structure_set_value(out, "colorimetry", colorimetry);
    } else {
      gchar *text = gst_video_colorimetry_to_string(&out_info.colorimetry);
      if (text)
        gst_structure_set(out, "colorimetry", G_TYPE_STRING, text, NULL);
      g_free(text);
    }
  }
  if (!have_chroma_site && GST_VIDEO_INFO_IS_YUV(&in_info) && GST_VIDEO_INFO_IS_YUV(&out_info)) {
    const GValue *site = gst_structure_get_value(ins, "chroma-site");
    gboolean same = site && GST_VIDEO_INFO_N_COMPONENTS(&in_info) == GST_VIDEO_INFO_N_COMPONENTS(&out_info);
    for (guint i = 0; same && i < GST_VIDEO_INFO_N_COMPONENTS(&in_info); i++)
      same = GST_VIDEO_FORMAT_INFO_W_SUB(in_info.finfo, i) == GST_VIDEO_FORMAT_INFO_W_SUB(out_info.finfo, i) &&
             GST_VIDEO_FORMAT_INFO_H_SUB(in_info.finfo, i) == GST_VIDEO_FORMAT_INFO_H_SUB(out_info.finfo, i);
    if (same)
      gst_structure_set_value(out, "chroma-site", site);
  }
}

static gint fixate_nearest_int(GstStructure *s, const char *field, gint target)
{
  gint v = 0;
  gst_structure_fixate_field_nearest_int(s, field, target);
  gst_structure_get_int(s, field, &v);
  return v;
}

/* Writes the output ratio when downstream named one or it is not square. */
static void set_par(GstStructure *outs, gint n, gint d)
{
  if (gst_structure_has_field(outs, "pixel-aspect-ratio") || n != d)
    gst_structure_set(outs, "pixel-aspect-ratio", GST_TYPE_FRACTION, n, d, NULL);
}

/* Fixes the output size so the display aspect ratio of `ins` is kept, with
 * the least change of width and height. */
static void gst_libyuv_fixate_size(GstLibYUV *self, GstPadDirection direction, GstStructure *ins,
                                   GstStructure *outs)
{
  GValue fpar = G_VALUE_INIT, tpar = G_VALUE_INIT;
  const GValue *from_par = gst_structure_get_value(ins, "pixel-aspect-ratio");
  const GValue *to_par = gst_structure_get_value(outs, "pixel-aspect-ratio");

  if (from_par == NULL) {
    g_value_init(&fpar, GST_TYPE_FRACTION);
    gst_value_set_fraction(&fpar, 1, 1);
    from_par = &fpar;
  }
  if (to_par == NULL) {
    if (direction == GST_PAD_SINK) {
      g_value_init(&tpar, GST_TYPE_FRACTION_RANGE);
      gst_value_set_fraction_range_full(&tpar, 1, G_MAXINT, G_MAXINT, 1);
    } else {
      g_value_init(&tpar, GST_TYPE_FRACTION);
      gst_value_set_fraction(&tpar, 1, 1);
      gst_structure_set(outs, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, NULL);
    }
    to_par = &tpar;
  }

  if (!gst_value_is_fixed(from_par)) {
    GST_WARNING_OBJECT(self, "input pixel-aspect-ratio is not fixed");
    goto done;
  }
  {
    gint from_par_n = gst_value_get_fraction_numerator(from_par);
    gint from_par_d = gst_value_get_fraction_denominator(from_par);
    gint from_w = 0, from_h = 0, w = 0, h = 0;
    gst_structure_get_int(ins, "width", &from_w);
    gst_structure_get_int(ins, "height", &from_h);
    gst_structure_get_int(outs, "width", &w);
    gst_structure_get_int(outs, "height", &h);

    if (w && h) {
      GST_DEBUG_OBJECT(self, "dimensions already set to %dx%d, not fixating", w, h);
      if (!gst_value_is_fixed(to_par)) {
        gint n, d;
        if (gst_video_calculate_display_ratio(reinterpret_cast<guint *>(&n), reinterpret_cast<guint *>(&d),
                                              from_w, from_h, from_par_n, from_par_d, w, h)) {
          if (gst_structure_has_field(outs, "pixel-aspect-ratio"))
            gst_structure_fixate_field_nearest_fraction(outs, "pixel-aspect-ratio", n, d);
          else if (n != d)
            gst_structure_set(outs, "pixel-aspect-ratio", GST_TYPE_FRACTION, n, d, NULL);
        }
      }
      goto done;
    }

    gint dar_n, dar_d;
    if (!gst_util_fraction_multiply(from_w, from_h, from_par_n, from_par_d, &dar_n, &dar_d)) {
      GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (NULL),
                        ("Error calculating the output scaled size - integer overflow"));
      goto done;
    }
    GST_DEBUG_OBJECT(self, "Input DAR is %d/%d", dar_n, dar_d);

    /* One side fixed: compute the other, first with the output ratio, else
     * with the ratio that lets the free side keep its input value. */
    if (h || w) {
      const gboolean height_fixed = h != 0;
      const char *fixed_field = height_fixed ? "height" : "width";
      const char *free_field = height_fixed ? "width" : "height";
      const gint fixed = height_fixed ? h : w;
      const gint from_free = height_fixed ? from_w : from_h;
      GST_DEBUG_OBJECT(self, "%s is fixed (%d)", fixed_field, fixed);
      /* free = fixed * DAR / PAR for width, fixed * PAR / DAR for height */
      auto scale = [&](gint par_n, gint par_d, gint *out) -> bool {
        gint num, den;
        if (!gst_util_fraction_multiply(dar_n, dar_d, par_d, par_n, &num, &den))
          return false;
        *out = height_fixed ? static_cast<gint>(gst_util_uint64_scale_int_round(fixed, num, den))
                            : static_cast<gint>(gst_util_uint64_scale_int_round(fixed, den, num));
        return true;
      };
      if (gst_value_is_fixed(to_par)) {
        gint to_par_n = gst_value_get_fraction_numerator(to_par);
        gint to_par_d = gst_value_get_fraction_denominator(to_par);
        GST_DEBUG_OBJECT(self, "PAR is fixed %d/%d", to_par_n, to_par_d);
        gint v;
        if (!scale(to_par_n, to_par_d, &v)) {
          GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (NULL),
                            ("Error calculating the output scaled size - integer overflow"));
          goto done;
        }
        gst_structure_fixate_field_nearest_int(outs, free_field, v);
        goto done;
      }
      GstStructure *tmp = gst_structure_copy(outs);
      gint set_free = fixate_nearest_int(tmp, free_field, from_free);
      gint par_n, par_d;
      gint sw = height_fixed ? set_free : fixed, sh = height_fixed ? fixed : set_free;
      if (!gst_util_fraction_multiply(dar_n, dar_d, sh, sw, &par_n, &par_d)) {
        gst_structure_free(tmp);
        GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (NULL),
                          ("Error calculating the output scaled size - integer overflow"));
        goto done;
      }
      if (!gst_structure_has_field(tmp, "pixel-aspect-ratio"))
        gst_structure_set_value(tmp, "pixel-aspect-ratio", to_par);
      gst_structure_fixate_field_nearest_fraction(tmp, "pixel-aspect-ratio", par_n, par_d);
      gint set_par_n = 1, set_par_d = 1;
      gst_structure_get_fraction(tmp, "pixel-aspect-ratio", &set_par_n, &set_par_d);
      gst_structure_free(tmp);
      if (set_par_n == par_n && set_par_d == par_d) {
        gst_structure_set(outs, free_field, G_TYPE_INT, set_free, NULL);
        set_par(outs, set_par_n, set_par_d);
        goto done;
      }
      gint v;
      if (!scale(set_par_n, set_par_d, &v)) {
        GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (NULL),
                          ("Error calculating the output scaled size - integer overflow"));
        goto done;
      }
      gst_structure_fixate_field_nearest_int(outs, free_field, v);
      set_par(outs, set_par_n, set_par_d);
      goto done;
    }

    if (gst_value_is_fixed(to_par)) {
      gint to_par_n = gst_value_get_fraction_numerator(to_par);
      gint to_par_d = gst_value_get_fraction_denominator(to_par);
      gint num, den;
      if (!gst_util_fraction_multiply(dar_n, dar_d, to_par_d, to_par_n, &num, &den)) {
        GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (NULL),
                          ("Error calculating the output scaled size - integer overflow"));
        goto done;
      }
      /* Keep the input height, else the input width, else the closer. */
      GstStructure *tmp = gst_structure_copy(outs);
      gint h1 = fixate_nearest_int(tmp, "height", from_h);
      gint want_w = static_cast<gint>(gst_util_uint64_scale_int_round(h1, num, den));
      gint w1 = fixate_nearest_int(tmp, "width", want_w);
      gst_structure_free(tmp);
      if (w1 == want_w) {
        gst_structure_set(outs, "width", G_TYPE_INT, w1, "height", G_TYPE_INT, h1, NULL);
        goto done;
      }
      tmp = gst_structure_copy(outs);
      gint w2 = fixate_nearest_int(tmp, "width", from_w);
      gint want_h = static_cast<gint>(gst_util_uint64_scale_int_round(w2, den, num));
      gint h2 = fixate_nearest_int(tmp, "height", want_h);
      gst_structure_free(tmp);
      if (h2 == want_h) {
        gst_structure_set(outs, "width", G_TYPE_INT, w2, "height", G_TYPE_INT, h2, NULL);
        goto done;
      }
      guint64 err1 = static_cast<guint64>(std::abs(w1 - want_w)) * h1;
      guint64 err2 = static_cast<guint64>(std::abs(h2 - want_h)) * w2;
      if (err1 <= err2)
        gst_structure_set(outs, "width", G_TYPE_INT, w1, "height", G_TYPE_INT, h1, NULL);
      else
        gst_structure_set(outs, "width", G_TYPE_INT, w2, "height", G_TYPE_INT, h2, NULL);
      goto done;
    }

    {
      /* Both sides and the ratio free: keep the input size when some ratio
       * lets it keep the display aspect ratio. */
      GstStructure *tmp = gst_structure_copy(outs);
      gint set_h = fixate_nearest_int(tmp, "height", from_h);
      gint set_w = fixate_nearest_int(tmp, "width", from_w);
      gint par_n, par_d;
      if (!gst_util_fraction_multiply(dar_n, dar_d, set_h, set_w, &par_n, &par_d)) {
        gst_structure_free(tmp);
        GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (NULL),
                          ("Error calculating the output scaled size - integer overflow"));
        goto done;
      }
      if (!gst_structure_has_field(tmp, "pixel-aspect-ratio"))
        gst_structure_set_value(tmp, "pixel-aspect-ratio", to_par);
      gst_structure_fixate_field_nearest_fraction(tmp, "pixel-aspect-ratio", par_n, par_d);
      gint set_par_n = 1, set_par_d = 1;
      gst_structure_get_fraction(tmp, "pixel-aspect-ratio", &set_par_n, &set_par_d);
      gst_structure_free(tmp);
      if (set_par_n == par_n && set_par_d == par_d) {
        gst_structure_set(outs, "width", G_TYPE_INT, set_w, "height", G_TYPE_INT, set_h, NULL);
        set_par(outs, set_par_n, set_par_d);
        goto done;
      }
      gint num, den;
      if (!gst_util_fraction_multiply(dar_n, dar_d, set_par_d, set_par_n, &num, &den)) {
        GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (NULL),
                          ("Error calculating the output scaled size - integer overflow"));
        goto done;
      }
      tmp = gst_structure_copy(outs);
      gint want_w = static_cast<gint>(gst_util_uint64_scale_int_round(set_h, num, den));
      gint w1 = fixate_nearest_int(tmp, "width", want_w);
      gst_structure_free(tmp);
      if (w1 == want_w) {
        gst_structure_set(outs, "width", G_TYPE_INT, w1, "height", G_TYPE_INT, set_h, NULL);
        set_par(outs, set_par_n, set_par_d);
        goto done;
      }
      tmp = gst_structure_copy(outs);
      gint want_h = static_cast<gint>(gst_util_uint64_scale_int_round(set_w, den, num));
      gint h1 = fixate_nearest_int(tmp, "height", want_h);
      gst_structure_free(tmp);
      if (h1 == want_h) {
        gst_structure_set(outs, "width", G_TYPE_INT, set_w, "height", G_TYPE_INT, h1, NULL);
        set_par(outs, set_par_n, set_par_d);
        goto done;
      }
      gst_structure_set(outs, "width", G_TYPE_INT, set_w, "height", G_TYPE_INT, set_h, NULL);
      set_par(outs, set_par_n, set_par_d);
    }
  }

done:
  if (from_par == &fpar)
    g_value_unset(&fpar);
  if (to_par == &tpar)
    g_value_unset(&tpar);
}

/* The caps seen through a quarter turn: width and height exchanged and the
 * pixel aspect ratio inverted. */
static void rotate_structure(GstStructure *s)
{
  gint w, h, n, d;
  if (gst_structure_get_int(s, "width", &w) && gst_structure_get_int(s, "height", &h))
    gst_structure_set(s, "width", G_TYPE_INT, h, "height", G_TYPE_INT, w, NULL);
  if (gst_structure_get_fraction(s, "pixel-aspect-ratio", &n, &d) && n != d)
    gst_structure_set(s, "pixel-aspect-ratio", GST_TYPE_FRACTION, d, n, NULL);
}

static GstCaps *gst_libyuv_fixate_caps(GstBaseTransform *trans, GstPadDirection direction, GstCaps *caps,
                                       GstCaps *othercaps)
{
  GstLibYUV *self = GST_LIBYUV(trans);

  GstCaps *result = gst_caps_intersect(othercaps, caps);
  if (gst_caps_is_empty(result)) {
    gst_caps_unref(result);
    result = gst_caps_copy(othercaps);
  }
  gst_libyuv_fixate_format(self, caps, result);
  result = gst_caps_fixate(result);
  if (direction == GST_PAD_SINK) {
    if (gst_caps_is_subset(caps, result)) {
      gst_caps_replace(&result, caps);
    } else {
      result = gst_caps_make_writable(result);
      gst_libyuv_transfer_colorimetry(self, caps, result);
    }
  }
  if (gst_caps_is_empty(result)) {
    GST_DEBUG_OBJECT(self, "Could not convert formats");
    gst_caps_unref(othercaps);
    return result;
  }

  othercaps = gst_caps_truncate(othercaps);
  othercaps = gst_caps_make_writable(othercaps);

  GST_LIBYUV_LOCK(self);
  GstVideoOrientationMethod method = self->configuring_method;
  guint crop_left = self->crop_left, crop_right = self->crop_right;
  guint crop_top = self->crop_top, crop_bottom = self->crop_bottom;
  GST_LIBYUV_UNLOCK(self);
  gboolean crop_on = crop_active(crop_left, crop_right, crop_top, crop_bottom);

  /* Fix the size against the input as it will look after the crop and the
   * turn, so that a size downstream has already fixed stays as it is. */
  GstStructure *ins = gst_structure_copy(gst_caps_get_structure(caps, 0));
  gint w, h;
  if (crop_on && gst_structure_get_int(ins, "width", &w) && gst_structure_get_int(ins, "height", &h)) {
    /* Sink caps lose the crop on their way out; source caps regain it. */
    gint64 dw = static_cast<gint64>(crop_left) + crop_right, dh = static_cast<gint64>(crop_top) + crop_bottom;
    gint64 cw = direction == GST_PAD_SINK ? w - dw : w + dw;
    gint64 ch = direction == GST_PAD_SINK ? h - dh : h + dh;
    if (cw > 0 && ch > 0 && cw <= G_MAXINT && ch <= G_MAXINT)
      gst_structure_set(ins, "width", G_TYPE_INT, static_cast<gint>(cw), "height", G_TYPE_INT,
                        static_cast<gint>(ch), NULL);
  }
  if (method_turns(method))
    rotate_structure(ins);
  else if (method == GST_VIDEO_ORIENTATION_CUSTOM)
    GST_WARNING_OBJECT(self, "unsupported custom orientation");
  else if (method > GST_VIDEO_ORIENTATION_UR_LL)
    GST_WARNING_OBJECT(self, "invalid rotate %d", method);
  gst_libyuv_fixate_size(self, direction, ins, gst_caps_get_structure(othercaps, 0));
  gst_structure_free(ins);

  if (gst_caps_get_size(othercaps) == 1) {
    GstStructure *from = gst_caps_get_structure(result, 0);
    GstStructure *to = gst_caps_get_structure(othercaps, 0);
    for (const char *field : {"format", "colorimetry", "chroma-site"}) {
      const gchar *value = gst_structure_get_string(from, field);
      if (value)
        gst_structure_set(to, field, G_TYPE_STRING, value, NULL);
      else
        gst_structure_remove_field(to, field);
    }
  }
  gst_caps_unref(result);
  othercaps = gst_caps_fixate(othercaps);
  GST_DEBUG_OBJECT(self, "fixated to %" GST_PTR_FORMAT, othercaps);
  return othercaps;
}

/* --- Frames --- */

static gboolean gst_libyuv_set_info(GstVideoFilter *filter, GstCaps *, GstVideoInfo *in_info, GstCaps *,
                                    GstVideoInfo *out_info)
{
  GstLibYUV *self = GST_LIBYUV(filter);
  uint32_t in_fourcc = gst_libyuv_format_to_fourcc(GST_VIDEO_INFO_FORMAT(in_info));
  uint32_t out_fourcc = gst_libyuv_format_to_fourcc(GST_VIDEO_INFO_FORMAT(out_info));

  GST_LIBYUV_LOCK(self);
  GstVideoOrientationMethod method = self->configuring_method;
  guint left = self->crop_left, right = self->crop_right, top = self->crop_top, bottom = self->crop_bottom;
  guint bits = self->bits;
  RavkIoVec external1 = {self->size1, self->buffer1};
  RavkIoVec external2 = {self->size2, self->buffer2};
  GST_LIBYUV_UNLOCK(self);

  ravk_libyuv_buffer_free(&self->in_frame);
  ravk_libyuv_buffer_free(&self->out_frame);
  ravk_libyuv_destroy(&self->context);

  gboolean crop = crop_active(left, right, top, bottom);
  gboolean passthrough = method == GST_VIDEO_ORIENTATION_IDENTITY && !crop &&
                         GST_VIDEO_INFO_WIDTH(in_info) == GST_VIDEO_INFO_WIDTH(out_info) &&
                         GST_VIDEO_INFO_HEIGHT(in_info) == GST_VIDEO_INFO_HEIGHT(out_info) &&
                         GST_VIDEO_INFO_FORMAT(in_info) == GST_VIDEO_INFO_FORMAT(out_info);
  gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(filter), passthrough);

  if (!passthrough) {
    if (left > G_MAXINT32 || right > G_MAXINT32 || top > G_MAXINT32 || bottom > G_MAXINT32) {
      GST_ERROR_OBJECT(self, "crop %u,%u,%u,%u out of range", left, top, right, bottom);
      return FALSE;
    }
    RavkCrop c = {static_cast<int32_t>(left), static_cast<int32_t>(top), static_cast<int32_t>(right),
                  static_cast<int32_t>(bottom)};
    CoreFrameSize in_size = {GST_VIDEO_INFO_WIDTH(in_info), GST_VIDEO_INFO_HEIGHT(in_info)};
    CoreFrameSize out_size = {GST_VIDEO_INFO_WIDTH(out_info), GST_VIDEO_INFO_HEIGHT(out_info)};
    self->context = ravk_libyuv_create(out_fourcc, in_fourcc, &c, bits, &in_size, GST_VIDEO_INFO_SIZE(in_info),
                                       &out_size, GST_VIDEO_INFO_SIZE(out_info), &external1, &external2);
    if (self->context == NULL) {
      GST_ERROR_OBJECT(self, "failed on ravk_libyuv_create");
      return FALSE;
    }
    self->in_frame = ravk_libyuv_buffer_alloc(in_fourcc, &in_size);
    if (self->in_frame == NULL) {
      GST_ERROR_OBJECT(self, "failed on ravk_libyuv_buffer_alloc in");
      return FALSE;
    }
    self->out_frame = ravk_libyuv_buffer_alloc(out_fourcc, &out_size);
    if (self->out_frame == NULL) {
      GST_ERROR_OBJECT(self, "failed on ravk_libyuv_buffer_alloc out");
      return FALSE;
    }
  }

  GST_LIBYUV_LOCK(self);
  self->active_method = method;
  self->changed = TRUE;
  gboolean renegotiate = method != self->method;
  GST_LIBYUV_UNLOCK(self);
  if (renegotiate)
    gst_base_transform_reconfigure_src(GST_BASE_TRANSFORM(filter));
  return TRUE;
}

static void gst_libyuv_release_output(gpointer data)
{
  GstLibYUV *self = GST_LIBYUV(data);
  g_atomic_int_add(&self->handed_out, -1);
  gst_object_unref(self);
}

static GstFlowReturn gst_libyuv_prepare_output_buffer(GstBaseTransform *trans, GstBuffer *input,
                                                      GstBuffer **outbuf)
{
  GstLibYUV *self = GST_LIBYUV(trans);
  GstVideoFilter *filter = GST_VIDEO_FILTER(trans);

  if (gst_base_transform_is_passthrough(trans)) {
    *outbuf = input;
    return GST_FLOW_OK;
  }
  if (self->context == NULL) {
    GST_ERROR_OBJECT(self, "invalid internal pointer");
    return GST_FLOW_ERROR;
  }

  GST_LIBYUV_LOCK(self);
  gboolean opt_out = self->opt_out;
  GstVideoOrientationMethod method = self->active_method;
  GST_LIBYUV_UNLOCK(self);

  guint64 size = ravk_libyuv_build_output_buffer_size(self->context);
  if (size == 0) {
    GST_ERROR_OBJECT(self, "failed on ravk_libyuv_build_output_buffer_size");
    return GST_FLOW_ERROR;
  }

  /* Zero-copy output needs memory that outlives a renegotiation: only the
   * caller's external buffers qualify, never our own intermediates. */
  if (opt_out && self->context->external) {
    if (g_atomic_int_get(&self->handed_out) > 0) {
      GST_DEBUG_OBJECT(self, "output is busy");
      return GST_BASE_TRANSFORM_FLOW_DROPPED;
    }
    GstMapInfo map;
    if (!gst_buffer_map(input, &map, GST_MAP_READ)) {
      GST_ERROR_OBJECT(self, "failed on gst_buffer_map");
      return GST_FLOW_ERROR;
    }
    self->in_frame->planes[0].data = map.data + GST_VIDEO_INFO_PLANE_OFFSET(&filter->in_info, 0);
    int mirror;
    uint32_t angle;
    gst_libyuv_method_transform(method, &mirror, &angle);
    RavkFrameBuffer *target = ravk_libyuv_get_output_buffer(self->context, angle, mirror, self->in_frame);
    gst_buffer_unmap(input, &map);
    self->in_frame->planes[0].data = NULL;
    if (target == NULL) {
      GST_ERROR_OBJECT(self, "failed on ravk_libyuv_get_output_buffer");
      return GST_FLOW_ERROR;
    }
    if (size > target->size) {
      GST_ERROR_OBJECT(self, "external buffer of %" G_GUINT64_FORMAT " bytes holds no frame of %" G_GUINT64_FORMAT,
                       target->size, size);
      return GST_FLOW_ERROR;
    }
    *outbuf = gst_buffer_new_wrapped_full(static_cast<GstMemoryFlags>(0), target->data, target->size, 0, size,
                                          gst_object_ref(self), gst_libyuv_release_output);
    if (*outbuf == NULL) {
      GST_ERROR_OBJECT(self, "failed on gst_buffer_new_wrapped_full size %" G_GUINT64_FORMAT, size);
      gst_object_unref(self);
      return GST_FLOW_ERROR;
    }
    g_atomic_int_inc(&self->handed_out);
  } else {
    *outbuf = gst_buffer_new_allocate(NULL, size, NULL);
    if (*outbuf == NULL) {
      GST_ERROR_OBJECT(self, "failed on gst_buffer_new_allocate size %" G_GUINT64_FORMAT, size);
      return GST_FLOW_ERROR;
    }
  }

  if (!GST_BASE_TRANSFORM_CLASS(parent_class)->copy_metadata(trans, input, *outbuf))
    GST_ELEMENT_WARNING(self, STREAM, NOT_IMPLEMENTED, ("could not copy metadata"), (NULL));
  return GST_FLOW_OK;
}

static void set_view(RavkFrameBuffer *view, GstVideoFrame *frame)
{
  view->data = NULL;
  view->size = 0;
  view->plane_count = GST_VIDEO_FRAME_N_PLANES(frame);
  for (guint i = 0; i < 4; i++) {
    view->planes[i].data = i < view->plane_count ? static_cast<uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(frame, i)) : NULL;
    view->planes[i].stride = i < view->plane_count ? GST_VIDEO_FRAME_PLANE_STRIDE(frame, i) : 0;
  }
}

static GstFlowReturn gst_libyuv_transform_frame(GstVideoFilter *filter, GstVideoFrame *in_frame,
                                                GstVideoFrame *out_frame)
{
  GstLibYUV *self = GST_LIBYUV(filter);

  if (self->context) {
    set_view(self->in_frame, in_frame);
    set_view(self->out_frame, out_frame);
  }
  GST_LIBYUV_LOCK(self);
  if (self->active_method != self->configuring_method) {
    self->active_method = self->configuring_method;
    self->changed = TRUE;
  }
  GstVideoOrientationMethod method = self->active_method;
  GST_LIBYUV_UNLOCK(self);

  if (self->context == NULL)
    return GST_FLOW_OK;

  int mirror;
  uint32_t angle;
  gst_libyuv_method_transform(method, &mirror, &angle);
  if (ravk_libyuv_processing(self->context, angle, mirror, self->in_frame, self->out_frame) != 0) {
    GST_ERROR_OBJECT(self, "failed on ravk_libyuv_processing");
    return GST_BASE_TRANSFORM_FLOW_DROPPED;
  }
  /* Nothing to convert (a crop that is switched off): the output buffer is
   * fresh memory and must still carry the picture. */
  if (self->context->planned == 0 && !gst_video_frame_copy(out_frame, in_frame)) {
    GST_ERROR_OBJECT(self, "failed on gst_video_frame_copy");
    return GST_BASE_TRANSFORM_FLOW_DROPPED;
  }
  return GST_FLOW_OK;
}

/* --- Plug-in --- */

static gboolean libyuv_plugin_init(GstPlugin *plugin)
{
  return GST_ELEMENT_REGISTER(libyuv, plugin);
}

static const GstPluginDesc libyuv_desc = {
    GST_VERSION_MAJOR, GST_VERSION_MINOR, "libyuv", "Convert / Crop / Rotate / Scale using libyuv",
    libyuv_plugin_init, "1.0", "Proprietary", "library/package", "ravelkit", "Veltrana", NULL, {NULL},
};

gboolean gst_plugin_libyuv_register(void)
{
  return gst_plugin_register_static(libyuv_desc.major_version, libyuv_desc.minor_version, libyuv_desc.name,
                                    libyuv_desc.description, libyuv_desc.plugin_init, libyuv_desc.version,
                                    libyuv_desc.license, libyuv_desc.source, libyuv_desc.package,
                                    libyuv_desc.origin);
}

const GstPluginDesc *gst_plugin_libyuv_get_desc(void)
{
  return &libyuv_desc;
}
