// Archive files on a copy, and the cycle rule over them.
#include "platform/hubdb/archivefiles.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>

#include "platform/db/dbresult.h"
#include "platform/db/requestscope.h"
#include "platform/log/evdebug.h"

using zydb::DbValue;

namespace hubdb {

std::string copyOfPrecedenceSql(const std::string& policy, const std::string& precedence) {
    return "(CASE WHEN " + precedence +
           " > 0 THEN (SELECT x.id FROM archGroupCopy x WHERE x.archGroupId = " + policy +
           " AND x.copy = " + precedence +
           ") ELSE COALESCE((SELECT NULLIF(a.defaultCopy, 0) FROM archGroup a WHERE a.id = " + policy +
           "), (SELECT x.id FROM archGroupCopy x WHERE x.archGroupId = " + policy + " AND x.copy = 1)) END)";
}

namespace {

// One request asks for the same subclient's files several times (its cycles up to the browse's end, its
// index files and the media agent to choose over all its files): inside a request scope, outside a
// transaction, the subclient's files on a copy are read once, to the open end, and each question takes
// those created by its time. A memo (zydb::DatabaseMemo): the files read, whatever time a question asks.
struct TFilesAsked {
    std::string database;
    int appId, copyPrecedence;
    std::vector<ArchiveFileOnCopy> files;  // oldest first, to the open end
};
using TFilesMemo = std::vector<TFilesAsked>;

TFilesMemo* filesMemo(const zydb::IDbConnection& conn) {
    return conn.inTransaction() ? nullptr : zydb::threadRequestMemo<TFilesMemo>();
}

// Those of `files` (oldest first) created at or before `toTime` (0: all).
void upTo(const std::vector<ArchiveFileOnCopy>& files, int toTime, std::vector<ArchiveFileOnCopy>& out) {
    const int limit = toTime > 0 ? toTime : kOpenEndTime;
    auto end = files.begin();
    while (end != files.end() && end->cTime <= limit) ++end;
    out.assign(files.begin(), end);
}

}  // namespace

int listArchiveFiles(zydb::IDbConnection& conn, int appId, int copyPrecedence, int toTime,
                     std::vector<ArchiveFileOnCopy>& out) {
    TFilesMemo* memo = filesMemo(conn);
    if (!memo) return readArchiveFiles(conn, appId, copyPrecedence, toTime, out);
    for (const TFilesAsked& asked : *memo)
        if (asked.appId == appId && asked.copyPrecedence == copyPrecedence && asked.database == conn.path()) {
            upTo(asked.files, toTime, out);
            return zydb::DB_OK;
        }
    std::vector<ArchiveFileOnCopy> all;
    // A file past the time asked that cannot be read is no reason to refuse the files before it.
    if (readArchiveFiles(conn, appId, copyPrecedence, 0, all) != zydb::DB_OK)
        return readArchiveFiles(conn, appId, copyPrecedence, toTime, out);
    upTo(all, toTime, out);
    memo->push_back({conn.path(), appId, copyPrecedence, std::move(all)});
    return zydb::DB_OK;
}

int readArchiveFiles(zydb::IDbConnection& conn, int appId, int copyPrecedence, int toTime,
                     std::vector<ArchiveFileOnCopy>& out) {
    out.clear();
    static const std::string sql =
        "SELECT f.id, f.kelmarchId, f.appId, f.archGroupId, f.fileType, f.cTime, f.jobId, f.backupLevel, "
        "f.flags, "
        "g.id, g.copy, c.mediaAgentId, IFNULL(m.versionText, ''), IFNULL(m.idxCacheSoftState, 0), c.agedBy, "
        "c.physicalSize, c.logicalSize, "
        "EXISTS (SELECT 1 FROM JMJobInfo r WHERE r.jobId = f.jobId AND r.kelmarchId = f.kelmarchId) "
        "FROM archFile f "
        "JOIN archGroupCopy g ON g.archGroupId = f.archGroupId AND g.id = " +
        copyOfPrecedenceSql("f.archGroupId", "?1") +
        " JOIN archFileCopy c ON c.archFileId = f.id AND c.kelmarchId = f.kelmarchId AND c.archCopyId = g.id "
        "AND c.isValid = 1 "
        "LEFT JOIN mediaAgent m ON m.clientId = c.mediaAgentId "
        "WHERE f.appId = ?2 AND f.isValid = 1 AND f.cTime <= ?3 "
        "ORDER BY f.cTime, f.id";
    std::unique_ptr<zydb::IDbStatement> st;
    int rc = zydb::prepareBound(conn, sql,
                                {DbValue::ofInt(copyPrecedence), DbValue::ofInt(appId),
                                 DbValue::ofInt(toTime > 0 ? toTime : kOpenEndTime)},
                                st);
    if (rc != zydb::DB_OK) return rc;
    while ((rc = st->step()) == zydb::DB_OK) {
        ArchiveFileOnCopy f;
        int c = 0;
        for (int* m : {&f.id, &f.kelmarchId, &f.appId, &f.archGroupId, &f.fileType, &f.cTime, &f.jobId,
                       &f.backupLevel, &f.flags, &f.copyId, &f.copyPrecedence, &f.mediaAgentId}) {
            // Every one of these is a 32-bit field where it goes: a wider value is refused, never cut.
            const long long v = st->columnInt64(c++);
            if (v < INT32_MIN || v > static_cast<long long>(UINT32_MAX)) {
                evTaggedLog("HUBDB", 0, true,
                            "archive files of subclient [%d] refused: value [%lld] in column %d does not fit "
                            "32 bits",
                            appId, v, c);
                return zydb::DB_ERR_SCHEMA;
            }
            *m = static_cast<int>(v);
        }
        f.mediaAgentVersion = std::string(st->columnText(c++));
        f.idxCacheSoftState = static_cast<int>(st->columnInt64(c++));
        f.aged = st->columnInt64(c++) != 0;
        f.physicalSize = st->columnInt64(c++);
        f.logicalSize = st->columnInt64(c++);
        f.runningJob = st->columnInt64(c++) != 0;
        out.push_back(std::move(f));
    }
    return rc == zydb::DB_NO_DATA ? zydb::DB_OK : rc;
}

BackupTimeline::BackupTimeline(std::vector<ArchiveFileOnCopy> oldestFirst) : files(std::move(oldestFirst)) {
    // Jobs by their earliest file; a full or synthetic-full data file makes a job open a cycle.
    std::map<std::pair<int, int>, size_t> index;  // (job, kelmarch) -> jobs
    for (const ArchiveFileOnCopy& f : files) {
        auto [it, fresh] = index.try_emplace({f.jobId, f.kelmarchId}, jobs.size());
        if (fresh) jobs.push_back({f.jobId, f.kelmarchId, f.cTime, false, 0});
        if (isDataFileType(f.fileType) && (f.backupLevel == 1 || f.backupLevel == 64))
            jobs[it->second].full = true;
    }
    std::vector<size_t> order(jobs.size());
    for (size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const Job &x = jobs[a], &y = jobs[b];
        return x.time != y.time ? x.time < y.time : x.jobId < y.jobId;
    });
    int cycle = 0;
    cycleStart.assign(1, -1);
    for (size_t k : order) {
        Job& j = jobs[k];
        if (j.full) {
            ++cycle;
            cycleStart.push_back(-1);
        }
        j.cycle = cycle;
        if (cycleStart[cycle] < 0) cycleStart[cycle] = j.time;
    }
    for (ArchiveFileOnCopy& f : files) f.cycle = jobs[index[{f.jobId, f.kelmarchId}]].cycle;
    std::vector<Job> sorted;
    sorted.reserve(jobs.size());
    for (size_t k : order) sorted.push_back(jobs[k]);
    jobs.swap(sorted);
}

int BackupTimeline::cycleAt(long long t) const {
    int c = -1;
    for (const Job& j : jobs)
        if (j.time <= t) c = j.cycle;
    return c;
}

bool BackupTimeline::meets(int c, long long from, long long to) const {
    if (c < 0 || c >= static_cast<int>(cycleStart.size())) return false;
    if (cycleStart[c] < 0 || cycleStart[c] > to) return false;
    if (from <= 0) return true;
    for (size_t n = c + 1; n < cycleStart.size(); ++n)
        if (cycleStart[n] >= 0) return cycleStart[n] > from;
    return true;  // the last cycle is in force up to `to`
}

}  // namespace hubdb
