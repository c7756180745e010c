// Discovery announcements: the 32-byte broadcast identity of a discovery
// socket, and the check a receiver makes before it believes one.
//
// Only a node built with the same seed constants and discovery salt table
// can produce the identity for a given {address, port}, so a receiver
// accepts an announcement only when it recomputes the same bytes from the
// address the datagram came from. Pure functions of their arguments and the
// fixed key material: the discovery loop of every adapter instance calls
// them at the same time. netcrypto_check_announcement returns CORE_OK for a
// valid foreign announcement, CORE_DONE for the instance's own (broadcasts
// loop back) and CORE_ERR for anything else.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "core/udp.h"

#define NETCRYPTO_ANNOUNCEMENT_SIZE 32
// The hashed message: the 32-byte seed, then the discovery salt table.
#define NETCRYPTO_ANNOUNCE_SEED_SIZE 32

// The broadcast identity of a discovery socket bound to `address` (both
// fields in network order): SHA-256 over the seed {IPv4, port, the ten seed
// bytes, the seed constant} followed by the discovery salt table.
void netcrypto_broadcast_identity(const CoreUdpAddr *address, uint8_t out[NETCRYPTO_ANNOUNCEMENT_SIZE]);

// Judges a datagram from `source` as an announcement: any length but 32 is
// refused; bytes equal to `own` (the instance's broadcast identity) are
// CORE_DONE; otherwise CORE_OK only when they equal the identity recomputed
// for `source`.
CoreResult netcrypto_check_announcement(const uint8_t own[NETCRYPTO_ANNOUNCEMENT_SIZE], const CoreUdpAddr *source,
                                        const uint8_t *data, uint64_t length);
