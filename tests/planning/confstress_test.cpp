// Many threads open, borrow, release and delete the records of a few browse sessions while another
// ages them, as the controller does: every open either gets a record of its own or fails, and at the
// end nothing is referenced and nothing is left. Run under the sanitizers for use after free, leaks
// and races.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "planning/configuration.h"
#include "planning/confmgr.h"
#include "planning/confrecord.h"
#include "tests/planning/planningworld.h"

namespace {

class ConfStress : public PlanningWorld {};

TEST_F(ConfStress, OpenBorrowReleaseDeleteWhileAgeing) {
    constexpr int kSessions = 3;
    constexpr int kOwners = 6;
    constexpr int kBorrowers = 4;
    constexpr int kRounds = 60;
    cache->setConflictWait(400, 2);

    std::atomic<bool> stop{false};
    std::atomic<int> opened{0};
    std::atomic<int> inside[kSessions] = {};  // owners holding a record of the session at once
    std::atomic<int> overlaps{0};
    std::vector<std::thread> threads;

    for (int o = 0; o < kOwners; ++o) {
        threads.emplace_back([&, o] {
            std::mt19937 random(static_cast<unsigned>(o));
            for (int r = 0; r < kRounds; ++r) {
                const int s = static_cast<int>(random() % kSessions);
                auto task = fileTask("session-" + std::to_string(s), 3 + s);
                bool flag = false;
                TConfError error;
                const std::string id = cache->openConfRef(task.get(), flag, error);
                if (id.empty()) continue;
                ++opened;
                if (inside[s].fetch_add(1) != 0) ++overlaps;
                CConfRecord* record = cache->getConfRec(id, false);
                if (record) {
                    record->insertWorkerInConf(std::to_string(o));
                    record->getConfiguration()->isSuperBrowse();
                    record->removeWorkerFromConf(std::to_string(o));
                }
                inside[s].fetch_sub(1);
                if (random() % 4 != 0) {
                    cache->closeConfRef(id);
                    cache->deleteConfRec(id);
                } else {
                    cache->closeConfRef(id);  // left for the next opener or the ageing
                }
            }
        });
    }
    for (int b = 0; b < kBorrowers; ++b) {
        threads.emplace_back([&, b] {
            std::mt19937 random(static_cast<unsigned>(100 + b));
            while (!stop.load()) {
                const std::string id = "session-" + std::to_string(random() % kSessions);
                if (CConfRecordRef record = cache->holdConfRec(id)) {
                    record->getAuthToken();
                    record->setFilterCheck(record->getFilterCheck());
                    record->getWorkersToMaMap();
                }
                if (random() % 8 == 0) cache->deleteConfRec(id);
                std::this_thread::yield();
            }
        });
    }
    std::thread ager([&] {
        std::mt19937 random(7);
        while (!stop.load()) {
            cache->addTime(static_cast<unsigned>(random() % (2 * CConfRecord::kIdleLimitSeconds)));
            std::this_thread::yield();
        }
    });

    for (int o = 0; o < kOwners; ++o) threads[static_cast<size_t>(o)].join();
    stop = true;
    for (size_t t = kOwners; t < threads.size(); ++t) threads[t].join();
    ager.join();

    EXPECT_GT(opened.load(), kOwners * kRounds / 2) << opened.load();
    EXPECT_EQ(overlaps.load(), 0);  // a session's record is never shared by two owners
    for (int s = 0; s < kSessions; ++s) {
        if (CConfRecord* record = cache->getConfRec("session-" + std::to_string(s), false)) {
            EXPECT_EQ(record->getRefCount(), 0u);
        }
    }
    cache->addTime(CConfRecord::kIdleLimitSeconds);
    EXPECT_EQ(cache->getRecordCount(), 0u);
}

}  // namespace
