// Presence messages on the wire, and the peer table's announce cycle driven
// by network events as the library hands them over, with the events it
// posts read back from the event topic.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/presence_support.h"

namespace {

using namespace presence_test;

const std::vector<uint8_t> kUserIdAlice = {
    0x00, 0x00, 0x00, 0x2D, 0x00, 0x00, 0x00, 0x00,  // 45 bytes, kind 0
    'n',  'o',  'd',  'e',  '.',  'u',  's',  'e',  'r', 'i', 'd', '.', 'f', 'i', 'e', 'l', 'd',
    0,    0,    0,    0,    0,    0,    0,    0,    0,   0,   0,   0,   0,   0,   0,  // key padded to 32
    'a',  'l',  'i',  'c',  'e'};
const std::vector<uint8_t> kEndOfProperties = {0x00, 0x00, 0x00, 0x0C, 0x00, 0x03, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00};
const std::vector<uint8_t> kReady = {0x00, 0x00, 0x00, 0x0C, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

std::vector<uint8_t> header(uint32_t length, uint32_t kind, size_t total)
{
    std::vector<uint8_t> out(total, 0);
    for (int i = 0; i < 4; ++i) {
        if (total > static_cast<size_t>(i)) out[i] = static_cast<uint8_t>(length >> (24 - 8 * i));
        if (total > static_cast<size_t>(4 + i)) out[4 + i] = static_cast<uint8_t>(kind >> (24 - 8 * i));
    }
    return out;
}

std::vector<uint8_t> named(std::vector<uint8_t> bytes, const char *name)
{
    if (bytes.size() >= 40) memcpy(bytes.data() + 8, name, strlen(name));
    return bytes;
}

TEST(PresenceMessage, GoldenBytesBothWays)
{
    CoreName key;
    core_name_format(&key, "%s", ENGINE_PROP_USERID);
    uint8_t out[64];
    ASSERT_EQ(engine_presence_message_write(ENGINE_PRESENCE_PROPERTY, key.key, "alice", 5, out, sizeof(out)), 45u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 45), kUserIdAlice);
    ASSERT_EQ(engine_presence_message_write(ENGINE_PRESENCE_END_OF_PROPERTIES, nullptr, nullptr, 0, out, sizeof(out)),
              12u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 12), kEndOfProperties);
    ASSERT_EQ(engine_presence_message_write(ENGINE_PRESENCE_READY, nullptr, nullptr, 0, out, sizeof(out)), 12u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 12), kReady);

    EnginePresenceMessage m;
    ASSERT_EQ(engine_presence_message_parse(kUserIdAlice.data(), kUserIdAlice.size(), &m), CORE_OK);
    EXPECT_EQ(m.kind, ENGINE_PRESENCE_PROPERTY);
    EXPECT_EQ(m.length, 45u);
    EXPECT_EQ(core_name_cmp_str(m.nameKey, ENGINE_PROP_USERID), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(m.value), m.valueLength), "alice");
    ASSERT_EQ(engine_presence_message_parse(kReady.data(), kReady.size(), &m), CORE_OK);
    EXPECT_EQ(m.kind, ENGINE_PRESENCE_READY);

    // The writer keeps to the same rules as the reader.
    EXPECT_EQ(engine_presence_message_write(ENGINE_PRESENCE_PROPERTY, key.key, "alice", 5, out, 44), 0u);
    const std::string long_value(257, 'x');
    uint8_t big[400];
    EXPECT_EQ(engine_presence_message_write(ENGINE_PRESENCE_PROPERTY, key.key, long_value.data(), 257, big, sizeof(big)),
              0u);
    EXPECT_EQ(engine_presence_message_write(7, nullptr, nullptr, 0, out, sizeof(out)), 0u);
}

TEST(PresenceMessage, EveryTruncationIsRefused)
{
    for (const std::vector<uint8_t> *message : {&kUserIdAlice, &kEndOfProperties, &kReady}) {
        EnginePresenceMessage m;
        for (size_t n = 0; n < message->size(); ++n) {
            // An exact copy, so that a read past the prefix is a reported
            // overflow, not a read of the rest of the message.
            std::vector<uint8_t> prefix(message->begin(), message->begin() + n);
            EXPECT_EQ(engine_presence_message_parse(n == 0 ? nullptr : prefix.data(), n, &m), CORE_ERR_INVALID)
                << "a prefix of " << n << " of " << message->size() << " bytes";
        }
        std::vector<uint8_t> whole(*message);
        EXPECT_EQ(engine_presence_message_parse(whole.data(), whole.size(), &m), CORE_OK);
    }
}

TEST(PresenceMessage, LengthRules)
{
    struct Case {
        const char *purpose;
        std::vector<uint8_t> bytes;
        CoreResult expected;
    };
    const Case cases[] = {
        {"text value of 256 bytes", named(header(296, 0, 296), ENGINE_PROP_LASTNAME), CORE_OK},
        {"text value of 257 bytes", named(header(297, 0, 297), ENGINE_PROP_LASTNAME), CORE_ERR_INVALID},
        {"avatar of 131072 bytes", named(header(131112, 0, 131112), ENGINE_PROP_AVATAR), CORE_OK},
        {"avatar one byte over", named(header(131113, 0, 131113), ENGINE_PROP_AVATAR), CORE_ERR_INVALID},
        {"empty value", named(header(40, 0, 40), ENGINE_PROP_GENDER), CORE_OK},
        {"property shorter than its head", header(39, 0, 39), CORE_ERR_INVALID},
        {"length field below the kind", header(7, 0, 40), CORE_ERR_INVALID},
        {"length field beyond the bytes", named(header(50, 0, 45), ENGINE_PROP_USERID), CORE_ERR_INVALID},
        {"length field of 4 GiB", header(0xFFFFFFFF, 0, 64), CORE_ERR_INVALID},
        {"marker of 13 bytes", header(13, ENGINE_PRESENCE_READY, 13), CORE_ERR_INVALID},
        {"marker claiming 8 bytes", header(8, ENGINE_PRESENCE_END_OF_PROPERTIES, 12), CORE_ERR_INVALID},
        {"bytes past the length are not read", header(12, ENGINE_PRESENCE_READY, 20), CORE_OK},
        {"unknown kind with a sound length", header(16, 0x1234, 16), CORE_NOT_MINE},
        {"unknown kind with a bad length", header(17, 0x1234, 16), CORE_ERR_INVALID},
    };
    for (const Case &c : cases) {
        EnginePresenceMessage m;
        EXPECT_EQ(engine_presence_message_parse(c.bytes.data(), c.bytes.size(), &m), c.expected) << c.purpose;
    }
}

// ---- the peer table ----

class PeerTable : public PresenceFixture {
protected:
    std::vector<Event> presence_events()
    {
        return recorder_.take({ENGINE_EVT_PEER_FOUND, ENGINE_EVT_PEER_LOST, ENGINE_EVT_PEER_PROPERTY,
                               ENGINE_EVT_PEER_READY, ENGINE_EVT_PEER_CHANGED});
    }

    // The kinds (and property names) waiting in a peer's outgoing list,
    // once the send task, which takes a message out while it offers it to
    // the (unknown) session, has put it back.
    std::vector<std::string> outgoing(const char *session, size_t expected)
    {
        std::vector<std::string> out;
        for (int attempt = 0; attempt < 500; ++attempt) {
            out.clear();
            CoreName key;
            core_name_format(&key, "%s", session);
            auto *peer = reinterpret_cast<EnginePresencePeer *>(core_store_lookup(service_->peers, key.key));
            if (peer == nullptr) return out;
            {
                CoreLockGuard guard(&peer->outgoing.lock);
                for (EnginePresenceItem *item = peer->outgoing.first; item != nullptr; item = item->next) {
                    EnginePresenceMessage m;
                    if (engine_presence_message_parse(item->data, item->length, &m) != CORE_OK) {
                        out.push_back("<bad>");
                    } else if (m.kind == ENGINE_PRESENCE_PROPERTY) {
                        CoreName name;
                        memcpy(name.key, m.nameKey, CORE_NAME_KEY_SIZE);
                        core_name_make(&name);
                        out.push_back(name.text);
                    } else {
                        out.push_back(m.kind == ENGINE_PRESENCE_READY ? "ready" : "end");
                    }
                }
            }
            core_store_unref(service_->peers);
            if (out.size() == expected) break;
            core_sleep_ms(10);
        }
        return out;
    }
};

TEST_F(PeerTable, AnnounceCycleReportsFoundReadyChangedAndLostInOrder)
{
    session_event("session.b", FLOWMESH_SESSION_UP);
    // The full state: every property of the sealed list, then the end.
    EXPECT_EQ(outgoing("session.b", 5), (std::vector<std::string>{ENGINE_PROP_USERID, ENGINE_PROP_DIRECTION,
                                                                   ENGINE_PROP_STATUS, ENGINE_PROP_AVATAR, "end"}));

    EXPECT_GT(engine_presence_cycle(service_), 0u);
    EXPECT_TRUE(presence_events().empty()) << "nothing is reported before the peer told its properties";

    complete_peer("session.b");
    EXPECT_EQ(engine_presence_cycle(service_), 1u);  // new -> joining
    EXPECT_TRUE(presence_events().empty());
    EXPECT_EQ(engine_presence_cycle(service_), 1u);  // joining -> established
    std::vector<Event> events = presence_events();
    ASSERT_EQ(codes_of(events), (std::vector<uint32_t>{ENGINE_EVT_PEER_FOUND, ENGINE_EVT_PEER_READY,
                                                        ENGINE_EVT_PEER_PROPERTY}));
    const EnginePeerRecord found = record_of(events[0]);
    EXPECT_EQ(core_name_cmp_str(found.nodeId.key, "node.b"), 0);
    EXPECT_EQ(core_name_cmp_str(found.sessionName.key, "session.b"), 0);
    EXPECT_EQ(core_name_cmp_str(found.peerName.key, "user.b"), 0);
    EXPECT_EQ(found.address, loopback(2));
    EXPECT_EQ(found.port, htons(4000));
    EXPECT_EQ(found.mode, 1u);
    ASSERT_EQ(events[1].data.size(), sizeof(EnginePeerReady));
    EnginePeerReady ready;
    memcpy(&ready, events[1].data.data(), sizeof(ready));
    EXPECT_EQ(memcmp(&ready.record, &found, sizeof(found)), 0);
    EXPECT_EQ(ready.zero, 0u);
    EXPECT_EQ(ready.peerWord, 0x1122334455667788ull);
    EXPECT_EQ(ready.identityTime, 0x99AABBCCDDEEFF00ull);
    EXPECT_EQ(property_of(events[2]), "node.userid.field=bob");
    EXPECT_EQ(memcmp(events[2].data.data(), &found, sizeof(found)), 0) << "the property names its peer";
    EXPECT_EQ(outgoing("session.b", 6).back(), "ready");

    // Settled: nothing moves and nothing is posted.
    EXPECT_EQ(engine_presence_cycle(service_), 0u);
    EXPECT_TRUE(presence_events().empty());

    // One changed event per ready marker; later properties pass at once.
    data_event("session.b", marker(ENGINE_PRESENCE_READY));
    engine_presence_cycle(service_);
    data_event("session.b", property(ENGINE_PROP_STATUS, ENGINE_STATUS_BUSY));
    data_event("session.b", marker(ENGINE_PRESENCE_READY));
    engine_presence_cycle(service_);
    engine_presence_cycle(service_);
    events = presence_events();
    ASSERT_EQ(codes_of(events), (std::vector<uint32_t>{ENGINE_EVT_PEER_CHANGED, ENGINE_EVT_PEER_CHANGED,
                                                        ENGINE_EVT_PEER_PROPERTY}));
    EXPECT_EQ(property_of(events[2]), "node.status.field=status.busy.value");

    session_event("session.b", FLOWMESH_SESSION_DOWN);
    events = presence_events();
    ASSERT_EQ(codes_of(events), (std::vector<uint32_t>{ENGINE_EVT_PEER_LOST}));
    EXPECT_EQ(memcmp(events[0].data.data(), &found, sizeof(found)), 0);
    engine_presence_cycle(service_);
    EXPECT_TRUE(presence_events().empty()) << "a peer is lost once";
}

TEST_F(PeerTable, PeerThatNeverBecomesReadyIsDroppedSilentlyAfterItsDeadline)
{
    struct Case {
        const char *purpose;
        const char *session;
        bool end_of_properties;
        bool bind_stream;
    };
    const Case cases[] = {
        {"no end-of-properties marker", "session.c", false, true},
        {"no binding stream", "session.d", true, false},
    };
    for (const Case &c : cases) {
        session_event(c.session, FLOWMESH_SESSION_UP);
        if (c.end_of_properties) data_event(c.session, marker(ENGINE_PRESENCE_END_OF_PROPERTIES));
        if (c.bind_stream) stream_opened(c.session);
    }
    engine_presence_cycle(service_);
    EXPECT_EQ(live_peers(), 2u);
    core_clock_test_advance_ms(ENGINE_PEER_DEADLINE_MS + 1);
    engine_presence_cycle(service_);  // -> gone
    engine_presence_cycle(service_);  // removed
    EXPECT_EQ(live_peers(), 0u);
    EXPECT_TRUE(presence_events().empty());
}

TEST_F(PeerTable, OfflineStatusIsPostedThenThePeerIsLost)
{
    session_event("session.b", FLOWMESH_SESSION_UP);
    complete_peer("session.b");
    engine_presence_cycle(service_);
    engine_presence_cycle(service_);
    presence_events();

    data_event("session.b", property(ENGINE_PROP_STATUS, ENGINE_STATUS_OFFLINE));
    engine_presence_cycle(service_);
    std::vector<Event> events = presence_events();
    ASSERT_EQ(codes_of(events), (std::vector<uint32_t>{ENGINE_EVT_PEER_PROPERTY}));
    EXPECT_EQ(property_of(events[0]), "node.status.field=status.offline.value");
    engine_presence_cycle(service_);  // not ready any more -> gone
    engine_presence_cycle(service_);
    EXPECT_EQ(codes_of(presence_events()), (std::vector<uint32_t>{ENGINE_EVT_PEER_LOST}));
    EXPECT_EQ(live_peers(), 0u);
}

TEST_F(PeerTable, ClosedBindingStreamDropsAnEstablishedPeer)
{
    session_event("session.b", FLOWMESH_SESSION_UP);
    complete_peer("session.b");
    engine_presence_cycle(service_);
    engine_presence_cycle(service_);
    presence_events();

    // The binding service's event: session, peer node, stream name.
    CoreName names[3];
    core_name_format(&names[0], "session.b");
    core_name_format(&names[1], "node.b");
    core_name_format(&names[2], "%s", ENGINE_STREAM_BIND);
    const uint64_t seq = engine_post_event(ENGINE_EVT_BIND_STREAM_CLOSED, names, sizeof(names));
    ASSERT_NE(seq, 0u);
    recorder_.flush();
    EXPECT_NE(service_->changes.load(), 0u) << "the closed stream is a change the cycle must see";
    engine_presence_cycle(service_);
    engine_presence_cycle(service_);
    EXPECT_EQ(codes_of(presence_events()), (std::vector<uint32_t>{ENGINE_EVT_PEER_LOST}));
}

TEST_F(PeerTable, BadPropertiesAreDroppedAndCountedTheAvatarPasses)
{
    session_event("session.b", FLOWMESH_SESSION_UP);
    std::vector<uint8_t> too_long = named(header(297, 0, 297), ENGINE_PROP_LASTNAME);
    data_event("session.b", too_long);
    std::vector<uint8_t> truncated(kUserIdAlice.begin(), kUserIdAlice.end() - 1);
    data_event("session.b", truncated);
    data_event("session.b", {0x00, 0x00, 0x00});
    data_event("session.b", property(ENGINE_PROP_AVATAR, std::string(ENGINE_PROP_AVATAR_MAX, 'p')));
    data_event("session.b", kUserIdAlice, ENGINE_STREAM_BIND);  // not the service stream: not ours
    EXPECT_EQ(service_->droppedMessages.load(), 3u);

    complete_peer("session.b");
    engine_presence_cycle(service_);
    engine_presence_cycle(service_);
    const std::vector<Event> events = presence_events();
    ASSERT_EQ(codes_of(events), (std::vector<uint32_t>{ENGINE_EVT_PEER_FOUND, ENGINE_EVT_PEER_READY,
                                                        ENGINE_EVT_PEER_PROPERTY, ENGINE_EVT_PEER_PROPERTY}));
    EXPECT_EQ(events[2].data.size(), sizeof(EngineNodeProperty) + ENGINE_PROP_AVATAR_MAX);
    EXPECT_EQ(property_of(events[3]), "node.userid.field=bob");
}

TEST_F(PeerTable, TwoSessionsToOneNodeAreTwoPeers)
{
    session_event("session.b1", FLOWMESH_SESSION_UP, "node.b", loopback(2));
    session_event("session.b2", FLOWMESH_SESSION_UP, "node.b", loopback(3));
    complete_peer("session.b1");
    complete_peer("session.b2");
    engine_presence_cycle(service_);
    engine_presence_cycle(service_);
    std::vector<Event> found = recorder_.take({ENGINE_EVT_PEER_FOUND});
    ASSERT_EQ(found.size(), 2u);
    const EnginePeerRecord a = record_of(found[0]), b = record_of(found[1]);
    EXPECT_EQ(memcmp(a.nodeId.key, b.nodeId.key, CORE_NAME_KEY_SIZE), 0);
    EXPECT_NE(memcmp(a.sessionName.key, b.sessionName.key, CORE_NAME_KEY_SIZE), 0);
    EXPECT_NE(a.address, b.address);
}

}  // namespace
