// The planner tests' world: a Hubmaster database seeded in a temporary folder (one media agent and
// storage policy, a client with two file-system subclients in one backup set), a registry file of
// the test's own, and browse tasks over it. One test at a time, on the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/log/evdebug.h"
#include "platform/tasks/evrestoretask.h"
#include "tests/platform/db/tempdir.h"

namespace plannertest {

constexpr int kT0 = 1700000000;
constexpr int kDay = 86400;

class Planner : public ::testing::Test {
protected:
    void SetUp() override {
        EvDebugFileInstance::setLogDirectory(dir.path());
        ZYPlatformInfo::setRegistryPath(dir.file("registry.ini"));
        seed = std::make_unique<hubdb::HubDbSeed>(dir.file("hub.db"));
        ASSERT_TRUE(seed->ok()) << seed->error();
        ma = seed->addMediaAgent({.name = "ma1"}, "11.0");
        sp = seed->addStoragePolicy("sp1", ma);
        client = seed->addClient({.name = "client1"});
        bs = seed->addBackupSet("bs1");
        sc1 = seed->addSubclient(
            {.clientId = client, .appTypeId = 29, .backupSetId = bs, .name = "sc1", .storagePolicyId = sp});
        sc2 = seed->addSubclient(
            {.clientId = client, .appTypeId = 29, .backupSetId = bs, .name = "sc2", .storagePolicyId = sp});
    }
    void TearDown() override {
        zydb::CDbEnv::close();
        ZYPlatformInfo::setRegistryPath("");
        EvDebugFileInstance::setLogDirectory("");
    }
    void open() {
        std::string error;
        ASSERT_EQ(hubdb::openHubDatabase(seed->path(), &error), zydb::DB_OK) << error;
    }
    // Three cycles per subclient: a full and an incremental each day.
    void threeCycles(int sc, int offset = 0) {
        for (int d = 0; d < 3; ++d) {
            seed->addBackup(sc, 1, kT0 + d * kDay + offset, 2);
            seed->addBackup(sc, 2, kT0 + d * kDay + 3600 + offset, 2);
        }
    }
    std::unique_ptr<EvMultiEntityRestoreTask> task(int subclient, long from, long to,
                                                   unsigned long long options = 0, const char* ext = "") {
        auto t = std::make_unique<EvMultiEntityRestoreTask>();
        t->setTaskParameters(0, 0, 0, options, 2, client, bs, 0, to, from, 29, 1, 0, 0);
        t->setSubClientId(subclient);
        t->setextendedOptions(ext);
        return t;
    }
    static std::string options(std::initializer_list<int> positions) {
        std::string s(200, '0');
        for (int p : positions) s[p] = '1';
        return s;
    }

    TempDir dir;
    std::unique_ptr<hubdb::HubDbSeed> seed;
    int ma = 0, sp = 0, client = 0, bs = 0, sc1 = 0, sc2 = 0;
};

}  // namespace plannertest
