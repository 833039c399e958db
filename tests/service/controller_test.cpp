// The controller's worker registry driven by a test worker: ids across threads, synchronous and
// asynchronous requests, failures answered, relays racing deletion, waits that never miss a wake-up,
// the clock ending workers left idle and ageing the configuration records.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "planning/confrecord.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/tasks/evrestoretask.h"
#include "service/controllerthread.h"
#include "service/failurefallback.h"
#include "tests/planning/planningworld.h"
#include "tests/support/worker/workertester.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

// What the test workers of one test did, shared by all of them.
struct TJournal {
    std::mutex mutex;
    std::vector<std::string> ids;  // worker ids seen by newRequest
    std::vector<std::pair<int, std::string>> errors;
    std::atomic<int> alive{0};
};

class TestWorker : public CWorkerThreadHM {
public:
    using Behaviour = std::function<bool(TestWorker&)>;
    TestWorker(TJournal& journal, Behaviour behaviour, const CHubClock& clock = CHubClock::real())
        : CWorkerThreadHM(clock), m_journal(journal), m_behaviour(std::move(behaviour)) {
        ++m_journal.alive;
    }
    ~TestWorker() override { --m_journal.alive; }

    bool newRequest(EvMultiEntityRestoreTask*) override {
        {
            std::lock_guard<std::mutex> lock(m_journal.mutex);
            m_journal.ids.push_back(getWorkerId());
        }
        return m_behaviour(*this);
    }
    void processErrorMessage(databrowse::BrowseErrorCode code, const char* text) override {
        std::lock_guard<std::mutex> lock(m_journal.mutex);
        m_journal.errors.emplace_back(code, text ? text : "");
    }
    // What a relayed answer does: writes the worker's state.
    void relay() { fields(*this).outstandingRequests() += 1; }

private:
    TJournal& m_journal;
    Behaviour m_behaviour;
};

CControllerThreadHM::TOptions testOptions(unsigned tickMs = 60000, unsigned waitLimitMs = 20000) {
    static std::atomic<int> n{0};
    CControllerThreadHM::TOptions o;
    o.tickMs = tickMs;
    o.waitLimitMs = waitLimitMs;
    o.stopEventName = "controller-test-" + std::to_string(getpid()) + "-" + std::to_string(++n);
    return o;
}

void useFactory(CControllerThreadHM& controller, TJournal& journal, TestWorker::Behaviour behaviour) {
    controller.setWorkerFactory(
        [&journal, behaviour] { return std::make_shared<TestWorker>(journal, behaviour); });
}

bool goAsync(TestWorker& w) {
    w.setAsyncMode(true);
    return true;
}

}  // namespace

TEST(ControllerRegistry, ManyThreadsGetUniqueIdsSyncAndAsync) {
    TJournal journal;
    {
        CControllerThreadHM controller(testOptions());
        // Odd workers go asynchronous and stay registered; even ones finish at once.
        useFactory(controller, journal, [](TestWorker& w) {
            if (std::stoll(w.getWorkerId()) % 2) w.setAsyncMode(true);
            return true;
        });
        constexpr int kThreads = 12, kEach = 40;
        std::vector<std::thread> threads;
        std::atomic<int> succeeded{0};
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                EvMultiEntityRestoreTask task;
                for (int i = 0; i < kEach; ++i)
                    succeeded +=
                        controller.newRequest(&task, false, false, databrowse::FORCE_USE_INDEX_NONE, nullptr);
            });
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(succeeded.load(), kThreads * kEach);
        std::set<std::string> unique(journal.ids.begin(), journal.ids.end());
        EXPECT_EQ(unique.size(), journal.ids.size());
        size_t async = 0;
        for (const std::string& id : journal.ids) {
            const bool odd = std::stoll(id) % 2;
            async += odd;
            EXPECT_EQ(controller.getWorker(id) != nullptr, odd) << id;
        }
        EXPECT_EQ(controller.getWorkerCount(), async);
        // A later controller never hands out an id already used in the process.
        CControllerThreadHM other(testOptions());
        EXPECT_EQ(unique.count(other.generateWorkerId()), 0u);
    }
    EXPECT_EQ(journal.alive.load(), 0);  // the destructor deleted the asynchronous ones
}

TEST(ControllerRegistry, FailureIsAnsweredAndWorkerDeleted) {
    TJournal journal;
    CControllerThreadHM controller(testOptions());
    EvMultiEntityRestoreTask task;

    EXPECT_FALSE(controller.newRequest(&task, false, false, databrowse::FORCE_USE_INDEX_NONE, nullptr))
        << "no worker factory: refused";

    // Only the worker that gave no reason gets the generic answer, and it is counted where tests see it.
    const uint64_t fallbacks = failurefallback::count();
    useFactory(controller, journal, [](TestWorker&) { return false; });
    EXPECT_FALSE(controller.newRequest(&task, false, false, databrowse::FORCE_USE_INDEX_NONE, nullptr));
    EXPECT_EQ(failurefallback::count(), fallbacks + 1);
    useFactory(controller, journal, [](TestWorker& w) {
        w.setLastError(databrowse::BROWSE_ERR_PERMISSION, "no rights");
        return false;
    });
    EXPECT_FALSE(controller.newRequest(&task, false, false, databrowse::FORCE_USE_INDEX_NONE, nullptr));
    EXPECT_FALSE(controller.newRequest(nullptr, false, false, databrowse::FORCE_USE_INDEX_NONE, nullptr));
    // A nested request (a dot browse) fails quietly: its outer request answers in the same channel.
    EvMultiEntityRestoreTask nested;
    nested.setOptions(0x2000);
    EXPECT_FALSE(controller.newRequest(&nested, true, false, databrowse::FORCE_USE_INDEX_NONE, nullptr));

    EXPECT_EQ(failurefallback::count(), fallbacks + 1);
    ASSERT_EQ(journal.errors.size(), 2u);
    EXPECT_EQ(journal.errors[0], std::make_pair(1, std::string("Browse request failed")));
    EXPECT_EQ(journal.errors[1], std::make_pair(3, std::string("no rights")));
    EXPECT_EQ(controller.getWorkerCount(), 0u);
    EXPECT_EQ(journal.alive.load(), 0);
}

TEST(ControllerRegistry, RequestCopiesBrowseRequestAndAppMiningFlags) {
    TJournal journal;
    CControllerThreadHM controller(testOptions());
    bool mining = false, copied = false;
    useFactory(controller, journal, [&](TestWorker& w) {
        mining = w.getIsAppMining() && w.getIsAppMiningFromGui();
        copied = w.getBrowseReqV2()->getstring(databrowse::BrowseRequest::f::userName) == "alice";
        return true;
    });
    databrowse::BrowseRequest request;
    request.setstring(databrowse::BrowseRequest::f::userName, "alice");
    CNMessageBase* adv = request.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, true);
    CNMessageBase* settings = adv->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true);
    EvMultiEntityRestoreTask task;
    ASSERT_TRUE(controller.newRequest(&task, false, false, databrowse::FORCE_USE_INDEX_NONE, &request));
    EXPECT_TRUE(copied);
    EXPECT_FALSE(mining);
    settings->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::appMiningBlock, true);
    ASSERT_TRUE(controller.newRequest(&task, false, false, databrowse::FORCE_USE_INDEX_NONE, &request));
    EXPECT_TRUE(mining);
}

TEST(ControllerRegistry, DeleteTwiceDeletesOnce) {
    TJournal journal;
    CControllerThreadHM controller(testOptions());
    useFactory(controller, journal, goAsync);
    EvMultiEntityRestoreTask task;
    ASSERT_TRUE(controller.newRequest(&task, false, false, databrowse::FORCE_USE_INDEX_NONE, nullptr));
    const std::string id = journal.ids.at(0);
    CControllerThreadHM::WorkerPtr held = controller.getWorker(id);
    ASSERT_TRUE(held);
    controller.deleteWorker(id);
    EXPECT_TRUE(held->getMarkedForDeletion());
    EXPECT_EQ(controller.getWorker(id), nullptr);
    EXPECT_EQ(journal.alive.load(), 1) << "still held here";
    controller.deleteWorker(id);  // logged, ignored
    held.reset();
    EXPECT_EQ(journal.alive.load(), 0);
}

TEST(ControllerRegistry, RelayRacingDeleteNeverUsesADeletedWorker) {
    TJournal journal;
    CControllerThreadHM controller(testOptions());
    useFactory(controller, journal, goAsync);
    EvMultiEntityRestoreTask task;
    constexpr int kRounds = 200;
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_TRUE(controller.newRequest(&task, false, false, databrowse::FORCE_USE_INDEX_NONE, nullptr));
        const std::string id = journal.ids.back();
        std::atomic<bool> go{false};
        std::vector<std::thread> relays;
        for (int r = 0; r < 3; ++r) {
            relays.emplace_back([&] {
                while (!go.load()) std::this_thread::yield();
                for (int i = 0; i < 50; ++i) {
                    CControllerThreadHM::WorkerPtr w = controller.getWorker(id);
                    if (!w) return;
                    auto* worker = static_cast<TestWorker*>(w.get());
                    CWorkerAccess access(*worker);
                    if (!worker->getMarkedForDeletion()) worker->relay();
                }
            });
        }
        std::thread deleter([&] {
            while (!go.load()) std::this_thread::yield();
            controller.deleteWorker(id);
        });
        go = true;
        deleter.join();
        for (auto& t : relays) t.join();
        EXPECT_EQ(controller.getWorker(id), nullptr);
    }
    EXPECT_EQ(journal.alive.load(), 0);
}

TEST(ControllerRegistry, WaitForWorkerNeverMissesTheWakeUp) {
    TJournal journal;
    CControllerThreadHM controller(testOptions(60000, 20000));
    useFactory(controller, journal, goAsync);
    EvMultiEntityRestoreTask task;
    EXPECT_TRUE(controller.waitForWorker("no-such-worker"));
    for (int round = 0; round < 300; ++round) {
        ASSERT_TRUE(controller.newRequest(&task, false, false, databrowse::FORCE_USE_INDEX_NONE, nullptr));
        const std::string id = journal.ids.back();
        std::thread deleter([&] { controller.deleteWorker(id); });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(controller.waitForWorker(id));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        deleter.join();
    }
}

TEST(ControllerRegistry, WaitingRequestReturnsAfterItsWorkerIsDeletedAndWaitHasALimit) {
    TJournal journal;
    CControllerThreadHM controller(testOptions(60000, 300));
    // The relay of the last answer deletes the worker from another thread once the worker runs.
    std::promise<std::string> running;
    std::atomic<bool> told{false};
    useFactory(controller, journal, [&](TestWorker& w) {
        if (!told.exchange(true)) running.set_value(w.getWorkerId());
        return goAsync(w);
    });
    EvMultiEntityRestoreTask task;
    std::thread relay([&] { controller.deleteWorker(running.get_future().get()); });
    EXPECT_TRUE(controller.newRequest(&task, true, false, databrowse::FORCE_USE_INDEX_NONE, nullptr));
    relay.join();
    EXPECT_EQ(controller.getWorkerCount(), 0u);

    // Nobody deletes this one: the wait gives up at its limit.
    ASSERT_TRUE(controller.newRequest(&task, false, false, databrowse::FORCE_USE_INDEX_NONE, nullptr));
    EXPECT_FALSE(controller.waitForWorker(journal.ids.back()));
}

TEST(ControllerRegistry, StopFlagReachesTheWorker) {
    TJournal journal;
    CControllerThreadHM controller(testOptions());
    useFactory(controller, journal, goAsync);
    EvMultiEntityRestoreTask task;
    ASSERT_TRUE(controller.newRequest(&task, false, false, databrowse::FORCE_USE_INDEX_NONE, nullptr));
    controller.setStopFlag("unknown");
    controller.setStopFlag(journal.ids.at(0));
    EXPECT_TRUE(controller.getWorker(journal.ids.at(0))->getStopFlag());
}

TEST(ControllerClock, EndsAsynchronousWorkersLeftIdle) {
    const std::filesystem::path registry =
        std::filesystem::temp_directory_path() / ("controller-test-" + std::to_string(getpid()) + ".ini");
    {
        std::ofstream out(registry);
        out << "[EventManager]\n" << CControllerThreadHM::kIdleLimitName << " = 1\n";
    }
    ZYPlatformInfo::setRegistryPath(registry.string());
    TJournal journal;
    {
        // Workers age on a clock the test moves; the controller's ticks are the events waited for.
        CHubManualClock clock;  // outlives the controller and its workers
        CControllerThreadHM controller(testOptions(50), clock);
        controller.setWorkerFactory(
            [&journal, &clock] { return std::make_shared<TestWorker>(journal, goAsync, clock); });
        EvMultiEntityRestoreTask task;
        auto ticksPass = [&controller](unsigned long long count) {
            return controller.waitForTicks(controller.getTickCount() + count, std::chrono::seconds(20));
        };
        ASSERT_TRUE(controller.newRequest(&task, false, false, databrowse::FORCE_USE_INDEX_NONE, nullptr));
        CControllerThreadHM::WorkerPtr busy = controller.getWorker(journal.ids.at(0));
        ASSERT_TRUE(controller.start(nullptr));
        {
            // A worker held by another thread (an answer being relayed) is not ended meanwhile.
            CWorkerAccess access(*busy);
            clock.advance(std::chrono::seconds(5));
            ASSERT_TRUE(ticksPass(3));
            EXPECT_EQ(controller.getWorkerCount(), 1u);
        }
        busy.reset();
        // Left idle past the limit: ended at the next ticks.
        clock.advance(std::chrono::seconds(5));
        ASSERT_TRUE(ticksPass(3));
        EXPECT_EQ(controller.getWorkerCount(), 0u);
        controller.terminate();
        EXPECT_TRUE(controller.join());
    }
    ZYPlatformInfo::setRegistryPath("");
    std::filesystem::remove(registry);
    ASSERT_EQ(journal.errors.size(), 1u);
    EXPECT_EQ(journal.errors[0].first, 1);
    EXPECT_NE(journal.errors[0].second.find("no answer from the media agent"), std::string::npos);
    EXPECT_EQ(journal.alive.load(), 0);
}

namespace {

class ControllerAgeing : public PlanningWorld {};

}  // namespace

// Each ageing counts one minute on every record, however little wall time passed: an unreferenced
// record goes at the 1,440th ageing (a day of counted minutes), not before.
TEST_F(ControllerAgeing, RecordsAgeAMinutePerAgeing) {
    auto task = fileTask("ageing");
    bool flag = false;
    ASSERT_EQ(cache->openConfRef(task.get(), flag), "ageing");
    ASSERT_EQ(cache->closeConfRef("ageing"), 0);
    CControllerThreadHM::TOptions options = testOptions(1);
    options.ticksPerAgeing = 1;
    CControllerThreadHM controller(options);
    ASSERT_TRUE(controller.start(nullptr));
    const unsigned long long ageings = CConfRecord::kIdleLimitSeconds / CControllerThreadHM::kAgeingSeconds;
    unsigned long long ticksWhenGone = 0;
    // Looked at after each tick, counting only ticks that had ended before the look.
    for (unsigned long long ticks = 0; ticksWhenGone == 0 && ticks < 2 * ageings; ++ticks) {
        if (!controller.waitForTicks(ticks, std::chrono::seconds(20))) break;
        if (cache->getConfRec("ageing", false) == nullptr) ticksWhenGone = controller.getTickCount();
    }
    controller.terminate();
    EXPECT_TRUE(controller.join());
    ASSERT_NE(ticksWhenGone, 0u) << "the record was never aged out";
    EXPECT_GE(ticksWhenGone, ageings - 1) << "aged out before a day of counted minutes";
}

// A stop waits for its session's workers until the stop-wait limit on the controller's clock: it gives
// up at the limit and not before, and returns as soon as the workers have left.
TEST(ClockExpiry, AStopWaitsForTheSessionsWorkersUntilTheLimitNotBefore) {
    using namespace std::chrono_literals;
    CHubManualClock clock;
    CControllerThreadHM::TOptions options = testOptions();
    options.stopWaitLimitSeconds = 600;
    options.stopPollMs = 1;
    CControllerThreadHM controller(options, clock);
    CConfRecord record;
    record.insertWorkerInConf("1");
    std::atomic<int> waited{-1};  // -1 while waiting, then what the wait answered
    std::thread stop([&] { waited = controller.waitForStoppedWorkers(&record) ? 1 : 0; });
    ASSERT_TRUE(clock.waitForReads(1));  // the limit is set from the clock as it stands
    clock.advance(599s);
    ASSERT_TRUE(clock.waitForReads(2));
    EXPECT_EQ(waited.load(), -1);
    clock.advance(1s);
    stop.join();
    EXPECT_EQ(waited.load(), 0);

    waited = -1;
    std::thread again([&] { waited = controller.waitForStoppedWorkers(&record) ? 1 : 0; });
    ASSERT_TRUE(clock.waitForReads(2));
    EXPECT_EQ(waited.load(), -1);
    record.removeWorkerFromConf("1");
    again.join();
    EXPECT_EQ(waited.load(), 1);
}

namespace {

// Workers on a manual clock whose media agent answers on router connections the test names: the
// controller's answer streams decide, on that clock, when an answer that broke off ends its browse.
class AnswerBreaks : public ::testing::Test {
protected:
    static constexpr const char* kAgent = "mediaagent1";
    static constexpr std::chrono::seconds kResume{10};

    AnswerBreaks() : m_controller(options(), m_clock) {
        m_controller.setWorkerFactory(
            [this] { return std::make_shared<TestWorker>(m_journal, goAsync, m_clock); });
    }
    static CControllerThreadHM::TOptions options() {
        CControllerThreadHM::TOptions o = testOptions();
        o.answerResumeSeconds = static_cast<unsigned>(kResume.count());
        return o;
    }
    std::string newWorker() {
        EvMultiEntityRestoreTask task;
        EXPECT_TRUE(m_controller.newRequest(&task, false, false, databrowse::FORCE_USE_INDEX_NONE, nullptr));
        std::lock_guard<std::mutex> lock(m_journal.mutex);
        return m_journal.ids.back();
    }
    CAnswerStreams& streams() { return m_controller.answerStreams(); }
    bool registered(const std::string& id) { return m_controller.getWorker(id) != nullptr; }
    // A worker whose answer broke off a second earlier than any the test breaks next: once it has been
    // ended, the answer streams have looked at every break due by then.
    std::string brokenEarlier(long long connection) {
        const std::string id = newWorker();
        streams().heard(id, kAgent, connection, false);
        streams().connectionEnded(connection);
        m_clock.advance(std::chrono::seconds(1));
        return id;
    }
    // Moves the clock by `by` and returns once `id` (broken earlier) has been ended.
    void advanceUntilEnded(std::chrono::seconds by, const std::string& id) {
        m_clock.advance(by);
        EXPECT_TRUE(m_controller.waitForWorker(id, 20000)) << "worker " << id << " was not ended";
    }
    std::vector<std::pair<int, std::string>> errors() {
        std::lock_guard<std::mutex> lock(m_journal.mutex);
        return m_journal.errors;
    }

    TJournal m_journal;
    CHubManualClock m_clock;  // outlives the controller and its workers
    CControllerThreadHM m_controller;
};

}  // namespace

// A connection that ends before the end of an answer gives its agent the resumption time to go on on
// another connection, and no more: the browse ends with an error naming the agent when it has passed.
TEST_F(AnswerBreaks, AnAnswerThatBrokeOffEndsItsBrowseOnceItsAgentsTimeToGoOnHasPassed) {
    const std::string barrier = brokenEarlier(1);
    const std::string id = newWorker();
    streams().heard(id, kAgent, 2, false);
    streams().heard(id, kAgent, 2, false);
    streams().connectionEnded(2);
    advanceUntilEnded(kResume - std::chrono::seconds(1), barrier);
    EXPECT_TRUE(registered(id)) << "ended before its agent's time to go on had passed";
    m_clock.advance(std::chrono::seconds(1));
    ASSERT_TRUE(m_controller.waitForWorker(id, 20000));
    const auto said = errors();
    ASSERT_EQ(said.size(), 2u);
    EXPECT_EQ(said[1].first, databrowse::BROWSE_ERR_GENERIC);
    EXPECT_NE(
        said[1].second.find("media agent [mediaagent1] closed the connection it answered on before the end "
                            "of its answer"),
        std::string::npos)
        << said[1].second;
}

// The agent goes on in time, on a new connection after the old one ended, or on one it had already
// begun on after its last answer on the old one: the browse goes on. An answer whose end came on its
// connection did not break off when that connection ends.
TEST_F(AnswerBreaks, AnAgentThatGoesOnOnAnotherConnectionKeepsItsBrowse) {
    const std::string resumed = newWorker(), already = newWorker(), finished = newWorker();
    streams().heard(resumed, kAgent, 10, false);
    streams().connectionEnded(10);
    streams().heard(already, kAgent, 11, false);
    streams().heard(already, kAgent, 12, false);  // begun after its last answer on 11
    streams().connectionEnded(11);
    streams().heard(finished, kAgent, 13, false);
    streams().heard(finished, kAgent, 13, true);
    streams().connectionEnded(13);
    m_clock.advance(kResume - std::chrono::seconds(1));
    streams().heard(resumed, kAgent, 14, false);
    const std::string barrier = brokenEarlier(15);
    advanceUntilEnded(kResume, barrier);
    for (const std::string& id : {resumed, already, finished}) EXPECT_TRUE(registered(id)) << id;
    EXPECT_EQ(errors().size(), 1u);
}

// Two answers of one agent side by side on two connections: the one that breaks off is not taken up by
// the other, begun before its last answer, nor by another agent's connection; and each answer that broke
// off needs a connection of its own to go on.
TEST_F(AnswerBreaks, OnlyANewConnectionOfTheSameAgentTakesUpAnAnswerThatBrokeOff) {
    const std::string sideBySide = newWorker(), otherAgent = newWorker(), twice = newWorker();
    streams().heard(sideBySide, kAgent, 20, false);
    streams().heard(sideBySide, kAgent, 21, false);
    streams().heard(sideBySide, kAgent, 20, false);
    streams().connectionEnded(20);
    streams().heard(otherAgent, kAgent, 22, false);
    streams().connectionEnded(22);
    streams().heard(otherAgent, "mediaagent2", 23, false);
    streams().heard(twice, kAgent, 24, false);
    streams().heard(twice, kAgent, 25, false);
    streams().heard(twice, kAgent, 24, false);
    streams().connectionEnded(24);
    streams().heard(twice, kAgent, 25, false);
    streams().connectionEnded(25);
    streams().heard(twice, kAgent, 26, false);  // takes up one of the two
    m_clock.advance(kResume);
    for (const std::string& id : {sideBySide, otherAgent, twice})
        EXPECT_TRUE(m_controller.waitForWorker(id, 20000)) << "worker " << id << " was not ended";
    EXPECT_EQ(errors().size(), 3u);
}
