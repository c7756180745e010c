// The small modal dialog that asks for one line of text: an optional picture
// on top, the entry with an optional placeholder and an optional auxiliary
// button beside it, a separator, a details text and up to two buttons whose
// labels the caller gives.
//
// The caller creates it with PiApplication::createWindow<TextInputDialog>,
// fills the fields below, connects its own handler to ok_button (the dialog
// attaches no action to OK), and runs it with PiApplication::runDialog. The
// handler reads textinput_entry and accepts by closing the dialog
// (Gtk::Window::close), which ends the run; leaving it open refuses. Cancel
// (GTK_RESPONSE_CANCEL) and the window's close button end the run too. run()
// answers the response of the modal run; the separator follows the light or
// dark theme while the dialog runs.
//
// Threads: the GTK main thread only; run() returns after its nested main loop
// has ended.
#pragma once

#include <glibmm/ustring.h>
#include <gtkmm/builder.h>
#include <gtkmm/button.h>
#include <gtkmm/dialog.h>
#include <gtkmm/entry.h>
#include <gtkmm/image.h>
#include <gtkmm/label.h>
#include <gtkmm/separator.h>

#include <memory>

#include "toolkit/factory.h"
#include "toolkit/theme.h"
#include "toolkit/window.h"

// The separator colours of the light and dark themes, and of any other.
#define PK_SEPARATOR_LIGHT 0xDEDEDEu
#define PK_SEPARATOR_DARK 0x404040u
#define PK_SEPARATOR_OTHER 0x000000u

// 0xRRGGBB of the separators for a theme (0 light, 1 dark).
unsigned pk_separator_colour(int theme);

class TextInputDialog : public VeltranaDialog,
                        public IPiTheme,
                        public std::enable_shared_from_this<TextInputDialog> {
public:
    TextInputDialog(GtkDialog *cobject, const Glib::RefPtr<Gtk::Builder> &builder);

    // Fills the widgets from the fields, runs modally, hides and closes;
    // the response of the run.
    int run() override;
    // The separator rule of that theme; every call adds a provider.
    void restyle(int theme);
    void onThemeChanged(int theme) override;

    Glib::ustring title;
    Glib::ustring text;         // initial text of the entry
    Glib::ustring details;
    Glib::ustring okLabel;      // empty hides ok_button
    Glib::ustring cancelLabel;  // empty hides cancel_button
    Glib::ustring placeholder;  // empty sets none
    int imageId = -1;           // program picture on top; -1 hides it
    int imageHeight = 80;       // the width follows the picture's aspect
    int detailsWidthChars = 0;  // > 0: the details wrap at this width
    bool entrySensitive = true;
    bool detailsMarkup = false;  // details is Pango markup with web links
    bool detailsItalic = false;
    bool auxVisible = false;
    bool focusOk = true;  // initial focus on OK, else on Cancel

    Gtk::Image *topImage = nullptr;
    Gtk::Label *detailsLabel = nullptr;
    Gtk::Entry *textinputEntry = nullptr;
    Gtk::Button *auxButton = nullptr;
    Gtk::Button *okButton = nullptr;
    Gtk::Button *cancelButton = nullptr;
    Gtk::Separator *textSeparator = nullptr;
};

extern const char textinput_dialog_ui[];
PI_UI_DEFINITION(TextInputDialog, "textinput_dialog", textinput_dialog_ui)
