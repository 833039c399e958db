// The longest browse session id the service and its peers take. Every id they make is a GUID (38
// characters with braces) or a number; a longer one is refused before anything of its request is
// logged, so that no caller can make each refused request write its own size into the log. Header-only;
// any thread.
#pragma once

#include <cstddef>
#include <string>

#include "platform/msg/msg_classes.h"

namespace databrowse {

inline constexpr size_t kMaxSessionIdLength = 128;

// Why a session id of `length` characters is refused; "" when it is taken.
inline std::string sessionIdRefusal(size_t length) {
    if (length <= kMaxSessionIdLength) return {};
    return "The browse session id is " + std::to_string(length) + " characters long; at most " +
           std::to_string(kMaxSessionIdLength) + " are taken";
}

// The same for the session id `request` names.
inline std::string sessionIdRefusal(const BrowseRequest& request) {
    auto& r = const_cast<BrowseRequest&>(request);
    if (!r.isSet(BrowseRequest::f::session)) return {};
    const CNMessageBase* session = r.getObjectAccessor(BrowseRequest::f::session, false);
    return session ? sessionIdRefusal(session->getstring(BrowseSession::f::sessionId).size()) : std::string();
}

}  // namespace databrowse
