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
