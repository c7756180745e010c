// Device enumeration: the one process-wide object that watches the system
// for capture devices and publishes them as device events.
//
// The enumerator owns RAVK_DEVICE_CHANNEL. A GStreamer device monitor
// reports PulseAudio capture sources (and cameras); its bus watch classifies
// each device and posts RAVK_DEVICE_AUDIO_* and RAVK_DEVICE_CAMERA_* on the
// thread that dispatches GLib's default main context. Screens come from the
// display monitor (screens.h), which the enumerator thread starts after a
// first screen pass.
//
// Threads: the engine creates, starts, stops and destroys the enumerator
// from one thread. The enumerator thread makes the device monitor, runs the
// first screen pass and then runs a GLib loop on the default main context;
// the RandR change thread counts display changes; delayed screen passes run
// on CORE_DEFAULT_EXECUTOR. Operations return 0 or -1.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/names.h"
#include "core/sync.h"
#include "core/thread.h"
#include "ravelkit/devices.h"

typedef struct _GstDeviceMonitor GstDeviceMonitor;
typedef struct _GMainLoop GMainLoop;
typedef struct _GstDevice GstDevice;
typedef struct _GstMessage GstMessage;
typedef struct _GstBus GstBus;
typedef struct _GstCaps GstCaps;

struct RavkDeviceEnumConfig {
    uint32_t show_all;  // non-zero: the monitor also shows hidden devices
    uint32_t direction;
    uint32_t media;
    uint32_t device_class;
};

struct RavkDelayedCall;
typedef int (*RavkDelayedCallback)(RavkDelayedCall *call, void **argument);

// One delayed call on an executor.
struct RavkDelayedCall {
    CoreName executor;
    int64_t delay_ms;
    RavkDelayedCallback callback;
    void *argument;
    uint64_t task_id;
};

struct RavkDeviceEnumerator {
    // Display changes counted since the last screen pass: the change thread
    // adds, the delayed pass takes them all with one exchange, so a change
    // is either served by the pass that took it or schedules the next one.
    std::atomic<int64_t> pending;
    RavkDelayedCall *delayed;  // under delayed_lock
    CoreLock delayed_lock;
    std::atomic<int32_t> monitoring;  // 1 while the change thread is meant to run
    std::atomic<int32_t> starting;    // 1 from start until the thread runs its loop
    RavkDeviceEnumConfig filter;
    GstDeviceMonitor *monitor;
    GMainLoop *loop;
    CoreThreadRecord *thread;
    // Ids of the screens announced and not withdrawn; touched by the pass
    // that runs and by stop, which first ends every pass.
    CoreName *screens;
    uint64_t screen_count;
    uint64_t screen_capacity;
    CoreThreadRecord *change_thread;
    int wake_fd;  // eventfd that ends the change thread's wait
    // Bus watches whose destroy notify has not run: the enumerator outlives
    // any dispatch of its watch on the default main context.
    std::atomic<int32_t> watches;
};

// 0; -1 when config is NULL, an enumerator exists, or it cannot be made.
int ravk_device_enum_create(const RavkDeviceEnumConfig *config);
// Starts the enumerator thread and waits (at most 3000 ms) for its first
// pass. 0, or -1 when there is no enumerator or no thread could be started.
int ravk_device_enum_start(void);
// The device refresh's stop: quits the loop, joins the thread and forgets the
// announced screens, so that the next start announces everything again.
void ravk_device_enum_stop(void);
// Removes the channel, stops the thread, frees the enumerator; no effect
// when none exists.
void ravk_device_enum_destroy(void);

// The enumerator, or NULL.
RavkDeviceEnumerator *ravk_device_enum_instance(void);

// ---- steps, exposed for the tests ----

int ravk_device_enum_thread(void **args);
// Always TRUE, so that the watch stays installed.
int ravk_enum_bus_watch(GstBus *bus, GstMessage *message, void *enumerator);
void ravk_enum_device_added(RavkDeviceEnumerator *e, GstDevice *device);
void ravk_enum_device_removed(RavkDeviceEnumerator *e, GstDevice *device);

// A serialised property value made plain: a final and a leading double
// quote dropped, each backslash replaced by the character after it. Writes
// at most size - 1 characters and a terminator; returns out.
char *ravk_enum_clean_text(const char *text, char *out, uint64_t size);

// The capture format of an audio source's caps: rate 48000 and 2 channels
// unless the caps say otherwise; S16LE when offered, else F32LE, else the
// first format listed.
RavkAudioFormat ravk_enum_audio_format(const GstCaps *caps);
