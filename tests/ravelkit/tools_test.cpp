// The test-only plug-in module through GStreamer's own tools, each in a
// separate process with a private registry: gst-inspect-1.0 lists both
// elements, gst-launch-1.0 runs them in real pipelines.
#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <string>

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
};

ToolRun run(const std::string &command)
{
    gchar *dir = g_dir_make_tmp("ravk-tools-XXXXXX", nullptr);
    std::string registry = std::string(dir) + "/registry.bin";
    gchar **env = g_get_environ();
    env = g_environ_setenv(env, "GST_PLUGIN_PATH", RAVK_TEST_PLUGIN_DIR, TRUE);
    env = g_environ_setenv(env, "GST_REGISTRY", registry.c_str(), TRUE);
    env = g_environ_unsetenv(env, "LD_PRELOAD");
    gchar **argv = nullptr;
    ToolRun r;
    EXPECT_TRUE(g_shell_parse_argv(command.c_str(), nullptr, &argv, nullptr));
    gchar *out = nullptr, *err = nullptr;
    GError *error = nullptr;
    if (g_spawn_sync(nullptr, argv, env, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out, &err, &r.status, &error)) {
        r.out = std::string(out) + err;
    } else {
        ADD_FAILURE() << error->message;
        g_error_free(error);
    }
    g_free(out);
    g_free(err);
    g_strfreev(argv);
    g_strfreev(env);
    g_remove(registry.c_str());
    g_rmdir(dir);
    g_free(dir);
    return r;
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

TEST(PluginModule, InspectListsBothElements)
{
    ToolRun r = run("gst-inspect-1.0 ravelkit");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("liverate: Live rate adjuster"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("libyuv: Convert / Crop / Rotate / Scale"), std::string::npos) << r.out;

    r = run("gst-inspect-1.0 liverate");
    EXPECT_NE(r.out.find("min-framerate"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("max-framerate"), std::string::npos) << r.out;
}

// 120 frames at 60 fps through an upper rate of 15: one in four passes.
TEST(PluginModule, LaunchLiveRatePassesAQuarter)
{
    ToolRun r = run("gst-launch-1.0 -v videotestsrc num-buffers=120 ! video/x-raw,framerate=60/1 ! "
                "liverate max-framerate=15/1 ! fakesink silent=false");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(count(r.out, "last-message = chain"), 30u);
}

TEST(PluginModule, LaunchLibyuvIntoAnEncoder)
{
    ToolRun r = run("gst-launch-1.0 videotestsrc num-buffers=30 ! video/x-raw,format=NV12,width=640,height=480 ! "
                "libyuv left=8 top=8 video-direction=90r ! video/x-raw,format=I420 ! vp8enc deadline=1 ! "
                "fakesink");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Got EOS"), std::string::npos) << r.out;
}

}  // namespace
