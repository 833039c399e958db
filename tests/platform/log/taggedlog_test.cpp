// Every component logger with a fixed tag goes through the one tagged wrapper: a long line from any of
// them reaches the log whole, with its tag and level.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/db/dbtable.h"
#include "platform/log/evdebug.h"
#include "platform/msg/msg_log.h"
#include "platform/net/zynet_log.h"
#include "platform/threads/threadslog.h"
#include "tests/support/log/logline.h"
#include "tests/support/log/processlogdir.h"

namespace {

struct TWrapper {
    const char* tag;
    const char* level;
    const char* prefix;  // what the line's text starts with before the logged text
    std::function<void(const std::string&)> write;
};

TEST(TaggedLog, EveryComponentLoggerKeepsALongLineWhole) {
    hubtest::processLogDir();
    const std::string text(6000, 'w');
    const std::vector<TWrapper> wrappers = {
        {"ZYNET", "0", "", [](const std::string& t) { zynet::logDebug(0, "%s", t.c_str()); }},
        {"ZYNET", "-1", "ERROR: ", [](const std::string& t) { zynet::logError("%s", t.c_str()); }},
        {"MSG", "-1", "", [](const std::string& t) { msgLog(-1, "%s", t.c_str()); }},
        {"THREADS", "-1", "",
         [](const std::string& t) { hubthreads::logFailure("THREADS", "%s", t.c_str()); }},
        {"DBLAYER", "-1",
         "ERROR: where.cpp(7): ", [](const std::string& t) { log_error("where.cpp", 7, "%s", t.c_str()); }},
    };
    for (const TWrapper& w : wrappers) w.write(text);

    std::ifstream in(EvDebugFileInstance::defaultInstance()->filePath());
    std::vector<hubtest::ParsedLine> lines;
    std::string l;
    while (std::getline(in, l)) {
        hubtest::ParsedLine m;
        if (hubtest::parseLine(l, &m) && m.text.size() >= text.size()) lines.push_back(m);
    }
    ASSERT_EQ(lines.size(), wrappers.size());
    for (size_t k = 0; k < wrappers.size(); ++k) {
        EXPECT_EQ(lines[k].tag, wrappers[k].tag);
        EXPECT_EQ(lines[k].level, wrappers[k].level) << wrappers[k].tag;
        EXPECT_EQ(lines[k].text, wrappers[k].prefix + text) << wrappers[k].tag;
    }
}

}  // namespace
