#include "windows/dialogs/text_input_dialog.h"

#include <vector>

#include "app/texts.h"
#include "toolkit/css.h"
#include "toolkit/pixbuf.h"
#include "services/utils.h"

unsigned pk_separator_colour(int theme)
{
    if (theme == PI_THEME_LIGHT) return PK_SEPARATOR_LIGHT;
    if (theme == PI_THEME_DARK) return PK_SEPARATOR_DARK;
    return PK_SEPARATOR_OTHER;
}

TextInputDialog::TextInputDialog(GtkDialog *cobject, const Glib::RefPtr<Gtk::Builder> &builder)
    : VeltranaDialog(cobject)
{
    builder->get_widget("top_image", topImage);
    builder->get_widget("details_label", detailsLabel);
    builder->get_widget("textinput_entry", textinputEntry);
    builder->get_widget("aux_button", auxButton);
    builder->get_widget("ok_button", okButton);
    builder->get_widget("cancel_button", cancelButton);
    builder->get_widget("text_separator", textSeparator);
    if (okButton != nullptr) okButton->set_label(pk_translate("Ok"));
    if (cancelButton != nullptr) cancelButton->set_label(pk_translate("Cancel"));
}

void TextInputDialog::restyle(int theme)
{
    if (textSeparator == nullptr) return;
    PiCSSSeparator rule;
    rule.backgroundColor(pk_separator_colour(theme));
    rule.apply(*textSeparator);
}

void TextInputDialog::onThemeChanged(int theme) { restyle(theme); }

namespace {

// Shows the button with the label, or hides it when the label is empty;
// true when it is shown.
bool label_or_hide(Gtk::Button *button, const Glib::ustring &label)
{
    if (button == nullptr) return false;
    if (label.empty()) {
        button->hide();
        return false;
    }
    button->set_label(label);
    button->show();
    return true;
}

}  // namespace

int TextInputDialog::run()
{
    const std::shared_ptr<PiTheme> theme = PiTheme::instance();
    restyle(theme->effectiveTheme());
    // The listener entry holds the dialog until it is removed after the run.
    const std::shared_ptr<IPiTheme> self = shared_from_this();
    theme->addListener(self);

    if (textinputEntry != nullptr) {
        textinputEntry->set_text(text);
        textinputEntry->set_sensitive(entrySensitive);
        if (!placeholder.empty()) textinputEntry->set_placeholder_text(placeholder);
    }
    if (detailsLabel != nullptr) {
        if (detailsMarkup) {
            detailsLabel->set_markup(details);
            detailsLabel->signal_activate_link().connect(
                [](const Glib::ustring &uri) {
                    // The popover's handler, without a popover: web links go
                    // to the browser, anything else to GTK.
                    const std::string target = uri;
                    if (target.find("http") == std::string::npos && target.find("html") == std::string::npos)
                        return false;
                    pk_open_url(target);
                    return true;
                },
                false);
        } else {
            detailsLabel->set_text(details);
        }
        if (detailsWidthChars > 0) {
            detailsLabel->set_line_wrap(true);
            detailsLabel->set_max_width_chars(detailsWidthChars);
        }
        if (detailsItalic) {
            PiCSSItem::applyCss(*detailsLabel, "label { font-style: italic; }", "");
        }
    }
    if (topImage != nullptr) {
        if (imageId < 0) {
            topImage->hide();
        } else {
            const std::vector<uint8_t> png = PiWindowIcon::png(static_cast<uint32_t>(imageId));
            const std::vector<char> bytes(png.begin(), png.end());
            // A picture that is missing or does not decode leaves the image
            // empty rather than failing the dialog.
            PiPixbuf::setImage(*topImage, bytes, PI_PIXBUF_KIND_ENCODED, -1, imageHeight);
            topImage->show();
        }
    }
    set_title(title);
    if (label_or_hide(okButton, okLabel) && focusOk) okButton->grab_focus();
    if (label_or_hide(cancelButton, cancelLabel) && !focusOk) cancelButton->grab_focus();
    if (auxButton != nullptr && !auxVisible) auxButton->hide();
    if (auxButton != nullptr && auxVisible) auxButton->show();

    const int response = Gtk::Dialog::run();
    hide();
    close();
    theme->removeListener(self);
    return response;
}
