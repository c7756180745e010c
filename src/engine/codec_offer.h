// Codec offers: the message two binding services exchange on the binding
// stream "p2p.bnd.strm" to agree on a binding.
//
// An offer names the binding (its bind sequence id and binder channel),
// says what the message is (its kind, codes.h ENGINE_OFFER_*), carries the
// name of the capture source and, where the kind needs it, the sender's
// stream table: a 344-byte header and one 712-byte entry per stream record.
// It leaves as a series of TLV messages through the peer's sender
// (engine/peer_streams.h); the peer's receiver joins the values of all items
// up to END, integers back in host order, into exactly the EngineCodecOffer
// bytes below. Those bytes come from the network: engine_offer_read judges a
// received record by the length that arrived (never by its `size` word),
// and engine_offer_to_stream_set only reads the entries that length holds.
//
// This module also makes the two control requests that tell the engine
// about a binding that failed (version mismatch, unbind).
//
// Threads: every function may be called from any thread; the sender's
// sequence counter is taken under a handle reference. Results are CoreResult
// codes, a stream set or NULL, as each function says.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/names.h"
#include "core/result.h"
#include "engine/props.h"
#include "engine/records.h"

// The binding stream of every peer session.
#ifndef ENGINE_STREAM_BIND
#define ENGINE_STREAM_BIND "p2p.bnd.strm"
#endif

#define ENGINE_OFFER_HEADER_SIZE 344u
#define ENGINE_OFFER_ENTRY_SIZE 712u
// sizeClass of the offers that carry no table (UNBIND, BUSY, REJECT).
#define ENGINE_OFFER_NO_CLASS 0xFFFFFFFFu
// Item counts of the two message shapes.
#define ENGINE_OFFER_HEADER_ITEMS 8u
#define ENGINE_OFFER_ENTRY_ITEMS (5u + 2u * ENGINE_PROPS_COUNT)
// Most entries one offer may carry: a table of more records could not be
// rebuilt into a stream set on the other side.
#define ENGINE_OFFER_ENTRIES_MAX ENGINE_STREAM_RECORDS_MAX
// Lowest protocol version whose entry encoding this module speaks.
#define ENGINE_OFFER_MIN_VERSION 2u

#pragma pack(push, 1)
// One stream record on the wire; the record's channel travels once, in the
// header.
struct EngineCodecOfferEntry {
    uint8_t slot[CORE_NAME_KEY_SIZE];
    uint32_t roleWord;
    uint32_t mediaFlags;
    uint8_t streamName[CORE_NAME_KEY_SIZE];
    EngineProps props;
};

// The offer as encoded and as rebuilt; little-endian host order, packed.
struct EngineCodecOffer {
    uint32_t size;  // 344 + 712 x N as the sender made it; receivers go by the length that arrived
    uint32_t kind;  // ENGINE_OFFER_*
    uint32_t reserved;
    uint64_t sequence;  // the sender's counter; not checked by receivers
    uint8_t bindSequence[CORE_NAME_KEY_SIZE];
    uint8_t channel[CORE_NAME_KEY_SIZE];
    uint32_t sizeClass;  // p2pClass or videoSizeClass by channel kind; ENGINE_OFFER_NO_CLASS
    char sourceName[ENGINE_SOURCE_NAME_SIZE];
    EngineCodecOfferEntry entries[];
};
#pragma pack(pop)

static_assert(sizeof(EngineCodecOfferEntry) == ENGINE_OFFER_ENTRY_SIZE, "an offer entry travels as 712 bytes");
static_assert(offsetof(EngineCodecOfferEntry, roleWord) == 32 && offsetof(EngineCodecOfferEntry, mediaFlags) == 36 &&
                  offsetof(EngineCodecOfferEntry, streamName) == 40 && offsetof(EngineCodecOfferEntry, props) == 72,
              "offer entry field offsets");
static_assert(sizeof(EngineCodecOffer) == ENGINE_OFFER_HEADER_SIZE, "an offer header travels as 344 bytes");
static_assert(offsetof(EngineCodecOffer, kind) == 4 && offsetof(EngineCodecOffer, reserved) == 8 &&
                  offsetof(EngineCodecOffer, sequence) == 12 && offsetof(EngineCodecOffer, bindSequence) == 20 &&
                  offsetof(EngineCodecOffer, channel) == 52 && offsetof(EngineCodecOffer, sizeClass) == 84 &&
                  offsetof(EngineCodecOffer, sourceName) == 88 && offsetof(EngineCodecOffer, entries) == 344,
              "offer header field offsets");

// Bytes of an offer of `count` entries; 0 above ENGINE_OFFER_ENTRIES_MAX.
uint64_t engine_offer_size(uint64_t count);

// Judges a received record of `length` bytes. CORE_OK with the number of
// whole entries the length holds in *count (bytes past the last whole
// entry are ignored); CORE_ERR_INVALID when data is NULL, the record is
// shorter than the header or holds more than ENGINE_OFFER_ENTRIES_MAX
// entries.
CoreResult engine_offer_read(const void *data, uint64_t length, uint64_t *count);

// Builds the offer (64-byte aligned, zeroed, size = 344 + 712 x count),
// encodes it with engine_offer_encode and frees it. The header takes
// desc's bindSequence and channel keys (desc NULL: both zero), sourceName
// cut to 255 characters (NULL: empty), sizeClass, and the sender's next
// sequence number (0 for an unknown handle); the entries take each
// record's slot and stream name keys, roleWord, mediaFlags and the 640
// property bytes. records may be NULL only with count 0. The encoding's
// result; CORE_ERR_INVALID for records NULL with a count or a count above
// ENGINE_OFFER_ENTRIES_MAX; CORE_ERR when the record cannot be allocated.
CoreResult engine_offer_send(uint64_t sender, uint32_t kind, const EngineMediaDesc *desc, uint32_t version,
                             const char *sourceName, uint32_t sizeClass, const EngineStreamRecord *records,
                             uint64_t count);

// Sends the offer as its series of messages: the 8-item header; then,
// with N = (size - 344) / 712 entries, LIST_BEGIN, one 133-item message
// per entry, and LIST_END with END; with no entries END alone. A negative
// result of engine_stream_send_tlv ends the series with that result; a
// CORE_DONE (sender queue over its limit) does not. The last message's
// result otherwise. CORE_ERR_UNSUPPORTED for a version below
// ENGINE_OFFER_MIN_VERSION; CORE_ERR_INVALID for a NULL record or a size
// below the header. The record must hold `size` bytes.
CoreResult engine_offer_encode(uint64_t sender, const EngineCodecOffer *record, uint32_t version);

// A stream set from the node pool for a received record of `length` bytes:
// engine_stream_set_alloc(sourceName, desc, setKind, N) with N the whole
// entries the length holds, then one record per entry: channel = the
// header's channel key, slot and stream name from the entry's keys,
// roleWord, mediaFlags and the property bytes as they are. NULL when the
// record fails engine_offer_read or the set cannot be allocated (no node).
EngineStreamSet *engine_offer_to_stream_set(const EngineCodecOffer *record, uint64_t length,
                                            const EngineMediaDesc *desc, const char *sourceName, uint32_t setKind);

// ENGINE_CTL_VERSION_MISMATCH on `control` with an 804-byte bind record of
// kind 1, desc and an empty source name. The control request's result;
// CORE_ERR when no engine node runs or desc is NULL.
CoreResult engine_notify_version_mismatch(const CoreName *control, const EngineMediaDesc *desc);

// ENGINE_CTL_PEER_UNBIND with a bind record of the given kind and desc;
// results as engine_notify_version_mismatch.
CoreResult engine_notify_unbind(const CoreName *control, uint32_t kind, const EngineMediaDesc *desc);
