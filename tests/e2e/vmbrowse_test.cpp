// VM browse end to end over the demo hypervisor kept in the per-VM layout: the service started in this
// process (controller, "BrowseRouter" on a loopback port), the real tools/mediaagent process serving
// mediaagent1 (which holds the VMs' backups) with its index service. The root of the backup set listed
// from the Hubmaster database (entry point, and a direct caller through "BrowseRouter"), one VM browsed
// through its own request answered by the media agent, the parent ending after it, and a find over
// several VMs; each answer against the media agent's item index read directly.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/entities/vmhandback.h"
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
#include "tests/support/process/childprocess.h"
#include "tools/mediaagent/itemindex.h"
#include "tools/mediaagent/vmanswers.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using R = databrowse::BrowseRequest::f;
using E = ZyEntities::GenericEntity::f;
const char* const kAgent = "mediaagent1";
constexpr long kDay = 86400;

struct TAnswers {
    std::vector<int64_t> types;
    std::vector<std::string> names;  // item names, in order
    std::vector<std::string> errors;
};

TAnswers read(const std::vector<std::string>& payloads) {
    TAnswers out;
    for (const std::string& xml : payloads) {
        databrowse::BrowseResponse r;
        if (r.unserialize(xml) != 0) continue;
        out.types.push_back(r.getint64(databrowse::BrowseResponse::f::respType));
        if (auto* errors = r.getlistobject(databrowse::BrowseResponse::f::messages, false))
            for (const CNMessageBase& e : *errors)
                out.errors.push_back(e.getstring(databrowse::BrowseError::f::errorMessage));
        if (!r.isSet(databrowse::BrowseResponse::f::browseResult)) continue;
        CNMessageBase* result = r.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
        if (auto* items = result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false))
            for (const CNMessageBase& i : *items)
                out.names.push_back(i.getstring(databrowse::BrowseData::f::name));
    }
    return out;
}

class VmBrowseEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        int agentPort = 0;
        int routerPort = 0;
        ASSERT_NO_FATAL_FAILURE(e2eworld::startChain(
            "vmbrowse-e2e", kAgent,
            [] {
                return std::vector<std::string>{"--index",         index(), "--files", "300",
                                                "--files-per-dir", "20",    "--batch", "100"};
            },
            s_folder, s_world, s_agent, agentPort, routerPort));
        s_routerHost = MangleHostName("127.0.0.1", "hubmaster", 0, routerPort);
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

    long toTime() const { return static_cast<long>(s_world->vsa.backupTimes.back()) + kDay; }

    // A browse of the hypervisor's backup set by the administrator, answered into `destination`.
    std::unique_ptr<EvMultiEntityRestoreTask> task(
        std::shared_ptr<EvRecordingDestination>& destination, const std::vector<std::string>& paths,
        databrowse::BrowseOperation op = databrowse::BROWSE_OP_BROWSE) {
        const long long job = 9700 + static_cast<long long>(m_jobIds.size());
        m_jobIds.push_back(job);
        destination = std::make_shared<EvRecordingDestination>();
        EvReturnDestinations::registerDestination(job, destination);
        const hubdb::DemoHypervisor& hv = s_world->vsa;
        auto t = std::make_unique<EvMultiEntityRestoreTask>();
        t->setTaskParameters(static_cast<unsigned long long>(job), 0, s_world->adminUser, 0, 2, hv.client,
                             hv.backupSet, 0, toTime(), 0, 106, hv.instance, 0, 0);
        t->setUserName("admin");
        t->setBrowseOpType(op);
        for (const std::string& p : paths) t->addPath(EvRestoreTask::kBrowsePathList, p.c_str());
        return t;
    }
    databrowse::BrowseRequest request(const std::vector<std::string>& paths,
                                      databrowse::BrowseOperation op = databrowse::BROWSE_OP_BROWSE) {
        const hubdb::DemoHypervisor& hv = s_world->vsa;
        databrowse::BrowseRequest r;
        r.setint64(R::opType, op);
        CNMessageBase* e = r.getObjectAccessor(R::entity, true);
        e->setint64(E::clientId, hv.client);
        e->setint64(E::backupsetId, hv.backupSet);
        e->setint64(E::instanceId, hv.instance);
        e->setint64(E::applicationId, 106);
        r.getObjectAccessor(R::timeRange, true)->setint64(databrowse::BrowseTimeRange::f::toTime, toTime());
        std::vector<CNMessageBase> list;
        for (const std::string& p : paths) {
            databrowse::BrowsePath path;
            path.setstring(databrowse::BrowsePath::f::path, p);
            list.push_back(path);
        }
        r.setlistobject(R::paths, list);
        return r;
    }
    // Runs the browse at the entry point and waits for its end and for every worker to leave.
    TAnswers run(EvMultiEntityRestoreTask& t, EvRecordingDestination& destination,
                 databrowse::BrowseRequest& r) {
        EXPECT_EQ(fastBrowseHMProcessRequestMultiEntity(&t, false, databrowse::FORCE_USE_INDEX_NONE, &r), 1);
        EXPECT_TRUE(destination.waitForEnd(30s));
        EXPECT_TRUE(e2eworld::workersDownTo(0)) << "every worker leaves the registry";
        TAnswers answers = read(destination.payloads(EV_RETURN_RECORD_XML_ITEM));
        for (const std::string& e : answers.errors) ADD_FAILURE() << "error answer: " << e;
        return answers;
    }
    // The names of the files below the root of VM `v`'s own subclient, read from the item index.
    std::vector<std::string> filesOfVm(size_t v) {
        mediaagent::TBrowseQuery q;
        q.appId = s_world->vsa.vms[v].subclientId;
        q.toTime = toTime();
        std::vector<mediaagent::TItemVersion> files;
        EXPECT_TRUE(mediaagent::listFilesBelow(*m_index, q, files));
        std::vector<std::string> names;
        for (const auto& f : files) names.push_back(f.name);
        return names;
    }

    static fs::path s_folder;
    static hubdemo::DemoWorld* s_world;
    static hubtest::CChildProcess* s_agent;
    static std::string s_routerHost;
    std::unique_ptr<mediaagent::CItemIndex> m_index;
    std::vector<long long> m_jobIds;
};
fs::path VmBrowseEndToEnd::s_folder;
hubdemo::DemoWorld* VmBrowseEndToEnd::s_world = nullptr;
hubtest::CChildProcess* VmBrowseEndToEnd::s_agent = nullptr;
std::string VmBrowseEndToEnd::s_routerHost;

}  // namespace

TEST_F(VmBrowseEndToEnd, RootListedFromTheDatabaseThenTheEnd) {
    std::shared_ptr<EvRecordingDestination> destination;
    auto t = task(destination, {"\\"});
    databrowse::BrowseRequest r = request({"\\"});
    const TAnswers got = run(*t, *destination, r);
    EXPECT_EQ(got.types, (std::vector<int64_t>{0, 5}));
    std::vector<std::string> guids;
    for (const auto& vm : s_world->vsa.vms) guids.push_back(vm.guid);
    EXPECT_EQ(got.names, guids);
}

TEST_F(VmBrowseEndToEnd, OneVmBrowsedThroughItsOwnRequestAndTheParentEndsAfterIt) {
    const hubdb::DemoHypervisor& hv = s_world->vsa;
    std::shared_ptr<EvRecordingDestination> destination;
    const std::string path = "\\" + hv.vms[1].guid;
    auto t = task(destination, {path});
    databrowse::BrowseRequest r = request({path});
    const TAnswers got = run(*t, *destination, r);
    // The VM's own tree as the media agent's index holds it, its top level.
    mediaagent::TBrowseQuery q;
    q.appId = hv.vms[1].subclientId;
    q.toTime = toTime();
    std::vector<mediaagent::TItemVersion> top;
    bool found = false;
    ASSERT_TRUE(m_index->listAt(q, top, found));
    ASSERT_FALSE(top.empty());
    std::vector<std::string> expected;
    for (const auto& v : top) expected.push_back(v.name);
    EXPECT_EQ(got.names, expected);
    ASSERT_FALSE(got.types.empty());
    EXPECT_EQ(got.types.back(), 5);
    // The caller's answer ends once the VM's items are all in, with one end.
    const auto records = destination->records();
    size_t firstEnd = records.size(), lastItem = 0;
    for (size_t n = 0; n < records.size(); ++n) {
        if (records[n].kind == EV_RETURN_RECORD_END && firstEnd == records.size()) firstEnd = n;
        if (records[n].kind == EV_RETURN_RECORD_XML_ITEM) lastItem = n;
    }
    EXPECT_LT(lastItem, firstEnd);
    EXPECT_EQ(std::count_if(records.begin(), records.end(),
                            [](const EvReturnRecord& r) { return r.kind == EV_RETURN_RECORD_END; }),
              1)
        << "one end for the caller";
    EXPECT_EQ(g_poControllerThreadHM->getWorkerCount(), 0u);
}

TEST_F(VmBrowseEndToEnd, FindOverSeveralVmsAtTheIndexService) {
    const hubdb::DemoHypervisor& hv = s_world->vsa;
    std::shared_ptr<EvRecordingDestination> destination;
    const std::vector<std::string> paths{"\\" + hv.vms[2].guid, "\\" + hv.vms[0].guid};
    auto t = task(destination, paths, databrowse::BROWSE_OP_FIND);
    databrowse::BrowseRequest r = request(paths, databrowse::BROWSE_OP_FIND);
    r.getObjectAccessor(R::options, true)->setint64(databrowse::BrowseOptions::f::multiVmFind, 1);
    const TAnswers got = run(*t, *destination, r);
    // Every file of both VMs, one VM after the other, then one end.
    std::vector<std::string> expected = filesOfVm(0);
    const std::vector<std::string> second = filesOfVm(2);
    ASSERT_FALSE(expected.empty());
    std::vector<std::string> sortedGot = got.names, both = expected;
    both.insert(both.end(), second.begin(), second.end());
    std::sort(sortedGot.begin(), sortedGot.end());
    std::sort(both.begin(), both.end());
    EXPECT_EQ(sortedGot, both);
    EXPECT_EQ(std::count(got.types.begin(), got.types.end(), 5), 1);
}

TEST_F(VmBrowseEndToEnd, DirectCallerThroughTheRouterGetsTheStoredListingOrThePreparedRequest) {
    std::string token;
    ASSERT_EQ(EvSecurityMgr::IssueZetaToken(s_world->adminUser, false, 3600, token), 0);
    auto exchange = [&](databrowse::BrowseRequest& r) {
        CZyNetwork peer;
        bool timedOut = false;
        EXPECT_FALSE(peer.Connect(s_routerHost.c_str(), CBrowseRouterThreadHM::kServerName, "vsahypervisor",
                                  10, timedOut)
                         .IsError());
        EXPECT_FALSE(peer.SendXMLMessage(r, 0, 10, timedOut).IsError());
        CNMessageBase* reply = nullptr;
        ignoreResult(peer.ReceiveXMLMessage(nullptr, reply, nullptr, 0, 60, timedOut),
                     "the reply is checked next");
        return std::unique_ptr<CNMessageBase>(reply);
    };
    databrowse::BrowseRequest listing = request({"\\"});
    listing.setstring(R::token, token);
    listing.getObjectAccessor(R::session, true)
        ->setstring(databrowse::BrowseSession::f::sessionId, "vm-direct");
    listing.getObjectAccessor(R::options, true)->setint64(databrowse::BrowseOptions::f::at80_80, 1);
    std::unique_ptr<CNMessageBase> reply = exchange(listing);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->getTagID(), databrowse::BrowseResponse::TAG) << reply->AsString();
    std::string xml;
    reply->serialize(xml);
    const TAnswers stored = read({xml});
    EXPECT_EQ(stored.types, std::vector<int64_t>{0}) << xml;
    EXPECT_EQ(stored.names.size(), s_world->vsa.vms.size());
    EXPECT_EQ(reply->getObjectAccessor(databrowse::BrowseResponse::f::session, false)
                  ->getstring(databrowse::BrowseSession::f::sessionId),
              "vm-direct");

    // Option 80 at 0: the caller gets the request prepared as a VM index request.
    databrowse::BrowseRequest prepare = request({"\\"});
    prepare.setstring(R::token, token);
    prepare.getObjectAccessor(R::options, true)->setint64(databrowse::BrowseOptions::f::at80_80, 0);
    reply = exchange(prepare);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->getTagID(), databrowse::BrowseRequest::TAG) << reply->AsString();
    EXPECT_TRUE(vmhandback::isMarked(*reply)) << reply->AsString();
    EXPECT_EQ(g_poControllerThreadHM->getWorkerCount(), 0u);
}
