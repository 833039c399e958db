// The real tools/mediaagent process on loopback, spoken to with the platform's XDR session exactly as
// the browse worker does (request, paths, user, client name, then item batches and the end): every item
// layout by protocol version, pages, counts, ranges and prediction items, each checked against the same
// index read directly; garbage from one client closes only that connection; and the faults on purpose.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/msg/msg_classes.h"
#include "platform/net/zynet_errors.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynetwork.h"
#include "platform/restoreproto/fsr_messages.h"
#include "tests/support/process/childprocess.h"
#include "tests/tools/mediaagent/mediaagent_world.h"
#include "tools/mediaagent/itemindex.h"

namespace {

constexpr uint64_t kOptionVersions = 0x8;  // the router's flag for the all-versions operation

// The media agent as a child process; its output is read until it listens.
class CAgentProcess {
public:
    CAgentProcess(const hubtest::CMediaAgentWorld& world, const std::vector<std::string>& extra)
        : m_process("tools/mediaagent/mediaagent", arguments(world, extra)) {
        if (m_process.waitFor(kListening, std::chrono::seconds(60)))
            m_port = static_cast<int>(m_process.numberAfter(kListening));
    }
    // Stops the process; its exit status.
    int stop() { return m_process.stop("mediaagent: stopped"); }
    bool alive() const { return m_process.alive(); }
    int port() const { return m_port; }
    const std::string& output() const { return m_process.output(); }

private:
    static constexpr const char* kListening = "listening on 127.0.0.1:";

    static std::vector<std::string> arguments(const hubtest::CMediaAgentWorld& world,
                                              const std::vector<std::string>& extra) {
        std::vector<std::string> args = {
            "--hub",       world.hubDb(), "--client",        "mediaagent3",
            "--port",      "0",           "--index",         world.path("agent.db"),
            "--batch",     "100",         "--files",         "1500",
            "--big-dir",   "400",         "--files-per-dir", "30",
            "--hubmaster", "hubmaster"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    hubtest::CChildProcess m_process;
    int m_port = 0;
};

// What a browse asks, as the worker's legacy request carries it.
struct TRequest {
    int subclient = 0;
    int clientId = 0;
    int64_t toTime = 0;
    int64_t fromTime = 0;
    uint32_t emFunction = 0;
    uint32_t skip = 0;
    uint32_t pageSize = 0;
    uint64_t firstNode = 0;
    uint64_t options = 0;
    std::string path = "/";
};

struct TGotItem {
    std::string name;
    std::string displayName;
    std::string metadata;
    uint64_t flags = 0, size = 0, modificationTime = 0, backupTime = 0, node = 0, archiveFileId = 0;
};

struct TAnswer {
    std::vector<unsigned long> codes;
    std::vector<TGotItem> items;
    std::vector<FSRPredictionItem> predictions;
    bool ended = false;
    int errorCode = 0;  // of a failed receive
};

// One session to the media agent's restore service at a protocol version.
class CBrowseClient {
public:
    CBrowseClient(int port, unsigned protocolVersion, const char* peer = "hubmaster") {
        TZyNetOptions o = zyNetOptions();
        o.protocolVersion = protocolVersion;
        setZyNetOptions(o);
        bool timedOut = false;
        m_ok = !m_net.Connect(TZyNetAddress{"127.0.0.1", port}, "0", peer, 10, timedOut).IsError();
    }
    bool ok() const { return m_ok; }
    CZyNetwork& network() { return m_net; }

    bool send(const TRequest& r, unsigned long requestCode, uint64_t userId = 7) {
        auto request = std::make_unique<FSRLegacyBrowseRequest>();
        request->field3 = r.options;
        request->fields5to26[9] = static_cast<uint32_t>(r.subclient);
        request->fields5to26[16] = static_cast<uint32_t>(r.toTime);
        request->fields5to26[17] = static_cast<uint32_t>(r.fromTime);
        request->fields5to26[18] = r.emFunction;
        request->fields5to26[19] = r.skip;
        request->fields5to26[21] = r.pageSize;
        request->field60 = r.firstNode;
        request->fields55to58[3] = static_cast<uint64_t>(r.clientId);
        std::strncpy(request->browsePath, r.path.c_str(), sizeof request->browsePath - 1);
        bool timedOut = false;
        zysDatabuf_v2 buffer;
        buffer.setExternalBuffer(request.get(), sizeof *request);
        if (m_net.SendXDRMessage(requestCode, &buffer, 0, -1, timedOut).IsError()) return false;
        FSRSrcPath path;
        path.path = "/restore/here";
        buffer.setExternalBuffer(&path, sizeof path);
        if (m_net.SendXDRMessage(FSR_MSG_SRC_PATH, &buffer, 0, -1, timedOut).IsError()) return false;
        FSROriginatedUserId user;
        user.userId = userId;
        buffer.setExternalBuffer(&user, sizeof user);
        if (m_net.SendXDRMessage(FSR_MSG_ORIGINATED_USER_ID, &buffer, 0, -1, timedOut).IsError())
            return false;
        FSRClasterClientName client;
        fsr::setClientName(client, "client3");
        buffer.setExternalBuffer(&client, sizeof client);
        return !m_net.SendXDRMessage(FSR_MSG_CLIENT_NAME, &buffer, 0, -1, timedOut).IsError();
    }

    // Receives until the end, a failure, or `seconds` of silence.
    TAnswer receive(int seconds = 20) {
        TAnswer a;
        zysDatabuf_v2 buffer;
        for (int silent = 0; silent < seconds;) {
            unsigned long code = 0;
            bool timedOut = false;
            CUxError error = m_net.ReceiveXDRMessage(&code, nullptr, &buffer, 0, 1, timedOut);
            if (timedOut) {
                ++silent;
                continue;
            }
            if (error.IsError()) {
                a.errorCode = error.GetErrorCode();
                return a;
            }
            a.codes.push_back(code);
            const void* data = buffer.getDataBuffer();
            switch (code) {
                case FSR_MSG_RESTORE_ITEM_ARRAY_90:
                case FSR_MSG_RESTORE_ITEM_ARRAY_80:
                case FSR_MSG_RESTORE_ITEM_ARRAY:
                case FSR_MSG_PREDICTION_ITEM_ARRAY: {
                    const FSRItemArray* array = static_cast<const FSRItemArray*>(data);
                    for (uint32_t k = 0; k < array->count; ++k)
                        take(code, static_cast<const char*>(array->items), k, a);
                    break;
                }
                case FSR_MSG_RESTORE_END:
                    a.ended = true;
                    return a;
                default:
                    take(code, static_cast<const char*>(data), 0, a);
            }
            ignoreResult(m_net.FreeReceivedMessage(code, &buffer), "it only gives the buffer back");
        }
        return a;
    }

private:
    static void take(unsigned long code, const char* base, uint32_t k, TAnswer& a) {
        TGotItem g;
        FSRRestoreItem_90 item;
        if (code == FSR_MSG_RESTORE_ITEM_ARRAY_90 || code == FSR_MSG_RESTORE_ITEM_90) {
            item = reinterpret_cast<const FSRRestoreItem_90*>(base)[k];
        } else if (code == FSR_MSG_RESTORE_ITEM_ARRAY_80 || code == FSR_MSG_RESTORE_ITEM_80) {
            item = fsr::widenRestoreItem(reinterpret_cast<const FSRRestoreItem_80*>(base)[k]);
        } else if (code == FSR_MSG_RESTORE_ITEM_ARRAY || code == FSR_MSG_RESTORE_ITEM) {
            item = fsr::widenRestoreItem(reinterpret_cast<const FSRRestoreItem*>(base)[k], nullptr);
        } else if (code == FSR_MSG_PREDICTION_ITEM_ARRAY || code == FSR_MSG_PREDICTION_ITEM) {
            a.predictions.push_back(reinterpret_cast<const FSRPredictionItem*>(base)[k]);
            return;
        } else {
            return;
        }
        g.name = item.name ? item.name : "";
        g.displayName = item.displayName ? item.displayName : "";
        g.metadata = item.metadata ? item.metadata : "";
        g.flags = item.flags;
        g.size = item.size;
        g.modificationTime = item.modificationTime;
        g.backupTime = item.backupTime;
        g.node = item.advancedValue2;
        g.archiveFileId = item.archiveId.archiveFileId;
        a.items.push_back(std::move(g));
    }

    CZyNetwork m_net;
    bool m_ok = false;
};

class MediaAgentProcess : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_world = new hubtest::CMediaAgentWorld("mediaagent-e2e");
        ASSERT_TRUE(s_world->ok()) << s_world->error();
        s_agent = new CAgentProcess(*s_world, {});
        ASSERT_GT(s_agent->port(), 0) << s_agent->output();
    }
    static void TearDownTestSuite() {
        if (s_agent) {
            EXPECT_EQ(s_agent->stop(), 0) << s_agent->output();
        }
        delete s_agent;
        delete s_world;
        s_agent = nullptr;
    }
    void SetUp() override {
        std::string error;
        m_index = mediaagent::CItemIndex::open(s_world->path("agent.db"), error);
        ASSERT_TRUE(m_index) << error;
        ASSERT_TRUE(m_index->jobs(subclient(), m_jobs));
    }
    static int subclient() { return s_world->world.legacy.subclient; }

    std::vector<mediaagent::TItemVersion> direct(const mediaagent::TBrowseQuery& q, bool range) {
        std::vector<mediaagent::TItemVersion> out;
        bool found = false;
        EXPECT_TRUE(range ? m_index->listRange(q, out, found) : m_index->listAt(q, out, found))
            << m_index->lastError();
        return out;
    }

    static hubtest::CMediaAgentWorld* s_world;
    static CAgentProcess* s_agent;
    std::unique_ptr<mediaagent::CItemIndex> m_index;
    std::vector<mediaagent::TIndexJob> m_jobs;
};
hubtest::CMediaAgentWorld* MediaAgentProcess::s_world = nullptr;
CAgentProcess* MediaAgentProcess::s_agent = nullptr;

TEST_F(MediaAgentProcess, EveryItemLayoutByProtocolVersion) {
    struct Case {
        unsigned version;
        unsigned long request, array;
    };
    mediaagent::TBrowseQuery q;
    q.appId = subclient();
    q.path = "/big";
    q.toTime = m_jobs[8].time;
    const std::vector<mediaagent::TItemVersion> expected = direct(q, false);
    ASSERT_GT(expected.size(), 300u);
    for (const Case c : {Case{4096, ZYS_PM_WAKEUP_REMOTE_THREAD_REQ, FSR_MSG_RESTORE_ITEM_ARRAY},
                         Case{4097, ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4097, FSR_MSG_RESTORE_ITEM_ARRAY_80},
                         Case{4098, ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4098, FSR_MSG_RESTORE_ITEM_ARRAY_90}}) {
        CBrowseClient client(s_agent->port(), c.version);
        ASSERT_TRUE(client.ok());
        TRequest r;
        r.subclient = subclient();
        r.path = "\\big";
        r.toTime = m_jobs[8].time;
        ASSERT_TRUE(client.send(r, c.request));
        const TAnswer a = client.receive();
        ASSERT_TRUE(a.ended) << c.version << " error " << a.errorCode;
        ASSERT_EQ(a.items.size(), expected.size());
        for (unsigned long code : a.codes)
            EXPECT_TRUE(code == c.array || code == FSR_MSG_RESTORE_END) << std::hex << code;
        EXPECT_EQ(a.codes.size(), (expected.size() + 99) / 100 + 1);  // batches of 100, then the end
        bool metadata = false;
        for (size_t k = 0; k < expected.size(); ++k) {
            const TGotItem& g = a.items[k];
            EXPECT_EQ(g.name, expected[k].path);
            EXPECT_EQ(g.size, static_cast<uint64_t>(expected[k].size));
            // The time word of every layout is the backup time (the Hubmaster's range filter reads it).
            EXPECT_EQ(g.modificationTime, static_cast<uint64_t>(expected[k].backupTime));
            EXPECT_EQ(g.flags, expected[k].flags);
            EXPECT_EQ(g.displayName, c.version >= 4097 ? expected[k].name : "");
            if (c.version > 4097) {
                EXPECT_EQ(g.backupTime, static_cast<uint64_t>(expected[k].backupTime));
                EXPECT_EQ(g.node, static_cast<uint64_t>(expected[k].entry));
                EXPECT_EQ(g.archiveFileId, static_cast<uint64_t>(expected[k].archiveFileId));
                EXPECT_EQ(g.metadata, expected[k].metadata);
                metadata = metadata || !g.metadata.empty();
            }
        }
        EXPECT_EQ(metadata, c.version > 4097);
    }
}

TEST_F(MediaAgentProcess, PagesCountsRangesAndPredictionOnOneSession) {
    CBrowseClient client(s_agent->port(), 4098);
    ASSERT_TRUE(client.ok());
    // A page: em function 2 with first index 3 (counted from 1) and a skip of 250, 60 items.
    TRequest r;
    r.subclient = subclient();
    r.path = "/big";
    r.emFunction = 2 | (3 << 8);
    r.skip = 250;
    r.pageSize = 60;
    ASSERT_TRUE(client.send(r, ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4098));
    TAnswer a = client.receive();
    ASSERT_TRUE(a.ended);
    mediaagent::TBrowseQuery q;
    q.appId = subclient();
    q.path = "/big";
    q.skip = 252;
    q.pageSize = 60;
    std::vector<mediaagent::TItemVersion> expected = direct(q, false);
    ASSERT_EQ(a.items.size(), 60u);
    for (size_t k = 0; k < expected.size(); ++k)
        EXPECT_EQ(a.items[k].name, std::to_string(expected[k].entry) + '\x12' + expected[k].path);

    // The next page from the last node, on the same session.
    r.emFunction = 2;
    r.skip = 1;
    r.firstNode = a.items.back().node;
    ASSERT_TRUE(client.send(r, ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4098));
    a = client.receive();
    ASSERT_TRUE(a.ended);
    q.skip = 312;
    expected = direct(q, false);
    ASSERT_EQ(a.items.size(), expected.size());
    for (size_t k = 0; k < expected.size(); ++k)
        EXPECT_EQ(a.items[k].node, static_cast<uint64_t>(expected[k].entry));

    // A count: one single item whose name is the number.
    r = TRequest{};
    r.subclient = subclient();
    r.path = "/big/*7.dat";
    r.emFunction = 1;
    ASSERT_TRUE(client.send(r, ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4098));
    a = client.receive();
    ASSERT_TRUE(a.ended);
    q = mediaagent::TBrowseQuery{};
    q.appId = subclient();
    q.path = "/big";
    q.nameFilter = "*7.dat";
    int64_t count = 0;
    bool found = false;
    ASSERT_TRUE(m_index->countAt(q, count, found));
    ASSERT_EQ(a.items.size(), 1u);
    EXPECT_EQ(a.codes.front(), FSR_MSG_RESTORE_ITEM_90);
    EXPECT_EQ(a.items[0].name, std::to_string(count));
    EXPECT_GT(count, 10);

    // The versions of one file over both cycles, by client (no subclient).
    r = TRequest{};
    r.clientId = s_world->world.legacy.client;
    r.fromTime = m_jobs[0].time;
    r.options = kOptionVersions;
    r.path = "/big/b0000011.dat";
    ASSERT_TRUE(client.send(r, ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4098));
    a = client.receive();
    ASSERT_TRUE(a.ended);
    q = mediaagent::TBrowseQuery{};
    q.appId = subclient();
    q.path = "/big/b0000011.dat";
    q.fromTime = m_jobs[0].time;
    expected = direct(q, true);
    ASSERT_GE(expected.size(), 2u);
    ASSERT_EQ(a.items.size(), expected.size());
    for (size_t k = 0; k < expected.size(); ++k)
        EXPECT_EQ(a.items[k].backupTime, static_cast<uint64_t>(expected[k].backupTime));

    // Media prediction: the archive files of the cycle at the to-time, data and index.
    r = TRequest{};
    r.subclient = subclient();
    r.path = "/d00";
    r.toTime = m_jobs[3].time;
    r.options = 1ULL << 38;
    ASSERT_TRUE(client.send(r, ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4098));
    a = client.receive();
    ASSERT_TRUE(a.ended);
    std::vector<mediaagent::TIndexArchiveFile> files;
    ASSERT_TRUE(m_index->archiveFiles(subclient(), 0, m_jobs[3].time, {1}, files));
    ASSERT_EQ(a.predictions.size(), files.size());
    EXPECT_EQ(a.codes.front(), FSR_MSG_PREDICTION_ITEM_ARRAY);
    for (size_t k = 0; k < files.size(); ++k) {
        EXPECT_EQ(a.predictions[k].archiveFileId, static_cast<uint64_t>(files[k].id));
        EXPECT_EQ(a.predictions[k].flags, files[k].fileType == 1 ? 0x8u : 0x2u);
        EXPECT_EQ(a.predictions[k].size, static_cast<uint64_t>(files[k].size));
    }
    bool timedOut = false;
    EXPECT_FALSE(client.network().Disconnect(10, timedOut).IsError());
}

// The worker sends the oldest backup's time as the from-time of every browse: without the versions
// option the answer is still the directory as of the to-time; with it, every version in the range. A
// from-time inside the cycle hides what was backed up before it.
TEST_F(MediaAgentProcess, PointInTimeAndVersionsWithAFromTime) {
    CBrowseClient client(s_agent->port(), 4098);
    ASSERT_TRUE(client.ok());
    const int64_t oldest = m_jobs.front().time;
    const int64_t to = m_jobs[8].time;
    mediaagent::TBrowseQuery q;
    q.appId = subclient();
    q.path = "/big";
    q.toTime = to;
    const std::vector<mediaagent::TItemVersion> at = direct(q, false);
    q.fromTime = oldest;
    const std::vector<mediaagent::TItemVersion> versions = direct(q, true);
    ASSERT_GT(versions.size(), at.size());  // else the two kinds of browse could not be told apart
    auto browse = [&](int64_t from, uint64_t options) {
        TRequest r;
        r.subclient = subclient();
        r.path = "/big";
        r.toTime = to;
        r.fromTime = from;
        r.options = options;
        EXPECT_TRUE(client.send(r, ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4098));
        TAnswer a = client.receive();
        EXPECT_TRUE(a.ended);
        return a.items;
    };
    auto expectSame = [](const std::vector<TGotItem>& got,
                         const std::vector<mediaagent::TItemVersion>& want) {
        ASSERT_EQ(got.size(), want.size());
        for (size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(got[k].name, want[k].path);
            EXPECT_EQ(got[k].backupTime, static_cast<uint64_t>(want[k].backupTime));
            EXPECT_EQ(got[k].flags, want[k].flags);
        }
    };
    expectSame(browse(oldest, 0), at);
    expectSame(browse(oldest, kOptionVersions), versions);

    // From a later job of the cycle at the to-time: what the directory then shows, less what was last
    // backed up before the from-time (deletions are still left out).
    int64_t from = 0;
    for (const mediaagent::TIndexJob& j : m_jobs)
        if (j.time <= to && j.cycle == m_jobs[8].cycle && j.time > oldest && !j.full) {
            from = j.time;
            break;
        }
    ASSERT_GT(from, 0);
    std::vector<mediaagent::TItemVersion> later = at;
    std::erase_if(later, [&](const mediaagent::TItemVersion& v) { return v.backupTime < from; });
    ASSERT_FALSE(later.empty());
    ASSERT_LT(later.size(), at.size());
    expectSame(browse(from, 0), later);
    TRequest r;
    r.subclient = subclient();
    r.path = "/big";
    r.toTime = to;
    r.fromTime = from;
    r.emFunction = 1;
    ASSERT_TRUE(client.send(r, ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4098));
    const TAnswer count = client.receive();
    ASSERT_TRUE(count.ended);
    ASSERT_EQ(count.items.size(), 1u);
    EXPECT_EQ(count.items[0].name, std::to_string(later.size()));
}

TEST_F(MediaAgentProcess, GarbageClosesOnlyItsOwnConnection) {
    CBrowseClient good(s_agent->port(), 4098);
    ASSERT_TRUE(good.ok());
    // Each misbehaving session is closed: the agent's abort, then nothing more.
    for (int kind = 0; kind < 3; ++kind) {
        CBrowseClient bad(s_agent->port(), 4098);
        ASSERT_TRUE(bad.ok());
        bool timedOut = false;
        if (kind == 0) {
            databrowse::BrowseRequest request;
            ASSERT_FALSE(bad.network().SendXMLMessage(request, 0, 10, timedOut).IsError());
        } else if (kind == 1) {
            const char bytes[] = "\x01\x02garbage";
            zysDatabuf_v2 buffer;
            buffer.setExternalBuffer(const_cast<char*>(bytes), sizeof bytes);
            ASSERT_FALSE(bad.network().SendXDRMessage(0x18abcdef, &buffer, 0, 10, timedOut).IsError());
        } else {
            FSRClasterClientName name;  // a client name with no request before it
            fsr::setClientName(name, "client3");
            zysDatabuf_v2 buffer;
            buffer.setExternalBuffer(&name, sizeof name);
            ASSERT_FALSE(
                bad.network().SendXDRMessage(FSR_MSG_CLIENT_NAME, &buffer, 0, 10, timedOut).IsError());
        }
        const TAnswer a = bad.receive(10);
        EXPECT_FALSE(a.ended);
        EXPECT_NE(a.errorCode, 0) << kind;
        EXPECT_EQ(a.codes, std::vector<unsigned long>{ZYS_PM_ABORT_REQ}) << kind;
    }
    TRequest r;
    r.subclient = subclient();
    r.path = "/d01";
    ASSERT_TRUE(good.send(r, ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4098));
    const TAnswer a = good.receive();
    EXPECT_TRUE(a.ended);
    EXPECT_FALSE(a.items.empty());
    EXPECT_TRUE(s_agent->alive());

    // A subclient this agent holds nothing of is refused, never answered as an empty folder.
    CBrowseClient stranger(s_agent->port(), 4098);
    ASSERT_TRUE(stranger.ok());
    r.subclient = subclient() + 1000;
    ASSERT_TRUE(stranger.send(r, ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4098));
    const TAnswer unknown = stranger.receive(10);
    EXPECT_FALSE(unknown.ended);
    EXPECT_TRUE(unknown.items.empty());
    EXPECT_EQ(unknown.codes, std::vector<unsigned long>{ZYS_PM_ABORT_REQ});
    r.subclient = subclient();

    // Only the Hubmaster is answered: another client asking the same is closed without an item.
    CBrowseClient other(s_agent->port(), 4098, "client3");
    ASSERT_TRUE(other.ok());
    other.send(r, ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4098);  // the later parts may find the session closed
    const TAnswer refused = other.receive(10);
    EXPECT_FALSE(refused.ended);
    EXPECT_TRUE(refused.items.empty());
    EXPECT_EQ(refused.codes, std::vector<unsigned long>{ZYS_PM_ABORT_REQ});
}

TEST_F(MediaAgentProcess, FaultsOnPurposeForTheWorkersTests) {
    for (const std::string fault : {"vanish", "garbage", "silent"}) {
        CAgentProcess agent(*s_world, {"--fault", fault, "--fault-after", "150"});
        ASSERT_GT(agent.port(), 0) << agent.output();
        CBrowseClient client(agent.port(), 4098);
        ASSERT_TRUE(client.ok());
        TRequest r;
        r.subclient = subclient();
        r.path = "/big";
        ASSERT_TRUE(client.send(r, ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4098));
        const TAnswer a = client.receive(fault == "silent" ? 2 : 20);
        EXPECT_EQ(a.items.size(), 150u) << fault;
        EXPECT_FALSE(a.ended) << fault;
        const int expectedError = fault == "vanish"    ? ZYNET_E_DISCONNECTED
                                  : fault == "garbage" ? ZYNET_E_UNEXPECTED_KIND
                                                       : 0;  // silent: still waiting
        EXPECT_EQ(a.errorCode, expectedError) << fault;
        EXPECT_EQ(agent.stop(), 0) << agent.output();
    }
}

}  // namespace
