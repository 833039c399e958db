// A stop sent straight to BrowseRouter, as a caller without a certificate (with a user's token, or with
// none): the tests' own way to judge the router's stop rule. Header-only; the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/msg/msg_classes.h"
#include "platform/net/zynetwork.h"
#include "tests/support/tls/testpki.h"

namespace e2estop {

// Sends the stop of `session` (with `token` when given) to the router on `port`, as the machine `peer`
// names; back once the router has handled what came before on this connection (it answers no stop).
inline void sendRouterStop(int port, const std::string& session, const std::string& token = "",
                           const char* peer = hubtest::kAnonymous) {
    using R = databrowse::BrowseRequest::f;
    databrowse::BrowseRequest stop;
    stop.setint64(R::opType, databrowse::BROWSE_OP_STOP);
    stop.getObjectAccessor(R::session, true)->setstring(databrowse::BrowseSession::f::sessionId, session);
    if (!token.empty()) stop.setstring(R::token, token);
    CZyNetwork router;
    bool timedOut = false;
    ASSERT_FALSE(
        router.Connect(TZyNetAddress{"127.0.0.1", port}, "BrowseRouter", peer, 10, timedOut).IsError());
    ASSERT_FALSE(router.SendXMLMessage(stop, 0, 10, timedOut).IsError());
    ignoreResult(router.Disconnect(30, timedOut), "the stop was sent; the router answers none");
}

}  // namespace e2estop
