// The console's browses of the demo world on both roads: listings at a point in time, versions, pages and
// counts, finds in a backup set and across clients, an older media agent through the Hubmaster, virtual
// machines, and the JSON and names its answers carry.
#include "tests/tools/browse/consoletest.h"

namespace browsetest {
namespace {

TEST_F(BrowseConsole, RootAndDirectoryAtAPointInTime) {
    TRun root = browse("list " + fileSubclient() + " --at " + lastDay());
    ASSERT_EQ(root.status, 0) << root.err << root.out;
    EXPECT_EQ(lines(root.out, "TYPE"), 1u);
    EXPECT_GE(lines(root.out, "dir "), 1u);
    EXPECT_EQ(lines(root.out, " /d00"), 1u);

    TRun directory = browse("list " + fileSubclient() + " --path /d00/d01/d00 --at " + lastDay());
    ASSERT_EQ(directory.status, 0) << directory.err;
    EXPECT_GT(lines(directory.out, ".dat"), 0u);
    EXPECT_EQ(lines(directory.out, "/d00/d01/d00/"), lines(directory.out, "file "));
}

TEST_F(BrowseConsole, VersionsPagesAndCounts) {
    const std::string dir = fileSubclient() + " --path /d00/d01/d00";
    TRun counted = browse("count " + dir + " --at " + lastDay());
    ASSERT_EQ(counted.status, 0) << counted.err;
    // The label once: "count: N".
    ASSERT_EQ(counted.out.rfind("count: ", 0), 0u) << counted.out;
    const long total = std::atol(counted.out.c_str() + 7);
    EXPECT_GT(total, 2);

    // Pages count from 1; the answer says where the page lies in the whole listing.
    TRun first = browse("list " + dir + " --at " + lastDay() + " --page-size 2 --page 1");
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(lines(first.out, "file "), 2u);
    const std::string pages = std::to_string((total + 1) / 2);
    EXPECT_NE(first.out.find("2 items (1-2 of " + std::to_string(total) + "), page 1 of " + pages),
              std::string::npos)
        << first.out;
    TRun second = browse("list " + dir + " --at " + lastDay() + " --page-size 2 --page 2");
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_NE(second.out.find("(3-4 of " + std::to_string(total) + "), page 2 of " + pages),
              std::string::npos)
        << second.out;
    std::istringstream firstLines(first.out), secondLines(second.out);
    std::string header, a, b;
    std::getline(firstLines, header);
    std::getline(firstLines, a);
    std::getline(secondLines, header);
    std::getline(secondLines, b);
    EXPECT_NE(a, b);

    TRun versions = browse("versions " + dir + " --from " + std::to_string(s->world.firstBackupTime) +
                           " --to " + lastDay());
    ASSERT_EQ(versions.status, 0) << versions.err;
    // Every version over the whole range: more than the items standing at its end.
    EXPECT_GT(static_cast<long>(lines(versions.out, "file ")), total);
}

TEST_F(BrowseConsole, FindInABackupSetAndAcrossClients) {
    TRun inSet = browse("find " + fileSubclient() + " --path /d00/d01/d00 --name 'f*' --at " + lastDay());
    ASSERT_EQ(inSet.status, 0) << inSet.err;
    EXPECT_GT(lines(inSet.out, "/f"), 0u);
    EXPECT_EQ(lines(inSet.out, "dir "), 0u);

    TRun across = browse("find --clients client1,client2 --path /d00/d01/d00 --name 'f*' --at " + lastDay());
    ASSERT_EQ(across.status, 0) << across.err;
    EXPECT_GT(lines(across.out, "/f"), 0u);

    // A caller (proven by its certificate) at service pack 22 or later gets the signed form, which the media
    // agent checks before it answers (the signed request names no media agent: the console is told which).
    sql("INSERT INTO mediaAgent (clientId, versionText, idxCacheSoftState) SELECT id, '11.0 SP24', 0 FROM "
        "APP_Client WHERE name = 'client2'");
    TRun signedFind = browse("find --clients client1 --tls " + hubtest::testCredentialsFor("client2") +
                             " --ma mediaagent1 --path /d00/d01/d00 --name 'f*' --at " + lastDay());
    ASSERT_EQ(signedFind.status, 0) << signedFind.err;
    EXPECT_GT(lines(signedFind.out, "/f"), 0u) << signedFind.out;

    TRun nothing = browse("find --clients no-such-client --name 'f*'");
    EXPECT_EQ(nothing.status, 1);
    EXPECT_NE(nothing.err.find("Nothing to Find"), std::string::npos) << nothing.err;
}

// A find across clients searches each client once and pages its whole answer: the pages hold
// page-size items of it, each item once, with the range line of the whole.
TEST_F(BrowseConsole, FindAcrossClientsPagesTheWholeAnswerAndSearchesEachClientOnce) {
    const std::string what = " --path /d00/d01/d00 --name 'f*' --at " + lastDay() + " --json";
    auto itemsOf = [](const TRun& run) {
        std::vector<std::string> out;
        const auto tree = json(run);
        for (const auto& [key, item] : tree.get_child("items"))
            out.push_back(item.get<std::string>("client", "") + " " + item.get<std::string>("path", ""));
        return out;
    };
    TRun whole = browse("find --clients client1,client2" + what);
    ASSERT_EQ(whole.status, 0) << whole.err;
    const std::vector<std::string> all = itemsOf(whole);
    const std::set<std::string> distinct(all.begin(), all.end());
    ASSERT_EQ(distinct.size(), all.size()) << whole.out;
    TRun one = browse("find --clients client1" + what);
    const std::vector<std::string> client1 = itemsOf(one);
    ASSERT_GT(client1.size(), 1u);
    ASSERT_GT(all.size(), client1.size()) << "client2's items are found too";

    // Named twice: searched once.
    TRun twice = browse("find --clients client1,client1" + what);
    ASSERT_EQ(twice.status, 0) << twice.err;
    EXPECT_EQ(itemsOf(twice), client1);
    TRun thrice = browse("find --clients client1,client2,client1" + what);
    EXPECT_EQ(itemsOf(thrice), all);

    // Pages of a third of the whole (rounded up), and one more past the end.
    const size_t size = (all.size() + 2) / 3;
    std::vector<std::string> paged;
    for (size_t page = 1; page <= 4; ++page) {
        TRun run = browse("find --clients client1,client2" + what + " --page-size " + std::to_string(size) +
                          " --page " + std::to_string(page));
        ASSERT_EQ(run.status, 0) << run.err;
        const std::vector<std::string> items = itemsOf(run);
        const size_t first = (page - 1) * size;
        EXPECT_EQ(items.size(), first < all.size() ? std::min(size, all.size() - first) : 0u) << run.out;
        paged.insert(paged.end(), items.begin(), items.end());
    }
    EXPECT_EQ(paged, all);
    TRun table = browse("find --clients client1,client2 --path /d00/d01/d00 --name 'f*' --at " + lastDay() +
                        " --page-size " + std::to_string(size) + " --page 2");
    EXPECT_NE(table.out.find(std::to_string(size) + " items (" + std::to_string(size + 1) + "-" +
                             std::to_string(2 * size) + "), page 2"),
              std::string::npos)
        << table.out;
}

// Every client a find across clients leaves out is named with its reason, at any time: before a
// client's first backup it has none to search.
TEST_F(BrowseConsole, FindAcrossClientsNamesClientsWithoutBackups) {
    const std::string before = std::to_string(s->world.firstBackupTime - 1);
    const std::string what = " --path /d00/d01/d00 --name 'f*' --at " + before;
    const std::string none = "is not searched: it has no backup up to ";
    TRun alone = browse("find --clients client3" + what);
    EXPECT_EQ(alone.status, 1) << alone.out << alone.err;
    EXPECT_NE(alone.err.find("warning: Client [client3] " + none), std::string::npos) << alone.err;
    EXPECT_NE(alone.err.find("Nothing to Find"), std::string::npos) << alone.err;
    TRun both = browse("find --clients client1,client3" + what);
    EXPECT_NE(both.err.find("warning: Client [client1] " + none), std::string::npos) << both.err;
    EXPECT_NE(both.err.find("warning: Client [client3] " + none), std::string::npos) << both.err;
}

TEST_F(BrowseConsole, FindLooksInTheWholeTreeBelowItsPath) {
    TRun whole = browse("find " + fileSubclient() + " --name 'f0000020*' --at " + lastDay());
    ASSERT_EQ(whole.status, 0) << whole.err;
    // Files three directories down, and no directory, from the root of the backup set.
    EXPECT_GT(lines(whole.out, " /d00/d01/d00/f0000020"), 0u) << whole.out;
    EXPECT_EQ(lines(whole.out, "dir "), 0u);
    TRun below = browse("find " + fileSubclient() + " --path /d00/d01 --name 'f0000020*' --at " + lastDay());
    ASSERT_EQ(below.status, 0) << below.err;
    EXPECT_EQ(below.out, whole.out);
}

TEST_F(BrowseConsole, ThroughTheHubmasterAnOlderMediaAgentOverTheClassicProtocol) {
    const std::string legacy =
        "--client client3 --subclient " + std::to_string(s->world.legacy.subclient) + " --via hubmaster";
    const std::string day = std::to_string(s->world.legacy.firstBackupTime + 86400LL * 11);
    TRun root = browse("list " + legacy + " --at " + day);
    ASSERT_EQ(root.status, 0) << root.err << root.out;
    const size_t entries = lines(root.out, " /d");
    EXPECT_GE(entries, 2u) << root.out;

    // The second page of one (pages count from 1) is the second line of the listing (of a directory
    // without items of unknown type, whose resolution would page on its own).
    TRun below = browse("list " + legacy + " --path /d00 --at " + day);
    ASSERT_EQ(below.status, 0) << below.err;
    TRun page = browse("list " + legacy + " --path /d00 --at " + day + " --page-size 1 --page 2");
    ASSERT_EQ(page.status, 0) << page.err;
    EXPECT_NE(page.out.find("1 item (2-2), page 2\n"), std::string::npos) << page.out;
    std::istringstream listed(below.out);
    std::string header, first, second;
    std::getline(listed, header);
    std::getline(listed, first);
    std::getline(listed, second);
    EXPECT_NE(page.out.find(second), std::string::npos) << page.out;

    TRun versions = browse("versions " + legacy + " --from " +
                           std::to_string(s->world.legacy.firstBackupTime) + " --to " + day);
    ASSERT_EQ(versions.status, 0) << versions.err;
    EXPECT_GT(lines(versions.out, " /d"), entries);

    // Who asks is the token's user: alice may not browse client3, a forged token nothing.
    TRun alice = browse("list " + legacy + " --at " + day, "--user alice");
    EXPECT_EQ(alice.status, kExitRefused);
    EXPECT_NE(alice.err.find("Browse access denied"), std::string::npos) << alice.err;
    TRun forged = browse("list " + legacy + " --at " + day, "--token ZT1.forged.token");
    EXPECT_EQ(forged.status, kExitRefused);
    EXPECT_NE(forged.err.find("Failed to authenticate the usertoken"), std::string::npos) << forged.err;
    TRun count = browse("count " + legacy + " --at " + day);
    EXPECT_EQ(count.status, 2);

    // An agent with an index service answers the Hubmaster through its router: the same items as the
    // console gets by asking the agent itself.
    const std::string dir = "list " + fileSubclient() + " --path /d00/d01/d00 --at " + lastDay();
    TRun direct = browse(dir);
    TRun hosted = browse(dir + " --via hubmaster");
    ASSERT_EQ(hosted.status, 0) << hosted.err;
    EXPECT_GT(lines(hosted.out, "file "), 0u);
    EXPECT_EQ(hosted.out, direct.out);
}

// The host loads the service library as the product does. The classic agent reports one directory at
// client3's root without its type: the Hubmaster resolves it with a browse of its own, whose items stand
// in its place, and the listing goes on to its one end. Versions through the Hubmaster are
// those backed up in the range (modified before it or not), a page at a time, and the JSON names each
// item by its name and its path.
TEST_F(BrowseConsole, ThroughTheHubmasterUnknownTypesResolvedVersionsPagedAndNamed) {
    const std::string legacy =
        "--client client3 --subclient " + std::to_string(s->world.legacy.subclient) + " --via hubmaster";
    const std::string unknown = s->world.legacy.unknownTypeDirectory;
    ASSERT_EQ(unknown, "/d01");
    const std::string day = std::to_string(s->world.legacy.firstBackupTime + 86400LL * 11);
    TRun root = browse("list " + legacy + " --at " + day);
    ASSERT_EQ(root.status, 0) << root.err << root.out;
    TRun inside = browse("list " + legacy + " --path " + unknown + " --at " + day);
    ASSERT_EQ(inside.status, 0) << inside.err << inside.out;
    std::vector<std::string> resolved;
    std::istringstream insideLines(inside.out);
    for (std::string line; std::getline(insideLines, line);)
        if (line.find(" " + unknown + "/") != std::string::npos) resolved.push_back(line);
    ASSERT_FALSE(resolved.empty()) << inside.out;
    for (const std::string& line : resolved) EXPECT_NE(root.out.find(line + "\n"), std::string::npos) << line;
    EXPECT_EQ(root.out.find(" " + unknown + "\n"), std::string::npos) << "resolved, not a plain directory";
    EXPECT_EQ(lines(root.out, " /d00"), 1u) << root.out;
    // In the agent's order: what came before /d01, its own items, then what comes after it.
    const size_t before = root.out.find(" /d00\n"), after = root.out.find(" /d02\n");
    ASSERT_NE(after, std::string::npos) << "the listing goes on to its end:\n" << root.out;
    EXPECT_LT(before, root.out.find(resolved.front()));
    EXPECT_GT(after, root.out.find(resolved.back()));
    EXPECT_NE(root.out.find(std::to_string(resolved.size() + 2) + " items"), std::string::npos) << root.out;

    // Pages count the items shown, the resolved ones among them: page k of one is the k-th line. The
    // classic item carries one time, its backup time: no modification time is shown for it.
    std::vector<std::string> rootLines;
    std::istringstream rootIn(root.out);
    for (std::string line; std::getline(rootIn, line);)
        if (line.find(" /d") != std::string::npos) rootLines.push_back(line);
    for (size_t k = 0; k < rootLines.size(); ++k) {
        EXPECT_EQ(rootLines[k].substr(21, 21), "-" + std::string(20, ' ')) << rootLines[k];
        const std::string n = std::to_string(k + 1);
        TRun page = browse("list " + legacy + " --at " + day + " --page-size 1 --page " + n);
        ASSERT_EQ(page.status, 0) << page.err;
        EXPECT_NE(page.out.find(rootLines[k] + "\n1 item (" + n + "-" + n + "), page " + n + "\n"),
                  std::string::npos)
            << page.out;
    }
    // Every version of the root once, however many versions of /d01 the agent reports.
    TRun rootVersions = browse("versions " + legacy + " --from " +
                               std::to_string(s->world.legacy.firstBackupTime) + " --to " + day);
    ASSERT_EQ(rootVersions.status, 0) << rootVersions.err;
    std::vector<std::string> versionLines;
    std::istringstream versionsIn(rootVersions.out);
    for (std::string line; std::getline(versionsIn, line);)
        if (line.find(" /d") != std::string::npos) versionLines.push_back(line);
    EXPECT_GT(lines(rootVersions.out, " " + unknown + "/"), resolved.size()) << rootVersions.out;
    std::sort(versionLines.begin(), versionLines.end());
    EXPECT_EQ(std::adjacent_find(versionLines.begin(), versionLines.end()), versionLines.end())
        << rootVersions.out;

    // Versions backed up from the second day on: those of that day's backup too, although their files
    // were modified before it.
    const long long from = s->world.legacy.firstBackupTime + 86400LL + 3 * 3600;
    const std::string versions =
        "versions " + legacy + " --path /d00/d00/d00 --from " + std::to_string(from) + " --to " + day;
    TRun all = browse(versions + " --json");
    ASSERT_EQ(all.status, 0) << all.err;
    boost::property_tree::ptree tree;
    std::istringstream allIn(all.out);
    ASSERT_NO_THROW(boost::property_tree::read_json(allIn, tree)) << all.out;
    std::vector<std::string> listed;
    long long earliest = 0;
    for (const auto& [key, item] : tree.get_child("items")) {
        const long long backup = item.get<long long>("backupTime");
        earliest = listed.empty() ? backup : std::min(earliest, backup);
        EXPECT_GE(backup, from);
        const std::string path = item.get<std::string>("path");
        EXPECT_EQ(path.rfind("/d00/d00/d00/", 0), 0u) << path;
        EXPECT_EQ(item.get<std::string>("name"), path.substr(path.rfind('/') + 1));
        listed.push_back(path + "@" + std::to_string(backup));
    }
    ASSERT_GT(listed.size(), 80u);
    EXPECT_EQ(earliest, from);
    // The third page of 40 (pages count from 1) is the 81st to the 120th version of the whole listing.
    TRun page = browse(versions + " --page-size 40 --page 3 --json");
    ASSERT_EQ(page.status, 0) << page.err;
    std::istringstream pageIn(page.out);
    ASSERT_NO_THROW(boost::property_tree::read_json(pageIn, tree)) << page.out;
    std::vector<std::string> paged;
    for (const auto& [key, item] : tree.get_child("items"))
        paged.push_back(item.get<std::string>("path") + "@" +
                        std::to_string(item.get<long long>("backupTime")));
    const size_t end = std::min<size_t>(listed.size(), 120);
    EXPECT_EQ(paged, std::vector<std::string>(listed.begin() + 80, listed.begin() + static_cast<long>(end)));
}

TEST_F(BrowseConsole, FindAcrossClientsShowsOnlyWhatTheUserMayBrowse) {
    const std::string what = " --path /d00/d01/d00 --name 'f*' --at " + lastDay();
    TRun both = browse("find --clients client1,client2" + what);
    TRun client1 = browse("find --clients client1" + what);
    TRun alice = browse("find --clients client1,client2" + what, "--user alice");
    ASSERT_EQ(both.status, 0) << both.err;
    ASSERT_EQ(client1.status, 0) << client1.err;
    EXPECT_EQ(alice.status, kExitRefused) << alice.err;
    // alice may browse client1 only: she is told about client1's items and none of client2's, and that
    // client2 was left out.
    EXPECT_GT(lines(both.out, "/f"), lines(client1.out, "/f"));
    // The warning beside the items, on standard error: a pipe reads the table only.
    EXPECT_EQ(alice.out.substr(0, alice.out.rfind(" items")),
              client1.out.substr(0, client1.out.rfind(" items")));
    EXPECT_NE(
        alice.err.find("warning: You are not authorised to browse client [client2]; it is not searched\n"),
        std::string::npos)
        << alice.err;

    // A user who may browse none of the clients named is refused, told which.
    TRun stranger = browse("find --clients client1,client2" + what, "--user vmowner");
    EXPECT_EQ(stranger.status, kExitRefused);
    EXPECT_NE(stranger.err.find("Browse access denied"), std::string::npos) << stranger.err;
    EXPECT_NE(stranger.err.find("warning: You are not authorised to browse client [client2]"),
              std::string::npos)
        << stranger.err;
}

TEST_F(BrowseConsole, JsonParses) {
    TRun listed = browse("list " + fileSubclient() + " --path /d00/d01/d00 --at " + lastDay() + " --json");
    ASSERT_EQ(listed.status, 0) << listed.err;
    boost::property_tree::ptree tree;
    std::istringstream in(listed.out);
    ASSERT_NO_THROW(boost::property_tree::read_json(in, tree)) << listed.out;
    const auto& items = tree.get_child("items");
    ASSERT_FALSE(items.empty());
    EXPECT_EQ(items.front().second.get<std::string>("type"), "file");
    EXPECT_GT(items.front().second.get<long long>("size"), 0);
    // Times also as ISO 8601.
    EXPECT_EQ(items.front().second.get<std::string>("backupTimeIso").size(), 20u);

    TRun failed = browse("list " + fileSubclient() + " --json", "--token ZT1.forged.token");
    std::istringstream failedIn(failed.out);
    ASSERT_NO_THROW(boost::property_tree::read_json(failedIn, tree)) << failed.out;
    // The service refused the token; the console says why, as far as the token's visible part tells.
    EXPECT_NE(tree.get<std::string>("error.message").find("it was changed or forged"), std::string::npos)
        << failed.out;
    EXPECT_NE(tree.get<std::string>("error.message").find("Error: Failed to authenticate the usertoken..."),
              std::string::npos);
    // A usage error is JSON too when JSON was asked for.
    TRun usage = shell("tools/browse/browse list --json --client");
    EXPECT_EQ(usage.status, kExitUsage);
    EXPECT_EQ(json(usage).get<int>("error.exitStatus"), kExitUsage) << usage.out;
}

TEST_F(BrowseConsole, OutputNamesZonesClientsAndSessions) {
    TRun listed =
        browse("list " + fileSubclient() + " --path /d00/d01/d00 --at " + lastDay() + " --human -v");
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.out.find("MODIFIED (UTC)"), std::string::npos);
    EXPECT_NE(listed.out.find("K  "), std::string::npos) << listed.out;
    EXPECT_NE(listed.err.find("browse: session "), std::string::npos) << listed.err;
    EXPECT_NE(listed.err.find("road router, then media agent [mediaagent1]"), std::string::npos)
        << listed.err;

    TRun found = browse("find --clients client1,client2 --path /d00/d01/d00 --name 'f*' --at " + lastDay() +
                        " --json --session console-find-session");
    ASSERT_EQ(found.status, 0) << found.err;
    const auto tree = json(found);
    EXPECT_EQ(tree.get<std::string>("session"), "console-find-session");
    std::set<std::string> clients;
    for (const auto& [key, item] : tree.get_child("items"))
        clients.insert(item.get<std::string>("client", ""));
    EXPECT_EQ(clients, (std::set<std::string>{"client1", "client2"}));
    TRun table = browse("find --clients client1,client2 --path /d00/d01/d00 --name 'f*' --at " + lastDay());
    EXPECT_EQ(table.out.rfind("CLIENT", 0), 0u) << table.out;
    EXPECT_GT(lines(table.out, "client2 "), 0u);
}

TEST_F(BrowseConsole, AnOlderMediaAgentIsNotWaitedFor) {
    const std::string legacy = "--client client3 --subclient " + std::to_string(s->world.legacy.subclient);
    const std::string day = std::to_string(s->world.legacy.firstBackupTime + 86400LL * 11);
    const auto before = std::chrono::steady_clock::now();
    TRun direct = browse("list " + legacy + " --at " + day);
    TRun hosted = browse("list " + legacy + " --at " + day + " --via hubmaster");
    ASSERT_EQ(direct.status, 0) << direct.err;
    EXPECT_EQ(direct.out, hosted.out);
    EXPECT_NE(direct.err.find("release 9 (no index service): browsing through the Hubmaster instead"),
              std::string::npos)
        << direct.err;
    TRun count = browse("count " + legacy + " --at " + day);
    EXPECT_EQ(count.status, kExitServiceError);
    EXPECT_NE(count.err.find("which has no index service"), std::string::npos) << count.err;
    EXPECT_LT(std::chrono::steady_clock::now() - before, 20s);
}

// Virtual machines on the router's road: a VM of a hypervisor kept per VM gets a signed request naming
// its media agent; the hypervisor's own backup set is browsed by the Hubmaster, which the console takes
// by itself and says so, and so is a VM indexed by its hypervisor, whose answers the Hubmaster names in
// the VM's own view.
// Each answers as the Hubmaster's road does, and media are never a listing.
TEST_F(BrowseConsole, VirtualMachinesOnTheRoutersRoad) {
    const hubdb::DemoHypervisor& hv = s->world.vsa;
    const std::string vm1 = std::to_string(hubtest::queryInt(
        s->world.databasePath,
        "SELECT a.id FROM APP_Application a JOIN APP_Client c ON c.id = a.clientId WHERE c.name = 'vm1'"));
    const std::string vmalpha = "--client vmalpha --subclient " + std::to_string(hv.vms.front().subclientId);
    for (const auto& [what, road] : std::vector<std::pair<std::string, std::string>>{
             {vmalpha, "road router, then media agent [mediaagent1]"},
             {"--client vsahypervisor --subclient " + std::to_string(hv.subclient),
              "browsed by the Hubmaster itself: browsing through the Hubmaster instead"},
             {"--client vm1 --subclient " + vm1,
              "browsed by the Hubmaster itself: browsing through the Hubmaster instead"}}) {
        TRun direct = browse("list " + what + " --at " + lastDay() + " -v");
        TRun hosted = browse("list " + what + " --at " + lastDay() + " --via hubmaster");
        ASSERT_EQ(direct.status, 0) << what << ": " << direct.err;
        EXPECT_NE(direct.err.find(road), std::string::npos) << direct.err;
        EXPECT_EQ(hosted.status, 0) << what << ": " << hosted.err;
        EXPECT_GT(lines(direct.out, "dir "), 0u) << what;
        EXPECT_EQ(direct.out, hosted.out) << what;
    }
    TRun media = browse("media " + vmalpha + " --at " + lastDay());
    EXPECT_EQ(lines(media.out, "/d0"), 0u) << media.out;
    EXPECT_TRUE(media.status != 0 || lines(media.out, "archive files") == 1u) << media.out << media.err;
}

}  // namespace
}  // namespace browsetest
