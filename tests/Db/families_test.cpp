// Each Hubmaster family against the database's own description of it (type strings, column lists,
// names, keys, revisions), and the edge cases of the subclient, client and archive-file families.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "Db/Proc/APPGetLaptopClientList.h"
#include "Db/Proc/AppGetBackupSetGUIDFromAFiles.h"
#include "Db/Proc/AppGetIndexCheckpointForGivenTimeRange.h"
#include "Db/Proc/AppGetIndexingV2Enabled.h"
#include "Db/Proc/AppGetMachineBrowseDetails.h"
#include "Db/Proc/AppGetSharePointMemberServers.h"
#include "Db/Proc/EntityNameToIdConverter.h"
#include "Db/Proc/archFileByTime.h"
#include "Db/Proc/archFileByTimeSuperBrowse.h"
#include "Db/Tbl/APP_Application.h"
#include "Db/Tbl/APP_Client.h"
#include "Db/Tbl/archFile.h"
#include "platform/db/dbenv.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/log/evdebug.h"
#include "tests/platform/db/tempdir.h"

namespace {

// What the database's documentation says of a family.
struct FamilyText {
    const char* typeString;
    const char* columnList;
    const char* dbName;
    const char* description;
    const char* revision;
    int kind;
    const char* primaryWhere;
    int serialColNum;
};

template <class X>
void expectFamily(const FamilyText& t) {
    using Schema = typename X::SchemaObject;
    SCOPED_TRACE(t.description);
    EXPECT_EQ(Schema::generatedTypeString(), t.typeString);
    X access(nullptr);
    EXPECT_EQ(access.getColumnList(), t.columnList);
    EXPECT_STREQ(access.getTableName(), t.dbName);
    EXPECT_EQ(access.getDescription(), t.description);
    EXPECT_EQ(access.getKind(), t.kind);
    if (t.kind == DBtable::kTable) {
        EXPECT_STREQ(access.getHeaderRevisionText(), t.revision);
    } else {
        EXPECT_STREQ(access.getHeaderRevision(), t.revision);
    }
    Schema schema;
    std::string expectedDef = t.typeString;
    for (char& c : expectedDef)
        if (c == 'x') c = 'b';
    EXPECT_EQ(schema.getStructDef(), expectedDef);
    EXPECT_EQ(schema.getHeaderType(), t.kind);
    EXPECT_EQ(schema.getPrimaryWhere(), t.primaryWhere);
    EXPECT_EQ(schema.getSerialColNum(), t.serialColNum);
    // The static name list is the column list, once, however many objects were made.
    Schema second;
    std::string joined;
    for (size_t k = 0; k < Schema::m_staticColumnVec.size(); ++k)
        joined += (k ? ", " : "") + Schema::m_staticColumnVec[k];
    EXPECT_EQ(joined, t.columnList);
    EXPECT_EQ(schema.getData().size(), Schema::m_staticColumnVec.size());
}

}  // namespace

TEST(FamilyText, EveryFamilyMatchesItsDescription) {
    expectFamily<APP_Application>({"i|i|i|i|i|i|i|i|x|x|s257|i|i|x|i|s65|",
                                   "id, clientId, appTypeId, instance, backupSet, appNumber, dataArchGrpID, "
                                   "logArchGrpID, refTime, modified, "
                                   "subclientName, subclientStatus, ccpId, ccpTime, origKMId, GUID",
                                   "APP_Application", "Table APP_Application", "1.38.2.9", 1, "id = ?", 0});
    expectFamily<APP_Client>(
        {"i|s511|i|s511|s511|x|x|i|x|s511|s|s511|i|i|i|i|i|i|i|x|i|s65|i|s511|",
         "id, name, simOperatingSystemId, net_hostname, client_password, refTime, modified, offlineEntity, "
         "offlineTimeStamp, hmHostName, clientDescription, jobResultDir, clientSkewTime, zydPort, "
         "evmClientPort, status, "
         "releaseId, spaceCheckFlags, ccpId, ccpTime, origKMId, GUID, specialClientFlags, displayName",
         "APP_Client", "Table APP_Client", "1.63.2.10", 1, "id = ?", 0});
    expectFamily<ArchFile>(
        {"i|u8193|i|i|s2049|i|i|i|i|i|i|i|i|i|i|",
         "id, name, kelmarchId, archGroupId, objName1, flags, appId, fileType, cTime, jobId, "
         "backupLevel, isValid, cloudId, contentIndexTime, nPushedItems",
         "archFile", "Table ArchFile", "1.55.192.4", 1, "id = ?AND kelmarchId = ?", 0});
    expectFamily<ArchFileByTime>(
        {"i|i|i|i|i|i|i|i|b|b|",
         "r_afileId, r_kelmarchId, r_agroupId, r_copyId, r_fileType, r_createTime, r_jobId, "
         "r_backupLevel, r_physicalSize, r_logicalSize",
         "archFileByTime", "Procedure ArchFileByTime", "00010018005400060000", 2, "", -1});
    expectFamily<ArchFileByTimeSuperBrowse>(
        {"i|i|i|i|i|i|i|i|i|s5|i|i|i|i|s2049|i|",
         "r_resultSetId, r_afileId, r_kelmarchId, r_appId, r_agroupId, r_fileType, r_createTime, r_jobId, "
         "r_mediaAgentId, r_mediaAgentVersion, r_idxCacheSoftState, r_archFileFlag, r_isRunningJob, "
         "r_isAged, "
         "r_VMGUID, r_fullCycleNum",
         "archFileByTimeSuperBrowse", "Procedure ArchFileByTimeSuperBrowse", "v1.26.2.35.4.1", 2, "", -1});
    expectFamily<EntityNameToIdConverter>({"s|", "output", "EntityNameToIdConverter",
                                           "Procedure EntityNameToIdConverter", "00010095001200110000", 2, "",
                                           -1});
    expectFamily<APPGetLaptopClientList>({"", "", "APPGetLaptopClientList",
                                          "Procedure APPGetLaptopClientList", "00010147000200580000", 2, "",
                                          -1});
    expectFamily<AppGetMachineBrowseDetails>({"s|", "o_xmlstring", "AppGetMachineBrowseDetails",
                                              "Procedure AppGetMachineBrowseDetails", "00d:0000000000000000",
                                              2, "", -1});
    expectFamily<AppGetSharePointMemberServers>({"", "", "AppGetSharePointMemberServers",
                                                 "Procedure AppGetSharePointMemberServers",
                                                 "00d:0000000000000000", 2, "", -1});
    expectFamily<AppGetIndexCheckpointForGivenTimeRange>(
        {"s|", "outXML", "AppGetIndexCheckpointForGivenTimeRange",
         "Procedure AppGetIndexCheckpointForGivenTimeRange", "00010001000200030000", 2, "", -1});
    expectFamily<AppGetIndexingV2Enabled>({"", "", "AppGetIndexingV2Enabled",
                                           "Procedure AppGetIndexingV2Enabled", "00010001000200010000", 2, "",
                                           -1});
    expectFamily<AppGetBackupSetGUIDFromAFiles>({"s|", "outResp", "AppGetBackupSetGUIDFromAFiles",
                                                 "Procedure AppGetBackupSetGUIDFromAFiles",
                                                 "00d:0000000000000000", 2, "", -1});
}

TEST(SubclientAndClient, KeysForeignKeysAndRecords) {
    APP_Application_t2 app;
    using Map = std::map<std::string, std::string>;
    auto fk = app.getForeignKeyMap();
    ASSERT_EQ(fk.size(), 5u);
    EXPECT_EQ(fk["APP_client"], (Map{{"clientId", "id"}}));
    EXPECT_EQ(fk["APP_iDAType"], (Map{{"appTypeId", "type"}}));
    EXPECT_EQ(fk["APP_InstanceName"], (Map{{"instance", "id"}}));
    EXPECT_EQ(fk["APP_BackupSetName"], (Map{{"backupSet", "id"}}));
    EXPECT_EQ(fk["archGroup"], (Map{{"logArchGrpID", "id"}}));
    std::unique_ptr<std::vector<ZYDBDataTypeBase*>> key(app.getPrimaryData());
    ASSERT_EQ(key->size(), 1u);
    EXPECT_EQ((*key)[0], app.getData()[0]);

    APP_Client_t2 client;
    EXPECT_EQ(client.getForeignKeyMap(),
              (ZYDBRowBase::ForeignKeyMap{{"simOperatingSystem", {{"simOperatingSystemId", "id"}}},
                                          {"simAllNimbraRel", {{"releaseId", "id"}}}}));
    EXPECT_EQ(client.getStructDef(), "i|s511|i|s511|s511|b|b|i|b|s511|s|s511|i|i|i|i|i|i|i|b|i|s65|i|s511|");

    APP_Application_t a;
    std::memset(a.subclientName, 'n', 256);
    std::memset(a.GUID, 'g', 64);
    a.ccpTime = 1LL << 40;
    APP_Application_t copy(a);
    EXPECT_EQ(std::strlen(copy.subclientName), 256u);
    EXPECT_EQ(std::strlen(copy.GUID), 64u);
    EXPECT_EQ(copy.ccpTime, 1LL << 40);
    std::vector<APP_Application_t> rows{a, copy};
    EXPECT_EQ(std::strlen(rows[1].subclientName), 256u);

    APP_Client_t c;
    EXPECT_EQ(c.clientDescription, nullptr);
    c.clientDescription = new char[6];
    std::strcpy(c.clientDescription, "hello");  // released once by the record
}

TEST(ArchiveFamilies, KeysSizesAndCopies) {
    ArchFile_t2 af;
    EXPECT_EQ(af.getPrimaryWhere(), "id = ?AND kelmarchId = ?");
    std::unique_ptr<std::vector<ZYDBDataTypeBase*>> keys(af.getPrimaryData());
    ASSERT_EQ(keys->size(), 2u);
    EXPECT_EQ((*keys)[0], af.getData()[0]);
    EXPECT_EQ((*keys)[1], af.getData()[2]);
    EXPECT_EQ(af.getForeignKeyMap(), (ZYDBRowBase::ForeignKeyMap{{"archGroup", {{"archGroupId", "id"}}}}));
    EXPECT_TRUE(ArchFileByTime_t2().getForeignKeyMap().empty());

    EXPECT_EQ(sizeof(ArchFile_t::name), 8193u);
    EXPECT_EQ(sizeof(ArchFileByTimeSuperBrowse_t::r_mediaAgentVersion), 5u);

    ArchFileByTime_t t;
    t.r_physicalSize = (1LL << 32) + 7;
    t.r_logicalSize = LLONG_MAX;
    t.r_jobId = 9;
    ArchFileByTime_t u(t), w;
    w = t;
    EXPECT_EQ(u.r_physicalSize, (1LL << 32) + 7);
    EXPECT_EQ(w.r_logicalSize, LLONG_MAX);
    EXPECT_EQ(w.r_jobId, 9);
}

TEST(ArchiveFamilies, PrintedArgumentsAndTheirReservation) {
    DBtable::b_newDBBase = false;
    ArchFileByTime byTime(nullptr);
    byTime.setValues(0, 12, 0, 1700000000, 0, 0, 2, 0, 0, 1);
    EXPECT_EQ(byTime.getValuesCapacity(), 149u);
    EXPECT_EQ(byTime.getValuesClause(), "0,12,0,1700000000,0,0,2,0,0,1");

    ArchFileByTimeSuperBrowse sb(nullptr);
    sb.setValues(29, 1, 2, 3, 4, 5, 0, 1, 0, 0, "");
    EXPECT_EQ(sb.getValuesClause(), "29,1,2,3,4,5,0,1,0,0,''");
    EXPECT_EQ(sb.getValuesCapacity(), 154u);
    const char* vm = "<InputParam><VSAV2ParentBrowse>1</VSAV2ParentBrowse></InputParam>";
    sb.setValues(106, 0, 2, 3, 4, 5, 0, 0, 0, 1, vm);
    EXPECT_EQ(sb.getValuesClause(), std::string("106,0,2,3,4,5,0,0,0,1,'") + vm + "'");
    EXPECT_EQ(sb.getValuesCapacity(), std::strlen(vm) + 154);
    DBtable::b_newDBBase = true;

    sb.setValues(29, 1, 2, 3, 4, 5, 0, 1, 0, 0, nullptr);  // a null XML is taken as empty
    EXPECT_EQ(sb.boundInputCount(), 11u);
}

TEST(ArchiveFamilies, ARefusedTransactionIsLoggedWithTheFamilyText) {
    TempDir dir;
    EvDebugFileInstance::setLogDirectory(dir.path());
    std::string logPath = EvDebugFileInstance::defaultInstance()->filePath();
    hubdb::HubDbSeed seed(dir.file("hub.db"));
    ASSERT_TRUE(seed.ok()) << seed.error();
    ASSERT_EQ(hubdb::openHubDatabase(dir.file("hub.db")), 0);
    std::unique_ptr<DBtran> foreign;
    std::thread([&] { foreign = std::make_unique<DBtran>(true); }).join();
    ArchFile af(foreign.get());
    EXPECT_EQ(getNextRow(&af, nullptr, -1, 0), zydb::DB_ERR_STATE);
    foreign.reset();
    zydb::CDbEnv::close();

    std::ifstream in(logPath);
    std::stringstream text;
    text << in.rdbuf();
    char expected[128];
    std::snprintf(expected, sizeof expected,
                  "Db/Tbl/archFile(610): ArchFile Constructor [0x%08x], caught an exception",
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(&af)));
    EXPECT_NE(text.str().find(expected), std::string::npos) << text.str();
    EvDebugFileInstance::setLogDirectory("");
}
