// Session configurations over the planner's real split of the demo world: super browse, subclient
// browse, skip content and classic browse (with the subclient content list and erase filters), and
// the small records the classic browse uses.
#include "planning/configuration.h"

#include <gtest/gtest.h>

#include "planning/browsetask.h"
#include "planning/confrecord.h"
#include "planning/superbrowsemanager.h"
#include "platform/entities/contentseed.h"
#include "platform/entities/entityseed.h"
#include "platform/entities/sdversion.h"
#include "tests/planning/planningworld.h"

namespace {

constexpr uint64_t kKeepEveryCycle = 0x8;

class SessionKinds : public PlanningWorld {
protected:
    // A browse over `days` days from the first backup, keeping every cycle of the range.
    std::unique_ptr<EvMultiEntityRestoreTask> rangeTask(const std::string& session, long days,
                                                        const std::string& path = "/") {
        auto task = fileTask(session, days, path);
        task->setFromTime(static_cast<long>(world.firstBackupTime) - 60);
        task->setOptions(kKeepEveryCycle);
        return task;
    }
    void disableSuperBrowse() {
        ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", "nDISABLESUPERBROWSE", 1));
    }
    void addContent(std::initializer_list<zyent::ContentLineSeed> lines) {
        hubdb::HubDbSeed seed(world.databasePath);
        zyent::SubclientContentSeed content(seed);
        for (const auto& line : lines) ASSERT_GT(content.addLine(line), 0) << content.error();
    }
    // The second subclient of the demo's file-system backup set, seeded here.
    int addSecondSubclient() {
        hubdb::HubDbSeed seed(world.databasePath);
        return seed.addSubclient({.clientId = world.fileClient,
                                  .appTypeId = world.fileAppType,
                                  .backupSetId = world.fileBackupSet,
                                  .name = "documents",
                                  .storagePolicyId = world.storagePolicy});
    }
    // Sets `browse` up for `task`; the configuration of its session, or null (a failed test).
    CConfiguration* setUp(CBrowseTask& browse, EvMultiEntityRestoreTask& task) {
        EXPECT_EQ(browse.initBrowse(&task), 1) << browse.getLastError();
        CConfRecord* record = cache->getConfRec(task.getbrowseSessionGUID(), false);
        return record ? record->getConfiguration() : nullptr;
    }
};

TEST_F(SessionKinds, RangeOfSeveralCyclesIsOneSuperBrowse) {
    auto task = rangeTask("super", 12);
    CBrowseTask browse;
    CConfiguration* conf = setUp(browse, *task);
    ASSERT_NE(conf, nullptr);
    EXPECT_TRUE(conf->isSuperBrowse());
    EXPECT_EQ(browse.getDataPtr()->isSuperBrowse, 1);
    EXPECT_EQ(browse.getDataPtr()->planner, conf->getSuperBrowseManager());
    EXPECT_GE(conf->getSuperBrowseManager()->getCycleCount(), 2u);
}

TEST_F(SessionKinds, LatestBrowseOfOneCycleIsASubclientBrowse) {
    auto task = fileTask("one", 3);
    CBrowseTask browse;
    CConfiguration* conf = setUp(browse, *task);
    ASSERT_NE(conf, nullptr);
    EXPECT_FALSE(conf->isSuperBrowse());
    EXPECT_TRUE(conf->isSubclientBrowse());
    EXPECT_EQ(conf->getSubclientBrowseAppId(), world.fileSubclient);
    EXPECT_EQ(browse.getDataPtr()->appId, static_cast<uint32_t>(world.fileSubclient));
}

TEST_F(SessionKinds, SkipContentWhenAskedAndNotSuperBrowse) {
    disableSuperBrowse();
    auto task = rangeTask("skip", 12);
    std::string extended(1024, '0');
    extended[87] = '1';
    task->setextendedOptions(extended.c_str());
    CBrowseTask browse;
    CConfiguration* conf = setUp(browse, *task);
    ASSERT_NE(conf, nullptr);
    EXPECT_FALSE(conf->isSuperBrowse());
    EXPECT_TRUE(conf->skipContent());
    EXPECT_EQ(browse.getDataPtr()->skipContent, 1);
}

TEST_F(SessionKinds, ClassicBrowseMapsThePathToItsSubclientAndContent) {
    const int documents = addSecondSubclient();
    ASSERT_GT(documents, 0);
    addContent(
        {{.subclientId = world.fileSubclient, .lineNumber = 1, .path = "/home"},
         {.subclientId = world.fileSubclient,
          .lineNumber = 2,
          .path = "/home/alice/cache",
          .exclusion = true},
         {.subclientId = documents, .lineNumber = 1, .path = "/home/alice/docs", .displayName = "Docs"}});
    disableSuperBrowse();

    auto task = rangeTask("classic", 12, "/home/alice");
    CBrowseTask browse;
    CConfiguration* conf = setUp(browse, *task);
    ASSERT_NE(conf, nullptr);
    EXPECT_FALSE(conf->isSuperBrowse() || conf->isSubclientBrowse() || conf->skipContent());
    TBrowseTask* d = browse.getDataPtr();
    EXPECT_EQ(d->subclientName, "default");
    EXPECT_EQ(d->subclientId, static_cast<uint32_t>(world.fileSubclient));
    EXPECT_EQ(d->appId, static_cast<uint32_t>(world.fileSubclient));
    std::vector<std::string> paths;
    for (const TSubclientPath& p : d->subclientPaths) paths.push_back(p.path);
    EXPECT_EQ(paths,
              (std::vector<std::string>{"/home/alice", "!/home/alice/cache", "/home/alice/docs\\/\\/2"}));
    EXPECT_EQ(d->subclientPaths.back().displayName, "Docs");

    TSubclientInfo info;
    EXPECT_EQ(conf->getSubclientByName("documents", info), 0);
    EXPECT_EQ(info.subclientId, static_cast<uint32_t>(documents));
    EXPECT_EQ(conf->getSubclientByName("Documents", info), -1);  // names compare exactly
    EXPECT_EQ(info.subclientId, 0u);

    // A wildcard path lists the content of the subclient it names, numbered on from the list.
    CConfRecord* record = cache->getConfRec("classic", false);
    std::string wildcard = "/home\\/\\/2";
    EXPECT_EQ(record->setBrowseTaskEx(wildcard.data(), *d), 0);
    EXPECT_EQ(d->subclientName, "documents");
    EXPECT_EQ(d->subclientPaths.back().path, "/home/alice/docs");
    EXPECT_EQ(d->subclientPaths.back().lineNumber, 4u);
    std::string missing = "/home\\/\\/";
    EXPECT_EQ(record->setBrowseTaskEx(missing.data(), *d), -1);
    // A number with a sign or anything after it names no subclient.
    for (std::string signedNumber : {"/home\\/\\/2-", "/home\\/\\/2+", "/home\\/\\/+2", "/home\\/\\/-2"}) {
        const size_t paths = d->subclientPaths.size();
        EXPECT_EQ(record->setBrowseTaskEx(signedNumber.data(), *d), -1) << signedNumber;
        EXPECT_EQ(d->subclientPaths.size(), paths) << signedNumber;
    }
}

TEST_F(SessionKinds, ClassicBrowseDropsPathsErasedAfterTheBrowseTime) {
    addContent({{.subclientId = world.fileSubclient, .lineNumber = 1, .path = "/srv/a"},
                {.subclientId = world.fileSubclient, .lineNumber = 2, .path = "/srv/b"}});
    {
        hubdb::HubDbSeed seed(world.databasePath);
        zyent::EntitySeed(seed).addEraseFilter(world.fileClient, world.fileAppType, "/SRV/B",
                                               world.firstBackupTime + 100 * kDay);
    }
    disableSuperBrowse();
    auto task = rangeTask("erased", 12, "/srv");
    CBrowseTask browse;
    ASSERT_NE(setUp(browse, *task), nullptr);
    ASSERT_EQ(browse.getDataPtr()->subclientPaths.size(), 1u);
    EXPECT_EQ(browse.getDataPtr()->subclientPaths.front().path, "/srv/a");
}

TEST_F(SessionKinds, PrefixRemovalChecksTheRealPrefix) {
    std::string rest = "untouched";
    EXPECT_FALSE(removePathPrefix("C:", "C:\\Data\\", rest));  // shorter than the prefix
    EXPECT_FALSE(removePathPrefix("D:\\Data\\x", "C:\\Data", rest));
    EXPECT_EQ(rest, "untouched");
    EXPECT_TRUE(removePathPrefix("c:/data/x", "C:\\Data", rest));
    EXPECT_EQ(rest, "/x");
}

TEST_F(SessionKinds, ContentLinesAreNumberedOnFromTheList) {
    std::list<TSubclientPath> paths{{7, "/a", "", 0}};
    FBCallback callback(&paths);
    callback.putLine("/b");
    EXPECT_EQ(paths.back().lineNumber, 8u);
    std::list<TSubclientPath> empty;
    FBCallback fresh(&empty);
    fresh.putLine("/c");
    EXPECT_EQ(empty.front().lineNumber, 1u);
}

}  // namespace
