// Stream datagrams: wire lengths, sealing and opening, and every reason a
// received datagram is refused.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "core/random.h"
#include "flowmesh/datagram.h"

namespace {

constexpr uint16_t kSender = 300;    // the sender's local stream id
constexpr uint16_t kReceiver = 301;  // the receiver's local stream id

struct Keys {
    CoreAesKey *header = nullptr;
    CoreAesKey *payload = nullptr;
    Keys(uint64_t header_length, uint64_t payload_length)
    {
        uint8_t h[32], p[32];
        for (int i = 0; i < 32; ++i) {
            h[i] = static_cast<uint8_t>(i * 7 + 1);
            p[i] = static_cast<uint8_t>(i * 13 + 5);
        }
        header = core_aes_create(h, header_length);
        payload = core_aes_create(p, payload_length);
    }
    ~Keys()
    {
        core_aes_destroy(&header);
        core_aes_destroy(&payload);
    }
};

const FlowmeshOpenRules kRules = {kReceiver, kSender, FLOWMESH_FLAG_SET_RELIABLE, FLOWMESH_FLAG_SET_RELIABLE};

// A datagram built by hand, so its header may lie about itself.
std::vector<uint8_t> craft(const Keys &keys, uint16_t length_field, uint64_t body, uint16_t destination = kReceiver,
                           uint16_t check_id = kSender, uint16_t flags = 0)
{
    FlowmeshPacketHeader h = {};
    h.length = length_field;
    h.token = 0x8123;
    h.check = static_cast<uint16_t>(h.token ^ check_id);
    h.destination = destination;
    h.flags = flags;
    std::vector<uint8_t> wire(FLOWMESH_HEADER_SIZE + body, 0x5A);
    flowmesh_header_encode(&h, wire.data());
    EXPECT_EQ(core_aes_encrypt(keys.header, wire.data(), wire.data(), FLOWMESH_HEADER_SIZE), CORE_OK);
    if (body % 16 == 0 && body > 0) {
        EXPECT_EQ(core_aes_encrypt(keys.payload, wire.data() + 32, wire.data() + 32, body), CORE_OK);
    }
    return wire;
}

CoreResult open(const Keys &keys, const std::vector<uint8_t> &wire, const FlowmeshOpenRules &rules = kRules)
{
    FlowmeshPacketHeader h;
    uint8_t payload[FLOWMESH_PAYLOAD_MAX];
    uint64_t n = 0;
    return flowmesh_datagram_open(keys.header, keys.payload, &rules, wire.data(), wire.size(), &h, payload, &n);
}

TEST(FlowmeshDatagram, WireLengthOfPayload)
{
    const struct {
        uint64_t payload;
        int64_t wire;
    } rows[] = {{0, 32}, {1, 48}, {15, 48}, {16, 48}, {17, 64}, {1407, 1440}, {1408, 1440}, {1409, -1}, {UINT64_MAX, -1}};
    for (const auto &row : rows) EXPECT_EQ(flowmesh_wire_length(row.payload), row.wire) << row.payload;
}

TEST(FlowmeshDatagram, SealThenOpenKeepsHeaderAndPayload)
{
    for (uint64_t payload_key_length : {16, 32}) {
        Keys keys(16, payload_key_length);
        for (uint64_t n : {0, 1, 15, 16, 33, 1407, 1408}) {
            std::vector<uint8_t> payload(n);
            for (uint64_t i = 0; i < n; ++i) payload[i] = static_cast<uint8_t>(i * 31);
            FlowmeshPacketHeader sent = {};
            sent.sequence = 0x0102030405060708ull;
            sent.flags = FLOWMESH_RELIABLE_ACK;
            sent.destination = kReceiver;
            for (int i = 0; i < FLOWMESH_HDR_SPECIFIC_SIZE; ++i) sent.specific[i] = static_cast<uint8_t>(0xE0 + i);
            uint8_t wire[FLOWMESH_DATAGRAM_MAX];
            uint64_t wire_length = 0;
            ASSERT_EQ(flowmesh_datagram_seal(keys.header, keys.payload, &sent, kSender, payload.data(), n, wire,
                                             &wire_length),
                      CORE_OK);
            EXPECT_EQ(static_cast<int64_t>(wire_length), flowmesh_wire_length(n));
            EXPECT_EQ(sent.length, 32 + n);
            EXPECT_EQ(sent.token & 0x8000, 0x8000);
            EXPECT_EQ(sent.token ^ sent.check, kSender);

            FlowmeshPacketHeader got;
            uint8_t out[FLOWMESH_PAYLOAD_MAX];
            uint64_t got_length = 0;
            ASSERT_EQ(flowmesh_datagram_open(keys.header, keys.payload, &kRules, wire, wire_length, &got, out,
                                             &got_length),
                      CORE_OK)
                << n;
            EXPECT_EQ(got_length, n);
            EXPECT_TRUE(n == 0 || memcmp(out, payload.data(), n) == 0);
            EXPECT_EQ(got.sequence, sent.sequence);
            EXPECT_EQ(got.token, sent.token);
            EXPECT_EQ(got.flags, sent.flags);
            EXPECT_EQ(memcmp(got.specific, sent.specific, sizeof(got.specific)), 0);
        }
    }
}

TEST(FlowmeshDatagram, HeaderIsBigEndianOnTheWire)
{
    FlowmeshPacketHeader h = {};
    h.length = 0x0102;
    h.token = 0x8304;
    h.sequence = 0x05060708090A0B0Cull;
    h.flags = 0x0D0E;
    h.destination = 0x0F10;
    h.check = 0x2122;
    uint8_t bytes[32];
    flowmesh_header_encode(&h, bytes);
    const uint8_t expected[16] = {1, 2, 0x83, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    EXPECT_EQ(memcmp(bytes, expected, 16), 0);
    EXPECT_EQ(bytes[30], 0x21);
    EXPECT_EQ(bytes[31], 0x22);
}

TEST(FlowmeshDatagram, TokenIsDrawnUnlessTheKindKeepsOne)
{
    // Two draws: 0x1FF gives bits 8..14 = 0x7F, 0x1AB gives bits 0..7 = 0xAB.
    static const int draws[] = {0x1FF, 0x1AB};
    static int next = 0;
    next = 0;
    core_rand_set_hook([](void *) { return draws[next++ % 2]; }, nullptr);
    EXPECT_EQ(flowmesh_token_draw(), 0xFFAB);
    core_rand_set_hook(nullptr, nullptr);

    Keys keys(16, 16);
    uint8_t wire[FLOWMESH_DATAGRAM_MAX];
    uint64_t n = 0;
    FlowmeshPacketHeader h = {};
    h.token = 0x9234;
    ASSERT_EQ(flowmesh_datagram_seal(keys.header, keys.payload, &h, kSender, nullptr, 0, wire, &n), CORE_OK);
    EXPECT_EQ(h.token, 0x9234);
    EXPECT_EQ(h.check, 0x9234 ^ kSender);
}

TEST(FlowmeshDatagram, SealRefusesAnOversizePayload)
{
    Keys keys(16, 16);
    std::vector<uint8_t> payload(1409);
    uint8_t wire[FLOWMESH_DATAGRAM_MAX + 64];
    uint64_t n = 99;
    FlowmeshPacketHeader h = {};
    EXPECT_EQ(flowmesh_datagram_seal(keys.header, keys.payload, &h, kSender, payload.data(), 1409, wire, &n),
              CORE_ERR);
    EXPECT_EQ(n, 0u);
}

TEST(FlowmeshDatagram, OpenRefusals)
{
    Keys keys(16, 32);
    const FlowmeshOpenRules no_peer_set = {kReceiver, kSender, FLOWMESH_FLAG_SET_RELIABLE, 0};
    const FlowmeshOpenRules paced_peer = {kReceiver, kSender, FLOWMESH_FLAG_SET_PACED, FLOWMESH_FLAG_SET_PACED};
    const struct {
        const char *what;
        std::vector<uint8_t> wire;
        FlowmeshOpenRules rules;
        CoreResult result;
    } rows[] = {
        {"header only", craft(keys, 32, 0), kRules, CORE_OK},
        {"one byte", craft(keys, 33, 16), kRules, CORE_OK},
        {"full", craft(keys, 1440, 1408), kRules, CORE_OK},
        {"short wire", std::vector<uint8_t>(31), kRules, CORE_ERR},
        {"empty wire", std::vector<uint8_t>(), kRules, CORE_ERR},
        {"payload not whole blocks", craft(keys, 40, 8), kRules, CORE_ERR},
        {"long wire", craft(keys, 1440, 1424), kRules, CORE_ERR},
        {"length beyond the wire", craft(keys, 1440, 16), kRules, CORE_ERR},
        {"length beyond one block", craft(keys, 49, 16), kRules, CORE_ERR},
        {"length short of the wire", craft(keys, 33, 32), kRules, CORE_ERR},
        {"length below the header", craft(keys, 31, 0), kRules, CORE_ERR},
        {"length above 1440", craft(keys, 1441, 1408), kRules, CORE_ERR},
        {"wrong destination", craft(keys, 32, 0, kReceiver + 1), kRules, CORE_ERR},
        {"wrong check", craft(keys, 32, 0, kReceiver, kSender + 1), kRules, CORE_ERR},
        {"flag outside the peer's set", craft(keys, 32, 0, kReceiver, kSender, 0x0002), paced_peer, CORE_ERR},
        {"flag inside the peer's set", craft(keys, 32, 0, kReceiver, kSender, 0x0001), paced_peer, CORE_OK},
        {"peer set unknown", craft(keys, 32, 0, kReceiver, kSender, 0x8000), no_peer_set, CORE_OK},
    };
    for (const auto &row : rows) EXPECT_EQ(open(keys, row.wire, row.rules), row.result) << row.what;
}

TEST(FlowmeshDatagram, RecordOpenAndIds)
{
    Keys keys(32, 16);
    uint8_t buffer[FLOWMESH_RECORD_BUFFER] = {};
    FlowmeshPacketHeader h = {};
    h.destination = kReceiver;
    uint64_t wire = 0;
    ASSERT_EQ(flowmesh_datagram_seal(keys.header, keys.payload, &h, kSender, "hello", 5, buffer + 32, &wire), CORE_OK);

    uint16_t destination = 0, source = 0;
    ASSERT_EQ(flowmesh_datagram_ids(keys.header, buffer + 32, wire, &destination, &source), CORE_OK);
    EXPECT_EQ(destination, kReceiver);
    EXPECT_EQ(source, kSender);
    EXPECT_EQ(flowmesh_datagram_ids(keys.header, buffer + 32, 31, &destination, &source), CORE_ERR);

    CoreQueueEntry record = {};
    record.data = buffer;
    record.length = wire + FLOWMESH_RECORD_HEAD;
    uint8_t payload[FLOWMESH_PAYLOAD_MAX];
    uint64_t n = 0;
    ASSERT_EQ(flowmesh_record_open(keys.header, keys.payload, &kRules, &record, &h, payload, &n), CORE_OK);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(memcmp(payload, "hello", 5), 0);

    record.length = 31;
    EXPECT_EQ(flowmesh_record_open(keys.header, keys.payload, &kRules, &record, &h, payload, &n), CORE_ERR);
    record.length = wire + FLOWMESH_RECORD_HEAD;
    record.data = nullptr;
    EXPECT_EQ(flowmesh_record_open(keys.header, keys.payload, &kRules, &record, &h, payload, &n), CORE_ERR);
}

// Random and mutated datagrams: nothing may be read past the wire, and what
// is accepted must describe itself truthfully.
TEST(FlowmeshDatagram, SeededRandomAndMutatedDatagrams)
{
    Keys keys(16, 16);
    std::mt19937_64 random(20240611);
    // Peer flag set 0: the flag rule does not hide length faults.
    const FlowmeshOpenRules rules = {kReceiver, kSender, 0, 0};
    uint64_t accepted = 0;
    for (int i = 0; i < 200000; ++i) {
        std::vector<uint8_t> wire;
        if (i % 2 == 0) {
            wire.resize(random() % (FLOWMESH_DATAGRAM_MAX + 64));
            for (auto &b : wire) b = static_cast<uint8_t>(random());
        } else {
            // A valid datagram with a few bytes flipped, cut or grown.
            const uint64_t n = random() % (FLOWMESH_PAYLOAD_MAX + 1);
            std::vector<uint8_t> payload(n, 0x33);
            FlowmeshPacketHeader h = {};
            h.destination = kReceiver;
            wire.resize(FLOWMESH_DATAGRAM_MAX);
            uint64_t w = 0;
            ASSERT_EQ(flowmesh_datagram_seal(keys.header, keys.payload, &h, kSender, payload.data(), n, wire.data(), &w),
                      CORE_OK);
            wire.resize(w);
            switch (random() % 3) {
            case 0:
                wire[random() % wire.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
                break;
            case 1:
                wire.resize(random() % (wire.size() + 1));
                break;
            default:
                wire.resize(wire.size() + 16 * (1 + random() % 4), 0);
                break;
            }
        }
        FlowmeshPacketHeader h;
        // Exactly the wire bytes on the heap, so ASan sees any read past them.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[wire.size() + 1]);
        if (!wire.empty()) memcpy(exact.get(), wire.data(), wire.size());
        std::unique_ptr<uint8_t[]> payload(new uint8_t[FLOWMESH_PAYLOAD_MAX]);
        uint64_t n = 0;
        if (flowmesh_datagram_open(keys.header, keys.payload, &rules, exact.get(), wire.size(), &h, payload.get(), &n) ==
            CORE_OK) {
            ++accepted;
            ASSERT_EQ(h.length, 32 + n);
            ASSERT_EQ(flowmesh_wire_length(n), static_cast<int64_t>(wire.size()));
        }
    }
    EXPECT_GT(accepted, 0u);
}

}  // namespace
