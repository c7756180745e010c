// The process: the application object, its creation, and the shut-down of
// everything the interface side started.
//
// VeltranaApp is the program's one GTK application. It ties the window list
// (PiApplication) to the engine facade, whose listener it is from
// createApplication until the shut-down, and keeps what the command line
// asked for. Its command-line handler (command_line.cpp) registers the text
// pages, reads the options, prepares locale and data folder and publishes
// the program's folders; its activation (activation.cpp) starts the engine,
// applies the theme and opens the main window. The application is not
// unique on the bus: a second process is turned away before it gets here
// (instance.h), so activation runs once per process.
//
// shutdownCore takes the interface side down in order: the HTTP worker, the
// bound channels, the facade's worker, the engine (offline, then stopped),
// then, through onShutdownFinished, the listeners, the binder, the theme
// watcher, the notification-area icon, the event pump and the engine
// context. Every step leaves alone what is already down, so it may run
// twice (the "dialog" path of activation runs it, and main runs it again).
//
// Threads: everything here runs on the GTK main thread; onShutdownStarting
// and onShutdownFinished are called by the facade on the thread that runs
// shutdownCore. Nothing throws to the caller except std::system_error from
// the thread operations of startCore and shutdownCore (stated there).
#pragma once

#include <giomm/applicationcommandline.h>
#include <glibmm/ustring.h>
#include <gtkmm/window.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "services/facade.h"
#include "toolkit/application.h"

// The option by which a desktop notification starts the program again.
#define PK_TOAST_OPTION_NAME "toast_activated"

class VeltranaApp : public PiApplication, public IPkDeam, public std::enable_shared_from_this<VeltranaApp> {
public:
    // The application owned by a shared pointer whose last release drops
    // the GTK object's reference (and with it this object).
    static std::shared_ptr<VeltranaApp> create(const Glib::ustring &optionName);

    ~VeltranaApp() override;

    // Unbinds every bind channel, waiting for each.
    void onShutdownStarting() override;
    // Leaves the facade, resets the binder, stops the theme watcher,
    // removes the notification-area icon, takes the event pump down and
    // destroys the engine context. Throws std::bad_weak_ptr while the
    // application is being destroyed (the facade logs it).
    void onShutdownFinished() override;

    // Loads the settings, fills the node configuration, saves the settings,
    // asks the facade to start the engine and starts the HTTP worker. 0;
    // std::system_error when the HTTP worker cannot be started.
    int startCore();

    // The main window's opener: the program sets it before it runs the
    // application, since the window libraries are built on this one.
    // Activation calls it once; it returns the started window, or empty
    // when none was made. Without an opener activation opens nothing.
    using MainWindowOpener = std::function<std::shared_ptr<Gtk::Window>(const Glib::RefPtr<Gtk::Application> &)>;
    static void setMainWindowOpener(MainWindowOpener opener);

    // Parses the program's options out of `arguments` (the program's name
    // first) into the fields below; what the program does not know stays
    // in `arguments`. 0; 1 when help was asked for (`message` holds it);
    // -1 when a text option lacks its value (`message` says so).
    int parseOptions(std::vector<std::string> &arguments, std::string &message);

    const Glib::ustring toastOptionName;
    Glib::ustring themeName = "auto";
    Glib::ustring dialogText;
    bool openglEnabled = false;  // accepted; nothing reads it
    bool xvEnabled = false;      // accepted; nothing reads it
    bool vaapiProc = false;
    bool vaapiH264Enc = false;
    bool vaapiH265Enc = false;
    bool vaapiVp8Enc = false;
    bool vaapiVp9Enc = false;
    bool vaapiAv1Enc = false;
    bool vaapiH264Dec = false;
    bool vaapiH265Dec = false;
    bool vaapiVp8Dec = false;
    bool vaapiVp9Dec = false;
    bool vaapiAv1Dec = false;
    bool toastActivated = false;  // nothing reads it

    // The folders the command line fixed; empty until it ran. The data
    // folder is the UTF-8 form of what "fs.path" 9 holds.
    std::string programFolder;
    std::string dataFolder;

protected:
    explicit VeltranaApp(const Glib::ustring &optionName);

    int on_command_line(const Glib::RefPtr<Gio::ApplicationCommandLine> &commandLine) override;
    void on_activate() override;
};

// The application, registered with the engine facade (which the first call
// creates, starting the engine node and the facade's worker); empty when
// it could not be constructed.
std::shared_ptr<VeltranaApp> createApplication();

// The shut-down sequence; see the top of this header. std::system_error
// when the HTTP worker is joined from itself.
void shutdownCore();
