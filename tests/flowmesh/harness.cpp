#include "harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <queue>
#include <vector>

#include "core/clock.h"
#include "core/thread.h"
#include "flowmesh/datagram.h"

namespace {

constexpr int kSocketBuffer = 4 << 20;
constexpr uint64_t kBatch = 64;
constexpr int64_t kIdleWaitNs = 10 * 1000000LL;

int open_loopback_socket(CoreUdpAddr *bound, uint64_t *rcvbuf)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int size = kSocketBuffer;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        close(fd);
        return -1;
    }
    bound->address = addr.sin_addr.s_addr;
    bound->port = addr.sin_port;
    int granted = 0;
    len = sizeof(granted);
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &len);
    if (rcvbuf != nullptr) *rcvbuf = static_cast<uint64_t>(granted);
    return fd;
}

int send_datagram(int fd, CoreUdpAddr to, const void *data, uint64_t length)
{
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = to.address;
    addr.sin_port = to.port;
    // Blocking for room in the send buffer: on loopback a full send buffer
    // is the only back-pressure there is, and a test wants no silent loss.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        ssize_t n = sendto(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&addr),
                           sizeof(addr));
        if (n == static_cast<ssize_t>(length)) return 0;
        if (n < 0 && (errno == EAGAIN || errno == ENOBUFS || errno == EINTR)) {
            pollfd watch = {fd, POLLOUT, 0};
            poll(&watch, 1, 1);
            continue;
        }
        return -1;
    }
    return -1;
}

}  // namespace

// ---- endpoint ----

struct FlowmeshHarnessEndpoint {
    CoreUdpSocket *socket;
    CoreUdpAddr address;
    uint64_t rcvbuf;
    CoreAesKey *header_key;
    FlowmeshHarnessSink sink;
    void *user;
    std::atomic<bool> running;
    CoreThreadRecord *thread;
    std::atomic<uint64_t> received, delivered, dropped_short, sent, send_failed;
};

namespace {

struct alignas(8) RecordBuffer {
    uint8_t bytes[FLOWMESH_RECORD_BUFFER];
};

CoreUdpPacket *packet_of(RecordBuffer *buffer) { return reinterpret_cast<CoreUdpPacket *>(buffer->bytes); }

int endpoint_thread(void **args)
{
    auto *endpoint = static_cast<FlowmeshHarnessEndpoint *>(args[0]);
    std::vector<RecordBuffer> buffers(kBatch);
    std::vector<CoreQueueEntry> records(kBatch);
    while (endpoint->running.load()) {
        uint64_t n = 0;
        // Wait for the first datagram, then take what else is ready.
        while (n < kBatch) {
            CoreUdpPacket *packet = packet_of(&buffers[n]);
            packet->length = FLOWMESH_DATAGRAM_MAX;
            CoreResult r = core_udp_step(endpoint->socket, nullptr, packet, n == 0 ? kIdleWaitNs : 0);
            if (r != CORE_OK) break;
            endpoint->received.fetch_add(1);
            const uint64_t length = packet->length;
            CoreQueueEntry &record = records[n];
            memset(&record, 0, sizeof(record));
            record.length = length + FLOWMESH_RECORD_HEAD;
            record.data = buffers[n].bytes;
            if (endpoint->header_key == nullptr) {
                record.type = packet->address;
                record.flags = packet->port;
            } else {
                uint16_t destination = 0, source = 0;
                if (flowmesh_datagram_ids(endpoint->header_key, packet->data, length, &destination, &source) !=
                    CORE_OK) {
                    endpoint->dropped_short.fetch_add(1);
                    continue;
                }
                record.type = destination;
                record.flags = source;
            }
            ++n;
        }
        if (n == 0) continue;
        if (endpoint->sink != nullptr) endpoint->sink(records.data(), n, endpoint->user);
        endpoint->delivered.fetch_add(n);
    }
    return 0;
}

}  // namespace

FlowmeshHarnessEndpoint *flowmesh_harness_endpoint_create(CoreAesKey *header_key, FlowmeshHarnessSink sink, void *user)
{
    auto *endpoint = new (std::nothrow) FlowmeshHarnessEndpoint{};
    if (endpoint == nullptr) return nullptr;
    endpoint->header_key = header_key;
    endpoint->sink = sink;
    endpoint->user = user;
    endpoint->socket = static_cast<CoreUdpSocket *>(calloc(1, sizeof(CoreUdpSocket)));
    if (endpoint->socket == nullptr) {
        delete endpoint;
        return nullptr;
    }
    endpoint->socket->fd = open_loopback_socket(&endpoint->address, &endpoint->rcvbuf);
    endpoint->running = true;
    if (endpoint->socket->fd < 0 ||
        (endpoint->thread = core_thread_start(endpoint_thread, endpoint, nullptr, "harness-ep")) == nullptr) {
        endpoint->running = false;
        flowmesh_harness_endpoint_destroy(&endpoint);
        return nullptr;
    }
    return endpoint;
}

void flowmesh_harness_endpoint_destroy(FlowmeshHarnessEndpoint **endpoint)
{
    if (endpoint == nullptr || *endpoint == nullptr) return;
    FlowmeshHarnessEndpoint *e = *endpoint;
    *endpoint = nullptr;
    e->running = false;
    if (e->thread != nullptr) core_thread_join(&e->thread);
    core_udp_close(&e->socket);
    delete e;
}

CoreUdpAddr flowmesh_harness_endpoint_address(const FlowmeshHarnessEndpoint *endpoint) { return endpoint->address; }

uint64_t flowmesh_harness_endpoint_rcvbuf(const FlowmeshHarnessEndpoint *endpoint) { return endpoint->rcvbuf; }

FlowmeshHarnessCounters flowmesh_harness_endpoint_counters(const FlowmeshHarnessEndpoint *endpoint)
{
    return {endpoint->received.load(), endpoint->delivered.load(), endpoint->dropped_short.load(),
            endpoint->sent.load(), endpoint->send_failed.load()};
}

int flowmesh_harness_send_to(FlowmeshHarnessEndpoint *endpoint, CoreUdpAddr to, const void *data, uint64_t length)
{
    if (send_datagram(endpoint->socket->fd, to, data, length) != 0) {
        endpoint->send_failed.fetch_add(1);
        return -1;
    }
    endpoint->sent.fetch_add(1);
    return 0;
}

int flowmesh_harness_send(uint16_t, const CoreQueueEntry *records, uint64_t count, void *context)
{
    FlowmeshHarnessEndpoint *endpoint = nullptr;
    memcpy(&endpoint, context, sizeof(endpoint));
    int result = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const CoreUdpAddr to = {records[i].type, static_cast<uint16_t>(records[i].flags)};
        if (flowmesh_harness_send_to(endpoint, to, records[i].data, records[i].length) != 0) result = -1;
    }
    return result;
}

// ---- relay ----

namespace {

// splitmix64: small, seedable, and the same on every platform, unlike the
// standard distributions.
struct SeededGenerator {
    uint64_t state;
    uint64_t next()
    {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
    bool chance(double p) { return p > 0 && unit() < p; }
};

struct Pending {
    uint64_t due_ns;
    uint64_t order;  // arrival order breaks ties, so equal due times keep order
    int direction;
    std::vector<uint8_t> bytes;
    bool operator>(const Pending &other) const
    {
        return due_ns != other.due_ns ? due_ns > other.due_ns : order > other.order;
    }
};

struct Direction {
    SeededGenerator generator;
    bool holding = false;
    Pending held;  // a datagram waiting to leave behind the next one
    uint64_t held_since_ns = 0;
    uint64_t next_free_ns = 0;  // rate limit: when the link is free again
    std::atomic<uint64_t> received{0}, forwarded{0}, lost{0}, duplicated{0}, reordered{0}, over_bound{0},
        pending{0};
};

constexpr uint64_t kMaxPending = 65536;
// A held datagram with nothing behind it leaves after this long, so an idle
// relay drains.
constexpr uint64_t kHoldLimitNs = 20 * 1000000ull;

}  // namespace

struct FlowmeshRelay {
    FlowmeshRelayConfig config;
    int fds[2];             // side 0 faces a, side 1 faces b
    CoreUdpAddr bound[2];
    CoreUdpAddr targets[2];  // direction 0 (a to b) leaves by side 1 to b
    Direction directions[2];
    std::atomic<bool> running;
    CoreThreadRecord *thread;
    std::priority_queue<Pending, std::vector<Pending>, std::greater<Pending>> queue;  // relay thread only
    uint64_t order;
    uint64_t started_ns;
    uint64_t arrivals;
};

namespace {

void schedule(FlowmeshRelay *relay, Pending &&item)
{
    Direction &d = relay->directions[item.direction];
    if (relay->queue.size() >= kMaxPending) {
        d.over_bound.fetch_add(1);
        return;
    }
    d.pending.fetch_add(1);
    relay->queue.push(std::move(item));
}

void release_held(FlowmeshRelay *relay, Direction &d, uint64_t due_ns)
{
    if (!d.holding) return;
    d.holding = false;
    d.pending.fetch_sub(1);  // counted again by schedule
    d.held.due_ns = due_ns;
    d.held.order = relay->order++;
    schedule(relay, std::move(d.held));
}

void arrive(FlowmeshRelay *relay, int direction, const uint8_t *bytes, uint64_t length, uint64_t now)
{
    Direction &d = relay->directions[direction];
    d.received.fetch_add(1);
    const FlowmeshRelayConfig &c = relay->config;
    if ((c.max_datagrams != 0 && ++relay->arrivals > c.max_datagrams)) {
        d.over_bound.fetch_add(1);
        return;
    }
    // Draw every decision, used or not, so one setting does not shift the
    // draws of the others.
    const bool lose = d.generator.chance(c.loss);
    const bool twice = d.generator.chance(c.duplicate);
    const bool hold = d.generator.chance(c.reorder);
    const uint64_t jitter = c.jitter_us == 0 ? 0 : d.generator.next() % (static_cast<uint64_t>(c.jitter_us) + 1);
    if (lose) {
        d.lost.fetch_add(1);
        return;
    }
    Pending item{now + (c.delay_us + jitter) * 1000, relay->order++, direction, {bytes, bytes + length}};
    if (twice) {
        d.duplicated.fetch_add(1);
        Pending copy{item.due_ns, relay->order++, direction, item.bytes};
        schedule(relay, std::move(copy));
    }
    if (hold && !d.holding) {
        d.reordered.fetch_add(1);
        d.holding = true;
        d.held = std::move(item);
        d.held_since_ns = now;
        d.pending.fetch_add(1);
        return;
    }
    const uint64_t due = item.due_ns;
    schedule(relay, std::move(item));
    release_held(relay, d, due);
}

// Sends what is due. Returns the time the next send is due (UINT64_MAX:
// nothing waits).
uint64_t send_due(FlowmeshRelay *relay, uint64_t now)
{
    while (!relay->queue.empty()) {
        const Pending &top = relay->queue.top();
        Direction &d = relay->directions[top.direction];
        const uint64_t ready = top.due_ns > d.next_free_ns ? top.due_ns : d.next_free_ns;
        if (ready > now) return ready;
        const int side = top.direction == 0 ? 1 : 0;
        if (send_datagram(relay->fds[side], relay->targets[top.direction], top.bytes.data(), top.bytes.size()) == 0)
            d.forwarded.fetch_add(1);
        else
            d.over_bound.fetch_add(1);
        if (relay->config.rate_bps != 0) {
            const uint64_t base = d.next_free_ns > now ? d.next_free_ns : now;
            d.next_free_ns = base + top.bytes.size() * 8 * 1000000000ull / relay->config.rate_bps;
        }
        d.pending.fetch_sub(1);
        relay->queue.pop();
    }
    return UINT64_MAX;
}

int relay_thread(void **args)
{
    auto *relay = static_cast<FlowmeshRelay *>(args[0]);
    uint8_t buffer[FLOWMESH_DATAGRAM_MAX + 1];
    const uint64_t stop_ns = relay->started_ns + relay->config.max_ms * 1000000ull;
    while (relay->running.load()) {
        uint64_t now = core_clock_mono_ns();
        const bool expired = relay->config.max_ms != 0 && now >= stop_ns;
        for (int dir = 0; dir < 2; ++dir) {
            Direction &d = relay->directions[dir];
            if (d.holding && now - d.held_since_ns >= kHoldLimitNs) release_held(relay, d, now);
        }
        const uint64_t next = send_due(relay, now);

        // Sleep until the next datagram is due, to the nanosecond: a rate
        // limit spaces datagrams far closer than a millisecond.
        uint64_t wait_ns = 10 * 1000000ull;
        if (relay->directions[0].holding || relay->directions[1].holding) wait_ns = 1000000ull;
        if (next != UINT64_MAX && next - now < wait_ns) wait_ns = next - now;
        const timespec wait = {0, static_cast<long>(wait_ns)};
        pollfd watch[2] = {{relay->fds[0], POLLIN, 0}, {relay->fds[1], POLLIN, 0}};
        if (ppoll(watch, 2, &wait, nullptr) <= 0) continue;
        now = core_clock_mono_ns();
        for (int side = 0; side < 2; ++side) {
            if (!(watch[side].revents & POLLIN)) continue;
            // Drain the side: a datagram left waiting in the kernel is one
            // the kernel may drop.
            for (;;) {
                ssize_t n = recv(relay->fds[side], buffer, sizeof(buffer), MSG_DONTWAIT | MSG_TRUNC);
                if (n < 0) break;
                const int direction = side;  // arrivals on side 0 come from a and go to b
                if (expired || n > FLOWMESH_DATAGRAM_MAX) {
                    relay->directions[direction].received.fetch_add(1);
                    relay->directions[direction].over_bound.fetch_add(1);
                    continue;
                }
                arrive(relay, direction, buffer, static_cast<uint64_t>(n), now);
            }
        }
    }
    return 0;
}

}  // namespace

FlowmeshRelay *flowmesh_relay_create(const FlowmeshRelayConfig *config, CoreUdpAddr a, CoreUdpAddr b)
{
    if (config == nullptr || config->max_ms == 0) return nullptr;  // the relay is always bounded in time
    auto *relay = new (std::nothrow) FlowmeshRelay{};
    if (relay == nullptr) return nullptr;
    relay->config = *config;
    relay->fds[0] = open_loopback_socket(&relay->bound[0], nullptr);
    relay->fds[1] = open_loopback_socket(&relay->bound[1], nullptr);
    relay->targets[0] = b;
    relay->targets[1] = a;
    // Two generators from one seed: each direction's draws depend only on
    // its own arrivals, whatever the two directions' interleaving.
    relay->directions[0].generator.state = config->seed;
    relay->directions[1].generator.state = config->seed ^ 0xD1B54A32D192ED03ull;
    relay->started_ns = core_clock_mono_ns();
    relay->running = true;
    if (relay->fds[0] < 0 || relay->fds[1] < 0 ||
        (relay->thread = core_thread_start(relay_thread, relay, nullptr, "harness-relay")) == nullptr) {
        relay->running = false;
        flowmesh_relay_destroy(&relay);
        return nullptr;
    }
    return relay;
}

void flowmesh_relay_destroy(FlowmeshRelay **relay)
{
    if (relay == nullptr || *relay == nullptr) return;
    FlowmeshRelay *r = *relay;
    *relay = nullptr;
    r->running = false;
    if (r->thread != nullptr) core_thread_join(&r->thread);
    for (int fd : r->fds)
        if (fd >= 0) close(fd);
    delete r;
}

CoreUdpAddr flowmesh_relay_address(const FlowmeshRelay *relay, int side) { return relay->bound[side]; }

FlowmeshRelayCounters flowmesh_relay_counters(const FlowmeshRelay *relay, int direction)
{
    FlowmeshRelayCounters sum = {};
    for (int dir = 0; dir < 2; ++dir) {
        if (direction >= 0 && dir != direction) continue;
        const Direction &d = relay->directions[dir];
        sum.received += d.received.load();
        sum.forwarded += d.forwarded.load();
        sum.lost += d.lost.load();
        sum.duplicated += d.duplicated.load();
        sum.reordered += d.reordered.load();
        sum.over_bound += d.over_bound.load();
        sum.pending += d.pending.load();
    }
    return sum;
}

bool flowmesh_harness_wait(const std::function<bool()> &done, uint32_t timeout_ms)
{
    const uint64_t deadline = core_clock_mono_ms() + timeout_ms;
    while (!done()) {
        if (core_clock_mono_ms() >= deadline) return done();
        core_sleep_ms(1);
    }
    return true;
}

FlowmeshTransportParams flowmesh_harness_stream_params(uint8_t kind, uint16_t local, uint16_t peer)
{
    FlowmeshTransportParams p = {};
    p.kind = kind;
    p.send_buffer = p.receive_buffer = 65536;
    p.handshake_ms = 250;
    p.min_rto_ms = 1000;
    p.max_rto_ms = 10000;
    p.local_id = local;
    p.peer_id = peer;
    switch (kind) {
    case FLOWMESH_STREAM_PACED: p.local_flags = p.peer_flags = FLOWMESH_FLAG_SET_PACED; break;
    case FLOWMESH_STREAM_MEDIA: p.local_flags = p.peer_flags = FLOWMESH_FLAG_SET_MEDIA; break;
    default: p.local_flags = p.peer_flags = FLOWMESH_FLAG_SET_RELIABLE; break;
    }
    p.header_key.kind = 1;
    p.header_key.length = 16;
    p.payload_key.kind = 2;
    p.payload_key.length = 32;
    for (int i = 0; i < 32; ++i) {
        p.header_key.key[i] = static_cast<uint8_t>(0x40 + i);
        p.payload_key.key[i] = static_cast<uint8_t>(0xC0 ^ i);
    }
    return p;
}

std::vector<uint8_t> flowmesh_harness_pattern(uint64_t length, uint32_t seed)
{
    std::vector<uint8_t> bytes(length);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t &b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}
