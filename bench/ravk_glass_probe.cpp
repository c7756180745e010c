// Glass-to-glass probe: `paint DISPLAY` draws the monotonic clock (ms, low
// 24 bits) as a bar code of 24 black or white bars in the top-left corner
// of DISPLAY, redrawn every 5 ms; `probe DISPLAY SECONDS` reads that corner
// of DISPLAY back every 2 ms and, each time a new code appears, takes the
// time since it was painted. It prints the count and p50/p95 in ms. Painter
// and prober share the machine's monotonic clock.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <vector>

namespace
{

constexpr int kBits = 24, kBarWidth = 24, kBarHeight = 64;
constexpr uint32_t kMask = (1u << kBits) - 1;

uint32_t now_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint32_t(uint64_t(t.tv_sec) * 1000 + uint64_t(t.tv_nsec) / 1000000);
}

int paint(const char *name)
{
    Display *d = XOpenDisplay(name);
    if (d == nullptr) return 1;
    XSetWindowAttributes a = {};
    a.override_redirect = True;
    Window w = XCreateWindow(d, DefaultRootWindow(d), 0, 0, kBits * kBarWidth, kBarHeight, 0, CopyFromParent,
                             InputOutput, CopyFromParent, CWOverrideRedirect, &a);
    XMapRaised(d, w);
    GC gc = XCreateGC(d, w, 0, nullptr);
    const unsigned long black = BlackPixel(d, DefaultScreen(d)), white = WhitePixel(d, DefaultScreen(d));
    for (;;) {
        const uint32_t code = now_ms() & kMask;
        for (int i = 0; i < kBits; ++i) {
            XSetForeground(d, gc, (code >> (kBits - 1 - i)) & 1 ? white : black);
            XFillRectangle(d, w, gc, i * kBarWidth, 0, kBarWidth, kBarHeight);
        }
        XSync(d, False);
        usleep(5000);
    }
}

int probe(const char *name, int seconds)
{
    Display *d = XOpenDisplay(name);
    if (d == nullptr) return 1;
    const Window root = DefaultRootWindow(d);
    std::vector<uint32_t> latencies;
    uint32_t last = UINT32_MAX;
    const uint32_t end = now_ms() + uint32_t(seconds) * 1000;
    while (int32_t(end - now_ms()) > 0) {
        XImage *image = XGetImage(d, root, 0, 0, kBits * kBarWidth, kBarHeight, AllPlanes, ZPixmap);
        if (image != nullptr) {
            uint32_t code = 0;
            for (int i = 0; i < kBits; ++i) {
                const unsigned long px = XGetPixel(image, i * kBarWidth + kBarWidth / 2, kBarHeight / 2);
                const unsigned luma = ((px >> 16 & 0xFF) + (px >> 8 & 0xFF) + (px & 0xFF)) / 3;
                code = code << 1 | (luma > 127 ? 1u : 0u);
            }
            XDestroyImage(image);
            const uint32_t latency = (now_ms() - code) & kMask;
            // A code is counted once, and only when it decodes to a
            // plausible age (a picture caught between two bar codes does not).
            if (code != last && latency < 5000) latencies.push_back(latency);
            last = code;
        }
        usleep(2000);
    }
    if (latencies.empty()) {
        std::printf("codes 0\n");
        return 1;
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("codes %zu p50 %u ms p95 %u ms\n", latencies.size(), latencies[latencies.size() / 2],
                latencies[latencies.size() * 95 / 100]);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "paint") == 0) return paint(argv[2]);
    if (argc >= 4 && std::strcmp(argv[1], "probe") == 0) return probe(argv[2], std::atoi(argv[3]));
    std::fprintf(stderr, "usage: ravk_glass_probe paint DISPLAY | probe DISPLAY SECONDS\n");
    return 2;
}
