// What the authentication step of a request leaves for the rest of it, and the one rule for callers
// that reach the service through "BrowseRouter" without a user name (the worker's direct-API step and
// the router's own requests use it alike). Plain values and pure decisions over the security library;
// any thread, each call with its own arguments.
#pragma once

#include <string>
#include <vector>

#include "platform/entities/recordedkind.h"

// Results of CWorkerThreadHM::authenticateRequest, read by the later steps of newRequest.
struct TRequestAuth {
    int authMode = 0;                  // 0 no rights established, 1 end-user rights, 2 full rights
    bool authFailed = false;           // the request must fail at intake's checks
    int findMode = 0;                  // 4 for content-index reports, else left to intake
    long ciClientId = 0;               // client id for the content index (the web server's for CI reports)
    std::vector<std::string> vmGuids;  // the user's own VMs (VM end-user access switched on)
    // Outputs of the Exchange mailbox check, filled by that check when it runs.
    std::string mailboxPath;  // converted mailbox path that replaces every browse path
    bool useMailboxPath = false;
    bool mailboxAcrossUpgrade = false;
    std::string mailboxGuid;
    std::string mailboxFilterPath;  // path pattern that confines an end user's browse
};

// What a caller without a user name asks the service to do.
enum class EDirectCallerAct {
    kBrowse,     // browse or find of the named client as the caller itself
    kStop,       // stop of a browse session
    kActAsUser,  // acts as a particular user other than the caller (erase as a named user, a job
                 // owner, a shared-folder owner, a multi-client find as a named user)
};

struct TDirectCaller {
    int checkClientMap = 1;  // index-service key HM_CHECK_CLIENT_MAP (0: trusted peers; absent: 1)
    EDirectCallerAct act = EDirectCallerAct::kBrowse;
    std::string token;                     // the request's authentication token; may be empty
    unsigned long callerClientId = 0;      // the calling client as the network identified it (0: unknown)
    long clientId = 0;                     // the browsed client
    long long jobId = 0;                   // for the security manager's messages
    zydb::CRequestReads* reads = nullptr;  // the request's scope, where its token is checked
};

struct TDirectCallerDecision {
    enum Verdict : int {
        kRefused = 0,
        kTrusted = 1,        // trusted mode: runs as the request says, with full rights
        kCallerAllowed = 2,  // the calling client is the browsed client or the client map allows it
        kTokenUser = 3,      // a valid token names the user (tokenUserId, tokenUserName)
    };
    Verdict verdict = kRefused;
    int tokenUserId = 0;
    std::string tokenUserName;
    std::string reason;  // one line for logs
};

// Where the installation names the peers (client names, comma-separated) that may browse and stop
// without a user when the client-map check is off; the Hubmaster itself always may.
inline constexpr const char* kTrustedPeersSection = "~Hubmaster";
inline constexpr const char* kTrustedPeersValue = "sTrustedBrowseCallers";

// The index-service key HM_CHECK_CLIENT_MAP: an absent key or one that cannot be read means "check" (1).
int checkClientMapSetting();

// True when the proven calling client (0: anonymous or unknown) is a trusted peer.
bool isTrustedPeer(unsigned long callerClientId);

// The rule: a valid token names the user. Without one, a browse and a stop run on trust only for a
// trusted peer with the client-map check off (0); with the check on (1, also when the key is absent)
// they need a calling client that the client map allows for the browsed client. An anonymous or
// unknown caller (client 0) is refused. Acting as another user never runs on trust alone: a valid
// token, or an allowed calling client with the client-map check on.
TDirectCallerDecision decideDirectCaller(const TDirectCaller& caller);

// True when the user name is not domain-qualified (has no backslash): a local user.
bool isLocalUserName(const char* userName);

// Who asks, as the rule that puts rights before an entity's description needs it (TMaySeeClient).
struct TEntityCaller {
    zydb::CRequestReads* reads = nullptr;  // the request the questions are asked in
    int userId = 0;                        // the user the request runs as (a token's); 0: none
    bool directWithoutUser = false;        // no user: the rule for callers without a user name decides
    TDirectCaller direct;                  // that caller (its browsed client is each question's)
};

// Whether `caller` may be told about client `clientId` (0: none named, or one the Hubmaster does not
// know): a user holding any right on it or on anything of it; a caller without a user that the rule for
// such callers lets browse it (a valid token makes it its user).
bool callerMaySeeClient(const TEntityCaller& caller, long clientId);
TMaySeeClient maySeeClientOf(TEntityCaller caller);
