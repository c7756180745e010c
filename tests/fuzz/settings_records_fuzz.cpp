// The settings record stream against arbitrary records.
//
// Input: a sequence of records, each
//   kind (1 byte: 0 field, 1 open, 2 close, 3 raw payload, else that
//   message type with an encoded blob), name length (1 byte, taken mod 33),
//   name, value length (2 bytes big-endian, taken mod 4200), value.
// A short tail ends the sequence. Besides surviving, the conversion must
//   - leave the channel empty;
//   - when it succeeds, have built a document that libxml2 writes and reads
//     back to the very same records: a file we save is never one we cannot
//     load.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "core/queue.h"
#include "core/settings_records.h"
#include "core/tlv.h"

namespace {

void require(bool ok)
{
    if (!ok) abort();
}

void quiet(void *, const char *, ...) {}

CoreChannel *stream_channel()
{
    static CoreChannel *channel = [] {
        CoreChannelConfig cc = {};
        return core_channel_create(&cc);
    }();
    return channel;
}

using Records = std::vector<std::pair<std::string, std::string>>;

Records flatten(xmlDoc *doc)
{
    Records out;
    CoreSettingRecord *head = core_xml_to_records(xmlDocGetRootElement(doc), nullptr);
    for (CoreSettingRecord *r = head; r != nullptr; r = r->next) {
        require(strlen(r->path) <= CORE_SETTING_PATH_MAX);
        require(r->length <= CORE_SETTING_VALUE_MAX && r->length == strlen(r->value));
        out.emplace_back(r->path, r->value);
    }
    core_setting_records_free(head);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    xmlSetGenericErrorFunc(nullptr, quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    CoreChannel *channel = stream_channel();
    size_t at = 0;
    while (size - at >= 4) {
        const uint8_t kind = data[at];
        const size_t name_length = data[at + 1] % 33u;
        if (size - at - 2 < name_length + 2) break;
        CoreName name = {};
        memcpy(name.key, data + at + 2, name_length);
        core_name_make(&name);
        at += 2 + name_length;
        const size_t value_length = ((size_t{data[at]} << 8) | data[at + 1]) % 4200u;
        at += 2;
        if (size - at < value_length) break;
        const uint8_t *value = data + at;
        at += value_length;

        static const uint32_t kTypes[] = {CORE_SETTINGS_FIELD, CORE_SETTINGS_OPEN, CORE_SETTINGS_CLOSE};
        if (kind == 3) {
            CoreIoVec vec = {value_length, value};
            require(core_queue_post(channel->queue, &name, CORE_SETTINGS_FIELD, 0, &vec, 1) == 0);
        } else {
            const CoreTlvItem item = {CORE_TLV_BLOB, value_length, value};
            require(core_tlv_send(channel, &name, kind < 3 ? kTypes[kind] : kind, 0, &item, 1) == CORE_OK);
        }
    }

    xmlDoc *doc = xmlNewDoc(BAD_CAST "1.0");
    const CoreResult result = core_records_to_xml(doc, channel);
    require(result == CORE_OK || result == CORE_FAIL);
    require(core_queue_count(channel->queue) == 0);

    if (result == CORE_OK && xmlDocGetRootElement(doc) != nullptr) {
        xmlChar *text = nullptr;
        int text_size = 0;
        xmlDocDumpMemoryEnc(doc, &text, &text_size, "UTF-8");
        require(text != nullptr);
        xmlDoc *read = xmlReadMemory(reinterpret_cast<const char *>(text), text_size, "settings.xml", nullptr,
                                     XML_PARSE_NONET);
        require(read != nullptr);
        require(flatten(read) == flatten(doc));
        xmlFreeDoc(read);
        xmlFree(text);
    }
    xmlFreeDoc(doc);
    return 0;
}
