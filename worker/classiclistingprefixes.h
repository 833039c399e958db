// CClassicListingPrefixes: what paged classic browses learnt of a media agent's listing, so that the
// next page need not ask the agent for every entry before it again. A classic agent pages by its own
// entries, while the caller's pages count the items it gets (an entry of unknown type gives the items of
// its nested browse, an entry already answered none); the item an entry starts with is known only from
// the entries before it. Process-wide; any thread (one lock). Knowledge is dropped after a few minutes.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/threads/hubclock.h"
#include "platform/threads/hubmutex.h"
#include "platform/threads/threadannotations.h"

class CClassicListingPrefixes {
public:
    // Where to start a page whose first item is `skip` (counted from 0): the entry holding that item,
    // or the first entry not yet known, and the items of the entries before it.
    struct TStart {
        uint64_t entry = 0;
        uint64_t itemsBefore = 0;
    };

    static CClassicListingPrefixes& instance();
    // What was learnt is forgotten on `clock`.
    explicit CClassicListingPrefixes(const CHubClock& clock = CHubClock::real()) : m_clock(clock) {}

    TStart locate(const std::string& listing, uint64_t skip);
    // The items each entry from `firstEntry` on gave, in order (entries already known are skipped; a
    // start past what is known teaches nothing).
    void learn(const std::string& listing, uint64_t firstEntry, const std::vector<uint64_t>& itemsPerEntry);

    static constexpr size_t kMaxListings = 256;
    static constexpr size_t kMaxIrregularEntries = 100000;  // per listing
    static constexpr std::chrono::seconds kKeptFor{300};

private:
    struct TPrefix {
        uint64_t entries = 0;  // entries 0 .. entries-1 are known
        // The known entries that gave other than one item, by position, with the items they gave.
        std::map<uint64_t, uint64_t> irregular;
        std::chrono::steady_clock::time_point learnt;
    };
    void dropStale(std::chrono::steady_clock::time_point now) REQUIRES(m_mutex);

    const CHubClock& m_clock;
    CHubMutex m_mutex;
    std::map<std::string, TPrefix> m_listings GUARDED_BY(m_mutex);
};
