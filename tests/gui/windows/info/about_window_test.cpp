// The about box as the main window opens it: the generated buffer at a known
// level (pictures, tag metrics, credits, panes), the theme swapping the
// wordmark, and size allocations rebuilding only across step boundaries.
#include <gtest/gtest.h>
#include <gtkmm/expander.h>
#include <gtkmm/scrolledwindow.h>

#include <string>

#include "app/texts.h"
#include "info_test_support.h"
#include "windows/info/about_window.h"

namespace {

class AboutBox : public infotest::InfoGtk {
protected:
    void SetUp() override
    {
        InfoGtk::SetUp();
        if (IsSkipped()) return;
        infotest::use_test_pictures({{PK_PNG_LOGO, {532, 532}},
                                     {PK_PNG_WORDMARK_DARK_INK, {660, 160}},
                                     {PK_PNG_WORDMARK_WHITE, {660, 330}}});
        window = PiApplication::openWindow<AboutWindow>(gtkApp, nullptr);
        ASSERT_TRUE(window);
    }
    void TearDown() override
    {
        if (window) window->hide();
        window.reset();
        InfoGtk::TearDown();
    }

    Glib::RefPtr<Gtk::TextBuffer> buffer() { return window->textView->get_buffer(); }

    // The panes of the buffer, in order.
    std::vector<Gtk::Expander *> panes()
    {
        std::vector<Gtk::Expander *> found;
        for (Gtk::TextIter it = buffer()->begin(); it != buffer()->end(); ++it) {
            Glib::RefPtr<Gtk::TextChildAnchor> anchor = it.get_child_anchor();
            if (!anchor) continue;
            for (Gtk::Widget *widget : anchor->get_widgets())
                if (auto *expander = dynamic_cast<Gtk::Expander *>(widget)) found.push_back(expander);
        }
        return found;
    }

    std::shared_ptr<AboutWindow> window;
};

TEST_F(AboutBox, TheBufferAtALevelOf1280x720)
{
    window->buildText(0, AppSize{1280, 720});
    const auto pictures = infotest::buffer_pictures(buffer());
    ASSERT_EQ(pictures.size(), 2u);
    EXPECT_EQ(pictures[0], std::make_pair(256, 256)) << "logo";
    EXPECT_EQ(pictures[1], std::make_pair(256, 62)) << "light wordmark, height in proportion";

    Glib::RefPtr<Gtk::TextTag> head = buffer()->get_tag_table()->lookup("head");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->property_size().get_value(), 25 * PANGO_SCALE);
    EXPECT_EQ(head->property_left_margin().get_value(), 64);
    EXPECT_EQ(head->property_right_margin().get_value(), 64);
    EXPECT_EQ(head->property_weight().get_value(), 700);

    const std::string text = infotest::buffer_text(buffer());
    VeltranaAppInfo info;
    EXPECT_NE(text.find("Version: " + info.versionString(false)), std::string::npos);
    EXPECT_NE(text.find("This product uses of the following libraries:"), std::string::npos);
    EXPECT_EQ(text.find("&copy;"), std::string::npos) << "every entity becomes the sign";
    const std::string name0 = readResourceText(html_get_resource(), "/net/veltrana/html/pkabout_project_name_0.txt");
    const std::string url0 = readResourceText(html_get_resource(), "/net/veltrana/html/pkabout_project_url_0.txt");
    ASSERT_FALSE(name0.empty());
    EXPECT_NE(text.find("    " + name0 + " (" + url0 + ")\n"), std::string::npos);

    // The agreement and the six licences, collapsed, sized from the level.
    const auto found = panes();
    ASSERT_EQ(found.size(), 7u);
    EXPECT_EQ(found[0]->get_label(), "End User License Agreement");
    for (Gtk::Expander *pane : found) {
        EXPECT_FALSE(pane->get_expanded());
        auto *scrolled = dynamic_cast<Gtk::ScrolledWindow *>(pane->get_child());
        ASSERT_NE(scrolled, nullptr);
        EXPECT_EQ(scrolled->get_min_content_width(), 1140);
        EXPECT_EQ(scrolled->get_min_content_height(), 360);
    }
}

TEST_F(AboutBox, TheThemeSwapsTheWordmark)
{
    window->onThemeChanged(1);
    auto pictures = infotest::buffer_pictures(buffer());
    ASSERT_EQ(pictures.size(), 2u);
    const int width = pictures[1].first;
    EXPECT_EQ(pictures[1].second, 330 * width / 660) << "white wordmark";
    window->onThemeChanged(0);
    pictures = infotest::buffer_pictures(buffer());
    ASSERT_EQ(pictures.size(), 2u);
    EXPECT_EQ(pictures[1].second, 160 * width / 660) << "dark ink wordmark";
}

TEST_F(AboutBox, MissingPicturesLeaveNoGap)
{
    infotest::use_test_pictures({});
    window->buildText(0, AppSize{1280, 720});
    EXPECT_TRUE(infotest::buffer_pictures(buffer()).empty());
    EXPECT_EQ(infotest::buffer_text(buffer()).rfind("\n" + VeltranaAppInfo().siteUrl(0, true), 0), 0u);
}

TEST_F(AboutBox, OnlyAStepChangeRebuilds)
{
    // Levels of our own, so the steps do not depend on the test screen.
    window->scaler.levels = {{320, 240}, {640, 480}, {1280, 720}};
    window->scaler.minimumLevel = {320, 240};
    window->steps = PkPageSteps{};
    window->steps.current = {640, 480};
    window->buildText(0, window->steps.current);

    const struct {
        const char *purpose;
        AppSize allocation;
        bool rebuilt;
        int headPoints;  // of the buffer after the allocation
    } cases[] = {
        {"within the current step", {700, 500}, false, 16},
        {"the same allocation again", {700, 500}, false, 16},
        {"into the largest step: built at its level", {1300, 800}, true, 25},
        {"down into the first step", {400, 300}, true, 8},
        {"below every step: the minimum level", {100, 100}, true, 8},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        Glib::RefPtr<Gtk::TextBuffer> before = buffer();
        Gtk::Allocation allocation(0, 0, int(c.allocation.width), int(c.allocation.height));
        window->onSizeAllocate(allocation);
        EXPECT_EQ(buffer() != before, c.rebuilt);
        EXPECT_EQ(buffer()->get_tag_table()->lookup("head")->property_size().get_value(), c.headPoints * PANGO_SCALE);
    }
}

}  // namespace
