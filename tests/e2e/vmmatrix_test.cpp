// A virtual machine's view on every road: each VM of the demo hypervisor, named by its own client, by
// its GUID under its hypervisor, and in a find over the hypervisor's VMs, before and after the
// hypervisor's switch to per-VM indexing, listed, paged, counted, searched and asked for versions over
// whole and partial ranges, at the entry point and through "BrowseRouter" (following what the router
// hands back: the media agent's request, or the Hubmaster's own browse). Every answer is compared with
// what the VM's own subclient holds in the media agent's item index, read here directly. One world, one
// media agent process.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/entities/vmhandback.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/net/zynetwork.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/tasks/browseoperations.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndestination.h"
#include "service/browserouterthread.h"
#include "service/controllerthread.h"
#include "service/fastbrowsehm_api.h"
#include "tests/e2e/e2eworld.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/tls/testpki.h"
#include "tools/mediaagent/itemindex.h"
#include "tools/mediaagent/vmanswers.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using R = databrowse::BrowseRequest::f;
using E = ZyEntities::GenericEntity::f;
const char* const kAgent = "mediaagent1";
constexpr long kHour = 3600;

// What a caller was answered: items as (subclient, path, backup time), counts, errors.
struct TItem {
    int64_t subclient = 0;
    std::string path;
    int64_t backupTime = 0;
    bool operator<(const TItem& o) const {
        return std::tie(subclient, path, backupTime) < std::tie(o.subclient, o.path, o.backupTime);
    }
    bool operator==(const TItem& o) const {
        return subclient == o.subclient && path == o.path && backupTime == o.backupTime;
    }
};
struct TAnswers {
    std::vector<TItem> items;
    std::vector<int64_t> counts;
    std::vector<std::string> errors;
    bool ended = false;
};

void addResponse(databrowse::BrowseResponse& r, TAnswers& out) {
    const int64_t type = r.getint64(databrowse::BrowseResponse::f::respType);
    if (type == databrowse::BROWSE_RESP_END) out.ended = true;
    if (auto* errors = r.getlistobject(databrowse::BrowseResponse::f::messages, false))
        for (const CNMessageBase& e : *errors)
            out.errors.push_back(e.getstring(databrowse::BrowseError::f::errorMessage));
    CNMessageBase* result = r.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
    if (!result) return;
    if (auto* counts = result->getlistobject(databrowse::BrowseResult::f::aggrResultSet, false))
        for (const CNMessageBase& c : *counts)
            out.counts.push_back(c.getint64(databrowse::AggregateResult::f::count));
    if (auto* items = result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false))
        for (CNMessageBase& i : *items) {
            TItem item;
            item.path = i.getstring(databrowse::BrowseData::f::path);
            if (CNMessageBase* advanced =
                    i.getObjectAccessor(databrowse::BrowseData::f::advancedData, false)) {
                item.backupTime = advanced->getint64(databrowse::Msg93::f::backupTime);
                if (CNMessageBase* e =
                        advanced->getObjectAccessor(databrowse::Msg93::f::subclientEntity, false))
                    item.subclient = e->getint64(ZyEntities::Msg10::f::subclientId);
            }
            out.items.push_back(std::move(item));
        }
}

std::string describe(const std::vector<TItem>& items) {
    std::ostringstream s;
    for (size_t n = 0; n < items.size() && n < 6; ++n)
        s << " [" << items[n].subclient << " " << items[n].path << " @" << items[n].backupTime << "]";
    if (items.size() > 6) s << " ... (" << items.size() << ")";
    return s.str();
}

// How a VM is named: by its own client, or by its GUID under its hypervisor's backup set.
enum class EForm { kOwnClient, kGuid };
enum class ERoad { kHubmaster, kRouter };
const char* nameOf(EForm f) {
    return f == EForm::kOwnClient ? "own client" : "GUID under hypervisor";
}
const char* nameOf(ERoad r) {
    return r == ERoad::kHubmaster ? "Hubmaster" : "BrowseRouter";
}

// One browse the matrix asks: what, where, when, with which queries.
struct TAsk {
    databrowse::BrowseOperation op = databrowse::BROWSE_OP_BROWSE;
    std::vector<std::string> paths;  // as the caller names them
    long fromTime = 0;
    long toTime = 0;
    bool count = false;
    uint32_t skip = 0, pageSize = 0;  // a page when pageSize > 0
    bool multiVm = false;
};

class VmMatrix : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        int routerPort = 0;
        ASSERT_NO_FATAL_FAILURE(e2eworld::createWorld("vmmatrix-e2e", s_folder, s_world));
        // The media agent's request a direct caller is handed goes plain to this release of the agent,
        // which answers such a caller only in plain mode.
        ASSERT_TRUE(ZYPlatformInfo::setNumber("~MediaAgent", "nAcceptPlainBrowseRequests", 1));
        ASSERT_NO_FATAL_FAILURE(e2eworld::startAgent(
            s_folder, *s_world, kAgent,
            {"--index", index(), "--files", "60", "--files-per-dir", "10", "--batch", "50"}, s_agent,
            s_agentPort));
        std::string error;
        ASSERT_EQ(hubdb::openHubDatabase(s_world->databasePath, &error), 0) << error;
        ASSERT_NO_FATAL_FAILURE(e2eworld::startService(*s_world, kAgent, s_agentPort, routerPort));
        s_routerHost = MangleHostName("127.0.0.1", "hubmaster", 0, routerPort);
        ASSERT_EQ(EvSecurityMgr::IssueZetaToken(s_world->adminUser, false, 3600, s_token), 0);
    }
    static void TearDownTestSuite() { e2eworld::stopChain(kAgent, s_folder, s_world, s_agent); }
    static std::string index() { return (s_folder / "agent1.items.db").string(); }

    void SetUp() override {
        ASSERT_NE(s_world, nullptr);
        std::string error;
        m_index = mediaagent::CItemIndex::open(index(), error);
        ASSERT_TRUE(m_index) << error;
    }
    void TearDown() override {
        for (long long job : m_jobIds) EvReturnDestinations::unregisterDestination(job);
    }

    const hubdb::DemoHypervisor& hv() const { return s_world->vsa; }
    // A time before the switch to per-VM indexing (after the second backup) and one after the last.
    long before() const { return static_cast<long>(hv().backupTimes[1]) + kHour; }
    long after() const { return static_cast<long>(hv().backupTimes.back()) + kHour; }

    // The request a caller sends for VM `v` named in `form`; paths are in the VM's own view.
    databrowse::BrowseRequest request(size_t v, EForm form, const TAsk& ask) {
        databrowse::BrowseRequest r;
        r.setint64(R::opType, ask.op);
        CNMessageBase* e = r.getObjectAccessor(R::entity, true);
        e->setint64(E::applicationId, 106);
        if (form == EForm::kOwnClient) {
            e->setint64(E::clientId, hv().vms[v].clientId);
            e->setint64(E::backupsetId, hv().vms[v].childBackupSetId);
            e->setint64(E::instanceId, hv().vmInstances[v]);
        } else {
            e->setint64(E::clientId, hv().client);
            e->setint64(E::backupsetId, hv().backupSet);
            e->setint64(E::instanceId, hv().instance);
            e->setint64(E::subclientId, hv().subclient);
        }
        CNMessageBase* times = r.getObjectAccessor(R::timeRange, true);
        times->setint64(databrowse::BrowseTimeRange::f::toTime, ask.toTime);
        if (ask.fromTime > 0) times->setint64(databrowse::BrowseTimeRange::f::fromTime, ask.fromTime);
        std::vector<CNMessageBase> list;
        for (const std::string& p : ask.paths) {
            databrowse::BrowsePath path;
            path.setstring(databrowse::BrowsePath::f::path, p);
            list.push_back(path);
        }
        r.setlistobject(R::paths, list);
        databrowse::Query query;
        query.setint64(databrowse::Query::f::type, 0);
        query.setstring(databrowse::Query::f::queryId, ask.count ? "count" : "items");
        if (ask.count)
            query.getObjectAccessor(databrowse::Query::f::queryOptions, true)
                ->setint64(databrowse::Msg70::f::queryType, databrowse::kQueryOptionsCount);
        if (ask.pageSize > 0) {
            CNMessageBase* paging = query.getObjectAccessor(databrowse::Query::f::dataParam, true)
                                        ->getObjectAccessor(databrowse::DataParam::f::paging, true);
            paging->setint64(databrowse::Msg6::f::pageSize, ask.pageSize);
            paging->setint64(databrowse::Msg6::f::skipNode, ask.skip);
        }
        r.setlistobject(R::queries, {query});
        if (ask.multiVm)
            r.getObjectAccessor(R::options, true)->setint64(databrowse::BrowseOptions::f::multiVmFind, 1);
        r.getObjectAccessor(R::session, true)
            ->setstring(databrowse::BrowseSession::f::sessionId, "vmmatrix-" + std::to_string(++m_sessions));
        return r;
    }

    // The entry point, with the task a host makes of the request.
    TAnswers atEntryPoint(databrowse::BrowseRequest& r) {
        const long long job = 9900 + static_cast<long long>(m_jobIds.size());
        m_jobIds.push_back(job);
        auto destination = std::make_shared<EvRecordingDestination>();
        EvReturnDestinations::registerDestination(job, destination);
        EvMultiEntityRestoreTask t;
        const CNMessageBase* e = r.getObjectAccessor(R::entity, false);
        const CNMessageBase* times = r.getObjectAccessor(R::timeRange, false);
        t.setTaskParameters(static_cast<unsigned long long>(job), 0, s_world->adminUser, 0, 2,
                            static_cast<long>(e->getint64(E::clientId)),
                            static_cast<long>(e->getint64(E::backupsetId)), 0,
                            static_cast<long>(times->getint64(databrowse::BrowseTimeRange::f::toTime)),
                            static_cast<long>(times->getint64(databrowse::BrowseTimeRange::f::fromTime)), 106,
                            static_cast<long>(e->getint64(E::instanceId)), 0, 0);
        if (e->isSet(E::subclientId)) t.setSubClientId(static_cast<long>(e->getint64(E::subclientId)));
        t.setUserName("admin");
        const auto op = static_cast<uint32_t>(r.getint64(R::opType));
        if (operationRow(op).setsOperation) {
            t.setBrowseOpType(static_cast<databrowse::BrowseOperation>(op));
            t.setOptions(t.getOptions() | operationRow(op).flags);
        }
        t.setbrowseSessionGUID(r.getObjectAccessor(R::session, false)
                                   ->getstring(databrowse::BrowseSession::f::sessionId)
                                   .c_str());
        databrowse::Querylist list;
        list.setlistobject(databrowse::Querylist::f::queries, *r.getlistobject(R::queries, false));
        std::string pattern;
        EXPECT_EQ(list.serialize(pattern), 0);
        t.setbrowseFindPattern(pattern.c_str());
        for (const CNMessageBase& p : *r.getlistobject(R::paths, false))
            t.addPath(EvRestoreTask::kBrowsePathList, p.getstring(databrowse::BrowsePath::f::path).c_str());
        TAnswers out;
        if (fastBrowseHMProcessRequestMultiEntity(&t, false, databrowse::FORCE_USE_INDEX_NONE, &r) != 1)
            out.errors.push_back("the entry point refused the browse");
        else
            EXPECT_TRUE(destination->waitForEnd(60s));
        EXPECT_TRUE(e2eworld::workersDownTo(0));
        for (const std::string& xml : destination->payloads(EV_RETURN_RECORD_XML_ITEM)) {
            databrowse::BrowseResponse response;
            if (response.unserialize(xml) == 0) addResponse(response, out);
        }
        out.ended = true;
        return out;
    }

    // BrowseRouter's one reply to a direct caller.
    std::unique_ptr<CNMessageBase> routerReply(databrowse::BrowseRequest r) {
        r.setstring(R::token, s_token);
        CZyNetwork peer;
        bool timedOut = false;
        // A caller of the current release, to which the router hands the media agent's request signed.
        EXPECT_FALSE(
            peer.Connect(s_routerHost.c_str(), CBrowseRouterThreadHM::kServerName, "winproxy1", 10, timedOut)
                .IsError());
        EXPECT_FALSE(peer.SendXMLMessage(r, 0, 10, timedOut).IsError());
        CNMessageBase* received = nullptr;
        ignoreResult(peer.ReceiveXMLMessage(nullptr, received, nullptr, 0, 60, timedOut),
                     "the reply is checked next");
        return std::unique_ptr<CNMessageBase>(received);
    }

    // A direct caller: BrowseRouter's one reply, then the road it names.
    TAnswers throughRouter(databrowse::BrowseRequest r) {
        const databrowse::BrowseRequest asked = r;
        std::unique_ptr<CNMessageBase> reply = routerReply(r);
        TAnswers out;
        if (!reply) {
            out.errors.push_back("no reply from BrowseRouter");
            return out;
        }
        if (auto* response = dynamic_cast<databrowse::BrowseResponse*>(reply.get())) {
            addResponse(*response, out);
            out.ended = true;
            return out;
        }
        if (auto* prepared = dynamic_cast<databrowse::BrowseRequest*>(reply.get());
            prepared && vmhandback::isMarked(*prepared)) {
            // The Hubmaster browses it itself: the caller asks it there.
            databrowse::BrowseRequest again = asked;
            return atEntryPoint(again);
        }
        // The media agent's request: asked of its index service.
        CZyNetwork agent;
        bool timedOut = false;
        if (agent
                .Connect(TZyNetAddress{"127.0.0.1", s_agentPort}, "IndexingService_0", hubtest::kAnonymous,
                         10, timedOut)
                .IsError() ||
            agent.SendXMLMessage(*reply, 0, 10, timedOut).IsError()) {
            out.errors.push_back("cannot reach the media agent");
            return out;
        }
        while (!out.ended) {
            CNMessageBase* received = nullptr;
            ignoreResult(agent.ReceiveXMLMessage(nullptr, received, nullptr, 0, 60, timedOut),
                         "no answer ends the loop next");
            std::unique_ptr<CNMessageBase> answer(received);
            auto* response = dynamic_cast<databrowse::BrowseResponse*>(answer.get());
            if (!response) break;
            addResponse(*response, out);
        }
        return out;
    }
    TAnswers run(ERoad road, databrowse::BrowseRequest r) {
        return road == ERoad::kHubmaster ? atEntryPoint(r) : throughRouter(r);
    }

    // ---- the model: the VM's own subclient in the item index.
    mediaagent::TBrowseQuery query(size_t v, const std::string& path, long toTime, long fromTime = 0) {
        mediaagent::TBrowseQuery q;
        q.appId = hv().vms[v].subclientId;
        q.path = path;
        q.toTime = toTime;
        q.fromTime = fromTime;
        return q;
    }
    std::vector<TItem> itemsOf(const std::vector<mediaagent::TItemVersion>& versions, bool withTime) {
        std::vector<TItem> items;
        for (const auto& x : versions) items.push_back({x.appId, x.path, withTime ? x.backupTime : 0});
        return items;
    }
    std::vector<TItem> listed(size_t v, const std::string& path, long at, uint32_t skip = 0,
                              uint32_t size = 0) {
        mediaagent::TBrowseQuery q = query(v, path, at);
        q.skip = skip;
        q.pageSize = size;
        std::vector<mediaagent::TItemVersion> out;
        bool found = false;
        EXPECT_TRUE(m_index->listAt(q, out, found)) << m_index->lastError();
        return itemsOf(out, false);
    }
    int64_t counted(size_t v, const std::string& path, long at) {
        int64_t count = -1;
        bool found = false;
        EXPECT_TRUE(m_index->countAt(query(v, path, at), count, found)) << m_index->lastError();
        return count;
    }
    std::vector<TItem> filesBelowRoot(size_t v, long at) {
        std::vector<mediaagent::TItemVersion> out;
        EXPECT_TRUE(mediaagent::listFilesBelow(*m_index, query(v, "/", at), out));
        return itemsOf(out, false);
    }
    std::vector<TItem> versions(size_t v, const std::string& file, long from, long to) {
        std::vector<mediaagent::TItemVersion> out;
        bool found = false;
        EXPECT_TRUE(m_index->listRange(query(v, file, to, from), out, found)) << m_index->lastError();
        return itemsOf(out, true);
    }

    // The caller's form of a path of the VM's own view ('/' separated).
    std::string asked(size_t v, EForm form, const std::string& own) {
        std::string path = own;
        std::replace(path.begin(), path.end(), '/', '\\');
        if (form == EForm::kOwnClient) return path;
        return "\\" + hv().vms[v].guid + (path == "\\" ? "" : path);
    }

    static fs::path s_folder;
    static hubdemo::DemoWorld* s_world;
    static hubtest::CChildProcess* s_agent;
    static int s_agentPort;
    static std::string s_routerHost;
    static std::string s_token;
    std::unique_ptr<mediaagent::CItemIndex> m_index;
    std::vector<long long> m_jobIds;
    int m_sessions = 0;
};
fs::path VmMatrix::s_folder;
hubdemo::DemoWorld* VmMatrix::s_world = nullptr;
hubtest::CChildProcess* VmMatrix::s_agent = nullptr;
int VmMatrix::s_agentPort = 0;
std::string VmMatrix::s_routerHost;
std::string VmMatrix::s_token;

// Answers compared without regard to order where the road may interleave (subclients, batches); a
// listing by its items' paths (and subclients, across VMs), versions by their backup times too.
std::vector<TItem> sorted(std::vector<TItem> items, bool keepSubclient = true, bool keepTime = false) {
    for (TItem& i : items) {
        if (!keepSubclient) i.subclient = 0;
        if (!keepTime) i.backupTime = 0;
    }
    std::sort(items.begin(), items.end());
    return items;
}

}  // namespace

TEST_F(VmMatrix, EveryVmAnswersInItsOwnViewOnEveryRoadAtEveryTime) {
    size_t versionsCompared = 0, partialRangesNarrower = 0;
    for (size_t v = 0; v < hv().vms.size(); ++v)
        for (const long at : {before(), after()})
            for (const EForm form : {EForm::kOwnClient, EForm::kGuid})
                for (const ERoad road : {ERoad::kHubmaster, ERoad::kRouter}) {
                    SCOPED_TRACE(
                        std::string("VM ") + hv().vms[v].guid + ", " + nameOf(form) + ", " + nameOf(road) +
                        ", at " + std::to_string(at) +
                        (at < hv().indexingV2Since ? " (before the switch)" : " (after the switch)"));
                    // A folder and a file of the VM at that time, from its own index.
                    const std::vector<TItem> root = listed(v, "/", at);
                    ASSERT_FALSE(root.empty());
                    const std::string folder = root.front().path;
                    const std::vector<TItem> files = filesBelowRoot(v, at);
                    ASSERT_FALSE(files.empty());
                    const std::string file = files.back().path;

                    TAnswers got =
                        run(road, request(v, form, {.paths = {asked(v, form, "/")}, .toTime = at}));
                    EXPECT_EQ(got.errors, std::vector<std::string>{});
                    EXPECT_EQ(sorted(got.items, false), sorted(root, false))
                        << "list of the root:" << describe(got.items);

                    got = run(road, request(v, form, {.paths = {asked(v, form, folder)}, .toTime = at}));
                    EXPECT_EQ(sorted(got.items, false), sorted(listed(v, folder, at), false))
                        << "list of " << folder << ":" << describe(got.items);

                    got = run(
                        road,
                        request(v, form,
                                {.paths = {asked(v, form, folder)}, .toTime = at, .skip = 1, .pageSize = 2}));
                    EXPECT_EQ(sorted(got.items, false), sorted(listed(v, folder, at, 1, 2), false))
                        << "page of " << folder << ":" << describe(got.items);

                    got = run(
                        road,
                        request(v, form, {.paths = {asked(v, form, folder)}, .toTime = at, .count = true}));
                    EXPECT_EQ(got.errors, std::vector<std::string>{});
                    EXPECT_EQ(got.counts, std::vector<int64_t>{counted(v, folder, at)})
                        << "count of " << folder;

                    got = run(road, request(v, form,
                                            {.op = databrowse::BROWSE_OP_FIND,
                                             .paths = {asked(v, form, "/") +
                                                       (form == EForm::kGuid ? "\\**\\*" : "**\\*")},
                                             .toTime = at}));
                    EXPECT_EQ(got.errors, std::vector<std::string>{});
                    EXPECT_EQ(sorted(got.items, false), sorted(files, false))
                        << "find:" << describe(got.items);
                    got = run(road, request(v, form,
                                            {.op = databrowse::BROWSE_OP_FIND,
                                             .paths = {asked(v, form, folder) + "\\**\\*"},
                                             .toTime = at}));
                    EXPECT_EQ(got.errors, std::vector<std::string>{});
                    std::vector<mediaagent::TItemVersion> below;
                    EXPECT_TRUE(mediaagent::listFilesBelow(*m_index, query(v, folder, at), below));
                    EXPECT_EQ(sorted(got.items, false), sorted(itemsOf(below, false), false))
                        << "find below " << folder << ":" << describe(got.items);

                    // Versions of one file over the whole range and over ranges that start after the
                    // first backup, within the time asked.
                    const long b0 = hv().backupTimes[0], b1 = hv().backupTimes[1], b2 = hv().backupTimes[2];
                    std::vector<std::pair<long, long>> ranges{{1, at}, {b0 + 1, at}};
                    if (at > b2)
                        ranges.insert(ranges.end(), {{b1 - 1, b2 + 1}, {b2 + 1, at}, {b0 + 1, b1 + 1}});
                    const size_t whole = versions(v, file, 1, at).size();
                    for (const auto& [from, to] : ranges) {
                        const std::vector<TItem> expected = versions(v, file, from, to);
                        versionsCompared += expected.size();
                        if (expected.size() < whole) ++partialRangesNarrower;
                        got = run(road, request(v, form,
                                                {.op = databrowse::BROWSE_OP_ALL_VERSIONS,
                                                 .paths = {asked(v, form, file)},
                                                 .fromTime = from,
                                                 .toTime = to}));
                        EXPECT_EQ(got.errors, std::vector<std::string>{});
                        EXPECT_EQ(sorted(got.items, false, true), sorted(expected, false, true))
                            << "versions of " << file << " in [" << from << ", " << to
                            << "]:" << describe(got.items);
                    }
                }
    // The matrix compared versions, and ranges that leave some of them out.
    EXPECT_GT(versionsCompared, 0u);
    EXPECT_GT(partialRangesNarrower, 0u);
}

TEST_F(VmMatrix, AFindOverTheHypervisorsVmsAnswersEachInItsOwnView) {
    for (const long at : {before(), after()})
        for (const ERoad road : {ERoad::kHubmaster, ERoad::kRouter}) {
            SCOPED_TRACE(std::string(nameOf(road)) + ", at " + std::to_string(at));
            TAsk ask{.op = databrowse::BROWSE_OP_FIND, .paths = {}, .toTime = at, .multiVm = true};
            std::vector<TItem> expected;
            for (size_t v = 0; v < hv().vms.size(); ++v) {
                ask.paths.push_back("\\" + hv().vms[v].guid + "\\**\\*");
                const std::vector<TItem> files = filesBelowRoot(v, at);
                expected.insert(expected.end(), files.begin(), files.end());
            }
            const TAnswers got = run(road, request(0, EForm::kGuid, ask));
            EXPECT_EQ(got.errors, std::vector<std::string>{});
            EXPECT_EQ(sorted(got.items), sorted(expected)) << describe(got.items);
        }
}

// A VM named by its own client whose range its hypervisor's index holds is handed back to the Hubmaster
// whatever the caller's option 80: a direct caller handed the hypervisor's request would read that index
// in the hypervisor's view. Where the VM's own index answers, the caller gets the agent's request.
TEST_F(VmMatrix, TheHandBackToTheHubmasterHoldsForEveryOption80) {
    for (const int64_t option80 : {0, 1})
        for (const long at : {before(), after()}) {
            SCOPED_TRACE("option 80 = " + std::to_string(option80) + ", at " + std::to_string(at));
            databrowse::BrowseRequest r = request(0, EForm::kOwnClient, {.paths = {"\\"}, .toTime = at});
            r.getObjectAccessor(R::options, true)->setint64(databrowse::BrowseOptions::f::at80_80, option80);
            std::unique_ptr<CNMessageBase> reply = routerReply(r);
            ASSERT_TRUE(reply);
            EXPECT_EQ(vmhandback::isMarked(*reply), at < hv().indexingV2Since) << reply->AsString();
            EXPECT_NE(reply->getTagID(), databrowse::BrowseResponse::TAG) << reply->AsString();
        }
}
