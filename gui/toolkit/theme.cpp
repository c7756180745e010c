#include "toolkit/theme.h"

#include <gio/gio.h>
#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include <algorithm>
#include <cstring>

#include "core/log.h"

namespace {

constexpr char kPortalName[] = "org.freedesktop.portal.Desktop";
constexpr char kPortalPath[] = "/org/freedesktop/portal/desktop";
constexpr char kPortalSettings[] = "org.freedesktop.portal.Settings";
constexpr char kAppearance[] = "org.freedesktop.appearance";
constexpr char kColorScheme[] = "color-scheme";
// The portal's color-scheme: 0 no preference, 1 prefer dark, 2 prefer light.
constexpr guint32 kPortalPreferDark = 1;

constexpr char kInterfaceSchema[] = "org.gnome.desktop.interface";
constexpr char kGtkTheme[] = "gtk-theme";
constexpr char kPreferDarkProperty[] = "gtk-application-prefer-dark-theme";
// GDesktopColorScheme: 0 default, 1 prefer-dark, 2 prefer-light.
constexpr int kGSettingsPreferDark = 1;
constexpr int kGSettingsPreferLight = 2;

// The portal wraps a value once more in a variant (Read predates ReadOne).
int theme_of_portal_value(GVariant *value)
{
    GVariant *inner = g_variant_ref(value);
    while (g_variant_is_of_type(inner, G_VARIANT_TYPE_VARIANT)) {
        GVariant *next = g_variant_get_variant(inner);
        g_variant_unref(inner);
        inner = next;
    }
    const bool dark = g_variant_is_of_type(inner, G_VARIANT_TYPE_UINT32) && g_variant_get_uint32(inner) == kPortalPreferDark;
    g_variant_unref(inner);
    return dark ? PI_THEME_DARK : PI_THEME_LIGHT;
}

void set_prefer_dark(bool dark)
{
    GtkSettings *settings = gtk_settings_get_default();  // null before gtk_init
    if (settings != nullptr) g_object_set(settings, kPreferDarkProperty, gboolean(dark), nullptr);
}

void delete_weak(gpointer data)
{
    delete static_cast<std::weak_ptr<PiTheme> *>(data);
}

}  // namespace

// The callbacks carry a weak reference: GLib may still deliver a change that
// was queued before the subscription ended, after the manager is gone.
struct PiThemeCallbacks {
    static std::shared_ptr<PiTheme> lock(gpointer data) { return static_cast<std::weak_ptr<PiTheme> *>(data)->lock(); }

    static void portalSignal(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
                             GVariant *parameters, gpointer data)
    {
        if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ssv)"))) return;
        const gchar *ns = nullptr, *key = nullptr;
        GVariant *value = nullptr;
        g_variant_get(parameters, "(&s&sv)", &ns, &key, &value);
        if (strcmp(ns, kAppearance) == 0 && strcmp(key, kColorScheme) == 0) {
            if (auto self = lock(data)) self->onSystemThemeChanged(theme_of_portal_value(value));
        }
        g_variant_unref(value);
    }

    static void gsettingsChanged(GSettings *, gchar *key, gpointer data)
    {
        if (strcmp(key, kColorScheme) != 0 && strcmp(key, kGtkTheme) != 0) return;
        if (auto self = lock(data)) self->onSystemThemeChanged(self->readGSettingsTheme());
    }

    static gboolean settingsIdle(gpointer data)
    {
        if (auto self = lock(data)) self->onSettingsIdle();
        return G_SOURCE_REMOVE;
    }
};

std::shared_ptr<PiTheme> PiTheme::instance()
{
    static const std::shared_ptr<PiTheme> single = create();
    return single;
}

std::shared_ptr<PiTheme> PiTheme::create()
{
    std::shared_ptr<PiTheme> theme(new PiTheme());
    theme->start();
    return theme;
}

PiTheme::~PiTheme()
{
    stopWatcher();
}

void PiTheme::start()
{
    settingsOk = openPortal() || openGSettings();
    if (!settingsOk) core_log(CORE_LOG_INFO, "toolkit", "no desktop colour-scheme setting: the theme stays light");
    if (source != Source::Portal) systemTheme = readSystemTheme();
    set_prefer_dark(systemTheme == PI_THEME_DARK);
}

bool PiTheme::openPortal()
{
    GError *error = nullptr;
    gchar *address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (address == nullptr) {
        core_log(CORE_LOG_INFO, "toolkit", "no session bus for the desktop portal: %s", error->message);
        g_error_free(error);
        return false;
    }
    const auto flags = GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                            G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
    connection = g_dbus_connection_new_for_address_sync(address, flags, nullptr, nullptr, &error);
    g_free(address);
    if (connection == nullptr) {
        core_log(CORE_LOG_INFO, "toolkit", "session bus unreachable: %s", error->message);
        g_error_free(error);
        return false;
    }
    // Subscribed before the first reading, so that a change between the two
    // is not lost; the bus has the match rule by the time the reading's
    // answer comes back.
    portalSubscription = g_dbus_connection_signal_subscribe(
        connection, kPortalName, kPortalSettings, "SettingChanged", kPortalPath, kAppearance,
        G_DBUS_SIGNAL_FLAGS_NONE, PiThemeCallbacks::portalSignal, new std::weak_ptr<PiTheme>(weak_from_this()),
        delete_weak);
    bool found = false;
    const int theme = readPortalTheme(&found);
    if (!found) {
        g_dbus_connection_signal_unsubscribe(connection, portalSubscription);
        portalSubscription = 0;
        g_dbus_connection_close_sync(connection, nullptr, nullptr);
        g_object_unref(connection);
        connection = nullptr;
        return false;
    }
    source = Source::Portal;
    systemTheme = theme;
    return true;
}

int PiTheme::readPortalTheme(bool *found)
{
    *found = false;
    if (connection == nullptr) return PI_THEME_LIGHT;
    GError *error = nullptr;
    GVariant *reply = g_dbus_connection_call_sync(connection, kPortalName, kPortalPath, kPortalSettings, "Read",
                                                  g_variant_new("(ss)", kAppearance, kColorScheme),
                                                  G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE,
                                                  PI_THEME_DBUS_TIMEOUT_MS, nullptr, &error);
    if (reply == nullptr) {
        core_log(CORE_LOG_INFO, "toolkit", "desktop portal gives no color-scheme: %s", error->message);
        g_error_free(error);
        return PI_THEME_LIGHT;
    }
    *found = true;
    GVariant *value = g_variant_get_child_value(reply, 0);
    const int theme = theme_of_portal_value(value);
    g_variant_unref(value);
    g_variant_unref(reply);
    return theme;
}

bool PiTheme::openGSettings()
{
    // g_settings_new aborts on a schema that is not installed: look first.
    GSettingsSchemaSource *schemas = g_settings_schema_source_get_default();
    if (schemas == nullptr) return false;
    GSettingsSchema *schema = g_settings_schema_source_lookup(schemas, kInterfaceSchema, TRUE);
    if (schema == nullptr) return false;
    const bool usable = g_settings_schema_has_key(schema, kColorScheme) || g_settings_schema_has_key(schema, kGtkTheme);
    g_settings_schema_unref(schema);
    if (!usable) return false;

    settings = g_settings_new(kInterfaceSchema);
    gsettingsHandler = g_signal_connect_data(settings, "changed", G_CALLBACK(PiThemeCallbacks::gsettingsChanged),
                                             new std::weak_ptr<PiTheme>(weak_from_this()),
                                             GClosureNotify(+[](gpointer data, GClosure *) { delete_weak(data); }),
                                             GConnectFlags(0));
    source = Source::GSettings;
    return true;
}

int PiTheme::readGSettingsTheme()
{
    if (settings == nullptr) return PI_THEME_LIGHT;
    GSettingsSchema *schema = nullptr;
    g_object_get(settings, "settings-schema", &schema, nullptr);
    const bool hasScheme = schema != nullptr && g_settings_schema_has_key(schema, kColorScheme);
    const bool hasTheme = schema != nullptr && g_settings_schema_has_key(schema, kGtkTheme);
    if (schema != nullptr) g_settings_schema_unref(schema);

    if (hasScheme) {
        const int scheme = g_settings_get_enum(settings, kColorScheme);
        if (scheme == kGSettingsPreferDark) return PI_THEME_DARK;
        if (scheme == kGSettingsPreferLight) return PI_THEME_LIGHT;
    }
    if (!hasTheme) return PI_THEME_LIGHT;
    // Desktops without a colour scheme of their own pick a dark GTK theme.
    gchar *name = g_settings_get_string(settings, kGtkTheme);
    gchar *lower = g_ascii_strdown(name, -1);
    const bool dark = g_str_has_suffix(lower, "-dark");
    g_free(lower);
    g_free(name);
    return dark ? PI_THEME_DARK : PI_THEME_LIGHT;
}

int PiTheme::readSystemTheme()
{
    if (!settingsOk) return PI_THEME_LIGHT;
    switch (source) {
    case Source::Portal: {
        bool found = false;
        return readPortalTheme(&found);
    }
    case Source::GSettings:
        return readGSettingsTheme();
    case Source::Absent:
        break;
    }
    return PI_THEME_LIGHT;
}

int PiTheme::effectiveTheme() const
{
    const int m = mode;
    return m != PI_THEME_AUTO ? m : systemTheme.load();
}

void PiTheme::setMode(int newMode)
{
    mode = newMode;
    GtkSettings *gtkSettings = gtk_settings_get_default();
    if (gtkSettings == nullptr) return;
    switch (newMode) {
    case PI_THEME_AUTO:
        gtk_settings_reset_property(gtkSettings, kPreferDarkProperty);
        break;
    case PI_THEME_LIGHT:
        set_prefer_dark(false);
        break;
    case PI_THEME_DARK:
        set_prefer_dark(true);
        break;
    default:
        break;
    }
}

void PiTheme::addListener(const std::shared_ptr<IPiTheme> &listener)
{
    std::lock_guard<std::mutex> lock(listenerMutex);
    listeners.push_back(listener);
}

void PiTheme::removeListener(const std::shared_ptr<IPiTheme> &listener)
{
    std::lock_guard<std::mutex> lock(listenerMutex);
    auto found = std::find(listeners.begin(), listeners.end(), listener);
    if (found != listeners.end()) listeners.erase(found);
}

std::vector<std::shared_ptr<IPiTheme>> PiTheme::listenersSnapshot()
{
    std::lock_guard<std::mutex> lock(listenerMutex);
    return listeners;
}

void PiTheme::onSystemThemeChanged(int theme)
{
    systemTheme = theme;
    // A forced mode keeps the system theme up to date and nothing else.
    if (mode != PI_THEME_AUTO || idlePending) return;
    idlePending = true;
    g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, PiThemeCallbacks::settingsIdle,
                    new std::weak_ptr<PiTheme>(weak_from_this()), delete_weak);
}

void PiTheme::onSettingsIdle()
{
    idlePending = false;
    notifyListeners(systemTheme);
}

void PiTheme::notifyListeners(int theme)
{
    const std::vector<std::shared_ptr<IPiTheme>> snapshot = listenersSnapshot();
    set_prefer_dark(systemTheme == PI_THEME_DARK);
    for (const auto &listener : snapshot) listener->onThemeChanged(theme);
}

void PiTheme::stopWatcher()
{
    if (portalSubscription != 0) {
        g_dbus_connection_signal_unsubscribe(connection, portalSubscription);
        portalSubscription = 0;
    }
    if (connection != nullptr) {
        g_dbus_connection_close_sync(connection, nullptr, nullptr);
        g_object_unref(connection);
        connection = nullptr;
    }
    if (settings != nullptr) {
        if (gsettingsHandler != 0) g_signal_handler_disconnect(settings, gsettingsHandler);
        gsettingsHandler = 0;
        g_object_unref(settings);
        settings = nullptr;
    }
}

bool PiTheme::setDarkTitleBar(GdkWindow *window)
{
    if (window == nullptr) return false;
#ifdef GDK_WINDOWING_X11
    if (!GDK_IS_X11_WINDOW(window)) return false;
    gdk_x11_window_set_theme_variant(gdk_window_get_toplevel(window), const_cast<char *>("dark"));
    return true;
#else
    return false;
#endif
}
