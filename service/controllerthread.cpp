#include "service/controllerthread.h"

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "fbDebug/fbdebug.h"
#include "planning/confmgr.h"
#include "planning/confrecord.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/taskoptions.h"
#include "service/failurefallback.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

// A nested request (a worker's dot browse), run on its outer request's thread and channel.

// Process-wide, so that no id is handed out twice in a process, whichever controller asks.
std::atomic<long long> s_lastWorkerId{0};

// The application-mining block of a request: advanced options, their advanced settings, and in those
// the mining block, each present.
bool isAppMiningRequest(databrowse::BrowseRequest& request) {
    if (!request.isSet(databrowse::BrowseRequest::f::advOptions)) return false;
    CNMessageBase* advanced = request.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, false);
    if (!advanced || !advanced->isSet(databrowse::Msg63::f::advancedConfig)) return false;
    CNMessageBase* settings = advanced->getObjectAccessor(databrowse::Msg63::f::advancedConfig, false);
    return settings && settings->isSet(databrowse::BrowseAdvancedConfig::f::appMiningBlock);
}

}  // namespace

CControllerThreadHM::CControllerThreadHM() : CControllerThreadHM(TOptions{}) {}

CControllerThreadHM::CControllerThreadHM(TOptions options, const CHubClock& clock)
    : m_options(std::move(options)),
      m_clock(clock),
      m_factory([&clock] { return std::make_shared<CWorkerThreadHM>(clock); }),
      m_answerStreams(clock, std::chrono::seconds(m_options.answerResumeSeconds),
                      [this](const std::string& id) { return endBrokenAnswer(id); }) {
    if (!m_stopEvent.Init(m_options.stopEventName.c_str(), true)) {
        CBrowseLog log("FBHMCONTROLLER");
        log.debugLvl(-1, "failed to initialize service termination event");
    }
    // Nested browses of a worker (the dot browse of an unknown item) run through this controller.
    CWorkerThreadHM::setNestedRequestRunner(
        this, [this](EvMultiEntityRestoreTask* task, const CWorkerThreadHM::TNestedFrame& frame) {
            return runRequest(task, true, false, databrowse::FORCE_USE_INDEX_NONE, nullptr, &frame);
        });
}

CControllerThreadHM::~CControllerThreadHM() {
    m_answerStreams.stop();
    CWorkerThreadHM::clearNestedRequestRunner(this);
    terminate();
    if (isStarted()) join();
    // From a snapshot: deleteWorker takes the map lock itself and must never run under it.
    std::vector<std::string> ids;
    {
        ZyCriticalSectionLock lock(&m_mapLock);
        for (const auto& entry : m_workers) ids.push_back(entry.first);
    }
    for (const std::string& id : ids) deleteWorker(id);
    m_stopNotices.drain();
}

void* CControllerThreadHM::run(void*) {
    CBrowseLog log("FBHMCONTROLLER");
    log.debugLvl(0, "started fast browse controller thread");
    const unsigned period = m_options.tickMs ? m_options.tickMs : 1;
    while (!m_stopEvent.Wait(period)) tick();
    log.debugLvl(0, "terminated fast browse controller thread");
    return nullptr;
}

void CControllerThreadHM::terminate() {
    m_stopEvent.Signal();
}

void CControllerThreadHM::tick() {
    const unsigned long long ticks = m_ticks.load() + 1;
    CBrowseLog log("FBHMCONTROLLER");
    // Records count a fixed minute per ageing, whatever the wall time between ageings: the idle and
    // long-use limits of a record are counted in these minutes.
    if (m_options.ticksPerAgeing && ticks % m_options.ticksPerAgeing == 0 && g_poConfMgr)
        g_poConfMgr->addTime(kAgeingSeconds);
    log.refreshAllParams();
    endIdleWorkers();
    // Counted once its work is done, so that whoever waits for it sees what it did.
    {
        CHubMutexLock lock(m_tickMutex);
        m_ticks.store(ticks);
    }
    m_ticked.notify_all();
}

bool CControllerThreadHM::waitForTicks(unsigned long long count, std::chrono::milliseconds limit) {
    CHubMutexLock lock(m_tickMutex);
    return lock.waitFor(m_ticked, limit, [&] { return m_ticks.load() >= count; });
}

void CControllerThreadHM::endIdleWorkers() {
    unsigned limit = kDefaultIdleLimitSeconds;
    ZYPlatformInfo::getNumber("EventManager", kIdleLimitName, &limit);

    std::vector<std::pair<std::string, WorkerPtr>> idle;
    {
        ZyCriticalSectionLock lock(&m_mapLock);
        for (const auto& [id, worker] : m_workers) {
            if (worker->getAsyncMode() && worker->getIdleSeconds() >= static_cast<int64_t>(limit))
                idle.emplace_back(id, worker);
        }
    }
    CBrowseLog log("FBHMCONTROLLER");
    for (auto& [id, worker] : idle) {
        const long long idleSeconds = worker->getIdleSeconds();
        // A worker in use (its request still being set up, or an answer being relayed) is not idle.
        if (!worker->tryAccessWorker()) continue;
        CWorkerAccess access(*worker, std::adopt_lock);
        if (worker->getMarkedForDeletion()) continue;
        log.debugLvl(0, "worker [%s] has had no answer for %lld seconds (limit %u); ending its browse",
                     id.c_str(), idleSeconds, limit);
        char text[160];
        std::snprintf(text, sizeof text,
                      "Browse request ended: no answer from the media agent for %lld seconds", idleSeconds);
        worker->processErrorMessage(databrowse::BROWSE_ERR_GENERIC, text);
        access.release();
        deleteWorker(id);
    }
}

bool CControllerThreadHM::endBrokenAnswer(const std::string& id) {
    WorkerPtr worker = getWorker(id);
    if (!worker) {
        m_answerStreams.forget(id);
        return true;
    }
    // A worker in use (an answer being relayed, which may be the agent going on) is looked at again.
    if (!worker->tryAccessWorker()) return false;
    {
        CWorkerAccess access(*worker, std::adopt_lock);
        std::string agent;
        if (worker->getMarkedForDeletion() || !m_answerStreams.takeBroken(id, agent)) return true;
        CBrowseLog log("FBHMCONTROLLER");
        log.debugLvl(0,
                     "worker [%s]: the connection media agent [%s] answered on ended before its answer did, "
                     "and the agent did not go on within %lld seconds; ending its browse",
                     id.c_str(), agent.c_str(),
                     static_cast<long long>(m_answerStreams.resumeLimit().count()));
        char text[CWorkerThreadHM::kErrorTextSize];
        std::snprintf(
            text, sizeof text,
            "Browse request ended: media agent [%s] closed the connection it answered on before the "
            "end of its answer, and did not go on within %lld seconds",
            agent.c_str(), static_cast<long long>(m_answerStreams.resumeLimit().count()));
        worker->processErrorMessage(databrowse::BROWSE_ERR_GENERIC, text);
    }
    deleteWorker(id);
    return true;
}

std::string CControllerThreadHM::generateWorkerId() {
    const long long id = ++s_lastWorkerId;
    char text[32];
    std::snprintf(text, sizeof text, "%lld", id);
    return text;
}

void CControllerThreadHM::setWorkerFactory(WorkerFactory factory) {
    CHubMutexLock lock(m_factoryMutex);
    m_factory = std::move(factory);
}

bool CControllerThreadHM::newRequest(EvMultiEntityRestoreTask* task, bool wait, bool doNotFallBackForFilters,
                                     databrowse::ForceUseIndexType forceUseIndexType,
                                     databrowse::BrowseRequest* browseRequest) {
    return runRequest(task, wait, doNotFallBackForFilters, forceUseIndexType, browseRequest, nullptr);
}

bool CControllerThreadHM::runRequest(EvMultiEntityRestoreTask* task, bool wait, bool doNotFallBackForFilters,
                                     databrowse::ForceUseIndexType forceUseIndexType,
                                     databrowse::BrowseRequest* browseRequest,
                                     const TNestedBrowseFrame* nested) {
    CBrowseLog log("FBHMCONTROLLER");
    if (!task) {
        log.debugLvl(-1, "no browse task given; request refused");
        return false;
    }
    if (const char* session = task->getbrowseSessionGUID(); session && *session)
        letEarlierStopsArrive(session);
    WorkerFactory factory;
    {
        CHubMutexLock lock(m_factoryMutex);
        factory = m_factory;
    }
    WorkerPtr worker = factory ? factory() : nullptr;
    if (!worker) {
        log.debugLvl(-1, "no browse worker can be made for this request; request refused");
        return false;
    }
    const std::string id = generateWorkerId();
    worker->setWorkerId(id);
    worker->setbDoNotFallBackForFilters(doNotFallBackForFilters);
    worker->setForceUseIndexType(forceUseIndexType);
    {
        ZyCriticalSectionLock lock(&m_mapLock);
        m_workers[id] = worker;
        CHubMutexLock ids(m_goneMutex);
        m_registeredIds.insert(id);
    }

    // Held for the whole request, so a relayed early answer waits until the request is set up.
    CWorkerAccess access(*worker);
    if (nested) worker->setNestedFrame(*nested);
    if (browseRequest) {
        worker->setBrowseReq(browseRequest);
        if (isAppMiningRequest(*browseRequest)) {
            worker->setIsAppMining(true);
            worker->setIsAppMiningFromGui(true);
        }
    } else {
        log.debugLvl(0, "Warning: Input BrowseRequest is not set");
    }

    if (worker->newRequest(task)) {
        access.release();
        const bool async = getWorker(id) != nullptr && worker->getAsyncMode();
        if (!async) {
            deleteWorker(id);
        } else if (wait) {
            waitForWorker(id);
        }
        return true;
    }

    const char* text = worker->getErrorMessage();
    if ((task->getOptions() & taskoption::kNested) != 0) {
        // A nested request reports no error of its own: its outer request carries on in the same channel
        // and answers for the item it was run for.
        log.debugLvl(0, "nested request failed: [%s]", text);
    } else if (text[0] != '\0') {
        worker->processErrorMessage(worker->getErrorId(), text);
    } else {
        log.debugLvl(0, "Browse request failed witout error description");
        failurefallback::note("FBHMCONTROLLER", "controller", id);
        worker->processErrorMessage(databrowse::BROWSE_ERR_GENERIC, failurefallback::kText);
    }
    access.release();
    deleteWorker(id);
    return false;
}

void CControllerThreadHM::deleteWorker(std::string id) {
    CBrowseLog log("waitForStoppedWorkers");
    WorkerPtr worker = getWorker(id);
    if (!worker) {
        log.debugLvl(0, "***** Attempt to delete non-existing worker [%s]. Ignore request", id.c_str());
        return;
    }
    if (worker->getMarkedForDeletion()) {
        log.debugLvl(0, "***** Attempt to delete worker [%s] twice. Ignore second request", id.c_str());
        return;
    }
    // The mark is set under the worker's lock: a relay that takes the lock afterwards sees it and leaves
    // the worker alone, and one inside the worker now finishes before the mark is set.
    std::string sessionGuid;
    {
        CWorkerAccess access(*worker);
        if (worker->getMarkedForDeletion()) {
            log.debugLvl(0, "***** Attempt to delete worker [%s] twice. Ignore second request", id.c_str());
            return;
        }
        worker->markForDeletion();
        sessionGuid = worker->getBrowseSessionGuid();
    }

    // The worker's lock is not held here (lock order: map, configuration cache, record).
    {
        ZyCriticalSectionLock lock(&m_mapLock);
        auto found = m_workers.find(id);
        if (found != m_workers.end() && found->second == worker) {
            if (g_poConfMgr && !sessionGuid.empty()) {
                if (CConfRecordRef record = g_poConfMgr->holdConfRec(sessionGuid))
                    record->removeWorkerFromConf(id);
            }
            m_workers.erase(found);
            CHubMutexLock ids(m_goneMutex);
            m_registeredIds.erase(id);
        }
    }
    m_answerStreams.forget(id);
    m_gone.notify_all();
    // `worker` is the last hold unless a relay still has one; the worker goes with the last.
}

CControllerThreadHM::WorkerPtr CControllerThreadHM::getWorker(std::string id) {
    ZyCriticalSectionLock lock(&m_mapLock);
    auto found = m_workers.find(id);
    return found == m_workers.end() ? nullptr : found->second;
}

void CControllerThreadHM::setStopFlag(std::string id) {
    if (WorkerPtr worker = getWorker(id)) worker->setStopFlag();
}

bool CControllerThreadHM::waitForWorker(std::string id, unsigned limitMs) {
    if (limitMs == 0) limitMs = m_options.waitLimitMs;
    // The ids change only under m_goneMutex, so the check and the wait cannot miss the notification of
    // a deletion in between.
    CHubMutexLock lock(m_goneMutex);
    const bool gone = m_clock.waitFor(lock, m_gone, std::chrono::milliseconds(limitMs),
                                      [&]() REQUIRES(m_goneMutex) { return m_registeredIds.count(id) == 0; });
    if (!gone) {
        CBrowseLog log("FBHMCONTROLLER");
        log.debugLvl(-1, "worker [%s] still registered after %u ms; no longer waiting for it", id.c_str(),
                     limitMs);
    }
    return gone;
}

bool CControllerThreadHM::waitForWorkerCount(size_t count, std::chrono::milliseconds limit) {
    CHubMutexLock lock(m_goneMutex);
    return lock.waitFor(m_gone, limit,
                        [&]() REQUIRES(m_goneMutex) { return m_registeredIds.size() <= count; });
}

size_t CControllerThreadHM::getWorkerCount() {
    ZyCriticalSectionLock lock(&m_mapLock);
    return m_workers.size();
}
