// The one way the interface opens, hides and refreshes the stream
// statistics windows.
//
// IncomingWindowsManager keeps no list of its own: statistics windows live
// in the application's window list and are found there by class and window
// id, which is the window's channel key. It holds the rule of at most one
// statistics window per channel key: asking for a channel whose window is
// shown raises that window. The zero key finds the first statistics window,
// whatever its channel, so showWindow with the zero key opens the broadcast
// channel chooser only when no statistics window is shown.
//
// Threads: every operation runs on the GTK main loop; instance() may be
// called from any thread. The operations do nothing (createWindow: an empty
// reference) when the application is not the program's PiApplication.
#pragma once

#include <glibmm/refptr.h>
#include <glibmm/ustring.h>
#include <gtkmm/application.h>

#include <cstdint>
#include <memory>

#include "services/display.h"
#include "windows/viewer/statistic_window.h"

class IncomingWindowsManager : public std::enable_shared_from_this<IncomingWindowsManager> {
public:
    // The process's manager, made on first use.
    static std::shared_ptr<IncomingWindowsManager> instance();

    IncomingWindowsManager(const IncomingWindowsManager &) = delete;
    IncomingWindowsManager &operator=(const IncomingWindowsManager &) = delete;

    // Raises the statistics window of the channel; when none is shown,
    // opens an incoming-connection window (kind 2) for it. The zero key
    // stands for the broadcast channel chooser.
    void showWindow(Glib::RefPtr<Gtk::Application> application, const PkXID &channel);

    // Builds a statistics window with no transient parent, gives it the
    // title, the peer, the channel key and the kind, and starts it (listed
    // from then until it is hidden). Empty when no window was built.
    std::shared_ptr<StatisticWindow> createWindow(Glib::RefPtr<Gtk::Application> application,
                                                  const Glib::ustring &title, const PkXID &peerId,
                                                  const PkXID &channel, int32_t kind);

    // Hides, and so closes, every statistics window.
    void hideAll(Glib::RefPtr<Gtk::Application> application);
    // refreshWindow on the first listed statistics window; nothing when
    // there is none.
    void refreshFirst(Glib::RefPtr<Gtk::Application> application);
    // refreshWindow on every statistics window, in list order.
    void refreshAll(Glib::RefPtr<Gtk::Application> application);
    // The window's values go back to "N/A" and its Disconnect button is
    // insensitive until the next report of its channel.
    void refreshWindow(std::shared_ptr<StatisticWindow> window);

private:
    IncomingWindowsManager() = default;
};
