// The application manager's retention procedure that browse runs by request tag (App_ExecuteSP):
// the retention rules of one subclient turned into cut-off times for a given moment. Registered
// through hubtagprocs.def; runs on the caller's thread, in the caller's transaction when one is passed.
#pragma once

#include <string>

namespace hubdb {

// The subclient properties the rules are kept in (current rows of APP_SubClientProp); day counts
// become cut-offs `input time - days * 86,400`, a count of 0 or less leaves its cut-off 0 (no rule).
struct TRetentionProperty {
    static constexpr const char* kItemDeletionDays = "Retention Deleted Item Days";
    static constexpr const char* kArchivalDays = "Retention Archival Days";
    static constexpr const char* kSystemDeletionDays = "Retention System Deletion Days";
    static constexpr const char* kVersionsModifiedDays = "Retention Versions Modified Days";
    static constexpr const char* kNumVersions = "Retention Number Of Versions";
    static constexpr const char* kKeepDeletedItems = "Retention Keep Deleted Items";
    static constexpr const char* kArchiveMode = "Retention Archive Mode";
    static constexpr const char* kBackupMode = "Retention Backup Mode";
    static constexpr const char* kExtraRule1 = "Retention Extended Rule 1";
    static constexpr const char* kExtraRule2 = "Retention Extended Rule 2";
    static constexpr const char* kExtraRule3 = "Retention Extended Rule 3";
};

// App::GetSubClientRetentionPropsReq: the retention rules of the subclient as of the request's cut-off
// input time (0: now). The system-deletion cut-off is given to indexing-V1 requests only. An unknown
// subclient is refused.
int getSubClientRetentionPropsTagProc(const std::string& requestXml, std::string& responseXml, void* context);

}  // namespace hubdb
