// The process-wide HTTP(S) client of the interface side.
//
// PkWeb queues requests (a URL, an optional form body, basic
// authentication, a user agent, and a destination: memory or a file the
// caller opened) and hands back an id at once. One worker thread, started
// and stopped by the application shell, performs them one after the other
// with libcurl and delivers each result, with the SHA-256 of every byte
// received, to every IPkWeb listener; a transfer into a file also reports
// its progress. Listeners are called on the worker thread, from a copy of
// the list and with no lock held, and must move their work to their own
// thread. request, cancel and the listener calls may come from any thread.
//
// Only http and https are spoken, also when a server redirects. Transfer
// errors come back as the response's status, never as exceptions.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "services/digest.h"

// Request types.
#define PK_WEB_REQUEST 1   // ordinary request with a total time-out
#define PK_WEB_DOWNLOAD 2  // download without a total time-out

// Response statuses.
#define PK_WEB_FINISHED 0     // responseCode tells how the server answered
#define PK_WEB_CANCELLED 1
#define PK_WEB_REFUSED 2      // connection refused or remote access denied
#define PK_WEB_UNREACHABLE 3  // host name not resolved, or timed out
#define PK_WEB_FAILED (-1)    // anything else, also a stop during the transfer

class IPkWeb {
public:
    struct Response {
        uint64_t id = 0;
        uint32_t type = 0;
        int32_t status = PK_WEB_FAILED;
        uint64_t responseCode = 0;  // 0 when the server gave none
        std::string body;           // empty when the request went to a file
        std::string sha256;         // 64 upper-case hex digits; empty when not made
    };

    virtual ~IPkWeb() {}
    virtual void onWebResponse(const Response &response) = 0;
    // Transfers into a file only: bytes expected (0 while unknown) and
    // bytes received so far.
    virtual void onWebProgress(uint64_t total, uint64_t received) = 0;
};

struct PkWebRequest {
    FILE *sink = nullptr;  // the caller's open file; null keeps the body in memory
    uint64_t id = 0;
    uint32_t type = 0;     // 0 is never performed
    std::string url;
    std::string postBody;  // non-empty makes the request a POST
    std::string osName;
    std::string osVersion;
    std::string appId;
    std::string appVersion;
    std::string extra;
    std::string user;
    std::string password;
    std::string userAgent;  // built from the fields above when empty
};

size_t pk_web_write_callback(char *data, size_t size, size_t count, void *web);
int pk_web_progress_callback(void *web, curl_off_t total, curl_off_t received, curl_off_t, curl_off_t);

class PkWeb : public std::enable_shared_from_this<PkWeb> {
public:
    static std::shared_ptr<PkWeb> instance();
    PkWeb(const PkWeb &) = delete;
    PkWeb &operator=(const PkWeb &) = delete;
    // Stops a worker the shell left running; then libcurl's global clean-up.
    virtual ~PkWeb();

    // Queues a request for baseUrl + "/" + path (the base alone when the
    // path is empty) and returns its id, never 0.
    uint64_t request(uint32_t type, FILE *sink, const std::string &baseUrl, const std::string &path,
                     const std::string &postBody, const std::string &osName, const std::string &osVersion,
                     const std::string &appId, const std::string &appVersion, const std::string &extra,
                     const std::string &user, const std::string &password, const std::string &userAgent);

    // A queued request is removed without a response; the running one ends
    // with status PK_WEB_CANCELLED. Returns once the worker has taken the
    // cancellation, or after one second.
    void cancel(uint64_t id);

    void addListener(std::shared_ptr<IPkWeb> listener);
    // Removes the first registration of this object.
    void removeListener(const std::shared_ptr<IPkWeb> &listener);
    std::vector<std::shared_ptr<IPkWeb>> listenersCopy();

    // The shell's start-up and shut-down of the worker. A stop during a
    // transfer ends it without a response; a stop while waiting drops every
    // queued request. stop() from the worker itself does not join.
    void start();
    void stop();

    // The worker loop.
    void run();
    // Performs one request on the worker's multi handle.
    void perform(CURLM *multi, const PkWebRequest &request, IPkWeb::Response &response);

protected:
    PkWeb();

    std::mutex listenerMutex;
    std::vector<std::shared_ptr<IPkWeb>> listeners;
    std::atomic<bool> running{false};
    uint64_t nextId = 1;
    PkSha256Holder digest;
    FILE *sink = nullptr;
    std::string body;
    std::vector<PkWebRequest> queue;
    std::vector<uint64_t> cancelled;
    std::thread worker;
    std::mutex queueMutex;
    std::condition_variable wakeup;

    // Waits of the worker. The grace wait gives a caller time to cancel a
    // request it has just queued before any byte goes out.
    long graceMs = 3000;
    long connectTimeoutMs = 15000;
    long totalTimeoutMs = 45000;

    friend size_t pk_web_write_callback(char *, size_t, size_t, void *);
    friend int pk_web_progress_callback(void *, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
};
