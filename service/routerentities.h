// Entity resolution of a routed browse request: the restore requestor's media agent (under a global
// parameter), the backup-set GUID to ids, the name-to-id round trip through the database's resolver,
// which yields the completed request every later step reads, and the hand-over of a stop request
// (operation 5) once its caller passes the router caller rule. A step of the router's direct road, on
// its callback thread.
#pragma once

#include <string>

#include "platform/msg/msg_classes.h"

class CZyNetwork;
class EvMultiEntityRestoreTask;
struct TDirectTask;

enum class EEntityStep {
    kContinue,    // t.request holds the completed request
    kErrorReply,  // answer with the common error reply carrying `errorText`
    kNoReply,     // a stop was handed to the controller: nothing goes back
};

EEntityStep resolveRoutedEntities(databrowse::BrowseRequest& received, TDirectTask& t, CZyNetwork* session,
                                  std::string& errorText);

// The client id of the caller of `session` (its client name looked up); 0 when it cannot be told.
unsigned long routedCallerClientId(CZyNetwork* session);

// kAccepted: something of the session was running and is told to end; kNothingRunning: the owner's
// stop of a session whose browses had all ended; kNotSent: an allowed stop of a running browse that
// nothing tells to end (stopping a session's browses is switched off), with the reason in `why`.
enum class EStopVerdict { kAccepted, kNothingRunning, kRefused, kNoSuchSession, kNotSent };
// Judges a stop of the request's session by who asks (the request's token, or the proven calling
// client `callerClientId`) against the session's owner, logs the verdict, and hands an allowed stop to
// the controller with `task`. `why`: the verdict's reason; `ends` (when given): what of the session the
// stop ends. Any thread that may wait for the stop.
EStopVerdict judgeStop(databrowse::BrowseRequest& request, EvMultiEntityRestoreTask& task,
                       unsigned long callerClientId, int checkClientMap, std::string& why,
                       std::string* ends = nullptr);
