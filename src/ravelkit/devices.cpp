#include "ravelkit/devices.h"

#include <gst/gst.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "core/log.h"
#include "core/notify.h"
#include "engine/node.h"
#include "ravelkit/property.h"
#include "ravelkit/source_elements.h"

namespace {

CoreHandleTable *devices_table() { return core_handle_tables[CORE_HANDLES_DEVICES]; }

bool same_key(const CoreName *a, const CoreName *b) { return core_compare_key32(a->key, b->key) == 0; }

bool is_fixed(const CoreName *id, const char *text) { return core_name_cmp_str(id->key, text) == 0; }

// A CoreBuffer view of a record's text, as the descriptors take names.
CoreBuffer text_buffer(const RavkDeviceText *text)
{
    CoreBuffer b{};
    b.tag = text->tag;
    b.capacity = RAVK_DEVICE_TEXT_SIZE;
    b.length = std::min<uint64_t>(text->length, RAVK_DEVICE_TEXT_SIZE);
    b.data = reinterpret_cast<uint8_t *>(const_cast<char *>(text->text));
    return b;
}

// ---- the handle array; every function here takes the list's lock ----

bool array_reserve(RavkDeviceList *list, uint64_t count)
{
    if (count <= list->capacity) return true;
    uint64_t next = list->capacity ? list->capacity : 8;
    while (next < count) next *= 2;
    void *p = realloc(list->devices, next * sizeof(uint64_t));
    if (p == nullptr) return false;
    list->devices = static_cast<uint64_t *>(p);
    list->capacity = next;
    return true;
}

// The new count, or 0 when memory runs out.
uint64_t array_insert(RavkDeviceList *list, uint64_t handle, bool front)
{
    CoreLockGuard guard(&list->lock);
    if (!array_reserve(list, list->count + 1)) return 0;
    if (front) {
        memmove(list->devices + 1, list->devices, list->count * sizeof(uint64_t));
        list->devices[0] = handle;
    } else {
        list->devices[list->count] = handle;
    }
    return ++list->count;
}

// Deletes the entry of that handle when it is still listed; true when this
// call took it out (its reference is then the caller's to release).
bool array_take(RavkDeviceList *list, uint64_t handle)
{
    CoreLockGuard guard(&list->lock);
    for (uint64_t i = 0; i < list->count; i++) {
        if (list->devices[i] == handle) {
            memmove(list->devices + i, list->devices + i + 1, (list->count - i - 1) * sizeof(uint64_t));
            list->count--;
            return true;
        }
    }
    return false;
}

std::vector<uint64_t> array_snapshot(RavkDeviceList *list)
{
    CoreLockGuard guard(&list->lock);
    return std::vector<uint64_t>(list->devices, list->devices + list->count);
}

// ---- nodes ----

// A new node in the devices table with desc[0] from `build`; its creator's
// reference is the caller's. 0 when the builder refuses the record.
template <class Build>
uint64_t node_create(Build build)
{
    void *object = nullptr;
    uint64_t handle = core_handle_create(devices_table(), sizeof(RavkDeviceNode), ravk_device_node_free, &object);
    if (handle == 0) return 0;
    auto *node = static_cast<RavkDeviceNode *>(object);
    RavkSourceDescriptor *desc = build(&node->ops);
    if (desc == nullptr) {
        core_handle_release(devices_table(), handle);
        return 0;
    }
    node->desc[0].store(desc, std::memory_order_release);
    return handle;
}

bool node_id(uint64_t handle, CoreName *out)
{
    auto *node = static_cast<RavkDeviceNode *>(core_handle_acquire(devices_table(), handle));
    if (node == nullptr) return false;
    int result = node->ops.get_id ? node->ops.get_id(ravk_device_node_desc(node, 0), out) : -1;
    core_handle_release(devices_table(), handle);
    return result == 0;
}

// Sort key: loopback captures first, then the default endpoint; a node that
// cannot be read counts as neither.
int node_rank(uint64_t handle)
{
    auto *node = static_cast<RavkDeviceNode *>(core_handle_acquire(devices_table(), handle));
    if (node == nullptr) return 0;
    RavkSourceDescriptor *d = ravk_device_node_desc(node, -1);
    int32_t def = 0, loop = 0;
    if (node->ops.is_default == nullptr || node->ops.is_default(d, &def) != 0) def = 0;
    if (node->ops.is_loopback == nullptr || node->ops.is_loopback(d, &loop) != 0) loop = 0;
    core_handle_release(devices_table(), handle);
    return 2 * (loop ? 1 : 0) + (def ? 1 : 0);
}

void run_callback(RavkDeviceList *list, uint32_t added, const CoreName *id, const RavkDeviceText *name)
{
    if (list->callback != nullptr) list->callback(list, added, id, name, list->user);
}

void set_emptied(RavkDeviceList *list)
{
    CoreLockGuard guard(&list->lock);
    list->emptied.store(list->count == 0 ? -1 : 0);
}

int add_virtual(RavkDeviceList *list, int new_node, int slot, const RavkDeviceRecord *record, bool video)
{
    if (list == nullptr || record == nullptr || !(list->device_class & RAVK_CLASS_VIRTUAL)) return -1;
    // A node is listed once: a second format goes into slot 1 of the listed
    // node, never over a descriptor that readers may hold.
    if (new_node ? slot != 0 : slot != 1) return -1;

    CoreHandleTable *table = devices_table();
    uint64_t handle = 0;
    RavkDeviceNode *node = nullptr;
    if (new_node) {
        void *object = nullptr;
        handle = core_handle_create(table, sizeof(RavkDeviceNode), ravk_device_node_free, &object);
        node = static_cast<RavkDeviceNode *>(object);
    } else {
        handle = ravk_device_list_find(list, &record->id, 1);
        if (handle != 0) node = static_cast<RavkDeviceNode *>(core_handle_acquire(table, handle));
    }
    if (node == nullptr) return -1;
    if (node->desc[slot].load(std::memory_order_acquire) != nullptr) {
        core_handle_release(table, handle);
        return -1;
    }

    // A listed node's table is read by other threads: fill a copy.
    RavkSourceOps ops;
    const CoreBuffer name = text_buffer(&record->name);
    RavkSourceDescriptor *desc;
    int result;
    if (video) {
        desc = ravk_source_desc_new(&ops, &record->id, &name, ravk_source_app_video_node_type(record->backend),
                                    RAVK_CLASS_VIRTUAL, ravk_codec_id_from_video_fourcc(record->format_code),
                                    nullptr, 0, 0, 0, record->backend);
        result = desc ? ravk_source_setup_app_video(desc, &ops, record) : -1;
    } else {
        desc = ravk_source_desc_new(&ops, &record->id, &name, 2, RAVK_CLASS_VIRTUAL,
                                    ravk_codec_id_from_audio_fourcc(record->format_code), nullptr, 0, 0,
                                    record->backend, 0);
        result = desc ? ravk_source_setup_app_audio(desc, &ops, record) : -1;
    }
    if (result != 0) {
        ravk_source_desc_free(&desc);
        core_handle_release(table, handle);
        return -1;
    }
    if (!new_node) {
        node->desc[slot].store(desc, std::memory_order_release);
        core_handle_release(table, handle);
        return 0;
    }
    node->ops = ops;
    node->desc[0].store(desc, std::memory_order_release);
    if (array_insert(list, handle, true) == 0) {
        core_handle_release(table, handle);
        return -1;
    }
    return 0;
}

void on_native_added(RavkDeviceList *list, uint32_t code, const RavkDeviceRecord *record)
{
    uint64_t handle = node_create([&](RavkSourceOps *ops) -> RavkSourceDescriptor * {
        switch (code) {
        case RAVK_DEVICE_AUDIO_ADDED: return ravk_source_new_audio_capture(ops, record);
        case RAVK_DEVICE_CAMERA_ADDED: return ravk_source_new_camera(ops, record);
        default: return ravk_source_new_screen(ops, record);
        }
    });
    if (handle == 0) return;
    if (ravk_device_list_append(list, handle) == 0) {
        core_handle_release(devices_table(), handle);
        return;
    }
    if (code == RAVK_DEVICE_AUDIO_ADDED) ravk_device_list_sort(list);
    RavkDeviceText name;
    ravk_device_text_set(&name, record->name.tag, record->name.text, record->name.length);
    run_callback(list, 1, &record->id, &name);
}

void on_native_removed(RavkDeviceList *list, uint32_t code, const RavkDeviceRecord *record)
{
    uint8_t text[RAVK_DEVICE_TEXT_SIZE];
    CoreBuffer buffer{};
    buffer.capacity = sizeof(text);
    buffer.data = text;
    RavkDeviceText name;
    if (ravk_device_list_remove(list, &record->id, &buffer) == 0)
        ravk_device_text_set(&name, buffer.tag, reinterpret_cast<const char *>(text), buffer.length);
    else
        ravk_device_text_set(&name, 0, "", 0);
    if (code == RAVK_DEVICE_AUDIO_REMOVED) ravk_device_list_sort(list);
    set_emptied(list);
    run_callback(list, 0, &record->id, &name);
}

}  // namespace

uint64_t ravk_device_list_append(RavkDeviceList *list, uint64_t handle) { return array_insert(list, handle, false); }

// ---- records and events ----

void ravk_device_record_init(RavkDeviceRecord *record)
{
    memset(record, 0, sizeof(*record));
    record->number = -1;
    record->format_code = core_fourcc("NONE");
    record->tail.video.index = -1;
    record->tail.video.start_x = record->tail.video.end_x = RAVK_RECT_UNSET;
    record->tail.video.start_y = record->tail.video.end_y = RAVK_RECT_UNSET;
    record->tail.video.scale = 1.0;
}

void ravk_device_text_set(RavkDeviceText *out, uint32_t tag, const char *text, uint64_t length)
{
    memset(out, 0, sizeof(*out));
    out->tag = tag;
    if (text == nullptr) return;
    out->length = std::min<uint64_t>(length, RAVK_DEVICE_TEXT_SIZE);
    memcpy(out->text, text, out->length);
}

void ravk_device_event_post(uint32_t code, const RavkDeviceRecord *record, uint64_t length)
{
    if (engine_node_running() == nullptr) return;
    const CoreName channel = core_name_of(RAVK_DEVICE_CHANNEL);
    core_notify(&channel, code, record, length, nullptr, nullptr);
}

// ---- nodes ----

RavkSourceDescriptor *ravk_device_node_desc(RavkDeviceNode *node, int index)
{
    if (node == nullptr) return nullptr;
    if (index == 0 || index == 1) return node->desc[index].load(std::memory_order_acquire);
    if (index != -1) return nullptr;
    RavkSourceDescriptor *preferred = node->desc[1].load(std::memory_order_acquire);
    return preferred ? preferred : node->desc[0].load(std::memory_order_acquire);
}

void ravk_device_node_free(CoreHandleTable *, void *object, uint64_t)
{
    auto *node = static_cast<RavkDeviceNode *>(object);
    for (auto &slot : node->desc) {
        RavkSourceDescriptor *d = slot.exchange(nullptr);
        ravk_source_desc_free(&d);
    }
}

// ---- lists ----

void ravk_device_list_sort(RavkDeviceList *list)
{
    // Ranks are read without the lock; the reorder is one step under it, so
    // an entry removed meanwhile stays removed and one added meanwhile stays.
    std::vector<uint64_t> handles = array_snapshot(list);
    std::vector<std::pair<uint64_t, int>> ranks;
    ranks.reserve(handles.size());
    for (uint64_t h : handles) ranks.emplace_back(h, node_rank(h));
    auto rank_of = [&](uint64_t h) {
        for (const auto &r : ranks)
            if (r.first == h) return r.second;
        return 0;
    };
    CoreLockGuard guard(&list->lock);
    std::stable_sort(list->devices, list->devices + list->count,
                     [&](uint64_t a, uint64_t b) { return rank_of(a) > rank_of(b); });
}

int ravk_device_compare(uint64_t a, uint64_t b)
{
    if (a == b) return 0;
    int ra = node_rank(a), rb = node_rank(b);
    return 2 * ((rb >> 1) - (ra >> 1)) + ((rb & 1) - (ra & 1));
}

CoreResult ravk_device_list_on_event(uint32_t code, const void *in, uint64_t in_len, void *, uint64_t *, void **user)
{
    auto *list = static_cast<RavkDeviceList *>(user[0]);
    const auto *record = static_cast<const RavkDeviceRecord *>(in);
    if (list == nullptr || record == nullptr) return CORE_NOT_MINE;
    // A short record is never read past its end.
    uint64_t need;
    uint32_t media, device_class;
    switch (code) {
    case RAVK_DEVICE_AUDIO_ADDED:
    case RAVK_DEVICE_AUDIO_REMOVED:
        need = RAVK_DEVICE_RECORD_AUDIO_SIZE;
        media = RAVK_MEDIA_AUDIO;
        device_class = RAVK_CLASS_NATIVE;
        break;
    case RAVK_DEVICE_CAMERA_ADDED:
    case RAVK_DEVICE_CAMERA_REMOVED:
        need = RAVK_DEVICE_RECORD_CAMERA_SIZE;
        media = RAVK_MEDIA_VIDEO;
        device_class = RAVK_CLASS_NATIVE;
        break;
    case RAVK_DEVICE_SCREEN_ADDED:
    case RAVK_DEVICE_SCREEN_REMOVED:
        need = RAVK_DEVICE_RECORD_SCREEN_SIZE;
        media = RAVK_MEDIA_VIDEO;
        device_class = RAVK_CLASS_SCREEN;
        break;
    default: return CORE_NOT_MINE;
    }
    if (in_len < need || !(list->media & media) || !(list->device_class & device_class)) return CORE_NOT_MINE;
    // The full record is copied so that every field the builders read exists.
    RavkDeviceRecord copy;
    ravk_device_record_init(&copy);
    memcpy(&copy, record, need);
    if (code & 1)
        on_native_removed(list, code, &copy);
    else
        on_native_added(list, code, &copy);
    return CORE_NOT_MINE;
}

RavkDeviceList *ravk_device_list_create(const RavkDeviceListConfig *config)
{
    if (config == nullptr) return nullptr;
    auto *list = new (std::nothrow) RavkDeviceList();
    if (list == nullptr) return nullptr;
    list->populate = config->populate;
    list->direction = config->direction;
    list->media = config->media;
    list->device_class = config->device_class;
    list->callback = config->callback;
    list->user = config->user;
    list->user2 = config->user2;
    list->emptied.store(-1);
    list->selected_index.store(-1);
    list->selected = core_name_of(NONE_ID);
    if (!array_reserve(list, 8)) {
        ravk_device_list_destroy(&list);
        return nullptr;
    }
    if (list->device_class & (RAVK_CLASS_NATIVE | RAVK_CLASS_SCREEN)) {
        const CoreName channel = core_name_of(RAVK_DEVICE_CHANNEL);
        CoreNotifySubscription subscription{ravk_device_list_on_event, {list, nullptr}};
        list->subscription = core_notify_subscribe(&channel, &subscription);
        if (list->subscription == 0) {
            ravk_device_list_destroy(&list);
            return nullptr;
        }
    }
    if (ravk_device_list_refresh(list) != 0) {
        ravk_device_list_destroy(&list);
        return nullptr;
    }
    return list;
}

void ravk_device_list_destroy(RavkDeviceList **plist)
{
    if (plist == nullptr || *plist == nullptr) return;
    RavkDeviceList *list = *plist;
    if (list->subscription != 0) {
        const CoreName channel = core_name_of(RAVK_DEVICE_CHANNEL);
        core_notify_unsubscribe(&channel, list->subscription);
    }
    for (uint64_t i = 0; i < list->count; i++) core_handle_release(devices_table(), list->devices[i]);
    free(list->devices);
    delete list;
    *plist = nullptr;
}

void ravk_device_list_revalidate(RavkDeviceList *list)
{
    std::vector<uint64_t> handles = array_snapshot(list);
    std::vector<uint64_t> keep, drop;
    for (uint64_t h : handles) {
        auto *node = static_cast<RavkDeviceNode *>(core_handle_acquire(devices_table(), h));
        int32_t is_virtual = 0;
        if (node != nullptr) {
            if (node->ops.has_class == nullptr ||
                node->ops.has_class(ravk_device_node_desc(node, 0), RAVK_CLASS_VIRTUAL, &is_virtual) != 0)
                is_virtual = 0;
            core_handle_release(devices_table(), h);
        }
        (is_virtual ? keep : drop).push_back(h);
    }
    // One step under the lock: the kept virtual devices first, in reverse
    // order, then whatever arrived since the snapshot; the dropped entries
    // that are still listed leave, and their references are ours.
    std::vector<uint64_t> released;
    {
        CoreLockGuard guard(&list->lock);
        std::vector<uint64_t> next;
        for (auto it = keep.rbegin(); it != keep.rend(); ++it)
            if (std::find(list->devices, list->devices + list->count, *it) != list->devices + list->count)
                next.push_back(*it);
        for (uint64_t i = 0; i < list->count; i++) {
            uint64_t h = list->devices[i];
            if (std::find(drop.begin(), drop.end(), h) != drop.end())
                released.push_back(h);
            else if (std::find(keep.begin(), keep.end(), h) == keep.end())
                next.push_back(h);
        }
        std::copy(next.begin(), next.end(), list->devices);
        list->count = next.size();
    }
    for (uint64_t h : released) {
        core_handle_release(devices_table(), h);
        core_handle_wait_freed(devices_table(), h);
    }
}

int ravk_device_list_refresh(RavkDeviceList *list)
{
    if (list == nullptr) return -1;
    if (list->populate == 0) return 0;
    ravk_device_list_revalidate(list);
    if ((list->media & RAVK_MEDIA_AUDIO) && (list->device_class & RAVK_CLASS_TEST)) {
        static const struct {
            double frequency;
            uint32_t rate;
        } tones[] = {{440, 48000}, {1000, 48000}, {440, 44100}, {1000, 44100}};
        for (const auto &t : tones) {
            RavkAudioFormat format{};
            format.rate = t.rate;
            format.channels = 2;
            format.bits_per_sample = 16;
            format.byte_order = RAVK_AUDIO_BYTE_ORDER_LE;
            format.sample_type = 'S';
            if (ravk_device_list_add_audio_test(list, 1, nullptr, &format, 0, t.frequency) != 0) return -1;
        }
    }
    if ((list->media & RAVK_MEDIA_VIDEO) && (list->device_class & RAVK_CLASS_TEST)) {
        static const struct {
            uint32_t width, height;
            char fourcc[5];
            int32_t pattern;
        } tests[] = {
            {4096, 4096, "I420", 0}, {4096, 4096, "I420", 18}, {4096, 4096, "UYVY", 0},
            {4096, 4096, "YUY2", 0}, {4096, 4096, "YUY2", 18}, {4096, 4096, "NV12", 1},
            {4096, 2160, "I420", 0}, {3840, 3840, "I420", 0}, {3840, 2160, "I420", 0},
        };
        for (const auto &t : tests) {
            CoreVideoMode mode{t.width, t.height, 60, 1};
            if (ravk_device_list_add_video_test(list, 1, nullptr, &mode, core_fourcc(t.fourcc), t.pattern) != 0)
                return -1;
        }
    }
    return 0;
}

uint64_t ravk_device_list_find(RavkDeviceList *list, const CoreName *id, int strict)
{
    if (list == nullptr || id == nullptr || is_fixed(id, NONE_ID)) return 0;
    // A snapshot, not indices: a sort on another thread may reorder the
    // array while we look, and must not make us miss an entry.
    const std::vector<uint64_t> handles = array_snapshot(list);
    if (!strict && is_fixed(id, DEFAULT_DEVICE_ID)) return handles.empty() ? 0 : handles[0];
    for (uint64_t handle : handles) {
        CoreName found;
        if (node_id(handle, &found) && same_key(&found, id)) return handle;
    }
    return 0;
}

int ravk_device_list_select(RavkDeviceList *list, const CoreName *id)
{
    if (list == nullptr || id == nullptr) return -1;
    CoreLockGuard guard(&list->lock);
    if (list->devices == nullptr) return -1;
    list->selected = *id;
    return 0;
}

int ravk_device_list_get_selected(RavkDeviceList *list, CoreName *out)
{
    if (out == nullptr) return -1;
    if (list == nullptr) {
        memset(out, 0, sizeof(*out));
        return -1;
    }
    CoreName selected;
    {
        CoreLockGuard guard(&list->lock);
        if (list->devices == nullptr) {
            memset(out, 0, sizeof(*out));
            return -1;
        }
        selected = list->selected;
    }
    if (is_fixed(&selected, NONE_ID) || ravk_device_list_find(list, &selected, 0) != 0) {
        *out = selected;
        return 0;
    }
    const CoreName fallback = core_name_of(DEFAULT_DEVICE_ID);
    {
        // Only the selection we read falls back: a select made meanwhile wins.
        CoreLockGuard guard(&list->lock);
        if (same_key(&list->selected, &selected)) list->selected = fallback;
    }
    *out = fallback;
    return 0;
}

int ravk_device_list_remove(RavkDeviceList *list, const CoreName *id, CoreBuffer *name)
{
    if (list == nullptr || id == nullptr) return -1;
    CoreHandleTable *table = devices_table();
    for (uint64_t handle : array_snapshot(list)) {
        auto *node = static_cast<RavkDeviceNode *>(core_handle_acquire(table, handle));
        if (node == nullptr) continue;
        RavkSourceDescriptor *d = ravk_device_node_desc(node, 0);
        CoreName found;
        if (node->ops.get_id == nullptr || node->ops.get_id(d, &found) != 0 || !same_key(&found, id)) {
            core_handle_release(table, handle);
            continue;
        }
        if (name != nullptr) node->ops.get_name(d, name);
        bool taken = array_take(list, handle);
        core_handle_release(table, handle);
        if (taken) core_handle_release(table, handle);
        return 0;
    }
    return -1;
}

int ravk_device_list_add_virtual_video(RavkDeviceList *list, int new_node, int slot, const RavkDeviceRecord *record)
{
    return add_virtual(list, new_node, slot, record, true);
}

int ravk_device_list_add_virtual_audio(RavkDeviceList *list, int new_node, int slot, const RavkDeviceRecord *record)
{
    return add_virtual(list, new_node, slot, record, false);
}

int ravk_device_list_add_audio_test(RavkDeviceList *list, int32_t backend, const CoreName *id,
                                    const RavkAudioFormat *format, int32_t wave, double frequency)
{
    if (list == nullptr || format == nullptr) return -1;
    const char *wave_text = wave == 0 ? "Sine" : wave == 1 ? "Square" : "Unknown";
    char text[RAVK_DEVICE_TEXT_SIZE];
    int n = snprintf(text, sizeof(text), "Audio Test %s / %.0f Hz / %s / %u", wave_text, frequency,
                     format->channels == 1 ? "Mono" : "Stereo", format->rate);
    RavkDeviceRecord record;
    ravk_device_record_init(&record);
    memset(&record.tail, 0, sizeof(record.tail));
    if (id != nullptr) record.id = *id;
    ravk_device_text_set(&record.name, 0, text, n > 0 ? uint64_t(n) : 0);
    record.backend = backend;
    record.format_code = core_fourcc("lpcm");
    record.tail.audio.format = *format;
    record.tail.audio.index = wave;
    record.tail.audio.frequency = frequency;
    uint64_t handle = node_create([&](RavkSourceOps *ops) { return ravk_source_new_audio_test(ops, &record); });
    if (handle == 0) return -1;
    if (ravk_device_list_append(list, handle) == 0) {
        core_handle_release(devices_table(), handle);
        return -1;
    }
    return 0;
}

int ravk_device_list_add_video_test(RavkDeviceList *list, int32_t backend, const CoreName *id,
                                    const CoreVideoMode *mode, uint32_t fourcc, int32_t pattern)
{
    if (list == nullptr || mode == nullptr) return -1;
    const char *pattern_text = pattern == 0 ? "Color Bars" : pattern == 1 ? "Snow" : pattern == 18 ? "Moving Ball" : "Unknown";
    char mode_text[64];
    uint32_t hz = mode->rate_den ? mode->rate_num / mode->rate_den : mode->rate_num;
    snprintf(mode_text, sizeof(mode_text), "%ux%u@%u Hz", mode->width, mode->height, hz);
    char fourcc_text[5];
    char text[RAVK_DEVICE_TEXT_SIZE];
    int n = snprintf(text, sizeof(text), "Video Test %s / %s / %s", pattern_text, mode_text,
                     ravk_fourcc_text(fourcc, fourcc_text));
    RavkDeviceRecord record;
    ravk_device_record_init(&record);
    if (id != nullptr) record.id = *id;
    ravk_device_text_set(&record.name, 0, text, n > 0 ? uint64_t(n) : 0);
    record.backend = backend;
    record.format_code = fourcc;
    record.tail.video.mode = *mode;
    record.tail.video.index = pattern;
    uint64_t handle = node_create([&](RavkSourceOps *ops) { return ravk_source_new_video_test(ops, &record); });
    if (handle == 0) return -1;
    if (ravk_device_list_append(list, handle) == 0) {
        core_handle_release(devices_table(), handle);
        return -1;
    }
    return 0;
}

// ---- device properties ----

namespace {

// Runs fn on desc[0]'s property of that name. 1 found, 0 absent, -1 unknown
// handle.
template <class Fn>
int with_property(uint64_t device, const char *name, Fn fn)
{
    auto *node = static_cast<RavkDeviceNode *>(core_handle_acquire(devices_table(), device));
    if (node == nullptr) return -1;
    RavkProperty *property = nullptr;
    int result = 0;
    if (node->ops.find_property != nullptr &&
        node->ops.find_property(ravk_device_node_desc(node, 0), name, &property) == 1 && property != nullptr)
        result = fn(property) ? 1 : 0;
    core_handle_release(devices_table(), device);
    return result;
}

}  // namespace

int ravk_device_get_fd(uint64_t device, int *out)
{
    if (out == nullptr) return -1;
    return with_property(device, "fd", [&](RavkProperty *p) {
        if (!G_VALUE_HOLDS_INT(&p->value)) return false;
        *out = g_value_get_int(&p->value);
        return true;
    });
}

int ravk_device_get_path(uint64_t device, CoreBuffer *out)
{
    if (out == nullptr) return -1;
    return with_property(device, "path", [&](RavkProperty *p) {
        if (!G_VALUE_HOLDS_STRING(&p->value)) return false;
        const char *text = g_value_get_string(&p->value);
        if (text == nullptr) text = "";
        const uint64_t length = strlen(text);
        out->owned = 0;
        out->tag = 1;
        out->capacity = length + 1;
        out->length = length;
        out->data = reinterpret_cast<uint8_t *>(const_cast<char *>(text));
        return true;
    });
}

int ravk_device_get_info(uint64_t device, void *out, uint64_t capacity)
{
    if (out == nullptr) return -1;
    auto *node = static_cast<RavkDeviceNode *>(core_handle_acquire(devices_table(), device));
    if (node == nullptr) return -1;
    int result = node->ops.get_selection ? node->ops.get_selection(ravk_device_node_desc(node, 0), out, capacity) : -1;
    core_handle_release(devices_table(), device);
    return result;
}
