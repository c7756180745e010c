// Raw video frame sizes by FourCC and video-mode comparison and alignment.
// Pure functions; any thread.
#pragma once

#include <cstdint>

// A FourCC from its four characters, first character lowest ("I420").
constexpr uint32_t core_fourcc(const char (&s)[5])
{
    return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24;
}

struct CoreFrameSize {
    uint32_t width;
    uint32_t height;
};

struct CoreVideoMode {
    uint32_t width;
    uint32_t height;
    uint32_t rate_num;
    uint32_t rate_den;
};

// Bytes of one frame; 0 for a FourCC the helpers do not know.
uint64_t core_frame_size(uint32_t fourcc, const CoreFrameSize *size);

// Bits per pixel; 0 for an unknown FourCC.
uint32_t core_frame_bpp(uint32_t fourcc);

// 1 when all four fields are equal, else 0.
int core_video_mode_equal(const CoreVideoMode *a, const CoreVideoMode *b);

// Rounds width and height to the nearest multiple of their step (half a
// step rounds up). A value of 0 or a step of 0 or 1 is left as it is.
CoreVideoMode *core_video_mode_align(CoreVideoMode *mode, uint32_t width_step, uint32_t height_step);

// A mode is complete when no field is 0 or 0xFFFFFFFF.
bool core_video_mode_complete(const CoreVideoMode *mode);
