// The browse task of the demo world's file-system subclient: its values, return channel and session
// record; the option word; end-user erase filters; and what a failed set-up leaves behind.
#include "planning/browsetask.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "planning/confrecord.h"
#include "platform/entities/entityseed.h"
#include "platform/tasks/evreturndata.h"
#include "tests/planning/planningworld.h"

namespace {

class BrowseTask : public PlanningWorld {
protected:
    // Adds rows to the demo database through a seed connection of its own.
    void seedExec(const std::function<void(hubdb::HubDbSeed&)>& add) {
        hubdb::HubDbSeed seed(world.databasePath);
        ASSERT_TRUE(seed.ok()) << seed.error();
        add(seed);
        ASSERT_TRUE(seed.ok()) << seed.error();
    }
    uint64_t options1For(long appType, const std::string& extended) {
        auto task = fileTask("options");
        task->setAppType(apptype::of(appType));
        task->setextendedOptions(extended.c_str());
        CBrowseTask browse;
        browse.init(task.get(), nullptr);
        return browse.getDataPtr()->options1;
    }
    static std::string optionsWith(std::initializer_list<int> positions, size_t length = 1024) {
        std::string text(length, '0');
        for (int p : positions) text[static_cast<size_t>(p)] = '1';
        return text;
    }
};

TEST_F(BrowseTask, DemoSubclientResolvesItsApplicationAndOpensItsRecord) {
    auto task = fileTask("session-1");
    CBrowseTask browse;
    browse.getDataPtr()->workerId = "7";
    ASSERT_EQ(browse.initBrowse(task.get()), 1) << browse.getLastError();
    TBrowseTask* d = browse.getDataPtr();
    EXPECT_EQ(d->srcClientId, static_cast<uint32_t>(world.fileClient));
    EXPECT_EQ(d->destClientId, d->srcClientId);  // none given: the source client
    EXPECT_EQ(d->srcHostName, "client1");
    EXPECT_EQ(d->destHostName, "client1");
    EXPECT_FALSE(d->localHostName.empty());
    EXPECT_EQ(d->browsePath, "/");
    EXPECT_NE(d->restoreReturn, nullptr);
    EXPECT_EQ(d->isSubclientBrowse, 1);
    EXPECT_NE(d->planner, nullptr);
    // The latest browse of the subclient holds one cycle: a subclient browse of its application.
    EXPECT_EQ(d->appId, static_cast<uint32_t>(world.fileSubclient));
    EXPECT_EQ(d->confId, "session-1");
    EXPECT_EQ(d->confCreated, 1);

    CConfRecord* record = cache->getConfRec("session-1", false);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->getRefCount(), 1u);
    EXPECT_EQ(record->getWorkersToMaMap().count("7"), 1u);
    EXPECT_EQ(record->getFilterCheck(), 0);  // checked once: the client has no erase filters

    // The worker's release at the end of the request.
    record->removeWorkerFromConf("7");
    EXPECT_EQ(cache->closeConfRef("session-1"), 0);
    cache->deleteConfRec("session-1");
    EXPECT_EQ(cache->getRecordCount(), 0u);
}

TEST_F(BrowseTask, ReturnChannelIsEndedUnlessTheCallerEndsIt) {
    auto task = fileTask("channel");
    task->setOptions(0x2000 | 0x1000000000000ULL);
    CBrowseTask browse;
    browse.init(task.get(), nullptr);
    browse.setRestoreReturn(task.get());
    EvRestoreReturn* channel = browse.getDataPtr()->restoreReturn;
    ASSERT_NE(channel, nullptr);
    EXPECT_FALSE(channel->getFlag());
    EXPECT_EQ(browse.getDataPtr()->options, 0x2000u);  // bit 48 is not handed on
}

TEST_F(BrowseTask, OptionWordTakesOnlyTheTableBits) {
    // Virtual servers: the first of 59, 61, 60, 96 that is set.
    EXPECT_EQ(options1For(106, optionsWith({59, 61})) & 0x200070, 0x10u);
    EXPECT_EQ(options1For(106, optionsWith({60})) & 0x200070, 0x40u);
    EXPECT_EQ(options1For(106, optionsWith({})) & 0x200070, 0x10u);
    // List L types only.
    EXPECT_EQ(options1For(29, optionsWith({61, 96})) & 0x200020, 0x200020u);
    EXPECT_EQ(options1For(13, optionsWith({61, 96})) & 0x200020, 0u);
    // Options past the end of a short string are not set.
    EXPECT_EQ(options1For(29, optionsWith({88}, 89)) & 0x200, 0x200u);
    EXPECT_EQ(options1For(29, optionsWith({87}, 88)) & 0x200, 0u);

    // Every position set: 98 and 104 add nothing beside the table's bits, and option 0x20000000 (past
    // the string) is not set.
    const uint64_t all = options1For(29, std::string(1024, '1'));
    EXPECT_EQ(all & 0x800000, 0x800000u);
    EXPECT_EQ(all & 0x4A, 0u);
    EXPECT_EQ(all & 0x20000000, 0u);
}

TEST_F(BrowseTask, ErasedPathsFiltersAreKeptForTheSession) {
    seedExec([&](hubdb::HubDbSeed& seed) {
        zyent::EntitySeed(seed).addEraseFilter(world.fileClient, world.fileAppType, "/home/alice",
                                               1700000000);
    });
    auto task = fileTask("erase");
    CBrowseTask browse;
    ASSERT_EQ(browse.initBrowse(task.get()), 1) << browse.getLastError();
    ASSERT_NE(browse.getDataPtr()->sdVersion, nullptr);
    EXPECT_EQ(cache->getConfRec("erase", false)->getFilterCheck(), 1);
    cache->closeConfRef("erase");
    cache->deleteConfRec("erase");
}

TEST_F(BrowseTask, UnreadableFiltersFailTheBrowseAndReleaseTheSession) {
    seedExec([](hubdb::HubDbSeed& seed) { ASSERT_EQ(seed.exec("DROP TABLE SDEraseFilter"), 0); });
    auto task = fileTask("closed");
    CBrowseTask browse;
    browse.getDataPtr()->workerId = "9";
    EXPECT_EQ(browse.initBrowse(task.get()), 0);
    EXPECT_TRUE(browse.getDataPtr()->confId.empty());
    EXPECT_EQ(browse.getDataPtr()->sdVersion, nullptr);
    // The reference the set-up took is given back and the session's record is gone.
    EXPECT_EQ(cache->getConfRec("closed", false), nullptr);
    EXPECT_EQ(cache->getRecordCount(), 0u);
}

TEST_F(BrowseTask, SessionWithoutBackupsReportsNoBackupsFound) {
    auto task = fileTask("empty", -5);
    CBrowseTask browse;
    EXPECT_EQ(browse.initBrowse(task.get()), 0);
    EXPECT_EQ(browse.getLastErrorCode(), databrowse::BROWSE_ERR_NOTHING_TO_BROWSE);
    EXPECT_EQ(browse.getLastError(), "No backups were found for the selected time range.");
    EXPECT_EQ(cache->getRecordCount(), 0u);

    // The same task set up again for a browse that succeeds keeps nothing of the earlier failure.
    auto next = fileTask("next");
    ASSERT_EQ(browse.initBrowse(next.get()), 1) << browse.getLastError();
    EXPECT_EQ(browse.getLastErrorCode(), 0);
    EXPECT_EQ(browse.getLastError(), "");
}

TEST_F(BrowseTask, StoppedSessionIsRefused) {
    auto first = fileTask("stopped");
    CBrowseTask running;
    ASSERT_EQ(running.initBrowse(first.get()), 1) << running.getLastError();
    cache->getConfRec("stopped", false)->setStaleFlag();

    auto second = fileTask("stopped");
    CBrowseTask refused;
    EXPECT_EQ(refused.initBrowse(second.get()), 0);
    EXPECT_NE(refused.getLastError().find("Stop request received"), std::string::npos);
    EXPECT_EQ(cache->getConfRec("stopped", false)->getRefCount(), 1u);
    cache->closeConfRef("stopped");
    cache->deleteConfRec("stopped");
}

TEST_F(BrowseTask, SessionTokenAndEraseSwitchReachLaterTasks) {
    auto first = fileTask("shared");
    CBrowseTask owner;
    ASSERT_EQ(owner.initBrowse(first.get()), 1) << owner.getLastError();
    CConfRecord* record = cache->getConfRec("shared", false);
    record->setAuthToken("token-1");
    record->setEndUserEraseEnabled(true);

    auto second = fileTask("shared");
    CBrowseTask reader;
    reader.getDataPtr()->browseSessionGuid = second->getbrowseSessionGUID();
    reader.init(second.get(), nullptr);
    EXPECT_EQ(reader.getDataPtr()->authToken, "token-1");
    EXPECT_EQ(reader.getDataPtr()->endUserEraseEnabled, 1);
    EXPECT_EQ(record->getRefCount(), 1u);  // the borrow of init is given back
    cache->closeConfRef("shared");
    cache->deleteConfRec("shared");
}

TEST_F(BrowseTask, OracleInstanceBrowseFindsTheLatestApplicationWithoutATimeLimit) {
    int client = 0, backupSet = 0, subclient = 0, instance = 0;
    {
        hubdb::HubDbSeed seed(world.databasePath);
        client = seed.addClient({.name = "oradb"});
        instance = zyent::EntitySeed(seed).addInstance({.clientId = client, .appTypeId = 22, .name = "ORCL"});
        backupSet = seed.addBackupSet("orclBackupSet");
        subclient = seed.addSubclient({.clientId = client,
                                       .appTypeId = 22,
                                       .backupSetId = backupSet,
                                       .instanceId = instance,
                                       .storagePolicyId = world.storagePolicy});
        seed.addBackup(subclient, 1, static_cast<int>(world.firstBackupTime));
        ASSERT_TRUE(seed.ok()) << seed.error();
    }
    auto task = fileTask("oracle");
    task->setTaskParameters(0, 0, world.adminUser, 0, 2, client, 0, 0, 0, 0, 22, instance, 0, 0);
    TBrowseTask record;
    record.task = task.get();
    record.destClientId = static_cast<uint32_t>(client);
    ASSERT_EQ(setBrowseTaskExOracle(record), 0);  // to-time 0: the newest file, whenever it was made
    EXPECT_EQ(record.appId, static_cast<uint32_t>(subclient));
    EXPECT_EQ(record.subclientId, static_cast<uint32_t>(subclient));
    EXPECT_EQ(record.backupSetId, static_cast<uint32_t>(backupSet));
    EXPECT_EQ(record.backupSetName, "orclBackupSet");

    // A subclient browse with its backup set needs no archive manager.
    TBrowseTask named;
    named.backupSetId = 5;
    named.subclientId = 6;
    EXPECT_EQ(setBrowseTaskExOracle(named), 0);
    EXPECT_EQ(named.appId, 6u);
}

TEST_F(BrowseTask, UnknownClientFailsWithoutARecord) {
    auto task = fileTask("ghost");
    task->setClientId(99999);
    CBrowseTask browse;
    EXPECT_EQ(browse.initBrowse(task.get()), 0);
    EXPECT_EQ(browse.getDataPtr()->restoreReturn, nullptr);
    EXPECT_EQ(cache->getRecordCount(), 0u);
}

}  // namespace
