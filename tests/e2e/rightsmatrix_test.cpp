// Rights in every combination the demo world allows: each user of the world x each entity (every
// subclient, and every client named alone) x each application type the catalogue names (and none) x both
// roads x the operations (list, count, versions, find in one client and across clients, media, an erase's
// dry run, mining), at the entity's root and at paths into other users' data in several spellings. Each
// answer is judged against a table of what each user may see, written here from the world's definition
// (who owns which mailbox, OneDrive folder, virtual machine and client), never from the service's code.
// The host, the media agents and the consoles are real; the consoles run in this process.
//
// By default a fixed core (the per-user data of the mailbox, OneDrive and VM clients under every type,
// and every entity under its own type, none and a wrong one) and a seeded sample of the rest run;
// HUB_RIGHTS_MATRIX=all walks the whole space, HUB_RIGHTS_MATRIX=<n> samples n cells of it, and
// HUB_RIGHTS_MATRIX_SEED=<n> picks another sample.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/config/zyplatforminfo.h"
#include "platform/entities/apptypes.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/log/evdebug.h"
#include "platform/net/zynetwork.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/demosystem.h"
#include "tests/support/sqlite/testsql.h"
#include "tests/support/tls/testpki.h"
#include "tools/browse/consoleoptions.h"
#include "tools/browse/consolesession.h"

namespace {

// Every application type the catalogue names, and 0: none claimed.
const std::vector<long> kCatalogueTypes = {
    0,
#define APP_TYPE(name, code, mailbox) code,
#include "platform/entities/apptypes.def"
#undef APP_TYPE
};

enum class EOp { kList, kCount, kVersions, kFind, kFindAcross, kMedia, kEraseDryRun, kMine };
const char* opName(EOp op) {
    switch (op) {
        case EOp::kList:
            return "list";
        case EOp::kCount:
            return "count";
        case EOp::kVersions:
            return "versions";
        case EOp::kFind:
            return "find";
        case EOp::kFindAcross:
            return "find-across";
        case EOp::kMedia:
            return "media";
        case EOp::kEraseDryRun:
            return "erase-dry-run";
        case EOp::kMine:
            return "mine";
    }
    return "?";
}
const std::vector<EOp> kOps = {EOp::kList,       EOp::kCount, EOp::kVersions,    EOp::kFind,
                               EOp::kFindAcross, EOp::kMedia, EOp::kEraseDryRun, EOp::kMine};

// A path as compared here: forward slashes, no doubled or trailing slash, case folded (GUIDs and the
// mailbox and OneDrive names the world uses compare without case).
std::string normal(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    std::string out;
    for (char c : path) {
        if (c == '/' && !out.empty() && out.back() == '/') continue;
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    if (out.empty() || out[0] != '/') out.insert(out.begin(), '/');
    return out;
}
// `path` is `root` or below it.
bool within(const std::string& path, const std::string& root) {
    return root == "/" || path == root ||
           (path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/');
}

// What a user may see of an entity: everything, nothing, or what lies at or below some folders (and the
// names of the folders on the way to them).
struct TSight {
    enum EKind { kNothing, kAll, kBelow } kind = kNothing;
    std::vector<std::string> roots;  // normal paths, for kBelow
    bool mayErase = false;
};

struct TEntity {
    std::string client;
    long clientId = 0;
    long subclient = 0;              // 0: the client named alone
    long appType = 0;                // recorded (0 for a client named alone)
    std::vector<std::string> paths;  // where the cells browse: the root and paths into users' data
};

struct TUser {
    std::string login, token;
};

struct TCell {
    size_t user = 0, entity = 0, path = 0;
    long claimed = 0;
    bool viaHubmaster = false;
    EOp op = EOp::kList;
    std::string describe(const std::vector<TUser>& users, const std::vector<TEntity>& entities) const {
        const TEntity& e = entities[entity];
        return std::string(opName(op)) + " by [" + users[user].login + "] of client [" + e.client +
               "] subclient [" + std::to_string(e.subclient) + "] path [" + e.paths[path] +
               "] claiming type [" + std::to_string(claimed) + "] via " +
               (viaHubmaster ? "hubmaster" : "router");
    }
};

class RightsMatrix : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s = new TShared;
        ASSERT_EQ(hubtest::demoWorldIn(s->dir.file("demo"), s->world), "");
        s->binaries = hubtest::binaryDir();
        s->agent = hubtest::startDemoAgent(s->world, "mediaagent1", s->dir.file("mediaagent1.db"),
                                           s->dir.path(), {"--index-service", "started"});
        s->legacyAgent =
            hubtest::startDemoAgent(s->world, "mediaagent3", s->dir.file("mediaagent3.db"), s->dir.path());
        // The mining services of the SharePoint servers and of the Exchange databases run on the media
        // agent's machine in this world.
        const long long agentPort = s->agent->numberAfter(hubtest::kAgentListening);
        for (const char* server : {"spplain", "spserver1", "spserver2", "spserver3"})
            hubtest::pointClientAt(s->world, server, agentPort);
        ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", "nODSPoolGraceSec", 1));
        s->host = hubtest::startDemoHost(s->world, s->dir.file("demo"), s->routerPort);
        for (const char* login : {"admin", "alice", "EXCH\\mary", "EXCH\\sam", "EXCH\\dan", "TENANT\\olivia",
                                  "TENANT\\nemo", "vmowner"})
            s->users.push_back({login, hubtest::issueToken(s->dir.file("demo"), login)});
        loadEntities();
    }
    static void TearDownTestSuite() {
        delete s;
        s = nullptr;
    }

    static std::string db() { return s->world.databasePath; }
    static long long lastDay() { return s->world.firstBackupTime + 86400LL * s->world.backupDays; }

    // Every subclient of the world, and every client with a subclient named alone, each with the paths
    // into its users' data.
    static void loadEntities() {
        const zyent::AppBrowseWorld& apps = s->world.apps;
        const long long n = hubtest::queryInt(db(), "SELECT MAX(id) FROM APP_Application");
        std::map<std::string, long> clients;
        for (long long id = 1; id <= n; ++id) {
            const std::string client = hubtest::queryText(
                db(),
                "SELECT c.name FROM APP_Application a JOIN APP_Client c ON c.id = a.clientId WHERE a.id = " +
                    std::to_string(id));
            if (client.empty()) continue;
            TEntity e;
            e.client = client;
            e.clientId = static_cast<long>(hubtest::queryInt(
                db(), "SELECT clientId FROM APP_Application WHERE id = " + std::to_string(id)));
            e.subclient = static_cast<long>(id);
            e.appType = static_cast<long>(hubtest::queryInt(
                db(), "SELECT appTypeId FROM APP_Application WHERE id = " + std::to_string(id)));
            clients[client] = e.clientId;
            s->entities.push_back(e);
        }
        for (const auto& [client, id] : clients) s->entities.push_back({client, id, 0, 0, {}});
        for (TEntity& e : s->entities) {
            e.paths = {"\\"};
            if (e.clientId == apps.mailboxClient)
                e.paths.insert(e.paths.end(),
                               {"\\MB", "\\MB\\" + apps.ownerGuid, "/MB/" + apps.strangerGuid + "/",
                                "\\mb\\" + lower(apps.strangerGuid), "//MB//" + apps.delegateGuid});
            if (e.clientId == apps.oneDriveV1Client || e.clientId == apps.oneDriveV2Client)
                e.paths.insert(e.paths.end(),
                               {"\\OneDrive", "\\OneDrive\\" + apps.oneDriveEmail,
                                "/OneDrive/oscar@example.com", "\\ONEDRIVE\\OSCAR@EXAMPLE.COM\\"});
            if (e.clientId == s->world.vsa.client)
                // The first path below the root is another VM than vmowner's (the core walks it).
                for (auto vm = s->world.vsa.vms.rbegin(); vm != s->world.vsa.vms.rend(); ++vm)
                    e.paths.push_back("\\" + vm->guid);
            if (e.clientId == s->world.fileClient || e.clientId == s->world.otherFileClient)
                e.paths.push_back("/d00");
        }
    }
    static std::string lower(std::string text) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    }

    // What `login` may see of `e`, from the world's definition (the README's table of users): the
    // administrator everything (but erases nothing); alice client1, which she may erase in; each mailbox
    // user his own mailbox of the mailbox client; olivia every client's backups but of OneDrive her own
    // folder, and of mailboxes her own (she has none); vmowner the VM vmalpha, by its client and by its
    // GUID under its hypervisor; dan and nemo nothing.
    static TSight sight(const std::string& login, const TEntity& e) {
        const zyent::AppBrowseWorld& apps = s->world.apps;
        TSight out;
        const bool mailboxClient = e.clientId == apps.mailboxClient;
        const bool oneDriveClient =
            e.clientId == apps.oneDriveV1Client || e.clientId == apps.oneDriveV2Client;
        auto below = [&](std::vector<std::string> roots) {
            out.kind = TSight::kBelow;
            for (std::string& r : roots) out.roots.push_back(normal(r));
        };
        if (login == "admin") {
            out.kind = TSight::kAll;
        } else if (login == "alice") {
            if (e.clientId == s->world.fileClient) {
                out.kind = TSight::kAll;
                out.mayErase = true;
            }
        } else if (login == "EXCH\\mary" || login == "EXCH\\sam" || login == "EXCH\\dan") {
            const std::string& guid = login == "EXCH\\mary"  ? apps.ownerGuid
                                      : login == "EXCH\\sam" ? apps.strangerGuid
                                                             : apps.delegateGuid;
            if (mailboxClient) below({"/MB/" + guid});
        } else if (login == "TENANT\\olivia") {
            if (oneDriveClient)
                below({"/OneDrive/" + apps.oneDriveEmail});
            else if (mailboxClient)
                below({});
            else
                out.kind = TSight::kAll;
        } else if (login == "vmowner") {
            const auto& vm = s->world.vsa.vms.front();
            if (e.clientId == vm.clientId) out.kind = TSight::kAll;
            if (e.clientId == s->world.vsa.client) below({"/" + vm.guid});
        }
        return out;
    }

    // The console's options for a cell.
    static TConsoleOptions optionsOf(const TCell& c) {
        const TEntity& e = s->entities[c.entity];
        TConsoleOptions o;
        o.dataFolder = s->dir.file("demo");
        o.token = s->users[c.user].token;
        o.mediaAgentHost = "127.0.0.1";
        o.viaHubmaster = c.viaHubmaster;
        o.client = e.client;
        o.subclientId = static_cast<int>(e.subclient);
        o.appType = static_cast<int>(c.claimed);
        o.paths = {e.paths[c.path]};
        o.at = lastDay();
        o.progress = false;
        o.timeoutSeconds = 60;
        o.yes = true;
        switch (c.op) {
            case EOp::kList:
                o.command = EConsoleCommand::kList;
                break;
            case EOp::kCount:
                o.command = EConsoleCommand::kCount;
                break;
            case EOp::kVersions:
                o.command = EConsoleCommand::kVersions;
                o.at = 0;
                o.from = s->world.firstBackupTime - 86400;
                o.to = lastDay();
                break;
            case EOp::kFind:
                o.command = EConsoleCommand::kFind;
                o.pattern = "*";
                break;
            case EOp::kFindAcross:
                o.command = EConsoleCommand::kFind;
                o.pattern = "*";
                o.client.clear();
                o.subclientId = 0;
                o.clients = {e.client, "client1", "exchmb1", "onedrive2"};
                break;
            case EOp::kMedia:
                o.command = EConsoleCommand::kMedia;
                break;
            case EOp::kEraseDryRun:
                o.command = EConsoleCommand::kErase;
                o.dryRun = true;
                o.paths = {e.paths[c.path] == "\\" ? std::string("\\d00") : e.paths[c.path]};
                break;
            case EOp::kMine:
                o.command = EConsoleCommand::kList;
                o.mine = true;
                o.mediaAgent = "mediaagent1";
                break;
        }
        return o;
    }

    // Judges the answer of `c` against what its user may see; "" when it is no more, else what leaked.
    static std::string judge(const TCell& c, int rc, const TConsoleResult& r) {
        const TEntity& e = s->entities[c.entity];
        const std::string& login = s->users[c.user].login;
        if (c.op == EOp::kEraseDryRun)
            return rc == kExitOk && !sight(login, e).mayErase ? "an erase's dry run was accepted" : "";
        if (rc != kExitOk && r.items.empty() && r.media.empty()) return "";
        if (c.op == EOp::kFindAcross) {
            // Items of a find across clients name their client; each is judged by that client's sight.
            for (const TConsoleItem& item : r.items) {
                TEntity of{item.client, 0, item.subclientId, 0, {}};
                for (const TEntity& known : s->entities)
                    if (known.client == item.client) of.clientId = known.clientId;
                if (std::string why = judgeItem(login, of, "\\", item.path); !why.empty()) return why;
            }
            return "";
        }
        const TSight sight = RightsMatrix::sight(login, e);
        const std::string asked = normal(e.paths[c.path]);
        if (sight.kind == TSight::kAll) return "";
        bool askedWithin = false, askedOnTheWay = false;
        for (const std::string& root : sight.roots) {
            askedWithin = askedWithin || within(asked, root);
            askedOnTheWay = askedOnTheWay || within(root, asked);
        }
        if (sight.kind == TSight::kBelow && askedWithin) return "";
        const bool nothing = sight.kind == TSight::kNothing || !askedOnTheWay;
        if (nothing) {
            if (!r.items.empty())
                return std::to_string(r.items.size()) + " item(s), first [" + r.items[0].path + "]";
            if (!r.media.empty()) return std::to_string(r.media.size()) + " media";
            for (const auto& [id, count] : r.counts)
                if (count > 0) return "a count of " + std::to_string(count);
            return "";
        }
        for (const TConsoleItem& item : r.items)
            if (std::string why = judgeItem(login, e, e.paths[c.path], item.path); !why.empty()) return why;
        return "";
    }
    // An item of `e` at `path` (as answered) that its user may see: in a folder of his, or a folder on the
    // way to one.
    static std::string judgeItem(const std::string& login, const TEntity& e, const std::string&,
                                 const std::string& path) {
        const TSight sight = RightsMatrix::sight(login, e);
        if (sight.kind == TSight::kAll) return "";
        const std::string item = normal(path);
        for (const std::string& root : sight.roots)
            if (within(item, root) || within(root, item)) return "";
        return "item [" + path + "] of client [" + e.client + "]";
    }

    // The cells of the whole space, in a fixed order.
    static std::vector<TCell> wholeSpace() {
        std::vector<TCell> cells;
        for (size_t u = 0; u < s->users.size(); ++u)
            for (size_t e = 0; e < s->entities.size(); ++e)
                for (size_t p = 0; p < s->entities[e].paths.size(); ++p)
                    for (long type : kCatalogueTypes)
                        for (bool hub : {false, true})
                            for (EOp op : kOps)
                                if (op != EOp::kMine || isMined(s->entities[e]))
                                    cells.push_back({u, e, p, type, hub, op});
        return cells;
    }
    // The entities the world's mining applies to: Exchange databases and SharePoint sites.
    static bool isMined(const TEntity& e) {
        for (const TEntity& known : s->entities)
            if (known.clientId == e.clientId && (known.appType == apptype::code(apptype::kExchangeDatabase) ||
                                                 known.appType == apptype::code(apptype::kSharePoint)))
                return true;
        return false;
    }
    // The fixed core: the per-user data of the mailbox, OneDrive and VM clients (the folder above the
    // users' own) under every type by every user other than the administrator, listed; and every entity
    // by every user under its own type, none and a type of another kind, listed at its root.
    static bool inCore(const TCell& c) {
        const TEntity& e = s->entities[c.entity];
        const zyent::AppBrowseWorld& apps = s->world.apps;
        const bool perUser = e.clientId == apps.mailboxClient || e.clientId == apps.oneDriveV1Client ||
                             e.clientId == apps.oneDriveV2Client || e.clientId == s->world.vsa.client;
        if (perUser && c.user != 0 && c.op == EOp::kList && c.path == 1) return true;
        const long other = e.appType == apptype::code(apptype::kFileSystem)
                               ? apptype::code(apptype::kExchangeMailbox)
                               : apptype::code(apptype::kFileSystem);
        return c.op == EOp::kList && c.path == 0 &&
               (c.claimed == 0 || c.claimed == e.appType || c.claimed == other);
    }

    struct TShared {
        TempDir dir;
        hubdemo::DemoWorld world;
        std::string binaries;
        std::unique_ptr<hubtest::CChildProcess> agent, legacyAgent, host;
        int routerPort = 0;
        std::vector<TUser> users;
        std::vector<TEntity> entities;
    };
    static TShared* s;
};
RightsMatrix::TShared* RightsMatrix::s = nullptr;

TEST_F(RightsMatrix, NoUserSeesMoreThanTheWorldGivesHimInAnyCombination) {
    std::vector<TCell> all = wholeSpace();
    const char* wanted = std::getenv("HUB_RIGHTS_MATRIX");
    const char* seedText = std::getenv("HUB_RIGHTS_MATRIX_SEED");
    const std::string mode = wanted ? wanted : "";
    std::vector<TCell> cells;
    if (mode == "all") {
        cells = all;
    } else {
        const size_t sample = mode.empty() ? 1500 : std::stoul(mode);
        std::vector<TCell> rest;
        for (const TCell& c : all) (inCore(c) ? cells : rest).push_back(c);
        std::mt19937_64 random(seedText ? std::stoull(seedText) : 20261209);
        std::shuffle(rest.begin(), rest.end(), random);
        rest.resize(std::min(rest.size(), sample));
        cells.insert(cells.end(), rest.begin(), rest.end());
    }
    std::cerr << "rights matrix: " << cells.size() << " of " << all.size() << " cells\n";

    // What the walk saw answered, so that a matrix that only ever met refusals fails too.
    std::map<std::string, size_t> answered;
    size_t leaks = 0, walked = 0;
    for (const TCell& c : cells) {
        TConsoleOptions options = optionsOf(c);
        CConsoleSession session(options, s->binaries + "/tools/hubmaster/hubmaster");
        TConsoleResult result;
        const int rc = session.run(result);
        if (rc == kExitOk && !result.items.empty()) ++answered[s->users[c.user].login];
        if (++walked % 1000 == 0) std::cerr << "rights matrix: " << walked << " cells walked\n";
        const std::string leak = judge(c, rc, result);
        if (leak.empty()) continue;
        ADD_FAILURE() << c.describe(s->users, s->entities) << ": " << leak << " (exit " << rc << ")";
        if (++leaks >= 25) break;
    }
    if (mode.empty() || mode == "all") {
        for (const char* login : {"admin", "alice", "EXCH\\mary", "EXCH\\sam", "TENANT\\olivia", "vmowner"})
            EXPECT_GT(answered[login], 0u) << login << " was never answered with items";
        EXPECT_EQ(answered["TENANT\\nemo"], 0u) << "nemo has no right at all";
    }
}

// Each user's own data answers on both roads, so that the walk above judges answers, not only refusals.
TEST_F(RightsMatrix, EachUserSeesHisOwnOnBothRoads) {
    const zyent::AppBrowseWorld& apps = s->world.apps;
    auto entityOf = [](long subclient) {
        for (size_t e = 0; e < s->entities.size(); ++e)
            if (s->entities[e].subclient == subclient) return e;
        return s->entities.size();
    };
    auto userOf = [](const std::string& login) {
        for (size_t u = 0; u < s->users.size(); ++u)
            if (s->users[u].login == login) return u;
        return s->users.size();
    };
    struct TOwn {
        std::string login;
        long subclient;
        std::string path, expected;
    };
    const std::vector<TOwn> owns = {
        {"EXCH\\mary", apps.mailboxSubclient, "\\MB", "/MB/" + apps.ownerGuid},
        {"EXCH\\sam", apps.mailboxSubclient, "\\MB", "/MB/" + apps.strangerGuid},
        {"TENANT\\olivia", apps.oneDriveV2Subclient, "\\OneDrive", "/OneDrive/" + apps.oneDriveEmail},
        {"alice", s->world.fileSubclient, "\\", ""},  // her client's whole root
    };
    for (const TOwn& own : owns)
        for (bool hub : {false, true}) {
            const size_t e = entityOf(own.subclient);
            ASSERT_LT(e, s->entities.size());
            TEntity& entity = s->entities[e];
            auto p = std::find(entity.paths.begin(), entity.paths.end(), own.path);
            if (p == entity.paths.end()) p = entity.paths.insert(entity.paths.end(), own.path);
            TCell c{userOf(own.login), e,   static_cast<size_t>(p - entity.paths.begin()),
                    entity.appType,    hub, EOp::kList};
            TConsoleOptions options = optionsOf(c);
            CConsoleSession session(options, s->binaries + "/tools/hubmaster/hubmaster");
            TConsoleResult result;
            ASSERT_EQ(session.run(result), kExitOk)
                << c.describe(s->users, s->entities) << ": " << result.error;
            std::set<std::string> paths;
            for (const TConsoleItem& item : result.items) paths.insert(normal(item.path));
            if (own.expected.empty()) {
                EXPECT_FALSE(paths.empty()) << c.describe(s->users, s->entities);
            } else {
                EXPECT_EQ(paths, std::set<std::string>{normal(own.expected)})
                    << c.describe(s->users, s->entities);
            }
        }
}

// The kind of an entity is the database's: a claimed type of another kind is refused on both roads,
// naming what the subclient holds and what was claimed.
TEST_F(RightsMatrix, AClaimedTypeOfAnotherKindIsRefusedNamingBoth) {
    const zyent::AppBrowseWorld& apps = s->world.apps;
    for (bool hub : {false, true}) {
        TConsoleOptions o;
        o.dataFolder = s->dir.file("demo");
        o.token = s->users[3].token;  // sam
        o.mediaAgentHost = "127.0.0.1";
        o.viaHubmaster = hub;
        o.client = "exchmb1";
        o.subclientId = apps.mailboxSubclient;
        o.appType = static_cast<int>(apptype::code(apptype::kFileSystem));
        o.paths = {"\\MB"};
        o.at = lastDay();
        o.progress = false;
        CConsoleSession session(o, s->binaries + "/tools/hubmaster/hubmaster");
        TConsoleResult result;
        EXPECT_NE(session.run(result), kExitOk);
        EXPECT_TRUE(result.items.empty());
        EXPECT_NE(result.error.find("subclient [" + std::to_string(apps.mailboxSubclient) +
                                    "] of client [exchmb1] holds Exchange mailboxes (type 54), not type 29"),
                  std::string::npos)
            << (hub ? "hubmaster: " : "router: ") << result.error;
    }
}

// A caller's session id of 60,000 characters is refused by the router, the Hubmaster's service and
// the media agent before it is logged: each refused request leaves a few hundred bytes of log at most.
TEST_F(RightsMatrix, AHugeSessionIdIsRefusedWithoutFloodingTheLogs) {
    auto logBytes = [] {
        uintmax_t bytes = 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(s->dir.path()))
            if (entry.is_regular_file() && entry.path().string().find(".log") != std::string::npos)
                bytes += entry.file_size();
        return bytes;
    };
    // The logs are written by other processes: read once they stop growing.
    auto settledLogBytes = [&] {
        uintmax_t last = logBytes();
        for (int quiet = 0, rounds = 0; quiet < 3 && rounds < 100; ++rounds) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const uintmax_t now = logBytes();
            quiet = now == last ? quiet + 1 : 0;
            last = now;
        }
        return last;
    };
    databrowse::BrowseRequest request;
    request.setint64(databrowse::BrowseRequest::f::opType, databrowse::BROWSE_OP_BROWSE);
    request.setstring(databrowse::BrowseRequest::f::token, "forged");
    request.getObjectAccessor(databrowse::BrowseRequest::f::session, true)
        ->setstring(databrowse::BrowseSession::f::sessionId, std::string(60000, 'S'));
    request.getObjectAccessor(databrowse::BrowseRequest::f::entity, true)
        ->setstring(ZyEntities::GenericEntity::f::clientName, "client1");
    const long long agentPort = s->agent->numberAfter(hubtest::kAgentListening);
    const uintmax_t before = settledLogBytes();
    constexpr int kRequests = 10;
    for (int n = 0; n < kRequests; ++n)
        for (const auto& [service, port] : {std::pair<const char*, long long>{"BrowseRouter", s->routerPort},
                                            {"HubmasterBrowse", s->routerPort},
                                            {"IndexingService_0", agentPort}}) {
            CZyNetwork session;
            bool timedOut = false;
            ASSERT_FALSE(session
                             .Connect(TZyNetAddress{"127.0.0.1", static_cast<int>(port)}, service,
                                      hubtest::kAnonymous, 10, timedOut)
                             .IsError())
                << service;
            ASSERT_FALSE(session.SendXMLMessage(request, 0, 10, timedOut).IsError()) << service;
            CNMessageBase* received = nullptr;
            ignoreResult(session.ReceiveXMLMessage(nullptr, received, nullptr, 0, 15, timedOut),
                         "a refusal or a closed session both end the request");
            std::unique_ptr<CNMessageBase> answer(received);
            if (auto* response = dynamic_cast<databrowse::BrowseResponse*>(answer.get())) {
                EXPECT_NE(response->getint64(databrowse::BrowseResponse::f::respType),
                          databrowse::BROWSE_RESP_ITEMS)
                    << service;
            }
            ignoreResult(session.Disconnect(5, timedOut), "the session ends either way");
        }
    const uintmax_t grown = settledLogBytes() - before;
    EXPECT_LE(grown, static_cast<uintmax_t>(kRequests) * 3 * 600) << grown << " bytes of log";
}

}  // namespace
