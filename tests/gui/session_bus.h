// A dbus-daemon of the test's own, so no desktop is needed and nothing of
// the user's session is touched. Tests that talk to a desktop service over
// the session bus start one and serve the service on it with a
// SessionBusService of their own; SessionBusEnvironment points the code under
// test at that bus. Everything here is used from the test's main thread,
// except a service's method handler, which runs on the service's thread.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gio/gio.h>

#include <cstdlib>
#include <future>
#include <string>
#include <thread>

class PrivateSessionBus {
public:
    PrivateSessionBus()
    {
        int out[2];
        if (pipe(out) != 0) return;
        pid = fork();
        if (pid == 0) {
            // The daemon goes with the test even when the test is killed, and
            // keeps its complaints (fd limits of a container) to itself.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(out[1], STDOUT_FILENO);
            const int devnull = open("/dev/null", O_WRONLY);
            if (devnull >= 0) dup2(devnull, STDERR_FILENO);
            close(out[0]);
            execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address",
                   static_cast<char *>(nullptr));
            _exit(127);
        }
        close(out[1]);
        char c;
        while (pid > 0 && read(out[0], &c, 1) == 1 && c != '\n') address.push_back(c);
        close(out[0]);
    }
    ~PrivateSessionBus()
    {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    PrivateSessionBus(const PrivateSessionBus &) = delete;
    PrivateSessionBus &operator=(const PrivateSessionBus &) = delete;

    bool running() const { return pid > 0 && !address.empty(); }

    pid_t pid = -1;
    std::string address;
};

// Points the session bus at `address` for one test and restores it after.
class SessionBusEnvironment {
public:
    explicit SessionBusEnvironment(const std::string &address)
    {
        const char *old = getenv("DBUS_SESSION_BUS_ADDRESS");
        hadOld = old != nullptr;
        if (hadOld) oldValue = old;
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    }
    ~SessionBusEnvironment()
    {
        if (hadOld)
            setenv("DBUS_SESSION_BUS_ADDRESS", oldValue.c_str(), 1);
        else
            unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    SessionBusEnvironment(const SessionBusEnvironment &) = delete;
    SessionBusEnvironment &operator=(const SessionBusEnvironment &) = delete;

private:
    bool hadOld = false;
    std::string oldValue;
};

// A desktop service on a bus, served from a thread and main context of its
// own so the test's main loop stays free for the code under test. A derived
// service calls start() at the end of its constructor (its handler runs on
// the service thread from then on) and stop() first in its destructor, so
// no call reaches a half-destroyed object. `ok` tells whether the object is
// registered and the well-known name owned.
class SessionBusService {
public:
    virtual ~SessionBusService() { stop(); }
    SessionBusService(const SessionBusService &) = delete;
    SessionBusService &operator=(const SessionBusService &) = delete;

    bool ok = false;

protected:
    SessionBusService() = default;

    // Answers one method call on the service thread; `invocation` must be
    // returned.
    virtual void onMethod(GDBusConnection *connection, const gchar *method, GVariant *parameters,
                          GDBusMethodInvocation *invocation) = 0;

    // Serves the first interface of `introspection` at `path` and owns `name`;
    // returns once that has succeeded or failed.
    void start(const std::string &address, const char *introspection, const char *path, const char *name)
    {
        std::future<bool> started = ready.get_future();
        thread = std::thread([this, address, introspection, path, name] { run(address, introspection, path, name); });
        ok = started.get();
    }

    // Ends the service thread; safe to call more than once.
    void stop()
    {
        if (!thread.joinable()) return;
        if (context != nullptr) {
            // Through the service's own context: a quit that came before the
            // loop runs would otherwise be lost.
            GSource *source = g_idle_source_new();
            g_source_set_callback(source, quitLoop, loop, nullptr);
            g_source_attach(source, context);
            g_source_unref(source);
        }
        thread.join();
    }

    // Broadcasts a signal of the service and waits until it is on the bus;
    // GDBus sends from any thread.
    void emitSignal(const char *path, const char *interface, const char *member, GVariant *parameters)
    {
        g_dbus_connection_emit_signal(connection, nullptr, path, interface, member, parameters, nullptr);
        g_dbus_connection_flush_sync(connection, nullptr, nullptr);
    }

    GDBusConnection *connection = nullptr;

private:
    static gboolean quitLoop(gpointer loop)
    {
        g_main_loop_quit(static_cast<GMainLoop *>(loop));
        return G_SOURCE_REMOVE;
    }

    static void dispatch(GDBusConnection *connection, const gchar *, const gchar *, const gchar *,
                         const gchar *method, GVariant *parameters, GDBusMethodInvocation *invocation, gpointer self)
    {
        static_cast<SessionBusService *>(self)->onMethod(connection, method, parameters, invocation);
    }

    void run(const std::string &address, const char *introspection, const char *path, const char *name)
    {
        GMainContext *own = g_main_context_new();
        g_main_context_push_thread_default(own);
        const auto flags = GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
        connection = g_dbus_connection_new_for_address_sync(address.c_str(), flags, nullptr, nullptr, nullptr);
        GDBusNodeInfo *info = g_dbus_node_info_new_for_xml(introspection, nullptr);
        bool registered = false;
        if (connection != nullptr && info != nullptr) {
            static const GDBusInterfaceVTable vtable = {dispatch, nullptr, nullptr, {}};
            registered = g_dbus_connection_register_object(connection, path, info->interfaces[0], &vtable, this,
                                                           nullptr, nullptr) > 0;
            GVariant *reply = g_dbus_connection_call_sync(
                connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                g_variant_new("(su)", name, 4u), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
            guint32 result = 0;
            if (reply != nullptr) {
                g_variant_get(reply, "(u)", &result);
                g_variant_unref(reply);
            }
            registered = registered && result == 1;  // primary owner
        }
        if (registered) {
            loop = g_main_loop_new(own, FALSE);
            context = own;
        }
        ready.set_value(registered);
        if (registered) g_main_loop_run(loop);

        if (loop != nullptr) g_main_loop_unref(loop);
        if (connection != nullptr) {
            g_dbus_connection_close_sync(connection, nullptr, nullptr);
            g_object_unref(connection);
        }
        if (info != nullptr) g_dbus_node_info_unref(info);
        g_main_context_pop_thread_default(own);
        g_main_context_unref(own);
    }

    std::promise<bool> ready;
    std::thread thread;
    GMainContext *context = nullptr;
    GMainLoop *loop = nullptr;
};
