// The host program run for real on a demo world: it starts the service, "BrowseRouter" listens, and a
// SIGTERM stops it cleanly with no thread and no listener left; a missing database is a clear error, and
// so is data that another user cannot read, to every tool.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/hubdemo/hubdemo.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/consolerun.h"
#include "tests/support/process/processprobe.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The host run to its end: its exit status (-1 when it was still running after 30 s).
int finish(hubtest::CChildProcess& run) {
    EXPECT_TRUE(run.waitExit(30s)) << "the host still runs: " << run.output();
    return run.exitStatus();
}

class HubmasterProcess : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("hubmaster-e2e-" + std::to_string(getpid()));
        fs::remove_all(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }
    fs::path m_dir;
};

}  // namespace

TEST_F(HubmasterProcess, ServesTheDemoWorldAndStopsCleanlyOnSigterm) {
    hubdemo::DemoWorld world;
    std::string error;
    ASSERT_TRUE(hubdemo::createDemoWorld(m_dir.string(), world, &error)) << error;

    hubtest::CChildProcess run("tools/hubmaster/hubmaster", {"--data", m_dir.string(), "--port", "0"});
    const std::string marker = "BrowseRouter listening on 127.0.0.1:";
    ASSERT_TRUE(run.waitFor(marker, 30s)) << run.output();
    const int port = static_cast<int>(run.numberAfter(marker));
    ASSERT_GT(port, 0) << run.output();
    EXPECT_TRUE(hubtest::canConnect(port));
    EXPECT_NE(run.output().find("hubmaster: log " + m_dir.string()), std::string::npos) << run.output();

    run.signal(SIGTERM);
    EXPECT_EQ(finish(run), 0) << run.output();
    EXPECT_NE(run.output().find(
                  "stopped cleanly: the browse service cleaned up, no thread of it left, listener closed"),
              std::string::npos)
        << run.output();
    EXPECT_FALSE(hubtest::canConnect(port));
}

TEST_F(HubmasterProcess, MissingDatabaseIsAClearError) {
    fs::create_directories(m_dir);
    hubtest::CChildProcess run("tools/hubmaster/hubmaster", {"--data", m_dir.string()});
    EXPECT_EQ(finish(run), 1);
    EXPECT_NE(run.output().find("no Hubmaster database at"), std::string::npos) << run.output();
}

TEST_F(HubmasterProcess, MissingLibraryIsAClearError) {
    hubdemo::DemoWorld world;
    ASSERT_TRUE(hubdemo::createDemoWorld(m_dir.string(), world));
    hubtest::CChildProcess run("tools/hubmaster/hubmaster",
                               {"--data", m_dir.string(), "--lib", (m_dir / "missing.so").string()});
    EXPECT_EQ(finish(run), 1);
    EXPECT_NE(run.output().find("cannot load the browse service"), std::string::npos) << run.output();
}

// The Hubmaster's data is its owner's only: another local user's tools name what they cannot read and
// the desk console's way, with exit status 2, and never abort.
TEST_F(HubmasterProcess, DataAnotherUserCannotReadIsAClearError) {
    hubdemo::DemoWorld world;
    ASSERT_TRUE(hubdemo::createDemoWorld(m_dir.string(), world));
    // Root reads everything: the tools run as nobody; anyone else shuts the folder to its owner too.
    const bool root = geteuid() == 0;
    fs::permissions(m_dir, root ? fs::perms::owner_all : fs::perms::none);
    const std::string as = root ? "setpriv --reuid=nobody --regid=nogroup --clear-groups " : "";
    const std::string bin = hubtest::binaryDir() + "/tools/", data = m_dir.string();
    for (const std::string& line :
         {bin + "hubmaster/hubmaster token --user alice --data " + data + " --out " + data + "/t",
          bin + "browse/browse list --client client1 --subclient 1 --token T --data " + data,
          "env BROWSE_DATA=" + data + " " + bin +
              "browse/browse count --client client1 --subclient 1 --token T"}) {
        const hubtest::TConsoleRun run =
            hubtest::runConsole(as + line, (m_dir.parent_path() / "err").string());
        EXPECT_EQ(run.status, 2) << line << ": " << run.err;
        EXPECT_NE(run.err.find(data + ": cannot be read"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("--ca"), std::string::npos) << run.err;
    }
    fs::permissions(m_dir, fs::perms::owner_all);
}
