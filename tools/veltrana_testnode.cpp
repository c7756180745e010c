// Test node: one network engine in the network namespace it is started in,
// for tests that put nodes into namespaces of their own. Every event is one
// JSON line on stdout; commands come one per line on stdin:
//
//   peer ADDRESS:PORT             seed a peer for that data address
//   send ADDRESS:PORT LENGTH [N]  send N datagrams of LENGTH bytes to it
//   counters                      print the data-path counters
//   connect ADDRESS:PORT          direct mode: connect to that data address
//   connect_state                 print the engine's connect state
//   quit                          stop the engine and exit
//
// Peer events print the peer's data address; "ready" also prints the
// session key's length and its SHA-256 fingerprint, never the key.
//
// With --sessions the node runs the whole network core instead, with its
// sessions and streams; testnode_sessions.h lists that mode's commands.
//
// LAN discovery broadcasts on every adapter the node finds, so the tool
// refuses it in the machine's own network namespace unless
// --allow-root-namespace is given. Exit codes: 0 after quit or end
// of input, 1 when the engine does not start, 2 for refused options.
#include <arpa/inet.h>
#include <dirent.h>
#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/handle.h"
#include "core/sha256.h"
#include "core/store.h"
#include "core/system.h"
#include "flowmesh/direct.h"
#include "flowmesh/engine.h"
#include "flowmesh/instance.h"
#include "flowmesh/peer.h"
#include "testnode_common.h"
#include "testnode_sessions.h"

namespace {

using testnode::address_text;
using testnode::emit;
using testnode::hex_of;
using testnode::parse_endpoint;

int on_status(const CoreName *reporter, uint32_t code, uint32_t, const void *data, uint64_t length, void *)
{
    const char *names[] = {"adapter_started", "adapter_stopped", "status_2", "link_down", "link_up"};
    const char *name = code < 5 ? names[code] : "status";
    char reporter_hex[17];
    core_name_to_hex(reporter->key, reporter_hex, sizeof(reporter_hex));
    if (data != nullptr && length == sizeof(CoreNetAdapter)) {
        const auto *adapter = static_cast<const CoreNetAdapter *>(data);
        emit("{\"event\":\"%s\",\"address\":\"%s\",\"port\":%u,\"id\":\"%.32s\",\"reporter\":\"%s\"}", name,
             address_text(adapter->address.address).c_str(), ntohs(adapter->address.port), adapter->id, reporter_hex);
    } else {
        emit("{\"event\":\"%s\",\"reporter\":\"%s\"}", name, reporter_hex);
    }
    return 0;
}

int on_peer(const CoreName *, uint32_t code, uint32_t value, const void *data, uint64_t length, void *)
{
    const char *names[] = {"offered", "appeared", "ready", "gone"};
    const char *name = code < 4 ? names[code] : "peer";
    if ((code == FLOWMESH_PEER_APPEARED && length >= sizeof(FlowmeshPeerRecord)) ||
        (code == FLOWMESH_PEER_READY && length >= sizeof(FlowmeshPeerReadyRecord))) {
        const auto *record = static_cast<const FlowmeshPeerRecord *>(data);
        std::string extra;
        if (code == FLOWMESH_PEER_READY) {
            const FlowmeshKeyBlob &key = static_cast<const FlowmeshPeerReadyRecord *>(data)->key;
            const uint64_t key_length = key.length <= sizeof(key.key) ? key.length : 0;
            extra = ",\"key_kind\":" + std::to_string(key.kind) + ",\"key_length\":" + std::to_string(key_length) +
                    ",\"fingerprint\":\"" + testnode::sha_hex(key.key, key_length, 32) + "\"";
        }
        emit("{\"event\":\"%s\",\"peer\":\"%s:%u\",\"key_receiver\":%u,\"identity\":\"%s\"%s}", name,
             address_text(record->address).c_str(), ntohs(record->port), value,
             hex_of(record->identity.key, 8).c_str(), extra.c_str());
    } else if (code == FLOWMESH_PEER_GONE && length >= 6) {
        uint32_t address;
        uint16_t port;
        memcpy(&address, data, 4);
        memcpy(&port, static_cast<const uint8_t *>(data) + 4, 2);
        emit("{\"event\":\"%s\",\"peer\":\"%s:%u\"}", name, address_text(address).c_str(), ntohs(port));
    } else {
        emit("{\"event\":\"%s\",\"value\":%u,\"length\":%llu}", name, value,
             static_cast<unsigned long long>(length));
    }
    return 0;
}

int on_datagram(const CoreQueueEntry *records, uint64_t count, void *, uint64_t)
{
    if (count == 0) return 0;
    uint64_t bytes = 0;
    for (uint64_t i = 0; i < count; ++i) bytes += records[i].length - FLOWMESH_RECORD_HEAD;
    emit("{\"event\":\"datagrams\",\"from\":\"%s:%u\",\"count\":%llu,\"bytes\":%llu}",
         address_text(records[0].type).c_str(), ntohs(static_cast<uint16_t>(records[0].flags)),
         static_cast<unsigned long long>(count), static_cast<unsigned long long>(bytes));
    return 0;
}

// Whether this process may be in the machine's own network namespace. A
// namespace that `ip netns` made (bound under /var/run/netns) is not; else
// PID 1's namespace is the machine's. When neither can be told, the answer
// is yes: refusing is the safe side.
bool in_root_namespace()
{
    struct stat own = {};
    if (stat("/proc/self/ns/net", &own) != 0) return true;
    if (DIR *dir = opendir("/var/run/netns")) {
        bool named = false;
        while (dirent *entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            struct stat other = {};
            const std::string path = std::string("/var/run/netns/") + entry->d_name;
            if (stat(path.c_str(), &other) == 0 && other.st_ino == own.st_ino && other.st_dev == own.st_dev)
                named = true;
        }
        closedir(dir);
        if (named) return false;
    }
    struct stat init = {};
    if (stat("/proc/1/ns/net", &init) != 0) return true;
    return own.st_ino == init.st_ino && own.st_dev == init.st_dev;
}

struct Options {
    uint32_t mode = FLOWMESH_MODE_LAN;
    uint16_t base_port = 60149;
    uint16_t second_port = 0;
    int32_t adapter_index = -1;
    const char *adapter = nullptr;
    bool allow_root = false;
    uint32_t monitor_ms = 0;
    uint32_t key_options = FLOWMESH_KEYS_128 | FLOWMESH_KEYS_256;
    uint32_t announce_mode = 1;
    const char *system_name = "veltrana.testnode";
    const char *node = "testnode";
    bool sessions = false;
};

void usage(FILE *out)
{
    fprintf(out,
            "usage: veltrana-testnode [--mode lan|direct] [--base-port N] [--second-port N]\n"
            "                         [--adapter-index N] [--adapter ID] [--monitor-ms N]\n"
            "                         [--key-options 1-3] [--announce-mode N] [--system NAME]\n"
            "                         [--allow-root-namespace] [--sessions] [--node NAME]\n");
}

bool parse(int argc, char **argv, Options *o)
{
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto number = [&](long low, long high, long *out) {
            if (value == nullptr) return false;
            char *end = nullptr;
            *out = strtol(value, &end, 10);
            ++i;
            return *end == '\0' && *out >= low && *out <= high;
        };
        long n = 0;
        if (strcmp(arg, "--mode") == 0 && value != nullptr) {
            ++i;
            if (strcmp(value, "lan") == 0)
                o->mode = FLOWMESH_MODE_LAN;
            else if (strcmp(value, "direct") == 0)
                o->mode = FLOWMESH_MODE_DIRECT;
            else
                return false;
        } else if (strcmp(arg, "--base-port") == 0) {
            if (!number(1, 65535, &n)) return false;
            o->base_port = static_cast<uint16_t>(n);
        } else if (strcmp(arg, "--second-port") == 0) {
            if (!number(0, 65535, &n)) return false;
            o->second_port = static_cast<uint16_t>(n);
        } else if (strcmp(arg, "--adapter-index") == 0) {
            if (!number(-1, 1000, &n)) return false;
            o->adapter_index = static_cast<int32_t>(n);
        } else if (strcmp(arg, "--adapter") == 0 && value != nullptr) {
            o->adapter = value;
            ++i;
        } else if (strcmp(arg, "--monitor-ms") == 0) {
            if (!number(1, 3600000, &n)) return false;
            o->monitor_ms = static_cast<uint32_t>(n);
        } else if (strcmp(arg, "--key-options") == 0) {
            if (!number(1, 3, &n)) return false;
            o->key_options = static_cast<uint32_t>(n);
        } else if (strcmp(arg, "--announce-mode") == 0) {
            if (!number(0, 255, &n)) return false;
            o->announce_mode = static_cast<uint32_t>(n);
        } else if (strcmp(arg, "--system") == 0 && value != nullptr) {
            o->system_name = value;
            ++i;
        } else if (strcmp(arg, "--allow-root-namespace") == 0) {
            o->allow_root = true;
        } else if (strcmp(arg, "--sessions") == 0) {
            o->sessions = true;
        } else if (strcmp(arg, "--node") == 0 && value != nullptr) {
            o->node = value;
            ++i;
        } else {
            return false;
        }
    }
    return true;
}

std::vector<FlowmeshAdapterInstance *> instances_of(FlowmeshEngine *engine)
{
    std::vector<FlowmeshAdapterInstance *> out;
    for (CoreStoreItem *item = core_store_first(engine->instances); item != nullptr;
         item = core_store_next(engine->instances, item, 1))
        out.push_back(flowmesh_engine_instance_of(item));
    return out;
}

void command_peer(FlowmeshEngine *engine, const char *text)
{
    CoreUdpAddr address;
    if (!parse_endpoint(text, &address)) {
        emit("{\"event\":\"error\",\"reason\":\"bad endpoint\"}");
        return;
    }
    // Each instance gets the peer: the engine sends through the first one
    // that has it, and a datagram arrives on the instance it was sent to.
    FlowmeshPeerInit init = {};
    memcpy(init.identity.key, &address.address, 4);
    memcpy(init.identity.key + 4, &address.port, 2);
    core_name_make(&init.identity);
    init.data_address = init.announced = address;
    int added = 0;
    for (FlowmeshAdapterInstance *instance : instances_of(engine))
        added += instance != nullptr && flowmesh_peer_insert(instance, &init) == CORE_OK;
    emit("{\"event\":\"peer_added\",\"peer\":\"%s\",\"instances\":%d}", text, added);
}

void command_send(uint64_t handle, const char *text)
{
    char endpoint[80];
    unsigned length = 0, count = 1;
    CoreUdpAddr address;
    if (sscanf(text, "%79s %u %u", endpoint, &length, &count) < 2 || !parse_endpoint(endpoint, &address) ||
        length == 0 || length > FLOWMESH_DATAGRAM_MAX || count == 0 || count > 100000) {
        emit("{\"event\":\"error\",\"reason\":\"bad send\"}");
        return;
    }
    std::vector<uint8_t> payload(length, 0x5A);
    CoreQueueEntry record = {{}, address.address, address.port, length, payload.data()};
    FlowmeshEngineContext context = {core_handle_tables[CORE_HANDLES_NETWORK], handle};
    unsigned failed = 0;
    for (unsigned i = 0; i < count; ++i) {
        if (length >= 4) flowmesh_put_be32(payload.data(), i);
        failed += flowmesh_engine_send(0, &record, 1, &context) != 0;
    }
    emit("{\"event\":\"sent\",\"to\":\"%s\",\"count\":%u,\"failed\":%u}", endpoint, count, failed);
}

void command_counters(FlowmeshEngine *engine)
{
    for (FlowmeshAdapterInstance *instance : instances_of(engine)) {
        if (instance == nullptr) continue;
        const FlowmeshInstanceCounters c = flowmesh_instance_counters(instance);
        emit("{\"event\":\"counters\",\"address\":\"%s\",\"port\":%u,\"received\":%llu,\"oversized\":%llu,"
             "\"empty\":%llu,\"ring_full\":%llu,\"queue_full\":%llu,\"routed\":%llu,\"unrouted\":%llu,"
             "\"sent\":%llu,\"send_tolerated\":%llu}",
             address_text(instance->adapter.address.address).c_str(), ntohs(instance->adapter.address.port),
             (unsigned long long)c.received, (unsigned long long)c.dropped_oversized,
             (unsigned long long)c.dropped_empty, (unsigned long long)c.dropped_ring_full,
             (unsigned long long)c.dropped_queue, (unsigned long long)c.routed, (unsigned long long)c.unrouted,
             (unsigned long long)c.sent, (unsigned long long)c.send_tolerated);
    }
}

void command_connect(uint64_t handle, const char *text)
{
    CoreUdpAddr address;
    if (!parse_endpoint(text, &address)) {
        emit("{\"event\":\"error\",\"reason\":\"bad endpoint\"}");
        return;
    }
    emit("{\"event\":\"connect\",\"to\":\"%s\",\"result\":%d}", text, flowmesh_engine_connect(handle, &address));
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parse(argc, argv, &options)) {
        usage(stderr);
        return 2;
    }
    if (options.mode == FLOWMESH_MODE_LAN && !options.allow_root && in_root_namespace()) {
        fprintf(stderr, "veltrana-testnode: LAN discovery in the machine's own network namespace would broadcast "
                        "on its real interfaces; run in a namespace or pass --allow-root-namespace\n");
        return 2;
    }
    if (core_system_start(0) != CORE_OK) {
        core_system_stop();
        fprintf(stderr, "veltrana-testnode: the base runtime did not start\n");
        return 1;
    }
    if (options.monitor_ms != 0) {
        FlowmeshEngineTiming timing = {};
        timing.monitor_period_ms = options.monitor_ms;
        timing.monitor_step_ms = options.monitor_ms < 100 ? options.monitor_ms : 100;
        flowmesh_engine_test_set_timing(&timing);
    }

    FlowmeshEngineConfig config = {};
    FlowmeshConfig &c = config.configuration;
    c.base_port = options.base_port;
    c.second_port = options.second_port;
    c.adapter_index = options.adapter_index;
    c.flags = FLOWMESH_ROLE_IDENTITY | FLOWMESH_ROLE_KEY | options.mode;
    c.key_options = options.key_options;
    c.announce_mode = options.announce_mode;
    if (options.adapter != nullptr) snprintf(c.adapters[0].id, sizeof(c.adapters[0].id), "%s", options.adapter);
    core_name_format(&c.system_name, "%.32s", options.system_name);
    core_name_format(&c.user_id, "testnode");
    core_name_format(&c.node_id, "%.32s", options.node);
    if (options.sessions) {
        const int code = testnode_run_sessions(&c);
        core_system_stop();
        return code;
    }
    config.status = on_status;
    config.peer = on_peer;
    config.datagram = on_datagram;

    const uint64_t handle = flowmesh_engine_create(&config);
    if (handle == 0) {
        emit("{\"event\":\"error\",\"reason\":\"the engine did not start\"}");
        core_system_stop();
        return 1;
    }
    CoreHandleTable *table = core_handle_tables[CORE_HANDLES_NETWORK];
    auto *engine = static_cast<FlowmeshEngine *>(core_handle_acquire(table, handle));
    emit("{\"event\":\"started\",\"instances\":%zu}", instances_of(engine).size());

    char line[512];
    while (fgets(line, sizeof(line), stdin) != nullptr) {
        line[strcspn(line, "\r\n")] = '\0';
        if (strcmp(line, "quit") == 0) break;
        if (strncmp(line, "peer ", 5) == 0)
            command_peer(engine, line + 5);
        else if (strncmp(line, "send ", 5) == 0)
            command_send(handle, line + 5);
        else if (strcmp(line, "counters") == 0)
            command_counters(engine);
        else if (strncmp(line, "connect ", 8) == 0)
            command_connect(handle, line + 8);
        else if (strcmp(line, "connect_state") == 0)
            emit("{\"event\":\"connect_state\",\"state\":%d}", engine->connect_state.load());
        else if (line[0] != '\0')
            emit("{\"event\":\"error\",\"reason\":\"unknown command\"}");
    }
    core_handle_release(table, handle);
    flowmesh_engine_close(handle);
    emit("{\"event\":\"stopped\"}");
    core_system_stop();
    return 0;
}
