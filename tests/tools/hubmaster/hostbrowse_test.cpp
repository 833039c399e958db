// The host's own browse service ("HubmasterBrowse") in the test process over the demo world's database,
// a caller on a real connection and an entry point of the test's: the wait for a browse's answers runs on
// the service's clock, and a caller that leaves while the entry point still runs has its session stopped
// then, while one that read its whole answer is never stopped.
#include "tools/hubmaster/hostbrowse.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/net/zynet_directory.h"
#include "platform/security/zetatoken.h"
#include "platform/tasks/evreturndestination.h"
#include "platform/threads/hubclock.h"
#include "tests/platform/db/tempdir.h"

namespace {

using namespace std::chrono_literals;
using R = databrowse::BrowseRequest::f;
using E = ZyEntities::GenericEntity::f;

// What the test's entry point saw, and what it is told to do.
struct TEntryPoint {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;            // a browse is inside
    std::vector<std::string> stops;  // the sessions stopped, in order
    bool answerWhole = false;        // a browse answers its end at once, then waits to be let go
    bool letGo = false;              // ...until this
};
TEntryPoint& entryPoint() {
    static TEntryPoint s;
    return s;
}

// A browse that waits, like a virtual machine's for the VM's, until its session is stopped (or far
// beyond any limit of the test); with answerWhole, one that answers its end first and then waits to
// return. A stop is recorded.
int enter(EvMultiEntityRestoreTask* task, bool, databrowse::ForceUseIndexType, databrowse::BrowseRequest*) {
    TEntryPoint& s = entryPoint();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (task->getBrowseOpType() == databrowse::BROWSE_OP_STOP) {
        s.stops.push_back(task->getbrowseSessionGUID());
        s.changed.notify_all();
        return 1;
    }
    s.entered = true;
    s.changed.notify_all();
    if (s.answerWhole) {
        lock.unlock();
        databrowse::BrowseResponse end;
        end.setint64(databrowse::BrowseResponse::f::respType, databrowse::BROWSE_RESP_END);
        EvReturnRecord record;
        record.kind = EV_RETURN_RECORD_XML_ITEM;
        record.jobId = static_cast<long long>(task->getJobId());
        end.serialize(record.data);
        std::shared_ptr<EvReturnDestination> channel = EvReturnDestinations::find(record.jobId);
        if (channel) channel->deliver(record);
        record.kind = EV_RETURN_RECORD_END;
        record.data.clear();
        if (channel) channel->deliver(record);
        lock.lock();
        s.changed.wait_for(lock, 120s, [&] { return s.letGo; });
        return 1;
    }
    s.changed.wait_for(lock, 120s, [&] { return !s.stops.empty(); });
    return 1;
}

// Accepts a browse whose answers never come, as a super browse whose media agent never answers.
int neverAnswered(EvMultiEntityRestoreTask*, bool, databrowse::ForceUseIndexType,
                  databrowse::BrowseRequest*) {
    return 1;
}

class HostBrowse : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s = new TShared;
        std::string error;
        ASSERT_TRUE(hubdemo::createDemoWorld(s->dir.file("demo"), s->world, &error)) << error;
        ASSERT_EQ(hubdb::openHubDatabase(s->world.databasePath, &error), 0) << error;
    }
    static void TearDownTestSuite() {
        delete s;
        s = nullptr;
        zydb::CDbEnv::close();
        ZYPlatformInfo::setRegistryPath("");
    }
    void SetUp() override {
        TEntryPoint& e = entryPoint();
        std::lock_guard<std::mutex> lock(e.mutex);
        e.entered = e.answerWhole = e.letGo = false;
        e.stops.clear();
    }

    // A listing of client1's file subclient by the administrator, in session `guid`.
    static databrowse::BrowseRequest listing(const std::string& guid) {
        std::string key, token;
        EXPECT_TRUE(CZetaToken::signingKey(key));
        TZetaTokenClaims claims;
        claims.userId = s->world.adminUser;
        claims.issuedAt = static_cast<long long>(std::time(nullptr));
        claims.expiresAt = claims.issuedAt + 3600;
        EXPECT_EQ(CZetaToken::issue(key, claims, token), CZetaToken::kValid);
        databrowse::BrowseRequest r;
        r.setint64(R::opType, databrowse::BROWSE_OP_BROWSE);
        r.setstring(R::token, token);
        r.getObjectAccessor(R::session, true)->setstring(databrowse::BrowseSession::f::sessionId, guid);
        CNMessageBase* entity = r.getObjectAccessor(R::entity, true);
        entity->setint64(E::clientId, s->world.fileClient);
        entity->setint64(E::subclientId, s->world.fileSubclient);
        databrowse::BrowsePath root;
        root.setstring(databrowse::BrowsePath::f::path, "\\");
        r.setlistobject(R::paths, {root});
        return r;
    }
    // A caller of `service` that has sent `request`.
    static std::unique_ptr<CZyNetwork> call(CHostBrowseService& service, databrowse::BrowseRequest request) {
        auto caller = std::make_unique<CZyNetwork>();
        bool timedOut = false;
        const std::string host = MangleHostName("127.0.0.1", "hubmaster", 0, service.port());
        EXPECT_FALSE(
            caller->Connect(host.c_str(), CHostBrowseService::kServiceName, nullptr, 30, timedOut).IsError());
        EXPECT_FALSE(caller->SendXMLMessage(request, 0, 30, timedOut).IsError());
        return caller;
    }
    // The next answer's type and first message (type -1 when none came within `seconds`).
    static std::pair<long long, std::string> answer(CZyNetwork& caller, int seconds) {
        CNMessageBase* received = nullptr;
        bool timedOut = false;
        ignoreResult(caller.ReceiveXMLMessage(nullptr, received, nullptr, 0, seconds, timedOut),
                     "what came is looked at next");
        std::unique_ptr<CNMessageBase> owned(received);
        auto* response = dynamic_cast<databrowse::BrowseResponse*>(owned.get());
        if (!response) return {-1, ""};
        auto* messages = response->getlistobject(databrowse::BrowseResponse::f::messages, false);
        return {response->getint64(databrowse::BrowseResponse::f::respType),
                messages && !messages->empty()
                    ? messages->front().getstring(databrowse::BrowseError::f::errorMessage)
                    : ""};
    }
    static bool waitFor(const std::function<bool()>& done) {
        TEntryPoint& e = entryPoint();
        std::unique_lock<std::mutex> lock(e.mutex);
        return e.changed.wait_for(lock, 30s, done);
    }

    struct TShared {
        TempDir dir;
        hubdemo::DemoWorld world;
    };
    static TShared* s;
};
HostBrowse::TShared* HostBrowse::s = nullptr;

// The service waits for a browse's answers as long as its clock allows: it has not given up however
// long the real time, and it answers the caller that the browse did not end once its clock is past
// the limit.
TEST_F(HostBrowse, TheWaitForAnAnswerIsOnTheServicesClock) {
    CHubManualClock clock;
    CHostBrowseService service(&neverAnswered, nullptr, clock);
    std::string error;
    ASSERT_TRUE(service.start(error)) << error;
    std::unique_ptr<CZyNetwork> caller = call(service, listing("host-answer-wait"));
    EXPECT_TRUE(clock.waitForReads(6));  // waiting, and reading its clock
    EXPECT_EQ(answer(*caller, 0).first, -1);
    clock.advance(std::chrono::minutes(14));
    EXPECT_TRUE(clock.waitForReads(4));
    EXPECT_EQ(answer(*caller, 0).first, -1);
    clock.advance(std::chrono::minutes(2));
    const auto [type, text] = answer(*caller, 60);
    EXPECT_EQ(type, databrowse::BROWSE_RESP_ERROR);
    EXPECT_EQ(text, "The browse did not end in time, or the Hubmaster is stopping");
    EXPECT_EQ(answer(*caller, 60).first, databrowse::BROWSE_RESP_END);
    caller.reset();
    ASSERT_TRUE(service.drain());
    service.stop();
}

// A caller that leaves while its browse is inside the entry point has its session stopped then, once,
// and the browse ends; one that read its whole answer and left is not stopped.
TEST_F(HostBrowse, ACallerThatLeavesWhileItsBrowseRunsHasItsSessionStopped) {
    CHostBrowseService service(&enter, nullptr);
    std::string error;
    ASSERT_TRUE(service.start(error)) << error;
    std::unique_ptr<CZyNetwork> caller = call(service, listing("host-caller-left"));
    ASSERT_TRUE(waitFor([] { return entryPoint().entered; }));
    caller.reset();  // the caller leaves: its connection closes
    ASSERT_TRUE(waitFor([] { return !entryPoint().stops.empty(); })) << "the session was not stopped";
    ASSERT_TRUE(service.drain());
    {
        std::lock_guard<std::mutex> lock(entryPoint().mutex);
        EXPECT_EQ(entryPoint().stops, std::vector<std::string>{"host-caller-left"});
        entryPoint().entered = false;
        entryPoint().stops.clear();
        entryPoint().answerWhole = true;
    }
    service.stop();

    CHostBrowseService answering(&enter, nullptr);
    ASSERT_TRUE(answering.start(error)) << error;
    caller = call(answering, listing("host-caller-answered"));
    EXPECT_EQ(answer(*caller, 30).first, databrowse::BROWSE_RESP_END);
    caller.reset();  // it read the whole answer, and leaves while the entry point still runs
    // Past several looks at the connection; a stop would come within one.
    std::this_thread::sleep_for(1s);
    {
        std::lock_guard<std::mutex> lock(entryPoint().mutex);
        entryPoint().letGo = true;
    }
    entryPoint().changed.notify_all();
    ASSERT_TRUE(answering.drain());
    std::lock_guard<std::mutex> lock(entryPoint().mutex);
    EXPECT_TRUE(entryPoint().stops.empty());
}

}  // namespace
