// The descriptions of the storage-policy, VM, index, global-parameter, release, erase and sharing
// families (type strings, column lists, keys, serial columns, foreign keys, names, revisions), the
// records' defaults, and the argument clauses their procedures print on the old path.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Db/Proc/APPSetActivityControlSubClientProp.h"
#include "Db/Proc/AppGetVMBrowseDetails.h"
#include "Db/Proc/AppIdxUpdatePrunedCheckpointValidity.h"
#include "Db/Proc/AppSetPendingEndUserEraseStatus.h"
#include "Db/Proc/AppSharingGetShareFolderOwner.h"
#include "Db/Proc/ArchGetVMsForBrowse.h"
#include "Db/Proc/DM2GetIndexServers.h"
#include "Db/Proc/IdxGetMAWithoutIndexSubClient.h"
#include "Db/Proc/SetFullConsolidationForAutomaticSchedule.h"
#include "Db/Proc/SetRetentionForAutomaticSchedule.h"
#include "Db/Proc/TM_AddEntityToTask.h"
#include "Db/Proc/UpdateUserPropForQuota.h"
#include "Db/Proc/archGetBackupCopyPrecedenceForSnap.h"
#include "Db/Tbl/App_IndexDBInfo.h"
#include "Db/Tbl/DM2DocTagsValues.h"
#include "Db/Tbl/NBGlobalParam.h"
#include "Db/Tbl/archGroup.h"
#include "Db/TblCommon/simAllNimbraRel.h"

namespace {

using FkMap = ZYDBRowBase::ForeignKeyMap;

struct Facts {
    const char* typeString;  // as generated
    const char* columns;     // the access object's column list
    const char* primaryWhere;
    int serialColNum;
    const char* revision;
    const char* header;
    int errorLine;
    FkMap foreignKeys{};
};

template <class X, class... Ctor>
void expectFacts(const Facts& f, Ctor... ctor) {
    using Desc = typename X::Descriptor;
    using Schema = typename X::SchemaObject;
    SCOPED_TRACE(Desc::className);
    X access(ctor..., nullptr);
    auto* schema = dynamic_cast<Schema*>(access.getSchemaObject());
    ASSERT_NE(schema, nullptr);

    std::string stored = f.typeString;
    for (char& c : stored)
        if (c == 'x') c = 'b';
    EXPECT_EQ(Schema::generatedTypeString(), f.typeString);
    EXPECT_EQ(schema->getStructDef(), stored);
    EXPECT_EQ(schema->getTableName(), Desc::className);
    EXPECT_EQ(schema->getHeaderType(), Desc::kind);
    EXPECT_EQ(schema->getPrimaryWhere(), f.primaryWhere);
    EXPECT_EQ(schema->getSerialColNum(), f.serialColNum);
    EXPECT_EQ(schema->getForeignKeyMap(), f.foreignKeys);
    std::unique_ptr<std::vector<ZYDBDataTypeBase*>> keys(schema->getPrimaryData());
    EXPECT_EQ(keys->size(), std::string(f.primaryWhere).empty() ? 0u : 1u);
    if (!keys->empty()) {
        EXPECT_EQ(keys->front(), schema->getData().front());  // every single key here is `id`
    }

    EXPECT_EQ(access.getColumnList(), f.columns);
    EXPECT_EQ(schema->getData().size(), X::Record::kColumnCount);
    EXPECT_STREQ(Desc::header, f.header);
    EXPECT_EQ(Desc::errorLine, f.errorLine);
    const bool table = Desc::kind == DBtable::kTable;
    EXPECT_EQ(access.getDescription(), std::string(table ? "Table " : "Procedure ") + Desc::className);
    if constexpr (Desc::kind == DBtable::kTable) {
        EXPECT_STREQ(access.getHeaderRevisionText(), f.revision);
        EXPECT_EQ(access.getSerialColumnPtr() != nullptr, f.serialColNum >= 0);
        EXPECT_STREQ(access.getSerialColumnName(), f.serialColNum >= 0 ? "id" : "");
    } else {
        EXPECT_STREQ(access.getHeaderRevision(), f.revision);
        EXPECT_EQ(access.getSerialColumnPtr(), nullptr);
    }
}

// The printed values clause of a procedure on the old path, and the length reserved for it.
template <class X, class... A>
std::pair<std::string, unsigned long> printed(A... args) {
    DBtable::b_newDBBase = false;
    X p(nullptr);
    p.setValues(args...);
    DBtable::b_newDBBase = true;
    return {p.getValuesClause(), p.getValuesCapacity()};
}

}  // namespace

TEST(FamiliesBSchema, StoragePolicyFamilies) {
    expectFacts<ArchGroup>(
        {"i|i|u577|u|i|i|i|i|i|i|i|i|i|i|s2049|i|s256|i|s2049|i|",
         "id, defaultCopy, name, description, maxStreams, type, incrSP, origKMkelmarchID, "
         "origKMarchGroupId, defaultSnapCopy, SIBlockSizeKB, AuxCopyAlertGB, AuxCopyAlertDays, flags, "
         "mediaPassword, TimeZoneType, TimeZone, SubclientExtensionTimeStamp, "
         "SubclientExtensionTimeStampEncrypted, logSP",
         "id = ?", 0, "1.49.66.4", "Db/Tbl/archGroup", 663});
    ArchGroup group(nullptr);
    EXPECT_STREQ(group.getTableName(), "archGroup");
    EXPECT_EQ(group.getDataPtr()->description, nullptr);
    EXPECT_EQ(sizeof(group.getDataPtr()->name), 577u);
    EXPECT_EQ(sizeof(group.getDataPtr()->TimeZone), 256u);

    expectFacts<ArchGetBackupCopyPrecedenceForSnap>({"i|s|", "r_copyPrecedence, r_error", "", -1,
                                                     "00010001000200050000",
                                                     "Db/Proc/archGetBackupCopyPrecedenceForSnap", 403});
    ArchGetBackupCopyPrecedenceForSnap snap(nullptr);
    EXPECT_STREQ(snap.getTableName(), "archGetBackupCopyPrecedenceForSnap");
    EXPECT_EQ(snap.getDataPtr()->r_error, nullptr);
    auto [clause, capacity] = printed<ArchGetBackupCopyPrecedenceForSnap>(3, 4, 1700000000, 1700086400);
    EXPECT_EQ(clause, "3,4,1700000000,1700086400");
    EXPECT_EQ(capacity, 59u);
}

TEST(FamiliesBSchema, VmBrowseProcedures) {
    expectFacts<ArchGetVMsForBrowse>(
        {"i|i|s2049|s511|b|i|s2049|i|s2049|i|s2049|i|i|b|i|",
         "r_errorCode, r_VMClientId, r_VMGUID, r_VMClientName, r_VMSize, r_VMInstanceId, "
         "r_VMInstanceGUID, r_VMBackupSetId, r_VMBackupSetGUID, r_VMAppId, r_VMAppGUID, "
         "r_VMJobId, r_VMJobKelmarchId, r_VMJobEndTime, r_VMClientOSId",
         "", -1, "00010001000400090000", "Db/Proc/ArchGetVMsForBrowse", 571});
    expectFacts<AppGetVMBrowseDetails>({"i|i|i|i|", "VMClientID, VMInstanceId, VMBackupsetId, VMSubclientId",
                                        "", -1, "00d:0000000000000000", "Db/Proc/AppGetVMBrowseDetails",
                                        398});

    // 64-bit times keep every bit; a request without a subclient passes -1.
    auto [vms, vmsCapacity] = printed<ArchGetVMsForBrowse>(7, -1, 0LL, 5000000000LL, 2, 1);
    EXPECT_EQ(vms, "7,-1,0,5000000000,2,1");
    EXPECT_EQ(vmsCapacity, 113u);
    // An empty GUID prints as N'' and the backup set; a quote inside a GUID is doubled, never closes it.
    auto [empty, emptyCapacity] = printed<AppGetVMBrowseDetails>("", 12);
    EXPECT_EQ(empty, "N'',12");
    EXPECT_EQ(emptyCapacity, 20u);
    EXPECT_EQ(printed<AppGetVMBrowseDetails>("a'b", 12).first, "N'a''b',12");
    EXPECT_EQ(printed<AppGetVMBrowseDetails>("0A1B", 12).second, 24u);
}

TEST(FamiliesBSchema, IndexAdministrationProcedures) {
    expectFacts<IdxGetMAWithoutIndexSubClient>(
        {"i|s513|i|i|", "o_MAClientId, o_MAClientName, o_subClientStatusFlag, o_archGroupIdToAssign", "", -1,
         "00d:0000000000000000", "Db/Proc/IdxGetMAWithoutIndexSubClient", 409});
    expectFacts<APPSetActivityControlSubClientProp>(
        {"", "", "", -1, "00d:0000000000000000", "Db/Proc/APPSetActivityControlSubClientProp", 366});
    expectFacts<TM_AddEntityToTask>(
        {"", "", "", -1, "00010005000200050000", "Db/Proc/TM_AddEntityToTask", 369});
    expectFacts<SetRetentionForAutomaticSchedule>(
        {"", "", "", -1, "00010001000200020000", "Db/Proc/SetRetentionForAutomaticSchedule", 350});
    expectFacts<AppIdxUpdatePrunedCheckpointValidity>(
        {"", "", "", -1, "00010001000200040000", "Db/Proc/AppIdxUpdatePrunedCheckpointValidity", 350});
    expectFacts<SetFullConsolidationForAutomaticSchedule>(
        {"", "", "", -1, "v1.1.2.5.36.1", "Db/Proc/SetFullConsolidationForAutomaticSchedule", 348});
    expectFacts<UpdateUserPropForQuota>(
        {"", "", "", -1, "00010001000200060000", "Db/Proc/UpdateUserPropForQuota", 355});

    EXPECT_EQ(printed<IdxGetMAWithoutIndexSubClient>(2, 0),
              (std::pair<std::string, unsigned long>{"2,0", 29}));
    EXPECT_EQ(printed<APPSetActivityControlSubClientProp>(4, 1, 77, 0, 0, 0),
              (std::pair<std::string, unsigned long>{"4,1,77,0,0,0", 89}));
    EXPECT_EQ(printed<TM_AddEntityToTask>(77, 0, 0, 0, 0, 0, 0, 0, 0, 128),
              (std::pair<std::string, unsigned long>{"77,0,0,0,0,0,0,0,0,128", 149}));
    EXPECT_EQ(printed<UpdateUserPropForQuota>("", 1), (std::pair<std::string, unsigned long>{"'',1", 19}));
}

TEST(FamiliesBSchema, IndexServerAndIndexDatabaseLookups) {
    expectFacts<DM2GetIndexServers>(
        {"s1025|i|s513|i|s513|i|s513|i|i|s513|",
         "o_serverName, o_clientId, o_clientName, o_cloudId, o_hostName, o_basePort, "
         "o_engineName, o_serverType, o_indexServerClientId, o_internalCloudName",
         "", -1, "00d:0000000000000000", "Db/Proc/DM2GetIndexServers", 517});
    expectFacts<App_IndexDBInfo>(
        {"i|s129|i|i|i|i|s65|s|i|b|i|i|",
         "id, dbName, type, idxDbEngineType, backupSetId, currentIdxServer, backupSetGUID, "
         "properties, isPrimary, committedTransactionId, archGroupId, flags",
         "", 0, "1.3.54.8", "Db/Tbl/App_IndexDBInfo", 576,
         FkMap{{"APP_BackupSetName", {{"backupSetId", "id"}}}}});
    expectFacts<DM2DocTagsValues>(
        {"s37|s65|i|", "TagID, containerGuid, TagValue", "", -1, "1.2.80.1", "Db/Tbl/DM2DocTagsValues", 449});
    App_IndexDBInfo info(nullptr);
    EXPECT_EQ(info.getDataPtr()->properties, nullptr);

    auto [clause, capacity] = printed<DM2GetIndexServers>("Virtual Machine", 41, 0, 0, 1, 1, 0);
    EXPECT_EQ(clause, "'Virtual Machine',41,0,0,1,1,0");
    EXPECT_EQ(capacity, 109u);
}

TEST(FamiliesBSchema, GlobalParamReleaseEraseAndShareFamilies) {
    expectFacts<NBGlobalParam>({"i|s129|s|x|x|", "id, name, value, created, modified", "", 0, "1.120.88.3",
                                "Db/Tbl/NBGlobalParam", 501});
    expectFacts<SimAllNimbraRel>({"i|s129|i|", "id, release, buildNum", "id = ?", -1, "1.17.58.4",
                                  "Db/TblCommon/simAllNimbraRel", 450},
                                 0);
    SimAllNimbraRel releases(0, nullptr);
    EXPECT_STREQ(releases.getTableName(), "simAllNimbraRel");
    EXPECT_EQ(releases.dbArg(), 0);
    EXPECT_EQ(SimAllNimbraRel(7, nullptr).dbArg(), 7);
    expectFacts<AppSetPendingEndUserEraseStatus>(
        {"", "", "", -1, "00010002008000010000", "Db/Proc/AppSetPendingEndUserEraseStatus", 354});
    expectFacts<AppSharingGetShareFolderOwner>({"i|s|", "o_userId, o_userName", "", -1,
                                                "00010004007400020000",
                                                "Db/Proc/AppSharingGetShareFolderOwner", 400});
    AppSharingGetShareFolderOwner owner(nullptr);
    EXPECT_EQ(owner.getDataPtr()->o_userName, nullptr);

    EXPECT_EQ(printed<AppSetPendingEndUserEraseStatus>(55, 1),
              (std::pair<std::string, unsigned long>{"55,1", 29}));
    EXPECT_EQ(printed<AppSharingGetShareFolderOwner>(9), (std::pair<std::string, unsigned long>{"9", 14}));

    // New base: each argument becomes one bound value object, in order.
    AppSetPendingEndUserEraseStatus pending(nullptr);
    pending.setValues(55, 1);
    EXPECT_TRUE(pending.getInputsBound());
    EXPECT_EQ(pending.boundInputCount(), 2u);
}
