// The time-range and copy checks on the demo world: the client's upgrade time and what a failure to
// read it sends, archive files on either side of an upgrade, the messages of an invalid range and of a
// missing backup copy, and session ids made by many threads at once.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <set>
#include <thread>

#include "Db/Proc/archFileByTimeSuperBrowse.h"
#include "platform/entities/installmanager.h"
#include "tests/worker/checksworld.h"

namespace {

class TimeRange : public ChecksWorld {
protected:
    void SetUp() override {
        ChecksWorld::SetUp();
        fileTask(world.fileUser, "fileuser");
        TRequestAuth auth;
        bool generated = false;
        ASSERT_TRUE(worker->normaliseRequest(&task, auth, generated).ok());
    }
    void setUpgradeTime(const std::string& value) {
        hubdb::HubDbSeed seed(world.databasePath);
        ASSERT_GT(seed.changeProperty("APP_ClientProp", world.fileClient,
                                      ClientProperties::kUpgradeTimeProperty, value, 1),
                  0)
            << seed.error();
    }
    // Creation times of the archive files the check weighs (the cycles' other data files).
    std::vector<int> weighedTimes() {
        ArchFileByTimeSuperBrowse files(nullptr);
        files.setValues(static_cast<int>(task.getAppType()), world.fileClient, world.fileBackupSet, 0, 0, 0,
                        0, 1, 0, 0, "");
        std::vector<int> times;
        int count = 0;
        while (files.getNextRow(&files, &count, -1, 0) == 0)
            if (files.getDataPtr()->r_resultSetId == 2) times.push_back(files.getDataPtr()->r_createTime);
        std::sort(times.begin(), times.end());
        return times;
    }
    // The one response that reached the caller: its type, code and text.
    std::tuple<long long, long long, std::string> onlyResponse() {
        auto all = responses();
        EXPECT_EQ(all.size(), 1u);
        if (all.empty()) return {0, 0, ""};
        auto [code, text] = firstError(all.front());
        return {responseType(all.front()), code, text};
    }
};

TEST_F(TimeRange, ClientUpgradeTimeAndError11BeforeAnyChannel) {
    EXPECT_EQ(worker->getClientUpgradeTime(), 0);  // never upgraded
    setUpgradeTime("1700500000");
    EXPECT_EQ(worker->getClientUpgradeTime(), 1700500000);
    EXPECT_TRUE(responses().empty());
    setUpgradeTime("soon");
    EXPECT_EQ(worker->getClientUpgradeTime(), -1);
    auto [type, code, text] = onlyResponse();
    EXPECT_EQ(type, 3);
    EXPECT_EQ(code, 11);
    EXPECT_EQ(text,
              "The browse failed because of an error on the server. See the browse service log for details.");
}

TEST_F(TimeRange, ArchiveFilesOnEitherSideOfTheUpgrade) {
    const std::vector<int> times = weighedTimes();
    ASSERT_GE(times.size(), 2u);
    ASSERT_LT(times.front(), times.back());
    auto versions = [&](int upgrade) {
        bool after = true, before = true;
        EXPECT_EQ(worker->getArchFileVersions(&task, 0, 0, upgrade, after, before), 0);
        return std::make_pair(after, before);
    };
    EXPECT_EQ(versions(times.front() - 1), std::make_pair(true, false));
    EXPECT_EQ(versions(times.back()), std::make_pair(false, true));  // created at the upgrade: before it
    EXPECT_EQ(versions(times.front()), std::make_pair(true, true));
    // A window with no archive files leaves both flags down.
    bool after = true, before = true;
    EXPECT_EQ(worker->getArchFileVersions(&task, 100, 200, times.front(), after, before), 0);
    EXPECT_FALSE(after);
    EXPECT_FALSE(before);
    EXPECT_TRUE(responses().empty());
}

TEST_F(TimeRange, UnreadableArchiveFilesAreAnErrorNotAPass) {
    exec("ALTER TABLE archFile RENAME TO archFileGone");
    bool after = true, before = true;
    EXPECT_EQ(worker->getArchFileVersions(&task, 0, 0, 1700500000, after, before), -1);
    EXPECT_FALSE(after);
    EXPECT_FALSE(before);
    auto [type, code, text] = onlyResponse();
    EXPECT_EQ(type, 3);
    EXPECT_EQ(code, 11);
}

TEST_F(TimeRange, InvalidRangeNamesTheUpgradeTimeAsText) {
    EXPECT_EQ(worker->handleInvalidBrowseTimeRange(1700000000, 1701000000, 1700500000), 0);
    EXPECT_EQ(worker->getErrorId(), databrowse::BROWSE_ERR_SPANS_UPGRADE);
    worker.reset();  // the browse task's channel delivers what it holds when it ends
    auto all = responses();
    ASSERT_FALSE(all.empty());
    auto [code, text] = firstError(all.back());
    EXPECT_EQ(responseType(all.back()), 3);
    EXPECT_EQ(code, 12);
    EXPECT_EQ(
        text,
        "The selected time range spans the client's upgrade time [2023-11-20 17:06:40 UTC]. Select a time "
        "range before or after the upgrade.");
}

TEST_F(TimeRange, BackupCopyOfASnapshot) {
    // The demo world has no snapshot copy: no precedence, and the missing copy is reported.
    EXPECT_EQ(worker->handleViewBackupCopy(*worker->getPrivateTask()), -1);
    EXPECT_EQ(worker->handleNoBackupCopyJob(*worker->getPrivateTask()), 0);
    auto [type, code, text] = onlyResponse();
    EXPECT_EQ(type, 3);
    EXPECT_EQ(code, 13);
    EXPECT_EQ(text, "No backup copy job was found for this browse.");
}

TEST(SessionIds, DistinctAcrossManyThreadsAndOneMillisecond) {
    constexpr int kThreads = 8;
    constexpr int kEach = 2000;
    std::mutex mutex;
    std::set<std::string> ids;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&] {
            std::vector<std::string> mine;
            for (int k = 0; k < kEach; ++k) mine.push_back(CWorkerThreadHM::GenerateSessionId());
            std::lock_guard<std::mutex> lock(mutex);
            ids.insert(mine.begin(), mine.end());
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(ids.size(), static_cast<size_t>(kThreads * kEach));
    // Seconds, a hyphen and 32 hex digits of chance.
    for (const std::string& one : {*ids.begin(), *ids.rbegin()})
        EXPECT_TRUE(isGeneratedSessionId(one)) << one;
}

TEST(SessionIds, AForkedChildMakesOthersThanItsParent) {
    CWorkerThreadHM::GenerateSessionId();  // the parent has drawn before it forks
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::string id = CWorkerThreadHM::GenerateSessionId();
        _exit(write(pipeEnds[1], id.data(), id.size()) == static_cast<ssize_t>(id.size()) ? 0 : 1);
    }
    close(pipeEnds[1]);
    char text[128] = {};
    const ssize_t got = read(pipeEnds[0], text, sizeof text - 1);
    close(pipeEnds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    // A child that failed (a sanitizer's report in it included) fails the test, whatever it wrote.
    ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_GT(got, 0);
    const std::string childId(text, static_cast<size_t>(got));
    const std::string parentId = CWorkerThreadHM::GenerateSessionId();
    EXPECT_NE(childId.substr(childId.find('-')), parentId.substr(parentId.find('-')));
}

}  // namespace

namespace {

// A client of one application type with two instances, each with its own "defaultBackupSet"; only the
// second instance's holds a subclient with snapshots. The second instance's id.
int twoInstancesSecondWithSnapshots(hubdb::HubDbSeed& seed, int client, int appType) {
    using hubdb::seedvalues::I;
    using hubdb::seedvalues::T;
    int second = 0;
    for (int n = 1; n <= 2; ++n) {
        const long long instance =
            seed.insertRow("APP_InstanceName", {{"name", T("instance" + std::to_string(n))},
                                                {"clientId", I(client)},
                                                {"appTypeId", I(appType)}});
        const int backupSet = seed.addBackupSet("defaultBackupSet");
        const int subclient = seed.addSubclient({.clientId = client,
                                                 .appTypeId = appType,
                                                 .backupSetId = backupSet,
                                                 .instanceId = static_cast<int>(instance),
                                                 .name = "default"});
        if (n == 2) {
            seed.addSubclientProperty(subclient, "Enable Snap Backups", "1");
            second = static_cast<int>(instance);
        }
    }
    return second;
}

}  // namespace

// Without a subclient, the default backup set looked at is that of the task's own instance.
TEST_F(TimeRange, SnapshotSubclientOfTheTasksInstance) {
    constexpr int kAppType = 29;
    int client = 0, second = 0;
    {
        hubdb::HubDbSeed seed(world.databasePath);
        client = seed.addClient({.name = "twoinstances"});
        second = twoInstancesSecondWithSnapshots(seed, client, kAppType);
        ASSERT_GT(second, 0) << seed.error();
    }
    EvMultiEntityRestoreTask probe;
    probe.setClientId(client);
    probe.setAppType(apptype::of(kAppType));
    probe.setSubClientId(0);
    probe.setInstanceId(second);
    EXPECT_TRUE(worker->isSnapSubclientInvolved(probe));
    probe.setInstanceId(second - 1);
    EXPECT_FALSE(worker->isSnapSubclientInvolved(probe));
}
