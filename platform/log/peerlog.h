// Lines that an outsider causes: while a thread works for a peer outside the infrastructure (a network
// callback of an anonymous caller or of a client machine), every line it logs is counted per peer (its
// proven name, else its address) and line format.
// Past a burst in a window such lines are counted, not written, and the next one written says how many
// were left out, so no outsider can flush the log of what happened before. Only the first peers of a
// minute are counted on their own; the others share one count, so what a crowd of addresses writes a
// minute is bounded whatever its size, and the next line of theirs written says how many were left
// out. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/threads/hubclock.h"

namespace zylog {

// Marks the calling thread as working for `peer` (a name or an address; "" for none) until the scope
// ends; scopes nest.
class CPeerScope {
public:
    explicit CPeerScope(const std::string& peer);
    ~CPeerScope();
    CPeerScope(const CPeerScope&) = delete;
    CPeerScope& operator=(const CPeerScope&) = delete;

private:
    std::string m_previous;
};

// The peer the calling thread works for ("" when none).
const std::string& currentPeer();

// Peers a minute counted on their own.
inline constexpr unsigned kDefaultPeersAMinute = 64;

// The most one line caused by a peer carries: the rest is cut, and the line says how much.
inline constexpr size_t kMaxPeerLineBytes = 2048;

// Whether a line of `format` and `bytes` caused by `peer` may be written at `now` (the writing log's
// clock): a burst of lines, and of bytes (the burst's lines at a quarter of their bound each), per
// window. `suppressed` tells how many of its kind were left out since the last one written,
// `crowdSuppressed` the same when the peer is one of a crowd that shares one count.
bool admitPeerLine(const std::string& peer, const void* format, size_t bytes,
                   CHubClock::Steady::time_point now, uint64_t& suppressed, uint64_t& crowdSuppressed);

// For tests: the burst allowed per window (lines), the window (seconds) and the peers a minute counted
// on their own; the counts start afresh.
void setPeerLineLimits(unsigned burst, unsigned windowSeconds, unsigned peersAMinute = kDefaultPeersAMinute);

}  // namespace zylog
