// The main window's silent update check: a periodic tick that asks for the
// update manifest every twelve hours, and the handling of its answer, which
// opens the update dialog only for a newer version. The side menu's own
// "Check for updates" opens the same dialog through openUpdateDialog.
#include <glibmm/main.h>

#include "app/info.h"
#include "core/clock.h"
#include "services/web.h"
#include "windows/main/front_window.h"
#include "windows/main/front_window_links.h"

// Milliseconds between two silent checks.
#define FRONT_UPDATE_INTERVAL_MS 43200000
// The HTTP status of a manifest that was served.
#define FRONT_HTTP_OK 200u

namespace {

const uint8_t kZeroId[PI_WINDOW_ID_SIZE] = {};

int64_t now_ms()
{
    return static_cast<int64_t>(core_clock_mono_ns() / 1000000);
}

// Any dialog of the application is open: the user is busy with it.
bool dialog_open(const Glib::RefPtr<Gtk::Application> &application)
{
    return PiApplication::getWindow<Gtk::Dialog>(application, kZeroId) != nullptr;
}

}  // namespace

bool FrontWindow::onUpdateTimer()
{
    if (updateChecksStopped) return false;
    if (dialog_open(ownApplication())) return true;
    const int64_t now = now_ms();
    if (nextUpdateCheckMs >= now) return true;
    // An unanswered request is given up before the next one goes out.
    if (pendingWebRequest != 0) {
        PkWeb::instance()->cancel(pendingWebRequest);
        pendingWebRequest = 0;
    }
    pendingWebRequest = UpdateDialog::startSilentCheck();
    nextUpdateCheckMs = now + FRONT_UPDATE_INTERVAL_MS;
    return true;
}

void FrontWindow::onWebResponse(const IPkWeb::Response &response)
{
    // The client's worker: every response reaches every listener; the main
    // loop sorts out the window's own.
    auto copy = std::make_shared<IPkWeb::Response>(response);
    post([copy](FrontWindow &window) { window.onWebResponseMain(copy); });
}

bool FrontWindow::onWebResponseMain(std::shared_ptr<IPkWeb::Response> response)
{
    if (response && response->id == pendingWebRequest) handleUpdateCheck(*response);
    return false;
}

void FrontWindow::handleUpdateCheck(const IPkWeb::Response &response)
{
    const Glib::RefPtr<Gtk::Application> application = ownApplication();
    if (dialog_open(application) || response.status != PK_WEB_FINISHED || response.responseCode != FRONT_HTTP_OK) {
        pendingWebRequest = 0;
        return;
    }
    VeltranaAppInfo info;
    int major = 0;
    int minor = 0;
    std::string method, url, sha256, type;
    if (UpdateDialog::parseManifest(response.body, PK_UPDATE_CPU, info.webAppId(), PK_UPDATE_OS, major, minor, method,
                                    url, sha256, type) != 1 ||
        !UpdateDialog::isNewer(major, minor)) {
        pendingWebRequest = 0;
        return;
    }
    const std::shared_ptr<UpdateDialog> dialog = openUpdateDialog(application, selfWindow(), response);
    // One offer per run, whatever the user decided.
    updateChecksStopped = true;
    if (dialog && dialog->stage == PK_UPDATE_INSTALLING)
        hide();
    else
        pendingWebRequest = 0;
}

std::shared_ptr<UpdateDialog> FrontWindow::openUpdateDialog(Glib::RefPtr<Gtk::Application> application,
                                                            std::shared_ptr<Gtk::Window> parent,
                                                            const IPkWeb::Response &response)
{
    std::shared_ptr<UpdateDialog> dialog = PiApplication::createWindow<UpdateDialog>(application, parent, kZeroId);
    if (!dialog) return dialog;
    dialog->response = response;
    PiApplication::runDialog<UpdateDialog>(application, dialog);
    return dialog;
}
