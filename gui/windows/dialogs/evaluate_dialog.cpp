#include "windows/dialogs/evaluate_dialog.h"

#include <glibmm/main.h>

#include <utility>

#include "app/message_box.h"
#include "app/texts.h"
#include "core/log.h"
#include "engine/codes.h"
#include "engine/engine.h"
#include "engine/evaluation.h"
#include "engine/node.h"
#include "services/bind_channels.h"
#include "services/config.h"
#include "services/display.h"
#include "services/media.h"
#include "toolkit/main_loop.h"
#include "toolkit/css.h"
#include "toolkit/pixbuf.h"
#include "toolkit/window.h"
#include "windows/dialogs/dialog_functions.h"

namespace {

const char kModule[] = "evaluate";
const uint8_t kZeroId[PI_WINDOW_ID_SIZE] = {};

// The widest line of the dialog's message, in characters.
constexpr int kMessageWidthChars = 40;
// The pause between the last result and the finished state, so that the
// user sees the bar at 100 %.
constexpr unsigned kFinishDelayMs = 1000;

void post_engine_command(uint32_t code, const void *data, uint64_t length)
{
    if (!pk_evaluate_engine_started()) return;
    (void)engine_post_command(code, data, length);
}

// No broadcast is configured afterwards: the evaluation needs the encoders.
void clear_configured_broadcast()
{
    const std::shared_ptr<PkConfig> config = PkConfig::instance();
    config->broadcastSizeClass = -1;
    config->broadcastChannels = 0;
}

void restart_engine()
{
    const std::shared_ptr<PkDeam> facade = PkDeam::instance();
    facade->setState(PK_DEAM_STATE_STOPPED);
    facade->setState(PK_DEAM_STATE_STARTED);
}

}  // namespace

bool pk_evaluate_engine_started() { return engine_context_current() != nullptr; }

uint32_t pk_evaluate_separator_colour(int theme)
{
    if (theme == PI_THEME_LIGHT) return 0xdedede;
    if (theme == PI_THEME_DARK) return 0x404040;
    return 0x000000;
}

Glib::ustring codecKindText(const CoreVideoCodecDesc &desc)
{
    const bool hardware = desc.acceleration == RAVK_ACCEL_HARDWARE;
    const bool software = desc.acceleration == RAVK_ACCEL_SOFTWARE;
    const bool platform = desc.codec_class == RAVK_CODEC_CLASS_PLATFORM;
    const bool thirdParty = desc.codec_class == RAVK_CODEC_CLASS_PORTABLE;
    if (desc.direction == RAVK_CODEC_DECODER) {
        if (platform && software) return pk_translate("Platform software decoder");
        if (thirdParty && hardware) return pk_translate("Third party hardware decoder");
        if (thirdParty && software) return pk_translate("Third party software decoder");
        return pk_translate("Platform hardware decoder");
    }
    if (desc.direction == RAVK_CODEC_ENCODER) {
        if (platform && software) return pk_translate("Platform software encoder");
        if (thirdParty && hardware) return pk_translate("Third party hardware encoder");
        if (thirdParty && software) return pk_translate("Third party software encoder");
        return pk_translate("Platform hardware encoder");
    }
    // Neither direction: the table has no row; the encoder text is the
    // least surprising one for a descriptor of the encoder list.
    return pk_translate("Platform hardware encoder");
}

EvaluateDialog::EvaluateDialog(GtkDialog *cobject, const Glib::RefPtr<Gtk::Builder> &builder)
    : VeltranaDialog(cobject)
{
    builder->get_widget("progress_label", progressLabel);
    builder->get_widget("message_label", messageLabel);
    builder->get_widget("up_separator", upSeparator);
    builder->get_widget("down_separator", downSeparator);
    builder->get_widget("evaluate_progress", evaluateProgress);
    builder->get_widget("action_button", actionButton);
    builder->get_widget("details_button", detailsButton);
    builder->get_widget("reset_button", resetButton);
    builder->get_widget("icon_image", iconImage);

    if (actionButton != nullptr) {
        actionButton->set_label(pk_translate("Start"));
        actionButton->signal_clicked().connect(sigc::mem_fun(*this, &EvaluateDialog::onActionClicked));
    }
    if (detailsButton != nullptr) {
        detailsButton->set_label(pk_translate("Details"));
        detailsButton->signal_clicked().connect(sigc::mem_fun(*this, &EvaluateDialog::onDetailsClicked));
    }
    if (resetButton != nullptr) {
        resetButton->set_label(pk_translate("Reset"));
        resetButton->signal_clicked().connect(sigc::mem_fun(*this, &EvaluateDialog::onResetClicked));
    }
    if (iconImage != nullptr) {
        const std::vector<uint8_t> png = PiWindowIcon::png(PK_PNG_EVALUATE_ICON);
        const std::vector<char> bytes(png.begin(), png.end());
        if (!bytes.empty())
            PiPixbuf::setImage(*iconImage, bytes, PI_PIXBUF_KIND_ENCODED, PK_EVALUATE_ICON_SIZE,
                               PK_EVALUATE_ICON_SIZE);
    }
}

int EvaluateDialog::run()
{
    evaluationLimit = {PK_EVALUATE_LIMIT_WIDTH, PK_EVALUATE_LIMIT_HEIGHT, PK_EVALUATE_LIMIT_RATE, 1};
    const std::shared_ptr<PkConfig> config = PkConfig::instance();
    audioLimits = config->audioEncoderLimits;
    videoLimits = config->videoEncoderLimits;

    const std::shared_ptr<PiTheme> theme = PiTheme::instance();
    restyle(theme->effectiveTheme());

    const std::shared_ptr<EvaluateDialog> self = shared_from_this();
    const std::shared_ptr<PkCenterNotify> centre = PkCenterNotify::instance();
    const std::shared_ptr<PkDeam> facade = PkDeam::instance();
    theme->addListener(self);
    centre->addObserver(self);
    facade->addListener(self);

    if (messageLabel != nullptr) {
        messageLabel->set_line_wrap(true);
        messageLabel->set_max_width_chars(kMessageWidthChars);
    }
    set_title(pk_translate("Performance evaluation"));
    setState(PK_EVALUATE_STATE_IDLE);

    const int response = Gtk::Dialog::run();
    hide();
    close();

    // Whatever the state: an evaluation the dialog no longer follows must
    // not keep the encoders busy.
    post_engine_command(ENGINE_CMD_EVAL_STOP, nullptr, 0);

    facade->removeListener(self);
    centre->removeObserver(self);
    theme->removeListener(self);
    return response;
}

void EvaluateDialog::setState(int newState)
{
    const auto sentence = [](const char *id) { return pk_translate(id); };
    Glib::ustring message;
    Glib::ustring actionLabel;
    bool progressShown = false;
    bool detailsShown = false;
    bool resetShown = false;

    switch (newState) {
    case PK_EVALUATE_STATE_IDLE:
        actionLabel = sentence("Start");
        detailsShown = !audioLimits.empty() || !videoLimits.empty();
        resetShown = detailsShown;
        message = sentence("We strongly recommend to do the performance evaluation before using the system") +
                  ".\n" + sentence("Please press 'Start' button to begin") + ".\n" +
                  sentence("This device will be busy during the performance evaluation process") + ".";
        break;
    case PK_EVALUATE_STATE_RUNNING:
        actionLabel = sentence("Cancel");
        progressShown = true;
        message = sentence("The performance evaluation process is in progress") + ". " +
                  sentence("This action may take several minutes") + ".\n" + sentence("Please wait") + "...";
        break;
    case PK_EVALUATE_STATE_FINISHED: {
        actionLabel = sentence("Ok");
        detailsShown = true;
        // Reset offers to forget what is stored, not the new results.
        const std::shared_ptr<PkConfig> config = PkConfig::instance();
        resetShown = !config->audioEncoderLimits.empty() || !config->videoEncoderLimits.empty();
        message = sentence("The performance evaluation process is successfully finished") + ".\n" +
                  sentence("Please press 'Ok' button to save results") + ".";
        break;
    }
    default:
        state = newState;
        return;
    }

    if (evaluateProgress != nullptr) {
        if (progressShown) {
            evaluateProgress->set_fraction(0.0);
            evaluateProgress->set_text("0 %");
            evaluateProgress->show();
        } else {
            evaluateProgress->hide();
        }
    }
    if (actionButton != nullptr) {
        actionButton->set_label(actionLabel);
        actionButton->show();
    }
    if (detailsButton != nullptr) detailsButton->set_visible(detailsShown);
    if (resetButton != nullptr) resetButton->set_visible(resetShown);
    if (progressLabel != nullptr) progressLabel->hide();
    if (messageLabel != nullptr) messageLabel->set_text(message);
    state = newState;
}

void EvaluateDialog::onActionClicked()
{
    switch (state) {
    case PK_EVALUATE_STATE_IDLE:
        startEvaluation();
        break;
    case PK_EVALUATE_STATE_RUNNING:
        cancelEvaluation();
        break;
    case PK_EVALUATE_STATE_FINISHED:
        acceptResults();
        break;
    default:
        break;
    }
}

void EvaluateDialog::startEvaluation()
{
    results.clear();
    setState(PK_EVALUATE_STATE_RUNNING);

    // The evaluation needs every encoder: bound channels and a running
    // broadcast go first (without waiting, the engine orders the commands).
    (void)pk_binder_unbind(PkXID(), false);
    (void)pk_binder_stop_broadcast(false);
    clear_configured_broadcast();

    EngineEvalRequest request{};
    request.generatedAudio = 0;
    request.generatedVideo = 0;
    request.audioBackend = PK_EVALUATE_AUDIO_TEST_SOURCE;
    request.videoBackend = PK_EVALUATE_VIDEO_TEST_SOURCE;
    request.sizeLimit = {evaluationLimit.width, evaluationLimit.height, evaluationLimit.rateNumerator,
                         evaluationLimit.rateDenominator};
    post_engine_command(ENGINE_CMD_EVAL_START, &request, sizeof(request));
}

void EvaluateDialog::cancelEvaluation()
{
    const std::shared_ptr<MessageDialog> answer =
        askYesNo(get_application(), shared_from_this(), pk_translate("Information"),
                 pk_translate("The performance evaluation process is in progress") + ". " +
                     pk_translate("Do you want to stop this action?"));
    if (!answer || answer->declined != 0) return;
    post_engine_command(ENGINE_CMD_EVAL_STOP, nullptr, 0);
    closeThroughRegistry();
}

void EvaluateDialog::acceptResults()
{
    std::shared_ptr<AppCodecsSettings> settings = AppCodecsSettings::fromEvaluation(results);
    const uint32_t fast = pk_evaluation_fast_encoder_count(videoLimits);
    const std::shared_ptr<PkConfig> config = PkConfig::instance();

    if (config->sendRoles != 0 && fast == 0) {
        const std::shared_ptr<MessageDialog> answer = showMessageDialog<MessageDialog>(
            get_application(), shared_from_this(), PK_MESSAGE_WARNING, pk_translate("Warning"),
            pk_translate("This device has very low performance") + ". " +
                pk_translate("Based on the performance evaluation results not found any high-productivity encoders") +
                ".\n" +
                pk_translate(
                    "After apply performance evaluation results this device will be switched to viewer only mode") +
                ".\n" + pk_translate("Do you want to perform this action?"),
            pk_translate("Yes"), pk_translate("No"), kZeroId);
        if (!answer || answer->declined != 0) return;
    }

    post_engine_command(ENGINE_CMD_EVAL_STOP, nullptr, 0);
    saveCodecsSettings(std::move(settings));
    const int32_t applied = pk_evaluation_apply();

    // The facade reads PkConfig on its worker while it restarts the
    // engine: the defaults of a failed apply are written before the
    // restart is asked for, never while it runs.
    if (applied < 0) {
        saveCodecsSettings(std::make_shared<AppCodecsSettings>());
        audioLimits.clear();
        videoLimits.clear();
    }
    restart_engine();
    if (applied < 0) {
        core_log(CORE_LOG_WARN, kModule, "the evaluated limits were refused (%d): defaults stored", applied);
        showError(get_application(), shared_from_this(), pk_translate("Error"),
                  pk_translate("Failed to apply performance evaluation results") + ".");
    }
    closeThroughRegistry();
}

void EvaluateDialog::onResetClicked()
{
    const std::shared_ptr<MessageDialog> answer =
        askYesNo(get_application(), shared_from_this(), pk_translate("Information"),
                 pk_translate("This action will reset all previous performance evaluation results") + ". " +
                     pk_translate("Do you want to perform this action?"));
    if (!answer || answer->declined != 0) return;

    std::shared_ptr<AppCodecsSettings> defaults = std::make_shared<AppCodecsSettings>();
    // Start waits for the engine the reset restarts.
    if (actionButton != nullptr) actionButton->set_sensitive(false);
    saveCodecsSettings(std::move(defaults));
    audioLimits.clear();
    videoLimits.clear();
    (void)pk_binder_unbind(PkXID(), false);
    (void)pk_binder_stop_broadcast(true);
    clear_configured_broadcast();
    restart_engine();
    setState(PK_EVALUATE_STATE_IDLE);
}

void EvaluateDialog::onDetailsClicked()
{
    (void)showDetails(get_application(), shared_from_this(), evaluationLimit, audioLimits, videoLimits);
}

void EvaluateDialog::onEvaluateResults(const PkEvaluateResults &event)
{
    auto copy = std::make_shared<PkEvaluateResults>(event);
    postToMainLoop([copy](EvaluateDialog &dialog) { dialog.showProgress(copy); });
}

bool EvaluateDialog::showProgress(std::shared_ptr<PkEvaluateResults> event)
{
    if (!event) return false;
    const uint64_t skipped = event->videoCodecCount - event->videoUsableCount;
    // Encoders the engine does not evaluate only pass by; a count pair
    // that makes no sense (more usable than listed) lands here as well.
    if (event->videoCodecCount < event->videoUsableCount || event->videoCodecIndex < skipped) return false;

    const bool hasTrials = !event->audioTrials.empty() || !event->videoTrials.empty();
    if (hasTrials) results.push_back(*event);

    const uint64_t total = event->videoUsableCount != 0 ? event->videoUsableCount : 1;
    const uint64_t done = event->videoCodecIndex - skipped + (hasTrials ? 1 : 0);

    if (event->videoCodec.direction == RAVK_CODEC_ENCODER && progressLabel != nullptr) {
        progressLabel->set_text(codecKindText(event->videoCodec) + " / " + pk_codec_name_out(event->videoCodec));
        progressLabel->show();
    }
    if (evaluateProgress != nullptr) {
        const double fraction = double(done) / double(total);
        evaluateProgress->set_fraction(fraction > 1.0 ? 1.0 : fraction);
        evaluateProgress->set_text(std::to_string(done * 100 / total) + " %");
    }
    if (done >= total)
        Glib::signal_timeout().connect_once(sigc::mem_fun(*this, &EvaluateDialog::finishEvaluation), kFinishDelayMs);
    return false;
}

void EvaluateDialog::finishEvaluation()
{
    setState(PK_EVALUATE_STATE_FINISHED);
    audioLimits.clear();
    videoLimits.clear();
    const std::shared_ptr<AppCodecsSettings> settings = AppCodecsSettings::fromEvaluation(results);
    if (!settings) return;
    for (const auto &item : settings->audioItems())
        if (auto *container = dynamic_cast<PkXMLAudioContainer *>(item.get()))
            audioLimits.push_back(toAudioEncoderLimits(*container));
    for (const auto &item : settings->videoItems())
        if (auto *container = dynamic_cast<PkXMLVideoContainer *>(item.get()))
            videoLimits.push_back(toVideoEncoderLimits(*container));
}

void EvaluateDialog::onEngineStarted()
{
    postToMainLoop([](EvaluateDialog &dialog) {
        if (dialog.actionButton != nullptr) dialog.actionButton->set_sensitive(true);
    });
}

void EvaluateDialog::restyle(int theme)
{
    PiCSSSeparator rule;
    rule.backgroundColor(pk_evaluate_separator_colour(theme));
    const std::string css = rule.toCss();
    if (upSeparator != nullptr) PiCSSItem::applyCss(*upSeparator, css, "");
    if (downSeparator != nullptr) PiCSSItem::applyCss(*downSeparator, css, "");
}

void EvaluateDialog::onThemeChanged(int theme) { restyle(theme); }

void EvaluateDialog::closeThroughRegistry()
{
    Glib::RefPtr<PiApplication> app = Glib::RefPtr<PiApplication>::cast_dynamic(get_application());
    if (app) (void)app->closeWindow<EvaluateDialog>(kZeroId);
}

void EvaluateDialog::postToMainLoop(std::function<void(EvaluateDialog &)> work)
{
    pi_post_main(weak_from_this(), std::move(work));
}
