// The planted failures behind ArchiveManagerHM's link seam. This unit's strong archMgrSeamResult
// replaces the shipped weak one in every program that calls injectArchMgrFault.
#include "tests/support/archive/archmgr_faults.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/archive/archmgrseam.h"

namespace {

struct FaultTable {
    std::mutex mutex;
    std::vector<hubtest::ArchMgrFault> faults;  // guarded by mutex
    std::atomic<bool> any{false};               // faults is not empty: lets calls skip the lock
};

FaultTable& faultTable() {
    static FaultTable t;
    return t;
}

}  // namespace

int archMgrSeamResult(ArchMgrOp op, uint64_t subject, uint64_t searchMode) {
    FaultTable& t = faultTable();
    if (!t.any.load(std::memory_order_acquire)) return 0;
    std::lock_guard<std::mutex> lock(t.mutex);
    for (auto it = t.faults.begin(); it != t.faults.end(); ++it) {
        if (it->op != op || (it->subject != 0 && it->subject != subject) ||
            (it->searchMode != 0 && it->searchMode != searchMode))
            continue;
        const int rc = it->result;
        if (it->times > 0 && --it->times == 0) t.faults.erase(it);
        t.any.store(!t.faults.empty(), std::memory_order_release);
        return rc;
    }
    return 0;
}

namespace hubtest {

bool injectArchMgrFault(const ArchMgrFault& fault) {
    if (fault.result == 0 || fault.op == ArchMgrOp::count || fault.times == 0) return false;
    FaultTable& t = faultTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.faults.push_back(fault);
    t.any.store(true, std::memory_order_release);
    return true;
}

void clearArchMgrFaults() {
    FaultTable& t = faultTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.faults.clear();
    t.any.store(false, std::memory_order_release);
}

}  // namespace hubtest
