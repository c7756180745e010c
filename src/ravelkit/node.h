// Pipeline nodes and the pipeline graph.
//
// A node (RavkNode) wraps one GStreamer element and records why it exists:
// its role, kind (or codec implementation id), media flags, branch index and
// backends. Its element properties are planned as records in three lists
// (element, source pad, sink pad) and set in one pass when the element
// joins its pipeline, so a pipeline can be planned, merged and tidied before
// any element is touched. A node may own companions its set-up made (the
// caps filter that fixes its output, the parser around a codec, the two
// queues behind a tee); the branch assembly folds them into the chain.
//
// A pipeline is a pipeline node (RAVK_NODE_PIPELINE) plus branches, each an
// ordered chain of top-level nodes from source to sink. The provider and
// consumer pipelines build their chains with the makers here and finish
// them with ravk_branches_finish.
//
// Nodes have no lock: one thread at a time builds, assembles and frees
// them. The data path and control operations (datapath.h) run on other
// threads and touch only the atomic counters and the element.
//
// Constructors return the node, or NULL (the partly made node freed, its
// companions too); graph operations return 0 or -1; caps tests 1, 0 or -1.
#pragma once

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <atomic>
#include <cstdint>

#include "core/codec_desc.h"
#include "core/video.h"
#include "ravelkit/elements.h"
#include "ravelkit/frame.h"
#include "ravelkit/property.h"

struct RavkSample;      // bus.h
struct RavkPushAnchor;  // datapath.h

#define RAVK_NODE_TEXT_SIZE 1024

// Companion positions; 0 is a top-level node.
enum : int32_t {
    RAVK_COMPANION_BEFORE = 1,
    RAVK_COMPANION_AFTER = 2,
};

// Orientation values of nodes and samples.
enum RavkOrientation : uint32_t {
    RAVK_ORIENT_NONE = 0,
    RAVK_ORIENT_0 = 1,
    RAVK_ORIENT_90 = 2,
    RAVK_ORIENT_180 = 3,
    RAVK_ORIENT_270 = 4,
};

// Flow flags of app-source nodes.
enum : uint32_t {
    RAVK_FLOW_NEED_DATA = 1,      // pushes wait until the element asks for data
    RAVK_FLOW_ONE_IN_FLIGHT = 2,  // one pushed buffer at a time
};

// The three property lists of a node.
enum : uint32_t {
    RAVK_PROPS_ELEMENT = 0,
    RAVK_PROPS_SRC_PAD = 1,
    RAVK_PROPS_SINK_PAD = 2,
};

// Pad sides.
enum : int32_t {
    RAVK_SIDE_SINK = 0,
    RAVK_SIDE_SOURCE = 1,
};

struct RavkFraction {
    uint32_t numerator;
    uint32_t denominator;
};

// The stream a codec node serves. profile: H.264 2 baseline, 4 main, 16
// high; coding options: bit 1 CABAC. A width, height or rate term of 0 or
// all bits set is unknown.
struct RavkStreamFormat {
    uint64_t profile;
    uint64_t coding_options;
    union {
        CoreVideoMode video;
        RavkAudioFormat audio;
    };
};
static_assert(sizeof(RavkStreamFormat) == 32);

struct RavkAudioCodecSetup {
    CoreAudioCodecDesc codec;
    RavkStreamFormat format;
};

struct RavkVideoCodecSetup {
    CoreVideoCodecDesc codec;
    RavkStreamFormat format;
};

struct RavkNode;

typedef void (*RavkPadAddedFn)(RavkNode *node, const char *pad_name, void **user);
typedef void (*RavkFormatChangedFn)(RavkNode *node, const int32_t first[2], const int32_t next[4], void **user);
// total = the sample's size + sizeof(RavkSample).
typedef int32_t (*RavkSampleFn)(RavkNode *node, const RavkSample *sample, uint64_t total, void **user);
typedef int32_t (*RavkCapsFn)(RavkNode *node, const uint32_t size[2], const uint32_t rate[2], uint32_t fourcc,
                              void **user);

struct RavkNode {
    RavkNode *next;  // links in the companion list that holds the node
    RavkNode *previous;

    // App sources only; written by the pusher and by streaming threads.
    std::atomic<int64_t> in_flight;  // with RAVK_FLOW_ONE_IN_FLIGHT
    std::atomic<int64_t> need_data;  // with RAVK_FLOW_NEED_DATA

    GstPad *dynamic_pad;  // while the pad-added callback runs
    gulong pad_added_handler;
    void *pad_added_user[2];
    RavkPadAddedFn pad_added;
    gulong format_changed_handler;
    void *format_changed_user[2];
    RavkFormatChangedFn format_changed;
    void *sample_user[2];
    RavkSampleFn on_sample;
    void *caps_user[2];
    RavkCapsFn on_caps;

    int32_t position;  // 0, RAVK_COMPANION_BEFORE or RAVK_COMPANION_AFTER
    RavkNode *companions_first;
    RavkNode *companions_last;
    uint32_t orientation;  // app sinks copy it into every sample

    GstElement *element;
    GstElement *bin;  // the pipeline the element joined; NULL before
    RavkNode *owner;

    char factory_name[RAVK_NODE_TEXT_SIZE];
    char element_name[RAVK_NODE_TEXT_SIZE];
    char caps[RAVK_NODE_TEXT_SIZE];  // empty: none

    uint32_t audio_backend;
    int32_t video_backend;
    uint32_t type;  // RavkNodeType
    uint32_t kind;  // RavkNodeKind or implementation id
    int32_t index;  // branch index: 1 main chain, 2 second output of a tee
    RavkMediaFlags media;

    GPtrArray *properties[3];  // RavkProperty records, in the order given

    RavkAudioCodecSetup audio_setup;  // zero unless given at creation
    RavkVideoCodecSetup video_setup;

    uint32_t flow_flags;
    std::atomic<uint64_t> pushed_count;
    // What pushed buffers hold instead of the node: they may outlive it.
    RavkPushAnchor *push_anchor;

    GstAppSrcCallbacks appsrc_callbacks;
    GstAppSinkCallbacks appsink_callbacks;
};

// One element of a branch chain.
struct RavkChainElement {
    RavkChainElement *next;
    RavkChainElement *previous;
    RavkNode *node;
};

struct RavkChain {
    RavkChainElement *first;
    RavkChainElement *last;
};

// A branch: kind 0 audio, 1 video, 2 multiplexed; kept in a list.
struct RavkBranch {
    RavkBranch *next;
    RavkBranch *previous;
    RavkChain chain;
    uint32_t kind;
};

struct RavkBranchList {
    RavkBranch *first;
    RavkBranch *last;
};

// ---- creation ---------------------------------------------------------------

// owner, caps, device and the set-ups may be NULL; with a device its element
// is used instead of the factory. Type RAVK_NODE_PIPELINE makes a new
// pipeline named by factory_name (element_name is kept in the node only).
RavkNode *ravk_node_new(RavkNode *owner, uint32_t type, uint32_t kind, RavkMediaFlags media, int32_t index,
                        const char *factory_name, const char *element_name, const char *caps, int32_t position,
                        GstDevice *device, const RavkAudioCodecSetup *audio, const RavkVideoCodecSetup *video,
                        uint32_t audio_backend, int32_t video_backend);

// A top-level node of kind 0 with the factory of its type; without an
// element name, the role name.
RavkNode *ravk_node_new_by_type(uint32_t type, RavkMediaFlags media, int32_t index, const char *element_name,
                                const char *caps, uint32_t audio_backend, int32_t video_backend);

struct RavkDeviceNode;
// The capture source of a device node's preferred descriptor, with the
// descriptor's properties in its element list.
RavkNode *ravk_node_new_from_source(RavkDeviceNode *device);

// The dedicated makers. Video makers need video media (bit 1 without bit
// 0), the audio ones audio media (bit 0); anything else cannot be made.
RavkNode *ravk_node_new_crop(RavkMediaFlags media, const char *caps, int32_t video_backend, int32_t index,
                             const RavkCrop *rectangle);
RavkNode *ravk_node_new_scale(RavkMediaFlags media, int32_t video_backend, const CoreFrameSize *size, uint32_t fourcc,
                              int32_t index);
RavkNode *ravk_node_new_raw_parser(RavkMediaFlags media, const char *caps, int32_t index,
                                   const CoreFrameSize *buffer_size, const CoreVideoMode *visible, uint32_t fourcc);
// A rate that is absent or has a term of 0 or all bits set becomes 0/1 (off).
RavkNode *ravk_node_new_live_rate(RavkMediaFlags media, int32_t index, const RavkFraction *minimum,
                                  const RavkFraction *maximum);
RavkNode *ravk_node_new_color_convert(RavkMediaFlags media, const char *caps, const char *name, int32_t video_backend,
                                      int32_t index);
RavkNode *ravk_node_new_audio_convert(RavkMediaFlags media, const char *name, int32_t index);
RavkNode *ravk_node_new_audio_resample(RavkMediaFlags media, const char *name, int32_t index);
// A chain element holding the new node (free it with ravk_chain_element_free).
RavkChainElement *ravk_node_new_padding(RavkMediaFlags media, int32_t index, const CoreFrameSize *size);
RavkNode *ravk_video_sink_node_new(int32_t video_backend);

// Set-up by type (caps companion, callbacks, presets); the constructors
// run it.
int ravk_node_setup(RavkNode *node, RavkMediaFlags media);

// Takes the record: a record of the same name in that list is replaced.
// -1 (the record not taken) for a missing node or a list outside 0..2.
int ravk_node_add_property(RavkNode *node, uint32_t list, RavkProperty *record);
// The record named `name` of a list, or NULL.
const RavkProperty *ravk_node_find_property(const RavkNode *node, uint32_t list, const char *name);

// Sets one record on an element or pad: 0, or -1 when the object lacks the
// property (GStreamer versions differ), the property is not writable, the
// record's type is not one a record applies, or the value does not fit the
// property; skips are logged, never warned by GLib. Integer records set
// enumerations and flags.
int ravk_object_apply_property(GObject *object, const RavkProperty *record);

// Frees the node, its records and companions, releases its request pads and
// takes its element out of its bin; clears *node. NULL is ignored.
void ravk_node_free(RavkNode **node);

// ---- graph ------------------------------------------------------------------

// Adds the element to the pipeline bin and applies the property lists.
int ravk_pipeline_add_node(RavkNode *pipeline, RavkNode *node);
int ravk_node_link(RavkNode *upstream, RavkNode *downstream);
// A new top-level node uniting two (see ravk_chain_merge); NULL on failure.
RavkNode *ravk_node_merge(RavkNode *first, RavkNode *second);
// The upload or download between two video nodes whose memories differ, or
// NULL (also when none is needed).
RavkNode *ravk_node_new_memory_transfer(RavkNode *upstream, RavkNode *downstream);

// ---- caps tests -------------------------------------------------------------

int ravk_node_caps_is_any(RavkNode *node, int32_t side);
// features: a caps-features text such as "memory:GLMemory", or NULL.
int ravk_node_can_link(RavkNode *upstream, RavkNode *downstream, const char *features);
int ravk_node_accepts_caps(RavkNode *node, int32_t side, const char *caps, uint32_t fourcc);

// ---- pads -------------------------------------------------------------------

// The static pad of that side, else the first existing one, else a new
// request pad; a reference for the caller, or NULL.
GstPad *ravk_node_get_pad(RavkNode *node, int32_t side);
bool ravk_pad_is_request(GstPad *pad);
// Releases every request pad the iterator yields from the node's element;
// frees the iterator.
void ravk_node_release_request_pads(RavkNode *node, GstIterator *pads);

// ---- chains and branches ----------------------------------------------------

// Each returns the new element, or NULL when memory runs out.
RavkChainElement *ravk_chain_append(RavkChain *chain, RavkNode *node);
RavkChainElement *ravk_chain_insert_before(RavkChain *chain, RavkChainElement *before, RavkNode *node);
RavkChainElement *ravk_chain_insert_after(RavkChain *chain, RavkChainElement *after, RavkNode *node);
// Unlinks the element; frees it but not its node.
void ravk_chain_unlink(RavkChain *chain, RavkChainElement *element);
// Frees an element that is in no chain, with its node.
void ravk_chain_element_free(RavkChainElement **element);
// Frees every element and node, the last first.
void ravk_chain_free(RavkChain *chain);

// Told when the assembly replaces a node by a merge (replacement) or drops
// it (NULL), so owners keep no stale pointer; the old node is freed after
// the call.
typedef void (*RavkNodeReplacedFn)(RavkNode *old_node, RavkNode *replacement, void *user);

// The assembly steps on one chain, exposed for tests: merge neighbours,
// fold companions in, drop download/upload pairs and insert memory
// transfers, add every node to the pipeline.
int ravk_chain_merge(RavkChain *chain, RavkNodeReplacedFn replaced, void *user);
int ravk_chain_place_companions(RavkChain *chain);
int ravk_chain_tidy(RavkChain *chain, RavkNodeReplacedFn replaced, void *user);
int ravk_chain_add_to_pipeline(RavkNode *pipeline, RavkChain *chain);
// Links index 1 from the first node, then index 2 from the last tee.
int ravk_chain_link(RavkChain *chain);

// Assembles the first branch of each kind (0, 1, 2 in that order), then
// links every assembled branch. replaced may be NULL.
int ravk_branches_finish(RavkNode *pipeline, RavkBranchList *branches, RavkNodeReplacedFn replaced, void *user);

// A new empty branch appended to the list, or NULL.
RavkBranch *ravk_branch_append(RavkBranchList *branches, uint32_t kind);
// Frees every branch with its chain and nodes.
void ravk_branches_free(RavkBranchList *branches);
