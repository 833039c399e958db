#include "worker/classiclistingprefixes.h"

#include "platform/threads/hubclock.h"

CClassicListingPrefixes& CClassicListingPrefixes::instance() {
    static CClassicListingPrefixes prefixes;
    return prefixes;
}

void CClassicListingPrefixes::dropStale(std::chrono::steady_clock::time_point now) {
    for (auto it = m_listings.begin(); it != m_listings.end();)
        it = now - it->second.learnt > kKeptFor ? m_listings.erase(it) : std::next(it);
}

CClassicListingPrefixes::TStart CClassicListingPrefixes::locate(const std::string& listing, uint64_t skip) {
    CHubMutexLock lock(m_mutex);
    dropStale(m_clock.steadyNow());
    const auto found = m_listings.find(listing);
    if (found == m_listings.end()) return {};
    const TPrefix& p = found->second;
    // Items before entry e: e, plus what each irregular entry before it gave beyond one.
    int64_t offset = 0;
    for (const auto& [entry, items] : p.irregular) {
        const uint64_t before = entry + static_cast<uint64_t>(offset);
        if (before > skip) break;                           // the item is in a regular entry before this one
        if (before + items > skip) return {entry, before};  // the item is one this entry gives
        offset += static_cast<int64_t>(items) - 1;
    }
    const int64_t entry = static_cast<int64_t>(skip) - offset;
    if (entry < 0 || static_cast<uint64_t>(entry) > p.entries)
        return {p.entries, p.entries + static_cast<uint64_t>(offset)};
    return {static_cast<uint64_t>(entry), skip};
}

void CClassicListingPrefixes::learn(const std::string& listing, uint64_t firstEntry,
                                    const std::vector<uint64_t>& itemsPerEntry) {
    CHubMutexLock lock(m_mutex);
    const auto now = m_clock.steadyNow();
    dropStale(now);
    auto found = m_listings.find(listing);
    if (found == m_listings.end()) {
        if (firstEntry != 0 || itemsPerEntry.empty()) return;
        if (m_listings.size() >= kMaxListings) {
            auto oldest = m_listings.begin();
            for (auto it = m_listings.begin(); it != m_listings.end(); ++it)
                if (it->second.learnt < oldest->second.learnt) oldest = it;
            m_listings.erase(oldest);
        }
        found = m_listings.emplace(listing, TPrefix{}).first;
    }
    TPrefix& p = found->second;
    if (firstEntry > p.entries) return;
    for (uint64_t k = p.entries - firstEntry; k < itemsPerEntry.size(); ++k) {
        if (itemsPerEntry[k] != 1) {
            if (p.irregular.size() >= kMaxIrregularEntries) break;
            p.irregular[firstEntry + k] = itemsPerEntry[k];
        }
        p.entries = firstEntry + k + 1;
    }
    p.learnt = now;
}
