#include "platform/entities/zysim.h"

#include "platform/db/dbresult.h"
#include "platform/hubdb/threadsql.h"

int ZYSim::simGetVersionOfClient(const std::string& clientName, std::string& version) {
    std::vector<zydb::DbValue> row;
    int rc = hubdb::threadQueryFirstRowOncePerRequest(
        "SELECT m.versionText FROM mediaAgent m JOIN APP_Client c ON c.id = m.clientId WHERE c.name = ?",
        {zydb::DbValue::ofText(clientName)}, row);
    if (rc == zydb::DB_OK) version = row[0].asText();
    return rc;
}
