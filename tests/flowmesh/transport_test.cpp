// The transport factory's bounds, its dispatch by handle and kind, and a
// datagram sealed by one transport and opened by its peer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "core/handle.h"
#include "core/system.h"
#include "flowmesh/transport.h"

namespace {

FlowmeshTransportParams base_params(uint32_t kind)
{
    FlowmeshTransportParams p = {};
    p.kind = kind;
    p.send_buffer = 65536;
    p.receive_buffer = 8192;
    p.handshake_ms = 250;
    p.min_rto_ms = 1000;
    p.max_rto_ms = 10000;
    p.local_id = 300;
    p.peer_id = 301;
    p.header_key.kind = 1;
    p.header_key.length = 16;
    p.payload_key.kind = 2;
    p.payload_key.length = 32;
    for (int i = 0; i < 32; ++i) {
        p.header_key.key[i] = static_cast<uint8_t>(i + 1);
        p.payload_key.key[i] = static_cast<uint8_t>(0x80 + i);
    }
    return p;
}

TEST(FlowmeshTransportClamp, Bounds)
{
    struct Row {
        const char *what;
        uint32_t kind;
        void (*edit)(FlowmeshTransportParams *);
        CoreResult result;
        void (*check)(const FlowmeshTransportParams &);
    };
    const Row rows[] = {
        {"buffers of exactly 32 MiB", 3,
         [](FlowmeshTransportParams *p) { p->send_buffer = p->receive_buffer = 0x2000000; }, CORE_OK,
         [](const FlowmeshTransportParams &p) { EXPECT_EQ(p.send_buffer, 0x2000000u); }},
        {"send buffer one above", 3, [](FlowmeshTransportParams *p) { p->send_buffer = 0x2000001; },
         CORE_ERR_INVALID, nullptr},
        {"receive buffer one above", 1, [](FlowmeshTransportParams *p) { p->receive_buffer = 0x2000001; },
         CORE_ERR_INVALID, nullptr},
        {"small buffers raised", 2, [](FlowmeshTransportParams *p) { p->send_buffer = 100, p->receive_buffer = 0; },
         CORE_OK,
         [](const FlowmeshTransportParams &p) {
             EXPECT_EQ(p.send_buffer, 1440u);
             EXPECT_EQ(p.receive_buffer, 1440u);
         }},
        {"handshake raised", 3, [](FlowmeshTransportParams *p) { p->handshake_ms = 50; }, CORE_OK,
         [](const FlowmeshTransportParams &p) { EXPECT_EQ(p.handshake_ms, 100u); }},
        {"handshake lowered", 3, [](FlowmeshTransportParams *p) { p->handshake_ms = 5000; }, CORE_OK,
         [](const FlowmeshTransportParams &p) { EXPECT_EQ(p.handshake_ms, 1000u); }},
        {"minimum time-out raised", 1, [](FlowmeshTransportParams *p) { p->min_rto_ms = 0; }, CORE_OK,
         [](const FlowmeshTransportParams &p) { EXPECT_EQ(p.min_rto_ms, 10u); }},
        {"paced maximum capped", 1, nullptr, CORE_OK,
         [](const FlowmeshTransportParams &p) { EXPECT_EQ(p.max_rto_ms, 2010u); }},
        {"media maximum capped", 2, nullptr, CORE_OK,
         [](const FlowmeshTransportParams &p) { EXPECT_EQ(p.max_rto_ms, 2010u); }},
        {"reliable maximum capped", 3, nullptr, CORE_OK,
         [](const FlowmeshTransportParams &p) { EXPECT_EQ(p.max_rto_ms, 8010u); }},
        {"reliable time-outs equal after the cap", 3, [](FlowmeshTransportParams *p) { p->min_rto_ms = 8010; },
         CORE_ERR_INVALID, nullptr},
        {"time-outs equal as given", 1, [](FlowmeshTransportParams *p) { p->min_rto_ms = p->max_rto_ms = 500; },
         CORE_ERR_INVALID, nullptr},
        {"minimum above the capped maximum", 1, [](FlowmeshTransportParams *p) { p->min_rto_ms = 3000; },
         CORE_ERR_INVALID, nullptr},
        {"kind in the low byte", 0x0103, nullptr, CORE_OK, nullptr},
        {"kind 0", 0, nullptr, CORE_ERR_INVALID, nullptr},
        {"kind 4", 4, nullptr, CORE_ERR_INVALID, nullptr},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        FlowmeshTransportParams p = base_params(row.kind);
        if (row.edit != nullptr) row.edit(&p);
        ASSERT_EQ(flowmesh_transport_params_clamp(&p), row.result);
        if (row.check != nullptr) row.check(p);
    }
}

// A stand-in stream kind that records what the factory and the dispatch
// did to it.
struct FakeObject {
    FlowmeshTransport common;
    uint32_t built;
};
std::atomic<int> g_builds, g_destroys, g_connects;
std::atomic<bool> g_fail_build;

const FlowmeshTransportKind kFakeKind = {
    sizeof(FakeObject),
    [](FlowmeshTransport *t) -> CoreResult {
        g_builds++;
        reinterpret_cast<FakeObject *>(t)->built = 1;
        return g_fail_build ? CORE_ERR : CORE_OK;
    },
    [](FlowmeshTransport *) { g_destroys++; },
    [](FlowmeshTransport *) -> CoreResult {
        g_connects++;
        return CORE_DONE;
    },
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

class FlowmeshTransportFactory : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(core_system_start(0), CORE_OK);
        g_builds = g_destroys = g_connects = 0;
        g_fail_build = false;
        ASSERT_EQ(flowmesh_transport_kind_set(3, &kFakeKind), CORE_OK);
    }
    void TearDown() override
    {
        flowmesh_transport_kind_set(3, nullptr);
        core_system_stop();
    }
    // Drops the creator reference and waits for the destroy to have run.
    static void end(uint64_t handle)
    {
        CoreHandleTable *table = core_handle_tables[CORE_HANDLES_NETWORK];
        core_handle_release(table, handle);
        core_handle_wait_freed(table, handle);
    }
};

TEST_F(FlowmeshTransportFactory, CreateBuildsOnlyWhatItAccepts)
{
    FlowmeshTransportParams refused = base_params(3);
    refused.send_buffer = 0x2000001;
    EXPECT_EQ(flowmesh_transport_create(&refused), 0u);
    FlowmeshTransportParams not_installed = base_params(1);
    EXPECT_EQ(flowmesh_transport_create(&not_installed), 0u);
    FlowmeshTransportParams bad_key = base_params(3);
    bad_key.payload_key.length = 20;
    EXPECT_EQ(flowmesh_transport_create(&bad_key), 0u);
    bad_key.payload_key.length = 0xFFFFFFFF;
    EXPECT_EQ(flowmesh_transport_create(&bad_key), 0u);
    EXPECT_EQ(g_builds, 0) << "refused parameters build nothing";

    g_fail_build = true;
    FlowmeshTransportParams p = base_params(3);
    EXPECT_EQ(flowmesh_transport_create(&p), 0u);
    EXPECT_EQ(g_builds, 1);
    core_system_stop();  // lets the pending free run
    EXPECT_EQ(g_destroys, 1) << "a failed build is released through its handle";
    ASSERT_EQ(core_system_start(0), CORE_OK);
}

TEST_F(FlowmeshTransportFactory, OperationsDispatchOnHandleAndKind)
{
    FlowmeshTransportParams p = base_params(3);
    p.options = 1;
    const uint64_t handle = flowmesh_transport_create(&p);
    ASSERT_NE(handle, 0u);
    auto *object = static_cast<FakeObject *>(core_handle_acquire(core_handle_tables[CORE_HANDLES_NETWORK], handle));
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->built, 1u);
    EXPECT_EQ(object->common.initiator, 1u);
    EXPECT_EQ(object->common.params.max_rto_ms, 8010u) << "the object keeps the clamped copy";
    core_handle_release(core_handle_tables[CORE_HANDLES_NETWORK], handle);

    EXPECT_EQ(flowmesh_transport_connect(handle, 3), CORE_DONE);
    EXPECT_EQ(flowmesh_transport_connect(handle, 1), CORE_ERR) << "another kind's code never sees this object";
    EXPECT_EQ(flowmesh_transport_connect(handle, 9), CORE_ERR);
    EXPECT_EQ(flowmesh_transport_accept(handle, 3), CORE_ERR) << "operation the kind lacks";
    EXPECT_EQ(flowmesh_transport_connect(handle + 1000, 3), CORE_ERR) << "unknown handle";
    EXPECT_EQ(g_connects, 1);

    end(handle);
    EXPECT_EQ(g_destroys, 1);
    EXPECT_EQ(flowmesh_transport_connect(handle, 3), CORE_ERR) << "freed handle";
}

TEST_F(FlowmeshTransportFactory, PeersSealAndOpenEachOthersDatagrams)
{
    FlowmeshTransportParams a = base_params(3);
    a.peer_address = 0x0100007F;
    a.peer_port = 0x3412;
    core_name_format(&a.session, "session.a");
    FlowmeshTransportParams b = base_params(3);
    std::swap(b.local_id, b.peer_id);
    a.local_flags = a.peer_flags = b.local_flags = b.peer_flags = FLOWMESH_FLAG_SET_RELIABLE;
    const uint64_t ha = flowmesh_transport_create(&a), hb = flowmesh_transport_create(&b);
    ASSERT_NE(ha, 0u);
    ASSERT_NE(hb, 0u);
    CoreHandleTable *table = core_handle_tables[CORE_HANDLES_NETWORK];
    auto *ta = static_cast<FlowmeshTransport *>(core_handle_acquire(table, ha));
    auto *tb = static_cast<FlowmeshTransport *>(core_handle_acquire(table, hb));

    uint8_t buffer[FLOWMESH_RECORD_BUFFER];
    FlowmeshPacketHeader h = {};
    h.flags = FLOWMESH_RELIABLE_SYN;
    CoreQueueEntry descriptor = {};
    ASSERT_EQ(flowmesh_transport_seal(ta, &h, "abc", 3, buffer + 32, &descriptor), CORE_OK);
    EXPECT_EQ(descriptor.type, a.peer_address);
    EXPECT_EQ(descriptor.flags, a.peer_port);
    EXPECT_EQ(descriptor.length, 48u);
    EXPECT_EQ(memcmp(descriptor.name.key, a.session.key, 32), 0);

    CoreQueueEntry record = {};
    record.data = buffer;
    record.length = descriptor.length + 32;
    uint8_t payload[FLOWMESH_PAYLOAD_MAX];
    uint64_t n = 0;
    ASSERT_EQ(flowmesh_transport_open(tb, &record, &h, payload, &n), CORE_OK);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(flowmesh_transport_open(ta, &record, &h, payload, &n), CORE_ERR) << "not addressed to its sender";

    core_handle_release(table, ha);
    core_handle_release(table, hb);
    end(ha);
    end(hb);
}

}  // namespace
