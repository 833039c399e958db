// XmlProcsSeed: seed-builder additions for the XML-answering procedures: owners of clients, the
// live-browse configuration of machines and the member servers of SharePoint farms. Index databases,
// checkpoints and virtual machines come from FamiliesBSeed and RowSeed. Works on a HubDbSeed's file;
// one object per seed, used by the seed's thread.
//
//   hubdb::HubDbSeed seed(path);
//   hubdb::XmlProcsSeed xml(seed);
//   xml.addClientOwner(vm.clientId, userId);
//   xml.setLiveBrowseConfig({.clientId = client, .proxyRequired = true, .proxyClientId = proxy});
#pragma once

#include <string>

#include "platform/hubdb/hubdbseed.h"

namespace hubdb {

struct LiveBrowseConfigSeed {
    int clientId = 0;
    int userId = 0;  // 0: for every user
    bool proxyRequired = false;
    int proxyClientId = 0;  // 0: none
    std::string userName{};
};

class XmlProcsSeed : public SeedPart {
public:
    explicit XmlProcsSeed(HubDbSeed& seed) : SeedPart(seed) {}

    // Each returns 0, or -1 with error().
    int addClientOwner(int clientId, int userId);
    int setLiveBrowseConfig(const LiveBrowseConfigSeed& config);
    int addSharePointMember(int farmClientId, int memberClientId, bool primary = false);

private:
    int insert(const std::string& table, const std::vector<std::pair<std::string, zydb::DbValue>>& columns);
};

}  // namespace hubdb
