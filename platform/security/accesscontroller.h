// AccessController: whether a calling client (a certificate-authenticated API caller) may act for a
// client, from the Hubmaster's client-access table. A local of one thread, made for one call.
#pragma once

#include "platform/entities/adaptersbase.h"

class AccessController : public AdaptersBase {
public:
    AccessController();
    ~AccessController() override;

    // 1 when `callerClientId` may act for `clientId` (a client always may act for itself), 0 when it
    // may not, -1 when the question could not be answered (the reason in getErrorString()).
    int canAccess(long callerClientId, long clientId);
};

// ZyUserAccess: the end-user category of an application type: 1000 when an end user needs no access
// string, 2 when the user's object id is needed; other categories need the user-access string.
class ZyUserAccess {
public:
    // The category from the Hubmaster's table (1000 for types it does not list); -1 when it cannot be
    // read, which callers treat as a category that needs what cannot then be had.
    static int checkAppType(long appType);
};

// EvJobMgr: the job manager's user services.
class EvJobMgr {
public:
    // The end user's access string: the current "User Access Info" property of the user whose login
    // is `userName`. True with `text` set; false (text untouched) when there is none or it cannot be read.
    static bool getUserAccessInfoString(std::string& text, const std::string& userName, long long jobId);
};
