// Authorisation on every road, through the real processes: the host program serving "BrowseRouter" and
// "HubmasterBrowse", the media agent of client1's and client2's data, the classic media agent of
// client3's, the console, and sessions this test opens itself as an outsider would. Each refusal is
// checked together with what it must leave untouched: no items, usage figures, erase marks, the task
// store and another user's session.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "planning/handedover.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/msg/erasedryrun.h"
#include "platform/net/zyd_listener.h"
#include "platform/net/zynetwork.h"
#include "platform/restoreproto/fsr_messages.h"
#include "platform/threads/hubmutex.h"
#include "tests/e2e/routerstop.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/consolerun.h"
#include "tests/support/process/demosystem.h"
#include "tests/support/process/processprobe.h"
#include "tests/support/sqlite/testsql.h"
#include "tests/support/tls/testpki.h"
#include "tools/browse/consoleoptions.h"
#include "tools/browse/consolesession.h"
#include "tools/mediaagent/ondemandservices.h"
#include "tools/mediaagent/superbrowseanswer.h"

namespace {

using namespace std::chrono_literals;
using R = databrowse::BrowseRequest::f;

constexpr const char* kDenied = "Browse access denied";
// A browse under another caller's session id is refused as one in use, naming nobody.
constexpr const char* kInUse = "is in use by another caller";
constexpr const char* kListening = "listening on 127.0.0.1:";
// client1's and client2's media agent: its answers of sessions named "held-..." wait for their stop.
const std::vector<std::string> kAgentOptions{"--index-service", "started",        "--hold-sessions",
                                             "held-",           "--hold-seconds", "600"};

using TRun = hubtest::TConsoleRun;

// What one raw session got: the responses' types and texts, and whether a prepared request came.
struct TAnswers {
    std::vector<int64_t> types;
    std::string texts;
    bool prepared = false;
    std::shared_ptr<CNMessageBase> request;  // the request prepared for the caller, when one came
    size_t items = 0;
};

// What the mining services of the machines a test plays were sent: each launch request and its input,
// and each message, as text.
struct TMiningReceived {
    CHubMutex mutex;
    std::string text GUARDED_BY(mutex);
    size_t requests GUARDED_BY(mutex) = 0;
    size_t launchInputs GUARDED_BY(mutex) = 0;  // launches that handed the service an input

    void add(const std::string& what, bool request, bool launchInput) {
        CHubMutexLock lock(mutex);
        text += what + "\n";
        requests += request;
        launchInputs += launchInput;
    }
};

constexpr const char* kCapturedAnswer = "the mining service played by the test only listened";

// One instance of a mining service ("LiveBrowseServer", "ZYAppMinningIdxService") of a machine the test
// plays: it keeps what it is sent and answers as that machine with an error and the end, through the
// BrowseRouter the request names, so that the browse ends as any mining does.
class CCapturingMiner : public mediaagent::CLaunchedInstance {
public:
    CCapturingMiner(std::shared_ptr<TMiningReceived> received, const TZyLaunch& launch)
        : CLaunchedInstance(launch, &onXml), m_received(std::move(received)) {
        if (!launch.request) return;
        CNSession::LaunchOnDemandServiceReq request = *launch.request;
        std::string text;
        EXPECT_EQ(request.serialize(text), 0);
        const std::string input = request.getstring(CNSession::LaunchOnDemandServiceReq::f::launchInput);
        m_received->add(text + "\n" + input, false, !input.empty());
    }
    ~CCapturingMiner() override { endServing(); }

private:
    static void onXml(ZynCallback_e, CZyNetworkServer* server, long long handle, CNMessageBase* message) {
        std::unique_ptr<CNMessageBase> owned(message);
        auto* self = dynamic_cast<CCapturingMiner*>(server);
        CZySessionLease session(server, handle);
        if (!self || !owned || !session) return;
        if (owned->getTagID() == ZYS_PM_DISCONNECT_REQ) {
            replyDisconnect(*session);
            return;
        }
        std::string text;
        EXPECT_EQ(owned->serialize(text), 0);
        auto* request = dynamic_cast<databrowse::BrowseRequest*>(owned.get());
        self->m_received->add(text, request != nullptr, false);
        if (!request) return;
        using C = databrowse::ApplicationMiningConnectionInfo::f;
        CNMessageBase* connection =
            request->getObjectAccessor(R::advOptions, true)
                ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true)
                ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::appMiningBlock, true)
                ->getObjectAccessor(databrowse::Msg60::f::connectionInfo, true);
        mediaagent::TIndexBrowsePlan plan;
        plan.workerId = connection->getstring(C::workerId);
        plan.hubmasterHost = connection->getstring(C::hubmasterHostName);
        plan.routerName = connection->getstring(C::browseRouterName);
        plan.session =
            request->getObjectAccessor(R::session, true)->getstring(databrowse::BrowseSession::f::sessionId);
        plan.localName = session->GetOwnCertificateName();
        self->answerApart([plan] {
            std::string outcome;
            EXPECT_TRUE(mediaagent::deliverIndexBrowseAnswer(plan, nullptr, kCapturedAnswer, 100, outcome))
                << outcome;
        });
    }

    const std::shared_ptr<TMiningReceived> m_received;
};

class Authorisation : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s = new TShared;
        ASSERT_EQ(hubtest::demoWorldIn(s->dir.file("demo"), s->world), "");
        s->binaries = hubtest::binaryDir();
        s->agent = startAgent("mediaagent1", kAgentOptions);
        s->legacyAgent = startAgent("mediaagent3", {});
        s->host = hubtest::startDemoHost(s->world, s->dir.file("demo"), s->hostPort);
        s->otherSubclient =
            hubtest::queryInt(db(), "SELECT id FROM APP_Application WHERE clientId = " +
                                        std::to_string(s->world.otherFileClient) + " LIMIT 1");
        sql("INSERT INTO APP_SubclientUsage (subclientId, usedBytes) VALUES (" +
            std::to_string(s->otherSubclient) + ", 5000000), (" + std::to_string(s->world.fileSubclient) +
            ", 5000000)");
        s->aliceToken = hubtest::issueToken(s->dir.file("demo"), "alice");
        s->adminToken = hubtest::issueToken(s->dir.file("demo"), "admin");
    }
    static void TearDownTestSuite() {
        hubtest::expectEveryFailureSaidWhy(s->dir.file("demo"));
        delete s;
        s = nullptr;
    }

    // The media agent process `name` over the world, its port recorded where the Hubmaster reads it.
    static std::unique_ptr<hubtest::CChildProcess> startAgent(const std::string& name,
                                                              const std::vector<std::string>& extra) {
        return hubtest::startDemoAgent(s->world, name, s->dir.file(name + ".db"), s->dir.path(), extra);
    }

    static std::string db() { return s->world.databasePath; }
    static void sql(const std::string& statement) { EXPECT_EQ(hubtest::execSql(db(), statement), ""); }
    static long long count(const std::string& query) { return hubtest::queryInt(db(), query); }
    static long long usage(long long subclient) {
        return count("SELECT usedBytes FROM APP_SubclientUsage WHERE subclientId = " +
                     std::to_string(subclient));
    }
    static long long erasePending(long long subclient) {
        return count("SELECT COUNT(*) FROM APP_SubClientProp WHERE componentNameId = " +
                     std::to_string(subclient) + " AND attrName = 'EndUser Erase Pending'");
    }
    static long long tasks() { return count("SELECT COUNT(*) FROM TM_CreatedTask"); }

    // The console with the demo's connection options; `who` says who asks.
    static TRun browse(const std::string& args, const std::string& who, const std::string& errName = "stderr",
                       int timeoutSeconds = 30) {
        const std::string errFile = s->dir.file(errName);
        const std::string command =
            s->binaries + "/tools/browse/browse " + args + " --data " + s->dir.file("demo") + " " + who +
            " --ma-host 127.0.0.1 --quiet --timeout " + std::to_string(timeoutSeconds);
        return hubtest::runConsole(command, errFile,
                                   std::chrono::seconds(std::max(120, timeoutSeconds + 60)));
    }

    // A request as the console builds it from its words.
    static databrowse::BrowseRequest request(const std::string& words) {
        std::vector<std::string> parts{"browse"};
        std::istringstream in(words);
        for (std::string w; in >> w;) parts.push_back(w);
        std::vector<char*> argv;
        for (std::string& w : parts) argv.push_back(w.data());
        TConsoleOptions options;
        std::string error;
        EXPECT_TRUE(parseConsoleArgs(static_cast<int>(argv.size()), argv.data(), options, error)) << error;
        return buildConsoleRequest(options);
    }

    // The same with its one erase path replaced by `path`: a hand-made request naming a path the console
    // itself refuses as a command line to mend (it applies the Hubmaster's own rule of erase paths).
    static databrowse::BrowseRequest withErasePath(const std::string& words, const std::string& path) {
        databrowse::BrowseRequest made = request(words + " --path /d00/placeholder=1");
        auto* paths = made.getlistobject(databrowse::BrowseRequest::f::paths, false);
        EXPECT_TRUE(paths && paths->size() == 1u);
        if (paths && !paths->empty()) paths->front().setstring(databrowse::BrowsePath::f::path, path);
        std::vector<std::string> parts{"browse"};
        std::istringstream in(words + " --path " + path + "=1");
        for (std::string w; in >> w;) parts.push_back(w);
        std::vector<char*> argv;
        for (std::string& w : parts) argv.push_back(w.data());
        TConsoleOptions options;
        std::string error;
        EXPECT_FALSE(parseConsoleArgs(static_cast<int>(argv.size()), argv.data(), options, error)) << path;
        return made;
    }

    // Sends `message` to `service` at `port` as a peer that says it is `name` ("" for none), and reads
    // until an end, an error, a prepared request or `seconds` of silence.
    static TAnswers ask(CNMessageBase& message, const char* service, const std::string& name, int port,
                        int seconds = 15) {
        TAnswers a;
        CZyNetwork session;
        bool timedOut = false;
        if (session.Connect(TZyNetAddress{"127.0.0.1", port}, service, name.c_str(), 10, timedOut)
                .IsError() ||
            session.SendXMLMessage(message, 0, 10, timedOut).IsError()) {
            a.texts = "no session";
            return a;
        }
        for (;;) {
            CNMessageBase* received = nullptr;
            ignoreResult(session.ReceiveXMLMessage(nullptr, received, nullptr, 0, seconds, timedOut),
                         "no answer ends the loop next");
            std::unique_ptr<CNMessageBase> answer(received);
            if (!answer) break;
            auto* response = dynamic_cast<databrowse::BrowseResponse*>(answer.get());
            if (!response) {
                a.prepared = true;
                a.request = std::move(answer);
                break;
            }
            const int64_t type = response->getint64(databrowse::BrowseResponse::f::respType);
            a.types.push_back(type);
            if (auto* messages = response->getlistobject(databrowse::BrowseResponse::f::messages, false))
                for (CNMessageBase& m : *messages)
                    a.texts += m.getstring(databrowse::BrowseError::f::errorMessage) + "\n";
            if (CNMessageBase* result =
                    response->getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false))
                if (auto* data = result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false))
                    a.items += data->size();
            if (type == 3 || type == 5) break;
        }
        ignoreResult(session.Disconnect(5, timedOut),
                     "the session ends either way; a peer already gone is no fault");
        return a;
    }
    // As a console on a desk (no certificate), unless a machine is named.
    static TAnswers askRouter(CNMessageBase& message, const std::string& name = hubtest::kAnonymous) {
        return ask(message, "BrowseRouter", name, s->hostPort);
    }
    static TAnswers askHost(CNMessageBase& message) {
        return ask(message, "HubmasterBrowse", hubtest::kAnonymous, s->hostPort);
    }

    static std::string fileSubclient() {
        return "--client client1 --subclient " + std::to_string(s->world.fileSubclient);
    }
    static std::string otherSubclient() {
        return "--client client2 --subclient " + std::to_string(s->otherSubclient);
    }
    static std::string lastDay() {
        return std::to_string(s->world.firstBackupTime + 86400LL * s->world.backupDays);
    }
    static std::string alice() { return "--token " + s->aliceToken; }
    static std::string admin() { return "--token " + s->adminToken; }
    static std::string hostLog() {
        std::ifstream in(s->dir.file("demo") + "/hubmaster.log");
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static size_t occurrences(const std::string& haystack, const std::string& needle) {
        size_t n = 0;
        for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
            ++n;
        return n;
    }
    // A stop of `session` as the holder of `token`; back once the router has handled it (it answers none).
    static void stopAs(const std::string& session, const std::string& token) {
        e2estop::sendRouterStop(s->hostPort, session, token);
    }

    struct TShared {
        TempDir dir;
        hubdemo::DemoWorld world;
        std::string binaries, aliceToken, adminToken;
        std::unique_ptr<hubtest::CChildProcess> agent, legacyAgent, host;
        int hostPort = 0;
        long long otherSubclient = 0;
    };
    static TShared* s;
};
Authorisation::TShared* Authorisation::s = nullptr;

// 1. A request without a user and without a token, from a caller that is no configured trusted peer,
// is refused on every road: nothing listed, counted, found or predicted.
TEST_F(Authorisation, NoCredentialsNoAnswerOnAnyRoad) {
    const std::string what = otherSubclient() + " --at " + lastDay();
    // The console knows it has neither and says how to give a token, sending nothing.
    for (const char* command : {"list", "count", "media"}) {
        TRun run = browse(std::string(command) + " " + what, "");
        EXPECT_EQ(run.status, 2) << command << ": " << run.out;
        EXPECT_NE(run.err.find("no token was given"), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find(" /d0"), std::string::npos) << run.out;
    }
    // An empty token is refused before anything is sent.
    TRun emptyToken = browse("list " + what, "--token ''");
    EXPECT_EQ(emptyToken.status, 2) << emptyToken.out;
    EXPECT_EQ(emptyToken.out.find(" /d0"), std::string::npos);
    TRun hosted = browse("list " + what + " --via hubmaster", "");
    EXPECT_EQ(hosted.status, 2);
    EXPECT_NE(hosted.err.find("no token was given"), std::string::npos) << hosted.err;

    // An anonymous peer (no client name at all) on BrowseRouter: an error, no prepared request.
    databrowse::BrowseRequest anonymous = request("list " + what);
    TAnswers answers = askRouter(anonymous);
    EXPECT_FALSE(answers.prepared);
    ASSERT_FALSE(answers.types.empty());
    EXPECT_EQ(answers.types.front(), 3) << answers.texts;
    // A find across clients from it is refused too, and so are media conversions.
    databrowse::BrowseRequest find = request("find --clients client1,client2 --name f* --at " + lastDay());
    TAnswers found = askRouter(find);
    EXPECT_FALSE(found.prepared);
    EXPECT_NE(found.texts.find("Failed to authenticate"), std::string::npos) << found.texts;
    databrowse::MediaPredictionConvReq conversion;
    databrowse::LogicalMedia media;
    media.setint64(databrowse::LogicalMedia::f::archFileId,
                   count("SELECT MIN(id) FROM archFile WHERE appId = " + std::to_string(s->otherSubclient)));
    databrowse::PredictionData prediction;
    prediction.setObjectAccessor(media, databrowse::PredictionData::f::logicalMedia);
    conversion.setlistobject(databrowse::MediaPredictionConvReq::f::predictionData, {prediction});
    TAnswers converted = askRouter(conversion);
    EXPECT_FALSE(converted.prepared);
    EXPECT_NE(converted.texts.find(kDenied), std::string::npos) << converted.texts;
}

// A media conversion tells where a client's backups are kept: it is answered for the client whose
// backups those are (or a machine the client map lets act for it) and for the infrastructure, judged by
// every archive file it names and by the backup set whose index files it asks to be looked up. One that
// names nothing to judge it by is refused, and so is a console without a certificate: it asks for media
// with a media browse and its token.
TEST_F(Authorisation, ConversionsAreJudgedByEverythingTheyName) {
    auto lookUp = [](const std::string& backupSetGuid) {
        databrowse::MediaPredictionConvReq conversion;
        conversion.setint64(databrowse::MediaPredictionConvReq::f::lookUpIndexFiles, 1);
        if (!backupSetGuid.empty())
            conversion.setstring(databrowse::MediaPredictionConvReq::f::backupSetGUID, backupSetGuid);
        return conversion;
    };
    auto setOf = [](int backupSet) {
        return hubtest::queryText(
            db(), "SELECT GUID FROM APP_BackupSetName WHERE id = " + std::to_string(backupSet));
    };
    // client1's machine: the index files of its own backup set.
    databrowse::MediaPredictionConvReq own = lookUp(setOf(s->world.fileBackupSet));
    TAnswers ownMedia = askRouter(own, "client1");
    ASSERT_TRUE(ownMedia.prepared) << ownMedia.texts;
    EXPECT_EQ(ownMedia.request->getTagID(), databrowse::MediaPredictionConvResp::TAG);

    // Not those of another client's backup set (the hypervisor's), nor a look-up that names no backup
    // set, nor a conversion or a list that names nothing.
    databrowse::MediaPredictionConvReq vmLookUp = lookUp(setOf(s->world.vmBackupSet));
    databrowse::MediaPredictionConvReq noSet = lookUp("");
    databrowse::MediaPredictionConvReq nothing;
    Indexing::PredictionConversionReqList emptyList;
    for (CNMessageBase* refused :
         std::initializer_list<CNMessageBase*>{&vmLookUp, &noSet, &nothing, &emptyList}) {
        TAnswers answer = askRouter(*refused, "client1");
        EXPECT_FALSE(answer.prepared) << refused->AsString();
        EXPECT_NE(answer.texts.find(kDenied), std::string::npos) << answer.texts;
    }

    // A console without a certificate is told how it gets media: with a media browse.
    TAnswers anonymous = askRouter(own);
    EXPECT_FALSE(anonymous.prepared);
    EXPECT_NE(anonymous.texts.find("with the media command"), std::string::npos) << anonymous.texts;
}

// 2 and 3. A client that is not the subclient's (or that does not exist) is refused before anything is
// read, for admin too; an entity list cannot add what the user may not browse.
TEST_F(Authorisation, EveryEntityMustBeTheOneNamedAndCovered) {
    const std::string at = " --at " + lastDay();
    TRun mixed =
        browse("list --client client1 --subclient " + std::to_string(s->otherSubclient) + at, alice());
    EXPECT_EQ(mixed.status, 1);
    EXPECT_NE(mixed.err.find("Subclient [" + std::to_string(s->otherSubclient) +
                             "] is not a subclient of client [client1]"),
              std::string::npos)
        << mixed.err;
    EXPECT_EQ(mixed.out.find(" /d0"), std::string::npos);
    for (const char* command : {"count", "find --name 'f*'", "media"}) {
        TRun run = browse(
            std::string(command) + " --client client1 --subclient " + std::to_string(s->otherSubclient) + at,
            admin());
        EXPECT_EQ(run.status, 1) << command;
        EXPECT_NE(run.err.find("is not a subclient of client [client1]"), std::string::npos)
            << command << run.err;
    }
    TRun unknown = browse(
        "list --client no-such-client --subclient " + std::to_string(s->world.fileSubclient) + at, admin());
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("does not name a known client [no-such-client]"), std::string::npos)
        << unknown.err;
    TRun own = browse("list " + fileSubclient() + at, alice());
    EXPECT_EQ(own.status, 0) << own.err;

    // alice's own entity with client2's in its entity list: refused whole.
    databrowse::BrowseRequest listed = request("list " + fileSubclient() + at + " --token " + s->aliceToken);
    databrowse::EntityWithFilters extra;
    ZyEntities::GenericEntity other;
    other.setint64(ZyEntities::GenericEntity::f::clientId, s->world.otherFileClient);
    other.setint64(ZyEntities::GenericEntity::f::subclientId, s->otherSubclient);
    extra.setObjectAccessor(other, databrowse::EntityWithFilters::f::entity);
    listed.setlistobject(R::filteredEntities, {extra});
    TAnswers answers = askRouter(listed);
    EXPECT_FALSE(answers.prepared);
    EXPECT_NE(answers.texts.find(kDenied), std::string::npos) << answers.texts;
}

// 4 and 5. A content-index report is checked like a browse, and a refused caller is told the refusal
// whatever the request would have found (here: nothing yet, before client2's first backup).
TEST_F(Authorisation, ReportsAndEmptyRangesGetTheRefusal) {
    databrowse::BrowseRequest report =
        request("list " + otherSubclient() + " --at " + lastDay() + " " + alice());
    report.setint64(R::opType, 4);
    report.getObjectAccessor(R::entity, true)->setint64(ZyEntities::GenericEntity::f::at98_239, 7);
    TAnswers answers = askRouter(report);
    EXPECT_FALSE(answers.prepared) << answers.texts;
    EXPECT_NE(answers.texts.find(kDenied), std::string::npos) << answers.texts;

    const std::string before = std::to_string(s->world.firstBackupTime - 86400);
    TRun early = browse("list " + otherSubclient() + " --at " + before, alice());
    EXPECT_EQ(early.status, 3);  // refused
    EXPECT_NE(early.err.find(kDenied), std::string::npos) << early.err;
    EXPECT_EQ(early.err.find("No backups"), std::string::npos) << early.err;
    TRun adminEarly = browse("list " + otherSubclient() + " --at " + before, admin());
    EXPECT_EQ(adminEarly.err.find(kDenied), std::string::npos) << adminEarly.err;
}

// 6. Media agents answer plain requests only for the Hubmaster (the demo world keeps plain mode off), and a
// signed request once, as it was signed.
TEST_F(Authorisation, MediaAgentsAnswerOnlyTheHubmasterOrItsSignature) {
    const int port = static_cast<int>(s->agent->numberAfter(kListening));
    const std::string refused = "answers only the Hubmaster";

    // alice's own browse, prepared and signed by the Hubmaster, carried by her console: answered.
    TRun own = browse("list " + fileSubclient() + " --at " + lastDay(), alice());
    EXPECT_EQ(own.status, 0) << own.err;
    EXPECT_NE(own.out.find(" /d0"), std::string::npos) << own.out << own.err;

    // The same request presented twice: the first answers, the copy is refused.
    databrowse::BrowseRequest asked =
        request("list " + fileSubclient() + " --at " + lastDay() + " " + alice());
    TAnswers prepared = askRouter(asked);
    ASSERT_TRUE(prepared.request) << prepared.texts;
    ASSERT_EQ(prepared.request->getTagID(), Indexing::SecuredBrowseReq::TAG);
    TAnswers first = ask(*prepared.request, "IndexingService_0", hubtest::kAnonymous, port);
    EXPECT_GT(first.items, 0u) << first.texts;
    TAnswers replayed = ask(*prepared.request, "IndexingService_0", hubtest::kAnonymous, port);
    EXPECT_EQ(replayed.items, 0u);
    EXPECT_NE(replayed.texts.find("answered already"), std::string::npos) << replayed.texts;
    // The agent restarted within the request's freshness keeps no ledger of what it answered: the copy
    // is still refused, as signed before it started.
    s->agent.reset();
    s->agent = startAgent("mediaagent1", kAgentOptions);
    const int restarted = static_cast<int>(s->agent->numberAfter(kListening));
    TAnswers afterRestart = ask(*prepared.request, "IndexingService_0", hubtest::kAnonymous, restarted);
    EXPECT_EQ(afterRestart.items, 0u);
    EXPECT_NE(afterRestart.texts.find("signed before this media agent started"), std::string::npos)
        << afterRestart.texts;

    // A signed request turned to client2's backup set: refused.
    TAnswers another = askRouter(asked);
    ASSERT_TRUE(another.request);
    CNMessageBase* inner = another.request->getObjectAccessor(Indexing::SecuredBrowseReq::f::request, false);
    ASSERT_NE(inner, nullptr);
    inner->setstring(Indexing::BrowseReq::f::backupsetGuid, "another-backup-set");
    TAnswers turned = ask(*another.request, "IndexingService_0", "client1", restarted);
    EXPECT_EQ(turned.items, 0u);
    EXPECT_NE(turned.texts.find(refused), std::string::npos) << turned.texts;

    // A hand-made plain request for client2's items, from a console and from another client: refused.
    for (const std::string& who : {std::string(hubtest::kAnonymous), std::string("client1")}) {
        databrowse::BrowseRequest handMade = request("list " + otherSubclient() + " --at " + lastDay());
        TAnswers plain = ask(handMade, "IndexingService_0", who, restarted);
        EXPECT_EQ(plain.items, 0u) << who;
        EXPECT_NE(plain.texts.find(refused), std::string::npos) << who << ": " << plain.texts;
    }
}

// A machine that can redirect a connection holds at best another machine's certificate: whoever dials
// checks the name the certificate proves against the machine it meant, and sends nothing to another.
TEST_F(Authorisation, SessionsReachOnlyTheMachineMeant) {
    const int agentPort = static_cast<int>(s->agent->numberAfter(kListening));
    const int legacyPort = static_cast<int>(s->legacyAgent->numberAfter(kListening));
    // mediaagent1's address now leads to mediaagent3, on both roads.
    hubtest::pointClientAt(s->world, "mediaagent1", legacyPort);
    for (const std::string& road : {std::string(), std::string(" --via hubmaster")}) {
        TRun redirected = browse("list " + fileSubclient() + " --at " + lastDay() + road, admin());
        EXPECT_NE(redirected.status, 0) << road;
        EXPECT_EQ(redirected.out.find(" /d0"), std::string::npos) << road;
        if (road.empty()) {
            EXPECT_NE(redirected.err.find("proved the name [mediaagent3], not [mediaagent1]"),
                      std::string::npos)
                << redirected.err;
        }
    }
    EXPECT_NE(hostLog().find("proved the name [mediaagent3], not [mediaagent1]"), std::string::npos);
    hubtest::pointClientAt(s->world, "mediaagent1", agentPort);
    // The console's Hubmaster is the Hubmaster: a media agent's port is refused before the token goes.
    TRun impostor = browse(
        "list " + fileSubclient() + " --at " + lastDay() + " --port " + std::to_string(agentPort), admin());
    EXPECT_NE(impostor.status, 0);
    EXPECT_NE(impostor.err.find("proved the name [mediaagent1], not [hubmaster]"), std::string::npos)
        << impostor.err;
}

// A browse session belongs to whoever set it up: another user naming its GUID is refused on either
// road, and its owner goes on browsing in it.
TEST_F(Authorisation, ASessionBelongsToWhoeverSetItUp) {
    const std::string session = " --session authorisation-owned-session";
    const std::string list = "list " + fileSubclient() + " --at " + lastDay();
    TRun own = browse(list + session, admin());
    ASSERT_EQ(own.status, 0) << own.err;
    for (const std::string& road : {std::string(), std::string(" --via hubmaster")}) {
        TRun taken = browse(list + session + road, alice());
        EXPECT_EQ(taken.status, 3) << road << ": " << taken.err;
        EXPECT_EQ(taken.out.find(" /d0"), std::string::npos) << road;
    }
    EXPECT_NE(
        hostLog().find("browse session [authorisation-owned-session] belongs to another caller; refused"),
        std::string::npos);
    TRun again = browse(list + session, admin());
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_NE(again.out.find(" /d0"), std::string::npos) << again.out;
}

// What BrowseRouter prepares for a console goes on to a media agent, which trusts the Hubmaster's
// signature: the user's token is not in it, for any command or user.
TEST_F(Authorisation, PreparedRequestsCarryNoToken) {
    for (const std::string& who : {alice(), admin()}) {
        const std::string token = who.substr(who.find(' ') + 1);
        std::vector<std::string> commands{"list " + fileSubclient() + " --at " + lastDay(),
                                          "versions " + fileSubclient() +
                                              " --path /d00/d01/d00/f00000205.dat --from " +
                                              std::to_string(s->world.firstBackupTime) + " --to " + lastDay(),
                                          "count " + fileSubclient() + " --path /d00 --at " + lastDay()};
        // An indexing-V2 request (a virtual machine's), which admin may browse.
        if (who == admin())
            commands.push_back("list --client vmalpha --subclient " +
                               std::to_string(s->world.vsa.vms.front().subclientId) + " --at " + lastDay());
        for (const std::string& words : commands) {
            databrowse::BrowseRequest asked = request(words + " " + who);
            TAnswers prepared = askRouter(asked);
            ASSERT_TRUE(prepared.request) << words << ": " << prepared.texts;
            std::string text;
            ASSERT_EQ(prepared.request->serialize(text), 0);
            EXPECT_EQ(text.find(token), std::string::npos) << words;
            EXPECT_EQ(text.find("\"token\""), std::string::npos) << words;
        }
    }
}

// A mining request goes on to the machine that mines it: a media agent, or a SharePoint server (a
// client, no part of the infrastructure). On neither road does it carry the user's token (the
// administrator's here, which may do most): through BrowseRouter the request prepared for the console,
// which takes it to the mining service; through HubmasterBrowse the host's launches and requests, sent
// to the mining machines this test plays. Exchange and Active Directory databases and a SharePoint site.
TEST_F(Authorisation, MiningRequestsCarryNoToken) {
    const zyent::TAppMiningWorld& mining = s->world.mining;
    auto received = std::make_shared<TMiningReceived>();
    std::shared_ptr<CZydListener> machines = CZydListener::create();
    ASSERT_FALSE(machines->start(0).IsError());
    for (const char* service : {"LiveBrowseServer", "ZYAppMinningIdxService"}) {
        ASSERT_TRUE(machines->registerLaunchable(service, [received](const TZyLaunch& launch) {
            return std::unique_ptr<CZyNetworkServer>(std::make_unique<CCapturingMiner>(received, launch));
        }));
    }
    for (const std::string& machine : {mining.miningMediaAgentName, std::string("spplain")})
        hubtest::pointClientAt(s->world, machine, machines->port());

    const std::string miner = " --ma " + mining.miningMediaAgentName;
    const std::string exchange = "exchmine1";
    struct TMining {
        const char* what;
        std::string words;
        std::function<void(databrowse::BrowseRequest&)> complete;
    };
    auto details = [](databrowse::BrowseRequest& r) {
        return r.getObjectAccessor(R::advOptions, true)
            ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true)
            ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::appMiningBlock, true)
            ->getObjectAccessor(databrowse::Msg60::f::miningDetails, true);
    };
    const TMining minings[] = {
        {"Exchange database",
         "--client " + exchange + " --subclient " + std::to_string(mining.dbSubclientFirst) +
             " --app-type 53" + miner,
         [](databrowse::BrowseRequest& r) {
             databrowse::BrowsePath path;
             path.setstring(databrowse::BrowsePath::f::path, "Mailbox Database A");
             r.setlistobject(R::paths, {path});
         }},
        {"Active Directory database",
         "--client " + exchange + " --subclient " + std::to_string(mining.adSubclient) + " --app-type 41" +
             miner,
         [&](databrowse::BrowseRequest& r) {
             details(r)->setstring(databrowse::Msg55::f::ditPath, "C:\\ntds.dit");
         }},
        {"SharePoint site",
         "--client spplain --subclient " + std::to_string(mining.spSubclient) + " --app-type 78",
         [](databrowse::BrowseRequest&) {}}};
    size_t sent = 0;
    for (const TMining& m : minings) {
        // The token as the request's own element and as a token additional flag.
        auto asked = [&] {
            databrowse::BrowseRequest r =
                request("list --mine " + m.words + " --at " + lastDay() + " " + admin());
            m.complete(r);
            databrowse::AdditionalFlag token;
            token.setint64(databrowse::AdditionalFlag::f::flagType, 2);
            token.setstring(databrowse::AdditionalFlag::f::flagName, "token");
            token.setstring(databrowse::AdditionalFlag::f::value, s->adminToken);
            r.getObjectAccessor(R::advOptions, true)
                ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true)
                ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::flagBlock, true)
                ->setlistobject(databrowse::Msg9::f::additionalFlags, {token});
            return r;
        };
        databrowse::BrowseRequest routed = asked();
        TAnswers prepared = askRouter(routed);
        ASSERT_TRUE(prepared.request) << m.what << ": " << prepared.texts;
        std::string text;
        ASSERT_EQ(prepared.request->serialize(text), 0);
        EXPECT_EQ(text.find(s->adminToken), std::string::npos) << m.what;
        EXPECT_EQ(text.find("f.763531"), std::string::npos) << m.what << ": the token element";

        databrowse::BrowseRequest hosted = asked();
        TAnswers answers = askHost(hosted);
        EXPECT_NE(answers.texts.find(kCapturedAnswer), std::string::npos)
            << m.what << ": the request did not reach the mining service: " << answers.texts;
        ++sent;
    }
    CHubMutexLock lock(received->mutex);
    EXPECT_EQ(received->requests, sent) << received->text;
    EXPECT_GE(received->launchInputs, 1u) << "the SharePoint launch hands its service the request";
    EXPECT_EQ(received->text.find(s->adminToken), std::string::npos) << received->text;
    EXPECT_EQ(received->text.find("f.763531"), std::string::npos) << received->text;
}

// A certificate proves the name exactly as the Hubmaster knows it: the authority issues none for the
// Hubmaster's name or for a machine's name in other letters, and a media agent takes one that says
// "HUBMASTER" anyway for no one's.
TEST_F(Authorisation, CertificatesProveNamesExactly) {
    const std::string cert = s->binaries + "/tools/hubmaster/hubmaster cert --data " + s->dir.file("demo") +
                             " --out " + s->dir.file("issued") + " --client ";
    for (const char* name : {"hubmaster", "HUBMASTER", "Client1"}) {
        TRun issued = hubtest::runConsole(cert + std::string(name), s->dir.file("cert-err"));
        EXPECT_NE(issued.status, 0) << name;
        EXPECT_TRUE(issued.err.find("own name") != std::string::npos ||
                    issued.err.find("letter case") != std::string::npos)
            << name << ": " << issued.err;
    }
    EXPECT_EQ(hubtest::runConsole(cert + "client1", s->dir.file("cert-err")).status, 0);

    // The test authority issues whatever name a session asks for: here, what a stolen authority key or
    // a lax issuer would give.
    databrowse::BrowseRequest plain = request("list " + otherSubclient() + " --at " + lastDay());
    const int port = static_cast<int>(s->agent->numberAfter(kListening));
    TAnswers atAgent = ask(plain, "IndexingService_0", "HUBMASTER", port);
    EXPECT_EQ(atAgent.items, 0u) << atAgent.texts;
    EXPECT_NE(atAgent.texts.find("answers only the Hubmaster"), std::string::npos) << atAgent.texts;
}

// 7. A stop is judged against the session it stops: alice cannot stop admin's browse in flight (a
// classic media agent that never answers holds it), its owner can; both are logged with who asked.
TEST_F(Authorisation, OnlyASessionsOwnerStopsIt) {
    auto silent = startAgent("mediaagent3", {"--fault", "silent", "--progress", "1"});
    const std::string session = "authorisation-admin-session";
    TRun held;
    std::thread browsing([&] {
        held = browse("list --client client3 --subclient " + std::to_string(s->world.legacy.subclient) +
                          " --at " + std::to_string(s->world.legacy.firstBackupTime + 86400LL * 11) +
                          " --via hubmaster --session " + session,
                      admin(), "stderr-held");
    });
    const std::string asked = "Stop request for session [" + session + "]";
    // Held: the host has passed the browse on to the media agent, which went silent.
    EXPECT_TRUE(silent->waitFor("fault after 0 items", 60s)) << silent->output();
    // Another user's browse under the held session is refused at once, on either road: neither queued
    // behind the owner's browse nor given the session once it ends.
    for (const std::string& road : {std::string(" --via hubmaster"), std::string()}) {
        TRun taken = browse("list " + fileSubclient() + " --at " + lastDay() + road + " --session " + session,
                            alice(), "stderr-taken");
        EXPECT_EQ(taken.status, 3) << road << ": " << taken.err;
        EXPECT_NE(taken.err.find(kInUse), std::string::npos) << road << ": " << taken.err;
        EXPECT_EQ(taken.err.find("user [admin]"), std::string::npos) << road << ": " << taken.err;
    }
    EXPECT_EQ(occurrences(hostLog(), "browse session [" + session + "] belongs to another caller; refused"),
              2u)
        << hostLog();
    TRun stop = browse("stop --session " + session, alice());
    EXPECT_EQ(stop.status, 3) << stop.err;
    EXPECT_NE(hostLog().find(asked + " of user [admin] (id " + std::to_string(s->world.adminUser)),
              std::string::npos)
        << hostLog();
    EXPECT_NE(hostLog().find("refused: user [alice] (id " + std::to_string(s->world.fileUser) +
                             ") does not own the session"),
              std::string::npos);
    TRun owner = browse("stop --session " + session, admin());
    EXPECT_EQ(owner.status, 0) << owner.err;
    EXPECT_NE(hostLog().find("accepted: the session's owner"), std::string::npos);
    browsing.join();
    EXPECT_EQ(held.out.find(" /d0"), std::string::npos);
    // The owner's stop ended the classic browse the silent media agent held, with its stopped outcome.
    EXPECT_NE(held.err.find("The browse was stopped"), std::string::npos) << held.err;
    silent.reset();
    hubtest::pointClientAt(s->world, "mediaagent3", s->legacyAgent->numberAfter(kListening));
}

// An erase's dry run is judged as the erase is, its caller and client first: only a caller who may erase
// the client's data learns the gate's verdict; every refusal is logged.
TEST_F(Authorisation, AnEraseDryRunIsJudgedBeforeItIsAnswered) {
    const auto dryRun = [&](const std::string& entity, const std::string& who, const std::string& machine) {
        databrowse::BrowseRequest r =
            request("erase " + entity + " --path /d00/d01/d00/f00000205.dat=1 --at " + lastDay() + " " + who);
        erasedryrun::mark(r);
        return askRouter(r, machine);
    };
    const TAnswers own = dryRun(fileSubclient(), alice(), hubtest::kAnonymous);
    EXPECT_EQ(own.types, std::vector<int64_t>{5}) << own.texts;
    const size_t refusedBefore = occurrences(hostLog(), "]: refused [");
    for (const auto& [entity, who, machine] :
         {std::tuple{fileSubclient(), std::string(), hubtest::kAnonymous},
          std::tuple{fileSubclient(), std::string("--token ZT1.Zm9yZ2Vk.c2lnbmVk"), hubtest::kAnonymous},
          std::tuple{otherSubclient(), alice(), hubtest::kAnonymous},
          std::tuple{otherSubclient(), std::string(), "client1"},
          std::tuple{std::string("--client zzz --subclient 1"), alice(), hubtest::kAnonymous}}) {
        const TAnswers answer = dryRun(entity, who, machine);
        EXPECT_EQ(answer.types, std::vector<int64_t>{3}) << entity << " " << who << " " << machine;
        EXPECT_FALSE(answer.texts.empty());
    }
    EXPECT_GE(occurrences(hostLog(), "]: refused ["), refusedBefore + 4);
}

// An erase is judged on its caller first, then by its gate on the entity as the caller sent it (names
// resolved, nothing completed). Walked over callers (alice, who may erase her file subclient, and a
// caller without credentials), entities (client and subclient named, or only the subclient) and dry runs
// or not, against the rule: a caller without credentials is refused before the gate; the gate refuses an
// erase whose caller named no client ("Client ID is not set ..."); alice's erase naming both passes.
// Every request, refused or not, has its START and END lines.
TEST_F(Authorisation, AnEraseNamingOnlyASubclientIsRefusedByTheGate) {
    using E = ZyEntities::GenericEntity::f;
    const std::string notSet = "Client ID is not set. Failing the end user erase operation.";
    const std::string gateText = "is not supported for the application type";
    for (const bool dryRun : {true, false})
        for (const bool withCredentials : {true, false})
            for (const bool namesClient : {true, false}) {
                const bool refusedBeforeGate = !withCredentials;
                const bool gateRefuses = !refusedBeforeGate && !namesClient;
                // A real erase that passes is booked: the bookings' own test follows.
                if (!dryRun && !refusedBeforeGate && !gateRefuses) continue;
                databrowse::BrowseRequest r =
                    request("erase " + fileSubclient() + " --path /d00/d01/d00/f00000207.dat=1 --at " +
                            lastDay() + " " + (withCredentials ? alice() : std::string()));
                CNMessageBase* e = r.getObjectAccessor(R::entity, false);
                ASSERT_NE(e, nullptr);
                ASSERT_TRUE(e->isSet(E::subclientId));
                if (!namesClient) {
                    e->clearField(E::clientName.tag, E::clientName.code);
                    e->clearField(E::clientId.tag, E::clientId.code);
                }
                if (dryRun) erasedryrun::mark(r);
                const size_t before = hostLog().size();
                const TAnswers answer = askRouter(r);
                const std::string added = hostLog().substr(before);
                const std::string what =
                    std::string(dryRun ? "dry run" : "erase") +
                    (withCredentials ? " by alice" : " without credentials") +
                    (namesClient ? " naming client and subclient" : " naming only a subclient");
                EXPECT_EQ(answer.types, (std::vector<int64_t>{refusedBeforeGate || gateRefuses ? 3 : 5}))
                    << what << ": " << answer.texts;
                EXPECT_EQ(answer.texts.find(gateText) != std::string::npos, gateRefuses)
                    << what << ": " << answer.texts;
                EXPECT_EQ(occurrences(added, notSet), gateRefuses ? 1u : 0u) << what;
                EXPECT_EQ(occurrences(added, "START - browse request with worker id ["), 1u) << what << "\n"
                                                                                             << added;
                EXPECT_EQ(occurrences(added, "END - browse request with worker id ["), 1u) << what << "\n"
                                                                                           << added;
            }
}

// 8 and 9. Erase bookkeeping books only the authorised entity's subclients with checked sums, and the
// Hubmaster makes erase tasks only of what BrowseRouter booked, once.
TEST_F(Authorisation, ErasesBookAndCreateOnlyWhatWasAuthorised) {
    const long long before = usage(s->otherSubclient), tasksBefore = tasks();
    const std::string file = "/d00/d01/d00/f00000205.dat";
    databrowse::BrowseRequest erase = request("erase " + fileSubclient() + " --path " + file +
                                              "=1234567 --at " + lastDay() + " " + alice());
    // The path claims client2's subclient and sizes that overflow.
    databrowse::BrowsePath second;
    second.setstring(databrowse::BrowsePath::f::path, file);
    auto* paths = erase.getlistobject(R::paths, false);
    ASSERT_TRUE(paths && !paths->empty());
    for (CNMessageBase& p : *paths)
        if (CNMessageBase* detail = p.getObjectAccessor(databrowse::BrowsePath::f::detail, false))
            detail->setstring(databrowse::Msg2::f::subclientId, std::to_string(s->otherSubclient));
    TAnswers booked = askRouter(erase);
    EXPECT_TRUE(booked.prepared) << booked.texts;
    EXPECT_EQ(usage(s->otherSubclient), before);
    EXPECT_EQ(erasePending(s->otherSubclient), 0);

    databrowse::BrowseRequest huge =
        request("erase " + fileSubclient() +
                " --path /d00/a=9223372036854775807 --path /d00/b=9223372036854775807 --at " + lastDay() +
                " " + alice());
    askRouter(huge);
    EXPECT_TRUE(s->host->alive());
    EXPECT_EQ(usage(s->world.fileSubclient), 5000000);

    // Straight to the Hubmaster: nothing booked, nothing created; bad paths and too many are refused.
    databrowse::BrowseRequest shadow =
        request("erase " + fileSubclient() + " --path /etc/shadow=1 " + alice());
    EXPECT_NE(askHost(shadow).texts.find("No erase of these paths is booked"), std::string::npos);
    databrowse::BrowseRequest traversal =
        withErasePath("erase " + fileSubclient() + " " + alice(), "/d00/../../etc");
    EXPECT_NE(askRouter(traversal).texts.find("cannot take a path"), std::string::npos);
    std::string many = "erase " + fileSubclient() + " " + alice();
    for (int n = 0; n < 1200; ++n) many += " --path /d00/f" + std::to_string(n) + "=1";
    databrowse::BrowseRequest tooMany = request(many);
    EXPECT_NE(askRouter(tooMany).texts.find("at most 1000 paths"), std::string::npos);
    EXPECT_NE(askHost(tooMany).texts.find("at most 1000 paths"), std::string::npos);
    EXPECT_EQ(tasks(), tasksBefore);

    // The booked erase makes one task, and client1's usage drops by the size the media agent's index
    // answers for the file (not the size the request claimed); its replay makes nothing.
    TRun listed =
        browse("list " + fileSubclient() + " --path /d00/d01/d00 --at " + lastDay() + " --json", admin());
    const size_t at = listed.out.find(file);
    ASSERT_NE(at, std::string::npos) << listed.out;
    const size_t sizeAt = listed.out.find("\"size\":", at);
    ASSERT_NE(sizeAt, std::string::npos);
    const long long indexSize = std::atoll(listed.out.c_str() + sizeAt + 7);
    TAnswers made = askHost(erase);
    EXPECT_TRUE(made.texts.empty()) << made.texts;
    EXPECT_EQ(tasks(), tasksBefore + 1);
    EXPECT_EQ(usage(s->world.fileSubclient), 5000000 - indexSize);
    EXPECT_EQ(usage(s->otherSubclient), before);
    EXPECT_EQ(erasePending(s->otherSubclient), 0);
    EXPECT_NE(askHost(erase).texts.find("No erase of these paths is booked"), std::string::npos);
    EXPECT_EQ(tasks(), tasksBefore + 1);

    // An item version is erased once: listed again, it is booked once more but makes no second task and
    // gives nothing back twice; while that booking waits, the same path is not booked again.
    const long long erasedUsage = usage(s->world.fileSubclient);
    databrowse::BrowseRequest again =
        request("erase " + fileSubclient() + " --path " + file + "=1 --at " + lastDay() + " " + alice());
    EXPECT_TRUE(askRouter(again).prepared);
    EXPECT_NE(askRouter(again).texts.find("already booked"), std::string::npos);
    EXPECT_NE(askHost(again).texts.find("already booked or erased"), std::string::npos);
    EXPECT_NE(askHost(again).texts.find("No erase of these paths is booked"), std::string::npos);
    EXPECT_EQ(tasks(), tasksBefore + 1);
    EXPECT_EQ(usage(s->world.fileSubclient), erasedUsage);

    // The paths of Windows clients are absolute too (a drive's, a share's); relative, partial and
    // climbing ones are not.
    auto refusal = [&](const std::string& path) {
        databrowse::BrowseRequest r =
            withErasePath("erase " + fileSubclient() + " --at " + lastDay() + " " + alice(), path);
        return askRouter(r).texts;
    };
    for (const char* windows :
         {"D:\\data\\file.txt", "C:\\Users\\x", "\\\\server\\share\\f", "\\MB\\{A1}\\m"}) {
        databrowse::BrowseRequest r = request("erase " + fileSubclient() + " --path " + windows + "=1 --at " +
                                              lastDay() + " " + alice());
        EXPECT_EQ(askRouter(r).texts.find("cannot take a path"), std::string::npos) << windows;
    }
    for (const char* bad : {"data\\file.txt", "D:data", "D:", "\\\\server", "\\\\server\\",
                            "\\\\server\\..\\f", "C:\\a\\.\\b", "\\\\\\share\\f"})
        EXPECT_NE(refusal(bad).find("cannot take a path"), std::string::npos) << bad;
}

// A hand-made erase naming a path twice books it, makes its task of it and gives its usage back, once.
// (Runs before the bounded-bookings test, which leaves alice's bookings full.)
TEST_F(Authorisation, AnEraseNamingAPathTwiceErasesItOnce) {
    TRun listed =
        browse("list " + fileSubclient() + " --path /d00/d01/d01 --at " + lastDay() + " --json", admin());
    const size_t at = listed.out.find("\"path\":\"/d00/d01/d01/f");
    ASSERT_NE(at, std::string::npos) << listed.out;
    const size_t start = at + 8, end = listed.out.find('"', start);
    const std::string file = listed.out.substr(start, end - start);
    const size_t sizeAt = listed.out.find("\"size\":", at);
    ASSERT_NE(sizeAt, std::string::npos);
    const long long size = std::atoll(listed.out.c_str() + sizeAt + 7);
    ASSERT_GT(size, 0);
    const long long before = usage(s->world.fileSubclient), tasksBefore = tasks(),
                    pathsBefore = count("SELECT COUNT(*) FROM TM_CreatedSubTaskPath");

    databrowse::BrowseRequest erase = request("erase " + fileSubclient() + " --path " + file + "=" +
                                              std::to_string(size) + " --at " + lastDay() + " " + alice());
    auto* paths = erase.getlistobject(R::paths, false);
    ASSERT_TRUE(paths && paths->size() == 1u);
    paths->push_back(paths->front());
    TAnswers booked = askRouter(erase);
    EXPECT_TRUE(booked.prepared) << booked.texts;
    TAnswers made = askHost(erase);
    EXPECT_TRUE(made.texts.empty()) << made.texts;
    EXPECT_EQ(tasks(), tasksBefore + 1);
    EXPECT_EQ(count("SELECT COUNT(*) FROM TM_CreatedSubTaskPath"), pathsBefore + 1);
    EXPECT_EQ(usage(s->world.fileSubclient), before - size);
}

// A user's waiting erase bookings are bounded in count and bytes: a flood of big erase listings is
// refused with a reason, and the host holds no more for it. (Runs after the test above: what alice
// books here waits out the rest of the suite.)
TEST_F(Authorisation, AUsersWaitingErasesAreBounded) {
    [[maybe_unused]] const long long peakBefore = hubtest::processPeakKb(s->host->pid());
    const std::string segment(120, 'x');
    size_t booked = 0, refused = 0;
    for (int n = 0; n < 24; ++n) {
        std::string words = "erase " + fileSubclient() + " --at " + lastDay() + " " + alice();
        for (int p = 0; p < 1000; ++p)
            words += " --path /flood" + std::to_string(n) + "/" + segment + "/" + segment + "/" + segment +
                     "/f" + std::to_string(p) + "=1";
        databrowse::BrowseRequest flood = request(words);
        const TAnswers a = askRouter(flood);
        if (a.prepared) ++booked;
        if (a.texts.find("erase booking(s) waiting for their tasks") != std::string::npos) ++refused;
    }
    EXPECT_GT(booked, 0u);
    EXPECT_LE(booked, 16u);
    EXPECT_EQ(booked + refused, 24u);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // (A sanitizer's quarantine keeps what was freed: the peak then says nothing.)
    EXPECT_LT(hubtest::processPeakKb(s->host->pid()) - peakBefore, 100 * 1024);
#endif
}

// 11. A find across clients names every client it leaves out; one left out as refused to the user
// leaves an answer a script can tell from a whole one: not complete, with the refusal's exit status.
TEST_F(Authorisation, FindAcrossClientsWarnsOfWhatItLeavesOut) {
    const std::string what = " --path /d00/d01/d00 --name 'f*' --at " + lastDay();
    TRun run = browse("find --clients client1,client2,no-such-client" + what, alice());
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_NE(run.err.find("warning: You are not authorised to browse client [client2]"), std::string::npos)
        << run.err;
    // Rights before description: alice, who holds no right on every client, is not told that a client
    // does not exist, only that she may not browse it, as for client2.
    EXPECT_NE(run.err.find("warning: You are not authorised to browse client [no-such-client]"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("is not known"), std::string::npos) << run.err;
    TRun own = browse("find --clients client1" + what + " --json", alice());
    TRun partial = browse("find --clients client1,client2" + what + " --json", alice());
    ASSERT_EQ(own.status, 0) << own.err;
    EXPECT_EQ(partial.status, 3) << partial.out;
    auto items = [](const std::string& json) {
        const size_t from = json.find("\"items\"");
        return json.substr(from, json.find("\"counts\"") - from);
    };
    EXPECT_EQ(items(partial.out), items(own.out));
    EXPECT_NE(own.out.find("\"complete\":true"), std::string::npos) << own.out;
    EXPECT_NE(partial.out.find("\"complete\":false,\"error\":{\"code\":3"), std::string::npos) << partial.out;

    // Naming only clients the caller may not browse is a refusal, with the warning that says which.
    TRun none = browse("find --clients client2" + what, alice());
    EXPECT_EQ(none.status, 3) << none.out << none.err;
    EXPECT_NE(none.err.find("warning: You are not authorised to browse client [client2]"), std::string::npos)
        << none.err;
    EXPECT_NE(none.err.find(kDenied), std::string::npos) << none.err;

    // client3's data is on the release-9 media agent, which has no index service to find in: the find
    // says so rather than answering as if client3 held nothing, and is not complete.
    TRun both = browse("find --clients client3,client1" + what, admin());
    ASSERT_EQ(both.status, 1) << both.err;
    TRun first = browse("find --clients client1" + what, admin());
    ASSERT_NE(first.out.find("/d00/d01/d00/f"), std::string::npos) << first.out;
    // The same items, then a last line that says the answer is not the whole.
    const std::string counted = first.out.substr(0, first.out.size() - 1);
    EXPECT_EQ(both.out.substr(0, counted.size()), counted);
    EXPECT_EQ(both.out.substr(counted.size()),
              "; incomplete: a part of it was not searched (the error follows)\n");
    const std::string leftOut =
        "warning: Client [client3] is not searched: its backups are on media agent [mediaagent3]";
    EXPECT_NE(both.err.find(leftOut), std::string::npos) << both.err;
    EXPECT_NE(both.err.find("no index service"), std::string::npos) << both.err;
    TRun alone = browse("find --clients client3" + what, admin());
    EXPECT_EQ(alone.status, 1) << alone.out << alone.err;
    EXPECT_NE(alone.err.find(leftOut), std::string::npos) << alone.err;
}

// A caller holds at most its share of sessions handed over and in flight: past it, its own oldest gives
// way, never another caller's, which stays its owner's to browse and stop; the busy caller is not refused.
// One that gave way while its browse runs at the media agent stays hers to stop and nobody else's to take.
TEST_F(Authorisation, HandedOverSessionsStayTheirOwnersWhateverOthersAsk) {
    const std::string list = "list " + fileSubclient() + " --at " + lastDay();
    auto ask = [&](const std::string& session, const std::string& who) {
        databrowse::BrowseRequest asked = request(list + " --session " + session + " " + who);
        return askRouter(asked);
    };
    const std::string held = "held-authorisation-alices";
    TRun heldRun;
    std::thread browsing(
        [&] { heldRun = browse(list + " --path /d00/d01/d00 --session " + held, alice(), "held", 120); });
    EXPECT_TRUE(s->agent->waitFor("session " + held + " held after", 60s)) << s->agent->output();
    const std::string admins = "authorisation-admins-flight";
    ASSERT_TRUE(ask(admins, admin()).prepared);
    std::vector<std::string> alices;
    for (size_t n = 0; n <= CHandedOverSessions::kMaxSessionsPerOwner; ++n) {
        const TAnswers more = ask("authorisation-alices-" + std::to_string(n), alice());
        ASSERT_TRUE(more.prepared) << n << ": " << more.texts;
        alices.push_back("authorisation-alices-" + std::to_string(n));
    }
    // client2's machine may browse its own data, but not under alice's held session, nor stop it.
    const std::string client2s = "list " + otherSubclient() + " --at " + lastDay() + " --session ";
    databrowse::BrowseRequest own = request(client2s + "authorisation-client2s");
    EXPECT_TRUE(askRouter(own, "client2").prepared);
    databrowse::BrowseRequest taking = request(client2s + held);
    TAnswers taken = askRouter(taking, "client2");
    EXPECT_FALSE(taken.prepared);
    EXPECT_NE(taken.texts.find(kInUse), std::string::npos) << taken.texts;
    e2estop::sendRouterStop(s->hostPort, held, "", "client2");
    EXPECT_NE(hostLog().find("Stop request for session [" + held + "] of user [alice] (id " +
                             std::to_string(s->world.fileUser) + "), client [client1] (id " +
                             std::to_string(s->world.fileClient) + ") by calling client [client2] (id " +
                             std::to_string(s->world.otherFileClient) + ") refused"),
              std::string::npos)
        << hostLog();
    TRun stop = browse("stop --session " + held, alice(), "held-stop");
    browsing.join();
    EXPECT_EQ(stop.status, 0) << stop.out << stop.err;
    EXPECT_EQ(heldRun.status, 1) << heldRun.out << heldRun.err;
    EXPECT_NE(heldRun.err.find("The browse was stopped"), std::string::npos) << heldRun.err;

    // admin's session is still known as his: alice can neither browse under it nor stop it.
    for (bool viaHost : {false, true}) {
        databrowse::BrowseRequest taken = request(list + " --session " + admins + " " + alice());
        TAnswers answers = viaHost ? askHost(taken) : askRouter(taken);
        EXPECT_FALSE(answers.prepared) << viaHost;
        EXPECT_EQ(answers.items, 0u) << viaHost;
        EXPECT_NE(answers.texts.find(kInUse), std::string::npos) << viaHost << ": " << answers.texts;
    }
    stopAs(admins, s->aliceToken);
    EXPECT_NE(hostLog().find("Stop request for session [" + admins + "] of user [admin] (id " +
                             std::to_string(s->world.adminUser)),
              std::string::npos);
    EXPECT_EQ(hostLog().find("Stop request for session [" + admins + "] of user [admin] (id " +
                             std::to_string(s->world.adminUser) + "), client [client1] (id " +
                             std::to_string(s->world.fileClient) + ") by user [alice] (id " +
                             std::to_string(s->world.fileUser) + ") accepted"),
              std::string::npos)
        << hostLog();
    // Her own stops give her share back; admin goes on browsing in his session.
    for (size_t n = 1; n < alices.size(); ++n) stopAs(alices[n], s->aliceToken);
    EXPECT_TRUE(ask("authorisation-alices-more", alice()).prepared);
    stopAs("authorisation-alices-more", s->aliceToken);
    EXPECT_TRUE(ask(admins, admin()).prepared);
    stopAs(admins, s->adminToken);
}

// Only the Hubmaster names the media agent a signed request goes to: a caller's MediaAgentName flag is
// neither signed nor relayed, on the index-service road (client1) as on the indexing-V2 road (OneDrive
// V2), where the clear flag names the router's own agent.
TEST_F(Authorisation, OnlyTheRoutersMediaAgentNameIsSigned) {
    const std::string words = " --at " + lastDay() + " " + admin();
    const zyent::AppBrowseWorld& apps = s->world.apps;
    for (const std::string& entity :
         {fileSubclient(), "--client onedrive2 --subclient " + std::to_string(apps.oneDriveV2Subclient) +
                               " --app-type 134 --path \\OneDrive"}) {
        databrowse::BrowseRequest r = request("list " + entity + words);
        auto* flags = r.getObjectAccessor(R::advOptions, true)
                          ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true)
                          ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::flagBlock, true)
                          ->getlistobject(databrowse::Msg9::f::additionalFlags, true);
        databrowse::AdditionalFlag flag;
        flag.setint64(databrowse::AdditionalFlag::f::flagType, 0);
        flag.setstring(databrowse::AdditionalFlag::f::flagName, "MediaAgentName");
        flag.setstring(databrowse::AdditionalFlag::f::value, "callers-own-agent");
        flags->push_back(flag);
        const TAnswers answer = askRouter(r);
        ASSERT_TRUE(answer.prepared && answer.request) << entity << ": " << answer.texts;
        std::string text;
        ASSERT_EQ(answer.request->serialize(text, false), 0);
        EXPECT_EQ(text.find("callers-own-agent"), std::string::npos) << entity << ": " << text;
        // The agent the console reads off the prepared request is the one the router chose.
        EXPECT_EQ(CConsoleSession::mediaAgentOf(*answer.request), "mediaagent1") << entity;
    }
}

// Negative times, skips and ids are refused on both roads, never cut to 32 bits into another valid value
// (a date, an earlier page, another client).
TEST_F(Authorisation, ValuesThatWouldWrapAreRefusedOnBothRoads) {
    constexpr int64_t k2To32 = int64_t{1} << 32;
    const std::string list = "list " + fileSubclient() + " --at " + lastDay() + " " + admin();
    auto pagedFrom = [&](int64_t skip) {
        databrowse::BrowseRequest r = request(list);
        auto* queries = r.getlistobject(R::queries, true);
        if (queries->empty()) queries->push_back(databrowse::Query());
        queries->front()
            .getObjectAccessor(databrowse::Query::f::dataParam, true)
            ->getObjectAccessor(databrowse::DataParam::f::paging, true)
            ->setint64(databrowse::Msg6::f::skipNode, skip);
        return r;
    };
    databrowse::BrowseRequest time = request(list);
    time.getObjectAccessor(R::timeRange, true)
        ->setint64(databrowse::BrowseTimeRange::f::toTime, std::stoll(lastDay()) - k2To32);
    databrowse::BrowseRequest skip = pagedFrom(5 - k2To32);
    databrowse::BrowseRequest client = request(list);
    client.getObjectAccessor(R::entity, true)->setint64(ZyEntities::GenericEntity::f::clientId, 4 - k2To32);
    const std::string clientId = std::to_string(4 - k2To32);
    // Both roads refuse an id out of range before anything of the entity is read, in the same words.
    const struct {
        databrowse::BrowseRequest* asked;
        std::string routerText;
    } cases[] = {{&time, "to-time [" + std::to_string(std::stoll(lastDay()) - k2To32) + "] is out of range"},
                 {&skip, "skip [" + std::to_string(5 - k2To32) + "] is out of range"},
                 {&client, "client id [" + clientId + "] is out of range"}};
    for (const auto& c : cases) {
        for (bool viaHost : {false, true}) {
            TAnswers answers = viaHost ? askHost(*c.asked) : askRouter(*c.asked);
            const std::string wanted = "The browse request's " + c.routerText;
            EXPECT_FALSE(answers.prepared) << wanted;
            EXPECT_EQ(answers.items, 0u) << wanted;
            EXPECT_NE(answers.texts.find(wanted), std::string::npos) << wanted << ": " << answers.texts;
        }
    }
    // A find across clients names its entities in a list of its own.
    databrowse::BrowseRequest find = request(list);
    find.setint64(R::opType, 1);
    databrowse::EntityWithFilters listed;
    ZyEntities::GenericEntity wrapped;
    wrapped.setint64(ZyEntities::GenericEntity::f::clientId, 4 - k2To32);
    listed.setObjectAccessor(wrapped, databrowse::EntityWithFilters::f::entity);
    find.setlistobject(R::filteredEntities, {listed});
    TAnswers found = askRouter(find);
    EXPECT_EQ(found.items, 0u);
    EXPECT_NE(found.texts.find("The browse request's client id [" + clientId + "] is out of range"),
              std::string::npos)
        << found.texts;
    // The same request within range is answered.
    databrowse::BrowseRequest fine = pagedFrom(5);
    EXPECT_TRUE(askRouter(fine).prepared);
    // A subclient id of 0xFFFFFFFF, sent unsigned, is every subclient, answered as -1 is; one past it wraps
    // to subclient 0 and stays refused.
    for (bool viaHost : {false, true}) {
        auto withSubclient = [&](int64_t subclient) {
            databrowse::BrowseRequest r = request(list);
            r.getObjectAccessor(R::entity, true)
                ->setint64(ZyEntities::GenericEntity::f::subclientId, subclient);
            const TAnswers answers = viaHost ? askHost(r) : askRouter(r);
            return std::to_string(answers.items) + " " + answers.texts;
        };
        EXPECT_EQ(withSubclient(0xFFFFFFFF), withSubclient(-1)) << viaHost;
        EXPECT_NE(withSubclient(k2To32).find("subclient id [4294967296] is out of range"), std::string::npos)
            << viaHost;
    }
}

}  // namespace
