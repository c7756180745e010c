// The presence-message reader against arbitrary peer bytes (one forwarded
// payload of the service stream). Besides surviving, it must
//   - accept nothing whose length field leaves the bytes it was given or
//     breaks its kind's size;
//   - give back, for an accepted property or marker, exactly what the
//     writer makes of the parsed fields, so nothing it let through was read
//     from outside the message.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/peers.h"

namespace {

void require(bool ok)
{
    if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact copy, so that a read past the end is a reported overflow.
    std::vector<uint8_t> bytes(data, data + size);
    EnginePresenceMessage m;
    const CoreResult r = engine_presence_message_parse(bytes.empty() ? nullptr : bytes.data(), bytes.size(), &m);
    if (r == CORE_NOT_MINE) {
        require(m.length >= 8 && m.length <= size);
        return 0;
    }
    if (r != CORE_OK) {
        require(r == CORE_ERR_INVALID);
        return 0;
    }
    require(m.length >= 8 && m.length <= size);
    std::vector<uint8_t> again(m.length);
    const uint64_t written =
        engine_presence_message_write(m.kind, m.nameKey, m.value, m.valueLength, again.data(), again.size());
    require(written == m.length);
    if (m.kind == ENGINE_PRESENCE_PROPERTY) {
        require(m.valueLength == m.length - ENGINE_PRESENCE_PROPERTY_HEAD);
        require(memcmp(again.data(), bytes.data(), m.length) == 0);
    } else {
        // A marker's last word is not read; the rest must agree.
        require(m.length == ENGINE_PRESENCE_MARKER_SIZE && memcmp(again.data(), bytes.data(), 8) == 0);
    }
    return 0;
}
