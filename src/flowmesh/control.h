// Control messages between the two sessions of a peer pair: their wire
// schemas, the encoder that writes one onto a session's writer channel and
// the parser that checks a received record against its code's schema
// before a single value is read.
//
// Every message is one TLV record: u32 total, u32 code, u32 argument, u64
// sequence, the body of its code, the end item (docs/protocol.md has the
// tables). The parser takes the record view of a TLV channel
// (flowmesh/service.h), whose item types and lengths it compares with the
// schema; a record a peer shortened, lengthened or retyped anywhere is
// refused. Both functions are pure apart from the post and may be called
// from any thread; the session's writer queue orders concurrent sends.
#pragma once

#include <cstdint>

#include "core/names.h"
#include "core/result.h"

struct CoreChannel;
struct FlowmeshTlvRecord;

enum FlowmeshControlCode : uint32_t {
    FLOWMESH_CTL_PEER_VALUE = 0,
    FLOWMESH_CTL_FORWARD = 1,
    FLOWMESH_CTL_IDENTITY = 2,
    FLOWMESH_CTL_CLOSE = 3,
    FLOWMESH_CTL_ESTABLISHED = 0xF000,
    FLOWMESH_CTL_OPEN_STREAM = 0x10000,
    FLOWMESH_CTL_OPEN_STREAM_REPLY = 0x10001,
};

// Values of the head that precede every body: total, code, argument,
// sequence (4 + 4 + 4 + 8).
#define FLOWMESH_CONTROL_HEAD_VALUES 20u
// The largest forwarded payload: the blob item's limit.
#define FLOWMESH_CONTROL_FORWARD_MAX 0x400000u

// One message, decoded or to be sent. Fields not used by the code are 0;
// payload and key point into the record (or the caller's memory) and are
// valid as long as it is.
struct FlowmeshControlMessage {
    uint32_t total;      // sum of the item value lengths; filled by send and parse
    uint32_t code;
    uint32_t argument;   // established: 1 for peer mode 2; open/reply: the sender's flag set
    uint64_t sequence;   // the sender's message counter

    uint32_t peer_value;         // PEER_VALUE
    uint64_t stamp;              // IDENTITY; ESTABLISHED and CLOSE carry it too, 0 when sent by a session
    uint8_t node_id[32];         // IDENTITY: key of the sender's node name

    const uint8_t *payload;      // FORWARD
    uint32_t payload_length;

    uint16_t stream_id;          // OPEN_STREAM: opener's id; REPLY: answerer's id
    uint16_t opener_id;          // REPLY: the id the request carried
    uint32_t kind;               // OPEN_STREAM
    uint32_t class_word;         // OPEN_STREAM
    uint8_t stream_name[32];     // OPEN_STREAM: key of the stream name
    uint32_t key_kind;           // OPEN_STREAM and REPLY: 1 AES-128, 2 AES-256
    uint32_t key_length;         // 16 or 32, matching key_kind
    const uint8_t *key;
};

// The flag set of a stream kind (its low byte): paced 1, media-rate 63,
// reliable 511; 0 for any other kind.
uint32_t flowmesh_control_flag_set(uint32_t kind);

// The stream key length a key kind calls for: 16 for 1, 32 for 2, else 0.
uint32_t flowmesh_control_key_length(uint32_t key_kind);

// Encodes `message` (total is computed) and posts it on `writer` named
// `session`, message type 0. CORE_OK; CORE_ERR_INVALID for a NULL argument,
// an unknown code, a forward payload above FLOWMESH_CONTROL_FORWARD_MAX or a
// key whose kind and length disagree; otherwise core_tlv_send's result
// (CORE_ERR_NO_SPACE when the writer has no room).
CoreResult flowmesh_control_send(CoreChannel *writer, const CoreName *session, const FlowmeshControlMessage *message);

// Checks `record` against the head and its code's schema and fills *out.
// CORE_OK for a known code whose record is exactly its schema, and for an
// unknown code with a sound head (the receiver ignores it); CORE_ERR_INVALID
// for anything else: a missing, extra or retyped item, a wrong item length,
// a total that is not the values' sum, a forward length other than its
// blob's, or a stream key whose length is not 16 or 32, not its blob's, or
// not its kind's.
CoreResult flowmesh_control_parse(const FlowmeshTlvRecord *record, FlowmeshControlMessage *out);
