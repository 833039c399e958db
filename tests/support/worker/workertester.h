// The one way tests reach a browse worker's own fields: each is named here once, so a field can change
// without touching every test that sets up or reads a worker. Header-only; the test's own thread.
#pragma once

#include "worker/fastbrowsehmworkerthread.h"

class CWorkerThreadHMTester {
public:
    explicit CWorkerThreadHMTester(CWorkerThreadHM& worker) : m_worker(worker) {}

    auto& answerPeers() NO_THREAD_SAFETY_ANALYSIS { return m_worker.m_answerPeers; }
    auto& browseRequest() { return m_worker.m_browseRequest; }
    auto& browseTask() { return m_worker.m_browseTask; }
    auto& checkClientMap() { return m_worker.m_checkClientMap; }
    auto& countTag() { return m_worker.m_countTag; }
    auto& errorCode() { return m_worker.m_errorCode; }
    auto& heldConfId() { return m_worker.m_heldConfId; }
    auto& indexBrowseRequest() { return m_worker.m_indexBrowseRequest; }
    auto& inputData() { return m_worker.m_inputData; }
    auto& maClientName() { return m_worker.m_maClientName; }
    auto& maHostName() { return m_worker.m_maHostName; }
    auto& maVersion() { return m_worker.m_maVersion; }
    auto& maVersionText() { return m_worker.m_maVersionText; }
    auto& outstandingRequests() { return m_worker.m_outstandingRequests; }
    auto& predictionClient() { return m_worker.m_predictionClient; }
    auto& predictor() { return m_worker.m_predictor; }
    auto& privateTask() { return m_worker.m_privateTask; }
    auto& queryList() { return m_worker.m_queryList; }
    auto& replyChannel() { return m_worker.m_replyChannel; }
    auto& requestToReturn() { return m_worker.m_requestToReturn; }

private:
    CWorkerThreadHM& m_worker;
};

// The fields of `worker`, for one expression: fields(worker).inputData().
inline CWorkerThreadHMTester fields(CWorkerThreadHM& worker) {
    return CWorkerThreadHMTester(worker);
}
