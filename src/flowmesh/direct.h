// Direct mode's connect machine: a node told an address connects to it
// without any announcement. The engine's connect state (engine.h) and
// connect target are this module's; the connecting side (role bit 1) sends
// its direct identity block to the target every 500 ms until a peer for the
// target exists or 10 s have passed, and the answering side sends each
// unconfirmed direct-form peer its key message every 500 ms until the core
// confirms it or 10 s after the peer was made. Both run on one connector
// thread per engine, started by the engine in direct mode and joined by
// flowmesh_engine_stop.
//
// flowmesh_engine_connect is called by the core's users from any thread;
// flowmesh_direct_expects_key by an instance's dispatch consumer before it
// lets the RSA work of a key message begin.
//
// Results: CoreResult codes as stated; every refused connect except -92
// and an unknown engine also reports FLOWMESH_PEER_GONE with the target
// (an empty reporter name), so the caller learns the outcome one way.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "core/udp.h"

struct FlowmeshAdapterInstance;
struct FlowmeshEngine;

#define FLOWMESH_CONNECT_SLOT_MS 500
#define FLOWMESH_CONNECT_DEADLINE_MS 10000
#define FLOWMESH_CONNECTOR_STEP_MS 100

// Starts a connect to `target` (network order). 0 taken; CORE_ERR_BUSY
// (-79) while another connect is under way (that one goes on);
// CORE_ERR_STATE (-92) outside direct mode with role bit 1;
// CORE_ERR_INVALID (-91) without a target; CORE_ERR (-100) for an unknown
// engine or when no instance can serve the target.
CoreResult flowmesh_engine_connect(uint64_t handle, const CoreUdpAddr *target);

// The connector thread; args[0] is the engine handle. It holds a reference
// while it runs and ends within 100 ms of running being cleared.
int flowmesh_direct_connector(void **args);

// Whether a direct-form key message from `source` may be opened: only
// while this instance's engine is connecting, and only from its connect
// target. Anyone else would make the node decrypt RSA for nothing.
bool flowmesh_direct_expects_key(FlowmeshAdapterInstance *instance, const CoreUdpAddr *source);
