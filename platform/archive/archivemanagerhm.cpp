// ArchiveManagerHM over the Hubmaster database: each call loads what it needs with a few queries on the
// calling thread's connection and chooses in memory, following the rules in the header.
#include "platform/archive/archivemanagerhm.h"

#include <algorithm>
#include <map>
#include <memory>

#include "platform/archive/archmgrseam.h"
#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/db/dbtable.h"
#include "platform/db/requestscope.h"
#include "platform/hubdb/archivefiles.h"
#include "platform/log/evdebug.h"

using zydb::DbValue;

namespace {

constexpr const char* kTag = "ArchiveManagerHM";
constexpr int kNoLimit = 0x7fffffff;

DbValue I(long long v) {
    return DbValue::ofInt(v);
}

// The seam's answer for this call, or 0 to run it. Logged, so that a test run shows why a call failed.
int plantedResult(ArchMgrOp op, uint64_t subject, uint64_t mode) {
    const int rc = archMgrSeamResult(op, subject, mode);
    if (rc != 0) {
        EvDebug log(nullptr);
        log.setPrefixMessage(kTag);
        log.debugLvl(2, "%s: planted result [%d] for [%lu]", archMgrOpName(op), rc,
                     static_cast<unsigned long>(subject));
    }
    return rc;
}

int refuse(ArchMgrOp op, const char* why) {
    EvDebug log(nullptr);
    log.setPrefixMessage(kTag);
    log.debugLvl(-1, "%s: refused, %s", archMgrOpName(op), why);
    return zydb::DB_ERR_ARGUMENT;
}

// The start of every call that takes records: both are given, and no failure is planted for it.
template <class A, class S, class M = uint64_t>
int enter(ArchMgrOp op, const A* args, const void* ret, S A::*subject, M A::*mode = nullptr) {
    if (args == nullptr || ret == nullptr) return refuse(op, "no argument or result record");
    return plantedResult(op, static_cast<uint64_t>(args->*subject), mode != nullptr ? args->*mode : 0);
}

// ---- queries --------------------------------------------------------------------------------------

// The connection of one call: the calling thread's, or the given transaction's. A failure is logged
// once here, with the call's name.
class Query {
public:
    explicit Query(ArchMgrOp op, DBtran* tran = nullptr) : m_op(op) {
        std::string error;
        if (tran != nullptr) {
            m_conn = tran->tranConnection();
            if (!m_conn) m_rc = fail(zydb::DB_ERR_STATE, "the transaction has no connection");
        } else {
            m_conn = zydb::CDbEnv::threadConnection(&m_rc, &error);
            if (!m_conn) m_rc = fail(m_rc != zydb::DB_OK ? m_rc : zydb::DB_ERR_NOT_OPEN, error);
        }
    }
    // Calls onRow for every row. DB_OK at the end of the rows, else the error.
    template <class F>
    int each(const std::string& sql, const std::vector<DbValue>& params, F onRow) {
        if (m_rc != zydb::DB_OK) return m_rc;
        std::unique_ptr<zydb::IDbStatement> st;
        int rc = zydb::prepareBound(*m_conn, sql, params, st);
        if (rc == zydb::DB_OK) {
            while ((rc = st->step()) == zydb::DB_OK) onRow(static_cast<const zydb::IDbRow&>(*st));
            if (rc == zydb::DB_NO_DATA) return zydb::DB_OK;
        }
        return fail(rc, m_conn->lastError());
    }
    // Runs `f` on the connection: DB_OK, else the error it returned.
    template <class F>
    int with(F f) {
        if (m_rc != zydb::DB_OK) return m_rc;
        int rc = f(*m_conn);
        return rc == zydb::DB_OK ? rc : fail(rc, m_conn->lastError());
    }
    // The first row only: DB_OK with a row, DB_NO_DATA without, else the error.
    template <class F>
    int first(const std::string& sql, const std::vector<DbValue>& params, F onRow) {
        bool seen = false;
        int rc = each(sql, params, [&](const zydb::IDbRow& r) {
            if (!seen) onRow(r);
            seen = true;
        });
        return rc != zydb::DB_OK ? rc : seen ? zydb::DB_OK : zydb::DB_NO_DATA;
    }

private:
    int fail(int rc, const std::string& text) {
        EvDebug log(nullptr);
        log.setPrefixMessage(kTag);
        log.debugLvl(-1, "%s: database query failed, error [%d] [%s]", archMgrOpName(m_op), rc,
                     text.empty() ? zydb::dbResultText(rc) : text.c_str());
        return rc;
    }

    ArchMgrOp m_op;
    int m_rc = zydb::DB_OK;
    std::shared_ptr<zydb::IDbConnection> m_conn;
};

int col(const zydb::IDbRow& r, int c) {
    return static_cast<int>(r.columnInt64(c));
}
std::string text(const zydb::IDbRow& r, int c) {
    return std::string(r.columnText(c));
}

// The copy id that precedence ?2 names in the storage policy `policy` (an SQL expression).
std::string copyOfPrecedence(const std::string& policy) {
    return hubdb::copyOfPrecedenceSql(policy, "?2");
}

using Afile = hubdb::ArchiveFileOnCopy;
using Timeline = hubdb::BackupTimeline;

enum class Kinds { any, index, data };

bool ofKind(const Afile& f, Kinds k) {
    return k == Kinds::any     ? hubdb::isDataFileType(f.fileType) || hubdb::isIndexFileType(f.fileType)
           : k == Kinds::index ? hubdb::isIndexFileType(f.fileType)
                               : hubdb::isDataFileType(f.fileType);
}

// One request asks for the same subclient's cycles several times (the file at a time, the oldest file,
// the media agent): inside a request scope, outside a transaction, its timeline on a copy is built once
// from the files listArchiveFiles reads once for the request, and goes with them (the request's memos
// are emptied together when the database changed). A memo (zydb::DatabaseMemo): of the files alone.
struct TTimelineAsked {
    std::string database;
    uint64_t appId, copyPrecedence;
    std::shared_ptr<const Timeline> timeline;
};
using TTimelineMemo = std::vector<TTimelineAsked>;

// The usable files of one subclient on the copy asked for, oldest first, with their cycles: aged
// copies and the files of running jobs are left out before the cycles are counted.
int loadTimeline(Query& q, uint64_t appId, uint64_t copyPrecedence, std::shared_ptr<const Timeline>& t) {
    return q.with([&](zydb::IDbConnection& conn) -> int {
        TTimelineMemo* memo = conn.inTransaction() ? nullptr : zydb::threadRequestMemo<TTimelineMemo>();
        if (memo) {
            for (const TTimelineAsked& asked : *memo)
                if (asked.appId == appId && asked.copyPrecedence == copyPrecedence &&
                    asked.database == conn.path()) {
                    t = asked.timeline;
                    return zydb::DB_OK;
                }
        }
        std::vector<Afile> files;
        int rc = hubdb::listArchiveFiles(conn, static_cast<int>(appId), static_cast<int>(copyPrecedence), 0,
                                         files);
        if (rc != zydb::DB_OK) return rc;
        std::erase_if(files, [](const Afile& f) { return f.aged || f.runningJob; });
        t = std::make_shared<const Timeline>(std::move(files));
        if (memo) memo->push_back({conn.path(), appId, copyPrecedence, t});
        return zydb::DB_OK;
    });
}

long long searchLimit(uint64_t t) {
    return t == 0 || t > static_cast<uint64_t>(kNoLimit) ? kNoLimit : static_cast<long long>(t);
}

bool kindsOfMode(uint64_t mode, Kinds& k) {
    switch (mode) {
        case kAfileModeLatest:
            k = Kinds::any;
            return true;
        case kAfileModeCycle:
            k = Kinds::index;
            return true;
        case kAfileModeRetry:
            k = Kinds::data;
            return true;
        default:
            return false;
    }
}

void fillIdentity(ArchiveFileIdMsg_t& id, const Afile& f) {
    id.kelmarchId = static_cast<uint64_t>(f.kelmarchId);
    id.archGroupId = static_cast<uint64_t>(f.archGroupId);
    id.archFileId = static_cast<uint64_t>(f.id);
}

void fillTimeResult(GetAfileByTimeRetHM_t* ret, const Afile& f) {
    fillIdentity(ret->archFile, f);
    ret->jobId = static_cast<uint64_t>(f.jobId);
    ret->creationTime = static_cast<uint64_t>(f.cTime);
    ret->archFileType = static_cast<uint64_t>(f.fileType);
}

struct CopyRow {
    int id = 0;
    int archGroupId = 0;
    int precedence = 0;
    int mediaAgentId = 0;
};

// The answer about the media agent of a copy, from its client row; `ret` is written only on success.
int mediaAgentOfCopy(Query& q, const CopyRow& copy, GetMediaAgentRetHM_t* ret) {
    GetMediaAgentRetHM_t found;
    int rc = q.first("SELECT net_hostname, displayName, name FROM APP_Client WHERE id = ?1",
                     {I(copy.mediaAgentId)}, [&](const zydb::IDbRow& r) {
                         found.hostName = text(r, 0);
                         found.displayName = text(r, 1);
                         found.clientName = text(r, 2);
                     });
    if (rc != zydb::DB_OK) return rc;
    found.clientId = static_cast<uint64_t>(copy.mediaAgentId);
    found.copyId = static_cast<uint64_t>(copy.id);
    found.archGroupId = static_cast<uint64_t>(copy.archGroupId);
    found.copyPrecedence = static_cast<uint64_t>(copy.precedence);
    *ret = std::move(found);
    return 0;
}

// Reads a copy's row selected as "id, archGroupId, copy, mediaAgentId" into `out`.
auto copyReader(CopyRow& out) {
    return [&out](const zydb::IDbRow& r) { out = {col(r, 0), col(r, 1), col(r, 2), col(r, 3)}; };
}

// The copy of a storage policy at a precedence (0: the default copy).
int findCopy(Query& q, uint64_t archGroupId, uint64_t precedence, CopyRow& out) {
    return q.first("SELECT g.id, g.archGroupId, g.copy, g.mediaAgentId FROM archGroupCopy g WHERE g.id = " +
                       copyOfPrecedence("?1"),
                   {I(static_cast<long long>(archGroupId)), I(static_cast<long long>(precedence))},
                   copyReader(out));
}

// The time searches: the newest file of the mode's kinds at or before the search time. byCycle keeps
// to the cycle that holds the time and, without the exact flag, takes its later files too; the exact
// flag alone also keeps to that cycle.
int timeSearch(ArchMgrOp op, GetAfileByTimeArgsHM_t* args, GetAfileByTimeRetHM_t* ret, bool byCycle) {
    if (int rc = enter(op, args, ret, &GetAfileByTimeArgsHM_t::appId, &GetAfileByTimeArgsHM_t::searchMode))
        return rc;
    Kinds kinds;
    if (!kindsOfMode(args->searchMode, kinds)) return refuse(op, "the search mode is not 1, 2 or 8");
    Query q(op);
    std::shared_ptr<const Timeline> held;
    if (int rc = loadTimeline(q, args->appId, args->copyPrecedence, held)) return rc;
    const Timeline& t = *held;
    const long long limit = searchLimit(args->searchTime);
    const bool exact = args->exactFlag != 0;
    const int cycle = t.cycleAt(limit);
    const Afile* f = t.newest([&](const Afile& a) {
        return ofKind(a, kinds) && (a.cTime <= limit || (byCycle && !exact)) &&
               (a.cycle == cycle || (!byCycle && !exact));
    });
    if (f == nullptr) return zydb::DB_NO_DATA;
    fillTimeResult(ret, *f);
    return 0;
}

}  // namespace

const char* archMgrOpName(ArchMgrOp op) {
    static const char* const names[] = {
#define ARCHMGR_OP(name) #name,
#include "platform/archive/archmgrops.def"
#undef ARCHMGR_OP
    };
    size_t k = static_cast<size_t>(op);
    return k < sizeof(names) / sizeof(names[0]) ? names[k] : "unknown";
}

ArchiveManagerHM::ArchiveManagerHM(ZySessionSend* session) : m_session(session) {}
ArchiveManagerHM::~ArchiveManagerHM() = default;

int ArchiveManagerHM::getArchFileByTime(GetAfileByTimeArgsHM_t* args, GetAfileByTimeRetHM_t* ret) {
    return timeSearch(ArchMgrOp::getArchFileByTime, args, ret, false);
}

int ArchiveManagerHM::getArchFileByTimeCycle(GetAfileByTimeArgsHM_t* args, GetAfileByTimeRetHM_t* ret) {
    return timeSearch(ArchMgrOp::getArchFileByTimeCycle, args, ret, true);
}

int ArchiveManagerHM::getOldestArchFile(GetOldestArchFileArgs_t* args, GetOldestArchFileRet_t* ret) {
    const ArchMgrOp op = ArchMgrOp::getOldestArchFile;
    if (int rc = enter(op, args, ret, &GetOldestArchFileArgs_t::appId, &GetOldestArchFileArgs_t::searchMode))
        return rc;
    if (args->searchMode != kAfileModeLatest && args->searchMode != kAfileModeTranLog)
        return refuse(op, "the search mode is not 1 or 4");
    const Kinds kinds = args->searchMode == kAfileModeTranLog ? Kinds::any : Kinds::data;
    Query q(op);
    std::shared_ptr<const Timeline> held;
    if (int rc = loadTimeline(q, args->appId, args->copyPrecedence, held)) return rc;
    const Timeline& t = *held;
    auto it = std::find_if(t.files.begin(), t.files.end(), [&](const Afile& a) { return ofKind(a, kinds); });
    if (it == t.files.end()) return zydb::DB_NO_DATA;
    fillIdentity(ret->archFile, *it);
    ret->archFileType = static_cast<uint64_t>(it->fileType);
    ret->jobId = static_cast<uint64_t>(it->jobId);
    ret->copyId = static_cast<uint64_t>(it->copyId);
    ret->creationTime = static_cast<uint64_t>(it->cTime);
    return 0;
}

int ArchiveManagerHM::getLastAfileForEachCycle(LastAfileForEachCycleArgs_t* args,
                                               LastAfileForEachCycleRet_t* ret) {
    const ArchMgrOp op = ArchMgrOp::getLastAfileForEachCycle;
    if (int rc = enter(op, args, ret, &LastAfileForEachCycleArgs_t::appId,
                       &LastAfileForEachCycleArgs_t::searchMode))
        return rc;
    if (args->searchMode != kAfileModeCycle) return refuse(op, "the search mode is not 2");
    Query q(op);
    std::shared_ptr<const Timeline> held;
    if (int rc = loadTimeline(q, args->appId, args->copyPrecedence, held)) return rc;
    const Timeline& t = *held;
    if (t.files.empty()) return zydb::DB_NO_DATA;
    const long long to = searchLimit(args->toTime);
    const long long from = static_cast<long long>(std::min<uint64_t>(args->fromTime, kNoLimit));
    std::vector<ArchFileByTime_t> rows;
    for (int c = 0; c < static_cast<int>(t.cycleStart.size()); ++c) {
        if (!t.meets(c, from, to)) continue;
        const Afile* f = t.newest([&](const Afile& a) { return a.cycle == c && a.cTime <= to; });
        if (f == nullptr) continue;
        ArchFileByTime_t row;
        row.r_afileId = f->id;
        row.r_kelmarchId = f->kelmarchId;
        row.r_agroupId = f->archGroupId;
        row.r_copyId = f->copyId;
        row.r_fileType = f->fileType;
        row.r_createTime = f->cTime;
        row.r_jobId = f->jobId;
        row.r_backupLevel = f->backupLevel;
        row.r_physicalSize = f->physicalSize;
        row.r_logicalSize = f->logicalSize;
        rows.push_back(row);
    }
    if (rows.empty()) return 1;
    ret->lastAfiles = std::move(rows);
    return 0;
}

int ArchiveManagerHM::getArchFileListByJob(GetAfileListByJobArgsHM_t* args, GetAfileListByJobRetHM_t* ret) {
    const ArchMgrOp op = ArchMgrOp::getArchFileListByJob;
    if (int rc = enter(op, args, ret, &GetAfileListByJobArgsHM_t::jobId)) return rc;
    if (args->listKind != 2) return refuse(op, "the list kind is not 2");
    static const std::string sql =
        "SELECT f.id, f.archGroupId, f.kelmarchId, f.name, f.fileType, f.cTime, f.jobId, f.backupLevel, "
        "IFNULL((SELECT c.archCopyId FROM archFileCopy c WHERE c.archFileId = f.id AND c.kelmarchId = "
        "f.kelmarchId "
        "AND c.isValid = 1 AND IFNULL(c.agedBy, 0) = 0 AND c.archCopyId = " +
        copyOfPrecedence("f.archGroupId") +
        "), 0) FROM archFile f WHERE f.jobId = ?1 AND f.isValid = 1 ORDER BY f.cTime, f.id";
    std::vector<ArchFilePruneListEl_t> list;
    Query q(op);
    int rc = q.each(sql, {I(static_cast<long long>(args->jobId)), I(0)}, [&](const zydb::IDbRow& r) {
        ArchFilePruneListEl_t e;
        e.archFileId = static_cast<uint32_t>(col(r, 0));
        e.archGroupId = static_cast<uint32_t>(col(r, 1));
        e.kelmarchId = static_cast<uint32_t>(col(r, 2));
        e.name = text(r, 3);
        e.fileType = static_cast<uint64_t>(col(r, 4));
        e.creationTime = static_cast<uint64_t>(col(r, 5));
        e.jobId = static_cast<uint32_t>(col(r, 6));
        e.backupLevel = static_cast<uint32_t>(col(r, 7));
        e.copyId = static_cast<uint64_t>(col(r, 8));
        list.push_back(std::move(e));
    });
    if (rc != zydb::DB_OK) return rc;
    ret->afiles = std::move(list);
    return 0;
}

int ArchiveManagerHM::getRegularOrBCDIndexMediaAgent(GetMediaAgentArgsHM_t* args, GetMediaAgentRetHM_t* ret) {
    const ArchMgrOp op = ArchMgrOp::getRegularOrBCDIndexMediaAgent;
    if (int rc = enter(op, args, ret, &GetMediaAgentArgsHM_t::appId)) return rc;
    Query q(op);
    std::shared_ptr<const Timeline> held;
    if (int rc = loadTimeline(q, args->appId, args->copyPrecedence, held)) return rc;
    const Timeline& t = *held;
    CopyRow copy;
    if (const Afile* f = t.newest([](const Afile& a) { return hubdb::isIndexFileType(a.fileType); })) {
        copy = {f->copyId, f->archGroupId, f->copyPrecedence, f->mediaAgentId};
    } else {
        int policy = 0;
        int rc = q.first("SELECT dataArchGrpID FROM APP_Application WHERE id = ?1",
                         {I(static_cast<long long>(args->appId))},
                         [&](const zydb::IDbRow& r) { policy = col(r, 0); });
        if (rc == zydb::DB_OK) rc = findCopy(q, static_cast<uint64_t>(policy), args->copyPrecedence, copy);
        if (rc != zydb::DB_OK) return rc;
    }
    return mediaAgentOfCopy(q, copy, ret);
}

int ArchiveManagerHM::getMediaAgentByAGC(GetMediaAgentByAGCArgs_t* args, GetMediaAgentRetHM_t* ret) {
    const ArchMgrOp op = ArchMgrOp::getMediaAgentByAGC;
    if (int rc = enter(op, args, ret, &GetMediaAgentByAGCArgs_t::archGroupId)) return rc;
    Query q(op);
    CopyRow copy;
    int rc;
    if (args->copyId != 0) {
        rc = q.first(
            "SELECT id, archGroupId, copy, mediaAgentId FROM archGroupCopy WHERE id = ?1 "
            "AND (?2 = 0 OR archGroupId = ?2)",
            {I(static_cast<long long>(args->copyId)), I(static_cast<long long>(args->archGroupId))},
            copyReader(copy));
    } else {
        rc = findCopy(q, args->archGroupId, 0, copy);
    }
    return rc != zydb::DB_OK ? rc : mediaAgentOfCopy(q, copy, ret);
}

int ArchiveManagerHM::getCopyIdByAfileCopyPrec(GetCopyIdByAfileCopyPrecArgs_t* args,
                                               GetCopyIdByAfileCopyPrecRet_t* ret) {
    const ArchMgrOp op = ArchMgrOp::getCopyIdByAfileCopyPrec;
    if (int rc = enter(op, args, ret, &GetCopyIdByAfileCopyPrecArgs_t::archFileId)) return rc;
    Query q(op);
    uint64_t policy = args->archGroupId;
    int rc = zydb::DB_OK;
    if (policy == 0)
        rc = q.first(
            "SELECT archGroupId FROM archFile WHERE id = ?1 AND (?2 = 0 OR kelmarchId = ?2)",
            {I(static_cast<long long>(args->archFileId)), I(static_cast<long long>(args->kelmarchId))},
            [&](const zydb::IDbRow& r) { policy = static_cast<uint64_t>(r.columnInt64(0)); });
    CopyRow copy;
    if (rc == zydb::DB_OK) rc = findCopy(q, policy, args->copyPrecedence, copy);
    if (rc == zydb::DB_OK && args->archFileId != 0)
        rc = q.first(
            "SELECT 1 FROM archFileCopy WHERE archFileId = ?1 AND (?2 = 0 OR kelmarchId = ?2) "
            "AND archCopyId = ?3 AND isValid = 1 AND IFNULL(agedBy, 0) = 0",
            {I(static_cast<long long>(args->archFileId)), I(static_cast<long long>(args->kelmarchId)),
             I(copy.id)},
            [](const zydb::IDbRow&) {});
    if (rc != zydb::DB_OK) return rc;
    ret->copyId = static_cast<uint64_t>(copy.id);
    ret->copyPrecedence = static_cast<uint64_t>(copy.precedence);
    return 0;
}

int ArchiveManagerHM::getMediaAgentInfo(GetMediaAgentInfoArgsHM_t* args, GetMediaAgentInfoRetHM_t* ret) {
    const ArchMgrOp op = ArchMgrOp::getMediaAgentInfo;
    if (int rc = enter(op, args, ret, &GetMediaAgentInfoArgsHM_t::clientId)) return rc;
    Query q(op);
    GetMediaAgentInfoRetHM_t found;
    int rc = q.first(
        "SELECT c.name, c.displayName, m.versionText, c.net_hostname, c.id, c.zydPort, "
        "c.simOperatingSystemId, "
        "c.releaseId, c.GUID FROM APP_Client c JOIN mediaAgent m ON m.clientId = c.id WHERE c.id = ?1",
        {I(args->clientId)}, [&](const zydb::IDbRow& r) {
            found.clientName = text(r, 0);
            found.displayName = text(r, 1);
            found.versionText = text(r, 2);
            found.hostName = text(r, 3);
            found.clientId = static_cast<uint64_t>(r.columnInt64(4));
            found.port = static_cast<uint64_t>(r.columnInt64(5));
            found.osId = static_cast<uint64_t>(r.columnInt64(6));
            found.releaseId = static_cast<uint64_t>(r.columnInt64(7));
            found.guid = text(r, 8);
        });
    if (rc != zydb::DB_OK) return rc;
    *ret = std::move(found);
    return 0;
}

int ArchiveManagerHM::getArchFileInfo(GetArchFileInfoArgs_t* args, GetArchFileInfoRet_t* ret) {
    const ArchMgrOp op = ArchMgrOp::getArchFileInfo;
    if (int rc = enter(op, args, ret, &GetArchFileInfoArgs_t::archFileId)) return rc;
    // Through the row families, so that the rows come exactly as the service reads them.
    auto failed = [&](DBtable& t, const char* what, unsigned long id, int rc) {
        if (rc != zydb::DB_NO_DATA) {
            EvDebug log(nullptr);
            log.setPrefixMessage(kTag);
            log.debugLvl(-1, "%s: reading %s [%lu] failed, error [%d] [%s]", archMgrOpName(op), what, id, rc,
                         t.getErrorStr(rc));
        }
        return rc;
    };
    ArchFile file(nullptr);
    file.setWhere("id = %llu AND kelmarchId = %llu", static_cast<unsigned long long>(args->archFileId),
                  static_cast<unsigned long long>(args->kelmarchId));
    file.setTop(1);
    int rc = getOneRow(&file, false, -1, 0);
    if (rc != zydb::DB_OK)
        return failed(file, "archive file", static_cast<unsigned long>(args->archFileId), rc);
    APP_Application app(nullptr);
    app.setWhere("id = %d", file.getDataPtr()->appId);
    app.setTop(1);
    rc = getOneRow(&app, false, -1, 0);
    if (rc != zydb::DB_OK)
        return failed(app, "subclient", static_cast<unsigned long>(file.getDataPtr()->appId), rc);
    ret->archFile = *file.getDataPtr();
    ret->application = *app.getDataPtr();
    return 0;
}

int ArchiveManagerHM::getLastAfileOfInstance(unsigned long clientId, unsigned long appTypeId,
                                             unsigned long instanceId, GetAfileByTimeArgsHM_t* args,
                                             GetAfileByTimeRetHM_t* ret, int& appId,
                                             std::string& subclientName, int& backupSetId,
                                             std::string& backupSetName) {
    const ArchMgrOp op = ArchMgrOp::getLastAfileOfInstance;
    if (args == nullptr || ret == nullptr) return refuse(op, "no argument or result record");
    if (int rc = plantedResult(op, clientId, args->searchMode)) return rc;
    if (args->searchMode != kAfileModeInstance) return refuse(op, "the search mode is not 62");
    struct Subclient {
        int id;
        std::string name;
        int backupSet;
        std::string backupSetName;
    };
    std::vector<Subclient> subclients;
    Query q(op);
    int rc = q.each(
        "SELECT a.id, a.subclientName, a.backupSet, IFNULL(b.name, '') FROM APP_Application a "
        "LEFT JOIN APP_BackupSetName b ON b.id = a.backupSet "
        "WHERE a.clientId = ?1 AND a.appTypeId = ?2 AND a.instance = ?3 ORDER BY a.id",
        {I(static_cast<long long>(clientId)), I(static_cast<long long>(appTypeId)),
         I(static_cast<long long>(instanceId))},
        [&](const zydb::IDbRow& r) {
            subclients.push_back({col(r, 0), text(r, 1), col(r, 2), text(r, 3)});
        });
    if (rc != zydb::DB_OK) return rc;
    const long long limit = searchLimit(args->searchTime);
    Afile best;
    const Subclient* owner = nullptr;
    for (const Subclient& s : subclients) {
        std::shared_ptr<const Timeline> held;
        if ((rc = loadTimeline(q, static_cast<uint64_t>(s.id), args->copyPrecedence, held)) != zydb::DB_OK)
            return rc;
        const Timeline& t = *held;
        const Afile* f = t.newest([&](const Afile& a) { return ofKind(a, Kinds::any) && a.cTime <= limit; });
        if (f != nullptr &&
            (owner == nullptr || f->cTime > best.cTime || (f->cTime == best.cTime && f->id > best.id))) {
            best = *f;
            owner = &s;
        }
    }
    if (owner == nullptr) return zydb::DB_NO_DATA;
    fillTimeResult(ret, best);
    appId = owner->id;
    subclientName = owner->name;
    backupSetId = owner->backupSet;
    backupSetName = owner->backupSetName;
    return 0;
}

int ArchiveManagerHM::getDefaultSnapCopy(int archGroupId, int& copyId) {
    const ArchMgrOp op = ArchMgrOp::getDefaultSnapCopy;
    if (int rc = plantedResult(op, static_cast<uint64_t>(archGroupId), 0)) return rc;
    Query q(op);
    return q.first(
        "SELECT COALESCE((SELECT g.id FROM archGroupCopy g WHERE g.id = a.defaultSnapCopy AND g.archGroupId "
        "= a.id "
        "AND g.isSnapCopy = 1), (SELECT g.id FROM archGroupCopy g WHERE g.archGroupId = a.id AND "
        "g.isSnapCopy = 1 "
        "ORDER BY g.copy LIMIT 1), 0) FROM archGroup a WHERE a.id = ?1",
        {I(archGroupId)}, [&](const zydb::IDbRow& r) { copyId = col(r, 0); });
}

int ArchiveManagerHM::getDefaultNonSnapCopy(int archGroupId, int& copyId) {
    const ArchMgrOp op = ArchMgrOp::getDefaultNonSnapCopy;
    if (int rc = plantedResult(op, static_cast<uint64_t>(archGroupId), 0)) return rc;
    Query q(op);
    return q.first(
        "SELECT COALESCE((SELECT g.id FROM archGroupCopy g WHERE g.id = a.defaultCopy AND g.archGroupId = "
        "a.id "
        "AND IFNULL(g.isSnapCopy, 0) = 0), (SELECT g.id FROM archGroupCopy g WHERE g.archGroupId = a.id "
        "AND IFNULL(g.isSnapCopy, 0) = 0 ORDER BY g.copy LIMIT 1), 0) FROM archGroup a WHERE a.id = ?1",
        {I(archGroupId)}, [&](const zydb::IDbRow& r) { copyId = col(r, 0); });
}

int ArchiveManagerHM::getAGCFromAGAndCopy(unsigned long archGroupId, unsigned long copyPrecedence,
                                          unsigned long* copyId, DBtran* tran) {
    const ArchMgrOp op = ArchMgrOp::getAGCFromAGAndCopy;
    if (copyId == nullptr) return refuse(op, "no place for the copy id");
    if (int rc = plantedResult(op, archGroupId, 0)) return rc;
    Query q(op, tran);
    CopyRow copy;
    int rc = findCopy(q, archGroupId, copyPrecedence, copy);
    if (rc == zydb::DB_OK) *copyId = static_cast<unsigned long>(copy.id);
    return rc;
}

namespace {

// The media rows of archive files on their copies: one row per (file, copy, medium) with what a
// TMediaInfo shows of the medium, its copy, storage policy and media agent (fillMedium), then the
// file's copy row (valid, aged, size). Callers add the WHERE clause.
const std::string kMediaOfFilesSql =
    "SELECT fm.archFileId, fm.kelmarchId, fm.archCopyId, m.id, m.mediaType, m.mediaSize, m.barcode, "
    "m.libraryName, m.location, g.name, IFNULL(ag.name, ''), IFNULL(cl.name, ''), "
    "IFNULL(cl.net_hostname, ''), IFNULL(c.mediaAgentId, 0), f.archGroupId, IFNULL(c.physicalSize, 0) "
    "FROM archFileMedia fm JOIN MMMedia m ON m.id = fm.mediaId "
    "JOIN archFile f ON f.id = fm.archFileId AND f.kelmarchId = fm.kelmarchId "
    "JOIN archGroupCopy g ON g.id = fm.archCopyId LEFT JOIN archGroup ag ON ag.id = g.archGroupId "
    "LEFT JOIN archFileCopy c ON c.archFileId = fm.archFileId AND c.kelmarchId = fm.kelmarchId "
    "AND c.archCopyId = fm.archCopyId LEFT JOIN APP_Client cl ON cl.id = c.mediaAgentId ";

// The medium of a kMediaOfFilesSql row (flags and file count are the caller's).
void fillMedium(TMediaInfo& m, const zydb::IDbRow& r) {
    m.mediaId = static_cast<uint64_t>(col(r, 3));
    m.mediaType = static_cast<uint64_t>(col(r, 4));
    m.size = static_cast<uint64_t>(r.columnInt64(5));
    m.text1 = text(r, 6);
    m.mediaName = m.text1;
    m.text2 = text(r, 7);
    m.text3 = text(r, 8);
    m.text6 = text(r, 9);
    m.text8 = text(r, 10);
    m.text4 = text(r, 11);
    m.text5 = text(r, 12);
    m.value5 = static_cast<uint64_t>(col(r, 13));
    m.value6 = static_cast<uint64_t>(col(r, 2));
    m.value7 = static_cast<uint64_t>(col(r, 14));
    m.value9 = static_cast<uint64_t>(col(r, 1));
}

}  // namespace

int ArchiveManagerHM::getMediaListForAppIdByTime(unsigned long copyPrecedence, unsigned long appId,
                                                 unsigned long fromTime, unsigned long toTime, unsigned long,
                                                 std::vector<TMediaInfo>* media, unsigned long mediaMask) {
    const ArchMgrOp op = ArchMgrOp::getMediaListForAppIdByTime;
    if (media == nullptr) return refuse(op, "no media list");
    if (int rc = plantedResult(op, appId, 0)) return rc;
    Query q(op);
    std::shared_ptr<const Timeline> held;
    if (int rc = loadTimeline(q, appId, copyPrecedence, held)) return rc;
    const Timeline& t = *held;
    const long long to = searchLimit(toTime);
    const long long from = static_cast<long long>(std::min<unsigned long>(fromTime, kNoLimit));
    // The files a restore of the range reads, with the media flag each one gives its medium.
    std::map<std::pair<int, int>, std::pair<const Afile*, uint64_t>> wanted;  // (file, kelmarch)
    for (const Afile& f : t.files) {
        uint64_t flag = hubdb::isIndexFileType(f.fileType)  ? uint64_t{kMediaIndex}
                        : hubdb::isDataFileType(f.fileType) ? uint64_t{kMediaData}
                                                            : 0;
        if ((flag & mediaMask) != 0 && f.cTime <= to && t.meets(f.cycle, from, to))
            wanted[{f.id, f.kelmarchId}] = {&f, flag};
    }
    std::map<int, TMediaInfo> byMedia;
    int rc = q.each(kMediaOfFilesSql + "WHERE f.appId = ?1 ORDER BY m.id, fm.archFileId",
                    {I(static_cast<long long>(appId))}, [&](const zydb::IDbRow& r) {
                        auto it = wanted.find({col(r, 0), col(r, 1)});
                        if (it == wanted.end() || it->second.first->copyId != col(r, 2)) return;
                        auto [slot, fresh] = byMedia.try_emplace(col(r, 3));
                        TMediaInfo& m = slot->second;
                        if (fresh) fillMedium(m, r);
                        m.flags |= it->second.second;
                        ++m.value8;
                    });
    if (rc != zydb::DB_OK) return rc;
    if (byMedia.empty()) return zydb::DB_NO_DATA;
    for (auto& [id, m] : byMedia) media->push_back(std::move(m));
    return 0;
}

int ArchiveManagerHM::getMediaListForArchFile(unsigned long copyPrecedence, unsigned long archFileId,
                                              unsigned long kelmarchId, unsigned long mediaFlag,
                                              std::vector<TMediaInfo>* media,
                                              unsigned long long* sizeOnCopy) {
    const ArchMgrOp op = ArchMgrOp::getMediaListForArchFile;
    if (media == nullptr) return refuse(op, "no media list");
    if (int rc = plantedResult(op, archFileId, 0)) return rc;
    Query q(op);
    std::vector<TMediaInfo> found;
    long long size = 0;
    int rc = q.each(kMediaOfFilesSql +
                        "WHERE fm.archFileId = ?1 AND (?3 <= 0 OR fm.kelmarchId = ?3) AND f.isValid = 1 AND "
                        "c.isValid = 1 AND IFNULL(c.agedBy, 0) = 0 AND fm.archCopyId = " +
                        copyOfPrecedence("f.archGroupId") + " ORDER BY m.id",
                    {I(static_cast<long long>(archFileId)), I(static_cast<long long>(copyPrecedence)),
                     I(static_cast<long long>(kelmarchId))},
                    [&](const zydb::IDbRow& r) {
                        TMediaInfo m;
                        fillMedium(m, r);
                        m.flags = mediaFlag;
                        m.value8 = 1;
                        size = r.columnInt64(15);
                        found.push_back(std::move(m));
                    });
    if (rc != zydb::DB_OK) return rc;
    if (found.empty()) return zydb::DB_NO_DATA;
    media->insert(media->end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
    if (sizeOnCopy != nullptr) *sizeOnCopy = static_cast<unsigned long long>(size);
    return 0;
}
