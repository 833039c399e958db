// The host stopped while a browse of its own road is still in flight, through the real processes: the
// host program, a media agent holding the answers of the test's sessions after their first items, and
// consoles. Whatever the browse had started in the service (a mining instance launched for it, sessions
// it borrowed) ends with the service's clean-up: the host stops cleanly, with no thread of the service
// left behind.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "platform/hubdemo/hubdemo.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/consolerun.h"
#include "tests/support/process/demosystem.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kHeldPrefix = "held-";

class HostStop : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(hubtest::demoWorldIn(m_dir.file("demo"), m_world), "");
        m_agent = hubtest::startDemoAgent(m_world, "mediaagent1", m_dir.file("mediaagent1.db"), m_dir.path(),
                                          {"--index-service", "started", "--hold-sessions", kHeldPrefix});
        m_host = hubtest::startDemoHost(m_world, m_dir.file("demo"), m_hostPort);
    }

    // The console's `args` as the administrator, in the background; its run lands in `run`.
    std::thread console(const std::string& args, const std::string& errName, hubtest::TConsoleRun& run) {
        const std::string line = hubtest::binaryDir() + "/tools/browse/browse " + args + " --data " +
                                 m_dir.file("demo") + " --user admin --ma-host 127.0.0.1 --timeout 60";
        const std::string errFile = m_dir.file(errName);
        return std::thread([line, errFile, &run] { run = hubtest::runConsole(line, errFile); });
    }
    std::string lastDay() const {
        return std::to_string(m_world.firstBackupTime + 86400LL * m_world.backupDays);
    }
    // The console's `args` held in flight at the media agent under `session` when the host stops: the
    // host stops cleanly, and the console learns that its browse did not end whole.
    void stopWhileHeld(const std::string& args, const std::string& session) {
        hubtest::TConsoleRun held;
        std::thread browsing = console(args + " --session " + session, session, held);
        EXPECT_TRUE(m_agent->waitFor("session " + session + " held after", 60s)) << m_agent->output();
        hostStopsCleanly();
        browsing.join();
        EXPECT_NE(held.status, 0) << held.out << held.err;
    }
    // Stops the host; it must say it stopped cleanly and exit 0.
    void hostStopsCleanly() {
        EXPECT_EQ(m_host->stop("hubmaster: stopped"), 0) << m_host->output();
        EXPECT_NE(
            m_host->output().find(
                "stopped cleanly: the browse service cleaned up, no thread of it left, listener closed"),
            std::string::npos)
            << m_host->output();
    }

    TempDir m_dir;
    hubdemo::DemoWorld m_world;
    std::unique_ptr<hubtest::CChildProcess> m_agent, m_host;
    int m_hostPort = 0;
};

}  // namespace

// A mining through the Hubmaster launches the mining service on the media agent and keeps the launched
// instance for the browse, whose worker waits for the answers. Stopped with that answer held, the
// service ends the worker and only then the instances it kept: none is left to a grace that would
// outlive the service, nor the thread that would end it.
TEST_F(HostStop, AMiningInFlightEndsWithTheService) {
    stopWhileHeld("list --mine --client exchmine1 --subclient " +
                      std::to_string(m_world.mining.dbSubclientFirst) +
                      " --app-type 53 --path 'Mailbox Database A' --ma mediaagent1 --at " + lastDay() +
                      " --via hubmaster",
                  std::string(kHeldPrefix) + "mining");
}

// A browse through the Hubmaster held in flight by its media agent: its worker waits for the answers
// when the host stops, and the stop ends it with everything it borrowed.
TEST_F(HostStop, AFileBrowseInFlightEndsWithTheService) {
    stopWhileHeld("list --client client1 --subclient " + std::to_string(m_world.fileSubclient) +
                      " --path /d00/d01/d00 --at " + lastDay() + " --via hubmaster",
                  std::string(kHeldPrefix) + "files");
}
