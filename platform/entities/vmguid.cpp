#include "platform/entities/vmguid.h"

#include <vector>

#include "platform/hubdb/familiesb_procs.h"
#include "platform/hubdb/threadsql.h"
#include "platform/log/evdebug.h"

bool getClientIdfromGUID(std::string guid, int& clientId) {
    if (guid.empty()) return false;
    std::vector<int> ids;
    int rc = hubdb::threadQueryInts(
        "SELECT DISTINCT c.id FROM APP_Client c WHERE c.GUID = ? COLLATE NOCASE OR EXISTS (SELECT 1 FROM "
        "APP_ClientProp p WHERE p.componentNameId = c.id AND p.attrName = ? AND p.modified = 0 AND "
        "p.attrVal = ? COLLATE NOCASE) ORDER BY c.id LIMIT 2",
        {zydb::DbValue::ofText(guid), zydb::DbValue::ofText(hubdb::kVmUuidProperty),
         zydb::DbValue::ofText(guid)},
        ids);
    if (rc != 0) {
        EvDebug log(nullptr);
        log.setPrefixMessage("getClientIdfromGUID");
        log.debugLvl(0, "ERROR: clients of VM GUID [%s] cannot be read [%d]", guid.c_str(), rc);
        return false;
    }
    // Two clients claiming one GUID cannot say whose rights apply.
    if (ids.size() != 1) return false;
    clientId = ids[0];
    return true;
}
