// Fuzzes the XML writer's escaping (the vectorised scan and the byte-wise tail) with arbitrary text in
// an element and in an attribute: a text without NUL must be written, and read back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzzscratch.h"
#include "platform/msg/msg_classes.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzscratch::keepLogsPrivate();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    databrowse::BrowseResponse response;
    response.setstring(databrowse::BrowseResponse::f::workerId, text);
    databrowse::BrowseError error;
    error.setstring(databrowse::BrowseError::f::errorMessage, text);
    response.setlistobject(databrowse::BrowseResponse::f::messages, {error});
    std::string xml;
    const bool hasNul = text.find('\0') != std::string::npos;
    if (response.serialize(xml) != 0) {
        if (!hasNul) abort();  // only a NUL is unwritable
        return 0;
    }
    if (hasNul) abort();
    databrowse::BrowseResponse back;
    if (back.unserialize(xml.c_str()) != 0) abort();
    if (back.getstring(databrowse::BrowseResponse::f::workerId) != text) abort();
    auto* messages = back.getlistobject(databrowse::BrowseResponse::f::messages, false);
    if (!messages || messages->size() != 1 ||
        messages->front().getstring(databrowse::BrowseError::f::errorMessage) != text)
        abort();
    return 0;
}
