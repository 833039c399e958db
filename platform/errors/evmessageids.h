// The message ids the code raises, each by one name, from the message catalogue (evmessages.def), so an
// id is written in one place with its texts.
#pragma once

namespace evmsg {

#define EV_MESSAGE_ID(name, id) inline constexpr int name = id;
#define EV_MESSAGE(name, locale, format)
#include "platform/errors/evmessages.def"

}  // namespace evmsg
