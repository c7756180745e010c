// The TLV channel's reader: records cut anywhere, several per piece, bad
// items and recovery, and the item schema that travels beside the values.
#include <gtest/gtest.h>

#include <vector>

#include "core/tlv.h"
#include "flowmesh/service.h"
#include "tlv_support.h"

namespace {

using namespace tlv_support;

uint8_t kId[32] = {0xC0, 0xFF, 0xEE, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13,
                   14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29};

// A record with every value type, markers included.
std::vector<Item> sample_record(uint8_t tag)
{
    return {
        integer<uint8_t>(CORE_TLV_U8, tag),
        integer<uint16_t>(CORE_TLV_U16, 0x0102),
        integer<uint32_t>(CORE_TLV_U32, 0x03040506u),
        integer<uint64_t>(CORE_TLV_U64, 0x0708090A0B0C0D0Eull),
        {CORE_TLV_LIST_BEGIN, {}},
        {CORE_TLV_ID, Bytes(kId, kId + 32)},
        {CORE_TLV_TEXT, Bytes{'h', 'e', 'l', 'l', 'o'}},
        {CORE_TLV_BLOB, Bytes(40, tag)},
        {CORE_TLV_LIST_END, {}},
        {CORE_TLV_END, {}},
    };
}

void expect_record(const Got &g, const std::vector<Item> &items)
{
    EXPECT_EQ(g.values, values_of(items));
    ASSERT_EQ(g.types.size(), items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(g.types[i], items[i].type) << "item " << i;
        EXPECT_EQ(g.lengths[i], items[i].host.size()) << "item " << i;
    }
}

// A record split at every byte boundary arrives once per split, identical to
// the unsplit record, with integers in host order.
TEST(TlvReader, RecordSplitAtEveryBoundary)
{
    Reader reader;
    ASSERT_NE(reader.channel, nullptr);
    const auto items = sample_record(0x5A);
    const Bytes wire = wire_of(items);
    for (size_t cut = 1; cut < wire.size(); ++cut) {
        ASSERT_EQ(reader.feed(wire.data(), cut), CORE_OK);
        ASSERT_EQ(reader.feed(wire.data() + cut, wire.size() - cut), CORE_OK);
    }
    // And one byte at a time.
    for (uint8_t b : wire) ASSERT_EQ(reader.feed(&b, 1), CORE_OK);
    const size_t expected = wire.size();
    ASSERT_TRUE(reader.wait_for(expected));
    for (const Got &g : reader.got) {
        expect_record(g, items);
        EXPECT_EQ(g.name, "session.a");
        EXPECT_EQ(g.type, 7u);
        EXPECT_EQ(g.flags, 9u);
    }
}

// Several records in one piece leave as several messages, in order; an
// empty record (only the end item) is a record too.
TEST(TlvReader, SeveralRecordsInOneFeed)
{
    Reader reader;
    Bytes wire;
    std::vector<std::vector<Item>> records;
    for (uint8_t tag = 1; tag <= 4; ++tag) {
        records.push_back(sample_record(tag));
        const Bytes w = wire_of(records.back());
        wire.insert(wire.end(), w.begin(), w.end());
    }
    records.push_back({{CORE_TLV_END, {}}});
    wire.insert(wire.end(), {CORE_TLV_END, 0, 0, 0, 0});
    ASSERT_EQ(reader.feed(wire), CORE_OK);
    ASSERT_TRUE(reader.wait_for(records.size()));
    for (size_t i = 0; i < records.size(); ++i) expect_record(reader.got[i], records[i]);
}

// A bad item fails the feed and drops the whole partial record, including
// the items before it; the next feed that starts a valid record is
// delivered alone.
TEST(TlvReader, BadItemDropsRecordAndRecovers)
{
    struct Case {
        const char *purpose;
        Bytes bad;
    };
    const Case cases[] = {
        {"u16 of length 3", {CORE_TLV_U16, 0, 0, 0, 3, 1, 2, 3}},
        {"u32 of length 2", {CORE_TLV_U32, 0, 0, 0, 2, 1, 2}},
        {"id of length 31", {CORE_TLV_ID, 0, 0, 0, 31}},
        {"text above 1024", {CORE_TLV_TEXT, 0, 0, 0x04, 0x01}},
        {"blob above 4 MiB", {CORE_TLV_BLOB, 0, 0x40, 0, 1}},
        {"end item with a value", {CORE_TLV_END, 0, 0, 0, 1, 0}},
        {"unknown type", {0x05, 0, 0, 0, 0}},
    };
    Reader reader;
    const auto good = sample_record(0x33);
    const Bytes good_wire = wire_of(good);
    size_t delivered = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.purpose);
        // Half a record first, so the drop has something to drop.
        const Bytes prefix = wire_of({integer<uint32_t>(CORE_TLV_U32, 77), {CORE_TLV_TEXT, Bytes{'x'}}});
        ASSERT_EQ(reader.feed(prefix), CORE_OK);
        Bytes bad = c.bad;
        bad.insert(bad.end(), good_wire.begin(), good_wire.end());  // lost with the rest of the piece
        EXPECT_EQ(reader.feed(bad), CORE_ERR);
        ASSERT_EQ(reader.feed(good_wire), CORE_OK);
        ++delivered;
        ASSERT_TRUE(reader.wait_for(delivered));
        expect_record(reader.got.back(), good);
    }
    EXPECT_EQ(reader.channel->dropped, std::size(cases));
}

// A pool too small to hold one record's nodes is raised to the minimum; a
// bounded pool that runs out fails the feed rather than overrunning.
TEST(TlvReader, PoolBounds)
{
    Reader small(50);
    ASSERT_NE(small.channel, nullptr);
    EXPECT_EQ(small.channel->pool_size, FLOWMESH_TLV_CHANNEL_MIN_POOL);

    Reader bounded(4096);
    ASSERT_NE(bounded.channel, nullptr);
    std::vector<Item> big = {{CORE_TLV_BLOB, Bytes(3000, 1)}, {CORE_TLV_BLOB, Bytes(3000, 2)}, {CORE_TLV_END, {}}};
    const Bytes wire = wire_of(big);
    // Split so the decoder must collect the value in the pool.
    EXPECT_EQ(bounded.feed(wire.data(), 100), CORE_OK);
    EXPECT_EQ(bounded.feed(wire.data() + 100, wire.size() - 100), CORE_ERR);
    const auto fits = sample_record(1);
    ASSERT_EQ(bounded.feed(wire_of(fits)), CORE_OK);
    ASSERT_TRUE(bounded.wait_for(1));
    expect_record(bounded.got[0], fits);
}

}  // namespace
