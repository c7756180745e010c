// The paced stream's reassembly against arbitrary opened datagrams.
//
// Input: one mode byte, then records of 10 bytes each followed by their
// payload: u16 message number, u32 message total, u16 sequence number,
// u16 payload length (taken modulo 1409), all big-endian; the payload
// bytes follow (zeros where the input ends). Mode bit 0 folds totals below
// 8192 and bit 1 sequence numbers below 64, so that whole messages, gaps
// and evictions are within the fuzzer's reach. Opening is fuzzed on its
// own (datagram_open_fuzz); these headers are what an opened datagram can
// hold. Besides surviving, the receiver must deliver only messages of the
// length their datagrams announced, never hold more in a slot than its
// message has, and free everything when cleared (LeakSanitizer).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "flowmesh/paced.h"

namespace {

void require(bool ok)
{
    if (!ok) abort();
}

constexpr size_t kRecordHead = 10;

void check_slots(const FlowmeshPacedReceiver &receiver)
{
    for (const FlowmeshReassembly &slot : receiver.slots) {
        if (slot.key == 0) {
            require(slot.datagrams == 0 && slot.bytes == 0);
            continue;
        }
        require(slot.expected > 0 && slot.expected <= FLOWMESH_PACED_MESSAGE_MAX);
        require(slot.bytes < slot.expected);
        require(slot.datagrams <= (slot.expected + FLOWMESH_PAYLOAD_MAX - 1) / FLOWMESH_PAYLOAD_MAX);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    FlowmeshPacedReceiver receiver;
    flowmesh_paced_receiver_init(&receiver);
    size_t at = 1;
    while (at + kRecordHead <= size) {
        const uint8_t *r = data + at;
        FlowmeshPacketHeader header = {};
        const uint16_t number = flowmesh_get_be16(r);
        uint32_t total = flowmesh_get_be32(r + 2);
        if (mode & 1) total %= 8192;
        header.sequence = flowmesh_get_be16(r + 6);
        if (mode & 2) header.sequence %= 64;
        const uint64_t length = flowmesh_get_be16(r + 8) % (FLOWMESH_PAYLOAD_MAX + 1);
        flowmesh_put_be32(header.specific, total);
        flowmesh_put_be16(header.specific + 4, number);
        at += kRecordHead;

        // Exactly the payload's bytes on the heap: a read past them is a
        // crash.
        std::unique_ptr<uint8_t[]> payload(new uint8_t[length > 0 ? length : 1]());
        const size_t available = size - at < length ? size - at : length;
        memcpy(payload.get(), data + at, available);
        at += available;

        FlowmeshPacedMessage message;
        const CoreResult result = flowmesh_paced_on_datagram(&receiver, &header, payload.get(), length, &message);
        require(result == CORE_OK || result == CORE_DONE || result == CORE_ERR_REFUSED ||
                result == CORE_ERR_NO_SPACE);
        if (result == CORE_DONE) {
            require(message.data != nullptr && message.length == total && message.number == number);
            // Every byte of the message is readable.
            uint8_t sum = 0;
            for (uint64_t i = 0; i < message.length; ++i) sum ^= message.data[i];
            (void)sum;
        } else {
            require(message.data == nullptr && message.length == 0);
        }
        flowmesh_paced_message_free(&message);
        check_slots(receiver);
    }
    flowmesh_paced_receiver_clear(&receiver);
    for (const FlowmeshReassembly &slot : receiver.slots) require(slot.key == 0 && slot.datagrams == 0);
    return 0;
}
