// The message enumerations the task accessors take (databrowse::BrowseOperation, App::IdxDbEngineType,
// ...). They are defined once, beside the message catalogue; this header only forwards to it so that
// units that include the task's view of them keep one definition. Header only; any thread.
#pragma once

#include "platform/msg/msg_enums.h"
