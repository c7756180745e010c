#include "services/display.h"

#include <gtk/gtk.h>

#include <algorithm>

#include "core/log.h"

namespace {

constexpr char kInhibitReason[] = "A stream is being shown or sent";
constexpr char kScreenSaverName[] = "org.freedesktop.ScreenSaver";
constexpr char kScreenSaverPath[] = "/org/freedesktop/ScreenSaver";

const char *application_name()
{
    const char *name = g_get_prgname();
    return name != nullptr ? name : "veltrana";
}

void close_connection(GDBusConnection *connection)
{
    // Closing is what makes the service forget a request we could not
    // withdraw; the unref alone would leave GDBus's worker holding it open.
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
}

}  // namespace

PkXID PkXID::fromText(std::string_view text)
{
    PkXID id;
    std::copy_n(text.begin(), std::min(text.size(), sizeof(id.key)), id.key);
    return id;
}

bool PkXID::isNull() const
{
    return std::all_of(std::begin(key), std::end(key), [](uint8_t byte) { return byte == 0; });
}

std::string pk_id_to_printable(const uint8_t (&id)[PK_XID_SIZE])
{
    std::string text;
    text.reserve(PK_XID_SIZE);
    for (uint8_t byte : id) {
        if (byte == 0) break;
        text.push_back(byte >= 32 && byte <= 126 ? char(byte) : '?');
    }
    return text;
}

std::string pk_id_to_printable(const PkXID &id)
{
    return pk_id_to_printable(id.key);
}

std::string pk_bytes_to_hex(const uint8_t (&id)[PK_XID_SIZE])
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text(2 * PK_XID_SIZE, '0');
    for (size_t i = 0; i < PK_XID_SIZE; i++) {
        text[2 * i] = kDigits[id[i] >> 4];
        text[2 * i + 1] = kDigits[id[i] & 0x0F];
    }
    return text;
}

std::string pk_bytes_to_hex(const PkXID &id)
{
    return pk_bytes_to_hex(id.key);
}

std::shared_ptr<PkDisplay> PkDisplay::instance()
{
    static const std::shared_ptr<PkDisplay> single(new PkDisplay());
    return single;
}

PkDisplay::~PkDisplay()
{
    std::lock_guard<std::mutex> lock(stateMutex);
    releaseLocked();
}

void PkDisplay::keepAwake()
{
    std::lock_guard<std::mutex> lock(stateMutex);
    if (application != nullptr || screenSaverConnection != nullptr) return;
    if (inhibitThroughApplication() || inhibitThroughScreenSaver()) return;
    core_log(CORE_LOG_WARN, "services", "display keep-awake unavailable: no application or screen saver took it");
}

void PkDisplay::allowSleep()
{
    std::lock_guard<std::mutex> lock(stateMutex);
    releaseLocked();
}

bool PkDisplay::isKeepingAwake() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return application != nullptr || screenSaverConnection != nullptr;
}

bool PkDisplay::inhibitThroughApplication()
{
    GApplication *defaultApplication = g_application_get_default();
    if (defaultApplication == nullptr || !GTK_IS_APPLICATION(defaultApplication) ||
        !g_application_get_is_registered(defaultApplication))
        return false;
    GtkApplication *gtkApplication = GTK_APPLICATION(defaultApplication);
    const auto flags = GtkApplicationInhibitFlags(GTK_APPLICATION_INHIBIT_IDLE | GTK_APPLICATION_INHIBIT_SUSPEND);
    const guint cookie = gtk_application_inhibit(gtkApplication, gtk_application_get_active_window(gtkApplication),
                                                 flags, kInhibitReason);
    if (cookie == 0) return false;
    application = GTK_APPLICATION(g_object_ref(gtkApplication));
    applicationCookie = cookie;
    return true;
}

bool PkDisplay::inhibitThroughScreenSaver()
{
    GError *error = nullptr;
    gchar *address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (address == nullptr) {
        core_log(CORE_LOG_INFO, "services", "no session bus for the screen saver: %s", error->message);
        g_error_free(error);
        return false;
    }
    const auto connectionFlags = GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                      G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
    GDBusConnection *connection =
        g_dbus_connection_new_for_address_sync(address, connectionFlags, nullptr, nullptr, &error);
    g_free(address);
    if (connection == nullptr) {
        core_log(CORE_LOG_INFO, "services", "session bus unreachable: %s", error->message);
        g_error_free(error);
        return false;
    }
    GVariant *reply = g_dbus_connection_call_sync(
        connection, kScreenSaverName, kScreenSaverPath, kScreenSaverName, "Inhibit",
        g_variant_new("(ss)", application_name(), kInhibitReason), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, PK_DISPLAY_DBUS_TIMEOUT_MS, nullptr, &error);
    if (reply == nullptr) {
        core_log(CORE_LOG_INFO, "services", "screen saver refused to inhibit: %s", error->message);
        g_error_free(error);
        close_connection(connection);
        return false;
    }
    guint32 cookie = 0;
    g_variant_get(reply, "(u)", &cookie);
    g_variant_unref(reply);
    screenSaverConnection = connection;
    screenSaverCookie = cookie;
    return true;
}

void PkDisplay::releaseLocked()
{
    if (application != nullptr) {
        gtk_application_uninhibit(application, applicationCookie);
        g_object_unref(application);
        application = nullptr;
        applicationCookie = 0;
    }
    if (screenSaverConnection != nullptr) {
        GError *error = nullptr;
        GVariant *reply = g_dbus_connection_call_sync(
            screenSaverConnection, kScreenSaverName, kScreenSaverPath, kScreenSaverName, "UnInhibit",
            g_variant_new("(u)", screenSaverCookie), nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START,
            PK_DISPLAY_DBUS_TIMEOUT_MS, nullptr, &error);
        if (reply != nullptr) {
            g_variant_unref(reply);
        } else {
            core_log(CORE_LOG_INFO, "services", "screen saver UnInhibit failed (%s); closing the connection releases it",
                     error->message);
            g_error_free(error);
        }
        close_connection(screenSaverConnection);
        screenSaverConnection = nullptr;
        screenSaverCookie = 0;
    }
}
