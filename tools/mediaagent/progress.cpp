#include "tools/mediaagent/progress.h"

#include <atomic>
#include <cstdio>

#include "platform/log/logtext.h"

namespace mediaagent {

namespace {
std::atomic<bool> g_progress{false};
}

void setProgressLines(bool on) {
    g_progress = on;
}

void reportServed(const std::string& session, uint64_t before, uint64_t after) {
    if (!g_progress) return;
    for (uint64_t mark = 1; mark <= after; mark *= 10)
        if (mark > before)
            logtext::printLine(stdout, "mediaagent: session %s served item %llu", session.c_str(),
                               static_cast<unsigned long long>(mark));
}

void reportFault(const std::string& session, uint64_t items) {
    if (!g_progress) return;
    logtext::printLine(stdout, "mediaagent: session %s fault after %llu items", session.c_str(),
                       static_cast<unsigned long long>(items));
}

}  // namespace mediaagent
