#include "platform/indexing/clusterservicepack.h"

#include <algorithm>
#include <climits>
#include <vector>

#include "platform/entities/installmanager.h"
#include "platform/entities/zyclient.h"
#include "platform/indexing/indexingversion.h"
#include "platform/indexing/powermanagement.h"

namespace I2 {
namespace Utils {

EClusterServicePack GetMinServicePackOfClusterClient(const std::string& clientName, int& servicePack) {
    servicePack = 0;
    ZYClient client(clientName);
    unsigned long clientId = 0;
    if (client.lookup() != 0 || client.getClientId(clientId) != 0) return EClusterServicePack::kUnknownClient;
    if (!IsVirtualClient(clientId)) return EClusterServicePack::kNotCluster;
    ZyAPP_VMToPMMap map(nullptr);
    std::vector<int> nodes;
    if (map.GetAllPMsMappedToAVM(static_cast<int>(clientId), nodes) != 0 || nodes.empty())
        return EClusterServicePack::kNoNodes;
    int lowest = INT_MAX;
    for (int id : nodes) {
        std::string name;
        if (ZYClient(static_cast<unsigned long>(id)).getName(name) == 0)
            lowest = std::min(lowest, GetClientServicePack(name));
    }
    servicePack = lowest == INT_MAX ? 0 : lowest;
    return EClusterServicePack::kLowest;
}

}  // namespace Utils
}  // namespace I2
