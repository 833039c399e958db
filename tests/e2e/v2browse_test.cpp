// Indexing-V2 browse end to end: the service started in this process over the demo world, whose file
// backup set is indexed in one database on an index server that is the real tools/mediaagent process
// (mediaagent1); browses forced to indexing V2 enter at fastBrowseHMProcessRequestMultiEntity. The
// request the media agent receives (its journal) names the routing block, the chosen database and
// media agent and the subclients; it is plain for a media agent below service pack 22 and secured, and
// verified there, from it on; the items reach the task's channel through "BrowseRouter" and equal the
// media agent's item index read directly.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "planning/browsetask.h"
#include "planning/configuration.h"
#include "planning/confmgr.h"
#include "planning/confrecord.h"
#include "planning/superbrowsemanager.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/zyclient.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdb/seed_familiesb.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/indexing/idxsrvrsessioncache.h"
#include "platform/indexing/indexingutils.h"
#include "platform/log/evdebug.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynetwork_server.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndestination.h"
#include "service/browserouterthread.h"
#include "service/controllerthread.h"
#include "service/fastbrowsehm_api.h"
#include "tests/e2e/e2eworld.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/filewatch.h"
#include "tests/support/worker/workertester.h"
#include "tools/mediaagent/itemindex.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
const char* const kAgent = "mediaagent1";
constexpr int kForceIndexingV2 = 107;
const App::IdxDbEngineType kEngine = static_cast<App::IdxDbEngineType>(1);  // the database's engine

class V2BrowseEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_NO_FATAL_FAILURE(e2eworld::createWorld("v2browse-e2e", s_folder, s_world));
        std::string error;
        ASSERT_EQ(hubdb::openHubDatabase(s_world->databasePath, &error), 0) << error;
        ASSERT_EQ(BackupSet(static_cast<unsigned long>(s_world->fileBackupSet)).getGUIDStr(s_backupSetGuid),
                  0);
        {
            // The file backup set's one index database, served by mediaagent1 below service pack 22.
            hubdb::HubDbSeed seed(s_world->databasePath);
            const long long agent =
                seed.queryInt("SELECT id FROM APP_Client WHERE name = ?", {zydb::DbValue::ofText(kAgent)});
            hubdb::FamiliesBSeed more(seed);
            hubdb::IndexDatabaseSeed db;
            db.dbName = s_backupSetGuid;
            db.backupSetId = s_world->fileBackupSet;
            db.engineType = 1;
            db.currentIdxServer =
                more.addIndexServer("File System", "", {{.clientId = static_cast<int>(agent)}});
            more.addIndexDatabase(db);
            ASSERT_TRUE(more.ok()) << more.error();
            setServicePack(seed, 20);
        }
        int agentPort = 0;
        ASSERT_NO_FATAL_FAILURE(
            e2eworld::startAgent(s_folder, *s_world, kAgent,
                                 {"--index", index(), "--files", "600", "--files-per-dir", "30", "--journal",
                                  journal(), "--convert-predictions", "1"},
                                 s_agent, agentPort));
        int routerPort = 0;
        ASSERT_NO_FATAL_FAILURE(e2eworld::startService(*s_world, kAgent, agentPort, routerPort));
    }
    static void TearDownTestSuite() { e2eworld::stopChain(kAgent, s_folder, s_world, s_agent); }
    static void setServicePack(hubdb::HubDbSeed& seed, int servicePack) {
        ASSERT_EQ(
            seed.exec("UPDATE mediaAgent SET versionText = ? WHERE clientId = (SELECT id FROM APP_Client "
                      "WHERE name = ?)",
                      {zydb::DbValue::ofText("11.0 SP" + std::to_string(servicePack)),
                       zydb::DbValue::ofText(kAgent)}),
            0);
    }
    static std::string index() { return (s_folder / "agent1.items.db").string(); }
    static std::string journal() { return (s_folder / "journal").string(); }
    static std::vector<std::string> journalLines(const std::string& prefix) {
        std::ifstream in(journal());
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);)
            if (line.rfind(prefix, 0) == 0) out.push_back(line);
        return out;
    }
    static std::string journalText() {
        std::string all;
        for (const std::string& l : journalLines("")) all += l + "\n";
        return all;
    }
    // True once `done` holds, asked again at each write of the media agent to its journal.
    static bool journalShows(const std::function<bool()>& done) {
        return hubtest::CFileWatch(journal()).waitUntil(done, 30s);
    }

    static void holdV2Session(const std::string& guid);
    static void releaseV2Session(const std::string& guid);
    // The key of the file backup set's one index database.
    static std::string dbKey() { return I2::Utils::FormBackupSetAndDbName(s_backupSetGuid, s_backupSetGuid); }
    // A browse of "/" of the file subclient's backup set at `toTime`, forced to indexing V2.
    static void v2Task(EvMultiEntityRestoreTask& t, long long job, int64_t toTime) {
        t.setTaskParameters(static_cast<unsigned long long>(job), 0, s_world->adminUser, 0, 2,
                            s_world->fileClient, s_world->fileBackupSet, 0, static_cast<long>(toTime), 0,
                            s_world->fileAppType, 1, 0, 0);
        t.setUserName("admin");
        t.setSubClientId(s_world->fileSubclient);
        std::string options(200, '0');
        options[kForceIndexingV2] = '1';
        t.setextendedOptions(options.data());
        t.addPath(EvRestoreTask::kBrowsePathList, "/");
    }
    // Browses the file subclient's backup set at `toTime` forced to indexing V2; the paths answered.
    // With `request` (options bit 38 and its prediction option set) only the media are predicted; their
    // number goes to `predictions`.
    std::vector<std::string> browse(int64_t toTime, std::vector<std::string>& errors,
                                    databrowse::BrowseRequest* request = nullptr,
                                    size_t* predictions = nullptr) {
        const long long job = 9300 + s_runs++;
        auto destination = std::make_shared<EvRecordingDestination>();
        EvReturnDestinations::registerDestination(job, destination);
        EvMultiEntityRestoreTask t;
        v2Task(t, job, toTime);
        if (request) t.setOptions(1ULL << 38);
        const size_t before = g_poControllerThreadHM->getWorkerCount();
        EXPECT_EQ(fastBrowseHMProcessRequestMultiEntity(&t, false, databrowse::FORCE_USE_INDEX_NONE, request),
                  1);
        EXPECT_TRUE(destination->waitForEnd(30s));
        EXPECT_TRUE(e2eworld::workersDownTo(before));
        std::vector<std::string> paths;
        for (const std::string& xml : destination->payloads(EV_RETURN_RECORD_XML_ITEM)) {
            databrowse::BrowseResponse response;
            if (response.unserialize(xml) != 0) continue;
            if (auto* messages = response.getlistobject(databrowse::BrowseResponse::f::messages, false))
                for (const CNMessageBase& e : *messages)
                    errors.push_back(e.getstring(databrowse::BrowseError::f::errorMessage));
            auto* media = response.getlistobject(databrowse::BrowseResponse::f::predictions, false);
            if (predictions && media) *predictions += media->size();
            CNMessageBase* result =
                response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
            auto* items =
                result ? result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false) : nullptr;
            for (const CNMessageBase& item : items ? *items : std::vector<CNMessageBase>{})
                paths.push_back(item.getstring(databrowse::BrowseData::f::path));
        }
        EvReturnDestinations::unregisterDestination(job);
        return paths;
    }

    // The index's own listing of "/" at `toTime` for each subclient the journal line names.
    static std::vector<std::string> expected(const std::string& requestLine, int64_t toTime) {
        std::string error;
        auto items = mediaagent::CItemIndex::open(index(), error);
        EXPECT_TRUE(items) << error;
        std::vector<std::string> out;
        const size_t at = requestLine.find("subclients=");
        std::istringstream ids(requestLine.substr(at + 11, requestLine.find(' ', at) - at - 11));
        for (std::string id; items && std::getline(ids, id, ',');) {
            mediaagent::TBrowseQuery q;
            q.appId = std::stoi(id);
            q.path = "/";
            q.toTime = toTime;
            std::vector<mediaagent::TItemVersion> versions;
            bool found = false;
            mediaagent::TIndexSubclient held;
            if (!items->subclient(q.appId, held)) continue;
            EXPECT_TRUE(items->listAt(q, versions, found)) << items->lastError();
            for (const auto& v : versions) out.push_back(v.path);
        }
        return out;
    }

    static fs::path s_folder;
    static hubdemo::DemoWorld* s_world;
    static hubtest::CChildProcess* s_agent;
    static std::string s_backupSetGuid;
    static int s_runs;
};
fs::path V2BrowseEndToEnd::s_folder;
hubdemo::DemoWorld* V2BrowseEndToEnd::s_world = nullptr;
hubtest::CChildProcess* V2BrowseEndToEnd::s_agent = nullptr;
std::string V2BrowseEndToEnd::s_backupSetGuid;
int V2BrowseEndToEnd::s_runs = 0;

TEST_F(V2BrowseEndToEnd, PlainBelowServicePack22SecuredFromIt) {
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    for (int servicePack : {20, 24}) {
        SCOPED_TRACE("service pack " + std::to_string(servicePack));
        {
            hubdb::HubDbSeed seed(s_world->databasePath);
            setServicePack(seed, servicePack);
        }
        const size_t asked = journalLines("browse-v2 ").size();
        std::vector<std::string> errors;
        const std::vector<std::string> paths = browse(now, errors);
        EXPECT_TRUE(errors.empty()) << errors.front();

        // The media agent writes its answer's line once the last response went out.
        EXPECT_TRUE(journalShows([&] { return journalLines("browse-v2 ").size() >= asked + 2; }))
            << journalText();
        const std::vector<std::string> received = journalLines("browse-v2 ");
        ASSERT_EQ(received.size(), asked + 2) << "the request and its answer; journal:\n" << journalText();
        const std::string& request = received[asked];
        const std::string form = servicePack >= 22 ? "browse-v2 secured " : "browse-v2 plain ";
        EXPECT_EQ(request.rfind(form, 0), 0u) << request;
        // The index server is named by its host and client, as media agents are.
        EXPECT_NE(request.find("ma=" + std::string(kAgent) + "*" + kAgent + " db=" + s_backupSetGuid +
                               " dbs=1 subclients="),
                  std::string::npos)
            << request;
        EXPECT_NE(request.find(std::to_string(s_world->fileSubclient)), std::string::npos) << request;
        if (servicePack >= 22) {
            EXPECT_EQ(journalLines("browse secured check=0").size(), 1u);
        }
        EXPECT_NE(received[asked + 1].find("answered worker="), std::string::npos) << received[asked + 1];

        // Asked to, the media agent converts the media of what it answered through the same router.
        EXPECT_TRUE(journalShows([&] { return journalLines("prediction-conversion ").size() > asked / 2; }))
            << journalText();
        const std::vector<std::string> conversions = journalLines("prediction-conversion ");
        ASSERT_FALSE(conversions.empty());
        const std::string& conversion = conversions.back();
        EXPECT_EQ(conversion.find("media=0 "), std::string::npos) << conversion;
        EXPECT_NE(conversion.find("MediaPredictionConvReq=MediaPredictionConvResp:"), std::string::npos)
            << conversion;
        EXPECT_NE(conversion.find("PredictionConversionReqList=PredictionConversionRespList:"),
                  std::string::npos)
            << conversion;
        EXPECT_EQ(conversion.find(":0"), std::string::npos)
            << "physical media found for both: " << conversion;

        const std::vector<std::string> want = expected(request, now);
        ASSERT_FALSE(want.empty());
        EXPECT_EQ(paths, want);
    }
}

// The configuration record of a V2 session `guid`, cached and referenced here, with the database a
// browse of the session chose; the test gives the reference back.
void V2BrowseEndToEnd::holdV2Session(const std::string& guid) {
    EvMultiEntityRestoreTask t;
    v2Task(t, 9390, static_cast<int64_t>(std::time(nullptr)));
    t.setbrowseSessionGUID(guid.c_str());
    bool created = false;
    ASSERT_EQ(g_poConfMgr->openConfRef(&t, created), guid) << g_poConfMgr->getLastError();
    SuperBrowseManager* planner =
        g_poConfMgr->getConfRec(guid, false)->getConfiguration()->getSuperBrowseManager();
    ASSERT_NE(planner, nullptr);
    ASSERT_TRUE(planner->isIndexingV2());
    planner->selectV2Db(dbKey());
    planner->selectV2DbEngineType(kEngine);
}

void V2BrowseEndToEnd::releaseV2Session(const std::string& guid) {
    EXPECT_EQ(g_poConfMgr->closeConfRef(guid), 0);
    g_poConfMgr->deleteConfRec(guid);
}

// A worker of a V2 session that waits for its index server's answers.
class CWaitingWorker : public CWorkerThreadHM {
public:
    CWaitingWorker(std::string guid, long long job, std::string& id)
        : m_guid(std::move(guid)), m_job(job), m_id(id) {}
    bool newRequest(EvMultiEntityRestoreTask*) override {
        fields(*this).browseTask()->getDataPtr()->confId = m_guid;
        fields(*this).privateTask()->setbrowseSessionGUID(m_guid.c_str());
        fields(*this).privateTask()->setJobId(static_cast<unsigned long long>(m_job));
        setAsyncMode(true);
        setOutstandingRequests(1);
        ++fields(*this).answerPeers()["mediaagent1"].requests;  // its index server answers as this machine
        m_id = getWorkerId();
        return true;
    }

private:
    std::string m_guid;
    long long m_job;
    std::string& m_id;
};

// A stop of an indexing-V2 session whose record is cached tells the session's index server, once.
TEST_F(V2BrowseEndToEnd, StopOfAV2SessionReachesItsIndexServer) {
    const std::string guid = "v2-stop-session";
    ASSERT_NO_FATAL_FAILURE(holdV2Session(guid));
    EvMultiEntityRestoreTask stop;
    stop.setBrowseOpType(databrowse::BROWSE_OP_STOP);
    stop.setbrowseSessionGUID(guid.c_str());
    fastBrowseHMProcessRequestMultiEntity(&stop, false, databrowse::FORCE_USE_INDEX_NONE, nullptr);
    EXPECT_TRUE(journalShows([&] { return !journalLines("stop-v2 session=" + guid).empty(); }))
        << journalText();
    EXPECT_EQ(journalLines("stop-v2 session=" + guid).size(), 1u);
    releaseV2Session(guid);
}

// An error 25 (index session lost) answered for a V2 session drops the cached index-server sessions of
// its database; the error still reaches the caller.
TEST_F(V2BrowseEndToEnd, IndexSessionLostClearsTheDatabasesCachedSessions) {
    const std::string guid = "v2-lost-session";
    ASSERT_NO_FATAL_FAILURE(holdV2Session(guid));
    I2::Utils::DbToIdxSrvrSessionCache* cache = I2::Utils::DbToIdxSrvrSessionCache::Instance();
    CZyNetwork* session = nullptr;
    std::string key;
    ASSERT_FALSE(cache->GetSession(dbKey(), kEngine, "", session, key).IsError());
    ASSERT_FALSE(cache->ReleaseSession(key, session).IsError());
    const size_t pools = cache->poolCount();
    ASSERT_GT(pools, 0u);

    const long long job = 9391;
    auto destination = std::make_shared<EvRecordingDestination>();
    EvReturnDestinations::registerDestination(job, destination);
    std::string id;
    e2eworld::workerEnds().install([&] { return new CWaitingWorker(guid, job, id); });
    EvMultiEntityRestoreTask waiting;
    EXPECT_EQ(
        fastBrowseHMProcessRequestMultiEntity(&waiting, false, databrowse::FORCE_USE_INDEX_NONE, nullptr), 1);
    e2eworld::workerEnds().install();
    ASSERT_FALSE(id.empty());

    std::string routerHost;
    ASSERT_EQ(ZYClient(ZYClient::hubmasterClientId()).getNetworkHostnameMangled(routerHost), 0);
    CZyNetwork peer;
    bool timedOut = false;
    ASSERT_FALSE(
        peer.Connect(routerHost.c_str(), CBrowseRouterThreadHM::kServerName, "mediaagent1", 10, timedOut)
            .IsError());
    for (int64_t type : {3, 5}) {
        databrowse::BrowseResponse answer;
        answer.setint64(databrowse::BrowseResponse::f::respType, type);
        answer.setstring(databrowse::BrowseResponse::f::workerId, id);
        databrowse::BrowseSession s;
        s.setstring(databrowse::BrowseSession::f::sessionId, guid);
        answer.setObjectAccessor(s, databrowse::BrowseResponse::f::session);
        if (type == 3) {
            databrowse::BrowseError error;
            error.setint64(databrowse::BrowseError::f::errorCode, 25);
            error.setstring(databrowse::BrowseError::f::errorMessage, "index session lost");
            answer.setlistobject(databrowse::BrowseResponse::f::messages, {error});
        }
        ASSERT_FALSE(peer.SendXMLMessage(answer, 0, 10, timedOut).IsError());
    }
    // The end lets the worker go once the error is through.
    const auto gone = [&] { return g_poControllerThreadHM->getWorker(id) == nullptr; };
    EXPECT_TRUE(e2eworld::workerEnds().waitUntil(gone)) << "worker [" << id << "] still registered";
    EXPECT_LT(cache->poolCount(), pools);
    bool errorSeen = false;
    for (const std::string& xml : destination->payloads(EV_RETURN_RECORD_XML_ITEM))
        errorSeen = errorSeen || xml.find("index session lost") != std::string::npos;
    EXPECT_TRUE(errorSeen);
    EvReturnDestinations::unregisterDestination(job);
    releaseV2Session(guid);
}

// A prediction-only V2 browse is answered here: the index media of the chosen database's jobs and the
// data media, before the one end; nothing goes to the media agent.
TEST_F(V2BrowseEndToEnd, PredictionOfTheIndexDatabasesJobsWithoutTheMediaAgent) {
    const size_t asked = journalLines("browse").size();
    databrowse::BrowseRequest request;
    request.getObjectAccessor(databrowse::BrowseRequest::f::options, true)
        ->setint64(databrowse::BrowseOptions::f::predictVSADB, 1);
    std::vector<std::string> errors;
    size_t predictions = 0;
    const std::vector<std::string> paths =
        browse(static_cast<int64_t>(std::time(nullptr)), errors, &request, &predictions);
    EXPECT_TRUE(errors.empty()) << errors.front();
    EXPECT_TRUE(paths.empty());
    EXPECT_GT(predictions, 0u);
    EXPECT_EQ(journalLines("browse").size(), asked);
}

// Browse by retention: the request names one retention sub-query per subclient of the backup set.
TEST_F(V2BrowseEndToEnd, RetentionSubQueriesForEverySubclient) {
    {
        hubdb::HubDbSeed seed(s_world->databasePath);
        hubdb::FamiliesBSeed params(seed);
        params.setGlobalParam("RetentionBasedBrowse", "1", static_cast<long long>(std::time(nullptr)) - 1);
        ASSERT_TRUE(params.ok()) << params.error();
    }
    const size_t asked = journalLines("browse-v2 ").size();
    std::vector<std::string> errors;
    browse(static_cast<int64_t>(std::time(nullptr)), errors);
    {
        hubdb::HubDbSeed seed(s_world->databasePath);
        hubdb::FamiliesBSeed(seed).setGlobalParam("RetentionBasedBrowse", "0",
                                                  static_cast<long long>(std::time(nullptr)));
    }
    EXPECT_TRUE(errors.empty()) << errors.front();
    EXPECT_TRUE(journalShows([&] { return journalLines("browse-v2 ").size() >= asked + 2; }))
        << journalText();
    const std::vector<std::string> received = journalLines("browse-v2 ");
    ASSERT_GE(received.size(), asked + 1);
    const std::string& request = received[asked];
    const size_t at = request.find("subclients=");
    ASSERT_NE(at, std::string::npos);
    const std::string ids = request.substr(at + 11, request.find(' ', at) - at - 11);
    const size_t subclientCount = static_cast<size_t>(std::count(ids.begin(), ids.end(), ',')) + 1;
    EXPECT_NE(request.find(" retention=" + std::to_string(subclientCount) + " "), std::string::npos)
        << request;
}

}  // namespace
