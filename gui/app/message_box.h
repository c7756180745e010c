// The two calls through which any window asks or tells the user something:
// a modal message box built by the window factory.
//
// The box is the program's MessageDialog, whose fields (kind, title, text,
// positiveLabel, negativeLabel and, after the run, declined) these calls
// fill and the caller reads; a caller includes the dialog's header. The
// dialog class is a template parameter only so that these calls can be
// exercised with another class of the same fields.
//
// Kinds: 0 a plain message, 1 a yes/no question, 3 an error, 4 a warning,
// 5 an information. GTK main thread only; both calls return after the user
// has closed the box, with the dialog (hidden and closed, its fields still
// readable), or an empty pointer, with nothing shown, when the factory made
// no dialog (the application is not the program's own).
#pragma once

#include <glibmm/ustring.h>
#include <gtkmm/application.h>
#include <gtkmm/window.h>

#include <cstdint>
#include <memory>

#include "app/texts.h"
#include "toolkit/application.h"

class MessageDialog;

template <class Dialog = MessageDialog>
std::shared_ptr<Dialog> showMessageDialog(Glib::RefPtr<Gtk::Application> application,
                                          std::shared_ptr<Gtk::Window> parent, int kind, const Glib::ustring &title,
                                          const Glib::ustring &text, const Glib::ustring &firstLabel,
                                          const Glib::ustring &secondLabel, const uint8_t *id)
{
    std::shared_ptr<Dialog> dialog = PiApplication::createWindow<Dialog>(application, parent, id);
    if (!dialog) return dialog;
    dialog->kind = kind;
    dialog->title = title;
    dialog->text = text;
    dialog->positiveLabel = firstLabel;
    dialog->negativeLabel = secondLabel;
    PiApplication::runDialog<Dialog>(application, dialog);
    return dialog;
}

template <class Dialog = MessageDialog>
std::shared_ptr<Dialog> showMessage(Glib::RefPtr<Gtk::Application> application, std::shared_ptr<Gtk::Window> parent,
                                    const Glib::ustring &title, const Glib::ustring &text)
{
    static const uint8_t kZeroId[PI_WINDOW_ID_SIZE] = {};
    return showMessageDialog<Dialog>(application, parent, 0, title, text, pk_translate("Ok"), Glib::ustring(),
                                     kZeroId);
}
