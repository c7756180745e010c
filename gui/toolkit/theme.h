// The light or dark look of the interface.
//
// PiTheme is the process-wide theme manager. By default the interface
// follows the desktop's colour-scheme preference and switches while the
// program runs; the command line can force light or dark instead (setMode).
// The preference comes from the desktop portal (org.freedesktop.portal.Settings,
// "org.freedesktop.appearance" "color-scheme" over the session bus, watched
// through its SettingChanged signal); where no portal answers, from GSettings
// "org.gnome.desktop.interface" ("color-scheme", else a "gtk-theme" ending in
// "-dark"); where neither exists the system theme is light for the whole run.
// The manager tells GTK whether to prefer its dark variant and calls every
// registered IPiTheme listener when the system theme changes while the mode
// follows it, so that each window regenerates its CSS.
//
// Threads: the manager is made, and every operation but addListener,
// removeListener and effectiveTheme runs, on the GTK main thread. Changes of
// the desktop setting arrive on the main loop (the bus subscription and the
// GSettings object belong to the default main context); listeners are called
// there, in registration order, on a copy of the list taken under the
// listener lock and without holding it, so a listener may add or remove
// listeners. addListener, removeListener and effectiveTheme may be called
// from any thread. No operation throws; a missing bus, portal or schema only
// leaves the theme light.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

struct _GdkWindow;
struct _GDBusConnection;
struct _GSettings;

enum PiThemeMode { PI_THEME_AUTO = -1, PI_THEME_LIGHT = 0, PI_THEME_DARK = 1 };

// How long the first reading of the portal may take; the portal is started on
// demand by the bus, which takes a moment on a cold desktop.
#define PI_THEME_DBUS_TIMEOUT_MS 2000

class IPiTheme {
public:
    virtual ~IPiTheme() = default;
    // 0 light, 1 dark; on the GTK main thread.
    virtual void onThemeChanged(int theme) = 0;
};

class PiTheme : public std::enable_shared_from_this<PiTheme> {
public:
    // The program's manager, made on first use: reads the desktop setting
    // and starts watching it.
    static std::shared_ptr<PiTheme> instance();
    // A manager of its own, reading the session bus and GSettings as they
    // are now; for tests. The program uses instance().
    static std::shared_ptr<PiTheme> create();

    PiTheme(const PiTheme &) = delete;
    PiTheme &operator=(const PiTheme &) = delete;
    ~PiTheme();

    // `mode` unless it is PI_THEME_AUTO, else `systemTheme`: 0 or 1.
    int effectiveTheme() const;

    // Stores the mode and sets GTK's prefer-dark setting: false for light,
    // true for dark; PI_THEME_AUTO hands the setting back to the desktop
    // (the system theme is applied at its next change). Other values are
    // stored and change nothing else. Calls no listener.
    void setMode(int newMode);

    // Strong references: a window stays registered, and alive, until it
    // removes itself. A listener added twice is called twice.
    void addListener(const std::shared_ptr<IPiTheme> &listener);
    // Removes the first entry that is the same object; nothing when none.
    void removeListener(const std::shared_ptr<IPiTheme> &listener);

    // Stops watching the desktop setting; the theme keeps its last value.
    // Called at shut-down; a second call does nothing.
    void stopWatcher();

    // Asks the window manager for the dark title bar of the window's X11
    // toplevel (_GTK_THEME_VARIANT "dark"). False, changing nothing, for a
    // null window or one that is not on X11.
    static bool setDarkTitleBar(_GdkWindow *window);

    // Read freely; written only by the manager.
    std::atomic<int> mode{PI_THEME_AUTO};
    std::atomic<int> systemTheme{PI_THEME_LIGHT};  // 0 or 1

private:
    enum class Source { Absent, Portal, GSettings };

    PiTheme() = default;

    // Opens the portal or GSettings, reads the setting, subscribes to its
    // changes, and applies the system theme to GTK.
    void start();
    bool openPortal();
    bool openGSettings();
    // 0 or 1 as the source says now; 0 when there is none or it fails.
    int readSystemTheme();
    int readPortalTheme(bool *found);
    int readGSettingsTheme();

    // A change of the desktop setting, on the main loop.
    void onSystemThemeChanged(int theme);
    // Runs once per scheduling on the main loop: one listener round for any
    // number of changes that came in before it.
    void onSettingsIdle();
    void notifyListeners(int theme);
    std::vector<std::shared_ptr<IPiTheme>> listenersSnapshot();

    friend struct PiThemeCallbacks;  // the GLib callbacks of theme.cpp

    std::mutex listenerMutex;  // guards `listeners`
    std::vector<std::shared_ptr<IPiTheme>> listeners;

    // Main thread only, below.
    bool settingsOk = false;  // a source of the desktop setting answered
    bool idlePending = false;
    Source source = Source::Absent;
    _GDBusConnection *connection = nullptr;  // own connection to the portal
    unsigned portalSubscription = 0;
    _GSettings *settings = nullptr;
    unsigned long gsettingsHandler = 0;
};
