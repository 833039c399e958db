#include "platform/security/securityseed.h"

#include "platform/db/dbresult.h"
#include "platform/hubdb/securitytables.h"

using namespace hubdb::seedvalues;

namespace zysec {

int SecuritySeed::grant(int userId, int permission, const TEntityPath& path) {
    std::vector<std::pair<std::string, zydb::DbValue>> row = {{"userId", I(userId)},
                                                              {"permissionId", I(permission)}};
#define SEC_LEVEL_VALUE(X, type, column) row.push_back({#column, I(path.column)});
    SEC_ENTITY_LEVELS(SEC_LEVEL_VALUE, _)
#undef SEC_LEVEL_VALUE
    return checked(m_seed.insertRow("SECUserRight", row));
}

int SecuritySeed::allowClientAccess(int callerClientId, int clientId) {
    return checked(m_seed.insertRow("SECClientAccess",
                                    {{"callerClientId", I(callerClientId)}, {"clientId", I(clientId)}}));
}

int SecuritySeed::addUserProperty(int userId, const std::string& name, const std::string& value,
                                  long long created, long long modified) {
    return checked(m_seed.addProperty(
        "UMUsersProp",
        {.ownerId = userId, .name = name, .value = value, .created = created, .modified = modified}));
}

int SecuritySeed::setAppTypeCategory(int appTypeId, int category) {
    if (m_seed.exec("INSERT OR REPLACE INTO SECAppTypeUserAccess (appTypeId, category) VALUES (?, ?)",
                    {I(appTypeId), I(category)}) != zydb::DB_OK)
        return checked(-1);
    return appTypeId;
}

}  // namespace zysec
