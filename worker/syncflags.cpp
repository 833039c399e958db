// The sync step of intake: whether the request's subclient is a sync (and NFS object-store)
// subclient, kept as the worker's sync flag, with the matching switches for the index service. Runs
// on the thread that holds the worker's lock.
#include <new>

#include "fbDebug/fbdebug.h"
#include "platform/indexing/supersearch.h"
#include "platform/tasks/evrestoretask.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

constexpr int64_t kSyncFlagType = 3;

databrowse::AdditionalFlag makeFlag(const char* name) {
    databrowse::AdditionalFlag flag;
    flag.setint64(databrowse::AdditionalFlag::f::flagType, kSyncFlagType);
    flag.setstring(databrowse::AdditionalFlag::f::flagName, name);
    flag.setstring(databrowse::AdditionalFlag::f::value, "TRUE");
    return flag;
}

}  // namespace

bool CWorkerThreadHM::applySyncFlags(EvMultiEntityRestoreTask* task) {
    CBrowseLog log("FBHMWORKER");
    bool nfsObjectStore = false;
    if (!isSyncSubclient(task->getSubClientId(), task->getClientId(), m_syncEnabled, nfsObjectStore)) {
        m_syncEnabled = false;
        log.debugLvl(3, "bIsSyncSubclient returned failure for clientId[%d]",
                     static_cast<int>(task->getClientId()));
        return true;
    }
    if (!m_syncEnabled) return true;
    log.debugLvl(3, "Flux Drive is enabled for clientd[%d]", static_cast<int>(task->getClientId()));
    if (!m_ptrAdditionalFlags) {
        m_ownAdditionalFlags.reset(new (std::nothrow) std::vector<databrowse::AdditionalFlag>());
        if (!m_ownAdditionalFlags) {
            log.debugLvl(1, "Error: Cannot allocate memory for m_ptrAdditionalFlags");
            return false;
        }
        m_ptrAdditionalFlags = m_ownAdditionalFlags.get();
    }
    m_ptrAdditionalFlags->push_back(makeFlag("SYNC_ENABLED"));
    if (nfsObjectStore) {
        log.debugLvl(3, "This is NFS ObjectStore subclient...");
        m_ptrAdditionalFlags->push_back(makeFlag("NFS_OBJECTSTORE_ENABLED"));
    }
    return true;
}
