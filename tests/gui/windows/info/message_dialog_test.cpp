// The message box as its callers use it: showMessageDialog / showMessage run
// the real dialog modally; the test answers it from the main loop and looks
// at what was shown while it ran.
#include <glibmm/main.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "info_test_support.h"
#include "windows/info/message_dialog.h"

namespace {

// What the box showed while it ran.
struct Seen {
    bool shown = false;
    Glib::ustring title;
    Glib::ustring labelText;  // the message as displayed, markup applied
    bool markup = false;
    bool positiveVisible = false;
    bool negativeVisible = false;
    Glib::ustring positiveLabel;
    Glib::ustring negativeLabel;
    int iconWidth = 0;  // 0: no picture
    int iconHeight = 0;
};

class MessageBoxes : public infotest::InfoGtk {
protected:
    void SetUp() override
    {
        InfoGtk::SetUp();
        if (IsSkipped()) return;
        infotest::use_test_pictures({{PK_PNG_ICON_INFORMATION, {48, 48}},
                                     {PK_PNG_ICON_QUESTION, {100, 100}},
                                     {PK_PNG_ICON_WAITING, {32, 32}},
                                     {PK_PNG_ICON_ERROR, {80, 40}},
                                     {PK_PNG_ICON_WARNING, {64, 64}}});
    }

    // Once the box is shown: records it, then ends it with the action.
    void answer(std::function<void(MessageDialog &)> action)
    {
        Glib::signal_timeout().connect(
            [this, action] {
                auto box = app->findWindow<MessageDialog>(nullptr, nullptr);
                if (!box || !box->get_visible()) return true;
                seen.shown = true;
                seen.title = box->get_title();
                seen.labelText = box->messageLabel->get_text();
                seen.markup = box->messageLabel->get_use_markup();
                seen.positiveVisible = box->positiveButton->get_visible();
                seen.negativeVisible = box->negativeButton->get_visible();
                seen.positiveLabel = box->positiveButton->get_label();
                seen.negativeLabel = box->negativeButton->get_label();
                Glib::RefPtr<Gdk::Pixbuf> icon = box->iconImage->get_pixbuf();
                if (icon) {
                    seen.iconWidth = icon->get_width();
                    seen.iconHeight = icon->get_height();
                }
                action(*box);
                return false;
            },
            20);
    }

    std::shared_ptr<MessageDialog> ask(int kind, const char *positive, const char *negative)
    {
        static const uint8_t zero[PI_WINDOW_ID_SIZE] = {};
        return showMessageDialog(gtkApp, nullptr, kind, "Question", "Stop <b>now</b>?", positive, negative, zero);
    }

    Seen seen;
};

TEST_F(MessageBoxes, TheAnswerSetsDeclined)
{
    const struct {
        const char *purpose;
        std::function<void(MessageDialog &)> action;
        int response;
        int declined;
    } cases[] = {
        {"positive button", [](MessageDialog &box) { box.positiveButton->clicked(); }, GTK_RESPONSE_OK, 0},
        {"negative button", [](MessageDialog &box) { box.negativeButton->clicked(); }, GTK_RESPONSE_CANCEL, 1},
        {"title bar close", [](MessageDialog &box) { box.close(); }, GTK_RESPONSE_DELETE_EVENT, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        int response = 0;
        answer([&](MessageDialog &box) {
            c.action(box);
            (void)response;
        });
        std::shared_ptr<MessageDialog> box = ask(PK_MESSAGE_QUESTION, "Yes", "No");
        ASSERT_TRUE(box);
        EXPECT_TRUE(seen.shown);
        EXPECT_EQ(box->declined, c.declined);
        EXPECT_FALSE(box->get_visible());
        EXPECT_TRUE(app->windows.empty()) << "listed only while shown";
    }
}

TEST_F(MessageBoxes, RunReturnsTheResponse)
{
    auto box = PiApplication::createWindow<MessageDialog>(gtkApp, nullptr, nullptr);
    ASSERT_TRUE(box);
    box->positiveLabel = "Yes";
    box->negativeLabel = "No";
    answer([](MessageDialog &shown) { shown.negativeButton->clicked(); });
    EXPECT_EQ(PiApplication::runDialog(gtkApp, box), GTK_RESPONSE_CANCEL);
    EXPECT_EQ(box->declined, 1);
}

TEST_F(MessageBoxes, ShowsTitleMarkupAndTheCallersLabels)
{
    answer([](MessageDialog &box) { box.positiveButton->clicked(); });
    std::shared_ptr<MessageDialog> box = ask(PK_MESSAGE_QUESTION, "Yes", "No");
    ASSERT_TRUE(box);
    EXPECT_EQ(seen.title, "Question");
    EXPECT_TRUE(seen.markup);
    EXPECT_EQ(seen.labelText, "Stop now?") << "the bold tags are markup, not text";
    EXPECT_TRUE(seen.positiveVisible);
    EXPECT_TRUE(seen.negativeVisible);
    EXPECT_EQ(seen.positiveLabel, "Yes") << "the definition's \"Ok\" is never seen";
    EXPECT_EQ(seen.negativeLabel, "No") << "the definition's \"Cancel\" is never seen";
}

TEST_F(MessageBoxes, AnEmptyLabelHidesItsButton)
{
    // showMessage: one "Ok" button, whose answer is the positive one.
    answer([](MessageDialog &box) { box.positiveButton->clicked(); });
    std::shared_ptr<MessageDialog> box = showMessage(gtkApp, nullptr, "Information", "Done.");
    ASSERT_TRUE(box);
    EXPECT_TRUE(seen.positiveVisible);
    EXPECT_FALSE(seen.negativeVisible);
    EXPECT_EQ(seen.positiveLabel, "Ok");
    EXPECT_EQ(box->kind, PK_MESSAGE_PLAIN);
    EXPECT_EQ(box->declined, 0);

    // No label at all: no button, only the close button ends the box.
    seen = Seen();
    answer([](MessageDialog &shown) { shown.close(); });
    box = ask(PK_MESSAGE_WARNING, "", "");
    ASSERT_TRUE(box);
    EXPECT_FALSE(seen.positiveVisible);
    EXPECT_FALSE(seen.negativeVisible);
    EXPECT_EQ(box->declined, 1);
}

TEST_F(MessageBoxes, TheKindPicksTheIcon)
{
    for (int kind : {PK_MESSAGE_PLAIN, PK_MESSAGE_QUESTION, PK_MESSAGE_WAITING, PK_MESSAGE_ERROR, PK_MESSAGE_WARNING}) {
        SCOPED_TRACE(kind);
        seen = Seen();
        answer([](MessageDialog &box) { box.positiveButton->clicked(); });
        ASSERT_TRUE(ask(kind, "Ok", ""));
        EXPECT_EQ(seen.iconWidth, PK_MESSAGE_ICON_SIZE);
        EXPECT_EQ(seen.iconHeight, PK_MESSAGE_ICON_SIZE);
    }
    for (int kind : {-1, 5, 1000}) {
        SCOPED_TRACE(kind);
        seen = Seen();
        answer([](MessageDialog &box) { box.positiveButton->clicked(); });
        ASSERT_TRUE(ask(kind, "Ok", ""));
        EXPECT_EQ(seen.iconWidth, 0) << "a kind outside the table shows no icon";
    }
    // A picture missing from the program leaves the image empty as well.
    infotest::use_test_pictures({});
    seen = Seen();
    answer([](MessageDialog &box) { box.positiveButton->clicked(); });
    ASSERT_TRUE(ask(PK_MESSAGE_ERROR, "Ok", ""));
    EXPECT_EQ(seen.iconWidth, 0);
}

TEST_F(MessageBoxes, TheBoxCarriesItsIdAndIsTransientForItsParent)
{
    auto parent = PiApplication::openWindow<TestWindow>(gtkApp, nullptr);
    ASSERT_TRUE(parent);
    uint8_t id[PI_WINDOW_ID_SIZE];
    memset(id, 0x5A, sizeof(id));
    Gtk::Window *transientFor = nullptr;
    answer([&](MessageDialog &box) {
        transientFor = box.get_transient_for();
        box.positiveButton->clicked();
    });
    auto box = showMessageDialog(gtkApp, parent, PK_MESSAGE_ERROR, "Error", "Failed.", "Ok", "", id);
    ASSERT_TRUE(box);
    EXPECT_EQ(transientFor, parent.get());
    EXPECT_EQ(memcmp(box->id, id, sizeof(id)), 0);
    parent->hide();
}

TEST_F(MessageBoxes, AnotherApplicationGetsNoBox)
{
    Glib::RefPtr<Gtk::Application> plain = Gtk::Application::create("", Gio::APPLICATION_NON_UNIQUE);
    EXPECT_FALSE(showMessage(plain, nullptr, "Information", "text"));
}

}  // namespace
