// The settings serializer: writes a settings tree as an XML file and reads
// such a file back into typed values.
//
// Writing goes in two stages: serialize turns the tree into records on
// channel 0 of the runtime's settings stream, then core_records_to_xml
// builds a libxml2 document from them, which is printed formatted in UTF-8
// and stored whole through IPkStorage (atomically: a failed write keeps the
// previous file). Reading parses the file with libxml2 in recovering mode,
// flattens it with core_xml_to_records into (path, value) entries and hands
// each entry to the typed value the caller mapped to its path, or to an
// array value that consumes it. A field text is at most
// CORE_SETTINGS_VALUE_MAX bytes when written; a read value is cut there.
//
// There is one settings channel for the process, so writes must not
// overlap: all reads and writes run on the GTK main thread. instance() may
// be called from any thread. Results are stated per operation; nothing
// throws (a value that cannot parse its text is left as it was).
#pragma once

#include <cstdint>
#include <memory>

#include "app/storage.h"
#include "app/xml_tree.h"

struct CoreChannel;

// A settings file larger than this is not read: ours are a few kilobytes,
// and the parser takes its length as an int.
#define PK_XML_FILE_MAX (16u * 1024u * 1024u)

class PkXMLManager : public std::enable_shared_from_this<PkXMLManager> {
public:
    static std::shared_ptr<PkXMLManager> instance();

    PkXMLManager(const PkXMLManager &) = delete;
    PkXMLManager &operator=(const PkXMLManager &) = delete;
    virtual ~PkXMLManager() = default;

    // Posts the records of the wrapper's children, depth first (the wrapper
    // itself gives none): a node opens (240), its children, closes (242); a
    // field with text posts one record (0); a field with empty text posts
    // nothing. 0; -1 on the first failure (no settings stream, a post that
    // fails, a text longer than CORE_SETTINGS_VALUE_MAX); the channel is
    // then left empty.
    int serialize(const PkXMLNode &wrapper);

    // Writes the document of the wrapper's children to `path`. 0 when the
    // file was written; 1 when no document text came about (no records, or
    // a conversion or print failed); -1 when serialize failed or the file
    // could not be written. In every case but 0 the previous file stays.
    int writeXmlSettings(IPkStorage<PkPath> &storage, const PkPath &path, const PkXMLNode &wrapper);

    // Reads `path` into the values of `map`: an entry whose path is a key
    // of the map goes to that value's fromString; any other entry is
    // offered to the map's array values, in key order, through consume.
    // A value that cannot read its text keeps what it held. An entry that
    // nothing takes is skipped and counted in *skipped (when given), so one
    // stray or unreadable line costs only itself.
    // 0 when the file was read, also when it gave no entry (text that is
    // not XML, or XML without valued leaves); -1 when the file is missing,
    // empty, unreadable or larger than PK_XML_FILE_MAX, or when it gave
    // entries of which none was taken (a file of another kind).
    int readXmlSettings(IPkStorage<PkPath> &storage, const PkPath &path, PkXMLObjectMap &map,
                        uint64_t *skipped = nullptr);

private:
    PkXMLManager() = default;
    int serializeChildren(CoreChannel *channel, const PkXMLNode &node);
};
