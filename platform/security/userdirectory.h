// Who a routed browse runs as, beyond its token: the owner of a job, a user's account in the resource
// domain, and whether a shared folder is shared with a user. Answered from the Hubmaster database on
// the calling thread's connection; any thread.
#pragma once

#include <string>

// The user whose login ran job `jobId` (its backup statistics name the login): 0 with `userId` set;
// 100 when the job or its user is unknown; another value when the query failed.
int GetJobUserId(long long jobId, long& userId);

// The resource-domain account of the user named by `domain` and `userName` (the login "domain\user",
// or "user" without a domain): true when the look-up worked, with `enabled` from the user property
// "Resource Domain Enabled" ("1") and the account's GUID and name from "Resource Domain User GUID" and
// "Resource Domain User Name". An unknown user is a failed look-up. `extra1` and `extra2` are cleared.
bool GetResourceDomainUserDetails(const std::string& domain, const std::string& userName, bool& enabled,
                                  std::string& guid, std::string& name, std::string& extra1,
                                  std::string& extra2);

// Whether shared folder `folderId` is shared with `userId` (its owner, or a member of the share): 0 with
// `shared` set; another value when the query failed.
int IsFolderSharedWithUser(int folderId, int userId, bool& shared);
