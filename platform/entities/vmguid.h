// The client of a virtual machine named by its GUID: the VM's current "Virtual Machine Instance UUID"
// client property, else the client's own GUID (letter case ignored); and what a VM GUID's text looks
// like. Paths are not read here: the service reads the VM a path names with
// CBrowseVSAUtils::ExtractVMGUID. Any thread; reads run on the calling thread's connection.
#pragma once

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
