// The VM browse client's road through the worker's request intake: a hypervisor backup set in the
// per-VM layout is browsed (or its media predicted) by CBrowseVSAClient. A member of CWorkerThreadHM run
// by newRequest under the worker's lock; its one exit gives the configuration reference back.
#include <string>
#include <vector>

#include "appbrowse/vsabrowseclient.h"
#include "fbDebug/fbdebug.h"
#include "planning/browsetask.h"
#include "platform/tasks/evrestoretask.h"
#include "worker/fastbrowsehmworkerthread.h"

bool CWorkerThreadHM::vsaBrowseRequest(EvMultiEntityRestoreTask* task) {
    CBrowseLog log("FBHMWORKER");
    // This road answers before the ordinary road's authentication would: the user must hold browse
    // rights on the hypervisor, or on every VM the paths name (the root needs the hypervisor's).
    std::vector<std::string> ownVms;
    if (!handleVSARequest(task, ownVms)) {
        log.debugLvl(0, "Returning as authentication failed...");
        return false;
    }
    CBrowseVSAClient client;
    CUxError err = client.Initialize(task, this);
    // Whatever the set-up reached, the reference it took is this request's to give back.
    m_heldConfId = m_browseTask->getDataPtr()->confId;
    if (err.IsError()) {
        log.debugLvl(-1, "Failed to initialize VSA browse client object: Error message [%s]",
                     err.AsString().c_str());
        setLastError(databrowse::BROWSE_ERR_GENERIC, err.GetErrorText());
        return false;
    }
    err = m_browseRequest.getint64(databrowse::BrowseRequest::f::opType) ==
                  databrowse::BROWSE_OP_MEDIA_PREDICTION
              ? client.HandleMediaPredictionRequest()
              : client.HandleBrowseRequest();
    // A failure the caller has not been told yet goes back as this request's error.
    if (err.IsError() && !client.CallerAnswered()) {
        setLastError(databrowse::BROWSE_ERR_GENERIC, err.GetErrorText());
        return false;
    }
    return true;
}
