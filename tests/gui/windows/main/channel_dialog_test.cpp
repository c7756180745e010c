// The channel choice as connection start uses it: a real engine node feeds
// the notification centre a streamer that announces its broadcast channels,
// the real dialog runs modally, and the test answers it from the main loop.
#include <glibmm/main.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/names.h"
#include "engine/codes.h"
#include "engine/node.h"
#include "engine/records.h"
#include "engine/relay.h"
#include "gui/services/centre_support.h"
#include "gui/toolkit/gtk_env.h"
#include "gui/toolkit/window_fixtures.h"
#include "services/centre.h"
#include "windows/main/channel_dialog.h"

namespace {

using namespace centre_support;

const ::testing::Environment *const kEnvironment = ::testing::AddGlobalTestEnvironment(new CentreEnvironment);

template <typename Record>
void post(uint32_t code, const Record &record)
{
    ASSERT_NE(engine_post_event(code, &record, sizeof(record)), 0u);
}

// A streamer in the node list, with `channels` broadcast channels (0: none).
void announce(const std::string &node, uint32_t channels)
{
    post_node_ready(node, node + ".peer");
    if (channels != 0) {
        char channel[33];
        snprintf(channel, sizeof(channel), "p2m.bnd.%08X.chnl", channels);
        EngineBindRecord record{};
        record.kind = ENGINE_BIND_KIND_ANSWERER;
        const CoreName c = name_of(channel), p = name_of(node), s = name_of("ssn.seq.0000000000000001"),
                       b = name_of("bnd.seq.00000000000000aa");
        engine_media_desc_make(&record.desc, &c, &p, &s, &b);
        post(ENGINE_EVT_NODE_CHANNEL_BOUND, record);
    }
    const PkXID id(name_of(node));
    ASSERT_TRUE(pi_test_iterate_until([&] {
        const auto session = PkCenterNotify::instance()->findSession(id);
        return session && pk_session_channels(*session).size() == channels;
    }));
}

PkXID channel_key(uint32_t index)
{
    return PkXID(name_of([&] {
        char text[33];
        snprintf(text, sizeof(text), "p2m.bnd.%08X.chnl", index);
        return std::string(text);
    }()));
}

class ChannelsDialogTest : public PiWindowTest {
protected:
    // Once the dialog shows: records its rows, then ends it with the action.
    void answer(std::function<void(ChannelsDialog &)> action)
    {
        Glib::signal_timeout().connect(
            [this, action] {
                auto dialog = app->findWindow<ChannelsDialog>(nullptr, nullptr);
                if (!dialog || !dialog->get_visible()) return true;
                shown = true;
                title = dialog->get_title();
                activeRow = dialog->channelsCombobox->get_active_row_number();
                for (int row = 0;; row++) {
                    dialog->channelsCombobox->set_active(row);
                    if (dialog->channelsCombobox->get_active_row_number() != row) break;
                    rows.push_back(dialog->channelsCombobox->get_active_text());
                }
                dialog->channelsCombobox->set_active(activeRow);
                action(*dialog);
                return false;
            },
            20);
    }

    // Builds, runs and keeps the dialog as connection start does.
    std::shared_ptr<ChannelsDialog> run(const std::string &node, int &response)
    {
        static const uint8_t zero[PI_WINDOW_ID_SIZE] = {};
        auto dialog = PiApplication::createWindow<ChannelsDialog>(gtkApp, nullptr, zero);
        EXPECT_TRUE(dialog);
        if (!dialog) return dialog;
        dialog->peerId = PkXID(name_of(node));
        response = PiApplication::runDialog<ChannelsDialog>(gtkApp, dialog);
        return dialog;
    }

    bool shown = false;
    Glib::ustring title;
    int activeRow = -2;
    std::vector<Glib::ustring> rows;
};

// Four announced channels make four numbered rows with the first active;
// the row picked is the channel index given back.
TEST_F(ChannelsDialogTest, ListsTheChannelsAndGivesBackThePickedOne)
{
    announce("node.four", 4);
    answer([](ChannelsDialog &dialog) {
        dialog.channelsCombobox->set_active(2);
        dialog.connectButton->clicked();
    });
    int response = 0;
    auto dialog = run("node.four", response);
    ASSERT_TRUE(dialog);
    EXPECT_TRUE(shown);
    EXPECT_EQ(response, Gtk::RESPONSE_OK);
    EXPECT_EQ(title, "Channels list");
    EXPECT_EQ(activeRow, 0);
    EXPECT_EQ(rows, (std::vector<Glib::ustring>{"Channel 1", "Channel 2", "Channel 3", "Channel 4"}));
    EXPECT_EQ(dialog->connectButton->get_label(), "Connect");
    EXPECT_EQ(dialog->selectedChannel, channel_key(2));
    EXPECT_FALSE(dialog->get_visible());
}

// How the dialog ends decides the choice.
TEST_F(ChannelsDialogTest, EndingsAndTheirChoice)
{
    announce("node.eight", 8);
    announce("node.plain", 0);
    const struct {
        const char *purpose;
        const char *node;
        std::function<void(ChannelsDialog &)> action;
        int response;
        PkXID choice;
    } cases[] = {
        {"Connect untouched", "node.eight", [](ChannelsDialog &d) { d.connectButton->clicked(); }, Gtk::RESPONSE_OK,
         channel_key(0)},
        {"closed by the window manager", "node.eight", [](ChannelsDialog &d) { gtk_window_close(GTK_WINDOW(d.gobj())); },
         Gtk::RESPONSE_DELETE_EVENT, PkXID()},
        // A streamer that announces no channel: nothing to choose, nothing
        // given back even on "Connect".
        {"no channels", "node.plain", [](ChannelsDialog &d) { d.connectButton->clicked(); }, Gtk::RESPONSE_OK,
         PkXID()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        shown = false;
        rows.clear();
        answer(c.action);
        int response = 0;
        auto dialog = run(c.node, response);
        ASSERT_TRUE(dialog);
        EXPECT_TRUE(shown);
        EXPECT_EQ(response, c.response);
        EXPECT_EQ(dialog->selectedChannel, c.choice);
    }
}

// A streamer the centre does not know: -1 at once, nothing shown.
TEST_F(ChannelsDialogTest, UnknownStreamer)
{
    int response = 0;
    auto dialog = run("node.unknown", response);
    ASSERT_TRUE(dialog);
    EXPECT_EQ(response, -1);
    EXPECT_FALSE(dialog->get_visible());
    EXPECT_EQ(dialog->selectedChannel, PkXID());
}

}  // namespace
