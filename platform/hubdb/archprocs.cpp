// ArchFileByTime and ArchFileByTimeSuperBrowse over archFile, its copies and the media agents.
#include "platform/hubdb/archprocs.h"

#include <algorithm>
#include <map>
#include <memory>
#include <pugixml.hpp>

#include "platform/db/dbresult.h"
#include "platform/db/requestscope.h"
#include "platform/hubdb/hubsql.h"

using zydb::DbValue;

namespace hubdb {

namespace {

int dbFailure(zydb::CProcCall& call, int rc) {
    call.setError(call.connection().lastError());
    return rc;
}

// The arguments of the super-browse procedure's input XML.
struct SuperBrowseInput {
    std::vector<int> moreSubclients;  // AppIdPST ids, second subclient onward
    bool vmParentBrowse = false;
};

bool parseSuperBrowseInput(const std::string& xml, SuperBrowseInput& in, std::string& error) {
    if (xml.empty()) return true;
    pugi::xml_document doc;
    pugi::xml_parse_result r = doc.load_string(xml.c_str());
    if (!r) {
        error = std::string("input XML does not parse: ") + r.description();
        return false;
    }
    pugi::xml_node root = doc.child("InputParam");
    if (!root) {
        error = "input XML has no InputParam";
        return false;
    }
    for (pugi::xml_node n : root.children("AppIdPST")) {
        int id = n.attribute("id").as_int(0);
        if (id > 0) in.moreSubclients.push_back(id);
    }
    in.vmParentBrowse = root.child("VSAV2ParentBrowse").text().as_int(0) == 1;
    return true;
}

std::vector<DbValue> superBrowseRow(int resultSet, const ArchiveFileOnCopy& f, const std::string& vmGuid) {
    return {DbValue::ofInt(resultSet),
            DbValue::ofInt(f.id),
            DbValue::ofInt(f.kelmarchId),
            DbValue::ofInt(f.appId),
            DbValue::ofInt(f.archGroupId),
            DbValue::ofInt(f.fileType),
            DbValue::ofInt(f.cTime),
            DbValue::ofInt(f.jobId),
            DbValue::ofInt(f.mediaAgentId),
            DbValue::ofText(f.mediaAgentVersion),
            DbValue::ofInt(f.idxCacheSoftState),
            DbValue::ofInt(f.flags),
            DbValue::ofInt(f.runningJob ? 1 : 0),
            DbValue::ofInt(f.aged ? 1 : 0),
            DbValue::ofText(vmGuid),
            DbValue::ofInt(f.cycle)};
}

}  // namespace

// ArchFileByTime(_, subclient, _, toTime, _, _, copyPrecedence, _, _, _): every archive file, data and
// index, of the subclient created up to toTime (0: no limit) on the copy of that precedence (0: the
// storage policy's default copy), newest first, without the files of jobs still running. Arguments 1, 3, 5,
// 6, 8, 9 and 10 do not change the selection.
int archFileByTimeProc(zydb::CProcCall& call) {
    std::vector<ArchiveFileOnCopy> files;
    int rc = listArchiveFiles(call.connection(), static_cast<int>(call.argInt(1)),
                              static_cast<int>(call.argInt(6)), static_cast<int>(call.argInt(3)), files);
    if (rc != zydb::DB_OK) return dbFailure(call, rc);
    for (auto it = files.rbegin(); it != files.rend(); ++it) {
        const ArchiveFileOnCopy& f = *it;
        if (f.runningJob) continue;
        call.addRow({DbValue::ofInt(f.id), DbValue::ofInt(f.kelmarchId), DbValue::ofInt(f.archGroupId),
                     DbValue::ofInt(f.copyId), DbValue::ofInt(f.fileType), DbValue::ofInt(f.cTime),
                     DbValue::ofInt(f.jobId), DbValue::ofInt(f.backupLevel), DbValue::ofInt(f.physicalSize),
                     DbValue::ofInt(f.logicalSize)});
    }
    return zydb::DB_OK;
}

// ArchFileByTimeSuperBrowse(appType, client, backupSet, subclient, from, to, copyPrecedence,
// ignoreRunningJobs, -, indexingV2, xml):
// - Subclients: the given subclient and the AppIdPST ids of the XML, in that order; without one, every
//   subclient of the backup set; without that, the client's subclients of the application type.
// - Files: those of listArchiveFiles on the copy of the precedence (0: the default copy) up to `to`
//   (0: no limit); with ignoreRunningJobs, none of a running job.
// - Cycles: per subclient, BackupTimeline's rule over those files. A cycle is in the window when the
//   span from its first job to the next cycle's first job meets [from, to] (from 0: every cycle).
// - Rows: result set 1, per subclient and cycle oldest first, names the cycle's newest data file;
//   result set 2 the cycle's other data files; result set 3 its index files (types 2, 6, 34); sets in
//   that order, files oldest first. Data files are types 1 and 4.
// - A VSAV2ParentBrowse XML adds, after them, one row per virtual machine linked to the backup set
//   (APP_VMBackupSet), when the window has a cycle: a copy of the newest cycle row with the VM
//   client's GUID in r_VMGUID.
// Arguments 1 (beyond choosing subclients), 9 and 10 do not change the selection.
namespace {

int planSuperBrowse(zydb::CProcCall& call);

// Every request of a browse (each page) plans the same window of the same subclients: inside a request
// scope, outside a transaction, the same arguments are answered with the rows of their first run, shared
// and never changed. The memo is the request's: it goes when a request opens on a database that changed.
// A memo (zydb::DatabaseMemo): the rows follow from the arguments and the tables alone.
struct TSuperBrowseAnswer {
    std::string database;
    std::vector<DbValue> args;
    std::shared_ptr<const zydb::CProcCall::Rows> rows;
};
using TSuperBrowseMemo = std::vector<TSuperBrowseAnswer>;

bool sameArgs(const std::vector<DbValue>& a, const std::vector<DbValue>& b) {
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); ++k) {
        const DbValue &x = a[k], &y = b[k];
        if (x.kind != y.kind || x.i != y.i || x.d != y.d || x.s != y.s) return false;
    }
    return true;
}

}  // namespace

int archFileByTimeSuperBrowseProc(zydb::CProcCall& call) {
    zydb::IDbConnection& conn = call.connection();
    TSuperBrowseMemo* memo = conn.inTransaction() ? nullptr : zydb::threadRequestMemo<TSuperBrowseMemo>();
    if (!memo) return planSuperBrowse(call);
    for (const TSuperBrowseAnswer& known : *memo)
        if (known.database == conn.path() && sameArgs(known.args, call.args())) {
            call.shareRows(known.rows);
            return zydb::DB_OK;
        }
    const int rc = planSuperBrowse(call);
    if (rc != zydb::DB_OK) return rc;
    auto rows = std::make_shared<const zydb::CProcCall::Rows>(std::move(call.rows()));
    call.rows().clear();
    call.shareRows(rows);
    memo->push_back({conn.path(), call.args(), std::move(rows)});
    return zydb::DB_OK;
}

namespace {

int planSuperBrowse(zydb::CProcCall& call) {
    const int appType = static_cast<int>(call.argInt(0));
    const int clientId = static_cast<int>(call.argInt(1));
    const int backupSetId = static_cast<int>(call.argInt(2));
    const int subclientId = static_cast<int>(call.argInt(3));
    const int fromTime = static_cast<int>(call.argInt(4));
    const int toTime = static_cast<int>(call.argInt(5));
    const int copyPrecedence = static_cast<int>(call.argInt(6));
    const bool ignoreRunning = call.argInt(7) != 0;
    zydb::IDbConnection& conn = call.connection();

    SuperBrowseInput input;
    std::string why;
    if (!parseSuperBrowseInput(call.argText(10), input, why)) {
        call.setError(why);
        return zydb::DB_ERR_ARGUMENT;
    }

    std::vector<int> subclients;
    int rc = zydb::DB_OK;
    if (subclientId > 0) {
        subclients.push_back(subclientId);
        for (int id : input.moreSubclients)
            if (std::find(subclients.begin(), subclients.end(), id) == subclients.end())
                subclients.push_back(id);
    } else if (backupSetId > 0) {
        rc = queryInts(conn, "SELECT id FROM APP_Application WHERE backupSet = ? ORDER BY id",
                       {DbValue::ofInt(backupSetId)}, subclients);
    } else if (clientId > 0) {
        rc =
            queryInts(conn, "SELECT id FROM APP_Application WHERE clientId = ? AND appTypeId = ? ORDER BY id",
                      {DbValue::ofInt(clientId), DbValue::ofInt(appType)}, subclients);
    }
    if (rc != zydb::DB_OK) return dbFailure(call, rc);

    std::vector<std::vector<DbValue>> sets[3];
    const std::vector<DbValue>* newestCycleRow = nullptr;
    int newestCycleTime = -1;
    for (int sc : subclients) {
        std::vector<ArchiveFileOnCopy> files;
        rc = listArchiveFiles(conn, sc, copyPrecedence, toTime, files);
        if (rc != zydb::DB_OK) return dbFailure(call, rc);
        if (ignoreRunning)
            files.erase(
                std::remove_if(files.begin(), files.end(), [](const auto& f) { return f.runningJob; }),
                files.end());

        const BackupTimeline t(std::move(files));
        auto inWindow = [&](int c) { return t.meets(c, fromTime, kOpenEndTime); };

        // The newest data file of each cycle names the cycle.
        std::map<int, const ArchiveFileOnCopy*> namer;
        for (const auto& f : t.files)
            if (isDataFileType(f.fileType) && inWindow(f.cycle))
                namer[f.cycle] = &f;  // the last seen is the newest
        for (const auto& [c, f] : namer) {
            sets[0].push_back(superBrowseRow(1, *f, ""));
            if (f->cTime >= newestCycleTime) newestCycleTime = f->cTime;
        }
        for (const auto& f : t.files) {
            if (!inWindow(f.cycle)) continue;
            if (isDataFileType(f.fileType) && namer[f.cycle] != &f)
                sets[1].push_back(superBrowseRow(2, f, ""));
            if (isIndexFileType(f.fileType)) sets[2].push_back(superBrowseRow(3, f, ""));
        }
    }
    for (const auto& row : sets[0])
        if (row[6].i == newestCycleTime) newestCycleRow = &row;

    std::vector<std::vector<DbValue>> vmRows;
    if (input.vmParentBrowse && backupSetId > 0 && newestCycleRow != nullptr) {
        std::unique_ptr<zydb::IDbStatement> st;
        rc = zydb::prepareBound(
            conn,
            "SELECT c.GUID FROM APP_VMBackupSet v JOIN APP_Client c ON c.id = v.VMClientId "
            "WHERE v.ParentBackupSetId = ? ORDER BY v.VMClientId",
            {DbValue::ofInt(backupSetId)}, st);
        if (rc != zydb::DB_OK) return dbFailure(call, rc);
        while ((rc = st->step()) == zydb::DB_OK) {
            std::string guid(st->columnText(0));
            if (guid.empty()) continue;
            std::vector<DbValue> row = *newestCycleRow;
            row[14] = DbValue::ofText(guid);
            vmRows.push_back(std::move(row));
        }
        if (rc != zydb::DB_NO_DATA) return dbFailure(call, rc);
    }
    for (auto& set : sets)
        for (auto& row : set) call.addRow(std::move(row));
    for (auto& row : vmRows) call.addRow(std::move(row));
    return zydb::DB_OK;
}

}  // namespace

}  // namespace hubdb
