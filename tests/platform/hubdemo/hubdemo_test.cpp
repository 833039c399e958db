// The demo world as the later host and ./dev run see it: created in a folder with its registry, opened
// as the process's database, and answered by the procedures, the archive manager, the security
// manager and the index-server lookups; created again, it is the same world and not a doubled one.
#include "platform/hubdemo/hubdemo.h"

#include <gtest/gtest.h>

#include "Db/Proc/DM2GetIndexServers.h"
#include "Db/Proc/archFileByTimeSuperBrowse.h"
#include "platform/archive/archivemanagerhm.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/hubdb/hubdb.h"
#include "platform/log/evdebug.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/security/zetatoken.h"
#include "tests/platform/db/tempdir.h"

using zydb::DB_NO_DATA;
using zydb::DB_OK;

namespace {

constexpr int kDay = 86400;

class DemoWorld : public ::testing::Test {
protected:
    void SetUp() override {
        EvDebugFileInstance::setLogDirectory(dir.path());
        std::string error;
        ASSERT_TRUE(hubdemo::createDemoWorld(dir.file("demo"), world, &error)) << error;
        ASSERT_EQ(hubdb::openHubDatabase(world.databasePath, &error), DB_OK) << error;
    }
    void TearDown() override {
        zydb::CDbEnv::close();
        ZYPlatformInfo::setRegistryPath("");
    }

    // (cycle rows, other data rows, index rows) of the file-system subclient over a window.
    std::tuple<int, int, int> superBrowse(long long from, long long to) {
        ArchFileByTimeSuperBrowse p(nullptr);
        p.setValues(world.fileAppType, world.fileClient, world.fileBackupSet, world.fileSubclient,
                    static_cast<int>(from), static_cast<int>(to), 0, 1, 0, 0, "");
        int sets[4] = {0, 0, 0, 0};
        int rc;
        while ((rc = getNextRow(&p, nullptr, -1, 0)) == DB_OK) {
            const auto* r = p.getDataPtr();
            EXPECT_EQ(r->r_appId, world.fileSubclient);
            EXPECT_EQ(r->r_mediaAgentId, world.mediaAgent);
            ++sets[r->r_resultSetId & 3];
        }
        EXPECT_EQ(rc, DB_NO_DATA) << p.getErrorStr(rc);
        return {sets[1], sets[2], sets[3]};
    }

    TempDir dir;
    hubdemo::DemoWorld world;
};

}  // namespace

TEST_F(DemoWorld, CyclesAndArchiveFilesOfTheFileSystemSubclient) {
    // Fourteen daily jobs, a full each week: two cycles of seven jobs, two data files and an index
    // file each; the running incremental is left out.
    EXPECT_EQ(superBrowse(0, 0), std::make_tuple(2, 2 * 14 - 2, 14));
    // Days 8 to 10 lie in the second cycle; its files up to the window's end are the jobs of days 7,
    // 8 and 9 (day 10's runs an hour after the end).
    EXPECT_EQ(superBrowse(world.firstBackupTime + 8 * kDay, world.firstBackupTime + 10 * kDay),
              std::make_tuple(1, 2 * 3 - 1, 3));

    ArchiveManagerHM am(nullptr);
    LastAfileForEachCycleArgs_t args;
    args.appId = static_cast<uint64_t>(world.fileSubclient);
    args.searchMode = kAfileModeCycle;
    LastAfileForEachCycleRet_t cycles;
    ASSERT_EQ(am.getLastAfileForEachCycle(&args, &cycles), 0);
    ASSERT_EQ(cycles.lastAfiles.size(), 2u);
    EXPECT_LT(cycles.lastAfiles[0].r_createTime, world.firstBackupTime + 7 * kDay);
    EXPECT_GT(cycles.lastAfiles[1].r_createTime, world.firstBackupTime + 13 * kDay);

    // The first week lies on one medium, the second on the other.
    std::vector<TMediaInfo> media;
    ASSERT_EQ(
        am.getMediaListForAppIdByTime(0, world.fileSubclient, 0, 0, 0, &media, kMediaIndex | kMediaData), 0);
    ASSERT_EQ(media.size(), 2u);
    EXPECT_EQ(media[0].text1, "DEMO001");
    EXPECT_EQ(media[1].text1, "DEMO002");
    EXPECT_EQ(media[0].value8 + media[1].value8, 3u * 14);
    EXPECT_EQ(media[0].flags, static_cast<uint64_t>(kMediaIndex | kMediaData));

    // The auxiliary copy is on the older media agent.
    GetMediaAgentByAGCArgs_t byCopy;
    byCopy.archGroupId = static_cast<uint64_t>(world.storagePolicy);
    byCopy.copyId = static_cast<uint64_t>(world.auxiliaryCopy);
    GetMediaAgentRetHM_t agent;
    ASSERT_EQ(am.getMediaAgentByAGC(&byCopy, &agent), 0);
    EXPECT_EQ(agent.clientId, static_cast<uint64_t>(world.offlineMediaAgent));
    EXPECT_EQ(agent.clientName, "mediaagent2");
}

TEST_F(DemoWorld, UsersRightsAndTokens) {
    std::string key;
    ASSERT_TRUE(CZetaToken::signingKey(key));
    EXPECT_EQ(key.size(), 64u);

    std::string token;
    ASSERT_EQ(EvSecurityMgr::IssueZetaToken(world.fileUser, false, 3600, token), 0);
    EvSecurityCheck check(0);
    int userId = 0;
    std::string login, domain, fullName;
    ASSERT_EQ(
        check.GetUserInfoFromZetaTokenWithoutAuthentication(token, true, userId, login, domain, fullName), 1);
    EXPECT_EQ(userId, world.fileUser);
    EXPECT_EQ(login, "alice");

    EXPECT_TRUE(check.canBrowse(world.fileUser, 2, world.fileClient, world.fileAppType, 0,
                                world.fileBackupSet, world.fileSubclient, false, ""));
    EXPECT_FALSE(
        check.canBrowse(world.fileUser, 2, world.otherFileClient, world.fileAppType, 0, 0, 0, false, ""));
    EXPECT_TRUE(
        check.canBrowse(world.adminUser, 2, world.otherFileClient, world.fileAppType, 0, 0, 0, false, ""));
    EXPECT_TRUE(check.canManageHubmaster(world.adminUser, 2));
    EXPECT_FALSE(check.canManageHubmaster(world.fileUser, 2));
}

TEST_F(DemoWorld, VirtualMachinesAndTheIndexServer) {
    // Three hypervisor backups: one full cycle each, and both machines of the parent browse.
    ArchFileByTimeSuperBrowse p(nullptr);
    p.setValues(106, world.hypervisor, world.vmBackupSet, world.vmSubclient, 0, 0, 0, 1, 0, 0,
                "<InputParam><VSAV2ParentBrowse>1</VSAV2ParentBrowse></InputParam>");
    int cycles = 0, machines = 0, rc;
    while ((rc = getNextRow(&p, nullptr, -1, 0)) == DB_OK) {
        machines += p.getDataPtr()->r_VMGUID[0] != 0;
        cycles += p.getDataPtr()->r_resultSetId == 1 && p.getDataPtr()->r_VMGUID[0] == 0;
    }
    EXPECT_EQ(rc, DB_NO_DATA);
    EXPECT_EQ(cycles, 3);
    EXPECT_EQ(machines, 2);

    DM2GetIndexServers servers(nullptr);
    servers.setValues("Virtual Machine", world.indexServer, 0, 0, 1, 1, 0);
    ASSERT_EQ(getNextRow(&servers, nullptr, -1, 0), DB_OK);
    EXPECT_EQ(servers.getDataPtr()->o_clientId, world.mediaAgent);
    EXPECT_STREQ(servers.getDataPtr()->o_serverName, "demo-index-server");
    EXPECT_EQ(getNextRow(&servers, nullptr, -1, 0), DB_NO_DATA);
}

TEST_F(DemoWorld, CreatedAgainItIsTheSameWorld) {
    const hubdemo::DemoWorld first = world;
    std::string key1, key2;
    ASSERT_TRUE(CZetaToken::signingKey(key1));
    zydb::CDbEnv::close();
    std::string error;
    ASSERT_TRUE(hubdemo::createDemoWorld(dir.file("demo"), world, &error)) << error;
    EXPECT_EQ(world.fileSubclient, first.fileSubclient);
    EXPECT_EQ(world.fileUser, first.fileUser);
    EXPECT_EQ(world.indexServer, first.indexServer);
    ASSERT_TRUE(CZetaToken::signingKey(key2));
    EXPECT_NE(key1, key2);  // a fresh key each time
    ASSERT_EQ(hubdb::openHubDatabase(world.databasePath, &error), DB_OK) << error;
    EXPECT_EQ(superBrowse(0, 0), std::make_tuple(2, 2 * 14 - 2, 14));
}
