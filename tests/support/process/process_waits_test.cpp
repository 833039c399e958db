// The waits of the process helpers against real processes (/bin/sh held on a FIFO until the test lets
// it go): each ends on the event it waits for, or at its limit, never long after; a process that
// ignores SIGTERM is still ended. A child's sanitizer report or crash fails the test that started it.
#include <fcntl.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/db/tempdir.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/consolerun.h"
#include "tests/support/process/filewatch.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A FIFO in `dir` that a shell script reads to go on (`read go < FIFO`); the test lets it go.
class CGate {
public:
    explicit CGate(const TempDir& dir) : m_path(dir.file("gate")) {
        EXPECT_EQ(mkfifo(m_path.c_str(), 0600), 0);
    }
    const std::string& path() const { return m_path; }
    void open() const { std::ofstream(m_path) << "go\n"; }

private:
    std::string m_path;
};

size_t linesOf(const std::string& file) {
    std::ifstream in(file);
    size_t n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
}

}  // namespace

TEST(ChildProcessWaits, OutputLimitsEndAndExitStatus) {
    TempDir dir;
    CGate gate(dir);
    hubtest::CChildProcess child(
        "/bin/sh", {"-c", "echo ready; read go < " + gate.path() + "; echo \"got $go\"; exit 3"});
    EXPECT_TRUE(child.waitFor("ready", 10s)) << child.output();
    // Held at the gate, it writes nothing more and does not end: both waits end at their limits.
    const auto begun = Clock::now();
    EXPECT_FALSE(child.waitFor("got", 300ms));
    EXPECT_FALSE(child.waitExit(200ms));
    EXPECT_GE(Clock::now() - begun, 500ms);
    EXPECT_TRUE(child.alive());
    EXPECT_EQ(child.exitStatus(), -1) << "no status while it runs";

    gate.open();
    EXPECT_TRUE(child.waitExit(10s)) << child.output();
    EXPECT_EQ(child.exitStatus(), 3);
    EXPECT_EQ(child.output(), "ready\ngot go\n");
    EXPECT_FALSE(child.alive());
    const auto after = Clock::now();
    EXPECT_FALSE(child.waitFor("never written", 30s));
    EXPECT_LT(Clock::now() - after, 10s) << "an ended output ends the wait";
}

TEST(ChildProcessWaits, StopEndsEvenAProcessThatIgnoresSigterm) {
    hubtest::CChildProcess polite("/bin/sh",
                                  {"-c", "trap 'echo bye; exit 0' TERM; echo up; while :; do sleep 1; done"});
    ASSERT_TRUE(polite.waitFor("up", 10s));
    EXPECT_EQ(polite.stop("bye"), 0) << polite.output();
    EXPECT_FALSE(polite.alive());

    hubtest::CChildProcess stubborn("/bin/sh", {"-c", "trap '' TERM; echo up; while :; do sleep 1; done"});
    ASSERT_TRUE(stubborn.waitFor("up", 10s));
    const auto begun = Clock::now();
    EXPECT_EQ(stubborn.stop("", 500ms), -1);
    EXPECT_LT(Clock::now() - begun, 10s);
    EXPECT_FALSE(stubborn.alive());
}

// Children started while other threads of the test allocate all the time (as a crowd of senders does)
// all start, and none holds an end of another child's output.
TEST(ChildProcessWaits, ChildrenStartBesideBusyThreadsAndHoldOnlyTheirOwnOutput) {
    TempDir dir;
    CGate gate(dir);
    hubtest::CChildProcess held("/bin/sh", {"-c", "echo up; read go < " + gate.path()});
    ASSERT_TRUE(held.waitFor("up", 10s));
    const std::string heldOutput =
        std::filesystem::read_symlink("/proc/" + std::to_string(held.pid()) + "/fd/1").string();
    ASSERT_EQ(heldOutput.rfind("pipe:", 0), 0u) << heldOutput;
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (int i = 0; i < 8; ++i)
        busy.emplace_back([&stop] {
            while (!stop) std::vector<char> block(size_t{1} << 20);
        });
    for (int i = 0; i < 40; ++i) {
        hubtest::CChildProcess child("/bin/sh", {"-c", "cd /proc/$$/fd && for f in *; do readlink $f; done"});
        if (!child.waitExit(30s)) {  // the busy threads are joined below either way
            ADD_FAILURE() << "child " << i << " did not start or end: " << child.output();
            break;
        }
        EXPECT_NE(child.output().find("pipe:"), std::string::npos) << child.output();
        EXPECT_EQ(child.output().find(heldOutput), std::string::npos)
            << "child " << i << ": " << child.output();
    }
    stop = true;
    for (std::thread& t : busy) t.join();
    gate.open();
    EXPECT_TRUE(held.waitExit(10s));
}

TEST(FileWatchWaits, WakesOnWritesToTheWatchedFiles) {
    TempDir dir;
    CGate gate(dir);
    const std::string journal = dir.file("journal");
    hubtest::CFileWatch journalWrites(journal);  // before the file exists
    hubtest::CFileWatch logWrites(dir.path(), ".log");
    hubtest::CChildProcess writer(
        "/bin/sh", {"-c", "read go < " + gate.path() + "; for i in 1 2 3; do echo line $i >> " + journal +
                              "; done; echo done >> " + dir.file("agent.log")});
    const auto threeLines = [&] { return linesOf(journal) >= 3; };
    EXPECT_FALSE(journalWrites.waitUntil(threeLines, 200ms)) << "nothing written yet";

    gate.open();
    EXPECT_TRUE(journalWrites.waitUntil(threeLines, 30s)) << linesOf(journal) << " line(s)";
    EXPECT_TRUE(logWrites.waitUntil([&] { return linesOf(dir.file("agent.log")) == 1; }, 30s));
    EXPECT_TRUE(writer.waitExit(10s));

    // No inotify instance to have (every descriptor this process may hold is taken): the file is looked
    // at on the clock, and its write, made at the wait's third look, is seen.
    const int out = open(dir.file("late").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(out, 0);
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    const rlimit saved = files;
    const int lowest = dup(out);
    close(lowest);
    files.rlim_cur = static_cast<rlim_t>(lowest);
    setrlimit(RLIMIT_NOFILE, &files);
    hubtest::CFileWatch blind(dir.file("late"));
    setrlimit(RLIMIT_NOFILE, &saved);
    int looks = 0;
    EXPECT_TRUE(blind.waitUntil(
        [&] {
            if (++looks == 3 && write(out, "x\n", 2) != 2) ADD_FAILURE() << "cannot write";
            struct stat written {};
            return fstat(out, &written) == 0 && written.st_size > 0;
        },
        30s));
    close(out);

    // A folder that cannot be watched: the wait says so at once instead of waiting for nothing.
    hubtest::CFileWatch nowhere(dir.file("missing") + "/journal");
    const auto begun = Clock::now();
    EXPECT_FALSE(nowhere.waitUntil([] { return false; }, 30s));
    EXPECT_LT(Clock::now() - begun, 10s);
}

TEST(ConsoleRunWaits, CollectsBothOutputsAndStopsAtItsLimit) {
    TempDir dir;
    const hubtest::TConsoleRun run = hubtest::runConsole("echo out; echo err >&2; exit 2", dir.file("err"));
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "out\n");
    EXPECT_EQ(run.err, "err\n");

    CGate gate(dir);
    const auto begun = Clock::now();
    const hubtest::TConsoleRun held =
        hubtest::runConsole("echo started; read go < " + gate.path(), dir.file("err2"), 300ms);
    EXPECT_EQ(held.status, -1);
    EXPECT_EQ(held.out, "started\n");
    EXPECT_LT(Clock::now() - begun, 10s);
}

// Whatever the test checks, what a child's end tells fails it: a sanitizer's report on its standard
// error (the process exiting 0 all the same), a death by a signal the test did not send, a failing exit
// once told to stop; a signal the test sent is no fault.
TEST(ChildProcessFaults, SanitizerReportsCrashesAndFailedStopsFailTheTest) {
    EXPECT_NONFATAL_FAILURE(
        {
            hubtest::CChildProcess child("/bin/sh", {"-c",
                                                     "echo 'x.cpp:3:9: runtime error: signed integer "
                                                     "overflow' >&2; echo done"});
            EXPECT_TRUE(child.waitFor("done", 10s));
        },
        "reported a sanitizer error");
    EXPECT_NONFATAL_FAILURE(
        {
            // Reported while it still runs: read when the test ends it.
            hubtest::CChildProcess child(
                "/bin/sh", {"-c",
                            "echo '==7==ERROR: AddressSanitizer: heap-use-after-free' >&2; echo up; "
                            "while :; do sleep 1; done"});
            EXPECT_TRUE(child.waitFor("up", 10s));
        },
        "heap-use-after-free");
    EXPECT_NONFATAL_FAILURE(
        {
            hubtest::CChildProcess child("/bin/sh", {"-c", "kill -SEGV $$"});
            EXPECT_TRUE(child.waitExit(10s));
        },
        "died of signal 11");
    EXPECT_NONFATAL_FAILURE(
        {
            hubtest::CChildProcess child("/bin/sh",
                                         {"-c", "trap 'exit 3' TERM; echo up; while :; do sleep 1; done"});
            EXPECT_TRUE(child.waitFor("up", 10s));
        },
        "exited with status 3 when told to stop");
    EXPECT_NONFATAL_FAILURE(
        {
            TempDir dir;
            hubtest::runConsole("echo 'SUMMARY: UndefinedBehaviorSanitizer: undefined-behavior' >&2",
                                dir.file("err"));
        },
        "reported a sanitizer error");

    hubtest::CChildProcess killed("/bin/sh", {"-c", "echo up; while :; do sleep 1; done"});
    ASSERT_TRUE(killed.waitFor("up", 10s));
    killed.signal(SIGKILL);
    EXPECT_TRUE(killed.waitExit(10s));
    EXPECT_EQ(killed.exitStatus(), -1);
}
