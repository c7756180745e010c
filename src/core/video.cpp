#include "core/video.h"

#include <initializer_list>

namespace {

enum class Layout { Unknown, Yuv420, Yuv422, Yuv444, Rgb32 };

Layout layout_of(uint32_t fourcc)
{
    switch (fourcc) {
    case core_fourcc("I420"):
    case core_fourcc("NV12"):
    case core_fourcc("NV21"):
    case core_fourcc("YV12"):
        return Layout::Yuv420;
    case core_fourcc("I422"):
    case core_fourcc("NV16"):
    case core_fourcc("NV61"):
    case core_fourcc("YV16"):
    case core_fourcc("YUY2"):
    case core_fourcc("UYVY"):
        return Layout::Yuv422;
    case core_fourcc("I444"):
    case core_fourcc("NV24"):
    case core_fourcc("NV42"):
    case core_fourcc("YV24"):
        return Layout::Yuv444;
    case core_fourcc("RGBA"):
    case core_fourcc("BGRA"):
    case core_fourcc("ARGB"):
    case core_fourcc("ABGR"):
    case core_fourcc("xRGB"):
    case core_fourcc("xBGR"):
    case core_fourcc("RGBx"):
    case core_fourcc("BGRx"):
        return Layout::Rgb32;
    default:
        return Layout::Unknown;
    }
}

uint32_t align_value(uint32_t value, uint32_t step)
{
    if (value == 0 || step <= 1) return value;
    uint32_t r = value % step;
    return r < step / 2 ? value - r : value - r + step;
}

}  // namespace

uint64_t core_frame_size(uint32_t fourcc, const CoreFrameSize *size)
{
    uint64_t w = size->width, h = size->height;
    switch (layout_of(fourcc)) {
    case Layout::Yuv420: return w * h + 2 * (w / 2) * (h / 2);
    case Layout::Yuv422: return w * h + (w / 2) * 2 * h;
    case Layout::Yuv444: return 3 * w * h;
    case Layout::Rgb32: return 4 * w * h;
    case Layout::Unknown: break;
    }
    return 0;
}

uint32_t core_frame_bpp(uint32_t fourcc)
{
    switch (layout_of(fourcc)) {
    case Layout::Yuv420: return 12;
    case Layout::Yuv422: return 16;
    case Layout::Yuv444: return 24;
    case Layout::Rgb32: return 32;
    case Layout::Unknown: break;
    }
    return 0;
}

int core_video_mode_equal(const CoreVideoMode *a, const CoreVideoMode *b)
{
    return a->width == b->width && a->height == b->height && a->rate_num == b->rate_num &&
           a->rate_den == b->rate_den;
}

CoreVideoMode *core_video_mode_align(CoreVideoMode *mode, uint32_t width_step, uint32_t height_step)
{
    mode->width = align_value(mode->width, width_step);
    mode->height = align_value(mode->height, height_step);
    return mode;
}

bool core_video_mode_complete(const CoreVideoMode *mode)
{
    for (uint32_t v : {mode->width, mode->height, mode->rate_num, mode->rate_den})
        if (v == 0 || v == 0xFFFFFFFFu) return false;
    return true;
}
