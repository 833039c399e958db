// The application manager's procedures that end-user erase runs by request tag (App_ExecuteSP): the
// usage figures of mailboxes, subclients and backup sets that quotas read, each lowered (never below 0)
// by the size an erase frees. Registered through hubtagprocs.def; each runs on the caller's thread, in
// the caller's transaction when one is passed as context.
#pragma once

#include <string>

namespace hubdb {

// App::MailboxUsages: adds each entry's size change to its mailbox's usage in the subclient
// (APP_MailboxUsage); an unknown subclient is answered with an error code.
int mailboxUsagesTagProc(const std::string& requestXml, std::string& responseXml, void* context);
// App::FSQuotaUsage: adds the size change to the subclient's usage (APP_SubclientUsage).
int fsQuotaUsageTagProc(const std::string& requestXml, std::string& responseXml, void* context);
// App::FSBackupSetUsage: adds the size change to the backup set's usage (APP_BackupSetUsage).
int fsBackupSetUsageTagProc(const std::string& requestXml, std::string& responseXml, void* context);

}  // namespace hubdb
