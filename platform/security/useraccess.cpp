#include "platform/security/useraccess.h"

#include "platform/db/dbresult.h"
#include "platform/entities/apptypes.h"
#include "platform/hubdb/securitytables.h"
#include "platform/log/evdebug.h"
#include "platform/security/rights.h"

int ZyUserAccess::checkAppType(long appType) {
    SECAppTypeUserAccess t(nullptr);
    t.setIsolationType(4);
    t.setWhere("appTypeId = %ld", appType);
    int rc = t.getOneRow(&t, false, 0, 0);
    if (rc == zydb::DB_OK) return t.getDataPtr()->category;
    if (rc == zydb::DB_NO_DATA) return hubdb::kNoAccessStringCategory;
    zysec::securityLog().debugLvl(0, "ERROR: end-user category of app type [%ld] cannot be read: %s", appType,
                                  t.getErrorStr(rc));
    return -1;
}

bool ZyUserAccess::seenWholeByEndUser(long appType) {
    return !apptype::in(apptype::family::kNarrowedForEndUser, apptype::of(appType)) &&
           checkAppType(appType) == hubdb::kNoAccessStringCategory;
}

bool EvJobMgr::getUserAccessInfoString(std::string& text, const std::string& userName, long long jobId) {
    zysec::TUserInfo user;
    int rc = zysec::lookUpUserByLogin(nullptr, userName, user);
    std::string value;
    if (rc == zydb::DB_OK) rc = zysec::getUserProperty(nullptr, user.id, "User Access Info", value);
    if (rc != zydb::DB_OK) {
        zysec::securityLog().debugLvl(rc == zydb::DB_NO_DATA ? 3 : 0,
                                      "user access information of [%s] for job [%lld] %s", userName.c_str(),
                                      jobId, rc == zydb::DB_NO_DATA ? "not found" : "cannot be read");
        return false;
    }
    text = value;
    return true;
}
