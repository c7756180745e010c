// Discovery announcements against arbitrary bytes from arbitrary sources.
//
// Input: bytes 0..5 are the source (IPv4, port); byte 6 picks the rest:
//   even: the datagram as it is;
//   odd:  the source's true announcement with the rest XORed over it, so
//         that near-misses of a valid announcement are judged too.
// Besides surviving, the check must accept exactly the 32 bytes recomputed
// for the source, call only the own identity its own, and refuse the rest.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "flowmesh/netcrypto/announce.h"

namespace {

void require(bool condition)
{
    if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 7) return 0;
    CoreUdpAddr source;
    memcpy(&source.address, data, 4);
    memcpy(&source.port, data + 4, 2);
    std::vector<uint8_t> datagram(data + 7, data + size);
    uint8_t genuine[NETCRYPTO_ANNOUNCEMENT_SIZE];
    netcrypto_broadcast_identity(&source, genuine);
    if (data[6] & 1) {
        std::vector<uint8_t> mixed(genuine, genuine + sizeof(genuine));
        for (size_t i = 0; i < datagram.size() && i < mixed.size(); ++i) mixed[i] ^= datagram[i];
        datagram = mixed;
    }
    const CoreUdpAddr own_address = {0x0100007Fu, 0x5AEB};
    uint8_t own[NETCRYPTO_ANNOUNCEMENT_SIZE];
    netcrypto_broadcast_identity(&own_address, own);

    const bool whole = datagram.size() == NETCRYPTO_ANNOUNCEMENT_SIZE;
    const CoreResult result = netcrypto_check_announcement(own, &source, datagram.data(), datagram.size());
    if (!whole) {
        require(result == CORE_ERR);
    } else if (memcmp(datagram.data(), own, sizeof(own)) == 0) {
        require(result == CORE_DONE);
    } else {
        require(result == (memcmp(datagram.data(), genuine, sizeof(genuine)) == 0 ? CORE_OK : CORE_ERR));
    }
    return 0;
}
