// The log's promise: a line is in its file when the call that logs it returns, whatever its thread does
// next (computes without end, is killed, crashes, aborts), and lines appear in the order their calls
// returned, across threads.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/log/evdebug.h"
#include "tests/support/log/logline.h"
#include "tests/support/log/processlogdir.h"

namespace {

// The texts of the lines tagged `tag` in `path`, read through a descriptor of its own, in file order.
std::vector<std::string> textsOf(const std::string& path, const std::string& tag) {
    std::ifstream in(path);
    std::vector<std::string> texts;
    for (std::string line; std::getline(in, line);) {
        hubtest::ParsedLine parsed;
        if (hubtest::parseLine(line, &parsed) && parsed.tag == tag) texts.push_back(parsed.text);
    }
    return texts;
}

class LinesInFile : public ::testing::Test {
protected:
    void SetUp() override {
        hubtest::processLogDir();
        EvDebug(&m_log).initialize(1, 0, true, "lines-" + std::to_string(++s_files) + ".log");
    }
    std::string path() { return m_log.filePath(); }

    EvDebugFileInstance m_log;
    static inline int s_files = 0;
};

// A thread logs and goes on computing, never waiting on anything: each of its lines (one, an error, lines
// made together) is read from the file by another thread the moment the call returned.
TEST_F(LinesInFile, ALineIsInItsFileWhenItsCallReturnsWhileItsThreadComputes) {
    std::atomic<int> returned{0};  // calls that returned
    std::atomic<int> read{0};      // calls whose lines the reader looked for
    std::atomic<bool> stop{false};
    std::thread computing([&] {
        EvDebug log(&m_log);
        log.setPrefixMessage("NOW");
        for (int i = 0; i < 20; ++i) {
            if (i % 5 == 4)
                log.error("failed %d", i);
            else if (i % 5 == 3)
                log.debugLines(
                    0, {"together " + std::to_string(i) + " a", "together " + std::to_string(i) + " b"});
            else
                log.debugLvl(0, "line %d", i);
            returned.store(i + 1);
            // Computes on until the reader has looked: no wait, no sleep, no lock.
            unsigned long long work = 0;
            while (read.load() <= i && !stop.load()) work = work * 31 + 7;
            if (work == 1) log.debugLvl(0, "never");
        }
    });
    std::vector<std::string> expected;
    for (int i = 0; i < 20; ++i) {
        while (returned.load() <= i) {
        }
        if (i % 5 == 4) {
            expected.push_back("ERROR: failed " + std::to_string(i));
        } else if (i % 5 == 3) {
            expected.push_back("together " + std::to_string(i) + " a");
            expected.push_back("together " + std::to_string(i) + " b");
        } else {
            expected.push_back("line " + std::to_string(i));
        }
        const std::vector<std::string> found = textsOf(path(), "NOW");
        const bool same = found == expected;
        EXPECT_TRUE(same) << "call " << i << ": " << found.size() << " lines in the file, " << expected.size()
                          << " made";
        if (!same) stop = true;
        read.store(i + 1);
        if (!same) break;
    }
    stop = true;
    computing.join();
}

// The child of the test below: logs `lines` lines from two threads, tells the parent through `ready`,
// and computes until it is killed.
[[noreturn]] void logThenCompute(const std::string& folder, int lines, int ready) {
    EvDebugFileInstance::setLogDirectory(folder);
    auto* inst = new EvDebugFileInstance;  // lives as long as the process
    EvDebug(inst).initialize(1, 0, false, "killed.log");
    std::atomic<int> done{0};
    std::thread other([inst, lines, &done] {
        EvDebug log(inst);
        log.setPrefixMessage("KILLED");
        for (int i = lines / 2; i < lines; ++i) log.debugLvl(0, "line %d", i);
        done.fetch_add(1);
        for (;;) done.load();
    });
    other.detach();
    EvDebug log(inst);
    log.setPrefixMessage("KILLED");
    for (int i = 0; i < lines / 2; ++i) log.debugLvl(0, "line %d", i);
    while (done.load() == 0) {
    }
    const char byte = 'r';
    if (write(ready, &byte, 1) != 1) std::_Exit(2);
    for (;;) done.load();
}

// A process killed by SIGKILL right after its calls returned loses none of their lines: the child is a
// program of its own (this one, run again), not a fork that shares the parent's log.
TEST(LinesInFileAtAKill, AKillRightAfterTheCallsLosesNoLine) {
    constexpr int kLines = 200;
    if (const char* child = std::getenv("HUB_LINES_KILLED_CHILD")) {
        logThenCompute(child, kLines, std::atoi(std::getenv("HUB_LINES_KILLED_READY")));
    }
    const std::string folder = hubtest::processLogDir() + "/killed";
    std::filesystem::create_directories(folder);
    int pipeFds[2] = {-1, -1};
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFds[0]);
        setenv("HUB_LINES_KILLED_CHILD", folder.c_str(), 1);
        setenv("HUB_LINES_KILLED_READY", std::to_string(pipeFds[1]).c_str(), 1);
        execl("/proc/self/exe", "linesinfile_child", "--gtest_filter=LinesInFileAtAKill.*", nullptr);
        std::_Exit(127);
    }
    close(pipeFds[1]);
    char byte = 0;
    const ssize_t got = read(pipeFds[0], &byte, 1);
    close(pipeFds[0]);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(got, 1) << "the child never said it had logged its lines";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    std::vector<bool> seen(kLines, false);
    for (const std::string& text : textsOf(folder + "/killed.log", "KILLED")) {
        const int n = std::atoi(text.c_str() + 5);
        if (text.rfind("line ", 0) == 0 && n >= 0 && n < kLines) seen[n] = true;
    }
    int found = 0;
    for (bool s : seen) found += s ? 1 : 0;
    EXPECT_EQ(found, kLines) << "lines lost to the kill";
}

// Two threads ordered by a lock (the standard one: the log must not rely on which lock its callers
// take): A logs and lets B go, B takes the lock and logs. The file shows every A line before the B line
// that followed it, and B's before A's next.
TEST_F(LinesInFile, LinesOfThreadsOrderedByALockAppearInThatOrder) {
    constexpr int kRounds = 2000;
    std::mutex mutex;
    std::condition_variable turned;
    int turn = 0;  // even: A's turn; odd: B's
    const auto player = [&](const char* name, int parity) {
        EvDebug log(&m_log);
        log.setPrefixMessage("ORDER");
        for (int i = 0; i < kRounds; ++i) {
            std::unique_lock<std::mutex> lock(mutex);
            turned.wait(lock, [&] { return turn % 2 == parity; });
            log.debugLvl(0, "%s %d", name, i);
            ++turn;
            lock.unlock();
            turned.notify_all();
        }
    };
    std::thread a(player, "A", 0);
    std::thread b(player, "B", 1);
    a.join();
    b.join();
    const std::vector<std::string> texts = textsOf(path(), "ORDER");
    ASSERT_EQ(texts.size(), 2u * kRounds);
    int misplaced = 0;
    for (int i = 0; i < 2 * kRounds; ++i) {
        const std::string expected = std::string(i % 2 == 0 ? "A " : "B ") + std::to_string(i / 2);
        if (texts[i] != expected && misplaced++ == 0)
            ADD_FAILURE() << "line " << i << " is [" << texts[i] << "], not [" << expected << "]";
    }
    EXPECT_EQ(misplaced, 0);
}

// Runs in a process of its own (the death test runs this program again): a thread logs a line and works
// on without ever waiting, the main thread logs another and ends as `how` says.
[[noreturn]] void endAfterLines(const std::string& folder, const std::string& how) {
    EvDebugFileInstance::setLogDirectory(folder);
    auto* inst = new EvDebugFileInstance;  // lives as long as the process
    EvDebug(inst).initialize(1, 0, false, "ending.log");
    std::atomic<bool> logged{false};
    std::thread busy([inst, &logged] {
        EvDebug log(inst);
        log.setPrefixMessage("BUSY");
        log.debugLvl(0, "logged by a thread that never waits");
        logged = true;
        for (;;) logged.load();
    });
    busy.detach();
    while (!logged.load()) {
    }
    EvDebug log(inst);
    log.setPrefixMessage("MAIN");
    log.debugLvl(0, "logged by the thread that ends it (%s)", how.c_str());
    if (how == "fault") *static_cast<volatile int*>(nullptr) = 1;
    if (how == "abort") std::abort();
    if (how == "fatal") log.fatal("a fault it cannot go on from");
    std::exit(0);
}

TEST(LinesInFileAtTheEnd, ACrashAnAbortAndTheExitLoseNoLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* given = std::getenv("HUB_LINES_ENDING_FOLDER");
    const std::string folder = given ? given : hubtest::processLogDir() + "/ending";
    std::filesystem::create_directories(folder);
    setenv("HUB_LINES_ENDING_FOLDER", folder.c_str(), 1);
    const std::string path = folder + "/ending.log";
    const auto has = [&path](const std::string& tag, const std::string& text) {
        for (const std::string& t : textsOf(path, tag))
            if (t == text) return true;
        return false;
    };
    const auto endedBadly = [](int status) { return !(WIFEXITED(status) && WEXITSTATUS(status) == 0); };
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer takes a fault's signal itself (its report is the record then).
    const std::vector<std::string> endings = {"abort", "fatal"};
#else
    const std::vector<std::string> endings = {"fault", "abort", "fatal"};
#endif
    for (const std::string& how : endings) {
        SCOPED_TRACE(how);
        EXPECT_EXIT(endAfterLines(folder, how), endedBadly, "");
        EXPECT_TRUE(has("MAIN", "logged by the thread that ends it (" + how + ")"));
        EXPECT_TRUE(has("BUSY", "logged by a thread that never waits"));
        if (how == "fatal") {
            EXPECT_TRUE(has("MAIN", "ERROR: a fault it cannot go on from"));
        }
        std::filesystem::remove(path);
    }
    EXPECT_EXIT(endAfterLines(folder, "exit"), ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(has("MAIN", "logged by the thread that ends it (exit)"));
    EXPECT_TRUE(has("BUSY", "logged by a thread that never waits"));
}

}  // namespace
