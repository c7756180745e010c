// The "libyuv" element: converts the pixel format, crops, mirrors, scales and
// rotates raw video with the conversion context of ravelkit/frame.h.
//
// Properties are set on application threads; caps negotiation, set_info,
// prepare_output_buffer and transform_frame run on the streaming thread; a
// zero-copy output buffer is released on whichever thread drops it. The
// object lock guards the properties and the orientation methods; the
// conversion state belongs to the streaming thread. The registration entry
// points return TRUE when GStreamer accepted the plug-in.
#pragma once

#include <gst/gst.h>
#include <gst/video/gstvideofilter.h>
#include <gst/video/video.h>

#include "ravelkit/frame.h"

G_BEGIN_DECLS

#define GST_TYPE_LIBYUV (gst_libyuv_get_type())
#define GST_LIBYUV(obj) (G_TYPE_CHECK_INSTANCE_CAST((obj), GST_TYPE_LIBYUV, GstLibYUV))

typedef struct _GstLibYUV GstLibYUV;
typedef struct _GstLibYUVClass GstLibYUVClass;

struct _GstLibYUV {
  GstVideoFilter parent;

  /* properties */
  guint crop_left, crop_right, crop_top, crop_bottom;
  guint bits;
  GstVideoOrientationMethod direction;  /* "video-direction" as set */
  gboolean opt_out;
  gpointer buffer1, buffer2;
  guint64 size1, size2;

  /* orientation: a property or tag sets the method, the next caps
   * transformation adopts it for negotiation, set_info applies it to frames */
  GstVideoOrientationMethod tag_method;
  GstVideoOrientationMethod method;
  GstVideoOrientationMethod configuring_method;
  GstVideoOrientationMethod active_method;
  gboolean changed;

  /* conversion, streaming thread only */
  RavkLibyuvContext *context;
  RavkFrameBuffer *in_frame;
  RavkFrameBuffer *out_frame;

  /* zero-copy output buffers not yet released (atomic) */
  gint handed_out;
};

struct _GstLibYUVClass {
  GstVideoFilterClass parent_class;
};

GType gst_libyuv_get_type(void);

GST_ELEMENT_REGISTER_DECLARE(libyuv);

/* Registers the static plug-in "libyuv" with the running GStreamer. */
gboolean gst_plugin_libyuv_register(void);
const GstPluginDesc *gst_plugin_libyuv_get_desc(void);

/* The FourCC of a GStreamer video format; RAVK_FOURCC_NONE for formats the
 * conversion does not know. */
uint32_t gst_libyuv_format_to_fourcc(GstVideoFormat format);

/* Mirror flag and clockwise angle of an orientation method; a mirror comes
 * first. Methods outside 0..7 neither mirror nor turn. */
void gst_libyuv_method_transform(GstVideoOrientationMethod method, int *mirror, uint32_t *angle);

G_END_DECLS
