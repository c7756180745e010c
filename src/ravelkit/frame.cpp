#include "ravelkit/frame.h"

#include <libyuv.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr uint32_t fc(const char (&s)[5]) { return core_fourcc(s); }

enum class Family { None, Planar420, SemiPlanar420, Planar422, SemiPlanar444, Planar444, Packed422, Rgb32 };

Family family_of(uint32_t fourcc)
{
    switch (fourcc) {
    case fc("I420"):
    case fc("YV12"): return Family::Planar420;
    case fc("NV12"):
    case fc("NV21"): return Family::SemiPlanar420;
    case fc("I422"):
    case fc("YV16"): return Family::Planar422;
    case fc("NV24"):
    case fc("NV42"): return Family::SemiPlanar444;
    case fc("I444"):
    case fc("YV24"): return Family::Planar444;
    case fc("YUY2"):
    case fc("UYVY"): return Family::Packed422;
    case fc("RGBA"):
    case fc("BGRA"):
    case fc("ARGB"):
    case fc("ABGR"):
    case fc("RGBx"):
    case fc("BGRx"):
    case fc("xRGB"):
    case fc("xBGR"): return Family::Rgb32;
    default: return Family::None;
    }
}

struct PlaneGeometry {
    uint64_t row_bytes;
    uint64_t rows;
};

struct Layout {
    uint32_t count;
    PlaneGeometry plane[3];
};

// The packed layout of a FourCC; rows are as wide as their content.
bool layout_of(uint32_t fourcc, const CoreFrameSize *size, Layout *out)
{
    const uint64_t w = size->width, h = size->height;
    if (w == 0 || h == 0 || w > RAVK_FRAME_MAX_DIM || h > RAVK_FRAME_MAX_DIM) return false;
    const uint64_t cw = (w + 1) / 2, ch = (h + 1) / 2;
    switch (family_of(fourcc)) {
    case Family::Planar420: *out = {3, {{w, h}, {cw, ch}, {cw, ch}}}; return true;
    case Family::SemiPlanar420: *out = {2, {{w, h}, {2 * cw, ch}, {0, 0}}}; return true;
    case Family::Planar422: *out = {3, {{w, h}, {cw, h}, {cw, h}}}; return true;
    case Family::SemiPlanar444: *out = {2, {{w, h}, {2 * w, h}, {0, 0}}}; return true;
    case Family::Planar444: *out = {3, {{w, h}, {w, h}, {w, h}}}; return true;
    case Family::Packed422: *out = {1, {{4 * cw, h}, {0, 0}, {0, 0}}}; return true;
    case Family::Rgb32: *out = {1, {{4 * w, h}, {0, 0}, {0, 0}}}; return true;
    case Family::None: break;
    }
    return false;
}

uint64_t layout_bytes(const Layout &layout)
{
    uint64_t total = 0;
    for (uint32_t i = 0; i < layout.count; i++) total += layout.plane[i].row_bytes * layout.plane[i].rows;
    return total;
}

bool has_buffer(const RavkFrameBuffer *frame) { return frame->ownership != RAVK_FRAME_VIEW && frame->data; }

bool is_i420_frame(const RavkFrameBuffer *frame, uint32_t w, uint32_t h)
{
    return frame->fourcc == RAVK_FOURCC_I420 && frame->picture.width == w && frame->picture.height == h &&
           ravk_frame_check(frame) == 0;
}

// --- Steps ---

enum class Step { Crop, ToI420, Mirror, Scale, Rotate, ToOutput };

struct Stage {
    Step step;
    uint32_t fourcc;
    CoreFrameSize size;
};

struct Plan {
    uint32_t count;
    Stage stage[6];
};

bool crop_on(const RavkCrop &c)
{
    if (c.left == RAVK_CROP_OFF || c.top == RAVK_CROP_OFF || c.right == RAVK_CROP_OFF || c.bottom == RAVK_CROP_OFF)
        return false;
    return c.left || c.top || c.right || c.bottom;
}

bool has_to_i420(uint32_t fourcc)
{
    switch (fourcc) {
    case fc("I420"): case fc("YV12"): case fc("NV12"): case fc("NV21"): case fc("YUY2"): case fc("UYVY"):
        return true;
    default: return family_of(fourcc) == Family::Rgb32;
    }
}

bool has_from_i420(uint32_t fourcc)
{
    switch (fourcc) {
    case fc("I420"): case fc("YV12"): case fc("NV12"): case fc("NV21"): case fc("I422"): case fc("YV16"):
    case fc("I444"): case fc("YV24"): case fc("YUY2"): case fc("UYVY"): case fc("NV24"):
        return true;
    default: return family_of(fourcc) == Family::Rgb32;
    }
}

bool make_plan(const RavkLibyuvContext *ctx, uint32_t angle, int mirror, Plan *plan)
{
    if (angle != 0 && angle != 90 && angle != 180 && angle != 270) return false;
    plan->count = 0;
    uint32_t fourcc = ctx->input_fourcc;
    CoreFrameSize size = ctx->input;
    auto add = [&](Step step) { plan->stage[plan->count++] = {step, fourcc, size}; };

    if (crop_on(ctx->crop)) {
        fourcc = RAVK_FOURCC_I420;
        size = ctx->cropped;
        add(Step::Crop);
    }
    if (fourcc != RAVK_FOURCC_I420) {
        fourcc = RAVK_FOURCC_I420;
        add(Step::ToI420);
    }
    if (mirror) add(Step::Mirror);
    const bool turn = angle == 90 || angle == 270;
    const CoreFrameSize target = turn ? CoreFrameSize{ctx->output.height, ctx->output.width} : ctx->output;
    if (size.width != target.width || size.height != target.height) {
        size = target;
        add(Step::Scale);
    }
    if (angle != 0) {
        size = ctx->output;
        add(Step::Rotate);
    }
    if (ctx->output_fourcc != RAVK_FOURCC_I420) {
        fourcc = ctx->output_fourcc;
        add(Step::ToOutput);
    }
    return true;
}

const uint8_t *at(const RavkPlane &p, uint32_t x_bytes, uint32_t y)
{
    return p.data + static_cast<int64_t>(y) * p.stride + x_bytes;
}

// Converts the w x h area at (x, y) of `src` into the I420 frame `dst`.
// Each plane is offset by its own stride, so padded rows are never read as
// picture.
int to_i420(const RavkFrameBuffer *src, uint32_t x, uint32_t y, uint32_t w, uint32_t h, RavkFrameBuffer *dst)
{
    const RavkPlane *s = src->planes;
    RavkPlane *d = dst->planes;
    const int iw = static_cast<int>(w), ih = static_cast<int>(h);
    switch (src->fourcc) {
    case fc("I420"):
    case fc("YV12"): {
        const bool swap = src->fourcc == fc("YV12");
        const RavkPlane &u = swap ? s[2] : s[1];
        const RavkPlane &v = swap ? s[1] : s[2];
        const int cw = (iw + 1) / 2, ch = (ih + 1) / 2;
        libyuv::CopyPlane(at(s[0], x, y), s[0].stride, d[0].data, d[0].stride, iw, ih);
        libyuv::CopyPlane(at(u, x / 2, y / 2), u.stride, d[1].data, d[1].stride, cw, ch);
        libyuv::CopyPlane(at(v, x / 2, y / 2), v.stride, d[2].data, d[2].stride, cw, ch);
        return 0;
    }
    case fc("NV12"):
        return libyuv::NV12ToI420(at(s[0], x, y), s[0].stride, at(s[1], (x / 2) * 2, y / 2), s[1].stride, d[0].data,
                                  d[0].stride, d[1].data, d[1].stride, d[2].data, d[2].stride, iw, ih);
    case fc("NV21"):
        return libyuv::NV21ToI420(at(s[0], x, y), s[0].stride, at(s[1], (x / 2) * 2, y / 2), s[1].stride, d[0].data,
                                  d[0].stride, d[1].data, d[1].stride, d[2].data, d[2].stride, iw, ih);
    default: break;
    }
    // Single-plane formats; packed 4:2:2 crops start on an even pixel
    // (checked at creation).
    const bool packed = family_of(src->fourcc) == Family::Packed422;
    const uint8_t *p = at(s[0], packed ? x * 2 : x * 4, y);
    const int st = s[0].stride;
    auto args = [&](auto fn) {
        return fn(p, st, d[0].data, d[0].stride, d[1].data, d[1].stride, d[2].data, d[2].stride, iw, ih);
    };
    switch (src->fourcc) {
    case fc("YUY2"): return args(libyuv::YUY2ToI420);
    case fc("UYVY"): return args(libyuv::UYVYToI420);
    case fc("RGBA"):
    case fc("RGBx"): return args(libyuv::ABGRToI420);
    case fc("BGRA"):
    case fc("BGRx"): return args(libyuv::ARGBToI420);
    case fc("ARGB"):
    case fc("xRGB"): return args(libyuv::BGRAToI420);
    case fc("ABGR"):
    case fc("xBGR"): return args(libyuv::RGBAToI420);
    default: return -1;
    }
}

// `dst` is already checked against the output FourCC and size.
int from_i420(const RavkFrameBuffer *src, RavkFrameBuffer *dst, RavkFrameBuffer *scratch)
{
    const RavkPlane *s = src->planes;
    RavkPlane *d = dst->planes;
    const int w = static_cast<int>(src->picture.width), h = static_cast<int>(src->picture.height);
    auto planar = [&](auto fn, bool swap) {
        RavkPlane &u = swap ? d[2] : d[1];
        RavkPlane &v = swap ? d[1] : d[2];
        return fn(s[0].data, s[0].stride, s[1].data, s[1].stride, s[2].data, s[2].stride, d[0].data, d[0].stride,
                  u.data, u.stride, v.data, v.stride, w, h);
    };
    auto semi = [&](auto fn) {
        return fn(s[0].data, s[0].stride, s[1].data, s[1].stride, s[2].data, s[2].stride, d[0].data, d[0].stride,
                  d[1].data, d[1].stride, w, h);
    };
    auto packed = [&](auto fn) {
        return fn(s[0].data, s[0].stride, s[1].data, s[1].stride, s[2].data, s[2].stride, d[0].data, d[0].stride,
                  w, h);
    };
    switch (dst->fourcc) {
    case fc("NV12"): return semi(libyuv::I420ToNV12);
    case fc("NV21"): return semi(libyuv::I420ToNV21);
    case fc("YV12"): {
        const int cw = (w + 1) / 2, ch = (h + 1) / 2;
        libyuv::CopyPlane(s[0].data, s[0].stride, d[0].data, d[0].stride, w, h);
        libyuv::CopyPlane(s[1].data, s[1].stride, d[2].data, d[2].stride, cw, ch);
        libyuv::CopyPlane(s[2].data, s[2].stride, d[1].data, d[1].stride, cw, ch);
        return 0;
    }
    case fc("I422"): return planar(libyuv::I420ToI422, false);
    case fc("YV16"): return planar(libyuv::I420ToI422, true);
    case fc("I444"): return planar(libyuv::I420ToI444, false);
    case fc("YV24"): return planar(libyuv::I420ToI444, true);
    case fc("YUY2"): return packed(libyuv::I420ToYUY2);
    case fc("UYVY"): return packed(libyuv::I420ToUYVY);
    case fc("RGBA"):
    case fc("RGBx"): return packed(libyuv::I420ToABGR);
    case fc("BGRA"):
    case fc("BGRx"): return packed(libyuv::I420ToARGB);
    case fc("ARGB"):
    case fc("xRGB"): return packed(libyuv::I420ToBGRA);
    case fc("ABGR"):
    case fc("xBGR"): return packed(libyuv::I420ToRGBA);
    case fc("NV24"): {
        if (!scratch || ravk_frame_buffer_relayout(scratch, fc("NV12"), &src->picture) != 0) return -1;
        const RavkPlane *n = scratch->planes;
        if (libyuv::I420ToNV12(s[0].data, s[0].stride, s[1].data, s[1].stride, s[2].data, s[2].stride, n[0].data,
                               n[0].stride, n[1].data, n[1].stride, w, h) != 0)
            return -1;
        return libyuv::NV12ToNV24(n[0].data, n[0].stride, n[1].data, n[1].stride, d[0].data, d[0].stride, d[1].data,
                                  d[1].stride, w, h);
    }
    default: return -1;
    }
}

int run_step(const RavkLibyuvContext *ctx, const Stage &stage, uint32_t angle, const RavkFrameBuffer *src,
             RavkFrameBuffer *dst)
{
    const uint32_t w = src->picture.width, h = src->picture.height;
    const int cw = static_cast<int>((w + 1) / 2), ch = static_cast<int>((h + 1) / 2);
    const int iw = static_cast<int>(w), ih = static_cast<int>(h);
    const RavkPlane *s = src->planes;
    RavkPlane *d = dst->planes;
    switch (stage.step) {
    case Step::Crop:
        return to_i420(src, static_cast<uint32_t>(ctx->crop.left), static_cast<uint32_t>(ctx->crop.top),
                       stage.size.width, stage.size.height, dst);
    case Step::ToI420: return to_i420(src, 0, 0, w, h, dst);
    case Step::Mirror:
        libyuv::MirrorPlane(s[0].data, s[0].stride, d[0].data, d[0].stride, iw, ih);
        libyuv::MirrorPlane(s[1].data, s[1].stride, d[1].data, d[1].stride, cw, ch);
        libyuv::MirrorPlane(s[2].data, s[2].stride, d[2].data, d[2].stride, cw, ch);
        return 0;
    case Step::Scale: {
        if (w > RAVK_SCALE_MAX || h > RAVK_SCALE_MAX) return -1;
        const int ow = static_cast<int>(stage.size.width), oh = static_cast<int>(stage.size.height);
        const int ocw = (ow + 1) / 2, och = (oh + 1) / 2;
        libyuv::ScalePlane(s[0].data, s[0].stride, iw, ih, d[0].data, d[0].stride, ow, oh, libyuv::kFilterBox);
        libyuv::ScalePlane(s[1].data, s[1].stride, cw, ch, d[1].data, d[1].stride, ocw, och, libyuv::kFilterBox);
        libyuv::ScalePlane(s[2].data, s[2].stride, cw, ch, d[2].data, d[2].stride, ocw, och, libyuv::kFilterBox);
        return 0;
    }
    case Step::Rotate:
        return libyuv::I420Rotate(s[0].data, s[0].stride, s[1].data, s[1].stride, s[2].data, s[2].stride, d[0].data,
                                  d[0].stride, d[1].data, d[1].stride, d[2].data, d[2].stride, iw, ih,
                                  static_cast<libyuv::RotationMode>(angle));
    case Step::ToOutput: return from_i420(src, dst, ctx->scratch);
    }
    return -1;
}

RavkFrameBuffer *new_owned(uint64_t bytes, const CoreFrameSize *size)
{
    auto *frame = static_cast<RavkFrameBuffer *>(calloc(1, sizeof(RavkFrameBuffer)));
    if (!frame) return nullptr;
    const uint64_t rounded = (bytes + 4095) & ~uint64_t{4095};
    frame->data = static_cast<uint8_t *>(aligned_alloc(4096, rounded));
    if (!frame->data) {
        free(frame);
        return nullptr;
    }
    memset(frame->data, 0, rounded);
    frame->size = rounded;
    frame->ownership = RAVK_FRAME_OWNED;
    frame->fourcc = RAVK_FOURCC_NONE;
    frame->picture = *size;
    return frame;
}

RavkFrameBuffer *new_external(const RavkIoVec *io, const CoreFrameSize *size)
{
    auto *frame = static_cast<RavkFrameBuffer *>(calloc(1, sizeof(RavkFrameBuffer)));
    if (!frame) return nullptr;
    frame->data = static_cast<uint8_t *>(io->data);
    frame->size = io->length;
    frame->ownership = RAVK_FRAME_EXTERNAL;
    frame->fourcc = RAVK_FOURCC_NONE;
    frame->picture = *size;
    return frame;
}

bool counts(const RavkIoVec *io) { return io && io->data && io->length; }

bool overlaps(const RavkFrameBuffer *buffer, const RavkFrameBuffer *frame)
{
    if (!buffer->data) return false;
    for (uint32_t i = 0; i < frame->plane_count && i < 4; i++) {
        const uint8_t *p = frame->planes[i].data;
        if (p >= buffer->data && p < buffer->data + buffer->size) return true;
    }
    return false;
}

// When the caller hands in a frame that already lies in one of our
// intermediates (the result of a previous call), that intermediate must not
// be written before it is read.
int adopt_input(RavkFrameBuffer *intermediate, RavkFrameBuffer **input)
{
    if (intermediate != *input && (*input)->planes[0].data != intermediate->data && overlaps(intermediate, *input))
        return -1;
    if (!intermediate->data || (*input)->planes[0].data != intermediate->data) {
        if (intermediate != *input) intermediate->busy = 0;
        return 0;
    }
    if (intermediate == *input) return 0;
    RavkFrameBuffer adopted = *intermediate;
    memcpy(adopted.planes, (*input)->planes, sizeof(adopted.planes));
    adopted.plane_count = (*input)->plane_count;
    adopted.fourcc = (*input)->fourcc;
    adopted.picture = (*input)->picture;
    if (ravk_frame_check(&adopted) != 0) return -1;
    adopted.busy = 1;
    *intermediate = adopted;
    *input = intermediate;
    return 0;
}

}  // namespace

// --- Layouts ---

int ravk_frame_planes(uint32_t fourcc, const CoreFrameSize *size, uint8_t *data, RavkPlane planes[4])
{
    Layout layout;
    if (!size || !planes || !layout_of(fourcc, size, &layout)) return -1;
    memset(planes, 0, 4 * sizeof(RavkPlane));
    uint64_t offset = 0;
    for (uint32_t i = 0; i < layout.count; i++) {
        planes[i].data = data ? data + offset : nullptr;
        planes[i].stride = static_cast<int32_t>(layout.plane[i].row_bytes);
        offset += layout.plane[i].row_bytes * layout.plane[i].rows;
    }
    return 0;
}

uint64_t ravk_frame_size(uint32_t fourcc, const CoreFrameSize *size)
{
    Layout layout;
    return size && layout_of(fourcc, size, &layout) ? layout_bytes(layout) : 0;
}

int ravk_frame_check(const RavkFrameBuffer *frame)
{
    Layout layout;
    if (!frame || !layout_of(frame->fourcc, &frame->picture, &layout)) return -1;
    if (frame->plane_count != layout.count) return -1;
    for (uint32_t i = 0; i < layout.count; i++) {
        const RavkPlane &p = frame->planes[i];
        const PlaneGeometry &g = layout.plane[i];
        if (!p.data || p.stride <= 0 || static_cast<uint64_t>(p.stride) < g.row_bytes) return -1;
        if (frame->data && frame->size) {
            if (p.data < frame->data) return -1;
            const uint64_t start = static_cast<uint64_t>(p.data - frame->data);
            const uint64_t extent = static_cast<uint64_t>(p.stride) * (g.rows - 1) + g.row_bytes;
            if (start > frame->size || extent > frame->size - start) return -1;
        }
    }
    return 0;
}

// --- Descriptors ---

RavkFrameBuffer *ravk_libyuv_buffer_alloc(uint32_t fourcc, const CoreFrameSize *size)
{
    auto *frame = static_cast<RavkFrameBuffer *>(calloc(1, sizeof(RavkFrameBuffer)));
    if (!frame) return nullptr;
    frame->fourcc = fourcc;
    if (size) frame->picture = *size;
    frame->busy = 1;
    frame->ownership = RAVK_FRAME_VIEW;
    return frame;
}

void ravk_libyuv_buffer_free(RavkFrameBuffer **frame)
{
    if (!frame || !*frame) return;
    if ((*frame)->ownership == RAVK_FRAME_OWNED) free((*frame)->data);
    free(*frame);
    *frame = nullptr;
}

int ravk_frame_buffer_set_planes(RavkFrameBuffer *frame, uint8_t *data, uint64_t length, uint32_t fourcc,
                                 const CoreFrameSize *size)
{
    RavkPlane planes[4];
    if (!frame || !data || ravk_frame_planes(fourcc, size, data, planes) != 0) return -1;
    Layout layout;
    layout_of(fourcc, size, &layout);
    if (layout_bytes(layout) > length) return -1;
    memcpy(frame->planes, planes, sizeof(planes));
    frame->plane_count = layout.count;
    frame->fourcc = fourcc;
    frame->picture = *size;
    return 0;
}

int ravk_frame_buffer_relayout(RavkFrameBuffer *frame, uint32_t fourcc, const CoreFrameSize *size)
{
    if (!frame || !has_buffer(frame)) return -1;
    return ravk_frame_buffer_set_planes(frame, frame->data, frame->size, fourcc, size);
}

// --- Conversion context ---

void ravk_libyuv_destroy(RavkLibyuvContext **context)
{
    if (!context || !*context) return;
    RavkLibyuvContext *ctx = *context;
    ravk_libyuv_buffer_free(&ctx->ping);
    ravk_libyuv_buffer_free(&ctx->pong);
    ravk_libyuv_buffer_free(&ctx->planning);
    ravk_libyuv_buffer_free(&ctx->scratch);
    free(ctx);
    *context = nullptr;
}

RavkLibyuvContext *ravk_libyuv_create(uint32_t output_fourcc, uint32_t input_fourcc, const RavkCrop *crop,
                                      uint32_t bits_per_pixel, const CoreFrameSize *input_size,
                                      uint64_t input_frame_size, const CoreFrameSize *output_size,
                                      uint64_t output_frame_size, const RavkIoVec *external1,
                                      const RavkIoVec *external2)
{
    if (!input_size || !output_size || !has_to_i420(input_fourcc) || !has_from_i420(output_fourcc)) return nullptr;
    Layout in_layout, out_layout;
    if (!layout_of(input_fourcc, input_size, &in_layout) || !layout_of(output_fourcc, output_size, &out_layout))
        return nullptr;

    RavkCrop c = crop ? *crop : RavkCrop{0, 0, 0, 0};
    CoreFrameSize cropped = *input_size;
    if (crop_on(c)) {
        if (c.left < 0 || c.top < 0 || c.right < 0 || c.bottom < 0) return nullptr;
        const int64_t cw = int64_t{input_size->width} - c.left - c.right;
        const int64_t ch = int64_t{input_size->height} - c.top - c.bottom;
        if (cw <= 0 || ch <= 0) return nullptr;
        if (family_of(input_fourcc) == Family::Packed422 && (c.left & 1)) return nullptr;
        cropped = {static_cast<uint32_t>(cw), static_cast<uint32_t>(ch)};
    } else if (c.left == RAVK_CROP_OFF || c.top == RAVK_CROP_OFF || c.right == RAVK_CROP_OFF ||
               c.bottom == RAVK_CROP_OFF) {
        c = {0, 0, 0, 0};
    }

    auto *ctx = static_cast<RavkLibyuvContext *>(calloc(1, sizeof(RavkLibyuvContext)));
    if (!ctx) return nullptr;
    ctx->output_fourcc = output_fourcc;
    ctx->input_fourcc = input_fourcc;
    ctx->crop = c;
    ctx->cropped = cropped;
    ctx->input = *input_size;
    ctx->output = *output_size;
    ctx->input_frame_size = input_frame_size;
    ctx->output_frame_size = output_frame_size;

    const uint64_t in_area = uint64_t{input_size->width} * input_size->height;
    const uint64_t out_area = uint64_t{output_size->width} * output_size->height;
    const CoreFrameSize working = out_area < in_area ? *input_size : *output_size;

    if (counts(external1) && counts(external2)) {
        ctx->ping = new_external(external1, &working);
        ctx->pong = new_external(external2, &working);
        ctx->external = 1;
    } else {
        // Every intermediate is I420 of the cropped, the scaled or the output
        // size, none larger than the working size; the frame sizes cover the
        // caller laying its input or output over an intermediate.
        uint64_t bytes = uint64_t{working.width} * working.height * bits_per_pixel / 8;
        for (uint64_t need : {ravk_frame_size(RAVK_FOURCC_I420, &working), input_frame_size, output_frame_size,
                              layout_bytes(in_layout), layout_bytes(out_layout)})
            if (need > bytes) bytes = need;
        ctx->ping = new_owned(bytes, &working);
        ctx->pong = new_owned(bytes, &working);
    }
    ctx->planning = ravk_libyuv_buffer_alloc(RAVK_FOURCC_NONE, &working);
    bool ok = ctx->ping && ctx->pong && ctx->planning;
    if (ok && output_fourcc == core_fourcc("NV24")) {
        ctx->scratch = new_owned(ravk_frame_size(core_fourcc("NV12"), output_size), output_size);
        ok = ctx->scratch != nullptr;
    }
    if (ok) {
        ctx->ping->busy = 0;
        ctx->pong->busy = 0;
        ctx->planning->busy = 0;
        return ctx;
    }
    ravk_libyuv_destroy(&ctx);
    return nullptr;
}

int ravk_libyuv_processing(RavkLibyuvContext *context, uint32_t angle, int mirror, RavkFrameBuffer *input,
                           RavkFrameBuffer *output)
{
    if (!context) return -1;
    RavkLibyuvContext *ctx = context;
    if (input && output) {
        if (adopt_input(ctx->ping, &input) != 0 || adopt_input(ctx->pong, &input) != 0) return -1;
    }

    ctx->executed = 0;
    ctx->planned = 0;
    Plan plan;
    if (!make_plan(ctx, angle, mirror, &plan)) return -1;
    ctx->planned = plan.count;
    if (plan.count) {
        const Stage &last = plan.stage[plan.count - 1];
        ctx->planning->fourcc = last.fourcc;
        ctx->planning->picture = last.size;
    }
    if (plan.count == 0 || !input || !output) return 0;

    if (input->fourcc != ctx->input_fourcc || input->picture.width != ctx->input.width ||
        input->picture.height != ctx->input.height || ravk_frame_check(input) != 0)
        return -1;
    if (output->fourcc != ctx->output_fourcc || output->picture.width != ctx->output.width ||
        output->picture.height != ctx->output.height || ravk_frame_check(output) != 0)
        return -1;

    RavkFrameBuffer *current = input;
    int result = 0;
    for (uint32_t i = 0; i < plan.count && result == 0; i++) {
        const Stage &stage = plan.stage[i];
        RavkFrameBuffer *target = output;
        if (i + 1 < plan.count) {
            target = nullptr;
            for (RavkFrameBuffer *b : {ctx->ping, ctx->pong})
                if (!b->busy && b->data) {
                    target = b;
                    break;
                }
            if (!target || ravk_frame_buffer_relayout(target, RAVK_FOURCC_I420, &stage.size) != 0) {
                result = -1;
                break;
            }
            target->busy = 1;
        } else if (current != input && overlaps(current, output)) {
            // The caller laid the output over the intermediate holding this
            // step's input: the prediction was not followed.
            result = -1;
            break;
        }
        if (stage.step != Step::Crop && stage.step != Step::ToI420 &&
            !is_i420_frame(current, current->picture.width, current->picture.height)) {
            result = -1;
        } else {
            ctx->executed++;
            result = run_step(ctx, stage, angle, current, target) == 0 ? 0 : -1;
        }
        if (has_buffer(current)) current->busy = 0;
        current = target;
    }
    if (has_buffer(current) && current != output) current->busy = 0;
    ctx->ping->busy = 0;
    ctx->pong->busy = 0;
    return result;
}

RavkFrameBuffer *ravk_libyuv_get_output_buffer(RavkLibyuvContext *context, uint32_t angle, int mirror,
                                               const RavkFrameBuffer *input)
{
    if (!context || !input) return nullptr;
    Plan plan;
    if (!make_plan(context, angle, mirror, &plan)) return nullptr;
    context->planned = plan.count;
    const bool in_ping = context->ping->data && input->planes[0].data == context->ping->data;
    const bool odd = plan.count % 2 == 1;
    return (in_ping ? !odd : odd) ? context->ping : context->pong;
}

uint64_t ravk_libyuv_build_output_buffer_size(const RavkLibyuvContext *context)
{
    if (!context) return 0;
    if (context->output_frame_size) return context->output_frame_size;
    return ravk_frame_size(context->output_fourcc, &context->output);
}

// --- Single-frame conversion ---

namespace {

struct KeptConversion {
    std::mutex lock;
    RavkLibyuvContext *context = nullptr;
    RavkFrameBuffer *input = nullptr;
    RavkFrameBuffer *output = nullptr;
    RavkCrop crop = {};
    uint32_t bits = 0;
    RavkIoVec external[2] = {};
};

KeptConversion &kept()
{
    static KeptConversion k;
    return k;
}

void kept_drop(KeptConversion &k)
{
    ravk_libyuv_buffer_free(&k.input);
    ravk_libyuv_buffer_free(&k.output);
    ravk_libyuv_destroy(&k.context);
}

bool same_size(const CoreFrameSize &a, const CoreFrameSize &b) { return a.width == b.width && a.height == b.height; }

bool same_io(const RavkIoVec &a, const RavkIoVec *b)
{
    const RavkIoVec none{};
    const RavkIoVec &bb = b ? *b : none;
    return a.data == bb.data && a.length == bb.length;
}

}  // namespace

int ravk_frame_convert(uint32_t input_fourcc, uint32_t output_fourcc, uint32_t bits_per_pixel,
                       const RavkCrop *crop, uint32_t rotation_code, const CoreFrameSize *input_size,
                       const CoreFrameSize *output_size, const RavkIoVec *external1,
                       const RavkIoVec *external2, const RavkIoVec *input, RavkIoVec *out)
{
    if (!input_size || !output_size || !input || !input->data || !out) return -1;
    const uint32_t angle = rotation_code == 2 ? 90 : rotation_code == 3 ? 180 : rotation_code == 4 ? 270 : 0;
    const RavkCrop c = crop ? *crop : RavkCrop{0, 0, 0, 0};

    KeptConversion &k = kept();
    std::lock_guard<std::mutex> guard(k.lock);
    RavkLibyuvContext *ctx = k.context;
    // External buffers and bits are part of the key: a context kept over
    // buffers the caller has since released would write into freed memory.
    const bool reuse = ctx && ctx->output_fourcc == output_fourcc && ctx->input_fourcc == input_fourcc &&
                       memcmp(&k.crop, &c, sizeof(c)) == 0 && same_size(ctx->input, *input_size) &&
                       same_size(ctx->output, *output_size) && k.bits == bits_per_pixel &&
                       same_io(k.external[0], external1) && same_io(k.external[1], external2);
    if (!reuse) {
        kept_drop(k);
        k.context = ravk_libyuv_create(output_fourcc, input_fourcc, &c, bits_per_pixel, input_size, 0, output_size, 0,
                                       external1, external2);
        k.input = ravk_libyuv_buffer_alloc(input_fourcc, input_size);
        k.output = ravk_libyuv_buffer_alloc(output_fourcc, output_size);
        if (!k.context || !k.input || !k.output) {
            kept_drop(k);
            return -1;
        }
        k.crop = c;
        k.bits = bits_per_pixel;
        k.external[0] = external1 ? *external1 : RavkIoVec{};
        k.external[1] = external2 ? *external2 : RavkIoVec{};
        ctx = k.context;
    }

    if (ravk_frame_buffer_set_planes(k.input, static_cast<uint8_t *>(input->data), input->length, input_fourcc,
                                     input_size) != 0)
        return -1;
    RavkFrameBuffer *result = ravk_libyuv_get_output_buffer(ctx, angle, 0, k.input);
    const uint64_t size = ravk_libyuv_build_output_buffer_size(ctx);
    if (!result || size == 0 || size > result->size) return -1;
    if (ravk_frame_buffer_set_planes(k.output, result->data, result->size, output_fourcc, output_size) != 0)
        return -1;
    if (ravk_libyuv_processing(ctx, angle, 0, k.input, k.output) != 0) return -1;
    if (ctx->planned == 0) {
        // Same format and size, nothing to do: the result still has to hold
        // the picture, not whatever the intermediate held before.
        if (k.input->planes[0].data != result->data) memmove(result->data, input->data, size);
    }
    out->data = result->data;
    out->length = size;
    return 0;
}

void ravk_frame_convert_reset(void)
{
    KeptConversion &k = kept();
    std::lock_guard<std::mutex> guard(k.lock);
    kept_drop(k);
    k.crop = {};
    k.bits = 0;
    k.external[0] = k.external[1] = {};
}
