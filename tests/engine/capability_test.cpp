#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "core/cpu.h"
#include "core/pool.h"
#include "engine/capability.h"
#include "engine/node.h"

namespace {

EngineConfig config_with_class(uint32_t videoSizeClass)
{
    EngineConfig config;
    memset(&config, 0, sizeof config);
    config.videoSizeClass = videoSizeClass;
    config.audioSink.slotParam = 2;
    config.videoSink.slotParam = 3;
    config.bitratePolicy = 1;
    config.rateControlOption = 1;
    config.p2pChannelCount = 4;
    config.p2pClass = -1;
    config.p2mChannelCount = 16;
    return config;
}

bool same_mode(const CoreVideoMode &a, const CoreVideoMode &b)
{
    return core_video_mode_equal(&a, &b) != 0;
}

class CapabilityTest : public ::testing::Test {
protected:
    void TearDown() override { engine_capability_release(); }
};

// Size class -> video limit and default audio format (classes past 2 leave both zero).
TEST_F(CapabilityTest, MadeFromTheConfigurationWords)
{
    const EngineAudioFormat s16 = {48000, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {0, 0, 0}};
    const EngineAudioFormat none{};
    const struct {
        uint32_t sizeClass;
        CoreVideoMode limit;
        EngineAudioFormat audio;
    } cases[] = {
        {0, {3840, 2160, 60, 1}, s16},
        {1, {768, 432, 30, 1}, s16},
        {2, {1280, 720, 30, 1}, s16},
        {3, {0, 0, 0, 0}, none},
        {0xFFFFFFFFu, {0, 0, 0, 0}, none},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sizeClass);
        const EngineConfig config = config_with_class(c.sizeClass);
        ASSERT_EQ(engine_capability_create(&config), CORE_OK);
        EngineCapability *capability = engine_capability_current();
        ASSERT_NE(capability, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(capability) % 64, 0u);
        EXPECT_EQ(core_name_cmp_str(capability->name.key, ENGINE_NODE_SERVICE), 0);
        EXPECT_TRUE(same_mode(capability->videoLimit, c.limit));
        EXPECT_EQ(memcmp(&capability->audioFormat, &c.audio, sizeof c.audio), 0);
        EXPECT_EQ(capability->audioSinkParam, 2u);
        EXPECT_EQ(capability->videoSinkParam, 3u);
        EXPECT_EQ(capability->bitratePolicy, 1u);
        EXPECT_EQ(capability->rateControlOption, 1u);
        EXPECT_EQ(capability->p2pChannelCount, 4u);
        EXPECT_EQ(capability->p2pClass, -1);
        EXPECT_EQ(capability->p2mChannelCount, 16u);
        EXPECT_EQ(capability->videoSizeClass, c.sizeClass);
        EXPECT_EQ(capability->offerTable, nullptr);
        EXPECT_EQ(capability->answerTable, nullptr);
        for (int slot = 0; slot < ENGINE_CAPABILITY_SLOTS; ++slot) EXPECT_EQ(capability->slots[slot].size, 0u);
        engine_capability_release();
        EXPECT_EQ(engine_capability_current(), nullptr);
    }
}

TEST_F(CapabilityTest, ASecondCreateFailsAndKeepsTheFirst)
{
    const EngineConfig first = config_with_class(2);
    const EngineConfig second = config_with_class(0);
    ASSERT_EQ(engine_capability_create(&first), CORE_OK);
    EngineCapability *kept = engine_capability_current();
    EXPECT_EQ(engine_capability_create(&second), CORE_ERR);
    EXPECT_EQ(engine_capability_current(), kept);
    EXPECT_EQ(kept->videoSizeClass, 2u);
    EXPECT_EQ(engine_capability_create(nullptr), CORE_ERR_INVALID);
    engine_capability_release();
    engine_capability_release();  // nothing left: harmless
    EXPECT_EQ(engine_capability_current(), nullptr);
}

TEST_F(CapabilityTest, VideoLimitLeavesUnknownClassesUntouched)
{
    CoreVideoMode out{1, 2, 3, 4};
    EXPECT_EQ(engine_video_limit_for_class(7, &out), &out);
    EXPECT_TRUE(same_mode(out, CoreVideoMode{1, 2, 3, 4}));
    EXPECT_TRUE(same_mode(*engine_video_limit_for_class(1, &out), CoreVideoMode{768, 432, 30, 1}));
}

TEST_F(CapabilityTest, SlotHoldsOneCopyOfTheLastValue)
{
    const EngineConfig config = config_with_class(2);
    ASSERT_EQ(engine_capability_create(&config), CORE_OK);
    EngineCapability *capability = engine_capability_current();

    const EngineAudioFormat first = {44100, 1, 8, 0, 'U', {0, 0, 0}};
    const EngineAudioFormat second = {48000, 2, 16, ENGINE_BYTE_ORDER_LE, 'S', {0, 0, 0}};
    ASSERT_EQ(engine_capability_slot_store(capability, ENGINE_SLOT_AUDIO_SEND, &first, sizeof first), 0);
    ASSERT_EQ(engine_capability_slot_store(capability, ENGINE_SLOT_AUDIO_SEND, &second, sizeof second), 0);
    EXPECT_EQ(capability->slots[ENGINE_SLOT_AUDIO_SEND].size, 12u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(capability->slots[ENGINE_SLOT_AUDIO_SEND].data) % 64, 0u);

    EngineAudioFormat read;
    EXPECT_EQ(engine_capability_slot_read(capability, ENGINE_SLOT_AUDIO_SEND, &read, sizeof read), 12u);
    EXPECT_EQ(memcmp(&read, &second, sizeof read), 0);

    // A reader with a smaller buffer gets a prefix and learns the real size.
    uint32_t rate = 0;
    EXPECT_EQ(engine_capability_slot_read(capability, ENGINE_SLOT_AUDIO_SEND, &rate, sizeof rate), 12u);
    EXPECT_EQ(rate, 48000u);

    // A slot nobody filled reads empty and clears the reader's buffer.
    CoreVideoMode mode{9, 9, 9, 9};
    EXPECT_EQ(engine_capability_slot_read(capability, 3, &mode, sizeof mode), 0u);
    EXPECT_TRUE(same_mode(mode, CoreVideoMode{}));

    // Size 0 empties the slot.
    EXPECT_EQ(engine_capability_slot_store(capability, ENGINE_SLOT_AUDIO_SEND, nullptr, 0), 0);
    EXPECT_EQ(engine_capability_slot_read(capability, ENGINE_SLOT_AUDIO_SEND, &read, sizeof read), 0u);
}

// Slot numbers come from callers across the engine: outside 0..7 nothing is written or read.
TEST_F(CapabilityTest, SlotNumbersOutsideTheRecordAreRefused)
{
    const EngineConfig config = config_with_class(2);
    ASSERT_EQ(engine_capability_create(&config), CORE_OK);
    EngineCapability *capability = engine_capability_current();
    const CoreVideoMode mode{1920, 1080, 60, 1};
    for (int slot : {-1, 8, 1000}) {
        EXPECT_EQ(engine_capability_slot_store(capability, slot, &mode, sizeof mode), -1) << slot;
        CoreVideoMode out{};
        EXPECT_EQ(engine_capability_slot_read(capability, slot, &out, sizeof out), 0u) << slot;
    }
    EXPECT_EQ(engine_capability_slot_store(capability, 0, nullptr, 16), -1);
    EXPECT_EQ(engine_capability_slot_store(nullptr, 0, &mode, sizeof mode), -1);
}

// Scores by processor count: {video encode, video decode}; audio is always 4096.
TEST_F(CapabilityTest, ScoresFollowTheProcessorClass)
{
    const struct {
        uint32_t processors;
        uint32_t encode;
        uint32_t decode;
    } cases[] = {
        {1, 4096, 4096},    {4, 4096, 4096},    {8, 4096, 8192},     {16, 4096, 8192},
        {32, 8192, 8192},   {64, 8192, 12288},  {128, 8192, 12288},  {256, 12288, 12288},
    };
    for (const auto &c : cases) {
        core_cpu_count_override(c.processors);
        EngineLocalCaps caps;
        engine_local_caps_init(&caps);
        engine_local_caps_set_scores(&caps);
        EXPECT_EQ(caps.videoEncodeScore, c.encode) << c.processors;
        EXPECT_EQ(caps.videoDecodeScore, c.decode) << c.processors;
        EXPECT_EQ(caps.audioEncodeScore, 4096u);
        EXPECT_EQ(caps.audioDecodeScore, 4096u);
    }
    core_cpu_count_override(0);
}

TEST_F(CapabilityTest, LocalCapsStartWithoutCodecs)
{
    EngineLocalCaps caps;
    memset(&caps, 0x5A, sizeof caps);
    engine_local_caps_init(&caps);
    EXPECT_EQ(caps.audioEncoderIndex, -1);
    EXPECT_EQ(caps.videoEncoderIndex, -1);
    EXPECT_EQ(caps.audioDecoderIndex, -1);
    EXPECT_EQ(caps.videoDecoderIndex, -1);
    EXPECT_EQ(caps.sendRoles, 0u);
    EXPECT_EQ(caps.videoScale, 0.0);
    EXPECT_TRUE(same_mode(caps.sendVideoMode, CoreVideoMode{}));
}

class CapabilityOnNode : public CapabilityTest {
protected:
    void SetUp() override { ASSERT_EQ(engine_node_start(0), CORE_OK); }
    void TearDown() override
    {
        engine_capability_release();
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
    }
    static void give_back(EngineStreamTable *table)
    {
        void *block = table;
        core_pool_free(engine_node_running()->pool, &block);
    }
};

// The capability keeps its own clone: the caller's table may go at once, and a later replace frees the old one.
TEST_F(CapabilityOnNode, TablesAreClonedAndReplaced)
{
    const EngineConfig config = config_with_class(2);
    ASSERT_EQ(engine_capability_create(&config), CORE_OK);
    EngineCapability *capability = engine_capability_current();
    EXPECT_EQ(engine_capability_table_clone(capability, ENGINE_CAPABILITY_OFFER), nullptr);

    for (uint64_t count : {2u, 3u}) {
        EngineStreamTable *table = engine_stream_table_alloc(count);
        ASSERT_NE(table, nullptr);
        table->records[0].mediaFlags = static_cast<uint32_t>(count);
        ASSERT_EQ(engine_capability_table_replace(capability, ENGINE_CAPABILITY_OFFER, table), CORE_OK);
        give_back(table);
    }
    EngineStreamTable *offer = engine_capability_table_clone(capability, ENGINE_CAPABILITY_OFFER);
    ASSERT_NE(offer, nullptr);
    EXPECT_EQ(offer->count, 3u);
    EXPECT_EQ(offer->records[0].mediaFlags, 3u);
    EXPECT_NE(offer, capability->offerTable);
    give_back(offer);
    EXPECT_EQ(capability->answerTable, nullptr);
    EXPECT_EQ(engine_capability_table_replace(capability, 2, capability->offerTable), CORE_ERR_INVALID);
    // Handing back the table the capability holds keeps its records.
    ASSERT_EQ(engine_capability_table_replace(capability, ENGINE_CAPABILITY_OFFER, capability->offerTable), CORE_OK);
    EXPECT_EQ(capability->offerTable->records[0].mediaFlags, 3u);

    // Release frees both tables and every slot (the leak checker sees the rest).
    const CoreVideoMode mode{1280, 720, 30, 1};
    ASSERT_EQ(engine_capability_slot_store(capability, ENGINE_SLOT_VIDEO_SEND, &mode, sizeof mode), 0);
    ASSERT_EQ(engine_capability_table_replace(capability, ENGINE_CAPABILITY_ANSWER, capability->offerTable), CORE_OK);
}

}  // namespace
