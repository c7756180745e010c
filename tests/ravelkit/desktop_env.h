// A private X server and PulseAudio server for the device tests.
//
// Xvfb runs on a free display with two screens (1280x720 and 800x600) and
// RandR; PulseAudio runs with its own runtime folder and socket, two null
// sinks ("sink_a", "sink_b") and a null source ("mic") as the default
// source, so that the default is not a monitor. Both are started once per
// test program, DISPLAY and PULSE_SERVER point at them, and both are
// stopped at exit. Tests skip when a binary is missing.
#pragma once

#include <cstdint>
#include <string>

// Empty when both servers run; else why they do not.
std::string ravk_test_desktop_start();
void ravk_test_desktop_stop();

// Runs a shell command; its standard output, and its exit status in *status.
std::string ravk_test_run(const std::string &command, int *status = nullptr);

// Centre pixel (0xRRGGBB) of one frame read from an X window or a screen,
// given as ximagesrc properties ("xid=N", "display-name=:N.S"); all bits set
// when nothing was read. The pointer is left out: Xvfb keeps it at the
// screen's centre, where any window covering it would read back as the
// pointer's black. The reader runs in its own process: read from the
// test's, while a capture and a video sink ran there too, it hung in
// XOpenDisplay now and then.
uint32_t ravk_test_centre_pixel(const std::string &source);

// A red override-redirect window over the whole default screen of the
// display ("host:N.S"), mapped and synced; NULL when it cannot be made.
struct RavkTestWindow;
RavkTestWindow *ravk_test_paint_screen(const char *display_name);
void ravk_test_window_destroy(RavkTestWindow *window);
