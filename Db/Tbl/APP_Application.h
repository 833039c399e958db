// APP_Application: one row per subclient. Record, schema and access object come from this data;
// access objects are made on the calling thread's stack for one query.
#pragma once

#include "platform/db/rowfamily.h"

#define APP_Application_COLUMNS(COL) \
    COL(id, i)                       \
    COL(clientId, i)                 \
    COL(appTypeId, i)                \
    COL(instance, i)                 \
    COL(backupSet, i)                \
    COL(appNumber, i)                \
    COL(dataArchGrpID, i)            \
    COL(logArchGrpID, i)             \
    COL(refTime, x)                  \
    COL(modified, x)                 \
    COL(subclientName, sN<257>)      \
    COL(subclientStatus, i)          \
    COL(ccpId, i)                    \
    COL(ccpTime, x)                  \
    COL(origKMId, i)                 \
    COL(GUID, sN<65>)

struct APP_Application_desc : zydb::TableDesc {
    static constexpr const char* className = "APP_Application";
    static constexpr const char* dbName = "APP_Application";
    static constexpr const char* revision = "1.38.2.9";
    static constexpr const char* header = "Db/Tbl/APP_Application";
    static constexpr int errorLine = 641;
    static constexpr const char* serialColumn = "id";
    static constexpr const char* orderBy = "id";
    static constexpr auto primaryKeys = zydb::keys("id");
    // "dataArchGrpId" is spelled so by the database; the later key to archGroup replaces it.
    static constexpr auto foreignKeys = zydb::fks(zydb::FkPair{0, "APP_client", "clientId", "id"},
                                                  zydb::FkPair{1, "APP_iDAType", "appTypeId", "type"},
                                                  zydb::FkPair{2, "APP_InstanceName", "instance", "id"},
                                                  zydb::FkPair{3, "APP_BackupSetName", "backupSet", "id"},
                                                  zydb::FkPair{4, "archGroup", "dataArchGrpId", "id"},
                                                  zydb::FkPair{5, "archGroup", "logArchGrpID", "id"});
};

ZYDB_FAMILY(APP_Application)
