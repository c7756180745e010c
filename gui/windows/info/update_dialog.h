// The self-update of the application: the modal update dialog and, as its
// static members, the update manifest, the requests for the manifest and
// the installer, and the removal of stale downloads.
//
// The dialog is a machine of nine stages (checking, offer, downloading,
// downloaded, installing, up to date, no Internet, server unreachable,
// update failed), each with its own icon, message and buttons. The user's
// two buttons and the responses of the HTTP client drive it: it checks the
// site's "update.json" itself unless the main window hands in the response
// of its silent check, offers a newer version, downloads the installer into
// "update.<type>" in the per-user data folder, compares its SHA-256 with the
// manifest's and starts it. After run() the caller reads `stage`: 5 means
// the installer was started.
//
// Threads: everything runs on the GTK main thread except the two IPkWeb
// operations, which the HTTP client calls on its worker: they copy their
// arguments and post the work to the main loop, where it is dropped when
// the dialog is gone. The statics run on the main thread and return as
// their comments say; nothing throws.
#pragma once

#include <gtkmm/builder.h>
#include <gtkmm/button.h>
#include <gtkmm/image.h>
#include <gtkmm/label.h>
#include <gtkmm/progressbar.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "services/web.h"
#include "toolkit/application.h"

// Stages of the dialog.
#define PK_UPDATE_CHECKING 1
#define PK_UPDATE_OFFER 2
#define PK_UPDATE_DOWNLOADING 3
#define PK_UPDATE_DOWNLOADED 4
#define PK_UPDATE_INSTALLING 5
#define PK_UPDATE_UP_TO_DATE 6
#define PK_UPDATE_NO_INTERNET 7
#define PK_UPDATE_UNREACHABLE 8
#define PK_UPDATE_FAILED 9

// What this build looks for in the manifest. The manifest is shared by every
// build the site offers, so these are its own fixed words: a Linux build
// must never be offered another system's installer.
#define PK_UPDATE_OS "Linux"
#define PK_UPDATE_CPU "AMD64"
#define PK_UPDATE_MANIFEST "update.json"
// The name of the downloaded installer in the data folder.
#define PK_UPDATE_FILE_NAME "update"

class UpdateDialog : public VeltranaDialog, public IPkWeb, public std::enable_shared_from_this<UpdateDialog> {
public:
    struct Progress {
        int64_t total = 0;  // 0 while unknown
        int64_t received = 0;
    };

    UpdateDialog(GtkDialog *cobject, const Glib::RefPtr<Gtk::Builder> &builder);
    // Cancels the pending request and closes the target file; the file
    // itself stays until the next start removes it.
    ~UpdateDialog() override;

    // The dialog's whole life on screen; the response of the modal run.
    int run() override;

    // Enters the stage; false when the request the stage needs could not be
    // queued. A stage outside 1..9 is only recorded.
    bool setStage(int newStage);

    void onUpdateClicked();
    void onCancelClicked();

    void onWebResponse(const IPkWeb::Response &response) override;
    void onWebProgress(uint64_t total, uint64_t received) override;
    // The main-loop halves of the two above; false (run once).
    bool handleWebResponse(std::shared_ptr<IPkWeb::Response> response);
    bool showProgress(std::shared_ptr<Progress> progress);

    // ---- Manifest, requests and clean-up ----

    // 1 when an entry for the processor, product and operating system
    // (compared without regard to case) is found, its values written to the
    // outputs; 0 when none is; -1, outputs untouched, when the text is not a
    // manifest or an entry before the match lacks a key or has a value of
    // the wrong JSON type.
    static int parseManifest(const std::string &json, const std::string &cpu, const std::string &product,
                             const std::string &os, int &major, int &minor, std::string &method, std::string &url,
                             std::string &sha256, std::string &type);
    // parseManifest for this build; 1 only when the entry is newer than the
    // application, 0 when it is not (outputs written) or nothing matched.
    static int parseResponse(const IPkWeb::Response &response, int &major, int &minor, std::string &method,
                             std::string &url, std::string &sha256, std::string &type);
    // True when the version is newer than the application's.
    static bool isNewer(int major, int minor);
    // Queues the manifest request; its id, 0 when nothing was queued.
    static uint64_t startSilentCheck();
    // Queues the download of the installer into the open file; 0 when the
    // link cannot be used (unknown method, drive link without a file id).
    static uint64_t startDownload(const std::string &method, const std::string &url, FILE *sink);
    // The link a download of this method fetches; empty when it cannot be
    // used.
    static std::string downloadLink(const std::string &method, const std::string &url);
    // The installer's path for the file type; empty for a type that is not
    // a plain extension (letters and digits), which could name a file
    // outside the data folder.
    static std::string targetPath(const std::string &type);
    // Deletes "update" with the extensions msi, exe and bin.
    static void removeStaleDownloads();

    IPkWeb::Response response;
    int major = 0;
    int minor = 0;
    std::string method;
    std::string url;
    std::string sha256;
    std::string fileType = "exe";
    FILE *downloadFile = nullptr;
    int stage = 0;
    uint64_t pendingRequest = 0;

    Gtk::Label *messageLabel = nullptr;
    Gtk::ProgressBar *downloadProgress = nullptr;
    Gtk::Button *updateButton = nullptr;
    Gtk::Button *cancelButton = nullptr;
    Gtk::Image *iconImage = nullptr;

private:
    void closeDownloadFile();
};

extern const char update_dialog_ui[];
PI_UI_DEFINITION(UpdateDialog, "update_dialog", update_dialog_ui)
