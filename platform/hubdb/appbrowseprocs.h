// The application manager's procedures that application-specific browses run by request tag
// (App_ExecuteSP): the Windows user profiles of machines (live machine browse) and the information of
// one mailbox (a browse query answered from the Hubmaster database). Registered through
// hubtagprocs.def; each runs on the caller's thread, in the caller's transaction when one is passed
// as context.
#pragma once

#include <string>

namespace hubdb {

// The name of the subclient property that holds a mailbox subclient's quota limit in bytes.
constexpr const char* kMailboxQuotaLimitProperty = "Mailbox Quota Limit";

// App::GetClientsUserProfilesReq: one App::ClientUserProfilesInfo per requested client, in request
// order, listing the client's user profiles (APP_ClientUserProfile) in their order; a client without
// profiles gets an entry without a profile list. A request without clients, or naming client 0, is
// refused.
int getClientsUserProfilesTagProc(const std::string& requestXml, std::string& responseXml, void* context);

// App::MailboxInfoQuery: the mailbox of the user GUID (braces and letter case do not matter), limited
// to the subclient of the app id when one is given, newest association first
// (APP_EmailConfigPolicyAssoc, deleted ones left out): App::MailboxUsages with the subclient as app id,
// its quota limit (when the subclient has one) and one usage entry with the mailbox's user GUID and
// size. No such mailbox is answered with App::GenericEntityResponse carrying an error code and text. A
// request without a user GUID is refused.
int mailboxInfoQueryTagProc(const std::string& requestXml, std::string& responseXml, void* context);

}  // namespace hubdb
