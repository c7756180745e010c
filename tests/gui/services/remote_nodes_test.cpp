#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine/node.h"
#include "services/remote_nodes.h"

using namespace PkConstants;

namespace {

PkBuffer text_value(const std::string &text)
{
    return PkBuffer(std::vector<uint8_t>(text.begin(), text.end()));
}

void set_field(PkSession &session, std::string_view key, const std::string &value)
{
    ASSERT_TRUE(pk_session_apply_field(session, PkXID::fromText(key), text_value(value)));
}

PkXID xid_of(uint8_t fill)
{
    PkXID id;
    memset(id.key, fill, sizeof(id.key));
    return id;
}

PkSessionAddress address_entry(uint8_t id, uint32_t address, uint16_t port)
{
    PkSessionAddress entry;
    entry.addressId = xid_of(id);
    entry.endpoint.address = address;
    entry.endpoint.port = port;
    return entry;
}

}  // namespace

TEST(RemoteNodes, NewSessionsStartAtTheInitialValues)
{
    const PkSession local(PkXID::fromText("me"));
    EXPECT_TRUE(local.nodeId.isNull());
    EXPECT_EQ(pk_id_to_printable(local.userId), "me");

    const PkSession remote(xid_of(7), PkXID::fromText("peer"));
    EXPECT_EQ(remote.nodeId, xid_of(7));
    EXPECT_EQ(remote.gender, "gender.none.value");
    EXPECT_EQ(remote.birthday, "birthday.invalid.value");
    EXPECT_EQ(remote.status, "status.offline.value");
    EXPECT_EQ(remote.direction, 0u);
    EXPECT_TRUE(remote.avatar.data.empty());
    EXPECT_TRUE(remote.nameSuffix.empty());
    EXPECT_TRUE(remote.fields.empty());
}

// Display name and initials from the user id and the two name fields.
TEST(RemoteNodes, DisplayNameAndInitials)
{
    struct Case {
        const char *purpose;
        const char *userId;
        const char *first;  // nullptr: field never stored
        const char *last;
        const char *displayName;
        const char *initials;
    };
    const Case cases[] = {
        {"three words: first and third initial", "ann bob carl", nullptr, nullptr, "ann bob carl", "ac"},
        {"one word", "single", nullptr, nullptr, "single", "s"},
        {"no id at all", "", nullptr, nullptr, "", ""},
        {"leading blank: empty first word", " lead", nullptr, nullptr, " lead", "l"},
        {"trailing blank: empty last word", "trail ", nullptr, nullptr, "trail ", "t"},
        {"double blank between words", "a  b", nullptr, nullptr, "a  b", "ab"},
        {"stored but empty names fall back to the id", "x y", "", "", "x y", "xy"},
        {"first name only keeps a trailing blank", "id", "Ann", "", "Ann ", "A"},
        {"last name only has no leading blank", "id", nullptr, "Lee", "Lee", "L"},
        {"both names", "id", "Ann", "Lee", "Ann Lee", "AL"},
        {"UTF-8 names give whole characters", "id", "\xC3\x89mile", "\xC3\x98ster", "\xC3\x89mile \xC3\x98ster",
         "\xC3\x89\xC3\x98"},
        {"four-byte character", "id", "\xF0\x9F\x98\x80x", nullptr, "\xF0\x9F\x98\x80x ", "\xF0\x9F\x98\x80"},
        {"invalid UTF-8 becomes ?", "id", "\xFF\xFEx", "\xC3", "\xFF\xFEx \xC3", "??"},
        {"overlong encoding becomes ?", "id", "\xC0\xAF", nullptr, "\xC0\xAF ", "?"},
        {"non-ASCII id prints as ?", "\xC3\xA9t\xC3\xA9 z", nullptr, nullptr, "??t?? z", "?z"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.purpose);
        PkSession session(xid_of(1), PkXID::fromText(c.userId));
        if (c.first != nullptr) set_field(session, kNodeFirstNameField, c.first);
        if (c.last != nullptr) set_field(session, kNodeLastNameField, c.last);
        EXPECT_EQ(pk_session_display_name(session), c.displayName);
        EXPECT_EQ(pk_session_initials(session), c.initials);
    }
}

// Known answers: byte 8 of MD5 over id, first, last, gender word, birthday.
TEST(RemoteNodes, ProfileHashByteIsMd5OfTheProfileText)
{
    struct Case {
        const char *purpose;
        const char *userId;
        const char *first;
        const char *last;
        const char *gender;    // nullptr: initial value
        const char *birthday;  // nullptr: initial value
        uint8_t expected;
    };
    const Case cases[] = {
        {"full profile", "alice", "Alice", "Liddell", "gender.female.value", "1852-05-04", 161},
        {"initial gender and birthday give none and -", "bob smith", nullptr, nullptr, nullptr, nullptr, 218},
        {"male, invalid birthday", "carol", "Carol", nullptr, "gender.male.value", "birthday.invalid.value", 53},
        {"gender compared exactly", "dave", nullptr, nullptr, "gender.MALE.value", "1990-01-01", 197},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.purpose);
        PkSession one(xid_of(1), PkXID::fromText(c.userId));
        PkSession two(xid_of(2), PkXID::fromText(c.userId));
        for (PkSession *session : {&one, &two}) {
            if (c.first != nullptr) set_field(*session, kNodeFirstNameField, c.first);
            if (c.last != nullptr) set_field(*session, kNodeLastNameField, c.last);
            if (c.gender != nullptr) set_field(*session, kNodeGenderField, c.gender);
            if (c.birthday != nullptr) set_field(*session, kNodeBirthdayField, c.birthday);
        }
        EXPECT_EQ(one.profileHashByte(), c.expected);
        EXPECT_EQ(two.profileHashByte(), c.expected) << "same profile, other node id";
    }
}

TEST(RemoteNodes, StatusAndDirectionValues)
{
    struct StatusCase {
        const char *value;
        const char *stored;
    };
    const StatusCase statuses[] = {
        {"status.online.value", "status.online.value"},   {"status.away.value", "status.away.value"},
        {"status.busy.value", "status.busy.value"},       {"status.offline.value", "status.offline.value"},
        {"status.Online.value", "status.offline.value"},  {"status.online.value ", "status.offline.value"},
        {"", "status.offline.value"},                     {"dancing", "status.offline.value"},
    };
    for (const StatusCase &c : statuses) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(pk_status_value_normalize(c.value), c.stored);
        PkSession session(xid_of(1), xid_of(2));
        set_field(session, kNodeStatusField, "status.busy.value");
        set_field(session, kNodeStatusField, c.value);
        EXPECT_EQ(session.status, c.stored);
    }

    struct DirectionCase {
        const char *value;
        uint32_t direction;
    };
    const DirectionCase directions[] = {
        {"direction.outgoing.value", 1}, {"direction.incoming.value", 2}, {"direction.bidirectional.value", 3},
        {"direction.none.value", 0},     {"", 0},                         {"direction.incoming.valu", 0},
    };
    for (const DirectionCase &c : directions) {
        SCOPED_TRACE(c.value);
        PkSession session(xid_of(1), xid_of(2));
        set_field(session, kNodeBinderDirectionField, "direction.bidirectional.value");
        set_field(session, kNodeBinderDirectionField, c.value);
        EXPECT_EQ(session.direction, c.direction);
    }
}

TEST(RemoteNodes, UserIdValueIsCutOrPaddedTo32Bytes)
{
    PkSession session(xid_of(1), xid_of(0xAA));
    set_field(session, kNodeUserIdField, std::string(40, 'u') + "tail");
    EXPECT_EQ(pk_id_to_printable(session.userId), std::string(32, 'u'));

    set_field(session, kNodeUserIdField, "short");
    EXPECT_EQ(session.userId, PkXID::fromText("short")) << "the rest of the old id is cleared";

    set_field(session, kNodeUserIdField, "");
    EXPECT_TRUE(session.userId.isNull());
}

TEST(RemoteNodes, OtherKeysAndAvatarAreStoredAsGiven)
{
    PkSession session(xid_of(1), xid_of(2));
    set_field(session, "node.city.field", "Oslo");
    set_field(session, "node.city.field", "Bergen");
    set_field(session, "node.c", "prefix key");

    PkXID oddKey = PkXID::fromText("key");
    oddKey.key[3] = 0x07;
    oddKey.key[4] = 'x';
    ASSERT_TRUE(pk_session_apply_field(session, oddKey, text_value(std::string("a\0b", 3))));

    ASSERT_EQ(session.fields.size(), 3u);
    auto it = session.fields.begin();
    EXPECT_EQ(it->first, "key?x");
    EXPECT_EQ(it->second, std::string("a\0b", 3)) << "value keeps every byte";
    ++it;
    EXPECT_EQ(it->first, "node.c") << "a prefix sorts before the longer key";
    ++it;
    EXPECT_EQ(it->first, "node.city.field");
    EXPECT_EQ(it->second, "Bergen");

    const uint8_t messageId[32] = {9, 8, 7};
    const uint8_t picture[] = {0x89, 'P', 'N', 'G', 0};
    const PkBuffer avatar(messageId, 5, 6, picture, sizeof(picture));
    ASSERT_TRUE(pk_session_apply_field(session, PkXID::fromText(kNodeAvatarField), avatar));
    EXPECT_EQ(memcmp(session.avatar.id, messageId, sizeof(messageId)), 0);
    EXPECT_EQ(session.avatar.code, 5);
    EXPECT_EQ(session.avatar.flags, 6);
    EXPECT_EQ(session.avatar.data, avatar.data);
    EXPECT_EQ(session.fields.size(), 3u) << "known keys never land in fields";
}

// Values above the engine's limits cannot come from a well-behaved peer.
TEST(RemoteNodes, OversizedValuesAreRefused)
{
    PkSession session(xid_of(1), PkXID::fromText("id"));
    set_field(session, kNodeFirstNameField, "Ann");

    EXPECT_FALSE(pk_session_apply_field(session, PkXID::fromText(kNodeFirstNameField),
                                        text_value(std::string(ENGINE_PROP_VALUE_MAX + 1, 'n'))));
    EXPECT_EQ(pk_session_display_name(session), "Ann ");
    EXPECT_FALSE(pk_session_apply_field(session, PkXID::fromText(kNodeUserIdField),
                                        text_value(std::string(ENGINE_PROP_VALUE_MAX + 1, 'u'))));
    EXPECT_EQ(session.userId, PkXID::fromText("id"));
    EXPECT_TRUE(pk_session_apply_field(session, PkXID::fromText(kNodeLastNameField),
                                       text_value(std::string(ENGINE_PROP_VALUE_MAX, 'l'))));

    const PkXID avatarKey = PkXID::fromText(kNodeAvatarField);
    EXPECT_TRUE(pk_session_apply_field(session, avatarKey, PkBuffer(std::vector<uint8_t>(ENGINE_PROP_AVATAR_MAX, 1))));
    EXPECT_FALSE(
        pk_session_apply_field(session, avatarKey, PkBuffer(std::vector<uint8_t>(ENGINE_PROP_AVATAR_MAX + 1, 2))));
    EXPECT_EQ(session.avatar.data.size(), ENGINE_PROP_AVATAR_MAX);
}

TEST(RemoteNodes, AddressListKeepsOneEntryPerSession)
{
    PkSession session(xid_of(1), xid_of(2));
    EXPECT_TRUE(pk_session_add_address(session, address_entry(1, 0x0100A8C0, 0x15EB)));
    EXPECT_TRUE(pk_session_add_address(session, address_entry(2, 0x0200A8C0, 0x15EB)));
    EXPECT_TRUE(pk_session_add_address(session, address_entry(3, 0x0300A8C0, 0x16EB)));
    EXPECT_FALSE(pk_session_add_address(session, address_entry(2, 0x0900A8C0, 0x0100))) << "same session id";

    pk_session_remove_address(session, xid_of(9));
    std::vector<PkSessionAddress> list = pk_session_addresses(session);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[1].endpoint.address, 0x0200A8C0u) << "the duplicate changed nothing";

    pk_session_remove_address(session, xid_of(2));
    list = pk_session_addresses(session);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].addressId, xid_of(1));
    EXPECT_EQ(list[1].addressId, xid_of(3));
    EXPECT_EQ(list[1].endpoint.port, 0x16EB);

    EXPECT_TRUE(pk_session_add_address(session, address_entry(2, 0x0200A8C0, 0x15EB))) << "free again once removed";
}

TEST(RemoteNodes, BroadcastChannels)
{
    PkSession session(xid_of(1), xid_of(2));
    EXPECT_TRUE(pk_session_add_channels(session, 0, xid_of(5)));
    EXPECT_TRUE(pk_session_channels(session).empty());

    ASSERT_TRUE(pk_session_add_channels(session, 4, xid_of(5)));
    ASSERT_TRUE(pk_session_add_channels(session, 2, xid_of(6)));
    const std::vector<PkSessionChannel> channels = pk_session_channels(session);
    ASSERT_EQ(channels.size(), 6u) << "a second call adds a second set";
    const char *names[] = {"p2m.bnd.00000000.chnl", "p2m.bnd.00000001.chnl", "p2m.bnd.00000002.chnl",
                           "p2m.bnd.00000003.chnl", "p2m.bnd.00000000.chnl", "p2m.bnd.00000001.chnl"};
    for (size_t i = 0; i < channels.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(channels[i].channelName, PkXID::fromText(names[i]));
        EXPECT_EQ(channels[i].bindSequenceId, xid_of(i < 4 ? 5 : 6));
        EXPECT_EQ(channels[i].state, 0);
    }

    // The count comes from a channel name a peer chose.
    EXPECT_FALSE(pk_session_add_channels(session, PK_SESSION_CHANNELS_MAX + 1, xid_of(7)));
    EXPECT_FALSE(pk_session_add_channels(session, 0x7FFFFFFF, xid_of(7)));
    EXPECT_EQ(pk_session_channels(session).size(), 6u);
    EXPECT_TRUE(pk_session_add_channels(session, PK_SESSION_CHANNELS_MAX, xid_of(7)));
    EXPECT_EQ(pk_session_channels(session).back().channelName, PkXID::fromText("p2m.bnd.0000001F.chnl"));

    pk_session_clear_channels(session);
    EXPECT_TRUE(pk_session_channels(session).empty());
}

// The event worker writes while a window reads; every copy must be whole.
TEST(RemoteNodes, ReadersSeeConsistentCopiesWhileTheWorkerWrites)
{
    PkSession session(xid_of(1), PkXID::fromText("reader test"));
    set_field(session, kNodeFirstNameField, "Name");
    std::atomic<bool> done{false};

    std::thread worker([&] {
        for (int round = 0; round < 300; round++) {
            pk_session_apply_field(session, PkXID::fromText(kNodeFirstNameField), text_value("Name" + std::to_string(round)));
            pk_session_apply_field(session, PkXID::fromText(kNodeUserIdField), text_value("user " + std::to_string(round)));
            pk_session_add_address(session, address_entry(uint8_t(round % 3), uint32_t(round), 1));
            pk_session_remove_address(session, xid_of(uint8_t((round + 1) % 3)));
            pk_session_add_channels(session, 4, xid_of(uint8_t(round)));
            if (round % 2 == 1) pk_session_clear_channels(session);
        }
        done = true;
    });

    while (!done) {
        const std::string name = pk_session_display_name(session);
        EXPECT_EQ(name.compare(0, 4, "Name"), 0) << name;
        EXPECT_FALSE(pk_session_initials(session).empty());
        (void)session.profileHashByte();
        const std::vector<PkSessionChannel> channels = pk_session_channels(session);
        ASSERT_EQ(channels.size() % 4, 0u);
        for (size_t i = 0; i < channels.size(); i += 4)
            for (size_t j = 1; j < 4; j++) ASSERT_EQ(channels[i + j].bindSequenceId, channels[i].bindSequenceId);
        EXPECT_LE(pk_session_addresses(session).size(), 3u);
    }
    worker.join();
}
