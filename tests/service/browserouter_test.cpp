// BrowseRouter and the index service end to end: the service's start-up objects in this process (the
// router on a loopback port, the controller with test workers registered as a super browse registers
// them), real media-agent processes with their index service, and peers that answer the router
// themselves: dispatch by tag, the two conversions, relays in order to the return channel, dropped
// answers, the classic item form, stops at the entry point, launches, and signed requests.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Db/Tbl/APP_ClientProp.h"
#include "planning/browsetask.h"
#include "planning/confmgr.h"
#include "planning/confrecord.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/entities/propertystore.h"
#include "platform/entities/zyclient.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/indexing/powermanagement.h"
#include "platform/msg/secured_message_handler.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynetwork.h"
#include "platform/net/zynetwork_pool.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndestination.h"
#include "service/browserouterthread.h"
#include "service/controllerthread.h"
#include "service/fastbrowsehm_api.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/deadline.h"
#include "tests/support/process/filewatch.h"
#include "tests/support/tls/testpki.h"
#include "tests/support/worker/workertester.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

using namespace std::chrono_literals;
const char* const kAgent = "mediaagent3";
const char* const kListening = "listening on 127.0.0.1:";

// The worker has been deleted (its browse ended), within a limit.
bool workerGone(const std::string& id) {
    return g_poControllerThreadHM->waitForWorker(id, 20000);
}

std::vector<std::string> lines(const std::string& path) {
    std::vector<std::string> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

size_t countStarting(const std::vector<std::string>& all, const std::string& prefix) {
    size_t n = 0;
    for (const std::string& l : all) n += l.rfind(prefix, 0) == 0;
    return n;
}

// The media agent writes its journal as it goes: looked at again after each write, within a limit.
bool journalHolds(const std::string& path, const std::function<bool(const std::vector<std::string>&)>& done) {
    hubtest::CFileWatch watch(path);
    return watch.waitUntil([&] { return done(lines(path)); }, 20s);
}

// What a registered test worker is to do in newRequest.
struct TPlan {
    TPlan(std::string g, long long job) : guid(std::move(g)), jobId(job) {}
    std::string guid;
    long long jobId;
    std::string agentHost;  // non-empty: the worker sends a plain browse request there
    std::string routerHost;
    std::string recordAgent;  // the worker enters itself in the session's record with this media agent
    bool inRecord = false;
    // Without an agent host: the media agent the worker counts as asked (the test answers as it).
    std::string answerer = "mediaagent1";
};

class CRelayWorker : public CWorkerThreadHM {
public:
    CRelayWorker(TPlan plan, std::function<void(const std::string&)> made)
        : m_plan(std::move(plan)), m_made(std::move(made)) {}

    bool newRequest(EvMultiEntityRestoreTask*) override {
        fields(*this).browseTask()->getDataPtr()->confId = m_plan.guid;
        fields(*this).privateTask()->setbrowseSessionGUID(m_plan.guid.c_str());
        fields(*this).privateTask()->setJobId(static_cast<unsigned long long>(m_plan.jobId));
        if (m_plan.inRecord) {
            CConfRecordRef record = g_poConfMgr->holdConfRec(m_plan.guid);
            if (!record) return false;
            record->updateWorkerInConf(getWorkerId(), m_plan.recordAgent);
        }
        setAsyncMode(true);
        setOutstandingRequests(1);
        m_made(getWorkerId());
        if (m_plan.agentHost.empty()) {
            ++fields(*this).answerPeers()[m_plan.answerer].requests;
            return true;
        }
        setMediaAgentHost(m_plan.agentHost);
        databrowse::BrowseRequest request = routedRequest(m_plan.guid, m_plan.routerHost, getWorkerId());
        return sendReqToMA(&request);
    }

    static databrowse::BrowseRequest routedRequest(const std::string& guid, const std::string& routerHost,
                                                   const std::string& workerId) {
        databrowse::BrowseRequest request;
        databrowse::BrowseSession session;
        session.setstring(databrowse::BrowseSession::f::sessionId, guid);
        request.setObjectAccessor(session, databrowse::BrowseRequest::f::session);
        request.setint64(databrowse::BrowseRequest::f::opType, databrowse::BROWSE_OP_BROWSE);
        CNMessageBase* routing = request.getObjectAccessor(databrowse::BrowseRequest::f::indexing, true)
                                     ->getObjectAccessor(databrowse::Msg91::f::indexingInfo, true);
        routing->setstring(databrowse::IndexingInfo::f::hubmasterHost, routerHost);
        routing->setstring(databrowse::IndexingInfo::f::routerName, CBrowseRouterThreadHM::kServerName);
        routing->setstring(databrowse::IndexingInfo::f::workerId, workerId);
        return request;
    }

private:
    TPlan m_plan;
    std::function<void(const std::string&)> m_made;
};

// A worker on the test's stack, for the sends of the index-service road.
class CSenderWorker : public CWorkerThreadHM {
public:
    bool newRequest(EvMultiEntityRestoreTask*) override { return false; }
    void useAgent(const std::string& host, const std::string& clientName) {
        setMediaAgentHost(host);
        setMediaAgentClientName(clientName);
    }
    void setRequestToReturn() { fields(*this).requestToReturn() = &fields(*this).browseRequest(); }
};

class BrowseRouterWorld : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s = new TShared;
        std::string error;
        ASSERT_TRUE(hubdemo::createDemoWorld(s->dir.file("demo"), s->world, &error)) << error;
        ASSERT_EQ(hubdb::openHubDatabase(s->world.databasePath, &error), 0) << error;
        ASSERT_TRUE(ZYPlatformInfo::setString(I2::SecuredMessageHandler::kKeySection,
                                              I2::SecuredMessageHandler::kKeyName,
                                              "browse-router-test-signing-key-0123456789"));
        ASSERT_EQ(fastBrowseHMInitialize(), 1);
        char notListening[256] = "";
        const int port = fastBrowseHMWaitForListener(60, notListening, sizeof notListening);
        ASSERT_GT(port, 0) << notListening;
        s->routerHost = MangleHostName("127.0.0.1", "hubmaster", 0, port);

        std::ofstream(s->dir.file("script")) << "items 3 a\npredictions 2\nwarning 30 slow media\n"
                                                "error 25 index session lost\nitems 2 b\nend\n";
        s->agent = startAgent("on-demand", "journal", s->agentHost);
        s->refusing = startAgent("refused", "refused-journal", s->refusingHost);
    }
    static void TearDownTestSuite() {
        fastBrowseHMCleanUp();
        delete s;
        s = nullptr;
        zydb::CDbEnv::close();
        ZYPlatformInfo::setRegistryPath("");
    }
    void TearDown() override { g_poControllerThreadHM->setWorkerFactory(nullptr); }

    static std::unique_ptr<hubtest::CChildProcess> startAgent(const std::string& launch,
                                                              const std::string& journal, std::string& host) {
        auto agent = std::make_unique<hubtest::CChildProcess>(
            "tools/mediaagent/mediaagent",
            std::vector<std::string>{"--hub",           s->world.databasePath,
                                     "--client",        kAgent,
                                     "--port",          "0",
                                     "--index",         s->dir.file(journal + ".items.db"),
                                     "--files",         "200",
                                     "--log",           s->dir.path(),
                                     "--index-service", launch,
                                     "--index-script",  s->dir.file("script"),
                                     "--journal",       s->dir.file(journal),
                                     "--registry",      s->world.registryPath});
        EXPECT_TRUE(agent->waitFor(kListening, 60s)) << agent->output();
        host = MangleHostName("127.0.0.1", kAgent, 0, static_cast<int>(agent->numberAfter(kListening)));
        return agent;
    }

    // Registers the test worker of `plan` through the entry point; its worker id.
    std::string registerWorker(TPlan plan) {
        std::string id;
        std::mutex m;
        g_poControllerThreadHM->setWorkerFactory([&plan, &id, &m] {
            return std::make_shared<CRelayWorker>(plan, [&](const std::string& made) {
                std::lock_guard<std::mutex> lock(m);
                id = made;
            });
        });
        EvMultiEntityRestoreTask task;
        task.setbrowseSessionGUID(plan.guid.c_str());
        EXPECT_EQ(
            fastBrowseHMProcessRequestMultiEntity(&task, false, databrowse::FORCE_USE_INDEX_NONE, nullptr),
            1);
        std::lock_guard<std::mutex> lock(m);
        return id;
    }

    std::shared_ptr<EvRecordingDestination> record(long long jobId) {
        auto destination = std::make_shared<EvRecordingDestination>();
        EvReturnDestinations::registerDestination(jobId, destination);
        return destination;
    }

    static std::vector<databrowse::BrowseResponse> responses(const EvRecordingDestination& d) {
        std::vector<databrowse::BrowseResponse> out;
        for (const std::string& xml : d.payloads(EV_RETURN_RECORD_XML_ITEM)) {
            databrowse::BrowseResponse r;
            EXPECT_EQ(r.unserialize(xml), 0) << xml;
            out.push_back(std::move(r));
        }
        return out;
    }
    static std::vector<int64_t> types(const std::vector<databrowse::BrowseResponse>& rs) {
        std::vector<int64_t> out;
        for (const auto& r : rs) out.push_back(r.getint64(databrowse::BrowseResponse::f::respType));
        return out;
    }
    static size_t itemCount(databrowse::BrowseResponse& r) {
        CNMessageBase* result = r.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
        auto* data =
            result ? result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false) : nullptr;
        return data ? data->size() : 0;
    }

    // A peer of the router: the media agent the worker asked answering it, unless another machine is named.
    std::unique_ptr<CZyNetwork> connectRouter(const char* as = "mediaagent1") {
        auto peer = std::make_unique<CZyNetwork>();
        bool timedOut = false;
        EXPECT_FALSE(
            peer->Connect(s->routerHost.c_str(), CBrowseRouterThreadHM::kServerName, as, 10, timedOut)
                .IsError());
        return peer;
    }
    static databrowse::BrowseResponse answer(int64_t type, const std::string& worker, const std::string& guid,
                                             int items = 0, const std::string& prefix = "x") {
        databrowse::BrowseResponse r;
        r.setint64(databrowse::BrowseResponse::f::respType, type);
        r.setstring(databrowse::BrowseResponse::f::workerId, worker);
        databrowse::BrowseSession session;
        session.setstring(databrowse::BrowseSession::f::sessionId, guid);
        r.setObjectAccessor(session, databrowse::BrowseResponse::f::session);
        std::vector<CNMessageBase> data;
        for (int i = 0; i < items; ++i) {
            databrowse::BrowseData d;
            d.setstring(databrowse::BrowseData::f::name, prefix + std::to_string(i));
            d.setstring(databrowse::BrowseData::f::path, "/dir/" + prefix + std::to_string(i));
            d.setint64(databrowse::BrowseData::f::size, 5000000000LL + i);
            databrowse::Msg93 inner;
            inner.setint64(databrowse::Msg93::f::archiveFileId, 77);
            ZyEntities::Msg10 subclient;
            subclient.setint64(ZyEntities::Msg10::f::subclientId, 12);
            inner.setObjectAccessor(subclient, databrowse::Msg93::f::subclientEntity);
            d.setObjectAccessor(inner, databrowse::BrowseData::f::advancedData);
            data.push_back(std::move(d));
        }
        if (items)
            r.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, true)
                ->setlistobject(databrowse::BrowseResult::f::dataResultSet, data);
        return r;
    }
    static void send(CZyNetwork& peer, CNMessageBase& message) {
        bool timedOut = false;
        EXPECT_FALSE(peer.SendXMLMessage(message, 0, 10, timedOut).IsError());
    }
    // Asks the router something it answers on `peer`: once the answer is back, everything sent before
    // on that connection has been handled.
    static void roundTrip(CZyNetwork& peer) {
        databrowse::MediaPredictionConvReq media;
        send(peer, media);
        bool timedOut = false;
        CNMessageBase* reply = nullptr;
        EXPECT_FALSE(peer.ReceiveXMLMessage(nullptr, reply, nullptr, 0, 20, timedOut).IsError());
        EXPECT_FALSE(timedOut);
        delete reply;
    }

    struct TShared {
        TempDir dir;
        hubdemo::DemoWorld world;
        std::string routerHost, agentHost, refusingHost;
        std::unique_ptr<hubtest::CChildProcess> agent, refusing;
    };
    static TShared* s;
};
BrowseRouterWorld::TShared* BrowseRouterWorld::s = nullptr;

TEST_F(BrowseRouterWorld, DispatchByTagUnknownDroppedBrowseRequestRefusedDisconnectAnswered) {
    auto peer = connectRouter();
    bool timedOut = false;
    databrowse::BrowseSession unknown;  // no handler serves this tag
    send(*peer, unknown);
    CNMessageBase* reply = nullptr;
    EXPECT_FALSE(peer->ReceiveXMLMessage(nullptr, reply, nullptr, 0, 1, timedOut).IsError());
    EXPECT_TRUE(timedOut);
    EXPECT_EQ(reply, nullptr);

    // The connection still serves: a routed browse request gets the one error answer (naming no
    // client, it is refused as for data the caller may not browse).
    databrowse::BrowseRequest request;
    send(*peer, request);
    ASSERT_FALSE(peer->ReceiveXMLMessage(nullptr, reply, nullptr, 0, 10, timedOut).IsError());
    std::unique_ptr<CNMessageBase> owned(reply);
    ASSERT_TRUE(owned && owned->getTagID() == databrowse::BrowseResponse::TAG);
    EXPECT_EQ(owned->getint64(databrowse::BrowseResponse::f::respType), 3);
    auto* errors = owned->getlistobject(databrowse::BrowseResponse::f::messages, false);
    ASSERT_TRUE(errors && errors->size() == 1u);
    EXPECT_EQ(errors->front().getint64(databrowse::BrowseError::f::errorCode),
              databrowse::BROWSE_ERR_PERMISSION);

    EXPECT_FALSE(peer->Disconnect(10, timedOut).IsError()) << "the disconnect request is answered";
    EXPECT_FALSE(timedOut);
}

TEST_F(BrowseRouterWorld, ConversionsAnswerThroughThePredictionClients) {
    bool timedOut = false;
    databrowse::MediaPredictionConvReq media;
    media.setint64(databrowse::MediaPredictionConvReq::f::lookUpIndexFiles, 0);
    CNMessageBase* reply = nullptr;
    // A caller that is no known client is refused.
    auto stranger = connectRouter("no-such-machine");
    send(*stranger, media);
    ASSERT_FALSE(stranger->ReceiveXMLMessage(nullptr, reply, nullptr, 0, 10, timedOut).IsError());
    std::unique_ptr<CNMessageBase> refused(reply);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->getTagID(), databrowse::BrowseResponse::TAG);
    // A media agent asking while it answers a browse is served.
    auto peer = connectRouter(kAgent);
    send(*peer, media);
    ASSERT_FALSE(peer->ReceiveXMLMessage(nullptr, reply, nullptr, 0, 10, timedOut).IsError());
    std::unique_ptr<CNMessageBase> first(reply);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->getTagID(), databrowse::MediaPredictionConvResp::TAG);

    Indexing::PredictionConversionReqList list;
    list.setint64(Indexing::PredictionConversionReqList::f::copyPrecedence, 1);
    send(*peer, list);
    ASSERT_FALSE(peer->ReceiveXMLMessage(nullptr, reply, nullptr, 0, 10, timedOut).IsError());
    std::unique_ptr<CNMessageBase> second(reply);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->getTagID(), Indexing::PredictionConversionRespList::TAG);
}

TEST_F(BrowseRouterWorld, MediaAgentAnswersRelayedInOrderAndWorkerDeletedAfterEnd) {
    auto channel = record(9101);
    TPlan plan("relay-session-1", 9101);
    plan.agentHost = s->agentHost;
    plan.routerHost = s->routerHost;
    const std::string id = registerWorker(plan);
    ASSERT_FALSE(id.empty());
    ASSERT_TRUE(channel->waitForEnd(0ms) || workerGone(id)) << s->agent->output();

    // The agent journals its answer once the last response went out, possibly after the end arrived here.
    const std::string answered = "answered worker=" + id + " ";
    EXPECT_TRUE(journalHolds(s->dir.file("journal"), [&](const auto& now) {
        return countStarting(now, answered) > 0;
    })) << s->agent->output();
    const auto journal = lines(s->dir.file("journal"));
    EXPECT_EQ(countStarting(journal, "launch service=IndexingService_0 result=0"), 1u)
        << "launched on demand";
    EXPECT_EQ(countStarting(journal, "browse plain session=relay-session-1"), 1u);
    // The worker id the agent read and echoed is the decimal text of the worker's number, nothing more.
    EXPECT_TRUE(!id.empty() && id.find_first_not_of("0123456789") == std::string::npos) << id;
    EXPECT_EQ(countStarting(journal, answered), 1u) << s->agent->output();
    auto rs = responses(*channel);
    // The prediction-only answer feeds the prediction; everything else reaches the caller in order.
    ASSERT_EQ(types(rs), (std::vector<int64_t>{0, 4, 3, 0, 5}));
    EXPECT_EQ(itemCount(rs[0]), 3u);
    EXPECT_EQ(itemCount(rs[3]), 2u);
    EXPECT_EQ(rs[2]
                  .getlistobject(databrowse::BrowseResponse::f::messages, false)
                  ->front()
                  .getint64(databrowse::BrowseError::f::errorCode),
              25);
}

// A media agent may keep the worker id as the 64-bit number it is and echo its decimal text: its answers
// reach the worker. The same answers from an agent the worker did not ask do not.
TEST_F(BrowseRouterWorld, AnAgentEchoingTheWorkerNumberIsRelayedOthersAreNot) {
    const std::string guid = "relay-number";
    auto channel = record(9110);
    const std::string id = registerWorker(TPlan(guid, 9110));
    ASSERT_FALSE(id.empty());
    const std::string number = std::to_string(std::stoull(id));
    auto other = connectRouter("mediaagent2");
    auto otherItems = answer(0, number, guid, 3, "other-");
    send(*other, otherItems);
    roundTrip(*other);
    auto peer = connectRouter();
    auto mine = answer(0, number, guid, 3, "mine-");
    send(*peer, mine);
    roundTrip(*peer);
    auto end = answer(5, number, guid);
    send(*peer, end);
    ASSERT_TRUE(workerGone(number));
    auto rs = responses(*channel);
    ASSERT_EQ(types(rs), (std::vector<int64_t>{0, 5}));
    CNMessageBase* result = rs[0].getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
    std::vector<std::string> names;
    for (CNMessageBase& d : *result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false))
        names.push_back(d.getstring(databrowse::BrowseData::f::name));
    EXPECT_EQ(names, (std::vector<std::string>{"mine-0", "mine-1", "mine-2"}));
}

TEST_F(BrowseRouterWorld, UnknownWorkersAndForeignSessionsDroppedBackToBackAnswersAllArrive) {
    auto channel = record(9102);
    const std::string id = registerWorker(TPlan("relay-session-2", 9102));
    ASSERT_FALSE(id.empty());
    auto peer = connectRouter();
    auto stranger = answer(0, "999999999", "relay-session-2", 4, "lost");
    send(*peer, stranger);
    // Right worker and session, but from a machine the worker did not ask, or from a caller without a
    // certificate: dropped.
    for (const char* as : {"client1", hubtest::kAnonymous}) {
        auto forger = connectRouter(as);
        auto forged = answer(0, id, "relay-session-2", 4, "forged");
        auto forgedEnd = answer(5, id, "relay-session-2");
        send(*forger, forged);
        send(*forger, forgedEnd);
    }
    auto foreignItems = answer(0, id, "someone-elses-session", 4, "evil");
    auto foreignEnd = answer(5, id, "someone-elses-session");
    send(*peer, foreignItems);
    send(*peer, foreignEnd);
    constexpr int kAnswers = 50;
    for (int i = 0; i < kAnswers; ++i) {
        auto items = answer(0, id, "relay-session-2", 20, "n" + std::to_string(i) + "-");
        send(*peer, items);
    }
    // An end that also carries prediction items still ends the worker.
    auto end = answer(5, id, "relay-session-2");
    databrowse::LogicalMedia media;
    media.setint64(databrowse::LogicalMedia::f::flags, 0x8);
    media.setint64(databrowse::LogicalMedia::f::archFileId, 1);
    databrowse::PredictionData prediction;
    prediction.setObjectAccessor(media, databrowse::PredictionData::f::logicalMedia);
    end.setlistobject(databrowse::BrowseResponse::f::predictions, {prediction});
    send(*peer, end);
    ASSERT_TRUE(workerGone(id));

    auto rs = responses(*channel);
    ASSERT_EQ(rs.size(), static_cast<size_t>(kAnswers + 1)) << "no loss, nothing foreign";
    for (int i = 0; i < kAnswers; ++i) {
        ASSERT_EQ(itemCount(rs[i]), 20u);
        CNMessageBase* result = rs[i].getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
        EXPECT_EQ(result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false)
                      ->front()
                      .getstring(databrowse::BrowseData::f::name),
                  "n" + std::to_string(i) + "-0");
    }
    EXPECT_EQ(rs.back().getint64(databrowse::BrowseResponse::f::respType), 5);
}

// A media agent may go on with its answer to a worker on another connection under its proven name once
// its first one ended in the middle of the answer, the end of the first seen before or after the next one's
// answers: every answer reaches the worker in the order it came, and the worker ends with the end.
TEST_F(BrowseRouterWorld, AnAgentMayGoOnWithItsAnswerOnAnotherConnection) {
    const auto names = [](databrowse::BrowseResponse& r) {
        std::vector<std::string> out;
        CNMessageBase* result = r.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
        if (auto* data =
                result ? result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false) : nullptr)
            for (CNMessageBase& d : *data) out.push_back(d.getstring(databrowse::BrowseData::f::name));
        return out;
    };
    // One after another, the first connection's end seen before the next one's answers (awaited), or not.
    for (const bool endSeenFirst : {true, false}) {
        const std::string guid = std::string("relay-split-") + (endSeenFirst ? "seen" : "unseen");
        const long long job = endSeenFirst ? 9111 : 9112;
        auto channel = record(job);
        const std::string id = registerWorker(TPlan(guid, job));
        ASSERT_FALSE(id.empty());
        {
            auto first = connectRouter();
            auto items = answer(0, id, guid, 2, "a");
            send(*first, items);
            roundTrip(*first);
            bool timedOut = false;
            EXPECT_FALSE(first->Disconnect(10, timedOut).IsError());
        }
        if (endSeenFirst) {
            const hubtest::TDeadline limit = hubtest::deadlineIn(20s);
            while (!g_poControllerThreadHM->answerStreams().awaitsAgent(id) && hubtest::msUntil(limit) > 0)
                std::this_thread::sleep_for(1ms);
            ASSERT_TRUE(g_poControllerThreadHM->answerStreams().awaitsAgent(id));
        }
        auto next = connectRouter();
        auto more = answer(0, id, guid, 2, "b");
        auto end = answer(5, id, guid);
        send(*next, more);
        send(*next, end);
        ASSERT_TRUE(workerGone(id)) << guid;
        auto rs = responses(*channel);
        ASSERT_EQ(types(rs), (std::vector<int64_t>{0, 0, 5})) << guid;
        EXPECT_EQ(names(rs[0]), (std::vector<std::string>{"a0", "a1"}));
        EXPECT_EQ(names(rs[1]), (std::vector<std::string>{"b0", "b1"}));
    }
}

// What the relay does not change goes on as the media agent wrote it (a comment only the sender's text
// holds shows it); an answer that loses its prediction items on the way is written anew, without them.
TEST_F(BrowseRouterWorld, AnswersForwardedAsTheyCameUnlessTheRelayChangesThem) {
    auto channel = record(9107);
    const std::string id = registerWorker(TPlan("relay-session-7", 9107));
    ASSERT_FALSE(id.empty());
    auto peer = connectRouter();
    const std::string mark = "<!-- as the media agent wrote it -->";
    auto sendText = [&](databrowse::BrowseResponse& r) {
        std::string xml;
        ASSERT_EQ(r.serialize(xml), 0);
        bool timedOut = false;
        EXPECT_FALSE(
            peer->SendXMLMessage(databrowse::BrowseResponse::TAG, xml + mark, 0, 10, timedOut).IsError());
    };
    auto items = answer(0, id, "relay-session-7", 3, "k");
    sendText(items);
    auto predicted = answer(0, id, "relay-session-7", 2, "p");
    databrowse::LogicalMedia media;
    media.setint64(databrowse::LogicalMedia::f::archFileId, 1);
    databrowse::PredictionData prediction;
    prediction.setObjectAccessor(media, databrowse::PredictionData::f::logicalMedia);
    predicted.setlistobject(databrowse::BrowseResponse::f::predictions, {prediction});
    sendText(predicted);
    auto end = answer(5, id, "relay-session-7");
    sendText(end);
    ASSERT_TRUE(workerGone(id));

    const auto payloads = channel->payloads(EV_RETURN_RECORD_XML_ITEM);
    ASSERT_EQ(payloads.size(), 3u);
    EXPECT_NE(payloads[0].find(mark), std::string::npos);
    EXPECT_EQ(payloads[1].find(mark), std::string::npos);
    EXPECT_NE(payloads[2].find(mark), std::string::npos);
    auto rs = responses(*channel);
    ASSERT_EQ(types(rs), (std::vector<int64_t>{0, 0, 5}));
    EXPECT_EQ(itemCount(rs[0]), 3u);
    EXPECT_EQ(itemCount(rs[1]), 2u);
    EXPECT_FALSE(rs[1].isSet(databrowse::BrowseResponse::f::predictions));
}

TEST_F(BrowseRouterWorld, OldBrowseProtocolGivesClassicItemsAndErrorsByMessage) {
    ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", "OldBrowseProtocol", 1));
    auto channel = record(9103);
    const std::string id = registerWorker(TPlan("old-session", 9103));
    auto peer = connectRouter();
    auto items = answer(0, id, "old-session", 2, "c");
    send(*peer, items);
    auto errors = answer(3, id, "old-session");
    databrowse::BrowseError noText, noCode;
    noText.setint64(databrowse::BrowseError::f::errorCode, 9);
    noCode.setstring(databrowse::BrowseError::f::errorMessage, "no code given");
    errors.setlistobject(databrowse::BrowseResponse::f::messages, {noText, noCode});
    send(*peer, errors);
    auto end = answer(5, id, "old-session");
    send(*peer, end);
    ASSERT_TRUE(workerGone(id));
    ASSERT_TRUE(ZYPlatformInfo::removeValue("EventManager", "OldBrowseProtocol"));

    const auto classic = channel->payloads(EV_RETURN_RECORD_ITEM_9_0);
    ASSERT_EQ(classic.size(), 2u);
    databrowse::BrowseItem item;
    ASSERT_EQ(item.unserialize(classic[1]), 0) << classic[1];
    EXPECT_EQ(item.getstring(databrowse::BrowseItem::f::name), "c1");
    EXPECT_EQ(item.getstring(databrowse::BrowseItem::f::path), "/dir/c1");
    EXPECT_EQ(item.getint64(databrowse::BrowseItem::f::size), 5000000001LL) << "all 64 bits kept";
    EXPECT_EQ(item.getint64(databrowse::BrowseItem::f::at10_19), 12) << "subclient of the inner record";
    EXPECT_EQ(item.getint64(databrowse::BrowseItem::f::at16_25), 77) << "archive file of the inner record";
    auto rs = responses(*channel);
    ASSERT_EQ(rs.size(), 1u) << "one error forwarded, the one with a text";
    auto* list = rs[0].getlistobject(databrowse::BrowseResponse::f::messages, false);
    ASSERT_TRUE(list && list->size() == 1u);
    EXPECT_EQ(list->front().getint64(databrowse::BrowseError::f::errorCode), 1);
    EXPECT_EQ(list->front().getstring(databrowse::BrowseError::f::errorMessage), "no code given");
}

TEST_F(BrowseRouterWorld, StopAtTheEntryPointMakesNoWorkerAndTellsEachMediaAgentOnce) {
    EvMultiEntityRestoreTask stop;
    stop.setBrowseOpType(databrowse::BROWSE_OP_STOP);
    stop.setbrowseSessionGUID("never-browsed");
    // The demo world switches stopping a session's workers on; this case starts with it off.
    ASSERT_TRUE(ZYPlatformInfo::removeValue("EventManager", "EnableStopBrowseRequest"));
    const size_t before = g_poControllerThreadHM->getWorkerCount();
    const size_t journalBefore = lines(s->dir.file("journal")).size();
    EXPECT_EQ(fastBrowseHMProcessRequestMultiEntity(&stop, false, databrowse::FORCE_USE_INDEX_NONE, nullptr),
              1)
        << "switch off: nothing to stop";
    EXPECT_EQ(g_poControllerThreadHM->getWorkerCount(), before);
    EXPECT_EQ(lines(s->dir.file("journal")).size(), journalBefore);

    // A session with three workers: two on the media agent, one without one yet.
    const std::string guid = "stopped-session";
    auto task = std::make_unique<EvMultiEntityRestoreTask>();
    task->setTaskParameters(0, 0, s->world.adminUser, 0, 2, s->world.fileClient, s->world.fileBackupSet, 0,
                            static_cast<long>(s->world.firstBackupTime) + 5 * 86400, 0, s->world.fileAppType,
                            0, 0, 0);
    task->setSubClientId(s->world.fileSubclient);
    task->setbrowseSessionGUID(guid.c_str());
    task->addPath(EvRestoreTask::kBrowsePathList, "/");
    bool flag = false;
    const std::string confId = g_poConfMgr->openConfRef(task.get(), flag);
    ASSERT_FALSE(confId.empty()) << g_poConfMgr->getLastError();
    std::vector<std::string> ids;
    for (const std::string& agent : {s->agentHost, s->agentHost, std::string()}) {
        TPlan plan(guid, 9104);
        plan.recordAgent = agent;
        plan.inRecord = true;
        ids.push_back(registerWorker(plan));
    }
    ASSERT_EQ(g_poConfMgr->closeConfRef(confId), 0);

    // The workers wait for their media agents' answers (asynchronous): the stop ends them itself.
    ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", "EnableStopBrowseRequest", 1));
    stop.setbrowseSessionGUID(guid.c_str());
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(fastBrowseHMProcessRequestMultiEntity(&stop, false, databrowse::FORCE_USE_INDEX_NONE, nullptr),
              1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s) << "woken by the deletions, not the poll";
    ASSERT_TRUE(ZYPlatformInfo::removeValue("EventManager", "EnableStopBrowseRequest"));

    // The media agent journals the stop when it reads it, after the send returned here.
    const std::string stopLine = "stop session=stopped-session ma=" + s->agentHost;
    EXPECT_TRUE(journalHolds(s->dir.file("journal"),
                             [&](const auto& now) { return countStarting(now, stopLine) >= 1; }));
    EXPECT_EQ(countStarting(lines(s->dir.file("journal")), stopLine), 1u);
    EXPECT_EQ(g_poControllerThreadHM->getWorkerCount(), before);
    EXPECT_EQ(g_poConfMgr->getConfRec(guid, false), nullptr) << "the stopped session's record is gone";
}

TEST_F(BrowseRouterWorld, RefusedLaunchFailsTheSendAndStoppedWorkerSendsNothing) {
    CSenderWorker worker;
    worker.useAgent(s->refusingHost, kAgent);
    databrowse::BrowseRequest request = CRelayWorker::routedRequest("refused-session", s->routerHost, "1");
    EXPECT_FALSE(worker.sendReqToMA(&request));
    EXPECT_NE(std::string(worker.getErrorMessage()).find("Could not reach media agent"), std::string::npos)
        << worker.getErrorMessage();
    const auto journal = lines(s->dir.file("refused-journal"));
    EXPECT_EQ(countStarting(journal, "launch service=IndexingService_0 result=5"), 1u);
    EXPECT_EQ(countStarting(journal, "browse"), 0u);

    CSenderWorker stopped;
    stopped.useAgent(s->refusingHost, kAgent);
    stopped.setStopFlag();
    EXPECT_TRUE(stopped.sendReqToMA(&request)) << "a stopped session sends nothing and fails nothing";
    EXPECT_EQ(lines(s->dir.file("refused-journal")).size(), journal.size()) << "no launch was tried";
}

TEST_F(BrowseRouterWorld, SignedRequestForServicePack22AndLaterPlainBelow) {
    auto setServicePack = [](int sp) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(s->world.databasePath.c_str(), &db), SQLITE_OK);
        const std::string sql = "UPDATE mediaAgent SET versionText = '11.0 SP" + std::to_string(sp) +
                                "' WHERE clientId = (SELECT id FROM APP_Client WHERE name = 'mediaagent3')";
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    };
    // The signed request names the Hubmaster: this process presents it as the Hubmaster.
    const TZyNetOptions saved = zyNetOptions();
    TZyNetOptions asHubmaster = saved;
    ASSERT_EQ(ZYClient(ZYClient::hubmasterClientId()).getName(asHubmaster.localClientName), 0);
    setZyNetOptions(asHubmaster);
    // Sessions of its own, so that none opened under another name is reused.
    ZyNetworkPoP ownSessions;
    ZyNetworkPoP* const savedSessions = CWorkerThreadHM::getSessionPool();
    CWorkerThreadHM::setSessionPool(&ownSessions);
    struct TRestore {
        ZyNetworkPoP* sessions;
        TZyNetOptions options;
        ~TRestore() {
            CWorkerThreadHM::setSessionPool(sessions);
            setZyNetOptions(options);
        }
    } restore{savedSessions, saved};
    for (const int sp : {24, 21}) {
        setServicePack(sp);
        CSenderWorker worker;
        worker.useAgent(s->agentHost, kAgent);
        databrowse::BrowseRequest* request = worker.getBrowseReqV2();
        databrowse::BrowseSession session;
        session.setstring(databrowse::BrowseSession::f::sessionId, "signed-" + std::to_string(sp));
        request->setObjectAccessor(session, databrowse::BrowseRequest::f::session);
        worker.setRequestToReturn();
        ASSERT_TRUE(worker.convertToSecureBrowseReq()) << worker.getErrorMessage();
        const bool secured = worker.getBrowseReqXML()->getTagID() == databrowse::SecuredBrowseRequest::TAG;
        EXPECT_EQ(secured, sp >= 22) << sp;
        ASSERT_TRUE(worker.sendReqToMA(worker.getBrowseReqXML())) << worker.getErrorMessage();
    }
    const auto journal = lines(s->dir.file("journal"));
    ASSERT_TRUE(journalHolds(s->dir.file("journal"), [&](const auto& now) {
        return countStarting(now, "browse secured") == 1 &&
               countStarting(now, "browse plain session=signed-21") == 1;
    })) << s->agent->output();
    EXPECT_EQ(countStarting(lines(s->dir.file("journal")), "browse secured check=0 client="), 1u)
        << "the media agent verified the signature";
}

TEST_F(BrowseRouterWorld, PowerManagedMediaAgentIsPoweredOnOrTheBrowseFailsWithCode23) {
    unsigned long clientId = 0;
    ZYClient client(kAgent);
    ASSERT_EQ(client.getClientId(clientId), 0);
    const long long now = static_cast<long long>(std::time(nullptr));
    ASSERT_EQ(zyent::writeProperty<APP_ClientProp>(nullptr, static_cast<long>(clientId),
                                                   I2::Utils::kPowerManagedProperty, 0, "1", now),
              0);
    ASSERT_TRUE(
        ZYPlatformInfo::setNumber(I2::Utils::kPowerCheckSection, I2::Utils::kPowerCheckIntervalName, 0));

    // Its listener does not answer: a power-on request is recorded, the caller warned, the send fails.
    CZyNetDirectory::instance().registerClient(kAgent, "127.0.0.1", 1, static_cast<int>(clientId));
    auto channel = record(9105);
    CSenderWorker off;
    off.useAgent(s->agentHost, kAgent);
    off.getPrivateTask()->setJobId(9105);
    databrowse::BrowseRequest request = CRelayWorker::routedRequest("powered-session", s->routerHost, "1");
    EXPECT_FALSE(off.sendReqToMA(&request));
    EXPECT_EQ(off.getErrorId(), 23);
    EXPECT_NE(std::string(off.getErrorMessage()).find("Failed to power on media agent"), std::string::npos);
    auto rs = responses(*channel);
    ASSERT_EQ(types(rs), (std::vector<int64_t>{4}));
    EXPECT_EQ(rs[0]
                  .getlistobject(databrowse::BrowseResponse::f::messages, false)
                  ->front()
                  .getint64(databrowse::BrowseError::f::errorCode),
              23);
    std::string requested;
    EXPECT_EQ(zyent::readProperty<APP_ClientProp>(nullptr, static_cast<long>(clientId),
                                                  I2::Utils::kPowerOnRequestedProperty, requested),
              0);

    // Online: no warning, the request goes.
    CZyNetDirectory::instance().registerClient(
        kAgent, "127.0.0.1", static_cast<int>(s->agent->numberAfter(kListening)), static_cast<int>(clientId));
    CSenderWorker on;
    on.useAgent(s->agentHost, kAgent);
    on.getPrivateTask()->setJobId(9105);
    EXPECT_TRUE(on.sendReqToMA(&request)) << on.getErrorMessage();
    EXPECT_EQ(responses(*channel).size(), 1u) << "no second warning";

    CZyNetDirectory::instance().unregisterClient(kAgent);
    zyent::writeProperty<APP_ClientProp>(nullptr, static_cast<long>(clientId),
                                         I2::Utils::kPowerManagedProperty, 0, "0", now + 1);
    ZYPlatformInfo::removeValue(I2::Utils::kPowerCheckSection, I2::Utils::kPowerCheckIntervalName);
}

// A message whose deletion the test sees.
class CWatchedMessage : public databrowse::BrowseSession {
public:
    explicit CWatchedMessage(bool& deleted) : m_deleted(deleted) {}
    ~CWatchedMessage() override { m_deleted = true; }

private:
    bool& m_deleted;
};

TEST_F(BrowseRouterWorld, MessageOfASessionThatCannotBeAcquiredIsStillDeleted) {
    bool deleted = false;
    CBrowseRouterThreadHM::browseRouterCallBackXML(CZyNetworkServer::ZYN_CALLBACK_MESSAGE,
                                                   g_poBrowseRouterThreadHM->getSessionServer(), 987654321,
                                                   new CWatchedMessage(deleted));
    EXPECT_TRUE(deleted);
}

TEST(MailboxPath, GuidAfterTheMarkerOfThePathsOwnSeparator) {
    EXPECT_EQ(CBrowseRouterThreadHM::getMbGuidFromPath("/MB/4f1c-77/Inbox/Note"), "4f1c-77");
    EXPECT_EQ(CBrowseRouterThreadHM::getMbGuidFromPath("\\MB\\4f1c-77\\Inbox"), "4f1c-77");
    EXPECT_EQ(CBrowseRouterThreadHM::getMbGuidFromPath("/MB/4f1c-77"), "4f1c-77");
    EXPECT_EQ(CBrowseRouterThreadHM::getMbGuidFromPath("x/MB/4f1c-77/Inbox"), "");
    EXPECT_EQ(CBrowseRouterThreadHM::getMbGuidFromPath("/Mail/4f1c-77"), "");
    EXPECT_EQ(CBrowseRouterThreadHM::getMbGuidFromPath(""), "");
}

}  // namespace
