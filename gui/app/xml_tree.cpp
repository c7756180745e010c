#include "app/xml_tree.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <stdexcept>

#include "ravelkit/devices.h"
#include "services/texts.h"

namespace {

const std::string kUuid(PkConstants::kCodecsUuid);
const std::string kMinimum(PkConstants::kCodecsMinimum);
const std::string kMaximum(PkConstants::kCodecsMaximum);

// The index of an item path, read as std::stoi reads it: white space and a
// sign may lead, characters after the digits are ignored.
int read_index(const std::string &text)
{
    const char *begin = text.c_str();
    char *end = nullptr;
    errno = 0;
    const long parsed = strtol(begin, &end, 10);
    if (end == begin) throw std::invalid_argument("invalid stoi argument");
    if (errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) throw std::out_of_range("stoi argument out of range");
    return static_cast<int>(parsed);
}

}  // namespace

// ---- containers ----

PkXMLContainer::PkXMLContainer()
{
    fieldMap[kUuid] = std::make_shared<PkXMLUUIDObject>(PkXID::fromText(NONE_ID));
}

PkXMLContainer::PkXMLContainer(const std::string &identifier)
{
    auto uuid = std::make_shared<PkXMLUUIDObject>(PkXID());
    uuid->fromString(identifier);
    fieldMap[kUuid] = uuid;
}

PkXMLObjectMap PkXMLContainer::fields() const
{
    return fieldMap;
}

std::shared_ptr<PkXMLObject> PkXMLContainer::field(const std::string &key) const
{
    const auto it = fieldMap.find(key);
    return it == fieldMap.end() ? nullptr : it->second;
}

bool PkXMLContainer::setField(const std::string &key, const std::string &text)
{
    const auto it = fieldMap.find(key);
    if (it == fieldMap.end() || it->second == nullptr) return false;
    it->second->fromString(text);
    return true;
}

PkXMLAudioContainer::PkXMLAudioContainer()
{
    fieldMap[kMinimum] = std::make_shared<PkXMLDimensionObject>();
    fieldMap[kMaximum] = std::make_shared<PkXMLDimensionObject>();
}

PkXMLAudioContainer::PkXMLAudioContainer(const std::string &identifier, const std::string &minimum,
                                         const std::string &maximum)
    : PkXMLContainer(identifier)
{
    fieldMap[kMinimum] = std::make_shared<PkXMLDimensionObject>(pk_audio_format_from_text(minimum));
    fieldMap[kMaximum] = std::make_shared<PkXMLDimensionObject>(pk_audio_format_from_text(maximum));
}

std::shared_ptr<PkXMLContainer> PkXMLAudioContainer::clone() const
{
    return std::make_shared<PkXMLAudioContainer>();
}

PkXMLVideoContainer::PkXMLVideoContainer()
{
    fieldMap[kMinimum] = std::make_shared<PkXMLResolutionObject>();
    fieldMap[kMaximum] = std::make_shared<PkXMLResolutionObject>();
}

PkXMLVideoContainer::PkXMLVideoContainer(const std::string &identifier, const std::string &minimum,
                                         const std::string &maximum)
    : PkXMLContainer(identifier)
{
    fieldMap[kMinimum] = std::make_shared<PkXMLResolutionObject>(pk_video_mode_from_text(minimum));
    fieldMap[kMaximum] = std::make_shared<PkXMLResolutionObject>(pk_video_mode_from_text(maximum));
}

std::shared_ptr<PkXMLContainer> PkXMLVideoContainer::clone() const
{
    return std::make_shared<PkXMLVideoContainer>();
}

// ---- array ----

PkXMLArrayObject::PkXMLArrayObject(std::shared_ptr<PkXMLContainer> itemTemplate_, std::string name_)
    : itemTemplate(std::move(itemTemplate_)),
      arrayName(std::move(name_)),
      groupText(PkConstants::kCodecsEncoders),
      itemText(PkConstants::kCodecsEncoder)
{
}

bool PkXMLArrayObject::consume(const std::string &path, const std::string &value)
{
    const std::string prefix = arrayName + std::string(PkConstants::kKeyPathSeparator) + groupText +
                               std::string(PkConstants::kKeyPathSeparator) + itemText +
                               std::string(PkConstants::kListIndexSeparator);
    const size_t at = path.find(prefix);
    if (itemTemplate == nullptr || at == std::string::npos) return false;
    const std::string rest = path.substr(at + prefix.size());
    const size_t slash = rest.find('/');
    if (slash == std::string::npos) return false;
    const std::string key = rest.substr(slash + 1);
    if (key.empty()) return false;

    const int index = read_index(rest.substr(0, slash));
    if (static_cast<unsigned>(index) >= PK_XML_ARRAY_INDEX_LIMIT) return false;
    const size_t position = static_cast<size_t>(index);
    if (position < itemList.size()) return itemList[position]->setField(key, value);
    // A gap in the numbering is refused rather than filled: filling it
    // would let one line of a file make a million default items.
    if (position > itemList.size()) return false;
    // Only a field the item has starts a new item: an unknown key must not
    // leave an empty item behind to be counted as an encoder.
    std::shared_ptr<PkXMLContainer> item = itemTemplate->clone();
    if (item == nullptr || !item->setField(key, value)) return false;
    itemList.push_back(std::move(item));
    return true;
}

void PkXMLArrayObject::append(std::shared_ptr<PkXMLContainer> item)
{
    itemList.push_back(std::move(item));
}

// ---- tree ----

int PkXMLNode::addChild(std::shared_ptr<PkXMLSubject> child)
{
    childList.push_back(std::move(child));
    return 0;
}
