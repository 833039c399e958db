#include "platform/net/zynet_log.h"

#include <cstdarg>

#include "platform/log/evdebug.h"
#include "platform/log/peerlog.h"

namespace zynet {

void logDebug(int level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    evTaggedLogV("ZYNET", level, false, format, ap);
    va_end(ap);
}

void logError(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    evTaggedLogV("ZYNET", -1, true, format, ap);
    va_end(ap);
}

}  // namespace zynet

namespace zynet {

void logOutsider(const std::string& address, const char* what, const std::string& detail) {
    // Lines of one kind from one address are counted past a burst: a crowd of bad openings cannot
    // flush the log. Within a session's work the line counts as its session's lines do (a client
    // machine's against its own share).
    if (!zylog::currentPeer().empty()) {
        evTaggedLog("ZYNET", 0, false, what, address.c_str(), detail.c_str());
        return;
    }
    zylog::CPeerScope scope(address.empty() ? "(unknown)" : address, false);
    evTaggedLog("ZYNET", 0, false, what, address.c_str(), detail.c_str());
}

}  // namespace zynet
