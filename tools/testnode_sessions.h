// The test node's sessions mode: the whole network core (engine, sessions,
// streams) in the namespace it is started in, driven by commands on stdin,
// events as JSON lines on stdout. Commands act on the node's first live
// session (a namespace test has one peer):
//
//   sessions                      print the live sessions
//   open KIND NAME [MBIT]         open a stream: KIND paced, media or reliable;
//                                 a media stream with MBIT has no rate control
//                                 and that maximum bitrate
//   forward LENGTH                a forward message of LENGTH pattern bytes
//   messages NAME COUNT LENGTH    COUNT numbered messages of LENGTH bytes
//   frames NAME SECONDS           synthetic 30 fps frames (2-200 KB, a key
//                                 frame every 30) for SECONDS
//   blast NAME SECONDS LENGTH     frames of LENGTH as fast as the stream takes
//                                 them, for SECONDS
//   file NAME PATH                the file's bytes on a reliable stream
//   stats NAME                    what arrived on the stream NAME so far
//   close_stream NAME             close the stream
//   block NODE                    deny the node id NODE (its text)
//   disconnect ADDRESS:PORT       close the sessions with that peer
//   quit
//
// Received numbered messages and frames are checked byte for byte against
// the pattern their header names; other data is hashed as it arrives.
// Stream events print the SHA-256 fingerprint of the stream's key, never
// the key.
#pragma once

#include "flowmesh/interface.h"

// Runs until quit or end of input; the exit code. The base runtime is
// started by the caller.
int testnode_run_sessions(const FlowmeshConfig *config);
