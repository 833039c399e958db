#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <mutex>
#include <set>
#include <vector>

#include "platform/threads/osthread.h"
#include "platform/threads/sessionport.h"
#include "platform/threads/threadid.h"

namespace {

// Records what run saw and gives back its argument as the thread's result.
class RecordingThread : public OSThread {
public:
    ~RecordingThread() override { join(); }
    void* run(void* arg) override {
        seenArg = arg;
        ranOn = GetCurrentThreadId();
        return arg;
    }
    std::atomic<void*> seenArg{nullptr};
    std::atomic<int32_t> ranOn{0};
};

// Runs until released, so that a second start meets a live thread.
class HeldThread : public OSThread {
public:
    ~HeldThread() override {
        release();
        join();
    }
    void* run(void*) override {
        ++runs;
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [this] { return released; });
        return nullptr;
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        cv.notify_all();
    }
    std::atomic<int> runs{0};
    std::mutex mutex;
    std::condition_variable cv;
    bool released = false;
};

TEST(OSThreadTest, RunReceivesTheArgumentGivenToStartAndJoinReturnsItsResult) {
    RecordingThread thread;
    int payload = 7;
    ASSERT_TRUE(thread.start(&payload));
    void* result = nullptr;
    ASSERT_TRUE(thread.join(&result));
    EXPECT_EQ(thread.seenArg.load(), &payload);
    EXPECT_EQ(result, &payload);
    EXPECT_NE(thread.ranOn.load(), GetCurrentThreadId());
    EXPECT_FALSE(thread.isStarted());
}

TEST(OSThreadTest, NullArgumentReachesRun) {
    RecordingThread thread;
    thread.seenArg = &thread;
    ASSERT_TRUE(thread.start(nullptr));
    ASSERT_TRUE(thread.join());
    EXPECT_EQ(thread.seenArg.load(), nullptr);
}

TEST(OSThreadTest, SecondStartOfALiveThreadFailsAndRunsNothing) {
    HeldThread thread;
    ASSERT_TRUE(thread.start(nullptr));
    EXPECT_FALSE(thread.start(nullptr));
    thread.release();
    ASSERT_TRUE(thread.join());
    EXPECT_EQ(thread.runs.load(), 1);
    // Once joined the object may run again.
    thread.released = false;
    ASSERT_TRUE(thread.start(nullptr));
    thread.release();
    ASSERT_TRUE(thread.join());
    EXPECT_EQ(thread.runs.load(), 2);
}

TEST(OSThreadTest, JoinWithoutStartFails) {
    RecordingThread thread;
    EXPECT_FALSE(thread.join());
}

// A thread whose run deletes its own object: the process goes on and the handle does not join itself.
class SelfDeletingThread : public OSThread {
public:
    explicit SelfDeletingThread(std::atomic<bool>& done) : m_done(done) {}
    void* run(void*) override {
        std::atomic<bool>& done = m_done;
        delete this;
        done = true;
        return nullptr;
    }

private:
    std::atomic<bool>& m_done;
};

TEST(OSThreadTest, DestroyingAThreadObjectNeverTerminatesTheProcess) {
    // Not joined by its owner: the destructor joins.
    auto* held = new HeldThread;
    ASSERT_TRUE(held->start(nullptr));
    held->release();
    delete held;

    std::atomic<bool> done{false};
    auto* self = new SelfDeletingThread(done);
    ASSERT_TRUE(self->start(nullptr));
    while (!done) std::this_thread::yield();
}

TEST(ZyThreadTest, RefusesAMissingEntryAndASecondThreadBeforeJoin) {
    ZyThread handle;
    EXPECT_FALSE(handle.createThread(nullptr, nullptr));
    std::atomic<bool> go{false};
    auto wait = [](void* flag) -> void* {
        while (!static_cast<std::atomic<bool>*>(flag)->load()) std::this_thread::yield();
        return flag;
    };
    ASSERT_TRUE(handle.createThread(wait, &go));
    EXPECT_TRUE(handle.isJoinable());
    EXPECT_FALSE(handle.createThread(wait, &go));
    go = true;
    void* result = nullptr;
    ASSERT_TRUE(handle.join(&result));
    EXPECT_EQ(result, &go);
    EXPECT_FALSE(handle.join());
}

TEST(ThreadIdTest, IdsAreKernelIdsAndDistinctAmongLiveThreads) {
    EXPECT_EQ(GetCurrentThreadId(), static_cast<int32_t>(::syscall(SYS_gettid)));
    constexpr int kThreads = 32;
    std::mutex mutex;
    std::set<int32_t> ids;
    std::barrier allAlive(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            const int32_t id = GetCurrentThreadId();
            EXPECT_EQ(id, GetCurrentThreadId());
            {
                std::lock_guard<std::mutex> lock(mutex);
                ids.insert(id);
            }
            allAlive.arrive_and_wait();  // nobody ends before every id is taken
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(ids.size(), static_cast<size_t>(kThreads));
    EXPECT_EQ(ids.count(0), 0u);
    EXPECT_EQ(ids.count(GetCurrentThreadId()), 0u);
}

TEST(SessionPortTest, SetTypeReplacesTheTypeAndKeepsThePorts) {
    CSessionPort port(0, 0);
    EXPECT_EQ(port.GetType(), CSessionPort::SessType_Unset);
    port.SetType(static_cast<CSessionPort::SessType_e>(4));
    EXPECT_EQ(port.GetType(), CSessionPort::SessType_MessageService);
    EXPECT_EQ(port.GetPort(), 0);
    EXPECT_EQ(port.GetSecondPort(), 0);
}

TEST(SessionPortTest, TwoPortsAreTheServicePortsNotItsType) {
    // An on-demand instance's two ports: neither may be taken for the session type.
    CSessionPort port(40123, 8400);
    EXPECT_EQ(port.GetType(), CSessionPort::SessType_Unset);
    EXPECT_EQ(port.GetPort(), 40123);
    EXPECT_EQ(port.GetSecondPort(), 8400);
    port.SetType(CSessionPort::SessType_MessageService);
    EXPECT_EQ(port.GetPort(), 40123);
    EXPECT_EQ(port.GetSecondPort(), 8400);
}

}  // namespace
