// The security manager of the platform: rights questions (browse, live browse, manage, visibility),
// token checks and user properties, answered from the Hubmaster database in a transaction of the
// manager's own, begun when it first reads. Each object is a local of one thread (the transaction
// belongs to that thread). Given the request's scope (setRequestReads), a rights question asked again in
// the request is answered as the first time, without reading the database again, until the database
// changes; so is a token's user.
//
// Every question starts from a refusal: a question whose user, transaction or query fails is answered
// "no", never with an earlier answer.
#pragma once

#include <functional>
#include <string>

#include "platform/db/dbtable.h"
#include "platform/db/requestscope.h"
#include "platform/security/rights.h"
#include "platform/tasks/evreturndata.h"
#include "platform/threads/hubclock.h"

class EvSecurityMgr : public EvReturnData {
public:
    // id: the task's job id or locale value; its top 16 bits are the locale of the messages. Tokens and
    // their sessions are checked against `clock`, which must outlive the manager.
    explicit EvSecurityMgr(long long id, const CHubClock& clock = CHubClock::real());
    ~EvSecurityMgr() override;  // rolls back the transaction if it was begun; never commits

    // The explanation of the last answer, for log lines ("" before any question).
    const char* getResponseString() const { return m_responseString; }

    // True when the last refusal has an error of the manager's own (an unknown or disabled user, a
    // check that could not be made): its browse error code, its text in the manager's locale and its
    // message id. False (arguments untouched) otherwise.
    bool getBrowseErrorStringAndGuiMessageId(int& code, std::string& text, unsigned long& messageId);

    // Token checks: 1 when `token` is valid, with the user's id, login name, domain (the part of a
    // "domain\user" login before the backslash) and full name; 0 otherwise, outputs untouched.
    // A user token is checked by its signature and expiry alone; a session token also needs its live
    // session. withDetails false fills the user id only. A token of a disabled or removed user is refused.
    int GetUserInfoFromZetaTokenWithoutAuthentication(const std::string& token, bool withDetails, int& userId,
                                                      std::string& userName, std::string& domain,
                                                      std::string& fullName);
    int GetSessionInfoFromZetaToken(const std::string& token, bool withDetails, int& userId,
                                    std::string& userName, std::string& domain, std::string& fullName);
    // `refusal`, the text a caller is given for a token these calls refused, with the reason when the
    // token is the Hubmaster's own and its user is what was refused: " (the token's user [x] is
    // disabled)", " (the token's user (id N) is unknown: ...)". A token changed, forged or
    // expired gets `refusal` alone.
    std::string tokenRefusal(const std::string& refusal) const;
    // The words that begin that reason, for a caller that explains a refusal without one.
    static constexpr const char* kTokenUserReason = " (the token's user ";

    // Issues a token for `userId`, an enabled user, valid for `lifetimeSeconds` from now on `clock`. A
    // session token also opens its live session (committed at once). 0 on success; otherwise the token
    // is not made and the reason is logged.
    static int IssueZetaToken(int userId, bool sessionToken, long long lifetimeSeconds, std::string& token,
                              const CHubClock& clock = CHubClock::real());

    // The current value of user property `name` ("Object ID", ...): true with `value` set. Read in
    // `tran` when given, else in the manager's transaction.
    bool GetFromUsersPropDB(int userId, const char* name, std::string& value, DBtran* tran);

    // The request the questions are asked in (not owned; null: each question reads afresh).
    void setRequestReads(zydb::CRequestReads* reads) { m_reads = reads; }

    long long getLocaleId() const { return m_localeId; }
    // The manager's transaction (begun now if it was not), for work that must see or share it.
    DBtran* getTransaction();

    enum Status : int { kNotAsked = 0, kAllowed = 1, kDenied = 2, kFailed = -1 };
    int getStatus() const { return m_status; }

protected:
    // Answers one rights question and records its outcome; true only when allowed.
    bool decide(int userId, std::initializer_list<int> permissions, const zysec::TEntityPath& path,
                const char* question, long long rightsLevel);
    // The same for any question: `question` keys its answer within the request, `ask` reads it.
    bool settle(const std::string& question, long long rightsLevel,
                const std::function<zysec::TCheckOutcome(DBtran*)>& ask);

private:
    // The token checks' one road: judges the token and tells the server serving the caller what came of
    // it (see zynet::tellCallerToken).
    int checkToken(const std::string& token, char kind, bool withDetails, int& userId, std::string& userName,
                   std::string& domain, std::string& fullName);
    int judgeToken(const std::string& token, char kind, bool withDetails, int& userId, std::string& userName,
                   std::string& domain, std::string& fullName);
    void setResponse(const std::string& text);
    // The memo of `reads` (null: none), unless the manager's transaction has written.
    template <class Memo>
    Memo* memoOf(zydb::CRequestReads* reads);
    // Begins the manager's transaction if it was not; false (logged once) when it cannot be.
    bool openTransaction();

    const CHubClock& m_clock;
    int32_t m_status;            // Status of the last question
    long long m_rightsLevel;     // rights the last question asked for: 2 full, 1 end-user
    unsigned char m_ownError;    // 1: the last refusal has an error of the manager's own
    DBtran m_tran;               // the manager's transaction, begun at its first read
    bool m_tranFailed = false;   // the transaction could not be begun (logged)
    char m_responseString[256];  // explanation of the last answer
    char m_errorString[256];     // the manager's own error text of the last refusal
    long long m_messageId;       // message id of that error; 0 for none
    long long m_localeId;        // locale of the messages
    zydb::CRequestReads* m_reads = nullptr;
    std::string m_tokenUserRefused;  // why a well-signed token's user was refused ("" for none)
    bool m_tokenRefused = false;     // the last token judged was refused for what it is (not its kind)
};

class EvSecurityCheck : public EvSecurityMgr {
public:
    explicit EvSecurityCheck(long long id) : EvSecurityMgr(id) {}
    // Asks its questions in the request `reads` (see setRequestReads).
    EvSecurityCheck(long long id, zydb::CRequestReads* reads) : EvSecurityMgr(id) { setRequestReads(reads); }
    ~EvSecurityCheck() override = default;

    // True when the user may browse the entity; ids of 0 are levels not asked. endUser asks for
    // end-user rights (held by the "End User Browse" or the "Browse" right) instead of full rights.
    // accessText: the request's password-protected access string; logged as present or not, never shown.
    bool canBrowse(int userId, long kelmarchId, long clientId, long appType, long instanceId,
                   long backupSetId, long subclientId, bool endUser, const std::string& accessText);
    bool canPerformLiveBrowse(int userId, long kelmarchId, long clientId, long appType, long instanceId,
                              long backupSetId, long subclientId);
    // True when the user may manage the Hubmaster (a "Manage Hubmaster" right on all of it).
    bool canManageHubmaster(int userId, long kelmarchId);
};

class EvVisibilityCheck : public EvSecurityMgr {
public:
    explicit EvVisibilityCheck(long long id) : EvSecurityMgr(id), m_lastSubclientId(0) {}
    EvVisibilityCheck(long long id, zydb::CRequestReads* reads) : EvVisibilityCheck(id) {
        setRequestReads(reads);
    }
    ~EvVisibilityCheck() override = default;

    // True when the user holds any right on client `clientId` or on anything of it (a subclient, a
    // backup set, a virtual machine it protects): the client is one the user may be told about.
    // `clientId` 0 (none, or one the Hubmaster does not know): a right on every client.
    bool canSeeClient(int userId, long clientId);
    // True when the user holds any right on the subclient or on an entity above it.
    bool canSeeSubClient(int userId, long clientId, long appType, long instanceId, long backupSetId,
                         long subclientId);

private:
    long long m_lastSubclientId;  // the subclient of the last question
};
