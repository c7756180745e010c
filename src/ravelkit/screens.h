// Display monitor and screen enumeration on X11.
//
// Each X screen's RandR monitors are capture devices of class
// RAVK_CLASS_SCREEN, captured by ximagesrc (backend RAVK_BACKEND_X11) with
// the monitor's rectangle. A screen pass withdraws every screen it announced
// before and announces the monitors it finds, on the thread that runs it:
// the enumerator thread for the first pass, a worker of
// CORE_DEFAULT_EXECUTOR for later ones. The change thread listens to RandR
// change events on its own Xlib connection; the first change schedules a
// pass 2000 ms later and the changes that follow before it runs are served
// by it. Every pass opens its own connection, so no Xlib connection is used
// by two threads. Operations return 0 or -1.
#pragma once

#include <cstdint>

#include "core/names.h"
#include "core/video.h"
#include "ravelkit/device_enum.h"
#include "ravelkit/devices.h"

#define RAVK_SCREEN_PASS_DELAY_MS 2000

// One monitor of one X screen.
struct RavkMonitorRecord {
    CoreName id;         // SHA-256 of "<path>/<monitor name>"
    CoreVideoMode mode;  // {width, height, 60, 1}
    uint32_t fourcc;     // "BGRx": ximagesrc gives no alpha
    int32_t x, y;        // position on its X screen
    RavkDeviceText name;
    RavkDeviceText path;  // display name with the screen: ":99.1"
};

struct RavkMonitorList {
    RavkMonitorRecord *items;
    uint64_t count;
    uint64_t capacity;
};

// Appends one record per monitor of every screen of the display named by
// DISPLAY. 0, or -1 when the display cannot be opened or memory runs out.
int ravk_monitor_list(RavkMonitorList *list);
void ravk_monitor_list_free(RavkMonitorList *list);

// One pass: withdraws the announced screens, then announces the monitors.
int ravk_screens_enum_x11(RavkDeviceEnumerator *e);

// Thread body: waits for RandR changes until woken through the eventfd.
int ravk_monitor_change_thread(void **args);

// One display change: counts it and, when it is the first since the last
// pass, schedules the delayed pass.
void ravk_screens_on_change_notice(RavkDeviceEnumerator *e);

// The delayed pass: takes the pending count and runs a pass when it was not 0.
int ravk_screens_on_display_change(RavkDelayedCall *call, void **argument);
// Task body of a delayed call; CORE_DONE so that the task ends.
int ravk_delayed_call_fire(const CoreName *executor, uint64_t task_id, const CoreName *name1, const CoreName *name2,
                           void **user);
// Cancels the task (waiting for a running call), frees the record, nulls it.
void ravk_delayed_call_free(RavkDelayedCall **call);
