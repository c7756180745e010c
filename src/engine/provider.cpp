#include "engine/provider.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <new>

#include "core/executor.h"
#include "core/handle.h"
#include "core/log.h"
#include "core/notify.h"
#include "core/pool.h"
#include "engine/capability.h"
#include "engine/codes.h"
#include "engine/devices.h"
#include "engine/names.h"
#include "engine/node.h"
#include "engine/offer_tables.h"

namespace {

CoreHandleTable *pipelines() { return core_handle_tables[CORE_HANDLES_PIPELINES]; }

// Stops a pipeline the provider holds, gives back its reference and waits
// until the framework has freed it.
void pipeline_free(uint64_t *handle)
{
    if (*handle == 0) return;
    ravk_pipeline_stop(*handle);
    core_handle_release(pipelines(), *handle);
    core_handle_wait_freed(pipelines(), *handle);
    *handle = 0;
}

CoreStore *profile_store_create(EngineMediaProvider *provider)
{
    CoreStoreConfig config{};
    config.item_size = sizeof(EngineProfile);
    config.key_kind = CORE_KEY_EXPLICIT;
    config.key_count = 1;
    config.create = engine_profile_item_init;
    config.destroy = core_substore_fini_cb;
    config.pool = provider->config.pool;
    config.executor = provider->config.executor;
    config.user = provider;
    return core_store_create(&config);
}

bool profile_insert(EngineMediaProvider *provider, const char *slot)
{
    const CoreName key = core_name_of(slot);
    CoreStoreItem *item = nullptr;
    return core_store_insert(provider->profiles, &key, nullptr, nullptr, &item, 0) == CORE_OK;
}

void post_send_streams(EngineMediaProvider *provider, const EngineMediaDesc *desc, uint32_t code)
{
    if (provider == nullptr || desc == nullptr || provider->profiles == nullptr) return;
    for (CoreStoreItem *item = core_store_next(provider->profiles, nullptr, 1); item != nullptr;
         item = core_store_next(provider->profiles, item, 1)) {
        EngineMediaDesc command;
        engine_media_desc_make(&command, &desc->channel, &desc->peerNode, &desc->session, &item->key);
        engine_post_command(code, &command, sizeof(command));
    }
}

// The number of a plain stream name within its kind ("stream.40000002" of a
// video stream is 2), or the record's table index when the name is none.
uint32_t stream_number(const CoreName *name, uint64_t tableIndex)
{
    for (int split = 0; split < 2; ++split) {
        const int kind = engine_stream_name_kind(name, split);
        if (kind < 0) continue;
        uint64_t number = 0;
        if (core_name_parse_hex(&number, name->key, split == 0 ? 7 : 13, 8) != CORE_OK) break;
        return static_cast<uint32_t>(number) & (ENGINE_STREAM_BIAS_VIDEO - 1);
    }
    return static_cast<uint32_t>(tableIndex);
}

void table_free(EngineStreamTable **table)
{
    EngineNode *node = engine_node_running();
    void *block = *table;
    if (block != nullptr && node != nullptr) core_pool_free(node->pool, &block);
    *table = nullptr;
}

bool is_plain(const EngineStreamRecord &record) { return (record.mediaFlags & ENGINE_MEDIA_CODEC_RECORD) == 0; }

}  // namespace

int engine_profile_item_init(CoreStore *, CoreStoreItem *item, void *arg, void **user)
{
    auto *provider = static_cast<EngineMediaProvider *>(*user);
    auto *profile = reinterpret_cast<EngineProfile *>(item);
    if (provider == nullptr) return -1;
    CoreStoreConfig config{};
    config.item_size = sizeof(EngineProviderStream);
    config.key_kind = CORE_KEY_EXPLICIT;
    config.key_count = 1;
    config.create = engine_stream_item_init;
    config.destroy = engine_stream_item_fini;
    config.pool = provider->config.pool;
    config.executor = provider->config.executor;
    profile->streams = core_store_create(&config);
    if (profile->streams == nullptr) return -1;
    const auto *args = static_cast<const EngineProfileArgs *>(arg);
    if (args != nullptr) {
        profile->mediaMask = args->mediaMask;
        profile->props = args->props;
    } else {
        profile->mediaMask = 0;
        engine_props_init(&profile->props);
    }
    return 0;
}

int engine_stream_item_init(CoreStore *, CoreStoreItem *item, void *arg, void **)
{
    const auto *entry = static_cast<const EngineProviderStreamEntry *>(arg);
    if (entry == nullptr) return -1;
    auto *stream = reinterpret_cast<EngineProviderStream *>(item);
    stream->record = entry->record;
    stream->codecName = entry->codecName;
    stream->channel = entry->channel;
    stream->mediaFlags = entry->mediaFlags;
    stream->captureSourceParams[0] = entry->captureSourceParams[0];
    stream->captureSourceParams[1] = entry->captureSourceParams[1];
    stream->started.store(0);
    stream->capture.store(0);
    return 0;
}

void engine_stream_item_fini(CoreStore *, CoreStoreItem *item, void **)
{
    auto *stream = reinterpret_cast<EngineProviderStream *>(item);
    uint64_t capture = stream->capture.exchange(0);
    // The reclaimer holds no pipeline reference, so the wait cannot block
    // on itself; a handle another stream of the slot freed is simply gone.
    if (capture != 0) pipeline_free(&capture);
}

RavkDeviceList *engine_source_list_create(uint32_t populate, const EngineSourceCallback *callback, uint32_t media,
                                          uint32_t deviceClass)
{
    RavkDeviceListConfig config{};
    config.populate = populate;
    config.direction = RAVK_DIRECTION_SOURCE;
    config.media = media;
    config.device_class = deviceClass;
    if (callback != nullptr) {
        config.callback = callback->fn;
        config.user = callback->user;
        config.user2 = callback->user2;
    }
    return ravk_device_list_create(&config);
}

EngineMediaProvider *engine_media_provider_create(const EngineProviderConfig *config)
{
    if (config == nullptr) return nullptr;
    auto *provider = new (std::nothrow) EngineMediaProvider{};
    if (provider == nullptr) return nullptr;
    provider->config = *config;
    for (auto &row : provider->audioBitrates) std::fill(std::begin(row), std::end(row), ENGINE_AUDIO_BITRATE);
    provider->profiles = profile_store_create(provider);
    bool ok = provider->profiles != nullptr;
    if (ok && config->sendRoles == 0) return provider;

    const EngineSourceCallback callback = {engine_provider_on_device_change, provider, nullptr};
    struct Source {
        const EngineDeviceSlot *slot;
        uint32_t media;
        RavkDeviceList **list;
    };
    const Source sources[] = {{&config->audioSource, RAVK_MEDIA_AUDIO, &provider->audioSources},
                              {&config->videoSource, RAVK_MEDIA_VIDEO, &provider->videoSources}};
    for (const Source &source : sources) {
        if (!ok || source.slot->deviceClass == 0) continue;
        *source.list = engine_source_list_create(1, &callback, source.media, source.slot->deviceClass & 0xF);
        ok = *source.list != nullptr && ravk_device_list_select(*source.list, &source.slot->deviceId) == 0;
    }

    if (ok && config->combinedProfile != 0) {
        ok = profile_insert(provider, ENGINE_PROFILE_SLOT_COMBINED);
    } else if (ok) {
        if (config->audioSource.deviceClass != 0) ok = profile_insert(provider, ENGINE_PROFILE_SLOT_AUDIO);
        if (ok && config->videoSource.deviceClass != 0) ok = profile_insert(provider, ENGINE_PROFILE_SLOT_VIDEO);
    }
    if (!ok) {
        core_log(CORE_LOG_ERROR, "provider", "the media provider could not be made");
        engine_media_provider_destroy(&provider);
    }
    return provider;
}

void engine_media_provider_destroy(EngineMediaProvider **pprovider)
{
    if (pprovider == nullptr || *pprovider == nullptr) return;
    EngineMediaProvider *provider = *pprovider;

    // A stop task still pending would run on a freed provider: cancel the
    // waiting ones and wait for a running one, without the lock it takes.
    std::vector<uint64_t> tasks;
    {
        CoreLockGuard guard(&provider->lock);
        tasks.swap(provider->stopTasks);
    }
    for (uint64_t task : tasks) core_executor_cancel_named(&provider->config.executor, task, 1);

    uint64_t handles[2];
    {
        CoreLockGuard guard(&provider->lock);
        std::memcpy(handles, provider->devicePipelines, sizeof(handles));
        std::memset(provider->devicePipelines, 0, sizeof(handles));
    }
    for (uint64_t &handle : handles) pipeline_free(&handle);
    engine_provider_eval_release(provider);
    engine_provider_stop_previews(provider);
    // The capture objects name the registries they build from: they go first.
    if (provider->profiles != nullptr) core_store_destroy(&provider->profiles);
    ravk_device_list_destroy(&provider->audioSources);
    ravk_device_list_destroy(&provider->videoSources);
    delete provider;
    *pprovider = nullptr;
}

EngineProfile *engine_profile_slot_or_first(CoreStore *profiles, const char *slotName)
{
    if (profiles == nullptr) return nullptr;
    const CoreName key = core_name_of(slotName);
    CoreStoreItem *item = core_store_lookup(profiles, key.key);
    if (item == nullptr) item = core_store_first(profiles);
    return reinterpret_cast<EngineProfile *>(item);
}

EngineProfile *engine_profile_audio_slot(EngineMediaProvider *provider)
{
    return provider != nullptr ? engine_profile_slot_or_first(provider->profiles, ENGINE_PROFILE_SLOT_AUDIO) : nullptr;
}

EngineProfile *engine_profile_video_slot(EngineMediaProvider *provider)
{
    return provider != nullptr ? engine_profile_slot_or_first(provider->profiles, ENGINE_PROFILE_SLOT_VIDEO) : nullptr;
}

uint32_t engine_provider_live_streams(EngineMediaProvider *provider)
{
    if (provider == nullptr || provider->profiles == nullptr) return 0;
    uint32_t live = 0;
    for (CoreStoreItem *item = core_store_next(provider->profiles, nullptr, 1); item != nullptr;
         item = core_store_next(provider->profiles, item, 1)) {
        CoreStore *streams = reinterpret_cast<EngineProfile *>(item)->streams;
        core_store_lock(streams);
        live += streams->live;
        core_store_unlock(streams);
    }
    return live;
}

CoreResult engine_profile_add_stream(EngineMediaProvider *provider, const CoreName *channel,
                                     const CoreName *codecName, const EngineStreamRecord *record)
{
    if (provider == nullptr || provider->profiles == nullptr || record == nullptr) return CORE_ERR;
    auto *profile = reinterpret_cast<EngineProfile *>(core_store_lookup(provider->profiles, record->slot.key));
    if (profile == nullptr) return CORE_ERR;
    EngineProviderStreamEntry entry;
    std::memset(&entry, 0, sizeof(entry));
    entry.record = *record;
    if (codecName != nullptr) entry.codecName = *codecName;
    if (channel != nullptr) entry.channel = *channel;
    entry.mediaFlags = engine_codec_selection_to_ravk(record->mediaFlags);
    entry.captureSourceParams[0] = provider->config.captureSourceParams[0];
    entry.captureSourceParams[1] = provider->config.captureSourceParams[1];
    CoreStoreItem *item = nullptr;
    const CoreResult inserted =
        core_store_insert(profile->streams, &record->streamName, &profile->header.key, &entry, &item, 0);
    core_store_unref(provider->profiles);
    return inserted == CORE_OK || inserted == CORE_EXISTS ? CORE_OK : CORE_ERR;
}

CoreResult engine_stream_tables_build(EngineMediaProvider *provider, const CoreName *channel, int kind)
{
    // The kind picks a row of the bitrate tables, which have two.
    if (kind != 0 && kind != 1) return CORE_ERR_INVALID;
    if (provider == nullptr || channel == nullptr) return CORE_ERR;
    // One p2p binding at a time: its streams must be gone before the next.
    if (kind == 0 && engine_provider_live_streams(provider) != 0) return CORE_ERR;

    EngineCapability *capability = engine_capability_current();
    if (capability == nullptr) return CORE_ERR;
    EngineStreamTable *offer = engine_capability_table_clone(capability, ENGINE_CAPABILITY_OFFER);
    EngineStreamTable *answer = engine_capability_table_clone(capability, ENGINE_CAPABILITY_ANSWER);
    if (offer == nullptr || answer == nullptr) {
        table_free(&offer);
        table_free(&answer);
        return CORE_ERR;
    }
    uint64_t answerCodecs = 0;
    for (uint64_t i = 0; i < answer->count; ++i) answerCodecs += is_plain(answer->records[i]) ? 0 : 1;
    {
        CoreLockGuard guard(&provider->lock);
        provider->bitrateRow = static_cast<uint32_t>(kind);
    }

    // The plain records by slot, in the order of the slot names' keys.
    struct Group {
        EngineProps props;
        uint32_t mask = 0;
        uint32_t count = 0;
    };
    std::map<std::array<uint8_t, CORE_NAME_KEY_SIZE>, Group> groups;
    for (uint64_t i = 0; i < offer->count; ++i) {
        const EngineStreamRecord &record = offer->records[i];
        if (!is_plain(record)) continue;
        std::array<uint8_t, CORE_NAME_KEY_SIZE> key;
        std::memcpy(key.data(), record.slot.key, key.size());
        auto found = groups.find(key);
        if (found == groups.end()) {
            found = groups.emplace(key, Group{}).first;
            engine_props_init(&found->second.props);
        }
        // A list that would overflow the merged one is left out of it.
        engine_props_append(&found->second.props, &record.props);
        found->second.mask |= engine_codec_selection_to_ravk(record.mediaFlags);
        found->second.count++;
    }

    CoreResult result = CORE_DONE;
    bool complete = true;
    for (const auto &[key, group] : groups) {
        auto *profile = reinterpret_cast<EngineProfile *>(core_store_lookup(provider->profiles, key.data()));
        if (profile == nullptr) {
            complete = false;
            break;
        }
        core_store_lock(provider->profiles);
        if (group.count >= 2) {
            profile->mediaMask = group.mask;
            profile->props = group.props;
        } else {
            profile->mediaMask = 0;
            engine_props_init(&profile->props);
        }
        core_store_unlock(provider->profiles);
        core_store_unref(provider->profiles);
    }

    for (uint64_t i = 0; complete && i < offer->count; ++i) {
        const EngineStreamRecord &record = offer->records[i];
        if (!is_plain(record)) continue;
        CoreName codecName;
        std::memset(&codecName, 0, sizeof(codecName));
        if (answerCodecs != 0)
            engine_stream_table_find_codec_name(offer, &record.streamName, &codecName);
        else
            engine_codec_stream_name(record.mediaFlags, stream_number(&record.streamName, i),
                                     ENGINE_CODEC_LIST_ENCODERS, &codecName);
        result = engine_profile_add_stream(provider, channel, &codecName, &record);
        if (result < 0) {
            result = CORE_ERR;
            break;
        }
    }
    table_free(&offer);
    table_free(&answer);
    return result;
}

CoreResult engine_provider_announce_streams(EngineMediaProvider *provider, const EngineMediaDesc *desc)
{
    post_send_streams(provider, desc, ENGINE_CMD_SEND_STREAM_ADD);
    return CORE_OK;
}

CoreResult engine_provider_withdraw_streams(EngineMediaProvider *provider, const EngineMediaDesc *desc)
{
    post_send_streams(provider, desc, ENGINE_CMD_SEND_STREAM_REMOVE);
    return CORE_OK;
}

CoreResult engine_provider_stop_previews(EngineMediaProvider *provider)
{
    if (provider == nullptr) return CORE_OK;
    uint64_t handles[2];
    {
        CoreLockGuard guard(&provider->lock);
        std::memcpy(handles, provider->previews, sizeof(handles));
        std::memset(provider->previews, 0, sizeof(handles));
    }
    const bool any = handles[0] != 0 || handles[1] != 0;
    for (uint64_t &handle : handles) pipeline_free(&handle);
    if (any) engine_post_event(ENGINE_EVT_PREVIEW_STOPPED, nullptr, 0);
    return CORE_OK;
}

void engine_provider_eval_release(EngineMediaProvider *provider)
{
    if (provider == nullptr) return;
    uint64_t handles[2];
    RavkDeviceList *lists[2];
    {
        CoreLockGuard guard(&provider->lock);
        handles[0] = provider->evalAudioCapture;
        handles[1] = provider->evalVideoCapture;
        lists[0] = provider->evalAudioSources;
        lists[1] = provider->evalVideoSources;
        provider->evalAudioCapture = provider->evalVideoCapture = 0;
        provider->evalAudioSources = provider->evalVideoSources = nullptr;
    }
    for (uint64_t &handle : handles) pipeline_free(&handle);
    for (RavkDeviceList *&list : lists) ravk_device_list_destroy(&list);
}

void engine_provider_on_device_change(RavkDeviceList *list, uint32_t added, const CoreName *id,
                                      const RavkDeviceText *value, void *)
{
    if (engine_node_running() == nullptr) return;
    EngineEnvironmentChange change;
    std::memset(&change, 0, sizeof(change));
    const uint32_t media = list != nullptr ? list->media : 0;
    change.media = (media & RAVK_MEDIA_AUDIO) ? 0 : (media & RAVK_MEDIA_VIDEO) ? 1 : -1;
    change.removed = added ? 0 : 1;
    if (id != nullptr) change.deviceId = *id;
    if (value != nullptr) {
        change.valueType = value->tag;
        change.length = std::min<uint64_t>(value->length, ENGINE_DEVICE_VALUE_SIZE);
        std::memcpy(change.value, value->text, change.length);
    }
    engine_post_event(ENGINE_EVT_ENVIRONMENT_CHANGED, &change, sizeof(change));
}
