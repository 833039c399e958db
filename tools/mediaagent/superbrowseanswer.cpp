#include "tools/mediaagent/superbrowseanswer.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "platform/log/evdebug.h"
#include "platform/msg/criteriaoperators.h"
#include "platform/msg/errorresponse.h"
#include "platform/msg/xml_codec.h"
#include "platform/net/zynet_log.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynet_xml.h"
#include "platform/net/zynetwork.h"
#include "platform/net/zynetwork_pool.h"
#include "tools/mediaagent/answerstops.h"
#include "tools/mediaagent/progress.h"
#include "tools/mediaagent/vmanswers.h"

namespace mediaagent {

namespace {

using R = Indexing::BrowseReq::f;
constexpr uint64_t kOptionMediaPrediction = 1ULL << 38;
constexpr int64_t kErrorIndex = 11;
constexpr int64_t kNoTime = 0x7fffffff;
// Criteria the index applies: (attribute, operator) of the reference-copy and retention filters.
constexpr int64_t kAttributeModified = 1;
constexpr int64_t kAttributeBackedUp = 73;
// An end user's confinement: a path pattern (the subtree before its wildcard tail), and the owner of
// the data by directory object id or mailbox GUID.
constexpr int64_t kAttributePath = 1;
constexpr int64_t kOperatorPathMatches = 5;
constexpr int64_t kAttributeObjectOwner = 20;
constexpr int64_t kAttributeMailboxOwner = 124;
constexpr int64_t kOperatorIs = 0;
constexpr const char* kWildcardTail = "\\**\\*";

int64_t number(const std::string& text) {
    return std::strtoll(text.c_str(), nullptr, 10);
}

// The single value of a criterion with `attribute` and `op` in the query's criteria or the cycles'
// retention sub-queries; false when there is none.
struct TCriterion {
    int64_t attribute = 0;
    int64_t op = 0;
    std::string value;
};

void readCriteria(CNMessageBase& query, std::vector<TCriterion>& out) {
    auto* criteria = query.getlistobject(databrowse::Query::f::criteriaList, false);
    for (size_t n = 0; criteria && n < criteria->size(); ++n) {
        CNMessageBase* v = (*criteria)[n].getObjectAccessor(databrowse::Criteria::f::criteria, false);
        auto* values =
            v ? v->getliststring(databrowse::FilteredBrowseCriteriaValue::f::values, false) : nullptr;
        if (!v || !values || values->size() != 1) continue;
        out.push_back({v->getint64(databrowse::FilteredBrowseCriteriaValue::f::attribute),
                       v->getint64(databrowse::FilteredBrowseCriteriaValue::f::criteriaOperator),
                       values->front()});
    }
}

// The subtree a path pattern confines to: the pattern up to its wildcard tail, which is the only
// wildcard the index can apply. False for any other pattern.
bool subtreeOf(const std::string& pattern, std::string& subtree) {
    const std::string tail = kWildcardTail;
    if (pattern.size() < tail.size() || pattern.compare(pattern.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    subtree = pattern.substr(0, pattern.size() - tail.size());
    return !subtree.empty() && subtree.find_first_of("*?[") == std::string::npos;
}

// The first criterion this index cannot apply, or null. `under` names the VM of a hypervisor's index the
// query reads (empty: none); VM criteria keep such a query to the VMs they name.
const TCriterion* applyCriteria(const std::vector<TCriterion>& criteria, TIndexBrowsePlan& plan,
                                TBrowseQuery& query, CItemIndex& index, const std::string& under = {}) {
    std::set<std::string> vms;
    for (const TCriterion& c : criteria) {
        if (c.attribute != criteriaattr::kVirtualMachine) continue;
        if (c.op != criteriaop::kOfVirtualMachine || under.empty()) return &c;
        vms.insert(vmGuidOf(c.value));
    }
    if (!vms.empty() && !vms.count(vmGuidOf(under))) confineQuery(query, {});
    for (const TCriterion& c : criteria) {
        if (c.attribute == criteriaattr::kVirtualMachine) continue;  // applied above
        std::string subtree;
        std::vector<std::string> owned;
        std::string current;
        if (c.attribute == kAttributePath && c.op == kOperatorPathMatches && subtreeOf(c.value, subtree) &&
            index.currentLayoutPath(query.appId, subtree, current))
            confineQuery(query, {current});
        else if ((c.attribute == kAttributeObjectOwner || c.attribute == kAttributeMailboxOwner) &&
                 c.op == kOperatorIs && !c.value.empty() && index.ownedPaths(query.appId, c.value, owned))
            confineQuery(query, owned);
        else if (c.attribute == criteriaattr::kName && c.op != criteriaop::kAtOrBefore)
            query.nameFilter = c.value;
        else if (c.attribute == kAttributeModified && c.op == criteriaop::kAtOrBefore)
            plan.modifiedAtOrBefore = number(c.value);
        else if (c.attribute == kAttributeBackedUp && c.op == criteriaop::kAtOrBefore)
            plan.backedUpAtOrBefore = number(c.value);
        else if (c.attribute == criteriaattr::kDeletionTime && c.op == criteriaop::kAtOrBefore)
            plan.deletedBefore = number(c.value);
        else
            return &c;
    }
    return nullptr;
}

databrowse::BrowseResponse response(const TIndexBrowsePlan& plan, int64_t type) {
    databrowse::BrowseResponse r;
    r.setint64(databrowse::BrowseResponse::f::respType, type);
    r.setstring(databrowse::BrowseResponse::f::workerId, plan.workerId);
    r.getObjectAccessor(databrowse::BrowseResponse::f::session, true)
        ->setstring(databrowse::BrowseSession::f::sessionId, plan.session);
    return r;
}

databrowse::BrowseResponse errorResponse(const TIndexBrowsePlan& plan, const std::string& text) {
    databrowse::BrowseResponse r = errorresponse::of(kErrorIndex, text);
    r.setstring(databrowse::BrowseResponse::f::workerId, plan.workerId);
    r.getObjectAccessor(databrowse::BrowseResponse::f::session, true)
        ->setstring(databrowse::BrowseSession::f::sessionId, plan.session);
    return r;
}

// An item's values, as its message holds them.
struct TItemValues {
    const std::string& name;
    const std::string& path;
    int64_t file, directory;
    bool deleted;
    int64_t size, modificationTime, version, backupTime, archiveFileId, offset, subclientId;
};

// An item, built where it is kept: each child is made in place in its parent rather than copied in.
void addItemValues(std::vector<CNMessageBase>& items, const TItemValues& v) {
    using D = databrowse::BrowseData::f;
    using A = databrowse::Msg93::f;
    using F = databrowse::BrowseItemFlags::f;
    constexpr size_t kItemFields = 8;
    constexpr size_t kAdvancedFields = 4;
    constexpr size_t kFlagFields = 3;
    CNMessageBase& data = items.emplace_back(databrowse::BrowseData());
    data.reserveFields(kItemFields);
    CNMessageBase* flags = data.getObjectAccessor(D::flags, true);
    flags->reserveFields(kFlagFields);
    flags->setint64(F::file, v.file);
    flags->setint64(F::directory, v.directory);
    if (v.deleted) flags->setint64(F::deleted, 1);
    data.setstring(D::name, v.name);
    data.setstring(D::displayName, v.name);
    data.setstring(D::path, v.path);
    data.setint64(D::size, v.size);
    data.setint64(D::modificationTime, v.modificationTime);
    data.setint64(D::version, v.version);
    CNMessageBase* advanced = data.getObjectAccessor(D::advancedData, true);
    advanced->reserveFields(kAdvancedFields);
    advanced->setint64(A::backupTime, v.backupTime);
    advanced->setint64(A::archiveFileId, v.archiveFileId);
    advanced->setint64(A::offset, v.offset);
    advanced->getObjectAccessor(A::subclientEntity, true)
        ->setint64(ZyEntities::Msg10::f::subclientId, v.subclientId);
}

// The item's path in the answer: its own (not a copy made per item), or below the VM it was read for.
const std::string& answeredPath(const TItemVersion& v, const std::string& under, std::string& room) {
    if (under.empty()) return v.path;
    room = underVm(under, v.path);
    return room;
}

TItemValues valuesOf(const TItemVersion& v, const std::string& path) {
    return {v.name,
            path,
            v.directory() ? 0 : 1,
            v.directory() ? 1 : 0,
            v.deleted(),
            v.size,
            v.modificationTime,
            v.version,
            v.backupTime,
            v.archiveFileId,
            v.offset,
            v.appId};
}

void addItem(std::vector<CNMessageBase>& items, const TItemVersion& v, const std::string& under) {
    std::string room;
    addItemValues(items, valuesOf(v, answeredPath(v, under, room)));
}

// Whether a version passes the request's cut-offs.
bool kept(const TIndexBrowsePlan& plan, const TItemVersion& v) {
    if (plan.modifiedAtOrBefore > 0 && v.modificationTime > plan.modifiedAtOrBefore) return false;
    if (plan.backedUpAtOrBefore > 0 && v.backupTime > plan.backedUpAtOrBefore) return false;
    if (plan.deletedBefore > 0 && v.deleted() && v.backupTime < plan.deletedBefore) return false;
    return true;
}

bool hasCutOffs(const TIndexBrowsePlan& plan) {
    return plan.modifiedAtOrBefore > 0 || plan.backedUpAtOrBefore > 0 || plan.deletedBefore > 0;
}

// A response of the items of [begin, end) that pass the cut-offs, for the query `queryId`.
databrowse::BrowseResponse itemsResponse(const TIndexBrowsePlan& plan, const TIndexBrowseQuery& ask,
                                         const TItemVersion* begin, const TItemVersion* end) {
    const std::string& queryId = ask.queryId;
    databrowse::BrowseResponse r = response(plan, databrowse::BROWSE_RESP_ITEMS);
    CNMessageBase* result = r.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, true);
    if (!queryId.empty()) result->setstring(databrowse::BrowseResult::f::queryId, queryId);
    std::vector<CNMessageBase>& items =
        *result->getlistobject(databrowse::BrowseResult::f::dataResultSet, true);
    items.reserve(static_cast<size_t>(end - begin));
    const bool cut = hasCutOffs(plan);
    for (const TItemVersion* v = begin; v != end; ++v)
        if (!cut || kept(plan, *v)) addItem(items, *v, ask.under);
    return r;
}

// Where the items of a response of items go in its text written with an empty item list: before the
// closing tags of its result and of the response (the result is the response's last object, the list
// the result's last field). npos when the text has no such end.
size_t itemsAt(std::string_view xml) {
    const size_t last = xml.rfind("</");
    return last == std::string_view::npos || last == 0 ? std::string_view::npos : xml.rfind("</", last - 1);
}

// An item's text as the encoder writes it in a response, cut at its values: written again with each
// item's values it is what the encoder writes for that item built, byte for byte. Learnt once from the
// encoder's own text of a sample item whose values are markers, and checked against it.
class CItemTemplate {
public:
    enum ESlot : int {
        kName,
        kPath,
        kFile,
        kDirectory,
        kSize,
        kModified,
        kVersion,
        kBackupTime,
        kArchiveFile,
        kOffset,
        kSubclient,
        kSlots
    };
    struct TPiece {
        std::string literal;
        int slot = -1;  // the value after the literal (-1: none, the last piece)
    };

    static const CItemTemplate& of(bool deleted) {
        static const CItemTemplate live(false), gone(true);
        return deleted ? gone : live;
    }
    bool usable() const { return m_usable; }

    // Appends the item's text; false on a value the encoder cannot write either (a NUL byte).
    bool write(std::string& out, const TItemValues& v) const {
        for (const TPiece& p : m_pieces) {
            out.append(p.literal);
            if (p.slot < 0) continue;
            if (p.slot == kName || p.slot == kPath) {
                if (!msgAppendXmlEscaped(out, p.slot == kName ? v.name : v.path, true)) return false;
                continue;
            }
            char text[24];
            const auto [end, ec] = std::to_chars(text, text + sizeof text, number(v, p.slot));
            out.append(text, end);
        }
        return true;
    }

private:
    static int64_t number(const TItemValues& v, int slot) {
        switch (slot) {
            case kFile:
                return v.file;
            case kDirectory:
                return v.directory;
            case kSize:
                return v.size;
            case kModified:
                return v.modificationTime;
            case kVersion:
                return v.version;
            case kBackupTime:
                return v.backupTime;
            case kArchiveFile:
                return v.archiveFileId;
            case kOffset:
                return v.offset;
            default:
                return v.subclientId;
        }
    }
    // Markers: texts that need no escaping, numbers of one length that no other text of the sample holds
    // (the int fields' within an int).
    static constexpr int64_t kMarkerBase = 1987654300;

    explicit CItemTemplate(bool deleted) {
        const std::string name = "@@item-name@@", path = "@@item-path@@";
        const TItemValues sample{name,
                                 path,
                                 kMarkerBase + kFile,
                                 kMarkerBase + kDirectory,
                                 deleted,
                                 kMarkerBase + kSize,
                                 kMarkerBase + kModified,
                                 kMarkerBase + kVersion,
                                 kMarkerBase + kBackupTime,
                                 kMarkerBase + kArchiveFile,
                                 kMarkerBase + kOffset,
                                 kMarkerBase + kSubclient};
        // The response with and without the sample: the item is what the second adds at itemsAt.
        TIndexBrowsePlan plan;
        plan.workerId = "w";
        plan.session = "s";
        std::string bare, whole, error;
        databrowse::BrowseResponse r = response(plan, databrowse::BROWSE_RESP_ITEMS);
        std::vector<CNMessageBase>& items =
            *r.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, true)
                 ->getlistobject(databrowse::BrowseResult::f::dataResultSet, true);
        if (!zynet::messageToXml(r, bare, error)) return;
        addItemValues(items, sample);
        if (!zynet::messageToXml(r, whole, error)) return;
        const size_t at = itemsAt(bare);
        if (at == std::string::npos || whole.size() <= bare.size() ||
            whole.compare(0, at, bare, 0, at) != 0 ||
            whole.compare(whole.size() - (bare.size() - at), std::string::npos, bare, at) != 0)
            return;
        const std::string item = whole.substr(at, whole.size() - bare.size());
        // Cut at every marker, the earliest first.
        std::vector<std::pair<std::string, int>> markers = {{name, kName}, {path, kPath}};
        for (int slot = kFile; slot < kSlots; ++slot)
            markers.emplace_back(std::to_string(kMarkerBase + slot), slot);
        size_t from = 0;
        for (;;) {
            size_t found = std::string::npos;
            int slot = -1;
            size_t length = 0;
            for (const auto& [text, s] : markers)
                if (const size_t n = item.find(text, from); n < found)
                    found = n, slot = s, length = text.size();
            if (slot < 0) break;
            m_pieces.push_back({item.substr(from, found - from), slot});
            from = found + length;
        }
        m_pieces.push_back({item.substr(from), -1});
        // Written again from the pieces, the sample is the encoder's text.
        std::string again;
        m_usable = write(again, sample) && again == item;
    }

    std::vector<TPiece> m_pieces;
    bool m_usable = false;
};

// The items of [begin, end) that pass the cut-offs, written into `out`, with the templates used (bit 0
// the live items', bit 1 the deleted ones'); false (nothing to use) when one cannot be written so.
bool writeItems(const TIndexBrowsePlan& plan, const TIndexBrowseQuery& ask, const TItemVersion* begin,
                const TItemVersion* end, TWrittenItems& out, unsigned& used) {
    const CItemTemplate& live = CItemTemplate::of(false);
    const CItemTemplate& gone = CItemTemplate::of(true);
    if (!live.usable() || !gone.usable()) return false;
    out.xml.clear();
    out.count = 0;
    used = 0;
    const bool cut = hasCutOffs(plan);
    std::string room;
    for (const TItemVersion* v = begin; v != end; ++v) {
        if (cut && !kept(plan, *v)) continue;
        if (!(v->deleted() ? gone : live).write(out.xml, valuesOf(*v, answeredPath(*v, ask.under, room))))
            return false;
        used |= v->deleted() ? 2u : 1u;
        ++out.count;
    }
    return true;
}

// Whether the fast writer's items are the encoder's: the templates checked against a real answer (bits as
// writeItems' `used`), and whether one differed, which turns the fast writer off for the process. A
// template is learnt from a sample item, so an item field set only on some items would differ on the
// first real answer that has one: checked once per template, against the encoder's text of the same
// response built item by item.
std::atomic<unsigned> s_templatesChecked{0};
std::atomic<bool> s_writerDiffers{false};

// The first item of [begin, end) whose name or path the encoder cannot write (a NUL byte), or null.
const TItemVersion* unwritableItem(const TItemVersion* begin, const TItemVersion* end) {
    std::string scratch;
    for (const TItemVersion* v = begin; v != end; ++v) {
        scratch.clear();
        if (!msgAppendXmlEscaped(scratch, v->name, true) || !msgAppendXmlEscaped(scratch, v->path, true))
            return v;
    }
    return nullptr;
}

// A text from the index said in a message: a NUL byte, which no message can carry, as "\0".
std::string sayable(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\0' ? std::string("\\0") : std::string(1, c);
    return out;
}

}  // namespace

namespace {

// Adds to `plan` the queries that answer the request at `path`, one of its source paths.
bool planPath(Indexing::BrowseReq& request, CItemIndex& index, const std::string& path,
              TIndexBrowsePlan& plan, std::string& why) {
    const size_t planned = plan.queries.size();
    plan.workerId = request.getstring(R::workerId);
    plan.session = request.getstring(R::browseSessionGuid);
    plan.owner.userText = request.getstring(R::userText);
    plan.hubmasterHost = request.getstring(R::hubmasterHost);
    plan.routerName = request.getstring(R::routerName);
    if (plan.routerName.empty()) plan.routerName = "BrowseRouter";
    plan.prediction = (static_cast<uint64_t>(request.getint64(R::options)) & kOptionMediaPrediction) != 0;

    TBrowseQuery base;
    base.appId = static_cast<int>(request.getint64(R::subclientId));
    auto* cycles = request.getlistobject(R::backupCycles, false);
    if (cycles && !cycles->empty())
        base.appId = static_cast<int>(cycles->front().getint64(Indexing::BackupCycle::f::appId));
    TIndexSubclient subclient;
    if (!index.subclient(base.appId, subclient)) {
        why = "no subclient " + std::to_string(base.appId) + " in this index";
        return false;
    }
    base.toTime = request.getint64(R::toTime);
    if (base.toTime == 0 || base.toTime >= kNoTime) base.toTime = 0;
    base.fromTime = request.getint64(R::fromTime);
    plan.range = (static_cast<uint64_t>(request.getint64(R::options)) & kOptionVersions) != 0;
    base.path = path.empty() ? "/" : path;
    base.filesBelow = splitFindBelow(base.path);
    std::string under;
    if (!vmPartOfHypervisor(index, subclient, base, why, under)) return false;
    // Below a VM's GUID in its hypervisor's index lies the VM's own tree, named by no GUID of its own.
    if (under.empty()) base.path = vmFileViewPath(subclient, base.path);

    // The index cycles the request's cycles stand for: for each cycle of the subclient, the cycle holding
    // its end.
    std::vector<TCriterion> retention;
    for (size_t n = 0; cycles && n < cycles->size(); ++n) {
        CNMessageBase& cycle = (*cycles)[n];
        if (cycle.getint64(Indexing::BackupCycle::f::appId) != base.appId) continue;
        int64_t end = cycle.getint64(Indexing::BackupCycle::f::toTime);
        if (base.toTime > 0 && (end <= 0 || end > base.toTime)) end = base.toTime;
        const int found = index.cycleAt(base.appId, end <= 0 || end >= kNoTime ? INT64_MAX : end);
        if (found >= 0 && std::find(base.cycles.begin(), base.cycles.end(), found) == base.cycles.end())
            base.cycles.push_back(found);
        if (CNMessageBase* sub = cycle.isSet(Indexing::BackupCycle::f::query)
                                     ? cycle.getObjectAccessor(Indexing::BackupCycle::f::query, false)
                                     : nullptr)
            readCriteria(*sub, retention);
    }
    // A point in time reads the one cycle holding it; a range every cycle named.
    if (!plan.range && base.cycles.size() > 1)
        base.cycles = {index.cycleAt(base.appId, base.toTime > 0 ? base.toTime : INT64_MAX)};
    applyCriteria(retention, plan, base, index);

    auto* queries = request.getlistobject(R::queries, false);
    for (size_t n = 0; queries && n < queries->size(); ++n) {
        CNMessageBase& query = (*queries)[n];
        if (query.getint64(databrowse::Query::f::type) != 0) continue;
        TIndexBrowseQuery ask;
        ask.queryId = query.getstring(databrowse::Query::f::queryId);
        ask.query = base;
        ask.under = under;
        CNMessageBase* options = query.getObjectAccessor(databrowse::Query::f::queryOptions, false);
        ask.count =
            options && options->getint64(databrowse::Msg70::f::queryType) == databrowse::kQueryOptionsCount;
        CNMessageBase* param = query.getObjectAccessor(databrowse::Query::f::dataParam, false);
        CNMessageBase* paging =
            param ? param->getObjectAccessor(databrowse::DataParam::f::paging, false) : nullptr;
        if (paging) {
            // Beyond 32 bits: the largest skip or page there is, never one wrapped back to the start.
            const auto kept = [paging](const MsgFieldRef& f) {
                return static_cast<uint32_t>(std::min<int64_t>(paging->getint64(f), 0xFFFFFFFF));
            };
            ask.query.skip = kept(databrowse::Msg6::f::skipNode);
            ask.query.pageSize = kept(databrowse::Msg6::f::pageSize);
        }
        std::vector<TCriterion> criteria;
        readCriteria(query, criteria);
        // A query's filter left out would answer more than was asked (an end user's own mailbox, for one).
        if (const TCriterion* c = applyCriteria(criteria, plan, ask.query, index, under)) {
            why = "media agent [" + zyNetOptions().localClientName +
                  "] cannot apply the criterion of attribute " + std::to_string(c->attribute) +
                  ", operator " + std::to_string(c->op) + " [" + c->value + "] of query [" + ask.queryId +
                  "]";
            return false;
        }
        plan.queries.push_back(std::move(ask));
    }
    if (plan.queries.size() == planned) plan.queries.push_back({"", false, base, under});
    return true;
}

}  // namespace

bool planIndexBrowse(Indexing::BrowseReq& request, CItemIndex& index, TIndexBrowsePlan& plan,
                     std::string& why) {
    // Every source path is answered, in the request's order, each once; their items page as one answer.
    std::vector<std::string> paths;
    if (auto* listed = request.getliststring(R::sourcePaths, false))
        for (const std::string& path : *listed)
            if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
    if (paths.empty()) paths.push_back(request.getstring(R::browsePath));
    for (const std::string& path : paths)
        if (!planPath(request, index, path, plan, why)) return false;
    if (paths.size() > 1) plan.pagedAcross = true;
    return true;
}

namespace {

using TWrittenSend = std::function<bool(databrowse::BrowseResponse&, const TWrittenItems*)>;

// One answer as it is made: its responses handed to `send` in order, the end last, with the state they
// share (whether the answer goes on, the pages still to fill, the counts of the subclients before). With
// `written`, the items of a response go beside it, written (see answerIndexBrowseWritten).
class CIndexAnswer {
public:
    CIndexAnswer(const TIndexBrowsePlan& plan, CItemIndex& index, uint32_t batchSize,
                 const TWrittenSend& send, const std::function<bool()>& stopped, bool written)
        : m_plan(plan),
          m_index(index),
          m_batch(std::max<uint32_t>(1, batchSize)),
          m_send(send),
          m_stopped(stopped),
          m_written(written) {}

    // The whole answer; the number of responses handed over.
    int run() {
        if (m_plan.prediction)
            predict();
        else
            for (const TIndexBrowseQuery& ask : m_plan.queries)
                if (!m_going || m_failed || !answerQuery(ask)) break;
        databrowse::BrowseResponse end = response(m_plan, databrowse::BROWSE_RESP_END);
        deliver(end);
        return m_sent;
    }

private:
    // The page still to skip and to fill of one query id, when the queries page as one.
    struct TWindow {
        uint64_t skip = 0, remaining = UINT64_MAX;
    };

    bool deliver(databrowse::BrowseResponse& r, const TWrittenItems* items = nullptr) {
        if (m_going && (m_going = m_send(r, items))) ++m_sent;
        return m_going;
    }
    // An error of the index; the answer goes on with its next query unless a stop ended the read.
    void fail(const std::string& text) {
        // A read the answer's stop ended is no failure: the answer ends as stopped.
        if (m_stopped && m_stopped()) {
            m_going = false;
            return;
        }
        databrowse::BrowseResponse r = errorResponse(m_plan, text);
        deliver(r);
    }
    bool deliverItems(const TIndexBrowseQuery& ask, const TItemVersion* begin, const TItemVersion* end) {
        unsigned used = 0;
        if (m_written && !s_writerDiffers.load() &&
            writeItems(m_plan, ask, begin, end, m_writtenItems, used)) {
            databrowse::BrowseResponse r = itemsResponse(m_plan, ask, begin, begin);
            if (used & ~s_templatesChecked.load()) checkAgainstEncoder(r, ask, begin, end, used);
            if (!s_writerDiffers.load()) return deliver(r, &m_writtenItems);
        }
        // What no message can carry ends the answer with an error that says which item, at once: the
        // caller is not left waiting for answers that cannot come.
        if (const TItemVersion* bad = unwritableItem(begin, end)) {
            fail("media agent [" + zyNetOptions().localClientName + "] cannot send the item [" +
                 sayable(bad->path) + "] of its index: its name holds a byte no message can carry");
            m_failed = true;
            return false;
        }
        databrowse::BrowseResponse r = itemsResponse(m_plan, ask, begin, end);
        return deliver(r);
    }
    // The written items of `r` against the encoder's text of the same response built item by item: a
    // difference turns the fast writer off for the process, said once in the log.
    void checkAgainstEncoder(const databrowse::BrowseResponse& r, const TIndexBrowseQuery& ask,
                             const TItemVersion* begin, const TItemVersion* end, unsigned used) {
        std::string written, encoded, error;
        const databrowse::BrowseResponse built = itemsResponse(m_plan, ask, begin, end);
        if (!writtenResponseXml(r, &m_writtenItems, written, error) ||
            !zynet::messageToXml(built, encoded, error))
            return;  // not written either way: the answer says so as for any item
        if (written == encoded) {
            s_templatesChecked.fetch_or(used);
            return;
        }
        if (s_writerDiffers.exchange(true)) return;
        EvDebug log(nullptr);
        log.setPrefixMessage("MEDIAAGENT");
        log.debugLvl(0,
                     "the items written without the encoder differ from the encoder's text of the same "
                     "response: every answer of this process is written by the encoder from now on");
    }

    void predict() {
        const TBrowseQuery& q = m_plan.queries.front().query;
        std::vector<TIndexArchiveFile> files;
        if (!m_index.archiveFiles(q.appId, m_plan.range ? q.fromTime : 0, q.toTime, q.cycles, files)) {
            fail(m_index.lastError());
            return;
        }
        std::vector<CNMessageBase> predictions;
        for (const TIndexArchiveFile& f : files) {
            databrowse::LogicalMedia media;
            ZyEntities::KelmarchEntity kelmarch;
            kelmarch.setint64(ZyEntities::KelmarchEntity::f::kelmarchId, f.kelmarchId);
            media.setObjectAccessor(kelmarch, databrowse::LogicalMedia::f::kelmarch);
            media.setint64(databrowse::LogicalMedia::f::flags,
                           f.fileType == 1 || f.fileType == 4 ? 0x8 : 0x2);
            media.setint64(databrowse::LogicalMedia::f::archFileId, f.id);
            media.setint64(databrowse::LogicalMedia::f::endOffset, f.size);
            media.setint64(databrowse::LogicalMedia::f::size, f.size);
            databrowse::PredictionData prediction;
            prediction.setObjectAccessor(media, databrowse::PredictionData::f::logicalMedia);
            predictions.push_back(std::move(prediction));
        }
        databrowse::BrowseResponse r = response(m_plan, databrowse::BROWSE_RESP_PREDICTIONS);
        r.setlistobject(databrowse::BrowseResponse::f::predictions, predictions);
        deliver(r);
    }

    // One query of the answer; false when the answer goes no further.
    bool answerQuery(const TIndexBrowseQuery& ask) {
        if (ask.count) return count(ask);
        uint64_t remaining = ask.query.pageSize ? ask.query.pageSize : UINT64_MAX;
        TBrowseQuery q = ask.query;
        TWindow* window = nullptr;
        if (m_plan.pagedAcross) {
            window = &m_windows.try_emplace(ask.queryId, TWindow{ask.query.skip, remaining}).first->second;
            if (window->remaining == 0) return true;
            remaining = window->remaining;
            q.skip = 0;
        }
        if (q.filesBelow) return find(ask, q, window, remaining);
        if (window && window->skip > 0) {
            // A subclient the page's skip passes over whole is not read; the rest skip the remainder.
            int64_t count = 0;
            bool found = false;
            if (!(m_plan.range ? m_index.countRange(q, count, found) : m_index.countAt(q, count, found))) {
                fail(m_index.lastError());
                return false;
            }
            if (static_cast<uint64_t>(std::max<int64_t>(count, 0)) <= window->skip) {
                window->skip -= static_cast<uint64_t>(std::max<int64_t>(count, 0));
                return true;
            }
            q.skip = static_cast<uint32_t>(std::min<uint64_t>(window->skip, 0xFFFFFFFF));
            window->skip = 0;
        }
        list(ask, q, window, remaining);
        return true;
    }

    // A count query: its figure, or for queries paged as one, the whole's after the last subclient.
    bool count(const TIndexBrowseQuery& ask) {
        int64_t count = 0;
        bool found = false;
        if (!(m_plan.range ? m_index.countRange(ask.query, count, found)
                           : m_index.countAt(ask.query, count, found))) {
            fail(m_index.lastError());
            return false;
        }
        if (m_plan.pagedAcross) {
            count += std::exchange(m_counted[ask.queryId], 0);
            const bool last = std::none_of(
                std::next(&ask), m_plan.queries.data() + m_plan.queries.size(),
                [&](const TIndexBrowseQuery& later) { return later.count && later.queryId == ask.queryId; });
            if (!last) {
                m_counted[ask.queryId] = count;
                return true;
            }
        }
        databrowse::BrowseResponse r = response(m_plan, databrowse::BROWSE_RESP_ITEMS);
        CNMessageBase* result = r.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, true);
        result->setstring(databrowse::BrowseResult::f::queryId, ask.queryId);
        databrowse::AggregateResult aggregate;
        aggregate.setint64(databrowse::AggregateResult::f::count, count);
        result->setlistobject(databrowse::BrowseResult::f::aggrResultSet, {aggregate});
        return deliver(r);
    }

    // A find lists its files once; they go out in batches.
    bool find(const TIndexBrowseQuery& ask, const TBrowseQuery& q, TWindow* window, uint64_t remaining) {
        std::vector<TItemVersion> files;
        if (!listFilesBelow(m_index, q, files, m_stopped)) {
            fail(m_index.lastError());
            return true;
        }
        // A stop met during the walk ends the answer here, not at its first response.
        if (m_stopped && m_stopped()) return false;
        uint64_t skip = q.skip;
        if (window) {
            skip = std::min<uint64_t>(window->skip, files.size());
            window->skip -= skip;
        }
        const size_t end = std::min<uint64_t>(files.size(), skip + remaining);
        if (window) window->remaining -= end - std::min<size_t>(skip, end);
        for (size_t at = std::min<size_t>(skip, end); at < end && m_going && !m_failed; at += m_batch)
            deliverItems(ask, files.data() + at, files.data() + std::min<size_t>(end, at + m_batch));
        return true;
    }

    // A listing in batches, each continuing after the last version read, so each costs one page of the
    // index.
    void list(const TIndexBrowseQuery& ask, TBrowseQuery& q, TWindow* window, uint64_t remaining) {
        std::vector<TItemVersion> versions;
        bool found = false;
        while (remaining > 0 && m_going) {
            q.pageSize = static_cast<uint32_t>(std::min<uint64_t>(remaining, m_batch));
            if (!(m_plan.range ? m_index.listRange(q, versions, found)
                               : m_index.listAt(q, versions, found))) {
                fail(m_index.lastError());
                return;
            }
            if (versions.empty()) return;
            if (!deliverItems(ask, versions.data(), versions.data() + versions.size())) return;
            remaining -= versions.size();
            if (window) window->remaining = remaining;
            if (versions.size() < q.pageSize) return;
            q.firstNode = versions.back().entry;
            q.skip = m_plan.range ? versions.back().rangeOrdinal : 1;
        }
    }

    const TIndexBrowsePlan& m_plan;
    CItemIndex& m_index;
    const uint32_t m_batch;
    const TWrittenSend& m_send;
    const std::function<bool()>& m_stopped;
    const bool m_written;
    int m_sent = 0;
    bool m_going = true;    // every response so far was taken
    bool m_failed = false;  // an item could not be sent: only the end follows its error
    TWrittenItems m_writtenItems;
    std::map<std::string, TWindow> m_windows;
    std::map<std::string, int64_t> m_counted;  // counts of the subclients before, per query id
};

}  // namespace

int answerIndexBrowse(const TIndexBrowsePlan& plan, CItemIndex& index, uint32_t batchSize,
                      const std::function<bool(databrowse::BrowseResponse&)>& send,
                      const std::function<bool()>& stopped) {
    const TWrittenSend built = [&](databrowse::BrowseResponse& r, const TWrittenItems*) { return send(r); };
    return CIndexAnswer(plan, index, batchSize, built, stopped, false).run();
}

int answerIndexBrowseWritten(const TIndexBrowsePlan& plan, CItemIndex& index, uint32_t batchSize,
                             const TWrittenSend& send, const std::function<bool()>& stopped) {
    return CIndexAnswer(plan, index, batchSize, send, stopped, true).run();
}

bool writtenResponseXml(const databrowse::BrowseResponse& r, const TWrittenItems* items, std::string& xml,
                        std::string& error) {
    if (!zynet::messageToXml(r, xml, error)) return false;
    if (!items) return true;
    const size_t at = itemsAt(xml);
    if (at == std::string::npos) {
        error = "a response of items without its result's end";
        return false;
    }
    xml.insert(at, items->xml);
    return true;
}

int answerIndexBrowseRefusal(const TIndexBrowsePlan& plan, const std::string& why,
                             const std::function<bool(databrowse::BrowseResponse&)>& send) {
    int sent = 0;
    databrowse::BrowseResponse r = errorResponse(plan, why);
    if (send(r)) ++sent;
    databrowse::BrowseResponse end = response(plan, databrowse::BROWSE_RESP_END);
    if (send(end)) ++sent;
    return sent;
}

bool sendIndexBrowseAnswer(Indexing::BrowseReq& request, const std::string& indexPath, uint32_t batchSize,
                           std::string& outcome, CZyNetwork* caller) {
    TIndexBrowsePlan plan;
    std::string why;
    TItemIndexLease index = lendItemIndex(indexPath, why);
    const bool planned = index && planIndexBrowse(request, *index, plan, why);
    if (!planned) {
        // The way back is still the request's, whatever the index could not read.
        plan.workerId = request.getstring(R::workerId);
        plan.session = request.getstring(R::browseSessionGuid);
        plan.owner.userText = request.getstring(R::userText);
        plan.hubmasterHost = request.getstring(R::hubmasterHost);
        plan.routerName =
            request.getstring(R::routerName).empty() ? "BrowseRouter" : request.getstring(R::routerName);
    }
    return deliverIndexBrowseAnswer(plan, planned ? index.get() : nullptr, why, batchSize, outcome, caller);
}

namespace {

// Sessions to the routers of the Hubmasters this media agent answers, kept between answers. Never
// destroyed: a session may be given back on a connection thread during the process's exit.
ZyNetworkPoP& routerSessions() {
    static ZyNetworkPoP* pool = [] {
        auto* p = new ZyNetworkPoP();
        // Idle sessions close well before the router's own idle limit; enough kept for a busy Hubmaster.
        // A mining's answer goes under the mined client's certificate, whose sessions the router keeps
        // only for an outsider's idle limit: one lent just before that would be cut under its answer.
        p->setConnectionParams(128, 0, 0, std::min(300, zynet::options().anonymousIdleSeconds / 2), 30);
        return p;
    }();
    return *pool;
}

}  // namespace

namespace {

std::atomic<unsigned> s_answerConnectionResponses{0};

}  // namespace

void setAnswerConnectionResponses(unsigned responses) {
    s_answerConnectionResponses.store(responses);
}

CRouterSession::~CRouterSession() {
    if (m_session) routerSessions().releaseSession(m_session, m_host.c_str(), m_router.c_str());
}

void CRouterSession::discard(const char* why) {
    bool timedOut = false;
    if (!m_session) return;
    zynet::logDebug(0, "session to [%s] of [%s] closed, not kept: %s", m_router.c_str(), m_host.c_str(), why);
    ignoreResult(m_session->Disconnect(5, timedOut),
                 "the session ends either way; a peer already gone is no fault");
}

bool CRouterSession::take(size_t responses, std::string& error) {
    if (!m_session) return false;  // one it could not borrow again
    const unsigned perConnection = s_answerConnectionResponses.load();
    if (perConnection > 0 && m_sent >= perConnection) {
        m_sent = 0;
        discard("the answer goes on on a fresh connection");
        if (m_session) routerSessions().releaseSession(m_session, m_host.c_str(), m_router.c_str());
        m_session = nullptr;
        if (!open(m_host, m_router, error, m_localName)) return false;
    }
    m_sent += responses;
    return true;
}

bool CRouterSession::open(const std::string& host, const std::string& router, std::string& error,
                          const std::string& localName) {
    m_host = host;
    m_router = router;
    m_localName = localName;
    ZyNetworkPoP& pool = routerSessions();
    if (pool.getSession(m_session, host.c_str(), localName.empty() ? nullptr : localName.c_str(),
                        router.c_str()) == 0)
        return true;
    m_session = nullptr;
    error = pool.getLastErrorText();
    return false;
}

bool deliverIndexBrowseAnswer(const TIndexBrowsePlan& plan, CItemIndex* index, const std::string& why,
                              uint32_t batchSize, std::string& outcome, CZyNetwork* caller) {
    constexpr int kSendSeconds = 30;
    // One session for the whole answer: the router relays it in this order.
    CRouterSession router;
    std::string error;
    if (!caller && !router.open(plan.hubmasterHost, plan.routerName, error, plan.localName)) {
        outcome = "answer failed: " + error;
        return false;
    }
    bool timedOut = false;
    uint64_t served = 0;
    // A stop of the session (from the Hubmaster) ends the answer between two responses.
    CAnswerStops::CAnswer inFlight(CAnswerStops::instance(), plan.session, plan.owner);
    // Each response waits for the next one, so that the last goes out with the end in one write: the
    // router reads an answer's end at the same wake-up as its last items.
    std::vector<std::pair<unsigned long, std::string>> held;
    uint64_t heldItems = 0;
    // A count's or a media prediction's answer holds no items: its story gives its own figure.
    struct {
        long long counts = 0;
        size_t media = 0;
        bool counted = false;
        std::string text() const {
            return (counted ? " count=" + std::to_string(counts) : std::string()) +
                   (media > 0 ? " media=" + std::to_string(media) : std::string());
        }
    } figures;
    // Why the answer's end could not go out ("": it went, or is still to go).
    std::string cut;
    // The first error the answer carries, for its story.
    std::string answeredError;
    auto flush = [&] {
        if (held.empty()) return true;
        bool ok = caller || router.take(held.size(), error);
        if (ok) {
            const CUxError step =
                (caller ? *caller : router.session()).SendXMLMessages(held, kSendSeconds, timedOut);
            ok = !step.IsError();
            if (!ok) error = step.GetErrorText();
        }
        held.clear();
        if (ok) {
            reportServed(plan.session, served, served + heldItems);
            served += heldItems;
        } else if (cut.empty()) {
            cut = error.empty() ? "the connection failed" : error;
        }
        heldItems = 0;
        return ok;
    };
    // A response no message can carry is answered as an error at once, then the end: the caller is
    // never left waiting out its time limit for an answer that cannot come.
    auto sendUnwritable = [&](const std::string& why) {
        databrowse::BrowseResponse failed = errorResponse(
            plan, "media agent [" + zyNetOptions().localClientName + "] cannot write its answer: " + why);
        databrowse::BrowseResponse end = response(plan, databrowse::BROWSE_RESP_END);
        std::string failedXml, endXml, unused;
        if (answeredError.empty()) answeredError = why;
        if (!flush() || !zynet::messageToXml(failed, failedXml, unused) ||
            !zynet::messageToXml(end, endXml, unused))
            return false;
        held.emplace_back(failed.getTagID(), std::move(failedXml));
        held.emplace_back(end.getTagID(), std::move(endXml));
        flush();
        return false;
    };
    auto send = [&](databrowse::BrowseResponse& r, const TWrittenItems* written) {
        if (inFlight.stopped()) return false;
        std::string xml, error;
        if (!writtenResponseXml(r, written, xml, error)) return sendUnwritable(error);
        const int64_t type = r.getint64(databrowse::BrowseResponse::f::respType);
        const bool end = type == databrowse::BROWSE_RESP_END;
        if (type == databrowse::BROWSE_RESP_ERROR && answeredError.empty())
            if (auto* messages = r.getlistobject(databrowse::BrowseResponse::f::messages, false);
                messages && !messages->empty())
                answeredError = messages->front().getstring(databrowse::BrowseError::f::errorMessage);
        // A held answer sends its first items before it waits, so its end never goes out with them.
        if ((!end || inFlight.holds()) && !flush()) return false;
        if (inFlight.holdIfAsked(served)) return false;
        held.emplace_back(r.getTagID(), std::move(xml));
        if (r.isSet(databrowse::BrowseResponse::f::browseResult)) {
            CNMessageBase* result = r.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
            if (auto* items = result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false))
                heldItems += written ? written->count : items->size();
            if (auto* counts = result->getlistobject(databrowse::BrowseResult::f::aggrResultSet, false))
                for (CNMessageBase& c : *counts) {
                    figures.counts += c.getint64(databrowse::AggregateResult::f::count);
                    figures.counted = true;
                }
        }
        if (auto* media = r.getlistobject(databrowse::BrowseResponse::f::predictions, false))
            figures.media += media->size();
        return !end || flush();
    };
    // The stop ends the index read under way too (a find's scan of a large folder may match nothing for
    // long); the connection goes back to the kept ones without it.
    struct TReadsEnd {
        CItemIndex* index;
        ~TReadsEnd() {
            if (index) index->endReadsWhen({});
        }
    } readsEnd{index};
    if (index) index->endReadsWhen([&] { return inFlight.stopped(); });
    int sent =
        index ? answerIndexBrowseWritten(plan, *index, batchSize, send, [&] { return inFlight.stopped(); })
              : answerIndexBrowseRefusal(plan, why,
                                         [&](databrowse::BrowseResponse& r) { return send(r, nullptr); });
    if (inFlight.stopped()) {
        // What was still held back is not sent: the caller is told the browse was stopped, then the end.
        held.clear();
        heldItems = 0;
        databrowse::BrowseResponse stopped = errorResponse(plan, "The browse was stopped");
        databrowse::BrowseResponse end = response(plan, databrowse::BROWSE_RESP_END);
        std::string stoppedXml, endXml, error;
        if (zynet::messageToXml(stopped, stoppedXml, error) && zynet::messageToXml(end, endXml, error)) {
            held.emplace_back(stopped.getTagID(), std::move(stoppedXml));
            held.emplace_back(end.getTagID(), std::move(endXml));
            if (flush()) sent += 2;
        }
        outcome = std::string(caller ? "stopped caller" : "stopped") + " worker=" + plan.workerId +
                  " session=" + plan.session + " after " + std::to_string(served) + " item(s)";
        return true;
    }
    flush();  // an answer cut short keeps nothing back
    // Its story says whether the end went out: an answer whose connection was cut is no answer.
    if (!cut.empty()) {
        outcome = std::string(caller ? "answer to the caller cut short" : "answer cut short") +
                  " worker=" + plan.workerId + " after " + std::to_string(served) +
                  " item(s): the end could not be sent: " + cut;
        return true;
    }
    outcome = std::string(caller ? "answered caller" : "answered") + " worker=" + plan.workerId +
              " responses=" + std::to_string(sent) + " items=" + std::to_string(served) + figures.text() +
              (index ? (answeredError.empty() ? "" : " error: " + answeredError) : " refused: " + why);
    return true;
}

}  // namespace mediaagent
