// The library as the host loads it: dlopen, initialise (the three threads start and "BrowseRouter"
// listens), clean up (every thread joined, the listener closed, the freed objects' pointers null), and
// the entry points refuse afterwards.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "platform/net/zyd_listener.h"
#include "platform/tasks/evrestoretask.h"
#include "tests/support/process/processprobe.h"

namespace {

using InitializeFn = int (*)();
using ProcessFn = int (*)(EvMultiEntityRestoreTask*, bool, databrowse::ForceUseIndexType,
                          databrowse::BrowseRequest*);
using CleanUpFn = int (*)();
using WaitForListenerFn = int (*)(int, char*, unsigned long);

void* pointerAt(void* library, const char* name) {
    void* symbol = dlsym(library, name);
    return symbol ? *static_cast<void**>(symbol) : reinterpret_cast<void*>(-1);
}

}  // namespace

TEST(ServiceLibrary, StartsAndCleansUpAsTheHostDrivesIt) {
    const char* binary = std::getenv("HUB_BINARY_DIR");
    ASSERT_NE(binary, nullptr);
    // A sanitizer's runtime starts a thread of its own with the first thread of the process: let it.
    std::thread([] {}).join();
    const int threadsBefore = hubtest::threadCount();
    const std::set<int> before = hubtest::threadIds();

    void* library = dlopen((std::string(binary) + "/libfastbrowsehm.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto initialize = reinterpret_cast<InitializeFn>(dlsym(library, "fastBrowseHMInitialize"));
    auto process = reinterpret_cast<ProcessFn>(dlsym(library, "fastBrowseHMProcessRequestMultiEntity"));
    auto cleanUp = reinterpret_cast<CleanUpFn>(dlsym(library, "fastBrowseHMCleanUp"));
    auto waitForListener = reinterpret_cast<WaitForListenerFn>(dlsym(library, "fastBrowseHMWaitForListener"));
    ASSERT_TRUE(initialize && process && cleanUp && waitForListener);
    char reason[128] = "";
    EXPECT_EQ(waitForListener(0, reason, sizeof reason), 0);
    EXPECT_STREQ(reason, "the service was not started");
    EXPECT_EQ(hubtest::threadCount(), threadsBefore) << "no thread runs after loading";
    EXPECT_NE(pointerAt(library, "g_poControllerThreadHM"), nullptr);

    ASSERT_EQ(initialize(), 1);
    EXPECT_GE(hubtest::threadCount(), threadsBefore + 3);
    auto listener = CZydListener::machineListener();
    const int port = waitForListener(60, reason, sizeof reason);
    ASSERT_GT(port, 0) << reason;
    EXPECT_TRUE(listener->running());
    EXPECT_EQ(listener->port(), port);
    EXPECT_TRUE(hubtest::canConnect(port));
    EXPECT_EQ(initialize(), 1) << "a second start finds the service running";
    EXPECT_TRUE(listener->running());
    EXPECT_EQ(listener->port(), port) << "and starts nothing again";

    EvMultiEntityRestoreTask stop;
    stop.setBrowseOpType(databrowse::BROWSE_OP_STOP);
    EXPECT_EQ(process(&stop, false, databrowse::FORCE_USE_INDEX_NONE, nullptr), 0);
    EXPECT_EQ(process(nullptr, false, databrowse::FORCE_USE_INDEX_NONE, nullptr), 0);

    EXPECT_EQ(cleanUp(), 1);
    EXPECT_EQ(hubtest::threadsBeyondOnceJoined(before), 0u) << "every thread started was joined";
    EXPECT_FALSE(listener->running());
    EXPECT_EQ(waitForListener(60, reason, sizeof reason), 0) << "answered at once";
    EXPECT_STREQ(reason, "the service was cleaned up");
    EXPECT_FALSE(hubtest::canConnect(port));
    for (const char* freed :
         {"g_poControllerThreadHM", "g_poBrowseRouterThreadHM", "g_poSessionPool", "g_pLogInstance"})
        EXPECT_EQ(pointerAt(library, freed), nullptr) << freed;
    for (const char* kept : {"g_poAdminThreadHM", "g_poConfMgr"}) {
        void* p = pointerAt(library, kept);
        EXPECT_NE(p, nullptr) << kept;
        EXPECT_NE(p, reinterpret_cast<void*>(-1)) << kept;
    }

    EvMultiEntityRestoreTask browse;
    EXPECT_EQ(process(&browse, false, databrowse::FORCE_USE_INDEX_NONE, nullptr), 0);
    EXPECT_EQ(initialize(), 0) << "a cleaned-up service cannot serve: no success is reported";
    EXPECT_EQ(cleanUp(), 1);
    EXPECT_EQ(hubtest::threadsBeyondOnceJoined(before), 0u);
}
