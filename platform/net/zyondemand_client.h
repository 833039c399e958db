// Services started on demand on a client machine: SubmitTask asks the client's listener to launch a
// registered service and tells the instance's GUID and ports; Attach opens a session with it;
// AttemptSessionAttach tells whether a client's listener answers at all. One client object per
// caller and thread; AttemptSessionAttach from any thread, on a session that no other thread uses.
#pragma once

#include <string>

#include "platform/errors/cuxerror.h"
#include "platform/msg/msg_classes.h"
#include "platform/net/zynetwork.h"

class ZYOnDemandSvcClient {
public:
    // Its launch exchanges run on `clock` (see setDeadline), which must outlive it.
    explicit ZYOnDemandSvcClient(const CHubClock& clock = CHubClock::real()) : m_clock(clock) {}

    // Launches the service the request names (serviceName) on its host (hostName: a mangled name, a
    // client name or a host name, found through the directory); the instance is given the whole
    // request (its input, user and password). Fills the details: service name, the instance's GUID,
    // its own port (instancePort) and its machine listener's port (zydPort). A service that cannot
    // be launched there is the error ZYNET_E_NO_LAUNCHER.
    CUxError SubmitTask(CNSession::LaunchOnDemandServiceReq& request,
                        CNSession::LaunchOnDemandServiceDetails& details);

    // Opens `session` (never opened before) with the instance of `details`, on the host of this
    // client's last SubmitTask: at the instance's own port, else through its machine's listener; the
    // answer there must prove the name the launch's machine proved. An instance that has ended is the
    // error ZYNET_E_INSTANCE_ENDED.
    CUxError Attach(CNSession::LaunchOnDemandServiceDetails& details, CZyNetwork& session);

    // The launch exchanges of SubmitTask end by `deadline` at the latest (see CZyNetwork::setDeadline);
    // Attach's session keeps its own.
    void setDeadline(zynet::Deadline deadline) { m_deadline = deadline; }

private:
    const CHubClock& m_clock;
    zynet::Deadline m_deadline = zynet::Deadline::max();
    std::string m_host;      // the address of the last launch's machine; empty before the first
    std::string m_peerName;  // the client name that machine proved (empty: a plain session proved none)
};

// 1 when the listener of the client with this id (found through the directory) answers a session
// that `session` opens to it, else 0. The session then knows the client's name and protocol version
// and is closed: nothing is served behind it.
int AttemptSessionAttach(CZyNetwork& session, int clientId);
