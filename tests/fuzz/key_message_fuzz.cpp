// Key messages against arbitrary peer bytes.
//
// Input: the first byte picks what the rest is.
//   0 mod 3: a whole datagram, opened by B in both forms;
//   1 mod 3: a decrypted plaintext, read by B in both forms (no RSA, so the
//            reader gets most of the executions);
//   2 mod 3: a plaintext of up to 208 bytes, sealed to B's key and opened,
//            which must agree with reading the plaintext directly.
// Besides surviving, B must take a key only from a 120- or 136-byte
// plaintext whose kind matches its length, and report the key's length as
// the plaintext's length less 104.
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/crypto.h"
#include "flowmesh/netcrypto/key_message.h"
#include "netcrypto_fuzz_nodes.h"

using namespace netcrypto_fuzz;

namespace {

void check_sender(CoreResult result, const NetcryptoKeySender &sender, uint64_t plaintext_length)
{
    require(result == CORE_OK || result == CORE_DONE || result == CORE_ERR);
    if (result == CORE_OK) {
        require(plaintext_length == 120 || plaintext_length == 136);
        require(sender.key.length == plaintext_length - NETCRYPTO_KEY_PLAIN_HEAD);
        require(sender.key.kind == (sender.key.length == 16 ? NETCRYPTO_KEY_KIND_AES128 : NETCRYPTO_KEY_KIND_AES256));
    } else {
        require(sender.key.length == 0);
    }
}

CoreResult read_plaintext(NetcryptoForm form, const uint8_t *data, size_t size)
{
    const Nodes &n = nodes();
    const std::vector<uint8_t> exact(data, data + size);
    NetcryptoKeySender sender;
    const uint8_t *sender_broadcast = form == NETCRYPTO_DISCOVERY ? n.a.broadcast_identity : nullptr;
    static const uint8_t zero[32] = {};
    const CoreResult result = netcrypto_read_key_message(&n.b, form, sender_broadcast ? sender_broadcast : zero,
                                                         &n.from_a, exact.data(), exact.size(), &sender);
    check_sender(result, sender, size);
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    const Nodes &n = nodes();
    const uint8_t mode = data[0] % 3;
    ++data;
    --size;

    if (mode == 0) {
        const std::vector<uint8_t> message(data, data + size);
        for (NetcryptoForm form : {NETCRYPTO_DISCOVERY, NETCRYPTO_DIRECT}) {
            NetcryptoKeySender sender;
            const CoreResult result =
                netcrypto_open_key_message(&n.b, form, &n.from_a, message.data(), message.size(), &sender);
            require(result == CORE_OK || result == CORE_DONE || result == CORE_ERR);
            if (result == CORE_OK) require(size == NETCRYPTO_KEY_MESSAGE_SIZE);
        }
        return 0;
    }
    if (mode == 1) {
        read_plaintext(NETCRYPTO_DISCOVERY, data, size);
        read_plaintext(NETCRYPTO_DIRECT, data, size);
        return 0;
    }

    if (size > NETCRYPTO_RSA_SIZE - CORE_RSA_CHUNK_MARGIN) return 0;
    std::vector<uint8_t> message(NETCRYPTO_KEY_MESSAGE_SIZE);
    memcpy(message.data(), n.a.broadcast_identity, 32);
    uint64_t cipher_length = NETCRYPTO_RSA_SIZE;
    if (size > 0)
        require(core_rsa_encrypt(n.b.key, message.data() + 32, &cipher_length, data, size) == CORE_OK &&
                cipher_length == NETCRYPTO_RSA_SIZE);
    NetcryptoKeySender sender;
    const CoreResult result =
        netcrypto_open_key_message(&n.b, NETCRYPTO_DISCOVERY, &n.from_a, message.data(), message.size(), &sender);
    if (size > 0) {
        check_sender(result, sender, size);
        require(result == read_plaintext(NETCRYPTO_DISCOVERY, data, size));
    }
    return 0;
}
