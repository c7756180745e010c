#include "toolkit/window.h"

#include <gdkmm/display.h>
#include <gdkmm/monitor.h>
#include <gdkmm/window.h>

#include <algorithm>
#include <cstring>

#include "toolkit/application.h"
#include "toolkit/pixbuf.h"
#include "toolkit/theme.h"

// ---- Window icon ----

namespace {

PiWindowIcon::PngLoader &png_loader()
{
    static PiWindowIcon::PngLoader loader;
    return loader;
}

}  // namespace

void PiWindowIcon::setPngLoader(PngLoader loader) { png_loader() = std::move(loader); }

std::vector<uint8_t> PiWindowIcon::png(uint32_t id)
{
    const PngLoader &loader = png_loader();
    if (!loader) return {};
    return loader(id);
}

Glib::RefPtr<Gdk::Pixbuf> PiWindowIcon::picture()
{
    const std::vector<uint8_t> bytes = png(PI_WINDOW_ICON_PNG);
    if (bytes.empty()) return {};
    return PiPixbuf::fromBytes(bytes.data(), bytes.size());
}

bool pi_window_id_is_zero(const uint8_t *id)
{
    if (id == nullptr) return true;
    for (size_t i = 0; i < PI_WINDOW_ID_SIZE; i++)
        if (id[i] != 0) return false;
    return true;
}

// ---- PiGtkBaseWindow ----

PiGtkBaseWindow::PiGtkBaseWindow() { memset(id, 0, sizeof(id)); }

PiGtkBaseWindow::~PiGtkBaseWindow()
{
    parent.reset();
    children.clear();
}

void PiGtkBaseWindow::setParent(std::shared_ptr<Gtk::Window> newParent) { parent = std::move(newParent); }

void PiGtkBaseWindow::resetParent() { parent.reset(); }

void PiGtkBaseWindow::addChild(std::shared_ptr<Gtk::Widget> child) { children.push_back(std::move(child)); }

void PiGtkBaseWindow::removeChild(std::shared_ptr<Gtk::Widget> child)
{
    auto it = std::find_if(children.begin(), children.end(),
                           [&](const std::shared_ptr<Gtk::Widget> &entry) { return entry.get() == child.get(); });
    if (it != children.end()) children.erase(it);
}

void PiGtkBaseWindow::clearChildren() { children.clear(); }

// ---- Showing ----

int pi_window_centre_offset(int monitorOrigin, int monitorSize, int windowSize)
{
    // Signed division rounds toward zero: 1921 on 1920 gives 0, 1924 gives -2.
    return monitorOrigin + (monitorSize - windowSize) / 2;
}

void pi_window_centre_on_show(Gtk::Window &window)
{
    const Glib::RefPtr<Gdk::Window> native = window.get_window();
    // Before the move, so the window manager decorates the window dark from
    // the start. Never undone: a window made dark stays dark until rebuilt.
    if (native && PiTheme::instance()->effectiveTheme() == PI_THEME_DARK) PiTheme::setDarkTitleBar(native->gobj());

    const Glib::RefPtr<Gdk::Display> display = window.get_display();
    if (!display) return;
    Glib::RefPtr<Gdk::Monitor> monitor = display->get_primary_monitor();
    if (!monitor) monitor = display->get_monitor(0);
    if (!monitor) return;
    Gdk::Rectangle area;
    monitor->get_geometry(area);
    int width = 0;
    int height = 0;
    window.get_size(width, height);
    window.move(pi_window_centre_offset(area.get_x(), area.get_width(), width),
                pi_window_centre_offset(area.get_y(), area.get_height(), height));
}

int PiGtkDialog::run()
{
    const int response = Gtk::Dialog::run();
    hide();
    close();
    return response;
}

VeltranaDialog::VeltranaDialog(GtkDialog *cobject) : PiGtkDialog(cobject)
{
    property_destroy_with_parent() = true;
    const Glib::RefPtr<Gdk::Pixbuf> icon = PiWindowIcon::picture();
    if (icon) set_icon(icon);
}

// ---- Lookup and control ----

Glib::RefPtr<PiApplication> PiApplication::fromApplication(const Glib::RefPtr<Gtk::Application> &application)
{
    return Glib::RefPtr<PiApplication>::cast_dynamic(application);
}

bool PiApplication::isListed(const Gtk::Window *window) const
{
    return std::any_of(windows.begin(), windows.end(),
                       [&](const std::shared_ptr<Gtk::Window> &entry) { return entry.get() == window; });
}

bool PiApplication::carriesId(const std::shared_ptr<Gtk::Window> &window, const uint8_t *id)
{
    const auto *base = dynamic_cast<const PiGtkBaseWindow *>(window.get());
    return base != nullptr && id != nullptr && memcmp(base->id, id, PI_WINDOW_ID_SIZE) == 0;
}

bool PiApplication::isTransientFor(const std::shared_ptr<Gtk::Window> &window,
                                   const std::shared_ptr<Gtk::Window> &parent)
{
    return !parent || window->get_transient_for() == parent.get();
}

std::shared_ptr<Gtk::Window> PiApplication::findTopWindow(const uint8_t *id, std::shared_ptr<Gtk::Window> parent)
{
    std::shared_ptr<Gtk::Window> result = parent;
    const bool zeroId = pi_window_id_is_zero(id);
    for (const std::shared_ptr<Gtk::Window> &entry : windows) {
        if (!zeroId) {
            if (carriesId(entry, id)) return entry;
            continue;
        }
        if (isTransientFor(entry, parent)) result = entry;
    }
    return result;
}

void PiApplication::hideWindowsExcept(std::shared_ptr<Gtk::Window> kept)
{
    // A copy: every hide takes its window off the list.
    const std::vector<std::shared_ptr<Gtk::Window>> shown = windows;
    for (const std::shared_ptr<Gtk::Window> &entry : shown)
        if (entry.get() != kept.get()) entry->hide();
}

void PiApplication::hideOtherWindows(Glib::RefPtr<Gtk::Application> application, std::shared_ptr<Gtk::Window> kept)
{
    Glib::RefPtr<PiApplication> app = fromApplication(application);
    if (app) app->hideWindowsExcept(std::move(kept));
}

std::shared_ptr<Gtk::Window> PiApplication::resolveDialogParent(Glib::RefPtr<Gtk::Application> application,
                                                                const uint8_t *id,
                                                                std::shared_ptr<Gtk::Window> parent)
{
    Glib::RefPtr<PiApplication> app = fromApplication(application);
    if (!app) return nullptr;
    std::shared_ptr<Gtk::Window> dialog = app->findWindow<Gtk::Dialog>(id, parent, true);
    if (dialog) return dialog;
    return app->findTopWindow(id, parent);
}
