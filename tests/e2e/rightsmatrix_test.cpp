// Rights in every combination the demo world allows, judged both ways: each user of the world x each
// entity (every subclient, and every client named alone) x each application type the catalogue names
// (and none) x both roads x the operations (list, count, versions, find in one client and across
// clients, media, an erase's dry run, mining), at the entity's root and at paths into other users' data
// in several spellings. A model written here from the world's definition (rightsmatrix_model.h: who holds
// which right on which client, who owns which mailbox, OneDrive folder and virtual machine), never from
// the service's code, says what each cell gets: a refused cell the refusal of data its user may not
// browse (exit 3), the same whether the entity exists or not; a granted cell exactly what the model
// grants, the administrator's answer to the same request narrowed where the user's right is narrowed
// (her own mailbox, her own folder). Every answer is also judged for leaks alone, paths in any spelling
// included. Entities are named by ids and by names (client, subclient and backup-set names, the
// client's id) and in forms naming nothing that exists; application types cross the wire raw (negative,
// past 32 bits); list and versions are asked on both roads, which must agree. The host, the media
// agents and the consoles are real; the consoles run in this process, several at once, against one
// served world.
//
// By default a fixed core (the per-user data of the mailbox, OneDrive and VM clients by every user, and
// every entity under its own type, none and a wrong one) and a seeded sample of the rest run;
// HUB_RIGHTS_MATRIX=all walks the whole space, HUB_RIGHTS_MATRIX=<n> samples n cells of it, and
// HUB_RIGHTS_MATRIX_SEED=<n> picks another sample.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
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
#include "tests/e2e/rightsmatrix_model.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/demosystem.h"
#include "tests/support/sqlite/testsql.h"
#include "tests/support/tls/testpki.h"
#include "tools/browse/consoleoptions.h"
#include "tools/browse/consolesession.h"

namespace {

using rightsmodel::EForm;
using rightsmodel::EOp;
using rightsmodel::normal;
using rightsmodel::TAnswer;
using rightsmodel::TEntity;
using rightsmodel::TExpect;
using rightsmodel::within;

// Every application type the catalogue names, and 0: none claimed.
const std::vector<long> kCatalogueTypes = {
    0,
#define APP_TYPE(name, code, mailbox) code,
#include "platform/entities/apptypes.def"
#undef APP_TYPE
};

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
// The operations both roads serve; the others go to BrowseRouter alone.
bool bothRoads(EOp op) {
    return op == EOp::kList || op == EOp::kVersions;
}

const char* formName(EForm form) {
    static const char* const kNames[] = {"ids",
                                         "client id",
                                         "subclient name",
                                         "backup set GUID",
                                         "backup set id",
                                         "unknown client",
                                         "unknown subclient",
                                         "another client's subclient",
                                         "unknown subclient name",
                                         "unknown backup set",
                                         "another client's backup set",
                                         "unknown backup set GUID"};
    static_assert(std::size(kNames) == static_cast<size_t>(EForm::kUnknownBackupSetGuid) + 1);
    return kNames[static_cast<int>(form)];
}

// What a user may see of an entity, for the leak judge: everything, nothing, or what lies at or below
// some folders (and the names of the folders on the way to them).
struct TSight {
    enum EKind { kNothing, kAll, kBelow } kind = kNothing;
    std::vector<std::string> roots;  // normal paths, for kBelow
    bool mayErase = false;
};

struct TUser {
    std::string login, token;
};

struct TCell {
    size_t user = 0, entity = 0, path = 0;
    int64_t claimed = 0;
    bool viaHubmaster = false;  // the leak walk's road (list and versions are asked on both)
    EOp op = EOp::kList;
    EForm form = EForm::kIds;
    std::string describe(const std::vector<TUser>& users, const std::vector<TEntity>& entities) const {
        const TEntity& e = entities[entity];
        return std::string(opName(op)) + " by [" + users[user].login + "] of client [" + e.client +
               "] subclient [" + std::to_string(e.subclient) + "] named by " + formName(form) + " path [" +
               e.paths[path] + "] claiming type [" + std::to_string(claimed) + "] via " +
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
        std::set<std::pair<long, long>> holds;
        for (const TEntity& e : s->entities)
            if (e.subclient > 0) holds.insert({e.clientId, e.appType});
        s->model = std::make_unique<rightsmodel::CWorldModel>(s->world, std::move(holds));
    }
    static void TearDownTestSuite() {
        delete s;
        s = nullptr;
    }

    static std::string db() { return s->world.databasePath; }
    static long long lastDay() { return s->world.firstBackupTime + 86400LL * s->world.backupDays; }
    static std::string column(const std::string& what, long long subclient) {
        return hubtest::queryText(db(), "SELECT " + what + " WHERE a.id = " + std::to_string(subclient));
    }

    // Every subclient of the world, and every client with a subclient named alone, each with the paths
    // into its users' data: the canonical ones first, then other spellings of them.
    static void loadEntities() {
        const long long n = hubtest::queryInt(db(), "SELECT MAX(id) FROM APP_Application");
        std::map<std::string, long> clients;
        const std::string from = " FROM APP_Application a JOIN APP_Client c ON c.id = a.clientId";
        for (long long id = 1; id <= n; ++id) {
            TEntity e;
            e.client = column("c.name" + from, id);
            if (e.client.empty()) continue;
            e.clientId = static_cast<long>(std::stoll(column("a.clientId" + from, id)));
            e.subclient = static_cast<long>(id);
            e.appType = static_cast<long>(std::stoll(column("a.appTypeId" + from, id)));
            e.subclientName = column("a.subclientName" + from, id);
            e.backupSetGuid = column("b.GUID" + from + " JOIN APP_BackupSetName b ON b.id = a.backupSet", id);
            e.backupSetId = static_cast<long>(std::stoll(column("a.backupSet" + from, id)));
            clients[e.client] = e.clientId;
            s->entities.push_back(e);
        }
        for (const auto& [client, id] : clients) s->entities.push_back({client, id, 0, 0, "", "", {}, 0, 0});
        for (TEntity& e : s->entities) pathsOf(e);
    }
    static void pathsOf(TEntity& e) {
        const zyent::AppBrowseWorld& apps = s->world.apps;
        std::vector<std::string> odd;
        e.paths = {"\\"};
        if (e.clientId == apps.mailboxClient) {
            for (const std::string& guid : {apps.ownerGuid, apps.strangerGuid, apps.delegateGuid})
                e.paths.push_back("\\MB\\" + guid);
            e.paths.insert(e.paths.begin() + 1, "\\MB");
            odd = {"/MB/" + apps.strangerGuid + "/", "\\mb\\" + lower(apps.strangerGuid),
                   "//MB//" + apps.delegateGuid};
        }
        if (e.clientId == apps.oneDriveV1Client || e.clientId == apps.oneDriveV2Client) {
            e.paths.insert(e.paths.end(), {"\\OneDrive", "\\OneDrive\\" + apps.oneDriveEmail,
                                           "\\OneDrive\\oscar@example.com"});
            odd = {"/OneDrive/oscar@example.com", "\\ONEDRIVE\\OSCAR@EXAMPLE.COM\\"};
        }
        if (e.clientId == s->world.vsa.client)
            // The first path below the root is another VM than vmowner's (the core walks it).
            for (auto vm = s->world.vsa.vms.rbegin(); vm != s->world.vsa.vms.rend(); ++vm)
                e.paths.push_back("\\" + vm->guid);
        if (e.clientId == s->world.fileClient || e.clientId == s->world.otherFileClient)
            e.paths.push_back("/d00");
        e.canonical = e.paths.size();
        e.paths.insert(e.paths.end(), odd.begin(), odd.end());
    }
    static std::string lower(std::string text) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    }
    static size_t userOf(const std::string& login) {
        for (size_t u = 0; u < s->users.size(); ++u)
            if (s->users[u].login == login) return u;
        return s->users.size();
    }

    // What `login` may see of `e`, for the leak judge, from the world's definition (the README's table
    // of users): the administrator everything (but erases nothing); alice client1, which she may erase
    // in; each mailbox user his own mailbox of the mailbox client; olivia every client's backups but of
    // OneDrive her own folder, and of mailboxes her own (she has none); vmowner the VM vmalpha, by its
    // client and by its GUID under its hypervisor; dan and nemo nothing.
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

    // The console's options for a cell, by the user `user` on `road`.
    static TConsoleOptions optionsOf(const TCell& c, size_t user, bool viaHubmaster) {
        const TEntity& e = s->entities[c.entity];
        TConsoleOptions o;
        o.dataFolder = s->dir.file("demo");
        o.token = s->users[user].token;
        o.mediaAgentHost = "127.0.0.1";
        o.viaHubmaster = viaHubmaster;
        o.client = e.client;
        o.subclientId = static_cast<int>(e.subclient);
        // A claim the command line cannot give goes through the request as it is (requestEditor).
        if (c.claimed > 0 && c.claimed <= 0x7FFFFFFF) o.appType = static_cast<int>(c.claimed);
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

    // What the command line cannot say of a cell, said in its request.
    static std::function<void(databrowse::BrowseRequest&)> editorOf(const TCell& c) {
        using E = ZyEntities::GenericEntity::f;
        if (c.form == EForm::kIds && (c.claimed <= 0x7FFFFFFF && c.claimed >= 0)) return {};
        const TEntity& e = s->entities[c.entity];
        const TEntity* other = otherClientsSubclient(e);
        return [c, e, other](databrowse::BrowseRequest& r) {
            CNMessageBase* entity = r.getObjectAccessor(databrowse::BrowseRequest::f::entity, true);
            auto clear = [entity](const MsgFieldRef& f) { entity->clearField(f.tag, f.code); };
            if (c.claimed < 0 || c.claimed > 0x7FFFFFFF) entity->setint64(E::applicationId, c.claimed);
            switch (c.form) {
                case EForm::kIds:
                    break;
                case EForm::kClientId:
                    clear(E::clientName);
                    entity->setint64(E::clientId, e.clientId);
                    break;
                case EForm::kSubclientName:
                    clear(E::subclientId);
                    entity->setstring(E::subclientName, e.subclientName);
                    break;
                case EForm::kBackupSetGuid:
                    clear(E::subclientId);
                    entity->setstring(E::backupsetGUID, e.backupSetGuid);
                    break;
                case EForm::kUnknownClient:
                    entity->setstring(E::clientName, "no-such-client");
                    break;
                case EForm::kUnknownSubclient:
                    entity->setint64(E::subclientId, 987654);
                    break;
                case EForm::kOtherClientsSubclient:
                    entity->setint64(E::subclientId, other ? other->subclient : 0);
                    break;
                case EForm::kBackupSetId:
                    clear(E::subclientId);
                    entity->setint64(E::backupsetId, e.backupSetId);
                    break;
                case EForm::kUnknownBackupSet:
                    clear(E::subclientId);
                    entity->setint64(E::backupsetId, 987654);
                    break;
                case EForm::kOtherClientsBackupSet:
                    clear(E::subclientId);
                    entity->setint64(E::backupsetId, other ? other->backupSetId : 0);
                    break;
                case EForm::kUnknownSubclientName:
                    clear(E::subclientId);
                    entity->setstring(E::subclientName, "no-such-subclient");
                    break;
                case EForm::kUnknownBackupSetGuid:
                    clear(E::subclientId);
                    entity->setstring(E::backupsetGUID, "0BADC0DE-0000-4000-8000-000000000000");
                    break;
            }
        };
    }
    static const TEntity* otherClientsSubclient(const TEntity& e) {
        for (const TEntity& other : s->entities)
            if (other.subclient > 0 && other.clientId != e.clientId) return &other;
        return nullptr;
    }

    // One run of a cell by `user` on a road.
    static TAnswer run(const TCell& c, size_t user, bool viaHubmaster, TConsoleResult* out = nullptr) {
        CConsoleSession session(optionsOf(c, user, viaHubmaster), s->binaries + "/tools/hubmaster/hubmaster");
        if (auto edit = editorOf(c)) session.setRequestEditor(std::move(edit));
        TConsoleResult result;
        const int rc = session.run(result);
        if (out) *out = result;
        return rightsmodel::answerOf(rc, result);
    }
    // The administrator's answer to the cell on a road (at `path` when given), asked once.
    static TAnswer adminAnswer(TCell c, bool viaHubmaster, const std::string& path = "") {
        if (!path.empty()) {
            // The model names a path of the entity's own.
            const TEntity& e = s->entities[c.entity];
            auto at = std::find(e.paths.begin(), e.paths.end(), path);
            if (at == e.paths.end()) return TAnswer{-1, "no such path of the entity: " + path, {}, {}, {}};
            c.path = static_cast<size_t>(at - e.paths.begin());
        }
        const std::string key = std::to_string(c.entity) + "|" + std::to_string(c.path) + "|" +
                                std::to_string(c.claimed) + "|" + opName(c.op) + "|" + formName(c.form) +
                                "|" + (viaHubmaster ? "h" : "r");
        std::shared_future<TAnswer> answer;
        {
            std::lock_guard<std::mutex> lock(s->cacheLock);
            auto [it, fresh] = s->adminAnswers.emplace(key, std::shared_future<TAnswer>());
            if (fresh)
                it->second = std::async(std::launch::deferred, [c, viaHubmaster] {
                                 return run(c, 0, viaHubmaster);
                             }).share();
            answer = it->second;
        }
        return answer.get();
    }

    // Judges the answer of `c` by its user for leaks alone, against what he may see; "" when it is no
    // more, else what leaked.
    static std::string leakOf(const TCell& c, int rc, const TConsoleResult& r) {
        const TEntity& e = s->entities[c.entity];
        const std::string& login = s->users[c.user].login;
        if (c.op == EOp::kEraseDryRun)
            return rc == kExitOk && !sight(login, e).mayErase ? "an erase's dry run was accepted" : "";
        if (rc != kExitOk && r.items.empty() && r.media.empty()) return "";
        if (c.op == EOp::kFindAcross) {
            // Items of a find across clients name their client; each is judged by that client's sight.
            for (const TConsoleItem& item : r.items) {
                TEntity of{item.client, 0, item.subclientId, 0, "", "", {}, 0, 0};
                for (const TEntity& known : s->entities)
                    if (known.client == item.client) of.clientId = known.clientId;
                if (std::string why = leakOfItem(login, of, item.path); !why.empty()) return why;
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
        if (sight.kind == TSight::kNothing || !askedOnTheWay) {
            if (!r.items.empty())
                return std::to_string(r.items.size()) + " item(s), first [" + r.items[0].path + "]";
            if (!r.media.empty()) return std::to_string(r.media.size()) + " media";
            for (const auto& [id, count] : r.counts)
                if (count > 0) return "a count of " + std::to_string(count);
            return "";
        }
        for (const TConsoleItem& item : r.items)
            if (std::string why = leakOfItem(login, e, item.path); !why.empty()) return why;
        return "";
    }
    // An item of `e` at `path` (as answered) that its user may see: in a folder of his, or a folder on the
    // way to one.
    static std::string leakOfItem(const std::string& login, const TEntity& e, const std::string& path) {
        const TSight sight = RightsMatrix::sight(login, e);
        if (sight.kind == TSight::kAll) return "";
        const std::string item = normal(path);
        for (const std::string& root : sight.roots)
            if (within(item, root) || within(root, item)) return "";
        return "item [" + path + "] of client [" + e.client + "]";
    }

    // The entity a cell's request names: the cell's own, but for a backup set named by its GUID (the
    // backup set's first subclient, which the record gives it) and a subclient named by a name (the one
    // subclient of the client with that name; a name several share names nothing that exists).
    static const TEntity& namedBy(const TCell& c, EForm& form) {
        const TEntity& e = s->entities[c.entity];
        const bool backupSet = form == EForm::kBackupSetGuid || form == EForm::kBackupSetId;
        if (!backupSet && form != EForm::kSubclientName) return e;
        const TEntity* first = nullptr;
        size_t sharing = 0;
        for (const TEntity& other : s->entities) {
            const bool same =
                other.subclient > 0 && other.clientId == e.clientId &&
                (backupSet ? other.backupSetId == e.backupSetId : other.subclientName == e.subclientName);
            if (!same) continue;
            ++sharing;
            if (!first || other.subclient < first->subclient) first = &other;
        }
        if (form == EForm::kSubclientName && sharing > 1) form = EForm::kUnknownSubclientName;
        return first ? *first : e;
    }

    // A find across clients by the cell's user: the administrator's items of the clients and subclients
    // the model searches for him, nothing else.
    static std::string judgeFindAcross(const TCell& c, const TAnswer& user) {
        const std::string& login = s->users[c.user].login;
        std::vector<std::string> due;
        const TAnswer admin = adminAnswer(c, false);
        const TConsoleOptions options = optionsOf(c, c.user, false);
        for (const std::string& item : admin.items) {
            // An item of a virtual machine names the machine: it is searched as its hypervisor is.
            std::string client = item.substr(item.rfind('|') + 1);
            if (std::find(options.clients.begin(), options.clients.end(), client) == options.clients.end())
                client = s->entities[c.entity].client;
            for (const TEntity& e : s->entities)
                if (e.client == client && e.subclient > 0 &&
                    s->model->searches(login, e.clientId, e.appType)) {
                    due.push_back(item);
                    break;
                }
        }
        // (An item names its client, not its subclient: a client of narrowed and whole subclients keeps
        // the whole one's items; the leak judge sees to the rest.)
        for (const std::string& item : user.items)
            if (std::find(admin.items.begin(), admin.items.end(), item) == admin.items.end())
                return "item [" + item + "] the administrator's find does not hold";
        for (const std::string& item : due)
            if (std::find(user.items.begin(), user.items.end(), item) == user.items.end())
                return "item [" + item + "] missing";
        return {};
    }

    // Judges one cell by its user on every road it is asked on: against the model where its path is
    // canonical, for leaks always; on both roads the answers must agree. The failures, empty: none.
    static std::vector<std::string> judgeCell(const TCell& c, bool& answered) {
        std::vector<std::string> failures;
        const TEntity& e = s->entities[c.entity];
        const std::string& login = s->users[c.user].login;
        EForm form = c.form;
        const TEntity& named = namedBy(c, form);
        const TExpect expect = s->model->expect(login, named, e.paths[c.path], c.op, c.claimed, form);
        const bool exact = c.path < e.canonical && (c.op != EOp::kMine || expect.kind == TExpect::kRefused);
        std::vector<bool> roads = {c.viaHubmaster};
        if (bothRoads(c.op)) roads = {false, true};
        std::vector<TAnswer> answers;
        for (bool hub : roads) {
            TConsoleResult result;
            const TAnswer user = run(c, c.user, hub, &result);
            answers.push_back(user);
            answered = answered || (user.exit == kExitOk && !user.items.empty());
            const std::string road = hub ? " via hubmaster: " : " via router: ";
            if (std::string leak = leakOf(c, user.exit, result); !leak.empty())
                failures.push_back(c.describe(s->users, s->entities) + road + "leak: " + leak);
            if (!exact || c.user == 0) continue;
            ++s->judged[c.op == EOp::kFindAcross ? TExpect::kAsAdmin : expect.kind];
            std::string wrong;
            if (c.op == EOp::kFindAcross) {
                wrong = judgeFindAcross(c, user);
            } else {
                const bool needsAdmin = expect.kind == TExpect::kAsAdmin || expect.kind == TExpect::kNarrowed;
                const TAnswer admin = needsAdmin ? adminAnswer(c, hub) : TAnswer();
                TAnswer at;
                if (expect.kind == TExpect::kAsAdminAt) at = adminAnswer(c, hub, expect.path);
                wrong = rightsmodel::judge(expect, user, admin, &at);
            }
            if (!wrong.empty()) failures.push_back(c.describe(s->users, s->entities) + road + wrong);
        }
        if (answers.size() == 2 &&
            (answers[0].exit != answers[1].exit || answers[0].error != answers[1].error ||
             answers[0].items != answers[1].items))
            failures.push_back(c.describe(s->users, s->entities) + ": the roads disagree: router exit " +
                               std::to_string(answers[0].exit) + " [" + answers[0].error + "] " +
                               std::to_string(answers[0].items.size()) + " item(s), hubmaster exit " +
                               std::to_string(answers[1].exit) + " [" + answers[1].error + "] " +
                               std::to_string(answers[1].items.size()) + " item(s)");
        return failures;
    }

    // Walks `cells` on several consoles at once (each cell's runs are its own); reports at most
    // `limit` failures. `answered`: the users answered with items.
    static void walk(const std::vector<TCell>& cells, std::set<std::string>* answered = nullptr,
                     size_t limit = 400) {
        constexpr unsigned kConsoles = 4;
        std::atomic<size_t> next{0};
        std::mutex lock;
        std::vector<std::string> failures;
        std::set<std::string> seen;
        auto console = [&] {
            for (size_t n; (n = next++) < cells.size();) {
                {
                    std::lock_guard<std::mutex> guard(lock);
                    if (failures.size() >= limit) return;
                }
                bool withItems = false;
                std::vector<std::string> found = judgeCell(cells[n], withItems);
                std::lock_guard<std::mutex> guard(lock);
                failures.insert(failures.end(), found.begin(), found.end());
                if (withItems) seen.insert(s->users[cells[n].user].login);
            }
        };
        std::vector<std::thread> consoles;
        for (unsigned t = 0; t < kConsoles; ++t) consoles.emplace_back(console);
        for (std::thread& t : consoles) t.join();
        for (size_t f = 0; f < failures.size() && f < limit; ++f) ADD_FAILURE() << failures[f];
        if (answered) *answered = seen;
    }

    // The cells of the whole space, in a fixed order: list and versions once (both roads are asked),
    // the other operations on BrowseRouter, which alone serves them.
    static std::vector<TCell> wholeSpace() {
        std::vector<TCell> cells;
        for (size_t u = 0; u < s->users.size(); ++u)
            for (size_t e = 0; e < s->entities.size(); ++e)
                for (size_t p = 0; p < s->entities[e].paths.size(); ++p)
                    for (long type : kCatalogueTypes)
                        for (EOp op : kOps)
                            if (op != EOp::kMine || isMined(s->entities[e]))
                                cells.push_back({u, e, p, type, false, op, EForm::kIds});
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
    // The fixed core: every entity by every user under its own type, none and a type of another kind,
    // listed at its root, and an erase's dry run of it; the per-user data of the mailbox, OneDrive and
    // VM clients by every user other than the administrator: each canonical path listed under those
    // types, and the media at the root and the folder above the users' own.
    static bool inCore(const TCell& c) {
        const TEntity& e = s->entities[c.entity];
        const zyent::AppBrowseWorld& apps = s->world.apps;
        const bool perUser = e.clientId == apps.mailboxClient || e.clientId == apps.oneDriveV1Client ||
                             e.clientId == apps.oneDriveV2Client || e.clientId == s->world.vsa.client;
        const long other = e.appType == apptype::code(apptype::kFileSystem)
                               ? apptype::code(apptype::kExchangeMailbox)
                               : apptype::code(apptype::kFileSystem);
        const bool ownNoneOrOther = c.claimed == 0 || c.claimed == e.appType || c.claimed == other;
        if (perUser && c.user != 0 && c.op == EOp::kList && c.path < e.canonical && ownNoneOrOther)
            return true;
        if (perUser && c.user != 0 && c.op == EOp::kMedia && c.path <= 1 && c.claimed == 0) return true;
        if (c.op == EOp::kEraseDryRun && c.path == 0 && c.claimed == 0) return true;
        return c.op == EOp::kList && c.path == 0 && ownNoneOrOther;
    }
    // `all`'s core and a seeded sample of `sample` of the rest, or the whole of it (HUB_RIGHTS_MATRIX).
    static std::vector<TCell> sampled(const std::vector<TCell>& all,
                                      const std::function<bool(const TCell&)>& core, size_t sample) {
        const char* wanted = std::getenv("HUB_RIGHTS_MATRIX");
        const char* seedText = std::getenv("HUB_RIGHTS_MATRIX_SEED");
        const std::string mode = wanted ? wanted : "";
        if (mode == "all") return all;
        if (!mode.empty()) sample = std::stoul(mode);
        std::vector<TCell> cells, rest;
        for (const TCell& c : all) (core(c) ? cells : rest).push_back(c);
        std::mt19937_64 random(seedText ? std::stoull(seedText) : 20261209);
        std::shuffle(rest.begin(), rest.end(), random);
        rest.resize(std::min(rest.size(), sample));
        cells.insert(cells.end(), rest.begin(), rest.end());
        return cells;
    }
    // One entity per kind of data the world holds, for the walks of names and numbers.
    static std::vector<size_t> representatives() {
        const zyent::AppBrowseWorld& apps = s->world.apps;
        std::vector<size_t> out;
        for (long subclient :
             {static_cast<long>(s->world.fileSubclient), static_cast<long>(apps.mailboxSubclient),
              static_cast<long>(apps.oneDriveV1Subclient), static_cast<long>(apps.oneDriveV2Subclient),
              static_cast<long>(s->world.vsa.subclient),
              static_cast<long>(s->world.vsa.vms.front().subclientId),
              static_cast<long>(apps.exchDbSubclient), static_cast<long>(s->world.legacy.subclient)})
            for (size_t e = 0; e < s->entities.size(); ++e)
                if (s->entities[e].subclient == subclient) out.push_back(e);
        return out;
    }

    struct TShared {
        TempDir dir;
        hubdemo::DemoWorld world;
        std::string binaries;
        std::unique_ptr<hubtest::CChildProcess> agent, legacyAgent, host;
        int routerPort = 0;
        std::vector<TUser> users;
        std::vector<TEntity> entities;
        std::unique_ptr<rightsmodel::CWorldModel> model;
        std::mutex cacheLock;
        std::map<std::string, std::shared_future<TAnswer>> adminAnswers;  // guarded by cacheLock
        std::atomic<size_t> judged[TExpect::kNotAccepted + 1] = {};       // runs judged, by expectation
    };
    // How many runs the model judged, by what it expected: so that a walk that judged nothing fails.
    static std::string judgedCounts() {
        static const char* const kNames[] = {
            "as the administrator",           "refused",     "refused saying why", "narrowed",
            "as the administrator elsewhere", "not refused", "not accepted"};
        std::string out;
        for (int k = 0; k <= TExpect::kNotAccepted; ++k)
            out +=
                std::string(out.empty() ? "" : ", ") + kNames[k] + " " + std::to_string(s->judged[k].load());
        return out;
    }
    static TShared* s;
};
RightsMatrix::TShared* RightsMatrix::s = nullptr;

TEST_F(RightsMatrix, NoUserSeesMoreThanTheWorldGivesHimInAnyCombination) {
    const std::vector<TCell> all = wholeSpace();
    const std::vector<TCell> cells = sampled(all, inCore, 1200);
    std::cerr << "rights matrix: " << cells.size() << " of " << all.size() << " cells\n";
    // What the walk saw answered, so that a matrix that only ever met refusals fails too.
    std::set<std::string> answered;
    walk(cells, &answered);
    std::cerr << "rights matrix: judged by the model: " << judgedCounts() << "\n";
    for (TExpect::EKind kind : {TExpect::kAsAdmin, TExpect::kRefused, TExpect::kRefusedSaying,
                                TExpect::kNarrowed, TExpect::kAsAdminAt})
        EXPECT_GT(s->judged[kind].load(), 0u)
            << "the walk judged no cell of kind " << kind << ": " << judgedCounts();
    if (!std::getenv("HUB_RIGHTS_MATRIX") || std::string(std::getenv("HUB_RIGHTS_MATRIX")) == "all") {
        for (const char* login : {"admin", "alice", "EXCH\\mary", "EXCH\\sam", "TENANT\\olivia", "vmowner"}) {
            EXPECT_TRUE(answered.count(login)) << login << " was never answered with items";
        }
        EXPECT_FALSE(answered.count("TENANT\\nemo")) << "nemo has no right at all";
    }
}

// An entity named by its other names is the same entity; one naming nothing that exists (an unknown
// client, subclient, subclient name or backup set, a subclient of another client) tells a user who may
// not see the client it names nothing: the refusal of data he may not browse, as for one that exists.
// A user who may see it is told what the administrator is told. Both roads, every user.
TEST_F(RightsMatrix, ARefusalTellsNothingOfWhatItRefuses) {
    std::vector<TCell> all;
    const std::vector<size_t> representative = representatives();
    for (size_t u = 0; u < s->users.size(); ++u)
        for (size_t e = 0; e < s->entities.size(); ++e)
            for (int f = 0; f <= static_cast<int>(EForm::kUnknownBackupSetGuid); ++f)
                if (s->entities[e].subclient > 0)
                    all.push_back(
                        {u, e, 0, 0, false, f % 3 == 0 ? EOp::kMedia : EOp::kList, static_cast<EForm>(f)});
    auto core = [&](const TCell& c) {
        return std::find(representative.begin(), representative.end(), c.entity) != representative.end();
    };
    const std::vector<TCell> cells = sampled(all, core, 200);
    std::cerr << "rights matrix, names: " << cells.size() << " of " << all.size() << " cells\n";
    walk(cells);
}

// Application types cross the wire as numbers: a negative one or one past 32 bits names no type and is
// refused as such, to every user, on both roads alike; -1 and 0 name none.
TEST_F(RightsMatrix, RawTypeNumbersAreJudgedAlikeOnBothRoads) {
    std::vector<TCell> cells;
    for (size_t u = 0; u < s->users.size(); ++u)
        for (size_t e : representatives()) {
            const int64_t recorded = s->entities[e].appType;
            for (int64_t type : {-recorded, int64_t{-1}, int64_t{0x80000000}, (int64_t{1} << 32) + recorded})
                cells.push_back({u, e, 0, type, false, EOp::kList, EForm::kIds});
        }
    std::cerr << "rights matrix, raw types: " << cells.size() << " cells\n";
    walk(cells);
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
            TConsoleOptions options = optionsOf(c, c.user, c.viaHubmaster);
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
