// The worker object: its state when made, its error text, its recursive lock, what it owns, and the
// two index-service keys it reads when made (a broken configuration never turns the client-map check off).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/config/zyplatforminfo.h"
#include "platform/tasks/evrestoretask.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

// The request behaviours belong to the request road; the object itself is what is tested here.
class PlainWorker : public CWorkerThreadHM {
public:
    bool newRequest(EvMultiEntityRestoreTask*) override { return false; }
    void processErrorMessage(databrowse::BrowseErrorCode, const char*) override {}
};

// A registry file naming an index configuration key file, both in a temporary folder removed after.
class IndexKeys {
public:
    explicit IndexKeys(const std::string& keyFileText) {
        m_dir = std::filesystem::temp_directory_path() / ("worker-test-" + std::to_string(getpid()));
        std::filesystem::create_directories(m_dir);
        const auto keyFile = m_dir / "idxkeys.cfg";
        std::ofstream(keyFile) << keyFileText;
        std::ofstream(m_dir / "registry.ini")
            << "[~Indexing]\nsIdxConfigKeyFile = " << keyFile.string() << "\n";
        ZYPlatformInfo::setRegistryPath((m_dir / "registry.ini").string());
    }
    ~IndexKeys() {
        ZYPlatformInfo::setRegistryPath("");
        std::filesystem::remove_all(m_dir);
    }

private:
    std::filesystem::path m_dir;
};

}  // namespace

TEST(Worker, FreshWorkerState) {
    PlainWorker w;
    EXPECT_FALSE(w.getAsyncMode());
    EXPECT_EQ(w.getErrorId(), databrowse::BROWSE_ERR_NONE);
    EXPECT_STREQ(w.getErrorMessage(), "");
    EXPECT_EQ(w.getOutstandingRequests(), 0);
    EXPECT_FALSE(w.getMarkedForDeletion());
    EXPECT_FALSE(w.getStopFlag());
    EXPECT_NE(w.getBrowseTask(), nullptr);
    EXPECT_NE(w.getPrivateTask(), nullptr);
    EXPECT_EQ(w.getBrowseReqXML(), nullptr);
    EXPECT_EQ(w.getAdditionalFlags(), nullptr);
    EXPECT_EQ(w.getBrowseSessionGuid(), "");
}

TEST(Worker, ErrorTextIsCutAndTerminated) {
    PlainWorker w;
    w.setLastError(databrowse::BROWSE_ERR_REQUEST_PROCESSING, std::string(5000, 'x'));
    EXPECT_EQ(w.getErrorId(), databrowse::BROWSE_ERR_REQUEST_PROCESSING);
    EXPECT_EQ(std::string(w.getErrorMessage()), std::string(CWorkerThreadHM::kErrorTextSize - 1, 'x'));
    w.setLastError(databrowse::BROWSE_ERR_GENERIC, "short");
    EXPECT_STREQ(w.getErrorMessage(), "short");
}

TEST(Worker, LockIsRecursiveAndExcludesOtherThreads) {
    PlainWorker w;
    w.accessWorker();
    w.accessWorker();
    bool otherGotIt = true;
    std::thread([&] { otherGotIt = w.tryAccessWorker(); }).join();
    EXPECT_FALSE(otherGotIt);
    w.releaseWorker();
    w.releaseWorker();
    std::thread([&] {
        otherGotIt = w.tryAccessWorker();
        if (otherGotIt) w.releaseWorker();
    }).join();
    EXPECT_TRUE(otherGotIt);
}

TEST(Worker, AccessGuardGivesTheLockBackOnceHoweverItsScopeEnds) {
    PlainWorker w;
    auto otherThreadGetsIt = [&w] {
        bool got = false;
        std::thread([&] {
            got = w.tryAccessWorker();
            if (got) w.releaseWorker();
        }).join();
        return got;
    };
    auto leaveEarly = [&w](bool early) {
        CWorkerAccess access(w);
        if (early) return 1;
        return 2;
    };
    EXPECT_EQ(leaveEarly(true), 1);
    EXPECT_TRUE(otherThreadGetsIt());
    EXPECT_THROW(([&w] {
                     CWorkerAccess access(w);
                     throw std::runtime_error("a step failed");
                 }()),
                 std::runtime_error);
    EXPECT_TRUE(otherThreadGetsIt());

    // Under an outer entry of the recursive lock, a second leave would free the lock for other threads.
    w.accessWorker();
    {
        CWorkerAccess first(w);
        CWorkerAccess moved(std::move(first));
        first.release();  // moved away: nothing to give back
        EXPECT_FALSE(otherThreadGetsIt());
    }
    EXPECT_FALSE(otherThreadGetsIt()) << "the moved guard gave the lock back twice";
    {
        CWorkerAccess early(w);
        early.release();
        early.release();
    }
    EXPECT_FALSE(otherThreadGetsIt()) << "an early release was repeated at the end of the scope";
    w.releaseWorker();
    EXPECT_TRUE(otherThreadGetsIt());

    // A successful try, adopted, is given back by the guard.
    ASSERT_TRUE(w.tryAccessWorker());
    {
        CWorkerAccess adopted(w, std::adopt_lock);
        EXPECT_FALSE(otherThreadGetsIt());
    }
    EXPECT_TRUE(otherThreadGetsIt());
}

TEST(Worker, CopiesTheRequestAndLeavesCallersFlagsAlone) {
    std::vector<databrowse::AdditionalFlag> flags(2);
    databrowse::BrowseRequest request;
    request.setstring(databrowse::BrowseRequest::f::userName, "alice");
    {
        PlainWorker w;
        w.setBrowseReq(&request);
        request.setstring(databrowse::BrowseRequest::f::userName, "bob");
        EXPECT_EQ(w.getBrowseReqV2()->getstring(databrowse::BrowseRequest::f::userName), "alice");
        w.setAdditionalFlags(&flags);
        EXPECT_EQ(w.getAdditionalFlags(), &flags);
    }
    EXPECT_EQ(flags.size(), 2u);  // still the caller's, untouched
}

TEST(Worker, IndexServiceKeys) {
    {
        IndexKeys keys("HM_ALWAYS_REPLY_V1_BROWSE = 1\nHM_CHECK_CLIENT_MAP = 0\n");
        PlainWorker w;
        EXPECT_EQ(w.getAlwaysReplyV1(), 1);
        EXPECT_EQ(w.getCheckClientMap(), 0);
    }
    {
        IndexKeys keys("# nothing set\n");
        PlainWorker w;
        EXPECT_EQ(w.getAlwaysReplyV1(), 0);
        EXPECT_EQ(w.getCheckClientMap(), 1);  // absent: callers' client maps are checked
    }
    {
        IndexKeys keys("HM_ALWAYS_REPLY_V1_BROWSE = x\nHM_CHECK_CLIENT_MAP = not-a-number\n");
        PlainWorker w;
        EXPECT_EQ(w.getAlwaysReplyV1(), 0);
        EXPECT_EQ(w.getCheckClientMap(), 1);
    }
}
