// The settings dialog on a scratch data folder with no engine running: what
// it shows from the stored settings, what OK writes (and Cancel does not),
// Default, the user name rule through the real editor, and the avatar
// picture the user picks.
#include <glibmm/main.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/info.h"
#include "app/settings.h"
#include "gui/app/app_test_support.h"
#include "gui/toolkit/gtk_env.h"
#include "gui/toolkit/window_fixtures.h"
#include "ravelkit/devices.h"
#include "services/config.h"
#include "toolkit/pixbuf.h"
#include "windows/dialogs/settings_dialog.h"
#include "windows/dialogs/text_input_dialog.h"
#include "windows/info/message_dialog.h"

namespace {

[[maybe_unused]] ::testing::Environment *const g_runtime = ::testing::AddGlobalTestEnvironment(new apptest::Runtime);

std::shared_ptr<AppSettings> stored() { return loadAppSettings(); }

template <class T>
T *value_of(const std::shared_ptr<PkXMLObject> &object)
{
    return dynamic_cast<T *>(object.get());
}

class Settings : public apptest::DataFolder {
protected:
    void SetUp() override
    {
        apptest::DataFolder::SetUp();
        const std::string why = pi_test_gtk_start();
        if (!why.empty()) GTEST_SKIP() << why;
        app = pi_test_application();
        gtkApp = pi_test_gtk_application(app);
        PkConfig::instance()->sendRoles = 1;
    }
    void TearDown() override
    {
        dialog.reset();
        if (app) {
            app->windows.clear();
            for (int i = 0; i < 5; i++) pi_test_iterate_once(0);
        }
    }

    void store(const std::function<void(AppSettings &)> &change)
    {
        std::shared_ptr<AppSettings> settings = std::make_shared<AppSettings>();
        change(*settings);
        saveAppSettings(settings);
    }

    void open()
    {
        dialog = PiApplication::createWindow<SettingsDialog>(gtkApp, nullptr);
        ASSERT_TRUE(dialog);
    }

    // Runs the dialog; `whileShown` acts once it is up and ends the run.
    int runWith(std::function<void(SettingsDialog &)> whileShown)
    {
        SettingsDialog *raw = dialog.get();
        sigc::connection once = dialog->signal_show().connect([raw, whileShown] {
            Glib::signal_idle().connect_once([raw, whileShown] { whileShown(*raw); });
        });
        const int response = PiApplication::runDialog<SettingsDialog>(gtkApp, dialog);
        once.disconnect();
        return response;
    }

    Glib::RefPtr<PiApplication> app;
    Glib::RefPtr<Gtk::Application> gtkApp;
    std::shared_ptr<SettingsDialog> dialog;
};

TEST_F(Settings, ShowsTheStoredValuesAndEmptyEngineLists)
{
    store([](AppSettings &s) {
        s.userInfoName = std::make_shared<PkXMLStringObject>("someone here");
        s.bitratePolicy->fromString("constant");
        s.playbackDelay->fromString("0");
        s.videoOntop = std::make_shared<PkXMLBooleanObject>(true);
        s.audioDevice = std::make_shared<PkXMLUUIDObject>(PkXID::fromText(NONE_ID));
        s.userCaptureMousePointer = std::make_shared<PkXMLBooleanObject>(false);
    });
    open();
    EXPECT_EQ(dialog->veltnameLabel->get_text(), "someone here");
    EXPECT_TRUE(dialog->userName.empty());
    EXPECT_EQ(dialog->bitratePolicyCombobox->get_active_text(), "Constant bitrate");
    EXPECT_EQ(dialog->playbackMethodCombobox->get_active_row_number(), 0);
    EXPECT_EQ(dialog->playbackMethodCombobox->get_active_text(), "Minimum latency / no buffer");
    dialog->playbackMethodCombobox->set_active(7);
    EXPECT_EQ(dialog->playbackMethodCombobox->get_active_text(), "Smooth playback / buffer 3000 millisecond(s)");
    EXPECT_TRUE(dialog->videoOntopCheckbox->get_active());
    EXPECT_FALSE(dialog->captureMouseCheckbutton->get_active());
    EXPECT_TRUE(dialog->audioDisableCheckbutton->get_active());
    // No engine: every engine list is a single insensitive row.
    const std::pair<Gtk::ComboBoxText *, const char *> lists[] = {
        {dialog->audioSourceCombobox, "No sources"},
        {dialog->videoSourceCombobox, "No sources"},
        {dialog->videoEncoderCombobox, "Not available"},
        {dialog->videoDecoderCombobox, "Not available"},
    };
    for (const auto &list : lists) {
        EXPECT_EQ(list.first->get_active_text(), list.second);
        EXPECT_FALSE(list.first->get_sensitive());
    }
    // No stored picture: the initials avatar of the stored name.
    ASSERT_TRUE(dialog->avatarShown);
    EXPECT_EQ(dialog->avatarShown->get_width(), 180);
    EXPECT_EQ(dialog->avatarImage->get_pixbuf(), dialog->avatarShown);
    EXPECT_EQ(dialog->avatarChanges, 0);
    EXPECT_TRUE(dialog->streamerGrid->get_visible());
}

TEST_F(Settings, ViewerOnlyNodeHidesTheStreamerPage)
{
    PkConfig::instance()->sendRoles = 0;
    open();
    EXPECT_FALSE(dialog->streamerGrid->get_visible());
    EXPECT_FALSE(dialog->captureBox->get_visible());
    EXPECT_TRUE(dialog->viewerGrid->get_visible());
}

TEST_F(Settings, OkWritesTheChoicesCancelWritesNothing)
{
    store([](AppSettings &s) {
        s.videoDecoder = std::make_shared<PkXMLNumberObject>(2);
        s.videoOntop = std::make_shared<PkXMLBooleanObject>(false);
    });
    open();
    int response = runWith([](SettingsDialog &d) {
        d.bitratePolicyCombobox->set_active(1);
        d.videoOntopCheckbox->set_active(true);
        d.response(GTK_RESPONSE_CANCEL);
    });
    EXPECT_EQ(response, GTK_RESPONSE_CANCEL);
    EXPECT_EQ(stored()->bitratePolicy->toString(), "adaptive");

    open();
    response = runWith([](SettingsDialog &d) {
        d.bitratePolicyCombobox->set_active(1);
        d.playbackMethodCombobox->set_active(2);
        d.videoOntopCheckbox->set_active(true);
        d.captureMouseCheckbutton->set_active(false);
        d.response(GTK_RESPONSE_OK);
    });
    EXPECT_EQ(response, GTK_RESPONSE_OK);
    const std::shared_ptr<AppSettings> after = stored();
    EXPECT_EQ(after->bitratePolicy->toString(), "constant");
    EXPECT_EQ(after->playbackDelay->toString(), "500");
    EXPECT_TRUE(value_of<PkXMLBooleanObject>(after->videoOntop)->value);
    EXPECT_FALSE(value_of<PkXMLBooleanObject>(after->userCaptureMousePointer)->value);
    // Empty lists store the default device; the decoder is kept while no
    // engine accepted the choice; the name was not edited.
    EXPECT_EQ(value_of<PkXMLUUIDObject>(after->audioDevice)->value, PkXID::fromText(DEFAULT_DEVICE_ID));
    EXPECT_EQ(value_of<PkXMLUUIDObject>(after->videoDevice)->value, PkXID::fromText(DEFAULT_DEVICE_ID));
    EXPECT_EQ(value_of<PkXMLNumberObject>(after->videoDecoder)->value, 2);
    EXPECT_EQ(after->userInfoName->toString(), "");
}

TEST_F(Settings, DisabledAudioStoresNoDevice)
{
    open();
    runWith([](SettingsDialog &d) {
        d.audioDisableCheckbutton->set_active(true);
        d.response(GTK_RESPONSE_OK);
    });
    EXPECT_EQ(value_of<PkXMLUUIDObject>(stored()->audioDevice)->value, PkXID::fromText(NONE_ID));
}

TEST_F(Settings, DefaultResetsTheControlsAndOkDropsTheAvatar)
{
    store([](AppSettings &s) {
        s.avatar = std::make_shared<PkXMLDataObject>(std::vector<uint8_t>{1, 2, 3});
        s.bitratePolicy->fromString("constant");
        s.playbackDelay->fromString("250");
        s.videoOntop = std::make_shared<PkXMLBooleanObject>(true);
        s.userCaptureMousePointer = std::make_shared<PkXMLBooleanObject>(false);
    });
    open();
    // Undecodable stored bytes show nothing, not initials.
    EXPECT_FALSE(dialog->avatarShown);
    runWith([](SettingsDialog &d) {
        d.defaultButton->clicked();
        d.response(GTK_RESPONSE_OK);
    });
    VeltranaAppInfo info;
    const std::string host = pk_id_to_printable(PkXID::fromText(info.hostName()));
    EXPECT_EQ(dialog->userName, host);
    EXPECT_EQ(dialog->veltnameLabel->get_text(), host);
    EXPECT_EQ(dialog->avatarChanges, 1);
    EXPECT_FALSE(dialog->avatarPicture);
    ASSERT_TRUE(dialog->avatarShown);  // the initials of the machine's name
    EXPECT_EQ(dialog->bitratePolicyCombobox->get_active_row_number(), 0);
    EXPECT_EQ(dialog->playbackMethodCombobox->get_active_row_number(), 7);
    EXPECT_FALSE(dialog->videoOntopCheckbox->get_active());
    EXPECT_TRUE(dialog->captureMouseCheckbutton->get_active());
    const std::shared_ptr<AppSettings> after = stored();
    EXPECT_EQ(after->avatar->size(), 0);
    EXPECT_EQ(after->userInfoName->toString(), host);
    EXPECT_EQ(after->playbackDelay->toString(), "3000");
}

// The name rule through the real editor; a refused name shows the rule and
// keeps the editor open with its text.
TEST_F(Settings, NameEditorAcceptsOnlyValidNames)
{
    struct Case {
        std::string name;
        bool accepted;
    };
    const Case cases[] = {
        {"abcde", false},
        {"abcdef", true},
        {std::string(32, 'x'), true},
        {std::string(33, 'x'), false},
        {"abcd\xc3\xa9", false},  // six characters, seven bytes
        {"abc\tdef", false},
        {"      ", true},
        {" lead and trail ", true},
    };
    open();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        dialog->userName.clear();
        dialog->veltnameLabel->set_text("old name");
        std::shared_ptr<TextInputDialog> editor = PiApplication::createWindow<TextInputDialog>(gtkApp, dialog);
        ASSERT_TRUE(editor);
        editor->textinputEntry->set_text(c.name);
        Glib::ustring shownRule;
        sigc::connection answer = Glib::signal_timeout().connect(
            [this, &shownRule] {
                auto box = app->findWindow<MessageDialog>(nullptr, nullptr);
                if (!box || !box->get_visible()) return true;
                shownRule = box->messageLabel->get_text();
                box->response(GTK_RESPONSE_OK);
                return false;
            },
            20);
        dialog->validateName(std::shared_ptr<Gtk::Dialog>(editor, editor.get()));
        answer.disconnect();
        if (c.accepted) {
            EXPECT_EQ(dialog->userName, c.name);
            EXPECT_EQ(dialog->veltnameLabel->get_text(), c.name);
            EXPECT_TRUE(shownRule.empty());
        } else {
            EXPECT_TRUE(dialog->userName.empty());
            EXPECT_EQ(dialog->veltnameLabel->get_text(), "old name");
            EXPECT_EQ(editor->textinputEntry->get_text(), c.name);
            EXPECT_EQ(shownRule, "Allowed symbols for veltname (from 6 to 32 chars): 'A-Z' 'a-z' '0-9' "
                                 "'_+-(){}[]<>!@#$^&*=.,:;| '");
        }
        editor->close();
        for (int i = 0; i < 3; i++) pi_test_iterate_once(0);
    }
}

// Each help click adds a bubble the dialog holds until it closes; hiding
// the dialog releases every bubble still open.
TEST_F(Settings, HelpBubblesLiveInTheChildListUntilClosed)
{
    open();
    std::string bitrateHelp;
    size_t afterTwo = 0, afterClose = 9, afterHide = 9;
    std::weak_ptr<Gtk::Widget> closed;
    runWith([&](SettingsDialog &d) {
        d.bitrateHelpButton->clicked();
        d.windowHelpButton->clicked();
        afterTwo = d.children.size();
        auto first = std::dynamic_pointer_cast<PiGtkPopover>(d.children.front());
        if (first) bitrateHelp = first->label()->get_label();
        closed = first;
        if (first) first->popdown();
        first.reset();
        pi_test_iterate_until([&closed] { return closed.expired(); });
        afterClose = d.children.size();
        d.audioHelpButton->clicked();
        d.response(GTK_RESPONSE_CANCEL);
    });
    afterHide = dialog->children.size();
    EXPECT_EQ(afterTwo, 2u);
    EXPECT_LT(afterClose, 2u);
    EXPECT_TRUE(closed.expired());
    EXPECT_EQ(afterHide, 0u);
    EXPECT_EQ(bitrateHelp, "<b>Adaptive bitrate</b> - Adaptive bitrate by network bandwidth.\n"
                           "<b>Constant bitrate</b> - Unchanged constant bitrate.");
}

// An environment change refreshes the lists from the main loop; one that
// arrives for a dialog already gone changes nothing.
TEST_F(Settings, EnvironmentChangeRefreshesOnTheMainLoop)
{
    open();
    dialog->audioSourceCombobox->remove_all();
    // As the event pump calls it: from its worker thread.
    std::thread([this] { dialog->onEnvironmentChanged(0, 0, 0, PkXID(), ""); }).join();
    EXPECT_EQ(dialog->audioSourceCombobox->get_active_text(), "");
    pi_test_iterate_until([this] { return dialog->audioSourceCombobox->get_active_text() == "No sources"; });
    EXPECT_EQ(dialog->audioSourceCombobox->get_active_text(), "No sources");
    // A second word other than 0 is not a change the dialog follows.
    dialog->audioSourceCombobox->remove_all();
    std::thread([this] { dialog->onEnvironmentChanged(0, 1, 0, PkXID(), ""); }).join();
    for (int i = 0; i < 5; i++) pi_test_iterate_once(0);
    EXPECT_EQ(dialog->audioSourceCombobox->get_active_text(), "");

    std::thread([this] { dialog->onEnvironmentChanged(-1, 0, 0, PkXID(), ""); }).join();
    dialog.reset();
    for (int i = 0; i < 5; i++) pi_test_iterate_once(0);
}

// A click on the name opens the editor filled for the user name; a valid
// name closes it, and OK stores it.
TEST_F(Settings, NameClickEditsAndOkStoresTheName)
{
    store([](AppSettings &s) { s.userInfoName = std::make_shared<PkXMLStringObject>("stored name"); });
    open();
    std::string title, text, placeholder, details;
    bool italic = false;
    sigc::connection editing = Glib::signal_timeout().connect(
        [&, this] {
            auto editor = app->findWindow<TextInputDialog>(nullptr, nullptr);
            if (!editor || !editor->get_visible()) return true;
            title = editor->get_title();
            text = editor->textinputEntry->get_text();
            placeholder = editor->textinputEntry->get_placeholder_text();
            details = editor->detailsLabel->get_text();
            italic = editor->detailsItalic;
            editor->textinputEntry->set_text("chosen name");
            editor->okButton->clicked();
            return false;
        },
        20);
    std::string shownAfterEdit;
    runWith([&shownAfterEdit](SettingsDialog &d) {
        d.onNameReleased(nullptr);
        shownAfterEdit = d.veltnameLabel->get_text();
        d.response(GTK_RESPONSE_OK);
    });
    editing.disconnect();
    EXPECT_EQ(title, "Please enter your veltname");
    EXPECT_EQ(text, "stored name");
    EXPECT_EQ(placeholder, "Veltname");
    EXPECT_EQ(details, pk_settings_name_rule());
    EXPECT_TRUE(italic);
    EXPECT_EQ(shownAfterEdit, "chosen name");
    EXPECT_EQ(stored()->userInfoName->toString(), "chosen name");
}

TEST_F(Settings, InitialsAvatarIsStableForAName)
{
    open();
    Glib::RefPtr<Gdk::Pixbuf> first = dialog->initialsAvatar("ab cd ef");
    Glib::RefPtr<Gdk::Pixbuf> second = dialog->initialsAvatar("ab cd ef");
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->get_width(), 180);
    const size_t bytes = size_t(first->get_rowstride()) * first->get_height();
    EXPECT_EQ(memcmp(first->get_pixels(), second->get_pixels(), bytes), 0);
}

TEST_F(Settings, PickedPictureIsCroppedScaledAndStoredOnOk)
{
    const std::string path = file("wide.png");
    Glib::RefPtr<Gdk::Pixbuf> wide = Gdk::Pixbuf::create(Gdk::COLORSPACE_RGB, false, 8, 1000, 500);
    wide->fill(0x20A040FF);
    wide->save(path, "png");
    open();
    ASSERT_TRUE(dialog->takeAvatarFile(path));
    ASSERT_TRUE(dialog->avatarPicture);
    EXPECT_EQ(dialog->avatarPicture->get_width(), 480);
    EXPECT_EQ(dialog->avatarPicture->get_height(), 480);
    EXPECT_EQ(dialog->avatarShown->get_width(), 180);
    EXPECT_EQ(dialog->avatarChanges, 1);
    // A valid name afterwards shows initials but keeps the picture for OK.
    dialog->userName = "new name";
    runWith([](SettingsDialog &d) { d.response(GTK_RESPONSE_OK); });
    const std::shared_ptr<AppSettings> after = stored();
    const std::vector<uint8_t> jpeg = value_of<PkXMLDataObject>(after->avatar)->value;
    ASSERT_FALSE(jpeg.empty());
    EXPECT_LE(jpeg.size(), size_t(PK_AVATAR_JPEG_MAX));
    Glib::RefPtr<Gdk::Pixbuf> back = PiPixbuf::fromBytes(jpeg.data(), jpeg.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->get_width(), 480);
    EXPECT_EQ(after->userInfoName->toString(), "new name");
}

// Noise does not compress: its JPEG exceeds what a profile field may hold,
// so neither the stored nor the published avatar changes.
TEST_F(Settings, AvatarTooLargeForTheProfileIsNotStored)
{
    store([](AppSettings &s) { s.avatar = std::make_shared<PkXMLDataObject>(std::vector<uint8_t>{7, 8, 9}); });
    const std::string path = file("noise.png");
    Glib::RefPtr<Gdk::Pixbuf> noise = Gdk::Pixbuf::create(Gdk::COLORSPACE_RGB, false, 8, 480, 480);
    uint32_t seed = 12345;
    for (int y = 0; y < 480; y++) {
        guint8 *row = noise->get_pixels() + y * noise->get_rowstride();
        for (int x = 0; x < 480 * 3; x++) {
            seed = seed * 1664525u + 1013904223u;
            row[x] = guint8(seed >> 24);
        }
    }
    noise->save(path, "png");
    open();
    ASSERT_TRUE(dialog->takeAvatarFile(path));
    runWith([](SettingsDialog &d) { d.response(GTK_RESPONSE_OK); });
    EXPECT_EQ(value_of<PkXMLDataObject>(stored()->avatar)->value, (std::vector<uint8_t>{7, 8, 9}));
}

TEST(SettingsRows, ResolutionAndDecoderTexts)
{
    struct ModeCase {
        PkVideoMode mode;
        const char *row;
    };
    const ModeCase modes[] = {
        {{1920, 1080, 60, 1}, "1920x1080@60 Hz"},
        {{1280, 720, 60000, 1001}, "1280x720@59 Hz"},
        {{0, 720, 30, 1}, "Automatic best"},
        {{640, 480, 30, 0xFFFFFFFFu}, "Automatic best"},
    };
    for (const ModeCase &c : modes) EXPECT_EQ(pk_settings_mode_row(c.mode), c.row);

    CoreVideoCodecDesc desc;
    memset(&desc, 0, sizeof(desc));
    EXPECT_EQ(pk_settings_decoder_row(desc), "Automatic best");
    desc.acceleration = 2;
    desc.codec_class = 2;
    strcpy(desc.family, "nv");
    memcpy(&desc.input, "H264", 4);
    desc.evaluated_maximum = {3840, 2160, 60, 1};
    desc.maximum_mode = {1920, 1080, 30, 1};
    EXPECT_EQ(pk_settings_decoder_row(desc), "Third party hardware decoder / nv / H.264 / 3840x2160@60 Hz max.");
    desc.evaluated_maximum.width = 0;
    desc.acceleration = 1;
    desc.codec_class = 1;
    EXPECT_EQ(pk_settings_decoder_row(desc), "Platform software decoder / nv / H.264 / 1920x1080@30 Hz max.");
    // A family text that fills its field is not read past its end.
    memset(desc.family, 'f', sizeof(desc.family));
    EXPECT_EQ(pk_settings_decoder_row(desc).bytes(), strlen("Platform software decoder /  / H.264 / 1920x1080@30 Hz max.") +
                                                        sizeof(desc.family));
}

}  // namespace
