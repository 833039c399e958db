// The administration thread's periodic tasks with a fake clock and wait (no sleeping): which tasks run at
// each wake-up with the table's intervals and registry overrides, interval 0, a failing job that does
// not stop the others, and each stored-procedure job changing the rows it maintains in a seeded database.
#include "service/admintasks.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/config/zyplatforminfo.h"
#include "platform/hubdb/seed_families_a.h"
#include "platform/hubdb/seed_familiesb.h"
#include "service/adminthread.h"
#include "tests/service/adminlog.h"
#include "tests/support/idxbackup/indexbackupdb.h"

namespace {

// A thread whose wake-ups are counted on a fake clock: each wait moves the clock on by the wake-up
// period (plus what a job took), and the loop stops after `wakeUps` of them.
struct FakeTime : CHubClock {
    time_t now = 1700000000;
    int wakeUps = 0;
    int limit = 0;
    Steady::time_point steadyNow() const override { return Steady::time_point(std::chrono::seconds(now)); }
    Wall::time_point wallNow() const override { return Wall::time_point(std::chrono::seconds(now)); }
    void attach(AdminThreadHM& thread) {
        thread.setClock(*this);
        thread.setWait([this](unsigned ms) {
            if (wakeUps == limit) return true;
            ++wakeUps;
            now += ms / 1000;
            return false;
        });
    }
};

// Which tasks ran at which wake-up: recorded by the tasks themselves.
std::vector<std::string>* s_runs = nullptr;
FakeTime* s_time = nullptr;
template <int N>
void recordTask() {
    s_runs->push_back(std::to_string(s_time->wakeUps) + ":" + std::to_string(N));
}
void slowTask() {
    s_time->now += 3000;  // a job that takes 50 minutes delays what follows
    s_runs->push_back(std::to_string(s_time->wakeUps) + ":slow");
}

std::string threadName(const char* what) {
    return std::string("admin-tasks-") + what + "-" + std::to_string(getpid());
}

class AdminTasks : public ::testing::Test {
protected:
    void SetUp() override {
        hubtest::processLogDir();  // before anything logs: the default log keeps the file it opens first
        s_runs = &runs;
        s_time = &clock;
        ZYPlatformInfo::setRegistryPath(dir.file("registry.ini"));
    }
    void TearDown() override {
        ZYPlatformInfo::setRegistryPath("");
        s_runs = nullptr;
        s_time = nullptr;
    }
    void writeRegistry(const std::string& text) { std::ofstream(dir.file("registry.ini")) << text; }
    // The table's intervals on recording tasks, run for `wakeUps` wake-ups.
    void runTable(int wakeUps) {
        AdminThreadHM table(AdminThreadHM::kWakeUpMs, threadName("table"));
        addIndexMaintenanceTasks(table);
        AdminThreadHM thread(AdminThreadHM::kWakeUpMs, threadName("run"));
        void (*recorders[])() = {&recordTask<1>, &recordTask<2>, &recordTask<3>, &recordTask<4>,
                                 &recordTask<5>};
        ASSERT_EQ(table.getTasks().size(), 5u);
        for (size_t k = 0; k < 5; ++k) thread.addTask(recorders[k], table.getTasks()[k].interval);
        clock.limit = wakeUps;
        clock.attach(thread);
        thread.run(nullptr);
    }

    TempDir dir;
    FakeTime clock;
    std::vector<std::string> runs;
};

}  // namespace

TEST_F(AdminTasks, TableIntervalsAndTheirRegistryOverrides) {
    AdminThreadHM defaults(AdminThreadHM::kWakeUpMs, threadName("defaults"));
    addIndexMaintenanceTasks(defaults);
    std::vector<void (*)()> functions;
    std::vector<unsigned> intervals;
    for (const AdminTask& t : defaults.getTasks()) {
        functions.push_back(t.function);
        intervals.push_back(t.interval);
        EXPECT_EQ(t.lastRun, 0);
    }
    EXPECT_EQ(functions, (std::vector<void (*)()>{&AdminThreadHM::checkIdxBkpClients,
                                                  &AdminThreadHM::SetAutomaticScheduleFrequency,
                                                  &AdminThreadHM::UpdateCheckpointInfoValidity,
                                                  &AdminThreadHM::runFullConsolidationSchedulerFrequency,
                                                  &AdminThreadHM::RecomputeUserQuota}));
    EXPECT_EQ(intervals, (std::vector<unsigned>{86400, 86400, 86400, 43200, 86400}));
    EXPECT_EQ(adminWakeUpMs(), AdminThreadHM::kWakeUpMs);

    writeRegistry(
        "[~Indexing]\nIDXBKPCLIENT_CHK_INTERVAL = 0\nIDXBKPCLIENT_CHK_FREQ_SCHEDULER_INTERVAL = 7200\n"
        "IDXBKPCLIENT_CHK_FULLCONSOL_INTERVAL = -5\nIDXADMIN_THREAD_WAKEUP_MS = 250\n");
    AdminThreadHM overridden(AdminThreadHM::kWakeUpMs, threadName("overridden"));
    addIndexMaintenanceTasks(overridden);
    intervals.clear();
    for (const AdminTask& t : overridden.getTasks()) intervals.push_back(t.interval);
    // A negative interval keeps the default rather than wrapping to one that never falls due.
    EXPECT_EQ(intervals, (std::vector<unsigned>{0, 7200, 86400, 43200, 86400}));
    EXPECT_EQ(adminWakeUpMs(), 250u);
}

TEST_F(AdminTasks, DefaultIntervalsAtEachWakeUp) {
    // Two days of wake-ups, 600 s apart, the first 600 s after the start: every task runs at the first;
    // afterwards each at the first wake-up more than its interval after its last run ended (the 12-hour
    // task at wake-ups 74, 147, 220; the daily ones at 146 and 291).
    runTable(291);
    std::vector<std::string> expected = {"1:1",   "1:2",   "1:3",   "1:4",   "1:5",   "74:4",
                                         "146:1", "146:2", "146:3", "146:5", "147:4", "220:4",
                                         "291:1", "291:2", "291:3", "291:5"};
    EXPECT_EQ(runs, expected);
}

TEST_F(AdminTasks, IntervalZeroRunsAtEveryWakeUpAndASlowJobDelaysTheOthers) {
    writeRegistry(
        "[~Indexing]\nIDXBKPCLIENT_CHK_INTERVAL = 0\nIDXBKPCLIENT_CHK_FULLCONSOL_INTERVAL = 1200\n");
    runTable(4);
    EXPECT_EQ(runs,
              (std::vector<std::string>{"1:1", "1:2", "1:3", "1:4", "1:5", "2:1", "3:1", "4:1", "4:4"}));

    runs.clear();
    clock = FakeTime{};
    AdminThreadHM thread(AdminThreadHM::kWakeUpMs, threadName("slow"));
    thread.addTask(&slowTask, 0);
    thread.addTask(&recordTask<2>, 3000);  // due only when more than 3,000 s passed since its last end
    clock.limit = 3;
    clock.attach(thread);
    thread.run(nullptr);
    // The 3,000 s task would wait for the sixth wake-up; the slow job's own time makes it due at each.
    EXPECT_EQ(runs, (std::vector<std::string>{"1:slow", "1:2", "2:slow", "2:2", "3:slow", "3:2"}));
}

namespace {

// The index-backup world with schedules, checkpoints (one pruned) and a user for the stored-procedure
// jobs.
class AdminJobs : public hubtest::IndexBackupDb {
protected:
    void seedMore(hubdb::HubDbSeed& seed) override {
        hubdb::FamiliesBSeed more(seed);
        hubdb::RowSeed users(seed);
        automatic = more.addScheduleTask("automatic", false, true, 60, 0);
        manual = more.addScheduleTask("manual", false, false, 60, 0);
        more.setGlobalParam("IndexBackupScheduleFrequencyMins", "180", 1000);
        const int client = seed.addClient({.name = "fs"});
        const int bs = seed.addBackupSet("bs");
        const int sc = seed.addSubclient(
            {.clientId = client, .appTypeId = 29, .backupSetId = bs, .storagePolicyId = world.storagePolicy});
        const auto backup = seed.addBackup(sc, 1, 1700000000, 1);
        liveCheckpoint = more.addCheckpoint(bs, backup.indexFile);
        prunedCheckpoint = more.addCheckpoint(bs, 999999);
        alice = users.addUser({.name = "alice"});
        ASSERT_TRUE(more.ok() && users.ok()) << more.error() << users.error();
    }
    long long number(const std::string& sql) {
        const std::string text = rows(sql);
        return text.empty() ? -1 : std::stoll(text);
    }

    int automatic = 0, manual = 0, liveCheckpoint = 0, prunedCheckpoint = 0, alice = 0;
};

}  // namespace

TEST_F(AdminJobs, EachProcedureJobChangesTheRowsItMaintains) {
    const size_t mark = adminlog::size();
    AdminThreadHM::SetAutomaticScheduleFrequency();
    EXPECT_EQ(number("SELECT COUNT(*) FROM TM_Task WHERE isAutomatic = 1 AND frequencyMins <> 180"), 0);
    EXPECT_EQ(number("SELECT frequencyMins FROM TM_Task WHERE taskId = " + std::to_string(manual)), 60);

    AdminThreadHM::UpdateCheckpointInfoValidity();
    EXPECT_EQ(
        number("SELECT isValid FROM App_IndexCheckpointInfo WHERE id = " + std::to_string(liveCheckpoint)),
        1);
    EXPECT_EQ(
        number("SELECT isValid FROM App_IndexCheckpointInfo WHERE id = " + std::to_string(prunedCheckpoint)),
        0);

    AdminThreadHM::runFullConsolidationSchedulerFrequency();
    EXPECT_EQ(number("SELECT runFullConsolidation FROM TM_Task WHERE taskId = " + std::to_string(automatic)),
              1);
    EXPECT_EQ(number("SELECT runFullConsolidation FROM TM_Task WHERE taskId = " + std::to_string(manual)), 0);

    AdminThreadHM::RecomputeUserQuota();
    EXPECT_EQ(
        number("SELECT COUNT(*) FROM UMUsersProp WHERE attrName = 'recomputeQuota' AND attrVal = '1' AND "
               "modified = 0 AND componentNameId = " +
               std::to_string(alice)),
        1);
    // Successes (a procedure without rows ends with 100) log nothing.
    EXPECT_TRUE(adminlog::linesSince(mark, "AdminThreadHM::").empty());
}

TEST_F(AdminJobs, AFailingJobDoesNotStopTheOthers) {
    exec("DROP TABLE TM_Task");  // the schedule jobs fail, and so does the creation's schedule step
    const size_t mark = adminlog::size();
    AdminThreadHM thread(AdminThreadHM::kWakeUpMs, threadName("jobs"));
    addIndexMaintenanceTasks(thread);
    FakeTime fake;
    fake.limit = 1;
    fake.attach(thread);
    thread.run(nullptr);

    const auto lines = adminlog::linesSince(mark, "AdminThreadHM::");
    auto has = [&](const std::string& text) {
        for (const std::string& l : lines)
            if (l.find(text) != std::string::npos) return true;
        return false;
    };
    EXPECT_TRUE(has(
        "AdminThreadHM::SetAutomaticScheduleFrequency Failed to set automatic schedule frequency. error["));
    EXPECT_TRUE(
        has("AdminThreadHM::runFullConsolidationSchedulerFrequency Failed to set the flag for full "
            "consolidation backups. error["));
    EXPECT_TRUE(has("Failed to associate subclient["));
    // The jobs after each failure still ran, and the other index-client actions were carried out.
    EXPECT_EQ(
        number("SELECT isValid FROM App_IndexCheckpointInfo WHERE id = " + std::to_string(prunedCheckpoint)),
        0);
    EXPECT_EQ(
        number("SELECT COUNT(*) FROM UMUsersProp WHERE attrName = 'recomputeQuota' AND componentNameId = " +
               std::to_string(alice)),
        1);
    EXPECT_EQ(number("SELECT COUNT(*) FROM APP_Client WHERE id = " + std::to_string(world.goneClient)), 0);
    EXPECT_EQ(number("SELECT COUNT(*) FROM APP_Client WHERE name = 'ma-new_IndexBackup'"), 0);  // undone
    for (const AdminTask& t : thread.getTasks()) EXPECT_EQ(t.lastRun, fake.now);  // failures count as runs
}
