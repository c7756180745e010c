// The text input dialog as its caller uses it: created by the factory, its
// fields set, run modally; the test acts from the main loop while the run
// is on and looks at what the dialog shows.
#include <glibmm/main.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "gui/toolkit/gtk_env.h"
#include "gui/toolkit/window_fixtures.h"
#include "windows/dialogs/text_input_dialog.h"

#include <gtk/gtk.h>

namespace {

std::vector<uint8_t> make_png(int width, int height) { return pi_test_png(width, height, 0x336699FF); }

// The colour GTK draws the widget's background with, as 0xRRGGBB.
unsigned background_of(Gtk::Widget &widget)
{
    GdkRGBA *rgba = nullptr;
    GtkStyleContext *context = gtk_widget_get_style_context(widget.gobj());
    gtk_style_context_get(context, gtk_style_context_get_state(context), "background-color", &rgba, nullptr);
    if (rgba == nullptr) return 0xFFFFFFFFu;
    const unsigned rgb = (unsigned(rgba->red * 255 + 0.5) << 16) | (unsigned(rgba->green * 255 + 0.5) << 8) |
                         unsigned(rgba->blue * 255 + 0.5);
    gdk_rgba_free(rgba);
    return rgb;
}

class TextInput : public PiWindowTest {
protected:
    void SetUp() override
    {
        PiWindowTest::SetUp();
        if (IsSkipped()) return;
        // 129 is the square logo, 130 a wide picture.
        PiWindowIcon::setPngLoader([](uint32_t id) -> std::vector<uint8_t> {
            if (id == 129) return make_png(532, 532);
            if (id == 130) return make_png(200, 100);
            return {};
        });
        dialog = PiApplication::createWindow<TextInputDialog>(gtkApp, nullptr);
        ASSERT_TRUE(dialog);
    }
    void TearDown() override
    {
        PiWindowIcon::setPngLoader(nullptr);
        dialog.reset();
        releaseWindows();
    }

    // Runs the dialog; `whileShown` runs once from the main loop after the
    // dialog is up and must end the run (or leave it to a button it clicks).
    int runWith(std::function<void(TextInputDialog &)> whileShown)
    {
        TextInputDialog *raw = dialog.get();
        sigc::connection once = dialog->signal_show().connect([raw, whileShown] {
            Glib::signal_idle().connect_once([raw, whileShown] { whileShown(*raw); });
        });
        const int response = PiApplication::runDialog<TextInputDialog>(gtkApp, dialog);
        once.disconnect();
        return response;
    }

    std::shared_ptr<TextInputDialog> dialog;
};

TEST_F(TextInput, DefaultsShowNoButtonsNoPictureAndEndOnlyByClosing)
{
    bool imageVisible = true, okVisible = true, cancelVisible = true, auxVisible = true;
    Glib::ustring entryText = "x";
    const int response = runWith([&](TextInputDialog &d) {
        imageVisible = d.topImage->get_visible();
        okVisible = d.okButton->get_visible();
        cancelVisible = d.cancelButton->get_visible();
        auxVisible = d.auxButton->get_visible();
        entryText = d.textinputEntry->get_text();
        d.okButton->clicked();  // no handler: nothing happens
        EXPECT_TRUE(d.get_visible());
        d.close();
    });
    EXPECT_EQ(response, GTK_RESPONSE_DELETE_EVENT);
    EXPECT_FALSE(imageVisible);
    EXPECT_FALSE(okVisible);
    EXPECT_FALSE(cancelVisible);
    EXPECT_FALSE(auxVisible);
    EXPECT_EQ(entryText, "");
    EXPECT_FALSE(dialog->get_visible());
}

TEST_F(TextInput, FieldsReachTheWidgets)
{
    dialog->title = "Please enter your veltname";
    dialog->text = "someone";
    dialog->details = "Allowed symbols";
    dialog->okLabel = "Ok";
    dialog->placeholder = "Veltname";
    dialog->imageId = 129;
    dialog->detailsWidthChars = 48;
    dialog->entrySensitive = false;
    dialog->auxVisible = true;
    dialog->focusOk = false;
    std::map<std::string, std::string> seen;
    int imageWidth = 0, imageHeight = 0, maxChars = 0;
    bool entrySensitive = true, cancelVisible = true, okFocused = true, cancelFocused = true, auxShown = false;
    const int response = runWith([&](TextInputDialog &d) {
        seen["title"] = d.get_title();
        seen["text"] = d.textinputEntry->get_text();
        seen["placeholder"] = d.textinputEntry->get_placeholder_text();
        seen["details"] = d.detailsLabel->get_text();
        seen["ok"] = d.okButton->get_label();
        Glib::RefPtr<Gdk::Pixbuf> picture = d.topImage->get_pixbuf();
        if (picture) imageWidth = picture->get_width(), imageHeight = picture->get_height();
        maxChars = d.detailsLabel->get_max_width_chars();
        entrySensitive = d.textinputEntry->get_sensitive();
        cancelVisible = d.cancelButton->get_visible();
        okFocused = d.okButton->has_focus();
        cancelFocused = d.cancelButton->has_focus();
        auxShown = d.auxButton->get_visible();
        d.response(GTK_RESPONSE_CANCEL);
    });
    EXPECT_EQ(response, GTK_RESPONSE_CANCEL);
    EXPECT_EQ(seen["title"], "Please enter your veltname");
    EXPECT_EQ(seen["text"], "someone");
    EXPECT_EQ(seen["placeholder"], "Veltname");
    EXPECT_EQ(seen["details"], "Allowed symbols");
    EXPECT_EQ(seen["ok"], "Ok");
    EXPECT_EQ(imageWidth, 80);
    EXPECT_EQ(imageHeight, 80);
    EXPECT_EQ(maxChars, 48);
    EXPECT_FALSE(entrySensitive);
    EXPECT_FALSE(cancelVisible);
    // Only OK is shown and the focus was meant for Cancel: no button has it.
    EXPECT_FALSE(okFocused);
    EXPECT_FALSE(cancelFocused);
    EXPECT_TRUE(auxShown);
}

TEST_F(TextInput, PictureKeepsItsAspectAtTheGivenHeight)
{
    dialog->imageId = 130;
    dialog->imageHeight = 40;
    int width = 0, height = 0;
    runWith([&](TextInputDialog &d) {
        Glib::RefPtr<Gdk::Pixbuf> picture = d.topImage->get_pixbuf();
        if (picture) width = picture->get_width(), height = picture->get_height();
        d.close();
    });
    EXPECT_EQ(width, 80);
    EXPECT_EQ(height, 40);
}

// The caller's OK handler decides: leaving the dialog open refuses, closing
// it accepts; the entry keeps what was typed in between.
TEST_F(TextInput, OkHandlerRefusesThenAccepts)
{
    dialog->okLabel = "Ok";
    dialog->cancelLabel = "Cancel";
    std::vector<std::string> offered;
    std::weak_ptr<TextInputDialog> weak = dialog;
    dialog->okButton->signal_clicked().connect([weak, &offered] {
        std::shared_ptr<TextInputDialog> d = weak.lock();
        if (!d) return;
        offered.push_back(d->textinputEntry->get_text());
        if (d->textinputEntry->get_text() == "accepted") d->close();
    });
    bool stillOpen = false;
    Glib::ustring keptText;
    const int response = runWith([&](TextInputDialog &d) {
        d.textinputEntry->set_text("refused");
        d.okButton->clicked();
        stillOpen = d.get_visible();
        keptText = d.textinputEntry->get_text();
        d.textinputEntry->set_text("accepted");
        d.okButton->clicked();
    });
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(keptText, "refused");
    EXPECT_EQ(offered, (std::vector<std::string>{"refused", "accepted"}));
    EXPECT_EQ(response, GTK_RESPONSE_DELETE_EVENT);
}

TEST_F(TextInput, SeparatorFollowsTheThemeAndDetailsMayBeItalicMarkup)
{
    PiTheme::instance()->setMode(PI_THEME_LIGHT);
    dialog->details = "See <a href=\"https://example.org\">the site</a>";
    dialog->detailsMarkup = true;
    dialog->detailsItalic = true;
    unsigned light = 0, dark = 0, other = 0;
    bool markup = false;
    Glib::ustring shownText;
    PangoStyle style = PANGO_STYLE_NORMAL;
    runWith([&](TextInputDialog &d) {
        light = background_of(*d.textSeparator);
        d.onThemeChanged(PI_THEME_DARK);
        dark = background_of(*d.textSeparator);
        d.restyle(7);
        other = background_of(*d.textSeparator);
        markup = d.detailsLabel->get_use_markup();
        shownText = d.detailsLabel->get_text();
        PangoFontDescription *font = nullptr;
        GtkStyleContext *context = gtk_widget_get_style_context(GTK_WIDGET(d.detailsLabel->gobj()));
        gtk_style_context_get(context, gtk_style_context_get_state(context), "font", &font, nullptr);
        if (font != nullptr) style = pango_font_description_get_style(font), pango_font_description_free(font);
        d.close();
    });
    PiTheme::instance()->setMode(PI_THEME_AUTO);
    EXPECT_EQ(light, 0xDEDEDEu);
    EXPECT_EQ(dark, 0x404040u);
    EXPECT_EQ(other, 0x000000u);
    EXPECT_TRUE(markup);
    EXPECT_EQ(shownText, "See the site");
    EXPECT_EQ(style, PANGO_STYLE_ITALIC);
}

}  // namespace
