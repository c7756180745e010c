#include "app/xml_manager.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "core/log.h"
#include "core/names.h"
#include "core/queue.h"
#include "core/settings_records.h"
#include "core/tlv.h"

namespace {

constexpr const char *kModule = "settings";

// The record's name is the first 32 bytes of the element name, zero-padded.
CoreName record_name(const std::string &text)
{
    CoreName name;
    memset(&name, 0, sizeof(name));
    memcpy(name.key, text.data(), std::min<size_t>(text.size(), CORE_NAME_KEY_SIZE));
    core_name_make(&name);
    return name;
}

bool post(CoreChannel *channel, const std::string &element, uint32_t type, const std::string &value)
{
    const CoreName name = record_name(element);
    const CoreTlvItem item = {CORE_TLV_BLOB, value.size(), value.empty() ? nullptr : value.data()};
    if (core_tlv_send(channel, &name, type, 0, &item, 1) == CORE_OK) return true;
    core_log(CORE_LOG_ERROR, kModule, "record \"%s\" could not be posted", name.text);
    return false;
}

// Offers an entry that no map key names to the map's arrays, in key order.
bool offer_to_arrays(PkXMLObjectMap &map, const std::string &path, const std::string &value)
{
    for (auto &[key, object] : map) {
        auto *array = dynamic_cast<PkXMLArrayObject *>(object.get());
        if (array == nullptr) continue;
        try {
            if (array->consume(path, value)) return true;
        } catch (const std::exception &e) {
            core_log(CORE_LOG_WARN, kModule, "\"%s\": unreadable item index (%s)", path.c_str(), e.what());
        }
    }
    return false;
}

}  // namespace

std::shared_ptr<PkXMLManager> PkXMLManager::instance()
{
    static const std::shared_ptr<PkXMLManager> single(new PkXMLManager());
    return single->shared_from_this();
}

int PkXMLManager::serializeChildren(CoreChannel *channel, const PkXMLNode &node)
{
    for (const std::shared_ptr<PkXMLSubject> &child : node.children()) {
        if (const auto *inner = dynamic_cast<const PkXMLNode *>(child.get())) {
            if (!post(channel, inner->name, CORE_SETTINGS_OPEN, std::string())) return -1;
            if (serializeChildren(channel, *inner) != 0) return -1;
            if (!post(channel, inner->name, CORE_SETTINGS_CLOSE, std::string())) return -1;
        } else if (const auto *field = dynamic_cast<const PkXMLField *>(child.get())) {
            if (field->value.size() > CORE_SETTINGS_VALUE_MAX) {
                core_log(CORE_LOG_ERROR, kModule, "field \"%s\": %zu bytes, more than %u", field->name.c_str(),
                         field->value.size(), CORE_SETTINGS_VALUE_MAX);
                return -1;
            }
            // An empty text is left out of the file: its leaf reads back as
            // the value's default.
            if (field->value.empty()) continue;
            if (!post(channel, field->name, CORE_SETTINGS_FIELD, field->value)) return -1;
        }
    }
    return 0;
}

int PkXMLManager::serialize(const PkXMLNode &wrapper)
{
    CoreChannel *channel = core_settings_channel(0);
    if (channel == nullptr) {
        core_log(CORE_LOG_ERROR, kModule, "no settings stream: nothing can be written");
        return -1;
    }
    const int result = serializeChildren(channel, wrapper);
    // Half a document must not stay queued: the next write would build its
    // file on top of it.
    if (result != 0) core_queue_flush(channel->queue);
    return result;
}

int PkXMLManager::writeXmlSettings(IPkStorage<PkPath> &storage, const PkPath &path, const PkXMLNode &wrapper)
{
    CoreChannel *channel = core_settings_channel(0);
    // Records an abandoned write may have left belong to no document.
    if (channel != nullptr) core_queue_flush(channel->queue);
    if (serialize(wrapper) != 0) return -1;

    xmlDoc *doc = xmlNewDoc(BAD_CAST "1.0");
    if (doc == nullptr || core_queue_count(channel->queue) == 0) {
        core_queue_flush(channel->queue);
        if (doc != nullptr) xmlFreeDoc(doc);
        return 1;
    }
    xmlChar *text = nullptr;
    int length = 0;
    if (core_records_to_xml(doc, channel) == CORE_OK && xmlDocGetRootElement(doc) != nullptr)
        xmlDocDumpFormatMemoryEnc(doc, &text, &length, "utf-8", 1);
    xmlFreeDoc(doc);
    if (text == nullptr || length <= 0) {
        if (text != nullptr) xmlFree(text);
        core_log(CORE_LOG_ERROR, kModule, "no document for \"%s\"", path.c_str());
        return 1;
    }
    const std::string document(reinterpret_cast<const char *>(text), static_cast<size_t>(length));
    xmlFree(text);
    return storage.writeText(path, document) == 0 ? 0 : -1;
}

int PkXMLManager::readXmlSettings(IPkStorage<PkPath> &storage, const PkPath &path, PkXMLObjectMap &map,
                                  uint64_t *skipped)
{
    if (skipped != nullptr) *skipped = 0;
    if (storage.size(path) > static_cast<int64_t>(PK_XML_FILE_MAX)) {
        core_log(CORE_LOG_WARN, kModule, "\"%s\" is larger than %u bytes: not read", path.c_str(), PK_XML_FILE_MAX);
        return -1;
    }
    const std::string text = storage.readText(path);
    if (text.empty() || text.size() > PK_XML_FILE_MAX) return -1;

    // Recovering: a hand-edited file with a broken tag still gives what can
    // be read of it. NONET: a settings file never fetches anything.
    xmlDoc *doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "", "utf-8",
                                XML_PARSE_RECOVER | XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    CoreSettingRecord *records = nullptr;
    if (doc != nullptr) {
        xmlNode *root = xmlDocGetRootElement(doc);
        if (root != nullptr) records = core_xml_to_records(root, nullptr);
        xmlFreeDoc(doc);
    }
    if (records == nullptr) {
        core_log(CORE_LOG_WARN, kModule, "\"%s\" holds no setting", path.c_str());
        return 0;
    }

    uint64_t taken = 0;
    uint64_t refused = 0;
    for (const CoreSettingRecord *r = records; r != nullptr; r = r->next) {
        const std::string entryPath(r->path);
        const std::string value(r->value, r->length);
        const auto it = map.find(entryPath);
        if (it != map.end() && it->second != nullptr) {
            try {
                it->second->fromString(value);
            } catch (const std::exception &e) {
                core_log(CORE_LOG_WARN, kModule, "\"%s\": unreadable value, the setting keeps its value (%s)",
                         entryPath.c_str(), e.what());
            }
            ++taken;
        } else if (offer_to_arrays(map, entryPath, value)) {
            ++taken;
        } else {
            core_log(CORE_LOG_WARN, kModule, "\"%s\": unknown setting skipped", entryPath.c_str());
            ++refused;
        }
    }
    core_setting_records_free(records);
    if (skipped != nullptr) *skipped = refused;
    if (taken == 0) {
        core_log(CORE_LOG_WARN, kModule, "\"%s\" holds none of the expected settings", path.c_str());
        return -1;
    }
    return 0;
}
