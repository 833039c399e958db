// The service pack a cluster (virtual) client speaks: the lowest of its physical nodes'. Answered from
// the Hubmaster database; any thread.
#pragma once

#include <string>

namespace I2 {
namespace Utils {

// What GetMinServicePackOfClusterClient found.
enum class EClusterServicePack {
    kUnknownClient,  // no client of that name
    kNotCluster,     // the client is not a virtual (cluster) client
    kNoNodes,        // a cluster client without physical nodes
    kLowest,         // `servicePack` holds the lowest node's service pack (0: none known)
};

EClusterServicePack GetMinServicePackOfClusterClient(const std::string& clientName, int& servicePack);

}  // namespace Utils
}  // namespace I2
