// The STUN probe's requests, response walk and probe state.
#include "flowmesh/stun.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/clock.h"
#include "core/log.h"

namespace {

enum : uint16_t {
    kBindingRequest = 0x0001,
    kMappedAddress = 0x0001,
    kResponseAddress = 0x0002,
    kChangeRequest = 0x0003,
    kSourceAddress = 0x0004,
    kChangedAddress = 0x0005,
    kReflectedFrom = 0x000B,
    kXorMappedAddress = 0x8020,
    kServer = 0x8022,
    kOtherAddress = 0x8050,
};

// Tags and change flags of tests 1 to 5; tests 4 and 5 get their
// destinations from the answer to test 1.
constexpr uint8_t kTags[FLOWMESH_STUN_TESTS] = {0x87, 0x97, 0xA7, 0xB7, 0xC7};
constexpr uint32_t kChange[FLOWMESH_STUN_TESTS] = {0, FLOWMESH_STUN_CHANGE_PORT, FLOWMESH_STUN_CHANGE_IP, 0, 0};
constexpr int kSocket[FLOWMESH_STUN_TESTS] = {0, 1, 1, 0, 0};

uint16_t get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
void put16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

// An address value: byte 1 the family, then port and IPv4, kept in network
// order. CORE_DONE for another family (an IPv6 answer is not an error).
CoreResult read_address(const uint8_t *value, uint16_t length, CoreUdpAddr *out)
{
    if (length < 8) return CORE_ERR_INVALID;
    if (value[1] != 1) return CORE_DONE;
    memcpy(&out->port, value + 2, 2);
    memcpy(&out->address, value + 4, 4);
    return CORE_OK;
}

bool same(const CoreUdpAddr &a, const CoreUdpAddr &b) { return a.address == b.address && a.port == b.port; }

int test_of(const FlowmeshStunState *state, const uint8_t *id)
{
    for (int t = 0; t < FLOWMESH_STUN_TESTS; ++t) {
        const FlowmeshStunTest &test = state->tests[t];
        if (id[0] != test.tag) continue;
        const uint32_t kept = test.ids_issued < FLOWMESH_STUN_IDS_KEPT ? test.ids_issued : FLOWMESH_STUN_IDS_KEPT;
        for (uint32_t k = 0; k < kept; ++k)
            if (memcmp(test.ids[k], id, FLOWMESH_STUN_ID_BYTES) == 0) return t;
    }
    return -1;
}

}  // namespace

void flowmesh_stun_build_request(uint8_t out[FLOWMESH_STUN_REQUEST_BYTES], uint8_t tag, uint32_t change_flags,
                                 const uint8_t id[FLOWMESH_STUN_ID_BYTES])
{
    put16(out, kBindingRequest);
    put16(out + 2, FLOWMESH_STUN_REQUEST_BYTES - FLOWMESH_STUN_HEADER_BYTES);
    memcpy(out + 4, id, FLOWMESH_STUN_ID_BYTES);
    out[4] = tag;
    put16(out + 20, kChangeRequest);
    put16(out + 22, 4);
    out[24] = static_cast<uint8_t>(change_flags >> 24);
    out[25] = static_cast<uint8_t>(change_flags >> 16);
    out[26] = static_cast<uint8_t>(change_flags >> 8);
    out[27] = static_cast<uint8_t>(change_flags);
}

CoreResult flowmesh_stun_parse(const uint8_t *data, uint64_t length, FlowmeshStunResponse *out)
{
    if (data == nullptr || out == nullptr) return CORE_ERR_INVALID;
    *out = {};
    // A datagram longer than the receive buffer is refused, never read cut.
    if (length < FLOWMESH_STUN_HEADER_BYTES || length > FLOWMESH_STUN_BUFFER_BYTES) return CORE_ERR_INVALID;
    if (get16(data + 2) != length - FLOWMESH_STUN_HEADER_BYTES) return CORE_ERR_INVALID;
    memcpy(out->transaction, data + 4, FLOWMESH_STUN_ID_BYTES);
    uint64_t at = FLOWMESH_STUN_HEADER_BYTES;
    while (at < length) {
        if (length - at < 4) return CORE_ERR_INVALID;
        const uint16_t type = get16(data + at);
        const uint16_t size = get16(data + at + 2);
        const uint8_t *value = data + at + 4;
        if (size > length - at - 4) return CORE_ERR_INVALID;
        CoreUdpAddr *address = nullptr;
        CoreUdpAddr unused;
        uint32_t seen = 0;
        switch (type) {
        case kMappedAddress: address = &out->mapped; seen = FLOWMESH_STUN_SEEN_MAPPED; break;
        case kSourceAddress: address = &out->source; seen = FLOWMESH_STUN_SEEN_SOURCE; break;
        case kChangedAddress: address = &out->changed; seen = FLOWMESH_STUN_SEEN_CHANGED; break;
        case kXorMappedAddress: address = &out->xor_mapped; seen = FLOWMESH_STUN_SEEN_XOR_MAPPED; break;
        case kResponseAddress:
        case kReflectedFrom:
        case kOtherAddress: address = &unused; break;
        case kServer:
            // Padding is not part of the text; any length that leaves room
            // for the terminator is kept.
            if (size < FLOWMESH_STUN_SERVER_TEXT) {
                memcpy(out->server, value, size);
                out->server[size] = '\0';
                out->seen |= FLOWMESH_STUN_SEEN_SERVER;
            }
            break;
        default: break;
        }
        if (address != nullptr) {
            const CoreResult read = read_address(value, size, address);
            if (read == CORE_ERR_INVALID) return CORE_ERR_INVALID;
            if (read == CORE_OK) out->seen |= seen;
        }
        // RFC 5389 pads every value to a multiple of 4; the last one may
        // come without its padding.
        const uint64_t step = 4 + ((static_cast<uint64_t>(size) + 3) & ~3ull);
        at = step > length - at ? length : at + step;
    }
    return CORE_OK;
}

void flowmesh_stun_state_init(FlowmeshStunState *state, const CoreUdpAddr *server,
                              void (*random)(uint8_t *bytes, uint64_t length))
{
    *state = {};
    state->pending = 4;
    state->server = *server;
    for (int t = 0; t < FLOWMESH_STUN_TESTS; ++t) {
        FlowmeshStunTest &test = state->tests[t];
        test.tag = kTags[t];
        test.change_flags = kChange[t];
        test.socket = kSocket[t];
        test.destination = t < 3 ? *server : CoreUdpAddr{};
        test.pending = t < 3;
        uint8_t id[FLOWMESH_STUN_ID_BYTES];
        random(id, sizeof(id));
        flowmesh_stun_redraw(state, t, id);
    }
}

void flowmesh_stun_redraw(FlowmeshStunState *state, int index, const uint8_t id[FLOWMESH_STUN_ID_BYTES])
{
    if (index < 0 || index >= FLOWMESH_STUN_TESTS) return;
    FlowmeshStunTest &test = state->tests[index];
    flowmesh_stun_build_request(test.request, test.tag, test.change_flags, id);
    memcpy(test.ids[test.ids_issued % FLOWMESH_STUN_IDS_KEPT], test.request + 4, FLOWMESH_STUN_ID_BYTES);
    ++test.ids_issued;
}

CoreResult flowmesh_stun_apply(FlowmeshStunState *state, const uint8_t *data, uint64_t length)
{
    FlowmeshStunResponse response;
    const int t = flowmesh_stun_parse(data, length, &response) == CORE_OK ? test_of(state, response.transaction) : -1;
    if (t < 0) {
        ++state->refused;
        return CORE_ERR_INVALID;
    }
    ++state->answered;
    if (response.seen & FLOWMESH_STUN_SEEN_SERVER) memcpy(state->server_text, response.server, sizeof(response.server));
    FlowmeshStunTest &test = state->tests[t];
    if (!test.pending) return CORE_OK;  // a repeat answer changes nothing
    test.pending = false;
    if (t != 0) {
        --state->pending;
        return CORE_OK;
    }
    // Test 1 is answered once: a repeat cannot arm tests 4 and 5 again.
    if (!(response.seen & FLOWMESH_STUN_SEEN_SOURCE) || !same(response.source, state->server)) return CORE_OK;
    state->mapped = response.mapped;
    state->xor_mapped = response.xor_mapped;
    if (response.changed.address != 0 || response.changed.port != 0) {
        state->changed = response.changed;
        state->tests[3].destination = response.changed;
        state->tests[4].destination = response.mapped;
        state->tests[3].pending = state->tests[4].pending = true;
    }
    return CORE_OK;
}

// ---- the client ----

namespace {

const char kModule[] = "flowmesh.stun";

void rand_bytes(uint8_t *bytes, uint64_t length)
{
    for (uint64_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(rand());
}

CoreUdpSocket *open_bound(uint32_t address, CoreUdpAddr *bound)
{
    auto *s = static_cast<CoreUdpSocket *>(calloc(1, sizeof(CoreUdpSocket)));
    if (s == nullptr) return nullptr;
    s->fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    socklen_t length = sizeof(sa);
    if (s->fd < 0 || bind(s->fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0 ||
        getsockname(s->fd, reinterpret_cast<sockaddr *>(&sa), &length) != 0) {
        core_udp_close(&s);
        return nullptr;
    }
    *bound = {sa.sin_addr.s_addr, sa.sin_port};
    return s;
}

int stun_probe(void **args)
{
    auto *client = static_cast<FlowmeshStunClient *>(args[0]);
    const uint64_t start = core_clock_mono_ms();
    for (;;) {
        {
            CoreLockGuard guard(&client->lock);
            for (int t = 0; t < FLOWMESH_STUN_TESTS; ++t) {
                FlowmeshStunTest &test = client->state.tests[t];
                if (!test.pending) continue;
                sockaddr_in to = {};
                to.sin_family = AF_INET;
                to.sin_addr.s_addr = test.destination.address;
                to.sin_port = test.destination.port;
                // A lost request is what the next pass is for.
                (void)sendto(client->sockets[test.socket]->fd, test.request, sizeof(test.request), 0,
                             reinterpret_cast<sockaddr *>(&to), sizeof(to));
                uint8_t id[FLOWMESH_STUN_ID_BYTES];
                rand_bytes(id, sizeof(id));
                flowmesh_stun_redraw(&client->state, t, id);
            }
            if (client->state.pending == 0) break;
        }
        client->passes.fetch_add(1);
        core_sleep_ms(FLOWMESH_STUN_PASS_MS);
        if (!client->running.load() || core_clock_mono_ms() - start > FLOWMESH_STUN_PROBE_MS) break;
    }
    return 0;
}

int stun_receive(void **args)
{
    auto *client = static_cast<FlowmeshStunClient *>(args[0]);
    uint8_t buffer[FLOWMESH_STUN_BUFFER_BYTES];
    while (client->running.load()) {
        pollfd waits[2] = {{client->sockets[0]->fd, POLLIN, 0}, {client->sockets[1]->fd, POLLIN, 0}};
        if (poll(waits, 2, CORE_UDP_RECV_TIMEOUT_MS) <= 0) continue;
        for (const pollfd &wait : waits) {
            if (!(wait.revents & POLLIN)) continue;
            // MSG_TRUNC reports the datagram's real length: one longer than
            // the buffer is refused whole rather than read cut.
            const ssize_t length = recv(wait.fd, buffer, sizeof(buffer), MSG_TRUNC | MSG_DONTWAIT);
            if (length < 0) continue;
            CoreLockGuard guard(&client->lock);
            if (static_cast<size_t>(length) > sizeof(buffer))
                ++client->state.refused;
            else
                flowmesh_stun_apply(&client->state, buffer, static_cast<uint64_t>(length));
        }
    }
    return 0;
}

}  // namespace

FlowmeshStunClient *flowmesh_stun_create(const FlowmeshStunAddresses *addresses)
{
    if (addresses == nullptr) return nullptr;
    auto *client = new (std::nothrow) FlowmeshStunClient{};
    if (client == nullptr) return nullptr;
    client->running.store(1);
    client->local = addresses->local;
    flowmesh_stun_state_init(&client->state, &addresses->server, rand_bytes);
    for (int k = 0; k < 2; ++k) {
        client->sockets[k] = open_bound(addresses->local.address, &client->bound[k]);
        if (client->sockets[k] == nullptr) {
            core_log(CORE_LOG_WARN, kModule, "the probe sockets cannot be bound");
            flowmesh_stun_destroy(&client);
            return nullptr;
        }
    }
    client->receiver = core_thread_start(stun_receive, client, nullptr, "fm-stun-recv");
    if (client->receiver != nullptr) client->prober = core_thread_start(stun_probe, client, nullptr, "fm-stun-probe");
    if (client->prober == nullptr) flowmesh_stun_destroy(&client);
    return client;
}

void flowmesh_stun_destroy(FlowmeshStunClient **client)
{
    if (client == nullptr || *client == nullptr) return;
    FlowmeshStunClient *c = *client;
    *client = nullptr;
    c->running.store(0);
    if (c->prober != nullptr) core_thread_join(&c->prober);
    if (c->receiver != nullptr) core_thread_join(&c->receiver);
    for (CoreUdpSocket *&socket : c->sockets) core_udp_close(&socket);
    delete c;
}

FlowmeshStunState flowmesh_stun_results(FlowmeshStunClient *client)
{
    CoreLockGuard guard(&client->lock);
    return client->state;
}
