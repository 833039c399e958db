// Global switches over versioned parameters, the release map, the pending end-user erase status and
// the owner of a shared folder.
#include <map>

#include "Db/Proc/AppSetPendingEndUserEraseStatus.h"
#include "Db/Proc/AppSharingGetShareFolderOwner.h"
#include "Db/Tbl/NBGlobalParam.h"
#include "Db/TblCommon/simAllNimbraRel.h"
#include "tests/platform/hubdb/families_b/families_b_world.h"

namespace {

constexpr const char* kIgnoreMa =
    "name = 'IDX_BROWSE_IGNORE_MA_FROM_RESTORE_TASK' and modified=0 and value='1'";
constexpr const char* kSkipDeleted =
    "name = 'IDX_UPGRADE_SKIP_DELETED_V1_SUBCLIENTS' and modified=0 and value='1'";

class ParamsAndOwners : public FamiliesBWorld {
protected:
    void SetUp() override {
        build([&](hubdb::HubDbSeed& seed, hubdb::FamiliesBSeed& more) {
            // Switched on, then off: the "1" is history only.
            more.setGlobalParam("IDX_BROWSE_IGNORE_MA_FROM_RESTORE_TASK", "1", kT0);
            more.setGlobalParam("IDX_BROWSE_IGNORE_MA_FROM_RESTORE_TASK", "0", kT0 + kDay);
            more.setGlobalParam(std::string(128, 'p'), "1", kT0);
            more.addRelease(1, "11.0", 80);
            more.addRelease(2, "9.5 SP3", 1);
            more.addRelease(3, "SP12", 2);
            more.addRelease(4, "", 0);
            more.addRelease(5, "2024", 0);

            int client = seed.addClient({.name = "c"});
            subclient = seed.addSubclient({.clientId = client, .appTypeId = 29});
            hubdb::RowSeed rows(seed);
            owner = rows.addUser({.name = "Alice A", .login = "alice"});
            nameOnly = rows.addUser({.name = "Bob"});
            nobody = rows.addUser({});
            seed.exec("UPDATE UMUsers SET login = '' WHERE id = ?", {zydb::DbValue::ofInt(nameOnly)});
            folder = more.addSharedFolder("Projects", owner, "/share/projects");
            bobsFolder = more.addSharedFolder("Bob's", nameOnly);
            namelessFolder = more.addSharedFolder("Nameless", nobody);
            orphanFolder = more.addSharedFolder("Orphan", 4242);
        });
    }

    // A switch as the router and the indexing-v2 preparation read it: on only with a row.
    bool switchOn(const char* clause) {
        NBGlobalParam p(nullptr);
        p.setWhere(clause);
        return getOneRow(&p, false, -1, 0) == zydb::DB_OK;
    }

    // The release map of the VM live browse: id -> leading number of the release text.
    std::map<int, int> releaseMap(int* openResult = nullptr) {
        std::map<int, int> out;
        SimAllNimbraRel rel(0, nullptr);
        int rc = rel.openCursor();
        if (openResult) *openResult = rc;
        if (rc != zydb::DB_OK) return out;
        while (rel.fetchCursor(true) == zydb::DB_OK)
            out[rel.getDataPtr()->id] =
                static_cast<int>(zydb::DbValue::ofText(rel.getDataPtr()->release).asInt());
        rel.closeCursor();
        return out;
    }

    int setPending(int sc, int status) {
        AppSetPendingEndUserEraseStatus p(nullptr);
        p.setValues(sc, status);
        return getOneRow(&p, false, -1, 0);
    }

    std::pair<int, std::string> ownerOf(int id, int* rc = nullptr) {
        AppSharingGetShareFolderOwner p(nullptr);
        p.setValues(id);
        int r = getNextRow(&p, nullptr, -1, 0);
        if (rc) *rc = r;
        const char* name = p.getDataPtr()->o_userName;
        return {r == zydb::DB_OK ? p.getDataPtr()->o_userId : 0, name ? name : ""};
    }

    int subclient = 0, owner = 0, nameOnly = 0, nobody = 0;
    int folder = 0, bobsFolder = 0, namelessFolder = 0, orphanFolder = 0;
};

}  // namespace

TEST_F(ParamsAndOwners, GlobalSwitchesFollowTheCurrentRowOnly) {
    EXPECT_FALSE(switchOn(kIgnoreMa));     // a "1" in history does not count
    EXPECT_FALSE(switchOn(kSkipDeleted));  // never set
    EXPECT_EQ(
        count("SELECT COUNT(*) FROM NBGlobalParam WHERE name = 'IDX_BROWSE_IGNORE_MA_FROM_RESTORE_TASK'"), 2);
    EXPECT_EQ(
        count("SELECT modified FROM NBGlobalParam WHERE name = 'IDX_BROWSE_IGNORE_MA_FROM_RESTORE_TASK' AND "
              "value = '1'"),
        kT0 + kDay);

    NBGlobalParam wide(nullptr);
    wide.setWhere("name = '%s' and modified=0 and value='1'", std::string(128, 'p').c_str());
    ASSERT_EQ(getOneRow(&wide, false, -1, 0), zydb::DB_OK);
    EXPECT_EQ(std::string(wide.getDataPtr()->name), std::string(128, 'p'));
    ASSERT_NE(wide.getDataPtr()->value, nullptr);
    EXPECT_STREQ(wide.getDataPtr()->value, "1");
    EXPECT_EQ(wide.getDataPtr()->created, kT0);

    // Switched on again from a later time.
    ASSERT_EQ(sql("UPDATE NBGlobalParam SET modified = 1700200000 WHERE modified = 0 AND "
                  "name = 'IDX_BROWSE_IGNORE_MA_FROM_RESTORE_TASK'"),
              zydb::DB_OK);
    ASSERT_EQ(sql("INSERT INTO NBGlobalParam (id, name, value, created, modified) VALUES "
                  "(99, 'IDX_BROWSE_IGNORE_MA_FROM_RESTORE_TASK', '1', 1700200000, 0)"),
              zydb::DB_OK);
    EXPECT_TRUE(switchOn(kIgnoreMa));
    // A read error leaves the switch off.
    ASSERT_EQ(sql("DROP TABLE NBGlobalParam"), zydb::DB_OK);
    EXPECT_FALSE(switchOn(kIgnoreMa));
}

TEST_F(ParamsAndOwners, ReleaseMapTakesLeadingDigits) {
    EXPECT_EQ(releaseMap(), (std::map<int, int>{{1, 11}, {2, 9}, {3, 0}, {4, 0}, {5, 2024}}));
    ASSERT_EQ(sql("DELETE FROM simAllNimbraRel"), zydb::DB_OK);
    int open = -1;
    EXPECT_TRUE(releaseMap(&open).empty());  // the first fetch ends it
    EXPECT_EQ(open, zydb::DB_OK);
    ASSERT_EQ(sql("DROP TABLE simAllNimbraRel"), zydb::DB_OK);
    EXPECT_TRUE(releaseMap(&open).empty());
    EXPECT_NE(open, zydb::DB_OK);
}

TEST_F(ParamsAndOwners, PendingEraseStatusIsAVersionedSubclientProperty) {
    const std::string prop =
        "FROM APP_SubClientProp WHERE attrName = 'EndUser Erase Pending' AND componentNameId = " +
        std::to_string(subclient);
    EXPECT_EQ(setPending(subclient, 1), zydb::DB_NO_DATA);  // no result columns: 100 is success
    EXPECT_EQ(count("SELECT attrVal " + prop + " AND modified = 0"), 1);
    EXPECT_EQ(setPending(subclient, 1), zydb::DB_NO_DATA);  // the same value again adds nothing
    EXPECT_EQ(count("SELECT COUNT(*) " + prop), 1);
    EXPECT_EQ(setPending(subclient, 0), zydb::DB_NO_DATA);
    EXPECT_EQ(count("SELECT COUNT(*) " + prop), 2);
    EXPECT_EQ(count("SELECT COUNT(*) " + prop + " AND modified = 0 AND attrVal = '0'"), 1);
    EXPECT_EQ(
        count("SELECT COUNT(*) " + prop + " AND modified >= created AND modified > 0 AND attrVal = '1'"), 1);
    DBtable::b_newDBBase = false;
    EXPECT_EQ(setPending(subclient, 1), zydb::DB_NO_DATA);
    EXPECT_EQ(count("SELECT attrVal " + prop + " AND modified = 0"), 1);

    // An unknown subclient, or a broken table, is an error with its text.
    AppSetPendingEndUserEraseStatus p(nullptr);
    p.setValues(424242, 1);
    int rc = getOneRow(&p, false, -1, 0);
    EXPECT_TRUE(isError(rc));
    EXPECT_NE(std::string(p.getErrorStr(rc)).find("424242"), std::string::npos) << p.getErrorStr(rc);
    ASSERT_EQ(sql("DROP TABLE APP_SubClientProp"), zydb::DB_OK);
    EXPECT_TRUE(isError(setPending(subclient, 1)));
}

TEST_F(ParamsAndOwners, SharedFolderOwner) {
    EXPECT_EQ(ownerOf(folder), (std::pair<int, std::string>{owner, "alice"}));
    EXPECT_EQ(ownerOf(bobsFolder), (std::pair<int, std::string>{nameOnly, "Bob"}));  // no login: the name
    // An owner without any name gives a row whose name is null: the caller keeps its user.
    int rc = 0;
    EXPECT_EQ(ownerOf(namelessFolder, &rc), (std::pair<int, std::string>{nobody, ""}));
    EXPECT_EQ(rc, zydb::DB_OK);
    ownerOf(orphanFolder, &rc);
    EXPECT_EQ(rc, zydb::DB_NO_DATA);
    ownerOf(31337, &rc);
    EXPECT_EQ(rc, zydb::DB_NO_DATA);
    ASSERT_EQ(sql("DROP TABLE App_SharedFolder"), zydb::DB_OK);
    ownerOf(folder, &rc);
    EXPECT_TRUE(isError(rc));
}
