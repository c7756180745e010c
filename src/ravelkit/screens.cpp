#include "ravelkit/screens.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/executor.h"
#include "core/log.h"
#include "core/sha256.h"

namespace {

bool monitor_append(RavkMonitorList *list, const RavkMonitorRecord &record)
{
    if (list->count == list->capacity) {
        uint64_t next = list->capacity ? list->capacity * 2 : 4;
        void *p = realloc(list->items, next * sizeof(RavkMonitorRecord));
        if (p == nullptr) return false;
        list->items = static_cast<RavkMonitorRecord *>(p);
        list->capacity = next;
    }
    list->items[list->count++] = record;
    return true;
}

// ":99", "host:99.0" -> "host:99" (the screen is added per monitor).
void display_base(const char *name, char *out, size_t size)
{
    snprintf(out, size, "%s", name ? name : "");
    char *colon = strrchr(out, ':');
    char *dot = colon ? strchr(colon, '.') : nullptr;
    if (dot) *dot = 0;
}

void add_monitor(RavkMonitorList *list, bool *ok, const char *base, int screen, const char *monitor_name, int x,
                 int y, int width, int height)
{
    RavkMonitorRecord r{};
    char path[RAVK_DEVICE_TEXT_SIZE];
    int n = snprintf(path, sizeof(path), "%s.%d", base, screen);
    ravk_device_text_set(&r.path, 0, path, n > 0 ? uint64_t(n) : 0);
    // Xvfb names every output "screen": the display and the X screen make
    // the id unique.
    char key[RAVK_DEVICE_TEXT_SIZE * 2];
    n = snprintf(key, sizeof(key), "%s/%s", path, monitor_name);
    CoreSha256 sha;
    core_sha256_init(&sha);
    core_sha256_update(&sha, key, n > 0 ? size_t(n) < sizeof(key) ? size_t(n) : sizeof(key) - 1 : 0);
    core_sha256_final(&sha, r.id.key);
    core_name_make(&r.id);
    char name[RAVK_DEVICE_TEXT_SIZE];
    n = snprintf(name, sizeof(name), "%s (%s)", monitor_name, path);
    ravk_device_text_set(&r.name, 1, name, n > 0 ? std::min<uint64_t>(uint64_t(n), sizeof(name) - 1) : 0);
    r.mode = CoreVideoMode{uint32_t(width), uint32_t(height), 60, 1};
    r.fourcc = core_fourcc("BGRx");
    r.x = x;
    r.y = y;
    if (!monitor_append(list, r)) *ok = false;
}

void publish_screen(uint32_t code, const CoreName *id, const RavkMonitorRecord *m)
{
    RavkDeviceRecord record;
    ravk_device_record_init(&record);
    record.id = *id;
    record.backend = RAVK_BACKEND_X11;
    if (m != nullptr) {
        record.format_code = m->fourcc;
        record.name = m->name;
        record.path = m->path;
        record.tail.video.mode = m->mode;
        // ximagesrc takes an inclusive end.
        record.tail.video.start_x = m->x;
        record.tail.video.end_x = int64_t(m->x) + m->mode.width - 1;
        record.tail.video.start_y = m->y;
        record.tail.video.end_y = int64_t(m->y) + m->mode.height - 1;
    }
    ravk_device_event_post(code, &record, RAVK_DEVICE_RECORD_SCREEN_SIZE);
}

bool screens_append(RavkDeviceEnumerator *e, const CoreName &id)
{
    if (e->screen_count == e->screen_capacity) {
        uint64_t next = e->screen_capacity ? e->screen_capacity * 2 : 8;
        void *p = realloc(e->screens, next * sizeof(CoreName));
        if (p == nullptr) return false;
        e->screens = static_cast<CoreName *>(p);
        e->screen_capacity = next;
    }
    e->screens[e->screen_count++] = id;
    return true;
}

}  // namespace

int ravk_monitor_list(RavkMonitorList *list)
{
    if (list == nullptr) return -1;
    Display *dpy = XOpenDisplay(nullptr);
    if (dpy == nullptr) return -1;
    char base[RAVK_DEVICE_TEXT_SIZE];
    display_base(DisplayString(dpy), base, sizeof(base));
    int event_base = 0, error_base = 0, major = 0, minor = 0;
    const bool randr = XRRQueryExtension(dpy, &event_base, &error_base) && XRRQueryVersion(dpy, &major, &minor) &&
                       (major > 1 || (major == 1 && minor >= 5));
    bool ok = true;
    for (int s = 0; s < ScreenCount(dpy) && ok; s++) {
        int count = 0;
        XRRMonitorInfo *monitors = randr ? XRRGetMonitors(dpy, RootWindow(dpy, s), True, &count) : nullptr;
        if (monitors == nullptr || count == 0) {
            // Without RandR monitors the whole X screen is one monitor.
            add_monitor(list, &ok, base, s, "screen", 0, 0, DisplayWidth(dpy, s), DisplayHeight(dpy, s));
        }
        for (int i = 0; i < count && ok; i++) {
            char *atom = monitors[i].name != None ? XGetAtomName(dpy, monitors[i].name) : nullptr;
            if (monitors[i].width > 0 && monitors[i].height > 0)
                add_monitor(list, &ok, base, s, atom ? atom : "monitor", monitors[i].x, monitors[i].y,
                            monitors[i].width, monitors[i].height);
            if (atom) XFree(atom);
        }
        if (monitors) XRRFreeMonitors(monitors);
    }
    XCloseDisplay(dpy);
    return ok ? 0 : -1;
}

void ravk_monitor_list_free(RavkMonitorList *list)
{
    if (list == nullptr) return;
    free(list->items);
    *list = RavkMonitorList{};
}

int ravk_screens_enum_x11(RavkDeviceEnumerator *e)
{
    if (e == nullptr) return -1;
    for (uint64_t i = 0; i < e->screen_count; i++) publish_screen(RAVK_DEVICE_SCREEN_REMOVED, &e->screens[i], nullptr);
    e->screen_count = 0;
    RavkMonitorList monitors{};
    if (ravk_monitor_list(&monitors) != 0) {
        core_log(CORE_LOG_WARN, "ravk", "no X display for the screen list");
        ravk_monitor_list_free(&monitors);
        return 0;
    }
    for (uint64_t i = 0; i < monitors.count; i++) {
        if (!screens_append(e, monitors.items[i].id)) break;
        publish_screen(RAVK_DEVICE_SCREEN_ADDED, &monitors.items[i].id, &monitors.items[i]);
    }
    ravk_monitor_list_free(&monitors);
    return 0;
}

int ravk_delayed_call_fire(const CoreName *, uint64_t, const CoreName *, const CoreName *, void **user)
{
    auto *call = static_cast<RavkDelayedCall *>(user[0]);
    if (call != nullptr && call->callback != nullptr) call->callback(call, &call->argument);
    return CORE_DONE;
}

void ravk_delayed_call_free(RavkDelayedCall **pcall)
{
    if (pcall == nullptr || *pcall == nullptr) return;
    RavkDelayedCall *call = *pcall;
    if (call->task_id != 0) {
        CoreExecutor *executor = core_executor_find(&call->executor);
        if (executor != nullptr) {
            core_executor_cancel(executor, call->task_id, 1);
            core_executor_release(executor);
        }
    }
    free(call);
    *pcall = nullptr;
}

int ravk_screens_on_display_change(RavkDelayedCall *, void **argument)
{
    auto *e = static_cast<RavkDeviceEnumerator *>(*argument);
    if (e->pending.exchange(0) == 0) return 0;
    ravk_screens_enum_x11(e);
    return 0;
}

void ravk_screens_on_change_notice(RavkDeviceEnumerator *e)
{
    if (e == nullptr || e->pending.fetch_add(1) != 0) return;
    CoreLockGuard guard(&e->delayed_lock);
    // The previous record has run (its pass took the count that let us in),
    // or is running now: its free waits for it.
    ravk_delayed_call_free(&e->delayed);
    auto *call = static_cast<RavkDelayedCall *>(calloc(1, sizeof(RavkDelayedCall)));
    if (call == nullptr) return;
    core_name_format(&call->executor, "%s", CORE_DEFAULT_EXECUTOR);
    call->delay_ms = RAVK_SCREEN_PASS_DELAY_MS;
    call->callback = ravk_screens_on_display_change;
    call->argument = e;
    CoreTaskCallback task{ravk_delayed_call_fire, {call, nullptr}};
    call->task_id = core_executor_schedule(&call->executor, nullptr, nullptr, call->delay_ms, &task);
    if (call->task_id == 0) {
        free(call);
        return;
    }
    e->delayed = call;
}

int ravk_monitor_change_thread(void **args)
{
    auto *e = static_cast<RavkDeviceEnumerator *>(args[0]);
    Display *dpy = XOpenDisplay(nullptr);
    if (dpy == nullptr) return -1;
    int event_base = 0, error_base = 0;
    if (!XRRQueryExtension(dpy, &event_base, &error_base)) {
        XCloseDisplay(dpy);
        return -1;
    }
    for (int s = 0; s < ScreenCount(dpy); s++)
        XRRSelectInput(dpy, RootWindow(dpy, s),
                       RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    XFlush(dpy);
    while (e->monitoring.load()) {
        struct pollfd fds[2] = {{ConnectionNumber(dpy), POLLIN, 0}, {e->wake_fd, POLLIN, 0}};
        if (XPending(dpy) == 0 && poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents & POLLIN) break;
        while (XPending(dpy) > 0) {
            XEvent event;
            XNextEvent(dpy, &event);
            XRRUpdateConfiguration(&event);
            if (event.type == event_base + RRScreenChangeNotify || event.type == event_base + RRNotify)
                ravk_screens_on_change_notice(e);
        }
    }
    XCloseDisplay(dpy);
    return 0;
}
