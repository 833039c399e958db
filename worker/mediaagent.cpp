// Media-agent selection of a browse: not served by this build of the service yet. The request fails
// with an error that names the road.
#include "worker/fastbrowsehmworkerthread.h"

int CWorkerThreadHM::getMediaAgent(TBrowseTask*) {
    refuseRoad("Media-agent selection");
    return -1;
}

int CWorkerThreadHM::getMediaAgentDetails() {
    refuseRoad("Media-agent selection");
    return -1;
}
