#include "platform/entities/infrastructurepeers.h"

#include <sqlite3.h>

#include <utility>

#include "platform/entities/zyclient.h"
#include "platform/threads/hubclock.h"

CInfrastructurePeers::CInfrastructurePeers(std::string hubDbPath, std::chrono::seconds refresh,
                                           const CHubClock& clock)
    : m_path(std::move(hubDbPath)), m_refresh(refresh), m_clock(clock) {}

bool CInfrastructurePeers::contains(const std::string& clientName) {
    if (clientName.empty()) return false;
    CHubMutexLock lock(m_mutex);
    if (m_clock.steadyNow() - m_loaded >= m_refresh) reload();
    // Exactly as the database holds it: a certificate for a name in other letters is no machine's.
    return m_names.contains(clientName);
}

void CInfrastructurePeers::reload() {
    sqlite3* db = nullptr;
    std::set<std::string> names;
    bool read = false;
    if (sqlite3_open_v2(m_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 2000);
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db,
                               "SELECT name FROM APP_Client WHERE id = ?1 OR id IN (SELECT clientId FROM "
                               "mediaAgent)",
                               -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_bind_int64(statement, 1, static_cast<sqlite3_int64>(ZYClient::hubmasterClientId())) ==
                SQLITE_OK) {
            int rc;
            while ((rc = sqlite3_step(statement)) == SQLITE_ROW)
                if (const unsigned char* text = sqlite3_column_text(statement, 0))
                    names.insert(reinterpret_cast<const char*>(text));
            read = rc == SQLITE_DONE;
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    // A database that cannot be read now keeps what was known; it is tried again at the next refresh.
    if (read) m_names = std::move(names);
    m_loaded = m_clock.steadyNow();
}
