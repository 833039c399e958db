// The whole chain over the media agent's benchmark catalogue, for the benchmarks that browse through it:
// the service started in this process over the catalogue's Hubmaster database (its router on a loopback
// port), a real media-agent process (release 11) serving the item index with its index service started,
// and the item index opened for the raw reads. Started once by the first call, from the main thread;
// stopped by stopCatalogueChain. Header only.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "bench/support/cataloguechain.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/hubdb/hubdb.h"
#include "platform/log/evdebug.h"
#include "platform/msg/msg_security_key.h"
#include "platform/net/zynet_directory.h"
#include "service/fastbrowsehm_api.h"

namespace hubbench {

struct TCatalogueChain {
    std::string label;
    mediaagent::TIndexScale scale;
    std::filesystem::path folder;
    int appId = 0, client = 0, backupSet = 0, user = 0, hub = 0;
    int routerPort = 0, agentPort = 0;
    std::unique_ptr<mediaagent::CItemIndex> index;
    std::unique_ptr<hubtest::CChildProcess> agent;
    std::string fileOfVersions;
};

inline constexpr const char* kChainAgent = "benchagent";

inline TCatalogueChain& catalogueChain() {
    static TCatalogueChain c = [] {
        namespace fs = std::filesystem;
        TCatalogueChain c;
        const TCatalogueScale scale = catalogueScale();
        c.label = scale.label;
        c.scale = scale.scale;
        // Shared by every program of the build folder: the index is generated once.
        c.folder =
            fs::canonical("/proc/self/exe").parent_path().parent_path() / ("chain-catalogue-" + c.label);
        fs::create_directories(c.folder);
        const std::string hub = (c.folder / "hub.db").string();
        const std::string items = (c.folder / "items.db").string();
        const TCatalogueHub seeded = seedCatalogueHub(hub, kChainAgent, "11.0 SP24");
        c.client = seeded.rows.client;
        c.backupSet = seeded.rows.backupSet;
        c.appId = seeded.rows.subclient;
        c.hub = seeded.hub;
        c.user = seeded.user;
        ensureCatalogueIndex(hub, kChainAgent, scale, items);
        std::string error;
        c.index = mediaagent::CItemIndex::open(items, error);
        if (!c.index) giveUp(error);

        // The service in this process, its router on a loopback port; the media agent as its own process.
        EvDebugFileInstance::setLogDirectory(c.folder.string());
        ZYPlatformInfo::setRegistryPath((c.folder / "registry.ini").string());
        ZYPlatformInfo::setNumber("~Hubmaster", "nHubmasterClientId", static_cast<unsigned long>(c.hub));
        // The message-security key the service signs media agents' requests with, and the agent checks.
        ZYPlatformInfo::setString(kMsgSecurityKeySection, kMsgSecurityKeyName,
                                  "bench-chain-signing-key-" + std::to_string(getpid()));
        if (hubdb::openHubDatabase(hub, &error) != 0 || fastBrowseHMInitialize() != 1)
            giveUp("cannot start the service: " + error);
        char why[256] = "";
        c.routerPort = fastBrowseHMWaitForListener(30, why, sizeof why);
        if (c.routerPort <= 0) giveUp(std::string("BrowseRouter is not listening: ") + why);
        TCatalogueAgent agent = startCatalogueAgent(
            scale, hub, kChainAgent, items, c.folder.string(),
            {"--index-service", "started", "--registry", (c.folder / "registry.ini").string()});
        c.agent = std::move(agent.process);
        c.agentPort = agent.port;
        hubdb::HubDbSeed seed(hub);
        seed.exec("UPDATE APP_Client SET net_hostname = '127.0.0.1', zydPort = ? WHERE id = ?",
                  {zydb::DbValue::ofInt(c.routerPort), zydb::DbValue::ofInt(c.hub)});
        seed.exec("UPDATE APP_Client SET net_hostname = '127.0.0.1', zydPort = ? WHERE name = ?",
                  {zydb::DbValue::ofInt(c.agentPort), zydb::DbValue::ofText(kChainAgent)});
        CZyNetDirectory::instance().registerClient(kChainAgent, "127.0.0.1", c.agentPort);

        c.fileOfVersions = catalogueFileOfVersions(*c.index, c.appId);
        return c;
    }();
    return c;
}

// The query of a browse; the versions of one file as a range browse from before the first job.
inline mediaagent::TBrowseQuery chainBrowseQuery(TCatalogueBrowse b) {
    TCatalogueChain& c = catalogueChain();
    mediaagent::TBrowseQuery q = catalogueBrowseQuery(b, c.appId, c.fileOfVersions);
    if (b == kFileVersions) {
        q.fromTime = kCatalogueFirstJob - 1;
        q.toTime = kCatalogueFirstJob + 10 * kCatalogueDay;
    }
    return q;
}

inline void stopCatalogueChain() {
    fastBrowseHMCleanUp();
    catalogueChain().agent.reset();
    zydb::CDbEnv::close();
}

}  // namespace hubbench
