// WBA replication configuration, end-user erase filters, the install-manager readers and the client reader
// over a seeded database.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <thread>

#include "Db/Tbl/APP_ClientProp.h"
#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/db/requestscope.h"
#include "platform/entities/applicationid.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/entityseed.h"
#include "platform/entities/installmanager.h"
#include "platform/entities/propertystore.h"
#include "platform/entities/sdversion.h"
#include "platform/entities/wbaconfiguration.h"
#include "platform/entities/zyclient.h"
#include "platform/entities/zyglobalparam.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/threadsql.h"
#include "platform/log/evdebug.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/log/processlogdir.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

class Readers : public ::testing::Test {
protected:
    void SetUp() override {
        hubtest::processLogDir();  // not the test's folder: the log outlives it
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        ASSERT_TRUE(seed.ok()) << seed.error();
        zyent::EntitySeed e(seed);
        windows = e.addOperatingSystem("Windows Server 2019", 1);
        linux_ = e.addOperatingSystem("Red Hat Enterprise Linux 9", 2);
        source = seed.addClient({.name = "fileserver", .osId = windows});
        dest = seed.addClient({.name = "replica", .osId = linux_});
        vm = seed.addClient({.name = "cluster", .description = "two nodes"});
        node1 = seed.addClient({.name = "node1"});
        node2 = seed.addClient({.name = "node2"});
        e.mapVirtualToPhysical(vm, node2);
        e.mapVirtualToPhysical(vm, node1);
        e.addClientProperty(node1, "Virtual Machine Instance UUID", "VM-GUID-1");
        e.addClientProperty(node2, "Virtual Machine Instance UUID", "VM-GUID-1", 0, 100);  // no longer
        e.addClientProperty(vm, "virtual machine instance uuid", "vm-guid-1");

        // The replication set 40 of the file server: two pairs now; one more until time 3000.
        e.addReplicationPair({.sourceClientId = source,
                              .sourceRepSetId = 40,
                              .sourcePath = "C:\\Data",
                              .destClientId = dest,
                              .destBackupSetId = 50,
                              .destAppType = 29,
                              .destPath = "/replica/data",
                              .created = 1000});
        e.addReplicationPair({.sourceClientId = source,
                              .sourceRepSetId = 40,
                              .sourcePath = "D:\\",
                              .destClientId = dest,
                              .destBackupSetId = 50,
                              .destAppType = 29,
                              .destPath = "/replica/d",
                              .created = 5000});
        e.addReplicationPair({.sourceClientId = source,
                              .sourceRepSetId = 40,
                              .sourcePath = "E:\\Old",
                              .destClientId = dest,
                              .destBackupSetId = 50,
                              .destAppType = 29,
                              .destPath = "/replica/old",
                              .created = 1000,
                              .modified = 3000});
        // A client whose pairs disagree on their destination.
        e.addReplicationPair({.sourceClientId = vm,
                              .sourceRepSetId = 41,
                              .sourcePath = "/a",
                              .destClientId = dest,
                              .destBackupSetId = 50,
                              .destAppType = 29,
                              .destPath = "/x"});
        e.addReplicationPair({.sourceClientId = vm,
                              .sourceRepSetId = 41,
                              .sourcePath = "/b",
                              .destClientId = dest,
                              .destBackupSetId = 51,
                              .destAppType = 29,
                              .destPath = "/y"});

        farm = seed.addClient({.name = "spfarm"});
        e.addSharePointMemberServer(farm, node2);
        e.addSharePointMemberServer(farm, node1, true);
        e.addSharePointMemberServer(farm, 4242);  // a member whose client is gone
        e.addEraseFilter(source, 33, "C:\\Users\\Bob\\Private", 4000, 7);
        e.addEraseFilter(source, 33, "c:/users/bob/private/old", 6000, 7);
        e.addEraseFilter(source, 29, "/home/bob", 4000, 7);
        ASSERT_TRUE(e.ok()) << e.error();
        ASSERT_EQ(hubdb::openHubDatabase(dir.file("hub.db")), zydb::DB_OK);
    }
    void TearDown() override { zydb::CDbEnv::close(); }

    TempDir dir;
    int windows = 0, linux_ = 0, source = 0, dest = 0, vm = 0, node1 = 0, node2 = 0, farm = 0;
};

TEST_F(Readers, WbaToTimeZeroMeansTheCurrentConfiguration) {
    for (unsigned int toTime : {0u, 0x7fffffffu}) {
        WBAConfiguration wba(source, 40, toTime);
        ASSERT_EQ(wba.Load(), 0);
        EXPECT_EQ(wba.GetSourceRepSet(), 40u);
        EXPECT_EQ(wba.GetDestHost(), dest);
        EXPECT_EQ(wba.GetDestBackupSet(), 50u);
        EXPECT_EQ(wba.GetDestFileSystemAppType(), 29u);
        Pairs pairs;
        EXPECT_TRUE(wba.Match("D:\\projects\\a.txt", pairs, true));
        ASSERT_EQ(pairs.size(), 1u);
        EXPECT_EQ(pairs[0].second, "/replica/d");
        EXPECT_FALSE(wba.Match("E:\\Old\\file", pairs, true)) << toTime;  // ended at 3000
    }
}

TEST_F(Readers, WbaConfigurationAsItWasAtTheToTime) {
    WBAConfiguration wba(source, 40, 2000);
    ASSERT_EQ(wba.Load(), 0);
    Pairs pairs;
    EXPECT_TRUE(wba.Match("E:\\Old\\file", pairs, true));
    EXPECT_FALSE(wba.Match("D:\\projects", pairs, true));  // created at 5000
    EXPECT_TRUE(wba.Match("c:/data/sub", pairs, true));
    EXPECT_EQ(pairs[0].first, "C:\\Data");
    EXPECT_FALSE(wba.Match("c:/data/sub", pairs, false));  // letter case counts when asked
    EXPECT_FALSE(wba.Match("C:\\Database", pairs, true));  // a prefix only at a separator
    EXPECT_TRUE(wba.Match("C:\\Data", pairs, true));

    WBAConfiguration none(dest, 0, 0);
    EXPECT_EQ(none.Load(), 1);
    EXPECT_FALSE(none.Match("C:\\Data", pairs, true));
    WBAConfiguration inconsistent(vm, 41, 0);
    EXPECT_EQ(inconsistent.Load(), 2);
}

TEST_F(Readers, EraseFiltersHideErasedPathsAndWhatIsBelowThem) {
    SDVersion sd;
    long when = 0;
    EXPECT_EQ(sd.isPathFiltered("C:\\Users", nullptr, &when), -1);  // not open yet
    SDArgs args;
    EXPECT_EQ(args.kind, 2u);
    args.clientId = source;
    args.appType = 33;
    args.serverName = "hubmaster";
    ASSERT_EQ(sd.open(args, true), 1);
    EXPECT_EQ(sd.filterCount(), 2u);
    EXPECT_FALSE(sd.impersonatedUser());
    EXPECT_EQ(sd.isPathFiltered("C:\\Users\\Bob\\Private", nullptr, &when), 1);
    EXPECT_EQ(when, 4000);
    EXPECT_EQ(sd.isPathFiltered("c:\\users\\bob\\private\\old\\x.doc", nullptr, &when), 1);
    EXPECT_EQ(when, 6000);  // the latest erase that covers it
    when = 17;
    EXPECT_EQ(sd.isPathFiltered("C:\\Users\\Bob\\PrivateNotes", nullptr, &when), 0);
    EXPECT_EQ(sd.isPathFiltered("C:\\Users\\Bob", nullptr, &when), 0);
    EXPECT_EQ(when, 17);
    EXPECT_EQ(sd.isPathFiltered(nullptr, nullptr, &when), -1);

    SDVersion none;
    args.appType = 59;
    EXPECT_EQ(none.open(args, true), 0);
    EXPECT_EQ(none.isPathFiltered("/home/bob", nullptr, &when), 0);
    args.clientId = 0;
    EXPECT_EQ(none.open(args, true), -1);
    args.clientId = source;
    args.kind = 3;
    EXPECT_EQ(none.open(args, true), -1);

    // Inside a request a client's filters are read once; a filter added shows in the next request.
    args.kind = 2;
    args.appType = 29;
    auto filtered = [&] {
        SDVersion reader;
        EXPECT_GE(reader.open(args, true), 0);
        return reader.isPathFiltered("/home/alice/notes", nullptr, &when);
    };
    hubdb::HubDbSeed writer(dir.file("hub.db"));
    {
        zydb::CRequestReads request;
        EXPECT_EQ(filtered(), 0);
        zyent::EntitySeed(writer).addEraseFilter(source, 29, "/home/alice", 7000, 7);
        EXPECT_EQ(filtered(), 0);
    }
    zydb::CRequestReads next;
    EXPECT_EQ(filtered(), 1);
}

TEST_F(Readers, OperatingSystemOfAClient) {
    ZYSimOperatingSystem os(nullptr);
    bool isWindows = false;
    EXPECT_EQ(os.IsWindows(windows, isWindows), 0);
    EXPECT_TRUE(isWindows);
    EXPECT_EQ(os.IsWindows(linux_, isWindows), 0);
    EXPECT_FALSE(isWindows);
    isWindows = true;
    EXPECT_EQ(os.IsWindows(999, isWindows), zydb::DB_NO_DATA);
    EXPECT_TRUE(isWindows);
    EXPECT_FALSE(os.getLastError().empty());
}

TEST_F(Readers, PhysicalMachinesBehindAVirtualClient) {
    ZyAPP_VMToPMMap map(nullptr);
    std::vector<int> nodes = {99};
    ASSERT_EQ(map.GetAllPMsMappedToAVM(vm, nodes), 0);
    EXPECT_EQ(nodes, (std::vector<int>{node1, node2}));
    ASSERT_EQ(map.GetAllPMsMappedToAVM(node1, nodes), 0);
    EXPECT_TRUE(nodes.empty());
}

TEST_F(Readers, ClientsWithAProperty) {
    std::list<_AppClientInfo> clients;
    std::string error;
    ASSERT_EQ(ClientProperties::getClientInfoWithProperty(clients, "Virtual Machine Instance UUID",
                                                          "VM-GUID-1", error, nullptr),
              0);
    ASSERT_EQ(clients.size(), 2u);  // node1 and the cluster; node2's row has ended
    EXPECT_EQ(clients.front().clientId, vm);
    EXPECT_EQ(clients.front().clientName, "cluster");
    EXPECT_EQ(clients.front().description, "two nodes");
    EXPECT_EQ(clients.back().clientId, node1);
    EXPECT_EQ(clients.back().propertyValue, "VM-GUID-1");

    clients.clear();
    ASSERT_EQ(ClientProperties::getClientInfoWithProperty(clients, "Virtual Machine Instance UUID",
                                                          "x' OR '1'='1", error, nullptr),
              0);
    EXPECT_TRUE(clients.empty());  // a hostile value stays a value
}

TEST_F(Readers, SharePointMemberServersPrimaryFirst) {
    SharePointWebSitePlanPolicyAssociation association;
    std::vector<ZyEntities::ClientEntity> servers;
    ASSERT_EQ(association.GetO365SharePointMemberServers(farm, &servers), 0);
    ASSERT_EQ(servers.size(), 3u);
    using F = ZyEntities::ClientEntity::f;
    EXPECT_EQ(servers[0].getint64(F::clientId), node1);
    EXPECT_EQ(servers[0].getstring(F::clientName), "node1");
    EXPECT_FALSE(servers[0].getstring(F::clientGUID).empty());
    EXPECT_EQ(servers[1].getint64(F::clientId), node2);
    EXPECT_EQ(servers[2].getint64(F::clientId), 4242);
    EXPECT_FALSE(servers[2].isSet(F::clientName));
    ASSERT_EQ(association.GetO365SharePointMemberServers(node1, &servers), 0);
    EXPECT_TRUE(servers.empty());
    std::string why;
    EXPECT_NE(association.GetO365SharePointMemberServers(farm, nullptr, &why), 0);
    EXPECT_FALSE(why.empty());
}

TEST(ReadersWithoutDatabase, FailuresLeaveTheCallersValues) {
    zydb::CDbEnv::close();
    std::list<_AppClientInfo> clients(1);
    std::string error;
    EXPECT_NE(ClientProperties::getClientInfoWithProperty(clients, "a", "b", error, nullptr), 0);
    EXPECT_EQ(clients.size(), 1u);
    EXPECT_FALSE(error.empty());
    ZyAPP_VMToPMMap map(nullptr);
    std::vector<int> nodes = {3};
    EXPECT_NE(map.GetAllPMsMappedToAVM(1, nodes), 0);
    EXPECT_EQ(nodes, std::vector<int>{3});
    WBAConfiguration wba(1, 0, 0);
    EXPECT_NE(wba.Load(), 0);
    SDVersion sd;
    SDArgs args;
    args.clientId = 1;
    EXPECT_EQ(sd.open(args, true), -1);
    SharePointWebSitePlanPolicyAssociation association;
    std::vector<ZyEntities::ClientEntity> servers(2);
    EXPECT_NE(association.GetO365SharePointMemberServers(1, &servers), 0);
    EXPECT_EQ(servers.size(), 2u);
    EXPECT_FALSE(association.getErrorString().empty());
}

}  // namespace

namespace {

// A client row changed behind the reader's back: inside a request scope the first read stands (each
// client read once per request, by id, by name, or not found), outside a scope and after it ends each
// question reads again, and a scope belongs to its thread.
TEST_F(Readers, ClientsReadOncePerRequestScope) {
    hubdb::HubDbSeed writer(dir.file("hub.db"));
    auto rename = [&](const char* name) {
        writer.exec("UPDATE APP_Client SET net_hostname = ? WHERE id = ?",
                    {zydb::DbValue::ofText(name), zydb::DbValue::ofInt(source)});
    };
    auto hostById = [&] {
        std::string host;
        EXPECT_EQ(ZYClient(static_cast<unsigned long>(source)).getNetworkHostname(host), 0);
        return host;
    };
    rename("first.example");
    {
        zydb::CRequestReads request;
        EXPECT_EQ(hostById(), "first.example");
        std::string byName;
        EXPECT_EQ(ZYClient(std::string("fileserver")).getNetworkHostname(byName), 0);
        EXPECT_EQ(ZYClient(std::string("nobody")).getNetworkHostname(byName), zydb::DB_NO_DATA);
        rename("second.example");
        writer.exec("UPDATE APP_Client SET name = 'nobody' WHERE id = ?", {zydb::DbValue::ofInt(node2)});
        {
            zydb::CRequestReads nested;  // a nested scope shares the request's reads
            EXPECT_EQ(hostById(), "first.example");
        }
        EXPECT_EQ(hostById(), "first.example");
        EXPECT_EQ(ZYClient(std::string("fileserver")).getNetworkHostname(byName), 0);
        EXPECT_EQ(byName, "first.example");
        EXPECT_EQ(ZYClient(std::string("nobody")).getNetworkHostname(byName), zydb::DB_NO_DATA);
        std::string onOtherThread;
        std::thread([&] {
            ZYClient(static_cast<unsigned long>(source)).getNetworkHostname(onOtherThread);
        }).join();
        EXPECT_EQ(onOtherThread, "second.example");
    }
    EXPECT_EQ(hostById(), "second.example");
    unsigned long id = 0;
    EXPECT_EQ(ZYClient(std::string("nobody")).getClientId(id), 0);
    EXPECT_EQ(id, static_cast<unsigned long>(node2));
}

}  // namespace

namespace {

// Global parameters, like clients, are read once per request scope: a change (or a first setting)
// shows from the next request on, and at once outside any.
TEST_F(Readers, GlobalParametersReadOncePerRequestScope) {
    hubdb::HubDbSeed writer(dir.file("hub.db"));
    auto set = [&](const char* value) {
        writer.exec("UPDATE NBGlobalParam SET modified = 1 WHERE name = 'Browse Depth' AND modified = 0");
        writer.exec(
            "INSERT INTO NBGlobalParam (id, name, value, created, modified) "
            "VALUES ((SELECT IFNULL(MAX(id), 0) + 1 FROM NBGlobalParam), 'Browse Depth', ?, 1, 0)",
            {zydb::DbValue::ofText(value)});
    };
    auto read = [] {
        int value = -1;
        return ZYGlobalParam::get("Browse Depth", value) == zydb::DB_OK ? value : -1;
    };
    {
        zydb::CRequestReads request;
        EXPECT_EQ(read(), -1);
        set("4");
        EXPECT_EQ(read(), -1);
        std::string text;
        EXPECT_EQ(ZYGlobalParam::get("Browse Depth", text), zydb::DB_NO_DATA);
    }
    EXPECT_EQ(read(), 4);
    {
        zydb::CRequestReads request;
        EXPECT_EQ(read(), 4);
        set("9");
        EXPECT_EQ(read(), 4);
    }
    EXPECT_EQ(read(), 9);
}

}  // namespace

namespace {

// Properties too: one read per request scope, forgotten when the thread writes one, read afresh in a
// transaction.
TEST_F(Readers, PropertiesReadOncePerRequestScopeUntilTheThreadWritesOne) {
    hubdb::HubDbSeed writer(dir.file("hub.db"));
    auto read = [](DBtran* tran = nullptr) {
        std::string value;
        return zyent::readProperty<APP_ClientProp>(tran, 1, "Power Managed", value) == zydb::DB_OK ? value
                                                                                                   : "-";
    };
    auto setBehind = [&](const char* value) {
        writer.exec(
            "UPDATE APP_ClientProp SET modified = 5 WHERE componentNameId = 1 AND "
            "attrName = 'Power Managed' AND modified = 0");
        writer.exec(
            "INSERT INTO APP_ClientProp (id, componentNameId, attrName, attrType, attrVal, created, "
            "modified) VALUES ((SELECT IFNULL(MAX(id), 0) + 1 FROM APP_ClientProp), 1, "
            "'Power Managed', 0, ?, 6, 0)",
            {zydb::DbValue::ofText(value)});
    };
    {
        zydb::CRequestReads request;
        EXPECT_EQ(read(), "-");
        setBehind("1");
        EXPECT_EQ(read(), "-");
        DBtran tran(true);
        EXPECT_EQ(read(&tran), "1");
        EXPECT_EQ(tran.rollbackTran(), zydb::DB_OK);
        // This thread's own write is seen at once.
        ASSERT_EQ(zyent::writeProperty<APP_ClientProp>(nullptr, 1, "Power Managed", 0, "2", 7), 0);
        EXPECT_EQ(read(), "2");
    }
    setBehind("3");
    EXPECT_EQ(read(), "3");
}

}  // namespace

namespace {

// A request reads one state of the database, in one read transaction on the thread's kept connection
// (which its callers do not see as a transaction): another connection's commit shows in the next
// request, a commit of the thread's own transaction at once.
TEST_F(Readers, ARequestReadsOneStateOfTheDatabase) {
    hubdb::HubDbSeed writer(dir.file("hub.db"));
    const std::string update = "UPDATE APP_Client SET net_hostname = ? WHERE id = " + std::to_string(source);
    auto host = [&] {
        std::vector<zydb::DbValue> row;
        return hubdb::threadQueryFirstRow("SELECT net_hostname FROM APP_Client WHERE id = ?",
                                          {zydb::DbValue::ofInt(source)}, row) == zydb::DB_OK
                   ? row[0].asText()
                   : "-";
    };
    writer.exec(update, {zydb::DbValue::ofText("a.example")});
    {
        zydb::CRequestReads request;
        EXPECT_EQ(host(), "a.example");
        int rc = zydb::DB_OK;
        EXPECT_FALSE(zydb::CDbEnv::threadConnection(&rc)->inTransaction());
        writer.exec(update, {zydb::DbValue::ofText("b.example")});
        EXPECT_EQ(host(), "a.example");
        DBtran tran(true);
        ASSERT_EQ(tran.tranConnection()->exec("UPDATE APP_Client SET net_hostname = 'c.example' WHERE id = " +
                                              std::to_string(source)),
                  zydb::DB_OK);
        ASSERT_EQ(tran.commitTran(), zydb::DB_OK);
        EXPECT_EQ(host(), "c.example");
    }
    writer.exec(update, {zydb::DbValue::ofText("d.example")});
    EXPECT_EQ(host(), "d.example");
}

// Only what the database alone answers is kept for the request and carried on (the next test keeps what
// it answers): a statement that reads chance or the clock is asked afresh each time.
TEST_F(Readers, OncePerRequestKeepsOnlyAnswersOfTheDatabaseAlone) {
    zydb::CRequestReads request;
    std::set<std::string> seen;
    for (int n = 0; n < 4; ++n) {
        std::vector<zydb::DbValue> row;
        ASSERT_EQ(hubdb::threadQueryFirstRowOncePerRequest("SELECT hex(randomblob(8))", {}, row),
                  zydb::DB_OK);
        seen.insert(row.at(0).asText());
    }
    EXPECT_EQ(seen.size(), 4u);
}

// What a request read is carried into the thread's next requests only while the database file is as
// that request found it: a commit through another connection, another process, a transaction of the
// thread or the thread's own connection shows at the next request. Inside a request nothing changes.
TEST_F(Readers, ReadsCarryIntoLaterRequestsOnlyWhileTheDatabaseIsUnchanged) {
    hubdb::HubDbSeed writer(dir.file("hub.db"));
    const std::string update = "UPDATE APP_Client SET net_hostname = ? WHERE id = " + std::to_string(source);
    auto hostInRequest = [&] {
        zydb::CRequestReads request;
        std::string host;
        EXPECT_EQ(ZYClient(static_cast<unsigned long>(source)).getNetworkHostname(host), 0);
        return host;
    };
    auto propertyInRequest = [] {
        zydb::CRequestReads request;
        std::vector<zydb::DbValue> row;
        const int rc = hubdb::threadQueryFirstRowOncePerRequest(
            "SELECT attrVal FROM APP_ClientProp WHERE componentNameId = ? AND attrName = ? AND modified = 0",
            {zydb::DbValue::ofInt(1), zydb::DbValue::ofText("Power Managed")}, row);
        return rc == zydb::DB_OK ? row[0].asText() : "-";
    };

    writer.exec(update, {zydb::DbValue::ofText("a.example")});
    EXPECT_EQ(hostInRequest(), "a.example");
    const unsigned long long kept = zydb::requestsThatKeptMemos();
    EXPECT_EQ(hostInRequest(), "a.example");
    EXPECT_EQ(propertyInRequest(), "-");
    EXPECT_EQ(zydb::requestsThatKeptMemos(), kept + 2);

    writer.exec(update, {zydb::DbValue::ofText("b.example")});  // another connection
    EXPECT_EQ(hostInRequest(), "b.example");

    const pid_t child = fork();  // another process
    if (child == 0) {
        sqlite3* db = nullptr;
        const std::string sql =
            "UPDATE APP_Client SET net_hostname = 'c.example' WHERE id = " + std::to_string(source);
        const bool done = sqlite3_open(dir.file("hub.db").c_str(), &db) == SQLITE_OK &&
                          sqlite3_busy_timeout(db, 10000) == SQLITE_OK &&
                          sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
        sqlite3_close(db);
        _exit(done ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(hostInRequest(), "c.example");

    {  // a transaction of the thread
        DBtran tran(false);
        ASSERT_EQ(tran.startTran(), zydb::DB_OK);
        ASSERT_EQ(tran.tranConnection()->exec("UPDATE APP_Client SET net_hostname = 'd.example' WHERE id = " +
                                              std::to_string(source)),
                  zydb::DB_OK);
        ASSERT_EQ(tran.commitTran(), zydb::DB_OK);
    }
    EXPECT_EQ(hostInRequest(), "d.example");

    int rc = zydb::DB_OK;  // the thread's own connection
    ASSERT_EQ(zydb::CDbEnv::threadConnection(&rc)->exec(
                  "UPDATE APP_Client SET net_hostname = 'e.example' WHERE id = " + std::to_string(source)),
              zydb::DB_OK);
    EXPECT_EQ(hostInRequest(), "e.example");

    // A property: read once inside a request, afresh once the thread writes one.
    {
        zydb::CRequestReads request;
        EXPECT_EQ(propertyInRequest(), "-");
        writer.exec(
            "INSERT INTO APP_ClientProp (id, componentNameId, attrName, attrType, attrVal, created, "
            "modified) VALUES ((SELECT IFNULL(MAX(id), 0) + 1 FROM APP_ClientProp), 1, "
            "'Power Managed', 0, '1', 6, 0)");
        EXPECT_EQ(propertyInRequest(), "-");
        ASSERT_EQ(zyent::writeProperty<APP_ClientProp>(nullptr, 1, "Power Managed", 0, "2", 7), 0);
        EXPECT_EQ(propertyInRequest(), "2");
    }
    EXPECT_EQ(propertyInRequest(), "2");

    // Another database opened in the process is never answered from the first one's reads.
    TempDir other;
    {
        hubdb::HubDbSeed seed(other.file("hub.db"));
        ASSERT_TRUE(seed.ok()) << seed.error();
        int id = 0;
        for (int k = 0; id < source && k < 100; ++k)
            id = seed.addClient({.name = "other" + std::to_string(k), .hostName = "elsewhere.example"});
        ASSERT_TRUE(seed.ok()) << seed.error();
        ASSERT_EQ(id, source);
    }
    EXPECT_EQ(hostInRequest(), "e.example");
    ASSERT_EQ(hubdb::openHubDatabase(other.file("hub.db")), zydb::DB_OK);
    EXPECT_EQ(hostInRequest(), "elsewhere.example");
}

}  // namespace

namespace {

// An entity made again in one request reads its row and its properties once; a change shows in the
// next request, and at once inside a transaction.
TEST_F(Readers, EntitiesReadOncePerRequest) {
    hubdb::HubDbSeed writer(dir.file("hub.db"));
    const int backupSet = writer.addBackupSet("set", "SET-GUID");
    const int subclient = writer.addSubclient(
        {.clientId = source, .appTypeId = 29, .backupSetId = backupSet, .name = "sc", .guid = "SC-GUID-1"});
    writer.addSubclientProperty(subclient, "Item Past Expiry Days", "5");
    ASSERT_TRUE(writer.ok()) << writer.error();
    auto days = [&](void* tran = nullptr) {
        int out = -1;
        return Subclient(static_cast<unsigned long>(subclient)).getItemPastExpiryDays(out, tran) == 0 ? out
                                                                                                      : -1;
    };
    auto guid = [&] {
        std::string out;
        return Subclient(static_cast<unsigned long>(subclient)).getGUIDStr(out) == 0 ? out : "-";
    };
    {
        zydb::CRequestReads request;
        EXPECT_EQ(days(), 5);
        EXPECT_EQ(guid(), "SC-GUID-1");
        writer.changeProperty("APP_SubClientProp", subclient, "Item Past Expiry Days", "9", 100);
        writer.exec("UPDATE APP_Application SET GUID = 'SC-GUID-2' WHERE id = " + std::to_string(subclient));
        EXPECT_EQ(days(), 5);
        EXPECT_EQ(guid(), "SC-GUID-1");
    }
    zydb::CRequestReads next;
    EXPECT_EQ(days(), 9);
    EXPECT_EQ(guid(), "SC-GUID-2");
}

}  // namespace

namespace {

// An application resolved again in one request (by its subclient, or by client, type and backup set) is
// read once; a change shows in the next request, and at once inside a transaction.
TEST_F(Readers, ApplicationsResolvedOncePerRequest) {
    hubdb::HubDbSeed writer(dir.file("hub.db"));
    const int backupSet = writer.addBackupSet("set", "SET-GUID");
    const int subclient =
        writer.addSubclient({.clientId = source, .appTypeId = 29, .backupSetId = backupSet, .name = "sc"});
    ASSERT_TRUE(writer.ok()) << writer.error();
    auto nameOf = [&](unsigned long asked, void* tran = nullptr) {
        ApplicationId app(0, static_cast<unsigned long>(source), 29, 0, static_cast<unsigned long>(backupSet),
                          asked);
        auto sc = app.getSubclient(tran);
        return sc ? sc->getName() + "#" + std::to_string(sc->getId()) : std::string("-");
    };
    const std::string first = "sc#" + std::to_string(subclient);
    {
        zydb::CRequestReads request;
        EXPECT_EQ(nameOf(static_cast<unsigned long>(subclient)), first);
        EXPECT_EQ(nameOf(0), first);
        writer.exec("UPDATE APP_Application SET subclientName = 'renamed' WHERE id = " +
                    std::to_string(subclient));
        EXPECT_EQ(nameOf(static_cast<unsigned long>(subclient)), first);
        EXPECT_EQ(nameOf(0), first);
        DBtran tran(true);
        EXPECT_EQ(nameOf(static_cast<unsigned long>(subclient), &tran),
                  "renamed#" + std::to_string(subclient));
    }
    zydb::CRequestReads next;
    EXPECT_EQ(nameOf(static_cast<unsigned long>(subclient)), "renamed#" + std::to_string(subclient));
    EXPECT_EQ(nameOf(0), "renamed#" + std::to_string(subclient));
}

}  // namespace
