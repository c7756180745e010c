// The engine node: the process-wide root of the engine side.
//
// Starting the node starts the base runtime and makes the conduits through
// which every other engine part talks: the command topic (into the engine),
// the event topic (out of it) and the node service notify channel on which
// the peer services answer the engine. The node also keeps its own profile
// properties (user id, status, avatar, ...) that presence announces to
// peers. At most one node runs per process; its pointer is published with a
// release store only once the start has fully succeeded and is read by every
// thread without a lock. The property list has its own lock, and values are
// freed outside it. Start and stop are called from one thread (the engine
// facade's worker); posts, property calls and the running-node test from any
// thread. Results: CORE_OK (0), CORE_FAIL (-1) or CORE_ERR (-100) as each
// function says; posts return the message's sequence number or 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/names.h"
#include "core/result.h"
#include "core/sync.h"

struct CorePool;
struct CoreQueueEntry;

// Fixed names of the node's conduits: the ASCII text is the key.
#define ENGINE_COMMAND_TOPIC "3EE9AA43CAB550BA949DEDF84BE1AB0D"
#define ENGINE_EVENT_TOPIC "DA2C5472A45AEC34C729AAFC6A5B3F30"
#define ENGINE_NODE_SERVICE "B5D88A2CEC701B797C0FB5B0B4CD7150"

// Property names and the values a status may take.
#define ENGINE_PROP_USERID "node.userid.field"
#define ENGINE_PROP_FIRSTNAME "node.firstname.field"
#define ENGINE_PROP_LASTNAME "node.lastname.field"
#define ENGINE_PROP_GENDER "node.gender.field"
#define ENGINE_PROP_BIRTHDAY "node.birthday.field"
#define ENGINE_PROP_DIRECTION "node.binder.direction.field"
#define ENGINE_PROP_STATUS "node.status.field"
#define ENGINE_PROP_AVATAR "node.avatar.field"
#define ENGINE_STATUS_ONLINE "status.online.value"
#define ENGINE_STATUS_AWAY "status.away.value"
#define ENGINE_STATUS_BUSY "status.busy.value"
#define ENGINE_STATUS_OFFLINE "status.offline.value"

// An avatar may be an image; every other property is a short text.
#define ENGINE_PROP_AVATAR_MAX 0x20000u
#define ENGINE_PROP_VALUE_MAX 256u

// A peer as events describe it (raw bytes, 420 of them).
struct EnginePeerRecord {
    CoreName nodeId;       // the peer node's id
    CoreName sessionName;  // the network session; one node over two sessions has two records
    CoreName peerName;     // the peer's name in the network library
    uint32_t address;      // IPv4 as the network library reports it
    uint16_t port;
    uint16_t reserved;     // zero
    uint32_t mode;         // the session's mode word (1 or 2)
};
static_assert(sizeof(EnginePeerRecord) == 420, "peer record travels as 420 raw bytes");

// Header of ENGINE_CMD_NODE_PROPERTY and ENGINE_EVT_PEER_PROPERTY; the value
// bytes follow it, and the message is the header plus `length` bytes. The
// record is zero when a node sets its own property.
struct EngineNodeProperty {
    EnginePeerRecord record;
    CoreName name;
    uint64_t length;
};
static_assert(sizeof(EngineNodeProperty) == 568, "property header is 568 bytes on the topics");
static_assert(offsetof(EngineNodeProperty, length) == 560, "value length sits after 4 bytes of padding");

// One entry of the node's property list; the value is an owned copy.
struct EngineNodePropertyEntry {
    EngineNodePropertyEntry *prev;
    EngineNodePropertyEntry *next;
    CoreName name;
    uint64_t length;
    uint8_t *value;
};

struct EngineNode {
    CorePool *pool;  // CORE_DEFAULT_POOL, taken with a use count
    EngineNodePropertyEntry *first;
    EngineNodePropertyEntry *last;
    uint64_t count;
    uint32_t sealed;  // 1 once sealed: no property can be added
    uint64_t commandSubscription;
    CoreName commandTopic;
    CoreName eventTopic;
    CoreName nodeService;
    CoreLock *lock;  // guards the property list and `sealed`
};

// Starts the base runtime (argument: the default pool's size bound, 0 for
// none) and the node. CORE_OK, or CORE_ERR when a node runs already or a
// step fails (the half-built node is torn down again).
CoreResult engine_node_start(uint64_t argument);

// Tears down a node, whole or half built, and clears *node. The running
// node is unpublished first, so posts made meanwhile return 0.
void engine_node_stop(EngineNode **node);

// Posts `length` bytes of `data` under `code` on the command or event topic.
// The message's sequence number, or 0 when no node runs or the post failed.
// The topic copies the data.
uint64_t engine_post_command(uint32_t code, const void *data, uint64_t length);
uint64_t engine_post_event(uint32_t code, const void *data, uint64_t length);

// Adds a property while the list is open. `name` is cut to 32 bytes.
// CORE_OK, or CORE_FAIL when no node runs, the list is sealed, or the value
// breaks its name's rule.
CoreResult engine_node_property_add(const char *name, const void *value, uint64_t length);

// Seals the list, but only when "node.status.field" holds one of the four
// status values. CORE_OK whether or not it sealed; CORE_FAIL when no node
// runs.
CoreResult engine_node_properties_seal(void);

// Unseals the list so that it can be refilled for the next start; the
// facade calls it after clearing. No-op when `node` is NULL.
void engine_node_properties_unseal(EngineNode *node);

// Removes and frees every property.
void engine_node_properties_clear(EngineNode *node);

// Copies the value of property `key` into `out` (at most `size` bytes) and
// its full length into *length. CORE_OK, or CORE_DONE when there is no such
// property.
CoreResult engine_node_property_get(EngineNode *node, const uint8_t key[CORE_NAME_KEY_SIZE], void *out,
                                    uint64_t size, uint64_t *length);

// The rule a property value must meet: CORE_OK or CORE_FAIL.
CoreResult engine_node_property_check(const uint8_t key[CORE_NAME_KEY_SIZE], const void *value, uint64_t length);

// The command topic's subscriber: replaces the value of a property that
// exists (moving it to the end of the list) and drops everything else.
CoreResult engine_node_on_command(const CoreQueueEntry *message, void **user);

// The running engine node, or NULL while none runs. Acquire load.
EngineNode *engine_node_running(void);

// Publishes the running node (NULL clears it); the node's start and stop
// call it, tests of lower layers stand in for them.
void engine_node_set_running(EngineNode *node);

// False for an all-zero key and for the two unset stream names
// ("stream.FFFFFFFF", "split.stream.FFFFFFFF"); true for every other name.
bool engine_stream_name_is_set(const CoreName *name);
