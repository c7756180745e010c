#include "core/adapters.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "core/log.h"
#include "core/names.h"

namespace {

// What getifaddrs tells about one interface; it lists each interface once
// for its link (AF_PACKET) and once per address.
struct Interface {
    std::string name;
    unsigned flags = 0;
    bool have_link = false;
    uint32_t arphrd = 0;
    uint8_t hardware[6] = {};
    bool have_ipv4 = false;
    uint32_t address = 0;
    uint32_t mask = 0;
};

// An address with a label ("eth0:1") belongs to the interface before the colon.
std::string base_name(const char *name)
{
    const char *colon = strchr(name, ':');
    return colon ? std::string(name, static_cast<size_t>(colon - name)) : std::string(name);
}

Interface &find_or_add(std::vector<Interface> &list, const std::string &name)
{
    for (Interface &i : list)
        if (i.name == name) return i;
    list.emplace_back();
    list.back().name = name;
    return list.back();
}

bool sys_exists(const std::string &name, const char *leaf)
{
    struct stat st;
    return stat(("/sys/class/net/" + name + "/" + leaf).c_str(), &st) == 0;
}

// Only for an interface getifaddrs gave no link entry for; the link entry's
// hardware type is read in the caller's own namespace, /sys in the one it
// was mounted in.
uint32_t sys_arphrd(const std::string &name)
{
    FILE *f = fopen(("/sys/class/net/" + name + "/type").c_str(), "r");
    if (f == nullptr) return ARPHRD_VOID;
    unsigned value = ARPHRD_VOID;
    if (fscanf(f, "%u", &value) != 1) value = ARPHRD_VOID;
    fclose(f);
    return value;
}

CoreNetAdapter *make_record(const Interface &i, uint32_t flags, uint32_t address, uint32_t mask)
{
    auto *record = static_cast<CoreNetAdapter *>(calloc(1, sizeof(CoreNetAdapter)));
    if (record == nullptr) return nullptr;
    record->flags = flags;
    record->address.address = address;
    record->mask.address = mask;
    record->broadcast = ~mask | address;
    memcpy(record->hardware, i.hardware, sizeof(record->hardware));
    // Names are unique within a namespace and at most 15 bytes, so 16 bytes
    // of hex (32 digits) identify the interface and stay the same across runs.
    uint8_t key[CORE_NAME_KEY_SIZE] = {};
    memcpy(key, i.name.data(), i.name.size() < 16 ? i.name.size() : 16);
    core_name_to_hex(key, record->id, 33);
    snprintf(record->description, sizeof(record->description), "%s", i.name.c_str());
    return record;
}

}  // namespace

uint32_t core_adapter_iftype(uint32_t arphrd, bool wireless)
{
    switch (arphrd) {
    case ARPHRD_ETHER:
    case ARPHRD_IEEE802:
        return wireless ? CORE_IFTYPE_WIRELESS : CORE_IFTYPE_ETHERNET;
    case ARPHRD_IEEE802_TR:
        return CORE_IFTYPE_TOKEN_RING;
    case ARPHRD_FDDI:
        return CORE_IFTYPE_FDDI;
    case ARPHRD_PPP:
        return CORE_IFTYPE_PPP;
    case ARPHRD_LOOPBACK:
        return CORE_IFTYPE_LOOPBACK;
    case ARPHRD_IEEE80211:
    case ARPHRD_IEEE80211_PRISM:
    case ARPHRD_IEEE80211_RADIOTAP:
        return CORE_IFTYPE_WIRELESS;
    default:
        return CORE_IFTYPE_OTHER;
    }
}

uint32_t core_adapter_flags(uint32_t address, const uint8_t hardware[6], uint32_t iftype)
{
    uint32_t flags = 0;
    if (address != 0) flags |= CORE_ADAPTER_HAS_IPV4;
    for (int b = 0; b < 6; ++b)
        if (hardware[b] != 0) flags |= CORE_ADAPTER_HAS_MAC;
    switch (iftype) {
    case CORE_IFTYPE_LOOPBACK:
        flags |= CORE_ADAPTER_LOOPBACK | CORE_ADAPTER_LAN;
        break;
    case CORE_IFTYPE_ETHERNET:
    case CORE_IFTYPE_TOKEN_RING:
    case CORE_IFTYPE_FDDI:
    case CORE_IFTYPE_WIRELESS:
        flags |= CORE_ADAPTER_LAN;
        break;
    case CORE_IFTYPE_PPP:
        flags |= CORE_ADAPTER_PPP;
        break;
    default:
        break;
    }
    return flags;
}

CoreResult core_net_adapters(CoreNetAdapter **out, uint32_t required)
{
    if (out == nullptr) return CORE_FAIL;
    *out = nullptr;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        core_log(CORE_LOG_WARN, "adapters", "getifaddrs failed (errno %d)", errno);
        return CORE_FAIL;
    }

    CoreNetAdapter *head = nullptr;
    CoreNetAdapter **tail = &head;
    try {
        std::vector<Interface> interfaces;
        for (ifaddrs *a = list; a != nullptr; a = a->ifa_next) {
            if (a->ifa_name == nullptr || a->ifa_addr == nullptr) continue;
            int family = a->ifa_addr->sa_family;
            if (family != AF_PACKET && family != AF_INET) continue;
            Interface &i = find_or_add(interfaces, base_name(a->ifa_name));
            if (family == AF_PACKET) {
                const auto *link = reinterpret_cast<const sockaddr_ll *>(a->ifa_addr);
                i.have_link = true;
                i.flags = a->ifa_flags;
                i.arphrd = link->sll_hatype;
                size_t n = link->sll_halen < sizeof(i.hardware) ? link->sll_halen : sizeof(i.hardware);
                memcpy(i.hardware, link->sll_addr, n);
            } else if (!i.have_ipv4) {
                i.have_ipv4 = true;
                if (!i.have_link) i.flags = a->ifa_flags;
                i.address = reinterpret_cast<const sockaddr_in *>(a->ifa_addr)->sin_addr.s_addr;
                if (a->ifa_netmask != nullptr)
                    i.mask = reinterpret_cast<const sockaddr_in *>(a->ifa_netmask)->sin_addr.s_addr;
            }
        }

        for (const Interface &i : interfaces) {
            uint32_t arphrd = i.have_link ? i.arphrd : sys_arphrd(i.name);
            bool wireless = (arphrd == ARPHRD_ETHER) && (sys_exists(i.name, "wireless") || sys_exists(i.name, "phy80211"));
            uint32_t iftype = core_adapter_iftype(arphrd, wireless);
            bool usable = i.have_ipv4 && (i.flags & IFF_UP) && (i.flags & IFF_RUNNING);
            uint32_t address = usable ? i.address : 0;
            uint32_t mask = usable ? i.mask : 0;
            uint32_t flags = core_adapter_flags(address, i.hardware, iftype);
            if ((flags & required) != required) continue;
            if ((flags & CORE_ADAPTER_LOOPBACK) && !(required & CORE_ADAPTER_LOOPBACK)) continue;
            CoreNetAdapter *record = make_record(i, flags, address, mask);
            if (record == nullptr) throw std::bad_alloc();
            *tail = record;
            tail = &record->next;
        }
    } catch (const std::bad_alloc &) {
        freeifaddrs(list);
        core_net_adapters_free(&head);
        core_log(CORE_LOG_WARN, "adapters", "out of memory while listing adapters");
        return CORE_FAIL;
    }
    freeifaddrs(list);
    *out = head;
    return CORE_OK;
}

void core_net_adapters_free(CoreNetAdapter **chain)
{
    if (chain == nullptr) return;
    CoreNetAdapter *record = *chain;
    while (record != nullptr) {
        CoreNetAdapter *next = record->next;
        free(record);
        record = next;
    }
    *chain = nullptr;
}
