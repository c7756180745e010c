// Helpers shared by the playback window's source files (playback_window*.cpp);
// nothing else includes this header.
//
// Threads: the GTK main loop, except pk_playback_now_ms and
// pk_playback_mode_complete, which keep no state. pk_playback_control sends
// nothing while the engine's node or session is missing and reports nothing
// either way.
#pragma once

#include <cstdint>
#include <string>

#include "services/remote_nodes.h"
#include "services/utils.h"

// The base runtime's monotonic clock in milliseconds.
int64_t pk_playback_now_ms();
// All four fields set (neither 0 nor all ones).
bool pk_playback_mode_complete(const PkVideoMode &mode);
// The peer's display name followed by its " (N)" suffix.
std::string pk_playback_peer_name(const PkSession &session);
// One control request without an answer to the engine's control service.
void pk_playback_control(uint32_t code, const void *request, uint64_t length);
