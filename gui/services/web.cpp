#include "services/web.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "core/log.h"
#include "services/utils.h"

namespace {

// Polling step of cancel(): 40 rounds of 25 ms bound it to one second.
constexpr int kCancelRounds = 40;
constexpr auto kCancelStep = std::chrono::milliseconds(25);
// The client whose worker this thread is: stop() and the destructor must
// tell their own worker apart without reading `worker`, which start() may
// still be assigning while the new thread already runs.
thread_local const PkWeb *t_workerOf = nullptr;

// The multi handle's socket wait: how soon a cancellation reaches a running
// transfer.
constexpr int kPollMs = 100;
constexpr long kMaxRedirects = 32;

int status_of(CURLcode result)
{
    switch (result) {
    case CURLE_OK:
        return PK_WEB_FINISHED;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_OPERATION_TIMEDOUT:
        return PK_WEB_UNREACHABLE;
    case CURLE_COULDNT_CONNECT:
    case CURLE_REMOTE_ACCESS_DENIED:
        return PK_WEB_REFUSED;
    default:
        return PK_WEB_FAILED;
    }
}

template <class T>
bool contains(const std::vector<T> &items, const T &value)
{
    return std::find(items.begin(), items.end(), value) != items.end();
}

void remove_request(std::vector<PkWebRequest> &queue, uint64_t id)
{
    auto it = std::find_if(queue.begin(), queue.end(), [id](const PkWebRequest &r) { return r.id == id; });
    if (it != queue.end()) queue.erase(it);
}

}  // namespace

std::shared_ptr<PkWeb> PkWeb::instance()
{
    static std::shared_ptr<PkWeb> self(new PkWeb());
    return self->shared_from_this();
}

PkWeb::PkWeb()
{
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK)
        core_log(CORE_LOG_ERROR, "services", "libcurl global initialisation failed");
}

PkWeb::~PkWeb()
{
    // A joinable std::thread would end the process here.
    if (worker.joinable()) {
        if (t_workerOf == this) {
            running = false;
            worker.detach();  // the worker is destroying its own client: it cannot be joined
        } else {
            stop();
        }
    }
    curl_global_cleanup();
}

uint64_t PkWeb::request(uint32_t type, FILE *sinkFile, const std::string &baseUrl, const std::string &path,
                        const std::string &postBody, const std::string &osName, const std::string &osVersion,
                        const std::string &appId, const std::string &appVersion, const std::string &extra,
                        const std::string &user, const std::string &password, const std::string &userAgent)
{
    PkWebRequest item;
    item.sink = sinkFile;
    item.type = type;
    item.url = path.empty() ? baseUrl : baseUrl + "/" + path;
    item.postBody = postBody;
    item.osName = osName;
    item.osVersion = osVersion;
    item.appId = appId;
    item.appVersion = appVersion;
    item.extra = extra;
    item.user = user;
    item.password = password;
    item.userAgent = userAgent;
    uint64_t id;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        id = nextId;
        nextId = id == UINT64_MAX ? 1 : id + 1;
        item.id = id;
        queue.push_back(std::move(item));
    }
    wakeup.notify_one();
    return id;
}

void PkWeb::cancel(uint64_t id)
{
    if (id == 0) return;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        cancelled.push_back(id);
    }
    wakeup.notify_one();
    for (int round = 0; round < kCancelRounds; round++) {
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            if (!contains(cancelled, id)) return;
        }
        std::this_thread::sleep_for(kCancelStep);
    }
}

void PkWeb::addListener(std::shared_ptr<IPkWeb> listener)
{
    std::lock_guard<std::mutex> lock(listenerMutex);
    listeners.push_back(std::move(listener));
}

void PkWeb::removeListener(const std::shared_ptr<IPkWeb> &listener)
{
    std::lock_guard<std::mutex> lock(listenerMutex);
    auto it = std::find_if(listeners.begin(), listeners.end(),
                           [&](const std::shared_ptr<IPkWeb> &l) { return l.get() == listener.get(); });
    if (it != listeners.end()) listeners.erase(it);
}

std::vector<std::shared_ptr<IPkWeb>> PkWeb::listenersCopy()
{
    std::lock_guard<std::mutex> lock(listenerMutex);
    return listeners;
}

void PkWeb::start()
{
    if (worker.joinable()) return;
    running = true;
    try {
        worker = std::thread(&PkWeb::run, this);
    } catch (...) {
        running = false;
        throw;
    }
}

void PkWeb::stop()
{
    {
        // Cleared under the lock so that a worker about to wait sees it.
        std::lock_guard<std::mutex> lock(queueMutex);
        running = false;
    }
    wakeup.notify_one();
    if (t_workerOf == this) {
        core_log(CORE_LOG_WARN, "services", "HTTP client stop on its own worker: not joined");
        return;
    }
    if (worker.joinable()) worker.join();
}

void PkWeb::run()
{
    t_workerOf = this;
    CURLM *multi = curl_multi_init();
    if (multi == nullptr) {
        core_log(CORE_LOG_ERROR, "services", "no libcurl multi handle: HTTP requests stay queued");
        t_workerOf = nullptr;
        return;
    }
    uint64_t currentId = 0;
    PkWebRequest current;
    IPkWeb::Response response;
    while (running) {
        {
            std::unique_lock<std::mutex> lock(queueMutex);
            for (uint64_t id : cancelled) remove_request(queue, id);
            cancelled.clear();
            if (currentId != 0) remove_request(queue, currentId);
            currentId = 0;
            wakeup.wait(lock, [this] { return !queue.empty() || !cancelled.empty() || !running; });
            if (!running) {
                queue.clear();
                cancelled.clear();
                break;
            }
            if (queue.empty()) {
                cancelled.clear();
                continue;
            }
            current = queue.front();
            currentId = current.id;

            // Grace wait; any pending cancellation ends it early.
            wakeup.wait_for(lock, std::chrono::milliseconds(graceMs),
                            [this] { return !cancelled.empty() || !running; });
            if (!running) break;
        }
        perform(multi, current, response);
        if (!running) break;
        for (const auto &listener : listenersCopy()) {
            try {
                listener->onWebResponse(response);
            } catch (const std::exception &error) {
                core_log(CORE_LOG_ERROR, "services", "HTTP response listener threw: %s", error.what());
            } catch (...) {
                core_log(CORE_LOG_ERROR, "services", "HTTP response listener threw");
            }
        }
    }
    curl_multi_cleanup(multi);
    t_workerOf = nullptr;
}

void PkWeb::perform(CURLM *multi, const PkWebRequest &request, IPkWeb::Response &response)
{
    const std::string agent =
        !request.userAgent.empty()
            ? request.userAgent
            : pk_web_user_agent(request.appId, request.appVersion, request.osName, request.osVersion, request.extra);

    response.id = request.id;
    response.type = request.type;
    response.status = PK_WEB_FAILED;
    response.responseCode = 0;
    response.body.clear();
    response.sha256.clear();
    if (request.id == 0 || request.type == 0) return;
    CURL *easy = curl_easy_init();
    if (easy == nullptr) return;

    body.clear();
    sink = request.sink;
    if (pk_sha256_new(&digest) != 0) {
        curl_easy_cleanup(easy);
        sink = nullptr;
        return;
    }

    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    // Only web addresses, also after a redirect: a manifest or a server must
    // not send the client to a local file or another protocol.
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_HEADER, 0L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs);
    if (request.type != PK_WEB_DOWNLOAD) curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, totalTimeoutMs);
    if (!request.postBody.empty()) {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.postBody.size()));
        curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, request.postBody.c_str());
    }
    if (!request.user.empty() && !request.password.empty()) {
        curl_easy_setopt(easy, CURLOPT_HTTPAUTH, long(CURLAUTH_BASIC));
        curl_easy_setopt(easy, CURLOPT_USERNAME, request.user.c_str());
        curl_easy_setopt(easy, CURLOPT_PASSWORD, request.password.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_USERAGENT, agent.c_str());
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "identity");
    if (request.sink != nullptr) {
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, pk_web_progress_callback);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
    }
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, pk_web_write_callback);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);

    if (curl_multi_add_handle(multi, easy) == CURLM_OK) {
        for (;;) {
            int transfers = 0;
            CURLMcode step = curl_multi_perform(multi, &transfers);
            if (step == CURLM_OK && transfers > 0) step = curl_multi_poll(multi, nullptr, 0, kPollMs, nullptr);
            const bool ok = step == CURLM_OK;
            if (ok) {
                std::lock_guard<std::mutex> lock(queueMutex);
                if (contains(cancelled, request.id) &&
                    std::any_of(queue.begin(), queue.end(),
                                [&](const PkWebRequest &r) { return r.id == request.id; })) {
                    response.status = PK_WEB_CANCELLED;
                    break;
                }
            }
            if (ok && running && transfers > 0) continue;
            if (ok && running) {
                CURLcode result = CURLE_FAILED_INIT;  // no finished message counts as a failure
                int left = 0;
                while (CURLMsg *message = curl_multi_info_read(multi, &left))
                    if (message->msg == CURLMSG_DONE && message->easy_handle == easy) result = message->data.result;
                response.status = status_of(result);
                if (result == CURLE_OK) {
                    long code = 0;
                    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
                    response.responseCode = uint64_t(code < 0 ? 0 : code);
                } else {
                    core_log(CORE_LOG_INFO, "services", "HTTP request %llu failed: %s",
                             static_cast<unsigned long long>(request.id),
                             errorText[0] != '\0' ? errorText : curl_easy_strerror(result));
                }
                break;
            }
            response.status = PK_WEB_FAILED;
            break;
        }
        curl_multi_remove_handle(multi, easy);
    }
    curl_easy_cleanup(easy);
    sink = nullptr;
    response.sha256 = pk_sha256_hex(&digest);
    response.body = body;
}

size_t pk_web_write_callback(char *data, size_t size, size_t count, void *user)
{
    auto *web = static_cast<PkWeb *>(user);
    const size_t bytes = size * count;
    // A short count makes libcurl abort the transfer with a write error.
    if (web->digest.context == nullptr) return 0;
    if (pk_sha256_update(&web->digest, data, bytes) != 0) return 0;
    if (web->sink != nullptr) return fwrite(data, 1, bytes, web->sink) == bytes ? bytes : 0;
    try {
        web->body.append(data, bytes);
    } catch (...) {
        return 0;  // no exception may cross libcurl
    }
    return bytes;
}

int pk_web_progress_callback(void *user, curl_off_t total, curl_off_t received, curl_off_t, curl_off_t)
{
    auto *web = static_cast<PkWeb *>(user);
    try {
        for (const auto &listener : web->listenersCopy())
            listener->onWebProgress(uint64_t(total < 0 ? 0 : total), uint64_t(received < 0 ? 0 : received));
    } catch (const std::exception &error) {
        core_log(CORE_LOG_ERROR, "services", "HTTP progress listener threw: %s", error.what());
    } catch (...) {
        core_log(CORE_LOG_ERROR, "services", "HTTP progress listener threw");
    }
    return 0;
}
