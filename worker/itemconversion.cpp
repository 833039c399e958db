// Item conversion: one classic media-agent item (or subclient content line) becomes one
// databrowse::BrowseData of a response, after sampling, the count pass and the time range; items of
// unknown type are resolved by a nested browse on the same thread, limited in depth, which is handed the
// page window its items count in. Called on the
// worker's thread under its lock.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "fbDebug/fbdebug.h"
#include "framework/browseutils.h"
#include "planning/browsetask.h"
#include "platform/entities/apptypes.h"
#include "platform/restoreproto/fsr_records.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndata.h"
#include "platform/tasks/taskoptions.h"
#include "platform/threads/hubmutex.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

const char* const kTag = "FBHMWORKER";

constexpr uint64_t kItemUnknownType = 0x8;
constexpr uint64_t kItemSharePointKind = 0x10;
constexpr unsigned long kNoUpperTime = 0x7fffffff;
constexpr char kSeparator = 0x12;
const char* const kSharePointArrow = " -> ";

// Nested browses this thread runs inside one another (each dot browse of an unknown item may meet
// unknown items again). Past the limit an item is sent as if its nested browse had failed.
constexpr int kMaxDotBrowseDepth = 4;
constexpr unsigned long kWholeListing = 0xFFFFFFFF;  // the page size of a browse that is not paged

// Made on first use: the controller installs its runner while the library is being loaded, before this
// file's own globals would have been initialised.
struct TNestedRunner {
    CHubMutex mutex;
    CWorkerThreadHM::NestedRequestRunner runner GUARDED_BY(mutex);
    const void* owner GUARDED_BY(mutex) = nullptr;
};
TNestedRunner& nestedRunner() {
    static TNestedRunner installed;
    return installed;
}

// The flag fields of databrowse::BrowseItemFlags by element (= presence) number.
using Flags = databrowse::BrowseItemFlags::f;
const MsgFieldRef* const kFlagFields[] = {
    nullptr,          &Flags::file, &Flags::directory, &Flags::deleted,  &Flags::c_05ac4a, &Flags::c_72a501,
    &Flags::c_0b2761, nullptr,      &Flags::c_55d0f7,  &Flags::c_6e9daa, &Flags::c_3608ae};

int32_t low32(uint64_t word) {
    return static_cast<int32_t>(static_cast<uint32_t>(word));
}

std::vector<std::string> tokens(std::string_view text, std::string_view separators) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = text.find_first_of(separators, start);
        const size_t stop = end == std::string_view::npos ? text.size() : end;
        if (stop > start) out.emplace_back(text.substr(start, stop - start));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return out;
}

bool isExchangeAppType(apptype::EAppType appType) {
    return apptype::in(apptype::family::kExchange, appType);
}
bool isSharePointAppType(apptype::EAppType appType) {
    return apptype::in(apptype::family::kSharePoint, appType);
}

// Exchange-like metadata from the path of a plain item ("...\mailbox\folder\<size>\<name>" with '\' or
// 0x12 between parts) or of a folder (the text after its first 0x12).
void fillExchange(const std::string& path, bool plain, bool folder, IdxMetadata::IdxMetaData& metadata,
                  bool& used, CBrowseLog& log) {
    using X = IdxMetadata::Msg23::f;
    if (plain) {
        const std::vector<std::string> t = tokens(path, std::string{'\\', kSeparator});
        if (t.size() < 5) {
            log.debugLvl(2,
                         "Insufficient number of tokens. Expected at least 5 tokens. Not filling exchange "
                         "metadata for path [%s]",
                         path.c_str());
            return;
        }
        const size_t n = t.size();
        CNMessageBase* x = metadata.getObjectAccessor(IdxMetadata::IdxMetaData::f::at8_8, true);
        x->setstring(X::at3_9, t[n - 3] + "|");
        x->setstring(X::at4_13, t[n - 4]);
        x->setstring(X::at8_29, t[n - 1]);
        x->setint64(X::at14_50, std::strtoll(t[n - 2].c_str(), nullptr, 10));
        used = true;
    } else if (folder) {
        const size_t first = path.find(kSeparator);
        if (first == std::string::npos || path.find(kSeparator, first + 1) == std::string::npos) return;
        metadata.getObjectAccessor(IdxMetadata::IdxMetaData::f::at8_8, true)
            ->setstring(X::at2_5, path.substr(first + 1));
        used = true;
    }
}

// SharePoint-like metadata from "<path> -> <version>[!] 0x12 <a> 0x12 <b> 0x12 <size>"; the item's path
// becomes the part before the arrow.
void fillSharePoint(std::string& path, databrowse::BrowseData& data, IdxMetadata::IdxMetaData& metadata,
                    bool& used, CBrowseLog& log) {
    const size_t arrow = path.find(kSharePointArrow);
    if (arrow == std::string::npos) {
        log.debugLvl(2, "Couldn't find '->' under path: '%s'.", path.c_str());
        path.clear();
        return;
    }
    const std::vector<std::string> t =
        tokens(std::string_view(path).substr(arrow + 4), std::string{kSeparator});
    if (t.size() < 4) {
        log.debugLvl(2, "Insufficient number of tokens under path: '%s'.", path.c_str());
    } else {
        std::string version = t[0];
        if (!version.empty() && version.back() == '!') version.pop_back();
        const double v = std::strtod(version.c_str(), nullptr);
        if (v >= 0.09 && v <= 100000.0) {
            if (version.find('.') == std::string::npos) version += ".0";
        } else {
            version = "1.0";
        }
        CNMessageBase* s = metadata.getObjectAccessor(IdxMetadata::IdxMetaData::f::at20_20, true);
        s->setstring(IdxMetadata::Msg49::f::version, version);
        s->setstring(IdxMetadata::Msg49::f::at3_6, t[1]);
        s->setstring(IdxMetadata::Msg49::f::at4_10, t[2]);
        data.setint64(databrowse::BrowseData::f::size, std::strtoll(t[3].c_str(), nullptr, 10));
        used = true;
    }
    path.resize(arrow);
}

}  // namespace

void CWorkerThreadHM::setNestedRequestRunner(const void* owner, NestedRequestRunner runner) {
    TNestedRunner& installed = nestedRunner();
    CHubMutexLock lock(installed.mutex);
    installed.runner = std::move(runner);
    installed.owner = owner;
}

void CWorkerThreadHM::clearNestedRequestRunner(const void* owner) {
    TNestedRunner& installed = nestedRunner();
    CHubMutexLock lock(installed.mutex);
    if (installed.owner != owner) return;
    installed.runner = nullptr;
    installed.owner = nullptr;
}

CWorkerThreadHM::CItemWindowGuard::CItemWindowGuard(CWorkerThreadHM& worker, TItemWindow* window)
    : m_worker(worker), m_previous(worker.m_itemWindow) {
    m_worker.m_itemWindow = window;
}

CWorkerThreadHM::CItemWindowGuard::~CItemWindowGuard() {
    m_worker.m_itemWindow = m_previous;
}

bool CWorkerThreadHM::inItemWindow() {
    TItemWindow* w = m_itemWindow;
    if (!w) return true;
    const uint64_t at = w->seen++;
    if (at < w->skip || at >= w->skip + w->size) return false;
    ++w->kept;
    return true;
}

bool CWorkerThreadHM::itemWindowInstalled() {
    return m_itemWindow != nullptr;
}

bool CWorkerThreadHM::itemWindowFull() {
    return m_itemWindow && m_itemWindow->full();
}

void CWorkerThreadHM::convertToXML(FSRRestoreItem_90* item, databrowse::BrowseResponse& response) {
    if (!item) return;
    // An entry of the page's own listing: how many items it gives is learnt (TItemWindow).
    struct TEntryItems {
        TItemWindow* window;
        uint64_t before;
        ~TEntryItems() {
            if (window) window->itemsPerEntry.push_back(window->seen - before);
        }
    } entryItems{
        m_itemWindow && m_itemWindow->owner == this && !m_itemWindow->full() ? m_itemWindow : nullptr,
        m_itemWindow ? m_itemWindow->seen : 0};
    // Sampling first: a dropped item costs nothing but the counter.
    const unsigned long sampling = m_privateTask->getSampling();
    if (sampling > 1 && (m_samplingCounter++ % sampling) != 0) return;

    CBrowseLog log(kTag);
    std::string path = item->name ? item->name : "";
    if (m_replyChannel.countPass() && !path.empty()) {
        addCountResponse(std::strtoll(path.c_str(), nullptr, 10), response);
        return;
    }
    if (item->modificationTime != 0) {
        const unsigned long from = static_cast<unsigned long>(m_privateTask->getFromTime());
        const unsigned long to = static_cast<unsigned long>(m_privateTask->getToTime());
        if (from != 0 && item->modificationTime < from) return;
        if (to != 0 && to != kNoUpperTime && item->modificationTime > to) return;
    }
    if (item->flags & kItemUnknownType) {
        const char* base = m_privateTask->getPath(EvRestoreTask::kBrowsePathList);
        std::string dotPath = base ? base : "";
        const char delimiter = getDelimiter(dotPath.c_str());
        std::string_view part = path;
        if (m_privateTask->getEmFunction() != 0) {
            const size_t separator = part.find(kSeparator);
            if (separator != std::string_view::npos) part = part.substr(separator + 1);
        }
        if (delimiter != 0 && (dotPath.empty() || dotPath.back() != delimiter) &&
            (part.empty() || part.front() != delimiter))
            dotPath += delimiter;
        dotPath += part;
        // Past the page, what the nested browse would answer is not wanted.
        if (itemWindowFull()) return;
        // Another version of an item already browsed: that browse answered for every version.
        if (m_dotBrowsed.count(dotPath)) return;
        log.debugLvl(0, "Launching DotBrowse as FileType of [%s] is unknown", dotPath.c_str());
        sendConverted(response);  // the nested browse's items follow those before this one
        if (doDotBrowse(dotPath.c_str(), 0)) {
            m_dotBrowsed.insert(dotPath);
            return;
        }
        item->flags = 1;  // sent as a directory the caller can open
    }
    if (!inItemWindow()) return;

    databrowse::BrowseData data;
    databrowse::BrowseItemFlags flags;
    fsr::TItemFlagValue values[fsr::kItemFlagValueCount];
    fsr::mapRestoreItemFlags(item->flags, values);
    for (const fsr::TItemFlagValue& v : values)
        if (v.element < std::size(kFlagFields) && kFlagFields[v.element])
            flags.setint64(*kFlagFields[v.element], v.value);
    const bool plain = values[0].element == 1;
    const bool folder = values[0].element == 2;

    if (item->error != 0) {
        databrowse::BrowseError error;
        error.setint64(databrowse::BrowseError::f::errorCode, databrowse::BROWSE_ERR_GENERIC);
        response.getlistobject(databrowse::BrowseResponse::f::messages, true)->push_back(error);
    }

    databrowse::Msg93 advanced;
    advanced.setint64(databrowse::Msg93::f::c_6c68b8, low32(item->advancedValue));
    advanced.setint64(databrowse::Msg93::f::backupTime, low32(item->backupTime));
    advanced.setint64(databrowse::Msg93::f::c_938d16, static_cast<int64_t>(item->advancedValue2));
    advanced.setstring(databrowse::Msg93::f::c_2b11a5, item->advancedText ? item->advancedText : "");
    ZyEntities::Msg10 entity;
    entity.setint64(ZyEntities::Msg10::f::subclientId, low32(item->appId));
    entity.setint64(ZyEntities::Msg10::f::applicationId, low32(item->appId));
    advanced.setObjectAccessor(entity, databrowse::Msg93::f::subclientEntity);
    advanced.setint64(databrowse::Msg93::f::archiveFileId, low32(item->archiveId.archiveFileId));
    advanced.setint64(databrowse::Msg93::f::offset, static_cast<int64_t>(item->archiveOffset));

    data.setint64(databrowse::BrowseData::f::modificationTime, low32(item->modificationTime));
    data.setint64(databrowse::BrowseData::f::size, static_cast<int64_t>(item->size));
    data.setint64(databrowse::BrowseData::f::version, low32(item->version));

    IdxMetadata::IdxMetaData metadata;
    bool withMetadata = false;
    if (item->metadata && *item->metadata) {
        if (metadata.unserialize(item->metadata) == 0)
            withMetadata = true;
        else
            log.debugLvl(0, "failed to unserialize metadata [%s] for path [%s]", item->metadata,
                         path.c_str());
    }
    const apptype::EAppType appType = m_browseTask->getDataPtr()->appType;
    std::string secondPath = item->displayName ? item->displayName : "";
    if (isExchangeAppType(appType)) fillExchange(path, plain, folder, metadata, withMetadata, log);
    if (isSharePointAppType(appType) && (item->flags & kItemSharePointKind)) {
        fillSharePoint(path, data, metadata, withMetadata, log);
        secondPath.clear();
        data.setstring(databrowse::BrowseData::f::path, item->advancedText ? item->advancedText : "");
        advanced.setstring(databrowse::Msg93::f::c_2b11a5, "");
        flags.setint64(Flags::file, 1);
        flags.setint64(Flags::c_0b2761, 0);
    }
    if (withMetadata) advanced.setObjectAccessor(metadata, databrowse::Msg93::f::idxMetaData);

    data.setObjectAccessor(flags, databrowse::BrowseData::f::flags);
    data.setstring(databrowse::BrowseData::f::name, path);
    data.setstring(databrowse::BrowseData::f::displayName, secondPath);
    data.setObjectAccessor(advanced, databrowse::BrowseData::f::advancedData);
    response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, true)
        ->getlistobject(databrowse::BrowseResult::f::dataResultSet, true)
        ->push_back(std::move(data));
}

void CWorkerThreadHM::sendConverted(databrowse::BrowseResponse& response) {
    CNMessageBase* result =
        response.isSet(databrowse::BrowseResponse::f::browseResult)
            ? response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false)
            : nullptr;
    auto* items = result ? result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false) : nullptr;
    std::string xml;
    if (items && !items->empty() && response.serialize(xml) == 0) {
        sendItemBack(std::move(xml));
        items->clear();
        if (auto* errors = response.getlistobject(databrowse::BrowseResponse::f::messages, false))
            errors->clear();
    }
    // The channel's buffer too: the nested browse writes through a channel of its own.
    if (EvRestoreReturn* channel = m_browseTask->getDataPtr()->restoreReturn) channel->dumpBuffer(9);
}

bool CWorkerThreadHM::doDotBrowse(const char* path, int appId) {
    CBrowseLog log(kTag);
    if (m_nestedFrame.depth >= kMaxDotBrowseDepth) {
        log.debugLvl(0, "dot browse of [%s] not run: %d nested browses already run on this thread",
                     path ? path : "", m_nestedFrame.depth);
        return false;
    }
    NestedRequestRunner runner;
    {
        TNestedRunner& installed = nestedRunner();
        CHubMutexLock lock(installed.mutex);
        runner = installed.runner;
    }
    if (!runner) {
        log.debugLvl(0, "dot browse of [%s] not run: no controller takes nested requests", path ? path : "");
        return false;
    }
    const EvMultiEntityRestoreTask& p = *m_privateTask;
    auto task = std::make_unique<EvMultiEntityRestoreTask>();
    task->setRequestReads(m_reads);
    // The nested browse writes into this job's channel, without its own end or count.
    task->setTaskParameters(p.getJobId(), p.getTaskId(), p.getUserId(), p.getOptions() | taskoption::kNested,
                            p.getKelmarchId(), p.getClientId(), p.getBackupSetId(), p.getDestClientId(),
                            p.getToTime(), p.getFromTime(), apptype::code(p.getAppType()), p.getInstanceId(),
                            p.getOptions1(), p.getTaskLocale());
    task->setUserName(p.getUserName());
    task->setSubClientId(p.getSubClientId());
    // The nested browse lists the whole item: the outer browse's page is counted over the items both
    // send (TItemWindow), so its first node, skip and page size mean nothing to the nested one.
    task->setEmFunction(p.getEmFunction() & 0xFF);
    task->setEmFirstNode(0);
    task->setEmSkipNode(0);
    task->setEmPageSize(kWholeListing);
    task->setextendedOptions(p.getExtendedOption());
    task->addPath(EvRestoreTask::kBrowsePathList, path);
    task->setArchGroupCopyPrecedence(p.getArchGroupCopyPrecedence());
    task->setMediaAgentId(p.getMediaAgentId());
    task->setAppId(appId);
    task->setbrowseSessionGUID(p.getbrowseSessionGUID());
    task->setEntityList(p.getEntityList());
    task->setMultiEntityBrowseFlags(p.getMultiEntityBrowseFlags());
    if (m_queryList) {
        if (auto* queries = m_queryList->getlistobject(databrowse::Querylist::f::queries, false)) {
            for (const CNMessageBase& query : *queries) {
                if (query.getint64(databrowse::Query::f::type) != 0) continue;
                CNMessageBase unpaged = query;
                if (unpaged.isSet(databrowse::Query::f::dataParam))
                    unpaged.getObjectAccessor(databrowse::Query::f::dataParam, false)
                        ->clearField(databrowse::DataParam::f::paging.tag,
                                     databrowse::DataParam::f::paging.code);
                databrowse::Querylist one;
                one.setlistobject(databrowse::Querylist::f::queries, {unpaged});
                std::string xml;
                if (one.serialize(xml) == 0)
                    task->setbrowseFindPattern(xml.c_str());
                else
                    log.debugLvl(0, "Warning: Query not set for dot browse request");
                break;
            }
        }
    }
    return runner(task.get(), TNestedFrame{m_itemWindow, m_nestedFrame.depth + 1});
}
