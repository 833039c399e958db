#include "platform/log/evdebug.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/config/zyplatforminfo.h"
#include "platform/log/peerlog.h"
#include "platform/threads/hubclock.h"
#include "tests/support/log/logline.h"
#include "tests/support/log/processlogdir.h"

namespace {

std::string makeTempDir(const char* prefix) {
    std::string tmpl = ::testing::TempDir() + prefix + "XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return {};
    return buf.data();
}

const std::string& logDir() {
    return hubtest::processLogDir();
}

// The lines of `path`.
std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    std::string l;
    while (std::getline(in, l)) lines.push_back(l);
    return lines;
}

using hubtest::ParsedLine;
using hubtest::parseLine;

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        logDir();
        regDir_ = makeTempDir("evreg");
        ZYPlatformInfo::setRegistryPath(regDir_ + "/registry.ini");
    }
    void TearDown() override {
        ZYPlatformInfo::setRegistryPath("");
        std::error_code ec;
        std::filesystem::remove_all(regDir_, ec);
    }
    std::string regDir_;
};

TEST_F(LogTest, NullInstanceWritesWholeTaggedLinesToTheDefaultLog) {
    EvDebug log(nullptr);
    log.setPrefixMessage("TAGA");
    log.debugLvl(-1, "hello %d %s", 42, "world");
    log.DebugLvl("myFunction", 0, "detail [%s]", "x");
    log.Error("failingFunction", "bad thing %d", 7);
    log.error("plain error");
    log.Debug("dbgFunction", "debug line");

    std::string path = EvDebugFileInstance::defaultInstance()->filePath();
    EXPECT_EQ(path, logDir() + "/" + program_invocation_short_name + ".log");
    auto lines = readLines(path);
    int matched = 0;
    for (const auto& l : lines) {
        ParsedLine m;
        ASSERT_TRUE(parseLine(l, &m)) << l;
        if (m.tag != "TAGA") continue;
        ++matched;
        EXPECT_EQ(std::stol(m.pid), static_cast<long>(getpid()));
        EXPECT_EQ(std::stol(m.tid), static_cast<long>(syscall(SYS_gettid)));
        std::string text = m.text;
        if (text == "hello 42 world") {
            EXPECT_EQ(m.level, "-1");
        }
        if (text == "myFunction: detail [x]") {
            EXPECT_EQ(m.level, "0");
        }
        if (text == "failingFunction: ERROR: bad thing 7") {
            EXPECT_EQ(m.level, "-1");
        }
        if (text == "ERROR: plain error") {
            EXPECT_EQ(m.level, "-1");
        }
        if (text == "dbgFunction: debug line") {
            EXPECT_EQ(m.level, "0");
        }
    }
    EXPECT_EQ(matched, 5);
}

TEST_F(LogTest, LevelFilterDefaultsToZeroAndFollowsTheRegistry) {
    EvDebugFileInstance inst;
    EvDebug log(&inst);
    log.initialize(0x0C255DB9, 0, true, "levels.log");
    log.setPrefixMessage("LVL");
    EXPECT_EQ(log.GetDebugLevel(), 0);
    for (int l = -1; l <= 10; ++l) log.debugLvl(l, "line at %d", l);

    ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", "DebugLevel", 3));
    EXPECT_EQ(log.getDebugLevel(), 0);  // read again only on refresh
    log.refreshAllParams();
    EXPECT_EQ(log.getDebugLevel(), 3);
    for (int l = -1; l <= 10; ++l) log.debugLvl(l, "second at %d", l);

    std::vector<std::string> texts;
    for (const auto& l : readLines(inst.filePath())) {
        ParsedLine m;
        ASSERT_TRUE(parseLine(l, &m)) << l;
        if (m.tag == "LVL") texts.push_back(m.text);
    }
    std::vector<std::string> want = {"line at -1",  "line at 0",   "second at -1", "second at 0",
                                     "second at 1", "second at 2", "second at 3"};
    EXPECT_EQ(texts, want);
    EXPECT_EQ(inst.filePath(), logDir() + "/levels.log");
}

TEST_F(LogTest, OverrideWinsOverTheRegistry) {
    ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", "DebugLevel", 8));
    EvDebugFileInstance inst;
    EvDebug log(&inst);
    EXPECT_EQ(log.getDebugLevel(), 8);
    inst.setDebugLevelOverride(1);
    EXPECT_EQ(log.getDebugLevel(), 1);
    inst.setDebugLevelOverride(-1);
    EXPECT_EQ(log.getDebugLevel(), 8);
}

// Many threads at once, across roll-overs: lines arrive whole, each once, in each thread's order, and
// no file passes its cap by more than the lines being written when it filled.
// Sixteen threads write 1,500 lines each into a file capped at capBytes, keepFiles rotated files kept
// (enough for every line): each line is whole, in exactly one file, once, in its thread's order.
static void writeConcurrentlyAndCheckEveryLine(const char* fileName, long long capBytes, int keepFiles) {
    if (keepFiles != 10) {
        ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", "DebugLogFiles", keepFiles));
    }
    EvDebugFileInstance inst;
    const long long kCap = capBytes;
    {
        EvDebug init(&inst);
        init.initialize(1, kCap, true, fileName);
    }
    constexpr int kThreads = 16;
    constexpr int kLines = 1500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&inst, t] {
            EvDebug log(&inst);
            std::string tag = "T" + std::to_string(t);
            log.setPrefixMessage(tag.c_str());
            for (int i = 0; i < kLines; ++i) {
                std::string pad(static_cast<size_t>((i * 37 + t) % 300), static_cast<char>('a' + t));
                log.debugLvl(0, "thread %d line %d pad %s end", t, i, pad.c_str());
            }
        });
    }
    for (auto& th : threads) th.join();

    std::vector<std::string> lines;
    for (int n = keepFiles; n >= 0; --n) {
        const std::string path = n == 0 ? inst.filePath() : inst.filePath() + "." + std::to_string(n);
        struct stat st;
        if (stat(path.c_str(), &st) != 0) continue;
        EXPECT_LE(st.st_size, kCap + 64 * 1024 + 512) << path;
        for (std::string& l : readLines(path)) lines.push_back(std::move(l));
    }
    ASSERT_TRUE(std::filesystem::exists(inst.filePath() + ".2")) << "the file rolled over";
    ASSERT_FALSE(std::filesystem::exists(inst.filePath() + "." + std::to_string(keepFiles)))
        << "every line is kept";
    std::vector<int> next(kThreads, 0);
    for (const auto& l : lines) {
        ParsedLine m;
        ASSERT_TRUE(parseLine(l, &m)) << l;
        if (m.tag == "EvDebug") continue;
        int t = -1, i = -1;
        char pad[400] = {0};
        ASSERT_EQ(sscanf(m.text.c_str(), "thread %d line %d pad %399s end", &t, &i, pad), 3) << l;
        ASSERT_EQ(m.tag, "T" + std::to_string(t));
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(i, next[t]) << "lines of one thread stay in order, each once";
        next[t] = i + 1;
        std::string expectPad(static_cast<size_t>((i * 37 + t) % 300), static_cast<char>('a' + t));
        if (!expectPad.empty()) {
            EXPECT_EQ(std::string(pad), expectPad);
        }
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines) << t;
}

TEST_F(LogTest, ConcurrentWritersProduceWholeLines) {
    writeConcurrentlyAndCheckEveryLine("concurrent.log", 1 << 20, 10);
}

// A roll-over shows other threads the file closed for a moment; a line already written then is not
// written again (many small files, so that writers meet roll-overs often).
TEST_F(LogTest, ConcurrentWritersAcrossManyRollOversWriteEachLineOnce) {
    writeConcurrentlyAndCheckEveryLine("rollovers.log", 8192, 1000);
}

TEST_F(LogTest, SizeCapRollsTheFileOver) {
    EvDebugFileInstance inst;
    EvDebug log(&inst);
    log.initialize(2, 8192, true, "capped.log");
    log.setPrefixMessage("CAP");
    std::string text(100, 'x');
    for (int i = 0; i < 500; ++i) log.debugLvl(0, "%04d %s", i, text.c_str());
    // The newest line is in the current file, whole.
    auto lines = readLines(inst.filePath());
    // No file passes its cap: a write that would goes to a new file, and the one rolled over is full
    // but for less than the line that did not fit.
    struct stat st;
    ASSERT_EQ(stat(inst.filePath().c_str(), &st), 0);
    EXPECT_LE(st.st_size, 8192);
    ASSERT_EQ(stat((inst.filePath() + ".1").c_str(), &st), 0);
    EXPECT_GT(st.st_size, 8192 * 3 / 4);
    EXPECT_LE(st.st_size, 8192);
    ASSERT_FALSE(lines.empty());
    ParsedLine m;
    ASSERT_TRUE(parseLine(lines.back(), &m));
    EXPECT_EQ(m.text, "0499 " + text);
}

TEST_F(LogTest, SizeCapFromTheRegistry) {
    ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", "DebugMaxSizeMB", 1));
    EvDebugFileInstance inst;
    EvDebug log(&inst);
    log.initialize(3, 0, true, "regcap.log");
    std::string text(1000, 'y');
    for (int i = 0; i < 1200; ++i) log.debugLvl(0, "%s", text.c_str());
    struct stat st;
    ASSERT_EQ(stat(inst.filePath().c_str(), &st), 0);
    EXPECT_LE(st.st_size, 1024 * 1024 + 2000);
    EXPECT_EQ(stat((inst.filePath() + ".1").c_str(), &st), 0);
}

TEST_F(LogTest, LongLinesAndTrailingNewlines) {
    EvDebugFileInstance inst;
    EvDebug log(&inst);
    log.initialize(4, 0, true, "long.log");
    log.setPrefixMessage("LONG");
    std::string big(10000, 'z');
    log.debugLvl(0, "%s", big.c_str());
    log.debugLvl(0, "with newline\n");
    auto lines = readLines(inst.filePath());
    std::vector<std::string> texts;
    for (const auto& l : lines) {
        ParsedLine m;
        ASSERT_TRUE(parseLine(l, &m));
        if (m.tag == "LONG") texts.push_back(m.text);
    }
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], big);
    EXPECT_EQ(texts[1], "with newline");
}

// Lines made together are each a whole line, in their order, as debugLvl would write them (long ones
// cut with their mark, trailing line breaks dropped), all in the file when the call returns; the level
// filters them; an outsider's lines are each cut and counted as debugLvl does.
TEST_F(LogTest, LinesMadeTogetherAreWholeLinesInTheirOrder) {
    EvDebugFileInstance inst;
    EvDebug log(&inst);
    log.initialize(4, 0, true, "together.log");
    log.setPrefixMessage("TOGETHER");
    const std::string big(EvDebug::kMaxTextBytes + 5, 'b');
    const std::string outsiders(zylog::kMaxPeerLineBytes + 10, 'o');
    log.debugLines(0, {"first [1]", "second\n", big, ""});
    log.debugLines(1, {"filtered"});
    log.debugLines(0, {});
    {
        zylog::CPeerScope scope("203.0.113.7", false);
        log.debugLines(0, {"outsider", outsiders});
    }
    std::vector<std::string> texts;
    for (const auto& l : readLines(inst.filePath())) {
        ParsedLine m;
        ASSERT_TRUE(parseLine(l, &m)) << l;
        if (m.tag != "TOGETHER") continue;
        EXPECT_EQ(m.level, "0");
        EXPECT_EQ(std::stol(m.tid), static_cast<long>(syscall(SYS_gettid)));
        texts.push_back(m.text);
    }
    ASSERT_EQ(texts.size(), 6u);
    EXPECT_EQ(texts[0], "first [1]");
    EXPECT_EQ(texts[1], "second");
    EXPECT_EQ(texts[2], big.substr(0, EvDebug::kMaxTextBytes) + " [... 5 bytes cut]");
    EXPECT_EQ(texts[3], "");
    EXPECT_EQ(texts[4], "outsider");
    EXPECT_NE(texts[5].find(" [10 more bytes of this line were not written]"), std::string::npos) << texts[5];
}

// A line an outsider causes carries at most a bounded part of its text, and says how much was cut;
// the same line of the service's own is written whole.
TEST_F(LogTest, AnOutsidersLongLineIsCutAndSaysHowMuch) {
    EvDebugFileInstance inst;
    EvDebug log(&inst);
    log.initialize(4, 0, true, "outsider.log");
    log.setPrefixMessage("PEER");
    const std::string big(60000, 'q');
    {
        zylog::CPeerScope scope("203.0.113.9", false);
        log.debugLvl(0, "Received browse Request %s", big.c_str());
    }
    log.debugLvl(0, "own %s", big.c_str());
    std::vector<std::string> texts;
    for (const auto& l : readLines(inst.filePath())) {
        ParsedLine m;
        ASSERT_TRUE(parseLine(l, &m));
        if (m.tag == "PEER") texts.push_back(m.text);
    }
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_LE(texts[0].size(), zylog::kMaxPeerLineBytes + 80);
    EXPECT_NE(texts[0].find(" [" +
                            std::to_string(std::string("Received browse Request ").size() + big.size() -
                                           zylog::kMaxPeerLineBytes) +
                            " more bytes of this line were not written]"),
              std::string::npos)
        << texts[0].substr(texts[0].size() - 100);
    EXPECT_EQ(texts[1], "own " + big);
}

TEST_F(LogTest, TaggedLinesAreKeptWholeOrMarkedAsCut) {
    const std::string big(10000, 'k');  // past every size the component loggers once cut at
    std::string huge(EvDebug::kMaxTextBytes - 1, 'h');
    huge += "\xC3\xA9";  // a two-byte character across the limit goes whole
    huge += std::string(99, 'h');
    evTaggedLog("TAGGED", 0, false, "%s", big.c_str());
    evTaggedLog("TAGGED", -1, true, "%s", huge.c_str());
    std::vector<std::string> texts;
    for (const auto& l : readLines(EvDebugFileInstance::defaultInstance()->filePath())) {
        ParsedLine m;
        if (parseLine(l, &m) && m.tag == "TAGGED") texts.push_back(m.text);
    }
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], big);
    EXPECT_EQ(texts[1], "ERROR: " + huge.substr(0, EvDebug::kMaxTextBytes - 1) + " [... 101 bytes cut]");
}

TEST_F(LogTest, NoTagShowsADash) {
    EvDebugFileInstance inst;
    EvDebug log(&inst);
    log.initialize(5, 0, true, "notag.log");
    log.DebugLvl("IDXADMINTHREADHM", 0, "started Admin thread");
    auto lines = readLines(inst.filePath());
    ASSERT_FALSE(lines.empty());
    ParsedLine m;
    ASSERT_TRUE(parseLine(lines.back(), &m));
    EXPECT_EQ(m.tag, "-");
    EXPECT_EQ(m.text, "IDXADMINTHREADHM: started Admin thread");
}

}  // namespace

namespace {

// What a line repeats is kept per thread and process: a forked child still names its own process, and
// a line a second later carries the later time.
// A process that ends at once (no exit handlers), right after its lines, while another of its threads is
// still writing many, has every line in its log.
TEST_F(LogTest, LinesAreWrittenBeforeTheProcessEnds) {
    const std::string path = logDir() + "/ending.log";
    const pid_t child = fork();
    if (child == 0) {
        EvDebugFileInstance* inst = new EvDebugFileInstance;  // lives until the process ends
        EvDebug(inst).initialize(1, 1LL << 40, true, "ending.log");
        std::atomic<bool> started{false};
        std::thread busy([inst, &started] {
            EvDebug log(inst);
            log.setPrefixMessage("BUSY");
            for (int i = 0;; ++i) {
                log.debugLvl(0, "%d %s", i, std::string(4096, 'b').c_str());
                started.store(true);
            }
        });
        while (!started.load()) std::this_thread::yield();
        EvDebug log(inst);
        log.setPrefixMessage("LAST");
        for (int i = 0; i < 20; ++i) log.debugLvl(0, "line %d", i);
        busy.detach();
        std::_Exit(0);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    int next = 0;
    for (const std::string& l : readLines(path)) {
        ParsedLine m;
        if (!parseLine(l, &m)) continue;  // the busy thread's last line may be cut by the end
        if (m.tag != "LAST") continue;
        EXPECT_EQ(m.text, "line " + std::to_string(next)) << l;
        ++next;
    }
    EXPECT_EQ(next, 20) << "every line was written";
}

// Each line is in its file when the call that logs it returns, whatever the thread does next (waits for
// a peer, another lock, or nothing at all): one write(2) per line, never held for later; a forked child's
// too (it may end by _Exit, which runs nothing).
TEST_F(LogTest, EachLineIsInItsFileWhenItsCallReturns) {
    EvDebugFileInstance inst;
    EvDebug log(&inst);
    log.initialize(1, 0, true, "each.log");
    log.setPrefixMessage("EACH");
    const auto texts = [&inst] {
        std::ifstream in(inst.filePath());
        std::vector<std::string> out;
        for (std::string l; std::getline(in, l);) {
            ParsedLine m;
            if (parseLine(l, &m) && m.tag == "EACH") out.push_back(m.text);
        }
        return out;
    };
    std::vector<std::string> expected;
    for (int i = 0; i < 50; ++i) {
        if (i % 10 == 9) {
            log.error("failed %d", i);
            expected.push_back("ERROR: failed " + std::to_string(i));
        } else {
            log.debugLvl(i % 2 == 0 ? 0 : -1, "line %d", i);
            expected.push_back("line " + std::to_string(i));
        }
        ASSERT_EQ(texts(), expected);
    }

    const pid_t child = fork();
    if (child == 0) {
        log.debugLvl(0, "last");
        std::_Exit(0);  // no exit handler runs
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    expected.push_back("last");
    EXPECT_EQ(texts(), expected);
}

TEST_F(LogTest, ForkedChildNamesItselfAndTheClockMoves) {
    CHubManualClock clock;  // lines are dated by it
    EvDebugFileInstance inst(clock);
    {
        EvDebug init(&inst);
        init.initialize(1, 0, true, "forked.log");
    }
    EvDebug log(&inst);
    log.setPrefixMessage("FORK");
    log.debugLvl(0, "parent before");
    const pid_t child = fork();
    if (child == 0) {
        log.debugLvl(0, "child");
        _exit(0);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    clock.advance(std::chrono::milliseconds(1100));
    log.debugLvl(0, "parent after");

    std::map<std::string, ParsedLine> byText;
    for (const auto& l : readLines(inst.filePath())) {
        ParsedLine m;
        ASSERT_TRUE(parseLine(l, &m)) << l;
        if (m.tag == "FORK") byText[m.text] = m;
    }
    ASSERT_EQ(byText.size(), 3u);
    EXPECT_EQ(std::stol(byText["child"].pid), static_cast<long>(child));
    EXPECT_EQ(std::stol(byText["child"].tid), static_cast<long>(child)) << "the child's only thread";
    EXPECT_EQ(std::stol(byText["parent before"].pid), static_cast<long>(getpid()));
    EXPECT_EQ(std::stol(byText["parent after"].pid), static_cast<long>(getpid()));
    EXPECT_LT(byText["parent before"].date + " " + byText["parent before"].time,
              byText["parent after"].date + " " + byText["parent after"].time);
    EXPECT_NE(byText["parent before"].time.substr(0, 8), byText["parent after"].time.substr(0, 8));
}

}  // namespace

// What the log keeps with its defaults (ten files of 50 MB).
constexpr uint64_t kKept = 10 * (50ull << 20);

// Lines outsiders cause are limited per address; a crowd of new addresses, once the table of addresses
// is full, shares one burst, and the addresses already counted keep their counts.
TEST(PeerLines, ACrowdOfAddressesSharesOneBurst) {
    static const char format[] = "a line an outsider causes";
    zylog::setPeerLineLimits(2, 3600);
    zylog::TPeerLinesLeftOut leftOut;
    const auto now = CHubManualClock().steadyNow();  // every line at one moment
    EXPECT_TRUE(zylog::admitPeerLine("10.0.0.1", false, format, 100, kKept, now, leftOut));
    EXPECT_TRUE(zylog::admitPeerLine("10.0.0.1", false, format, 100, kKept, now, leftOut));
    EXPECT_FALSE(zylog::admitPeerLine("10.0.0.1", false, format, 100, kKept, now, leftOut));
    for (int i = 0; i < 5000; ++i)
        zylog::admitPeerLine("10.1." + std::to_string(i), false, format, 100, kKept, now, leftOut);
    int admitted = 0;
    for (int i = 0; i < 1000; ++i)
        admitted += zylog::admitPeerLine("10.2." + std::to_string(i), false, format, 100, kKept, now, leftOut)
                        ? 1
                        : 0;
    EXPECT_EQ(admitted, 0);
    EXPECT_FALSE(zylog::admitPeerLine("10.0.0.1", false, format, 100, kKept, now, leftOut));
    zylog::setPeerLineLimits(100, 10);
}

// An outsider's long lines spend its burst by their bytes: lines at their longest get a quarter of it.
TEST(PeerLines, LongLinesSpendTheBurstByTheirBytes) {
    static const char longFormat[] = "a long line an outsider causes";
    static const char shortFormat[] = "a short line an outsider causes";
    zylog::setPeerLineLimits(100, 3600);
    zylog::TPeerLinesLeftOut leftOut;
    const auto now = CHubManualClock().steadyNow();
    int longAdmitted = 0, shortAdmitted = 0;
    for (int i = 0; i < 100; ++i) {
        longAdmitted += zylog::admitPeerLine("10.3.0.1", false, longFormat, zylog::kMaxPeerLineBytes, kKept,
                                             now, leftOut);
        shortAdmitted += zylog::admitPeerLine("10.3.0.1", false, shortFormat, 80, kKept, now, leftOut);
    }
    EXPECT_EQ(longAdmitted, 25);
    EXPECT_EQ(shortAdmitted, 100);
    zylog::setPeerLineLimits(100, 10);
}

// All callers without a certificate spend one share of the log together, a quarter of what it keeps an
// hour, however many addresses and kinds of lines they spread it over, each within its own burst; a client
// machine keeps its own lines through their flood, and the next line of theirs written says how many were
// left out.
TEST(PeerLines, AllCallersWithoutACertificateSpendOneShareOfTheLog) {
    constexpr uint64_t kept = 10 * (1ull << 20);
    const uint64_t rate = zylog::peerShareBytesPerSecond(kept);
    EXPECT_EQ(rate, kept / 4 / 3600);
    static const char formats[3][16] = {"refused %s", "forged %s", "unknown %s"};
    zylog::setPeerLineLimits(100, 10);
    zylog::TPeerLinesLeftOut leftOut;
    CHubManualClock clock;
    uint64_t anonymous = 0, proven = 0, provenLines = 0;
    // An hour of 64 addresses, each sending each kind of line every ten seconds at its longest.
    for (int step = 0; step < 360; ++step) {
        for (int peer = 0; peer < 64; ++peer)
            for (const char* format : formats)
                if (zylog::admitPeerLine("198.51.100." + std::to_string(peer), false, format,
                                         zylog::kMaxPeerLineBytes, kept, clock.steadyNow(), leftOut))
                    anonymous += zylog::kMaxPeerLineBytes;
        provenLines +=
            zylog::admitPeerLine("client1", true, formats[0], 200, kept, clock.steadyNow(), leftOut);
        proven += 200;
        clock.advance(std::chrono::seconds(10));
    }
    EXPECT_GT(anonymous, 0u);
    EXPECT_LE(anonymous, kept / 4 + std::max<uint64_t>(10 * rate, 4 * zylog::kMaxPeerLineBytes))
        << "an hour of the crowd, its first burst included";
    EXPECT_EQ(provenLines, 360u) << "a client machine's lines are not the crowd's to spend";
    // The crowd's next line says how many it left out when its share was spent.
    clock.advance(std::chrono::seconds(60));
    ASSERT_TRUE(
        zylog::admitPeerLine("198.51.100.1", false, formats[0], 100, kept, clock.steadyNow(), leftOut));
    EXPECT_GT(leftOut.ofShare, 0u);
    zylog::setPeerLineLimits(100, 10);
}

namespace {

// The kinds of line a browse gives its caller (the lines made together, its summary and plan, are one kind)
// with what each puts in the file; a refused token's request gets the refusal instead of the browse.
const char kAsked[] = "Received browse Request %s", kTogether[] = "(lines made together)",
           kSent[] = "Request sent to MA [%s]", kOutcome[] = "direct browse of session [%s]: %s",
           kRefused[] = "Failed to authenticate the usertoken for session:[%s]", kClosed[] = "%s closed";
using TLines = std::vector<std::pair<const void*, size_t>>;
TLines browseLines(int together) {
    TLines lines{{kAsked, 250}};
    lines.insert(lines.end(), together, {kTogether, 120});
    lines.insert(lines.end(), {{kSent, zylog::kMaxPeerLineBytes + 150}, {kOutcome, 220}});
    return lines;
}

}  // namespace

// Each kind of caller (0 without a certificate, 1 its token refused, 2 its token accepted, 3 a client
// machine) among each crowd (0 none, 1 128 addresses browsing, 2 128 with forged tokens) at each pace (a
// user's burst of 100 commands in a minute, one in 6 s, a flood), judged against the model: a client
// machine's and an accepted token's lines are all written at the paces of work, the callers without a
// certificate spend no more than their share, and every line left out is said, exactly, on the next line
// written for whom it was counted (a machine, a user, an address among the first 64 of its minute, else
// the crowd, whose addresses also say what they owe of their own).
TEST(PeerLines, EveryCallersLinesAreWrittenOrSaidOnItsNextLine) {
    const uint64_t rate = zylog::peerShareBytesPerSecond(kKept);
    const std::string tested[] = {"203.0.113.1", "client1"}, crowdId = "(crowd)";
    const TLines refusal{{kAsked, 250}, {kRefused, zylog::kMaxPeerLineBytes + 100}};
    std::vector<std::string> addresses;
    for (int i = 0; i < 128; ++i) addresses.push_back("198.51.100." + std::to_string(i));
    for (int kind = 0; kind < 4; ++kind)
        for (int crowd = 0; crowd < 3; ++crowd)
            for (const auto& [commands, everyMs] : {std::pair{100, 100}, {10, 6000}, {1200, 50}}) {
                SCOPED_TRACE(::testing::Message()
                             << "caller " << kind << ", crowd " << crowd << ", " << commands);
                zylog::setPeerLineLimits(100, 10);
                CHubManualClock clock;
                const auto start = clock.steadyNow();
                auto minuteStart = start - std::chrono::hours(1);
                std::set<std::string> minute;
                const auto countedFor = [&](const zylog::TPeerCaller& c) -> std::string {
                    if (c.proven || c.tokenAccepted) return "own";
                    if (clock.steadyNow() - minuteStart >= std::chrono::minutes(1))
                        minuteStart = clock.steadyNow(), minute.clear();
                    if (minute.size() < zylog::kDefaultPeersAMinute) minute.insert(c.peer);
                    return minute.contains(c.peer) ? c.peer : crowdId;
                };
                std::map<std::string, uint64_t> owed;  // left out and not yet said, by whom counted for
                uint64_t leftOutOfTested = 0, anonymousBytes = 0;
                std::string misplaced;  // the first line whose notes do not say what its caller owed
                const auto line = [&](const zylog::TPeerCaller& c, const std::pair<const void*, size_t>& l) {
                    const std::string id = countedFor(c);
                    zylog::TPeerLinesLeftOut out;
                    const bool written =
                        zylog::admitPeerLine(c, l.first, l.second, kKept, clock.steadyNow(), out);
                    leftOutOfTested += !written && (c.peer == tested[0] || c.peer == tested[1]);
                    if (!written) return void(++owed[id]);
                    uint64_t& ofItself = owed[id == crowdId ? c.peer : id];
                    const uint64_t due = owed[id] + (id == crowdId ? ofItself : 0);
                    const uint64_t said = out.ofPeer + out.ofCrowd + out.ofShare;
                    if (misplaced.empty() && (said != due || out.notes.empty() != (said == 0) ||
                                              (id != crowdId && out.ofCrowd != 0)))
                        misplaced = id + " owed " + std::to_string(due) + ", its line says" + out.notes;
                    owed[id] = ofItself = 0;
                    if (id != "own") anonymousBytes += l.second + out.notes.size();
                };
                const zylog::TPeerCaller caller{tested[kind == 3], kind == 3, kind == 2, 7};
                // A minute in steps of 10 ms: the crowd asks each second, the caller at its pace.
                for (int step = 0, done = 0; step < 6000;
                     ++step, clock.advance(std::chrono::milliseconds(10))) {
                    if (crowd > 0 && step % 100 == 0)
                        for (const std::string& address : addresses)
                            for (const auto& l : crowd == 1 ? browseLines(9) : refusal) line({address}, l);
                    if (step % (everyMs / 10) == 0 && done++ < commands)
                        for (const auto& l : kind == 1 ? refusal : browseLines(40)) line(caller, l);
                }
                // Minutes later 128 addresses close their sessions, then the caller: all is said by then.
                clock.advance(std::chrono::minutes(3));
                for (const std::string& address : addresses) line({address}, {kClosed, 100});
                line(caller, {kClosed, 100});
                const uint64_t seconds =
                    std::chrono::duration_cast<std::chrono::seconds>(clock.steadyNow() - start).count();
                EXPECT_EQ(misplaced, "");
                for (const auto& [id, lines] : owed) EXPECT_EQ(lines, 0u) << "never said, of " << id;
                // A machine's or a user's lines are left out of its flood only; an address's of a burst too.
                EXPECT_EQ(leftOutOfTested > 0, kind >= 2 ? commands > 100 : commands >= 100 || crowd > 0);
                EXPECT_LE(anonymousBytes, std::max(10 * rate, 4 * zylog::kMaxPeerLineBytes) + seconds * rate);
            }
    zylog::setPeerLineLimits(100, 10);
}

// The promise the log makes: no crowd pushes the last hour out. An hour of a crowd of addresses writing
// long lines leaves the line written before it in the kept files.
TEST_F(LogTest, AnHourOfACrowdOfAddressesLeavesTheLinesBeforeItInTheKeptFiles) {
    CHubManualClock clock;
    EvDebugFileInstance inst(clock);
    EvDebug log(&inst);
    log.initialize(0, 64 << 10, true, "crowdhour.log");  // ten files of 64 KiB kept
    log.setPrefixMessage("CROWD");
    zylog::setPeerLineLimits(100, 10);
    log.debugLvl(0, "the line before the flood");
    const std::string name(60000, 'n');
    for (int step = 0; step < 360; ++step) {
        for (int peer = 0; peer < 64; ++peer) {
            zylog::CPeerScope scope("203.0.113." + std::to_string(peer), false);
            log.debugLvl(0, "token refused for client [%s]", name.c_str());
        }
        clock.advance(std::chrono::seconds(10));
    }
    zylog::setPeerLineLimits(100, 10);
    bool kept = false;
    size_t crowdLines = 0;
    const std::string path = inst.filePath();
    for (int n = 0; n <= 10; ++n)
        for (const std::string& line : readLines(n == 0 ? path : path + "." + std::to_string(n))) {
            kept = kept || line.find("the line before the flood") != std::string::npos;
            crowdLines += line.find("token refused for client") != std::string::npos;
        }
    EXPECT_TRUE(kept) << "the crowd pushed the line before it out of the kept files";
    EXPECT_GT(crowdLines, 0u) << "the crowd's lines are counted, not all dropped";
}

namespace {

// The bytes of the lines tagged `tag` in the log at `path` and its rotated files, notes included, and how
// many there are.
std::pair<uint64_t, size_t> bytesOfLines(const std::string& path, const std::string& tag) {
    uint64_t bytes = 0;
    size_t lines = 0;
    for (int n = 0; n <= 10; ++n) {
        std::ifstream in(n == 0 ? path : path + "." + std::to_string(n));
        for (std::string line; std::getline(in, line);) {
            ParsedLine m;
            if (!parseLine(line, &m) || m.tag != tag) continue;
            bytes += line.size() + 1;
            ++lines;
        }
    }
    return {bytes, lines};
}

}  // namespace

// What the share of callers without a certificate holds to is every byte their lines put in the file (each
// line whole, its date, ids and tag, and what it says of lines left out): an hour of a crowd of them, of
// many addresses and kinds of short lines, fills at most a quarter of the kept files, while the lines of
// client machines at the rate of their work (each counted on its own) and the infrastructure's lines
// beside them are all written.
TEST_F(LogTest, AnHourOfCrowdsWritesAtMostTheirSharesOfTheLogsBytes) {
    CHubManualClock clock;
    EvDebugFileInstance inst(clock);
    EvDebug log(&inst);
    constexpr uint64_t kCap = 1 << 20;
    log.initialize(0, kCap, true, "shares.log");  // ten files of 1 MiB kept
    const uint64_t kept = 10 * kCap;
    ASSERT_EQ(inst.keptBytes(), kept);
    const uint64_t rate = zylog::peerShareBytesPerSecond(kept);
    zylog::setPeerLineLimits(100, 10);
    constexpr int kMachines = 16;
    EvDebug anonymous(&inst), proven(&inst), infrastructure(&inst);
    anonymous.setPrefixMessage("ANON");
    proven.setPrefixMessage("PROVEN");
    infrastructure.setPrefixMessage("INFRA");
    for (int step = 0; step < 360; ++step) {
        for (int peer = 0; peer < 150; ++peer) {
            {
                zylog::CPeerScope scope("198.51.100." + std::to_string(peer), false);
                anonymous.debugLvl(0, "token refused [%d]", peer);
                anonymous.Error("check", "no such session [%d]", step);
                anonymous.debugLines(0, {"browse session [x]", "browse path [/]"});
            }
            if (peer < kMachines) {
                zylog::CPeerScope scope("client" + std::to_string(peer), true);
                proven.debugLvl(0, "token refused [%d]", peer);
                proven.Error("check", "no such session [%d]", step);
            }
        }
        infrastructure.debugLvl(0, "the infrastructure's line %d", step);
        clock.advance(std::chrono::seconds(10));
    }
    zylog::setPeerLineLimits(100, 10);
    const std::string path = inst.filePath();
    const auto [anonymousBytes, anonymousLines] = bytesOfLines(path, "ANON");
    const size_t provenLines = bytesOfLines(path, "PROVEN").second;
    const uint64_t share = kept / 4 + std::max<uint64_t>(10 * rate, 4 * zylog::kMaxPeerLineBytes);
    EXPECT_GT(anonymousLines, 360u) << "the crowd's lines are counted, not all dropped";
    EXPECT_EQ(provenLines, 360u * kMachines * 2) << "the client machines' lines are not the crowd's to spend";
    EXPECT_LE(anonymousBytes, share) << "bytes the callers without a certificate wrote in an hour";
    EXPECT_EQ(bytesOfLines(path, "INFRA").second, 360u) << "the infrastructure's lines are never held back";
}
