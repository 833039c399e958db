// Index administration: the actions on index-backup pseudo-clients, disabling their backups, the
// default schedule, the maintenance procedures; the index-server node list, index databases and
// document tags.
#include <tuple>

#include "Db/Proc/APPSetActivityControlSubClientProp.h"
#include "Db/Proc/AppIdxUpdatePrunedCheckpointValidity.h"
#include "Db/Proc/DM2GetIndexServers.h"
#include "Db/Proc/IdxGetMAWithoutIndexSubClient.h"
#include "Db/Proc/SetFullConsolidationForAutomaticSchedule.h"
#include "Db/Proc/SetRetentionForAutomaticSchedule.h"
#include "Db/Proc/TM_AddEntityToTask.h"
#include "Db/Proc/UpdateUserPropForQuota.h"
#include "Db/Tbl/App_IndexDBInfo.h"
#include "Db/Tbl/DM2DocTagsValues.h"
#include "platform/hubdb/hubdb.h"
#include "platform/threads/hubclock.h"
#include "tests/platform/hubdb/families_b/families_b_world.h"

namespace {

// (id, name, flag, storage policy)
using Action = std::tuple<int, std::string, int, int>;

class IndexAdministration : public FamiliesBWorld {
protected:
    void SetUp() override {
        build([&](hubdb::HubDbSeed& seed, hubdb::FamiliesBSeed& more) {
            sp1 = seed.addStoragePolicy("idx1", 0);
            sp2 = seed.addStoragePolicy("idx2", 0);
            newMa = seed.addMediaAgent({.name = "ma-new"});
            renamedMa = seed.addMediaAgent({.name = "ma-renamed"});
            twoSubclientsMa = seed.addMediaAgent({.name = "ma-two"});
            goneMa = seed.addMediaAgent({.name = "ma-gone"});
            brokenMa = seed.addMediaAgent({.name = "ma-broken"});
            fineMa = seed.addMediaAgent({.name = "ma-fine"});
            more.configureIndexBackup(newMa, sp1);
            more.configureIndexBackup(renamedMa, sp2, false);
            more.configureIndexBackup(twoSubclientsMa, sp1);
            more.configureIndexBackup(brokenMa, sp1);
            more.configureIndexBackup(fineMa, sp1);
            renamedClient = more.addIndexClient(renamedMa, "ma-old-name", sp1, &renamedSubclient);
            twoClient = more.addIndexClient(twoSubclientsMa, "ma-two_IndexBackup", sp1, &oldSubclient);
            newSubclient = more.addIndexSubclient(twoClient, sp1);
            goneClient = more.addIndexClient(goneMa, "ma-gone", sp1);
            brokenClient = seed.addClient({.name = "ma-broken"});
            seed.insertRow("IdxIndexClient", {{"indexClientId", zydb::DbValue::ofInt(brokenClient)},
                                              {"maClientId", zydb::DbValue::ofInt(brokenMa)}});
            fineClient = more.addIndexClient(fineMa, "ma-fine_IndexBackup", sp1, &fineSubclient);

            defaultTask =
                more.addScheduleTask("System Created for IndexBackup subclients", true, true, 60, 0);
            recentTask =
                more.addScheduleTask("recent", false, true, 60, 4102444800LL);  // consolidated in 2100
            manualTask = more.addScheduleTask("manual", false, false, 60, 0);

            int client = seed.addClient({.name = "fs"});
            int bs = seed.addBackupSet("bs");
            int sc = seed.addSubclient(
                {.clientId = client, .appTypeId = 29, .backupSetId = bs, .storagePolicyId = sp1});
            auto b = seed.addBackup(sc, 1, kT0, 2);
            liveCheckpoint = more.addCheckpoint(bs, b.indexFile);
            seed.exec("UPDATE archFile SET isValid = 0 WHERE id = ?", {zydb::DbValue::ofInt(b.dataFiles[0])});
            prunedCheckpoint = more.addCheckpoint(bs, b.dataFiles[0]);
            seed.ageArchFile(b.dataFiles[1], 1);
            agedCheckpoint = more.addCheckpoint(bs, b.dataFiles[1]);
            missingCheckpoint = more.addCheckpoint(bs, 999999);

            hubdb::RowSeed rows(seed);
            alice = rows.addUser({.name = "alice"});
            bob = rows.addUser({.name = "Bob B", .login = "bob"});
        });
    }

    std::vector<Action> actions(int kind, int ma, int* rc = nullptr) {
        IdxGetMAWithoutIndexSubClient p(nullptr);
        p.setIsolationType(4);
        p.setValues(kind, ma);
        std::vector<Action> out;
        for (const auto& r : rowsOf(p, rc))
            out.emplace_back(r.o_MAClientId, r.o_MAClientName, r.o_subClientStatusFlag,
                             r.o_archGroupIdToAssign);
        return out;
    }

    template <class X, class... A>
    int call(A... args) {
        X p(nullptr);
        if constexpr (sizeof...(A) > 0) p.setValues(args...);
        return getOneRow(&p, false, -1, 0);
    }

    int sp1 = 0, sp2 = 0, newMa = 0, renamedMa = 0, twoSubclientsMa = 0, goneMa = 0, brokenMa = 0, fineMa = 0;
    int renamedClient = 0, renamedSubclient = 0, twoClient = 0, oldSubclient = 0, newSubclient = 0,
        goneClient = 0;
    int brokenClient = 0, fineClient = 0, fineSubclient = 0;
    int defaultTask = 0, recentTask = 0, manualTask = 0;
    int liveCheckpoint = 0, prunedCheckpoint = 0, agedCheckpoint = 0, missingCheckpoint = 0, alice = 0,
        bob = 0;
};

}  // namespace

TEST_F(IndexAdministration, ActionsForEveryIndexClientState) {
    EXPECT_EQ(actions(2, 0),
              (std::vector<Action>{
                  {renamedClient, "ma-renamed_IndexBackup", 4, sp2},     // renamed media agent
                  {renamedSubclient, "ma-renamed_IndexBackup", 6, sp2},  // moved to another policy
                  {renamedSubclient, "ma-renamed_IndexBackup", 3, sp2},  // backups no longer allowed
                  {oldSubclient, "ma-two_IndexBackup", 2, sp1},          // the older index subclient
                  {goneClient, "ma-gone", 1, 0},                         // its media agent is not configured
                  {brokenClient, "ma-broken", 5, sp1},                   // no IndexBackup subclient
                  {newMa, "ma-new_IndexBackup", 0, sp1},                 // no index client yet
              }));
    // One media agent only; another kind has no rows; a media agent in order has none and ends at once.
    EXPECT_EQ(actions(2, newMa), (std::vector<Action>{{newMa, "ma-new_IndexBackup", 0, sp1}}));
    int rc = 0;
    EXPECT_TRUE(actions(1, 0, &rc).empty());
    EXPECT_EQ(rc, zydb::DB_NO_DATA);
    EXPECT_TRUE(actions(2, fineMa, &rc).empty());
    EXPECT_EQ(rc, zydb::DB_NO_DATA);
}

TEST_F(IndexAdministration, DisablingBackupIsAVersionedPropertyAndEndsTheAction) {
    APPSetActivityControlSubClientProp p(nullptr);
    p.setIsolationType(4);
    p.setValues(4, 1, renamedSubclient, 0, 0, 0);
    EXPECT_EQ(getNextRow(&p, nullptr, -1, 0), zydb::DB_NO_DATA);
    auto rows = actions(2, renamedMa);
    EXPECT_EQ(rows.size(), 2u);  // rename and reassign remain
    for (const auto& a : rows) EXPECT_NE(std::get<2>(a), 3);
    const std::string prop =
        "FROM APP_SubClientProp WHERE attrName = 'Disable Activity 4' AND componentNameId = " +
        std::to_string(renamedSubclient);
    EXPECT_EQ(count("SELECT COUNT(*) " + prop), 1);
    // Enabling again closes that row and keeps it as history.
    EXPECT_EQ((call<APPSetActivityControlSubClientProp>(4, 0, renamedSubclient, 0, 0, 0)), zydb::DB_NO_DATA);
    EXPECT_EQ(count("SELECT COUNT(*) " + prop), 2);
    EXPECT_EQ(count("SELECT attrVal " + prop + " AND modified = 0"), 0);
    EXPECT_EQ(count("SELECT COUNT(*) " + prop + " AND modified <> 0 AND attrVal = '1'"), 1);
    // An unknown subclient is refused.
    EXPECT_TRUE(isError(call<APPSetActivityControlSubClientProp>(4, 1, 424242, 0, 0, 0)));
}

TEST_F(IndexAdministration, DefaultScheduleAssociationInsideTheCallersTransaction) {
    {
        DBtran tran(true);
        TM_AddEntityToTask add(&tran);
        add.setValues(fineSubclient, 0, 0, 0, 0, 0, 0, 0, 0, 128);
        EXPECT_EQ(getOneRow(&add, false, -1, 0), zydb::DB_NO_DATA);
        EXPECT_EQ(tran.rollbackTran(), zydb::DB_OK);
    }
    EXPECT_EQ(count("SELECT COUNT(*) FROM TM_TaskEntity"), 0);  // rolled back with the transaction
    {
        DBtran tran(true);
        TM_AddEntityToTask add(&tran);
        add.setValues(fineSubclient, 0, 0, 0, 0, 0, 0, 0, 0, 128);
        EXPECT_EQ(getOneRow(&add, false, -1, 0), zydb::DB_NO_DATA);
        EXPECT_EQ(tran.commitTran(), zydb::DB_OK);
    }
    EXPECT_EQ(count("SELECT taskId FROM TM_TaskEntity WHERE flags = 128 AND appId = " +
                    std::to_string(fineSubclient)),
              defaultTask);
    // Again: nothing more; an unknown subclient or task is refused; no default schedule is an error.
    EXPECT_EQ((call<TM_AddEntityToTask>(fineSubclient, 0, 0, 0, 0, 0, 0, 0, 0, 128)), zydb::DB_NO_DATA);
    EXPECT_EQ(count("SELECT COUNT(*) FROM TM_TaskEntity"), 1);
    EXPECT_TRUE(isError(call<TM_AddEntityToTask>(424242, 0, 0, 0, 0, 0, 0, 0, 0, 128)));
    EXPECT_TRUE(isError(call<TM_AddEntityToTask>(fineSubclient, 0, 0, 0, 0, 777, 0, 0, 0, 128)));
    ASSERT_EQ(sql("UPDATE TM_Task SET isDefault = 0"), zydb::DB_OK);
    EXPECT_TRUE(isError(call<TM_AddEntityToTask>(newSubclient, 0, 0, 0, 0, 0, 0, 0, 0, 128)));
}

TEST_F(IndexAdministration, MaintenanceProcedures) {
    // Schedule frequency: once a day by default, then the current global parameter.
    EXPECT_EQ(call<SetRetentionForAutomaticSchedule>(), zydb::DB_NO_DATA);
    EXPECT_EQ(count("SELECT COUNT(*) FROM TM_Task WHERE frequencyMins = 1440"), 2);
    EXPECT_EQ(count("SELECT frequencyMins FROM TM_Task WHERE taskId = " + std::to_string(manualTask)), 60);
    ASSERT_EQ(sql("INSERT INTO NBGlobalParam (id, name, value, created, modified) VALUES "
                  "(1, 'IndexBackupScheduleFrequencyMins', '30', 1, 5), (2, "
                  "'IndexBackupScheduleFrequencyMins', '480', 5, 0)"),
              zydb::DB_OK);
    EXPECT_EQ(call<SetRetentionForAutomaticSchedule>(), zydb::DB_NO_DATA);
    EXPECT_EQ(count("SELECT COUNT(*) FROM TM_Task WHERE frequencyMins = 480"), 2);

    // Full consolidation: due for the automatic schedule never consolidated, not for the recent one.
    EXPECT_EQ(call<SetFullConsolidationForAutomaticSchedule>(), zydb::DB_NO_DATA);
    EXPECT_EQ(count("SELECT taskId FROM TM_Task WHERE runFullConsolidation = 1"), defaultTask);

    // Checkpoints on pruned, aged or missing archive files become invalid.
    EXPECT_EQ(call<AppIdxUpdatePrunedCheckpointValidity>(), zydb::DB_NO_DATA);
    EXPECT_EQ(count("SELECT id FROM App_IndexCheckpointInfo WHERE isValid = 1"), liveCheckpoint);
    EXPECT_EQ(count("SELECT COUNT(*) FROM App_IndexCheckpointInfo WHERE isValid = 0"), 3);

    // Quota: every user for the empty name, one user by login or name, an unknown user refused.
    EXPECT_EQ((call<UpdateUserPropForQuota>("", 1)), zydb::DB_NO_DATA);
    EXPECT_EQ(count("SELECT COUNT(*) FROM UMUsersProp WHERE attrName = 'recomputeQuota' AND attrVal = '1' "
                    "AND modified = 0"),
              2);
    EXPECT_EQ((call<UpdateUserPropForQuota>("Bob B", 0)), zydb::DB_NO_DATA);
    EXPECT_EQ(count("SELECT componentNameId FROM UMUsersProp WHERE attrVal = '0' AND modified = 0"), bob);
    EXPECT_TRUE(isError(call<UpdateUserPropForQuota>("nobody' OR ''='", 1)));
    DBtable::b_newDBBase = false;
    EXPECT_EQ((call<UpdateUserPropForQuota>("", 1)), zydb::DB_NO_DATA);
    EXPECT_EQ(count("SELECT COUNT(*) FROM UMUsersProp WHERE attrVal = '1' AND modified = 0"), 2);
}

// The full consolidation's window counts back from the database's clock: a schedule consolidated at a
// time is due once that clock is the window (30 days) past it, and not a minute before.
TEST_F(IndexAdministration, TheConsolidationWindowCountsBackFromTheDatabasesClock) {
    zydb::CDbEnv::close();
    CHubManualClock clock;
    ASSERT_EQ(hubdb::openHubDatabase(dir.file("hub.db"), nullptr, clock), zydb::DB_OK);
    const long long consolidated = 4102444800LL;  // the recent schedule's, in 2100
    auto due = [&] {
        return count("SELECT runFullConsolidation FROM TM_Task WHERE taskId = " + std::to_string(recentTask));
    };
    clock.advance(std::chrono::seconds(consolidated + 30LL * kDay - 60 - clock.epochSeconds()));
    EXPECT_EQ(call<SetFullConsolidationForAutomaticSchedule>(), zydb::DB_NO_DATA);
    EXPECT_EQ(due(), 0);
    clock.advance(std::chrono::minutes(2));
    EXPECT_EQ(call<SetFullConsolidationForAutomaticSchedule>(), zydb::DB_NO_DATA);
    EXPECT_EQ(due(), 1);
    zydb::CDbEnv::close();  // before the clock goes
}

TEST_F(IndexAdministration, DatabaseErrorsAreReportedAsErrors) {
    ASSERT_EQ(sql("DROP TABLE TM_Task"), zydb::DB_OK);
    EXPECT_TRUE(isError(call<SetRetentionForAutomaticSchedule>()));
    EXPECT_TRUE(isError(call<SetFullConsolidationForAutomaticSchedule>()));
    ASSERT_EQ(sql("DROP TABLE App_IndexCheckpointInfo"), zydb::DB_OK);
    EXPECT_TRUE(isError(call<AppIdxUpdatePrunedCheckpointValidity>()));
    ASSERT_EQ(sql("DROP TABLE UMUsersProp"), zydb::DB_OK);
    EXPECT_TRUE(isError(call<UpdateUserPropForQuota>("", 1)));
    ASSERT_EQ(sql("DROP TABLE IdxIndexClient"), zydb::DB_OK);
    int rc = 0;
    EXPECT_TRUE(actions(2, 0, &rc).empty());
    EXPECT_TRUE(isError(rc));
}

namespace {

class IndexLookups : public FamiliesBWorld {
protected:
    void SetUp() override {
        build([&](hubdb::HubDbSeed& seed, hubdb::FamiliesBSeed& more) {
            for (const char* n : {"node-a", "node-b", "node-c"}) nodes.push_back(seed.addClient({.name = n}));
            cluster = more.addIndexServer("Virtual Machine", "vm-index-cluster",
                                          {{.clientId = nodes[2], .basePort = 20000},
                                           {.clientId = nodes[0], .basePort = 20010},
                                           {.clientId = nodes[1], .basePort = 20020, .enabled = false}});
            single = seed.addClient({.name = "exchange-index"});
            more.addIndexServer("Exchange Index", "", {{.clientId = single, .engineName = "exidx"}}, 5);
            bs1 = seed.addBackupSet("bs1");
            bs2 = seed.addBackupSet("bs2");
            more.addIndexDatabase({.dbName = "db1", .backupSetId = bs1, .flags = 3, .properties = "<p/>"});
            more.addIndexDatabase({.dbName = "db2", .backupSetId = bs2, .flags = 2});
            more.addDocTag("0B9F0A5E-1A6D-4A39-9B8A-6F5C2B1D7E01", kRetentionContainer, 30);
            more.addDocTag("4C1D2E3F-5A6B-4C7D-8E9F-0A1B2C3D4E5F", kRetentionContainer, 365);
            more.addDocTag("7E8F9A0B-1C2D-4E3F-8A5B-6C7D8E9F0A1B", "OTHER", 1);
        });
    }

    std::vector<DM2GetIndexServers_t> servers(const char* kind, int server, int enabledOnly) {
        DM2GetIndexServers p(nullptr);
        p.setValues(kind, server, 0, 0, enabledOnly, 1, 0);
        return rowsOf(p);
    }

    static constexpr const char* kRetentionContainer = "26A29909-9168-405C-B989-92A8EE243D35";
    std::vector<int> nodes;
    int cluster = 0, single = 0, bs1 = 0, bs2 = 0;
};

}  // namespace

TEST_F(IndexLookups, IndexServerNodesInOrder) {
    auto all = servers("Virtual Machine", cluster, 0);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].o_clientId, nodes[2]);
    EXPECT_EQ(all[1].o_clientId, nodes[0]);
    EXPECT_EQ(all[2].o_clientId, nodes[1]);
    EXPECT_STREQ(all[0].o_serverName, "vm-index-cluster");
    EXPECT_STREQ(all[0].o_clientName, "node-c");
    EXPECT_STREQ(all[0].o_hostName, "node-c");
    EXPECT_EQ(all[1].o_basePort, 20010);
    EXPECT_EQ(all[0].o_indexServerClientId, cluster);
    EXPECT_EQ(all[0].o_cloudId, all[2].o_cloudId);
    EXPECT_STREQ(all[0].o_internalCloudName, "vm-index-cluster_internal");

    // As the service calls it (first row, enabled nodes only): the disabled node is left out.
    EXPECT_EQ(servers("Virtual Machine", cluster, 1).size(), 2u);
    DM2GetIndexServers first(nullptr);
    first.setValues("Virtual Machine", cluster, 0, 0, 1, 1, 0);
    ASSERT_EQ(getOneRow(&first, false, -1, 0), zydb::DB_OK);
    EXPECT_EQ(first.getDataPtr()->o_clientId, nodes[2]);

    // A single-machine server is its own node; a kind or a client that is not an index server: no row.
    auto one = servers("exchange index", single, 1);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].o_clientId, single);
    EXPECT_EQ(one[0].o_serverType, 5);
    EXPECT_STREQ(one[0].o_engineName, "exidx");
    EXPECT_TRUE(servers("Exchange Index", cluster, 1).empty());
    DM2GetIndexServers none(nullptr);
    none.setValues("Virtual Machine", nodes[0], 0, 0, 1, 1, 0);
    EXPECT_EQ(getOneRow(&none, false, -1, 0), zydb::DB_NO_DATA);
}

TEST_F(IndexLookups, IndexDatabaseFlagsAndRetentionTags) {
    App_IndexDBInfo info(nullptr);
    info.setIsolationType(4);
    info.setWhere("backupSetId = %ld", static_cast<long>(bs1));
    ASSERT_EQ(getOneRow(&info, false, -1, 0), zydb::DB_OK);
    EXPECT_EQ(info.getDataPtr()->flags & 1, 1);  // flags 3: indexed per subclient
    EXPECT_STREQ(info.getDataPtr()->dbName, "db1");
    ASSERT_NE(info.getDataPtr()->properties, nullptr);
    EXPECT_STREQ(info.getDataPtr()->properties, "<p/>");
    EXPECT_NE(info.getDataPtr()->backupSetGUID[0], 0);
    info.setWhere("backupSetId = %ld", static_cast<long>(bs2));
    ASSERT_EQ(getOneRow(&info, false, -1, 0), zydb::DB_OK);
    EXPECT_EQ(info.getDataPtr()->flags & 1, 0);  // flags 2: not
    EXPECT_EQ(info.getDataPtr()->properties, nullptr);
    info.setWhere("backupSetId = %ld", 999L);
    EXPECT_EQ(getOneRow(&info, false, -1, 0), zydb::DB_NO_DATA);

    DM2DocTagsValues tags(nullptr);
    tags.setWhere("containerGuid = '26A29909-9168-405C-B989-92A8EE243D35' ");
    auto rows = rowsOf(tags);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_STREQ(rows[0].TagID, "0B9F0A5E-1A6D-4A39-9B8A-6F5C2B1D7E01");
    EXPECT_EQ(rows[0].TagValue + rows[1].TagValue, 395);
    tags.setWhere("containerGuid = '%s'", "no-such-container");
    EXPECT_TRUE(rowsOf(tags).empty());
}
