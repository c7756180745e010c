// The shared dialog functions as other windows call them: the question and
// error boxes run the real message dialog, answered from the main loop;
// the codecs settings go through real files in a scratch data folder.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "evaluate_test_support.h"
#include "gui/app/app_test_support.h"
#include "services/config.h"

namespace {

const ::testing::Environment *const kRuntime = ::testing::AddGlobalTestEnvironment(new apptest::Runtime);

class SharedBoxes : public PiWindowTest {
protected:
    evaltest::SeenBox seen;
};

TEST_F(SharedBoxes, AQuestionIsConfirmedOnlyByYes)
{
    const struct {
        const char *purpose;
        void (*action)(MessageDialog &);
        int declined;
    } cases[] = {
        {"Yes", evaltest::click_yes, 0},
        {"No", evaltest::click_no, 1},
        {"closed by the title bar", evaltest::close_box, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        seen = evaltest::SeenBox();
        evaltest::answer_box(app, seen, c.action);
        auto box = EvaluateDialog::askYesNo(gtkApp, nullptr, "Information", "Stop <b>now</b>?");
        ASSERT_TRUE(box);
        EXPECT_TRUE(seen.shown);
        EXPECT_EQ(box->declined, c.declined);
        EXPECT_EQ(seen.kind, PK_MESSAGE_QUESTION);
        EXPECT_EQ(seen.title, "Information");
        EXPECT_EQ(seen.text, "Stop now?") << "the text is markup";
        EXPECT_TRUE(seen.positiveVisible);
        EXPECT_TRUE(seen.negativeVisible);
        EXPECT_EQ(seen.positiveLabel, "Yes");
        EXPECT_EQ(seen.negativeLabel, "No");
    }
}

TEST_F(SharedBoxes, AnErrorHasASingleOkButton)
{
    evaltest::answer_box(app, seen, evaltest::click_yes);
    auto box = EvaluateDialog::showError(gtkApp, nullptr, "Error", "Failed.");
    ASSERT_TRUE(box);
    EXPECT_EQ(seen.kind, PK_MESSAGE_ERROR);
    EXPECT_TRUE(seen.positiveVisible);
    EXPECT_EQ(seen.positiveLabel, "Ok");
    EXPECT_FALSE(seen.negativeVisible);
}

TEST_F(SharedBoxes, AnotherApplicationGetsNoBox)
{
    Glib::RefPtr<Gtk::Application> plain = Gtk::Application::create("", Gio::APPLICATION_NON_UNIQUE);
    EXPECT_FALSE(EvaluateDialog::askYesNo(plain, nullptr, "Information", "text"));
    EXPECT_FALSE(EvaluateDialog::showError(plain, nullptr, "Error", "text"));
}

// ---- codecs settings ----

PkXMLArrayObject &array(const std::shared_ptr<PkXMLObject> &field)
{
    return *std::dynamic_pointer_cast<PkXMLArrayObject>(field);
}

std::shared_ptr<AppCodecsSettings> settings_with_two_video_encoders()
{
    auto settings = std::make_shared<AppCodecsSettings>();
    const std::string id = pk_codec_uuid_text(PkVideoCodecDesc(), 2);
    array(settings->video).append(std::make_shared<PkXMLVideoContainer>(id, "256x144@30 Hz", "640x360@30 Hz"));
    // A stray item of the other kind is skipped, keeping the order.
    array(settings->video).append(std::make_shared<PkXMLAudioContainer>());
    array(settings->video).append(std::make_shared<PkXMLVideoContainer>(id, "256x144@30 Hz", "768x768@30 Hz"));
    return settings;
}

class CodecsSettings : public apptest::DataFolder {
protected:
    void SetUp() override
    {
        DataFolder::SetUp();
        config = PkConfig::instance();
        config->audioEncoderLimits.assign(2, PkAudioEncoderLimits{});
        config->videoEncoderLimits.assign(5, PkVideoEncoderLimits{});
    }
    std::shared_ptr<PkConfig> config;
};

TEST_F(CodecsSettings, ApplyingReplacesTheLimitsInFileOrder)
{
    auto defaults = std::make_shared<AppCodecsSettings>();
    EXPECT_EQ(EvaluateDialog::applyCodecsSettings(defaults), defaults);
    EXPECT_TRUE(config->audioEncoderLimits.empty());
    EXPECT_TRUE(config->videoEncoderLimits.empty());

    auto settings = settings_with_two_video_encoders();
    EXPECT_EQ(EvaluateDialog::applyCodecsSettings(settings), settings);
    ASSERT_EQ(config->videoEncoderLimits.size(), 2u);
    EXPECT_EQ(config->videoEncoderLimits[0].maximum.height, 360u);
    EXPECT_EQ(config->videoEncoderLimits[1].maximum.height, 768u);

    // Empty settings are given back and leave the limits alone.
    EXPECT_FALSE(EvaluateDialog::applyCodecsSettings(nullptr));
    EXPECT_EQ(config->videoEncoderLimits.size(), 2u);
}

TEST_F(CodecsSettings, SavingWritesTheFileThenApplies)
{
    EvaluateDialog::saveCodecsSettings(settings_with_two_video_encoders());
    const std::string text = apptest::read_file(file(PK_CODECS_FILE_NAME));
    EXPECT_NE(text.find("768x768"), std::string::npos) << text;
    EXPECT_TRUE(config->audioEncoderLimits.empty());
    ASSERT_EQ(config->videoEncoderLimits.size(), 2u);
    EXPECT_EQ(config->videoEncoderLimits[1].maximum.width, 768u);
}

TEST_F(CodecsSettings, AFailedWriteKeepsTheOldLimits)
{
    apptest::publish_data_folder(file("missing"));
    EvaluateDialog::saveCodecsSettings(settings_with_two_video_encoders());
    EXPECT_FALSE(std::filesystem::exists(file("missing")));
    EXPECT_EQ(config->audioEncoderLimits.size(), 2u);
    EXPECT_EQ(config->videoEncoderLimits.size(), 5u);
}

}  // namespace
