// The demo world served by the service's BrowseRouter in the test process, with the callers' client
// map checked: the start shared by the router's direct-road suites. Called from SetUpTestSuite.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "platform/config/zyplatforminfo.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynetwork_server.h"
#include "service/browserouterthread.h"
#include "service/fastbrowsehm_api.h"
#include "tests/platform/db/tempdir.h"

namespace routertest {

// Creates the demo world in `dir`, opens its database, turns the client-map check on, starts the
// service and waits for BrowseRouter's port; `routerHost` is the mangled name callers connect to.
inline void startRouterWorld(TempDir& dir, hubdemo::DemoWorld& world, std::string& routerHost) {
    std::string error;
    ASSERT_TRUE(hubdemo::createDemoWorld(dir.file("demo"), world, &error)) << error;
    ASSERT_EQ(hubdb::openHubDatabase(world.databasePath, &error), 0) << error;
    // Callers' client maps are checked: a request without a token needs a known calling client.
    std::ofstream(dir.file("keys")) << "HM_CHECK_CLIENT_MAP = 1\n";
    ASSERT_TRUE(ZYPlatformInfo::setString("~Indexing", "sIdxConfigKeyFile", dir.file("keys")));
    ASSERT_EQ(fastBrowseHMInitialize(), 1);
    CZyNetworkServer* server = g_poBrowseRouterThreadHM->getSessionServer();
    const CUxError& listening = server->Listening().get();
    ASSERT_FALSE(listening.IsError()) << "BrowseRouter did not start listening: " << listening.GetErrorText();
    ASSERT_GT(server->GetPort(), 0);
    routerHost = MangleHostName("127.0.0.1", "hubmaster", 0, server->GetPort());
}

}  // namespace routertest
