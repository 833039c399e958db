// ZYSim: the release a client runs, as the software-installation records give it. Any thread; reads
// run on the calling thread's connection.
#pragma once

#include <string>

namespace ZYSim {
// The release text of a client that is a media agent ("11.0 SP24"), by client name; 0 found, 100 for
// an unknown client or one that is not a media agent, else the database error (`version` untouched).
int simGetVersionOfClient(const std::string& clientName, std::string& version);
}  // namespace ZYSim
