// The host's own browse service, "HubmasterBrowse": where a console reaches the browse service the way
// the management server's event manager hands it work. A databrowse::BrowseRequest becomes a browse task
// for the service's entry point, and every answer of the task's return channel goes back on the
// caller's connection (so a classic fast browse of an older media agent reaches the console too); an
// erase request (operation 7) becomes an end user's erase task, and a stop (operation 5) is answered
// with the service's verdict. Callers prove who they are with a
// token. One object per host process: started after the service, drained before the service is
// cleaned up, stopped after it. Requests run on the network server's connection threads.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "platform/db/requestscope.h"
#include "platform/msg/msg_classes.h"
#include "platform/net/zynetwork_server.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/threads/hubclock.h"
#include "platform/threads/hubmutex.h"
#include "tools/hubmaster/callerwatch.h"

class CHostBrowseService {
public:
    static constexpr const char* kServiceName = "HubmasterBrowse";

    using ProcessFn = int (*)(EvMultiEntityRestoreTask*, bool, databrowse::ForceUseIndexType,
                              databrowse::BrowseRequest*);
    using LaunchEraseFn = int (*)(databrowse::BrowseRequest*);

    // Its waits for a browse's answers and its token checks are measured on `clock`, which must outlive
    // it.
    CHostBrowseService(ProcessFn process, LaunchEraseFn launchErase,
                       const CHubClock& clock = CHubClock::real());
    ~CHostBrowseService();
    CHostBrowseService(const CHostBrowseService&) = delete;
    CHostBrowseService& operator=(const CHostBrowseService&) = delete;

    // Serves behind this machine's listener; false with `error` when the name is taken.
    bool start(std::string& error);
    // Refuses new requests, ends the waits of running browses for their answers, and waits (bounded)
    // until no request is inside the service any more; false when one still is (the service must then
    // not be cleaned up under it). Called before the service is cleaned up.
    bool drain();
    // Closes every connection and joins the server's threads.
    void stop();
    // The port it serves on (its machine's listener); 0 when it does not serve.
    int port() const;

    // A new job id of this host (browse tasks of every road of the host share them).
    static long long nextJobId();
    // The task the event manager would hand over for `request`, as job `jobId`.
    static void fillTask(databrowse::BrowseRequest& request, long long jobId, EvMultiEntityRestoreTask& task);

private:
    class CForwarder;
    struct TCaller {
        int userId = 0;
        std::string userName;
    };

    static void xdrCallback(CZyNetworkServer::ZynCallback_e type, CZyNetworkServer* server, long long handle,
                            unsigned long messageType, zysDatabuf_v2* data);
    static void xmlCallback(CZyNetworkServer::ZynCallback_e type, CZyNetworkServer* server, long long handle,
                            CNMessageBase* message);
    // Serves one request in one request scope, as the service's entry points do: what it reads of the
    // registry, its clients and the database, each once, handed to each step that reads and to the
    // service through the request's task; the snapshot is let go before every wait for answers.
    void serve(CZyNetwork& session, databrowse::BrowseRequest& request);
    // False with the reply's error text when the token is missing or not valid.
    bool authenticate(zydb::CRequestReads& reads, databrowse::BrowseRequest& request, TCaller& caller,
                      std::string& error);
    // Fills the entity's ids from what the Hubmaster database records of its subclient, through the
    // service's one judge of an entity (platform/entities/recordedkind.h); false with the error's text
    // and code (a caller who may not see the client named is told he is not authorised).
    bool resolveEntity(zydb::CRequestReads& reads, databrowse::BrowseRequest& request, const TCaller& caller,
                       std::string& error, databrowse::BrowseErrorCode& code);
    // Whether this service answers the request as asked (a listing or versions, paged); false with the
    // reply's error text for what only BrowseRouter answers.
    static bool servedHere(databrowse::BrowseRequest& request, std::string& error);
    void browse(zydb::CRequestReads& reads, CZyNetwork& session, databrowse::BrowseRequest& request,
                const TCaller& caller);
    // A user's stop of a session: the service's verdict (accepted, refused, no such session) is the answer.
    void stopSession(zydb::CRequestReads& reads, CZyNetwork& session, databrowse::BrowseRequest& request,
                     const TCaller& caller);
    // Stops the session of a browse whose caller left before its answer ended.
    void stopLeftBrowse(databrowse::BrowseRequest& request, const TCaller& caller);
    void erase(zydb::CRequestReads& reads, CZyNetwork& session, databrowse::BrowseRequest& request,
               const TCaller& caller);
    // Puts into each path of an erase the size the media agent's index answers for it (one listing of
    // each parent directory at the erase's time, as the caller) and the entity's subclient. False with
    // `error` when a listing fails or a path is not in it. `versions`: each path's version as the index
    // tells it (its version and modification time), which an erase erases once.
    bool sizeFromIndex(zydb::CRequestReads& reads, databrowse::BrowseRequest& request, const TCaller& caller,
                       std::map<std::string, std::string>& versions, std::string& error);

    const ProcessFn m_process;
    const LaunchEraseFn m_launchErase;
    const CHubClock& m_clock;
    // Callers whose browse is inside the entry point: one that leaves has its session stopped then.
    std::unique_ptr<CCallerWatch> m_callerWatch;
    std::unique_ptr<CZyNetworkServer> m_server;
    std::thread m_serving;

    CHubMutex m_mutex;
    std::condition_variable m_changed;  // a request left the service, or draining began
    bool m_draining GUARDED_BY(m_mutex) = false;
    int m_inside GUARDED_BY(m_mutex) = 0;  // requests between admission and their last answer
    std::set<CForwarder*> m_forwarders GUARDED_BY(m_mutex);  // the return channels of running browses
};
