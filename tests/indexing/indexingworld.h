// The indexing-V2 tests' world: a Hubmaster database seeded in a temporary folder with a file-system
// client whose backup set keeps one index database per subclient, three subclients with a full backup
// each, index servers on media agents of a chosen service pack, and a worker whose planner has split
// the backup set into its index databases. One test at a time, on the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "planning/browsetask.h"
#include "planning/superbrowsemanager.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdb/seed_families_a.h"
#include "platform/hubdb/seed_familiesb.h"
#include "platform/log/evdebug.h"
#include "platform/security/securityseed.h"
#include "platform/tasks/evrestoretask.h"
#include "tests/planning/plannerworld.h"
#include "tests/support/worker/workertester.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace indexingtest {

using plannertest::kDay;
using plannertest::kT0;
constexpr int kAppType = 29;

// A worker whose query list a test sets, as normalisation would from the task's filter.
class CIndexingTestWorker : public CWorkerThreadHM {
public:
    void setQueries(const databrowse::Querylist& queries) {
        fields(*this).queryList() = std::make_unique<databrowse::Querylist>(queries);
    }
    using CWorkerThreadHM::runNasLiveBrowsePlugin;
};

// Built on the planner tests' world (its media agent, storage policy and client), with a backup set
// of its own.
class IndexingWorld : public plannertest::Planner {
protected:
    void SetUp() override {
        Planner::SetUp();
        // The index-server cache outlives a test: each test's backup set has a GUID of its own.
        static int worlds = 0;
        backupSetGuid = "B5000000-0000-4000-8000-" + std::to_string(100000000000 + ++worlds);
        bs = seed->addBackupSet("bs-indexed", backupSetGuid);
        for (int n = 1; n <= 3; ++n)
            subclients.push_back(seed->addSubclient({.clientId = client,
                                                     .appTypeId = kAppType,
                                                     .backupSetId = bs,
                                                     .name = "sc" + std::to_string(n),
                                                     .guid = subclientGuid(n),
                                                     .storagePolicyId = sp}));
    }
    void TearDown() override {
        worker.reset();
        planner.reset();
        Planner::TearDown();
    }

    static std::string subclientGuid(int n) {
        return "5C000000-0000-4000-8000-00000000000" + std::to_string(n);
    }

    // One index database per subclient, subclient n on the index server of media agent names[n-1]
    // (created once per name, at `servicePack`).
    void perSubclientIndexes(const std::vector<std::string>& names, int servicePack = 24) {
        seed->addProperty("APP_BackupSetProp",
                          {.ownerId = bs, .name = "Subclient Level Index", .value = "1"});
        hubdb::FamiliesBSeed fb(*seed);
        std::map<std::string, int> servers;
        for (size_t n = 0; n < names.size(); ++n) {
            if (!servers.count(names[n])) {
                int node = seed->addMediaAgent({.name = names[n]}, "11.0 SP" + std::to_string(servicePack));
                servers[names[n]] = fb.addIndexServer("File System", "", {{.clientId = node}});
            }
            hubdb::IndexDatabaseSeed db;
            db.dbName = subclientGuid(static_cast<int>(n) + 1);
            db.backupSetId = bs;
            db.engineType = 1;
            db.currentIdxServer = servers[names[n]];
            fb.addIndexDatabase(db);
        }
        ASSERT_TRUE(fb.ok()) << fb.error();
    }
    // One index database for the whole backup set, on the index server of media agent `name`.
    void backupSetIndex(const std::string& name) {
        hubdb::FamiliesBSeed fb(*seed);
        hubdb::IndexDatabaseSeed db;
        db.dbName = backupSetGuid;
        db.backupSetId = bs;
        db.engineType = 1;
        db.currentIdxServer = fb.addIndexServer(
            "File System", "", {{.clientId = seed->addMediaAgent({.name = name}, "11.0 SP24")}});
        fb.addIndexDatabase(db);
        ASSERT_TRUE(fb.ok()) << fb.error();
    }
    void fullBackups(int time = kT0) {
        for (int sc : subclients) seed->addBackup(sc, 1, time, 2);
    }
    int addUser(const std::string& login) { return hubdb::RowSeed(*seed).addUser({.login = login}); }
    void grantBrowse(int user, int subclient) {
        zysec::SecuritySeed security(*seed);
        security.grant(user, zysec::kPermBrowse, {.subclientId = subclient});
        ASSERT_TRUE(security.ok()) << security.error();
    }
    // The worker of a browse of the whole backup set up to `to` by `userId`, its planner split into the
    // backup set's index databases (none when `withPlanner` is false).
    void makeWorker(int userId = 0, int to = kT0 + kDay, bool withPlanner = true) {
        worker = std::make_unique<CIndexingTestWorker>();
        EvMultiEntityRestoreTask* task = worker->getPrivateTask();
        task->setTaskParameters(0, 0, userId, 0, 2, client, bs, 0, to, 0, kAppType, 1, 0, 0);
        task->setSubClientId(0);
        task->setUserName(userId > 0 ? "user" : "admin");
        TInputData* in = worker->getInputData();
        in->appType = kAppType;
        in->kelmarchId = 2;
        in->toTime = static_cast<uint32_t>(to);
        if (withPlanner) {
            planner = std::make_unique<SuperBrowseManager>(task);
            ASSERT_EQ(planner->getIndexing2DbsForBackupSet(apptype::of(kAppType), client, bs, 0, 0, to, 0),
                      0);
            worker->getBrowseTask()->getDataPtr()->planner = planner.get();
        }
        databrowse::BrowsePath path;
        path.setstring(databrowse::BrowsePath::f::path, "\\");
        worker->getBrowseReqV2()->getlistobject(databrowse::BrowseRequest::f::paths, true)->push_back(path);
    }

    // Parts of the completed request.
    CNMessageBase* routing() {
        CNMessageBase* indexing =
            worker->getBrowseReqV2()->getObjectAccessor(databrowse::BrowseRequest::f::indexing, false);
        return indexing ? indexing->getObjectAccessor(databrowse::Msg91::f::indexingInfo, false) : nullptr;
    }
    CNMessageBase* chosenDatabase() {
        CNMessageBase* r = routing();
        return r ? r->getObjectAccessor(databrowse::IndexingInfo::f::indexDBInfo, false) : nullptr;
    }
    std::vector<int64_t> subclientIds() {
        std::vector<int64_t> ids;
        CNMessageBase* db = chosenDatabase();
        auto* list = db ? db->getlistobject(databrowse::IndexDBInfo::f::subclients, false) : nullptr;
        for (const CNMessageBase& s : list ? *list : std::vector<CNMessageBase>{})
            ids.push_back(s.getint64(databrowse::SubclientInfo::f::appId));
        return ids;
    }

    std::string backupSetGuid;
    std::vector<int> subclients;
    std::unique_ptr<SuperBrowseManager> planner;
    std::unique_ptr<CIndexingTestWorker> worker;
};

}  // namespace indexingtest
