#include "windows/info/message_dialog.h"

#include <vector>

#include "toolkit/pixbuf.h"
#include "toolkit/window.h"

bool pk_info_set_icon(Gtk::Image &image, uint32_t pngId)
{
    // The shell hands its resource loader to the toolkit at start-up; the
    // pictures come through it like every window's icon.
    const std::vector<uint8_t> png = PiWindowIcon::png(pngId);
    if (png.empty()) return false;
    const std::vector<char> bytes(png.begin(), png.end());
    return PiPixbuf::setImage(image, bytes, PI_PIXBUF_KIND_ENCODED, PK_MESSAGE_ICON_SIZE, PK_MESSAGE_ICON_SIZE) == 0;
}

MessageDialog::MessageDialog(GtkDialog *cobject, const Glib::RefPtr<Gtk::Builder> &builder) : VeltranaDialog(cobject)
{
    builder->get_widget("message_label", messageLabel);
    builder->get_widget("positive_button", positiveButton);
    builder->get_widget("negative_button", negativeButton);
    builder->get_widget("icon_image", iconImage);
}

namespace {

void label_or_hide(Gtk::Button *button, const Glib::ustring &label)
{
    if (button == nullptr) return;
    if (label.empty()) {
        button->hide();
        return;
    }
    button->set_label(label);
    button->show();
}

}  // namespace

int MessageDialog::run()
{
    if (messageLabel != nullptr) {
        messageLabel->set_text(text);
        messageLabel->set_use_markup(true);
        messageLabel->set_line_wrap(true);
        messageLabel->set_max_width_chars(PK_MESSAGE_WIDTH_CHARS);
    }
    label_or_hide(positiveButton, positiveLabel);
    label_or_hide(negativeButton, negativeLabel);
    applyKind(kind);
    set_title(title);

    const int response = Gtk::Dialog::run();
    hide();
    close();
    if (response == Gtk::RESPONSE_CANCEL) declined = 1;
    if (response == Gtk::RESPONSE_OK) declined = 0;
    return response;
}

void MessageDialog::applyKind(int newKind)
{
    static const uint32_t kIcons[] = {PK_PNG_ICON_INFORMATION, PK_PNG_ICON_QUESTION, PK_PNG_ICON_WAITING,
                                      PK_PNG_ICON_ERROR, PK_PNG_ICON_WARNING};
    if (iconImage == nullptr || newKind < 0 || newKind >= int(sizeof(kIcons) / sizeof(kIcons[0]))) return;
    pk_info_set_icon(*iconImage, kIcons[newKind]);
}
