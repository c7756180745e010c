// The toast manager: desktop toasts through the session bus's notification
// service (org.freedesktop.Notifications).
//
// WinToast registers the process under an application id, keeps a desktop
// entry (the program's launcher in the user's applications folder, named
// after the application and carrying the id), builds each toast's document
// from a WinToastTemplate (toast_template.h), sends it to the notification
// service, lists the toasts it has shown and passes each toast's events
// (activated, replied, dismissed) to the IWinToastHandler given with it.
//
// Threads: one manager per thread (instance()). The bus delivers a toast's
// events in the main context that was the thread default when the manager
// first reached the bus, so for the main thread's manager every event runs
// on the GTK main loop, where showToast/hideToast/clear run too: the toast
// list is touched by one thread only and takes no lock. A manager on a
// thread without a running main context shows toasts but hears no events.
//
// Results: bool, toast ids (-1 on failure) and shortcut results as listed
// below; the WinToastError out-parameters say why. Nothing throws and
// nothing is shown to the user when something fails.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "notifications/toast_template.h"

struct _GDBusConnection;
struct _GVariant;

namespace WinToastLib {

class IWinToastHandler {
public:
    enum WinToastDismissalReason : int32_t { UserCanceled = 0, ApplicationHidden = 1, TimedOut = 2 };

    virtual ~IWinToastHandler() = default;
    // The text typed into the toast's reply box (UTF-8).
    virtual void onReplyActivated(std::string response) const = 0;
    // The number in the pressed button's arguments (its index).
    virtual void onActionActivated(int32_t actionIndex) const = 0;
    // A click on the toast itself.
    virtual void onActivated() const = 0;
    virtual void onDismissed(int32_t reason) const = 0;
    virtual void onFailed() const = 0;
};

class WinToast {
public:
    enum WinToastError : int32_t {
        NoError = 0,
        NotInitialized = 1,
        SystemNotSupported = 2,
        ShellLinkNotCreated = 3,
        InvalidAppUserModelID = 4,
        InvalidParameters = 5,
        InvalidHandler = 6,
        NotDisplayed = 7,
    };
    enum ShortcutResult : int32_t {
        SHORTCUT_UNCHANGED = 0,
        SHORTCUT_WAS_CHANGED = 1,
        SHORTCUT_WAS_CREATED = 2,
        SHORTCUT_MISSING_PARAMETERS = -1,
        SHORTCUT_INCOMPATIBLE_OS = -2,
        SHORTCUT_COM_INIT_FAILURE = -3,
        SHORTCUT_CREATE_FAILED = -4,
    };
    enum ShortcutPolicy : int32_t {
        SHORTCUT_POLICY_IGNORE = 0,             // leave the desktop entry alone
        SHORTCUT_POLICY_REQUIRE_NO_CREATE = 1,  // it must exist and carry the id
        SHORTCUT_POLICY_REQUIRE_CREATE = 2,     // create or repair it
    };

    // The calling thread's manager, made on its first use in that thread.
    static WinToast *instance();
    // Whether the session bus is reachable and a notification service runs
    // on it or can be started by it. Asked afresh on every call.
    static bool isCompatible();

    WinToast();
    WinToast(const WinToast &) = delete;
    WinToast &operator=(const WinToast &) = delete;
    // Clears (hides every listed toast) and lets go of the bus.
    virtual ~WinToast();

    virtual bool initialize(WinToastError *error = nullptr);
    virtual bool isInitialized() const { return initialized; }
    // False when not initialised, the id is not listed, the bus is missing
    // or the service refused; the entry then stays listed.
    virtual bool hideToast(int64_t id);
    // The toast's id (0 to 2^32 - 1), or -1. Takes ownership of the handler
    // in every case; a null handler is error 6.
    virtual int64_t showToast(const WinToastTemplate &toast, IWinToastHandler *handler, WinToastError *error = nullptr);
    virtual void clear();
    virtual int32_t createShortcut();

    void setAppName(const std::string &name) { applicationName = name; }
    void setAppUserModelId(const std::string &id) { applicationUserModelId = id; }
    // A picture file the service shows beside every toast; empty for none.
    void setAppIcon(const std::string &path) { applicationIcon = path; }
    void setShortcutPolicy(int32_t policy) { shortcutPolicy = policy; }
    const std::string &appName() const { return applicationName; }
    const std::string &appUserModelId() const { return applicationUserModelId; }

    // "$XDG_DATA_HOME/applications/<name>.desktop" ($HOME/.local/share when
    // XDG_DATA_HOME is unset); empty when neither variable is set.
    std::string defaultShellLinkPath() const;

    // The list as it stands: whether the id is listed, and finished.
    bool isListed(int64_t id) const { return toasts.count(id) != 0; }
    bool isFinished(int64_t id) const;
    size_t listedCount() const { return toasts.size(); }

protected:
    // A new toast id; random, as ids of toasts from earlier runs may still
    // be around on the desktop.
    virtual int64_t newToastId();

private:
    // What the bus delivers for one shown notification: the handler and
    // what interpreting its events needs. Dropped when the service reports
    // the notification closed, after which it sends nothing more for it.
    struct Registration {
        int64_t toastId = 0;
        std::shared_ptr<IWinToastHandler> handler;
        int64_t expiryMs = 0;    // wall-clock milliseconds; 0: none
        bool activated = false;  // a close after an activation is no dismissal
    };
    struct ToastEntry {
        uint32_t notificationId = 0;  // the service's id of the notification
        bool finished = false;
        bool registrationsRemoved = false;
    };

    _GDBusConnection *notifier();
    bool validateShellLink(bool &changed);
    bool createShellLink();
    void removeRegistrations(ToastEntry &entry);
    void purgeFinishedToasts(int64_t id);
    void onSignal(const char *member, _GVariant *parameters);
    void onActivated(uint32_t notificationId, const std::string &arguments);
    static void signalThunk(_GDBusConnection *, const char *, const char *, const char *, const char *member,
                            _GVariant *parameters, void *self);

    bool initialized = false;
    int32_t shortcutPolicy = SHORTCUT_POLICY_REQUIRE_CREATE;
    std::string applicationName;
    std::string applicationIcon;
    std::string applicationUserModelId;
    std::map<int64_t, ToastEntry> toasts;
    std::map<uint32_t, Registration> registrations;
    _GDBusConnection *bus = nullptr;
    unsigned signalSubscription = 0;
};

}  // namespace WinToastLib
