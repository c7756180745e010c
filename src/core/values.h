// Value lists and codec lists: process-wide tables of named values through
// which the layers publish configuration to each other without linking to
// each other.
//
// A CoreValueList maps a key (a name, or a name followed by an index as
// eight hex digits) to a type word and a byte string that the list owns.
// Any thread may put, overwrite and read; every value is copied in and
// copied out under the list's lock, so a reader never sees a value half
// written, a replaced entry missing, or a buffer being freed. The process
// owns two value lists (0: insert-only, 1: replace) and four insert-only
// codec lists of CoreAudioCodecDesc and CoreVideoCodecDesc records; system
// start makes them and system stop destroys them, and nothing else may
// create or destroy them while other threads use them. Entries are stored
// in a keyed store whose reclaim task runs on CORE_DEFAULT_EXECUTOR, which
// must exist while any list does.
//
// List operations return 0 for success and -1 for failure; the exceptions
// (set_at and get answer 1 for a size mismatch, the codec count answers a
// number) are stated at each function.
#pragma once

#include <cstdint>

#include "core/codec_desc.h"
#include "core/result.h"

struct CoreStore;

enum CoreValueListKind : int {
    CORE_VALUELIST_INSERT = 0,   // a put under a key that exists fails
    CORE_VALUELIST_REPLACE = 1,  // a put replaces the existing entry
};

// Index argument of a put or get that keys the entry by the bare name.
#define CORE_VALUE_NO_INDEX 0xFFFFFFFFu
// Type word of the codec lists' entries.
#define CORE_VALUE_TYPE_CODEC 2u

struct CoreValueList {
    int kind;  // CoreValueListKind
    CoreStore *entries;
};

// A new empty list of *kind, or NULL (kind NULL or unknown, no default
// executor, no memory).
CoreValueList *core_valuelist_create(const int *kind);

// Frees every entry (waiting for readers on other threads) and the list;
// sets *list to NULL.
void core_valuelist_destroy(CoreValueList **list);

// Stores a copy of `size` bytes of data with `type` under the key of name
// and index (CORE_VALUE_NO_INDEX: the name alone; else "%s%08X"; either cut
// to 32 bytes). In a replace list an existing entry of that key is replaced
// in the same locked step, so readers see the old value or the new one.
// 0; -1 when the key exists in an insert-only list, the arguments are
// missing (data NULL with a non-zero size) or the entry cannot be made.
int core_valuelist_put(CoreValueList *list, const char *name, uint32_t index, uint32_t type, const void *data,
                       uint64_t size);

// Overwrites the value of the entry at `index` (position among the live
// entries in key order). 0 after writing; 1 when the stored size differs
// from size (nothing written); -1 when there is no such position.
int core_valuelist_set_at(CoreValueList *list, int64_t index, const void *data, uint64_t size);

// Copies the value under the key of name and index into out. On return
// *size (when not NULL) holds the stored size and *type (when not NULL) the
// type. 0 after copying; 1 when the value does not fit in `capacity` bytes
// (nothing copied); -1 when no entry holds the key.
int core_valuelist_get(CoreValueList *list, const char *name, uint32_t index, uint32_t *type, void *out,
                       uint64_t capacity, uint64_t *size);

// ---- the process's lists ----------------------------------------------------

// Makes value list 0 (insert-only) and value list 1 (replace). CORE_OK;
// CORE_FAIL when they exist already or cannot be made (any made is kept
// for the destroy).
CoreResult core_process_valuelists_create(void);

// Destroys value list 1, then value list 0; skips what does not exist.
void core_process_valuelists_destroy(void);

// Value list 0 or 1, or NULL (another number, or not made).
CoreValueList *core_process_valuelist(int number);

// Makes the four codec lists. CORE_OK; CORE_FAIL when they exist already
// or one cannot be made (those made are destroyed again).
CoreResult core_codec_lists_create(void);

// Destroys the four codec lists; skips those that do not exist.
void core_codec_lists_destroy(void);

// Adds a copy of the descriptor to the encoder list (direction 1) or the
// decoder list (direction 2) under "audio.enc.%08X" / "audio.dec.%08X" of
// the list's live count. An unlisted entry (listed 0) gets that count +
// 0x80000000, so it sorts after every listed one. 0; -1 when the direction
// is neither 1 nor 2, the list is missing or the entry cannot be made.
int core_codec_add_audio(const CoreAudioCodecDesc *desc, int listed);
// The same for video ("video.enc.%08X" / "video.dec.%08X").
int core_codec_add_video(const CoreVideoCodecDesc *desc, int listed);

// Entries of the audio encoder (1) or decoder (2) list whose acceleration
// is not RAVK_ACCEL_NONE; 0 on any error.
uint32_t core_codec_count_audio(uint32_t direction);

// Every entry of the audio or video encoder (1) or decoder (2) list, the
// no-codec entry included; 0 on any error.
uint32_t core_codec_entry_count_audio(uint32_t direction);
uint32_t core_codec_entry_count_video(uint32_t direction);

// Removes the entry at `index` (key order) of the encoder (1) or decoder (2)
// list. Adds number their entries by the live count, so remove from the end
// or until the list is empty: a gap in the middle makes a later add collide
// with a number still held. 0; -1 when the direction is wrong, the list is
// missing or no entry is at index.
int core_codec_remove_audio(int64_t index, uint32_t direction);
int core_codec_remove_video(int64_t index, uint32_t direction);

// Copies the descriptor at `index` (key order) of the encoder (1) or
// decoder (2) list into *out. 0; -1 when the direction is wrong, the index
// is negative or past the end, or the stored entry is not a whole
// descriptor.
int core_codec_get_audio(int64_t index, uint32_t direction, CoreAudioCodecDesc *out);
int core_codec_get_video(int64_t index, uint32_t direction, CoreVideoCodecDesc *out);

// Overwrites the descriptor at `index` (key order) of the encoder (1) or
// decoder (2) list with a copy of *desc, in one locked step. 0; -1 when the
// direction is wrong, desc is NULL, no entry is at index or the stored entry
// is not a whole descriptor.
int core_codec_set_audio(int64_t index, uint32_t direction, const CoreAudioCodecDesc *desc);
int core_codec_set_video(int64_t index, uint32_t direction, const CoreVideoCodecDesc *desc);
