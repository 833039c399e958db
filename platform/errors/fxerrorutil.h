// Makes error values for the platform's failures, with a text and the location that decided them.
// Callable from any thread.
#pragma once

#include "platform/errors/cuxerror.h"

class FXErrorUtil {
public:
    // An error of `code`. A failure is never taken for success: a code of 0 or above becomes its
    // negation (0 becomes -1).
    static CUxError ErrorInt(int code, const FXCodeLocation& where, const char* text = nullptr);
    // An error from a system call's errno value: code -errnoValue (-1 for 0), the errno kept for the text.
    static CUxError ErrorErrNo(int errnoValue, const FXCodeLocation& where, const char* text = nullptr);
};
