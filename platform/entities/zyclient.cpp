#include "platform/entities/zyclient.h"

#include <vector>

#include "Db/Tbl/APP_Client.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbresult.h"
#include "platform/db/dbtable.h"
#include "platform/db/requestscope.h"
#include "platform/entities/installmanager.h"
#include "platform/net/zynet_directory.h"

namespace {
constexpr int kNotRead = -7;
constexpr unsigned long kProductHubmasterClientId = 2;
}  // namespace

ZYClient::ZYClient(unsigned long clientId) : m_id(clientId) {}

ZYClient::ZYClient(unsigned long, unsigned long clientId) : m_id(clientId) {}

ZYClient::ZYClient(const std::string& name) : m_lookupName(name) {}

ZYClient::ZYClient(const std::string& name, bool alsoHostName, void* transaction)
    : m_lookupName(name), m_alsoHostName(alsoHostName), m_tran(static_cast<DBtran*>(transaction)) {}

namespace {

// What one read of a client found, keyed by how it was asked: a memo (zydb::DatabaseMemo), the row alone.
struct TClientRead {
    unsigned long askedId = 0;
    std::string askedName;
    bool alsoHostName = true;
    int status = kNotRead;
    ZYClient found{0UL};
};

}  // namespace

int ZYClient::lookup() {
    // Inside a transaction the row may be this transaction's own: always read.
    auto* reads = m_tran ? nullptr : zydb::threadRequestMemo<std::vector<TClientRead>>();
    if (!reads) return read();
    for (const TClientRead& r : *reads) {
        if (r.askedName != m_lookupName ||
            (m_lookupName.empty() ? r.askedId != m_id : r.alsoHostName != m_alsoHostName))
            continue;
        const unsigned long id = m_id;
        const std::string name = m_lookupName;
        *this = r.found;
        m_lookupName = name;
        m_alsoHostName = r.alsoHostName;
        if (r.status != 0) m_id = id;
        return m_status;
    }
    TClientRead r;
    r.askedId = m_id;
    r.askedName = m_lookupName;
    r.alsoHostName = m_alsoHostName;
    r.status = read();
    // Only answers are kept: a failed read is tried again.
    if (r.status != zydb::DB_OK && r.status != zydb::DB_NO_DATA) return r.status;
    r.found = *this;
    reads->push_back(std::move(r));
    return m_status;
}

int ZYClient::read() {
    APP_Client row(m_tran);
    row.setIsolationType(4);
    row.setTop(1);
    if (m_lookupName.empty())
        row.setWhere("id = %lu", m_id);
    else if (m_alsoHostName)
        row.setWhere("name = '%s' OR net_hostname = '%s'", m_lookupName, m_lookupName);
    else
        row.setWhere("name = '%s'", m_lookupName);
    row.setOrderBy("id");
    m_status = row.getOneRow(&row, false, 0, 0);
    if (m_status == zydb::DB_OK) {
        const APP_Client_t* r = row.getDataPtr();
        m_id = static_cast<unsigned long>(r->id);
        m_name = r->name;
        m_hostName = r->net_hostname;
        m_guid = r->GUID;
        m_osId = r->simOperatingSystemId;
        m_releaseId = r->releaseId;
        m_port = r->zydPort;
    }
    return m_status;
}

int ZYClient::load() {
    return m_status == kNotRead ? lookup() : m_status;
}

unsigned long ZYClient::idOfProvenName(const std::string& name) {
    if (name.empty()) return 0;
    ZYClient client(name, false, nullptr);
    unsigned long id = 0;
    std::string stored;
    if (client.getClientId(id) != 0 || client.getName(stored) != 0 || stored != name) return 0;
    return id;
}

int ZYClient::getClientId(unsigned long& out) {
    int rc = load();
    if (rc == 0) out = m_id;
    return rc;
}

ClientProperties ZYClient::getClientProperties() {
    return ClientProperties(load() == 0 ? m_id : 0, m_tran);
}

int ZYClient::getName(std::string& out) {
    int rc = load();
    if (rc == 0) out = m_name;
    return rc;
}

int ZYClient::getGUIDStr(std::string& out) {
    int rc = load();
    if (rc == 0) out = m_guid;
    return rc;
}

int ZYClient::getOperatingSystemId(int& out) {
    int rc = load();
    if (rc == 0) out = m_osId;
    return rc;
}

int ZYClient::getReleaseId(int& out) {
    int rc = load();
    if (rc == 0) out = m_releaseId;
    return rc;
}

int ZYClient::getNetworkHostname(std::string& out) {
    int rc = load();
    if (rc == 0) out = m_hostName.empty() ? m_name : m_hostName;
    return rc;
}

int ZYClient::getNetworkHostnameMangled(std::string& out) {
    int rc = load();
    if (rc != 0) return rc;
    std::string mangled = MangleHostName(m_hostName.empty() ? m_name : m_hostName, m_name, 0, m_port);
    if (mangled.empty()) return zydb::DB_ERR_ARGUMENT;  // a name that cannot travel mangled
    out = mangled;
    return 0;
}

unsigned long ZYClient::hubmasterClientId() {
    unsigned long id = kProductHubmasterClientId;
    ZYPlatformInfo::getNumber("~Hubmaster", "nHubmasterClientId", &id);
    return id;
}
