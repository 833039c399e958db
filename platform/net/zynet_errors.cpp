#include "platform/net/zynet_errors.h"

#include "platform/errors/fxerrorutil.h"

namespace zynet {

const char* errorText(int code) {
#define ZYNET_ERROR_TEXT(name, value, text) \
    if (code == value) return text;
    ZYNET_ERRORS(ZYNET_ERROR_TEXT)
#undef ZYNET_ERROR_TEXT
    return "unknown network error";
}

bool isKnownError(int code) {
#define ZYNET_ERROR_KNOWN(name, value, text) \
    if (code == value) return true;
    ZYNET_ERRORS(ZYNET_ERROR_KNOWN)
#undef ZYNET_ERROR_KNOWN
    return false;
}

CUxError makeError(int code, const char* function, const std::string& detail) {
    std::string text = errorText(code);
    if (!detail.empty()) text += ": " + detail;
    return FXErrorUtil::ErrorInt(code, FXCodeLocation("zynetwork", function, 0), text.c_str());
}

}  // namespace zynet
