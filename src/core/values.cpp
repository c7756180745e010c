#include "core/values.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/log.h"
#include "core/names.h"
#include "core/store.h"

namespace {

struct ValueEntry {
    CoreStoreItem header;
    uint32_t type;
    void *value;
    uint64_t size;
};

struct ValueSource {
    uint32_t type;
    const void *data;
    uint64_t size;
};

// The value is copied here, under the store lock and before the insert
// links the entry for readers: an entry is never visible with a zeroed or
// half-copied value.
int core_valuelist_item_init_cb(CoreStore *, CoreStoreItem *item, void *arg, void **)
{
    auto *entry = reinterpret_cast<ValueEntry *>(item);
    const auto *source = static_cast<const ValueSource *>(arg);
    entry->type = source->type;
    entry->size = source->size;
    if (source->size == 0) return 0;
    entry->value = calloc(1, source->size);
    if (entry->value == nullptr) return -1;
    memcpy(entry->value, source->data, source->size);
    return 0;
}

void core_valuelist_item_fini_cb(CoreStore *, CoreStoreItem *item, void **)
{
    auto *entry = reinterpret_cast<ValueEntry *>(item);
    free(entry->value);
    entry->value = nullptr;
}

void make_key(CoreName *key, const char *name, uint32_t index)
{
    if (index == CORE_VALUE_NO_INDEX)
        core_name_format(key, "%s", name);
    else
        core_name_format(key, "%s%08X", name, index);
}

// The live entry at `index` in key order, or NULL. Store lock held, which
// also keeps the entry from being reclaimed while the caller uses it.
ValueEntry *entry_at(CoreStore *store, int64_t index)
{
    if (index < 0) return nullptr;
    int64_t position = 0;
    for (CoreStoreItem *item = core_store_next(store, nullptr, 0); item != nullptr;
         item = core_store_next(store, item, 0)) {
        if (position++ == index) return reinterpret_cast<ValueEntry *>(item);
    }
    return nullptr;
}

// ---- the process's lists ----------------------------------------------------
// Made and destroyed only by system start and stop, while no other engine
// code runs; the atomics keep readers on other threads from reading a torn
// pointer should one run early.

std::atomic<CoreValueList *> g_values[2];

enum CodecList { kAudioEncoders = 0, kAudioDecoders, kVideoEncoders, kVideoDecoders, kCodecListCount };
std::atomic<CoreValueList *> g_codecs[kCodecListCount];

const char *const kCodecPrefix[kCodecListCount] = {"audio.enc.", "audio.dec.", "video.enc.", "video.dec."};

// The list of `direction` (1 encoders, 2 decoders) of the audio or video
// lists, or -1.
int codec_list_of(bool video, uint32_t direction)
{
    if (direction != RAVK_CODEC_ENCODER && direction != RAVK_CODEC_DECODER) return -1;
    int list = direction == RAVK_CODEC_ENCODER ? kAudioEncoders : kAudioDecoders;
    return video ? list + 2 : list;
}

int codec_add(bool video, const void *desc, uint64_t size, int listed)
{
    if (desc == nullptr) return -1;
    uint32_t direction;
    memcpy(&direction, desc, sizeof(direction));
    int which = codec_list_of(video, direction);
    if (which < 0) return -1;
    CoreValueList *list = g_codecs[which].load();
    if (list == nullptr) return -1;
    // Count and put in one locked step: two adders must not draw the same
    // number.
    core_store_lock(list->entries);
    uint32_t number = list->entries->live;
    if (!listed) number += 0x80000000u;
    int result = core_valuelist_put(list, kCodecPrefix[which], number, CORE_VALUE_TYPE_CODEC, desc, size);
    core_store_unlock(list->entries);
    return result;
}

int codec_get(bool video, int64_t index, uint32_t direction, void *out, uint64_t size)
{
    int which = codec_list_of(video, direction);
    if (which < 0 || out == nullptr) return -1;
    CoreValueList *list = g_codecs[which].load();
    if (list == nullptr) return -1;
    CoreLockGuard guard(&list->entries->lock);
    ValueEntry *entry = entry_at(list->entries, index);
    if (entry == nullptr || entry->size != size) return -1;
    memcpy(out, entry->value, size);
    return 0;
}

uint32_t codec_entry_count(bool video, uint32_t direction)
{
    int which = codec_list_of(video, direction);
    if (which < 0) return 0;
    CoreValueList *list = g_codecs[which].load();
    if (list == nullptr) return 0;
    CoreLockGuard guard(&list->entries->lock);
    return list->entries->live;
}

int codec_remove(bool video, int64_t index, uint32_t direction)
{
    int which = codec_list_of(video, direction);
    if (which < 0) return -1;
    CoreValueList *list = g_codecs[which].load();
    if (list == nullptr) return -1;
    CoreLockGuard guard(&list->entries->lock);
    ValueEntry *entry = entry_at(list->entries, index);
    if (entry == nullptr) return -1;
    // The removal re-keys the entry, so its number is free for the next add
    // at once, though readers may still hold the entry itself.
    return core_store_remove(list->entries, entry->header.key.key) == CORE_OK ? 0 : -1;
}

}  // namespace

CoreValueList *core_valuelist_create(const int *kind)
{
    if (kind == nullptr || (*kind != CORE_VALUELIST_INSERT && *kind != CORE_VALUELIST_REPLACE)) return nullptr;
    auto *list = new (std::nothrow) CoreValueList{};
    if (list == nullptr) return nullptr;
    list->kind = *kind;
    CoreStoreConfig config = {};
    config.item_size = sizeof(ValueEntry);
    config.key_kind = CORE_KEY_EXPLICIT;
    config.create = core_valuelist_item_init_cb;
    config.destroy = core_valuelist_item_fini_cb;
    core_name_format(&config.executor, "%s", CORE_DEFAULT_EXECUTOR);
    config.flags = CORE_STORE_TREE;
    list->entries = core_store_create(&config);
    if (list->entries == nullptr) {
        delete list;
        return nullptr;
    }
    return list;
}

void core_valuelist_destroy(CoreValueList **list)
{
    if (list == nullptr || *list == nullptr) return;
    core_store_destroy(&(*list)->entries);
    delete *list;
    *list = nullptr;
}

int core_valuelist_put(CoreValueList *list, const char *name, uint32_t index, uint32_t type, const void *data,
                       uint64_t size)
{
    if (list == nullptr || name == nullptr || (data == nullptr && size != 0)) return -1;
    CoreName key;
    make_key(&key, name, index);
    ValueSource source = {type, data, size};
    CoreStore *store = list->entries;
    // One locked step: a reader between the removal and the insertion
    // would find no entry at all.
    CoreLockGuard guard(&store->lock);
    if (list->kind == CORE_VALUELIST_REPLACE) core_store_remove(store, key.key);
    return core_store_insert(store, &key, nullptr, &source, nullptr, 0) == CORE_OK ? 0 : -1;
}

int core_valuelist_set_at(CoreValueList *list, int64_t index, const void *data, uint64_t size)
{
    if (list == nullptr || (data == nullptr && size != 0)) return -1;
    // Readers copy under this lock too, so none sees a value half written.
    CoreLockGuard guard(&list->entries->lock);
    ValueEntry *entry = entry_at(list->entries, index);
    if (entry == nullptr) return -1;
    if (entry->size != size) return 1;
    if (size != 0) memcpy(entry->value, data, size);
    return 0;
}

int core_valuelist_get(CoreValueList *list, const char *name, uint32_t index, uint32_t *type, void *out,
                       uint64_t capacity, uint64_t *size)
{
    if (list == nullptr || name == nullptr) return -1;
    CoreName key;
    make_key(&key, name, index);
    CoreLockGuard guard(&list->entries->lock);
    CoreStoreItem *item = core_store_find(list->entries, key.key);
    if (item == nullptr || (item->state & CORE_ITEM_DELETED)) return -1;
    auto *entry = reinterpret_cast<ValueEntry *>(item);
    if (type != nullptr) *type = entry->type;
    if (size != nullptr) *size = entry->size;
    if (entry->size > capacity || (out == nullptr && entry->size != 0)) return 1;
    if (entry->size != 0) memcpy(out, entry->value, entry->size);
    return 0;
}

CoreResult core_process_valuelists_create(void)
{
    static const int kKinds[2] = {CORE_VALUELIST_INSERT, CORE_VALUELIST_REPLACE};
    for (int i = 0; i < 2; ++i) {
        if (g_values[i].load() != nullptr) return CORE_FAIL;
        CoreValueList *list = core_valuelist_create(&kKinds[i]);
        if (list == nullptr) return CORE_FAIL;
        g_values[i].store(list);
    }
    return CORE_OK;
}

void core_process_valuelists_destroy(void)
{
    for (int i = 1; i >= 0; --i) {
        CoreValueList *list = g_values[i].exchange(nullptr);
        core_valuelist_destroy(&list);
    }
}

CoreValueList *core_process_valuelist(int number)
{
    if (number < 0 || number > 1) return nullptr;
    return g_values[number].load();
}

CoreResult core_codec_lists_create(void)
{
    for (auto &slot : g_codecs)
        if (slot.load() != nullptr) return CORE_FAIL;
    const int kind = CORE_VALUELIST_INSERT;
    for (auto &slot : g_codecs) {
        CoreValueList *list = core_valuelist_create(&kind);
        if (list == nullptr) {
            core_log(CORE_LOG_ERROR, "values", "cannot make the codec lists");
            core_codec_lists_destroy();
            return CORE_FAIL;
        }
        slot.store(list);
    }
    return CORE_OK;
}

void core_codec_lists_destroy(void)
{
    for (auto &slot : g_codecs) {
        CoreValueList *list = slot.exchange(nullptr);
        core_valuelist_destroy(&list);
    }
}

int core_codec_add_audio(const CoreAudioCodecDesc *desc, int listed)
{
    return codec_add(false, desc, sizeof(*desc), listed);
}

int core_codec_add_video(const CoreVideoCodecDesc *desc, int listed)
{
    return codec_add(true, desc, sizeof(*desc), listed);
}

uint32_t core_codec_count_audio(uint32_t direction)
{
    int which = codec_list_of(false, direction);
    if (which < 0) return 0;
    CoreValueList *list = g_codecs[which].load();
    if (list == nullptr) return 0;
    CoreLockGuard guard(&list->entries->lock);
    uint32_t count = 0;
    for (CoreStoreItem *item = core_store_next(list->entries, nullptr, 0); item != nullptr;
         item = core_store_next(list->entries, item, 0)) {
        auto *entry = reinterpret_cast<ValueEntry *>(item);
        if (entry->size != sizeof(CoreAudioCodecDesc)) continue;
        uint32_t acceleration;
        memcpy(&acceleration, static_cast<uint8_t *>(entry->value) + offsetof(CoreAudioCodecDesc, acceleration),
               sizeof(acceleration));
        if (acceleration != RAVK_ACCEL_NONE) count++;
    }
    return count;
}

int core_codec_get_audio(int64_t index, uint32_t direction, CoreAudioCodecDesc *out)
{
    return codec_get(false, index, direction, out, sizeof(*out));
}

int core_codec_get_video(int64_t index, uint32_t direction, CoreVideoCodecDesc *out)
{
    return codec_get(true, index, direction, out, sizeof(*out));
}

static int codec_set(bool video, int64_t index, uint32_t direction, const void *desc, uint64_t size)
{
    int which = codec_list_of(video, direction);
    if (which < 0 || desc == nullptr) return -1;
    CoreValueList *list = g_codecs[which].load();
    if (list == nullptr) return -1;
    return core_valuelist_set_at(list, index, desc, size) == 0 ? 0 : -1;
}

int core_codec_set_audio(int64_t index, uint32_t direction, const CoreAudioCodecDesc *desc)
{
    return codec_set(false, index, direction, desc, sizeof(*desc));
}

int core_codec_set_video(int64_t index, uint32_t direction, const CoreVideoCodecDesc *desc)
{
    return codec_set(true, index, direction, desc, sizeof(*desc));
}

uint32_t core_codec_entry_count_audio(uint32_t direction)
{
    return codec_entry_count(false, direction);
}

uint32_t core_codec_entry_count_video(uint32_t direction)
{
    return codec_entry_count(true, direction);
}

int core_codec_remove_audio(int64_t index, uint32_t direction)
{
    return codec_remove(false, index, direction);
}

int core_codec_remove_video(int64_t index, uint32_t direction)
{
    return codec_remove(true, index, direction);
}
