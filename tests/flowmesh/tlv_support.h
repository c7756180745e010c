// TLV records for tests: items with host-order values, their wire bytes,
// and a TLV channel whose consumer keeps every record it is handed.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/tlv.h"
#include "flowmesh/service.h"

namespace tlv_support {

using Bytes = std::vector<uint8_t>;

struct Item {
    uint8_t type;
    Bytes host;  // the value as a consumer sees it (integers in host order)
};

template <typename T>
Item integer(uint8_t type, T v)
{
    Bytes b(sizeof(T));
    memcpy(b.data(), &v, sizeof(T));
    return {type, b};
}
inline Item u16(uint16_t v) { return integer(CORE_TLV_U16, v); }
inline Item u32(uint32_t v) { return integer(CORE_TLV_U32, v); }
inline Item u64(uint64_t v) { return integer(CORE_TLV_U64, v); }
inline Item id(const uint8_t *key) { return {CORE_TLV_ID, Bytes(key, key + 32)}; }
inline Item blob(const Bytes &b) { return {CORE_TLV_BLOB, b}; }
inline Item end() { return {CORE_TLV_END, {}}; }

// Wire bytes written independently of the encoder: head, then big-endian
// integers or raw bytes.
inline Bytes wire_of(const std::vector<Item> &items)
{
    Bytes out;
    for (const Item &i : items) {
        const uint32_t n = static_cast<uint32_t>(i.host.size());
        out.insert(out.end(), {i.type, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
        const bool integer = i.type <= CORE_TLV_U64;
        for (uint32_t k = 0; k < n; ++k) out.push_back(integer ? i.host[n - 1 - k] : i.host[k]);
    }
    return out;
}

inline Bytes values_of(const std::vector<Item> &items)
{
    Bytes out;
    for (const Item &i : items) out.insert(out.end(), i.host.begin(), i.host.end());
    return out;
}

// What a channel's consumer was handed, copied out of the queue.
struct Got {
    std::string name;
    uint32_t type;
    uint32_t flags;
    Bytes values;
    Bytes types;
    std::vector<uint32_t> lengths;
    Bytes trailer;  // the record view's schema bytes, for parsers run later
};

// A channel on its own consumer thread that keeps every record; `parse`,
// when set, runs on the consumer thread with the record view.
struct Reader {
    using ParseFn = void (*)(const FlowmeshTlvRecord *record, void *user);

    std::mutex mutex;
    std::vector<Got> got;
    FlowmeshTlvChannel *channel = nullptr;
    CoreName name = {};
    ParseFn parse = nullptr;
    void *parse_user = nullptr;

    explicit Reader(uint64_t pool_size = 0)
    {
        FlowmeshTlvChannelConfig config = {};
        config.pool_size = pool_size;
        config.callback = consume;
        config.user[0] = this;
        channel = flowmesh_channel_create(&config);
        core_name_format(&name, "session.a");
    }
    ~Reader() { flowmesh_channel_destroy(&channel); }

    static int consume(CoreQueueEntry *entry, void **user)
    {
        auto *self = static_cast<Reader *>(user[0]);
        FlowmeshTlvRecord record;
        EXPECT_EQ(flowmesh_tlv_record_of(entry, &record), CORE_OK);
        Got g;
        g.name = entry->name.text;
        g.type = entry->type;
        g.flags = entry->flags;
        const auto *p = static_cast<const uint8_t *>(entry->data);
        g.values.assign(p, p + entry->length);
        for (uint32_t i = 0; i < record.count; ++i) {
            g.types.push_back(flowmesh_tlv_record_type(&record, i));
            g.lengths.push_back(flowmesh_tlv_record_length(&record, i));
        }
        if (self->parse != nullptr) self->parse(&record, self->parse_user);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->got.push_back(std::move(g));
        return CORE_OK;
    }

    size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return got.size();
    }

    bool wait_for(size_t n)
    {
        const uint64_t end = core_clock_mono_ms() + 5000;
        while (count() < n && core_clock_mono_ms() < end) core_sleep_ms(2);
        return count() == n;
    }

    // Each piece from an allocation of exactly its size, so that a read
    // past a piece is caught.
    CoreResult feed(const uint8_t *data, size_t n, uint32_t type = 7, uint32_t flags = 9)
    {
        Bytes exact(data, data + n);
        CoreQueueEntry entry = {name, type, flags, exact.size(), exact.data()};
        return flowmesh_tlv_reader_feed(channel, &entry);
    }
    CoreResult feed(const Bytes &b) { return feed(b.data(), b.size()); }
};

}  // namespace tlv_support
