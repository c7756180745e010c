// The application's notices on the desktop: the single entry point through
// which the shell, the main window and the playback window tell the user
// something in passing.
//
// Notifications is a process-wide singleton. The application shell writes
// the application's name and id into it and calls initialize() once on the
// GTK main thread; from then on show() sends a two-line toast through that
// thread's toast manager (toast_manager.h) when a notification service is
// on the session bus, and a balloon of the notification-area icon (PiMenu)
// when there is none. The three peer notices (connected, disconnected, busy)
// are composed here from translated pieces.
//
// Threads: the GTK main thread only; a call from another thread reaches an
// uninitialised toast manager and shows nothing. No operation returns a
// result: failures are logged at most, never shown.
#pragma once

#include <glibmm/ustring.h>

#include <memory>
#include <string>

#include "notifications/toast_manager.h"

// The handler of every toast: clicking, answering, dismissing or a failure
// of a notice changes nothing in the application.
class CustomHandler : public WinToastLib::IWinToastHandler {
public:
    void onReplyActivated(std::string) const override {}
    void onActionActivated(int32_t) const override {}
    void onActivated() const override {}
    void onDismissed(int32_t) const override {}
    void onFailed() const override {}
};

class Notifications {
public:
    static std::shared_ptr<Notifications> instance();

    // Registers the process with the notification service through the
    // calling thread's toast manager; does nothing without a service.
    void initialize();

    void show(const Glib::ustring &title, const Glib::ustring &text);
    // The user is the peer's name, the source the display name of the
    // channel ("Main channel").
    void showUserConnected(const Glib::ustring &user, const Glib::ustring &source);
    // Details, when not empty, end the text after ". ".
    void showUserDisconnected(const Glib::ustring &user, const Glib::ustring &source, const Glib::ustring &details);
    void showUserBusy(const Glib::ustring &user, const Glib::ustring &source);

    // The text of a peer notice: prefix " '" user "' " postfix ". " "Source"
    // ": " source, the two pieces translated together or both English.
    static Glib::ustring composeNotice(const char *prefixId, const char *postfixId, const char *prefixDefault,
                                       const char *postfixDefault, const Glib::ustring &user,
                                       const Glib::ustring &source);

    std::string applicationName;         // "veltrana": names the desktop entry
    std::string applicationUserModelId;  // "net.veltrana"
    std::string iconPath;                // the picture beside every toast; empty for none

private:
    Notifications() = default;
};
