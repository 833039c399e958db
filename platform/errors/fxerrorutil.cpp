#include "platform/errors/fxerrorutil.h"

namespace {

int failureCode(int code) {
    return code < 0 ? code : (code == 0 ? -1 : -code);
}

CUxError makeError(int code, int errnoValue, const FXCodeLocation& where, const char* text) {
    CUxError error(failureCode(code),
                   boost::shared_ptr<FXErrorPrivate>(new FXErrorPrivate(text ? text : "", errnoValue)));
    error.Push(where);
    return error;
}

}  // namespace

CUxError FXErrorUtil::ErrorInt(int code, const FXCodeLocation& where, const char* text) {
    return makeError(code, 0, where, text);
}

CUxError FXErrorUtil::ErrorErrNo(int errnoValue, const FXCodeLocation& where, const char* text) {
    return makeError(errnoValue, errnoValue, where, text);
}
