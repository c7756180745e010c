// Shared pieces of the engine suites: a recorder of the engine's callbacks,
// numbered datagrams, plain UDP senders and access to an engine's
// instances.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "core/clock.h"
#include "core/handle.h"
#include "core/store.h"
#include "flowmesh/datagram.h"
#include "flowmesh/engine.h"
#include "flowmesh/instance.h"
#include "flowmesh/peer.h"

// Polls `done` for up to `ms` milliseconds.
template <typename Done>
bool engine_wait(Done done, uint32_t ms = 10000)
{
    const uint64_t end = core_clock_mono_ms() + ms;
    while (!done()) {
        if (core_clock_mono_ms() > end) return false;
        core_sleep_ms(1);
    }
    return true;
}

inline uint64_t sender_of(uint32_t address, uint16_t port) { return (uint64_t{address} << 16) | port; }

// What the engine reported: status events, and the sequence numbers of
// delivered datagrams per sender, with any record whose layout is not the
// received-record layout counted.
struct EngineRecorder {
    struct Status {
        uint32_t code;
        CoreNetAdapter adapter;
    };
    std::mutex mutex;
    std::vector<Status> status;
    std::map<uint64_t, std::vector<uint32_t>> sequences;
    std::atomic<uint64_t> delivered{0};
    std::atomic<uint64_t> bad_layout{0};
    std::atomic<uint64_t> batches{0};

    static int on_status(const CoreName *, uint32_t code, uint32_t, const void *data, uint64_t length, void *user)
    {
        auto *self = static_cast<EngineRecorder *>(user);
        Status entry = {code, {}};
        if (data != nullptr && length == sizeof(CoreNetAdapter)) memcpy(&entry.adapter, data, sizeof(CoreNetAdapter));
        std::lock_guard<std::mutex> guard(self->mutex);
        self->status.push_back(entry);
        return 0;
    }

    static int on_datagram(const CoreQueueEntry *records, uint64_t count, void *user, uint64_t)
    {
        auto *self = static_cast<EngineRecorder *>(user);
        std::lock_guard<std::mutex> guard(self->mutex);
        self->batches.fetch_add(1);
        for (uint64_t i = 0; i < count; ++i) {
            const CoreQueueEntry &r = records[i];
            const auto *head = static_cast<const CoreUdpPacket *>(r.data);
            if (r.length < FLOWMESH_RECORD_HEAD + 4 || r.length > FLOWMESH_RECORD_BUFFER || head->address != r.type ||
                head->port != static_cast<uint16_t>(r.flags) || head->length + FLOWMESH_RECORD_HEAD != r.length ||
                core_name_is_empty(&r.name)) {
                self->bad_layout.fetch_add(1);
                continue;
            }
            self->sequences[sender_of(r.type, static_cast<uint16_t>(r.flags))].push_back(
                flowmesh_get_be32(head->data));
        }
        self->delivered.fetch_add(count);
        return 0;
    }

    size_t count(uint32_t code)
    {
        std::lock_guard<std::mutex> guard(mutex);
        size_t n = 0;
        for (const Status &s : status) n += s.code == code;
        return n;
    }

    std::vector<Status> status_copy()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return status;
    }

    std::vector<uint32_t> sequence_of(uint32_t address, uint16_t port)
    {
        std::lock_guard<std::mutex> guard(mutex);
        return sequences[sender_of(address, port)];
    }

    void fill(FlowmeshEngineConfig *config)
    {
        config->status = on_status;
        config->datagram = on_datagram;
        config->user = this;
    }
};

// A plain UDP socket bound to `address` (network order) on an ephemeral
// port; its bound address in *bound.
inline int udp_socket(uint32_t address, CoreUdpAddr *bound, int buffer = 4 << 20)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &buffer, sizeof(buffer));
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof(buffer));
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    socklen_t length = sizeof(sa);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &length) != 0) {
        close(fd);
        return -1;
    }
    bound->address = sa.sin_addr.s_addr;
    bound->port = sa.sin_port;
    return fd;
}

inline bool send_raw(int fd, CoreUdpAddr to, const void *data, size_t length)
{
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = to.address;
    sa.sin_port = to.port;
    return sendto(fd, data, length, 0, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) == static_cast<ssize_t>(length);
}

// Sends a datagram of `length` bytes that begins with the big-endian
// `sequence` (as far as it fits).
inline bool send_numbered(int fd, CoreUdpAddr to, uint32_t sequence, size_t length = 64)
{
    std::vector<uint8_t> data(length < 4 ? 4 : length, 0x5A);
    flowmesh_put_be32(data.data(), sequence);
    return send_raw(fd, to, data.data(), length);
}

// The engine object of a handle, held for the test's scope.
struct EngineRef {
    uint64_t handle;
    FlowmeshEngine *engine;
    explicit EngineRef(uint64_t h)
        : handle(h),
          engine(static_cast<FlowmeshEngine *>(core_handle_acquire(core_handle_tables[CORE_HANDLES_NETWORK], h)))
    {
    }
    ~EngineRef()
    {
        if (engine != nullptr) core_handle_release(core_handle_tables[CORE_HANDLES_NETWORK], handle);
    }
    EngineRef(const EngineRef &) = delete;
    EngineRef &operator=(const EngineRef &) = delete;

    // The instances in store order. They live until the engine is freed,
    // which this reference holds off.
    std::vector<FlowmeshAdapterInstance *> instances()
    {
        std::vector<FlowmeshAdapterInstance *> out;
        if (engine == nullptr) return out;
        for (CoreStoreItem *item = core_store_first(engine->instances); item != nullptr;
             item = core_store_next(engine->instances, item, 1))
            out.push_back(flowmesh_engine_instance_of(item));
        return out;
    }
};

// Seeds a peer for `address` (until the handshake makes peers itself).
inline CoreResult seed_peer(FlowmeshAdapterInstance *instance, CoreUdpAddr address, uint8_t tag)
{
    FlowmeshPeerInit init = {};
    memset(init.identity.key, tag, sizeof(init.identity.key));
    core_name_make(&init.identity);
    init.data_address = address;
    init.announced = address;
    return flowmesh_peer_insert(instance, &init);
}
