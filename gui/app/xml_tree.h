// Setting containers, the array value and the settings tree: what sits
// between the typed values and the settings files.
//
// A codec container (PkXMLAudioContainer, PkXMLVideoContainer) is a fixed
// record of named typed values describing one evaluated encoder: "uuid",
// "minimum" and "maximum". PkXMLArrayObject is a typed value holding a
// numbered list of such containers; while a file is read it takes the
// entries of its items (NAME/encoders/encoder.I/FIELD) through consume. The
// settings tree (PkXMLNode with PkXMLField leaves) is what a settings writer
// builds and the serializer turns into a document.
//
// None of these classes has a lock; they are built, filled and read on the
// GTK main thread. Containers, arrays, fields and nodes live as long as
// their last shared reference; items() and children() hand out copies of
// the lists whose elements are shared. Results are stated per operation;
// only consume and setField may throw, and only from the index parse or a
// value's fromString as stated there.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/xml_objects.h"

// Ordered by byte-wise key comparison, shorter key first on a common prefix.
// Field maps of containers (key = field name) and the path map of a read
// (key = slash-separated path) alike.
using PkXMLObjectMap = std::map<std::string, std::shared_ptr<PkXMLObject>>;

class PkXMLContainer {
public:
    virtual ~PkXMLContainer() = default;
    // A new container of the same kind in its default state; copies nothing.
    virtual std::shared_ptr<PkXMLContainer> clone() const = 0;
    // A copy of the field map; the value objects are shared.
    virtual PkXMLObjectMap fields() const;
    // The field's value, or an empty reference when there is no such field.
    virtual std::shared_ptr<PkXMLObject> field(const std::string &key) const;
    // False when there is no such field; otherwise fromString of the field's
    // value with the text, then true. The set of fields never changes.
    virtual bool setField(const std::string &key, const std::string &text);

protected:
    // "uuid" holds the 32 characters of NONE_ID as they are.
    PkXMLContainer();
    // "uuid" holds the hexadecimal parse of the 64-digit identifier text.
    explicit PkXMLContainer(const std::string &identifier);

    PkXMLObjectMap fieldMap;
};

// "minimum" and "maximum" are audio formats; all-zero by default.
class PkXMLAudioContainer : public PkXMLContainer {
public:
    PkXMLAudioContainer();
    PkXMLAudioContainer(const std::string &identifier, const std::string &minimum, const std::string &maximum);
    std::shared_ptr<PkXMLContainer> clone() const override;
};

// "minimum" and "maximum" are video modes; all-zero by default.
class PkXMLVideoContainer : public PkXMLContainer {
public:
    PkXMLVideoContainer();
    PkXMLVideoContainer(const std::string &identifier, const std::string &minimum, const std::string &maximum);
    std::shared_ptr<PkXMLContainer> clone() const override;
};

// Largest item index plus one that consume accepts.
#define PK_XML_ARRAY_INDEX_LIMIT 0x100000u

class PkXMLArrayObject : public PkXMLObject {
public:
    // `itemTemplate` makes each new item through clone.
    PkXMLArrayObject(std::shared_ptr<PkXMLContainer> itemTemplate, std::string name);

    // An array is never one text field: its items are written as nodes.
    std::string toString() const override { return std::string(); }
    const uint8_t *data() const override { return nullptr; }
    int64_t size() const override { return 0; }
    void fromString(const std::string &) override {}

    // Takes one settings-file entry whose path holds NAME/encoders/encoder.
    // followed by the index, "/" and a field name. True when taken. False,
    // without a change, for a path without that prefix, without a "/" or a
    // key after the index, an index below 0, of PK_XML_ARRAY_INDEX_LIMIT or
    // more, or past the end of the list (items come numbered from 0, so a
    // new index is the current count), and for a key that names no field.
    // Throws std::invalid_argument ("invalid stoi argument") or
    // std::out_of_range ("stoi argument out of range") when the index text
    // cannot be read; nothing is changed then.
    virtual bool consume(const std::string &path, const std::string &value);
    // Adds the container at the end (shared, not copied).
    virtual void append(std::shared_ptr<PkXMLContainer> item);
    virtual std::vector<std::shared_ptr<PkXMLContainer>> items() const { return itemList; }
    virtual std::string name() const { return arrayName; }
    virtual std::string groupName() const { return groupText; }
    virtual std::string itemName() const { return itemText; }

private:
    std::shared_ptr<PkXMLContainer> itemTemplate;
    std::vector<std::shared_ptr<PkXMLContainer>> itemList;
    std::string arrayName;
    std::string groupText;
    std::string itemText;
};

// Base of the tree's entries; the serializer tells the kinds apart by type.
class PkXMLSubject {
public:
    virtual ~PkXMLSubject() = default;
};

// A leaf: an element with the attribute "value" holding `value`.
class PkXMLField : public PkXMLSubject {
public:
    PkXMLField() = default;
    PkXMLField(std::string fieldName, std::string fieldValue)
        : name(std::move(fieldName)), value(std::move(fieldValue))
    {
    }

    std::string name;
    std::string value;
};

// An inner entry. Copying a node shares its children.
class PkXMLNode : public PkXMLSubject {
public:
    PkXMLNode() = default;
    explicit PkXMLNode(std::string nodeName) : name(std::move(nodeName)) {}

    // Appends the child; returns 0.
    int addChild(std::shared_ptr<PkXMLSubject> child);
    // A copy of the list, in the order of addition.
    std::vector<std::shared_ptr<PkXMLSubject>> children() const { return childList; }

    std::string name = "node";

private:
    std::vector<std::shared_ptr<PkXMLSubject>> childList;
};
