// Application ids, default backup sets and the subclient configuration of a file-system backup set
// (content lists in time, directory lists of browse paths) over a seeded database.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <type_traits>

#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/entities/applicationid.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/contentseed.h"
#include "platform/entities/fssubclientconf.h"
#include "platform/hubdb/hubdb.h"
#include "platform/log/evdebug.h"
#include "tests/platform/db/tempdir.h"

namespace {

// An application type compared with a bare number does not compile, and no integer becomes one or is
// made of one but by apptype::of and apptype::code: the build fails here if the type ever loosens.
template <typename T>
concept ComparesWithNumber = requires(T t) {
    t == 22;
}
|| requires(T t) {
    22u != t;
}
|| requires(T t) {
    t == 0x16;
};
static_assert(ComparesWithNumber<int64_t>);
static_assert(!ComparesWithNumber<apptype::EAppType>);
static_assert(!std::is_convertible_v<int64_t, apptype::EAppType> &&
              !std::is_convertible_v<apptype::EAppType, int64_t>);

constexpr int kFs = 29;

class SubclientConfiguration : public ::testing::Test {
protected:
    void SetUp() override {
        EvDebugFileInstance::setLogDirectory(dir.path());
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        ASSERT_TRUE(seed.ok()) << seed.error();
        client = seed.addClient({.name = "fs1"});
        other = seed.addBackupSet("archive");
        backupSet = seed.addBackupSet("defaultBackupSet");
        // The default subclient is not the first by id.
        docs = seed.addSubclient(
            {.clientId = client, .appTypeId = kFs, .backupSetId = backupSet, .name = "docs"});
        deflt = seed.addSubclient({.clientId = client, .appTypeId = kFs, .backupSetId = backupSet});
        seed.addSubclient({.clientId = client, .appTypeId = kFs, .backupSetId = other, .name = "old"});
        zyent::SubclientContentSeed content(seed);
        content.addLine({.subclientId = deflt, .lineNumber = 1, .path = "/data"});
        content.addLine({.subclientId = deflt, .lineNumber = 2, .path = "/data/tmp", .exclusion = true});
        content.addLine({.subclientId = docs, .lineNumber = 1, .path = "/data/docs"});
        // Backed up until time 5000, then dropped from the content.
        content.addLine(
            {.subclientId = docs, .lineNumber = 2, .path = "/srv", .created = 1000, .modified = 5000});
        ASSERT_TRUE(content.ok()) << content.error();
        ASSERT_EQ(hubdb::openHubDatabase(dir.file("hub.db")), zydb::DB_OK);
    }
    void TearDown() override {
        zydb::CDbEnv::close();
        EvDebugFileInstance::setLogDirectory("");
    }

    std::unique_ptr<FSSubclientConf> loaded(unsigned long toTime, bool fromRestore) {
        ApplicationId app(2, client, kFs, 1, backupSet, 0);
        auto conf = std::make_unique<FSSubclientConf>(kFs);
        conf->setCalledFromStartRestore(fromRestore);
        EXPECT_EQ(conf->load(&app, toTime, true), 2);
        return conf;
    }
    std::vector<std::string> contentOf(FSSubclientConf& conf, int number) {
        struct Collect : FSCallback {
            std::vector<std::string> lines;
            int putLine(const char* line) override {
                lines.emplace_back(line);
                return 0;
            }
        } collect;
        conf.nodirs(&collect, number);
        return collect.lines;
    }

    TempDir dir;
    int client = 0, backupSet = 0, other = 0, docs = 0, deflt = 0;
};

TEST_F(SubclientConfiguration, ApplicationIdsAndDefaults) {
    unsigned long id = 0;
    std::string name;
    ASSERT_EQ(ApplicationId::getDefaultBackupSet(client, kFs, id, name), 0);
    EXPECT_EQ(id, static_cast<unsigned long>(backupSet));
    EXPECT_EQ(name, "defaultBackupSet");
    EXPECT_EQ(ApplicationId::getDefaultBackupSet(client, 33, id, name), zydb::DB_NO_DATA);

    ApplicationId byDefault(2, client, kFs, 1, backupSet, 0);
    ASSERT_EQ(byDefault.getAppId(id), 0);
    EXPECT_EQ(id, static_cast<unsigned long>(deflt));
    ApplicationId named(2, client, kFs, 1, backupSet, docs);
    ASSERT_NE(named.getSubclient(), nullptr);
    EXPECT_EQ(named.getSubclient()->getName(), "docs");
    ApplicationId foreign(2, client + 1, kFs, 1, backupSet, docs);  // not that client's subclient
    EXPECT_NE(foreign.getAppId(id), 0);
}

TEST_F(SubclientConfiguration, ContentAsOfTheRestoreTimeOrNow) {
    auto then = loaded(2000, true);
    EXPECT_STREQ(then->numberToName(1), "docs");
    EXPECT_STREQ(then->numberToName(2), "default");
    EXPECT_EQ(then->numberToName(3), nullptr);
    EXPECT_EQ(contentOf(*then, 1), (std::vector<std::string>{"/data/docs", "/srv"}));
    EXPECT_EQ(contentOf(*then, 2), (std::vector<std::string>{"/data"}));  // exclusions are not content
    auto now = loaded(2000, false);
    EXPECT_EQ(contentOf(*now, 1), (std::vector<std::string>{"/data/docs"}));
}

TEST_F(SubclientConfiguration, DirectoryListsOfBrowsePaths) {
    auto conf = loaded(0, false);
    std::unique_ptr<FSSubclientDirlist> list(conf->createDirlist("/DATA", true));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->getRoot(), 2);
    std::vector<std::string> items;
    TBrowseItem item;
    for (bool more = list->getFirstBrowseItem(item); more; more = list->getNextBrowseItem(item)) {
        items.push_back(item.path + (item.excluded ? " excluded" : "") +
                        (item.otherSubclient ? " of " + std::to_string(item.subclientNumber) : ""));
    }
    EXPECT_EQ(items, (std::vector<std::string>{"/DATA", "/data/docs of 1", "/data/tmp excluded"}));

    // Above every content line: the lines under it, each with its own subclient.
    list.reset(conf->createDirlist("/", true));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->getRoot(), 1);
    EXPECT_EQ(conf->createDirlist("/home", true), nullptr);
}

}  // namespace
