// A private session bus and a notification service on it, for the suites of
// the desktop notifications: nothing of the user's session is touched.
#pragma once

#include <gio/gio.h>

#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gui/session_bus.h"

struct ReceivedNotification {
    std::string appName, summary, body, desktopEntry, appIcon;
    std::vector<std::string> actions;
    int expireTimeout = 0;
    uint32_t id = 0;
};

// org.freedesktop.Notifications on a thread and main context of its own:
// records every Notify, answers CloseNotification with NotificationClosed
// (reason 3) and sends the signals a test asks for.
class NotificationService {
public:
    explicit NotificationService(const std::string &address)
    {
        std::future<bool> started = ready.get_future();
        thread = std::thread([this, address] { run(address); });
        ok = started.get();
    }
    ~NotificationService()
    {
        if (loop != nullptr) g_main_loop_quit(loop);
        thread.join();
    }
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
    // Broadcasts a signal of the service; GDBus sends from any thread.
    void emit(const char *member, GVariant *parameters)
    {
        g_dbus_connection_emit_signal(connection, nullptr, "/org/freedesktop/Notifications",
                                      "org.freedesktop.Notifications", member, parameters, nullptr);
        g_dbus_connection_flush_sync(connection, nullptr, nullptr);
    }

    bool ok = false;

private:
    static constexpr const char *kIntrospection =
        "<node><interface name='org.freedesktop.Notifications'>"
        "<method name='Notify'><arg type='s' direction='in'/><arg type='u' direction='in'/>"
        "<arg type='s' direction='in'/><arg type='s' direction='in'/><arg type='s' direction='in'/>"
        "<arg type='as' direction='in'/><arg type='a{sv}' direction='in'/><arg type='i' direction='in'/>"
        "<arg type='u' direction='out'/></method>"
        "<method name='CloseNotification'><arg type='u' direction='in'/></method>"
        "</interface></node>";

    static void onMethod(GDBusConnection *connection, const gchar *, const gchar *, const gchar *,
                         const gchar *method, GVariant *parameters, GDBusMethodInvocation *invocation, gpointer data)
    {
        auto *service = static_cast<NotificationService *>(data);
        if (g_strcmp0(method, "CloseNotification") == 0) {
            guint32 id = 0;
            g_variant_get(parameters, "(u)", &id);
            {
                std::lock_guard<std::mutex> lock(service->mutex);
                service->closeCalls.push_back(id);
            }
            g_dbus_method_invocation_return_value(invocation, nullptr);
            g_dbus_connection_emit_signal(connection, nullptr, "/org/freedesktop/Notifications",
                                          "org.freedesktop.Notifications", "NotificationClosed",
                                          g_variant_new("(uu)", id, 3u), nullptr);
            return;
        }
        const gchar *appName = nullptr, *appIcon = nullptr, *summary = nullptr, *body = nullptr;
        guint32 replaces = 0;
        GVariant *actions = nullptr, *hints = nullptr;
        gint32 expire = 0;
        g_variant_get(parameters, "(&su&s&s&s@as@a{sv}i)", &appName, &replaces, &appIcon, &summary, &body, &actions,
                      &hints, &expire);
        ReceivedNotification n{appName, summary, body, "", appIcon, {}, expire, 0};
        const gchar *entry = nullptr;
        if (g_variant_lookup(hints, "desktop-entry", "&s", &entry)) n.desktopEntry = entry;
        GVariantIter iter;
        g_variant_iter_init(&iter, actions);
        const gchar *action = nullptr;
        while (g_variant_iter_next(&iter, "&s", &action)) n.actions.push_back(action);
        g_variant_unref(actions);
        g_variant_unref(hints);
        {
            std::lock_guard<std::mutex> lock(service->mutex);
            n.id = ++service->lastId;
            service->notifications.push_back(n);
        }
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", n.id));
    }

    void run(const std::string &address)
    {
        GMainContext *context = g_main_context_new();
        g_main_context_push_thread_default(context);
        const auto flags = GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
        connection = g_dbus_connection_new_for_address_sync(address.c_str(), flags, nullptr, nullptr, nullptr);
        GDBusNodeInfo *info = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
        bool registered = false;
        if (connection != nullptr && info != nullptr) {
            static const GDBusInterfaceVTable vtable = {onMethod, nullptr, nullptr, {}};
            registered = g_dbus_connection_register_object(connection, "/org/freedesktop/Notifications",
                                                           info->interfaces[0], &vtable, this, nullptr, nullptr) > 0;
            GVariant *reply = g_dbus_connection_call_sync(
                connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                g_variant_new("(su)", "org.freedesktop.Notifications", 4u), G_VARIANT_TYPE("(u)"),
                G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
            guint32 result = 0;
            if (reply != nullptr) {
                g_variant_get(reply, "(u)", &result);
                g_variant_unref(reply);
            }
            registered = registered && result == 1;  // primary owner
        }
        if (registered) loop = g_main_loop_new(context, FALSE);
        ready.set_value(registered);
        if (registered) g_main_loop_run(loop);

        if (loop != nullptr) g_main_loop_unref(loop);
        if (connection != nullptr) {
            g_dbus_connection_close_sync(connection, nullptr, nullptr);
            g_object_unref(connection);
        }
        if (info != nullptr) g_dbus_node_info_unref(info);
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
    }

    std::mutex mutex;
    std::vector<ReceivedNotification> notifications;
    std::vector<uint32_t> closeCalls;
    uint32_t lastId = 0;
    std::promise<bool> ready;
    std::thread thread;
    GMainLoop *loop = nullptr;
    GDBusConnection *connection = nullptr;
};
