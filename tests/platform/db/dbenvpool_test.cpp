// Transaction connections given back for reuse: a finished one serves the next transaction, one left
// with an open transaction or result is not reused, and a database change or close drops them. The
// connection of a thread that ended serves the next thread on the same terms. A burst of either kind
// leaves only a bounded number behind, and what is kept is closed after 30 quiet seconds.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <latch>
#include <optional>
#include <thread>
#include <vector>

#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/db/requestscope.h"
#include "platform/threads/hubclock.h"
#include "platform/threads/processrest.h"
#include "platform/threads/threadresources.h"
#include "tests/platform/db/tempdir.h"

using namespace zydb;

namespace {

class DbEnvPoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        DbOpenOptions o;
        o.create = true;
        std::string err;
        ASSERT_EQ(CDbEnv::open(dir.file("pool.db"), o, &err), DB_OK) << err;
        auto conn = CDbEnv::threadConnection(nullptr);
        ASSERT_TRUE(conn);
        ASSERT_EQ(conn->exec("CREATE TABLE t (v INTEGER)"), DB_OK);
    }
    void TearDown() override { CDbEnv::close(); }

    TempDir dir;
};

TEST_F(DbEnvPoolTest, FinishedConnectionsAreReusedOthersAreNot) {
    IDbConnection* first = nullptr;
    {
        auto c = CDbEnv::newConnection(nullptr);
        ASSERT_TRUE(c);
        first = c.get();
        ASSERT_EQ(c->exec("BEGIN"), DB_OK);
        ASSERT_EQ(execBound(*c, "INSERT INTO t (v) VALUES (?)", {DbValue::ofInt(1)}), DB_OK);
        ASSERT_EQ(c->exec("COMMIT"), DB_OK);
    }
    {
        auto c = CDbEnv::newConnection(nullptr);
        EXPECT_EQ(c.get(), first);
        // Left mid-transaction: closing it rolls back instead of handing the transaction on.
        ASSERT_EQ(c->exec("BEGIN"), DB_OK);
        ASSERT_EQ(execBound(*c, "INSERT INTO t (v) VALUES (?)", {DbValue::ofInt(2)}), DB_OK);
    }
    auto reader = CDbEnv::newConnection(nullptr);
    std::unique_ptr<IDbStatement> st;
    ASSERT_EQ(reader->prepare("SELECT count(*) FROM t", st), DB_OK);
    ASSERT_EQ(st->step(), DB_OK);
    EXPECT_EQ(st->columnInt64(0), 1);
    EXPECT_TRUE(reader->busy());  // a result is open
    IDbConnection* held = reader.get();
    reader.reset();  // the statement still reads from it: not reused
    auto next = CDbEnv::newConnection(nullptr);
    EXPECT_NE(next.get(), held);
    st.reset();
}

TEST_F(DbEnvPoolTest, CloseAndReopenDropTheIdleConnections) {
    { ASSERT_TRUE(CDbEnv::newConnection(nullptr)); }  // given back idle
    CDbEnv::close();
    int rc = 0;
    EXPECT_FALSE(CDbEnv::newConnection(&rc));
    EXPECT_EQ(rc, DB_ERR_NOT_OPEN);

    // Another database: a connection to the first one would still find its table.
    DbOpenOptions o;
    o.create = true;
    ASSERT_EQ(CDbEnv::open(dir.file("other.db"), o), DB_OK);
    auto c = CDbEnv::newConnection(&rc);
    ASSERT_TRUE(c);
    EXPECT_EQ(rc, DB_OK);
    EXPECT_EQ(c->path(), dir.file("other.db"));
    std::unique_ptr<IDbStatement> st;
    EXPECT_EQ(c->prepare("SELECT count(*) FROM t", st), DB_ERR_SQL);
}

// Threads come and go with a server's connections: the connection of one that ended serves the next
// (no second open and schema read); one still held elsewhere, or left mid-transaction, does not, and
// neither does one of a database opened before the current one.
TEST_F(DbEnvPoolTest, ThreadConnectionsOutliveTheirThreads) {
    auto onThread = [](auto body) { std::thread(body).join(); };
    IDbConnection* first = nullptr;
    onThread([&] {
        auto c = CDbEnv::threadConnection(nullptr);
        ASSERT_TRUE(c);
        first = c.get();
        ASSERT_EQ(execBound(*c, "INSERT INTO t (v) VALUES (?)", {DbValue::ofInt(7)}), DB_OK);
    });
    std::shared_ptr<IDbConnection> kept;
    onThread([&] {
        kept = CDbEnv::threadConnection(nullptr);
        EXPECT_EQ(kept.get(), first);
        std::unique_ptr<IDbStatement> st;
        ASSERT_EQ(kept->prepare("SELECT count(*) FROM t", st), DB_OK);
        ASSERT_EQ(st->step(), DB_OK);
        EXPECT_EQ(st->columnInt64(0), 1);
    });
    // Still held here when its thread ended: the next thread opens its own.
    IDbConnection* second = nullptr;
    onThread([&] {
        auto c = CDbEnv::threadConnection(nullptr);
        second = c.get();
        EXPECT_NE(second, first);
        ASSERT_EQ(c->exec("BEGIN"), DB_OK);  // its thread ends mid-transaction
    });
    kept.reset();
    onThread([&] {
        auto c = CDbEnv::threadConnection(nullptr);
        ASSERT_TRUE(c);
        EXPECT_FALSE(c->busy()) << "no transaction handed on";
        EXPECT_EQ(c->exec("BEGIN"), DB_OK);
        EXPECT_EQ(c->exec("ROLLBACK"), DB_OK);
    });

    onThread([] { EXPECT_TRUE(CDbEnv::threadConnection(nullptr)); });  // one idle again
    DbOpenOptions o;
    o.create = true;
    ASSERT_EQ(CDbEnv::open(dir.file("third.db"), o), DB_OK);
    onThread([&] {
        auto c = CDbEnv::threadConnection(nullptr);
        ASSERT_TRUE(c);
        EXPECT_EQ(c->path(), dir.file("third.db"));
    });
}

// Each connection costs a few hundred KB: after a burst of 48 at once, of either kind, the next burst
// finds only some of them kept (a kept one still holds the statement it ran; a new one does not).
TEST_F(DbEnvPoolTest, ABurstOfConnectionsLeavesFewBehind) {
    constexpr int kBurst = 80;
    auto mark = [](IDbConnection& c) {
        std::unique_ptr<IDbStatement> st;
        ASSERT_EQ(c.prepare("SELECT 48", st), DB_OK);
        ASSERT_EQ(st->step(), DB_OK);
    };
    auto kept = [](const IDbConnection& c) { return c.cachedStatements() >= 2; };

    std::vector<std::shared_ptr<IDbConnection>> held;
    for (int i = 0; i < kBurst; ++i) {
        held.push_back(CDbEnv::newConnection(nullptr));
        ASSERT_TRUE(held.back());
        mark(*held.back());
    }
    held.clear();
    int reused = 0;
    for (int i = 0; i < kBurst; ++i) {
        held.push_back(CDbEnv::newConnection(nullptr));
        reused += kept(*held.back()) ? 1 : 0;
    }
    held.clear();
    EXPECT_GT(reused, 0);
    EXPECT_LE(reused, 32) << "transaction connections kept idle";

    // Threads that all hold their connection at once, then end.
    auto burstOfThreads = [&](auto body) {
        std::latch together(kBurst);
        std::vector<std::thread> threads;
        for (int i = 0; i < kBurst; ++i)
            threads.emplace_back([&] {
                auto c = CDbEnv::threadConnection(nullptr);
                together.arrive_and_wait();  // whatever came back: the others wait for every thread
                ASSERT_TRUE(c);
                body(*c);
            });
        for (std::thread& t : threads) t.join();
    };
    burstOfThreads([&](IDbConnection& c) { mark(c); });
    std::atomic<int> reusedByThreads{0};
    burstOfThreads([&](IDbConnection& c) { reusedByThreads += kept(c) ? 1 : 0; });
    EXPECT_GT(reusedByThreads.load(), 0);
    EXPECT_LE(reusedByThreads.load(), 64) << "connections of ended threads kept idle";
}

// Threads that wait for work (a server's threads between sessions) give their connections back: while a
// burst of them that each used one waits, the next burst of threads is served from what they gave back,
// at most 64 of them kept (the others closed), as if they had ended.
TEST_F(DbEnvPoolTest, ThreadsWaitingForWorkHoldNoConnection) {
    constexpr int kBurst = 80;
    std::latch used(kBurst), released(kBurst), done(1);
    std::vector<std::thread> waiting;
    for (int i = 0; i < kBurst; ++i)
        waiting.emplace_back([&] {
            {
                auto c = CDbEnv::threadConnection(nullptr);
                ASSERT_TRUE(c);
                std::unique_ptr<IDbStatement> st;
                ASSERT_EQ(c->prepare("SELECT 48", st), DB_OK);
                ASSERT_EQ(st->step(), DB_OK);
            }
            used.arrive_and_wait();  // all of them hold one at once
            releaseThreadResources();
            released.count_down();
            done.wait();  // alive, waiting for work
        });
    released.wait();
    std::latch together(kBurst);
    std::atomic<int> reused{0};
    std::vector<std::thread> next;
    for (int i = 0; i < kBurst; ++i)
        next.emplace_back([&] {
            auto c = CDbEnv::threadConnection(nullptr);
            together.arrive_and_wait();  // all of them hold one at once
            ASSERT_TRUE(c);
            reused += c->cachedStatements() >= 2 ? 1 : 0;  // it ran a waiting thread's statement
        });
    for (std::thread& t : next) t.join();
    done.count_down();
    for (std::thread& t : waiting) t.join();
    EXPECT_GT(reused.load(), 0) << "the waiting threads' connections serve the next threads";
    EXPECT_LE(reused.load(), 64) << "connections of waiting threads kept idle";
}

// Files of the process open on `path` (its journal and shared memory included), or with `suffix` only
// those whose name ends so.
int openFilesOf(const std::string& path, const std::string& suffix = "") {
    int n = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
        n += target.starts_with(path) && (suffix.empty() || target == path + suffix) ? 1 : 0;
    }
    return n;
}

// Reads one row through the calling thread's connection; the connection.
IDbConnection* readOnce() {
    auto c = CDbEnv::threadConnection(nullptr);
    if (!c) return nullptr;
    std::unique_ptr<IDbStatement> st;
    if (c->prepare("SELECT count(*) FROM q", st) != DB_OK || st->step() != DB_OK) return nullptr;
    return c.get();
}

// Copies the whole log back through a connection of its own: 0 when no reader held any of it, 1 when
// one did (-1: the checkpoint could not run).
long long checkpointBusy() {
    auto checkpointer = CDbEnv::newConnection(nullptr);
    std::unique_ptr<IDbStatement> st;
    if (!checkpointer || checkpointer->prepare("PRAGMA wal_checkpoint(TRUNCATE)", st) != DB_OK ||
        st->step() != DB_OK)
        return -1;
    return st->columnInt64(0);
}

// Moves `clock` on by the idle limit until `done`, as long as the sweeper's runs take at most.
template <class Done>
bool quietUntil(CHubManualClock& clock, Done done) {
    for (int i = 0; i < 2000 && !done(); ++i) {
        clock.advance(std::chrono::seconds(30));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// Connections of both kinds given back and left unused are closed 30 seconds later, though nothing else
// happens in the process: no file of the database stays open. Only then does the database let the
// process come to rest (processrest.h), once.
TEST_F(DbEnvPoolTest, IdleConnectionsCloseAfterThirtyQuietSeconds) {
    static CHubManualClock clock;  // read by the environment until it is closed
    DbOpenOptions o;
    o.create = true;
    const std::string path = dir.file("quiet.db");
    static std::atomic<int> rests{0}, filesAtRest{-1};
    static std::string watched;
    watched = path;
    registerProcessRestAction([] {
        filesAtRest = openFilesOf(watched);
        ++rests;
    });
    const int restsBefore = rests;
    ASSERT_EQ(CDbEnv::open(path, o, nullptr, clock), DB_OK);
    std::thread([] {
        ASSERT_EQ(CDbEnv::threadConnection(nullptr)->exec("CREATE TABLE q (v)"), DB_OK);
    }).join();
    ASSERT_EQ(CDbEnv::newConnection(nullptr)->exec("INSERT INTO q VALUES (1)"), DB_OK);
    ASSERT_GT(openFilesOf(path), 0);
    EXPECT_EQ(rests, restsBefore);
    EXPECT_TRUE(quietUntil(clock, [&] { return openFilesOf(path) == 0 && rests > restsBefore; }));
    EXPECT_EQ(openFilesOf(path), 0);
    EXPECT_EQ(rests, restsBefore + 1);
    EXPECT_EQ(filesAtRest, 0);
}

// A thread that keeps its connection while it waits long for something other than work (a periodic
// task's thread, a controller waiting for its stop) gives it back once it has gone unused: then no
// connection of the process holds the database file's lock, and the descriptors that SQLite kept open
// for every connection closed meanwhile (those of a burst of threads) are closed too. Its next read
// takes a connection again.
TEST_F(DbEnvPoolTest, AThreadWaitingLongKeepsNoConnectionNorTheFilesOfClosedOnes) {
    static CHubManualClock clock;  // read by the environment until it is closed
    DbOpenOptions o;
    o.create = true;
    const std::string path = dir.file("waiting.db");
    ASSERT_EQ(CDbEnv::open(path, o, nullptr, clock), DB_OK);
    ASSERT_EQ(CDbEnv::newConnection(nullptr)->exec("CREATE TABLE q (v)"), DB_OK);
    constexpr int kBurst = 12;
    std::latch read(1), wake(1), burstHolds(kBurst);
    std::atomic<bool> readAgain{false};
    std::thread waiter([&] {
        EXPECT_TRUE(readOnce());
        read.count_down();
        wake.wait();  // waits long, for something else than work
        readAgain = readOnce() != nullptr;
    });
    read.wait();
    std::vector<std::thread> burst;
    for (int i = 0; i < kBurst; ++i)
        burst.emplace_back([&] {
            EXPECT_TRUE(readOnce());
            burstHolds.arrive_and_wait();  // all of them hold one at once
        });
    for (std::thread& t : burst) t.join();
    ASSERT_GE(openFilesOf(path, ""), kBurst);
    EXPECT_TRUE(quietUntil(clock, [&] { return openFilesOf(path) == 0; }))
        << openFilesOf(path) << " files of the database open, " << openFilesOf(path, "-wal")
        << " of them its log, while no thread reads";
    wake.count_down();
    waiter.join();
    EXPECT_TRUE(readAgain.load());
}

// A request holds its thread's connection however long it waits between reads: the sweeper leaves it,
// and the request reads on in the read transaction it began. Once the request closes the connection
// holds no read transaction: a checkpoint through another connection copies the whole log back while
// the thread still keeps it.
TEST_F(DbEnvPoolTest, AnOpenRequestKeepsItsConnectionAClosedOneHoldsNoReads) {
    static CHubManualClock clock;  // read by the environment until it is closed
    DbOpenOptions o;
    o.create = true;
    const std::string path = dir.file("request.db");
    ASSERT_EQ(CDbEnv::open(path, o, nullptr, clock), DB_OK);
    ASSERT_EQ(CDbEnv::newConnection(nullptr)->exec("CREATE TABLE q (v)"), DB_OK);
    std::latch idleThreadRead(1), requestRead(1), resume(1), requestClosed(1), end(1);
    std::thread idle([&] {
        EXPECT_TRUE(readOnce());
        idleThreadRead.count_down();
        end.wait();
    });
    IDbConnection* first = nullptr;
    IDbConnection* second = nullptr;
    long long seen = -1;
    std::thread inRequest([&] {
        std::optional<CRequestReads> request;
        request.emplace();
        first = readOnce();
        requestRead.count_down();
        resume.wait();
        second = readOnce();
        auto c = CDbEnv::threadConnection(nullptr);
        std::unique_ptr<IDbStatement> st;
        if (c && c->prepare("SELECT count(*) FROM q", st) == DB_OK && st->step() == DB_OK)
            seen = st->columnInt64(0);
        st.reset();
        c.reset();
        request.reset();
        requestClosed.count_down();
        end.wait();
    });
    idleThreadRead.wait();
    requestRead.wait();
    // A write the request began too early to see.
    ASSERT_EQ(CDbEnv::newConnection(nullptr)->exec("INSERT INTO q VALUES (1)"), DB_OK);
    // The idle thread's connection goes (its log file with it); the request's stays.
    EXPECT_TRUE(quietUntil(clock, [&] { return openFilesOf(path, "-wal") == 1; }))
        << openFilesOf(path, "-wal") << " connections open";
    resume.count_down();
    requestClosed.wait();
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, first) << "the request's connection was taken while it was open";
    EXPECT_EQ(seen, 0) << "the request's reads share the read transaction it began";
    EXPECT_EQ(checkpointBusy(), 0) << "a read transaction held the log";
    end.count_down();
    idle.join();
    inRequest.join();
}

// A request looks at the database when it first reads: one that reads nothing (a relayed answer) takes no
// connection. One that read and then waits (a stop waiting for its workers) calls readAfresh first, so
// that no snapshot is held through the wait: a checkpoint empties the log, and the request's next read
// sees what was committed meanwhile.
TEST_F(DbEnvPoolTest, ARequestTakesItsConnectionAtItsFirstReadAndHoldsNothingThroughAWait) {
    ASSERT_EQ(CDbEnv::newConnection(nullptr)->exec("CREATE TABLE q (v)"), DB_OK);
    const std::string path = dir.file("pool.db");
    const int before = openFilesOf(path, "-wal");
    long long seen = -1;
    int filesUnread = -1;
    std::latch read(1), afresh(1), written(1), end(1);
    std::thread inRequest([&] {
        CRequestReads request;
        filesUnread = openFilesOf(path, "-wal");
        readOnce();
        read.count_down();
        written.wait();
        readAfresh();
        afresh.count_down();
        end.wait();
        auto c = CDbEnv::threadConnection(nullptr);
        std::unique_ptr<IDbStatement> st;
        if (c && c->prepare("SELECT count(*) FROM q", st) == DB_OK && st->step() == DB_OK)
            seen = st->columnInt64(0);
    });
    read.wait();
    EXPECT_EQ(filesUnread, before) << "a request that had read nothing opened a connection";
    ASSERT_EQ(CDbEnv::newConnection(nullptr)->exec("INSERT INTO q VALUES (1)"), DB_OK);
    written.count_down();
    afresh.wait();
    EXPECT_EQ(checkpointBusy(), 0) << "the waiting request held the log";
    end.count_down();
    inRequest.join();
    EXPECT_EQ(seen, 1) << "the read after the wait did not see the write";
}

}  // namespace
