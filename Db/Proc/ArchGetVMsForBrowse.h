// ArchGetVMsForBrowse: the virtual machines a hypervisor backup set protected in a window, one row per
// VM with its identities, size and covering job. Made on the calling thread's stack for one call.
#pragma once

#include "platform/db/rowfamily.h"

#define ArchGetVMsForBrowse_COLUMNS(COL) \
    COL(r_errorCode, i)                  \
    COL(r_VMClientId, i)                 \
    COL(r_VMGUID, sN<2049>)              \
    COL(r_VMClientName, sN<511>)         \
    COL(r_VMSize, b)                     \
    COL(r_VMInstanceId, i)               \
    COL(r_VMInstanceGUID, sN<2049>)      \
    COL(r_VMBackupSetId, i)              \
    COL(r_VMBackupSetGUID, sN<2049>)     \
    COL(r_VMAppId, i)                    \
    COL(r_VMAppGUID, sN<2049>)           \
    COL(r_VMJobId, i)                    \
    COL(r_VMJobKelmarchId, i)            \
    COL(r_VMJobEndTime, b)               \
    COL(r_VMClientOSId, i)

struct ArchGetVMsForBrowse_desc : zydb::ProcDesc {
    static constexpr const char* className = "ArchGetVMsForBrowse";
    static constexpr const char* dbName = "ArchGetVMsForBrowse";
    static constexpr const char* revision = "00010001000400090000";
    static constexpr const char* header = "Db/Proc/ArchGetVMsForBrowse";
    static constexpr int errorLine = 571;
    // backup set, subclient (-1: none), from time, to time, copy precedence, user
    using Args = zydb::ArgList<int, int, long long, long long, int, int>;
    static constexpr const char* argFormat = "%d,%d,%lld,%lld,%d,%d";
};

ZYDB_FAMILY(ArchGetVMsForBrowse)
