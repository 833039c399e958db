// The worker's VM end-user access members: they hand the request's access text to the VM check and
// keep its refusal as the worker's error.
#include "appbrowse/vsaenduseraccess.h"
#include "worker/fastbrowsehmworkerthread.h"

bool CWorkerThreadHM::isVSAEndUserAccessEnabled() {
    return CVSAEndUserAccess::isEnabled();
}

bool CWorkerThreadHM::handleVSARequest(EvMultiEntityRestoreTask* task, std::vector<std::string>& vmGuids) {
    TBrowseDenial denial;
    if (CVSAEndUserAccess::check(task, browseAccessText(m_browseRequest), vmGuids, denial)) return true;
    if (denial.code != databrowse::BROWSE_ERR_NONE) setLastError(denial.code, denial.text);
    return false;
}
