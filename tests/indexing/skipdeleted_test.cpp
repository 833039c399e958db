// The switch that skips deleted V1 subclients is read once per process: workers reaching it at the same
// moment all see the one value read, and a later change of the parameter is not seen. Its own program,
// since the first read of the process decides.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "indexing/indexinginfo.h"
#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdb/seed_familiesb.h"
#include "platform/log/evdebug.h"
#include "tests/platform/db/tempdir.h"

TEST(SkipDeletedV1Subclients, ReadOnceWhateverTheConcurrencyOrLaterChanges) {
    TempDir dir;
    EvDebugFileInstance::setLogDirectory(dir.path());
    hubdb::HubDbSeed seed(dir.file("hub.db"));
    hubdb::FamiliesBSeed params(seed);
    params.setGlobalParam("IDX_UPGRADE_SKIP_DELETED_V1_SUBCLIENTS", "1", 1700000000);
    ASSERT_TRUE(params.ok()) << params.error();
    std::string error;
    ASSERT_EQ(hubdb::openHubDatabase(seed.path(), &error), zydb::DB_OK) << error;

    std::atomic<bool> go{false};
    std::atomic<int> on{0};
    std::vector<std::thread> workers;
    for (int n = 0; n < 8; ++n)
        workers.emplace_back([&] {
            while (!go.load()) std::this_thread::yield();
            if (skipDeletedV1Subclients()) ++on;
        });
    go.store(true);
    for (std::thread& t : workers) t.join();
    EXPECT_EQ(on.load(), 8);

    params.setGlobalParam("IDX_UPGRADE_SKIP_DELETED_V1_SUBCLIENTS", "0", 1700000100);
    EXPECT_TRUE(skipDeletedV1Subclients());
    zydb::CDbEnv::close();
    EvDebugFileInstance::setLogDirectory("");
}
