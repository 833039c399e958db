#include "platform/threads/threadresources.h"

#include <algorithm>
#include <vector>

#include "platform/threads/hubmutex.h"

namespace {

struct TReleases {
    CHubMutex mutex;
    std::vector<void (*)()> all GUARDED_BY(mutex);
};

TReleases& releases() {
    static TReleases* r = new TReleases;  // never destroyed: threads may wait during static destruction
    return *r;
}

}  // namespace

void registerThreadResourceRelease(void (*release)()) {
    TReleases& r = releases();
    CHubMutexLock lock(r.mutex);
    if (release && std::find(r.all.begin(), r.all.end(), release) == r.all.end()) r.all.push_back(release);
}

void releaseThreadResources() {
    std::vector<void (*)()> all;
    {
        TReleases& r = releases();
        CHubMutexLock lock(r.mutex);
        all = r.all;
    }
    for (void (*release)() : all) release();
}
