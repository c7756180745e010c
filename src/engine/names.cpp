#include "engine/names.h"

#include <cstring>

namespace {

constexpr const char *k_plain_patterns[2] = {"stream.%08X", "split.stream.%08X"};
constexpr const char *k_plain_prefixes[2] = {"stream.", "split.stream."};

// "codec.%08X.stream.%08X": the stream number is the eight characters at
// offset 22.
constexpr char k_codec_prefix[] = "codec.";
constexpr char k_codec_middle[] = ".stream.";
constexpr size_t k_codec_middle_at = 14;
constexpr uint32_t k_codec_number_at = 22;
constexpr size_t k_codec_length = 30;  // 6 + 8 + 8 + 8

// The length of the printable text, derived from the key alone: a raw
// record's text copy may be stale or unterminated.
size_t key_length(const CoreName *name)
{
    return strnlen(reinterpret_cast<const char *>(name->key), CORE_NAME_KEY_SIZE);
}

int kind_of_number(uint64_t number)
{
    if (number & ENGINE_STREAM_BIAS_OTHER) return 2;
    if (number >= ENGINE_STREAM_BIAS_VIDEO) return 1;
    return 0;
}

int32_t binder_index(const CoreName *name, const char *prefix)
{
    // "p2p.bnd." + eight digits + ".chnl"
    constexpr size_t k_prefix_length = 8;
    constexpr size_t k_name_length = 21;
    if (name == nullptr || memcmp(name->key, prefix, k_prefix_length) != 0 || key_length(name) != k_name_length)
        return ENGINE_BINDER_INDEX_NONE;
    uint64_t number = 0;
    if (core_name_parse_hex(&number, name->key, k_prefix_length, 8) != CORE_OK) return ENGINE_BINDER_INDEX_NONE;
    return static_cast<int32_t>(static_cast<uint32_t>(number));
}

// The stream number a codec name points at. A name without the codec
// pattern is refused rather than read at a fixed offset, where another
// name's characters would pass for digits.
bool codec_stream_number(const CoreName *codec, uint32_t *number)
{
    if (key_length(codec) != k_codec_length ||
        memcmp(codec->key, k_codec_prefix, sizeof(k_codec_prefix) - 1) != 0 ||
        memcmp(codec->key + k_codec_middle_at, k_codec_middle, sizeof(k_codec_middle) - 1) != 0)
        return false;
    uint64_t value = 0;
    if (core_name_parse_hex(&value, codec->key, k_codec_number_at, 8) != CORE_OK) return false;
    *number = static_cast<uint32_t>(value);
    return true;
}

// True when `name` is "stream.%08X" or "split.stream.%08X" of number.
bool is_plain_stream_name(const CoreName *name, uint32_t number)
{
    uint8_t key[CORE_NAME_KEY_SIZE];
    for (const char *pattern : k_plain_patterns) {
        core_key_format(key, pattern, number);
        if (core_compare_key32(key, name->key) == 0) return true;
    }
    return false;
}

bool is_codec_record(const EngineStreamRecord &record)
{
    return (record.mediaFlags & ENGINE_MEDIA_CODEC_RECORD) != 0;
}

}  // namespace

CoreName *engine_stream_name_make(CoreName *out, int split, int kind, uint32_t index)
{
    if (out == nullptr) return nullptr;
    memset(out, 0, sizeof(*out));
    if (split != 0 && split != 1) return nullptr;
    uint32_t number = 0;
    switch (kind) {
    case -1:
    case 0:
    case 1: {
        // An index past its kind's range would make a name of the next kind.
        if (index >= ENGINE_STREAM_BIAS_VIDEO) return nullptr;
        number = index + (kind == 1 ? ENGINE_STREAM_BIAS_VIDEO : 0);
        break;
    }
    case 2:
        // 0x7FFFFFFF would make the unset name "stream.FFFFFFFF".
        if (index >= ENGINE_STREAM_NUMBER_UNSET - ENGINE_STREAM_BIAS_OTHER) return nullptr;
        number = index + ENGINE_STREAM_BIAS_OTHER;
        break;
    default:
        number = 0;
        break;
    }
    return core_name_format(out, k_plain_patterns[split], number);
}

int engine_stream_name_kind(const CoreName *name, int split)
{
    if (name == nullptr || (split != 0 && split != 1)) return -1;
    const char *prefix = k_plain_prefixes[split];
    const size_t prefix_length = strlen(prefix);
    if (memcmp(name->key, prefix, prefix_length) != 0) return -1;
    if (key_length(name) != prefix_length + 8) return -1;
    uint64_t number = 0;
    if (core_name_parse_hex(&number, name->key, static_cast<uint32_t>(prefix_length), 8) != CORE_OK) return -1;
    return kind_of_number(number);
}

int32_t engine_p2p_binder_index(const CoreName *name)
{
    return binder_index(name, "p2p.bnd.");
}

int32_t engine_p2m_binder_index(const CoreName *name)
{
    return binder_index(name, "p2m.bnd.");
}

int engine_stream_table_find_codec_name(const EngineStreamTable *table, const CoreName *plain, CoreName *out)
{
    if (table == nullptr || plain == nullptr || out == nullptr) return 0;
    for (uint64_t i = 0; i < table->count; ++i) {
        const EngineStreamRecord &record = table->records[i];
        uint32_t number = 0;
        // A malformed codec record (say, from a peer's offer) must not hide
        // the well-formed ones after it, so it is passed over.
        if (!is_codec_record(record) || !codec_stream_number(&record.streamName, &number)) continue;
        if (is_plain_stream_name(plain, number)) {
            memcpy(out, &record.streamName, sizeof(CoreName));
            core_name_make(out);  // text and hex from the key, whatever the record carried
            return 1;
        }
    }
    return 0;
}

EngineStreamRecord *engine_stream_table_find_plain(const EngineStreamTable *table, const CoreName *codec)
{
    uint32_t number = 0;
    if (table == nullptr || codec == nullptr || !codec_stream_number(codec, &number)) return nullptr;
    for (uint64_t i = 0; i < table->count; ++i) {
        const EngineStreamRecord &record = table->records[i];
        if (!is_codec_record(record) && is_plain_stream_name(&record.streamName, number))
            return const_cast<EngineStreamRecord *>(&record);
    }
    return nullptr;
}
