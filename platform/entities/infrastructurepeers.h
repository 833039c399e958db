// Which proven peers are the installation's infrastructure: the Hubmaster's own client and the media
// agents, as the Hubmaster database names them. A host or media agent process hands `contains` to the
// network layer (TZyNetOptions::isInfrastructure) so that a client machine's certificate proves its
// name but earns none of the infrastructure's limits. Any thread.
#pragma once

#include <chrono>
#include <memory>
#include <set>
#include <string>

#include "platform/threads/hubclock.h"
#include "platform/threads/hubmutex.h"

class CInfrastructurePeers {
public:
    // Reads the Hubmaster database at `hubDbPath` (read-only), again at most every `refresh`: a media
    // agent added to the installation is known within that time.
    explicit CInfrastructurePeers(std::string hubDbPath,
                                  std::chrono::seconds refresh = std::chrono::seconds(10),
                                  const CHubClock& clock = CHubClock::real());

    // True when `clientName` (case does not matter) is the Hubmaster's client or a media agent's.
    bool contains(const std::string& clientName);

private:
    void reload() REQUIRES(m_mutex);

    const std::string m_path;
    const std::chrono::seconds m_refresh;
    const CHubClock& m_clock;
    CHubMutex m_mutex;
    std::set<std::string> m_names GUARDED_BY(m_mutex);  // lower case
    std::chrono::steady_clock::time_point m_loaded GUARDED_BY(m_mutex){};
};
