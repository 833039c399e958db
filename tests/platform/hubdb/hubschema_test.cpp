// The one Hubmaster schema and the one procedure registry: every table listed once and created with
// every column, an older narrower table completed without losing rows, and every row-returning
// procedure family answered by a registered handler.
#include "platform/hubdb/hubschema.h"

#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <set>
#include <string>

#include "Db/Proc/APPSetActivityControlSubClientProp.h"
#include "Db/Proc/AppGetVMBrowseDetails.h"
#include "Db/Proc/AppIdxUpdatePrunedCheckpointValidity.h"
#include "Db/Proc/AppSetPendingEndUserEraseStatus.h"
#include "Db/Proc/AppSharingGetShareFolderOwner.h"
#include "Db/Proc/ArchGetVMsForBrowse.h"
#include "Db/Proc/DM2GetIndexServers.h"
#include "Db/Proc/IdxGetMAWithoutIndexSubClient.h"
#include "Db/Proc/JMGetBkpJobIdsUpToEndTime.h"
#include "Db/Proc/JMGetHasCloudLaptopJobs.h"
#include "Db/Proc/SetFullConsolidationForAutomaticSchedule.h"
#include "Db/Proc/SetRetentionForAutomaticSchedule.h"
#include "Db/Proc/TM_AddEntityToTask.h"
#include "Db/Proc/UpdateUserPropForQuota.h"
#include "Db/Proc/archFileByTime.h"
#include "Db/Proc/archFileByTimeSuperBrowse.h"
#include "Db/Proc/archGetBackupCopyPrecedenceForSnap.h"
#include "platform/db/dbresult.h"
#include "platform/db/procregistry.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubdbseed.h"
#include "tests/platform/db/tempdir.h"

namespace {

std::unique_ptr<zydb::IDbConnection> connect(const std::string& path) {
    zydb::DbOpenOptions o;
    o.create = true;
    std::unique_ptr<zydb::IDbConnection> conn;
    std::string err;
    EXPECT_EQ(zydb::sqliteBackend().connect(path, o, conn, err), zydb::DB_OK) << err;
    return conn;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

long long count(zydb::IDbConnection& conn, const std::string& sql) {
    std::unique_ptr<zydb::IDbStatement> st;
    if (conn.prepare(sql, st) != zydb::DB_OK || st->step() != zydb::DB_OK) return -1;
    return st->columnInt64(0);
}

}  // namespace

TEST(HubSchema, EveryTableOnceWithEveryColumn) {
    const std::vector<zydb::TableSpec> specs = hubdb::hubTableSpecs();
    std::set<std::string> names;
    for (const zydb::TableSpec& spec : specs)
        EXPECT_TRUE(names.insert(lower(spec.name)).second) << spec.name << " is listed twice";
    // Tables of every area: row families, the helper tables of the procedures, the archive
    // manager's media, and the entity library's and security manager's own tables.
    for (const char* table : {"APP_Client", "archFile", "archGroup", "JMBkpStats", "UMUsers", "APP_IDAName",
                              "IdxIndexClient", "DM2Cloud", "MMMedia", "archFileMedia", "APP_InstanceName",
                              "SDEraseFilter", "SECUserRight", "SECTokenSession", "UMUsersProp"})
        EXPECT_TRUE(names.count(lower(table))) << table;

    TempDir dir;
    hubdb::HubDbSeed seed(dir.file("hub.db"));
    ASSERT_TRUE(seed.ok()) << seed.error();
    for (const zydb::TableSpec& spec : specs)
        for (const zydb::ColumnSpec& c : spec.columns)
            EXPECT_EQ(count(*seed.connection(), "SELECT COUNT(" + c.name + ") FROM " + spec.name), 0)
                << spec.name << "." << c.name;
}

TEST(HubSchema, CompletesANarrowerTableAndKeepsItsRows) {
    TempDir dir;
    auto conn = connect(dir.file("old.db"));
    ASSERT_TRUE(conn);
    // A storage-policy table as an older database held it: three columns and two policies.
    ASSERT_EQ(conn->exec("CREATE TABLE archGroup (id INTEGER PRIMARY KEY, defaultCopy INTEGER, name TEXT)"),
              zydb::DB_OK);
    ASSERT_EQ(
        conn->exec("INSERT INTO archGroup (id, defaultCopy, name) VALUES (1, 11, 'gold'), (2, 0, 'silver')"),
        zydb::DB_OK);
    std::string error;
    ASSERT_EQ(hubdb::createHubSchema(*conn, &error), zydb::DB_OK) << error;
    EXPECT_EQ(count(*conn, "SELECT COUNT(*) FROM archGroup"), 2);
    EXPECT_EQ(count(*conn, "SELECT defaultCopy FROM archGroup WHERE name = 'gold'"), 11);
    // The added columns hold their defaults on the old rows.
    EXPECT_EQ(
        count(*conn,
              "SELECT COUNT(*) FROM archGroup WHERE defaultSnapCopy = 0 AND TimeZone = '' AND logSP = 0"),
        2);
    // A second pass finds nothing to do and fails on nothing (indexes, generated columns).
    ASSERT_EQ(hubdb::createHubSchema(*conn, &error), zydb::DB_OK) << error;
    EXPECT_EQ(count(*conn, "SELECT COUNT(*) FROM archGroup"), 2);
    EXPECT_EQ(count(*conn, "SELECT COUNT(*) FROM pragma_table_info('archFile') WHERE name = 'cs_afname'"), 0);
    EXPECT_EQ(count(*conn, "SELECT COUNT(*) FROM pragma_table_xinfo('archFile') WHERE name = 'cs_afname'"),
              1);
}

TEST(HubSchema, AFailingStatementIsReported) {
    TempDir dir;
    auto conn = connect(dir.file("bad.db"));
    ASSERT_TRUE(conn);
    // A view in the way of a table cannot be created over nor completed.
    ASSERT_EQ(conn->exec("CREATE VIEW mediaAgent AS SELECT 1 AS clientId"), zydb::DB_OK);
    std::string error;
    EXPECT_NE(hubdb::createHubSchema(*conn, &error), zydb::DB_OK);
    EXPECT_NE(error.find("mediaAgent"), std::string::npos) << error;
}

TEST(HubProcedures, EveryRowProcedureFamilyHasAHandler) {
    hubdb::registerHubProcedures();
    for (const char* name :
         {ArchFileByTime::Descriptor::dbName, ArchFileByTimeSuperBrowse::Descriptor::dbName,
          ArchGetBackupCopyPrecedenceForSnap::Descriptor::dbName, ArchGetVMsForBrowse::Descriptor::dbName,
          AppGetVMBrowseDetails::Descriptor::dbName, IdxGetMAWithoutIndexSubClient::Descriptor::dbName,
          APPSetActivityControlSubClientProp::Descriptor::dbName, TM_AddEntityToTask::Descriptor::dbName,
          SetRetentionForAutomaticSchedule::Descriptor::dbName,
          AppIdxUpdatePrunedCheckpointValidity::Descriptor::dbName,
          SetFullConsolidationForAutomaticSchedule::Descriptor::dbName,
          UpdateUserPropForQuota::Descriptor::dbName, DM2GetIndexServers::Descriptor::dbName,
          AppSetPendingEndUserEraseStatus::Descriptor::dbName,
          AppSharingGetShareFolderOwner::Descriptor::dbName, JMGetHasCloudLaptopJobs::Descriptor::dbName,
          JMGetBkpJobIdsUpToEndTime::Descriptor::dbName})
        EXPECT_NE(zydb::CProcRegistry::find(name), nullptr) << name;
}
