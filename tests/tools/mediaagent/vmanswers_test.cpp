// The index service's VM answers against the item index read directly: a VM's own subclient browsed
// under the VM's GUID, and a find below a directory ("\**\*") answering every file beneath it, paged,
// in batches and one end.
#include "tools/mediaagent/vmanswers.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "appbrowse/fbhmvsautils.h"
#include "appbrowse/vmbrowseview.h"
#include "platform/entities/apptypes.h"
#include "platform/msg/criteriaoperators.h"
#include "platform/tasks/evrestoretask.h"
#include "tests/tools/mediaagent/mediaagent_world.h"
#include "tools/mediaagent/superbrowseanswer.h"

namespace {

using mediaagent::TBrowseQuery;
using mediaagent::TItemVersion;
using R = Indexing::BrowseReq::f;

class VmAnswers : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        world = new hubtest::CMediaAgentWorld("vmanswers");
        ASSERT_TRUE(world->ok()) << world->error();
        std::string error;
        ASSERT_TRUE(mediaagent::loadAgentPlan(world->hubDb(), "mediaagent1", world->plan, error)) << error;
        ASSERT_TRUE(world->build("ma1.items.db", hubtest::CMediaAgentWorld::testScale())) << world->error();
    }
    static void TearDownTestSuite() {
        delete world;
        world = nullptr;
    }
    void SetUp() override {
        std::string why;
        index = mediaagent::CItemIndex::open(world->path("ma1.items.db"), why);
        ASSERT_TRUE(index) << why;
        vm = world->world.vsa.vms[1];
        ASSERT_TRUE(index->subclient(vm.subclientId, vmSubclient));
    }
    // The paths an answer of `r` carries, and its response types.
    std::vector<std::string> answer(Indexing::BrowseReq& r, std::vector<int64_t>* types = nullptr) {
        mediaagent::TIndexBrowsePlan plan;
        std::string why;
        EXPECT_TRUE(mediaagent::planIndexBrowse(r, *index, plan, why)) << why;
        std::vector<std::string> paths;
        mediaagent::answerIndexBrowse(plan, *index, 7, [&](databrowse::BrowseResponse& x) {
            if (types) types->push_back(x.getint64(databrowse::BrowseResponse::f::respType));
            CNMessageBase* result = x.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
            auto* items =
                result ? result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false) : nullptr;
            for (size_t n = 0; items && n < items->size(); ++n)
                paths.push_back((*items)[n].getstring(databrowse::BrowseData::f::path));
            return true;
        });
        return paths;
    }
    Indexing::BrowseReq request(const std::string& path) {
        Indexing::BrowseReq r;
        r.setint64(R::subclientId, vm.subclientId);
        r.setliststring(R::sourcePaths, {path});
        return r;
    }
    // Every file below `path` of the VM's tree, walked here level by level.
    std::vector<std::string> walk(const std::string& path) {
        std::vector<std::string> files;
        TBrowseQuery q;
        q.appId = vm.subclientId;
        q.path = path;
        std::vector<TItemVersion> children;
        bool found = false;
        EXPECT_TRUE(index->listAt(q, children, found));
        for (const TItemVersion& c : children) {
            if (!c.directory()) {
                files.push_back(c.path);
                continue;
            }
            const auto below = walk(c.path);
            files.insert(files.end(), below.begin(), below.end());
        }
        return files;
    }

    static hubtest::CMediaAgentWorld* world;
    std::unique_ptr<mediaagent::CItemIndex> index;
    hubdb::VirtualMachine vm;
    mediaagent::TIndexSubclient vmSubclient;
};
hubtest::CMediaAgentWorld* VmAnswers::world = nullptr;

}  // namespace

TEST_F(VmAnswers, VmOwnSubclientIsBrowsedUnderItsGuid) {
    EXPECT_EQ(mediaagent::vmFileViewPath(vmSubclient, "\\" + vm.guid), "/");
    EXPECT_EQ(mediaagent::vmFileViewPath(vmSubclient, "\\{" + vm.guid + "}\\d00\\x"), "\\d00\\x");
    EXPECT_EQ(mediaagent::vmFileViewPath(vmSubclient, "\\d00"), "\\d00");
    mediaagent::TIndexSubclient files;
    ASSERT_TRUE(index->subclient(world->world.fileSubclient, files));
    EXPECT_EQ(mediaagent::vmFileViewPath(files, "\\" + vm.guid + "\\d00"), "\\" + vm.guid + "\\d00")
        << "only a VM's own subclient is named by a GUID";

    Indexing::BrowseReq byGuid = request("\\" + vm.guid);
    Indexing::BrowseReq byRoot = request("/");
    const auto top = answer(byRoot);
    ASSERT_FALSE(top.empty());
    EXPECT_EQ(answer(byGuid), top);
}

// A hypervisor's index holds each VM below its GUID: it answers the VM's items there, and its VM criteria
// keep a query to the VMs they name.
TEST_F(VmAnswers, HypervisorAnswersEachVmBelowItsGuid) {
    const std::string under = "\\" + vm.guid;
    Indexing::BrowseReq byGuid = request(under);
    byGuid.setint64(R::subclientId, world->world.vsa.subclient);
    std::vector<std::string> expected;
    Indexing::BrowseReq own = request("/");
    for (const std::string& path : answer(own)) expected.push_back(under + path);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(answer(byGuid), expected);
    auto keptTo = [&](const std::string& guid) {
        using V = databrowse::FilteredBrowseCriteriaValue::f;
        databrowse::Criteria criterion;
        CNMessageBase* value = criterion.getObjectAccessor(databrowse::Criteria::f::criteria, true);
        value->setint64(V::attribute, criteriaattr::kVirtualMachine);
        value->setint64(V::criteriaOperator, criteriaop::kOfVirtualMachine);
        value->setliststring(V::values, {"\\" + guid});
        databrowse::Query query;
        query.setint64(databrowse::Query::f::type, 0);
        query.setlistobject(databrowse::Query::f::criteriaList, {criterion});
        Indexing::BrowseReq r = byGuid;
        r.setlistobject(R::queries, {query});
        return answer(r);
    };
    EXPECT_EQ(keptTo(vm.guid), expected);
    EXPECT_TRUE(keptTo(world->world.vsa.vms[0].guid).empty());
}

TEST_F(VmAnswers, FindBelowAnswersEveryFileBeneathInBatchesWithOneEnd) {
    const auto expected = walk("/");
    ASSERT_GT(expected.size(), 7u);
    std::vector<int64_t> types;
    Indexing::BrowseReq find = request("\\" + vm.guid + "\\**\\*");
    EXPECT_EQ(answer(find, &types), expected);
    EXPECT_EQ(types.size(), (expected.size() + 6) / 7 + 1);
    EXPECT_EQ(types.back(), 5);

    // A page of the find.
    databrowse::Query page;
    page.setint64(databrowse::Query::f::type, 0);
    CNMessageBase* paging = page.getObjectAccessor(databrowse::Query::f::dataParam, true)
                                ->getObjectAccessor(databrowse::DataParam::f::paging, true);
    paging->setint64(databrowse::Msg6::f::skipNode, 3);
    paging->setint64(databrowse::Msg6::f::pageSize, 5);
    find.setlistobject(R::queries, {page});
    EXPECT_EQ(answer(find), std::vector<std::string>(expected.begin() + 3, expected.begin() + 8));
}

// The Hubmaster and the media agent read a VM path alike, and the Hubmaster's view never names a VM's
// GUID twice. The walk: every path of one, two or three leading separators of either kind, the GUID
// with or without braces, with or without a tail; read by the VM's own index (V2), and by its
// hypervisor's, below the GUID where the view puts the VM's own paths (V1). One separator names the VM
// on both sides, with the same path in it; more name none on either, and the Hubmaster refuses them
// saying what a VM path looks like.
TEST_F(VmAnswers, HubmasterAndMediaAgentReadEveryVmPathAlike) {
    mediaagent::TIndexSubclient hypervisor;
    ASSERT_TRUE(index->subclient(world->world.vsa.subclient, hypervisor));
    auto root = [](std::string p) { return p.empty() || p == "\\" ? std::string("/") : p; };
    auto timesNamed = [&](const std::string& text) {
        size_t n = 0;
        for (size_t at = text.find(vm.guid); at != std::string::npos; at = text.find(vm.guid, at + 1)) ++n;
        return n;
    };
    std::vector<std::string> leads;
    for (const std::string a : {"\\", "/"}) {
        leads.push_back(a);
        for (const std::string b : {"\\", "/"}) {
            leads.push_back(a + b);
            for (const std::string c : {"\\", "/"}) leads.push_back(a + b + c);
        }
    }
    for (const std::string& named : {vm.guid, "{" + vm.guid + "}"}) {
        for (const std::string& lead : leads) {
            for (const char* tail : {"", "\\", "\\d00", "/d00/x", "\\d00\\x"}) {
                const std::string path = lead + named + tail;
                SCOPED_TRACE(path);
                const bool one = lead.size() == 1;
                const bool hostNames = CBrowseVSAUtils::IsVMGUID(CBrowseVSAUtils::ExtractVMGUID(path));
                EvMultiEntityRestoreTask task;
                task.setAppType(apptype::kVirtualServer);
                task.addPath(EvRestoreTask::kBrowsePathList, path.c_str());
                const std::string refusal = CVMBrowseView::pathRefusal(&task);
                EXPECT_EQ(hostNames, one);
                EXPECT_EQ(refusal.empty(), one) << refusal;
                if (!one) {
                    EXPECT_NE(refusal.find("[" + path.substr(lead.size() - 1) + "]"), std::string::npos);
                }

                // V2: the VM's own index.
                const std::string own = mediaagent::vmFileViewPath(vmSubclient, path);
                EXPECT_EQ(own != path, hostNames);
                if (hostNames) {
                    EXPECT_EQ(root(own), root(CVMBrowseView::withoutVmGuid(path)));
                }

                // V1: the hypervisor's index, below the GUID where the view puts the path, once.
                const std::string below = CVMBrowseView::belowVmGuid(vm.guid, path);
                EXPECT_EQ(timesNamed(below), 1u) << below;
                mediaagent::TIndexSubclient read = hypervisor;
                TBrowseQuery query;
                query.appId = hypervisor.appId;
                query.path = below;
                std::string why, under;
                ASSERT_TRUE(mediaagent::vmPartOfHypervisor(*index, read, query, why, under)) << why;
                EXPECT_EQ(read.appId, vmSubclient.appId);
                EXPECT_EQ(timesNamed(under), 1u) << under;
                EXPECT_EQ(root(query.path), root(CVMBrowseView::withoutVmGuid(path.substr(lead.size() - 1))));
            }
        }
    }
}
