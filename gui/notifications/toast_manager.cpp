#include "notifications/toast_manager.h"

#include <gio/gio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "core/log.h"

namespace WinToastLib {

namespace {

const char kModule[] = "toast";
const char kService[] = "org.freedesktop.Notifications";
const char kServicePath[] = "/org/freedesktop/Notifications";
// The desktop entry key that carries the application id.
const char kEntryGroup[] = "Desktop Entry";
const char kIdKey[] = "X-Application-Id";
// The action keys the service gives a click on the body and the reply.
const char kDefaultAction[] = "default";
const char kReplyAction[] = "inline-reply";
const char kReplyArguments[] = "action=reply";
// A local bus answers in microseconds; the bound keeps a wedged service
// from holding the main loop.
const int kBusTimeoutMs = 2000;

// Text for the bus: a string that is not UTF-8 would make the message
// invalid, and peer names arrive from the network.
std::string valid(const std::string &text)
{
    gchar *made = g_utf8_make_valid(text.data(), gssize(text.size()));
    std::string out(made);
    g_free(made);
    return out;
}

std::string attributeOr(const ToastXmlNode *node, const char *name)
{
    const std::string *value = node != nullptr ? node->attribute(name) : nullptr;
    return value != nullptr ? *value : std::string();
}

int64_t wallClockMs() { return g_get_real_time() / 1000; }

// The Notify call of a finished document: the first text line is the
// summary, the others (the attribution last) the body; each button becomes
// an action whose key is its arguments; the body click is the "default"
// action. Everything the peer may have chosen is made valid UTF-8, and the
// body, which the service reads as markup, is escaped.
GVariant *notifyParameters(const ToastXmlDocument &document, const std::string &appName, const std::string &appIcon,
                           int64_t expirationMs)
{
    std::string summary;
    std::string body;
    bool first = true;
    for (const ToastXmlNode *text : document.elementsByTagName("text")) {
        if (first) {
            summary = valid(text->text());
            first = false;
            continue;
        }
        if (!body.empty()) body += "\n";
        body += toastEscaped(valid(text->text()), false);
    }

    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    g_variant_builder_add(&actions, "s", kDefaultAction);
    g_variant_builder_add(&actions, "s", "");
    for (const ToastXmlNode *action : document.elementsByTagName("action")) {
        const std::string arguments = attributeOr(action, "arguments");
        const std::string key = arguments == kReplyArguments ? kReplyAction : valid(arguments);
        if (key.empty() || key == kDefaultAction) continue;
        g_variant_builder_add(&actions, "s", key.c_str());
        g_variant_builder_add(&actions, "s", valid(attributeOr(action, "content")).c_str());
    }

    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string(valid(appName).c_str()));
    if (const ToastXmlNode *input = document.firstElement("input")) {
        g_variant_builder_add(&hints, "{sv}", "x-kde-reply-placeholder-text",
                              g_variant_new_string(valid(attributeOr(input, "placeHolderContent")).c_str()));
    }
    if (const ToastXmlNode *audio = document.firstElement("audio")) {
        if (const std::string *src = audio->attribute("src"))
            g_variant_builder_add(&hints, "{sv}", "sound-file", g_variant_new_string(valid(*src).c_str()));
        if (attributeOr(audio, "silent") == "true")
            g_variant_builder_add(&hints, "{sv}", "suppress-sound", g_variant_new_boolean(TRUE));
    }
    for (const ToastXmlNode *image : document.elementsByTagName("image")) {
        if (attributeOr(image, "placement") == "hero") continue;
        g_variant_builder_add(&hints, "{sv}", "image-path",
                              g_variant_new_string(valid(attributeOr(image, "src")).c_str()));
        break;
    }

    // -1 leaves the time on screen to the service.
    const int32_t expireTimeout = expirationMs > 0 ? int32_t(std::min<int64_t>(expirationMs, INT32_MAX)) : -1;
    return g_variant_new("(susss@asa{sv}i)", valid(appName).c_str(), 0u, valid(appIcon).c_str(), summary.c_str(),
                         body.c_str(),
                         g_variant_builder_end(&actions), &hints, expireTimeout);
}

// Base-10 conversion that accepts leading white space and a sign and stops
// at the first non-digit; no number gives 0, and values past 32 bits are
// held at the limits.
int32_t argumentNumber(const std::string &text)
{
    errno = 0;
    const long value = strtol(text.c_str(), nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return int32_t(value);
}

bool nameIsAvailable(GDBusConnection *connection)
{
    GVariant *reply =
        g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                    "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", kService),
                                    G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, kBusTimeoutMs, nullptr, nullptr);
    gboolean owned = FALSE;
    if (reply != nullptr) {
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
    }
    if (owned) return true;
    reply = g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                        "org.freedesktop.DBus", "ListActivatableNames", nullptr,
                                        G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, kBusTimeoutMs, nullptr,
                                        nullptr);
    if (reply == nullptr) return false;
    bool activatable = false;
    GVariantIter *names = nullptr;
    const gchar *name = nullptr;
    g_variant_get(reply, "(as)", &names);
    while (!activatable && g_variant_iter_next(names, "&s", &name)) activatable = g_strcmp0(name, kService) == 0;
    g_variant_iter_free(names);
    g_variant_unref(reply);
    return activatable;
}

std::string programPath()
{
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0) return {};
    return std::string(buffer.data(), size_t(length));
}

// A desktop entry's Exec value: the program in double quotes, with the
// characters that are special inside them escaped.
std::string quotedCommand(const std::string &program)
{
    std::string out = "\"";
    for (char c : program) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

WinToast *WinToast::instance()
{
    thread_local WinToast manager;
    return &manager;
}

bool WinToast::isCompatible()
{
    GDBusConnection *connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (connection == nullptr) return false;
    const bool available = !g_dbus_connection_is_closed(connection) && nameIsAvailable(connection);
    g_object_unref(connection);
    return available;
}

WinToast::WinToast() = default;

WinToast::~WinToast()
{
    clear();
    if (bus != nullptr) {
        // Events are dispatched on this thread, so none can still run for us
        // once the subscription is gone.
        if (signalSubscription != 0) g_dbus_connection_signal_unsubscribe(bus, signalSubscription);
        g_object_unref(bus);
    }
}

GDBusConnection *WinToast::notifier()
{
    if (bus != nullptr && g_dbus_connection_is_closed(bus)) {
        // The bus went away; its notifications and their events with it.
        if (signalSubscription != 0) g_dbus_connection_signal_unsubscribe(bus, signalSubscription);
        signalSubscription = 0;
        g_object_unref(bus);
        bus = nullptr;
        registrations.clear();
        for (auto &[id, entry] : toasts) entry.registrationsRemoved = true;
    }
    if (bus != nullptr) return bus;
    GError *error = nullptr;
    bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (bus == nullptr) {
        core_log(CORE_LOG_INFO, kModule, "no session bus: %s", error->message);
        g_error_free(error);
        return nullptr;
    }
    if (g_dbus_connection_is_closed(bus)) {
        // GLib keeps handing out its shared connection after the bus died.
        g_object_unref(bus);
        bus = nullptr;
        return nullptr;
    }
    signalSubscription = g_dbus_connection_signal_subscribe(
        bus, kService, kService, nullptr, kServicePath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        &WinToast::signalThunk, this, nullptr);
    return bus;
}

bool WinToast::initialize(WinToastError *error)
{
    initialized = false;
    if (error != nullptr) *error = NoError;
    if (!isCompatible()) {
        if (error != nullptr) *error = SystemNotSupported;
        return false;
    }
    if (applicationUserModelId.empty() || applicationName.empty()) {
        if (error != nullptr) *error = InvalidParameters;
        return false;
    }
    if (shortcutPolicy != SHORTCUT_POLICY_IGNORE && createShortcut() < 0) {
        if (error != nullptr) *error = ShellLinkNotCreated;
        return false;
    }
    // The process's id for its toasts is the desktop entry each toast names
    // (the "desktop-entry" hint); there is nothing to register beyond
    // reaching the bus, which can still fail here.
    if (notifier() == nullptr) {
        if (error != nullptr) *error = InvalidAppUserModelID;
        return false;
    }
    initialized = true;
    return true;
}

std::string WinToast::defaultShellLinkPath() const
{
    std::string base;
    if (const char *dataHome = getenv("XDG_DATA_HOME"); dataHome != nullptr && dataHome[0] == '/')
        base = dataHome;
    else if (const char *home = getenv("HOME"); home != nullptr && home[0] != '\0')
        base = std::string(home) + "/.local/share";
    if (base.empty()) return {};
    return base + "/applications/" + applicationName + ".desktop";
}

int32_t WinToast::createShortcut()
{
    if (applicationUserModelId.empty() || applicationName.empty()) return SHORTCUT_MISSING_PARAMETERS;
    if (!isCompatible()) return SHORTCUT_INCOMPATIBLE_OS;
    bool changed = false;
    if (validateShellLink(changed)) return changed ? SHORTCUT_WAS_CHANGED : SHORTCUT_UNCHANGED;
    return createShellLink() ? SHORTCUT_WAS_CREATED : SHORTCUT_CREATE_FAILED;
}

bool WinToast::validateShellLink(bool &changed)
{
    changed = false;
    const std::string path = defaultShellLinkPath();
    if (path.empty() || !g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR)) return false;
    GKeyFile *entry = g_key_file_new();
    const auto flags = GKeyFileFlags(G_KEY_FILE_KEEP_COMMENTS | G_KEY_FILE_KEEP_TRANSLATIONS);
    bool ok = g_key_file_load_from_file(entry, path.c_str(), flags, nullptr);
    if (ok) {
        gchar *id = g_key_file_get_string(entry, kEntryGroup, kIdKey, nullptr);
        const bool same = id != nullptr && applicationUserModelId == id;
        g_free(id);
        if (!same) {
            ok = shortcutPolicy == SHORTCUT_POLICY_REQUIRE_CREATE;
            if (ok) {
                changed = true;
                g_key_file_set_string(entry, kEntryGroup, kIdKey, applicationUserModelId.c_str());
                ok = g_key_file_save_to_file(entry, path.c_str(), nullptr);
            }
        }
    }
    g_key_file_unref(entry);
    return ok;
}

bool WinToast::createShellLink()
{
    if (shortcutPolicy != SHORTCUT_POLICY_REQUIRE_CREATE) return false;
    const std::string path = defaultShellLinkPath();
    const std::string program = programPath();
    if (path.empty() || program.empty()) return false;
    const std::string folder = program.substr(0, program.find_last_of('/'));
    gchar *parent = g_path_get_dirname(path.c_str());
    const bool made = g_mkdir_with_parents(parent, 0700) == 0;
    g_free(parent);
    if (!made) return false;
    GKeyFile *entry = g_key_file_new();
    g_key_file_set_string(entry, kEntryGroup, "Type", "Application");
    g_key_file_set_string(entry, kEntryGroup, "Name", valid(applicationName).c_str());
    g_key_file_set_string(entry, kEntryGroup, "Exec", quotedCommand(valid(program)).c_str());
    g_key_file_set_string(entry, kEntryGroup, "Path", valid(folder).c_str());
    g_key_file_set_string(entry, kEntryGroup, kIdKey, applicationUserModelId.c_str());
    GError *error = nullptr;
    const bool saved = g_key_file_save_to_file(entry, path.c_str(), &error);
    if (!saved) {
        core_log(CORE_LOG_INFO, kModule, "desktop entry not written: %s", error->message);
        g_error_free(error);
    }
    g_key_file_unref(entry);
    return saved;
}

int64_t WinToast::newToastId() { return int64_t(g_random_int()); }

int64_t WinToast::showToast(const WinToastTemplate &toast, IWinToastHandler *handler, WinToastError *error)
{
    std::shared_ptr<IWinToastHandler> owned(handler);
    if (error != nullptr) *error = NoError;
    if (!initialized) {
        if (error != nullptr) *error = NotInitialized;
        return -1;
    }
    if (!owned) {
        if (error != nullptr) *error = InvalidHandler;
        return -1;
    }
    GDBusConnection *connection = notifier();
    if (connection == nullptr) return -1;
    std::unique_ptr<ToastXmlDocument> document = toastTemplateContent(toast.type);
    if (!document ||
        buildToastDocument(toast, *document, WIN_TOAST_FULL_MAJOR_VERSION, WIN_TOAST_FULL_BUILD_NUMBER) != 0)
        return -1;

    const int64_t expiryMs = toast.expiration > 0 ? wallClockMs() + toast.expiration : 0;
    const int64_t id = newToastId();

    GError *callError = nullptr;
    GVariant *reply = g_dbus_connection_call_sync(
        connection, kService, kServicePath, kService, "Notify", notifyParameters(*document, applicationName, applicationIcon, toast.expiration),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, kBusTimeoutMs, nullptr, &callError);
    if (reply == nullptr) {
        core_log(CORE_LOG_INFO, kModule, "toast not shown: %s", callError->message);
        g_error_free(callError);
        if (error != nullptr) *error = NotDisplayed;
        return -1;
    }
    guint32 notificationId = 0;
    g_variant_get(reply, "(u)", &notificationId);
    g_variant_unref(reply);

    // The service hands out its own ids; its events name those. A reused one
    // means the notification it named is gone: its entry must not take the
    // new registration with it later.
    for (auto &[listedId, entry] : toasts)
        if (entry.notificationId == notificationId) entry.registrationsRemoved = true;
    registrations[notificationId] = Registration{id, owned, expiryMs, false};
    toasts.emplace(id, ToastEntry{notificationId, false, false});
    return id;
}

bool WinToast::isFinished(int64_t id) const
{
    auto it = toasts.find(id);
    return it != toasts.end() && it->second.finished;
}

void WinToast::removeRegistrations(ToastEntry &entry)
{
    if (entry.registrationsRemoved) return;
    registrations.erase(entry.notificationId);
    entry.registrationsRemoved = true;
}

bool WinToast::hideToast(int64_t id)
{
    if (!initialized) return false;
    auto it = toasts.find(id);
    if (it == toasts.end()) return false;
    GDBusConnection *connection = notifier();
    if (connection == nullptr) return false;
    GVariant *reply = g_dbus_connection_call_sync(connection, kService, kServicePath, kService, "CloseNotification",
                                                  g_variant_new("(u)", it->second.notificationId), nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE, kBusTimeoutMs, nullptr, nullptr);
    if (reply == nullptr) return false;
    g_variant_unref(reply);
    // The call ran the main context of no one, so the entry is still there.
    if (it->second.finished) removeRegistrations(it->second);
    toasts.erase(it);
    return true;
}

void WinToast::clear()
{
    // Only over the connection the toasts were shown on: a manager ending
    // with its thread must not reach for a bus that is gone.
    if (toasts.empty() || bus == nullptr || g_dbus_connection_is_closed(bus)) return;
    GDBusConnection *connection = bus;
    if (connection == nullptr) return;
    for (auto &[id, entry] : toasts) {
        GVariant *reply = g_dbus_connection_call_sync(connection, kService, kServicePath, kService,
                                                      "CloseNotification", g_variant_new("(u)", entry.notificationId),
                                                      nullptr, G_DBUS_CALL_FLAGS_NONE, kBusTimeoutMs, nullptr, nullptr);
        if (reply != nullptr) g_variant_unref(reply);
        if (entry.finished) removeRegistrations(entry);
    }
    toasts.clear();
}

void WinToast::purgeFinishedToasts(int64_t id)
{
    for (auto it = toasts.begin(); it != toasts.end();) {
        if (it->second.finished) {
            removeRegistrations(it->second);
            it = toasts.erase(it);
        } else {
            ++it;
        }
    }
    auto it = toasts.find(id);
    if (it != toasts.end()) it->second.finished = true;
}

void WinToast::signalThunk(GDBusConnection *, const char *, const char *, const char *, const char *member,
                           GVariant *parameters, void *self)
{
    static_cast<WinToast *>(self)->onSignal(member, parameters);
}

void WinToast::onSignal(const char *member, GVariant *parameters)
{
    // Anything on the bus can send under the service's name only if it owns
    // it, but the shapes are still checked before they are read.
    if (g_strcmp0(member, "ActionInvoked") == 0 && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
        guint32 notificationId = 0;
        const gchar *key = nullptr;
        g_variant_get(parameters, "(u&s)", &notificationId, &key);
        const std::string arguments = g_strcmp0(key, kDefaultAction) == 0 ? ""
                                      : g_strcmp0(key, kReplyAction) == 0 ? kReplyArguments
                                                                           : key;
        onActivated(notificationId, arguments);
        return;
    }
    if (g_strcmp0(member, "NotificationReplied") == 0 && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
        guint32 notificationId = 0;
        const gchar *text = nullptr;
        g_variant_get(parameters, "(u&s)", &notificationId, &text);
        auto it = registrations.find(notificationId);
        if (it == registrations.end()) return;
        // A reply leaves the toast listed and unfinished.
        const std::shared_ptr<IWinToastHandler> handler = it->second.handler;
        handler->onReplyActivated(text);
        return;
    }
    if (g_strcmp0(member, "NotificationClosed") == 0 && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
        guint32 notificationId = 0;
        guint32 closeReason = 0;
        g_variant_get(parameters, "(uu)", &notificationId, &closeReason);
        auto it = registrations.find(notificationId);
        if (it == registrations.end()) return;
        const Registration registration = it->second;
        // The service sends nothing more for this notification.
        registrations.erase(it);
        for (auto &[id, entry] : toasts)
            if (entry.notificationId == notificationId && id == registration.toastId) entry.registrationsRemoved = true;
        if (registration.activated) return;
        // The service's reasons: 1 expired, 2 dismissed by the user, 3 closed
        // by CloseNotification, 4 undefined.
        int32_t reason = IWinToastHandler::UserCanceled;
        if (closeReason == 1) reason = IWinToastHandler::TimedOut;
        if (closeReason == 3) reason = IWinToastHandler::ApplicationHidden;
        if (reason == IWinToastHandler::UserCanceled && registration.expiryMs > 0 &&
            wallClockMs() >= registration.expiryMs)
            reason = IWinToastHandler::TimedOut;
        registration.handler->onDismissed(reason);
        purgeFinishedToasts(registration.toastId);
    }
}

void WinToast::onActivated(uint32_t notificationId, const std::string &arguments)
{
    auto it = registrations.find(notificationId);
    if (it == registrations.end()) return;
    const std::shared_ptr<IWinToastHandler> handler = it->second.handler;
    const int64_t toastId = it->second.toastId;
    // The reply's text comes with its own signal on services that have a
    // reply box; a plain press of the reply button reads as a button.
    it->second.activated = true;
    if (!arguments.empty())
        handler->onActionActivated(argumentNumber(arguments));
    else
        handler->onActivated();
    purgeFinishedToasts(toastId);
}

}  // namespace WinToastLib
