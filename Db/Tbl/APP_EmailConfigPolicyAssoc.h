// APP_EmailConfigPolicyAssoc: one row per association of a mailbox (by user GUID) with a subclient.
// Record, schema and access object come from this data; made on the calling thread's stack.
#pragma once

#include "platform/db/rowfamily.h"

// "smtpAdrress" is spelled so by the database.
#define APP_EmailConfigPolicyAssoc_COLUMNS(COL) \
    COL(assocId, i)                             \
    COL(userGuid, sN<41>)                       \
    COL(displayName, sN<511>)                   \
    COL(aliasName, sN<511>)                     \
    COL(smtpAdrress, sN<511>)                   \
    COL(databaseName, sN<2049>)                 \
    COL(exchangeServer, sN<2049>)               \
    COL(discoverByType, i)                      \
    COL(isAutoDiscovered, i)                    \
    COL(mailBoxType, i)                         \
    COL(clientId, i)                            \
    COL(backupsetId, i)                         \
    COL(subClientId, i)                         \
    COL(adGroupName, sN<511>)                   \
    COL(autoDiscover, i)                        \
    COL(ownerId, i)                             \
    COL(created, x)                             \
    COL(modified, x)                            \
    COL(flags, i)                               \
    COL(status, i)                              \
    COL(deleted, i)                             \
    COL(coreId, i)                              \
    COL(password, sN<801>)                      \
    COL(mailBoxSize, b)                         \
    COL(description, sN<4097>)                  \
    COL(planId, i)                              \
    COL(objectGuid, sN<81>)                     \
    COL(azureGuid, sN<81>)                      \
    COL(immutableId, sN<81>)                    \
    COL(exchangeVersion, i)                     \
    COL(discoveryVersion, i)                    \
    COL(msExchRecipientTypeDetails, b)          \
    COL(backupReferenceTime, x)                 \
    COL(numberOfEmails, b)                      \
    COL(idxCollectionTime, x)

struct APP_EmailConfigPolicyAssoc_desc : zydb::TableDesc {
    static constexpr const char* className = "APP_EmailConfigPolicyAssoc";
    static constexpr const char* dbName = "APP_EmailConfigPolicyAssoc";
    static constexpr const char* revision = "1.1.4.12.52.1";
    static constexpr const char* header = "Db/Tbl/APP_EmailConfigPolicyAssoc";
    static constexpr int errorLine = 850;
    static constexpr const char* serialColumn = "assocId";
    static constexpr const char* orderBy = "assocId";
    static constexpr auto primaryKeys = zydb::keys("assocId");
    static constexpr auto foreignKeys = zydb::fks(zydb::FkPair{0, "UMUsers", "ownerId", "id"},
                                                  zydb::FkPair{1, "APP_Application", "subClientId", "id"});
};

ZYDB_FAMILY(APP_EmailConfigPolicyAssoc)
