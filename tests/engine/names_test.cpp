#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/names.h"

namespace {

bool all_zero(const CoreName &name)
{
    static const CoreName zero{};
    return memcmp(&name, &zero, sizeof name) == 0;
}

TEST(EngineStreamNames, MakeFromKindAndIndex)
{
    struct Case {
        int split;
        int kind;
        uint32_t index;
        const char *expected;  // nullptr: refused
    };
    const Case cases[] = {
        {0, 1, 0, "stream.40000000"},
        {1, 2, 5, "split.stream.80000005"},
        {0, 0, 0x3FFFFFFF, "stream.3FFFFFFF"},
        {0, -1, 3, "stream.00000003"},
        {0, 7, 3, "stream.00000000"},  // an unknown kind has the number 0
        {1, 2, 0x7FFFFFFE, "split.stream.FFFFFFFE"},
        {2, 0, 1, nullptr},
        {-1, 0, 1, nullptr},
        // Indices past their kind's range would name a stream of another
        // kind, or the unset stream.
        {0, 0, 0x40000000, nullptr},
        {0, 1, 0x40000000, nullptr},
        {0, -1, 0xFFFFFFFF, nullptr},
        {0, 2, 0x7FFFFFFF, nullptr},
    };
    for (const Case &c : cases) {
        CoreName name;
        memset(&name, 'q', sizeof name);
        CoreName *made = engine_stream_name_make(&name, c.split, c.kind, c.index);
        if (c.expected == nullptr) {
            EXPECT_EQ(made, nullptr) << c.split << "/" << c.kind << "/" << c.index;
            EXPECT_TRUE(all_zero(name)) << c.split << "/" << c.kind << "/" << c.index;
            continue;
        }
        ASSERT_EQ(made, &name) << c.expected;
        const CoreName expected = core_name_of(c.expected);
        EXPECT_EQ(memcmp(&name, &expected, sizeof name), 0) << c.expected << ": key, text and hex";
        EXPECT_TRUE(engine_stream_name_is_set(&name)) << c.expected;
    }
}

TEST(EngineStreamNames, KindOfAPlainName)
{
    struct Case {
        const char *text;
        int split;
        int kind;
    };
    const Case cases[] = {
        {"stream.3FFFFFFF", 0, 0},
        {"stream.40000000", 0, 1},
        {"stream.80000000", 0, 2},
        {"stream.FFFFFFFF", 0, 2},
        {"split.stream.40000000", 1, 1},
        {"split.stream.00000001", 1, 0},
        {"split.stream.40000000", 0, -1},
        {"stream.40000000", 1, -1},
        {"stream.4000000", 0, -1},  // seven digits
        {"stream.400000000", 0, -1},
        {"stream.4000000G", 0, 0},  // the conversion stops at G: 0x4000000
        {"stream.G0000000", 0, 0},  // no digit at all reads as 0
        {"streams40000000", 0, -1},
        {"codec.00000002.stream.40000000", 0, -1},
        {"", 0, -1},
        {"stream.40000000", 2, -1},
    };
    for (const Case &c : cases) {
        const CoreName name = core_name_of(c.text);
        EXPECT_EQ(engine_stream_name_kind(&name, c.split), c.kind) << c.text << " split " << c.split;
    }
    EXPECT_EQ(engine_stream_name_kind(nullptr, 0), -1);

    // Only the key is read: a raw name whose text copy is stale reads the same.
    CoreName stale = core_name_of("stream.40000000");
    memset(stale.text, 'x', sizeof stale.text);
    EXPECT_EQ(engine_stream_name_kind(&stale, 0), 1);
}

TEST(EngineStreamNames, BinderChannelIndex)
{
    struct Case {
        const char *text;
        int32_t p2p;
        int32_t p2m;
    };
    const Case cases[] = {
        {"p2p.bnd.00000003.chnl", 3, ENGINE_BINDER_INDEX_NONE},
        {"p2m.bnd.00000010.chnl", ENGINE_BINDER_INDEX_NONE, 16},
        {"p2p.bnd.00000003xxxxx", 3, ENGINE_BINDER_INDEX_NONE},  // the tail is not examined
        {"p2p.bnd.00000003.chn", ENGINE_BINDER_INDEX_NONE, ENGINE_BINDER_INDEX_NONE},
        {"p2p.bnd.00000003.chnl!", ENGINE_BINDER_INDEX_NONE, ENGINE_BINDER_INDEX_NONE},
        {"p2p.bnd.7FFFFFFF.chnl", 0x7FFFFFFF, ENGINE_BINDER_INDEX_NONE},
        {"p2p.bnd.FFFFFFFE.chnl", -2, ENGINE_BINDER_INDEX_NONE},
        {"p2p.bnd.GHIJKLMN.chnl", 0, ENGINE_BINDER_INDEX_NONE},
        {"p2x.bnd.00000003.chnl", ENGINE_BINDER_INDEX_NONE, ENGINE_BINDER_INDEX_NONE},
        {"", ENGINE_BINDER_INDEX_NONE, ENGINE_BINDER_INDEX_NONE},
    };
    for (const Case &c : cases) {
        const CoreName name = core_name_of(c.text);
        EXPECT_EQ(engine_p2p_binder_index(&name), c.p2p) << c.text;
        EXPECT_EQ(engine_p2m_binder_index(&name), c.p2m) << c.text;
    }
    EXPECT_EQ(engine_p2p_binder_index(nullptr), ENGINE_BINDER_INDEX_NONE);
}

// A stream table in a local buffer; the lookups need no node.
class EngineStreamTableNames : public ::testing::Test {
protected:
    EngineStreamTable *table(std::initializer_list<std::pair<const char *, uint32_t>> records)
    {
        storage_.assign(engine_stream_table_size(records.size()) / 8, 0);
        auto *t = reinterpret_cast<EngineStreamTable *>(storage_.data());
        t->count = records.size();
        uint64_t i = 0;
        for (const auto &[name, flags] : records) {
            core_name_format(&t->records[i].streamName, "%s", name);
            t->records[i].mediaFlags = flags;
            ++i;
        }
        return t;
    }

private:
    std::vector<uint64_t> storage_;
};

TEST_F(EngineStreamTableNames, CodecRecordOfAPlainStream)
{
    const uint32_t codec = ENGINE_MEDIA_CODEC_RECORD;
    EngineStreamTable *t = table({
        {"stream.40000000", ENGINE_MEDIA_VIDEO},
        {"stream.40000000", codec},                  // a codec flag on a plain name
        {"codec.00000002.stream", codec},            // cut short
        {"codec.00000009.stream.00000000", 0},       // not flagged as a codec record
        {"codec.00000002.stream.40000000", codec | (2u << 16)},
        {"codec.00000004.stream.00000000", codec | (4u << 8)},
    });
    struct Case {
        const char *plain;
        const char *codec;  // nullptr: none
    };
    const Case cases[] = {
        {"stream.40000000", "codec.00000002.stream.40000000"},
        {"split.stream.40000000", "codec.00000002.stream.40000000"},
        {"stream.00000000", "codec.00000004.stream.00000000"},
        {"stream.40000001", nullptr},
        {"codec.00000002.stream.40000000", nullptr},
    };
    for (const Case &c : cases) {
        const CoreName plain = core_name_of(c.plain);
        CoreName out = core_name_of("untouched");
        const CoreName before = out;
        if (c.codec == nullptr) {
            EXPECT_EQ(engine_stream_table_find_codec_name(t, &plain, &out), 0) << c.plain;
            EXPECT_EQ(memcmp(&out, &before, sizeof out), 0) << c.plain;
        } else {
            ASSERT_EQ(engine_stream_table_find_codec_name(t, &plain, &out), 1) << c.plain;
            const CoreName expected = core_name_of(c.codec);
            EXPECT_EQ(memcmp(&out, &expected, sizeof out), 0) << c.plain;
        }
    }
}

TEST_F(EngineStreamTableNames, PlainRecordOfACodecName)
{
    EngineStreamTable *t = table({
        {"codec.00000001.stream.40000000", ENGINE_MEDIA_CODEC_RECORD},
        {"split.stream.00000000", ENGINE_MEDIA_AUDIO},
        {"stream.40000000", ENGINE_MEDIA_VIDEO},
        {"split.stream.40000000", ENGINE_MEDIA_VIDEO},
    });
    struct Case {
        const char *codec;
        int record;  // -1: none
    };
    const Case cases[] = {
        {"codec.00000002.stream.40000000", 2},  // the first plain match, codec records skipped
        {"codec.00000007.stream.00000000", 1},
        {"codec.00000007.stream.80000000", -1},
        {"stream.40000000", -1},
        {"codec.00000002.stream.4000000", -1},
        {"codec.00000002xstream.40000000", -1},
        {"", -1},
    };
    for (const Case &c : cases) {
        const CoreName codec = core_name_of(c.codec);
        EngineStreamRecord *found = engine_stream_table_find_plain(t, &codec);
        EXPECT_EQ(found, c.record < 0 ? nullptr : &t->records[c.record]) << c.codec;
    }
    EXPECT_EQ(engine_stream_table_find_plain(nullptr, nullptr), nullptr);
}

}  // namespace
