// Shared pieces of the negotiation, connection and binding-protocol suites:
// codec lists with software Opus, H.264 and VP8 both ways, the engine's
// capability, engine sessions put together from the public create
// functions of their parts (provider with test sources, display with test
// devices in its sink registries, binder table), and logs of what the
// engine posts and publishes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/codec_desc.h"
#include "core/notify.h"
#include "core/pool.h"
#include "core/queue.h"
#include "core/sync.h"
#include "core/topic.h"
#include "core/values.h"
#include "engine/binder.h"
#include "engine/capability.h"
#include "engine/codes.h"
#include "engine/connection.h"
#include "engine/display.h"
#include "engine/node.h"
#include "engine/offer_tables.h"
#include "engine/profile_request.h"
#include "engine/provider.h"
#include "engine/records.h"
#include "engine/session.h"
#include "ravelkit/devices.h"
#include "ravelkit/elements.h"

namespace binding_support {

inline CoreName named(const char *text)
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
bool eventually(Done done, uint64_t ms = 15000)
{
    const uint64_t end = core_clock_mono_ms() + ms;
    while (!done()) {
        if (core_clock_mono_ms() > end) return false;
        core_sleep_ms(2);
    }
    return true;
}

inline EngineMediaDesc desc_of(const char *channel, const char *peer = "", const char *session = "",
                               const char *bindSequence = "bnd.seq.0000000000000001")
{
    EngineMediaDesc desc;
    memset(&desc, 0, sizeof desc);
    if (*channel) desc.channel = named(channel);
    if (*peer) desc.peerNode = named(peer);
    if (*session) desc.session = named(session);
    if (*bindSequence) desc.bindSequence = named(bindSequence);
    return desc;
}

inline EngineBindRecord bind_record(uint32_t kind, const EngineMediaDesc &desc, const char *source = "")
{
    EngineBindRecord record;
    memset(&record, 0, sizeof record);
    record.kind = kind;
    record.desc = desc;
    snprintf(record.sourceName, sizeof record.sourceName, "%s", source);
    return record;
}

// ---- codec lists ------------------------------------------------------------

inline CoreVideoCodecDesc video_codec(uint32_t direction, const char (&codec)[5])
{
    CoreVideoCodecDesc d;
    engine_video_codec_desc_empty(&d);
    d.direction = direction;
    d.acceleration = RAVK_ACCEL_SOFTWARE;
    d.codec_class = RAVK_CODEC_CLASS_PORTABLE;
    d.input = direction == ENGINE_CODEC_LIST_ENCODERS ? core_fourcc("NV12") : core_fourcc(codec);
    d.output = direction == ENGINE_CODEC_LIST_ENCODERS ? core_fourcc(codec) : core_fourcc("NV12");
    d.minimum_mode = CoreVideoMode{64, 64, 1, 1};
    d.maximum_mode = CoreVideoMode{3840, 2160, 60, 1};
    d.alignment_width = 16;
    d.alignment_height = 16;
    if (core_fourcc(codec) == core_fourcc("H264")) {
        // Two profile levels and the shared coding option, as a real
        // H.264 codec states them.
        d.profile_set = 4 | 16;
        d.coding_options = 2;
    }
    return d;
}

inline CoreAudioCodecDesc audio_codec(uint32_t direction, const char (&codec)[5])
{
    CoreAudioCodecDesc d;
    engine_audio_codec_desc_empty(&d);
    d.direction = direction;
    d.acceleration = RAVK_ACCEL_SOFTWARE;
    d.input = direction == ENGINE_CODEC_LIST_ENCODERS ? core_fourcc("lpcm") : core_fourcc(codec);
    d.output = direction == ENGINE_CODEC_LIST_ENCODERS ? core_fourcc(codec) : core_fourcc("lpcm");
    d.minimum_format = RavkAudioFormat{8000, 1, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {0, 0, 0}};
    d.maximum_format = RavkAudioFormat{48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {0, 0, 0}};
    return d;
}

// Software VP8 first, then H.264, in both lists; Opus for audio.
inline void fill_codec_lists()
{
    for (uint32_t list : {ENGINE_CODEC_LIST_ENCODERS, ENGINE_CODEC_LIST_DECODERS}) {
        while (uint32_t n = core_codec_entry_count_audio(list)) core_codec_remove_audio(n - 1, list);
        while (uint32_t n = core_codec_entry_count_video(list)) core_codec_remove_video(n - 1, list);
        const CoreAudioCodecDesc opus = audio_codec(list, "opus");
        const CoreVideoCodecDesc vp8 = video_codec(list, "VP8X");
        const CoreVideoCodecDesc h264 = video_codec(list, "H264");
        ASSERT_EQ(core_codec_add_audio(&opus, 1), 0);
        ASSERT_EQ(core_codec_add_video(&vp8, 1), 0);
        ASSERT_EQ(core_codec_add_video(&h264, 1), 0);
    }
}

inline void make_capability()
{
    EngineConfig config;
    memset(&config, 0, sizeof config);
    config.p2pClass = 1;
    config.videoSizeClass = 2;
    config.p2pChannelCount = 1;
    config.p2mChannelCount = 4;
    config.audioSink.slotParam = 2;
    config.videoSink.slotParam = 2;
    config.rateControlOption = 1;
    ASSERT_EQ(engine_capability_create(&config), CORE_OK);
}

inline void give_back(void *block)
{
    if (block != nullptr && engine_node_running() != nullptr) core_pool_free(engine_node_running()->pool, &block);
}

// ---- sessions ---------------------------------------------------------------

struct SessionSetup {
    uint32_t sendRoles = ENGINE_ROLE_ANSWERER;
    uint32_t receiveRoles = ENGINE_ROLE_REQUESTER;
    uint32_t autoAccept = 0;
    bool audioSource = true;
    bool videoSource = true;
    bool audioSink = true;
    bool videoSink = true;
    const char *label = "node";  // names its test devices
};

// An engine session made by hand from its parts, as the session's create
// makes it, without the framework start, the enumerator and the handlers:
// the tests call the engine's functions themselves.
inline EngineSession *make_session(const SessionSetup &setup)
{
    auto *session = new EngineSession{};
    session->eventTopic = named(ENGINE_EVENT_TOPIC);
    session->commandTopic = named(ENGINE_COMMAND_TOPIC);
    session->nodeService = named(ENGINE_NODE_SERVICE);
    session->controlService = named(ENGINE_CONTROL_SERVICE);
    session->executor = named(CORE_DEFAULT_EXECUTOR);
    session->lock = new CoreLock;
    EngineSessionParams &p = session->params;
    p.autoAccept = setup.autoAccept;
    p.sendRoles = setup.sendRoles;
    p.receiveRoles = setup.receiveRoles;
    for (EngineDeviceSlot *slot : {&p.audioSource, &p.videoSource, &p.audioSink, &p.videoSink}) slot->codecIndex = -1;
    p.audioSource.deviceClass = setup.audioSource ? uint32_t(RAVK_CLASS_TEST) : 0u;
    p.videoSource.deviceClass = setup.videoSource ? uint32_t(RAVK_CLASS_TEST) : 0u;
    p.audioSink.deviceClass = setup.audioSink ? uint32_t(RAVK_CLASS_TEST) : 0u;
    p.videoSink.deviceClass = setup.videoSink ? uint32_t(RAVK_CLASS_TEST) : 0u;
    p.audioSink.slotParam = p.videoSink.slotParam = 2;
    p.captureSourceParams[0] = p.captureSourceParams[1] = 1;
    const std::string label = setup.label;
    const CoreName audioId = named((label + ".audio").c_str());
    const CoreName videoId = named((label + ".video").c_str());
    p.audioSource.deviceId = p.audioSink.deviceId = audioId;
    p.videoSource.deviceId = p.videoSink.deviceId = videoId;

    EngineProviderConfig pc;
    memset(&pc, 0, sizeof pc);
    pc.sendRoles = p.sendRoles;
    pc.audioSource = p.audioSource;
    pc.audioSinkParam = p.audioSink.slotParam;
    pc.videoSource = p.videoSource;
    pc.videoSinkParam = p.videoSink.slotParam;
    pc.captureSourceParams[0] = pc.captureSourceParams[1] = 1;
    pc.executor = named(CORE_DEFAULT_EXECUTOR);
    pc.pool = named(CORE_DEFAULT_POOL);
    session->provider = engine_media_provider_create(&pc);
    EXPECT_NE(session->provider, nullptr);

    EngineDisplayConfig dc;
    memset(&dc, 0, sizeof dc);
    dc.receiveRoles = p.receiveRoles;
    dc.audioSink = {p.audioSink.codecIndex, p.audioSink.deviceClass, p.audioSink.deviceId};
    dc.videoSink = {p.videoSink.codecIndex, p.videoSink.deviceClass, p.videoSink.deviceId};
    dc.executor = named(CORE_DEFAULT_EXECUTOR);
    dc.pool = named(CORE_DEFAULT_POOL);
    session->display = engine_display_create(&dc);
    EXPECT_NE(session->display, nullptr);

    // Test devices stand in for the capture sources and the playback sinks.
    const RavkAudioFormat format = {48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {0, 0, 0}};
    const CoreVideoMode mode = {1280, 720, 30, 1};
    auto add_audio = [&](RavkDeviceList *list) {
        if (list == nullptr) return;
        EXPECT_EQ(ravk_device_list_add_audio_test(list, RAVK_AUDIO_BACKEND_GSTREAMER, &audioId, &format, 0, 440.0), 0);
        EXPECT_EQ(ravk_device_list_select(list, &audioId), 0);
    };
    auto add_video = [&](RavkDeviceList *list) {
        if (list == nullptr) return;
        EXPECT_EQ(ravk_device_list_add_video_test(list, RAVK_BACKEND_GSTREAMER, &videoId, &mode, core_fourcc("I420"), 0),
                  0);
        EXPECT_EQ(ravk_device_list_select(list, &videoId), 0);
    };
    if (session->provider != nullptr) {
        add_audio(session->provider->audioSources);
        add_video(session->provider->videoSources);
    }
    if (session->display != nullptr) {
        add_audio(session->display->audioSinks);
        add_video(session->display->videoSinks);
    }

    session->binderTable = engine_binder_table_create(p.sendRoles, p.receiveRoles, 0);
    EXPECT_NE(session->binderTable, nullptr);
    EngineCapability *capability = engine_capability_current();
    if (session->binderTable != nullptr && capability != nullptr) {
        EXPECT_EQ(engine_binder_set_channel_counts(session->binderTable, capability->p2pChannelCount,
                                                   capability->p2mChannelCount),
                  CORE_OK);
    }
    return session;
}

inline void destroy_session(EngineSession *&session)
{
    if (session == nullptr) return;
    engine_cancel_delayed_task(session);
    engine_media_provider_destroy(&session->provider);
    engine_display_destroy(&session->display);
    engine_binder_table_destroy(&session->binderTable);
    delete session->lock;
    delete session;
    session = nullptr;
}

// The state of a channel of the session's binder table; -1 when missing.
inline int channel_state(EngineSession *session, const char *channel)
{
    const CoreName key = named(channel);
    EngineBinderTable *table = session->binderTable;
    CoreStoreItem *item = core_store_lookup(table->channels, key.key);
    if (item == nullptr) return -1;
    core_lock(&table->lock);
    const int state = static_cast<int>(reinterpret_cast<EngineBinderChannel *>(item)->state);
    core_unlock(&table->lock);
    core_store_unref(table->channels);
    return state;
}

// ---- logs -------------------------------------------------------------------

// What one topic delivered, each message with its runtime sequence number,
// which orders messages across topics.
class TopicLog {
public:
    struct Message {
        uint32_t code;
        uint64_t sequence;
        std::vector<uint8_t> data;

        template <typename Record>
        Record as() const
        {
            Record record;
            memset(&record, 0, sizeof record);
            memcpy(&record, data.data(), std::min(data.size(), sizeof record));
            return record;
        }
    };

    explicit TopicLog(const char *topic) : topic_(named(topic))
    {
        CoreTopicSubscription subscription{&TopicLog::on_message, {this, nullptr}};
        key_ = core_topic_subscribe(&topic_, &subscription);
        EXPECT_NE(key_, 0u);
    }
    ~TopicLog() { core_topic_unsubscribe(&topic_, key_); }

    std::vector<Message> of(uint32_t code)
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<Message> out;
        for (const Message &m : messages_)
            if (m.code == code) out.push_back(m);
        return out;
    }
    size_t count(uint32_t code) { return of(code).size(); }
    std::vector<uint32_t> codes()
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<uint32_t> out;
        for (const Message &m : messages_) out.push_back(m.code);
        return out;
    }
    // Everything posted before this call has been delivered once it returns.
    void settle()
    {
        CoreMessage marker{};
        marker.type = 0x7FF7;
        const uint64_t number = core_topic_post(&topic_, &marker);
        ASSERT_NE(number, 0u);
        ASSERT_EQ(core_topic_wait(&topic_, number), CORE_OK);
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
        Message m{message->type, 0, {}};
        // "ops.seq." and sixteen hexadecimal digits.
        char digits[17] = {};
        memcpy(digits, message->name.key + 8, 16);
        m.sequence = strtoull(digits, nullptr, 16);
        if (message->data != nullptr && message->length > 0) {
            const auto *bytes = static_cast<const uint8_t *>(message->data);
            m.data.assign(bytes, bytes + message->length);
        }
        std::lock_guard<std::mutex> guard(self->lock_);
        self->messages_.push_back(std::move(m));
        return CORE_OK;
    }

    CoreName topic_;
    uint64_t key_ = 0;
    std::mutex lock_;
    std::vector<Message> messages_;
};

// What reached the node service in the roles of the binding and the send
// services: the published tables and the send profiles.
class NodeServiceLog {
public:
    struct Published {
        uint32_t code;
        EngineMediaDesc desc;
        std::vector<EngineStreamRecord> records;
    };
    struct Profile {
        EngineProfileRequest request;
        EngineMediaDesc desc;
    };

    NodeServiceLog()
    {
        const CoreName service = named(ENGINE_NODE_SERVICE);
        const CoreNotifySubscription subscription = {&NodeServiceLog::handle, {this, nullptr}};
        token_ = core_notify_subscribe(&service, &subscription);
        EXPECT_NE(token_, 0u);
    }
    ~NodeServiceLog()
    {
        const CoreName service = named(ENGINE_NODE_SERVICE);
        core_notify_unsubscribe(&service, token_);
    }

    std::vector<Published> published(uint32_t code)
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<Published> out;
        for (const Published &p : published_)
            if (p.code == code) out.push_back(p);
        return out;
    }
    std::vector<Profile> profiles()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return profiles_;
    }
    void clear()
    {
        std::lock_guard<std::mutex> guard(lock_);
        published_.clear();
        profiles_.clear();
    }

private:
    static CoreResult handle(uint32_t code, const void *in, uint64_t in_len, void *out, uint64_t *out_len,
                             void **user)
    {
        auto *self = static_cast<NodeServiceLog *>(user[0]);
        if (code == ENGINE_SVC_SET_OFFER || code == ENGINE_SVC_SET_ANSWER) {
            Published p{code, {}, {}};
            EXPECT_NE(out, nullptr);
            EXPECT_EQ(*out_len, sizeof(EngineMediaDesc));
            memcpy(&p.desc, out, sizeof(p.desc));
            const auto *table = static_cast<const EngineStreamTable *>(in);
            EXPECT_EQ(in_len, engine_stream_table_size(table->count));
            p.records.assign(table->records, table->records + table->count);
            std::lock_guard<std::mutex> guard(self->lock_);
            self->published_.push_back(std::move(p));
            return CORE_OK;
        }
        if (code == ENGINE_SVC_SEND_PROFILE) {
            Profile p;
            EXPECT_EQ(in_len, sizeof(EngineProfileRequest));
            memcpy(&p.request, in, sizeof(p.request));
            memcpy(&p.desc, out, sizeof(p.desc));
            std::lock_guard<std::mutex> guard(self->lock_);
            self->profiles_.push_back(p);
            return CORE_OK;
        }
        return CORE_NOT_MINE;
    }

    uint64_t token_ = 0;
    std::mutex lock_;
    std::vector<Published> published_;
    std::vector<Profile> profiles_;
};

}  // namespace binding_support
