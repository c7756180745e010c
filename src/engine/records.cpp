#include "engine/records.h"

#include <cstring>

#include "core/pool.h"
#include "engine/node.h"

namespace {

// The source name is taken as a text up to its terminator, never as 256 raw
// bytes: callers pass short literals, and a field that arrived from a peer
// may lack the terminator, which every reader of the field relies on.
void copy_source_name(char out[ENGINE_SOURCE_NAME_SIZE], const char *source)
{
    memset(out, 0, ENGINE_SOURCE_NAME_SIZE);
    if (source == nullptr) return;
    memcpy(out, source, strnlen(source, ENGINE_SOURCE_NAME_SIZE - 1));
}

void copy_name(CoreName *out, const CoreName *name)
{
    if (name != nullptr) memcpy(out, name, sizeof(CoreName));
}

void empty_props(EngineStreamRecord *records, uint64_t count)
{
    for (uint64_t i = 0; i < count; ++i) engine_props_init(&records[i].props);
}

void *node_alloc(uint64_t size)
{
    EngineNode *node = engine_node_running();
    if (node == nullptr || size == 0) return nullptr;
    return core_pool_alloc(node->pool, size);
}

}  // namespace

uint64_t engine_stream_table_size(uint64_t count)
{
    if (count > ENGINE_STREAM_RECORDS_MAX) return 0;
    return sizeof(EngineStreamTable) + count * sizeof(EngineStreamRecord);
}

uint64_t engine_stream_set_size(uint64_t count)
{
    if (count > ENGINE_STREAM_RECORDS_MAX) return 0;
    return sizeof(EngineStreamSet) + count * sizeof(EngineStreamRecord);
}

EngineMediaDesc *engine_media_desc_make(EngineMediaDesc *out, const CoreName *channel, const CoreName *peerNode,
                                        const CoreName *session, const CoreName *bindSequence)
{
    if (out == nullptr) return nullptr;
    memset(out, 0, sizeof(*out));
    copy_name(&out->channel, channel);
    copy_name(&out->peerNode, peerNode);
    copy_name(&out->session, session);
    copy_name(&out->bindSequence, bindSequence);
    return out;
}

EngineBindRecord *engine_bind_record_from_stream_set(EngineBindRecord *out, const EngineStreamSet *set)
{
    if (out == nullptr) return nullptr;
    memset(out, 0, sizeof(*out));
    if (set == nullptr) return out;
    out->kind = set->kind;
    copy_source_name(out->sourceName, set->sourceName);
    engine_media_desc_make(&out->desc, &set->desc.channel, &set->desc.peerNode, &set->desc.session,
                           &set->desc.bindSequence);
    return out;
}

void engine_stream_records_copy(EngineStreamRecord *destination, const EngineStreamRecord *source,
                                uint64_t count)
{
    if (destination == nullptr || source == nullptr || count == 0 || count > ENGINE_STREAM_RECORDS_MAX) return;
    memmove(destination, source, count * sizeof(EngineStreamRecord));
}

EngineStreamTable *engine_stream_table_alloc(uint64_t count)
{
    uint64_t size = engine_stream_table_size(count);
    auto *table = static_cast<EngineStreamTable *>(node_alloc(size));
    if (table == nullptr) return nullptr;
    table->count = count;
    empty_props(table->records, count);
    return table;
}

EngineStreamTable *engine_stream_table_clone(const EngineStreamTable *table)
{
    if (table == nullptr) return nullptr;
    EngineStreamTable *copy = engine_stream_table_alloc(table->count);
    if (copy == nullptr) return nullptr;
    engine_stream_records_copy(copy->records, table->records, table->count);
    return copy;
}

EngineStreamTable *engine_stream_table_set(EngineStreamTable *table, uint64_t index,
                                           const EngineStreamRecord *record)
{
    if (table == nullptr || record == nullptr || index >= table->count) return nullptr;
    engine_stream_records_copy(&table->records[index], record, 1);
    return table;
}

EngineStreamSet *engine_stream_set_alloc(const char *sourceName, const EngineMediaDesc *desc, uint32_t kind,
                                         uint64_t count)
{
    uint64_t size = engine_stream_set_size(count);
    auto *set = static_cast<EngineStreamSet *>(node_alloc(size));
    if (set == nullptr) return nullptr;
    if (desc == nullptr)
        return engine_stream_set_init(set, sourceName, nullptr, nullptr, nullptr, nullptr, kind, count);
    return engine_stream_set_init(set, sourceName, &desc->channel, &desc->peerNode, &desc->session,
                                  &desc->bindSequence, kind, count);
}

EngineStreamSet *engine_stream_set_init(EngineStreamSet *set, const char *sourceName, const CoreName *channel,
                                        const CoreName *peerNode, const CoreName *session,
                                        const CoreName *bindSequence, uint32_t kind, uint64_t count)
{
    uint64_t size = engine_stream_set_size(count);
    if (set == nullptr || size == 0) return nullptr;
    memset(set, 0, size);
    set->count = count;
    engine_media_desc_make(&set->desc, channel, peerNode, session, bindSequence);
    copy_source_name(set->sourceName, sourceName);
    set->kind = kind;
    empty_props(set->records, count);
    return set;
}

EngineStreamSet *engine_stream_set_clone(const EngineStreamSet *set)
{
    if (set == nullptr) return nullptr;
    EngineStreamSet *copy = engine_stream_set_alloc(set->sourceName, &set->desc, set->kind, set->count);
    if (copy == nullptr) return nullptr;
    engine_stream_records_copy(copy->records, set->records, set->count);
    return copy;
}
