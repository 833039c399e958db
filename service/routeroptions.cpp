#include "service/routeroptions.h"

#include "Db/Tbl/archGroup.h"
#include "fbDebug/fbdebug.h"
#include "framework/filesystemtypes.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/entities/apptypes.h"
#include "platform/errors/evevent.h"
#include "platform/errors/evmessageids.h"
#include "platform/indexing/indexingversion.h"
#include "platform/tasks/erasebookings.h"
#include "platform/tasks/taskoptions.h"
#include "service/directtaskprep.h"
#include "service/routerfields.h"

namespace {

using namespace routerfields;
using E = ZyEntities::GenericEntity::f;
using R = databrowse::BrowseRequest::f;

constexpr const char* kTag = "FBHMROUTER";
constexpr size_t kMessageBufferSize = 4104;
constexpr int64_t kCriterionAttribute = 30;

// Options-record element by number: the catalogue names them at<n>_<n>.
#define OPT(n) EOptionSource::kOptions, n

constexpr TOptionRow kRows[] = {
    {EOptionSource::kSelection, 18, 0, 111, 0},
    {EOptionSource::kSelectionNasMount, 10, 0, 110, 0},
    {OPT(1), 0, -1, 0x10},
    {OPT(2), 0, -1, 0x8000000000ULL},
    {OPT(6), 0, 81, 0},
    {OPT(9), 0, 86, 0},
    {OPT(10), 0, 88, 0},
    {OPT(47), 0, 108, 0},
    {OPT(11), 0, 90, 0},
    {OPT(22), 0, 99, 0},
    {OPT(13), 0, 91, 0},
    {OPT(8), 0, 80, 0},
    {OPT(7), 0, -1, taskoption::kExactBrowse},
    {OPT(16), 0, 92, 0},
    {OPT(18), 2, 93, 0},
    {OPT(18), 1, 94, 0},
    {OPT(20), 0, 95, 0},
    {OPT(25), 0, 100, 0},
    {OPT(26), 0, 101, 0},
    {OPT(24), 0, 98, 0},
    {OPT(27), 0, 102, 0},
    {OPT(35), 0, 103, 0},
    {OPT(41), 0, 104, 0},
    {OPT(70), 0, 112, 0},
    {EOptionSource::kSelection, 14, 1, 106, 0},
    {EOptionSource::kSelection, 14, 2, 107, 0},
};
#undef OPT

// The field of element `n` of the options record: every element the rows name is in the catalogue.
const MsgFieldRef* optionField(int n) {
    using O = databrowse::BrowseOptions::f;
    static const struct {
        int n;
        const MsgFieldRef* f;
    } fields[] = {{1, &O::at1_1},    {2, &O::at2_2},      {3, &O::at3_3},    {4, &O::at4_4},
                  {5, &O::at5_5},    {6, &O::at6_6},      {7, &O::at7_7},    {8, &O::at8_8},
                  {9, &O::at9_9},    {10, &O::at10_10},   {11, &O::at11_11}, {12, &O::at12_12},
                  {13, &O::at13_13}, {16, &O::at16_16},   {17, &O::at17_17}, {18, &O::at18_18},
                  {20, &O::at20_20}, {21, &O::at21_21},   {22, &O::at22_22}, {24, &O::at24_24},
                  {25, &O::at25_25}, {26, &O::at26_26},   {27, &O::at27_27}, {35, &O::at35_35},
                  {41, &O::at41_41}, {47, &O::tableView}, {70, &O::at70_70}};
    for (const auto& entry : fields)
        if (entry.n == n) return entry.f;
    return nullptr;
}

// The record a row reads and the field in it; null record when absent.
const CNMessageBase* rowSource(const TDirectTask& t, const TOptionRow& row, const MsgFieldRef*& field) {
    using S = databrowse::BrowseAdvancedConfig::f;
    switch (row.source) {
        case EOptionSource::kOptions:
            field = optionField(row.element);
            return options(t.request);
        case EOptionSource::kSelection:
            field = row.element == 18 ? &S::at18_18 : &S::forceProtocol;
            return selectionBlock(t.request);
        case EOptionSource::kSelectionNasMount:
            field = &databrowse::Msg35::f::at10_10;
            return child(child(selectionBlock(t.request), S::at5_5), databrowse::Msg38::f::at3_3);
    }
    return nullptr;
}

// Positions 60, 61, 59 and 96: one of them whenever the options record is present.
void applyFromTimeChoice(TDirectTask& t) {
    using O = databrowse::BrowseOptions::f;
    const CNMessageBase* o = options(t.request);
    if (!o) return;
    int position = 60;
    if (intOf(o, O::at5_5) != 0)
        position = 60;
    else if (intOf(o, O::at4_4) != 0)
        position = 61;
    else if (intOf(o, O::at3_3) != 0)
        position = 59;
    else if (intOf(o, O::at21_21) != 0)
        position = 96;
    t.setOption(position);
}

// Position 113: some query holds a criterion on attribute 30.
bool queriesNameCriterion(const TDirectTask& t) {
    auto* queries = const_cast<databrowse::BrowseRequest&>(t.request).getlistobject(R::queries, false);
    if (!queries) return false;
    for (CNMessageBase& query : *queries) {
        auto* criteria = query.getlistobject(databrowse::Query::f::criteriaList, false);
        if (!criteria) continue;
        for (CNMessageBase& criterion : *criteria)
            if (intOf(child(&criterion, databrowse::Criteria::f::criteria),
                      databrowse::FilteredBrowseCriteriaValue::f::attribute) == kCriterionAttribute)
                return true;
    }
    return false;
}

}  // namespace

const TOptionRow* requestOptionRows(size_t& count) {
    count = std::size(kRows);
    return kRows;
}

bool checkOperationRange(const TDirectTask& t, std::string& errorText) {
    if (!has(&t.request, R::opType)) return true;
    const int64_t op = t.request.getint64(R::opType);
    if (op >= 0 && op <= databrowse::BROWSE_OP_LAST) return true;
    CBrowseLog(kTag).debugLvl(0, "Unsupported Browse operation [%lld]", static_cast<long long>(op));
    errorText = "Unsupported Browse operation [" + std::to_string(op) + "]";
    return false;
}

void applyRequestOptions(TDirectTask& t) {
    CBrowseLog log(kTag);
    using O = databrowse::BrowseOptions::f;
    for (const TOptionRow& row : kRows) {
        const MsgFieldRef* field = nullptr;
        const CNMessageBase* source = rowSource(t, row, field);
        if (!source || !field || !has(source, *field)) continue;
        const int64_t value = source->getint64(*field);
        if (row.equals == 0 ? value == 0 : value != row.equals) continue;
        if (row.position >= 0) t.setOption(row.position);
        t.browseFlags |= row.flags;
        if (row.position == 106)
            log.debugLvl(
                0, "Browse will use backward compatibility version according to the options set by caller");
        if (row.position == 107)
            log.debugLvl(0, "Browse will use latest version according to the options set by caller");
    }
    applyFromTimeChoice(t);
    const CNMessageBase* o = options(t.request);
    if (intOf(o, O::at12_12) != 0 && intOf(o, O::at10_10) != 0 &&
        apptype::of(intOf(entity(t.request), E::applicationId)) == apptype::kNas)
        t.setOption(87);
    if (intOf(o, O::at17_17) != 0) t.task->setPreferContentServer(true);
    if (queriesNameCriterion(t)) t.setOption(113);
}

bool isGatedErase(const TDirectTask& t) {
    if (!has(&t.request, R::opType)) return false;
    const int64_t op = t.request.getint64(R::opType);
    return op == 7 || op == 8 || op == 9;
}

void keepEntityForEraseGate(TDirectTask& t, const databrowse::BrowseRequest& received) {
    if (!isGatedErase(t)) return;
    const CNMessageBase* e = entity(t.request);
    if (!e) return;
    ZyEntities::GenericEntity sent;
    copyFieldsByCode(*e, sent);
    // The names' resolution finds a subclient's client too; the gate asks whether the caller named one
    // (its refusal still names the client found, for the caller's sake).
    const CNMessageBase* asked = entity(received);
    if (!has(asked, E::clientId) && !has(asked, E::clientName))
        sent.clearField(E::clientId.tag, E::clientId.code);
    t.sentEntity = std::move(sent);
}

bool checkEraseGate(TDirectTask& t, std::string& errorText) {
    CBrowseLog log(kTag);
    t.useIndexingV2 = false;
    if (!isGatedErase(t)) return true;
    const int64_t op = t.request.getint64(R::opType);
    // An erase names a bounded number of well-formed paths; anything else is refused whole.
    if (auto* paths = t.request.getlistobject(R::paths, false)) {
        if (paths->size() > CEraseBookings::kMaxPaths) {
            errorText = "An erase names at most " + std::to_string(CEraseBookings::kMaxPaths) + " paths";
            log.debugLvl(0, "%s; [%zu] given", errorText.c_str(), paths->size());
            return false;
        }
        for (const CNMessageBase& path : *paths) {
            const std::string text = path.getstring(databrowse::BrowsePath::f::path);
            const std::string problem = CEraseBookings::pathProblem(text);
            if (problem.empty()) continue;
            errorText = "The erase cannot take a path: " + problem;
            log.debugLvl(0, "%s", errorText.c_str());
            return false;
        }
    }
    const CNMessageBase* e = t.sentEntity ? &*t.sentEntity : nullptr;
    const apptype::EAppType appType = apptype::of(static_cast<int>(intOf(e, E::applicationId)));

    bool allowed =
        isFileSystemAppType(appType) || appType == apptype::kOneDrive || appType == apptype::kExchangeMailbox;
    if (!allowed) {
        int enabled = 0;
        allowed = ZYPlatformInfo::getRegInt("~Hubmaster", "nENABLEERASEFORAPPTYPE", &enabled) &&
                  apptype::of(enabled) == appType;
    }
    if (allowed && !has(e, E::clientId)) {
        log.debugLvl(-1, "Client ID is not set. Failing the end user erase operation.");
        allowed = false;
    } else if (allowed) {
        const int clientId = static_cast<int>(intOf(e, E::clientId));
        const auto backupSetId = static_cast<unsigned long>(intOf(e, E::backupsetId));
        unsigned long indexAppType = 0;
        // The platform answers non-zero when it could tell.
        if (I2::Utils::shouldUseIndexingV2ByAppType(static_cast<unsigned long>(clientId), backupSetId,
                                                    apptype::code(appType), t.useIndexingV2, indexAppType,
                                                    0) == 0) {
            log.debugLvl(
                -1, "Failed to fetch indexing v2 status for client id [%d]. Failing end user erase operation",
                clientId);
            allowed = false;
        }
        if (!t.useIndexingV2) {
            ArchGroup policy(nullptr);
            policy.setIsolationType(4);
            policy.setWhere(
                "id in (select dataArchGrpID from APP_Application where clientId=%d and subclientStatus=536 "
                "and "
                "appTypeId=%ld)",
                clientId, apptype::code(appType));
            const int rc = policy.getOneRow(&policy, false, -1, 0);
            if (rc == 0 && policy.getDataPtr()->defaultCopy == 0) {
                log.debugLvl(
                    -1,
                    "Filter storage policy is not set on the client. Failing the end user erase operation.");
                allowed = false;
            } else if (rc != 0 && rc != 100) {
                // Only "no row" lets an erase through; a failed read cannot vouch for the policy.
                log.debugLvl(
                    -1,
                    "Filter storage policy of client [%d] cannot be read (error %d). Failing the end user "
                    "erase operation.",
                    clientId, rc);
                allowed = false;
            }
        }
    }
    if (allowed) return true;
    log.debugLvl(0, "Operation [%lld] is not supported for application type [%ld]",
                 static_cast<long long>(op), apptype::code(appType));
    const std::string clientName = textOf(e, E::clientName);
    EvEvent event;
    event << clientName.c_str();
    char text[kMessageBufferSize] = {};
    event.evPrintf(evmsg::kOperationNotSupported, text, kMessageBufferSize - 1, 0);
    errorText = text;
    return false;
}
