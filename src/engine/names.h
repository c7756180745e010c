// Stream and channel names: how the streams of a binder channel, their codec
// records and the binder channels themselves are named, and how those names
// are read back.
//
// Every such name is a CoreName whose key is a fixed pattern with
// eight-digit upper-case hexadecimal numbers in it; names are compared by
// their 32-byte keys, and only the key is ever read, so a name that arrived
// as raw bytes with a stale text copy reads the same. A stream number is the
// stream's index within its kind plus the kind's bias (audio 0, video
// 0x40000000, kind 2 0x80000000). Pure functions, safe from any thread; the
// table lookups read a table the caller keeps alive. Makers return the name
// or NULL, readers a kind, an index or 0/1 as each says.
// engine_stream_name_is_set lives with the engine node, which the
// multimedia framework links alone.
#pragma once

#include <cstdint>

#include "core/names.h"
#include "engine/node.h"
#include "engine/records.h"

// Biases of the stream kinds in a stream number.
#define ENGINE_STREAM_BIAS_VIDEO 0x40000000u
#define ENGINE_STREAM_BIAS_OTHER 0x80000000u

// The number of the two unset stream names.
#define ENGINE_STREAM_NUMBER_UNSET 0xFFFFFFFFu

// What the binder-channel readers answer for a name that is no such
// channel name (a channel numbered 0x7FFFFFFF reads the same).
#define ENGINE_BINDER_INDEX_NONE 0x7FFFFFFF

// Makes "stream.%08X" (split 0) or "split.stream.%08X" (split 1) of the
// number index + bias of `kind` (-1 counts as 0; a kind other than -1..2
// gives the number 0). Returns out; NULL, with out all zero, for any other
// split or an index that does not fit its kind's range (0x40000000 for
// kinds -1..1; below 0x7FFFFFFF for kind 2, so that the unset name is never
// made).
CoreName *engine_stream_name_make(CoreName *out, int split, int kind, uint32_t index);

// The kind (0, 1, 2) of a plain stream name of the given pattern (split 0 or
// 1); -1 when the name is not such a name.
int engine_stream_name_kind(const CoreName *name, int split);

// The channel index of "p2p.bnd.%08X.chnl" / "p2m.bnd.%08X.chnl" as a signed
// 32-bit value, or ENGINE_BINDER_INDEX_NONE.
int32_t engine_p2p_binder_index(const CoreName *name);
int32_t engine_p2m_binder_index(const CoreName *name);

// In table order, finds the codec record whose name
// "codec.%08X.stream.%08X" points at `plain` ("stream.%08X" or
// "split.stream.%08X" of its second number) and copies that record's stream
// name into out. 1 found, 0 not. Codec records whose names do not have the
// codec pattern are passed over.
int engine_stream_table_find_codec_name(const EngineStreamTable *table, const CoreName *plain, CoreName *out);

// The first plain record (media flag 0x10 clear) named by the stream number
// of `codec` in either plain pattern; NULL when none is, or when `codec`
// does not have the codec pattern. The record stays part of the table.
EngineStreamRecord *engine_stream_table_find_plain(const EngineStreamTable *table, const CoreName *codec);
