// The answer that tells a caller about an error or a warning: one builder for every place that refuses
// or reports (the router's roads, the worker, the media agent and the host). Header-only; any thread
// (values only).
#pragma once

#include <cstdint>
#include <string>

#include "platform/msg/msg_classes.h"
#include "platform/msg/msg_enums.h"

namespace errorresponse {

constexpr int64_t kError = databrowse::BROWSE_RESP_ERROR;
constexpr int64_t kWarning = databrowse::BROWSE_RESP_WARNING;

// The code a failure carries: 0 means nothing to a caller, so it becomes the generic failure code and
// a failure can never pass for a success.
constexpr databrowse::BrowseErrorCode failureCode(int64_t code) {
    return code == databrowse::BROWSE_ERR_NONE ? databrowse::BROWSE_ERR_GENERIC
                                               : static_cast<databrowse::BrowseErrorCode>(code);
}

// What a warning of a find across clients says of its answer, by its code: a part the caller may not
// browse was left out (the permission code), a part was not searched (a client the Hubmaster does not
// know, the nothing-to-browse code; backups the find cannot reach by its road, kNotSearched), or nothing
// was left out (a remark, such as a client with no backup in range).
enum class EFindPart { kWhole, kRefused, kNotSearched };
constexpr databrowse::BrowseErrorCode kNotSearched = databrowse::BROWSE_ERR_REQUEST_PROCESSING;
constexpr EFindPart findPartOf(int64_t code) {
    if (code == databrowse::BROWSE_ERR_PERMISSION) return EFindPart::kRefused;
    if (code == databrowse::BROWSE_ERR_NOTHING_TO_BROWSE || code == kNotSearched)
        return EFindPart::kNotSearched;
    return EFindPart::kWhole;
}

// A BrowseResponse of `type` carrying `error` (a databrowse::BrowseError) as its one message.
inline databrowse::BrowseResponse of(const CNMessageBase& error, int64_t type = kError) {
    databrowse::BrowseResponse response;
    response.setint64(databrowse::BrowseResponse::f::respType, type);
    response.setlistobject(databrowse::BrowseResponse::f::messages, {error});
    return response;
}

// A BrowseResponse of `type` carrying `text` with error code `code` (an error's code 0 becomes the
// generic failure code).
inline databrowse::BrowseResponse of(int64_t code, const std::string& text, int64_t type = kError) {
    databrowse::BrowseError error;
    error.setint64(databrowse::BrowseError::f::errorCode, type == kError ? int64_t{failureCode(code)} : code);
    error.setstring(databrowse::BrowseError::f::errorMessage, text);
    return of(error, type);
}

// The same with the text alone, no code.
inline databrowse::BrowseResponse ofText(const std::string& text) {
    databrowse::BrowseError error;
    error.setstring(databrowse::BrowseError::f::errorMessage, text);
    return of(error);
}

}  // namespace errorresponse
