// The engine node's process-wide pointer and the stream-name test that the
// multimedia framework asks of the engine.
//
// The engine node (its topics, pool and properties) is the root of the
// engine side; at most one runs per process. Its start publishes the node
// pointer with a release store once everything is up and its stop clears it;
// every other thread only reads it, without a lock, to decide whether device
// and pipeline events may be posted at all. engine_stream_name_is_set is a
// pure function for any thread.
#pragma once

#include "core/names.h"

struct EngineNode;

// The running engine node, or NULL while none runs. Acquire load.
EngineNode *engine_node_running(void);

// Publishes the running node (NULL clears it); the engine node's start and
// stop call it, tests stand in for them.
void engine_node_set_running(EngineNode *node);

// False for an all-zero key and for the two unset stream names
// ("stream.FFFFFFFF", "split.stream.FFFFFFFF"); true for every other name.
bool engine_stream_name_is_set(const CoreName *name);
