// The one text form of a browse request for the log: passwords, the authentication token (element 13
// and "token" additional flags) and the access string (element 29) never appear in clear. Every log
// line that prints a request goes through it. Pure function; any thread.
#pragma once

#include <string>

#include "platform/msg/msg_classes.h"

// What replaces a secret in the log.
constexpr const char* kMaskedSecret = "********";

std::string maskedRequestText(const databrowse::BrowseRequest& request);
