// Storage policies read through ArchGroup (the end-user erase check's lookup, wide columns) and the
// copy precedence of the backup copy of snap backups.
#include "Db/Proc/archGetBackupCopyPrecedenceForSnap.h"
#include "Db/Tbl/archGroup.h"
#include "platform/hubdb/hubschema.h"
#include "tests/platform/hubdb/families_b/families_b_world.h"

namespace {

constexpr int kFileSystemAppType = 29;
// The erase check's clause: the client's filter subclients of the application type, by policy.
constexpr const char* kEraseClause =
    "id in (select dataArchGrpID from APP_Application where clientId=%d and subclientStatus=536 and "
    "appTypeId=%d)";

class StoragePolicies : public FamiliesBWorld {
protected:
    void SetUp() override {
        build([&](hubdb::HubDbSeed& seed, hubdb::FamiliesBSeed& more) {
            int ma = seed.addMediaAgent({.name = "ma"});
            withCopy = seed.addStoragePolicy("with-copy", ma);
            withoutCopy = seed.addStoragePolicy("without-copy", ma);
            seed.setDefaultCopy(withoutCopy, 0);
            filterClient = seed.addClient({.name = "filtered"});
            seed.addSubclient({.clientId = filterClient,
                               .appTypeId = kFileSystemAppType,
                               .name = "filter",
                               .storagePolicyId = withoutCopy,
                               .status = 536});
            okClient = seed.addClient({.name = "fine"});
            seed.addSubclient({.clientId = okClient,
                               .appTypeId = kFileSystemAppType,
                               .name = "filter",
                               .storagePolicyId = withCopy,
                               .status = 536});
            plainClient = seed.addClient({.name = "plain"});
            seed.addSubclient(
                {.clientId = plainClient, .appTypeId = kFileSystemAppType, .storagePolicyId = withoutCopy});

            // Snap backups: copy 1 is the primary backup copy, 2 an auxiliary copy, 3 the snap copy.
            snapPolicy = seed.addStoragePolicy("snap", ma);
            seed.addCopy(snapPolicy, 2, ma);
            more.addSnapCopy(snapPolicy, 3, ma);
            int client = seed.addClient({.name = "snapclient"});
            backupSet = seed.addBackupSet("bs");
            otherSet = seed.addBackupSet("other");
            subclient = seed.addSubclient({.clientId = client,
                                           .appTypeId = kFileSystemAppType,
                                           .backupSetId = backupSet,
                                           .storagePolicyId = snapPolicy});
            copiedJob = more.addSnapBackup(subclient, kT0, 2).jobId;
            more.runBackupCopy(copiedJob, 2);
            newestJob = more.addSnapBackup(subclient, kT0 + kDay).jobId;
            // A streaming job: its data goes to the backup copies, not to the snap copy.
            int streaming = seed.addBackup(subclient, 2, kT0 + 2 * kDay).jobId;
            seed.exec(
                "DELETE FROM archFileCopy WHERE archCopyId IN (SELECT id FROM archGroupCopy WHERE isSnapCopy "
                "= 1) "
                "AND archFileId IN (SELECT id FROM archFile WHERE jobId = ?)",
                {zydb::DbValue::ofInt(streaming)});

            // Policy, name and time zone at their widths.
            seed.exec("UPDATE archGroup SET name = ?, TimeZone = ?, description = NULL WHERE id = ?",
                      {zydb::DbValue::ofText(std::string(576, 'n')),
                       zydb::DbValue::ofText(std::string(255, 'z')), zydb::DbValue::ofInt(withCopy)});
            seed.exec("UPDATE archGroup SET TimeZone = ?, description = 'aux policy' WHERE id = ?",
                      {zydb::DbValue::ofText(std::string(256, 'y')), zydb::DbValue::ofInt(withoutCopy)});
        });
    }

    // The erase check's lookup: 0 with the row, 100 without, anything else an error.
    int eraseLookup(int client, int& defaultCopy) {
        ArchGroup g(nullptr);
        g.setWhere(kEraseClause, client, kFileSystemAppType);
        int rc = getOneRow(&g, true, -1, 0);
        defaultCopy = g.getDataPtr()->defaultCopy;
        return rc;
    }

    std::pair<int, std::string> precedence(int bs, int sc, int from, int to) {
        ArchGetBackupCopyPrecedenceForSnap p(nullptr);
        p.setValues(bs, sc, from, to);
        int rc = getNextRow(&p, nullptr, -1, 0);
        EXPECT_EQ(rc, zydb::DB_OK) << p.getErrorStr(rc);
        const auto* r = p.getDataPtr();
        return {r->r_copyPrecedence, r->r_error ? r->r_error : ""};
    }

    int withCopy = 0, withoutCopy = 0, filterClient = 0, okClient = 0, plainClient = 0;
    int snapPolicy = 0, backupSet = 0, otherSet = 0, subclient = 0, copiedJob = 0, newestJob = 0;
};

}  // namespace

TEST_F(StoragePolicies, EraseCheckTellsNoPolicyCopyNoRowAndFailureApart) {
    int defaultCopy = -1;
    EXPECT_EQ(eraseLookup(filterClient, defaultCopy), zydb::DB_OK);
    EXPECT_EQ(defaultCopy, 0);  // refused: the filter policy has no default copy
    EXPECT_EQ(eraseLookup(okClient, defaultCopy), zydb::DB_OK);
    EXPECT_GT(defaultCopy, 0);
    EXPECT_EQ(eraseLookup(plainClient, defaultCopy), zydb::DB_NO_DATA);  // no filter subclient: passes

    // A failing query is an error, never the "no row" that lets the erase go on.
    ASSERT_EQ(sql("ALTER TABLE archGroup RENAME TO archGroupGone"), zydb::DB_OK);
    EXPECT_TRUE(isError(eraseLookup(filterClient, defaultCopy)));
}

TEST_F(StoragePolicies, WideColumnsAndOwnedDescription) {
    ArchGroup g(nullptr);
    g.setWhere("id = %d", withCopy);
    ASSERT_EQ(getOneRow(&g, false, -1, 0), zydb::DB_OK);
    EXPECT_EQ(std::string(g.getDataPtr()->name), std::string(576, 'n'));
    EXPECT_EQ(std::string(g.getDataPtr()->TimeZone), std::string(255, 'z'));
    EXPECT_EQ(g.getDataPtr()->description, nullptr);
    g.setWhere("id = %d", withoutCopy);
    ASSERT_EQ(getOneRow(&g, false, -1, 0), zydb::DB_OK);
    EXPECT_EQ(std::string(g.getDataPtr()->TimeZone), std::string(255, 'y'));  // cut to the field
    ASSERT_NE(g.getDataPtr()->description, nullptr);
    EXPECT_STREQ(g.getDataPtr()->description, "aux policy");
    g.setWhere("id = %d", snapPolicy);
    ASSERT_EQ(getOneRow(&g, false, -1, 0), zydb::DB_OK);
    EXPECT_GT(g.getDataPtr()->defaultSnapCopy, 0);
    EXPECT_EQ(g.getDataPtr()->description, nullptr);  // the earlier row's text is released, not kept
}

TEST_F(StoragePolicies, SnapBackupCopyPrecedence) {
    // The newest snap job of the window has had no backup copy yet.
    auto [none, why] = precedence(backupSet, subclient, kT0, kT0 + 3 * kDay);
    EXPECT_EQ(none, 0);
    EXPECT_NE(why.find(std::to_string(newestJob)), std::string::npos) << why;

    // A window around the first snap job: its backup copy is on copy 2.
    EXPECT_EQ(precedence(backupSet, subclient, kT0 - 10, kT0 + 100), (std::pair<int, std::string>{2, ""}));
    EXPECT_EQ(precedence(backupSet, 0, kT0 - 10, kT0 + 100).first, 2);  // every subclient of the set

    // Once copied to the primary copy too, the lowest precedence wins; aged there, copy 2 again.
    int conn =
        sql("INSERT INTO archFileCopy (archFileId, kelmarchId, archCopyId, isValid, agedBy, mediaAgentId, "
            "physicalSize, logicalSize) SELECT f.id, f.kelmarchId, g.id, 1, 0, 0, 0, 0 FROM archFile f JOIN "
            "archGroupCopy g ON g.archGroupId = f.archGroupId AND g.copy = 1 WHERE f.jobId = " +
            std::to_string(copiedJob));
    ASSERT_EQ(conn, zydb::DB_OK);
    EXPECT_EQ(precedence(backupSet, subclient, kT0 - 10, kT0 + 100).first, 1);
    ASSERT_EQ(sql("UPDATE archFileCopy SET agedBy = 1 WHERE archCopyId IN (SELECT id FROM archGroupCopy "
                  "WHERE copy = 1)"),
              zydb::DB_OK);
    EXPECT_EQ(precedence(backupSet, subclient, kT0 - 10, kT0 + 100).first, 2);

    // The printed path gives the same answer.
    DBtable::b_newDBBase = false;
    EXPECT_EQ(precedence(backupSet, subclient, kT0 - 10, kT0 + 100).first, 2);
}

TEST_F(StoragePolicies, SnapPrecedenceWithoutASnapJobOrOutsideTheSet) {
    // Only the streaming job lies in this window.
    auto [p, why] = precedence(backupSet, subclient, kT0 + 2 * kDay - 10, kT0 + 3 * kDay);
    EXPECT_EQ(p, 0);
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(precedence(otherSet, 0, 0, 0).first, 0);
    auto [q, notInSet] = precedence(otherSet, subclient, 0, 0);
    EXPECT_EQ(q, 0);
    EXPECT_NE(notInSet.find("not in backup set"), std::string::npos) << notInSet;

    // A broken database is an error result, not an answer.
    ASSERT_EQ(sql("DROP TABLE archGroupCopy"), zydb::DB_OK);
    ArchGetBackupCopyPrecedenceForSnap proc(nullptr);
    proc.setValues(backupSet, subclient, 0, 0);
    EXPECT_TRUE(isError(getNextRow(&proc, nullptr, -1, 0)));
}

TEST_F(StoragePolicies, SchemaCompletionKeepsRowsAndCanRunAgain) {
    // Completing the schema of a seeded database again keeps the policies and their defaults.
    EXPECT_EQ(count("SELECT COUNT(*) FROM archGroup"), 3);
    int rc = 0;
    auto conn = zydb::CDbEnv::threadConnection(&rc);
    ASSERT_NE(conn, nullptr);
    std::string error;
    EXPECT_EQ(hubdb::createHubSchema(*conn, &error), zydb::DB_OK) << error;
    EXPECT_EQ(count("SELECT COUNT(*) FROM archGroup"), 3);
    EXPECT_EQ(count("SELECT COUNT(*) FROM archGroup WHERE TimeZone = '' AND logSP = 0"), 1);
}
