// The main window's part of every engine start and stop: configuring the
// local streamer once the engine has started, and taking the session's
// devices and tiles down again when it stops. The engine-side steps live in
// streamer_setup.cpp; this file decides their order and drives the widgets.
#include <glibmm/main.h>

#include "services/config.h"
#include "services/facade.h"
#include "windows/dialogs/evaluate_dialog.h"
#include "windows/main/front_window.h"
#include "windows/main/streamer_setup.h"

// Delay of the notice of a refused codec evaluation.
#define FRONT_CODEC_NOTICE_DELAY_MS 1000

void FrontWindow::onEngineStarted()
{
    post([](FrontWindow &window) { window.configureStreamer(); });
}

void FrontWindow::onEngineStopping()
{
    post([](FrontWindow &window) { window.teardownSession(); });
}

bool FrontWindow::configureStreamer()
{
    const int32_t evaluation = streamer_apply_evaluation();
    if (evaluation < 0) {
        auto result = std::make_shared<int>(evaluation);
        std::weak_ptr<FrontWindow> weak = weak_from_this();
        Glib::signal_timeout().connect(
            [weak, result] {
                if (std::shared_ptr<FrontWindow> self = weak.lock()) return self->showCodecMismatch(result);
                return false;
            },
            FRONT_CODEC_NOTICE_DELAY_MS);
    }
    // This build captures the X11 display: there is no PipeWire runtime
    // folder to switch between enumeration and capture.

    // A changed role is followed by a restart; the next start report runs
    // this again and finds the switch consistent.
    if (streamer_apply_role(streamer_usable_video_encoders() >= 1)) {
        const std::shared_ptr<PkDeam> facade = PkDeam::instance();
        facade->setState(PK_DEAM_STATE_STOPPED);
        facade->setState(PK_DEAM_STATE_STARTED);
        return false;
    }

    const std::shared_ptr<PkConfig> config = PkConfig::instance();
    if (config->receiveRoles != 0) streamer_check_decoder_setting();

    const bool streaming = config->sendRoles != STREAMER_ROLE_VIEWER_ONLY;
    if (!streaming) {
        if (viewerLabel != nullptr) viewerLabel->show();
        for (Gtk::Widget *widget : {static_cast<Gtk::Widget *>(p2mRightButton), static_cast<Gtk::Widget *>(p2mButton),
                                    static_cast<Gtk::Widget *>(incomingRightButton),
                                    static_cast<Gtk::Widget *>(incomingButton)})
            if (widget != nullptr) widget->hide();
        untrackButtons(p2mButton, p2mRightButton);
        untrackButtons(incomingButton, incomingRightButton);
    } else {
        if (viewerLabel != nullptr) viewerLabel->hide();
        trackButtons(p2mButton, p2mRightButton);
        trackButtons(incomingButton, incomingRightButton);
        if (p2mButton != nullptr) p2mButton->show();
        if (incomingButton != nullptr) incomingButton->show();
        // The label buttons follow the menu: shown only while it is open.
        const bool expanded = aboutRightButton != nullptr && aboutRightButton->get_visible();
        if (expanded) {
            if (p2mRightButton != nullptr) p2mRightButton->show();
            if (incomingRightButton != nullptr) incomingRightButton->show();
        }
        setTrackedButtonsSensitive(true);
    }

    streamer_viewer_devices(true);
    if (streaming) streamer_select_display(streamer_capture_display());
    streamer_start_broadcast();
    return false;
}

bool FrontWindow::showCodecMismatch(std::shared_ptr<int> result)
{
    if (!result) return false;
    static const uint8_t kZeroId[PI_WINDOW_ID_SIZE] = {};
    const Glib::RefPtr<Gtk::Application> application = ownApplication();
    const std::shared_ptr<Gtk::Window> parent = PiApplication::resolveDialogParent(application, kZeroId, selfWindow());
    Glib::ustring title;
    Glib::ustring text;
    streamer_codec_mismatch_texts(*result, title, text);
    EvaluateDialog::showError(application, parent, title, text);
    return false;
}

bool FrontWindow::teardownSession()
{
    streamer_viewer_devices(false);
    clearUserTiles();
    addUserTileWidget(PkXID());
    // reattachNotify registers the window again when the engine starts.
    PkCenterNotify::instance()->removeObserver(
        std::shared_ptr<IPkCenterNotify>(shared_from_this(), static_cast<IPkCenterNotify *>(this)));
    return false;
}
