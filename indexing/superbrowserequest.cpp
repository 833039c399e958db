// Assembly of the indexing-V1 request of a super browse (Indexing::BrowseReq): the browse values of the
// input record with their widths, the flags, queries, additional flags, paths, session and identity of
// this Hubmaster and worker, the media agent's stop capability, the media-prediction job id, the VM
// file-name path and the masked log. Members of CWorkerThreadHM, run under the worker's lock by the
// thread that holds it.
#include "indexing/superbrowserequest.h"

#include <algorithm>
#include <limits>

#include "fbDebug/fbdebug.h"
#include "framework/browseaccess.h"
#include "planning/browsetask.h"
#include "planning/superbrowsemanager.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/installmanager.h"
#include "platform/entities/zyclient.h"
#include "platform/indexing/supersearch.h"
#include "platform/msg/msg_registry.h"
#include "platform/net/zynet_directory.h"
#include "platform/tasks/evrestoretask.h"
#include "service/browserouterthread.h"
#include "service/fastbrowsehm_api.h"
#include "worker/fastbrowsehmworkerthread.h"
#include "worker/requestlog.h"

namespace {

const char* const kTag = "FBHMWORKER";
using R = Indexing::BrowseReq::f;

constexpr uint64_t kOptionMediaPrediction = 1ULL << 38;
constexpr uint64_t kOptionPredictionJob = 1ULL << 39;
constexpr uint64_t kOptionFileNameSearch = 0x2;
constexpr uint64_t kLowestHashedJobId = 4294967295ULL;
constexpr size_t kMaxLoggedPaths = 99;
constexpr size_t kMaxLoggedCycles = 99;
constexpr char kDisplayNameSeparator = 0x12;

// One integer element of the request and its value from the input record, at the width it is sent.
struct TScalarElement {
    MsgFieldRef field;
    int64_t (*value)(const TInputData&);
};
// One text element and its input-record field.
struct TTextElement {
    MsgFieldRef field;
    std::string TInputData::*text;
};

#define FULL(m) [](const TInputData& in) { return static_cast<int64_t>(in.m); }
#define SIGNED32(m) [](const TInputData& in) { return static_cast<int64_t>(static_cast<int32_t>(in.m)); }
#define LOW32(m) [](const TInputData& in) { return static_cast<int64_t>(static_cast<uint32_t>(in.m)); }

const TScalarElement kScalars[] = {
    {R::requestNumber, FULL(requestNumber)},
    {R::jobId, FULL(jobId)},
    {R::options, FULL(optionBits)},
    {R::at4_4, FULL(value4)},
    {R::at5_5, SIGNED32(word5)},
    {R::at6_6, SIGNED32(word6)},
    {R::at8_8, SIGNED32(word8)},
    {R::at9_9, SIGNED32(word9)},
    {R::at10_10, SIGNED32(word10)},
    {R::at11_11, SIGNED32(word11)},
    {R::creationTime, LOW32(creationTime)},
    {R::kelmarchId, LOW32(kelmarchId)},
    {R::subclientId, LOW32(subclientId)},
    {R::appType, LOW32(appType)},
    {R::copyPrecedence, LOW32(copyPrecedence)},
    {R::clientIdRequest, LOW32(clientIdRequest)},
    {R::at24_33, LOW32(constantOne)},
    {R::at25_34, LOW32(word19)},
    {R::at26_35, LOW32(word20)},
    {R::toTime, LOW32(toTime)},
    {R::fromTime, LOW32(fromTime)},
    {R::emFunction, LOW32(emFunction)},
    {R::at44_86, LOW32(word37)},
    {R::at45_87, LOW32(value38)},
    {R::at46_88, LOW32(value39)},
    {R::at47_89, LOW32(value40)},
    {R::at48_90, LOW32(word41)},
    {R::at49_91, LOW32(value42)},
    {R::at50_92, LOW32(value43)},
    {R::at51_93, LOW32(value44)},
    {R::at52_94, LOW32(word45)},
    {R::at53_95, LOW32(value46)},
    {R::at54_96, LOW32(value47)},
    {R::at55_97, LOW32(value48)},
    {R::at56_98, FULL(value49)},
    {R::at57_99, LOW32(word50)},
    {R::at58_100, LOW32(value51)},
    {R::at59_101, LOW32(value52)},
    {R::at60_102, LOW32(value53)},
    {R::at61_103, LOW32(word54)},
    {R::at62_104, LOW32(value55)},
    {R::at64_106, LOW32(value57)},
    {R::srcClientId, FULL(clientId)},
    {R::indexTimeStamp, LOW32(indexTimeStamp)},
    {R::indexAfileId1, FULL(indexAfileId1)},
    {R::indexAfileId2, FULL(indexAfileId2)},
    {R::indexAfileId3, FULL(indexAfileId3)},
};

#undef FULL
#undef SIGNED32
#undef LOW32

const TTextElement kTexts[] = {
    {R::at33_42, &TInputData::string1},        {R::at34_46, &TInputData::string2},
    {R::at35_50, &TInputData::string3},        {R::browsePath, &TInputData::browsePath},
    {R::secondPath, &TInputData::secondPath},  {R::at38_62, &TInputData::string6},
    {R::at39_66, &TInputData::string7},        {R::at40_70, &TInputData::string8},
    {R::userText, &TInputData::userText},      {R::password, &TInputData::string10},
    {R::extendedOptions, &TInputData::text11},
};

// The queries of kind 0 of a request.
std::vector<CNMessageBase*> dataQueries(Indexing::BrowseReq& request) {
    std::vector<CNMessageBase*> out;
    if (auto* queries = request.getlistobject(R::queries, false))
        for (CNMessageBase& query : *queries)
            if (query.getint64(databrowse::Query::f::type) == 0) out.push_back(&query);
    return out;
}

}  // namespace

std::string RemoveParam(std::string text, const std::string& openTag, const std::string& closeTag) {
    std::string out;
    size_t copied = 0;  // text before this position is in `out`
    size_t open = text.find(openTag);
    while (open != std::string::npos) {
        const size_t valueStart = open + openTag.size();
        const size_t close = text.find(closeTag, valueStart);
        if (close == std::string::npos) break;
        out.append(text, copied, valueStart - copied);
        out += '*';
        copied = close;
        open = text.find(openTag, close);
    }
    out.append(text, copied, std::string::npos);
    return out;
}

uint64_t superBrowseJobIdHash(const std::string& sessionGuid) {
    // Unsigned arithmetic wraps as the two's-complement hash expects without overflowing.
    uint64_t h = 0;
    const uint64_t multiplier = static_cast<uint64_t>(static_cast<int64_t>(-1664117991));
    for (char c : sessionGuid)
        h = h * multiplier + static_cast<uint64_t>(static_cast<int64_t>(static_cast<signed char>(c)));
    uint64_t magnitude = static_cast<int64_t>(h) < 0 ? 0 - h : h;
    // The one value whose negation stays negative keeps the largest id the signed element holds.
    if (magnitude > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        magnitude = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (magnitude <= kLowestHashedJobId) magnitude += kLowestHashedJobId;
    return magnitude;
}

namespace {

bool holdsTokenFlag(const Indexing::BrowseReq& request) {
    // (The flags are only looked at: the message gives its lists through non-const access alone.)
    auto* flags = const_cast<Indexing::BrowseReq&>(request).getlistobject(R::additionalFlags, false);
    return flags && std::any_of(flags->begin(), flags->end(), isTokenFlag);
}

// `text` (a request's XML) with the value of its root element's attribute `name` masked; false when
// the root carries no such attribute.
bool maskRootAttribute(std::string& text, const char* name) {
    if (!name) return false;
    const size_t rootEnd = text.find('>');
    const std::string opening = std::string(" ") + name + "=\"";
    const size_t at = text.find(opening);
    if (at == std::string::npos || at > rootEnd) return false;
    const size_t value = at + opening.size();
    const size_t close = text.find('"', value);
    if (close == std::string::npos) return false;
    text.replace(value, close - value, kMaskedSecret);
    return true;
}

}  // namespace

std::string maskedIndexRequestText(const Indexing::BrowseReq& original, const std::string* sentText) {
    const bool tokenFlag = holdsTokenFlag(original);
    // The text that went out, where it holds no secret in another form, needs only its password masked:
    // the request is not written again.
    if (sentText && !sentText->empty() && !tokenFlag) {
        std::string text = *sentText;
        static const char* const password = CNMessageRegistry::instance().fieldName(R::password.code);
        if (!original.isSet(R::password) || maskRootAttribute(text, password))
            return maskNasLiveBrowsePasswords(std::move(text));
    }
    // Most requests hold no secret: those are written without a copy of the whole request.
    if (!original.isSet(R::password) && !tokenFlag) return maskNasLiveBrowsePasswords(original.AsString());
    Indexing::BrowseReq request = original;
    if (request.isSet(R::password)) request.setstring(R::password, kMaskedSecret);
    if (auto* flags = request.getlistobject(R::additionalFlags, false))
        for (CNMessageBase& flag : *flags)
            if (isTokenFlag(flag)) flag.setstring(databrowse::AdditionalFlag::f::value, kMaskedSecret);
    return maskNasLiveBrowsePasswords(request.AsString());
}

std::string maskNasLiveBrowsePasswords(std::string text) {
    if (text.find("Nas_Live_Browse_Info") != std::string::npos) {
        // This message layer escapes '>' in attribute values too, so the fully escaped tags are cut as well.
        static const char* const kPairs[][2] = {{"&lt;Password&gt;", "&lt;/Password&gt;"},
                                                {"&lt;Epassword&gt;", "&lt;/Epassword&gt;"},
                                                {"&lt;Password>", "&lt;/Password>"},
                                                {"&lt;Epassword>", "&lt;/Epassword>"},
                                                {"<Password>", "</Password>"},
                                                {"<Epassword>", "</Epassword>"}};
        for (const auto& pair : kPairs) text = RemoveParam(std::move(text), pair[0], pair[1]);
    }
    return text;
}

bool CWorkerThreadHM::setStopBrowseCapability() {
    CBrowseLog log(kTag);
    std::string host, clientName;
    int service = 0, port = 0;
    DemangleHostName(m_maHostName, host, clientName, service, port);
    ZYClient client(clientName, false, nullptr);
    if (client.lookup() != 0) {
        log.debugLvl(0, "no client exists with name [%s]", m_maHostName.c_str());
        return false;
    }
    unsigned long clientId = 0;
    if (client.getClientId(clientId) != 0) {
        log.debugLvl(0, "failed to get client id for name [%s]", m_maHostName.c_str());
        return false;
    }
    std::string version;
    ClientProperties(clientId, nullptr).getVersionInfo(version);
    SuperBrowseManager* planner = m_browseTask->getDataPtr()->planner;
    if (planner && !planner->getDisableStopBrowseFlag())
        planner->setDisableStopBrowseFlag(SuperBrowseManager::shouldDisableStopBrowse(version));
    return true;
}

void CWorkerThreadHM::fillSuperBrowseFields(TSuperBrowseRun& run) {
    // Most of the request's fields are set here: room for all of them at once.
    if (const MsgClassType* type = m_indexBrowseRequest.classType())
        m_indexBrowseRequest.reserveFields(type->fields().size());
    setSuperBrowseScalars();
    setSuperBrowseFlags(run);
    setSuperBrowseQueries();
    setSuperBrowseAdditionalFlags();
    setSuperBrowseSourcePaths();
    m_indexBrowseRequest.setObjectAccessor(run.flags, R::flags);
    m_indexBrowseRequest.setstring(R::maName, m_maHostName);
    setSuperBrowseReturnRoute(run);
    setSuperBrowseSubclientPaths();
    // The rest shapes the indexing-V1 request only.
    if (m_indexingV2) return;
    setPredictionJobId();
    narrowVmFileNameSearchPath();
}

// Scalars, in the order of the request's elements.
void CWorkerThreadHM::setSuperBrowseScalars() {
    TBrowseTask* bt = m_browseTask->getDataPtr();
    Indexing::BrowseReq& req = m_indexBrowseRequest;
    for (const TScalarElement& e : kScalars) req.setint64(e.field, e.value(m_inputData));
    for (const TTextElement& e : kTexts) req.setstring(e.field, m_inputData.*e.text);
    req.setint64(R::at30_39, 0);
    req.setint64(R::at31_40, 0);
    req.setint64(R::at32_41, 0xFFFFFFFFLL);
    req.setint64(R::at67_112, 0);
    if (!m_userAccessInfo.empty()) req.setstring(R::userAccessInfo, m_userAccessInfo);
    req.setstring(R::viewName, bt->browseViewName);
    req.setint64(R::at72_117, static_cast<int64_t>(static_cast<uint32_t>(bt->spareNumber)));
    req.setstring(R::maClientName, m_maClientName);
    req.setint64(R::sampling, static_cast<int64_t>(m_privateTask->getSampling()));
    req.setint64(R::flushCount, static_cast<int64_t>(bt->browseItemFlushCount));
}

void CWorkerThreadHM::setSuperBrowseFlags(TSuperBrowseRun& run) {
    CBrowseLog log(kTag);
    Indexing::BrowseReq& req = m_indexBrowseRequest;
    using F = Indexing::BrowseFlags::f;
    run.flags.setint64(F::hasEntities, m_privateTask->getEntityList().empty() ? 0 : 1);
    run.flags.setint64(F::multiEntity, m_privateTask->getMultiEntityBrowseFlags().getint64(
                                           databrowse::MultiEntityBrowseFlags::f::multiEntityBrowse) != 0
                                           ? 1
                                           : 0);
    if (m_privateTask->isSet(92)) run.flags.setint64(F::mergeResults, 1);
    if (!m_userObjectId.empty()) req.setstring(R::userObjectId, m_userObjectId);
    unsigned int accurate = 0;
    if (ZYPlatformInfo::getNumber("Hubmaster", "nAccurateBrowseResults", &accurate) && accurate != 0) {
        log.debugLvl(0,
                     "Registry key nAccurateBrowseResults is set, All results will be merged in Pagecache "
                     "and then sent");
        run.flags.setint64(F::mergeResults, 0);
    }
    if (m_privateTask->isSet(93))
        run.flags.setint64(F::accuracy, 2);
    else if (m_privateTask->isSet(94))
        run.flags.setint64(F::accuracy, 1);
}

// The external search and the queries: a media prediction asks for the first data query only, without
// its object.
void CWorkerThreadHM::setSuperBrowseQueries() {
    Indexing::BrowseReq& req = m_indexBrowseRequest;
    if (m_externalBrowseRequest) req.setlistobject(R::superSearch, {*m_externalBrowseRequest});
    auto* queries =
        m_queryList ? m_queryList->getlistobject(databrowse::Querylist::f::queries, false) : nullptr;
    if (queries && !queries->empty()) {
        if ((m_inputData.optionBits & kOptionMediaPrediction) == 0) {
            req.setlistobject(R::queries, *queries);
        } else {
            for (const CNMessageBase& query : *queries) {
                if (query.getint64(databrowse::Query::f::type) != 0) continue;
                CNMessageBase copy = query;
                if (CNMessageBase* param = copy.getObjectAccessor(databrowse::Query::f::dataParam, false))
                    param->clearField(databrowse::DataParam::f::at3_3.tag,
                                      databrowse::DataParam::f::at3_3.code);
                req.setlistobject(R::queries, {copy});
                break;
            }
        }
    }
}

// Additional flags after the token flag, which stays first.
void CWorkerThreadHM::setSuperBrowseAdditionalFlags() {
    Indexing::BrowseReq& req = m_indexBrowseRequest;
    std::vector<CNMessageBase> additional;
    if (auto* token = req.getlistobject(R::additionalFlags, false)) additional = *token;
    if (m_ptrAdditionalFlags) {
        additional.insert(additional.end(), m_ptrAdditionalFlags->begin(), m_ptrAdditionalFlags->end());
    } else if (apptype::of(m_inputData.appType) == apptype::kExchangeMonorun) {
        CNMessageBase* advanced =
            m_browseRequest.isSet(databrowse::BrowseRequest::f::advOptions)
                ? m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, false)
                : nullptr;
        CNMessageBase* settings =
            advanced && advanced->isSet(databrowse::Msg63::f::advancedConfig)
                ? advanced->getObjectAccessor(databrowse::Msg63::f::advancedConfig, false)
                : nullptr;
        CNMessageBase* block =
            settings && settings->isSet(databrowse::BrowseAdvancedConfig::f::flagBlock)
                ? settings->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::flagBlock, false)
                : nullptr;
        if (auto* list = block ? block->getlistobject(databrowse::Msg9::f::additionalFlags, false) : nullptr)
            additional.insert(additional.end(), list->begin(), list->end());
    }
    if (!additional.empty()) req.setlistobject(R::additionalFlags, additional);
}

// Source paths: the first is the browse path for the types whose task path is only a label.
void CWorkerThreadHM::setSuperBrowseSourcePaths() {
    CBrowseLog log(kTag);
    std::vector<std::string> sources;
    const apptype::EAppType appType = apptype::of(m_inputData.appType);
    for (const char* path = m_privateTask->getFirstPath(EvRestoreTask::kBrowsePathList); path;
         path = m_privateTask->getNextPath(EvRestoreTask::kBrowsePathList)) {
        if (sources.empty() &&
            (apptype::in(apptype::family::kOracle, appType) || appType == apptype::kPostgreSql)) {
            sources.push_back(m_inputData.browsePath);
            continue;
        }
        if (sources.empty() && m_inputData.browsePath != path)
            log.debugLvl(0,
                         "WARNING: inconsistent path for browse [%s] and sourcePath[0]=[%s] received for "
                         "appType %ld  ",
                         m_inputData.browsePath.c_str(), path, apptype::code(appType));
        sources.push_back(path);
    }
    m_indexBrowseRequest.setliststring(R::sourcePaths, sources);
}

// Session and identity of the answer's way back.
void CWorkerThreadHM::setSuperBrowseReturnRoute(const TSuperBrowseRun& run) {
    TBrowseTask* bt = m_browseTask->getDataPtr();
    Indexing::BrowseReq& req = m_indexBrowseRequest;
    const char* sessionText = bt->browseSessionGuid ? bt->browseSessionGuid : "";
    req.setstring(R::browseSessionGuid,
                  (m_superSearchOpType == superSearchKind::kContentIndexReport || m_syncEnabled)
                      ? std::string(m_privateTask->getbrowseSessionGUID())
                      : std::string(sessionText));
    std::string sourceGuid;
    ZYClient(static_cast<unsigned long>(m_inputData.clientId)).getGUIDStr(sourceGuid);
    req.setstring(R::srcClientGuid, sourceGuid);
    req.setstring(R::hubmasterHost, run.hubmasterHost);
    req.setstring(R::routerName, g_poBrowseRouterThreadHM ? g_poBrowseRouterThreadHM->getRouterName()
                                                          : std::string("BrowseRouter"));
    req.setstring(R::workerId, getWorkerId());
}

// The subclient paths with their display names, and the task's second path list.
void CWorkerThreadHM::setSuperBrowseSubclientPaths() {
    TBrowseTask* bt = m_browseTask->getDataPtr();
    Indexing::BrowseReq& req = m_indexBrowseRequest;
    std::vector<std::string> subclientPaths;
    for (const TSubclientPath& p : bt->subclientPaths) {
        std::string entry = p.path;
        if (!p.displayName.empty()) {
            entry += kDisplayNameSeparator;
            entry += p.displayName;
        }
        subclientPaths.push_back(std::move(entry));
    }
    req.setliststring(R::subclientPaths, subclientPaths);
    std::vector<std::string> secondPaths;
    for (const char* path = m_privateTask->getFirstPath(EvRestoreTask::kSecondPathList); path;
         path = m_privateTask->getNextPath(EvRestoreTask::kSecondPathList))
        secondPaths.push_back(path);
    req.setliststring(R::at76_124, secondPaths);
}

// Media prediction: the job id becomes one of the session's own, above the 32-bit job ids.
void CWorkerThreadHM::setPredictionJobId() {
    Indexing::BrowseReq& req = m_indexBrowseRequest;
    const uint64_t options = static_cast<uint64_t>(req.getint64(R::options));
    if ((options & kOptionMediaPrediction) != 0) {
        req.setint64(R::options, static_cast<int64_t>(options | kOptionPredictionJob));
        CNMessageBase* optionBlock =
            m_browseRequest.isSet(databrowse::BrowseRequest::f::options)
                ? m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::options, false)
                : nullptr;
        if (!optionBlock || optionBlock->getint64(databrowse::BrowseOptions::f::predictVSADB) == 0)
            req.setint64(R::jobId,
                         static_cast<int64_t>(superBrowseJobIdHash(req.getstring(R::browseSessionGuid))));
    }
}

// VM file-name search: the one wildcard path ends in the searched name.
void CWorkerThreadHM::narrowVmFileNameSearchPath() {
    CBrowseLog log(kTag);
    Indexing::BrowseReq& req = m_indexBrowseRequest;
    const uint64_t options = static_cast<uint64_t>(req.getint64(R::options));
    if (apptype::of(m_inputData.appType) == apptype::kVirtualServer && m_privateTask->isSet(59) &&
        (options & kOptionFileNameSearch) != 0) {
        std::string fileName;
        bool found = false;
        for (CNMessageBase* query : dataQueries(req)) {
            auto* criteria = query->getlistobject(databrowse::Query::f::criteriaList, false);
            for (size_t n = 0; criteria && n < criteria->size(); ++n) {
                CNMessageBase* value =
                    (*criteria)[n].getObjectAccessor(databrowse::Criteria::f::criteria, false);
                auto* values =
                    value ? value->getliststring(databrowse::FilteredBrowseCriteriaValue::f::values, false)
                          : nullptr;
                if (value && value->getint64(databrowse::FilteredBrowseCriteriaValue::f::attribute) == 0 &&
                    values && values->size() == 1) {
                    fileName = values->front();
                    found = true;
                }
            }
        }
        auto* paths = req.getliststring(R::sourcePaths, false);
        if (found && paths && paths->size() == 1 && paths->front().find('*') != std::string::npos) {
            const std::string before = paths->front();
            paths->front() = before.substr(0, before.rfind('*')) + fileName;
            log.debugLvl(0, "V1 VSA FileName search changing source path from [%s] to [%s]", before.c_str(),
                         paths->front().c_str());
        }
    }
}

void CWorkerThreadHM::logSuperBrowseRequest(const std::string* sentText) {
    if (m_indexingV2) return;  // an indexing-v2 request is logged as it is completed
    CBrowseLog log(kTag);
    if (log.getDebugLevel() < 0) return;
    Indexing::BrowseReq& sent = indexRequestSent();
    const auto* paths = sent.getliststring(R::sourcePaths, false);
    const auto* cycles = sent.getlistobject(R::backupCycles, false);
    const size_t pathCount = paths ? paths->size() : 0;
    const size_t cycleCount = cycles ? cycles->size() : 0;
    if ((pathCount <= kMaxLoggedPaths && cycleCount <= kMaxLoggedCycles) || log.getDebugLevel() > 1)
        log.debugLvl(0, "Request sent to MA [%s]", maskedIndexRequestText(sent, sentText).c_str());
    else
        log.debugLvl(1, "Request sent to MA with [%u] source files and [%u] cycles",
                     static_cast<unsigned>(pathCount), static_cast<unsigned>(cycleCount));
}
