#include "service/failurefallback.h"

#include <atomic>

#include "fbDebug/fbdebug.h"

namespace failurefallback {
namespace {
std::atomic<uint64_t> s_count{0};
}  // namespace

void note(const char* tag, const char* road, const std::string& workerId) {
    s_count.fetch_add(1, std::memory_order_relaxed);
    CBrowseLog log(tag);
    log.debugLvl(0, "%s%s road: worker [%s] failed without recording a reason", kLogMarker, road,
                 workerId.c_str());
}

uint64_t count() {
    return s_count.load(std::memory_order_relaxed);
}

}  // namespace failurefallback
