// The request body: the input record from the browse task, the options that depend on the application
// type, the answer from the Hubmaster database where no media agent is needed, and the dispatch between
// fast browse and super browse. Runs on the thread of newRequest, under the worker's lock.
#include <algorithm>
#include <boost/algorithm/string/predicate.hpp>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <vector>

#include "appbrowse/fastbrowsehm_vsa.h"
#include "fbDebug/fbdebug.h"
#include "planning/afileselection.h"
#include "planning/browsetask.h"
#include "planning/confmgr.h"
#include "planning/superbrowsemanager.h"
#include "platform/archive/archivemanagerhm.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/sdversion.h"
#include "platform/entities/zyclient.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/errors/evmessageids.h"
#include "platform/indexing/supersearch.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/taskoptions.h"
#include "platform/threads/hubclock.h"
#include "worker/classiclistingprefixes.h"
#include "worker/fastbrowsehmworkerthread.h"
#include "worker/naslivebrowseplugin.h"

namespace {

const char* const kTag = "FBHMWORKER";

constexpr uint64_t kOptionAllVersions = 0x8;  // the browse lists every version in its range
constexpr uint64_t kOptionLeadCycle = 0x1000000000000ULL;
constexpr uint64_t kFlagExactIndex = 0x1;
constexpr uint64_t kFlagFileType6 = 0x4;
constexpr uint64_t kFlagCycleBit4 = 0x10;
constexpr uint64_t kFlagNasLiveBrowse = 0x200;
constexpr uint64_t kFlagGuidLookup = 0x20000000;
constexpr uint64_t kFlagTableViewAllowed = 0x80000000ULL;
constexpr uint64_t kFlagMountOption = 0x200000000ULL;
constexpr uint32_t kCycleFlagBit4 = 0x10;
constexpr uint32_t kNoIndexTime = 0x7fffffff;
constexpr unsigned kVersion10 = 1000;
constexpr uint32_t kNoPageSize = 0xFFFFFFFF;  // the page size of a browse that is not paged
constexpr uint64_t kOptionPrediction = 1ULL << 38;

// Whether a classic browse's page is to be counted over the items the caller gets (the media agent
// counts its own entries, and an item of unknown type becomes the nested browse's items), and which.
// Not for a page that continues from a node (positions the agent alone knows), a sampled browse, or a
// nested browse, which counts in the page of the browse it runs in.
bool pageOverItems(const TInputData& in, unsigned long sampling, bool nested,
                   CWorkerThreadHM::TItemWindow& window) {
    if (nested || sampling > 1 || in.emFirstNode != 0 || (in.optionBits & kOptionPrediction) != 0 ||
        in.pageSize == 0 || in.pageSize == kNoPageSize)
        return false;
    const uint32_t function = in.emFunction & 0xFF;
    const uint32_t firstIndex = in.emFunction >> 8;  // counted from 1
    switch (function) {
        case 2:
        case 3:
        case 4:
        case 6:
        case 7:
            window.skip = (firstIndex > 0 ? firstIndex - 1 : 0) + static_cast<uint64_t>(in.skipCount);
            break;
        case 0:
            // A versions browse pages by the request's skip and page size alone.
            if ((in.optionBits & kOptionAllVersions) == 0) return false;
            window.skip = in.skipCount;
            break;
        default:
            return false;
    }
    window.size = in.pageSize;
    return true;
}
constexpr int kOsWindows = 1;
const char* const kTableViewPrefix = "/TblView";
const char* const kTableViewPrefixWindows = "\\TblView";

bool usesExactIndex(apptype::EAppType appType) {
    return appType == apptype::kVirtualServer || apptype::in(apptype::family::kVirtualMachine, appType) ||
           appType == apptype::kActiveDirectory;
}
bool isTableViewAppType(apptype::EAppType appType) {
    return apptype::in(apptype::family::kTableView, appType);
}

// "key=value;" entries of the input record's extended-option text.
void setExtendedOption(std::string& text, const std::string& key, const std::string& value) {
    std::string rewritten;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(';', pos);
        if (end == std::string::npos) end = text.size();
        const std::string entry = text.substr(pos, end - pos);
        if (!entry.empty() && entry.compare(0, key.size() + 1, key + "=") != 0) rewritten += entry + ";";
        pos = end + 1;
    }
    rewritten += key + "=" + value + ";";
    if (!rewritten.empty()) text = rewritten;
}

// One archive-file reference of the input record: creation time, Kelmarch, archive group, archive file.
struct TReferenceFields {
    uint32_t TInputData::*time;
    uint64_t TInputData::*kelmarch;
    uint64_t TInputData::*group;
    uint64_t TInputData::*file;
};
// The latest, latest-in-cycle and exact references, in the order the legacy record carries them.
const TReferenceFields kReferences[3] = {
    {&TInputData::word37, &TInputData::value38, &TInputData::value39, &TInputData::value40},
    {&TInputData::word45, &TInputData::value46, &TInputData::value47, &TInputData::value48},
    {&TInputData::word50, &TInputData::value51, &TInputData::value52, &TInputData::value53},
};

void copyCycleArchive(TInputData& input, const SuperBrowse& cycle) {
    for (const TReferenceFields& r : kReferences) {
        input.*r.time = cycle.findTime;
        input.*r.kelmarch = cycle.kelmarchId;
        input.*r.group = cycle.archGroupId;
        input.*r.file = cycle.afileId;
    }
}

TAfileSelection selectionOf(const TInputData& input) {
    TAfileSelection s;
    s.subclientId = input.subclientId;
    s.appType = apptype::of(input.appType);
    s.copyPrecedence = input.copyPrecedence;
    s.fromTime = input.fromTime;
    s.toTime = input.toTime;
    s.flags = input.value49;
    TAfileReference* refs[3] = {&s.latest, &s.latestInCycle, &s.exact};
    for (int n = 0; n < 3; ++n) {
        refs[n]->creationTime = input.*kReferences[n].time;
        refs[n]->id.kelmarchId = input.*kReferences[n].kelmarch;
        refs[n]->id.archGroupId = input.*kReferences[n].group;
        refs[n]->id.archFileId = input.*kReferences[n].file;
    }
    return s;
}

void takeSelection(TInputData& input, const TAfileSelection& s) {
    input.fromTime = s.fromTime;
    input.toTime = s.toTime;
    input.value49 = s.flags;
    const TAfileReference* refs[3] = {&s.latest, &s.latestInCycle, &s.exact};
    for (int n = 0; n < 3; ++n) {
        input.*kReferences[n].time = refs[n]->creationTime;
        input.*kReferences[n].kelmarch = refs[n]->id.kelmarchId;
        input.*kReferences[n].group = refs[n]->id.archGroupId;
        input.*kReferences[n].file = refs[n]->id.archFileId;
    }
}

}  // namespace

void CWorkerThreadHM::fillInputRecord(bool noErrors) {
    CBrowseLog log(kTag);
    TBrowseTask& bt = *m_browseTask->getDataPtr();
    TInputData& in = m_inputData;
    if (bt.isSuperBrowse || bt.isSubclientBrowse || bt.skipContent || noErrors) bt.subclientPaths.clear();

    unsigned int referenceCopy = 0;
    if (ZYPlatformInfo::getNumber("~MediaAgent", "nUSEREFERENCECOPYID", &referenceCopy)) {
        if (referenceCopy == 0)
            log.debugLvl(0, "ReferenceCopy is disabled because of registry value nUSEREFERENCECOPY set to 0");
        else
            log.debugLvl(0, "ReferenceCopy is enabled because of registry value nUSEREFERENCECOPY set to %d",
                         static_cast<int>(referenceCopy));
    }

    in.kelmarchId = static_cast<uint32_t>(bt.kelmarchId);
    in.appType = static_cast<uint32_t>(bt.appType);
    in.copyPrecedence = bt.copyPrecedence;
    in.clientIdRequest = bt.srcClientId;
    in.requestNumber = bt.taskValue;
    in.jobId = bt.jobId;
    in.optionBits = m_superSearchOpType == superSearchKind::kContentIndexReport ? m_privateTask->getOptions()
                                                                                : bt.options;
    // The archive files are the application's: its id when the set-up resolved one.
    in.subclientId = m_syncEnabled ? static_cast<uint32_t>(m_privateTask->getSubClientId())
                                   : (bt.appId != 0 ? bt.appId : bt.subclientId);
    in.value49 = bt.options1;
    in.constantOne = 1;
    in.creationTime = static_cast<uint32_t>(m_clock.epochSeconds());
    in.toTime = static_cast<uint32_t>(bt.toTime);
    in.fromTime = static_cast<uint32_t>(bt.fromTime);
    in.emFunction = bt.em;
    in.skipCount = bt.skipNode;
    in.emFirstNodeLow = static_cast<uint32_t>(bt.firstNode);
    in.pageSize = bt.pageSize;
    in.referenceCopyId = referenceCopy;
    in.clientId = bt.srcClientId;
    in.emFirstNode = bt.firstNode;
    // Without an index cache the index is read as of no particular time.
    if (const SDIndexCache* cache = bt.sdVersion ? bt.sdVersion->getIndexCache() : nullptr) {
        in.indexTimeStamp = cache->timeStamp;
        in.indexAfileId1 = cache->archFileIds[0];
        in.indexAfileId2 = cache->archFileIds[1];
        in.indexAfileId3 = cache->archFileIds[2];
    } else {
        in.indexTimeStamp = kNoIndexTime;
    }

    in.string1 = bt.taskString1;
    in.browsePath = bt.browsePath;
    in.secondPath = bt.auxPath;
    in.string6 = bt.srcHostName;
    in.string7 = bt.destHostName;
    in.string8 = bt.backupSetName;
    in.userText = legacyUserText(bt.userId, bt.userName);
    in.string10 = bt.subclientName;
    if (bt.appType == apptype::kNas) in.string2 = in.string3 = "for legacy use only";
    in.word19 = static_cast<uint32_t>(bt.subclientPaths.size());
    in.word5 = 1;
    in.word6 = 2;
    in.word7 = 0;
    in.value4 = 3;

    unsigned int exactByRegistry = 0;
    const bool registryExact =
        ZYPlatformInfo::getNumber("Hubmaster", "nUseExactIndex", &exactByRegistry) && exactByRegistry != 0;
    if (registryExact) log.debugLvl(0, "Registry key nUseExactIndex is set, exact index will be used");
    if (usesExactIndex(bt.appType) || registryExact) {
        log.debugLvl(0, "exact index option will be enforced for apptype %d", static_cast<int>(bt.appType));
        in.value49 |= kFlagExactIndex;
    } else {
        in.value49 &= ~kFlagExactIndex;
    }
}

CStepResult CWorkerThreadHM::mainBody() {
    CBrowseLog log(kTag);
    TBrowseTask& bt = *m_browseTask->getDataPtr();
    TInputData& in = m_inputData;
    const bool noErrors = (bt.options & taskoption::kNested) != 0;
    bool dbAnswerAllowed = true;
    fillInputRecord(noErrors);

    SuperBrowseManager* planner = bt.planner;
    const bool v2 = planner && planner->isIndexingV2();
    m_indexingV2 = v2;
    const bool nasLive = bt.appType == apptype::kNas && (in.value49 & kFlagNasLiveBrowse) != 0;
    int selection = 0;
    if (!bt.isSuperBrowse && !v2) {
        if (planner && planner->getCycleCount() == 1 && m_privateTask->shouldIncludeRunningJob()) {
            copyCycleArchive(in, planner->getCycles()->front());
        } else if (!nasLive) {
            EvMessageContainer messages;
            TAfileSelection s = selectionOf(in);
            selection = setIndexingAfiles(in.toTime, &s, messages);
            takeSelection(in, s);
            if (selection == 0) {
                dbAnswerAllowed = false;
            } else if (selection != 1 && !m_syncEnabled && !m_imapRequest) {
                EvMessageContainer message;
                message.SetMessageID(evmsg::kNoBackupsFound, true);
                log.debugLvl(0, "No backup cycles found for browse time range [%d] to [%d]",
                             static_cast<int>(in.toTime), static_cast<int>(in.fromTime));
                return CStepResult::failure(databrowse::BROWSE_ERR_GENERIC, localisedText(message));
            }
        }
        if (nasLive) in.value49 |= kFlagFileType6;
    }
    if (v2 && nasLive) in.value49 |= kFlagFileType6;
    if (m_refCopySuperRestoreFind) setExtendedOption(in.text11, "refCopy", "1");
    if (m_guidLookup) in.value49 |= kFlagGuidLookup;

    std::string mountXml;
    if (bt.appType == apptype::kVirtualServer) {
        TVSALiveBrowseView view;
        view.kelmarchId = static_cast<unsigned long>(bt.kelmarchId);
        view.clientId = bt.srcClientId;
        view.appType = bt.appType;
        view.instanceId = static_cast<unsigned long>(bt.instanceId);
        view.backupSetId = bt.backupSetId;
        view.privateTask = m_privateTask.get();
        view.liveBrowseMediaAgent = m_fbrMediaAgent;
        view.request = &m_browseRequest;
        mountXml =
            CVSALiveBrowse(view).getVsaMountXml((in.value49 & kFlagFileType6) != 0, in.subclientId,
                                                static_cast<unsigned long>(in.value48), m_fbrMediaAgent);
    } else {
        // A plan of one cycle has described its mount already.
        if (planner && planner->getCycleCount() == 1) {
            mountXml = planner->getCycles()->front().mountXml;
        } else if ((in.optionBits & taskoption::kExactBrowse) == 0) {
            mountXml = CVSALiveBrowse::getBlockLevelMountXml(
                (in.value49 & kFlagFileType6) != 0, in.subclientId, static_cast<unsigned long>(in.value48),
                apptype::of(in.appType), in.fromTime, in.toTime, static_cast<int>(in.copyPrecedence),
                (bt.options1 & kFlagMountOption) != 0);
        }
    }
    if (!mountXml.empty()) setExtendedOption(in.text11, "SnapMountXMLParams", mountXml);

    if (!v2 && nasLive && (in.value49 & kFlagFileType6) != 0) {
        if (CStepResult plugin = runNasLiveBrowsePlugin(noErrors, dbAnswerAllowed); !plugin.ok())
            return plugin;
    }
    prefixTableViewPaths();

    CStepResult result;
    if (dbAnswerAllowed && !bt.isSuperBrowse && !bt.skipContent && !bt.subclientPaths.empty()) {
        log.debugLvl(0, "browse is going to be from hubmaster database");
        EvMessageContainer messages;
        if (doBrowseBySubclients(messages, &in, bt.subclientPaths) == -2) {
            log.debugLvl(0, "ERROR: doBrowseBySubclients() failed.");
            // A failing step that said why keeps its own, more precise reason.
            EvMessageContainer message;
            message.SetMessageID(evmsg::kDatabaseBrowseFailed, true);
            result = stepFailure(databrowse::BROWSE_ERR_GENERIC, localisedText(message));
        }
        if (selection != 0 || nasLive) return finishWithoutMediaAgent(result);
    }
    if (!bt.isSuperBrowse && !bt.skipContent && m_superSearchOpType != superSearchKind::kContentIndexReport &&
        !m_syncEnabled && selection != 0 && !v2)
        return finishWithoutMediaAgent(result);
    return dispatchRequest();
}

CStepResult CWorkerThreadHM::finishWithoutMediaAgent(CStepResult result) {
    CBrowseLog log(kTag);
    log.debugLvl(0, "END - browse request with worker id [%s]", m_workerId.c_str());
    const std::string guid = getBrowseSessionGuid();
    if (g_poConfMgr && !guid.empty()) g_poConfMgr->deleteConfRec(guid);
    return result;
}

CStepResult CWorkerThreadHM::runNasLiveBrowsePlugin(bool noErrors, bool& dbAnswerAllowed) {
    CBrowseLog log(kTag);
    CNASLiveBrowsePlugin& plugin = CNASLiveBrowsePlugin::instance();
    if (!plugin.isLoaded()) {
        log.debugLvl(0, "%s", plugin.loadError().c_str());
        return CStepResult::failure(databrowse::BROWSE_ERR_REQUEST_PROCESSING,
                                    "The NAS live browse plug-in is not available: " + plugin.loadError());
    }
    // A request without errors of its own (noErrors: a nested one) still carries its reason: the
    // controller only logs it then.
    auto noSnapshot = [this]() REQUIRES(m_workerLock) {
        EvMessageContainer message;
        message.SetMessageID(evmsg::kNoNasMountParameters, true);
        return CStepResult::failure(databrowse::BROWSE_ERR_GENERIC, localisedText(message));
    };
    TBrowseTask& bt = *m_browseTask->getDataPtr();
    EvMessageContainer messages;
    TAfileSelection s = selectionOf(m_inputData);
    const int64_t snapAfile = getSnapAfile(m_inputData.toTime, &s, messages, m_inputData.subclientId);
    if (!snapAfileId(snapAfile, m_inputData.subclientId, bt.snapAfileId)) {
        // Without its snapshot the browse has nothing to mount: as when the plug-in finds none.
        return noSnapshot();
    }
    std::string text;
    const int rc = plugin.getSnapMountParams(m_inputData.subclientId, bt.copyPrecedence, snapAfile, text);
    if (rc == -1) {
        log.debugLvl(0, "Failed to create NASLiveBrowse object");
        return CStepResult::failure(databrowse::BROWSE_ERR_REQUEST_PROCESSING,
                                    "The NAS live browse plug-in could not be started");
    }
    switch (rc) {
        case NASLIVEBROWSE_OK:
            log.debugLvl(8, "GetNASLiveBrowseSnapMountXMLParams returned string '%s'", text.c_str());
            setExtendedOption(m_inputData.text11, "SnapMountXMLParams", text);
            dbAnswerAllowed = false;
            return {};
        case NASLIVEBROWSE_NO_SNAPSHOT:
            return noSnapshot();
        case NASLIVEBROWSE_NO_CREDENTIALS: {
            EvMessageContainer message;
            message.SetMessageID(evmsg::kNoNdmpCredentials, true);
            message << bt.srcHostName.c_str() << bt.srcHostName.c_str();
            if (!noErrors)
                log.debugLvl(
                    8,
                    "Failed to retrieve NDMP credentials for file server [%s]. Please add NAS client for "
                    "file server [%s] or if NAS client is in de-configured state, reconfigure it.",
                    bt.srcHostName.c_str(), bt.srcHostName.c_str());
            return CStepResult::failure(databrowse::BROWSE_ERR_GENERIC, localisedText(message));
        }
        default:
            log.debugLvl(8, "GetNASLiveBrowseSnapMountXMLParams returned error code %d", rc);
            return {};
    }
}

void CWorkerThreadHM::prefixTableViewPaths() {
    CBrowseLog log(kTag);
    TBrowseTask& bt = *m_browseTask->getDataPtr();
    TInputData& in = m_inputData;
    SuperBrowseManager* planner = bt.planner;
    const bool v2 = planner && planner->isIndexingV2();
    CNMessageBase* options =
        m_browseRequest.isSet(databrowse::BrowseRequest::f::options)
            ? m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::options, false)
            : nullptr;
    const bool tableViewOption = options && options->getint64(databrowse::BrowseOptions::f::tableView) != 0;
    const bool prefixable =
        bt.browsePath.compare(0, 8, kTableViewPrefix) != 0 && (bt.options1 & kFlagTableViewAllowed);

    if (apptype::in(apptype::family::kOracle, bt.appType) && in.value48 != 0) {
        GetArchFileInfoArgs_t args;
        args.archFileId = in.value48;
        args.kelmarchId = in.kelmarchId;
        GetArchFileInfoRet_t info;
        int version = 0;
        ArchiveManagerHM archiveManager(nullptr);
        if (archiveManager.getArchFileInfo(&args, &info) != 0) {
            log.debugLvl(
                0,
                "Cannot fetch information for archive file number: [%lu]. Browse path will not be prefixed "
                "with \"/TblView\".",
                static_cast<unsigned long>(in.value48));
        } else {
            // The backup's format follows the release of the agent that wrote it.
            ZYClient(static_cast<unsigned long>(in.kelmarchId),
                     static_cast<unsigned long>(info.application.clientId))
                .getReleaseId(version);
        }
        if (version == 8) {
            log.debugLvl(0, "browsing Oracle tables in 8.0 backup.");
            if ((in.value49 & kFlagExactIndex) == 0) {
                log.debugLvl(0, "browsing Oracle tables in 8.0 - set UseExactIndex");
                in.value49 |= kFlagExactIndex;
            }
        } else {
            log.debugLvl(2, "This is Oracle table browse.");
            if (!bt.browsePath.empty() && bt.browsePath[0] == '/' && prefixable && bt.findPattern.empty()) {
                log.debugLvl(0, "Browsing Oracle tables. Browse path will be prefixed with \"/TblView\".");
                in.browsePath = kTableViewPrefix + bt.browsePath;
            }
            if (in.value49 & kFlagExactIndex) {
                log.debugLvl(0, "browsing Oracle tables in 9.0 or later - re-set UseExactIndex");
                in.value49 &= ~kFlagExactIndex;
            }
        }
    }

    if (bt.appType == apptype::kPostgreSql) {
        bool tableViewPath = false;
        for (const char* p = m_privateTask->getFirstPath(EvRestoreTask::kBrowsePathList); p;
             p = m_privateTask->getNextPath(EvRestoreTask::kBrowsePathList))
            tableViewPath = tableViewPath || boost::algorithm::iequals(p, kTableViewPrefix);
        if (!tableViewPath) {
            int os = 0;
            const bool windows = ZYClient(static_cast<unsigned long>(bt.kelmarchId), bt.srcClientId)
                                         .getOperatingSystemId(os) == 0 &&
                                 os == kOsWindows;
            const bool tableType = isTableViewAppType(bt.appType);
            log.debugLvl(0,
                         "Checking:  Windows client [%s], AppIsIdxV2DB [%s], isIndexingV2 [%s], "
                         "getTableViewBrowse [%s]",
                         windows ? "true" : "false", tableType ? "true" : "false", v2 ? "true" : "false",
                         tableViewOption ? "true" : "false");
            if (windows && tableType && v2 && tableViewOption)
                for (char& c : bt.browsePath)
                    if (c == '/') c = '\\';
            if (!bt.browsePath.empty() && bt.browsePath[0] == '/') {
                log.debugLvl(0, "browsing PostgreSQL tables. got / as first char");
                if (prefixable) {
                    log.debugLvl(0, "browsing PostgreSQL tables. prepend / with /TblView");
                    in.browsePath = kTableViewPrefix + bt.browsePath;
                }
            }
        }
    }
    if (isTableViewAppType(bt.appType) && v2 && tableViewOption) FixPathForTblViewBrowse();
}

void CWorkerThreadHM::FixPathForTblViewBrowse() {
    CBrowseLog log(kTag);
    log.debugLvl(0, "Browsing TableView for IndexingV2 enabled DB App");
    const std::string& path = m_browseTask->getDataPtr()->browsePath;
    const char* prefix = nullptr;
    if (!path.empty() && path[0] == '/') prefix = kTableViewPrefix;
    if (!path.empty() && path[0] == '\\') prefix = kTableViewPrefixWindows;
    if (!prefix) return;
    auto* paths = m_browseRequest.getlistobject(databrowse::BrowseRequest::f::paths, false);
    if (!paths || paths->empty()) return;
    CNMessageBase& first = paths->front();
    if (first.getstring(databrowse::BrowsePath::f::path).compare(0, 8, prefix) != 0) {
        log.debugLvl(0, "Browsing IndexingV2 DBApp. Browse path will be prefixed with %s.", prefix);
        first.setstring(databrowse::BrowsePath::f::path, prefix + path);
    }
}

CStepResult CWorkerThreadHM::dispatchRequest() {
    CBrowseLog log(kTag);
    TBrowseTask& bt = *m_browseTask->getDataPtr();
    TInputData& in = m_inputData;
    SuperBrowseManager* planner = bt.planner;
    bool result = false;
    const auto noMediaAgent = [] {
        return CStepResult::failure(databrowse::BROWSE_ERR_REQUEST_PROCESSING,
                                    "No media agent can be found to browse the requested data");
    };

    if (bt.isSuperBrowse) {
        setAsyncMode(true);
        result = superBrowse();
    } else if (m_superSearchOpType == superSearchKind::kContentIndexReport || m_syncEnabled) {
        result = superBrowse();
    } else if (!bt.skipContent) {
        if (planner && planner->isIndexingV2()) {
            setAsyncMode(true);
            result = superBrowse();
        } else {
            if (getMediaAgent(&bt) != 0) {
                log.debugLvl(0, "failed to determine media agent to be used for browse");
                return noMediaAgent();
            }
            if (m_maVersion < kVersion10 && (in.optionBits & kOptionAllVersions)) {
                if (m_privateTask->getFromTime() != 0) in.optionBits |= kOptionLeadCycle;
                in.emFunction = 0;
            }
            if (m_maVersion < kVersion10 && !m_directAPI) {
                setAsyncMode(false);
                result = fastBrowseWithCount();
            } else {
                setAsyncMode(true);
                result = superBrowse();
            }
        }
    } else if (!m_directAPI) {
        CStepResult groups = dispatchSkipContent();
        if (groups.ok()) return groups;
        if (!getStopFlag())
            log.debugLvl(0, "browse request failed at media agent [%s]", m_maClientName.c_str());
        return groups;
    } else {
        setAsyncMode(true);
        if (getMediaAgent(&bt) != 0) {
            log.debugLvl(0, "failed to determine media agent to be used for browse");
            return noMediaAgent();
        }
        if (m_maClientName.empty()) {
            ZYClient(ZYClient::hubmasterClientId()).getNetworkHostname(m_maHostName);
            if (getMediaAgentDetails() != 0) {
                log.debugLvl(0, "failed to get details of media agent [%s]", m_maHostName.c_str());
                return CStepResult::failure(databrowse::BROWSE_ERR_REQUEST_PROCESSING,
                                            "The media agent [" + m_maHostName + "] is not a known client");
            }
        }
        result = superBrowse();
    }
    if (result) return {};
    // Whatever else failed on the way (a send the stop cut short), the caller is told it was stopped.
    if (getStopFlag()) return CStepResult::failure(databrowse::BROWSE_ERR_GENERIC, "The browse was stopped");
    log.debugLvl(0, "browse request failed at media agent [%s]", m_maClientName.c_str());
    return stepFailure(databrowse::BROWSE_ERR_GENERIC,
                       "The browse failed at media agent [" + m_maClientName + "]");
}

bool CWorkerThreadHM::fastBrowseWithCount() {
    // The end of the first pass is held back while a count pass may follow, so the caller gets one end
    // (and one prediction) for the page and its count.
    m_replyChannel.holdEnd();
    TItemWindow window;
    const bool paged =
        pageOverItems(m_inputData, m_privateTask->getSampling(), itemWindowInstalled(), window);
    bool result = paged ? fastBrowsePage(window) : fastBrowse();
    const uint64_t sent = paged ? window.kept : m_itemsReceived;
    unsigned int countOperation = 0;
    if (result && sent == m_inputData.pageSize && !m_countTag.empty() && emRequiresCount(countOperation)) {
        const uint32_t savedEm = m_inputData.emFunction;
        m_inputData.emFunction = countOperation;
        // The held end is superseded by the count pass's own.
        m_replyChannel.beginCountPass();
        result = fastBrowse();
        m_replyChannel.endCountPass();
        m_inputData.emFunction = savedEm;
        return result;
    }
    if (result)
        releaseHeldEnd();
    else
        m_replyChannel.dropEnd();
    return result;
}

bool CWorkerThreadHM::fastBrowsePage(TItemWindow& window) {
    CBrowseLog log(kTag);
    TInputData& in = m_inputData;
    const uint32_t em = in.emFunction, skip = in.skipCount, pageSize = in.pageSize;
    // What earlier pages learnt of the listing says where this page's items start; without it the agent
    // is asked from its first entry. Not for versions: there an entry of unknown type gives nothing when
    // an earlier version of it was browsed, which a page starting after that one would not know.
    const bool remembered = (in.optionBits & kOptionAllVersions) == 0;
    const std::string listing = remembered ? classicListingKey() : std::string();
    const CClassicListingPrefixes::TStart start =
        remembered ? CClassicListingPrefixes::instance().locate(listing, window.skip)
                   : CClassicListingPrefixes::TStart{};
    window.skip -= start.itemsBefore;
    window.owner = this;
    CItemWindowGuard installed(*this, &window);
    // Every entry gives the caller at least one item, but for an item of unknown type whose nested
    // browse answers nothing (or answered already): the entries up to the page's end are asked for,
    // then more while the page is not full and the listing goes on.
    uint64_t asked = start.entry;
    bool result = true;
    while (result && !window.full() && !getStopFlag()) {
        const uint64_t wanted = window.skip + window.size - window.seen;
        in.emFunction = em & 0xFF;  // from the first entry, counted by the skip below
        in.skipCount = static_cast<uint32_t>(std::min<uint64_t>(asked, kNoPageSize - 1));
        in.pageSize = static_cast<uint32_t>(std::min<uint64_t>(wanted, kNoPageSize - 1));
        log.debugLvl(2, "page of items [%llu] to [%llu]: entries from [%llu] asked of the media agent",
                     static_cast<unsigned long long>(window.skip + 1),
                     static_cast<unsigned long long>(window.skip + window.size),
                     static_cast<unsigned long long>(asked));
        result = fastBrowse();
        if (m_itemsReceived < in.pageSize) break;  // the listing ended
        asked += m_itemsReceived;
    }
    in.emFunction = em;
    in.skipCount = skip;
    in.pageSize = pageSize;
    if (remembered && result && !getStopFlag())
        CClassicListingPrefixes::instance().learn(listing, start.entry, window.itemsPerEntry);
    return result;
}

CStepResult CWorkerThreadHM::dispatchSkipContent() {
    CBrowseLog log(kTag);
    TBrowseTask& bt = *m_browseTask->getDataPtr();
    TInputData& in = m_inputData;
    setAsyncMode(false);
    SuperBrowseManager* planner = bt.planner;
    if (!planner) {
        log.debugLvl(0, "internal error occurred in browse request, aborting the operation");
        return CStepResult::failure(databrowse::BROWSE_ERR_GENERIC,
                                    "The browse has no plan of backup cycles to browse");
    }
    std::vector<SuperBrowse>& cycles = *planner->getCycles();
    // Per subclient, the cycles with and without flag bit 4: all but the last of each list are skipped,
    // the last one is browsed as the lead cycle over the whole range.
    std::map<uint32_t, std::vector<uint32_t>> lists[2];
    for (const SuperBrowse& c : cycles)
        lists[(c.flags & kCycleFlagBit4) ? 1 : 0][c.appId].push_back(c.cycleNumber);
    std::map<uint32_t, bool> lead;  // cycle number -> lead (true) or skipped (false)
    for (auto& byKind : lists)
        for (auto& [subclient, numbers] : byKind)
            if (numbers.size() > 1)
                for (size_t n = 0; n < numbers.size(); ++n) lead[numbers[n]] = n + 1 == numbers.size();

    const uint64_t workerNumber = std::strtoull(m_workerId.c_str(), nullptr, 10);
    bool fastResults = true;
    bool anyFast = false;
    int sent = 0;
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1) m_outstandingRequests = 0;
        for (const SuperBrowse& c : cycles) {
            auto found = lead.find(c.cycleNumber);
            if (found != lead.end() && !found->second) continue;
            const bool isLead = found != lead.end();
            bt.subclientId = c.appId;
            in.subclientId = c.appId;
            copyCycleArchive(in, c);
            in.toTime = c.toTime;
            in.fromTime = c.fromTime;
            in.value49 = (in.value49 & ~kFlagCycleBit4) | (c.flags & kCycleFlagBit4);
            if (isLead) {
                in.optionBits |= kOptionLeadCycle;
                in.requestNumber = (workerNumber << 32) | c.cycleNumber;
                in.toTime = static_cast<uint32_t>(bt.toTime);
                in.fromTime = static_cast<uint32_t>(bt.fromTime);
                if (pass == 0) in.emFunction = 0;
            } else {
                in.optionBits &= ~kOptionLeadCycle;
            }
            if (getMediaAgent(&bt) != 0) {
                log.debugLvl(0, "failed to determine media agent to be used for browse");
                return CStepResult::failure(
                    databrowse::BROWSE_ERR_REQUEST_PROCESSING,
                    "No media agent can be found to browse backup cycle " + std::to_string(c.cycleNumber));
            }
            if (pass == 0 && m_maVersion < kVersion10) {
                // The super browses of the second pass end the caller's answer: no end from here.
                m_replyChannel.holdEnd();
                const bool ok = fastBrowse();
                m_replyChannel.dropEnd();
                anyFast = true;
                fastResults = fastResults && ok;
            } else if (pass == 1 && m_maVersion >= kVersion10) {
                if (superBrowse()) {
                    setAsyncMode(true);
                    ++m_outstandingRequests;
                    ++sent;
                } else {
                    // The other cycles' answers still come: the caller learns of this one as a warning.
                    databrowse::BrowseError warning;
                    warning.setint64(databrowse::BrowseError::f::errorCode, databrowse::BROWSE_ERR_GENERIC);
                    warning.setstring(databrowse::BrowseError::f::errorMessage,
                                      "Browse of backup cycle " + std::to_string(c.cycleNumber) +
                                          " failed: " + m_errorText);
                    sendWarningToBrowse(warning);
                }
            }
        }
    }
    if (sent > 0) return {};
    // Nothing went to an index service: the request stands on its fast browses, and the caller needs
    // its end from here.
    if (anyFast && fastResults) {
        sendEndResponse();
        return {};
    }
    return stepFailure(databrowse::BROWSE_ERR_GENERIC, anyFast
                                                           ? "The browse of the backup cycles failed"
                                                           : "No backup cycle of the browse could be sent");
}
