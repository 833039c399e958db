// The instruction benchmark's world and handshakes: the data folder it makes holds what the host reads
// (the catalogue's rows, the registry's keys, the authority and the two machines' credentials), and the
// bare handshake it sets the service's beside (tls_floor) serves the benchmark's client, which checks the
// listener's certificate and refuses one of another authority.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "bench/instructions/handshake.h"
#include "bench/instructions/process.h"
#include "bench/instructions/world.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/net/zynet_tls.h"
#include "tests/support/process/childprocess.h"

namespace {

namespace fs = std::filesystem;
using namespace instrbench;

class InstructionWorld : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = fs::temp_directory_path() / ("instruction-world-" + std::to_string(getpid()));
        fs::remove_all(m_folder);
    }
    void TearDown() override { fs::remove_all(m_folder); }

    // tls_floor of the build serving the credentials of `tls` (its port), or -1.
    int startFloor(const fs::path& tls, const std::string& authority, std::unique_ptr<CProcess>& floor) {
        floor = std::make_unique<CProcess>(
            std::vector<std::string>{hubtest::binaryDir() + "/bench/instructions/tls_floor", "--cert",
                                     (tls / "machine.crt").string(), "--key", (tls / "machine.key").string(),
                                     "--ca", authority},
            m_folder / "floor.log");
        return static_cast<int>(
            floor->waitForNumberAfter("listening on 127.0.0.1:", std::chrono::seconds(60)));
    }

    fs::path m_folder;
};

TEST_F(InstructionWorld, HoldsTheCatalogueTheKeysAndEachMachinesCredentials) {
    TWorld w;
    std::string error;
    ASSERT_TRUE(makeWorld(m_folder / "world", w, error)) << error;
    EXPECT_GT(w.hub, 0);
    EXPECT_GT(w.subclient, 0);
    for (const fs::path& f : {fs::path(w.database()), fs::path(w.registry()), fs::path(w.authority()),
                              w.folder / "tls" / "machine.key", fs::path(w.agentTls()) / "machine.crt"})
        EXPECT_TRUE(fs::exists(f)) << f;
    // The host's data is its owner's alone.
    EXPECT_EQ(fs::status(w.folder).permissions() & (fs::perms::group_all | fs::perms::others_all),
              fs::perms::none);
    ZYPlatformInfo::setRegistryPath(w.registry());
    unsigned long hub = 0;
    EXPECT_EQ(ZYPlatformInfo::getNumber("~Hubmaster", "nHubmasterClientId", &hub), 1);
    EXPECT_EQ(hub, static_cast<unsigned long>(w.hub));
    // A client pointed at its port keeps it.
    ASSERT_TRUE(pointClientAt(w, w.agentName, 40123, error)) << error;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(w.database().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT zydPort, net_hostname FROM APP_Client WHERE name = 'benchagent'",
                                 -1, &st, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), 40123);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 1)), "127.0.0.1");
    sqlite3_finalize(st);
    sqlite3_close(db);
    // Made again, the world is made afresh: the old files do not stay.
    std::ofstream(w.folder / "left-over") << "x";
    ASSERT_TRUE(makeWorld(m_folder / "world", w, error)) << error;
    EXPECT_FALSE(fs::exists(w.folder / "left-over"));
}

TEST_F(InstructionWorld, TheBareHandshakeServesTheClientAndAnotherAuthorityIsRefused) {
    TWorld w, other;
    std::string error;
    ASSERT_TRUE(makeWorld(m_folder / "world", w, error)) << error;
    // The other world's authority made anew (test programs otherwise copy the tests' own into every one).
    reuseZyNetAuthority("");
    const bool made = makeWorld(m_folder / "other", other, error);
    reuseZyNetAuthority(hubtest::testAuthorityFolder());
    ASSERT_TRUE(made) << error;
    std::unique_ptr<CProcess> floor;
    const int port = startFloor(w.folder / "tls", w.authority(), floor);
    ASSERT_GT(port, 0) << floor->output();
    // Several in a row, each a full handshake ended by the client.
    EXPECT_TRUE(handshakes(port, w.authority(), w.hubName, 3, error)) << error;
    // A client that trusts another authority does not take the listener's certificate.
    EXPECT_FALSE(handshakes(port, other.authority(), w.hubName, 1, error));
    EXPECT_NE(error.find("handshake"), std::string::npos) << error;
    // And the listener goes on serving.
    EXPECT_TRUE(handshakes(port, w.authority(), w.hubName, 1, error)) << error;
    // Nobody listening: a plain failure to connect.
    floor->stop();
    EXPECT_FALSE(handshakes(port, w.authority(), w.hubName, 1, error));
    EXPECT_NE(error.find("cannot connect"), std::string::npos) << error;
}

TEST_F(InstructionWorld, ACommandRunsToItsEndWithItsOutputAndStatus) {
    fs::create_directories(m_folder);
    EXPECT_EQ(run({"sh", "-c", "echo said; exit 3"}, m_folder / "out.log"), 3);
    EXPECT_EQ(readFile(m_folder / "out.log"), "said\n");
    EXPECT_EQ(run({"/no/such/program"}, m_folder / "out.log"), 127);
    CProcess sleeper({"sh", "-c", "echo 'ready at 127.0.0.1:4711'; exec sleep 60"}, m_folder / "sleeper.log");
    EXPECT_EQ(sleeper.waitForNumberAfter("127.0.0.1:", std::chrono::seconds(30)), 4711);
    EXPECT_TRUE(sleeper.running());
    sleeper.stop();
    EXPECT_FALSE(sleeper.running());
    // One that ends before it says the line: no number, without waiting for the limit.
    CProcess quitter({"sh", "-c", "exit 0"}, m_folder / "quitter.log");
    EXPECT_EQ(quitter.waitForNumberAfter("127.0.0.1:", std::chrono::seconds(30)), -1);
    // A run that gives up stops what it started, though their objects are never destroyed.
    auto* left = new CProcess({"sleep", "60"}, m_folder / "left.log");
    const pid_t pid = left->pid();
    ASSERT_EQ(kill(pid, 0), 0);
    stopChildren();
    EXPECT_NE(kill(pid, 0), 0);  // gone, and reaped
    EXPECT_TRUE(runningChildren().empty());
    delete left;
}

}  // namespace
