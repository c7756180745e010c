// A whole update through the real HTTP client: the offer handed in by the
// main window's check, "Yes", the installer fetched from a small HTTP server
// on 127.0.0.1, its digest checked, and the file left complete in the data
// folder.
#include <arpa/inet.h>
#include <glibmm/main.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "app/info.h"
#include "info_test_support.h"
#include "services/digest.h"
#include "windows/info/update_dialog.h"

namespace {

// The client waits a moment before each transfer so that a caller may
// cancel first; the suite does not need that wait.
struct WebAccess : PkWeb {
    static void noGrace(PkWeb &web) { web.*(&WebAccess::graceMs) = 0; }
};

// Serves one body to every GET until stopped.
class OneFileServer {
public:
    explicit OneFileServer(std::string body) : body(std::move(body))
    {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 || listen(listener, 4) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            return;
        port = ntohs(address.sin_port);
        thread = std::thread([this] { serve(); });
    }
    ~OneFileServer()
    {
        stopping = true;
        shutdown(listener, SHUT_RDWR);
        if (thread.joinable()) thread.join();
        close(listener);
    }

    int port = 0;

private:
    void serve()
    {
        while (!stopping) {
            const int client = accept(listener, nullptr, nullptr);
            if (client < 0) return;
            std::string request;
            char chunk[1024];
            while (request.find("\r\n\r\n") == std::string::npos) {
                const ssize_t got = recv(client, chunk, sizeof(chunk), 0);
                if (got <= 0) break;
                request.append(chunk, size_t(got));
            }
            const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                                     std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
            const std::string reply = head + body;
            for (size_t sent = 0; sent < reply.size();) {
                const ssize_t n = send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += size_t(n);
            }
            close(client);
        }
    }

    std::string body;
    int listener = -1;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

std::string sha256_of(const std::string &bytes)
{
    PkSha256Holder holder;
    if (pk_sha256_new(&holder) != 0) return std::string();
    pk_sha256_update(&holder, bytes.data(), bytes.size());
    return pk_sha256_hex(&holder);
}

// The main window's check response offering version 7.5 at the link. The
// dialog starts at the offer, so it never asks the real site.
IPkWeb::Response offer(const std::string &url, const std::string &sha256)
{
    IPkWeb::Response response;
    response.type = PK_WEB_REQUEST;
    response.status = PK_WEB_FINISHED;
    response.responseCode = 200;
    response.body = "{\"version\": 1, \"subject\": [{\"os\": \"" PK_UPDATE_OS "\", \"cpu\": \"AMD64\", \"product\": \"" +
                    VeltranaAppInfo().webAppId() + "\", \"method\": \"link\", \"url\": \"" + url + "\", \"sha256\": \"" +
                    sha256 + "\", \"type\": \"bin\", \"major\": 7, \"minor\": 5}]}";
    return response;
}

class Download : public infotest::InfoGtk {
protected:
    void SetUp() override
    {
        InfoGtk::SetUp();
        if (IsSkipped()) return;
        folder = infotest::scratch_data_folder();
        ASSERT_FALSE(folder.empty());
        WebAccess::noGrace(*PkWeb::instance());
        PkWeb::instance()->start();
    }
    void TearDown() override
    {
        PkWeb::instance()->stop();
        if (!folder.empty()) std::filesystem::remove_all(folder);
        InfoGtk::TearDown();
    }

    std::string folder;
};

TEST_F(Download, TheInstallerArrivesVerified)
{
    std::string installer(300 * 1024, '\0');
    for (size_t i = 0; i < installer.size(); i++) installer[i] = char(i * 7 + i / 251);
    OneFileServer server(installer);
    ASSERT_NE(server.port, 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port) + "/installer.bin";

    auto dialog = PiApplication::createWindow<UpdateDialog>(gtkApp, nullptr);
    ASSERT_TRUE(dialog);
    dialog->response = offer(url, sha256_of(installer));

    int downloaded = 0;
    Glib::ustring bar;
    UpdateDialog *shown = dialog.get();
    int step = 0;
    Glib::signal_timeout().connect(
        [&, shown] {
            if (!shown->get_visible()) return true;
            if (step == 0 && shown->stage == PK_UPDATE_OFFER) {
                shown->updateButton->clicked();
                step = 1;
            } else if (step == 1 && shown->stage != PK_UPDATE_DOWNLOADING) {
                downloaded = shown->stage;
                bar = shown->downloadProgress->get_text();
                shown->cancelButton->clicked();  // "No": the user declines to install
                return false;
            }
            return true;
        },
        10);
    PiApplication::runDialog(gtkApp, dialog);
    EXPECT_EQ(downloaded, PK_UPDATE_DOWNLOADED);
    EXPECT_EQ(bar, "100 %");
    EXPECT_FALSE(std::filesystem::exists(folder + "/update.bin")) << "declined: the file is deleted";
}

TEST_F(Download, ClosingTheWindowKeepsTheCompleteFile)
{
    const std::string installer(5000, 'x');
    OneFileServer server(installer);
    ASSERT_NE(server.port, 0);
    auto dialog = PiApplication::createWindow<UpdateDialog>(gtkApp, nullptr);
    ASSERT_TRUE(dialog);
    dialog->response = offer("http://127.0.0.1:" + std::to_string(server.port) + "/f", sha256_of(installer));
    UpdateDialog *shown = dialog.get();
    std::string content;
    int stage = 0;
    Glib::signal_timeout().connect(
        [&, shown] {
            if (!shown->get_visible()) return true;
            if (shown->stage == PK_UPDATE_OFFER) {
                shown->updateButton->clicked();
                return true;
            }
            if (shown->stage == PK_UPDATE_DOWNLOADING) return true;
            stage = shown->stage;
            std::ifstream file(folder + "/update.bin", std::ios::binary);
            content.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
            shown->close();
            return false;
        },
        10);
    PiApplication::runDialog(gtkApp, dialog);
    EXPECT_EQ(stage, PK_UPDATE_DOWNLOADED);
    EXPECT_EQ(content, installer) << "the file was closed after the last byte";
    EXPECT_TRUE(std::filesystem::exists(folder + "/update.bin")) << "closing the window keeps it";
}

}  // namespace
