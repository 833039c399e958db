// Prediction items that a media agent sends with its answers: each names an index or data location whose
// media the request's prediction client adds up, to be sent with the end. Called under the worker's lock.
#include "fbDebug/fbdebug.h"
#include "indexing/fsprediction.h"
#include "worker/fastbrowsehmworkerthread.h"

void CWorkerThreadHM::sendPredictionItem(CNMessageBase& prediction) {
    CNMessageBase* media = prediction.getObjectAccessor(databrowse::PredictionData::f::logicalMedia, false);
    if (!media) return;
    CBrowseLog log("FBHMWORKER");
    addLogicalMediaLocation(m_predictionClient, *media, log);
}
