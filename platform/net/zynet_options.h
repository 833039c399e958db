// Limits and identity of the network session library, set by the host (or a test) and read at each
// use. Any thread may read or set them; a change applies to what starts after it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/threads/hubclock.h"

struct TZyNetOptions {
    int noLimitSeconds = 3600;           // what a caller's "no limit" (a negative time-out) waits at most
    int connectSeconds = 30;             // connecting and the opening exchange of a session
    int openingSeconds = 5;              // a listener drops an opening not whole by then
    int stallSeconds = 120;              // longest pause inside one frame before the peer counts as gone
    int idleSeconds = 3600;              // a server connection without any frame for this long is closed
    int instanceWaitSeconds = 120;       // a launched instance that no session reaches in this time ends
    uint32_t maxFrameBytes = 64u << 20;  // larger frames are refused and their connection closed
    unsigned maxConnections = 512;       // connections one server serves at once
    // A connection's thread that has served it waits this long for the next connection of its server,
    // while fewer than parkedThreads wait there; a busy server then starts no thread per connection.
    unsigned parkedThreads = 64;
    int parkedSeconds = 10;
    // Callers outside the infrastructure (anonymous ones, and client machines, whose certificates prove
    // only their names) are served within tighter limits, so that a crowd of them can neither lock out
    // the infrastructure or a console nor cost memory before a request has been judged. When a count is
    // full, a session it counts gives way to the newcomer: one whose token was refused, then the one idle
    // longest; never one with a message under way, nor one that has not yet had its whole first-message
    // limit. Anonymous callers and client machines have shares of their own:
    // neither kind's newcomers close the other's sessions.
    unsigned maxAnonymousConnections = 128;  // sessions without a certificate of one server at once
    unsigned maxAnonymousPerAddress = 64;    // ... from one peer address
    // ... of them whose caller has had no token accepted (see CZyNetwork::NoteTokenAccepted): the rest of
    // the share is kept for those that have. A newcomer beyond it, when no idle one gives way, is let in
    // to show its token and closed once answered unless its token was accepted.
    unsigned maxAnonymousWithoutToken = 64;
    // ... of them whose token was accepted for one user that keep their places against newcomers (the
    // first accepted): beyond it a user's sessions give way as those without a token do, so that one
    // valid token (of a user with no rights, replayed from a few addresses) cannot keep other consoles
    // out, as a database bounds the connections of one role.
    unsigned maxAnonymousPerUser = 8;
    // A newcomer outside the infrastructure that finds no place of its kind (each held by a session with
    // a message under way, one that has not yet had its whole first-message limit, or a user's within its
    // bound) waits this long in line for one, the first come the first served, rather than being refused
    // at once: a session that sends nothing gives its place up within its first-message limit. The line
    // is as long as the kind's share (and, of one address or proven name, as that count). 0: no line.
    int outsiderWaitSeconds = 10;
    unsigned maxClientMachineConnections = 64;  // sessions of client machines of one server at once
    unsigned maxOutsiderPerName = 64;           // ... proven to be one client machine
    // Its first message must be whole by then (also its stall limit); a client machine's session that has
    // sent nothing by then stays, but no longer keeps its place against a newcomer of its kind.
    int anonymousFirstFrameSeconds = 5;
    int anonymousIdleSeconds = 60;               // idle this long between messages, it is closed
    uint32_t anonymousMaxFrameBytes = 1u << 20;  // larger frames from it are refused
    unsigned anonymousDecodesAtOnce = 4;         // its messages decoded at the same time, per process
    // What messages of callers outside the infrastructure may hold in this process at once, received
    // and decoded (a decoded message costs several times its frame): one beyond it is refused and its
    // session closed. The last anonymousSmallReserveBytes of it serve only messages of at most
    // anonymousSmallMessageBytes, so that a crowd of big ones cannot crowd a console's request out.
    uint64_t anonymousHeldBytes = 32ull << 20;
    uint64_t anonymousSmallReserveBytes = 8ull << 20;
    uint32_t anonymousSmallMessageBytes = 64u << 10;
    unsigned maxLaunchedInstances = 256;    // launched service instances alive at once, per listener
    unsigned anonymousLaunchesAtOnce = 16;  // ... of which anonymous callers may start while this many live
    // Only the infrastructure (the Hubmaster, the media agents) gets the limits of a trusted peer
    // (maxFrameBytes, decoding outside the slots and the budget, launches beyond the anonymous share):
    // a client machine's certificate proves its name and no more. True when the client name a peer's
    // certificate proves is of the infrastructure; unset: every proven peer is.
    std::function<bool(const std::string& clientName)> isInfrastructure;
    // Sessions without TLS, for peers that cannot speak it: refused unless switched on. A plain peer's
    // client name is only what it claims, and everything it sends travels in clear.
    bool allowPlainSessions = false;
    unsigned protocolVersion = 4098;        // this side's protocol version, told to every peer
    std::string bindAddress = "127.0.0.1";  // where listeners listen
    int listenPort = 0;           // this machine's listener (the client's zydPort); 0: the system chooses
    std::string localClientName;  // this machine's client name; empty: the host name
};

TZyNetOptions zyNetOptions();
void setZyNetOptions(const TZyNetOptions& options);

// A signal that ends the network waits of the sessions that watch it (CZyNetwork::watchCancel): a browse that
// is stopped while it connects to, or sends to, a peer that does not answer is not held by it. Any
// thread may cancel; it stays cancelled. Its descriptor comes from those earlier signals gave back.
class CZyNetCancel {
public:
    CZyNetCancel();
    ~CZyNetCancel();
    CZyNetCancel(const CZyNetCancel&) = delete;
    CZyNetCancel& operator=(const CZyNetCancel&) = delete;
    void cancel();
    int fd() const { return m_fd; }

private:
    int m_fd;
    std::atomic<bool> m_set{false};  // cancel() ran: the counter is read back to zero before the fd is reused
};

namespace zynet {

// The current options without a copy, for the library's own frequent reads.
const TZyNetOptions& options();
// A caller's time-out in seconds, a negative one ("no limit") replaced by the cap.
int effectiveSeconds(int seconds);
// A process that serves many connections raises its open-descriptor limit to the most the system allows it:
// at the default (often 1,024) a listener under load would run out, and its callers would wait unanswered.
void raiseDescriptorLimit();
// True when a peer proven to be `clientName` is of the infrastructure (see isInfrastructure).
bool isInfrastructure(const std::string& clientName);
// This machine's client name and host name as told to peers (the host name asked of the system once a
// minute on `clock`).
std::string localClientName();
std::string localHostName(const CHubClock& clock = CHubClock::real());

}  // namespace zynet
