#include "windows/info/update_dialog.h"

#include <cjson/cJSON.h>
#include <gio/gio.h>
#include <glibmm/i18n.h>
#include <glibmm/main.h>

#include <cctype>
#include <cstdio>
#include <regex>
#include <vector>

#include "app/info.h"
#include "app/storage.h"
#include "core/log.h"
#include "services/utils.h"
#include "windows/info/message_dialog.h"
#include "toolkit/main_loop.h"

namespace {

constexpr const char *kModule = "update";

// The file-hosting service's direct-download address for drive links.
constexpr const char *kDriveDownload = "https://drive.usercontent.google.com/download";

// Leftovers of earlier downloads, by the extensions the site ships.
const char *const kStaleTypes[] = {"msi", "exe", "bin", "deb"};

bool same_ignoring_case(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && pk_to_lower(a) == pk_to_lower(b);
}

// The item's text, or null when it is missing or not a JSON string: a value
// of another type is never read as text.
const char *string_of(const cJSON *object, const char *key)
{
    const cJSON *item = cJSON_GetObjectItem(object, key);
    return cJSON_IsString(item) && item->valuestring != nullptr ? item->valuestring : nullptr;
}

}  // namespace

UpdateDialog::UpdateDialog(GtkDialog *cobject, const Glib::RefPtr<Gtk::Builder> &builder) : VeltranaDialog(cobject)
{
    builder->get_widget("message_label", messageLabel);
    builder->get_widget("download_progress", downloadProgress);
    builder->get_widget("update_button", updateButton);
    builder->get_widget("cancel_button", cancelButton);
    builder->get_widget("icon_image", iconImage);
    if (updateButton != nullptr) {
        updateButton->set_label(_("Update"));
        updateButton->signal_clicked().connect(sigc::mem_fun(*this, &UpdateDialog::onUpdateClicked));
    }
    if (cancelButton != nullptr) {
        cancelButton->set_label(_("Cancel"));
        cancelButton->signal_clicked().connect(sigc::mem_fun(*this, &UpdateDialog::onCancelClicked));
    }
}

UpdateDialog::~UpdateDialog()
{
    // The request goes before the file: the worker may still write into it.
    if (pendingRequest != 0) {
        PkWeb::instance()->cancel(pendingRequest);
        pendingRequest = 0;
    }
    closeDownloadFile();
}

void UpdateDialog::closeDownloadFile()
{
    if (downloadFile == nullptr) return;
    fclose(downloadFile);
    downloadFile = nullptr;
}

int UpdateDialog::run()
{
    std::shared_ptr<IPkWeb> self = shared_from_this();
    PkWeb::instance()->addListener(self);
    if (messageLabel != nullptr) {
        messageLabel->set_line_wrap(true);
        messageLabel->set_max_width_chars(PK_MESSAGE_WIDTH_CHARS);
    }
    set_title(_("Information"));

    int first = PK_UPDATE_CHECKING;
    if (response.status == PK_WEB_FINISHED && response.type == PK_WEB_REQUEST && response.responseCode == 200 &&
        parseResponse(response, major, minor, method, url, sha256, fileType) == 1)
        first = PK_UPDATE_OFFER;
    if (!setStage(first)) setStage(PK_UPDATE_FAILED);

    const int result = Gtk::Dialog::run();
    hide();
    close();
    PkWeb::instance()->removeListener(self);
    return result;
}

bool UpdateDialog::setStage(int newStage)
{
    if (newStage < PK_UPDATE_CHECKING || newStage > PK_UPDATE_FAILED) {
        stage = newStage;
        return true;
    }
    if (newStage == PK_UPDATE_DOWNLOADING) {
        pendingRequest = startDownload(method, url, downloadFile);
        if (pendingRequest == 0) {
            stage = newStage;
            return false;
        }
    }

    static const uint32_t kIcons[] = {0, PK_PNG_ICON_WAITING, PK_PNG_ICON_QUESTION, PK_PNG_ICON_WAITING,
                                      PK_PNG_ICON_QUESTION, 0, PK_PNG_ICON_INFORMATION, PK_PNG_ICON_INFORMATION,
                                      PK_PNG_ICON_INFORMATION, PK_PNG_ICON_INFORMATION};
    if (newStage != PK_UPDATE_INSTALLING && iconImage != nullptr) pk_info_set_icon(*iconImage, kIcons[newStage]);

    bool result = true;
    const std::string wait = std::string(_("Please wait")) + "...";
    const std::string manually = std::string(". ") + _("Please try to do update manually") + ".";
    std::string text;
    bool offer = false;  // the positive button and the question's labels
    switch (newStage) {
    case PK_UPDATE_CHECKING:
        text = std::string(_("Checking for updates")) + ". " + wait;
        pendingRequest = startSilentCheck();
        result = pendingRequest != 0;
        break;
    case PK_UPDATE_OFFER:
        text = std::string(_("There is new application version")) + ": <b>" + std::to_string(major) + "." +
               std::to_string(minor) + "</b>.\n" + _("Would you like to download application update now?");
        offer = true;
        break;
    case PK_UPDATE_DOWNLOADING:
        text = std::string(_("Downloading update file")) + ": 0 / 0 kB" + "\n" + wait;
        break;
    case PK_UPDATE_DOWNLOADED:
        text = std::string(_("The update file successfully downloaded")) + ". " +
               _("Would you like to install update now?");
        offer = true;
        break;
    case PK_UPDATE_UP_TO_DATE:
        text = std::string(_("Current application version is actual")) + ".";
        break;
    case PK_UPDATE_NO_INTERNET:
        text = _("Problems with Internet") + manually;
        break;
    case PK_UPDATE_UNREACHABLE:
        text = _("Failed to establish connection with the update server") + manually;
        break;
    case PK_UPDATE_FAILED:
        text = _("Failed on update the application") + manually;
        break;
    default:
        break;
    }

    if (newStage != PK_UPDATE_INSTALLING) {
        if (messageLabel != nullptr) {
            messageLabel->set_text(text);
            if (newStage == PK_UPDATE_OFFER) messageLabel->set_use_markup(true);
        }
        if (downloadProgress != nullptr) downloadProgress->set_visible(newStage == PK_UPDATE_DOWNLOADING);
        if (updateButton != nullptr) {
            updateButton->set_label(offer ? _("Yes") : _("Update"));
            updateButton->set_visible(offer);
        }
        if (cancelButton != nullptr) {
            const bool ended = newStage >= PK_UPDATE_UP_TO_DATE;
            cancelButton->set_label(offer ? _("No") : ended ? _("Ok") : _("Cancel"));
        }
    }
    if (newStage == PK_UPDATE_DOWNLOADING && downloadProgress != nullptr) {
        downloadProgress->set_show_text(true);
        downloadProgress->set_text("0 %");
        downloadProgress->set_fraction(0.0);
    }
    stage = newStage;
    return result;
}

void UpdateDialog::onWebResponse(const IPkWeb::Response &web)
{
    auto copy = std::make_shared<IPkWeb::Response>(web);
    pi_post_main(weak_from_this(), [copy](UpdateDialog &self) { self.handleWebResponse(copy); });
}

void UpdateDialog::onWebProgress(uint64_t total, uint64_t received)
{
    auto progress = std::make_shared<Progress>();
    progress->total = int64_t(total);
    progress->received = int64_t(received);
    pi_post_main(weak_from_this(), [progress](UpdateDialog &self) { self.showProgress(progress); });
}

bool UpdateDialog::handleWebResponse(std::shared_ptr<IPkWeb::Response> web)
{
    // Every dialog and the main window's silent check hear every response;
    // only the answer to this dialog's own request may move it, and only
    // after that answer may the target file be closed.
    if (!web || pendingRequest == 0 || web->id != pendingRequest) return false;
    pendingRequest = 0;
    if (web->type != PK_WEB_REQUEST && web->type != PK_WEB_DOWNLOAD) return false;
    closeDownloadFile();

    auto failed = [](int32_t status) {
        if (status == PK_WEB_REFUSED) return PK_UPDATE_UNREACHABLE;
        if (status == PK_WEB_UNREACHABLE) return PK_UPDATE_NO_INTERNET;
        return PK_UPDATE_FAILED;
    };
    int next = PK_UPDATE_FAILED;
    if (stage == PK_UPDATE_CHECKING) {
        if (web->status != PK_WEB_FINISHED) {
            next = failed(web->status);
        } else if (web->type == PK_WEB_REQUEST && web->responseCode == 200) {
            const int parsed = parseResponse(*web, major, minor, method, url, sha256, fileType);
            next = parsed == 1 ? PK_UPDATE_OFFER : parsed == 0 ? PK_UPDATE_UP_TO_DATE : PK_UPDATE_FAILED;
        } else if (web->type == PK_WEB_REQUEST && web->responseCode == 404) {
            next = PK_UPDATE_UP_TO_DATE;
        }
    } else if (stage == PK_UPDATE_DOWNLOADING) {
        // An empty digest proves nothing: it never matches.
        const bool verified = !sha256.empty() && same_ignoring_case(sha256, web->sha256);
        if (!verified) {
            next = PK_UPDATE_FAILED;
        } else if (web->status != PK_WEB_FINISHED) {
            next = failed(web->status);
        } else if (web->type == PK_WEB_DOWNLOAD && web->responseCode == 200) {
            next = PK_UPDATE_DOWNLOADED;
        }
    }
    if (!setStage(next)) setStage(PK_UPDATE_FAILED);
    return false;
}

bool UpdateDialog::showProgress(std::shared_ptr<Progress> progress)
{
    if (!progress || stage != PK_UPDATE_DOWNLOADING) return false;
    if (messageLabel != nullptr)
        messageLabel->set_text(std::string(_("Downloading update file")) + ": " +
                               std::to_string(progress->received / 1024) + " / " +
                               std::to_string(progress->total / 1024) + " kB" + "\n" + _("Please wait") + "...");
    if (downloadProgress != nullptr) {
        if (progress->total / 1024 != 0) {
            const uint64_t total = uint64_t(progress->total);
            const uint64_t received = uint64_t(std::max<int64_t>(progress->received, 0));
            downloadProgress->set_text(std::to_string(received * 100 / total) + " %");
            downloadProgress->set_fraction(std::min(1.0, double(received) / double(total)));
        } else {
            downloadProgress->set_text("0 %");
            downloadProgress->set_fraction(0.0);
        }
    }
    return false;
}

void UpdateDialog::onUpdateClicked()
{
    static const uint8_t zero[PI_WINDOW_ID_SIZE] = {};
    if (stage == PK_UPDATE_OFFER) {
        closeDownloadFile();
        const std::string path = targetPath(fileType);
        if (!path.empty()) downloadFile = fopen(path.c_str(), "wb+");
        if (downloadFile == nullptr) core_log(CORE_LOG_WARN, kModule, "the update file cannot be created");
        if (downloadFile != nullptr && setStage(PK_UPDATE_DOWNLOADING)) return;
        setStage(PK_UPDATE_FAILED);
    } else if (stage == PK_UPDATE_DOWNLOADED) {
        setStage(PK_UPDATE_INSTALLING);
        // Whether the installer starts is not known here: the dialog
        // closes either way and the main window steps aside for it.
        const std::string path = targetPath(fileType);
        if (!path.empty()) {
            gchar *uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
            if (uri != nullptr) {
                GError *error = nullptr;
                if (!g_app_info_launch_default_for_uri(uri, nullptr, &error)) {
                    core_log(CORE_LOG_WARN, kModule, "the installer could not be started: %s",
                             error != nullptr ? error->message : "unknown error");
                }
                if (error != nullptr) g_error_free(error);
                g_free(uri);
            }
        }
        PiApplication::dismissWindow<UpdateDialog>(get_application(), zero);
    }
}

void UpdateDialog::onCancelClicked()
{
    static const uint8_t zero[PI_WINDOW_ID_SIZE] = {};
    PiApplication::dismissWindow<UpdateDialog>(get_application(), zero);
    if (pendingRequest != 0) {
        PkWeb::instance()->cancel(pendingRequest);
        pendingRequest = 0;
    }
    closeDownloadFile();
    const std::string path = targetPath(fileType);
    if (!path.empty()) std::remove(path.c_str());
}

// ---- Manifest, requests and clean-up ----

int UpdateDialog::parseManifest(const std::string &json, const std::string &cpu, const std::string &product,
                                const std::string &os, int &major, int &minor, std::string &method, std::string &url,
                                std::string &sha256, std::string &type)
{
    // The terminating zero is counted, as the parser expects of C text.
    cJSON *root = cJSON_ParseWithLengthOpts(json.c_str(), json.size() + 1, nullptr, false);
    if (root == nullptr) return -1;
    int result = -1;
    const cJSON *subject = cJSON_GetObjectItem(root, "subject");
    if (cJSON_GetObjectItem(root, "version") != nullptr && subject != nullptr) {
        result = 0;
        for (const cJSON *entry = subject->child; entry != nullptr; entry = entry->next) {
            const char *entryOs = string_of(entry, "os");
            const char *entryCpu = string_of(entry, "cpu");
            const char *entryProduct = string_of(entry, "product");
            const char *entryMethod = string_of(entry, "method");
            const char *entryUrl = string_of(entry, "url");
            const char *entrySha = string_of(entry, "sha256");
            const char *entryType = string_of(entry, "type");
            const cJSON *entryMajor = cJSON_GetObjectItem(entry, "major");
            const cJSON *entryMinor = cJSON_GetObjectItem(entry, "minor");
            if (!entryOs || !entryCpu || !entryProduct || !entryMethod || !entryUrl || !entrySha || !entryType ||
                !cJSON_IsNumber(entryMajor) || !cJSON_IsNumber(entryMinor)) {
                result = -1;
                break;
            }
            if (!same_ignoring_case(entryCpu, cpu) || !same_ignoring_case(entryProduct, product) ||
                !same_ignoring_case(entryOs, os))
                continue;
            major = entryMajor->valueint;
            minor = entryMinor->valueint;
            method = entryMethod;
            url = entryUrl;
            sha256 = entrySha;
            type = entryType;
            result = 1;
            break;
        }
    }
    cJSON_Delete(root);
    return result;
}

bool UpdateDialog::isNewer(int entryMajor, int entryMinor)
{
    VeltranaAppInfo info;
    return entryMajor > info.majorVersion() || (entryMajor == info.majorVersion() && entryMinor > info.minorVersion());
}

int UpdateDialog::parseResponse(const IPkWeb::Response &web, int &major, int &minor, std::string &method,
                                std::string &url, std::string &sha256, std::string &type)
{
    const int result = parseManifest(web.body, PK_UPDATE_CPU, VeltranaAppInfo().webAppId(), PK_UPDATE_OS, major,
                                     minor, method, url, sha256, type);
    if (result != 1) return result;
    return isNewer(major, minor) ? 1 : 0;
}

uint64_t UpdateDialog::startSilentCheck()
{
    VeltranaAppInfo info;
    return PkWeb::instance()->request(PK_WEB_REQUEST, nullptr, info.siteUrl(0, true), PK_UPDATE_MANIFEST, "",
                                      PK_UPDATE_OS, pk_cpu_architecture_text(true), info.webAppId(),
                                      info.versionString(false), "", "", "", info.userAgent(true));
}

std::string UpdateDialog::downloadLink(const std::string &kind, const std::string &link)
{
    if (kind == "link") return link;
    if (kind == "googledrive") {
        const std::vector<std::string> parts = pk_split(pk_url_strip_scheme(link), "/");
        if (parts.size() < 4 || parts[3].empty()) return std::string();
        return std::string(kDriveDownload) + "?id=" + parts[3] + "&confirm=yes";
    }
    if (kind == "dropbox") return std::regex_replace(link, std::regex("dl=0"), "dl=1");
    return std::string();
}

uint64_t UpdateDialog::startDownload(const std::string &kind, const std::string &link, FILE *sink)
{
    const std::string address = downloadLink(kind, link);
    if (address.empty() || sink == nullptr) return 0;
    VeltranaAppInfo info;
    if (kind == "link")
        return PkWeb::instance()->request(PK_WEB_DOWNLOAD, sink, address, "", "", PK_UPDATE_OS,
                                          pk_cpu_architecture_text(true), info.webAppId(), info.versionString(false),
                                          "", "", "", info.userAgent(true));
    // File-hosting services get the look of a browser.
    return PkWeb::instance()->request(PK_WEB_DOWNLOAD, sink, address, "", "", PK_UPDATE_OS, PK_UPDATE_CPU, "Mozilla",
                                      "5.0", "", "", "", info.userAgent(false));
}

std::string UpdateDialog::targetPath(const std::string &type)
{
    if (type.empty() || type.size() > 16) return std::string();
    for (unsigned char c : type)
        if (!std::isalnum(c)) return std::string();
    return VeltranaAppPath<PkPath>().filePath(PK_UPDATE_FILE_NAME, type);
}

void UpdateDialog::removeStaleDownloads()
{
    for (const char *type : kStaleTypes) std::remove(targetPath(type).c_str());
}
