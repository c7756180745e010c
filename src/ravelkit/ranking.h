// Codec ranking: orders each codec list by preference, once, after
// registration.
//
// The engine walks a list by position and takes the first entry that fits,
// so the order is the framework's codec preference: the no-codec entry
// first, then platform hardware, platform software, portable hardware and
// portable software implementations, and within each group the codecs in
// an order that depends, for portable codecs, on how strong the machine is
// (processor class). Ranking rebuilds a list from copies; descriptors keep
// every field as registered, the device number included, since it names
// the element of a numbered encoder and is part of the codec's identity.
//
// The pass runs on the registering thread before any reader walks the
// lists; a reader walking a list while it is rebuilt could find it empty
// or short. Scores and comparisons are pure. Ranking and clearing return
// 0 or -1.
#pragma once

#include <cstdint>

#include "core/codec_desc.h"

// Reorders the audio (or video) encoder (direction 1) or decoder (2) list by
// descending score; entries of equal score keep their order. -1 when the
// list cannot be read or an entry cannot be added back (the list is then
// left short).
int ravk_codec_rank_audio(uint32_t direction);
int ravk_codec_rank_video(uint32_t direction);

// Scores from 0 to 0x7FFFFFFF; the no-codec entry (acceleration 0) scores
// highest.
uint32_t ravk_codec_score_audio(const CoreAudioCodecDesc *desc);
uint32_t ravk_codec_score_video(const CoreVideoCodecDesc *desc);

// score(b) - score(a): negative when a ranks before b.
int32_t ravk_codec_compare_audio(const CoreAudioCodecDesc *a, const CoreAudioCodecDesc *b);
int32_t ravk_codec_compare_video(const CoreVideoCodecDesc *a, const CoreVideoCodecDesc *b);

// Empties the encoder (1) or decoder (2) list; any other direction does
// nothing.
void ravk_codec_list_clear_audio(uint32_t direction);
void ravk_codec_list_clear_video(uint32_t direction);
