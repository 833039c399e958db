// The entry decision of the VM browse client: a browse of a hypervisor's backup set whose VMs are kept
// in the per-VM layout (V2.1) is answered from the Hubmaster database instead of an index. Runs on the
// thread that holds the worker's lock.
#include <ctime>

#include "Db/Tbl/APP_ClientProp.h"
#include "Db/Tbl/APP_VMBackupSet.h"
#include "fbDebug/fbdebug.h"
#include "platform/db/dbresult.h"
#include "platform/entities/apptypes.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/threads/hubclock.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

constexpr int kBrowseOpVmInstances = 11;
// The client property that holds since when a hypervisor keeps its VMs in the per-VM layout.
const char* const ZY_PROP_VIRTUAL_SERVER_USING_V2_1 = "Virtual Server Using Indexing V2.1";

}  // namespace

bool CWorkerThreadHM::IsVMCentricBrowseFromParent(EvMultiEntityRestoreTask* task) {
    if (!task || task->getAppType() != apptype::kVirtualServer) return false;
    if (static_cast<int>(task->getBrowseOpType()) == kBrowseOpVmInstances) return false;
    CBrowseLog log("FBHMWORKER");
    const int clientId = static_cast<int>(task->getClientId());
    const int backupSetId = static_cast<int>(task->getBackupSetId());

    APP_ClientProp v2(nullptr);
    v2.setIsolationType(4);
    v2.setWhere("componentNameId = %d and attrName = 'IndexingV2_VSA' and attrVal = '1' and modified = 0",
                clientId);
    int rc = v2.getOneRow(&v2, false, -1, 0);
    if (rc != zydb::DB_OK) {
        log.debugLvl(
            rc == zydb::DB_NO_DATA ? 5 : 0,
            "Switching to Index based browse for VSA. Check for V2 attribute at client (%lu) level returned "
            "- ret val [%d], rows [%d]",
            static_cast<unsigned long>(clientId), rc, 0);
        return false;
    }

    APP_VMBackupSet vm(nullptr);
    vm.setWhere("VMClientId = %d and ChildBackupSetId = %d", clientId, backupSetId);
    rc = vm.getOneRow(&vm, false, -1, 0);
    if (rc == zydb::DB_OK) {
        log.debugLvl(
            5,
            "Switching to Index based browse for VSA. DB query to check for hypervisor client returned "
            "code [%d], rows [%d]",
            rc, 1);
        return false;
    }
    if (rc != zydb::DB_NO_DATA) {
        log.debugLvl(
            -1,
            "Switching to Index based browse for VSA. Unable to determine if client (%lu) is a hypervisor "
            "client. DB query returned error code [%d], rows [%d]",
            static_cast<unsigned long>(clientId), rc, 0);
        return false;
    }

    const long browseTime =
        task->getToTime() != 0 ? task->getToTime() : static_cast<long>(CHubClock::real().epochSeconds());
    APP_ClientProp since(nullptr);
    since.setIsolationType(4);
    since.setTop(1);
    since.setWhere("componentNameId=%d and attrName='%s' and attrType = 2 and attrVal = '1' and modified = 0",
                   clientId, ZY_PROP_VIRTUAL_SERVER_USING_V2_1);
    rc = since.getOneRow(&since, false, -1, 0);
    if (rc != zydb::DB_OK) {
        log.debugLvl(5, "Error looking up create time of property [%s], db return code [%d]",
                     ZY_PROP_VIRTUAL_SERVER_USING_V2_1, rc);
        if (rc == zydb::DB_NO_DATA)
            log.debugLvl(3, "V2.1 is not enabled for hypervisor client [%lu] for the chosen time range",
                         static_cast<unsigned long>(clientId));
        else
            log.debugLvl(
                -1, "Unable to check if V2.1 is enabled. Error Code [%d]. Fall back to index based browse",
                rc);
        return false;
    }
    log.debugLvl(3, "Property [%s] for component id [%lu] found for browse time [%ld]",
                 ZY_PROP_VIRTUAL_SERVER_USING_V2_1, static_cast<unsigned long>(clientId), browseTime);
    if (static_cast<long>(since.getDataPtr()->created) >= browseTime) {
        log.debugLvl(3, "V2.1 is not enabled for hypervisor client [%lu] for the chosen time range",
                     static_cast<unsigned long>(clientId));
        return false;
    }
    log.debugLvl(5, "Switching to DB based browse for VSA. Client (%lu) has V2.1 flag set",
                 static_cast<unsigned long>(clientId));
    return true;
}
