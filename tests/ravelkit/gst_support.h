// Test support for the GStreamer suites: one GStreamer start per process with
// both elements registered statically, as the program does.
#pragma once

#include <gst/gst.h>

// Initialises GStreamer once and registers "liverate" and "libyuv"; false
// when a registration was refused.
bool ravk_test_gst_setup();

// Sets "name=value name=value ..." on an object as gst-launch would.
void ravk_test_set_properties(GObject *object, const char *properties);
