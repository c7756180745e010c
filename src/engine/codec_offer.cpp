#include "engine/codec_offer.h"

#include <cstdlib>
#include <cstring>

#include "core/handle.h"
#include "core/notify.h"
#include "core/tlv.h"
#include "engine/codes.h"
#include "engine/node.h"
#include "engine/peer_streams.h"

namespace {

// Takes the sender's next sequence number; 0 when the handle is unknown.
uint64_t next_sequence(uint64_t sender)
{
    CoreHandleTable *table = core_handle_tables[CORE_HANDLES_STREAMS];
    auto *s = static_cast<EngineSender *>(core_handle_acquire(table, sender));
    if (s == nullptr) return 0;
    const uint64_t value = s->sequence.fetch_add(1);
    core_handle_release(table, sender);
    return value;
}

CoreResult send_items(uint64_t sender, const CoreTlvItem *items, uint64_t count)
{
    return engine_stream_send_tlv(sender, 0, 0, items, count);
}

CoreResult send_marker(uint64_t sender, uint8_t type)
{
    const CoreTlvItem item = {type, 0, nullptr};
    return send_items(sender, &item, 1);
}

CoreResult send_header(uint64_t sender, const EngineCodecOffer *record)
{
    // Packed fields are copied out: the items point at aligned integers.
    const uint32_t size = record->size;
    const uint32_t kind = record->kind;
    const uint32_t reserved = record->reserved;
    const uint64_t sequence = record->sequence;
    const uint32_t size_class = record->sizeClass;
    const CoreTlvItem items[ENGINE_OFFER_HEADER_ITEMS] = {
        {CORE_TLV_U32, 4, &size},
        {CORE_TLV_U32, 4, &kind},
        {CORE_TLV_U32, 4, &reserved},
        {CORE_TLV_U64, 8, &sequence},
        {CORE_TLV_ID, CORE_NAME_KEY_SIZE, record->bindSequence},
        {CORE_TLV_ID, CORE_NAME_KEY_SIZE, record->channel},
        {CORE_TLV_U32, 4, &size_class},
        {CORE_TLV_BLOB, ENGINE_SOURCE_NAME_SIZE, record->sourceName},
    };
    return send_items(sender, items, ENGINE_OFFER_HEADER_ITEMS);
}

CoreResult send_entry(uint64_t sender, const EngineCodecOfferEntry *entry)
{
    const uint32_t role = entry->roleWord;
    const uint32_t media = entry->mediaFlags;
    uint16_t tags[ENGINE_PROPS_COUNT];
    uint64_t values[ENGINE_PROPS_COUNT];
    CoreTlvItem items[ENGINE_OFFER_ENTRY_ITEMS];
    items[0] = {CORE_TLV_ENTRY, 0, nullptr};
    items[1] = {CORE_TLV_ID, CORE_NAME_KEY_SIZE, entry->slot};
    items[2] = {CORE_TLV_U32, 4, &role};
    items[3] = {CORE_TLV_U32, 4, &media};
    items[4] = {CORE_TLV_ID, CORE_NAME_KEY_SIZE, entry->streamName};
    // Every one of the 64 properties travels, free entries included, so the
    // list arrives byte for byte.
    for (int i = 0; i < ENGINE_PROPS_COUNT; ++i) {
        tags[i] = entry->props.entries[i].tag;
        values[i] = static_cast<uint64_t>(entry->props.entries[i].value);
        items[5 + 2 * i] = {CORE_TLV_U16, 2, &tags[i]};
        items[6 + 2 * i] = {CORE_TLV_U64, 8, &values[i]};
    }
    return send_items(sender, items, ENGINE_OFFER_ENTRY_ITEMS);
}

CoreResult notify_bind_record(const CoreName *control, uint32_t code, uint32_t kind, const EngineMediaDesc *desc)
{
    if (control == nullptr || desc == nullptr || engine_node_running() == nullptr) return CORE_ERR;
    EngineBindRecord record;
    memset(&record, 0, sizeof(record));
    record.kind = kind;
    record.desc = *desc;
    return core_notify(control, code, &record, sizeof(record), nullptr, nullptr);
}

}  // namespace

uint64_t engine_offer_size(uint64_t count)
{
    if (count > ENGINE_OFFER_ENTRIES_MAX) return 0;
    return ENGINE_OFFER_HEADER_SIZE + count * ENGINE_OFFER_ENTRY_SIZE;
}

CoreResult engine_offer_read(const void *data, uint64_t length, uint64_t *count)
{
    if (data == nullptr || length < ENGINE_OFFER_HEADER_SIZE) return CORE_ERR_INVALID;
    const uint64_t n = (length - ENGINE_OFFER_HEADER_SIZE) / ENGINE_OFFER_ENTRY_SIZE;
    if (n > ENGINE_OFFER_ENTRIES_MAX) return CORE_ERR_INVALID;
    if (count != nullptr) *count = n;
    return CORE_OK;
}

CoreResult engine_offer_send(uint64_t sender, uint32_t kind, const EngineMediaDesc *desc, uint32_t version,
                             const char *sourceName, uint32_t sizeClass, const EngineStreamRecord *records,
                             uint64_t count)
{
    if (records == nullptr && count != 0) return CORE_ERR_INVALID;
    const uint64_t size = engine_offer_size(count);
    if (size == 0) return CORE_ERR_INVALID;
    void *block = nullptr;
    if (posix_memalign(&block, 64, size) != 0) return CORE_ERR;
    memset(block, 0, size);
    auto *offer = static_cast<EngineCodecOffer *>(block);
    offer->size = static_cast<uint32_t>(size);
    offer->kind = kind;
    offer->sequence = next_sequence(sender);
    if (desc != nullptr) {
        memcpy(offer->bindSequence, desc->bindSequence.key, CORE_NAME_KEY_SIZE);
        memcpy(offer->channel, desc->channel.key, CORE_NAME_KEY_SIZE);
    }
    offer->sizeClass = sizeClass;
    // The last byte stays zero: a receiver may read the field as a text.
    if (sourceName != nullptr) memcpy(offer->sourceName, sourceName, strnlen(sourceName, ENGINE_SOURCE_NAME_SIZE - 1));
    for (uint64_t i = 0; i < count; ++i) {
        EngineCodecOfferEntry &entry = offer->entries[i];
        memcpy(entry.slot, records[i].slot.key, CORE_NAME_KEY_SIZE);
        entry.roleWord = records[i].roleWord;
        entry.mediaFlags = records[i].mediaFlags;
        memcpy(entry.streamName, records[i].streamName.key, CORE_NAME_KEY_SIZE);
        memcpy(&entry.props, &records[i].props, sizeof(EngineProps));
    }
    const CoreResult result = engine_offer_encode(sender, offer, version);
    free(block);
    return result;
}

CoreResult engine_offer_encode(uint64_t sender, const EngineCodecOffer *record, uint32_t version)
{
    if (version < ENGINE_OFFER_MIN_VERSION) return CORE_ERR_UNSUPPORTED;
    if (record == nullptr || record->size < ENGINE_OFFER_HEADER_SIZE) return CORE_ERR_INVALID;
    CoreResult result = send_header(sender, record);
    if (result < 0) return result;
    const uint64_t n = (record->size - ENGINE_OFFER_HEADER_SIZE) / ENGINE_OFFER_ENTRY_SIZE;
    if (n == 0) return send_marker(sender, CORE_TLV_END);
    result = send_marker(sender, CORE_TLV_LIST_BEGIN);
    if (result < 0) return result;
    for (uint64_t i = 0; i < n; ++i) {
        result = send_entry(sender, &record->entries[i]);
        if (result < 0) return result;
    }
    const CoreTlvItem tail[2] = {{CORE_TLV_LIST_END, 0, nullptr}, {CORE_TLV_END, 0, nullptr}};
    return send_items(sender, tail, 2);
}

EngineStreamSet *engine_offer_to_stream_set(const EngineCodecOffer *record, uint64_t length,
                                            const EngineMediaDesc *desc, const char *sourceName, uint32_t setKind)
{
    uint64_t n = 0;
    if (engine_offer_read(record, length, &n) != CORE_OK) return nullptr;
    EngineStreamSet *set = engine_stream_set_alloc(sourceName, desc, setKind, n);
    if (set == nullptr) return nullptr;
    CoreName channel;
    memset(&channel, 0, sizeof(channel));
    memcpy(channel.key, record->channel, CORE_NAME_KEY_SIZE);
    core_name_make(&channel);
    for (uint64_t i = 0; i < n; ++i) {
        const EngineCodecOfferEntry &entry = record->entries[i];
        EngineStreamRecord &out = set->records[i];
        out.channel = channel;
        memcpy(out.slot.key, entry.slot, CORE_NAME_KEY_SIZE);
        core_name_make(&out.slot);
        out.roleWord = entry.roleWord;
        out.mediaFlags = entry.mediaFlags;
        memcpy(out.streamName.key, entry.streamName, CORE_NAME_KEY_SIZE);
        core_name_make(&out.streamName);
        memcpy(&out.props, &entry.props, sizeof(EngineProps));
    }
    return set;
}

CoreResult engine_notify_version_mismatch(const CoreName *control, const EngineMediaDesc *desc)
{
    return notify_bind_record(control, ENGINE_CTL_VERSION_MISMATCH, ENGINE_BIND_KIND_REQUESTER, desc);
}

CoreResult engine_notify_unbind(const CoreName *control, uint32_t kind, const EngineMediaDesc *desc)
{
    return notify_bind_record(control, ENGINE_CTL_PEER_UNBIND, kind, desc);
}
