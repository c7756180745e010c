// The application base class and the list of shown windows.
//
// PiApplication is a Gtk::Application that also owns `windows`, the list of
// the factory-made windows that are shown, in the order in which they were
// last shown; each entry is one more shared owner of its window. The window
// factory (factory.h, included at the end of this header) builds every
// window, attaches it to the application and ties its show and hide signals
// to addWindow and removeWindow; so a window is listed from its show to its
// hide, and a window nobody else owns is deleted when it is hidden.
//
// The lookups below find a shown window by class (a dynamic cast, so a
// window also counts as each of its bases), by its 32-byte window id, or by
// its transient parent, and raise, hide, close or walk it; windows reach
// each other only through them. The zero id (32 zero bytes, or a null
// pointer) stands for no particular window. Results share ownership with
// the list entry, so a found window stays alive while the caller hides or
// closes it. The static forms take the application as a
// Glib::RefPtr<Gtk::Application> and do nothing (false, empty) when it is
// not a PiApplication.
//
// Threads: everything runs on the GTK main thread; nothing is locked. Work
// of other threads reaches the list only after it is posted to the main
// loop. Nothing here throws.
#pragma once

#include <giomm/application.h>
#include <glibmm/refptr.h>
#include <gtkmm/application.h>
#include <gtkmm/dialog.h>
#include <gtkmm/window.h>
#include <sigc++/sigc++.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "toolkit/window.h"

class PiApplication : public Gtk::Application {
public:
    PiApplication(const Glib::ustring &applicationId, Gio::ApplicationFlags flags);
    // Releases the window list first: listed windows nobody else owns are
    // deleted while the toolkit application still exists.
    ~PiApplication() override;

    // Lists the window unless it is listed already (true when appended);
    // attaches it to the toolkit application either way.
    virtual bool addWindow(std::shared_ptr<Gtk::Window> window);
    // Detaches the window from the toolkit application, then unlists it
    // (true when an entry was erased).
    virtual bool removeWindow(std::shared_ptr<Gtk::Window> window);

    // The show and hide halves of the hookup: addWindow or removeWindow
    // when the window still exists.
    void onWindowShow(std::weak_ptr<Gtk::Window> window);
    void onWindowHide(std::weak_ptr<Gtk::Window> window);

    // ---- Lookup and control (members) ----

    // Non-zero id: the first listed T carrying it. Zero id: the first
    // listed T transient for the parent (any T when the parent is empty);
    // with last, the last such T. Nothing matched: the parent when it is a
    // T, else empty.
    template <class T>
    std::shared_ptr<T> findWindow(const uint8_t *id, std::shared_ptr<Gtk::Window> parent, bool last = false);
    // Over windows of every class. Non-zero id: the first window carrying
    // it. Zero id: the last window transient for the parent (the last
    // listed window when the parent is empty). Nothing matched: the parent.
    std::shared_ptr<Gtk::Window> findTopWindow(const uint8_t *id, std::shared_ptr<Gtk::Window> parent);
    // The index-th listed T (counting only Ts, from 0); empty past the last.
    template <class T>
    std::shared_ptr<T> windowAt(size_t index);
    // Calls the slot with each listed T in list order; an empty or blocked
    // slot is not called.
    template <class T>
    void forEachWindow(sigc::slot<void, std::shared_ptr<T>> slot);
    template <class T>
    void hideAllWindows();
    // Closes the T with the id (empty parent) as its close button would;
    // true when one was found.
    template <class T>
    bool closeWindow(const uint8_t *id);
    // Hides every listed window but the kept one (which may be unlisted).
    void hideWindowsExcept(std::shared_ptr<Gtk::Window> kept);

    // ---- Lookup and control (on an application reference) ----

    template <class T>
    static bool raiseWindow(Glib::RefPtr<Gtk::Application> application, const uint8_t *id);
    template <class T>
    static bool hideWindow(Glib::RefPtr<Gtk::Application> application, const uint8_t *id);
    template <class T>
    static bool dismissWindow(Glib::RefPtr<Gtk::Application> application, const uint8_t *id);
    template <class T>
    static std::shared_ptr<T> getWindow(Glib::RefPtr<Gtk::Application> application, const uint8_t *id);
    // The first listed T; calls the slot with it unless the slot is empty
    // or blocked. True when there was one.
    template <class T>
    static bool withFirstWindow(Glib::RefPtr<Gtk::Application> application, sigc::slot<void, std::shared_ptr<T>> slot);
    static void hideOtherWindows(Glib::RefPtr<Gtk::Application> application, std::shared_ptr<Gtk::Window> kept);
    // What a new message box or dialog is made transient for: the last
    // listed dialog for the id and parent, else findTopWindow(id, parent).
    static std::shared_ptr<Gtk::Window> resolveDialogParent(Glib::RefPtr<Gtk::Application> application,
                                                            const uint8_t *id, std::shared_ptr<Gtk::Window> parent);

    // ---- Window factory (definitions in factory.h) ----

    // T's Builder definition and the id of its top-level object; empty for
    // a class without a definition.
    template <class T>
    static std::string uiXml();
    template <class T>
    static std::string uiId();

    // Parses the definition, constructs T over its top-level object,
    // attaches it to this application and, when given, to the parent.
    // Empty when no window was made.
    template <class T>
    std::shared_ptr<T> buildWindow(const std::string &xml, const std::string &topId,
                                   std::shared_ptr<Gtk::Window> parent);
    // Connects the show/hide hookup and starts the window as a B; the
    // result of its run (a dialog's response), or -1 when it is not a B.
    template <class B>
    int registerWindow(std::shared_ptr<Gtk::Window> window);

    // Built and attached, neither started nor listed; with an id, the
    // window carries it.
    template <class T>
    static std::shared_ptr<T> createWindow(Glib::RefPtr<Gtk::Application> application,
                                           std::shared_ptr<Gtk::Window> parent);
    template <class T>
    static std::shared_ptr<T> createWindow(Glib::RefPtr<Gtk::Application> application,
                                           std::shared_ptr<Gtk::Window> parent, const uint8_t *id);
    // Built and started; empty when building or starting failed (the
    // window that failed to start is closed again).
    template <class T>
    static std::shared_ptr<T> openWindow(Glib::RefPtr<Gtk::Application> application,
                                         std::shared_ptr<Gtk::Window> parent);
    template <class T>
    static std::shared_ptr<T> open(const Glib::RefPtr<Gtk::Application> &application,
                                   std::shared_ptr<Gtk::Window> parent);
    // Starts a window made by createWindow: the result of its run, or -1.
    template <class T>
    static int showWindow(Glib::RefPtr<Gtk::Application> application, std::shared_ptr<T> window);
    // Builds the dialog, gives it the id and runs it modally; the dialog
    // after its run (hidden and closed), empty when none was built.
    template <class T>
    static std::shared_ptr<T> openDialog(Glib::RefPtr<Gtk::Application> application,
                                         std::shared_ptr<Gtk::Window> parent, const uint8_t *id);
    // Runs a dialog made by createWindow modally: its response, or -1.
    template <class T>
    static int runDialog(Glib::RefPtr<Gtk::Application> application, std::shared_ptr<T> dialog);

    std::vector<std::shared_ptr<Gtk::Window>> windows;

private:
    static Glib::RefPtr<PiApplication> fromApplication(const Glib::RefPtr<Gtk::Application> &application);
    bool isListed(const Gtk::Window *window) const;
    // The window's own PiGtkBaseWindow id equals the (non-zero) id.
    static bool carriesId(const std::shared_ptr<Gtk::Window> &window, const uint8_t *id);
    static bool isTransientFor(const std::shared_ptr<Gtk::Window> &window, const std::shared_ptr<Gtk::Window> &parent);
};

// ---- Lookup templates ----

template <class T>
std::shared_ptr<T> PiApplication::findWindow(const uint8_t *id, std::shared_ptr<Gtk::Window> parent, bool last)
{
    std::shared_ptr<T> result = std::dynamic_pointer_cast<T>(parent);
    const bool zeroId = pi_window_id_is_zero(id);
    for (const std::shared_ptr<Gtk::Window> &entry : windows) {
        std::shared_ptr<T> candidate = std::dynamic_pointer_cast<T>(entry);
        if (!candidate) continue;
        if (!zeroId) {
            if (!carriesId(entry, id)) continue;
            return candidate;
        }
        // With the zero id, a non-empty parent narrows the match to its
        // own transients also when only the first is wanted.
        if (!isTransientFor(entry, parent)) continue;
        result = candidate;
        if (!last) break;
    }
    return result;
}

template <class T>
std::shared_ptr<T> PiApplication::windowAt(size_t index)
{
    size_t count = 0;
    for (const std::shared_ptr<Gtk::Window> &entry : windows) {
        std::shared_ptr<T> candidate = std::dynamic_pointer_cast<T>(entry);
        if (!candidate) continue;
        if (count == index) return candidate;
        count++;
    }
    return nullptr;
}

template <class T>
void PiApplication::forEachWindow(sigc::slot<void, std::shared_ptr<T>> slot)
{
    // Looked up afresh for every index: the slot may hide or show windows.
    for (size_t index = 0;; index++) {
        std::shared_ptr<T> window = windowAt<T>(index);
        if (!window) return;
        if (!slot.empty() && !slot.blocked()) slot(window);
    }
}

template <class T>
void PiApplication::hideAllWindows()
{
    for (;;) {
        std::shared_ptr<T> window = findWindow<T>(nullptr, nullptr, false);
        if (!window) return;
        window->hide();
        // A listed window that was hidden already emits no hide; unlist it
        // here, or the walk would find it forever.
        std::shared_ptr<Gtk::Window> asWindow = window;
        if (isListed(asWindow.get())) removeWindow(asWindow);
    }
}

template <class T>
bool PiApplication::closeWindow(const uint8_t *id)
{
    std::shared_ptr<T> window = findWindow<T>(id, nullptr, false);
    if (!window) return false;
    window->close();
    return true;
}

template <class T>
bool PiApplication::raiseWindow(Glib::RefPtr<Gtk::Application> application, const uint8_t *id)
{
    Glib::RefPtr<PiApplication> app = fromApplication(application);
    if (!app) return false;
    std::shared_ptr<T> window = app->findWindow<T>(id, nullptr, false);
    if (!window) return false;
    window->raise();
    return true;
}

template <class T>
bool PiApplication::hideWindow(Glib::RefPtr<Gtk::Application> application, const uint8_t *id)
{
    Glib::RefPtr<PiApplication> app = fromApplication(application);
    if (!app) return false;
    std::shared_ptr<T> window = app->findWindow<T>(id, nullptr, false);
    if (!window) return false;
    window->hide();
    return true;
}

template <class T>
bool PiApplication::dismissWindow(Glib::RefPtr<Gtk::Application> application, const uint8_t *id)
{
    Glib::RefPtr<PiApplication> app = fromApplication(application);
    if (!app) return false;
    return app->closeWindow<T>(id);
}

template <class T>
std::shared_ptr<T> PiApplication::getWindow(Glib::RefPtr<Gtk::Application> application, const uint8_t *id)
{
    Glib::RefPtr<PiApplication> app = fromApplication(application);
    if (!app) return nullptr;
    return app->findWindow<T>(id, nullptr, false);
}

template <class T>
bool PiApplication::withFirstWindow(Glib::RefPtr<Gtk::Application> application,
                                    sigc::slot<void, std::shared_ptr<T>> slot)
{
    Glib::RefPtr<PiApplication> app = fromApplication(application);
    if (!app) return false;
    std::shared_ptr<T> window = app->findWindow<T>(nullptr, nullptr, false);
    if (!window) return false;
    if (!slot.empty() && !slot.blocked()) slot(window);
    return true;
}

#include "toolkit/factory.h"
