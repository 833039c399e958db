// Error value returned by platform calls: a signed code (negative = error) and a shared detail that
// collects the code locations the error passed through. A value of one thread; copies share the detail,
// which may be used from several threads at once.
#pragma once

#include <boost/shared_ptr.hpp>
#include <string>
#include <vector>

#include "platform/threads/hubmutex.h"

// Where an error was raised or passed on. Points to constant texts it does not own.
struct FXCodeLocation {
    FXCodeLocation(const char* file, const char* signature, int line)
        : m_file(file), m_signature(signature), m_line(line) {}

    const char* m_file;
    const char* m_signature;
    int m_line;
};

// The detail shared by copies of one error: its text, the errno it came from and its trace.
class FXErrorPrivate {
public:
    FXErrorPrivate(std::string text, int errnoValue) : m_text(std::move(text)), m_errno(errnoValue) {}

    void push(const FXCodeLocation& where);
    std::string text() const;
    int errnoValue() const { return m_errno; }
    std::vector<FXCodeLocation> trace() const;

private:
    mutable CHubMutex m_mutex;
    const std::string m_text;
    const int m_errno;  // 0: not from a system call
    std::vector<FXCodeLocation> m_trace GUARDED_BY(m_mutex);
};

class [[nodiscard]] CUxError {
public:
    CUxError() : m_code(0) {}
    CUxError(int code, boost::shared_ptr<FXErrorPrivate> detail)
        : m_code(code), m_detail(std::move(detail)) {}
    CUxError(const CUxError&) = default;
    CUxError& operator=(const CUxError&) = default;
    ~CUxError() = default;

    static CUxError Success() { return CUxError(); }

    bool IsError() const { return m_code < 0; }
    int GetErrorCode() const { return m_code; }

    // Adds a location to the trace shared by every copy of this error.
    CUxError& Push(const FXCodeLocation& where);
    // One line for logs: the code, the text and the trace, innermost location first.
    std::string AsString() const;
    // The text given when the error was made; empty for none.
    std::string GetErrorText() const;

private:
    int m_code;
    boost::shared_ptr<FXErrorPrivate> m_detail;  // empty for a plain success
};

// The one way to drop a result on purpose: `why` tells the reader why nothing is to be done with it.
inline void ignoreResult(const CUxError& /*result*/, const char* /*why*/) {}
