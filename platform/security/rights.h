// The rights questions every security class shares: the names of the permissions (their ids are kept
// with the rights table in platform/hubdb/securitytables.h), the entity a question names, the user it
// concerns, and whether a grant covers it, read in the caller's transaction (or on the thread's
// connection when none is given). Functions of the calling thread.
#pragma once

#include <initializer_list>
#include <string>

#include "platform/hubdb/securitytables.h"

class DBtran;
class EvDebug;

namespace zysec {

// The calling thread's logger of the security classes (module tag "SECURITY").
EvDebug& securityLog();

// "Browse", ... ; "any right" for kPermAny; "permission <id>" for others.
std::string permissionName(int permission);

// The entity a question is about, one id per level (0: level not asked).
struct TEntityPath {
#define SEC_PATH_MEMBER(X, type, column) long column = 0;
    SEC_ENTITY_LEVELS(SEC_PATH_MEMBER, _)
#undef SEC_PATH_MEMBER
};

// Sets the level of entity type `entityType` (see SEC_ENTITY_LEVELS); false for an unknown type.
bool setEntityLevel(TEntityPath& path, int entityType, long id);
// "client [5] appType [33]" for the levels asked; "the whole Hubmaster" when none is.
std::string describe(const TEntityPath& path);

struct TUserInfo {
    int id = 0;
    std::string login;
    std::string name;  // full name
    std::string email;
    std::string userGuid;
    bool enabled = false;
};

// The outcome of one rights question about a user.
enum CheckResult : int {
    kCheckFailed = -1,  // the question could not be answered (no transaction, a query failed): refused
    kCheckDenied = 0,   // the user holds no right that covers the entity
    kCheckAllowed = 1,
    kCheckNoUser = 2,  // no user was given, or no such user
    kCheckUserDisabled = 3,
};

struct TCheckOutcome {
    CheckResult result = kCheckFailed;
    std::string explanation;  // one line for logs: who, which right, on what, and the answer
    TUserInfo user;
};

// Asks whether `userId`, an enabled user, holds one of `permissions` (tried in order) on `path`, in
// `tran`. `question` names the question in the explanation ("browse", "see").
TCheckOutcome checkUserRight(DBtran* tran, int userId, std::initializer_list<int> permissions,
                             const TEntityPath& path, const char* question);

// Asks whether `userId`, an enabled user, holds any right on client `clientId` or on anything of it
// (see findGrantWithinClient); `clientId` 0 (no client, or one the Hubmaster does not know): on every
// client.
TCheckOutcome checkUserSeesClient(DBtran* tran, int userId, long clientId);

// Fetch results: 0 found, 100 none, anything else an error (a database result code).
int lookUpUser(DBtran* tran, int userId, TUserInfo& user);
int lookUpUserByLogin(DBtran* tran, const std::string& login, TUserInfo& user);
// Whether a grant of `permission` (kPermAny: of any permission) to `userId` covers `path`: 0 covered,
// 100 not covered, else the error. A grant covers the path when every level it names is the one asked.
int findGrant(DBtran* tran, int userId, int permission, const TEntityPath& path);
// Whether a grant of any right to `userId` covers client `clientId` or anything of it: a grant on every
// client, on the client or on something below it, on every client's entities of a kind the client
// holds, or on a virtual machine one of the client's backup sets protects. `clientId` 0: only a grant
// on every client covers it. 0 covered, 100 not covered, else the error.
int findGrantWithinClient(DBtran* tran, int userId, long clientId);
// The current value of user property `name`.
int getUserProperty(DBtran* tran, int userId, const std::string& name, std::string& value);

}  // namespace zysec
