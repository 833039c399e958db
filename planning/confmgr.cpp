#include "planning/confmgr.h"

#include <chrono>
#include <exception>
#include <memory>
#include <new>
#include <thread>

#include "fbDebug/fbdebug.h"
#include "planning/confrecord.h"
#include "planning/handedover.h"
#include "platform/db/requestscope.h"
#include "platform/msg/errorresponse.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/taskoptions.h"

CConfigurationMgr* g_poConfMgr = nullptr;

namespace {
const char* const kTag = "FBHMCONFIGMGR";
// A nested browse (the dot browse of an unknown item), run on the thread of its outer browse.
}  // namespace

CConfigurationMgr::CConfigurationMgr() = default;

CConfigurationMgr::~CConfigurationMgr() {
    CBrowseLog log(kTag);
    ZyCriticalSectionLock guard(&m_lock);
    for (CConfRecord* record : m_records) {
        log.debugLvl(2, "Configuration[%s] is going to be deleted.", record->getId().c_str());
        delete record;
    }
    m_records.clear();
}

std::string CConfigurationMgr::openConfRef(EvMultiEntityRestoreTask* task, bool& flag) {
    TConfError error;
    return openConfRef(task, flag, error);
}

bool CConfigurationMgr::claimSession(EvMultiEntityRestoreTask* task, const std::string& session,
                                     std::string& seenId, bool& shared, TConfError& error) {
    CBrowseLog log(kTag);
    shared = false;
    // Wait while a record of this session is referenced or being planned; a record of it that nobody
    // references is an earlier request's leftover (its owner never asked for its deletion): delete it
    // instead of blocking the session until it ages out.
    unsigned slept = 0;
    const std::chrono::seconds keep = CHandedOverSessions::keepFromRegistry();
    for (;;) {
        TClaim claim = TClaim::Claimed;
        ConflictPause pause;
        {
            ZyCriticalSectionLock guard(&m_lock);
            claim = claimLocked(task, session, keep, seenId);
            pause = m_conflictPause;
        }
        if (claim == TClaim::Claimed) break;
        if (claim == TClaim::Shared) {
            shared = true;
            return true;
        }
        if (claim == TClaim::Foreign) {
            // Another caller's session is neither waited for nor taken over once that caller's browse
            // ends: the name stays its owner's.
            log.debugLvl(0, "browse session [%s] belongs to another caller; refused", seenId.c_str());
            error = {databrowse::BROWSE_ERR_PERMISSION, CHandedOverSessions::inUseText(session)};
            setLastError(error.code, error.text);
            return false;
        }
        if (claim == TClaim::Full) {
            log.debugLvl(0, "browse session [%s] not kept: %s", session.c_str(), kTooManySessionsText);
            error = {databrowse::BROWSE_ERR_GENERIC, kTooManySessionsText};
            setLastError(error.code, error.text);
            return false;
        }
        if (claim == TClaim::Stale) {
            // The session is being stopped: later requests of it are refused, not queued behind it.
            log.debugLvl(0, "Configuration [%s] received a stop request; the new request is refused.",
                         seenId.c_str());
            error = {databrowse::BROWSE_ERR_GENERIC,
                     "ERROR: Stop request received for the Configuration[" + seenId + "]."};
            setLastError(error.code, error.text);
            return false;
        }
        if (slept >= m_conflictTries) {
            log.debugLvl(0, "Configuration [%s] was already in use. Conflict still exists after %d seconds.",
                         seenId.c_str(), static_cast<int>(slept * m_conflictIntervalMs / 1000));
            error = {databrowse::BROWSE_ERR_GENERIC,
                     "The browse session [" + seenId + "] is still in use by an earlier request."};
            setLastError(error.code, error.text);
            return false;
        }
        // The request's snapshot is not held through the wait: the planning that follows it reads the
        // database as it is then (a backup that ended meanwhile included).
        zydb::readAfresh();
        if (pause)
            pause(m_conflictIntervalMs);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(m_conflictIntervalMs));
        ++slept;
    }
    if (slept > 0) {
        log.debugLvl(0, "Configuration [%s] was in use. Conflict was resolved after %d second(s).",
                     seenId.c_str(), static_cast<int>(slept));
    }
    return true;
}

std::string CConfigurationMgr::openConfRef(EvMultiEntityRestoreTask* task, bool& flag, TConfError& error,
                                           EPlanning planning) {
    CBrowseLog log(kTag);
    flag = true;
    error = TConfError();
    const char* sessionText = task ? task->getbrowseSessionGUID() : nullptr;
    if (!sessionText || sessionText[0] == '\0') {
        // A record without a session could never be found again, released or aged out.
        log.debugLvl(0, "ERROR: a configuration needs the browse session GUID of its request.");
        error = {databrowse::BROWSE_ERR_GENERIC, "the browse request has no browse session"};
        setLastError(error.code, error.text);
        return std::string();
    }
    const std::string session = sessionText;
    std::string seenId;
    bool shared = false;
    if (!claimSession(task, session, seenId, shared, error)) return std::string();
    if (shared) return seenId;

    // The session is claimed: its planning (database and archive-manager queries) runs without the
    // cache's lock, so that other sessions plan, open and release at the same time, while a second
    // request of this session waits above. The claim goes however this scope is left.
    struct TClaimGuard {
        CConfigurationMgr& cache;
        const std::string& session;
        bool handedOver = false;  // the record is cached: the claim went with it
        ~TClaimGuard() {
            if (handedOver) return;
            ZyCriticalSectionLock guard(&cache.m_lock);
            cache.m_planning.erase(session);
        }
    } claimed{*this, session};

    std::unique_ptr<CConfRecord> record(new (std::nothrow) CConfRecord());
    if (!record) {
        log.debugLvl(0, "ERROR: new() failed to create CConfRecord object.");
        error = {databrowse::BROWSE_ERR_GENERIC, "failed to plan the browse session: out of memory"};
        setLastError(error.code, error.text);
        return std::string();
    }
    int rc = -1;
    bool threw = true;
    std::string thrown = "unknown";
    try {
        rc = planning == EPlanning::kPlanned ? record->init(task) : record->initUnplanned(task);
        threw = false;
    } catch (const std::exception& e) {
        thrown = e.what();
    } catch (const char* text) {
        if (text) thrown = text;
    } catch (const std::string& text) {
        thrown = text;
    } catch (...) {
    }
    if (threw) {
        log.debugLvl(0, "ERROR: planning of configuration [%s] failed: %s", session.c_str(), thrown.c_str());
        error = {databrowse::BROWSE_ERR_GENERIC, "failed to plan the browse session: " + thrown};
        setLastError(error.code, error.text);
        return std::string();
    }
    if (rc != 0) {
        error = {record->getLastErrorCode(), record->getLastError()};
        error.code = errorresponse::failureCode(error.code);
        setLastError(error.code, error.text);
        if (error.code != databrowse::BROWSE_ERR_NOTHING_TO_BROWSE) {
            log.debugLvl(0, "ERROR: failed to init() CConfRecord object. Deleting it.");
        }
        return std::string();
    }

    std::string id = record->getId();
    log.debugLvl(0, "new configuration [%s] was created.", id.c_str());
    {
        ZyCriticalSectionLock guard(&m_lock);
        // Room first: once the record is in the vector nothing below can fail half-way.
        m_records.reserve(m_records.size() + 1);
        m_openedOn[record.get()] = std::this_thread::get_id();
        record->lockConfiguration();
        m_records.push_back(record.release());
        m_planning.erase(session);
        claimed.handedOver = true;
    }
    log.debugLvl(2, "New Configuration[%s] was added to vector and will be used.", id.c_str());
    return id;
}

CConfigurationMgr::TClaim CConfigurationMgr::claimLocked(EvMultiEntityRestoreTask* task,
                                                         const std::string& session,
                                                         std::chrono::seconds keep, std::string& seenId) {
    CBrowseLog log(kTag);
    const TSessionOwner who = TSessionOwner::of(*task);
    // The session is its owner's for its whole keep, being planned, running or with no record left here.
    if (CHandedOverSessions::instance().heldByOther(session, who)) {
        seenId = session;
        return TClaim::Foreign;
    }
    if (m_planning.count(session) != 0) {
        seenId = session;
        return TClaim::Busy;
    }
    for (size_t i = 0; i < m_records.size();) {
        CConfRecord* record = m_records[i];
        if (!record->isSuitableFor(task)) {
            ++i;
            continue;
        }
        seenId = record->getId();
        if (record->getRefCount() == 0) {
            log.debugLvl(0, "Configuration [%s] was left unreferenced by an earlier request; deleting it.",
                         seenId.c_str());
            eraseLocked(i);
            continue;
        }
        const bool stale = record->getStaleFlag();
        const auto opener = m_openedOn.find(record);
        if ((task->getOptions() & taskoption::kNested) != 0 && !stale && opener != m_openedOn.end() &&
            opener->second == std::this_thread::get_id() && record->lockConfiguration()) {
            // Its outer request on this thread holds the record and waits for it: it shares it.
            log.debugLvl(2, "Configuration [%s] is shared with a nested request of its session.",
                         seenId.c_str());
            return TClaim::Shared;
        }
        return stale ? TClaim::Stale : TClaim::Busy;
    }
    // The session is its caller's from this browse to the end of its keep, whatever comes of it.
    switch (CHandedOverSessions::instance().remember(session, {who, std::string()}, keep)) {
        case CHandedOverSessions::ERemembered::kKept:
            break;
        case CHandedOverSessions::ERemembered::kOtherOwner:
            seenId = session;
            return TClaim::Foreign;
        case CHandedOverSessions::ERemembered::kFull:
            return TClaim::Full;
    }
    m_planning.insert(session);
    return TClaim::Claimed;
}

CConfRecord* CConfigurationMgr::getConfRec(const std::string& id, bool lock) {
    if (id.empty()) return nullptr;
    CBrowseLog log(kTag);
    ZyCriticalSectionLock guard(&m_lock);
    for (CConfRecord* record : m_records) {
        if (record->getId() != id) continue;
        log.debugLvl(4, "Configuration[%s] was found.", id.c_str());
        if (lock && !record->lockConfiguration()) return nullptr;
        return record;
    }
    return nullptr;
}

CConfRecordRef CConfigurationMgr::holdConfRec(const std::string& id) {
    return CConfRecordRef(getConfRec(id, true));
}

int CConfigurationMgr::closeConfRef(const std::string& id) {
    // The caller holds a reference, so the record cannot go between the look-up and the release; the
    // release itself runs without the cache's lock.
    CConfRecord* record = getConfRec(id, false);
    if (!record) {
        CBrowseLog log(kTag);
        log.debugLvl(0, "ERROR: Configuration[%s] was not found.", id.c_str());
        return -1;
    }
    return record->unlockConfiguration();
}

void CConfigurationMgr::deleteConfRec(const std::string& id) {
    CBrowseLog log(kTag);
    ZyCriticalSectionLock guard(&m_lock);
    for (size_t i = 0; i < m_records.size(); ++i) {
        CConfRecord* record = m_records[i];
        if (record->getId() != id) continue;
        if (record->markForDeletion(this)) {
            log.debugLvl(0, "Deleting the configuration [%s].", id.c_str());
            eraseLocked(i);
        } else {
            log.debugLvl(2, "Configuration [%s] is still referenced; its last release deletes it.",
                         id.c_str());
        }
        return;
    }
}

void CConfigurationMgr::reapRecord(CConfRecord* record) {
    ZyCriticalSectionLock guard(&m_lock);
    // Compared by address before any use: another path may have deleted the record meanwhile.
    for (size_t i = 0; i < m_records.size(); ++i) {
        if (m_records[i] != record) continue;
        CConfRecord* cached = m_records[i];
        if (cached->m_deleteBy == this && cached->getRefCount() == 0) {
            CBrowseLog log(kTag);
            log.debugLvl(0, "Deleting the configuration [%s].", cached->getId().c_str());
            eraseLocked(i);
        }
        return;
    }
}

int CConfigurationMgr::addTime(unsigned seconds) {
    ZyCriticalSectionLock guard(&m_lock);
    for (size_t i = 0; i < m_records.size();) {
        CConfRecord* record = m_records[i];
        bool released = record->m_deleteBy == this && record->getRefCount() == 0;
        if (record->addSeconds(seconds) != 0 || released) {
            eraseLocked(i);
        } else {
            ++i;
        }
    }
    return 0;
}

void CConfigurationMgr::eraseLocked(size_t index) {
    CConfRecord* record = m_records[index];
    m_records.erase(m_records.begin() + static_cast<std::ptrdiff_t>(index));
    m_openedOn.erase(record);
    delete record;
}

void CConfigurationMgr::setLastError(databrowse::BrowseErrorCode code, const std::string& text) {
    ZyCriticalSectionLock guard(&m_lock);
    m_lastErrorCode = code;
    m_lastError = text;
}

std::string CConfigurationMgr::getLastError() {
    ZyCriticalSectionLock guard(&m_lock);
    return m_lastError;
}

databrowse::BrowseErrorCode CConfigurationMgr::getLastErrorCode() {
    ZyCriticalSectionLock guard(&m_lock);
    return m_lastErrorCode;
}

size_t CConfigurationMgr::getRecordCount() {
    ZyCriticalSectionLock guard(&m_lock);
    return m_records.size();
}

void CConfigurationMgr::setConflictPause(ConflictPause pause) {
    ZyCriticalSectionLock guard(&m_lock);
    m_conflictPause = std::move(pause);
}

void CConfigurationMgr::setConflictWait(unsigned tries, unsigned intervalMs) {
    m_conflictTries = tries;
    m_conflictIntervalMs = intervalMs;
}
