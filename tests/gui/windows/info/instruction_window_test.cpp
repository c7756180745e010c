// The instructions window: how a page is cut into lines, the language of
// the pages, the pictures and tags at a known level, and the theme swapping
// only the wordmark.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/texts.h"
#include "info_test_support.h"
#include "windows/info/instruction_window.h"

namespace {

std::string page(const std::string &name)
{
    return readResourceText(html_get_resource(), "/net/veltrana/html/" + name + ".txt");
}

TEST(PageLines, EmptyPiecesAreKept)
{
    const struct {
        const char *text;
        std::vector<std::string> lines;
    } cases[] = {
        {"", {""}},
        {"\n", {"", ""}},
        {" Head\n\n Body\n", {" Head", "", " Body", ""}},
        {"no break", {"no break"}},
        {"a\n\nb", {"a", "", "b"}},
    };
    for (const auto &c : cases) EXPECT_EQ(pk_page_lines(c.text), c.lines) << c.text;
}

class Instructions : public infotest::InfoGtk {
protected:
    void SetUp() override
    {
        InfoGtk::SetUp();
        if (IsSkipped()) return;
        infotest::use_test_pictures({{PK_PNG_WORDMARK_DARK_INK, {660, 160}},
                                     {PK_PNG_WORDMARK_WHITE, {660, 330}},
                                     {PK_PNG_DEVICES, {4388, 1024}}});
        const char *language = getenv("LANGUAGE");
        savedLanguage = language ? language : "";
        hadLanguage = language != nullptr;
        window = PiApplication::openWindow<InstructionWindow>(gtkApp, nullptr);
        ASSERT_TRUE(window);
    }
    void TearDown() override
    {
        if (hadLanguage)
            setenv("LANGUAGE", savedLanguage.c_str(), 1);
        else
            unsetenv("LANGUAGE");
        if (window) window->hide();
        window.reset();
        InfoGtk::TearDown();
    }

    Glib::RefPtr<Gtk::TextBuffer> buffer() { return window->textView->get_buffer(); }

    std::shared_ptr<InstructionWindow> window;
    std::string savedLanguage;
    bool hadLanguage = false;
};

TEST_F(Instructions, PicturesAndTagsAtALevelOf1280x720)
{
    window->buildText(0, AppSize{1280, 720});
    EXPECT_EQ(infotest::buffer_pictures(buffer()), (std::vector<std::pair<int, int>>{{256, 62}, {1024, 238}}));
    const struct {
        const char *tag;
        int points;
    } tags[] = {{"head", 32}, {"text", 25}, {"tool", 14}};
    for (const auto &t : tags) {
        SCOPED_TRACE(t.tag);
        Glib::RefPtr<Gtk::TextTag> tag = buffer()->get_tag_table()->lookup(t.tag);
        ASSERT_TRUE(tag);
        EXPECT_EQ(tag->property_size().get_value(), t.points * PANGO_SCALE);
        EXPECT_EQ(tag->property_left_margin().get_value(), 64);
    }
    EXPECT_EQ(buffer()->get_tag_table()->lookup("tool")->property_style().get_value(), Pango::STYLE_ITALIC);
}

TEST_F(Instructions, PagesFollowTheLanguage)
{
    const struct {
        const char *language;
        const char *code;
    } cases[] = {{"pt_BR:en", "pt_br"}, {"es_MX", "es"}, {"zh_CN", "en"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.language);
        setenv("LANGUAGE", c.language, 1);
        window->buildText(0, AppSize{640, 480});
        const std::string text = infotest::buffer_text(buffer());
        for (const char *topic : {"pkinstruction_description_", "pkinstruction_router_"}) {
            const std::string content = page(topic + std::string(c.code));
            ASSERT_FALSE(content.empty());
            const std::vector<std::string> lines = pk_page_lines(content);
            // The heading as it stands; body lines behind four spaces.
            std::string expected = lines[0] + "\n";
            for (size_t i = 1; i < lines.size(); i++) expected += "    " + lines[i] + "\n";
            EXPECT_NE(text.find(expected + "\n"), std::string::npos) << topic;
        }
        for (const std::string &notice : pk_page_lines(page("pkinstruction_copyrights_" + std::string(c.code)))) {
            if (notice.empty()) continue;
            EXPECT_NE(text.find(notice + "\n"), std::string::npos);
        }
    }
}

TEST_F(Instructions, TheThemeSwapsOnlyTheWordmark)
{
    window->buildText(0, AppSize{1280, 720});
    window->steps.current = AppSize{1280, 720};
    window->onThemeChanged(1);
    EXPECT_EQ(infotest::buffer_pictures(buffer()), (std::vector<std::pair<int, int>>{{256, 128}, {1024, 238}}));
    window->onThemeChanged(0);
    EXPECT_EQ(infotest::buffer_pictures(buffer()), (std::vector<std::pair<int, int>>{{256, 62}, {1024, 238}}));
}

}  // namespace
