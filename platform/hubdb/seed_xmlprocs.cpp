// The XML procedures' seed additions over HubDbSeed's connection and inserts.
#include "platform/hubdb/seed_xmlprocs.h"

#include "platform/db/dbresult.h"

using zydb::DbValue;

namespace hubdb {

int XmlProcsSeed::insert(const std::string& table,
                         const std::vector<std::pair<std::string, DbValue>>& columns) {
    return m_seed.insertRow(table, columns) >= 0 ? 0 : fail("insert into " + table);
}

int XmlProcsSeed::addClientOwner(int clientId, int userId) {
    return insert("APP_ClientOwner",
                  {{"clientId", DbValue::ofInt(clientId)}, {"userId", DbValue::ofInt(userId)}});
}

int XmlProcsSeed::setLiveBrowseConfig(const LiveBrowseConfigSeed& c) {
    return insert("APP_LiveBrowseConfig", {{"clientId", DbValue::ofInt(c.clientId)},
                                           {"userId", DbValue::ofInt(c.userId)},
                                           {"proxyRequired", DbValue::ofInt(c.proxyRequired ? 1 : 0)},
                                           {"proxyClientId", DbValue::ofInt(c.proxyClientId)},
                                           {"userName", DbValue::ofText(c.userName)}});
}

int XmlProcsSeed::addSharePointMember(int farmClientId, int memberClientId, bool primary) {
    return insert("APP_SharePointMemberServer", {{"pseudoClientId", DbValue::ofInt(farmClientId)},
                                                 {"memberClientId", DbValue::ofInt(memberClientId)},
                                                 {"isPrimary", DbValue::ofInt(primary ? 1 : 0)}});
}

}  // namespace hubdb
