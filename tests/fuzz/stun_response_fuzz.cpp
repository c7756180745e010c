// STUN responses against arbitrary server bytes.
//
// Input: the first byte picks how the rest is used.
//   even: a whole datagram, applied to a fresh probe as it is;
//   odd:  the same, with bytes 4..19 replaced by an id test (byte / 2) % 5
//         issued, so that the walk's results reach the probe state; the
//         datagram is applied twice, as a repeated answer would be.
// Besides surviving, the probe's pending count stays within 0..4, a
// refused datagram changes nothing, and the walk agrees with apply on
// whether a response is well formed.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "flowmesh/stun.h"

namespace {

void require(bool condition)
{
    if (!condition) abort();
}

void fixed_random(uint8_t *bytes, uint64_t length)
{
    for (uint64_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(0x5A + i);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    std::vector<uint8_t> message(data + 1, data + size);
    FlowmeshStunState state;
    const CoreUdpAddr server = {0x010200C0u, 0x960D};
    flowmesh_stun_state_init(&state, &server, fixed_random);
    if ((mode & 1) && message.size() >= FLOWMESH_STUN_HEADER_BYTES) {
        const int test = (mode >> 1) % FLOWMESH_STUN_TESTS;
        memcpy(message.data() + 4, state.tests[test].request + 4, FLOWMESH_STUN_ID_BYTES);
    }
    FlowmeshStunResponse walked;
    const CoreResult parsed = flowmesh_stun_parse(message.data(), message.size(), &walked);
    require(parsed == CORE_OK || parsed == CORE_ERR_INVALID);
    if (parsed == CORE_OK) require(memchr(walked.server, 0, sizeof(walked.server)) != nullptr);

    for (int round = 0; round < ((mode & 1) ? 2 : 1); ++round) {
        const FlowmeshStunState before = state;
        const CoreResult applied = flowmesh_stun_apply(&state, message.data(), message.size());
        require(applied == CORE_OK || applied == CORE_ERR_INVALID);
        if (parsed != CORE_OK) require(applied == CORE_ERR_INVALID);
        if (applied != CORE_OK) {
            require(state.refused == before.refused + 1);
            require(state.pending == before.pending && state.answered == before.answered);
            for (int t = 0; t < FLOWMESH_STUN_TESTS; ++t) require(state.tests[t].pending == before.tests[t].pending);
        }
        require(state.pending >= 0 && state.pending <= 4);
    }
    return 0;
}
