#include <gtest/gtest.h>

#include <cstring>

#include "services/buffer.h"

namespace {

PkAudioFormat make(uint32_t rate, uint8_t channels, uint8_t bits, uint16_t order, char type)
{
    PkAudioFormat f{};
    f.rate = rate;
    f.channels = channels;
    f.bits = bits;
    f.byteOrder = order;
    f.sampleType = type;
    return f;
}

bool same(const PkAudioFormat &a, const PkAudioFormat &b)
{
    return memcmp(&a, &b, sizeof(a)) == 0;
}

}  // namespace

TEST(PkBuffer, ConstructorsCopyEveryField)
{
    uint8_t id[PK_BUFFER_ID_SIZE];
    for (int i = 0; i < PK_BUFFER_ID_SIZE; i++) id[i] = uint8_t(i + 1);
    const uint8_t payload[] = {9, 8, 7};
    PkBuffer event(id, 42, 7, payload, sizeof(payload));
    PkBuffer copy(event);
    event.data[0] = 0;  // the copy owns its payload
    EXPECT_EQ(0, memcmp(copy.id, id, sizeof(id)));
    EXPECT_EQ(42, copy.code);
    EXPECT_EQ(7, copy.flags);
    EXPECT_EQ((std::vector<uint8_t>{9, 8, 7}), copy.data);

    PkBuffer plain(std::vector<uint8_t>{1, 2});
    const uint8_t zero[PK_BUFFER_ID_SIZE] = {};
    EXPECT_EQ(0, memcmp(plain.id, zero, sizeof(zero)));
    EXPECT_EQ(0, plain.code);
    EXPECT_EQ(0, plain.flags);
    EXPECT_EQ((std::vector<uint8_t>{1, 2}), plain.data);

    // No id and no payload pointer, whatever length comes with it.
    PkBuffer empty(nullptr, 3, 0, nullptr, 100);
    EXPECT_EQ(0, memcmp(empty.id, zero, sizeof(zero)));
    EXPECT_TRUE(empty.data.empty());
}

TEST(PkAudioFormat, HasTheEngineByteLayout)
{
    const PkAudioFormat f = make(48000, 2, 16, PK_BYTE_ORDER_LE, 'S');
    uint32_t words[2];
    memcpy(words, &f, sizeof(words));
    EXPECT_EQ(48000u, words[0]);
    EXPECT_EQ(0x4C451002u, words[1]);
}

TEST(PkAudioFormat, ParsesText)
{
    const PkAudioFormat zero{};
    struct Case {
        const char *text;
        PkAudioFormat expected;
    } cases[] = {
        {"S16LE@48000:2", make(48000, 2, 16, PK_BYTE_ORDER_LE, 'S')},
        {"F32LE@44100:2", make(44100, 2, 32, PK_BYTE_ORDER_LE, 'F')},
        {"S24BE@96000:6", make(96000, 6, 24, PK_BYTE_ORDER_BE, 'S')},
        {"U8@8000:1", make(8000, 1, 8, 0, 'U')},            // no byte order below 9 bits
        {"S16@48000:2", make(48000, 2, 16, 0, 'S')},        // byte order left unset
        {"16LE@48000:2", make(48000, 2, 16, PK_BYTE_ORDER_LE, 0)},
        {"S16LE@48000", zero},                               // no channels
        {"S16LE:2", zero},                                   // no rate
        {"S0LE@48000:2", zero},
        {"S16LE@48000:255", zero},
        {"S16LE@:2", zero},                                  // '@' without digits
        {"S", zero},
        {"", zero},
        {"SxLE@48000:2", zero},                              // the first digit run is taken as the bits
        // Numbers too large for their field are rejected, not wrapped into
        // a plausible value.
        {"S272LE@48000:2", zero},
        {"S16LE@48000:258", zero},
        {"S16LE@99999999999:2", zero},
        {"S16LE@4294967295:2", zero},
    };
    for (const Case &c : cases) {
        const PkAudioFormat got = pk_audio_format_from_text(c.text);
        EXPECT_TRUE(same(c.expected, got)) << c.text << " -> " << pk_audio_format_to_text(got);
    }
}

TEST(PkAudioFormat, FormatsText)
{
    struct Case {
        PkAudioFormat format;
        const char *expected;
    } cases[] = {
        {make(48000, 2, 16, PK_BYTE_ORDER_LE, 'S'), "S16LE@48000:2"},
        {make(8000, 1, 8, 0, 'U'), "U8@8000:1"},
        {make(48000, 2, 16, 0, 'S'), "S16BE@48000:2"},  // anything but 'LE' is big-endian
        {make(0, 0, 16, PK_BYTE_ORDER_LE, 'S'), "S16LE"},
        {make(48000, 2, 16, PK_BYTE_ORDER_LE, 0), "16LE@48000:2"},
        {make(4294967294u, 254, 254, PK_BYTE_ORDER_BE, 'F'), "F254BE@4294967294:254"},
    };
    for (const Case &c : cases) EXPECT_EQ(c.expected, pk_audio_format_to_text(c.format));

    for (const char *text : {"S16LE@48000:2", "U8@8000:1", "F32LE@44100:2"})
        EXPECT_EQ(text, pk_audio_format_to_text(pk_audio_format_from_text(text)));
}
