#include "engine/node.h"

#include <atomic>
#include <cstring>

namespace {

std::atomic<EngineNode *> g_running_node{nullptr};

}  // namespace

EngineNode *engine_node_running(void) { return g_running_node.load(std::memory_order_acquire); }

void engine_node_set_running(EngineNode *node) { g_running_node.store(node, std::memory_order_release); }

bool engine_stream_name_is_set(const CoreName *name)
{
    if (name == nullptr || core_name_is_empty(name)) return false;
    uint8_t unset[CORE_NAME_KEY_SIZE];
    core_key_format(unset, "stream.%08X", 0xFFFFFFFFu);
    if (memcmp(name->key, unset, CORE_NAME_KEY_SIZE) == 0) return false;
    core_key_format(unset, "split.stream.%08X", 0xFFFFFFFFu);
    return memcmp(name->key, unset, CORE_NAME_KEY_SIZE) != 0;
}
