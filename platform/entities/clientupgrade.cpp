// When a client's agent was last upgraded, from its versioned client property.
#include <cerrno>
#include <cstdlib>

#include "Db/Tbl/APP_Client.h"
#include "Db/Tbl/APP_ClientProp.h"
#include "platform/db/dbresult.h"
#include "platform/entities/installmanager.h"
#include "platform/entities/propertystore.h"

int ClientProperties::getClientUpgradeTime(unsigned long clientId, unsigned long& upgradeTime,
                                           DBtran* transaction) {
    DBtran* tran = transaction;
    if (clientId == 0) return zydb::DB_NO_DATA;
    {
        APP_Client client(tran);
        client.setIsolationType(4);
        client.setWhere("id = %lu", clientId);
        if (int rc = client.getOneRow(&client, false, 0, 0); rc != zydb::DB_OK) return rc;
    }
    std::string value;
    int rc =
        zyent::readProperty<APP_ClientProp>(tran, static_cast<long>(clientId), kUpgradeTimeProperty, value);
    if (rc == zydb::DB_NO_DATA) {
        upgradeTime = 0;
        return zydb::DB_OK;
    }
    if (rc != zydb::DB_OK) return rc;
    // A value that is not a time must not read as "never upgraded": that would let a browse span it.
    errno = 0;
    char* end = nullptr;
    const long long t = std::strtoll(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || errno != 0 || t < 0 || t > 0xFFFFFFFFLL) return zydb::DB_ERR_SCHEMA;
    upgradeTime = static_cast<unsigned long>(t);
    return zydb::DB_OK;
}
