#include "toolkit/popover.h"

#include <glibmm/main.h>
#include <gtkmm/label.h>

#include <string>

#include "services/utils.h"

PiGtkPopover::PiGtkPopover(Gtk::Widget &relativeTo, const Glib::ustring &markup, int maxWidthChars)
    : Gtk::Popover(relativeTo)
{
    textLabel = Gtk::manage(new Gtk::Label(markup, false));
    textLabel->set_halign(Gtk::ALIGN_CENTER);
    textLabel->set_valign(Gtk::ALIGN_CENTER);
    textLabel->set_justify(Gtk::JUSTIFY_CENTER);
    textLabel->set_use_markup(true);
    // Ahead of GTK's own handler, which would open the link a second time.
    textLabel->signal_activate_link().connect(sigc::mem_fun(*this, &PiGtkPopover::onActivateLink), false);
    if (maxWidthChars > 0) {
        textLabel->set_line_wrap(true);
        textLabel->set_max_width_chars(maxWidthChars);
    }
    add(*textLabel);
    textLabel->show();
    set_border_width(8);
    set_position(Gtk::POS_BOTTOM);
    popup();
}

std::shared_ptr<PiGtkPopover> PiGtkPopover::show(Gtk::Widget &relativeTo, const Glib::ustring &markup)
{
    std::shared_ptr<PiGtkPopover> popover =
        std::make_shared<PiGtkPopover>(relativeTo, markup, PI_POPOVER_MAX_WIDTH_CHARS);
    const std::weak_ptr<PiGtkPopover> weak = popover;
    Glib::signal_timeout().connect_once(
        [weak] {
            if (std::shared_ptr<PiGtkPopover> alive = weak.lock()) alive->popdown();
        },
        PI_POPOVER_CLOSE_MS);
    PiGtkPopover *raw = popover.get();
    popover->signal_closed().connect(
        [raw] {
            // Held for the call: the slot usually drops its owner's
            // reference. Nothing when the popover is being deleted.
            std::shared_ptr<PiGtkPopover> self = raw->weak_from_this().lock();
            if (!self) return;
            if (!self->closedSlot.empty() && !self->closedSlot.blocked()) self->closedSlot();
        },
        true);
    return popover;
}

bool PiGtkPopover::onActivateLink(const Glib::ustring &uri)
{
    const std::string target = uri;
    if (target.find("https") == std::string::npos && target.find("http") == std::string::npos &&
        target.find("html") == std::string::npos)
        return false;
    pk_open_url(target);
    return true;
}
