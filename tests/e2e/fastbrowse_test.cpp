// Classic fast browse end to end: the real tools/mediaagent process on loopback serving the demo world's
// release-9.0 media agent, browsed through the controller into a recording return channel. Every answer
// is checked against the same media agent's item index read directly: a directory at a point in time
// and over a range, every item layout by protocol version, a page with its count (one end), prediction
// items and metadata; and media agents that fall silent, vanish mid-listing or send garbage.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "planning/confmgr.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/log/evdebug.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynetwork_pool.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndata.h"
#include "service/controllerthread.h"
#include "tests/e2e/e2eworld.h"
#include "tests/support/process/childprocess.h"
#include "tools/mediaagent/itemindex.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

namespace fs = std::filesystem;
constexpr int64_t kOptionPrediction = 1LL << 38;
constexpr int64_t kOptionVersions = 0x8;  // the router's flag for the all-versions operation

// One answer as the caller reads it.
struct TAnswer {
    int64_t type = -1;
    std::vector<databrowse::BrowseData> items;
    std::vector<int64_t> counts;
    std::vector<std::string> errors;
};

std::vector<TAnswer> answersOf(const EvRecordingDestination& destination) {
    std::vector<TAnswer> out;
    for (const std::string& xml : destination.payloads(EV_RETURN_RECORD_XML_ITEM)) {
        databrowse::BrowseResponse response;
        if (response.unserialize(xml) != 0) continue;  // the generated session's own answer
        TAnswer a;
        a.type = response.getint64(databrowse::BrowseResponse::f::respType);
        if (auto* errors = response.getlistobject(databrowse::BrowseResponse::f::messages, false))
            for (const CNMessageBase& e : *errors)
                a.errors.push_back(e.getstring(databrowse::BrowseError::f::errorMessage));
        if (response.isSet(databrowse::BrowseResponse::f::browseResult)) {
            CNMessageBase* result =
                response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
            if (auto* items = result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false))
                for (const CNMessageBase& i : *items) {
                    databrowse::BrowseData data;
                    data.unserialize([&] {
                        std::string text;
                        i.serialize(text);
                        return text;
                    }());
                    a.items.push_back(data);
                }
            if (auto* counts = result->getlistobject(databrowse::BrowseResult::f::aggrResultSet, false))
                for (const CNMessageBase& c : *counts)
                    a.counts.push_back(c.getint64(databrowse::AggregateResult::f::count));
        }
        out.push_back(std::move(a));
    }
    return out;
}

std::vector<databrowse::BrowseData> itemsOf(const std::vector<TAnswer>& answers) {
    std::vector<databrowse::BrowseData> out;
    for (const TAnswer& a : answers) out.insert(out.end(), a.items.begin(), a.items.end());
    return out;
}

size_t countOfType(const std::vector<TAnswer>& answers, int64_t type) {
    size_t n = 0;
    for (const TAnswer& a : answers) n += a.type == type ? 1 : 0;
    return n;
}

// The media agent as its own process, serving an index made from the demo world.
class CAgent {
public:
    CAgent(const std::string& hubDb, const std::string& index, std::vector<std::string> extra)
        : m_process("tools/mediaagent/mediaagent", arguments(hubDb, index, std::move(extra))) {
        if (m_process.waitFor(e2eworld::kListening, std::chrono::seconds(120)))
            m_port = static_cast<int>(m_process.numberAfter(e2eworld::kListening));
    }
    int port() const { return m_port; }
    const std::string& output() const { return m_process.output(); }

private:
    static std::vector<std::string> arguments(const std::string& hubDb, const std::string& index,
                                              std::vector<std::string> extra) {
        std::vector<std::string> args = {
            "--hub", hubDb, "--client", "mediaagent3", "--port", "0", "--index", index, "--batch", "100",
            "--files", "1500", "--big-dir", "400", "--files-per-dir", "30", "--metadata-every", "7",
            // The world's registry: its Hubmaster, and plain mode for this process's plain requests.
            "--registry", (std::filesystem::path(hubDb).parent_path() / "registry.ini").string()};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    hubtest::CChildProcess m_process;
    int m_port = 0;
};

class FastBrowseEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_NO_FATAL_FAILURE(e2eworld::createWorld("fastbrowse-e2e", s_folder, s_world));
        s_agent = new CAgent(s_world->databasePath, index(), {});
        ASSERT_GT(s_agent->port(), 0) << s_agent->output();
    }
    static void TearDownTestSuite() {
        delete s_agent;
        s_agent = nullptr;
        e2eworld::removeWorld(s_folder, s_world);
    }
    static std::string index() { return (s_folder / "agent.db").string(); }

    void SetUp() override {
        ASSERT_NE(s_world, nullptr);
        std::string error;
        ASSERT_EQ(hubdb::openHubDatabase(s_world->databasePath, &error), zydb::DB_OK) << error;
        m_index = mediaagent::CItemIndex::open(index(), error);
        ASSERT_TRUE(m_index) << error;
        ASSERT_TRUE(m_index->jobs(s_world->legacy.subclient, m_jobs));
        ASSERT_GE(m_jobs.size(), 9u);
        cache = std::make_unique<CConfigurationMgr>();
        cache->setConflictWait(3, 10);
        savedConfMgr = std::exchange(g_poConfMgr, cache.get());
        static std::atomic<int> n{0};
        CControllerThreadHM::TOptions options;
        options.stopEventName = "fastbrowse-e2e-" + std::to_string(getpid()) + "-" + std::to_string(++n);
        controller = std::make_unique<CControllerThreadHM>(options);
        pool = std::make_unique<ZyNetworkPoP>();
        CWorkerThreadHM::setSessionPool(pool.get());
        useAgent(s_agent->port());
    }
    void TearDown() override {
        controller.reset();
        CWorkerThreadHM::setSessionPool(nullptr);
        pool.reset();
        for (long long job : jobs) EvReturnDestinations::unregisterDestination(job);
        g_poConfMgr = savedConfMgr;  // the library's own manager goes back in place
        cache.reset();
        CZyNetDirectory::instance().unregisterClient("mediaagent3");
        ZYPlatformInfo::removeValue("EventManager", "nFastBrowseIdleLimitSec");
        TZyNetOptions o = zyNetOptions();
        o.protocolVersion = 4098;
        setZyNetOptions(o);
        zydb::CDbEnv::close();
    }
    static void useAgent(int port) {
        CZyNetDirectory::instance().registerClient("mediaagent3", "127.0.0.1", port);
    }

    // A browse of client3's subclient by the administrator.
    std::unique_ptr<EvMultiEntityRestoreTask> task(std::shared_ptr<EvRecordingDestination>& destination,
                                                   const std::string& path, int64_t toTime,
                                                   int64_t fromTime = 0, uint64_t options = 0) {
        const long long job = 7000 + static_cast<long long>(jobs.size());
        jobs.push_back(job);
        destination = std::make_shared<EvRecordingDestination>();
        EvReturnDestinations::registerDestination(job, destination);
        auto t = std::make_unique<EvMultiEntityRestoreTask>();
        const hubdemo::LegacyAgentWorld& w = s_world->legacy;
        t->setTaskParameters(static_cast<unsigned long long>(job), 0, s_world->adminUser, options, 2,
                             w.client, w.backupSet, 0, static_cast<long>(toTime), static_cast<long>(fromTime),
                             29, 0, 0, 0);
        t->setUserName("admin");
        t->setSubClientId(w.subclient);
        t->addPath(EvRestoreTask::kBrowsePathList, path.c_str());
        return t;
    }
    bool run(EvMultiEntityRestoreTask& t) {
        return controller->newRequest(&t, false, false, databrowse::FORCE_USE_INDEX_NONE, nullptr);
    }
    mediaagent::TBrowseQuery query(const std::string& path, int64_t toTime, int64_t fromTime = 0) const {
        mediaagent::TBrowseQuery q;
        q.appId = s_world->legacy.subclient;
        q.path = path;
        q.toTime = toTime;
        q.fromTime = fromTime;
        return q;
    }
    std::vector<mediaagent::TItemVersion> direct(const mediaagent::TBrowseQuery& q, bool range) {
        std::vector<mediaagent::TItemVersion> out;
        bool found = false;
        EXPECT_TRUE(range ? m_index->listRange(q, out, found) : m_index->listAt(q, out, found))
            << m_index->lastError();
        return out;
    }
    // What the media agent answers for a browse up to `toTime`: the directory as of then, although the
    // worker's archive-file selection sends the oldest backup's time as the from-time.
    std::vector<mediaagent::TItemVersion> asSent(const std::string& path, int64_t toTime) {
        return direct(query(path, toTime), false);
    }
    // What the caller gets: the index's items, a directory the agent reports without its type replaced
    // by its own items (the Hubmaster's nested browse of it).
    std::vector<mediaagent::TItemVersion> asResolved(const std::string& path, int64_t toTime) {
        std::vector<mediaagent::TItemVersion> out;
        for (mediaagent::TItemVersion& v : asSent(path, toTime)) {
            if ((v.flags & mediaagent::kItemTypeUnknown) == 0) {
                out.push_back(std::move(v));
                continue;
            }
            const std::vector<mediaagent::TItemVersion> inner = asSent(v.path, toTime);
            out.insert(out.end(), inner.begin(), inner.end());
        }
        return out;
    }
    // The converted items are the index's, in order, with the values the index holds.
    static void expectSame(const std::vector<databrowse::BrowseData>& got,
                           const std::vector<mediaagent::TItemVersion>& expected, bool current) {
        ASSERT_EQ(got.size(), expected.size());
        for (size_t k = 0; k < got.size(); ++k) {
            const databrowse::BrowseData& g = got[k];
            const mediaagent::TItemVersion& e = expected[k];
            EXPECT_EQ(g.getstring(databrowse::BrowseData::f::name), e.path);
            EXPECT_EQ(g.getint64(databrowse::BrowseData::f::size), e.size);
            // The classic item's time word is the backup time.
            EXPECT_EQ(g.getint64(databrowse::BrowseData::f::modificationTime), e.backupTime);
            auto& data = const_cast<databrowse::BrowseData&>(g);
            CNMessageBase* flags = data.getObjectAccessor(databrowse::BrowseData::f::flags, false);
            ASSERT_NE(flags, nullptr);
            EXPECT_EQ(flags->getint64(databrowse::BrowseItemFlags::f::directory), e.directory() ? 1 : 0);
            EXPECT_EQ(flags->getint64(databrowse::BrowseItemFlags::f::deleted), e.deleted() ? 1 : 0);
            if (!current) continue;
            CNMessageBase* advanced = data.getObjectAccessor(databrowse::BrowseData::f::advancedData, false);
            ASSERT_NE(advanced, nullptr);
            EXPECT_EQ(advanced->getint64(databrowse::Msg93::f::backupTime), e.backupTime);
            EXPECT_EQ(advanced->getint64(databrowse::Msg93::f::archiveFileId), e.archiveFileId);
            EXPECT_EQ(advanced->isSet(databrowse::Msg93::f::idxMetaData), !e.metadata.empty()) << e.path;
        }
    }

    static fs::path s_folder;
    static hubdemo::DemoWorld* s_world;
    static CAgent* s_agent;
    std::unique_ptr<mediaagent::CItemIndex> m_index;
    std::vector<mediaagent::TIndexJob> m_jobs;
    std::unique_ptr<CConfigurationMgr> cache;
    CConfigurationMgr* savedConfMgr = nullptr;  // the library's own, while the test's is in place
    std::unique_ptr<CControllerThreadHM> controller;
    std::unique_ptr<ZyNetworkPoP> pool;
    std::vector<long long> jobs;
};
fs::path FastBrowseEndToEnd::s_folder;
hubdemo::DemoWorld* FastBrowseEndToEnd::s_world = nullptr;
CAgent* FastBrowseEndToEnd::s_agent = nullptr;

}  // namespace

// A directory at a point in time and the versions of a directory over a range: the index's items in its
// order, one end and no error.
TEST_F(FastBrowseEndToEnd, DirectoryUpToAPointInTimeAndOverARange) {
    std::shared_ptr<EvRecordingDestination> destination;
    auto at = task(destination, "\\big", m_jobs[8].time);
    ASSERT_TRUE(run(*at));
    auto answers = answersOf(*destination);
    EXPECT_EQ(countOfType(answers, 3), 0u);
    ASSERT_EQ(countOfType(answers, 5), 1u);
    EXPECT_EQ(answers.back().type, 5);
    expectSame(itemsOf(answers), asSent("/big", m_jobs[8].time), true);

    auto range = task(destination, "/big", m_jobs[4].time, m_jobs[1].time, kOptionVersions);
    ASSERT_TRUE(run(*range));
    answers = answersOf(*destination);
    EXPECT_EQ(countOfType(answers, 5), 1u);
    // Every version backed up in the range, also those whose files were modified before it.
    auto versions = direct(query("/big", m_jobs[4].time, m_jobs[1].time), true);
    ASSERT_GT(versions.size(), 100u);
    ASSERT_TRUE(std::any_of(versions.begin(), versions.end(), [&](const mediaagent::TItemVersion& v) {
        return v.modificationTime < m_jobs[1].time;
    }));
    expectSame(itemsOf(answers), versions, true);
}

// The layout the media agent sends follows this side's protocol version; the items read the same, the
// older layouts without what they cannot carry.
TEST_F(FastBrowseEndToEnd, EveryItemLayoutByProtocolVersion) {
    const auto expected = asSent("/big", m_jobs[8].time);
    for (unsigned version : {4096u, 4097u, 4098u}) {
        TZyNetOptions o = zyNetOptions();
        o.protocolVersion = version;
        setZyNetOptions(o);
        pool = std::make_unique<ZyNetworkPoP>();  // sessions opened at another version are not reused
        CWorkerThreadHM::setSessionPool(pool.get());
        std::shared_ptr<EvRecordingDestination> destination;
        auto t = task(destination, "/big", m_jobs[8].time);
        ASSERT_TRUE(run(*t)) << version;
        const auto items = itemsOf(answersOf(*destination));
        expectSame(items, expected, version > 4097);
        for (size_t k = 0; k < items.size(); ++k)
            EXPECT_EQ(items[k].getstring(databrowse::BrowseData::f::displayName),
                      version >= 4097 ? expected[k].name : "")
                << version;
    }
}

// A page from its first index with a skip, and its count from the count pass: the index's page, the
// index's count, and one end for both.
TEST_F(FastBrowseEndToEnd, PageAndCountWithOneEnd) {
    std::string pattern;
    ASSERT_NO_FATAL_FAILURE(e2eworld::pageAndCountPattern(nullptr, pattern));

    std::shared_ptr<EvRecordingDestination> destination;
    auto t = task(destination, "/big", m_jobs[8].time);
    t->setEmFunction(2 | (3 << 8));
    t->setbrowseFindPattern(pattern.c_str());
    ASSERT_TRUE(run(*t));
    const auto answers = answersOf(*destination);
    EXPECT_EQ(countOfType(answers, 5), 1u);
    EXPECT_EQ(answers.back().type, 5);
    auto q = query("/big", m_jobs[8].time);
    q.skip = 2 + 50;
    q.pageSize = 100;
    std::vector<mediaagent::TItemVersion> expected = direct(q, false);
    ASSERT_EQ(expected.size(), 100u);
    const auto items = itemsOf(answers);
    ASSERT_EQ(items.size(), 100u);
    for (size_t k = 0; k < items.size(); ++k)
        EXPECT_EQ(items[k].getstring(databrowse::BrowseData::f::name),
                  std::to_string(expected[k].entry) + '\x12' + expected[k].path);
    int64_t total = 0;
    bool found = false;
    ASSERT_TRUE(m_index->countAt(query("/big", m_jobs[8].time), total, found));
    std::vector<int64_t> counts;
    for (const TAnswer& a : answers) counts.insert(counts.end(), a.counts.begin(), a.counts.end());
    EXPECT_EQ(counts, std::vector<int64_t>{total});
}

// A prediction browse: the media agent's archive files become the request's locations, and their media
// go to the caller once, before the end.
TEST_F(FastBrowseEndToEnd, PredictionItemsReachTheCallerBeforeTheEnd) {
    std::shared_ptr<EvRecordingDestination> destination;
    auto t = task(destination, "/", m_jobs[8].time, 0, kOptionPrediction);
    ASSERT_TRUE(run(*t));
    const auto answers = answersOf(*destination);
    ASSERT_EQ(countOfType(answers, 1), 1u);
    EXPECT_EQ(countOfType(answers, 5), 1u);
    EXPECT_EQ(answers.back().type, 5);
    EXPECT_TRUE(itemsOf(answers).empty());
}

// A media agent that stops answering: the browse ends after the idle limit with an error and the end,
// and its session is not handed to the next browse (which the silent agent would never answer).
TEST_F(FastBrowseEndToEnd, SilentMediaAgentEndsAtTheIdleLimit) {
    CAgent silent(s_world->databasePath, index(), {"--fault", "silent", "--fault-after", "150"});
    ASSERT_GT(silent.port(), 0) << silent.output();
    useAgent(silent.port());
    ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", "nFastBrowseIdleLimitSec", 2));
    std::shared_ptr<EvRecordingDestination> destination;
    auto t = task(destination, "/big", m_jobs[8].time);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(run(*t));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    auto answers = answersOf(*destination);
    EXPECT_EQ(itemsOf(answers).size(), 150u);
    ASSERT_GE(answers.size(), 2u);
    EXPECT_EQ(answers[answers.size() - 2].type, 3);
    EXPECT_EQ(answers.back().type, 5);
    EXPECT_EQ(countOfType(answers, 5), 1u);
    EXPECT_EQ(countOfType(answers, 3), 1u);

    // Fewer items than the fault needs: a fresh session answers whole.
    // (The root holds a directory of unknown type: its own items come in its place, in the index's
    // order; the nested browse pages, naming each "<node>\x12<path>". One end all the same.)
    auto small = task(destination, "/", m_jobs[8].time);
    EXPECT_TRUE(run(*small));
    answers = answersOf(*destination);
    EXPECT_EQ(countOfType(answers, 3), 0u);
    EXPECT_EQ(countOfType(answers, 5), 1u);
    EXPECT_EQ(answers.back().type, 5);
    std::vector<std::string> got, expected;
    for (const databrowse::BrowseData& item : itemsOf(answers)) {
        const std::string name = item.getstring(databrowse::BrowseData::f::name);
        got.push_back(name.substr(name.find('\x12') + 1));
    }
    for (const mediaagent::TItemVersion& v : asResolved("/", m_jobs[8].time)) expected.push_back(v.path);
    ASSERT_GT(expected.size(), asSent("/", m_jobs[8].time).size());
    EXPECT_EQ(got, expected);
}

// A media agent that leaves mid-listing, and one that sends garbage: the request fails cleanly, with one
// error and then the end.
TEST_F(FastBrowseEndToEnd, VanishingAndGarbageMediaAgentsFailCleanly) {
    for (const char* fault : {"vanish", "garbage"}) {
        CAgent agent(s_world->databasePath, index(), {"--fault", fault, "--fault-after", "150"});
        ASSERT_GT(agent.port(), 0) << agent.output();
        useAgent(agent.port());
        std::shared_ptr<EvRecordingDestination> destination;
        auto t = task(destination, "/big", m_jobs[8].time);
        EXPECT_FALSE(run(*t)) << fault;
        const auto answers = answersOf(*destination);
        EXPECT_EQ(itemsOf(answers).size(), 150u) << fault;
        ASSERT_GE(answers.size(), 2u);
        EXPECT_EQ(answers[answers.size() - 2].type, 3) << fault;
        EXPECT_EQ(answers.back().type, 5) << fault;
        EXPECT_EQ(countOfType(answers, 3), 1u) << fault;
        EXPECT_EQ(controller->getWorkerCount(), 0u);
    }
}

namespace {

std::vector<std::string> pathsOf(const std::vector<databrowse::BrowseData>& items) {
    std::vector<std::string> out;
    for (const databrowse::BrowseData& item : items) {
        const std::string name = item.getstring(databrowse::BrowseData::f::name);
        out.push_back(name.substr(name.find('\x12') + 1));  // a page names each item by its node too
    }
    return out;
}

}  // namespace

// Pages of a directory holding an item of unknown type are counted over the items the caller gets (the
// nested browse's in the item's place): each page holds at most its size, every item comes once, in
// order, and one end closes each page. A versions browse answers the nested items once, however many
// versions of the unknown item it meets, and its pages tile the same answer.
TEST_F(FastBrowseEndToEnd, UnknownItemsArePagedAndVersionedOnce) {
    const int64_t at = m_jobs[8].time;
    std::vector<std::string> expected;
    for (const mediaagent::TItemVersion& v : asResolved("/", at)) expected.push_back(v.path);
    ASSERT_GT(expected.size(), asSent("/", at).size());  // the root holds an item of unknown type
    // A last page asked first (the agent is asked from its first entry), then every page in turn (each
    // placed by what the pages before it learnt of the listing).
    {
        std::shared_ptr<EvRecordingDestination> destination;
        auto last = task(destination, "/", at);
        last->setEmFunction(2);
        last->setEmSkipNode(static_cast<uint32_t>(expected.size() - 2));
        last->setEmPageSize(3);
        ASSERT_TRUE(run(*last));
        EXPECT_EQ(pathsOf(itemsOf(answersOf(*destination))),
                  std::vector<std::string>(expected.end() - 2, expected.end()));
    }
    for (uint32_t size : {1u, 2u, 4u}) {
        std::vector<std::string> got;
        for (uint32_t page = 0; page <= expected.size(); ++page) {
            std::shared_ptr<EvRecordingDestination> destination;
            auto t = task(destination, "/", at);
            t->setEmFunction(2);
            t->setEmSkipNode(page * size);
            t->setEmPageSize(size);
            ASSERT_TRUE(run(*t)) << size << " page " << page;
            const auto answers = answersOf(*destination);
            EXPECT_EQ(countOfType(answers, 5), 1u);
            const std::vector<std::string> items = pathsOf(itemsOf(answers));
            EXPECT_LE(items.size(), size);
            if (items.empty()) break;
            got.insert(got.end(), items.begin(), items.end());
        }
        EXPECT_EQ(got, expected) << "page size " << size;
    }

    // Every version in the range, the unknown item's replaced by its nested items' versions, once.
    const int64_t from = m_jobs[0].time, to = m_jobs.back().time;
    std::vector<std::string> versions;
    size_t unknownVersions = 0;
    std::vector<std::string> resolved;
    for (const mediaagent::TItemVersion& v : direct(query("/", to, from), true)) {
        if ((v.flags & mediaagent::kItemTypeUnknown) == 0) {
            versions.push_back(v.path);
            continue;
        }
        ++unknownVersions;
        if (std::find(resolved.begin(), resolved.end(), v.path) != resolved.end()) continue;
        resolved.push_back(v.path);
        for (const mediaagent::TItemVersion& inner : direct(query(v.path, to, from), true))
            versions.push_back(inner.path);
    }
    ASSERT_GT(unknownVersions, resolved.size());  // the unknown item has several versions in the range
    std::shared_ptr<EvRecordingDestination> destination;
    auto all = task(destination, "/", to, from, kOptionVersions);
    ASSERT_TRUE(run(*all));
    EXPECT_EQ(pathsOf(itemsOf(answersOf(*destination))), versions);
    std::vector<std::string> paged;
    for (uint32_t page = 0; page <= versions.size(); ++page) {
        auto t = task(destination, "/", to, from, kOptionVersions);
        t->setEmSkipNode(page * 3);
        t->setEmPageSize(3);
        ASSERT_TRUE(run(*t));
        const std::vector<std::string> items = pathsOf(itemsOf(answersOf(*destination)));
        EXPECT_LE(items.size(), 3u);
        if (items.empty()) break;
        paged.insert(paged.end(), items.begin(), items.end());
    }
    EXPECT_EQ(paged, versions);
}
