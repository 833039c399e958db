// The media agent's kept database connections: lent one thread at a time, kept while in use, and closed
// once idle for their limit, though nobody asks again (an idle media agent gives back what a burst held).
#include "tools/mediaagent/keptconnections.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

namespace {

using mediaagent::CKeptConnections;

std::atomic<int> g_open{0};

struct TConnection {
    TConnection() { ++g_open; }
    ~TConnection() { --g_open; }
};

bool eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 6000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

TEST(KeptConnections, IdleConnectionsCloseAtTheirLimitAndALentOneStays) {
    CHubManualClock clock;
    {
        CKeptConnections<TConnection> kept(clock);
        int opened = 0;
        auto open = [&] {
            ++opened;
            return std::make_unique<TConnection>();
        };
        {
            auto a = kept.lend("index", open);
            auto b = kept.lend("index", open);
            auto c = kept.lend("other", open);
            ASSERT_TRUE(a && b && c);
        }
        EXPECT_EQ(opened, 3);
        EXPECT_EQ(kept.idleCount("index"), 2u);
        // Lent again before the limit: the same connection, no new open; back 20 s later, it counts afresh.
        clock.advance(std::chrono::seconds(20));
        auto held = kept.lend("index", open);
        EXPECT_EQ(opened, 3);
        held = {};
        // At 29 s the sweeper looks (twice: it has come back after what it did) and closes nothing.
        clock.advance(std::chrono::seconds(9));
        ASSERT_TRUE(clock.waitForReads(2));
        EXPECT_EQ(g_open.load(), 3);
        // At 30 s the two left idle since the start close; the one given back at 20 s stays until 50 s.
        auto lentThrough = kept.lend("other", open);
        clock.advance(std::chrono::seconds(1));
        EXPECT_TRUE(eventually([&] { return kept.idleCount("index") == 1; }));
        EXPECT_EQ(g_open.load(), 2);  // the one lent is not closed, however long it is out
        lentThrough = {};
        clock.advance(std::chrono::seconds(30));
        EXPECT_TRUE(eventually([&] { return g_open.load() == 0; }));
        EXPECT_EQ(kept.idleCount("index"), 0u);
        EXPECT_EQ(kept.idleCount("other"), 0u);
        // Once closed, a lend opens a fresh one.
        auto fresh = kept.lend("index", open);
        EXPECT_EQ(opened, 4);
    }
    EXPECT_EQ(g_open.load(), 0);
}

}  // namespace
