#include "tools/mediaagent/agentplan.h"

#include <algorithm>
#include <map>
#include <memory>

#include "platform/db/dbbackend.h"
#include "platform/db/dbresult.h"
#include "platform/entities/apptypes.h"
#include "platform/hubdb/archivefiles.h"

namespace mediaagent {

namespace {

using zydb::DbValue;

bool queryFailed(zydb::IDbConnection& conn, const char* what, std::string& error) {
    error = std::string(what) + ": " + conn.lastError();
    return false;
}

bool loadClient(zydb::IDbConnection& conn, const std::string& name, TAgentPlan& plan, std::string& error) {
    std::unique_ptr<zydb::IDbStatement> st;
    if (zydb::prepareBound(
            conn,
            "SELECT c.id, c.name, IFNULL(c.net_hostname, ''), IFNULL(c.zydPort, 0), "
            "IFNULL(m.versionText, '') FROM APP_Client c LEFT JOIN mediaAgent m ON m.clientId = "
            "c.id WHERE c.name = ?1 OR c.net_hostname = ?1 ORDER BY c.id LIMIT 1",
            {DbValue::ofText(name)}, st) != zydb::DB_OK)
        return queryFailed(conn, "reading APP_Client", error);
    const int rc = st->step();
    if (rc == zydb::DB_NO_DATA) {
        error = "no client named [" + name + "] in the Hubmaster database";
        return false;
    }
    if (rc != zydb::DB_OK) return queryFailed(conn, "reading APP_Client", error);
    plan.clientId = static_cast<int>(st->columnInt64(0));
    plan.clientName = std::string(st->columnText(1));
    plan.hostName = std::string(st->columnText(2));
    plan.zydPort = static_cast<int>(st->columnInt64(3));
    plan.versionText = std::string(st->columnText(4));
    if (plan.hostName.empty()) plan.hostName = plan.clientName;
    return true;
}

// The subclients with archive files on a copy this media agent serves, each with the best (lowest)
// precedence of such a copy.
bool loadServedCopies(zydb::IDbConnection& conn, int mediaAgent, std::map<int, int>& precedenceByApp,
                      std::string& error) {
    std::unique_ptr<zydb::IDbStatement> st;
    if (zydb::prepareBound(conn,
                           "SELECT f.appId, MIN(g.copy) FROM archGroupCopy g "
                           "JOIN archFileCopy c ON c.archCopyId = g.id AND c.mediaAgentId = ?1 "
                           "JOIN archFile f ON f.id = c.archFileId AND f.kelmarchId = c.kelmarchId "
                           "WHERE g.mediaAgentId = ?1 GROUP BY f.appId ORDER BY f.appId",
                           {DbValue::ofInt(mediaAgent)}, st) != zydb::DB_OK)
        return queryFailed(conn, "reading the copies of the media agent", error);
    int rc;
    while ((rc = st->step()) == zydb::DB_OK)
        precedenceByApp[static_cast<int>(st->columnInt64(0))] = static_cast<int>(st->columnInt64(1));
    return rc == zydb::DB_NO_DATA || queryFailed(conn, "reading the copies of the media agent", error);
}

// The older-layout name of a mailbox root: the triplet the mailbox directory records for its owner.
bool loadFormerName(zydb::IDbConnection& conn, TContentRoot& root, std::string& error) {
    std::unique_ptr<zydb::IDbStatement> st;
    if (zydb::prepareBound(
            conn,
            "SELECT IFNULL(exchangeServer, ''), IFNULL(databaseName, ''), IFNULL(aliasName, '') "
            "FROM APP_EmailConfigPolicyAssoc WHERE IFNULL(deleted, 0) = 0 AND "
            "LOWER(TRIM(userGuid, '{}')) = LOWER(TRIM(?, '{}')) ORDER BY created DESC, assocId "
            "DESC LIMIT 1",
            {DbValue::ofText(root.owner)}, st) != zydb::DB_OK)
        return queryFailed(conn, "reading the mailbox directory", error);
    const int rc = st->step();
    if (rc == zydb::DB_NO_DATA) return true;
    if (rc != zydb::DB_OK) return queryFailed(conn, "reading the mailbox directory", error);
    const std::string server(st->columnText(0)), store(st->columnText(1)), alias(st->columnText(2));
    if (!server.empty() && !store.empty() && !alias.empty())
        root.formerName = server + kFormerLayoutSeparator + store + kFormerLayoutSeparator + alias;
    return true;
}

// The VMs of a hypervisor's backup set, each by its GUID (its current "Virtual Machine Instance UUID",
// else its client's GUID) with the first subclient of its own backup set. A VM's own subclient has none.
bool loadVmSubclients(zydb::IDbConnection& conn, TSubclientPlan& sub, std::string& error) {
    std::unique_ptr<zydb::IDbStatement> st;
    if (zydb::prepareBound(
            conn,
            "SELECT IFNULL((SELECT p.attrVal FROM APP_ClientProp p WHERE p.componentNameId = v.VMClientId "
            "AND "
            "p.attrName = 'Virtual Machine Instance UUID' AND p.modified = 0 ORDER BY p.created DESC, p.id "
            "DESC "
            "LIMIT 1), IFNULL(c.GUID, '')), (SELECT MIN(a.id) FROM APP_Application a WHERE a.backupSet = "
            "v.ChildBackupSetId) FROM APP_VMBackupSet v JOIN APP_Client c ON c.id = v.VMClientId "
            "WHERE v.ParentBackupSetId = (SELECT backupSet FROM APP_Application WHERE id = ?) ORDER BY "
            "v.VMClientId",
            {DbValue::ofInt(sub.appId)}, st) != zydb::DB_OK)
        return queryFailed(conn, "reading the virtual machines of the hypervisor", error);
    int rc;
    while ((rc = st->step()) == zydb::DB_OK) {
        const std::string guid(st->columnText(0));
        if (!guid.empty() && !st->columnIsNull(1))
            sub.vmSubclients.emplace_back(guid, static_cast<int>(st->columnInt64(1)));
    }
    return rc == zydb::DB_NO_DATA ||
           queryFailed(conn, "reading the virtual machines of the hypervisor", error);
}

bool loadSubclient(zydb::IDbConnection& conn, int mediaAgent, int appId, int precedence, TSubclientPlan& sub,
                   std::string& error) {
    std::unique_ptr<zydb::IDbStatement> st;
    if (zydb::prepareBound(
            conn, "SELECT clientId, appTypeId, IFNULL(origKMId, 0) FROM APP_Application WHERE id = ?",
            {DbValue::ofInt(appId)}, st) != zydb::DB_OK ||
        st->step() != zydb::DB_OK)
        return queryFailed(conn, ("reading subclient " + std::to_string(appId)).c_str(), error);
    sub.appId = appId;
    sub.clientId = static_cast<int>(st->columnInt64(0));
    sub.appType = apptype::of(static_cast<int>(st->columnInt64(1)));
    sub.kelmarchId = static_cast<int>(st->columnInt64(2));

    std::vector<hubdb::ArchiveFileOnCopy> files;
    if (hubdb::listArchiveFiles(conn, appId, precedence, 0, files) != zydb::DB_OK)
        return queryFailed(conn, ("reading the archive files of subclient " + std::to_string(appId)).c_str(),
                           error);
    // What this media agent can browse: finished jobs' files that still lie on its copy.
    std::erase_if(files, [mediaAgent](const hubdb::ArchiveFileOnCopy& f) {
        return f.mediaAgentId != mediaAgent || f.aged || f.runningJob;
    });
    const hubdb::BackupTimeline timeline(std::move(files));
    std::map<std::pair<int, int>, size_t> jobIndex;
    for (const hubdb::BackupTimeline::Job& j : timeline.jobs) {
        jobIndex[{j.jobId, j.kelmarchId}] = sub.jobs.size();
        sub.jobs.push_back({j.jobId, j.kelmarchId, j.time, j.cycle, j.full, {}, {}});
    }
    for (const hubdb::ArchiveFileOnCopy& f : timeline.files) {
        sub.archiveFiles.push_back(
            {f.id, f.jobId, f.kelmarchId, f.fileType, f.cTime, f.copyId, f.physicalSize});
        TJobPlan& job = sub.jobs[jobIndex[{f.jobId, f.kelmarchId}]];
        if (hubdb::isDataFileType(f.fileType))
            job.dataFiles.push_back(f.id);
        else if (hubdb::isIndexFileType(f.fileType))
            job.indexFiles.push_back(f.id);
    }
    if (sub.kelmarchId == 0 && !sub.jobs.empty()) sub.kelmarchId = sub.jobs.front().kelmarchId;

    if (zydb::prepareBound(conn,
                           "SELECT attrVal FROM APP_SubClientProp WHERE componentNameId = ? AND attrName = "
                           "'Items Of Unknown Type' AND modified = 0",
                           {DbValue::ofInt(appId)}, st) != zydb::DB_OK)
        return queryFailed(conn, "reading the items of unknown type", error);
    int rc;
    while ((rc = st->step()) == zydb::DB_OK) {
        const std::string paths(st->columnText(0));
        for (size_t start = 0; start < paths.size();) {
            const size_t end = std::min(paths.find(';', start), paths.size());
            if (end > start) sub.unknownTypePaths.push_back(paths.substr(start, end - start));
            start = end + 1;
        }
    }
    if (rc != zydb::DB_NO_DATA) return queryFailed(conn, "reading the items of unknown type", error);

    if (zydb::prepareBound(conn,
                           "SELECT attrVal FROM APP_SubClientProp WHERE componentNameId = ? AND attrName = "
                           "'Content Root' AND modified = 0",
                           {DbValue::ofInt(appId)}, st) != zydb::DB_OK)
        return queryFailed(conn, "reading the content root", error);
    if ((rc = st->step()) == zydb::DB_OK)
        sub.contentRoots = parseContentRoots(std::string(st->columnText(0)));
    if (rc != zydb::DB_OK && rc != zydb::DB_NO_DATA)
        return queryFailed(conn, "reading the content root", error);
    for (TContentRoot& root : sub.contentRoots)
        if (!root.owner.empty() && !loadFormerName(conn, root, error)) return false;
    if (sub.appType == apptype::kVirtualServer && !loadVmSubclients(conn, sub, error)) return false;
    return true;
}

}  // namespace

std::vector<TContentRoot> parseContentRoots(const std::string& text) {
    std::vector<TContentRoot> roots;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find(';', start), text.size());
        const std::string one = text.substr(start, end - start);
        start = end + 1;
        const size_t equals = one.find('=');
        TContentRoot root{one.substr(0, equals), equals == std::string::npos ? "" : one.substr(equals + 1)};
        if (!root.path.empty()) roots.push_back(std::move(root));
    }
    return roots;
}

std::string TAgentPlan::signature() const {
    // The index's layout is part of what it is made from: a file of an older layout is made again.
    std::string s = "layout4;" + std::to_string(clientId);
    for (const TSubclientPlan& sub : subclients) {
        s += ";" + std::to_string(sub.appId) + ":" + std::to_string(sub.clientId) + ":" +
             std::to_string(apptype::code(sub.appType)) + ":" + std::to_string(sub.kelmarchId);
        for (const TJobPlan& j : sub.jobs)
            s += "," + std::to_string(j.jobId) + "@" + std::to_string(j.time) + "c" + std::to_string(j.cycle);
        for (const TArchiveFilePlan& f : sub.archiveFiles)
            s += "," + std::to_string(f.id) + "t" + std::to_string(f.fileType) + "s" +
                 std::to_string(f.physicalSize);
        for (const std::string& path : sub.unknownTypePaths) s += ",?" + path;
        for (const TContentRoot& root : sub.contentRoots)
            s += ",/" + root.path + "=" + root.owner + (root.formerName.empty() ? "" : "~" + root.formerName);
        for (const auto& [guid, vmAppId] : sub.vmSubclients)
            s += ",vm" + guid + "=" + std::to_string(vmAppId);
    }
    return s;
}

bool loadAgentPlan(const std::string& hubDbPath, const std::string& clientName, TAgentPlan& plan,
                   std::string& error) {
    plan = TAgentPlan{};
    std::unique_ptr<zydb::IDbConnection> conn;
    if (zydb::sqliteBackend().connect(hubDbPath, zydb::DbOpenOptions{}, conn, error) != zydb::DB_OK) {
        error = "cannot open the Hubmaster database " + hubDbPath + ": " + error;
        return false;
    }
    if (!loadClient(*conn, clientName, plan, error)) return false;
    std::map<int, int> precedenceByApp;
    if (!loadServedCopies(*conn, plan.clientId, precedenceByApp, error)) return false;
    for (const auto& [appId, precedence] : precedenceByApp) {
        TSubclientPlan sub;
        if (!loadSubclient(*conn, plan.clientId, appId, precedence, sub, error)) return false;
        if (!sub.jobs.empty()) plan.subclients.push_back(std::move(sub));
    }
    return true;
}

}  // namespace mediaagent
