// Stream tables and routing: ids round-robin within their table, the
// transport built once per entry, and received records routed to the
// transport of their destination id in arrival order, with malformed
// records dropped before anything reads a header from them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "core/crypto.h"
#include "core/handle.h"
#include "core/store.h"
#include "core_fixture.h"
#include "flowmesh/datagram.h"
#include "flowmesh/streams.h"
#include "flowmesh/transport.h"

namespace {

// A stream kind that only records what reaches it: which transport (by
// local id), how, and the records of each receive call.
struct Delivered {
    uint16_t local_id;
    uint16_t destination;  // record type
    uint16_t source;       // record flags
    uint64_t sequence;     // from the header, to check the order
};

struct FakeKind {
    std::mutex mutex;
    std::vector<Delivered> delivered;
    std::vector<uint64_t> batches;
    std::vector<uint16_t> connected, accepted;
    CoreAesKey *session_key = nullptr;

    size_t delivered_count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return delivered.size();
    }
};
FakeKind *g_fake = nullptr;

CoreResult fake_build(FlowmeshTransport *) { return CORE_OK; }
void fake_destroy(FlowmeshTransport *) {}
CoreResult fake_connect(FlowmeshTransport *t)
{
    std::lock_guard<std::mutex> lock(g_fake->mutex);
    g_fake->connected.push_back(t->params.local_id);
    return CORE_OK;
}
CoreResult fake_accept(FlowmeshTransport *t)
{
    std::lock_guard<std::mutex> lock(g_fake->mutex);
    g_fake->accepted.push_back(t->params.local_id);
    return CORE_OK;
}
CoreResult fake_none(FlowmeshTransport *) { return CORE_OK; }
CoreResult fake_send(FlowmeshTransport *, uint8_t, const void *, uint64_t *) { return CORE_OK; }
CoreResult fake_receive(FlowmeshTransport *t, const CoreQueueEntry *records, uint64_t count)
{
    std::lock_guard<std::mutex> lock(g_fake->mutex);
    g_fake->batches.push_back(count);
    for (uint64_t i = 0; i < count; ++i) {
        uint8_t plain[FLOWMESH_HEADER_SIZE];
        core_aes_decrypt(g_fake->session_key, plain,
                         static_cast<const uint8_t *>(records[i].data) + FLOWMESH_RECORD_HEAD, FLOWMESH_HEADER_SIZE);
        FlowmeshPacketHeader h;
        flowmesh_header_decode(&h, plain);
        g_fake->delivered.push_back({t->params.local_id, uint16_t(records[i].type), uint16_t(records[i].flags),
                                     h.sequence});
    }
    return CORE_OK;
}

const FlowmeshTransportKind kFakeKind = {sizeof(FlowmeshTransport), fake_build, fake_destroy, fake_connect,
                                         fake_accept, fake_none, fake_none, fake_send, fake_receive};

const uint8_t kSessionKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const uint8_t kStreamKey[16] = {9, 9, 9, 9, 8, 8, 8, 8, 7, 7, 7, 7, 6, 6, 6, 6};

class StreamsTest : public FlowmeshCoreTest {
protected:
    FakeKind fake;
    uint64_t handle = 0;
    FlowmeshStreamManager *manager = nullptr;
    CoreAesKey *stream_key = nullptr;

    void SetUp() override
    {
        FlowmeshCoreTest::SetUp();
        g_fake = &fake;
        fake.session_key = core_aes_create(kSessionKey, 16);
        stream_key = core_aes_create(kStreamKey, 16);
        ASSERT_EQ(flowmesh_transport_kind_set(1, &kFakeKind), CORE_OK);
        FlowmeshStreamManagerConfig config = {};
        core_name_format(&config.session, "session.1");
        core_name_format(&config.origin, "peer.1");
        config.session_key.kind = 1;
        config.session_key.length = 16;
        memcpy(config.session_key.key, kSessionKey, 16);
        handle = flowmesh_stream_manager_create(&config);
        ASSERT_NE(handle, 0u);
        manager = static_cast<FlowmeshStreamManager *>(core_handle_acquire(core_handle_tables[CORE_HANDLES_NETWORK], handle));
        ASSERT_NE(manager, nullptr);
    }

    void TearDown() override
    {
        core_handle_release(core_handle_tables[CORE_HANDLES_NETWORK], handle);
        core_handle_release(core_handle_tables[CORE_HANDLES_NETWORK], handle);
        core_handle_wait_freed(core_handle_tables[CORE_HANDLES_NETWORK], handle);
        flowmesh_transport_kind_set(1, nullptr);
        core_aes_destroy(&fake.session_key);
        core_aes_destroy(&stream_key);
        g_fake = nullptr;
        FlowmeshCoreTest::TearDown();
    }

    uint16_t create(uint32_t table)
    {
        uint16_t id = 0;
        EXPECT_EQ(flowmesh_stream_entry_create(manager, 1, nullptr, &id, table), CORE_OK);
        return id;
    }

    CoreResult connect(uint16_t id, uint16_t peer_id, bool initiator = true)
    {
        FlowmeshKeyBlob key = {};
        key.kind = 1;
        key.length = 16;
        memcpy(key.key, kStreamKey, 16);
        FlowmeshStreamConnect p = {};
        p.local_id = id;
        p.peer_id = peer_id;
        p.send_buffer = p.receive_buffer = 0x10000;
        p.stream_key = &key;
        p.table = flowmesh_stream_table_of(id);
        return initiator ? flowmesh_stream_connect(manager, &p) : flowmesh_stream_accept(manager, &p);
    }

    // A received record as the engine hands it: a 32-byte packet head, then
    // a datagram from `source` to `destination` whose sequence is `tag`.
    std::vector<uint8_t> datagram(uint16_t destination, uint16_t source, uint64_t tag)
    {
        std::vector<uint8_t> buffer(FLOWMESH_RECORD_BUFFER);
        FlowmeshPacketHeader h = {};
        h.destination = destination;
        h.sequence = tag;
        const uint8_t payload[20] = {7};
        uint64_t wire = 0;
        EXPECT_EQ(flowmesh_datagram_seal(fake.session_key, stream_key, &h, source, payload, sizeof(payload),
                                         buffer.data() + FLOWMESH_RECORD_HEAD, &wire),
                  CORE_OK);
        buffer.resize(FLOWMESH_RECORD_HEAD + wire);
        return buffer;
    }
};

CoreQueueEntry record_of(std::vector<uint8_t> &b)
{
    CoreQueueEntry e = {};
    e.length = b.size();
    e.data = b.data();
    return e;
}

// The service stream takes id 0 and other streams start at 256; ids then
// go round-robin, so a removed id is not handed out again while others
// are free, and a full table refuses.
TEST_F(StreamsTest, IdsRoundRobinWithinTheirTable)
{
    EXPECT_EQ(create(FLOWMESH_STREAM_TABLE_SERVICE), 0u);
    EXPECT_EQ(create(FLOWMESH_STREAM_TABLE_STREAMS), 256u);
    EXPECT_EQ(create(FLOWMESH_STREAM_TABLE_STREAMS), 257u);
    // Even once its entry is gone, a closed stream's id is not the next one:
    // the peer's late datagrams for it must find no transport.
    ASSERT_EQ(flowmesh_stream_remove(manager, 256), CORE_OK);
    CoreStore *streams = manager->tables[FLOWMESH_STREAM_TABLE_STREAMS];
    core_store_wake(streams);
    ASSERT_TRUE(wait_until([&] {
        CoreStoreStats stats;
        core_store_stats(streams, &stats);
        return stats.items_freed == 1;
    }));
    EXPECT_EQ(create(FLOWMESH_STREAM_TABLE_STREAMS), 258u);

    // Fill the service table; the 257th entry has no id left.
    for (uint32_t i = 1; i < 256; ++i) EXPECT_EQ(create(FLOWMESH_STREAM_TABLE_SERVICE), i);
    uint16_t id = 0;
    EXPECT_EQ(flowmesh_stream_entry_create(manager, 1, nullptr, &id, FLOWMESH_STREAM_TABLE_SERVICE), CORE_ERR);
    // Once a removed entry is reclaimed its id is the one free id, and the
    // cursor wraps round to it.
    ASSERT_EQ(flowmesh_stream_remove(manager, 17), CORE_OK);
    CoreResult r = CORE_ERR;
    ASSERT_TRUE(wait_until([&] {
        r = flowmesh_stream_entry_create(manager, 1, nullptr, &id, FLOWMESH_STREAM_TABLE_SERVICE);
        return r == CORE_OK;
    }));
    EXPECT_EQ(id, 17u);
}

// One transport per entry: the first build starts it (connect for the
// opener, accept for the answerer), a second build of either kind does
// nothing, and an unknown id builds nothing.
TEST_F(StreamsTest, TransportBuiltOnce)
{
    const uint16_t a = create(FLOWMESH_STREAM_TABLE_STREAMS);
    const uint16_t b = create(FLOWMESH_STREAM_TABLE_STREAMS);
    EXPECT_EQ(connect(a, 900, true), CORE_OK);
    EXPECT_EQ(connect(b, 901, false), CORE_OK);
    EXPECT_EQ(connect(b, 901, false), CORE_DONE);
    EXPECT_EQ(connect(a, 900, false), CORE_DONE);
    EXPECT_EQ(connect(4000, 1, true), CORE_DONE);
    std::lock_guard<std::mutex> lock(fake.mutex);
    EXPECT_EQ(fake.connected, std::vector<uint16_t>{a});
    EXPECT_EQ(fake.accepted, std::vector<uint16_t>{b});
    FlowmeshStreamEntry *entry = flowmesh_stream_find(manager, a, 1);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->peer_id, 900u);
    EXPECT_GE(entry->initial_sequence, 1u);
    EXPECT_LE(entry->initial_sequence, 0x20000000u);
    flowmesh_stream_release(manager, a);
}

// Both nodes opening the same stream at once make the request and the reply
// build for one entry together: exactly one transport is made and started.
TEST_F(StreamsTest, RacingBuildsMakeOneTransport)
{
    std::vector<uint16_t> ids;
    for (int i = 0; i < 50; ++i) ids.push_back(create(FLOWMESH_STREAM_TABLE_STREAMS));
    std::atomic<int> started{0};
    auto run = [&](bool initiator) {
        for (uint16_t id : ids)
            if (connect(id, 7, initiator) == CORE_OK) started.fetch_add(1);
    };
    std::thread opener(run, true), answerer(run, false);
    opener.join();
    answerer.join();
    EXPECT_EQ(started.load(), 50);
    std::lock_guard<std::mutex> lock(fake.mutex);
    EXPECT_EQ(fake.connected.size() + fake.accepted.size(), 50u);
}

// Records reach the transport of their destination id in either table,
// in arrival order per stream; records for an entry without a transport,
// an unknown id, or too short or misaligned to hold a header are dropped.
TEST_F(StreamsTest, RoutingTable)
{
    // Ids 0..255 in the service table and 256..300 in the other.
    for (uint32_t i = 0; i < 256; ++i) create(FLOWMESH_STREAM_TABLE_SERVICE);
    for (uint32_t i = 256; i <= 300; ++i) create(FLOWMESH_STREAM_TABLE_STREAMS);
    const uint16_t routed[] = {0, 255, 256, 300};
    for (uint16_t id : routed) ASSERT_EQ(connect(id, uint16_t(id + 1000)), CORE_OK);

    std::vector<std::vector<uint8_t>> buffers;
    // Interleaved: 75 records to each routed id, then some that go nowhere.
    for (uint64_t i = 0; i < 300; ++i) {
        const uint16_t id = routed[i % 4];
        buffers.push_back(datagram(id, uint16_t(id + 1000), i));
    }
    buffers.push_back(datagram(1, 1001, 9000));     // entry without a transport
    buffers.push_back(datagram(7000, 8000, 9001));  // no entry
    std::vector<uint8_t> short_one = datagram(0, 1000, 9002);
    short_one.resize(FLOWMESH_RECORD_HEAD + 31);
    std::vector<uint8_t> misaligned = datagram(0, 1000, 9003);
    misaligned.resize(misaligned.size() - 1);
    std::vector<uint8_t> head_only(FLOWMESH_RECORD_HEAD, 0);
    buffers.push_back(short_one);
    buffers.push_back(misaligned);
    buffers.push_back(head_only);

    std::vector<CoreQueueEntry> records;
    for (auto &b : buffers) records.push_back(record_of(b));
    CoreQueueEntry no_data = {};
    no_data.length = 100;
    records.push_back(no_data);

    EXPECT_EQ(flowmesh_route_session_datagrams(manager, records.data(), records.size()), 300u);
    EXPECT_EQ(manager->malformed.load(), 4u);
    EXPECT_EQ(manager->dropped.load(), 6u);
    ASSERT_TRUE(wait_until([&] { return fake.delivered_count() == 300; }));

    std::lock_guard<std::mutex> lock(fake.mutex);
    uint64_t last[4] = {};
    bool first[4] = {true, true, true, true};
    for (const Delivered &d : fake.delivered) {
        EXPECT_EQ(d.local_id, d.destination);
        EXPECT_EQ(d.source, d.destination + 1000);
        const size_t k = std::find(std::begin(routed), std::end(routed), d.local_id) - std::begin(routed);
        ASSERT_LT(k, 4u);
        EXPECT_EQ(d.sequence % 4, k);
        if (!first[k]) {
            EXPECT_GT(d.sequence, last[k]) << "reordered on stream " << d.local_id;
        }
        first[k] = false;
        last[k] = d.sequence;
    }
}

// 300 records for one stream in one call leave in chunks of at most 256,
// all delivered, in order.
TEST_F(StreamsTest, LargeBatchForOneStream)
{
    const uint16_t id = create(FLOWMESH_STREAM_TABLE_STREAMS);
    ASSERT_EQ(connect(id, 5), CORE_OK);
    std::vector<std::vector<uint8_t>> buffers;
    std::vector<CoreQueueEntry> records;
    for (uint64_t i = 0; i < 300; ++i) buffers.push_back(datagram(id, 5, i));
    for (auto &b : buffers) records.push_back(record_of(b));
    EXPECT_EQ(flowmesh_route_session_datagrams(manager, records.data(), records.size()), 300u);
    ASSERT_TRUE(wait_until([&] { return fake.delivered_count() == 300; }));
    std::lock_guard<std::mutex> lock(fake.mutex);
    for (uint64_t b : fake.batches) EXPECT_LE(b, FLOWMESH_ROUTE_CHUNK);
    for (uint64_t i = 0; i < 300; ++i) EXPECT_EQ(fake.delivered[i].sequence, i);
}

TEST_F(StreamsTest, ManagerRefusesUnusableSessionKey)
{
    FlowmeshStreamManagerConfig config = {};
    EXPECT_EQ(flowmesh_stream_manager_create(&config), 0u);  // kind 0
    config.session_key.kind = 1;
    config.session_key.length = 7;  // no AES key of that length
    EXPECT_EQ(flowmesh_stream_manager_create(&config), 0u);
}

}  // namespace
