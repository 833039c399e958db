// The application types named in code and their traits, generated from apptypes.def (the one place
// each code is written). Constants only; any thread.
#pragma once

#include <cstdint>

namespace apptype {

#define APP_TYPE(name, code, mailbox) inline constexpr int64_t k##name = code;
#include "platform/entities/apptypes.def"
#undef APP_TYPE

// True when `appType` is browsed as mailboxes.
constexpr bool isMailbox(int64_t appType) {
#define APP_TYPE(name, code, mailbox) \
    if (appType == code) return mailbox;
#include "platform/entities/apptypes.def"
#undef APP_TYPE
    return false;
}

}  // namespace apptype
