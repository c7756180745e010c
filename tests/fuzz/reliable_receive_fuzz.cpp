// The reliable stream's receive path against arbitrary peer datagrams.
//
// Each input is a run of datagrams for one fresh accepting stream: per
// datagram a block-count byte (payload blocks, taken modulo 89), then the
// 32 plain header bytes and that many 16-byte payload blocks, enciphered
// here block by block so that the fuzzer steers every header field (length,
// ids, flags, sequence numbers, control values) past the cipher. Unless
// the first input byte is odd, a valid SYN goes first, so that most inputs
// reach the handshake and established states. Datagrams go in batches of
// up to 16. Besides surviving, the stream must take every batch (a bad
// datagram is dropped, not fatal) and never deliver more payload bytes
// than the datagrams carried.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/executor.h"
#include "core/handle.h"
#include "core/pool.h"
#include "core/system.h"
#include "flowmesh/names.h"
#include "flowmesh/reliable.h"

namespace {

void require(bool ok)
{
    if (!ok) abort();
}

constexpr uint16_t kLocal = 9;
constexpr uint16_t kPeer = 5;
constexpr uint64_t kBatch = 16;

struct World {
    CoreAesKey *header;
    CoreAesKey *payload;
    FlowmeshTransportParams params;
};

uint64_t g_delivered = 0;

int on_data(uint16_t, const CoreName *, const void *, uint64_t length, void *)
{
    g_delivered += length;
    return 0;
}

int on_send(uint16_t, const CoreQueueEntry *, uint64_t, void *) { return 0; }

const World &world()
{
    static const World w = [] {
        require(core_system_start(0) == CORE_OK);
        CorePoolConfig config = {};
        config.size = 0x400000;
        config.granule = 128;
        config.flags = CORE_POOL_ARENA;
        CoreName name;
        core_name_format(&name, "%s", FLOWMESH_STREAM_POOL);
        require(core_pool_register(&name, core_pool_create(&config)) == CORE_OK);
        core_name_format(&name, "%s", FLOWMESH_STREAM_EXECUTOR);
        require(core_executor_create(&name) == 0);
        require(flowmesh_reliable_register() == CORE_OK);

        World out = {};
        FlowmeshTransportParams &p = out.params;
        p.kind = FLOWMESH_STREAM_RELIABLE;
        p.local_id = kLocal;
        p.peer_id = kPeer;
        p.initial_sequence = 500000;
        p.sequence_limit = 0xFFFFFFFFFFFF0000ull;
        p.send_buffer = 65536;
        p.receive_buffer = 65536;
        p.handshake_ms = 250;
        p.min_rto_ms = 1000;
        p.max_rto_ms = 8010;
        p.local_flags = p.peer_flags = FLOWMESH_FLAG_SET_RELIABLE;
        p.data_fn = on_data;
        p.send_fn = on_send;
        p.header_key.kind = 1;
        p.header_key.length = 16;
        p.payload_key.kind = 1;
        p.payload_key.length = 16;
        for (int i = 0; i < 16; ++i) {
            p.header_key.key[i] = static_cast<uint8_t>(0x30 + i);
            p.payload_key.key[i] = static_cast<uint8_t>(0xC0 + i);
        }
        out.header = core_aes_create(p.header_key.key, 16);
        out.payload = core_aes_create(p.payload_key.key, 16);
        return out;
    }();
    return w;
}

// One record: the 32-byte packet head, then the enciphered datagram.
std::vector<uint8_t> record_of(const uint8_t *plain, size_t length)
{
    std::vector<uint8_t> record(FLOWMESH_RECORD_HEAD + length);
    uint8_t *wire = record.data() + FLOWMESH_RECORD_HEAD;
    memcpy(wire, plain, length);
    require(core_aes_encrypt(world().header, wire, wire, FLOWMESH_HEADER_SIZE) == CORE_OK);
    if (length > FLOWMESH_HEADER_SIZE)
        require(core_aes_encrypt(world().payload, wire + FLOWMESH_HEADER_SIZE, wire + FLOWMESH_HEADER_SIZE,
                                 length - FLOWMESH_HEADER_SIZE) == CORE_OK);
    return record;
}

std::vector<uint8_t> valid_syn()
{
    FlowmeshPacketHeader h = {};
    h.length = FLOWMESH_HEADER_SIZE;
    h.token = 0x8123;
    h.sequence = 7000;
    h.flags = FLOWMESH_RELIABLE_SYN;
    h.destination = kLocal;
    h.check = static_cast<uint16_t>(h.token ^ kPeer);
    flowmesh_put_be32(h.specific, 1);
    uint8_t plain[FLOWMESH_HEADER_SIZE];
    flowmesh_header_encode(&h, plain);
    return record_of(plain, sizeof(plain));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const World &w = world();
    if (size == 0) return 0;
    std::vector<std::vector<uint8_t>> records;
    if ((data[0] & 1) == 0) records.push_back(valid_syn());
    uint64_t carried = 0;
    size_t at = 1;
    while (at + 1 + FLOWMESH_HEADER_SIZE <= size) {
        const size_t blocks = data[at] % 89;
        ++at;
        const size_t length = std::min(FLOWMESH_HEADER_SIZE + blocks * 16, size - at);
        const size_t whole = FLOWMESH_HEADER_SIZE + (length - FLOWMESH_HEADER_SIZE) / 16 * 16;
        records.push_back(record_of(data + at, whole));
        carried += whole - FLOWMESH_HEADER_SIZE;
        at += length;
    }

    g_delivered = 0;
    const uint64_t handle = flowmesh_transport_create(&w.params);
    require(handle != 0);
    require(flowmesh_transport_accept(handle, FLOWMESH_STREAM_RELIABLE) == CORE_OK);
    for (size_t first = 0; first < records.size(); first += kBatch) {
        std::vector<CoreQueueEntry> batch;
        for (size_t i = first; i < records.size() && i < first + kBatch; ++i)
            batch.push_back({{}, kLocal, kPeer, records[i].size(), records[i].data()});
        require(flowmesh_transport_receive(handle, FLOWMESH_STREAM_RELIABLE, batch.data(), batch.size()) == CORE_OK);
    }
    require(g_delivered <= carried);
    CoreHandleTable *table = core_handle_tables[CORE_HANDLES_NETWORK];
    core_handle_release(table, handle);
    core_handle_wait_freed(table, handle);
    return 0;
}
