#include "notifications/toast_document.h"

#include <algorithm>

namespace WinToastLib {

namespace {

void collect(ToastXmlNode *node, const std::string &tagName, std::vector<ToastXmlNode *> &out)
{
    if (node->kind() != ToastXmlNode::Kind::Element) return;
    if (node->name() == tagName) out.push_back(node);
    for (const auto &child : node->children()) collect(child.get(), tagName, out);
}

void serialise(const ToastXmlNode &node, std::string &out)
{
    if (node.kind() == ToastXmlNode::Kind::Text) {
        out += toastEscaped(node.text(), true);
        return;
    }
    out += "<" + node.name();
    for (const auto &[name, value] : node.attributes()) out += " " + name + "=\"" + toastEscaped(value, true) + "\"";
    if (node.children().empty()) {
        out += "/>";
        return;
    }
    out += ">";
    for (const auto &child : node.children()) serialise(*child, out);
    out += "</" + node.name() + ">";
}

}  // namespace

std::string toastEscaped(const std::string &text, bool quotes)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += quotes ? "&quot;" : "\""; break;
        default: out += c;
        }
    }
    return out;
}

std::unique_ptr<ToastXmlNode> ToastXmlNode::element(const std::string &tagName)
{
    return std::unique_ptr<ToastXmlNode>(new ToastXmlNode(Kind::Element, tagName));
}

std::unique_ptr<ToastXmlNode> ToastXmlNode::textNode(const std::string &value)
{
    return std::unique_ptr<ToastXmlNode>(new ToastXmlNode(Kind::Text, value));
}

std::string ToastXmlNode::text() const
{
    if (nodeKind == Kind::Text) return value;
    std::string joined;
    for (const auto &child : childList)
        if (child->kind() == Kind::Text) joined += child->value;
    return joined;
}

const std::string *ToastXmlNode::attribute(const std::string &name) const
{
    auto it = std::find_if(attributeList.begin(), attributeList.end(),
                           [&](const auto &entry) { return entry.first == name; });
    return it == attributeList.end() ? nullptr : &it->second;
}

void ToastXmlNode::setAttribute(const std::string &name, const std::string &value)
{
    auto it = std::find_if(attributeList.begin(), attributeList.end(),
                           [&](const auto &entry) { return entry.first == name; });
    if (it != attributeList.end())
        it->second = value;
    else
        attributeList.emplace_back(name, value);
}

bool ToastXmlNode::appendAttributeText(const std::string &name, const std::string &text)
{
    auto it = std::find_if(attributeList.begin(), attributeList.end(),
                           [&](const auto &entry) { return entry.first == name; });
    if (it == attributeList.end()) return false;
    it->second += text;
    return true;
}

ToastXmlNode *ToastXmlNode::appendChild(std::unique_ptr<ToastXmlNode> child)
{
    if (nodeKind != Kind::Element || !child) return nullptr;
    childList.push_back(std::move(child));
    return childList.back().get();
}

std::vector<ToastXmlNode *> ToastXmlDocument::elementsByTagName(const std::string &tagName) const
{
    std::vector<ToastXmlNode *> out;
    if (rootNode) collect(rootNode.get(), tagName, out);
    return out;
}

ToastXmlNode *ToastXmlDocument::firstElement(const std::string &tagName) const
{
    const std::vector<ToastXmlNode *> all = elementsByTagName(tagName);
    return all.empty() ? nullptr : all.front();
}

std::string ToastXmlDocument::toXml() const
{
    std::string out;
    if (rootNode) serialise(*rootNode, out);
    return out;
}

}  // namespace WinToastLib
