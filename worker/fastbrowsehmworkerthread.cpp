#include "worker/fastbrowsehmworkerthread.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "fbDebug/fbdebug.h"
#include "framework/browseaccess.h"
#include "framework/headerconstants.h"
#include "planning/browsetask.h"
#include "planning/superbrowsemanager.h"
#include "platform/indexing/configloader.h"
#include "platform/msg/agentflag.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/threads/hubmutex.h"
#include "worker/authentication.h"

CWorkerThreadHM::CWorkerThreadHM(const CHubClock& clock) : m_clock(clock) {
    init();
}

int64_t CWorkerThreadHM::steadySeconds() const {
    return std::chrono::duration_cast<std::chrono::seconds>(ageingNow().time_since_epoch()).count();
}

CWorkerThreadHM::~CWorkerThreadHM() {
    // A worker deleted while its browse was still answering (stopped, idle, shut down) gives back the
    // configuration reference it kept for those answers.
    releaseConfReference();
    // Ended before its answers did: the media agent's sessions of this browse are closed.
    giveBackAnswerSessions(false);
    // The browse task first: ending its return channel may still read the private task.
    m_browseTask.reset();
    m_ciPlanner.reset();
    m_privateTask.reset();
    m_externalBrowseRequest.reset();
    m_queryList.reset();
    m_ownAdditionalFlags.reset();
    m_ptrAdditionalFlags = nullptr;
}

void CWorkerThreadHM::init() {
    m_session = nullptr;
    m_browseTask = std::make_unique<CBrowseTask>();
    m_privateTask = std::make_unique<EvMultiEntityRestoreTask>();
    touch();

    // Read once per worker. An absent key reads as 0 (off) for the V1 reply and as "check" for the client
    // map.
    I2::Utils::ConfigLoader loader;
    int value = 0;
    if (!loader.GetProperty(CONFIGID_HM_ALWAYS_REPLY_V1_BROWSE, "", value).IsError()) m_alwaysReplyV1 = value;
    m_checkClientMap = checkClientMapSetting();
}

void CWorkerThreadHM::touch() {
    m_lastActivity.store(steadySeconds());
}

// The analysis is told the lock is held as callers are. A waiting enter that fails ends the process, as
// the critical section's guard does: going on would run the worker's work unguarded.
void CWorkerThreadHM::accessWorker() NO_THREAD_SAFETY_ANALYSIS {
    if (!m_workerLock.enter(true)) {
        CBrowseLog log("FBHMWORKER");
        log.fatal("a waiting enter of a worker's lock failed; the process ends");
    }
    touch();
}

bool CWorkerThreadHM::tryAccessWorker() {
    if (!m_workerLock.enter(false)) return false;
    touch();
    return true;
}

void CWorkerThreadHM::releaseWorker() {
    touch();
    m_workerLock.leave();
}

int64_t CWorkerThreadHM::getIdleSeconds() const {
    return steadySeconds() - m_lastActivity.load();
}

void CWorkerThreadHM::setBrowseReq(databrowse::BrowseRequest* request) {
    if (!request) return;
    m_browseRequest = *request;
    // Only the Hubmaster names the media agent a request goes to: a caller's word for it is not kept,
    // so that no road signs or relays it.
    agentflag::dropCallers(m_browseRequest);
}

std::string CWorkerThreadHM::getBrowseSessionGuid() const {
    if (!m_browseTask) return {};
    const TBrowseTask* data = m_browseTask->getDataPtr();
    if (data->browseSessionGuid && *data->browseSessionGuid) return data->browseSessionGuid;
    return data->confId;
}

void CWorkerThreadHM::setLastError(databrowse::BrowseErrorCode code, const std::string& text) {
    m_errorCode = code;
    const size_t n = std::min(text.size(), kErrorTextSize - 1);
    std::memcpy(m_errorText, text.data(), n);
    m_errorText[n] = '\0';
}

void CWorkerThreadHM::setAdditionalFlags(std::vector<databrowse::AdditionalFlag>* flags) {
    m_ownAdditionalFlags.reset();
    m_ptrAdditionalFlags = flags;
    if (m_ptrAdditionalFlags) std::erase_if(*m_ptrAdditionalFlags, agentflag::isAgentFlag);
}

void CWorkerThreadHM::forgetCallerToken() {
    dropCallerToken(m_browseRequest);
    if (m_ptrAdditionalFlags) std::erase_if(*m_ptrAdditionalFlags, isTokenFlag);
}
