// The services a machine's listener starts on request, and the instances it started. Each instance is
// a network server made by its service's factory, serving the instance's GUID; it ends when its last
// session ends, when no session reaches it in time, or when the listener stops. Owned by CZydListener:
// launches and reaping run on its accept threads (one at a time), registration on any thread, ends on
// the instances'.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/errors/cuxerror.h"
#include "platform/net/zynet_socket.h"
#include "platform/net/zynetwork_server.h"
#include "platform/threads/hubmutex.h"

class CNMessageBase;
class CZydListener;
namespace CNSession {
class LaunchOnDemandServiceReq;
class LaunchOnDemandServiceDetails;
}  // namespace CNSession

// What a factory is told about the instance it makes.
struct TZyLaunch {
    std::string service;     // the registered name that was asked for
    std::string guid;        // the instance's name: its server must serve it on `listener`
    std::string clientName;  // who asked
    // The on-demand request (its input, user and password); null for a launcher started by a session.
    // Valid during the factory's call only.
    const CNSession::LaunchOnDemandServiceReq* request = nullptr;
    // Valid while the instance lives; the factory's server may keep it, nothing else.
    std::shared_ptr<CZydListener> listener;
};

// Makes the server of one instance (with the CZyNetworkServer constructor that takes a listener);
// null when it cannot. Runs on one of the listener's accept threads: it must not block.
using ZyLaunchFactory = std::function<std::unique_ptr<CZyNetworkServer>(const TZyLaunch& launch)>;
// Who a service answers: the text it refuses a caller with (`provenName`: the client name its
// certificate proves, "" for an anonymous caller), "" when it answers it. Judged before any count of
// instances, so a caller the service would refuse is told that, whatever else runs. Must not block.
using ZyLaunchAdmission = std::function<std::string(const std::string& provenName)>;
// A factory whose instances are plain servers with these callbacks.
ZyLaunchFactory zyLaunchCallbacks(CZyNetworkServer::XdrCallback xdrCallback,
                                  CZyNetworkServer::XmlCallback xmlCallback);

class CZydLauncher {
public:
    // `wake` interrupts the listener's first accept thread, which then calls reap().
    CZydLauncher(CZydListener& listener, std::function<void()> wake);
    ~CZydLauncher();
    CZydLauncher(const CZydLauncher&) = delete;
    CZydLauncher& operator=(const CZydLauncher&) = delete;

    bool registerService(const std::string& name, ZyLaunchFactory factory, ZyLaunchAdmission admission);
    void unregisterService(const std::string& name);

    // The first of the two names that is registered ("" for none).
    std::string serviceOf(const std::string& name, const std::string& alternate) const;
    // Whether `service` answers a caller: a refusal in the service's own words, else success.
    CUxError admits(const std::string& service, const std::string& provenName) const;

    // An instance of the first of the two names that is registered, for the session that asked; the
    // caller hands the session to the returned server (alive until the next reap on its thread). An
    // instance of a caller outside the infrastructure (`outsider`) counts towards outsiderCount().
    CUxError launchForSession(const std::string& name, const std::string& alternate,
                              const std::string& clientName, bool outsider, CZyNetworkServer*& server);
    // An on-demand instance on a port of its own, also served by GUID on this listener (whose port
    // is `zydPort`); fills the details.
    CUxError launchOnDemand(const CNSession::LaunchOnDemandServiceReq& request, const std::string& clientName,
                            bool outsider, int zydPort, CNSession::LaunchOnDemandServiceDetails& details);

    // Ends the instances whose sessions are over or that no session reached in time; tells when the
    // next one may be due.
    zynet::Deadline reap();
    // Ends every instance and joins its threads.
    void endAll();
    // Instances that are running or still ending.
    size_t instanceCount() const;
    // Those of them that callers outside the infrastructure launched.
    size_t outsiderCount() const;
    // Returns once at most `count` instances run or are ending (true), or at `limit` (false).
    bool waitForInstances(size_t count, std::chrono::milliseconds limit) const;
    // The name is an instance's GUID (running or still ending). Called under the listener's lock.
    bool isInstance(const std::string& name) const;

private:
    struct TInstance {
        std::unique_ptr<CZyNetworkServer> server;
        std::shared_ptr<CZydListener> own;  // on-demand: its own listener
        zynet::Deadline unusedUntil;        // no session by then: it ends
        bool ended = false;
        bool outsider = false;  // launched for a caller outside the infrastructure
    };

    CUxError launch(const std::string& service, const std::string& clientName, bool outsider,
                    const CNSession::LaunchOnDemandServiceReq* request, std::shared_ptr<CZydListener> on,
                    CZyNetworkServer*& server, std::string& guid);
    void ended(const std::string& guid);
    // Detaches from this listener, quits and frees: joins the instance's threads. Outside m_mutex.
    void finish(TInstance& instance);

    CZydListener& m_listener;
    const std::function<void()> m_wake;

    mutable CHubMutex m_mutex;
    struct TService {
        ZyLaunchFactory factory;
        ZyLaunchAdmission admission;  // empty: it answers anyone
    };
    std::map<std::string, TService> m_services GUARDED_BY(m_mutex);    // by name
    std::map<std::string, TInstance> m_instances GUARDED_BY(m_mutex);  // by GUID
    // GUIDs taken out of the map, not yet finished.
    std::set<std::string> m_finishing GUARDED_BY(m_mutex);
    size_t m_outsiders GUARDED_BY(m_mutex) = 0;  // instances of outsiders, running or ending
    mutable std::condition_variable m_finished;  // an instance has finished ending
};
