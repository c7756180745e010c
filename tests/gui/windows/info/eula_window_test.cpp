// The licence agreement window: its buffer at a known level, with and
// without its icon, and "Ok" closing the first such window of the list.
#include <gtest/gtest.h>

#include <string>

#include "app/texts.h"
#include "info_test_support.h"
#include "windows/info/eula_window.h"

namespace {

class Agreement : public infotest::InfoGtk {
protected:
    void SetUp() override
    {
        InfoGtk::SetUp();
        if (IsSkipped()) return;
        infotest::use_test_pictures({{PK_PNG_EULA_ICON, {256, 256}}});
        agreement = readResourceText(html_get_resource(), "/net/veltrana/html/eula.txt");
    }

    std::string agreement;
};

TEST_F(Agreement, TheBufferAtALevelOf640x360)
{
    auto window = PiApplication::openWindow<EULAWindow>(gtkApp, nullptr);
    ASSERT_TRUE(window);
    ASSERT_FALSE(agreement.empty());
    window->buildText(AppSize{640, 360});
    Glib::RefPtr<Gtk::TextBuffer> buffer = window->textView->get_buffer();
    EXPECT_EQ(infotest::buffer_pictures(buffer), (std::vector<std::pair<int, int>>{{128, 128}}));
    Glib::RefPtr<Gtk::TextTag> text = buffer->get_tag_table()->lookup("text");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->property_left_margin().get_value(), 32);
    EXPECT_EQ(text->property_size().get_value(), 12 * PANGO_SCALE);
    EXPECT_EQ(infotest::buffer_text(buffer), "\n  \n\n" + agreement + "\n\n");
    EXPECT_FALSE(window->textView->get_editable());

    // Without the icon, its spaces and line breaks go as well.
    infotest::use_test_pictures({});
    window->buildText(AppSize{640, 360});
    EXPECT_EQ(infotest::buffer_text(window->textView->get_buffer()), "\n" + agreement + "\n\n");
    window->hide();
}

TEST_F(Agreement, OkClosesTheFirstAgreementWindow)
{
    auto first = PiApplication::openWindow<EULAWindow>(gtkApp, nullptr);
    auto second = PiApplication::openWindow<EULAWindow>(gtkApp, nullptr);
    ASSERT_TRUE(first && second);
    second->okButton->clicked();
    pi_test_iterate_until([&] { return !first->get_visible(); });
    EXPECT_FALSE(first->get_visible());
    EXPECT_TRUE(second->get_visible());
    ASSERT_EQ(app->windows.size(), 1u);
    EXPECT_EQ(app->windows.front().get(), second.get());
    second->okButton->clicked();
    pi_test_iterate_until([&] { return !second->get_visible(); });
    EXPECT_TRUE(app->windows.empty());
}

}  // namespace
