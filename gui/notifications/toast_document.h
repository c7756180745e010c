// The toast document: a small XML tree of one toast's content, with the few
// object-model operations that building a toast needs.
//
// A document is made from the template of a toast type (toastTemplateContent)
// and then edited by buildToastDocument (toast_template.h); the toast manager
// reads the finished document to make its notification. Elements keep their
// attributes in the order they were first set and their children in append
// order, so a document serialises (toXml) the same way every time. Texts are
// UTF-8 and are escaped only when serialised.
//
// A document is a value owned by one caller at a time; nothing here locks.
// Lookups return null when there is nothing to find; nothing throws except
// on memory exhaustion.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace WinToastLib {

class ToastXmlNode {
public:
    enum class Kind { Element, Text };

    static std::unique_ptr<ToastXmlNode> element(const std::string &tagName);
    static std::unique_ptr<ToastXmlNode> textNode(const std::string &value);

    Kind kind() const { return nodeKind; }
    // An element's tag name; empty for a text node.
    const std::string &name() const { return tagName; }
    // A text node's value; for an element, its text children joined.
    std::string text() const;

    // The attribute's value, or null when the element has no such attribute.
    const std::string *attribute(const std::string &name) const;
    // Replaces the value of an attribute that exists (keeping its place);
    // adds it at the end otherwise.
    void setAttribute(const std::string &name, const std::string &value);
    // Appends to an existing attribute's value, as a text node appended to
    // an attribute node does; false when there is no such attribute.
    bool appendAttributeText(const std::string &name, const std::string &text);
    const std::vector<std::pair<std::string, std::string>> &attributes() const { return attributeList; }

    // Takes the child and returns it; null for a text node as parent.
    ToastXmlNode *appendChild(std::unique_ptr<ToastXmlNode> child);
    const std::vector<std::unique_ptr<ToastXmlNode>> &children() const { return childList; }

private:
    ToastXmlNode(Kind kind, const std::string &content)
        : nodeKind(kind), tagName(kind == Kind::Element ? content : ""), value(kind == Kind::Text ? content : "")
    {
    }

    Kind nodeKind;
    std::string tagName;
    std::string value;
    std::vector<std::pair<std::string, std::string>> attributeList;
    std::vector<std::unique_ptr<ToastXmlNode>> childList;
};

class ToastXmlDocument {
public:
    explicit ToastXmlDocument(std::unique_ptr<ToastXmlNode> root) : rootNode(std::move(root)) {}

    ToastXmlNode *root() const { return rootNode.get(); }
    // Every element of that tag name in document order, the root included.
    std::vector<ToastXmlNode *> elementsByTagName(const std::string &tagName) const;
    // The first of them, or null.
    ToastXmlNode *firstElement(const std::string &tagName) const;
    // The document as XML text without declaration; "&", "<", ">" and '"'
    // are escaped in texts and attribute values.
    std::string toXml() const;

private:
    std::unique_ptr<ToastXmlNode> rootNode;
};

// The text with "&", "<" and ">" written as entities, and '"' too when
// `quotes` (XML attribute values need it; notification body markup knows
// only the first three).
std::string toastEscaped(const std::string &text, bool quotes);

}  // namespace WinToastLib
