// TLV items: the wire format of messages between nodes and of the settings
// record stream, its encoder and the one decoder every parser of peer bytes
// goes through.
//
// An item is a type byte, a u32 big-endian length and that many value bytes;
// each type fixes which lengths are legal (core_tlv_check), and a record is
// the items up to and including CORE_TLV_END. docs/protocol.md shows the
// layout. Integer values are big-endian on the wire and in host order in a
// CoreTlvItem, both when it is handed to the encoder and when the decoder
// hands it out.
//
// core_tlv_check and core_tlv_head_read are pure and may be called from any
// thread. core_tlv_send may be called from any thread; the channel's queue
// orders concurrent posts, so the parts of a record sent in several calls
// must come from one thread. A CoreTlvDecoder belongs to one feeding thread
// at a time. Functions return CORE_OK or a negative CoreResult as stated.
#pragma once

#include <cstdint>

#include "core/names.h"
#include "core/result.h"

struct CoreChannel;
struct CorePool;

enum CoreTlvType : uint8_t {
    CORE_TLV_U8 = 0x00,
    CORE_TLV_U16 = 0x01,
    CORE_TLV_U32 = 0x02,
    CORE_TLV_U64 = 0x03,
    CORE_TLV_ID = 0x60,    // 32 raw bytes: a CoreName key
    CORE_TLV_TEXT = 0x61,  // no terminator on the wire
    CORE_TLV_BLOB = 0x62,
    CORE_TLV_LIST_BEGIN = 0xF0,
    CORE_TLV_ENTRY = 0xF1,
    CORE_TLV_LIST_END = 0xF2,
    CORE_TLV_END = 0xFF,  // ends a record
};

#define CORE_TLV_HEAD_SIZE 5
#define CORE_TLV_TEXT_MAX 1024u
#define CORE_TLV_BLOB_MAX 0x400000u

// One item. For the integer types value points at an integer of that width
// in host order. value may be NULL only when length is 0.
struct CoreTlvItem {
    uint8_t type;
    uint64_t length;
    const void *value;
};

// CORE_OK when `length` obeys the rule of `type`; CORE_ERR_INVALID when it
// does not or the type is not one of CoreTlvType.
CoreResult core_tlv_check(uint64_t length, uint8_t type);

// Reads a 5-byte item head into *type and *length and checks it. CORE_OK,
// or CORE_ERR_INVALID (and the outputs untouched) when the head breaks the
// rules. This is where every received length is judged.
CoreResult core_tlv_head_read(const uint8_t head[CORE_TLV_HEAD_SIZE], uint8_t *type, uint32_t *length);

// Encodes `count` items into one buffer from the channel's pool and posts
// it as one message named `name` (NULL: the zero name) of message type
// `message_type`, flags 0. `reserved` is ignored (callers pass 0).
// CORE_ERR_INVALID when channel or items is NULL, count is 0, an item breaks
// its type's rule, or an item has a NULL value and a non-zero length; then
// nothing is allocated or posted. CORE_ERR_NO_SPACE when the buffer cannot
// be allocated or the post fails.
CoreResult core_tlv_send(CoreChannel *channel, const CoreName *name, uint32_t message_type, uint32_t reserved,
                         const CoreTlvItem *items, uint64_t count);

// Receives each complete item in wire order, markers and CORE_TLV_END
// included. The item and its value are valid only during the call. Returns
// CORE_OK to go on; any other value stops the feed, which returns it.
typedef CoreResult (*CoreTlvItemFn)(const CoreTlvItem *item, void *user);

// Cuts a byte stream back into items, whatever the boundaries of the pieces
// it is fed. A value that arrives in one piece is handed out in place; one
// split across pieces is collected in a block of `pool`, never larger than
// its type allows.
struct CoreTlvDecoder {
    CorePool *pool;
    uint8_t head[CORE_TLV_HEAD_SIZE];
    uint64_t received;  // bytes of the current item so far, head included
    uint8_t type;       // of the current item once its head is complete
    uint32_t length;
    uint8_t *value;     // collecting block of a split value, or NULL
};

// An empty decoder drawing split values from `pool`.
void core_tlv_decoder_init(CoreTlvDecoder *decoder, CorePool *pool);

// Feeds `size` bytes (data may be NULL when size is 0). CORE_OK when all of
// them were taken, even in the middle of an item. CORE_ERR_INVALID for a
// head that breaks the rules, CORE_ERR_NO_SPACE when a split value cannot
// be collected, or the callback's non-CORE_OK result: in each of these
// cases the decoder drops the current item and the rest of this piece, and
// the next feed starts at a fresh item head.
CoreResult core_tlv_decoder_feed(CoreTlvDecoder *decoder, const void *data, uint64_t size, CoreTlvItemFn fn,
                                 void *user);

// Drops a partly received item and frees its block; the decoder stays
// usable.
void core_tlv_decoder_reset(CoreTlvDecoder *decoder);
