// Which peers are the infrastructure, read from a seeded Hubmaster database again at most every refresh
// of a clock the test moves: a media agent added to the installation is known at that refresh, not
// before.
#include "platform/entities/infrastructurepeers.h"

#include <gtest/gtest.h>

#include "platform/hubdb/hubdbseed.h"
#include "platform/log/evdebug.h"
#include "tests/platform/db/tempdir.h"

namespace {

TEST(ClockExpiry, InfrastructurePeersAreReadAgainAtTheRefreshNotBefore) {
    using namespace std::chrono_literals;
    TempDir dir;
    EvDebugFileInstance::setLogDirectory(dir.path());
    {
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        seed.addMediaAgent({.name = "ma1"});
        ASSERT_TRUE(seed.ok()) << seed.error();
    }
    CHubManualClock clock;
    CInfrastructurePeers peers(dir.file("hub.db"), 10s, clock);
    EXPECT_TRUE(peers.contains("ma1"));
    EXPECT_FALSE(peers.contains("ma2"));
    {
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        seed.addMediaAgent({.name = "ma2"});
        ASSERT_TRUE(seed.ok()) << seed.error();
    }
    clock.advance(9s);
    EXPECT_FALSE(peers.contains("ma2"));
    clock.advance(1s);
    EXPECT_TRUE(peers.contains("ma2"));
    EXPECT_TRUE(peers.contains("ma1"));
    EvDebugFileInstance::setLogDirectory("");
}

}  // namespace
