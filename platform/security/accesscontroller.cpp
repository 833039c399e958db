#include "platform/security/accesscontroller.h"

#include "platform/db/dbresult.h"
#include "platform/log/evdebug.h"
#include "platform/security/rights.h"
#include "platform/security/securitytables.h"

namespace {

EvDebug makeLog() {
    EvDebug log(nullptr);
    log.setPrefixMessage("SECURITY");
    return log;
}

}  // namespace

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
    EvDebug log = makeLog();
    log.debugLvl(0, "ERROR: caller client [%ld] for client [%ld]: %s", callerClientId, clientId,
                 getErrorString().c_str());
    return -1;
}

int ZyUserAccess::checkAppType(long appType) {
    SECAppTypeUserAccess t(nullptr);
    t.setIsolationType(4);
    t.setWhere("appTypeId = %ld", appType);
    int rc = t.getOneRow(&t, false, 0, 0);
    if (rc == zydb::DB_OK) return t.getDataPtr()->category;
    if (rc == zydb::DB_NO_DATA) return 1000;
    EvDebug log = makeLog();
    log.debugLvl(0, "ERROR: end-user category of app type [%ld] cannot be read: %s", appType, t.getErrorStr(rc));
    return -1;
}

bool EvJobMgr::getUserAccessInfoString(std::string& text, const std::string& userName, long long jobId) {
    zysec::TUserInfo user;
    int rc = zysec::lookUpUserByLogin(nullptr, userName, user);
    std::string value;
    if (rc == zydb::DB_OK) rc = zysec::getUserProperty(nullptr, user.id, "User Access Info", value);
    if (rc != zydb::DB_OK) {
        EvDebug log = makeLog();
        log.debugLvl(rc == zydb::DB_NO_DATA ? 3 : 0, "user access information of [%s] for job [%lld] %s",
                     userName.c_str(), jobId, rc == zydb::DB_NO_DATA ? "not found" : "cannot be read");
        return false;
    }
    text = value;
    return true;
}
