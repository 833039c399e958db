#include "platform/net/zyondemand_client.h"

#include "platform/net/zynet_directory.h"
#include "platform/net/zynet_errors.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynet_xml.h"

CUxError ZYOnDemandSvcClient::SubmitTask(CNSession::LaunchOnDemandServiceReq& request,
                                         CNSession::LaunchOnDemandServiceDetails& details) {
    static const char* const kFunction = "ZYOnDemandSvcClient::SubmitTask";
    using Req = CNSession::LaunchOnDemandServiceReq;
    const std::string host = request.getstring(Req::f::hostName);
    const std::string what = "[" + request.getstring(Req::f::serviceName) + "] on " + host;

    CZyNetwork session(m_clock);  // for the launch exchange only
    session.setDeadline(m_deadline);
    TZyNetAddress address;
    CUxError error = session.resolve(host.c_str(), address);
    if (error.IsError()) return error;
    std::string xml, why;
    if (!zynet::messageToXml(request, xml, why)) return zynet::makeError(ZYNET_E_BAD_PAYLOAD, kFunction, why);

    CZyNetwork::TAnswer answer;
    bool timedOut = false;
    error = session.open(address, zynet::kLaunchOnDemand, std::vector<uint8_t>(xml.begin(), xml.end()),
                         nullptr, zynet::options().connectSeconds, timedOut, answer, kFunction);
    if (error.IsError()) return error;
    if (answer.code != zynet::kLaunched) return session.unwelcome(answer, what, 0, kFunction);
    // The instance must be on the machine that launched it: whoever answers at its ports proves the same
    // name, whether or not the host named one.
    const std::string proved = session.GetCertificateName();
    session.shutdown();

    CNSession::LaunchOnDemandServiceDetails launched;
    if (launched.unserialize(reinterpret_cast<const char*>(answer.payload.data()), answer.payload.size()) !=
        0)
        return zynet::makeError(ZYNET_E_BAD_PAYLOAD, kFunction, "the launch details of " + what);
    details = launched;
    m_host = address.host;
    m_peerName = proved;
    return CUxError::Success();
}

CUxError ZYOnDemandSvcClient::Attach(CNSession::LaunchOnDemandServiceDetails& details, CZyNetwork& session) {
    static const char* const kFunction = "ZYOnDemandSvcClient::Attach";
    using Details = CNSession::LaunchOnDemandServiceDetails;
    const std::string guid = details.getstring(Details::f::guid);
    if (m_host.empty() || guid.empty())
        return session.failed(
            ZYNET_E_BAD_ARGUMENT, kFunction,
            m_host.empty() ? "nothing was launched through this client" : "no instance GUID");

    // The instance answers to its GUID at both ports; its own port fails only when it cannot be reached.
    const int ports[] = {static_cast<int>(details.getint64(Details::f::instancePort)),
                         static_cast<int>(details.getint64(Details::f::zydPort))};
    CUxError error = zynet::makeError(ZYNET_E_CONNECT, kFunction, "no port");
    for (int port : ports) {
        if (port <= 0) continue;
        bool timedOut = false;
        error = session.Connect(TZyNetAddress{m_host, port, m_peerName}, guid.c_str(), nullptr,
                                zynet::options().connectSeconds, timedOut);
        if (error.GetErrorCode() != ZYNET_E_CONNECT) break;
    }
    // Nobody there, a listener that no longer knows the GUID, or one closing as the instance ends.
    const int code = error.GetErrorCode();
    if (code == ZYNET_E_CONNECT || code == ZYNET_E_REFUSED || code == ZYNET_E_DISCONNECTED)
        return session.failed(ZYNET_E_INSTANCE_ENDED, kFunction,
                              guid + " on " + m_host + ": " + error.GetErrorText());
    return error;
}

int AttemptSessionAttach(CZyNetwork& session, int clientId) {
    static const char* const kFunction = "AttemptSessionAttach";
    TZyNetAddress address;
    std::string clientName;
    CUxError error = CZyNetDirectory::instance().resolveClientId(clientId, address, clientName);
    if (error.IsError()) {
        ignoreResult(session.failed(error.GetErrorCode(), kFunction, error.GetErrorText()),
                     "the error stays on the session for its caller");
        return 0;
    }
    CZyNetwork::TAnswer answer;
    bool timedOut = false;
    error = session.open(address, zynet::kProbe, CZyNetwork::helloBytes("", nullptr), nullptr,
                         zynet::options().connectSeconds, timedOut, answer, kFunction);
    if (!error.IsError())
        error = session.welcomed(answer, address, "client " + clientName, ZYNET_E_REFUSED, kFunction);
    if (error.IsError()) return 0;
    session.shutdown();
    return 1;
}
