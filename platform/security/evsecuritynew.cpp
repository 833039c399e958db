#include "platform/security/evsecuritynew.h"

#include <cstring>

#include "platform/db/dbresult.h"
#include "platform/log/evdebug.h"
#include "platform/security/rights.h"

EvSecurityNew::EvSecurityNew(DBtran* transaction, int locale)
    : m_text(), m_event(), m_tran(transaction, "EvSecurityNew") {
    m_event.setPrefixMessage("SECURITY");
    m_locale = locale;
    std::string scratch;
    m_tranStatus = m_tran.ensureTran(scratch);
    if (m_tranStatus != 0)
        m_event.debugLvl(0, "ERROR: permission checks cannot open a transaction: %s", scratch.c_str());
}

EvSecurityNew::~EvSecurityNew() {
    m_tran.commitIfOwnTran();
}

int EvSecurityNew::hasPermissionForUserOnEntity(bool& allowed, int permission, int userId, int type1,
                                                long id1, int type2, long id2, int type3, long id3, int type4,
                                                long id4, int type5, long id5) {
    allowed = false;
    if (m_tranStatus != 0 || m_tran.getTran() == nullptr) {
        m_text = "Permission check could not be made: no transaction";
        m_event.debugLvl(0, "ERROR: %s", m_text.c_str());
        return zydb::DB_ERR_STATE;
    }
    zysec::TEntityPath path;
    const int types[] = {type1, type2, type3, type4, type5};
    const long ids[] = {id1, id2, id3, id4, id5};
    for (int k = 0; k < 5 && types[k] != 0; ++k) {
        if (!zysec::setEntityLevel(path, types[k], ids[k])) {
            m_text = "Permission check refused: unknown entity type " + std::to_string(types[k]);
            m_event.debugLvl(0, "ERROR: %s", m_text.c_str());
            return zydb::DB_ERR_ARGUMENT;
        }
    }
    if (permission <= 0) {
        m_text = "Permission check refused: no permission named";
        m_event.debugLvl(0, "ERROR: %s", m_text.c_str());
        return zydb::DB_ERR_ARGUMENT;
    }
    zysec::TCheckOutcome outcome =
        zysec::checkUserRight(m_tran.getTran(), userId, {permission}, path, "act on");
    m_text = outcome.explanation;
    m_event.debugLvl(outcome.result == zysec::kCheckFailed ? 0 : 3, "%s", m_text.c_str());
    if (outcome.result == zysec::kCheckFailed) return zydb::DB_ERR_GENERAL;
    allowed = outcome.result == zysec::kCheckAllowed;
    return 0;
}

EvExternal::EvExternal(int) : EvReturnData(0, 0, nullptr, false, nullptr) {}

EvExternal::~EvExternal() = default;

int EvExternal::getUserLogin(long userId, std::string& login) {
    if (userId <= 0 || userId > 0x7fffffff) return zydb::DB_NO_DATA;
    zysec::TUserInfo user;
    int rc = zysec::lookUpUser(nullptr, static_cast<int>(userId), user);
    if (rc == zydb::DB_OK) login = user.login;
    return rc;
}

int EvExternal::getUserLogin(long userId, char* login, size_t loginSize, std::string* fullName,
                             std::string* email) {
    if (login == nullptr || loginSize == 0) return zydb::DB_ERR_ARGUMENT;
    login[0] = '\0';
    if (userId <= 0 || userId > 0x7fffffff) return zydb::DB_NO_DATA;
    zysec::TUserInfo user;
    int rc = zysec::lookUpUser(nullptr, static_cast<int>(userId), user);
    if (rc != zydb::DB_OK) return rc;
    if (user.login.size() >= loginSize) {
        zysec::securityLog().debugLvl(
            0, "ERROR: login name of user [%ld] is %zu bytes, longer than the %zu-byte buffer given", userId,
            user.login.size(), loginSize);
        return -2;
    }
    std::memcpy(login, user.login.c_str(), user.login.size() + 1);
    if (fullName) *fullName = user.name;
    if (email) *email = user.email;
    return 0;
}
