#include "tools/mediaagent/v2answer.h"

#include <memory>
#include <set>

#include "platform/msg/criteriaoperators.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynetwork.h"

namespace mediaagent {

namespace {

using R = Indexing::BrowseReq::f;
using S = databrowse::SubclientInfo::f;
constexpr const char* kRetentionPrefix = "retention-subquery:";

CNMessageBase* routingOf(databrowse::BrowseRequest& request) {
    CNMessageBase* indexing = request.getObjectAccessor(databrowse::BrowseRequest::f::indexing, false);
    return indexing ? indexing->getObjectAccessor(databrowse::Msg91::f::indexingInfo, false) : nullptr;
}

CNMessageBase* chosenOf(databrowse::BrowseRequest& request) {
    CNMessageBase* routing = routingOf(request);
    return routing ? routing->getObjectAccessor(databrowse::IndexingInfo::f::indexDBInfo, false) : nullptr;
}

std::vector<CNMessageBase>& listOr(std::vector<CNMessageBase>* list) {
    static thread_local std::vector<CNMessageBase> none;
    none.clear();
    return list ? *list : none;
}

// The retention sub-query of the subclient with this GUID; null when the request has none.
CNMessageBase* retentionQueryOf(databrowse::BrowseRequest& request, const std::string& guid) {
    for (CNMessageBase& q : listOr(request.getlistobject(databrowse::BrowseRequest::f::queries, false)))
        if (q.getint64(databrowse::Query::f::type) == databrowse::kQueryTypeRetention &&
            q.getstring(databrowse::Query::f::queryId) == kRetentionPrefix + guid)
            return &q;
    return nullptr;
}

// The request's way back, whatever the index can read.
void routeOf(databrowse::BrowseRequest& request, TIndexBrowsePlan& plan) {
    CNMessageBase* routing = routingOf(request);
    CNMessageBase* session = request.getObjectAccessor(databrowse::BrowseRequest::f::session, false);
    plan.workerId = routing ? routing->getstring(databrowse::IndexingInfo::f::workerId) : "";
    plan.session = session ? session->getstring(databrowse::BrowseSession::f::sessionId) : "";
    plan.owner = ownerOfV2Request(request);
    plan.hubmasterHost = routing ? routing->getstring(databrowse::IndexingInfo::f::hubmasterHost) : "";
    plan.routerName = routing ? routing->getstring(databrowse::IndexingInfo::f::routerName) : "";
    if (plan.routerName.empty()) plan.routerName = "BrowseRouter";
}

}  // namespace

TAnswerOwner ownerOfV2Request(databrowse::BrowseRequest& request) {
    TAnswerOwner owner;
    CNMessageBase* advanced = request.isSet(databrowse::BrowseRequest::f::advOptions)
                                  ? request.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, false)
                                  : nullptr;
    if (advanced && advanced->isSet(databrowse::Msg63::f::userId)) {
        owner.hasUserId = true;
        owner.userId = advanced->getint64(databrowse::Msg63::f::userId);
    }
    owner.userText = request.getstring(databrowse::BrowseRequest::f::userName);
    return owner;
}

bool isV2IndexRequest(databrowse::BrowseRequest& request) {
    return chosenOf(request) != nullptr;
}

std::string describeV2Request(databrowse::BrowseRequest& request) {
    CNMessageBase* routing = routingOf(request);
    CNMessageBase* chosen = chosenOf(request);
    std::string text =
        "ma=" + (routing ? routing->getstring(databrowse::IndexingInfo::f::mediaAgentName) : "");
    const CNMessageBase* db =
        chosen ? chosen->getObjectAccessor(databrowse::IndexDBInfo::f::indexDb, false) : nullptr;
    text += " db=" + (db ? db->getstring(databrowse::Msg87::f::dbName) : "");
    text +=
        " dbs=" +
        std::to_string(
            routing ? listOr(routing->getlistobject(databrowse::IndexingInfo::f::indexDbList, false)).size()
                    : 0);
    text += " subclients=";
    bool first = true;
    for (CNMessageBase& s :
         listOr(chosen ? chosen->getlistobject(databrowse::IndexDBInfo::f::subclients, false) : nullptr)) {
        text += (first ? "" : ",") + std::to_string(s.getint64(S::appId));
        first = false;
    }
    size_t retention = 0, vmCriteria = 0;
    for (CNMessageBase& q : listOr(request.getlistobject(databrowse::BrowseRequest::f::queries, false))) {
        if (q.getstring(databrowse::Query::f::queryId).rfind(kRetentionPrefix, 0) == 0) ++retention;
        for (CNMessageBase& c : listOr(q.getlistobject(databrowse::Query::f::criteriaList, false))) {
            CNMessageBase* v = c.getObjectAccessor(databrowse::Criteria::f::criteria, false);
            if (v && v->getint64(databrowse::FilteredBrowseCriteriaValue::f::attribute) ==
                         criteriaattr::kVirtualMachine)
                ++vmCriteria;
        }
    }
    size_t jobLists = 0;
    CNMessageBase* advanced = request.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, false);
    CNMessageBase* settings =
        advanced ? advanced->getObjectAccessor(databrowse::Msg63::f::advancedConfig, false) : nullptr;
    CNMessageBase* flags =
        settings ? settings->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::flagBlock, false)
                 : nullptr;
    for (CNMessageBase& f :
         listOr(flags ? flags->getlistobject(databrowse::Msg9::f::additionalFlags, false) : nullptr))
        if (f.getint64(databrowse::AdditionalFlag::f::flagType) == browseflag::kJobList) ++jobLists;
    text += " retention=" + std::to_string(retention) + " vmcriteria=" + std::to_string(vmCriteria) +
            " jobs=" + std::to_string(jobLists);
    return text;
}

bool planV2Browse(databrowse::BrowseRequest& request, CItemIndex& index, TIndexBrowsePlan& plan,
                  std::string& why) {
    routeOf(request, plan);
    // A live browse reads the machine itself, which only the machine's own agent can do: this media agent
    // holds backups, and an answer from them would pass for the machine's present contents.
    if (const CNMessageBase* options =
            request.getObjectAccessor(databrowse::BrowseRequest::f::options, false);
        options && options->getint64(databrowse::BrowseOptions::f::initMachineBrowse) != 0) {
        const CNMessageBase* entity = request.getObjectAccessor(databrowse::BrowseRequest::f::entity, false);
        // Named as the operator knows it; the id only where the request carries no name.
        std::string client = entity ? entity->getstring(ZyEntities::GenericEntity::f::clientName) : "";
        if (client.empty() && entity)
            client = std::to_string(entity->getint64(ZyEntities::GenericEntity::f::clientId));
        why = "media agent [" + zyNetOptions().localClientName +
              "] holds backups only: it cannot browse client [" + client + "] live";
        return false;
    }
    CNMessageBase* chosen = chosenOf(request);
    const CNMessageBase* db =
        chosen ? chosen->getObjectAccessor(databrowse::IndexDBInfo::f::indexDb, false) : nullptr;
    const std::string dbName = db ? db->getstring(databrowse::Msg87::f::dbName) : "";
    const CNMessageBase* times = request.getObjectAccessor(databrowse::BrowseRequest::f::timeRange, false);
    const int64_t toTime = times ? times->getint64(databrowse::BrowseTimeRange::f::toTime) : 0;
    const int64_t fromTime = times ? times->getint64(databrowse::BrowseTimeRange::f::fromTime) : 0;
    // Every path of the request is answered.
    std::vector<std::string> paths;
    for (CNMessageBase& p : listOr(request.getlistobject(databrowse::BrowseRequest::f::paths, false))) {
        const std::string path = p.getstring(databrowse::BrowsePath::f::path);
        paths.push_back(path.empty() || path == "\\" ? "/" : path);
    }
    if (paths.empty()) paths.push_back("/");
    auto* queries = request.getlistobject(databrowse::BrowseRequest::f::queries, false);

    bool planned = false;
    std::set<int64_t> seen;
    for (CNMessageBase& s :
         listOr(chosen ? chosen->getlistobject(databrowse::IndexDBInfo::f::subclients, false) : nullptr)) {
        // A subclient named twice is answered once.
        if (!seen.insert(s.getint64(S::appId)).second) continue;
        // The subclient as an indexing-V1 request of one cycle, so that both forms are read alike.
        Indexing::BrowseReq one;
        one.setstring(R::workerId, plan.workerId);
        one.setstring(R::browseSessionGuid, plan.session);
        one.setstring(R::hubmasterHost, plan.hubmasterHost);
        one.setstring(R::routerName, plan.routerName);
        one.setint64(R::subclientId, s.getint64(S::appId));
        one.setint64(R::toTime, toTime);
        one.setint64(R::fromTime, fromTime);
        if (request.getint64(databrowse::BrowseRequest::f::opType) == databrowse::BROWSE_OP_ALL_VERSIONS)
            one.setint64(R::options, static_cast<int64_t>(kOptionVersions));
        one.setliststring(R::sourcePaths, paths);
        Indexing::BackupCycle cycle;
        cycle.setint64(Indexing::BackupCycle::f::appId, s.getint64(S::appId));
        cycle.setint64(Indexing::BackupCycle::f::toTime, toTime);
        if (CNMessageBase* retention = retentionQueryOf(request, s.getstring(S::subclientGUID)))
            cycle.setObjectAccessor(*retention, Indexing::BackupCycle::f::query);
        one.setlistobject(R::backupCycles, {cycle});
        if (queries) one.setlistobject(R::queries, *queries);
        TIndexBrowsePlan part;
        std::string partWhy;
        if (!planIndexBrowse(one, index, part, partWhy)) {
            // Another agent's subclient is skipped; one of this index that cannot be answered refuses all.
            TIndexSubclient held;
            if (!index.subclient(static_cast<int>(s.getint64(S::appId)), held)) continue;
            why = partWhy;
            return false;
        }
        // The request names no cycles of its own (its index database holds them): a range reads every
        // cycle of the subclient within it, a point in time the one holding it.
        if (part.range)
            for (TIndexBrowseQuery& ask : part.queries) ask.query.cycles.clear();
        // A second subclient's queries page with the first's: a page is one of the whole answer.
        if (planned || part.pagedAcross) plan.pagedAcross = true;
        if (!planned) {
            plan.range = part.range;
            plan.modifiedAtOrBefore = part.modifiedAtOrBefore;
            plan.backedUpAtOrBefore = part.backedUpAtOrBefore;
            plan.deletedBefore = part.deletedBefore;
        }
        planned = true;
        plan.queries.insert(plan.queries.end(), part.queries.begin(), part.queries.end());
    }
    if (!planned) why = "no subclient of index database [" + dbName + "] in this index";
    return planned;
}

bool sendV2BrowseAnswer(databrowse::BrowseRequest& request, const std::string& indexPath, uint32_t batchSize,
                        std::string& outcome, CZyNetwork* caller) {
    TIndexBrowsePlan plan;
    std::string why;
    TItemIndexLease index = lendItemIndex(indexPath, why);
    const bool planned = index && planV2Browse(request, *index, plan, why);
    if (!planned) routeOf(request, plan);
    return deliverIndexBrowseAnswer(plan, planned ? index.get() : nullptr, why, batchSize, outcome, caller);
}

bool sendPredictionConversions(databrowse::BrowseRequest& request, const std::string& indexPath,
                               std::string& outcome) {
    constexpr int kSeconds = 30;
    TIndexBrowsePlan route;
    routeOf(request, route);
    std::string why;
    TItemIndexLease index = lendItemIndex(indexPath, why);
    if (!index) {
        outcome = "no index: " + why;
        return false;
    }
    CNMessageBase* chosen = chosenOf(request);
    const CNMessageBase* db =
        chosen ? chosen->getObjectAccessor(databrowse::IndexDBInfo::f::indexDb, false) : nullptr;
    const CNMessageBase* times = request.getObjectAccessor(databrowse::BrowseRequest::f::timeRange, false);
    const int64_t toTime = times ? times->getint64(databrowse::BrowseTimeRange::f::toTime) : 0;
    std::vector<CNMessageBase> media;
    for (CNMessageBase& s :
         listOr(chosen ? chosen->getlistobject(databrowse::IndexDBInfo::f::subclients, false) : nullptr)) {
        TIndexSubclient held;
        std::vector<TIndexArchiveFile> files;
        const int appId = static_cast<int>(s.getint64(S::appId));
        if (!index->subclient(appId, held) || !index->archiveFiles(appId, 0, toTime, {}, files)) continue;
        for (const TIndexArchiveFile& f : files) {
            databrowse::LogicalMedia logical;
            ZyEntities::KelmarchEntity kelmarch;
            kelmarch.setint64(ZyEntities::KelmarchEntity::f::kelmarchId, f.kelmarchId);
            logical.setObjectAccessor(kelmarch, databrowse::LogicalMedia::f::kelmarch);
            logical.setint64(databrowse::LogicalMedia::f::flags,
                             f.fileType == 1 || f.fileType == 4 ? 0x8 : 0x2);
            logical.setint64(databrowse::LogicalMedia::f::archFileId, f.id);
            logical.setint64(databrowse::LogicalMedia::f::size, f.size);
            media.push_back(std::move(logical));
        }
    }
    databrowse::MediaPredictionConvReq single;
    std::vector<CNMessageBase> data;
    for (const CNMessageBase& m : media) {
        databrowse::PredictionData prediction;
        prediction.setObjectAccessor(m, databrowse::PredictionData::f::logicalMedia);
        data.push_back(std::move(prediction));
    }
    single.setlistobject(databrowse::MediaPredictionConvReq::f::predictionData, data);
    single.setint64(databrowse::MediaPredictionConvReq::f::lookUpIndexFiles, 0);
    if (chosen)
        single.setstring(databrowse::MediaPredictionConvReq::f::backupSetGUID,
                         chosen->getstring(databrowse::IndexDBInfo::f::backupSetGUID));
    if (db)
        single.setstring(databrowse::MediaPredictionConvReq::f::indexDbName,
                         db->getstring(databrowse::Msg87::f::dbName));
    Indexing::PredictionConversionReq one;
    one.setint64(Indexing::PredictionConversionReq::f::requestOffset, 0);
    one.setlistobject(Indexing::PredictionConversionReq::f::logicalMedia, media);
    Indexing::PredictionConversionReqList list;
    list.setint64(Indexing::PredictionConversionReqList::f::copyPrecedence, 0);
    list.setlistobject(Indexing::PredictionConversionReqList::f::requests, {one});

    CRouterSession session;
    std::string error;
    if (!session.open(route.hubmasterHost, route.routerName, error)) {
        outcome = "failed: " + error;
        return false;
    }
    CZyNetwork& out = session.session();
    bool timedOut = false;
    outcome = "media=" + std::to_string(media.size());
    bool answered = true;
    for (CNMessageBase* ask : {static_cast<CNMessageBase*>(&single), static_cast<CNMessageBase*>(&list)}) {
        CNMessageBase* reply = nullptr;
        if (out.SendXMLMessage(*ask, 0, kSeconds, timedOut).IsError() ||
            out.ReceiveXMLMessage(nullptr, reply, nullptr, 0, kSeconds, timedOut).IsError() || !reply) {
            outcome += " " + std::string(ask->className()) + "=no reply";
            answered = false;
            session.discard("a media conversion got no reply, which may still arrive on it");
            break;
        }
        std::unique_ptr<CNMessageBase> owned(reply);
        size_t physical = 0;
        if (owned->getTagID() == databrowse::MediaPredictionConvResp::TAG)
            physical =
                listOr(owned->getlistobject(databrowse::MediaPredictionConvResp::f::predictionData, false))
                    .size();
        if (owned->getTagID() == Indexing::PredictionConversionRespList::TAG)
            for (CNMessageBase& r :
                 listOr(owned->getlistobject(Indexing::PredictionConversionRespList::f::responses, false)))
                physical +=
                    listOr(r.getlistobject(Indexing::PredictionConversionResp::f::physicalMedia, false))
                        .size();
        outcome +=
            " " + std::string(ask->className()) + "=" + owned->className() + ":" + std::to_string(physical);
    }
    return answered;
}

}  // namespace mediaagent
