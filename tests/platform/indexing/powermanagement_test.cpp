// The wait for a power-managed media agent to come up, on a clock the test moves: its checks come an
// interval apart, and the wait ends at its limit, not before.
#include "platform/indexing/powermanagement.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "Db/Tbl/APP_ClientProp.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/entities/propertystore.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/log/evdebug.h"
#include "platform/net/zynet_directory.h"
#include "tests/platform/db/tempdir.h"

namespace {

TEST(ClockExpiry, APowerOnWaitEndsAtItsLimitNotBefore) {
    using namespace std::chrono_literals;
    TempDir dir;
    EvDebugFileInstance::setLogDirectory(dir.path());
    int agent = 0;
    {
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        agent = seed.addMediaAgent({.name = "vm-agent"});
        ASSERT_TRUE(seed.ok()) << seed.error();
    }
    ASSERT_EQ(hubdb::openHubDatabase(dir.file("hub.db")), zydb::DB_OK);
    ASSERT_EQ(
        zyent::writeProperty<APP_ClientProp>(nullptr, agent, I2::Utils::kPowerManagedProperty, 0, "1", 1), 0);
    std::ofstream(dir.file("registry.ini")) << "[" << I2::Utils::kPowerCheckSection << "]\n"
                                            << I2::Utils::kPowerCheckIntervalName << " = 20\n";
    ZYPlatformInfo::setRegistryPath(dir.file("registry.ini"));
    // Its listener does not answer (nothing listens on port 1).
    CZyNetDirectory::instance().registerClient("vm-agent", "127.0.0.1", 1, agent);

    // Three checks 20 s apart within 50 s: the second is the last that fits, and the wait ends with it.
    CHubManualClock clock;
    std::atomic<int> online{-1};  // -1 while waiting
    std::thread waiting([&] {
        bool powerOnSent = false;
        online = I2::Utils::IsPowerManagedVMOnline("vm-agent", powerOnSent, 3, 50, nullptr, clock) ? 1 : 0;
    });
    ASSERT_TRUE(clock.waitForReads(1));  // the limit is set from the clock as it stands
    clock.advance(20s);                  // the first check, then a wait for the second
    ASSERT_TRUE(clock.waitForReads(2));
    EXPECT_EQ(online.load(), -1);
    clock.advance(19s);
    ASSERT_TRUE(clock.waitForReads(2));
    EXPECT_EQ(online.load(), -1);
    clock.advance(1s);  // the second check; a third would come after the limit
    waiting.join();
    EXPECT_EQ(online.load(), 0);

    CZyNetDirectory::instance().unregisterClient("vm-agent");
    ZYPlatformInfo::setRegistryPath("");
    zydb::CDbEnv::close();
    EvDebugFileInstance::setLogDirectory("");
}

}  // namespace
