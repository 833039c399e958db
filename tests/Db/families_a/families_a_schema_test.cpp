// The descriptions of the property, backup-set, mailbox, user and job families: type strings, column
// lists, keys, serial columns, foreign keys, revisions, and the records' defaults and ownership. One
// table of expected facts drives the same checks over every family.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "Db/Proc/JMGetBkpJobIdsUpToEndTime.h"
#include "Db/Proc/JMGetHasCloudLaptopJobs.h"
#include "Db/Tbl/APP_BackupSetName.h"
#include "Db/Tbl/APP_ClientProp.h"
#include "Db/Tbl/APP_EmailConfigPolicyAssoc.h"
#include "Db/Tbl/APP_IDAProp.h"
#include "Db/Tbl/APP_SubClientProp.h"
#include "Db/Tbl/APP_VMBackupSet.h"
#include "Db/Tbl/JMBkpStats.h"
#include "Db/Tbl/JMJobDataLink.h"
#include "Db/Tbl/UMUsers.h"

namespace {

using FkMap = ZYDBRowBase::ForeignKeyMap;

struct Facts {
    const char* typeString;  // as generated, before times become 64-bit integers
    const char* columns;     // the access object's column list
    const char* primaryWhere;
    int serialColNum;
    FkMap foreignKeys;
    const char* revision;
};

const char* const kPropColumns = "id, componentNameId, attrName, attrType, attrVal, created, modified, ccpId";

template <class X>
void checkFamily(const Facts& f) {
    using Schema = typename X::SchemaObject;
    SCOPED_TRACE(X::Descriptor::className);
    X access(nullptr);
    auto* schema = dynamic_cast<Schema*>(access.getSchemaObject());
    ASSERT_NE(schema, nullptr);

    EXPECT_EQ(Schema::generatedTypeString(), f.typeString);
    std::string stored = f.typeString;
    for (char& c : stored)
        if (c == 'x') c = 'b';
    EXPECT_EQ(schema->getStructDef(), stored);
    EXPECT_EQ(schema->getTableName(), X::Descriptor::className);
    EXPECT_EQ(schema->getHeaderType(), X::Descriptor::kind);
    EXPECT_EQ(schema->getPrimaryWhere(), f.primaryWhere);
    EXPECT_EQ(schema->getSerialColNum(), f.serialColNum);
    EXPECT_EQ(schema->getForeignKeyMap(), f.foreignKeys);

    // One value object per column; the key list names the schema's own objects, in key order.
    size_t columns = std::count(stored.begin(), stored.end(), '|');
    EXPECT_EQ(schema->getData().size(), columns);
    EXPECT_EQ(X::Record::kColumnCount, columns);
    std::unique_ptr<std::vector<ZYDBDataTypeBase*>> keys(schema->getPrimaryData());
    const auto& names = X::Descriptor::primaryKeys;
    ASSERT_EQ(keys->size(), X::Descriptor::kind == DBtable::kTable ? names.size() : 0u);
    for (size_t k = 0; k < keys->size(); ++k) {
        int pos = -1;
        for (size_t c = 0; c < columns; ++c)
            if (schema->getColumnName(static_cast<int>(c)) == names[k]) pos = static_cast<int>(c);
        ASSERT_GE(pos, 0) << names[k];
        EXPECT_EQ((*keys)[k], schema->getData()[static_cast<size_t>(pos)]) << names[k];
    }

    // A second object adds nothing to the shared description.
    { Schema again; }
    EXPECT_EQ(schema->getColumnName(static_cast<int>(columns) - 1),
              std::string(schema->getColumnName_t2(static_cast<int>(columns) - 1)));
    EXPECT_EQ(std::string(schema->getColumnName_t2(static_cast<int>(columns))), "");

    EXPECT_EQ(access.getColumnList(), f.columns);
    EXPECT_EQ(
        static_cast<size_t>(std::count(access.getColumnList().begin(), access.getColumnList().end(), ',')),
        columns - 1);
    EXPECT_EQ(access.getKind(), X::Descriptor::kind);
    EXPECT_STREQ(access.getTableName(), X::Descriptor::dbName);
    if constexpr (X::Descriptor::kind == DBtable::kTable) {
        EXPECT_EQ(access.getDescription(), std::string("Table ") + X::Descriptor::className);
        EXPECT_STREQ(access.getHeaderRevisionText(), f.revision);
        EXPECT_STREQ(access.getSerialColumnName(),
                     f.serialColNum >= 0 ? schema->getColumnName(f.serialColNum).c_str() : "");
        EXPECT_EQ(access.getSerialColumnPtr() != nullptr, f.serialColNum >= 0);
    } else {
        EXPECT_EQ(access.getDescription(), std::string("Procedure ") + X::Descriptor::className);
        EXPECT_STREQ(access.getHeaderRevision(), f.revision);
        EXPECT_EQ(access.getSerialColumnPtr(), nullptr);
    }
}

}  // namespace

TEST(FamiliesASchema, PropertyTables) {
    checkFamily<APP_ClientProp>({"i|i|s2049|i|s2049|x|x|i|", kPropColumns, "", 0,
                                 FkMap{{"APP_Client", {{"componentNameId", "id"}}}}, "1.11.278.10"});
    checkFamily<APP_SubClientProp>({"i|i|s2049|i|s|x|x|i|", kPropColumns, "id = ?", 0,
                                    FkMap{{"APP_Application", {{"componentNameId", "id"}}}},
                                    "1.17.278.10.8.1"});
    checkFamily<APP_IDAProp>({"i|i|s2049|i|s|x|x|i|", kPropColumns, "id = ?", 0,
                              FkMap{{"APP_IDAName", {{"componentNameId", "id"}}}}, "1.10.278.3"});
}

TEST(FamiliesASchema, BackupSetTables) {
    checkFamily<APP_BackupSetName>({"i|s257|x|x|i|i|x|i|s65|",
                                    "id, name, refTime, modified, status, ccpId, ccpTime, origKMId, GUID",
                                    "id = ?", 0, FkMap{}, "1.23.2.3"});
    checkFamily<APP_VMBackupSet>({"i|i|i|", "VMClientId, ParentBackupSetId, ChildBackupSetId",
                                  "VMClientId = ?AND ParentBackupSetId = ?", -1,
                                  FkMap{{"APP_Client", {{"VMClientId", "id"}}}}, "1.1.2.3"});
}

TEST(FamiliesASchema, MailboxAndUserTables) {
    checkFamily<APP_EmailConfigPolicyAssoc>(
        {"i|s41|s511|s511|s511|s2049|s2049|i|i|i|i|i|i|s511|i|i|x|x|i|i|i|i|s801|b|s4097|i|s81|s81|s81|i|i|b|"
         "x|b|x|",
         "assocId, userGuid, displayName, aliasName, smtpAdrress, databaseName, exchangeServer, "
         "discoverByType, isAutoDiscovered, mailBoxType, clientId, backupsetId, subClientId, "
         "adGroupName, autoDiscover, ownerId, created, modified, flags, status, deleted, coreId, "
         "password, mailBoxSize, description, planId, objectGuid, azureGuid, immutableId, "
         "exchangeVersion, discoveryVersion, msExchRecipientTypeDetails, backupReferenceTime, "
         "numberOfEmails, idxCollectionTime",
         "assocId = ?", 0,
         FkMap{{"UMUsers", {{"ownerId", "id"}}}, {"APP_Application", {{"subClientId", "id"}}}},
         "1.1.4.12.52.1"});
    checkFamily<UMUsers>(
        {"i|u1021|u|u1021|s801|u1021|i|i|i|i|i|x|i|s256|x|x|i|s513|s513|i|s801|i|",
         "id, name, description, login, password, email, datePasswordSet, dateExpires, policy, "
         "enabled, flags, modified, pVer, Pager, lastLogInTime, credSetTime, umDSproviderId, "
         "userGuid, origUserGuid, origKMId, salt, companyId",
         "id = ?", 0, FkMap{}, "1.29.210.11"});
}

TEST(FamiliesASchema, JobTablesAndProcedures) {
    checkFamily<JMBkpStats>(
        {"i|i|i|i|i|i|i|i|i|i|i|i|x|x|i|i|i|s257|i|i|i|i|i|i|s511|i|i|b|b|b|b|i|b|i|i|i|s25|i|i|x|x|x|i|i|x|"
         "i|b|i|i|b|"
         "i|i|b|i|i|i|i|i|i|i|i|i|i|b|b|b|i|",
         "jobId, kelmarchId, appId, appType, numAttempts, dataArchGrpId, copyID, bkpLevel, "
         "indexOverride, status, duration, numStreams, servStartDate, servEndDate, opType, "
         "fullCycleNum, initFrom, failureReason, bkpOptions, scanFileFailures, "
         "scanFolderFailures, backupFileFailures, backupFolderFailures, oraSubLevel, username, "
         "totalWriteTime, priority, totalCompBytes, totalUncompBytes, totalNumOfFiles, "
         "bkpattributes, logArchGrpId, totalNumOfFolders, failureErrorCode, lastIncrJobTime, "
         "scanType, scanTypeChangeReason, numStreamsRequested, dataStatus, agedTime, "
         "mediaDeletedTime, modifiedTime, version, idaVersion, cIndexTime, cycleSequence, "
         "filesToXfer, cloudId, diffArchGrpId, totalBackupSize, percentageChange, targetClientId, "
         "totalUncompBytesToXfer, displayStatus, dataBackedUp, logsBackedUp, openChain, "
         "secondaryBkpLevel, jobIdPrepared, jobIdActedOn, fromTime, toTime, subTaskId, "
         "nwTransBytes, totSkippedObjects, bkpAttributesEx, jobReferenceTime",
         "jobId = ?AND kelmarchId = ?", -1,
         FkMap{{"JMJobStats", {{"jobId", "jobId"}, {"kelmarchId", "kelmarchId"}}}}, "1.76.48.16.4.1"});
    checkFamily<JMJobDataLink>(
        {"i|i|i|i|i|i|i|",
         "kelmarchId, parentJobId, childJobId, parentAppid, childAppid, linkType, childJobStatus",
         "kelmarchId = ?AND parentJobId = ?AND childJobId = ?", -1,
         FkMap{{"APP_Kelmarch", {{"kelmarchId", "id"}}},
               {"JMJobStats", {{"childJobId", "jobId"}, {"kelmarchId", "kelmarchId"}}}},
         "1.13.302.2"});
    checkFamily<JMGetHasCloudLaptopJobs>(
        {"i|", "o_hasCloudLaptopJobs", "", -1, FkMap{}, "00010001000400020000"});
    checkFamily<JMGetBkpJobIdsUpToEndTime>(
        {"i|i|", "i_JobId, i_KelmarchId", "", -1, FkMap{}, "00010002030200020000"});

    JMBkpStats_t2 stats;
    EXPECT_EQ(stats.getColumnName(0), "jobId");
    EXPECT_EQ(stats.getColumnName(1), "kelmarchId");
    EXPECT_EQ(stats.getColumnName(66), "jobReferenceTime");
}

// Fixed texts hold at most their width less one; unbounded text is owned and released exactly once.
TEST(FamiliesASchema, RecordDefaultsWidthsAndOwnership) {
    APP_ClientProp_t client;
    EXPECT_EQ(sizeof client.attrVal, 2049u);
    EXPECT_EQ(client.attrVal[0], 0);
    EXPECT_EQ(client.created, 0);

    UMUsers_t user;
    EXPECT_EQ(user.description, nullptr);
    EXPECT_EQ(sizeof user.Pager, 256u);
    EXPECT_EQ(user.email[0], 0);

    JMBkpStats_t job;
    EXPECT_EQ(job.jobReferenceTime, 0);
    EXPECT_EQ(job.failureReason[0] | job.username[0] | job.scanTypeChangeReason[0], 0);
    EXPECT_EQ(sizeof job.scanTypeChangeReason, 25u);

    // Owned text: longer than any fixed column, and each record frees its own copy (the sanitizer
    // build would catch a double release when both go out of scope).
    APP_SubClientProp_t prop;
    EXPECT_EQ(prop.attrVal, nullptr);
    prop.attrVal = new char[4000];
    std::memset(prop.attrVal, 'v', 3999);
    prop.attrVal[3999] = 0;
    APP_SubClientProp_t copy(prop);
    ASSERT_NE(copy.attrVal, nullptr);
    EXPECT_NE(copy.attrVal, prop.attrVal);
    EXPECT_EQ(std::strlen(copy.attrVal), 3999u);

    UMUsers_t owner;
    owner.description = new char[3]{'a', 'b', 0};
    UMUsers_t other;
    other = owner;
    EXPECT_STREQ(other.description, "ab");
}

// Procedure arguments: bound values in the new base, else the printed "%d,%d" clause of 29 characters.
TEST(FamiliesASchema, ProcedureArgumentsOnBothPaths) {
    {
        JMGetHasCloudLaptopJobs p(nullptr);
        p.setValues(12, -1);
        EXPECT_TRUE(p.getInputsBound());
        EXPECT_EQ(p.boundInputCount(), 2u);
        p.setValues(3, 4);
        EXPECT_EQ(p.boundInputCount(), 2u);  // earlier inputs cleared first
    }
    DBtable::b_newDBBase = false;
    {
        JMGetBkpJobIdsUpToEndTime p(nullptr);
        EXPECT_EQ(p.getSchemaObject(), nullptr);
        p.setValues(12, -1);
        EXPECT_EQ(p.getValuesCapacity(), 29u);
        EXPECT_EQ(p.getValuesClause(), "12,-1");
    }
    DBtable::b_newDBBase = true;
}
