// Relay throughput of BrowseRouter: media-agent answers of 1,000 items each, sent on one connection to
// the router of this process and relayed to a registered worker's return channel, in items per second;
// against the least the relay's design costs, the message layer parsing each answer's XML once and
// serialising it once. The ratio of the pair is printed at the end.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "bench/support/ratio.h"
#include "planning/browsetask.h"
#include "platform/log/evdebug.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynetwork.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndata.h"
#include "platform/tasks/evreturndestination.h"
#include "platform/threads/hubmutex.h"
#include "service/browserouterthread.h"
#include "service/controllerthread.h"
#include "service/fastbrowsehm_api.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

constexpr int kItems = 1000;  // items per answer
constexpr int kAnswers = 20;  // answers per iteration
constexpr long long kJobId = 4242;
const char* const kSession = "bench-relay-session";

// Counts the items the relay hands to the caller.
class CCountingDestination : public EvReturnDestination {
public:
    void deliver(const EvReturnRecord& record) override {
        if (record.kind != EV_RETURN_RECORD_XML_ITEM) return;
        CHubMutexLock lock(m_mutex);
        ++m_records;
        m_changed.notify_all();
    }
    bool waitFor(long long records) {
        CHubMutexLock lock(m_mutex);
        return lock.waitFor(m_changed, std::chrono::seconds(60),
                            [this, records]() REQUIRES(m_mutex) { return m_records >= records; });
    }
    long long records() {
        CHubMutexLock lock(m_mutex);
        return m_records;
    }

private:
    CHubMutex m_mutex;
    std::condition_variable m_changed;
    long long m_records GUARDED_BY(m_mutex) = 0;
};

// A super-browse worker as it waits for its answers: registered, asynchronous, with its return channel.
class CWaitingWorker : public CWorkerThreadHM {
public:
    explicit CWaitingWorker(std::string& id) : m_id(id) {}
    // Run under the worker's lock, as the controller calls it.
    bool newRequest(EvMultiEntityRestoreTask*) override REQUIRES(m_workerLock) {
        m_id = getWorkerId();
        m_browseTask->getDataPtr()->confId = kSession;
        m_browseTask->getDataPtr()->restoreReturn = new EvRestoreReturn(kJobId, 0, true, nullptr, nullptr);
        setAsyncMode(true);
        setOutstandingRequests(1);
        return true;
    }

private:
    std::string& m_id;  // the registering thread's, written before newRequest returns
};

std::string answerXml(const std::string& workerId) {
    databrowse::BrowseResponse r;
    r.setint64(databrowse::BrowseResponse::f::respType, 0);
    r.setstring(databrowse::BrowseResponse::f::workerId, workerId);
    databrowse::BrowseSession session;
    session.setstring(databrowse::BrowseSession::f::sessionId, kSession);
    r.setObjectAccessor(session, databrowse::BrowseResponse::f::session);
    std::vector<CNMessageBase> items;
    for (int i = 0; i < kItems; ++i) {
        databrowse::BrowseData d;
        d.setstring(databrowse::BrowseData::f::name, "file" + std::to_string(i) + ".txt");
        d.setstring(databrowse::BrowseData::f::path, "/data/projects/file" + std::to_string(i) + ".txt");
        d.setint64(databrowse::BrowseData::f::size, 4096 + i);
        d.setint64(databrowse::BrowseData::f::modificationTime, 1700000000 + i);
        databrowse::Msg93 inner;
        inner.setint64(databrowse::Msg93::f::backupTime, 1700001000);
        inner.setint64(databrowse::Msg93::f::archiveFileId, 31);
        d.setObjectAccessor(inner, databrowse::BrowseData::f::advancedData);
        items.push_back(std::move(d));
    }
    r.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, true)
        ->setlistobject(databrowse::BrowseResult::f::dataResultSet, items);
    std::string xml;
    r.serialize(xml);
    return xml;
}

// The service of this process, started once for the program.
struct TService {
    TService() {
        logs = std::filesystem::temp_directory_path() / ("bench-relay-" + std::to_string(getpid()));
        std::filesystem::create_directories(logs);
        EvDebugFileInstance::setLogDirectory(logs.string());
        fastBrowseHMInitialize();
        char why[256] = "";
        const int port = fastBrowseHMWaitForListener(30, why, sizeof why);
        if (port <= 0) {
            std::fprintf(stderr, "bench_relay: BrowseRouter is not listening: %s\n", why);
            std::exit(1);
        }
        routerHost = MangleHostName("127.0.0.1", "hubmaster", 0, port);
        EvReturnDestinations::registerDestination(kJobId, destination);
        g_poControllerThreadHM->setWorkerFactory(
            [this] { return std::make_shared<CWaitingWorker>(workerId); });
        EvMultiEntityRestoreTask task;
        fastBrowseHMProcessRequestMultiEntity(&task, false, databrowse::FORCE_USE_INDEX_NONE, nullptr);
    }
    ~TService() {
        fastBrowseHMCleanUp();
        EvReturnDestinations::unregisterDestination(kJobId);
        EvDebugFileInstance::setLogDirectory("");
        std::filesystem::remove_all(logs);
    }
    std::filesystem::path logs;
    std::string routerHost, workerId;
    std::shared_ptr<CCountingDestination> destination = std::make_shared<CCountingDestination>();
};

TService& service() {
    static TService s;
    return s;
}

void BM_RelayToReturnChannel(benchmark::State& state) {
    TService& s = service();
    CZyNetwork peer;
    bool timedOut = false;
    if (peer.Connect(s.routerHost.c_str(), CBrowseRouterThreadHM::kServerName, nullptr, 10, timedOut)
            .IsError()) {
        state.SkipWithError("cannot reach BrowseRouter");
        return;
    }
    // The router relays only what a media agent the worker asked sends: this process plays that agent,
    // under the name its session proves, as a worker records it once its request is sent (each run on a
    // connection of its own, as for one more request); its answers carry the worker's id.
    std::string xml;
    if (CControllerThreadHM::WorkerPtr worker = g_poControllerThreadHM->getWorker(s.workerId)) {
        CWorkerAccess access(*worker);
        worker->expectAnswersFrom(peer);
        xml = answerXml(worker->getWorkerId());
    }
    for (auto _ : state) {
        const long long target = s.destination->records() + kAnswers;
        for (int i = 0; i < kAnswers; ++i)
            ignoreResult(peer.SendXMLMessage(databrowse::BrowseResponse::TAG, xml, 0, 30, timedOut),
                         "a failed send shows as answers not relayed, checked next");
        if (!s.destination->waitFor(target)) {
            state.SkipWithError("answers were not relayed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * kAnswers * kItems);
}
BENCHMARK(BM_RelayToReturnChannel)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Apply(hubbench::repeatedWithSpread);

void BM_ParseAndSerialiseOnce(benchmark::State& state) {
    const std::string xml = answerXml("1");
    for (auto _ : state) {
        for (int i = 0; i < kAnswers; ++i) {
            databrowse::BrowseResponse r;
            r.unserialize(xml);
            std::string out;
            r.serialize(out);
            benchmark::DoNotOptimize(out.data());
        }
    }
    state.SetItemsProcessed(state.iterations() * kAnswers * kItems);
}
BENCHMARK(BM_ParseAndSerialiseOnce)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Apply(hubbench::repeatedWithSpread);

}  // namespace

int main(int argc, char** argv) {
    return hubbench::runWithRatios(
        argc, argv,
        {{"BM_RelayToReturnChannel/real_time", "BM_ParseAndSerialiseOnce/real_time",
          "relay to the return channel / parse and serialise once", 1.5}});
}
