// The notification-area icon and its balloon, for short notices where the
// desktop-notification manager cannot show its own.
//
// PiMenu is a process-wide singleton that owns one icon identity (`guid`, a
// random 16-byte id made with the singleton). A balloon adds the icon (a
// GtkStatusIcon carrying the application icon), shows the title and text as
// a desktop notification (org.freedesktop.Notifications Notify on the
// session bus, expiring after 5000 ms, the application icon as its picture)
// and removes the icon again 5500 ms later. The title is cut to 63
// characters and the text to 255; the text is escaped, so markup in what a
// peer chose to call itself shows as typed. Where no session bus or no
// notification service exists, the notification is dropped quietly; the
// icon still comes and goes. The icon has no menu and takes no clicks.
//
// The application shell sets `iconId` (PI_MENU_APP_ICON) and `hwnd` (the X11
// id of the main window, 0 where there is none) at activation and calls
// removeIcon(guid) at shut-down.
//
// Threads: the GTK main thread only; the removal and the bus replies run on
// the default main loop. Nothing here throws.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct _GtkStatusIcon;

// The application icon group of the program; its picture is the window
// icon (PI_WINDOW_ICON_PNG).
#define PI_MENU_APP_ICON 146
// How long the notification shows, and when the icon goes after a balloon.
#define PI_MENU_BALLOON_TIMEOUT_MS 5000
#define PI_MENU_REMOVE_DELAY_MS 5500
// Characters kept of a balloon's title and text.
#define PI_MENU_TITLE_MAX 63
#define PI_MENU_TEXT_MAX 255

using PiMenuGuid = std::array<uint8_t, 16>;

class PiMenu : public std::enable_shared_from_this<PiMenu> {
public:
    static std::shared_ptr<PiMenu> instance();

    PiMenu(const PiMenu &) = delete;
    PiMenu &operator=(const PiMenu &) = delete;
    virtual ~PiMenu();

    // Adds the icon with that identity, with the application icon's picture
    // when iconId is not 0. 0 when added; -1 when an icon with that identity
    // is there already or the icon cannot be made.
    int addIcon(int withIconId, uint64_t owner, const PiMenuGuid &identity);
    // Removes the icon with that identity: 1 when there was one, else 0.
    int removeIcon(const PiMenuGuid &identity);
    // Whether an icon with that identity is there now.
    bool hasIcon(const PiMenuGuid &identity) const;

    void showBalloon(const std::string &title, const std::string &text);

    // The first `count` characters of a UTF-8 text (ill-formed bytes are
    // replaced first); the notification's title and text are cut with it.
    static std::string cutCharacters(const std::string &text, size_t count);

    uint64_t hwnd = 0;
    PiMenuGuid guid{};
    int iconId = 0;

private:
    PiMenu();

    void sendNotification(const std::string &title, const std::string &body);

    std::vector<std::pair<PiMenuGuid, _GtkStatusIcon *>> icons;
};
