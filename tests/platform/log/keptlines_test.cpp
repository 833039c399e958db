// The log's rule with kept lines: a line is in its file before its thread waits on anything (each of the
// platform's waits), before a peer sees what the thread sends, when its thread ends, at a crash (of its
// own thread or another) and at the exit; the lines made between two waits go out together.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/db/sqlitebusy.h"
#include "platform/log/evdebug.h"
#include "platform/net/zynet_socket.h"
#include "platform/threads/hubclock.h"
#include "platform/threads/hubmutex.h"
#include "platform/threads/zythread.h"
#include "platform/waits/waitpoint.h"
#include "tests/support/log/logline.h"
#include "tests/support/log/processlogdir.h"

namespace {

// The texts of the lines tagged `tag` in `path`, in file order.
std::vector<std::string> textsOf(const std::string& path, const std::string& tag) {
    std::ifstream in(path);
    std::vector<std::string> texts;
    for (std::string line; std::getline(in, line);) {
        hubtest::ParsedLine parsed;
        if (hubtest::parseLine(line, &parsed) && parsed.tag == tag) texts.push_back(parsed.text);
    }
    return texts;
}

bool has(const std::string& path, const std::string& tag, const std::string& text) {
    for (const std::string& t : textsOf(path, tag))
        if (t == text) return true;
    return false;
}

// Up to a generous bound (it only keeps a broken rule from hanging the test): whether `text` came.
bool comes(const std::string& path, const std::string& tag, const std::string& text) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!has(path, tag, text)) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class KeptLines : public ::testing::Test {
protected:
    void SetUp() override {
        hubtest::processLogDir();
        EvDebug(&m_log).initialize(1, 0, true, "kept-" + std::to_string(++s_files) + ".log");
    }
    std::string path() { return m_log.filePath(); }
    void log(const char* text) {
        EvDebug log(&m_log);
        log.setPrefixMessage("KEPT");
        log.debugLvl(0, "%s", text);
    }

    EvDebugFileInstance m_log;
    static inline int s_files = 0;
};

// One way a thread waits: `take` (on the test's thread) takes what `waits` then waits for on a thread of
// its own, until `release` (on the test's thread) lets it go.
struct TWait {
    const char* name;
    std::function<void()> take, waits, release;
};

TEST_F(KeptLines, ALineIsInItsFileBeforeItsThreadWaitsOnAnything) {
    CHubMutex held;
    CHubSharedMutex shared;
    std::unique_ptr<CHubWriteLock> writing;
    std::condition_variable changed;
    bool go = false;
    CHubManualClock clock;
    int pair[2] = {-1, -1};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    zynet::CSocket reader(pair[0]);
    const std::string database = (std::filesystem::path(path()).parent_path() / "busy.db").string();
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(database.c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer, "CREATE TABLE IF NOT EXISTS t(x)", nullptr, nullptr, nullptr), SQLITE_OK);
    std::atomic<bool> ending{false};
    ZyThread joined;
    const auto nothing = [] {};

    const std::vector<TWait> waits = {
        {"a lock another thread holds", [&] { held.lock(); }, [&] { CHubMutexLock lock(held); },
         [&] { held.unlock(); }},
        {"a lock another thread writes under", [&] { writing = std::make_unique<CHubWriteLock>(shared); },
         [&] { CHubReadLock lock(shared); }, [&] { writing.reset(); }},
        {"a condition", nothing,
         [&] {
             CHubMutexLock lock(held);
             lock.wait(changed, [&]() REQUIRES(held) { return go; });
         },
         [&] {
             {
                 CHubMutexLock lock(held);
                 go = true;
             }
             changed.notify_all();
         }},
        {"a sleep", nothing, [&] { clock.sleepUntil(clock.steadyNow() + std::chrono::hours(1)); },
         [&] { clock.advance(std::chrono::hours(2)); }},
        {"a peer's answer", nothing,
         [&] {
             uint8_t byte = 0;
             size_t got = 0;
             int err = 0;
             reader.receiveSome(&byte, 1, zynet::deadlineIn(600), got, err);
         },
         [&] { EXPECT_EQ(write(pair[1], "x", 1), 1); }},
        {"a busy database", [&] { sqlite3_exec(writer, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr); },
         [&] {
             sqlite3* db = nullptr;
             sqlite3_open(database.c_str(), &db);
             zydb::waitWhenBusy(db, 600000);
             sqlite3_exec(db, "BEGIN IMMEDIATE; COMMIT", nullptr, nullptr, nullptr);
             sqlite3_close(db);
         },
         [&] { sqlite3_exec(writer, "COMMIT", nullptr, nullptr, nullptr); }},
        {"another thread's end",
         [&] {
             joined.createThread(
                 [](void* flag) -> void* {
                     while (!static_cast<std::atomic<bool>*>(flag)->load()) std::this_thread::yield();
                     return nullptr;
                 },
                 &ending);
         },
         [&] { joined.join(nullptr); }, [&] { ending = true; }},
    };
    for (const TWait& wait : waits) {
        SCOPED_TRACE(wait.name);
        wait.take();
        const std::string text = std::string("before waiting on ") + wait.name;
        std::thread waiting([&] {
            log(text.c_str());
            wait.waits();
        });
        EXPECT_TRUE(comes(path(), "KEPT", text)) << "the line was kept while its thread waited";
        wait.release();
        waiting.join();
    }
    sqlite3_close(writer);
    close(pair[1]);
}

TEST_F(KeptLines, APeerThatGotAMessageFindsTheLinesMadeBeforeIt) {
    int pair[2] = {-1, -1};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    zynet::CSocket sender(pair[0]);
    std::atomic<bool> looked{false};
    std::thread sending([&] {
        log("made before the message");
        const char byte = 'm';
        iovec part{const_cast<char*>(&byte), 1};
        size_t sent = 0;
        int err = 0;
        sender.sendAll(&part, 1, zynet::deadlineIn(60), sent, err);
        // Works on without waiting until the peer looked: only the send can have written the line.
        log("made after the message");
        while (!looked.load()) {
        }
    });
    char byte = 0;
    EXPECT_EQ(read(pair[1], &byte, 1), 1);
    EXPECT_TRUE(has(path(), "KEPT", "made before the message"));
    looked = true;
    sending.join();
    EXPECT_TRUE(has(path(), "KEPT", "made after the message")) << "written as its thread ended";
    close(pair[1]);
}

TEST_F(KeptLines, TheLinesMadeBetweenWaitsGoOutTogetherInTheirOrder) {
    for (int i = 0; i < 3; ++i) log(("between waits " + std::to_string(i)).c_str());
    EXPECT_TRUE(textsOf(path(), "KEPT").empty()) << "no wait yet: the lines are kept";
    hubwait::beforeWait();
    EXPECT_EQ(textsOf(path(), "KEPT"),
              (std::vector<std::string>{"between waits 0", "between waits 1", "between waits 2"}));
    // An entry point's return is a wait point for its caller.
    {
        const hubwait::CWaitPointAtReturn returning;
        log("made in a call");
    }
    EXPECT_TRUE(has(path(), "KEPT", "made in a call"));
}

// Runs in a process of its own (the death test runs this program again): a thread keeps a line and works
// on without ever waiting, the main thread keeps another and ends as `how` says.
[[noreturn]] void endWithKeptLines(const std::string& folder, const std::string& how) {
    EvDebugFileInstance::setLogDirectory(folder);
    auto* inst = new EvDebugFileInstance;  // lives as long as the process
    EvDebug(inst).initialize(1, 0, false, "ending.log");
    std::atomic<bool> kept{false};
    std::thread busy([inst, &kept] {
        EvDebug log(inst);
        log.setPrefixMessage("BUSY");
        log.debugLvl(0, "kept by a thread that never waits");
        kept = true;
        for (;;) kept.load();
    });
    busy.detach();
    while (!kept.load()) {
    }
    EvDebug log(inst);
    log.setPrefixMessage("MAIN");
    log.debugLvl(0, "kept by the thread that ends it (%s)", how.c_str());
    if (how == "fault") *static_cast<volatile int*>(nullptr) = 1;
    if (how == "abort") std::abort();
    if (how == "fatal") log.fatal("a fault it cannot go on from");
    std::exit(0);
}

TEST(KeptLinesAtTheEnd, ACrashAnAbortAndTheExitWriteEveryThreadsKeptLines) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* given = std::getenv("HUB_KEPT_LINES_FOLDER");
    const std::string folder = given ? given : hubtest::processLogDir() + "/ending";
    std::filesystem::create_directories(folder);
    setenv("HUB_KEPT_LINES_FOLDER", folder.c_str(), 1);
    const std::string path = folder + "/ending.log";
    const auto endedBadly = [](int status) { return !(WIFEXITED(status) && WEXITSTATUS(status) == 0); };
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer takes a fault's signal itself (its report is the record then).
    const std::vector<std::string> endings = {"abort", "fatal"};
#else
    const std::vector<std::string> endings = {"fault", "abort", "fatal"};
#endif
    for (const std::string& how : endings) {
        SCOPED_TRACE(how);
        EXPECT_EXIT(endWithKeptLines(folder, how), endedBadly, "");
        EXPECT_TRUE(has(path, "MAIN", "kept by the thread that ends it (" + how + ")"));
        EXPECT_TRUE(has(path, "BUSY", "kept by a thread that never waits"));
        std::filesystem::remove(path);
    }
    EXPECT_EXIT(endWithKeptLines(folder, "exit"), ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(has(path, "MAIN", "kept by the thread that ends it (exit)"));
    EXPECT_TRUE(has(path, "BUSY", "kept by a thread that never waits"));
}

}  // namespace
