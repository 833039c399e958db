// The VM list of a hypervisor backup set (window, subclient, copy, GUID history, errors) and the
// resolution of a VM GUID under its parent backup set.
#include "Db/Proc/AppGetVMBrowseDetails.h"
#include "Db/Proc/ArchGetVMsForBrowse.h"
#include "Db/Tbl/APP_ClientProp.h"
#include "tests/platform/hubdb/families_b/families_b_world.h"

namespace {

class VirtualMachines : public FamiliesBWorld {
protected:
    void SetUp() override {
        build([&](hubdb::HubDbSeed& seed, hubdb::FamiliesBSeed& more) {
            int ma = seed.addMediaAgent({.name = "ma"});
            int sp = seed.addStoragePolicy("sp", ma);
            seed.addCopy(sp, 2, ma);
            int hv = seed.addClient({.name = "hypervisor"});
            parent = seed.addBackupSet("vms");
            emptyParent = seed.addBackupSet("no vms");
            hvSubclient = seed.addSubclient(
                {.clientId = hv, .appTypeId = 106, .backupSetId = parent, .storagePolicyId = sp});
            otherHvSubclient = seed.addSubclient({.clientId = hv,
                                                  .appTypeId = 106,
                                                  .backupSetId = parent,
                                                  .name = "second",
                                                  .storagePolicyId = sp});
            hubdb::RowSeed rows(seed);
            vm1 = rows.addVirtualMachine({.parentBackupSetId = parent,
                                          .name = std::string(510, 'v'),
                                          .vmGuid = "5005-aaaa",
                                          .storagePolicyId = sp});
            vm1Instance = more.addVmInstance(vm1, 7);
            vm2 = rows.addVirtualMachine({.parentBackupSetId = parent, .name = "vm2", .storagePolicyId = sp});
            vm3 = rows.addVirtualMachine(
                {.parentBackupSetId = parent, .name = "never-backed-up", .storagePolicyId = sp});
            // vm2 has no UUID property: its client's GUID names it.
            seed.exec("DELETE FROM APP_ClientProp WHERE componentNameId = ?",
                      {zydb::DbValue::ofInt(vm2.clientId)});
            seed.exec("UPDATE APP_Client SET GUID = 'CLIENT-GUID-2' WHERE id = ?",
                      {zydb::DbValue::ofInt(vm2.clientId)});
            firstJobs = more.addVmBackup(hvSubclient, {vm1, vm2}, kT0, 1000);
            secondJobs = more.addVmBackup(hvSubclient, {vm1}, kT0 + kDay, 2000);
            // vm1's UUID changed between the two backups: the older value is history.
            rows.changeProperty<APP_ClientProp>(vm1.clientId, "Virtual Machine Instance UUID", "5005-BBBB",
                                                kT0 + kDay / 2);
        });
    }

    std::vector<ArchGetVMsForBrowse_t> vms(int bs, int sc, long long from, long long to, int copy,
                                           int* rc = nullptr) {
        ArchGetVMsForBrowse p(nullptr);
        p.setValues(bs, sc, from, to, copy, 1);
        return rowsOf(p, rc);
    }
    static std::vector<int> clients(const std::vector<ArchGetVMsForBrowse_t>& rows) {
        std::vector<int> out;
        for (const auto& r : rows) out.push_back(r.r_VMClientId);
        return out;
    }
    int resolve(const char* guid, int parentSet, AppGetVMBrowseDetails_t* out = nullptr) {
        AppGetVMBrowseDetails p(nullptr);
        p.setValues(guid, parentSet);
        int rows = 0;
        int rc = getNextRow(&p, &rows, -1, 0);
        if (out) *out = *p.getDataPtr();
        return rc == zydb::DB_OK && rows < 1 ? -1 : rc;
    }

    int parent = 0, emptyParent = 0, hvSubclient = 0, otherHvSubclient = 0, vm1Instance = 0;
    hubdb::VirtualMachine vm1, vm2, vm3;
    std::vector<int> firstJobs, secondJobs;
};

}  // namespace

TEST_F(VirtualMachines, OneRowPerProtectedVmWithItsCoveringJob) {
    auto rows = vms(parent, -1, 0, kT0 + 2 * kDay, 0);
    ASSERT_EQ(clients(rows), (std::vector<int>{vm1.clientId, vm2.clientId}));  // vm3 has no job

    const auto& r = rows[0];
    EXPECT_EQ(r.r_errorCode, 0);
    EXPECT_STREQ(r.r_VMGUID, "5005-BBBB");  // the UUID in force at the covering job
    EXPECT_EQ(std::string(r.r_VMClientName), std::string(510, 'v'));
    EXPECT_EQ(r.r_VMSize, 2000);
    EXPECT_EQ(r.r_VMInstanceId, vm1Instance);
    EXPECT_EQ(std::string(r.r_VMInstanceGUID).size(), 36u);
    EXPECT_EQ(r.r_VMBackupSetId, vm1.childBackupSetId);
    EXPECT_NE(r.r_VMBackupSetGUID[0], 0);
    EXPECT_EQ(r.r_VMAppId, vm1.subclientId);
    EXPECT_NE(r.r_VMAppGUID[0], 0);
    EXPECT_EQ(r.r_VMJobId, secondJobs[1]);
    EXPECT_EQ(r.r_VMJobKelmarchId, hubdb::kDefaultKelmarchId);
    EXPECT_EQ(r.r_VMJobEndTime, kT0 + kDay + 1);
    EXPECT_EQ(r.r_VMClientOSId, 7);
    EXPECT_STREQ(rows[1].r_VMGUID, "CLIENT-GUID-2");  // no UUID property: the client's GUID
    EXPECT_EQ(rows[1].r_VMJobId, firstJobs[2]);

    // Before the second backup vm1 is covered by its first job, under its first UUID.
    rows = vms(parent, -1, 0, kT0 + 100, 0);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].r_VMJobId, firstJobs[1]);
    EXPECT_STREQ(rows[0].r_VMGUID, "5005-aaaa");
    // A window after the first backup keeps only vm1; an open end (0, or past 2038) takes all.
    EXPECT_EQ(clients(vms(parent, -1, kT0 + 10, 0, 0)), (std::vector<int>{vm1.clientId}));
    EXPECT_EQ(vms(parent, -1, 0, 5000000000LL, 0).size(), 2u);
}

TEST_F(VirtualMachines, SubclientCopyAndEmptyLists) {
    // The hypervisor subclient that ran the jobs, and one that ran none.
    EXPECT_EQ(vms(parent, hvSubclient, 0, 0, 0).size(), 2u);
    EXPECT_TRUE(vms(parent, otherHvSubclient, 0, 0, 0).empty());
    // Copy 2 holds the data; there is no copy 3.
    EXPECT_EQ(vms(parent, -1, 0, 0, 2).size(), 2u);
    EXPECT_TRUE(vms(parent, -1, 0, 0, 3).empty());
    // A backup set without VMs ends at once with 100.
    int rc = 0;
    EXPECT_TRUE(vms(emptyParent, -1, 0, 0, 0, &rc).empty());
    EXPECT_EQ(rc, zydb::DB_NO_DATA);
    // The printed path gives the same rows.
    DBtable::b_newDBBase = false;
    EXPECT_EQ(clients(vms(parent, -1, 0, 0, 0)), (std::vector<int>{vm1.clientId, vm2.clientId}));
}

TEST_F(VirtualMachines, ADatabaseErrorIsNotTheEndOfTheList) {
    ASSERT_EQ(sql("DROP TABLE JMJobDataLink"), zydb::DB_OK);
    int rc = 0;
    EXPECT_TRUE(vms(parent, hvSubclient, 0, 0, 0, &rc).empty());
    EXPECT_TRUE(isError(rc)) << rc;
    ASSERT_EQ(sql("DROP TABLE JMBkpStats"), zydb::DB_OK);
    vms(parent, -1, 0, 0, 0, &rc);
    EXPECT_TRUE(isError(rc)) << rc;
}

TEST_F(VirtualMachines, GuidResolvesToTheVmsOwnEntities) {
    AppGetVMBrowseDetails_t d;
    ASSERT_EQ(resolve("5005-bbbb", parent, &d), zydb::DB_OK);  // the current UUID, any letter case
    EXPECT_EQ(d.VMClientID, vm1.clientId);
    EXPECT_EQ(d.VMInstanceId, vm1Instance);
    EXPECT_EQ(d.VMBackupsetId, vm1.childBackupSetId);
    EXPECT_EQ(d.VMSubclientId, vm1.subclientId);
    ASSERT_EQ(resolve("CLIENT-GUID-2", parent, &d), zydb::DB_OK);  // the client's GUID
    EXPECT_EQ(d.VMSubclientId, vm2.subclientId);

    // Unknown, outdated, empty, under another parent, or quoted: no row (100), never an SQL error.
    EXPECT_EQ(resolve("UNKNOWN-GUID", parent), zydb::DB_NO_DATA);
    EXPECT_EQ(resolve("5005-aaaa", parent), zydb::DB_NO_DATA);
    EXPECT_EQ(resolve("", parent), zydb::DB_NO_DATA);
    EXPECT_EQ(resolve("CLIENT-GUID-2", emptyParent), zydb::DB_NO_DATA);
    EXPECT_EQ(resolve("x' OR '1'='1", parent), zydb::DB_NO_DATA);
    DBtable::b_newDBBase = false;
    EXPECT_EQ(resolve("x' OR '1'='1", parent), zydb::DB_NO_DATA);
    ASSERT_EQ(resolve("CLIENT-GUID-2", parent, &d), zydb::DB_OK);
    EXPECT_EQ(d.VMClientID, vm2.clientId);
}
