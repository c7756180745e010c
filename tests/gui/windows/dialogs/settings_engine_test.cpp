// The settings dialog against a running engine on the framework's test
// sources: the lists it fills from the engine, and what OK sends and
// stores.
#include <glibmm/main.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <sanitizer/lsan_interface.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/settings.h"
#include "gui/app/app_test_support.h"
#include "gui/services/engine_support.h"
#include "gui/toolkit/gtk_env.h"
#include "gui/toolkit/window_fixtures.h"
#include "services/media.h"
#include "windows/dialogs/settings_dialog.h"

namespace {

using namespace facade_support;

// The engine brings the runtime up itself; the scratch HOME comes first.
class EngineEnvironment : public FacadeEnvironment {
public:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "veltrana-dialogs-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        apptest::scratch_root() = pattern;
        setenv("HOME", pattern.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (apptest::scratch_root() / "config").c_str(), 1);
        // The framework abandons its first quark blocks on purpose while it
        // registers its plugins; that happens here, outside leak checking,
        // rather than on the facade's worker later.
        __lsan_disable();
        gst_init(nullptr, nullptr);
        __lsan_enable();
        FacadeEnvironment::SetUp();
    }
    void TearDown() override
    {
        FacadeEnvironment::TearDown();
        std::error_code ignored;
        std::filesystem::remove_all(apptest::scratch_root(), ignored);
    }
};

[[maybe_unused]] const ::testing::Environment *const g_engine =
    ::testing::AddGlobalTestEnvironment(new EngineEnvironment);

class SettingsEngine : public PiWindowTest {
protected:
    void SetUp() override
    {
        PiWindowTest::SetUp();
        if (IsSkipped()) return;
        run_state(PK_DEAM_STATE_STARTED);
        if (engine_session_current() == nullptr) GTEST_SKIP() << "the engine did not start here";
        const std::filesystem::path folder = apptest::scratch_root() / "data";
        std::filesystem::create_directories(folder);
        apptest::publish_data_folder(folder.string());
    }
    void TearDown() override
    {
        dialog.reset();
        releaseWindows();
    }

    std::shared_ptr<SettingsDialog> dialog;
};

TEST_F(SettingsEngine, ListsTheEngineSourcesAndSendsTheChoicesOnOk)
{
    std::shared_ptr<AppSettings> before = std::make_shared<AppSettings>();
    before->audioDevice = std::make_shared<PkXMLUUIDObject>(PkXID::fromText(DEFAULT_DEVICE_ID));
    saveAppSettings(before);

    dialog = PiApplication::createWindow<SettingsDialog>(gtkApp, nullptr);
    ASSERT_TRUE(dialog);
    ASSERT_FALSE(dialog->audioSources.empty());
    ASSERT_FALSE(dialog->videoSources.empty());
    EXPECT_TRUE(dialog->audioSourceCombobox->get_sensitive());
    EXPECT_EQ(dialog->audioSourceCombobox->get_active_row_number(), 0);
    EXPECT_EQ(dialog->audioSourceCombobox->get_active_text(), dialog->audioSources[0].name);
    const uint64_t modes = pk_media_device_property_count(dialog->videoSources[0].id);
    if (modes > 0) {
        EXPECT_EQ(dialog->videoEncoderCombobox->get_active_row_number(), int(modes - 1));
    }
    const uint64_t decoders = pk_media_video_decoder_count();
    ASSERT_GT(decoders, 0u);
    int decoderRows = 0;
    dialog->videoDecoderCombobox->get_model()->foreach_iter([&decoderRows](const Gtk::TreeModel::iterator &) {
        decoderRows++;
        return false;
    });
    EXPECT_EQ(decoderRows, int(decoders));

    CommandLog log({ENGINE_CMD_SET_BITRATE_POLICY, ENGINE_CMD_SET_PLAYBACK_LATENCY, ENGINE_CMD_SET_SHOW_CURSOR});
    const int lastDecoder = int(decoders - 1);
    SettingsDialog *raw = dialog.get();
    dialog->signal_show().connect([raw, lastDecoder] {
        Glib::signal_idle().connect_once([raw, lastDecoder] {
            raw->bitratePolicyCombobox->set_active(1);
            raw->playbackMethodCombobox->set_active(0);
            raw->videoDecoderCombobox->set_active(lastDecoder);
            raw->captureMouseCheckbutton->set_active(true);
            raw->response(GTK_RESPONSE_OK);
        });
    });
    ASSERT_EQ(PiApplication::runDialog<SettingsDialog>(gtkApp, dialog), GTK_RESPONSE_OK);
    flush();

    const std::shared_ptr<AppSettings> after = loadAppSettings();
    // The stored default device became the first device's own id.
    EXPECT_EQ(dynamic_cast<PkXMLUUIDObject &>(*after->audioDevice).value, dialog->audioSources[0].id);
    EXPECT_EQ(dynamic_cast<PkXMLNumberObject &>(*after->videoDecoder).value, lastDecoder);
    EXPECT_EQ(after->bitratePolicy->toString(), "constant");
    EXPECT_EQ(after->playbackDelay->toString(), "0");

    pi_test_iterate_until([&log] { return !log.take(ENGINE_CMD_SET_SHOW_CURSOR).empty(); });
    const auto policy = log.take(ENGINE_CMD_SET_BITRATE_POLICY);
    ASSERT_EQ(policy.size(), 1u);
    ASSERT_EQ(policy[0].size(), 4u);
    int32_t row = -1;
    memcpy(&row, policy[0].data(), 4);
    EXPECT_EQ(row, 1);
    const auto latency = log.take(ENGINE_CMD_SET_PLAYBACK_LATENCY);
    ASSERT_EQ(latency.size(), 1u);
    ASSERT_EQ(latency[0].size(), sizeof(EnginePlaybackLatency));
    EnginePlaybackLatency record;
    memcpy(&record, latency[0].data(), sizeof(record));
    EXPECT_EQ(record.medium, UINT32_MAX);
    EXPECT_EQ(record.delay, 0u);
    const auto cursor = log.take(ENGINE_CMD_SET_SHOW_CURSOR);
    ASSERT_EQ(cursor.size(), 1u);
    ASSERT_EQ(cursor[0].size(), 8u);
    EXPECT_EQ(cursor[0][4], 1);
}

}  // namespace
