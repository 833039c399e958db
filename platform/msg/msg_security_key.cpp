#include "platform/msg/msg_security_key.h"

#include "platform/config/zyplatforminfo.h"
#include "platform/msg/msg_log.h"
#include "platform/threads/hubmutex.h"

namespace {

CHubMutex g_keyLock;
std::string g_keyOverride GUARDED_BY(g_keyLock);

}  // namespace

bool msgSecurityKey(std::string& key, bool quiet) {
    {
        CHubMutexLock lock(g_keyLock);
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
    CHubMutexLock lock(g_keyLock);
    g_keyOverride = key;
}
