// The application roads of the demo world through the whole system: the host program, the media agent
// holding the applications' backups and the console as processes. Each road is browsed through
// BrowseRouter (the console then asks the media agent itself) and through HubmasterBrowse, and the items
// are checked against the media agent's item index; what a road may not answer is refused aloud.
#include <gtest/gtest.h>

// The property tree's optional values trip a false maybe-uninitialized warning in sanitized builds,
// inside the library's own headers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/hubdemo/hubdemo.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/demosystem.h"
#include "tests/support/process/consolerun.h"
#include "tests/support/sqlite/testsql.h"
#include "tools/browse/consoleoptions.h"
#include "tools/mediaagent/itemindex.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kRoads[] = {"router", "hubmaster"};

// An item as the console prints it in JSON and as the index holds it: path, size, backup time.
using TItem = std::tuple<std::string, long long, long long>;

class AppRoadsEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s = new TShared;
        std::string error;
        ASSERT_TRUE(hubdemo::createDemoWorld(s->dir.file("demo"), s->world, &error)) << error;
        const char* binaries = std::getenv("HUB_BINARY_DIR");
        s->binaries = binaries ? binaries : ".";
        s->indexPath = s->dir.file("agent.items.db");
        s->agent = hubtest::startDemoAgent(s->world, "mediaagent1", s->indexPath, s->dir.path(),
                                           {"--index-service", "started"});
        int routerPort = 0;
        s->host = hubtest::startDemoHost(s->world, s->dir.file("demo"), routerPort);
        s->index = mediaagent::CItemIndex::open(s->indexPath, error);
        ASSERT_NE(s->index, nullptr) << error;
    }
    static void TearDownTestSuite() {
        hubtest::expectEveryFailureSaidWhy(s->dir.file("demo"));
        delete s;
        s = nullptr;
    }

    // The console's list of `path` in a subclient of `client` as of the last backup day, by `road`.
    static hubtest::TConsoleRun list(const std::string& road, const std::string& client, int subclient,
                                     int appType, const std::string& path, const std::string& user) {
        return hubtest::runConsole(
            s->binaries + "/tools/browse/browse list --client " + client + " --subclient " +
                std::to_string(subclient) + " --app-type " + std::to_string(appType) + " --path '" + path +
                "' --at " + std::to_string(lastDay()) + " --via " + road + " --user '" + user + "' --data " +
                s->dir.file("demo") + " --ma-host 127.0.0.1 --quiet --timeout 30 --json",
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
    // The children of `path` in the media agent's index as of the last backup day.
    static std::vector<TItem> indexed(int subclient, const std::string& path) {
        mediaagent::TBrowseQuery q;
        q.appId = subclient;
        q.path = path;
        q.toTime = lastDay();
        std::vector<mediaagent::TItemVersion> versions;
        bool found = false;
        EXPECT_TRUE(s->index->listAt(q, versions, found)) << s->index->lastError();
        std::vector<TItem> out;
        for (const mediaagent::TItemVersion& v : versions) out.emplace_back(v.path, v.size, v.backupTime);
        return out;
    }
    static long long lastDay() { return s->world.firstBackupTime + 86400LL * s->world.backupDays; }

    struct TShared {
        TempDir dir;
        hubdemo::DemoWorld world;
        std::string binaries, indexPath;
        std::unique_ptr<hubtest::CChildProcess> agent, host;
        std::unique_ptr<mediaagent::CItemIndex> index;
    };
    static TShared* s;
};
AppRoadsEndToEnd::TShared* AppRoadsEndToEnd::s = nullptr;

// Mailboxes: the administrator sees the mailbox folders the index holds; an end user's browse of his
// own mailbox carries a filter this media agent cannot apply, and is refused aloud rather than
// answered with every mailbox; a stranger naming another's mailbox is refused before any media agent.
TEST_F(AppRoadsEndToEnd, Mailboxes) {
    const zyent::AppBrowseWorld& apps = s->world.apps;
    const std::string mailbox = "/MB/" + apps.ownerGuid;
    const std::vector<TItem> inMailbox = indexed(apps.mailboxSubclient, mailbox);
    ASSERT_FALSE(inMailbox.empty());
    for (const char* road : kRoads) {
        hubtest::TConsoleRun root = list(road, "exchmb1", apps.mailboxSubclient, 54, "\\", "admin");
        ASSERT_EQ(root.status, kExitOk) << road << root.err;
        EXPECT_EQ(itemsOf(root), indexed(apps.mailboxSubclient, "/")) << road;
        hubtest::TConsoleRun folders =
            list(road, "exchmb1", apps.mailboxSubclient, 54, "\\MB\\" + apps.ownerGuid, "admin");
        ASSERT_EQ(folders.status, kExitOk) << road << folders.err;
        EXPECT_EQ(itemsOf(folders), inMailbox) << road;

        hubtest::TConsoleRun own = list(road, "exchmb1", apps.mailboxSubclient, 54, "\\MB", "EXCH\\mary");
        EXPECT_EQ(own.status, kExitServiceError) << road << own.out;
        EXPECT_NE(own.err.find("media agent [mediaagent1] cannot apply"), std::string::npos)
            << road << own.err;
        EXPECT_NE(own.err.find(apps.ownerGuid), std::string::npos) << road << own.err;
        EXPECT_EQ(own.out.find("/d0"), std::string::npos) << road;

        hubtest::TConsoleRun other = list(road, "exchmb1", apps.mailboxSubclient, 54,
                                          "\\MB\\" + apps.ownerGuid + "\\Inbox", "EXCH\\sam");
        EXPECT_EQ(other.status, kExitRefused) << road << other.out << other.err;
        EXPECT_EQ(other.out.find("/MB/"), std::string::npos) << road;
    }
}

// OneDrive on indexing V1: an end user's browse of the root, of the OneDrive folder or of a folder of
// her own is confined to her folder, answered from the index by either road; another user's folder is
// refused; the administrator sees the whole subclient.
TEST_F(AppRoadsEndToEnd, OneDriveUserFolder) {
    const zyent::AppBrowseWorld& apps = s->world.apps;
    const std::string own = "/OneDrive/" + apps.oneDriveEmail;
    const std::vector<TItem> inOwn = indexed(apps.oneDriveV1Subclient, own);
    ASSERT_FALSE(inOwn.empty());
    for (const char* road : kRoads) {
        for (const std::string& path :
             std::vector<std::string>{"\\", "\\OneDrive", "\\OneDrive\\" + apps.oneDriveEmail + "\\d01"}) {
            hubtest::TConsoleRun run =
                list(road, "onedrive1", apps.oneDriveV1Subclient, 134, path, "TENANT\\olivia");
            ASSERT_EQ(run.status, kExitOk) << road << path << run.err;
            EXPECT_EQ(itemsOf(run), inOwn) << road << path;
        }
        hubtest::TConsoleRun nemo = list(road, "onedrive1", apps.oneDriveV1Subclient, 134,
                                         "\\OneDrive\\nemo@example.com", "TENANT\\olivia");
        EXPECT_NE(nemo.status, kExitOk) << road << nemo.out;
        EXPECT_EQ(nemo.out.find("/OneDrive/"), std::string::npos) << road;

        hubtest::TConsoleRun admin = list(road, "onedrive1", apps.oneDriveV1Subclient, 134, "\\", "admin");
        ASSERT_EQ(admin.status, kExitOk) << road << admin.err;
        EXPECT_EQ(itemsOf(admin), indexed(apps.oneDriveV1Subclient, "/")) << road;

        // On indexing V2 her restriction is a filter on her object id, which this media agent cannot
        // apply: refused aloud, never the whole tenant's data.
        hubtest::TConsoleRun v2 =
            list(road, "onedrive2", apps.oneDriveV2Subclient, 134, "\\", "TENANT\\olivia");
        EXPECT_EQ(v2.status, kExitServiceError) << road << v2.out;
        EXPECT_NE(v2.err.find("cannot apply the criterion of attribute 20"), std::string::npos)
            << road << v2.err;
        EXPECT_EQ(v2.out.find("/d0"), std::string::npos) << road;
        hubtest::TConsoleRun v2Admin = list(road, "onedrive2", apps.oneDriveV2Subclient, 134, "\\", "admin");
        ASSERT_EQ(v2Admin.status, kExitOk) << road << v2Admin.err;
        EXPECT_EQ(itemsOf(v2Admin), indexed(apps.oneDriveV2Subclient, "/")) << road;
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
    EXPECT_NE(prepared.err.find("media agent [mediaagent1] holds backups only: it cannot browse client [" +
                                std::to_string(apps.windowsMachine) + "] live"),
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

}  // namespace
