#include "gst_support.h"

#include "ravelkit/gst/gstlibyuv.h"
#include "ravelkit/gst/gstliverate.h"

bool ravk_test_gst_setup()
{
    static const bool ok = [] {
        gst_init(nullptr, nullptr);
        return gst_plugin_liverate_register() && gst_plugin_libyuv_register();
    }();
    return ok;
}

void ravk_test_set_properties(GObject *object, const char *properties)
{
    gchar **pairs = g_strsplit(properties, " ", -1);
    for (gchar **p = pairs; *p; p++) {
        gchar **kv = g_strsplit(*p, "=", 2);
        if (kv[0] && kv[1]) gst_util_set_object_arg(object, kv[0], kv[1]);
        g_strfreev(kv);
    }
    g_strfreev(pairs);
}

// GLib's library constructor allocates its first quark block when the
// library is loaded; GLib abandons it, on purpose, when the quark table grows
// during gst_init. Only allocations made by shared-library constructors and
// the plug-in leaks named below are listed; our code runs none of them.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:_dl_init\n"
           // Plug-ins' own leaks, seen with GStreamer 1.22: the PulseAudio
           // device provider drops pending libpulse operations when it
           // stops, the Vulkan provider its probe error texts, and ximagesrc
           // its "display-name".
           "leak:libpulse.so\n"
           "leak:libgstvulkan\n"
           "leak:libgstximagesrc.so\n";
}

// GLib is built without frame pointers: the fast unwinder stops inside it and
// the stack above would never show _dl_init. Eight frames reach it.
extern "C" const char *__asan_default_options()
{
    return "fast_unwind_on_malloc=0:malloc_context_size=8";
}
