// Device lists: subscription by class, device events and their order, find
// and selection with their fallbacks, refresh, app-fed and test sources,
// and a removal racing a sort.
#include "ravelkit/devices.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/notify.h"
#include "core/system.h"
#include "engine/node.h"
#include "ravelkit/property.h"

namespace {

struct Seen {
    uint32_t added;
    std::string id, name;
};

void remember(RavkDeviceList *, uint32_t added, const CoreName *id, const RavkDeviceText *name, void *user)
{
    static_cast<std::vector<Seen> *>(user)->push_back({added, id->text, std::string(name->text, name->length)});
}

class DeviceLists : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(core_system_start(0), CORE_OK);
        engine_node_set_running(reinterpret_cast<EngineNode *>(&running_));
    }
    void TearDown() override
    {
        for (RavkDeviceList *&list : lists_) ravk_device_list_destroy(&list);
        engine_node_set_running(nullptr);
        core_notify_channel_remove(RAVK_DEVICE_CHANNEL);
        core_system_stop();
    }

    RavkDeviceList *create(uint32_t populate, uint32_t media, uint32_t device_class, bool callback = false)
    {
        RavkDeviceListConfig config{populate, RAVK_DIRECTION_SOURCE, media, device_class,
                                    callback ? remember : nullptr, &seen_, nullptr};
        RavkDeviceList *list = ravk_device_list_create(&config);
        if (list) lists_.push_back(list);
        return list;
    }

    static RavkDeviceRecord audio(const char *id, const char *name, uint32_t flags)
    {
        RavkDeviceRecord r;
        ravk_device_record_init(&r);
        memset(&r.tail, 0, sizeof(r.tail));
        r.id = core_name_of(id);
        ravk_device_text_set(&r.name, 1, name, strlen(name));
        r.flags = flags;
        r.backend = RAVK_AUDIO_BACKEND_PULSE;
        r.tail.audio.format = RavkAudioFormat{48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {}};
        r.tail.audio.index = -1;
        return r;
    }

    static void post(uint32_t code, const RavkDeviceRecord &r)
    {
        ravk_device_event_post(code, &r, code < RAVK_DEVICE_CAMERA_ADDED ? RAVK_DEVICE_RECORD_AUDIO_SIZE
                                                                         : RAVK_DEVICE_RECORD_SCREEN_SIZE);
    }

    // The display names in list order.
    static std::vector<std::string> names(RavkDeviceList *list)
    {
        std::vector<uint64_t> handles;
        {
            CoreLockGuard guard(&list->lock);
            handles.assign(list->devices, list->devices + list->count);
        }
        std::vector<std::string> out;
        CoreHandleTable *table = core_handle_tables[CORE_HANDLES_DEVICES];
        for (uint64_t h : handles) {
            auto *node = static_cast<RavkDeviceNode *>(core_handle_acquire(table, h));
            if (node == nullptr) continue;
            RavkSourceDescriptor *d = ravk_device_node_desc(node, 0);
            out.emplace_back(reinterpret_cast<char *>(d->name.data), d->name.length);
            core_handle_release(table, h);
        }
        return out;
    }

    static uint64_t count(RavkDeviceList *list)
    {
        CoreLockGuard guard(&list->lock);
        return list->count;
    }

    int running_ = 0;
    std::vector<RavkDeviceList *> lists_;
    std::vector<Seen> seen_;
};

TEST_F(DeviceLists, OnlyNativeAndScreenListsNeedTheChannel)
{
    EXPECT_EQ(create(0, RAVK_MEDIA_AUDIO, RAVK_CLASS_NATIVE), nullptr) << "no channel yet";
    RavkDeviceList *tests = create(1, RAVK_MEDIA_AUDIO | RAVK_MEDIA_VIDEO, RAVK_CLASS_VIRTUAL | RAVK_CLASS_TEST);
    ASSERT_NE(tests, nullptr);
    EXPECT_EQ(tests->subscription, 0u);
    const std::vector<std::string> expected = {
        "Audio Test Sine / 440 Hz / Stereo / 48000",
        "Audio Test Sine / 1000 Hz / Stereo / 48000",
        "Audio Test Sine / 440 Hz / Stereo / 44100",
        "Audio Test Sine / 1000 Hz / Stereo / 44100",
        "Video Test Color Bars / 4096x4096@60 Hz / I420",
        "Video Test Moving Ball / 4096x4096@60 Hz / I420",
        "Video Test Color Bars / 4096x4096@60 Hz / UYVY",
        "Video Test Color Bars / 4096x4096@60 Hz / YUY2",
        "Video Test Moving Ball / 4096x4096@60 Hz / YUY2",
        "Video Test Snow / 4096x4096@60 Hz / NV12",
        "Video Test Color Bars / 4096x2160@60 Hz / I420",
        "Video Test Color Bars / 3840x3840@60 Hz / I420",
        "Video Test Color Bars / 3840x2160@60 Hz / I420",
    };
    EXPECT_EQ(names(tests), expected);

    ASSERT_EQ(core_notify_channel_create_str(RAVK_DEVICE_CHANNEL), CORE_OK);
    RavkDeviceList *native = create(0, RAVK_MEDIA_AUDIO, RAVK_CLASS_NATIVE);
    ASSERT_NE(native, nullptr);
    EXPECT_NE(native->subscription, 0u);
}

TEST_F(DeviceLists, AudioEventsKeepLoopbackThenDefaultFirst)
{
    ASSERT_EQ(core_notify_channel_create_str(RAVK_DEVICE_CHANNEL), CORE_OK);
    RavkDeviceList *list = create(0, RAVK_MEDIA_AUDIO, RAVK_CLASS_NATIVE, true);
    RavkDeviceList *video = create(0, RAVK_MEDIA_VIDEO, RAVK_CLASS_NATIVE | RAVK_CLASS_SCREEN);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(video, nullptr);

    post(RAVK_DEVICE_AUDIO_ADDED, audio("mic.other", "Other mic", 0));
    post(RAVK_DEVICE_AUDIO_ADDED, audio("mic.default", "Default mic", RAVK_DEVICE_DEFAULT));
    EXPECT_EQ(names(list), (std::vector<std::string>{"Default mic", "Other mic"}));
    post(RAVK_DEVICE_AUDIO_ADDED, audio("loop", "Loopback", RAVK_DEVICE_LOOPBACK | RAVK_DEVICE_DEFAULT));
    EXPECT_EQ(names(list), (std::vector<std::string>{"Loopback", "Default mic", "Other mic"}));
    EXPECT_EQ(count(video), 0u) << "a video list takes no audio";

    RavkDeviceRecord bad = audio("bad", "Bad", 0);
    bad.tail.audio.format.rate = 0;
    post(RAVK_DEVICE_AUDIO_ADDED, bad);
    RavkDeviceRecord short_record = audio("short", "Short", 0);
    const CoreName channel = core_name_of(RAVK_DEVICE_CHANNEL);
    core_notify(&channel, RAVK_DEVICE_AUDIO_ADDED, &short_record, RAVK_DEVICE_RECORD_AUDIO_SIZE - 1, nullptr, nullptr);
    engine_node_set_running(nullptr);
    post(RAVK_DEVICE_AUDIO_ADDED, audio("late", "Posted while no engine runs", 0));
    engine_node_set_running(reinterpret_cast<EngineNode *>(&running_));
    EXPECT_EQ(count(list), 3u) << "an unusable format, a short record and a post without engine add nothing";

    post(RAVK_DEVICE_AUDIO_REMOVED, audio("unknown", "", 0));
    post(RAVK_DEVICE_AUDIO_REMOVED, audio("mic.default", "", 0));
    EXPECT_EQ(list->emptied.load(), 0);
    post(RAVK_DEVICE_AUDIO_REMOVED, audio("loop", "", 0));
    post(RAVK_DEVICE_AUDIO_REMOVED, audio("mic.other", "", 0));
    EXPECT_EQ(list->emptied.load(), -1);
    const std::vector<std::string> seen_names = {"Other mic", "Default mic", "Loopback", "", "Default mic",
                                                 "Loopback",  "Other mic"};
    ASSERT_EQ(seen_.size(), seen_names.size());
    for (size_t i = 0; i < seen_.size(); i++) {
        EXPECT_EQ(seen_[i].name, seen_names[i]) << i;
        EXPECT_EQ(seen_[i].added, i < 3 ? 1u : 0u) << i;
    }
    EXPECT_EQ(seen_[3].id, "unknown") << "an unknown removal still reaches the callback";

    RavkDeviceRecord screen;
    ravk_device_record_init(&screen);
    screen.id = core_name_of("screen.1");
    screen.backend = RAVK_BACKEND_X11;
    screen.format_code = core_fourcc("BGRx");
    screen.tail.video.mode = CoreVideoMode{800, 600, 60, 1};
    post(RAVK_DEVICE_SCREEN_ADDED, screen);
    EXPECT_EQ(count(video), 1u);
    EXPECT_EQ(count(list), 0u);
    post(RAVK_DEVICE_SCREEN_REMOVED, screen);
    EXPECT_EQ(count(video), 0u);
}

TEST_F(DeviceLists, FindAndSelectionFallBack)
{
    RavkDeviceList *list = create(0, RAVK_MEDIA_AUDIO, RAVK_CLASS_TEST);
    ASSERT_NE(list, nullptr);
    const CoreName none = core_name_of(NONE_ID), fallback = core_name_of(DEFAULT_DEVICE_ID);
    EXPECT_EQ(ravk_device_list_find(list, &fallback, 0), 0u) << "an empty list has no first device";
    RavkAudioFormat f{48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {}};
    const CoreName a = core_name_of("first"), b = core_name_of("second");
    ASSERT_EQ(ravk_device_list_add_audio_test(list, 1, &a, &f, 0, 440), 0);
    ASSERT_EQ(ravk_device_list_add_audio_test(list, 1, &b, &f, 1, 440), 0);
    const uint64_t first = ravk_device_list_find(list, &a, 1);
    EXPECT_NE(first, 0u);
    EXPECT_EQ(ravk_device_list_find(list, &fallback, 0), first);
    EXPECT_EQ(ravk_device_list_find(list, &fallback, 1), 0u);
    EXPECT_EQ(ravk_device_list_find(list, &none, 0), 0u);

    CoreName out;
    ASSERT_EQ(ravk_device_list_get_selected(list, &out), 0);
    EXPECT_STREQ(out.text, NONE_ID) << "NONE_ID is returned unchanged";
    ASSERT_EQ(ravk_device_list_select(list, &b), 0);
    ASSERT_EQ(ravk_device_list_get_selected(list, &out), 0);
    EXPECT_STREQ(out.text, "second");

    uint8_t text[16];
    CoreBuffer name{0, 0, sizeof(text), 0, text};
    ASSERT_EQ(ravk_device_list_remove(list, &b, &name), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(text), name.length), "Audio Test Squar") << "bounded by capacity";
    EXPECT_EQ(ravk_device_list_remove(list, &b, nullptr), -1);
    ASSERT_EQ(ravk_device_list_get_selected(list, &out), 0);
    EXPECT_STREQ(out.text, DEFAULT_DEVICE_ID);
    EXPECT_STREQ(list->selected.text, DEFAULT_DEVICE_ID) << "the fallback stays selected";
}

TEST_F(DeviceLists, RefreshKeepsAppFedSourcesAndDropsTheRest)
{
    ASSERT_EQ(core_notify_channel_create_str(RAVK_DEVICE_CHANNEL), CORE_OK);
    RavkDeviceList *list = create(1, RAVK_MEDIA_AUDIO, RAVK_CLASS_NATIVE | RAVK_CLASS_VIRTUAL | RAVK_CLASS_TEST);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(count(list), 4u);
    RavkDeviceRecord one = audio("app.one", "App one", 0), two = audio("app.two", "App two", 0);
    one.format_code = two.format_code = core_fourcc("lpcm");
    ASSERT_EQ(ravk_device_list_add_virtual_audio(list, 1, 0, &one), 0);
    ASSERT_EQ(ravk_device_list_add_virtual_audio(list, 1, 0, &two), 0);
    post(RAVK_DEVICE_AUDIO_ADDED, audio("mic", "Mic", 0));
    ASSERT_EQ(names(list)[0], "App two") << "app-fed sources go first";
    ASSERT_EQ(count(list), 7u);

    ASSERT_EQ(ravk_device_list_refresh(list), 0);
    const std::vector<std::string> after = names(list);
    ASSERT_EQ(after.size(), 6u) << "the microphone leaves, the test sources come again";
    EXPECT_EQ(after[0], "App one") << "the kept virtual sources reverse";
    EXPECT_EQ(after[1], "App two");
    EXPECT_EQ(after[2], "Audio Test Sine / 440 Hz / Stereo / 48000");
}

TEST_F(DeviceLists, AppFedSlotsAndDeviceProperties)
{
    RavkDeviceList *plain = create(0, RAVK_MEDIA_VIDEO, RAVK_CLASS_TEST);
    RavkDeviceList *list = create(0, RAVK_MEDIA_VIDEO, RAVK_CLASS_VIRTUAL);
    ASSERT_NE(list, nullptr);
    RavkDeviceRecord r;
    ravk_device_record_init(&r);
    memset(&r.tail, 0, sizeof(r.tail));
    r.id = core_name_of("screencast");
    ravk_device_text_set(&r.name, 1, "Screen cast", 11);
    ravk_device_text_set(&r.path, 0, "/portal/3", 9);
    r.number = 21;
    r.backend = RAVK_BACKEND_PIPEWIRE;
    r.tail.app_video.mode = CoreVideoMode{1280, 720, 30, 1};

    const struct {
        const char *purpose;
        RavkDeviceList *list;
        int new_node, slot, result;
    } cases[] = {
        {"a list without the virtual class", plain, 1, 0, -1},
        {"a slot out of range", list, 1, 2, -1},
        {"a negative slot", list, 0, -1, -1},
        {"a new node fills slot 0", list, 1, 1, -1},
        {"a second format for an unlisted id", list, 0, 1, -1},
        {"the first format", list, 1, 0, 0},
        {"the second format goes to slot 1 of the listed node", list, 0, 1, 0},
        {"slot 1 is never overwritten under its readers", list, 0, 1, -1},
        {"slot 0 of a listed node neither", list, 0, 0, -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ravk_device_list_add_virtual_video(c.list, c.new_node, c.slot, &r), c.result) << c.purpose;
    EXPECT_EQ(count(list), 1u) << "a node is listed once";

    const uint64_t handle = ravk_device_list_find(list, &r.id, 1);
    ASSERT_NE(handle, 0u);
    auto *node = static_cast<RavkDeviceNode *>(core_handle_acquire(core_handle_tables[CORE_HANDLES_DEVICES], handle));
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(ravk_device_node_desc(node, -1), ravk_device_node_desc(node, 1));
    EXPECT_EQ(ravk_device_node_desc(node, 2), nullptr);
    const CoreVideoMode chosen{640, 360, 30, 1};
    node->ops.set_selection(ravk_device_node_desc(node, 0), &chosen, sizeof(chosen));
    core_handle_release(core_handle_tables[CORE_HANDLES_DEVICES], handle);

    int fd = 0;
    EXPECT_EQ(ravk_device_get_fd(handle, &fd), 1);
    EXPECT_EQ(fd, 21);
    CoreBuffer path{};
    EXPECT_EQ(ravk_device_get_path(handle, &path), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(path.data), path.length), "/portal/3");
    EXPECT_EQ(ravk_device_get_fd(handle + 1000, &fd), -1);
    CoreVideoMode info{};
    uint8_t small[8];
    EXPECT_EQ(ravk_device_get_info(handle, small, sizeof(small)), -1) << "too small for the selection";
    EXPECT_EQ(ravk_device_get_info(handle, &info, sizeof(info)), 0);
    EXPECT_TRUE(core_video_mode_equal(&info, &chosen));
}

// A removal that runs while another thread sorts must stay a removal: the
// sort never takes entries out of the array.
TEST_F(DeviceLists, RemovalsRacingSortsStayRemoved)
{
    RavkDeviceList *list = create(0, RAVK_MEDIA_AUDIO, RAVK_CLASS_TEST);
    ASSERT_NE(list, nullptr);
    RavkAudioFormat f{48000, 2, 16, RAVK_AUDIO_BYTE_ORDER_LE, 'S', {}};
    constexpr int N = 40;
    for (int i = 0; i < N; i++) {
        const CoreName id = core_name_of(("device." + std::to_string(i)).c_str());
        ASSERT_EQ(ravk_device_list_add_audio_test(list, 1, &id, &f, 0, 100.0 + i), 0);
    }
    std::atomic<bool> done{false};
    std::thread sorter([&] {
        while (!done.load()) ravk_device_list_sort(list);
    });
    int removed = 0;
    for (int i = 0; i < N; i++) {
        const CoreName id = core_name_of(("device." + std::to_string(i)).c_str());
        removed += ravk_device_list_remove(list, &id, nullptr) == 0;
    }
    done.store(true);
    sorter.join();
    EXPECT_EQ(removed, N);
    EXPECT_EQ(count(list), 0u);
}

}  // namespace

namespace {

// The engine's stream-name test that the providers' configuration check uses.
TEST(EngineStreamName, UnsetNamesAreNotSet)
{
    const struct {
        const char *text;
        bool set;
    } cases[] = {
        {"", false},
        {"stream.FFFFFFFF", false},
        {"split.stream.FFFFFFFF", false},
        {"stream.FFFFFFFE", true},
        {"split.stream.00000000", true},
        {"stream.ffffffff", true},
    };
    for (const auto &c : cases) {
        CoreName name;
        core_name_format(&name, "%s", c.text);
        EXPECT_EQ(engine_stream_name_is_set(&name), c.set) << c.text;
    }
    EXPECT_FALSE(engine_stream_name_is_set(nullptr));
}

}  // namespace
