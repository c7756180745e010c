// The resource bundles the program carries inside itself.
//
// The text pages of the about, licence and instruction windows live in the
// bundle whose entries are /net/veltrana/html/<name>.txt (UTF-8, stored
// uncompressed). It is registered while command-line handling starts and
// unregistered at shut-down through the three exported functions below;
// html_get_resource gives it to the page readers while it is registered and
// null otherwise. Registering twice or unregistering twice does nothing
// more, so the shut-down may run its steps again.
//
// The program's pictures live in a second bundle, /net/veltrana/png/<id>.png,
// made available on first use for the life of the process.
//
// All functions may be called from any thread.
#pragma once

#include <gio/gio.h>

#define PK_HTML_BUNDLE_PATH "/net/veltrana/html"
#define PK_PNG_BUNDLE_PATH "/net/veltrana/png"

extern "C" {
__attribute__((visibility("default"))) GResource *html_get_resource(void);
__attribute__((visibility("default"))) void html_register_resource(void);
__attribute__((visibility("default"))) void html_unregister_resource(void);
}

// The pictures' bundle; null only when GLib refuses the embedded data.
GResource *pk_png_bundle();
