// The application roads of the demo world through the whole system: the host program, the media agent
// holding the applications' backups and the console as processes. Each road is browsed through
// BrowseRouter (the console then asks the media agent itself) and through HubmasterBrowse, and the items
// are checked against the media agent's item index; what a road may not answer is refused aloud.
#include <gtest/gtest.h>

// The property tree's optional values trip a false maybe-uninitialized warning in sanitized builds,
// inside the library's own headers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// This Boost's JSON parser of the property tree includes its old bind header and uses the placeholders
// in the global namespace, which that header declares only with a deprecation message at every build
// unless they are asked for: ask for them, as the parser needs them.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cctype>
#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/config/zyplatforminfo.h"
#include "platform/hubdemo/hubdemo.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/consolerun.h"
#include "tests/support/process/demosystem.h"
#include "tests/support/process/processprobe.h"
#include "tests/support/sqlite/testsql.h"
#include "tools/browse/consoleoptions.h"
#include "tools/mediaagent/itemindex.h"
#include "tools/mediaagent/vmanswers.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kRoads[] = {"router", "hubmaster"};

// An item as the console prints it in JSON and as the index holds it: path, size, backup time.
using TItem = std::tuple<std::string, long long, long long>;

class AppRoadsEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s = new TShared;
        ASSERT_EQ(hubtest::demoWorldIn(s->dir.file("demo"), s->world), "");
        s->binaries = hubtest::binaryDir();
        s->indexPath = s->dir.file("agent.items.db");
        s->agent = hubtest::startDemoAgent(s->world, "mediaagent1", s->indexPath, s->dir.path(),
                                           {"--index-service", "started"});
        s->agentListeners = hubtest::processHold(s->agent->pid()).listeners;
        // The SharePoint servers' mining service runs on the media agent's machine in this world.
        for (const char* server : {"spplain", "spserver1", "spserver2", "spserver3"})
            hubtest::pointClientAt(s->world, server, s->agent->numberAfter(hubtest::kAgentListening));
        // A mining's instance outlives its browse for the grace: a short one, so that each mining below
        // is seen to give back what it launched without waiting out the default.
        ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", "nODSPoolGraceSec", 1));
        s->host = hubtest::startDemoHost(s->world, s->dir.file("demo"), s->routerPort);
        std::string error;
        s->index = mediaagent::CItemIndex::open(s->indexPath, error);
        ASSERT_NE(s->index, nullptr) << error;
    }
    static void TearDownTestSuite() {
        hubtest::expectEveryFailureSaidWhy(s->dir.file("demo"));
        delete s;
        s = nullptr;
    }

    // The console's list of `path` in a subclient of `client` as of the last backup day (or `at`), by
    // `road`; `extra` adds options.
    static hubtest::TConsoleRun list(const std::string& road, const std::string& client, int subclient,
                                     int appType, const std::string& path, const std::string& user,
                                     long long at = lastDay(), const std::string& extra = "") {
        return hubtest::runConsole(
            s->binaries + "/tools/browse/browse list --client " + client + " --subclient " +
                std::to_string(subclient) + " --app-type " + std::to_string(appType) + " --path '" + path +
                "' --at " + std::to_string(at) + " --via " + road + " --user '" + user + "' --data " +
                s->dir.file("demo") + " --ma-host 127.0.0.1 --quiet --timeout 30 --json " + extra,
            s->dir.file("stderr"));
    }
    // The console's mining of a subclient of `client` (application type `appType`) as of the last backup
    // day (or `at`), by `road`, as the administrator; `extra` adds options.
    static hubtest::TConsoleRun mine(const std::string& road, const std::string& client, int subclient,
                                     int appType, const std::string& extra, long long at = 0) {
        return hubtest::runConsole(
            s->binaries + "/tools/browse/browse list --mine --client " + client + " --subclient " +
                std::to_string(subclient) + " --app-type " + std::to_string(appType) + " --at " +
                std::to_string(at ? at : lastDay()) + " --via " + road + " --user admin --data " +
                s->dir.file("demo") + " --ma-host 127.0.0.1 --quiet --timeout 30 --json -v " + extra,
            s->dir.file("stderr"));
    }
    // Any console command (`args` after the program), with this world's connection, as JSON.
    static hubtest::TConsoleRun console(const std::string& args) {
        return hubtest::runConsole(s->binaries + "/tools/browse/browse " + args + " --data " +
                                       s->dir.file("demo") +
                                       " --ma-host 127.0.0.1 --quiet --timeout 30 --json",
                                   s->dir.file("stderr"));
    }
    static std::vector<TItem> itemsOf(const hubtest::TConsoleRun& run) {
        std::vector<TItem> out;
        boost::property_tree::ptree tree;
        std::istringstream in(run.out);
        try {
            boost::property_tree::read_json(in, tree);
            for (const auto& [key, item] : tree.get_child("items"))
                out.emplace_back(item.get<std::string>("path"), item.get<long long>("size"),
                                 item.get<long long>("backupTime"));
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what() << ": " << run.out << run.err;
        }
        return out;
    }
    // The children of `path` in the media agent's index as of `at` (the last backup day).
    static std::vector<TItem> indexed(int subclient, const std::string& path, long long at = lastDay()) {
        mediaagent::TBrowseQuery q;
        q.appId = subclient;
        q.path = path;
        q.toTime = at;
        std::vector<mediaagent::TItemVersion> versions;
        bool found = false;
        EXPECT_TRUE(s->index->listAt(q, versions, found)) << s->index->lastError();
        std::vector<TItem> out;
        for (const mediaagent::TItemVersion& v : versions) out.emplace_back(v.path, v.size, v.backupTime);
        return out;
    }
    // Every version of the children of `path` in the media agent's index backed up in [from, to].
    static std::vector<TItem> versionsIndexed(int subclient, const std::string& path, long long from,
                                              long long to) {
        mediaagent::TBrowseQuery q;
        q.appId = subclient;
        q.path = path;
        q.fromTime = from;
        q.toTime = to;
        std::vector<mediaagent::TItemVersion> versions;
        bool found = false;
        EXPECT_TRUE(s->index->listRange(q, versions, found)) << s->index->lastError();
        std::vector<TItem> out;
        for (const mediaagent::TItemVersion& v : versions) out.emplace_back(v.path, v.size, v.backupTime);
        return out;
    }
    // The items of `items` whose path is `path`.
    static std::vector<TItem> only(const std::vector<TItem>& items, const std::string& path) {
        std::vector<TItem> out;
        for (const TItem& item : items)
            if (std::get<0>(item) == path) out.push_back(item);
        EXPECT_EQ(out.size(), 1u) << path;
        return out;
    }
    static long long lastDay() { return s->world.firstBackupTime + 86400LL * s->world.backupDays; }

    struct TShared {
        TempDir dir;
        hubdemo::DemoWorld world;
        std::string binaries, indexPath;
        std::unique_ptr<hubtest::CChildProcess> agent, host;
        std::unique_ptr<mediaagent::CItemIndex> index;
        int agentListeners = 0;  // the media agent's listeners while it runs no launched instance
        int routerPort = 0;
        unsigned restReports = 0;  // rest reports asked of the media agent
    };
    static TShared* s;
};
AppRoadsEndToEnd::TShared* AppRoadsEndToEnd::s = nullptr;

// Mailboxes: the administrator sees the mailbox folders the index holds; an end user's browse of the
// mailboxes is confined by the media agent to his own mailbox, never another's; a user naming another's
// mailbox is refused before any media agent.
TEST_F(AppRoadsEndToEnd, Mailboxes) {
    const zyent::AppBrowseWorld& apps = s->world.apps;
    const std::string mailbox = "/MB/" + apps.ownerGuid;
    const std::vector<TItem> inMailbox = indexed(apps.mailboxSubclient, mailbox);
    ASSERT_FALSE(inMailbox.empty());
    const std::vector<TItem> mailboxes = indexed(apps.mailboxSubclient, "/MB");
    ASSERT_EQ(mailboxes.size(), 2u) << "the owner's and the stranger's";
    const std::vector<TItem> roots = indexed(apps.mailboxSubclient, "/");
    for (const char* road : kRoads) {
        hubtest::TConsoleRun root = list(road, "exchmb1", apps.mailboxSubclient, 54, "\\", "admin");
        ASSERT_EQ(root.status, kExitOk) << road << root.err;
        EXPECT_EQ(itemsOf(root), indexed(apps.mailboxSubclient, "/")) << road;
        hubtest::TConsoleRun folders =
            list(road, "exchmb1", apps.mailboxSubclient, 54, "\\MB\\" + apps.ownerGuid, "admin");
        ASSERT_EQ(folders.status, kExitOk) << road << folders.err;
        EXPECT_EQ(itemsOf(folders), inMailbox) << road;

        // Each end user sees his own mailbox among the mailboxes, and the way to it from the root.
        for (const auto& [user, guid] : {std::pair<std::string, std::string>{"EXCH\\mary", apps.ownerGuid},
                                         {"EXCH\\sam", apps.strangerGuid}}) {
            hubtest::TConsoleRun own = list(road, "exchmb1", apps.mailboxSubclient, 54, "\\MB", user);
            ASSERT_EQ(own.status, kExitOk) << road << user << own.err;
            EXPECT_EQ(itemsOf(own), only(mailboxes, "/MB/" + guid)) << road << user;
            hubtest::TConsoleRun top = list(road, "exchmb1", apps.mailboxSubclient, 54, "\\", user);
            ASSERT_EQ(top.status, kExitOk) << road << user << top.err;
            EXPECT_EQ(itemsOf(top), only(roots, "/MB")) << road << user;
        }
        hubtest::TConsoleRun inOwn =
            list(road, "exchmb1", apps.mailboxSubclient, 54, "\\MB\\" + apps.ownerGuid, "EXCH\\mary");
        ASSERT_EQ(inOwn.status, kExitOk) << road << inOwn.err;
        EXPECT_EQ(itemsOf(inOwn), inMailbox) << road;

        hubtest::TConsoleRun other = list(road, "exchmb1", apps.mailboxSubclient, 54,
                                          "\\MB\\" + apps.ownerGuid + "\\Inbox", "EXCH\\sam");
        EXPECT_EQ(other.status, kExitRefused) << road << other.out << other.err;
        EXPECT_EQ(other.out.find("/MB/"), std::string::npos) << road;
    }
}

// Mailboxes before their client's upgrade, read by the Hubmaster in the older layout: a mailbox lists what
// the index holds of it then, for the administrator and the owner alike; an end user's browse of the
// mailboxes shows his own mailbox, whether it had a triplet (the owner) or not (the stranger).
TEST_F(AppRoadsEndToEnd, MailboxesBeforeTheUpgrade) {
    const zyent::AppBrowseWorld& apps = s->world.apps;
    const std::string mailbox = "/MB/" + apps.ownerGuid;
    for (const char* road : kRoads) {
        for (const long long at : {static_cast<long long>(apps.beforeUpgrade), apps.beforeUpgrade + 50400LL,
                                   apps.upgradeTime - 1}) {
            const std::vector<TItem> before = indexed(apps.mailboxSubclient, mailbox, at);
            ASSERT_FALSE(before.empty()) << at;
            for (const char* user : {"admin", "EXCH\\mary"}) {
                hubtest::TConsoleRun run =
                    list(road, "exchmb1", apps.mailboxSubclient, 54, "\\MB\\" + apps.ownerGuid, user, at);
                ASSERT_EQ(run.status, kExitOk) << road << user << at << run.err;
                EXPECT_EQ(itemsOf(run), before) << road << user << at;
            }
        }
        // An end user's listing of a level above his mailbox lists that level, as the administrator's
        // does, confined to the way to his own mailbox.
        const long long at = apps.beforeUpgrade + 50400LL;
        hubtest::TConsoleRun own = list(road, "exchmb1", apps.mailboxSubclient, 54, "\\MB", "EXCH\\mary", at);
        ASSERT_EQ(own.status, kExitOk) << road << own.err;
        EXPECT_EQ(itemsOf(own), only(indexed(apps.mailboxSubclient, "/MB", at), mailbox)) << road;
        hubtest::TConsoleRun top = list(road, "exchmb1", apps.mailboxSubclient, 54, "\\", "EXCH\\mary", at);
        ASSERT_EQ(top.status, kExitOk) << road << top.err;
        EXPECT_EQ(itemsOf(top), only(indexed(apps.mailboxSubclient, "/", at), "/MB")) << road;
        hubtest::TConsoleRun admin = list(road, "exchmb1", apps.mailboxSubclient, 54, "\\MB", "admin", at);
        ASSERT_EQ(admin.status, kExitOk) << road << admin.err;
        EXPECT_EQ(itemsOf(admin), indexed(apps.mailboxSubclient, "/MB", at)) << road;
        hubtest::TConsoleRun stranger =
            list(road, "exchmb1", apps.mailboxSubclient, 54, "\\MB", "EXCH\\sam", at);
        ASSERT_EQ(stranger.status, kExitOk) << road << stranger.err;
        EXPECT_EQ(itemsOf(stranger),
                  only(indexed(apps.mailboxSubclient, "/MB", at), "/MB/" + apps.strangerGuid))
            << road;
    }
    // The owner's find from the root finds in his whole mailbox, as the administrator's find in it does.
    auto find = [&](const std::string& path, const std::string& user) {
        return hubtest::runConsole(
            s->binaries + "/tools/browse/browse find --client exchmb1 --subclient " +
                std::to_string(apps.mailboxSubclient) + " --app-type 54 --path '" + path +
                "' --name 'f0000000*' --at " + std::to_string(apps.beforeUpgrade + 50400LL) + " --user '" +
                user + "' --data " + s->dir.file("demo") + " --ma-host 127.0.0.1 --quiet --timeout 30 --json",
            s->dir.file("stderr"));
    };
    hubtest::TConsoleRun whole = find("\\MB\\" + apps.ownerGuid, "admin");
    ASSERT_EQ(whole.status, kExitOk) << whole.err;
    ASSERT_FALSE(itemsOf(whole).empty());
    hubtest::TConsoleRun fromRoot = find("\\MB", "EXCH\\mary");
    ASSERT_EQ(fromRoot.status, kExitOk) << fromRoot.err;
    EXPECT_EQ(itemsOf(fromRoot), itemsOf(whole));
    // A find that names no path searches what he may browse: his mailbox.
    hubtest::TConsoleRun noPath =
        console("find --client exchmb1 --subclient " + std::to_string(apps.mailboxSubclient) +
                " --app-type 54 --name 'f0000000*' --at " + std::to_string(apps.beforeUpgrade + 50400LL) +
                " --user 'EXCH\\mary'");
    ASSERT_EQ(noPath.status, kExitOk) << noPath.err;
    EXPECT_EQ(itemsOf(noPath), itemsOf(whole));
}

// OneDrive on indexing V1: an end user's browse of the root or of the OneDrive folder is confined to her
// folder, and a path in her folder, written with either separator, is browsed as asked (listed, counted,
// its versions and finds), by either road; another user's folder is refused, one whose name only begins
// with her e-mail too; the administrator sees the whole subclient.
TEST_F(AppRoadsEndToEnd, OneDriveUserFolder) {
    const zyent::AppBrowseWorld& apps = s->world.apps;
    const int v1 = apps.oneDriveV1Subclient;
    const std::string own = "/OneDrive/" + apps.oneDriveEmail;
    const std::vector<TItem> inOwn = indexed(v1, own);
    ASSERT_FALSE(inOwn.empty());
    const std::string deep = own + "/d00/d01";
    const std::vector<TItem> inDeep = indexed(v1, deep);
    ASSERT_FALSE(inDeep.empty());
    const std::string file = std::get<0>(inDeep.back()), at = " --at " + std::to_string(lastDay());
    const long long first = s->world.firstBackupTime;
    auto asUser = [&](const std::string& command, const std::string& user, const std::string& path) {
        return console(command + " --client onedrive1 --subclient " + std::to_string(v1) +
                       " --app-type 134 --user '" + user + "' --path '" + path + "'");
    };
    for (const char* road : kRoads) {
        for (const auto& [path, expected] : std::vector<std::pair<std::string, std::vector<TItem>>>{
                 {"\\", inOwn},
                 {"\\OneDrive", inOwn},
                 {"\\OneDrive\\" + apps.oneDriveEmail + "\\d01", indexed(v1, own + "/d01")},
                 {deep, inDeep}}) {
            hubtest::TConsoleRun run = list(road, "onedrive1", v1, 134, path, "TENANT\\olivia");
            ASSERT_EQ(run.status, kExitOk) << road << path << run.err;
            EXPECT_EQ(itemsOf(run), expected) << road << path;
        }
        hubtest::TConsoleRun versions = asUser("versions --from " + std::to_string(first) + " --to " +
                                                   std::to_string(lastDay()) + " --via " + road,
                                               "TENANT\\olivia", file);
        ASSERT_EQ(versions.status, kExitOk) << road << versions.err;
        EXPECT_EQ(itemsOf(versions), versionsIndexed(v1, file, first, lastDay())) << road;
        for (const std::string& other :
             {std::string("\\OneDrive\\nemo@example.com"), "\\OneDrive\\" + apps.oneDriveEmail + "2",
              own + "/../nemo@example.com"}) {
            hubtest::TConsoleRun theirs = list(road, "onedrive1", v1, 134, other, "TENANT\\olivia");
            EXPECT_EQ(theirs.status, kExitRefused) << road << other << theirs.out;
            EXPECT_EQ(theirs.out.find("/OneDrive/"), std::string::npos) << road << other;
        }

        hubtest::TConsoleRun admin = list(road, "onedrive1", v1, 134, "\\", "admin");
        ASSERT_EQ(admin.status, kExitOk) << road << admin.err;
        EXPECT_EQ(itemsOf(admin), indexed(v1, "/")) << road;

        // On indexing V2 her restriction is a filter on her object id, which the media agent applies:
        // of the tenant's user folders she sees hers alone, and nothing in another's.
        const std::vector<TItem> users = indexed(apps.oneDriveV2Subclient, "/OneDrive");
        ASSERT_EQ(users.size(), 2u) << "hers and another user's";
        const std::string v2Own = "/OneDrive/" + apps.oneDriveEmail;
        const std::vector<std::pair<std::string, std::vector<TItem>>> v2Cases = {
            {"\\", only(indexed(apps.oneDriveV2Subclient, "/"), "/OneDrive")},
            {"\\OneDrive", only(users, v2Own)},
            {"\\OneDrive\\" + apps.oneDriveEmail, indexed(apps.oneDriveV2Subclient, v2Own)}};
        for (const auto& [path, expected] : v2Cases) {
            hubtest::TConsoleRun v2 =
                list(road, "onedrive2", apps.oneDriveV2Subclient, 134, path, "TENANT\\olivia");
            ASSERT_EQ(v2.status, kExitOk) << road << path << v2.err;
            ASSERT_FALSE(expected.empty()) << path;
            EXPECT_EQ(itemsOf(v2), expected) << road << path;
        }
        for (const TItem& other : users) {
            if (std::get<0>(other) == v2Own) continue;
            const std::string folder = std::get<0>(other).substr(std::string("/OneDrive/").size());
            ASSERT_FALSE(indexed(apps.oneDriveV2Subclient, std::get<0>(other)).empty());
            hubtest::TConsoleRun theirs = list(road, "onedrive2", apps.oneDriveV2Subclient, 134,
                                               "\\OneDrive\\" + folder, "TENANT\\olivia");
            // Nothing of another user's folder, however it is written: the filter on her object id
            // answers her own items alone, wherever the index keeps her folder (her e-mail address names
            // nothing on V2).
            for (const std::string& path :
                 {"\\OneDrive\\" + folder, "/OneDrive/" + folder + "/d00",
                  "\\OneDrive\\" + apps.oneDriveEmail + "2", v2Own + "/../" + folder}) {
                hubtest::TConsoleRun theirs =
                    list(road, "onedrive2", apps.oneDriveV2Subclient, 134, path, "TENANT\\olivia");
                EXPECT_NE(theirs.status, kExitOk) << road << path << theirs.out << theirs.err;
                EXPECT_TRUE(itemsOf(theirs).empty()) << road << path << theirs.out;
            }
        }
        hubtest::TConsoleRun v2Admin = list(road, "onedrive2", apps.oneDriveV2Subclient, 134, "\\", "admin");
        ASSERT_EQ(v2Admin.status, kExitOk) << road << v2Admin.err;
        EXPECT_EQ(itemsOf(v2Admin), indexed(apps.oneDriveV2Subclient, "/")) << road;
    }
    hubtest::TConsoleRun count = asUser("count" + at, "TENANT\\olivia", deep);
    EXPECT_NE(count.out.find("\"count\":" + std::to_string(inDeep.size()) + "}"), std::string::npos)
        << count.out;
    hubtest::TConsoleRun found = asUser("find --name 'f*'" + at, "TENANT\\olivia", own + "/d00");
    hubtest::TConsoleRun adminFound = asUser("find --name 'f*'" + at, "admin", own + "/d00");
    ASSERT_EQ(found.status, kExitOk) << found.err;
    ASSERT_FALSE(itemsOf(adminFound).empty()) << adminFound.out;
    EXPECT_EQ(itemsOf(found), itemsOf(adminFound));
    // A find that names no path searches her folder, what she may browse.
    hubtest::TConsoleRun ownFound = asUser("find --name 'f*'" + at, "admin", own);
    hubtest::TConsoleRun noPath = console("find --name 'f*'" + at + " --client onedrive1 --subclient " +
                                          std::to_string(v1) + " --app-type 134 --user 'TENANT\\olivia'");
    ASSERT_EQ(noPath.status, kExitOk) << noPath.err;
    ASSERT_FALSE(itemsOf(ownFound).empty()) << ownFound.out;
    EXPECT_EQ(itemsOf(noPath), itemsOf(ownFound));
}

// Application mining of an Exchange database and of a SharePoint server's sites: through the Hubmaster
// the worker completes the request and hands it to the mining service (the media agent's, or the one
// launched on the SharePoint server with its agent's account), whose answer, the mined subclient's
// items in the media agent's index, comes back through BrowseRouter. Through BrowseRouter the caller
// gets the completed request, and the mining service, which answers only the Hubmaster, refuses the
// caller aloud at its launch: the console then takes the Hubmaster's road, as it does for an older
// media agent, and gets the same items.
// On indexing V2 an end user's own folder is hers by her object id, whatever the user table holds of
// her e-mail address: none, or one in another case, leaves her own folder answered as it was, on both
// roads (her address refused her own folder and what is below it).
TEST_F(AppRoadsEndToEnd, OneDriveV2FolderIsHersWhateverHerAddress) {
    const zyent::AppBrowseWorld& apps = s->world.apps;
    const std::string own = "\\OneDrive\\" + apps.oneDriveEmail;
    const std::string user = std::to_string(apps.oneDriveUser);
    std::string upper = apps.oneDriveEmail;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string& road : {std::string("router"), std::string("hubmaster")}) {
        std::map<std::string, std::vector<TItem>> answers;
        for (const std::string& address : {apps.oneDriveEmail, std::string(), upper}) {
            ASSERT_EQ(hubtest::execSql(s->world.databasePath,
                                       "UPDATE UMUsers SET email = '" + address + "' WHERE id = " + user),
                      "");
            for (const std::string& path : {own, own + "\\d00"}) {
                hubtest::TConsoleRun run =
                    list(road, "onedrive2", apps.oneDriveV2Subclient, 134, path, "TENANT\\olivia");
                EXPECT_EQ(run.status, kExitOk) << road << " [" << address << "] " << path << run.err;
                EXPECT_FALSE(itemsOf(run).empty()) << road << " [" << address << "] " << path;
                auto [known, added] = answers.emplace(path, itemsOf(run));
                if (!added) {
                    EXPECT_EQ(itemsOf(run), known->second) << road << " [" << address << "] " << path;
                }
            }
        }
    }
    ASSERT_EQ(hubtest::execSql(s->world.databasePath,
                               "UPDATE UMUsers SET email = '" + apps.oneDriveEmail + "' WHERE id = " + user),
              "");
}

TEST_F(AppRoadsEndToEnd, ApplicationMining) {
    const zyent::TAppMiningWorld& mining = s->world.mining;
    struct TRoad {
        std::string client;
        int subclient;
        int appType;
        std::string extra;
        std::string service;
    };
    const TRoad roads[] = {{"exchmine1", mining.dbSubclientFirst, 53,
                            "--path 'Mailbox Database A' --ma mediaagent1", "media agent [mediaagent1]"},
                           {"spplain", mining.spSubclient, 78, "", "SharePoint server [spplain]"}};
    for (const TRoad& r : roads) {
        const std::vector<TItem> inIndex = indexed(r.subclient, "/");
        ASSERT_FALSE(inIndex.empty()) << r.client;
        hubtest::TConsoleRun host = mine("hubmaster", r.client, r.subclient, r.appType, r.extra);
        ASSERT_EQ(host.status, kExitOk) << r.client << host.err;
        EXPECT_EQ(itemsOf(host), inIndex) << r.client;

        hubtest::TConsoleRun routed = mine("router", r.client, r.subclient, r.appType, r.extra);
        EXPECT_EQ(routed.status, kExitOk) << r.client << routed.out << routed.err;
        EXPECT_EQ(itemsOf(routed), inIndex) << r.client;
        EXPECT_NE(routed.err.find("list --mine: " + r.service + " mines only for the Hubmaster"),
                  std::string::npos)
            << routed.err;
        EXPECT_NE(routed.err.find("answers only the Hubmaster"), std::string::npos) << routed.err;
        EXPECT_NE(routed.err.find("browsing through the Hubmaster instead"), std::string::npos) << routed.err;
        EXPECT_NE(routed.err.find("road hubmaster (mining by " + r.service + ")"), std::string::npos)
            << routed.err;
    }
    auto text = [](const std::string& file) {
        std::ifstream in(file);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    // A mining that went well tells its steps, never as errors; a refusal is in the refusing agent's log.
    const std::string host = text(s->dir.file("demo") + "/hubmaster.log");
    EXPECT_NE(host.find("CWorkerThreadHM::GetClientNameForSharepoint: clientname ["), std::string::npos);
    EXPECT_EQ(host.find("ERROR: clientname ["), std::string::npos);
    EXPECT_EQ(host.find("ERROR: Launched process"), std::string::npos);
    const std::string agent = text(s->dir.file("mediaagent1.log"));
    EXPECT_NE(agent.find("]: ZYAppMinningIdxService: refused: it answers only the Hubmaster"),
              std::string::npos)
        << agent;
}

// A mining says why it cannot be done as any browse would: before the first backup every road answers
// that no backup was found, and a SharePoint server that cannot be reached is not blamed on its account.
TEST_F(AppRoadsEndToEnd, MiningSaysWhyNot) {
    const zyent::TAppMiningWorld& mining = s->world.mining;
    const std::string exchange = "--path 'Mailbox Database A' --ma mediaagent1";
    for (const char* road : kRoads) {
        for (const auto& [client, subclient, appType, extra] :
             {std::tuple{"exchmine1", mining.dbSubclientFirst, 53, exchange},
              std::tuple{"spplain", mining.spSubclient, 78, std::string()}}) {
            const hubtest::TConsoleRun early =
                mine(road, client, subclient, appType, extra, s->world.firstBackupTime - 3600);
            EXPECT_EQ(early.status, kExitServiceError) << road << client << early.out << early.err;
            EXPECT_NE(early.err.find("No backups were found for the selected time range"), std::string::npos)
                << road << client << early.err;
        }
    }

    // The server's listener is gone: a port bound by nobody who listens refuses every connection.
    const int closed = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(closed, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(getsockname(closed, reinterpret_cast<sockaddr*>(&address), &size), 0);
    hubtest::pointClientAt(s->world, "spplain", ntohs(address.sin_port));
    const hubtest::TConsoleRun unreachable = mine("hubmaster", "spplain", mining.spSubclient, 78, "");
    hubtest::pointClientAt(s->world, "spplain", s->agent->numberAfter(hubtest::kAgentListening));
    close(closed);
    EXPECT_NE(unreachable.status, kExitOk) << unreachable.out << unreachable.err;
    EXPECT_NE(unreachable.err.find("Failed to submit task to send request to app mining service"),
              std::string::npos)
        << unreachable.err;
    EXPECT_EQ(unreachable.err.find("username/password"), std::string::npos) << unreachable.err;
}

// Mining gives back what it launched, whatever the road: many minings of each kind in a row leave the
// media agent with the threads, listeners and descriptors it had, and the host with no session of theirs
// still open. Sessions the media agent keeps to BrowseRouter between answers are left out on both sides.
TEST_F(AppRoadsEndToEnd, MiningLeavesNothingRunning) {
    const zyent::TAppMiningWorld& mining = s->world.mining;
    const std::string exchange = "--path 'Mailbox Database A' --ma mediaagent1";
    // More minings than callers without a certificate may keep launched at once: each is given back
    // before the next starts (on a busy machine the ending of one may lag behind the console's exit).
    constexpr int kMinings = 20;
    hubtest::TProcessHold agent, host;
    // What a browse gives back goes after its end has reached the caller: counted once the media agent
    // says every instance it launched has ended.
    const auto countAtRest = [&]() -> ::testing::AssertionResult {
        const std::string report = "at rest (report " + std::to_string(++s->restReports) + ")";
        s->agent->signal(SIGUSR1);
        if (!s->agent->waitFor(report, 60s) || s->agent->output().find("not " + report) != std::string::npos)
            return ::testing::AssertionFailure() << "the media agent is not " << report << ":\n"
                                                 << s->agent->output();
        agent = hubtest::processHold(s->agent->pid());
        // A kept session the router closed while it idled (under a hosted client's name the router
        // keeps it only briefly) is still one kept session until the media agent next lends it.
        agent.descriptors -= agent.sessions + agent.closedByPeer;
        host = hubtest::processHold(s->host->pid(), s->routerPort);
        return ::testing::AssertionSuccess();
    };
    for (const char* road : kRoads) {
        for (const auto& [client, subclient, appType, extra] :
             {std::tuple{"exchmine1", mining.dbSubclientFirst, 53, exchange},
              std::tuple{"spplain", mining.spSubclient, 78, std::string()}}) {
            const std::string what = std::string(road) + " " + client;
            // On the router's road the mining service refuses the console, which then mines through
            // the Hubmaster: both roads answer.
            const int status = kExitOk;
            ASSERT_EQ(mine(road, client, subclient, appType, extra).status, status) << what;
            ASSERT_TRUE(countAtRest()) << what;
            ASSERT_LE(agent.listeners, s->agentListeners) << what << ": an instance's listener is left";
            const hubtest::TProcessHold agentBefore = agent, hostBefore = host;
            hubtest::TProcessHold hostHalfway;
            for (int i = 0; i < kMinings; ++i) {
                const hubtest::TConsoleRun run = mine(road, client, subclient, appType, extra);
                ASSERT_EQ(run.status, status) << what << " mining " << i << ": " << run.out << run.err;
                ASSERT_TRUE(countAtRest()) << what << " mining " << i;
                if (i == kMinings / 2) hostHalfway = host;
            }
            // A descriptor an ending instance's launch still holds goes within moments on a busy machine; a
            // leaked one stays however long the agent rests.
            for (int again = 0; again < 20 && (agent.descriptors > agentBefore.descriptors ||
                                               agent.threads > agentBefore.threads);
                 ++again) {
                std::this_thread::sleep_for(500ms);
                ASSERT_TRUE(countAtRest()) << what;
            }
            EXPECT_LE(agent.threads, agentBefore.threads) << what;
            EXPECT_LE(agent.listeners, agentBefore.listeners) << what;
            EXPECT_LE(agent.descriptors, agentBefore.descriptors) << what;
            // The host's sessions are its own to end, after the media agent's rest, and on a busy machine
            // one of the last mining may still be ending: a session left is one still there ten minings
            // after it was seen.
            int left = 0;
            for (const std::string& socket : host.sessionSockets)
                left += hostHalfway.sessionSockets.contains(socket) &&
                        !hostBefore.sessionSockets.contains(socket);
            EXPECT_EQ(left, 0) << what;
        }
    }
}

// Numbers beyond 32 bits are taken as the largest the catalogue and the media agents keep, on either
// road: a time after 2106-02-07 06:28:15 UTC is after every backup (the latest items), a page that starts
// at item 2^32 holds none. Cut to 32 bits they wrapped: the time into 1970, the page back to the first.
TEST_F(AppRoadsEndToEnd, NumbersBeyondThirtyTwoBitsAreTheLargestKept) {
    constexpr long long k2106February8 = 4295030400;
    const std::vector<TItem> latest = indexed(1, "/d00");
    ASSERT_FALSE(latest.empty());
    for (const char* road : kRoads) {
        const hubtest::TConsoleRun future = list(road, "client1", 1, 29, "/d00", "admin", k2106February8);
        ASSERT_EQ(future.status, kExitOk) << road << future.out << future.err;
        EXPECT_EQ(itemsOf(future), latest) << road;
        const hubtest::TConsoleRun far =
            list(road, "client1", 1, 29, "/d00", "admin", lastDay(), "--page-size 65536 --page 65537");
        ASSERT_EQ(far.status, kExitOk) << road << far.out << far.err;
        EXPECT_TRUE(itemsOf(far).empty()) << road << far.out;
    }
}

// A live machine browse: BrowseRouter prepares it (the caller then takes it to the media agent the
// backup set's index names), and that media agent, which holds backups and not the machine, refuses it
// aloud; HubmasterBrowse has nothing to forward and says so; a user without the live-browse right is
// refused before any media agent is asked.
TEST_F(AppRoadsEndToEnd, LiveMachine) {
    const zyent::AppBrowseWorld& apps = s->world.apps;
    const long long subclient =
        hubtest::queryInt(s->world.databasePath, "SELECT id FROM APP_Application WHERE clientId = " +
                                                     std::to_string(apps.windowsMachine));
    auto live = [&](const std::string& road, const std::string& user) {
        return hubtest::runConsole(
            s->binaries + "/tools/browse/browse list --client livewin1 --backup-set " +
                std::to_string(apps.windowsBackupSet) + " --subclient " + std::to_string(subclient) +
                " --app-type 29 --path 'C:\\' --live --via " + road + " --user '" + user + "' --data " +
                s->dir.file("demo") + " --ma-host 127.0.0.1 --quiet --timeout 30 -v",
            s->dir.file("stderr"));
    };
    hubtest::TConsoleRun prepared = live("router", "admin");
    EXPECT_EQ(prepared.status, kExitServiceError) << prepared.out << prepared.err;
    EXPECT_NE(prepared.err.find("road router, then media agent"), std::string::npos) << prepared.err;
    EXPECT_NE(prepared.err.find("media agent [mediaagent1] holds backups only: it cannot browse client "
                                "[livewin1] live"),
              std::string::npos)
        << prepared.err;
    EXPECT_TRUE(prepared.out.empty()) << prepared.out;

    hubtest::TConsoleRun host = live("hubmaster", "admin");
    EXPECT_EQ(host.status, kExitServiceError) << host.out << host.err;
    EXPECT_NE(host.err.find("prepared through BrowseRouter, not HubmasterBrowse"), std::string::npos)
        << host.err;

    hubtest::TConsoleRun refused = live("router", "alice");
    EXPECT_EQ(refused.status, kExitRefused) << refused.out << refused.err;
    EXPECT_EQ(refused.err.find("then media agent"), std::string::npos) << refused.err;
}

// Virtual machines through the whole system: each VM's browse answers that VM's own backup on both
// roads, whether its jobs of the time asked were indexed by the VM itself or by its hypervisor (then the
// hypervisor's index is read below the VM's GUID), as the hypervisor's GUID road answers it; rights are
// judged on the VM named; before a VM's first backup there is nothing to browse, and every road says so.
TEST_F(AppRoadsEndToEnd, VirtualMachinesAnswerTheirOwnBackups) {
    const hubdb::DemoHypervisor& hv = s->world.vsa;
    struct TVm {
        std::string name;
        int subclient;
        std::string guid;
    };
    std::vector<TVm> vms;
    const std::vector<std::string> names = {"vmalpha", "vmbravo", "vmcharlie", "vmdelta"};
    for (size_t v = 0; v < hv.vms.size(); ++v)
        vms.push_back({names.at(v), hv.vms[v].subclientId, hv.vms[v].guid});
    // hypervisor1's VMs were only ever indexed by their hypervisor.
    for (const char* name : {"vm1", "vm2"})
        vms.push_back(
            {name,
             static_cast<int>(hubtest::queryInt(
                 s->world.databasePath, std::string("SELECT a.id FROM APP_Application a JOIN APP_Client c "
                                                    "ON c.id = a.clientId WHERE c.name = '") +
                                            name + "'")),
             ""});
    // The last day (indexed per VM), and a time between the V1 backups (indexed by the hypervisor).
    const long long v1Time = hv.backupTimes.at(1) + 3600;
    for (const char* road : kRoads) {
        for (const TVm& vm : vms) {
            for (const long long at : {lastDay(), v1Time}) {
                const std::vector<TItem> own = indexed(vm.subclient, "/", at);
                ASSERT_FALSE(own.empty()) << vm.name << at;
                hubtest::TConsoleRun run = list(road, vm.name, vm.subclient, 106, "\\", "admin", at);
                ASSERT_EQ(run.status, kExitOk) << road << vm.name << at << run.err;
                EXPECT_EQ(itemsOf(run), own) << road << vm.name << at;
            }
        }
        // Every file below a folder, found by the VM's own name (finds go to BrowseRouter).
        const TVm& alpha = vms.front();
        for (const long long at : {lastDay(), v1Time}) {
            if (std::string(road) != "router") break;
            mediaagent::TBrowseQuery q;
            q.appId = alpha.subclient;
            q.path = "/d00";
            q.toTime = at;
            q.nameFilter = "f0000000*";
            std::vector<mediaagent::TItemVersion> found;
            ASSERT_TRUE(mediaagent::listFilesBelow(*s->index, q, found));
            ASSERT_FALSE(found.empty());
            std::vector<TItem> want;
            for (const auto& v : found) want.emplace_back(v.path, v.size, v.backupTime);
            hubtest::TConsoleRun run =
                console("find --client vmalpha --subclient " + std::to_string(alpha.subclient) +
                        " --path '\\d00' --name 'f0000000*' --at " + std::to_string(at) + " --user admin");
            if (at < hv.indexingV2Since) {
                // Read from the hypervisor's index, the VM is browsed through the Hubmaster, as a VM named
                // by its GUID is once per-VM indexed; the Hubmaster's browse service lists and pages only.
                EXPECT_EQ(run.status, kExitServiceError) << road << at << run.out << run.err;
                EXPECT_NE(run.err.find("browsed by the Hubmaster itself"), std::string::npos) << run.err;
                continue;
            }
            ASSERT_EQ(run.status, kExitOk) << road << at << run.err;
            EXPECT_EQ(itemsOf(run), want) << road << at;
        }
        // The versions of a folder's files over the backups indexed by the hypervisor are the VM's own;
        // over all its backups, those the hypervisor's GUID road answers.
        auto versions = [&](const std::string& entity, const std::string& path, long long from, long long to,
                            const std::string& via) {
            hubtest::TConsoleRun run =
                console("versions " + entity + " --path '" + path + "' --from " + std::to_string(from) +
                        " --to " + std::to_string(to) + " --via " + via + " --user admin");
            EXPECT_EQ(run.status, kExitOk) << via << path << from << run.err;
            return itemsOf(run);
        };
        const std::string vmalpha = "--client vmalpha --subclient " + std::to_string(alpha.subclient);
        const long long first = hv.backupTimes.at(0) - 60;
        EXPECT_EQ(versions(vmalpha, "\\d00", first, v1Time, road),
                  versionsIndexed(alpha.subclient, "/d00", first, v1Time))
            << road;
        // Over all of them, every backup's version, as the hypervisor's GUID road answers too.
        const std::vector<TItem> all = versionsIndexed(alpha.subclient, "/d00", first, lastDay());
        EXPECT_EQ(versions(vmalpha, "\\d00", first, lastDay(), road), all) << road;
        EXPECT_EQ(versions("--client vsahypervisor --subclient " + std::to_string(hv.subclient),
                           "\\" + alpha.guid + "\\d00", first, lastDay(), road),
                  all)
            << road;
        // A path named below the VM's GUID is answered in the VM's own view, as every VM road answers.
        const std::vector<TItem> belowGuid = indexed(alpha.subclient, "/d00", v1Time);
        hubtest::TConsoleRun named =
            list(road, "vmalpha", alpha.subclient, 106, "\\" + alpha.guid + "\\d00", "admin", v1Time);
        ASSERT_EQ(named.status, kExitOk) << road << named.err;
        EXPECT_EQ(itemsOf(named), belowGuid) << road;
        // The hypervisor's GUID road answers the same as the VM's own.
        if (std::string(road) == "hubmaster") {
            hubtest::TConsoleRun byGuid =
                list(road, "vsahypervisor", hv.subclient, 106, "\\" + alpha.guid, "admin", lastDay());
            ASSERT_EQ(byGuid.status, kExitOk) << byGuid.err;
            EXPECT_EQ(itemsOf(byGuid), indexed(alpha.subclient, "/")) << road;
        }

        // A VM named after two separators, as a user may type it, names none: whoever asks, by the VM's
        // client or its hypervisor's, he is told what a VM path looks like (not that no VM is named, nor,
        // the VM's owner, refused).
        for (const auto& [typed, user] : {std::pair<std::string, std::string>{"\\\\" + alpha.guid, "admin"},
                                          {"//" + alpha.guid + "/d00", "vmowner"}}) {
            for (const hubtest::TConsoleRun& run :
                 {list(road, "vsahypervisor", hv.subclient, 106, typed, user, lastDay()),
                  list(road, "vmalpha", alpha.subclient, 106, typed, user, v1Time)}) {
                EXPECT_EQ(run.status, kExitServiceError) << road << typed << user << run.out << run.err;
                // (In JSON, each backslash of the path is written twice.)
                std::string meant;
                for (const char c : typed.substr(1))
                    meant += c == '\\' ? std::string("\\\\") : std::string(1, c);
                EXPECT_NE(
                    run.out.find("names no virtual machine: a VM path starts with one separator and the "
                                 "VM's GUID, as in [" +
                                 meant + "]"),
                    std::string::npos)
                    << road << typed << user << run.out << run.err;
            }
        }

        // vmowner may browse vmalpha, named by itself or by its GUID under the hypervisor, and no other VM.
        for (const long long at : {lastDay(), v1Time}) {
            hubtest::TConsoleRun owner = list(road, "vmalpha", alpha.subclient, 106, "\\", "vmowner", at);
            ASSERT_EQ(owner.status, kExitOk) << road << at << owner.err;
            EXPECT_EQ(itemsOf(owner), indexed(alpha.subclient, "/", at)) << road << at;
        }
        hubtest::TConsoleRun other = list(road, "vmbravo", vms[1].subclient, 106, "\\", "vmowner");
        EXPECT_EQ(other.status, kExitRefused) << road << other.out << other.err;

        // Before the first backup.
        for (const std::string& path : {std::string("\\"), std::string("\\d00")}) {
            hubtest::TConsoleRun early =
                list(road, "vmalpha", alpha.subclient, 106, path, "admin", s->world.firstBackupTime - 3600);
            EXPECT_EQ(early.status, kExitServiceError) << road << path << early.out << early.err;
            EXPECT_NE(early.out.find("No backups were found for the selected time range."), std::string::npos)
                << road << path << early.out << early.err;
        }
    }
}

// A Notes client after its agent's upgrade: a range wholly after it, and a point in time after it, are
// browsed; a range across it is refused with advice a user can follow (a range on one side).
TEST_F(AppRoadsEndToEnd, NotesOnEitherSideOfItsUpgrade) {
    const zyent::AppBrowseWorld& apps = s->world.apps;
    const std::string client = "notes1 --subclient " + std::to_string(apps.notesSubclient) + " --app-type 59";
    auto versions = [&](const char* road, long long from, long long to) {
        return console("versions --client " + client + " --path /d00 --from " + std::to_string(from) +
                       " --to " + std::to_string(to) + " --via " + road + " --user admin");
    };
    auto inRange = [&](long long from, long long to) {
        return versionsIndexed(apps.notesSubclient, "/d00", from, to);
    };
    const long long up = apps.upgradeTime;
    for (const char* road : kRoads) {
        hubtest::TConsoleRun after = versions(road, up + 7200, lastDay());
        ASSERT_EQ(after.status, kExitOk) << road << after.err;
        EXPECT_FALSE(itemsOf(after).empty()) << road;
        EXPECT_EQ(itemsOf(after), inRange(up + 7200, lastDay())) << road;
        hubtest::TConsoleRun before = versions(road, up - 3 * 86400, up - 3600);
        ASSERT_EQ(before.status, kExitOk) << road << before.err;
        EXPECT_EQ(itemsOf(before), inRange(up - 3 * 86400, up - 3600)) << road;

        hubtest::TConsoleRun at = list(road, "notes1", apps.notesSubclient, 59, "/d00", "admin", lastDay());
        ASSERT_EQ(at.status, kExitOk) << road << at.err;
        EXPECT_EQ(itemsOf(at), indexed(apps.notesSubclient, "/d00")) << road;

        hubtest::TConsoleRun across = versions(road, up - 3 * 86400, lastDay());
        EXPECT_EQ(across.status, kExitServiceError) << road << across.out << across.err;
        EXPECT_NE(across.out.find("Select a time range before or after the upgrade."), std::string::npos)
            << road << across.out;
    }
}

}  // namespace
