// The instruction benchmark's mixed order and its system calls: the rotation's cells, the summary of its
// browses (mean, dearest), and a full strace read back as its calls less the writes to log files.
#include <gtest/gtest.h>

#include <set>

#include "bench/instructions/mixed.h"

namespace {

using namespace instrbench;

TEST(InstructionMixedOrder, TenStepsComeToEveryCellOnceAndNoStepRepeatsTheRoadOrTheBrowse) {
    std::set<std::pair<int, int>> seen;
    TRotationStep last{-1, -1};
    for (int i = 0; i < 10; ++i) {
        const TRotationStep s = rotationStep(i, 2, 5);
        EXPECT_NE(s.road, last.road) << i;
        EXPECT_NE(s.browse, last.browse) << i;
        seen.insert({s.road, s.browse});
        last = s;
    }
    EXPECT_EQ(seen.size(), 10u);
}

TEST(InstructionMixedOrder, SummaryCountsEveryBrowseAndNamesTheDearest) {
    const std::vector<TCell> cells = {{.road = "A", .browse = "x"},
                                      {.road = "B", .browse = "x"},
                                      {.road = "A", .browse = "y"},
                                      {.road = "B", .browse = "y"}};
    auto counted = [](int road, int browse, double rest) {
        TMixedBrowse b;
        b.road = road, b.browse = browse, b.host = {2e6, rest};
        return b;
    };
    std::vector<TMixedBrowse> browses = {counted(0, 0, 1e6), counted(1, 0, 0.8e6), counted(0, 1, 3e6),
                                         counted(1, 1, 1.2e6), counted(0, 0, 1e6)};
    // A browse of the natively run processes brings its calls, not instructions.
    TMixedBrowse traced;
    traced.road = 1, traced.browse = 1, traced.counted = false, traced.hostCalls = 40;
    browses.push_back(traced);
    const TMixedSummary s = summarise(browses, cells);
    EXPECT_DOUBLE_EQ(s.hostRestMean, 1.4e6);  // every browse counted: none is trimmed away
    EXPECT_DOUBLE_EQ(s.hostRestDearest, 3e6);
    EXPECT_EQ(s.dearestCell, "A, y");
    EXPECT_DOUBLE_EQ(s.hostCallsMean, 40);
    EXPECT_EQ(s.cells[0].hostRest.rounds.size(), 2u);
    EXPECT_EQ(s.cells[3].hostRest.rounds.size(), 1u);
    EXPECT_EQ(s.cells[3].hostCalls.rounds, std::vector<double>{40});
    EXPECT_DOUBLE_EQ(plainMean({}), 0);
}

TEST(InstructionMixedOrder, TraceCountsEveryCallOnceAndTellsTheLogsWritesApart) {
    const std::string trace =
        "4242 write(7</data/world/hubmaster.log>, \"line\\n\", 5) = 5\n"
        "4243 writev(8</data/world/hubmaster.log.1>, [{iov_base=\"a\", iov_len=1}], 1) = 1\n"
        "4242 pwrite64(9</data/world/hub.db-wal>, \"...\", 4096, 0) = 4096\n"
        "4244 write(11<TCP:[127.0.0.1:5000->127.0.0.1:6000]>, \"x\", 1) = 1\n"
        "4244 write(12</data/world/catalog/index>, \"x\", 1) = 1\n"
        "4245 futex(0x7f, FUTEX_WAIT_PRIVATE, 0, NULL <unfinished ...>\n"
        "4242 read(7</data/world/hubmaster.log>, \"\", 1) = 0\n"
        "4245 <... futex resumed>) = 0\n"
        "4245 --- SIGCHLD {si_signo=SIGCHLD} ---\n"
        "4246 +++ exited with 0 +++\n"
        "epoll_wait(3<anon_inode:[eventpoll]>, [], 8, 10) = 0\n";
    const TTraceCalls calls = readStraceTrace(trace);
    EXPECT_EQ(calls.all, 8);        // the unfinished futex once; signals and exits are no calls
    EXPECT_EQ(calls.logWrites, 2);  // the database's, a socket's, another file's and a read of the log count
    EXPECT_EQ(calls.counted(), 6);
    EXPECT_EQ(readStraceTrace("").all, 0);
}

}  // namespace
