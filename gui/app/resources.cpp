#include "app/resources.h"

#include <mutex>

// Made by glib-compile-resources from gui/html and gui/app/png.
extern "C" {
GResource *pk_html_data_get_resource(void);
void pk_html_data_register_resource(void);
void pk_html_data_unregister_resource(void);
GResource *pk_png_data_get_resource(void);
void pk_png_data_register_resource(void);
}

namespace {

// GLib keeps initialised static resources in a list linked through the
// resources themselves: initialising one twice links it to itself and the
// next lookup never ends. The flag keeps init and fini paired.
std::mutex g_html_mutex;
bool g_html_registered = false;

}  // namespace

extern "C" GResource *html_get_resource(void)
{
    std::lock_guard<std::mutex> lock(g_html_mutex);
    return g_html_registered ? pk_html_data_get_resource() : nullptr;
}

extern "C" void html_register_resource(void)
{
    std::lock_guard<std::mutex> lock(g_html_mutex);
    if (g_html_registered) return;
    pk_html_data_register_resource();
    g_html_registered = true;
}

extern "C" void html_unregister_resource(void)
{
    std::lock_guard<std::mutex> lock(g_html_mutex);
    if (!g_html_registered) return;
    pk_html_data_unregister_resource();
    g_html_registered = false;
}

GResource *pk_png_bundle()
{
    static GResource *const bundle = [] {
        pk_png_data_register_resource();
        return pk_png_data_get_resource();
    }();
    return bundle;
}
