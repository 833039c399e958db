// The planning tests' world: the demo Hubmaster database in a temporary folder, opened as the
// process's database, with a configuration cache of the test's own as g_poConfMgr, and browse tasks of
// the demo's file-system subclient. Used by one test at a time; the tasks may go to other threads.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "planning/confmgr.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/log/evdebug.h"
#include "platform/tasks/evrestoretask.h"
#include "tests/platform/db/tempdir.h"

class PlanningWorld : public ::testing::Test {
protected:
    static constexpr long kDay = 86400;

    void SetUp() override {
        EvDebugFileInstance::setLogDirectory(dir.path());
        std::string error;
        ASSERT_TRUE(hubdemo::createDemoWorld(dir.file("demo"), world, &error)) << error;
        ASSERT_EQ(hubdb::openHubDatabase(world.databasePath, &error), zydb::DB_OK) << error;
        cache = std::make_unique<CConfigurationMgr>();
        savedConfMgr = std::exchange(g_poConfMgr, cache.get());
    }
    void TearDown() override {
        // The library's own manager goes back in place: it is never lost.
        g_poConfMgr = savedConfMgr;
        cache.reset();
        zydb::CDbEnv::close();
        ZYPlatformInfo::setRegistryPath("");
        EvDebugFileInstance::setLogDirectory("");
    }

    // A browse of the demo's file-system subclient as of `daysIn` days after its first backup.
    template <class Task = EvMultiEntityRestoreTask>
    std::unique_ptr<Task> fileTask(const std::string& session, long daysIn = 10,
                                   const std::string& path = "/") {
        auto task = std::make_unique<Task>();
        const long toTime = static_cast<long>(world.firstBackupTime) + daysIn * kDay;
        task->setTaskParameters(0, 0, world.adminUser, 0, 2, world.fileClient, world.fileBackupSet, 0, toTime,
                                0, world.fileAppType, 0, 0, 0);
        task->setSubClientId(world.fileSubclient);
        task->setbrowseSessionGUID(session.c_str());
        task->addPath(EvRestoreTask::kBrowsePathList, path.c_str());
        return task;
    }

    TempDir dir;
    hubdemo::DemoWorld world;
    std::unique_ptr<CConfigurationMgr> cache;
    CConfigurationMgr* savedConfMgr = nullptr;  // the library's own, while the test's is in place
};
