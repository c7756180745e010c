// Helpers shared by the handshake suites: nodes made the way an instance
// start makes them, keys generated once per process, and scratch files for
// the openssl command.
#pragma once

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/crypto.h"
#include "core/names.h"
#include "flowmesh/netcrypto/announce.h"
#include "flowmesh/netcrypto/identity.h"

namespace netcrypto_test {

using Bytes = std::vector<uint8_t>;

inline std::string to_hex(const uint8_t *bytes, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

inline CoreUdpAddr address(const char *ipv4, uint16_t port)
{
    CoreUdpAddr a;
    inet_pton(AF_INET, ipv4, &a.address);
    a.port = htons(port);
    return a;
}

inline CoreName name(const char *text)
{
    CoreName n;
    core_name_format(&n, "%s", text);
    return n;
}

// RSA keys cost a good part of a second each under the sanitizers; the
// suites share a few, made on first use and kept for the process.
inline EVP_PKEY *shared_key(int which)
{
    static EVP_PKEY *keys[3] = {};
    if (keys[which] == nullptr) keys[which] = core_rsa_generate();
    return keys[which];
}

inline EVP_PKEY *rsa_key_of_bits(int bits)
{
    EVP_PKEY *key = nullptr;
    EVP_PKEY_CTX *context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    if (context != nullptr && EVP_PKEY_keygen_init(context) == 1 &&
        EVP_PKEY_CTX_set_rsa_keygen_bits(context, static_cast<unsigned>(bits)) == 1)
        EVP_PKEY_generate(context, &key);
    EVP_PKEY_CTX_free(context);
    return key;
}

// A node as an instance start makes it: the first identity for the adapter
// address and data port, the second for the placeholder address, the
// broadcast identity of a discovery socket one port above the data port.
struct NodeSetup {
    const char *ipv4 = "198.51.100.10";
    uint16_t data_port = 60149;
    const char *user = "user-one";
    const char *system = "veltrana.test";
    uint32_t key_options = NETCRYPTO_KEYS_128 | NETCRYPTO_KEYS_256;
    int seed_index = 0;
};

inline NetcryptoNode make_node(EVP_PKEY *key, const NodeSetup &setup)
{
    NetcryptoNode node;
    memset(&node, 0, sizeof(node));
    node.system_name = name(setup.system);
    node.user_id = name(setup.user);
    node.key_options = setup.key_options;
    node.key = key;
    const CoreUdpAddr data = address(setup.ipv4, setup.data_port);
    node.adapter_ipv4 = data.address;
    netcrypto_derive_identity(&data, setup.seed_index, &node.user_id, &node.system_name, &node.first_identity,
                              &node.first_identity_hash);
    CoreUdpAddr placeholder;
    placeholder.address = NETCRYPTO_PLACEHOLDER_IPV4;
    placeholder.port = NETCRYPTO_PLACEHOLDER_PORT;
    netcrypto_derive_identity(&placeholder, (setup.seed_index + 1) % 32, &node.user_id, &node.system_name,
                              &node.second_identity, &node.second_identity_hash);
    const CoreUdpAddr discovery = address(setup.ipv4, static_cast<uint16_t>(setup.data_port + 1));
    netcrypto_broadcast_identity(&discovery, node.broadcast_identity);
    return node;
}

inline CoreUdpAddr data_address(const NodeSetup &setup) { return address(setup.ipv4, setup.data_port); }

inline bool openssl_available() { return system("openssl version >/dev/null 2>&1") == 0; }

// A scratch folder for files handed to external commands; removed with
// everything in it.
struct TempDir {
    std::string path;
    TempDir()
    {
        char templ[] = "/tmp/veltrana-netcrypto-XXXXXX";
        if (mkdtemp(templ) != nullptr) path = templ;
    }
    ~TempDir()
    {
        if (!path.empty()) system(("rm -rf " + path).c_str());
    }
    std::string file(const char *leaf) const { return path + "/" + leaf; }
};

inline bool write_file(const std::string &path, const uint8_t *data, size_t n)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = fwrite(data, 1, n, f) == n;
    return fclose(f) == 0 && ok;
}

inline Bytes read_file(const std::string &path)
{
    Bytes out;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) return out;
    uint8_t chunk[4096];
    for (size_t got; (got = fread(chunk, 1, sizeof(chunk), f)) > 0;) out.insert(out.end(), chunk, chunk + got);
    fclose(f);
    return out;
}

// Runs a shell command and returns what it printed; *status gets its exit
// status.
inline std::string run(const std::string &command, int *status)
{
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        *status = -1;
        return out;
    }
    char chunk[4096];
    for (size_t got; (got = fread(chunk, 1, sizeof(chunk), pipe)) > 0;) out.append(chunk, got);
    *status = pclose(pipe);
    return out;
}

inline bool write_public_pem(const std::string &path, EVP_PKEY *key)
{
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    bool ok = PEM_write_PUBKEY(f, key) == 1;
    return fclose(f) == 0 && ok;
}

}  // namespace netcrypto_test
