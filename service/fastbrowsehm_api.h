// The service's exported entry points and its process-wide objects. The host loads the library, calls
// fastBrowseHMInitialize once, fastBrowseHMProcessRequestMultiEntity from any number of threads, and
// fastBrowseHMCleanUp once; the objects below exist from load (created in this order) on.
#pragma once

#include "platform/msg/msg_classes.h"

class AdminThreadHM;
class CBrowseRouterThreadHM;
class CConfigurationMgr;
class CControllerThreadHM;
class EvDebugFileInstance;
class EvMultiEntityRestoreTask;
class ZyNetworkPoP;

extern ZyNetworkPoP* g_poSessionPool;                    // deleted (and null) after clean-up
extern CControllerThreadHM* g_poControllerThreadHM;      // deleted (and null) after clean-up
extern CBrowseRouterThreadHM* g_poBrowseRouterThreadHM;  // deleted (and null) after clean-up
extern AdminThreadHM* g_poAdminThreadHM;                 // stays until the process ends
// Also created at load, in this order after the above: g_pLogInstance (fbDebug/fbdebug.h; deleted and
// null after clean-up) and g_poConfMgr (planning/confmgr.h; stays until the process ends).

extern "C" {
// Starts the service's threads: 1. 0 when called again, or after clean-up.
int fastBrowseHMInitialize();
// Runs a browse, or stops one (operation type 5). 1 on success; 0 on failure, for a null task and
// after clean-up. `browseRequest` may be null.
int fastBrowseHMProcessRequestMultiEntity(EvMultiEntityRestoreTask* task, bool doNotFallBackForFilters,
                                          databrowse::ForceUseIndexType forceUseIndexType,
                                          databrowse::BrowseRequest* browseRequest);
// Stops and joins the threads, then frees the controller (and every worker), the router, the session
// pool and the log instance. Always 1.
int fastBrowseHMCleanUp();
// Waits, at most `waitSeconds`, until "BrowseRouter" listens, so that the host announces its port only
// once it can be reached: the port; 0 when it failed to listen (or does not yet at the limit), before
// fastBrowseHMInitialize or after clean-up, with why in `reason` (NUL-terminated, cut to `reasonSize`
// bytes; may be null). Any thread but while fastBrowseHMCleanUp runs.
int fastBrowseHMWaitForListener(int waitSeconds, char* reason, unsigned long reasonSize);
// Asks the task manager to create the end-user erase task of `request` (its entity and paths); the
// request's element 6 record is made present. 0 when the task was created; the task manager's own
// result when it failed, -1 when its answer refused the request or lacks the task or job id
// (service/erasetask.cpp). Any thread.
int fastBrowseHMLaunchEraseCreateTask(databrowse::BrowseRequest* request);
}
