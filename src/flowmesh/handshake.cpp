// The handshake of an adapter instance: peers from identity blocks and key
// messages, in the discovery and the direct form, and the key resends.
#include "flowmesh/handshake.h"

#include <cstring>
#include <new>
#include <openssl/crypto.h>

#include "core/clock.h"
#include "core/log.h"
#include "flowmesh/direct.h"
#include "flowmesh/discovery.h"
#include "flowmesh/instance.h"
#include "flowmesh/netcrypto/key_message.h"
#include "flowmesh/peer.h"

namespace {

const char kModule[] = "flowmesh.handshake";

void blob_of(const NetcryptoSessionKey &key, FlowmeshKeyBlob *blob)
{
    memset(blob, 0, sizeof(*blob));
    blob->kind = key.kind;
    blob->length = key.length;
    memcpy(blob->key, key.key, key.length);
}

// The peer callback may refuse a node before anything is made for it.
bool offered(FlowmeshAdapterInstance *instance, const CoreName *identity)
{
    return flowmesh_peer_report(instance, FLOWMESH_PEER_OFFERED, 0, identity, sizeof(*identity)) == 0;
}

// Drops the peer found by the caller and gives back its reference.
CoreResult refuse(FlowmeshAdapterInstance *instance, FlowmeshPeer *peer)
{
    flowmesh_peer_drop(instance, peer);
    flowmesh_peer_release(instance);
    return CORE_ERR;
}

CoreResult post_to(FlowmeshAdapterInstance *instance, const CoreUdpAddr &to, const uint8_t *data, uint64_t length)
{
    const CoreIoVec vec = {length, data};
    return core_queue_post(instance->send_channel, nullptr, to.address, to.port, &vec, 1) == 0 ? CORE_OK : CORE_ERR;
}

}  // namespace

CoreResult netcrypto_accept_identity(FlowmeshAdapterInstance *instance, const CoreUdpAddr *announced,
                                     const CoreUdpAddr *source, const NetcryptoPeerIdentity *peer)
{
    const NetcryptoNode &node = instance->node;
    const bool key_sender = netcrypto_is_key_sender(&node, &peer->identity);
    if (FlowmeshPeer *existing = flowmesh_peer_find_by_identity(instance, peer->identity.key)) {
        // Its block came again: it has not read our key message yet.
        if (!(existing->flags.load() & FLOWMESH_PEER_CONFIRMED) && key_sender) {
            existing->flags.fetch_or(FLOWMESH_PEER_KEY_TO_SEND);
            instance->state.fetch_or(FLOWMESH_INSTANCE_SEND_KEYS);
        }
        flowmesh_peer_release(instance);
        return CORE_DONE;
    }

    NetcryptoSessionKey key = {};
    if (key_sender && netcrypto_make_session_key(node.key_options, peer->key_options, &key) != CORE_OK)
        return CORE_ERR;
    if (!offered(instance, &peer->identity)) {
        OPENSSL_cleanse(&key, sizeof(key));
        return CORE_DONE;
    }
    auto *init = new (std::nothrow) FlowmeshPeerInit{};
    CoreResult result = init != nullptr ? CORE_OK : CORE_ERR;
    if (result == CORE_OK && key_sender) {
        result = netcrypto_build_key_message(&node, NETCRYPTO_DISCOVERY, peer->public_key, peer->broadcast_identity,
                                             &key, init->discovery_key_message);
        init->discovery_key_message_length = NETCRYPTO_KEY_MESSAGE_SIZE;
        blob_of(key, &init->session_key);
    }
    OPENSSL_cleanse(&key, sizeof(key));
    FlowmeshPeer *made = nullptr;
    if (result == CORE_OK) {
        init->key_receiver = key_sender ? 0 : 1;
        init->identity = peer->identity;
        init->user_id = peer->user_id;
        memcpy(init->broadcast_identity.key, peer->broadcast_identity, NETCRYPTO_IDENTITY_SIZE);
        core_name_make(&init->broadcast_identity);
        init->announced = *announced;
        init->data_address = *source;
        result = flowmesh_peer_insert(instance, init, &made);
    }
    if (init != nullptr) OPENSSL_cleanse(init, sizeof(*init));
    delete init;
    if (result != CORE_OK) return CORE_ERR;
    if (key_sender) {
        made->flags.fetch_or(FLOWMESH_PEER_KEY_TO_SEND);
        instance->state.fetch_or(FLOWMESH_INSTANCE_SEND_KEYS);
    }
    flowmesh_peer_release(instance);
    return CORE_OK;
}

CoreResult netcrypto_accept_key(FlowmeshAdapterInstance *instance, const CoreUdpAddr *source, const uint8_t *data,
                                uint64_t length)
{
    if (data == nullptr || length != NETCRYPTO_KEY_MESSAGE_SIZE) return CORE_ERR;
    FlowmeshPeer *peer = flowmesh_peer_find(instance, source);
    // The key message overtook our identity block; the sender repeats it
    // when our block reaches it again.
    if (peer == nullptr) return CORE_DONE;
    if (netcrypto_is_key_sender(&instance->node, &peer->identity)) return refuse(instance, peer);
    if (peer->flags.load() & FLOWMESH_PEER_READY_REPORTED) {
        flowmesh_peer_release(instance);
        return CORE_DONE;
    }
    if (memcmp(data, peer->broadcast_identity.key, NETCRYPTO_IDENTITY_SIZE) != 0) return refuse(instance, peer);
    NetcryptoKeySender sender;
    if (netcrypto_open_key_message(&instance->node, NETCRYPTO_DISCOVERY, source, data, length, &sender) != CORE_OK ||
        core_compare_key32(sender.identity.key, peer->identity.key) != 0 ||
        core_compare_key32(sender.user_id.key, peer->user_id.key) != 0) {
        OPENSSL_cleanse(&sender, sizeof(sender));
        return refuse(instance, peer);
    }
    blob_of(sender.key, &peer->session_key);
    OPENSSL_cleanse(&sender, sizeof(sender));
    if (flowmesh_peer_report_ready(instance, peer) != CORE_OK) return refuse(instance, peer);
    flowmesh_peer_release(instance);
    return CORE_OK;
}

CoreResult netcrypto_accept_direct_identity(FlowmeshAdapterInstance *instance, const CoreUdpAddr *source,
                                            const NetcryptoPeerIdentity *peer)
{
    NetcryptoSessionKey key = {};
    if (netcrypto_make_session_key(instance->node.key_options, peer->key_options, &key) != CORE_OK) return CORE_ERR;
    if (!offered(instance, &peer->identity)) {
        OPENSSL_cleanse(&key, sizeof(key));
        return CORE_DONE;
    }
    auto *init = new (std::nothrow) FlowmeshPeerInit{};
    const uint8_t none[NETCRYPTO_IDENTITY_SIZE] = {};
    CoreResult result = init != nullptr ? netcrypto_build_key_message(&instance->node, NETCRYPTO_DIRECT,
                                                                      peer->public_key, none, &key,
                                                                      init->direct_key_message)
                                        : CORE_ERR;
    if (result == CORE_OK) {
        // Direct-mode seam: the connector sends this message every 500 ms
        // until the peer is confirmed or its direct deadline passes.
        init->direct_key_message_length = NETCRYPTO_KEY_MESSAGE_SIZE;
        init->key_receiver = 0;
        init->identity = peer->identity;
        init->user_id = peer->user_id;
        init->announced = init->data_address = *source;
        blob_of(key, &init->session_key);
        result = flowmesh_peer_insert(instance, init);
    }
    OPENSSL_cleanse(&key, sizeof(key));
    if (init != nullptr) OPENSSL_cleanse(init, sizeof(*init));
    delete init;
    return result == CORE_OK ? CORE_OK : CORE_ERR;
}

CoreResult netcrypto_accept_direct_key(FlowmeshAdapterInstance *instance, const CoreUdpAddr *source,
                                       const uint8_t *data, uint64_t length)
{
    if (data == nullptr || length != NETCRYPTO_KEY_MESSAGE_SIZE) return CORE_ERR;
    if (FlowmeshPeer *existing = flowmesh_peer_find(instance, source)) return refuse(instance, existing);
    NetcryptoKeySender sender;
    if (netcrypto_open_key_message(&instance->node, NETCRYPTO_DIRECT, source, data, length, &sender) != CORE_OK ||
        !offered(instance, &sender.identity)) {
        OPENSSL_cleanse(&sender, sizeof(sender));
        return CORE_ERR;
    }
    auto *init = new (std::nothrow) FlowmeshPeerInit{};
    if (init == nullptr) {
        OPENSSL_cleanse(&sender, sizeof(sender));
        return CORE_ERR;
    }
    init->key_receiver = 1;
    init->identity = sender.identity;
    init->user_id = sender.user_id;
    memcpy(init->broadcast_identity.key, data, NETCRYPTO_IDENTITY_SIZE);
    core_name_make(&init->broadcast_identity);
    init->announced = init->data_address = *source;
    blob_of(sender.key, &init->session_key);
    OPENSSL_cleanse(&sender, sizeof(sender));
    FlowmeshPeer *made = nullptr;
    const CoreResult result = flowmesh_peer_insert(instance, init, &made);
    OPENSSL_cleanse(init, sizeof(*init));
    delete init;
    if (result != CORE_OK) return CORE_ERR;
    if (flowmesh_peer_report_ready(instance, made) != CORE_OK) return refuse(instance, made);
    flowmesh_peer_release(instance);
    return CORE_OK;
}

CoreResult flowmesh_handshake_offer_discovery(FlowmeshAdapterInstance *instance, const CoreUdpAddr *announced,
                                              const CoreUdpAddr *source, const uint8_t *data, uint64_t length)
{
    NetcryptoPeerIdentity peer;
    CoreResult result = netcrypto_verify_identity(&instance->node, NETCRYPTO_DISCOVERY, source, data, length, &peer);
    if (result == CORE_OK) {
        result = netcrypto_accept_identity(instance, announced, source, &peer);
        netcrypto_peer_identity_clear(&peer);
        if (result == CORE_ERR) instance->identity_blocks_refused.fetch_add(1);
        return result;
    }
    if (result == CORE_DONE) return CORE_DONE;
    if (length == NETCRYPTO_IDENTITY_BLOCK_SIZE) {
        instance->identity_blocks_refused.fetch_add(1);
        return CORE_ERR;
    }
    result = netcrypto_accept_key(instance, source, data, length);
    if (result == CORE_ERR) instance->key_messages_refused.fetch_add(1);
    return result;
}

CoreResult flowmesh_handshake_offer_direct(FlowmeshAdapterInstance *instance, const CoreUdpAddr *source,
                                           const uint8_t *data, uint64_t length)
{
    const uint32_t flags = instance->config.configuration.flags;
    CoreResult result = CORE_ERR;
    if (flags & FLOWMESH_ROLE_IDENTITY) {
        NetcryptoPeerIdentity peer;
        result = netcrypto_verify_identity(&instance->node, NETCRYPTO_DIRECT, source, data, length, &peer);
        if (result == CORE_OK) {
            result = netcrypto_accept_direct_identity(instance, source, &peer);
            netcrypto_peer_identity_clear(&peer);
            uint64_t unset = 0;
            if (result == CORE_OK)
                instance->direct_target.compare_exchange_strong(unset, flowmesh_endpoint_pack(*source));
        }
        if (result == CORE_ERR && length == NETCRYPTO_IDENTITY_BLOCK_SIZE) instance->identity_blocks_refused.fetch_add(1);
    }
    if (result == CORE_ERR && (flags & FLOWMESH_ROLE_KEY) && length == NETCRYPTO_KEY_MESSAGE_SIZE) {
        // Only the node we are connecting to may make us open a key message.
        result = flowmesh_direct_expects_key(instance, source)
                     ? netcrypto_accept_direct_key(instance, source, data, length)
                     : CORE_ERR;
        if (result == CORE_ERR) instance->key_messages_refused.fetch_add(1);
    }
    return result;
}

void flowmesh_resend_key_messages(FlowmeshAdapterInstance *instance)
{
    const uint64_t now = core_clock_mono_ms();
    for (CoreStoreItem *item = core_store_first(instance->peers); item != nullptr;
         item = core_store_next(instance->peers, item, 1)) {
        auto *peer = reinterpret_cast<FlowmeshPeer *>(item);
        if (!netcrypto_is_key_sender(&instance->node, &peer->identity) ||
            (peer->flags.load() & FLOWMESH_PEER_CONFIRMED) || peer->discovery_key_message_length == 0 ||
            now < peer->next_resend_ms)
            continue;
        if (peer->resend_count >= FLOWMESH_KEY_RESENDS) {
            core_log(CORE_LOG_INFO, kModule, "a peer never took its key; dropped after %u key messages",
                     FLOWMESH_KEY_RESENDS);
            flowmesh_peer_drop(instance, peer);
            continue;
        }
        if (!(peer->flags.fetch_and(~FLOWMESH_PEER_KEY_TO_SEND) & FLOWMESH_PEER_KEY_TO_SEND)) continue;
        if (post_to(instance, peer->announced, peer->discovery_key_message, peer->discovery_key_message_length) !=
            CORE_OK)
            continue;
        instance->key_messages_sent.fetch_add(1);
        // The 16th send starts the wait after which the peer is given up;
        // later requests must not push that moment back.
        peer->next_resend_ms =
            now + (++peer->resend_count >= FLOWMESH_KEY_RESENDS ? FLOWMESH_KEY_GIVE_UP_MS : FLOWMESH_KEY_RESEND_MS);
    }
}
