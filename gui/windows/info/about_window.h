// The about box: one read-only text view holding the product logo and
// wordmark, site address, name and version, copyright, the attributions the
// cryptography licences ask for, the credits of the libraries used and
// collapsed panes with the licence agreement and the licence texts. Every
// text but a few fixed lines comes from the text-page bundle.
//
// The buffer is generated from the window's current size step and made
// again when an allocation crosses into another step or, while the window
// is shown, when the theme changes (the wordmark follows it). The window
// registry builds, lists and shows it; its id stays zero, so the registry
// finds it as the first window of its class.
//
// Threads: the GTK main thread only; theme changes arrive there too.
#pragma once

#include <gtkmm/builder.h>
#include <gtkmm/expander.h>
#include <gtkmm/textview.h>

#include <memory>
#include <string>

#include "app/info.h"
#include "toolkit/application.h"
#include "toolkit/theme.h"
#include "windows/info/info_pages.h"

// At most this many entries of an indexed page family are read.
#define PK_ABOUT_MAX_ENTRIES 256

class AboutWindow : public PkThemedPageWindow<AboutWindow> {
public:
    AboutWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &builder);

    // Replaces the buffer of the view with one generated for the theme (0
    // light, 1 dark) and the level.
    void buildText(int theme, AppSize level);

    // A collapsed pane titled `title` holding the text in a scrolled,
    // read-only view of at least the given content size; its font is fontPx
    // scaled by the screen's resolution. Owned by the container it goes in.
    static Gtk::Expander *makeExpander(const std::string &title, const std::string &text, int minWidth,
                                       int minHeight, unsigned fontPx);
};

extern const char about_window_ui[];
PI_UI_DEFINITION(AboutWindow, "about_window", about_window_ui)
