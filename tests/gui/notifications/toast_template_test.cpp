#include <gtest/gtest.h>

#include <string>

#include "notifications/toast_template.h"

using namespace WinToastLib;

namespace {

// The finished document of a template, or "(failed)".
std::string build(const WinToastTemplate &toast, uint32_t major = WIN_TOAST_FULL_MAJOR_VERSION,
                  uint32_t build = WIN_TOAST_FULL_BUILD_NUMBER)
{
    std::unique_ptr<ToastXmlDocument> document = toastTemplateContent(toast.type);
    if (!document) return "(no template)";
    if (buildToastDocument(toast, *document, major, build) != 0) return "(failed)";
    return document->toXml();
}

WinToastTemplate textToast(const std::string &title, const std::string &text)
{
    WinToastTemplate toast(WinToastTemplate::Text02);
    toast.setTextLine(0, title);
    toast.setTextLine(1, text);
    return toast;
}

}  // namespace

// The one shape the application shows, on a current and on an old platform;
// texts are escaped only in the serialised form.
TEST(ToastTemplate, ApplicationToast)
{
    const WinToastTemplate toast = textToast("Incoming connection", "User 'A&B' <x> connected");
    EXPECT_EQ(build(toast),
              "<toast scenario=\"Default\"><visual><binding template=\"ToastText02\">"
              "<text id=\"1\">Incoming connection</text><text id=\"2\">User 'A&amp;B' &lt;x&gt; connected</text>"
              "</binding></visual></toast>");
    WinToastTemplate everything = toast;
    everything.attributionText = "via";
    everything.actionLabels = {"Open"};
    everything.audioOption = WinToastTemplate::AudioSilent;
    everything.duration = WinToastTemplate::DurationLong;
    everything.replyInput = true;
    EXPECT_EQ(build(everything, 6, 9600),
              "<toast><visual><binding template=\"ToastText02\">"
              "<text id=\"1\">Incoming connection</text><text id=\"2\">User 'A&amp;B' &lt;x&gt; connected</text>"
              "</binding></visual></toast>");
}

TEST(ToastTemplate, TemplateLines)
{
    EXPECT_EQ(WinToastTemplate().textLines.size(), 2u);
    EXPECT_EQ(WinToastTemplate(WinToastTemplate::Text04).textLines.size(), 3u);
    EXPECT_EQ(WinToastTemplate(42).textLines.size(), 0u);
    EXPECT_EQ(toastTemplateContent(8), nullptr);
    EXPECT_EQ(toastTemplateContent(-1), nullptr);
    WinToastTemplate toast;
    EXPECT_FALSE(toast.setTextLine(2, "third"));
    // A caller that pushes past the type's elements gets a failure, not a
    // line written elsewhere.
    toast.textLines.push_back("extra");
    EXPECT_EQ(build(toast), "(failed)");
}

TEST(ToastTemplate, Features)
{
    struct Case {
        const char *purpose;
        WinToastTemplate toast;
        std::string expected;
    };
    auto with = [](auto change) {
        WinToastTemplate toast = textToast("T", "X");
        change(toast);
        return toast;
    };
    const std::string texts = "<text id=\"1\">T</text><text id=\"2\">X</text>";
    const Case cases[] = {
        {"two buttons, then a short duration",
         with([](WinToastTemplate &t) {
             t.actionLabels = {"Yes", "No"};
             t.duration = WinToastTemplate::DurationShort;
         }),
         "<toast template=\"ToastGeneric\" duration=\"short\" scenario=\"Default\"><visual><binding "
         "template=\"ToastText02\">" + texts + "</binding></visual><actions><action content=\"Yes\" arguments=\"0\"/>"
         "<action content=\"No\" arguments=\"1\"/></actions></toast>"},
        {"attribution last in the binding",
         with([](WinToastTemplate &t) { t.attributionText = "from A"; }),
         "<toast scenario=\"Default\"><visual><binding template=\"ToastText02\">" + texts +
             "<text placement=\"attribution\">from A</text></binding></visual></toast>"},
        {"loop without a path; an empty scenario is still written",
         with([](WinToastTemplate &t) {
             t.audioOption = WinToastTemplate::AudioLoop;
             t.scenario = "";
         }),
         "<toast scenario=\"\"><visual><binding template=\"ToastText02\">" + texts +
             "</binding></visual><audio loop=\"true\"/></toast>"},
        {"a path with the default option",
         with([](WinToastTemplate &t) { t.audioPath = "/sounds/ding.oga"; }),
         "<toast scenario=\"Default\"><visual><binding template=\"ToastText02\">" + texts +
             "</binding></visual><audio src=\"/sounds/ding.oga\"/></toast>"},
        {"reply box alone",
         with([](WinToastTemplate &t) { t.replyInput = true; }),
         "<toast scenario=\"Default\"><visual><binding template=\"ToastText02\">" + texts +
             "</binding></visual><actions><input id=\"textBox\" type=\"text\" placeHolderContent=\"...\"/>"
             "<action content=\"Reply\" arguments=\"action=reply\" hint-inputId=\"textBox\"/></actions></toast>"},
        {"reply box beside a button: the button keeps its own attributes",
         with([](WinToastTemplate &t) {
             t.replyInput = true;
             t.actionLabels = {"Open"};
         }),
         "<toast template=\"ToastGeneric\" duration=\"long\" scenario=\"Default\"><visual><binding "
         "template=\"ToastText02\">" + texts + "</binding></visual><actions><action content=\"Open\" arguments=\"0\"/>"
         "<input id=\"textBox\" type=\"text\" placeHolderContent=\"...\"/>"
         "<action content=\"Reply\" arguments=\"action=reply\" hint-inputId=\"textBox\"/></actions></toast>"},
        {"circle crop on a text type: generic binding, no image",
         with([](WinToastTemplate &t) {
             t.cropHint = WinToastTemplate::CropCircle;
             t.heroImagePath = "/h.png";
         }),
         "<toast scenario=\"Default\"><visual><binding template=\"ToastGeneric\">" + texts +
             "</binding></visual></toast>"},
    };
    for (const Case &c : cases) EXPECT_EQ(build(c.toast), c.expected) << c.purpose;
}

TEST(ToastTemplate, ImagesByBuild)
{
    WinToastTemplate toast(WinToastTemplate::ImageAndText02);
    toast.setTextLine(0, "T");
    toast.imagePath = "/a b.png";
    toast.heroImagePath = "/hero.png";
    toast.cropHint = WinToastTemplate::CropCircle;
    const std::string head = "<toast scenario=\"Default\"><visual><binding template=\"ToastGeneric\">";
    EXPECT_EQ(build(toast, 10, 14392),
              head + "<image id=\"1\" src=\"file:////a b.png\" placement=\"appLogoOverride\"/>"
                     "<text id=\"1\">T</text><text id=\"2\"></text></binding></visual></toast>");
    EXPECT_EQ(build(toast, 10, 14393),
              head + "<image id=\"1\" src=\"file:////a b.png\" placement=\"appLogoOverride\" hint-crop=\"circle\"/>"
                     "<text id=\"1\">T</text><text id=\"2\"></text><image placement=\"hero\" src=\"/hero.png\"/>"
                     "</binding></visual></toast>");
    toast.heroInline = true;
    EXPECT_NE(build(toast).find("<image src=\"/hero.png\"/>"), std::string::npos);

    WinToastTemplate plain(WinToastTemplate::ImageAndText01);
    EXPECT_NE(build(plain).find("<image id=\"1\" src=\"file:///\"/>"), std::string::npos);
}

// The path must fit "file:///" and a terminator in 260 UTF-16 units.
TEST(ToastTemplate, ImagePathLength)
{
    struct Case {
        std::string path;
        bool accepted;
    };
    const std::string clef = "\xF0\x9D\x84\x9E";  // one character, two UTF-16 units
    const Case cases[] = {
        {std::string(251, 'a'), true},
        {std::string(252, 'a'), false},
        {std::string(249, 'a') + clef, true},
        {std::string(250, 'a') + clef, false},
        {std::string(249, 'a') + "\xF0", true},  // a cut sequence at the end is counted, not followed
    };
    for (const Case &c : cases) {
        WinToastTemplate toast(WinToastTemplate::ImageAndText01);
        toast.imagePath = c.path;
        EXPECT_EQ(build(toast) != "(failed)", c.accepted) << c.path.size();
    }
}
