#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/pool.h"
#include "engine/node.h"
#include "engine/records.h"

namespace {

bool same_name(const CoreName &a, const CoreName &b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

bool is_fresh(const EngineStreamRecord &record)
{
    EngineStreamRecord expected;
    memset(&expected, 0, sizeof expected);
    engine_props_init(&expected.props);
    return memcmp(&record, &expected, sizeof record) == 0;
}

// A record with every field set, so that a copy shows each one.
EngineStreamRecord filled_record(uint32_t seed)
{
    EngineStreamRecord r;
    memset(&r, 0, sizeof r);
    core_name_format(&r.channel, "p2p.bnd.%08X.chnl", seed);
    core_name_format(&r.slot, "profile.video.slot");
    r.roleWord = 0x100 | seed;
    r.mediaFlags = 0x02 | (1u << 16);
    core_name_format(&r.streamName, "stream.%08X", 0x40000000u + seed);
    engine_props_init(&r.props);
    const uint32_t mode[4] = {1280, 720, 30, seed + 1};
    engine_props_add_video(&r.props, mode, sizeof mode, 1, 0);
    return r;
}

TEST(EngineRecords, SizesOfTablesAndSets)
{
    EXPECT_EQ(engine_stream_table_size(0), 8u);
    EXPECT_EQ(engine_stream_set_size(0), 816u);
    EXPECT_EQ(engine_stream_table_size(3), 8u + 3 * 1056);
    EXPECT_EQ(engine_stream_set_size(ENGINE_STREAM_RECORDS_MAX), 816 + 1056 * ENGINE_STREAM_RECORDS_MAX);
    EXPECT_LE(engine_stream_set_size(ENGINE_STREAM_RECORDS_MAX), CORE_POOL_MAX_SIZE);
    // Counts whose byte length would wrap round to a small block.
    for (uint64_t count : {ENGINE_STREAM_RECORDS_MAX + 1, UINT64_MAX / 1056 + 1, UINT64_MAX}) {
        EXPECT_EQ(engine_stream_table_size(count), 0u) << count;
        EXPECT_EQ(engine_stream_set_size(count), 0u) << count;
    }
}

TEST(EngineRecords, MediaDescTakesTheNamesGiven)
{
    const CoreName channel = core_name_of("p2p.bnd.00000000.chnl");
    const CoreName sequence = core_name_of("bnd.seq.0000000000000abc");
    EngineMediaDesc desc;
    memset(&desc, 0x77, sizeof desc);
    EXPECT_EQ(engine_media_desc_make(&desc, &channel, nullptr, nullptr, &sequence), &desc);
    EXPECT_TRUE(same_name(desc.channel, channel));
    EXPECT_TRUE(same_name(desc.bindSequence, sequence));
    EXPECT_TRUE(same_name(desc.peerNode, CoreName{}));
    EXPECT_TRUE(same_name(desc.session, CoreName{}));
}

TEST(EngineRecords, BindRecordFromStreamSet)
{
    // A set in a local block: init needs no node.
    std::string source(200, 's');  // runs on into the second half
    source[0] = 'S';
    source[199] = 'E';
    alignas(8) uint8_t block[816 + 1056];
    const CoreName names[4] = {core_name_of("p2m.bnd.00000008.chnl"), core_name_of("node"), core_name_of("session"),
                               core_name_of("bnd.seq.0000000000000001")};
    auto *set = reinterpret_cast<EngineStreamSet *>(block);
    ASSERT_EQ(engine_stream_set_init(set, source.c_str(), &names[0], &names[1], &names[2], &names[3], 2, 1), set);

    EngineBindRecord record;
    memset(&record, 0x55, sizeof record);
    EXPECT_EQ(engine_bind_record_from_stream_set(&record, set), &record);
    EXPECT_EQ(record.kind, 2u);
    EXPECT_TRUE(same_name(record.desc.channel, names[0]));
    EXPECT_TRUE(same_name(record.desc.peerNode, names[1]));
    EXPECT_TRUE(same_name(record.desc.session, names[2]));
    EXPECT_TRUE(same_name(record.desc.bindSequence, names[3]));
    EXPECT_EQ(std::string(record.sourceName), source);
    EXPECT_EQ(record.sourceName[255], '\0');
    // Read as raw bytes, the set's head is the same bind record.
    EXPECT_EQ(memcmp(block, &record, sizeof record), 0);
}

TEST(EngineRecords, SourceNameIsATextOfAtMost255Characters)
{
    alignas(8) uint8_t block[816];
    auto *set = reinterpret_cast<EngineStreamSet *>(block);

    // A short literal: only its own bytes are read.
    ASSERT_NE(engine_stream_set_init(set, "Screen 1", nullptr, nullptr, nullptr, nullptr, 1, 0), nullptr);
    EXPECT_STREQ(set->sourceName, "Screen 1");
    EXPECT_EQ(set->sourceName[255], '\0');

    // A field without a terminator, as a peer's offer may carry it.
    char unterminated[256];
    memset(unterminated, 'x', sizeof unterminated);
    ASSERT_NE(engine_stream_set_init(set, unterminated, nullptr, nullptr, nullptr, nullptr, 1, 0), nullptr);
    EXPECT_EQ(strlen(set->sourceName), 255u);

    ASSERT_NE(engine_stream_set_init(set, nullptr, nullptr, nullptr, nullptr, nullptr, 1, 0), nullptr);
    EXPECT_STREQ(set->sourceName, "");
    EXPECT_EQ(set->count, 0u);
}

TEST(EngineRecords, NoNodeNoBlock)
{
    ASSERT_EQ(engine_node_running(), nullptr);
    EXPECT_EQ(engine_stream_table_alloc(1), nullptr);
    EXPECT_EQ(engine_stream_set_alloc(nullptr, nullptr, 0, 1), nullptr);
}

class EngineRecordsOnNode : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(engine_node_start(0), CORE_OK); }
    void TearDown() override
    {
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
    }

    template <typename T>
    static void give_back(T *&block)
    {
        void *raw = block;
        EXPECT_EQ(core_pool_free(engine_node_running()->pool, &raw), CORE_OK);
        block = nullptr;
    }
};

TEST_F(EngineRecordsOnNode, FreshTableHasEmptyRecords)
{
    EngineStreamTable *empty = engine_stream_table_alloc(0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->count, 0u);
    give_back(empty);

    EngineStreamTable *table = engine_stream_table_alloc(3);
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->count, 3u);
    for (uint64_t i = 0; i < table->count; ++i) EXPECT_TRUE(is_fresh(table->records[i])) << i;
    give_back(table);
}

TEST_F(EngineRecordsOnNode, OversizedCountsAreRefused)
{
    // These counts wrap 8 + 1056 x count (or 816 + ...) round to a small
    // size; a block of that size would be overrun by the record loop.
    const uint64_t wrapping = UINT64_MAX / 1056 + 1;
    EXPECT_EQ(engine_stream_table_alloc(wrapping), nullptr);
    EXPECT_EQ(engine_stream_set_alloc("x", nullptr, 0, wrapping), nullptr);
    EXPECT_EQ(engine_stream_table_alloc(ENGINE_STREAM_RECORDS_MAX + 1), nullptr);
    EXPECT_EQ(engine_stream_set_alloc(nullptr, nullptr, 0, UINT64_MAX), nullptr);
}

TEST_F(EngineRecordsOnNode, SetRecordOnlyInsideTheTable)
{
    EngineStreamTable *table = engine_stream_table_alloc(2);
    ASSERT_NE(table, nullptr);
    const EngineStreamRecord record = filled_record(7);
    EXPECT_EQ(engine_stream_table_set(table, 2, &record), nullptr);
    EXPECT_EQ(engine_stream_table_set(table, UINT64_MAX, &record), nullptr);
    EXPECT_TRUE(is_fresh(table->records[0]));
    EXPECT_TRUE(is_fresh(table->records[1]));

    EXPECT_EQ(engine_stream_table_set(table, 1, &record), table);
    EXPECT_EQ(memcmp(&table->records[1], &record, sizeof record), 0);
    EXPECT_TRUE(is_fresh(table->records[0]));
    give_back(table);
}

TEST_F(EngineRecordsOnNode, ClonesAreWholeIndependentCopies)
{
    EngineStreamTable *table = engine_stream_table_alloc(2);
    ASSERT_NE(table, nullptr);
    for (uint32_t i = 0; i < 2; ++i) {
        const EngineStreamRecord r = filled_record(i);
        engine_stream_table_set(table, i, &r);
    }
    EngineStreamTable *copy = engine_stream_table_clone(table);
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(copy, table);
    EXPECT_EQ(memcmp(copy, table, engine_stream_table_size(2)), 0);
    give_back(table);  // the copy stays valid on its own
    EXPECT_EQ(copy->records[1].roleWord, 0x101u);
    give_back(copy);

    const CoreName channel = core_name_of("p2p.bnd.00000001.chnl");
    const CoreName peer = core_name_of("peer-node");
    EngineMediaDesc desc;
    engine_media_desc_make(&desc, &channel, &peer, nullptr, nullptr);
    EngineStreamSet *set = engine_stream_set_alloc("Display 2", &desc, 1, 2);
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->kind, 1u);
    EXPECT_EQ(set->count, 2u);
    EXPECT_EQ(set->reserved, 0u);
    EXPECT_EQ(memcmp(&set->desc, &desc, sizeof desc), 0);
    EXPECT_STREQ(set->sourceName, "Display 2");
    EXPECT_TRUE(is_fresh(set->records[1]));
    set->records[0] = filled_record(3);

    EngineStreamSet *set_copy = engine_stream_set_clone(set);
    ASSERT_NE(set_copy, nullptr);
    EXPECT_EQ(memcmp(set_copy, set, engine_stream_set_size(2)), 0);
    give_back(set);
    give_back(set_copy);

    EngineStreamSet *bare = engine_stream_set_alloc(nullptr, nullptr, 0, 0);
    ASSERT_NE(bare, nullptr);
    EXPECT_TRUE(same_name(bare->desc.channel, CoreName{}));
    give_back(bare);
}

}  // namespace
