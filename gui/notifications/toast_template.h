// The content of one toast and how it becomes the toast's document.
//
// WinToastTemplate is a value: text lines, images, sound, action buttons, a
// reply box, duration, scenario and expiry. The toast manager (toast_manager.h)
// asks toastTemplateContent for the document of the template's type and has
// buildToastDocument edit it step by step; the features that the platform
// gained with its tenth major version (attribution, buttons, sound,
// duration, reply box, scenario) and with build 14393 (circle crop, hero
// image) are written only at those levels, so the same template gives the
// older document on an older platform.
//
// The application's toasts are type 5 (two text lines) with every other
// field at its default: the document then holds the title and the text in
// its two "text" elements and scenario "Default" on its "toast" element.
//
// Plain logic on values: any thread, no lock, no global state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "notifications/toast_document.h"

// The platform level at which every feature of the toast format exists. The
// desktop notification service takes the whole format, so the manager builds
// at this level.
#define WIN_TOAST_FULL_MAJOR_VERSION 10u
#define WIN_TOAST_FULL_BUILD_NUMBER 14393u

// A file path of an image must leave room for "file:///" and the
// terminator in a buffer of 260 characters.
#define WIN_TOAST_IMAGE_PATH_MAX 251u

namespace WinToastLib {

class WinToastTemplate {
public:
    // The platform's toast template types: 0 to 3 carry an image.
    enum Type : int32_t {
        ImageAndText01 = 0,
        ImageAndText02 = 1,
        ImageAndText03 = 2,
        ImageAndText04 = 3,
        Text01 = 4,
        Text02 = 5,
        Text03 = 6,
        Text04 = 7,
    };
    enum AudioOption : int32_t { AudioDefault = 0, AudioSilent = 1, AudioLoop = 2 };
    enum Duration : int32_t { DurationSystem = 0, DurationShort = 1, DurationLong = 2 };
    enum CropHint : int32_t { CropNone = 0, CropCircle = 1 };

    // One empty text line per text element of the type.
    explicit WinToastTemplate(int32_t templateType = Text02);

    // How many "text" elements the type's document has; 0 for an unknown type.
    static size_t textElementCount(int32_t templateType);

    // Sets line `index`; false (nothing changed) past the type's lines.
    bool setTextLine(size_t index, const std::string &text);

    bool replyInput = false;
    std::vector<std::string> textLines;     // line i goes to the i-th "text" element
    std::vector<std::string> actionLabels;  // one button each, in order
    std::string imagePath;                  // file path, for the image types
    std::string heroImagePath;
    bool heroInline = false;  // no "placement" on the hero image
    std::string audioPath;    // written unchanged as the sound's "src"
    std::string attributionText;
    std::string scenario = "Default";
    int64_t expiration = 0;  // milliseconds from the toast's creation; 0 or less: none
    int32_t audioOption = AudioDefault;
    int32_t type = Text02;
    int32_t duration = DurationSystem;
    int32_t cropHint = CropNone;
};

// The template document of a toast type: a "toast" root whose "binding"
// holds, for the image types, one "image" element with an empty "src", then
// the type's "text" elements. Null for a type outside 0 to 7.
std::unique_ptr<ToastXmlDocument> toastTemplateContent(int32_t templateType);

// Edits `document` (the template document of toast.type) into the toast's
// document for a platform of that major version and build number. 0 on
// success; -1 when a step could not be applied (a text line without its
// element, a missing "binding" or "toast" element, an image path longer
// than WIN_TOAST_IMAGE_PATH_MAX UTF-16 units). On failure the document is
// left part-built and must not be shown.
int buildToastDocument(const WinToastTemplate &toast, ToastXmlDocument &document, uint32_t majorVersion,
                       uint32_t buildNumber);

}  // namespace WinToastLib
