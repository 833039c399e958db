// SecuritySeed: users, rights, client access, user properties and end-user categories for test,
// benchmark and demo databases, added through a HubDbSeed (which it completes with the security
// tables). Each call returns the new row's id, or -1 (the reason in error()). Used by the seed's thread.
//
//   hubdb::HubDbSeed seed(path);
//   zysec::SecuritySeed security(seed);
//   int alice = security.addUser({.login = "alice"});
//   security.grant(alice, zysec::kPermBrowse, {.clientId = client});
#pragma once

#include <string>

#include "platform/entities/entityseed.h"
#include "platform/security/rights.h"

namespace zysec {

struct SecurityUserSeed {
    std::string login{};
    std::string name{};   // full name; empty: the login
    std::string email{};
    int enabled = 1;
};

class SecuritySeed : public zyent::SeedPart {
public:
    explicit SecuritySeed(hubdb::HubDbSeed& seed);

    int addUser(const SecurityUserSeed& user);
    // A right of `permission` for the user on the entity `path` names (0 at a level: all of that level).
    int grant(int userId, int permission, const TEntityPath& path);
    // `callerClientId` may act for `clientId` (0: for every client).
    int allowClientAccess(int callerClientId, int clientId);
    int addUserProperty(int userId, const std::string& name, const std::string& value, long long created = 0,
                        long long modified = 0);
    int setAppTypeCategory(int appTypeId, int category);
};

}  // namespace zysec
