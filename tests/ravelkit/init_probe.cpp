// Helper process of init_test: starts the framework in a fresh process, so
// that ravk_init itself initialises GStreamer under whatever plug-in path and
// registry the test put in the environment.
//
// usage: ravk_init_probe ATTEMPTS
// Calls ravk_init(0) ATTEMPTS times and prints one line per attempt,
// "init N: RESULT", then whether the own elements can be made,
// "liverate: yes|no" and "libyuv: yes|no". Exits 0 once it has printed.
#include <gst/gst.h>

#include <cstdio>
#include <cstdlib>

#include "core/system.h"
#include "ravelkit/init.h"

namespace {

const char *element_made(const char *factory)
{
    if (!gst_is_initialized()) return "no";
    GstElement *element = gst_element_factory_make(factory, nullptr);
    if (element == nullptr) return "no";
    gst_object_unref(element);
    return "yes";
}

}  // namespace

int main(int argc, char **argv)
{
    const int attempts = argc > 1 ? atoi(argv[1]) : 1;
    if (core_system_start(0) != CORE_OK) {
        fprintf(stderr, "probe: the base runtime did not start\n");
        return 2;
    }
    for (int i = 1; i <= attempts; i++) printf("init %d: %d\n", i, ravk_init(0));
    printf("liverate: %s\n", element_made("liverate"));
    printf("libyuv: %s\n", element_made("libyuv"));
    fflush(stdout);
    ravk_shutdown();
    core_system_stop();
    return 0;
}
