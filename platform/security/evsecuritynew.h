// EvSecurityNew: the permission check on an entity (the delete capability, ...) made in the caller's
// transaction or in one of its own, which it commits when it is destroyed. EvExternal: user look-ups
// for other services (a user's login name). Both are locals of one thread.
#pragma once

#include <cstddef>
#include <string>

#include "platform/db/dbtable.h"
#include "platform/errors/evevent.h"
#include "platform/tasks/evreturndata.h"

class EvSecurityNew {
public:
    // transaction: the caller's (left alone) or null for one of its own. locale: of the messages.
    EvSecurityNew(DBtran* transaction, int locale);
    virtual ~EvSecurityNew();  // commits only a transaction it opened itself
    EvSecurityNew(const EvSecurityNew&) = delete;
    EvSecurityNew& operator=(const EvSecurityNew&) = delete;

    // Whether `userId` holds `permission` on the entity named by up to five (entity type, id) pairs
    // (types as in SEC_ENTITY_LEVELS: 3 client, 4 app type, ...; type 0 ends the list). Returns 0 when
    // answered, with `allowed` set; otherwise an error (no transaction, an unknown entity type, a failed
    // query) with `allowed` false.
    int hasPermissionForUserOnEntity(bool& allowed, int permission, int userId, int type1, long id1,
                                     int type2, long id2, int type3, long id3, int type4, long id4, int type5,
                                     long id5);

    int getTranStatus() const { return m_tranStatus; }
    DBtran* getTransaction() const { return m_tran.getTran(); }
    // The explanation of the last answer.
    const std::string& getLastText() const { return m_text; }

private:
    int m_tranStatus;  // result of opening the transaction (0: usable)
    int m_locale;
    std::string m_text;
    EvEvent m_event;  // logs the answers
    TranWrapper m_tran;
};

class EvExternal : public EvReturnData {
public:
    explicit EvExternal(int unused);
    ~EvExternal() override;

    // The login name of user `userId` into `login`, a buffer of `loginSize` bytes. 0 on success. A
    // name that does not fit is never cut (a shortened login could name another user): the call fails
    // with -2 and `login` holds the empty text. 100: no such user; another value: the query failed.
    // fullName and email, when given, receive those of the user.
    int getUserLogin(long userId, char* login, size_t loginSize, std::string* fullName, std::string* email);
    // The same into a string, whatever its length.
    int getUserLogin(long userId, std::string& login);
};
