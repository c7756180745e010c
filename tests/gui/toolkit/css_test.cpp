#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <functional>
#include <string>

#include <gtk/gtk.h>
#include <gtkmm/label.h>

#include "gtk_env.h"
#include "toolkit/css.h"

namespace {

TEST(CssText, PropertyNamesAndHexColours)
{
    const struct {
        int type;
        const char *name;
    } names[] = {
        {PI_CSS_COLOR, "color"},
        {PI_CSS_BACKGROUND_IMAGE, "background-image"},
        {PI_CSS_FONT_STYLE, "font-style"},
        {PI_CSS_TEXT_SHADOW, "text-shadow"},
        {PI_CSS_RAW, ""},
        {PI_CSS_ANIMATION_ITERATION_COUNT, "animation-iteration-count"},
        {-1, ""},
        {20, ""},
    };
    for (const auto &c : names) EXPECT_EQ(PiCSSProperty::name(c.type), c.name) << c.type;

    const struct {
        unsigned rgb;
        const char *hex;
    } colours[] = {
        {0, "000000"}, {0xABCDEF, "abcdef"}, {0xC00107, "c00107"}, {0x0000FF, "0000ff"}, {0x1000000, "1000000"},
    };
    for (const auto &c : colours) EXPECT_EQ(PiCSSObject::toHex(c.rgb), c.hex) << c.rgb;
}

TEST(CssText, CompoundValues)
{
    PiCSSObject plain;
    EXPECT_EQ(plain.name, "unnamed");
    EXPECT_EQ(plain.value, "none");

    PiCSSObjectShadow shadow;
    shadow.setColor(0x102030);
    EXPECT_EQ(shadow.value, "1px 1px #102030");

    PiCSSObjectRadialGradient gradient;
    gradient.setColors(0xFFFFFF, 0x000001);
    EXPECT_EQ(gradient.value, "radial-gradient(circle at center, #ffffff, #000001 100%)");

    PiCSSObjectAnimationRotate spin("spin");
    EXPECT_EQ(spin.name, "spin");
    EXPECT_EQ(spin.value, "none");  // until the keyframes are made
    spin.makeKeyframes();
    EXPECT_EQ(spin.value, "@keyframes spin { to { -gtk-icon-transform: rotate(1turn); } }");
}

TEST(CssText, RulesInSetterOrder)
{
    PiCSSObjectAnimationRotate spin("spin");
    spin.makeKeyframes();
    PiCSSObjectShadow shadow;
    shadow.setColor(0xC00107);

    const struct {
        const char *purpose;
        std::function<std::string()> rule;
        const char *css;
    } cases[] = {
        {"one colour", [] { return PiCSSBox().backgroundColor(0xDEDEDE).toCss(); },
         "box { background-color: #dedede; }"},
        {"pseudo-class and pixel size",
         [] { return PiCSSButton("hover").color(0xFFFFFF).fontSize(13).toCss(); },
         "button:hover { color: #ffffff; font-size: 13px; }"},
        {"no property", [] { return PiCSSLabel().toCss(); }, "label { }"},
        {"keyframes go in front",
         [&] { return PiCSSImage().animation(spin).toCss(); },
         "@keyframes spin { to { -gtk-icon-transform: rotate(1turn); } } image { animation-name: spin; "
         "animation-duration: 1s; animation-timing-function: linear; animation-iteration-count: infinite; }"},
        {"rgba", [] { return PiCSSGrid().backgroundColorRgba(1.0f, 0.5f, 0.0f, 0.25f).toCss(); },
         "grid { background-color: rgba(255, 127, 0, 0.25); }"},
        {"opaque rgba, 0.999 cut toward zero",
         [] { return PiCSSGrid().backgroundColorRgba(0.999f, 0.0f, 1.0f, 1.0f).toCss(); },
         "grid { background-color: rgba(254, 0, 255, 1.00); }"},
        {"components outside 0..1 and NaN take a bound",
         [] { return PiCSSGrid().backgroundColorRgba(2.0f, -1.0f, NAN, 7.0f).toCss(); },
         "grid { background-color: rgba(255, 0, 0, 1.00); }"},
        {"zero sizes",
         [] { return PiCSSViewport().minWidth(0).minHeight(0).border(0).borderRadius(0).borderWidth(0).toCss(); },
         "viewport { min-width: 0px; min-height: 0px; border: 0px; border-radius: 0px; border-width: 0px; }"},
        {"plain objects are none",
         [] { return PiCSSSeparator().backgroundImage(PiCSSObject()).borderImage(PiCSSObject()).toCss(); },
         "separator { background-image: none; border-image: none; }"},
        {"same code twice, both kept in order",
         [] { return PiCSSExpander().color(0x000001).color(0x000002).toCss(); },
         "expander { color: #000001; color: #000002; }"},
        {"weights, background, shadow",
         [&] { return PiCSSWindow().fontWeight(500).fontBold().background(0x123456).boxShadow(shadow).toCss(); },
         "window { font-weight: 500; font-weight: bold; background: #123456; box-shadow: 1px 1px #c00107; }"},
        {"compound pseudo-class", [] { return PiCSSButton("hover:active").border(2).toCss(); },
         "button:hover:active { border: 2px; }"},
    };
    for (const auto &c : cases) EXPECT_EQ(c.rule(), c.css) << c.purpose;
}

// A locale with a decimal comma must not break the alpha out of rgba().
TEST(CssText, RgbaAlphaInCommaLocale)
{
    char dir[] = "/tmp/pi-css-locale-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string command =
        std::string("localedef -i de_DE -f UTF-8 -c ") + dir + "/de_DE.UTF-8 >/dev/null 2>&1";
    const bool built = system(command.c_str()) == 0;
    setenv("LOCPATH", dir, 1);
    const bool switched = built && setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    std::string css;
    if (switched) {
        css = PiCSSBox().backgroundColorRgba(0.0f, 0.0f, 0.0f, 0.5f).toCss();
        setlocale(LC_NUMERIC, "C");
    }
    unsetenv("LOCPATH");
    system((std::string("rm -rf ") + dir).c_str());
    if (!switched) GTEST_SKIP() << "no de_DE locale could be built (localedef, locales sources)";
    EXPECT_EQ(css, "box { background-color: rgba(0, 0, 0, 0.50); }");
}

class CssAttach : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = pi_test_gtk_start();
        if (!why.empty()) GTEST_SKIP() << why;
    }

    static unsigned colourOf(Gtk::Widget &widget)
    {
        GdkRGBA c{};
        gtk_style_context_get_color(gtk_widget_get_style_context(widget.gobj()), GTK_STATE_FLAG_NORMAL, &c);
        return unsigned(c.red * 255 + 0.5) << 16 | unsigned(c.green * 255 + 0.5) << 8 | unsigned(c.blue * 255 + 0.5);
    }
};

TEST_F(CssAttach, RuleReachesTheWidgetAndTheLastOneWins)
{
    Gtk::Label label("x");
    ASSERT_TRUE(PiCSSLabel().color(0xFF0000).apply(label));
    EXPECT_EQ(colourOf(label), 0xFF0000u);

    // A theme switched back and forth: the rule applied last shows, also
    // when its text was applied before.
    const std::string red = PiCSSLabel().color(0xFF0000).toCss(), blue = PiCSSLabel().color(0x0000FF).toCss();
    for (int round = 0; round < 3; round++) {
        ASSERT_TRUE(PiCSSItem::applyCss(label, blue, ""));
        EXPECT_EQ(colourOf(label), 0x0000FFu);
        ASSERT_TRUE(PiCSSItem::applyCss(label, red, ""));
        EXPECT_EQ(colourOf(label), 0xFF0000u);
    }

    // The rule of another widget does not leak into this one.
    Gtk::Label other("y");
    ASSERT_TRUE(PiCSSLabel().color(0x00FF00).apply(other));
    EXPECT_EQ(colourOf(label), 0xFF0000u);
    EXPECT_EQ(colourOf(other), 0x00FF00u);
}

TEST_F(CssAttach, StyleClassOnlyWhenGiven)
{
    Gtk::Label label("x");
    GtkStyleContext *context = gtk_widget_get_style_context(GTK_WIDGET(label.gobj()));
    GList *before = gtk_style_context_list_classes(context);
    const guint classesBefore = g_list_length(before);
    g_list_free(before);

    ASSERT_TRUE(PiCSSItem::applyCss(label, PiCSSLabel().fontSize(10).toCss(), ""));
    GList *after = gtk_style_context_list_classes(context);
    EXPECT_EQ(g_list_length(after), classesBefore);
    g_list_free(after);

    ASSERT_TRUE(PiCSSItem::applyCss(label, PiCSSLabel().fontSize(11).toCss(), "user-tile"));
    EXPECT_TRUE(gtk_style_context_has_class(context, "user-tile"));
    after = gtk_style_context_list_classes(context);
    EXPECT_EQ(g_list_length(after), classesBefore + 1);
    g_list_free(after);
}

TEST_F(CssAttach, RefusedTextLeavesTheWidgetAsItWas)
{
    Gtk::Label label("x");
    ASSERT_TRUE(PiCSSLabel().color(0x00FF00).apply(label));
    EXPECT_FALSE(PiCSSItem::applyCss(label, "label { color: #ff0000; } }}} @@@", "broken"));
    EXPECT_EQ(colourOf(label), 0x00FF00u);
    EXPECT_FALSE(gtk_style_context_has_class(gtk_widget_get_style_context(GTK_WIDGET(label.gobj())), "broken"));
}

}  // namespace
