#include "platform/log/peerlog.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <string_view>
#include <utility>

#include "platform/threads/hubmutex.h"

namespace zylog {
namespace {

using Clock = CHubClock::Steady;

// Keys kept at most: a crowd of addresses cannot grow the table without bound.
constexpr size_t kMaxKeys = 4096;

struct TCount {
    Clock::time_point windowStart;
    unsigned written = 0;
    uint64_t bytes = 0;  // written this window
    uint64_t suppressed = 0;
};

// Where the lines of peers go once the table is full of windows that have not ended: one count for all
// of them, so a crowd of addresses shares one burst instead of each getting a fresh one.
constexpr const char* kOtherPeers = "(other peers)";

// The minute in which only so many peers get counts of their own.
constexpr std::chrono::seconds kPeerMinute{60};

// The hour a share of outsiders' lines must not outlast the log in: a quarter of what the log keeps, for
// each of the two shares.
constexpr uint64_t kShareHourSeconds = 3600;
constexpr uint64_t kSharesOfTheLog = 4;
// How much of a share may be spent at once: this many seconds of it.
constexpr uint64_t kShareBurstSeconds = 10;

// The bytes one share may still spend, refilled at its rate as time passes.
struct TShare {
    double available = -1;  // -1: full (not used yet)
    Clock::time_point refilled;

    // True when `bytes` fit at `now` (what it refused since it last admitted one starts afresh).
    bool spend(uint64_t bytes, uint64_t rate, Clock::time_point now) {
        // A small log's share still takes its longest lines, a few at once.
        const double capacity =
            static_cast<double>(std::max<uint64_t>(rate * kShareBurstSeconds, 4 * kMaxPeerLineBytes));
        if (available < 0) {
            available = capacity;
        } else if (now > refilled) {
            available = std::min(capacity, available + std::chrono::duration<double>(now - refilled).count() *
                                                           static_cast<double>(rate));
        }
        refilled = std::max(refilled, now);
        if (available < static_cast<double>(bytes)) {
            ++refused;
            return false;
        }
        available -= static_cast<double>(bytes);
        refused = 0;
        return true;
    }
    uint64_t refused = 0;  // lines it refused since the last one it admitted
};

// A count's key: the line's kind (its format) and the peer (or kOtherPeers). Ordered by kind first, so
// that a look-up compares texts only among the counts of its own kind; looked up without a copy of the peer.
struct TKey {
    const void* format;
    std::string peer;
};
struct TKeyView {
    const void* format;
    std::string_view peer;
};
struct TKeyOrder {
    using is_transparent = void;
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
        if (a.format != b.format) return std::less<const void*>()(a.format, b.format);
        return std::string_view(a.peer) < std::string_view(b.peer);
    }
};

struct TFilter {
    CHubMutex mutex;
    TShare anonymous GUARDED_BY(mutex), proven GUARDED_BY(mutex);
    unsigned burst GUARDED_BY(mutex) = 100;
    std::chrono::seconds window GUARDED_BY(mutex){10};
    unsigned peersAMinute GUARDED_BY(mutex) = kDefaultPeersAMinute;
    Clock::time_point minuteStart GUARDED_BY(mutex);
    bool minuteStarted GUARDED_BY(mutex) = false;
    std::set<std::string> minutePeers GUARDED_BY(mutex);  // the peers counted on their own this minute
    std::string lastPeer GUARDED_BY(mutex);  // the last of them (a peer's lines come in runs): "" for none
    std::map<TKey, TCount, TKeyOrder> counts GUARDED_BY(mutex);
};

TFilter& filter() {
    static TFilter f;
    return f;
}

// What a line written says of the lines left out before it.
std::string notesOf(const TPeerLinesLeftOut& leftOut, const std::string& peer, bool proven) {
    std::string notes;
    if (leftOut.ofPeer > 0)
        notes += " [" + std::to_string(leftOut.ofPeer) + " more lines like this one caused by " + peer +
                 " were not written]";
    if (leftOut.ofCrowd > 0)
        notes += " [" + std::to_string(leftOut.ofCrowd) +
                 " more lines like this one caused by a crowd of callers outside the infrastructure were "
                 "not written]";
    if (leftOut.ofShare > 0)
        notes += " [" + std::to_string(leftOut.ofShare) + " more lines caused by " +
                 (proven ? "client machines" : "callers without a certificate") +
                 " were not written: their share of the log was spent]";
    return notes;
}

thread_local std::string t_peer;
thread_local bool t_proven = false;

}  // namespace

CPeerScope::CPeerScope(const std::string& peer, bool proven)
    : m_previous(std::move(t_peer)), m_previousProven(t_proven) {
    t_peer = peer;
    t_proven = proven;
}

CPeerScope::~CPeerScope() {
    t_peer = std::move(m_previous);
    t_proven = m_previousProven;
}

const std::string& currentPeer() {
    return t_peer;
}

bool currentPeerProven() {
    return t_proven;
}

uint64_t peerShareBytesPerSecond(uint64_t keptBytes) {
    return std::max<uint64_t>(1, keptBytes / kSharesOfTheLog / kShareHourSeconds);
}

bool admitPeerLine(const std::string& peer, bool proven, const void* format, size_t bytes, uint64_t keptBytes,
                   Clock::time_point now, TPeerLinesLeftOut& leftOut) {
    leftOut = TPeerLinesLeftOut();
    uint64_t& suppressed = leftOut.ofPeer;
    uint64_t& crowdSuppressed = leftOut.ofCrowd;
    TFilter& f = filter();
    CHubMutexLock lock(f.mutex);
    // A crowd of addresses cannot each get a burst: past the first peers of a minute, the others share
    // one count, so the log a minute holds is bounded whatever the number of peers.
    if (!f.minuteStarted || now - f.minuteStart >= kPeerMinute) {
        f.minuteStarted = true;
        f.minuteStart = now;
        f.minutePeers.clear();
        f.lastPeer.clear();
    }
    bool crowd = false;
    if (peer.empty() || peer != f.lastPeer) {
        if (f.minutePeers.size() < f.peersAMinute)
            f.minutePeers.insert(peer);
        else
            crowd = !f.minutePeers.contains(peer);
        if (!crowd) f.lastPeer = peer;
    }
    TKeyView key{format, crowd ? std::string_view(kOtherPeers) : std::string_view(peer)};
    auto it = f.counts.find(key);
    if (it == f.counts.end()) {
        if (f.counts.size() >= kMaxKeys) {
            // Windows that have ended count nothing any more. Windows still running are kept: forgetting
            // one would give its peer a fresh burst.
            const std::chrono::seconds window = f.window;
            std::erase_if(f.counts, [&](const auto& e) { return now - e.second.windowStart >= window; });
            crowd = crowd || f.counts.size() >= kMaxKeys;
            if (crowd) key.peer = kOtherPeers;
            it = f.counts.find(key);
        }
        if (it == f.counts.end())
            it = f.counts.emplace(TKey{format, std::string(key.peer)}, TCount{now, 0, 0, 0}).first;
    }
    TCount& c = it->second;
    if (now - c.windowStart >= f.window) {
        c.windowStart = now;
        c.written = 0;
        c.bytes = 0;
    }
    // Long lines spend the burst sooner: a peer's window holds at most as many bytes as a quarter of
    // its lines at their longest.
    const uint64_t byteBurst = static_cast<uint64_t>(f.burst) * kMaxPeerLineBytes / 4;
    if (c.written >= f.burst || (c.written > 0 && c.bytes + bytes > byteBurst)) {
        ++c.suppressed;
        return false;
    }
    // Within its own counts, the line still spends its share of the log, with what it says of the lines
    // left out: a crowd of peers, each within its counts, cannot together write more than the share.
    TShare& share = proven ? f.proven : f.anonymous;
    (crowd ? crowdSuppressed : suppressed) = c.suppressed;
    leftOut.ofShare = share.refused;
    leftOut.notes = notesOf(leftOut, peer, proven);
    if (!share.spend(bytes + leftOut.notes.size(), peerShareBytesPerSecond(keptBytes), now)) {
        leftOut = TPeerLinesLeftOut();
        return false;
    }
    ++c.written;
    c.bytes += bytes;
    c.suppressed = 0;
    return true;
}

void setPeerLineLimits(unsigned burst, unsigned windowSeconds, unsigned peersAMinute) {
    TFilter& f = filter();
    CHubMutexLock lock(f.mutex);
    f.burst = burst;
    f.window = std::chrono::seconds(windowSeconds);
    f.peersAMinute = peersAMinute;
    f.minuteStarted = false;
    f.minutePeers.clear();
    f.lastPeer.clear();
    f.counts.clear();
    f.anonymous = TShare();
    f.proven = TShare();
}

}  // namespace zylog
