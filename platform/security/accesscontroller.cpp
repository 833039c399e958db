#include "platform/security/accesscontroller.h"

#include "platform/db/dbresult.h"
#include "platform/hubdb/securitytables.h"
#include "platform/log/evdebug.h"
#include "platform/security/rights.h"

AccessController::AccessController() = default;
AccessController::~AccessController() = default;

int AccessController::canAccess(long callerClientId, long clientId) {
    clearErrorString();
    if (callerClientId <= 0 || clientId <= 0) return 0;
    if (callerClientId == clientId) return 1;
    SECClientAccess t(nullptr);
    t.setIsolationType(4);
    t.setTop(1);
    t.setWhere("callerClientId = %ld AND (clientId = %ld OR clientId = 0)", callerClientId, clientId);
    int rc = t.getOneRow(&t, false, 0, 0);
    if (rc == zydb::DB_OK) return 1;
    if (rc == zydb::DB_NO_DATA) return 0;
    setErrorString(std::string("client access cannot be read: ") + t.getErrorStr(rc));
    zysec::securityLog().debugLvl(0, "ERROR: caller client [%ld] for client [%ld]: %s", callerClientId,
                                  clientId, getErrorString().c_str());
    return -1;
}
