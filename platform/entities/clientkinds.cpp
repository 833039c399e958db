// The kind questions of ZYClient (display name, NAS, non-NDMP and reference-copy clients) and the
// install manager's name of a client's operating system.
#include <cstdlib>

#include "Db/Tbl/APP_ClientProp.h"
#include "platform/db/dbresult.h"
#include "platform/entities/installmanager.h"
#include "platform/entities/propertystore.h"
#include "platform/entities/zyclient.h"
#include "platform/hubdb/threadsql.h"

namespace {

using zydb::DbValue;

// A client property that holds a number: true when current and non-zero; false when absent.
int clientSwitch(ZYClient& client, const char* property, bool& out) {
    unsigned long id = 0;
    int rc = client.getClientId(id);
    if (rc != 0) return rc;
    std::string value;
    rc = zyent::readProperty<APP_ClientProp>(nullptr, static_cast<long>(id), property, value);
    if (rc == zydb::DB_NO_DATA) {
        out = false;
        return 0;
    }
    if (rc != zydb::DB_OK) return rc;
    out = std::strtol(value.c_str(), nullptr, 10) != 0;
    return 0;
}

}  // namespace

int ZYClient::getDisplayName(std::string& out) {
    unsigned long id = 0;
    int rc = getClientId(id);
    if (rc != 0) return rc;
    std::vector<DbValue> row;
    rc = hubdb::threadQueryFirstRow("SELECT displayName, name FROM APP_Client WHERE id = ?",
                                    {DbValue::ofInt(static_cast<long long>(id))}, row);
    if (rc != zydb::DB_OK) return rc;
    std::string display = row[0].asText();
    out = display.empty() ? row[1].asText() : display;
    return 0;
}

int ZYClient::isNASClient(bool& out) {
    return clientSwitch(*this, "NAS Client", out);
}

int ZYClient::isNonNDMPClient(bool& out) {
    return clientSwitch(*this, "Non NDMP Client", out);
}

int ZYClient::isReferenceCopyClient(bool& out) {
    return clientSwitch(*this, "Reference Copy Client", out);
}

int ClientProperties::getSimOSInfo(std::string& osInfo) {
    std::vector<DbValue> row;
    int rc = hubdb::threadQueryFirstRow(
        "SELECT o.name FROM APP_Client c JOIN simOperatingSystem o ON o.id = c.simOperatingSystemId "
        "WHERE c.id = ?",
        {DbValue::ofInt(static_cast<long long>(m_clientId))}, row);
    if (rc == zydb::DB_OK) osInfo = row[0].asText();
    return rc;
}
