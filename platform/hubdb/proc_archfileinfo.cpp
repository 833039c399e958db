// AppGetArchFileInfoForJobs over the archive-file, copy, subclient, backup-set and index-database tables.
#include "platform/hubdb/proc_archfileinfo.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "platform/hubdb/archivefiles.h"
#include "platform/hubdb/hubsql.h"
#include "platform/hubdb/procsupport.h"
#include "platform/hubdb/tagprocframe.h"
#include "platform/msg/msg_classes.h"

using zydb::DbValue;

namespace hubdb {

namespace {

bool sameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

struct IndexDbScope {
    long long backupSetId = 0;
    std::vector<int> subclients;
};

// The subclients an index database covers: every subclient of the backup set, unless the database is
// named after one of them (a subclient-level index). The name may be empty or the backup set's GUID;
// any other name must be an index database of the backup set.
int indexDbScope(zydb::IDbConnection& conn, const std::string& guid, const std::string& dbName,
                 IndexDbScope& out, std::string& why) {
    std::vector<DbValue> row;
    int rc = queryFirstRow(conn, "SELECT id FROM APP_BackupSetName WHERE GUID = ?1 COLLATE NOCASE",
                           {DbValue::ofText(guid)}, row);
    if (rc == zydb::DB_NO_DATA) why = "no backup set has GUID [" + guid + "]";
    if (rc != zydb::DB_OK) return rc == zydb::DB_NO_DATA ? zydb::DB_ERR_ARGUMENT : rc;
    out.backupSetId = row[0].asInt();
    bool named = dbName.empty() || sameText(dbName, guid);
    rc = forEachRow(conn, "SELECT id, IFNULL(GUID, '') FROM APP_Application WHERE backupSet = ?1 ORDER BY id",
                    {DbValue::ofInt(out.backupSetId)}, [&](const zydb::IDbRow& r) {
                        int id = static_cast<int>(r.columnInt64(0));
                        if (!named && sameText(std::string(r.columnText(1)), dbName)) {
                            out.subclients.assign(1, id);
                            named = true;
                            return zydb::DB_NO_DATA;
                        }
                        out.subclients.push_back(id);
                        return zydb::DB_OK;
                    });
    if (rc != zydb::DB_OK && rc != zydb::DB_NO_DATA) return rc;
    if (named) return zydb::DB_OK;
    rc = queryFirstRow(conn,
                       "SELECT id FROM App_IndexDBInfo WHERE backupSetId = ?1 AND dbName = ?2 COLLATE NOCASE",
                       {DbValue::ofInt(out.backupSetId), DbValue::ofText(dbName)}, row);
    if (rc == zydb::DB_NO_DATA) why = "[" + dbName + "] is no index database of backup set [" + guid + "]";
    return rc == zydb::DB_NO_DATA ? zydb::DB_ERR_ARGUMENT : rc;
}

// Which files of a subclient a request is about: of the kinds asked for, and of the jobs listed or,
// without a job list, the files up to `to` of every cycle in force during [from, to].
struct FileSelection {
    bool indexOnly = false;
    std::set<std::pair<long long, long long>> jobs;  // (job, kelmarch); kelmarch 0: any
    long long from = 0;
    long long to = kOpenEndTime;

    bool wanted(int fileType, int jobId, int kelmarchId, int cTime, int cycle,
                const BackupTimeline& t) const {
        if (indexOnly ? !isIndexFileType(fileType) : !isIndexFileType(fileType) && !isDataFileType(fileType))
            return false;
        if (!jobs.empty()) return jobs.count({jobId, kelmarchId}) > 0 || jobs.count({jobId, 0}) > 0;
        return cTime <= to && t.meets(cycle, from, to);
    }
};

// AppGetArchFileInfoForJobs: the archive files of an index database (element 7) of a backup set
// (element 12, its GUID) that a restore reads from the copy of precedence element 6 (0: the storage
// policy's default copy): index files only when element 4 is 1, else index and data files; of the jobs
// of the job list (element 26) when element 25 is 1 and the list is not empty, else those of the time
// range (element 24). Files of running jobs and copies that were aged are not offered. Element 5 is 1
// when an index file the request is about is valid but has no usable copy there; element 17 lists
// the files (Kelmarch id, archive-file id), oldest first per subclient. An unknown backup set or index
// database is refused.
int archFilesOfIndexDatabase(zydb::IDbConnection& conn, Indexing::GetArchFileInfoForJobs& request,
                             Indexing::GetArchFileInfoForJobs& answer, std::string& why) {
    using F = Indexing::GetArchFileInfoForJobs::f;
    IndexDbScope scope;
    int rc = indexDbScope(conn, request.getstring(F::backupSetGUID), request.getstring(F::indexDbName), scope,
                          why);
    if (rc != zydb::DB_OK) return rc;
    FileSelection sel;
    sel.indexOnly = request.getint64(F::indexFilesOnly) == 1;
    if (CNMessageBase* range = request.getObjectAccessor(F::at18_24, false)) {
        sel.from = range->getint64(Indexing::Msg282::f::fromTime);
        long long to = range->getint64(Indexing::Msg282::f::toTime);
        if (to > 0 && to < kOpenEndTime) sel.to = to;
    }
    auto* jobs = request.getlistobject(F::jobList, false);
    if (request.getint64(F::useJobList) == 1 && jobs != nullptr)
        for (const CNMessageBase& j : *jobs)
            sel.jobs.insert(
                {j.getint64(databrowse::JobInfo::f::jobId), j.getint64(databrowse::JobInfo::f::kelmarchId)});
    const int precedence = static_cast<int>(request.getint64(F::copyPrecedence));

    bool missing = false;
    std::vector<CNMessageBase> found;
    for (int appId : scope.subclients) {
        std::vector<ArchiveFileOnCopy> onCopy;
        if ((rc = listArchiveFiles(conn, appId, precedence, 0, onCopy)) != zydb::DB_OK) return rc;
        std::set<std::pair<int, int>> usable;
        std::erase_if(onCopy, [](const ArchiveFileOnCopy& f) { return f.aged || f.runningJob; });
        BackupTimeline t(std::move(onCopy));
        for (const ArchiveFileOnCopy& f : t.files) {
            usable.insert({f.id, f.kelmarchId});
            if (!sel.wanted(f.fileType, f.jobId, f.kelmarchId, f.cTime, f.cycle, t)) continue;
            Indexing::JobArchFileInfo info;
            info.setint64(Indexing::JobArchFileInfo::f::kelmarchId, f.kelmarchId);
            info.setint64(Indexing::JobArchFileInfo::f::archFileId, f.id);
            found.push_back(info);
        }
        rc = forEachRow(
            conn,
            "SELECT f.id, f.kelmarchId, f.jobId, f.cTime, f.fileType FROM archFile f WHERE f.appId = ?1 "
            "AND f.isValid = 1 AND f.fileType IN (2, 6, 34) AND NOT EXISTS (SELECT 1 FROM JMJobInfo r "
            "WHERE r.jobId = f.jobId AND r.kelmarchId = f.kelmarchId)",
            {DbValue::ofInt(appId)}, [&](const zydb::IDbRow& r) {
                int id = static_cast<int>(r.columnInt64(0)), km = static_cast<int>(r.columnInt64(1));
                int cTime = static_cast<int>(r.columnInt64(3));
                if (!usable.count({id, km}) &&
                    sel.wanted(static_cast<int>(r.columnInt64(4)), static_cast<int>(r.columnInt64(2)), km,
                               cTime, t.cycleAt(cTime), t))
                    missing = true;
                return zydb::DB_OK;
            });
        if (rc != zydb::DB_OK) return rc;
    }
    answer.setint64(F::indexMissingInCopy, missing ? 1 : 0);
    answer.setlistobject(F::jobArchFiles, found);
    return zydb::DB_OK;
}

}  // namespace

int appGetArchFileInfoForJobsTagProc(const std::string& requestXml, std::string& responseXml, void* context) {
    return runTagProcedure<Indexing::GetArchFileInfoForJobs, Indexing::GetArchFileInfoForJobs>(
        "AppGetArchFileInfoForJobs", requestXml, responseXml, context, archFilesOfIndexDatabase);
}

}  // namespace hubdb
