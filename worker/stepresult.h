// The outcome of one step of a browse request on its worker: success, or the error code and the text
// that tell the caller what went wrong. A plain value, made and read on the thread that runs the request;
// the worker writes a failed one into its error state in one place (CWorkerThreadHM::newRequest).
#pragma once

#include <string>
#include <utility>

#include "platform/msg/errorresponse.h"
#include "platform/msg/msg_enums.h"

class [[nodiscard]] CStepResult {
public:
    // Success: neither a code nor a text.
    CStepResult() = default;

    // A failure with its reason. Code 0 means nothing to a caller: it becomes the generic failure code,
    // so that a failure can never pass for a success.
    static CStepResult failure(databrowse::BrowseErrorCode code, std::string text) {
        return CStepResult(errorresponse::failureCode(code), std::move(text));
    }

    bool ok() const { return m_code == databrowse::BROWSE_ERR_NONE; }
    databrowse::BrowseErrorCode code() const { return m_code; }
    const std::string& text() const { return m_text; }

private:
    CStepResult(databrowse::BrowseErrorCode code, std::string text) : m_code(code), m_text(std::move(text)) {}

    databrowse::BrowseErrorCode m_code = databrowse::BROWSE_ERR_NONE;
    std::string m_text;
};
