#include "platform/security/evsecuritymgr.h"

#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <vector>

#include "platform/db/dbbackend.h"
#include "platform/db/dbresult.h"
#include "platform/db/requestscope.h"
#include "platform/errors/evevent.h"
#include "platform/errors/evmessageids.h"
#include "platform/hubdb/securitytables.h"
#include "platform/log/evdebug.h"
#include "platform/net/zynet_callertoken.h"
#include "platform/security/zetatoken.h"
#include "platform/threads/hubclock.h"

namespace {

constexpr int kAccessDeniedCode = 3;  // the browse error code of a refusal

// Answers to rights questions in the thread's request. A question asked again in the request, or in a
// later one while the database is exactly as it was (see zydb::openRequest), has the same answer: the
// answer depends on nothing but the question and the database. A question that could not be answered
// is not kept.
struct TRightsAnswers {
    std::map<std::string, zysec::TCheckOutcome> byQuestion;
    size_t size() const { return byQuestion.size(); }  // what the request's memos count of it
};

// The users that tokens named in the thread's request, as read (by the same rule: a user is the same
// while the database is; one that could not be read is not kept).
struct TTokenUser {
    int userId = 0;
    int rc = zydb::DB_OK;
    zysec::TUserInfo user;
};
using TTokenUsers = std::vector<TTokenUser>;

std::string questionKey(int userId, std::initializer_list<int> permissions, const zysec::TEntityPath& path,
                        const char* question) {
    std::string key = std::to_string(userId) + '|' + question + '|';
    for (int permission : permissions) key += std::to_string(permission) + ',';
#define SEC_KEY_LEVEL(X, type, column) key += '|' + std::to_string(path.column);
    SEC_ENTITY_LEVELS(SEC_KEY_LEVEL, _)
#undef SEC_KEY_LEVEL
    return key;
}

void copyText(char (&dst)[256], const std::string& src) {
    size_t n = std::min(src.size(), sizeof dst - 1);
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

}  // namespace

EvSecurityMgr::EvSecurityMgr(long long id, const CHubClock& clock)
    : EvReturnData(0, 0, nullptr, false, nullptr), m_clock(clock), m_tran(false) {
    m_messageId = 0;
    m_status = kNotAsked;
    m_ownError = 0;
    m_responseString[0] = '\0';
    m_errorString[0] = '\0';
    m_localeId = EvReturnData::returnLocaleId(id);
    m_rightsLevel = 2;
}

bool EvSecurityMgr::openTransaction() {
    if (m_tran.isOpen()) return true;
    if (m_tranFailed) return false;
    if (m_tran.startTran() == zydb::DB_OK) return true;
    m_tranFailed = true;
    zysec::securityLog().debugLvl(0, "ERROR: security manager could not start its transaction: %s",
                                  m_tran.getErrorStr(zydb::DB_ERR_GENERAL));
    return false;
}

DBtran* EvSecurityMgr::getTransaction() {
    openTransaction();
    return &m_tran;
}

EvSecurityMgr::~EvSecurityMgr() {
    m_messageId = 0;
    if (m_tran.getState() & DBtable::kStateTranOpen) m_tran.rollbackTran();
}

void EvSecurityMgr::setResponse(const std::string& text) {
    copyText(m_responseString, text);
}

bool EvSecurityMgr::decide(int userId, std::initializer_list<int> permissions, const zysec::TEntityPath& path,
                           const char* question, long long rightsLevel) {
    return settle(questionKey(userId, permissions, path, question), rightsLevel, [&](DBtran* tran) {
        return zysec::checkUserRight(tran, userId, permissions, path, question);
    });
}

template <class Memo>
Memo* EvSecurityMgr::memoOf(zydb::CRequestReads* reads) {
    // What the manager's transaction wrote may never be committed: its reads are its own.
    if (m_tran.isOpen()) {
        const std::shared_ptr<zydb::IDbConnection> own = m_tran.tranConnection();
        if (!own || own->hasWritten()) return nullptr;
    }
    return reads ? reads->memo<Memo>() : nullptr;
}

bool EvSecurityMgr::settle(const std::string& question, long long rightsLevel,
                           const std::function<zysec::TCheckOutcome(DBtran*)>& ask) {
    // Start from a refusal: nothing of an earlier question survives into this one.
    m_status = kFailed;
    m_ownError = 0;
    m_messageId = 0;
    m_errorString[0] = '\0';
    m_rightsLevel = rightsLevel;

    zysec::TCheckOutcome outcome;
    TRightsAnswers* answers = memoOf<TRightsAnswers>(m_reads);
    const std::string& key = question;
    const zysec::TCheckOutcome* known = nullptr;
    if (answers)
        if (auto it = answers->byQuestion.find(key); it != answers->byQuestion.end()) known = &it->second;
    if (known) {
        outcome = *known;
    } else if (!openTransaction()) {
        outcome.result = zysec::kCheckFailed;
        outcome.explanation =
            "Security check could not be made: the security manager has no open transaction";
    } else {
        outcome = ask(&m_tran);
        if (answers && outcome.result != zysec::kCheckFailed) answers->byQuestion.emplace(key, outcome);
    }
    setResponse(outcome.explanation);

    switch (outcome.result) {
        case zysec::kCheckAllowed:
            m_status = kAllowed;
            zysec::securityLog().debugLvl(3, "%s", m_responseString);
            return true;
        case zysec::kCheckDenied:
            m_status = kDenied;
            break;
        case zysec::kCheckNoUser:
        case zysec::kCheckUserDisabled:
        case zysec::kCheckFailed: {
            m_status = outcome.result == zysec::kCheckFailed ? kFailed : kDenied;
            EvEvent event;
            char text[256];
            event.evPrintf(evmsg::kBrowseAccessDenied, text, sizeof text,
                           static_cast<unsigned long>(m_localeId));
            copyText(m_errorString, text);
            m_messageId = static_cast<long long>(evmsg::kBrowseAccessDenied);
            m_ownError = 1;
            break;
        }
    }
    zysec::securityLog().debugLvl(outcome.result == zysec::kCheckFailed ? 0 : 3, "%s", m_responseString);
    return false;
}

bool EvSecurityMgr::getBrowseErrorStringAndGuiMessageId(int& code, std::string& text,
                                                        unsigned long& messageId) {
    if (m_ownError == 0 || m_status == kAllowed) return false;
    code = kAccessDeniedCode;
    text = m_errorString;
    messageId = static_cast<unsigned long>(m_messageId);
    return true;
}

int EvSecurityMgr::checkToken(const std::string& token, char kind, bool withDetails, int& userId,
                              std::string& userName, std::string& domain, std::string& fullName) {
    const int accepted = judgeToken(token, kind, withDetails, userId, userName, domain, fullName);
    // The one place a caller's token is accepted or refused, whichever service asked: the server that
    // serves the caller's message hears it here (its admission of callers without a certificate rests on
    // it), so no service has to remember to tell it. A token of the other kind is no verdict yet (the
    // caller tries the other call), nor is a check this side could not make (no key, no transaction).
    if (accepted == 1)
        zynet::tellCallerToken({}, true, userId);
    else if (m_tokenRefused)
        zynet::tellCallerToken({}, false, 0);
    return accepted;
}

int EvSecurityMgr::judgeToken(const std::string& token, char kind, bool withDetails, int& userId,
                              std::string& userName, std::string& domain, std::string& fullName) {
    m_tokenRefused = false;
    std::string key;
    if (!CZetaToken::signingKey(key)) {
        zysec::securityLog().debugLvl(0, "ERROR: no token key is configured; tokens are refused");
        return 0;
    }
    TZetaTokenClaims claims;
    const long long now = m_clock.epochSeconds();
    CZetaToken::Result r = CZetaToken::verify(key, token, now, claims);
    if (r != CZetaToken::kValid) {
        zysec::securityLog().debugLvl(1, "token refused: %s", CZetaToken::resultText(r));
        m_tokenRefused = !token.empty();
        return 0;
    }
    if (claims.kind != kind) {
        zysec::securityLog().debugLvl(3, "token refused: a %s token where a %s token is needed",
                                      claims.kind == CZetaToken::kSessionToken ? "session" : "user",
                                      kind == CZetaToken::kSessionToken ? "session" : "user");
        return 0;
    }
    // A user read before in the request the manager was given is not read again; a session is always
    // looked up, its expiry being against the clock.
    TTokenUsers* users = memoOf<TTokenUsers>(m_reads);
    const TTokenUser* known = nullptr;
    if (users)
        for (const TTokenUser& read : *users)
            if (read.userId == claims.userId) known = &read;
    if ((!known || kind == CZetaToken::kSessionToken) && !openTransaction()) {
        zysec::securityLog().debugLvl(0,
                                      "ERROR: token refused: the security manager has no open transaction");
        return 0;
    }
    if (kind == CZetaToken::kSessionToken) {
        SECTokenSession s(&m_tran);
        s.setIsolationType(4);
        s.setTop(1);
        s.setWhere("sessionId = '%s' AND userId = %d AND expires > %lld", claims.sessionId, claims.userId,
                   now);
        int rc = s.getOneRow(&s, false, 0, 0);
        if (rc != zydb::DB_OK) {
            zysec::securityLog().debugLvl(rc == zydb::DB_NO_DATA ? 1 : 0, "token refused: session [%s] %s",
                                          claims.sessionId.c_str(),
                                          rc == zydb::DB_NO_DATA ? "is not live" : s.getErrorStr(rc));
            m_tokenRefused = rc == zydb::DB_NO_DATA;
            return 0;
        }
    }
    TTokenUser read;
    if (known) {
        read = *known;
    } else {
        read.userId = claims.userId;
        read.rc = zysec::lookUpUser(&m_tran, claims.userId, read.user);
        if (users && (read.rc == zydb::DB_OK || read.rc == zydb::DB_NO_DATA)) users->push_back(read);
    }
    const int rc = read.rc;
    const zysec::TUserInfo& user = read.user;
    if (rc != zydb::DB_OK || !user.enabled) {
        zysec::securityLog().debugLvl(1, "token refused: user [%d] %s", claims.userId,
                                      rc == zydb::DB_NO_DATA ? "does not exist"
                                      : rc != zydb::DB_OK    ? "cannot be read"
                                                             : "is disabled");
        // The token is the Hubmaster's own: what was refused is its user, and the caller is told so.
        if (rc == zydb::DB_NO_DATA)
            m_tokenUserRefused = std::string(kTokenUserReason) + "(id " + std::to_string(claims.userId) +
                                 ") is unknown: the Hubmaster has no such user)";
        else if (rc == zydb::DB_OK)
            m_tokenUserRefused = std::string(kTokenUserReason) + "[" + user.login + "] is disabled)";
        m_tokenRefused = rc == zydb::DB_NO_DATA || rc == zydb::DB_OK;
        return 0;
    }
    m_tokenUserRefused.clear();
    userId = claims.userId;
    if (withDetails) {
        size_t slash = user.login.find('\\');
        userName = user.login;
        domain = slash == std::string::npos ? std::string() : user.login.substr(0, slash);
        fullName = user.name;
    }
    return 1;
}

int EvSecurityMgr::GetUserInfoFromZetaTokenWithoutAuthentication(const std::string& token, bool withDetails,
                                                                 int& userId, std::string& userName,
                                                                 std::string& domain, std::string& fullName) {
    return checkToken(token, CZetaToken::kUserToken, withDetails, userId, userName, domain, fullName);
}

int EvSecurityMgr::GetSessionInfoFromZetaToken(const std::string& token, bool withDetails, int& userId,
                                               std::string& userName, std::string& domain,
                                               std::string& fullName) {
    return checkToken(token, CZetaToken::kSessionToken, withDetails, userId, userName, domain, fullName);
}

std::string EvSecurityMgr::tokenRefusal(const std::string& refusal) const {
    return refusal + m_tokenUserRefused;
}

int EvSecurityMgr::IssueZetaToken(int userId, bool sessionToken, long long lifetimeSeconds,
                                  std::string& token, const CHubClock& clock) {
    std::string key;
    if (!CZetaToken::signingKey(key)) {
        zysec::securityLog().debugLvl(0, "ERROR: no token key is configured; no token issued");
        return zydb::DB_ERR_STATE;
    }
    DBtran tran(false);
    int rc = tran.startTran();
    zysec::TUserInfo user;
    if (rc == zydb::DB_OK) rc = zysec::lookUpUser(&tran, userId, user);
    if (rc != zydb::DB_OK || !user.enabled) {
        zysec::securityLog().debugLvl(0, "ERROR: no token issued for user [%d]: %s", userId,
                                      rc == zydb::DB_OK ? "the user is disabled" : zydb::dbResultText(rc));
        return rc == zydb::DB_OK ? zydb::DB_ERR_STATE : rc;
    }
    TZetaTokenClaims claims;
    claims.kind = sessionToken ? CZetaToken::kSessionToken : CZetaToken::kUserToken;
    claims.userId = userId;
    claims.issuedAt = clock.epochSeconds();
    claims.expiresAt = claims.issuedAt + lifetimeSeconds;
    std::string made;
    CZetaToken::Result r = CZetaToken::issue(key, claims, made);
    if (r != CZetaToken::kValid) {
        zysec::securityLog().debugLvl(0, "ERROR: no token issued for user [%d]: %s", userId,
                                      CZetaToken::resultText(r));
        return zydb::DB_ERR_ARGUMENT;
    }
    if (sessionToken) {
        auto conn = tran.tranConnection();
        rc = zydb::execBound(
            *conn, "INSERT INTO SECTokenSession (sessionId, userId, created, expires) VALUES (?, ?, ?, ?)",
            {zydb::DbValue::ofText(claims.sessionId), zydb::DbValue::ofInt(userId),
             zydb::DbValue::ofInt(claims.issuedAt), zydb::DbValue::ofInt(claims.expiresAt)});
        if (rc == zydb::DB_OK) rc = tran.commitTran();
        if (rc != zydb::DB_OK) {
            zysec::securityLog().debugLvl(0, "ERROR: session of user [%d] cannot be recorded: %s", userId,
                                          zydb::dbResultText(rc));
            return rc;
        }
    }
    token = made;
    return 0;
}

bool EvSecurityMgr::GetFromUsersPropDB(int userId, const char* name, std::string& value, DBtran* tran) {
    if (name == nullptr || userId <= 0) return false;
    DBtran* t = tran ? tran : &m_tran;
    if (t == &m_tran && !openTransaction()) return false;
    std::string v;
    int rc = zysec::getUserProperty(t, userId, name, v);
    if (rc != zydb::DB_OK) {
        if (rc != zydb::DB_NO_DATA)
            zysec::securityLog().debugLvl(0, "ERROR: user property [%s] of user [%d] cannot be read [%d]",
                                          name, userId, rc);
        return false;
    }
    value = v;
    return true;
}

namespace {

zysec::TEntityPath pathOf(long kelmarchId, long clientId, long appType, long instanceId, long backupSetId,
                          long subclientId) {
    zysec::TEntityPath p;
    p.kelmarchId = kelmarchId;
    p.clientId = clientId;
    p.appTypeId = appType;
    p.instanceId = instanceId;
    p.backupSetId = backupSetId;
    p.subclientId = subclientId;
    return p;
}

}  // namespace

bool EvSecurityCheck::canBrowse(int userId, long kelmarchId, long clientId, long appType, long instanceId,
                                long backupSetId, long subclientId, bool endUser,
                                const std::string& accessText) {
    zysec::securityLog().debugLvl(5, "canBrowse user [%d] end user [%d] access text %s", userId,
                                  endUser ? 1 : 0, accessText.empty() ? "absent" : "present");
    const auto path = pathOf(kelmarchId, clientId, appType, instanceId, backupSetId, subclientId);
    if (endUser)
        return decide(userId, {zysec::kPermEndUserBrowse, zysec::kPermBrowse}, path, "browse as end user", 1);
    return decide(userId, {zysec::kPermBrowse}, path, "browse", 2);
}

bool EvSecurityCheck::canPerformLiveBrowse(int userId, long kelmarchId, long clientId, long appType,
                                           long instanceId, long backupSetId, long subclientId) {
    return decide(userId, {zysec::kPermLiveBrowse},
                  pathOf(kelmarchId, clientId, appType, instanceId, backupSetId, subclientId), "live browse",
                  2);
}

bool EvSecurityCheck::canManageHubmaster(int userId, long kelmarchId) {
    return decide(userId, {zysec::kPermManageHubmaster}, pathOf(kelmarchId, 0, 0, 0, 0, 0), "manage", 2);
}

bool EvVisibilityCheck::canSeeClient(int userId, long clientId) {
    const long client = clientId > 0 ? clientId : 0;
    return settle(std::to_string(userId) + "|see within|" + std::to_string(client), 2,
                  [&](DBtran* tran) { return zysec::checkUserSeesClient(tran, userId, client); });
}

bool EvVisibilityCheck::canSeeSubClient(int userId, long clientId, long appType, long instanceId,
                                        long backupSetId, long subclientId) {
    m_lastSubclientId = subclientId;
    return decide(userId, {zysec::kPermAny},
                  pathOf(0, clientId, appType, instanceId, backupSetId, subclientId), "see", 2);
}
