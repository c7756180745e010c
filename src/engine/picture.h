// Picture controls of the video being played: brightness, contrast,
// saturation and hue, the scale factor, whether the aspect ratio is kept,
// where in the window the picture is drawn, and a redraw after the window
// was uncovered.
//
// Every operation acts on the display controller's video node
// ("profile.video.slot", else its first node). The colour controls and the
// scale act on the node's first consumer only, through its pipeline's
// colour-balance element (or a sink that balances itself) and its scaling
// element; the aspect, window and redraw operations on every video
// consumer whose sink can take them. Colour values travel on fixed scales
// (0..100, hue -50..50) whatever range the element has.
//
// Threads: the command topic's consumer and control-service callers; nodes
// and consumers are used under store reader references and pipelines under
// handle references, so a stop task running meanwhile frees nothing in use.
// The requests are records of outside callers: each operation takes the
// record's length and refuses one that is too short or holds a value that
// cannot be applied (CORE_ERR_INVALID, -91). Other results as each says.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/result.h"
#include "engine/display.h"
#include "ravelkit/datapath.h"

// Colour-balance request and answer: the caller's scale and value in, the
// answer on the fixed scale out. The first word is neither read nor written.
struct EngineColorBalanceRequest {
    uint64_t reserved;
    RavkColorBalanceValue value;  // flags: RAVK_COLOR_BALANCE_UNSET or 1 (set)
};
static_assert(sizeof(EngineColorBalanceRequest) == 40 && offsetof(EngineColorBalanceRequest, value) == 8,
              "colour-balance request travels as 40 raw bytes");

// Scale request: the picture's size relative to the render area.
struct EngineScaleRequest {
    double scaleX;
    double scaleY;
};
static_assert(sizeof(EngineScaleRequest) == 16, "scale request travels as 16 raw bytes");

// Aspect request; a non-zero `force` keeps the aspect ratio.
struct EngineAspectRequest {
    uint32_t reserved;
    uint32_t force;
};
static_assert(sizeof(EngineAspectRequest) == 8 && offsetof(EngineAspectRequest, force) == 4,
              "aspect request travels as 8 raw bytes");

// The answer of a channel the element has: flags 1 and the value on the
// fixed scale; all four fields RAVK_COLOR_BALANCE_UNSET when it has no such
// channel. CORE_OK; CORE_ERR when there is no video node, no first consumer
// or its pipeline has no colour balance; CORE_ERR_INVALID for an answer
// buffer shorter than the record.
CoreResult engine_display_get_brightness(EngineDisplay *display, void *answer, uint64_t length);
CoreResult engine_display_get_contrast(EngineDisplay *display, void *answer, uint64_t length);
CoreResult engine_display_get_saturation(EngineDisplay *display, void *answer, uint64_t length);
CoreResult engine_display_get_hue(EngineDisplay *display, void *answer, uint64_t length);

// Maps the request's value from its [minimum, maximum] onto the channel,
// clamped. CORE_OK; CORE_ERR when there is no element or no such channel,
// or the request's scale is unset or empty; CORE_ERR_INVALID for a short
// record.
CoreResult engine_display_set_brightness(EngineDisplay *display, const void *request, uint64_t length);
CoreResult engine_display_set_contrast(EngineDisplay *display, const void *request, uint64_t length);
CoreResult engine_display_set_saturation(EngineDisplay *display, const void *request, uint64_t length);
CoreResult engine_display_set_hue(EngineDisplay *display, const void *request, uint64_t length);

// "scale-x" and "scale-y" of the first consumer's scaling element. CORE_OK;
// CORE_ERR when it has none; CORE_ERR_INVALID for a short record or a
// factor the element cannot take.
CoreResult engine_display_set_scale(EngineDisplay *display, const void *request, uint64_t length);

// "force-aspect-ratio" of every video sink of the video node that has it.
// CORE_OK when at least one sink took it; CORE_DONE without a video node;
// CORE_ERR when no sink did; CORE_ERR_INVALID for a short record.
CoreResult engine_display_set_aspect(EngineDisplay *display, const void *request, uint64_t length);

// The render rectangle {x, y, width, height} (RavkRectangle) of every
// overlay sink of the video node. CORE_OK when at least one took it, else
// CORE_DONE; CORE_ERR_INVALID for a short record.
CoreResult engine_display_set_window(EngineDisplay *display, const void *request, uint64_t length);

// Asks every overlay sink of the video node to redraw, twice in a row.
// CORE_OK when at least one did, else CORE_DONE.
CoreResult engine_display_expose(EngineDisplay *display);
