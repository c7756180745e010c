// Control messages: golden wire bytes of every code, the round trip through
// the TLV channel, and records a peer shortened, retyped or lied in, which
// are refused before a value is read.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "core/queue.h"
#include "flowmesh/control.h"
#include "tlv_support.h"

namespace {

using namespace tlv_support;

const uint8_t kNode[32] = {'n', 'o', 'd', 'e', '.', 'b', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                           0,   0,   0,   0,   0,   0,   0, 0, 0, 0, 0, 0, 0, 0, 0, 0xEE};
const uint8_t kStream[32] = {'v', 'i', 'd', 'e', 'o', '.', '1'};

Bytes key_of(uint32_t n, uint8_t seed)
{
    Bytes k(n);
    for (uint32_t i = 0; i < n; ++i) k[i] = uint8_t(seed + 7 * i);
    return k;
}

// One message of each code: the message to send and its items as the wire
// carries them (total worked out from the table, not from the encoder).
struct Golden {
    const char *purpose;
    FlowmeshControlMessage message;
    std::vector<Item> items;
    size_t wire_size;
    Bytes payload;  // forward payload or stream key, kept alive here
};

std::vector<Item> head(uint32_t total, uint32_t code, uint32_t argument, uint64_t sequence)
{
    return {u32(total), u32(code), u32(argument), u64(sequence)};
}

std::vector<Item> join(std::vector<Item> a, std::initializer_list<Item> body)
{
    a.insert(a.end(), body.begin(), body.end());
    a.push_back(end());
    return a;
}

std::vector<Golden> goldens()
{
    std::vector<Golden> out;
    {
        Golden g = {"peer value", {}, {}, 54, {}};
        g.message.code = FLOWMESH_CTL_PEER_VALUE;
        g.message.sequence = 1;
        g.message.peer_value = 4;
        g.items = join(head(24, 0, 0, 1), {u32(4)});
        out.push_back(g);
    }
    {
        Golden g = {"identity", {}, {}, 95, {}};
        g.message.code = FLOWMESH_CTL_IDENTITY;
        g.message.sequence = 2;
        g.message.stamp = 0x1122334455667788ull;
        memcpy(g.message.node_id, kNode, 32);
        g.items = join(head(60, 2, 0, 2), {u64(0x1122334455667788ull), id(kNode)});
        out.push_back(g);
    }
    {
        Golden g = {"established from peer mode 2", {}, {}, 58, {}};
        g.message.code = FLOWMESH_CTL_ESTABLISHED;
        g.message.argument = 1;
        g.message.sequence = 3;
        g.items = join(head(28, 0xF000, 1, 3), {u64(0)});
        out.push_back(g);
    }
    {
        Golden g = {"close", {}, {}, 58, {}};
        g.message.code = FLOWMESH_CTL_CLOSE;
        g.message.sequence = 9;
        g.items = join(head(28, 3, 0, 9), {u64(0)});
        out.push_back(g);
    }
    for (uint32_t n : {0u, 5u, 100000u}) {
        Golden g = {"forward", {}, {}, 59 + n, key_of(n, 3)};
        g.message.code = FLOWMESH_CTL_FORWARD;
        g.message.sequence = 10 + n;
        g.message.payload_length = n;
        g.items = join(head(24 + n, 1, 0, 10 + n), {u32(n), blob(g.payload)});
        out.push_back(g);
    }
    for (uint32_t kind : {1u, 2u}) {
        const uint32_t n = kind == 1 ? 16 : 32;
        Golden g = {"open stream", {}, {}, 130 + n, key_of(n, 0x40)};
        g.message.code = FLOWMESH_CTL_OPEN_STREAM;
        g.message.argument = 511;
        g.message.sequence = 4;
        g.message.stream_id = 257;
        g.message.kind = 3;
        g.message.class_word = 0xABCD;
        memcpy(g.message.stream_name, kStream, 32);
        g.message.key_kind = kind;
        g.message.key_length = n;
        g.items = join(head(70 + n, 0x10000, 511, 4),
                       {u16(257), u32(3), u32(0xABCD), id(kStream), u32(kind), u32(n), blob(g.payload)});
        out.push_back(g);

        Golden r = {"open stream reply", {}, {}, 82 + n, key_of(n, 0x90)};
        r.message.code = FLOWMESH_CTL_OPEN_STREAM_REPLY;
        r.message.argument = 63;
        r.message.sequence = 5;
        r.message.stream_id = 300;
        r.message.opener_id = 257;
        r.message.key_kind = kind;
        r.message.key_length = n;
        r.items = join(head(32 + n, 0x10001, 63, 5), {u16(300), u16(257), u32(kind), u32(n), blob(r.payload)});
        out.push_back(r);
    }
    return out;
}

// Bytes the encoder posts on a writer with no consumer.
Bytes send_and_take(const FlowmeshControlMessage &m, CoreResult *result)
{
    CoreChannelConfig cc = {};
    CoreChannel *writer = core_channel_create(&cc);
    CoreName session;
    core_name_format(&session, "session.b");
    *result = flowmesh_control_send(writer, &session, &m);
    Bytes out;
    if (CoreQueueRecord *record = core_queue_pop(writer->queue)) {
        CoreQueueEntry e = core_queue_record_entry(record);
        EXPECT_STREQ(e.name.text, "session.b");
        EXPECT_EQ(e.type, 0u);
        const auto *p = static_cast<const uint8_t *>(e.data);
        out.assign(p, p + e.length);
        core_queue_record_free(writer->queue, &record);
    }
    core_channel_destroy(&writer);
    return out;
}

// Parse results, taken on the reader's consumer thread while the record
// is alive; the pointed-to bytes are copied.
struct Parsed {
    CoreResult result;
    FlowmeshControlMessage message;
    Bytes pointed;
};

struct ParseLog {
    std::mutex mutex;
    std::vector<Parsed> parsed;

    static void parse(const FlowmeshTlvRecord *record, void *user)
    {
        auto *log = static_cast<ParseLog *>(user);
        Parsed p = {};
        p.result = flowmesh_control_parse(record, &p.message);
        if (p.message.payload != nullptr) p.pointed.assign(p.message.payload, p.message.payload + p.message.payload_length);
        if (p.message.key != nullptr) p.pointed.assign(p.message.key, p.message.key + p.message.key_length);
        std::lock_guard<std::mutex> lock(log->mutex);
        log->parsed.push_back(p);
    }
};

struct ControlReader : Reader {
    ParseLog log;
    ControlReader()
    {
        parse = ParseLog::parse;
        parse_user = &log;
    }
    // Feeds one record and returns its parse.
    Parsed parse_wire(const Bytes &wire)
    {
        const size_t before = count();
        EXPECT_EQ(feed(wire), CORE_OK);
        EXPECT_TRUE(wait_for(before + 1));
        std::lock_guard<std::mutex> lock(log.mutex);
        return log.parsed.back();
    }
};

// The encoder writes exactly the table's bytes, and the parser gives back
// every field of every code.
TEST(ControlMessages, GoldenBytesAndRoundTrip)
{
    ControlReader reader;
    for (Golden &g : goldens()) {
        SCOPED_TRACE(g.purpose);
        if (g.message.code == FLOWMESH_CTL_FORWARD) g.message.payload = g.payload.data();
        if (g.message.key_length != 0) g.message.key = g.payload.data();
        CoreResult sent;
        const Bytes wire = send_and_take(g.message, &sent);
        ASSERT_EQ(sent, CORE_OK);
        EXPECT_EQ(wire.size(), g.wire_size);
        EXPECT_EQ(wire, wire_of(g.items));

        const Parsed p = reader.parse_wire(wire);
        ASSERT_EQ(p.result, CORE_OK);
        const FlowmeshControlMessage &m = p.message;
        EXPECT_EQ(m.total, wire.size() - 5 * g.items.size());
        EXPECT_EQ(m.code, g.message.code);
        EXPECT_EQ(m.argument, g.message.argument);
        EXPECT_EQ(m.sequence, g.message.sequence);
        EXPECT_EQ(m.peer_value, g.message.peer_value);
        EXPECT_EQ(m.stamp, g.message.stamp);
        EXPECT_EQ(memcmp(m.node_id, g.message.node_id, 32), 0);
        EXPECT_EQ(m.payload_length, g.message.payload_length);
        EXPECT_EQ(m.stream_id, g.message.stream_id);
        EXPECT_EQ(m.opener_id, g.message.opener_id);
        EXPECT_EQ(m.kind, g.message.kind);
        EXPECT_EQ(m.class_word, g.message.class_word);
        EXPECT_EQ(memcmp(m.stream_name, g.message.stream_name, 32), 0);
        EXPECT_EQ(m.key_kind, g.message.key_kind);
        EXPECT_EQ(m.key_length, g.message.key_length);
        EXPECT_EQ(p.pointed, g.payload);
    }
}

// Every record cut after any of its items (and closed with an end item) is
// refused, as is every record with one item dropped: no schema holds a
// shorter record.
TEST(ControlMessages, TruncatedRecordsRefused)
{
    ControlReader reader;
    for (const Golden &g : goldens()) {
        SCOPED_TRACE(g.purpose);
        const size_t body = g.items.size() - 1;  // without the end item
        for (size_t keep = 0; keep < body; ++keep) {
            std::vector<Item> cut(g.items.begin(), g.items.begin() + keep);
            cut.push_back(end());
            // A truthful total, so only the schema can refuse it.
            if (keep > 0) {
                uint32_t total = 0;
                for (const Item &i : cut) total += static_cast<uint32_t>(i.host.size());
                cut[0] = u32(total);
            }
            EXPECT_EQ(reader.parse_wire(wire_of(cut)).result, CORE_ERR_INVALID) << "kept " << keep;
        }
        for (size_t drop = 4; drop < body; ++drop) {
            std::vector<Item> cut = g.items;
            cut.erase(cut.begin() + drop);
            uint32_t total = 0;
            for (const Item &i : cut) total += static_cast<uint32_t>(i.host.size());
            cut[0] = u32(total);
            EXPECT_EQ(reader.parse_wire(wire_of(cut)).result, CORE_ERR_INVALID) << "dropped " << drop;
        }
    }
}

// Records whose items are well formed but whose schema or lengths lie.
TEST(ControlMessages, LyingRecordsRefused)
{
    const Bytes k16 = key_of(16, 1), k32 = key_of(32, 2), k1024 = key_of(1024, 3);
    auto open = [](uint32_t kind, uint32_t n, const Bytes &key) {
        return join(head(70 + uint32_t(key.size()), 0x10000, 511, 1),
                    {u16(1), u32(3), u32(0), id(kStream), u32(kind), u32(n), blob(key)});
    };
    auto reply = [](uint32_t kind, uint32_t n, const Bytes &key) {
        return join(head(32 + uint32_t(key.size()), 0x10001, 511, 1), {u16(2), u16(1), u32(kind), u32(n), blob(key)});
    };
    struct Case {
        const char *purpose;
        std::vector<Item> items;
    };
    std::vector<Case> cases = {
        {"open: a 1024-byte key", open(2, 1024, k1024)},
        {"open: length 16 for key kind 2", open(2, 16, k16)},
        {"open: length 32, blob 16", open(2, 32, k16)},
        {"open: unknown key kind", open(3, 32, k32)},
        {"open: empty key", open(1, 0, {})},
        {"reply: a 1024-byte key", reply(2, 1024, k1024)},
        {"reply: length 32 for key kind 1", reply(1, 32, k32)},
        {"reply: length 16, blob 32", reply(1, 16, k32)},
        {"forward: length above its blob", join(head(24 + 9, 1, 0, 1), {u32(10), blob(key_of(9, 0))})},
        {"forward: length below its blob", join(head(24 + 9, 1, 0, 1), {u32(8), blob(key_of(9, 0))})},
        {"total one short", join(head(23, 0, 0, 1), {u32(4)})},
        {"code as u16", join({u32(22), u16(0), u32(0), u64(1)}, {u32(4)})},
        {"identity: text in place of the id", join(head(60, 2, 0, 1), {u64(1), {CORE_TLV_TEXT, Bytes(32, 'x')}})},
        {"extra item before the end", join(head(28, 0, 0, 1), {u32(4), u32(5)})},
        {"list markers around the body", join(head(24, 0, 0, 1), {{CORE_TLV_LIST_BEGIN, {}}, u32(4), {CORE_TLV_LIST_END, {}}})},
        {"only the end item", {end()}},
    };
    ControlReader reader;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.purpose);
        EXPECT_EQ(reader.parse_wire(wire_of(c.items)).result, CORE_ERR_INVALID);
    }
    // An unknown code with a sound head is accepted so the receiver can
    // ignore it, whatever its body.
    const Parsed unknown = reader.parse_wire(wire_of(join(head(20 + 4, 0x7777, 0, 1), {u32(1)})));
    EXPECT_EQ(unknown.result, CORE_OK);
    EXPECT_EQ(unknown.message.code, 0x7777u);
}

// The encoder refuses what the parser would refuse, so a node never sends a
// message its peer must drop.
TEST(ControlMessages, EncoderRefusesUnsoundMessages)
{
    const Bytes key = key_of(32, 0);
    struct Case {
        const char *purpose;
        FlowmeshControlMessage message;
    };
    FlowmeshControlMessage open = {};
    open.code = FLOWMESH_CTL_OPEN_STREAM;
    open.key = key.data();
    std::vector<Case> cases;
    open.key_kind = 2, open.key_length = 16;
    cases.push_back({"key kind 2 with 16 bytes", open});
    open.key_kind = 1, open.key_length = 1024;
    cases.push_back({"1024-byte key", open});
    open.key_kind = 1, open.key_length = 16, open.key = nullptr;
    cases.push_back({"no key bytes", open});
    FlowmeshControlMessage forward = {};
    forward.code = FLOWMESH_CTL_FORWARD;
    forward.payload = key.data();
    forward.payload_length = FLOWMESH_CONTROL_FORWARD_MAX + 1;
    cases.push_back({"forward above the blob limit", forward});
    FlowmeshControlMessage unknown = {};
    unknown.code = 0x7777;
    cases.push_back({"unknown code", unknown});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.purpose);
        CoreResult result;
        EXPECT_TRUE(send_and_take(c.message, &result).empty());
        EXPECT_EQ(result, CORE_ERR_INVALID);
    }
    EXPECT_EQ(flowmesh_control_flag_set(1), 1u);
    EXPECT_EQ(flowmesh_control_flag_set(2), 63u);
    EXPECT_EQ(flowmesh_control_flag_set(0x103), 511u);
    EXPECT_EQ(flowmesh_control_flag_set(4), 0u);
}

}  // namespace
