// The fixed key material and the announcements made from it. Every build
// must produce the same bytes, or its nodes stop recognising each other.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <sstream>

#include "flowmesh/netcrypto/announce.h"
#include "flowmesh/netcrypto/key_material.h"
#include "netcrypto_support.h"

using namespace netcrypto_test;

namespace {

std::string sha256_hex(const uint8_t *data, size_t n)
{
    uint8_t digest[32];
    unsigned int length = 0;
    EVP_Digest(data, n, digest, &length, EVP_sha256(), nullptr);
    return to_hex(digest, length);
}

// A change here is a change of network: nodes built before and after it no
// longer meet. Digests by libcrypto, not by the SHA-256 that made the tables.
TEST(KeyMaterial, EveryTableIsPinned)
{
    const struct {
        const char *name;
        size_t size;
        const char *sha256;
    } pinned[NETCRYPTO_KEY_TABLES] = {
        {"discovery salt", 4096, "d6d1923b62d4f1bf66b134f8f3ff5fbaedb64861c41cd63e2d435aa1aff8ba76"},
        {"key salt", 4096, "19e9af93f7d256c3b4a752f17c198bc2e7a3e8d3431c6f62accbe563809e63c0"},
        {"first mask", 32, "b0b921aab2ca1c69842f43194862eea8727637119a56f065aeda2e49f97905be"},
        {"second mask", 32, "5cdfa263d8d22cfe7f310891ae4d0693c5202b8d49c9e19b74c17d4cd5da2dd3"},
        {"seed constant", 16, "9ce1ea8259303b72b3e1fada60d954c251a60b8c40ee8e85cd2ceb1ae45949fc"},
        {"seed bytes", 10, "22e57ba6cf6e69f51bc1665f9e96b28171f47b8a3a8baa7181774de6addd0ff3"},
        {"identity constant", 4, "c49505c97b7ab25525389bdebbe0b61a40a46456e3d8818c9a40fe0836bf46b6"},
        {"identity seeds", 192, "e5863c57e59c1e7edc6ffba94ea26ee5cdbf95130774a33fdce61115672bc025"},
    };
    const NetcryptoKeyTable *tables = netcrypto_key_tables();
    for (int i = 0; i < NETCRYPTO_KEY_TABLES; ++i) {
        EXPECT_STREQ(tables[i].name, pinned[i].name);
        EXPECT_EQ(tables[i].size, pinned[i].size) << pinned[i].name;
        EXPECT_EQ(sha256_hex(tables[i].bytes, tables[i].size), pinned[i].sha256) << pinned[i].name;
    }
    // The table entries alias the one material record, not copies of it.
    EXPECT_EQ(tables[7].bytes, &netcrypto_key_material()->seed_table[0][0]);
}

// What a capture is checked with: the exported tables, rederived from the
// label and recombined into announcements by Python's hashlib alone.
TEST(KeyMaterial, PythonRecomputesTablesAndAnnouncements)
{
    int status = 0;
    run("python3 --version >/dev/null 2>&1", &status);
    if (status != 0) GTEST_SKIP() << "python3 not available";
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string script = R"PY(
import hashlib, socket, struct, sys
label = b"veltrana key material v1"
tables = {}
for line in sys.stdin:
    name, hexed = line.rstrip("\n").split("\t")
    data = bytes.fromhex(hexed)
    derived, counter = b"", 0
    while len(derived) < len(data):
        derived += hashlib.sha256(label + b"\0" + name.encode() + b"\0" + struct.pack(">I", counter)).digest()
        counter += 1
    if derived[:len(data)] != data:
        sys.exit("table %s does not follow the recipe" % name)
    tables[name] = data
for target in sys.argv[1:]:
    host, port = target.split(":")
    seed = socket.inet_aton(host) + struct.pack(">H", int(port)) + tables["seed bytes"] + tables["seed constant"]
    print(hashlib.sha256(seed + tables["discovery salt"]).hexdigest())
)PY";
    ASSERT_TRUE(write_file(dir.file("announce.py"), reinterpret_cast<const uint8_t *>(script.data()), script.size()));

    const struct {
        const char *ipv4;
        uint16_t port;
    } sources[] = {{"192.168.1.20", 60149}, {"10.0.0.1", 1}, {"172.16.254.3", 65535}};
    std::string command = std::string(VELTRANA_KEYMATERIAL_TOOL) + " | python3 " + dir.file("announce.py");
    for (const auto &s : sources) command += " " + std::string(s.ipv4) + ":" + std::to_string(s.port);
    std::istringstream lines(run(command, &status));
    ASSERT_EQ(status, 0) << command;
    for (const auto &s : sources) {
        std::string expected;
        std::getline(lines, expected);
        const CoreUdpAddr source = address(s.ipv4, s.port);
        uint8_t ours[NETCRYPTO_ANNOUNCEMENT_SIZE];
        netcrypto_broadcast_identity(&source, ours);
        EXPECT_EQ(to_hex(ours, sizeof(ours)), expected) << s.ipv4 << ":" << s.port;
    }
}

// A receiver believes an announcement only when it can remake it from the
// datagram's source.
TEST(Announcement, CheckedAgainstItsSource)
{
    const CoreUdpAddr source = address("192.168.40.11", 50000);
    const CoreUdpAddr own_address = address("192.168.40.10", 50001);
    uint8_t valid[33] = {}, own[32];
    netcrypto_broadcast_identity(&source, valid);
    netcrypto_broadcast_identity(&own_address, own);
    uint8_t flipped[32];
    memcpy(flipped, valid, 32);
    flipped[31] ^= 0x80;

    const struct {
        const char *purpose;
        const uint8_t *data;
        uint64_t length;
        CoreUdpAddr from;
        CoreResult result;
    } cases[] = {
        {"made for its source", valid, 32, source, CORE_OK},
        {"our own, looped back", own, 32, own_address, CORE_DONE},
        {"our own, even from elsewhere", own, 32, source, CORE_DONE},
        {"33 bytes", valid, 33, source, CORE_ERR},
        {"31 bytes", valid, 31, source, CORE_ERR},
        {"nothing", valid, 0, source, CORE_ERR},
        {"sent from another port", valid, 32, address("192.168.40.11", 50001), CORE_ERR},
        {"sent from another address", valid, 32, address("192.168.40.12", 50000), CORE_ERR},
        {"one bit off", flipped, 32, source, CORE_ERR},
    };
    for (const auto &c : cases)
        EXPECT_EQ(netcrypto_check_announcement(own, &c.from, c.data, c.length), c.result) << c.purpose;
}

}  // namespace
