// What the reliable stream suites share: the runtime with the stream pool
// and executor the core would make, stream parameters, and a stream side
// that records its events and received bytes.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "core/executor.h"
#include "core/handle.h"
#include "core/pool.h"
#include "core/sha256.h"
#include "core/system.h"
#include "flowmesh/names.h"
#include "flowmesh/reliable.h"
#include "harness.h"

namespace reliable_test {

// Real time, not core_clock_mono_ms: the test clock moves that one.
inline bool wait_for(const std::function<bool()> &done, uint32_t ms = 5000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline const uint8_t *header_key_bytes()
{
    static uint8_t bytes[16];
    for (int i = 0; i < 16; ++i) bytes[i] = static_cast<uint8_t>(0x11 * (i + 1));
    return bytes;
}

// The runtime as the network core leaves it for its streams: the node pool
// as the same bounded arena, the stream executor, the kind installed.
class ReliableRuntime : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(core_system_start(0), CORE_OK);
        CorePoolConfig config = {};
        config.size = 0x400000;
        config.granule = 128;
        config.flags = CORE_POOL_ARENA;
        node_pool_ = core_pool_create(&config);
        core_name_format(&node_name_, "%s", FLOWMESH_STREAM_POOL);
        ASSERT_EQ(core_pool_register(&node_name_, node_pool_), CORE_OK);
        core_name_format(&executor_name_, "%s", FLOWMESH_STREAM_EXECUTOR);
        ASSERT_EQ(core_executor_create(&executor_name_), 0);
        ASSERT_EQ(flowmesh_reliable_register(), CORE_OK);
        header_key_ = core_aes_create(header_key_bytes(), 16);
    }
    void TearDown() override
    {
        core_aes_destroy(&header_key_);
        core_executor_destroy(&executor_name_);
        core_system_stop();  // runs the pending frees first
        core_pool_unregister(&node_name_);
        core_pool_destroy(&node_pool_);
    }
    // Drops the creator reference and waits until the stream is gone.
    static void end_stream(uint64_t *handle)
    {
        if (*handle == 0) return;
        CoreHandleTable *table = core_handle_tables[CORE_HANDLES_NETWORK];
        core_handle_release(table, *handle);
        core_handle_wait_freed(table, *handle);
        *handle = 0;
    }

    CorePool *node_pool_ = nullptr;
    CoreName node_name_;
    CoreName executor_name_;
    CoreAesKey *header_key_ = nullptr;
};

inline FlowmeshTransportParams stream_params(uint16_t local_id, uint16_t peer_id, bool initiator)
{
    FlowmeshTransportParams p = flowmesh_harness_stream_params(FLOWMESH_STREAM_RELIABLE, local_id, peer_id);
    p.options = initiator ? FLOWMESH_RELIABLE_OPT_INITIATOR : 0;
    p.initial_sequence = initiator ? 1000 : 500000;
    p.sequence_limit = 0xFFFFFFFFFFFF0000ull;
    memcpy(p.header_key.key, header_key_bytes(), 16);
    core_name_format(&p.session, "session.%u", local_id);
    return p;
}

// One end of a stream: its events in order, its received bytes (kept, or
// only hashed for large transfers), and a consumer that can refuse.
struct Side {
    std::atomic<uint64_t> handle{0};
    std::mutex lock;
    std::vector<uint32_t> events;
    std::vector<uint8_t> received;
    bool keep_bytes = true;
    uint64_t received_count = 0;
    CoreSha256 hash;
    std::atomic<int> refusals{0};  // the next this many deliveries are refused
    std::atomic<uint64_t> refused{0};
    std::atomic<bool> deaf{false};  // drops every datagram before the stream sees it

    Side() { core_sha256_init(&hash); }

    // Back to a fresh side for the next stream of a table.
    void reset()
    {
        std::lock_guard<std::mutex> guard(lock);
        handle = 0;
        events.clear();
        received.clear();
        received_count = 0;
        core_sha256_init(&hash);
        refusals = 0;
        refused = 0;
        deaf = false;
    }

    static Side *of(const void *context)
    {
        Side *side;
        memcpy(&side, context, sizeof(side));
        return side;
    }
    static int on_event(uint16_t, uint32_t code, const CoreName *, const CoreName *, const void *, uint64_t,
                        void *context)
    {
        Side *side = of(context);
        std::lock_guard<std::mutex> guard(side->lock);
        if (code != FLOWMESH_TRANSPORT_ACKED && code != FLOWMESH_TRANSPORT_DELIVERED) side->events.push_back(code);
        return 0;
    }
    static int on_data(uint16_t, const CoreName *, const void *data, uint64_t length, void *context)
    {
        Side *side = of(context);
        int left = side->refusals.load();
        while (left > 0 && !side->refusals.compare_exchange_weak(left, left - 1)) {
        }
        if (left > 0) {
            side->refused.fetch_add(1);
            return 1;
        }
        std::lock_guard<std::mutex> guard(side->lock);
        const auto *bytes = static_cast<const uint8_t *>(data);
        if (side->keep_bytes) side->received.insert(side->received.end(), bytes, bytes + length);
        core_sha256_update(&side->hash, bytes, length);
        side->received_count += length;
        return 0;
    }
    // Harness sink: routed records go to this side's stream.
    static void sink(const CoreQueueEntry *records, uint64_t count, void *user)
    {
        Side *side = static_cast<Side *>(user);
        const uint64_t handle = side->handle.load();
        if (handle == 0 || side->deaf.load()) return;
        flowmesh_transport_receive(handle, FLOWMESH_STREAM_RELIABLE, records, count);
    }

    void attach(FlowmeshTransportParams *p)
    {
        Side *self = this;
        p->event_fn = on_event;
        p->data_fn = on_data;
        memcpy(p->event_context, &self, sizeof(self));
        memcpy(p->data_context, &self, sizeof(self));
    }
    std::vector<uint32_t> event_list()
    {
        std::lock_guard<std::mutex> guard(lock);
        return events;
    }
    bool has_event(uint32_t code)
    {
        std::lock_guard<std::mutex> guard(lock);
        for (uint32_t e : events)
            if (e == code) return true;
        return false;
    }
    uint64_t bytes()
    {
        std::lock_guard<std::mutex> guard(lock);
        return received_count;
    }
    FlowmeshReliableCounters counters()
    {
        FlowmeshReliableCounters c = {};
        flowmesh_reliable_counters(handle.load(), &c);
        return c;
    }
};

// Deterministic test bytes: the same seed gives the same stream.
inline std::vector<uint8_t> pattern(uint64_t size, uint64_t seed)
{
    std::vector<uint8_t> bytes(size);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (uint64_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        bytes[i] = static_cast<uint8_t>(x);
    }
    return bytes;
}

// Offers all of `bytes` to the stream, waiting while its send queue is
// full. False when the stream stops taking for `stall_ms`.
inline bool send_all(uint64_t handle, const uint8_t *bytes, uint64_t size, uint32_t stall_ms = 20000)
{
    uint64_t offset = 0;
    auto last = std::chrono::steady_clock::now();
    while (offset < size) {
        uint64_t length = std::min<uint64_t>(size - offset, 256 * 1024);
        const CoreResult r = flowmesh_transport_send(handle, FLOWMESH_STREAM_RELIABLE, 0, bytes + offset, &length);
        if (r == CORE_ERR) return false;
        if (length > 0) {
            offset += length;
            last = std::chrono::steady_clock::now();
            continue;
        }
        if (std::chrono::steady_clock::now() - last > std::chrono::milliseconds(stall_ms)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace reliable_test
