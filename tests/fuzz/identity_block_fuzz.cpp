// Identity blocks against arbitrary peer bytes.
//
// Input: the first byte picks what the rest is.
//   even: a whole datagram, offered as an identity block in both forms;
//   odd:  a signed part of any length up to 240 bytes, signed with A's key
//         and put into a block with A's public key, so the parser meets
//         valid signatures over contents of the fuzzer's choosing.
// Besides surviving, verification must
//   - accept only 558-byte datagrams, and only signed parts of exactly 72
//     bytes that offer 16-byte keys;
//   - hand out a 2048-bit public key on acceptance and nothing otherwise;
//   - accept a block in the discovery form only for an identity of this
//     system made for the source address.
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/crypto.h"
#include "flowmesh/netcrypto/identity.h"
#include "netcrypto_fuzz_nodes.h"

using namespace netcrypto_fuzz;

namespace {

CoreResult verify(NetcryptoForm form, const uint8_t *data, size_t size)
{
    const Nodes &n = nodes();
    NetcryptoPeerIdentity peer;
    const CoreResult result = netcrypto_verify_identity(&n.b, form, &n.from_a, data, size, &peer);
    require(result == CORE_OK || result == CORE_DONE || result == CORE_ERR);
    if (result == CORE_OK) {
        require(size == NETCRYPTO_IDENTITY_BLOCK_SIZE);
        require(peer.public_key != nullptr && EVP_PKEY_get_bits(peer.public_key) == NETCRYPTO_RSA_BITS);
        if (form == NETCRYPTO_DISCOVERY) {
            uint8_t hash[32];
            netcrypto_identity_hash(peer.identity.key, &n.b.system_name, hash);
            CoreName again;
            require(netcrypto_check_identity(&n.from_a, &n.b.system_name, hash, &peer.user_id, &again, nullptr) ==
                    CORE_OK);
        }
    } else {
        require(peer.public_key == nullptr);
    }
    netcrypto_peer_identity_clear(&peer);
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    const Nodes &n = nodes();
    const uint8_t mode = data[0];
    ++data;
    --size;

    // The decode on its own sees every input, whatever its length.
    NetcryptoSignedPart part;
    if (netcrypto_signed_part_decode(&part, data, size) == CORE_OK) require(size == NETCRYPTO_SIGNED_PART_SIZE);

    if ((mode & 1) == 0) {
        // An exact-size copy, so a read past the length is a report.
        std::vector<uint8_t> block(data, data + size);
        verify(NETCRYPTO_DISCOVERY, block.data(), block.size());
        verify(NETCRYPTO_DIRECT, block.data(), block.size());
        return 0;
    }

    if (size > NETCRYPTO_RSA_SIZE - 16) return 0;
    std::vector<uint8_t> block(NETCRYPTO_IDENTITY_BLOCK_SIZE, 0);
    memcpy(block.data(), n.a.broadcast_identity, 32);
    uint64_t signature_length = NETCRYPTO_RSA_SIZE;
    require(core_rsa_sign(n.a.key, block.data() + 32, &signature_length, data, size) == CORE_OK);
    uint64_t key_length = NETCRYPTO_BLOCK_KEY_SIZE;
    require(core_rsa_public_to_der(n.a.key, block.data() + 288, &key_length) == CORE_OK);
    const CoreResult result = verify(NETCRYPTO_DISCOVERY, block.data(), block.size());
    if (result == CORE_OK) {
        require(size == NETCRYPTO_SIGNED_PART_SIZE && (data[71] & NETCRYPTO_KEYS_128) != 0);
    }
    return 0;
}
