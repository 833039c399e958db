// The service library as loaded, before anything else in the process touches it: an item of unknown
// type is resolved by a nested browse that the library's own controller takes. Its own program, so
// that no other test has installed or cleared a runner first.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/log/evdebug.h"
#include "platform/restoreproto/fsr_records.h"
#include "platform/tasks/evrestoretask.h"
#include "tests/platform/db/tempdir.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

// Every line the process logged into `folder`.
std::string loggedText(const std::string& folder) {
    std::string all;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".log") continue;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        all += text.str();
    }
    return all;
}

}  // namespace

TEST(LoadedLibrary, UnknownItemGoesToTheControllersNestedBrowse) {
    TempDir dir;
    EvDebugFileInstance::setLogDirectory(dir.path());
    hubdemo::DemoWorld world;
    std::string error;
    ASSERT_TRUE(hubdemo::createDemoWorld(dir.file("demo"), world, &error)) << error;
    ASSERT_EQ(hubdb::openHubDatabase(world.databasePath, &error), zydb::DB_OK) << error;
    {
        CWorkerThreadHM worker;
        worker.getPrivateTask()->addPath(EvRestoreTask::kBrowsePathList, "/d");
        FSRRestoreItem_90 item{};
        item.name = "unknown-kind";
        item.flags = 0x8;
        databrowse::BrowseResponse response;
        worker.convertToXML(&item, response);
    }
    const std::string logged = loggedText(dir.path());
    const size_t launched = logged.find("Launching DotBrowse as FileType of [/d/unknown-kind] is unknown");
    ASSERT_NE(launched, std::string::npos) << logged;
    EXPECT_EQ(logged.find("no controller takes nested requests"), std::string::npos);
    EXPECT_NE(logged.find("START - browse request with worker id", launched), std::string::npos)
        << "the nested browse ran as a request of its own";
    zydb::CDbEnv::close();
    EvDebugFileInstance::setLogDirectory("");
}
