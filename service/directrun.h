// The direct run of a routed browse request and its one reply: the stack worker runs the prepared task
// in direct mode on the callback thread, and the caller gets on its own connection the request prepared
// for the media agent, the worker's stored answer, or an error; the session's configuration record then
// no longer lists the worker. Called by the router's BrowseRequest branch (answerRoutedBrowseRequest,
// service/routerbrowserequest.h) on the network callback thread that delivered the request; several
// calls run at once, each with objects of its own.
#pragma once

#include <string>

#include "planning/handedover.h"

class CZyNetwork;
struct TDirectTask;

// Text of the error reply when a worker succeeds but has nothing to send.
inline constexpr const char* kDirectRunNoAnswer =
    "Browse request failed: the browse produced no answer to send";
// Text of the error reply when the session cannot be handed over: its caller, or the service, holds as
// many sessions in flight as it may.
inline constexpr const char* kDirectRunTooManySessions =
    "Browse request refused: too many browse sessions are in flight; stop one or wait for one to end";

// An erase (operation 7, 8 or 9) is judged before it runs: its caller and the caller's rights on the
// client, then the erase gate. True when a real erase (`dryRun` false) passed and goes on to
// runDirectTask; else the caller has been answered (the refusal, or a dry run's "would pass": an end)
// and the refusal logged.
bool judgeGatedErase(TDirectTask& t, CZyNetwork* session, bool dryRun);
// Authenticates t's caller (unless judgeGatedErase did), does the end-user erase bookkeeping of an erase
// request (only once authenticated), runs the worker and sends exactly one reply on `session`; then releases
// the worker's place in the session's configuration record.
void runDirectTask(TDirectTask& t, CZyNetwork* session);
// Remembers browse session `guid`, handed to its caller as a prepared request, with its owner and the
// media agent that answers it (for its stop; "" when no agent can answer the request, so that nothing is
// told): kKept, kOtherOwner when the session record keeps it for another caller, or the bound that
// refused it.
CHandedOverSessions::ERemembered rememberHandedOverSession(const std::string& guid,
                                                           const TSessionOwner& owner,
                                                           const std::string& mediaAgent);
