// Remote nodes as the interface sees them: a PkSession holds one node's ids,
// its published profile fields, the network sessions over which it is
// reached and the channels of a broadcast it offers, and derives from them
// the display name, avatar initials and avatar colour byte that the windows
// show. The settings dialog builds one for the local user from the user id
// alone, so that the user's own avatar follows the same rules.
//
// Threads: the notification centre writes a session on the event worker
// thread; the windows read it on the GTK main thread. Every function below
// takes the session's `mutex` for as long as it reads or writes, so they may
// be called from any thread; a caller that touches the fields directly holds
// `mutex` itself. No other lock is ever taken while it is held.
//
// Peer data is bounded on the way in: pk_session_apply_field refuses (false,
// nothing stored) a value longer than the engine would accept for that field,
// and pk_session_add_channels refuses (false) a channel count above the
// largest broadcast.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "services/buffer.h"
#include "services/display.h"
#include "services/texts.h"

// A broadcast has 4, 8, 16 or 32 channels.
#define PK_SESSION_CHANNELS_MAX 32

// An IPv4 endpoint, both words in network byte order.
struct PkNetAddress {
    uint32_t address = 0;
    uint16_t port = 0;
};

// One network session over which the node is reached.
struct PkSessionAddress {
    PkXID addressId;  // name of the network session
    PkNetAddress endpoint;
};

// One channel of the node's multichannel broadcast.
struct PkSessionChannel {
    PkXID bindSequenceId;  // the broadcast that added the entry
    PkXID channelName;     // key of "p2m.bnd.%08X.chnl"
    uint8_t state = 0;
};

class PkSession {
public:
    // The local user's profile: no node id.
    explicit PkSession(const PkXID &userId);
    // A remote node as the notification centre creates it.
    PkSession(const PkXID &nodeId, const PkXID &userId);

    PkSession(const PkSession &) = delete;
    PkSession &operator=(const PkSession &) = delete;

    // Byte 8 of the MD5 digest of the profile text: picks the avatar colour.
    // 0 when the digest cannot be made.
    uint8_t profileHashByte() const;

    PkXID userId;
    PkXID nodeId;  // key of the notification centre's node list
    std::string gender{PkConstants::kGenderNone};
    std::string birthday{PkConstants::kBirthdayInvalid};
    std::string status{PkConstants::kStatusOffline};  // always one of the four status values
    uint32_t direction = 0;  // flag 0x1 outgoing, flag 0x2 incoming
    PkBuffer avatar;
    std::string nameSuffix;  // empty or " (N)" with N >= 1
    // Every other profile field by the printable text of its key; ordered
    // byte by byte, a key before any longer key it is a prefix of.
    std::map<std::string, std::string, std::less<>> fields;
    std::vector<PkSessionChannel> channels;
    std::vector<PkSessionAddress> addresses;  // no two with the same addressId
    mutable std::mutex mutex;
};

// Stores one profile field under its 32-byte key. False, with nothing
// stored, when the value is longer than the engine accepts for the field.
bool pk_session_apply_field(PkSession &session, const PkXID &key, const PkBuffer &value);

// First name, a blank when the first name is not empty, last name; the
// printable user id when both names are empty.
std::string pk_session_display_name(const PkSession &session);

// Up to two initials, each one whole UTF-8 character ('?' for a byte that
// does not start a valid one): of the first and last name, or, when both are
// empty, of the first and last blank-separated word of the printable user id.
std::string pk_session_initials(const PkSession &session);

// True when appended; false when an entry with the same addressId exists.
bool pk_session_add_address(PkSession &session, const PkSessionAddress &entry);
void pk_session_remove_address(PkSession &session, const PkXID &addressId);
std::vector<PkSessionAddress> pk_session_addresses(const PkSession &session);

// Appends n entries {bindSequenceId, "p2m.bnd.%08X.chnl" of i, state 0} for
// i = 0 .. n-1 after those already present. False, adding nothing, when n
// exceeds PK_SESSION_CHANNELS_MAX.
bool pk_session_add_channels(PkSession &session, uint32_t n, const PkXID &bindSequenceId);
void pk_session_clear_channels(PkSession &session);
std::vector<PkSessionChannel> pk_session_channels(const PkSession &session);

// The text when it is one of the four status values; else "status.offline.value".
std::string pk_status_value_normalize(std::string_view text);
