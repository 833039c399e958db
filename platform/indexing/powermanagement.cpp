#include "platform/indexing/powermanagement.h"

#include <chrono>
#include <ctime>
#include <thread>

#include "Db/Tbl/APP_ClientProp.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/entities/propertystore.h"
#include "platform/entities/zyclient.h"
#include "platform/log/evdebug.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zyondemand_client.h"
#include "platform/threads/hubclock.h"

namespace I2 {
namespace Utils {

namespace {

bool propertyIsOne(unsigned long clientId, const char* name) {
    std::string value;
    return zyent::readProperty<APP_ClientProp>(nullptr, static_cast<long>(clientId), name, value) == 0 &&
           value == "1";
}

bool listenerAnswers(int clientId) {
    CZyNetwork probe;
    return AttemptSessionAttach(probe, clientId) == 1;
}

}  // namespace

bool IsPowerManagedVMOnline(const std::string& hostName, bool& powerOnSent, int checks, int waitSeconds,
                            const void*, const CHubClock& clock) {
    powerOnSent = false;
    std::string host, clientName;
    int serviceNumber = 0, port = 0;
    if (!DemangleHostName(hostName, host, clientName, serviceNumber, port)) clientName = hostName;
    ZYClient client(clientName);
    unsigned long clientId = 0;
    if (client.lookup() != 0 || client.getClientId(clientId) != 0) return true;
    if (!propertyIsOne(clientId, kPowerManagedProperty)) return true;

    if (listenerAnswers(static_cast<int>(clientId))) return true;
    if (checks <= 0) {
        // Recorded where the virtualisation manager reads its power-on requests.
        const long long now = clock.epochSeconds();
        const int rc = zyent::writeProperty<APP_ClientProp>(
            nullptr, static_cast<long>(clientId), kPowerOnRequestedProperty, 0, std::to_string(now), now);
        EvDebug log(nullptr);
        if (rc != 0) {
            log.debugLvl(-1, "power-on request for media agent [%s] could not be recorded (%d)",
                         clientName.c_str(), rc);
            return false;
        }
        log.debugLvl(1, "power-on request recorded for media agent [%s]", clientName.c_str());
        powerOnSent = true;
        return false;
    }

    unsigned interval = kDefaultPowerCheckIntervalSeconds;
    ZYPlatformInfo::getNumber(kPowerCheckSection, kPowerCheckIntervalName, &interval);
    const auto limit = clock.steadyNow() +
                       std::chrono::seconds(waitSeconds < 0 ? static_cast<long long>(checks) * interval + 1
                                                            : static_cast<long long>(waitSeconds));
    for (int i = 0; i < checks; ++i) {
        const auto wake = clock.steadyNow() + std::chrono::seconds(interval);
        if (wake > limit) break;
        clock.sleepUntil(wake);
        if (listenerAnswers(static_cast<int>(clientId))) return true;
    }
    return false;
}

bool IsVirtualClient(unsigned long clientId) {
    return propertyIsOne(clientId, kVirtualClientProperty);
}

}  // namespace Utils
}  // namespace I2
