// The codec settings file: the outcome of the codec performance evaluation
// kept between runs in "veltrana.codecs.xml".
//
// AppCodecsSettings holds a version and two arrays of codec containers,
// one per evaluated audio and video encoder, each with the encoder's
// identifier and the smallest and largest format recorded for it. The
// evaluation dialog makes one from the engine's results (fromEvaluation)
// and saves it; the streamer configuration loads it after every engine
// start. Saving (when written) and loading (when read) both put the
// containers into the node configuration's encoder limits through
// applyCodecsSettingsToConfig. Loading and saving are AppSettingsManager's
// (settings.h); a file that cannot be used as a whole gives the empty
// default object and leaves the limits alone, a stray or unreadable line in
// it is skipped.
//
// Everything here runs on the GTK main thread and takes no lock. Nothing
// throws; results are stated per function.
#pragma once

#include <memory>
#include <vector>

#include "app/settings.h"
#include "app/xml_tree.h"
#include "services/codecs.h"
#include "services/payloads.h"

// Copying shares the version value and both arrays.
struct AppCodecsSettings {
    // Version 1 and two empty arrays, "audio" and "video".
    AppCodecsSettings();
    AppCodecsSettings(const AppCodecsSettings &) = default;
    AppCodecsSettings &operator=(const AppCodecsSettings &) = default;

    // Per evaluation record, in order: the encoder's bounds from its trials
    // (minimum: the first format of the last trial with a complete first
    // format, looking no further back than the last passed trial; maximum:
    // the second format of the last passed trial, else the minimum) under
    // pk_codec_uuid_text of its descriptor and index. A record without
    // trials of a kind, or for an encoder already listed, adds no container
    // of that kind.
    static std::shared_ptr<AppCodecsSettings> fromEvaluation(const std::vector<PkEvaluateResults> &results);

    // The arrays' items; empty when the field holds no array.
    std::vector<std::shared_ptr<PkXMLContainer>> audioItems() const;
    std::vector<std::shared_ptr<PkXMLContainer>> videoItems() const;

    std::shared_ptr<PkXMLObject> version;  // PkXMLNumberObject
    std::shared_ptr<PkXMLObject> audio;    // PkXMLArrayObject of PkXMLAudioContainer
    std::shared_ptr<PkXMLObject> video;    // PkXMLArrayObject of PkXMLVideoContainer
};

// The limit record of one container: the identifier's 32 bytes, zero for
// the two numbers, and the parsed minimum and maximum. All zero when the
// container lacks one of "uuid", "minimum", "maximum".
PkAudioEncoderLimits toAudioEncoderLimits(PkXMLAudioContainer &container);
PkVideoEncoderLimits toVideoEncoderLimits(PkXMLVideoContainer &container);

// Replaces PkConfig's audio and video encoder limits with those of the
// settings' containers, in array order (containers of another kind are
// skipped). Returns the same settings; null changes nothing. The
// evaluation dialog's applyCodecsSettings is meant to be this step.
std::shared_ptr<AppCodecsSettings> applyCodecsSettingsToConfig(std::shared_ptr<AppCodecsSettings> settings);
