// The update dialog's stages, driven as in the program: responses and
// progress arrive through its IPkWeb side from another thread, the user
// answers with its two buttons. The HTTP client's worker is not started
// here, so the requests the dialog queues never leave the process.
#include <glibmm/main.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "info_test_support.h"
#include "app/info.h"
#include "windows/info/message_dialog.h"
#include "windows/info/update_dialog.h"

namespace {

// "Yes" in the last stage starts the installer with the desktop's default
// handler; the suite gives the desktop no handlers, so nothing is started.
const bool no_desktop_handlers = [] {
    setenv("XDG_DATA_DIRS", "/nonexistent", 1);
    setenv("XDG_DATA_HOME", "/nonexistent", 1);
    return true;
}();

std::string manifest_with(int major, int minor, const std::string &method, const std::string &sha)
{
    return "{\"version\": 1, \"subject\": [{\"os\": \"" PK_UPDATE_OS "\", \"cpu\": \"AMD64\", \"product\": \"" +
           VeltranaAppInfo().webAppId() + "\", \"method\": \"" + method +
           "\", \"url\": \"http://127.0.0.1:9/update.exe\", \"sha256\": \"" + sha +
           "\", \"type\": \"exe\", \"major\": " + std::to_string(major) + ", \"minor\": " + std::to_string(minor) +
           "}]}";
}

IPkWeb::Response web(uint64_t id, uint32_t type, int32_t status, uint64_t code, const std::string &body = "",
                     const std::string &sha = "")
{
    IPkWeb::Response r;
    r.id = id;
    r.type = type;
    r.status = status;
    r.responseCode = code;
    r.body = body;
    r.sha256 = sha;
    return r;
}

const std::string kDigest = "00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF";

class Updates : public infotest::InfoGtk {
protected:
    void SetUp() override
    {
        InfoGtk::SetUp();
        if (IsSkipped()) return;
        folder = infotest::scratch_data_folder();
        ASSERT_FALSE(folder.empty());
        infotest::use_test_pictures({{PK_PNG_ICON_INFORMATION, {20, 20}},
                                     {PK_PNG_ICON_QUESTION, {30, 30}},
                                     {PK_PNG_ICON_WAITING, {40, 40}}});
        dialog = PiApplication::createWindow<UpdateDialog>(gtkApp, nullptr);
        ASSERT_TRUE(dialog);
    }
    void TearDown() override
    {
        dialog.reset();
        if (!folder.empty()) std::filesystem::remove_all(folder);
        InfoGtk::TearDown();
    }

    // Runs the dialog; each step runs once the previous one returned true.
    // The dialog must be closed by the last step.
    int run(std::vector<std::function<bool(UpdateDialog &)>> script)
    {
        size_t next = 0;
        UpdateDialog *shown = dialog.get();
        Glib::signal_timeout().connect(
            [shown, script, next]() mutable {
                if (!shown->get_visible()) return next < script.size();
                while (next < script.size() && script[next](*shown)) next++;
                return next < script.size();
            },
            10);
        return PiApplication::runDialog(gtkApp, dialog);
    }

    // Hands a response to the dialog from another thread, as the worker does.
    static void deliver(UpdateDialog &d, IPkWeb::Response r)
    {
        std::thread worker([&d, r] { d.onWebResponse(r); });
        worker.join();
    }

    std::string seenText;
    bool seenUpdateVisible = false;
    Glib::ustring seenCancelLabel;
    int seenStage = 0;
    // Records what the dialog shows; true.
    bool look(UpdateDialog &d)
    {
        seenText = d.messageLabel->get_text();
        seenUpdateVisible = d.updateButton->get_visible();
        seenCancelLabel = d.cancelButton->get_label();
        seenStage = d.stage;
        return true;
    }

    std::string folder;
    std::shared_ptr<UpdateDialog> dialog;
};

TEST_F(Updates, TheCheckResponseChoosesTheStage)
{
    const struct {
        const char *purpose;
        IPkWeb::Response response;  // id filled in
        int stage;
        const char *text;  // the start of the message
    } cases[] = {
        {"newer version", web(0, 1, 0, 200, manifest_with(7, 1, "link", "ab")), 2, "There is new application version: 7.1.\n"},
        {"same version", web(0, 1, 0, 200, manifest_with(7, 0, "link", "ab")), 6, "Current application version is actual."},
        {"malformed manifest", web(0, 1, 0, 200, "{"), 9, "Failed on update the application. "},
        {"no manifest on the server", web(0, 1, 0, 404), 6, "Current application version is actual."},
        {"server error", web(0, 1, 0, 500), 9, "Failed on update"},
        {"refused", web(0, 1, 2, 0), 8, "Failed to establish connection with the update server. "},
        {"no name resolution", web(0, 1, 3, 0), 7, "Problems with Internet. Please try to do update manually."},
        {"cancelled", web(0, 1, 1, 0), 9, "Failed on update"},
        {"a download answer to a check", web(0, 2, 0, 200), 9, "Failed on update"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        dialog = PiApplication::createWindow<UpdateDialog>(gtkApp, nullptr);
        ASSERT_TRUE(dialog);
        int checkingStage = 0;
        uint64_t request = 0;
        run({[&](UpdateDialog &d) {
                 checkingStage = d.stage;
                 request = d.pendingRequest;
                 IPkWeb::Response r = c.response;
                 r.id = d.pendingRequest;
                 deliver(d, r);
                 return true;
             },
             [&](UpdateDialog &d) { return d.stage != 1 && look(d); },
             [](UpdateDialog &d) {
                 d.cancelButton->clicked();
                 return true;
             }});
        EXPECT_EQ(checkingStage, 1);
        EXPECT_NE(request, 0u);
        EXPECT_EQ(seenStage, c.stage);
        EXPECT_EQ(seenText.rfind(c.text, 0), 0u) << seenText;
        EXPECT_EQ(seenUpdateVisible, c.stage == 2);
        EXPECT_EQ(seenCancelLabel, c.stage == 2 ? "No" : "Ok");
        EXPECT_EQ(dialog->pendingRequest, 0u);
    }
}

TEST_F(Updates, OnlyItsOwnRequestMovesTheDialog)
{
    // The main window's silent check is heard by every listener; it must
    // neither move the dialog nor close its file.
    run({[&](UpdateDialog &d) {
             deliver(d, web(d.pendingRequest + 1000, 1, 0, 200, manifest_with(9, 0, "link", "ab")));
             deliver(d, web(d.pendingRequest + 1001, 1, 3, 0));
             return true;
         },
         [&](UpdateDialog &d) {
             pi_test_iterate_once(20);
             return look(d);
         },
         [](UpdateDialog &d) {
             d.cancelButton->clicked();
             return true;
         }});
    EXPECT_EQ(seenStage, 1);
    EXPECT_EQ(seenText, "Checking for updates. Please wait...");
    EXPECT_FALSE(seenUpdateVisible);
    EXPECT_EQ(seenCancelLabel, "Cancel");
    EXPECT_EQ(dialog->pendingRequest, 0u) << "cancelled on the way out";
}

TEST_F(Updates, AHandedInOfferNeedsNoRequest)
{
    dialog->response = web(5, 1, 0, 200, manifest_with(8, 0, "link", "ab"));
    uint64_t pending = 1;
    run({[&](UpdateDialog &d) {
             pending = d.pendingRequest;
             return look(d);
         },
         [](UpdateDialog &d) {
             d.cancelButton->clicked();
             return true;
         }});
    EXPECT_EQ(seenStage, 2);
    EXPECT_EQ(pending, 0u);
    EXPECT_TRUE(seenUpdateVisible);

    // A handed-in response that is not an offer makes the dialog check.
    for (const IPkWeb::Response &r : {web(5, 1, 0, 200, manifest_with(7, 0, "link", "ab")), web(5, 1, 3, 0)}) {
        dialog = PiApplication::createWindow<UpdateDialog>(gtkApp, nullptr);
        dialog->response = r;
        run({[&](UpdateDialog &d) {
                 pending = d.pendingRequest;
                 return look(d);
             },
             [](UpdateDialog &d) {
                 d.cancelButton->clicked();
                 return true;
             }});
        EXPECT_EQ(seenStage, 1);
        EXPECT_NE(pending, 0u);
    }
}

TEST_F(Updates, DownloadProgressVerificationAndInstall)
{
    dialog->response = web(5, 1, 0, 200, manifest_with(7, 1, "link", kDigest));
    const std::string target = folder + "/update.exe";
    std::vector<std::string> texts;
    std::vector<std::string> bars;
    bool barShown = false;
    run({[&](UpdateDialog &d) {
             d.updateButton->clicked();
             return true;
         },
         [&](UpdateDialog &d) {
             barShown = d.downloadProgress->get_visible();
             texts.push_back(d.messageLabel->get_text());
             std::thread worker([&d] {
                 d.onWebProgress(0, 300);
                 d.onWebProgress(1000, 500);
             });
             worker.join();
             return d.stage == 3;
         },
         [&](UpdateDialog &d) {
             pi_test_iterate_once(20);
             texts.push_back(d.messageLabel->get_text());
             bars.push_back(d.downloadProgress->get_text());
             std::thread worker([&d] { d.onWebProgress(4 * 1024 * 1024, 1024 * 1024); });
             worker.join();
             return true;
         },
         [&](UpdateDialog &d) {
             pi_test_iterate_once(20);
             texts.push_back(d.messageLabel->get_text());
             bars.push_back(d.downloadProgress->get_text());
             // The manifest's digest in capitals, the client's in lower case.
             std::string lower = kDigest;
             for (char &ch : lower) ch = char(tolower(ch));
             deliver(d, web(d.pendingRequest, 2, 0, 200, "", lower));
             return true;
         },
         [&](UpdateDialog &d) { return d.stage == 4 && look(d); },
         [](UpdateDialog &d) {
             d.updateButton->clicked();
             return true;
         }});
    EXPECT_TRUE(barShown);
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], "Downloading update file: 0 / 0 kB\nPlease wait...");
    EXPECT_EQ(texts[1], "Downloading update file: 0 / 0 kB\nPlease wait...") << "below 1 kB";
    EXPECT_EQ(bars[0], "0 %");
    EXPECT_EQ(texts[2], "Downloading update file: 1024 / 4096 kB\nPlease wait...");
    EXPECT_EQ(bars[1], "25 %");
    EXPECT_EQ(seenStage, 4);
    EXPECT_EQ(seenText, "The update file successfully downloaded. Would you like to install update now?");
    EXPECT_EQ(dialog->stage, 5) << "installing: the dialog closed itself";
    EXPECT_EQ(dialog->downloadFile, nullptr);
    EXPECT_EQ(access(target.c_str(), F_OK), 0) << "the installer stays while it runs";
}

TEST_F(Updates, ABadDownloadIsRejectedAndDeleted)
{
    const struct {
        const char *purpose;
        const char *method;
        std::string manifestSha;
        IPkWeb::Response answer;  // id filled in; none when type is 0
    } cases[] = {
        {"another digest", "link", kDigest, web(0, 2, 0, 200, "", std::string(64, '1'))},
        {"no digest at all", "link", "", web(0, 2, 0, 200, "", "")},
        {"right digest, HTTP error", "link", kDigest, web(0, 2, 0, 404, "", kDigest)},
        {"unknown method", "ftp", kDigest, web(0, 0, 0, 0)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        dialog = PiApplication::createWindow<UpdateDialog>(gtkApp, nullptr);
        dialog->response = web(5, 1, 0, 200, manifest_with(7, 1, c.method, c.manifestSha));
        bool fileThere = false;
        run({[&](UpdateDialog &d) {
                 d.updateButton->clicked();
                 if (c.answer.type != 0) {
                     IPkWeb::Response r = c.answer;
                     r.id = d.pendingRequest;
                     deliver(d, r);
                 }
                 return true;
             },
             [&](UpdateDialog &d) {
                 fileThere = access((folder + "/update.exe").c_str(), F_OK) == 0;
                 return d.stage == 9 && look(d);
             },
             [](UpdateDialog &d) {
                 d.cancelButton->clicked();
                 return true;
             }});
        EXPECT_EQ(seenStage, 9);
        EXPECT_EQ(seenCancelLabel, "Ok");
        EXPECT_TRUE(fileThere) << "kept until the user answers";
        EXPECT_NE(access((folder + "/update.exe").c_str(), F_OK), 0) << "\"Ok\" deletes it";
    }
}

TEST_F(Updates, StagesOutsideTheTableAreOnlyRecorded)
{
    run({[&](UpdateDialog &d) {
             look(d);
             EXPECT_TRUE(d.setStage(0));
             EXPECT_TRUE(d.setStage(10));
             EXPECT_EQ(d.stage, 10);
             EXPECT_EQ(d.messageLabel->get_text(), seenText);
             d.close();
             return true;
         }});
    EXPECT_EQ(dialog->stage, 10);
}

}  // namespace
