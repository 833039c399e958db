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

CUxError makeError(int code, const char* function, const std::string& detail) {
    std::string text = errorText(code);
    if (!detail.empty()) text += ": " + detail;
    return FXErrorUtil::ErrorInt(code, FXCodeLocation("zynetwork", function, 0), text.c_str());
}

}  // namespace zynet
