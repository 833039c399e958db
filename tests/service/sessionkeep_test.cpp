// A browse session's life on both roads, against a model of it written here from the demo world: the
// service in this process (BrowseRouter on loopback, the Hubmaster's entry point called as the host
// calls it), the media agent of client1's data as a real process holding the answers of sessions named
// "held-..." after their first items, and the sessions' keep moved on a manual clock. After every step
// (a browse of the owner, held or answered; another user's browse and stop; an administrator's stop;
// the keep's end) the step's outcome is checked against the model: who may browse and stop under the
// id, and what each stop answers.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "planning/confmgr.h"
#include "planning/confrecord.h"
#include "planning/handedover.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/entities/clientaddress.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/msg/msg_classes.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynetwork.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndestination.h"
#include "platform/threads/hubclock.h"
#include "service/browserouterthread.h"
#include "service/fastbrowsehm_api.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/demosystem.h"

namespace {

using namespace std::chrono_literals;
using R = databrowse::BrowseRequest::f;
using E = ZyEntities::GenericEntity::f;

constexpr const char* kHeld = "held-";
// Another caller's session is refused as one in use, naming nobody.
constexpr const char* kDenied = "is in use by another caller";
constexpr const char* kStopped = "The browse was stopped";

enum class ERoad { kRouter, kHubmaster };
const char* nameOf(ERoad road) {
    return road == ERoad::kRouter ? "BrowseRouter" : "the Hubmaster";
}

// The demo world's users, as its definition gives them: the administrator may browse and manage every
// client; alice may browse client1 alone and manages nothing.
struct TUser {
    const char* name;
    bool admin;
};
const TUser kAdmin{"admin", true};
const TUser kAlice{"alice", false};

// What a stop answers.
enum class EStopAnswer { kAccepted, kNothingLeft, kRefused, kNoSuchSession };
const char* textOf(EStopAnswer answer) {
    switch (answer) {
        case EStopAnswer::kAccepted:
            return "The stop was accepted: ";
        case EStopAnswer::kNothingLeft:
            return "Nothing was left to stop: ";
        case EStopAnswer::kRefused:
            return "The stop was refused: ";
        case EStopAnswer::kNoSuchSession:
            return "No such session";
    }
    return "";
}

// The session as the design keeps it: an owner from the first browse to the end of its keep, and what of
// it a stop is for (a prepared request handed to a caller, for the rest of the keep: only its media agent
// knows whether it still answers, and it may read the request after a stop; a held browse through the
// Hubmaster until its stop).
struct TModel {
    std::optional<std::string> owner;
    bool handedToAgent = false;
    bool heldInHubmaster = false;

    bool mayBrowse(const TUser& user) const { return !owner || *owner == user.name; }
    void browsed(const TUser& user, ERoad road, bool held) {
        owner = user.name;
        if (road == ERoad::kRouter) handedToAgent = true;
        if (road == ERoad::kHubmaster && held) heldInHubmaster = true;
    }
    EStopAnswer stop(const TUser& user) {
        if (!owner) return EStopAnswer::kNoSuchSession;
        if (*owner != user.name && !user.admin) return EStopAnswer::kRefused;
        const bool running = handedToAgent || heldInHubmaster;
        heldInHubmaster = false;
        return running ? EStopAnswer::kAccepted : EStopAnswer::kNothingLeft;
    }
    void expire() { *this = TModel(); }
};

class SessionKeep : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s = new TShared;
        CHandedOverSessions::instance().restart(s->clock);
        // The media agent first, where the database names it; then the service, as the host starts.
        ASSERT_EQ(hubtest::demoWorldIn(s->dir.file("demo"), s->world), "");
        s->agent =
            hubtest::startDemoAgent(s->world, "mediaagent1", s->dir.file("mediaagent1.db"), s->dir.path(),
                                    {"--index-service", "started", "--hold-sessions", kHeld});
        std::string error;
        ASSERT_EQ(hubdb::openHubDatabase(s->world.databasePath, &error), 0) << error;
        // Machines are reached where the database names them, as the host has it.
        CZyNetDirectory::instance().setResolver(&ZyClientAddressFromDatabase);
        ASSERT_EQ(fastBrowseHMInitialize(), 1);
        char notListening[256] = "";
        const int port = fastBrowseHMWaitForListener(60, notListening, sizeof notListening);
        ASSERT_GT(port, 0) << notListening;
        s->routerHost = MangleHostName("127.0.0.1", "hubmaster", 0, port);
        hubtest::pointClientAt(s->world, "hubmaster", port);
        ASSERT_EQ(EvSecurityMgr::IssueZetaToken(s->world.adminUser, false, 3600, s->tokens[0]), 0);
        ASSERT_EQ(EvSecurityMgr::IssueZetaToken(s->world.fileUser, false, 3600, s->tokens[1]), 0);
    }
    static void TearDownTestSuite() {
        fastBrowseHMCleanUp();
        CHandedOverSessions::instance().restart(CHubClock::real());
        delete s;
        s = nullptr;
        zydb::CDbEnv::close();
        ZYPlatformInfo::setRegistryPath("");
    }

    static int idOf(const TUser& user) { return user.admin ? s->world.adminUser : s->world.fileUser; }
    static const std::string& tokenOf(const TUser& user) { return s->tokens[user.admin ? 0 : 1]; }
    static long lastDay() {
        return static_cast<long>(s->world.firstBackupTime + 86400LL * s->world.backupDays);
    }

    static databrowse::BrowseRequest request(const TUser& user, const std::string& session, int64_t op) {
        databrowse::BrowseRequest r;
        r.setint64(R::opType, op);
        r.setstring(R::token, tokenOf(user));
        r.getObjectAccessor(R::session, true)->setstring(databrowse::BrowseSession::f::sessionId, session);
        CNMessageBase* e = r.getObjectAccessor(R::entity, true);
        e->setstring(E::clientName, "client1");
        e->setint64(E::subclientId, s->world.fileSubclient);
        r.getObjectAccessor(R::timeRange, true)->setint64(databrowse::BrowseTimeRange::f::toTime, lastDay());
        databrowse::BrowsePath path;
        path.setstring(databrowse::BrowsePath::f::path, "/d00/d01/d00");
        r.setlistobject(R::paths, {path});
        return r;
    }

    static std::string errorText(const databrowse::BrowseResponse& response) {
        auto* messages = const_cast<databrowse::BrowseResponse&>(response).getlistobject(
            databrowse::BrowseResponse::f::messages, false);
        return messages && !messages->empty()
                   ? messages->front().getstring(databrowse::BrowseError::f::errorMessage)
                   : std::string();
    }

    // BrowseRouter's road: the one reply, a prepared request for the media agent or an error; the
    // error's text ("" for a prepared request).
    static std::string browseThroughRouter(const TUser& user, const std::string& session) {
        databrowse::BrowseRequest r = request(user, session, databrowse::BROWSE_OP_BROWSE);
        CZyNetwork peer;
        bool timedOut = false;
        EXPECT_FALSE(
            peer.Connect(s->routerHost.c_str(), CBrowseRouterThreadHM::kServerName, "client1", 30, timedOut)
                .IsError());
        EXPECT_FALSE(peer.SendXMLMessage(r, 0, 30, timedOut).IsError());
        CNMessageBase* received = nullptr;
        ignoreResult(peer.ReceiveXMLMessage(nullptr, received, nullptr, 0, 120, timedOut), "read next");
        std::unique_ptr<CNMessageBase> reply(received);
        if (!reply) return "no reply";
        // Anything but a response is the prepared request (signed or plain).
        auto* response = dynamic_cast<databrowse::BrowseResponse*>(reply.get());
        return response ? "a response: " + errorText(*response) : "";
    }

    // The Hubmaster's road, as the host hands a browse to the entry point; its answers arrive in the
    // returned recording.
    struct TRunning {
        long long jobId = 0;
        std::shared_ptr<EvRecordingDestination> answers;
        bool accepted = false;
    };
    static TRunning browseThroughHubmaster(const TUser& user, const std::string& session) {
        TRunning run;
        run.jobId = ++s->nextJob;
        run.answers = std::make_shared<EvRecordingDestination>();
        EvReturnDestinations::registerDestination(run.jobId, run.answers);
        EvMultiEntityRestoreTask task;
        task.setTaskParameters(static_cast<unsigned long long>(run.jobId), 0, idOf(user), 0, 2,
                               s->world.fileClient, s->world.fileBackupSet, 0, lastDay(), 0,
                               s->world.fileAppType, 0, 0, 0);
        task.setSubClientId(s->world.fileSubclient);
        task.setbrowseSessionGUID(session.c_str());
        task.setUserName(user.name);
        task.addPath(EvRestoreTask::kBrowsePathList, "/d00/d01/d00");
        databrowse::BrowseRequest r = request(user, session, databrowse::BROWSE_OP_BROWSE);
        run.accepted =
            fastBrowseHMProcessRequestMultiEntity(&task, false, databrowse::FORCE_USE_INDEX_NONE, &r) != 0;
        return run;
    }
    // The first error of a Hubmaster-road browse that has ended ("" when none).
    static std::string firstError(TRunning& run) {
        EXPECT_TRUE(run.answers->waitForEnd(120s)) << "the browse did not end";
        EvReturnDestinations::unregisterDestination(run.jobId);
        for (const std::string& xml : run.answers->payloads(EV_RETURN_RECORD_XML_ITEM)) {
            databrowse::BrowseResponse response;
            if (response.unserialize(xml) == 0 &&
                response.getint64(databrowse::BrowseResponse::f::respType) == databrowse::BROWSE_RESP_ERROR)
                return errorText(response);
        }
        return run.accepted ? "" : "refused without an error";
    }

    static size_t itemsOf(const TRunning& run) {
        size_t items = 0;
        for (const std::string& xml : run.answers->payloads(EV_RETURN_RECORD_XML_ITEM)) {
            databrowse::BrowseResponse response;
            if (response.unserialize(xml) != 0) continue;
            CNMessageBase* result =
                response.isSet(databrowse::BrowseResponse::f::browseResult)
                    ? response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false)
                    : nullptr;
            if (auto* data = result ? result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false)
                                    : nullptr)
                items += data->size();
        }
        return items;
    }
    // Waits until no record of `session` lists a worker; false after a minute.
    static bool noWorkerIn(const std::string& session) {
        const auto limit = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < limit) {
            CConfRecordRef record = g_poConfMgr->holdConfRec(session);
            if (!record || record->getWorkersToMaMap().empty()) return true;
            record.release();
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    // A stop as the host passes a user's stop to the entry point: the answer's text.
    // What the entry point made of a stop: its result (1 handled, 0 not) and the code of its answer.
    struct TStopCall {
        int result = -1;
        long long code = 0;
    };
    static std::string stop(const TUser& user, const std::string& session, TStopCall* call = nullptr) {
        const long long jobId = ++s->nextJob;
        auto answers = std::make_shared<EvRecordingDestination>();
        EvReturnDestinations::registerDestination(jobId, answers);
        EvMultiEntityRestoreTask task;
        task.setJobId(static_cast<unsigned long long>(jobId));
        task.setBrowseOpType(databrowse::BROWSE_OP_STOP);
        task.setbrowseSessionGUID(session.c_str());
        task.setUserId(idOf(user));
        task.setUserName(user.name);
        databrowse::BrowseRequest r = request(user, session, databrowse::BROWSE_OP_STOP);
        const int result =
            fastBrowseHMProcessRequestMultiEntity(&task, false, databrowse::FORCE_USE_INDEX_NONE, &r);
        EvReturnDestinations::unregisterDestination(jobId);
        std::string text;
        for (const std::string& xml : answers->payloads(EV_RETURN_RECORD_XML_ITEM)) {
            databrowse::BrowseResponse response;
            if (response.unserialize(xml) != 0) continue;
            text += errorText(response);
            auto* messages = response.getlistobject(databrowse::BrowseResponse::f::messages, false);
            if (call && messages && !messages->empty())
                call->code = messages->front().getint64(databrowse::BrowseError::f::errorCode);
        }
        if (call) call->result = result;
        return text;
    }

    // One step of a session's life.
    enum class EAct { kBrowse, kStop, kExpire };
    struct TStep {
        EAct act;
        const TUser* user = nullptr;
        ERoad road = ERoad::kRouter;
    };
    static TStep browseBy(const TUser& user, ERoad road) { return {EAct::kBrowse, &user, road}; }
    static TStep stopBy(const TUser& user) { return {EAct::kStop, &user}; }
    static TStep keepEnds() { return {EAct::kExpire}; }

    // Runs `steps` on `session` and checks each against the model. A held session's browse through the
    // Hubmaster is left running (its answer held at the media agent) until a stop ends it.
    static void live(const std::string& session, const std::vector<TStep>& steps) {
        const bool heldSession = session.rfind(kHeld, 0) == 0;
        TModel model;
        std::unique_ptr<TRunning> held;
        for (size_t n = 0; n < steps.size(); ++n) {
            const TStep& step = steps[n];
            SCOPED_TRACE("session " + session + ", step " + std::to_string(n + 1));
            if (step.act == EAct::kExpire) {
                ASSERT_FALSE(held) << "the test ends a held browse before the keep ends";
                model.expire();
                s->clock.advance(CHandedOverSessions::keepFromRegistry() + 1s);
                continue;
            }
            const TUser& user = *step.user;
            if (step.act == EAct::kBrowse) {
                const bool allowed = model.mayBrowse(user);
                SCOPED_TRACE(std::string(user.name) + " browses through " + nameOf(step.road) +
                             (allowed ? ", allowed" : ", refused"));
                std::string error;
                if (step.road == ERoad::kRouter) {
                    error = browseThroughRouter(user, session);
                } else if (allowed && heldSession) {
                    const std::string marker = "session " + session + " held after";
                    const size_t before = s->agent->countNow(marker);
                    held = std::make_unique<TRunning>(browseThroughHubmaster(user, session));
                    EXPECT_TRUE(held->accepted);
                    EXPECT_TRUE(s->agent->waitFor(marker, 120s, before + 1)) << s->agent->output();
                } else {
                    TRunning run = browseThroughHubmaster(user, session);
                    error = firstError(run);
                    if (allowed && error.empty()) {
                        EXPECT_GT(itemsOf(run), 0u) << "the browse was answered whole";
                        // Its end reached the caller just before the worker left the session's record.
                        EXPECT_TRUE(noWorkerIn(session));
                    }
                }
                if (allowed)
                    EXPECT_EQ(error, "");
                else
                    EXPECT_NE(error.find(kDenied), std::string::npos) << error;
                if (!allowed) {
                    for (const char* name : {kAdmin.name, kAlice.name})
                        EXPECT_EQ(error.find(std::string("[") + name + "]"), std::string::npos) << error;
                }
                if (allowed) model.browsed(user, step.road, heldSession);
                continue;
            }
            const EStopAnswer expected = model.stop(user);
            SCOPED_TRACE(std::string(user.name) + " stops, expecting \"" + textOf(expected) + "\"");
            TStopCall call;
            const std::string answer = stop(user, session, &call);
            EXPECT_EQ(answer.rfind(textOf(expected), 0), 0u) << answer;
            // The entry point handled an allowed stop; a refusal says it is one by its code.
            const bool allowed = expected == EStopAnswer::kAccepted || expected == EStopAnswer::kNothingLeft;
            EXPECT_EQ(call.result, allowed ? 1 : 0) << answer;
            if (expected == EStopAnswer::kRefused) {
                EXPECT_NE(answer.find(std::string("user [") + user.name + "]"), std::string::npos) << answer;
                EXPECT_EQ(call.code, databrowse::BROWSE_ERR_PERMISSION) << answer;
            }
            // The held browse ends as stopped by the stop the model says ends it, and by no other.
            if (held && !model.heldInHubmaster) {
                EXPECT_EQ(firstError(*held), kStopped);
                held.reset();
            } else if (held) {
                EXPECT_FALSE(held->answers->ended()) << "a stop that ended nothing ended the browse";
            }
        }
        ASSERT_FALSE(held) << "the test stops every held browse";
    }

    // Sequences of one session's life, run for each owner and the road of her first browse: her browse,
    // the other user's browses on both roads and his stop, her stop and his again, browses after it, the
    // keep's end, and the next owner's browse and stop.
    static std::vector<TStep> lifeOf(const TUser& owner, const TUser& other, ERoad road) {
        const ERoad across = road == ERoad::kRouter ? ERoad::kHubmaster : ERoad::kRouter;
        return {browseBy(owner, road),
                browseBy(other, road),
                browseBy(other, across),
                stopBy(other),
                stopBy(owner),
                stopBy(other),
                browseBy(other, road),
                browseBy(other, across),
                stopBy(owner),
                browseBy(owner, ERoad::kRouter),
                stopBy(other),
                stopBy(owner),
                keepEnds(),
                stopBy(owner),
                browseBy(other, ERoad::kRouter),
                stopBy(owner),
                browseBy(owner, across),
                stopBy(other),
                stopBy(owner)};
    }

    struct TShared {
        TempDir dir;
        hubdemo::DemoWorld world;
        std::string routerHost;
        std::string tokens[2];
        std::unique_ptr<hubtest::CChildProcess> agent;
        CHubManualClock clock;
        long long nextJob = 740000;
    };
    static TShared* s;
};
SessionKeep::TShared* SessionKeep::s = nullptr;

// Each session is browsed first by its owner and then by the other user: alice may browse client1 and
// stop her own sessions; the administrator may browse everything and stop anyone's.
TEST_F(SessionKeep, OnlyItsOwnerBrowsesAndStopsASessionForItsWholeKeep) {
    int n = 0;
    for (const bool heldFirst : {true, false})
        for (const ERoad road : {ERoad::kRouter, ERoad::kHubmaster})
            for (const TUser* owner : {&kAlice, &kAdmin}) {
                const TUser& other = owner == &kAlice ? kAdmin : kAlice;
                const std::string session =
                    std::string(heldFirst ? kHeld : "answered-") + std::to_string(++n) + "-" + owner->name;
                ASSERT_NO_FATAL_FAILURE(live(session, lifeOf(*owner, other, road)));
            }
}

}  // namespace

namespace {

// With stopping a session's browses switched off, the owner's stop of a browse the Hubmaster runs is not
// sent, and says so, and the entry point returns 1 as for any stop handled with the switch off; the
// browse goes on until a stop that is sent ends it.
TEST_F(SessionKeep, AStopThatIsNotSentSaysSo) {
    const std::string session = std::string(kHeld) + "switched-off";
    const std::string marker = "session " + session + " held after";
    const size_t before = s->agent->countNow(marker);
    TRunning held = browseThroughHubmaster(kAlice, session);
    ASSERT_TRUE(held.accepted);
    ASSERT_TRUE(s->agent->waitFor(marker, 120s, before + 1)) << s->agent->output();

    ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", "EnableStopBrowseRequest", 0));
    TStopCall call;
    const std::string notSent = stop(kAlice, session, &call);
    ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", "EnableStopBrowseRequest", 1));
    EXPECT_EQ(notSent.rfind("The stop was not sent: ", 0), 0u) << notSent;
    // Handled as the switch says (the session's browses are left to run): the entry point returns 1.
    EXPECT_EQ(call.result, 1);
    EXPECT_NE(notSent.find("EnableStopBrowseRequest is 0"), std::string::npos) << notSent;
    EXPECT_FALSE(held.answers->ended()) << "the browse goes on";

    const std::string sent = stop(kAlice, session);
    EXPECT_EQ(sent.rfind(textOf(EStopAnswer::kAccepted), 0), 0u) << sent;
    EXPECT_EQ(firstError(held), kStopped);
}

}  // namespace
