#include "planning/handedover.h"

#include <algorithm>
#include <functional>

#include "platform/config/zyplatforminfo.h"
#include "platform/tasks/evrestoretask.h"

namespace {

// A generation of sessions that gave way is closed (sorted) after this long, or at this many.
constexpr auto kGenerationSpan = std::chrono::seconds(60);
constexpr size_t kGenerationSize = size_t{1} << 18;

}  // namespace

CHandedOverSessions& CHandedOverSessions::instance() {
    static CHandedOverSessions* sessions = new CHandedOverSessions();  // used by threads ending at exit
    return *sessions;
}

std::chrono::seconds CHandedOverSessions::keepFromRegistry() {
    unsigned keep = static_cast<unsigned>(kDefaultKeep.count());
    ZYPlatformInfo::getNumber("EventManager", "nBrowseWorkerIdleLimitSec", &keep);
    return std::chrono::seconds(keep);
}

TSessionOwner TSessionOwner::of(EvMultiEntityRestoreTask& task) {
    TSessionOwner who;
    who.userId = static_cast<int>(task.getUserId());
    who.callerClientId = task.getCallerClientId();
    who.clientId = task.getClientId();
    who.userName = task.getUserName() ? task.getUserName() : "";
    return who;
}

void CHandedOverSessions::eraseLocked(std::map<std::string, TEntry>::iterator entry) {
    auto share = m_perOwner.find(entry->second.session.owner.callerKey());
    if (share != m_perOwner.end()) {
        share->second.erase({entry->second.expires, entry->first});
        if (share->second.empty()) m_perOwner.erase(share);
    }
    m_expiry.erase(entry->second.expiry);
    m_sessions.erase(entry);
}

uint64_t CHandedOverSessions::hashOf(const std::string& guid) {
    static_assert(sizeof(size_t) == sizeof(uint64_t));
    return std::hash<std::string>{}(guid);
}

uint32_t CHandedOverSessions::secondsFromEpoch(std::chrono::steady_clock::time_point at, bool roundUp) const {
    const auto since = at - m_epoch;
    const auto seconds = roundUp ? std::chrono::ceil<std::chrono::seconds>(since).count()
                                 : std::chrono::floor<std::chrono::seconds>(since).count();
    return static_cast<uint32_t>(std::clamp<long long>(seconds, 0, UINT32_MAX - 1));
}

CHandedOverSessions::TGiverKey CHandedOverSessions::giverKeyOf(const TSession& session) {
    return {session.owner.userId, session.owner.callerClientId, session.owner.clientId,
            session.owner.userName, session.mediaAgent};
}

bool CHandedOverSessions::forgetGivenWayLocked(uint64_t id, uint32_t now) {
    bool forgotten = false;
    while (TGivenWay* given = findGivenWayLocked(id, now)) {
        releaseGiverLocked(given->giver);
        given->giver = kNoGiver;
        forgotten = true;
    }
    return forgotten;
}

void CHandedOverSessions::releaseGiverLocked(uint32_t giver) {
    if (giver == kNoGiver || --m_givers[giver].uses > 0) return;
    m_giverIndex.erase(giverKeyOf(m_givers[giver].session));
    m_givers[giver] = TGiver{};
    m_freeGivers.push_back(giver);
}

void CHandedOverSessions::closeOpenGenerationLocked() {
    if (m_openGivenWay.empty()) return;
    TGeneration closed;
    closed.lapses = m_openLapses;
    closed.sorted.reserve(m_openGivenWay.size());
    for (const auto& [id, given] : m_openGivenWay) closed.sorted.push_back(given);
    std::sort(closed.sorted.begin(), closed.sorted.end());
    m_closedGivenWay.push_back(std::move(closed));
    m_openGivenWay = {};
    m_openLapses = 0;
}

void CHandedOverSessions::dropGenerationLocked() {
    if (m_closedGivenWay.empty()) closeOpenGenerationLocked();
    if (m_closedGivenWay.empty()) return;
    for (const TGivenWay& given : m_closedGivenWay.front().sorted) releaseGiverLocked(given.giver);
    m_givenWayCount -= m_closedGivenWay.front().sorted.size();
    m_closedGivenWay.pop_front();
}

CHandedOverSessions::TGivenWay* CHandedOverSessions::findGivenWayLocked(uint64_t id, uint32_t now) {
    auto alive = [now](const TGivenWay& given) { return given.giver != kNoGiver && given.lapses > now; };
    if (auto open = m_openGivenWay.find(id); open != m_openGivenWay.end() && alive(open->second))
        return &open->second;
    for (auto generation = m_closedGivenWay.rbegin(); generation != m_closedGivenWay.rend(); ++generation) {
        auto& sorted = generation->sorted;
        auto found = std::lower_bound(sorted.begin(), sorted.end(), TGivenWay{id});
        if (found != sorted.end() && found->id == id && alive(*found)) return &*found;
    }
    return nullptr;
}

uint32_t CHandedOverSessions::acquireGiverLocked(const TSession& session) {
    auto [giver, added] = m_giverIndex.emplace(giverKeyOf(session), 0);
    if (added) {
        if (m_freeGivers.empty()) {
            giver->second = static_cast<uint32_t>(m_givers.size());
            m_givers.emplace_back();
        } else {
            giver->second = m_freeGivers.back();
            m_freeGivers.pop_back();
        }
        m_givers[giver->second].session = session;
    }
    ++m_givers[giver->second].uses;
    return giver->second;
}

void CHandedOverSessions::giveWayLocked(std::map<std::string, TEntry>::iterator entry) {
    const uint32_t giver = acquireGiverLocked(entry->second.session);
    const auto now = m_clock->steadyNow();
    if (m_openGivenWay.empty()) m_openedAt = now;
    const TGivenWay given{hashOf(entry->first), giver, secondsFromEpoch(entry->second.expires, true)};
    auto [slot, fresh] = m_openGivenWay.try_emplace(given.id, given);
    if (fresh) {
        ++m_givenWayCount;
    } else {
        releaseGiverLocked(slot->second.giver);
        slot->second = given;
    }
    m_openLapses = std::max(m_openLapses, given.lapses);
    eraseLocked(entry);
    if (m_openGivenWay.size() >= kGenerationSize || now - m_openedAt >= kGenerationSpan)
        closeOpenGenerationLocked();
    while (m_givenWayCount > kMaxGivenWay) dropGenerationLocked();
}

void CHandedOverSessions::dropExpiredLocked() {
    const auto now = m_clock->steadyNow();
    if (!m_openGivenWay.empty() && now - m_openedAt >= kGenerationSpan) closeOpenGenerationLocked();
    const uint32_t seconds = secondsFromEpoch(now, false);
    while (!m_closedGivenWay.empty() && m_closedGivenWay.front().lapses <= seconds) dropGenerationLocked();
    while (!m_expiry.empty() && m_expiry.begin()->first <= now) {
        auto found = m_sessions.find(m_expiry.begin()->second);
        if (found == m_sessions.end()) {
            m_expiry.erase(m_expiry.begin());
            continue;
        }
        eraseLocked(found);
    }
}

CHandedOverSessions::ERemembered CHandedOverSessions::remember(const std::string& guid,
                                                               const TSession& session,
                                                               std::chrono::seconds keep) {
    if (guid.empty()) return ERemembered::kKept;
    CHubMutexLock lock(m_mutex);
    dropExpiredLocked();
    const TOwnerKey owner = session.owner.callerKey();
    const uint64_t id = hashOf(guid);
    const uint32_t now = secondsFromEpoch(m_clock->steadyNow(), false);
    std::string handedTo = session.mediaAgent;
    if (auto found = m_sessions.find(guid); found != m_sessions.end()) {
        if (!found->second.session.owner.isSameCaller(session.owner)) return ERemembered::kOtherOwner;
        if (handedTo.empty()) handedTo = found->second.session.mediaAgent;
        eraseLocked(found);
    } else if (const TGivenWay* given = findGivenWayLocked(id, now)) {
        if (!m_givers[given->giver].session.owner.isSameCaller(session.owner))
            return ERemembered::kOtherOwner;
        if (handedTo.empty()) handedTo = m_givers[given->giver].session.mediaAgent;
    }
    // The owner's own oldest gives way to its newest: only that owner's sessions are ever forgotten in
    // full, and a busy caller is never refused for her own many browses.
    if (auto share = m_perOwner.find(owner);
        share != m_perOwner.end() && share->second.size() >= kMaxSessionsPerOwner)
        giveWayLocked(m_sessions.find(share->second.begin()->second));
    if (m_sessions.size() >= kMaxSessions) return ERemembered::kFull;
    forgetGivenWayLocked(id, now);  // hers again, and kept in full from now on
    const auto expires = m_clock->steadyNow() + keep;
    m_perOwner[owner].emplace(expires, guid);
    TEntry& entry = m_sessions[guid];
    entry.session = session;
    entry.session.mediaAgent = std::move(handedTo);
    entry.expires = expires;
    entry.expiry = m_expiry.emplace(expires, guid);
    return ERemembered::kKept;
}

bool CHandedOverSessions::find(const std::string& guid, TSession& session) {
    CHubMutexLock lock(m_mutex);
    dropExpiredLocked();
    if (auto found = m_sessions.find(guid); found != m_sessions.end()) {
        session = found->second.session;
        return true;
    }
    const TGivenWay* given = findGivenWayLocked(hashOf(guid), secondsFromEpoch(m_clock->steadyNow(), false));
    if (!given) return false;
    session = m_givers[given->giver].session;
    return true;
}

bool CHandedOverSessions::heldByOther(const std::string& guid, const TSessionOwner& who) {
    TSession held;
    return find(guid, held) && !held.owner.isSameCaller(who);
}

bool CHandedOverSessions::endHandOver(const std::string& guid) {
    CHubMutexLock lock(m_mutex);
    dropExpiredLocked();
    if (auto found = m_sessions.find(guid); found != m_sessions.end()) {
        const bool had = !found->second.session.mediaAgent.empty();
        found->second.session.mediaAgent.clear();
        return had;
    }
    TGivenWay* given = findGivenWayLocked(hashOf(guid), secondsFromEpoch(m_clock->steadyNow(), false));
    if (!given || m_givers[given->giver].session.mediaAgent.empty()) return false;
    TSession told = m_givers[given->giver].session;
    told.mediaAgent.clear();
    const uint32_t giver = acquireGiverLocked(told);
    releaseGiverLocked(given->giver);
    given->giver = giver;
    return true;
}

void CHandedOverSessions::restart(const CHubClock& clock) {
    CHubMutexLock lock(m_mutex);
    m_sessions.clear();
    m_expiry.clear();
    m_perOwner.clear();
    m_openGivenWay = {};
    m_closedGivenWay.clear();
    m_openLapses = 0;
    m_givenWayCount = 0;
    m_givers.clear();
    m_giverIndex.clear();
    m_freeGivers.clear();
    m_clock = &clock;
    m_epoch = clock.steadyNow();
}

bool CHandedOverSessions::forget(const std::string& guid) {
    CHubMutexLock lock(m_mutex);
    bool forgotten = false;
    if (auto found = m_sessions.find(guid); found != m_sessions.end()) {
        eraseLocked(found);
        forgotten = true;
    }
    return forgetGivenWayLocked(hashOf(guid), secondsFromEpoch(m_clock->steadyNow(), false)) || forgotten;
}

size_t CHandedOverSessions::size() {
    CHubMutexLock lock(m_mutex);
    dropExpiredLocked();
    return m_sessions.size();
}
