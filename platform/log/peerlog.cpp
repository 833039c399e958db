#include "platform/log/peerlog.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <map>
#include <set>
#include <string_view>
#include <utility>

#include "platform/threads/hubmutex.h"

namespace zylog {
namespace {

using Clock = CHubClock::Steady;

// Callers kept at most with counts of their own: a crowd of addresses cannot grow the table without bound.
// Client machines and users are never turned into the crowd for it: there are only so many of them.
constexpr size_t kMaxCallers = 4096;

// The crowd: addresses past the first of a minute (or past a full table), one caller with one count per
// kind of line, so that a crowd of addresses shares one burst instead of each getting a fresh one.
constexpr const char* kOtherPeers = "(other peers)";

// The minute in which only so many addresses get counts of their own.
constexpr std::chrono::seconds kPeerMinute{60};

// The hour a share of outsiders' lines must not outlast the log in: a quarter of what the log keeps.
constexpr uint64_t kShareHourSeconds = 3600;
constexpr uint64_t kSharesOfTheLog = 4;
// How much of a share may be spent at once: this many seconds of it. A caller of its own may spend a
// minute of its own share at once: a user's burst of commands comes together.
constexpr uint64_t kShareBurstSeconds = 10;
constexpr uint64_t kOwnShareBurstSeconds = 60;
// How much more a caller of its own may write of a kind of line than an address may, and over at least
// a minute (the lines of a user's burst of commands come in a few seconds).
constexpr unsigned kOwnBurstTimes = 10;

// The bytes one share may still spend, refilled at its rate as time passes.
struct TShare {
    double available = -1;  // -1: full (not used yet)
    Clock::time_point refilled;

    // A small log's share still takes its longest lines, a few at once.
    static double capacity(uint64_t rate, uint64_t seconds) {
        return static_cast<double>(std::max<uint64_t>(rate * seconds, 4 * kMaxPeerLineBytes));
    }
    double availableAt(uint64_t rate, uint64_t seconds, Clock::time_point now) const {
        const double most = capacity(rate, seconds);
        if (available < 0) return most;
        if (now <= refilled) return available;
        return std::min(most, available + std::chrono::duration<double>(now - refilled).count() *
                                              static_cast<double>(rate));
    }
    // True when `bytes` fit at `now`.
    bool spend(uint64_t bytes, uint64_t rate, uint64_t seconds, Clock::time_point now) {
        available = availableAt(rate, seconds, now);
        refilled = std::max(refilled, now);
        if (available < static_cast<double>(bytes)) return false;
        available -= static_cast<double>(bytes);
        return true;
    }
};

// One kind of line (its format) of one caller, in its window.
struct TCount {
    Clock::time_point windowStart;
    unsigned written = 0;
    uint64_t bytes = 0;  // written this window
};

// A caller's key: what it is and the name it is counted by (its address, proven name or user id).
enum class EKind : uint8_t { Address, Machine, User };
struct TCallerKey {
    EKind kind;
    std::string name;
};
struct TCallerKeyView {
    EKind kind;
    std::string_view name;
};
struct TCallerKeyOrder {
    using is_transparent = void;
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
        if (a.kind != b.kind) return a.kind < b.kind;
        return std::string_view(a.name) < std::string_view(b.name);
    }
};

struct TCaller {
    std::map<const void*, TCount> counts;  // by kind of line
    TShare share;                          // its own (a client machine's, a user's)
    // Its lines left out since its last one written: by its counts, and because its share was spent; the
    // kind of all of them (null when of several).
    uint64_t leftOutByCount = 0;
    uint64_t leftOutByShare = 0;
    const void* leftOutKind = nullptr;

    bool owesNotes() const { return leftOutByCount + leftOutByShare > 0; }
    void leaveOut(const void* format, bool byShare) {
        leftOutKind = owesNotes() && leftOutKind != format ? nullptr : format;
        (byShare ? leftOutByShare : leftOutByCount) += 1;
    }
    // Takes over what `other` still has to say (its caller is no longer counted on its own).
    void takeNotes(const TCaller& other) {
        if (!other.owesNotes()) return;
        leftOutKind = owesNotes() && leftOutKind != other.leftOutKind ? nullptr : other.leftOutKind;
        leftOutByCount += other.leftOutByCount;
        leftOutByShare += other.leftOutByShare;
    }
};

struct TFilter {
    CHubMutex mutex;
    TShare anonymous GUARDED_BY(mutex);  // the share of every caller without a certificate or accepted token
    unsigned burst GUARDED_BY(mutex) = 100;
    std::chrono::seconds window GUARDED_BY(mutex){10};
    unsigned peersAMinute GUARDED_BY(mutex) = kDefaultPeersAMinute;
    Clock::time_point minuteStart GUARDED_BY(mutex);
    bool minuteStarted GUARDED_BY(mutex) = false;
    std::set<std::string> minutePeers GUARDED_BY(mutex);  // the addresses counted on their own this minute
    std::string lastPeer GUARDED_BY(mutex);  // the last of them (a peer's lines come in runs): "" for none
    std::map<TCallerKey, TCaller, TCallerKeyOrder> callers GUARDED_BY(mutex);
};

TFilter& filter() {
    static TFilter f;
    return f;
}

// What a line written says of its caller's lines left out before it.
std::string notesOf(const TCaller& c, const void* format, const std::string& who, bool crowd, bool own) {
    std::string notes;
    const char* like = c.leftOutKind == format ? " like this one" : "";
    if (c.leftOutByCount > 0)
        notes += " [" + std::to_string(c.leftOutByCount) + " more lines" + like + " caused by " +
                 (crowd ? std::string("a crowd of callers outside the infrastructure") : who) +
                 " were not written]";
    if (c.leftOutByShare > 0)
        notes += " [" + std::to_string(c.leftOutByShare) + " more lines" + like + " caused by " +
                 (crowd ? std::string("a crowd of callers outside the infrastructure") : who) +
                 (own ? " were not written: its share of the log was spent]"
                      : " were not written: the share of the log of callers without a certificate was "
                        "spent]");
    return notes;
}

// Whom the thread works for: one thread-local, found once for every line an outsider causes.
struct TWorkingFor {
    std::string peer;
    bool proven = false;
    TTokenAccepted accepted = nullptr;
};
thread_local TWorkingFor t_for;

}  // namespace

CPeerScope::CPeerScope(const std::string& peer, bool proven, TTokenAccepted accepted) {
    TWorkingFor& now = t_for;
    m_previous = std::move(now.peer);
    m_previousProven = now.proven;
    m_previousAccepted = now.accepted;
    now.peer = peer;
    now.proven = proven;
    now.accepted = accepted;
}

CPeerScope::~CPeerScope() {
    TWorkingFor& now = t_for;
    now.peer = std::move(m_previous);
    now.proven = m_previousProven;
    now.accepted = m_previousAccepted;
}

const std::string& currentPeer() {
    return t_for.peer;
}

bool currentPeerProven() {
    return t_for.proven;
}

TPeerCaller currentCaller() {
    const TWorkingFor& now = t_for;
    TPeerCaller caller{now.peer, now.proven};
    if (!now.proven && now.accepted != nullptr && !now.peer.empty())
        caller.tokenAccepted = now.accepted(caller.userId);
    return caller;
}

uint64_t peerShareBytesPerSecond(uint64_t keptBytes) {
    return std::max<uint64_t>(1, keptBytes / kSharesOfTheLog / kShareHourSeconds);
}

bool admitPeerLine(const TPeerCaller& caller, const void* format, size_t bytes, uint64_t keptBytes,
                   Clock::time_point now, TPeerLinesLeftOut& leftOut) {
    leftOut = TPeerLinesLeftOut();
    TFilter& f = filter();
    CHubMutexLock lock(f.mutex);
    // A client machine and a user are callers of their own; an address may be one of the crowd.
    const bool own = caller.proven || caller.tokenAccepted;
    char userId[16];  // a user's key: its id
    const size_t userIdLength =
        caller.proven || !caller.tokenAccepted
            ? 0
            : static_cast<size_t>(std::to_chars(userId, userId + sizeof userId, caller.userId).ptr - userId);
    TCallerKeyView key{caller.proven          ? EKind::Machine
                       : caller.tokenAccepted ? EKind::User
                                              : EKind::Address,
                       caller.proven || !caller.tokenAccepted ? std::string_view(caller.peer)
                                                              : std::string_view(userId, userIdLength)};
    bool crowd = false;
    if (!own) {
        // A crowd of addresses cannot each get a burst: past the first addresses of a minute, the others
        // are one caller, so the log a minute holds is bounded whatever the number of addresses.
        if (!f.minuteStarted || now - f.minuteStart >= kPeerMinute) {
            f.minuteStarted = true;
            f.minuteStart = now;
            f.minutePeers.clear();
            f.lastPeer.clear();
        }
        if (caller.peer.empty() || caller.peer != f.lastPeer) {
            if (f.minutePeers.size() < f.peersAMinute)
                f.minutePeers.insert(caller.peer);
            else
                crowd = !f.minutePeers.contains(caller.peer);
            if (!crowd) f.lastPeer = caller.peer;
        }
        if (crowd) key.name = kOtherPeers;
    }
    const std::chrono::seconds window =
        own ? std::max<std::chrono::seconds>(f.window, kPeerMinute) : f.window;
    auto it = f.callers.find(key);
    if (it == f.callers.end()) {
        if (f.callers.size() >= kMaxCallers) {
            // Callers whose windows have all ended count nothing any more: forgotten, an address's notes
            // still owed passing to the crowd's. Windows still running are kept (forgetting one would
            // give its caller a fresh burst), and so is the share a caller of its own has spent.
            const uint64_t rate = peerShareBytesPerSecond(keptBytes);
            const std::chrono::seconds addressWindow = f.window;
            const std::chrono::seconds ownWindow = std::max<std::chrono::seconds>(addressWindow, kPeerMinute);
            TCaller owed;
            std::erase_if(f.callers, [&](const auto& e) {
                const bool ownCaller = e.first.kind != EKind::Address;
                if (!ownCaller && e.first.name == kOtherPeers) return false;
                const std::chrono::seconds w = ownCaller ? ownWindow : addressWindow;
                for (const auto& [kind, count] : e.second.counts)
                    if (now - count.windowStart < w) return false;
                if (ownCaller &&
                    (e.second.owesNotes() || e.second.share.availableAt(rate, kOwnShareBurstSeconds, now) <
                                                 TShare::capacity(rate, kOwnShareBurstSeconds)))
                    return false;
                owed.takeNotes(e.second);
                return true;
            });
            if (owed.owesNotes())
                f.callers.try_emplace(TCallerKey{EKind::Address, kOtherPeers}).first->second.takeNotes(owed);
            if (!own && f.callers.size() >= kMaxCallers) {
                crowd = true;
                key.name = kOtherPeers;
            }
            it = f.callers.find(key);
        }
        if (it == f.callers.end())
            it = f.callers.try_emplace(TCallerKey{key.kind, std::string(key.name)}).first;
    }
    TCaller& c = it->second;
    auto counted = c.counts.find(format);
    if (counted == c.counts.end()) counted = c.counts.emplace(format, TCount{now, 0, 0}).first;
    TCount& count = counted->second;
    if (now - count.windowStart >= window) {
        count.windowStart = now;
        count.written = 0;
        count.bytes = 0;
    }
    // Long lines spend the burst sooner: a window holds at most as many bytes as a quarter of its lines
    // at their longest. A caller of its own writes of each kind what an address may over its window
    // without spending its share, which pays only for the more it may write: a flood of some kinds of its
    // lines cannot take the others'.
    const uint64_t addressBurst =
        static_cast<uint64_t>(f.burst) * window.count() / std::max<int64_t>(1, f.window.count());
    const uint64_t burst = own ? addressBurst * kOwnBurstTimes : f.burst;
    const uint64_t byteBurst = burst * kMaxPeerLineBytes / 4;
    const bool spends = !own || count.written >= addressBurst ||
                        (count.written > 0 && count.bytes + bytes > addressBurst * kMaxPeerLineBytes / 4);
    if (count.written >= burst || (count.written > 0 && count.bytes + bytes > byteBurst)) {
        c.leaveOut(format, false);
        return false;
    }
    // An address counted with the crowd now may still owe notes of its own, from a minute it was counted on
    // its own: its line says them too.
    TCaller* self = nullptr;
    if (crowd)
        if (auto s = f.callers.find(TCallerKeyView{EKind::Address, caller.peer});
            s != f.callers.end() && s->second.owesNotes())
            self = &s->second;
    // Within its counts, the line still spends its share of the log, with what it says of the lines left
    // out: a crowd of addresses, each within its counts, cannot together write more than the share.
    leftOut.ofPeer = crowd ? (self ? self->leftOutByCount : 0) : c.leftOutByCount;
    leftOut.ofCrowd = crowd ? c.leftOutByCount : 0;
    leftOut.ofShare = c.leftOutByShare + (self ? self->leftOutByShare : 0);
    if (self) leftOut.notes = notesOf(*self, format, caller.peer, false, false);
    if (c.owesNotes())
        leftOut.notes +=
            notesOf(c, format,
                    key.kind == EKind::User ? "user [" + std::string(key.name) + "]" : std::string(key.name),
                    crowd, own);
    TShare& share = own ? c.share : f.anonymous;
    if (spends && !share.spend(bytes + leftOut.notes.size(), peerShareBytesPerSecond(keptBytes),
                               own ? kOwnShareBurstSeconds : kShareBurstSeconds, now)) {
        leftOut = TPeerLinesLeftOut();
        c.leaveOut(format, true);
        return false;
    }
    ++count.written;
    count.bytes += bytes;
    for (TCaller* said : {&c, self}) {
        if (said == nullptr) continue;
        said->leftOutByCount = said->leftOutByShare = 0;
        said->leftOutKind = nullptr;
    }
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
    f.callers.clear();
    f.anonymous = TShare();
}

}  // namespace zylog
