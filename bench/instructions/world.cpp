#include "bench/instructions/world.h"

#include "bench/support/catalogue.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdb/seed_families_a.h"
#include "platform/msg/msg_security_key.h"
#include "platform/net/zynet_tls.h"
#include "platform/security/securityseed.h"

namespace instrbench {

namespace fs = std::filesystem;

bool makeWorld(const fs::path& folder, TWorld& world, std::string& error) {
    std::error_code ec;
    fs::remove_all(folder, ec);
    fs::create_directories(folder, ec);
    if (ec) {
        error = "cannot make " + folder.string() + ": " + ec.message();
        return false;
    }
    // The world holds its keys: the owner's alone, as the host insists.
    fs::permissions(folder, fs::perms::owner_all, ec);
    world.folder = folder;
    {
        hubdb::HubDbSeed seed(world.database());
        seed.begin();
        const hubbench::TCatalogueRows rows = hubbench::seedCatalogueRows(seed, world.agentName, "11.0 SP24");
        world.client = rows.client;
        world.subclient = rows.subclient;
        world.hub = seed.addClient({.name = world.hubName});
        const int admin = hubdb::RowSeed(seed).addUser({.login = "admin"});
        zysec::SecuritySeed(seed).grant(admin, zysec::kPermBrowse, {});
        seed.commit();
        if (!seed.ok()) {
            error = "cannot seed " + world.database() + ": " + seed.error();
            return false;
        }
    }
    // Fixed keys: every run signs and checks the same way (their values cost nothing to vary).
    ZYPlatformInfo::setRegistryPath(world.registry());
    if (!ZYPlatformInfo::setString("~Hubmaster", "sZetaTokenKey", std::string(64, '7')) ||
        !ZYPlatformInfo::setString(kMsgSecurityKeySection, kMsgSecurityKeyName, std::string(64, '5')) ||
        !ZYPlatformInfo::setNumber("~Hubmaster", "nHubmasterClientId",
                                   static_cast<unsigned long>(world.hub))) {
        error = "cannot write " + world.registry();
        return false;
    }
    const std::string tls = (folder / "tls").string();
    if (!createZyNetAuthority(tls, "benchmark authority", error) ||
        !issueZyNetCredentials(tls, world.hubName, tls, error) ||
        !issueZyNetCredentials(tls, world.agentName, world.agentTls(), error))
        return false;
    return true;
}

bool pointClientAt(const TWorld& world, const std::string& client, int port, std::string& error) {
    hubdb::HubDbSeed seed(world.database());
    seed.exec("UPDATE APP_Client SET net_hostname = '127.0.0.1', zydPort = ? WHERE name = ?",
              {zydb::DbValue::ofInt(port), zydb::DbValue::ofText(client)});
    if (seed.ok()) return true;
    error = "cannot point " + client + " at its port: " + seed.error();
    return false;
}

}  // namespace instrbench
