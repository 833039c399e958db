// The demo world with its VM-browse hypervisor, created in a temporary folder for one test and opened
// as the process's database and registry; everything is removed at the end.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/log/evdebug.h"
#include "tests/platform/db/tempdir.h"

class VsaDemo : public ::testing::Test {
protected:
    void SetUp() override {
        EvDebugFileInstance::setLogDirectory(dir.path());
        std::string error;
        ASSERT_TRUE(hubdemo::createDemoWorld(dir.file("demo"), world, &error)) << error;
        ASSERT_EQ(hubdb::openHubDatabase(world.databasePath, &error), zydb::DB_OK) << error;
        hv = world.vsa;
        ASSERT_EQ(hv.vms.size(), 4u);
    }
    void TearDown() override {
        zydb::CDbEnv::close();
        ZYPlatformInfo::setRegistryPath("");
    }

    // A statement on the demo database, for the cases a test builds.
    void exec(const std::string& sql, const std::vector<zydb::DbValue>& params = {}) {
        hubdb::HubDbSeed seed(world.databasePath);
        ASSERT_EQ(seed.exec(sql, params), zydb::DB_OK) << sql;
    }

    TempDir dir;
    hubdemo::DemoWorld world;
    hubdb::DemoHypervisor hv;
};
