#include "services/remote_nodes.h"

#include <glib.h>
#include <openssl/evp.h>

#include <algorithm>

#include "core/names.h"
#include "engine/node.h"

using namespace PkConstants;

// The engine publishes and receives these fields under its own spelling of
// the keys; the two must never drift apart.
static_assert(kNodeUserIdField == ENGINE_PROP_USERID && kNodeFirstNameField == ENGINE_PROP_FIRSTNAME &&
              kNodeLastNameField == ENGINE_PROP_LASTNAME && kNodeGenderField == ENGINE_PROP_GENDER &&
              kNodeBirthdayField == ENGINE_PROP_BIRTHDAY && kNodeBinderDirectionField == ENGINE_PROP_DIRECTION &&
              kNodeStatusField == ENGINE_PROP_STATUS && kNodeAvatarField == ENGINE_PROP_AVATAR);
static_assert(kStatusOnline == ENGINE_STATUS_ONLINE && kStatusAway == ENGINE_STATUS_AWAY &&
              kStatusBusy == ENGINE_STATUS_BUSY && kStatusOffline == ENGINE_STATUS_OFFLINE);

namespace {

// Field keys are texts of at most 32 bytes, so the zero-padded key compares
// all 32 bytes of the received key against the whole text.
bool key_is(const PkXID &key, std::string_view text)
{
    return key == PkXID::fromText(text);
}

std::string value_text(const PkBuffer &value)
{
    return std::string(value.data.begin(), value.data.end());
}

uint32_t direction_from_text(const std::string &text)
{
    if (text == kDirectionOutgoing) return 1;
    if (text == kDirectionIncoming) return 2;
    if (text == kDirectionBidirectional) return 3;
    return 0;
}

std::string field_or_empty(const PkSession &session, std::string_view key)
{
    auto found = session.fields.find(key);
    return found != session.fields.end() ? found->second : std::string();
}

// The first character of a text as UTF-8. Names come from peers and need
// not be valid UTF-8; a first byte that does not begin a valid character
// gives '?', so an initial never hands the toolkit a broken sequence.
std::string first_character(const std::string &text)
{
    if (text.empty()) return {};
    const gunichar character = g_utf8_get_char_validated(text.data(), gssize(text.size()));
    if (character == gunichar(-1) || character == gunichar(-2) || character == 0) return "?";
    char encoded[6];
    const gint length = g_unichar_to_utf8(character, encoded);
    return std::string(encoded, size_t(length));
}

std::string display_name_locked(const PkSession &session)
{
    const std::string first = field_or_empty(session, kNodeFirstNameField);
    const std::string last = field_or_empty(session, kNodeLastNameField);
    if (first.empty() && last.empty()) return pk_id_to_printable(session.userId);
    return first + (first.empty() ? "" : " ") + last;
}

}  // namespace

PkSession::PkSession(const PkXID &userId) : userId(userId) {}

PkSession::PkSession(const PkXID &nodeId, const PkXID &userId) : userId(userId), nodeId(nodeId) {}

uint8_t PkSession::profileHashByte() const
{
    std::string profile;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const char *genderWord = gender == kGenderMale ? "male" : gender == kGenderFemale ? "female" : "none";
        profile = pk_id_to_printable(userId) + field_or_empty(*this, kNodeFirstNameField) +
                  field_or_empty(*this, kNodeLastNameField) + genderWord +
                  (birthday == kBirthdayInvalid ? std::string("-") : birthday);
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(profile.data(), profile.size(), digest, &digestLength, EVP_md5(), nullptr) != 1 ||
        digestLength <= 8)
        return 0;
    return digest[8];
}

bool pk_session_apply_field(PkSession &session, const PkXID &key, const PkBuffer &value)
{
    const size_t limit = key_is(key, kNodeAvatarField) ? ENGINE_PROP_AVATAR_MAX : ENGINE_PROP_VALUE_MAX;
    if (value.data.size() > limit) return false;

    std::lock_guard<std::mutex> lock(session.mutex);
    if (key_is(key, kNodeUserIdField)) {
        session.userId = PkXID();
        std::copy_n(value.data.begin(), std::min(value.data.size(), sizeof(session.userId.key)), session.userId.key);
    } else if (key_is(key, kNodeStatusField)) {
        session.status = pk_status_value_normalize(value_text(value));
    } else if (key_is(key, kNodeBinderDirectionField)) {
        session.direction = direction_from_text(value_text(value));
    } else if (key_is(key, kNodeGenderField)) {
        session.gender = value_text(value);
    } else if (key_is(key, kNodeBirthdayField)) {
        session.birthday = value_text(value);
    } else if (key_is(key, kNodeAvatarField)) {
        session.avatar = value;
    } else {
        session.fields[pk_id_to_printable(key)] = value_text(value);
    }
    return true;
}

std::string pk_session_display_name(const PkSession &session)
{
    std::lock_guard<std::mutex> lock(session.mutex);
    return display_name_locked(session);
}

std::string pk_session_initials(const PkSession &session)
{
    std::lock_guard<std::mutex> lock(session.mutex);
    const std::string first = field_or_empty(session, kNodeFirstNameField);
    const std::string last = field_or_empty(session, kNodeLastNameField);
    if (!first.empty() || !last.empty()) return first_character(first) + first_character(last);

    // Words are cut at every blank, so "a  b" holds an empty middle word and
    // " a" an empty first word; an empty word gives no initial.
    const std::string id = pk_id_to_printable(session.userId);
    const size_t firstBlank = id.find(' ');
    std::string initials = first_character(id.substr(0, firstBlank));
    if (firstBlank != std::string::npos) initials += first_character(id.substr(id.rfind(' ') + 1));
    return initials;
}

bool pk_session_add_address(PkSession &session, const PkSessionAddress &entry)
{
    std::lock_guard<std::mutex> lock(session.mutex);
    for (const PkSessionAddress &present : session.addresses)
        if (present.addressId == entry.addressId) return false;
    session.addresses.push_back(entry);
    return true;
}

void pk_session_remove_address(PkSession &session, const PkXID &addressId)
{
    std::lock_guard<std::mutex> lock(session.mutex);
    auto found = std::find_if(session.addresses.begin(), session.addresses.end(),
                              [&](const PkSessionAddress &entry) { return entry.addressId == addressId; });
    if (found != session.addresses.end()) session.addresses.erase(found);
}

std::vector<PkSessionAddress> pk_session_addresses(const PkSession &session)
{
    std::lock_guard<std::mutex> lock(session.mutex);
    return session.addresses;
}

bool pk_session_add_channels(PkSession &session, uint32_t n, const PkXID &bindSequenceId)
{
    // n is the number in a channel name a peer chose; taken unchecked it
    // could ask for billions of entries.
    if (n > PK_SESSION_CHANNELS_MAX) return false;
    std::vector<PkSessionChannel> added(n);
    for (uint32_t i = 0; i < n; i++) {
        added[i].bindSequenceId = bindSequenceId;
        core_key_format(added[i].channelName.key, "p2m.bnd.%08X.chnl", i);
    }
    std::lock_guard<std::mutex> lock(session.mutex);
    session.channels.insert(session.channels.end(), added.begin(), added.end());
    return true;
}

void pk_session_clear_channels(PkSession &session)
{
    std::lock_guard<std::mutex> lock(session.mutex);
    session.channels.clear();
}

std::vector<PkSessionChannel> pk_session_channels(const PkSession &session)
{
    std::lock_guard<std::mutex> lock(session.mutex);
    return session.channels;
}

std::string pk_status_value_normalize(std::string_view text)
{
    if (text == kStatusOnline || text == kStatusAway || text == kStatusBusy || text == kStatusOffline)
        return std::string(text);
    return std::string(kStatusOffline);
}
