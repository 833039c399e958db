// The body's settings of the input record over the demo world: the reference-copy and exact-index
// switches, the index cache of the browse task's version record, the table-view path prefixes of
// database applications, the media agent found from the browse's data archive file, and the reasons a
// dispatch that cannot go on gives.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "planning/browsetask.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/entities/sdversion.h"
#include "platform/entities/zyclient.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/log/evdebug.h"
#include "platform/tasks/evrestoretask.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/worker/workertester.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

class BodyWorker : public CWorkerThreadHM {
public:
    using CWorkerThreadHM::fillInputRecord;
    using CWorkerThreadHM::prefixTableViewPaths;
    using CWorkerThreadHM::setMediaAgentInternal;
};

class MainBody : public ::testing::Test {
protected:
    void SetUp() override {
        EvDebugFileInstance::setLogDirectory(dir.path());
        std::string error;
        ASSERT_TRUE(hubdemo::createDemoWorld(dir.file("demo"), world, &error)) << error;
        ASSERT_EQ(hubdb::openHubDatabase(world.databasePath, &error), zydb::DB_OK) << error;
        ZYPlatformInfo::setRegistryPath(dir.file("registry.ini"));
        worker = std::make_unique<BodyWorker>();
        bt = worker->getBrowseTask()->getDataPtr();
        bt->kelmarchId = 2;
        bt->srcClientId = static_cast<uint32_t>(world.fileClient);
        bt->appType = apptype::of(world.fileAppType);
    }
    void TearDown() override {
        delete bt->sdVersion;
        bt->sdVersion = nullptr;
        worker.reset();
        zydb::CDbEnv::close();
        ZYPlatformInfo::setRegistryPath("");
        EvDebugFileInstance::setLogDirectory("");
    }
    TInputData& filled() {
        worker->fillInputRecord(false);
        return fields(*worker).inputData();
    }

    TempDir dir;
    hubdemo::DemoWorld world;
    std::unique_ptr<BodyWorker> worker;
    TBrowseTask* bt = nullptr;
};

// The reference copy comes from the registry only (0 when absent or 0); the exact index is set for
// the types that need it or by the registry, and cleared for every other browse.
TEST_F(MainBody, ReferenceCopyAndExactIndexSwitches) {
    bt->options1 = 0x1;  // a caller's exact-index bit is not kept for a file system
    EXPECT_EQ(filled().referenceCopyId, 0u);
    EXPECT_EQ(filled().value49 & 0x1, 0u);
    ASSERT_TRUE(ZYPlatformInfo::setNumber("~MediaAgent", "nUSEREFERENCECOPYID", 7));
    EXPECT_EQ(filled().referenceCopyId, 7u);
    ASSERT_TRUE(ZYPlatformInfo::setNumber("~MediaAgent", "nUSEREFERENCECOPYID", 0));
    EXPECT_EQ(filled().referenceCopyId, 0u);

    for (uint64_t appType : {106, 65, 75, 76, 87, 41}) {
        bt->appType = apptype::of(static_cast<int64_t>(appType));
        bt->options1 = 0;
        EXPECT_EQ(filled().value49 & 0x1, 1u) << appType;
    }
    bt->appType = apptype::of(world.fileAppType);
    ASSERT_TRUE(ZYPlatformInfo::setNumber("Hubmaster", "nUseExactIndex", 1));
    EXPECT_EQ(filled().value49 & 0x1, 1u);
    ASSERT_TRUE(ZYPlatformInfo::setNumber("Hubmaster", "nUseExactIndex", 0));
    EXPECT_EQ(filled().value49 & 0x1, 0u);
}

// The version record's index cache gives the index time and its three archive files; without one the
// index is read as of no particular time.
TEST_F(MainBody, IndexCacheOfTheVersionRecord) {
    EXPECT_EQ(filled().indexTimeStamp, 0x7fffffffu);
    bt->sdVersion = new SDVersion();
    EXPECT_EQ(filled().indexTimeStamp, 0x7fffffffu) << "a version record without a cache";
    SDIndexCache cache;
    cache.timeStamp = 1700001234;
    cache.archFileIds[0] = 11;
    cache.archFileIds[1] = 12;
    cache.archFileIds[2] = 0x100000013ULL;
    bt->sdVersion->setIndexCache(cache);
    const TInputData& in = filled();
    EXPECT_EQ(in.indexTimeStamp, 1700001234u);
    EXPECT_EQ(in.indexAfileId1, 11u);
    EXPECT_EQ(in.indexAfileId2, 12u);
    EXPECT_EQ(in.indexAfileId3, 0x100000013ULL);
}

// Oracle and PostgreSQL table views: a path from the root is prefixed with "/TblView" when the task
// allows table view, once; Oracle of a later release drops the exact index. Indexing-V2 database
// applications prefix the request's first path by the browse path's own separator.
TEST_F(MainBody, TableViewPathPrefixes) {
    auto prefixed = [&](uint64_t appType, const std::string& path, uint64_t flags) {
        bt->appType = apptype::of(static_cast<int64_t>(appType));
        bt->browsePath = path;
        bt->options1 = flags;
        fields(*worker).inputData().browsePath = path;
        fields(*worker).inputData().value48 = 987654;  // an archive file the archive manager does not know
        fields(*worker).inputData().value49 = 0x1;
        worker->prefixTableViewPaths();
        return fields(*worker).inputData().browsePath;
    };
    constexpr uint64_t kAllowed = 0x80000000ULL;
    EXPECT_EQ(prefixed(22, "/ORCL/SCOTT", kAllowed), "/TblView/ORCL/SCOTT");
    EXPECT_EQ(fields(*worker).inputData().value49 & 0x1, 0u)
        << "a later release browses without the exact index";
    EXPECT_EQ(prefixed(80, "/ORCL", kAllowed), "/TblView/ORCL");
    EXPECT_EQ(prefixed(22, "/ORCL", 0), "/ORCL") << "table view not allowed";
    EXPECT_EQ(prefixed(22, "/TblView/ORCL", kAllowed), "/TblView/ORCL");
    EXPECT_EQ(prefixed(125, "/pgdb", kAllowed), "/TblView/pgdb");
    EXPECT_EQ(prefixed(125, "/pgdb", 0), "/pgdb");
    EXPECT_EQ(prefixed(29, "/home", kAllowed), "/home") << "no database application";
    worker->getPrivateTask()->addPath(EvRestoreTask::kBrowsePathList, "/TblView");
    EXPECT_EQ(prefixed(125, "/pgdb", kAllowed), "/pgdb") << "a table-view path was asked for";

    auto requestPath = [&](const std::string& browsePath, const std::string& first) {
        bt->browsePath = browsePath;
        databrowse::BrowsePath p;
        p.setstring(databrowse::BrowsePath::f::path, first);
        fields(*worker).browseRequest().setlistobject(databrowse::BrowseRequest::f::paths, {p});
        worker->FixPathForTblViewBrowse();
        return fields(*worker)
            .browseRequest()
            .getlistobject(databrowse::BrowseRequest::f::paths, false)
            ->front()
            .getstring(databrowse::BrowsePath::f::path);
    };
    EXPECT_EQ(requestPath("/db/t1", "/db/t1"), "/TblView/db/t1");
    EXPECT_EQ(requestPath("\\db\\t1", "\\db\\t1"), "\\TblView\\db\\t1");
    EXPECT_EQ(requestPath("/db", "/TblView/db"), "/TblView/db");
    EXPECT_EQ(requestPath("db", "db"), "db");
}

// Without a media agent from the archive manager, the one of the browse's data archive file and copy:
// the file of the input record, else the task's snapshot file; nothing without a file.
TEST_F(MainBody, MediaAgentOfTheDataArchiveFile) {
    long long afile = 0;
    {
        hubdb::HubDbSeed seed(world.databasePath);
        afile = seed.queryInt("SELECT id FROM archFile WHERE appId = ? ORDER BY id DESC",
                              {zydb::DbValue::ofInt(world.fileSubclient)});
    }
    ASSERT_GT(afile, 0);
    std::string agent;
    ASSERT_EQ(ZYClient(static_cast<unsigned long>(world.mediaAgent)).getName(agent), 0);
    bt->copyPrecedence = 1;

    EXPECT_FALSE(worker->setMediaAgentInternal()) << "no data archive file";
    fields(*worker).inputData().value48 = static_cast<uint64_t>(afile);
    worker->setMediaAgentHost("");
    ASSERT_TRUE(worker->setMediaAgentInternal());
    EXPECT_NE(worker->getMediaAgentHost().find(agent), std::string::npos) << worker->getMediaAgentHost();

    fields(*worker).inputData().value48 = 0;
    bt->snapAfileId = static_cast<uint32_t>(afile);
    worker->setMediaAgentHost("");
    EXPECT_TRUE(worker->setMediaAgentInternal());
    EXPECT_NE(worker->getMediaAgentHost().find(agent), std::string::npos);

    bt->snapAfileId = 987654;
    EXPECT_FALSE(worker->setMediaAgentInternal()) << "an archive file the archive manager does not know";
    bt->snapAfileId = static_cast<uint32_t>(afile);
    bt->copyPrecedence = 9;
    EXPECT_FALSE(worker->setMediaAgentInternal()) << "no copy of that precedence";
}

// A dispatch that cannot go on says why: no plan of cycles for a skip-content browse, no media agent for
// a classic one. The reason travels in the result; the request's one exit writes the error state.
TEST_F(MainBody, DispatchFailuresSayWhy) {
    bt->skipContent = 1;
    bt->planner = nullptr;
    const CStepResult noPlan = worker->dispatchRequest();
    EXPECT_EQ(noPlan.code(), databrowse::BROWSE_ERR_GENERIC);
    EXPECT_EQ(noPlan.text(), "The browse has no plan of backup cycles to browse");

    bt->skipContent = 0;
    bt->subclientId = 999999;  // no media agent from the archive manager, an archive file or the options
    const CStepResult noAgent = worker->dispatchRequest();
    EXPECT_EQ(noAgent.code(), databrowse::BROWSE_ERR_REQUEST_PROCESSING);
    EXPECT_EQ(noAgent.text(), "No media agent can be found to browse the requested data");
    EXPECT_STREQ(worker->getErrorMessage(), "");

    // A failure never passes for a success, whatever code it was given.
    const CStepResult withoutCode = CStepResult::failure(databrowse::BROWSE_ERR_NONE, "why");
    EXPECT_FALSE(withoutCode.ok());
    EXPECT_EQ(withoutCode.code(), databrowse::BROWSE_ERR_GENERIC);
}

}  // namespace
