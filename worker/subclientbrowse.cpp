// The answer from a subclient's configured contents: not served by this build of the service yet. The
// request fails with an error that names the road.
#include "worker/fastbrowsehmworkerthread.h"

int CWorkerThreadHM::doBrowseBySubclients(EvMessageContainer&, TInputData*, std::list<TSubclientPath>&) {
    refuseRoad("Browse of subclient contents");
    return -2;
}
