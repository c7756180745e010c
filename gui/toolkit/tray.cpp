#include "toolkit/tray.h"

#include <gio/gio.h>
#include <glibmm/main.h>
#include <glibmm/markup.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cstdio>
#include <deque>

#include "core/log.h"
#include "toolkit/window.h"

namespace {

const char kNotifyName[] = "org.freedesktop.Notifications";
const char kNotifyPath[] = "/org/freedesktop/Notifications";

// What a balloon sends, kept until the bus connection is there.
struct PendingNotification {
    std::string title;
    std::string body;
    GVariant *image = nullptr;  // floating "(iiibiiay)", or null
};

// The desktop notification hint "image-data": the raw pixels of a pixbuf.
GVariant *image_data(const Glib::RefPtr<Gdk::Pixbuf> &picture)
{
    if (!picture) return nullptr;
    GdkPixbuf *pixbuf = picture->gobj();
    guint length = 0;
    const guint8 *pixels = gdk_pixbuf_get_pixels_with_length(pixbuf, &length);
    GVariant *data = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, pixels, length, 1);
    return g_variant_new("(iiibii@ay)", gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf),
                         gdk_pixbuf_get_rowstride(pixbuf), gdk_pixbuf_get_has_alpha(pixbuf),
                         gdk_pixbuf_get_bits_per_sample(pixbuf), gdk_pixbuf_get_n_channels(pixbuf), data);
}

void on_notify_reply(GObject *source, GAsyncResult *result, gpointer)
{
    GError *error = nullptr;
    GVariant *reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (reply != nullptr) {
        g_variant_unref(reply);
        return;
    }
    // No notification service: the balloon is dropped.
    core_log(CORE_LOG_INFO, "toolkit", "balloon not shown: %s", error->message);
    g_error_free(error);
}

// Balloons waiting for the session bus, oldest first; the main thread's
// alone. One fetch of the bus serves all of them, so they go out in the
// order they were shown.
std::deque<PendingNotification *> &waiting_balloons()
{
    static std::deque<PendingNotification *> waiting;
    return waiting;
}
bool bus_fetch_running = false;

void drop_balloon(PendingNotification *pending)
{
    if (pending->image != nullptr) g_variant_unref(g_variant_ref_sink(pending->image));
    delete pending;
}

void send_balloon(GDBusConnection *connection, PendingNotification *pending)
{
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    if (pending->image != nullptr) g_variant_builder_add(&hints, "{sv}", "image-data", pending->image);
    const char *appName = g_get_application_name();
    GVariant *parameters =
        g_variant_new("(susss@asa{sv}i)", appName != nullptr ? appName : "", 0u, "", pending->title.c_str(),
                      pending->body.c_str(), g_variant_new_strv(nullptr, 0), &hints, PI_MENU_BALLOON_TIMEOUT_MS);
    g_dbus_connection_call(connection, kNotifyName, kNotifyPath, kNotifyName, "Notify", parameters,
                           G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, on_notify_reply, nullptr);
    delete pending;
}

void on_bus(GObject *, GAsyncResult *result, gpointer)
{
    bus_fetch_running = false;
    std::deque<PendingNotification *> pending;
    pending.swap(waiting_balloons());
    GError *error = nullptr;
    GDBusConnection *connection = g_bus_get_finish(result, &error);
    if (connection == nullptr) {
        core_log(CORE_LOG_INFO, "toolkit", "balloon not shown, no session bus: %s", error->message);
        g_error_free(error);
        for (PendingNotification *balloon : pending) drop_balloon(balloon);
        return;
    }
    // Calls on one connection go out in the order they are made.
    for (PendingNotification *balloon : pending) send_balloon(connection, balloon);
    g_object_unref(connection);
}

std::string icon_name(const PiMenuGuid &identity)
{
    std::string text;
    char digits[3];
    for (uint8_t byte : identity) {
        snprintf(digits, sizeof(digits), "%02x", byte);
        text += digits;
    }
    return text;
}

}  // namespace

std::shared_ptr<PiMenu> PiMenu::instance()
{
    static const std::shared_ptr<PiMenu> menu(new PiMenu());
    return menu;
}

PiMenu::PiMenu()
{
    // An identity, not a secret: GLib's generator is seeded from the system.
    for (size_t i = 0; i < guid.size(); i += 4) {
        const guint32 word = g_random_int();
        for (size_t j = 0; j < 4; j++) guid[i + j] = uint8_t(word >> (8 * j));
    }
}

PiMenu::~PiMenu()
{
    // The process is ending; the icons go with the display connection.
    hwnd = 0;
    iconId = 0;
    guid.fill(0);
}

int PiMenu::addIcon(int withIconId, uint64_t, const PiMenuGuid &identity)
{
    if (hasIcon(identity)) return -1;
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GtkStatusIcon *icon = gtk_status_icon_new();
    if (icon == nullptr) return -1;
    if (withIconId != 0) {
        const Glib::RefPtr<Gdk::Pixbuf> picture = PiWindowIcon::picture();
        if (picture) gtk_status_icon_set_from_pixbuf(icon, picture->gobj());
    }
    gtk_status_icon_set_name(icon, icon_name(identity).c_str());
    gtk_status_icon_set_visible(icon, TRUE);
    G_GNUC_END_IGNORE_DEPRECATIONS
    icons.emplace_back(identity, icon);
    return 0;
}

int PiMenu::removeIcon(const PiMenuGuid &identity)
{
    auto it = std::find_if(icons.begin(), icons.end(), [&](const auto &entry) { return entry.first == identity; });
    if (it == icons.end()) return 0;
    GtkStatusIcon *icon = it->second;
    icons.erase(it);
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_status_icon_set_visible(icon, FALSE);
    G_GNUC_END_IGNORE_DEPRECATIONS
    g_object_unref(icon);
    return 1;
}

bool PiMenu::hasIcon(const PiMenuGuid &identity) const
{
    return std::any_of(icons.begin(), icons.end(), [&](const auto &entry) { return entry.first == identity; });
}

std::string PiMenu::cutCharacters(const std::string &text, size_t count)
{
    gchar *valid = g_utf8_make_valid(text.data(), gssize(text.size()));
    std::string result(valid);
    g_free(valid);
    if (size_t(g_utf8_strlen(result.c_str(), -1)) > count)
        result.resize(size_t(g_utf8_offset_to_pointer(result.c_str(), glong(count)) - result.c_str()));
    return result;
}

void PiMenu::showBalloon(const std::string &title, const std::string &text)
{
    // Already there from an earlier balloon: that one's removal takes it.
    addIcon(iconId, hwnd, guid);
    // The summary is plain text to every server; the body may be markup.
    sendNotification(cutCharacters(title, PI_MENU_TITLE_MAX),
                     Glib::Markup::escape_text(cutCharacters(text, PI_MENU_TEXT_MAX)));
    const std::weak_ptr<PiMenu> weak = weak_from_this();
    const PiMenuGuid identity = guid;
    Glib::signal_timeout().connect_once(
        [weak, identity] {
            if (std::shared_ptr<PiMenu> self = weak.lock()) self->removeIcon(identity);
        },
        PI_MENU_REMOVE_DELAY_MS);
}

void PiMenu::sendNotification(const std::string &title, const std::string &body)
{
    PendingNotification *pending = new PendingNotification{title, body, nullptr};
    if (iconId != 0) pending->image = image_data(PiWindowIcon::picture());
    waiting_balloons().push_back(pending);
    if (bus_fetch_running) return;
    bus_fetch_running = true;
    g_bus_get(G_BUS_TYPE_SESSION, nullptr, on_bus, nullptr);
}
