// Error values of the network session library: codes, their texts and the one place that makes a
// CUxError of them (with the location and a detail text). Any thread.
#pragma once

#include <string>

#include "platform/errors/cuxerror.h"
#include "platform/net/zynet_errors.def"

#define ZYNET_ERROR_CODE(name, code, text) constexpr int name = code;
ZYNET_ERRORS(ZYNET_ERROR_CODE)
#undef ZYNET_ERROR_CODE

namespace zynet {

// The fixed text of a code ("unknown network error" for others).
const char* errorText(int code);
// A code of this library (a peer's refusal may carry any number).
bool isKnownError(int code);

// An error of `code` raised at `function`, its text followed by `detail` when given.
CUxError makeError(int code, const char* function, const std::string& detail = std::string());

}  // namespace zynet
