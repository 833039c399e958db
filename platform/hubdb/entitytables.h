// The entity-configuration library's own tables in the Hubmaster database: instances and their
// properties, backup-set properties, WBA replication pairs, end-user erase filters, and the
// install-manager's operating systems and virtual-to-physical machine map. Record, schema and access
// object of each come from the data below; access objects live on one thread's stack for one query.
#pragma once

#include "Db/Tbl/propertyColumns.h"
#include "platform/hubdb/platformtabledesc.h"

inline constexpr char kEntityTablesHeader[] = "platform/hubdb/entitytables.h";

// One instance (an application installed on a client under a name).
#define APP_InstanceName_COLUMNS(COL) \
    COL(id, i)                        \
    COL(name, sN<257>)                \
    COL(GUID, sN<65>)                 \
    COL(clientId, i)                  \
    COL(appTypeId, i)
ZYENT_TABLE_DESC(APP_InstanceName, kEntityTablesHeader)
ZYDB_FAMILY(APP_InstanceName)

// Time-versioned properties of instances and of backup sets.
#define APP_InstanceProp_COLUMNS(COL) ZYDB_PROPERTY_COLUMNS(COL, s)
ZYENT_TABLE_DESC(APP_InstanceProp, kEntityTablesHeader)
ZYDB_FAMILY(APP_InstanceProp)

#define APP_BackupSetProp_COLUMNS(COL) ZYDB_PROPERTY_COLUMNS(COL, s)
ZYENT_TABLE_DESC(APP_BackupSetProp, kEntityTablesHeader)
ZYDB_FAMILY(APP_BackupSetProp)

// One path pair of a WBA replication set: data under `sourcePath` of the source client's replication
// set is kept under `destPath` of the destination. In force from `created` until `modified` (0: current).
#define WBAReplicationPair_COLUMNS(COL) \
    COL(id, i)                          \
    COL(sourceClientId, i)              \
    COL(sourceRepSetId, b)              \
    COL(sourcePath, s)                  \
    COL(destClientId, i)                \
    COL(destBackupSetId, b)             \
    COL(destAppType, b)                 \
    COL(destPath, s)                    \
    COL(created, x)                     \
    COL(modified, x)
ZYENT_TABLE_DESC(WBAReplicationPair, kEntityTablesHeader)
ZYDB_FAMILY(WBAReplicationPair)

// A path an end user erased from the backups of a client and application type, and when.
#define SDEraseFilter_COLUMNS(COL) \
    COL(id, i)                     \
    COL(clientId, i)               \
    COL(appTypeId, i)              \
    COL(path, s)                   \
    COL(erasedTime, x)             \
    COL(userId, i)
ZYENT_TABLE_DESC(SDEraseFilter, kEntityTablesHeader)
ZYDB_FAMILY(SDEraseFilter)

// Operating systems known to the install manager; `APP_Client.simOperatingSystemId` refers to them.
// platform: 1 Windows, 2 Unix or Linux, 3 other.
#define simOperatingSystem_COLUMNS(COL) \
    COL(id, i)                          \
    COL(name, sN<257>)                  \
    COL(platform, i)
ZYENT_TABLE_DESC(simOperatingSystem, kEntityTablesHeader)
ZYDB_FAMILY(simOperatingSystem)

// The physical machines (cluster nodes) behind a virtual client.
#define APP_VMToPMMap_COLUMNS(COL) \
    COL(id, i)                     \
    COL(VMClientId, i)             \
    COL(PMClientId, i)
ZYENT_TABLE_DESC(APP_VMToPMMap, kEntityTablesHeader)
ZYDB_FAMILY(APP_VMToPMMap)

// The member servers of a SharePoint farm behind its pseudo-client, the primary one first.
#define APP_SharePointMemberServer_COLUMNS(COL) \
    COL(id, i)                                  \
    COL(pseudoClientId, i)                      \
    COL(memberClientId, i)                      \
    COL(isPrimary, i)
ZYENT_TABLE_DESC(APP_SharePointMemberServer, kEntityTablesHeader)
ZYDB_FAMILY(APP_SharePointMemberServer)

// One line of a file-system subclient's content list: a path the subclient backs up, or, with
// `exclusion` 1, a path it leaves out. In force from `created` until `modified` (0: current).
#define APP_SubclientContent_COLUMNS(COL) \
    COL(id, i)                            \
    COL(subclientId, i)                   \
    COL(lineNumber, i)                    \
    COL(path, s)                          \
    COL(displayName, s)                   \
    COL(exclusion, i)                     \
    COL(created, x)                       \
    COL(modified, x)
ZYENT_TABLE_DESC(APP_SubclientContent, kEntityTablesHeader)
ZYDB_FAMILY(APP_SubclientContent)
