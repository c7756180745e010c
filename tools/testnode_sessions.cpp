#include "testnode_sessions.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/sha256.h"
#include "core/store.h"
#include "flowmesh/access.h"
#include "flowmesh/control.h"
#include "flowmesh/core.h"
#include "flowmesh/session.h"
#include "testnode_common.h"

namespace {

using testnode::address_text;
using testnode::emit;
using testnode::hex_of;

// Numbered payloads: magic, number, length, then pattern bytes.
constexpr uint32_t kMagic = 0x56544D53;
constexpr size_t kHeader = 12;

uint8_t pattern_byte(uint32_t number, size_t i)
{
    return static_cast<uint8_t>(number * 31u + i * 7u + (i >> 8));
}

std::vector<uint8_t> numbered(uint32_t number, size_t length)
{
    std::vector<uint8_t> v(length < kHeader ? kHeader : length);
    const uint32_t words[3] = {kMagic, number, static_cast<uint32_t>(v.size())};
    memcpy(v.data(), words, sizeof(words));
    for (size_t i = kHeader; i < v.size(); ++i) v[i] = pattern_byte(number, i);
    return v;
}

bool numbered_exact(const uint8_t *data, uint64_t length)
{
    if (length < kHeader) return false;
    uint32_t words[3];
    memcpy(words, data, sizeof(words));
    if (words[0] != kMagic || words[2] != length) return false;
    for (uint64_t i = kHeader; i < length; ++i)
        if (data[i] != pattern_byte(words[1], i)) return false;
    return true;
}

struct Received {
    uint32_t kind = 0;  // of the stream, once its state was reported
    uint64_t count = 0;
    uint64_t bytes = 0;
    uint64_t exact = 0;
    uint64_t corrupt = 0;
    uint64_t first_ms = 0;
    uint64_t last_ms = 0;
    CoreSha256 sha = {};
    bool hashing = false;
};

std::mutex g_mutex;
std::map<std::string, Received> g_received;
std::atomic<uint64_t> g_started_ms{0};

std::string fingerprint(const FlowmeshKeyBlob &key)
{
    return testnode::sha_hex(key.key, key.length <= sizeof(key.key) ? key.length : 0, 8);
}

// The first live session's name, or false.
bool first_session(CoreName *out)
{
    FlowmeshCore *core = flowmesh_core_acquire();
    if (core == nullptr) return false;
    CoreStoreItem *item = core_store_first(core->sessions);
    if (item != nullptr) {
        *out = reinterpret_cast<FlowmeshSession *>(item)->name;
        core_store_unref(core->sessions);  // the walk's reference
    }
    flowmesh_core_release(core);
    return item != nullptr;
}

// ---- events ----

int on_session(void *record, FlowmeshStreamAnswer *)
{
    auto *e = static_cast<FlowmeshSessionEvent *>(record);
    const char *states[] = {"up", "down", "unreachable"};
    const char *state = e->info->state < 3 ? states[e->info->state] : "other";
    long long setup = -1, service = -1;
    if (e->info->state == FLOWMESH_SESSION_UP) {
        FlowmeshCore *core = flowmesh_core_acquire();
        if (FlowmeshSession *s = flowmesh_session_find(core, &e->session)) {
            const uint64_t opened = s->service_open_ms.load();
            setup = static_cast<long long>(core_clock_mono_ms() - s->created_ms);
            if (opened != 0) service = static_cast<long long>(opened - s->created_ms);
            core_store_unref(core->sessions);
        }
        flowmesh_core_release(core);
    }
    emit("{\"event\":\"session\",\"state\":\"%s\",\"session\":\"%s\",\"peer\":\"%s:%u\",\"peer_node\":\"%s\","
         "\"peer_mode\":%u,\"service_open_ms\":%lld,\"up_ms\":%lld,\"t_ms\":%llu}",
         state, hex_of(e->session.key, 8).c_str(), address_text(e->info->peer_address).c_str(),
         ntohs(e->info->peer_port), e->peer_node.text, e->info->peer_mode, service, setup,
         static_cast<unsigned long long>(core_clock_mono_ms() - g_started_ms.load()));
    return 0;
}

int on_state(void *record, FlowmeshStreamAnswer *)
{
    auto *e = static_cast<FlowmeshStreamStateEvent *>(record);
    const char *states[] = {"accepted", "opened", "ended", "closed"};
    std::string key = "";
    if (e->state == FLOWMESH_STREAM_OPENED) {
        FlowmeshCore *core = flowmesh_core_acquire();
        if (FlowmeshSession *s = flowmesh_session_find(core, &e->session)) {
            if (FlowmeshSessionStream *st = flowmesh_session_stream_find(s, &e->kind.stream_name)) {
                key = fingerprint(s->key_role == 1 ? st->peer_key : st->own_key);
                core_store_unref(s->streams);
            }
            core_store_unref(core->sessions);
        }
        flowmesh_core_release(core);
    }
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        g_received[e->kind.stream_name.text].kind = e->kind.kind & 0xFF;
    }
    emit("{\"event\":\"stream\",\"state\":\"%s\",\"stream\":\"%s\",\"kind\":%u,\"key\":\"%s\"}",
         e->state < 4 ? states[e->state] : "other", e->kind.stream_name.text, e->kind.kind & 0xFF, key.c_str());
    return 0;
}

int on_data(void *record, FlowmeshStreamAnswer *)
{
    auto *e = static_cast<FlowmeshStreamEvent *>(record);
    const auto *data = static_cast<const uint8_t *>(e->data);
    const uint64_t now = core_clock_mono_ms();
    std::lock_guard<std::mutex> guard(g_mutex);
    Received &r = g_received[e->stream.text];
    if (r.count == 0) r.first_ms = now;
    r.last_ms = now;
    r.count++;
    r.bytes += e->length;
    if (r.kind == FLOWMESH_STREAM_PACED || r.kind == FLOWMESH_STREAM_MEDIA) {
        (numbered_exact(data, e->length) ? r.exact : r.corrupt)++;
    } else {
        if (!r.hashing) {
            core_sha256_init(&r.sha);
            r.hashing = true;
        }
        core_sha256_update(&r.sha, data, e->length);
    }
    return 0;
}

// Accepts every stream the peer opens, with room for fast transfers.
int on_request(void *, FlowmeshStreamAnswer *answer)
{
    answer->send_buffer = 0x800000;
    answer->receive_buffer = 0x800000;
    core_name_format(&answer->owner_name, "testnode");
    return 1;
}

// ---- commands ----

void command_sessions()
{
    FlowmeshCore *core = flowmesh_core_acquire();
    if (core == nullptr) return;
    int n = 0;
    for (CoreStoreItem *item = core_store_next(core->sessions, nullptr, 1); item != nullptr;
         item = core_store_next(core->sessions, item, 1)) {
        auto *s = reinterpret_cast<FlowmeshSession *>(item);
        emit("{\"event\":\"session_entry\",\"session\":\"%s\",\"peer\":\"%s:%u\",\"up\":%u}",
             hex_of(s->name.key, 8).c_str(), address_text(s->peer_address).c_str(), ntohs(s->peer_port),
             s->flags.load() & FLOWMESH_SESSION_UP_POSTED);
        n++;
    }
    flowmesh_core_release(core);
    emit("{\"event\":\"sessions\",\"count\":%d}", n);
}

void command_open(const char *text)
{
    char kind_text[16], name[40];
    unsigned plain_mbit = 0;
    CoreName session;
    if (sscanf(text, "%15s %32s %u", kind_text, name, &plain_mbit) < 2 || !first_session(&session)) {
        emit("{\"event\":\"error\",\"reason\":\"bad open or no session\"}");
        return;
    }
    FlowmeshStreamParams p = {};
    p.kind.kind = strcmp(kind_text, "paced") == 0 ? FLOWMESH_STREAM_PACED
                  : strcmp(kind_text, "media") == 0 ? FLOWMESH_STREAM_MEDIA
                                                    : FLOWMESH_STREAM_RELIABLE;
    core_name_format(&p.kind.stream_name, "%s", name);
    core_name_format(&p.owner_name, "testnode");
    p.send_buffer = 0x800000;
    p.receive_buffer = 0x800000;
    if (p.kind.kind == FLOWMESH_STREAM_PACED) {
        // Paced at 40 Mbit/s: the paced stream never resends, so a burst
        // the receiving socket cannot hold would simply be lost.
        p.rate = 40'000'000;
    }
    if (p.kind.kind == FLOWMESH_STREAM_RELIABLE) {
        // A lost packet is resent after a fifth of a second rather than
        // the default second; any shorter and the time-out fires before
        // acknowledgements that the receiver delays and the engine's
        // dispatcher batches can arrive, and every flight is resent.
        p.min_rto_ms = 200;
        p.max_rto_ms = 2000;
    }
    if (p.kind.kind == FLOWMESH_STREAM_MEDIA && plain_mbit != 0) {
        // Rate control off: frames leave as fast as they come, within the
        // retention the maximum bitrate gives.
        p.max_bitrate = static_cast<uint64_t>(plain_mbit) * 1'000'000;
    } else if (p.kind.kind == FLOWMESH_STREAM_MEDIA) {
        // Rate control on, with room for four times the synthetic source
        // (about 24 Mbit/s) so that retained chunks cover the resends. The
        // source ignores rate events, so it may not be paced below its own
        // rate: a loaded machine's late reports read as congestion, and a
        // sender cut below what it is given falls behind for good.
        p.flags = 1;
        p.frame_rate[0] = 30;
        p.frame_rate[1] = 1;
        p.second_frame_rate[0] = 30;
        p.second_frame_rate[1] = 1;
        p.min_bitrate = 32'000'000;
        p.max_bitrate = 200'000'000;
    }
    emit("{\"event\":\"open\",\"stream\":\"%s\",\"result\":%d}", name, flowmesh_session_open_stream(&session, &p));
}

// Sends one payload, retrying while the stream has no room; false after
// `patience_ms` without progress or on a failure.
bool send_whole(const CoreName &session, const CoreName &stream, uint32_t flags, const uint8_t *data, uint64_t length,
                uint64_t patience_ms, bool partial_ok)
{
    uint64_t at = 0;
    uint64_t last_progress = core_clock_mono_ms();
    while (at < length || length == 0) {
        uint64_t n = length - at;
        const CoreResult r = flowmesh_session_send(&session, &stream, flags, data + at, &n);
        if (r < 0) return false;
        if (r == CORE_OK && (n > 0 || length == 0)) {
            if (!partial_ok) return true;
            at += n;
            last_progress = core_clock_mono_ms();
            if (length == 0) return true;
            continue;
        }
        if (core_clock_mono_ms() - last_progress > patience_ms) return false;
        core_sleep_ms(1);
    }
    return true;
}

void command_forward(const char *text)
{
    unsigned long long length = 0;
    CoreName session;
    if (sscanf(text, "%llu", &length) != 1 || length > FLOWMESH_CONTROL_FORWARD_MAX || !first_session(&session)) {
        emit("{\"event\":\"error\",\"reason\":\"bad forward or no session\"}");
        return;
    }
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = pattern_byte(1, i);
    CoreName service;
    core_name_format(&service, "%s", FLOWMESH_SERVICE_STREAM);
    const bool ok = send_whole(session, service, 0, bytes.data(), bytes.size(), 5000, false);
    emit("{\"event\":\"forwarded\",\"length\":%llu,\"ok\":%d,\"sha\":\"%s\"}", length, ok ? 1 : 0,
         testnode::sha_hex(bytes.data(), bytes.size(), 16).c_str());
}

void command_messages(const char *text)
{
    char name[40];
    unsigned count = 0, length = 0;
    CoreName session;
    if (sscanf(text, "%32s %u %u", name, &count, &length) != 3 || length > 0x100000 || !first_session(&session)) {
        emit("{\"event\":\"error\",\"reason\":\"bad messages or no session\"}");
        return;
    }
    CoreName stream;
    core_name_format(&stream, "%s", name);
    unsigned refused = 0;
    const uint64_t start = core_clock_mono_ms();
    for (unsigned i = 0; i < count; ++i) {
        const std::vector<uint8_t> m = numbered(i, length);
        if (!send_whole(session, stream, 0, m.data(), m.size(), 2000, false)) refused++;
    }
    emit("{\"event\":\"messages_sent\",\"stream\":\"%s\",\"count\":%u,\"refused\":%u,\"ms\":%llu}", name, count,
         refused, static_cast<unsigned long long>(core_clock_mono_ms() - start));
}

void command_frames(const char *text)
{
    char name[40];
    unsigned seconds = 0;
    CoreName session;
    if (sscanf(text, "%32s %u", name, &seconds) != 2 || seconds > 3600 || !first_session(&session)) {
        emit("{\"event\":\"error\",\"reason\":\"bad frames or no session\"}");
        return;
    }
    CoreName stream;
    core_name_format(&stream, "%s", name);
    const unsigned total = seconds * 30;
    unsigned refused = 0;
    const uint64_t start = core_clock_mono_ms();
    for (unsigned i = 0; i < total; ++i) {
        const size_t length = 2000 + (static_cast<size_t>(i) * 7919u) % 198000u;
        const std::vector<uint8_t> frame = numbered(i, length);
        uint64_t n = frame.size();
        if (flowmesh_session_send(&session, &stream, i % 30 == 0 ? 1 : 0, frame.data(), &n) != CORE_OK) refused++;
        const uint64_t due = start + (static_cast<uint64_t>(i) + 1) * 1000 / 30;
        const uint64_t now = core_clock_mono_ms();
        if (due > now) core_sleep_ms(due - now);
    }
    emit("{\"event\":\"frames_sent\",\"stream\":\"%s\",\"count\":%u,\"refused\":%u}", name, total, refused);
}

// Frames of LENGTH as fast as the stream takes them, for SECONDS.
void command_blast(const char *text)
{
    char name[40];
    unsigned seconds = 0, length = 0;
    CoreName session;
    if (sscanf(text, "%32s %u %u", name, &seconds, &length) != 3 || seconds > 600 || length > 0x1000000 ||
        !first_session(&session)) {
        emit("{\"event\":\"error\",\"reason\":\"bad blast or no session\"}");
        return;
    }
    CoreName stream;
    core_name_format(&stream, "%s", name);
    const uint64_t end = core_clock_mono_ms() + seconds * 1000ull;
    uint64_t sent = 0, refused = 0;
    for (uint32_t i = 0; core_clock_mono_ms() < end; ++i) {
        const std::vector<uint8_t> frame = numbered(i, length);
        uint64_t n = frame.size();
        if (flowmesh_session_send(&session, &stream, i % 30 == 0 ? 1 : 0, frame.data(), &n) == CORE_OK) {
            sent++;
        } else {
            refused++;
            core_sleep_ms(1);
        }
    }
    emit("{\"event\":\"blast_sent\",\"stream\":\"%s\",\"count\":%llu,\"refused\":%llu}", name,
         static_cast<unsigned long long>(sent), static_cast<unsigned long long>(refused));
}

void command_file(const char *text)
{
    char name[40], path[256];
    CoreName session;
    if (sscanf(text, "%32s %255s", name, path) != 2 || !first_session(&session)) {
        emit("{\"event\":\"error\",\"reason\":\"bad file or no session\"}");
        return;
    }
    FILE *f = fopen(path, "rb");
    if (f == nullptr) {
        emit("{\"event\":\"error\",\"reason\":\"cannot read the file\"}");
        return;
    }
    std::vector<uint8_t> bytes;
    uint8_t buffer[1 << 16];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    fclose(f);
    CoreName stream;
    core_name_format(&stream, "%s", name);
    const uint64_t start = core_clock_mono_ms();
    const bool ok = send_whole(session, stream, 0, bytes.data(), bytes.size(), 30000, true);
    emit("{\"event\":\"file_sent\",\"stream\":\"%s\",\"bytes\":%zu,\"ok\":%d,\"ms\":%llu,\"sha\":\"%s\"}", name,
         bytes.size(), ok ? 1 : 0, static_cast<unsigned long long>(core_clock_mono_ms() - start),
         testnode::sha_hex(bytes.data(), bytes.size(), 16).c_str());
}

void command_stats(const char *name)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    Received &r = g_received[name];
    std::string sha;
    if (r.hashing) {
        CoreSha256 copy = r.sha;
        uint8_t digest[CORE_SHA256_DIGEST_SIZE];
        core_sha256_final(&copy, digest);
        sha = hex_of(digest, 16);
    }
    emit("{\"event\":\"stats\",\"stream\":\"%s\",\"count\":%llu,\"bytes\":%llu,\"exact\":%llu,\"corrupt\":%llu,"
         "\"ms\":%llu,\"sha\":\"%s\"}",
         name, (unsigned long long)r.count, (unsigned long long)r.bytes, (unsigned long long)r.exact,
         (unsigned long long)r.corrupt, (unsigned long long)(r.last_ms - r.first_ms), sha.c_str());
}

void command_close_stream(const char *name)
{
    CoreName session, stream;
    if (!first_session(&session)) return;
    core_name_format(&stream, "%s", name);
    flowmesh_stream_close(&session, &stream);
    emit("{\"event\":\"close_requested\",\"stream\":\"%s\"}", name);
}

void command_block(const char *text)
{
    CoreName node;
    core_name_format(&node, "%.32s", text);
    emit("{\"event\":\"blocked\",\"node\":\"%s\",\"result\":%d}", text, flowmesh_block_node(&node));
}

void command_disconnect(const char *text)
{
    CoreUdpAddr address;
    if (!testnode::parse_endpoint(text, &address)) {
        emit("{\"event\":\"error\",\"reason\":\"bad endpoint\"}");
        return;
    }
    emit("{\"event\":\"disconnect\",\"result\":%d}", flowmesh_disconnect_address(address.address, address.port));
}

}  // namespace

int testnode_run_sessions(const FlowmeshConfig *config)
{
    g_started_ms = core_clock_mono_ms();
    if (flowmesh_core_create(config) != CORE_OK) {
        emit("{\"event\":\"error\",\"reason\":\"the core was not made\"}");
        return 1;
    }
    const FlowmeshCallbacks session = {on_session, {0, 0}}, data = {on_data, {0, 0}}, state = {on_state, {0, 0}},
                            request = {on_request, {0, 0}};
    flowmesh_register_session_callbacks(&session);
    flowmesh_register_data_callbacks(&data);
    flowmesh_register_state_callbacks(&state);
    flowmesh_register_request_callbacks(&request);
    if (flowmesh_set_state(FLOWMESH_NETWORK_STARTED) != CORE_OK) {
        emit("{\"event\":\"error\",\"reason\":\"the network did not start\"}");
        flowmesh_core_destroy();
        return 1;
    }
    emit("{\"event\":\"started\",\"mode\":\"sessions\"}");

    char line[512];
    while (fgets(line, sizeof(line), stdin) != nullptr) {
        line[strcspn(line, "\r\n")] = '\0';
        if (strcmp(line, "quit") == 0) break;
        if (strcmp(line, "sessions") == 0)
            command_sessions();
        else if (strncmp(line, "open ", 5) == 0)
            command_open(line + 5);
        else if (strncmp(line, "forward ", 8) == 0)
            command_forward(line + 8);
        else if (strncmp(line, "messages ", 9) == 0)
            command_messages(line + 9);
        else if (strncmp(line, "frames ", 7) == 0)
            command_frames(line + 7);
        else if (strncmp(line, "blast ", 6) == 0)
            command_blast(line + 6);
        else if (strncmp(line, "file ", 5) == 0)
            command_file(line + 5);
        else if (strncmp(line, "stats ", 6) == 0)
            command_stats(line + 6);
        else if (strncmp(line, "close_stream ", 13) == 0)
            command_close_stream(line + 13);
        else if (strncmp(line, "block ", 6) == 0)
            command_block(line + 6);
        else if (strncmp(line, "disconnect ", 11) == 0)
            command_disconnect(line + 11);
        else if (line[0] != '\0')
            emit("{\"event\":\"error\",\"reason\":\"unknown command\"}");
    }
    flowmesh_set_state(FLOWMESH_NETWORK_STOPPED);
    flowmesh_core_destroy();
    emit("{\"event\":\"stopped\"}");
    return 0;
}
