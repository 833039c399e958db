#include "platform/db/sqlitebusy.h"

#include <sqlite3.h>

#include <cstdint>
#include <iterator>

#include "platform/waits/waitpoint.h"

namespace zydb {

namespace {

// SQLite's own steps: short sleeps first, then a tenth of a second each.
constexpr int kDelays[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
constexpr int kSteps = static_cast<int>(std::size(kDelays));

// Milliseconds slept before the `count`th sleep.
int sleptBefore(int count) {
    int total = 0;
    for (int i = 0; i < count && i < kSteps; ++i) total += kDelays[i];
    if (count > kSteps) total += (count - kSteps) * kDelays[kSteps - 1];
    return total;
}

int busy(void* limit, int count) {
    const int timeout = static_cast<int>(reinterpret_cast<intptr_t>(limit));
    const int prior = sleptBefore(count);
    int delay = kDelays[count < kSteps ? count : kSteps - 1];
    if (prior + delay > timeout) {
        delay = timeout - prior;
        if (delay <= 0) return 0;
    }
    hubwait::beforeWait();
    sqlite3_sleep(delay);
    return 1;
}

}  // namespace

void waitWhenBusy(sqlite3* db, int milliseconds) {
    if (milliseconds <= 0) {
        sqlite3_busy_handler(db, nullptr, nullptr);
        return;
    }
    sqlite3_busy_handler(db, busy, reinterpret_cast<void*>(static_cast<intptr_t>(milliseconds)));
}

}  // namespace zydb
