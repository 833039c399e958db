// The entity configuration classes over a seeded database: each question of an instance, a backup set
// and a subclient, the reference time of versioned properties, the index-subclient mark written in the
// caller's or an own transaction, subclient names, and questions that fail leaving the caller's value.
#include "platform/entities/entityconfig.h"

#include <gtest/gtest.h>

#include "Db/Tbl/APP_SubClientProp.h"
#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/entities/entityseed.h"
#include "platform/entities/propertystore.h"
#include "platform/hubdb/hubdb.h"
#include "platform/log/evdebug.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/log/processlogdir.h"

namespace {

class Entities : public ::testing::Test {
protected:
    void SetUp() override {
        hubtest::processLogDir();  // not the test's folder: the log outlives it
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        ASSERT_TRUE(seed.ok()) << seed.error();
        zyent::EntitySeed e(seed);
        ASSERT_TRUE(e.ok()) << e.error();
        client = seed.addClient({.name = "client1"});
        bs = seed.addBackupSet("defaultBackupSet", "BS-GUID-1");
        pgBs = seed.addBackupSet("pg", "BS-GUID-2");
        emptyBs = seed.addBackupSet("unused");
        sc = seed.addSubclient(
            {.clientId = client, .appTypeId = 106, .backupSetId = bs, .name = "VMs", .guid = "SC-GUID-1"});
        other = seed.addSubclient({.clientId = client, .appTypeId = 106, .backupSetId = bs, .name = "other"});
        vs = e.addInstance({.clientId = client, .appTypeId = 106, .name = "vcenter"});
        vmInst = e.addInstance({.clientId = client, .appTypeId = 106, .name = "vm1"});
        exch = e.addInstance({.clientId = client, .appTypeId = 137, .name = "exchange"});
        drive = e.addInstance({.clientId = client, .appTypeId = 134, .name = "onedrive"});

        e.addInstanceProperty(vs, "Virtual Server Instance Type", "1", 0, 500);  // an earlier type
        e.addInstanceProperty(vs, "Virtual Server Instance Type", "7", 500);
        e.addInstanceProperty(vmInst, "VM Level Instance", "1");
        e.addInstanceProperty(vmInst, "Virtual Server Instance Type", "not a number");
        e.addInstanceProperty(exch, "Exchange Agent User Name", "CORP\\svc-exchange");
        e.addInstanceProperty(exch, "Exchange Agent Password", "p@ss");
        e.addInstanceProperty(drive, "Cloud Provider", "3");
        e.addBackupSetProperty(pgBs, "Default FS BackupSet", "1");

        seed.addSubclientProperty(sc, "Transaction Log Subclient", "1");
        seed.addSubclientProperty(sc, "Enable Snap Backups", "1");
        seed.addSubclientProperty(sc, "Item Past Expiry Days", "30");
        seed.addSubclientProperty(sc, "Item Past Expiry Days Type", "2");
        seed.addSubclientProperty(sc, "Reference Copy Subclient", "0");
        seed.addSubclientProperty(sc, "Log Only Subclient", "1");
        seed.addSubclientProperty(sc, "Backup View Level", "1", 1000, 2000);
        seed.addSubclientProperty(sc, "Backup View Level", "2", 2000);
        ASSERT_TRUE(e.ok()) << e.error();
        ASSERT_EQ(hubdb::openHubDatabase(dir.file("hub.db")), zydb::DB_OK);
    }
    void TearDown() override { zydb::CDbEnv::close(); }

    TempDir dir;
    int client = 0, bs = 0, pgBs = 0, emptyBs = 0, sc = 0, other = 0, vs = 0, vmInst = 0, exch = 0, drive = 0;
};

TEST_F(Entities, InstanceQuestions) {
    InstanceTypeVirtualServer vcenter(vs);
    unsigned long type = 0;
    EXPECT_EQ(vcenter.getInstanceType(type), 0);
    EXPECT_EQ(type, 7u);  // the current value, not the ended one
    EXPECT_EQ(vcenter.getInstanceId(), static_cast<unsigned long>(vs));
    EXPECT_EQ(vcenter.getClientId(), static_cast<unsigned long>(client));
    bool isVm = true;
    EXPECT_EQ(vcenter.isVMInstance(isVm), 0);
    EXPECT_FALSE(isVm);  // never set: false
    PropertiesList props;
    ASSERT_EQ(vcenter.getProperties(props, nullptr), 0);
    ASSERT_EQ(props.size(), 1u);
    EXPECT_EQ(props.begin()->getName(), "Virtual Server Instance Type");
    EXPECT_EQ(props.begin()->getValue(), "7");

    ZYDate before(100);
    vcenter.setRefTime(before);
    EXPECT_EQ(vcenter.getInstanceType(type), 0);
    EXPECT_EQ(type, 1u);

    InstanceTypeVirtualServer vm(vmInst);
    EXPECT_EQ(vm.isVMInstance(isVm), 0);
    EXPECT_TRUE(isVm);
    type = 55;
    EXPECT_EQ(vm.getInstanceType(type), ENTITY_PROPERTY_NOT_NUMBER);
    EXPECT_EQ(type, 55u);

    MsTitaniumDbInstance exchange(exch);
    std::string user, password;
    EXPECT_EQ(exchange.getUserName(user), 0);
    EXPECT_EQ(exchange.getUserPassword(password), 0);
    EXPECT_EQ(user, "CORP\\svc-exchange");
    EXPECT_EQ(password, "p@ss");

    OneDriveInstance oneDrive(drive);
    int provider = -1;
    EXPECT_EQ(oneDrive.getProvider(provider), 0);
    EXPECT_EQ(provider, 3);
    OneDriveInstance notSet(vs);
    provider = -1;
    EXPECT_EQ(notSet.getProvider(provider), ENTITY_PROPERTY_NOT_SET);
    EXPECT_EQ(provider, -1);

    InstanceTypeVirtualServer missing(9999);
    type = 55;
    isVm = true;
    EXPECT_EQ(missing.getInstanceType(type), zydb::DB_NO_DATA);
    EXPECT_EQ(missing.isVMInstance(isVm), zydb::DB_NO_DATA);
    EXPECT_EQ(type, 55u);
    EXPECT_TRUE(isVm);
}

TEST_F(Entities, BackupSetQuestions) {
    BackupSet set(bs);
    std::string guid;
    unsigned long owner = 0;
    EXPECT_EQ(set.getGUIDStr(guid), 0);
    EXPECT_EQ(guid, "BS-GUID-1");
    EXPECT_EQ(set.getClientIdForBackupSet(owner), 0);
    EXPECT_EQ(owner, static_cast<unsigned long>(client));

    PostgreSQLBackupSet pg(pgBs);
    bool isDefault = false;
    EXPECT_EQ(pg.isDefaultFSBackupSet(isDefault), 0);
    EXPECT_TRUE(isDefault);
    owner = 77;
    EXPECT_NE(pg.getClientIdForBackupSet(owner), 0);  // no subclient: no owner known
    EXPECT_EQ(owner, 77u);
    pg.setBackupSetId(bs);
    EXPECT_EQ(pg.isDefaultFSBackupSet(isDefault), 0);
    EXPECT_FALSE(isDefault);

    PostgreSQLBackupSet missing(9999);
    isDefault = true;
    guid = "kept";
    EXPECT_EQ(missing.isDefaultFSBackupSet(isDefault), zydb::DB_NO_DATA);
    EXPECT_EQ(missing.getGUIDStr(guid), zydb::DB_NO_DATA);
    EXPECT_TRUE(isDefault);
    EXPECT_EQ(guid, "kept");
}

TEST_F(Entities, SubclientQuestions) {
    Subclient s(sc);
    bool flag = false;
    int days = 0, type = 0;
    std::string guid;
    EXPECT_EQ(s.isTranLogSubclient(flag, nullptr), 0);
    EXPECT_TRUE(flag);
    EXPECT_EQ(s.getEnableSnapBackups(flag), 0);
    EXPECT_TRUE(flag);
    EXPECT_EQ(s.isReferenceCopySubclient(flag), 0);
    EXPECT_FALSE(flag);
    EXPECT_EQ(s.isLogOnlySubclient(flag), 0);
    EXPECT_TRUE(flag);
    EXPECT_EQ(s.getItemPastExpiryDays(days), 0);
    EXPECT_EQ(days, 30);
    EXPECT_EQ(s.getItemPastExpiryDaysType(type), 0);
    EXPECT_EQ(type, 2);
    EXPECT_EQ(s.getGUIDStr(guid), 0);
    EXPECT_EQ(guid, "SC-GUID-1");

    Subclient plain(other);
    flag = true;
    days = -5;
    EXPECT_EQ(plain.getEnableSnapBackups(flag), 0);
    EXPECT_FALSE(flag);
    EXPECT_EQ(plain.getItemPastExpiryDays(days), ENTITY_PROPERTY_NOT_SET);
    EXPECT_EQ(days, -5);

    Subclient missing(9999);
    flag = true;
    EXPECT_EQ(missing.isTranLogSubclient(flag), zydb::DB_NO_DATA);
    EXPECT_TRUE(flag);
}

TEST_F(Entities, BackupViewLevelAtTheReferenceTime) {
    VirtualServerSubclientConfiguration conf(sc);
    VirtualServerBackupViewLevelType level = VS_BACKUP_VIEW_LEVEL_DEFAULT;
    EXPECT_EQ(conf.getBackupViewLevel(level), 0);
    EXPECT_EQ(level, VS_BACKUP_VIEW_LEVEL_FILE);
    ZYDate t(1500);
    conf.setRefTime(t);
    EXPECT_EQ(conf.getBackupViewLevel(level), 0);
    EXPECT_EQ(level, VS_BACKUP_VIEW_LEVEL_VOLUME);
    ZYDate boundary(2000);  // the old row stops at 2000, the new one starts there
    conf.setRefTime(boundary);
    EXPECT_EQ(conf.getBackupViewLevel(level), 0);
    EXPECT_EQ(level, VS_BACKUP_VIEW_LEVEL_FILE);
    ZYDate early(500);
    conf.setRefTime(early);
    level = VS_BACKUP_VIEW_LEVEL_VOLUME;
    EXPECT_EQ(conf.getBackupViewLevel(level), ENTITY_PROPERTY_NOT_SET);
    EXPECT_EQ(level, VS_BACKUP_VIEW_LEVEL_VOLUME);
}

TEST_F(Entities, IndexSubclientMarkIsWrittenInTheGivenTransaction) {
    {
        DBtran tran(false);
        ASSERT_EQ(tran.startTran(), zydb::DB_OK);
        SubclientConf conf(other);
        ASSERT_EQ(conf.setIndexSubClient(true, &tran), 0);
        std::string value;
        EXPECT_EQ(zyent::readProperty<APP_SubClientProp>(nullptr, other, "Index SubClient", value),
                  zydb::DB_NO_DATA);
        ASSERT_EQ(tran.rollbackTran(), zydb::DB_OK);
    }
    std::string value;
    EXPECT_EQ(zyent::readProperty<APP_SubClientProp>(nullptr, other, "Index SubClient", value),
              zydb::DB_NO_DATA);

    SubclientConf conf(other);
    ASSERT_EQ(conf.setIndexSubClient(true, nullptr), 0);  // its own transaction, committed
    ASSERT_EQ(zyent::readProperty<APP_SubClientProp>(nullptr, other, "Index SubClient", value), zydb::DB_OK);
    EXPECT_EQ(value, "1");
    ASSERT_EQ(conf.setIndexSubClient(false, nullptr), 0);
    ASSERT_EQ(zyent::readProperty<APP_SubClientProp>(nullptr, other, "Index SubClient", value), zydb::DB_OK);
    EXPECT_EQ(value, "0");
    std::vector<ApplProperty> history;
    ASSERT_EQ(zyent::readProperties<APP_SubClientProp>(nullptr, other, 0, history), zydb::DB_OK);
    EXPECT_EQ(history.size(), 1u);  // one current row; the earlier one has ended
    {
        // Written by the one versioned writer: every row has an id of its own, none 0.
        hubdb::HubDbSeed rows(dir.file("hub.db"));
        EXPECT_EQ(rows.queryInt("SELECT COUNT(DISTINCT id) FROM APP_SubClientProp WHERE id > 0"),
                  rows.queryInt("SELECT COUNT(*) FROM APP_SubClientProp"));
        EXPECT_EQ(rows.queryInt("SELECT COUNT(*) FROM APP_SubClientProp WHERE attrName = 'Index SubClient'"),
                  2);
    }

    SubclientConf missing(9999);
    EXPECT_EQ(missing.setIndexSubClient(true, nullptr), zydb::DB_NO_DATA);
}

TEST_F(Entities, SubclientIdFromItsName) {
    SubclientIdFromName names(106, bs);
    unsigned long id = 0;
    EXPECT_EQ(names.getSubclientId("vms", id), 0);
    EXPECT_EQ(id, static_cast<unsigned long>(sc));
    EXPECT_EQ(names.getSubclientId("other", id), 0);
    EXPECT_EQ(id, static_cast<unsigned long>(other));
    EXPECT_EQ(names.getSubclientId("renamed", id), 0);
    EXPECT_EQ(id, 0u);
    SubclientIdFromName wrongType(29, bs);
    id = 5;
    EXPECT_EQ(wrongType.getSubclientId("VMs", id), 0);
    EXPECT_EQ(id, 0u);
}

TEST(EntitiesWithoutDatabase, EveryQuestionFailsAndLeavesTheValue) {
    zydb::CDbEnv::close();
    Subclient s(11);
    bool flag = true;
    EXPECT_NE(s.isTranLogSubclient(flag), 0);
    EXPECT_TRUE(flag);
    SubclientIdFromName names(106, 1);
    unsigned long id = 42;
    EXPECT_NE(names.getSubclientId("x", id), 0);
    EXPECT_EQ(id, 42u);
    EXPECT_FALSE(names.getErrorString().empty());
}

}  // namespace
