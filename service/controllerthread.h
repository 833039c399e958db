// CControllerThreadHM: the service's clock thread (ages the cached configuration records, refreshes the
// debug settings, ends asynchronous workers left idle) and the registry of workers by worker id.
// Host threads call newRequest, router callback threads getWorker/deleteWorker, any thread the rest;
// start, terminate and join belong to the service's start-up and clean-up.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/msg/msg_classes.h"
#include "platform/threads/hubclock.h"
#include "platform/threads/hubmutex.h"
#include "platform/threads/osevent.h"
#include "platform/threads/osthread.h"
#include "platform/threads/zycriticalsection.h"
#include "service/answerstreams.h"
#include "service/stopnotices.h"

class CConfRecord;
class CWorkerThreadHM;
struct TNestedBrowseFrame;
class EvMultiEntityRestoreTask;

class CControllerThreadHM : public OSThread {
public:
    using WorkerPtr = std::shared_ptr<CWorkerThreadHM>;
    // Makes the worker of one request; null when none can be made.
    using WorkerFactory = std::function<WorkerPtr()>;

    // Registry value (section "EventManager", seconds, read at each tick): an asynchronous worker that
    // nobody entered for this long is ended with an error response.
    static constexpr const char* kIdleLimitName = "nBrowseWorkerIdleLimitSec";
    static constexpr unsigned kDefaultIdleLimitSeconds = 3600;
    // What one ageing adds to every configuration record's counted time.
    static constexpr unsigned kAgeingSeconds = 60;

    struct TOptions {
        unsigned tickMs = 60000;         // the clock's period
        unsigned ticksPerAgeing = 10;    // records age kAgeingSeconds every this many ticks
        unsigned waitLimitMs = 7200000;  // longest waitForWorker
        std::string stopEventName = "fbhmcontroller";
        unsigned stopWaitLimitSeconds = 600;  // longest wait for a stopped session's workers
        unsigned stopPollMs = 30000;          // how often that wait looks at the session's workers
        // A media agent whose connection ended in the middle of its answer to a worker may go on with it
        // on another connection within this time; past it the browse ends with an error.
        unsigned answerResumeSeconds = 10;
    };

    CControllerThreadHM();
    // The wait for a stopped session's workers is measured on `clock`, and the workers it makes age on
    // it; it must outlive the controller and its workers.
    explicit CControllerThreadHM(TOptions options, const CHubClock& clock = CHubClock::real());
    // Stops and joins the thread when it runs, then deletes every worker still registered.
    ~CControllerThreadHM() override;

    void* run(void* arg) override;
    // Ends the loop at its next wait; the caller joins.
    void terminate();

    // The next worker id ("1", "2", ...): one counter for the whole process, so an id is never handed
    // out twice, whichever controller asks.
    std::string generateWorkerId();

    // Creates, registers and runs one worker on the calling thread. An asynchronous browse stays
    // registered (with `wait`, the call returns once it has been deleted); any other is deleted before
    // the call returns. A failure is answered through the task's return channel. 1 or 0.
    bool newRequest(EvMultiEntityRestoreTask* task, bool wait, bool doNotFallBackForFilters,
                    databrowse::ForceUseIndexType forceUseIndexType,
                    databrowse::BrowseRequest* browseRequest);
    // Unregisters the worker, removes it from its session's configuration record and drops the map's
    // hold on it (it is destroyed when its last holder lets go). Unknown or repeated ids are logged.
    void deleteWorker(std::string id);
    // The registered worker, held for the caller; null when none. Take its lock and check
    // getMarkedForDeletion() before using it.
    WorkerPtr getWorker(std::string id);
    void setStopFlag(std::string id);
    // Returns once the worker is no longer registered: true, or false when the wait limit (the
    // options', unless `limitMs` is given) was reached (logged).
    bool waitForWorker(std::string id, unsigned limitMs = 0);
    // Returns once at most `count` workers are registered (true) or `limit` has passed (false).
    bool waitForWorkerCount(size_t count, std::chrono::milliseconds limit);

    // A stop of the task's browse session: the index service of an indexing-v2 session is told to stop,
    // and so is the media agent of a session handed to its caller as a prepared request; with
    // "EventManager"/"EnableStopBrowseRequest" set, the session's workers are stopped (those waiting for
    // answers end at once), each of their media agents is told once, and the call waits for the workers
    // (stopWaitLimitSeconds). True when handled; false for a missing session GUID or record, or workers
    // still running at the limit. Blocks only the calling thread (another connection's answers go on
    // being relayed meanwhile).
    bool processStopReq(EvMultiEntityRestoreTask* task);
    // Keeps a connection open to `mediaAgent`'s index service (opened on a thread of its own), so that a
    // stop of a session handed over for it goes out at once.
    void keepStopLineTo(const std::string& mediaAgent);
    // Returns once the stops of an earlier browse of `session` have reached its media agents (or could
    // not, within their own limits): a new browse of the session, sent after them, is not ended by them.
    void letEarlierStopsArrive(const std::string& session);
    // True once every worker has left the record; false at the limit (logged). The caller holds a
    // reference of the record.
    bool waitForStoppedWorkers(CConfRecord* record);
    // Ends worker `id` of a stopped session when it waits for its media agent's answers: its caller is
    // told the browse was stopped, and it is deleted. A worker still running its request is left to its
    // stop flag.
    void endStoppedWorker(const std::string& id);

    // Which router connections carry answers of which workers (the relay's and the router's to tell).
    CAnswerStreams& answerStreams() { return m_answerStreams; }

    void setWorkerFactory(WorkerFactory factory);
    size_t getWorkerCount();
    // The clock its workers age on; a worker made elsewhere for the service (the router's own) takes it.
    const CHubClock& clock() const { return m_clock; }
    // Ticks the loop has made (for the host's and tests' view of the clock).
    unsigned long long getTickCount() const { return m_ticks.load(); }
    // Returns once the loop has made `count` ticks in all (true) or `limit` has passed (false).
    bool waitForTicks(unsigned long long count, std::chrono::milliseconds limit);

private:
    // newRequest, for a nested request when `nested` is given: the worker is handed the frame it runs in.
    bool runRequest(EvMultiEntityRestoreTask* task, bool wait, bool doNotFallBackForFilters,
                    databrowse::ForceUseIndexType forceUseIndexType, databrowse::BrowseRequest* browseRequest,
                    const TNestedBrowseFrame* nested);
    // One tick: ages the records when due, refreshes the debug settings, ends idle workers.
    void tick();
    void endIdleWorkers();
    // Ends worker `id` whose media agent's answer broke off and did not go on in time (see
    // CAnswerStreams); false when the worker is busy.
    bool endBrokenAnswer(const std::string& id);

    const TOptions m_options;
    const CHubClock& m_clock;
    OSEvent m_stopEvent;  // bound to its name at construction, so a terminate before run is kept

    ZyCriticalSection m_mapLock;  // recursive
    // The registry; holds every registered worker.
    std::map<std::string, WorkerPtr> m_workers GUARDED_BY(m_mapLock);

    // Taken after m_mapLock, never before it (waitForStoppedWorkers holds it while it reads a record's
    // workers, never the map lock): the ids of m_workers, for waiters that must not take the
    // map lock while they hold this mutex.
    CHubMutex m_goneMutex ACQUIRED_AFTER(m_mapLock);
    std::set<std::string> m_registeredIds GUARDED_BY(m_goneMutex);
    std::condition_variable m_gone;  // an id left m_registeredIds

    CHubMutex m_factoryMutex;
    WorkerFactory m_factory GUARDED_BY(m_factoryMutex);

    std::atomic<unsigned long long> m_ticks{0};
    CHubMutex m_tickMutex;
    std::condition_variable m_ticked;  // a tick has ended

    static std::unique_ptr<CZyNetwork> openStopLine(const std::string& server);
    // Declared before the notices, which use them until their destructor has joined them.
    CStopLines m_stopLines{&CControllerThreadHM::openStopLine};
    CStopNotices m_stopNotices;  // the stops on their way to media agents
    // Last: its ending of broken answers uses the registry above; stopped first by the destructor.
    CAnswerStreams m_answerStreams;
};
