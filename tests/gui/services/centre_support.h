// The notification centre fed by a real engine node, for the suites that
// make peers appear through the node's own events: the node and the centre
// for the whole program, and the node-ready event that brings a streamer
// into the centre's node list. Used from the test's main thread; the event
// reaches the centre later, through the event pump, so callers wait for
// what they need to see.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/names.h"
#include "engine/codes.h"
#include "engine/node.h"
#include "engine/relay.h"
#include "services/centre.h"
#include "services/pump.h"

namespace centre_support {

// The event pump subscribes to the event topic once per process, so one
// engine node runs for the whole program; at the end the centre leaves the
// pump and the pump is shut down, as the application's shut-down does it.
class CentreEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        ASSERT_EQ(engine_node_start(0), CORE_OK);
        PkCenterNotify::instance();
    }
    void TearDown() override
    {
        PkDeamProcessing::instance()->removeListener(PkCenterNotify::instance());
        PkDeamProcessing::shutdown();
        EngineNode *node = engine_node_running();
        engine_node_stop(&node);
    }
};

inline CoreName name_of(const std::string &text)
{
    CoreName name;
    core_name_format(&name, "%s", text.c_str());
    return name;
}

// Posts the node-ready event of `node`, whose user is `peer`, as the peer
// relay store posts it; the test fails when the event cannot be posted.
inline void post_node_ready(const std::string &node, const std::string &peer)
{
    EngineRelayNodeNames names{};
    names.nodeId = name_of(node);
    names.peerName = name_of(peer);
    ASSERT_NE(engine_post_event(ENGINE_EVT_NODE_READY, &names, sizeof(names)), 0u);
}

}  // namespace centre_support
