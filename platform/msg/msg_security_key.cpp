#include "platform/msg/msg_security_key.h"

#include <mutex>

#include "platform/config/zyplatforminfo.h"
#include "platform/msg/msg_log.h"

namespace {

std::mutex g_keyLock;
std::string g_keyOverride;  // guarded by g_keyLock

}  // namespace

bool msgSecurityKey(std::string& key, bool quiet) {
    {
        std::lock_guard lock(g_keyLock);
        key = g_keyOverride;
    }
    if (key.empty()) ZYPlatformInfo::getSecret(kMsgSecurityKeySection, kMsgSecurityKeyName, &key);
    if (key.size() >= kMsgSecurityKeyMinBytes) return true;
    if (!quiet)
        msgLog(-1, "no message-security key of at least %zu bytes in [%s] %s", kMsgSecurityKeyMinBytes,
               kMsgSecurityKeySection, kMsgSecurityKeyName);
    return false;
}

void msgSetSecurityKey(const std::string& key) {
    std::lock_guard lock(g_keyLock);
    g_keyOverride = key;
}
