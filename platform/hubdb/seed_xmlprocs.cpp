// The XML procedures' seed additions over HubDbSeed's connection and inserts.
#include "platform/hubdb/seed_xmlprocs.h"

#include "platform/db/dbresult.h"
#include "platform/hubdb/xmlprocs_schema.h"

using zydb::DbValue;

namespace hubdb {

XmlProcsSeed::XmlProcsSeed(HubDbSeed& seed) : m_seed(seed) {
    if (!seed.ok() || seed.connection() == nullptr) return;
    std::string err;
    if (ensureXmlProcsSchema(*seed.connection(), &err) != zydb::DB_OK) m_error = err;
}

int XmlProcsSeed::insert(const std::string& table, const std::vector<std::pair<std::string, DbValue>>& columns) {
    if (m_seed.insertRow(table, columns) >= 0) return 0;
    if (m_error.empty()) m_error = "insert into " + table + ": " + m_seed.error();
    return -1;
}

int XmlProcsSeed::addClientOwner(int clientId, int userId) {
    return insert("APP_ClientOwner", {{"clientId", DbValue::ofInt(clientId)}, {"userId", DbValue::ofInt(userId)}});
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
