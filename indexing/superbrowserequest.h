// The values one super-browse run of a worker carries between its steps (media-agent choice, retention
// tags, cycles, fields, log), and the pure helpers of the indexing-V1 request: the password cut of its
// log text, the job id of a media-prediction request and the masked log text. Run state belongs to the
// worker's thread; the helpers are pure functions for any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/msg/msg_classes.h"

struct TSuperBrowseRun {
    bool retentionOn = false;      // global parameter "RetentionBasedBrowse" is 1
    uint32_t referenceCopyId = 0;  // "~MediaAgent" / "nUSEREFERENCECOPYID"
    std::string hubmasterHost;     // this Hubmaster's mangled network host name
    Indexing::BrowseFlags flags;   // attached to the request once assembled
    bool retentionTagsApplied = false;
    bool v2RetentionFilters = false;
    std::vector<std::string> skippedCycles;  // cycles left out of the request, for the caller's warning
};

// Replaces the text between every `openTag` and the next `closeTag` by one "*"; an open tag without a
// later close tag is left alone.
std::string RemoveParam(std::string text, const std::string& openTag, const std::string& closeTag);

// The job id of a media-prediction request, made from the browse session GUID: a 64-bit string hash
// kept at or above 4,294,967,295 so that it stays clear of the 32-bit job ids.
uint64_t superBrowseJobIdHash(const std::string& sessionGuid);

// The request's text for the log: the password element, "token" additional flags and the passwords of
// NAS live-browse information masked; the request itself is left as it is. `sentText`, when given and
// not empty: the request's text as it went out (holding no secret of its own form), masked instead of
// writing the request again.
std::string maskedIndexRequestText(const Indexing::BrowseReq& request, const std::string* sentText = nullptr);
// A request text with the passwords of its NAS live-browse information cut (only when it carries such
// information), for the log lines of either request form.
std::string maskNasLiveBrowsePasswords(std::string text);

// A browse filter: element 2 `flag`, attribute, operator and one value.
databrowse::Criteria makeBrowseCriteria(int64_t flag, int64_t attribute, int64_t op,
                                        const std::string& value);
