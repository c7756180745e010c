/*
 * Loadable plug-in "ravelkit" carrying the "liverate" and "libyuv" elements,
 * built for tests only so that gst-inspect-1.0 and gst-launch-1.0 can reach
 * them. It is never installed, and never loaded into a process that
 * registered the elements statically: both would claim the same type names.
 */
/* GST_PLUGIN_DEFINE names the package through this macro. */
#define PACKAGE "ravelkit"

#include "ravelkit/gst/gstlibyuv.h"
#include "ravelkit/gst/gstliverate.h"

static gboolean plugin_init(GstPlugin *plugin)
{
  gboolean ok = GST_ELEMENT_REGISTER(liverate, plugin);
  ok &= GST_ELEMENT_REGISTER(libyuv, plugin);
  return ok;
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, ravelkit, "Live rate and libyuv elements (test build)",
                  plugin_init, "1.0", "Proprietary", "ravelkit", "Veltrana")
