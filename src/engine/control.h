// The control service: the engine's synchronous request interface.
//
// The engine session creates the notify channel ENGINE_CONTROL_SERVICE and
// subscribes engine_on_control to it. Callers use core_notify with a code
// 0x5400..0x544A, an input record and an output record, and get the answer
// at once on their own thread. The handler answers the playback, capture,
// frame, conversion and format requests itself, hands 0x5406..0x540F to
// connection control (engine_on_connection_request), the device, source and
// codec requests to engine_on_device_request, and the picture requests to
// the display controller's picture controls. Any other code is declined
// with CORE_NOT_MINE so that other handlers of the channel may take it.
//
// Threads: the callers' own (interface threads, the binding service's
// queue consumer, the receive service's executor, an application's feeding
// thread), concurrently. The handler keeps no state and takes no lock of
// its own; every object it touches locks itself, and the session outlives
// the channel. The request records come from other parts of the process:
// every input length is checked against its record and every output length
// against the answer (CORE_ERR_INVALID, -91, when either is short).
// Results: as each request says; CORE_ERR (-100) for a missing object.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/names.h"
#include "core/result.h"
#include "core/video.h"
#include "ravelkit/frame.h"

struct EngineSession;

// ENGINE_CTL_SET_CAPTURE_PARAMS: four u64. The first pair and the second
// pair are the two external buffers {length, data} of ENGINE_CTL_ROTATE_FRAME.
struct EngineCaptureParams {
    uint64_t words[4];
};
static_assert(sizeof(EngineCaptureParams) == 32, "capture parameters travel as 32 raw bytes");

// ENGINE_CTL_FEED_FRAMES: the stream a frame is fed into; the frame chain
// (RavkSample) is the output pointer. The record is 412 bytes like a frame
// batch; only `medium` and `stream` are read.
struct EngineFeedRequest {
    uint32_t medium;  // 0 audio slot, 1 video slot, other the first profile slot
    uint8_t reserved[272];
    CoreName stream;
};
static_assert(sizeof(EngineFeedRequest) == 412 && offsetof(EngineFeedRequest, stream) == 276,
              "feed request travels as 412 raw bytes");

// ENGINE_CTL_ROTATE_FRAME: one raw frame converted or rotated; the answer
// (the converted frame's size and address, valid until the next conversion
// in the process) is a RavkIoVec written to the output.
struct EngineConvertRequest {
    uint32_t mode;  // 1; any other mode is refused
    uint32_t sourceFormat;       // FourCC
    uint32_t destinationFormat;  // FourCC
    RavkCrop crop;               // the frame geometry
    uint32_t rotation;           // 2 = 90, 3 = 180, 4 = 270 degrees, else none
    const CoreFrameSize *inputSize;
    const CoreFrameSize *outputSize;
    const RavkIoVec *input;
};
static_assert(sizeof(EngineConvertRequest) == 56 && offsetof(EngineConvertRequest, crop) == 12 &&
                  offsetof(EngineConvertRequest, rotation) == 28 &&
                  offsetof(EngineConvertRequest, inputSize) == 32 &&
                  offsetof(EngineConvertRequest, outputSize) == 40 && offsetof(EngineConvertRequest, input) == 48,
              "convert request is 56 raw bytes");

// The ENGINE_CONTROL_SERVICE handler (user[0]: the session). CORE_NOT_MINE
// for any code outside ENGINE_CTL_FIRST..ENGINE_CTL_LAST.
CoreResult engine_on_control(uint32_t code, const void *in, uint64_t in_len, void *out, uint64_t *out_len,
                             void **user);

// The same with the session given directly (NULL answers CORE_ERR for the
// codes it owns).
CoreResult engine_control(EngineSession *session, uint32_t code, const void *in, uint64_t in_len, void *out,
                          uint64_t *out_len);
