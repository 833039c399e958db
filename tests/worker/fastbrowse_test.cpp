// The classic fast-browse members of the worker on their own, over the demo world: media-agent selection,
// item conversion (sampling, count pass, time range, unknown types and the depth of nested browses,
// SharePoint and Exchange forms, error entries), the filtered-find patterns, the subclient-content answer
// with its paging, strip levels, and the exchange with a scripted media agent on loopback (request code by
// protocol version, an unknown message skipped, a disconnect without an end answered with an error and
// the end).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "planning/browsetask.h"
#include "planning/subclientpath.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/entities/fssubclientconf.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/log/evdebug.h"
#include "platform/net/zyd_launcher.h"
#include "platform/net/zyd_listener.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynetwork_pool.h"
#include "platform/net/zynetwork_server.h"
#include "platform/restoreproto/fsr_messages.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndata.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/worker/workertester.h"
#include "worker/classiclistingprefixes.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

// A worker whose protected state the tests set and read.
class ProbeWorker : public CWorkerThreadHM {
public:
    using CWorkerThreadHM::launchIndexService;
};

std::vector<databrowse::BrowseResponse> responsesOf(const EvRecordingDestination& destination) {
    std::vector<databrowse::BrowseResponse> out;
    for (const std::string& xml : destination.payloads(EV_RETURN_RECORD_XML_ITEM)) {
        databrowse::BrowseResponse r;
        if (r.unserialize(xml) == 0) out.push_back(r);
    }
    return out;
}

std::vector<CNMessageBase> itemsOf(databrowse::BrowseResponse& response) {
    if (!response.isSet(databrowse::BrowseResponse::f::browseResult)) return {};
    auto* list = response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false)
                     ->getlistobject(databrowse::BrowseResult::f::dataResultSet, false);
    return list ? *list : std::vector<CNMessageBase>{};
}

std::vector<int64_t> countsOf(databrowse::BrowseResponse& response) {
    std::vector<int64_t> out;
    if (!response.isSet(databrowse::BrowseResponse::f::browseResult)) return out;
    auto* list = response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false)
                     ->getlistobject(databrowse::BrowseResult::f::aggrResultSet, false);
    if (list)
        for (const CNMessageBase& c : *list) out.push_back(c.getint64(databrowse::AggregateResult::f::count));
    return out;
}

int64_t flagOf(CNMessageBase& item, const MsgFieldRef& field) {
    return item.getObjectAccessor(databrowse::BrowseData::f::flags, false)->getint64(field);
}

class FastBrowseMembers : public ::testing::Test {
protected:
    void SetUp() override {
        EvDebugFileInstance::setLogDirectory(dir.path());
        std::string error;
        ASSERT_TRUE(hubdemo::createDemoWorld(dir.file("demo"), world, &error)) << error;
        ASSERT_EQ(hubdb::openHubDatabase(world.databasePath, &error), zydb::DB_OK) << error;
        destination = std::make_shared<EvRecordingDestination>();
        EvReturnDestinations::registerDestination(kJob, destination);
        worker = std::make_unique<ProbeWorker>();
        fields(*worker).privateTask()->setJobId(kJob);
    }
    void TearDown() override {
        worker.reset();
        EvReturnDestinations::unregisterDestination(kJob);
        zydb::CDbEnv::close();
        ZYPlatformInfo::setRegistryPath("");
        EvDebugFileInstance::setLogDirectory("");
    }
    static constexpr long long kJob = 8800;

    // One item of the current layout.
    FSRRestoreItem_90 item(const char* name, uint64_t flags = 0, uint64_t time = 0) {
        FSRRestoreItem_90 i{};
        i.name = name;
        i.flags = flags;
        i.modificationTime = time;
        return i;
    }
    std::vector<CNMessageBase> convert(std::vector<FSRRestoreItem_90> items) {
        databrowse::BrowseResponse response;
        for (FSRRestoreItem_90& i : items) worker->convertToXML(&i, response);
        return itemsOf(response);
    }

    TempDir dir;
    hubdemo::DemoWorld world;
    std::shared_ptr<EvRecordingDestination> destination;
    std::unique_ptr<ProbeWorker> worker;
};

}  // namespace

// Selection: the subclient's media agent with its client name and version; a browse without a
// subclient succeeds with no media agent, and fast browse then refuses to run.
TEST_F(FastBrowseMembers, MediaAgentSelection) {
    TBrowseTask& bt = *worker->getBrowseTask()->getDataPtr();
    bt.kelmarchId = 2;
    bt.subclientId = static_cast<uint32_t>(world.legacy.subclient);
    bt.srcClientId = static_cast<uint32_t>(world.legacy.client);
    bt.task = fields(*worker).privateTask().get();
    ASSERT_EQ(worker->getMediaAgent(&bt), 0);
    EXPECT_EQ(fields(*worker).maClientName(), "mediaagent3");
    EXPECT_EQ(fields(*worker).maVersion(), 900u);
    std::string agent = "mediaagent3", client = "client3", empty;
    EXPECT_FALSE(worker->isWindowsMA(agent));
    EXPECT_TRUE(worker->isWindowsMA(client));
    EXPECT_FALSE(worker->isWindowsMA(empty));

    // The options name a client that is no media agent: its mangled host, nothing read of it.
    fields(*worker).privateTask()->setMediaAgentId(world.fileClient);
    bt.subclientId = 0;
    ASSERT_EQ(worker->getMediaAgent(&bt), 0);
    EXPECT_NE(fields(*worker).maHostName().find("client1"), std::string::npos)
        << fields(*worker).maHostName();
    EXPECT_TRUE(fields(*worker).maVersionText().empty());
    EXPECT_FALSE(worker->fastBrowse());
    EXPECT_NE(std::string(worker->getErrorMessage()).find("No media agent"), std::string::npos);

    // No options, no subclient media agent and no data archive file: nothing found.
    fields(*worker).privateTask()->setMediaAgentId(0);
    bt.subclientId = 999999;
    EXPECT_EQ(worker->getMediaAgent(&bt), -1);
}

// Sampling keeps every third item; the count pass turns the item into a count; the time range drops
// items outside it but keeps those without a time.
TEST_F(FastBrowseMembers, SamplingCountPassAndTimeRange) {
    fields(*worker).privateTask()->setSampling(3);
    std::vector<FSRRestoreItem_90> seven;
    const char* names[] = {"1", "2", "3", "4", "5", "6", "7"};
    for (const char* n : names) seven.push_back(item(n));
    auto kept = convert(seven);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].getstring(databrowse::BrowseData::f::name), "3");
    EXPECT_EQ(kept[1].getstring(databrowse::BrowseData::f::name), "6");
    fields(*worker).privateTask()->setSampling(0);

    fields(*worker).replyChannel().beginCountPass();
    fields(*worker).countTag() = "tag";
    databrowse::BrowseResponse response;
    FSRRestoreItem_90 count = item("125");
    worker->convertToXML(&count, response);
    EXPECT_EQ(countsOf(response), std::vector<int64_t>{125});
    EXPECT_TRUE(itemsOf(response).empty());
    fields(*worker).replyChannel().endCountPass();

    fields(*worker).privateTask()->setFromTime(100);
    fields(*worker).privateTask()->setToTime(0x7fffffff);
    kept = convert({item("a", 0, 99), item("b", 0, 100), item("c", 0, 0)});
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].getstring(databrowse::BrowseData::f::name), "b");
    fields(*worker).privateTask()->setToTime(200);
    EXPECT_EQ(convert({item("d", 0, 201), item("e", 0, 200)}).size(), 1u);
}

// Flags, the error entry and the advanced data of an item; an unknown item whose nested browse cannot
// run is sent as a directory; nested browses stop at their depth limit.
TEST_F(FastBrowseMembers, FlagsErrorsAndUnknownItems) {
    databrowse::BrowseResponse response;
    FSRRestoreItem_90 i = item("/d/f", 0x2 | 0x20 | 0x40, 0);
    i.error = 1;
    i.appId = 77;
    i.archiveId.archiveFileId = 55;
    i.size = 1234;
    worker->convertToXML(&i, response);
    auto items = itemsOf(response);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(flagOf(items[0], databrowse::BrowseItemFlags::f::file), 1);
    EXPECT_EQ(flagOf(items[0], databrowse::BrowseItemFlags::f::deleted), 1);
    EXPECT_EQ(flagOf(items[0], databrowse::BrowseItemFlags::f::c_72a501), 0);
    EXPECT_EQ(flagOf(items[0], databrowse::BrowseItemFlags::f::c_55d0f7), 1);
    EXPECT_EQ(items[0].getint64(databrowse::BrowseData::f::size), 1234);
    CNMessageBase* advanced = items[0].getObjectAccessor(databrowse::BrowseData::f::advancedData, false);
    EXPECT_EQ(advanced->getint64(databrowse::Msg93::f::archiveFileId), 55);
    EXPECT_EQ(advanced->getObjectAccessor(databrowse::Msg93::f::subclientEntity, false)
                  ->getint64(ZyEntities::Msg10::f::applicationId),
              77);
    ASSERT_NE(response.getlistobject(databrowse::BrowseResponse::f::messages, false), nullptr);
    EXPECT_EQ(response.getlistobject(databrowse::BrowseResponse::f::messages, false)->size(), 1u);

    // The nested browse fails: the unknown item is a directory.
    fields(*worker).privateTask()->addPath(EvRestoreTask::kBrowsePathList, "/d");
    CWorkerThreadHM::setNestedRequestRunner(
        this, [](EvMultiEntityRestoreTask*, const CWorkerThreadHM::TNestedFrame&) { return false; });
    items = convert({item("x", 0x8)});
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(flagOf(items[0], databrowse::BrowseItemFlags::f::directory), 1);

    // A nested browse that meets unknown items again: each level runs one more until the limit.
    int runs = 0;
    std::vector<std::string> paths;
    CWorkerThreadHM::setNestedRequestRunner(
        this, [&](EvMultiEntityRestoreTask* task, const CWorkerThreadHM::TNestedFrame& frame) {
            ++runs;
            paths.push_back(task->getPath(EvRestoreTask::kBrowsePathList));
            EXPECT_NE(task->getOptions() & 0x2000, 0u);
            EXPECT_EQ(frame.depth, runs);
            ProbeWorker nested;
            nested.setNestedFrame(frame);
            fields(nested).privateTask()->addPath(EvRestoreTask::kBrowsePathList,
                                                  task->getPath(EvRestoreTask::kBrowsePathList));
            databrowse::BrowseResponse r;
            FSRRestoreItem_90 again = item("y", 0x8);
            nested.convertToXML(&again, r);
            return true;
        });
    items = convert({item("x", 0x8)});
    CWorkerThreadHM::clearNestedRequestRunner(this);
    EXPECT_TRUE(items.empty());  // the nested browse answered for it
    EXPECT_EQ(runs, 4);
    ASSERT_FALSE(paths.empty());
    EXPECT_EQ(paths[0], "/d/x");
}

// A media agent whose launcher takes the index-service launch and never answers: the launch waits with
// "no limit", which is the browse's idle limit, not the network layer's cap (the worker's lock is held).
TEST_F(FastBrowseMembers, SilentLauncherIsLeftAtTheBrowseIdleLimit) {
    std::shared_ptr<CZydListener> listener = CZydListener::create();
    ASSERT_FALSE(listener->start(0).IsError());
    const auto swallowXml = [](CZyNetworkServer::ZynCallback_e, CZyNetworkServer*, long long,
                               CNMessageBase* message) { delete message; };
    const auto ignoreXdr = [](CZyNetworkServer::ZynCallback_e, CZyNetworkServer*, long long, unsigned long,
                              zysDatabuf_v2*) {};
    ASSERT_TRUE(listener->registerLaunchable("sLPIDXMA", zyLaunchCallbacks(ignoreXdr, swallowXml)));
    CZyNetDirectory::instance().registerClient("silentma", "127.0.0.1", listener->port());
    const TZyNetOptions saved = zyNetOptions();
    TZyNetOptions capped = saved;
    capped.noLimitSeconds = 90;
    setZyNetOptions(capped);
    ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", "nFastBrowseIdleLimitSec", 2));
    fields(*worker).maHostName() = "silentma";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(worker->launchIndexService("hubmaster"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(45));
    setZyNetOptions(saved);
    CZyNetDirectory::instance().unregisterClient("silentma");
    listener->stop();
}

// SharePoint-like items: the version text of the path's tokens, the path before the arrow; Exchange-like
// items with too few tokens keep no metadata but are still sent.
TEST_F(FastBrowseMembers, SharePointAndExchangeForms) {
    worker->getBrowseTask()->getDataPtr()->appType = apptype::kSharePoint;
    const std::string prefix = "/site/doc.txt -> ";
    const std::string tails[] = {
        "15\x12"
        "a\x12"
        "b\x12"
        "42",
        "0.05\x12"
        "a\x12"
        "b\x12"
        "42",
        "2.5!\x12"
        "a\x12"
        "b\x12"
        "42"};
    const char* versions[] = {"15.0", "1.0", "2.5"};
    for (int k = 0; k < 3; ++k) {
        const std::string path = prefix + tails[k];
        auto items = convert({item(path.c_str(), 0x10)});
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].getstring(databrowse::BrowseData::f::name), "/site/doc.txt");
        EXPECT_EQ(items[0].getint64(databrowse::BrowseData::f::size), 42);
        EXPECT_EQ(flagOf(items[0], databrowse::BrowseItemFlags::f::file), 1);
        EXPECT_EQ(flagOf(items[0], databrowse::BrowseItemFlags::f::c_0b2761), 0);
        CNMessageBase* meta = items[0]
                                  .getObjectAccessor(databrowse::BrowseData::f::advancedData, false)
                                  ->getObjectAccessor(databrowse::Msg93::f::idxMetaData, false);
        ASSERT_NE(meta, nullptr);
        EXPECT_EQ(meta->getObjectAccessor(IdxMetadata::IdxMetaData::f::at20_20, false)
                      ->getstring(IdxMetadata::Msg49::f::version),
                  versions[k]);
    }
    worker->getBrowseTask()->getDataPtr()->appType = apptype::kExchangeMailbox;
    auto items = convert({item("\\MB\\user\\Inbox\\12\\mail", 0), item("\\MB\\user\\1\\m", 0)});
    ASSERT_EQ(items.size(), 2u);
    CNMessageBase* meta = items[0]
                              .getObjectAccessor(databrowse::BrowseData::f::advancedData, false)
                              ->getObjectAccessor(databrowse::Msg93::f::idxMetaData, false);
    ASSERT_NE(meta, nullptr);
    CNMessageBase* exchange = meta->getObjectAccessor(IdxMetadata::IdxMetaData::f::at8_8, false);
    EXPECT_EQ(exchange->getstring(IdxMetadata::Msg23::f::at3_9), "Inbox|");
    EXPECT_EQ(exchange->getint64(IdxMetadata::Msg23::f::at14_50), 12);
    EXPECT_FALSE(items[1]
                     .getObjectAccessor(databrowse::BrowseData::f::advancedData, false)
                     ->isSet(databrowse::Msg93::f::idxMetaData));
}

// The patterns of a filtered find, from the request's attribute criteria.
TEST_F(FastBrowseMembers, FilteredFindPatterns) {
    auto criterion = [](int attribute, const std::string& value) {
        databrowse::Criteria c;
        CNMessageBase* v = c.getObjectAccessor(databrowse::Criteria::f::criteria, true);
        v->setint64(databrowse::FilteredBrowseCriteriaValue::f::attribute, attribute);
        v->setliststring(databrowse::FilteredBrowseCriteriaValue::f::values, {value});
        return c;
    };
    fields(*worker).queryList() = std::make_unique<databrowse::Querylist>();
    EXPECT_EQ(worker->generateRegExFor90EXMB(), "\\MB\\*\\**\\*\x12*\x12*\x12*\x12*");
    databrowse::Query q;
    q.setint64(databrowse::Query::f::type, 0);
    q.setlistobject(databrowse::Query::f::criteriaList,
                    {criterion(0, "abc"), criterion(6, "six"), criterion(8, "eight")});
    fields(*worker).queryList()->setlistobject(databrowse::Querylist::f::queries, {q});
    fields(*worker).inputData().browsePath = "\\dir\\*";
    EXPECT_EQ(worker->generateRegExFor90FS(), "\\dir\\abc");
    fields(*worker).inputData().browsePath = "\\dir";
    EXPECT_EQ(worker->generateRegExFor90FS(), "\\dir");
    EXPECT_EQ(worker->generateRegExFor90EXMB(), "\\MB\\*\\**\\*\x12*\x12*six*\x12*\x12*eight*");
}

// The subclient-content answer: counts, first index and skip, a full page with its count, directories,
// a line without a delimiter, and a first index past the last line.
TEST_F(FastBrowseMembers, SubclientContentPages) {
    EvMessageContainer messages;
    std::list<TSubclientPath> lines;
    for (const char* p : {"/a/one", "!/a/two", "/a/three", "/a/four", "/a/five"})
        lines.push_back({0, p, "", 0});
    TInputData& in = fields(*worker).inputData();
    in.appType = 29;
    auto answer = [&](uint32_t em, uint32_t skip, uint32_t pageSize) {
        destination = std::make_shared<EvRecordingDestination>();
        EvReturnDestinations::registerDestination(kJob, destination);
        in.emFunction = em;
        in.skipCount = skip;
        in.pageSize = pageSize;
        EXPECT_EQ(worker->doBrowseBySubclients(messages, &in, lines), 0);
        return responsesOf(*destination);
    };
    auto names = [](databrowse::BrowseResponse& r) {
        std::vector<std::string> out;
        for (CNMessageBase& i : itemsOf(r))
            out.push_back(i.getstring(databrowse::BrowseData::f::name).substr(2));
        return out;
    };
    auto r = answer(5, 0, 0);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(itemsOf(r[0]).empty());

    r = answer(2 | (3 << 8), 0, 100);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(names(r[0]), (std::vector<std::string>{"three", "four", "five"}));
    EXPECT_EQ(in.pageSize, 97u);

    r = answer(0, 2, 0);  // not a paged request: no skip
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(names(r[0]).size(), 5u);
    EXPECT_EQ(flagOf(itemsOf(r[0])[1], databrowse::BrowseItemFlags::f::directory), 1);

    fields(*worker).countTag() = "count";
    r = answer(2, 2, 2);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(names(r[0]), (std::vector<std::string>{"three", "four"}));
    EXPECT_EQ(countsOf(r[0]), std::vector<int64_t>{5});

    r = answer(2 | (9 << 8), 0, 10);  // past the last line
    EXPECT_TRUE(r.empty());

    lines.push_back({0, "nodelimiter", "", 0});
    in.emFunction = 0;
    destination = std::make_shared<EvRecordingDestination>();
    EvReturnDestinations::registerDestination(kJob, destination);
    EXPECT_EQ(worker->doBrowseBySubclients(messages, &in, lines), -2);
    EXPECT_TRUE(responsesOf(*destination).empty());

    EXPECT_TRUE(worker->emGetCountOfChildrenFullPageSupport_HM({lines.begin(), lines.end()}));
}

TEST_F(FastBrowseMembers, StripLevels) {
    FSSubclientDir d{"\\a\\b\\c", "\\c"};
    EXPECT_EQ(worker->computeStripLevel(0, 0, &d), 2);
    EXPECT_EQ(worker->computeStripLevel(0x80, 1, &d), 1);
    EXPECT_EQ(worker->computeStripLevel(0x100, 1, &d), 2);
    FSSubclientDir letter{"a\\b", ""};
    EXPECT_EQ(worker->computeStripLevel(0, 0, &letter), -1);
    FSSubclientDir deeper{"/a", "/b/c"};
    EXPECT_EQ(worker->computeStripLevel(0, 0, &deeper), -1);
}

namespace {

// A media agent that answers as the test says: it records the request code, sends an unknown message
// and one item, then the end or (leaving early) a disconnect request.
struct TScript {
    std::mutex mutex;
    std::vector<unsigned long> requestCodes;
    bool endAnswer = true;
};
TScript g_script;

void scriptedXdr(CZyNetworkServer::ZynCallback_e type, CZyNetworkServer* server, long long handle,
                 unsigned long code, zysDatabuf_v2*) {
    if (type != CZyNetworkServer::ZYN_CALLBACK_MESSAGE) return;
    if (code == ZYS_PM_WAKEUP_REMOTE_THREAD_REQ || code == ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4097 ||
        code == ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4098) {
        std::lock_guard<std::mutex> lock(g_script.mutex);
        g_script.requestCodes.push_back(code);
    }
    if (code != FSR_MSG_CLIENT_NAME) return;
    CZySessionLease network(server, handle);
    if (!network) return;
    bool timedOut = false;
    FSROriginatedUserId odd{};
    zysDatabuf_v2 buffer;
    buffer.setExternalBuffer(&odd, sizeof odd);
    ignoreResult(network->SendXDRMessage(0x18000099, &buffer, 0, 10, timedOut),
                 "the client under test judges what arrives");
    FSRRestoreItem_90 one{};
    one.name = "/only";
    zysDatabuf_v2 itemBuffer;
    itemBuffer.setExternalBuffer(&one, sizeof one);
    ignoreResult(network->SendXDRMessage(FSR_MSG_RESTORE_ITEM_90, &itemBuffer, 0, 10, timedOut),
                 "the client under test judges what arrives");
    ignoreResult(network->SendXDRMessage(g_script.endAnswer ? FSR_MSG_RESTORE_END : ZYS_PM_DISCONNECT_REQ,
                                         nullptr, 0, 10, timedOut),
                 "the client under test judges what arrives");
}
void scriptedXml(CZyNetworkServer::ZynCallback_e, CZyNetworkServer*, long long, CNMessageBase* message) {
    delete message;
}

}  // namespace

// The request code follows the peer's protocol version; an unknown message is skipped; a disconnect
// without the end is an error followed by the end, never a complete listing.
TEST_F(FastBrowseMembers, ExchangeWithAScriptedMediaAgent) {
    std::shared_ptr<CZydListener> listener = CZydListener::create();
    std::unique_ptr<CZyNetworkServer> server =
        std::make_unique<CZyNetworkServer>(&scriptedXdr, &scriptedXml, "0", listener);
    ASSERT_FALSE(listener->start(0).IsError());
    CZyNetDirectory::instance().registerClient("mediaagent3", "127.0.0.1", listener->port());
    const TZyNetOptions saved = zyNetOptions();

    auto browse = [&](unsigned version, bool endAnswer) {
        TZyNetOptions o = saved;
        o.protocolVersion = version;
        setZyNetOptions(o);
        g_script.endAnswer = endAnswer;
        ZyNetworkPoP pool;
        CWorkerThreadHM::setSessionPool(&pool);
        destination = std::make_shared<EvRecordingDestination>();
        EvReturnDestinations::registerDestination(kJob, destination);
        worker = std::make_unique<ProbeWorker>();
        fields(*worker).privateTask()->setJobId(kJob);
        fields(*worker).maHostName() = "mediaagent3";
        fields(*worker).maClientName() = "mediaagent3";
        fields(*worker).maVersionText() = "9.0";
        fields(*worker).maVersion() = 900;
        const bool ok = worker->fastBrowse();
        CWorkerThreadHM::setSessionPool(nullptr);
        return ok;
    };
    EXPECT_TRUE(browse(4096, true));
    EXPECT_TRUE(browse(4097, true));
    EXPECT_TRUE(browse(4098, true));
    auto responses = responsesOf(*destination);
    ASSERT_EQ(responses.size(), 2u);
    EXPECT_EQ(itemsOf(responses[0]).size(), 1u);
    EXPECT_EQ(responses[1].getint64(databrowse::BrowseResponse::f::respType), 5);
    {
        std::lock_guard<std::mutex> lock(g_script.mutex);
        EXPECT_EQ(g_script.requestCodes, (std::vector<unsigned long>{ZYS_PM_WAKEUP_REMOTE_THREAD_REQ,
                                                                     ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4097,
                                                                     ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4098}));
    }

    EXPECT_FALSE(browse(4098, false));
    responses = responsesOf(*destination);
    ASSERT_EQ(responses.size(), 3u);
    EXPECT_EQ(responses[1].getint64(databrowse::BrowseResponse::f::respType), 3);
    EXPECT_EQ(responses[2].getint64(databrowse::BrowseResponse::f::respType), 5);
    EXPECT_TRUE(worker->getEndSent());

    setZyNetOptions(saved);
    CZyNetDirectory::instance().unregisterClient("mediaagent3");
    ignoreResult(server->Quit(true, true), "stopping: nothing is left to do when it fails");
    listener->stop();
}

// What pages learnt of a classic listing places a later page: entries giving other than one item (an
// unknown item's nested answer, or nothing) shift the items after them; past what is known, the page
// starts at the first entry not known; a start past it teaches nothing.
TEST(ClassicListingPrefixes, PagesStartWhereTheItemsBeforeThemEnd) {
    CClassicListingPrefixes& prefixes = CClassicListingPrefixes::instance();
    const std::string listing = "prefix-test|" + std::to_string(getpid());
    auto at = [&](uint64_t skip) {
        const CClassicListingPrefixes::TStart s = prefixes.locate(listing, skip);
        return std::make_pair(s.entry, s.itemsBefore);
    };
    using P = std::pair<uint64_t, uint64_t>;
    EXPECT_EQ(at(5), P(0, 0));  // nothing known yet
    prefixes.learn(listing, 3, {1, 1});
    EXPECT_EQ(at(5), P(0, 0));
    // Entries 0..4 gave 1, 4, 1, 0, 1 items: items 0 | 1 2 3 4 | 5 | - | 6.
    prefixes.learn(listing, 0, {1, 4, 1});
    prefixes.learn(listing, 2, {1, 0, 1});
    EXPECT_EQ(at(0), P(0, 0));
    EXPECT_EQ(at(1), P(1, 1));
    EXPECT_EQ(at(3), P(1, 1));
    EXPECT_EQ(at(5), P(2, 5));
    EXPECT_EQ(at(6), P(4, 6));
    EXPECT_EQ(at(7), P(5, 7));  // the first entry not known
    EXPECT_EQ(at(40), P(5, 7));
}
