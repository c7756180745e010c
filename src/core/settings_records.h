// The settings record stream and its conversion to and from XML.
//
// Settings files are XML trees of groups and leaves, each leaf holding its
// value in a "value" attribute. Writing goes through a stream: the settings
// writer posts one TLV record per element or field on the first settings
// channel and then calls core_records_to_xml on the same thread, which
// drains the channel into a libxml2 document. Reading goes the other way:
// core_xml_to_records flattens a parsed document into path/value records.
//
// This module owns the process-wide settings stream: its pool and three
// channels, made by core_settings_stream_start and taken down by
// core_settings_stream_stop, both called on the engine's thread after the
// runtime (and with it the pool registry) has started and before it stops.
// One document is converted at a time. Results are stated per function.
#pragma once

#include <cstdint>

#include <libxml/tree.h>

#include "core/result.h"

struct CoreChannel;

// Message types of the records on a settings channel. Each record carries
// one CORE_TLV_BLOB item: empty for open and close, the value for a field.
#define CORE_SETTINGS_FIELD 0u
#define CORE_SETTINGS_OPEN 240u
#define CORE_SETTINGS_CLOSE 242u

// Longest field value a writer may post.
#define CORE_SETTINGS_VALUE_MAX 4096u
// Longest path and value a read record holds, terminator not counted. A
// value holds as much as a writer may post, so a saved value reads back
// whole.
#define CORE_SETTING_PATH_MAX 255u
#define CORE_SETTING_VALUE_MAX CORE_SETTINGS_VALUE_MAX

// Bound of the stream's pool.
#define CORE_SETTINGS_POOL_SIZE 0x200000u
#define CORE_SETTINGS_CHANNELS 3u

// One leaf read from a document. record and value come from malloc; free a
// list with core_setting_records_free.
struct CoreSettingRecord {
    char path[CORE_SETTING_PATH_MAX + 1];  // element names joined by "/"
    uint32_t length;                       // of value, terminator not counted
    char *value;                           // zero-terminated
    CoreSettingRecord *next;
};

// Creates the pool, registers it as CORE_SETTINGS_POOL and makes the three
// channels on it (no consumer: they are drained by core_records_to_xml).
// CORE_OK; CORE_FAIL when already started, when the pool registry is not
// running or the name is taken, or when anything else fails, in which case
// nothing is left behind.
CoreResult core_settings_stream_start(void);

// Destroys the channels, unregisters and destroys the pool; does nothing
// when not started.
void core_settings_stream_stop(void);

// Channel `index` (0 is the writer's) of the started stream, or NULL.
CoreChannel *core_settings_channel(uint32_t index);

// Builds the element tree of `doc` from the records queued on `channel`:
// the first record names the root element, open and close records walk
// down and up the tree, field records add a leaf with a "value" attribute.
// Returns CORE_OK when the root element closed or the channel ran empty,
// and also, with the channel flushed, when the stream breaks its structure
// (the document already had a root, or a record arrives with no element to
// add to); the document then holds what was built so far. Returns CORE_FAIL,
// with the channel flushed, when an element cannot be made (the root
// included), an element name is not a valid XML name, a field value is not
// UTF-8 made of XML characters, or a record's blob is longer than
// CORE_SETTINGS_VALUE_MAX or than the record itself: a caller must not save
// the document then.
CoreResult core_records_to_xml(xmlDoc *doc, CoreChannel *channel);

// Flattens `node` and its following siblings (pass the root element, path
// NULL) into records in document order: each element with element children
// is a group whose name joins the path; each other element with a "value"
// attribute gives a record. Paths are cut to CORE_SETTING_PATH_MAX bytes and
// values to CORE_SETTING_VALUE_MAX bytes, never inside a UTF-8 character.
// Returns the head of the list, or NULL when there are no records or memory
// is short (then nothing is left allocated).
CoreSettingRecord *core_xml_to_records(xmlNode *node, const char *path);

// Frees every record of the list and its value. NULL is ignored.
void core_setting_records_free(CoreSettingRecord *head);
