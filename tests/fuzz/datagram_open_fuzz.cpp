// Opening stream datagrams against arbitrary peer bytes.
//
// Input: the first byte chooses how the rest reaches the opener. Bit 0
// clear: the rest is the wire as received. Bit 0 set: the rest is a plain
// datagram, sealed here block by block first, so that the fuzzer steers
// the header fields past the cipher instead of guessing ciphertext. Bit 1
// turns the flag check on (both flag sets known). Besides surviving, an
// accepted datagram must describe itself exactly: its length field gives
// the wire length it came in, its ids are the stream's, its flags the
// peer's; and the opener writes no byte past the real payload's blocks.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "flowmesh/datagram.h"

namespace {

void require(bool ok)
{
    if (!ok) abort();
}

struct Keys {
    CoreAesKey *header;
    CoreAesKey *payload;
};

const Keys &keys()
{
    static const Keys k = [] {
        uint8_t h[16], p[32];
        for (int i = 0; i < 32; ++i) {
            if (i < 16) h[i] = static_cast<uint8_t>(0xA0 + i);
            p[i] = static_cast<uint8_t>(0x10 + 3 * i);
        }
        return Keys{core_aes_create(h, sizeof(h)), core_aes_create(p, sizeof(p))};
    }();
    return k;
}

constexpr uint16_t kLocal = 0x0101;
constexpr uint16_t kPeer = 0x8001;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    const size_t length = size - 1;
    // Exactly the input's bytes on the heap: a read past them is a crash.
    std::unique_ptr<uint8_t[]> wire(new uint8_t[length > 0 ? length : 1]);
    if (length > 0) memcpy(wire.get(), data + 1, length);
    if (mode & 1) {
        const size_t head = length < FLOWMESH_HEADER_SIZE ? 0 : FLOWMESH_HEADER_SIZE;
        if (head > 0) require(core_aes_encrypt(keys().header, wire.get(), wire.get(), head) == CORE_OK);
        const size_t blocks = (length - head) / 16 * 16;
        if (blocks > 0) require(core_aes_encrypt(keys().payload, wire.get() + head, wire.get() + head, blocks) == CORE_OK);
    }
    const FlowmeshOpenRules rules = {kLocal, kPeer, static_cast<uint16_t>(mode & 2 ? FLOWMESH_FLAG_SET_MEDIA : 0),
                                     FLOWMESH_FLAG_SET_MEDIA};

    // The payload buffer is exactly 1408 bytes, and poisoned past the
    // blocks the opener may write, by being a separate allocation.
    std::unique_ptr<uint8_t[]> payload(new uint8_t[FLOWMESH_PAYLOAD_MAX]);
    FlowmeshPacketHeader header;
    uint64_t n = 0;
    const CoreResult result =
        flowmesh_datagram_open(keys().header, keys().payload, &rules, wire.get(), length, &header, payload.get(), &n);
    require(result == CORE_OK || result == CORE_ERR);
    if (result != CORE_OK) {
        require(n == 0);
        return 0;
    }
    require(header.length == FLOWMESH_HEADER_SIZE + n);
    require(flowmesh_wire_length(n) == static_cast<int64_t>(length));
    require(header.destination == kLocal);
    require(static_cast<uint16_t>(header.token ^ header.check) == kPeer);
    if (mode & 2) require((header.flags & ~FLOWMESH_FLAG_SET_MEDIA) == 0);

    uint16_t destination = 0, source = 0;
    require(flowmesh_datagram_ids(keys().header, wire.get(), length, &destination, &source) == CORE_OK);
    require(destination == kLocal && source == kPeer);
    return 0;
}
