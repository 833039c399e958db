#include "platform/tasks/evrestoretask.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Counts the property operations the accessors make.
class CountingTask : public EvMultiEntityRestoreTask {
public:
    int getTaskProperty(unsigned long id, long long* value, void* tran) override {
        ++reads;
        lastReadId = id;
        return EvMultiEntityRestoreTask::getTaskProperty(id, value, tran);
    }
    int setTaskProperty(unsigned long id, long long value, void* tran) override {
        ++writes;
        lastWriteId = id;
        return EvMultiEntityRestoreTask::setTaskProperty(id, value, tran);
    }
    int reads = 0, writes = 0;
    unsigned long lastReadId = 0, lastWriteId = 0;
};

TEST(EvRestoreTask, UserNameKeepsTheWhole1023Characters) {
    EvMultiEntityRestoreTask task;
    std::string name(2000, 'u');
    name[1022] = 'X';  // the 1,023rd character survives
    name[1023] = 'Y';  // the 1,024th does not
    task.setUserName(name.c_str());
    EXPECT_EQ(strlen(task.getUserName()), 1023u);
    EXPECT_EQ(std::string(task.getUserName()), name.substr(0, 1023));
    EXPECT_EQ(task.getUserName()[1022], 'X');

    task.setUserName("short");
    EXPECT_STREQ(task.getUserName(), "short");
    task.setUserName(nullptr);
    EXPECT_STREQ(task.getUserName(), "short");
    task.setUserName(std::string(1023, 'a').c_str());
    EXPECT_EQ(strlen(task.getUserName()), 1023u);
}

TEST(EvRestoreTask, FcsPhraseIsTruncatedLikeTheUserName) {
    EvRestoreTask task;
    std::string phrase(1500, 'p');
    task.setFcsPhrase(phrase.c_str());
    EXPECT_EQ(std::string(task.getFcsPhrase()), phrase.substr(0, 1023));
    task.setFcsPhrase(nullptr);
    EXPECT_EQ(strlen(task.getFcsPhrase()), 1023u);
}

TEST(EvRestoreTask, SessionGuidKeeps1023Characters) {
    EvRestoreTask task;
    EXPECT_NE(task.getbrowseSessionGUID(), nullptr);
    EXPECT_STREQ(task.getbrowseSessionGUID(), "");
    std::string guid(2000, 'g');
    task.setbrowseSessionGUID(guid.c_str());
    EXPECT_EQ(std::string(task.getbrowseSessionGUID()), guid.substr(0, 1023));
    EXPECT_EQ(task.getbrowseSessionGUID()[1024], '\0');
    task.setbrowseSessionGUID(nullptr);
    EXPECT_EQ(strlen(task.getbrowseSessionGUID()), 1023u);
    task.setbrowseSessionGUID("7F3C-11");
    EXPECT_STREQ(task.getbrowseSessionGUID(), "7F3C-11");
}

TEST(EvRestoreTask, FindPatternIgnoresNull) {
    EvRestoreTask task;
    EXPECT_EQ(task.getbrowseFindPattern(), "");
    task.setbrowseFindPattern("*.doc");
    task.setbrowseFindPattern(nullptr);
    EXPECT_EQ(task.getbrowseFindPattern(), "*.doc");
}

TEST(EvTask, UserIdPropertyAbsentReadsZero) {
    CountingTask task;
    EXPECT_EQ(task.EvTask::getUserId(), 0);
    EXPECT_EQ(task.reads, 1);
    EXPECT_EQ(task.lastReadId, 140019u);
    task.EvTask::setUserId(77);
    EXPECT_EQ(task.lastWriteId, 140019u);
    EXPECT_EQ(task.EvTask::getUserId(), 77);
}

TEST(EvRestoreTask, SettersWithoutJobLinkTouchOnlyTheTask) {
    CountingTask task;
    task.setUserId(42);
    task.setBackupSetId(5);
    task.setInstanceId(6);
    task.setArchGroupCopyPrecedence(3);
    task.setUserName("alice");
    EXPECT_EQ(task.writes, 0);
    EXPECT_EQ(task.getUserId(), 42);
    EXPECT_EQ(task.EvTask::getUserId(), 0);
    EXPECT_EQ(task.getBackupSetId(), 5);
    EXPECT_EQ(task.getInstanceId(), 6);
    EXPECT_EQ(task.getArchGroupCopyPrecedence(), 3u);
    EXPECT_EQ(task.getJobBackupSetId(), 0);
    EXPECT_EQ(task.getJobInstanceId(), 0);
    EXPECT_EQ(task.getJobCopyPrecedence(), 0u);
    EXPECT_EQ(task.getJobUserName(), "");
}

TEST(EvRestoreTask, SettersWithJobLinkMirrorToTheJob) {
    CountingTask task;
    int job = 0;
    task.setJobLink(&job);
    task.setUserId(42);
    EXPECT_EQ(task.writes, 1);
    EXPECT_EQ(task.lastWriteId, 140019u);
    EXPECT_EQ(task.EvTask::getUserId(), 42);
    task.setBackupSetId(5);
    task.setInstanceId(6);
    task.setArchGroupCopyPrecedence(3);
    std::string longName(1500, 'n');
    task.setUserName(longName.c_str());
    EXPECT_EQ(task.getJobBackupSetId(), 5);
    EXPECT_EQ(task.getJobInstanceId(), 6);
    EXPECT_EQ(task.getJobCopyPrecedence(), 3u);
    EXPECT_EQ(task.getJobUserName(), longName);  // the full text goes to the job
    EXPECT_EQ(strlen(task.getUserName()), 1023u);
}

TEST(EvRestoreTask, ExtendedOptions) {
    EvRestoreTask task;
    EXPECT_STREQ(task.getExtendedOption(), "");
    EXPECT_FALSE(task.isSet(0));
    task.setextendedOptions("0101");
    EXPECT_FALSE(task.isSet(0));
    EXPECT_TRUE(task.isSet(1));
    EXPECT_TRUE(task.isSet(3));
    EXPECT_FALSE(task.isSet(4));
    EXPECT_FALSE(task.isSet(5000));
    std::string all(2000, '1');
    task.setextendedOptions(all.c_str());
    EXPECT_EQ(strlen(task.getExtendedOption()), 1024u);
    EXPECT_TRUE(task.isSet(1023));
    EXPECT_FALSE(task.isSet(1024));
    // The array is writable.
    task.getExtendedOption()[86] = '0';
    EXPECT_FALSE(task.isSet(86));
    task.setextendedOptions(nullptr);
    EXPECT_STREQ(task.getExtendedOption(), "");
}

TEST(EvRestoreTask, PathLists) {
    EvRestoreTask task;
    EXPECT_EQ(task.getFirstPath(), nullptr);
    EXPECT_EQ(task.getPath(1), nullptr);
    task.addPath(1, "\\a");
    task.addPath(1, "\\b");
    task.addPath(3, "second");
    EXPECT_STREQ(task.getFirstPath(), "\\a");
    EXPECT_STREQ(task.getNextPath(), "\\b");
    EXPECT_EQ(task.getNextPath(), nullptr);
    EXPECT_STREQ(task.getFirstPath(1), "\\a");  // restarts
    EXPECT_STREQ(task.getPath(3), "second");
    EXPECT_EQ(task.getPathCount(1), 2u);
    task.setPath(1, "\\only");
    EXPECT_EQ(task.getPathCount(1), 1u);
    EXPECT_STREQ(task.getFirstPath(1), "\\only");
    task.clearPaths(1);
    EXPECT_EQ(task.getFirstPath(1), nullptr);
    EXPECT_STREQ(task.getPath(3), "second");
}

TEST(EvRestoreTask, StoresAndReturnsEveryValue) {
    EvMultiEntityRestoreTask task;
    task.setEmFunction(1);
    task.setEmFirstNode(-2);
    task.setEmSkipNode(3);
    task.setEmPageSize(4);
    task.setAppId(55);
    task.setSampling(6);
    task.setBrowseViewName("view");
    task.setBrowseOpType(databrowse::BROWSE_OP_STOP);
    task.setCICloudId(-7);
    task.setWebServerHostName("web.example");
    task.setPreferContentServer(true);
    task.setBrowseItemFlushCount(8);
    task.setForceUsedxDbEngineType(App::IDX_DB_ENGINE_LUCENE);
    task.setIncludeRunningJob(true);
    task.setCallerClientId(9);
    task.setUserRequest(true);
    task.setTaskParameters(1001, 2, 3, 0x2000, 5, 6, 7, 8, 900, 100, 33, 12, 13, 0x0409000000000000LL);
    EXPECT_EQ(task.getEmFunction(), 1u);
    EXPECT_EQ(task.getEmFirstNode(), -2);
    EXPECT_EQ(task.getEmSkipNode(), 3u);
    EXPECT_EQ(task.getEmPageSize(), 4u);
    EXPECT_EQ(task.getAppId(), 55);
    EXPECT_EQ(task.getSampling(), 6u);
    EXPECT_EQ(task.getBrowseViewName(), "view");
    EXPECT_EQ(task.getBrowseOpType(), databrowse::BROWSE_OP_STOP);
    EXPECT_EQ(task.getBrowseOpType(), 5);
    EXPECT_EQ(task.getCICloudId(), -7);
    EXPECT_EQ(task.getWebServerHostName(), "web.example");
    EXPECT_TRUE(task.getPreferContentServer());
    EXPECT_EQ(task.getBrowseItemFlushCount(), 8u);
    EXPECT_EQ(task.getForceUsedxDbEngineType(), App::IDX_DB_ENGINE_LUCENE);
    EXPECT_TRUE(task.shouldIncludeRunningJob());
    EXPECT_EQ(task.getCallerClientId(), 9u);
    EXPECT_TRUE(task.getUserRequest());
    EXPECT_EQ(task.getJobId(), 1001u);
    EXPECT_EQ(task.getTaskId(), 2);
    EXPECT_EQ(task.getUserId(), 3);
    EXPECT_EQ(task.getOptions(), 0x2000u);
    EXPECT_EQ(task.getKelmarchId(), 5);
    EXPECT_EQ(task.getClientId(), 6);
    EXPECT_EQ(task.getBackupSetId(), 7);
    EXPECT_EQ(task.getDestClientId(), 8);
    EXPECT_EQ(task.getToTime(), 900);
    EXPECT_EQ(task.getFromTime(), 100);
    EXPECT_EQ(task.getAppType(), apptype::kWindowsFileSystem);
    EXPECT_EQ(task.getInstanceId(), 12);
    EXPECT_EQ(task.getOptions1(), 13u);
    EXPECT_EQ(task.getTaskLocale(), 0x0409000000000000LL);
    // Any wire value of the enumeration is kept.
    task.setBrowseOpType(static_cast<databrowse::BrowseOperation>(12));
    EXPECT_EQ(task.getBrowseOpType(), 12);
}

TEST(EvRestoreTask, BrowseViewNameNullIsEmpty) {
    EvRestoreTask task;
    task.setBrowseViewName("x");
    task.setBrowseViewName(nullptr);
    EXPECT_EQ(task.getBrowseViewName(), "");
}

using EF = databrowse::EntityWithFilters::f;
using GE = ZyEntities::GenericEntity::f;

long long clientOf(databrowse::EntityWithFilters& e) {
    CNMessageBase* entity = e.getObjectAccessor(EF::entity, false);
    return entity ? entity->getint64(GE::clientId) : -1;
}

// The entities of a multi-entity browse as the router hands them over: each entry of request element 19
// in list order, then the flags of element 20 whole.
TEST(EvMultiEntityRestoreTask, EntityListAndFlagsFromARequest) {
    using BR = databrowse::BrowseRequest::f;
    databrowse::BrowseRequest request;
    auto* list = request.getlistobject(BR::filteredEntities, true);
    for (int client : {11, 12, 13}) {
        databrowse::EntityWithFilters entry;
        entry.getObjectAccessor(EF::entity, true)->setint64(GE::clientId, client);
        entry.setint64(EF::appType, 29);
        list->push_back(entry);
    }
    auto* flags = request.getObjectAccessor(BR::multiEntityFlags, true);
    flags->setint64(databrowse::MultiEntityBrowseFlags::f::multiEntityBrowse, 1);
    flags->setstring(7, 7, "kept", flags->getTagID(), msgNameCode("someFlagWeDoNotKnow"));
    std::string xml;
    ASSERT_EQ(request.serialize(xml), 0);

    databrowse::BrowseRequest received;
    ASSERT_EQ(received.unserialize(xml), 0) << xml;
    EvMultiEntityRestoreTask task;
    EXPECT_TRUE(task.getEntityList().empty());
    for (const CNMessageBase& entry : *received.getlistobject(BR::filteredEntities, false)) {
        ASSERT_EQ(entry.getTagID(), databrowse::EntityWithFilters::TAG);
        databrowse::EntityWithFilters e;
        static_cast<CNMessageBase&>(e) = entry;
        task.addEntity(e);
    }
    databrowse::MultiEntityBrowseFlags receivedFlags;
    static_cast<CNMessageBase&>(receivedFlags) = *received.getObjectAccessor(BR::multiEntityFlags, false);
    task.setMultiEntityBrowseFlags(receivedFlags);

    std::vector<long long> clients;
    for (auto& e : task.getEntityList()) {
        EXPECT_EQ(e.getint64(EF::appType), 29);
        clients.push_back(clientOf(e));
    }
    EXPECT_EQ(clients, (std::vector<long long>{11, 12, 13}));
    const auto& kept = task.getMultiEntityBrowseFlags();
    EXPECT_EQ(kept.getint64(databrowse::MultiEntityBrowseFlags::f::multiEntityBrowse), 1);
    EXPECT_EQ(kept.getstring(7, 7, kept.getTagID(), msgNameCode("someFlagWeDoNotKnow")), "kept");
}

// The rights check erases from the list it gets; a copied task and a list handed over by setEntityList
// are independent of the original.
TEST(EvMultiEntityRestoreTask, EntityListIsTheTasksOwn) {
    auto entity = [](int client) {
        databrowse::EntityWithFilters e;
        e.getObjectAccessor(EF::entity, true)->setint64(GE::clientId, client);
        return e;
    };

    EvMultiEntityRestoreTask task;
    EvMultiEntityRestoreTask::EntityList given{entity(1), entity(2), entity(3)};
    task.setEntityList(given);
    given.front().getObjectAccessor(EF::entity, false)->setint64(GE::clientId, 99);
    EXPECT_EQ(clientOf(task.getEntityList().front()), 1);

    EvMultiEntityRestoreTask copy = task;
    auto& entities = task.getEntityList();
    for (auto it = entities.begin(); it != entities.end();)
        it = clientOf(*it) == 2 ? entities.erase(it) : std::next(it);
    ASSERT_EQ(task.getEntityList().size(), 2u);
    EXPECT_EQ(clientOf(task.getEntityList().back()), 3);
    EXPECT_EQ(copy.getEntityList().size(), 3u);

    task.getMultiEntityBrowseFlags().setint64(databrowse::MultiEntityBrowseFlags::f::multiEntityBrowse, 1);
    EXPECT_FALSE(
        copy.getMultiEntityBrowseFlags().isSet(databrowse::MultiEntityBrowseFlags::f::multiEntityBrowse));
    task.setEntityList({});
    EXPECT_TRUE(task.getEntityList().empty());
}

}  // namespace
