#include "fbDebug/fbdebug.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/log/evdebug.h"
#include "platform/log/zytime.h"
#include "platform/tasks/evrestoretask.h"
#include "tests/support/log/logline.h"
#include "tests/support/log/processlogdir.h"

namespace {

using hubtest::ParsedLine;
using hubtest::parseLine;

struct Line {
    std::string tag;
    int level;
    std::string text;
};

class SmallDump : public ::testing::Test {
protected:
    void SetUp() override {
        hubtest::processLogDir();
        saved = std::exchange(g_pLogInstance, new EvDebugFileInstance);
        g_pLogInstance->setDebugLevelOverride(2);
        EvDebug init(g_pLogInstance);
        init.initialize(0x0C255DB9, 0, true, "fbdebug-test.log");
    }
    void TearDown() override {
        delete g_pLogInstance;
        g_pLogInstance = saved;  // the library's own instance goes back in place
    }
    EvDebugFileInstance* saved = nullptr;  // the library's own instance, while the test's is in place
    std::vector<Line> lines(const std::string& tag) {
        std::ifstream in(g_pLogInstance->filePath());
        std::vector<Line> out;
        std::string l;
        while (std::getline(in, l)) {
            ParsedLine m;
            EXPECT_TRUE(parseLine(l, &m)) << l;
            if (m.tag == tag) out.push_back(Line{m.tag, std::stoi(m.level), m.text});
        }
        return out;
    }
    static std::string timeText(long t) {
        char buf[ZYTIME_BUFFER_SIZE];
        return ZyTime(t, buf, 0);
    }
};

TEST_F(SmallDump, WritesEveryLineInOrder) {
    EvMultiEntityRestoreTask task;
    task.setbrowseSessionGUID("GUID-1");
    task.addPath(1, "\\data");
    task.addPath(1, "\\home");
    task.setTaskParameters(77, 0, 12, 0x2000, 2, 5, 7, 0, 1700000000, 1600000000, 33, 6, 9, 0);
    task.setSubClientId(8);
    task.setextendedOptions("0101");
    task.setbrowseFindPattern("*.doc");
    task.setArchGroupCopyPrecedence(3);
    task.setEmFunction(4);
    task.setEmSkipNode(5);
    task.setEmFirstNode(6);
    task.setEmPageSize(100);
    task.setBrowseViewName("myview");

    smallDump("FBHMWORKER", &task);
    auto got = lines("FBHMWORKER");
    ASSERT_EQ(got.size(), 11u);
    EXPECT_EQ(got[0].text, "browse session [GUID-1]");
    EXPECT_EQ(got[1].text, "browse path [\\data]");
    EXPECT_EQ(got[2].text, "browse path [\\home]");
    EXPECT_EQ(got[3].text, "source client [5] apptype [33] instance [6] backupset [7] subclient [8]");
    EXPECT_EQ(got[4].text, "from [1600000000 : " + timeText(1600000000) +
                               "] to [1700000000 : " + timeText(1700000000) + "]");
    EXPECT_EQ(got[5].text, "options [8192] options1 [9] extended options [1 3 ]");
    EXPECT_EQ(got[6].text, "filter [*.doc]");
    EXPECT_EQ(got[7].text, "copy precedence [3] user [12]");
    EXPECT_EQ(got[8].text, "em [4] skip node [5] first node [6] page size [100]");
    EXPECT_EQ(got[9].text.rfind("current time [", 0), 0u) << got[9].text;
    EXPECT_NE(got[9].text.find(" : "), std::string::npos) << got[9].text;
    EXPECT_EQ(got[10].text, "browse-view [myview]");
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].level, i == 9 ? 2 : 0) << i;
}

TEST_F(SmallDump, ZeroFromTimeNoPathsEmptyPatternAndView) {
    EvRestoreTask task;
    task.setToTime(1700000000);
    smallDump("TAGB", &task);
    auto got = lines("TAGB");
    ASSERT_EQ(got.size(), 7u);
    EXPECT_EQ(got[0].text, "browse session []");
    EXPECT_EQ(got[1].text, "source client [0] apptype [0] instance [0] backupset [0] subclient [0]");
    EXPECT_EQ(got[2].text, "from [0 : " + timeText(1) + "] to [1700000000 : " + timeText(1700000000) + "]");
    EXPECT_EQ(got[3].text, "options [0] options1 [0] extended options []");
    EXPECT_EQ(got[4].text, "copy precedence [0] user [0]");
    EXPECT_EQ(got[5].text, "em [0] skip node [0] first node [0] page size [0]");
    EXPECT_EQ(got[6].level, 2);
}

TEST_F(SmallDump, ExtendedOptionsStopAtNulAndAt1024) {
    EvRestoreTask task;
    std::string all(2000, '1');
    task.setextendedOptions(all.c_str());
    smallDump("TAGC", &task);
    std::string want;
    for (int i = 0; i < 1024; ++i) want += std::to_string(i) + " ";
    bool found = false;
    for (const auto& l : lines("TAGC")) {
        if (l.text.rfind("options [", 0) == 0) {
            EXPECT_EQ(l.text, "options [0] options1 [0] extended options [" + want + "]");
            found = true;
        }
    }
    EXPECT_TRUE(found);
}

TEST_F(SmallDump, CurrentTimeLineNeedsLevelTwo) {
    g_pLogInstance->setDebugLevelOverride(1);
    EvRestoreTask task;
    smallDump("TAGD", &task);
    auto got = lines("TAGD");
    ASSERT_EQ(got.size(), 6u);
    for (const auto& l : got) EXPECT_EQ(l.text.find("current time"), std::string::npos);
}

TEST_F(SmallDump, NullTaskWritesNothing) {
    smallDump("TAGE", nullptr);
    EXPECT_TRUE(lines("TAGE").empty());
}

TEST(CBrowseLog, WritesThroughTheLogInstanceWithItsTag) {
    EvDebugFileInstance inst;
    EvDebug(&inst).initialize(1, 0, true, "cbrowselog-test.log");
    EvDebugFileInstance* const saved = std::exchange(g_pLogInstance, &inst);
    {
        CBrowseLog log("FBHMCONTROLLER");
        log.debugLvl(0, "START - browse request with worker id [%s]", "17");
        EXPECT_EQ(log.GetDebugLevel(), log.getDebugLevel());
    }
    g_pLogInstance = saved;
    std::ifstream in(inst.filePath());
    std::string l, last;
    while (std::getline(in, l)) last = l;
    ParsedLine m;
    ASSERT_TRUE(parseLine(last, &m));
    EXPECT_EQ(m.tag, "FBHMCONTROLLER");
    EXPECT_EQ(m.text, "START - browse request with worker id [17]");
}

TEST(CBrowseLog, NullInstanceGoesToTheDefaultLog) {
    EvDebugFileInstance* const saved = std::exchange(g_pLogInstance, nullptr);
    CBrowseLog log("FBHMTASK");
    log.debugLvl(-1, "default log line");
    std::ifstream in(EvDebugFileInstance::defaultInstance()->filePath());
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(all.find("FBHMTASK -1 default log line"), std::string::npos);
    g_pLogInstance = saved;
}

}  // namespace
