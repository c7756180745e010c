#include "engine/props.h"

#include <cstring>

namespace {

enum class Shape { mode, pair, single, audio };

struct Group {
    uint16_t firstTag;
    Shape shape;
};

// Indexed by kind; kinds 0-17 are video groups, 18-27 audio groups.
constexpr Group k_groups[] = {
    {0x1000, Shape::mode},   {0x1400, Shape::mode},   {0x1500, Shape::single}, {0x1501, Shape::single},
    {0x1600, Shape::pair},   {0x1800, Shape::mode},   {0x1820, Shape::pair},   {0x1840, Shape::mode},
    {0x1880, Shape::mode},   {0x1C00, Shape::mode},   {0x1C20, Shape::pair},   {0x1C40, Shape::mode},
    {0x1C80, Shape::mode},   {0x1D00, Shape::mode},   {0x1E80, Shape::single}, {0x1E00, Shape::single},
    {0x1F80, Shape::single}, {0x1F00, Shape::single}, {0x2000, Shape::audio},  {0x2400, Shape::audio},
    {0x2500, Shape::single}, {0x2501, Shape::single}, {0x2800, Shape::audio},  {0x2840, Shape::audio},
    {0x2880, Shape::audio},  {0x2C00, Shape::audio},  {0x2C40, Shape::audio},  {0x2C80, Shape::audio},
};
constexpr int k_first_audio_kind = 18;
constexpr int k_kind_count = static_cast<int>(sizeof(k_groups) / sizeof(k_groups[0]));
static_assert(k_kind_count == 28, "18 video and 10 audio groups");

constexpr int k_max_members = 5;

bool is_usable_u32(uint32_t v)
{
    return v != 0 && v != 0xFFFFFFFFu;
}

bool is_valid_format(const EngineAudioFormat &f)
{
    return is_usable_u32(f.rate) && f.channels != 0 && f.channels != 255 && f.bits != 0 && f.bits != 255;
}

uint32_t read_u32(const void *value, size_t at)
{
    uint32_t v;
    memcpy(&v, static_cast<const uint8_t *>(value) + at, sizeof v);
    return v;
}

// The members of a group in member order; returns how many.
int group_members(const Group &group, const void *value, uint64_t length, int64_t out[k_max_members])
{
    switch (group.shape) {
    case Shape::mode:
        for (int i = 0; i < 4; ++i) out[i] = (value != nullptr && length == 16) ? read_u32(value, 4 * i) : 0;
        return 4;
    case Shape::pair:
        for (int i = 0; i < 2; ++i) out[i] = (value != nullptr && length == 8) ? read_u32(value, 4 * i) : 0;
        return 2;
    case Shape::audio: {
        EngineAudioFormat f{};
        if (value != nullptr && length == sizeof f) memcpy(&f, value, sizeof f);
        out[0] = f.rate;
        out[1] = f.channels;
        out[2] = f.bits;
        out[3] = f.byteOrder;
        out[4] = f.sampleType;
        return 5;
    }
    case Shape::single:
        break;
    }
    // A narrower single is read at its own width: reading eight bytes from
    // it would run past the caller's value.
    out[0] = ENGINE_PROP_UNSET;
    if (value == nullptr) return 1;
    if (length == 8) {
        memcpy(&out[0], value, 8);
    } else if (length == 4) {
        out[0] = read_u32(value, 0);
    } else if (length == 2) {
        uint16_t v;
        memcpy(&v, value, sizeof v);
        out[0] = v;
    } else if (length == 1) {
        out[0] = *static_cast<const uint8_t *>(value);
    }
    return 1;
}

int add_group(EngineProps *props, const void *value, uint64_t length, int kind, int index)
{
    const Group &group = k_groups[kind];
    int64_t members[k_max_members];
    int count = group_members(group, value, length, members);
    for (int i = 0; i < count; ++i) {
        if (index < 0 || index >= ENGINE_PROPS_COUNT) return -1;
        props->entries[index].tag = static_cast<uint16_t>(group.firstTag + i);
        props->entries[index].value = members[i];
        ++index;
    }
    return index;
}

// The first entry holding `tag`; tags past 0xFFFF (a group that would run
// off the end of the tag space) are never found.
EnginePropEntry *find(EngineProps *props, uint32_t tag)
{
    if (tag == 0 || tag > 0xFFFF) return nullptr;
    for (EnginePropEntry &e : props->entries)
        if (e.tag == tag) return &e;
    return nullptr;
}

const EnginePropEntry *find(const EngineProps *props, uint32_t tag)
{
    return find(const_cast<EngineProps *>(props), tag);
}

// Reads `count` members from `tag` on; false when any is missing or unset.
bool read_members(const EngineProps *props, uint16_t tag, int count, int64_t out[k_max_members])
{
    if (props == nullptr) return false;
    for (int i = 0; i < count; ++i) {
        const EnginePropEntry *e = find(props, static_cast<uint32_t>(tag) + i);
        if (e == nullptr) return false;
        int64_t v = e->value;
        if (v == ENGINE_PROP_UNSET) return false;
        out[i] = v;
    }
    return true;
}

bool write_members(EngineProps *props, uint16_t tag, int count, const int64_t values[k_max_members])
{
    if (props == nullptr) return false;
    for (int i = 0; i < count; ++i) {
        EnginePropEntry *e = find(props, static_cast<uint32_t>(tag) + i);
        if (e == nullptr) return false;
        e->value = values[i];
    }
    return true;
}

bool get_u32s(uint32_t *out, const EngineProps *props, uint16_t tag, int count)
{
    int64_t members[k_max_members];
    if (out == nullptr || !read_members(props, tag, count, members)) return false;
    bool usable = true;
    for (int i = 0; i < count; ++i) {
        out[i] = static_cast<uint32_t>(members[i]);
        usable = usable && is_usable_u32(out[i]);
    }
    return usable;
}

}  // namespace

EngineProps *engine_props_init(EngineProps *props)
{
    if (props == nullptr) return nullptr;
    for (EnginePropEntry &e : props->entries) {
        e.tag = 0;
        e.value = ENGINE_PROP_UNSET;
    }
    return props;
}

int engine_props_count(const EngineProps *props)
{
    if (props == nullptr) return 0;
    int n = 0;
    while (n < ENGINE_PROPS_COUNT && props->entries[n].tag != 0) ++n;
    return n;
}

EngineProps *engine_props_append(EngineProps *destination, const EngineProps *source)
{
    if (destination == nullptr || source == nullptr) return nullptr;
    const int have = engine_props_count(destination);
    const int add = engine_props_count(source);
    if (have == ENGINE_PROPS_COUNT || add == ENGINE_PROPS_COUNT || have + add > ENGINE_PROPS_COUNT)
        return nullptr;
    // memmove: appending a list to itself reads entries 0..add while writing
    // from `have` on.
    memmove(&destination->entries[have], &source->entries[0], static_cast<size_t>(add) * sizeof(EnginePropEntry));
    return destination;
}

int engine_props_add_video(EngineProps *props, const void *value, uint64_t length, int kind, int index)
{
    if (kind < 0 || kind >= k_first_audio_kind) return index;
    if (props == nullptr) return -1;
    return add_group(props, value, length, kind, index);
}

int engine_props_add_audio(EngineProps *props, const void *value, uint64_t length, int kind, int index)
{
    if (kind < k_first_audio_kind || kind >= k_kind_count) return index;
    if (props == nullptr) return -1;
    return add_group(props, value, length, kind, index);
}

bool engine_props_get4(uint32_t out[4], const EngineProps *props, uint16_t tag)
{
    return get_u32s(out, props, tag, 4);
}

bool engine_props_get2(uint32_t out[2], const EngineProps *props, uint16_t tag)
{
    return get_u32s(out, props, tag, 2);
}

bool engine_props_get_audio_format(EngineAudioFormat *out, const EngineProps *props, uint16_t tag)
{
    int64_t m[k_max_members];
    if (out == nullptr || !read_members(props, tag, 5, m)) return false;
    EngineAudioFormat f{};
    f.rate = static_cast<uint32_t>(m[0]);
    f.channels = static_cast<uint8_t>(m[1]);
    f.bits = static_cast<uint8_t>(m[2]);
    f.byteOrder = static_cast<uint16_t>(m[3]);
    f.sampleType = static_cast<uint8_t>(m[4]);
    *out = f;
    return is_valid_format(f);
}

bool engine_props_put4(EngineProps *props, const uint32_t values[4], uint16_t tag)
{
    if (values == nullptr) return false;
    int64_t m[k_max_members] = {values[0], values[1], values[2], values[3], 0};
    return write_members(props, tag, 4, m);
}

bool engine_props_put_audio_format(EngineProps *props, const EngineAudioFormat *format, uint16_t tag)
{
    if (format == nullptr) return false;
    int64_t m[k_max_members] = {format->rate, format->channels, format->bits, format->byteOrder, format->sampleType};
    return write_members(props, tag, 5, m);
}
