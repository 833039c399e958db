// CBrowseMulticlient: a find across several clients that arrived at "BrowseRouter". It identifies the
// caller, lets the application manager's procedure pick the media agent and prepare the request, and
// answers on the caller's own connection with that request (signed for callers at service pack 22 or
// later). One object per request, on the router's callback thread.
#pragma once

#include <sstream>
#include <string>

#include "platform/errors/cuxerror.h"
#include "platform/msg/msg_classes.h"
#include "platform/msg/msg_enums.h"

class CZyNetwork;

namespace zydb {
class CRequestReads;
}

class CBrowseMulticlient {
public:
    static constexpr int kSecuredServicePack = 22;

    // Takes a worker id from the controller and reads HM_ALWAYS_REPLY_V1_BROWSE.
    CBrowseMulticlient();

    bool setDirectAPI(bool directAPI) { return m_directAPI = directAPI; }
    // The request the find is read in (not owned; the router's, for the call of Find).
    void setRequestReads(zydb::CRequestReads* reads) { m_reads = reads; }
    const std::string& getWorkerId() const { return m_workerId; }

    // Answers the request on `session` (the prepared request, or an error response); returns the error
    // of the work.
    CUxError Find(databrowse::BrowseRequest* request, CZyNetwork* session);
    // The work itself: sends the prepared request on success.
    CUxError HandleMultiClientFind(databrowse::BrowseRequest* request, CZyNetwork* session);
    // Fills `secured` from `prepared`; true when the secured form is to be sent.
    bool convertToSecureBrowseReq(std::string& callerClientName, databrowse::BrowseRequest& prepared,
                                  databrowse::SecuredBrowseRequest& secured);
    // The lowest service pack of a cluster client's physical clients; 0 when not known.
    int GetMinSPLevelInClusterClient(std::string& clientName);
    void smallDump(const char* tag, databrowse::BrowseRequest* request);

private:
    // Runs the application manager's procedure until it names a media agent with an index service:
    // the clients whose data an older agent holds leave the request, each with a warning to the caller.
    // `prepared` names no media agent when none is left.
    CUxError prepareOnIndexService(databrowse::BrowseRequest& request, databrowse::BrowseRequest& prepared,
                                   CZyNetwork* session);
    // Warns the caller of every client (or subclient) of the request whose data the prepared request's
    // media agent does not hold, naming the agent that does.
    void warnOfUnsearched(const databrowse::BrowseRequest& request, databrowse::BrowseRequest& prepared,
                          CZyNetwork* session);

    // Who asks a find: its proven calling client (by name and id) and its user.
    struct TFindCaller {
        std::string name;
        unsigned long clientId = 0;
        int userId = 0;
        std::string userName;
    };
    // Refuses a token that does not authenticate the caller (or its absence for an anonymous one).
    // `reason`: why the token's user was refused, as the security manager words it ("" for none).
    CUxError refuseToken(databrowse::BrowseRequest& request, const std::string& reason);
    // Remembers the session with its owner and the agent that answers it, then sends `prepared` on
    // `session` (signed when the caller reads the signed form).
    CUxError handToCaller(databrowse::BrowseRequest& request, databrowse::BrowseRequest& prepared,
                          CZyNetwork* session, TFindCaller& caller, const std::string& mediaAgent);

    std::ostringstream m_errorText;
    // The code the error reply carries: a refusal (the token, the clients, the session) says so.
    databrowse::BrowseErrorCode m_errorCode = databrowse::BROWSE_ERR_GENERIC;
    bool m_directAPI = false;
    zydb::CRequestReads* m_reads = nullptr;
    std::string m_workerId;
    int m_alwaysReplyV1 = 0;
};
