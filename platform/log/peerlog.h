// Lines that an outsider causes: while a thread works for a caller outside the infrastructure (a network
// callback of an anonymous caller or of a client machine), every line it logs is counted per caller and
// line format, so that no outsider can flush the log of what happened before.
// Callers without a certificate whose token was not accepted (none shown, or refused) are counted by
// address, past a burst in a window. Only the first such addresses of a minute are counted on their own;
// the others are one caller, the crowd, so what a crowd of addresses writes a minute is bounded whatever
// its size; and all of them together spend one share of the log's bytes (every byte their lines put in the
// file, the notes of lines left out included): a quarter of what the log keeps (its rotated files
// together) an hour, so the rotated files outlast an hour of the worst crowd.
// A client machine (its name proven by its certificate) and a user whose token was accepted are callers
// of their own that no crowd stands for: each has counts of its own over a minute, of each kind of line
// what an address may write and up to ten times as much from a share of its own of the log's bytes (as
// big as the crowd's), so that its lines at the rates of its work are all written whoever else calls, a
// flood of some of its kinds of lines does not take the others', and none of them alone floods the log.
// A line left out is said on the next line written for its caller, whatever that line is. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/threads/hubclock.h"

namespace zylog {

// Tells, for the message the calling thread serves, whether the caller's token was accepted, and for which
// user: read at each line, since a token is judged in the middle of the work (platform/net's token check
// is where it is known).
using TTokenAccepted = bool (*)(int& userId);

// Marks the calling thread as working for `peer` (a name its certificate proved, `proven`, or an address;
// "" for none) until the scope ends; `accepted` (may be null) tells whether its token was accepted. Scopes
// nest: the inner one's caller is the one counted.
class CPeerScope {
public:
    CPeerScope(const std::string& peer, bool proven, TTokenAccepted accepted = nullptr);
    ~CPeerScope();
    CPeerScope(const CPeerScope&) = delete;
    CPeerScope& operator=(const CPeerScope&) = delete;

private:
    std::string m_previous;
    bool m_previousProven;
    TTokenAccepted m_previousAccepted;
};

// The peer the calling thread works for ("" when none), and whether its name is proven.
const std::string& currentPeer();
bool currentPeerProven();

// Who a line is caused by.
struct TPeerCaller {
    const std::string& peer;     // its proven name, else its address
    bool proven = false;         // a client machine
    bool tokenAccepted = false;  // a caller without a certificate whose user's token was accepted
    int userId = 0;              // that user
};
// The caller the calling thread works for now (its peer "" when none).
TPeerCaller currentCaller();

// Addresses a minute counted on their own.
inline constexpr unsigned kDefaultPeersAMinute = 64;

// The most one line caused by a peer carries: the rest is cut, and the line says how much.
inline constexpr size_t kMaxPeerLineBytes = 2048;

// How many lines of its caller were left out before one that is written, and what the line says of them.
struct TPeerLinesLeftOut {
    uint64_t ofPeer = 0;   // by the counts of its caller
    uint64_t ofCrowd = 0;  // by the crowd's counts (its caller is the crowd)
    uint64_t ofShare = 0;  // because its caller's share of the log (the anonymous callers' one) was spent
    std::string notes;     // added at the end of the line's text (empty when nothing was left out)
};

// The bytes a second each share of outsiders' lines may spend when the log keeps `keptBytes` (its rotated
// files together); ten seconds of the crowd's share (a minute of a caller's own, at least four of the
// longest lines) may be spent at once.
uint64_t peerShareBytesPerSecond(uint64_t keptBytes);

// Whether a line of `format` caused by `caller` may be written at `now` (the writing log's clock), the log
// keeping `keptBytes`: a burst of lines, and of bytes (the burst's lines at a quarter of their bound
// each), per window, within its share of the log. `bytes` is all the line puts in the file (its date, ids,
// tag and text); `leftOut` tells what of its caller was left out since its last line written, and the notes
// that say so, which the line carries: its share spends both.
bool admitPeerLine(const TPeerCaller& caller, const void* format, size_t bytes, uint64_t keptBytes,
                   CHubClock::Steady::time_point now, TPeerLinesLeftOut& leftOut);
// The same for a caller whose token was not accepted.
inline bool admitPeerLine(const std::string& peer, bool proven, const void* format, size_t bytes,
                          uint64_t keptBytes, CHubClock::Steady::time_point now, TPeerLinesLeftOut& leftOut) {
    return admitPeerLine(TPeerCaller{peer, proven}, format, bytes, keptBytes, now, leftOut);
}

// For tests: the burst allowed per window (lines), the window (seconds) and the addresses a minute counted
// on their own; the counts and the shares start afresh.
void setPeerLineLimits(unsigned burst, unsigned windowSeconds, unsigned peersAMinute = kDefaultPeersAMinute);

}  // namespace zylog
