// The HTTP client against servers on 127.0.0.1 run by the test itself: a
// plain HTTP server with canned answers, and a TLS server with a throwaway
// self-signed certificate.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/sha256.h"
#include "services/web.h"

namespace {

constexpr auto kPatience = std::chrono::seconds(30);

// The client must reach the test's servers directly.
const bool g_no_proxy = [] {
    for (const char *name : {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
        unsetenv(name);
    return true;
}();

std::string sha256_hex(const std::string &data)
{
    CoreSha256 context;
    core_sha256_init(&context);
    core_sha256_update(&context, data.data(), data.size());
    uint8_t digest[CORE_SHA256_DIGEST_SIZE];
    core_sha256_final(&context, digest);
    std::string text;
    char two[3];
    for (uint8_t byte : digest) {
        snprintf(two, sizeof(two), "%02X", byte);
        text += two;
    }
    return text;
}

std::string pattern(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; i++) data[i] = char(i * 7 + (i >> 9));
    return data;
}

int listen_loopback(uint16_t *port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

// Accepts one connection, checking `stopping` every 50 ms; -1 when stopped.
int accept_until(int listener, const std::atomic<bool> &stopping)
{
    while (!stopping) {
        pollfd p = {listener, POLLIN, 0};
        if (poll(&p, 1, 50) == 1) return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    return -1;
}

struct HttpRequest {
    std::string method;
    std::string path;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

// One HTTP/1.1 server on 127.0.0.1: a thread per connection, one request
// per connection, answered by the handler.
class TestServer {
public:
    class Connection {
    public:
        Connection(int fd, const std::atomic<bool> &stopping) : fd_(fd), stopping_(stopping) {}
        bool send(const std::string &bytes)
        {
            for (size_t sent = 0; sent < bytes.size();) {
                const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) return false;
                sent += size_t(n);
            }
            return true;
        }
        bool stopping() const { return stopping_; }

    private:
        int fd_;
        const std::atomic<bool> &stopping_;
    };
    using Handler = std::function<void(Connection &, const HttpRequest &)>;

    explicit TestServer(Handler handler) : handler_(std::move(handler))
    {
        listener_ = listen_loopback(&port_);
        if (listener_ >= 0) acceptor_ = std::thread([this] { acceptLoop(); });
    }
    ~TestServer()
    {
        stopping_ = true;
        if (acceptor_.joinable()) acceptor_.join();
        for (auto &t : connections_) t.join();
        if (listener_ >= 0) close(listener_);
    }

    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }

    std::vector<HttpRequest> requests()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }
    bool waitForPath(const std::string &path)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] {
            return std::any_of(seen_.begin(), seen_.end(), [&](const HttpRequest &r) { return r.path == path; });
        });
    }

private:
    void acceptLoop()
    {
        for (int fd; (fd = accept_until(listener_, stopping_)) >= 0;)
            connections_.emplace_back([this, fd] { serve(fd); });
    }

    void serve(int fd)
    {
        HttpRequest request;
        if (readRequest(fd, &request)) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                seen_.push_back(request);
            }
            changed_.notify_all();
            Connection connection(fd, stopping_);
            handler_(connection, request);
        }
        close(fd);
    }

    bool readRequest(int fd, HttpRequest *request)
    {
        std::string data;
        size_t headerEnd;
        while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos)
            if (!readSome(fd, &data)) return false;
        std::string head = data.substr(0, headerEnd);
        size_t lineEnd = head.find("\r\n");
        const std::string first = head.substr(0, lineEnd);
        const size_t space = first.find(' ');
        request->method = first.substr(0, space);
        request->path = first.substr(space + 1, first.find(' ', space + 1) - space - 1);
        while (lineEnd != std::string::npos) {
            const size_t start = lineEnd + 2;
            lineEnd = head.find("\r\n", start);
            const std::string line = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
            const size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            std::string name = line.substr(0, colon);
            for (char &c : name) c = char(tolower(static_cast<unsigned char>(c)));
            request->headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
        }
        const size_t length = request->headers.count("content-length") ? std::stoul(request->headers["content-length"]) : 0;
        request->body = data.substr(headerEnd + 4);
        while (request->body.size() < length)
            if (!readSome(fd, &request->body)) return false;
        return true;
    }

    bool readSome(int fd, std::string *data)
    {
        while (!stopping_) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 50) != 1) continue;
            char buffer[4096];
            const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0) return false;
            data->append(buffer, size_t(n));
            return true;
        }
        return false;
    }

    Handler handler_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::vector<std::thread> connections_;  // only the acceptor adds, joined after it
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<HttpRequest> seen_;
};

const std::string kHello = "hello";
const std::string kMissing = "no such page";
const std::string kChunked = pattern(3 * 1024 * 1024 + 17);
const std::string kSized = pattern(2 * 1024 * 1024);
const std::string kTrickle = pattern(40);

std::string answer(int code, const char *reason, const std::string &body, const std::string &extra = "")
{
    return "HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n" + extra + "\r\n" + body;
}

// The canned answers, by path.
void handle(TestServer::Connection &c, const HttpRequest &r)
{
    if (r.path == "/" || r.path == "/ok" || r.path == "/update.json" || r.path == "/echo") {
        c.send(answer(200, "OK", kHello));
    } else if (r.path == "/redirect") {
        c.send(answer(302, "Found", "", "Location: /ok\r\n"));
    } else if (r.path == "/redirect-file") {
        c.send(answer(302, "Found", "", "Location: file:///etc/hostname\r\n"));
    } else if (r.path == "/chunked") {
        c.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n");
        char size[32];
        for (size_t at = 0, step = 1000; at < kChunked.size(); at += step, step = step * 7 % 70000 + 1) {
            const size_t n = std::min(step, kChunked.size() - at);
            snprintf(size, sizeof(size), "%zx\r\n", n);
            if (!c.send(size + kChunked.substr(at, n) + "\r\n")) return;
        }
        c.send("0\r\n\r\n");
    } else if (r.path == "/sized") {
        c.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kSized.size()) + "\r\nConnection: close\r\n\r\n");
        for (size_t at = 0; at < kSized.size(); at += 65536)
            if (!c.send(kSized.substr(at, 65536))) return;
    } else if (r.path == "/slow") {
        // Headers, then a byte every 20 ms of a body that never ends.
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 100000000\r\nConnection: close\r\n\r\n");
        while (!c.stopping() && c.send("x")) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } else if (r.path == "/trickle") {
        // The whole body takes about two seconds.
        c.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kTrickle.size()) + "\r\nConnection: close\r\n\r\n");
        for (char byte : kTrickle) {
            if (c.stopping() || !c.send(std::string(1, byte))) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    } else if (r.path == "/close") {
        // The connection closes without an answer.
    } else {
        c.send(answer(404, "Not Found", kMissing));
    }
}

class Listener : public IPkWeb {
public:
    void onWebResponse(const Response &response) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        responses.push_back(response);
        changed.notify_all();
    }
    void onWebProgress(uint64_t total, uint64_t received) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        progressCalls++;
        lastTotal = total;
        maxReceived = std::max(maxReceived, received);
    }

    // The response for `id`; status -2 when none came.
    Response waitFor(uint64_t id)
    {
        std::unique_lock<std::mutex> lock(mutex);
        Response none;
        none.status = -2;
        auto has = [&] {
            return std::any_of(responses.begin(), responses.end(), [&](const Response &r) { return r.id == id; });
        };
        if (!changed.wait_for(lock, kPatience, has)) return none;
        return *std::find_if(responses.begin(), responses.end(), [&](const Response &r) { return r.id == id; });
    }
    std::vector<uint64_t> ids()
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<uint64_t> out;
        for (const auto &r : responses) out.push_back(r.id);
        return out;
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Response> responses;
    int progressCalls = 0;
    uint64_t lastTotal = 0, maxReceived = 0;
};

// A client of its own per test, with no grace wait unless a test sets one.
class TestWeb : public PkWeb {
public:
    TestWeb() { graceMs = 0; }
    void setGraceMs(long ms)
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        graceMs = ms;
    }
    void setTotalTimeoutMs(long ms) { totalTimeoutMs = ms; }
    void setNextId(uint64_t id)
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        nextId = id;
    }
};

class PkWebTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        web = std::make_shared<TestWeb>();
        listener = std::make_shared<Listener>();
        web->addListener(listener);
    }
    void TearDown() override { web->stop(); }

    uint64_t get(const std::string &base, const std::string &path, uint32_t type = PK_WEB_REQUEST,
                 FILE *file = nullptr)
    {
        return web->request(type, file, base, path, "", "", "", "Test", "1.0", "", "", "", "");
    }

    std::shared_ptr<TestWeb> web;
    std::shared_ptr<Listener> listener;
};

}  // namespace

TEST(PkWebSingleton, OneSharedInstance)
{
    auto a = PkWeb::instance(), b = PkWeb::instance();
    EXPECT_EQ(a.get(), b.get());
}

TEST_F(PkWebTest, RequestIdsCountFromOneAndSkipZero)
{
    // Queued only: the worker never runs.
    EXPECT_EQ(1u, get("http://127.0.0.1:1", ""));
    EXPECT_EQ(2u, get("http://127.0.0.1:1", ""));
    web->setNextId(UINT64_MAX);
    EXPECT_EQ(UINT64_MAX, get("http://127.0.0.1:1", ""));
    EXPECT_EQ(1u, get("http://127.0.0.1:1", ""));
}

TEST_F(PkWebTest, FinishedTransfersCarryCodeBodyAndDigest)
{
    TestServer server(handle);
    struct Case {
        const char *path;
        uint64_t code;
        const std::string &body;
    } cases[] = {
        {"", 200, kHello},              // the base URL alone asks for "/"
        {"update.json", 200, kHello},   // the path follows one "/"
        {"missing", 404, kMissing},     // any HTTP answer is a finished transfer
        {"chunked", 200, kChunked},
        {"redirect", 200, kHello},
    };
    web->start();
    std::vector<uint64_t> ids;
    for (const Case &c : cases) ids.push_back(get(server.base(), c.path));
    for (size_t i = 0; i < ids.size(); i++) {
        const IPkWeb::Response r = listener->waitFor(ids[i]);
        EXPECT_EQ(PK_WEB_FINISHED, r.status) << cases[i].path;
        EXPECT_EQ(cases[i].code, r.responseCode) << cases[i].path;
        EXPECT_EQ(PK_WEB_REQUEST, r.type);
        EXPECT_TRUE(r.body == cases[i].body) << cases[i].path << ": " << r.body.size() << " bytes";
        EXPECT_EQ(sha256_hex(cases[i].body), r.sha256) << cases[i].path;
    }
    EXPECT_EQ(ids, listener->ids());  // one at a time, in queue order
    const auto seen = server.requests();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ("/", seen[0].path);
    EXPECT_EQ("/update.json", seen[1].path);
}

TEST_F(PkWebTest, FailedTransfers)
{
    TestServer server(handle);
    uint16_t closedPort = 0;
    const int spare = listen_loopback(&closedPort);
    ASSERT_GE(spare, 0);
    close(spare);  // nothing listens there now

    struct Case {
        const char *name;
        uint32_t type;
        std::string base, path;
        int32_t status;
    } cases[] = {
        {"no answer", PK_WEB_REQUEST, server.base(), "close", PK_WEB_FAILED},
        {"refused", PK_WEB_REQUEST, "http://127.0.0.1:" + std::to_string(closedPort), "", PK_WEB_REFUSED},
        {"redirect to a file", PK_WEB_REQUEST, server.base(), "redirect-file", PK_WEB_FAILED},
        {"not a web scheme", PK_WEB_REQUEST, "file:///etc", "hostname", PK_WEB_FAILED},
        {"type 0", 0, server.base(), "ok", PK_WEB_FAILED},
    };
    web->start();
    for (const Case &c : cases) {
        const IPkWeb::Response r = listener->waitFor(get(c.base, c.path, c.type));
        EXPECT_EQ(c.status, r.status) << c.name;
        EXPECT_EQ(0u, r.responseCode) << c.name;
        EXPECT_EQ("", r.body) << c.name;
    }
    for (const auto &r : server.requests()) EXPECT_NE("/ok", r.path);  // type 0 never went out
}

TEST_F(PkWebTest, RequestHeaders)
{
    TestServer server(handle);
    web->start();
    const uint64_t post = web->request(PK_WEB_REQUEST, nullptr, server.base(), "echo", "a=1&b=two", "Linux", "6.1",
                                       "App", "2.5", "", "user", "secret", "");
    const uint64_t noPassword =
        web->request(PK_WEB_REQUEST, nullptr, server.base(), "echo", "", "", "", "App", "2.5", "", "user", "", "");
    const uint64_t ownAgent = web->request(PK_WEB_REQUEST, nullptr, server.base(), "echo", "", "Linux", "", "App",
                                           "2.5", "", "", "", "Custom/9");
    ASSERT_EQ(PK_WEB_FINISHED, listener->waitFor(post).status);
    ASSERT_EQ(PK_WEB_FINISHED, listener->waitFor(noPassword).status);
    ASSERT_EQ(PK_WEB_FINISHED, listener->waitFor(ownAgent).status);

    auto seen = server.requests();
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ("POST", seen[0].method);
    EXPECT_EQ("a=1&b=two", seen[0].body);
    EXPECT_EQ("application/x-www-form-urlencoded", seen[0].headers["content-type"]);
    EXPECT_EQ("App/2.5 (Linux; 6.1)", seen[0].headers["user-agent"]);
    EXPECT_EQ("Basic dXNlcjpzZWNyZXQ=", seen[0].headers["authorization"]);  // user:secret
    EXPECT_EQ("identity", seen[0].headers["accept-encoding"]);

    EXPECT_EQ("GET", seen[1].method);
    EXPECT_EQ(0u, seen[1].headers.count("authorization"));  // a user without a password
    EXPECT_EQ("App/2.5", seen[1].headers["user-agent"]);
    EXPECT_EQ("Custom/9", seen[2].headers["user-agent"]);
}

TEST_F(PkWebTest, DownloadIntoFileReportsProgress)
{
    TestServer server(handle);
    FILE *file = tmpfile();
    ASSERT_NE(nullptr, file);
    web->start();
    const IPkWeb::Response r = listener->waitFor(get(server.base(), "sized", PK_WEB_DOWNLOAD, file));
    EXPECT_EQ(PK_WEB_FINISHED, r.status);
    EXPECT_EQ(200u, r.responseCode);
    EXPECT_EQ("", r.body);
    EXPECT_EQ(sha256_hex(kSized), r.sha256);

    std::string written(kSized.size() + 1, '\0');
    rewind(file);
    written.resize(fread(written.data(), 1, written.size(), file));
    fclose(file);
    EXPECT_TRUE(written == kSized) << written.size() << " bytes written";

    std::lock_guard<std::mutex> lock(listener->mutex);
    EXPECT_GT(listener->progressCalls, 0);
    EXPECT_EQ(kSized.size(), listener->lastTotal);
    EXPECT_EQ(kSized.size(), listener->maxReceived);
}

TEST_F(PkWebTest, MemoryRequestsReportNoProgress)
{
    TestServer server(handle);
    web->start();
    ASSERT_EQ(PK_WEB_FINISHED, listener->waitFor(get(server.base(), "sized")).status);
    std::lock_guard<std::mutex> lock(listener->mutex);
    EXPECT_EQ(0, listener->progressCalls);
}

TEST_F(PkWebTest, TotalTimeOutOnlyForOrdinaryRequests)
{
    TestServer server(handle);
    web->setTotalTimeoutMs(300);  // the trickle takes about two seconds
    web->start();
    const IPkWeb::Response cut = listener->waitFor(get(server.base(), "trickle"));
    EXPECT_EQ(PK_WEB_UNREACHABLE, cut.status);
    EXPECT_EQ(0u, cut.responseCode);

    FILE *file = tmpfile();
    ASSERT_NE(nullptr, file);
    const IPkWeb::Response whole = listener->waitFor(get(server.base(), "trickle", PK_WEB_DOWNLOAD, file));
    fclose(file);
    EXPECT_EQ(PK_WEB_FINISHED, whole.status);
    EXPECT_EQ(sha256_hex(kTrickle), whole.sha256);
}

TEST_F(PkWebTest, CancelRunningAndQueuedRequests)
{
    TestServer server(handle);
    web->start();
    const uint64_t running = get(server.base(), "slow");
    ASSERT_TRUE(server.waitForPath("/slow"));
    const uint64_t queued = get(server.base(), "ok");
    web->cancel(queued);   // taken at the worker's next round
    web->cancel(running);  // the running transfer ends at once
    const IPkWeb::Response r = listener->waitFor(running);
    EXPECT_EQ(PK_WEB_CANCELLED, r.status);
    EXPECT_EQ(0u, r.responseCode);
    EXPECT_EQ(sha256_hex(r.body), r.sha256);  // the digest of what did arrive

    // Requests run in order: once a later one is answered, the cancelled
    // one would have been too.
    const uint64_t later = get(server.base(), "ok");
    EXPECT_EQ(PK_WEB_FINISHED, listener->waitFor(later).status);
    EXPECT_EQ((std::vector<uint64_t>{running, later}), listener->ids());
    for (const auto &request : server.requests()) EXPECT_EQ(1, request.path == "/slow" || request.path == "/ok");
    EXPECT_EQ(2u, server.requests().size());

    web->cancel(0);  // nothing to do
}

TEST_F(PkWebTest, CancellationEndsTheGraceWait)
{
    TestServer server(handle);
    web->setGraceMs(10 * 60 * 1000);
    web->start();
    const uint64_t id = get(server.base(), "ok");
    // Mostly the worker has taken the request into its grace wait by now;
    // if not, the cancellation removes it from the queue instead.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    web->cancel(id);
    web->setGraceMs(0);
    // A worker left in the ten-minute grace wait would never answer this.
    const uint64_t next = get(server.base(), "ok");
    EXPECT_EQ(PK_WEB_FINISHED, listener->waitFor(next).status);
    std::lock_guard<std::mutex> lock(listener->mutex);
    for (const auto &r : listener->responses) {
        if (r.id == id) {
            EXPECT_EQ(PK_WEB_CANCELLED, r.status);
        }
    }
}

TEST_F(PkWebTest, StopDuringTransferDeliversNothing)
{
    TestServer server(handle);
    web->start();
    get(server.base(), "slow");
    ASSERT_TRUE(server.waitForPath("/slow"));
    web->stop();  // ends the transfer within one poll step
    web->stop();  // a second stop is harmless
    EXPECT_TRUE(listener->ids().empty());
}

TEST_F(PkWebTest, ListenerAddedTwiceIsRemovedOnce)
{
    TestServer server(handle);
    web->addListener(listener);
    web->start();
    const uint64_t first = get(server.base(), "ok");
    listener->waitFor(first);
    web->removeListener(listener);
    const uint64_t second = get(server.base(), "ok");
    listener->waitFor(second);
    web->removeListener(listener);
    EXPECT_TRUE(web->listenersCopy().empty());
    EXPECT_EQ((std::vector<uint64_t>{first, first, second}), listener->ids());
}

// A TLS server whose certificate nobody trusts: the client must refuse it.
TEST_F(PkWebTest, UntrustedCertificateIsRefused)
{
    EVP_PKEY *key = EVP_EC_gen("P-256");
    ASSERT_NE(nullptr, key);
    X509 *cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, key);
    X509_NAME *name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("127.0.0.1"), -1,
                               -1, 0);
    X509_set_issuer_name(cert, name);
    ASSERT_GT(X509_sign(cert, key, EVP_sha256()), 0);
    SSL_CTX *context = SSL_CTX_new(TLS_server_method());
    ASSERT_EQ(1, SSL_CTX_use_certificate(context, cert));
    ASSERT_EQ(1, SSL_CTX_use_PrivateKey(context, key));

    uint16_t port = 0;
    const int listener_fd = listen_loopback(&port);
    ASSERT_GE(listener_fd, 0);
    std::atomic<bool> stopping{false}, handshake{false}, connected{false};
    std::thread server([&] {
        const int fd = accept_until(listener_fd, stopping);
        if (fd < 0) return;
        connected = true;
        SSL *ssl = SSL_new(context);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) {
            handshake = true;
            const std::string reply = answer(200, "OK", kHello);
            SSL_write(ssl, reply.data(), int(reply.size()));
        }
        SSL_free(ssl);
        close(fd);
    });

    web->start();
    const IPkWeb::Response r = listener->waitFor(get("https://127.0.0.1:" + std::to_string(port), "ok"));
    stopping = true;
    server.join();
    close(listener_fd);
    SSL_CTX_free(context);
    X509_free(cert);
    EVP_PKEY_free(key);

    EXPECT_TRUE(connected);
    EXPECT_FALSE(handshake);
    EXPECT_EQ(PK_WEB_FAILED, r.status);
    EXPECT_EQ(0u, r.responseCode);
    EXPECT_EQ("", r.body);
}
