// Whom a media agent answers: the Hubmaster, known by the client name its session proves, and callers
// presenting a request the Hubmaster signed (checked where the signed request is opened). Plain
// requests from anyone else are refused unless the installation switches plain mode on. Plain values;
// read from any thread once loaded.
#pragma once

#include <cstdint>
#include <ctime>
#include <queue>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/threads/hubclock.h"
#include "platform/threads/hubmutex.h"

class CZyNetwork;

namespace mediaagent {

// Where plain mode is switched on (a number, non-zero: on).
inline constexpr const char* kPeerRuleSection = "~MediaAgent";
inline constexpr const char* kPlainModeValue = "nAcceptPlainBrowseRequests";

struct TPeerRule {
    std::string hubmasterName;  // the Hubmaster's client name; empty: no peer is the Hubmaster
    bool acceptPlain = false;   // plain mode: plain requests are answered for any caller

    // The client name the session's peer proves ("" for an anonymous peer).
    static std::string peerName(const CZyNetwork& session);
    bool isHubmaster(const CZyNetwork& session) const { return isHubmasterName(peerName(session)); }
    bool mayAskPlain(const CZyNetwork& session) const { return mayAskPlain(peerName(session)); }
    // The same for a peer known by its proven name ("" for an anonymous one).
    bool mayAskPlain(const std::string& provenName) const {
        return acceptPlain || isHubmasterName(provenName);
    }
    bool isHubmasterName(const std::string& name) const;
};

// Signed requests that reach a media agent from anyone but the Hubmaster are answered once: a copy
// presented again while it is still fresh is refused, so a request that leaked from its caller cannot
// be replayed. Any thread.
class CSignatureLedger {
public:
    // The ledger lives in memory: requests signed before `startedAt` (seconds since 1970) may have been
    // answered by an earlier run of the agent, so they are refused.
    // `clock` tells when a remembered signature may be forgotten (tests drive their own); it must
    // outlive the ledger.
    explicit CSignatureLedger(long long startedAt, const CHubClock& clock = CHubClock::real())
        : m_startedAt(startedAt), m_clock(clock) {}

    // Waits for the next second of the clock and returns it: signed times count whole seconds, so a
    // request signed in the second an earlier run ended could have been answered by it. A ledger that
    // starts at the next second refuses every request an earlier run could have seen.
    static long long nextWholeSecond();

    // True the first time `signature` (of a request created at `createTime`, no earlier than the
    // ledger's start) is presented; it is remembered until it is older than `window` seconds, when the
    // signature check refuses it anyway.
    bool firstUse(const std::string& signature, long long createTime, long long window);

private:
    const long long m_startedAt;
    const CHubClock& m_clock;
    using TExpiry = std::pair<long long, uint64_t>;  // when it may be forgotten, the signature's key
    CHubMutex m_lock;
    // Keyed by a 64-bit hash of the signature (an HMAC: uniform), so a busy agent keeps little per request.
    std::unordered_set<uint64_t> m_seen GUARDED_BY(m_lock);
    std::priority_queue<TExpiry, std::vector<TExpiry>, std::greater<>> m_expiry GUARDED_BY(m_lock);
};

// Tells a caller its request is not answered: an error naming the rule (or `text`), then the end.
void refuseCaller(CZyNetwork& session, const char* text = nullptr);

// The rule of the registry already in use (plain mode) and, unless `rule` names the Hubmaster already,
// of the Hubmaster database `hubDbPath` (the Hubmaster's client row). False with `error` when no
// Hubmaster is known.
bool loadPeerRule(const std::string& hubDbPath, TPeerRule& rule, std::string& error);

}  // namespace mediaagent
