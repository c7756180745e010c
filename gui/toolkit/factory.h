// The window factory: every window and dialog of the interface is built
// here from its Builder definition, which is compiled into the program.
//
// A window class T derives from VeltranaWindow<W> or VeltranaDialog
// (window.h) and from std::enable_shared_from_this<T>, has the derived-widget
// constructor T(BaseObjectType *cobject, const Glib::RefPtr<Gtk::Builder> &)
// and names its definition right after its class, at global scope:
//
//     extern const char about_window_ui[];   // the whole Builder XML
//     PI_UI_DEFINITION(AboutWindow, "about_window", about_window_ui)
//
// (the id is the definition's top-level object). A class without
// PI_UI_DEFINITION has no definition: uiXml and uiId give empty strings and
// nothing can be built of it.
//
// The layers, each a PiApplication template: uiXml/uiId give the definition;
// buildWindow parses it with a new Gtk::Builder, constructs T through
// get_widget_derived, makes the first std::shared_ptr owner (plain delete),
// attaches the window to the application (so the toolkit counts it even
// before it is shown) and to its transient parent; registerWindow<B>
// connects the window's show and hide to the window list through weak
// references, tracked by the application object, and starts it with its
// virtual run(). The entry points: createWindow (build only, optionally
// giving the window an id), openWindow/open (build and start), showWindow
// (start a window built earlier), openDialog (build, give the id, run
// modally) and runDialog (run a dialog built earlier).
//
// Ownership: the opener's reference, and the list entry while shown. A
// window whose opener dropped its reference lives exactly as long as it is
// shown. A window whose run() answers non-zero is closed again; a
// definition that does not parse, or lacks a top-level object of T's
// widget type, builds nothing (logged) and gives an empty reference or -1.
// An application reference that is empty or not a PiApplication builds
// nothing.
//
// Threads: the GTK main thread only. Nothing here throws.
#pragma once

#include <glib.h>
#include <gtkmm/builder.h>

#include <cstring>
#include <memory>
#include <string>

#include "core/log.h"
#include "toolkit/application.h"
#include "toolkit/window.h"

// The Builder definition of a window class; see PI_UI_DEFINITION.
template <class T>
struct PiUiDefinition {
    static const char *text() { return nullptr; }
    static const char *topId() { return nullptr; }
};

#define PI_UI_DEFINITION(Class, topIdText, definitionText)           \
    template <>                                                      \
    struct PiUiDefinition<Class> {                                   \
        static const char *text() { return definitionText; }         \
        static const char *topId() { return topIdText; }             \
    };

// Logs why a definition built no window; in factory.cpp.
void pi_factory_log_failure(const std::string &topId, const char *why);

// The builder's object topId, without wrapping it; null when there is none.
GObject *pi_factory_object(const Glib::RefPtr<Gtk::Builder> &builder, const std::string &topId);

// Whether the builder's object topId exists and is a widget of the GTK type
// (or a subtype): get_widget_derived takes it as that type unchecked.
bool pi_factory_object_fits(const Glib::RefPtr<Gtk::Builder> &builder, const std::string &topId, GType type);

template <class T>
std::string PiApplication::uiXml()
{
    const char *text = PiUiDefinition<T>::text();
    return text != nullptr ? std::string(text) : std::string();
}

template <class T>
std::string PiApplication::uiId()
{
    const char *topId = PiUiDefinition<T>::topId();
    return topId != nullptr ? std::string(topId) : std::string();
}

template <class T>
std::shared_ptr<T> PiApplication::buildWindow(const std::string &xml, const std::string &topId,
                                              std::shared_ptr<Gtk::Window> parent)
{
    if (xml.empty() || topId.empty()) {
        pi_factory_log_failure(topId, "the window class has no definition");
        return nullptr;
    }
    Glib::RefPtr<Gtk::Builder> builder;
    try {
        builder = Gtk::Builder::create_from_string(Glib::ustring(xml));
    } catch (const Glib::Error &error) {
        // Thrown through the caller's signal handler it would end in C
        // frames; an empty reference is what every caller handles.
        pi_factory_log_failure(topId, error.what().c_str());
        return nullptr;
    }
    if (pi_factory_object(builder, topId) == nullptr) {
        pi_factory_log_failure(topId, "the definition has no such object");
        return nullptr;
    }
    if (!pi_factory_object_fits(builder, topId, T::get_base_type())) {
        pi_factory_log_failure(topId, "the object is not of the window's widget type");
        return nullptr;
    }
    // A wrapper made before this call would already have an owner of its
    // own; a fresh parse never has one.
    if (Glib::ObjectBase::_get_current_wrapper(pi_factory_object(builder, topId)) != nullptr) {
        pi_factory_log_failure(topId, "the top-level object is wrapped already");
        return nullptr;
    }
    T *raw = nullptr;
    builder->get_widget_derived(topId, raw);
    if (raw == nullptr) return nullptr;
    std::shared_ptr<T> window(raw);
    window->set_application(Glib::wrap(gobj(), true));
    if (parent) {
        window->set_transient_for(*parent);
        window->setParent(parent);
    }
    return window;
}

template <class B>
int PiApplication::registerWindow(std::shared_ptr<Gtk::Window> window)
{
    std::shared_ptr<B> started = std::dynamic_pointer_cast<B>(window);
    if (!started) return -1;
    // Weak: the hookup never keeps a window alive. Bound to the application
    // as a trackable, so it goes with the application object.
    const std::weak_ptr<Gtk::Window> weak = window;
    window->signal_show().connect(sigc::bind(sigc::mem_fun(*this, &PiApplication::onWindowShow), weak), true);
    window->signal_hide().connect(sigc::bind(sigc::mem_fun(*this, &PiApplication::onWindowHide), weak), true);
    return started->run();
}

template <class T>
std::shared_ptr<T> PiApplication::createWindow(Glib::RefPtr<Gtk::Application> application,
                                               std::shared_ptr<Gtk::Window> parent)
{
    Glib::RefPtr<PiApplication> app = fromApplication(application);
    if (!app) return nullptr;
    return app->buildWindow<T>(uiXml<T>(), uiId<T>(), parent);
}

template <class T>
std::shared_ptr<T> PiApplication::createWindow(Glib::RefPtr<Gtk::Application> application,
                                               std::shared_ptr<Gtk::Window> parent, const uint8_t *id)
{
    std::shared_ptr<T> window = createWindow<T>(application, parent);
    if (window && id != nullptr && id != window->id) memcpy(window->id, id, PI_WINDOW_ID_SIZE);
    return window;
}

template <class T>
std::shared_ptr<T> PiApplication::openWindow(Glib::RefPtr<Gtk::Application> application,
                                             std::shared_ptr<Gtk::Window> parent)
{
    Glib::RefPtr<PiApplication> app = fromApplication(application);
    if (!app) return nullptr;
    std::shared_ptr<T> window = createWindow<T>(application, parent);
    if (!window) return nullptr;
    if (app->registerWindow<typename T::PiWindowBase>(window) == 0) return window;
    // The window that failed is the one closed, not whichever window of
    // its class happens to be listed first.
    window->close();
    return nullptr;
}

template <class T>
std::shared_ptr<T> PiApplication::open(const Glib::RefPtr<Gtk::Application> &application,
                                       std::shared_ptr<Gtk::Window> parent)
{
    Glib::RefPtr<Gtk::Application> own = application;
    return openWindow<T>(own, parent);
}

template <class T>
int PiApplication::showWindow(Glib::RefPtr<Gtk::Application> application, std::shared_ptr<T> window)
{
    Glib::RefPtr<PiApplication> app = fromApplication(application);
    if (!app || !window) return -1;
    const int result = app->registerWindow<typename T::PiWindowBase>(window);
    if (result != 0) window->close();
    return result;
}

template <class T>
std::shared_ptr<T> PiApplication::openDialog(Glib::RefPtr<Gtk::Application> application,
                                             std::shared_ptr<Gtk::Window> parent, const uint8_t *id)
{
    Glib::RefPtr<PiApplication> app = fromApplication(application);
    if (!app) return nullptr;
    std::shared_ptr<T> dialog = createWindow<T>(application, parent, id);
    if (!dialog) return nullptr;
    app->registerWindow<PiGtkWindow<Gtk::Dialog>>(dialog);
    return dialog;
}

template <class T>
int PiApplication::runDialog(Glib::RefPtr<Gtk::Application> application, std::shared_ptr<T> dialog)
{
    Glib::RefPtr<PiApplication> app = fromApplication(application);
    if (!app || !dialog) return -1;
    return app->registerWindow<PiGtkWindow<Gtk::Dialog>>(dialog);
}

// A window the program declares but never opens: a fixed-size text view
// with an "Ok" button.
class ARMWindow : public VeltranaWindow<Gtk::Window>, public std::enable_shared_from_this<ARMWindow> {
public:
    ARMWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &builder);
};

extern const char pi_arm_window_ui[];
PI_UI_DEFINITION(ARMWindow, "arm_window", pi_arm_window_ui)
