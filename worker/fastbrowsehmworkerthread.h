// CWorkerThreadHM: the worker of one browse request, from intake to its last answer. Not a thread: it
// runs on whichever thread hands it work (a host thread through the controller, a router callback
// thread). The creator sets its switches before newRequest; afterwards only the thread holding the
// worker's lock (accessWorker) touches it, except the stop flag, the deletion mark and the activity
// clock, which any thread may read or set.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "appbrowse/vmbrowseview.h"
#include "indexing/fsprediction.h"
#include "planning/confrecord.h"
#include "platform/entities/apptypes.h"
#include "platform/errors/cuxerror.h"
#include "platform/msg/msg_classes.h"
#include "platform/msg/xml_scan.h"
#include "platform/net/zynet_options.h"
#include "platform/prediction/predictionclient.h"
#include "platform/threads/hubclock.h"
#include "platform/threads/threadannotations.h"
#include "platform/threads/zycriticalsection.h"
#include "worker/authentication.h"
#include "worker/inputdata.h"
#include "worker/odssessioncache.h"
#include "worker/replychannel.h"
#include "worker/stepresult.h"

class CBrowseLog;
class EvRestoreTask;

class CBrowseTask;
class CZyNetwork;
class SuperBrowseManager;
struct TSuperSearchAnswer;
struct TSuperBrowseRun;
struct TVSALiveBrowseView;
struct TIndexingInfoRun;
struct APP_Application_t;
class SuperBrowse;
class ZyNetworkPoP;
class EvMessageContainer;
class EvMultiEntityRestoreTask;
namespace zydb {
class CRequestReads;
}
struct TBrowseTask;
struct TSubclientPath;
struct FSRRestoreItem_90;
struct FSRPredictionItem;
struct FSSubclientDir;

class CWorkerThreadHM;

// The page of a paged classic browse, counted over the items the caller gets: those of the media
// agent's listing, each item of unknown type replaced by what its nested browse answers. The browse
// that pages owns it; its nested browses are handed it, so that their items count in the same page.
struct TClassicItemWindow {
    uint64_t skip = 0;  // items before the page
    uint64_t size = 0;  // items of the page
    uint64_t seen = 0;  // items met so far, in the page or not
    uint64_t kept = 0;  // items of the page sent
    bool full() const { return seen >= skip + size; }
    // The items each entry of the agent's listing gave, from the first asked, while the page was
    // not yet full (later entries' nested browses are not run): learnt for the next pages.
    const CWorkerThreadHM* owner = nullptr;
    std::vector<uint64_t> itemsPerEntry;
};
// What a nested browse is handed by the browse it runs in: the page window its items count in (null:
// none) and how many nested browses enclose it (0 for a browse of its own).
struct TNestedBrowseFrame {
    TClassicItemWindow* window = nullptr;
    int depth = 0;
};

class CWorkerThreadHM {
    friend class CWorkerThreadHMTester;  // tests reach the fields through it alone

public:
    static constexpr size_t kErrorTextSize = 4104;  // NUL included
    // The first media agent version (as makeVersion counts) with an index service: release 10.0.
    static constexpr uint32_t kFirstIndexServiceVersion = 1000;

    // Builds every member and the worker's browse task and private task, and reads the two index-service
    // configuration keys. Throws what a member's construction throws (nothing is left built then). Its
    // idle time and a media agent's silence are measured on `clock`, which must outlive the worker.
    explicit CWorkerThreadHM(const CHubClock& clock = CHubClock::real());
    // Deletes the browse task (which ends its return channel), the private task, the query list, the
    // external browse request and an additional-flag list the worker made itself.
    virtual ~CWorkerThreadHM();
    CWorkerThreadHM(const CWorkerThreadHM&) = delete;
    CWorkerThreadHM& operator=(const CWorkerThreadHM&) = delete;

    // ---- the request's road (worker/newrequest.cpp, worker/mainbody.cpp), run by the caller of
    // newRequest on its own thread while it holds the worker's lock
    // Runs the whole request on the calling thread; true on success, else the error state says why.
    // A request that sent super browses (async mode) keeps its configuration reference until its last
    // end (processEndMessage) or its deletion; any other gives it back before returning.
    virtual bool newRequest(EvMultiEntityRestoreTask* task) REQUIRES(m_workerLock);
    // The verdict on the request's caller alone, as newRequest reaches it first (value ranges, then the
    // caller's rights): nothing is set up or read. False with the error state saying why. A caller judged
    // here is not judged again by newRequest on the same task.
    bool judgeCaller(EvMultiEntityRestoreTask* task) REQUIRES(m_workerLock);
    // The request's "START - ..." line, written once however the request is entered (a router's erase is
    // judged before it runs), and its "END - ..." line for a request that ends before it runs.
    void logRequestStart() REQUIRES(m_workerLock);
    void logRequestEnd() REQUIRES(m_workerLock);
    // The body after set-up: the input record, the database answer, else dispatchRequest.
    CStepResult mainBody() REQUIRES(m_workerLock);
    // Fast browse, super browse, the count pass or the skip-content groups.
    CStepResult dispatchRequest() REQUIRES(m_workerLock);
    // Prefixes the first path of the incoming request for a table-view browse of an indexing-v2 database.
    void FixPathForTblViewBrowse() REQUIRES(m_workerLock);

    // ---- responses (worker/browseresponses.cpp). Every sender writes to the browse task's return
    // channel, or, before it exists, to a stand-by channel of the private task's job id; nothing is
    // written after the worker's end response went out.
    // Sends the caller an error response (code 0 sent as 1); nothing for a null text.
    virtual void processErrorMessage(databrowse::BrowseErrorCode code, const char* text)
        REQUIRES(m_workerLock);
    // Hands one serialised response to the caller.
    void sendItemBack(std::string xml) REQUIRES(m_workerLock);
    // The same for a media agent's answer as it came, with where its items lie in it (found when the
    // answer was checked) and the answer as read without them, when known, which go with it to the
    // channel.
    void sendItemBack(std::string xml, xmlscan::TItems items, std::shared_ptr<CNMessageBase> read = nullptr)
        REQUIRES(m_workerLock);
    // Serialises one item and hands it to the caller as a classic item.
    void sendItemBack(databrowse::BrowseItem& item) REQUIRES(m_workerLock);
    // A media agent's answer from a hypervisor's index names a VM's items below the VM's GUID: they go
    // back to the caller as the VM's own view names them (CVMBrowseView). True when it changed.
    bool answerInVmView(databrowse::BrowseResponse& response) REQUIRES(m_workerLock) {
        return m_vmView.mapAnswer(response);
    }
    bool rewritesAnswerPaths() const REQUIRES(m_workerLock) { return m_vmView.active(); }
    // An error response (session block, last code and text) when the last error code is not 0.
    void sendErrorToBrowse() REQUIRES(m_workerLock);
    // A warning response (session block, the given error).
    void sendWarningToBrowse(databrowse::BrowseError error) REQUIRES(m_workerLock);
    // The end response (session block only); once per worker.
    void sendEndResponse() REQUIRES(m_workerLock);
    bool getEndSent() const REQUIRES(m_workerLock) { return m_replyChannel.endSent(); }
    // True while dispatch runs the second, counting fast browse.
    bool getCountPass() const REQUIRES(m_workerLock) { return m_replyChannel.countPass(); }
    // Formats a localised message into the error text (the code is left as it is).
    void setErrorMessage(EvMessageContainer message) REQUIRES(m_workerLock);
    // The message formatted in the task's locale, as setErrorMessage would store it.
    std::string localisedText(EvMessageContainer message) const REQUIRES(m_workerLock);
    // Appends a count (with the worker's count tag) to the response's result.
    void addCountResponse(long long count, databrowse::BrowseResponse& response) REQUIRES(m_workerLock);
    // Whether a paged request wants a count and by which count operation.
    bool emRequiresCount(unsigned int& countOperation) REQUIRES(m_workerLock);
    // Ends one media-agent answer (prediction, the end text when given); true when it was the last, the
    // request then being finished and its configuration reference given back. `read`: the end as read
    // whole from that text, when known (it goes with the text to the caller's side).
    bool processEndMessage(const char* endXml, std::shared_ptr<CNMessageBase> read = nullptr)
        REQUIRES(m_workerLock);

    // True when a VM browse of a hypervisor backup set is answered from the Hubmaster database by the VM
    // browse client (worker/vmbrowse.cpp).
    bool IsVMCentricBrowseFromParent(EvMultiEntityRestoreTask* task) REQUIRES(m_workerLock);
    // The VM browse client's road of intake (appbrowse/vsabrowseroad.cpp): the browse or the media
    // prediction of the hypervisor backup set; false with the error state set.
    bool vsaBrowseRequest(EvMultiEntityRestoreTask* task) REQUIRES(m_workerLock);

    // ---- index prediction (indexing/indexprediction.cpp): 1 or 0
    int doIndexPrediction() REQUIRES(m_workerLock);
    int sendResultsFromPredictor() REQUIRES(m_workerLock);

    // ---- the indexing-V2 request (indexing/v2completion.cpp, indexinginfo.cpp, indexingsubclients.cpp,
    // activesubclient.cpp), on the worker's thread under its lock
    // Completes the incoming request for the index server (routing block, times, indexing information,
    // flags, client block, job browse) and makes it the request to return, secured when the media agent
    // takes it; false with the error state set.
    bool completeV2BrowseRequest(TSuperBrowseRun& run) REQUIRES(m_workerLock);
    // The indexing information of the request: entity GUIDs, jobs, cycle times and ranges, the
    // subclients the user may browse, the index databases and the media agent chosen among them. 0, or
    // -1 with the error state set when the browse cannot go on.
    int populateIndexingInfo(bool retentionFiltersSet, bool pointInTime) REQUIRES(m_workerLock);
    // The index server of a subclient-index backup set into the request's routing block: success when
    // one was written, else the error of the last look-up (error state code 11).
    CUxError GetActiveSubclient(long appType, int backupSetId, const std::string& backupSetGuid)
        REQUIRES(m_workerLock);

    // ---- super browse of indexing V1 (indexing/superbrowse.cpp, superbrowserequest.cpp,
    // superbrowsecycles.cpp, retentionfilters.cpp), on the worker's thread under its lock
    // The request for the media agent's index service as assembled (sent, or prepared for a direct caller).
    Indexing::BrowseReq* getIndexBrowseReq() REQUIRES(m_workerLock) { return &m_indexBrowseRequest; }
    // Retention filters of browse by retention; none when the subclient has no rules or they cannot be
    // read (each failure logged).
    std::vector<databrowse::Criteria> getRefCopyFilters(int appId, bool isV2) REQUIRES(m_workerLock);
    std::vector<databrowse::Criteria> getRetentionFilters(int appId, bool isV2) REQUIRES(m_workerLock);
    databrowse::GranularRetentionRules getExchangeRetentionTags() REQUIRES(m_workerLock);
    std::string getExchangeLegalHoldMailboxes() REQUIRES(m_workerLock);

    // ---- members of the roads that join the request road (worker/fastbrowse.cpp,
    // indexing/superbrowse.cpp, worker/mediaagent.cpp, worker/subclientbrowse.cpp)
    bool fastBrowse() REQUIRES(m_workerLock);
    bool superBrowse() REQUIRES(m_workerLock);
    bool returnDirectIndexRequest(const TBrowseTask& bt) REQUIRES(m_workerLock);
    // Chooses the media agent of the browse into the worker: 0, else failure.
    int getMediaAgent(TBrowseTask* task) REQUIRES(m_workerLock);
    // Version and host of the media agent named in the worker: 0, else failure.
    int getMediaAgentDetails() REQUIRES(m_workerLock);
    // Answers from the configured subclient contents: -2 on failure.
    int doBrowseBySubclients(EvMessageContainer& messages, TInputData* input,
                             std::list<TSubclientPath>& subclientPaths) REQUIRES(m_workerLock);

    // ---- media-agent selection (worker/mediaagent.cpp): 0 or -1 unless said otherwise
    // The media agent the task's options name into `host`; -1 when they name none (host unchanged) or the
    // archive manager does not know it (host: the client's mangled network host name).
    int getMediaagentFromOptions(EvMultiEntityRestoreTask* task, std::string& host) REQUIRES(m_workerLock);
    // The subclient's regular or index media agent on the copy into `host`.
    int getMediaAgent_AMHM(unsigned int subclientId, unsigned int kelmarchId, unsigned int copy,
                           std::string& host) REQUIRES(m_workerLock);
    // The media agent of the browse's data archive file (its archive group and copy) into the worker.
    bool setMediaAgentInternal() REQUIRES(m_workerLock);
    // Whether the named media agent runs Windows; false when it cannot be told.
    bool isWindowsMA(std::string& name) REQUIRES(m_workerLock);

    // ---- classic fast browse (worker/fastbrowse.cpp), on the worker's thread under its lock
    // The legacy record under the code of the peer's protocol version.
    int sendRequest(CZyNetwork* session, TInputData* input) REQUIRES(m_workerLock);
    int sendPathsToMA(std::vector<TSubclientPath> paths, CZyNetwork* session) REQUIRES(m_workerLock);
    int sendOriginatedUserIdToMA(unsigned int userId, CZyNetwork* session) REQUIRES(m_workerLock);
    int sendClientNameToMA(std::string clientName, CZyNetwork* session) REQUIRES(m_workerLock);
    // Receives until the media agent's end; false when the answer broke off (the caller was told).
    bool waitForCompletion() REQUIRES(m_workerLock);
    // One received message into one response; false when the response could not be written.
    bool processMessage(unsigned int code, unsigned char* data, bool& done) REQUIRES(m_workerLock);
    // One predicted location into the request's prediction client.
    void sendItemBack(FSRPredictionItem* item) REQUIRES(m_workerLock);
    // The browse path of a filtered find as the media agent's pattern.
    std::string generateRegExFor90FS() REQUIRES(m_workerLock);
    std::string generateRegExFor90EXMB() REQUIRES(m_workerLock);

    // ---- item conversion (worker/itemconversion.cpp)
    // Appends the item to the response (sampling, count pass, time range, dot browse, metadata).
    void convertToXML(FSRRestoreItem_90* item, databrowse::BrowseResponse& response) REQUIRES(m_workerLock);
    // A nested browse of one path through the controller on this thread; true when it succeeded. Nested
    // browses are limited in depth: past the limit none runs and the result is false.
    bool doDotBrowse(const char* path, int appId) REQUIRES(m_workerLock);
    // Sends the items converted into the response so far (and their errors), takes them out of it and
    // delivers what the return channel holds back.
    void sendConverted(databrowse::BrowseResponse& response) REQUIRES(m_workerLock);
    using TItemWindow = TClassicItemWindow;
    using TNestedFrame = TNestedBrowseFrame;
    // Before newRequest, by the controller that runs this worker as a nested browse.
    void setNestedFrame(const TNestedFrame& frame) REQUIRES(m_workerLock) {
        m_nestedFrame = frame;
        m_itemWindow = frame.window;
    }
    // True when the item just converted belongs to the page of the window in force (or there is none).
    bool inItemWindow() REQUIRES(m_workerLock);
    bool itemWindowFull() REQUIRES(m_workerLock);
    bool itemWindowInstalled() REQUIRES(m_workerLock);
    // Puts `window` in force for the life of the guard, then the one before it again.
    class CItemWindowGuard {
    public:
        CItemWindowGuard(CWorkerThreadHM& worker, TItemWindow* window);
        ~CItemWindowGuard();
        CItemWindowGuard(const CItemWindowGuard&) = delete;
        CItemWindowGuard& operator=(const CItemWindowGuard&) = delete;

    private:
        CWorkerThreadHM& m_worker;
        TItemWindow* m_previous;
    };
    // How a nested request reaches the controller: runs the task to completion on the calling thread,
    // handing the new worker `frame` first; true when it succeeded. Registered by a controller when it is
    // made and cleared by the same one when it goes; any thread.
    using NestedRequestRunner =
        std::function<bool(EvMultiEntityRestoreTask* task, const TNestedFrame& frame)>;
    static void setNestedRequestRunner(const void* owner, NestedRequestRunner runner);
    static void clearNestedRequestRunner(const void* owner);

    // ---- subclient content (worker/subclientbrowse.cpp)
    bool emGetCountOfChildrenFullPageSupport_HM(std::vector<TSubclientPath> lines) REQUIRES(m_workerLock);
    // Leading levels of the directory's path to strip; -1 for a path without a leading delimiter.
    int computeStripLevel(unsigned long long flags, long level, FSSubclientDir* directory)
        REQUIRES(m_workerLock);

    // ---- the media agent's index service (worker/indexsession.cpp, worker/securedrequest.cpp), on the
    // worker's thread under its lock; the session is borrowed for one send and given back at once, but
    // for a request whose answer comes later (see m_answerSessions)
    // Borrows a session to the index service of the worker's media agent (after powering on a
    // power-managed one): from the index-server session cache in indexing-v2 mode, else from the
    // process-wide pool, launching the service once when the pool cannot connect. False: error state set.
    bool getSession() REQUIRES(m_workerLock);
    // Sends one message to the index service; true when sent (or, with the stop flag set in pool mode,
    // not sent at all). Nothing is sent once the stop flag is set, in either mode, and a stop ends the
    // connecting and sending at once (false). `answeredLater`: the session is kept until the worker's
    // answers have ended (giveBackAnswerSessions). `wentOut`, when given: whether the message was sent.
    // `sentText`, when given: the text that went out, when it holds no secret (else left empty), so that
    // its log line need not write the request again.
    bool sendReqToMA(CNMessageBase* request, bool answeredLater = false, bool* wentOut = nullptr,
                     std::string* sentText = nullptr) REQUIRES(m_workerLock);
    // Sends a stop message to the media agent named in its element 138.
    bool sendStopReq(Indexing::BrowseReq& request) REQUIRES(m_workerLock);
    // Replaces the request to return by its signed form when the media agent (and a direct caller)
    // accept it; false (error state set) when it cannot be built.
    bool convertToSecureBrowseReq() REQUIRES(m_workerLock);
    // The same for the indexing-v1 request a direct caller takes to the media agent itself.
    // `requestText` (given): the request's text as signed, when it is the one written (no secret in it).
    bool convertToSecureIndexBrowseReq(std::string* requestText = nullptr) REQUIRES(m_workerLock);
    bool securedRequestSigner(std::string& signer) REQUIRES(m_workerLock);
    // Returns `form` when it was made; else the server error is set and false.
    bool returnSigned(bool made, CNMessageBase& form) REQUIRES(m_workerLock);
    // The lowest service pack among the physical machines of a cluster client, or 0.
    int GetMinSPLevelInClusterClient(std::string& clientName) REQUIRES(m_workerLock);
    // The media agent sessions are opened to (a mangled name, a client name or a host name).
    void setMediaAgentHost(std::string host) REQUIRES(m_workerLock) { m_maHostName = std::move(host); }
    std::string getMediaAgentHost() const REQUIRES(m_workerLock) { return m_maHostName; }
    // The media agent a prepared request of this request is handed to, the one that answers its caller
    // with it ("" for none): an agent below release 10.0 has no index service to take it (its caller
    // browses through the Hubmaster; one whose release is not known is taken to have one), and a mining
    // service answers only the Hubmaster, which mines for the caller.
    std::string handedOverAgent() const REQUIRES(m_workerLock) {
        const bool indexService = m_maVersion == 0 || m_maVersion >= kFirstIndexServiceVersion;
        return indexService && !m_appMining ? m_maHostName : std::string();
    }
    void setMediaAgentClientName(std::string name) REQUIRES(m_workerLock) {
        m_maClientName = std::move(name);
    }
    // The process-wide pool of index-service sessions (g_poSessionPool), set by the service's start-up
    // objects before any request and cleared at clean-up; any thread.
    static void setSessionPool(ZyNetworkPoP* pool);
    static ZyNetworkPoP* getSessionPool();
    // How long a media agent may leave a browse waiting ("EventManager" / "nFastBrowseIdleLimitSec",
    // read at each call); what a send or receive without a limit of its own waits at most.
    static unsigned int idleLimitSeconds();
    // One media-agent prediction item (a databrowse::PredictionData relayed by the router): the location
    // of its logical media joins the request's prediction client, whose media go out with the end
    // (worker/predictionitem.cpp).
    void sendPredictionItem(CNMessageBase& prediction) REQUIRES(m_workerLock);

    // ---- lock (recursive for the thread that holds it); entering and leaving count as activity
    // Prefer CWorkerAccess, which gives the lock back however the scope is left.
    void accessWorker() ACQUIRE(m_workerLock);
    // Takes the lock only when free; false (nothing held) when another thread holds it.
    bool tryAccessWorker() TRY_ACQUIRE(true, m_workerLock);
    void releaseWorker() RELEASE(m_workerLock);
    // Names the lock in the lock rules of callers (REQUIRES(worker.workerLock())); never entered through it.
    const ZyCriticalSection& workerLock() const RETURN_CAPABILITY(m_workerLock) { return m_workerLock; }
    // Seconds since the worker was last entered or left (its creation counts).
    int64_t getIdleSeconds() const;
    // The time on the worker's clock: idle limits of a browse are measured on it.
    CHubClock::Steady::time_point ageingNow() const { return m_clock.steadyNow(); }

    // ---- control flags
    // The setters marked NO_THREAD_SAFETY_ANALYSIS here and below are the creator's: it calls them before it
    // publishes the worker (registers it with the controller, or runs its request), when no other thread can
    // reach it, which the analysis cannot see.
    // A stop also ends the worker's waits on its media agent's network session (connecting, sending): a
    // worker whose agent does not answer is not held up by it.
    void setStopFlag() {
        m_stopFlag.store(true);
        m_networkCancel.cancel();
    }
    bool getStopFlag() const { return m_stopFlag.load(); }
    // The session of a browse of its own that this worker waits for (a virtual machine's, browsed for its
    // hypervisor's): a stop of this worker's session stops that one too. "" while it waits for none.
    void setWaitedSession(std::string guid) {
        CHubMutexLock lock(m_waitedMutex);
        m_waitedSession = std::move(guid);
    }
    std::string getWaitedSession() const {
        CHubMutexLock lock(m_waitedMutex);
        return m_waitedSession;
    }
    void markForDeletion() { m_markedForDeletion.store(true); }
    bool getMarkedForDeletion() const { return m_markedForDeletion.load(); }
    bool getAsyncMode() const { return m_asyncMode.load(); }
    void setAsyncMode(bool async) { m_asyncMode.store(async); }
    void setDirectAPI(bool direct) NO_THREAD_SAFETY_ANALYSIS { m_directAPI = direct; }
    bool isDirectAPI() const REQUIRES(m_workerLock) { return m_directAPI; }
    void setWorkerId(std::string id) NO_THREAD_SAFETY_ANALYSIS { m_workerId = std::move(id); }
    std::string getWorkerId() const REQUIRES(m_workerLock) { return m_workerId; }

    // ---- request and answer carriers
    // Copies the whole request; later changes to the caller's object do not reach the copy.
    void setBrowseReq(databrowse::BrowseRequest* request) NO_THREAD_SAFETY_ANALYSIS;
    databrowse::BrowseRequest* getBrowseReqV2() REQUIRES(m_workerLock) { return &m_browseRequest; }
    // The request prepared for the media agent and handed back to a direct caller (not owned).
    void setDirectAPIBrowseReq(CNMessageBase* request) REQUIRES(m_workerLock) { m_requestToReturn = request; }
    CNMessageBase* getBrowseReqXML() const REQUIRES(m_workerLock) { return m_requestToReturn; }
    // The request to return written as XML into `text`, its signed payload taken from the text it was
    // signed as instead of written again; false (nothing written) when there is no such text.
    bool writeSignedReturn(std::string& text) const REQUIRES(m_workerLock);
    // The indexing-v1 request as it goes out: inside its signed form once it is signed (which takes it
    // whole), else the worker's own.
    Indexing::BrowseReq& indexRequestSent() REQUIRES(m_workerLock);
    CBrowseTask* getBrowseTask() const { return m_browseTask.get(); }
    EvMultiEntityRestoreTask* getPrivateTask() const { return m_privateTask.get(); }
    // The browse session GUID of the browse task (the key of its configuration record); empty when none.
    std::string getBrowseSessionGuid() const REQUIRES(m_workerLock);
    // Whether an answer whose peer's certificate proved the name `peer` ("" for none) may reach this
    // worker: the peer is a media agent the worker sent a request to. It may answer on any connection
    // under that name, several at once or one after another (the router tracks them, see
    // CAnswerStreams). Under the worker's lock.
    bool admitsAnswer(const std::string& peer) const REQUIRES(m_workerLock);
    // After a request went out on `session`: the machine its certificate proved may answer through the
    // router. Under the worker's lock.
    void expectAnswersFrom(CZyNetwork& session) REQUIRES(m_workerLock);
    void expectAnswersFrom(const std::string& peer) REQUIRES(m_workerLock);
    TInputData* getInputData() REQUIRES(m_workerLock) { return &m_inputData; }
    void setResponse(databrowse::BrowseResponse& response) REQUIRES(m_workerLock) {
        m_hmdbResponse = response;
    }
    void setBrowseFromHMDB(bool fromHMDB) REQUIRES(m_workerLock) { m_browseFromHMDB = fromHMDB; }
    bool getBrowseFromHMDB() const REQUIRES(m_workerLock) { return m_browseFromHMDB; }
    databrowse::BrowseResponse* getHMDBBrowseResponse() REQUIRES(m_workerLock) { return &m_hmdbResponse; }
    void setJobId(unsigned long long jobId) NO_THREAD_SAFETY_ANALYSIS { m_jobId = jobId; }
    unsigned long long getJobId() const REQUIRES(m_workerLock) { return m_jobId; }

    // ---- error state
    // Stores the code and the text, cut to kErrorTextSize - 1 characters.
    void setLastError(databrowse::BrowseErrorCode code, const std::string& text) REQUIRES(m_workerLock);
    databrowse::BrowseErrorCode getErrorId() const REQUIRES(m_workerLock) { return m_errorCode; }
    char* getErrorMessage() REQUIRES(m_workerLock) { return m_errorText; }

    // ---- per-request switches (set by the creator before it publishes the worker, as above)
    void setRefCopySuperRestoreFind(bool value) NO_THREAD_SAFETY_ANALYSIS {
        m_refCopySuperRestoreFind = value;
    }
    bool getRefCopySuperRestoreFind() const REQUIRES(m_workerLock) { return m_refCopySuperRestoreFind; }
    void setbDoNotFallBackForFilters(bool value) NO_THREAD_SAFETY_ANALYSIS {
        m_doNotFallBackForFilters = value;
    }
    bool getbDoNotFallBackForFilters() const REQUIRES(m_workerLock) { return m_doNotFallBackForFilters; }
    void setIsDelegateAccess(bool value) NO_THREAD_SAFETY_ANALYSIS { m_delegateAccess = value; }
    bool getIsDelegateAccess() const REQUIRES(m_workerLock) { return m_delegateAccess; }
    void setForceUseIndexType(databrowse::ForceUseIndexType type) NO_THREAD_SAFETY_ANALYSIS {
        m_forceUseIndexType = type;
    }
    databrowse::ForceUseIndexType getForceUseIndexType() const REQUIRES(m_workerLock) {
        return m_forceUseIndexType;
    }
    void setIsResourceDomainEnabled(bool value) NO_THREAD_SAFETY_ANALYSIS { m_resourceDomainEnabled = value; }
    bool getIsResourceDomainEnabled() const REQUIRES(m_workerLock) { return m_resourceDomainEnabled; }
    void setResourceDomainUserGUID(std::string guid) NO_THREAD_SAFETY_ANALYSIS {
        m_resourceDomainUserGUID = std::move(guid);
    }
    std::string getResourceDomainUserGUID() const REQUIRES(m_workerLock) { return m_resourceDomainUserGUID; }
    // The caller's list (not owned); replaces a list the worker made itself.
    void setAdditionalFlags(std::vector<databrowse::AdditionalFlag>* flags) NO_THREAD_SAFETY_ANALYSIS;
    std::vector<databrowse::AdditionalFlag>* getAdditionalFlags() const REQUIRES(m_workerLock) {
        return m_ptrAdditionalFlags;
    }
    void setIMAPReq(databrowse::IMAPReq* request) NO_THREAD_SAFETY_ANALYSIS { m_imapRequest = request; }
    databrowse::IMAPReq* getIMAPReq() const REQUIRES(m_workerLock) { return m_imapRequest; }
    void setFbrMa(std::string mediaAgent) NO_THREAD_SAFETY_ANALYSIS {
        m_fbrMediaAgent = std::move(mediaAgent);
    }
    std::string getFbrMA() const REQUIRES(m_workerLock) { return m_fbrMediaAgent; }
    void setGuidLookup(bool value) NO_THREAD_SAFETY_ANALYSIS { m_guidLookup = value; }
    bool getIsGuidLookup() const REQUIRES(m_workerLock) { return m_guidLookup; }
    void setIsAppMining(bool value) NO_THREAD_SAFETY_ANALYSIS { m_appMining = value; }
    bool getIsAppMining() const REQUIRES(m_workerLock) { return m_appMining; }
    void setIsAppMiningFromGui(bool value) NO_THREAD_SAFETY_ANALYSIS { m_appMiningFromGui = value; }
    bool getIsAppMiningFromGui() const REQUIRES(m_workerLock) { return m_appMiningFromGui; }

    // ---- application mining, SharePoint and pseudo-clients (appbrowse/appmining.cpp,
    // appbrowse/sharepointbrowse.cpp, appbrowse/pseudoclientbrowse.cpp), run by newRequest on the caller's
    // thread under the worker's lock; every refusal leaves the error state for the caller to send once
    // The application-mining road: true when the completed request is ready for a network caller (request
    // to return), or went to the media agent's mining service (async mode: the answers come through
    // "BrowseRouter"), or a farm's servers were answered; false with the error state (or no text) set.
    bool appMiningRequest(EvMultiEntityRestoreTask* task) REQUIRES(m_workerLock);
    // Starts the mining index service on the SharePoint server and hands it the request: 1, else 0.
    int SharepointBrowse() REQUIRES(m_workerLock);
    // The client of a SharePoint request: the request client's id when the first id is 0 or no id is
    // given, else the entity's client id when set (else clientId unchanged).
    void GetClientIdforSharepoint(int& clientId, int firstId, int secondId) REQUIRES(m_workerLock);
    // The client's mangled network host name; false with the error state set.
    bool GetClientNameForSharepoint(std::string& hostName, int clientId) REQUIRES(m_workerLock);
    // The first member server of the farm whose listener answers, into clientId: 0, else an error code.
    int getPhysicalClientForSharepoint(int pseudoClientId, int& clientId) REQUIRES(m_workerLock);
    // The farm's primary and member servers as one end response: sent to an entry-point caller (whose
    // request then ends), or put in the request to return for a network caller: 1; 0 when the servers
    // cannot be read (error state set).
    int getClientsforPseudoClientBrowse(int clientId) REQUIRES(m_workerLock);
    bool getIsSyncEnabled() const REQUIRES(m_workerLock) { return m_syncEnabled; }
    // The sync step of intake: asks whether the task's subclient is a sync (and NFS object-store)
    // subclient and appends the matching additional flags. False only when the worker's own flag list
    // cannot be made.
    bool applySyncFlags(EvMultiEntityRestoreTask* task) REQUIRES(m_workerLock);
    void setIsExchMonorun(bool value) REQUIRES(m_workerLock) { m_exchangeMonorun = value; }
    bool getIsExchMonorun() const REQUIRES(m_workerLock) { return m_exchangeMonorun; }

    // ---- application roads of intake (appbrowse/exchangeupgrade.cpp, livemachinebrowse.cpp,
    // onedrive.cpp, mailboxaccess.cpp, hubmastermailboxquery.cpp), on the request's thread under the
    // worker's lock
    // How the route of upgraded Exchange database and Lotus Notes agents left the request.
    enum class EUpgradeRoute { kGoOn, kAnswered, kFailed };
    // Right after normalisation: a range across the agent's upgrade is refused (error, end), an Exchange
    // database range before it (or a snapshot subclient) answered from the Hubmaster database (items, end).
    EUpgradeRoute routeAcrossAgentUpgrade(EvMultiEntityRestoreTask* task) REQUIRES(m_workerLock);
    // One item per store of the client's default backup set that the user may see; true when sent (or
    // nothing was there to send).
    bool handlePreUpgradeExDBBrowse(EvRestoreTask* task) REQUIRES(m_workerLock);
    // The stores' items to the caller: the channel, or for a direct caller the router's one reply.
    bool answerStores(EvRestoreTask* task, const std::vector<CNMessageBase>& items) REQUIRES(m_workerLock);
    // The request only asks to initialise a live machine browse (option element 52 non-zero).
    bool isLiveMachineBrowseInit() REQUIRES(m_workerLock);
    // Completes that request (session, index server, proxy, user) and makes it the request to return;
    // false with error 11 and its text.
    bool initLiveMachineBrowse(EvMultiEntityRestoreTask* task) REQUIRES(m_workerLock);
    // The Windows user profiles of a client; false with error 11 set.
    bool getSyncUser(long clientId, int unused, App::GetClientsUserProfilesResp& reply)
        REQUIRES(m_workerLock);
    // Narrows an end user's OneDrive browse to his own data; false fails the request as unauthenticated.
    bool handleOneDriveRequest(EvMultiEntityRestoreTask* task) REQUIRES(m_workerLock);
    // Mailbox access of an end user, his filter path, the across-upgrade refusal and the triplet path of
    // data before the upgrade; false fails the request, accessDenied refuses it as unauthenticated.
    bool handleExchangeRequest(EvMultiEntityRestoreTask* task, int rightsMode, std::string& filterPath,
                               std::string& tripletSrcPath, bool& useTriplet, bool& spansUpgrade,
                               bool& accessDenied, std::string& mailboxGuid) REQUIRES(m_workerLock);
    // The last word on an end user's browse of the mailboxes (`endUserRoot`): its filter must be his own
    // mailbox's path (the older layout's when `olderLayout`) and the wildcard tail, else the request is
    // refused with the rights error and why (false).
    bool confineEndUserRoot(bool endUserRoot, apptype::EAppType appType, const std::string& filterPath,
                            const std::string& mailboxGuid, const std::string& triplet, bool olderLayout)
        REQUIRES(m_workerLock);
    // Monorun mailboxes: the end user's mailbox GUID (lower-cased) as a criterion of every data query.
    bool handleExchangeRequest2(int rightsMode, std::string& mailboxGuid) REQUIRES(m_workerLock);
    // The mailbox step of authentication (mailbox app types, not yet failed): handleExchangeRequest into
    // `auth`; false ends the request.
    bool authenticateMailbox(EvMultiEntityRestoreTask* task, TRequestAuth& auth) REQUIRES(m_workerLock);
    // A query of type 3 filled from the Hubmaster database's mailbox information; false leaves it as it was.
    bool processHubmasterQuery(CNMessageBase& query, CBrowseLog* log) REQUIRES(m_workerLock);

    // ---- index-service configuration read when the worker was made
    int getAlwaysReplyV1() const { return m_alwaysReplyV1; }
    int getCheckClientMap() const { return m_checkClientMap; }

    // ---- checks of a request (worker/authentication.cpp, worker/normalisation.cpp,
    // worker/timerangechecks.cpp, worker/vsaaccess.cpp), called by newRequest under the worker's lock
    // The authentication step: may the task's user (or a direct caller without a user name) browse, and
    // with which rights; entities the user may not browse leave the task. The results are in `auth`;
    // false only for a failure that ends the request at once (a CI report whose web server is unknown).
    bool authenticateRequest(EvMultiEntityRestoreTask* task, TRequestAuth& auth) REQUIRES(m_workerLock);
    // True when the user may browse, with authMode 2 (full) or 1 (end user); else the error state says why.
    bool AuthenticateUser(EvMultiEntityRestoreTask* task, int& authMode, bool isNimbraUser)
        REQUIRES(m_workerLock);
    // True when the user holds the delete capability on the task's client and app type.
    bool CanUserDeleteData(EvMultiEntityRestoreTask* task) REQUIRES(m_workerLock);
    // Registry switch "~Hubmaster"/bVSAEnableEndUserAccess equal to 1.
    bool isVSAEndUserAccessEnabled() REQUIRES(m_workerLock);
    // VM end-user access of a hypervisor browse: true when allowed; vmGuids receives the user's own VMs
    // when the switch is on. On refusal the error state is set and the browse-access alert raised.
    bool handleVSARequest(EvMultiEntityRestoreTask* task, std::vector<std::string>& vmGuids)
        REQUIRES(m_workerLock);
    // Normalisation: the private task made from `task` with every default filled in, the filter read,
    // the session GUID set on both tasks (sessionGuidGenerated when this request made it). False ends the
    // request (the delayed-stubbing time could not be had).
    CStepResult normaliseRequest(EvMultiEntityRestoreTask* task, const TRequestAuth& auth,
                                 bool& sessionGuidGenerated) REQUIRES(m_workerLock);
    // The incoming task's filter (query-list XML) kept by normalisation; empty: no filter.
    const std::string& getBrowseFindPattern() const REQUIRES(m_workerLock) { return m_browseFindPattern; }
    databrowse::Querylist* getQueryList() const REQUIRES(m_workerLock) { return m_queryList.get(); }
    const std::string& getUserAccessInfo() const REQUIRES(m_workerLock) { return m_userAccessInfo; }
    const std::string& getUserObjectId() const REQUIRES(m_workerLock) { return m_userObjectId; }
    // Upgrade time of the private task's client (0: never upgraded); -1 after sending error 11.
    int getClientUpgradeTime() REQUIRES(m_workerLock);
    // Whether the data files a browse of [fromTime, toTime] reads lie after / at-or-before the upgrade:
    // those created within the range (toTime 0: no end), or, for a point in time at toTime, those of the
    // backup cycle that holds it. Always 0 unless the archive files cannot be read (-1, error 11 set).
    int getArchFileVersions(EvRestoreTask* task, int fromTime, int toTime, int upgradeTime,
                            bool& afterUpgrade, bool& beforeUpgrade, bool pointInTime = false)
        REQUIRES(m_workerLock);
    bool isSnapSubclientInvolved(EvRestoreTask& task) REQUIRES(m_workerLock);
    // Sends error 12 naming the upgrade time; 0.
    int handleInvalidBrowseTimeRange(int fromTime, int toTime, int upgradeTime) REQUIRES(m_workerLock);
    // The copy precedence of the backup copy of a snapshot, or -1.
    int handleViewBackupCopy(EvRestoreTask& task) REQUIRES(m_workerLock);
    // Sends error 13 (no backup-copy job); 0.
    int handleNoBackupCopyJob(EvRestoreTask& task) REQUIRES(m_workerLock);
    // A new browse session id, "<seconds since 1970>-<32 random hex digits>": nobody can name it in
    // advance, and no session cached or handed over has it.
    static std::string GenerateSessionId();

    // ---- counters of the answers
    int32_t getOutstandingRequests() const REQUIRES(m_workerLock) { return m_outstandingRequests; }
    void setOutstandingRequests(int32_t count) REQUIRES(m_workerLock) { m_outstandingRequests = count; }
    // The configuration record this request holds a reference of (its browse task's confId when it
    // opened one); empty when it holds none.
    std::string getHeldConfId() const REQUIRES(m_workerLock) { return m_heldConfId; }
    // The super-search operation kind and the content-index request decided at intake (null: none).
    int getSuperSearchOpType() const REQUIRES(m_workerLock) { return m_superSearchOpType; }
    Indexing::ExternalBrowseReq* getExternalBrowseReq() const REQUIRES(m_workerLock) {
        return m_externalBrowseRequest.get();
    }

protected:
    // Creates the browse task and the private task, sets the defaults and reads the configuration keys.
    // Runs inside the constructor only, before any other thread can reach the worker (the analysis skips
    // constructors, not what they call).
    void init() NO_THREAD_SAFETY_ANALYSIS;

    // Members in their order of construction; "owned" ones are deleted by the destructor. The worker's lock
    // guards every member marked so; the atomics are any thread's; the members made or read in construction
    // and kept as they are until destruction need no lock.
    std::atomic<bool> m_markedForDeletion{false};
    TInputData m_inputData GUARDED_BY(m_workerLock);
    CZyNetwork* m_session GUARDED_BY(m_workerLock) = nullptr;  // borrowed for the current send; never owned
    // A media agent's index service serves the requests of one session in turn, and streams an answer
    // before it reads the next request: a session whose answer is still coming would queue another
    // worker's request behind it. Such sessions stay with the worker until its answers have ended (then
    // they go back to their pool), or until it ends without them (then they are closed: what the agent
    // still sends on them is nobody's). Under the worker's lock, or in the destructor.
    struct TAnswerSession {
        CZyNetwork* session = nullptr;
        std::string host;
        bool indexingV2 = false;
        std::string dbKey;  // indexing v2: the index-server session cache's key
        App::IdxDbEngineType engineType = App::IDX_DB_ENGINE_CTREE;
    };
    std::vector<TAnswerSession> m_answerSessions GUARDED_BY(m_workerLock);
    // Gives the session just used (m_session) back to where it came from, or keeps it for its answer.
    void releaseSentSession(bool keepForAnswer) REQUIRES(m_workerLock);
    // Gives back (`answered`) or closes the sessions kept for answers.
    void giveBackAnswerSessions(bool answered) REQUIRES(m_workerLock);
    // Gives one session back to the pool or index-server cache it came from.
    static void giveBack(TAnswerSession& sent);
    std::unique_ptr<CBrowseTask> m_browseTask;  // made in construction; what it holds is under the lock
    std::string m_maClientName GUARDED_BY(m_workerLock);
    std::string m_maHostName GUARDED_BY(m_workerLock);
    // The media agents this worker sent requests to, by proven name: only they may answer it.
    struct TAnswerPeer {
        unsigned requests = 0;
    };
    std::map<std::string, TAnswerPeer> m_answerPeers GUARDED_BY(m_workerLock);
    // The media agent this request found up (not power-managed, or powered on).
    std::string m_maFoundUp GUARDED_BY(m_workerLock);
    // First half of the key of a cached index-service session.
    std::string m_indexBackupSetName GUARDED_BY(m_workerLock);
    std::string m_indexDbName GUARDED_BY(m_workerLock);  // second half of that key
    uint32_t m_maVersion GUARDED_BY(m_workerLock) = 0;   // above 999: release 10.0 or later
    std::string m_maVersionText GUARDED_BY(m_workerLock);
    bool m_maFromTaskOptions GUARDED_BY(m_workerLock) = false;
    CFsPredictionClient m_predictionClient GUARDED_BY(m_workerLock);
    CPredictor m_predictor GUARDED_BY(m_workerLock);  // bound to the prediction client and the return channel
    std::string m_workerId GUARDED_BY(m_workerLock);
    std::atomic<bool> m_asyncMode{false};               // answers arrive later through the router
    bool m_directAPI GUARDED_BY(m_workerLock) = false;  // prepare, not send, the media-agent request
    bool m_startLogged GUARDED_BY(m_workerLock) = false;
    std::optional<TRequestAuth> m_judgedCaller GUARDED_BY(m_workerLock);  // judgeCaller's verdict, passed
    Indexing::BrowseReq m_indexBrowseRequest GUARDED_BY(m_workerLock);
    databrowse::BrowseRequest m_browseRequest GUARDED_BY(m_workerLock);
    databrowse::SecuredBrowseRequest m_securedBrowseRequest GUARDED_BY(m_workerLock);
    Indexing::SecuredBrowseReq m_securedIndexBrowseRequest GUARDED_BY(m_workerLock);
    // The text m_securedIndexBrowseRequest's payload was signed as ("" when it held a secret).
    std::string m_signedIndexRequestText GUARDED_BY(m_workerLock);
    CNMessageBase* m_requestToReturn GUARDED_BY(m_workerLock) = nullptr;  // never owned
    std::unique_ptr<EvMultiEntityRestoreTask> m_privateTask;              // as m_browseTask
    // The scope of the request being run (its task's), handed to the steps that read; null outside
    // newRequest and judgeCaller (a relayed answer is read in the relay's own).
    zydb::CRequestReads* m_reads GUARDED_BY(m_workerLock) = nullptr;
    int32_t m_maPlatformType GUARDED_BY(m_workerLock) = 2;
    char m_errorText[kErrorTextSize] GUARDED_BY(m_workerLock) = {};
    databrowse::BrowseErrorCode m_errorCode GUARDED_BY(m_workerLock) = databrowse::BROWSE_ERR_NONE;
    ZyCriticalSection m_workerLock;
    // Index-service requests whose end has not arrived.
    int32_t m_outstandingRequests GUARDED_BY(m_workerLock) = 0;
    uint32_t m_samplingCounter GUARDED_BY(m_workerLock) = 1;
    std::unique_ptr<databrowse::Querylist> m_queryList GUARDED_BY(m_workerLock);
    // The filter the range check read, with its text: the normalisation takes it rather than read the
    // same text again.
    std::unique_ptr<databrowse::Querylist> m_checkedFilter GUARDED_BY(m_workerLock);
    std::string m_checkedFilterText GUARDED_BY(m_workerLock);
    std::unique_ptr<Indexing::ExternalBrowseReq> m_externalBrowseRequest GUARDED_BY(m_workerLock);
    int32_t m_superSearchOpType GUARDED_BY(m_workerLock) = 0;  // kind of browse operation decided at intake
    bool m_refCopySuperRestoreFind GUARDED_BY(m_workerLock) = false;
    // The caller's list, or m_ownAdditionalFlags when the worker made one itself.
    std::vector<databrowse::AdditionalFlag>* m_ptrAdditionalFlags GUARDED_BY(m_workerLock) = nullptr;
    std::unique_ptr<std::vector<databrowse::AdditionalFlag>> m_ownAdditionalFlags GUARDED_BY(m_workerLock);
    // Takes the caller's token out of the browse request and of the additional flags, once the caller is
    // judged: whatever the worker sends or prepares for another machine goes without it.
    void forgetCallerToken() REQUIRES(m_workerLock);
    bool m_doNotFallBackForFilters GUARDED_BY(m_workerLock) = false;
    std::string m_userAccessInfo GUARDED_BY(m_workerLock);
    std::atomic<bool> m_stopFlag{false};  // set by a stop of the session from another thread
    CZyNetCancel m_networkCancel;         // cancelled with the stop flag; watched by the sessions to agents
    mutable CHubMutex m_waitedMutex;
    std::string m_waitedSession GUARDED_BY(m_waitedMutex);  // see setWaitedSession
    bool m_delegateAccess GUARDED_BY(m_workerLock) = false;
    databrowse::ForceUseIndexType m_forceUseIndexType GUARDED_BY(m_workerLock) =
        databrowse::FORCE_USE_INDEX_NONE;
    std::string m_fbrMediaAgent GUARDED_BY(m_workerLock);
    bool m_indexingV2 GUARDED_BY(m_workerLock) = false;
    bool m_syncEnabled GUARDED_BY(m_workerLock) = false;
    bool m_guidLookup GUARDED_BY(m_workerLock) = false;
    bool m_resourceDomainEnabled GUARDED_BY(m_workerLock) = false;
    std::string m_resourceDomainUserGUID GUARDED_BY(m_workerLock);
    databrowse::IMAPReq* m_imapRequest GUARDED_BY(m_workerLock) = nullptr;  // never owned
    bool m_exchangeMonorun GUARDED_BY(m_workerLock) = false;
    std::string m_userObjectId GUARDED_BY(m_workerLock);
    // The incoming task's filter, kept by normalisation.
    std::string m_browseFindPattern GUARDED_BY(m_workerLock);
    bool m_appMining GUARDED_BY(m_workerLock) = false;
    bool m_appMiningFromGui GUARDED_BY(m_workerLock) = false;
    App::IdxDbEngineType m_idxDbEngineType GUARDED_BY(m_workerLock) = App::IDX_DB_ENGINE_CTREE;
    unsigned long long m_jobId GUARDED_BY(m_workerLock) = 0;
    bool m_browseFromHMDB GUARDED_BY(m_workerLock) = false;
    databrowse::BrowseResponse m_hmdbResponse GUARDED_BY(m_workerLock);
    int32_t m_alwaysReplyV1 = 0;   // index-service key HM_ALWAYS_REPLY_V1_BROWSE, read in construction
    int32_t m_checkClientMap = 0;  // index-service key HM_CHECK_CLIENT_MAP, read in construction
    uint64_t m_itemsReceived GUARDED_BY(m_workerLock) = 0;
    std::string m_countTag GUARDED_BY(m_workerLock);
    // Paths of items of unknown type whose nested browse answered: a versions browse meets such an item
    // once per version, and that browse already answered for all of them.
    std::set<std::string> m_dotBrowsed GUARDED_BY(m_workerLock);
    // The nested browse this worker runs as (none: depth 0), and the page window its items count in: its
    // own while it pages, else the one of the browse it runs in.
    TNestedFrame m_nestedFrame GUARDED_BY(m_workerLock);
    TItemWindow* m_itemWindow GUARDED_BY(m_workerLock) = nullptr;

    // ---- fast browse (worker/fastbrowse.cpp)
    // The exchange broke off (silence, a disconnect without an end, garbage, a stop): the session never
    // goes back to the pool.
    bool m_discardSession GUARDED_BY(m_workerLock) = false;
    // Ends an exchange that broke off: the error state, an error response and the end to the caller.
    void abandonFastBrowse(const std::string& text) REQUIRES(m_workerLock);

    // ---- steps of the application-mining road (appbrowse/appmining.cpp, appbrowse/sharepointbrowse.cpp)
    // The caller may browse the mined entity (the rights check of authentication, or the rule for direct
    // callers without a user name); false with the error state set.
    bool authoriseMiningEntity(EvMultiEntityRestoreTask* task) REQUIRES(m_workerLock);
    // The mining's session enters the session record and the configuration cache as any browse's does,
    // with a record that plans nothing: another caller's session id is refused, and a stop finds the
    // mining's worker while it runs. The reference is this request's; false with the error state set.
    bool openMiningSession(EvMultiEntityRestoreTask* task) REQUIRES(m_workerLock);
    // The mangled host name of the media agent that mines; false (error state set, or no text).
    bool findMiningMediaAgent(EvMultiEntityRestoreTask* task, apptype::EAppType appType, std::string& host)
        REQUIRES(m_workerLock);
    // Subclient and backup jobs of an Exchange database or Active Directory request; false with the error
    // state set.
    bool completeMiningJobs(apptype::EAppType appType) REQUIRES(m_workerLock);
    // Where the answers go, then the request to the mining service (or SharePoint browse); false with the
    // error state set.
    bool sendMiningRequest(bool sharePoint, const std::string& maHost, const std::string& sessionGuid)
        REQUIRES(m_workerLock);
    // A SharePoint request of a network caller: its server into the request to return, or the farm's.
    bool sharePointNetworkRoad() REQUIRES(m_workerLock);
    // False with the error state set when the mined site's subclient had no backup by the request's
    // time; true when it had, or when the request names no subclient.
    bool minedSiteBackedUp() REQUIRES(m_workerLock);
    // The answer of every browse for a time before the first backup: false with the error state set.
    bool noBackupsBy(int64_t time) REQUIRES(m_workerLock);
    // The caller's locale, for the texts of the mining road.
    unsigned long m_miningLocale GUARDED_BY(m_workerLock) = 0;
    // The mining service's pool this browse sent through: the instance it launched is given back when
    // the worker goes, whatever ended the browse (its answers' end, an error, a stop, the idle limit).
    CODSPoolHold m_miningPoolHold GUARDED_BY(m_workerLock);

    // ---- state of the request road
    // Gives back the configuration reference this request took (once), and asks for the record's
    // deletion; nothing when it holds none.
    void releaseConfReference() REQUIRES(m_workerLock);
    // The steps of newRequest between its entry and its one exit; newRequest writes a failure into the
    // error state.
    CStepResult runRequest(EvMultiEntityRestoreTask* task) REQUIRES(m_workerLock);
    // A failure of a step whose callee may have recorded its reason in the error state: that reason,
    // else this code and text.
    CStepResult stepFailure(databrowse::BrowseErrorCode code, const std::string& text) const
        REQUIRES(m_workerLock);
    // Steps of runRequest, in their order.
    // The caller's times, skips, page sizes and ids (task, request and filter) as they were sent: one
    // that would wrap into another value refuses the request.
    CStepResult checkValueRanges(const EvMultiEntityRestoreTask& task) REQUIRES(m_workerLock);
    // The application type, instance, backup set and client of the task's entity (and of each entity
    // of a multi-entity browse) as the Hubmaster database records them (judgeNamedEntity): an entity the
    // record does not bear out, or a type the request claims that contradicts it, refuses the request,
    // rights first, so no later step decides on a claimed entity.
    CStepResult settleEntity(EvMultiEntityRestoreTask* task) REQUIRES(m_workerLock);
    // Who asks, for the rule that puts rights before an entity's description.
    TEntityCaller entityCaller(const EvMultiEntityRestoreTask& task) const REQUIRES(m_workerLock);
    CStepResult refusedEntity(const TEntityVerdict& verdict) const;
    void logReceivedRequest(EvMultiEntityRestoreTask* task) REQUIRES(m_workerLock);
    // The caller's rights (and an end user's mailbox access); a refusal ends the request before
    // anything is set up.
    CStepResult authenticateCaller(EvMultiEntityRestoreTask* task, TRequestAuth& auth) REQUIRES(m_workerLock);
    // A refusal: the reason authentication recorded with its code, else the plain refusal.
    CStepResult refusal() const REQUIRES(m_workerLock);
    // The Exchange Monorun mailbox and the OneDrive end user's restriction.
    CStepResult checkApplicationAccess(EvMultiEntityRestoreTask* privateTask, apptype::EAppType appType,
                                       TRequestAuth& auth) REQUIRES(m_workerLock);
    // The path check and the browse task's set-up (none for a content-index report).
    CStepResult setUpRequestBrowse(EvMultiEntityRestoreTask* privateTask, apptype::EAppType appType,
                                   const TRequestAuth& auth) REQUIRES(m_workerLock);
    // The Hubmaster queries, the browse filter and the VM end user's own VMs.
    CStepResult applyQueries(EvMultiEntityRestoreTask* privateTask, apptype::EAppType appType,
                             const TRequestAuth& auth) REQUIRES(m_workerLock);
    // Media prediction, and the generated session as the caller's first answer.
    CStepResult startPrediction(EvMultiEntityRestoreTask* privateTask, bool sessionGuidGenerated)
        REQUIRES(m_workerLock);
    // The copy precedence of a browse of a backup copy, or its refusal when no copy job exists.
    CStepResult applyBackupCopyView(EvMultiEntityRestoreTask* privateTask) REQUIRES(m_workerLock);
    // The browse task with its return channel and configuration record; a failure ends the request.
    CStepResult setUpBrowseTask(EvMultiEntityRestoreTask* privateTask) REQUIRES(m_workerLock);
    // Content-index (super search) or classic index: the operation kind and the external request.
    CStepResult decideSuperSearch(EvMultiEntityRestoreTask* privateTask, const TRequestAuth& auth,
                                  const std::string& userName) REQUIRES(m_workerLock);
    void fillCiRequest(Indexing::CIBrowseReq& ci, int siteMode, long userId, const std::string& userName,
                       const TSuperSearchAnswer& answer, EvMultiEntityRestoreTask* privateTask)
        REQUIRES(m_workerLock);
    void setExternalRequest(const Indexing::CIBrowseReq& ci) REQUIRES(m_workerLock);
    // Confines the queries of a VM browse to the user's own VMs unless the user administers the Kelmarch.
    // The data queries of the request, one of id `queryId` made when it has none.
    std::vector<CNMessageBase>& ensureDataQuery(const char* queryId) REQUIRES(m_workerLock);
    void filterVmGuids(EvMultiEntityRestoreTask* privateTask, std::vector<std::string> vmGuids)
        REQUIRES(m_workerLock);
    // The browse session this request generated, as the caller's first answer.
    CStepResult sendSessionGuid() REQUIRES(m_workerLock);
    // Steps of mainBody and dispatchRequest (worker/mainbody.cpp).
    void fillInputRecord(bool noErrors) REQUIRES(m_workerLock);
    CStepResult finishWithoutMediaAgent(CStepResult result) REQUIRES(m_workerLock);
    CStepResult runNasLiveBrowsePlugin(bool noErrors, bool& dbAnswerAllowed) REQUIRES(m_workerLock);
    void prefixTableViewPaths() REQUIRES(m_workerLock);
    bool fastBrowseWithCount() REQUIRES(m_workerLock);
    // A paged fast browse counted over the items the caller gets (see TItemWindow): the media agent is
    // asked for its listing from the start, as far as the page needs; false when the browse failed.
    bool fastBrowsePage(TItemWindow& window) REQUIRES(m_workerLock);
    // What names the media agent's listing that a classic page is taken from.
    std::string classicListingKey() REQUIRES(m_workerLock);
    CStepResult dispatchSkipContent() REQUIRES(m_workerLock);
    // Writes one serialised answer to the browse task's channel or the stand-by channel: the channel's
    // result, -1 after the end went out.
    int writeToCaller(std::string& xml, bool classicItem) REQUIRES(m_workerLock);
    // The same for an answer whose bytes the channel takes (no copy); on failure `xml` is as it was.
    // `items`, `read`: where its items lie in it and the answer as read without them, when known.
    int writeToCaller(std::string&& xml, xmlscan::TItems items = {},
                      std::shared_ptr<CNMessageBase> read = nullptr) REQUIRES(m_workerLock);
    int writeResponse(databrowse::BrowseResponse& response, const char* failureFormat) REQUIRES(m_workerLock);
    std::string responseSessionGuid() const REQUIRES(m_workerLock);
    // Ends holding back the end of a fast browse and processes the end held meanwhile, if any.
    void releaseHeldEnd() REQUIRES(m_workerLock);
    // The user-profile procedure for one client (live browse, or the sync user's wording of its errors).
    bool findUserProfiles(long clientId, App::GetClientsUserProfilesResp& reply, bool syncUser)
        REQUIRES(m_workerLock);

    // The end of the answer: sent, held back, the count pass.
    CReplyChannel m_replyChannel GUARDED_BY(m_workerLock);
    std::string m_heldConfId GUARDED_BY(m_workerLock);  // the configuration reference this request holds
    // Which index answers a VM browse and how its answers are named back.
    CVMBrowseView m_vmView GUARDED_BY(m_workerLock);
    // Backup set of an indexing-v2 browse (indexing information).
    std::string m_backupSetGuid GUARDED_BY(m_workerLock);
    // The planner of a content-index request.
    std::unique_ptr<SuperBrowseManager> m_ciPlanner GUARDED_BY(m_workerLock);
    // The incoming task's job id and options, for the stand-by channel before the private task has them.
    unsigned long long m_callerJobId GUARDED_BY(m_workerLock) = 0;
    unsigned long long m_callerOptions GUARDED_BY(m_workerLock) = 0;

    // ---- the index-service road (worker/indexsession.cpp)
    // Starts the index service through the media agent's launcher; false with the error text set.
    bool launchIndexService(const std::string& localName) REQUIRES(m_workerLock);
    // Event evmsg::kRequestNotSent naming the media agent, in the task's locale when asked.
    void raiseSendFailedEvent(const std::string& hostName, bool inTaskLocale) REQUIRES(m_workerLock);

    // ---- steps of superBrowse (indexing/superbrowse*.cpp, indexing/retentionfilters.cpp)
    bool chooseSuperBrowseMediaAgent() REQUIRES(m_workerLock);
    bool tryPlannerMediaAgents() REQUIRES(m_workerLock);
    bool assembleSuperBrowseRequest(TSuperBrowseRun& run) REQUIRES(m_workerLock);
    void applyExchangeRetentionTags(TSuperBrowseRun& run) REQUIRES(m_workerLock);
    void applyNoPlannerRetention(TSuperBrowseRun& run) REQUIRES(m_workerLock);
    void addSuperBrowseCycles(TSuperBrowseRun& run) REQUIRES(m_workerLock);
    // False when the cycle is left out (its client cannot be read; the caller is warned).
    bool fillSuperBrowseCycle(TSuperBrowseRun& run, const SuperBrowse& cycle, Indexing::BackupCycle& out)
        REQUIRES(m_workerLock);
    void addCycleRetention(TSuperBrowseRun& run, Indexing::BackupCycle& cycle, uint32_t cycleAppId,
                           bool refCopy) REQUIRES(m_workerLock);
    void addSuperBrowseArchives() REQUIRES(m_workerLock);
    // Inserts the filters at the front of every query's criteria (a query without any gets them).
    void prependToQueries(const std::vector<databrowse::Criteria>& filters) REQUIRES(m_workerLock);
    bool setStopBrowseCapability() REQUIRES(m_workerLock);
    void fillSuperBrowseFields(TSuperBrowseRun& run) REQUIRES(m_workerLock);
    // The steps of fillSuperBrowseFields, in order.
    void setSuperBrowseScalars() REQUIRES(m_workerLock);
    void setSuperBrowseFlags(TSuperBrowseRun& run) REQUIRES(m_workerLock);
    void setSuperBrowseQueries() REQUIRES(m_workerLock);
    void setSuperBrowseAdditionalFlags() REQUIRES(m_workerLock);
    void setSuperBrowseSourcePaths() REQUIRES(m_workerLock);
    void setSuperBrowseReturnRoute(const TSuperBrowseRun& run) REQUIRES(m_workerLock);
    void setSuperBrowseSubclientPaths() REQUIRES(m_workerLock);
    void setPredictionJobId() REQUIRES(m_workerLock);
    void narrowVmFileNameSearchPath() REQUIRES(m_workerLock);
    void logSuperBrowseRequest(const std::string* sentText = nullptr) REQUIRES(m_workerLock);
    bool mediaAgentOlderThanBackups() REQUIRES(m_workerLock);
    // What VM live browse reads of this request (browse task, private task, live-browse media agent,
    // incoming request) for its mount descriptions and proxy switch.
    TVSALiveBrowseView vsaLiveBrowseView() const REQUIRES(m_workerLock);

    // ---- steps of the indexing information (indexing/indexinginfo.cpp, indexing/indexingsubclients.cpp)
    int indexingInfoJobsAndCycles(TIndexingInfoRun& run) REQUIRES(m_workerLock);
    int indexingInfoSubclients(TIndexingInfoRun& run) REQUIRES(m_workerLock);
    void readSubclientIndexMode(TIndexingInfoRun& run) REQUIRES(m_workerLock);
    void decideDataValidation(TIndexingInfoRun& run, CNMessageBase* options, CNMessageBase* advanced)
        REQUIRES(m_workerLock);
    void decideOldIndexServer(TIndexingInfoRun& run) REQUIRES(m_workerLock);
    int scanArchiveRows(TIndexingInfoRun& run, const std::string& procedureInput) REQUIRES(m_workerLock);
    void readCrossCycleCheckpoints(TIndexingInfoRun& run) REQUIRES(m_workerLock);
    // False when the subclient gets no NAS mount parameters (no snapshot, or the plug-in failed).
    bool addNasMountParams(int appId, std::vector<CNMessageBase>& nasList) REQUIRES(m_workerLock);
    void addRetentionSubquery(const APP_Application_t& row) REQUIRES(m_workerLock);
    int chooseIndexDatabase(TIndexingInfoRun& run, const std::vector<CNMessageBase>& subclientInfos,
                            const std::set<uint32_t>& allowed) REQUIRES(m_workerLock);
    // ---- steps of the indexing-V2 completion (indexing/v2completion.cpp)
    void addDelayCatalogedVmView(CNMessageBase& options) REQUIRES(m_workerLock);
    // The from and to times named by the kind-0 queries; true when a query has a time criterion.
    bool applyQueryTimeLimits() REQUIRES(m_workerLock);
    void fillV2ClientBlock() REQUIRES(m_workerLock);

private:
    void touch();
    int64_t steadySeconds() const;
    const CHubClock& m_clock;
    std::atomic<int64_t> m_lastActivity{0};  // steady-clock seconds of the last enter or leave
};

// Holds a worker's lock for a scope and gives it back once: when the scope is left, however it is left,
// or earlier through release(). Move-only; a moved-from guard gives back nothing.
class SCOPED_CAPABILITY CWorkerAccess {
public:
    // Waits for the lock (accessWorker).
    explicit CWorkerAccess(CWorkerThreadHM& worker) ACQUIRE(worker.workerLock()) : m_worker(&worker) {
        worker.accessWorker();
    }
    // Takes over a lock the caller already entered (a successful tryAccessWorker).
    CWorkerAccess(CWorkerThreadHM& worker, std::adopt_lock_t) REQUIRES(worker.workerLock())
        : m_worker(&worker) {}
    CWorkerAccess(CWorkerAccess&& other) noexcept : m_worker(std::exchange(other.m_worker, nullptr)) {}
    CWorkerAccess& operator=(CWorkerAccess&&) = delete;
    CWorkerAccess(const CWorkerAccess&) = delete;
    CWorkerAccess& operator=(const CWorkerAccess&) = delete;
    ~CWorkerAccess() RELEASE() { release(); }

    // Gives the lock back now; nothing when it was given back already.
    void release() RELEASE() NO_THREAD_SAFETY_ANALYSIS {
        if (m_worker) std::exchange(m_worker, nullptr)->releaseWorker();
    }

private:
    CWorkerThreadHM* m_worker;
};
