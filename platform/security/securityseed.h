// SecuritySeed: rights, client access, user properties and end-user categories for test, benchmark
// and demo databases, added through a HubDbSeed (users themselves are RowSeed::addUser). Each call
// returns the new row's id, or -1 (the reason in error()). Used by the seed's thread.
//
//   hubdb::HubDbSeed seed(path);
//   int alice = hubdb::RowSeed(seed).addUser({.login = "alice"});
//   zysec::SecuritySeed security(seed);
//   security.grant(alice, zysec::kPermBrowse, {.clientId = client});
#pragma once

#include <string>

#include "platform/hubdb/hubdbseed.h"
#include "platform/security/rights.h"

namespace zysec {

class SecuritySeed : public hubdb::SeedPart {
public:
    explicit SecuritySeed(hubdb::HubDbSeed& seed) : SeedPart(seed) {}

    // A right of `permission` for the user on the entity `path` names (0 at a level: all of that level).
    int grant(int userId, int permission, const TEntityPath& path);
    // `callerClientId` may act for `clientId` (0: for every client).
    int allowClientAccess(int callerClientId, int clientId);
    int addUserProperty(int userId, const std::string& name, const std::string& value, long long created = 0,
                        long long modified = 0);
    int setAppTypeCategory(int appTypeId, int category);
};

}  // namespace zysec
