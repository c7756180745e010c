// Test support of the display controller suites: names, the stream records
// of a published answer, and a log of what the engine posts on a topic.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/pool.h"
#include "core/queue.h"
#include "core/topic.h"
#include "engine/capability.h"
#include "engine/display.h"
#include "engine/node.h"
#include "engine/records.h"

namespace display_test {

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

// Engine selection words of the streams the suites play.
constexpr uint32_t kOpus = 0x0401;  // audio, codec index 4
constexpr uint32_t kVp8 = 0x30002;  // video, codec index 3
// The same as the framework's media flags.
constexpr uint32_t kOpusFlags = 0x0501;
constexpr uint32_t kVp8Flags = 0x40002;

// A plain record of the answer with one property of group `kind`, so
// that merges show.
inline EngineStreamRecord plain_record(const char *slot, uint32_t media, const char *stream,
                                       int kind = ENGINE_PROPS_VIDEO_DECODE_SCORE)
{
    EngineStreamRecord r{};
    r.channel = name_of("p2p.bnd.00000000.chnl");
    r.slot = name_of(slot);
    r.mediaFlags = media;
    r.streamName = name_of(stream);
    engine_props_init(&r.props);
    int64_t score = 4096;
    if (kind >= ENGINE_PROPS_RECEIVE_FORMAT)
        engine_props_add_audio(&r.props, &score, sizeof(score), kind, 0);
    else
        engine_props_add_video(&r.props, &score, sizeof(score), kind, 0);
    return r;
}

// A codec record naming the decoder of a plain stream.
inline EngineStreamRecord codec_record(const char *codec, uint32_t media)
{
    EngineStreamRecord r{};
    r.channel = name_of("p2p.bnd.00000000.chnl");
    r.mediaFlags = media | ENGINE_MEDIA_CODEC_RECORD;
    r.streamName = name_of(codec);
    engine_props_init(&r.props);
    return r;
}

// Publishes the records as the capability's answer table.
inline void publish_answer(const std::vector<EngineStreamRecord> &records)
{
    EngineStreamTable *table = engine_stream_table_alloc(records.size());
    ASSERT_NE(table, nullptr);
    for (size_t i = 0; i < records.size(); ++i) engine_stream_table_set(table, i, &records[i]);
    ASSERT_EQ(engine_capability_table_replace(engine_capability_current(), ENGINE_CAPABILITY_ANSWER, table), CORE_OK);
    void *block = table;
    core_pool_free(engine_node_running()->pool, &block);
}

struct Posted {
    uint32_t code;
    std::vector<uint8_t> data;

    template <typename Record>
    Record as() const
    {
        Record record{};
        EXPECT_EQ(data.size(), sizeof(record));
        std::memcpy(&record, data.data(), std::min(data.size(), sizeof(record)));
        return record;
    }
};

// What the engine posts on one topic, kept from the subscription on.
class TopicLog {
public:
    explicit TopicLog(const char *topic) : topic_(name_of(topic))
    {
        CoreTopicSubscription subscription{&TopicLog::on_message, {this, nullptr}};
        key_ = core_topic_subscribe(&topic_, &subscription);
        EXPECT_NE(key_, 0u);
    }
    ~TopicLog() { core_topic_unsubscribe(&topic_, key_); }

    std::vector<Posted> of(uint32_t code)
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<Posted> out;
        for (const Posted &p : posted_)
            if (p.code == code) out.push_back(p);
        return out;
    }

    // Polls a bounded number of rounds until `count` messages of `code`
    // arrived; what arrived by then.
    std::vector<Posted> wait_for(uint32_t code, size_t count)
    {
        for (int round = 0; round < 1000 && of(code).size() < count; ++round) core_poll_sleep();
        return of(code);
    }

    // The topic delivers in posting order: once a marker posted now has
    // arrived, everything posted before it has too.
    void settle(uint32_t marker)
    {
        const size_t before = of(marker).size();
        engine_post_event(marker, nullptr, 0);
        wait_for(marker, before + 1);
    }

private:
    static CoreResult on_message(const CoreQueueEntry *message, void **user)
    {
        auto *self = static_cast<TopicLog *>(user[0]);
        Posted p{message->type, {}};
        if (message->data != nullptr && message->length > 0) {
            const auto *bytes = static_cast<const uint8_t *>(message->data);
            p.data.assign(bytes, bytes + message->length);
        }
        std::lock_guard<std::mutex> guard(self->lock_);
        self->posted_.push_back(std::move(p));
        return CORE_OK;
    }

    CoreName topic_;
    uint64_t key_ = 0;
    std::mutex lock_;
    std::vector<Posted> posted_;
};

// The consumers of a display as "slot/stream" in key order.
inline std::vector<std::string> consumers_of(EngineDisplay *display)
{
    std::vector<std::string> out;
    for (CoreStoreItem *n = core_store_first(display->nodes); n != nullptr; n = core_store_next(display->nodes, n, 1)) {
        auto *node = reinterpret_cast<EngineProfile *>(n);
        for (CoreStoreItem *c = core_store_first(node->streams); c != nullptr;
             c = core_store_next(node->streams, c, 1))
            out.push_back(text_of(n->key) + "/" + text_of(c->key));
    }
    return out;
}

// The consumer item of a stream with its node's and its own store
// references held until release() (or nullptr, nothing held).
struct ConsumerAccess {
    EngineDisplay *display = nullptr;
    EngineProfile *node = nullptr;
    EngineConsumer *consumer = nullptr;

    ConsumerAccess(EngineDisplay *d, const char *slot, const char *stream) : display(d)
    {
        const CoreName s = name_of(slot), k = name_of(stream);
        node = reinterpret_cast<EngineProfile *>(core_store_lookup(d->nodes, s.key));
        if (node == nullptr) return;
        consumer = reinterpret_cast<EngineConsumer *>(core_store_lookup(node->streams, k.key));
        if (consumer == nullptr) release();
    }
    ~ConsumerAccess() { release(); }
    void release()
    {
        if (consumer != nullptr) core_store_unref(node->streams);
        if (node != nullptr) core_store_unref(display->nodes);
        consumer = nullptr;
        node = nullptr;
    }
};

}  // namespace display_test
