#include "engine/capability.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/cpu.h"
#include "core/pool.h"
#include "engine/node.h"

namespace {

std::atomic<EngineCapability *> g_capability{nullptr};

constexpr uint64_t k_slot_alignment = 64;

// Size classes above 2 have no default audio format; they keep all zero.
constexpr uint32_t k_largest_audio_class = 2;

void free_table(EngineStreamTable **table)
{
    if (*table == nullptr) return;
    // Tables come from the node pool; once the node is gone its pool went
    // with it, and the block with the pool.
    EngineNode *node = engine_node_running();
    if (node != nullptr) {
        void *block = *table;
        core_pool_free(node->pool, &block);
    }
    *table = nullptr;
}

void free_slot(EngineCapabilitySlot *slot)
{
    std::free(slot->data);
    slot->data = nullptr;
    slot->size = 0;
}

EngineStreamTable **table_of(EngineCapability *capability, int which)
{
    if (which == ENGINE_CAPABILITY_OFFER) return &capability->offerTable;
    if (which == ENGINE_CAPABILITY_ANSWER) return &capability->answerTable;
    return nullptr;
}

uint32_t video_encode_score(int cpuClass)
{
    if (cpuClass < 4) return ENGINE_SCORE_BASE;
    if (cpuClass < 7) return ENGINE_SCORE_STRONG;
    return ENGINE_SCORE_TOP;
}

uint32_t video_decode_score(int cpuClass)
{
    if (cpuClass < 2) return ENGINE_SCORE_BASE;
    if (cpuClass < 5) return ENGINE_SCORE_STRONG;
    return ENGINE_SCORE_TOP;
}

}  // namespace

CoreResult engine_capability_create(const EngineConfig *config)
{
    if (config == nullptr) return CORE_ERR_INVALID;
    if (g_capability.load(std::memory_order_acquire) != nullptr) return CORE_ERR;

    auto *capability = new (std::nothrow) EngineCapability{};
    if (capability == nullptr) return CORE_ERR;
    core_name_format(&capability->name, "%s", ENGINE_NODE_SERVICE);
    capability->audioSinkParam = config->audioSink.slotParam;
    capability->videoSinkParam = config->videoSink.slotParam;
    capability->bitratePolicy = config->bitratePolicy;
    capability->rateControlOption = config->rateControlOption;
    capability->p2pChannelCount = config->p2pChannelCount;
    capability->p2pClass = config->p2pClass;
    capability->p2mChannelCount = config->p2mChannelCount;
    capability->videoSizeClass = config->videoSizeClass;
    if (config->videoSizeClass <= k_largest_audio_class) {
        capability->audioFormat.rate = 48000;
        capability->audioFormat.channels = 2;
        capability->audioFormat.bits = 16;
        capability->audioFormat.byteOrder = ENGINE_BYTE_ORDER_LE;
        capability->audioFormat.sampleType = 'S';
    }
    engine_capability_video_limit(capability, &capability->videoLimit);

    EngineCapability *expected = nullptr;
    if (!g_capability.compare_exchange_strong(expected, capability, std::memory_order_acq_rel)) {
        delete capability;
        return CORE_ERR;
    }
    return CORE_OK;
}

EngineCapability *engine_capability_current(void)
{
    return g_capability.load(std::memory_order_acquire);
}

void engine_capability_release(void)
{
    EngineCapability *capability = g_capability.exchange(nullptr, std::memory_order_acq_rel);
    if (capability == nullptr) return;
    free_table(&capability->offerTable);
    free_table(&capability->answerTable);
    for (EngineCapabilitySlot &slot : capability->slots) free_slot(&slot);
    delete capability;
}

CoreVideoMode *engine_video_limit_for_class(uint32_t videoSizeClass, CoreVideoMode *out)
{
    if (out == nullptr) return nullptr;
    switch (videoSizeClass) {
    case 0: *out = CoreVideoMode{3840, 2160, 60, 1}; break;
    case 1: *out = CoreVideoMode{768, 432, 30, 1}; break;
    case 2: *out = CoreVideoMode{1280, 720, 30, 1}; break;
    default: break;
    }
    return out;
}

CoreVideoMode *engine_capability_video_limit(const EngineCapability *capability, CoreVideoMode *out)
{
    if (capability == nullptr) return nullptr;
    return engine_video_limit_for_class(capability->videoSizeClass, out);
}

int engine_capability_slot_store(EngineCapability *capability, int slot, const void *data, uint64_t size)
{
    if (capability == nullptr || slot < 0 || slot >= ENGINE_CAPABILITY_SLOTS || (data == nullptr && size != 0))
        return -1;
    CoreLockGuard guard(&capability->lock);
    EngineCapabilitySlot &target = capability->slots[slot];
    free_slot(&target);
    if (size == 0) return 0;
    if (size > UINT64_MAX - k_slot_alignment) return -1;
    const uint64_t rounded = (size + k_slot_alignment - 1) / k_slot_alignment * k_slot_alignment;
    void *copy = std::aligned_alloc(k_slot_alignment, rounded);
    if (copy == nullptr) return -1;
    memset(copy, 0, rounded);
    memcpy(copy, data, size);
    target.data = copy;
    target.size = size;
    return 0;
}

uint64_t engine_capability_slot_read(EngineCapability *capability, int slot, void *out, uint64_t capacity)
{
    if (out != nullptr) memset(out, 0, capacity);
    if (capability == nullptr || out == nullptr || slot < 0 || slot >= ENGINE_CAPABILITY_SLOTS) return 0;
    CoreLockGuard guard(&capability->lock);
    const EngineCapabilitySlot &source = capability->slots[slot];
    if (source.size != 0) memcpy(out, source.data, source.size < capacity ? source.size : capacity);
    return source.size;
}

CoreResult engine_capability_table_replace(EngineCapability *capability, int which, const EngineStreamTable *table)
{
    if (capability == nullptr || table == nullptr) return CORE_ERR_INVALID;
    EngineStreamTable **target = table_of(capability, which);
    if (target == nullptr) return CORE_ERR_INVALID;
    CoreLockGuard guard(&capability->lock);
    // Cloned before the old table goes: the caller may pass the table the
    // capability holds.
    EngineStreamTable *copy = engine_stream_table_clone(table);
    free_table(target);
    *target = copy;
    return copy != nullptr ? CORE_OK : CORE_ERR;
}

EngineStreamTable *engine_capability_table_clone(EngineCapability *capability, int which)
{
    if (capability == nullptr) return nullptr;
    EngineStreamTable **source = table_of(capability, which);
    if (source == nullptr) return nullptr;
    CoreLockGuard guard(&capability->lock);
    return engine_stream_table_clone(*source);
}

EngineLocalCaps *engine_local_caps_init(EngineLocalCaps *caps)
{
    if (caps == nullptr) return nullptr;
    memset(caps, 0, sizeof(*caps));
    caps->audioEncoderIndex = -1;
    caps->videoEncoderIndex = -1;
    caps->audioDecoderIndex = -1;
    caps->videoDecoderIndex = -1;
    return caps;
}

void engine_local_caps_set_scores(EngineLocalCaps *caps)
{
    if (caps == nullptr) return;
    caps->audioEncodeScore = ENGINE_SCORE_BASE;
    caps->audioDecodeScore = ENGINE_SCORE_BASE;
    caps->videoEncodeScore = video_encode_score(core_cpu_class());
    caps->videoDecodeScore = video_decode_score(core_cpu_class());
}
