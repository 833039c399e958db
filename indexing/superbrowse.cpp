// Super browse through a media agent's index service: not served by this build of the service yet.
// The request fails with an error that names the road.
#include "worker/fastbrowsehmworkerthread.h"

bool CWorkerThreadHM::superBrowse() {
    return refuseRoad("Super browse through a media agent's index service");
}
