// Shared pieces of the negotiation suites: a running engine node (which
// brings up the real codec lists), descriptor builders, and readers of
// stream records.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/codec_desc.h"
#include "core/pool.h"
#include "core/values.h"
#include "core/video.h"
#include "engine/capability.h"
#include "engine/node.h"
#include "engine/offer_tables.h"
#include "engine/records.h"

namespace negotiation {

inline CoreVideoCodecDesc video_codec(uint32_t direction, const char (&codec)[5], uint32_t acceleration,
                                      CoreVideoMode maximum = {3840, 2160, 60, 1}, uint32_t align = 16)
{
    CoreVideoCodecDesc d;
    engine_video_codec_desc_empty(&d);
    d.direction = direction;
    d.acceleration = acceleration;
    d.codec_class = RAVK_CODEC_CLASS_PORTABLE;
    d.input = direction == ENGINE_CODEC_LIST_ENCODERS ? core_fourcc("NV12") : core_fourcc(codec);
    d.output = direction == ENGINE_CODEC_LIST_ENCODERS ? core_fourcc(codec) : core_fourcc("NV12");
    d.minimum_mode = CoreVideoMode{64, 64, 1, 1};
    d.maximum_mode = maximum;
    d.alignment_width = align;
    d.alignment_height = align;
    return d;
}

inline CoreAudioCodecDesc audio_codec(uint32_t direction, const char (&codec)[5], uint32_t acceleration)
{
    CoreAudioCodecDesc d;
    engine_audio_codec_desc_empty(&d);
    d.direction = direction;
    d.acceleration = acceleration;
    d.input = direction == ENGINE_CODEC_LIST_ENCODERS ? core_fourcc("lpcm") : core_fourcc(codec);
    d.output = direction == ENGINE_CODEC_LIST_ENCODERS ? core_fourcc(codec) : core_fourcc("lpcm");
    d.minimum_format = RavkAudioFormat{8000, 1, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {0, 0, 0}};
    d.maximum_format = RavkAudioFormat{48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {0, 0, 0}};
    return d;
}

// The tags of a record's used entries, in order.
inline std::vector<uint16_t> tags_of(const EngineStreamRecord &record)
{
    std::vector<uint16_t> tags;
    for (int i = 0; i < engine_props_count(&record.props); ++i) tags.push_back(record.props.entries[i].tag);
    return tags;
}

// The first tag of each group, in the order the groups were written.
inline std::vector<uint16_t> groups_of(const EngineStreamRecord &record)
{
    static const uint16_t k_first_tags[] = {0x1000, 0x1400, 0x1500, 0x1501, 0x1600, 0x1800, 0x1820, 0x1840, 0x1880,
                                            0x1C00, 0x1C20, 0x1C40, 0x1C80, 0x1D00, 0x1E00, 0x1E80, 0x1F00, 0x1F80,
                                            0x2000, 0x2400, 0x2500, 0x2501, 0x2800, 0x2840, 0x2880, 0x2C00, 0x2C40,
                                            0x2C80};
    std::vector<uint16_t> groups;
    for (uint16_t tag : tags_of(record))
        for (uint16_t first : k_first_tags)
            if (tag == first) groups.push_back(tag);
    return groups;
}

inline int64_t single_of(const EngineStreamRecord &record, uint16_t tag)
{
    for (const EnginePropEntry &e : record.props.entries)
        if (e.tag == tag) return e.value;
    return ENGINE_PROP_UNSET;
}

inline CoreVideoMode mode_of(const EngineStreamRecord &record, uint16_t tag)
{
    uint32_t v[4] = {0, 0, 0, 0};
    engine_props_get4(v, &record.props, tag);
    return CoreVideoMode{v[0], v[1], v[2], v[3]};
}

inline std::string name_of(const CoreName &name)
{
    return std::string(reinterpret_cast<const char *>(name.key), strnlen(reinterpret_cast<const char *>(name.key), 32));
}

inline bool same_mode(const CoreVideoMode &a, const CoreVideoMode &b)
{
    return core_video_mode_equal(&a, &b) != 0;
}

// A running node: its start makes fresh, empty codec lists; its stop ends
// them and frees every table of its pool.
class OnNode : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(engine_node_start(0), CORE_OK); }
    void TearDown() override
    {
        engine_capability_release();
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
    }

    static void clear_codec_lists()
    {
        for (uint32_t list : {ENGINE_CODEC_LIST_ENCODERS, ENGINE_CODEC_LIST_DECODERS}) {
            while (uint32_t n = core_codec_entry_count_audio(list)) core_codec_remove_audio(n - 1, list);
            while (uint32_t n = core_codec_entry_count_video(list)) core_codec_remove_video(n - 1, list);
        }
    }

    static void add(const CoreVideoCodecDesc &d) { ASSERT_EQ(core_codec_add_video(&d, 1), 0); }
    static void add(const CoreAudioCodecDesc &d) { ASSERT_EQ(core_codec_add_audio(&d, 1), 0); }

    static void give_back(EngineStreamTable *table)
    {
        void *block = table;
        core_pool_free(engine_node_running()->pool, &block);
    }

    static EngineCapability *make_capability(uint32_t videoSizeClass = 2, uint32_t audioSink = 2,
                                             uint32_t videoSink = 2)
    {
        EngineConfig config;
        memset(&config, 0, sizeof config);
        config.videoSizeClass = videoSizeClass;
        config.p2pClass = 1;
        config.audioSink.slotParam = audioSink;
        config.videoSink.slotParam = videoSink;
        config.rateControlOption = 1;
        if (engine_capability_create(&config) != CORE_OK) return nullptr;
        return engine_capability_current();
    }
};

}  // namespace negotiation
