// The engine-side steps of the streamer configuration that the main window
// runs at every engine start and stop: applying the stored codec
// evaluation, the switch between "streaming possible" and "viewer only",
// the stored decoder and display choices, the application-fed devices on
// which the viewer side plays, the display the streamer captures, and the
// start of a configured multichannel broadcast.
//
// These functions hold no state of their own; they read and write the node
// configuration (PkConfig), the main settings file and the binder, and send
// the engine's control requests. Control requests go out only while the
// engine context and its session exist; otherwise they are skipped and
// answer STREAMER_SKIPPED. Results are as each function says; nothing here
// throws.
//
// Threads: the GTK main thread (the settings files and the binder belong to
// it); the control requests are synchronous calls into the engine.
#pragma once

#include <glibmm/ustring.h>

#include <cstdint>

#include "engine/devices.h"
#include "engine/session.h"
#include "services/display.h"

// What a control request answers when it was skipped for want of an engine.
#define STREAMER_SKIPPED 1

// The two settings of the streaming switch (PkConfig::sendRoles).
#define STREAMER_ROLE_VIEWER_ONLY 0u
#define STREAMER_ROLE_STREAMING 2u
#define STREAMER_FLAGS_VIEWER_ONLY 6u
#define STREAMER_FLAGS_STREAMING 7u
#define STREAMER_DIRECTION_VIEWER_ONLY 1u
#define STREAMER_DIRECTION_STREAMING 3u

// A playback slot parameter with this bit plays on an application-fed
// device (PkConfig::audioSinkParam, PkConfig::videoSinkParam).
#define STREAMER_PLAYBACK_APP_FED 0x10u

// The application-fed viewer audio device: 48000 Hz, 2 channels, S16LE.
#define STREAMER_VIEWER_AUDIO_RATE 48000u
#define STREAMER_VIEWER_AUDIO_CHANNELS 2u
#define STREAMER_VIEWER_AUDIO_BITS 16u
// The text tag of the device name blocks.
#define STREAMER_TEXT_TAG 1u

// Keys of the two application-fed viewer devices.
PkXID streamer_viewer_audio_id();
PkXID streamer_viewer_video_id();

// The application-fed audio record: the add form (side 1, index -1, "lpcm",
// "Audio", the fixed format) or the removal form (side 1 and the id only).
EngineAppAudioSource streamer_viewer_audio_record(bool add);
// The removal form of the application-fed video record.
EngineAppVideoSource streamer_viewer_video_removal();
// The 140-byte device selection record.
EngineDeviceInfo streamer_device_selection(uint32_t media, const PkXID &id);
// The broadcast start: an all-zero channel and a new "bnd.seq." id.
EngineBroadcastCommand streamer_broadcast_start_record();

// Sends a control request to ENGINE_CONTROL_SERVICE while the engine
// context and its session exist: the engine's result; STREAMER_SKIPPED
// otherwise.
int32_t streamer_control(uint32_t code, const void *record, uint64_t length);

// Applies the stored codec evaluation to the engine's video encoders
// (loading the codecs file first). A result below 0 means the evaluation no
// longer fits: the codecs file is replaced by the default one. The result
// of pk_evaluation_apply.
int32_t streamer_apply_evaluation();
// Title and text of the notice of a refused evaluation.
void streamer_codec_mismatch_texts(int32_t result, Glib::ustring &title, Glib::ustring &text);

// Number of the engine's video encoders marked usable that pass
// pk_video_codec_desc_check.
uint32_t streamer_usable_video_encoders();
// Brings the streaming switch in line with what the machine can do: true
// when it changed the node configuration (new node key included), after
// which the engine has to be restarted.
bool streamer_apply_role(bool canStream);

// Puts the stored video decoder back to 0 (automatic) when it names a
// decoder the engine does not have; true when the settings were rewritten.
bool streamer_check_decoder_setting();
// The display the streamer captures: the stored one when the device
// catalogue still lists it, else DEFAULT_DEVICE_ID, written back to the
// settings with an unset resolution.
PkXID streamer_capture_display();
// Selects the display as the capture source and its last listed mode. The
// selection's result (STREAMER_SKIPPED without an engine session).
int32_t streamer_select_display(const PkXID &id);

// Registers (add) or removes the application-fed viewer devices that the
// playback slots ask for, and selects them on the viewer side.
void streamer_viewer_devices(bool add);

// Posts the broadcast start when a broadcast is configured and the engine
// context exists; on a posted command the binder enters broadcast mode. The
// command's sequence number, 0 when nothing was posted.
uint64_t streamer_start_broadcast();
