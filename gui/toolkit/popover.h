// The help bubble: a popover below a widget holding one centred label with
// Pango markup, closing by itself after 5000 ms.
//
// PiGtkPopover::show builds and opens one and returns the only owner: the
// caller keeps the pointer as long as the bubble is to live (a dialog keeps
// it among its children, PiGtkBaseWindow::addChild, and sets `closedSlot` to
// remove it again). Dropping the last reference destroys the popover; the
// automatic close holds only a weak reference. Web links in the text
// ("https", "http" or "html" in the target) open in the user's browser
// through pk_open_url; other targets are left to GTK.
//
// Threads: the GTK main thread only. Nothing here throws.
#pragma once

#include <glibmm/ustring.h>
#include <gtkmm/popover.h>
#include <sigc++/sigc++.h>

#include <memory>

namespace Gtk {
class Label;
}

#define PI_POPOVER_CLOSE_MS 5000
#define PI_POPOVER_MAX_WIDTH_CHARS 40

class PiGtkPopover : public Gtk::Popover, public std::enable_shared_from_this<PiGtkPopover> {
public:
    // Builds the popover relative to the widget and pops it up; a positive
    // maxWidthChars wraps the text at that many characters.
    PiGtkPopover(Gtk::Widget &relativeTo, const Glib::ustring &markup, int maxWidthChars);

    // Pops up a new bubble, armed to close after PI_POPOVER_CLOSE_MS and to
    // call closedSlot when it closes.
    static std::shared_ptr<PiGtkPopover> show(Gtk::Widget &relativeTo, const Glib::ustring &markup);

    // The label's link handler: true (handled here) for web targets.
    bool onActivateLink(const Glib::ustring &uri);

    // Called on every close unless empty or blocked.
    sigc::slot<void> closedSlot;

    Gtk::Label *label() const { return textLabel; }

private:
    Gtk::Label *textLabel = nullptr;  // managed, owned by the popover
};
