// The machine's IPv4 network adapters as the network library sees them.
//
// core_net_adapters reads the interfaces of the calling thread's network
// namespace (getifaddrs) and returns a fresh chain of records that the caller
// owns and frees with core_net_adapters_free. The engine manager and the
// adapter monitor call it from their own threads; it holds no shared state.
//
// An interface counts as having IPv4 only when it is up and running: Linux
// keeps the address on a link that is down, but nothing can be sent or
// received on it, so such an interface is reported with address and mask
// 0.0.0.0. The loopback interface is left out unless the caller requires
// CORE_ADAPTER_LOOPBACK.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "core/udp.h"

enum : uint32_t {
    CORE_ADAPTER_HAS_IPV4 = 0x0D,  // three bits set together
    CORE_ADAPTER_HAS_MAC = 0x02,
    CORE_ADAPTER_LOOPBACK = 0x20,
    CORE_ADAPTER_LAN = 0x40,
    CORE_ADAPTER_PPP = 0x80,
};

// Interface types of the IANA ifType registry; the adapter flags are
// defined over these rather than over the Linux link types.
enum : uint32_t {
    CORE_IFTYPE_OTHER = 1,
    CORE_IFTYPE_ETHERNET = 6,
    CORE_IFTYPE_TOKEN_RING = 9,
    CORE_IFTYPE_FDDI = 15,
    CORE_IFTYPE_PPP = 23,
    CORE_IFTYPE_LOOPBACK = 24,
    CORE_IFTYPE_WIRELESS = 71,
};

struct CoreNetAdapter {
    CoreNetAdapter *next;
    uint32_t flags;         // CORE_ADAPTER_* bits
    CoreUdpAddr address;    // first IPv4 address, port 0
    CoreUdpAddr mask;       // its network mask, port 0
    uint32_t broadcast;     // (NOT mask) OR address, network byte order
    uint8_t hardware[6];    // first six bytes of the hardware address
    char id[64];            // interface name as 32 upper-case hex digits
    char description[64];   // interface name, cut to 63 characters
};

// The chain of adapters whose flags contain all of `required`, in interface
// index order, in *out (NULL when none). CORE_OK, or CORE_FAIL when the
// interfaces cannot be read or memory is short (*out is then NULL).
CoreResult core_net_adapters(CoreNetAdapter **out, uint32_t required);

// Frees a chain from core_net_adapters and clears *chain. NULL is ignored.
void core_net_adapters_free(CoreNetAdapter **chain);

// The flags of an adapter with this IPv4 address (network byte order; 0
// for none), hardware address and ifType.
uint32_t core_adapter_flags(uint32_t address, const uint8_t hardware[6], uint32_t iftype);

// The ifType of a Linux link type (ARPHRD_*); `wireless` tells an 802.11
// interface from wired Ethernet, which share ARPHRD_ETHER.
uint32_t core_adapter_iftype(uint32_t arphrd, bool wireless);
