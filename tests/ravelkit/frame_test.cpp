// Frame layouts, descriptor checks and the conversion context without
// GStreamer: planning, the intermediate buffers, refusals and the single-frame
// conversion the engine uses.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "ravelkit/frame.h"

namespace {

constexpr uint32_t fc(const char (&s)[5]) { return core_fourcc(s); }

uint32_t fourcc_of(const char *s)
{
    return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) | static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24;
}

struct LayoutCase {
    const char *fourcc;
    uint32_t w, h;
    uint32_t planes;
    uint64_t offset[3];
    int32_t stride[3];
};

// Packed layouts; odd sizes round chroma up, as libyuv and GStreamer do.
TEST(FrameLayout, PlanesByFourcc)
{
    const LayoutCase cases[] = {
        {"I420", 640, 480, 3, {0, 307200, 384000}, {640, 320, 320}},
        {"YV12", 640, 480, 3, {0, 307200, 384000}, {640, 320, 320}},
        {"NV12", 640, 480, 2, {0, 307200, 0}, {640, 640, 0}},
        {"NV21", 640, 480, 2, {0, 307200, 0}, {640, 640, 0}},
        {"I422", 640, 480, 3, {0, 307200, 460800}, {640, 320, 320}},
        {"YV16", 640, 480, 3, {0, 307200, 460800}, {640, 320, 320}},
        {"NV24", 640, 480, 2, {0, 307200, 0}, {640, 1280, 0}},
        {"I444", 640, 480, 3, {0, 307200, 614400}, {640, 640, 640}},
        {"YUY2", 640, 480, 1, {0, 0, 0}, {1280, 0, 0}},
        {"UYVY", 640, 480, 1, {0, 0, 0}, {1280, 0, 0}},
        {"BGRx", 640, 480, 1, {0, 0, 0}, {2560, 0, 0}},
        {"ABGR", 640, 480, 1, {0, 0, 0}, {2560, 0, 0}},
        {"I420", 33, 17, 3, {0, 561, 714}, {33, 17, 17}},
        {"NV12", 33, 17, 2, {0, 561, 0}, {33, 34, 0}},
        {"YUY2", 33, 17, 1, {0, 0, 0}, {68, 0, 0}},
    };
    uint8_t *base = reinterpret_cast<uint8_t *>(0x10000);
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.fourcc) + " " + std::to_string(c.w) + "x" + std::to_string(c.h));
        RavkPlane planes[4];
        CoreFrameSize size{c.w, c.h};
        ASSERT_EQ(ravk_frame_planes(fourcc_of(c.fourcc), &size, base, planes),
                  0);
        for (uint32_t i = 0; i < 4; i++) {
            if (i < c.planes) {
                EXPECT_EQ(planes[i].data, base + c.offset[i]) << "plane " << i;
                EXPECT_EQ(planes[i].stride, c.stride[i]) << "plane " << i;
            } else {
                EXPECT_EQ(planes[i].data, nullptr);
            }
        }
        if (c.w % 2 == 0 && c.h % 2 == 0) {
            EXPECT_EQ(ravk_frame_size(fourcc_of(c.fourcc), &size),
                      core_frame_size(fourcc_of(c.fourcc), &size));
        }
    }
}

TEST(FrameLayout, RefusesWhatHasNoLayout)
{
    RavkPlane planes[4];
    uint8_t byte = 0;
    CoreFrameSize ok{64, 64}, zero{0, 64}, huge{RAVK_FRAME_MAX_DIM + 1, 2};
    EXPECT_EQ(ravk_frame_planes(fc("MJPG"), &ok, &byte, planes), -1);
    EXPECT_EQ(ravk_frame_planes(fc("NV16"), &ok, &byte, planes), -1);
    EXPECT_EQ(ravk_frame_planes(fc("I420"), &zero, &byte, planes), -1);
    EXPECT_EQ(ravk_frame_planes(fc("I420"), &huge, &byte, planes), -1);
    EXPECT_EQ(ravk_frame_size(fc("MJPG"), &ok), 0u);
}

// A descriptor laid over a buffer that is too short, or planes whose stride
// cannot hold a row, never reach libyuv.
TEST(FrameLayout, ChecksBuffersAndStrides)
{
    std::vector<uint8_t> mem(640 * 480 * 3 / 2);
    CoreFrameSize size{640, 480};
    RavkFrameBuffer *view = ravk_libyuv_buffer_alloc(fc("I420"), &size);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(ravk_frame_buffer_set_planes(view, mem.data(), mem.size() - 1, fc("I420"), &size), -1);
    EXPECT_EQ(ravk_frame_buffer_set_planes(view, mem.data(), mem.size(), fc("I420"), &size), 0);
    EXPECT_EQ(ravk_frame_check(view), 0);
    view->planes[1].stride = 319;
    EXPECT_EQ(ravk_frame_check(view), -1);
    view->planes[1].stride = 320;
    view->planes[2].data = nullptr;
    EXPECT_EQ(ravk_frame_check(view), -1);
    EXPECT_EQ(ravk_frame_buffer_relayout(view, fc("I420"), &size), -1) << "a view has no buffer of its own";
    ravk_libyuv_buffer_free(&view);
    EXPECT_EQ(view, nullptr);
}

// --- Context ---

struct Ctx {
    RavkLibyuvContext *ctx = nullptr;
    ~Ctx() { ravk_libyuv_destroy(&ctx); }
};

RavkLibyuvContext *create(uint32_t out, uint32_t in, RavkCrop crop, CoreFrameSize in_size, CoreFrameSize out_size,
                          const RavkIoVec *e1 = nullptr, const RavkIoVec *e2 = nullptr)
{
    return ravk_libyuv_create(out, in, &crop, 32, &in_size, 0, &out_size, 0, e1, e2);
}

TEST(LibyuvContext, RefusesSetupsItCannotRun)
{
    struct Case {
        const char *why;
        uint32_t out, in;
        RavkCrop crop;
        CoreFrameSize in_size, out_size;
    } cases[] = {
        {"zero input", fc("I420"), fc("I420"), {}, {0, 480}, {640, 480}},
        {"zero output", fc("I420"), fc("I420"), {}, {640, 480}, {640, 0}},
        {"negative crop", fc("I420"), fc("I420"), {-2, 0, 0, 0}, {640, 480}, {640, 480}},
        {"crop eats the width", fc("I420"), fc("I420"), {320, 0, 320, 0}, {640, 480}, {640, 480}},
        {"crop beyond the height", fc("I420"), fc("I420"), {0, 400, 0, 2000}, {640, 480}, {640, 480}},
        {"odd left edge of packed 4:2:2", fc("I420"), fc("YUY2"), {3, 0, 0, 0}, {640, 480}, {640, 480}},
        {"input without conversion", fc("I420"), fc("NV16"), {}, {640, 480}, {640, 480}},
        {"output without conversion", fc("NV42"), fc("I420"), {}, {640, 480}, {640, 480}},
        {"oversized", fc("I420"), fc("I420"), {}, {RAVK_FRAME_MAX_DIM + 2, 2}, {640, 480}},
    };
    for (const auto &c : cases) {
        Ctx k;
        k.ctx = create(c.out, c.in, c.crop, c.in_size, c.out_size);
        EXPECT_EQ(k.ctx, nullptr) << c.why;
    }
}

struct PlanCase {
    const char *why;
    uint32_t out, in;
    RavkCrop crop;
    CoreFrameSize in_size, out_size;
    uint32_t angle;
    int mirror;
    uint32_t steps;
};

TEST(LibyuvContext, PlansStepsAndPredictsTheResultBuffer)
{
    const PlanCase cases[] = {
        {"I420 to I420 as it is", fc("I420"), fc("I420"), {}, {640, 480}, {640, 480}, 0, 0, 0},
        {"NV12 to BGRA turned", fc("BGRA"), fc("NV12"), {}, {1280, 720}, {720, 1280}, 90, 0, 3},
        {"crop switched off", fc("I420"), fc("I420"), {8, 0, RAVK_CROP_OFF, 0}, {640, 480}, {640, 480}, 0, 0, 0},
        {"crop alone", fc("I420"), fc("I420"), {8, 0, 0, 0}, {640, 480}, {632, 480}, 0, 0, 1},
        {"every step", fc("NV24"), fc("YUY2"), {2, 2, 2, 2}, {640, 480}, {100, 200}, 270, 1, 5},
        {"mirror and scale", fc("I420"), fc("I420"), {}, {640, 480}, {320, 240}, 0, 1, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        Ctx k;
        k.ctx = create(c.out, c.in, c.crop, c.in_size, c.out_size);
        ASSERT_NE(k.ctx, nullptr);
        RavkFrameBuffer *in = ravk_libyuv_buffer_alloc(c.in, &c.in_size);
        uint8_t dummy = 0;
        in->planes[0].data = &dummy;
        EXPECT_EQ(ravk_libyuv_processing(k.ctx, c.angle, c.mirror, in, nullptr), 0);
        EXPECT_EQ(k.ctx->planned, c.steps);
        RavkFrameBuffer *result = ravk_libyuv_get_output_buffer(k.ctx, c.angle, c.mirror, in);
        EXPECT_EQ(result, c.steps % 2 ? k.ctx->ping : k.ctx->pong);
        // An input that is the previous result in ping moves the result over.
        in->planes[0].data = k.ctx->ping->data;
        result = ravk_libyuv_get_output_buffer(k.ctx, c.angle, c.mirror, in);
        EXPECT_EQ(result, c.steps % 2 ? k.ctx->pong : k.ctx->ping);
        EXPECT_EQ(ravk_libyuv_get_output_buffer(k.ctx, 45, 0, in), nullptr);
        ravk_libyuv_buffer_free(&in);
    }
}

// A packed I420 frame with a pattern on every plane.
std::vector<uint8_t> pattern_i420(uint32_t w, uint32_t h, uint8_t seed = 0)
{
    CoreFrameSize size{w, h};
    std::vector<uint8_t> mem(ravk_frame_size(fc("I420"), &size));
    for (size_t i = 0; i < mem.size(); i++) mem[i] = static_cast<uint8_t>(i * 7 + i / 13 + seed);
    return mem;
}

struct View {
    RavkFrameBuffer *fb;
    View(uint32_t fourcc, CoreFrameSize size, uint8_t *data, uint64_t length)
    {
        fb = ravk_libyuv_buffer_alloc(fourcc, &size);
        EXPECT_EQ(ravk_frame_buffer_set_planes(fb, data, length, fourcc, &size), 0);
    }
    ~View() { ravk_libyuv_buffer_free(&fb); }
};

// GStreamer pads rows (I420 at 1366 wide has strides 1368 and 684); the crop
// must step each plane by its own stride and never read the padding.
TEST(LibyuvContext, CropsPaddedPlanesByTheirOwnStrides)
{
    const uint32_t w = 1366, h = 768, ys = 1368, cs = 684;
    std::vector<uint8_t> mem(ys * h + 2 * cs * (h / 2), 0xEE);  // padding reads as 0xEE
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++) mem[y * ys + x] = static_cast<uint8_t>((x + 3 * y) % 200);
    for (uint32_t p = 0; p < 2; p++)
        for (uint32_t y = 0; y < h / 2; y++)
            for (uint32_t x = 0; x < w / 2; x++)
                mem[ys * h + p * cs * (h / 2) + y * cs + x] = static_cast<uint8_t>((x + y + 50 * p) % 200);

    const RavkCrop crop{4, 2, 6, 8};
    const CoreFrameSize in_size{w, h}, out_size{w - 10, h - 10};
    Ctx k;
    k.ctx = create(fc("I420"), fc("I420"), crop, in_size, out_size);
    ASSERT_NE(k.ctx, nullptr);
    RavkFrameBuffer *in = ravk_libyuv_buffer_alloc(fc("I420"), &in_size);
    in->plane_count = 3;
    in->planes[0] = {mem.data(), static_cast<int32_t>(ys)};
    in->planes[1] = {mem.data() + ys * h, static_cast<int32_t>(cs)};
    in->planes[2] = {mem.data() + ys * h + cs * (h / 2), static_cast<int32_t>(cs)};
    std::vector<uint8_t> out(ravk_frame_size(fc("I420"), &out_size));
    View ov(fc("I420"), out_size, out.data(), out.size());
    ASSERT_EQ(ravk_libyuv_processing(k.ctx, 0, 0, in, ov.fb), 0);
    EXPECT_EQ(k.ctx->executed, 1u);
    for (uint32_t y = 0; y < out_size.height; y++)
        for (uint32_t x = 0; x < out_size.width; x++)
            ASSERT_EQ(out[y * out_size.width + x], (x + 4 + 3 * (y + 2)) % 200) << x << "," << y;
    const uint32_t cw = out_size.width / 2;
    for (uint32_t p = 0; p < 2; p++)
        for (uint32_t y = 0; y < out_size.height / 2; y++)
            for (uint32_t x = 0; x < cw; x++)
                ASSERT_EQ(out[out_size.width * out_size.height + p * cw * (out_size.height / 2) + y * cw + x],
                          (x + 2 + y + 1 + 50 * p) % 200);
    ravk_libyuv_buffer_free(&in);
}

TEST(LibyuvContext, RefusesFramesThatDoNotMatchTheSetup)
{
    const CoreFrameSize size{64, 32}, other{32, 32};
    Ctx k;
    k.ctx = create(fc("NV12"), fc("I420"), {}, size, size);
    ASSERT_NE(k.ctx, nullptr);
    auto src = pattern_i420(64, 32);
    std::vector<uint8_t> dst(64 * 32 * 2);
    View in(fc("I420"), size, src.data(), src.size());
    View small_in(fc("I420"), other, src.data(), src.size());
    View out(fc("NV12"), size, dst.data(), dst.size());
    View wrong_out(fc("I420"), size, dst.data(), dst.size());
    EXPECT_EQ(ravk_libyuv_processing(k.ctx, 0, 0, small_in.fb, out.fb), -1);
    EXPECT_EQ(ravk_libyuv_processing(k.ctx, 0, 0, in.fb, wrong_out.fb), -1);
    EXPECT_EQ(ravk_libyuv_processing(k.ctx, 33, 0, in.fb, out.fb), -1);
    out.fb->planes[1].stride = 10;
    EXPECT_EQ(ravk_libyuv_processing(k.ctx, 0, 0, in.fb, out.fb), -1);
}

TEST(LibyuvContext, ScaleRefusesInputsBeyondItsLimit)
{
    const CoreFrameSize in_size{RAVK_SCALE_MAX + 2, 2}, out_size{64, 2};
    Ctx k;
    k.ctx = create(fc("I420"), fc("I420"), {}, in_size, out_size);
    ASSERT_NE(k.ctx, nullptr);
    std::vector<uint8_t> src(ravk_frame_size(fc("I420"), &in_size)), dst(ravk_frame_size(fc("I420"), &out_size));
    View in(fc("I420"), in_size, src.data(), src.size());
    View out(fc("I420"), out_size, dst.data(), dst.size());
    EXPECT_EQ(ravk_libyuv_processing(k.ctx, 0, 0, in.fb, out.fb), -1);
}

// --- Single-frame conversion ---

class FrameConvert : public ::testing::Test {
protected:
    void TearDown() override { ravk_frame_convert_reset(); }
};

int convert(uint32_t in_fc, uint32_t out_fc, CoreFrameSize in_size, CoreFrameSize out_size, std::vector<uint8_t> &src,
            RavkIoVec *out, uint32_t rotation = 0, const RavkIoVec *e1 = nullptr, const RavkIoVec *e2 = nullptr)
{
    RavkIoVec input{src.size(), src.data()};
    RavkCrop crop{};
    return ravk_frame_convert(in_fc, out_fc, 32, &crop, rotation, &in_size, &out_size, e1, e2, &input, out);
}

TEST_F(FrameConvert, YV12ToI420SwapsTheChromaPlanes)
{
    auto src = pattern_i420(16, 8);
    RavkIoVec out{};
    ASSERT_EQ(convert(fc("YV12"), fc("I420"), {16, 8}, {16, 8}, src, &out), 0);
    ASSERT_EQ(out.length, src.size());
    const uint8_t *r = static_cast<uint8_t *>(out.data);
    EXPECT_EQ(memcmp(r, src.data(), 128), 0);
    EXPECT_EQ(memcmp(r + 128, src.data() + 160, 32), 0) << "U comes from YV12's second chroma plane";
    EXPECT_EQ(memcmp(r + 160, src.data() + 128, 32), 0);
}

// With nothing to do the result must still be the picture, not whatever the
// intermediate buffer held.
TEST_F(FrameConvert, NothingToDoStillReturnsThePicture)
{
    auto src = pattern_i420(16, 8, 3);
    RavkIoVec out{};
    ASSERT_EQ(convert(fc("I420"), fc("I420"), {16, 8}, {16, 8}, src, &out), 0);
    ASSERT_EQ(out.length, src.size());
    EXPECT_EQ(memcmp(out.data, src.data(), src.size()), 0);
}

TEST_F(FrameConvert, ReusesItsBuffersAndRefusesShortInput)
{
    auto src = pattern_i420(64, 32);
    RavkIoVec first{}, second{};
    ASSERT_EQ(convert(fc("I420"), fc("BGRA"), {64, 32}, {32, 64}, src, &first, 2), 0);
    ASSERT_EQ(convert(fc("I420"), fc("BGRA"), {64, 32}, {32, 64}, src, &second, 2), 0);
    EXPECT_EQ(first.data, second.data) << "no allocation per frame";
    EXPECT_EQ(first.length, 32u * 64u * 4u);
    src.resize(src.size() - 1);
    EXPECT_EQ(convert(fc("I420"), fc("BGRA"), {64, 32}, {32, 64}, src, &second, 2), -1);
}

// NV24 goes through an NV12 stage. In external mode the result lies over an
// external buffer, which must not double as that stage.
TEST_F(FrameConvert, Nv24IntoExternalBuffersMatchesInternalMode)
{
    auto src = pattern_i420(64, 32);
    RavkIoVec internal{};
    ASSERT_EQ(convert(fc("I420"), fc("NV24"), {64, 32}, {64, 32}, src, &internal, 2), 0);
    std::vector<uint8_t> expected(static_cast<uint8_t *>(internal.data),
                                  static_cast<uint8_t *>(internal.data) + internal.length);

    std::vector<uint8_t> a(8192), b(8192);
    RavkIoVec e1{a.size(), a.data()}, e2{b.size(), b.data()};
    RavkIoVec external{};
    ASSERT_EQ(convert(fc("I420"), fc("NV24"), {64, 32}, {64, 32}, src, &external, 2, &e1, &e2), 0);
    EXPECT_TRUE(external.data == a.data() || external.data == b.data());
    ASSERT_EQ(external.length, expected.size());
    EXPECT_EQ(memcmp(external.data, expected.data(), expected.size()), 0);
}

// A context kept over external buffers the caller has since released would
// write into freed memory (AddressSanitizer reports it); too small buffers
// fail instead of overflowing.
TEST_F(FrameConvert, NewExternalBuffersRebuildTheContext)
{
    auto src = pattern_i420(64, 32);
    RavkIoVec out{};
    {
        std::vector<uint8_t> a(8192), b(8192);
        RavkIoVec e1{a.size(), a.data()}, e2{b.size(), b.data()};
        ASSERT_EQ(convert(fc("I420"), fc("NV12"), {64, 32}, {32, 16}, src, &out, 0, &e1, &e2), 0);
    }
    std::vector<uint8_t> c(8192), d(8192);
    RavkIoVec e3{c.size(), c.data()}, e4{d.size(), d.data()};
    ASSERT_EQ(convert(fc("I420"), fc("NV12"), {64, 32}, {32, 16}, src, &out, 0, &e3, &e4), 0);
    EXPECT_TRUE(out.data == c.data() || out.data == d.data());

    std::vector<uint8_t> tiny1(64), tiny2(64);
    RavkIoVec t1{tiny1.size(), tiny1.data()}, t2{tiny2.size(), tiny2.data()};
    EXPECT_EQ(convert(fc("I420"), fc("NV12"), {64, 32}, {32, 16}, src, &out, 0, &t1, &t2), -1);
}

// Callers on several threads share the kept context; each call rebuilds it
// here, so an unguarded context is freed under the other thread.
TEST_F(FrameConvert, ConcurrentCallersAreSerialised)
{
    auto run = [](uint32_t out_fc, CoreFrameSize out_size, int *failures) {
        auto src = pattern_i420(64, 32);
        for (int i = 0; i < 200; i++) {
            RavkIoVec out{};
            if (convert(fc("I420"), out_fc, {64, 32}, out_size, src, &out) != 0) (*failures)++;
        }
    };
    int f1 = 0, f2 = 0;
    std::thread t1(run, fc("NV12"), CoreFrameSize{32, 16}, &f1);
    std::thread t2(run, fc("BGRA"), CoreFrameSize{64, 32}, &f2);
    t1.join();
    t2.join();
    EXPECT_EQ(f1 + f2, 0);
}

}  // namespace
