// The client of a virtual machine named by its GUID: the VM's current "Virtual Machine Instance UUID"
// client property, else the client's own GUID (letter case ignored); what a VM GUID's text looks like;
// and the one reading of the VM a path names, which the service (CBrowseVSAUtils::ExtractVMGUID) and the
// media agents' stand-in share. Any thread; reads run on the calling thread's connection.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

// True with `clientId` set when exactly one client has that VM GUID; false for an empty or unknown
// GUID, a GUID that two clients claim, or a read that fails (clientId untouched).
bool getClientIdfromGUID(std::string guid, int& clientId);

// True for "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" in hexadecimal, optionally enclosed in braces.
inline bool isVmGuidText(std::string_view text) {
    if (!text.empty() && text.front() == '{') {
        if (text.size() < 2 || text.back() != '}') return false;
        text = text.substr(1, text.size() - 2);
    }
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}

// The first component of a path as a VM path reads it (one leading separator, '\' or '/', dropped;
// the component ends at the next separator of either kind) and where it ends in `path`. A path that
// starts with two separators has an empty first component: it names no VM.
struct TVmPathHead {
    std::string_view component;
    size_t end = 0;
};
inline TVmPathHead vmPathHead(std::string_view path) {
    const size_t start = !path.empty() && (path.front() == '\\' || path.front() == '/') ? 1 : 0;
    const size_t end = std::min(path.find_first_of("\\/", start), path.size());
    return {path.substr(start, end - start), end};
}
