// The main window on the private Xvfb with a real engine node under the
// facade (no network): built by the window factory from its definition,
// driven through its buttons, its listener operations (called from a
// worker thread, as the services call them) and relayed node events posted
// on the engine's event topic.
#include <gtest/gtest.h>

#include <gdk/gdkkeysyms.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/resources.h"
#include "core/clock.h"
#include "core/names.h"
#include "engine/codes.h"
#include "engine/node.h"
#include "engine/relay.h"
#include "gui/toolkit/gtk_env.h"
#include "gui/toolkit/window_fixtures.h"
#include "services/bind_channels.h"
#include "services/config.h"
#include "services/pump.h"
#include "services/texts.h"
#include "windows/info/instruction_window.h"
#include "windows/info/message_dialog.h"
#include "windows/main/front_window.h"

namespace {

// The facade's engine node and the event pump live for the whole program;
// at its end they are taken down as the application's shut-down does.
class EngineEnvironment : public ::testing::Environment {
public:
    void TearDown() override
    {
        PkDeamProcessing::instance()->removeListener(PkCenterNotify::instance());
        PkDeamProcessing::shutdown();
        PkDeam::shutdown();
    }
};
const ::testing::Environment *const kEnvironment = ::testing::AddGlobalTestEnvironment(new EngineEnvironment);

PkXID id_of(const std::string &text)
{
    CoreName name;
    core_name_format(&name, "%s", text.c_str());
    return PkXID(name);
}

template <typename Record>
std::vector<uint8_t> bytes_of(const Record &record)
{
    std::vector<uint8_t> bytes(sizeof(record));
    memcpy(bytes.data(), &record, sizeof(record));
    return bytes;
}

void post_event(uint32_t code, const std::vector<uint8_t> &data)
{
    ASSERT_NE(engine_post_event(code, data.data(), data.size()), 0u);
}

void peer_field(const std::string &node, std::string_view key, const std::string &value)
{
    EngineRelayFieldChange header{};
    core_name_format(&header.nodeId, "%s", node.c_str());
    core_name_format(&header.name, "%s", std::string(key).c_str());
    header.length = value.size();
    std::vector<uint8_t> data = bytes_of(header);
    data.insert(data.end(), value.begin(), value.end());
    post_event(ENGINE_EVT_NODE_FIELD_CHANGED, data);
}

// A node as the relay reports it: ready, its fields, then its first address.
void peer_online(const std::string &node, const std::string &firstName, const std::string &lastName,
                 std::string_view direction)
{
    EngineRelayNodeNames names{};
    core_name_format(&names.nodeId, "%s", node.c_str());
    core_name_format(&names.peerName, "%s.peer", node.c_str());
    post_event(ENGINE_EVT_NODE_READY, bytes_of(names));
    peer_field(node, PkConstants::kNodeFirstNameField, firstName);
    peer_field(node, PkConstants::kNodeLastNameField, lastName);
    peer_field(node, PkConstants::kNodeBinderDirectionField, std::string(direction));
    EnginePeerRecord record{};
    record.nodeId = names.nodeId;
    core_name_format(&record.sessionName, "ssn.%s", node.c_str());
    record.peerName = names.peerName;
    record.address = 0x7F000001;
    record.port = 4000;
    post_event(ENGINE_EVT_NODE_ONLINE, bytes_of(record));
}

void peer_offline(const std::string &node)
{
    EnginePeerRecord record{};
    core_name_format(&record.nodeId, "%s", node.c_str());
    core_name_format(&record.sessionName, "ssn.%s", node.c_str());
    post_event(ENGINE_EVT_NODE_OFFLINE, bytes_of(record));
}

// Runs the operation on a thread of its own, as a service worker would.
template <class Operation>
void from_worker(Operation operation)
{
    std::thread worker(operation);
    worker.join();
}

class FrontWindowTest : public PiWindowTest {
protected:
    void SetUp() override
    {
        PiWindowTest::SetUp();
        if (IsSkipped()) return;
        html_register_resource();
        // Streaming possible: a first start shows no viewer-only notice.
        PkConfig::instance()->sendRoles = 2;
        window = PiApplication::open<FrontWindow>(gtkApp, nullptr);
        ASSERT_TRUE(window);
    }
    void TearDown() override
    {
        if (window) window->hide();
        window.reset();
        releaseWindows();
        PkBinder::instance()->mode = PK_BINDER_MODE_IDLE;
    }

    // The tiles in list order.
    std::vector<FrontWindowUser *> tiles()
    {
        std::vector<FrontWindowUser *> found;
        for (Gtk::Widget *child : window->usersBox->get_children()) {
            auto *cell = dynamic_cast<Gtk::FlowBoxChild *>(child);
            if (auto *tile = cell ? dynamic_cast<FrontWindowUser *>(cell->get_child()) : nullptr)
                found.push_back(tile);
        }
        return found;
    }

    // Delivers a presence state and waits for the status line to change.
    void presence(int state)
    {
        const Glib::ustring before = window->discoveryStatus->get_text();
        from_worker([this, state] { window->onDiscoveryState(state); });
        pi_test_iterate_until([&] { return window->discoveryStatus->get_text() != before; });
    }

    // Answers the next message box once it is shown; what it said.
    struct Box {
        bool shown = false;
        Glib::ustring title, text;
    };
    void answerNextBox(Box &box)
    {
        Glib::signal_timeout().connect(
            [this, &box] {
                std::shared_ptr<MessageDialog> dialog = app->findWindow<MessageDialog>(nullptr, nullptr);
                if (!dialog || !dialog->get_visible()) return true;
                box.shown = true;
                box.title = dialog->title;
                box.text = dialog->text;
                dialog->response(Gtk::RESPONSE_OK);
                return false;
            },
            20);
    }

    std::vector<Gtk::Widget *> labelButtons()
    {
        return {window->p2mRightButton,      window->incomingRightButton, window->instructionRightButton,
                window->settingsRightButton, window->evaluateRightButton, window->updateRightButton,
                window->aboutRightButton};
    }

    std::shared_ptr<FrontWindow> window;
};

// Right after its run the menu is collapsed and insensitive, the texts are
// the translated commands, and the window is listed and shown.
TEST_F(FrontWindowTest, RunShowsACollapsedInsensitiveMenu)
{
    EXPECT_TRUE(window->get_visible());
    EXPECT_EQ(app->findWindow<FrontWindow>(nullptr, nullptr), window);
    EXPECT_EQ(window->leftButtons.size(), 8u);
    EXPECT_EQ(window->rightButtons.size(), 7u);
    for (Gtk::Widget *widget : window->leftButtons) EXPECT_FALSE(widget->get_sensitive());
    for (Gtk::Widget *widget : labelButtons()) {
        EXPECT_FALSE(widget->get_sensitive());
        EXPECT_FALSE(widget->get_visible());
    }
    EXPECT_FALSE(window->menuRightLabel->get_visible());
    EXPECT_FALSE(window->viewerLabel->get_visible());
    EXPECT_EQ(window->p2mRightButton->get_label(), "Multichannel streamer");
    EXPECT_EQ(window->evaluateButton->get_tooltip_text(), "Performance evaluation");
    EXPECT_EQ(window->menuButton->get_tooltip_text(), "Options");
    EXPECT_EQ(window->discoveryStatus->get_text(), VeltranaAppInfo().initializingText());
    ASSERT_NE(window->splashBox, nullptr);
}

// The toggle shows and hides exactly the tracked label buttons, with the
// menu label visible while expanded; tracking twice or untracking what is
// not tracked changes nothing; an untracked pair is left alone.
TEST_F(FrontWindowTest, MenuToggleFollowsTheTrackedLabelButtons)
{
    window->trackButtons(window->p2mButton, window->p2mRightButton);
    window->untrackButtons(window->menuImage, window->menuRightLabel);
    EXPECT_EQ(window->leftButtons.size(), 8u);
    EXPECT_EQ(window->rightButtons.size(), 7u);

    window->untrackButtons(window->p2mButton, window->p2mRightButton);
    window->menuButton->clicked();
    for (Gtk::Widget *widget : window->rightButtons) EXPECT_TRUE(widget->get_visible());
    EXPECT_TRUE(window->menuRightLabel->get_visible());
    EXPECT_FALSE(window->p2mRightButton->get_visible());

    // A tracked button hidden while the others show comes back on the next
    // toggle, while the others go.
    window->aboutRightButton->hide();
    window->menuButton->clicked();
    EXPECT_TRUE(window->aboutRightButton->get_visible());
    EXPECT_FALSE(window->settingsRightButton->get_visible());
    EXPECT_FALSE(window->menuRightLabel->get_visible());
    EXPECT_FALSE(window->p2mRightButton->get_visible());
}

// Presence states: online shows the discovery text and picture; offline
// and a failed network clear the tiles down to the empty one; an unknown
// state changes nothing. The first state ends the splash 2 s later and
// enables the menu.
TEST_F(FrontWindowTest, PresenceStatesAndTheEndOfStartUp)
{
    VeltranaAppInfo info;
    presence(FRONT_PRESENCE_ONLINE);
    EXPECT_EQ(window->discoveryStatus->get_text(), info.discoveryText());
    EXPECT_TRUE(window->discoveryImage->get_visible());
    EXPECT_TRUE(window->presenceShown);

    window->addUserTileWidget(id_of("node.someone"));
    presence(FRONT_PRESENCE_OFFLINE);
    EXPECT_EQ(window->discoveryStatus->get_text(), info.pleaseWaitText());
    EXPECT_FALSE(window->discoveryImage->get_visible());
    ASSERT_EQ(tiles().size(), 1u);
    EXPECT_TRUE(tiles()[0]->peerId.isNull());
    EXPECT_EQ(tiles()[0]->nameLabel->get_text(), "No streamers");
    EXPECT_FALSE(tiles()[0]->badgeImage->get_visible());

    presence(FRONT_PRESENCE_NO_NETWORK);
    EXPECT_EQ(window->discoveryStatus->get_text(), info.noConnectionText());
    EXPECT_EQ(tiles().size(), 1u);

    from_worker([this] { window->onDiscoveryState(7); });
    for (int i = 0; i < 5; i++) pi_test_iterate_once(0);
    EXPECT_EQ(window->discoveryStatus->get_text(), info.noConnectionText());

    ASSERT_TRUE(pi_test_iterate_until([&] { return window->splashBox == nullptr; }));
    for (Gtk::Widget *widget : window->leftButtons) EXPECT_TRUE(widget->get_sensitive());
    EXPECT_TRUE(window->updateTimer.connected());
}

// No presence state within 90 s: "Error", the error box, and a menu without
// the streaming, evaluation, incoming and settings pairs, enabled 2 s later.
TEST_F(FrontWindowTest, StartUpWatchdogReportsAnEngineThatNeverAnswers)
{
    Box box;
    answerNextBox(box);
    core_clock_test_advance_ms(FRONT_STARTUP_LIMIT_MS + 1000);
    ASSERT_TRUE(pi_test_iterate_until([&] { return box.shown; }));
    EXPECT_EQ(box.title, "Error");
    EXPECT_EQ(box.text, "Failed on start application");
    EXPECT_EQ(window->discoveryStatus->get_text(), "Error");
    for (Gtk::Widget *gone : {static_cast<Gtk::Widget *>(window->p2mButton), static_cast<Gtk::Widget *>(window->evaluateButton),
                              static_cast<Gtk::Widget *>(window->incomingButton),
                              static_cast<Gtk::Widget *>(window->settingsButton)})
        EXPECT_FALSE(gone->get_visible());
    EXPECT_EQ(window->leftButtons.size(), 4u);
    EXPECT_EQ(window->rightButtons.size(), 3u);
    ASSERT_EQ(tiles().size(), 1u);

    ASSERT_TRUE(pi_test_iterate_until([&] { return window->splashBox == nullptr; }));
    EXPECT_TRUE(window->aboutButton->get_sensitive());
    EXPECT_FALSE(window->p2mButton->get_sensitive());
}

// Peers through the engine's relayed events: a node that accepts
// connections replaces the empty tile with its name; an outgoing-only node
// gets none; the last peer going brings the empty tile back.
TEST_F(FrontWindowTest, PeerTilesFollowTheNodeList)
{
    presence(FRONT_PRESENCE_OFFLINE);
    ASSERT_EQ(tiles().size(), 1u);

    peer_online("node.tile.out", "Out", "Bound", PkConstants::kDirectionOutgoing);
    peer_online("node.tile.both", "Ada", "Byron", PkConstants::kDirectionBidirectional);
    ASSERT_TRUE(pi_test_iterate_until([&] { return !tiles().empty() && !tiles()[0]->peerId.isNull(); }));
    ASSERT_EQ(tiles().size(), 1u);
    EXPECT_EQ(tiles()[0]->peerId, id_of("node.tile.both"));
    EXPECT_EQ(tiles()[0]->nameLabel->get_text(), "Ada Byron");
    EXPECT_EQ(window->findUserTile(id_of("node.tile.out")), nullptr);

    // A name field reaches the tile only through the user id or avatar
    // field's change, which re-renders name and avatar.
    peer_field("node.tile.both", PkConstants::kNodeLastNameField, "Lovelace");
    peer_field("node.tile.both", PkConstants::kNodeStatusField, "status.online.value");
    for (int i = 0; i < 20; i++) pi_test_iterate_once(5);
    EXPECT_EQ(tiles()[0]->nameLabel->get_text(), "Ada Byron");
    peer_field("node.tile.both", PkConstants::kNodeUserIdField, "ada.user");
    ASSERT_TRUE(pi_test_iterate_until([&] { return tiles()[0]->nameLabel->get_text() == "Ada Lovelace"; }));

    peer_offline("node.tile.both");
    ASSERT_TRUE(pi_test_iterate_until([&] { return tiles().size() == 1 && tiles()[0]->peerId.isNull(); }));
    peer_offline("node.tile.out");
}

// A tile is sized from the window's level; a list that changes keeps the
// order of adding, and removing deletes only the first tile of an id.
TEST_F(FrontWindowTest, TileGeometryAndTheTileList)
{
    const struct {
        AppSize level;
        int tile, badge, strip, font;
    } cases[] = {
        {{1280, 720}, 240, 30, 48, 24},
        {{640, 480}, 160, 20, 32, 16},
        {{320, 240}, 80, 10, 16, 8},
    };
    for (const auto &c : cases) {
        const FrontTileGeometry g = FrontTileGeometry::of(c.level);
        EXPECT_EQ(g.tile, c.tile) << c.level.height;
        EXPECT_EQ(g.badge, c.badge);
        EXPECT_EQ(g.stripHeight, c.strip);
        EXPECT_EQ(g.fontSize, c.font);
    }

    window->addUserTileWidget(PkXID());
    window->insertUserTile(id_of("node.a"));
    window->insertUserTile(id_of("node.b"));
    window->insertUserTile(id_of("node.a"));
    ASSERT_EQ(tiles().size(), 3u);
    EXPECT_EQ(tiles()[1]->peerId, id_of("node.b"));
    window->removeUserTileWidget(id_of("node.a"));
    ASSERT_EQ(tiles().size(), 2u);
    EXPECT_EQ(tiles()[0]->peerId, id_of("node.b"));
    EXPECT_EQ(tiles()[1]->peerId, id_of("node.a"));
    window->clearUserTiles();
    EXPECT_TRUE(tiles().empty());
}

// The empty tile stands for the instructions: Space or Return on it, or a
// click, opens the instruction window once and raises it afterwards; other
// keys do nothing.
TEST_F(FrontWindowTest, EmptyTileOpensTheInstructionsOnce)
{
    window->addUserTileWidget(PkXID());
    Gtk::FlowBoxChild *cell = window->usersBox->get_child_at_index(0);
    ASSERT_NE(cell, nullptr);
    window->usersBox->set_focus_child(*cell);
    const auto instructions = [this] {
        size_t count = 0;
        app->forEachWindow<InstructionWindow>([&count](std::shared_ptr<InstructionWindow>) { count++; });
        return count;
    };
    GdkEventKey key{};
    key.type = GDK_KEY_PRESS;
    key.keyval = GDK_KEY_a;
    EXPECT_FALSE(window->onUsersKeyPress(&key));
    EXPECT_EQ(instructions(), 0u);
    key.keyval = GDK_KEY_space;
    EXPECT_FALSE(window->onUsersKeyPress(&key));
    EXPECT_EQ(instructions(), 1u);
    key.keyval = GDK_KEY_Return;
    window->onUsersKeyPress(&key);
    window->onTileReleased(nullptr, tiles()[0]);
    window->instructionRightButton->clicked();
    EXPECT_EQ(instructions(), 1u);
}

// Connection refusals are told in a box: during a broadcast, and while a
// binding is active; a peer unknown to the node list is refused silently.
TEST_F(FrontWindowTest, ConnectionStartRefusals)
{
    PkBinder::instance()->mode = PK_BINDER_MODE_BROADCAST;
    Box box;
    answerNextBox(box);
    window->connectToUser(id_of("node.somewhere"));
    EXPECT_TRUE(box.shown);
    EXPECT_EQ(box.title, "Information");
    EXPECT_EQ(box.text, "You can not establish outgoing connection in multichannel mode.");

    PkBinder::instance()->mode = PK_BINDER_MODE_IDLE;
    window->connectToUser(id_of("node.unknown"));
    EXPECT_EQ(app->findWindow<MessageDialog>(nullptr, nullptr), nullptr);
}

// The incoming command without an incoming connection tells so.
TEST_F(FrontWindowTest, IncomingWithoutAConnectionTellsSo)
{
    Box box;
    answerNextBox(box);
    window->incomingRightButton->clicked();
    EXPECT_TRUE(box.shown);
    EXPECT_EQ(box.title, "Incoming connection");
    EXPECT_EQ(box.text, "No active incoming connection.");
}

// The engine's texts reach a viewer's disconnection joined by one blank,
// message first, and are emptied by it.
TEST(FrontWindowTexts, JoinedByOneBlankInOrderThenEmptied)
{
    const struct {
        const char *message, *streamer, *viewer, *joined;
    } cases[] = {
        {"Peer left", "", "Decoder lost", "Peer left Decoder lost"},
        {"", "Encoder failed", "", "Encoder failed"},
        {"a", "b", "c", "a b c"},
        {"", "", "", ""},
    };
    for (const auto &c : cases) {
        std::string message = c.message, streamer = c.streamer, viewer = c.viewer;
        EXPECT_EQ(front_join_engine_texts(message, streamer, viewer), c.joined);
        EXPECT_TRUE(message.empty() && streamer.empty() && viewer.empty());
    }
}

// The window's stored texts, written on a worker, are used up by the next
// disconnection.
TEST_F(FrontWindowTest, EngineTextsAreUsedUpByADisconnection)
{
    from_worker([this] {
        window->onMessage("Peer left");
        window->onViewerError("Decoder lost");
    });
    auto bind = std::make_shared<PkMediaBindDescriptor>();
    bind->kind = 1;
    window->showViewerDisconnected(std::make_shared<std::string>("Ada"), bind);
    EXPECT_TRUE(window->lastMessage.empty());
    EXPECT_TRUE(window->lastViewerError.empty());
    EXPECT_TRUE(window->lastStreamerError.empty());
}

// An environment change acts only for the running capture device of its
// kind, for any device of another kind, and never with changed 0; a match
// during a broadcast clears the broadcast setting.
TEST_F(FrontWindowTest, EnvironmentChangeActsOnlyForTheRunningDevice)
{
    window->audioCaptureId = id_of("mic.running");
    const struct {
        int kind, changed;
        const char *device;
        bool acts;
    } cases[] = {
        {0, 1, "mic.other", false},
        {0, 0, "mic.running", false},
        {0, 1, "mic.running", true},
        {-1, 1, "anything", true},
    };
    for (const auto &c : cases) {
        PkBinder::instance()->mode = PK_BINDER_MODE_BROADCAST;
        PkConfig::instance()->broadcastChannels = 4;
        window->showEnvironmentChanged(std::make_shared<int>(c.kind), std::make_shared<int>(c.changed),
                                       std::make_shared<PkXID>(id_of(c.device)));
        EXPECT_EQ(PkConfig::instance()->broadcastChannels == 0, c.acts) << c.kind << " " << c.device;
    }
    PkConfig::instance()->broadcastChannels = 0;
}

// The theme's colours stack over the earlier ones (the last rule wins), and
// a size crossing into another level relayouts the tiles; a few pixels
// more within the level change nothing.
TEST_F(FrontWindowTest, ThemeAndSizeLevelRestyle)
{
    const auto background = [](Gtk::Widget *widget) {
        GdkRGBA colour{};
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        gtk_style_context_get_background_color(gtk_widget_get_style_context(widget->gobj()), GTK_STATE_FLAG_NORMAL,
                                               &colour);
        G_GNUC_END_IGNORE_DEPRECATIONS
        return static_cast<unsigned>(colour.red * 255 + 0.5) << 16 | static_cast<unsigned>(colour.green * 255 + 0.5) << 8 |
               static_cast<unsigned>(colour.blue * 255 + 0.5);
    };
    window->onThemeChanged(0);
    EXPECT_EQ(background(window->sideGrid), 0xE4E4E2u);
    EXPECT_EQ(background(window->mainBox), 0xF0F0F0u);
    window->onThemeChanged(1);
    EXPECT_EQ(background(window->sideGrid), 0x101010u);
    EXPECT_EQ(background(window->usersViewport), 0x212121u);

    ASSERT_GE(window->scaler.levels.size(), 3u);
    window->addUserTileWidget(PkXID());
    FrontWindowUser *tile = tiles()[0];
    const AppSize from = window->scaler.currentLevel;
    const AppSize to = window->scaler.levels[2] == from ? window->scaler.levels[0] : window->scaler.levels[2];
    Gtk::Allocation allocation(0, 0, static_cast<int>(to.width), static_cast<int>(to.height));
    window->onSizeAllocate(allocation);
    int width = 0, height = 0;
    tile->overlay->get_size_request(width, height);
    EXPECT_EQ(height, FrontTileGeometry::of(to).tile);

    Gtk::Allocation wider(0, 0, static_cast<int>(to.width) + 3, static_cast<int>(to.height));
    tile->overlay->set_size_request(1, 1);
    window->onSizeAllocate(wider);
    tile->overlay->get_size_request(width, height);
    EXPECT_EQ(height, 1);
}

// Hiding the main window stops its timers, clears its tiles and drops it
// from the window list.
TEST_F(FrontWindowTest, HideTakesTheWindowDown)
{
    window->addUserTileWidget(PkXID());
    window->hide();
    EXPECT_FALSE(window->startupTimer.connected());
    EXPECT_TRUE(tiles().empty());
    EXPECT_EQ(app->findWindow<FrontWindow>(nullptr, nullptr), nullptr);
}

}  // namespace
