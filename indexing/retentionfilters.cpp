// Browse by retention: the subclient's retention rules, the cut-off of reference-copy subclients and the
// Exchange retention tags and legal-hold mailboxes, as browse filters for the media agent. Members of
// CWorkerThreadHM, run under the worker's lock by the thread that holds it.
#include <ctime>

#include "Db/Tbl/DM2DocTagsValues.h"
#include "fbDebug/fbdebug.h"
#include "indexing/superbrowserequest.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/zymanagedbforjm.h"
#include "platform/indexing/indexingversion.h"
#include "platform/msg/app_execute_sp.h"
#include "platform/msg/criteriaoperators.h"
#include "platform/threads/hubclock.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

const char* const kTag = "FBHMWORKER";
constexpr const char* kExchangeTagContainer = "26A29909-9168-405C-B989-92A8EE243D35";
constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kOperatorEquals = 10;
constexpr int64_t kAttributeItemState = 64;

using Resp = App::GetSubClientRetentionPropsResp;

// One rule of the retention reply: the filter attribute and where its value comes from.
struct TRetentionFilterRule {
    int64_t attribute;
    MsgFieldRef field;
    enum { Number, Switch, Low32 } form;
};

const TRetentionFilterRule kRetentionRules[] = {
    {99, Resp::f::keepDeletedItems, TRetentionFilterRule::Switch},
    {97, Resp::f::isBackupMode, TRetentionFilterRule::Switch},
    {62, Resp::f::itemDeletionTimeCutOff, TRetentionFilterRule::Number},
    {98, Resp::f::isArchiveMode, TRetentionFilterRule::Switch},
    {74, Resp::f::archivalTimeCutOff, TRetentionFilterRule::Number},
    {63, Resp::f::SystemDeletionTimeCutOff, TRetentionFilterRule::Number},
    {95, Resp::f::numVersionsModifiedDays, TRetentionFilterRule::Low32},
    {96, Resp::f::numVersionsModifiedTimeCutOff, TRetentionFilterRule::Number},
    {69, Resp::f::numVersions, TRetentionFilterRule::Low32},
    {121, Resp::f::at19_19, TRetentionFilterRule::Low32},
    {122, Resp::f::at20_20, TRetentionFilterRule::Low32},
    {123, Resp::f::at21_21, TRetentionFilterRule::Low32},
};

std::string decimal(uint64_t value) {
    return std::to_string(value);
}

// The job id that leads a cloud-laptop session GUID ("<job>_..."); 0 without one.
unsigned long leadingJobId(const std::string& sessionGuid) {
    const size_t underscore = sessionGuid.find('_');
    if (underscore == std::string::npos) return 0;
    return std::strtoul(sessionGuid.substr(0, underscore).c_str(), nullptr, 10);
}

}  // namespace

databrowse::Criteria makeBrowseCriteria(int64_t flag, int64_t attribute, int64_t op,
                                        const std::string& value) {
    databrowse::FilteredBrowseCriteriaValue criteria;
    criteria.setint64(databrowse::FilteredBrowseCriteriaValue::f::attribute, attribute);
    criteria.setint64(databrowse::FilteredBrowseCriteriaValue::f::criteriaOperator, op);
    criteria.setliststring(databrowse::FilteredBrowseCriteriaValue::f::values, {value});
    databrowse::Criteria filter;
    filter.setint64(databrowse::Criteria::f::c_79f44d, flag);
    filter.setObjectAccessor(criteria, databrowse::Criteria::f::criteria);
    return filter;
}

std::vector<databrowse::Criteria> CWorkerThreadHM::getRefCopyFilters(int appId, bool /*isV2*/) {
    CBrowseLog log(kTag);
    Subclient subclient(static_cast<unsigned long>(appId));
    bool referenceCopy = false;
    if (subclient.isReferenceCopySubclient(referenceCopy) != 0 || !referenceCopy) return {};
    int days = 0;
    if (subclient.getItemPastExpiryDays(days) != 0 || days < 1) {
        log.debugLvl(3, "retention setting for reference copy subclient [%d] is not configured", appId);
        return {};
    }
    int type = 0;
    if (subclient.getItemPastExpiryDaysType(type) != 0 || type < 1) return {};
    const int64_t cutOff =
        static_cast<int64_t>(CHubClock::real().epochSeconds()) - static_cast<int64_t>(days) * kSecondsPerDay;
    const int64_t attribute = type == 1 ? 1 : type == 2 ? 73 : 0;
    databrowse::Criteria filter =
        makeBrowseCriteria(1, attribute, criteriaop::kAtOrBefore, decimal(static_cast<uint64_t>(cutOff)));
    // Only the two day kinds name an attribute; a filter of another kind goes without one.
    if (attribute == 0) {
        CNMessageBase* value = filter.getObjectAccessor(databrowse::Criteria::f::criteria, false);
        value->clearField(value->getTagID(), databrowse::FilteredBrowseCriteriaValue::f::attribute.code);
    }
    return {filter};
}

std::vector<databrowse::Criteria> CWorkerThreadHM::getRetentionFilters(int appId, bool isV2) {
    CBrowseLog log(kTag);
    App::GetSubClientRetentionPropsReq request;
    using Req = App::GetSubClientRetentionPropsReq;
    request.setint64(Req::f::subclientId, appId);
    request.setint64(Req::f::isIndexingV2, isV2 ? 1 : 0);
    int64_t inputTime = m_inputData.toTime;
    bool cloudLaptop = false;
    if (isV2 && !m_backupSetGuid.empty() &&
        !I2::Utils::HubmasterCallHelper::Instance(false)
             ->isCloudLaptopBackupSet(m_backupSetGuid, cloudLaptop)
             .IsError() &&
        cloudLaptop) {
        CNMessageBase* session =
            m_browseRequest.isSet(databrowse::BrowseRequest::f::session)
                ? m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::session, false)
                : nullptr;
        const unsigned long jobId = leadingJobId(
            session ? session->getstring(databrowse::BrowseSession::f::sessionId) : std::string());
        long start = 0;
        if (jobId != 0 &&
            ZYManageDBForJM::getJobStartTime(jobId, start, ZYManageDBForJM::getDefaultKelmarchID())) {
            inputTime = start;
            log.debugLvl(0, "Cloud laptop Retention criteria input job start time set to [%lu] ",
                         static_cast<unsigned long>(start));
        }
    }
    request.setint64(Req::f::cutOffInputTime, inputTime);

    std::string requestXml;
    if (request.serialize(requestXml) != 0) {
        log.debugLvl(-1, "Failed to serialize 'GetSubClientRetentionPropsReq' request message.");
        return {};
    }
    log.debugLvl(1, "Input of SP [%s]", requestXml.c_str());
    std::string responseXml;
    App_ExecuteSP procedure;
    if (procedure.executeStoredProcedure(Req::TAG, requestXml, responseXml, nullptr) != 0) {
        log.debugLvl(-1,
                     "Failed to execute the stored procedure. Retention Properties could not be retrieved.");
        return {};
    }
    Resp reply;
    if (reply.unserialize(responseXml) != 0)
        log.debugLvl(-1, "Failed to unserialize 'GetSubClientRetentionPropsResp' response message.");
    log.debugLvl(1, "Output of SP [%s]", responseXml.c_str());
    auto value = [&reply](const MsgFieldRef& f) { return static_cast<unsigned long>(reply.getint64(f)); };
    log.debugLvl(0,
                 "CUTOFF: itemDeletionTimeCutOff=[%lu] , archivalTimeCutOff=[%lu], "
                 "numVersionsModifiedTimeCutOff=[%lu]",
                 value(Resp::f::itemDeletionTimeCutOff), value(Resp::f::archivalTimeCutOff),
                 value(Resp::f::numVersionsModifiedTimeCutOff));
    if (!isV2) log.debugLvl(0, "SystemDeletionTimeCutOff=[%lu]", value(Resp::f::SystemDeletionTimeCutOff));
    log.debugLvl(0, "numVersions= [%lu], isArchiveMode=[%lu], isBackupMode=[%lu]",
                 value(Resp::f::numVersions), value(Resp::f::isArchiveMode) != 0 ? 1UL : 0UL,
                 value(Resp::f::isBackupMode) != 0 ? 1UL : 0UL);

    std::vector<databrowse::Criteria> filters;
    filters.reserve(std::size(kRetentionRules) + 1);
    for (const TRetentionFilterRule& rule : kRetentionRules) {
        const int64_t raw = reply.getint64(rule.field);
        uint64_t v = static_cast<uint64_t>(raw);
        if (rule.form == TRetentionFilterRule::Switch) v = raw != 0 ? 1 : 0;
        if (rule.form == TRetentionFilterRule::Low32) v = static_cast<uint32_t>(raw);
        filters.push_back(makeBrowseCriteria(1, rule.attribute, criteriaop::kAtOrBefore, decimal(v)));
    }
    filters.push_back(makeBrowseCriteria(0, kAttributeItemState, kOperatorEquals, "deleted"));
    return filters;
}

databrowse::GranularRetentionRules CWorkerThreadHM::getExchangeRetentionTags() {
    databrowse::GranularRetentionRules rules;
    DM2DocTagsValues tags(nullptr);
    tags.setWhere("containerGuid = '%s' ", kExchangeTagContainer);
    std::vector<CNMessageBase> list;
    int count = 0;
    while (tags.getNextRow(&tags, &count, -1, 0) == 0) {
        const DM2DocTagsValues_t* row = tags.getDataPtr();
        databrowse::RetentionCriteriaTags tag;
        tag.setstring(databrowse::RetentionCriteriaTags::f::tagId, row->TagID);
        tag.setint64(databrowse::RetentionCriteriaTags::f::tagValue, row->TagValue);
        list.push_back(std::move(tag));
    }
    rules.setlistobject(databrowse::GranularRetentionRules::f::at2_2, list);
    return rules;
}

std::string CWorkerThreadHM::getExchangeLegalHoldMailboxes() {
    return std::string("\\MB\\") + "\\**";
}
