#include "windows/viewer/incoming_windows.h"

#include "app/texts.h"
#include "toolkit/application.h"

std::shared_ptr<IncomingWindowsManager> IncomingWindowsManager::instance()
{
    // Made once, thread-safely; lives until the process ends.
    static std::shared_ptr<IncomingWindowsManager> manager(new IncomingWindowsManager());
    return manager->shared_from_this();
}

void IncomingWindowsManager::showWindow(Glib::RefPtr<Gtk::Application> application, const PkXID &channel)
{
    if (PiApplication::raiseWindow<StatisticWindow>(application, channel.key)) return;
    createWindow(application, pk_translate("Incoming connection"), PkXID(), channel, PK_STATISTIC_INCOMING);
}

std::shared_ptr<StatisticWindow> IncomingWindowsManager::createWindow(Glib::RefPtr<Gtk::Application> application,
                                                                      const Glib::ustring &title,
                                                                      const PkXID &peerId, const PkXID &channel,
                                                                      int32_t kind)
{
    std::shared_ptr<StatisticWindow> window = PiApplication::createWindow<StatisticWindow>(application, nullptr);
    if (!window) return window;
    window->title = title;
    window->peerId = peerId;
    window->bindId = channel;
    window->kind = kind;
    PiApplication::showWindow<StatisticWindow>(application, window);
    return window;
}

void IncomingWindowsManager::hideAll(Glib::RefPtr<Gtk::Application> application)
{
    Glib::RefPtr<PiApplication> app = Glib::RefPtr<PiApplication>::cast_dynamic(application);
    if (app) app->hideAllWindows<StatisticWindow>();
}

void IncomingWindowsManager::refreshFirst(Glib::RefPtr<Gtk::Application> application)
{
    PiApplication::withFirstWindow<StatisticWindow>(
        application, sigc::mem_fun(*this, &IncomingWindowsManager::refreshWindow));
}

void IncomingWindowsManager::refreshAll(Glib::RefPtr<Gtk::Application> application)
{
    Glib::RefPtr<PiApplication> app = Glib::RefPtr<PiApplication>::cast_dynamic(application);
    if (app) app->forEachWindow<StatisticWindow>(sigc::mem_fun(*this, &IncomingWindowsManager::refreshWindow));
}

void IncomingWindowsManager::refreshWindow(std::shared_ptr<StatisticWindow> window)
{
    if (window) window->setCaptions();
}
