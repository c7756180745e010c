// Raw video frame buffers and the libyuv conversion context.
//
// Owns the memory layout of raw frames by FourCC, the frame-buffer
// descriptors that point into such frames, and the conversion context that
// crops, converts to I420, mirrors, scales, rotates and converts to the output
// format through libyuv, using two intermediate buffers made at creation (or
// two the caller supplies) so that no frame allocates.
//
// A context is used by one thread at a time: the libyuv element's streaming
// thread, or whichever thread calls ravk_frame_convert, which serialises its
// callers on a process-wide lock. Layout helpers are pure and run anywhere.
//
// Multimedia operations return 0 for success and -1 for failure; creators
// return NULL on failure. Every size, stride and crop is checked before libyuv
// sees it, so a malformed frame or setup fails instead of reading or writing
// outside its buffers.
//
// Odd sizes: chroma planes of subsampled formats cover half the luma size
// rounded up, as in libyuv and GStreamer, so odd widths and heights convert.
// For even sizes the layouts equal core_frame_size().
#pragma once

#include <cstdint>

#include "core/video.h"

enum : uint32_t {
    RAVK_FOURCC_NONE = core_fourcc("NONE"),
    RAVK_FOURCC_I420 = core_fourcc("I420"),
};

// A crop value of this size turns the crop off even when the others are set.
constexpr int32_t RAVK_CROP_OFF = 2147483647;

// The largest width or height the context accepts; scaling takes at most
// RAVK_SCALE_MAX in either input dimension.
constexpr uint32_t RAVK_FRAME_MAX_DIM = 65536;
constexpr uint32_t RAVK_SCALE_MAX = 32768;

struct RavkPlane {
    uint8_t *data;
    int32_t stride;
};

enum RavkFrameOwnership : uint32_t {
    RAVK_FRAME_VIEW = 0,      // the user sets the planes; no buffer of its own
    RAVK_FRAME_OWNED = 1,     // the buffer is freed with the descriptor
    RAVK_FRAME_EXTERNAL = 2,  // the caller's buffer, never freed
};

struct RavkFrameBuffer {
    uint8_t *data;  // start of the buffer (owned, external), or NULL for a view
    RavkPlane planes[4];
    uint32_t plane_count;
    uint32_t fourcc;  // RAVK_FOURCC_NONE when unset
    uint64_t size;    // bytes at data; 0 when unknown (a view)
    CoreFrameSize picture;
    uint32_t busy;
    uint32_t ownership;  // RavkFrameOwnership
};

struct RavkCrop {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

// One caller-supplied buffer. It counts only with data and a non-zero length.
struct RavkIoVec {
    uint64_t length;
    void *data;
};

struct RavkLibyuvContext {
    uint32_t output_fourcc;
    uint32_t input_fourcc;
    RavkCrop crop;
    CoreFrameSize cropped;
    CoreFrameSize input;
    CoreFrameSize output;
    uint64_t input_frame_size;
    uint64_t output_frame_size;  // 0: computed from the output FourCC and size
    RavkFrameBuffer *ping;
    RavkFrameBuffer *pong;
    RavkFrameBuffer *planning;
    uint32_t executed;
    uint32_t planned;
    uint32_t external;
    // NV12 stage of the NV24 output, kept apart from ping and pong because
    // the caller's output may lie over either of them.
    RavkFrameBuffer *scratch;
};

// --- Layouts ---

// Fills up to four planes of a tightly packed frame at `data` (unused planes
// are cleared). -1 for a FourCC without layout or a zero or oversized size.
int ravk_frame_planes(uint32_t fourcc, const CoreFrameSize *size, uint8_t *data, RavkPlane planes[4]);

// Bytes of a tightly packed frame; 0 for a FourCC without layout.
uint64_t ravk_frame_size(uint32_t fourcc, const CoreFrameSize *size);

// 0 when every plane of `frame` is present, its stride holds a row of the
// descriptor's FourCC and size, and, when the descriptor knows its buffer
// (data and size), each plane lies inside that buffer; else -1.
int ravk_frame_check(const RavkFrameBuffer *frame);

// --- Descriptors ---

// A view descriptor (ownership 0, busy, no data) of a FourCC and size;
// NULL when out of memory.
RavkFrameBuffer *ravk_libyuv_buffer_alloc(uint32_t fourcc, const CoreFrameSize *size);

// Frees the descriptor (and its buffer when owned); clears the reference.
void ravk_libyuv_buffer_free(RavkFrameBuffer **frame);

// Lays the descriptor over `length` bytes at `data` as a packed frame of
// `fourcc` and `size`. -1, leaving the descriptor unchanged, when the FourCC
// has no layout or the frame does not fit in `length`.
int ravk_frame_buffer_set_planes(RavkFrameBuffer *frame, uint8_t *data, uint64_t length, uint32_t fourcc,
                                 const CoreFrameSize *size);

// Re-lays an owned or external descriptor over its own buffer; -1 for a view
// or when the frame does not fit.
int ravk_frame_buffer_relayout(RavkFrameBuffer *frame, uint32_t fourcc, const CoreFrameSize *size);

// --- Conversion context ---

// NULL when a size is 0 or above RAVK_FRAME_MAX_DIM, the crop is negative or
// leaves no picture, a FourCC has no conversion, a packed 4:2:2 input is
// cropped at an odd left edge, or memory runs out. With both external buffers
// counting, ping and pong wrap them; otherwise ping and pong are allocated
// here (4096-byte aligned, zeroed) and sized for the largest stage.
RavkLibyuvContext *ravk_libyuv_create(uint32_t output_fourcc, uint32_t input_fourcc, const RavkCrop *crop,
                                      uint32_t bits_per_pixel, const CoreFrameSize *input_size,
                                      uint64_t input_frame_size, const CoreFrameSize *output_size,
                                      uint64_t output_frame_size, const RavkIoVec *external1,
                                      const RavkIoVec *external2);

void ravk_libyuv_destroy(RavkLibyuvContext **context);

// Runs the step chain from `input` to `output` with a clockwise rotation of
// 0, 90, 180 or 270 after an optional left-to-right mirror. Without an output
// it only plans (context->planned). When no step acts it returns 0 and writes
// nothing: the caller decides whether to copy or pass the input on.
int ravk_libyuv_processing(RavkLibyuvContext *context, uint32_t angle, int mirror, RavkFrameBuffer *input,
                           RavkFrameBuffer *output);

// The intermediate (ping or pong) that processing with these arguments
// leaves its result in, when the output is laid over it; NULL when the plan
// fails.
RavkFrameBuffer *ravk_libyuv_get_output_buffer(RavkLibyuvContext *context, uint32_t angle, int mirror,
                                               const RavkFrameBuffer *input);

// The output frame size the context was given, else the packed size of the
// output FourCC and size; 0 when unknown.
uint64_t ravk_libyuv_build_output_buffer_size(const RavkLibyuvContext *context);

// --- Single-frame conversion for the engine ---

// Converts one packed frame. Rotation code 2, 3, 4 turns by 90, 180, 270;
// anything else by 0. The context is kept between calls while formats, crop,
// sizes, bits and external buffers stay the same. On success `out` names the
// converted frame, which lies in a buffer of the kept context (or in the
// external buffer the context chose) and stays valid only until the next
// call from any thread; callers that share it across threads copy it first.
int ravk_frame_convert(uint32_t input_fourcc, uint32_t output_fourcc, uint32_t bits_per_pixel,
                       const RavkCrop *crop, uint32_t rotation_code, const CoreFrameSize *input_size,
                       const CoreFrameSize *output_size, const RavkIoVec *external1,
                       const RavkIoVec *external2, const RavkIoVec *input, RavkIoVec *out);

// Drops the context ravk_frame_convert keeps (for tests and shutdown).
void ravk_frame_convert_reset(void);
