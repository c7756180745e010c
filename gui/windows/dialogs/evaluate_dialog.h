// The codec performance evaluation dialog and the functions it shares with
// other windows.
//
// EvaluateDialog starts the engine's evaluation of the machine's video
// encoders (ENGINE_CMD_EVAL_START), follows its progress encoder by encoder
// from the engine's evaluation events and, when the run is over, turns the
// collected results into the codecs settings, saves them, hands the limits
// to the media layer and restarts the engine. It also resets the stored
// results to the defaults and opens the detailed report
// (EvaluateDetailsDialog). The main window opens it modally through
// PiApplication::openDialog<EvaluateDialog>; it lives for that one run.
//
// The static members (askYesNo, showError, applyCodecsSettings,
// saveCodecsSettings, showDetails) need no dialog object; the first four
// live in dialog_functions.cpp and are used by other windows too.
//
// Threads: everything runs on the GTK main thread except the listener
// operations onEvaluateResults (the event pump's worker) and
// onEngineStarted (the facade's queue worker), which touch no widget and
// no field: they copy what they need and post to the main loop, where the
// posted call is dropped when the dialog is gone.
#pragma once

#include <glibmm/ustring.h>
#include <gtkmm/application.h>
#include <gtkmm/builder.h>
#include <gtkmm/button.h>
#include <gtkmm/dialog.h>
#include <gtkmm/image.h>
#include <gtkmm/label.h>
#include <gtkmm/progressbar.h>
#include <gtkmm/separator.h>
#include <gtkmm/window.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "app/codec_settings.h"
#include "services/centre.h"
#include "services/codecs.h"
#include "services/facade.h"
#include "services/payloads.h"
#include "services/utils.h"
#include "toolkit/application.h"
#include "toolkit/theme.h"

class MessageDialog;
class EvaluateDetailsDialog;

// Values of EvaluateDialog::state.
#define PK_EVALUATE_STATE_NONE 0
#define PK_EVALUATE_STATE_IDLE 1
#define PK_EVALUATE_STATE_RUNNING 2
#define PK_EVALUATE_STATE_FINISHED 3

// Program pictures of the evaluation dialogs.
#define PK_PNG_EVALUATE_ICON 162
#define PK_PNG_DETAILS_ICON 65535
#define PK_PNG_CHECK_MARK 165
#define PK_PNG_CROSS 166

// Side of the evaluation dialog's icon, in pixels.
#define PK_EVALUATE_ICON_SIZE 128

// The largest mode the dialog lets the evaluation try.
#define PK_EVALUATE_LIMIT_WIDTH 768u
#define PK_EVALUATE_LIMIT_HEIGHT 768u
#define PK_EVALUATE_LIMIT_RATE 30u

// Source kinds of the multimedia framework's generic test sources, which
// the evaluation trials read on this platform.
#define PK_EVALUATE_AUDIO_TEST_SOURCE 1u
#define PK_EVALUATE_VIDEO_TEST_SOURCE 1u

// The translated kind of a codec descriptor by direction, provenance and
// acceleration ("Platform hardware encoder" ... "Third party software
// decoder"); combinations outside the table give the platform hardware
// text of the direction. Shared by both evaluation dialogs.
Glib::ustring codecKindText(const CoreVideoCodecDesc &desc);

// The separator colour of a theme: 0 light, 1 dark, black for any other.
uint32_t pk_evaluate_separator_colour(int theme);

class EvaluateDialog : public VeltranaDialog,
                       public IPiTheme,
                       public IPkCenterNotify,
                       public IPkDeam,
                       public std::enable_shared_from_this<EvaluateDialog> {
public:
    EvaluateDialog(GtkDialog *cobject, const Glib::RefPtr<Gtk::Builder> &builder);

    // Registers the listeners, runs the dialog modally, stops an evaluation
    // still running in the engine and unregisters; the dialog's response.
    int run() override;

    // Shows the widgets of a state (PK_EVALUATE_STATE_*); any other value
    // only sets `state`.
    void setState(int newState);

    void onActionClicked();
    void onResetClicked();
    void onDetailsClicked();

    // Event pump worker: copies the event and posts showProgress.
    void onEvaluateResults(const PkEvaluateResults &results) override;
    // Main loop: moves the bar and stores events with trials; false (the
    // posted call runs once).
    bool showProgress(std::shared_ptr<PkEvaluateResults> results);
    // Main loop, from the finish timer: state 3 and the limit lists of the
    // stored results.
    void finishEvaluation();

    // Facade worker: posts making the action button sensitive again.
    void onEngineStarted() override;

    void restyle(int theme);
    void onThemeChanged(int theme) override;

    // ---- shared functions (dialog_functions.cpp) ----

    // A yes/no question box transient for parent; the box after the user
    // answered (declined 0: confirmed), empty when none could be made.
    static std::shared_ptr<MessageDialog> askYesNo(Glib::RefPtr<Gtk::Application> application,
                                                   std::shared_ptr<Gtk::Window> parent, const Glib::ustring &title,
                                                   const Glib::ustring &text);
    // An error box with a single "Ok" button; as askYesNo.
    static std::shared_ptr<MessageDialog> showError(Glib::RefPtr<Gtk::Application> application,
                                                    std::shared_ptr<Gtk::Window> parent, const Glib::ustring &title,
                                                    const Glib::ustring &text);
    // Replaces PkConfig's encoder limits with those of the settings'
    // containers (other item types skipped, order kept); the same settings.
    // Empty settings change nothing and are given back.
    static std::shared_ptr<AppCodecsSettings> applyCodecsSettings(std::shared_ptr<AppCodecsSettings> settings);
    // Writes the codecs settings file in the per-user data folder and, only
    // when that worked, applies the settings to PkConfig. A failed write
    // changes nothing and is not reported.
    static void saveCodecsSettings(std::shared_ptr<AppCodecsSettings> settings);

    // The report dialog (evaluate_details_dialog.cpp): made transient for
    // parent, fed and run modally; returns once it is closed. Empty when
    // the factory made no dialog.
    static std::shared_ptr<EvaluateDetailsDialog> showDetails(Glib::RefPtr<Gtk::Application> application,
                                                              std::shared_ptr<Gtk::Window> parent,
                                                              const PkVideoMode &limit,
                                                              const std::vector<PkAudioEncoderLimits> &audio,
                                                              const std::vector<PkVideoEncoderLimits> &video);

    int state = PK_EVALUATE_STATE_NONE;
    std::vector<PkAudioEncoderLimits> audioLimits;
    std::vector<PkVideoEncoderLimits> videoLimits;
    std::vector<PkEvaluateResults> results;

    Gtk::Label *progressLabel = nullptr;
    Gtk::Label *messageLabel = nullptr;
    Gtk::Separator *upSeparator = nullptr;
    Gtk::Separator *downSeparator = nullptr;
    Gtk::ProgressBar *evaluateProgress = nullptr;
    Gtk::Button *actionButton = nullptr;
    Gtk::Button *detailsButton = nullptr;
    Gtk::Button *resetButton = nullptr;
    Gtk::Image *iconImage = nullptr;

    PkVideoMode evaluationLimit{};

private:
    void startEvaluation();
    void cancelEvaluation();
    void acceptResults();
    // Closes the dialog through the window registry, ending its run.
    void closeThroughRegistry();
    // Posts a member call to the main loop, dropped once the dialog is gone.
    void postToMainLoop(std::function<void(EvaluateDialog &)> work);
};

// True when the engine facade holds an engine context: engine commands are
// posted only then.
bool pk_evaluate_engine_started();

extern const char evaluate_dialog_ui[];
PI_UI_DEFINITION(EvaluateDialog, "evaluate_dialog", evaluate_dialog_ui)
