// The host program run for real with the administration thread on a short interval (set in the data
// folder's registry): the index-backup clients of the seeded media agents are brought in line by the
// running service, and a SIGTERM stops it, administration thread included, within a second.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/db/dbbackend.h"
#include "platform/db/dbresult.h"
#include "platform/entities/idxbackupseed.h"
#include "platform/hubdb/hubsql.h"
#include "platform/hubdemo/hubdemo.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string readAll(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Waits until `done` holds or the time is up, looking every 20 ms.
template <class Done>
bool waitFor(Done done, std::chrono::milliseconds limit) {
    for (const auto end = Clock::now() + limit; Clock::now() < end;) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

class HubmasterAdmin : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("hubmaster-admin-" + std::to_string(getpid()));
        fs::remove_all(dir);
    }
    void TearDown() override {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        fs::remove_all(dir);
    }

    // The host with its output in a file of the data folder.
    void start() {
        const std::string program = std::string(std::getenv("HUB_BINARY_DIR")) + "/tools/hubmaster/hubmaster";
        const std::string data = dir.string(), out = (dir / "hubmaster.out").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        const char* argv[] = {program.c_str(), "--data", data.c_str(), "--port", "0", nullptr};
        ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, const_cast<char**>(argv), environ),
                  0);
        posix_spawn_file_actions_destroy(&actions);
    }
    std::string output() { return readAll(dir / "hubmaster.out"); }
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
    pid_t pid = -1;
};

}  // namespace

TEST_F(HubmasterAdmin, RunsTheIndexJobsOnAShortIntervalAndStopsWithinASecond) {
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

    start();
    ASSERT_TRUE(waitFor([&] { return output().find("BrowseRouter listening on") != std::string::npos; },
                        std::chrono::seconds(30)))
        << output();
    // Two rounds: the broken index client is deleted at one wake-up and made anew at a later one.
    const std::string brokenAgain =
        "SELECT COUNT(*) FROM APP_Client c JOIN IdxIndexClient x ON x.indexClientId = c.id "
        "WHERE c.name = 'ma-broken_IndexBackup' AND c.id <> " +
        std::to_string(world.brokenClient);
    EXPECT_TRUE(waitFor([&] { return count(brokenAgain) == 1; }, std::chrono::seconds(20))) << logs();
    EXPECT_EQ(count("SELECT COUNT(*) FROM APP_Client WHERE name = 'ma-new_IndexBackup'"), 1);
    EXPECT_EQ(count("SELECT COUNT(*) FROM APP_Client WHERE id = " + std::to_string(world.goneClient)), 0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM APP_Client WHERE name = 'ma-renamed_IndexBackup'"), 1);

    const auto stopAt = Clock::now();
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    ASSERT_TRUE(waitFor([&] { return output().find("hubmaster: stopped") != std::string::npos; },
                        std::chrono::seconds(30)))
        << output();
    const auto stopped = Clock::now() - stopAt;
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output();
    EXPECT_NE(output().find("stopped (clean-up 1); 1 thread(s) left; listener closed"), std::string::npos)
        << output();
    EXPECT_LT(stopped, std::chrono::seconds(1))
        << "clean-up took " << std::chrono::duration_cast<std::chrono::milliseconds>(stopped).count()
        << " ms";
    const std::string log = logs();
    EXPECT_NE(log.find("started Admin thread"), std::string::npos);
    EXPECT_NE(log.find("created Indexing client [ma-new_IndexBackup]"), std::string::npos);
}
