#include "notifications/toast_template.h"

#include <sys/types.h>
#include <cstdio>

namespace WinToastLib {

namespace {

const char *const kTypeNames[] = {"ToastImageAndText01", "ToastImageAndText02", "ToastImageAndText03",
                                  "ToastImageAndText04", "ToastText01",         "ToastText02",
                                  "ToastText03",         "ToastText04"};
const size_t kTextCounts[] = {1, 2, 2, 3, 1, 2, 2, 3};

bool isImageType(int32_t type) { return type < WinToastTemplate::Text01; }

// Creates an element with the named attributes, all empty, and appends it to
// the first element of `parentTag`.
bool addElement(ToastXmlDocument &document, const std::string &tagName, const std::vector<std::string> &attributes,
                const std::string &parentTag)
{
    ToastXmlNode *parent = document.firstElement(parentTag);
    if (parent == nullptr) return false;
    std::unique_ptr<ToastXmlNode> element = ToastXmlNode::element(tagName);
    for (const std::string &name : attributes) element->setAttribute(name, "");
    return parent->appendChild(std::move(element)) != nullptr;
}

bool setTextLine(ToastXmlDocument &document, size_t index, const std::string &text)
{
    const std::vector<ToastXmlNode *> texts = document.elementsByTagName("text");
    if (index >= texts.size()) return false;
    return texts[index]->appendChild(ToastXmlNode::textNode(text)) != nullptr;
}

bool setFirstAttribute(ToastXmlDocument &document, const std::string &tagName, const std::string &name,
                       const std::string &value)
{
    ToastXmlNode *element = document.firstElement(tagName);
    if (element == nullptr) return false;
    element->setAttribute(name, value);
    return true;
}

bool addAttribution(const WinToastTemplate &toast, ToastXmlDocument &document)
{
    if (toast.attributionText.empty()) return true;
    if (!addElement(document, "text", {"placement"}, "binding")) return false;
    const std::vector<ToastXmlNode *> texts = document.elementsByTagName("text");
    for (size_t i = 0; i < texts.size(); i++) {
        if (!texts[i]->appendAttributeText("placement", "attribution")) continue;
        return setTextLine(document, i, toast.attributionText);
    }
    return true;
}

bool addActions(const WinToastTemplate &toast, ToastXmlDocument &document)
{
    for (size_t i = 0; i < toast.actionLabels.size(); i++) {
        if (document.firstElement("actions") == nullptr) {
            ToastXmlNode *root = document.firstElement("toast");
            if (root == nullptr) return false;
            root->setAttribute("template", "ToastGeneric");
            root->setAttribute("duration", "long");
            root->appendChild(ToastXmlNode::element("actions"));
        }
        std::unique_ptr<ToastXmlNode> action = ToastXmlNode::element("action");
        action->setAttribute("content", toast.actionLabels[i]);
        char index[32];
        snprintf(index, sizeof(index), "%zd", static_cast<ssize_t>(i));
        action->setAttribute("arguments", index);
        document.firstElement("actions")->appendChild(std::move(action));
    }
    return true;
}

bool addAudio(const WinToastTemplate &toast, ToastXmlDocument &document)
{
    if (toast.audioPath.empty() && toast.audioOption == WinToastTemplate::AudioDefault) return true;
    std::vector<std::string> attributes;
    if (!toast.audioPath.empty()) attributes.push_back("src");
    const char *flag = nullptr;
    if (toast.audioOption == WinToastTemplate::AudioLoop) flag = "loop";
    if (toast.audioOption == WinToastTemplate::AudioSilent) flag = "silent";
    if (flag != nullptr) attributes.push_back(flag);
    if (!addElement(document, "audio", attributes, "toast")) return false;
    ToastXmlNode *audio = document.firstElement("audio");
    if (!toast.audioPath.empty() && !audio->appendAttributeText("src", toast.audioPath)) return false;
    if (flag != nullptr && !audio->appendAttributeText(flag, "true")) return false;
    return true;
}

// The reply box and its button go into the toast's one "actions" element:
// next to the buttons when there are any, in a new element otherwise. The
// notification format knows a single actions element per toast, and taking
// the first "action" element by name would write the reply onto a button.
bool addReplyInput(ToastXmlDocument &document)
{
    if (document.firstElement("actions") == nullptr && !addElement(document, "actions", {}, "toast")) return false;
    ToastXmlNode *actions = document.firstElement("actions");
    std::unique_ptr<ToastXmlNode> input = ToastXmlNode::element("input");
    input->setAttribute("id", "textBox");
    input->setAttribute("type", "text");
    input->setAttribute("placeHolderContent", "...");
    std::unique_ptr<ToastXmlNode> action = ToastXmlNode::element("action");
    action->setAttribute("content", "Reply");
    action->setAttribute("arguments", "action=reply");
    action->setAttribute("hint-inputId", "textBox");
    return actions->appendChild(std::move(input)) != nullptr && actions->appendChild(std::move(action)) != nullptr;
}

// The path's length in UTF-16 units, as the platform's path buffer counts
// them: a four-byte sequence takes two. Counts lead bytes only, so bytes
// that are not UTF-8 can make the count neither crash nor run past the text.
size_t utf16Length(const std::string &text)
{
    size_t units = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) == 0x80) continue;
        units += c >= 0xF0 ? 2 : 1;
    }
    return units;
}

}  // namespace

WinToastTemplate::WinToastTemplate(int32_t templateType) : textLines(textElementCount(templateType)), type(templateType)
{
}

size_t WinToastTemplate::textElementCount(int32_t templateType)
{
    if (templateType < ImageAndText01 || templateType > Text04) return 0;
    return kTextCounts[templateType];
}

bool WinToastTemplate::setTextLine(size_t index, const std::string &text)
{
    if (index >= textLines.size()) return false;
    textLines[index] = text;
    return true;
}

std::unique_ptr<ToastXmlDocument> toastTemplateContent(int32_t templateType)
{
    if (templateType < WinToastTemplate::ImageAndText01 || templateType > WinToastTemplate::Text04) return nullptr;
    std::unique_ptr<ToastXmlNode> binding = ToastXmlNode::element("binding");
    binding->setAttribute("template", kTypeNames[templateType]);
    if (isImageType(templateType)) {
        std::unique_ptr<ToastXmlNode> image = ToastXmlNode::element("image");
        image->setAttribute("id", "1");
        image->setAttribute("src", "");
        binding->appendChild(std::move(image));
    }
    for (size_t i = 0; i < kTextCounts[templateType]; i++) {
        std::unique_ptr<ToastXmlNode> text = ToastXmlNode::element("text");
        text->setAttribute("id", std::to_string(i + 1));
        binding->appendChild(std::move(text));
    }
    std::unique_ptr<ToastXmlNode> visual = ToastXmlNode::element("visual");
    visual->appendChild(std::move(binding));
    std::unique_ptr<ToastXmlNode> toast = ToastXmlNode::element("toast");
    toast->appendChild(std::move(visual));
    return std::make_unique<ToastXmlDocument>(std::move(toast));
}

int buildToastDocument(const WinToastTemplate &toast, ToastXmlDocument &document, uint32_t majorVersion,
                       uint32_t buildNumber)
{
    const bool imageType = isImageType(toast.type);
    const bool generic = (imageType && !toast.heroImagePath.empty()) || toast.cropHint == WinToastTemplate::CropCircle;
    if (generic && !setFirstAttribute(document, "binding", "template", "ToastGeneric")) return -1;

    for (size_t i = 0; i < toast.textLines.size(); i++)
        if (!setTextLine(document, i, toast.textLines[i])) return -1;

    if (majorVersion > 6) {
        if (!addAttribution(toast, document)) return -1;
        if (!addActions(toast, document)) return -1;
        if (!addAudio(toast, document)) return -1;
        if (toast.duration != WinToastTemplate::DurationSystem &&
            !setFirstAttribute(document, "toast", "duration",
                               toast.duration == WinToastTemplate::DurationShort ? "short" : "long"))
            return -1;
        if (toast.replyInput && !addReplyInput(document)) return -1;
        if (!setFirstAttribute(document, "toast", "scenario", toast.scenario)) return -1;
    }

    if (imageType) {
        if (utf16Length(toast.imagePath) > WIN_TOAST_IMAGE_PATH_MAX) return -1;
        // A document without an image element or without its "src" keeps
        // going without the image.
        if (ToastXmlNode *image = document.firstElement("image")) {
            if (!toast.heroImagePath.empty() || toast.cropHint == WinToastTemplate::CropCircle) {
                image->setAttribute("placement", "appLogoOverride");
                if (toast.cropHint == WinToastTemplate::CropCircle && buildNumber >= 14393)
                    image->setAttribute("hint-crop", "circle");
            }
            image->appendAttributeText("src", "file:///" + toast.imagePath);
        }
    }

    if (buildNumber >= 14393 && imageType && !toast.heroImagePath.empty()) {
        std::unique_ptr<ToastXmlNode> hero = ToastXmlNode::element("image");
        if (!toast.heroInline) hero->setAttribute("placement", "hero");
        hero->setAttribute("src", toast.heroImagePath);
        ToastXmlNode *binding = document.firstElement("binding");
        if (binding == nullptr) return -1;
        binding->appendChild(std::move(hero));
    }
    return 0;
}

}  // namespace WinToastLib
