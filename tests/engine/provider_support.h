// Shared pieces of the media provider suites: a running engine node with
// the messages its two topics deliver, a capability with published offer
// and answer tables, and builders of provider configurations and stream
// records.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/pool.h"
#include "core/queue.h"
#include "core/topic.h"
#include "engine/capability.h"
#include "engine/codes.h"
#include "engine/node.h"
#include "engine/provider.h"
#include "engine/records.h"

namespace provider_support {

// A code no part of the engine uses: posted last, it tells when everything
// posted before it was delivered.
constexpr uint32_t kMarker = 0x7FFF;

inline CoreName name_of(const char *text)
{
    CoreName name;
    core_name_format(&name, "%s", text);
    return name;
}

inline std::string text_of(const CoreName &name)
{
    return std::string(reinterpret_cast<const char *>(name.key), strnlen(reinterpret_cast<const char *>(name.key), 32));
}

inline bool same(const CoreName &a, const CoreName &b) { return memcmp(a.key, b.key, CORE_NAME_KEY_SIZE) == 0; }

template <typename Done>
bool wait_until(Done done, uint64_t ms = 20000)
{
    const uint64_t end = core_clock_mono_ms() + ms;
    while (!done()) {
        if (core_clock_mono_ms() > end) return false;
        core_sleep_ms(5);
    }
    return true;
}

// What one topic delivered.
class TopicLog {
public:
    struct Message {
        uint32_t code;
        std::vector<uint8_t> data;
    };

    void subscribe(const char *topic)
    {
        topic_ = name_of(topic);
        CoreTopicSubscription subscription{&TopicLog::on_message, {this, nullptr}};
        key_ = core_topic_subscribe(&topic_, &subscription);
        ASSERT_NE(key_, 0u);
    }
    void unsubscribe()
    {
        if (key_ != 0) core_topic_unsubscribe(&topic_, key_);
        key_ = 0;
    }

    // Waits until every message posted so far on the topic was delivered.
    void flush()
    {
        CoreMessage marker{};
        marker.type = kMarker;
        const uint64_t number = core_topic_post(&topic_, &marker);
        ASSERT_NE(number, 0u);
        ASSERT_EQ(core_topic_wait(&topic_, number), CORE_OK);
    }

    template <typename Record>
    std::vector<Record> of(uint32_t code)
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<Record> out;
        for (const Message &m : messages_) {
            if (m.code != code) continue;
            EXPECT_EQ(m.data.size(), sizeof(Record)) << "code 0x" << std::hex << code;
            Record record;
            memset(&record, 0, sizeof record);
            memcpy(&record, m.data.data(), std::min(m.data.size(), sizeof record));
            out.push_back(record);
        }
        return out;
    }
    size_t count(uint32_t code)
    {
        std::lock_guard<std::mutex> guard(lock_);
        size_t n = 0;
        for (const Message &m : messages_) n += m.code == code ? 1 : 0;
        return n;
    }
    void clear()
    {
        std::lock_guard<std::mutex> guard(lock_);
        messages_.clear();
    }

private:
    static CoreResult on_message(const CoreQueueEntry *message, void **user)
    {
        auto *self = static_cast<TopicLog *>(user[0]);
        Message m{message->type, {}};
        if (message->data != nullptr && message->length > 0) {
            const auto *bytes = static_cast<const uint8_t *>(message->data);
            m.data.assign(bytes, bytes + message->length);
        }
        std::lock_guard<std::mutex> guard(self->lock_);
        self->messages_.push_back(std::move(m));
        return CORE_OK;
    }

    CoreName topic_{};
    uint64_t key_ = 0;
    std::mutex lock_;
    std::vector<Message> messages_;
};

// The data of ENGINE_EVT_STREAMER_ERROR.
struct MessageText {
    uint32_t code;
    int32_t result;
    char text[1024];
};

inline EngineProviderConfig provider_config(uint32_t audioClass, uint32_t videoClass, uint32_t combined,
                                            uint32_t sendRoles = 1)
{
    EngineProviderConfig config;
    memset(&config, 0, sizeof config);
    config.sendRoles = sendRoles;
    config.audioSource.codecIndex = -1;
    config.audioSource.deviceClass = audioClass;
    config.audioSource.deviceId = name_of("engine.test.audio");
    config.videoSource.codecIndex = -1;
    config.videoSource.deviceClass = videoClass;
    config.videoSource.deviceId = name_of("engine.test.video");
    config.captureSourceParams[0] = 1;  // a capture never falls below 1/1 frames per second
    config.captureSourceParams[1] = 1;
    config.executor = name_of(CORE_DEFAULT_EXECUTOR);
    config.pool = name_of(CORE_DEFAULT_POOL);
    config.combinedProfile = combined;
    return config;
}

inline EngineStreamRecord plain_record(const char *channel, const char *slot, uint32_t mediaFlags, const char *stream)
{
    EngineStreamRecord record;
    memset(&record, 0, sizeof record);
    engine_props_init(&record.props);
    record.channel = name_of(channel);
    record.slot = name_of(slot);
    record.roleWord = 0x100 | 2;
    record.mediaFlags = mediaFlags;
    record.streamName = name_of(stream);
    return record;
}

inline EngineStreamRecord codec_record(const char *channel, uint32_t mediaFlags, const char *name)
{
    EngineStreamRecord record = plain_record(channel, "", mediaFlags | ENGINE_MEDIA_CODEC_RECORD, name);
    memset(&record.slot, 0, sizeof record.slot);
    record.roleWord = 0x10000;
    return record;
}

inline void give_back(EngineStreamTable *table)
{
    void *block = table;
    core_pool_free(engine_node_running()->pool, &block);
}

// Publishes the two tables in the running capability.
inline void publish_tables(const std::vector<EngineStreamRecord> &offer, const std::vector<EngineStreamRecord> &answer)
{
    EngineCapability *capability = engine_capability_current();
    ASSERT_NE(capability, nullptr);
    const std::vector<EngineStreamRecord> *lists[2] = {&offer, &answer};
    const int which[2] = {ENGINE_CAPABILITY_OFFER, ENGINE_CAPABILITY_ANSWER};
    for (int i = 0; i < 2; ++i) {
        EngineStreamTable *table = engine_stream_table_alloc(lists[i]->size());
        ASSERT_NE(table, nullptr);
        for (size_t r = 0; r < lists[i]->size(); ++r) engine_stream_table_set(table, r, &(*lists[i])[r]);
        ASSERT_EQ(engine_capability_table_replace(capability, which[i], table), CORE_OK);
        give_back(table);
    }
}

inline EngineCapability *make_capability(uint32_t bitratePolicy = 0)
{
    EngineConfig config;
    memset(&config, 0, sizeof config);
    config.videoSizeClass = 2;
    config.p2pClass = 1;
    config.bitratePolicy = bitratePolicy;
    if (engine_capability_create(&config) != CORE_OK) return nullptr;
    return engine_capability_current();
}

// Names of the live streams of a profile slot, in key order.
inline std::vector<std::string> streams_of(EngineMediaProvider *provider, const char *slot)
{
    std::vector<std::string> out;
    const CoreName key = name_of(slot);
    CoreStoreItem *profile = core_store_lookup(provider->profiles, key.key);
    if (profile == nullptr) return out;
    CoreStore *streams = reinterpret_cast<EngineProfile *>(profile)->streams;
    for (CoreStoreItem *item = core_store_first(streams); item != nullptr; item = core_store_next(streams, item, 1))
        out.push_back(text_of(item->key));
    core_store_unref(provider->profiles);
    return out;
}

// Runs fn on a stream found by slot and name, under reader references.
template <typename Fn>
bool with_stream(EngineMediaProvider *provider, const char *slot, const char *stream, Fn fn)
{
    const CoreName slotKey = name_of(slot), streamKey = name_of(stream);
    CoreStoreItem *profile = core_store_lookup(provider->profiles, slotKey.key);
    if (profile == nullptr) return false;
    CoreStore *streams = reinterpret_cast<EngineProfile *>(profile)->streams;
    CoreStoreItem *item = core_store_lookup(streams, streamKey.key);
    if (item != nullptr) {
        fn(reinterpret_cast<EngineProviderStream *>(item));
        core_store_unref(streams);
    }
    core_store_unref(provider->profiles);
    return item != nullptr;
}

}  // namespace provider_support
