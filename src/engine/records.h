// Media descriptions, bind records and stream records: the fixed layouts in
// which a binding and the streams it carries cross the engine.
//
// A binding is named by four CoreNames (binder channel, peer node, network
// session, bind sequence); what it carries is a table of 1056-byte stream
// records. The records travel as raw bytes in host byte order: as topic
// data, as notify request buffers and, re-encoded, in codec offers, so every
// layout is pinned by static_asserts. Stream tables and stream sets are
// single blocks from the running engine node's pool; whoever holds one gives
// it back with core_pool_free on that pool, and a copy handed to another
// part becomes that part's to free. The functions keep no state and may be
// called from any thread; allocation needs a running node. Builders return
// their output, allocators a block or NULL.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/names.h"
#include "core/pool.h"
#include "engine/props.h"

#define ENGINE_SOURCE_NAME_SIZE 256

// Values of the `kind` word of a bind record.
enum : uint32_t {
    ENGINE_BIND_KIND_NONE = 0,
    ENGINE_BIND_KIND_REQUESTER = 1,  // the node that asked for the binding
    ENGINE_BIND_KIND_ANSWERER = 2,   // the node that answers a request or runs a broadcast
};

// Media flags of a stream record: media bits in byte 0, the audio codec
// index in byte 1 and the video codec index in byte 2.
enum : uint32_t {
    ENGINE_MEDIA_AUDIO = 0x01,
    ENGINE_MEDIA_VIDEO = 0x02,
    ENGINE_MEDIA_COMBINED = 0x04,
    ENGINE_MEDIA_CODEC_RECORD = 0x10,
};

// The four names of a binding; each is all zero when absent.
struct EngineMediaDesc {
    CoreName channel;       // "p2p.bnd.%08X.chnl" or "p2m.bnd.%08X.chnl"
    CoreName peerNode;      // node id of the peer
    CoreName session;       // network session with the peer; filled by the engine
    CoreName bindSequence;  // "bnd.seq." sequence name made by the interface per binding
};
static_assert(sizeof(EngineMediaDesc) == 544, "media description travels as 544 raw bytes");

// Data of the connect and disconnect commands, the binding-service
// messages, the bind events and several control requests; always 804 bytes.
struct EngineBindRecord {
    uint32_t kind;  // ENGINE_BIND_KIND_*
    EngineMediaDesc desc;
    // One zero-terminated text of at most 255 characters; a text past 127
    // characters runs on into the second 128-byte half.
    char sourceName[ENGINE_SOURCE_NAME_SIZE];
};
static_assert(sizeof(EngineBindRecord) == 804, "bind record travels as 804 raw bytes");
static_assert(offsetof(EngineBindRecord, desc) == 4 && offsetof(EngineBindRecord, sourceName) == 548,
              "bind record field offsets");

// One stream or codec of a binder channel.
struct EngineStreamRecord {
    CoreName channel;     // the binder channel the record belongs to
    CoreName slot;        // profile slot name of a plain record; empty in codec records
    uint32_t roleWord;    // direction and role bits
    uint32_t mediaFlags;  // ENGINE_MEDIA_* and the codec indices
    CoreName streamName;  // "stream.%08X", "split.stream.%08X" or "codec.%08X.stream.%08X"
    EngineProps props;
};
static_assert(sizeof(EngineStreamRecord) == 1056, "stream record travels as 1056 raw bytes");
static_assert(offsetof(EngineStreamRecord, roleWord) == 272 && offsetof(EngineStreamRecord, mediaFlags) == 276 &&
                  offsetof(EngineStreamRecord, streamName) == 280 && offsetof(EngineStreamRecord, props) == 416,
              "stream record field offsets");

// `count` records; 8 + 1056 x count bytes.
struct EngineStreamTable {
    uint64_t count;
    EngineStreamRecord records[];
};
static_assert(sizeof(EngineStreamTable) == 8 && offsetof(EngineStreamTable, records) == 8,
              "stream table header is 8 bytes");

// A binding's names and its records; 816 + 1056 x count bytes. The first 804
// bytes read as an EngineBindRecord.
struct EngineStreamSet {
    uint32_t kind;  // mode word of the offer it was made from, or the node's own
    EngineMediaDesc desc;
    char sourceName[ENGINE_SOURCE_NAME_SIZE];
    uint32_t reserved;  // zero
    uint64_t count;
    EngineStreamRecord records[];
};
static_assert(sizeof(EngineStreamSet) == 816 && offsetof(EngineStreamSet, records) == 816,
              "stream set header is 816 bytes");
static_assert(offsetof(EngineStreamSet, kind) == offsetof(EngineBindRecord, kind) &&
                  offsetof(EngineStreamSet, desc) == offsetof(EngineBindRecord, desc) &&
                  offsetof(EngineStreamSet, sourceName) == offsetof(EngineBindRecord, sourceName) &&
                  offsetof(EngineStreamSet, count) == 808,
              "a stream set starts with a bind record");

// Most records a table or set may hold: no pool block is larger than
// CORE_POOL_MAX_SIZE, and a count past this would wrap the size computation.
#define ENGINE_STREAM_RECORDS_MAX \
    ((uint64_t)((CORE_POOL_MAX_SIZE - sizeof(EngineStreamSet)) / sizeof(EngineStreamRecord)))

// Byte lengths of a table and a set of `count` records; 0 when count is
// above ENGINE_STREAM_RECORDS_MAX.
uint64_t engine_stream_table_size(uint64_t count);
uint64_t engine_stream_set_size(uint64_t count);

// Clears out, then copies each name that is given (NULL stays zero).
// Returns out.
EngineMediaDesc *engine_media_desc_make(EngineMediaDesc *out, const CoreName *channel, const CoreName *peerNode,
                                        const CoreName *session, const CoreName *bindSequence);

// The bind record at the head of a stream set: kind, the four names and
// the source name. Returns out.
EngineBindRecord *engine_bind_record_from_stream_set(EngineBindRecord *out, const EngineStreamSet *set);

// Copies `count` records; the ranges may overlap.
void engine_stream_records_copy(EngineStreamRecord *destination, const EngineStreamRecord *source,
                                uint64_t count);

// A table of `count` zeroed records with empty property lists, from the
// node pool. NULL when no node runs, count is too large or the pool is out.
EngineStreamTable *engine_stream_table_alloc(uint64_t count);

// A new table with a copy of every record, or NULL.
EngineStreamTable *engine_stream_table_clone(const EngineStreamTable *table);

// Copies record into slot `index`. Returns table, or NULL (nothing written)
// when index >= count.
EngineStreamTable *engine_stream_table_set(EngineStreamTable *table, uint64_t index,
                                           const EngineStreamRecord *record);

// A set from the node pool filled by engine_stream_set_init from desc's
// four names (desc may be NULL). NULL as engine_stream_table_alloc.
EngineStreamSet *engine_stream_set_alloc(const char *sourceName, const EngineMediaDesc *desc, uint32_t kind,
                                         uint64_t count);

// Fills a block of engine_stream_set_size(count) bytes: clears it, stores
// kind and count, copies each given name and the source name (a text cut to
// 255 characters; NULL leaves it empty) and empties every record's
// properties. Returns set; NULL when set is NULL or count is too large.
EngineStreamSet *engine_stream_set_init(EngineStreamSet *set, const char *sourceName, const CoreName *channel,
                                        const CoreName *peerNode, const CoreName *session,
                                        const CoreName *bindSequence, uint32_t kind, uint64_t count);

// A new set with the same names, source name, kind and records, or NULL.
EngineStreamSet *engine_stream_set_clone(const EngineStreamSet *set);
