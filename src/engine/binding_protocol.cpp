#include "engine/binding_protocol.h"

#include <cstring>

#include "core/clock.h"
#include "core/log.h"
#include "core/notify.h"
#include "core/pool.h"
#include "core/store.h"
#include "engine/codes.h"
#include "engine/config.h"
#include "engine/names.h"
#include "engine/node.h"

namespace {

EngineBindingMark *mark_of(CoreStoreItem *item) { return reinterpret_cast<EngineBindingMark *>(item); }
EngineBindingPeer *peer_of(CoreStoreItem *item) { return reinterpret_cast<EngineBindingPeer *>(item); }

// The received offer's text, terminated whatever the wire held.
struct SourceText {
    char text[ENGINE_SOURCE_NAME_SIZE];
    explicit SourceText(const EngineCodecOffer *record)
    {
        memcpy(text, record->sourceName, sizeof(text));
        text[sizeof(text) - 1] = '\0';
    }
};

// The binding the offer names: channel and bind sequence from its header,
// peer node and session from the entry it arrived on.
EngineMediaDesc desc_of(const EngineBindingPeer *peer, const EngineCodecOffer *record)
{
    CoreName channel;
    CoreName bindSequence;
    memset(&channel, 0, sizeof(channel));
    memset(&bindSequence, 0, sizeof(bindSequence));
    memcpy(channel.key, record->channel, CORE_NAME_KEY_SIZE);
    memcpy(bindSequence.key, record->bindSequence, CORE_NAME_KEY_SIZE);
    core_name_make(&channel);
    core_name_make(&bindSequence);
    EngineMediaDesc desc;
    engine_media_desc_make(&desc, &channel, &peer->peerNode, &peer->session, &bindSequence);
    return desc;
}

bool is_binder_channel(const CoreName &channel)
{
    return engine_p2p_binder_index(&channel) != ENGINE_BINDER_INDEX_NONE ||
           engine_p2m_binder_index(&channel) != ENGINE_BINDER_INDEX_NONE;
}

CoreResult control(EngineBindingService *service, uint32_t code, const void *in, uint64_t length)
{
    if (engine_node_running() == nullptr) return CORE_ERR;
    return core_notify(&service->controlService, code, in, length, nullptr, nullptr);
}

CoreResult control_record(EngineBindingService *service, uint32_t code, uint32_t kind, const EngineMediaDesc &desc,
                          const char *sourceName)
{
    EngineBindRecord record;
    memset(&record, 0, sizeof(record));
    record.kind = kind;
    record.desc = desc;
    if (sourceName != nullptr) memcpy(record.sourceName, sourceName, strnlen(sourceName, ENGINE_SOURCE_NAME_SIZE - 1));
    return control(service, code, &record, sizeof(record));
}

// The offer's entries as a stream set handed to the engine. CORE_ERR when
// the set cannot be made (no node, or no memory).
CoreResult control_set(EngineBindingService *service, uint32_t code, const EngineCodecOffer *record, uint64_t length,
                       const EngineMediaDesc &desc, const char *sourceName, uint32_t setKind)
{
    if (engine_node_running() == nullptr) return CORE_ERR;
    EngineStreamSet *set = engine_offer_to_stream_set(record, length, &desc, sourceName, setKind);
    if (set == nullptr) return CORE_ERR;
    const CoreResult result = control(service, code, set, engine_stream_set_size(set->count));
    void *block = set;
    if (EngineNode *node = engine_node_running()) core_pool_free(node->pool, &block);
    return result;
}

CoreResult reply(EngineBindingPeer *peer, uint32_t kind, const EngineMediaDesc &desc, uint32_t version,
                 const char *sourceName, uint32_t sizeClass)
{
    return engine_offer_send(peer->sender, kind, &desc, version, sourceName, sizeClass, nullptr, 0);
}

// Calls fn for every live peer entry; fn returns false to stop.
template <typename Fn>
void for_each_peer(EngineBindingService *service, Fn fn)
{
    for (CoreStoreItem *item = core_store_next(service->peers, nullptr, 1); item != nullptr;
         item = core_store_next(service->peers, item, 1)) {
        if (!fn(peer_of(item))) {
            core_store_unref(service->peers);
            return;
        }
    }
}

CoreResult on_request(EngineBindingService *service, EngineBindingPeer *peer, const EngineCodecOffer *record,
                      uint64_t length, const EngineMediaDesc &desc)
{
    // A binding that was ended a moment ago is not set up again by the
    // requests still on their way.
    if (engine_binding_answered_check(service, peer, &desc) == CORE_DONE) return CORE_OK;
    const uint32_t version = peer->peerVersion.load();
    if (version < ENGINE_PROTOCOL_VERSION) {
        engine_notify_version_mismatch(&service->controlService, &desc);
        return CORE_ERR_VERSION;
    }
    const SourceText source(record);
    const CoreResult result =
        control_set(service, ENGINE_CTL_PEER_REQUEST, record, length, desc, source.text, record->sizeClass);
    if (result != CORE_ERR_BUSY) return result;
    // The peer hears back in its own version.
    return reply(peer, ENGINE_OFFER_BUSY, desc, version, nullptr, ENGINE_OFFER_NO_CLASS);
}

CoreResult on_unbind(EngineBindingService *service, const EngineMediaDesc &desc)
{
    for_each_peer(service, [&](EngineBindingPeer *p) {
        if (engine_binding_peer_matches(p, &desc)) engine_binding_peer_release(p, &desc);
        return true;
    });
    return control_record(service, ENGINE_CTL_PEER_UNBIND, ENGINE_BIND_KIND_ANSWERER, desc, nullptr);
}

}  // namespace

CoreResult engine_binding_answered_check(EngineBindingService *service, EngineBindingPeer *peer,
                                         const EngineMediaDesc *desc)
{
    if (service == nullptr || peer == nullptr || desc == nullptr) return CORE_OK;
    const uint64_t now = core_clock_mono_ms();
    for_each_peer(service, [&](EngineBindingPeer *p) {
        for (CoreStoreItem *item = core_store_next(p->answered, nullptr, 1); item != nullptr;
             item = core_store_next(p->answered, item, 1)) {
            const uint64_t expires = mark_of(item)->expiresAt.load();
            if (expires == 0 || expires > now) continue;
            uint8_t key[CORE_NAME_KEY_SIZE];
            core_store_lock(p->answered);
            memcpy(key, item->key.key, CORE_NAME_KEY_SIZE);
            core_store_unlock(p->answered);
            core_store_remove(p->answered, key);
        }
        return true;
    });

    if (CoreStoreItem *item = core_store_lookup(peer->answered, desc->bindSequence.key)) {
        const uint64_t expires = mark_of(item)->expiresAt.load();
        core_store_unref(peer->answered);
        return expires != 0 && expires > now ? CORE_DONE : CORE_OK;
    }
    core_store_insert(peer->answered, &desc->bindSequence, nullptr, const_cast<EngineMediaDesc *>(desc), nullptr, 0);
    return CORE_OK;
}

CoreResult engine_binding_on_accept(EngineBindingService *service, EngineBindingPeer *peer,
                                    const EngineCodecOffer *record, uint64_t length, const EngineMediaDesc *desc)
{
    if (service == nullptr || peer == nullptr || record == nullptr || desc == nullptr) return CORE_ERR;
    // The answer has come: no entry of that node repeats the request.
    EngineMediaDesc node;
    engine_media_desc_make(&node, nullptr, &desc->peerNode, nullptr, nullptr);
    for_each_peer(service, [&](EngineBindingPeer *p) {
        if (engine_binding_peer_matches(p, &node)) engine_binding_cancel_request(p, &desc->channel);
        return true;
    });

    const uint32_t version = peer->peerVersion.load();
    if (version < ENGINE_PROTOCOL_VERSION) {
        engine_notify_version_mismatch(&service->controlService, desc);
        return CORE_ERR_VERSION;
    }
    uint32_t sizeClass = 0;
    if (engine_binding_size_class(service, &desc->channel, &sizeClass) != CORE_OK) return CORE_ERR;
    const SourceText source(record);
    const CoreResult result =
        control_set(service, ENGINE_CTL_PEER_ACCEPT, record, length, *desc, source.text, record->sizeClass);
    if (result < 0) return result;
    const CoreResult sent = reply(peer, ENGINE_OFFER_READY, *desc, version, source.text, sizeClass);
    return sent < 0 ? sent : CORE_OK;
}

CoreResult engine_binding_on_offer(EngineBindingService *service, EngineBindingPeer *peer,
                                   const EngineCodecOffer *record, uint64_t length)
{
    if (service == nullptr || peer == nullptr) return CORE_ERR;
    if (engine_offer_read(record, length, nullptr) != CORE_OK) return CORE_ERR_INVALID;
    const EngineMediaDesc desc = desc_of(peer, record);
    const uint32_t kind = record->kind;
    if ((kind == ENGINE_OFFER_REQUEST || kind == ENGINE_OFFER_READY) &&
        !(service->binderDirection & ENGINE_DIRECTION_INCOMING))
        return CORE_OK;

    CoreResult result = CORE_OK;
    switch (kind) {
    case ENGINE_OFFER_REQUEST: result = on_request(service, peer, record, length, desc); break;
    case ENGINE_OFFER_ACCEPT: result = engine_binding_on_accept(service, peer, record, length, &desc); break;
    case ENGINE_OFFER_READY:
    case ENGINE_OFFER_UPDATE: {
        uint32_t sizeClass = 0;
        if (!is_binder_channel(desc.channel) ||
            engine_binding_size_class(service, &desc.channel, &sizeClass) != CORE_OK) {
            result = CORE_FAIL;
            break;
        }
        const uint32_t code = kind == ENGINE_OFFER_READY ? ENGINE_CTL_PEER_READY : ENGINE_CTL_PEER_UPDATE;
        result = control_set(service, code, record, length, desc, nullptr, sizeClass);
        break;
    }
    case ENGINE_OFFER_UNBIND: result = on_unbind(service, desc); break;
    case ENGINE_OFFER_BUSY:
        result = control_record(service, ENGINE_CTL_PEER_BUSY, ENGINE_BIND_KIND_REQUESTER, desc, nullptr);
        break;
    case ENGINE_OFFER_REJECT:
        result = control_record(service, ENGINE_CTL_PEER_REJECT, ENGINE_BIND_KIND_REQUESTER, desc,
                                SourceText(record).text);
        break;
    case ENGINE_OFFER_BROADCAST_OPEN:
        result = control_record(service, ENGINE_CTL_BROADCAST_JOIN, ENGINE_BIND_KIND_ANSWERER, desc, nullptr);
        break;
    case ENGINE_OFFER_BROADCAST_CLOSE:
        result = control_record(service, ENGINE_CTL_BROADCAST_LEAVE, ENGINE_BIND_KIND_ANSWERER, desc,
                                SourceText(record).text);
        break;
    default: return CORE_OK;  // a kind this node does not speak: no reply
    }
    if (result >= 0) return CORE_OK;

    // Both engines tear down what the failed offer would have built.
    core_log(CORE_LOG_INFO, "engine", "binding: offer kind %u on session %s failed (%d); unbinding", kind,
             peer->session.text, result);
    engine_notify_unbind(&service->controlService, ENGINE_BIND_KIND_NONE, &desc);
    reply(peer, ENGINE_OFFER_UNBIND, desc, ENGINE_PROTOCOL_VERSION, nullptr, ENGINE_OFFER_NO_CLASS);
    return result;
}
