#include "planning/browsetask.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "Db/Tbl/APP_Application.h"
#include "fbDebug/fbdebug.h"
#include "planning/confmgr.h"
#include "planning/confrecord.h"
#include "planning/superbrowsemanager.h"
#include "platform/archive/archivemanagerhm.h"
#include "platform/db/dbresult.h"
#include "platform/entities/applicationid.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/recordedkind.h"
#include "platform/entities/sdversion.h"
#include "platform/entities/zyclient.h"
#include "platform/entities/zyglobalparam.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/errors/evmessageids.h"
#include "platform/msg/msg_classes.h"
#include "platform/msg/sessionidlimit.h"
#include "platform/net/zynet_options.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndata.h"
#include "platform/tasks/taskoptions.h"

namespace {

const char* const kTag = "FBHMTASK";
const char* const kOracleTag = "setBrowseTaskExOracle";

// Global parameters of end-user erase.
const char* const ZY_HM_ENABLE_END_USER_ERASE = "ZY_HM_ENABLE_END_USER_ERASE";
const char* const ZY_HM_ENABLE_FS_END_USER_ERASE = "ZY_HM_ENABLE_FS_END_USER_ERASE";

constexpr uint64_t kOptionCleared = 0x1000000000000ULL;  // bit 48, not handed on
constexpr char kPathCutMarker = 0x12;

// One extended option and the options1 bit it stands for.
struct TOptionBit {
    unsigned option;
    uint64_t bit;
};

// Virtual servers (106): the first of these that is set, else 0x10.
constexpr std::array<TOptionBit, 4> kVirtualServerBits{{{59, 0x10}, {61, 0x20}, {60, 0x40}, {96, 0x200000}}};
constexpr uint64_t kVirtualServerDefaultBit = 0x10;
// The application types of list L (the block-level family): each of these, independently.
constexpr std::array<TOptionBit, 2> kListTypeBits{{{61, 0x20}, {96, 0x200000}}};
// Every application type. Option 0x20000000 lies past the 1,024 positions of the string, so it reads
// as unset (the readers of options1 rely on the other bits only).
constexpr std::array<TOptionBit, 15> kAnyTypeBits{{{110, 0x200000000ULL},
                                                   {111, 0x400000000ULL},
                                                   {108, 0x80000000ULL},
                                                   {88, 0x200},
                                                   {89, 0x8000},
                                                   {80, 0x40000},
                                                   {90, 0x20000},
                                                   {99, 0x1000000},
                                                   {91, 0x80000},
                                                   {98, 0x800000},
                                                   {100, 0x2000000},
                                                   {101, 0x80000000000000ULL},
                                                   {97, 0x400000},
                                                   {102, 0x8000000},
                                                   {0x20000000, 0x20000000}}};

uint64_t optionBits(const EvMultiEntityRestoreTask& task) {
    const apptype::EAppType appType = task.getAppType();
    uint64_t bits = 0;
    if (appType == apptype::kVirtualServer) {
        auto set = std::find_if(kVirtualServerBits.begin(), kVirtualServerBits.end(),
                                [&](const TOptionBit& b) { return task.isSet(b.option); });
        bits |= set == kVirtualServerBits.end() ? kVirtualServerDefaultBit : set->bit;
    } else if (apptype::in(apptype::family::kBlockLevel, appType)) {
        for (const TOptionBit& b : kListTypeBits) {
            if (task.isSet(b.option)) bits |= b.bit;
        }
    }
    for (const TOptionBit& b : kAnyTypeBits) {
        if (task.isSet(b.option)) bits |= b.bit;
    }
    return bits;
}

bool isOracle(apptype::EAppType appType) {
    return apptype::in(apptype::family::kOracle, appType);
}
bool isOracleSap(apptype::EAppType appType) {
    return apptype::in(apptype::family::kOracleSap, appType);
}
bool correctsPath(apptype::EAppType appType) {
    return apptype::in(apptype::family::kVirtualMachine, appType);
}

std::string pathOrEmpty(const char* path) {
    return path ? path : "";
}

}  // namespace

namespace browsetime {

bool isNoLimit(uint64_t time) {
    return time == 0 || time == 0xFFFFFFFFULL || time == kNoLimit;
}

uint64_t limitOrNone(uint64_t time) {
    return isNoLimit(time) ? kNoLimit : time;
}

}  // namespace browsetime

std::string legacyUserText(uint64_t userId, const std::string& userName) {
    return std::to_string(userId) + std::to_string(12) + userName;
}

namespace within32bits {

constexpr uint32_t kLargest = 0xFFFFFFFF;

int64_t value(int64_t value) {
    return std::min<int64_t>(value, kLargest);
}

namespace {
void keepField(CNMessageBase* owner, const MsgFieldRef& field) {
    if (owner && owner->isSet(field) && owner->getint64(field) > int64_t{kLargest})
        owner->setint64(field, kLargest);
}
CNMessageBase* childOf(CNMessageBase* owner, const MsgFieldRef& field) {
    return owner && owner->isSet(field) ? owner->getObjectAccessor(field, false) : nullptr;
}

}  // namespace

void keep(databrowse::BrowseRequest& request) {
    entityids::keepEverySubclient(childOf(&request, databrowse::BrowseRequest::f::entity));
    if (request.isSet(databrowse::BrowseRequest::f::filteredEntities))
        if (auto* entities = request.getlistobject(databrowse::BrowseRequest::f::filteredEntities, false))
            for (CNMessageBase& listed : *entities)
                entityids::keepEverySubclient(childOf(&listed, databrowse::EntityWithFilters::f::entity));
    CNMessageBase* range = childOf(&request, databrowse::BrowseRequest::f::timeRange);
    keepField(range, databrowse::BrowseTimeRange::f::fromTime);
    keepField(range, databrowse::BrowseTimeRange::f::toTime);
    auto* queries = request.isSet(databrowse::BrowseRequest::f::queries)
                        ? request.getlistobject(databrowse::BrowseRequest::f::queries, false)
                        : nullptr;
    if (queries)
        for (CNMessageBase& query : *queries) keepPaging(query);
}

void keepPaging(CNMessageBase& query) {
    CNMessageBase* paging =
        childOf(childOf(&query, databrowse::Query::f::dataParam), databrowse::DataParam::f::paging);
    keepField(paging, databrowse::Msg6::f::skipNode);
    keepField(paging, databrowse::Msg6::f::pageSize);
}

void keep(EvMultiEntityRestoreTask& task) {
    if (static_cast<int64_t>(task.getSubClientId()) == int64_t{kLargest}) task.setSubClientId(-1);
    task.setFromTime(static_cast<long>(value(task.getFromTime())));
    task.setToTime(static_cast<long>(value(task.getToTime())));
    // A caller's negative value (beyond 63 bits here) is left for outOfRange to refuse.
    auto kept = [](unsigned long value) {
        return static_cast<int64_t>(value) < 0 ? value : std::min<unsigned long>(value, kLargest);
    };
    task.setEmSkipNode(kept(task.getEmSkipNode()));
    task.setEmPageSize(kept(task.getEmPageSize()));
}

namespace {

// Why the integer in `field` of `owner` cannot be taken; empty when absent or in range.
std::string timeOutOfRange(const CNMessageBase* owner, const MsgFieldRef& field, const char* what) {
    if (!owner || !owner->isSet(field)) return {};
    const int64_t value = owner->getint64(field);
    return value < 0 ? entityids::outOfRangeText(what, value) : std::string();
}

}  // namespace

std::string outOfRangePaging(const CNMessageBase& query) {
    const CNMessageBase* paging =
        childOf(childOf(const_cast<CNMessageBase*>(&query), databrowse::Query::f::dataParam),
                databrowse::DataParam::f::paging);
    if (std::string why = timeOutOfRange(paging, databrowse::Msg6::f::skipNode, "skip"); !why.empty())
        return why;
    return timeOutOfRange(paging, databrowse::Msg6::f::pageSize, "page size");
}

std::string outOfRange(const databrowse::BrowseRequest& request) {
    if (std::string why = databrowse::sessionIdRefusal(request); !why.empty()) return why;
    auto& r = const_cast<databrowse::BrowseRequest&>(request);
    const CNMessageBase* range = childOf(&r, databrowse::BrowseRequest::f::timeRange);
    if (std::string why = timeOutOfRange(range, databrowse::BrowseTimeRange::f::fromTime, "from-time");
        !why.empty())
        return why;
    if (std::string why = timeOutOfRange(range, databrowse::BrowseTimeRange::f::toTime, "to-time");
        !why.empty())
        return why;
    if (std::string why = entityids::outOfRange(childOf(&r, databrowse::BrowseRequest::f::entity));
        !why.empty())
        return why;
    if (r.isSet(databrowse::BrowseRequest::f::filteredEntities))
        if (auto* entities = r.getlistobject(databrowse::BrowseRequest::f::filteredEntities, false))
            for (CNMessageBase& listed : *entities)
                if (std::string why =
                        entityids::outOfRange(childOf(&listed, databrowse::EntityWithFilters::f::entity));
                    !why.empty())
                    return why;
    if (r.isSet(databrowse::BrowseRequest::f::queries))
        if (auto* queries = r.getlistobject(databrowse::BrowseRequest::f::queries, false))
            for (const CNMessageBase& query : *queries)
                if (std::string why = outOfRangePaging(query); !why.empty()) return why;
    return {};
}

std::string outOfRange(const EvMultiEntityRestoreTask& task) {
    if (const char* guid = task.getbrowseSessionGUID())
        if (std::string why = databrowse::sessionIdRefusal(std::strlen(guid)); !why.empty()) return why;
    if (task.getFromTime() < 0) return entityids::outOfRangeText("from-time", task.getFromTime());
    if (task.getToTime() < 0) return entityids::outOfRangeText("to-time", task.getToTime());
    // Unsigned in the task: a caller's negative value arrives as one beyond 63 bits.
    if (static_cast<int64_t>(task.getEmSkipNode()) < 0)
        return entityids::outOfRangeText("skip", static_cast<int64_t>(task.getEmSkipNode()));
    if (static_cast<int64_t>(task.getEmPageSize()) < 0)
        return entityids::outOfRangeText("page size", static_cast<int64_t>(task.getEmPageSize()));
    const struct {
        const char* what;
        int64_t value;
        int64_t none;
    } ids[] = {{"client id", task.getClientId(), entityids::kNone},
               {"subclient id", task.getSubClientId(), entityids::kNone},
               {"backup set id", task.getBackupSetId(), entityids::kNone},
               {"instance id", task.getInstanceId(), entityids::kNoInstance},
               {"application type", apptype::code(task.getAppType()), entityids::kNone},
               {"Kelmarch id", task.getKelmarchId(), entityids::kNone}};
    for (const auto& id : ids)
        if (std::string why = entityids::outOfRange(id.what, id.value, id.none); !why.empty()) return why;
    return {};
}

}  // namespace within32bits

CBrowseTask::CBrowseTask() = default;

CBrowseTask::~CBrowseTask() {
    cleanUp();
}

void CBrowseTask::setLastError(databrowse::BrowseErrorCode code, const std::string& text) {
    m_lastErrorCode = code;
    m_lastError = text;
}

void CBrowseTask::endChannel() {
    if (!m_data.restoreReturn) return;
    m_data.restoreReturn->dumpBuffer(9);
    if ((m_data.options & taskoption::kNested) == 0) m_data.restoreReturn->end(0);
}

void CBrowseTask::cleanUp() {
    delete m_data.sdVersion;
    m_data.sdVersion = nullptr;
    if (m_data.restoreReturn) {
        endChannel();
        delete m_data.restoreReturn;
        m_data.restoreReturn = nullptr;
    }
}

void CBrowseTask::setUpReturnChannel(EvMultiEntityRestoreTask* task) {
    m_data.task = task;
    if (task) {
        m_data.requestUserId = static_cast<uint32_t>(task->getUserId());
        m_data.browseSessionGuid = task->getbrowseSessionGUID();
    }
    init(task, nullptr);
    if (task->getSubClientId() > 0) m_data.isSubclientBrowse = 1;
    setRestoreReturn(task);
}

int CBrowseTask::initReturnChannel(EvMultiEntityRestoreTask* task) {
    m_lastErrorCode = {};
    m_lastError.clear();
    try {
        setUpReturnChannel(task);
        return 1;
    } catch (const char* text) {
        CBrowseLog(kTag).debugLvl(0, "Exception: %s", text);
        return 0;
    }
}

int CBrowseTask::initBrowse(EvMultiEntityRestoreTask* task) {
    CBrowseLog log(kTag);
    // An error of an earlier set-up of this task is no error of this one.
    m_lastErrorCode = {};
    m_lastError.clear();
    try {
        setUpReturnChannel(task);

        if (isOracle(m_data.appType)) {
            SuperBrowseManager planner(task);
            bool indexingV2 = false;
            apptype::EAppType idxAppType{};
            const unsigned long long switchTime =
                planner.determineBrowseIndexingVersion(indexingV2, idxAppType);
            m_indexingV2 = indexingV2 ? 1 : 0;
            // A to-time of 0 asks for the latest backups: no switch time lies after it.
            if (m_indexingV2 && static_cast<long long>(switchTime) >
                                    static_cast<long long>(
                                        browsetime::limitOrNone(static_cast<uint64_t>(task->getToTime())))) {
                char* extended = task->getExtendedOption();
                extended[106] = '1';
                extended[107] = '0';
            }
        }

        const long subclient = task->getSubClientId();
        if (isOracleSap(m_data.appType)) {
            if (subclient < 1) throw "ERROR: GUI did not specify valid AppId.";
            log.debugLvl(2, "setAppId will be called for AppId %ld for Oracle SAP:", subclient);
            if (setAppId(task, subclient) != 0) throw "failed to determine appid for restore task";
        } else if (isOracle(m_data.appType) && !m_indexingV2) {
            log.debugLvl(2, "setAppId will be called for AppId %ld", subclient);
            if (setAppId(task, subclient) != 0) throw "failed to determine appid for restore task";
        } else {
            log.debugLvl(2, "setAppId will be called for AppId %ld", subclient);
            if (setAppId(task, -1) != 0) {
                // A refusal (the session is another caller's) is the caller's answer, logged where it
                // was decided: no fault of the set-up.
                if (m_lastErrorCode == databrowse::BROWSE_ERR_PERMISSION) return 0;
                if (m_lastErrorCode != databrowse::BROWSE_ERR_NOTHING_TO_BROWSE) {
                    throw "failed to determine appid for restore task";
                }
                EvMessageContainer message;
                message.SetMessageID(evmsg::kNoBackupsFound, true);
                setLastError(
                    databrowse::BROWSE_ERR_NOTHING_TO_BROWSE,
                    getErrorMsgContainer(message, static_cast<unsigned long>(task->getTaskLocale())));
                throw "No Backups found";
            }
        }
        log.debugLvl(2, " initialization complete.");
        return 1;
    } catch (const char* text) {
        log.debugLvl(0, "Exception: %s", text);
        // What stopped the set-up is the caller's reason unless a more precise one was recorded.
        if (m_lastError.empty()) {
            std::string why = text;
            if (why.rfind("ERROR: ", 0) == 0) why.erase(0, 7);
            setLastError(m_lastErrorCode != databrowse::BROWSE_ERR_NONE ? m_lastErrorCode
                                                                        : databrowse::BROWSE_ERR_GENERIC,
                         "The browse could not be set up: " + why);
        }
        return 0;
    }
}

void CBrowseTask::init(EvMultiEntityRestoreTask* task, CPredictionClient*) {
    cleanUp();
    if (!task) throw "ERROR: Wrong parameter. EventRestoreTask=NULL";
    TBrowseTask& d = m_data;
    d.taskString1 = task->getFcsPhrase();
    d.taskString2 = task->getWebServerHostName();
    d.browseViewName = task->getBrowseViewName();
    d.kelmarchId = static_cast<uint64_t>(task->getKelmarchId());
    d.srcClientId = static_cast<uint32_t>(task->getClientId());
    d.destClientId =
        task->getDestClientId() != 0 ? static_cast<uint32_t>(task->getDestClientId()) : d.srcClientId;
    d.appType = task->getAppType();
    d.instanceId = static_cast<uint64_t>(task->getInstanceId());
    d.backupSetId = static_cast<uint32_t>(task->getBackupSetId());
    d.fromTime = static_cast<uint64_t>(task->getFromTime());
    d.taskValue = static_cast<uint64_t>(task->getTaskId());
    d.toTime = static_cast<uint64_t>(task->getToTime());
    d.options = task->getOptions();
    d.options1 = task->getOptions1();
    d.jobId = task->getJobId();
    d.copyPrecedence = static_cast<uint32_t>(task->getArchGroupCopyPrecedence());
    d.spareValue = 0;
    d.em = static_cast<uint32_t>(task->getEmFunction());
    d.skipNode = static_cast<uint32_t>(task->getEmSkipNode());
    d.firstNode = static_cast<uint64_t>(task->getEmFirstNode());
    d.pageSize = static_cast<uint32_t>(task->getEmPageSize());
    d.userId = static_cast<uint64_t>(task->getUserId());
    d.browseItemFlushCount = task->getBrowseItemFlushCount();
    d.findPattern = task->getbrowseFindPattern();
    d.browsePath = pathOrEmpty(task->getPath(EvRestoreTask::kBrowsePathList));
    d.auxPath = pathOrEmpty(task->getPath(EvRestoreTask::kSecondPathList));

    d.options1 |= optionBits(*task);
    d.options &= ~kOptionCleared;

    ZYClient source(static_cast<unsigned long>(d.kelmarchId), d.srcClientId);
    ZYClient destination(static_cast<unsigned long>(d.kelmarchId), d.destClientId);
    if (source.getNetworkHostname(d.srcHostName) != 0)
        throw "ERROR: cannot get source client's network host name";
    if (destination.getNetworkHostname(d.destHostName) != 0) {
        throw "ERROR: could not get destination client's network host name";
    }
    d.localHostName = zynet::localHostName();
    d.userName = task->getUserName();

    if (g_poConfMgr && d.browseSessionGuid) {
        if (CConfRecordRef record = g_poConfMgr->holdConfRec(d.browseSessionGuid)) {
            d.endUserEraseEnabled = record->getEndUserEraseEnabled() ? 1 : 0;
            std::string token = record->getAuthToken();
            if (!token.empty()) d.authToken = token;
        }
    }
}

void CBrowseTask::setRestoreReturn(EvMultiEntityRestoreTask* task) {
    const bool flag = (task->getOptions() & taskoption::kNested) == 0;
    m_data.restoreReturn = new (std::nothrow) EvRestoreReturn(
        static_cast<long long>(m_data.jobId),
        static_cast<int>(static_cast<uint32_t>(task->getOptions() & 0xFFFFFFFFULL)), flag, nullptr, nullptr);
    if (!m_data.restoreReturn) throw "failed to construct EvRestoreReturn object";
}

int CBrowseTask::setAppId(EvMultiEntityRestoreTask* task, long appId) {
    CBrowseLog log(kTag);
    // The reference taken by openConfRef, given back on every failure after it.
    CConfRecordRef held;  // the reference openConfRef took for this request
    std::string heldId;
    try {
        if (!task) throw std::string("ERROR: EventRestoreTask = NULL");
        if (appId == 0) throw std::string("ERROR: subclientId = 0");
        const apptype::EAppType appType = task->getAppType();

        if (appId > 0) {
            if (isOracle(appType)) {
                m_data.subclientId = static_cast<uint32_t>(appId);
                if (setBrowseTaskExOracle(m_data) != 0) throw std::string("failed to initialize browse task");
                return 0;
            }
            ApplicationId application(static_cast<unsigned long>(task->getKelmarchId()),
                                      static_cast<unsigned long>(task->getClientId()), apptype::code(appType),
                                      static_cast<unsigned long>(task->getInstanceId()),
                                      static_cast<unsigned long>(task->getBackupSetId()),
                                      static_cast<unsigned long>(appId));
            unsigned long resolved = 0;
            if (application.getAppId(resolved, nullptr) != 0) {
                log.debugLvl(0, "failed to get applicationId for subclient [%ld]", appId);
                resolved = 0;
            }
            if (auto subclient = application.getSubclient(nullptr)) {
                m_data.subclientName = subclient->getName();
            } else {
                log.debugLvl(0, "failed to get subclient name for subclient [%lu]", resolved);
            }
            m_data.subclientId = static_cast<uint32_t>(appId);
            m_data.appId = static_cast<uint32_t>(resolved);
            return 0;
        }

        const char* pathText = task->getPath(EvRestoreTask::kBrowsePathList);
        if (!pathText) throw std::string("ERROR: Getting source path failed - abandoning browse request");
        std::string path = pathText;
        if (correctsPath(appType)) log.debugLvl(8, "Before correcting the pathBuf for IL: %s", path.c_str());
        if ((task->getOptions() & taskoption::kExactBrowse) == 0) {
            const size_t cut = path.rfind(kPathCutMarker);
            if (cut != std::string::npos) path.resize(cut);
        }
        if (correctsPath(appType)) log.debugLvl(8, "After correcting the pathBuf for IL: %s", path.c_str());

        if (task->getSubClientId() > 0 && appType == apptype::kNotes) {
            bool tranLog = false;
            Subclient subclient(static_cast<unsigned long>(task->getSubClientId()));
            if (subclient.isTranLogSubclient(tranLog, nullptr) == 0 && tranLog) {
                int release = 0;
                ZYClient(static_cast<unsigned long>(task->getKelmarchId()),
                         static_cast<unsigned long>(task->getClientId()))
                    .getReleaseId(release);
                if (release < 16) {
                    log.debugLvl(
                        0,
                        "Subclient-level browse on Notes Database transaction log subclient [%ld] will be "
                        "converted to instance-level browse operation.",
                        task->getSubClientId());
                    task->setSubClientId(0);
                }
            }
        }

        if (!g_poConfMgr) throw std::string("ERROR: the configuration cache does not exist");
        bool created = false;
        TConfError error;
        const std::string id = g_poConfMgr->openConfRef(task, created, error);
        m_data.confCreated = created ? 1 : 0;
        if (id.empty()) {
            setLastError(error.code, error.text);
            // No backups, or a refusal (the session is another caller's, logged where it was decided):
            // the caller's answer, no fault of the set-up.
            if (error.code == databrowse::BROWSE_ERR_NOTHING_TO_BROWSE ||
                error.code == databrowse::BROWSE_ERR_PERMISSION)
                return -1;
            throw "failed to open configuration for browse path [" + path + "]";
        }
        heldId = id;
        held = CConfRecordRef(g_poConfMgr->getConfRec(id, false));
        if (!held) throw "ERROR: Configuration[" + id + "] was not found.";
        if (held->getStaleFlag()) throw "ERROR: Stop request received for the Configuration[" + id + "].";

        held->insertWorkerInConf(m_data.workerId);
        // Erase filters: looked for once per record, opened again for every request of a record that has
        // them.
        const int check = held->getFilterCheck();
        if (check != 0) {
            bool found = true;
            if (initSelectiveDeletion(task, found) != 0) {
                throw "ERROR: failed to initialize filter index for browse path [" + path + "] with code[" +
                    std::to_string(check) + "]";
            }
            if (check == -1) held->setFilterCheck(found ? 1 : 0);
        }
        held->setEndUserEraseEnabled(m_data.endUserEraseEnabled != 0);
        std::vector<char> pathBuffer(path.begin(), path.end());
        pathBuffer.push_back('\0');
        if (held->setBrowseTaskEx(pathBuffer.data(), m_data) != 0) {
            setLastError(held->getLastErrorCode(), held->getLastError());
            throw "failed to initialize browse task for with configuration [" + id + "] path [" + path + "]";
        }
        m_data.confId = id;
        held.keep();  // the request gives it back at its end
        return 0;
    } catch (const std::string& text) {
        log.debugLvl(0, "failed to initialize subclient to be used for browse, error [%s]", text.c_str());
        if (held) {
            // The request will not run: leave the session as if it had never joined it.
            held->removeWorkerFromConf(m_data.workerId);
            held.release();
            g_poConfMgr->deleteConfRec(heldId);
        }
        return -1;
    }
}

int CBrowseTask::initSelectiveDeletion(EvMultiEntityRestoreTask* task, bool& found) {
    CBrowseLog log(kTag);
    std::string hubmasterName;
    if (ZYClient(ZYClient::hubmasterClientId()).getName(hubmasterName) != 0) {
        log.debugLvl(0, "ERROR: Failed to fetch hubmaster client name");
        return -1;
    }
    SDArgs args;
    args.clientId = m_data.srcClientId;
    args.appType = static_cast<unsigned long long>(task->getAppType());
    args.serverName = hubmasterName.c_str();

    delete m_data.sdVersion;
    m_data.sdVersion = new (std::nothrow) SDVersion();
    if (!m_data.sdVersion) {
        log.debugLvl(0, "ERROR: Failed to allocate memory for SDVersion object.");
        return -1;
    }

    int enabled = 0;
    zydb::CRequestReads* reads = task->requestReads();
    if (ZYGlobalParam::get(reads, ZY_HM_ENABLE_END_USER_ERASE, enabled) != 0 || enabled == 0) {
        enabled = 0;
        if (ZYGlobalParam::get(reads, ZY_HM_ENABLE_FS_END_USER_ERASE, enabled) != 0) enabled = 0;
    }
    m_data.endUserEraseEnabled = 0;
    if (enabled != 0) {
        APP_Application apps(nullptr);
        apps.setIsolationType(4);
        apps.setWhere(
            "clientId=%d and id in (select componentNameId from APP_SubClientProp where AttrName='EndUser "
            "Erase "
            "Enabled' and attrVal='1')",
            static_cast<int>(m_data.srcClientId));
        apps.setTop(1);
        if (apps.getOneRow(&apps, false, -1, 0) == zydb::DB_OK && apps.getDataPtr()->appTypeId > 0) {
            m_data.endUserEraseEnabled = 1;
        }
        apps.closeCursor();
    }

    m_data.sdVersion->setRequestReads(reads);  // for this open only: the version outlives the request
    const int opened = m_data.sdVersion->open(args, true);
    m_data.sdVersion->setRequestReads(nullptr);
    if (opened == 1) {
        log.debugLvl(0, "found erase index for client [%lu] apptype [%lu]",
                     static_cast<unsigned long>(args.clientId), static_cast<unsigned long>(args.appType));
        return 0;
    }
    int result = 0;
    if (opened == 0) {
        found = false;
        log.debugLvl(8, "There are no Selective Deletion filters available for ClientId=%lu; appId=%lu.",
                     static_cast<unsigned long>(args.clientId), static_cast<unsigned long>(args.appType));
    } else {
        // Browsing on without the filters would show what end users erased: fail the browse instead.
        log.debugLvl(
            0, "ERROR: Failed to open filters. Selective Deletion Mode is canceled. ClientId=%lu; appId=%lu.",
            static_cast<unsigned long>(args.clientId), static_cast<unsigned long>(args.appType));
        result = -1;
    }
    if (m_data.sdVersion->impersonatedUser()) result = -1;
    delete m_data.sdVersion;
    m_data.sdVersion = nullptr;
    return result;
}

int setBrowseTaskExOracle(TBrowseTask& record) {
    CBrowseLog log(kOracleTag);
    if (record.backupSetId != 0 && record.subclientId != 0) {
        record.appId = record.subclientId;
        log.debugLvl(2, "TaskEx initialization was skipped for Oracle - everything is set.");
        return 0;
    }
    log.debugLvl(2, "begin TaskEx initialization for Oracle");
    if (!record.task) return -1;
    EvMultiEntityRestoreTask& task = *record.task;
    GetAfileByTimeArgsHM_t args;
    args.searchMode = 62;
    // A to-time of 0 asks for the newest file, as the other "no limit" values do.
    args.searchTime = browsetime::limitOrNone(static_cast<uint64_t>(task.getToTime()));
    args.copyPrecedence = task.getArchGroupCopyPrecedence();
    args.optionA = -1;
    args.exactFlag = 1;
    GetAfileByTimeRetHM_t result;
    int appId = 0;
    int backupSetId = 0;
    ArchiveManagerHM archiveManager(nullptr);
    const auto appType = static_cast<unsigned long>(static_cast<uint32_t>(task.getAppType()));
    const auto instanceId = static_cast<unsigned long>(static_cast<uint32_t>(task.getInstanceId()));
    if (archiveManager.getLastAfileOfInstance(record.destClientId, appType, instanceId, &args, &result, appId,
                                              record.subclientName, backupSetId, record.backupSetName) != 0) {
        log.debugLvl(
            0, "ERROR: oAmhm.getLastAfileOfInstance() failed for clientId=%lu, appTypeId=%lu, instanceId=%lu",
            static_cast<unsigned long>(record.destClientId), appType, instanceId);
        return -1;
    }
    int chosen = appId;
    if (record.appId != 0) {
        chosen = static_cast<int>(record.appId);
        log.debugLvl(0, "Subclient browse - set appId to received %d", chosen);
    }
    log.debugLvl(8,
                 "AppId returned from oAmhm.getLastAfileOfInstance() is %d , (Received AppId %d), Received "
                 "subClientId=%d",
                 chosen, static_cast<int>(record.appId), static_cast<int>(record.subclientId));
    record.backupSetId = static_cast<uint32_t>(backupSetId);
    record.appId = static_cast<uint32_t>(chosen);
    record.subclientId = static_cast<uint32_t>(chosen);
    log.debugLvl(2, "TaskEx initialization was finished successfully.");
    return 0;
}
