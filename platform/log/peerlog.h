// Lines that an outsider causes: while a thread works for a peer outside the infrastructure (a network
// callback of an anonymous caller or of a client machine), every line it logs is counted per peer (its
// proven name, else its address) and line format.
// Past a burst in a window such lines are counted, not written, and the next one written says how many
// were left out, so no outsider can flush the log of what happened before. Only the first peers of a
// minute are counted on their own; the others share one count, so what a crowd of addresses writes a
// minute is bounded whatever its size, and the next line of theirs written says how many were left
// out. Beyond those counts, all anonymous callers together spend one share of the log's bytes (every
// byte their lines put in the file, the notes of lines left out included), and all client machines
// (proven callers) another of the same size: each share is a quarter of what the log
// keeps (its rotated files together) an hour, so the rotated files outlast an hour of the worst crowd of
// both with half of them left for the rest. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/threads/hubclock.h"

namespace zylog {

// Marks the calling thread as working for `peer` (a name its certificate proved, `proven`, or an address;
// "" for none) until the scope ends; scopes nest.
class CPeerScope {
public:
    CPeerScope(const std::string& peer, bool proven);
    ~CPeerScope();
    CPeerScope(const CPeerScope&) = delete;
    CPeerScope& operator=(const CPeerScope&) = delete;

private:
    std::string m_previous;
    bool m_previousProven;
};

// The peer the calling thread works for ("" when none), and whether its name is proven.
const std::string& currentPeer();
bool currentPeerProven();

// Peers a minute counted on their own.
inline constexpr unsigned kDefaultPeersAMinute = 64;

// The most one line caused by a peer carries: the rest is cut, and the line says how much.
inline constexpr size_t kMaxPeerLineBytes = 2048;

// How many lines were left out before one that is written, and what the line says of them.
struct TPeerLinesLeftOut {
    uint64_t ofPeer = 0;   // of its kind, caused by its peer
    uint64_t ofCrowd = 0;  // of its kind, caused by a crowd that shares one count (its peer among them)
    uint64_t ofShare =
        0;              // of any kind, by the callers of its share (anonymous, or proven) once it was spent
    std::string notes;  // added at the end of the line's text (empty when nothing was left out)
};

// The bytes a second each share of outsiders' lines may spend when the log keeps `keptBytes` (its rotated
// files together); ten seconds of it (at least four of the longest lines) may be spent at once.
uint64_t peerShareBytesPerSecond(uint64_t keptBytes);

// Whether a line of `format` caused by `peer` (`proven`: a name its certificate proved) may be written at
// `now` (the writing log's clock), the log keeping `keptBytes`: a burst of lines, and of bytes (the burst's
// lines at a quarter of their bound each), per window, within its share of the log. `bytes` is all the
// line puts in the file (its date, ids, tag and text); `leftOut` tells what was left out since the last
// line written of each count, and the notes that say so, which the line carries: its share spends both.
bool admitPeerLine(const std::string& peer, bool proven, const void* format, size_t bytes, uint64_t keptBytes,
                   CHubClock::Steady::time_point now, TPeerLinesLeftOut& leftOut);

// For tests: the burst allowed per window (lines), the window (seconds) and the peers a minute counted
// on their own; the counts and the shares start afresh.
void setPeerLineLimits(unsigned burst, unsigned windowSeconds, unsigned peersAMinute = kDefaultPeersAMinute);

}  // namespace zylog
