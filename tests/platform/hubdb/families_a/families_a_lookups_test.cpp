// The lookups the service makes through the property, backup-set, mailbox, user, job-statistics and
// job-link tables, with their where clauses exactly as the service passes them, over a seeded
// database: versioned properties at their boundaries, 64-bit times, missing rows, hostile text.
#include <cstring>
#include <string>
#include <vector>

#include "Db/Tbl/APP_Application.h"
#include "Db/Tbl/APP_BackupSetName.h"
#include "Db/Tbl/APP_ClientProp.h"
#include "Db/Tbl/APP_EmailConfigPolicyAssoc.h"
#include "Db/Tbl/APP_IDAProp.h"
#include "Db/Tbl/APP_SubClientProp.h"
#include "Db/Tbl/APP_VMBackupSet.h"
#include "Db/Tbl/JMBkpStats.h"
#include "Db/Tbl/JMJobDataLink.h"
#include "Db/Tbl/UMUsers.h"
#include "tests/platform/hubdb/families_a/families_a_fixture.h"

using zydb::DB_NO_DATA;
using zydb::DB_OK;

namespace {

const char* const kVmGuidWhere =
    " componentNameId=%d AND attrName = N'Virtual Machine Instance UUID' AND %d >= created AND(%d < modified "
    "OR "
    "modified = 0)";
const char* const kUsingV21 = "Virtual Server Using V2.1";
const char* const kHostile = "x' OR '1'='1";

// The VM GUID in force at `t`, as the indexing-v2 browse reads it; "" when there is no row.
template <class Time>
std::string vmGuidAt(int clientId, Time t, int* rc = nullptr) {
    APP_ClientProp p(nullptr);
    p.setIsolationType(4);
    p.setTop(1);
    p.setWhere(kVmGuidWhere, clientId, t, t);
    int r = getOneRow(&p, false, -1, 0);
    if (rc) *rc = r;
    return r == DB_OK ? p.getDataPtr()->attrVal : "";
}

}  // namespace

TEST_F(FamiliesADb, ClientPropertiesAreReadAsInForceAtTheirBoundaries) {
    int hv = seed->addClient({.name = "hypervisor"});
    int parent = seed->addBackupSet("vmParent");
    seed->addSubclient({.clientId = hv, .appTypeId = 106, .backupSetId = parent, .storagePolicyId = sp});
    auto vm = rows->addVirtualMachine(
        {.parentBackupSetId = parent, .name = "vm1", .vmGuid = "GUID-A", .guidSince = 100});
    ASSERT_GT(vm.subclientId, 0) << rows->error();
    rows->changeProperty<APP_ClientProp>(vm.clientId, "Virtual Machine Instance UUID", "GUID-B", 200);
    const long long late = 3000000000LL;  // beyond 32 bits
    rows->changeProperty<APP_ClientProp>(vm.clientId, "Virtual Machine Instance UUID", "GUID-C", late);
    auto bare = rows->addVirtualMachine({.parentBackupSetId = parent, .name = "vm2", .guidSince = 500});
    open();

    int rc = 0;
    EXPECT_EQ(vmGuidAt(vm.clientId, 99, &rc), "");
    EXPECT_EQ(rc, DB_NO_DATA);
    EXPECT_EQ(vmGuidAt(vm.clientId, 100), "GUID-A");  // created = t is in force
    EXPECT_EQ(vmGuidAt(vm.clientId, 199), "GUID-A");
    EXPECT_EQ(vmGuidAt(vm.clientId, 200), "GUID-B");  // modified = t no longer is
    EXPECT_EQ(vmGuidAt(vm.clientId, late - 1), "GUID-B");
    EXPECT_EQ(vmGuidAt(vm.clientId, late), "GUID-C");  // the time keeps all its bits
    EXPECT_EQ(vmGuidAt(vm.clientId, late + 86400), "GUID-C");
    EXPECT_EQ(vmGuidAt(bare.clientId, 500), bare.guid);
    EXPECT_EQ(vmGuidAt(bare.clientId, 499, &rc), "");
    EXPECT_EQ(rc, DB_NO_DATA);
}

TEST_F(FamiliesADb, ClientPropertiesOfTheVirtualServerBrowseChoice) {
    int on = seed->addClient({.name = "on"});
    int off = seed->addClient({.name = "switchedOff"});
    int none = seed->addClient({.name = "none"});
    rows->addProperty<APP_ClientProp>({.ownerId = on, .name = "IndexingV2_VSA", .value = "1", .created = 10});
    rows->addProperty<APP_ClientProp>(
        {.ownerId = off, .name = "IndexingV2_VSA", .value = "1", .created = 10});
    rows->changeProperty<APP_ClientProp>(off, "IndexingV2_VSA", "0", 20);
    rows->addProperty<APP_ClientProp>(
        {.ownerId = on, .name = kUsingV21, .value = "1", .created = 1500, .attrType = 2});
    rows->addProperty<APP_ClientProp>(
        {.ownerId = off, .name = kUsingV21, .value = "1", .created = 1500});  // type 0
    rows->addProperty<APP_ClientProp>({.ownerId = on, .name = "IdxV2 FS", .value = "1", .created = 777});
    open();

    auto vsaV2 = [](int client, int* rowCount) {
        APP_ClientProp p(nullptr);
        p.setWhere("componentNameId = %d and attrName = 'IndexingV2_VSA' and attrVal = '1' and modified = 0",
                   client);
        return getNextRow(&p, rowCount, -1, 0);
    };
    int count = 0;
    EXPECT_EQ(vsaV2(on, &count), DB_OK);
    EXPECT_EQ(count, 1);
    count = 0;
    EXPECT_EQ(vsaV2(off, &count), DB_NO_DATA);  // its current value is 0
    EXPECT_EQ(count, 0);
    EXPECT_EQ(vsaV2(none, &count), DB_NO_DATA);

    auto v21 = [](int client, long long* created) {
        APP_ClientProp p(nullptr);
        p.setWhere("componentNameId=%d and attrName='%s' and attrType = 2 and attrVal = '1' and modified = 0",
                   client, kUsingV21);
        p.setIsolationType(4);
        p.setTop(1);
        int rc = getOneRow(&p, false, -1, 0);
        *created = p.getDataPtr()->created;
        return rc;
    };
    long long created = 0;
    EXPECT_EQ(v21(on, &created), DB_OK);
    EXPECT_EQ(created, 1500);
    EXPECT_EQ(v21(off, &created), DB_NO_DATA);  // not of type 2

    // The indexing-v2 switch-over time of a client, by the agent type's property name (bound text).
    auto switchOver = [](unsigned long client, const char* name, long long* created) {
        APP_ClientProp p(nullptr);
        p.setWhere("componentNameId=%lu and attrName='%s'", client, name);
        int rows = 0;
        int rc = getNextRow(&p, &rows, -1, 0);
        *created = p.getDataPtr()->created;
        return rc;
    };
    EXPECT_EQ(switchOver(on, "IdxV2 FS", &created), DB_OK);
    EXPECT_EQ(created, 777);
    EXPECT_EQ(switchOver(on, kHostile, &created), DB_NO_DATA);
}

TEST_F(FamiliesADb, PropertyValuesKeepTheirWidths) {
    int client = seed->addClient({.name = "c"});
    int bs = seed->addBackupSet("bs");
    int sc =
        seed->addSubclient({.clientId = client, .appTypeId = 29, .backupSetId = bs, .storagePolicyId = sp});
    const std::string exact(2048, 'e'), longer(3000, 'l'), huge(10000, 'h');
    rows->addProperty<APP_ClientProp>({.ownerId = client, .name = "exact", .value = exact});
    rows->addProperty<APP_ClientProp>({.ownerId = client, .name = "longer", .value = longer});
    rows->addProperty<APP_SubClientProp>({.ownerId = sc, .name = "huge", .value = huge});
    open();

    APP_ClientProp c(nullptr);
    c.setWhere("componentNameId=%d and attrName='%s'", client, "exact");
    ASSERT_EQ(getOneRow(&c, false, -1, 0), DB_OK);
    EXPECT_EQ(std::string(c.getDataPtr()->attrVal), exact);
    APP_ClientProp l(nullptr);
    l.setWhere("componentNameId=%d and attrName='%s'", client, "longer");
    ASSERT_EQ(getOneRow(&l, false, -1, 0), DB_OK);
    EXPECT_EQ(std::strlen(l.getDataPtr()->attrVal), 2048u);  // cut to the column, NUL kept

    APP_SubClientProp s(nullptr);
    s.setWhere("componentNameId=%d and attrName='%s'", sc, "huge");
    ASSERT_EQ(getOneRow(&s, false, -1, 0), DB_OK);
    ASSERT_NE(s.getDataPtr()->attrVal, nullptr);
    EXPECT_EQ(std::string(s.getDataPtr()->attrVal), huge);  // unbounded: whole
}

TEST_F(FamiliesADb, SubclientAndAgentPropertiesOfIndexInformation) {
    int alpha = seed->addClient({.name = "alpha"});
    int beta = seed->addClient({.name = "beta"});
    int bs1 = seed->addBackupSet("bs1");
    int bs2 = seed->addBackupSet("bs2");
    int bs3 = seed->addBackupSet("bs3");
    int fs1 = seed->addSubclient(
        {.clientId = alpha, .appTypeId = 29, .backupSetId = bs1, .name = "a", .storagePolicyId = sp});
    int fs2 = seed->addSubclient(
        {.clientId = alpha, .appTypeId = 29, .backupSetId = bs1, .name = "b", .storagePolicyId = sp});
    int ex =
        seed->addSubclient({.clientId = alpha, .appTypeId = 33, .backupSetId = bs2, .storagePolicyId = sp});
    seed->addSubclient({.clientId = beta, .appTypeId = 29, .backupSetId = bs3, .storagePolicyId = sp});
    rows->addProperty<APP_SubClientProp>(
        {.ownerId = fs1, .name = "IndexPruning_DBRetentionCycle", .value = "0"});
    rows->addProperty<APP_SubClientProp>(
        {.ownerId = fs2, .name = "IndexPruning_DBRetentionCycle", .value = "1", .created = 5});
    rows->addProperty<APP_SubClientProp>(
        {.ownerId = ex, .name = "IndexPruning_DBRetentionCycle", .value = "1", .created = 5});
    rows->changeProperty<APP_SubClientProp>(ex, "IndexPruning_DBRetentionCycle", "0", 50);
    int agent = rows->addAgent(alpha, 29);
    rows->addAgent(alpha, 33);
    rows->addProperty<APP_IDAProp>(
        {.ownerId = agent, .name = "Subclient Index", .value = "1", .created = 100, .modified = 400});
    rows->changeProperty<APP_IDAProp>(agent, "Subclient Index", "1", 400);
    open();

    auto pruning = [](long backupSet, unsigned appType) {
        APP_SubClientProp p(nullptr);
        p.setIsolationType(4);
        p.setWhere(
            "attrname = 'IndexPruning_DBRetentionCycle' AND attrval = '1' AND modified = 0 AND "
            "componentNameId in "
            "(SELECT id from App_Application WITH(NOLOCK) WHERE backupset = %ld AND appTypeId = %u)",
            backupSet, appType);
        return getOneRow(&p, false, -1, 0);
    };
    EXPECT_EQ(pruning(bs1, 29), DB_OK);       // any subclient of the set is enough
    EXPECT_EQ(pruning(bs1, 33), DB_NO_DATA);  // another agent type
    EXPECT_EQ(pruning(bs2, 33), DB_NO_DATA);  // switched off since
    EXPECT_EQ(pruning(bs3, 29), DB_NO_DATA);

    auto enabledSince = [](long backupSet, long appType, long long* created) {
        APP_IDAProp p(nullptr);
        p.setIsolationType(4);
        p.setWhere(
            "attrname = 'Subclient Index' AND modified = 0 AND componentNameId = (SELECT id FROM App_IdaName "
            "WITH(NOLOCK) WHERE ClientID = (SELECT TOP 1 clientID from App_Application WITH(NOLOCK) WHERE "
            "backupset = %ld) AND appTypeId = %ld)",
            backupSet, appType);
        int rc = getOneRow(&p, false, -1, 0);
        *created = rc == DB_OK ? p.getDataPtr()->created : 0;
        return rc;
    };
    long long since = -1;
    EXPECT_EQ(enabledSince(bs1, 29, &since), DB_OK);
    EXPECT_EQ(since, 400);                                 // the current version
    EXPECT_EQ(enabledSince(bs2, 33, &since), DB_NO_DATA);  // agent without the property
    EXPECT_EQ(since, 0);
    EXPECT_EQ(enabledSince(bs3, 29, &since), DB_NO_DATA);  // client without agents
}

TEST_F(FamiliesADb, BackupSetByGuidAndVirtualMachineLinks) {
    int hv = seed->addClient({.name = "hv"});
    int parent = seed->addBackupSet("parent", "PARENT-GUID-1");
    int vsa =
        seed->addSubclient({.clientId = hv, .appTypeId = 106, .backupSetId = parent, .storagePolicyId = sp});
    auto vm = rows->addVirtualMachine({.parentBackupSetId = parent, .name = "vm1"});
    int lone = seed->addClient({.name = "lone"});
    open();

    auto byGuid = [](const char* guid, int* id) {
        APP_BackupSetName b(nullptr);
        b.setWhere("guid = '%s'", guid);
        int rc = getOneRow(&b, false, -1, 0);
        *id = b.getDataPtr()->id;
        return rc;
    };
    int id = 0;
    EXPECT_EQ(byGuid("PARENT-GUID-1", &id), DB_OK);
    EXPECT_EQ(id, parent);
    EXPECT_EQ(byGuid("NO-SUCH-GUID", &id), DB_NO_DATA);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(byGuid(kHostile, &id), DB_NO_DATA);
    {
        APP_BackupSetName b(nullptr);
        b.setWhere("id = %d", vm.childBackupSetId);
        ASSERT_EQ(getOneRow(&b, false, -1, 0), DB_OK);
        EXPECT_STREQ(b.getDataPtr()->name, "vm1");
        EXPECT_EQ(std::strlen(b.getDataPtr()->GUID), 36u);
    }

    auto linked = [](int client, int child, int* count) {
        APP_VMBackupSet v(nullptr);
        v.setWhere("VMClientId = %d and ChildBackupSetId = %d", client, child);
        *count = 0;
        return getNextRow(&v, count, -1, 0);
    };
    int count = 0;
    EXPECT_EQ(linked(vm.clientId, vm.childBackupSetId, &count), DB_OK);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(linked(lone, vm.childBackupSetId, &count), DB_NO_DATA);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(linked(vm.clientId, parent, &count), DB_NO_DATA);

    // The request routing finds the hypervisor's subclient from the child backup set.
    APP_Application a(nullptr);
    a.setWhere(
        "backupSet in (select ParentBackupSetId from APP_VMBackupSet WITH(NOLOCK) where "
        "ChildBackupSetId=%lu)",
        static_cast<unsigned long>(vm.childBackupSetId));
    ASSERT_EQ(getOneRow(&a, false, -1, 0), DB_OK);
    EXPECT_EQ(a.getDataPtr()->id, vsa);
}

TEST_F(FamiliesADb, MailboxCreationTimeAndUserEmail) {
    int client = seed->addClient({.name = "exch"});
    int bs = seed->addBackupSet("mail");
    int sc1 = seed->addSubclient(
        {.clientId = client, .appTypeId = 137, .backupSetId = bs, .name = "s1", .storagePolicyId = sp});
    int sc2 = seed->addSubclient(
        {.clientId = client, .appTypeId = 137, .backupSetId = bs, .name = "s2", .storagePolicyId = sp});
    int owner = rows->addUser({.name = "alice", .email = "alice@example.com", .description = "admin user"});
    int mute = rows->addUser({.name = "bob"});
    ASSERT_GT(mute, owner);
    rows->addMailboxAssociation({.userGuid = "MBX-1", .subclientId = sc1, .created = 300, .ownerId = owner});
    rows->addMailboxAssociation({.userGuid = "MBX-1", .subclientId = sc1, .created = 250, .ownerId = owner});
    rows->addMailboxAssociation({.userGuid = "MBX-1", .subclientId = sc2, .created = 100, .ownerId = owner});
    rows->addMailboxAssociation({.userGuid = "MBX-2", .subclientId = sc1, .created = 120, .ownerId = owner});
    open();

    auto creation = [](const char* guid, int subclient, long long* created) {
        APP_EmailConfigPolicyAssoc m(nullptr);
        m.setIsolationType(4);
        m.setWhere(
            "created in (SELECT MIN(created) FROM APP_EmailConfigPolicyAssoc WHERE userGUID = '%s' AND "
            "subClientId = %d)",
            guid, subclient);
        m.setTop(1);
        int rc = getOneRow(&m, false, -1, 0);
        if (rc == DB_OK) *created = m.getDataPtr()->created;
        return rc;
    };
    long long created = 0;
    EXPECT_EQ(creation("MBX-1", sc1, &created), DB_OK);
    EXPECT_EQ(created, 250);
    EXPECT_EQ(creation("mbx-1", sc2, &created), DB_OK);  // GUIDs compare without case
    EXPECT_EQ(created, 100);
    created = 0;
    EXPECT_EQ(creation("MBX-3", sc1, &created), DB_NO_DATA);  // no association: time stays 0
    EXPECT_EQ(created, 0);
    EXPECT_EQ(creation(kHostile, sc1, &created), DB_NO_DATA);

    auto email = [](unsigned long id, std::string* out) {
        UMUsers u(nullptr);
        u.setWhere("id = %lu", id);
        int rc = getOneRow(&u, false, -1, 0);
        *out = u.getDataPtr()->email;
        return rc;
    };
    std::string address;
    EXPECT_EQ(email(owner, &address), DB_OK);
    EXPECT_EQ(address, "alice@example.com");
    EXPECT_EQ(email(mute, &address), DB_OK);
    EXPECT_EQ(address, "");  // a row without an address
    EXPECT_EQ(email(9999, &address), DB_NO_DATA);

    UMUsers u(nullptr);
    u.setWhere("id = %lu", static_cast<unsigned long>(owner));
    ASSERT_EQ(getOneRow(&u, false, -1, 0), DB_OK);
    ASSERT_NE(u.getDataPtr()->description, nullptr);
    EXPECT_STREQ(u.getDataPtr()->description, "admin user");
    EXPECT_STREQ(u.getDataPtr()->login, "alice");
}

TEST_F(FamiliesADb, JobStatisticsOfPlanningAndExplorerSync) {
    int client = seed->addClient({.name = "c"});
    int bs = seed->addBackupSet("bs");
    int other = seed->addBackupSet("other");
    int sc =
        seed->addSubclient({.clientId = client, .appTypeId = 29, .backupSetId = bs, .storagePolicyId = sp});
    int sc2 = seed->addSubclient(
        {.clientId = client, .appTypeId = 29, .backupSetId = other, .storagePolicyId = sp});
    auto job = [&](int appId, int level, int end, int status = 1, int dataStatus = 0) {
        return rows->addJobStats(
            {.job = {.appId = appId, .level = level, .startTime = end - 60, .endTime = end, .status = status},
             .dataStatus = dataStatus});
    };
    int full = job(sc, 1, 1000);
    int synth128 = job(sc, 128, 2000);
    int synth64 = job(sc2, 64, 2000);
    int synth16384 = job(sc2, 16384, 2500);
    int incr = job(sc, 2, 3000);
    int third = seed->addBackupSet("third");
    int sc3 = seed->addSubclient(
        {.clientId = client, .appTypeId = 29, .backupSetId = third, .storagePolicyId = sp});
    job(sc3, 1, 3900, 14);
    job(sc3, 1, 4000, 2);     // failed
    job(sc3, 1, 4100, 1, 1);  // its data is gone
    open();

    auto v1Synthetic = [](unsigned jobId) {
        JMBkpStats s(nullptr);
        s.setWhere("jobId = %u AND bkpLevel IN (%d, %d, %d)", jobId, 64, 16384, 128);
        return getOneRow(&s, false, -1, 0);
    };
    EXPECT_EQ(v1Synthetic(full), DB_NO_DATA);
    EXPECT_EQ(v1Synthetic(synth128), DB_OK);
    EXPECT_EQ(v1Synthetic(synth64), DB_OK);
    EXPECT_EQ(v1Synthetic(synth16384), DB_OK);
    EXPECT_EQ(v1Synthetic(incr), DB_NO_DATA);

    auto fullSince = [](long backupSet, long subclient, long long from) {
        JMBkpStats s(nullptr);
        if (subclient < 1)
            s.setWhere(
                "appId IN (SELECT id FROM APP_Application WHERE backupSet = %ld) AND bkpLevel & 0X40C1 <> 0 "
                "AND "
                "dataStatus = 0 AND status IN (1, 3, 14) AND servEndDate >= %d",
                backupSet, from);
        else
            s.setWhere(
                "appId = %ld AND bkpLevel & 0X40C1 <> 0 AND dataStatus = 0 AND status IN (1, 3, 14) AND "
                "servEndDate >= %d",
                subclient, from);
        s.setTop(1);
        return getOneRow(&s, false, -1, 0);
    };
    EXPECT_EQ(fullSince(bs, 0, 1000), DB_OK);       // the full job ended at the from-time
    EXPECT_EQ(fullSince(bs, 0, 2000), DB_OK);       // the level-128 synthetic full
    EXPECT_EQ(fullSince(bs, 0, 2001), DB_NO_DATA);  // only an incremental after it
    EXPECT_EQ(fullSince(bs, sc2, 2500), DB_OK);
    EXPECT_EQ(fullSince(other, 0, 2600), DB_NO_DATA);
    EXPECT_EQ(fullSince(bs, sc, 5000000000LL), DB_NO_DATA);  // a 64-bit from-time is not cut short
    EXPECT_EQ(fullSince(third, 0, 3900), DB_OK);             // status 14 counts
    EXPECT_EQ(fullSince(third, 0, 3901), DB_NO_DATA);        // a failed job and one without data do not
}

TEST_F(FamiliesADb, JobLinksInBothDirections) {
    int hv = seed->addClient({.name = "hv"});
    int parent = seed->addBackupSet("parent");
    int vsa =
        seed->addSubclient({.clientId = hv, .appTypeId = 106, .backupSetId = parent, .storagePolicyId = sp});
    auto vm = rows->addVirtualMachine({.parentBackupSetId = parent, .name = "vm1", .storagePolicyId = sp});
    auto vm2 = rows->addVirtualMachine({.parentBackupSetId = parent, .name = "vm2", .storagePolicyId = sp});
    const int k = hubdb::kDefaultKelmarchId;
    rows->addJobLink({.parentJobId = 10, .childJobId = 11, .parentAppId = vsa, .childAppId = vm.subclientId});
    rows->addJobLink({.parentJobId = 20,
                      .childJobId = 23,
                      .parentAppId = vsa,
                      .childAppId = vm.subclientId,
                      .childJobStatus = 3});
    rows->addJobLink({.parentJobId = 20,
                      .childJobId = 22,
                      .parentAppId = vsa,
                      .childAppId = vm2.subclientId,
                      .childJobStatus = 2});
    rows->addJobLink({.parentJobId = 30,
                      .childJobId = 31,
                      .parentAppId = 999,
                      .childAppId = vm2.subclientId,
                      .linkType = 4});
    open();

    // Mount description: the parent subclient of the newest child job.
    auto parentOf = [](unsigned long childApp, int* parentApp) {
        JMJobDataLink l(nullptr);
        l.setWhere("childAppId = %lu AND linkType = %d", childApp, 7);
        l.setOrderBy("childJobID desc");
        l.setTop(1);
        int rc = getOneRow(&l, false, -1, 0);
        *parentApp = l.getDataPtr()->parentAppid;
        return rc;
    };
    int parentApp = 0;
    EXPECT_EQ(parentOf(vm.subclientId, &parentApp), DB_OK);
    EXPECT_EQ(parentApp, vsa);
    EXPECT_EQ(parentOf(vm2.subclientId, &parentApp), DB_OK);  // the type-4 link is not read
    EXPECT_EQ(parentApp, vsa);
    EXPECT_EQ(parentOf(vsa, &parentApp), DB_NO_DATA);  // a parent is no child

    // The child job of a parent job within a VM's backup set: children that completed (1 or 3).
    auto childOf = [](long long parentJob, long long kelmarch, unsigned backupSet, int* child) {
        JMJobDataLink l(nullptr);
        l.setWhere(
            "parentjobid = %lld and kelmarchid = %lld and linkType in (%d) and childJobStatus in (1, 3) "
            "\tand "
            "childAppid IN (select id from App_Application(NOLOCK) where backupset = %u)",
            parentJob, kelmarch, 7, backupSet);
        l.setTop(1);
        l.setIsolationType(4);
        int rc = getOneRow(&l, false, -1, 0);
        *child = rc == DB_OK ? l.getDataPtr()->childJobId : 0;
        return rc;
    };
    int child = 0;
    EXPECT_EQ(childOf(10, k, vm.childBackupSetId, &child), DB_OK);
    EXPECT_EQ(child, 11);
    EXPECT_EQ(childOf(20, k, vm.childBackupSetId, &child), DB_OK);
    EXPECT_EQ(child, 23);                                                 // status 3 is accepted
    EXPECT_EQ(childOf(20, k, vm2.childBackupSetId, &child), DB_NO_DATA);  // failed child job
    EXPECT_EQ(child, 0);
    EXPECT_EQ(childOf(10, k + 1, vm.childBackupSetId, &child), DB_NO_DATA);
    EXPECT_EQ(childOf(10, k, vm2.childBackupSetId, &child), DB_NO_DATA);  // another VM's set
}
