#include "core/settings_records.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <libxml/chvalid.h>

#include "core/log.h"
#include "core/names.h"
#include "core/pool.h"
#include "core/queue.h"
#include "core/tlv.h"

namespace {

struct SettingsStream {
    CoreName pool_name;
    CorePool *pool = nullptr;
    bool registered = false;
    CoreChannel *channels[CORE_SETTINGS_CHANNELS] = {};
};

std::mutex g_stream_lock;
SettingsStream *g_stream = nullptr;

void stream_take_down(SettingsStream *s)
{
    // Channels first: they hold references to the registered pool.
    for (CoreChannel *&channel : s->channels) core_channel_destroy(&channel);
    if (s->registered) core_pool_unregister(&s->pool_name);
    core_pool_destroy(&s->pool);
    delete s;
}

// ---- records to XML ----

enum class Step { next, end, fail };

struct Builder {
    xmlDoc *doc;
    xmlNode *root = nullptr;
    xmlNode *current = nullptr;
};

// Element names come from a CoreName's printable copy; one that is not an
// XML name would be written fine and then make the whole file unreadable.
const xmlChar *element_name(const CoreQueueEntry &entry)
{
    const auto *name = reinterpret_cast<const xmlChar *>(entry.name.text);
    return xmlValidateName(name, 0) == 0 ? name : nullptr;
}

// True when the bytes are UTF-8 made of XML characters only. libxml2
// writes anything else (a control byte, a zero, a stray continuation byte)
// in a form its own parser then refuses, and the whole file would be lost
// at the next start.
bool is_xml_text(const uint8_t *s, size_t n)
{
    size_t i = 0;
    while (i < n) {
        uint32_t c = s[i];
        size_t length;
        uint32_t least;  // smallest code point of that length: no overlong forms
        if (c < 0x80) {
            length = 1;
            least = 0;
        } else if ((c & 0xE0) == 0xC0) {
            length = 2;
            c &= 0x1F;
            least = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3;
            c &= 0x0F;
            least = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4;
            c &= 0x07;
            least = 0x10000;
        } else {
            return false;
        }
        if (length > n - i) return false;
        for (size_t k = 1; k < length; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            c = (c << 6) | (s[i + k] & 0x3Fu);
        }
        if (c < least || !xmlIsCharQ(c)) return false;
        i += length;
    }
    return true;
}

Step apply_record(Builder &b, const CoreQueueEntry &entry)
{
    const auto *payload = static_cast<const uint8_t *>(entry.data);
    if (entry.length < CORE_TLV_HEAD_SIZE || payload[0] != CORE_TLV_BLOB)
        return b.current != nullptr ? Step::next : Step::end;

    uint8_t type;
    uint32_t n;
    if (core_tlv_head_read(payload, &type, &n) != CORE_OK || n > entry.length - CORE_TLV_HEAD_SIZE) {
        core_log(CORE_LOG_ERROR, "settings", "record \"%s\": blob longer than its record", entry.name.text);
        return Step::fail;
    }
    if (n > CORE_SETTINGS_VALUE_MAX) {
        core_log(CORE_LOG_ERROR, "settings", "field \"%s\": %u value bytes", entry.name.text, n);
        return Step::fail;
    }

    if (b.root == nullptr) {
        if (xmlDocGetRootElement(b.doc) != nullptr) return Step::end;
        const xmlChar *name = element_name(entry);
        if (name == nullptr) {
            core_log(CORE_LOG_ERROR, "settings", "root \"%s\": not an XML name", entry.name.text);
            return Step::fail;
        }
        b.root = xmlNewNode(nullptr, name);
        if (b.root == nullptr) return Step::fail;
        xmlDocSetRootElement(b.doc, b.root);
        b.current = b.root;
        return Step::next;
    }

    if (n > 0) {
        if (b.current == nullptr) return Step::fail;
        const xmlChar *name = element_name(entry);
        if (name == nullptr) {
            core_log(CORE_LOG_ERROR, "settings", "field \"%s\": not an XML name", entry.name.text);
            return Step::fail;
        }
        if (!is_xml_text(payload + CORE_TLV_HEAD_SIZE, n)) {
            core_log(CORE_LOG_ERROR, "settings", "field \"%s\": value is not XML text", entry.name.text);
            return Step::fail;
        }
        char value[CORE_SETTINGS_VALUE_MAX + 1];
        memcpy(value, payload + CORE_TLV_HEAD_SIZE, n);
        value[n] = '\0';
        xmlNode *leaf = xmlNewChild(b.current, nullptr, name, nullptr);
        if (leaf == nullptr || xmlNewProp(leaf, BAD_CAST "value", BAD_CAST value) == nullptr) return Step::fail;
        return Step::next;
    }

    if (entry.type == CORE_SETTINGS_OPEN) {
        const xmlChar *name = element_name(entry);
        if (name == nullptr) {
            core_log(CORE_LOG_ERROR, "settings", "element \"%s\": not an XML name", entry.name.text);
            return Step::fail;
        }
        xmlNode *child = xmlNewChild(b.current, nullptr, name, nullptr);
        if (child == nullptr) return Step::fail;
        b.current = child;
    } else if (entry.type == CORE_SETTINGS_CLOSE) {
        // The root's parent is the document node, not an element: closing
        // the root ends the stream.
        b.current = b.current == b.root ? nullptr : b.current->parent;
        if (b.current == nullptr) return Step::end;
    }
    return Step::next;
}

// ---- XML to records ----

bool has_element_child(const xmlNode *node)
{
    for (const xmlNode *c = node->children; c != nullptr; c = c->next)
        if (c->type == XML_ELEMENT_NODE) return true;
    return false;
}

// Longest prefix of at most `limit` bytes that does not end inside a UTF-8
// character: half a character would make the text invalid when written
// back.
size_t utf8_cut(const char *text, size_t length, size_t limit)
{
    if (length <= limit) return length;
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return cut;
}

// prefix + "/" + name (name alone without a prefix), cut to the path limit.
std::string join_path(const std::string &prefix, bool has_prefix, const xmlChar *name)
{
    std::string joined = has_prefix ? prefix + "/" : std::string();
    joined += reinterpret_cast<const char *>(name);
    joined.resize(utf8_cut(joined.data(), joined.size(), CORE_SETTING_PATH_MAX));
    return joined;
}

CoreSettingRecord *make_record(const std::string &path, const xmlChar *value)
{
    const char *text = reinterpret_cast<const char *>(value);
    const size_t length = utf8_cut(text, static_cast<size_t>(xmlStrlen(value)), CORE_SETTING_VALUE_MAX);
    auto *record = static_cast<CoreSettingRecord *>(calloc(1, sizeof(CoreSettingRecord)));
    if (record == nullptr) return nullptr;
    record->value = static_cast<char *>(malloc(length + 1));
    if (record->value == nullptr) {
        free(record);
        return nullptr;
    }
    memcpy(record->path, path.data(), path.size());
    memcpy(record->value, text, length);
    record->value[length] = '\0';
    record->length = static_cast<uint32_t>(length);
    return record;
}

}  // namespace

CoreResult core_settings_stream_start(void)
{
    std::lock_guard<std::mutex> guard(g_stream_lock);
    if (g_stream != nullptr) return CORE_FAIL;
    auto *s = new SettingsStream;
    core_name_format(&s->pool_name, "%s", CORE_SETTINGS_POOL);

    CorePoolConfig pc = {};
    pc.size = CORE_SETTINGS_POOL_SIZE;
    pc.granule = 32;
    s->pool = core_pool_create(&pc);
    if (s->pool == nullptr) {
        stream_take_down(s);
        return CORE_FAIL;
    }

    if (core_pool_register(&s->pool_name, s->pool) != CORE_OK) {
        stream_take_down(s);
        return CORE_FAIL;
    }
    s->registered = true;

    // Pool size 0: the channels and their queues draw from the one 2 MB
    // pool instead of carving pools of their own.
    CoreChannelConfig cc = {};
    cc.pool = s->pool_name;
    for (CoreChannel *&channel : s->channels) {
        channel = core_channel_create(&cc);
        if (channel == nullptr) {
            stream_take_down(s);
            return CORE_FAIL;
        }
    }
    g_stream = s;
    return CORE_OK;
}

void core_settings_stream_stop(void)
{
    std::lock_guard<std::mutex> guard(g_stream_lock);
    if (g_stream == nullptr) return;
    stream_take_down(g_stream);
    g_stream = nullptr;
}

CoreChannel *core_settings_channel(uint32_t index)
{
    std::lock_guard<std::mutex> guard(g_stream_lock);
    if (g_stream == nullptr || index >= CORE_SETTINGS_CHANNELS) return nullptr;
    return g_stream->channels[index];
}

CoreResult core_records_to_xml(xmlDoc *doc, CoreChannel *channel)
{
    if (channel == nullptr || channel->queue == nullptr) return CORE_FAIL;
    if (doc == nullptr) {
        core_queue_flush(channel->queue);
        return CORE_FAIL;
    }
    Builder builder{doc};
    for (;;) {
        CoreQueueRecord *record = core_queue_pop(channel->queue);
        if (record == nullptr) return CORE_OK;
        const Step step = apply_record(builder, core_queue_record_entry(record));
        core_queue_record_free(channel->queue, &record);
        if (step == Step::next) continue;
        core_queue_flush(channel->queue);
        return step == Step::end ? CORE_OK : CORE_FAIL;
    }
}

CoreSettingRecord *core_xml_to_records(xmlNode *node, const char *path)
{
    CoreSettingRecord *head = nullptr;
    CoreSettingRecord **tail = &head;

    // Walked without recursion: a document built in memory can be deeper
    // than any parser would allow. `prefixes` holds the path of each group
    // the walk is inside.
    std::vector<std::string> prefixes;
    const std::string top = path != nullptr ? std::string(path, utf8_cut(path, strlen(path), CORE_SETTING_PATH_MAX))
                                            : std::string();
    xmlNode *cur = node;
    while (cur != nullptr) {
        const std::string &prefix = prefixes.empty() ? top : prefixes.back();
        const bool has_prefix = path != nullptr || !prefixes.empty();
        if (cur->type == XML_ELEMENT_NODE) {
            if (has_element_child(cur)) {
                prefixes.push_back(join_path(prefix, has_prefix, cur->name));
                cur = cur->children;
                continue;
            }
            xmlChar *value = xmlGetProp(cur, BAD_CAST "value");
            if (value != nullptr) {
                CoreSettingRecord *record = make_record(join_path(prefix, has_prefix, cur->name), value);
                xmlFree(value);
                if (record == nullptr) {
                    core_setting_records_free(head);
                    return nullptr;
                }
                *tail = record;
                tail = &record->next;
            }
        }
        while (cur->next == nullptr && !prefixes.empty()) {
            cur = cur->parent;
            prefixes.pop_back();
        }
        cur = cur->next;
    }
    return head;
}

void core_setting_records_free(CoreSettingRecord *head)
{
    while (head != nullptr) {
        CoreSettingRecord *next = head->next;
        free(head->value);
        free(head);
        head = next;
    }
}
