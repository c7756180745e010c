// The start record and the network library's configuration derived from it.
#include "engine/config.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// A record as the interface side fills it, with every byte of the network
// part that the library reads given a recognisable value.
EngineConfig sample_config()
{
    EngineConfig config = {};
    config.binderDirection = 3;
    config.sendRoles = 2;
    config.receiveRoles = 1;
    config.networkFlags = 0x17;
    config.serviceFlags = 3;
    config.nodeKind = ENGINE_NODE_MEDIA;
    config.networkMode = 2;
    config.servicesMode = 10;
    config.network.basePort = 60149;
    config.network.stunAddress = 0x01020304;
    config.network.stunPort = 3478;
    core_name_format(&config.network.systemNodeName, "pelko.system");
    core_name_format(&config.network.nodeUserId, "alice");
    for (int i = 0; i < CORE_NAME_KEY_SIZE; ++i) config.network.nodeKey.key[i] = static_cast<uint8_t>(0xA0 + i);
    core_name_make(&config.network.nodeKey);
    config.network.adapterIndex = -1;
    snprintf(config.network.adapterRecords[0].id, sizeof(config.network.adapterRecords[0].id), "%s", "65746830");
    config.network.adapterRecords[0].flags = 5;
    config.network.networkOption = FLOWMESH_KEYS_128;
    config.networkPoolSizes[0] = 4096;
    config.networkPoolSizes[1] = 8192;
    return config;
}

TEST(EngineConfig, NetworkFlagWordSwapsTheDiscoveryBits)
{
    struct Case {
        const char *purpose;
        uint32_t networkFlags;
        uint32_t libraryFlags;
    };
    const Case cases[] = {
        {"the interface side's word", 0x17, 0x1B},
        {"broadcast discovery alone", 0x04, FLOWMESH_MODE_LAN},
        {"direct mode alone", 0x08, FLOWMESH_MODE_DIRECT},
        {"both discovery bits stay both", 0x0C, 0x0C},
        {"roles, own-address and fixed adapters unchanged", 0x33, 0x33},
        {"unknown bits dropped", 0xFFFFFFC0, 0},
        {"every bit", 0xFFFFFFFF, 0x3F},
        {"nothing", 0, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(engine_config_network_flags(c.networkFlags), c.libraryFlags) << c.purpose;
}

TEST(EngineConfig, DerivedWordsOfTheLibraryConfiguration)
{
    struct Case {
        const char *purpose;
        uint32_t nodeKind;
        uint32_t networkMode;
        uint32_t peerMode;
        uint32_t announceMode;
    };
    const Case cases[] = {
        {"media node, default mode", ENGINE_NODE_MEDIA, 2, 1, 2},
        {"node without media", ENGINE_NODE_PLAIN, 1, 2, 1},
        {"mode 3 kept", ENGINE_NODE_MEDIA, 3, 1, 3},
        {"mode 0 becomes 2", ENGINE_NODE_MEDIA, 0, 1, 2},
        {"mode 4 becomes 2, unknown kind is a media node", 7, 4, 1, 2},
    };
    for (const Case &c : cases) {
        EngineConfig config = sample_config();
        config.nodeKind = c.nodeKind;
        config.networkMode = c.networkMode;
        EngineNetworkSetup setup;
        ASSERT_EQ(engine_config_network(&config, nullptr, &setup), CORE_OK) << c.purpose;
        EXPECT_EQ(setup.network.peer_mode, c.peerMode) << c.purpose;
        EXPECT_EQ(setup.network.announce_mode, c.announceMode) << c.purpose;
    }
}

TEST(EngineConfig, NetworkPartTravelsUnchangedWithPoolsKeyAndServicesMode)
{
    const EngineConfig config = sample_config();
    auto *key = reinterpret_cast<EVP_PKEY *>(static_cast<uintptr_t>(0x1234));  // only carried, never used
    EngineNetworkSetup setup;
    ASSERT_EQ(engine_config_network(&config, key, &setup), CORE_OK);

    EXPECT_EQ(memcmp(&setup.network, &config.network, sizeof(config.network)), 0);
    EXPECT_EQ(setup.network.base_port, 60149);
    EXPECT_EQ(setup.network.stun_port, 3478);
    EXPECT_EQ(core_name_cmp_str(setup.network.user_id.key, "alice"), 0);
    EXPECT_EQ(memcmp(setup.network.node_id.key, config.network.nodeKey.key, CORE_NAME_KEY_SIZE), 0);
    EXPECT_STREQ(setup.network.adapters[0].id, "65746830");
    EXPECT_EQ(setup.network.key_options, FLOWMESH_KEYS_128);

    EXPECT_EQ(setup.network.flags, 0x1Bu);
    EXPECT_EQ(setup.network.reliable_pool_size, 4096u);
    EXPECT_EQ(setup.network.reliable_queue_pool_size, 8192u);
    EXPECT_EQ(setup.network.rsa_key, key);
    EXPECT_EQ(setup.servicesMode, 10u);
    for (uint64_t word : setup.network.engine_words) EXPECT_EQ(word, 0u);

    EXPECT_EQ(engine_config_network(nullptr, key, &setup), CORE_ERR_INVALID);
    EXPECT_EQ(engine_config_network(&config, key, nullptr), CORE_ERR_INVALID);
}

}  // namespace
