#include "platform/threads/processrest.h"

#include <algorithm>
#include <vector>

#include "platform/threads/hubmutex.h"

namespace {

struct TRest {
    CHubMutex mutex;
    long holds GUARDED_BY(mutex) = 0;
    std::vector<void (*)()> actions GUARDED_BY(mutex);
};

TRest& rest() {
    static TRest* r = new TRest;  // never destroyed: threads may end during static destruction
    return *r;
}

}  // namespace

void holdProcessBusy() {
    TRest& r = rest();
    CHubMutexLock lock(r.mutex);
    ++r.holds;
}

void releaseProcessBusy() {
    std::vector<void (*)()> actions;
    {
        TRest& r = rest();
        CHubMutexLock lock(r.mutex);
        if (r.holds == 0 || --r.holds > 0) return;
        actions = r.actions;
    }
    for (void (*action)() : actions) action();
}

void registerProcessRestAction(void (*action)()) {
    TRest& r = rest();
    CHubMutexLock lock(r.mutex);
    if (action && std::find(r.actions.begin(), r.actions.end(), action) == r.actions.end())
        r.actions.push_back(action);
}
