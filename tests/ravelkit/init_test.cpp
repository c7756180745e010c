// Framework start-up: in this process GStreamer is started by the test before
// ravk_init, as an application that uses GStreamer itself would; the probe
// process (init_probe.cpp) lets ravk_init start GStreamer on a partial
// plug-in folder with a private registry, so a missing plug-in is really
// missing.
#include "ravelkit/init.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/codec_desc.h"
#include "core/names.h"
#include "core/notify.h"
#include "core/system.h"
#include "core/values.h"

namespace {

struct ListCounts {
    uint32_t audio_enc, audio_dec, video_enc, video_dec;
};

ListCounts list_counts()
{
    return {core_codec_entry_count_audio(RAVK_CODEC_ENCODER), core_codec_entry_count_audio(RAVK_CODEC_DECODER),
            core_codec_entry_count_video(RAVK_CODEC_ENCODER), core_codec_entry_count_video(RAVK_CODEC_DECODER)};
}

bool lists_empty()
{
    const ListCounts c = list_counts();
    return c.audio_enc == 0 && c.audio_dec == 0 && c.video_enc == 0 && c.video_dec == 0;
}

// A subscription succeeds only on an existing channel.
bool pipeline_channel_exists()
{
    CoreName channel;
    core_name_format(&channel, "%s", RAVK_PIPELINE_CHANNEL);
    const CoreNotifySubscription sub = {
        [](uint32_t, const void *, uint64_t, void *, uint64_t *, void **) -> CoreResult { return CORE_NOT_MINE; },
        {}};
    const uint64_t token = core_notify_subscribe(&channel, &sub);
    if (token == 0) return false;
    core_notify_unsubscribe(&channel, token);
    return true;
}

bool element_made(const char *factory)
{
    GstElement *element = gst_element_factory_make(factory, nullptr);
    if (element != nullptr) gst_object_unref(element);
    return element != nullptr;
}

class RavkInit : public ::testing::Test {
protected:
    static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
    void SetUp() override { ASSERT_EQ(core_system_start(0), CORE_OK); }
    void TearDown() override
    {
        ravk_codecs_fail_add_after(-1);
        ravk_shutdown();
        core_system_stop();
    }
};

TEST_F(RavkInit, StartsOnAGStreamerTheApplicationStartedFirst)
{
    ASSERT_EQ(ravk_init(0), 0);
    EXPECT_TRUE(element_made("liverate"));
    EXPECT_TRUE(element_made("libyuv"));
    for (size_t i = 0; i < ravk_plugin_count; i++) {
        GstPlugin *plugin = gst_registry_find_plugin(gst_registry_get(), ravk_plugin_table[i]);
        ASSERT_NE(plugin, nullptr) << ravk_plugin_table[i];
        EXPECT_TRUE(gst_plugin_is_loaded(plugin)) << ravk_plugin_table[i];
        gst_object_unref(plugin);
    }
    EXPECT_TRUE(pipeline_channel_exists());
    // Each list holds its no-codec entry first; vpx and opus give the
    // video and audio lists real implementations.
    const ListCounts c = list_counts();
    EXPECT_GE(c.audio_enc, 2u);
    EXPECT_GE(c.audio_dec, 2u);
    EXPECT_GE(c.video_enc, 2u);
    EXPECT_GE(c.video_dec, 2u);
    CoreVideoCodecDesc head;
    ASSERT_EQ(core_codec_get_video(0, RAVK_CODEC_ENCODER, &head), 0);
    EXPECT_EQ(head.acceleration, RAVK_ACCEL_NONE);
}

// The engine ends a session and starts the next one in the same process.
TEST_F(RavkInit, ShutdownEndsTheSessionAndTheNextStartRegistersTheSameSet)
{
    ASSERT_EQ(ravk_init(1), 0);
    const ListCounts first = list_counts();
    ravk_shutdown();
    EXPECT_FALSE(pipeline_channel_exists());
    EXPECT_TRUE(lists_empty());
    ravk_shutdown();  // a second end is harmless

    ASSERT_EQ(ravk_init(1), 0);
    const ListCounts again = list_counts();
    EXPECT_TRUE(pipeline_channel_exists());
    EXPECT_EQ(again.audio_enc, first.audio_enc);
    EXPECT_EQ(again.audio_dec, first.audio_dec);
    EXPECT_EQ(again.video_enc, first.video_enc);
    EXPECT_EQ(again.video_dec, first.video_dec);
}

TEST_F(RavkInit, SizeProfiles)
{
    const struct {
        RavkCodecProfile profile;
        int result;
    } cases[] = {{0, 0}, {1, 0}, {2, 0}, {3, -1}, {0xFFFFFFFFu, -1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.profile);
        EXPECT_EQ(ravk_init(c.profile), c.result);
        EXPECT_EQ(lists_empty(), c.result != 0);
        ravk_codec_lists_clear();
    }
}

// A codec list that refuses an entry fails the start and leaves nothing half
// registered; the next start succeeds in full.
TEST_F(RavkInit, FailedCodecRegistrationFailsTheStart)
{
    for (int adds : {0, 3, 9}) {
        SCOPED_TRACE(adds);
        ravk_codecs_fail_add_after(adds);
        EXPECT_EQ(ravk_init(0), -1);
        EXPECT_TRUE(lists_empty());
    }
    ravk_codecs_fail_add_after(-1);
    EXPECT_EQ(ravk_init(0), 0);
    EXPECT_FALSE(lists_empty());
}

// ---- a fresh process on a partial plug-in folder ----------------------------------

// A temporary plug-in folder that links every plug-in of the table but
// one, and a private registry beside it.
class PluginFolder {
public:
    // A broken plug-in puts a file that is no library in place of the
    // left-out one.
    PluginFolder(const char *left_out, bool broken)
    {
        dir_ = g_dir_make_tmp("ravk-init-XXXXXX", nullptr);
        plugins_ = std::string(dir_) + "/plugins";
        registry_ = std::string(dir_) + "/registry.bin";
        g_mkdir(plugins_.c_str(), 0700);
        for (size_t i = 0; i < ravk_plugin_count; i++) {
            if (left_out != nullptr && g_strcmp0(left_out, ravk_plugin_table[i]) == 0) {
                if (broken) {
                    links_.push_back(plugins_ + "/libgst" + left_out + ".so");
                    EXPECT_TRUE(g_file_set_contents(links_.back().c_str(), "not a library", -1, nullptr));
                }
                continue;
            }
            GstPlugin *plugin = gst_registry_find_plugin(gst_registry_get(), ravk_plugin_table[i]);
            if (plugin == nullptr) {
                ADD_FAILURE() << "plug-in not installed here: " << ravk_plugin_table[i];
                continue;
            }
            const char *file = gst_plugin_get_filename(plugin);
            gchar *base = g_path_get_basename(file);
            links_.push_back(plugins_ + "/" + base);
            EXPECT_EQ(symlink(file, links_.back().c_str()), 0) << file;
            g_free(base);
            gst_object_unref(plugin);
        }
    }
    ~PluginFolder()
    {
        for (const std::string &link : links_) g_remove(link.c_str());
        g_remove(registry_.c_str());
        g_rmdir(plugins_.c_str());
        g_rmdir(dir_);
        g_free(dir_);
    }
    PluginFolder(const PluginFolder &) = delete;
    PluginFolder &operator=(const PluginFolder &) = delete;

    // Runs the probe with this folder as the only plug-in path.
    std::string run_probe(int attempts, int *status) const
    {
        gchar **env = g_get_environ();
        for (const char *name :
             {"GST_PLUGIN_PATH", "GST_PLUGIN_PATH_1_0", "GST_PLUGIN_SYSTEM_PATH", "GST_PLUGIN_SYSTEM_PATH_1_0"})
            env = g_environ_setenv(env, name, plugins_.c_str(), TRUE);
        for (const char *name : {"GST_REGISTRY", "GST_REGISTRY_1_0"})
            env = g_environ_setenv(env, name, registry_.c_str(), TRUE);
        // The start turns GStreamer's own debug output off: any of it in
        // the output means it did not.
        env = g_environ_setenv(env, "GST_DEBUG", "*:5", TRUE);
        env = g_environ_unsetenv(env, "LD_PRELOAD");
        const std::string count = std::to_string(attempts);
        gchar *argv[] = {const_cast<gchar *>(RAVK_INIT_PROBE), const_cast<gchar *>(count.c_str()), nullptr};
        gchar *out = nullptr, *err = nullptr;
        GError *error = nullptr;
        std::string text;
        if (g_spawn_sync(nullptr, argv, env, G_SPAWN_DEFAULT, nullptr, nullptr, &out, &err, status, &error)) {
            text = std::string(out) + err;
        } else {
            ADD_FAILURE() << error->message;
            g_error_free(error);
        }
        g_free(out);
        g_free(err);
        g_strfreev(env);
        return text;
    }

private:
    gchar *dir_ = nullptr;
    std::string plugins_, registry_;
    std::vector<std::string> links_;
};

bool contains(const std::string &text, const std::string &what) { return text.find(what) != std::string::npos; }

class RavkInitProcess : public ::testing::Test {
protected:
    static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
};

TEST_F(RavkInitProcess, StartsGStreamerItselfOnACompleteFolder)
{
    PluginFolder folder(nullptr, false);
    int status = -1;
    const std::string out = folder.run_probe(2, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_TRUE(contains(out, "init 1: 0\ninit 2: 0\nliverate: yes\nlibyuv: yes\n")) << out;
    EXPECT_FALSE(contains(out, "GST_")) << out;
}

// Without one plug-in the start fails and names it; a retry fails the same
// way instead of skipping the checks the first attempt did not finish.
TEST_F(RavkInitProcess, AMissingPlugInFailsEveryAttempt)
{
    const struct {
        const char *why;
        const char *left_out;
        bool broken;
    } cases[] = {
        {"the first plug-in loaded", "coreelements", false},
        {"a platform plug-in", "ximagesink", false},
        {"the last plug-in, after all others loaded", "videotestsrc", false},
        {"a file in its place that is no plug-in", "videotestsrc", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        PluginFolder folder(c.left_out, c.broken);
        int status = -1;
        const std::string out = folder.run_probe(2, &status);
        EXPECT_EQ(status, 0) << out;
        EXPECT_TRUE(contains(out, "init 1: -1\ninit 2: -1\nliverate: no\nlibyuv: no\n")) << out;
        EXPECT_TRUE(contains(out, std::string("GStreamer plug-in '") + c.left_out + "' is missing")) << out;
    }
}

}  // namespace
