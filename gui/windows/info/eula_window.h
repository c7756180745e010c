// The licence agreement window: an icon and the end-user licence agreement
// in a read-only text view, with an "Ok" button that closes the window. It
// records nothing and decides nothing.
//
// The buffer is generated from the current size step and made again when an
// allocation crosses into another step; the window starts one step smaller
// than the about box and does not follow the theme. The window registry
// builds, lists and shows it; its id stays zero.
//
// Threads: the GTK main thread only.
#pragma once

#include <gtkmm/builder.h>
#include <gtkmm/button.h>
#include <gtkmm/textview.h>

#include <memory>

#include "app/info.h"
#include "toolkit/application.h"
#include "windows/info/info_pages.h"

class EULAWindow : public PkPageWindow<EULAWindow> {
public:
    EULAWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &builder);

    // Replaces the buffer of the view with one generated for the level.
    void buildText(AppSize level);

    // Closes the first licence agreement window of the application.
    void onOkClicked();

    Gtk::Button *okButton = nullptr;
};

extern const char eula_window_ui[];
PI_UI_DEFINITION(EULAWindow, "eula_window", eula_window_ui)
