#include "platform/entities/jmactivityctrl.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "Db/Tbl/APP_SubClientProp.h"
#include "platform/db/dbresult.h"
#include "platform/entities/propertystore.h"
#include "platform/hubdb/familiesb_procs.h"
#include "platform/hubdb/threadsql.h"

int JMActivityCtrl::isSubclientEnabled(unsigned long subclientId, bool& enabled, int activityType) {
    std::vector<zydb::DbValue> row;
    int rc = hubdb::threadQueryFirstRow("SELECT id FROM APP_Application WHERE id = ?",
                                        {zydb::DbValue::ofInt(static_cast<long long>(subclientId))}, row);
    if (rc != zydb::DB_OK) return rc;
    std::string value;
    rc = zyent::readProperty<APP_SubClientProp>(nullptr, static_cast<long>(subclientId),
                                                hubdb::activityControlProperty(activityType), value);
    if (rc == zydb::DB_NO_DATA) {
        enabled = true;
        return 0;
    }
    if (rc != zydb::DB_OK) return rc;
    enabled = std::strtol(value.c_str(), nullptr, 10) == 0;
    return 0;
}
