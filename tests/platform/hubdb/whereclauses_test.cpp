// Every where clause the subclient, client and archive-file families are read with, in the
// management server's dialect, run through the families over a seeded database: each must choose
// exactly the rows its meaning asks for. Hostile text stays a value.
#include <gtest/gtest.h>

#include <sstream>

#include "Db/Tbl/APP_Application.h"
#include "Db/Tbl/APP_Client.h"
#include "Db/Tbl/archFile.h"
#include "platform/db/dbenv.h"
#include "platform/hubdb/hubdbseed.h"
#include "tests/platform/db/tempdir.h"

using zydb::DB_NO_DATA;
using zydb::DB_OK;

namespace {

class WhereClauses : public ::testing::Test {
protected:
    void SetUp() override {
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        ASSERT_TRUE(seed.ok()) << seed.error();
        int ma = seed.addMediaAgent({.name = "ma1"});
        sp = seed.addStoragePolicy("sp1", ma);
        alpha = seed.addClient({.name = "alpha", .guid = "AAAA-1111"});
        beta = seed.addClient({.name = "beta"});
        bs1 = seed.addBackupSet("bs1");
        bs2 = seed.addBackupSet("bs2");
        vmParent = seed.addBackupSet("vmParent");
        vmChild = seed.addBackupSet("vmChild");
        s1 = seed.addSubclient({.clientId = alpha,
                                .appTypeId = 29,
                                .backupSetId = bs1,
                                .instanceId = 7,
                                .name = "one",
                                .storagePolicyId = sp,
                                .status = 5});
        s2 = seed.addSubclient({.clientId = alpha,
                                .appTypeId = 33,
                                .backupSetId = bs1,
                                .name = "two",
                                .storagePolicyId = sp,
                                .status = 2});
        sIdx = seed.addSubclient(
            {.clientId = alpha, .appTypeId = 29, .backupSetId = bs1, .name = "index", .storagePolicyId = sp});
        s3 = seed.addSubclient(
            {.clientId = beta, .appTypeId = 137, .backupSetId = bs2, .name = "mail", .storagePolicyId = sp});
        sVm = seed.addSubclient({.clientId = beta,
                                 .appTypeId = 106,
                                 .backupSetId = vmParent,
                                 .instanceId = 9,
                                 .name = "vsa",
                                 .storagePolicyId = sp});
        seed.linkVirtualMachine(beta, vmParent, vmChild);

        seed.addSubclientProperty(s1, "enduser erase enabled", "1");  // names compare without case
        seed.addSubclientProperty(s2, "EndUser Erase Enabled", "0");
        seed.addSubclientProperty(sIdx, "Index SubClient", "1");
        seed.addSubclientProperty(s2, "Index SubClient", "1", 100, 200);  // no longer in force
        int mbxProp = seed.addSubclientProperty(s3, "Mailbox", "x");
        seed.insertRow("APP_ComponentProp", {{"componentType", zydb::DbValue::ofInt(7)},
                                             {"propertyTypeId", zydb::DbValue::ofInt(1103)},
                                             {"componentId", zydb::DbValue::ofInt(mbxProp)},
                                             {"stringVal", zydb::DbValue::ofText("MBX-GUID-1")}});

        T = 1700000000;
        auto b1 = seed.addBackup(s1, 1, T, 1, true);
        auto b2 = seed.addBackup(s1, 2, T + 100, 2, true);
        job1 = b1.jobId;
        job2 = b2.jobId;
        seed.exec("UPDATE archFile SET flags = 64 WHERE jobId = ? AND fileType = 1",
                  {zydb::DbValue::ofInt(job1)});
        seed.exec("UPDATE archFile SET name = 'Not Named' WHERE id = ?",
                  {zydb::DbValue::ofInt(b2.indexFile)});
        namedIndex = b1.indexFile;
        hubdb::ArchFileSeed logs;
        logs.appId = s1;
        logs.jobId = job2;
        logs.fileType = 6;
        logs.cTime = T + 150;
        logs.name = "idxlogs_v1";
        idxLogs = seed.addArchFile(logs);
        ASSERT_TRUE(seed.ok()) << seed.error();
        ASSERT_EQ(hubdb::openHubDatabase(dir.file("hub.db")), DB_OK);
    }
    void TearDown() override { zydb::CDbEnv::close(); }

    template <class X, class F>
    std::vector<int> collect(X& x, F field) {
        std::vector<int> out;
        int rows = 0, rc;
        while ((rc = getNextRow(&x, &rows, -1, 0)) == DB_OK) out.push_back(field(*x.getDataPtr()));
        EXPECT_EQ(rc, DB_NO_DATA) << x.getErrorStr(rc) << " " << x.lastSql();
        return out;
    }
    template <class... A>
    std::vector<int> subclients(const char* fmt, const A&... a) {
        APP_Application app(nullptr);
        app.setWhere(fmt, a...);
        return collect(app, [](const APP_Application_t& r) { return r.id; });
    }
    template <class... A>
    std::vector<int> archFiles(const char* fmt, const A&... a) {
        ArchFile af(nullptr);
        af.setWhere(fmt, a...);
        return collect(af, [](const ArchFile_t& r) { return r.id; });
    }

    TempDir dir;
    int sp = 0, alpha = 0, beta = 0, bs1 = 0, bs2 = 0, vmParent = 0, vmChild = 0;
    int s1 = 0, s2 = 0, sIdx = 0, s3 = 0, sVm = 0;
    int T = 0, job1 = 0, job2 = 0, namedIndex = 0, idxLogs = 0;
};

}  // namespace

TEST_F(WhereClauses, SubclientLookupsOfBrowsePlanning) {
    // End-user erase filter: one row, cursor kept open, then closed by the caller.
    APP_Application erase(nullptr);
    erase.setWhere(
        "clientId=%d and id in (select componentNameId from APP_SubClientProp where AttrName='EndUser Erase "
        "Enabled' and attrVal='1')",
        alpha);
    erase.setTop(1);
    ASSERT_EQ(getOneRow(&erase, true, -1, 0), DB_OK);
    EXPECT_EQ(erase.getDataPtr()->id, s1);
    EXPECT_EQ(erase.getDataPtr()->appTypeId, 29);
    EXPECT_EQ(erase.closeCursor(), DB_OK);

    EXPECT_EQ(subclients("subclientStatus & 4 = 4 and id=%d", s1), std::vector<int>{s1});
    EXPECT_TRUE(subclients("subclientStatus & 4 = 4 and id=%d", s2).empty());

    const char* mailbox =
        " backupSet=%d and id in (SELECT DISTINCT SP.componentNameId subclientId FROM APP_SubClientProp SP "
        "(NOLOCK) "
        "JOIN APP_ComponentProp CP (NOLOCK) ON CP.componentType IN (7) AND CP.propertyTypeId IN (1103) AND "
        "CP.componentId = SP.id WHERE CP.stringVal = '%s')";
    EXPECT_EQ(subclients(mailbox, bs2, "mbx-guid-1"), std::vector<int>{s3});
    EXPECT_TRUE(subclients(mailbox, bs2, "x' OR '1'='1").empty());
    EXPECT_TRUE(subclients(mailbox, bs2, "'); DROP TABLE APP_Application; --").empty());
    EXPECT_EQ(subclients("id = %d", s3), std::vector<int>{s3});  // still there
    // A negative number after the format's own minus stays a number, never a comment that would drop
    // the client filter after it.
    EXPECT_TRUE(subclients("id = -%d and clientId = %d", -s3, alpha).empty());
    EXPECT_EQ(subclients("id = -%d and clientId = %d", -s3, beta), std::vector<int>{s3});

    // Built by the caller with a string stream and handed over as it is.
    const char* notIndex =
        " and not exists (SELECT * FROM APP_subclientProp p WITH(NOLOCK) WHERE p.attrName ='Index SubClient' "
        "AND "
        "p.attrVal <> '0' AND p.modified = 0 and p.componentNameId=App_Application.id)";
    std::ostringstream byBackupSet;
    byBackupSet << "backupSet  = " << bs1 << notIndex;
    APP_Application app(nullptr);
    std::string text = byBackupSet.str();
    app.setWhere(text.data());
    std::vector<APP_Application_t> kept;
    int rc;
    while ((rc = getNextRow(&app, nullptr, -1, 0)) == DB_OK) kept.push_back(*app.getDataPtr());
    EXPECT_EQ(rc, DB_NO_DATA);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].id, s1);
    EXPECT_STREQ(kept[0].subclientName, "one");
    EXPECT_EQ(kept[1].id, s2);
    std::ostringstream byId;
    byId << "id  = " << sIdx << notIndex;
    text = byId.str();
    app.setWhere(text.data());
    EXPECT_EQ(getNextRow(&app, nullptr, -1, 0), DB_NO_DATA);

    APP_Application version(nullptr);
    version.setTop(1);
    version.setWhere("backupSet = %u", static_cast<unsigned>(bs1));
    ASSERT_EQ(getNextRow(&version, nullptr, -1, 0), DB_OK);
    EXPECT_EQ(version.getDataPtr()->id, s1);
}

TEST_F(WhereClauses, SubclientLookupsOfRequestRoutingAndVmUtilities) {
    auto one = [](const char* fmt, unsigned long v) {
        APP_Application app(nullptr);
        app.setWhere(fmt, v);
        app.setTop(1);
        app.setIsolationType(4);
        int rc = getOneRow(&app, false, -1, 0);
        return rc == DB_OK ? app.getDataPtr()->id : -rc;
    };
    EXPECT_EQ(one("id=%lu", static_cast<unsigned long>(s2)), s2);
    EXPECT_EQ(one("backupset=%lu", static_cast<unsigned long>(bs2)), s3);
    EXPECT_EQ(one("backupset = %d", static_cast<unsigned long>(bs1)), s1);
    EXPECT_EQ(one("backupSet in (select ParentBackupSetId from APP_VMBackupSet WITH(NOLOCK) where "
                  "ChildBackupSetId=%lu)",
                  static_cast<unsigned long>(vmChild)),
              sVm);
    EXPECT_EQ(one("id=%lu", 99999ul), -DB_NO_DATA);

    APP_Application vm(nullptr);
    vm.setIsolationType(4);
    vm.setTop(1);
    vm.setWhere("backupSet = %d", vmParent);
    ASSERT_EQ(getOneRow(&vm, false, -1, 0), DB_OK);
    EXPECT_EQ(vm.getDataPtr()->instance, 9);
    EXPECT_EQ(vm.getDataPtr()->clientId, beta);
}

TEST_F(WhereClauses, ClientReadAndRename) {
    APP_Client c(nullptr);
    std::ostringstream w;
    w << "id = (select clientid from app_application where id = " << s2 << ")";
    std::string text = w.str();
    c.setWhere(text.data());
    ASSERT_EQ(getOneRow(&c, false, -1, 0), DB_OK);
    EXPECT_STREQ(c.getDataPtr()->name, "alpha");
    EXPECT_STREQ(c.getDataPtr()->GUID, "AAAA-1111");

    const char* newName = "alpha'; UPDATE APP_Client SET name='pwned' --";
    APP_Client rename(nullptr);
    rename.setWhere("id = %d", alpha);
    EXPECT_EQ(
        rename.rowUpdate("name = '%s', net_hostname = '%s', displayName = '%s'", newName, newName, newName),
        DB_OK);

    APP_Client check(nullptr);
    check.setWhere("id = %d", alpha);
    ASSERT_EQ(getOneRow(&check, false, -1, 0), DB_OK);
    EXPECT_STREQ(check.getDataPtr()->name, newName);
    EXPECT_STREQ(check.getDataPtr()->net_hostname, newName);
    EXPECT_STREQ(check.getDataPtr()->displayName, newName);
    check.setWhere("id = %d", beta);
    ASSERT_EQ(getOneRow(&check, false, -1, 0), DB_OK);
    EXPECT_STREQ(check.getDataPtr()->name, "beta");
}

TEST_F(WhereClauses, ArchiveFileLookups) {
    // The latest content-indexed data file of a subclient.
    ArchFile latest(nullptr);
    latest.setTop(1);
    latest.setIsolationType(4);
    latest.setWhere("flags & 64 <> 0 AND fileType = 1 AND isValid = 1 AND appId = %u",
                    static_cast<unsigned>(s1));
    latest.setOrderBy("ctime desc");
    ASSERT_EQ(getNextRow(&latest, nullptr, -1, 0), DB_OK);
    EXPECT_EQ(latest.getDataPtr()->jobId, job1);
    EXPECT_EQ(latest.getDataPtr()->kelmarchId, hubdb::kDefaultKelmarchId);

    // Named index archives of a backup set since a time: the unnamed one is left out.
    const char* named =
        "(fileType in (2,6) and name not in ('', 'N/A', 'Not Named')) and cTime>=%u and appId in (select id "
        "from "
        "APP_Application where clientId = %u and backupSet=%u)";
    EXPECT_EQ(
        archFiles(named, static_cast<unsigned>(T), static_cast<unsigned>(alpha), static_cast<unsigned>(bs1)),
        (std::vector<int>{namedIndex, idxLogs}));
    EXPECT_EQ(archFiles(named, static_cast<unsigned>(T + 120), static_cast<unsigned>(alpha),
                        static_cast<unsigned>(bs1)),
              (std::vector<int>{idxLogs}));

    EXPECT_EQ(archFiles("fileType = 2 and backupLevel = 1 and isValid = 1 and appId = %d", s1),
              (std::vector<int>{namedIndex}));
    EXPECT_EQ(
        archFiles(
            "appId=%d and filetype in (2,6) and cs_afname = CHECKSUM(N'IdxLogs_V1') and name = N'IdxLogs_V1'",
            s1),
        (std::vector<int>{idxLogs}));

    // The name holds 8192 bytes whole.
    std::string longName(8192, 'n');
    ArchFile all(nullptr);
    all.setWhere("id = %d", idxLogs);
    EXPECT_EQ(all.rowUpdate("name = '%s'", longName.c_str()), DB_OK);
    ASSERT_EQ(getOneRow(&all, false, -1, 0), DB_OK);
    EXPECT_EQ(std::string(all.getDataPtr()->name), longName);
}

TEST_F(WhereClauses, PlanningClausesOverCopiesJobsAndActions) {
    // The latest valid data file on a copy precedence, with a finished job.
    const char* latestOnCopy =
        "ctime >= %u AND ctime <= %u AND appId = %u AND fileType = 1 AND isValid = 1  and (0 = %d OR exists( "
        "\tselect "
        "1 from archfileCopy WITH(NOLOCK) where \tarchfileCopy.archfileid = archfile.id \tand "
        "archfilecopy.kelmarchId "
        "= archFile.kelmarchId \tand archfilecopy.isValid = 1 \tand archfilecopy.agedBy = 0 \tand "
        "archFileCopy.archCopyId in( \t\tselect archgroupcopy.id from archGroupCopy WITH(NOLOCK) where "
        "\t\tarchGroupCopy.archgroupId = archfile.archGroupId \t\tand archGroupCopy.copy = %d \t)  ))  and "
        "exists(select "
        "1 from JMBkpStats WITH(NOLOCK) where JMBkpStats.jobId = archfile.jobId and JMBkpStats.kelmarchId = "
        "archfile.kelmarchId and JMBkpStats.status in(1, 3, 14))";
    ArchFile af(nullptr);
    af.setTop(1);
    af.setIsolationType(4);
    af.setWhere(latestOnCopy, static_cast<unsigned>(T), static_cast<unsigned>(T + 1000),
                static_cast<unsigned>(s1), 1, 1);
    af.setOrderBy("ctime desc");
    ASSERT_EQ(getNextRow(&af, nullptr, -1, 0), DB_OK) << af.getErrorStr(-4) << af.lastSql();
    EXPECT_EQ(af.getDataPtr()->jobId, job2);
    af.setWhere(latestOnCopy, static_cast<unsigned>(T), static_cast<unsigned>(T + 1000),
                static_cast<unsigned>(s1), 2, 2);
    EXPECT_EQ(getNextRow(&af, nullptr, -1, 0), DB_NO_DATA);  // no copy 2

    // Subclients without a pending index action, or with an index-log archive file.
    std::string clause =
        "backupSet = " + std::to_string(bs1) +
        " and (ISNULL((SELECT action FROM JMJobAction WITH (NOLOCK) WHERE clientId = 1 AND mediaAgentID "
        "= 1 AND appType = 0 AND optype = 4 AND appId = APP_Application.id), 0) = 0" +
        " OR EXISTS (select 1 from archFile af WITH (NOLOCK) where af.appId=APP_Application.id and "
        "filetype in (2,6) and cs_afname = CHECKSUM(N'IdxLogs_V1') and name = N'IdxLogs_V1'))";
    {
        auto conn = zydb::CDbEnv::threadConnection(nullptr);
        ASSERT_EQ(
            zydb::execBound(*conn, "INSERT INTO JMJobAction VALUES (1, 1, 0, 4, ?, 3), (1, 1, 0, 4, ?, 3)",
                            {zydb::DbValue::ofInt(s1), zydb::DbValue::ofInt(s2)}),
            DB_OK);
    }
    APP_Application app(nullptr);
    app.setWhere(clause.data());
    EXPECT_EQ(collect(app, [](const APP_Application_t& r) { return r.id; }), (std::vector<int>{s1, sIdx}));
}
