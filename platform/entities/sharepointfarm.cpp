#include "platform/entities/sharepointfarm.h"

#include <cstdlib>
#include <vector>

#include "Db/Tbl/APP_Client.h"
#include "Db/Tbl/APP_ClientProp.h"
#include "Db/Tbl/APP_IDAProp.h"
#include "platform/db/dbresult.h"
#include "platform/entities/installmanager.h"
#include "platform/entities/propertystore.h"
#include "platform/entities/zyclient.h"
#include "platform/hubdb/threadsql.h"
#include "platform/msg/password_cipher.h"

namespace {
constexpr const char* kPrimaryMemberProperty = "SharePoint Primary Member Server";
}

int ZYClient::getSpecialClientFlags(unsigned long& out) {
    int rc = load();
    if (rc != 0) return rc;
    APP_Client row(m_tran);
    row.setIsolationType(4);
    row.setWhere("id = %lu", m_id);
    rc = row.getOneRow(&row, false, 0, 0);
    if (rc == zydb::DB_OK) out = static_cast<unsigned long>(row.getDataPtr()->specialClientFlags);
    return rc;
}

int ClientProperties::getSharePointPrimaryMemberServer(unsigned long& memberClientId) {
    std::string value;
    const int rc = zyent::readProperty<APP_ClientProp>(m_tran, static_cast<long>(m_clientId),
                                                       kPrimaryMemberProperty, value);
    if (rc != zydb::DB_OK) return rc;
    char* end = nullptr;
    const unsigned long id = std::strtoul(value.c_str(), &end, 10);
    // A value that names no client is not a primary member server.
    if (end == value.c_str() || *end != '\0' || id == 0) return zydb::DB_NO_DATA;
    memberClientId = id;
    return zydb::DB_OK;
}

ApplicationTypeSharePointV2Doc::ApplicationTypeSharePointV2Doc(unsigned long clientId, unsigned long appType)
    : m_clientId(clientId), m_appType(appType) {}

ApplicationTypeSharePointV2Doc::~ApplicationTypeSharePointV2Doc() = default;

int ApplicationTypeSharePointV2Doc::read(const char* property, std::string& out) {
    std::vector<int> agents;
    int rc =
        hubdb::threadQueryInts("SELECT id FROM APP_IDAName WHERE clientId = ? AND appTypeId = ? ORDER BY id",
                               {zydb::DbValue::ofInt(static_cast<long long>(m_clientId)),
                                zydb::DbValue::ofInt(static_cast<long long>(m_appType))},
                               agents);
    if (rc != zydb::DB_OK) return rc;
    if (agents.empty()) {
        out.clear();
        return zydb::DB_OK;
    }
    std::string value;
    rc = zyent::readProperty<APP_IDAProp>(nullptr, agents.front(), property, value);
    if (rc == zydb::DB_NO_DATA)
        value.clear();
    else if (rc != zydb::DB_OK)
        return rc;
    out = value;
    return zydb::DB_OK;
}

int ApplicationTypeSharePointV2Doc::getUserName(std::string& out) {
    return read(kUserNameProperty, out);
}

int ApplicationTypeSharePointV2Doc::getPassword(std::string& out) {
    std::string stored;
    const int rc = read(kPasswordProperty, stored);
    if (rc != zydb::DB_OK) return rc;
    if (stored.empty()) {
        out.clear();
        return zydb::DB_OK;
    }
    std::string plain;
    if (!msgDecipherSecret(stored, plain)) return -1;
    out = plain;
    return zydb::DB_OK;
}
