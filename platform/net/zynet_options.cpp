#include "platform/net/zynet_options.h"

#include <unistd.h>

#include <mutex>

namespace {
std::mutex g_optionsMutex;
TZyNetOptions g_options;  // guarded by g_optionsMutex
}  // namespace

TZyNetOptions zyNetOptions() {
    std::lock_guard<std::mutex> lock(g_optionsMutex);
    return g_options;
}

void setZyNetOptions(const TZyNetOptions& options) {
    std::lock_guard<std::mutex> lock(g_optionsMutex);
    g_options = options;
}

namespace zynet {

int effectiveSeconds(int seconds) { return seconds < 0 ? zyNetOptions().noLimitSeconds : seconds; }

std::string localHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) return "localhost";
    return name;
}

std::string localClientName() {
    std::string name = zyNetOptions().localClientName;
    return name.empty() ? localHostName() : name;
}

}  // namespace zynet
