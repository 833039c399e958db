#include "platform/net/zynet_callertoken.h"

namespace zynet {

namespace {

// The token check's callers (the service's calls, whose signatures are given) cannot hand it the session
// the message came on; the thread that serves the message can, as it tells the log whom it works for.
thread_local CCallerTokenScope* t_scope = nullptr;

}  // namespace

CCallerTokenScope::CCallerTokenScope() : m_outer(t_scope) {
    t_scope = this;
}

CCallerTokenScope::~CCallerTokenScope() {
    t_scope = m_outer;
}

void tellCallerToken(const CTokenCheckKey&, bool accepted, int userId) {
    CCallerTokenScope* scope = t_scope;
    if (scope == nullptr) return;
    TCallerToken& told = scope->m_told;
    if (accepted) {
        told.verdict = TCallerToken::Verdict::Accepted;
        told.userId = userId;
    } else if (told.verdict == TCallerToken::Verdict::None) {
        told.verdict = TCallerToken::Verdict::Refused;
    }
}

bool acceptedCallerToken(int& userId) {
    const CCallerTokenScope* scope = t_scope;
    if (scope == nullptr || scope->told().verdict != TCallerToken::Verdict::Accepted) return false;
    userId = scope->told().userId;
    return true;
}

}  // namespace zynet
