#include "toolkit/application.h"

#include <algorithm>

PiApplication::PiApplication(const Glib::ustring &applicationId, Gio::ApplicationFlags flags)
    : Gtk::Application(applicationId, flags)
{
}

PiApplication::~PiApplication()
{
    // Moved out first: a window deleted here may take a dialog with it,
    // whose hide would otherwise edit the list while it is being cleared.
    std::vector<std::shared_ptr<Gtk::Window>> released;
    released.swap(windows);
    released.clear();
}

bool PiApplication::addWindow(std::shared_ptr<Gtk::Window> window)
{
    if (!window) return false;
    const bool appended = !isListed(window.get());
    if (appended) windows.push_back(window);
    const std::vector<Gtk::Window *> attached = get_windows();
    if (std::find(attached.begin(), attached.end(), window.get()) == attached.end()) add_window(*window);
    return appended;
}

bool PiApplication::removeWindow(std::shared_ptr<Gtk::Window> window)
{
    if (!window) return false;
    // Detached while the list still owns the window.
    const std::vector<Gtk::Window *> attached = get_windows();
    if (std::find(attached.begin(), attached.end(), window.get()) != attached.end()) remove_window(*window);
    auto it = std::find_if(windows.begin(), windows.end(),
                           [&](const std::shared_ptr<Gtk::Window> &entry) { return entry.get() == window.get(); });
    if (it == windows.end()) return false;
    windows.erase(it);
    return true;
}

void PiApplication::onWindowShow(std::weak_ptr<Gtk::Window> window)
{
    if (std::shared_ptr<Gtk::Window> shown = window.lock()) addWindow(shown);
}

void PiApplication::onWindowHide(std::weak_ptr<Gtk::Window> window)
{
    if (std::shared_ptr<Gtk::Window> hidden = window.lock()) removeWindow(hidden);
}
