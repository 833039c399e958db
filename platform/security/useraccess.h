// The end-user access services: the end-user category of an application type and an end user's access
// string, read from the Hubmaster database on the calling thread's connection. Any thread.
#pragma once

#include <string>

// ZyUserAccess: the end-user category of an application type: 1000 when an end user needs no access
// string, 2 when the user's object id is needed; other categories need the user-access string.
class ZyUserAccess {
public:
    // The category from the Hubmaster's table (1000 for types it does not list); -1 when it cannot be
    // read, which callers treat as a category that needs what cannot then be had.
    static int checkAppType(long appType);
    // True when an end user browsing `appType` sees all of an entity's data: its data is not narrowed
    // to his own (apptype::family::kNarrowedForEndUser) and he needs no access string (category 1000).
    // What a find across clients, which narrows nothing, may search for an end user.
    // (The procedures of the Hubmaster database ask the same as hubdb::seenWholeByEndUserClause.)
    static bool seenWholeByEndUser(long appType);
};

// EvJobMgr: the job manager's user services.
class EvJobMgr {
public:
    // The end user's access string: the current "User Access Info" property of the user whose login
    // is `userName`. True with `text` set; false (text untouched) when there is none or it cannot be read.
    static bool getUserAccessInfoString(std::string& text, const std::string& userName, long long jobId);
};
