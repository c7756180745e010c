// The instructions window: the user guide in the user's language in one
// read-only text view — the product wordmark, an illustration of the
// devices the product connects, nine guide pages of the text-page bundle
// and a closing page of trademark notices in small italic type.
//
// Like the about box, it generates the buffer from the current size step and
// again when an allocation crosses into another step or, while shown, when
// the theme changes (only the wordmark follows the theme). Every rebuild
// reads the pages afresh in the language "LANGUAGE" asks for. The window
// registry builds, lists and shows it; its id stays zero.
//
// Threads: the GTK main thread only; theme changes arrive there too.
#pragma once

#include <gtkmm/builder.h>
#include <gtkmm/textview.h>

#include <memory>
#include <string>
#include <vector>

#include "app/info.h"
#include "toolkit/application.h"
#include "toolkit/theme.h"
#include "windows/info/info_pages.h"

class InstructionWindow : public PkThemedPageWindow<InstructionWindow> {
public:
    InstructionWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &builder);

    // Replaces the buffer of the view with one generated for the theme (0
    // light, 1 dark) and the level.
    void buildText(int theme, AppSize level);
};

// The pieces of a page cut at every "\n", empty pieces kept: a text ending
// in "\n" yields a last empty piece, an empty text one empty piece.
std::vector<std::string> pk_page_lines(const std::string &text);

extern const char instruction_window_ui[];
PI_UI_DEFINITION(InstructionWindow, "instruction_window", instruction_window_ui)
