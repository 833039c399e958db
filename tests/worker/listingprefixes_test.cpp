// What paged classic browses learnt of a listing is kept for its time on a clock the test moves, and
// forgotten once that time has passed.
#include <gtest/gtest.h>

#include "worker/classiclistingprefixes.h"

namespace {

TEST(ClockExpiry, ListingPrefixesAreForgottenPastTheirTimeNotBefore) {
    using namespace std::chrono_literals;
    CHubManualClock clock;
    CClassicListingPrefixes prefixes(clock);
    // Entry 1 gave three items: item 4 is entry 2's, with four items before it.
    prefixes.learn("agent:/dir", 0, {1, 3, 1});
    prefixes.learn("agent:/other", 0, {2});
    auto located = [&](const std::string& listing, uint64_t skip) {
        const CClassicListingPrefixes::TStart start = prefixes.locate(listing, skip);
        return std::make_pair(start.entry, start.itemsBefore);
    };
    EXPECT_EQ(located("agent:/dir", 4), std::make_pair(uint64_t{2}, uint64_t{4}));

    clock.advance(CClassicListingPrefixes::kKeptFor - 1s);
    prefixes.learn("agent:/other", 1, {5});  // learning again keeps that listing longer
    clock.advance(1s);
    EXPECT_EQ(located("agent:/dir", 4), std::make_pair(uint64_t{2}, uint64_t{4}));  // at its time: kept

    clock.advance(1ms);
    EXPECT_EQ(located("agent:/dir", 4), std::make_pair(uint64_t{0}, uint64_t{0}));  // past it: forgotten
    EXPECT_EQ(located("agent:/other", 3), std::make_pair(uint64_t{1}, uint64_t{2}));
}

}  // namespace
