// The configuration cache over the demo world: one record per browse session, reference counts, the
// wait of a second request of a session, deletion by the last release, ageing by real seconds, stale
// sessions, the errors each open hands back, and plannings of different sessions running at once.
#include "planning/confmgr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>

#include "Db/Tbl/APP_Client.h"
#include "planning/configuration.h"
#include "planning/confrecord.h"
#include "planning/handedover.h"
#include "planning/superbrowsemanager.h"
#include "platform/db/requestscope.h"
#include "platform/hubdb/hubdbseed.h"
#include "tests/planning/planningworld.h"

// While set on a thread, allocations of a configuration record's size that may fail do fail there.
thread_local bool t_recordsCannotBeMade = false;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A browse task whose planning runs `hook` when it first reads the task's backup set (the planner's
// first read): a session's planning can be made to throw, or to wait inside for another's.
class CHookedTask : public EvMultiEntityRestoreTask {
public:
    long getBackupSetId() const override {
        if (auto run = std::exchange(hook, nullptr)) run();
        return EvMultiEntityRestoreTask::getBackupSetId();
    }
    mutable std::function<void()> hook;
};

// Threads that arrive and wait, each for at most a limit, until `count` of them are inside at once.
class CMeeting {
public:
    explicit CMeeting(int count) : m_count(count) {}
    bool arriveAndWait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_inside;
        m_changed.notify_all();
        return m_changed.wait_for(lock, 30s, [&] { return m_inside >= m_count; });
    }
    bool waitForAll() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, 30s, [&] { return m_inside >= m_count; });
    }

private:
    const int m_count;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_inside = 0;
};

class ConfCache : public PlanningWorld {
protected:
    std::string open(const std::string& session, TConfError* errorOut = nullptr, long daysIn = 10) {
        auto task = fileTask(session, daysIn);
        bool flag = false;
        TConfError error;
        std::string id = cache->openConfRef(task.get(), flag, error);
        EXPECT_TRUE(flag);
        if (errorOut) *errorOut = error;
        return id;
    }
    unsigned count(const std::string& id) {
        CConfRecord* record = cache->getConfRec(id, false);
        return record ? record->getRefCount() : 0;
    }
};

TEST_F(ConfCache, SecondRequestOfASessionWaitsAndNeverSharesTheRecord) {
    ASSERT_EQ(open("S1"), "S1");
    ASSERT_EQ(open("S2"), "S2");
    EXPECT_EQ(cache->getRecordCount(), 2u);
    EXPECT_EQ(count("S1"), 1u);

    // The waiting request tells when it waits, and looks again once the first request has ended.
    std::promise<void> waiting;
    std::promise<void> ended;
    std::shared_future<void> lookAgain = ended.get_future().share();
    std::atomic<int> pauses{0};
    cache->setConflictPause([&](unsigned) {
        if (pauses++ == 0) waiting.set_value();
        lookAgain.wait();
    });
    std::atomic<bool> done{false};
    std::string second;
    std::thread waiter([&] {
        second = open("S1");
        done = true;
    });
    waiting.get_future().wait();
    EXPECT_FALSE(done.load());
    EXPECT_EQ(count("S1"), 1u);  // not shared with the waiting request
    EXPECT_EQ(cache->getRecordCount(), 2u);

    EXPECT_EQ(cache->closeConfRef("S1"), 0);
    cache->deleteConfRec("S1");
    ended.set_value();
    waiter.join();
    cache->setConflictPause({});
    EXPECT_EQ(pauses.load(), 1);
    EXPECT_EQ(second, "S1");
    EXPECT_EQ(count("S1"), 1u);  // a record of its own
    EXPECT_EQ(cache->getRecordCount(), 2u);
}

// A request that read the database and then waits for an earlier request of its session plans on the
// database as it is after the wait: a backup that ended meanwhile is in its plan.
TEST_F(ConfCache, ABackupThatEndedDuringTheWaitIsPlanned) {
    const long daysIn = world.backupDays + 5;
    ASSERT_EQ(open("S", nullptr, daysIn), "S");
    // Before the job the demo leaves running, which ends the cycles a browse sees.
    const int ended =
        static_cast<int>(world.firstBackupTime) + (world.backupDays - 1) * static_cast<int>(kDay) + 6 * 3600;
    auto lastFindTime = [&](const std::string& id) -> long long {
        CConfRecord* record = cache->getConfRec(id, false);
        std::vector<SuperBrowse>* cycles =
            record && record->getConfiguration()
                ? record->getConfiguration()->getSuperBrowseManager()->getCycles()
                : nullptr;
        long long last = -1;
        if (cycles)
            for (const SuperBrowse& cycle : *cycles) last = std::max<long long>(last, cycle.findTime);
        return last;
    };
    ASSERT_GT(lastFindTime("S"), 0);
    ASSERT_LT(lastFindTime("S"), ended);

    std::atomic<int> pauses{0};
    cache->setConflictPause([&](unsigned) {
        if (pauses++ != 0) return;
        // The backup ends while the second request waits; then the first request lets the session go.
        hubdb::HubDbSeed seed(world.databasePath);
        const int job = seed.addJob({.appId = world.fileSubclient, .level = 2, .startTime = ended});
        for (int fileType : {1, 2})
            EXPECT_GT(seed.addArchFile({.appId = world.fileSubclient,
                                        .jobId = job,
                                        .fileType = fileType,
                                        .cTime = ended + fileType - 1,
                                        .backupLevel = 2,
                                        .storagePolicyId = world.storagePolicy}),
                      0)
                << seed.error();
        EXPECT_EQ(cache->closeConfRef("S"), 0);
        cache->deleteConfRec("S");
    });
    std::string second;
    std::thread request([&] {
        zydb::CRequestReads reads;
        // The request has read the database (its entity, its rights) before it opens its record.
        APP_Client client(nullptr);
        client.setWhereRaw("id = " + std::to_string(world.fileClient));
        EXPECT_EQ(client.getOneRow(&client, false, 0, 0), zydb::DB_OK);
        second = open("S", nullptr, daysIn);
    });
    request.join();
    cache->setConflictPause({});
    EXPECT_EQ(pauses.load(), 1);
    ASSERT_EQ(second, "S");
    EXPECT_GE(lastFindTime("S"), ended);
}

TEST_F(ConfCache, TimeOutReportsItsOwnErrorWithTheCall) {
    // An earlier failure of another session leaves the cache's last error at "no backups".
    TConfError error;
    EXPECT_TRUE(open("early", &error, -3).empty());
    EXPECT_EQ(error.code, databrowse::BROWSE_ERR_NOTHING_TO_BROWSE);
    EXPECT_EQ(cache->getLastErrorCode(), databrowse::BROWSE_ERR_NOTHING_TO_BROWSE);

    ASSERT_EQ(open("busy"), "busy");
    cache->setConflictWait(3, 10);
    EXPECT_TRUE(open("busy", &error).empty());
    EXPECT_EQ(error.code, databrowse::BROWSE_ERR_GENERIC);
    EXPECT_NE(error.text.find("busy"), std::string::npos);
    EXPECT_EQ(cache->getLastErrorCode(), databrowse::BROWSE_ERR_GENERIC);
    EXPECT_EQ(count("busy"), 1u);
}

TEST_F(ConfCache, RecordLeftUnreferencedDoesNotBlockItsSession) {
    ASSERT_EQ(open("S"), "S");
    EXPECT_EQ(cache->closeConfRef("S"), 0);  // the owner never asks for the deletion
    cache->setConflictWait(0, 0);            // any wait would fail at once
    EXPECT_EQ(open("S"), "S");
    EXPECT_EQ(cache->getRecordCount(), 1u);
    EXPECT_EQ(count("S"), 1u);
}

TEST_F(ConfCache, DeletionOfABorrowedRecordHappensAtItsLastRelease) {
    ASSERT_EQ(open("S"), "S");
    CConfRecord* borrowed = cache->getConfRec("S", true);
    ASSERT_NE(borrowed, nullptr);
    EXPECT_EQ(borrowed->getRefCount(), 2u);
    EXPECT_EQ(cache->closeConfRef("S"), 0);
    cache->deleteConfRec("S");
    EXPECT_EQ(cache->getConfRec("S", false), borrowed);  // the borrower still reads it
    EXPECT_EQ(borrowed->getRefCount(), 1u);
    EXPECT_EQ(borrowed->unlockConfiguration(), 0);
    EXPECT_EQ(cache->getRecordCount(), 0u);
    EXPECT_EQ(cache->getConfRec("S", false), nullptr);
}

TEST_F(ConfCache, AgeingDeletesIdleRecordsByRealSecondsOnly) {
    ASSERT_EQ(open("idle"), "idle");
    ASSERT_EQ(open("held"), "held");
    EXPECT_EQ(cache->closeConfRef("idle"), 0);
    cache->addTime(CConfRecord::kIdleLimitSeconds - 1);
    EXPECT_NE(cache->getConfRec("idle", false), nullptr);
    cache->addTime(1);
    EXPECT_EQ(cache->getConfRec("idle", false), nullptr);

    cache->addTime(10 * CConfRecord::kIdleLimitSeconds);  // referenced: never aged out
    EXPECT_EQ(count("held"), 1u);

    // A borrow between two passes restarts the idle time.
    EXPECT_EQ(cache->closeConfRef("held"), 0);
    cache->addTime(CConfRecord::kIdleLimitSeconds - 10);
    ASSERT_NE(cache->getConfRec("held", true), nullptr);
    cache->addTime(20);
    cache->closeConfRef("held");
    cache->addTime(CConfRecord::kIdleLimitSeconds - 10);
    EXPECT_NE(cache->getConfRec("held", false), nullptr);
}

TEST_F(ConfCache, UnlockWithoutAReferenceIsRefused) {
    ASSERT_EQ(open("S"), "S");
    CConfRecord* record = cache->getConfRec("S", false);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->unlockConfiguration(), 0);
    EXPECT_EQ(record->unlockConfiguration(), -1);  // would wrap the count and pin the record for ever
    EXPECT_EQ(record->getRefCount(), 0u);
    EXPECT_EQ(cache->closeConfRef("S"), -1);
    cache->addTime(CConfRecord::kIdleLimitSeconds);
    EXPECT_EQ(cache->getRecordCount(), 0u);
}

TEST_F(ConfCache, AHeldReferenceIsGivenBackOnceHoweverItsScopeEnds) {
    ASSERT_EQ(open("S"), "S");  // the opener's reference
    EXPECT_FALSE(cache->holdConfRec("unknown"));
    EXPECT_FALSE(cache->holdConfRec(""));
    {
        CConfRecordRef held = cache->holdConfRec("S");
        ASSERT_TRUE(held);
        EXPECT_EQ(count("S"), 2u);
        CConfRecordRef moved(std::move(held));
        EXPECT_FALSE(held);
        EXPECT_EQ(held.release(), 0);
        EXPECT_EQ(count("S"), 2u);
    }
    EXPECT_EQ(count("S"), 1u) << "a moved reference must be given back exactly once";
    {
        CConfRecordRef first = cache->holdConfRec("S");
        CConfRecordRef second = cache->holdConfRec("S");
        EXPECT_EQ(count("S"), 3u);
        first = std::move(second);  // what `first` held goes back
        EXPECT_EQ(count("S"), 2u);
        EXPECT_EQ(first.release(), 0);
        EXPECT_EQ(first.release(), 0);
        EXPECT_EQ(count("S"), 1u);
    }
    EXPECT_EQ(count("S"), 1u);

    // A kept reference outlives its guard; the last release of a record marked for deletion deletes it.
    CConfRecord* kept = cache->holdConfRec("S").keep();
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(count("S"), 2u);
    EXPECT_EQ(cache->closeConfRef("S"), 0);
    cache->deleteConfRec("S");
    EXPECT_EQ(cache->getRecordCount(), 1u);
    { CConfRecordRef last(kept); }
    EXPECT_EQ(cache->getRecordCount(), 0u);
}

TEST_F(ConfCache, LookUpsOfUnknownOrEmptyIds) {
    ASSERT_EQ(open("S"), "S");
    EXPECT_EQ(cache->getConfRec("", true), nullptr);
    EXPECT_EQ(cache->getConfRec("s", true), nullptr);  // ids compare exactly
    EXPECT_EQ(cache->closeConfRef("other"), -1);
    cache->deleteConfRec("other");
    EXPECT_EQ(count("S"), 1u);

    TConfError error;
    EXPECT_TRUE(open("", &error).empty());  // a task without a session GUID is never cached
    EXPECT_EQ(cache->getRecordCount(), 1u);
}

TEST_F(ConfCache, StoppedSessionRefusesLaterRequestsAtOnce) {
    ASSERT_EQ(open("S"), "S");
    cache->getConfRec("S", false)->setStaleFlag();
    // Waiting out the conflict would take a minute: refused well before that, on however busy a machine.
    cache->setConflictWait(600, 100);
    TConfError error;
    const auto start = Clock::now();
    EXPECT_TRUE(open("S", &error).empty());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
    EXPECT_NE(error.text.find("Stop request received"), std::string::npos);

    // Once its holders let go, the session starts afresh.
    cache->closeConfRef("S");
    cache->deleteConfRec("S");
    EXPECT_EQ(open("S"), "S");
    EXPECT_FALSE(cache->getConfRec("S", false)->getStaleFlag());
}

TEST_F(ConfCache, WorkersOfASessionAndTheirMediaAgents) {
    ASSERT_EQ(open("S"), "S");
    CConfRecord* record = cache->getConfRec("S", false);
    record->updateWorkerInConf("1", "mediaagent1");
    record->insertWorkerInConf("1");  // keeps its media agent
    record->insertWorkerInConf("2");
    auto workers = record->getWorkersToMaMap();
    ASSERT_EQ(workers.size(), 2u);
    EXPECT_EQ(workers["1"], "mediaagent1");
    EXPECT_EQ(workers["2"], "");
    record->removeWorkerFromConf("1");
    record->removeWorkerFromConf("2");
    EXPECT_TRUE(record->areAllWorkersCompleted());
}

TEST_F(ConfCache, PlanningThatThrowsFailsItsOpenAndLeavesTheCacheFree) {
    auto task = fileTask<CHookedTask>("thrown");
    task->hook = [] { throw std::runtime_error("the archive manager went away"); };
    std::string id = "unset";
    TConfError error;
    bool threw = false;
    std::thread opener([&] {
        bool flag = false;
        try {
            id = cache->openConfRef(task.get(), flag, error);
        } catch (...) {
            threw = true;
        }
    });
    opener.join();
    EXPECT_FALSE(threw) << "the exception left the cache";
    EXPECT_TRUE(id.empty());
    EXPECT_NE(error.text.find("the archive manager went away"), std::string::npos) << error.text;

    // The opener's thread has ended: any lock it kept would now stop every other thread for good.
    std::promise<std::string> answer;
    std::future<std::string> later = answer.get_future();
    std::thread other([&] { answer.set_value(open("other")); });
    if (later.wait_for(60s) != std::future_status::ready) {
        other.detach();
        (void)cache.release();  // still locked: left to the process's end rather than waited on
        FAIL() << "the configuration cache stayed locked after a planning threw";
    }
    other.join();
    EXPECT_EQ(later.get(), "other");
    cache->setConflictWait(0, 0);  // the failed session is not left claimed either
    EXPECT_EQ(open("thrown"), "thrown");
    EXPECT_EQ(cache->getRecordCount(), 2u);
}

TEST_F(ConfCache, ARecordThatCannotBeMadeFailsItsOpenAndLeavesTheSessionFree) {
    t_recordsCannotBeMade = true;
    TConfError error;
    const std::string id = open("unmade", &error);
    t_recordsCannotBeMade = false;
    EXPECT_TRUE(id.empty());
    EXPECT_NE(error.text.find("out of memory"), std::string::npos) << error.text;
    EXPECT_EQ(cache->getRecordCount(), 0u);
    EXPECT_EQ(open("unmade"), "unmade");
}

TEST_F(ConfCache, SessionsPlanAtOnceWhileASecondRequestOfOneIsRefusedOrWaits) {
    // Each planning waits inside until the other session's planning is inside too.
    CMeeting meeting(2);
    std::atomic<int> met{0};
    std::promise<void> go;
    std::shared_future<void> proceed = go.get_future().share();
    auto inside = [&] {
        if (meeting.arriveAndWait()) ++met;
        proceed.wait_for(30s);
    };
    auto first = fileTask<CHookedTask>("A");
    auto second = fileTask<CHookedTask>("B", 11);
    first->hook = inside;
    second->hook = inside;
    std::string idA, idB;
    std::thread a([&] {
        bool flag = false;
        idA = cache->openConfRef(first.get(), flag);
    });
    std::thread b([&] {
        bool flag = false;
        idB = cache->openConfRef(second.get(), flag);
    });
    const bool both = meeting.waitForAll();
    if (both) {
        // A second request of a session being planned neither shares nor plans it again: it waits,
        // here for no time at all.
        cache->setConflictWait(0, 0);
        TConfError error;
        EXPECT_TRUE(open("A", &error).empty());
        EXPECT_NE(error.text.find("still in use"), std::string::npos) << error.text;
        EXPECT_EQ(cache->getRecordCount(), 0u);
    }
    go.set_value();
    a.join();
    b.join();
    EXPECT_TRUE(both);
    EXPECT_EQ(met.load(), 2) << "one session's planning waited for the other's to end";
    EXPECT_EQ(idA, "A");
    EXPECT_EQ(idB, "B");
    EXPECT_EQ(count("A"), 1u);
    EXPECT_EQ(count("B"), 1u);
}

}  // namespace

namespace {

// A session belongs to whoever set it up: another caller naming it is refused at once, whether its
// record is in use, left between two requests, being planned, or gone with the hand-over of the session
// to its caller; never waited for, never taken over. Its owner goes on using it.
TEST_F(ConfCache, ASessionOfAnotherCallerIsRefusedAtOnceNeverWaitedForOrTakenOver) {
    cache->setConflictPause(
        [](unsigned) { ADD_FAILURE() << "a request waited for another caller's session"; });
    cache->setConflictWait(600, 100);
    auto asUser = [&](const std::string& session, int user, unsigned long callerClient = 0) {
        auto task = fileTask(session);
        task->setUserId(user);
        task->setCallerClientId(callerClient);
        return task;
    };
    auto openAs = [&](EvMultiEntityRestoreTask& task, TConfError& error) {
        bool flag = false;
        return cache->openConfRef(&task, flag, error);
    };
    // Refused as a session in use by another caller, naming nobody.
    auto refused = [](const TConfError& error) {
        return error.code == databrowse::BROWSE_ERR_PERMISSION &&
               error.text.find("is in use by another caller") != std::string::npos &&
               error.text.find("admin") == std::string::npos;
    };
    TConfError error;
    auto admin = asUser("owned", world.adminUser);
    auto alice = asUser("owned", world.fileUser);
    ASSERT_EQ(openAs(*admin, error), "owned");
    EXPECT_TRUE(openAs(*alice, error).empty());
    EXPECT_TRUE(refused(error)) << error.text;
    EXPECT_EQ(count("owned"), 1u);

    // Left between two of its owner's requests: still the owner's.
    EXPECT_EQ(cache->closeConfRef("owned"), 0);
    EXPECT_TRUE(openAs(*alice, error).empty());
    EXPECT_TRUE(refused(error)) << error.text;
    ASSERT_EQ(openAs(*admin, error), "owned");
    // The session record keeps its owner: the one the cache asked.
    CHandedOverSessions::TSession kept;
    ASSERT_TRUE(CHandedOverSessions::instance().find("owned", kept));
    EXPECT_EQ(kept.owner.userId, world.adminUser);

    // Callers without a user are told apart by their proven calling client.
    auto client44 = asUser("client-owned", 0, 44);
    auto client45 = asUser("client-owned", 0, 45);
    ASSERT_EQ(openAs(*client44, error), "client-owned");
    EXPECT_TRUE(openAs(*client45, error).empty());
    EXPECT_TRUE(refused(error)) << error.text;

    // Being planned for its first request.
    auto planned = fileTask<CHookedTask>("planned");
    planned->setUserId(world.adminUser);
    auto late = asUser("planned", world.fileUser);
    TConfError lateError;
    std::string lateId = "unset";
    planned->hook = [&] { lateId = openAs(*late, lateError); };
    ASSERT_EQ(openAs(*planned, error), "planned");
    EXPECT_TRUE(lateId.empty());
    EXPECT_TRUE(refused(lateError)) << lateError.text;

    // Handed to its caller, with no record left here.
    CHandedOverSessions::TSession handed;
    handed.owner.userId = world.adminUser;
    ASSERT_EQ(CHandedOverSessions::instance().remember("handed", handed),
              CHandedOverSessions::ERemembered::kKept);
    auto aliceHanded = asUser("handed", world.fileUser);
    EXPECT_TRUE(openAs(*aliceHanded, error).empty());
    EXPECT_TRUE(refused(error)) << error.text;
    auto adminHanded = asUser("handed", world.adminUser);
    EXPECT_EQ(openAs(*adminHanded, error), "handed");
    CHandedOverSessions::instance().forget("handed");
    cache->setConflictPause({});
}

}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (t_recordsCannotBeMade && size == sizeof(CConfRecord)) return nullptr;
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}
