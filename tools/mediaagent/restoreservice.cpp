#include "tools/mediaagent/restoreservice.h"

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "platform/log/evdebug.h"
#include "platform/msg/cnmessagebase.h"
#include "platform/restoreproto/fsr_messages.h"
#include "platform/restoreproto/fsr_records.h"
#include "platform/threads/hubclock.h"
#include "tools/mediaagent/itemindex.h"
#include "tools/mediaagent/progress.h"

namespace mediaagent {

namespace {

const char* const kTag = "MEDIAAGENT";
constexpr int kSendSeconds = 120;
constexpr size_t kMaxPaths = 10000;  // source paths one request may name
constexpr uint64_t kOptionFilteredFind = 0x2;
// The browse flag the router sets for the versions operations (all versions, versions prediction). The
// from-time cannot tell them apart: the worker's archive-file selection raises it to the oldest backup
// for every browse.
constexpr uint64_t kOptionVersions = 0x8;
constexpr uint64_t kOptionMediaPrediction = 1ULL << 38;
constexpr uint64_t kPredictionIndex = 0x2;
constexpr uint64_t kPredictionData = 0x8;
constexpr uint32_t kNoPageSize = 0xFFFFFFFF;  // the worker's page size when the caller asked for none

// Positions in the request's fields 5 to 26.
enum RequestWord {
    kSubclient = 9,
    kAppType = 10,
    kToTime = 16,
    kFromTime = 17,
    kEmFunction = 18,
    kSkip = 19,
    kPageSize = 21
};

// The request's numbers as the browse uses them.
struct TAsk {
    TBrowseQuery query;
    bool range = false;
    bool count = false;
    bool paged = false;
    bool prediction = false;
};

// Paged requests (em functions 2, 3, 4, 6, 7) and count requests (1, 5, 8) of the legacy record.
bool isPageFunction(uint32_t f) {
    return f == 2 || f == 3 || f == 4 || f == 6 || f == 7;
}
bool isCountFunction(uint32_t f) {
    return f == 1 || f == 5 || f == 8;
}

// A fixed text field of the record, up to its NUL (string 6: the browsed client's host).
std::string fieldText(const char* text, size_t size) {
    return std::string(text, strnlen(text, size));
}

// The user's name of the user text, "<user id>12<user name>"; the id alone when it holds no name.
std::string userNameOf(const FSRLegacyBrowseRequest& r, uint64_t userId) {
    const std::string text = fieldText(r.userText, sizeof r.userText);
    const std::string prefix = std::to_string(userId) + "12";
    if (text.rfind(prefix, 0) == 0 && text.size() > prefix.size()) return text.substr(prefix.size());
    return std::to_string(userId);
}

TAsk readRequest(const FSRLegacyBrowseRequest& r) {
    TAsk ask;
    const uint32_t* w = r.fields5to26;
    const uint32_t em = w[kEmFunction];
    ask.query.appId = static_cast<int>(w[kSubclient]);
    ask.query.toTime = w[kToTime];
    ask.query.fromTime = w[kFromTime];
    ask.range = (r.field3 & kOptionVersions) != 0;
    ask.count = isCountFunction(em & 0xff);
    ask.paged = isPageFunction(em & 0xff);
    ask.prediction = (r.field3 & kOptionMediaPrediction) != 0;
    if (ask.paged) {
        const uint32_t firstIndex = em >> 8;  // counted from 1
        ask.query.skip = (firstIndex > 0 ? firstIndex - 1 : 0) + w[kSkip];
        ask.query.pageSize = w[kPageSize];
        ask.query.firstNode = static_cast<int64_t>(r.field60);
    } else if (ask.range && w[kPageSize] != 0 && w[kPageSize] != kNoPageSize) {
        // The versions operation carries no em function: its page is the request's page size and skip.
        ask.query.skip = w[kSkip];
        ask.query.pageSize = w[kPageSize];
    }
    // The path to list; its last part is a name filter for a filtered find or when it holds a wildcard.
    std::string path(r.browsePath, strnlen(r.browsePath, sizeof r.browsePath));
    for (char& c : path)
        if (c == '\\') c = '/';
    const size_t slash = path.find_last_of('/');
    const std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    if ((r.field3 & kOptionFilteredFind) != 0 || last.find_first_of("*?[") != std::string::npos) {
        ask.query.nameFilter = last;
        path = slash == std::string::npos ? std::string() : path.substr(0, slash);
    }
    ask.query.path = path.empty() ? "/" : path;
    return ask;
}

// Copies of an item's texts and its record in the current layout.
struct TItemTexts {
    std::string name;
    std::string displayName;
    std::string metadata;
};

void fillItem(const TItemVersion& v, const TIndexSubclient& sub, const TItemTexts& texts,
              FSRRestoreItem_90& item) {
    item = FSRRestoreItem_90{};
    item.flags = v.flags;
    item.name = texts.name.c_str();
    // Word +16 is the backup time: the Hubmaster's range filter reads it. The classic item has no word
    // for the modification time.
    item.modificationTime = static_cast<uint64_t>(v.backupTime);
    item.size = static_cast<uint64_t>(v.size);
    item.version = static_cast<uint64_t>(v.version);
    item.advancedValue = static_cast<uint64_t>(v.jobId);
    item.backupTime = static_cast<uint64_t>(v.backupTime);
    item.advancedValue2 = static_cast<uint64_t>(v.entry);  // the node id, for the next page
    item.displayName = texts.displayName.c_str();
    item.appId = static_cast<uint64_t>(v.appId);
    item.archiveId.id1 = static_cast<uint64_t>(sub.kelmarchId);
    item.archiveId.id2 = static_cast<uint64_t>(v.cycle);
    item.archiveId.archiveFileId = static_cast<uint64_t>(v.archiveFileId);
    item.archiveOffset = static_cast<uint64_t>(v.offset);
    item.metadata = texts.metadata.empty() ? nullptr : texts.metadata.c_str();
}

// An item in an older layout: the leading words, and the display name where the layout has one.
template <class T>
T narrowed(const FSRRestoreItem_90& i) {
    T o = fsr::withLeadingItemWords<T>(i);
    if constexpr (requires { o.displayName; }) o.displayName = i.displayName;
    return o;
}

// One batch as an array message, or as the single-item message when it holds one record.
template <class T>
bool sendRecords(CZyNetwork& network, unsigned long arrayCode, unsigned long singleCode,
                 const std::vector<T>& records) {
    if (records.empty()) return true;
    bool timedOut = false;
    zysDatabuf_v2 buffer;
    FSRItemArray array;
    if (records.size() == 1) {
        buffer.setExternalBuffer(const_cast<T*>(records.data()), sizeof(T));
        return !network.SendXDRMessage(singleCode, &buffer, 0, kSendSeconds, timedOut).IsError();
    }
    array.count = static_cast<uint32_t>(records.size());
    array.items = records.data();
    buffer.setExternalBuffer(&array, sizeof array);
    return !network.SendXDRMessage(arrayCode, &buffer, 0, kSendSeconds, timedOut).IsError();
}

// Sends records in the layout of the peer's protocol version.
class CItemSender {
public:
    explicit CItemSender(CZyNetwork& network) : m_network(network) {
        unsigned int version = 0;
        ignoreResult(network.GetProtocolVersion(version),
                     "a peer that tells no version gets the oldest layout");
        m_version = version;
    }
    bool send(const std::vector<FSRRestoreItem_90>& items) {
        if (m_version > 4097)
            return sendRecords(m_network, FSR_MSG_RESTORE_ITEM_ARRAY_90, FSR_MSG_RESTORE_ITEM_90, items);
        if (m_version == 4097)
            return sendNarrowed<FSRRestoreItem_80>(FSR_MSG_RESTORE_ITEM_ARRAY_80, FSR_MSG_RESTORE_ITEM_80,
                                                   items);
        return sendNarrowed<FSRRestoreItem>(FSR_MSG_RESTORE_ITEM_ARRAY, FSR_MSG_RESTORE_ITEM, items);
    }

private:
    template <class T>
    bool sendNarrowed(unsigned long arrayCode, unsigned long singleCode,
                      const std::vector<FSRRestoreItem_90>& items) {
        std::vector<T> out;
        out.reserve(items.size());
        for (const FSRRestoreItem_90& i : items) out.push_back(narrowed<T>(i));
        return sendRecords(m_network, arrayCode, singleCode, out);
    }

    CZyNetwork& m_network;
    unsigned int m_version = 0;
};

}  // namespace

struct CRestoreService::TSession {
    bool requested = false;
    FSRLegacyBrowseRequest request;
    std::vector<std::string> paths;
    uint64_t userId = 0;
    std::string clientName;
    uint64_t itemsSent = 0;  // over the session's life, for the fault
    bool faulted = false;
    TItemIndexLease index;
};

namespace {

// Servers of every restore service, so that the plain callbacks find their service. Registration holds
// the lock across the server's construction: a connection that arrives meanwhile waits for it.
CHubMutex g_servicesMutex;
std::map<CZyNetworkServer*, CRestoreService*> g_services GUARDED_BY(g_servicesMutex);

}  // namespace

CRestoreService::CRestoreService(std::shared_ptr<CZydListener> listener, TRestoreServiceOptions options)
    : m_options(std::move(options)) {
    CHubMutexLock lock(g_servicesMutex);
    m_server = std::make_unique<CZyNetworkServer>(&onXdr, &onXml, m_options.serviceName.c_str(),
                                                  std::move(listener));
    g_services[m_server.get()] = this;
}

CRestoreService::~CRestoreService() {
    stop();
    CHubMutexLock lock(g_servicesMutex);
    g_services.erase(m_server.get());
}

void CRestoreService::stop() {
    if (m_server) ignoreResult(m_server->Quit(true, true), "stopping: nothing is left to do when it fails");
}

CRestoreService* CRestoreService::serviceOf(CZyNetworkServer* server) {
    CHubMutexLock lock(g_servicesMutex);
    auto it = g_services.find(server);
    return it == g_services.end() ? nullptr : it->second;
}

void CRestoreService::onXdr(CZyNetworkServer::ZynCallback_e type, CZyNetworkServer* server, long long handle,
                            unsigned long code, zysDatabuf_v2* data) {
    CRestoreService* service = serviceOf(server);
    if (!service) return;
    if (type == CZyNetworkServer::ZYN_CALLBACK_DISCONNECTED)
        service->endSession(handle);
    else
        service->message(handle, code, data);
}

void CRestoreService::onXml(CZyNetworkServer::ZynCallback_e, CZyNetworkServer* server, long long handle,
                            CNMessageBase* message) {
    std::unique_ptr<CNMessageBase> owned(message);
    if (CRestoreService* service = serviceOf(server))
        service->abort(handle, "an XML message on the restore service");
}

CRestoreService::TSession* CRestoreService::session(long long handle) {
    CHubMutexLock lock(m_mutex);
    std::unique_ptr<TSession>& s = m_sessions[handle];
    if (!s) s = std::make_unique<TSession>();
    return s.get();
}

void CRestoreService::endSession(long long handle) {
    CHubMutexLock lock(m_mutex);
    m_sessions.erase(handle);
}

void CRestoreService::abort(long long handle, const char* why) {
    evTaggedLog(kTag, 0, true, "restore session %lld closed: %s", handle, why);
    CZySessionLease network(m_server.get(), handle);
    if (!network) return;
    bool timedOut = false;
    zysStatus status;
    status.status = -1;
    ignoreResult(network->AbortConnection(status, 5, timedOut),
                 "the session ends either way; a peer already gone is no fault");
}

bool CRestoreService::peerMayBrowse(long long handle) {
    CZySessionLease network(m_server.get(), handle);
    if (!network) return false;
    const bool allowed = m_options.peers.mayAskPlain(*network);
    if (!allowed)
        evTaggedLog(kTag, 0, true, "restore session %lld: browse of peer [%s] refused", handle,
                    TPeerRule::peerName(*network).c_str());
    return allowed;
}

void CRestoreService::message(long long handle, unsigned long code, zysDatabuf_v2* data) {
    TSession& s = *session(handle);
    const unsigned char* record = data ? data->getDataBuffer() : nullptr;
    const size_t size = data ? data->getDataSize() : 0;
    auto holds = [&](size_t expected) { return record != nullptr && size == expected; };
    switch (code) {
        case ZYS_PM_WAKEUP_REMOTE_THREAD_REQ:
        case ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4097:
        case ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4098:
            if (!holds(sizeof(FSRLegacyBrowseRequest)))
                return abort(handle, "a browse request of the wrong size");
            if (!peerMayBrowse(handle))
                return abort(handle, "the restore service answers only the Hubmaster");
            std::memcpy(&s.request, record, sizeof s.request);
            s.request.text11 = nullptr;  // points into the received message, which goes with this call
            s.requested = true;
            s.paths.clear();
            s.userId = 0;
            s.clientName.clear();
            return;
        case FSR_MSG_SRC_PATH: {
            if (!s.requested || !holds(sizeof(FSRSrcPath)))
                return abort(handle, "a source path out of place");
            if (s.paths.size() >= kMaxPaths) return abort(handle, "too many source paths");
            const FSRSrcPath* path = reinterpret_cast<const FSRSrcPath*>(record);
            s.paths.emplace_back(path->path ? path->path : "");
            return;
        }
        case FSR_MSG_ORIGINATED_USER_ID:
            if (!s.requested || !holds(sizeof(FSROriginatedUserId)))
                return abort(handle, "a user id out of place");
            s.userId = reinterpret_cast<const FSROriginatedUserId*>(record)->userId;
            return;
        case FSR_MSG_CLIENT_NAME: {
            if (!s.requested || !holds(sizeof(FSRClasterClientName)))
                return abort(handle, "a client name out of place");
            const FSRClasterClientName* name = reinterpret_cast<const FSRClasterClientName*>(record);
            s.clientName.assign(name->name, strnlen(name->name, sizeof name->name));
            CZySessionLease network(m_server.get(), handle);
            if (!network) return;
            const bool vanish = !answer(handle, s, *network);
            ignoreResult(network.release(), "the handle goes back whatever became of the session");
            s.requested = false;
            // The connection's thread drops a connection whose callback gives up this way.
            if (vanish) throw std::runtime_error("the media agent vanishes on purpose");
            return;
        }
        case ZYS_PM_DISCONNECT_REQ: {
            CZySessionLease network(m_server.get(), handle);
            if (!network) return;
            bool timedOut = false;
            ignoreResult(network->ReplyDisconnect(kSendSeconds, timedOut),
                         "the session ends either way; a peer already gone is no fault");
            return;
        }
        default:
            return abort(handle, ("unexpected message " + ZYS_FileSystemRestore_PM_STRING(code)).c_str());
    }
}

namespace {

// One answer of a restore session: the request as asked, the subclient that answers it and what went out.
struct TAnswerRun {
    long long handle;
    CZyNetwork& network;
    const TRestoreServiceOptions& options;
    const FSRLegacyBrowseRequest& request;
    TItemIndexLease& index;
    uint64_t& itemsSent;  // the session's, for the fault
    bool& faulted;        // the session's
    TAsk ask;
    TIndexSubclient sub{};
    CItemSender sender{network};
    bool sent = true;  // false once a batch could not be sent
};

void logAsked(const TAnswerRun& run, const std::string& clientName, uint64_t userId) {
    const TAsk& ask = run.ask;
    evTaggedLog(
        kTag, 1, false,
        "restore session %lld: browse of [%s] subclient %d for [%s] user %llu, from %lld to %lld%s%s%s",
        run.handle, ask.query.path.c_str(), ask.query.appId, clientName.c_str(),
        static_cast<unsigned long long>(userId), static_cast<long long>(ask.query.fromTime),
        static_cast<long long>(ask.query.toTime), ask.count ? ", count" : "", ask.paged ? ", page" : "",
        ask.prediction ? ", prediction" : "");
}

// The subclient held here that answers (a request without one names the client: its one subclient
// here answers); false when there is none, or several.
bool findSubclient(TAnswerRun& run) {
    bool known = false;
    std::vector<TIndexSubclient> all;
    if (run.index && run.index->subclients(all))
        for (const TIndexSubclient& c : all)
            if (run.ask.query.appId != 0 ? c.appId == run.ask.query.appId
                                         : c.clientId == static_cast<int>(run.request.fields55to58[3])) {
                if (known && run.ask.query.appId == 0) return false;  // several: the request must say which
                run.sub = c;
                known = true;
            }
    return known;
}

// Nothing of the subclient asked for (`askedAppId`) is held here: an end without items would read as an
// empty folder, so the session is closed.
void closeUnknownSubclient(TAnswerRun& run, int askedAppId) {
    evTaggedLog(kTag, 0, true, "restore session %lld closed: no subclient %d of client %u here", run.handle,
                askedAppId, static_cast<unsigned>(run.request.fields55to58[3]));
    zysStatus status;
    status.status = -1;
    bool timedOut = false;
    ignoreResult(run.network.AbortConnection(status, kSendSeconds, timedOut),
                 "the caller is gone or told; the session ends either way");
}

// One batch of items, or the count as the one item's name; false when the answer stops here (not sent,
// or the injected fault struck).
bool sendBatch(TAnswerRun& run, const std::vector<TItemVersion>& versions, bool countOnly, int64_t count) {
    std::vector<TItemTexts> texts(countOnly ? 1 : versions.size());
    std::vector<FSRRestoreItem_90> items(texts.size());
    if (countOnly) {
        texts[0].name = std::to_string(count);
        items[0].name = texts[0].name.c_str();
    } else {
        for (size_t k = 0; k < versions.size(); ++k) {
            texts[k].name = run.ask.paged ? std::to_string(versions[k].entry) + '\x12' + versions[k].path
                                          : versions[k].path;
            texts[k].displayName = versions[k].name;
            texts[k].metadata = versions[k].metadata;
            fillItem(versions[k], run.sub, texts[k], items[k]);
        }
    }
    // The fault, when asked for, strikes once the items before it are out.
    const TRestoreServiceOptions& o = run.options;
    if (o.fault != TRestoreFault::None && run.itemsSent + items.size() > o.faultAfter) {
        items.resize(static_cast<size_t>(o.faultAfter - std::min(o.faultAfter, run.itemsSent)));
        run.sender.send(items);
        run.itemsSent += items.size();
        run.faulted = true;
        return false;
    }
    run.sent = run.sender.send(items);
    if (run.sent) reportServed(std::to_string(run.handle), run.itemsSent, run.itemsSent + items.size());
    run.itemsSent += items.size();
    return run.sent;
}

// The archive files that hold the subclient's data in the range, or in the cycle at its end.
void sendPredictions(TAnswerRun& run) {
    const TBrowseQuery& query = run.ask.query;
    std::vector<TIndexArchiveFile> files;
    std::vector<FSRPredictionItem> items;
    const int cycle =
        run.ask.range ? -1 : run.index->cycleAt(run.sub.appId, query.toTime <= 0 ? INT64_MAX : query.toTime);
    std::vector<int> cycles;
    if (cycle >= 0) cycles.push_back(cycle);
    if ((run.ask.range || cycle >= 0) &&
        run.index->archiveFiles(run.sub.appId, query.fromTime, query.toTime, cycles, files))
        for (const TIndexArchiveFile& f : files) {
            FSRPredictionItem p;
            p.kelmarchId = static_cast<uint64_t>(f.kelmarchId);
            p.flags = f.fileType == 1 || f.fileType == 4 ? kPredictionData : kPredictionIndex;
            p.archiveFileId = static_cast<uint64_t>(f.id);
            p.endOffset = static_cast<uint64_t>(f.size);
            p.size = static_cast<uint64_t>(f.size);
            items.push_back(p);
        }
    run.sent = sendRecords(run.network, FSR_MSG_PREDICTION_ITEM_ARRAY, FSR_MSG_PREDICTION_ITEM, items);
}

void sendCount(TAnswerRun& run) {
    int64_t count = 0;
    bool found = false;
    if (run.ask.range ? run.index->countRange(run.ask.query, count, found)
                      : run.index->countAt(run.ask.query, count, found))
        sendBatch(run, {}, true, count);
}

// The items in batches, each continuing from the last item sent (so each costs one page of the index).
void sendListing(TAnswerRun& run) {
    uint64_t remaining = run.ask.query.pageSize ? run.ask.query.pageSize : UINT64_MAX;
    TBrowseQuery q = run.ask.query;
    std::vector<TItemVersion> versions;
    bool found = false;
    while (remaining > 0) {
        q.pageSize = static_cast<uint32_t>(
            std::min<uint64_t>(remaining, std::max<uint32_t>(1, run.options.batchSize)));
        if (!(run.ask.range ? run.index->listRange(q, versions, found)
                            : run.index->listAt(q, versions, found))) {
            evTaggedLog(kTag, 0, true, "restore session %lld: %s", run.handle,
                        run.index->lastError().c_str());
            break;
        }
        if (versions.empty() || !sendBatch(run, versions, false, 0)) break;
        remaining -= versions.size();
        if (versions.size() < q.pageSize) break;
        // The next batch starts after the last item sent (for a range, after that version of its entry).
        q.firstNode = versions.back().entry;
        q.skip = run.ask.range ? versions.back().rangeOrdinal : 1;
    }
}

// After the injected fault struck; false when the connection is to be dropped.
bool endWithFault(TAnswerRun& run) {
    bool timedOut = false;
    switch (run.options.fault) {
        case TRestoreFault::Garbage:
            ignoreResult(
                run.network.SendXMLMessage(0x644c8485, "<BrowseRequest/>", 0, kSendSeconds, timedOut),
                "the injected fault sends and forgets");
            break;
        default:
            break;  // silent: nothing more, the session stays open; vanish: the caller drops it
    }
    evTaggedLog(kTag, 0, false, "restore session %lld: fault after %llu items", run.handle,
                static_cast<unsigned long long>(run.itemsSent));
    reportFault(std::to_string(run.handle), run.itemsSent);
    return run.options.fault != TRestoreFault::Vanish;
}

// The end of the answer; false (logged) when it, or the answer before it, could not be sent.
bool sendEnd(TAnswerRun& run) {
    bool timedOut = false;
    if (run.sent &&
        !run.network.SendXDRMessage(FSR_MSG_RESTORE_END, nullptr, 0, kSendSeconds, timedOut).IsError())
        return true;
    evTaggedLog(kTag, 0, true, "restore session %lld: the answer could not be sent: %s", run.handle,
                run.network.GetLastErrorGenericText().c_str());
    return false;
}

// One line per request at level 0: who asked (by proven name), what and for which user and client by
// name, the items and the time. A classic request names no browse session, so the line names none.
void logServed(const TAnswerRun& run, uint64_t userId, uint64_t itemsBefore,
               CHubClock::Steady::time_point started) {
    const std::string peer = TPeerRule::peerName(run.network);
    evTaggedLog(
        kTag, 0, false,
        "request by [%s]: restore browse of [%s] subclient %d of client [%s] for user [%s] (id %llu): "
        "items=%llu in %lld ms",
        peer.empty() ? "an anonymous caller" : peer.c_str(), run.ask.query.path.c_str(), run.ask.query.appId,
        fieldText(run.request.string6, sizeof run.request.string6).c_str(),
        userNameOf(run.request, userId).c_str(), static_cast<unsigned long long>(userId),
        static_cast<unsigned long long>(run.itemsSent - itemsBefore),
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(CHubClock::real().steadyNow() - started)
                .count()));
}

}  // namespace

bool CRestoreService::answer(long long handle, TSession& s, CZyNetwork& network) {
    if (s.faulted) return true;  // a silent fault stays silent
    std::string error;
    if (!s.index && !(s.index = lendItemIndex(m_options.indexPath, error))) {
        evTaggedLog(kTag, 0, true, "restore session %lld: %s", handle, error.c_str());
    }
    TAnswerRun run{.handle = handle,
                   .network = network,
                   .options = m_options,
                   .request = s.request,
                   .index = s.index,
                   .itemsSent = s.itemsSent,
                   .faulted = s.faulted,
                   .ask = readRequest(s.request)};
    const auto started = CHubClock::real().steadyNow();
    const uint64_t itemsBefore = s.itemsSent;
    logAsked(run, s.clientName, s.userId);
    const int askedAppId = run.ask.query.appId;
    const bool known = findSubclient(run);
    run.ask.query.appId = run.sub.appId;
    if (!known) {
        closeUnknownSubclient(run, askedAppId);
        return true;
    }
    if (run.ask.prediction)
        sendPredictions(run);
    else if (run.ask.count)
        sendCount(run);
    else
        sendListing(run);
    if (s.faulted) return endWithFault(run);
    if (sendEnd(run)) logServed(run, s.userId, itemsBefore, started);
    return true;
}

}  // namespace mediaagent
