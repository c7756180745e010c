// Pipeline nodes and graph: property lists, the node edge cases, branch
// assembly (merge, companions, tidy, add, link), a tee pipeline that plays
// with every pad linked as planned, a demuxer whose dynamic pad links, and
// GStreamer's leaks tracer over a full build and teardown.
#include "ravelkit/node.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/cpu.h"
#include "gst_support.h"
#include "ravelkit/bus.h"
#include "ravelkit/codecs.h"
#include "ravelkit/datapath.h"

namespace
{

constexpr uint32_t V = RAVK_MEDIA_VIDEO;
constexpr uint32_t A = RAVK_MEDIA_AUDIO;
constexpr uint32_t kH264 = V | RAVK_VIDEO_H264 << 16;
constexpr uint32_t kTsH264 = V | RAVK_MEDIA_MUXED | RAVK_VIDEO_H264 << 16 | RAVK_CONTAINER_MPEGTS << 24;

class NodeTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        // Must be set before GStreamer starts; this suite is its own process.
        setenv("GST_TRACERS", "leaks", 1);
        ASSERT_TRUE(ravk_test_gst_setup());
    }
    void TearDown() override { core_cpu_count_override(0); }
};

RavkNode *make(uint32_t type, uint32_t kind, uint32_t media, int32_t index, const char *factory, const char *name,
               const char *caps = nullptr, int32_t video_backend = RAVK_BACKEND_GSTREAMER,
               const RavkVideoCodecSetup *video = nullptr)
{
    return ravk_node_new(nullptr, type, kind, media, index, factory, name, caps, 0, nullptr, nullptr, video,
                         RAVK_AUDIO_BACKEND_GSTREAMER, video_backend);
}

std::vector<std::string> names_of(const RavkChain &chain)
{
    std::vector<std::string> names;
    for (RavkChainElement *e = chain.first; e != nullptr; e = e->next) names.push_back(e->node->element_name);
    return names;
}

std::vector<std::string> companions_of(const RavkNode *node)
{
    std::vector<std::string> names;
    for (RavkNode *c = node->companions_first; c != nullptr; c = c->next) names.push_back(c->element_name);
    return names;
}

std::string uint_value(const RavkProperty *record)
{
    return record != nullptr ? std::to_string(g_value_get_uint(&record->value)) : "<none>";
}

RavkVideoCodecSetup h264_setup(uint64_t mask, uint64_t profile)
{
    RavkVideoCodecSetup setup = {};
    setup.codec.profile_set = mask;
    setup.format.profile = profile;
    return setup;
}

TEST_F(NodeTest, PropertyListKeepsOneRecordPerNameLastWins)
{
    RavkNode *node = make(RAVK_NODE_QUEUE, 0, V, 1, "queue2", "q");
    ASSERT_NE(node, nullptr);
    const guint before = node->properties[RAVK_PROPS_ELEMENT]->len;
    ASSERT_EQ(ravk_node_add_property(node, RAVK_PROPS_ELEMENT, ravk_property_new_uint("max-size-buffers", 7)), 0);
    ASSERT_EQ(ravk_node_add_property(node, RAVK_PROPS_ELEMENT, ravk_property_new_uint("max-size-buffers", 9)), 0);
    EXPECT_EQ(node->properties[RAVK_PROPS_ELEMENT]->len, before);
    EXPECT_EQ(uint_value(ravk_node_find_property(node, RAVK_PROPS_ELEMENT, "max-size-buffers")), "9");

    RavkProperty *refused = ravk_property_new_uint("x", 1);
    EXPECT_EQ(ravk_node_add_property(node, 3, refused), -1);  // not taken
    ravk_property_free(refused);
    ravk_node_free(&node);
    EXPECT_EQ(node, nullptr);
    ravk_node_free(&node);  // a null node is ignored
}

// What each maker or role makes, and which companions its set-up adds.
TEST_F(NodeTest, CreationEdgeCases)
{
    RavkVideoCodecSetup high = h264_setup(0x10, 16);
    struct Case {
        const char *purpose;
        std::function<RavkNode *()> make_node;
        bool made;
        std::vector<std::string> companions;  // in list order
    };
    const Case cases[] = {
        {"a filter with caps gains a caps filter named after it",
         [] { return ravk_node_new_color_convert(V, "video/x-raw", "inter", RAVK_BACKEND_GSTREAMER, 1); },
         true,
         {"video_color_convert/inter/caps"}},
        {"a tee gets two live queues, index i and i + 1",
         [] { return make(RAVK_NODE_TEE, 0, V, 1, "tee", "video_tee"); },
         true,
         {"video_tee/video_live_queue/branch_2", "video_tee/video_live_queue/branch_1"}},
        {"an MPEG-TS demuxer gets its parser",
         [] { return make(RAVK_NODE_DEMUXER, 0, kTsH264, 1, "tsdemux", "demuxer"); },
         true,
         {"demuxer/parser"}},
        {"x264enc: caps filter, parser and the parser's caps filter",
         [&] {
             return make(RAVK_NODE_ENCODER, RAVK_ENC_X264, kH264, 1, "x264enc", "video_encoder", nullptr, 1, &high);
         },
         true,
         {"video_encoder/parser/caps", "video_encoder/parser", "video_encoder/caps"}},
        {"an H.264 encoder id outside the H.264 table",
         [&] { return make(RAVK_NODE_ENCODER, RAVK_ENC_VP8, kH264, 1, "x264enc", "e", nullptr, 1, &high); },
         false,
         {}},
        {"no set-up for the time overlay",
         [] { return ravk_node_new_by_type(RAVK_NODE_TIMESTAMP, V, 1, nullptr, nullptr, 1, 1); },
         false,
         {}},
        {"factory unknown", [] { return make(RAVK_NODE_QUEUE, 0, V, 1, RAVK_UNKNOWN_ELEMENT, "q"); }, false, {}},
        {"an app source with unparsable caps",
         [] { return ravk_node_new_by_type(RAVK_NODE_BINARY_SOURCE, V, 1, nullptr, "not caps,,", 1, 1); },
         false,
         {}},
        {"a video maker given audio media",
         [] { return ravk_node_new_scale(A, 1, nullptr, RAVK_FOURCC_NONE, 1); },
         false,
         {}},
        {"an audio maker given no media", [] { return ravk_node_new_audio_resample(0, nullptr, 1); }, false, {}},
        {"an unlisted filter kind",
         [] { return make(RAVK_NODE_FILTER, 0x8FFF, V, 1, "videoconvert", "f"); },
         false,
         {}},
    };
    for (const Case &c : cases) {
        RavkNode *node = c.make_node();
        EXPECT_EQ(node != nullptr, c.made) << c.purpose;
        if (node == nullptr) continue;
        EXPECT_EQ(companions_of(node), c.companions) << c.purpose;
        ravk_node_free(&node);
    }
}

TEST_F(NodeTest, MakersDescribeTheirElements)
{
    const CoreFrameSize size = {640, 360};
    RavkNode *scale = ravk_node_new_scale(V, RAVK_BACKEND_GSTREAMER, &size, core_fourcc("I420"), 1);
    ASSERT_NE(scale, nullptr);
    EXPECT_STREQ(scale->caps, "video/x-raw, width=640, height=360, format=(string)I420");
    EXPECT_STREQ(scale->factory_name, "videoconvertscale");
    ravk_node_free(&scale);

    const CoreFrameSize buffer = {64, 48};
    const CoreVideoMode visible = {60, 40, 30, 1};
    RavkNode *parser = ravk_node_new_raw_parser(V, nullptr, 1, &buffer, &visible, core_fourcc("I420"));
    ASSERT_NE(parser, nullptr);
    EXPECT_EQ(g_value_get_uint(&ravk_node_find_property(parser, RAVK_PROPS_ELEMENT, "frame-size")->value),
              64u * 48 + 2 * 32 * 24);
    ravk_node_free(&parser);

    const RavkFraction unknown = {0, 0}, fifteen = {15, 1};
    RavkNode *rate = ravk_node_new_live_rate(V, 1, &unknown, &fifteen);
    ASSERT_NE(rate, nullptr);
    const RavkProperty *minimum = ravk_node_find_property(rate, RAVK_PROPS_ELEMENT, "min-framerate");
    EXPECT_EQ(gst_value_get_fraction_numerator(&minimum->value), 0);
    EXPECT_EQ(gst_value_get_fraction_denominator(&minimum->value), 1);
    ravk_node_free(&rate);

    RavkChainElement *padding = ravk_node_new_padding(V, 1, &size);
    ASSERT_NE(padding, nullptr);
    EXPECT_STREQ(padding->node->caps, "video/x-raw, width=640, height=360");
    ravk_chain_element_free(&padding);

    RavkNode *sink = ravk_video_sink_node_new(RAVK_BACKEND_GSTREAMER);
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(sink->kind, RAVK_SINK_AUTOVIDEO);
    ravk_node_free(&sink);
}

// Merge, companions and tidy on chains, by the element names they leave.
TEST_F(NodeTest, AssemblyStepsReshapeTheChain)
{
    RavkVideoCodecSetup high = h264_setup(0x10, 16);
    struct Case {
        const char *purpose;
        std::function<void(RavkChain *)> build;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"two neighbouring queues merge into the first's name",
         [](RavkChain *c) {
             ravk_chain_append(c, make(RAVK_NODE_QUEUE, 0, V, 1, "queue2", "first"));
             ravk_chain_append(c, make(RAVK_NODE_QUEUE, 0, V, 1, "queue2", "second"));
             ravk_chain_append(c, make(RAVK_NODE_QUEUE, 0, V, 1, "queue2", "third"));
         },
         {"first"}},
        {"a filter is followed by its caps filter",
         [](RavkChain *c) {
             ravk_chain_append(c, ravk_node_new_color_convert(V, "video/x-raw", nullptr, 1, 1));
             ravk_chain_append(c, ravk_node_new_by_type(RAVK_NODE_BINARY_SINK, V, 1, nullptr, nullptr, 1, 1));
         },
         {"video_color_convert/conversion", "video_color_convert/conversion/caps", "video_binary_sink"}},
        {"encoder, caps filter, parser, parser caps filter",
         [&](RavkChain *c) {
             ravk_chain_append(c,
                               make(RAVK_NODE_ENCODER, RAVK_ENC_X264, kH264, 1, "x264enc", "enc", nullptr, 1, &high));
         },
         {"enc", "enc/caps", "enc/parser", "enc/parser/caps"}},
        {"a decoder reads parser, decoder",
         [](RavkChain *c) {
             ravk_chain_append(c, make(RAVK_NODE_DECODER, RAVK_DEC_AV_H264, kH264, 1, "avdec_h264", "dec"));
         },
         {"dec/parser", "dec"}},
        {"a tee reads tee, index-i queue, index-i+1 queue",
         [](RavkChain *c) { ravk_chain_append(c, make(RAVK_NODE_TEE, 0, V, 1, "tee", "tee")); },
         {"tee", "tee/video_live_queue/branch_1", "tee/video_live_queue/branch_2"}},
        {"a GL download directly followed by a GL upload disappears",
         [](RavkChain *c) {
             ravk_chain_append(c, make(RAVK_NODE_QUEUE, 0, V, 1, "queue2", "q"));
             ravk_chain_append(c, make(RAVK_NODE_FILTER, RAVK_FILTER_GL_DOWNLOAD, V, 1, "videoconvert", "down"));
             ravk_chain_append(c, make(RAVK_NODE_FILTER, RAVK_FILTER_GL_UPLOAD, V, 1, "identity", "up"));
             ravk_chain_append(c, ravk_node_new_by_type(RAVK_NODE_BINARY_SINK, V, 1, "sink", nullptr, 1, 1));
         },
         {"q", "sink"}},
        {"an upload before a download stays",
         [](RavkChain *c) {
             ravk_chain_append(c, make(RAVK_NODE_FILTER, RAVK_FILTER_GL_UPLOAD, V, 1, "identity", "up"));
             ravk_chain_append(c, make(RAVK_NODE_FILTER, RAVK_FILTER_GL_DOWNLOAD, V, 1, "videoconvert", "down"));
         },
         {"up", "down"}},
    };
    for (const Case &c : cases) {
        RavkChain chain = {};
        c.build(&chain);
        ASSERT_EQ(ravk_chain_merge(&chain, nullptr, nullptr), 0) << c.purpose;
        ASSERT_EQ(ravk_chain_place_companions(&chain), 0) << c.purpose;
        ASSERT_EQ(ravk_chain_tidy(&chain, nullptr, nullptr), 0) << c.purpose;
        EXPECT_EQ(names_of(chain), c.expected) << c.purpose;
        ravk_chain_free(&chain);
    }
    RavkChain empty = {};
    EXPECT_EQ(ravk_chain_merge(&empty, nullptr, nullptr), -1);
}

TEST_F(NodeTest, MergeUnitesCapsAndLetsTheSecondValuesWin)
{
    RavkNode *first =
        make(RAVK_NODE_CAPSFILTER, 0, V, 1, "capsfilter", "a", "video/x-raw, width=(int)640, format=(string)I420");
    RavkNode *second = make(RAVK_NODE_CAPSFILTER, 0, V, 1, "capsfilter", "b", "video/x-raw, width=(int)320");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ravk_node_add_property(first, RAVK_PROPS_ELEMENT, ravk_property_new_uint("x", 1));
    ravk_node_add_property(second, RAVK_PROPS_ELEMENT, ravk_property_new_uint("x", 2));
    RavkNode *merged = ravk_node_merge(first, second);
    ASSERT_NE(merged, nullptr);
    EXPECT_STREQ(merged->caps, "video/x-raw, width=(int)320, format=(string)I420");
    EXPECT_STREQ(merged->element_name, "a");
    EXPECT_EQ(uint_value(ravk_node_find_property(merged, RAVK_PROPS_ELEMENT, "x")), "2");
    ravk_node_free(&merged);

    // A text that does not parse leaves no union, and so no node.
    snprintf(second->caps, sizeof(second->caps), "%s", ",,,");
    EXPECT_EQ(ravk_node_merge(first, second), nullptr);
    ravk_node_free(&first);
    ravk_node_free(&second);
}

struct Counter {
    std::atomic<int> samples{0};
};

int32_t count_sample(RavkNode *, const RavkSample *, uint64_t, void **user)
{
    static_cast<Counter *>(user[0])->samples.fetch_add(1);
    return 0;
}

// Every pad of every element in the bin has a peer.
std::vector<std::string> unlinked_pads(GstElement *pipeline)
{
    std::vector<std::string> unlinked;
    GstIterator *elements = gst_bin_iterate_elements(GST_BIN(pipeline));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(elements, &item) == GST_ITERATOR_OK) {
        GstElement *element = GST_ELEMENT(g_value_get_object(&item));
        for (GList *l = GST_ELEMENT_PADS(element); l != nullptr; l = l->next)
            if (!gst_pad_is_linked(GST_PAD(l->data)))
                unlinked.push_back(std::string(GST_ELEMENT_NAME(element)) + ":" + GST_PAD_NAME(GST_PAD(l->data)));
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(elements);
    return unlinked;
}

// source -> tee: index 1 -> app sink, index 2 -> converter -> app sink (two
// neighbouring app sinks would merge). Returns the samples each sink saw.
void run_tee_pipeline(int *first_samples, int *second_samples)
{
    RavkNode *pipeline = make(RAVK_NODE_PIPELINE, 0, V, 0, "pipeline", "tee_pipeline");
    ASSERT_NE(pipeline, nullptr);
    RavkBranchList branches = {};
    RavkBranch *branch = ravk_branch_append(&branches, 1);
    RavkNode *source =
        make(RAVK_NODE_CAPTURE_SOURCE, 0, V, 1, "videotestsrc", "src", "video/x-raw, width=(int)64, height=(int)48");
    ravk_node_add_property(source, RAVK_PROPS_ELEMENT, ravk_property_new_int("num-buffers", 5));
    // Paced like a capture device: the tee's live queues hold one buffer
    // and drop what an unpaced source would pile up.
    ravk_node_add_property(source, RAVK_PROPS_ELEMENT, ravk_property_new_boolean("is-live", 1));
    RavkNode *tee = make(RAVK_NODE_TEE, 0, V, 1, "tee", "tee");
    RavkNode *sink1 = ravk_node_new_by_type(RAVK_NODE_BINARY_SINK, V, 1, "sink1", nullptr, 1, 1);
    RavkNode *convert = ravk_node_new_color_convert(V, nullptr, nullptr, RAVK_BACKEND_GSTREAMER, 2);
    RavkNode *sink2 = ravk_node_new_by_type(RAVK_NODE_BINARY_SINK, V, 2, "sink2", nullptr, 1, 1);
    ASSERT_TRUE(source && tee && sink1 && convert && sink2);
    for (RavkNode *n : {source, tee, sink1, convert, sink2}) ravk_chain_append(&branch->chain, n);
    Counter first, second;
    void *user1[2] = {&first, nullptr}, *user2[2] = {&second, nullptr};
    ASSERT_EQ(ravk_node_set_sample_callback(sink1, count_sample, user1), 0);
    ASSERT_EQ(ravk_node_set_sample_callback(sink2, count_sample, user2), 0);

    ASSERT_EQ(ravk_branches_finish(pipeline, &branches, nullptr, nullptr), 0);
    EXPECT_EQ(names_of(branch->chain),
              (std::vector<std::string>{"src", "src/caps", "tee", "tee/video_live_queue/branch_1",
                                        "tee/video_live_queue/branch_2", "sink1", "video_color_convert/conversion",
                                        "sink2"}));
    EXPECT_EQ(unlinked_pads(pipeline->element), std::vector<std::string>{});
    GstPad *tee_sink = gst_element_get_static_pad(tee->element, "sink");
    int tee_sources = 0;
    for (GList *l = GST_ELEMENT_PADS(tee->element); l != nullptr; l = l->next) tee_sources += l->data != tee_sink;
    gst_object_unref(tee_sink);
    EXPECT_EQ(tee_sources, 2);

    ASSERT_NE(gst_element_set_state(pipeline->element, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    GstState state = GST_STATE_NULL;
    gst_element_get_state(pipeline->element, &state, nullptr, 5 * GST_SECOND);
    GstBus *bus = gst_element_get_bus(pipeline->element);
    GstMessage *end = gst_bus_timed_pop_filtered(bus, 10 * GST_SECOND,
                                                 static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(GST_MESSAGE_TYPE(end), GST_MESSAGE_EOS);
    gst_message_unref(end);
    gst_object_unref(bus);
    EXPECT_EQ(state, GST_STATE_PLAYING);
    EXPECT_EQ(ravk_node_stop(pipeline), 0);
    ravk_branches_free(&branches);
    ravk_node_free(&pipeline);
    *first_samples = first.samples.load();
    *second_samples = second.samples.load();
}

TEST_F(NodeTest, TeePipelineLinksAsPlannedAndPlays)
{
    int first = 0, second = 0;
    run_tee_pipeline(&first, &second);
    EXPECT_GT(first, 0);
    EXPECT_GT(second, 0);
}

GObject *leaks_tracer()
{
    GList *tracers = gst_tracing_get_active_tracers();
    GObject *found = nullptr;
    for (GList *l = tracers; l != nullptr; l = l->next)
        if (strcmp(G_OBJECT_TYPE_NAME(l->data), "GstLeaksTracer") == 0) found = G_OBJECT(gst_object_ref(l->data));
    g_list_free_full(tracers, gst_object_unref);
    return found;
}

// Adds a checkpoint's created (+1) and removed (-1) objects to `balance`.
void add_checkpoint(const GstStructure *checkpoint, std::map<std::string, int> *balance,
                    std::map<std::string, std::string> *type_of)
{
    for (const char *field : {"objects-created-list", "objects-removed-list"}) {
        const GValue *list = gst_structure_get_value(checkpoint, field);
        const int step = strcmp(field, "objects-created-list") == 0 ? 1 : -1;
        for (guint i = 0; list != nullptr && i < gst_value_list_get_size(list); ++i) {
            const GstStructure *entry = gst_value_get_structure(gst_value_list_get_value(list, i));
            const std::string address = gst_structure_get_string(entry, "address");
            (*balance)[address] += step;
            (*type_of)[address] = gst_structure_get_string(entry, "type-name");
        }
    }
}

// Objects created since tracking started and not removed, as "type@address".
// Streaming threads drop their last references a little after teardown on a
// busy machine, so checkpoints are taken until nothing is left or 2 s pass.
std::vector<std::string> still_alive(GObject *tracer)
{
    std::map<std::string, int> balance;
    std::map<std::string, std::string> type_of;
    std::vector<std::string> alive;
    for (int round = 0; round < 100; ++round) {
        GstStructure *checkpoint = nullptr;
        g_signal_emit_by_name(tracer, "activity-get-checkpoint", &checkpoint);
        if (checkpoint == nullptr) break;
        add_checkpoint(checkpoint, &balance, &type_of);
        gst_structure_free(checkpoint);
        alive.clear();
        for (const auto &[address, count] : balance)
            if (count > 0) alive.push_back(type_of[address] + "@" + address);
        if (alive.empty()) break;
        g_usleep(20000);
    }
    return alive;
}

TEST_F(NodeTest, BuildPlayAndTeardownLeaveNoGStreamerObject)
{
    int first = 0, second = 0;
    run_tee_pipeline(&first, &second);  // warms GStreamer's own caches
    GObject *tracer = leaks_tracer();
    ASSERT_NE(tracer, nullptr) << "leaks tracer not active";
    g_signal_emit_by_name(tracer, "activity-start-tracking");
    run_tee_pipeline(&first, &second);
    EXPECT_EQ(still_alive(tracer), std::vector<std::string>{});
    g_signal_emit_by_name(tracer, "activity-stop-tracking");
    gst_object_unref(tracer);
}

// An MPEG-TS stream of a few H.264 frames.
std::vector<uint8_t> transport_stream()
{
    GstElement *encode = gst_parse_launch(
        "videotestsrc num-buffers=10 ! video/x-raw,width=64,height=48 ! x264enc ! mpegtsmux ! appsink name=out "
        "sync=false",
        nullptr);
    std::vector<uint8_t> bytes;
    if (encode == nullptr) return bytes;
    GstElement *out = gst_bin_get_by_name(GST_BIN(encode), "out");
    gst_element_set_state(encode, GST_STATE_PLAYING);
    while (GstSample *sample = gst_app_sink_pull_sample(GST_APP_SINK(out))) {
        GstMapInfo map;
        GstBuffer *buffer = gst_sample_get_buffer(sample);
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            bytes.insert(bytes.end(), map.data, map.data + map.size);
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(sample);
    }
    gst_element_set_state(encode, GST_STATE_NULL);
    gst_object_unref(out);
    gst_object_unref(encode);
    return bytes;
}

struct DemuxContext {
    RavkNode *parser;
    std::atomic<int> linked{0};
};

void link_video_pad(RavkNode *demuxer, const char *pad_name, void **user)
{
    DemuxContext *context = static_cast<DemuxContext *>(user[0]);
    if (strstr(pad_name, "video") == nullptr) return;
    if (ravk_node_link(demuxer, context->parser) == 0) context->linked.fetch_add(1);
}

TEST_F(NodeTest, DemuxerDynamicPadLinksWhileAnnounced)
{
    const std::vector<uint8_t> stream = transport_stream();
    ASSERT_GT(stream.size(), 0u);

    RavkNode *pipeline = make(RAVK_NODE_PIPELINE, 0, kTsH264, 0, "pipeline", "demux_pipeline");
    RavkBranchList branches = {};
    RavkBranch *input = ravk_branch_append(&branches, 2);
    RavkBranch *video = ravk_branch_append(&branches, 1);
    RavkNode *source = ravk_node_new_by_type(RAVK_NODE_BINARY_SOURCE, kTsH264, 1, nullptr,
                                             "video/mpegts, systemstream=(boolean)true", 1, 1);
    RavkNode *demuxer = make(RAVK_NODE_DEMUXER, 0, kTsH264, 1, "tsdemux", "demuxer");
    RavkNode *parser = make(RAVK_NODE_PARSER, RAVK_PARSER_H264, kH264, 1, "h264parse", "parser");
    RavkNode *sink = ravk_node_new_by_type(RAVK_NODE_BINARY_SINK, kH264, 1, "sink", nullptr, 1, 1);
    ASSERT_TRUE(pipeline && source && demuxer && parser && sink);
    source->flow_flags = 0;
    ravk_chain_append(&input->chain, source);
    ravk_chain_append(&input->chain, demuxer);
    ravk_chain_append(&video->chain, parser);
    ravk_chain_append(&video->chain, sink);
    Counter samples;
    void *sink_user[2] = {&samples, nullptr};
    ASSERT_EQ(ravk_node_set_sample_callback(sink, count_sample, sink_user), 0);
    DemuxContext context{parser};
    void *user[2] = {&context, nullptr};
    ASSERT_EQ(ravk_node_connect_pad_added(demuxer, link_video_pad, user), 0);
    ASSERT_EQ(ravk_branches_finish(pipeline, &branches, nullptr, nullptr), 0);
    EXPECT_EQ(names_of(input->chain), (std::vector<std::string>{"video_source_binary", "demuxer/parser", "demuxer"}));

    ASSERT_NE(gst_element_set_state(pipeline->element, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    RavkSample chunk = {};
    chunk.data = const_cast<uint8_t *>(stream.data());
    chunk.size = stream.size();
    ASSERT_EQ(ravk_node_push_frame(source, 1, &chunk, RAVK_FOURCC_NONE, nullptr, nullptr, nullptr), 0);
    gst_app_src_end_of_stream(GST_APP_SRC(source->element));
    GstBus *bus = gst_element_get_bus(pipeline->element);
    GstMessage *end = gst_bus_timed_pop_filtered(bus, 10 * GST_SECOND,
                                                 static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(GST_MESSAGE_TYPE(end), GST_MESSAGE_EOS);
    gst_message_unref(end);
    gst_object_unref(bus);
    EXPECT_EQ(context.linked.load(), 1);
    EXPECT_EQ(demuxer->dynamic_pad, nullptr);
    EXPECT_GT(samples.samples.load(), 0);
    EXPECT_EQ(ravk_node_stop(pipeline), 0);
    ravk_branches_free(&branches);
    ravk_node_free(&pipeline);
}

TEST_F(NodeTest, CapsTests)
{
    RavkNode *source =
        ravk_node_new_by_type(RAVK_NODE_BINARY_SOURCE, V, 1, nullptr, "video/x-raw, format=(string)I420", 1, 1);
    RavkNode *encoder = make(RAVK_NODE_ENCODER, RAVK_ENC_VP8, V | RAVK_VIDEO_VP8 << 16, 1, "vp8enc", "enc");
    RavkNode *h264 = make(RAVK_NODE_PARSER, RAVK_PARSER_H264, kH264, 1, "h264parse", "parser");
    RavkNode *identity = make(RAVK_NODE_PARSER, 0, V, 1, "identity", "identity");
    ASSERT_TRUE(source && encoder && h264 && identity);
    struct Case {
        const char *purpose;
        int result, expected;
    };
    const Case cases[] = {
        {"raw I420 feeds vp8enc", ravk_node_can_link(source, encoder, nullptr), 1},
        {"raw video does not feed an H.264 parser", ravk_node_can_link(source, h264, nullptr), 0},
        {"vp8enc takes no GL memory", ravk_node_can_link(source, encoder, "memory:GLMemory"), 0},
        {"identity's pads are ANY", ravk_node_caps_is_any(identity, RAVK_SIDE_SINK), 1},
        {"vp8enc's sink is not ANY", ravk_node_caps_is_any(encoder, RAVK_SIDE_SINK), 0},
        {"vp8enc accepts I420", ravk_node_accepts_caps(encoder, RAVK_SIDE_SINK, "video/x-raw", core_fourcc("I420")), 1},
        {"vp8enc refuses RGB16", ravk_node_accepts_caps(encoder, RAVK_SIDE_SINK, "video/x-raw", core_fourcc("RGB6")),
         0},
        {"an unparsable text", ravk_node_accepts_caps(encoder, RAVK_SIDE_SINK, ",,,", RAVK_FOURCC_NONE), -1},
        {"no memory transfer between system-memory nodes", ravk_node_new_memory_transfer(source, encoder) != nullptr,
         0},
    };
    for (const Case &c : cases) EXPECT_EQ(c.result, c.expected) << c.purpose;
    for (RavkNode *n : {source, encoder, h264, identity}) ravk_node_free(&n);
}

}  // namespace
