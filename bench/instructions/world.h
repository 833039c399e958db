// The instruction benchmark's world: a data folder for the real host (tools/hubmaster) over the media
// agent's benchmark catalogue (bench/support/catalogue.h), laid out as the demo world lays out its own:
// the Hubmaster database with the catalogue's rows, the host's client and an administrator allowed to
// browse; the registry with the keys of tokens and signed requests; the Hubmaster's authority and
// certificate in tls/, and the media agent's credentials in machines/<agent>/tls. Made afresh by every
// run (the item index, the one large part, is the media agent's and is kept beside it).
#pragma once

#include <filesystem>
#include <string>

namespace instrbench {

struct TWorld {
    std::filesystem::path folder;  // the host's data folder
    std::string hubName = "benchhub";
    std::string agentName = "benchagent";
    int hub = 0, client = 0, subclient = 0;
    std::string database() const { return (folder / "hub.db").string(); }
    std::string registry() const { return (folder / "registry.ini").string(); }
    std::string authority() const { return (folder / "tls" / "authority.crt").string(); }
    std::string agentTls() const { return (folder / "machines" / agentName / "tls").string(); }
};

// Makes the world in `folder` (emptied first). False with `error`.
bool makeWorld(const std::filesystem::path& folder, TWorld& world, std::string& error);

// Points the world's clients at where their processes listen (the host's own client, or a media agent).
bool pointClientAt(const TWorld& world, const std::string& client, int port, std::string& error);

}  // namespace instrbench
