// A private session bus and a notification service on it, for the suites of
// the desktop notifications and the tray's balloons: nothing of the user's
// session is touched. received() and closed() are called from the test's
// thread; they return copies.
#pragma once

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "gui/session_bus.h"

struct ReceivedNotification {
    std::string appName, summary, body, desktopEntry, appIcon;
    std::vector<std::string> actions;
    int expireTimeout = 0;
    int imageWidth = 0, imageHeight = 0;  // 0: no image-data hint
    uint32_t id = 0;
};

// org.freedesktop.Notifications on a thread and main context of its own:
// records every Notify, answers CloseNotification with NotificationClosed
// (reason 3) and sends the signals a test asks for.
class NotificationService : public SessionBusService {
public:
    explicit NotificationService(const std::string &address)
    {
        start(address, kIntrospection, kPath, "org.freedesktop.Notifications");
    }
    ~NotificationService() override { stop(); }
    std::vector<ReceivedNotification> received()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return notifications;
    }
    std::vector<uint32_t> closed()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return closeCalls;
    }
    // Broadcasts a signal of the service.
    void emit(const char *member, GVariant *parameters)
    {
        emitSignal(kPath, "org.freedesktop.Notifications", member, parameters);
    }

private:
    static constexpr const char *kPath = "/org/freedesktop/Notifications";
    static constexpr const char *kIntrospection =
        "<node><interface name='org.freedesktop.Notifications'>"
        "<method name='Notify'><arg type='s' direction='in'/><arg type='u' direction='in'/>"
        "<arg type='s' direction='in'/><arg type='s' direction='in'/><arg type='s' direction='in'/>"
        "<arg type='as' direction='in'/><arg type='a{sv}' direction='in'/><arg type='i' direction='in'/>"
        "<arg type='u' direction='out'/></method>"
        "<method name='CloseNotification'><arg type='u' direction='in'/></method>"
        "</interface></node>";

    void onMethod(GDBusConnection *connection, const gchar *method, GVariant *parameters,
                  GDBusMethodInvocation *invocation) override
    {
        if (g_strcmp0(method, "CloseNotification") == 0) {
            guint32 id = 0;
            g_variant_get(parameters, "(u)", &id);
            {
                std::lock_guard<std::mutex> lock(mutex);
                closeCalls.push_back(id);
            }
            g_dbus_method_invocation_return_value(invocation, nullptr);
            g_dbus_connection_emit_signal(connection, nullptr, kPath, "org.freedesktop.Notifications",
                                          "NotificationClosed", g_variant_new("(uu)", id, 3u), nullptr);
            return;
        }
        const gchar *appName = nullptr, *appIcon = nullptr, *summary = nullptr, *body = nullptr;
        guint32 replaces = 0;
        GVariant *actions = nullptr, *hints = nullptr;
        gint32 expire = 0;
        g_variant_get(parameters, "(&su&s&s&s@as@a{sv}i)", &appName, &replaces, &appIcon, &summary, &body, &actions,
                      &hints, &expire);
        ReceivedNotification n;
        n.appName = appName;
        n.summary = summary;
        n.body = body;
        n.appIcon = appIcon;
        n.expireTimeout = expire;
        const gchar *entry = nullptr;
        if (g_variant_lookup(hints, "desktop-entry", "&s", &entry)) n.desktopEntry = entry;
        if (GVariant *image = g_variant_lookup_value(hints, "image-data", G_VARIANT_TYPE("(iiibiiay)"))) {
            g_variant_get_child(image, 0, "i", &n.imageWidth);
            g_variant_get_child(image, 1, "i", &n.imageHeight);
            g_variant_unref(image);
        }
        GVariantIter iter;
        g_variant_iter_init(&iter, actions);
        const gchar *action = nullptr;
        while (g_variant_iter_next(&iter, "&s", &action)) n.actions.push_back(action);
        g_variant_unref(actions);
        g_variant_unref(hints);
        {
            std::lock_guard<std::mutex> lock(mutex);
            n.id = ++lastId;
            notifications.push_back(n);
        }
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", n.id));
    }

    std::mutex mutex;
    std::vector<ReceivedNotification> notifications;
    std::vector<uint32_t> closeCalls;
    uint32_t lastId = 0;
};

// A private bus as the session bus and a scratch XDG_DATA_HOME (where the
// desktop entry is written) for a whole suite; each test is skipped when the
// bus did not start. A suite's SetUpTestSuite calls startSuite() with the
// template of its data folder's name.
class NotificationBusSuite : public ::testing::Test {
protected:
    static void startSuite(const char *dataTemplate)
    {
        bus = new PrivateSessionBus();
        if (bus->running()) setenv("DBUS_SESSION_BUS_ADDRESS", bus->address.c_str(), 1);
        dataHome = g_dir_make_tmp(dataTemplate, nullptr);
        setenv("XDG_DATA_HOME", dataHome, 1);
    }
    static void TearDownTestSuite()
    {
        delete bus;
        bus = nullptr;
        std::filesystem::remove_all(dataHome);
        g_free(dataHome);
    }
    void SetUp() override
    {
        if (!bus->running()) GTEST_SKIP() << "dbus-daemon did not start";
    }

    static inline PrivateSessionBus *bus = nullptr;
    static inline gchar *dataHome = nullptr;
};
