// What the service made of the user's token a caller showed in the message a server thread serves: told
// by the security manager's token check (the one place a token is accepted or refused, whatever service
// asked), read by the network server that delivered the message, whose admission of callers without a
// certificate rests on it, and by the log, whose bound on outsiders' lines counts a user's on their own.
// Functions of the calling thread.
#pragma once

#include <cstdint>

class EvSecurityMgr;

namespace zynet {

class CTokenCheckKey;

struct TCallerToken {
    enum class Verdict : uint8_t { None, Accepted, Refused };
    Verdict verdict = Verdict::None;  // None: no token was judged
    int userId = 0;                   // the accepted token's user
};

// Opened by the network server around each callback of a message from outside the infrastructure: the
// token checks the callback runs on this thread are told to it. Scopes nest (the inner one hears).
class CCallerTokenScope {
public:
    CCallerTokenScope();
    ~CCallerTokenScope();
    CCallerTokenScope(const CCallerTokenScope&) = delete;
    CCallerTokenScope& operator=(const CCallerTokenScope&) = delete;

    // What the message came to: an acceptance outweighs a refusal of the same message (a token of one
    // kind checked as the other first), and a later acceptance names its user.
    const TCallerToken& told() const { return m_told; }

private:
    friend void tellCallerToken(const CTokenCheckKey&, bool accepted, int userId);
    CCallerTokenScope* m_outer;
    TCallerToken m_told;
};

// Only the security manager's token check makes this key: it is where a token is accepted or refused, so
// no service can forget to tell, nor tell what it did not check.
class CTokenCheckKey {
    friend class ::EvSecurityMgr;
    CTokenCheckKey() = default;
};

// The token check's verdict, for the caller whose message the calling thread serves (nothing when it
// serves none: the host's own tasks, a console).
void tellCallerToken(const CTokenCheckKey&, bool accepted, int userId);

// Whether the token of the message the calling thread serves has been accepted so far, and for which user
// (false when it serves none): what the log reads to tell a user's lines from a crowd's
// (zylog::TTokenAccepted).
bool acceptedCallerToken(int& userId);

}  // namespace zynet
