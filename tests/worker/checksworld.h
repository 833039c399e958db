// The demo world opened as the process's database and registry for the worker's check tests, with a
// worker whose switches a test may set, a task for it and a recorder of what reaches the task's caller.
// Everything made is removed at the end. One test thread.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdb/seed_families_a.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/log/evdebug.h"
#include "platform/msg/msg_classes.h"
#include "platform/security/evalertex.h"
#include "platform/security/securityseed.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndestination.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/worker/workertester.h"
#include "worker/fastbrowsehmworkerthread.h"

// Whether `id` has the shape of a generated session id: seconds since 1970, a hyphen and 32 lower-case
// hex digits of chance.
inline bool isGeneratedSessionId(const std::string& id) {
    const size_t hyphen = id.find('-');
    if (hyphen == 0 || hyphen == std::string::npos || id.size() != hyphen + 33) return false;
    for (size_t i = 0; i < id.size(); ++i) {
        const char c = id[i];
        const bool ok = i < hyphen ? (c >= '0' && c <= '9')
                                   : i == hyphen || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        if (!ok) return false;
    }
    return true;
}

// A worker whose index-service keys a test chooses.
class CheckWorker : public CWorkerThreadHM {
public:
    void setCheckClientMap(int value) { fields(*this).checkClientMap() = value; }
};

class ChecksWorld : public ::testing::Test {
protected:
    static constexpr long long kJobId = 880011;

    void SetUp() override {
        EvDebugFileInstance::setLogDirectory(dir.path());
        std::string error;
        ASSERT_TRUE(hubdemo::createDemoWorld(dir.file("demo"), world, &error)) << error;
        ASSERT_EQ(hubdb::openHubDatabase(world.databasePath, &error), zydb::DB_OK) << error;
        recorder = std::make_shared<EvRecordingDestination>();
        EvReturnDestinations::registerDestination(kJobId, recorder);
        CAlertStore::clear();
        worker = std::make_unique<CheckWorker>();
        worker->setWorkerId("77");
        task.setJobId(kJobId);
        task.setTaskLocale(0x0409);
    }
    void TearDown() override {
        worker.reset();
        EvReturnDestinations::unregisterDestination(kJobId);
        zydb::CDbEnv::close();
        ZYPlatformInfo::setRegistryPath("");
        // A later log line would make the removed folder again.
        EvDebugFileInstance::setLogDirectory("");
    }

    // A task over the demo's first file-system client for `userId` named `userName`.
    void fileTask(int userId, const std::string& userName) {
        task.setUserId(userId);
        task.setUserName(userName.c_str());
        task.setKelmarchId(2);
        task.setClientId(world.fileClient);
        task.setAppType(apptype::of(world.fileAppType));
        task.setInstanceId(1);
        task.setBackupSetId(world.fileBackupSet);
    }

    int addUser(const std::string& login) {
        hubdb::HubDbSeed seed(world.databasePath);
        return hubdb::RowSeed(seed).addUser({.login = login});
    }
    template <class F>
    void withSecurity(F&& f) {
        hubdb::HubDbSeed seed(world.databasePath);
        zysec::SecuritySeed security(seed);
        f(security);
        EXPECT_TRUE(security.ok()) << security.error();
    }
    void exec(const std::string& sql, const std::vector<zydb::DbValue>& params = {}) {
        hubdb::HubDbSeed seed(world.databasePath);
        ASSERT_EQ(seed.exec(sql, params), zydb::DB_OK) << sql;
    }

    // The browse responses that reached the task's caller, in order.
    std::vector<databrowse::BrowseResponse> responses() const {
        std::vector<databrowse::BrowseResponse> out;
        for (const std::string& xml : recorder->payloads(EV_RETURN_RECORD_XML_ITEM))
            EXPECT_EQ(out.emplace_back().unserialize(xml), 0) << xml;
        return out;
    }
    static long long responseType(databrowse::BrowseResponse& r) {
        return r.getint64(databrowse::BrowseResponse::f::respType);
    }
    static std::pair<long long, std::string> firstError(databrowse::BrowseResponse& r) {
        auto* errors = r.getlistobject(databrowse::BrowseResponse::f::messages, false);
        if (errors == nullptr || errors->empty()) return {0, ""};
        return {errors->front().getint64(databrowse::BrowseError::f::errorCode),
                errors->front().getstring(databrowse::BrowseError::f::errorMessage)};
    }

    TempDir dir;
    hubdemo::DemoWorld world;
    std::shared_ptr<EvRecordingDestination> recorder;
    std::unique_ptr<CheckWorker> worker;
    EvMultiEntityRestoreTask task;
};
