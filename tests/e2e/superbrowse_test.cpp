// Super browse end to end: the service started in this process over the demo world (controller,
// "BrowseRouter" on a loopback port), the real tools/mediaagent process serving mediaagent1 (release
// 11) with its index service, and browses entered at fastBrowseHMProcessRequestMultiEntity. Each answer
// reaches the task's return channel through the router and is checked against the same media agent's
// item index read directly: a directory at a point in time and over a range, a page with its count,
// one end, the worker gone after it; a prediction-only request answered here without the media agent;
// the planner's media agents tried in order, each once, past one that does not answer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/entities/zyclient.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/log/evdebug.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynetwork.h"
#include "platform/net/zynetwork_server.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndestination.h"
#include "service/browserouterthread.h"
#include "service/controllerthread.h"
#include "service/fastbrowsehm_api.h"
#include "tests/e2e/e2eworld.h"
#include "tests/support/net/net_reserved_port.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/filewatch.h"
#include "tools/mediaagent/itemindex.h"
#include "tools/mediaagent/superbrowseanswer.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
const char* const kAgent = "mediaagent1";

struct TAnswer {
    int64_t type = -1;
    std::vector<std::string> paths;
    std::vector<int64_t> counts;
    std::vector<std::string> errors;
    size_t predictions = 0;
};

std::vector<TAnswer> answersOf(const EvRecordingDestination& destination) {
    std::vector<TAnswer> out;
    for (const std::string& xml : destination.payloads(EV_RETURN_RECORD_XML_ITEM)) {
        databrowse::BrowseResponse response;
        if (response.unserialize(xml) != 0) continue;
        TAnswer a;
        a.type = response.getint64(databrowse::BrowseResponse::f::respType);
        if (auto* errors = response.getlistobject(databrowse::BrowseResponse::f::messages, false))
            for (const CNMessageBase& e : *errors)
                a.errors.push_back(e.getstring(databrowse::BrowseError::f::errorMessage));
        if (auto* predictions = response.getlistobject(databrowse::BrowseResponse::f::predictions, false))
            a.predictions = predictions->size();
        if (response.isSet(databrowse::BrowseResponse::f::browseResult)) {
            CNMessageBase* result =
                response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
            if (auto* items = result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false))
                for (const CNMessageBase& i : *items)
                    a.paths.push_back(i.getstring(databrowse::BrowseData::f::path));
            if (auto* counts = result->getlistobject(databrowse::BrowseResult::f::aggrResultSet, false))
                for (const CNMessageBase& c : *counts)
                    a.counts.push_back(c.getint64(databrowse::AggregateResult::f::count));
        }
        out.push_back(std::move(a));
    }
    return out;
}

size_t countOfType(const std::vector<TAnswer>& answers, int64_t type) {
    size_t n = 0;
    for (const TAnswer& a : answers) n += a.type == type ? 1 : 0;
    return n;
}

std::vector<std::string> pathsOf(const std::vector<TAnswer>& answers) {
    std::vector<std::string> out;
    for (const TAnswer& a : answers) out.insert(out.end(), a.paths.begin(), a.paths.end());
    return out;
}

class SuperBrowseEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        int agentPort = 0;
        int routerPort = 0;
        ASSERT_NO_FATAL_FAILURE(e2eworld::startChain(
            "superbrowse-e2e", kAgent,
            [] {
                return std::vector<std::string>{"--index",   index(), "--files",         "1500",
                                                "--big-dir", "400",   "--files-per-dir", "30",
                                                "--batch",   "100",   "--journal",       journal()};
            },
            s_folder, s_world, s_agent, agentPort, routerPort));
        ASSERT_NO_FATAL_FAILURE(
            e2eworld::pointClientAt(*s_world, "name", zydb::DbValue::ofText(kAgent), agentPort));
    }
    static void TearDownTestSuite() { e2eworld::stopChain(kAgent, s_folder, s_world, s_agent); }
    static std::string index() { return (s_folder / "agent1.items.db").string(); }
    static std::string journal() { return (s_folder / "journal").string(); }
    static size_t journalLines(const std::string& prefix) {
        std::ifstream in(journal());
        size_t n = 0;
        for (std::string line; std::getline(in, line);) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }

    void SetUp() override {
        ASSERT_NE(s_world, nullptr);
        std::string error;
        m_index = mediaagent::CItemIndex::open(index(), error);
        ASSERT_TRUE(m_index) << error;
        ASSERT_TRUE(m_index->jobs(s_world->fileSubclient, m_jobs));
        ASSERT_GE(m_jobs.size(), 6u);
    }
    void TearDown() override {
        for (long long job : m_jobIds) EvReturnDestinations::unregisterDestination(job);
    }

    // A browse of client1's subclient by the administrator, answered into `destination`.
    std::unique_ptr<EvMultiEntityRestoreTask> task(std::shared_ptr<EvRecordingDestination>& destination,
                                                   const std::string& path, int64_t toTime,
                                                   int64_t fromTime = 0, uint64_t options = 0) {
        const long long job = 9100 + static_cast<long long>(m_jobIds.size());
        m_jobIds.push_back(job);
        destination = std::make_shared<EvRecordingDestination>();
        EvReturnDestinations::registerDestination(job, destination);
        auto t = std::make_unique<EvMultiEntityRestoreTask>();
        t->setTaskParameters(static_cast<unsigned long long>(job), 0, s_world->adminUser, options, 2,
                             s_world->fileClient, s_world->fileBackupSet, 0, static_cast<long>(toTime),
                             static_cast<long>(fromTime), s_world->fileAppType, 1, 0, 0);
        t->setUserName("admin");
        t->setSubClientId(s_world->fileSubclient);
        t->addPath(EvRestoreTask::kBrowsePathList, path.c_str());
        // Option 86 asks the planner for super browse even over one cycle of one subclient.
        std::string extended(87, '0');
        extended[86] = '1';
        t->setextendedOptions(extended.c_str());
        return t;
    }
    // Enters the browse and waits for its end and for its worker to leave the registry.
    std::vector<TAnswer> run(EvMultiEntityRestoreTask& t, EvRecordingDestination& destination,
                             databrowse::BrowseRequest* request = nullptr, bool refused = false) {
        const size_t before = g_poControllerThreadHM->getWorkerCount();
        EXPECT_EQ(fastBrowseHMProcessRequestMultiEntity(&t, false, databrowse::FORCE_USE_INDEX_NONE, request),
                  refused ? 0 : 1);
        EXPECT_TRUE(destination.waitForEnd(30s));
        EXPECT_TRUE(e2eworld::workersDownTo(before)) << "the worker leaves the registry after its last end";
        // The media agent journals a request once it has answered it, possibly after the end arrived:
        // the counts of the next test start from every request sent so far.
        EXPECT_TRUE(hubtest::CFileWatch(journal()).waitUntil(
            [] { return journalLines("index-browse") >= requestsSent(); }, 30s))
            << journalLines("index-browse") << " request(s) journalled of " << requestsSent() << " sent";
        auto answers = answersOf(destination);
        for (const TAnswer& a : answers)
            for (const std::string& e : a.errors)
                if (!refused) ADD_FAILURE() << "error answer: " << e;
        return answers;
    }
    std::vector<std::string> direct(const std::string& path, int64_t toTime, int64_t fromTime = 0,
                                    uint32_t skip = 0, uint32_t pageSize = 0) {
        mediaagent::TBrowseQuery q;
        q.appId = s_world->fileSubclient;
        q.path = path;
        q.toTime = toTime;
        q.fromTime = fromTime;
        q.skip = skip;
        q.pageSize = pageSize;
        std::vector<mediaagent::TItemVersion> versions;
        bool found = false;
        EXPECT_TRUE(fromTime ? m_index->listRange(q, versions, found) : m_index->listAt(q, versions, found));
        std::vector<std::string> out;
        for (const auto& v : versions) out.push_back(v.path);
        return out;
    }
    static std::string logs() {
        std::string text;
        for (const auto& entry : fs::directory_iterator(s_folder))
            if (entry.path().extension() == ".log") {
                std::ifstream in(entry.path());
                text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            }
        return text;
    }
    static size_t requestsSent() {
        const std::string text = logs(), sent = "browse request was successfully sent to mediaAgent [";
        size_t n = 0;
        for (size_t at = text.find(sent); at != std::string::npos; at = text.find(sent, at + 1)) ++n;
        return n;
    }

    static fs::path s_folder;
    static hubdemo::DemoWorld* s_world;
    static hubtest::CChildProcess* s_agent;
    std::unique_ptr<mediaagent::CItemIndex> m_index;
    std::vector<mediaagent::TIndexJob> m_jobs;
    std::vector<long long> m_jobIds;
};
fs::path SuperBrowseEndToEnd::s_folder;
hubdemo::DemoWorld* SuperBrowseEndToEnd::s_world = nullptr;
hubtest::CChildProcess* SuperBrowseEndToEnd::s_agent = nullptr;

}  // namespace

TEST_F(SuperBrowseEndToEnd, DirectoryAtAPointInTimeThroughTheRouter) {
    std::shared_ptr<EvRecordingDestination> destination;
    const int64_t at = m_jobs[4].time;
    auto t = task(destination, "/big", at);
    auto answers = run(*t, *destination);
    EXPECT_EQ(countOfType(answers, 3), 0u);
    ASSERT_EQ(countOfType(answers, 5), 1u);
    EXPECT_EQ(answers.back().type, 5);
    const auto expected = direct("/big", at);
    ASSERT_GT(expected.size(), 100u);
    EXPECT_EQ(pathsOf(answers), expected);
}

// A from-time only bounds which backups count: a browse from the oldest backup to a later one still
// lists the directory as of its to-time, one version an item.
TEST_F(SuperBrowseEndToEnd, PointInTimeWithAFromTimeListsOneVersionAnItem) {
    std::shared_ptr<EvRecordingDestination> destination;
    const int64_t at = m_jobs[4].time;
    auto t = task(destination, "/big", at, m_jobs[0].time);
    const auto answers = run(*t, *destination);
    ASSERT_EQ(countOfType(answers, 5), 1u);
    EXPECT_EQ(pathsOf(answers), direct("/big", at));
}

TEST_F(SuperBrowseEndToEnd, VersionsOverARangeThroughTheRouter) {
    std::shared_ptr<EvRecordingDestination> destination;
    auto r = task(destination, "/big", m_jobs[4].time, m_jobs[1].time, mediaagent::kOptionVersions);
    const auto answers = run(*r, *destination);
    EXPECT_EQ(countOfType(answers, 5), 1u);
    EXPECT_EQ(pathsOf(answers), direct("/big", m_jobs[4].time, m_jobs[1].time));
    EXPECT_GE(journalLines("index-browse answered worker="), 1u);
}

TEST_F(SuperBrowseEndToEnd, PageAndCountWithOneEnd) {
    std::string pattern;
    ASSERT_NO_FATAL_FAILURE(e2eworld::pageAndCountPattern("page", pattern));

    std::shared_ptr<EvRecordingDestination> destination;
    const int64_t at = m_jobs[5].time;
    auto t = task(destination, "/big", at);
    t->setbrowseFindPattern(pattern.c_str());
    const auto answers = run(*t, *destination);
    EXPECT_EQ(countOfType(answers, 5), 1u);
    EXPECT_EQ(pathsOf(answers), direct("/big", at, 0, 50, 100));
    mediaagent::TBrowseQuery q;
    q.appId = s_world->fileSubclient;
    q.path = "/big";
    q.toTime = at;
    int64_t total = 0;
    bool found = false;
    ASSERT_TRUE(m_index->countAt(q, total, found));
    std::vector<int64_t> counts;
    for (const TAnswer& a : answers) counts.insert(counts.end(), a.counts.begin(), a.counts.end());
    EXPECT_EQ(counts, std::vector<int64_t>{total});
}

TEST_F(SuperBrowseEndToEnd, PredictionOnlyIsAnsweredHereWithoutTheMediaAgent) {
    const size_t asked = journalLines("index-browse");
    std::shared_ptr<EvRecordingDestination> destination;
    auto t = task(destination, "/big", m_jobs[4].time);
    t->setOptions(1ULL << 38);
    databrowse::BrowseRequest request;
    request.getObjectAccessor(databrowse::BrowseRequest::f::options, true)
        ->setint64(databrowse::BrowseOptions::f::predictVSADB, 1);
    const auto answers = run(*t, *destination, &request);
    EXPECT_EQ(countOfType(answers, 5), 1u);
    EXPECT_EQ(countOfType(answers, 3), 0u);
    // The index and data media of the chosen cycle come from this side's prediction, before the end.
    size_t media = 0;
    for (const TAnswer& a : answers) media += a.type == 1 ? a.predictions : 0;
    EXPECT_GT(media, 0u);
    ASSERT_FALSE(answers.empty());
    EXPECT_EQ(answers.back().type, 5);
    EXPECT_EQ(journalLines("index-browse"), asked) << "nothing goes to the media agent";
}

TEST_F(SuperBrowseEndToEnd, MediaAgentOlderThanTheBackupsIsRefusedWithItsMessage) {
    const size_t asked = journalLines("index-browse");
    std::shared_ptr<EvRecordingDestination> destination;
    auto t = task(destination, "/big", m_jobs[4].time);
    // The task names the release-9.0 media agent; the backups of the range were written by release 11.
    t->setMediaAgentId(s_world->offlineMediaAgent);
    const auto answers = run(*t, *destination, nullptr, true);
    ASSERT_EQ(countOfType(answers, 3), 1u);
    std::string text;
    for (const TAnswer& a : answers)
        for (const std::string& e : a.errors) text += e;
    EXPECT_NE(text.find("older version than the one that wrote the backups"), std::string::npos) << text;
    EXPECT_EQ(journalLines("index-browse"), asked) << "nothing goes to a refused media agent";
}

TEST_F(SuperBrowseEndToEnd, DirectCallerGetsThePreparedRequestAndNothingIsSent) {
    const size_t asked = journalLines("index-browse");
    std::string token;
    ASSERT_EQ(EvSecurityMgr::IssueZetaToken(s_world->adminUser, false, 3600, token), 0);
    databrowse::BrowseRequest request;
    request.setint64(databrowse::BrowseRequest::f::opType, 1);
    request.getObjectAccessor(databrowse::BrowseRequest::f::session, true)
        ->setstring(databrowse::BrowseSession::f::sessionId, "superbrowse-direct");
    CNMessageBase* entity = request.getObjectAccessor(databrowse::BrowseRequest::f::entity, true);
    entity->setstring(ZyEntities::GenericEntity::f::clientName, "client1");
    entity->setint64(ZyEntities::GenericEntity::f::subclientId, s_world->fileSubclient);
    databrowse::BrowsePath path;
    path.setstring(databrowse::BrowsePath::f::path, "/big");
    request.setlistobject(databrowse::BrowseRequest::f::paths, {path});
    request.setstring(databrowse::BrowseRequest::f::token, token);

    CZyNetworkServer* router = g_poBrowseRouterThreadHM->getSessionServer();
    CZyNetwork peer;
    bool timedOut = false;
    ASSERT_FALSE(peer.Connect(MangleHostName("127.0.0.1", "hubmaster", 0, router->GetPort()).c_str(),
                              CBrowseRouterThreadHM::kServerName, "client1", 10, timedOut)
                     .IsError());
    ASSERT_FALSE(peer.SendXMLMessage(request, 0, 10, timedOut).IsError());
    CNMessageBase* reply = nullptr;
    ignoreResult(peer.ReceiveXMLMessage(nullptr, reply, nullptr, 0, 60, timedOut),
                 "the reply is checked next");
    std::unique_ptr<CNMessageBase> owned(reply);
    ASSERT_TRUE(owned);
    ASSERT_EQ(owned->getTagID(), Indexing::BrowseReq::TAG) << owned->AsString();
    auto* sources = owned->getliststring(Indexing::BrowseReq::f::sourcePaths, false);
    ASSERT_NE(sources, nullptr);
    EXPECT_EQ(*sources, std::vector<std::string>{"/big"});
    EXPECT_EQ(journalLines("index-browse"), asked) << "a direct caller's request is only prepared";
}

// The planner lists the media agent of every cycle in the window, in time order. On a third copy of the
// policy the first week's cycle sits on mediaagent1, the second week's cycles (split in two by an extra
// full that only this copy holds) on a release-11 media agent whose port has nothing listening and whose
// name sorts first. The agents are tried sorted, not in the planner's order: the silent agent, listed
// twice, is tried once and first; mediaagent1 answers.
TEST_F(SuperBrowseEndToEnd, PlannerMediaAgentsAreTriedSortedOncePastOneThatDoesNotAnswer) {
    hubtest::CReservedPort silent;
    ASSERT_GT(silent.port(), 0);
    const int64_t at = m_jobs.back().time;
    const int secondWeek = static_cast<int>(s_world->firstBackupTime) + 7 * 86400;
    ASSERT_GE(at, secondWeek);
    hubdb::HubDbSeed seed(s_world->databasePath);
    const int down = seed.addMediaAgent(
        {.name = "mediaagent0", .hostName = "127.0.0.1", .zydPort = silent.port()}, "11.0", 1);
    const int copy = seed.addCopy(s_world->storagePolicy, 3, down, "demo-policy third");
    ASSERT_GT(down, 0);
    ASSERT_GT(copy, 0);
    const long long extraFile = 1 + seed.queryInt("SELECT MAX(id) FROM archFile");
    struct TCleanUp {
        hubdb::HubDbSeed& seed;
        int down, copy;
        long long file;
        ~TCleanUp() {
            using zydb::DbValue;
            seed.exec("DELETE FROM archFileCopy WHERE archCopyId = ?", {DbValue::ofInt(copy)});
            seed.exec("DELETE FROM archFile WHERE id = ?", {DbValue::ofInt(file)});
            seed.exec("DELETE FROM archGroupCopy WHERE id = ?", {DbValue::ofInt(copy)});
            seed.exec("DELETE FROM mediaAgent WHERE clientId = ?", {DbValue::ofInt(down)});
            seed.exec("DELETE FROM APP_Client WHERE id = ?", {DbValue::ofInt(down)});
        }
    } cleanUp{seed, down, copy, extraFile};
    const int extraFull = secondWeek + 3 * 86400 + 5400;
    ASSERT_LT(extraFull, at);
    ASSERT_EQ(
        seed.exec("INSERT INTO archFile (id, name, kelmarchId, archGroupId, flags, appId, fileType, cTime, "
                  "jobId, backupLevel, isValid) SELECT ?, 'Not Named', kelmarchId, archGroupId, 0, appId, "
                  "1, ?, 1 + (SELECT MAX(jobId) FROM archFile), 1, 1 FROM archFile WHERE appId = ? LIMIT 1",
                  {zydb::DbValue::ofInt(extraFile), zydb::DbValue::ofInt(extraFull),
                   zydb::DbValue::ofInt(s_world->fileSubclient)}),
        0);
    ASSERT_EQ(
        seed.exec("INSERT INTO archFileCopy (archFileId, kelmarchId, archCopyId, isValid, agedBy, "
                  "mediaAgentId, physicalSize, logicalSize) SELECT f.id, f.kelmarchId, ?1, 1, 0, CASE WHEN "
                  "f.cTime < ?2 THEN ?4 ELSE ?3 END, 1000, 4000 FROM archFile f WHERE f.appId = ?5",
                  {zydb::DbValue::ofInt(copy), zydb::DbValue::ofInt(secondWeek), zydb::DbValue::ofInt(down),
                   zydb::DbValue::ofInt(s_world->mediaAgent), zydb::DbValue::ofInt(s_world->fileSubclient)}),
        0);

    const size_t answered = journalLines("index-browse answered worker=");
    std::shared_ptr<EvRecordingDestination> destination;
    auto t = task(destination, "/big", at);
    t->setArchGroupCopyPrecedence(3);
    const auto answers = run(*t, *destination);
    EXPECT_EQ(countOfType(answers, 5), 1u);
    EXPECT_EQ(pathsOf(answers), direct("/big", at));
    EXPECT_EQ(journalLines("index-browse answered worker="), answered + 1) << "one agent answered, once";

    const std::string silentName = MangleHostName("127.0.0.1", "mediaagent0", 0, silent.port());
    const std::string tried = "indexing service on mediaagent [" + silentName + "] is probably down";
    const std::string text = logs();
    const size_t first = text.find(tried);
    ASSERT_NE(first, std::string::npos) << "the silent media agent is tried";
    EXPECT_EQ(text.find(tried, first + 1), std::string::npos) << "a media agent listed twice is tried once";
    EXPECT_NE(text.find("browse request was successfully sent to mediaAgent [mediaagent1]", first),
              std::string::npos)
        << "mediaagent1 answers after the silent one";
}
