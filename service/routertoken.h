// Token authentication of a routed browse request and the user it runs as: the caller's token (kept
// in the session's configuration record), a job's owner or the erase request's user entity when no
// token comes (only for a caller the router caller rule lets act as another user), the caller's
// client, and a shared folder's owner for a caller the folder is shared with. A step of the router's
// direct road, on the callback thread that delivered the request, just before the direct run.
#pragma once

#include "fbDebug/fbdebug.h"

class CZyNetwork;
struct TDirectTask;

// Fills t's task user and caller client (and the worker's resource-domain switches). False when the
// request must be answered at once with t.replyError (a rejected token, or a caller that may not act
// as the user it names): the worker must not run. A caller whose client cannot be identified is
// recorded as t.replyError and the step still returns true.
bool authenticateRoutedRequest(TDirectTask& t, CZyNetwork* session, CBrowseLog& log);

// The first part of it, which the router takes before anything of the request's entity is read: the
// calling client and the token's user, into t.caller (once). False, with the refusal in
// t.caller.refusal, for a caller authenticateRoutedRequest refuses (an anonymous caller without a token,
// a rejected token).
bool identifyRoutedCaller(TDirectTask& t, CZyNetwork* session, CBrowseLog& log);
