#include "tools/mediaagent/peerrule.h"

#include <sqlite3.h>
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <functional>
#include <thread>

#include "platform/config/zyplatforminfo.h"
#include "platform/entities/zyclient.h"
#include "platform/errors/cuxerror.h"
#include "platform/errors/cuxstring.h"
#include "platform/msg/errorresponse.h"
#include "platform/msg/msg_classes.h"
#include "platform/net/zynetwork.h"
#include "platform/threads/hubclock.h"
#include "tools/mediaagent/sqlitestmt.h"

namespace mediaagent {

std::string TPeerRule::peerName(const CZyNetwork& session) {
    CUxString name;
    if (session.GetRemoteClientName(name).IsError()) return {};
    return name.c_str();
}

bool TPeerRule::isHubmasterName(const std::string& name) const {
    // Exactly as the database holds it: the authority refuses names that differ only in case.
    return !hubmasterName.empty() && !name.empty() && name == hubmasterName;
}

long long CSignatureLedger::nextWholeSecond() {
    using namespace std::chrono;
    const auto now = CHubClock::real().wallNow();
    const auto next = ceil<seconds>(now + nanoseconds(1));
    std::this_thread::sleep_until(next);
    return duration_cast<seconds>(next.time_since_epoch()).count();
}

bool CSignatureLedger::firstUse(const std::string& signature, long long createTime, long long window) {
    if (createTime < m_startedAt) return false;
    const long long now = m_clock.epochSeconds();
    const uint64_t key = std::hash<std::string>{}(signature);
    CHubMutexLock hold(m_lock);
    while (!m_expiry.empty() && m_expiry.top().first < now) {
        m_seen.erase(m_expiry.top().second);
        m_expiry.pop();
    }
    if (!m_seen.insert(key).second) return false;
    // Past createTime + window the signature check refuses it as stale (one signed ahead of this clock
    // is kept that much longer).
    m_expiry.emplace(createTime + window, key);
    return true;
}

void refuseCaller(CZyNetwork& session, const char* text) {
    constexpr int kSendSeconds = 30;
    databrowse::BrowseResponse refused = errorresponse::of(
        databrowse::BROWSE_ERR_GENERIC,
        text ? text
             : "This media agent answers only the Hubmaster and requests the Hubmaster signed; ask "
               "the Hubmaster for a signed request");
    databrowse::BrowseResponse end;
    end.setint64(databrowse::BrowseResponse::f::respType, databrowse::BROWSE_RESP_END);
    bool timedOut = false;
    if (!session.SendXMLMessage(refused, 0, kSendSeconds, timedOut).IsError())
        ignoreResult(session.SendXMLMessage(end, 0, kSendSeconds, timedOut),
                     "a caller gone before the end has nobody to tell");
}

bool loadPeerRule(const std::string& hubDbPath, TPeerRule& rule, std::string& error) {
    unsigned int plain = 0;
    ZYPlatformInfo::getNumber(kPeerRuleSection, kPlainModeValue, &plain);
    rule.acceptPlain = plain != 0;
    if (!rule.hubmasterName.empty()) return true;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(hubDbPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        CSqliteStatement lookUp;
        if (lookUp.prepare(db, "SELECT name FROM APP_Client WHERE id = ?1") &&
            sqlite3_bind_int64(lookUp.get(), 1, static_cast<sqlite3_int64>(ZYClient::hubmasterClientId())) ==
                SQLITE_OK &&
            sqlite3_step(lookUp.get()) == SQLITE_ROW)
            if (const unsigned char* text = sqlite3_column_text(lookUp.get(), 0))
                rule.hubmasterName = reinterpret_cast<const char*>(text);
    }
    sqlite3_close(db);
    if (!rule.hubmasterName.empty()) return true;
    error = "the Hubmaster database " + hubDbPath + " names no Hubmaster client";
    return false;
}

}  // namespace mediaagent
