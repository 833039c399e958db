// The indexing-V2 completion of a super browse: the incoming request itself goes to the index server,
// completed with the VM file view of a delay-catalogued job, the routing block that names this
// Hubmaster, "BrowseRouter" and the worker, the time limits of its queries, the indexing information,
// the flags, the client's OS type and block, the job of a VM file browse, the index-log check, the
// masked log line and the secured form. A member of CWorkerThreadHM, run inside superBrowse under the
// worker's lock by the thread that holds it.
#include <algorithm>
#include <cctype>
#include <ctime>

#include "appbrowse/fbhmvsautils.h"
#include "fbDebug/fbdebug.h"
#include "indexing/superbrowserequest.h"
#include "planning/browsetask.h"
#include "planning/superbrowsemanager.h"
#include "platform/db/dbresult.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/installmanager.h"
#include "platform/entities/zyclient.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/errors/evmessageids.h"
#include "platform/msg/criteriaoperators.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/extendedoptions.h"
#include "platform/threads/hubclock.h"
#include "service/browserouterthread.h"
#include "service/fastbrowsehm_api.h"
#include "worker/fastbrowsehmworkerthread.h"
#include "worker/requestlog.h"

namespace {

const char* const kTag = "FBHMWORKER";

constexpr int64_t kFlagVmGuid = 18;
constexpr int64_t kFlagVmDisplayName = 17;
constexpr int64_t kTimeAttribute = 92;
constexpr int kOpFind = 1;
constexpr int kOpFindOnly = 2;
constexpr int kOpIndexLogs = 11;
constexpr int64_t kNasClientKind = 2;
constexpr size_t kMaxLoggedPaths = 99;

bool isNasBlockAppType(apptype::EAppType appType) {
    return apptype::in(apptype::family::kNasBlock, appType);
}

// The search block of the request's advanced settings, made when `create`.
CNMessageBase* searchBlock(databrowse::BrowseRequest& request, bool create) {
    CNMessageBase* advanced = request.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, create);
    CNMessageBase* settings =
        advanced ? advanced->getObjectAccessor(databrowse::Msg63::f::advancedConfig, create) : nullptr;
    return settings ? settings->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::at5_5, create)
                    : nullptr;
}

std::vector<CNMessageBase>* additionalFlagList(databrowse::BrowseRequest& request) {
    CNMessageBase* advanced = request.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, true);
    CNMessageBase* settings = advanced->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true);
    return settings->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::flagBlock, true)
        ->getlistobject(databrowse::Msg9::f::additionalFlags, true);
}

databrowse::AdditionalFlag additionalFlag(int64_t type, const std::string& value) {
    databrowse::AdditionalFlag flag;
    flag.setint64(databrowse::AdditionalFlag::f::flagType, type);
    flag.setstring(databrowse::AdditionalFlag::f::value, value);
    return flag;
}

}  // namespace

void CWorkerThreadHM::addDelayCatalogedVmView(CNMessageBase& options) {
    CBrowseLog log(kTag);
    CNMessageBase* advanced =
        m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, true);
    advanced->setstring(databrowse::Msg63::f::browseViewName, "VSAFILEVIEW");
    const unsigned long clientId = static_cast<unsigned long>(m_inputData.clientId);
    ZYClient client(clientId);
    std::string displayName;
    client.getDisplayName(displayName);
    const CNMessageBase* timeRange =
        m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::timeRange, false);
    const int64_t toTime = timeRange ? timeRange->getint64(databrowse::BrowseTimeRange::f::toTime) : 0;
    const long long at = toTime != 0 ? toTime : CHubClock::real().epochSeconds();

    int rc = zydb::DB_OK;
    std::string guid = CBrowseVSAUtils::GetVMGuidOfClient(clientId, at, &rc);
    if (rc == zydb::DB_NO_DATA)
        log.debugLvl(0, "VM GUID for ClientID [%lu] is not present. Default to the Client GUID.", clientId);
    else if (rc != zydb::DB_OK)
        log.debugLvl(
            0, "Failed to fetch VM GUID for ClientID [%lu] with error [%d]. Default to the Client GUID.",
            clientId, rc);
    std::transform(guid.begin(), guid.end(), guid.begin(), [](unsigned char c) { return std::tolower(c); });
    auto* flags = additionalFlagList(m_browseRequest);
    flags->push_back(additionalFlag(kFlagVmGuid, guid));
    flags->push_back(additionalFlag(kFlagVmDisplayName, displayName));
    options.setint64(databrowse::BrowseOptions::f::at10_10, 0);
}

bool CWorkerThreadHM::applyQueryTimeLimits() {
    bool timeCriterion = false;
    auto* queries =
        m_queryList ? m_queryList->getlistobject(databrowse::Querylist::f::queries, false) : nullptr;
    for (size_t q = 0; queries && q < queries->size(); ++q) {
        CNMessageBase& query = (*queries)[q];
        if (query.getint64(databrowse::Query::f::type) != 0) continue;
        auto* criteria = query.getlistobject(databrowse::Query::f::criteriaList, false);
        for (size_t c = 0; criteria && c < criteria->size(); ++c) {
            CNMessageBase& criterion = (*criteria)[c];
            CNMessageBase* value = criterion.getObjectAccessor(databrowse::Criteria::f::criteria, false);
            if (!value ||
                value->getint64(databrowse::FilteredBrowseCriteriaValue::f::attribute) != kTimeAttribute)
                continue;
            timeCriterion = true;
            auto* values = value->getliststring(databrowse::FilteredBrowseCriteriaValue::f::values, false);
            if (!values || values->empty()) continue;
            const auto time = static_cast<uint32_t>(std::strtoull(values->front().c_str(), nullptr, 10));
            const int64_t op = value->getint64(databrowse::FilteredBrowseCriteriaValue::f::criteriaOperator);
            if (op == criteriaop::kFrom) m_inputData.fromTime = time;
            if (op == criteriaop::kTo) m_inputData.toTime = time;
        }
    }
    return timeCriterion;
}

bool CWorkerThreadHM::completeV2BrowseRequest(TSuperBrowseRun& run) {
    CBrowseLog log(kTag);
    using O = databrowse::BrowseOptions::f;
    using R = databrowse::IndexingInfo::f;
    SuperBrowseManager* planner = m_browseTask->getDataPtr()->planner;
    CNMessageBase* options = m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::options, true);
    const int opType = static_cast<int>(m_browseRequest.getint64(databrowse::BrowseRequest::f::opType));

    if (planner && planner->isLastJobDelayCataloged() &&
        (options->getint64(O::at3_3) != 0 || opType == kOpFind))
        addDelayCatalogedVmView(*options);

    CNMessageBase* indexing = m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::indexing, true);
    CNMessageBase* routing = indexing->getObjectAccessor(databrowse::Msg91::f::indexingInfo, true);
    routing->setstring(R::hubmasterHost, run.hubmasterHost);
    routing->setstring(R::routerName, g_poBrowseRouterThreadHM ? g_poBrowseRouterThreadHM->getRouterName()
                                                               : std::string("BrowseRouter"));
    routing->setstring(R::workerId, getWorkerId());
    routing->setint64(R::jobId, static_cast<int64_t>(m_inputData.jobId));

    const bool timeCriterion = applyQueryTimeLimits();

    const bool timeRange = m_privateTask->getFromTime() != 0 &&
                           (options->getint64(O::userRequest) == 0 || options->getint64(O::at1_1) != 0 ||
                            timeCriterion || opType == kOpFindOnly);
    if (populateIndexingInfo(run.v2RetentionFilters, !timeRange) != 0) {
        log.debugLvl(0, "Error while populating Indeixng info in Request [%s].",
                     maskedRequestText(m_browseRequest).c_str());
        return false;
    }

    databrowse::BrowseFlags flags;
    using F = Indexing::BrowseFlags::f;
    if (run.flags.getint64(F::retention) != 0) flags.setint64(databrowse::BrowseFlags::f::retention, 1);
    if (run.flags.getint64(F::superBrowse) != 0) flags.setint64(databrowse::BrowseFlags::f::superBrowse, 1);
    if (run.flags.getint64(F::mergeResults) != 0) flags.setint64(databrowse::BrowseFlags::f::mergeResults, 1);
    if (run.flags.getint64(F::at4_4) != 0) flags.setint64(databrowse::BrowseFlags::f::at4_4, 1);
    bool referenceCopy = false;
    if (ZYClient(static_cast<unsigned long>(m_inputData.clientId)).isReferenceCopyClient(referenceCopy) ==
            0 &&
        referenceCopy)
        flags.setint64(databrowse::BrowseFlags::f::referenceCopyClient, 1);
    routing->setObjectAccessor(flags, R::browseFlags);
    if (CNMessageBase* set = routing->getObjectAccessor(R::browseFlags, false))
        set->setint64(databrowse::BrowseFlags::f::at10_10,
                      set->getint64(databrowse::BrowseFlags::f::at10_10) != 0);

    if (apptype::of(m_inputData.appType) == apptype::kWindowsFileSystem &&
        options->getint64(O::synthFullBrowse) != 0) {
        std::string osInfo;
        const int rc =
            ClientProperties(static_cast<unsigned long>(m_inputData.clientId), nullptr).getSimOSInfo(osInfo);
        if (rc != 0) {
            log.debugLvl(-1, "Failed to get OS info for client ID [%lu] with error code [%d]",
                         static_cast<unsigned long>(m_inputData.clientId), rc);
            return false;
        }
        CExtendedOptions extended;
        extended.setOptions(m_inputData.text11);
        extended.setOption("ClientOSType", osInfo.find("Server") != std::string::npos ? "Server" : "Desktop");
        std::string merged;
        if (extended.getOptions(merged) == 0) m_inputData.text11 = merged;
    }

    routing->setstring(R::extendedOptions, m_inputData.text11);
    if (planner) routing->setint64(R::idxAppType, static_cast<int64_t>(planner->getIdxAppType()));
    if (!m_userAccessInfo.empty()) routing->setstring(R::userAccessInfo, m_userAccessInfo);
    m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::ma, true)
        ->setstring(ZyEntities::ClientEntity::f::clientName, m_maClientName);
    CNMessageBase* times = m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::timeRange, true);
    times->setint64(databrowse::BrowseTimeRange::f::fromTime, m_inputData.fromTime);
    times->setint64(databrowse::BrowseTimeRange::f::toTime, m_inputData.toTime);
    auto* queries =
        m_queryList ? m_queryList->getlistobject(databrowse::Querylist::f::queries, false) : nullptr;
    if (queries && !queries->empty())
        m_browseRequest.setlistobject(databrowse::BrowseRequest::f::queries, *queries);

    fillV2ClientBlock();

    if (opType == kOpIndexLogs) {
        CNMessageBase* search = searchBlock(m_browseRequest, false);
        CNMessageBase* logs =
            search ? search->getObjectAccessor(databrowse::Msg38::f::at2_2, false) : nullptr;
        auto* entries = logs ? logs->getlistobject(databrowse::Msg29::f::at1_1, false) : nullptr;
        if (entries && !entries->empty()) {
            auto* names = entries->front().getliststring(databrowse::IdxLogRequestEntry::f::at3_9, false);
            if (!names || names->empty()) {
                log.debugLvl(
                    0,
                    "Incorrect Browse Request sent for generating IdxLogs. If Client is below SP3 and HM is "
                    "SP3/SP3+, Please upgrade client to SP3");
                EvMessageContainer message;
                message.SetMessageID(evmsg::kServerError, true);
                setErrorMessage(message);
                setLastError(databrowse::BROWSE_ERR_GENERIC, m_errorText);
                return false;
            }
        }
        m_browseRequest.setstring(databrowse::BrowseRequest::f::userName, m_inputData.userText);
    }

    if (planner && planner->IsVirtualServerDm2IndexBrowse() && options->getint64(O::at1_1) == 0 &&
        planner->GetVirtualServerLatesCIdJobId() > 0) {
        log.debugLvl(3, "VSA file indexing browse, Setting BrowseByJob jobId [%u] KMId [%u]",
                     planner->GetVirtualServerLatesCIdJobId(), planner->GetVirtualServerLatesCIdJobKMId());
        CNMessageBase* settings =
            m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, true)
                ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true);
        CNMessageBase* job = settings->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::jobBlock, true);
        job->setint64(databrowse::Msg11::f::jobId, planner->GetVirtualServerLatesCIdJobId());
        job->setint64(databrowse::Msg11::f::kelmarchId, planner->GetVirtualServerLatesCIdJobKMId());
    }

    // The caller's token was checked here and goes no further: the media agent trusts the signature.
    forgetCallerToken();
    auto* paths = m_browseRequest.getlistobject(databrowse::BrowseRequest::f::paths, false);
    const size_t pathCount = paths ? paths->size() : 0;
    if (pathCount > kMaxLoggedPaths && log.getDebugLevel() < 2)
        log.debugLvl(1, "Request sent to MA with [%u] source files", static_cast<unsigned>(pathCount));
    else
        log.debugLvl(0, "Request sent to MA [%s]",
                     maskNasLiveBrowsePasswords(maskedRequestText(m_browseRequest)).c_str());
    m_requestToReturn = &m_browseRequest;
    if (!convertToSecureBrowseReq()) {
        log.debugLvl(-1, "Failed to generate secured browse from regular browse request");
        return false;
    }
    return true;
}

void CWorkerThreadHM::fillV2ClientBlock() {
    CNMessageBase* search = searchBlock(m_browseRequest, false);
    CNMessageBase* block = search ? search->getObjectAccessor(databrowse::Msg38::f::at3_3, false) : nullptr;
    CNMessageBase* entity = block ? block->getObjectAccessor(databrowse::Msg35::f::client, false) : nullptr;
    if (entity && entity->getint64(ZyEntities::ClientEntity::f::clientId) > 0) {
        ZYClient client(static_cast<unsigned long>(entity->getint64(ZyEntities::ClientEntity::f::clientId)));
        std::string name, host;
        if (client.getName(name) == 0) entity->setstring(ZyEntities::ClientEntity::f::clientName, name);
        if (client.getNetworkHostnameMangled(host) == 0)
            block->setstring(databrowse::Msg35::f::hostName, host);
    }
    if (!isNasBlockAppType(apptype::of(m_inputData.appType))) return;
    ZYClient browseClient(static_cast<unsigned long>(m_inputData.clientId));
    bool nas = false;
    if (browseClient.isNASClient(nas) != 0 || !nas) {
        if (browseClient.isNonNDMPClient(nas) != 0) nas = false;
    }
    if (!nas) return;
    searchBlock(m_browseRequest, true)
        ->getObjectAccessor(databrowse::Msg38::f::at3_3, true)
        ->setint64(databrowse::Msg35::f::clientKind, kNasClientKind);
}
