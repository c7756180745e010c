// The interface's one modal message box: an icon picked by a kind number, a
// message in Pango markup and up to two buttons whose labels the caller
// gives.
//
// MessageDialog is built by the window factory from "message_dialog" and
// filled and run by showMessageDialog / showMessage (app/message_box.h),
// which return the dialog once the user has closed it; the caller then
// reads `declined`: 0 when the positive button ended the box, 1 when the
// negative one did or the box was closed otherwise. The message is markup,
// so a caller escapes any "<" or "&" it does not mean as markup (peer
// names above all).
//
// Threads: the GTK main thread only; run() returns after its nested main
// loop has ended.
#pragma once

#include <glibmm/ustring.h>
#include <gtkmm/builder.h>
#include <gtkmm/button.h>
#include <gtkmm/dialog.h>
#include <gtkmm/image.h>
#include <gtkmm/label.h>

#include <memory>

#include "app/message_box.h"
#include "toolkit/application.h"

// Kinds of message box, each with its own icon.
#define PK_MESSAGE_PLAIN 0
#define PK_MESSAGE_QUESTION 1
#define PK_MESSAGE_WAITING 2
#define PK_MESSAGE_ERROR 3
#define PK_MESSAGE_WARNING 4

// The program's PNG pictures of the message and update dialogs.
#define PK_PNG_ICON_INFORMATION 188
#define PK_PNG_ICON_QUESTION 154
#define PK_PNG_ICON_WAITING 157
#define PK_PNG_ICON_ERROR 161
#define PK_PNG_ICON_WARNING 167

// The side of a dialog icon, in pixels.
#define PK_MESSAGE_ICON_SIZE 64

// The widest line of a dialog message, in characters.
#define PK_MESSAGE_WIDTH_CHARS 48

class MessageDialog : public VeltranaDialog, public std::enable_shared_from_this<MessageDialog> {
public:
    MessageDialog(GtkDialog *cobject, const Glib::RefPtr<Gtk::Builder> &builder);

    // Fills the widgets from the fields, runs the box modally, hides and
    // closes it: GTK_RESPONSE_OK (-5) for the positive button,
    // GTK_RESPONSE_CANCEL (-6) for the negative one, GTK_RESPONSE_DELETE_EVENT
    // (-4) when the window was closed otherwise.
    int run() override;

    // Sets the icon of the kind; any other kind leaves the image as it is.
    void applyKind(int newKind);

    int kind = PK_MESSAGE_PLAIN;
    Glib::ustring title;
    Glib::ustring text;           // Pango markup
    Glib::ustring positiveLabel;  // empty hides the button
    Glib::ustring negativeLabel;  // empty hides the button
    int declined = 1;

    Gtk::Label *messageLabel = nullptr;
    Gtk::Button *positiveButton = nullptr;
    Gtk::Button *negativeButton = nullptr;
    Gtk::Image *iconImage = nullptr;
};

// The PNG picture of a dialog icon set into the image at 64 x 64; false,
// leaving the image as it was, when the picture is missing or does not
// decode. Shared by the message and update dialogs.
bool pk_info_set_icon(Gtk::Image &image, uint32_t pngId);

extern const char message_dialog_ui[];
PI_UI_DEFINITION(MessageDialog, "message_dialog", message_dialog_ui)
