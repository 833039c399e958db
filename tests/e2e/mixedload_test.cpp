// The whole system under the mixed load of a busy site: 32 consoles of this process taking every road in
// turn (every operation on both roads, the classic media agent, the application roads, a virtual machine
// by its hypervisor's GUID, and stop loops of browses held in flight) against the host and the media agents
// as processes, on a machine as busy as the suite makes it. Every command is answered as its road answers,
// and no connection fails without a fault: the host and the agents neither cut a console off nor refuse it.
// The long run of the same load is bench/service's bench_mixedload.
#include "tests/support/process/mixedload.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/platform/db/tempdir.h"

namespace {

// Sanitized builds run fewer of the same commands.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long long kRounds = 1;
#else
constexpr long long kRounds = 3;
#endif
constexpr int kConsoles = 32;

}  // namespace

TEST(MixedLoad, ThirtyTwoConsolesOnEveryRoadGetNoTransportError) {
    TempDir dir;
    hubtest::CMixedLoad load(hubtest::binaryDir(), dir.path());
    std::string why;
    ASSERT_TRUE(load.ready(why)) << why;
    const long long commands = kRounds * kConsoles * static_cast<long long>(load.roads());
    // The limit only keeps a hang from holding the suite: the load takes seconds.
    const hubtest::TMixedLoadOutcome outcome =
        load.run(kConsoles, commands, std::chrono::steady_clock::now() + std::chrono::minutes(10));
    std::string errors;
    for (const std::string& e : outcome.firstErrors) errors += "\n  " + e;
    EXPECT_GE(outcome.commands, commands) << "the stop loops run two commands each";
    EXPECT_EQ(outcome.transportErrors, 0) << errors;
    EXPECT_EQ(outcome.serviceErrors, 0) << errors;
    EXPECT_EQ(outcome.answered, outcome.commands) << errors;
}
