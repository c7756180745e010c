// The text constants that the service classes and the windows share: the
// keys of the node profile fields and their values, the option values of the
// settings files, the element keys of the codecs settings file, the names of
// the viewer's virtual devices and the keys of the update manifest.
//
// Each text is spelled here once and nowhere else. They are constant
// expressions, so they exist before any code runs and any thread may read
// them. std::string_view keeps every comparison a comparison of the
// characters (exact and case-sensitive), never of two array addresses; each
// view points at a zero-terminated literal, so data() may go to C functions.
#pragma once

#include <array>
#include <string_view>

namespace PkConstants {

// Node profile field keys: the node properties that presence publishes to
// peers. As 32-byte keys they are the text, zero-padded.
inline constexpr std::string_view kNodeUserIdField = "node.userid.field";
inline constexpr std::string_view kNodeFirstNameField = "node.firstname.field";
inline constexpr std::string_view kNodeLastNameField = "node.lastname.field";
inline constexpr std::string_view kNodeStatusField = "node.status.field";
inline constexpr std::string_view kNodeGenderField = "node.gender.field";
inline constexpr std::string_view kNodeBirthdayField = "node.birthday.field";
inline constexpr std::string_view kNodeAvatarField = "node.avatar.field";
inline constexpr std::string_view kNodeBinderDirectionField = "node.binder.direction.field";

// Values of "node.status.field".
inline constexpr std::string_view kStatusOnline = "status.online.value";
inline constexpr std::string_view kStatusAway = "status.away.value";
inline constexpr std::string_view kStatusBusy = "status.busy.value";
inline constexpr std::string_view kStatusOffline = "status.offline.value";

// Values of "node.gender.field".
inline constexpr std::string_view kGenderNone = "gender.none.value";
inline constexpr std::string_view kGenderMale = "gender.male.value";
inline constexpr std::string_view kGenderFemale = "gender.female.value";

// Value of "node.birthday.field" while no birthday is set.
inline constexpr std::string_view kBirthdayInvalid = "birthday.invalid.value";

// Values of "node.binder.direction.field".
inline constexpr std::string_view kDirectionNone = "direction.none.value";
inline constexpr std::string_view kDirectionBidirectional = "direction.bidirectional.value";
inline constexpr std::string_view kDirectionIncoming = "direction.incoming.value";
inline constexpr std::string_view kDirectionOutgoing = "direction.outgoing.value";

// Settings option values: video resolution profile.
inline constexpr std::string_view kResolutionLow = "low";
inline constexpr std::string_view kResolutionClassic = "classic";
inline constexpr std::string_view kResolutionMedium = "medium";
inline constexpr std::string_view kResolutionHigh = "high";
inline constexpr std::string_view kResolutionSuper = "super";
inline constexpr std::string_view kResolutionMaximum = "maximum";
inline constexpr std::string_view kResolutionAutomatic = "automatic";
inline constexpr std::string_view kResolutionDefault = kResolutionLow;
inline constexpr std::array<std::string_view, 7> kResolutionProfiles = {
    kResolutionLow,  kResolutionClassic, kResolutionMedium,   kResolutionHigh,
    kResolutionSuper, kResolutionMaximum, kResolutionAutomatic};

// What the user sees for the three profiles whose value is not shown as is.
inline constexpr std::string_view kResolutionAutomaticDisplay = "Automatic best";
inline constexpr std::string_view kResolutionMaximumDisplay = "Maximum resolution";
inline constexpr std::string_view kResolutionSuperDisplay = "Super resolution";

// Settings option values: bitrate policy.
inline constexpr std::string_view kBitrateAdaptive = "adaptive";
inline constexpr std::string_view kBitrateConstant = "constant";
inline constexpr std::string_view kBitrateDefault = kBitrateAdaptive;
inline constexpr std::array<std::string_view, 2> kBitratePolicies = {kBitrateAdaptive, kBitrateConstant};

// Settings option values: playback delay in milliseconds.
inline constexpr std::array<std::string_view, 8> kPlaybackDelays = {"0",    "250",  "500",  "1000",
                                                                     "1500", "2000", "2500", "3000"};
inline constexpr std::string_view kPlaybackDelayDefault = "3000";

// Element and attribute names of the codecs settings file. "minimum" and
// "maximum" serve the audio and the video section alike; the items of the
// encoder list are named kCodecsEncoder + kListIndexSeparator + index.
inline constexpr std::string_view kCodecsUuid = "uuid";
inline constexpr std::string_view kCodecsAudio = "audio";
inline constexpr std::string_view kCodecsVideo = "video";
inline constexpr std::string_view kCodecsMinimum = "minimum";
inline constexpr std::string_view kCodecsMaximum = "maximum";
inline constexpr std::string_view kCodecsEncoders = "encoders";
inline constexpr std::string_view kCodecsEncoder = "encoder";
inline constexpr std::string_view kKeyPathSeparator = "/";
inline constexpr std::string_view kListIndexSeparator = ".";

// The viewer's own audio and video devices.
inline constexpr std::string_view kVirtualViewerAudioDevice = "virtual.viewer.audio.device";
inline constexpr std::string_view kVirtualViewerVideoDevice = "virtual.viewer.video.device";

// Update manifest and downloads. Stale downloads with any of the three
// extensions are removed.
inline constexpr std::string_view kUpdateManifestFile = "update.json";
inline constexpr std::string_view kUpdateLinkGoogleDrive = "googledrive";
inline constexpr std::string_view kUpdateLinkDropbox = "dropbox";
inline constexpr std::string_view kUpdateLinkPlain = "link";
inline constexpr std::string_view kUpdateFileBase = "update";
inline constexpr std::string_view kUpdateExtensionMsi = "msi";
inline constexpr std::string_view kUpdateExtensionExe = "exe";
inline constexpr std::string_view kUpdateExtensionBin = "bin";

}  // namespace PkConstants
