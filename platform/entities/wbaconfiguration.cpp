#include "platform/entities/wbaconfiguration.h"

#include <cctype>

#include "platform/db/dbresult.h"
#include "platform/hubdb/entitytables.h"
#include "platform/log/evdebug.h"

namespace {

constexpr unsigned int kNoLimit = 0x7fffffff;

char canonical(char c, bool ignoreCase) {
    if (c == '\\') return '/';
    return ignoreCase ? static_cast<char>(std::tolower(static_cast<unsigned char>(c))) : c;
}

// `prefix` holds `path`: equal, or the path goes on with a separator right after the prefix.
bool holds(const std::string& prefix, const std::string& path, bool ignoreCase) {
    if (prefix.empty() || path.size() < prefix.size()) return false;
    for (size_t k = 0; k < prefix.size(); ++k)
        if (canonical(prefix[k], ignoreCase) != canonical(path[k], ignoreCase)) return false;
    if (path.size() == prefix.size()) return true;
    const char last = canonical(prefix.back(), false);
    return last == '/' || canonical(path[prefix.size()], false) == '/';
}

}  // namespace

WBAConfiguration::WBAConfiguration(unsigned long clientId, unsigned long backupSetId, unsigned int toTime)
    : m_clientId(clientId), m_backupSetId(backupSetId), m_toTime(toTime) {}

WBAConfiguration::~WBAConfiguration() = default;

int WBAConfiguration::Load() {
    EvDebug log(nullptr);
    log.setPrefixMessage("WBACONFIG");
    WBAReplicationPair t(nullptr);
    t.setIsolationType(4);
    const bool current = m_toTime == 0 || m_toTime >= kNoLimit;
    if (current)
        t.setWhere("sourceClientId = %lu AND (%lu = 0 OR sourceRepSetId = %lu) AND modified = 0", m_clientId,
                   m_backupSetId, m_backupSetId);
    else
        t.setWhere(
            "sourceClientId = %lu AND (%lu = 0 OR sourceRepSetId = %lu) AND created <= %u AND "
            "(%u < modified OR modified = 0)",
            m_clientId, m_backupSetId, m_backupSetId, m_toTime, m_toTime);
    std::vector<std::pair<std::string, std::string>> pairs;
    bool first = true;
    WBAReplicationPair_t dest;
    int rc;
    while ((rc = t.getNextRow(&t, nullptr, 0, 0)) == zydb::DB_OK) {
        const WBAReplicationPair_t* r = t.getDataPtr();
        if (first) {
            dest = *r;
            first = false;
        } else if (r->sourceRepSetId != dest.sourceRepSetId || r->destClientId != dest.destClientId ||
                   r->destBackupSetId != dest.destBackupSetId || r->destAppType != dest.destAppType) {
            log.debugLvl(
                0,
                "ERROR: replication pairs of client [%lu] name more than one replication set or destination",
                m_clientId);
            return 2;
        }
        pairs.emplace_back(r->sourcePath ? r->sourcePath : "", r->destPath ? r->destPath : "");
    }
    if (rc != zydb::DB_NO_DATA) {
        log.debugLvl(0, "ERROR: replication pairs of client [%lu] cannot be read: %s", m_clientId,
                     t.getErrorStr(rc));
        return rc;
    }
    if (pairs.empty()) {
        log.debugLvl(1, "client [%lu] has no replication set in force", m_clientId);
        return 1;
    }
    m_sourceRepSet = static_cast<unsigned long long>(dest.sourceRepSetId);
    m_destHost = dest.destClientId;
    m_destBackupSet = static_cast<unsigned long long>(dest.destBackupSetId);
    m_destAppType = static_cast<unsigned long long>(dest.destAppType);
    m_pairs.swap(pairs);
    return 0;
}

bool WBAConfiguration::Match(std::string path, std::vector<std::pair<std::string, std::string>>& pairs,
                             bool ignoreCase) {
    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& p : m_pairs)
        if (holds(p.first, path, ignoreCase)) found.push_back(p);
    if (found.empty()) return false;
    pairs.swap(found);
    return true;
}
