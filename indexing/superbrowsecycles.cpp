// The cycles and archive files of an indexing-V1 super browse: the planner's cycles as the request's
// backup cycles (times, archive, the media agent or its VM proxy, flags, VM mount XML, client, filters
// and retention), its index and data archive files, and the retention steps that place filters in the
// queries or the extended options. Members of CWorkerThreadHM, run under the worker's lock by the
// thread that holds it.
#include <ctime>

#include "Db/Tbl/APP_Client.h"
#include "appbrowse/fastbrowsehm_vsa.h"
#include "fbDebug/fbdebug.h"
#include "framework/filesystemtypes.h"
#include "indexing/superbrowserequest.h"
#include "planning/browsetask.h"
#include "planning/superbrowsemanager.h"
#include "platform/db/dbresult.h"
#include "platform/db/requestscope.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/entityconfig.h"
#include "platform/msg/criteriaoperators.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/extendedoptions.h"
#include "platform/threads/hubclock.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

const char* const kTag = "FBHMWORKER";
constexpr uint32_t kNoSubclient = 0xFFFFFFFF;
constexpr int kBrowseOpFindOnly = 2;
constexpr unsigned int kOptionV2Retention = 103;
constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kOperatorIs = 9;
constexpr int64_t kOperatorUnder = 5;
constexpr int64_t kAttributeRetentionTags = 66;
constexpr int64_t kAttributeLegalHold = 52;
constexpr int64_t kAttributeArchiveTime = 67;

bool isExchangeAppType(apptype::EAppType appType) {
    return apptype::in(apptype::family::kExchange, appType);
}

databrowse::Query retentionSubquery(const std::vector<databrowse::Criteria>& filters) {
    databrowse::Query query;
    query.setstring(databrowse::Query::f::queryId, "retention-subquery");
    query.setint64(databrowse::Query::f::type, 0);
    query.setlistobject(databrowse::Query::f::criteriaList,
                        std::vector<CNMessageBase>(filters.begin(), filters.end()));
    return query;
}

// The client of a subclient (its name and GUID), as a cycle names it: read once per request, and carried
// into later requests while the database is unchanged, since every browse of the subclient asks again.
struct TCycleClient {
    uint32_t appId = 0;
    int status = 0;
    std::string name, guid;
};

int cycleClient(zydb::CRequestReads* reads, uint32_t appId, std::string& name, std::string& guid) {
    auto* memo = reads ? reads->memo<std::vector<TCycleClient>>() : nullptr;
    if (memo)
        for (const TCycleClient& read : *memo)
            if (read.appId == appId) {
                name = read.name;
                guid = read.guid;
                return read.status;
            }
    APP_Client client(nullptr);
    client.setWhere("id = (select clientid from app_application where id = %u)", appId);
    TCycleClient read;
    read.appId = appId;
    read.status = client.getOneRow(&client, false, 0, 0);
    if (read.status == 0) {
        read.name = client.getDataPtr()->name;
        read.guid = client.getDataPtr()->GUID;
    }
    name = read.name;
    guid = read.guid;
    const int status = read.status;
    // Only answers are kept: a failed read is tried again.
    if (memo && (status == 0 || status == zydb::DB_NO_DATA)) memo->push_back(std::move(read));
    return status;
}

Indexing::Archive archiveOf(const SuperBrowseArchive& file, uint32_t appId) {
    using A = Indexing::Archive::f;
    Indexing::Archive archive;
    archive.reserveFields(7);  // the fields set below
    archive.setint64(A::kelmarchId, file.r_kelmarchId);
    archive.setint64(A::creationTime, file.r_createTime);
    archive.setint64(A::jobId, file.r_jobId);
    archive.setint64(A::archGroupId, file.r_agroupId);
    archive.setint64(A::afile, static_cast<int64_t>(file.archFileId()));
    archive.setint64(A::appId, appId);
    archive.setint64(A::backupLevel, file.r_backupLevel);
    return archive;
}

}  // namespace

void CWorkerThreadHM::prependToQueries(const std::vector<databrowse::Criteria>& filters) {
    if (!m_queryList || filters.empty()) return;
    auto* queries = m_queryList->getlistobject(databrowse::Querylist::f::queries, false);
    if (!queries) return;
    for (CNMessageBase& query : *queries) {
        auto* criteria = query.getlistobject(databrowse::Query::f::criteriaList, true);
        criteria->insert(criteria->begin(), filters.begin(), filters.end());
    }
}

void CWorkerThreadHM::applyExchangeRetentionTags(TSuperBrowseRun& run) {
    CBrowseLog log(kTag);
    if (!run.retentionOn || m_refCopySuperRestoreFind || !isExchangeAppType(apptype::of(m_inputData.appType)))
        return;
    databrowse::GranularRetentionRules tags = getExchangeRetentionTags();
    auto* first = tags.getlistobject(databrowse::GranularRetentionRules::f::at1_1, false);
    auto* second = tags.getlistobject(databrowse::GranularRetentionRules::f::at2_2, false);
    if (!(first && !first->empty()) && !(second && !second->empty())) return;
    std::string xml;
    if (tags.serialize(xml) != 0) {
        log.debugLvl(
            0,
            "Extended retention tags will not be effective in browse/find, since XML serialization failed");
        return;
    }
    CExtendedOptions options;
    if (options.setOptions(m_inputData.text11) != 0 ||
        options.setOption("ContentRetentionCriteria", xml) != 0)
        return;
    std::string merged;
    if (options.getOptions(merged) == 0) {
        m_inputData.text11 = merged;
        run.retentionTagsApplied = true;
    }
}

void CWorkerThreadHM::applyNoPlannerRetention(TSuperBrowseRun& run) {
    if (!run.retentionOn || m_refCopySuperRestoreFind ||
        !isFileSystemAppType(apptype::of(m_inputData.appType)) || m_inputData.subclientId == kNoSubclient ||
        static_cast<int>(m_privateTask->getBrowseOpType()) == kBrowseOpFindOnly)
        return;
    prependToQueries(getRetentionFilters(static_cast<int>(m_inputData.subclientId), m_indexingV2));
}

void CWorkerThreadHM::addCycleRetention(TSuperBrowseRun& run, Indexing::BackupCycle& cycle,
                                        uint32_t cycleAppId, bool refCopy) {
    CBrowseLog log(kTag);
    const bool entered = (run.retentionOn && !m_refCopySuperRestoreFind) ||
                         (m_indexingV2 && m_privateTask->isSet(kOptionV2Retention));
    if (!entered) return;
    const SuperBrowseManager* planner = m_browseTask->getDataPtr()->planner;
    const apptype::EAppType plannerAppType = planner ? planner->getAppType() : apptype::EAppType{};
    const int subclient = static_cast<int>(m_inputData.subclientId);
    const bool superBrowseFlag = run.flags.getint64(Indexing::BrowseFlags::f::superBrowse) != 0;
    std::vector<databrowse::Criteria> filters;

    if ((isFileSystemAppType(plannerAppType) &&
         static_cast<int>(m_privateTask->getBrowseOpType()) != kBrowseOpFindOnly) ||
        m_indexingV2) {
        filters = refCopy ? getRefCopyFilters(subclient, m_indexingV2)
                          : getRetentionFilters(subclient, m_indexingV2);
        if (filters.empty()) return;
        if (superBrowseFlag)
            cycle.setObjectAccessor(retentionSubquery(filters), Indexing::BackupCycle::f::query);
        else if (!m_indexingV2)
            prependToQueries(filters);
        else {
            log.debugLvl(0, "Set Retention Filters for V2 Indexing");
            run.v2RetentionFilters = true;
        }
        return;
    }
    if (!isExchangeAppType(plannerAppType)) return;
    if (refCopy) {
        filters = getRefCopyFilters(subclient, m_indexingV2);
    } else {
        if (run.retentionTagsApplied)
            filters.push_back(makeBrowseCriteria(1, kAttributeRetentionTags, kOperatorIs, "true"));
        filters.push_back(
            makeBrowseCriteria(1, kAttributeLegalHold, kOperatorUnder, getExchangeLegalHoldMailboxes()));
        int days = 0;
        if (Subclient(cycleAppId).getItemPastExpiryDays(days) != 0) {
            log.debugLvl(
                0, "Unable to find subclient retention settings for appid [%d], the filter will be ignored",
                static_cast<int>(cycleAppId));
        } else {
            int64_t archived = 0;
            int64_t deleted = 0;
            if (days == -1) {
                archived = deleted = 1;
            } else if (days == 0) {
                archived = 1;
                deleted = 2147483647;
            } else if (days > 0) {
                archived = deleted =
                    static_cast<int64_t>(CHubClock::real().epochSeconds()) - days * kSecondsPerDay;
            }
            filters.push_back(makeBrowseCriteria(1, criteriaattr::kDeletionTime, criteriaop::kFrom,
                                                 std::to_string(deleted)));
            filters.push_back(
                makeBrowseCriteria(1, kAttributeArchiveTime, criteriaop::kFrom, std::to_string(archived)));
        }
    }
    if (filters.empty()) return;
    if (superBrowseFlag)
        cycle.setObjectAccessor(retentionSubquery(filters), Indexing::BackupCycle::f::query);
    else
        prependToQueries(filters);
}

TVSALiveBrowseView CWorkerThreadHM::vsaLiveBrowseView() const {
    const TBrowseTask* bt = m_browseTask->getDataPtr();
    TVSALiveBrowseView view;
    view.kelmarchId = static_cast<unsigned long>(bt->kelmarchId);
    view.clientId = bt->srcClientId;
    view.appType = bt->appType;
    view.instanceId = static_cast<unsigned long>(bt->instanceId);
    view.backupSetId = bt->backupSetId;
    view.privateTask = m_privateTask.get();
    view.liveBrowseMediaAgent = m_fbrMediaAgent;
    view.request = &m_browseRequest;
    return view;
}

bool CWorkerThreadHM::fillSuperBrowseCycle(TSuperBrowseRun& run, const SuperBrowse& cycle,
                                           Indexing::BackupCycle& out) {
    using C = Indexing::BackupCycle::f;
    CBrowseLog log(kTag);
    TBrowseTask* bt = m_browseTask->getDataPtr();
    SuperBrowseManager* planner = bt->planner;

    out.setint64(C::cycleNumber, cycle.cycleNumber);
    out.setint64(C::appId, cycle.appId);
    if (cycle.indexingV2Cycle) {
        out.setstring(C::backupSetGuid, cycle.backupSetGuid);
        out.getObjectAccessor(C::idxMetadata, true)
            ->setstring(IdxMetadata::Msg0::f::indexDbId, cycle.indexDbId);
        if (!bt->isSuperBrowse) {
            m_indexBrowseRequest.setstring(Indexing::BrowseReq::f::backupsetGuid, cycle.backupSetGuid);
            m_indexBrowseRequest.getObjectAccessor(Indexing::BrowseReq::f::idxMetadata, true)
                ->setstring(IdxMetadata::Msg0::f::indexDbId, cycle.indexDbId);
        }
    }
    out.setint64(C::findTime, cycle.findTime);
    out.setint64(C::fromTime, cycle.fromTime);
    out.setint64(C::toTime, cycle.toTime);
    out.setint64(C::kelmarchId, cycle.kelmarchId);
    out.setint64(C::archGroupId, cycle.archGroupId);
    out.setint64(C::afile, static_cast<int64_t>(cycle.afileId));

    CVSALiveBrowse vsa(vsaLiveBrowseView());
    if (m_maFromTaskOptions) {
        out.setstring(C::ma, m_maHostName);
        out.setint64(C::maVersion, m_maVersion);
    } else {
        std::string maName = cycle.mediaAgentName;
        unsigned int maVersion = cycle.mediaAgentVersion;
        vsa.switchToVSProxyServer(cycle.kelmarchId, cycle.appId, static_cast<unsigned int>(bt->instanceId),
                                  maName, &maVersion);
        out.setstring(C::ma, maName);
        out.setint64(C::maVersion, maVersion);
    }
    Indexing::BackupCycleFlags flags;
    flags.setint64(Indexing::BackupCycleFlags::f::exact, (cycle.flags & SuperBrowse::kFlagExact) ? 1 : 0);
    flags.setint64(Indexing::BackupCycleFlags::f::image, (cycle.flags & SuperBrowse::kFlagImage) ? 1 : 0);
    flags.setint64(Indexing::BackupCycleFlags::f::snap,
                   (cycle.flags & SuperBrowse::kFlagIndexFileType6) ? 1 : 0);
    if (cycle.indexingV2Cycle) flags.setint64(Indexing::BackupCycleFlags::f::isIndexingV2, 1);
    out.setObjectAccessor(flags, C::flags);

    std::string mountXml;
    if (planner && planner->getAppType() == apptype::kVirtualServer)
        mountXml = vsa.getVsaMountXml((cycle.flags & SuperBrowse::kFlagIndexFileType6) != 0, cycle.appId,
                                      static_cast<unsigned long>(cycle.afileId), getFbrMA());
    if (!cycle.mountXml.empty()) mountXml = cycle.mountXml;
    if (!mountXml.empty()) out.setstring(C::mountXml, mountXml);

    bool refCopy = false;
    if (Subclient(m_inputData.subclientId).isReferenceCopySubclient(refCopy) == 0)
        log.debugLvl(3, "Reference copy is [%s] for subclient [%d]", refCopy ? "true" : "false",
                     static_cast<int>(m_inputData.subclientId));
    else
        refCopy = false;

    if (!m_indexingV2) {
        std::string name, guid;
        if (cycleClient(m_reads, cycle.appId, name, guid) != 0) {
            log.debugLvl(0,
                         "Could not determine the client information for subclient [%d] so not including it "
                         "in the browse",
                         static_cast<int>(cycle.appId));
            run.skippedCycles.push_back("cycle " + std::to_string(cycle.cycleNumber) + " of subclient " +
                                        std::to_string(cycle.appId));
            return false;
        }
        if (name.size() > 2047) name.resize(2047);
        out.setstring(C::clientName, name);
        out.setstring(C::clientGuid, guid);
    }
    addCycleRetention(run, out, cycle.appId, refCopy);
    return true;
}

void CWorkerThreadHM::addSuperBrowseCycles(TSuperBrowseRun& run) {
    TBrowseTask* bt = m_browseTask->getDataPtr();
    SuperBrowseManager* planner = bt->planner;
    if (!planner) {
        run.flags.setint64(Indexing::BrowseFlags::f::superBrowse, 0);
        applyNoPlannerRetention(run);
        return;
    }
    run.flags.setint64(Indexing::BrowseFlags::f::superBrowse, bt->isSuperBrowse ? 1 : 0);
    std::vector<CNMessageBase> cycles;
    for (const SuperBrowse& cycle : *planner->getCycles()) {
        Indexing::BackupCycle out;
        if (fillSuperBrowseCycle(run, cycle, out)) cycles.push_back(std::move(out));
    }
    m_indexBrowseRequest.setlistobject(Indexing::BrowseReq::f::backupCycles, std::move(cycles));
    for (const std::string& skipped : run.skippedCycles) {
        // The browse goes on without the cycle; the caller learns that its answer may be incomplete.
        databrowse::BrowseError warning;
        warning.setint64(databrowse::BrowseError::f::errorCode, databrowse::BROWSE_ERR_REQUEST_PROCESSING);
        warning.setstring(
            databrowse::BrowseError::f::errorMessage,
            "The client of " + skipped + " could not be determined; it is left out of the browse");
        sendWarningToBrowse(warning);
    }
    addSuperBrowseArchives();
}

void CWorkerThreadHM::addSuperBrowseArchives() {
    SuperBrowseManager* planner = m_browseTask->getDataPtr()->planner;
    const std::vector<SuperBrowseArchive> indexArchives = planner->getIndexArchives();
    const std::vector<SuperBrowseArchive> dataArchives = planner->getDataArchives();
    std::vector<CNMessageBase> indexList;
    indexList.reserve(indexArchives.size());
    for (const SuperBrowseArchive& file : indexArchives) indexList.push_back(archiveOf(file, file.appId));
    m_indexBrowseRequest.setlistobject(Indexing::BrowseReq::f::indexArchives, std::move(indexList));
    // A data archive goes out once per index archive of its job, under that index archive's subclient.
    std::vector<CNMessageBase> dataList;
    for (const SuperBrowseArchive& index : indexArchives)
        for (const SuperBrowseArchive& data : dataArchives)
            if (data.r_jobId == index.r_jobId) dataList.push_back(archiveOf(data, index.appId));
    m_indexBrowseRequest.setlistobject(Indexing::BrowseReq::f::dataArchives, std::move(dataList));
}
