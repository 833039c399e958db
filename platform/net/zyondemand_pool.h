// ZYOnDemandSvcNetPool: the session pool of one launched on-demand service instance, which also keeps
// the GUID the launch gave the instance. Used as ZyNetworkPool is (any thread borrows and returns).
#pragma once

#include <string>

#include "platform/net/zynetwork_pool.h"

class ZYOnDemandSvcNetPool : public ZyNetworkPool {
public:
    explicit ZYOnDemandSvcNetPool(const CHubClock& clock = CHubClock::real()) : ZyNetworkPool(clock) {}
    void setOdsGuid(std::string guid) { m_odsGuid = std::move(guid); }
    const std::string& getOdsGuid() const { return m_odsGuid; }

private:
    std::string m_odsGuid;  // set once, before the pool is shared
};
