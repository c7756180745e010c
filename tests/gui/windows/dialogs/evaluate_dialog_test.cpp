// The evaluation dialog run as the main window runs it (openDialog, modal),
// over a real engine facade whose engine node takes the posted commands:
// a script of steps, run from the dialog's own main loop, clicks its
// buttons, answers its message boxes and feeds it evaluation events from
// another thread, as the event pump does.
#include <gtest/gtest.h>

#include <sanitizer/lsan_interface.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "core/video.h"
#include "evaluate_test_support.h"
#include "gui/services/engine_support.h"
#include "gui/app/app_test_support.h"
#include "engine/evaluation.h"
#include "services/config.h"
#include "windows/dialogs/evaluate_details_dialog.h"

using namespace facade_support;

namespace {

const uint8_t kZeroId[PI_WINDOW_ID_SIZE] = {};

std::filesystem::path &data_folder()
{
    static std::filesystem::path folder;
    return folder;
}

// The facade with its engine node, and a scratch data folder for the
// codecs settings file.
class Environment : public FacadeEnvironment {
public:
    void SetUp() override
    {
        // GLib abandons a full block of interned strings each time the
        // table grows, and GTK and the multimedia framework together grow
        // it past the block made at start-up; their start-up allocations
        // are theirs, not the dialog's, and are left out of the leak check.
        __lsan_disable();
        if (pi_test_gtk_start().empty()) {
            // The widget classes of the dialogs intern their names once.
            Glib::RefPtr<PiApplication> app = pi_test_application();
            Glib::RefPtr<Gtk::Application> gtkApp = pi_test_gtk_application(app);
            (void)PiApplication::createWindow<EvaluateDialog>(gtkApp, nullptr);
            (void)PiApplication::createWindow<EvaluateDetailsDialog>(gtkApp, nullptr, kZeroId);
            (void)PiApplication::createWindow<MessageDialog>(gtkApp, nullptr, kZeroId);
            for (int i = 0; i < 5; i++) pi_test_iterate_once(0);
        }
        FacadeEnvironment::SetUp();
        __lsan_enable();
        std::string pattern = (std::filesystem::temp_directory_path() / "veltrana-evaluate-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        data_folder() = pattern;
        apptest::publish_data_folder(pattern);
    }
    void TearDown() override
    {
        FacadeEnvironment::TearDown();
        std::error_code ignored;
        std::filesystem::remove_all(data_folder(), ignored);
    }
};

const ::testing::Environment *const kEnvironment = ::testing::AddGlobalTestEnvironment(new Environment);

std::string codecs_file() { return (data_folder() / PK_CODECS_FILE_NAME).string(); }

// One evaluation event of video encoder `index` of `count`, `usable` of
// them evaluated; with a passed trial up to `maximum` when `trials`.
PkEvaluateResults event(uint64_t index, uint64_t count, uint64_t usable, bool trials,
                        uint32_t direction = RAVK_CODEC_ENCODER)
{
    PkEvaluateResults e;
    e.videoCodec.direction = direction;
    e.videoCodec.acceleration = RAVK_ACCEL_HARDWARE;
    e.videoCodec.codec_class = RAVK_CODEC_CLASS_PORTABLE;
    e.videoCodec.input = core_fourcc("VP8X");
    e.videoCodec.output = core_fourcc("H264");
    e.videoCodecIndex = index;
    e.videoCodecCount = count;
    e.videoUsableCount = usable;
    if (trials) e.videoTrials.push_back({true, {256, 144, 30, 1}, {640, 360, 30, 1}});
    return e;
}

// Delivers the events on a thread of its own, as the event pump does.
void deliver(EvaluateDialog &dialog, std::vector<PkEvaluateResults> events)
{
    std::thread pump([&dialog, events] {
        for (const PkEvaluateResults &e : events) dialog.onEvaluateResults(e);
    });
    pump.join();
}

// Every message of the code the log has got, waiting (bounded) until there
// are at least `count`: the command topic delivers on its own thread.
std::vector<std::vector<uint8_t>> take_at_least(CommandLog &log, uint32_t code, size_t count)
{
    std::vector<std::vector<uint8_t>> messages = log.take(code);
    for (int i = 0; i < 500 && messages.size() < count; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        messages = log.take(code);
    }
    return messages;
}

// A command code no engine handler takes: its arrival at a log shows that
// every command posted before it has been delivered.
constexpr uint32_t kCommandMarker = 0x7E57;

// Waits until the commands earlier tests posted have reached the topic's
// subscribers, so that a new log sees only the commands posted after.
void drain_commands()
{
    CommandLog marker({kCommandMarker});
    ASSERT_NE(engine_post_command(kCommandMarker, nullptr, 0), 0u);
    ASSERT_EQ(take_at_least(marker, kCommandMarker, 1).size(), 1u);
}

class EvaluateDialogRun : public PiWindowTest {
protected:
    using Step = std::function<bool(EvaluateDialog &)>;

    void SetUp() override
    {
        PiWindowTest::SetUp();
        if (IsSkipped()) return;
        config = PkConfig::instance();
        config->audioEncoderLimits.clear();
        config->videoEncoderLimits.clear();
        config->sendRoles = 0;
        std::filesystem::remove(codecs_file());
        drain_commands();
    }

    // Opens the dialog and runs the steps in turn from its main loop; a
    // step answering false is tried again on the next tick. After the last
    // step the dialog is closed unless a step closed it. The dialog's run
    // ends within the bound either way.
    std::shared_ptr<EvaluateDialog> runScript(std::vector<Step> steps)
    {
        size_t next = 0;
        int ticks = 0;
        sigc::connection script = Glib::signal_timeout().connect(
            [&]() -> bool {
                if (++ticks >= 3000) {
                    ADD_FAILURE() << "the script stopped at step " << next;
                    if (auto dialog = app->findWindow<EvaluateDialog>(nullptr, nullptr)) dialog->close();
                    return false;
                }
                auto dialog = app->findWindow<EvaluateDialog>(nullptr, nullptr);
                if (!dialog || !dialog->get_visible() || app->findWindow<MessageDialog>(nullptr, nullptr)) return true;
                if (next < steps.size()) {
                    if (steps[next](*dialog)) next++;
                    return true;
                }
                dialog->close();
                return false;
            },
            10);
        std::shared_ptr<EvaluateDialog> dialog = PiApplication::openDialog<EvaluateDialog>(gtkApp, nullptr, kZeroId);
        // A step that closed the dialog leaves the script's source behind.
        script.disconnect();
        EXPECT_EQ(next, steps.size()) << "every step ran";
        return dialog;
    }

    std::shared_ptr<PkConfig> config;
    evaltest::SeenBox seen;
};

TEST(CodecKindText, FollowsDirectionProvenanceAndAcceleration)
{
    const struct {
        uint32_t direction, provenance, acceleration;
        const char *text;
    } cases[] = {
        {1, 1, 2, "Platform hardware encoder"},    {1, 1, 1, "Platform software encoder"},
        {1, 2, 2, "Third party hardware encoder"}, {1, 2, 1, "Third party software encoder"},
        {1, 0, 0, "Platform hardware encoder"},    {2, 1, 2, "Platform hardware decoder"},
        {2, 1, 1, "Platform software decoder"},    {2, 2, 2, "Third party hardware decoder"},
        {2, 2, 1, "Third party software decoder"}, {2, 3, 1, "Platform hardware decoder"},
    };
    for (const auto &c : cases) {
        PkVideoCodecDesc desc;
        desc.direction = c.direction;
        desc.codec_class = c.provenance;
        desc.acceleration = c.acceleration;
        EXPECT_EQ(codecKindText(desc), c.text) << c.direction << "/" << c.provenance << "/" << c.acceleration;
    }
}

TEST(SeparatorColour, FollowsTheTheme)
{
    const struct {
        int theme;
        uint32_t colour;
    } cases[] = {{0, 0xdedede}, {1, 0x404040}, {-1, 0x000000}, {2, 0x000000}};
    for (const auto &c : cases) EXPECT_EQ(pk_evaluate_separator_colour(c.theme), c.colour) << c.theme;
}

TEST_F(EvaluateDialogRun, IdleOffersDetailsAndResetOnlyWithStoredLimits)
{
    for (bool stored : {false, true}) {
        SCOPED_TRACE(stored ? "limits stored" : "nothing stored");
        config->videoEncoderLimits.assign(stored ? 1 : 0, PkVideoEncoderLimits{});
        CommandLog commands({ENGINE_CMD_EVAL_STOP});
        auto dialog = runScript({[&](EvaluateDialog &d) {
            EXPECT_EQ(d.state, PK_EVALUATE_STATE_IDLE);
            EXPECT_EQ(d.get_title(), "Performance evaluation");
            EXPECT_EQ(d.actionButton->get_label(), "Start");
            EXPECT_TRUE(d.actionButton->get_visible());
            EXPECT_EQ(d.detailsButton->get_visible(), stored);
            EXPECT_EQ(d.resetButton->get_visible(), stored);
            EXPECT_FALSE(d.evaluateProgress->get_visible());
            EXPECT_FALSE(d.progressLabel->get_visible());
            EXPECT_NE(d.messageLabel->get_text().raw().find("Please press 'Start' button to begin.\n"),
                      std::string::npos);
            return true;
        }});
        ASSERT_TRUE(dialog);
        EXPECT_EQ(dialog->evaluationLimit.width, 768u);
        EXPECT_EQ(dialog->evaluationLimit.rateNumerator, 30u);
        EXPECT_EQ(take_at_least(commands, ENGINE_CMD_EVAL_STOP, 1).size(), 1u)
            << "closing stops the engine's evaluation";
    }
}

TEST_F(EvaluateDialogRun, StartPostsTheRequestAndEventsMoveTheBar)
{
    config->broadcastSizeClass = 2;
    config->broadcastChannels = 8;
    CommandLog commands({ENGINE_CMD_EVAL_START});
    auto dialog = runScript({
        [&](EvaluateDialog &d) {
            d.actionButton->clicked();
            EXPECT_EQ(d.state, PK_EVALUATE_STATE_RUNNING);
            EXPECT_EQ(d.actionButton->get_label(), "Cancel");
            EXPECT_FALSE(d.detailsButton->get_visible());
            EXPECT_FALSE(d.resetButton->get_visible());
            EXPECT_TRUE(d.evaluateProgress->get_visible());
            EXPECT_EQ(d.evaluateProgress->get_text(), "0 %");
            EXPECT_FALSE(config->broadcastConfigured()) << "the evaluation needs the encoders";
            // Of three encoders, the last two are evaluated.
            deliver(d, {event(0, 3, 2, true), event(1, 3, 2, false)});
            return true;
        },
        [&](EvaluateDialog &d) {
            pi_test_iterate_once(0);
            EXPECT_TRUE(d.results.empty()) << "skipped encoders and progress events are not stored";
            EXPECT_EQ(d.evaluateProgress->get_text(), "0 %");
            EXPECT_TRUE(d.progressLabel->get_visible());
            EXPECT_EQ(d.progressLabel->get_text(), "Third party hardware encoder / H.264");
            deliver(d, {event(1, 3, 2, true), event(2, 3, 2, false, RAVK_CODEC_DECODER)});
            return true;
        },
        [&](EvaluateDialog &d) {
            if (d.results.size() != 1) return false;
            EXPECT_EQ(d.evaluateProgress->get_text(), "50 %");
            EXPECT_DOUBLE_EQ(d.evaluateProgress->get_fraction(), 0.5);
            EXPECT_EQ(d.progressLabel->get_text(), "Third party hardware encoder / H.264")
                << "a decoder event keeps the encoder's text";
            deliver(d, {event(2, 3, 2, true)});
            return true;
        },
        [&](EvaluateDialog &d) { return d.state == PK_EVALUATE_STATE_FINISHED; },
        [&](EvaluateDialog &d) {
            EXPECT_FALSE(d.evaluateProgress->get_visible());
            EXPECT_EQ(d.actionButton->get_label(), "Ok");
            EXPECT_TRUE(d.detailsButton->get_visible());
            EXPECT_FALSE(d.resetButton->get_visible()) << "nothing is stored yet";
            EXPECT_EQ(d.results.size(), 2u);
            EXPECT_EQ(d.videoLimits.size(), 2u);
            if (d.videoLimits.size() == 2) {
                EXPECT_EQ(d.videoLimits[1].maximum.height, 360u);
            }
            return true;
        },
    });
    ASSERT_TRUE(dialog);
    const auto posted = take_at_least(commands, ENGINE_CMD_EVAL_START, 1);
    ASSERT_EQ(posted.size(), 1u);
    ASSERT_EQ(posted[0].size(), sizeof(EngineEvalRequest));
    EngineEvalRequest request;
    memcpy(&request, posted[0].data(), sizeof(request));
    EXPECT_EQ(request.generatedAudio, 0u);
    EXPECT_EQ(request.generatedVideo, 0u);
    EXPECT_EQ(request.audioBackend, 1u);
    EXPECT_EQ(request.videoBackend, 1u);
    EXPECT_EQ(request.sizeLimit.width, 768u);
    EXPECT_EQ(request.sizeLimit.height, 768u);
    EXPECT_FALSE(std::filesystem::exists(codecs_file())) << "closing saves nothing";
}

TEST_F(EvaluateDialogRun, CancelStopsOnlyWhenConfirmed)
{
    CommandLog commands({ENGINE_CMD_EVAL_STOP});
    auto dialog = runScript({
        [&](EvaluateDialog &d) {
            d.actionButton->clicked();
            evaltest::answer_box(app, seen, evaltest::click_no);
            d.actionButton->clicked();
            return true;
        },
        [&](EvaluateDialog &d) {
            EXPECT_TRUE(seen.shown);
            EXPECT_EQ(seen.title, "Information");
            EXPECT_EQ(seen.text, "The performance evaluation process is in progress. Do you want to stop this action?");
            EXPECT_EQ(d.state, PK_EVALUATE_STATE_RUNNING) << "No keeps the evaluation";
            EXPECT_TRUE(commands.take(ENGINE_CMD_EVAL_STOP).empty());
            seen = evaltest::SeenBox();
            evaltest::answer_box(app, seen, evaltest::click_yes);
            d.actionButton->clicked();
            return true;
        },
    });
    ASSERT_TRUE(dialog);
    EXPECT_TRUE(seen.shown);
    EXPECT_FALSE(dialog->get_visible());
    EXPECT_EQ(take_at_least(commands, ENGINE_CMD_EVAL_STOP, 2).size(), 2u) << "once by Yes, once as the run ends";
}

// Runs an evaluation of one usable encoder to the finished state.
std::vector<std::function<bool(EvaluateDialog &)>> finished_run()
{
    return {
        [](EvaluateDialog &d) {
            d.actionButton->clicked();
            deliver(d, {event(0, 1, 1, true)});
            return true;
        },
        [](EvaluateDialog &d) { return d.state == PK_EVALUATE_STATE_FINISHED; },
    };
}

TEST_F(EvaluateDialogRun, ADeclinedWarningKeepsTheResultsUnsaved)
{
    config->sendRoles = ENGINE_ROLE_ANSWERER;  // a streamer without fast encoders is warned
    auto steps = finished_run();
    steps.push_back([&](EvaluateDialog &d) {
        evaltest::answer_box(app, seen, evaltest::click_no);
        d.actionButton->clicked();
        return true;
    });
    steps.push_back([&](EvaluateDialog &d) {
        EXPECT_TRUE(seen.shown);
        EXPECT_EQ(seen.kind, PK_MESSAGE_WARNING);
        EXPECT_EQ(seen.title, "Warning");
        EXPECT_EQ(d.state, PK_EVALUATE_STATE_FINISHED);
        return true;
    });
    ASSERT_TRUE(runScript(steps));
    EXPECT_FALSE(std::filesystem::exists(codecs_file()));
    EXPECT_TRUE(config->videoEncoderLimits.empty());
}

TEST_F(EvaluateDialogRun, RefusedLimitsStoreTheDefaultsBeforeTheRestart)
{
    // The engine has no usable encoder matching the evaluated one, so the
    // media layer refuses the limits.
    auto steps = finished_run();
    steps.push_back([&](EvaluateDialog &d) {
        evaltest::answer_box(app, seen, evaltest::click_yes);
        d.actionButton->clicked();
        return true;
    });
    auto dialog = runScript(steps);
    ASSERT_TRUE(dialog);
    EXPECT_TRUE(seen.shown);
    EXPECT_EQ(seen.kind, PK_MESSAGE_ERROR);
    EXPECT_EQ(seen.text, "Failed to apply performance evaluation results.");
    EXPECT_FALSE(dialog->get_visible()) << "accepting closes the dialog";
    EXPECT_TRUE(dialog->videoLimits.empty());
    EXPECT_TRUE(config->videoEncoderLimits.empty()) << "the defaults were applied";
    const std::string text = apptest::read_file(codecs_file());
    EXPECT_NE(text.find("codecs"), std::string::npos);
    EXPECT_EQ(text.find("640x360"), std::string::npos) << text;
    EXPECT_EQ(facade()->requestedState.load(), PK_DEAM_STATE_STARTED);
    flush();
}

TEST_F(EvaluateDialogRun, ResetStoresTheDefaultsAndWaitsForTheEngine)
{
    config->videoEncoderLimits.assign(2, PkVideoEncoderLimits{});
    auto dialog = runScript({
        [&](EvaluateDialog &d) {
            evaltest::answer_box(app, seen, evaltest::click_no);
            d.resetButton->clicked();
            return true;
        },
        [&](EvaluateDialog &d) {
            EXPECT_EQ(config->videoEncoderLimits.size(), 2u) << "declined: nothing changes";
            EXPECT_FALSE(std::filesystem::exists(codecs_file()));
            seen = evaltest::SeenBox();
            evaltest::answer_box(app, seen, evaltest::click_yes);
            d.resetButton->clicked();
            EXPECT_FALSE(d.actionButton->get_sensitive()) << "Start waits for the restarted engine";
            return true;
        },
        [&](EvaluateDialog &d) {
            EXPECT_TRUE(seen.shown);
            EXPECT_TRUE(config->videoEncoderLimits.empty());
            EXPECT_TRUE(std::filesystem::exists(codecs_file()));
            EXPECT_EQ(d.state, PK_EVALUATE_STATE_IDLE);
            EXPECT_FALSE(d.detailsButton->get_visible());
            EXPECT_FALSE(d.resetButton->get_visible());
            return d.actionButton->get_sensitive();
        },
    });
    ASSERT_TRUE(dialog);
    EXPECT_TRUE(dialog->actionButton->get_sensitive());
    flush();
}

// The report over the started engine's real encoder list: one combo row
// per usable video encoder, and the table of the chosen one.
TEST_F(EvaluateDialogRun, TheReportListsTheEnginesUsableEncoders)
{
    run_state(PK_DEAM_STATE_STARTED);
    const uint64_t count = pk_media_encoder_count(1);
    const uint64_t usable = pk_media_usable_encoder_count(1);
    if (usable == 0) GTEST_SKIP() << "the engine of this machine has no usable video encoder";
    std::vector<PkVideoEncoderLimits> video(usable);
    video[0].maximum = {640, 360, 30, 1};

    std::vector<std::vector<std::string>> table;
    std::vector<std::string> encoders;
    Glib::signal_timeout().connect(
        [&]() -> bool {
            auto dialog = app->findWindow<EvaluateDetailsDialog>(nullptr, nullptr);
            if (!dialog || !dialog->get_visible()) return true;
            for (int i = 0;; i++) {
                dialog->codecsCombobox->set_active(i);
                if (dialog->codecsCombobox->get_active_row_number() != i) break;
                encoders.push_back(dialog->codecsCombobox->get_active_text());
            }
            dialog->codecsCombobox->set_active(0);
            for (const auto &row : dialog->store->children())
                table.push_back({Glib::ustring(row[dialog->columns.resolution]),
                                 Glib::ustring(row[dialog->columns.frequency]),
                                 Glib::ustring(row[dialog->columns.passText])});
            dialog->okButton->clicked();
            return false;
        },
        10);
    ASSERT_TRUE(EvaluateDialog::showDetails(gtkApp, nullptr, {768, 768, 30, 1}, {}, video));
    ASSERT_EQ(encoders.size(), usable);
    const PkCodecDescPair first = pk_media_encoder_info(1, int32_t(count - usable));
    EXPECT_EQ(encoders[0], codecKindText(first.video) + " / " + first.video.family + " / " +
                               pk_codec_name_out(first.video));
    ASSERT_EQ(table.size(), 12u);
    EXPECT_EQ(table[8], (std::vector<std::string>{"640x360", "30 Hz", " Yes"}));
    EXPECT_EQ(table[7], (std::vector<std::string>{"512x512", "30 Hz", " Yes"}));
    EXPECT_EQ(table[9], (std::vector<std::string>{"640x640", "30 Hz", " No"}));
    EXPECT_EQ(table[11], (std::vector<std::string>{"768x768", "30 Hz", " No"}));
}

}  // namespace
