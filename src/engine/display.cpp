#include "engine/display.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/executor.h"
#include "core/handle.h"
#include "core/log.h"
#include "core/notify.h"
#include "core/pool.h"
#include "core/values.h"
#include "engine/capability.h"
#include "engine/codec_ids.h"
#include "engine/codes.h"
#include "engine/devices.h"
#include "engine/names.h"
#include "engine/node.h"
#include "ravelkit/consumer.h"

namespace {

constexpr uint32_t kDecoderList = RAVK_CODEC_DECODER;
constexpr uint32_t kDrainPollMs = 50;
constexpr uint64_t kDrainPerConsumerMs = 2000;
constexpr uint64_t kDrainIdleMs = 4000;

CoreHandleTable *pipelines() { return core_handle_tables[CORE_HANDLES_PIPELINES]; }

// Names that arrived as raw bytes may carry a stale printable copy: only
// the key counts, so the copy is made again from it.
CoreName clean(const CoreName &name)
{
    CoreName out = name;
    core_name_make(&out);
    return out;
}

bool same_key(const CoreName &a, const CoreName &b) { return std::memcmp(a.key, b.key, CORE_NAME_KEY_SIZE) == 0; }

bool matches(const CoreName *filter, const CoreName &name) { return filter == nullptr || same_key(*filter, name); }

// 0 audio, 1 video, 2 other, -1 no stream name; either naming pattern.
int stream_kind(const CoreName &stream)
{
    const int kind = engine_stream_name_kind(&stream, 0);
    return kind != -1 ? kind : engine_stream_name_kind(&stream, 1);
}

uint32_t live_count(CoreStore *store)
{
    if (store == nullptr) return 0;
    core_store_lock(store);
    const uint32_t live = store->live;
    core_store_unlock(store);
    return live;
}

CoreStore *store_create(const EngineDisplayConfig &config, uint64_t itemSize, CoreStoreCreateFn create,
                        CoreStoreDestroyFn destroy, EngineDisplay *display)
{
    CoreStoreConfig c{};
    c.item_size = itemSize;
    c.key_kind = CORE_KEY_EXPLICIT;
    c.key_count = 1;
    c.create = create;
    c.destroy = destroy;
    c.pool = config.pool;
    c.executor = config.executor;
    c.user = display;
    return core_store_create(&c);
}

// A pipeline object of the framework under a handle reference; NULL for a
// handle that is gone or names a capture object.
class ConsumerRef {
public:
    explicit ConsumerRef(uint64_t handle) : handle_(handle)
    {
        if (handle_ == 0 || pipelines() == nullptr) return;
        auto *object = static_cast<RavkConsumer *>(core_handle_acquire(pipelines(), handle_));
        if (object == nullptr) return;
        held_ = true;
        if (object->role == RAVK_ROLE_CONSUMER) consumer_ = object;
    }
    ~ConsumerRef()
    {
        if (held_) core_handle_release(pipelines(), handle_);
    }
    ConsumerRef(const ConsumerRef &) = delete;
    ConsumerRef &operator=(const ConsumerRef &) = delete;

    RavkConsumer *get() const { return consumer_; }

private:
    uint64_t handle_;
    bool held_ = false;
    RavkConsumer *consumer_ = nullptr;
};

// A reader reference of the calling thread on a store, for a scope: items
// found in it meanwhile are not reclaimed before the scope ends.
class StoreHold {
public:
    explicit StoreHold(CoreStore *store) : store_(store)
    {
        core_store_lock(store_);
        held_ = core_store_acquire(store_) >= 0;
        core_store_unlock(store_);
    }
    ~StoreHold()
    {
        if (held_) core_store_unref(store_);
    }
    StoreHold(const StoreHold &) = delete;
    StoreHold &operator=(const StoreHold &) = delete;

private:
    CoreStore *store_;
    bool held_ = false;
};

uint32_t sink_kind(const RavkConsumer *c) { return c != nullptr && c->video_sink != nullptr ? c->video_sink->kind : 0; }

// Sinks that keep the picture's aspect ratio on request and draw where the
// overlay's render rectangle says.
bool overlay_sink(uint32_t kind)
{
    switch (kind) {
    case RAVK_SINK_GLIMAGE:
    case RAVK_SINK_VAAPI:
    case RAVK_SINK_OSXVIDEO:
    case RAVK_SINK_D3D11VIDEO:
    case RAVK_SINK_XV_IMAGE:
    case RAVK_SINK_V4L2: return true;
    default: return false;
    }
}

// What the pipeline could give of what it was asked for. The aspect bit
// names only sinks that take "force-aspect-ratio": a viewer offered an
// aspect switch that nothing obeys would think it broken.
uint32_t available_features(const RavkConsumer *c)
{
    if (c == nullptr) return 0;
    const uint32_t kind = sink_kind(c);
    uint32_t features = 0;
    if (c->color_balance != nullptr || kind == RAVK_SINK_XV_IMAGE || kind == RAVK_SINK_V4L2)
        features |= ENGINE_FEATURE_COLOR_BALANCE;
    if (kind == RAVK_SINK_D3D11VIDEO || c->reshape != nullptr) features |= ENGINE_FEATURE_SCALING;
    if (overlay_sink(kind)) features |= ENGINE_FEATURE_ASPECT | ENGINE_FEATURE_OVERLAY;
    return features & c->config.video_options;
}

void post_stream_info(uint32_t code, uint32_t features, const CoreName &channel, const CoreName &slot,
                      const CoreName &stream)
{
    EngineStreamInfo info{};
    info.features = features;
    info.direction = ENGINE_STREAM_PLAYBACK;
    info.channel = clean(channel);
    info.slot = clean(slot);
    info.stream = clean(stream);
    engine_post_event(code, &info, sizeof(info));
}

// Checks a pushed chain before anything of it is used: at most as many
// frames as one push takes (which also ends a chain that loops), data
// behind every non-empty frame, and sizes that add up to what the caller
// says it handed over.
bool chain_valid(const RavkSample *samples, uint64_t sampleBytes)
{
    if (samples == nullptr) return false;
    uint64_t total = 0;
    uint32_t count = 0;
    for (const RavkSample *s = samples; s != nullptr; s = s->next) {
        if (++count > RAVK_CONSUMER_MAX_FRAMES) return false;
        if (s->size != 0 && s->data == nullptr) return false;
        if (s->size > sampleBytes - total) return false;
        total += s->size;
    }
    return total == sampleBytes;
}

// The first decoder of the list whose input is `fourcc`; false when none
// is (a FourCC of "NONE" matches nothing: the no-codec entry carries it).
bool find_decoder(bool audio, uint32_t fourcc, uint32_t *index)
{
    if (fourcc == ENGINE_FOURCC_NONE) return false;
    const uint32_t count =
        audio ? core_codec_entry_count_audio(kDecoderList) : core_codec_entry_count_video(kDecoderList);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t input = 0;
        if (audio) {
            CoreAudioCodecDesc desc;
            if (core_codec_get_audio(i, kDecoderList, &desc) != 0) continue;
            input = desc.input;
        } else {
            CoreVideoCodecDesc desc;
            if (core_codec_get_video(i, kDecoderList, &desc) != 0) continue;
            input = desc.input;
        }
        if (input == fourcc) {
            *index = i;
            return true;
        }
    }
    return false;
}

void free_table(EngineStreamTable *table)
{
    EngineNode *node = engine_node_running();
    void *block = table;
    if (node != nullptr && block != nullptr) core_pool_free(node->pool, &block);
}

// Every consumer of every node, in key order, with both walks' references
// held during the call; fn returns false to stop early.
template <typename Fn>
void for_each_consumer(EngineDisplay *display, Fn fn)
{
    for (CoreStoreItem *n = core_store_first(display->nodes); n != nullptr;
         n = core_store_next(display->nodes, n, 1)) {
        auto *node = reinterpret_cast<EngineProfile *>(n);
        for (CoreStoreItem *c = core_store_first(node->streams); c != nullptr;
             c = core_store_next(node->streams, c, 1)) {
            if (!fn(node, reinterpret_cast<EngineConsumer *>(c))) {
                core_store_unref(node->streams);
                core_store_unref(display->nodes);
                return;
            }
        }
    }
}

uint32_t live_consumers(EngineDisplay *display)
{
    uint32_t total = 0;
    for (CoreStoreItem *n = core_store_first(display->nodes); n != nullptr; n = core_store_next(display->nodes, n, 1))
        total += live_count(reinterpret_cast<EngineProfile *>(n)->streams);
    return total;
}

RavkDeviceList *sink_list_create(uint32_t media, const EngineDisplaySinkSlot &slot)
{
    RavkDeviceListConfig config{};
    config.populate = 0;
    config.direction = RAVK_DIRECTION_SINK;
    config.media = media;
    config.device_class = slot.deviceClass & 0xF;
    RavkDeviceList *list = ravk_device_list_create(&config);
    if (list == nullptr) return nullptr;
    if (ravk_device_list_select(list, &slot.deviceId) != 0) ravk_device_list_destroy(&list);
    return list;
}

// Carries out a re-setup the pipeline-event handler asked for, when it is
// for this stream. The request is taken under the lock, so a request that
// comes in meanwhile is kept for its own push.
CoreResult run_pending_setup(EngineDisplay *display, const CoreName &stream)
{
    {
        std::lock_guard<std::mutex> guard(display->lock);
        if (display->pendingSetup == 0 || !same_key(display->pendingStream, stream)) return CORE_OK;
        display->pendingSetup = 0;
        display->pendingHint.store(0);
    }
    engine_display_drain(display, &stream);
    CoreResult result = engine_consumer_setup(display, &stream);
    if (result >= 0) result = engine_display_start_decoder(display, &stream);
    std::lock_guard<std::mutex> guard(display->lock);
    if (display->pendingSetup == 0) {
        std::memset(&display->pendingStream, 0, sizeof(display->pendingStream));
        display->audioFeatures = 0;
        display->videoFeatures = ENGINE_FEATURES_DEFAULT_VIDEO;
    }
    return result < 0 ? result : CORE_OK;
}

void send_end_of_stream(RavkNode *source)
{
    if (source == nullptr || source->element == nullptr) return;
    if (GST_IS_APP_SRC(source->element))
        gst_app_src_end_of_stream(GST_APP_SRC(source->element));
    else
        gst_element_send_event(source->element, gst_event_new_eos());
}

// The decoder index of a codec record name ("codec.%08X.stream.%08X");
// false for an empty name or one whose number does not parse.
bool decoder_of(const CoreName *codecName, uint64_t *index)
{
    return codecName != nullptr && !core_name_is_empty(codecName) &&
           core_name_parse_hex(index, codecName->key, 6, 8) == CORE_OK;
}

// A pipeline of the framework for `mask` playing `stream`: each decoder
// from its sink slot, replaced by the one its codec record name gives.
uint64_t create_pipeline(EngineDisplay *display, uint32_t mediaMask, const CoreName *stream,
                         const CoreName *audioCodecName, const CoreName *videoCodecName)
{
    if (display == nullptr || stream == nullptr) return 0;
    RavkConsumerConfig config{};
    for (uint32_t *fourcc : {&config.audio_decoder.input, &config.audio_decoder.output, &config.video_decoder.input,
                             &config.video_decoder.output})
        *fourcc = core_fourcc("NONE");
    config.audio_decoder.device_number = -1;
    config.video_decoder.device_number = -1;

    uint64_t decoder = 0;
    EngineCapability *capability = engine_capability_current();
    const CoreName name = clean(*stream);
    auto latency = [](uint64_t delay) {
        return int64_t(delay > uint64_t(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                              : delay);
    };

    std::unique_lock<std::mutex> guard(display->lock);
    if (mediaMask & RAVK_MEDIA_AUDIO) {
        EngineAudioFormat format{};
        const uint64_t stored = engine_capability_slot_read(capability, ENGINE_SLOT_AUDIO_RECEIVE, &format,
                                                            sizeof(format));
        if (stored >= 1 && stored <= sizeof(format)) std::memcpy(config.audio_format, &format, sizeof(format));
        config.audio_options = display->audioFeatures;
        config.audio_stream = name;
        config.audio_latency = latency(display->config.audioPlaybackDelay);
        if (display->config.audioSink.codecIndex != -1 &&
            core_codec_get_audio(display->config.audioSink.codecIndex, kDecoderList, &config.audio_decoder) != 0)
            return 0;
        if (decoder_of(audioCodecName, &decoder) &&
            core_codec_get_audio(int64_t(decoder), kDecoderList, &config.audio_decoder) != 0)
            return 0;
    }
    if (mediaMask & RAVK_MEDIA_VIDEO) {
        CoreVideoMode mode{};
        const uint64_t stored =
            engine_capability_slot_read(capability, ENGINE_SLOT_VIDEO_RECEIVE, &mode, sizeof(mode));
        if (stored >= 1 && stored <= sizeof(mode)) {
            config.width = mode.width;
            config.height = mode.height;
            config.rate_num = mode.rate_num;
            config.rate_den = mode.rate_den;
        }
        config.video_options = display->videoFeatures;
        config.video_stream = name;
        config.video_latency = latency(display->config.videoPlaybackDelay);
        config.window = display->window;
        config.playback_offset = display->playbackOffset;
        config.render_rectangle = display->renderRectangle;
        if (display->config.videoSink.codecIndex != -1 &&
            core_codec_get_video(display->config.videoSink.codecIndex, kDecoderList, &config.video_decoder) != 0)
            return 0;
        if (decoder_of(videoCodecName, &decoder) &&
            core_codec_get_video(int64_t(decoder), kDecoderList, &config.video_decoder) != 0)
            return 0;
    }
    guard.unlock();
    config.media = mediaMask;
    const uint64_t handle = ravk_consumer_create(&config);
    // The framework marks media flags it refuses with all bits set.
    return handle == UINT64_MAX ? 0 : handle;
}

// The stop of one consumer: its pipeline stopped, the consumer removed and
// its stop posted when it had started. CORE_DONE; CORE_ERR without the node.
CoreResult stop_consumer(EngineDisplay *display, const CoreName *name1, const CoreName *name2)
{
    if (name1 == nullptr || name2 == nullptr) return CORE_ERR;
    CoreStoreItem *n = core_store_lookup(display->nodes, name1->key);
    if (n == nullptr) return CORE_ERR;
    auto *node = reinterpret_cast<EngineProfile *>(n);
    if (CoreStoreItem *c = core_store_lookup(node->streams, name2->key)) {
        auto *consumer = reinterpret_cast<EngineConsumer *>(c);
        std::lock_guard<std::mutex> guard(display->stateLock);
        // Also resets the picture controls of a video pipeline.
        ravk_consumer_stop(consumer->object.load());
        consumer->stopped = 1;
        uint8_t key[CORE_NAME_KEY_SIZE];
        std::memcpy(key, c->key.key, sizeof(key));
        core_store_remove(node->streams, key);
        if (consumer->started.exchange(0) == 1)
            post_stream_info(ENGINE_EVT_STREAM_STOPPED, 0, consumer->channel, node->header.key, *name2);
        core_store_unref(node->streams);
    }
    core_store_unref(display->nodes);
    return CORE_DONE;
}

}  // namespace

// ---- creation ---------------------------------------------------------------

EngineDisplay *engine_display_create(const EngineDisplayConfig *config)
{
    if (config == nullptr) return nullptr;
    auto *display = new (std::nothrow) EngineDisplay{};
    if (display == nullptr) return nullptr;
    display->config = *config;
    if (core_name_is_empty(&display->config.executor))
        display->config.executor = core_name_of(CORE_DEFAULT_EXECUTOR);
    display->audioFeatures = 0;
    display->videoFeatures = ENGINE_FEATURES_DEFAULT_VIDEO;
    display->nodes = store_create(display->config, sizeof(EngineProfile), engine_display_node_init,
                                  core_substore_fini_cb, display);
    bool ok = display->nodes != nullptr;
    if (ok && config->receiveRoles != 0) {
        if (config->audioSink.deviceClass != 0)
            ok = (display->audioSinks = sink_list_create(RAVK_MEDIA_AUDIO, config->audioSink)) != nullptr;
        if (ok && config->videoSink.deviceClass != 0)
            ok = (display->videoSinks = sink_list_create(RAVK_MEDIA_VIDEO, config->videoSink)) != nullptr;
    }
    if (!ok) engine_display_destroy(&display);
    return display;
}

void engine_display_destroy(EngineDisplay **display)
{
    if (display == nullptr || *display == nullptr) return;
    EngineDisplay *d = *display;
    // A stop task still pending would run on a freed display: cancel the
    // waiting ones and wait for a running one, without the lock it takes.
    std::vector<uint64_t> tasks;
    {
        std::lock_guard<std::mutex> guard(d->lock);
        tasks.swap(d->stopTasks);
    }
    for (uint64_t task : tasks) core_executor_cancel_named(&d->config.executor, task, 1);
    ravk_device_list_destroy(&d->audioSinks);
    ravk_device_list_destroy(&d->videoSinks);
    core_store_destroy(&d->nodes);
    delete d;
    *display = nullptr;
}

// ---- stored parameters ---------------------------------------------------------

CoreResult engine_display_set_playback_params(EngineDisplay *display, const void *data, uint64_t length)
{
    if (display == nullptr) return CORE_ERR;
    if (data == nullptr || length < sizeof(EnginePlaybackParams)) return CORE_ERR_INVALID;
    EnginePlaybackParams params;
    std::memcpy(&params, data, sizeof(params));
    std::lock_guard<std::mutex> guard(display->lock);
    display->playbackFirstWord = params.firstWord;
    display->window = params.window;
    std::memcpy(display->playbackReserved, params.reserved, sizeof(display->playbackReserved));
    display->renderRectangle = params.renderRectangle;
    return CORE_OK;
}

CoreResult engine_display_set_playback_offset(EngineDisplay *display, const void *data, uint64_t length)
{
    if (display == nullptr) return CORE_ERR;
    if (data == nullptr || length < sizeof(uint64_t)) return CORE_ERR_INVALID;
    uint64_t offset;
    std::memcpy(&offset, data, sizeof(offset));
    std::lock_guard<std::mutex> guard(display->lock);
    display->playbackOffset = offset;
    return CORE_OK;
}

CoreResult engine_display_set_playback_delay(EngineDisplay *display, uint32_t medium, uint64_t delay)
{
    if (display == nullptr) return CORE_ERR;
    std::lock_guard<std::mutex> guard(display->lock);
    if (medium != 1) display->config.audioPlaybackDelay = delay;
    if (medium != 0) display->config.videoPlaybackDelay = delay;
    return CORE_OK;
}

CoreResult engine_display_request_setup(EngineDisplay *display, const CoreName *stream, uint32_t audioFeatures,
                                        uint32_t videoFeatures)
{
    if (display == nullptr) return CORE_ERR;
    if (stream == nullptr) return CORE_ERR_INVALID;
    std::lock_guard<std::mutex> guard(display->lock);
    display->pendingSetup = 1;
    display->pendingStream = clean(*stream);
    display->audioFeatures = audioFeatures;
    display->videoFeatures = videoFeatures;
    display->pendingHint.store(1);
    return CORE_OK;
}

// ---- store callbacks -----------------------------------------------------------

int engine_display_node_init(CoreStore *, CoreStoreItem *item, void *arg, void **user)
{
    auto *display = static_cast<EngineDisplay *>(*user);
    auto *node = reinterpret_cast<EngineProfile *>(item);
    node->streams = store_create(display->config, sizeof(EngineConsumer), engine_consumer_item_init,
                                 engine_consumer_item_fini, display);
    if (node->streams == nullptr) return -1;
    const auto *args = static_cast<const EngineProfileArgs *>(arg);
    node->mediaMask = args != nullptr ? args->mediaMask : 0;
    if (args != nullptr)
        node->props = args->props;
    else
        engine_props_init(&node->props);
    return 0;
}

int engine_consumer_item_init(CoreStore *, CoreStoreItem *item, void *arg, void **)
{
    const auto *entry = static_cast<const EngineConsumerEntry *>(arg);
    if (entry == nullptr) return -1;
    auto *consumer = reinterpret_cast<EngineConsumer *>(item);
    consumer->codecName = entry->codecName;
    consumer->channel = entry->channel;
    consumer->slot = entry->slot;
    consumer->mediaMask = entry->mediaMask;
    return 0;
}

// A node's streams that share one pipeline all hold its handle and the
// pipeline holds one reference: the first of them to be reclaimed frees
// it, and the others then find the handle gone and release nothing.
void engine_consumer_item_fini(CoreStore *, CoreStoreItem *item, void **)
{
    auto *consumer = reinterpret_cast<EngineConsumer *>(item);
    const uint64_t handle = consumer->object.exchange(0);
    if (handle == 0 || pipelines() == nullptr) return;
    core_handle_release(pipelines(), handle);
    core_handle_wait_freed(pipelines(), handle);
}

// ---- nodes and consumers ---------------------------------------------------------

CoreResult engine_display_add_node(EngineDisplay *display, const CoreName *slot, uint32_t mediaMask,
                                   const EngineProps *props)
{
    if (display == nullptr || slot == nullptr) return CORE_ERR;
    EngineProfileArgs args{};
    args.mediaMask = mediaMask;
    if (props != nullptr)
        args.props = *props;
    else
        engine_props_init(&args.props);
    const CoreName key = clean(*slot);
    const CoreResult result = core_store_insert(display->nodes, &key, nullptr, &args, nullptr, 0);
    return result == CORE_OK || result == CORE_EXISTS ? CORE_OK : CORE_ERR;
}

CoreResult engine_display_add_consumer(EngineDisplay *display, const CoreName *channel, const CoreName *slot,
                                       uint32_t mediaMask, const CoreName *stream, const CoreName *codecName)
{
    if (display == nullptr || channel == nullptr || slot == nullptr || stream == nullptr) return CORE_ERR;
    CoreStoreItem *item = core_store_lookup(display->nodes, slot->key);
    if (item == nullptr) return CORE_ERR;
    auto *node = reinterpret_cast<EngineProfile *>(item);
    EngineConsumerEntry entry{};
    if (codecName != nullptr) entry.codecName = clean(*codecName);
    entry.channel = clean(*channel);
    entry.slot = clean(*slot);
    entry.mediaMask = mediaMask;
    const CoreName key = clean(*stream);
    const CoreResult result = core_store_insert(node->streams, &key, &entry.slot, &entry, nullptr, 0);
    core_store_unref(display->nodes);
    return result == CORE_OK || result == CORE_EXISTS ? CORE_OK : CORE_ERR;
}

CoreResult engine_consumer_setup(EngineDisplay *display, const CoreName *filter)
{
    if (display == nullptr) return CORE_ERR;
    EngineCapability *capability = engine_capability_current();
    EngineStreamTable *table =
        capability != nullptr ? engine_capability_table_clone(capability, ENGINE_CAPABILITY_ANSWER) : nullptr;
    if (table == nullptr) return CORE_ERR;

    // The plain records this display can play, by slot in key order; a
    // group's channel is that of its first record.
    struct Group {
        CoreName channel;
        std::vector<uint64_t> records;
    };
    std::map<std::array<uint8_t, CORE_NAME_KEY_SIZE>, Group> groups;
    for (uint64_t i = 0; i < table->count; ++i) {
        const EngineStreamRecord &record = table->records[i];
        if (record.mediaFlags & ENGINE_MEDIA_CODEC_RECORD) continue;
        const bool playable = ((record.mediaFlags & ENGINE_MEDIA_AUDIO) && display->audioSinks != nullptr) ||
                              ((record.mediaFlags & ENGINE_MEDIA_VIDEO) && display->videoSinks != nullptr);
        if (!playable) continue;
        std::array<uint8_t, CORE_NAME_KEY_SIZE> key;
        std::memcpy(key.data(), record.slot.key, key.size());
        auto inserted = groups.try_emplace(key, Group{clean(record.channel), {}});
        inserted.first->second.records.push_back(i);
    }

    bool failed = false;
    for (const auto &[key, group] : groups) {
        CoreName slot;
        std::memcpy(slot.key, key.data(), key.size());
        core_name_make(&slot);
        uint32_t mask = 0;
        EngineProps merged;
        engine_props_init(&merged);
        for (uint64_t i : group.records) {
            mask |= engine_codec_selection_to_ravk(table->records[i].mediaFlags);
            // A list that would overflow the merge is left out whole.
            engine_props_append(&merged, &table->records[i].props);
        }
        const size_t counted = group.records.size();
        const CoreResult added = counted == 1 ? engine_display_add_node(display, &slot, 0, nullptr)
                                              : engine_display_add_node(display, &slot, mask, &merged);
        if (added != CORE_OK) {
            failed = true;
            break;
        }
        size_t consumers = 0;
        for (uint64_t i : group.records) {
            const EngineStreamRecord &record = table->records[i];
            if (!matches(filter, record.streamName)) continue;
            CoreName codecName{};
            if (engine_stream_table_find_codec_name(table, &record.streamName, &codecName) == 0) {
                std::memset(&codecName, 0, sizeof(codecName));
                const bool audio = (record.mediaFlags & ENGINE_MEDIA_AUDIO) != 0;
                const uint32_t fourcc = audio ? engine_audio_fourcc((record.mediaFlags >> 8) & 0xFF)
                                              : engine_video_fourcc((record.mediaFlags >> 16) & 0xFF);
                uint32_t decoder = 0;
                if (find_decoder(audio, fourcc, &decoder))
                    core_name_format(&codecName, "codec.%08X.stream.%08X", decoder,
                                     uint32_t(i) + (audio ? 0u : ENGINE_STREAM_BIAS_VIDEO));
            }
            if (engine_display_add_consumer(display, &group.channel, &slot, mask, &record.streamName, &codecName) !=
                CORE_OK) {
                failed = true;
                break;
            }
            consumers++;
            if (counted == 1) break;
        }
        if (failed || (counted > 1 && consumers < counted)) break;
    }
    free_table(table);
    const CoreResult result = engine_display_create_consumers(display, filter);
    return failed ? CORE_ERR : result;
}

CoreResult engine_display_create_consumers(EngineDisplay *display, const CoreName *filter)
{
    if (display == nullptr) return CORE_ERR;
    CoreResult result = CORE_OK;
    for (CoreStoreItem *n = core_store_first(display->nodes); n != nullptr;
         n = core_store_next(display->nodes, n, 1)) {
        auto *node = reinterpret_cast<EngineProfile *>(n);
        const StoreHold hold(node->streams);
        if (node->mediaMask != 0) {
            // One pipeline for the whole node, named after its last stream.
            // Each branch takes the decoder its own stream's codec record
            // names: with the sink slots on automatic there is no other.
            EngineConsumer *last = nullptr;
            const CoreName *audioCodec = nullptr, *videoCodec = nullptr;
            for (CoreStoreItem *c = core_store_first(node->streams); c != nullptr;
                 c = core_store_next(node->streams, c, 1)) {
                last = reinterpret_cast<EngineConsumer *>(c);
                const int kind = stream_kind(last->header.key);
                if (kind == 0 && audioCodec == nullptr) audioCodec = &last->codecName;
                if (kind == 1 && videoCodec == nullptr) videoCodec = &last->codecName;
            }
            if (last == nullptr || !matches(filter, last->header.key) || last->object.load() != 0) continue;
            const uint64_t handle =
                create_pipeline(display, node->mediaMask, &last->header.key, audioCodec, videoCodec);
            if (handle == 0) {
                result = CORE_ERR;
                continue;
            }
            for (CoreStoreItem *c = core_store_first(node->streams); c != nullptr;
                 c = core_store_next(node->streams, c, 1)) {
                auto *consumer = reinterpret_cast<EngineConsumer *>(c);
                const uint64_t held = consumer->object.load();
                if (held == 0 || ConsumerRef(held).get() == nullptr) consumer->object.store(handle);
            }
            continue;
        }
        for (CoreStoreItem *c = core_store_first(node->streams); c != nullptr;
             c = core_store_next(node->streams, c, 1)) {
            auto *consumer = reinterpret_cast<EngineConsumer *>(c);
            // A second setup of the same binding keeps the pipelines it has.
            if (!matches(filter, consumer->header.key) || consumer->object.load() != 0) continue;
            const uint64_t handle =
                engine_consumer_create(display, consumer->mediaMask, &consumer->header.key, &consumer->codecName);
            if (handle == 0)
                result = CORE_ERR;
            else
                consumer->object.store(handle);
        }
    }
    return result;
}

uint64_t engine_consumer_create(EngineDisplay *display, uint32_t mediaMask, const CoreName *stream,
                                const CoreName *codecName)
{
    return create_pipeline(display, mediaMask, stream, codecName, codecName);
}

void engine_report_decoder_failure(uint32_t mediaMask, EngineMessageText *out)
{
    std::string text;
    auto add = [&text](const char *part) {
        if (!text.empty()) text += ". ";
        text += part;
    };
    if (mediaMask & RAVK_MEDIA_AUDIO) add("Failed on start audio decoder");
    if (mediaMask & RAVK_MEDIA_VIDEO) {
        add("Failed on start video decoder");
        add("Please try to select another video decoder");
    }
    if (text.empty()) return;
    text += ".";
    EngineMessageText message{};
    std::snprintf(message.text, sizeof(message.text), "%s", text.c_str());
    if (out != nullptr) *out = message;
    engine_post_event(ENGINE_EVT_VIEWER_ERROR, &message, sizeof(message));
}

CoreResult engine_display_start_decoder(EngineDisplay *display, const CoreName *filter)
{
    if (display == nullptr) return CORE_ERR;
    CoreResult result = CORE_OK;
    for_each_consumer(display, [&](EngineProfile *, EngineConsumer *consumer) {
        if (!matches(filter, consumer->header.key)) return true;
        ConsumerRef ref(consumer->object.load());
        RavkConsumer *c = ref.get();
        bool started = false;
        {
            std::lock_guard<std::mutex> guard(display->stateLock);
            if (c != nullptr && c->pipeline != nullptr && c->pipeline->element != nullptr) {
                // Only a new pipeline is paused: the second setup of a
                // binding must not pause one that already plays.
                if (c->state == RAVK_STATE_CREATED) {
                    if (gst_element_set_state(c->pipeline->element, GST_STATE_PAUSED) != GST_STATE_CHANGE_FAILURE) {
                        c->state = RAVK_STATE_PAUSED;
                        started = true;
                    }
                } else {
                    started = true;
                }
            }
        }
        if (started) return true;
        engine_report_decoder_failure(consumer->mediaMask, nullptr);
        if (consumer->mediaMask & RAVK_MEDIA_VIDEO) {
            result = CORE_ERR;
            return false;
        }
        return true;
    });
    return result;
}

CoreResult engine_display_push_frames(EngineDisplay *display, const EngineFrameBatch *batch, uint64_t batchLength,
                                      const RavkSample *samples, uint64_t sampleBytes)
{
    if (display == nullptr) return CORE_ERR;
    if (batch == nullptr || batchLength < sizeof(EngineFrameBatch) ||
        (batch->media != ENGINE_FRAME_MEDIA_AUDIO && batch->media != ENGINE_FRAME_MEDIA_VIDEO) ||
        !chain_valid(samples, sampleBytes)) {
        display->rejectedBatches.fetch_add(1);
        return CORE_ERR_INVALID;
    }
    const uint32_t branch = batch->media;
    if (display->pendingHint.load() != 0) {
        const CoreResult pending = run_pending_setup(display, batch->stream);
        if (pending < 0) return pending;
    }

    EngineProfile *node = nullptr;
    EngineConsumer *consumer = nullptr;
    for (CoreStoreItem *n = core_store_first(display->nodes); n != nullptr;
         n = core_store_next(display->nodes, n, 1)) {
        auto *candidate = reinterpret_cast<EngineProfile *>(n);
        if (CoreStoreItem *c = core_store_lookup(candidate->streams, batch->stream.key)) {
            node = candidate;
            consumer = reinterpret_cast<EngineConsumer *>(c);
            break;
        }
    }
    if (consumer == nullptr) return CORE_ERR;

    int pushed = -1;
    {
        ConsumerRef ref(consumer->object.load());
        RavkConsumer *c = ref.get();
        bool push = false, end = false;
        {
            std::lock_guard<std::mutex> guard(display->stateLock);
            if (c != nullptr && c->pipeline != nullptr && c->pipeline->element != nullptr) {
                if (c->state == RAVK_STATE_PAUSED &&
                    gst_element_set_state(c->pipeline->element, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE)
                    c->state = RAVK_STATE_PLAYING;
                if (c->state == RAVK_STATE_PLAYING) {
                    push = true;
                } else if (c->state == RAVK_STATE_STOPPED && (consumer->endSent & (1u << branch)) == 0) {
                    consumer->endSent |= 1u << branch;
                    push = end = true;
                }
            }
        }
        if (push) pushed = ravk_consumer_push_live(c, branch, samples);
        if (end) send_end_of_stream(branch == ENGINE_FRAME_MEDIA_AUDIO ? c->audio.source : c->video.source);

        // Under the state lock, so that a stop task that takes the consumer
        // out either comes first (no started event) or sees it (a stopped
        // event follows).
        std::lock_guard<std::mutex> guard(display->stateLock);
        if (consumer->stopped == 0 && consumer->started.load() != 1) {
            consumer->started.store(1);
            post_stream_info(ENGINE_EVT_STREAM_STARTED, available_features(c), batch->channel, node->header.key,
                             batch->stream);
        }
    }
    core_store_unref(node->streams);
    core_store_unref(display->nodes);
    return pushed != 0 ? CORE_ERR : CORE_OK;
}

int engine_display_stop_task(const CoreName *, uint64_t task, const CoreName *name1, const CoreName *name2,
                             void **user)
{
    auto *display = user != nullptr ? static_cast<EngineDisplay *>(user[0]) : nullptr;
    if (display == nullptr) return CORE_ERR;
    const CoreResult result = stop_consumer(display, name1, name2);
    std::lock_guard<std::mutex> guard(display->lock);
    auto &tasks = display->stopTasks;
    for (auto at = tasks.begin(); at != tasks.end(); ++at) {
        if (*at != task) continue;
        tasks.erase(at);
        break;
    }
    return result;
}

void engine_display_drain(EngineDisplay *display, const CoreName *filter)
{
    if (display == nullptr) return;
    uint64_t all = 0, matching = 0;
    const CoreTaskCallback callback{engine_display_stop_task, {display, nullptr}};
    for_each_consumer(display, [&](EngineProfile *node, EngineConsumer *consumer) {
        all++;
        if (!matches(filter, consumer->header.key)) return true;
        matching++;
        const CoreName slot = node->header.key, stream = consumer->header.key;
        // Under the lock, so that the task, which takes its id out of the
        // list, never runs before it is in.
        std::lock_guard<std::mutex> guard(display->lock);
        const uint64_t task = core_executor_schedule(&display->config.executor, &slot, &stream, 0, &callback);
        if (task != 0)
            display->stopTasks.push_back(task);
        else
            core_log(CORE_LOG_ERROR, "display", "cannot schedule the stop of %s", stream.text);
        return true;
    });
    const uint64_t limit = matching > 0 ? (matching + 1) * kDrainPerConsumerMs : kDrainIdleMs;
    for (uint64_t round = 0;; ++round) {
        if (live_consumers(display) <= all - matching) return;
        if (round >= limit / kDrainPollMs) return;
        core_sleep_ms(kDrainPollMs);
    }
}

CoreResult engine_post_receive_close(const EngineMediaDesc *desc)
{
    if (desc == nullptr) return CORE_ERR_INVALID;
    EngineReceiveRecord record{};
    record.channel = desc->channel;
    record.peerNode = desc->peerNode;
    record.bindSequence = desc->bindSequence;
    engine_post_command(ENGINE_CMD_RECEIVE_CLOSE, &record, sizeof(record));
    return CORE_OK;
}

EngineProfile *engine_profile_video_slot(EngineDisplay *display)
{
    return display != nullptr ? engine_profile_slot_or_first(display->nodes, ENGINE_PROFILE_SLOT_VIDEO) : nullptr;
}
