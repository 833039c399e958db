// Classic fast browse of one media agent over the restore service's XDR protocol: not served by this
// build of the service yet. The request fails with an error that names the road.
#include "worker/fastbrowsehmworkerthread.h"

bool CWorkerThreadHM::fastBrowse() {
    return refuseRoad("Classic fast browse of a media agent");
}
