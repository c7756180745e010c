#include "notifications/notifications.h"

#include <libintl.h>

#include "app/texts.h"
#include "toolkit/tray.h"

namespace {

const char *translated(const char *id) { return dgettext(PK_TEXT_DOMAIN, id); }

}  // namespace

std::shared_ptr<Notifications> Notifications::instance()
{
    static const std::shared_ptr<Notifications> notifications(new Notifications());
    return notifications;
}

void Notifications::initialize()
{
    if (!WinToastLib::WinToast::isCompatible()) return;
    WinToastLib::WinToast *manager = WinToastLib::WinToast::instance();
    manager->setAppName(applicationName);
    manager->setAppUserModelId(applicationUserModelId);
    manager->setAppIcon(iconPath);
    // Whether a toast can be shown later is the manager's to know.
    manager->initialize(nullptr);
}

void Notifications::show(const Glib::ustring &title, const Glib::ustring &text)
{
    // The choice rests on the service alone: an initialisation that failed
    // shows nothing rather than a balloon.
    if (!WinToastLib::WinToast::isCompatible()) {
        PiMenu::instance()->showBalloon(title.raw(), text.raw());
        return;
    }
    WinToastLib::WinToastTemplate toast(WinToastLib::WinToastTemplate::Text02);
    toast.setTextLine(0, title.raw());
    toast.setTextLine(1, text.raw());
    WinToastLib::WinToast::instance()->showToast(toast, new CustomHandler(), nullptr);
}

Glib::ustring Notifications::composeNotice(const char *prefixId, const char *postfixId, const char *prefixDefault,
                                           const char *postfixDefault, const Glib::ustring &user,
                                           const Glib::ustring &source)
{
    const char *prefix = translated(prefixId);
    const char *postfix = translated(postfixId);
    // Pieces of one sentence: half a translation reads worse than English.
    if (g_strcmp0(prefix, prefixId) == 0) {
        prefix = prefixDefault;
        postfix = postfixDefault;
    }
    return Glib::ustring(prefix) + " '" + user + "' " + postfix + ". " + translated("Source") + ": " + source;
}

void Notifications::showUserConnected(const Glib::ustring &user, const Glib::ustring &source)
{
    show(translated("Incoming connection"),
         composeNotice("User_connected_prefix", "User_connected_postfix", "User", "connected", user, source));
}

void Notifications::showUserDisconnected(const Glib::ustring &user, const Glib::ustring &source,
                                         const Glib::ustring &details)
{
    Glib::ustring text =
        composeNotice("User_disconnected_prefix", "User_disconnected_postfix", "User", "disconnected", user, source);
    if (!details.empty()) text += ". " + details;
    show(translated("Information"), text);
}

void Notifications::showUserBusy(const Glib::ustring &user, const Glib::ustring &source)
{
    show(translated("Information"),
         composeNotice("User_is_busy_prefix", "User_is_busy_postfix", "User", "is busy", user, source));
}
