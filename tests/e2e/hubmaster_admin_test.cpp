// The host program run for real with the administration thread on a short interval (set in the data
// folder's registry): the index-backup clients of the seeded media agents are brought in line by the
// running service, and a SIGTERM stops it, administration thread included, within a second.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "platform/db/dbbackend.h"
#include "platform/db/dbresult.h"
#include "platform/entities/idxbackupseed.h"
#include "platform/hubdb/hubsql.h"
#include "platform/hubdemo/hubdemo.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/filewatch.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string readAll(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class HubmasterAdmin : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("hubmaster-admin-" + std::to_string(getpid()));
        fs::remove_all(dir);
    }
    void TearDown() override {
        host.reset();
        fs::remove_all(dir);
    }

    // The host over the data folder, serving once BrowseRouter listens.
    void start() {
        host = std::make_unique<hubtest::CChildProcess>(
            "tools/hubmaster/hubmaster", std::vector<std::string>{"--data", dir.string(), "--port", "0"});
        ASSERT_TRUE(host->waitFor("BrowseRouter listening on", 30s)) << host->output();
    }
    std::string logs() {
        std::string text;
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.path().extension() == ".log") text += readAll(entry.path());
        return text;
    }
    long long count(const std::string& sql) {
        std::unique_ptr<zydb::IDbConnection> conn;
        std::string error;
        if (zydb::sqliteBackend().connect((dir / "hub.db").string(), {}, conn, error) != zydb::DB_OK)
            return -1;
        std::vector<zydb::DbValue> row;
        return hubdb::queryFirstRow(*conn, sql, {}, row) == zydb::DB_OK ? row[0].asInt() : -1;
    }

    fs::path dir;
    std::unique_ptr<hubtest::CChildProcess> host;
};

}  // namespace

TEST_F(HubmasterAdmin, RunsTheIndexJobsOnAShortIntervalAndStopsWithoutWaitingOutALimit) {
    hubdemo::DemoWorld demo;
    std::string error;
    ASSERT_TRUE(hubdemo::createDemoWorld(dir.string(), demo, &error)) << error;
    zyent::IndexBackupWorld world;
    {
        hubdb::HubDbSeed seed((dir / "hub.db").string());
        zyent::IndexBackupSeed index(seed);
        ASSERT_EQ(index.addIndexBackupWorld(world), 0) << index.error();
    }
    std::ofstream(dir / "registry.ini", std::ios::app)
        << "\n[~Indexing]\nIDXADMIN_THREAD_WAKEUP_MS = 100\nIDXBKPCLIENT_CHK_INTERVAL = 0\n";

    // Watched from before the host starts: each write to its logs wakes the wait below.
    hubtest::CFileWatch logWrites(dir, ".log");
    ASSERT_NO_FATAL_FAILURE(start());
    // Two rounds: the broken index client is deleted at one wake-up and made anew at a later one, which
    // the host's log tells once it is committed.
    const std::string brokenAgain =
        "SELECT COUNT(*) FROM APP_Client c JOIN IdxIndexClient x ON x.indexClientId = c.id "
        "WHERE c.name = 'ma-broken_IndexBackup' AND c.id <> " +
        std::to_string(world.brokenClient);
    EXPECT_TRUE(logWrites.waitUntil([&] { return count(brokenAgain) == 1; }, 20s)) << logs();
    EXPECT_EQ(count("SELECT COUNT(*) FROM APP_Client WHERE name = 'ma-new_IndexBackup'"), 1);
    EXPECT_EQ(count("SELECT COUNT(*) FROM APP_Client WHERE id = " + std::to_string(world.goneClient)), 0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM APP_Client WHERE name = 'ma-renamed_IndexBackup'"), 1);

    const auto stopAt = Clock::now();
    host->signal(SIGTERM);
    ASSERT_TRUE(host->waitFor("hubmaster: stopped", 30s)) << host->output();
    const auto stopped = Clock::now() - stopAt;
    ASSERT_TRUE(host->waitExit(30s)) << host->output();
    EXPECT_EQ(host->exitStatus(), 0) << host->output();
    EXPECT_NE(host->output().find(
                  "stopped cleanly: the browse service cleaned up, no thread of it left, listener closed"),
              std::string::npos)
        << host->output();
    // The clean-up's own limits (the drain's, a thread join's) are tens of seconds: a stop that waits
    // one out is a fault; a slow one on a busy machine is not.
    EXPECT_LT(stopped, std::chrono::seconds(10))
        << "clean-up took " << std::chrono::duration_cast<std::chrono::milliseconds>(stopped).count()
        << " ms";
    const std::string written = logs();
    EXPECT_NE(written.find("started Admin thread"), std::string::npos);
    EXPECT_NE(written.find("created Indexing client [ma-new_IndexBackup]"), std::string::npos);
}
